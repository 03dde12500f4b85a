// Local fixed-point convolution kernels: 8-bit convolution with
// requantization, 8-bit 3x3 Winograd, 8-bit deconvolution and the 8-bit
// multiply-and-shift, on slices resident in local memory (4N storage: four
// batch items per word, resident.h). They issue tensor-engine commands on the
// caller's node and return without waiting.
//
// Weights: four input channels per word, per output channel in its lane;
// weight_layout 0 keeps the kernel plane innermost (kh*kw, kh*kw*ceil(ic/4),
// kw, 1), non-zero the input channels (1, kh*kw*ceil(ic/4), kw*ceil(ic/4),
// ceil(ic/4)). Bias modes: 0 none; 1 a 16-bit value per output channel in its
// lane (2 bytes per lane row); 2 the bias right after each output channel's
// kernel words (kh*kw*align4(ic) bytes), the caller's bias offset pointing at
// the first.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

#define FIX_BIAS_NONE 0
#define FIX_BIAS_TENSOR 1
#define FIX_BIAS_AFTER_WEIGHTS 2

extern "C" {

// Requantization: output = saturate((input * multiplier) >> rshift, rounding
// half up) on an 8-bit 4N tensor, in place allowed. An unsigned output from a
// signed operand goes through a 16-bit signed intermediate at `scratch`
// (ceil(n/2) * ceil(c/64) * plane(h, w) words per lane).
void nodechip_mulshift_fix8b_forward_local(u32 input, u32 scratch, u32 output, int n, int c,
                                           int h, int w, int multiplier, int rshift,
                                           int input_sign, int multiplier_sign, int output_sign,
                                           cmd_id_node_t *node);

// 8-bit convolution (depthwise shapes issue nothing: they run on the pooling
// engine). relu_upper_limit > 0 clamps the 8-bit result (grouped convolutions
// refuse it). With requantize set the result is multiplied and shifted
// (nodechip_mulshift_fix8b_forward_local, scratch as there).
void nodechip_conv_forward_local_fix8b(
    u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *ishape,
    const dim4_t *oshape, int groups, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
    int pad_w_l, int pad_w_r, int stride_h, int stride_w, int bias_mode, int result_add,
    int if_relu, int relu_upper_limit, int unused_ht_for_input_tensor,
    int unused_hb_for_input_tensor, int unused_wl_for_input_tensor,
    int unused_wr_for_input_tensor, int ins_h, int ins_w, int rshift, int input_sign,
    int weight_sign, int bias_sign, u8 weight_layout, int requantize, int multiplier,
    int rq_shift, int output_sign, cmd_id_node_t *node);

// 8-bit Winograd F(2x2, 3x3) on transformed weights (16 words per group of
// four input channels). Grouped: use_winograd 1 keeps the biases in their
// output lanes, otherwise each group's biases follow the previous group's;
// with bias mode 2 each group's weights and biases form one block rounded up
// to 128 bytes. With unused margins the resident input keeps rows of width iw.
void nodechip_winograd_forward_local_fix8b(
    u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *ishape,
    const dim4_t *oshape, int groups, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
    int bias_mode, int result_add, int if_relu, int relu_upper_limit, int use_winograd,
    int unused_ht_for_input_tensor, int unused_hb_for_input_tensor,
    int unused_wl_for_input_tensor, int unused_wr_for_input_tensor, int rshift, int input_sign,
    int weight_sign, int bias_sign, int mode, int requantize, int multiplier, int rq_shift,
    int output_sign, cmd_id_node_t *node);

// 8-bit deconvolution: the zero-inserted input convolved with the rotated
// kernel (weights kernel plane innermost).
void nodechip_deconv_fix8b_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                         const dim4_t *ishape, const dim4_t *oshape, int groups,
                                         int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
                                         int pad_w_l, int pad_w_r, int ins_h, int ins_w,
                                         int bias_mode, int if_relu, int rshift, int input_sign,
                                         int weight_sign, int bias_sign, cmd_id_node_t *node);
}
