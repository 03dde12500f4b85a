// Float element-wise kernels on slices resident in local memory: binary
// operations between equal shapes, with a constant and with broadcasting; bias
// add; the multi-input eltwise layer; scale with optional bias; inference batch
// normalisation; PReLU; select; the activations by code; and the 256-entry
// table lookup of 8-bit indices. Every result may be followed by ReLU with an
// optional upper limit (0 or less: none).
//
// Offsets are untagged (start lane in bits 19-24); float parameters travel as
// their 32-bit patterns in integer arguments. The default strides of a float
// tensor {n, c, h, w} are {ceil(c/64) * plane, plane, w, 1} with plane =
// align32(h * w); compact strides use h * w for the plane. Only tensor-engine
// commands are issued, on the caller's node; nothing waits.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

// binary_op codes: 0 add, 1 sub, 2 mul, 3 div, 4 max, then these. Comparisons
// give 1.0 or 0.0.
#define BINARY_MIN 10000
#define BINARY_GT 10001
#define BINARY_GE 10002
#define BINARY_LT 10003
#define BINARY_LE 10004
#define BINARY_EQ 10005
#define BINARY_NE 10006
#define BINARY_SQUARED_DIFF 10007

// Eltwise codes: 0 product, 1 sum with one coefficient per input, 2 maximum.
#define ELTWISE_PRODUCT 0
#define ELTWISE_SUM 1
#define ELTWISE_MAX 2

// Activation codes of nodechip_active_forward_local.
typedef enum {
  ACTIVE_TANH = 0,
  ACTIVE_SIGMOID = 1,
  ACTIVE_PRELU = 2,
  ACTIVE_EXP = 3,
  ACTIVE_ELU = 4,
  ACTIVE_SQRT = 5,
  ACTIVE_SQUARE = 6,
  ACTIVE_RSQRT = 7,
  ACTIVE_ABS = 8,
  ACTIVE_LOG = 9,
  ACTIVE_ROUND = 10,
  ACTIVE_CEIL = 11,
  ACTIVE_FLOOR = 12,
  ACTIVE_SIN = 13,
  ACTIVE_COS = 14,
} active_type_t;

// Plan of the eltwise layer: its channels in chunks of 4032 (63 lane rows),
// and its ReLU over the output taken as one run of lane rows, in one piece
// below 4096 channels and otherwise in groups of 4032 channels plus the rest.
#define ELTWISE_C_PIECE 4032
typedef struct {
  int chunks;        // ceil(c / 4032)
  int relu_pieces;   // 1 or 2
  u32 relu_offset[2];  // bytes from the output
  dim4_t relu_shape[2];
} eltwise_plan_t;

// Plan of the 4N table lookup: the byte positions looked up (min(n, 4)) and
// the words each covers.
typedef struct {
  int items;
  int words[4];
} lut_plan_t;

extern "C" {

void eltwise_plan_of(int n, int c, int h, int w, eltwise_plan_t *plan);
void lut_plan_of(int n, lut_plan_t *plan);

// R = A op B over the element-wise maximum of the two shapes (each dimension
// equal or 1 in one of them). An operand broadcast along c is first copied
// into one lane row of 64 channels (into `scratch`, which may be A or B);
// its shape's c is changed during the call and set back to 1.
void nodechip_broadcast_binary_local(u32 A, dim4_t *A_shape, const dim4_t *A_stride, u32 B,
                                     dim4_t *B_shape, const dim4_t *B_stride, u32 R,
                                     const dim4_t *R_stride, int binary_op, int if_relu,
                                     u32 relu_upper_limit, u32 scratch, cmd_id_node_t *node);
// output = input op constant (inverse 1: constant op input, for sub, div and
// the four order comparisons).
void nodechip_const_binary_local(u32 input, const dim4_t *shape, u32 constant, u32 output,
                                 int binary_op, int inverse, int if_relu, u32 relu_upper_limit,
                                 cmd_id_node_t *node);
// R = A op B, each input compact (plane h * w) when its flag is 1.
void nodechip_eltwise_binary_local(u32 A, u32 B, u32 R, int A_compact, int B_compact,
                                   const dim4_t *shape, int binary_op, int if_relu,
                                   u32 relu_upper_limit, cmd_id_node_t *node);
// output = input + bias[c] (one float per channel, lane rows one word apart).
void nodechip_biasadd_local(u32 input, u32 bias, u32 output, const dim4_t *shape, int if_relu,
                            u32 relu_upper_limit, cmd_id_node_t *node);
// k (at most 64) copies of one channel (n x h x w, the given strides) into
// the channels of dst.
void nodechip_local_c_broadcast(u32 src, u32 dst, int n, int h, int w, int k,
                                const dim4_t *src_stride, cmd_id_node_t *node);
// The eltwise layer over `count` inputs (per-input channel strides when
// use_channel_strides): product, weighted sum or maximum, then ReLU.
void nodechip_eltwise_forward_local(const u32 *inputs, u32 output, int n, int c, int h, int w,
                                    const int *channel_strides, int use_channel_strides, int op,
                                    const float *coeffs, int count, int if_relu,
                                    cmd_id_node_t *node);
// output = input x scale (+ bias); scale and bias of shape scale_shape, copied
// across lanes in place when they have one channel.
void nodechip_scale_forward_local(u32 input, u32 scale, u32 bias, u32 output,
                                  const dim4_t *shape, const dim4_t *scale_shape, int bias_flag,
                                  int if_relu, u32 relu_upper_limit, int scale_compact,
                                  int bias_compact, cmd_id_node_t *node);
// output = (input + addend[c]) x factor[c].
void nodechip_batchnorm_layer_local(u32 input, u32 output, u32 addend, u32 factor, int n, int c,
                                    int h, int w, int unused9, int unused10, int if_relu,
                                    u32 relu_upper_limit, cmd_id_node_t *node);
// output = max(x, 0) + slope x min(x, 0): one shared slope, one per channel,
// or one per element of a c x h x w map (slope_layout 1).
void nodechip_prelu_forward_local_v2(u32 input, u32 output, u32 slope, u32 scratch,
                                     int channel_shared, u32 shared_slope, const dim4_t *shape,
                                     int slope_layout, cmd_id_node_t *node);
// The same with the input as scratch (the input is overwritten).
void nodechip_prelu_forward_local(u32 input, u32 output, u32 slope, int channel_shared,
                                  u32 shared_slope, const dim4_t *shape, int slope_layout,
                                  cmd_id_node_t *node);
// output = then where the condition is non-zero, else elsewhere; tensors or
// constants. A float condition of +-0.0 selects else; an int32 condition
// word of 0 selects else and any other word then.
void nodechip_select_local(u32 cond, u32 then_addr, int then_is_const, u32 then_value,
                           u32 else_addr, int else_is_const, u32 else_value, u32 output,
                           const dim4_t *shape, int if_relu, u32 relu_upper_limit,
                           int cond_is_int32, cmd_id_node_t *node);
// The activation of `active_type` with three scratch tensors of the shape at
// scratch, scratch + T, scratch + 2T. param may be NULL.
void nodechip_active_forward_local(u32 input, u32 output, u32 scratch, int n, int c, int h, int w,
                                   int active_type, const float *param, cmd_id_node_t *node);
// output = table[input] (256 float entries) for 8-bit indices, 1N or 4N;
// shape: index_dim (at most 4) extents, missing trailing ones 1. Batch item b
// of the result lies at output + b x ceil(c/64) x plane x 4.
void nodechip_lut_local(u32 input, u32 table, u32 scratch, u32 output, const int *shape,
                        int index_dim, int is_1n, cmd_id_node_t *node);
}
