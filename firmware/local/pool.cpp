// Local pooling and upsampling kernels.
#include "local/pool.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_pool.h"
#include "local/compare_select.h"
#include "local/resident.h"
#include "runtime/assert.h"

namespace {

dim4_t d4(int n, int c, int h, int w) {
  const dim4_t d = {n, c, h, w};
  return d;
}

// Default float32 (or 4N word) strides of a tensor at `offset`.
dim4_t default_strides(u32 offset, int c, int h, int w) {
  const int plane = local_plane(h, w);
  return d4(local_rows_at(offset, c) * plane, plane, w, 1);
}

// output region *= factor (float32, in place).
void scale_f32(u32 region, const dim4_t &shape, const dim4_t &st, float factor,
               cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(local_tag(region), 0, local_tag(region), &shape, 0, 0, 0, &st,
                                   &st, &st, TENSOR_OP_MUL, 0, 0, 0, 1, f32_bits(factor), 0, node);
}

// 8-bit output region *= kernel / count (an 8-bit multiplier and a shift).
void scale_fix8b(u32 region, const dim4_t &shape, const dim4_t &st, int count, int kernel,
                 int output_sign, cmd_id_node_t *node) {
  int m, e;
  pool_rescale_ratio(kernel, count, &m, &e);
  const u32 s = output_sign ? 1u : 0u;
  const u32 addr[4] = {local_tag(region), (u32)m, 0, local_tag(region)};
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {s, 0, 0}, Int8[4] = {1, 1, 0, 1};
  const u32 modes[4] = {3, 3, 3, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, &st, &st, &st, TENSOR_OP_MUL, 0, 1, e,
                                         0, 1, Sign, Int8, modes, shifts, 0, node);
}

}  // namespace

int pool_real_count(int i, int kernel, int pad, int stride, int extent) {
  const int D = kernel - pad + i * stride;
  const int hi = D < extent ? D : extent, lo = D - kernel > 0 ? D - kernel : 0;
  return hi - lo;
}

void pool_rescale_ratio(int kernel, int count, int *multiplier, int *shift) {
  // round(kernel * 2^e / count) for growing e while it fits 8 bits.
  int e = 0;
  while (e < 24 && (((i64)kernel << (e + 2)) + count) / (2 * (i64)count) <= 255) e++;
  i64 m = (((i64)kernel << (e + 1)) + count) / (2 * (i64)count);
  if (m > 255) m = 255;  // a ratio above 255 saturates
  *multiplier = (int)m;
  *shift = e;
}

int pool_cover_pad(int out, int kernel, int stride, int extent, int pad_lo) {
  const int p = (out - 1) * stride + kernel - extent - pad_lo;
  return p > 0 ? p : 0;
}

void nodechip_pooling_forward_local(u32 input, u32 output, const dim4_t *ishape,
                                    const dim4_t *oshape, int kh, int kw, int pad_h_t,
                                    int pad_h_b, int pad_w_l, int pad_w_r, int stride_h,
                                    int stride_w, int is_avg, int border_mode, cmd_id_node_t *node,
                                    int if_relu) {
  const int n = ishape->n, c = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oh = oshape->h, ow = oshape->w;
  // Pads that make the windows cover exactly oh x ow outputs; given pads that
  // already yield them count as equal.
  const int pb = pool_cover_pad(oh, kh, stride_h, ih, pad_h_t);
  const int pr = pool_cover_pad(ow, kw, stride_w, iw, pad_w_l);
  int given_b = pad_h_b, given_r = pad_w_r;
  if (ih + pad_h_t + pad_h_b - kh >= 0 && (ih + pad_h_t + pad_h_b - kh) / stride_h + 1 >= oh) given_b = pb;
  if (iw + pad_w_l + pad_w_r - kw >= 0 && (iw + pad_w_l + pad_w_r - kw) / stride_w + 1 >= ow) given_r = pr;

  // Every rescaled window must count real elements: a window wholly in the
  // padding would be scaled by an infinite factor.
  const int rescale = is_avg && (border_mode == POOL_BORDER_EXTRA || border_mode == POOL_BORDER_CLIPPED);
  if (rescale && border_mode == POOL_BORDER_CLIPPED) {
    for (int i = 0; i < oh; i++) {
      const int rows = pool_real_count(i, kh, pad_h_t, stride_h, ih);
      ASSERT_FS(rows > 0, "output row %d", i);
    }
    for (int j = 0; j < ow; j++) {
      const int cols = pool_real_count(j, kw, pad_w_l, stride_w, iw);
      ASSERT_FS(cols > 0, "output column %d", j);
    }
  }
  const int last_rows = kh - pb + pad_h_b, last_cols = kw - pr + pad_w_r;
  if (rescale && border_mode == POOL_BORDER_EXTRA) {
    ASSERT_FS(given_b == pb || last_rows > 0, "kh=%d pb=%d pad_h_b=%d", kh, pb, pad_h_b);
    ASSERT_FS(given_r == pr || last_cols > 0, "kw=%d pr=%d pad_w_r=%d", kw, pr, pad_w_r);
  }

  if (!is_avg)
    atomic_max_pooling_gen_cmd(local_tag(input), local_tag(output), n, c, ih, iw, oh, ow, kh, kw,
                               pad_h_t, pb, pad_w_l, pr, stride_h, stride_w, 0, 0, node);
  else
    atomic_avg_pooling_gen_cmd(local_tag(input), local_tag(output), n, c, ih, iw, oh, ow, kh, kw,
                               pad_h_t, pb, pad_w_l, pr, stride_h, stride_w, 0, 0,
                               f32_bits(1.0f / (float)(kh * kw)), node);
  if (rescale) {
    const dim4_t O = default_strides(output, c, oh, ow);
    const dim4_t row = d4(n, c, 1, ow), col = d4(n, c, oh, 1);
    if (border_mode == POOL_BORDER_CLIPPED) {
      for (int i = 0; i < oh; i++) {
        const int F = pool_real_count(i, kh, pad_h_t, stride_h, ih);
        if (F != kh) scale_f32(output + (u32)(i * ow) * 4u, row, O, (float)kh / (float)F, node);
      }
      for (int j = 0; j < ow; j++) {
        const int G = pool_real_count(j, kw, pad_w_l, stride_w, iw);
        if (G != kw) scale_f32(output + (u32)j * 4u, col, O, (float)kw / (float)G, node);
      }
    } else {
      if (given_b != pb)
        scale_f32(output + (u32)(oh * ow - ow) * 4u, row, O, (float)kh / (float)last_rows, node);
      if (given_r != pr) scale_f32(output + (u32)(ow - 1) * 4u, col, O, (float)kw / (float)last_cols, node);
    }
  }
  if (if_relu) nodechip_relu_forward_local(output, output, oshape, 0.0f, node);
}

void nodechip_pooling_fix8b_forward_local(u32 input, u32 weight, u32 bias, u32 output,
                                          const dim4_t *ishape, const dim4_t *oshape, int kh,
                                          int kw, int pad_h_t, int pad_h_b, int pad_w_l,
                                          int pad_w_r, int stride_h, int stride_w, int ins_h,
                                          int ins_w, int pool_type, int border_rescale,
                                          int rshift, int using_bias, int unused,
                                          int input_sign, int weight_sign, int bias_sign,
                                          int output_sign, int if_relu, cmd_id_node_t *node) {
  const int n = ishape->n, c = ishape->c, ih = ishape->h, iw = ishape->w;
  const int oh = oshape->h, ow = oshape->w;
  const int rescale = pool_type != 0 && border_rescale;
  if (rescale) {
    for (int i = 0; i < oh; i++) {
      const int rows = pool_real_count(i, kh, pad_h_t, stride_h, ih);
      ASSERT_FS(rows > 0, "output row %d", i);
    }
    for (int j = 0; j < ow; j++) {
      const int cols = pool_real_count(j, kw, pad_w_l, stride_w, iw);
      ASSERT_FS(cols > 0, "output column %d", j);
    }
  }
  atomic_pooling_fix8b_gen_cmd(local_tag(input), local_tag(weight), local_tag(output),
                               local_tag(bias), n, c, ih, iw, oh, ow, kh, kw, pad_h_t, pad_h_b,
                               pad_w_l, pad_w_r, stride_h, stride_w, ins_w, ins_h, pool_type,
                               rshift, using_bias, unused, input_sign, weight_sign, bias_sign,
                               output_sign, if_relu, node);
  if (!rescale) return;
  const dim4_t O = default_strides(output, c, oh, ow);
  const dim4_t row = d4(n, c, 1, ow), col = d4(n, c, oh, 1);
  for (int i = 0; i < oh; i++) {
    const int F = pool_real_count(i, kh, pad_h_t, stride_h, ih);
    if (F != kh) scale_fix8b(output + (u32)(i * ow) * 4u, row, O, F, kh, output_sign, node);
  }
  for (int j = 0; j < ow; j++) {
    const int G = pool_real_count(j, kw, pad_w_l, stride_w, iw);
    if (G != kw) scale_fix8b(output + (u32)j * 4u, col, O, G, kw, output_sign, node);
  }
}

void nodechip_upsample_forward_local(u32 input, u32 output, const dim4_t *ishape,
                                     const dim4_t *oshape, int size, cmd_id_node_t *node,
                                     int if_relu) {
  ASSERT_FS(size > 0);
  // Each window of the zero-inserted, padded input holds exactly one value.
  atomic_avg_pooling_gen_cmd(local_tag(input), local_tag(output), ishape->n, ishape->c, ishape->h,
                             ishape->w, oshape->h, oshape->w, size, size, size - 1, 2 * (size - 1),
                             size - 1, 2 * (size - 1), 1, 1, size - 1, size - 1, f32_bits(1.0f),
                             node);
  if (if_relu) nodechip_relu_forward_local(output, output, oshape, 0.0f, node);
}

void nodechip_upsample_fix8b_forward_local(u32 input, u32 output, const dim4_t *ishape,
                                           const dim4_t *oshape, int size, int unused0,
                                           int unused1, int unused2, int unused3, int unused4,
                                           cmd_id_node_t *node) {
  (void)unused0, (void)unused1, (void)unused2, (void)unused3, (void)unused4;
  ASSERT_FS(size > 0);
  const int g = (ishape->n + 3) / 4, c = ishape->c, ih = ishape->h, iw = ishape->w;
  const int ow = oshape->w, Q = local_plane(oshape->h, ow), rows = local_rows(c);
  const dim4_t in_st = local_strides(c, ih, iw);
  const dim4_t spread = d4(rows * Q, Q, ow * size, size), line = d4(rows * Q, Q, ow * size, 1);
  const dim4_t in_shape = d4(g, c, ih, iw), row_shape = d4(g, c, ih, ow);
  // Each input value repeated along its output row, then each row repeated.
  for (int s = 0; s < size; s++)
    atomic_tensor_arithmetic_gen_cmd(local_tag(input), 0, local_tag(output + 4u * (u32)s), &in_shape,
                                     0, 0, 0, &in_st, &spread, &spread, TENSOR_OP_COPY, 0, 0, 0, 0, 0,
                                     0, node);
  for (int i = 0; i + 1 < size; i++)
    atomic_tensor_arithmetic_gen_cmd(local_tag(output), 0,
                                     local_tag(output + (u32)((i + 1) * ow) * 4u), &row_shape, 0, 0,
                                     0, &line, &line, &line, TENSOR_OP_COPY, 0, 0, 0, 0, 0, 0, node);
}
