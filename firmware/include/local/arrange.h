// Local data-arrangement kernels: padding, reorg (depth to space and back),
// tiling, the 4-D strided slice and concatenation of tensors resident in local
// memory. They move data without computing on it, by tensor-engine copies
// (and, for reorg, GDMA lane shifts), on the caller's node, without waiting.
//
// Offsets are untagged (resident.h). Float kernels move float32 elements; the
// 8-bit kernels move 4N words, so they are the float kernels with the batch
// count n replaced by the word count (n + 3) / 4. Every resident tensor takes
// the strides {ceil(c/64) * plane(h, w), plane(h, w), w, 1}.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

// Pad modes.
#define PAD_CONSTANT 0
#define PAD_REFLECT 1    // the edge is not repeated
#define PAD_SYMMETRIC 2  // the edge is repeated
#define PAD_EDGE 3       // the nearest edge value

// Concat axes.
#define CONCAT_AXIS_N 0
#define CONCAT_AXIS_C 1
#define CONCAT_AXIS_H 2
#define CONCAT_AXIS_W 3

// What a reorg does for one pair of shapes: the direction, the stride, the
// lane shifts it issues and the buffer they fill.
typedef struct {
  int depth_to_space;  // 1: tc < c (output larger in h and w); 0: space to depth
  int stride;          // s
  int shifts;          // lane-shifted copies of the input written to the buffer
  int shift_step;      // step of copy m is m * shift_step channels
  int k;               // space to depth: rows of the shifted sequence per output lane row
  int groups;          // space to depth: tc / c output channel groups
  u32 slot_bytes;      // T: one shifted copy, per lane
  u32 buffer_bytes;    // shifts * T
} reorg_plan_t;

extern "C" {

// Pads the h and w borders of an n x c x h x w tensor. paddings: {n before, n
// after, c before, c after, h before, h after, w before, w after}; the n and c
// paddings only shape the output's strides. `constant` fills in mode 0.
void nodechip_pad_local(u32 input, u32 output, int n, int c, int h, int w, const int *paddings,
                        int pad_mode, float constant, cmd_id_node_t *node);
// The same on 4N words; the low byte of `constant` fills every byte.
void nodechip_pad_fix8b_local(u32 input, u32 output, int n, int c, int h, int w,
                              const int *paddings, int pad_mode, int constant,
                              cmd_id_node_t *node);

// The reorg plan of bottom_dim {n, c, h, w} into top_dim {n, tc, th, tw};
// fix8b counts 4N words. Pure; the kernels assert the shapes first.
void reorg_plan_of(reorg_plan_t *plan, const int *bottom_dim, const int *top_dim, int fix8b);

// Reorg by an integer stride: tc < c moves channel groups into space (output
// channel k at (y*s + a, x*s + b) = input channel (a*s + b)*tc + k at (y, x)),
// tc > c the other way. `buffer` takes the lane-shifted copies
// (reorg_plan_t.buffer_bytes); with skip set they are already there and no
// shift is issued. The shifts go on `node`; afterwards `node2` (the GDMA-side
// copy) is raised to the field-wise maximum of both nodes.
void nodechip_reorg_forward_local(u32 input, u32 output, u32 buffer, const int *bottom_dim,
                                  const int *top_dim, int skip, cmd_id_node_t *node,
                                  cmd_id_node_t *node2);
void nodechip_reorg_forward_fix8b_local(u32 input, u32 output, u32 buffer, const int *bottom_dim,
                                        const int *top_dim, int skip, cmd_id_node_t *node,
                                        cmd_id_node_t *node2);

// Repeats the tensor tile_coef {tn, tc, th, tw} times along each dimension
// (tile mode 0, as blocks) or each element th x tw times (other modes; tn and
// tc must be 1). A zero coefficient ends the list: it and every later one
// count as 1. unused0 and unused1 are not read.
void nodechip_tile_local(u32 input, u32 output, const int *input_shape, const int *tile_coef,
                         int input_dim, int unused0, int unused1, int tile_mode,
                         cmd_id_node_t *node);
void nodechip_tile_fix8b_local(u32 input, u32 output, const int *input_shape,
                               const int *tile_coef, int input_dim, int unused0, int unused1,
                               int tile_mode, cmd_id_node_t *node);

// out[i] = in[b + i * stride] per dimension, for i below ceil((e - b) / stride).
// A set bit i of begin_mask makes b_i 0, of end_mask makes e_i the extent. The
// float kernel adds the extent to negative indices once and needs a channel
// begin that is a multiple of 64. Strides must be non-zero and no extent
// negative.
void nodechip_stride_slice_forward_local(u32 input, u32 output, const int *input_shape,
                                         int shape_size, int begin_mask, int end_mask,
                                         const int *begin_index, const int *end_index,
                                         const int *strides, cmd_id_node_t *node);
// The same on 4N words; the batch is not sliced (the output keeps every item).
void nodechip_stride_slice_forward_local_fix8b(u32 input, u32 output, const int *input_shape,
                                               int shape_size, int begin_mask, int end_mask,
                                               const int *begin_index, const int *end_index,
                                               const int *strides, cmd_id_node_t *node);

// Concatenates input_num tensors along concat_axis into the output; input k
// lands where its first element belongs in the output, at its own lane along
// the channel axis. Another axis issues nothing.
void nodechip_concat_local(const u32 *input_offsets, u32 output, const int *const *input_shapes,
                           int input_num, const int *output_shape, int concat_axis,
                           cmd_id_node_t *node);
// The same on 4N words (batch counts in items; along n every input but the
// last must hold a multiple of four items).
void nodechip_concat_fix8b_local(int concat_axis, int input_num, const u32 *input_offsets,
                                 u32 output, const int *const *input_shapes,
                                 const int *output_shape, cmd_id_node_t *node);
}
