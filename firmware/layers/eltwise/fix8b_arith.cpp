// 8-bit weighted sum, arithmetic shift, multiply-shift and PReLU on 4N tensors.
#include "layers/eltwise/fix8b_arith.h"

#include <stdio.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_desc.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "local/conv_fix.h"
#include "local/eltwise_fix8b.h"
#include "runtime/assert.h"

#define SLICE_BYTES 0x10000

namespace {
// One fixed-point command: operands tagged (or a constant's value), signs
// {A, B, R read}, widths {A, B, R} (1: 8-bit, 0: 16-bit).
struct fx_t {
  tensor_op_t op;
  u32 A, B, R;
  int A_const, B_const;
  const dim4_t *As, *Bs, *Rs;
  int rshift, shift2, shift_type;
  u32 sign[3], int8[3], bcast[4];
};
fx_t fx(tensor_op_t op, u32 A, int A_const, u32 B, int B_const, u32 R, const dim4_t *s) {
  fx_t k = {};
  k.op = op;
  k.A = A;
  k.B = B;
  k.R = R;
  k.A_const = A_const;
  k.B_const = B_const;
  k.As = k.Bs = k.Rs = s;
  return k;
}
void issue(const fx_t &k, const dim4_t *shape, cmd_id_node_t *node) {
  const u32 addr[4] = {k.A, k.B, 0, k.R};
  const u32 Int8[4] = {k.int8[0], k.int8[1], 0, k.int8[2]};
  const u32 modes[4] = {BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN};
  const u32 shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, shape, k.bcast, k.As, k.Bs, k.Rs, k.op, k.A_const, k.B_const, k.rshift,
                                         k.shift2, k.shift_type, k.sign, Int8, modes, shifts, 0, node);
}
// A 16-bit value narrowed to 8 bits (signed per is_signed), after a rounding
// right shift.
void narrow(u32 from, u32 to, const dim4_t *shape, const dim4_t *s, int is_signed, int rshift, cmd_id_node_t *node) {
  fx_t k = fx(TENSOR_OP_ADD, 0, 1, from, 0, to, s);
  k.rshift = rshift;
  k.shift_type = is_signed;
  k.sign[0] = k.sign[1] = (u32)is_signed;
  k.int8[2] = 1;
  issue(k, shape, node);
}

struct slice_t {
  int n0, items, y0, rows;
};
slice_t slice_of(const fix8b_slice_plan_t &p, int n, int h, int k) {
  const int nh = (int)ceil_div(h, p.rows);
  const int n0 = (k / nh) * p.items, y0 = (k % nh) * p.rows;
  return {n0, n - n0 < p.items ? n - n0 : p.items, y0, h - y0 < p.rows ? h - y0 : p.rows};
}
int slice_count(const fix8b_slice_plan_t &p, int n, int h) {
  return (int)(ceil_div(n, p.items) * ceil_div(h, p.rows));
}
dim4_t word_strides(int c, int rows, int w) {
  const int plane = (int)eu_plane((u32)rows * (u32)w);
  return {(int)ceil_div(c, NPU_NUM) * plane, plane, w, 1};
}
// 4N groups of a slice between device memory and the aligned local layout.
void move_4n(u64 addr, u32 local, const slice_t &s, int c, int h, int w, gdma_direction_t dir, cmd_id_node_t *node) {
  const u64 chw = (u64)c * h * w;
  const u64 at = addr + 4 * ((u64)s.y0 * w + (u64)(s.n0 / 4) * chw);
  const int groups = (s.items + 3) / 4;
  if (dir == GDMA_VALUE_DIR_S2L) {
    general_align_tensor_move_G2L_gen_cmd(at, local, 0, groups, c, s.rows, w, (int)chw, h * w, node);
  } else {
    general_align_tensor_move_L2G_gen_cmd(local, 0, at, groups, c, s.rows, w, (int)chw, h * w, node);
  }
}
void open_copies(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute) {
  node->divided = 1;
  *move = *compute = *node;
}
void close_copies(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute, int flag) {
  cmd_id_merge(node, move, compute);
  node->divided = (u8)flag;
  *move = *compute = *node;
}
// The common slice rule: one group of the rows that fit, or whole groups of
// all rows.
void plan_slices(fix8b_slice_plan_t *plan, int n, int c, int h, int w, int row_margin) {
  const int cpl = (int)ceil_div(c, NPU_NUM);
  const i64 G = (i64)cpl * eu_plane((u32)h * (u32)w) * 4;
  if (G > SLICE_BYTES) {
    plan->items = n < 4 ? n : 4;
    int rows = (SLICE_BYTES / (4 * cpl) - row_margin) / w;
    // Rows whose aligned plane would pass the slice are dropped.
    while (rows > 0 && (i64)cpl * eu_plane((u32)rows * (u32)w) * 4 > SLICE_BYTES) rows--;
    plan->rows = rows;
  } else {
    const i64 items = 4 * (SLICE_BYTES / G);
    plan->items = items < n ? (int)items : n;
    plan->rows = h;
  }
  const int n_slice = plan->items, h_slice = plan->rows;
  ASSERT_FS(n_slice > 0 && h_slice > 0);
  const i64 num_4n = (n_slice + 3) / 4, c_num_lmem = cpl, c_lmem_size = (i64)eu_plane((u32)h_slice * (u32)w) * 4;
  ASSERT_FS(num_4n * c_num_lmem * c_lmem_size <= ((1<<19) / 8));
}
}  // namespace

void eltwise_fix8b_plan_of(fix8b_slice_plan_t *plan, int n, int c, int h, int w) { plan_slices(plan, n, c, h, w, 0); }
void arith_shift_fix8b_plan_of(fix8b_slice_plan_t *plan, int n, int c, int h, int w) {
  plan_slices(plan, n, c, h, w, 32);
}

// ---- Weighted sum ----

#define ELT_A 0x0u
#define ELT_B 0x10000u
#define ELT_OUT0 0x20000u
#define ELT_INTERMEDIATE 0x40000u

void nodechip_eltwise_fix8b_forward_parallel(u64 input_a_global_addr, u64 input_b_global_addr,
                                             u64 output_global_addr, int input_n, int input_c, int input_h,
                                             int input_w, int unused, int scale_A, int scale_B, int sign_A,
                                             int sign_B, int rshift_A, int rshift_B, int if_relu,
                                             cmd_id_node_t *node) {
  (void)unused;
  ASSERT_FS(scale_A < 128 && scale_A >= 0);
  ASSERT_FS(scale_B < 128 && scale_B >= 0);
  const int n = input_n, c = input_c, h = input_h, w = input_w;
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  fix8b_slice_plan_t p;
  eltwise_fix8b_plan_of(&p, n, c, h, w);
  const int slices = slice_count(p, n, h);
  const int s = !if_relu && (sign_A || sign_B);
  cmd_id_node_t move, compute;
  for (int pass = 0; pass - 2 < slices; pass++) {
    open_copies(node, &move, &compute);
    if (pass - 2 >= 0)
      move_4n(output_global_addr, ELT_OUT0 + (u32)((pass - 1) % 2) * SLICE_BYTES, slice_of(p, n, h, pass - 2), c, h, w,
              GDMA_VALUE_DIR_L2S, &move);
    if (pass < slices) move_4n(input_a_global_addr, ELT_A, slice_of(p, n, h, pass), c, h, w, GDMA_VALUE_DIR_S2L, &move);
    if (pass - 1 >= 0 && pass - 1 < slices) {
      const slice_t sl = slice_of(p, n, h, pass - 1);
      const dim4_t shape = {sl.items, c, sl.rows, w}, st = word_strides(c, sl.rows, w);
      // intermediate += B x scale_B >> rshift_B (the old value shifted up first).
      fx_t k = fx(TENSOR_OP_MAC, LOCAL_ADDR_TAG | ELT_B, 0, (u32)scale_B, 1, LOCAL_ADDR_TAG | ELT_INTERMEDIATE, &st);
      k.rshift = k.shift2 = rshift_B;
      k.shift_type = 1;
      k.sign[0] = (u32)sign_B;
      k.sign[1] = k.sign[2] = 1;
      k.int8[0] = k.int8[1] = 1;
      issue(k, &shape, &compute);
      if (if_relu == 1 && (sign_A || sign_B)) {
        k = fx(TENSOR_OP_MAX, LOCAL_ADDR_TAG | ELT_INTERMEDIATE, 0, 0, 1, LOCAL_ADDR_TAG | ELT_INTERMEDIATE, &st);
        k.sign[0] = k.sign[1] = k.sign[2] = 1;
        issue(k, &shape, &compute);
      }
      narrow(LOCAL_ADDR_TAG | ELT_INTERMEDIATE, LOCAL_ADDR_TAG | (ELT_OUT0 + (u32)(pass % 2) * SLICE_BYTES), &shape,
             &st, s, 0, &compute);
    }
    close_copies(node, &move, &compute, 1);
    if (pass < slices) {
      const slice_t sl = slice_of(p, n, h, pass);
      const dim4_t shape = {sl.items, c, sl.rows, w}, st = word_strides(c, sl.rows, w);
      move_4n(input_b_global_addr, ELT_B, sl, c, h, w, GDMA_VALUE_DIR_S2L, &move);
      // intermediate = A x scale_A >> rshift_A.
      fx_t k = fx(TENSOR_OP_MUL, LOCAL_ADDR_TAG | ELT_A, 0, (u32)scale_A, 1, LOCAL_ADDR_TAG | ELT_INTERMEDIATE, &st);
      k.rshift = rshift_A;
      k.shift_type = 1;
      k.sign[0] = (u32)sign_A;
      k.sign[1] = k.sign[2] = 1;
      k.int8[0] = k.int8[1] = 1;
      issue(k, &shape, &compute);
    }
    close_copies(node, &move, &compute, 0);
  }
}

// ---- Arithmetic shift ----

#define SHIFT_IN 0x0u
#define SHIFT_AMOUNTS 0x20000u
#define SHIFT_OUT0 0x40000u
#define SHIFT_OUT_STEP 0x20000u

void nodechip_arith_shift_fix8b_forward(u64 input_global_addr, u64 output_global_addr, u64 shift_global_addr,
                                        int input_n, int input_c, int input_h, int input_w, int shift_kind,
                                        int shift_value, int shift_mode, int sign_input, cmd_id_node_t *node) {
  const int n = input_n, c = input_c, h = input_h, w = input_w;
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  ASSERT_FS(shift_kind >= 0 && shift_kind <= 2 && shift_mode >= 0 && shift_mode <= 2);
  fix8b_slice_plan_t p;
  arith_shift_fix8b_plan_of(&p, n, c, h, w);
  const int slices = slice_count(p, n, h);
  const u64 chw = (u64)c * h * w;
  const i32 t = shift_kind == 0 ? shift_value : shift_kind == 1 ? -shift_value : 1 - shift_value;
  const u32 t16 = (u32)t & 0xFFFFu;
  const dim4_t per_channel = {0, 1, 0, 0};
  cmd_id_node_t move, compute;
  for (int pass = 0; pass - 2 < slices; pass++) {
    open_copies(node, &move, &compute);
    const u32 out_prev = SHIFT_OUT0 + (u32)((pass - 1) % 2) * SHIFT_OUT_STEP;
    if (pass - 2 >= 0) move_4n(output_global_addr, out_prev, slice_of(p, n, h, pass - 2), c, h, w, GDMA_VALUE_DIR_L2S,
                               &move);
    if (pass - 1 >= 0 && pass - 1 < slices) {
      const slice_t sl = slice_of(p, n, h, pass - 1);
      const dim4_t shape = {sl.items, c, sl.rows, w}, st = word_strides(c, sl.rows, w);
      const u32 out = LOCAL_ADDR_TAG | (SHIFT_OUT0 + (u32)(pass % 2) * SHIFT_OUT_STEP);
      if (shift_mode != 1) {
        // The int8 slice widened to int16 in place.
        fx_t k = fx(TENSOR_OP_ADD, 0, 1, LOCAL_ADDR_TAG | SHIFT_IN, 0, LOCAL_ADDR_TAG | SHIFT_IN, &st);
        k.sign[0] = k.sign[1] = (u32)sign_input;
        k.int8[0] = k.int8[1] = 1;
        issue(k, &shape, &compute);
      }
      if (shift_mode == 2) {
        // Amounts s, 0 - s or 1 - s, int8 to int16 in place.
        fx_t k = fx(shift_kind == 0 ? TENSOR_OP_ADD : TENSOR_OP_SUB, shift_kind == 2 ? 1u : 0u, 1,
                    LOCAL_ADDR_TAG | SHIFT_AMOUNTS, 0, LOCAL_ADDR_TAG | SHIFT_AMOUNTS, &st);
        k.sign[0] = k.sign[1] = 1;
        k.int8[0] = k.int8[1] = 1;
        issue(k, &shape, &compute);
      }
      fx_t k = fx(TENSOR_OP_SHIFT, LOCAL_ADDR_TAG | SHIFT_IN, 0, shift_mode == 0 ? t16 : LOCAL_ADDR_TAG | SHIFT_AMOUNTS,
                  shift_mode == 0, out, &st);
      if (shift_mode == 1) {
        k.Bs = &per_channel;
        k.bcast[0] = k.bcast[2] = k.bcast[3] = 1;
      }
      k.shift_type = sign_input;
      k.sign[0] = (u32)sign_input;
      k.sign[1] = 1;
      issue(k, &shape, &compute);
      narrow(out, out, &shape, &st, sign_input, shift_kind == 2 ? 1 : 0, &compute);
    }
    close_copies(node, &move, &compute, 0);
    if (pass < slices) {
      const slice_t sl = slice_of(p, n, h, pass);
      if (shift_mode == 1) {
        // int16 items in 2N storage: two items a word.
        const int plane = (int)eu_plane((u32)sl.rows * (u32)w), cpl = (int)ceil_div(c, NPU_NUM);
        stride_load(global_view(input_global_addr + 4 * ((u64)sl.y0 * w + (u64)(sl.n0 / 2) * chw),
                                dim4((sl.items + 1) / 2, c, sl.rows, w), dim4((int)chw, h * w, w, 1),
                                GDMA_VALUE_FORMAT_FLOAT32),
                    local_f32(SHIFT_IN, dim4(cpl * plane, plane, w, 1)), node);
        tensor_compact_move_gen_cmd(SHIFT_AMOUNTS, 0, shift_global_addr, 1, c, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                    GDMA_VALUE_DIR_S2L, 0, node);
        if (shift_kind == 2) {
          const dim4_t one = {1, c, 1, 1};
          fx_t k =
              fx(TENSOR_OP_ADD, LOCAL_ADDR_TAG | SHIFT_AMOUNTS, 0, 1, 1, LOCAL_ADDR_TAG | SHIFT_AMOUNTS, &per_channel);
          k.sign[0] = k.sign[1] = 1;
          issue(k, &one, node);
        }
      } else {
        move_4n(input_global_addr, SHIFT_IN, sl, c, h, w, GDMA_VALUE_DIR_S2L, node);
        if (shift_mode == 2) move_4n(shift_global_addr, SHIFT_AMOUNTS, sl, c, h, w, GDMA_VALUE_DIR_S2L, node);
      }
    }
    // The copies were closed into the node before the loads went on it.
    node->divided = 0;
  }
}

// ---- Multiply-shift ----

#define MULSHIFT_OUT_DIRECT 0x40000u
#define MULSHIFT_OUT 0x20000u
#define MULSHIFT_INTERMEDIATE 0x40000u

void mulshift_fix8b_plan_of(mulshift_plan_t *plan, int /*c*/, int h, int w, int sign_input, int sign_multiplier,
                            int mulshift_flag) {
  plan->intermediate = (sign_input || sign_multiplier) && mulshift_flag != 1;
  plan->split_rows = (i64)eu_plane((u32)h * (u32)w) * 4 > 0x20000;
  plan->rows = plan->split_rows ? (int)(0x8000 / eu_plane((u32)w)) : h;
  const i64 t = eu_plane((u32)w * (u32)(plan->rows < h ? plan->rows : h));
  const i64 limit = plan->intermediate ? 0x20000 : 0x40000;
  int W = 64512;
  while (W > 0 && t * ceil_div(W, NPU_NUM) * 4 > limit) W /= 2;
  plan->channels = W;
}

void nodechip_mulshift_fix8b_forward(u64 input_global_addr, u64 output_global_addr, int input_n, int input_c,
                                     int input_h, int input_w, int multiplier, int rshift, int sign_input,
                                     int sign_multiplier, int mulshift_flag, cmd_id_node_t *node) {
  const int tensor_w = input_w;
  ASSERT_FS((65535) >= tensor_w);
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  const int n = input_n, c = input_c, h = input_h, w = input_w;
  mulshift_plan_t p;
  mulshift_fix8b_plan_of(&p, c, h, w, sign_input, sign_multiplier, mulshift_flag);
  if (p.split_rows) printf("mulshift has large single channel, need split h");
  const int c_max = p.channels, h_max = p.rows;
  ASSERT_FS(c_max > 0);
  ASSERT_FS(h_max > 0);
  const u32 out = p.intermediate ? MULSHIFT_OUT : MULSHIFT_OUT_DIRECT;
  const int out_signed = p.intermediate ? 0 : (sign_input || sign_multiplier);
  const int limit127 = !sign_input && !sign_multiplier && mulshift_flag == 1;
  const u64 chw = (u64)c * h * w;
  const int csecs = (int)ceil_div(c, c_max), hsecs = (int)ceil_div(h, h_max);
  auto kernel = [&](int C, int H, cmd_id_node_t *nd) {
    nodechip_mulshift_fix8b_forward_local(0, MULSHIFT_INTERMEDIATE, out, 4, C, H, w, multiplier, rshift, sign_input,
                                          sign_multiplier, out_signed, nd);
    if (limit127) {
      // An unsigned result of unsigned operands kept at most 127.
      const dim4_t shape = {4, C, H, w}, st = word_strides(C, H, w);
      fx_t k = fx(TENSOR_OP_MIN, LOCAL_ADDR_TAG | out, 0, 127, 1, LOCAL_ADDR_TAG | out, &st);
      k.int8[0] = k.int8[1] = k.int8[2] = 1;
      issue(k, &shape, nd);
    }
  };
  for (int g = 0; g < (n + 3) / 4; g++) {
    const u64 group = 4 * (u64)g * chw;
    if (csecs == 1 && hsecs == 1) {
      tensor_align_move_gen_cmd(0, 0, input_global_addr + group, 1, c, h, w, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2L, 0, node);
      kernel(c, h, node);
      tensor_align_move_gen_cmd(out, 0, output_global_addr + group, 1, c, h, w, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_L2S, 0, node);
      continue;
    }
    for (int cs = 0; cs < csecs; cs++) {
      const int c0 = cs * c_max, C = c - c0 < c_max ? c - c0 : c_max;
      for (int hs = 0; hs < hsecs; hs++) {
        const int y0 = hs * h_max, H = h - y0 < h_max ? h - y0 : h_max;
        const int plane = (int)eu_plane((u32)H * (u32)w), cpl = (int)ceil_div(C, NPU_NUM);
        const u64 at = group + 4 * ((u64)c0 * h * w + (u64)y0 * w);
        const dim4_t part = dim4(1, C, H, w), gs = dim4((int)chw, h * w, w, 1), ls = dim4(plane * cpl, plane, w, 1);
        stride_load(global_view(input_global_addr + at, part, gs, GDMA_VALUE_FORMAT_FLOAT32), local_f32(0, ls), node);
        kernel(C, H, node);
        stride_store(local_f32(out, ls), global_view(output_global_addr + at, part, gs, GDMA_VALUE_FORMAT_FLOAT32), node);
      }
    }
  }
}

// ---- PReLU ----

void prelu_fix8b_plan_of(prelu_fix8b_plan_t *plan, int n, int c, int h, int w, int channel_shared) {
  const int b = 8 / (2 + (channel_shared ? 0 : 1));
  const i64 buffer = (i64)b * 0x10000;
  const i64 P = (i64)h * w, G = (n + 3) / 4;
  const int cs = c < 4095 ? c : 4095, cl = (int)ceil_div(cs, NPU_NUM);
  i64 J = P < 65471 ? P : 65471, E = G < 65471 ? G : 65471;
  const i64 D = (i64)cl * align_up(J, EU_NUM) * 4;
  if (D * E > buffer) {
    if (D > buffer) {
      J = 32 * (buffer / ((i64)cl * 128));
      if (J > 65440) J = 65440;
      E = 1;
    } else {
      E = buffer / D;
    }
  }
  plan->banks = b;
  plan->channels = cs;
  plan->groups = (int)E;
  plan->plane = (int)J;
  plan->output = (u32)buffer;
  plan->slope = (u32)(2 * buffer);
}

void nodechip_prelu_forward_fix8b(u64 input_global_addr, u64 slope_global_addr, u64 output_global_addr,
                                  float shared_slope, int channel_shared, int input_n, int input_c, int input_h,
                                  int input_w, int sign_input, int unused, int sign_aux, int rshift,
                                  int src_storage_mode, cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  const int n = input_n, c = input_c;
  const i64 P = (i64)input_h * input_w, G = (n + 3) / 4;
  prelu_fix8b_plan_t p;
  prelu_fix8b_plan_of(&p, n, c, input_h, input_w, channel_shared);
  const i64 slice_tensor_size = align_up(p.plane, EU_NUM) * 4 * (i64)p.groups * ceil_div(p.channels, NPU_NUM);
  const i64 tensor_max_size = (i64)p.banks * 0x10000;
  ASSERT_FS(slice_tensor_size<=tensor_max_size);
  // The kernel's range of the integer slope, checked before anything is issued.
  const int slope = (int)shared_slope;
  ASSERT_FS(slope <= 127 && slope >= -128);
  for (int c0 = 0; c0 < c; c0 += p.channels) {
    const int C = c - c0 < p.channels ? c - c0 : p.channels;
    if (!channel_shared)
      move_g2l(global_view(slope_global_addr + (u64)c0, dim4(1, C, 1, 1), dim4(C, 1, 1, 1), GDMA_VALUE_FORMAT_INT8),
               local_view(p.slope, 0, dim4(4 * C, 4, 1, 1), GDMA_VALUE_FORMAT_INT8), node);
    for (i64 g0 = 0; g0 < G; g0 += p.groups) {
      const int E = (int)(G - g0 < p.groups ? G - g0 : p.groups);
      const int items = 4 * (g0 + E) <= n ? 4 * E : n - 4 * (int)g0;
      for (i64 p0 = 0; p0 < P; p0 += p.plane) {
        const int J = (int)(P - p0 < p.plane ? P - p0 : p.plane);
        const int AJ = (int)align_up(J, EU_NUM), L = AJ * (int)ceil_div(C, NPU_NUM);
        const u64 at = (u64)g0 * c * P + (u64)c0 * P + (u64)p0;
        if (src_storage_mode) {
          stride_load(global_view(input_global_addr + 4 * at, dim4(E, C, J, 1), dim4((int)(c * P), (int)P, 1, 1),
                                  GDMA_VALUE_FORMAT_FLOAT32),
                      local_f32(0, dim4(L, AJ, 1, 1)), node);
        } else {
          for (int i = 0; i < items; i++)
            move_g2l(global_view(input_global_addr + ((u64)(4 * g0 + i) * c * P + (u64)c0 * P + (u64)p0),
                                 dim4(1, C, J, 1), dim4((int)(c * P), (int)P, 1, 1), GDMA_VALUE_FORMAT_INT8),
                     local_view((u32)(i % 4) + (u32)(i / 4) * 4u * (u32)L, 0, dim4(4 * L, 4 * AJ, 4, 4),
                                GDMA_VALUE_FORMAT_INT8),
                     node);
        }
        const dim4_t shape = {items, C, J, 1};
        nodechip_prelu_forward_local_fix8b(0, p.output, p.slope, channel_shared, slope, &shape, 0, sign_input, unused,
                                           sign_aux, rshift, node);
        stride_store(local_f32(p.output, dim4(L, AJ, 1, 1)),
                     global_view(output_global_addr + 4 * at, dim4(E, C, J, 1), dim4((int)(c * P), (int)P, 1, 1),
                                 GDMA_VALUE_FORMAT_FLOAT32),
                     node);
      }
    }
  }
}
