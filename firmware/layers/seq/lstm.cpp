// The LSTM unit layer.
#include "layers/seq/lstm.h"

#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_slice.h"
#include "local/compare_select.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

#define T LOCAL_ADDR_TAG

static u32 f32_bits(float f) {
  u32 u;
  memcpy(&u, &f, 4);
  return u;
}

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
  atomic_mdscalar_operation_gen_cmd(T | A, T | B, T | R, 1, sections, 1, EU_NUM, o, 0, 0, 0, 0, 0, node);
}
static void op_const(u32 A, float b, u32 R, int sections, md_scalar_op_t o, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(T | A, 0, T | R, 1, sections, 1, EU_NUM, o, 0, 0, 1, 0, f32_bits(b), node);
}
// R = a op B.
static void const_op(float a, u32 B, u32 R, int sections, md_scalar_op_t o, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(0, T | B, T | R, 1, sections, 1, EU_NUM, o, 0, 1, 0, f32_bits(a), 0, node);
}
static void exp_in_place(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node) {
  tensor_ex(T | x, T | work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 1, sections, 1,
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
  md_cmp_gen_cmd(T | L[5], 0, T | L[7], T | L[6], T | cmp_max, T | L[1], 1, B, 1, EU_NUM, 0, 1, 0, 0, 0.0f, 0.0f, 0.0f,
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
