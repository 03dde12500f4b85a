// Convolution-family commands of the tensor engine: float32 convolution (plain,
// kernel strides, unaligned input), the 8-bit and 16-bit fixed-point
// convolutions with kernel and bias strides, the three Winograd forms, the
// depthwise convolutions and the channel sum built on the plain convolution.
//
// A convolution command names four operands: operand 0 the output, 1 the
// input, 2 the weights, 3 the bias; all are tagged local addresses
// (LOCAL_ADDR_TAG | start lane << 19 | offset). Each generator checks its
// arguments, then writes one descriptor directly into the tensor engine's
// window on the caller's node and returns without waiting.
//
// Weights: output channel o lies in lane (s + o) % 64 of the weight address's
// start lane s; input channels are grouped (two per 8-byte unit for float32,
// four per word for 8-bit data) and the four kernel strides count those units:
// kstride0 between input-channel groups, kstride1 between output channels 64
// apart (the same lane), then the row and column strides. 8-bit convolution
// inputs and outputs hold four batch items per word (4N), 16-bit outputs two
// (2N); their strides count words.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/bd_desc.h"

// Largest padded (and zero-inserted) extent of a float convolution command, and
// the bound on the width of the fixed-point and Winograd forms.
#define CONV_MAX_EXTENT 2047
#define CONV_FIX_MAX_W 4096

extern "C" {

// One float32 convolution over the default (EU-aligned) input layout with the
// default weight layout. `weight_const` (f32 bits) stands for every weight when
// `weight_is_const` is set. dh, dw: dilations (1: none); ins_h, ins_w: zeros
// inserted between input rows and columns; kernel_flag: the kernel is rotated
// by 180 degrees (deconvolution); result_add: the result is added to the
// output's previous contents.
void atomic_conv_neuron_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr,
                                int input_n, int input_c, int input_h, int input_w, int ins_h,
                                int ins_w, int output_c, int output_h, int output_w,
                                int weight_is_const, u32 weight_const, int kh, int kw, int dh,
                                int dw, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r,
                                int stride_h, int stride_w, int using_bias, int kernel_flag,
                                int result_add, cmd_id_node_t *node);

// The same with the four kernel strides (input-channel group, output channel,
// row, column).
void atomic_conv_neuron_kernel_stride_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int ins_h, int ins_w, int output_c, int output_h, int output_w,
    int weight_is_const, u32 weight_const, int kh, int kw, int dh, int dw, int kstride0,
    int kstride1, int opd_param24, int opd_param25, int pad_h_top, int pad_h_bottom, int pad_w_l,
    int pad_w_r, int stride_h, int stride_w, int using_bias, int kernel_flag, int result_add,
    cmd_id_node_t *node);

// The same with explicit input strides (n, c, h, w) for an input that is not
// EU-aligned.
void atomic_conv_neuron_unalign_kstride_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh, int dw, int kstride0, int kstride1, int opd_param26,
    int opd_param27, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r, int stride_h,
    int stride_w, int using_bias, int kernel_flag, int result_add, cmd_id_node_t *node);

// 8-bit convolution: 4N input (input_mode 0: default layout, 3: the strides
// given), 8-bit weights, 16-bit bias, 8-bit 4N output. dh and dw are passed
// minus one. out_mode: ReLU; rshift: right shift of the accumulated result;
// opd0_sign, opd1_sign, opd2_sign: the input, weights and bias are signed;
// weight_mode 1: default weight layout, 3: the kernel strides given. The word
// after kernel_flag is not read (these commands do not accumulate).
void atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r,
    int stride_h, int stride_w, int using_bias, int kernel_flag, int unused, int out_mode,
    int rshift, int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode,
    cmd_id_node_t *node);

// The 8-bit form with bias strides (bstride1: halfwords between the biases of
// output channels 64 apart, for a bias that follows each channel's weights) and
// a result precision code.
void atomic_conv_neuron_kernel_stride_bias_stride_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int bstride0, int bstride1, int opd_param28,
    int opd_param29, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r, int stride_h,
    int stride_w, int using_bias, int kernel_flag, int unused, int out_mode, int rshift,
    int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode, int prec,
    cmd_id_node_t *node);

// 16-bit output twins of the two 8-bit forms (2N output; ostride0: the output's
// batch-pair stride in words).
void atomic_conv_neuron_kernel_stride_fix16b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int ostride0, int pad_h_top, int pad_h_bottom, int pad_w_l,
    int pad_w_r, int stride_h, int stride_w, int using_bias, int kernel_flag, int unused,
    int out_mode, int rshift, int opd0_sign, int opd1_sign, int opd2_sign, int input_mode,
    int weight_mode, int prec, cmd_id_node_t *node);
void atomic_conv_neuron_kernel_stride_bias_stride_fix16b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int bstride0, int bstride1, int opd_param28,
    int opd_param29, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r, int stride_h,
    int stride_w, int using_bias, int kernel_flag, int unused, int out_mode, int rshift,
    int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode, int prec,
    cmd_id_node_t *node);

// Winograd F(2x2, 3x3), stride 1, on pre-transformed weights: 16 values per
// input and output channel (4 x 4, float32 or 8-bit).
void atomic_winograd_neuron_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr,
                                    u32 bias_addr, int input_n, int input_c, int input_h,
                                    int input_w, int ins_h, int ins_w, int output_c, int output_h,
                                    int output_w, int pad_h_top, int pad_h_bottom, int pad_w_l,
                                    int pad_w_r, int using_bias, int result_add,
                                    cmd_id_node_t *node);
void atomic_winograd_neuron_unaligned_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int pad_h_top,
    int pad_h_bottom, int pad_w_l, int pad_w_r, int using_bias, int result_add,
    cmd_id_node_t *node);
void atomic_winograd_neuron_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int pad_h_top,
    int pad_h_bottom, int pad_w_l, int pad_w_r, int using_bias, int result_add, int out_mode,
    int rshift, int opd0_sign, int opd2_sign, int input_mode, cmd_id_node_t *node);

// Depthwise convolution: channel c of the output from channel c of the input
// and its own kh x kw kernel (weights of a channel kh * kw elements apart per
// lane row), one bias value per channel.
void atomic_depthwise_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr,
                              int input_n, int input_c, int input_h, int input_w, int output_h,
                              int output_w, int kh, int kw, int pad_h_top, int pad_h_bottom,
                              int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                              int ins0_w, int ins0_h, int using_bias, cmd_id_node_t *node);
void atomic_depthwise_with_dilation_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr,
                                            u32 bias_addr, int input_n, int input_c, int input_h,
                                            int input_w, int output_h, int output_w, int kh,
                                            int kw, int pad_h_top, int pad_h_bottom,
                                            int pad_w_left, int pad_w_right, int dh, int dw,
                                            int stride_h, int stride_w, int ins0_w, int ins0_h,
                                            int using_bias, cmd_id_node_t *node);
// 8-bit 4N input and weights, 16-bit bias, 16-bit 2N output.
void atomic_depthwise_fix16b_gen_cmd(u32 ifmap_addr, u32 weight_addr, u32 ofmap_addr,
                                     u32 bias_addr, int input_n, int input_c, int input_h,
                                     int input_w, int output_h, int output_w, int kh, int kw,
                                     int pad_h_top, int pad_h_bottom, int pad_w_left,
                                     int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                     int ins0_h, int is_avg_pooling, int rshift, int using_bias,
                                     int unused0, int opd0_sign, int opd1_sign, int opd2_sign,
                                     int unused1, int out_mode, cmd_id_node_t *node);

// Sums the c channels of a float32 tensor into each of them: a 1 x 1
// convolution with the constant weight 1.0 into one channel, then one back out
// to c channels, in place.
void tensor_sumc_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int n, int c, int h, int w,
                         cmd_id_node_t *node);
}

// ---- The convolution engine's descriptor ----
// The shapes, strides, operand words and most header fields share the
// element-wise field table of bd_desc.h: operand 0 (the output) is the result
// (BD_N.., BD_RES_.., word BD_WORD_RES), operand 1 (the input, L of a matrix
// product) is BD_OPD0_.., operand 2 (the weights, R, a constant, the pooling
// scale or multiplier) is BD_OPD1_.., operand 3 (the bias) is BD_OPD2_..;
// BD_OPD_NUM holds 3 with a bias and 2 without (pooling: 1 max, 2 average),
// BD_SHIFT2 the fully connected command's shift of the old Y. The fields only
// the convolution engine has (CONV_.., FC_..) are in the same table.

// The header fields of one command (words 1 and 2), each written through its
// declaration; a value wider than its field fails the merge's check.
typedef struct {
  u32 task, subop, operands;
  u32 rshift, lshift, res_add, out_mode, winograd, kernel_flag;
  u32 sign[3];  // descriptor bits 64-66: opd0_sign, opd1_sign, opd2_sign
  u32 prec[4];  // precision codes of operands 0 to 3
  u32 input_const, weight_const;
  u32 output_mode, input_mode, weight_mode;  // stride modes
  u32 result_prec;
} conv_header_t;

// The parameters of one fixed-point convolution command: the 8-bit and 16-bit
// generators and the power-test kernel compose their descriptors from it.
typedef struct {
  u32 ifmap, ofmap, weight, bias;
  int n, ic, ih, iw, istride[4], ins_h, ins_w, oc, oh, ow, weight_is_const;
  u32 weight_const;
  int kh, kw, dh_minus1, dw_minus1, kstride[4];
  int pad[4], stride_h, stride_w, using_bias, kernel_flag, out_mode, rshift, sign[3];
  int input_mode, weight_mode;
} fix_conv_t;

// The operands and window of one command as its descriptor holds them: the
// weight word already the constant where the weights are one, the bias word 0
// without a bias; dilations minus one. Operand 0 is n x oc x oh x ow, operand
// 1 is 1 x ic x ih x iw, operand 2 is 1 x 1 x kh x kw.
typedef struct {
  u32 ifmap, ofmap, weight, bias;
  int n, ic, ih, iw, oc, oh, ow, kh, kw, ins_h, ins_w, dh_minus1, dw_minus1, pad[4], stride_h, stride_w;
} conv_cmd_geom_t;

extern "C" {
// Shared by the convolution, pooling and fully connected generators: the
// header fields (words 1-2), the window (words 2-4), and a whole command's
// words 1 to 29 over the default image (header, window, shapes, operands).
void conv_desc_header(bd_desc_t *d, const conv_header_t *h);
void conv_desc_window(bd_desc_t *d, const conv_cmd_geom_t *g);
void conv_desc_compose(bd_desc_t *d, const conv_header_t *h, const conv_cmd_geom_t *g);
// The 8-bit kernel-stride convolution's descriptor (words 1-29 defined), with
// the bias-stride and 16-bit forms' differences left to their generators.
void fix_conv_compose(bd_desc_t *d, const fix_conv_t *a);
}
