// Matrix commands of the tensor engine: the fully connected command in float32,
// 8-bit and constant-left forms, the image sum built on it, and the parallel
// decompress command.
//
// A matrix in local memory has one row per batch position and spreads each row
// over C lanes (sections) of W elements from the address's start lane; rows
// are padded to 128 bytes per lane (Y and R take R's column layout). L is
// Y_rows x L_cols, or stored transposed (L_cols rows of Y_rows) when L_trans.
// Addresses are tagged local addresses, 128-byte aligned.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/bd_desc.h"

extern "C" {

// Y = L x R (+ bias row), added to Y when result_add.
void atomic_fc_gen_cmd(int using_bias, int L_trans, int result_add, u32 L_start_addr,
                       u32 R_start_addr, u32 Y_start_addr, u32 bias_start_addr, int L_sec_w,
                       int L_sec_c, int R_sec_w, int R_sec_c, int Y_rows, int L_cols,
                       cmd_id_node_t *node);
// 8-bit L and R, 16-bit bias: Y = ((Y << mode21 when result_add) + L x R
// (+ bias)) >> rshift (rounding), ReLU when out_mode, saturated to the result
// width prec3 (0 8-bit, 3 16-bit) and sign (bias_param: signed result).
void atomic_fc_fix8b_gen_cmd(int using_bias, int L_trans, int result_add, u32 L_start_addr,
                             u32 R_start_addr, u32 Y_start_addr, u32 bias_start_addr, int L_sec_w,
                             int L_sec_c, int R_sec_w, int R_sec_c, int Y_rows, int L_cols,
                             int bias_param, int mode21, int rshift, int out_mode, int opd0_sign,
                             int opd1_sign, int opd2_sign, int prec3, cmd_id_node_t *node);
// The float form whose every L element is the constant L_const (f32 bits).
void atomic_fc_const_L_gen_cmd(int using_bias, int L_trans, int result_add, u32 R_start_addr,
                               u32 Y_start_addr, u32 bias_start_addr, int L_sec_w, int L_sec_c,
                               int R_sec_w, int R_sec_c, int Y_rows, int L_cols, u32 L_const,
                               cmd_id_node_t *node);

// Sums the c rows (batch items) of a float32 tensor of `lanes` channels of
// h x w into one (added to the output when result_add).
void atomic_img_sum_gen_cmd(u32 input_addr, u32 output_addr, int c, int lanes, int h, int w,
                            int result_add, cmd_id_node_t *node);

// In every lane: for i below len, the value i of table_addr is written at the
// position given by the 16-bit entry i of src_addr into dst_addr (mode 1: float32
// values; any other mode: bytes).
void atomic_parallel_decompress_gen_cmd(u32 src_addr, u32 table_addr, u32 dst_addr, int len,
                                        int mode, cmd_id_node_t *node);
}
