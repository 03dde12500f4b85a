// Selection layers over tensors in device memory and the ARM read-back of
// single values, with the API that reaches them (19 filter by batch flags).
//
// Read-back: a GDMA copy of the value to a caller's scratch, a wait for the
// node, and a read through the ARM's window on device memory. The filter reads
// its per-item flags that way and moves every flagged batch item with one GDMA
// copy.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Index select: the tensor is viewed with the selected axis first (a transpose
// into `buffer` when it is not); the rows of the view named by the indices are
// then gathered by the GDE inside L2 SRAM when the whole view fits there (float
// rows of 1 or 4 elements), else by one GDMA copy per run of consecutive
// indices, the indices read on the ARM in chunks of INDEX_SELECT_CHUNK.
#define INDEX_SELECT_CHUNK 0x10000
// The GDE road's L2 SRAM area: the view, the indices and the gathered rows,
// each from a 128-byte boundary.
#define L2_SRAM_SCRATCH_START 0x100a2000u
#define L2_SRAM_SCRATCH_END 0x10300000u

typedef struct {
  int dims;        // after dropping extents of 1 in front of the axis
  int shape[8];    // the input's extents, so reduced
  int axis;        // into shape
  int order[8];    // axis first, the others in order
  int inverse[8];  // the view back to the output
  u64 rows;        // extent of the axis
  u64 inner;       // elements per row of the view
  int gde_type;    // GDE item type for float32 rows of 1 or 4 elements, -1: GDMA road
} index_select_view_t;

// Masked select: both operands are brought to one shape (leading or trailing
// 1s, then a tile into `buffer` of the operand with extents 1), 4N operands
// converted to 1N into `buffer`; the flat length is then cut into pieces of at
// most 64 lanes x MASKED_LANE_ELEMS elements, source at MASKED_LOCAL_SRC and
// mask at MASKED_LOCAL_MASK (one element per 4-byte slot), and each piece's
// selected elements go out by one filter move.
#define MASKED_LANE_ELEMS 0x10000
#define MASKED_LOCAL_SRC 0x00000u
#define MASKED_LOCAL_MASK 0x40000u
#define MASKED_MAX_DIMS 8

// How the two shapes meet: the common rank, each operand's extents at that
// rank, and which operand is tiled (at most one per dimension).
typedef struct {
  int rank;  // max(src dims, mask dims, 4)
  int src[MASKED_MAX_DIMS], mask[MASKED_MAX_DIMS], out[MASKED_MAX_DIMS];
  int tile_src, tile_mask;
  int ok;  // 0: the shapes do not broadcast
} masked_shapes_t;

// One piece of the flat length: `lanes` lanes of h x w elements.
typedef struct {
  int lanes, h, w;
} masked_piece_t;

// Where: a flat pass sends the flat index (an index sequence in local memory,
// float32) of every non-zero element to the output by one filter move per
// chunk of at most 64 rows of WHERE_FLAT_COLS; a coordinate pass then turns
// the flat indices, chunks of at most 64 rows of WHERE_COORD_COLS, into int32
// coordinates by division with a rounded reciprocal and an exact correction.
// Flat indices are exact float32 integers, so at most 2^24 elements.
#define WHERE_FLAT_COLS 0xffc0
#define WHERE_COORD_COLS 0x4000
#define WHERE_MAX_ELEMS (1u << 24)
#define WHERE_LOCAL_CHUNK 0x00000u  // flat pass: the input chunk (the mask)
#define WHERE_LOCAL_SEQ 0x40000u    // flat pass: the index sequence
#define WHERE_LOCAL_SEQ_SCRATCH 0x7ff80u
#define WHERE_LOCAL_T 0x00000u  // coordinate pass: quotient times extent
#define WHERE_LOCAL_X 0x40000u  // the value being divided
#define WHERE_LOCAL_Q 0x50000u  // quotient
#define WHERE_LOCAL_R 0x60000u  // remainder
#define WHERE_LOCAL_C 0x70000u  // correction marks

// Select: the flat element count in pieces of at most 64 lanes x
// SELECT_LANE_ELEMS, each loaded, selected and stored in turn.
#define SELECT_LANE_ELEMS 16384
#define SELECT_LOCAL_COND 0x00000u
#define SELECT_LOCAL_A 0x10000u
#define SELECT_LOCAL_B 0x20000u
#define SELECT_LOCAL_OUT 0x30000u

// ---- API records ----

// API 19.
typedef struct {
  u64 input_addr;
  u64 flag_addr;
  u64 output_addr;
  u64 flag_buffer_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
} FW_PACKED zv_api_filter_forward_t;
static_assert(sizeof(zv_api_filter_forward_t) == 48, "zv_api_filter_forward_t is 48 bytes");

// API 181.
typedef struct {
  u64 input_addr;
  u64 index_addr;
  i32 index_num;
  u64 output_addr;
  u64 buffer_addr;
  u64 buffer2_addr;
  i32 type_size;
  i32 shape[8];
  i32 dims;
  i32 axis;
} FW_PACKED zv_api_index_select_t;
static_assert(sizeof(zv_api_index_select_t) == 88, "zv_api_index_select_t is 88 bytes");

extern "C" {

// ---- Handler ----
u32 zv_api_filter_forward(u8 *param, u32 size);
u32 zv_api_index_select(u8 *param, u32 size);
u32 zv_api_masked_select(u8 *param, u32 size);
u32 zv_api_where(u8 *param, u32 size);
u32 zv_api_simple_select(u8 *param, u32 size);

// API 151.
typedef struct {
  u64 cond_addr;
  u64 a_addr;
  u64 b_addr;
  u64 output_addr;
  i32 unused0;
  i32 unused1;
  u64 length;
  i32 cond_is_constant;
  i32 unused2;
  i32 a_is_const;
  u32 a_const;
  i32 b_is_const;
  u32 b_const;
} FW_PACKED zv_api_simple_select_t;
static_assert(sizeof(zv_api_simple_select_t) == 72, "zv_api_simple_select_t is 72 bytes");

// API 702.
typedef struct {
  u64 input;
  u64 output;
  u64 count_addr;
  u64 index_buffer_addr;
  u64 count_scratch_addr;
  i32 dims;
  i32 shape[8];
} FW_PACKED zv_api_where_t;
static_assert(sizeof(zv_api_where_t) == 76, "zv_api_where_t is 76 bytes");

// API 703.
typedef struct {
  u64 src_addr;
  u64 mask_addr;
  i32 shape[8];
  i32 dims;
  u64 dst_addr;
  u64 count_addr;
  i32 src_type_size;
  i32 mask_type_size;
  u64 buffer_addr;
} FW_PACKED zv_api_masked_select_t;
static_assert(sizeof(zv_api_masked_select_t) == 84, "zv_api_masked_select_t is 84 bytes");

// ---- Planning (pure) ----

// Brings both shapes (dims 1 to 8) to their common rank: align_first keeps the
// extents in front and appends 1s, otherwise 1s go in front.
void masked_shapes_of(masked_shapes_t *m, const int *src_shape, int src_dims, const int *mask_shape, int mask_dims,
                      int align_first);
// The piece of a flat length of `remaining` (at least 1) elements that starts next.
masked_piece_t masked_piece_of(u64 remaining);

// The view of index select along axis (negative: from the end) of shape (dims
// 1 to 8) for elements of type_size bytes.
void index_select_view_of(index_select_view_t *view, const int *shape, int dims, int axis, int type_size);

// ---- ARM read-back ----

// The ARM's pointer to `bytes` bytes of device memory at `global` (the whole
// range inside the ARM's window) or of the DTCM scratch window, without any
// copy or wait.
void *arm_window_ptr(u64 global, u64 bytes);
// Copies `size` bytes from `global` to `scratch`, waits for the node and
// returns the ARM's pointer to the copy. The scratch must not be in use by a
// command still in flight.
void *get_pointer_in_arm(u64 global, u64 scratch, u64 size, cmd_id_node_t *node);
float get_float_in_arm(u64 global, u64 scratch, cmd_id_node_t *node);
u8 get_u8_in_arm(u64 global, u64 scratch, cmd_id_node_t *node);

// ---- Layers ----

// Moves the batch items i (C x H x W float32 each) whose flag (float32 at
// flags + 4 i) compares unequal to 0.0 to the output one after another (NaN
// counts as set, -0.0 as unset). The N flags are read from flag_scratch.
void nodechip_filter_forward(u64 input, u64 flags, u64 output, u64 flag_scratch, int N, int C, int H, int W,
                             cmd_id_node_t *node);

// output = the input's slices along axis named by the index_num int32 indices
// at `index` (each in [0, extent of the axis)), in index order. buffer and
// buffer2 each hold the larger of input and output when the axis is not the
// first of more than one extent; the index scratch (device memory in the ARM's
// window or the DTCM scratch window) holds min(index_num, INDEX_SELECT_CHUNK)
// int32. type_size 4 (float32) or 1 (8-bit).
void nodechip_index_select_common(u64 input, u64 index, int index_num, u64 output, u64 buffer, u64 buffer2,
                                  u64 index_scratch, int type_size, const int *shape, int dims, int axis,
                                  cmd_id_node_t *node);
void nodechip_index_select(u64 input, u64 index, int index_num, u64 output, u64 buffer, u64 buffer2,
                           u64 index_scratch, const int *shape, int dims, int axis, cmd_id_node_t *node);
void nodechip_index_select_fix8b(u64 input, u64 index, int index_num, u64 output, u64 buffer, u64 buffer2,
                                 u64 index_scratch, const int *shape, int dims, int axis, cmd_id_node_t *node);
// The source elements (float32 or signed 8-bit by src_type_size 4 or 1) where
// the mask (element size 4 or 1) is non-zero, one after another into dst (512-
// byte aligned for float32 data); returns their number. Store modes
// FW_STORE_MODE_1N or FW_STORE_MODE_4N; buffer holds the tiled or converted
// operands, buffer2 (512-byte aligned) one piece's selection.
int nodechip_masked_select(u64 src, const int *src_shape, int src_dims, u64 mask, const int *mask_shape,
                           int mask_dims, u64 dst, int src_type_size, int mask_type_size, int src_store_mode,
                           int mask_store_mode, u64 buffer, u64 buffer2, u8 align_first, cmd_id_node_t *node);
// Masked select of several sources under one mask, the source with the fewest
// dimensions first (then the others in order); counts[i] receives input i's
// count. Once a source selects nothing, the counts of those not yet processed
// are 0 and nothing more runs. At most MASKED_MAX_INPUTS sources.
#define MASKED_MAX_INPUTS 64
void nodechip_masked_select_multi_input(const u64 *src_addrs, const u64 *dst_addrs, u64 mask, u64 buffer,
                                        u64 buffer2, int input_num, const int (*src_shapes)[4], const int *src_dims,
                                        const int *mask_shape, int mask_dims, const int *src_type_sizes,
                                        int mask_type_size, const int *src_store_modes, int mask_store_mode,
                                        u8 align_first, cmd_id_node_t *node, int *counts);

// The coordinates (T rows of dims int32, in element order) of the T non-zero
// elements of a float32 tensor (-0.0 counts as zero, NaN as non-zero); returns
// T. Unless count_addr is all ones, T (int32) is written there through the
// count scratch, also when it is 0. The index buffer holds T float32 flat
// indices plus 512 bytes; output must hold T x dims int32 and T float32.
int nodechip_where_v2(u64 input, u64 output, u64 count_addr, u64 index_buffer, u64 count_scratch, const int *shape,
                      int dims, cmd_id_node_t *node);

// output[i] = cond[i] ? a[i] : b[i] over `count` float32 elements, a and b
// tensors or constants (float32 bits); then max(., 0), capped at
// relu_upper_limit when it is above 0, when do_relu. A float condition is
// true where its magnitude is above 0 (+-0.0 and NaN are false); an int32
// condition (cond_is_int32) where the word is not 0.
void nodechip_select(u64 cond, u64 a, int a_is_const, u32 a_const, u64 b, int b_is_const, u32 b_const, u64 output,
                     u64 count, int do_relu, float relu_upper_limit, int cond_is_int32, cmd_id_node_t *node);

// The GDE road: returns 1 when done, 0 when the view, the indices and the
// result do not fit the L2 SRAM area (nothing issued then).
int index_select_gde(u64 input, u64 index, u64 output, const int *shape, int dims, int index_num, int gde_mode,
                     cmd_id_node_t *node);
}
