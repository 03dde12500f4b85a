// Strided slice and unfold of tensors in device memory, and the APIs that reach
// them (161 strided slice, 165 8-bit strided slice, 203 unfold).
//
// Along every axis the slice takes begin, begin + stride, ... below end; four
// axes are one strided GDMA move (one per output batch when the innermost step
// is not 1), more than four loop over the leading axes. Unfold takes K windows
// along one axis with strided slices into a work area and stacks them as a new
// last axis with one transpose. The layers issue on the caller's node; only
// the transpose may wait, to keep the ids from wrapping.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define STRIDE_SLICE_MAX_DIMS 8
#define UNFOLD_MAX_RANK 7

// Output extents, start element and element steps of a slice of four axes.
typedef struct {
  int out[4];
  int begin[4];
  int step[4];
} stride_slice_plan_t;

// ---- API records ----

// API 161: a float32 slice of up to four axes.
typedef struct {
  u64 input;
  u64 output;
  i32 shape_size;
  i32 n, c, h, w;
  i32 begin_mask;
  i32 end_mask;
  i32 begin[4];
  i32 end[4];
  i32 stride[4];
} FW_PACKED zv_api_stride_slice_t;
static_assert(sizeof(zv_api_stride_slice_t) == 92, "zv_api_stride_slice_t is 92 bytes");

// API 165: an 8-bit slice; shape, begin, end and stride are the core's
// addresses of arrays of shape_size i32 (in its window on device memory).
typedef struct {
  u64 input;
  u64 buffer;
  u64 buffer2;
  u64 output;
  u32 shape;
  i32 shape_size;
  i32 in_store_mode;
  i32 out_store_mode;
  i32 begin_mask;
  i32 end_mask;
  u32 begin;
  u32 end;
  u32 stride;
} FW_PACKED zv_api_stride_slice_fix8b_t;
static_assert(sizeof(zv_api_stride_slice_fix8b_t) == 68, "zv_api_stride_slice_fix8b_t is 68 bytes");

// API 203: unfold of 4-byte data.
typedef struct {
  u64 input;
  i32 input_rank;
  i32 input_shape[UNFOLD_MAX_RANK];
  i32 unfold_axis;
  i32 unfold_size;
  i32 unfold_step;
  u64 buffer;
  u64 output;
} FW_PACKED zv_api_unfold_t;
static_assert(sizeof(zv_api_unfold_t) == 68, "zv_api_unfold_t is 68 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_stride_slice(u8 *param, u32 size);
u32 zv_api_stride_slice_fix8b(u8 *param, u32 size);
u32 zv_api_unfold(u8 *param, u32 size);

// ---- Layers ----

// Slices a float32 tensor of shape_size (1 to 4) axes (n, c, h, w); bit i of a
// mask makes begin[i] 0 or end[i] the extent; negative indices count from the
// end. output_shape, when not null, receives the four output extents.
void nodechip_stride_slice_v2(u64 input, u64 output, int shape_size, int n, int c, int h, int w, int begin_mask,
                              int end_mask, const int *begin, const int *end, const int *stride, int *output_shape,
                              cmd_id_node_t *node);
void nodechip_stride_slice(u64 input, u64 output, int shape_size, int n, int c, int h, int w, int begin_mask,
                           int end_mask, const int *begin, const int *end, const int *stride, cmd_id_node_t *node);
// Up to 8 axes: the last four sliced as one block per combination of the
// leading output indices (leading axis i reads mask bit shape_size - 1 - i).
void nodechip_stride_slice_md(u64 input, u64 output, const int *shape, int shape_size, int begin_mask, int end_mask,
                              const int *begin, const int *end, const int *stride, cmd_id_node_t *node);
// 8-bit slices of up to four axes, each side 1N or 4N; a 4N input sliced along
// its batch goes through 1N bytes in buffer (buffer2 past it for a 4N output).
// With buffer_size not null, only stores the work-area bytes needed.
void nodechip_stride_slice_fix8b(u64 input, u64 output, u64 buffer, u64 buffer2, u64 *buffer_size, const int *shape,
                                 int shape_size, int in_store_mode, int out_store_mode, int begin_mask, int end_mask,
                                 const int *begin, const int *end, const int *stride, cmd_id_node_t *node);
void nodechip_stride_slice_v2_fix8b(u64 input, u64 output, u64 buffer, u64 buffer2, int shape_size,
                                    int in_store_mode, int out_store_mode, int n, int c, int h, int w,
                                    int begin_mask, int end_mask, const int *begin, const int *end,
                                    const int *stride, cmd_id_node_t *node);
// Windows of unfold_size every unfold_step along unfold_axis, stacked as a new
// last axis. buffer takes two areas of the output's size; with buffer_size not
// null, only stores the bytes needed.
void nodechip_unfold(u64 input, int input_rank, const int *input_shape, int unfold_axis, int unfold_size,
                     int unfold_step, u64 buffer, u64 *buffer_size, u64 output, cmd_id_node_t *node);
}
