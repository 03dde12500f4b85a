// Adaptive pooling, float32 and 8-bit 4N.
#include "layers/pool/adaptive_pooling.h"

#include <math.h>

#include "cmd/bd_pool.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/pool/pooling.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/profile.h"

// The bins are computed from their index when needed: no arrays to keep.
void adaptive_bin_of(int i, int in, int out, int *start, int *size) {
  const int s = (int)floor((double)((float)((i64)i * in) / (float)out));
  const int e = (int)ceil((double)((float)((i64)(i + 1) * in) / (float)out));
  *start = s;
  *size = e - s;
}

int adaptive_bin_max(int in, int out) {
  int best = 0;
  for (int i = 0; i < out; i++) {
    int s, n;
    adaptive_bin_of(i, in, out, &s, &n);
    if (n > best) best = n;
  }
  return best;
}

static i64 bin_bytes(int input_c, int kh_max, int kw_max) {
  return ceil_div(input_c, NPU_NUM) * (4 * align_up((i64)kh_max * kw_max, EU_NUM) + 128);
}

int adaptive_batches_per_chunk(int input_n, int input_c, int kh_max, int kw_max) {
  const i64 B1 = bin_bytes(input_c, kh_max, kw_max);
  int nb = input_n;
  while (nb > 0 && (i64)nb * B1 > (1 << 19)) nb--;
  return nb;
}

// Before the GDMA id can pass 16 bits: wait for both engines, restart the ids.
static void restart_ids_when_high(cmd_id_node_t *node) {
  if (node->gdma_cmd_id <= 32767) return;
  profile_time_data_t *wait = profile_time_begin_wait_node(node);
  poll_all_engine_done_internal(node);
  profile_time_end(wait);
  resync_cmd_id(node);
}

void nodechip_adaptive_pooling_forward(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                       int input_w, int output_h, int output_w, int is_avg_pooling,
                                       cmd_id_node_t *node) {
  ASSERT(input_n >= 0 && input_c >= 0);
  if (input_n == 0 || input_c == 0) return;
  ASSERT(input_h > 0 && input_w > 0 && output_h > 0 && output_w > 0);
  const int kh_max = adaptive_bin_max(input_h, output_h), kw_max = adaptive_bin_max(input_w, output_w);
  const int nb = adaptive_batches_per_chunk(input_n, input_c, kh_max, kw_max);
  if (nb < 1) ASSERT(0);
  const int rows = (int)ceil_div(input_c, NPU_NUM);
  for (int b0 = 0; b0 < input_n; b0 += nb) {
    const int count = input_n - b0 < nb ? input_n - b0 : nb;
    for (int i = 0; i < output_h; i++) {
      int sh, nh;
      adaptive_bin_of(i, input_h, output_h, &sh, &nh);
      for (int j = 0; j < output_w; j++) {
        int sw, nw;
        adaptive_bin_of(j, input_w, output_w, &sw, &nw);
        const int plane = (int)eu_plane((u32)(nh * nw));
        const u32 result = (u32)(rows * count * plane * 4);
        const u64 offset_local_end = (u64)result + (u64)count * rows * 128;
        ASSERT(offset_local_end <= (1<<19));
        restart_ids_when_high(node);
        tensor_stride_move_gen_cmd(0, 0, input_addr + (((u64)b0 * input_c * input_h + sh) * input_w + sw) * 4u, count,
                                   input_c, nh, nw, input_c * input_h * input_w, input_h * input_w, input_w, 1,
                                   rows * plane, plane, nw, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
        if (is_avg_pooling)
          atomic_avg_pooling_gen_cmd(local_tag(0), local_tag(result), count, input_c, nh, nw, 1, 1, nh, nw, 0, 0, 0, 0,
                                     1, 1, 0, 0, pool_f32_bits(1.0f / (float)(nh * nw)), node);
        else
          atomic_max_pooling_gen_cmd(local_tag(0), local_tag(result), count, input_c, nh, nw, 1, 1, nh, nw, 0, 0, 0, 0,
                                     1, 1, 0, 0, node);
        tensor_stride_move_gen_cmd(result, 0, output_addr + ((u64)b0 * input_c * output_h * output_w +
                                                             (u64)i * output_w + j) * 4u,
                                   count, input_c, 1, 1, rows * 32, 32, 1, 1, input_c * output_h * output_w,
                                   output_h * output_w, output_w, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0,
                                   node);
      }
    }
  }
}

void nodechip_adaptive_pooling_fix8b_forward(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                             int input_w, int output_h, int output_w, int is_avg_pooling, int rshift,
                                             int reserved, int opd0_sign, int opd1_sign, int opd2_sign, int reserved2,
                                             int if_relu, cmd_id_node_t *node) {
  ASSERT(input_n >= 0 && input_c >= 0);
  if (input_n == 0 || input_c == 0) return;
  ASSERT(input_h > 0 && input_w > 0 && output_h > 0 && output_w > 0);
  const int kh_max = adaptive_bin_max(input_h, output_h), kw_max = adaptive_bin_max(input_w, output_w);
  if (bin_bytes(input_c, kh_max, kw_max) > (1 << 19)) ASSERT(0);
  const int rows = (int)ceil_div(input_c, NPU_NUM);
  const int groups = (int)ceil_div(input_n, 4);
  // The results' offset starts at 256 KB and only grows with the bins: the
  // largest it reaches must leave room for the results, before any bin runs.
  {
    u64 e_max = 0x40000;
    for (int i = 0; i < output_h; i++)
      for (int j = 0; j < output_w; j++) {
        int s, nh, nw;
        adaptive_bin_of(i, input_h, output_h, &s, &nh);
        adaptive_bin_of(j, input_w, output_w, &s, &nw);
        const u64 need = (u64)rows * 4 * align_up(4 * (i64)nh * nw, EU_NUM);
        if (need > e_max) e_max = need;
      }
    const u64 offset_local_end = e_max + (u64)rows * 128;
    ASSERT(offset_local_end <= (1<<19));
  }
  u32 e = 0x40000;
  for (int g = 0; g < groups; g++) {
    const int count = g < groups - 1 || input_n % 4 == 0 ? 4 : input_n % 4;
    for (int i = 0; i < output_h; i++) {
      int sh, nh;
      adaptive_bin_of(i, input_h, output_h, &sh, &nh);
      for (int j = 0; j < output_w; j++) {
        int sw, nw;
        adaptive_bin_of(j, input_w, output_w, &sw, &nw);
        const u32 need = (u32)(rows * 4 * eu_plane((u32)(4 * nh * nw)));
        if (need > e) e = need;
        const u64 offset_local_end = (u64)e + (u64)rows * 128;
        ASSERT(offset_local_end <= (1<<19));
        restart_ids_when_high(node);
        const int plane = (int)eu_plane((u32)(nh * nw));
        tensor_stride_move_gen_cmd(0, 0, input_addr + ((u64)g * input_c * input_h * input_w + (u64)sh * input_w + sw) * 4u,
                                   1, input_c, nh, nw, input_c * input_h * input_w, input_h * input_w, input_w, 1,
                                   rows * plane, plane, nw, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
        atomic_pooling_fix8b_gen_cmd(local_tag(0), local_tag(0x60000), local_tag(e), local_tag(0x70000), count,
                                     input_c, nh, nw, 1, 1, nh, nw, 0, 0, 0, 0, 1, 1, 0, 0, is_avg_pooling, rshift, 0,
                                     reserved, opd0_sign, opd1_sign, opd2_sign, reserved2, if_relu, node);
        tensor_stride_move_gen_cmd(e, 0, output_addr + ((u64)g * input_c * output_h * output_w +
                                                        (u64)i * output_w + j) * 4u,
                                   1, input_c, 1, 1, rows * 32, 32, 1, 1, input_c * output_h * output_w,
                                   output_h * output_w, output_w, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0,
                                   node);
      }
    }
  }
}
