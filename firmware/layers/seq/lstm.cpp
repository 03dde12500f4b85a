// The LSTM layer and the LSTM unit layer.
#include "layers/seq/lstm.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_fc.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_slice.h"
#include "cmd/tensor_view.h"
#include "layers/conv/fc.h"
#include "local/compare_select.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/services.h"

#define TAG LOCAL_ADDR_TAG


int lstm_output_dim_extend(int H) { return (H + 7) & ~7; }

static i64 roundup64K(i64 x) { return ceil_div(x, 0x10000) * 0x10000; }

int lstm_data_split_select(int N, int I, int H, int P, int *R) {
  const i64 S = lstm_output_dim_extend(H) / 8, L = ceil_div(S, NPU_NUM);
  const i64 Wx = (i64)I * L * 128, Wh = (i64)H * L * 128, xrow = ceil_div(ceil_div(I, EU_NUM), NPU_NUM) * 128;
  const i64 sp = P ? Wx : 0;
  const i64 free_bytes = (i64)(1 << 19) - (Wx + Wh + sp + L * 128);
  if (free_bytes > 0) {
    const i64 per_row = xrow + 4 * L * 128 + 128 + (P ? xrow + L * 128 : 0);
    const i64 t = free_bytes / per_row;
    if (t > 0) {
      *R = (int)(t < N ? t : N);
      return LSTM_SPLIT_LOCAL_WEIGHT;
    }
  }
  const i64 banks = ceil_div(Wh, 0x10000);
  const i64 t2 = (((8 - banks) / 2) * 0x10000) / (4 * L * 128 + 128 + (P ? L * 128 : 0));
  if (t2 > 0) {
    *R = (int)(t2 < N ? t2 : N);
    return LSTM_SPLIT_ITER_LOCAL_WEIGHT;
  }
  const i64 fit = 0x40000 / (6 * L * 128 + 256 + (P ? L * 128 : 0));
  for (i64 n = fit < N ? fit : N; n > 0; n--) {
    if (roundup64K(n * (2 * L * 128 + (P ? L * 128 : 0))) + 2 * roundup64K(n * (2 * L * 128 + 128)) <= 0x40000) {
      *R = (int)n;
      return LSTM_SPLIT_NO_LOCAL_WEIGHT;
    }
  }
  *R = 0;
  return LSTM_SPLIT_NONE;
}

// R = A op B, or A op constant, over a row of sections.
static void op(u32 A, u32 B, u32 R, int sections, md_scalar_op_t o, cmd_id_node_t *node) {
  md_scalar(o, operand_at(TAG | A), operand_at(TAG | B), TAG | R, dim4(1, sections, 1, EU_NUM), node);
}
static void op_const(u32 A, float b, u32 R, int sections, md_scalar_op_t o, cmd_id_node_t *node) {
  md_scalar(o, operand_at(TAG | A), operand_f32(b), TAG | R, dim4(1, sections, 1, EU_NUM), node);
}
// R = a op B.
static void const_op(float a, u32 B, u32 R, int sections, md_scalar_op_t o, cmd_id_node_t *node) {
  md_scalar(o, operand_f32(a), operand_at(TAG | B), TAG | R, dim4(1, sections, 1, EU_NUM), node);
}
static void exp_in_place(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node) {
  tensor_ex(TAG | x, TAG | work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 1, sections, 1,
            columns, node);
}

void sigmoid_forward_calculate(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node) {
  op_const(x, -1.0f, x, sections, MD_SCALAR_MUL, node);
  exp_in_place(x, work, columns, sections, node);
  op_const(x, 1.0f, x, sections, MD_SCALAR_ADD, node);
  const_op(1.0f, x, x, sections, MD_SCALAR_DIV, node);
}

void tanh_forward_calculate(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node) {
  op_const(x, 2.0f, x, sections, MD_SCALAR_MUL, node);
  exp_in_place(x, work, columns, sections, node);
  op_const(x, 1.0f, x, sections, MD_SCALAR_ADD, node);
  const_op(2.0f, x, x, sections, MD_SCALAR_DIV, node);
  const_op(1.0f, x, x, sections, MD_SCALAR_SUB, node);
}

static void nodechip_lstm_unit_forward_internal(u64 i_g, u64 f_g, u64 o_g, u64 g_g, u64 c_prev, u64 cont, u64 c_out,
                                                u64 h_out, int n, cmd_id_node_t *node) {
  const int B = (int)ceil_div(n, EU_NUM);
  const u32 Cs = (u32)ceil_div(B, NPU_NUM);
  u32 L[LSTM_UNIT_ALL_BUFFERS];
  for (int k = 0; k < LSTM_UNIT_ALL_BUFFERS; k++) L[k] = (u32)k * Cs * 128u;
  const u32 local_mem_usage = (u32)LSTM_UNIT_ALL_BUFFERS * Cs * 128u;
  ASSERT_FS(local_mem_usage <= (1<<19));
  const u32 cmp_max = L[8], work = L[9];
  const u64 in[6] = {i_g, f_g, o_g, g_g, c_prev, cont};
  for (int k = 0; k < 6; k++)
    matrix_move_gen_cmd(L[k], 0, in[k], EU_NUM, 1, n, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  sigmoid_forward_calculate(L[0], work, EU_NUM, B, node);
  op(L[1], L[1], L[6], B, MD_SCALAR_SUB, node);
  sigmoid_forward_calculate(L[1], work, EU_NUM, B, node);
  op(L[1], L[5], L[7], B, MD_SCALAR_MUL, node);
  op(L[5], L[5], L[5], B, MD_SCALAR_MUL, node);
  // The forget gate is 0 where cont is 0, else cont sigmoid(f).
  md_cmp_gen_cmd(TAG | L[5], 0, TAG | L[7], TAG | L[6], TAG | cmp_max, TAG | L[1], 1, B, 1, EU_NUM, 0, 1, 0, 0, 0.0f, 0.0f, 0.0f,
                 0.0f, 0, node);
  sigmoid_forward_calculate(L[2], work, EU_NUM, B, node);
  tanh_forward_calculate(L[3], work, EU_NUM, B, node);
  op(L[1], L[4], L[4], B, MD_SCALAR_MUL, node);
  op(L[0], L[3], L[3], B, MD_SCALAR_MUL, node);
  op(L[4], L[3], L[6], B, MD_SCALAR_ADD, node);
  op_const(L[6], 0.0f, L[3], B, MD_SCALAR_ADD, node);
  tanh_forward_calculate(L[3], work, EU_NUM, B, node);
  op(L[2], L[3], L[7], B, MD_SCALAR_MUL, node);
  matrix_move_gen_cmd(L[6], 0, c_out, EU_NUM, 1, n, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
  matrix_move_gen_cmd(L[7], 0, h_out, EU_NUM, 1, n, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

void nodechip_lstm_unit_forward(u64 input_gate, u64 forget_gate, u64 output_gate, u64 cell_input, u64 prev_cell,
                                u64 cont, u64 cell_out, u64 hidden_out, int N, int C, int unused_h, int unused_w,
                                cmd_id_node_t *node) {
  (void)unused_h;
  (void)unused_w;
  ASSERT_FS(N >= 0 && C >= 0);
  const i64 total64 = (i64)N * C;
  ASSERT_FS(total64 <= 0x7fffffff, "N=%d C=%d", N, C);
  const int total = (int)total64;
  if (total == 0) return;
  const int slices = get_slice_num_elemwise_fixw(LSTM_UNIT_BUFFERS, total);
  u64 done = 0;
  for (int s = 0; s < slices; s++) {
    const int n = total / slices + (s < total % slices ? 1 : 0);
    const u64 at = 4ull * done;
    nodechip_lstm_unit_forward_internal(input_gate + at, forget_gate + at, output_gate + at, cell_input + at,
                                        prev_cell + at, cont + at, cell_out + at, hidden_out + at, n, node);
    done += (u64)n;
    fix_cmd_node_overflow(node);
  }
}

// ---- The sequence layer ----

u32 lstm_block_offset(int k) {
  if (k == 0) return LSTM_BLOCK0_OFFSET;
  if (k == 1) return LSTM_BLOCK1_OFFSET;
  return k % 2 == 0 ? LSTM_BLOCK_EVEN_OFFSET : LSTM_BLOCK_ODD_OFFSET;
}

static void lstm_area(lstm_plan_t *p, const char *name, i64 offset, i64 bytes) {
  const i64 lane = (i64)1 << 19;
  if (p->area_count >= LSTM_AREA_MAX) return;
  p->areas[p->area_count++] = {name, (u32)(offset < lane ? offset : lane), (u32)(bytes < lane ? bytes : lane)};
}

void lstm_plan_of(lstm_plan_t *p, int mode, int I, int H, int P, int R) {
  memset(p, 0, sizeof(*p));
  p->mode = mode;
  P = P != 0;
  p->He = lstm_output_dim_extend(H);
  p->S = p->He / 8;
  p->L = ceil_div(p->S, NPU_NUM);
  const i64 slot = 128, L = p->L;
  p->A = (i64)R * L * slot;
  p->Wx = (i64)I * L * slot;
  p->Wh = (i64)H * L * slot;
  p->Xs = (i64)R * ceil_div(ceil_div(I, EU_NUM), NPU_NUM) * slot;
  p->Kc = 4 * (i64)R;
  const i64 A = p->A, Kc = p->Kc, lane = (i64)1 << 19;
  if (mode == LSTM_SPLIT_LOCAL_WEIGHT) {
    const i64 X0 = p->Xs * (1 + P);
    p->x = 0;
    p->x_static = p->Xs;
    p->w_xc = X0;
    p->bias = X0 + p->Wx;
    p->w_static = p->bias + L * slot;
    i64 G = p->w_static + P * p->Wx;
    // Gates and h start a bank when that leaves room for what follows them.
    if (roundup64K(X0) > G && lane - roundup64K(X0) >= P * A + 4 * A + p->Wh + Kc) G = roundup64K(X0);
    p->gates[0] = G;
    p->static_proj[0] = G + A;
    const i64 Sc = G + A + P * A;
    p->scratch[0] = Sc;
    p->c[0] = Sc + A;
    i64 Hh = Sc + 2 * A;
    if (roundup64K(Sc) > Hh && lane - roundup64K(Sc) >= A + p->Wh + Kc) Hh = roundup64K(Sc);
    p->h[0] = Hh;
    p->w_hc = Hh + A;
    p->cont[0] = Hh + A + p->Wh;
    p->end = p->cont[0] + Kc;
    lstm_area(p, "x", p->x, p->Xs);
    lstm_area(p, "static input", p->x_static, P * p->Xs);
    lstm_area(p, "W_xc", p->w_xc, p->Wx);
    lstm_area(p, "bias", p->bias, L * slot);
    lstm_area(p, "W_static", p->w_static, P * p->Wx);
    lstm_area(p, "gates", p->gates[0], A);
    lstm_area(p, "static projection", p->static_proj[0], P * A);
    lstm_area(p, "scratch", p->scratch[0], A);
    lstm_area(p, "c", p->c[0], A);
    lstm_area(p, "h", p->h[0], A);
    lstm_area(p, "W_hc", p->w_hc, p->Wh);
    lstm_area(p, "cont", p->cont[0], Kc);
  } else if (mode == LSTM_SPLIT_ITER_LOCAL_WEIGHT) {
    static const char *const names[2][6] = {
        {"gates 0", "static projection 0", "scratch 0", "c 0", "h 0", "cont 0"},
        {"gates 1", "static projection 1", "scratch 1", "c 1", "h 1", "cont 1"}};
    p->w_hc = 0;
    lstm_area(p, "W_hc", 0, p->Wh);
    const i64 D0 = roundup64K(p->Wh);
    const i64 D[2] = {D0, roundup64K(D0 + 4 * A + P * A + Kc)};
    for (int k = 0; k < 2; k++) {
      p->gates[k] = D[k];
      p->static_proj[k] = D[k] + A;
      p->scratch[k] = D[k] + A + P * A;
      p->c[k] = D[k] + 2 * A + P * A;
      p->h[k] = D[k] + 3 * A + P * A;
      p->cont[k] = D[k] + 4 * A + P * A;
      lstm_area(p, names[k][0], p->gates[k], A);
      lstm_area(p, names[k][1], p->static_proj[k], P * A);
      lstm_area(p, names[k][2], p->scratch[k], A);
      lstm_area(p, names[k][3], p->c[k], A);
      lstm_area(p, names[k][4], p->h[k], A);
      lstm_area(p, names[k][5], p->cont[k], Kc);
    }
    p->end = p->cont[1] + Kc;
  } else if (mode == LSTM_SPLIT_NO_LOCAL_WEIGHT) {
    lstm_area(p, "W_hc block even", LSTM_BLOCK_EVEN_OFFSET, 0x10000);
    lstm_area(p, "W_hc block odd", LSTM_BLOCK_ODD_OFFSET, 0x10000);
    lstm_area(p, "W_hc block 0", LSTM_BLOCK0_OFFSET, 0x10000);
    lstm_area(p, "W_hc block 1", LSTM_BLOCK1_OFFSET, 0x10000);
    const i64 E[2] = {LSTM_SETS_OFFSET, roundup64K(LSTM_SETS_OFFSET + 2 * A + Kc)};
    static const char *const names[2][3] = {{"gates 0", "h 0", "cont 0"}, {"gates 1", "h 1", "cont 1"}};
    for (int k = 0; k < 2; k++) {
      p->gates[k] = E[k];
      p->h[k] = E[k] + A;
      p->cont[k] = E[k] + 2 * A;
      lstm_area(p, names[k][0], p->gates[k], A);
      lstm_area(p, names[k][1], p->h[k], A);
      lstm_area(p, names[k][2], p->cont[k], Kc);
    }
    const i64 E2 = roundup64K(E[1] + 2 * A + Kc);
    p->c[0] = p->c[1] = E2;
    p->scratch[0] = p->scratch[1] = E2 + A;
    p->static_proj[0] = p->static_proj[1] = E2 + 2 * A;
    lstm_area(p, "c", E2, A);
    lstm_area(p, "scratch", E2 + A, A);
    lstm_area(p, "static projection", E2 + 2 * A, P * A);
    p->end = E2 + 2 * A + P * A;
  }
}

namespace {

// A matrix of rows x S sections of `w` floats a section, one 128-byte slot a
// section (L slots a row): gate rows use w = 32 (or a part of a section from a
// float offset), h and c rows w = 8.
struct lstm_mat_t {
  int rows, S, L;
};

dim4_t lstm_shape(const lstm_mat_t &m, int w) { return {m.rows, m.S, 1, w}; }
dim4_t lstm_stride(const lstm_mat_t &m) { return {32 * m.L, 32, 32, 1}; }

// R = A op B over w floats of every section, A, B and R each `at` floats into
// their sections.
void lstm_op(const lstm_mat_t &m, u32 A, u32 B, u32 R, int w, tensor_op_t o, cmd_id_node_t *node) {
  const dim4_t st = lstm_stride(m);
  tensor_arith(o, local_f32(A, st), local_f32(B, st), local_f32(R, st), lstm_shape(m, w), node);
}
// R = A x cont, cont one float a row, the same in every lane.
void lstm_scale_rows(const lstm_mat_t &m, u32 A, u32 cont, u32 R, int w, cmd_id_node_t *node) {
  const dim4_t st = lstm_stride(m);
  tensor_arith(TENSOR_OP_MUL, local_f32(A, st), local_f32(cont, dim4(1, 0, 0, 0)), local_f32(R, st), lstm_shape(m, w),
               node);
}
// R = A + 0 (a copy) over w floats of every section.
void lstm_copy(const lstm_mat_t &m, u32 A, u32 R, int w, cmd_id_node_t *node) {
  const dim4_t st = lstm_stride(m);
  tensor_arith_const(TENSOR_OP_ADD, local_f32(A, st), f32_bits(0.0f), local_f32(R, st), lstm_shape(m, w), node);
}
void lstm_zero(const lstm_mat_t &m, u32 R, int w, cmd_id_node_t *node) {
  local_fill_const_gen_cmd(TAG | R, m.rows, m.S, 1, w, f32_bits(0.0f), node);
}

// The md forms on the aligned layout of rows x S x 1 x w (sections padded to
// 32 floats, so that rows of L slots are its batch items).
void md_const(u32 A, float b, u32 R, const lstm_mat_t &m, int w, md_scalar_op_t o, cmd_id_node_t *node) {
  md_scalar(o, operand_at(TAG | A), operand_f32(b), TAG | R, dim4(m.rows, m.S, 1, w), node);
}
void md_const_a(float a, u32 B, u32 R, const lstm_mat_t &m, int w, md_scalar_op_t o, cmd_id_node_t *node) {
  md_scalar(o, operand_f32(a), operand_at(TAG | B), TAG | R, dim4(m.rows, m.S, 1, w), node);
}
// x = 1 / (1 + e^-x) in place.
void lstm_sigmoid(u32 x, u32 work, const lstm_mat_t &m, int w, cmd_id_node_t *node) {
  md_const(x, -1.0f, x, m, w, MD_SCALAR_MUL, node);
  tensor_ex(TAG | x, TAG | work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, m.rows, m.S, 1,
            w, node);
  md_const(x, 1.0f, x, m, w, MD_SCALAR_ADD, node);
  md_const_a(1.0f, x, x, m, w, MD_SCALAR_DIV, node);
}
// y = 1 - 2 / (e^2x + 1); y may be x.
void lstm_tanh(u32 x, u32 y, u32 work, const lstm_mat_t &m, int w, cmd_id_node_t *node) {
  md_const(x, 2.0f, y, m, w, MD_SCALAR_MUL, node);
  tensor_ex(TAG | y, TAG | work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, m.rows, m.S, 1,
            w, node);
  md_const(y, 1.0f, y, m, w, MD_SCALAR_ADD, node);
  md_const_a(2.0f, y, y, m, w, MD_SCALAR_DIV, node);
  md_const_a(1.0f, y, y, m, w, MD_SCALAR_SUB, node);
}

// Byte offsets of the gates within a section.
constexpr u32 kGateI = 0, kGateF = 32, kGateO = 64, kGateG = 96;

// The arguments of one call, shared by the three modes.
struct lstm_call_t {
  u64 x, cont, static_input, h0, c0, w_xc, bias, w_static, w_hc, output, cT, hT, x_proj, static_proj;
  int N, T, I, H, P, Q, R;
  const lstm_plan_t *plan;
};

lstm_mat_t lstm_mat(const lstm_call_t &c, int rows) { return {rows, (int)c.plan->S, (int)c.plan->L}; }
int lstm_cols(const lstm_call_t &c) { return (int)(4 * c.plan->He); }

// Rows [row0, row0 + rows) of step t of a T x N x width tensor.
u64 lstm_rows_at(u64 base, int t, int N, int row0, i64 width) {
  return base + 4ull * (u64)(((i64)t * N + row0) * width);
}

// Loads rows x cols of a row-major global matrix into sections of sec floats.
void lstm_load(u32 local, u64 global, int sec, int rows, int cols, cmd_id_node_t *node) {
  matrix_move_gen_cmd(local, 0, global, sec, rows, cols, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}
void lstm_store(u32 local, u64 global, int sec, int rows, int cols, cmd_id_node_t *node) {
  matrix_move_gen_cmd(local, 0, global, sec, rows, cols, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}
// The continuation values of step t for the slice, the same rows floats in
// each of the lanes the sections use.
void lstm_load_cont(const lstm_call_t &c, u32 local, int t, int row0, int rows, cmd_id_node_t *node) {
  const int lanes = c.plan->S < NPU_NUM ? (int)c.plan->S : NPU_NUM;
  // The same row of flags in every lane: channel stride 0.
  const global_view_t cont = global_view(lstm_rows_at(c.cont, t, c.N, row0, 1), dim4(1, lanes, 1, rows),
                                         dim4(0, 0, rows, 1), GDMA_VALUE_FORMAT_FLOAT32);
  move_g2l(cont, local_f32(local, dim4(lanes * rows, rows, rows, 1)), node);
}
// gates (+)= L x W over rows of the slice; L in sections of l_sec floats.
void lstm_fc(const lstm_call_t &c, u32 L, int l_sec, int k, u32 W, u32 gates, int rows, int add, u32 bias,
             cmd_id_node_t *node) {
  atomic_fc_gen_cmd(bias != 0, 0, add, TAG | L, TAG | W, TAG | gates, bias ? TAG | bias : 0, l_sec, (int)ceil_div(k, l_sec),
                    EU_NUM, (int)c.plan->S, rows, k, node);
}

}  // namespace

void lstm_unit_forward_local(u32 gates, u32 c, u32 h, u32 scratch, u32 cont, int rows, int S, cmd_id_node_t *node) {
  const lstm_mat_t m = {rows, S, (int)ceil_div(S, NPU_NUM)};
  lstm_tanh(gates, scratch, h, m, EU_NUM, node);
  lstm_sigmoid(gates, h, m, 24, node);
  lstm_scale_rows(m, gates + kGateF, cont, gates + kGateF, 8, node);
  lstm_op(m, gates + kGateF, c, c, 8, TENSOR_OP_MUL, node);
  lstm_op(m, gates + kGateI, scratch + kGateG, c, 8, TENSOR_OP_MAC, node);
  lstm_tanh(c, h, scratch, m, 8, node);
  lstm_op(m, h, gates + kGateO, h, 8, TENSOR_OP_MUL, node);
}

void lstm_last_data_store(u64 output, u64 cT, u64 hT, u32 h, u32 c, int N, int T, int H, int row0, int rows,
                          int Q, cmd_id_node_t *node) {
  lstm_store(h, lstm_rows_at(output, T - 1, N, row0, H), 8, rows, H, node);
  if (Q) {
    lstm_store(h, lstm_rows_at(hT, 0, N, row0, H), 8, rows, H, node);
    lstm_store(c, lstm_rows_at(cT, 0, N, row0, H), 8, rows, H, node);
  }
}

static void lstm_forward_with_local_weight(const lstm_call_t &c, cmd_id_node_t *node) {
  const lstm_plan_t &p = *c.plan;
  const i64 cont_local_offset = p.cont[0], cont_lmem_size = p.Kc;
  ASSERT_FS(cont_local_offset + cont_lmem_size <= (1<<19));
  const u32 x = (u32)p.x, xs = (u32)p.x_static, w_xc = (u32)p.w_xc, bias = (u32)p.bias, w_s = (u32)p.w_static;
  const u32 gates = (u32)p.gates[0], sproj = (u32)p.static_proj[0], scratch = (u32)p.scratch[0];
  const u32 cc = (u32)p.c[0], h = (u32)p.h[0], w_hc = (u32)p.w_hc, cont = (u32)p.cont[0];
  const int cols = lstm_cols(c);
  lstm_load(w_xc, c.w_xc, EU_NUM, c.I, cols, node);
  lstm_load(bias, c.bias, EU_NUM, 1, cols, node);
  if (c.P) lstm_load(w_s, c.w_static, EU_NUM, c.I, cols, node);
  cmd_id_node_t move, compute;
  for (int row0 = 0; row0 < c.N; row0 += c.R) {
    const int rows = c.N - row0 < c.R ? c.N - row0 : c.R;
    const lstm_mat_t m = lstm_mat(c, rows);
    lstm_load(x, lstm_rows_at(c.x, 0, c.N, row0, c.I), EU_NUM, rows, c.I, node);
    if (c.P) lstm_load(xs, lstm_rows_at(c.static_input, 0, c.N, row0, c.I), EU_NUM, rows, c.I, node);
    if (c.Q) {
      lstm_load(h, lstm_rows_at(c.h0, 0, c.N, row0, c.H), 8, rows, c.H, node);
      lstm_load(cc, lstm_rows_at(c.c0, 0, c.N, row0, c.H), 8, rows, c.H, node);
    }
    for (int t = 0; t < c.T; t++) {
      cmd_id_divide(node, &move, &compute);
      lstm_fc(c, x, EU_NUM, c.I, w_xc, gates, rows, 0, bias, &compute);
      if (t == 0 && c.P) lstm_fc(c, xs, EU_NUM, c.I, w_s, sproj, rows, 0, 0, &compute);
      if (t == 0 && row0 == 0) lstm_load(w_hc, c.w_hc, EU_NUM, c.H, cols, &move);
      lstm_load_cont(c, cont, t, row0, rows, &move);
      if (t > 0) lstm_store(h, lstm_rows_at(c.output, t - 1, c.N, row0, c.H), 8, rows, c.H, &move);
      cmd_id_merge(node, &move, &compute);

      cmd_id_divide(node, &move, &compute);
      if (t > 0 || c.Q) {
        lstm_scale_rows(m, h, cont, h, 8, &compute);
        lstm_fc(c, h, 8, c.H, w_hc, gates, rows, 1, 0, &compute);
      } else {
        lstm_zero(m, cc, 8, &compute);
      }
      if (c.P) lstm_op(m, gates, sproj, gates, EU_NUM, TENSOR_OP_ADD, &compute);
      lstm_unit_forward_local(gates, cc, h, scratch, cont, rows, m.S, &compute);
      if (t + 1 < c.T) lstm_load(x, lstm_rows_at(c.x, t + 1, c.N, row0, c.I), EU_NUM, rows, c.I, &move);
      cmd_id_merge(node, &move, &compute);
      fix_cmd_node_overflow(node);
    }
    lstm_last_data_store(c.output, c.cT, c.hT, h, cc, c.N, c.T, c.H, row0, rows, c.Q, node);
  }
}

// The input projection of every step (and the static one) into device memory.
static void lstm_projections(const lstm_call_t &c, cmd_id_node_t *node) {
  const int cols = lstm_cols(c);
  nodechip_fc_forward_parallel(c.x, c.w_xc, c.bias, c.x_proj, 0, c.N * c.T, c.I, cols, 0, 1, 0, 0, 0.0f, EU_NUM,
                               node);
  if (c.P)
    nodechip_fc_forward_parallel(c.static_input, c.w_static, 0, c.static_proj, 0, c.N, c.I, cols, 0, 0, 0, 0, 0.0f,
                                 EU_NUM, node);
}

// Slice start of modes 2 and 3: h0 and c0 (set 1 stands for step -1) and the
// static projection rows.
static void lstm_slice_start(const lstm_call_t &c, int row0, int rows, u32 h1, u32 c1, u32 sproj0, u32 sproj1,
                             cmd_id_node_t *node) {
  if (c.Q) {
    lstm_load(h1, lstm_rows_at(c.h0, 0, c.N, row0, c.H), 8, rows, c.H, node);
    lstm_load(c1, lstm_rows_at(c.c0, 0, c.N, row0, c.H), 8, rows, c.H, node);
  }
  if (c.P) {
    lstm_load(sproj0, lstm_rows_at(c.static_proj, 0, c.N, row0, lstm_cols(c)), EU_NUM, rows, lstm_cols(c), node);
    if (sproj1 != sproj0) lstm_copy(lstm_mat(c, rows), sproj0, sproj1, EU_NUM, node);
  }
}

// The move stream of modes 2 and 3 at iteration i: the next step's projection
// rows and continuation values into the other set, the previous h out.
static void lstm_next_step_moves(const lstm_call_t &c, int i, int row0, int rows, cmd_id_node_t *move) {
  const lstm_plan_t &p = *c.plan;
  const int nxt = (i + 1) & 1, prv = (i + 1) & 1;
  if (i + 1 < c.T) {
    lstm_load((u32)p.gates[nxt], lstm_rows_at(c.x_proj, i + 1, c.N, row0, lstm_cols(c)), EU_NUM, rows,
              lstm_cols(c), move);
    lstm_load_cont(c, (u32)p.cont[nxt], i + 1, row0, rows, move);
  }
  if (i > 0) lstm_store((u32)p.h[prv], lstm_rows_at(c.output, i - 1, c.N, row0, c.H), 8, rows, c.H, move);
}

static void lstm_forward_with_iter_local_weight(const lstm_call_t &c, cmd_id_node_t *node) {
  const lstm_plan_t &p = *c.plan;
  const i64 cont_local_offset[2] = {p.cont[0], p.cont[1]}, cont_lmem_size = p.Kc;
  ASSERT_FS(cont_local_offset[1] + cont_lmem_size <= (1<<19));
  lstm_projections(c, node);
  lstm_load((u32)p.w_hc, c.w_hc, EU_NUM, c.H, lstm_cols(c), node);
  cmd_id_node_t move, compute;
  for (int row0 = 0; row0 < c.N; row0 += c.R) {
    const int rows = c.N - row0 < c.R ? c.N - row0 : c.R;
    const lstm_mat_t m = lstm_mat(c, rows);
    lstm_slice_start(c, row0, rows, (u32)p.h[1], (u32)p.c[1], (u32)p.static_proj[0], (u32)p.static_proj[1], node);
    for (int i = -1; i < c.T; i++) {
      const int s = i & 1, prev = (i + 1) & 1;
      const int recurrent = i > 0 || (i == 0 && c.Q);
      if (recurrent) {
        lstm_scale_rows(m, (u32)p.h[prev], (u32)p.cont[s], (u32)p.h[s], 8, node);
        lstm_copy(m, (u32)p.c[prev], (u32)p.c[s], 8, node);
      }
      cmd_id_divide(node, &move, &compute);
      lstm_next_step_moves(c, i, row0, rows, &move);
      if (i >= 0) {
        if (recurrent)
          lstm_fc(c, (u32)p.h[s], 8, c.H, (u32)p.w_hc, (u32)p.gates[s], rows, 1, 0, &compute);
        else
          lstm_zero(m, (u32)p.c[0], 8, &compute);
        if (c.P) lstm_op(m, (u32)p.gates[s], (u32)p.static_proj[s], (u32)p.gates[s], EU_NUM, TENSOR_OP_ADD, &compute);
        lstm_unit_forward_local((u32)p.gates[s], (u32)p.c[s], (u32)p.h[s], (u32)p.scratch[s], (u32)p.cont[s], rows,
                                m.S, &compute);
      }
      cmd_id_merge(node, &move, &compute);
      fix_cmd_node_overflow(node);
    }
    const int last = (c.T - 1) & 1;
    lstm_last_data_store(c.output, c.cT, c.hT, (u32)p.h[last], (u32)p.c[last], c.N, c.T, c.H, row0, rows, c.Q, node);
  }
}

// One W_hc block of mode 3: rows r0.. and columns c0.. of the matrix.
struct lstm_block_t {
  int r0, rb, c0, cb;
};

static lstm_block_t lstm_block(const lstm_call_t &c, int k) {
  const int row_blocks = (int)ceil_div(c.H, LSTM_BLOCK_ROWS), cols = lstm_cols(c);
  const int r0 = (k % row_blocks) * LSTM_BLOCK_ROWS, c0 = (k / row_blocks) * LSTM_BLOCK_COLS;
  return {r0, c.H - r0 < LSTM_BLOCK_ROWS ? c.H - r0 : LSTM_BLOCK_ROWS, c0,
          cols - c0 < LSTM_BLOCK_COLS ? cols - c0 : LSTM_BLOCK_COLS};
}

static void lstm_block_load(const lstm_call_t &c, int k, cmd_id_node_t *node) {
  const lstm_block_t b = lstm_block(c, k);
  general_matrix_move_gen_cmd(lstm_block_offset(k), 0, c.w_hc + 4ull * ((u64)b.r0 * (u64)lstm_cols(c) + (u64)b.c0),
                              EU_NUM, b.rb, b.cb, lstm_cols(c), GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, 0,
                              node);
}

// gates += h x block, one command a row: the block's rows are a slot of h
// (512 units) and its columns a slot of the gates (2048 columns).
static void lstm_block_fc(const lstm_call_t &c, int k, u32 h, u32 gates, int rows, cmd_id_node_t *node) {
  const lstm_block_t b = lstm_block(c, k);
  const u32 L = (u32)c.plan->L, blk = lstm_block_offset(k);
  for (int m = 0; m < rows; m++) {
    const u32 hm = h + ((u32)m * L + (u32)(b.r0 / LSTM_BLOCK_ROWS)) * 128u;
    const u32 gm = gates + ((u32)m * L + (u32)(b.c0 / LSTM_BLOCK_COLS)) * 128u;
    atomic_fc_gen_cmd(0, 0, 1, TAG | hm, TAG | blk, TAG | gm, 0, 8, (int)ceil_div(b.rb, 8), EU_NUM,
                      (int)ceil_div(b.cb, EU_NUM), 1, b.rb, node);
  }
}

static void lstm_forward_without_local_weight(const lstm_call_t &c, cmd_id_node_t *node) {
  const lstm_plan_t &p = *c.plan;
  const i64 x4_static_local_offset = p.static_proj[0], x4_static_lmem_size = c.P * p.A;
  ASSERT_FS(x4_static_local_offset + x4_static_lmem_size <= (1<<19));
  lstm_projections(c, node);
  const int blocks = (int)(ceil_div(c.H, LSTM_BLOCK_ROWS) * ceil_div(lstm_cols(c), LSTM_BLOCK_COLS));
  int first_time = 1;
  const u32 cc = (u32)p.c[0], scratch = (u32)p.scratch[0], sproj = (u32)p.static_proj[0];
  cmd_id_node_t move, compute;
  for (int row0 = 0; row0 < c.N; row0 += c.R) {
    const int rows = c.N - row0 < c.R ? c.N - row0 : c.R;
    const lstm_mat_t m = lstm_mat(c, rows);
    lstm_slice_start(c, row0, rows, (u32)p.h[1], cc, sproj, sproj, node);
    for (int i = -1; i < c.T; i++) {
      const int s = i & 1, prev = (i + 1) & 1;
      const int recurrent = i > 0 || (i == 0 && c.Q);
      if (recurrent) {
        lstm_scale_rows(m, (u32)p.h[prev], (u32)p.cont[s], (u32)p.h[s], 8, node);
        for (int k = 0; k <= blocks; k++) {
          cmd_id_divide(node, &move, &compute);
          if (k < blocks && (k >= 2 || first_time)) lstm_block_load(c, k, &move);
          if (k > 0) lstm_block_fc(c, k - 1, (u32)p.h[s], (u32)p.gates[s], rows, &compute);
          cmd_id_merge(node, &move, &compute);
          fix_cmd_node_overflow(node);
        }
        first_time = 0;
      }
      cmd_id_divide(node, &move, &compute);
      lstm_next_step_moves(c, i, row0, rows, &move);
      if (i >= 0) {
        if (i == 0 && !c.Q) lstm_zero(m, cc, 8, &compute);
        if (c.P) lstm_op(m, (u32)p.gates[s], sproj, (u32)p.gates[s], EU_NUM, TENSOR_OP_ADD, &compute);
        lstm_unit_forward_local((u32)p.gates[s], cc, (u32)p.h[s], scratch, (u32)p.cont[s], rows, m.S, &compute);
      }
      cmd_id_merge(node, &move, &compute);
      fix_cmd_node_overflow(node);
    }
    lstm_last_data_store(c.output, c.cT, c.hT, (u32)p.h[(c.T - 1) & 1], cc, c.N, c.T, c.H, row0, rows, c.Q, node);
  }
}

void nodechip_lstm_forward_parallel_with_split(u64 x, u64 cont, u64 static_input, u64 h0, u64 c0, u64 w_xc,
                                               u64 bias, u64 w_static, u64 w_hc, u64 output, u64 cT, u64 hT,
                                               u64 x_proj, u64 static_proj, int N, int T, int I, int H, int P,
                                               int Q, int split_mode, int R, cmd_id_node_t *node) {
  if (split_mode != LSTM_SPLIT_LOCAL_WEIGHT && split_mode != LSTM_SPLIT_ITER_LOCAL_WEIGHT &&
      split_mode != LSTM_SPLIT_NO_LOCAL_WEIGHT) {
    fw_log(0, "Unsupported LSTM parameters\n");
    return;
  }
  ASSERT_FS(N >= 0);
  if (N == 0) return;
  // No step or no row a slice would leave nothing to compute or never end.
  ASSERT_FS(T > 0 && R > 0, "T=%d R=%d", T, R);
  ASSERT_FS(I > 0 && H > 0 && H <= 0x7fffff00, "I=%d H=%d", I, H);
  lstm_plan_t plan;
  lstm_plan_of(&plan, split_mode, I, H, P, R);
  const lstm_call_t call = {x,  cont, static_input, h0, c0,    w_xc,   bias,  w_static, w_hc, output, cT, hT, x_proj,
                            static_proj, N, T, I, H, P != 0, Q != 0, R < N ? R : N, &plan};
  if (split_mode == LSTM_SPLIT_LOCAL_WEIGHT)
    lstm_forward_with_local_weight(call, node);
  else if (split_mode == LSTM_SPLIT_ITER_LOCAL_WEIGHT)
    lstm_forward_with_iter_local_weight(call, node);
  else
    lstm_forward_without_local_weight(call, node);
}

void nodechip_lstm_forward_parallel(u64 x, u64 cont, u64 static_input, u64 h0, u64 c0, u64 w_xc, u64 bias,
                                    u64 w_static, u64 w_hc, u64 output, u64 cT, u64 hT, u64 x_proj,
                                    u64 static_proj, int N, int T, int I, int H, int P, int Q, cmd_id_node_t *node) {
  int R = 0;
  const int mode = lstm_data_split_select(N, I, H, P, &R);
  nodechip_lstm_forward_parallel_with_split(x, cont, static_input, h0, c0, w_xc, bias, w_static, w_hc, output, cT, hT,
                                            x_proj, static_proj, N, T, I, H, P, Q, mode, R, node);
}
