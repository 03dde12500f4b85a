// 8-bit depthwise convolution of 4N tensors on the pooling frame.
#include "layers/conv/depthwise_fix.h"

#include <math.h>

#include "cmd/bd_pool.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/pool/pooling.h"
#include "local/resident.h"
#include "runtime/assert.h"

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
  pool_frame_t f;
  u64 weight, bias;
  int have_bias, rshift, reserved0, reserved1, s0, s1, s2, if_relu;
};

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
  dw_fix8b_plan_t plan;
  dw_fix8b_plan_of(&plan, input_c, input_h, input_w, kh, kw, pad_h_top, pad_h_bottom, pad_w_left, pad_w_right,
                   stride_h, stride_w);
  const int N_initial = plan.N_initial;
  if (plan.small) ASSERT_FS(N_initial >= kh);
  const u32 offset_local_end = plan.end;
  ASSERT_FS(offset_local_end <= (1 << 19));

  Dw8 k;
  k.f = {input_c, input_h, input_w, plan.oh, plan.ow, kh, kw, pad_h_top, pad_h_bottom, pad_w_left, pad_w_right,
         stride_h, stride_w, plan.c_step, plan.h_step, {DW_FIX8B_INPUT0, DW_FIX8B_INPUT1}, DW_FIX8B_OUTPUT,
         DW_FIX8B_BUFFER_BYTES};
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
    int c0 = 0, r0 = -pad_h_top, more = 1, have_prev = 0;
    pool_slice_t prev = {}, cur = {};
    for (u32 step = 0; more || have_prev; step++) {
      cmd_id_node_t move, comp;
      cmd_id_divide(node, &move, &comp);
      if (more) {
        pool_slice_of(&k.f, c0, r0, &cur);
        pool_frame_load(&k.f, &cur, in_g, 1, k.f.input[step % 2], &move);
        load_params(k, cur, sets[step % 2], plan.bias_offset, &move);
      }
      if (have_prev) compute(k, prev, k.f.input[(step + 1) % 2], sets[(step + 1) % 2], plan.bias_offset, &comp);
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
