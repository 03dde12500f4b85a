// Local fixed-point convolution kernels and the multiply-and-shift.
#include "local/conv_fix.h"
#include "cmd/conv_window.h"

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
  // Several chunks take the whole tensor's default strides (lane rows from
  // the input's start lane), one chunk the default layout itself.
  const int plane = local_plane(h, w);
  const dim4_t whole = d4(local_rows_at(input, c) * plane, plane, w, 1), none = d4(0, 0, 0, 0);
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

// ---- 16-bit convolution ----

void fix16_piece_of(fix16_piece_t *piece, int j, int ow, int iw, int kw, int dw, int pad_w_l,
                    int pad_w_r, int stride_w) {
  const int dkw = conv_kernel_extent32(kw, dw);
  const int pieces = local_ceil_div(ow, FIX16_PIECE_W);
  const int start = FIX16_PIECE_W * j;
  const int len = ow - start < FIX16_PIECE_W ? ow - start : FIX16_PIECE_W;
  const int last = j == pieces - 1;
  int left = j == 0 ? pad_w_l : 0, right = last ? pad_w_r : 0;
  const int s = start * stride_w - pad_w_l;
  const int x0 = s > 0 ? s : 0;
  int u = (len - 1) * stride_w + dkw - left - right;
  if (x0 + u > iw) {
    right = x0 + u - iw;
    u = iw - x0;
  }
  if (last) u = iw - x0;  // the last piece takes every remaining column
  piece->start = start;
  piece->len = len;
  piece->x0 = x0;
  piece->in_w = u;
  piece->pad_l = left;
  piece->pad_r = right;
}

void fix16_plan_of(fix16_plan_t *plan, u32 scratch, const dim4_t *ishape, const dim4_t *oshape,
                   int groups, int pad_h_t, int pad_h_b, int unused_ht, int unused_hb) {
  const int n = ishape->n, ic = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  if (groups != 1) unused_ht = unused_hb = 0;  // grouped slices use every row
  plan->padded = pad_h_t != 0 || pad_h_b != 0;
  const int slice_h = ih - unused_ht - unused_hb;
  plan->in_h = plan->padded ? slice_h + pad_h_t + pad_h_b : ih;
  plan->skip_rows = plan->padded ? 0 : unused_ht;
  plan->in_plane = local_plane(plan->in_h, iw);
  plan->pieces = local_ceil_div(ow, FIX16_PIECE_W);
  const u32 off = scratch & LOCAL_OFFSET_MASK;
  // The copy lies in the input's lanes: as many lane rows as any start lane needs.
  const u32 padded_bytes = plan->padded ? (u32)local_ceil_div(n, 4) * (u32)local_ceil_div(ic + NPU_NUM - 1, NPU_NUM) *
                                              (u32)plan->in_plane * 4u
                                        : 0u;
  plan->results = off + (u32)local_align((int)padded_bytes, 128);
  // A block of up to 64 result channels from the lane of its first channel
  // (a group's may start in any lane); each output row one batch group of a
  // 16-column, 16-bit plane (32 words).
  const int block = oc < NPU_NUM ? oc : NPU_NUM;
  plan->result_rows = groups > 1 ? 2 : local_ceil_div((int)local_lane_of(scratch) + block, NPU_NUM);
  plan->areas[0].name = "padded input";
  plan->areas[0].offset = off;
  plan->areas[0].bytes = padded_bytes;
  plan->areas[1].name = "piece results";
  plan->areas[1].offset = plan->results;
  plan->areas[1].bytes = (u32)oh * 32u * (u32)plan->result_rows * 4u;
}

namespace {

// The height-padded copy of the 8-bit input: the rows, then zero rows above
// and below (8-bit copies and fills of 4N data).
void fix16_pad_input(u32 input, u32 padded, const dim4_t *is, int top, int slice_h, int pad_h_t,
                     int pad_h_b, int P, cmd_id_node_t *node) {
  const int n = is->n, ic = is->c, iw = is->w, ih = slice_h;
  const dim4_t src = d4(local_rows_at(input, ic) * local_plane(is->h, iw), local_plane(is->h, iw), iw, 1);
  const dim4_t dst = d4(local_rows_at(padded, ic) * P, P, iw, 1);
  input += (u32)(top * iw) * 4u;
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {0, 0, 0}, Int8[4] = {1, 1, 1, 1};
  const u32 modes[4] = {3, 3, 3, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  const dim4_t body = d4(n, ic, ih, iw);
  const u32 copy[4] = {local_tag(input), 0, 0, local_tag(padded + (u32)(iw * pad_h_t) * 4u)};
  atomic_tensor_arithmetic_fix8b_gen_cmd(copy, &body, bcast, &src, &src, &dst, TENSOR_OP_COPY, 0, 0,
                                         0, 0, 0, Sign, Int8, modes, shifts, 0, node);
  const int rows[2] = {pad_h_t, pad_h_b};
  const u32 at[2] = {padded, padded + (u32)(iw * pad_h_t + ih * iw) * 4u};
  for (int i = 0; i < 2; i++) {
    if (rows[i] <= 0) continue;
    const dim4_t zero_rows = d4(n, ic, rows[i], iw);
    const u32 fill[4] = {0, 0, 0, local_tag(at[i])};
    atomic_tensor_arithmetic_fix8b_gen_cmd(fill, &zero_rows, bcast, &dst, &dst, &dst, TENSOR_OP_COPY,
                                           1, 0, 0, 0, 0, Sign, Int8, modes, shifts, 0, node);
  }
}

// The operands of the 16-bit pieces that do not change from piece to piece.
struct Fix16 {
  int ic, kh, kw, dh, dw, sh, sw, ins_h, ins_w;
  int ks[4];
  int bias_mode, bias_stride, result_add, if_relu, rshift, si, sw_, sb;
  int dkh, iw, in_plane, oh, ow;
  int out_rows;   // lane rows of the output per pair of items
  int out_plane;  // Q
};

// One piece: the convolution of 4 * oh items (one batch group per output
// row) into the results area, then one copy per pair of items present into
// the output's 2N layout.
void fix16_piece(const Fix16 &f, u32 in, u32 results, u32 w, u32 b, int ch, const fix16_piece_t &p,
                 u32 out_pair0, u32 out_pair1, int pairs, cmd_id_node_t *node) {
  const int st0 = f.iw * f.sh, st1 = f.in_plane;
  if (f.bias_mode == FIX_BIAS_AFTER_WEIGHTS)
    atomic_conv_neuron_kernel_stride_bias_stride_fix16b_gen_cmd(
        local_tag(in), local_tag(results), local_tag(w), local_tag(b), 4 * f.oh, f.ic, f.dkh, p.in_w,
        st0, st1, f.iw, 1, f.ins_h, f.ins_w, ch, 1, p.len, 0, 0, f.kh, f.kw, f.dh - 1, f.dw - 1,
        f.ks[0], f.ks[1], f.ks[2], f.ks[3], 1, f.bias_stride, 1, 1, 0, 0, p.pad_l, p.pad_r, f.sh,
        f.sw, 2, 0, f.result_add, f.if_relu, f.rshift, f.si, f.sw_, f.sb, 3, 3, 3, node);
  else
    atomic_conv_neuron_kernel_stride_fix16b_gen_cmd(
        local_tag(in), local_tag(results), local_tag(w), local_tag(b), 4 * f.oh, f.ic, f.dkh, p.in_w,
        st0, st1, f.iw, 1, f.ins_h, f.ins_w, ch, 1, p.len, 0, 0, f.kh, f.kw, f.dh - 1, f.dw - 1,
        f.ks[0], f.ks[1], f.ks[2], f.ks[3], 0, 0, 0, p.pad_l, p.pad_r, f.sh, f.sw, f.bias_mode, 0,
        f.result_add, f.if_relu, f.rshift, f.si, f.sw_, f.sb, 3, 3, 0, node);
  // Results: the default 16-bit layout, four items of an element in two words
  // (items 0 and 1 in the first), 32-word planes, one batch group per row.
  const int rows = local_ceil_div((int)local_lane_of(results) + ch, NPU_NUM);
  const dim4_t src = d4(0, 32, 32 * rows, 2);
  const dim4_t dst = d4(f.out_rows * f.out_plane, f.out_plane, f.ow, 1);
  const dim4_t shape = d4(1, ch, f.oh, p.len);
  atomic_tensor_copy_gen_cmd(local_tag(results), local_tag(out_pair0 + (u32)p.start * 4u), &shape, &src,
                             &dst, node);
  if (pairs > 1)
    atomic_tensor_copy_gen_cmd(local_tag(results + 4u), local_tag(out_pair1 + (u32)p.start * 4u), &shape,
                               &src, &dst, node);
}

}  // namespace

void nodechip_conv_forward_local_fix16b(
    u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *ishape,
    const dim4_t *oshape, int groups, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
    int pad_w_l, int pad_w_r, int stride_h, int stride_w, int bias_mode, int result_add,
    int if_relu, int relu_upper_limit, int unused_ht_for_input_tensor,
    int unused_hb_for_input_tensor, int ins_h, int ins_w, int rshift, int input_sign,
    int weight_sign, int bias_sign, u8 weight_layout, cmd_id_node_t *node) {
  const int n = ishape->n, ic = ishape->c, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  if (groups != 1) ASSERT(relu_upper_limit <= 0);
  fix16_plan_t plan;
  fix16_plan_of(&plan, (output & ~LOCAL_OFFSET_MASK) | (scratch & LOCAL_OFFSET_MASK), ishape, oshape,
                groups, pad_h_t, pad_h_b, unused_ht_for_input_tensor, unused_hb_for_input_tensor);
  const int P = plan.in_plane;
  const int use_strides = (u32)(iw * stride_h) < 0x80000u && (u32)P < 0x80000u;
  if (groups == 1 && !use_strides)
    ASSERT((unused_ht_for_input_tensor == 0) && (unused_hb_for_input_tensor == 0));

  // The padded copy lives in the input's lanes, the results in the output's.
  const u32 padded = (input & ~LOCAL_OFFSET_MASK) | (scratch & LOCAL_OFFSET_MASK);
  const u32 results = (output & ~LOCAL_OFFSET_MASK) | plan.results;
  const u32 src = plan.padded ? padded : input;
  if (plan.padded) {
    const int top = groups == 1 ? unused_ht_for_input_tensor : 0;
    const int bottom = groups == 1 ? unused_hb_for_input_tensor : 0;
    fix16_pad_input(input, padded, ishape, top, ishape->h - top - bottom, pad_h_t, pad_h_b, P, node);
  }

  const int icg = ic / groups, ocg = oc / groups, g4 = local_ceil_div(icg, 4);
  Fix16 f;
  f.ic = icg, f.kh = kh, f.kw = kw, f.dh = dh, f.dw = dw, f.sh = stride_h, f.sw = stride_w;
  f.ins_h = ins_h, f.ins_w = ins_w;
  f.ks[0] = kh * kw, f.ks[1] = kh * kw * g4, f.ks[2] = kw, f.ks[3] = 1;
  if (weight_layout != 0) f.ks[0] = 1, f.ks[2] = kw * g4, f.ks[3] = g4;
  const int K = local_align(icg, 4) * kh * kw;
  const int after = bias_mode == FIX_BIAS_AFTER_WEIGHTS;
  if (after) f.ks[1] += 1;
  f.bias_mode = bias_mode, f.bias_stride = (K + 4) >> 1, f.result_add = result_add;
  f.if_relu = if_relu, f.rshift = rshift, f.si = input_sign, f.sw_ = weight_sign, f.sb = bias_sign;
  f.dkh = conv_kernel_extent32(kh, dh), f.iw = iw, f.in_plane = P, f.oh = oh, f.ow = ow;
  f.out_plane = local_plane(oh, ow), f.out_rows = local_rows_at(output, oc);
  const u32 out_pair = (u32)f.out_rows * (u32)f.out_plane * 4u;
  const u32 in_group = (u32)local_rows_at(src, ic) * (u32)P * 4u;
  const u32 w_row = (u32)K + (after ? 4u : 0u);
  const int batch_groups = local_ceil_div(n, 4), blocks = local_ceil_div(ocg, NPU_NUM);

  for (int g = 0; g < groups; g++) {
    // The group's input channels, output channels, weights and biases, each
    // from the lane of the group's first channel.
    const u32 in_g = local_channel(src, g * icg, (u32)P * 4u);
    const u32 out_g = local_channel(output, g * ocg, (u32)f.out_plane * 4u);
    const u32 lanes = output & ~LOCAL_OFFSET_MASK;
    const u32 w_g = local_channel(lanes | (weight & LOCAL_OFFSET_MASK), g * ocg, w_row);
    const u32 b_g = local_channel(lanes | (bias & LOCAL_OFFSET_MASK), g * ocg, 2u);
    const u32 res_g = local_channel(results, g * ocg, 0u);
    for (int bg = 0; bg < batch_groups; bg++) {
      const int remaining = n - 4 * bg, pairs = remaining > 2 ? 2 : 1;
      const u32 in = in_g + (u32)bg * in_group + (u32)(iw * plan.skip_rows) * 4u;
      for (int k = 0; k < blocks; k++) {
        const int ch = ocg - NPU_NUM * k < NPU_NUM ? ocg - NPU_NUM * k : NPU_NUM;
        const u32 w = w_g + (u32)k * w_row;  // block k: lane row k of the weights
        const u32 b = after ? w + (u32)K : b_g + 2u * (u32)k;
        const u32 pair0 = out_g + (u32)(2 * bg) * out_pair + (u32)k * (u32)f.out_plane * 4u;
        for (int j = 0; j < plan.pieces; j++) {
          fix16_piece_t p;
          fix16_piece_of(&p, j, ow, iw, kw, dw, pad_w_l, pad_w_r, stride_w);
          fix16_piece(f, in + (u32)p.x0 * 4u, res_g, w, b, ch, p, pair0, pair0 + out_pair, pairs, node);
        }
      }
    }
  }
  if (groups == 1 && relu_upper_limit > 0) {
    // The 16-bit result clamped in its 2N layout, with its own signedness.
    const int out_signed = conv_out_signed(if_relu, input_sign, weight_sign, bias_mode, bias_sign);
    const u32 s = out_signed ? 1u : 0u;
    const FixOp min = {TENSOR_OP_MIN, {s, s, 0}, {0, 0, 0, 0}, 0, 0};
    const u32 modes[4] = {3, 0, 0, 3};
    fix_const_op(output, (u32)relu_upper_limit, output, *oshape,
                 d4(f.out_rows * f.out_plane, f.out_plane, ow, 1), modes, min, node);
  }
}
