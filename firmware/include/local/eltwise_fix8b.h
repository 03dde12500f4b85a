// 8-bit element-wise kernels on slices resident in local memory: binary
// operations between quantized tensors or a tensor and a constant, each operand
// first rescaled by an 8-bit multiplier and a right shift into 16-bit
// intermediates; bias add, batch-norm scale, the weighted-sum eltwise layer,
// PReLU, select and arithmetic shift, all narrowed back to 8 bits with
// saturation at the end.
//
// 8-bit tensors are 4N (four batch items per word), 16-bit intermediates 2N
// (two per word); strides count words, the default ones {ceil(c/64) * plane,
// plane, w, 1} with plane = align32(h * w) (compact: h * w). A 16-bit tensor
// of {n, c, h, w} takes ceil(n/2) * ceil(c/64) * plane * 4 bytes per lane.
// Offsets are untagged; binary_op codes are those of local/eltwise.h (div is
// refused). Tensor-engine commands only, on the caller's node.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

// The parameters of general_binary_fix8b_local.
typedef struct {
  int scale_A;
  int shift_A;
  const dim4_t *B_stride;
  int B_is_const;
  int B_const;
  int scale_B;
  int shift_B;
  const dim4_t *R_stride;
  int binary_op;
  int inverse;
  int if_relu;
  const int *width;  // {A 8-bit, B 8-bit, result 8-bit}
  const int *sign;   // {sign_A, sign_B, sign of the result}
  cmd_id_node_t *node;
} fix8b_binary_param_t;

// Plan of the broadcast form: the operands' shapes merged into four
// dimensions. merge_dim is the number of dimensions the merge produced (the
// kernel refuses anything but 4).
typedef struct {
  int merge_dim;
  dim4_t a, b;
} fix8b_bcast_plan_t;

extern "C" {

// Shape arrays as four dimensions: fewer padded with 1 at the end, the fifth
// and later multiplied into w.
void fix8b_dim4_of(const int *shape, int dims, dim4_t *out);
// Up to four dimensions padded with 1; more merged: the first stays, and each
// following group absorbs the next dimension while both operands are
// broadcast in it the same way as in the group, enough dimensions remain for
// the groups still to fill (the last group takes what it can), and in the
// channel group both products stay at most 4095.
void fix8b_bcast_plan_of(const int *a_shape, const int *b_shape, int dims,
                         fix8b_bcast_plan_t *plan);

// first {A, B, output}, second the three 16-bit slots (results in the first;
// a constant B's value stands in the second).
void general_binary_fix8b_local(const u32 *first, const u32 *second, const dim4_t *shape,
                                const dim4_t *A_stride, fix8b_binary_param_t p);

void nodechip_const_binary_fix8b_forward_local(u32 input, u32 output, u32 scratch, int constant,
                                               const int *shape, int tensor_dim, int binary_op,
                                               int scale_A, int unused9, int shift_A,
                                               int unused11, int sign_A, int unused13,
                                               int sign_R, int inverse, int if_relu,
                                               cmd_id_node_t *node);
void nodechip_eltwise_binary_fix8b_forward_local(u32 A, u32 B, u32 output, u32 scratch,
                                                 const int *shape, int tensor_dim, int A_compact,
                                                 int B_compact, int binary_op, int scale_A,
                                                 int scale_B, int shift_A, int shift_B,
                                                 const int *width, const int *sign, int if_relu,
                                                 cmd_id_node_t *node);
void nodechip_broadcast_binary_fix8b_forward_local(u32 A, u32 B, u32 output, u32 scratch,
                                                   const int *A_shape, const int *B_shape,
                                                   int tensor_dim, int A_compact, int B_compact,
                                                   int binary_op, int scale_A, int scale_B,
                                                   int shift_A, int shift_B, const int *width,
                                                   const int *sign, int if_relu,
                                                   cmd_id_node_t *node);
// k (at most 64) copies of one 8-bit channel into the channels of dst.
void nodechip_local_c_fix8b_broadcast(u32 src, u32 dst, int n, int h, int w, int k, int sign,
                                      int compact, cmd_id_node_t *node);
// output = ((input x multiplier + bias[c]) >> shift), ReLU and limit, 8 bits.
void nodechip_biasadd_local_fix8b(u32 input, u32 bias, u32 output, u32 buffer,
                                  const dim4_t *shape, int input_signed, int bias_signed,
                                  int multiplier, int shift, int if_relu, int upper_limit,
                                  cmd_id_node_t *node);
// output = (input x scale[c] + bias[c]) shifted by shift[c], ReLU and limit:
// 8-bit scales, 16-bit biases and 16-bit signed shift counts (positive left,
// negative right, flooring), one per channel.
void nodechip_bnscale_fix8b_forward_local(u32 input, u32 buffer, u32 scale, u32 bias, u32 shift,
                                          u32 output, int n, int c, int h, int w,
                                          int input_signed, int scale_signed, int bias_signed,
                                          int scale_compact, int bias_compact, int shift_compact,
                                          int if_relu, int upper_limit, cmd_id_node_t *node);
// Weighted sum (code 1) of count inputs: sum of (x_i x m_i) >> s_i, 8 bits.
void nodechip_eltwise_fix8b_forward_local(const u32 *inputs, u32 output, u32 buffer, int n, int c,
                                          int h, int w, const int *channel_strides,
                                          int use_channel_strides, int op,
                                          const int *multipliers, const int *shifts,
                                          const int *signs, int count, int if_relu,
                                          cmd_id_node_t *node);
void nodechip_prelu_forward_local_fix8b_v2(u32 input, u32 output, u32 slope, u32 scratch,
                                           int channel_shared, int shared_slope,
                                           const dim4_t *shape, int slope_layout, int mode1,
                                           int unused10, int mode2, int rshift,
                                           cmd_id_node_t *node);
void nodechip_prelu_forward_local_fix8b(u32 input, u32 output, u32 slope, int channel_shared,
                                        int shared_slope, const dim4_t *shape, int slope_layout,
                                        int mode1, int unused, int mode2, int rshift,
                                        cmd_id_node_t *node);
// output = cond x then + (1 - cond) x else in 16 bits, narrowed to 8.
void nodechip_select_fix8b_local(u32 cond, u32 buffer, u32 then_addr, int then_is_const,
                                 int then_value, u32 else_addr, int else_is_const, int else_value,
                                 u32 output, const dim4_t *shape, int cond_signed,
                                 int then_signed, int else_signed, int then_multiplier,
                                 int then_rshift, int else_multiplier, int else_rshift,
                                 int unused18, int unused19, cmd_id_node_t *node);
// type 0: shift by +g, 1: by -g, 2: right by g rounding; kind 0 the constant g,
// 1 one shift per channel, 2 one per element from the shift operand.
void nodechip_arith_shift_fix8b_forward_local(u32 input, u32 shift_operand, u32 buffer,
                                              u32 output, int n, int c, int h, int w,
                                              int shift_type, int g, int shift_kind,
                                              int input_signed, cmd_id_node_t *node);
}
