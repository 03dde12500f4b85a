// Concat, slice and split: joining tensors along one axis and cutting one
// tensor into consecutive pieces along an axis, with row copies (copy.h) and
// general moves from device memory to device memory; and the APIs that reach
// them (91 and 92 concat, 115 and 143 slice, 146 8-bit split).
//
// Along an axis, a dense tensor is `rows` rows (the product of the extents
// before the axis) of `len` elements (the extents from the axis on); each piece
// is one row copy with the whole tensor's row as one side's stride. 8-bit 4N
// tensors move as 32-bit words, one word per element of four batch items;
// pieces along the batch axis either keep whole groups of four (concat_fix8b),
// interleave items into the groups (concat_md_fix8b), or go through 1N bytes
// in a work area (split_tf_fix8b). The layers issue GDMA commands on the
// caller's node and never wait.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/firmware_main.h"
#include "runtime/types.h"

#define CONCAT_MAX_INPUTS 10
#define CONCAT_MAX_DIMS 8
#define SPLIT_MAX_OUTPUTS 10

// ---- API records ----

// APIs 91 (float32) and 92 (8-bit 4N): input_num inputs joined along axis.
typedef struct {
  u64 inputs[CONCAT_MAX_INPUTS];
  u64 output;
  i32 input_shapes[CONCAT_MAX_INPUTS][4];
  i32 output_shape[4];
  i32 flags[CONCAT_MAX_INPUTS];  // 1: the input is not copied
  i32 input_num;
  i32 axis;
} FW_PACKED zv_api_concat_t;
static_assert(sizeof(zv_api_concat_t) == 312, "zv_api_concat_t is 312 bytes");

// APIs 115 (float32) and 143 (8-bit): a record of variable length. Bytes 0-11
// are this header; then `count` u64 output addresses, five i32 (n, c, h, w,
// axis) and `count` i32 output extents along the axis.
typedef struct {
  u64 input;
  u32 count;
} FW_PACKED zv_api_slice_head_t;
static_assert(sizeof(zv_api_slice_head_t) == 12, "the slice header is 12 bytes");
// Outputs a slice record can name: its header, addresses, shape and extents
// (32 + 12 count bytes) fit the parameter buffer.
#define SLICE_MAX_OUTPUTS ((API_PARAM_BUF_SIZE - 32u) / 12u)

// API 146: an 8-bit split; `shape` is the core's address of shape_size i32.
typedef struct {
  u64 input;
  u64 buffer;
  u64 buffer2;
  u32 shape;
  i32 shape_size;
  i32 in_store_mode;
  i32 out_store_mode;
  i32 axis;
  i32 split_sizes[SPLIT_MAX_OUTPUTS];
  i32 split_num;
  u64 outputs[SPLIT_MAX_OUTPUTS];
} FW_PACKED zv_api_split_tf_fix8b_t;
static_assert(sizeof(zv_api_split_tf_fix8b_t) == 168, "zv_api_split_tf_fix8b_t is 168 bytes");

// How one input of the 8-bit batch interleave lands in the output: `full`
// items moved as whole groups to byte `whole_at` (unless skipped), then
// `placed` items from input item `first` placed from slot `slot` of the group
// at byte `place_at`.
typedef struct {
  int full;
  u64 whole_at;
  int placed, first, slot;
  u64 place_at;
} concat_interleave_t;

extern "C" {

// ---- Handlers ----
u32 zv_api_concat(u8 *param, u32 size);
u32 zv_api_concat_fix8b(u8 *param, u32 size);
u32 zv_api_slice_forward(u8 *param, u32 size);
u32 zv_api_slice_fix8b_forward(u8 *param, u32 size);
u32 zv_api_split_tf_fix8b(u8 *param, u32 size);

// ---- Planning ----

// The batch interleave of concat_md_fix8b for input_num inputs of items[i]
// items with group_words[i] words per group of four: fills plan[i] and returns
// the slot count left in the last group (0 to 3).
int concat_interleave_plan_of(int input_num, const int *items, const int *group_words, concat_interleave_t *plan);

// ---- Layers ----

// Joins input_num float32 tensors of input_shapes[i] (4 int each) along axis
// 0-3 into output_shape; an input whose flag is 1 is skipped but its extent
// still advances the output.
void nodechip_concat(int axis, int input_num, const u64 *inputs, u64 output, const int *input_shapes,
                     const int *output_shape, const int *flags, cmd_id_node_t *node);
// The same for 8-bit 4N tensors; along axis 0 each input takes whole groups.
void nodechip_concat_fix8b(int axis, int input_num, const u64 *inputs, u64 output, const int *input_shapes,
                           const int *output_shape, const int *flags, cmd_id_node_t *node);
// Up to 8 axes (input_shapes: 8 int per input); a negative axis counts from the end.
void nodechip_concat_md(int concat_axis, int shape_size, int input_num, const u64 *inputs, u64 output,
                        const int *input_shapes, const int *output_shape, const int *flags, cmd_id_node_t *node);
// The same for 8-bit 4N tensors; along axis 0 the items are interleaved so
// that inputs of any batch count join without gaps.
void nodechip_concat_md_fix8b(int concat_axis, int shape_size, int input_num, const u64 *inputs, u64 output,
                              const int *input_shapes, const int *output_shape, const int *flags,
                              cmd_id_node_t *node);

// Cuts a float32 (n, c, h, w) tensor along axis 0-3 into count outputs of
// sizes[i] along the axis; an output whose flag is 0 is not written.
void nodechip_slice_forward(u64 input, int count, const u64 *outputs, int n, int c, int h, int w, int axis,
                            const int *sizes, const int *flags, cmd_id_node_t *node);
// The same on bytes.
void nodechip_slice_fix8b_forward(u64 input, int count, const u64 *outputs, int n, int c, int h, int w, int axis,
                                  const int *sizes, const int *flags, cmd_id_node_t *node);

// Splits a float32 tensor of shape_dim (up to 4) axes along axis 0-3: split_num
// outputs of split_sizes[i], or with split_num 1, split_sizes[0] equal parts.
void nodechip_split_tf(u64 input, const u64 *outputs, int shape_dim, int n, int c, int h, int w, int axis,
                       const int *split_sizes, int split_num, cmd_id_node_t *node);
// The same for up to 8 axes; a negative split_axis counts from the end.
void nodechip_split_tf_md(u64 input, const u64 *outputs, int shape_dim, const int *shape, int split_axis,
                          const int *split_sizes, int split_num, cmd_id_node_t *node);
// The 8-bit split, each side 1N or 4N, through buffer (and buffer2 past the 1N
// copy of a 4N input split along the batch). With buffer_size not null, only
// stores the work-area bytes needed.
void nodechip_split_tf_fix8b(u64 input, u64 buffer, u64 buffer2, u64 *buffer_size, const int *shape, int shape_size,
                             int in_store_mode, int out_store_mode, int axis, const int *split_sizes, int split_num,
                             const u64 *outputs, cmd_id_node_t *node);
}
