// Local float convolution, Winograd and deconvolution kernels.
#include "local/conv.h"
#include "cmd/conv_window.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_md.h"
#include "local/compare_select.h"
#include "local/resident.h"
#include "runtime/assert.h"

namespace {

constexpr int kMaxExtent = CONV_MAX_EXTENT;  // padded rows or columns of one command

dim4_t d4(int n, int c, int h, int w) {
  const dim4_t d = {n, c, h, w};
  return d;
}

float as_float(int bits) {
  float f;
  memcpy(&f, &bits, 4);
  return f;
}

int is_depthwise(const dim4_t *ishape, const dim4_t *oshape, int groups) {
  return groups == ishape->c && groups == oshape->c && ishape->c > 1;
}

// Default float32 strides of an n x c x h x w tensor at `offset`.
dim4_t default_strides(u32 offset, int c, int h, int w) {
  const int plane = local_plane(h, w);
  return d4(local_rows_at(offset, c) * plane, plane, w, 1);
}

}  // namespace

void conv_piece_of(conv_piece_t *piece, int start, int remaining, int extent, int pad_lo,
                   int pad_hi, int dk, int stride) {
  (void)pad_hi;
  int len = kMaxExtent / stride < remaining ? kMaxExtent / stride : remaining;
  const int s = start * stride - pad_lo;
  const int first = s > 0 ? s : 0;
  const int lo = s <= 0 ? pad_lo : 0;
  int e = (start + len) * stride + dk - 1 - pad_lo;
  int in_len, hi;
  for (;;) {
    in_len = (e < extent ? e : extent) - first;
    hi = e >= extent ? e - extent : 0;
    if (in_len + lo + hi <= kMaxExtent || len == 1) break;
    len--;
    e -= stride;
  }
  piece->start = start;
  piece->len = len;
  piece->in_start = first;
  piece->in_len = in_len;
  piece->pad_lo = lo;
  piece->pad_hi = hi;
}

void conv_plan_of(conv_plan_t *plan, u32 imm_local_offset, const dim4_t *ishape,
                  const dim4_t *oshape, int groups, int kh, int kw, int dh, int dw, int pad_h_t,
                  int pad_h_b, int pad_w_l, int pad_w_r, int stride_h, int stride_w,
                  int result_add, int unused_ht, int unused_hb, int unused_wl, int unused_wr) {
  memset(plan, 0, sizeof *plan);
  plan->pieces = 1;
  const int n = ishape->n, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  if (is_depthwise(ishape, oshape, groups)) {
    if (result_add == 0 && dh == 1 && dw == 1) {
      plan->issue = CONV_ISSUE_DEPTHWISE;
    } else {
      plan->issue = CONV_ISSUE_DEPTHWISE_TAPS;
      plan->scratch_bytes = (u32)n * (u32)local_rows_at(imm_local_offset, oc) * (u32)local_plane(oh, ow) * 4u;
    }
    return;
  }
  if (groups != 1) {
    plan->issue = CONV_ISSUE_GROUPED;
    return;
  }
  if (unused_ht > 0 || unused_hb > 0 || unused_wl > 0 || unused_wr > 0) {
    plan->issue = CONV_ISSUE_UNALIGNED;
    return;
  }
  const int padded_h = pad_h_t + ih + pad_h_b, padded_w = pad_w_l + iw + pad_w_r;
  if (padded_h <= kMaxExtent && padded_w <= kMaxExtent) {
    plan->issue = CONV_ISSUE_WHOLE;
    return;
  }
  const int cut_w = padded_h <= kMaxExtent;
  plan->issue = cut_w ? CONV_ISSUE_SPLIT_W : CONV_ISSUE_SPLIT_H;
  const int out_len = cut_w ? ow : oh;
  const int extent = cut_w ? iw : ih, lo = cut_w ? pad_w_l : pad_h_t, hi = cut_w ? pad_w_r : pad_h_b;
  const int dk = cut_w ? conv_kernel_extent32(kw, dw) : conv_kernel_extent32(kh, dh);
  const int stride = cut_w ? stride_w : stride_h;
  plan->pieces = 0;
  for (int start = 0; start < out_len;) {
    conv_piece_t p;
    conv_piece_of(&p, start, out_len - start, extent, lo, hi, dk, stride);
    if (plan->pieces == 0) plan->first = p;
    plan->pieces++;
    start += p.len;
  }
  const int plane = cut_w ? local_plane(oh, plan->first.len) : local_plane(plan->first.len, ow);
  plan->scratch_bytes = (u32)n * (u32)local_rows_at(imm_local_offset, oc) * (u32)plane * 4u;
}

namespace {

// The kernel strides of float convolution weights for ic input channels.
struct KStride {
  int s0, s1, s2, s3;
};
KStride conv_kstride(int ic, int kh, int kw) {
  const int g = (ic + 1) / 2;
  return KStride{1, kh * kw * g, kw * g, g};
}

// Depthwise convolution tap by tap: scratch = input window * weight tap, then
// output window += scratch.
void depthwise_taps(u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *is,
                    const dim4_t *os, int kh, int kw, int dh, int dw, int pt, int pb, int pl,
                    int pr, int sh, int sw, int using_bias, int result_add, cmd_id_node_t *node) {
  const int n = is->n, c = is->c, ih = is->h, iw = is->w, oh = os->h, ow = os->w;
  if (!result_add)
    atomic_mdscalar_operation_gen_cmd(local_tag(output), 0, local_tag(output), n, c, oh, ow,
                                      MD_SCALAR_MUL, 0, 0, 1, 0, f32_bits(0.0f), node);
  const dim4_t in_st = d4(default_strides(input, c, ih, iw).n, local_plane(ih, iw), sh * iw, sw);
  const dim4_t w_st = d4(0, kh * kw, 0, 0);
  const dim4_t out_st = default_strides(output, c, oh, ow);
  const dim4_t tmp_st = default_strides(scratch, c, oh, ow);
  for (int r = 0; r < kh; r++) {
    int y0 = r * dh - pt;
    while (y0 < 0) y0 += sh;
    const int y_last = ih + pb - (kh - 1) * dh - 1 + r * dh;
    const int y1 = ih - 1 < y_last ? ih - 1 : y_last;
    if (y1 < y0) continue;  // the tap sees only padding
    const int rows = (y1 - y0) / sh + 1, oy = (y0 + pt - r * dh) / sh;
    for (int q = 0; q < kw; q++) {
      int x0 = q * dw - pl;
      while (x0 < 0) x0 += sw;
      const int x_last = iw + pr - (kw - 1) * dw - 1 + q * dw;
      const int x1 = iw - 1 < x_last ? iw - 1 : x_last;
      if (x1 < x0) continue;
      const int cols = (x1 - x0) / sw + 1, ox = (x0 + pl - q * dw) / sw;
      const dim4_t shape = d4(n, c, rows, cols);
      const u32 a = input + (u32)(y0 * iw + x0) * 4u, b = weight + (u32)(r * kw + q) * 4u;
      const u32 win = output + (u32)(oy * ow + ox) * 4u;
      atomic_tensor_arithmetic_gen_cmd(local_tag(a), local_tag(b), local_tag(scratch), &shape, 0, 0,
                                       0, &in_st, &w_st, &tmp_st, TENSOR_OP_MUL, 0, 0, 0, 0, 0, 0,
                                       node);
      atomic_tensor_arithmetic_gen_cmd(local_tag(scratch), local_tag(win), local_tag(win), &shape, 0,
                                       0, 0, &tmp_st, &out_st, &out_st, TENSOR_OP_ADD, 0, 0, 0, 0, 0,
                                       0, node);
    }
  }
  if (using_bias)
    atomic_md_linear_gen_cmd(local_tag(output), local_tag(bias), 0, local_tag(output), n, c, oh, ow,
                             0, 1, 0, f32_bits(1.0f), 0, 0, node);
}

// One piece of a cut convolution into the scratch, then copied (or added) to
// its place in the output.
void conv_piece(u32 input, u32 weight, u32 bias, u32 output, u32 scratch, const dim4_t *is,
                const dim4_t *os, int cut_w, const conv_piece_t &p, int kh, int kw, int dh, int dw,
                int pt, int pb, int pl, int pr, int sh, int sw, int using_bias, int result_add,
                cmd_id_node_t *node) {
  const int n = is->n, ic = is->c, ih = is->h, iw = is->w, oc = os->c, oh = os->h, ow = os->w;
  const KStride k = conv_kstride(ic, kh, kw);
  const dim4_t in_st = default_strides(input, ic, ih, iw);
  const int ph = cut_w ? oh : p.len, pw = cut_w ? p.len : ow;
  const u32 src = input + (u32)(cut_w ? p.in_start : p.in_start * iw) * 4u;
  const int h = cut_w ? ih : p.in_len, w = cut_w ? p.in_len : iw;
  atomic_conv_neuron_unalign_kstride_gen_cmd(
      local_tag(src), local_tag(scratch), local_tag(weight), local_tag(bias), n, ic, h, w, in_st.n,
      in_st.c, in_st.h, in_st.w, 0, 0, oc, ph, pw, 0, 0, kh, kw, dh, dw, k.s0, k.s1, k.s2, k.s3,
      cut_w ? pt : p.pad_lo, cut_w ? pb : p.pad_hi, cut_w ? p.pad_lo : pl, cut_w ? p.pad_hi : pr,
      sh, sw, using_bias, 0, 0, node);
  const dim4_t shape = d4(n, oc, ph, pw);
  const dim4_t tmp_st = default_strides(scratch, oc, ph, pw);
  const dim4_t out_st = default_strides(output, oc, oh, ow);
  const u32 dst = output + (u32)(cut_w ? p.start : p.start * ow) * 4u;
  if (!result_add)
    atomic_tensor_copy_gen_cmd(local_tag(scratch), local_tag(dst), &shape, &tmp_st, &out_st, node);
  else
    atomic_tensor_arithmetic_gen_cmd(local_tag(scratch), local_tag(dst), local_tag(dst), &shape, 0, 0,
                                     0, &tmp_st, &out_st, &out_st, TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0,
                                     node);
}

}  // namespace

void nodechip_conv_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                 u32 imm_local_offset, const dim4_t *ishape, const dim4_t *oshape,
                                 int groups, int kh, int kw, int dh, int dw, int pad_h_t,
                                 int pad_h_b, int pad_w_l, int pad_w_r, int stride_h, int stride_w,
                                 int using_bias, int result_add, int if_relu,
                                 int relu_upper_limit, int unused_ht_for_input_tensor,
                                 int unused_hb_for_input_tensor, int unused_wl_for_input_tensor,
                                 int unused_wr_for_input_tensor, cmd_id_node_t *node) {
  conv_plan_t plan;
  conv_plan_of(&plan, imm_local_offset, ishape, oshape, groups, kh, kw, dh, dw, pad_h_t, pad_h_b,
               pad_w_l, pad_w_r, stride_h, stride_w, result_add, unused_ht_for_input_tensor,
               unused_hb_for_input_tensor, unused_wl_for_input_tensor, unused_wr_for_input_tensor);
  // The scratch holds the largest piece's result (bytes, every batch item);
  // checked before anything is issued.
  const u32 scratch_bytes = plan.scratch_bytes;
  ASSERT((imm_local_offset & LOCAL_OFFSET_MASK) + scratch_bytes <= LOCAL_MEM_SIZE,
         "scratch 0x%x + %u bytes", (unsigned)imm_local_offset, (unsigned)scratch_bytes);

  const int n = ishape->n, ic = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  const KStride k = conv_kstride(ic, kh, kw);
  switch (plan.issue) {
    case CONV_ISSUE_DEPTHWISE:
      atomic_depthwise_gen_cmd(local_tag(input), local_tag(output), local_tag(weight), local_tag(bias),
                               n, ic, ih, iw, oh, ow, kh, kw, pad_h_t, pad_h_b, pad_w_l, pad_w_r,
                               stride_h, stride_w, 0, 0, using_bias, node);
      break;
    case CONV_ISSUE_DEPTHWISE_TAPS:
      depthwise_taps(input, weight, bias, output, imm_local_offset, ishape, oshape, kh, kw, dh, dw,
                     pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w, using_bias, result_add,
                     node);
      break;
    case CONV_ISSUE_UNALIGNED: {
      const int ht = unused_ht_for_input_tensor, hb = unused_hb_for_input_tensor;
      const int wl = unused_wl_for_input_tensor, wr = unused_wr_for_input_tensor;
      const dim4_t st = default_strides(input, ic, ih, iw);
      atomic_conv_neuron_unalign_kstride_gen_cmd(
          local_tag(input + (u32)(ht * iw + wl) * 4u), local_tag(output), local_tag(weight),
          local_tag(bias), n, ic, ih - ht - hb, iw - wl - wr, st.n, st.c, st.h, st.w, 0, 0, oc, oh,
          ow, 0, 0, kh, kw, dh, dw, k.s0, k.s1, k.s2, k.s3, pad_h_t, pad_h_b, pad_w_l, pad_w_r,
          stride_h, stride_w, using_bias, 0, result_add, node);
      break;
    }
    case CONV_ISSUE_WHOLE:
      atomic_conv_neuron_kernel_stride_gen_cmd(
          local_tag(input), local_tag(output), local_tag(weight), local_tag(bias), n, ic, ih, iw, 0,
          0, oc, oh, ow, 0, 0, kh, kw, dh, dw, k.s0, k.s1, k.s2, k.s3, pad_h_t, pad_h_b, pad_w_l,
          pad_w_r, stride_h, stride_w, using_bias, 0, result_add, node);
      break;
    case CONV_ISSUE_SPLIT_W:
    case CONV_ISSUE_SPLIT_H: {
      const int cut_w = plan.issue == CONV_ISSUE_SPLIT_W;
      const int out_len = cut_w ? ow : oh, extent = cut_w ? iw : ih;
      const int lo = cut_w ? pad_w_l : pad_h_t, hi = cut_w ? pad_w_r : pad_h_b;
      const int dk = cut_w ? conv_kernel_extent32(kw, dw) : conv_kernel_extent32(kh, dh);
      const int stride = cut_w ? stride_w : stride_h;
      for (int start = 0; start < out_len;) {
        conv_piece_t p;
        conv_piece_of(&p, start, out_len - start, extent, lo, hi, dk, stride);
        conv_piece(input, weight, bias, output, imm_local_offset, ishape, oshape, cut_w, p, kh, kw,
                   dh, dw, pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w, using_bias,
                   result_add, node);
        start += p.len;
      }
      break;
    }
    case CONV_ISSUE_GROUPED: {
      const int icg = ic / groups, ocg = oc / groups;
      const KStride kg = conv_kstride(icg, kh, kw);
      const u32 in_item = (u32)local_rows_at(input, ic) * (u32)local_plane(ih, iw) * 4u;
      const u32 out_item = (u32)local_rows_at(output, oc) * (u32)local_plane(oh, ow) * 4u;
      const u32 w_row = (u32)local_align(icg, 2) * (u32)(kh * kw) * 4u;
      for (int g = 0; g < groups; g++) {
        u32 in_g = local_channel(input, g * icg, (u32)local_plane(ih, iw) * 4u);
        u32 out_g = local_channel(output, g * ocg, (u32)local_plane(oh, ow) * 4u);
        // Weights and biases lie in the lanes of their output channels.
        const u32 w_g = local_channel((output & ~LOCAL_OFFSET_MASK) | (weight & LOCAL_OFFSET_MASK),
                                      g * ocg, w_row);
        const u32 b_g = local_channel((output & ~LOCAL_OFFSET_MASK) | (bias & LOCAL_OFFSET_MASK), g * ocg, 4u);
        for (int b = 0; b < n; b++) {
          atomic_conv_neuron_kernel_stride_gen_cmd(
              local_tag(in_g), local_tag(out_g), local_tag(w_g), local_tag(b_g), 1, icg, ih, iw, 0, 0,
              ocg, oh, ow, 0, 0, kh, kw, dh, dw, kg.s0, kg.s1, kg.s2, kg.s3, pad_h_t, pad_h_b,
              pad_w_l, pad_w_r, stride_h, stride_w, using_bias, 0, result_add, node);
          in_g += in_item;
          out_g += out_item;
        }
      }
      break;
    }
  }
  if (if_relu) nodechip_relu_forward_local(output, output, oshape, as_float(relu_upper_limit), node);
}

void nodechip_winograd_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                     u32 imm_local_offset, const dim4_t *ishape,
                                     const dim4_t *oshape, int groups, int pad_h_t, int pad_h_b,
                                     int pad_w_l, int pad_w_r, int using_bias, int result_add,
                                     int if_relu, int relu_upper_limit, int use_winograd,
                                     int unused_ht_for_input_tensor,
                                     int unused_hb_for_input_tensor,
                                     int unused_wl_for_input_tensor,
                                     int unused_wr_for_input_tensor, cmd_id_node_t *node) {
  (void)imm_local_offset;
  const int n = ishape->n, ic = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  if (groups == 1) {
    const int ht = unused_ht_for_input_tensor, hb = unused_hb_for_input_tensor;
    const int wl = unused_wl_for_input_tensor, wr = unused_wr_for_input_tensor;
    const int h = ih - ht - hb, w = iw - wl - wr;
    const int p_h = (pad_h_t + h + pad_h_b) % 2, p_w = (pad_w_l + w + pad_w_r) % 2;
    if (wl > 0 || ht > 0) {
      // The margins lie inside the resident input, whose rows stay iw long.
      const dim4_t st = default_strides(input, ic, ih, iw);
      atomic_winograd_neuron_unaligned_gen_cmd(
          local_tag(input + (u32)(ht * iw + wl) * 4u), local_tag(output), local_tag(weight),
          local_tag(bias), n, ic, h, w, st.n, st.c, st.h, st.w, 0, 0, oc, oh, ow, pad_h_t,
          pad_h_b + p_h, pad_w_l, pad_w_r + p_w, using_bias, result_add, node);
    } else {
      atomic_winograd_neuron_gen_cmd(local_tag(input), local_tag(output), local_tag(weight),
                                     local_tag(bias), n, ic, ih, iw, 0, 0, oc, oh, ow, pad_h_t,
                                     pad_h_b + p_h, pad_w_l, pad_w_r + p_w, using_bias, result_add,
                                     node);
    }
  } else {
    const int icg = ic / groups, ocg = oc / groups;
    const u32 in_item = (u32)local_rows_at(input, ic) * (u32)local_plane(ih, iw) * 4u;
    const u32 out_item = (u32)local_rows_at(output, oc) * (u32)local_plane(oh, ow) * 4u;
    for (int g = 0; g < groups; g++) {
      u32 in_g = local_channel(input, g * icg, (u32)local_plane(ih, iw) * 4u);
      u32 out_g = local_channel(output, g * ocg, (u32)local_plane(oh, ow) * 4u);
      // The groups' transformed weights follow each other from the weight
      // offset, each group's block from the lane of its first output channel
      // (the engine reads weights in the lanes of their outputs).
      const u32 lane_g = out_g & ~LOCAL_OFFSET_MASK;
      const u32 w_g = lane_g | ((weight & LOCAL_OFFSET_MASK) + (u32)g * (u32)local_rows(ocg) * (u32)icg * 64u);
      const u32 b_g = use_winograd == 1
                          ? local_channel((output & ~LOCAL_OFFSET_MASK) | (bias & LOCAL_OFFSET_MASK), g * ocg, 4u)
                          : lane_g | ((bias & LOCAL_OFFSET_MASK) + (u32)g * (u32)local_rows(ocg) * 4u);
      for (int b = 0; b < n; b++) {
        atomic_winograd_neuron_gen_cmd(local_tag(in_g), local_tag(out_g), local_tag(w_g), local_tag(b_g),
                                       1, icg, ih, iw, 0, 0, ocg, oh, ow, pad_h_t, pad_h_b + oh % 2,
                                       pad_w_l, pad_w_r + ow % 2, using_bias, result_add, node);
        in_g += in_item;
        out_g += out_item;
      }
    }
  }
  if (if_relu) {
    const dim4_t shape = d4(n, oc, oh, ow);
    nodechip_relu_forward_local(output, output, &shape, as_float(relu_upper_limit), node);
  }
}

void nodechip_deconv_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                   const dim4_t *ishape, const dim4_t *oshape, int groups, int kh,
                                   int kw, int dh, int dw, int pad_h_t, int pad_h_b, int pad_w_l,
                                   int pad_w_r, int ins_h, int ins_w, int using_bias,
                                   int result_add, int if_relu, cmd_id_node_t *node) {
  const int n = ishape->n, ic = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oc = oshape->c, oh = oshape->h, ow = oshape->w;
  if (groups == 1) {
    atomic_conv_neuron_kernel_stride_gen_cmd(
        local_tag(input), local_tag(output), local_tag(weight), local_tag(bias), n, ic, ih, iw, ins_h,
        ins_w, oc, oh, ow, 0, 0, kh, kw, dh, dw, kh * kw, kh * kw * ((ic + 1) / 2), kw, 1, pad_h_t,
        pad_h_b, pad_w_l, pad_w_r, 1, 1, using_bias, 1, result_add, node);
  } else {
    const int icg = ic / groups, ocg = oc / groups;
    const u32 in_item = (u32)local_rows_at(input, ic) * (u32)local_plane(ih, iw) * 4u;
    const u32 out_item = (u32)local_rows_at(output, oc) * (u32)local_plane(oh, ow) * 4u;
    const u32 w_row = (u32)(kh * kw) * (u32)local_align(icg, 2) * 4u;
    for (int g = 0; g < groups; g++) {
      u32 in_g = local_channel(input, g * icg, (u32)local_plane(ih, iw) * 4u);
      u32 out_g = local_channel(output, g * ocg, (u32)local_plane(oh, ow) * 4u);
      const u32 w_g = local_channel((output & ~LOCAL_OFFSET_MASK) | (weight & LOCAL_OFFSET_MASK), g * ocg, w_row);
      const u32 b_g = local_channel((output & ~LOCAL_OFFSET_MASK) | (bias & LOCAL_OFFSET_MASK), g * ocg, 4u);
      for (int b = 0; b < n; b++) {
        atomic_conv_neuron_kernel_stride_gen_cmd(
            local_tag(in_g), local_tag(out_g), local_tag(w_g), local_tag(b_g), 1, icg, ih, iw, ins_h,
            ins_w, ocg, oh, ow, 0, 0, kh, kw, dh, dw, kh * kw, kh * kw * ((icg + 1) / 2), kw, 1,
            pad_h_t, pad_h_b, pad_w_l, pad_w_r, 1, 1, using_bias, 1, result_add, node);
        in_g += in_item;
        out_g += out_item;
      }
    }
  }
  if (if_relu) {
    const dim4_t shape = d4(n, oc, oh, ow);
    nodechip_relu_forward_local(output, output, &shape, 0.0f, node);
  }
}
