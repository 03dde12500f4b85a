// 8-bit deconvolution (transposed convolution) of 4N int8 tensors (API 130):
// the input with stride - 1 zeros inserted between rows and columns,
// convolved with the kernel turned by 180 degrees under pads khe - 1 - pad on
// each side (plus output_pad at the bottom and right), 16-bit bias, rshift and
// ReLU as the 8-bit convolution.
//
// Weights: weight_layout 0 as [icg][ocg][kh][kw] per group, 1 as
// [ocg][icg4 / 4][kh x kw][4 input channels]; both reach local memory in the
// second arrangement. Slices: output-channel slices whose weights fit one 64 KB
// bank, one group of four batch items, and output-row slices whose input rows
// fit an input buffer; loads and stores overlap the convolution of the
// neighbouring slice.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define DECONV_FIX8B_INPUT1 0x10000u
#define DECONV_FIX8B_WEIGHT 0x20000u
#define DECONV_FIX8B_OUTPUT0 0x40000u
#define DECONV_FIX8B_OUTPUT1 0x60000u
#define DECONV_FIX8B_BANK 0x10000u

typedef struct {
  int icg, ocg, icg4, khe, kwe, oh, ow;
  int pt, pb, pl, pr;  // pads of the convolution over the inserted input
  int oc_slice, ih_slice, oh_slice;
  u32 bias_area;       // bytes of the bias buffer before each input buffer
} deconv_fix8b_plan_t;

extern "C" {

// The slice plan. Pure apart from its assertions.
void deconv_fix8b_plan_of(deconv_fix8b_plan_t *p, int input_c, int input_h, int input_w, int output_c, int groups,
                          int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
                          int stride_h, int stride_w, int output_pad_h, int output_pad_w, int have_bias);

void nodechip_deconv_fix8b_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                            int input_n, int input_c, int input_h, int input_w, int output_c,
                                            int groups, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
                                            int pad_w_l, int pad_w_r, int stride_h, int stride_w, int output_pad_h,
                                            int output_pad_w, int have_bias, int if_relu, int rshift,
                                            int weight_layout, int input_sign, int weight_sign, int bias_sign,
                                            cmd_id_node_t *node);
}

// API 130. The addresses come in the order input, weight, bias, output (not
// the layer's argument order).
typedef struct {
  u64 input_addr;
  u64 weight_addr;
  u64 bias_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 output_c;
  i32 groups;
  i32 kh;
  i32 kw;
  i32 dh;
  i32 dw;
  i32 pad_h;
  i32 pad_w;
  i32 stride_h;
  i32 stride_w;
  i32 output_pad_h;
  i32 output_pad_w;
  i32 using_bias;
  i32 if_relu;
  i32 rshift;
  i32 weight_layout;
  i32 opd0_sign;  // input
  i32 opd1_sign;  // weight
  i32 opd2_sign;  // bias
  i32 reserved;
} FW_PACKED zv_api_deconv_fix8b_forward_parallel_t;
static_assert(sizeof(zv_api_deconv_fix8b_forward_parallel_t) == 128,
              "zv_api_deconv_fix8b_forward_parallel_t is 128 bytes");

extern "C" u32 zv_api_deconv_fix8b_forward_parallel(u8 *param, u32 size);
