// CTC alpha and beta tables.
#include "layers/seq/ctc.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_view.h"
#include "layers/data/select.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/api/record_arrays.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"

#define T_ LOCAL_ADDR_TAG

namespace {

// n floats from `stride` words apart: shape 1 x 1 x n x 1.
struct vec_t {
  u32 at;
  int stride;
};
vec_t dense(u32 at) { return vec_t{at, 1}; }

// R = A op B over n entries (a constant B when b_const).
void vop(vec_t R, vec_t A, vec_t B, int n, tensor_op_t op, int b_const, float b, cmd_id_node_t *node) {
  const dim4_t shape = {1, 1, n, 1};
  const dim4_t as = {n * A.stride, n * A.stride, A.stride, 1}, bs = {n * B.stride, n * B.stride, B.stride, 1},
               rs = {n * R.stride, n * R.stride, R.stride, 1};
  tensor_arith_issue(tensor_arith_of(op, operand_at(T_ | A.at), as, operand_either(b_const, T_ | B.at, f32_bits(b)), bs,
                                     T_ | R.at, rs, shape),
                     node);
}
void vcopy(vec_t R, vec_t A, int n, cmd_id_node_t *node) { vop(R, A, A, n, TENSOR_OP_ADD, 1, 0.0f, node); }

struct ctc_layout_t {
  u32 noskip, skip;  // masks of s = 2 .. S - 1 from entry 0
  u32 v[CTC_WORK_VECTORS];
};

// out = lse(p, q) = max + ln(1 + exp(min - max)) over n dense entries; out may
// be p or q. Uses work vectors 5, 6 and 7.
void lse(const ctc_layout_t &L, u32 out, u32 p, u32 q, int n, cmd_id_node_t *node) {
  const u32 mx = L.v[5], mn = L.v[6], work = L.v[7];
  vop(dense(mx), dense(p), dense(q), n, TENSOR_OP_MAX, 0, 0, node);
  vop(dense(mn), dense(p), dense(q), n, TENSOR_OP_MIN, 0, 0, node);
  vop(dense(mn), dense(mn), dense(mx), n, TENSOR_OP_SUB, 0, 0, node);
  tensor_ex(T_ | mn, T_ | work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 1, 1, 1, n,
            node);
  vop(dense(mn), dense(mn), dense(mn), n, TENSOR_OP_ADD, 1, 1.0f, node);
  tensor_lnx(T_ | mn, T_ | work, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, 1, 1, 1, n, node);
  vop(dense(out), dense(mx), dense(mn), n, TENSOR_OP_ADD, 0, 0, node);
}

// x[0 .. n) = x * noskip + e * skip, the masks from entry 0. Uses vector 4.
void select_skip(const ctc_layout_t &L, u32 x, u32 e, int n, cmd_id_node_t *node) {
  vop(dense(x), dense(x), dense(L.noskip), n, TENSOR_OP_MUL, 0, 0, node);
  vop(dense(L.v[4]), dense(e), dense(L.skip), n, TENSOR_OP_MUL, 0, 0, node);
  vop(dense(x), dense(x), dense(L.v[4]), n, TENSOR_OP_ADD, 0, 0, node);
}

// Bytes of one local vector of c floats (a plane rounded up to 32).
u32 get_neuron_csize_local(int n, int c) { return 4u * (u32)n * (u32)ALIGN(c, EU_NUM); }

float *lane0_float(u32 offset) { return (float *)hw_ptr(LOCAL_ADDR_TAG + offset, 4); }

}  // namespace

void nodechip_ctcloss_parallel(u64 lprime, u64 y, u64 alpha, u64 beta, u64 scratch, int C, int lprime_s, int T,
                               cmd_id_node_t *node) {
  const int S = lprime_s;
  ASSERT_FS(C > 0 && S > 0 && T > 0);
  // ln y and its work area hold 64 KB each, the tables 128 KB.
  ASSERT_FS((i64)S * T <= CTC_MAX_ENTRIES, "S=%d T=%d", S, T);
  const u32 a = 4u * (u32)ALIGN(S, EU_NUM);
  ctc_layout_t L;
  L.noskip = 0, L.skip = a;
  for (int k = 0; k < CTC_WORK_VECTORS; k++) L.v[k] = (u32)(2 + k) * a;
  const u32 sum_log_temp_local_offset = L.v[CTC_WORK_VECTORS - 1];
  ASSERT_FS(sum_log_temp_local_offset + get_neuron_csize_local(1, lprime_s) < (1<<19) * 1/4);

  // The tables, and y and l' where the ARM reads them.
  const int ST = S * T;
  const dim4_t table = dim4(1, 1, S, T), table_stride = dim4(ST, ST, T, 1);
  move_g2l(global_view(alpha, table, table_stride, GDMA_VALUE_FORMAT_FLOAT32), local_f32(CTC_ALPHA_OFFSET, table_stride),
           node);
  move_g2l(global_view(beta, table, table_stride, GDMA_VALUE_FORMAT_FLOAT32), local_f32(CTC_BETA_OFFSET, table_stride),
           node);
  const u64 CT = (u64)C * (u64)T;
  general_gdma_gen_cmd(y, scratch, GDMA_VALUE_FORMAT_FLOAT32, (int)CT, GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(lprime, scratch + 4 * CT, GDMA_VALUE_FORMAT_FLOAT32, S, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done_internal(node);
  const float *yv = (const float *)core_window_ptr(scratch, 4 * CT, 4);
  const float *lp = (const float *)core_window_ptr(scratch + 4 * CT, 4u * (u64)S, 4);

  // Every label must be a class, or the gather would read outside y.
  for (int s = 0; s < S; s++) {
    const float l = lp[s];
    ASSERT_FS(l >= 0.0f && l < (float)C, "l'[%d] is not a class below %d", s, C);
  }
  // Skip masks: a transition from s - 2 is allowed where l'[s] is not the
  // blank and differs from l'[s - 2].
  for (int s = 2; s < S; s++) {
    const int label = (int)lp[s], before = (int)lp[s - 2];
    const float skip = (label != C - 1 && label != before) ? 1.0f : 0.0f;
    *lane0_float(L.skip + 4u * (u32)(s - 2)) = skip;
    *lane0_float(L.noskip + 4u * (u32)(s - 2)) = 1.0f - skip;
  }
  // y of each (s, t), index computed in float and truncated.
  for (int s = 0; s < S; s++)
    for (int t = 0; t < T; t++) {
      const int index = (int)((float)t + (float)T * lp[s]);
      *lane0_float(CTC_LOGY_OFFSET + 4u * (u32)(s * T + t)) = yv[index];
    }
  tensor_lnx(T_ | CTC_LOGY_OFFSET, T_ | CTC_WORK_OFFSET, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, 1,
             1, 1, ST, node);

  const u32 P = L.v[0], NEW = L.v[1], Q = L.v[2], E = L.v[3];
  // Alpha: column t from column t - 1.
  for (int t = 1; t < T; t++) {
    vcopy(dense(P), vec_t{CTC_ALPHA_OFFSET + 4u * (u32)(t - 1), T}, S, node);
    vcopy(dense(NEW), dense(P), S, node);
    if (S >= 2) {
      // NEW[s] = lse(alpha[s - 1], alpha[s]) for s >= 1.
      vcopy(dense(Q), dense(P + 4), S - 1, node);
      lse(L, Q, P, Q, S - 1, node);
      vcopy(dense(NEW + 4), dense(Q), S - 1, node);
    }
    if (S >= 3) {
      // Where skipping is allowed, also the path from s - 2.
      vcopy(dense(Q), dense(NEW + 8), S - 2, node);
      lse(L, E, P, Q, S - 2, node);
      select_skip(L, Q, E, S - 2, node);
      vcopy(dense(NEW + 8), dense(Q), S - 2, node);
    }
    vop(vec_t{CTC_ALPHA_OFFSET + 4u * (u32)t, T}, dense(NEW), vec_t{CTC_LOGY_OFFSET + 4u * (u32)t, T}, S,
        TENSOR_OP_ADD, 0, 0, node);
    fix_cmd_node_overflow(node);
  }
  // Beta: column t from column t + 1.
  for (int t = T - 2; t >= 0; t--) {
    const u32 B = P, W = NEW;
    vop(dense(W), vec_t{CTC_BETA_OFFSET + 4u * (u32)(t + 1), T}, vec_t{CTC_LOGY_OFFSET + 4u * (u32)(t + 1), T}, S,
        TENSOR_OP_ADD, 0, 0, node);
    vcopy(dense(B), vec_t{CTC_BETA_OFFSET + 4u * (u32)t, T}, S, node);
    lse(L, B, B, W, S, node);
    if (S >= 2) {
      vcopy(dense(Q), dense(W + 4), S - 1, node);
      lse(L, B, B, Q, S - 1, node);
    }
    if (S >= 3) {
      vcopy(dense(Q), dense(W + 8), S - 2, node);
      lse(L, E, B, Q, S - 2, node);
      select_skip(L, B, E, S - 2, node);
    }
    vcopy(vec_t{CTC_BETA_OFFSET + 4u * (u32)t, T}, dense(B), S, node);
    fix_cmd_node_overflow(node);
  }
  move_l2g(local_f32(CTC_ALPHA_OFFSET, table_stride), global_view(alpha, table, table_stride, GDMA_VALUE_FORMAT_FLOAT32),
           node);
  move_l2g(local_f32(CTC_BETA_OFFSET, table_stride), global_view(beta, table, table_stride, GDMA_VALUE_FORMAT_FLOAT32),
           node);
}
