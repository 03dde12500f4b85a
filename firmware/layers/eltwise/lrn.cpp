// Local response normalisation across channels on float tensors.
#include "layers/eltwise/lrn.h"

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/norm_common.h"
#include "local/conversion.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"

static i64 lrn_item_bytes(int b, int cpl, i64 rows, int w) { return (i64)b * cpl * align_up(rows * w, EU_NUM) * 4; }

// hsecs raised until `buffers` slices of one item fit a slot; it stops past h
// (one row does not fit), which the layer refuses.
static void lrn_raise_rows(int b, int cpl, int h, int w, int *hsecs) {
  while (*hsecs <= h && lrn_item_bytes(b, cpl, ceil_div(h, *hsecs), w) > LRN_SLOT_BYTES) (*hsecs)++;
}

void lrn_split_nh(int buffers, int n, int c, int h, int w, int *nsecs, int *hsecs) {
  const int cpl = (c + 63) / 64;
  const i64 item = lrn_item_bytes(buffers, cpl, h, w);
  const i64 total = (i64)n * item;
  if (n <= 1) {
    const i64 secs = ceil_div(total, LRN_SLOT_BYTES);
    *hsecs = secs > h ? h + 1 : (int)secs;
    lrn_raise_rows(buffers, cpl, h, w, hsecs);
  } else if (item > LRN_SLOT_BYTES) {
    *nsecs = n;
    const i64 secs = ceil_div(item, LRN_SLOT_BYTES);
    *hsecs = secs > h ? h + 1 : (int)secs;
    lrn_raise_rows(buffers, cpl, h, w, hsecs);
  } else {
    *nsecs = nsecs_computing((int)item, n, LRN_SLOT_BYTES);
    *hsecs = 1;
  }
}

namespace {
struct lrn_slice_t {
  int n_off, n_len, h_off, h_len;
  u32 base, bytes;  // slot base and S_k
};

struct lrn_t {
  u64 input, output;
  int n, c, h, w;
  float alpha1, beta, k;
  int steps;
  u32 scratch;
};

// Lane shifts of the squares onto the sums, each distance both ways.
void lrn_shifts(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  for (int d = 1; d <= a.steps; d++) {
    lrn_shift_gen_cmd(s.base + s.bytes, 0, s.base + 2 * s.bytes, s.n_len, a.c, s.h_len, a.w,
                      GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_LRN_SHIFT_LEFT, d, 1, node);
    lrn_shift_gen_cmd(s.base + s.bytes, 0, s.base + 2 * s.bytes, s.n_len, a.c, s.h_len, a.w,
                      GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_LRN_SHIFT_RIGHT, d, 1, node);
  }
}
// x x (k + alpha' x sums) ^ -beta, in place.
void lrn_scale(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  const u32 sums = s.base + 2 * s.bytes;
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | sums, 0, 0, LOCAL_ADDR_TAG | sums, s.n_len, a.c, s.h_len, a.w, 1, 1,
                           norm_f32_bits(a.k), norm_f32_bits(a.alpha1), 0, 0, node);
  tensor_xa(node, sums, sums, a.scratch, s.n_len, a.c, s.h_len, a.w, -a.beta);
  atomic_md_mul_gen_cmd(LOCAL_ADDR_TAG | s.base, LOCAL_ADDR_TAG | sums, LOCAL_ADDR_TAG | s.base, s.n_len, a.c, s.h_len,
                        a.w, 0, node);
}
void lrn_squares(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  atomic_md_mul_gen_cmd(LOCAL_ADDR_TAG | s.base, LOCAL_ADDR_TAG | s.base, LOCAL_ADDR_TAG | (s.base + s.bytes), s.n_len,
                        a.c, s.h_len, a.w, 0, node);
}
void lrn_copy_squares(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | (s.base + s.bytes), LOCAL_ADDR_TAG | (s.base + 2 * s.bytes), s.n_len, a.c,
                          s.h_len, a.w, 0, norm_f32_bits(1.0f), node);
}
void lrn_move(const lrn_t &a, const lrn_slice_t &s, gdma_direction_t dir, cmd_id_node_t *node) {
  const u64 chw = (u64)a.c * a.h * a.w;
  const u64 at = 4 * ((u64)s.n_off * chw + (u64)s.h_off * a.w);
  if (dir == GDMA_VALUE_DIR_S2L) {
    general_align_tensor_move_G2L_gen_cmd(a.input + at, s.base, 0, s.n_len, a.c, s.h_len, a.w, (int)chw,
                                          a.h * a.w, node);
  } else {
    general_align_tensor_move_L2G_gen_cmd(s.base, 0, a.output + at, s.n_len, a.c, s.h_len, a.w, (int)chw,
                                          a.h * a.w, node);
  }
}
}  // namespace

void nodechip_lrn_forward_parallel(u64 input_global_addr, u64 output_global_addr, int input_n, int input_c,
                                   int input_h, int input_w, float alpha, int local_size, float beta, float k,
                                   cmd_id_node_t *node) {
  const int Tensor_N = input_n, Tensor_H = input_h;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && local_size > 0);
  const int c = input_c, h = input_h, w = input_w, cpl = (c + 63) / 64;
  lrn_t a;
  a.input = input_global_addr;
  a.output = output_global_addr;
  a.n = input_n;
  a.c = c;
  a.h = h;
  a.w = w;
  a.alpha1 = alpha / (float)local_size;
  a.beta = beta;
  a.k = k;
  const int half = (local_size - 1) >> 1;
  a.steps = half < c - 1 ? half : c - 1;
  int nsecs = 1, hsecs = 1;
  if ((i64)input_n * lrn_item_bytes(4, cpl, h, w) > LRN_SLOT_BYTES) lrn_split_nh(4, input_n, c, h, w, &nsecs, &hsecs);
  ASSERT_FS(hsecs <= Tensor_H);
  ASSERT_FS(nsecs <= Tensor_N);
  const int slices = nsecs * hsecs;
  auto slice_of = [&](int i) {
    const norm_section_t sn = norm_section_of(input_n, nsecs, i / hsecs), sh = norm_section_of(h, hsecs, i % hsecs);
    const u32 bytes = (u32)sn.len * (u32)cpl * eu_plane((u32)sh.len * (u32)w) * 4;
    return lrn_slice_t{sn.offset, sn.len, sh.offset, sh.len, (u32)(i % 2) * LRN_SLOT_BYTES, bytes};
  };
  lrn_slice_t prev = slice_of(0);
  a.scratch = 3 * prev.bytes;
  lrn_move(a, prev, GDMA_VALUE_DIR_S2L, node);
  cmd_id_node_t move = *node, compute = *node;
  node->divided = 1;
  lrn_squares(a, prev, &compute);
  lrn_copy_squares(a, prev, &compute);
  for (int i = 1; i < slices; i++) {
    const lrn_slice_t cur = slice_of(i);
    const u32 end_local_offset = cur.base + 3 * cur.bytes;
    ASSERT_FS(end_local_offset <= (1<<19));
    lrn_move(a, cur, GDMA_VALUE_DIR_S2L, &move);
    cmd_id_merge(node, &move, &compute);
    node->divided = 1;
    move = compute = *node;
    lrn_squares(a, cur, &compute);
    lrn_shifts(a, prev, &move);
    cmd_id_merge(&compute, &move, &compute);
    lrn_scale(a, prev, &compute);
    compute.divided = 1;
    move = compute;
    lrn_move(a, prev, GDMA_VALUE_DIR_L2S, &move);
    lrn_copy_squares(a, cur, &compute);
    prev = cur;
  }
  cmd_id_merge(node, &move, &compute);
  lrn_shifts(a, prev, node);
  lrn_scale(a, prev, node);
  lrn_move(a, prev, GDMA_VALUE_DIR_L2S, node);
}

// ---- 8-bit ----

void lrn_split_nh_fix8b(lrn_fix8b_plan_t *plan, int n, int c, int h, int w) {
  const int cpl = (c + 63) / 64, G = (n + 3) / 4;
  const i64 P = (i64)cpl * align_up((i64)h * w, EU_NUM) * 128;
  int *hslice = &plan->rows;
  if (P * G <= 0x80000) {
    plan->groups = G;
    *hslice = h;
  } else if (P <= 0x80000) {
    plan->groups = (int)(0x80000 / P);
    *hslice = h;
  } else {
    plan->groups = 1;
    *hslice = (0x20000 / (32 * cpl)) / w;
    // Four items of a group's rows must fit one float buffer: rows whose
    // aligned plane rounds past it are dropped.
    while (*hslice >= 1 && (i64)4 * cpl * align_up((i64)*hslice * w, EU_NUM) * 4 > LRN_FIX8B_FLOAT_BYTES) (*hslice)--;
    ASSERT_FS(*hslice >= 1);
  }
  plan->nsecs = (int)ceil_div(G, plan->groups);
  plan->hsecs = (int)ceil_div(h, *hslice);
  plan->group_bytes = (u32)cpl * eu_plane((u32)*hslice * (u32)w) * 4;
}

namespace {
struct lrn8_t {
  int c, w, sign;
  float alpha1, beta, k, scale_in, scale_out;
  int half;
};
// One slice's shape and buffers.
struct lrn8_slice_t {
  int g0, groups, y0, rows;
  u32 base;
};
u32 lrn8_group_bytes(const lrn8_t &a, int rows) {
  return (u32)ceil_div(a.c, NPU_NUM) * eu_plane((u32)rows * (u32)a.w) * 4;
}
u32 lrn8_left(const lrn8_t &a, const lrn8_slice_t &s) { return s.base + (u32)s.groups * lrn8_group_bytes(a, s.rows); }
u32 lrn8_right(const lrn8_t &a, const lrn8_slice_t &s) {
  return s.base + 2u * (u32)s.groups * lrn8_group_bytes(a, s.rows);
}
u32 lrn8_sums(const lrn8_slice_t &s) { return s.base + 0x10000; }
u32 lrn8_x(const lrn8_slice_t &s) { return s.base + 0x20000; }
u32 lrn8_scratch(const lrn8_slice_t &s) { return s.base + 0x30000; }

// x = (x x scale)^2 in place on the 4J float items.
void lrn8_square(u32 x, int items, const lrn8_t &a, int rows, cmd_id_node_t *node) {
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | x, LOCAL_ADDR_TAG | x, items, a.c, rows, a.w, 0, norm_f32_bits(a.scale_in),
                          node);
  atomic_md_mul_gen_cmd(LOCAL_ADDR_TAG | x, LOCAL_ADDR_TAG | x, LOCAL_ADDR_TAG | x, items, a.c, rows, a.w, 0, node);
}
// A shift buffer (int8 words) to float, scaled, squared and added to the sums.
void lrn8_add_neighbours(const lrn8_t &a, const lrn8_slice_t &s, u32 shifted, cmd_id_node_t *node) {
  const int items = 4 * s.groups;
  tensor_int8_to_float_local_v2(shifted, lrn8_scratch(s), 0, items, a.c, s.rows, a.w, 0, a.sign,
                                STORAGE_MODE_4N_INT8, node);
  lrn8_square(lrn8_scratch(s), items, a, s.rows, node);
  md_scalar(MD_SCALAR_ADD, operand_at(LOCAL_ADDR_TAG | lrn8_sums(s)), operand_at(LOCAL_ADDR_TAG | lrn8_scratch(s)),
            LOCAL_ADDR_TAG | lrn8_sums(s), dim4(items, a.c, s.rows, a.w), node);
}
// The slice's int8 words shifted by `step` lanes into a cleared buffer.
void lrn8_shift(const lrn8_t &a, const lrn8_slice_t &s, u32 dst, int dir, int step, cmd_id_node_t *node) {
  const int cpl = (int)ceil_div(a.c, NPU_NUM), plane = (int)eu_plane((u32)s.rows * (u32)a.w);
  const u32 zero = 0;
  fill_constant_gen_local_cmd_stride(dst, 0, &zero, GDMA_VALUE_FORMAT_FLOAT32, s.groups, a.c, s.rows, a.w,
                                     cpl * plane, plane, a.w, 1, node);
  lrn_shift_gen_cmd(s.base, 0, dst, s.groups, a.c, s.rows, a.w, GDMA_VALUE_FORMAT_FLOAT32, dir, step, 0, node);
}
void lrn8_open(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute) {
  node->divided = 1;
  *move = *compute = *node;
}
void lrn8_close(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute) {
  cmd_id_merge(node, move, compute);
  node->divided = 1;
  *move = *compute = *node;
}
void lrn_cmd(const lrn8_t &a, const lrn8_slice_t &s, cmd_id_node_t *node) {
  if (a.c < 2) return;
  const int m = a.c - 1 < a.half ? a.c - 1 : a.half;
  cmd_id_node_t move, compute;
  for (int i = 0; i <= m; i++) {
    lrn8_open(node, &move, &compute);
    if (i < m) lrn8_shift(a, s, lrn8_left(a, s), GDMA_VALUE_LRN_SHIFT_LEFT, i + 1, &move);
    if (i > 0) lrn8_add_neighbours(a, s, lrn8_right(a, s), &compute);
    lrn8_close(node, &move, &compute);
    if (i < m) {
      lrn8_shift(a, s, lrn8_right(a, s), GDMA_VALUE_LRN_SHIFT_RIGHT, i + 1, &move);
      lrn8_add_neighbours(a, s, lrn8_left(a, s), &compute);
    }
    cmd_id_merge(node, &move, &compute);
  }
}
void bdc_cmd_before_lrn(const lrn8_t &a, const lrn8_slice_t &s, cmd_id_node_t *node) {
  const int items = 4 * s.groups;
  // The int8 slice stays for the shifts: the conversion works on a copy.
  tensor_int8_to_float_local_v2(s.base, lrn8_x(s), lrn8_scratch(s), items, a.c, s.rows, a.w, 1, a.sign,
                                STORAGE_MODE_4N_INT8, node);
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | lrn8_x(s), LOCAL_ADDR_TAG | lrn8_x(s), items, a.c, s.rows, a.w, 0,
                          norm_f32_bits(a.scale_in), node);
  md_scalar(MD_SCALAR_MUL, operand_at(LOCAL_ADDR_TAG | lrn8_x(s)), operand_at(LOCAL_ADDR_TAG | lrn8_x(s)),
            LOCAL_ADDR_TAG | lrn8_sums(s), dim4(items, a.c, s.rows, a.w), node);
}
void bdc_cmd_after_lrn(const lrn8_t &a, const lrn8_slice_t &s, cmd_id_node_t *node) {
  const int items = 4 * s.groups;
  const u32 sums = LOCAL_ADDR_TAG | lrn8_sums(s), x = LOCAL_ADDR_TAG | lrn8_x(s),
            scratch = LOCAL_ADDR_TAG | lrn8_scratch(s);
  atomic_md_linear_gen_cmd(sums, 0, 0, sums, items, a.c, s.rows, a.w, 1, 1, norm_f32_bits(a.k),
                           norm_f32_bits(a.alpha1), 0, 0, node);
  tensor_lnx(sums, scratch, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, items, a.c, s.rows, a.w, node);
  atomic_md_scale_gen_cmd(sums, sums, items, a.c, s.rows, a.w, 0, norm_f32_bits(-a.beta), node);
  tensor_ex(sums, scratch, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, items, a.c, s.rows,
            a.w, node);
  md_scalar(MD_SCALAR_MUL, operand_at(x), operand_at(sums), x, dim4(items, a.c, s.rows, a.w), node);
  atomic_md_scale_gen_cmd(x, x, items, a.c, s.rows, a.w, 0, norm_f32_bits(a.scale_out), node);
  nodechip_float2int8_local(x, x, items, a.c, s.rows, a.w, a.sign, 0, node);
}
}  // namespace

void nodechip_lrn_fix8b_forward_parallel(u64 input_global_addr, u64 output_global_addr, int input_n, int input_c,
                                         int input_h, int input_w, int sign_input, float alpha, int local_size,
                                         float beta, float k, float scale_in, float scale_out, cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && local_size > 0);
  const int c = input_c, h = input_h, w = input_w;
  lrn8_t a;
  a.c = c;
  a.w = w;
  a.sign = sign_input;
  a.alpha1 = alpha / (float)local_size;
  a.half = (local_size - 1) / 2;
  a.beta = beta;
  a.k = k;
  a.scale_in = scale_in;
  a.scale_out = scale_out;
  lrn_fix8b_plan_t plan;
  lrn_split_nh_fix8b(&plan, input_n, c, h, w);
  const int G = (input_n + 3) / 4, slices = plan.nsecs * plan.hsecs;
  const u64 chw = (u64)c * h * w;
  auto slice_of = [&](int t) {
    const int g0 = (t / plan.hsecs) * plan.groups, y0 = (t % plan.hsecs) * plan.rows;
    const int groups = G - g0 < plan.groups ? G - g0 : plan.groups, rows = h - y0 < plan.rows ? h - y0 : plan.rows;
    return lrn8_slice_t{g0, groups, y0, rows, (u32)(t % 2) * LRN_SLOT_BYTES};
  };
  auto move = [&](const lrn8_slice_t &s, u32 local, gdma_direction_t dir, cmd_id_node_t *nd) {
    const u64 at = 4 * ((u64)s.g0 * chw + (u64)s.y0 * w);
    if (dir == GDMA_VALUE_DIR_S2L) {
      general_align_tensor_move_G2L_gen_cmd(input_global_addr + at, local, 0, s.groups, c, s.rows, w, (int)chw, h * w,
                                            nd);
    } else {
      general_align_tensor_move_L2G_gen_cmd(local, 0, output_global_addr + at, s.groups, c, s.rows, w, (int)chw,
                                            h * w, nd);
    }
  };
  cmd_id_node_t mv, compute;
  for (int t = -1; t < slices; t++) {
    if (t >= 0) lrn_cmd(a, slice_of(t), node);
    lrn8_open(node, &mv, &compute);
    if (t + 1 < slices) move(slice_of(t + 1), slice_of(t + 1).base, GDMA_VALUE_DIR_S2L, &mv);
    if (t >= 0) bdc_cmd_after_lrn(a, slice_of(t), &compute);
    lrn8_close(node, &mv, &compute);
    if (t >= 0) move(slice_of(t), lrn8_x(slice_of(t)), GDMA_VALUE_DIR_L2S, &mv);
    if (t + 1 < slices) bdc_cmd_before_lrn(a, slice_of(t + 1), &compute);
    cmd_id_merge(node, &mv, &compute);
  }
}
