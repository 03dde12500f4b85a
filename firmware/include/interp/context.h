// Compiled-network description and the run context of one network run.
//
// A compiled description is a stream of little-endian words in L2 SRAM (copied
// there by the network-run API): the net input and output ids, the group count,
// then the groups, each an extra list, a group header, the group inputs, the
// new-tensor keys, a split table and a body of layer and move records. The run
// context walks it with one read pointer; every read is bounded by the end of
// the copied description, so a truncated or misframed stream fails an
// assertion instead of reading past it.
//
// The context keeps three lists of global tensor records: the tensor table
// (tensors alive between groups, keyed `id << 16 | consumer count`), the extra
// table (shapes some layers look up by id, kept for the whole run) and the free
// pool (retired records kept for reuse). Each slice of a local group keeps a
// list of local records describing which part of which tensor sits in local
// memory.
//
// Ownership: the tensor table (and the free pool) own the host data of their
// records; the extra table only borrows it, and is cleared when the owner lets
// it go. Tensor-array headers belong to the context itself and are released
// once, when the run ends.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"
#include "interp/record_fields.h"
#include "runtime/types.h"

#define DYNAMIC_IR_ADDR 0x10022000u
#define DYNAMIC_IR_MAX_BYTES 0x80000u
#define DYNAMIC_SHAPE_OUT_ADDR 0x100a1000u
#define DYNAMIC_MAX_DIMS 8
#define CONSUME_NET_INPUT 0xffffu
#define CONSUME_NET_OUTPUT 0xfffeu

// ---- Description records ----

#define DYNAMIC_LAYER_HEADER_BYTES 16u
#define DYNAMIC_GROUP_HEADER_BYTES 12u
#define DYNAMIC_GROUP_HEADER_LONG_BYTES 16u
#define DYNAMIC_GROUP_FLAG_H_SPLIT 0x1u
#define DYNAMIC_GROUP_FLAG_LONG_NSLICE 0x2u

// ---- API-side tensor records ----

// A net input or output as the network-run API hands it to the interpreter.
typedef struct {
  u64 addr;
  u32 dims;
  u32 shape[DYNAMIC_MAX_DIMS];
  u32 dtype;
  u32 elem_num;
  u32 spare;
} dynamic_io_tensor_t;
static_assert(sizeof(dynamic_io_tensor_t) == 56, "dynamic_io_tensor_t is 56 bytes");

// ---- Tensor arrays (element data in one device buffer, bookkeeping here) ----

typedef struct {
  u32 read;
  u32 written;
  u32 cleared;
  u32 unused0;
  u64 addr;
  u32 dims;
  i32 shape[DYNAMIC_MAX_DIMS];
  u32 unused1;
} tensor_array_elem_t;
static_assert(sizeof(tensor_array_elem_t) == 64, "element record is 64 bytes");

typedef struct tensor_array_info {
  u32 capacity;
  u32 size;
  u32 dynamic_size;
  u32 clear_after_read;
  u32 same_shape;
  u32 global_buffer_size;
  u64 head_addr;
  tensor_array_elem_t *tensors;      // `capacity` element records (heap), or none
  struct tensor_array_info *owned_next;  // the context's list of headers it releases
} tensor_array_info_t;

// ---- Records the controllers exchange with the tables ----

typedef struct {
  u32 id;
  u64 addr;
  u32 dtype;
  u32 dims;
  i32 *shape;  // after a lookup: the table record's array (read only)
  void *host_data;
  tensor_array_info_t *tensor_array_info;
  u32 elem_num;
} dynamic_tensor_info_t;

typedef struct global_tensor_node {
  u32 key;  // id << 16 | consumer count
  u32 dtype;
  u64 addr;
  u32 dims;
  i32 shape[DYNAMIC_MAX_DIMS];
  void *host_data;
  tensor_array_info_t *tensor_array_info;
  u32 elem_num;
  struct global_tensor_node *next;
} global_tensor_node_t;

typedef struct {
  global_tensor_node_t *first;
} global_tensor_head_t;

// Which part of which tensor one slice holds in local memory.
typedef struct {
  u32 id;
  u32 pad_top;
  u32 h_start;
  u32 window_rows;
  u32 dims;
  i32 shape[DYNAMIC_MAX_DIMS];
  u8 consume_count;
  u8 spare[3];
  u32 elem_num;
  u32 dtype;
} local_tensor_info_t;
static_assert(sizeof(local_tensor_info_t) == 64, "local_tensor_info_t is 64 bytes");

typedef struct local_tensor_node {
  local_tensor_info_t info;
  struct local_tensor_node *next;
} local_tensor_node_t;

typedef struct {
  local_tensor_node_t *first;
} local_tensor_head_t;

// One slot of a local group's pipeline: the slice now in that stage.
typedef struct {
  local_tensor_head_t *list;
  u32 n_start;
  u32 h_index;
  u32 n_slice;
} dynamic_pipe_info_t;

typedef struct {
  u32 cur;    // read pointer (L2 SRAM address)
  u32 begin;  // first word of the copied description
  u32 end;    // end of the copied description
  u64 addr_boundary;
  u64 neuron_base;
  u64 coeff_base;
  u64 scratch_addr;
  u32 extra_word;
  u64 bridge_addr;
  u32 dtcm_size;
  u32 input_num;
  u32 *input_ids;
  dynamic_io_tensor_t *inputs;
  u32 output_num;
  u32 *output_ids;
  dynamic_io_tensor_t *outputs;
  u32 group_num;
  i32 group_index;
  u32 layer_type;
  u32 gdma_type;
  u32 ts_num;
  u32 n_slice;
  u32 new_tensor_num;
  u32 is_h_split;
  u32 stage_num;
  u32 group_in_num;
  const u32 *group_in_ids;
  u32 id_buffer_capacity;
  u32 *id_buffer;
  u32 slice_records;  // L2 SRAM address of the group's slice records (h-split)
  global_tensor_head_t *tensor_table;
  global_tensor_head_t *extra_table;
  global_tensor_head_t *free_pool;
  u32 split_num;
  u32 split_table;  // L2 SRAM address of the group's split table
  dynamic_middle_value_t *middle_value;
  dynamic_middle_value_t middle_value_copy;  // the current layer's header words
  void *profile;
  tensor_array_info_t *owned_arrays;
} dynamic_context_t;

extern "C" {

// ---- Reading the description (bounded by ctx->end) ----
u32 dynamic_context_read_u32(dynamic_context_t *ctx);
u64 dynamic_context_read_u64(dynamic_context_t *ctx);
void dynamic_context_read_bytes(dynamic_context_t *ctx, void *dst, u32 bytes);
void dynamic_context_skip(dynamic_context_t *ctx, u32 bytes);
// A word of the description at `addr` (bounded like the reads).
u32 dynamic_context_word_at(const dynamic_context_t *ctx, u32 addr);
// Reads a record's `length` word and copies that many bytes into the zeroed
// record of `size` bytes; the length must not exceed the size.
void dynamic_context_read_record(dynamic_context_t *ctx, void *record, u32 size);
// The group's i-th slice record (h-split groups).
void dynamic_context_group_slice(const dynamic_context_t *ctx, u32 i, dynamic_group_slice_t *out);

// ---- Life of the context ----
void dynamic_context_init(dynamic_context_t *ctx, u32 description, u32 description_bytes, u64 addr_boundary,
                          u64 neuron_base, u64 coeff_base);
void dynamic_context_set_io_tensors(dynamic_context_t *ctx, u32 input_num, dynamic_io_tensor_t *inputs,
                                    u32 output_num, dynamic_io_tensor_t *outputs);
int dynamic_context_next_group(dynamic_context_t *ctx);
void dynamic_context_group_begin(dynamic_context_t *ctx);
void dynamic_context_group_end(dynamic_context_t *ctx);
void dynamic_context_destroy(dynamic_context_t *ctx);
void dynamic_context_assign_final_outputs(dynamic_context_t *ctx);
int dynamic_context_is_global(const dynamic_context_t *ctx);

// ---- Tensor references of layer records ----
void dynamic_context_unpack_neuron_tensor(dynamic_context_t *ctx, dynamic_tensor_info_t *info, int is_output);
void dynamic_context_unpack_shape_tensor(dynamic_context_t *ctx, dynamic_tensor_info_t *info, int is_output);
void dynamic_context_unpack_tensorarray_tensor(dynamic_context_t *ctx, dynamic_tensor_info_t *info,
                                               int is_output);
u64 dynamic_context_unpack_coeff_addr(dynamic_context_t *ctx);

// ---- Table access ----
void dynamic_context_tensor_push_front(dynamic_context_t *ctx, u32 key, const dynamic_tensor_info_t *info);
void dynamic_context_extra_push_front(dynamic_context_t *ctx, u32 key, const dynamic_tensor_info_t *info);
void dynamic_context_tensor_find_info(dynamic_context_t *ctx, dynamic_tensor_info_t *info);
int dynamic_context_extra_find_info(dynamic_context_t *ctx, dynamic_tensor_info_t *info);
void dynamic_context_tensor_set_info(dynamic_context_t *ctx, const dynamic_tensor_info_t *info);
void dynamic_context_extra_set_info(dynamic_context_t *ctx, const dynamic_tensor_info_t *info);
void dynamic_context_global_set_output_info(dynamic_context_t *ctx, const dynamic_tensor_info_t *info);
void dynamic_context_local_set_output_info(dynamic_context_t *ctx, dynamic_pipe_info_t *slot,
                                           local_tensor_info_t *output);
u32 dynamic_context_find_split_consume(const dynamic_context_t *ctx, u32 id);
u64 dynamic_context_get_input_addr(const dynamic_context_t *ctx, u32 id);
u64 dynamic_context_get_output_addr(const dynamic_context_t *ctx, u32 id);
void dynamic_context_try_get_input_addr(const dynamic_context_t *ctx, u32 id, u64 *addr);
void dynamic_context_try_get_output_addr(const dynamic_context_t *ctx, u32 id, u64 *addr);
// A zeroed tensor-array header that the context releases when the run ends.
tensor_array_info_t *dynamic_context_new_tensor_array(dynamic_context_t *ctx);

// ---- Global tensor records (tensor table, extra table, free pool) ----
global_tensor_head_t *global_tensor_head_create(void);
global_tensor_node_t *global_tensor_node_find(u32 id, const global_tensor_head_t *head);
global_tensor_node_t *global_tensor_node_pick(global_tensor_head_t *head, u32 id);
// `owns_host_data`: the list frees a record's replaced host data (the tensor
// table); the extra table only borrows it.
global_tensor_node_t *global_tensor_node_push_front_info(global_tensor_head_t *head, u32 key,
                                                         const dynamic_tensor_info_t *info,
                                                         global_tensor_head_t *pool, int owns_host_data);
void assign_node_info(global_tensor_node_t *node, const dynamic_tensor_info_t *info, int owns_host_data);
int global_tensor_node_find_info(const global_tensor_head_t *head, dynamic_tensor_info_t *info);
global_tensor_node_t *global_tensor_node_try_set_info(global_tensor_head_t *head,
                                                      const dynamic_tensor_info_t *info, int owns_host_data);
global_tensor_node_t *global_tensor_node_set_info(global_tensor_head_t *head, const dynamic_tensor_info_t *info,
                                                  int owns_host_data);
// Retires records whose consumer count reaches 0 into the pool; their host
// data is freed (and any borrowed copy of it in `borrower` cleared).
void global_tensor_list_recycle(global_tensor_head_t *head, const u32 *ids, u32 count,
                                global_tensor_head_t *pool, global_tensor_head_t *borrower);
void global_tensor_node_destroy(global_tensor_head_t *head, int free_host_data);

// ---- Local lists ----
local_tensor_head_t *local_tensor_head_create(void);
void local_tensor_node_push_front(local_tensor_head_t *head, const local_tensor_info_t *info);
void local_tensor_node_find(local_tensor_head_t *head, u32 id, local_tensor_info_t *out);
void local_tensor_node_destroy(local_tensor_head_t *head);

// ---- Shape helpers ----
int is_null_tensor(const dynamic_tensor_info_t *info);
void get_shape_dim4(const dynamic_tensor_info_t *info, i32 *dst);
void assign_shape_by_dim(const dynamic_tensor_info_t *info, i32 *dst, int n);
u64 get_tensor_element_num(const dynamic_tensor_info_t *info);
}
