// Exponential, logarithm, power and normalisation on tagged operands.
#include "local/tagged_math.h"

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/bd_arith.h"
#include "cmd/local_mem.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_md.h"
#include "local/compare_select.h"
#include "local/math.h"

#define F32_ZERO 0x00000000u
#define F32_ONE 0x3F800000u
#define F32_MINUS_ONE 0xBF800000u
#define F32_TWO 0x40000000u
#define F32_MINUS_TWO 0xC0000000u

static u32 tag(u32 local) { return local | LOCAL_ADDR_TAG; }

// R = A op K for the constant K (bits).
static void scalar_const(u32 A, u32 R, md_scalar_op_t op, u32 K, int N, int C, int H, int W,
                         cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(A, 0, R, N, C, H, W, op, 0, 0, 1, 0, K, node);
}
// R = K op A for the constant K (bits).
static void const_scalar(u32 K, u32 A, u32 R, md_scalar_op_t op, int N, int C, int H, int W,
                         cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(0, A, R, N, C, H, W, op, 0, 1, 0, K, 0, node);
}
static void scalar(u32 A, u32 B, u32 R, md_scalar_op_t op, int N, int C, int H, int W,
                   cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(A, B, R, N, C, H, W, op, 0, 0, 0, 0, 0, node);
}

void tensor_ex(u32 x, u32 w, int table_len, u32 int_table, u32 exp_table, int n_coeff,
               u32 coeff_table, int N, int C, int H, int W, cmd_id_node_t *node) {
  // Clamp to [-103, 88]: the upper bound as a lower bound of -x.
  md_cmp_gen_cmd(x, 0, 0, 0, x, 0, N, C, H, W, 0, 1, 1, 1, 0.0f, -103.0f, 0.0f, 0.0f, 1, node);
  scalar_const(x, x, MD_SCALAR_MUL, F32_MINUS_ONE, N, C, H, W, node);
  md_cmp_gen_cmd(x, 0, 0, 0, x, 0, N, C, H, W, 0, 1, 1, 1, 0.0f, -88.0f, 0.0f, 0.0f, 1, node);
  scalar_const(x, x, MD_SCALAR_MUL, F32_MINUS_ONE, N, C, H, W, node);
  // w = k = trunc(x) as a float; x = the fraction f.
  atomic_md_sfu_gen_cmd(x, w, N, C, H, W, 0, SFU_F2I, 0, node);
  atomic_table_lookup_gen_cmd(int_table, w, w, N, C, H, W, table_len, 1, node);
  scalar(x, w, x, MD_SCALAR_SUB, N, C, H, W, node);
  // w = e^k; x = e^k (1 + (e^f - 1)).
  atomic_md_sfu_gen_cmd(w, w, N, C, H, W, 0, SFU_F2I, 0, node);
  atomic_table_lookup_gen_cmd(exp_table, w, w, N, C, H, W, table_len, 1, node);
  atomic_md_sfu_gen_cmd(x, x, N, C, H, W, n_coeff, SFU_TAILOR, coeff_table, node);
  scalar_const(x, x, MD_SCALAR_ADD, F32_ONE, N, C, H, W, node);
  scalar(x, w, x, MD_SCALAR_MUL, N, C, H, W, node);
}

void tensor_lnx(u32 x, u32 w, int table_len, u32 log_table, int n_coeff, u32 coeff_table, int N,
                int C, int H, int W, cmd_id_node_t *node) {
  // x = m 2^e: ln x = ln 2^e + ln(1 + (m - 1)).
  atomic_md_sfu_gen_cmd(x, w, N, C, H, W, 0, SFU_NORMA, 0, node);
  scalar(x, w, x, MD_SCALAR_DIV, N, C, H, W, node);
  atomic_md_sfu_gen_cmd(w, w, N, C, H, W, 0, SFU_NORMB, 0, node);
  atomic_table_lookup_gen_cmd(log_table, w, w, N, C, H, W, table_len, 1, node);
  scalar_const(x, x, MD_SCALAR_SUB, F32_ONE, N, C, H, W, node);
  atomic_md_sfu_gen_cmd(x, x, N, C, H, W, n_coeff, SFU_TAILOR, coeff_table, node);
  scalar(x, w, x, MD_SCALAR_ADD, N, C, H, W, node);
}

void tensor_xn(u32 x, u32 y, int n, int N, int C, int H, int W, cmd_id_node_t *node) {
  if (x == y) {
    ASSERT_FS(n == 1 || n == 2, "in place only x^1 and x^2, n=%d", n);
    if (n == 2) scalar(x, x, x, MD_SCALAR_MUL, N, C, H, W, node);
    return;
  }
  // y starts as a copy of x (x times 1.0 keeps every value, whatever y held).
  scalar_const(x, y, MD_SCALAR_MUL, F32_ONE, N, C, H, W, node);
  if (n >= 2) {
    for (int i = 1; i < n; i++) scalar(y, x, y, MD_SCALAR_MUL, N, C, H, W, node);
  } else if (n == 0) {
    scalar(y, x, y, MD_SCALAR_DIV, N, C, H, W, node);
  } else if (n < 0) {
    for (int i = 1; i < -n; i++) scalar(y, x, y, MD_SCALAR_MUL, N, C, H, W, node);
    const_scalar(F32_ONE, y, y, MD_SCALAR_DIV, N, C, H, W, node);
  }
}

void tensor_sigmoid(u32 x, u32 y, u32 w, int N, int C, int H, int W, cmd_id_node_t *node) {
  const u32 X = tag(x), Y = tag(y), Wk = tag(w);
  atomic_md_scale_gen_cmd(X, Y, N, C, H, W, 0, F32_MINUS_ONE, node);
  tensor_ex(Y, Wk, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, N, C,
            H, W, node);
  scalar_const(Y, Y, MD_SCALAR_ADD, F32_ONE, N, C, H, W, node);
  const_scalar(F32_ONE, Y, Y, MD_SCALAR_DIV, N, C, H, W, node);
}

void tensor_tanh(u32 x, u32 y, u32 w, int N, int C, int H, int W, cmd_id_node_t *node) {
  const u32 X = tag(x), Y = tag(y), Wk = tag(w);
  scalar_const(X, Y, MD_SCALAR_MUL, F32_TWO, N, C, H, W, node);
  tensor_ex(Y, Wk, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, N, C,
            H, W, node);
  scalar_const(Y, Y, MD_SCALAR_ADD, F32_ONE, N, C, H, W, node);
  const_scalar(F32_MINUS_TWO, Y, Y, MD_SCALAR_DIV, N, C, H, W, node);
  scalar_const(Y, Y, MD_SCALAR_ADD, F32_ONE, N, C, H, W, node);
}

void tensor_normalize(u32 x, u32 y, u32 w, int N, int C, int H, int W, int across_spatial,
                      u32 eps_bits, cmd_id_node_t *node) {
  const u32 X = tag(x), Y = tag(y), Wk = tag(w);
  // w = x^2, then in every channel the sum over the channels at its position.
  atomic_md_mul_gen_cmd(X, X, Wk, N, C, H, W, 0, node);
  tensor_sumc_gen_cmd(Wk, Wk, N, C, H, W, node);
  if (!across_spatial) {
    atomic_md_add_const_gen_cmd(Wk, Wk, N, C, H, W, 0, eps_bits, node);
    atomic_md_sfu_gen_cmd(Wk, Wk, N, C, H, W, 0, SFU_RSQ, 0, node);
    atomic_md_mul_gen_cmd(Wk, X, Y, N, C, H, W, 0, node);
    return;
  }
  const int plane = (int)eu_plane((u32)H * (u32)W), rows = (int)lane_rows(0, (u32)C);
  const dim4_t item = {1, C, H, W};
  const dim4_t xs = {0, plane, W, 1};
  // Every channel holds the same sum over the channels, so the first element of
  // each lane holds the item's total: every lane row reads that one (c stride
  // 0), which stays right whatever the sums' row spacing.
  const dim4_t ss = {0, 0, 0, 0};
  for (int i = 0; i < N; i++) {
    const u32 off = (u32)i * (u32)plane * (u32)rows * 4u;
    atomic_md_sum_gen_cmd(Wk + off, Wk + off, 1, C, H, W, 0, node);
    atomic_md_add_const_gen_cmd(Wk + off, Wk + off, 1, NPU_NUM, 1, rows, 0, eps_bits, node);
    atomic_md_sfu_gen_cmd(Wk + off, Wk + off, 1, NPU_NUM, 1, rows, 0, SFU_RSQ, 0, node);
    atomic_tensor_arithmetic_gen_cmd(X + off, Wk + off, Y + off, &item, 0, 0, 0, &xs, &ss, &xs,
                                     TENSOR_OP_MUL, 0, 0, 0, 0, 0, 0, node);
  }
}

void tensor_scale(u32 x, u32 y, u32 scale, int N, int C, int H, int W, int channel_shared,
                  u32 scale_bits, int relu, cmd_id_node_t *node) {
  const u32 X = tag(x), Y = tag(y);
  if (channel_shared)
    atomic_md_scale_gen_cmd(X, Y, N, C, H, W, 0, scale_bits, node);
  else
    atomic_md_linear_gen_cmd(X, 0, tag(scale), Y, N, C, H, W, 1, 0, F32_ZERO, 0, 0, 0, node);
  if (relu)
    md_cmp_gen_cmd(Y, 0, 0, 0, Y, 0, N, C, H, W, 0, 1, 1, 1, 0.0f, 0.0f, 0.0f, 0.0f, 1, node);
}
