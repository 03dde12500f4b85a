// 8-bit Winograd F(2x2, 3x3) convolution of 4N tensors (API 83 with
// use_winograd 1): stride 1, no dilation, weights the host transformed into
// 4 x 4 tiles of int8 (16 words per group of four input channels).
//
// Weights: use_winograd 1 as [icg4 / 4][ocg][16 words] per group; 2 as
// [lane][ocn][icg4 / 4][16 words]; bias_mode 2 as arrangement 2 with each
// lane's 16-bit biases after its weights; bias_mode 1 a separate 16-bit array
// ([ocg], or [lane][ocn] for arrangement 2). In local memory every lane holds
// its output channels' tiles as [lane row][icg4 / 4][16 words].
//
// Output rows are cut into chunks of a multiple of four rows (no chunk of 1
// to 3 rows), batch into groups of four; input and output slices are
// double-buffered around the convolution of each slice.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

extern "C" {

// The row chunk for hsecs sections of oh rows; 0 when none exists.
int winograd_fix8b_row_chunk(int oh, int hsecs);

void nodechip_winograd_forward_parallel_fix8b(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                              int input_n, int input_c, int input_h, int input_w, int groups,
                                              int output_c, int pad_h, int pad_h_after, int pad_w, int pad_w_after,
                                              int bias_mode, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu,
                                              int relu_upper_limit, int use_winograd, int ins_h, int ins_w,
                                              int rshift, int input_sign, int weight_sign, int bias_sign,
                                              int output_mode, int rq0, int rq1, int rq2, int rq3,
                                              cmd_id_node_t *node);

void nodechip_winograd_forward_parallel_fix8b_with_data_split(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c, int input_h,
    int input_w, int groups, int output_c, int pad_h, int pad_h_after, int pad_w, int pad_w_after, int bias_mode,
    int if_relu, int relu_upper_limit, int use_winograd, int ins_h, int ins_w, int rshift, int input_sign,
    int weight_sign, int bias_sign, int output_mode, int rq0, int rq1, int rq2, int rq3, cmd_id_node_t *node);
}
