// Exponential, logarithm, integer power, sigmoid, tanh, L2 normalisation and
// scaling on N x C x H x W float32 tensors in the engine's aligned local layout,
// issuing the tensor-engine commands directly.
//
// tensor_ex, tensor_lnx and tensor_xn take tagged local addresses (the caller
// has ORed LOCAL_ADDR_TAG in); the others take untagged offsets and tag them.
// Constants travel as float32 bit patterns in integer arguments. Nothing is
// checked beyond what the generators check and nothing waits. Callers pass the
// standard tables of local/math.h: EX_TABLE_LEN entries, EX_INT_TABLE and
// EX_EXP_TABLE with EX_COEFF_NUM coefficients at EX_EXPM1_COEFF for e^x;
// EX_LOG_TABLE with EX_COEFF_NUM coefficients at EX_LOG1P_COEFF for ln x.
#pragma once

#include "cmd/cmd_framework.h"

extern "C" {

// x = e^x in place, the argument clamped to [-103, 88]. w is a work tensor of
// the same shape (its content is lost) and must be a different tensor.
void tensor_ex(u32 x, u32 w, int table_len, u32 int_table, u32 exp_table, int n_coeff,
               u32 coeff_table, int N, int C, int H, int W, cmd_id_node_t *node);
// x = ln x in place (no clamp: zero and negatives go to the engine as they
// are); w as for tensor_ex.
void tensor_lnx(u32 x, u32 w, int table_len, u32 log_table, int n_coeff, u32 coeff_table, int N,
                int C, int H, int W, cmd_id_node_t *node);
// y = x^n for an integer n by repeated multiplication, x kept; n = 0 gives
// x / x (1.0, NaN where x is 0 or infinite), n < 0 the reciprocal of x^-n. In
// place (x == y) only n = 1 (nothing) and n = 2 are possible: without a second
// tensor the base would be overwritten, so other exponents are refused.
void tensor_xn(u32 x, u32 y, int n, int N, int C, int H, int W, cmd_id_node_t *node);
// y = 1 / (1 + e^-x); x kept; w is the work tensor of tensor_ex.
void tensor_sigmoid(u32 x, u32 y, u32 w, int N, int C, int H, int W, cmd_id_node_t *node);
// y = 1 - 2 / (e^2x + 1); x kept.
void tensor_tanh(u32 x, u32 y, u32 w, int N, int C, int H, int W, cmd_id_node_t *node);
// y = x / sqrt(sum of x^2 + eps), the sum over the channels at each position
// (across_spatial 0) or over all of a batch item; w receives the squares and
// sums.
void tensor_normalize(u32 x, u32 y, u32 w, int N, int C, int H, int W, int across_spatial,
                      u32 eps_bits, cmd_id_node_t *node);
// y = x times one scale per channel (the tensor at `scale`, one float per
// channel; channel_shared 0) or times the constant scale_bits; then
// max(y, 0) when relu is non-zero.
void tensor_scale(u32 x, u32 y, u32 scale, int N, int C, int H, int W, int channel_shared,
                  u32 scale_bits, int relu, cmd_id_node_t *node);
}
