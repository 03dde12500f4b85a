// Local pooling and upsampling kernels: float max and average pooling with
// exact border averages, 8-bit pooling (max, average, depthwise with weights)
// with border rescaling, and nearest-neighbour upsampling (float and 8-bit
// 4N), on slices resident in local memory. They issue tensor-engine commands
// on the caller's node and return without waiting. Offsets are untagged
// (resident.h); float parameters are f32 values.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

// Border modes of average pooling.
#define POOL_BORDER_EXTRA 0    // only the last row and column that the output extension adds
#define POOL_BORDER_CLIPPED 1  // every row and column whose window is clipped by the input

extern "C" {

// Real input rows (columns) under the window of output row (column) i when
// the window is kernel long, starts kernel - pad + i * stride past the input's
// first row minus kernel, over an input of `extent`: min(D, extent) -
// max(D - kernel, 0) with D = kernel - pad + i * stride. Pure.
int pool_real_count(int i, int kernel, int pad, int stride, int extent);

// The 8-bit rescale factor kernel / count as multiplier / 2^shift: the
// largest shift whose rounded multiplier still fits 8 bits. Pure.
void pool_rescale_ratio(int kernel, int count, int *multiplier, int *shift);

// The bottom (right) pad that makes the windows cover exactly `out` outputs.
int pool_cover_pad(int out, int kernel, int stride, int extent, int pad_lo);

// Max pooling (is_avg 0) or average pooling dividing every window by kh*kw,
// then rescaling the border rows and columns by border_mode; ReLU when set.
// Windows wholly outside the input are refused before anything is issued.
void nodechip_pooling_forward_local(u32 input, u32 output, const dim4_t *ishape,
                                    const dim4_t *oshape, int kh, int kw, int pad_h_t,
                                    int pad_h_b, int pad_w_l, int pad_w_r, int stride_h,
                                    int stride_w, int is_avg, int border_mode, cmd_id_node_t *node,
                                    int if_relu);

// One 8-bit pooling command (pool_type 0 max, 1 average, 2 depthwise with the
// 8-bit weights at `weight`); with border_rescale set and pool_type not 0 each
// row and column whose window the input clips is multiplied by kh/F (kw/G)
// as the closest 8-bit ratio (pool_rescale_ratio). unused is passed on
// unread.
void nodechip_pooling_fix8b_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                          const dim4_t *ishape, const dim4_t *oshape, int kh,
                                          int kw, int pad_h_t, int pad_h_b, int pad_w_l,
                                          int pad_w_r, int stride_h, int stride_w, int ins_h,
                                          int ins_w, int pool_type, int border_rescale,
                                          int rshift, int using_bias, int unused,
                                          int input_sign, int weight_sign, int bias_sign,
                                          int output_sign, int if_relu, cmd_id_node_t *node);

// output (y, x) = input (y / size, x / size), one pooling command; ReLU when set.
void nodechip_upsample_forward_local(u32 input, u32 output, const dim4_t *ishape,
                                     const dim4_t *oshape, int size, cmd_id_node_t *node,
                                     int if_relu);
// The same on 8-bit 4N words by copies; arguments 6 to 10 are not used.
void nodechip_upsample_fix8b_forward_local(u32 input, u32 output, const dim4_t *ishape,
                                           const dim4_t *oshape, int size, int unused0,
                                           int unused1, int unused2, int unused3, int unused4,
                                           cmd_id_node_t *node);
}
