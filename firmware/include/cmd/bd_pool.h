// Pooling commands of the tensor engine: float32 max and average pooling with
// their channel-splitting wrappers, and the 8-bit pooling command (max,
// average through the reciprocal tables, depthwise).
//
// Operands are tagged local addresses, 128-byte aligned: operand 0 the output
// (n, c, output_h, output_w), operand 1 the input (channel c of both in lane
// (s + c) % 64, EU-aligned planes), operand 2 the kernel window. Padding and
// inserted zeros count as zeros in an average; a max takes only input
// elements. Each generator writes its descriptors directly into the tensor
// engine's window on the caller's node and returns without waiting.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/bd_desc.h"

// Float pooling cuts 4096 channels or more into groups of this many.
#define POOL_C_PIECE 4032

// dev_table_i[x] / 2^dev_table_e[x] is the closest such ratio to 1 / x with an
// 8-bit multiplier (the smallest exponent among equal ratios); entries 0 and 1
// are (1, 0).
extern const u8 dev_table_i[256];
extern const u8 dev_table_e[256];

extern "C" {

void atomic_max_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                int input_h, int input_w, int output_h, int output_w, int kh,
                                int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                int ins0_h, cmd_id_node_t *node);
// Every window sum times `scale` (f32 bits: 1 / (kh * kw) for an average, 1.0
// for a plain sum).
void atomic_avg_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                int input_h, int input_w, int output_h, int output_w, int kh,
                                int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                int ins0_h, u32 scale, cmd_id_node_t *node);
// One command each (input_c below 4096).
void __atomic_max_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                  int input_h, int input_w, int output_h, int output_w, int kh,
                                  int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                  int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                  int ins0_h, cmd_id_node_t *node);
void __atomic_avg_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                  int input_h, int input_w, int output_h, int output_w, int kh,
                                  int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                  int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                  int ins0_h, u32 scale, cmd_id_node_t *node);

// 8-bit pooling on 4N data. pool_mode 0 max (kernel_addr: unused multiplier
// word), 1 average (the window sum times the reciprocal multiplier, shifted
// right by rshift plus its exponent; an area above 255 must be a power of
// two), 2 depthwise (8-bit weights at kernel_addr, a 16-bit bias per channel
// at bias_addr when using_bias). opd0_sign, opd1_sign, opd2_sign: input,
// weights, bias signed; out_mode: ReLU. The two unused words are not read.
void atomic_pooling_fix8b_gen_cmd(u32 ifmap_addr, u32 kernel_addr, u32 ofmap_addr, u32 bias_addr,
                                  int input_n, int input_c, int input_h, int input_w,
                                  int output_h, int output_w, int kh, int kw, int pad_h_top,
                                  int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h,
                                  int stride_w, int ins0_w, int ins0_h, int pool_mode, int rshift,
                                  int using_bias, int unused0, int opd0_sign, int opd1_sign,
                                  int opd2_sign, int unused1, int out_mode, cmd_id_node_t *node);
}
