// Local float convolution kernels: convolution (plain, grouped, depthwise,
// with the engine's 2047 extent limit met by cutting the output), 3x3 Winograd
// convolution and deconvolution on a slice resident in local memory. They
// issue tensor-engine commands on the caller's node and return without
// waiting.
//
// Offsets are untagged (resident.h); tensors take the engine's default layout
// from their own start lane (batch items ceil((s + c)/64) planes apart).
// Float convolution weights: per output channel in its lane, input channels
// paired (8 bytes), kernel strides (1, kh*kw*ceil(ic/2), kw*ceil(ic/2),
// ceil(ic/2)); deconvolution weights keep the kernel plane innermost (kh*kw,
// kh*kw*ceil(ic/2), kw, 1). Float parameters (relu_upper_limit) travel as their
// 32-bit patterns.
//
// Scratch (imm_local_offset, in the output's lanes): the tap products of a
// depthwise convolution built tap by tap, and the piece results of a cut
// convolution, in the engine's default layout of the piece's output.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

// One piece of an output axis cut to the engine's extent limit: output
// elements [start, start + len), read from input [in_start, in_start + in_len)
// with the pads before and after.
typedef struct {
  int start, len;
  int in_start, in_len;
  int pad_lo, pad_hi;
} conv_piece_t;

// How a float convolution is issued.
typedef enum {
  CONV_ISSUE_DEPTHWISE = 0,       // one depthwise command
  CONV_ISSUE_DEPTHWISE_TAPS = 1,  // two element-wise commands per tap
  CONV_ISSUE_UNALIGNED = 2,       // one command on the sub-window within unused margins
  CONV_ISSUE_WHOLE = 3,           // one command
  CONV_ISSUE_SPLIT_W = 4,         // output columns in pieces
  CONV_ISSUE_SPLIT_H = 5,         // output rows in pieces
  CONV_ISSUE_GROUPED = 6,         // one command per group and batch item
} conv_issue_t;

typedef struct {
  conv_issue_t issue;
  int pieces;          // pieces of a cut convolution (else 1)
  conv_piece_t first;  // the first (largest) piece of a cut
  u32 scratch_bytes;   // scratch the kernel writes, per lane
} conv_plan_t;

extern "C" {

// The piece of an output axis from `start` with `remaining` outputs left:
// extent is the input's, dk the dilated kernel extent.
void conv_piece_of(conv_piece_t *piece, int start, int remaining, int extent, int pad_lo,
                   int pad_hi, int dk, int stride);

// The plan of nodechip_conv_forward_local. Pure.
void conv_plan_of(conv_plan_t *plan, u32 imm_local_offset, const dim4_t *ishape,
                  const dim4_t *oshape, int groups, int kh, int kw, int dh, int dw, int pad_h_t,
                  int pad_h_b, int pad_w_l, int pad_w_r, int stride_h, int stride_w,
                  int result_add, int unused_ht, int unused_hb, int unused_wl, int unused_wr);

void nodechip_conv_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                 u32 imm_local_offset, const dim4_t *ishape, const dim4_t *oshape,
                                 int groups, int kh, int kw, int dh, int dw, int pad_h_t,
                                 int pad_h_b, int pad_w_l, int pad_w_r, int stride_h, int stride_w,
                                 int using_bias, int result_add, int if_relu,
                                 int relu_upper_limit, int unused_ht_for_input_tensor,
                                 int unused_hb_for_input_tensor, int unused_wl_for_input_tensor,
                                 int unused_wr_for_input_tensor, cmd_id_node_t *node);

// 3x3 Winograd convolution, stride 1, on transformed weights (16 floats per
// input and output channel). Padded extents are made even by an extra bottom
// row or right column. use_winograd 1: a grouped convolution's biases lie in
// their output channels' lanes; otherwise each group's block follows the
// previous one from lane 0. With unused margins the resident input's rows
// keep their full width iw.
void nodechip_winograd_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                     u32 imm_local_offset, const dim4_t *ishape,
                                     const dim4_t *oshape, int groups, int pad_h_t, int pad_h_b,
                                     int pad_w_l, int pad_w_r, int using_bias, int result_add,
                                     int if_relu, int relu_upper_limit, int use_winograd,
                                     int unused_ht_for_input_tensor,
                                     int unused_hb_for_input_tensor,
                                     int unused_wl_for_input_tensor,
                                     int unused_wr_for_input_tensor, cmd_id_node_t *node);

// Deconvolution as the convolution of the zero-inserted input (ins_h, ins_w:
// stride minus one) with the rotated kernel; pads of that convolution.
void nodechip_deconv_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                   const dim4_t *ishape, const dim4_t *oshape, int groups, int kh,
                                   int kw, int dh, int dw, int pad_h_t, int pad_h_b, int pad_w_l,
                                   int pad_w_r, int ins_h, int ins_w, int using_bias,
                                   int result_add, int if_relu, cmd_id_node_t *node);
}
