// Power, ELU, bias, threshold, log, exp and BNLL over flat runs of floats.
#include "layers/eltwise/eltwise_math.h"

#include <math.h>
#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_slice.h"
#include "cmd/tensor_view.h"
#include "local/compare_select.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"

u32 eltwise_math_buffer_bytes(int L) { return (u32)ceil_div(ceil_div(L, EU_NUM), NPU_NUM) * 128u; }

// The element count of an entry: extents of 2^31 or more (negative here) and
// products beyond what one count holds are refused.
static int count_of(i64 a, i64 b, i64 c, i64 d) {
  ASSERT_FS(a >= 0 && b >= 0 && c >= 0 && d >= 0);
  const i64 count = a * b * c * d;
  ASSERT_FS(count <= 0x7fffffff, "count=%d x %d x %d x %d", (int)a, (int)b, (int)c, (int)d);
  return (int)count;
}

static void load_piece(u32 offset, u64 addr, int L, cmd_id_node_t *node) {
  matrix_move_gen_cmd(offset, 0, addr, EU_NUM, 1, L, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}
static void store_piece(u32 offset, u64 addr, int L, cmd_id_node_t *node) {
  matrix_move_gen_cmd(offset, 0, addr, EU_NUM, 1, L, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

// R = A op constant on a piece of `rows` sections.
static void scalar_op(u32 A, u32 R, int rows, md_scalar_op_t op, float value, int result_add, cmd_id_node_t *node) {
  md_scalar_acc(op, operand_at(A), operand_f32(value), R, dim4(1, rows, 1, EU_NUM), result_add, node);
}
// R = constant - A.
static void negate(u32 A, u32 R, int rows, cmd_id_node_t *node) {
  md_scalar(MD_SCALAR_SUB, operand_bits(0), operand_at(A), R, dim4(1, rows, 1, EU_NUM), node);
}

// Runs `routine` on each of the t pieces of `total` elements (the first
// total mod t one longer), every address advanced by the piece.
template <class F>
static void for_each_piece(int k, int total, F routine) {
  if (total == 0) return;
  const int t = get_slice_num_elemwise_fixw(k, total);
  u64 done = 0;
  for (int i = 0; i < t; i++) {
    const int L = total / t + (i < total % t ? 1 : 0);
    routine(4u * done, L);
    done += (u64)L;
  }
}

// The first ceil(total / t) elements: the one piece log, exp and BNLL reach.
static int first_piece(int k, int total) {
  if (total == 0) return 0;
  const int t = get_slice_num_elemwise_fixw(k, total);
  return (int)ceil_div(total, t);
}

// ---- Power ----

static void nodechip_power_forward_internal(cmd_id_node_t *node, u64 input, u64 output, float power, float scale,
                                            float shift, float power_scale, int L) {
  const u32 B = eltwise_math_buffer_bytes(L);
  const int rows = (int)ceil_div(L, EU_NUM);
  const u32 local_mem_usage = 5 * B;
  ASSERT_FS(local_mem_usage <= (1<<19));
  const u32 X = LOCAL_ADDR_TAG | 0, zeros = LOCAL_ADDR_TAG | B, nans = LOCAL_ADDR_TAG | (2 * B),
            mask = LOCAL_ADDR_TAG | (3 * B), work = LOCAL_ADDR_TAG | (4 * B);
  load_piece(0, input, L, node);
  if (fabsf(power_scale) <= 1e-6f) {
    const float value = power == 0.0f ? 1.0f : (float)pow((double)shift, (double)power);
    md_scalar(MD_SCALAR_ADD, operand_bits(0), operand_f32(value), X, dim4(1, rows, 1, EU_NUM), node);
    store_piece(0, output, L, node);
    return;
  }
  if (fabsf(scale - 1.0f) > 1e-6f) scalar_op(X, X, rows, MD_SCALAR_MUL, scale, 0, node);
  if (fabsf(shift) > 1e-6f) scalar_op(X, X, rows, MD_SCALAR_ADD, shift, 0, node);
  if (fabsf(power - 1.0f) > 1e-6f) {
    const int n = (int)power;
    if (fabsf(power - (float)n) < 1e-6f) {
      if (n == 2) {
        md_scalar(MD_SCALAR_MUL, operand_at(X), operand_at(X), X, dim4(1, rows, 1, EU_NUM), node);
      } else {
        tensor_xn(X, work, n, 1, rows, 1, EU_NUM, node);
        scalar_op(work, X, rows, MD_SCALAR_ADD, 0.0f, 0, node);
      }
    } else {
      // NaN where the base is negative, 0.0 elsewhere, added at the end.
      local_fill_const_gen_cmd(zeros, 1, rows, 1, EU_NUM, 0, node);
      local_fill_const_gen_cmd(nans, 1, rows, 1, EU_NUM, 0xffc00000u, node);
      negate(X, X, rows, node);
      md_cmp_gen_cmd(X, 0, nans, zeros, work, mask, 1, rows, 1, EU_NUM, 0, 1, 0, 0, 0.0f, 0.0f, 0.0f, 0.0f, 2,
                     node);
      negate(X, X, rows, node);
      tensor_lnx(X, work, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, 1, rows, 1, EU_NUM, node);
      scalar_op(X, X, rows, MD_SCALAR_MUL, power, 0, node);
      tensor_ex(X, work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 1, rows, 1, EU_NUM,
                node);
      md_scalar(MD_SCALAR_ADD, operand_at(X), operand_at(mask), X, dim4(1, rows, 1, EU_NUM), node);
    }
  }
  store_piece(0, output, L, node);
}

void nodechip_power_forward(u64 input, u64 output, float power, float scale, float shift, int n, int c, int h,
                            int w, cmd_id_node_t *node) {
  (void)h;
  (void)w;
  const float power_scale = power * scale;
  for_each_piece(POWER_BUFFERS, count_of(n, c, 1, 1), [&](u64 at, int L) {
    nodechip_power_forward_internal(node, input + at, output + at, power, scale, shift, power_scale, L);
  });
}

// ---- ELU ----

static void nodechip_elu_forward_internal(cmd_id_node_t *node, u64 input, u64 output, float alpha, float multiplier,
                                          int L) {
  const u32 B = eltwise_math_buffer_bytes(L);
  const int rows = (int)ceil_div(L, EU_NUM);
  const u32 local_mem_usage = 3 * B;
  ASSERT_FS(local_mem_usage <= (1<<19));
  const u32 X = LOCAL_ADDR_TAG | 0, R = LOCAL_ADDR_TAG | B, work = LOCAL_ADDR_TAG | (2 * B);
  load_piece(0, input, L, node);
  md_cmp_gen_cmd_lite(X, 0, R, 0, 1, rows, 1, EU_NUM, 0, 1, 0.0f, 0.0f, 0.0f, 0.0f, 1, node);
  tensor_ex(X, work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 1, rows, 1, EU_NUM,
            node);
  // 1 - e^x, then its positive part: -min(e^x - 1, 0).
  atomic_md_linear_gen_cmd(X, 0, 0, X, 1, rows, 1, EU_NUM, 1, 1, f32_bits(1.0f), f32_bits(-1.0f), 0, 0, node);
  md_cmp_gen_cmd_lite(X, 0, X, 0, 1, rows, 1, EU_NUM, 0, 1, 0.0f, 0.0f, 0.0f, 0.0f, 1, node);
  scalar_op(X, R, rows, MD_SCALAR_MUL, -alpha, 1, node);
  if (multiplier != 1.0f) scalar_op(R, R, rows, MD_SCALAR_MUL, multiplier, 0, node);
  store_piece(B, output, L, node);
}

void nodechip_elu_forward(u64 input, u64 output, float alpha, float multiplier, int n, int c, int h, int w,
                          cmd_id_node_t *node) {
  for_each_piece(ELU_BUFFERS, count_of(n, c, h, w), [&](u64 at, int L) {
    nodechip_elu_forward_internal(node, input + at, output + at, alpha, multiplier, L);
  });
}

// ---- Bias ----

static void nodechip_bias_forward_internal(cmd_id_node_t *node, u64 input, u64 bias, u64 output, int L) {
  const u32 B = eltwise_math_buffer_bytes(L);
  const int rows = (int)ceil_div(L, EU_NUM);
  const u32 local_mem_usage = 2 * B;
  ASSERT_FS(local_mem_usage <= (1<<19));
  load_piece(0, input, L, node);
  load_piece(B, bias, L, node);
  md_scalar(MD_SCALAR_ADD, operand_at(LOCAL_ADDR_TAG | 0), operand_at(LOCAL_ADDR_TAG | B), LOCAL_ADDR_TAG | 0,
            dim4(1, rows, 1, EU_NUM), node);
  store_piece(0, output, L, node);
}

void nodechip_bias_forward(u64 input, u64 bias, u64 output, int n, int c, int h, int w, cmd_id_node_t *node) {
  (void)h;
  (void)w;
  for_each_piece(BIAS_BUFFERS, count_of(n, c, 1, 1), [&](u64 at, int L) {
    nodechip_bias_forward_internal(node, input + at, bias + at, output + at, L);
  });
}

// ---- Threshold ----

// The comparison's maximum goes to B and its selection to 2B: neither may
// share the piece's buffer.
static void nodechip_threshold_forward_internal(cmd_id_node_t *node, u64 input, u64 output, float threshold,
                                                int L) {
  const u32 B = eltwise_math_buffer_bytes(L);
  const int rows = (int)ceil_div(L, EU_NUM);
  const u32 local_mem_usage = 3 * B;
  ASSERT_FS(local_mem_usage <= (1<<19));
  load_piece(0, input, L, node);
  md_cmp_gen_cmd(LOCAL_ADDR_TAG | 0, 0, 0, 0, LOCAL_ADDR_TAG | B, LOCAL_ADDR_TAG | (2 * B), 1, rows, 1, EU_NUM, 0, 1, 1,
                 1, 0.0f, threshold, 1.0f, 0.0f, 0, node);
  store_piece(2 * B, output, L, node);
}

void nodechip_threshold_forward(u64 input, u64 output, float threshold, int n, int c, int h, int w,
                                cmd_id_node_t *node) {
  (void)h;
  (void)w;
  for_each_piece(THRESHOLD_BUFFERS, count_of(n, c, 1, 1), [&](u64 at, int L) {
    nodechip_threshold_forward_internal(node, input + at, output + at, threshold, L);
  });
}

// ---- Log, exp and BNLL: no computing path ----

static void nodechip_log_forward_internal(cmd_id_node_t *node, u64 input, u64 output, float scale, float shift,
                                          float inv_log_base, int L) {
  (void)output;
  (void)inv_log_base;
  const u32 B = eltwise_math_buffer_bytes(L);
  const int rows = (int)ceil_div(L, EU_NUM);
  const u32 local_mem_usage = 3 * B;
  ASSERT_FS(local_mem_usage <= (1<<19));
  const u32 X = LOCAL_ADDR_TAG | 0, zeros = LOCAL_ADDR_TAG | B, nans = LOCAL_ADDR_TAG | (2 * B);
  load_piece(0, input, L, node);
  if (fabsf(scale - 1.0f) > 1e-6f) scalar_op(X, X, rows, MD_SCALAR_MUL, scale, 0, node);
  if (fabsf(shift) > 1e-6f) scalar_op(X, X, rows, MD_SCALAR_ADD, shift, 0, node);
  negate(X, X, rows, node);
  local_fill_const_gen_cmd(zeros, 1, rows, 1, EU_NUM, 0, node);
  local_fill_const_gen_cmd(nans, 1, rows, 1, EU_NUM, 0xffc00000u, node);
  // The selection names the zero buffer as its D and as both outputs: the
  // compare refuses it.
  md_cmp_gen_cmd(X, 0, nans, zeros, zeros, zeros, 1, rows, 1, EU_NUM, 0, 1, 0, 0, 0.0f, 0.0f, 0.0f, 0.0f, 0, node);
}

void nodechip_log_forward(u64 input, u64 output, float scale, float shift, float base, int n, int c, int h, int w,
                          cmd_id_node_t *node) {
  const float log_base = base <= 0.0f ? 1.0f : (float)log((double)base);
  ASSERT_FS(fabs(log_base) > (1e-6));
  const int L = first_piece(LOG_BUFFERS, count_of(n, c, h, w));
  if (L > 0) nodechip_log_forward_internal(node, input, output, scale, shift, 1.0f / log_base, L);
}

static void nodechip_exp_forward_internal(cmd_id_node_t *node, u64 input, u64 output, float inner_scale,
                                          float outer, int L) {
  (void)output;
  (void)outer;
  const u32 B = eltwise_math_buffer_bytes(L);
  const int rows = (int)ceil_div(L, EU_NUM);
  const u32 local_mem_usage = B;
  ASSERT_FS(local_mem_usage <= (1<<19));
  load_piece(0, input, L, node);
  if (fabsf(inner_scale - 1.0f) >= 1e-6f)
    scalar_op(LOCAL_ADDR_TAG | 0, LOCAL_ADDR_TAG | 0, rows, MD_SCALAR_MUL, inner_scale, 0, node);
  ASSERT_FS(0);
}

void nodechip_exp_forward(u64 input, u64 output, float base, float scale, float shift, int n, int c, int h, int w,
                          cmd_id_node_t *node) {
  (void)h;
  (void)w;
  const int natural = fabsf(base + 1.0f) < 1e-6f;
  const float log_base = natural ? 1.0f : (float)log((double)base);
  const float inner = log_base * scale;
  const float outer = fabsf(shift) < 1e-6f ? 1.0f
                      : natural           ? (float)exp((double)shift)
                                          : (float)pow((double)base, (double)shift);
  const int L = first_piece(EXP_BUFFERS, count_of(n, c, 1, 1));
  if (L > 0) nodechip_exp_forward_internal(node, input, output, inner, outer, L);
}

static void nodechip_bnll_forward_internal(cmd_id_node_t *node, u64 input, u64 output, int L) {
  (void)output;
  const u32 B = eltwise_math_buffer_bytes(L);
  const int rows = (int)ceil_div(L, EU_NUM);
  const u32 local_mem_usage = 3 * B;
  ASSERT_FS(local_mem_usage <= (1<<19));
  load_piece(0, input, L, node);
  negate(LOCAL_ADDR_TAG | 0, LOCAL_ADDR_TAG | B, rows, node);
  ASSERT_FS(0);
}

void nodechip_bnll_forward(u64 input, u64 output, int n, int c, int h, int w, cmd_id_node_t *node) {
  (void)h;
  (void)w;
  const int L = first_piece(BNLL_BUFFERS, count_of(n, c, 1, 1));
  if (L > 0) nodechip_bnll_forward_internal(node, input, output, L);
}
