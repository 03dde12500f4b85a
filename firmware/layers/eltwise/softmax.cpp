// Softmax and log-softmax over the channel axis: the entry, the per-row path
// and the whole-rows path.
#include "layers/eltwise/softmax.h"

#include <math.h>
#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/bd_pool.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_view.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"

static const u32 kMinusInf = 0xff800000u;

// Bytes of an EU-aligned float plane of h x w elements in one lane.
static inline i64 get_neuron_csize_local(int h, int w) { return (i64)eu_plane((u32)(h * w)) * 4; }

// ---- Planning ----

softmax_slice_t get_slice_local_1x1(int c, int log_flag) {
  softmax_slice_t s;
  int csec = c < SOFTMAX_MAX_CSEC ? c : SOFTMAX_MAX_CSEC;
  if (log_flag) {
    const int scaled = (2 * (csec / 32) / 3) * 32;
    csec = scaled > 0 ? scaled : (c < 32 ? c : 32);
  }
  const float r = (float)(ALIGN((u32)((csec + 15) / 15), 32u) * 4u) / (float)(ALIGN((u32)csec, 32u) * 4u);
  const float x = r > 0.1f ? r + 1.0f : 1.1f;
  int nsec = (int)trunc(524288.0 / ((double)(ALIGN((u32)csec, 32u) * 4u) * (double)x)) * 64;
  if (nsec >= 4096) {
    nsec = c <= 1920 ? 4032 : 64;
  } else if (c > 1920) {
    nsec = 64;
  } else if (nsec == 0) {
    nsec = 64;
    csec = log_flag ? 21824 : 32768;
  }
  s.csec = csec;
  s.nsec = nsec;
  return s;
}

void softmax_row_layout_of(softmax_row_layout_t *l, int count, int csec, int log_flag) {
  const u32 m = (u32)ceil_div(count, NPU_NUM);
  const u32 tile = m * ALIGN((u32)csec, 32u) * 4u;
  const u32 reduce = m * ALIGN((u32)((csec + 15) / 15), 32u) * 4u;
  l->per_lane = (int)m;
  l->tile = 0;
  l->reduce = tile;
  l->step_max = l->reduce + reduce;
  l->scratch = l->step_max + m * 128u;
  l->copy = l->scratch + tile;
  l->end = l->copy + (log_flag ? tile : 0u);
  l->area_count = 0;
  l->areas[l->area_count++] = {"class tile", l->tile, tile};
  l->areas[l->area_count++] = {"reduction", l->reduce, reduce};
  l->areas[l->area_count++] = {"step maxima", l->step_max, m * 128u};
  l->areas[l->area_count++] = {"exponential scratch", l->scratch, tile};
  if (log_flag) l->areas[l->area_count++] = {"x - max copy", l->copy, tile};
}

void softmax_rows_plan_of(softmax_rows_plan_t *p, int c, int S, u32 local_start) {
  const u32 start = (u32)align_up(local_start, 128);
  const i64 capacity = (i64)SOFTMAX_LOCAL_BYTES - (i64)local_start;
  const i64 rows = 4 * (i64)c + 1;
  int pieces = 1;
  if (rows * (i64)eu_plane((u32)S) * 4 > capacity) {
    pieces = capacity > 0 ? (int)(rows * (i64)eu_plane((u32)S) * 4 / capacity) : 0;
    if (pieces < 1) pieces = 1;
    while (pieces <= S && rows * (i64)eu_plane((u32)ceil_div(S, pieces)) * 4 > capacity) pieces++;
    if (capacity <= 0) pieces = 0;
  }
  p->pieces = pieces;
  p->piece_max = pieces > 0 ? (int)ceil_div(S, pieces) : S;
  const u32 D = eu_plane((u32)p->piece_max) * 4u;
  p->row_bytes = D;
  p->input = start;
  p->max_row = start + (u32)c * D;
  if ((u32)c * D < 0x10000u && p->max_row <= 0x40000u) p->max_row = (u32)align_up(p->max_row, 0x10000);
  p->block = p->max_row + D;
  p->imm_end = p->block + (u32)c * D;
  p->scratch = p->imm_end + D;
  p->area_count = 0;
  p->areas[p->area_count++] = {"input rows", p->input, (u32)c * D};
  p->areas[p->area_count++] = {"maximum and sum row", p->max_row, D};
  p->areas[p->area_count++] = {"x - max block", p->block, (u32)c * D};
  p->areas[p->area_count++] = {"exponential scratch", p->scratch, (u32)c * D};
}

// ---- Shared pieces ----

// GDMA format of an input precision (0 float, 1 signed, 2 unsigned bytes).
static gdma_value_format_t input_format(int bottom_prec) {
  return bottom_prec == SOFTMAX_PREC_FP32   ? GDMA_VALUE_FORMAT_FLOAT32
         : bottom_prec == SOFTMAX_PREC_INT8 ? GDMA_VALUE_FORMAT_INT8
                                            : GDMA_VALUE_FORMAT_UINT8;
}

// Local float strides of an EU-aligned tensor of `shape` at `offset`.
static dim4_t local_stride(const dim4_t *shape, u32 offset) {
  dim4_t s;
  get_f32_tensor_local_stride(&s, shape, 1, offset);
  return s;
}

// One strided move between device memory and an EU-aligned float tensor in
// local memory; the device side is read in `format` (converted to float on
// the way in) and written as float.
static void move_tensor(u32 local, u64 global, const dim4_t *shape, const dim4_t *gstride,
                        gdma_value_format_t format, int to_local, cmd_id_node_t *node) {
  const dim4_t ls = local_stride(shape, local);
  if (to_local) {
    tensor_general_move_gen_cmd(global, 0, shape->n, shape->c, shape->h, shape->w, gstride->n, gstride->c,
                                gstride->h, gstride->w, format, local, 0, shape->n, shape->c, shape->h, shape->w,
                                ls.n, ls.c, ls.h, ls.w, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  } else {
    tensor_general_move_gen_cmd(local, 0, shape->n, shape->c, shape->h, shape->w, ls.n, ls.c, ls.h, ls.w,
                                GDMA_VALUE_FORMAT_FLOAT32, global, 0, shape->n, shape->c, shape->h, shape->w,
                                gstride->n, gstride->c, gstride->h, gstride->w, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_L2S, 0, node);
  }
}

// R = A op B with B broadcast along the dimensions whose flag is set; all
// three EU-aligned in local memory (untagged offsets).
static void bcast_op(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *B_shape, int bn, int bh, int bw,
                     tensor_op_t op, cmd_id_node_t *node) {
  const dim4_t as = local_stride(shape, A), rs = local_stride(shape, R);
  dim4_t bs = local_stride(B_shape, B);
  if (bn) bs.n = 0;
  if (bh) bs.h = 0;
  if (bw) bs.w = 0;
  atomic_tensor_arithmetic_gen_cmd(LOCAL_ADDR_TAG | A, LOCAL_ADDR_TAG | B, LOCAL_ADDR_TAG | R, shape, bn, bh, bw, &as,
                                   &bs, &rs, op, 0, 0, 0, 0, 0, 0, node);
}

static void exp_in_place(u32 x, u32 work, const dim4_t *s, cmd_id_node_t *node) {
  tensor_ex(LOCAL_ADDR_TAG | x, LOCAL_ADDR_TAG | work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM,
            EX_EXPM1_COEFF, s->n, s->c, s->h, s->w, node);
}
static void ln_in_place(u32 x, u32 work, const dim4_t *s, cmd_id_node_t *node) {
  tensor_lnx(LOCAL_ADDR_TAG | x, LOCAL_ADDR_TAG | work, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, s->n,
             s->c, s->h, s->w, node);
}

// The 8-bit loads of the whole-rows path read signed or unsigned bytes only.
static gdma_value_format_t gdma_1N_int2float_G2L(int bottom_prec) {
  ASSERT_FS(bottom_prec == 1 || bottom_prec == 2);
  return input_format(bottom_prec);
}

// ---- Per-row path ----

// The step's K classes of `count` items: item i in lane i mod 64 at row
// i / 64, the classes along the lane. With more than 2047 classes the row is
// reduced as ceil(K / 32) rows of 32, whose tail is first filled with -inf
// (no maximum, and an exponential of 0).
typedef struct {
  u64 input, output;
  int count, c, S, K, bottom_prec;
  float scale;
  u64 at;  // element offset of class 0 of item 0 of the step
} row_step_t;

static dim4_t step_shape(const row_step_t *s) { return {1, s->count, s->K, 1}; }
// (N is 1: its stride is never used.)
static dim4_t step_gstride(const row_step_t *s) { return {s->c * s->S, s->c * s->S, s->S, 1}; }
// The step as the pooling commands see it: one row of K, or rows of 32.
static dim4_t pool_shape(const row_step_t *s) {
  return s->K <= 2047 ? dim4_t{1, s->count, 1, s->K} : dim4_t{1, s->count, (int)ceil_div(s->K, 32), 32};
}

static void load_step(u32 tile, const row_step_t *s, int intermediate, cmd_id_node_t *node) {
  const dim4_t shape = step_shape(s), gs = step_gstride(s);
  if (s->K > 2047 && s->K % 32 != 0) {
    const dim4_t ps = pool_shape(s);
    local_fill_const_gen_cmd(LOCAL_ADDR_TAG | tile, 1, s->count, ps.h, 32, kMinusInf, node);
  }
  if (intermediate) {
    move_tensor(tile, s->output + 4 * s->at, &shape, &gs, GDMA_VALUE_FORMAT_FLOAT32, 1, node);
    return;
  }
  const int bytes = s->bottom_prec == SOFTMAX_PREC_FP32 ? 4 : 1;
  move_tensor(tile, s->input + (u64)bytes * s->at, &shape, &gs, input_format(s->bottom_prec), 1, node);
  if (s->bottom_prec != SOFTMAX_PREC_FP32) {
    const dim4_t row = {1, s->count, 1, s->K};
    tensor_f32_const_prod(tile, f32_bits(s->scale), tile, &row, NULL, node);
  }
}

static void store_step(u32 tile, const row_step_t *s, cmd_id_node_t *node) {
  const dim4_t shape = step_shape(s), gs = step_gstride(s);
  move_tensor(tile, s->output + 4 * s->at, &shape, &gs, GDMA_VALUE_FORMAT_FLOAT32, 0, node);
}

// out = max or sum of the step's classes, one value per item.
static void reduce_step(u32 tile, u32 out, const row_step_t *s, int sum, cmd_id_node_t *node) {
  const dim4_t ps = pool_shape(s);
  if (sum)
    atomic_avg_pooling_gen_cmd(LOCAL_ADDR_TAG | tile, LOCAL_ADDR_TAG | out, 1, s->count, ps.h, ps.w, 1, 1, ps.h, ps.w,
                               0, 0, 0, 0, 1, 1, 0, 0, f32_bits(1.0f), node);
  else
    atomic_max_pooling_gen_cmd(LOCAL_ADDR_TAG | tile, LOCAL_ADDR_TAG | out, 1, s->count, ps.h, ps.w, 1, 1, ps.h, ps.w,
                               0, 0, 0, 0, 1, 1, 0, 0, node);
}

void nodechip_softmax_local_1x1(u64 input, u64 output, int first, int count, int csec, int c, int bottom_prec,
                                float scale, int S, int p, int log_flag, cmd_id_node_t *node) {
  softmax_row_layout_t L;
  softmax_row_layout_of(&L, count, csec, log_flag);
  const u32 end_lo = L.end;
  ASSERT_FS(end_lo <= (1<<19));
  const int steps = (int)ceil_div(c, csec);
  const int c_per_npu = L.per_lane;
  const dim4_t one = {1, count, 1, 1};
  row_step_t s = {input, output, count, c, S, 0, bottom_prec, scale, 0};
  const u64 base = (u64)first * (u64)c * (u64)S + (u64)p;

  // The maximum of every item over all classes, kept in step_max.
  for (int j = 0; j < steps; j++) {
    s.K = c - j * csec < csec ? c - j * csec : csec;
    s.at = base + (u64)j * (u64)csec * (u64)S;
    load_step(L.tile, &s, 0, node);
    reduce_step(L.tile, j == 0 ? L.step_max : L.scratch, &s, 0, node);
    if (j > 0) tensor_f32_max(L.step_max, L.scratch, L.step_max, &one, NULL, node);
  }
  if (steps > 1) {
    ASSERT_FS(c_per_npu == 1);
    const u32 max_buf = L.step_max;
    const int hstep = steps;
    ASSERT_FS(max_buf + hstep * 4 <= (1<<19));
  }

  // x - max, the exponentials and their sum, kept in reduce.
  for (int j = 0; j < steps; j++) {
    s.K = c - j * csec < csec ? c - j * csec : csec;
    s.at = base + (u64)j * (u64)csec * (u64)S;
    if (steps > 1) load_step(L.tile, &s, 0, node);
    const dim4_t ps = pool_shape(&s), row = {1, count, 1, s.K};
    bcast_op(L.tile, L.step_max, L.tile, &ps, &one, 0, 1, 1, TENSOR_OP_SUB, node);
    if (log_flag) tensor_copy(L.tile, L.copy, &row, NULL, node);
    exp_in_place(L.tile, L.scratch, &ps, node);
    if (steps > 1) store_step(log_flag ? L.copy : L.tile, &s, node);
    reduce_step(L.tile, j == 0 ? L.reduce : L.scratch, &s, 1, node);
    if (j > 0) tensor_f32_add(L.reduce, L.scratch, L.reduce, &one, NULL, node);
  }
  if (steps > 1) {
    ASSERT_FS(c_per_npu == 1);
    const u32 max_lo = L.reduce;
    const int h_total = steps;
    ASSERT_FS(max_lo + h_total * 4 <= (1<<19));
  }

  // ln(sum) or 1 / sum, then the results.
  if (log_flag)
    ln_in_place(L.reduce, L.scratch, &one, node);
  else
    tensor_f32_const_aligned_div_inversed(L.reduce, f32_bits(1.0f), L.reduce, &one, NULL, node);
  const u32 values = log_flag ? L.copy : L.tile;
  for (int j = 0; j < steps; j++) {
    s.K = c - j * csec < csec ? c - j * csec : csec;
    s.at = base + (u64)j * (u64)csec * (u64)S;
    if (steps > 1) load_step(values, &s, 1, node);
    const dim4_t row = {1, count, 1, s.K};
    bcast_op(values, L.reduce, values, &row, &one, 0, 1, 1, log_flag ? TENSOR_OP_SUB : TENSOR_OP_MUL, node);
    store_step(values, &s, node);
  }
}

// ---- Whole-rows path ----

void nodechip_softmax_from_global(u64 input, u64 output, int n, int c, int h, int w, u32 local_start, int f, int g,
                                  int bottom_prec, float scale, int log_flag, cmd_id_node_t *node) {
  const i64 local_capacity = (i64)SOFTMAX_LOCAL_BYTES - (i64)local_start;
  if (local_capacity < (i64)c * 512 + 128) ASSERT_FS((4 * c + 1) * get_neuron_csize_local(1, w) <= local_capacity);
  const int S = h * w;
  softmax_rows_plan_t P;
  softmax_rows_plan_of(&P, c, S, local_start);
  const int hsecs = P.pieces;
  ASSERT_FS(hsecs > 0 && hsecs <= h);
  const gdma_value_format_t format =
      bottom_prec == SOFTMAX_PREC_FP32 ? GDMA_VALUE_FORMAT_FLOAT32 : gdma_1N_int2float_G2L(bottom_prec);
  const int bytes = bottom_prec == SOFTMAX_PREC_FP32 ? 4 : 1;
  for (int b0 = 0; b0 < n; b0 += NPU_NUM) {
    const int items = n - b0 < NPU_NUM ? n - b0 : NPU_NUM;
    int p0 = 0;
    for (int j = 0; j < hsecs; j++) {
      const int Cp = S / hsecs + (j < S % hsecs ? 1 : 0);
      // Classes as the batch index, items across the lanes.
      const dim4_t shape = {c, items, 1, Cp}, row = {1, items, 1, Cp};
      const dim4_t gs = {S, f * S, Cp, 1};
      const u64 at = ((u64)g + (u64)f * (u64)b0) * (u64)S + (u64)p0;
      move_tensor(P.input, input + (u64)bytes * at, &shape, &gs, format, 1, node);
      if (bottom_prec != SOFTMAX_PREC_FP32) tensor_f32_const_prod(P.input, f32_bits(scale), P.input, &shape, NULL, node);
      const u32 imm_lo = P.imm_end;
      ASSERT_FS(imm_lo <= (1<<19));
      const u32 D = P.row_bytes;
      if (c == 1)
        tensor_copy(P.input, P.max_row, &row, NULL, node);
      else
        tensor_f32_max(P.input, P.input + D, P.max_row, &row, NULL, node);
      for (int k = 2; k < c; k++) tensor_f32_max(P.max_row, P.input + (u32)k * D, P.max_row, &row, NULL, node);
      bcast_op(P.input, P.max_row, P.block, &shape, &row, 1, 0, 0, TENSOR_OP_SUB, node);
      if (log_flag) tensor_copy(P.block, P.input, &shape, NULL, node);
      exp_in_place(P.block, P.scratch, &shape, node);
      if (c == 1)
        tensor_copy(P.block, P.max_row, &row, NULL, node);
      else
        tensor_f32_add(P.block, P.block + D, P.max_row, &row, NULL, node);
      for (int k = 2; k < c; k++) tensor_f32_add(P.max_row, P.block + (u32)k * D, P.max_row, &row, NULL, node);
      if (log_flag) {
        ln_in_place(P.max_row, P.scratch, &row, node);
        bcast_op(P.input, P.max_row, P.input, &shape, &row, 1, 0, 0, TENSOR_OP_SUB, node);
      } else {
        tensor_f32_const_aligned_div_inversed(P.max_row, f32_bits(1.0f), P.max_row, &row, NULL, node);
        bcast_op(P.block, P.max_row, P.input, &shape, &row, 1, 0, 0, TENSOR_OP_MUL, node);
      }
      move_tensor(P.input, output + 4 * at, &shape, &gs, GDMA_VALUE_FORMAT_FLOAT32, 0, node);
      p0 += Cp;
    }
  }
}

// ---- Entry ----

void nodechip_softmax_forward_parallel(u64 input, u64 output, int n, int c, int h, int w, int n2, int c2, int h2,
                                       int w2, int store_mode, int unused, u64 buffer, int bottom_prec, float scale,
                                       u32 log_flag, cmd_id_node_t *node) {
  (void)unused;
  ASSERT_FS(bottom_prec <= 2);
  // A negative code would pass the check above and read as unsigned bytes.
  ASSERT_FS(bottom_prec >= 0);
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0, "n=%d c=%d h=%d w=%d", n, c, h, w);
  // Element offsets within one item, and the strides between items, are
  // 32-bit fields of the moves.
  ASSERT_FS((i64)c * h * w <= 0x7fffffff, "c=%d h=%d w=%d", c, h, w);
  const int lg = (log_flag & 0xff) != 0;
  if (store_mode == 2) {
    ASSERT_FS(n2 > 0 && c2 > 0 && h2 > 0 && w2 > 0);
    const gdma_value_format_t fmt = bottom_prec == SOFTMAX_PREC_INT8 ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
    const int hw = h2 * w2;
    const u64 group = 4ull * (u64)c2 * (u64)hw;
    // Four items interleaved byte by byte apart into four planes.
    const dim4_t four = dim4(4, c2, 1, hw), interleaved = dim4(1, 4 * hw, 4 * hw, 4);
    for (int g = 0; g < (int)ceil_div(n2, 4); g++)
      move_g2g(global_view(input + (u64)g * group, four, interleaved, fmt),
               global_view(buffer + (u64)g * group, four, dense_stride(four), fmt), node);
    input = buffer;
  }
  if (c == 1) {
    const float value = lg ? 0.0f : 1.0f;
    fill_constant_gen_global_cmd_stride(output, &value, GDMA_VALUE_FORMAT_FLOAT32, n, 1, h, w, h * w, h * w, w, 1,
                                        node);
    return;
  }
  if (h == 1 && w == 1) {
    const softmax_slice_t sl = get_slice_local_1x1(c, lg);
    for (int first = 0; first < n;) {
      int count = sl.nsec < n - first ? sl.nsec : n - first;
      if (count > NPU_NUM) count = NPU_NUM;
      nodechip_softmax_local_1x1(input, output, first, count, sl.csec, c, bottom_prec, scale, 1, 0, lg, node);
      first += count;
    }
    return;
  }
  if ((i64)c * 512 + 128 <= (i64)SOFTMAX_LOCAL_BYTES) {
    nodechip_softmax_from_global(input, output, n, c, h * w, 1, 0, c, 0, bottom_prec, scale, lg, node);
    return;
  }
  const softmax_slice_t sl = get_slice_local_1x1(c, lg);
  for (int p = 0; p < h * w; p++)
    for (int first = 0; first < n;) {
      const int count = sl.nsec < n - first ? sl.nsec : n - first;
      nodechip_softmax_local_1x1(input, output, first, count, sl.csec, c, bottom_prec, scale, h * w, p, lg, node);
      first += count;
    }
}
