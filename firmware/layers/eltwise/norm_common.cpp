// The batch-section count and the power helper of the normalisation layers.
#include "layers/eltwise/norm_common.h"

#include "cmd/bd_md.h"
#include "cmd/tensor_view.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"

int nsecs_computing(int unit, int input_n, int mem_capacity) {
  // In 64 bits: a unit times a batch may pass 2^31.
  const i64 mem_need = (i64)unit * input_n;
  ASSERT(mem_need > mem_capacity);
  const i64 cap = mem_capacity;
  int nsecs = (int)(mem_need / cap);
  while ((i64)unit * ((input_n + nsecs - 1) / nsecs) > cap) {
    ASSERT(nsecs < input_n);
    if ((input_n + nsecs - 1) / nsecs == 2) {
      nsecs = input_n;
    } else {
      nsecs++;
    }
  }
  return nsecs;
}

void tensor_xa(cmd_id_node_t *node, u32 src, u32 dst, u32 scratch, int N, int C, int H, int W, float a) {
  const u32 S = LOCAL_ADDR_TAG | src, D = LOCAL_ADDR_TAG | dst, X = LOCAL_ADDR_TAG | scratch;
  // The copy is src + 0.0: clearing the destination by multiplying it by 0.0
  // first would keep any NaN or infinity it held before.
  if (src != dst) md_scalar(MD_SCALAR_ADD, operand_at(S), operand_bits(0), D, dim4(N, C, H, W), node);
  tensor_lnx(D, X, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, N, C, H, W, node);
  atomic_md_scale_gen_cmd(D, D, N, C, H, W, 0, norm_f32_bits(a), node);
  tensor_ex(D, X, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, N, C, H, W, node);
}
