// Arithmetic on shape tensors, run on the ARM: shape tensors keep their values
// in ARM memory (int32 or float32, row-major, at most 8 dims), so binary
// operations with broadcasting, concatenation, reduction, reversal, tiling and
// slicing of them are plain loops here. No engine, table or context is
// touched.
//
// A routine that produces values allocates the output block (4 bytes per
// element) and stores it through `output`; the caller owns it. Except for
// concat_data, nothing is allocated (and `output` is left as it was) when the
// output holds no element. Output shapes go to a caller's array of 8 slots;
// the routine returns the output dims.
//
// `is_int`: 0 selects float32, any other value int32.
#pragma once

#include "runtime/types.h"

#define SHAPE_MAX_DIMS 8

extern "C" {

// Advances a row-major index over `shape`; 1 while the index is valid, 0 after
// the last element (and for 0 dims).
int increase_indice(i32 *index, const i32 *shape, int dims);

// The element type of a comparison result (float32).
u32 logical_dtype(void);

// op(a, b) element-wise with broadcasting (shapes aligned at their last dim;
// an extent of 1 stretches). Comparisons give float32 1.0 / 0.0.
int broadcast_data(const void *a, const i32 *a_shape, int a_dims, const void *b, const i32 *b_shape, int b_dims,
                   int is_int, int binary_op, void **output, i32 *out_shape);

// Joins `input_num` arrays along `axis` (negative: from input 0's dims);
// inputs with a 0 extent are skipped. The output block is always allocated.
int concat_data(const void *const *values, const i32 *const *shapes, const int *dims, int input_num, int axis,
                void **output, i32 *out_shape);

// Reduces over `axes` (all dims when axis_num <= 0): 0 mean, 1 sum, 2 max,
// 3 min, 4 product; keep_dims keeps reduced dims as extents of 1.
int reduce_data(const void *values, const i32 *shape, int dims, int is_int, const i32 *axes, int axis_num,
                int method, int keep_dims, void **output, i32 *out_shape);

// Reverses along `axis` (negative: from the end); the shape is unchanged.
void reverse_data(const void *values, const i32 *shape, int dims, int axis, void **output);

// Repeats the array `multiples[i]` times along each dim.
int tile_data(const void *values, const i32 *shape, int dims, const i32 *multiples, void **output,
              i32 *out_shape);

// `size` entries from `start` along `axis`.
int slice_data_by_axis(const void *values, const i32 *shape, int dims, int axis, int start, int size,
                       void **output, i32 *out_shape);

// Expands a strided-slice description of `count` entries (with ellipsis and
// new-axis entries) into one entry per dense dim.
void stride_slice_dense_spec(const i32 *shape, int dims, const i32 *begin, const i32 *end, const i32 *stride,
                             int count, int begin_mask, int end_mask, int ellipsis_mask, int new_axis_mask,
                             int shrink_axis_mask, i32 *dense_shape, int *dense_dims, i32 *dense_begin,
                             i32 *dense_end, i32 *dense_stride, int *dense_begin_mask, int *dense_end_mask,
                             int *dense_shrink_mask);

// Begin, end and extent of one dense dim of a strided slice: masks applied,
// negative indices counted from the end once, out-of-range indices clamped
// to the dim (a shrunk index must lie inside it). Returns the extent (0 when
// the range selects nothing). Pure.
int stride_slice_resolve_dim(int n, int begin, int end, int step, int begin_masked, int end_masked, int shrink,
                             i32 *begin_out, i32 *end_out);

// A strided slice of the array.
int slice_data(const void *values, const i32 *shape, int dims, const i32 *begin, const i32 *stride, const i32 *end,
               int count, int begin_mask, int end_mask, int ellipsis_mask, int new_axis_mask, int shrink_axis_mask,
               void **output, i32 *out_shape);
}
