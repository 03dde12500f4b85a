// 8-bit depthwise convolution of 4N tensors on the pooling frame, and the
// 16-bit depthwise convolution in strips of 16 columns.
#include "layers/conv/depthwise_fix.h"

#include <math.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_pool.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/pool/pooling.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

void dw_fix8b_plan_of(dw_fix8b_plan_t *p, int input_c, int input_h, int input_w, int kh, int kw, int pad_h_top,
                      int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w) {
  p->oh = (input_h + pad_h_top + pad_h_bottom - kh) / stride_h + 1;
  p->ow = (input_w + pad_w_left + pad_w_right - kw) / stride_w + 1;
  const s64 in = 4 * align_up((s64)input_h * input_w, EU_NUM), out = 4 * align_up((s64)p->oh * p->ow, EU_NUM);
  const float r = 131072.0f / (float)(in > out ? in : out);
  const int cpl = (int)ceil_div(input_c, NPU_NUM);
  p->small = 0;
  p->N_initial = 0;
  if (r >= (float)cpl) {
    p->c_step = NPU_NUM * (cpl / 8);
    if (p->c_step < NPU_NUM) p->c_step = NPU_NUM;
    p->h_step = p->oh * stride_h;
  } else if (r >= 1.0f) {
    p->c_step = NPU_NUM * (int)floorf(r);
    p->h_step = p->oh * stride_h;
  } else {
    p->small = 1;
    p->N_initial = (int)floor(0.98 * (double)((float)input_h * r));
    const int F = (p->N_initial - kh) / stride_h;
    p->c_step = NPU_NUM;
    p->h_step = F * stride_h + stride_h;
  }
  p->bias_offset = (u32)kh * (u32)kw * (u32)p->c_step * 4u;
  p->end = DW_FIX8B_WEIGHT1 + p->bias_offset + (u32)p->c_step * 4u;
}

namespace {

struct Dw8 {
  pool_frame_t f;  // over the input inside its zero border
  u64 weight, bias;
  int have_bias, rshift, reserved0, reserved1, s0, s1, s2, if_relu;
  // Pads beyond the command's 15 lie in local memory as zero rows (columns)
  // around the loaded input: the frame walks ih + zt + zb rows of
  // zl + iw + zr words.
  int ih, iw, zt, zb, zl, zr;
};

// The part of a pad beyond the pooling command's 4-bit pad field.
int beyond_field(int pad) { return pad > 15 ? pad - 15 : 0; }

void zero_plane_words(u32 at, int c, int rows, int cols, int plane, int W, cmd_id_node_t *node) {
  if (rows <= 0 || cols <= 0) return;
  const dim4_t shape = {1, c, rows, cols}, st = {(int)ceil_div(c, NPU_NUM) * plane, plane, W, 1};
  atomic_tensor_arithmetic_gen_cmd(0, 0, local_tag(at), &shape, 0, 0, 0, &st, &st, &st, TENSOR_OP_COPY, 0, 1, 0, 0,
                                   0, 0, node);
}

// The rows of a slice that lie in the input, loaded inside the zero border.
void load_rows(const Dw8 &k, const pool_slice_t &s, u64 input_addr, u32 buf, cmd_id_node_t *node) {
  if (!(k.zt || k.zb || k.zl || k.zr)) {
    pool_frame_load(&k.f, &s, input_addr, 1, buf, node);
    return;
  }
  const int W = k.f.iw, plane = (int)eu_plane((u32)(s.rows * W));
  const int lo = s.rs > k.zt ? s.rs : k.zt, hi = s.rs + s.rows < k.zt + k.ih ? s.rs + s.rows : k.zt + k.ih;
  if (hi <= lo) return;
  tensor_stride_move_gen_cmd(buf + 4u * (u32)((lo - s.rs) * W + k.zl), 0,
                             input_addr + ((u64)(lo - k.zt) * k.iw + (u64)s.c0 * k.ih * k.iw) * 4u, 1, s.c, hi - lo,
                             k.iw, k.ih * k.iw, k.ih * k.iw, k.iw, 1, (int)ceil_div(s.c, NPU_NUM) * plane, plane, W, 1,
                             GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}

// Zeros over the slice's rows and columns outside the input.
void zero_border(const Dw8 &k, const pool_slice_t &s, u32 buf, cmd_id_node_t *node) {
  if (!(k.zt || k.zb || k.zl || k.zr)) return;
  const int W = k.f.iw, plane = (int)eu_plane((u32)(s.rows * W));
  const int lo = s.rs > k.zt ? s.rs : k.zt, hi = s.rs + s.rows < k.zt + k.ih ? s.rs + s.rows : k.zt + k.ih;
  if (hi <= lo) {
    zero_plane_words(buf, s.c, s.rows, W, plane, W, node);
    return;
  }
  zero_plane_words(buf, s.c, lo - s.rs, W, plane, W, node);
  zero_plane_words(buf + 4u * (u32)((hi - s.rs) * W), s.c, s.rs + s.rows - hi, W, plane, W, node);
  zero_plane_words(buf + 4u * (u32)((lo - s.rs) * W), s.c, hi - lo, k.zl, plane, W, node);
  zero_plane_words(buf + 4u * (u32)((lo - s.rs) * W + k.zl + k.iw), s.c, hi - lo, k.zr, plane, W, node);
}

void load_params(const Dw8 &k, const pool_slice_t &s, u32 set, u32 bias_offset, cmd_id_node_t *node) {
  const int taps = k.f.kh * k.f.kw;
  tensor_compact_move_gen_cmd(set, 0, k.weight + (u64)s.c0 * (u64)taps, 1, s.c, k.f.kh, k.f.kw, GDMA_VALUE_FORMAT_INT8,
                              GDMA_VALUE_DIR_S2L, 0, node);
  if (k.have_bias)
    tensor_compact_move_gen_cmd(set + bias_offset, 0, k.bias + 2ull * (u64)s.c0, 1, s.c, 1, 1,
                                GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0, node);
}

// One command per piece of at most 4095 channels, each from its own lane row
// of the input, output, weights and biases.
void compute(const Dw8 &k, const pool_slice_t &s, u32 in, u32 set, u32 bias_offset, cmd_id_node_t *node) {
  const pool_frame_t &f = k.f;
  const int taps = f.kh * f.kw;
  const u32 in_row = eu_plane((u32)(s.rows * f.iw)) * 4u, out_row = eu_plane((u32)(s.out_rows * f.ow)) * 4u;
  int remaining = s.c, l = 0;
  while (remaining > 0) {
    pool_piece_t p;
    pool_piece_of(remaining, l, &p);
    const int __c = p.size;
    ASSERT_FS(__c > 0);
    for (int i = 0; i < p.pieces; i++) {
      const u32 row = (u32)(l + i * p.size / NPU_NUM);
      atomic_pooling_fix8b_gen_cmd(local_tag(in + row * in_row), local_tag(set + row * (u32)taps),
                                   local_tag(f.output + row * out_row), local_tag(set + bias_offset + row * 2u), 4,
                                   p.size, s.rows, f.iw, s.out_rows, f.ow, f.kh, f.kw, s.pt, s.pb, f.pad_left,
                                   f.pad_right, f.stride_h, f.stride_w, 0, 0, 2, k.rshift, k.have_bias, k.reserved0,
                                   k.s0, k.s1, k.s2, k.reserved1, k.if_relu, node);
    }
    remaining -= p.pieces * p.size;
    l += p.pieces * p.size / NPU_NUM;
  }
}

}  // namespace

void nodechip_depthwise_fix8b_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                               int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                                               int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right,
                                               int stride_h, int stride_w, int ins_w, int ins_h, int rshift,
                                               int have_bias, int reserved0, int opd0_sign, int opd1_sign,
                                               int opd2_sign, int reserved1, int if_relu, cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && kh > 0 && kw > 0 && stride_h > 0 &&
            stride_w > 0);
  ASSERT_FS(pad_h_top >= 0 && pad_h_bottom >= 0 && pad_w_left >= 0 && pad_w_right >= 0);
  // The pooling frame walks input rows without insertion; no caller inserts.
  ASSERT_FS(ins_w == 0 && ins_h == 0);
  const int input_h_ext = input_h + pad_h_top + pad_h_bottom, input_w_ext = input_w + pad_w_left + pad_w_right;
  const int kernel_h = kh, kernel_w = kw;
  ASSERT_FS(input_h_ext >= kernel_h && input_w_ext >= kernel_w);
  // The frame walks the input inside a border of zeros that takes every pad
  // beyond the command's 15.
  const int zt = beyond_field(pad_h_top), zb = beyond_field(pad_h_bottom);
  const int zl = beyond_field(pad_w_left), zr = beyond_field(pad_w_right);
  const int ih = zt + input_h + zb, iw = zl + input_w + zr;
  const int pt = pad_h_top - zt, pb = pad_h_bottom - zb, pl = pad_w_left - zl, pr = pad_w_right - zr;
  dw_fix8b_plan_t plan;
  dw_fix8b_plan_of(&plan, input_c, ih, iw, kh, kw, pt, pb, pl, pr, stride_h, stride_w);
  const int N_initial = plan.N_initial;
  if (plan.small) ASSERT_FS(N_initial >= kh);
  const u32 offset_local_end = plan.end;
  ASSERT_FS(offset_local_end <= (1<<19));

  Dw8 k;
  k.f = {input_c, ih, iw, plan.oh, plan.ow, kh, kw, pt, pb, pl, pr, stride_h, stride_w, plan.c_step, plan.h_step,
         {DW_FIX8B_INPUT0, DW_FIX8B_INPUT1}, DW_FIX8B_OUTPUT, DW_FIX8B_BUFFER_BYTES};
  k.ih = input_h, k.iw = input_w, k.zt = zt, k.zb = zb, k.zl = zl, k.zr = zr;
  pool_frame_walk_t walk;
  pool_frame_walk(&k.f, &walk);
  const int ofmap_align_size = (int)walk.output_bytes, local_two_bank_size = (int)DW_FIX8B_BUFFER_BYTES;
  ASSERT_FS(ofmap_align_size <= (int)local_two_bank_size);
  ASSERT_FS(walk.input_bytes <= DW_FIX8B_BUFFER_BYTES && walk.min_out_rows > 0);
  k.weight = weight_addr, k.bias = bias_addr, k.have_bias = have_bias, k.rshift = rshift;
  k.reserved0 = reserved0, k.reserved1 = reserved1, k.s0 = opd0_sign, k.s1 = opd1_sign, k.s2 = opd2_sign;
  k.if_relu = if_relu;
  const u32 sets[2] = {DW_FIX8B_WEIGHT0, DW_FIX8B_WEIGHT1};

  const s64 in_group = (s64)input_c * input_h * input_w * 4, out_group = (s64)input_c * plan.oh * plan.ow * 4;
  for (int g = 0; g < (int)ceil_div(input_n, 4); g++) {
    const u64 in_g = input_addr + (u64)(g * in_group), out_g = output_addr + (u64)(g * out_group);
    int c0 = 0, r0 = -k.f.pad_top, more = 1, have_prev = 0;
    pool_slice_t prev = {}, cur = {};
    for (u32 step = 0; more || have_prev; step++) {
      cmd_id_node_t move, comp;
      cmd_id_divide(node, &move, &comp);
      if (more) {
        pool_slice_of(&k.f, c0, r0, &cur);
        load_rows(k, cur, in_g, k.f.input[step % 2], &move);
        load_params(k, cur, sets[step % 2], plan.bias_offset, &move);
      }
      if (have_prev) {
        zero_border(k, prev, k.f.input[(step + 1) % 2], &comp);
        compute(k, prev, k.f.input[(step + 1) % 2], sets[(step + 1) % 2], plan.bias_offset, &comp);
      }
      cmd_id_merge(node, &move, &comp);
      if (have_prev) pool_frame_store(&k.f, &prev, out_g, 1, node);
      have_prev = more;
      if (more) {
        prev = cur;
        more = pool_next_slice(&k.f, &c0, &r0);
      }
    }
  }
}

// ---- 16-bit depthwise ----

void dw_fix16b_strip_of(dw_fix16b_strip_t *s, int j0, int output_w, int input_w, int kw, int stride_w,
                        int pad_w_left) {
  const int x = j0 * stride_w - pad_w_left;
  s->j0 = j0;
  s->pad_l = x < 0 ? -x : 0;
  s->x0 = x < 0 ? 0 : x;
  int cols = (DW_FIX16B_STRIP + s->pad_l - kw) / stride_w + 1;
  if (cols > output_w - j0) cols = output_w - j0;
  s->cols = cols;
  s->in_w = input_w - s->x0 < DW_FIX16B_STRIP ? input_w - s->x0 : DW_FIX16B_STRIP;
  // Columns the windows need beyond the strip's 16 are the right pad; the
  // strip's own columns past the input are zeroed.
  const int need = (cols - 1) * stride_w + kw - s->pad_l;
  s->pad_r = need > DW_FIX16B_STRIP ? need - DW_FIX16B_STRIP : 0;
}

namespace {

// An 8-bit copy of the constant 0 over 4N words of the strip buffer.
void zero_words(u32 at, int c, int rows, int cols, int ext, cmd_id_node_t *node) {
  const dim4_t shape = {4, c, rows, cols}, st = {ext * DW_FIX16B_STRIP, ext * DW_FIX16B_STRIP, DW_FIX16B_STRIP, 1};
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {0, 0, 0}, Int8[4] = {1, 1, 1, 1};
  const u32 modes[4] = {3, 3, 3, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  const u32 fill[4] = {0, 0, 0, local_tag(at)};
  atomic_tensor_arithmetic_fix8b_gen_cmd(fill, &shape, bcast, &st, &st, &st, TENSOR_OP_COPY, 1, 0, 0, 0, 0, Sign, Int8,
                                         modes, shifts, 0, node);
  poll_all_engine_done(node);
}

}  // namespace

void nodechip_depthwise_fix16b_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                                int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                                                int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right,
                                                int stride_h, int stride_w, int ins_w, int ins_h, int rshift,
                                                int have_bias, int reserved0, int opd0_sign, int opd1_sign,
                                                int opd2_sign, int reserved1, int if_relu, cmd_id_node_t *node) {
  const int ins0_w = ins_w, ins0_h = ins_h;
  ASSERT_FS(ins0_w==0 && ins0_h==0);
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && kw > 0 && stride_w > 0);
  ASSERT_FS(pad_h_top >= 0 && pad_h_bottom >= 0 && pad_w_left >= 0 && pad_w_right >= 0);
  const int input_h_ext = input_h + pad_h_top + pad_h_bottom, input_w_ext = input_w + pad_w_left + pad_w_right;
  const int kernel_h = kh, kernel_w = kw;
  ASSERT_FS(input_h_ext >= kernel_h && input_w_ext >= kernel_w);
  if (!((kh == 3 || kh == 4) && (stride_h == 1 || stride_h == 2))) ASSERT_FS(0);
  // A strip's windows must fit its 16 columns and the strip buffer one bank.
  ASSERT_FS(kw <= DW_FIX16B_STRIP && pad_w_left < DW_FIX16B_STRIP);
  ASSERT_FS(input_h_ext * DW_FIX16B_STRIP * 4 <= 0x10000);
  const int oh = (input_h_ext - kh) / stride_h + 1, ow = (input_w_ext - kw) / stride_w + 1;
  const int R = stride_h == 1 ? 4 : 2, entries_max = (oh + R - 1) / R;
  ASSERT_FS(DW_FIX16B_RESULTS + (u32)(R * entries_max) * 128u <= 0x30000u);
  const s64 plane_in = (s64)input_h * input_w, plane_out = (s64)oh * ow;
  const s64 block = (s64)input_c * plane_out;
  const int taps = kh * kw;

  for (int c0 = 0; c0 < input_c; c0 += NPU_NUM) {
    const int c = input_c - c0 < NPU_NUM ? input_c - c0 : NPU_NUM;
    tensor_compact_move_gen_cmd(0, 0, weight_addr + (u64)c0 * (u64)taps, 1, c, kh, kw, GDMA_VALUE_FORMAT_INT8,
                                GDMA_VALUE_DIR_S2L, 0, node);
    if (have_bias)
      tensor_compact_move_gen_cmd((u32)(NPU_NUM * taps), 0, bias_addr + 2ull * (u64)c0, 1, c, 1, 1,
                                  GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0, node);
    poll_all_engine_done(node);
    for (int g = 0; g < (int)ceil_div(input_n, 4); g++) {
      const int pairs = input_n - 4 * g > 2 ? 2 : 1;
      for (int j0 = 0; j0 < ow;) {
        dw_fix16b_strip_t st;
        dw_fix16b_strip_of(&st, j0, ow, input_w, kw, stride_w, pad_w_left);
        const int wstart = st.x0;
        ASSERT_FS(wstart < input_w);
        // Zero rows for the vertical pads, zero columns past the input, then the rows.
        if (pad_h_top > 0) zero_words(DW_FIX16B_INPUT, c, pad_h_top, DW_FIX16B_STRIP, input_h_ext, node);
        if (pad_h_bottom > 0)
          zero_words(DW_FIX16B_INPUT + (u32)((pad_h_top + input_h) * DW_FIX16B_STRIP) * 4u, c, pad_h_bottom,
                     DW_FIX16B_STRIP, input_h_ext, node);
        const u32 first_row = DW_FIX16B_INPUT + (u32)(pad_h_top * DW_FIX16B_STRIP) * 4u;
        if (st.in_w < DW_FIX16B_STRIP)
          zero_words(first_row + (u32)st.in_w * 4u, c, input_h, DW_FIX16B_STRIP - st.in_w, input_h_ext, node);
        const u64 src = input_addr + 4ull * (u64)((s64)g * input_c * plane_in + (s64)c0 * plane_in + st.x0);
        tensor_stride_move_gen_cmd(first_row, 0, src, 1, c, input_h, st.in_w, (int)(input_c * plane_in),
                                   (int)plane_in, input_w, 1, input_h_ext * DW_FIX16B_STRIP,
                                   input_h_ext * DW_FIX16B_STRIP, DW_FIX16B_STRIP, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                   GDMA_VALUE_DIR_S2L, 0, node);
        poll_all_engine_done(node);
        for (int i = 0; i < R && i < oh; i++) {
          // Entry n: the window from row i x stride_h + 4n, output row i + n x R.
          const int entries = (oh - i + R - 1) / R;
          const u32 res = DW_FIX16B_RESULTS + (u32)(i * entries_max) * 128u;
          atomic_depthwise_fix16b_gen_cmd(local_tag(DW_FIX16B_INPUT + (u32)(i * stride_h * DW_FIX16B_STRIP) * 4u),
                                          local_tag(0), local_tag(res), local_tag((u32)(NPU_NUM * taps)), 4 * entries,
                                          c, kh, DW_FIX16B_STRIP, 1, st.cols, kh, kw, 0, 0, st.pad_l, st.pad_r,
                                          stride_h, stride_w, 0, 0, 2, rshift, have_bias, reserved0, opd0_sign,
                                          opd1_sign, opd2_sign, reserved1, if_relu, node);
          poll_all_engine_done(node);
          // Word q of each result element is item pair 2g + q.
          for (int q = 0; q < pairs; q++) {
            const u64 dst = output_addr + 4ull * (u64)((2 * g + q) * block + (s64)c0 * plane_out + (s64)i * ow + j0);
            tensor_stride_move_gen_cmd(res + 4u * (u32)q, 0, dst, entries, c, 1, st.cols, 32, 32 * entries, 32, 2,
                                       R * ow, (int)plane_out, ow, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S,
                                       0, node);
            poll_all_engine_done(node);
          }
        }
        j0 += st.cols;
      }
    }
  }
}
