// Float class tests as byte masks and the scaled sum of powers.
#include "layers/eltwise/misc_math.h"

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_slice.h"
#include "layers/eltwise/norm_common.h"
#include "local/conversion.h"
#include "runtime/assert.h"

#define T LOCAL_ADDR_TAG
// L2 SRAM scratch of the layers: the 64 per-channel sums on their way into
// one lane.
#define SUM_X2N_L2_SCRATCH 0x100a2000ull

static void flat_load(u64 addr, u32 local, const length_split_t &s, cmd_id_node_t *node) {
  general_align_tensor_move_G2L_gen_cmd(addr + 4 * s.offset, local, 0, s.n, s.c, s.h, s.w, s.c * s.h * s.w, s.h * s.w,
                                        node);
}

void nodechip_f32_is(u64 input, u64 output, u64 length, int what, cmd_id_node_t *node) {
  const u32 b = what == 1 ? 0x10000 : 0x20000;
  const u32 in[2] = {0, b}, mask[2] = {2 * b, 3 * b}, scratch = 4 * b;
  split_info_t hint;
  split_info_hint_by_localmem(&hint, (int)b, 4);
  length_split_t split;
  init_length_split(&split, length, &hint);
  cmd_id_node_t move, compute;
  length_split_t prev = split;
  int k = 0;
  for (int more = 1; more;) {
    more = update_length_split(&split);
    cmd_id_divide(node, &move, &compute);
    if (more) flat_load(input, in[k % 2], split, &move);
    if (k > 0) {
      const dim4_t shape = {prev.n, prev.c, prev.h, prev.w};
      tensor_f32_is(in[(k - 1) % 2], mask[(k - 1) % 2], what, &scratch, 1, &shape, NULL, &compute);
    }
    cmd_id_merge(node, &move, &compute);
    if (k > 0) {
      // The low byte of every 32-bit result, as n x c x 1 x (h w) bytes.
      const int W = prev.h * prev.w;
      ASSERT_FS(W <= 65535);
      const int plane = (int)eu_plane((u32)W), cpl = (int)ceil_div(prev.c, NPU_NUM);
      tensor_general_move_gen_cmd(mask[(k - 1) % 2], 0, prev.n, prev.c, 1, W, 4 * cpl * plane, 4 * plane, 4 * W, 4,
                                  GDMA_VALUE_FORMAT_INT8, output + prev.offset, 0, prev.n, prev.c, 1, W, prev.c * W, W,
                                  W, 1, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_L2S, 0, node);
    }
    prev = split;
    k++;
  }
}

void nodechip_sum_x2n(u64 input, u64 output, u64 length, int count, float scale, cmd_id_node_t *node) {
  ASSERT_FS(count >= 0);
  // Pieces of at most 48 rows of 1024 elements a lane fit their 192 KB
  // buffers whatever the length.
  const split_info_t hint = {1, NPU_NUM, SUM_X2N_ROWS, 1024};
  const u32 in[2] = {0, 0x30000}, partial = 0x60000, total = 0x70000;
  length_split_t split;
  init_length_split(&split, length, &hint);
  // The per-channel sums of all pieces, in every lane.
  local_fill_const_gen_cmd(T | partial, 1, NPU_NUM, 1, 1, 0, node);
  cmd_id_node_t move, compute;
  length_split_t prev = split;
  int k = 0;
  for (int more = 1; more;) {
    more = update_length_split(&split);
    if (more) ASSERT_FS((i64)split.n * ceil_div(split.c, NPU_NUM) * eu_plane((u32)split.h * (u32)split.w) * 4 <= 0x30000);
    cmd_id_divide(node, &move, &compute);
    if (more) flat_load(input, in[k % 2], split, &move);
    if (k > 0) {
      const u32 x = T | in[(k - 1) % 2];
      for (int i = 0; i < count; i++)
        atomic_mdscalar_operation_gen_cmd(x, x, x, prev.n, prev.c, prev.h, prev.w, MD_SCALAR_MUL, 0, 0, 0, 0, 0, &compute);
      atomic_md_sum_gen_cmd(x, T | partial, prev.n, prev.c, prev.h, prev.w, 1, &compute);
    }
    cmd_id_merge(node, &move, &compute);
    prev = split;
    k++;
  }
  // The 64 channel sums through L2 SRAM into one lane, summed there.
  general_align_tensor_move_L2G_gen_cmd(partial, 0, SUM_X2N_L2_SCRATCH, 1, NPU_NUM, 1, 1, NPU_NUM, 1, node);
  tensor_compact_move_gen_cmd(total, 0, SUM_X2N_L2_SCRATCH, 1, 1, 1, NPU_NUM, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_S2L, 0, node);
  atomic_md_sum_gen_cmd(T | total, T | partial, 1, 1, 1, NPU_NUM, 0, node);
  if (scale != 1.0f) atomic_md_scale_gen_cmd(T | partial, T | partial, 1, 1, 1, 1, 0, norm_f32_bits(scale), node);
  tensor_compact_move_gen_cmd(partial, 0, output, 1, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}
