// Local fixed-point convolution kernels and the multiply-and-shift.
#include "local/conv_fix.h"

#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "local/resident.h"
#include "runtime/assert.h"

namespace {

dim4_t d4(int n, int c, int h, int w) {
  const dim4_t d = {n, c, h, w};
  return d;
}

// One fixed-point element-wise command R = A op constant.
struct FixOp {
  tensor_op_t op;
  u32 Sign[3];
  u32 Int8[4];
  int rshift, shift_type;
};

void fix_const_op(u32 A, u32 constant, u32 R, const dim4_t &shape, const dim4_t &stride,
                  const u32 modes[4], const FixOp &f, cmd_id_node_t *node) {
  const u32 addr[4] = {local_tag(A), constant, 0, local_tag(R)};
  const u32 bcast[4] = {0, 0, 0, 0};
  const u32 shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, &stride, &stride, &stride, f.op, 0, 1,
                                         f.rshift, 0, f.shift_type, f.Sign, f.Int8, modes, shifts, 0,
                                         node);
}

// The 8-bit result clamped from above at `limit`, compared with the result's
// own signedness.
void clamp_above(u32 output, const dim4_t *oshape, int limit, int out_signed, cmd_id_node_t *node) {
  const u32 s = out_signed ? 1u : 0u;
  const FixOp min = {TENSOR_OP_MIN, {s, s, 0}, {1, 1, 1, 1}, 0, 0};
  const u32 modes[4] = {0, 0, 0, 0};
  fix_const_op(output, (u32)limit, output, *oshape, local_strides(oshape->c, oshape->h, oshape->w),
               modes, min, node);
}

// Whether the convolution's 8-bit result is signed: not when rectified, else
// when the input, the weights or a present bias is.
int conv_out_signed(int if_relu, int input_sign, int weight_sign, int bias_mode, int bias_sign) {
  if (if_relu) return 0;
  return input_sign || weight_sign || (bias_mode != 0 && bias_sign);
}

}  // namespace

void nodechip_mulshift_fix8b_forward_local(u32 input, u32 scratch, u32 output, int n, int c,
                                           int h, int w, int multiplier, int rshift,
                                           int input_sign, int multiplier_sign, int output_sign,
                                           cmd_id_node_t *node) {
  const int piece = 63 * NPU_NUM;  // 4032 channels, 63 lane rows
  const int chunks = local_ceil_div(c, piece);
  const u32 row_bytes = (u32)local_plane(h, w) * 4u;
  const dim4_t whole = local_strides(c, h, w), none = d4(0, 0, 0, 0);
  const u32 is = input_sign ? 1u : 0u, ms = multiplier_sign ? 1u : 0u;
  for (int i = 0; i < chunks; i++) {
    const int ci = c - i * piece < piece ? c - i * piece : piece;
    const u32 off = (u32)(63 * i) * row_bytes;
    const dim4_t shape = d4(n, ci, h, w);
    const dim4_t &st = chunks == 1 ? none : whole;
    const u32 given[4] = {3, 0, 0, 3}, dflt[4] = {0, 0, 0, 0};
    const u32 *modes = chunks == 1 ? dflt : given;
    if (output_sign == 1 || (!input_sign && !multiplier_sign)) {
      const FixOp mul = {TENSOR_OP_MUL, {is, ms, 0}, {1, 1, 0, 1}, rshift, 1};
      fix_const_op(input + off, (u32)multiplier, output + off, shape, st, modes, mul, node);
      if (!input_sign && !multiplier_sign && output_sign) {
        const FixOp min = {TENSOR_OP_MIN, {0, 0, 0}, {1, 1, 0, 1}, 0, 0};
        fix_const_op(output + off, 127, output + off, shape, st, modes, min, node);
      }
    } else {
      // An unsigned result from a signed product: a 16-bit signed product,
      // negatives raised to 0, then narrowed to unsigned 8 bits.
      const FixOp mul = {TENSOR_OP_MUL, {is, ms, 0}, {1, 1, 0, 0}, rshift, 1};
      const FixOp max = {TENSOR_OP_MAX, {1, 1, 0}, {0, 0, 0, 0}, 0, 0};
      const FixOp add = {TENSOR_OP_ADD, {0, 0, 0}, {0, 0, 0, 1}, 0, 0};
      fix_const_op(input + off, (u32)multiplier, scratch + off, shape, st, modes, mul, node);
      fix_const_op(scratch + off, 0, scratch + off, shape, st, modes, max, node);
      fix_const_op(scratch + off, 0, output + off, shape, st, modes, add, node);
    }
  }
}

void nodechip_conv_forward_local_fix8b(
    u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *ishape,
    const dim4_t *oshape, int groups, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
    int pad_w_l, int pad_w_r, int stride_h, int stride_w, int bias_mode, int result_add,
    int if_relu, int relu_upper_limit, int unused_ht_for_input_tensor,
    int unused_hb_for_input_tensor, int unused_wl_for_input_tensor,
    int unused_wr_for_input_tensor, int ins_h, int ins_w, int rshift, int input_sign,
    int weight_sign, int bias_sign, u8 weight_layout, int requantize, int multiplier,
    int rq_shift, int output_sign, cmd_id_node_t *node) {
  const int n = ishape->n, ic = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  if (groups == ic && groups == oc && ic > 1) return;  // depthwise: the pooling engine's
  const int out_signed = conv_out_signed(if_relu, input_sign, weight_sign, bias_mode, bias_sign);

  if (groups == 1) {
    const int g4 = local_ceil_div(ic, 4);
    int ks[4] = {kh * kw, kh * kw * g4, kw, 1};
    if (weight_layout != 0) {
      ks[0] = 1;
      ks[2] = kw * g4;
      ks[3] = g4;
    }
    const int bias_stride = (kw * local_align(ic, 4) * kh + 4) >> 1;
    if (bias_mode == FIX_BIAS_AFTER_WEIGHTS) ks[1] += 1;
    const int P = local_plane(ih, iw), N = local_rows_at(input, ic) * P;
    int st[4] = {N, P, iw, 1}, stride_mode = 3;
    const int unused_ht = unused_ht_for_input_tensor, unused_hb = unused_hb_for_input_tensor;
    const int unused_wl = unused_wl_for_input_tensor, unused_wr = unused_wr_for_input_tensor;
    if (!(P < 0x80000 && N < 0x80000)) {
      // Strides too large for their fields: the default layout, which cannot
      // express margins.
      ASSERT((unused_ht_for_input_tensor == 0) && (unused_hb_for_input_tensor == 0));
      ASSERT((unused_wl_for_input_tensor == 0) && (unused_wr_for_input_tensor == 0));
      st[0] = st[1] = st[2] = st[3] = 0;
      stride_mode = 0;
    }
    const u32 in = input + (u32)(unused_ht * iw + unused_wl) * 4u;
    const int h = ih - unused_ht - unused_hb, w = iw - unused_wl - unused_wr;
    if (bias_mode == FIX_BIAS_AFTER_WEIGHTS)
      atomic_conv_neuron_kernel_stride_bias_stride_fix8b_gen_cmd(
          local_tag(in), local_tag(output), local_tag(weight), local_tag(bias), n, ic, h, w, st[0],
          st[1], st[2], st[3], ins_h, ins_w, oc, oh, ow, 0, 0, kh, kw, dh - 1, dw - 1, ks[0], ks[1],
          ks[2], ks[3], 1, bias_stride, 1, 1, pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w,
          2, 0, result_add, if_relu, rshift, input_sign, weight_sign, bias_sign, stride_mode, 3, 3,
          node);
    else
      atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
          local_tag(in), local_tag(output), local_tag(weight), local_tag(bias), n, ic, h, w, st[0],
          st[1], st[2], st[3], ins_h, ins_w, oc, oh, ow, 0, 0, kh, kw, dh - 1, dw - 1, ks[0], ks[1],
          ks[2], ks[3], pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w, bias_mode, 0,
          result_add, if_relu, rshift, input_sign, weight_sign, bias_sign, stride_mode, 3, node);
    if (relu_upper_limit > 0) clamp_above(output, oshape, relu_upper_limit, out_signed, node);
  } else {
    ASSERT(relu_upper_limit <= 0);
    const int icg = ic / groups, ocg = oc / groups, g4 = local_ceil_div(icg, 4);
    const int K = local_align(icg, 4) * kh * kw;  // bytes of one output channel's kernel
    int ks[4] = {kh * kw, kh * kw * g4, kw, 1};
    if (weight_layout != 0) {
      ks[0] = 1;
      ks[2] = kw * g4;
      ks[3] = g4;
    }
    const int after = bias_mode == FIX_BIAS_AFTER_WEIGHTS;
    if (after) ks[1] += 1;
    const int bias_stride = (K + 4) >> 1;
    const u32 w_row = (u32)K + (after ? 4u : 0u);
    const u32 in_group = (u32)local_rows_at(input, ic) * (u32)local_plane(ih, iw) * 4u;
    const u32 out_group = (u32)local_rows_at(output, oc) * (u32)local_plane(oh, ow) * 4u;
    for (int g = 0; g < groups; g++) {
      u32 in_g = local_channel(input, g * icg, (u32)local_plane(ih, iw) * 4u);
      u32 out_g = local_channel(output, g * ocg, (u32)local_plane(oh, ow) * 4u);
      // Weights and biases lie in the lanes of their output channels.
      const u32 lanes = output & ~LOCAL_OFFSET_MASK;
      const u32 w_g = local_channel(lanes | (weight & LOCAL_OFFSET_MASK), g * ocg, w_row);
      const u32 b_g = after ? w_g + (u32)K : local_channel(lanes | (bias & LOCAL_OFFSET_MASK), g * ocg, 2u);
      for (int b = 0; b < local_ceil_div(n, 4); b++) {
        if (after)
          atomic_conv_neuron_kernel_stride_bias_stride_fix8b_gen_cmd(
              local_tag(in_g), local_tag(out_g), local_tag(w_g), local_tag(b_g), 4, icg, ih, iw, 0, 0,
              0, 0, ins_h, ins_w, ocg, oh, ow, 0, 0, kh, kw, dh - 1, dw - 1, ks[0], ks[1], ks[2],
              ks[3], 1, bias_stride, 1, 1, pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w, 2,
              0, result_add, if_relu, rshift, input_sign, weight_sign, bias_sign, 0, 3, 3, node);
        else
          atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
              local_tag(in_g), local_tag(out_g), local_tag(w_g), local_tag(b_g), 4, icg, ih, iw, 0, 0,
              0, 0, ins_h, ins_w, ocg, oh, ow, 0, 0, kh, kw, dh - 1, dw - 1, ks[0], ks[1], ks[2],
              ks[3], pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w, bias_mode, 0,
              result_add, if_relu, rshift, input_sign, weight_sign, bias_sign, 0, 3, node);
        in_g += in_group;
        out_g += out_group;
      }
    }
  }
  if (requantize)
    nodechip_mulshift_fix8b_forward_local(output, scratch, output, oshape->n, oc, oh, ow,
                                          multiplier, rq_shift, out_signed, 0, output_sign, node);
}

void nodechip_winograd_forward_local_fix8b(
    u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *ishape,
    const dim4_t *oshape, int groups, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
    int bias_mode, int result_add, int if_relu, int relu_upper_limit, int use_winograd,
    int unused_ht_for_input_tensor, int unused_hb_for_input_tensor,
    int unused_wl_for_input_tensor, int unused_wr_for_input_tensor, int rshift, int input_sign,
    int weight_sign, int bias_sign, int mode, int requantize, int multiplier, int rq_shift,
    int output_sign, cmd_id_node_t *node) {
  const int n = ishape->n, ic = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  const int out_signed = conv_out_signed(if_relu, input_sign, weight_sign, bias_mode, bias_sign);
  const dim4_t in_st = d4(local_rows_at(input, ic) * local_plane(ih, iw), local_plane(ih, iw), iw, 1);
  if (groups == 1) {
    const int ht = unused_ht_for_input_tensor, hb = unused_hb_for_input_tensor;
    const int wl = unused_wl_for_input_tensor, wr = unused_wr_for_input_tensor;
    // Margins lie inside the resident input, whose rows stay iw long.
    const int margins = wl > 0 || ht > 0;
    const u32 in = margins ? input + (u32)(iw * ht + wl) * 4u : input;
    const int h = margins ? ih - ht - hb : ih, w = margins ? iw - wl - wr : iw;
    atomic_winograd_neuron_fix8b_gen_cmd(local_tag(in), local_tag(output), local_tag(weight),
                                         local_tag(bias), n, ic, h, w, in_st.n, in_st.c, in_st.h,
                                         in_st.w, 0, 0, oc, oh, ow, pad_h_t, pad_h_b, pad_w_l,
                                         pad_w_r, bias_mode, result_add, if_relu, rshift,
                                         input_sign, bias_sign, mode, node);
  } else {
    const int icg = ic / groups, ocg = oc / groups, rows = local_rows(ocg);
    const u32 X = (u32)local_align(icg, 4) * 16u * (u32)rows;  // transformed weights of a group
    const u32 block = (u32)local_align((int)X + 2 * rows, 128);
    const u32 in_group = (u32)local_rows_at(input, ic) * (u32)local_plane(ih, iw) * 4u;
    const u32 out_group = (u32)local_rows_at(output, oc) * (u32)local_plane(oh, ow) * 4u;
    for (int g = 0; g < groups; g++) {
      u32 in_g = local_channel(input, g * icg, (u32)local_plane(ih, iw) * 4u);
      u32 out_g = local_channel(output, g * ocg, (u32)local_plane(oh, ow) * 4u);
      // Each group's weights start in the lane of its first output channel.
      const u32 lane_g = out_g & ~LOCAL_OFFSET_MASK;
      u32 w_g, b_g;
      if (bias_mode == FIX_BIAS_AFTER_WEIGHTS) {
        w_g = lane_g | ((weight & LOCAL_OFFSET_MASK) + (u32)g * block);
        b_g = w_g + X;
      } else {
        w_g = lane_g | ((weight & LOCAL_OFFSET_MASK) + (u32)local_align(g * (int)X, 128));
        b_g = use_winograd == 1
                  ? local_channel((output & ~LOCAL_OFFSET_MASK) | (bias & LOCAL_OFFSET_MASK), g * ocg, 2u)
                  : lane_g | ((bias & LOCAL_OFFSET_MASK) + (u32)(g * 2 * rows));
      }
      for (int b = 0; b < local_ceil_div(n, 4); b++) {
        atomic_winograd_neuron_fix8b_gen_cmd(local_tag(in_g), local_tag(out_g), local_tag(w_g),
                                             local_tag(b_g), 4, icg, ih, iw, in_st.n, in_st.c, iw,
                                             1, 0, 0, ocg, oh, ow, pad_h_t, pad_h_b, pad_w_l,
                                             pad_w_r, bias_mode, result_add, if_relu, rshift,
                                             input_sign, bias_sign, mode, node);
        in_g += in_group;
        out_g += out_group;
      }
    }
  }
  if (if_relu && relu_upper_limit > 0) clamp_above(output, oshape, relu_upper_limit, out_signed, node);
  if (requantize)
    nodechip_mulshift_fix8b_forward_local(output, scratch, output, oshape->n, oc, oh, ow,
                                          multiplier, rq_shift, out_signed, 0, output_sign, node);
}

void nodechip_deconv_fix8b_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                         const dim4_t *ishape, const dim4_t *oshape, int groups,
                                         int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
                                         int pad_w_l, int pad_w_r, int ins_h, int ins_w,
                                         int bias_mode, int if_relu, int rshift, int input_sign,
                                         int weight_sign, int bias_sign, cmd_id_node_t *node) {
  const int n = ishape->n, ic = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  if (groups == 1) {
    atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
        local_tag(input), local_tag(output), local_tag(weight), local_tag(bias), n, ic, ih, iw, 0, 0,
        0, 0, ins_h, ins_w, oc, oh, ow, 0, 0, kh, kw, dh - 1, dw - 1, kh * kw,
        kh * kw * local_ceil_div(ic, 4), kw, 1, pad_h_t, pad_h_b, pad_w_l, pad_w_r, 1, 1, bias_mode,
        1, 0, if_relu, rshift, input_sign, weight_sign, bias_sign, 0, 3, node);
    return;
  }
  const int icg = ic / groups, ocg = oc / groups;
  const u32 in_group = (u32)local_rows_at(input, ic) * (u32)local_plane(ih, iw) * 4u;
  const u32 out_group = (u32)local_rows_at(output, oc) * (u32)local_plane(oh, ow) * 4u;
  const u32 w_row = (u32)(local_align(icg, 4) * kh * kw);
  const int batch_groups = local_ceil_div(n, 4);
  for (int g = 0; g < groups; g++) {
    u32 in_g = local_channel(input, g * icg, (u32)local_plane(ih, iw) * 4u);
    u32 out_g = local_channel(output, g * ocg, (u32)local_plane(oh, ow) * 4u);
    const u32 lanes = output & ~LOCAL_OFFSET_MASK;
    const u32 w_g = local_channel(lanes | (weight & LOCAL_OFFSET_MASK), g * ocg, w_row);
    const u32 b_g = local_channel(lanes | (bias & LOCAL_OFFSET_MASK), g * ocg, 2u);
    for (int b = 0; b < batch_groups; b++) {
      const int items = b < batch_groups - 1 ? 4 : n - 4 * (batch_groups - 1);
      atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
          local_tag(in_g), local_tag(out_g), local_tag(w_g), local_tag(b_g), items, icg, ih, iw, 0,
          0, 0, 0, ins_h, ins_w, ocg, oh, ow, 0, 0, kh, kw, dh - 1, dw - 1, kh * kw,
          kh * kw * local_ceil_div(icg, 4), kw, 1, pad_h_t, pad_h_b, pad_w_l, pad_w_r, 1, 1,
          bias_mode, 1, 0, if_relu, rshift, input_sign, weight_sign, bias_sign, 0, 3, node);
      in_g += in_group;
      out_g += out_group;
    }
  }
}
