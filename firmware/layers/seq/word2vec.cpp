// Word2vec skip-gram negative-sampling step.
#include "layers/seq/word2vec.h"

#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "layers/data/select.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/api/record_arrays.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

namespace {

struct w2v_t {
  u64 syn0, syn1;
  int dim;
  float alpha;
  u32 prod, grad, u, v;
};

void row_move(u32 local, u64 table, int row, int dim, gdma_direction_t dir, cmd_id_node_t *node) {
  const u64 at = table + 4ull * (u64)row * (u64)dim;
  if (dir == GDMA_VALUE_DIR_S2L) {
    general_align_tensor_move_G2L_gen_cmd(at, local, 0, 1, 1, 1, dim, dim, dim, node);
  } else {
    general_align_tensor_move_L2G_gen_cmd(local, 0, at, 1, 1, 1, dim, dim, dim, node);
  }
}

// One update of the output row in V against the input row in U: with f = u.v,
// g = alpha (1 - sigmoid(f)) for the target and -alpha sigmoid(f) for a
// negative; the gradient of u gets g v (fresh for the target), v gets g u.
void update(const w2v_t &w, int negative, cmd_id_node_t *node) {
  const int d = w.dim;
  md_scalar(MD_SCALAR_MUL, operand_at(LOCAL_ADDR_TAG | w.u), operand_at(LOCAL_ADDR_TAG | w.v), LOCAL_ADDR_TAG | w.prod,
            dim4(1, 1, 1, d), node);
  atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | w.prod, LOCAL_ADDR_TAG | W2V_DOT_OFFSET, 1, 1, 1, d, 0, node);
  const u32 dot = LOCAL_ADDR_TAG | W2V_DOT_OFFSET;
  const dim4_t one = dim4(1, 1, 1, 1);
  if (negative) md_scalar(MD_SCALAR_MUL, operand_at(dot), operand_f32(-1.0f), dot, one, node);
  tensor_ex(dot, LOCAL_ADDR_TAG | W2V_SCRATCH_OFFSET, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM,
            EX_EXPM1_COEFF, 1, 1, 1, 1, node);
  md_scalar(MD_SCALAR_ADD, operand_at(dot), operand_f32(1.0f), dot, one, node);
  md_scalar(MD_SCALAR_DIV, operand_f32(1.0f), operand_at(dot), dot, one, node);
  md_scalar(MD_SCALAR_MUL, operand_at(dot), operand_f32(negative ? -w.alpha : w.alpha), dot, one, node);
  // gradient (+)= v g; v += u g (g the one channel's value at the dot).
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | w.v, 0, dot, LOCAL_ADDR_TAG | w.grad, 1, 1, 1, d, 1, 0, 0, 0, negative, 0,
                           node);
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | w.u, 0, dot, LOCAL_ADDR_TAG | w.v, 1, 1, 1, d, 1, 0, 0, 0, 1, 0, node);
}

}  // namespace

void nodechip_word2vec_parallel(u64 syn0, u64 syn1, u64 negative_ids, u64 input_ids, u64 target_ids, u64 scratch,
                                float alpha, int negatives, int n, int dim, int vocab, cmd_id_node_t *node) {
  ASSERT_FS(n >= 0 && negatives >= 0 && dim > 0 && vocab > 0);
  const float npu_num_used = (float)((double)vocab * (double)dim * 4.0 / (double)W2V_BLOCK_BYTES);
  ASSERT_FS(npu_num_used <= 8.0);
  const int D = W2V_BLOCK_BYTES / (4 * dim);  // rows per block
  ASSERT_FS(D > 0, "dim=%d", dim);
  const int B = (int)ceil_div((i64)vocab * dim * 4, W2V_BLOCK_BYTES);
  const u32 row = 4u * (u32)ALIGN(dim, EU_NUM);
  w2v_t w = {syn0, syn1, dim, alpha, W2V_ROWS_OFFSET, W2V_ROWS_OFFSET + row, W2V_ROWS_OFFSET + 2 * row,
             W2V_ROWS_OFFSET + 3 * row};
  const u32 local_mem_usage = w.v + row;
  ASSERT_FS(local_mem_usage <= (1<<19));
  if (n == 0) return;

  const u64 nn = (u64)n, neg = (u64)negatives * nn;
  general_gdma_gen_cmd(input_ids, scratch, GDMA_VALUE_FORMAT_FLOAT32, n, GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(target_ids, scratch + 4 * nn, GDMA_VALUE_FORMAT_FLOAT32, n, GDMA_VALUE_DIR_S2S, node);
  if (neg > 0)
    general_gdma_gen_cmd(negative_ids, scratch + 8 * nn, GDMA_VALUE_FORMAT_FLOAT32, (int)neg, GDMA_VALUE_DIR_S2S, node);
  // The ARM reads the ids only once their copies are complete.
  poll_all_engine_done_internal(node);
  const float *ids = (const float *)core_window_ptr(scratch, 4 * (2 * nn + neg), 4);

  // Ids as the ARM truncates them (NaN and values past the int range fold to
  // -1, which no check lets through).
  auto id_of = [](float f) { return (f > -2147483648.0f && f < 2147483648.0f) ? (int)f : -1; };
  // The lane an update would use must exist, and the ids must name rows of
  // their tables (a negative id would pass the lane check and reach before
  // the table).
  i64 current_npu;
#define W2V_CHECK(in, out)                                                                     \
  current_npu = (i64)((in) / D) * B + (out) / D;                                               \
  ASSERT_FS(current_npu <= (1<<(6)) - 1);                                                      \
  ASSERT_FS(in >= 0 && in < vocab && out >= 0 && out < vocab, "ids %d and %d of %d", in, out, vocab)
  for (int i = 0; i < n; i++) {
    const int in = id_of(ids[i]), t = id_of(ids[nn + (u64)i]);
    W2V_CHECK(in, t);
    row_move(w.u, syn0, in, dim, GDMA_VALUE_DIR_S2L, node);
    row_move(w.v, syn1, t, dim, GDMA_VALUE_DIR_S2L, node);
    update(w, 0, node);
    row_move(w.v, syn1, t, dim, GDMA_VALUE_DIR_L2S, node);
    for (int k = 0; k < negatives; k++) {
      const int j = id_of(ids[2 * nn + (u64)i * (u64)negatives + (u64)k]);
      if (j == t) continue;
      W2V_CHECK(in, j);
      row_move(w.v, syn1, j, dim, GDMA_VALUE_DIR_S2L, node);
      update(w, 1, node);
      row_move(w.v, syn1, j, dim, GDMA_VALUE_DIR_L2S, node);
    }
    md_scalar(MD_SCALAR_ADD, operand_at(LOCAL_ADDR_TAG | w.u), operand_at(LOCAL_ADDR_TAG | w.grad),
              LOCAL_ADDR_TAG | w.u, dim4(1, 1, 1, dim), node);
    row_move(w.u, syn0, in, dim, GDMA_VALUE_DIR_L2S, node);
    fix_cmd_node_overflow(node);
  }
#undef W2V_CHECK
}
