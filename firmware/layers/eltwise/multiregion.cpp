// Region activation of up to five detection heads: box channels copied with
// sigmoid ranges, class channels through a softmax read in place.
#include "layers/eltwise/multiregion.h"

#include "layers/data/copy.h"
#include "layers/eltwise/softmax.h"
#include "layers/eltwise/unary.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

void multiregion_ranges_of(multiregion_ranges_t *ranges, const int *Activate_parm, int coords) {
  // Every range must stay within the anchor's box block: a range past it
  // would write into the class channels, the next anchor or past the tensor.
  ASSERT_FS(Activate_parm[0] >= 0 && Activate_parm[1] >= 0 && (i64)Activate_parm[0] + Activate_parm[1] <= (i64)coords + 1,
            "first range %d + %d, coords %d", Activate_parm[0], Activate_parm[1], coords);
  ranges->count = 1;
  ranges->start[0] = Activate_parm[0];
  ranges->length[0] = Activate_parm[1];
  ranges->start[1] = 0;
  ranges->length[1] = 0;
  if (Activate_parm[2] < Activate_parm[0] + Activate_parm[1] || Activate_parm[3] < 1) return;
  // Bounded first, so that the sum below cannot overflow.
  ASSERT_FS(Activate_parm[3] <= coords + 1);
  ASSERT_FS((Activate_parm[2] + Activate_parm[3]) <= (coords + 1));
  ranges->count = 2;
  ranges->start[1] = Activate_parm[2];
  ranges->length[1] = Activate_parm[3];
}

void nodechip_multiregion_forward_stride_parallel(u64 input, u64 output, int n, int c, int h, int w, int classes,
                                                  int g, cmd_id_node_t *node) {
  if (h == 1 && w == 1) ASSERT_FS(0);
  nodechip_softmax_from_global(input, output, n, classes, h, w, 0, c, g, SOFTMAX_PREC_FP32, 1.0f, 0, node);
}

void nodechip_multiregion_forward_parallel(const u64 *input, const u64 *output, const int *Tensor_N,
                                           const int *Tensor_C, const int *Tensor_H, const int *Tensor_W, int heads,
                                           int classes, int coords, int nums, const int *Activate_parm,
                                           cmd_id_node_t *node) {
  ASSERT_FS(heads >= 0 && heads <= MULTIREGION_MAX_HEADS, "heads=%d", heads);
  if (heads == 0) return;
  // No negative block parts: they would move the copies and the softmax off
  // their anchor.
  ASSERT_FS(classes >= 0 && coords >= -1 && nums > 0, "classes=%d coords=%d nums=%d", classes, coords, nums);
  ASSERT_FS((i64)nums * ((i64)classes + coords + 1) <= 0x7fffffff);
  multiregion_ranges_t ranges = {1, {0, 0}, {0, 0}};
  if (coords >= 0) multiregion_ranges_of(&ranges, Activate_parm, coords);
  // Every check passes before anything is issued.
  for (int i = 0; i < heads; i++) {
    ASSERT_FS(Tensor_C[i] == nums * (classes + coords + 1));
    ASSERT_FS(Tensor_N[i] > 0 && Tensor_H[i] > 0 && Tensor_W[i] > 0, "head %d: n=%d h=%d w=%d", i, Tensor_N[i],
              Tensor_H[i], Tensor_W[i]);
    // Element offsets within an item are 32-bit fields of the moves.
    ASSERT_FS((i64)Tensor_C[i] * Tensor_H[i] * Tensor_W[i] <= 0x7fffffff);
    if (classes > 0 && Tensor_H[i] == 1 && Tensor_W[i] == 1) ASSERT_FS(0);
  }
  const int block = classes + coords + 1;
  for (int i = 0; i < heads; i++) {
    const int n = Tensor_N[i], c = Tensor_C[i];
    const i64 S = (i64)Tensor_H[i] * Tensor_W[i], item = (i64)c * S;
    for (int j = 0; j < nums; j++) {
      const int s = j * block;
      if (coords >= 0) {
        const u64 at = 4 * (u64)((i64)s * S);
        nodechip_global_memcpy(input[i] + at, output[i] + at, n, (int)item, (int)item, (int)((coords + 1) * S), node);
        for (int b = 0; b < n; b++) {
          for (int r = 0; r < ranges.count; r++) {
            if (ranges.length[r] == 0) continue;
            const u64 off = 4 * (u64)(b * item + (i64)(s + ranges.start[r]) * S);
            nodechip_sigmoid_forward_parallel(input[i] + off, output[i] + off, ranges.length[r], (int)S, node);
          }
          fix_cmd_node_overflow(node);
        }
      }
      if (classes > 0)
        nodechip_multiregion_forward_stride_parallel(input[i], output[i], n, c, Tensor_H[i], Tensor_W[i], classes,
                                                     s + coords + 1, node);
      fix_cmd_node_overflow(node);
    }
  }
}
