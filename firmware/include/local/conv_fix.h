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

#include "cmd/local_areas.h"

#define FIX_BIAS_NONE 0
#define FIX_BIAS_TENSOR 1
#define FIX_BIAS_AFTER_WEIGHTS 2

// The 16-bit convolution computes pieces of up to 16 output columns, each
// output row presented to the engine as one batch group of four items.
#define FIX16_PIECE_W 16
#define FIX16_AREA_COUNT 2

// One piece of output columns: [start, start + len) read from input columns
// [x0, x0 + in_w) with the pads of the piece.
typedef struct {
  int start, len;
  int x0, in_w;
  int pad_l, pad_r;
} fix16_piece_t;

// What the 16-bit convolution places in its scratch: the height-padded copy
// of the input (when there is height padding) and the piece results.
typedef struct {
  int padded;      // the slice's rows are copied with the padding rows around them
  int in_h;        // rows of the (padded) input the pieces read
  int skip_rows;   // rows of that input above the slice
  int in_plane;    // words of one channel plane of that input
  int pieces;      // per batch group and output-channel block
  u32 results;     // offset of the piece results
  int result_rows; // lane rows a block of result channels may take
  local_area_t areas[FIX16_AREA_COUNT];
} fix16_plan_t;

extern "C" {

// Piece j of ow output columns. Pure.
void fix16_piece_of(fix16_piece_t *piece, int j, int ow, int iw, int kw, int dw, int pad_w_l,
                    int pad_w_r, int stride_w);
// The scratch plan of nodechip_conv_forward_local_fix16b (unused_ht and
// unused_hb: margins of a groups = 1 input). Pure.
void fix16_plan_of(fix16_plan_t *plan, u32 scratch, const dim4_t *ishape, const dim4_t *oshape,
                   int groups, int pad_h_t, int pad_h_b, int unused_ht, int unused_hb);

// 16-bit result convolution of 8-bit 4N input: output in pieces of 16
// columns, each output row one batch group of the command, results copied
// from the scratch into the output's 16-bit 2N layout (two batch items per
// word: pair p of items 2p and 2p + 1, item 2p in the low half, pairs
// ceil(oc/64) * plane(oh, ow) words apart). With height padding the slice's
// rows are first copied between zero rows in the scratch. relu_upper_limit > 0 clamps
// the 16-bit result (grouped convolutions refuse it).
void nodechip_conv_forward_local_fix16b(
    u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *ishape,
    const dim4_t *oshape, int groups, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
    int pad_w_l, int pad_w_r, int stride_h, int stride_w, int bias_mode, int result_add,
    int if_relu, int relu_upper_limit, int unused_ht_for_input_tensor,
    int unused_hb_for_input_tensor, int ins_h, int ins_w, int rshift, int input_sign,
    int weight_sign, int bias_sign, u8 weight_layout, cmd_id_node_t *node);

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
