// RPN proposal: anchors, decode, filter, CDMA sort with an index tie order,
// GDE gather into score order, greedy NMS, output rows.
#include "layers/detect/rpn_proposal.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

const i32 gen_base_size = 16;
const float gen_anchor_ratios[3] = {0.5f, 1.0f, 2.0f};
const i32 gen_anchor_scales[3] = {8, 16, 32};
const float gen_anchors[RPN_ANCHORS][4] = {
    {-84, -40, 99, 55},     {-176, -88, 191, 103},  {-360, -184, 375, 199},
    {-56, -56, 71, 71},     {-120, -120, 135, 135}, {-248, -248, 263, 263},
    {-36, -80, 51, 95},     {-80, -168, 95, 183},   {-168, -344, 183, 359},
};

// ---- L2 SRAM scratch: taken in stage order, released in reverse ----

static u32 l2sram_top = RPN_L2_SCRATCH_START;

static u32 rpn_alloc_l2sram(u32 size) {
  const u64 real_size = ((u64)size + 511) & ~(u64)511;
  ASSERT((l2sram_top + real_size <= (0x10000000 + 0x300000)) &&
         (l2sram_top + real_size >= (0x10000000 + (0x22000 + 0x80000))));
  const u32 res = l2sram_top;
  l2sram_top = (u32)(l2sram_top + real_size);
  return res;
}

static void rpn_free_l2sram(u32 l2sram) {
  ASSERT((l2sram >= (0x10000000 + (0x22000 + 0x80000))) && (l2sram < (0x10000000 + 0x300000)));
  l2sram_top = l2sram;
}

int cmp_less(const void *a, const void *b) {
  i32 x, y;
  memcpy(&x, a, 4);
  memcpy(&y, b, 4);
  return x < y ? -1 : 1;
}

static void *ptr_of(u64 addr, u64 bytes) { return hw_ptr((u32)addr, (u32)bytes); }
static float ldf(const u8 *base, i64 k) {
  float v;
  memcpy(&v, base + 4 * k, 4);
  return v;
}
static void stf(u8 *base, i64 k, float v) { memcpy(base + 4 * k, &v, 4); }
static i32 ldi(const u8 *base, i64 k) {
  i32 v;
  memcpy(&v, base + 4 * k, 4);
  return v;
}
static float clampf(float v, float hi) { return v < 0.0f ? 0.0f : v > hi ? hi : v; }

// The nine base anchors for base size b: the table for 16, else computed.
static void base_anchors(int b, float out[RPN_ANCHORS][4]) {
  if (b == gen_base_size) {
    memcpy(out, gen_anchors, sizeof gen_anchors);
    return;
  }
  const float area = (float)b * (float)b;
  for (int r = 0; r < 3; r++)
    for (int s = 0; s < 3; s++) {
      const float ratio = gen_anchor_ratios[r], scale = (float)gen_anchor_scales[s];
      const float ws = roundf(1.0f / (1.0f / sqrtf(area / ratio)));
      const float hs = roundf(ws * ratio);
      const float w = ws * scale, h = hs * scale;
      float *a = out[3 * r + s];
      a[0] = 0.5f * (float)b - 0.5f * w;
      a[1] = 0.5f * (float)b - 0.5f * h;
      a[2] = a[0] + w - 1.0f;
      a[3] = a[1] + h - 1.0f;
    }
}

// Pixel-inclusive IoU of corner boxes at rows p and q of the 5-value rows.
static float rpn_iou(const u8 *rows, i64 p, i64 q) {
  float a[5], b[5];
  memcpy(a, rows + 20 * p, 20);
  memcpy(b, rows + 20 * q, 20);
  float w = (a[3] < b[3] ? a[3] : b[3]) - (a[1] > b[1] ? a[1] : b[1]) + 1.0f;
  float h = (a[4] < b[4] ? a[4] : b[4]) - (a[2] > b[2] ? a[2] : b[2]) + 1.0f;
  w = w > 0.0f ? w : 0.0f;
  h = h > 0.0f ? h : 0.0f;
  const float inter = w * h;
  const float area_a = (a[3] - a[1] + 1.0f) * (a[4] - a[2] + 1.0f), area_b = (b[3] - b[1] + 1.0f) * (b[4] - b[2] + 1.0f);
  return inter / (area_a + area_b - inter);
}

void nodechip_rpnproposal_forward(u64 scores_addr, u64 deltas_addr, u64 im_info_addr, u64 output_addr,
                                  const i32 *bottom0_dim, const i32 *bottom1_dim, int feat_stride, int base_size,
                                  int min_size, int pre_nms_topN, int post_nms_topN, float nms_thresh,
                                  float score_thresh, int input_stmode, u64 scratch_addr, u64 unused_addr,
                                  int bottom_prec, float delta_scale, int *count, cmd_id_node_t *node) {
  (void)unused_addr;
  // A failed call may have left the cursor anywhere: every call starts afresh.
  l2sram_top = RPN_L2_SCRATCH_START;
  ASSERT(2 * bottom0_dim[0] == bottom1_dim[0]);
  ASSERT(bottom0_dim[1] == bottom1_dim[1] && bottom0_dim[2] == bottom1_dim[2]);
  const int cls_c = bottom0_dim[0], anchors_num = RPN_ANCHORS;
  ASSERT(cls_c == 2 * anchors_num);
  ASSERT(bottom_prec <= 2);
  ASSERT(bottom_prec >= 0);
  ASSERT(input_stmode == 0 || input_stmode == 2);
  const i64 H = bottom0_dim[1], W = bottom0_dim[2];
  ASSERT(H > 0 && W > 0 && H * W <= 0x100000);
  const i64 HW = H * W, A = anchors_num, n_all = A * HW;

  // Image information, the foreground scores and the deltas, as f32 in L2.
  const u32 info = rpn_alloc_l2sram(16);
  const u32 score = rpn_alloc_l2sram((u32)(4 * n_all));
  const u32 delta = rpn_alloc_l2sram((u32)(16 * n_all));
  general_gdma_gen_cmd(im_info_addr, info, GDMA_VALUE_FORMAT_FLOAT32, 3, GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(scores_addr + 4u * (u64)(A * HW), score, GDMA_VALUE_FORMAT_FLOAT32, (int)n_all,
                       GDMA_VALUE_DIR_S2S, node);
  if (bottom_prec == 0) {
    general_gdma_gen_cmd(deltas_addr, delta, GDMA_VALUE_FORMAT_FLOAT32, (int)(4 * n_all), GDMA_VALUE_DIR_S2S, node);
  } else {
    const gdma_value_format_t f = bottom_prec == 1 ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
    u64 src = deltas_addr;
    if (input_stmode == 2) {
      // The first item of the 4N map, as 1N bytes in the scratch area.
      gdma_move_global_1N_and_4N(scratch_addr, deltas_addr, 1, (int)(4 * n_all), 0, node);
      src = scratch_addr;
    }
    tensor_general_move_gen_cmd(src, 0, 1, (int)(4 * A), (int)H, (int)W, (int)(4 * n_all), (int)HW, (int)W, 1, f,
                                delta, 0, 1, (int)(4 * A), (int)H, (int)W, (int)(4 * n_all), (int)HW, (int)W, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0, node);
  }
  poll_all_engine_done(node);
  const u8 *inf = (const u8 *)ptr_of(info, 12);
  const float im_h = ldf(inf, 0), im_w = ldf(inf, 1), min_scaled = (float)min_size * ldf(inf, 2);

  // Decode, filter and clip, in compaction order (anchor, row, column): the
  // survivors' scores, their boxes (4 f32, 16-byte items for the gather) and Y.
  const u32 fscore = rpn_alloc_l2sram((u32)(4 * n_all));
  const u32 fbox = rpn_alloc_l2sram((u32)(16 * n_all));
  float anchors[RPN_ANCHORS][4];
  base_anchors(base_size, anchors);
  const u8 *sc = (const u8 *)ptr_of(score, 4u * (u64)n_all);
  u8 *d = (u8 *)ptr_of(delta, 16u * (u64)n_all);
  u8 *fs = (u8 *)ptr_of(fscore, 4u * (u64)n_all);
  u8 *fb = (u8 *)ptr_of(fbox, 16u * (u64)n_all);
  i64 Y = 0;
  for (i64 a = 0; a < A; a++)
    for (i64 y = 0; y < H; y++)
      for (i64 x = 0; x < W; x++) {
        const i64 pos = y * W + x;
        float dl[4];
        for (int k = 0; k < 4; k++) {
          dl[k] = ldf(d, (4 * a + k) * HW + pos);
          if (bottom_prec != 0) dl[k] = dl[k] * delta_scale;
        }
        const float sx = (float)(x * feat_stride), sy = (float)(y * feat_stride);
        const float x1 = anchors[a][0] + sx, y1 = anchors[a][1] + sy, x2 = anchors[a][2] + sx,
                    y2 = anchors[a][3] + sy;
        const float w = x2 - x1 + 1.0f, h = y2 - y1 + 1.0f;
        const float cx = dl[0] * w + (x1 + 0.5f * w), cy = dl[1] * h + (y1 + 0.5f * h);
        const float pw = expf(dl[2]) * w, ph = expf(dl[3]) * h;
        const float s = ldf(sc, a * HW + pos);
        if (min_scaled > pw || min_scaled > ph || score_thresh > s) continue;
        const float bx1 = cx - 0.5f * pw, by1 = cy - 0.5f * ph;
        const float box[4] = {clampf(bx1, im_w), clampf(by1, im_h), clampf(bx1 + pw, im_w), clampf(by1 + ph, im_h)};
        stf(fs, Y, s);
        memcpy(fb + 16 * Y, box, 16);
        Y++;
      }

  i64 out_n = 0;
  if (Y > 0) {
    const u32 sorted = rpn_alloc_l2sram((u32)(4 * Y)), idx = rpn_alloc_l2sram((u32)(4 * Y));
    cdma_sort_move_cmd(fscore, sorted, (u32)Y, SORT_ORDER_DESCEND, 1, 1, 0, idx, (u32)Y);
    const i64 N = pre_nms_topN > 0 && pre_nms_topN < Y ? pre_nms_topN : Y;
    const u8 *keys = (const u8 *)ptr_of(sorted, 4u * (u64)Y);
    u8 *order = (u8 *)ptr_of(idx, 4u * (u64)Y);
    for (i64 i = 0; i < N;) {
      i64 e = i + 1;
      while (e < N && ldf(keys, e) == ldf(keys, i)) e++;
      if (e - i > 1) qsort(order + 4 * i, (size_t)(e - i), 4, cmp_less);
      i = e;
    }
    // Boxes in score order, then rows [0, x1, y1, x2, y2].
    const u32 gathered = rpn_alloc_l2sram((u32)(16 * N)), rows = rpn_alloc_l2sram((u32)(20 * N));
    const u32 kept = rpn_alloc_l2sram((u32)(20 * N)), kept_at = rpn_alloc_l2sram(4 * RPN_MAX_PROPOSALS);
    gde_gather_data_gen_cmd(1, fbox, idx, (u32)N, GDE_TYPE_128BITS, gathered);
    const u8 *g = (const u8 *)ptr_of(gathered, 16u * (u64)N);
    u8 *r = (u8 *)ptr_of(rows, 20u * (u64)N);
    for (i64 i = 0; i < N; i++) {
      stf(r, 5 * i, 0.0f);
      memcpy(r + 20 * i + 4, g + 16 * i, 16);
    }
    // Greedy NMS: a row is kept while the threshold stays above its IoU with
    // every kept row.
    u8 *k = (u8 *)ptr_of(kept, 20u * (u64)N);
    i64 K = 0;
    u8 *kept_rows = (u8 *)ptr_of(kept_at, 4 * RPN_MAX_PROPOSALS);
    for (i64 i = 0; i < N && K < RPN_MAX_PROPOSALS; i++) {
      bool keep = true;
      for (i64 j = 0; j < K && keep; j++) keep = nms_thresh > rpn_iou(r, ldi(kept_rows, j), i);
      if (!keep) continue;
      const i32 row = (i32)i;
      memcpy(kept_rows + 4 * K, &row, 4);
      memcpy(k + 20 * K, r + 20 * i, 20);
      K++;
    }
    out_n = K;
    if (post_nms_topN > 0 && out_n > post_nms_topN) out_n = post_nms_topN;
    if (out_n > 0) {
      general_gdma_gen_cmd(kept, output_addr, GDMA_VALUE_FORMAT_FLOAT32, (int)(5 * out_n), GDMA_VALUE_DIR_S2S, node);
      poll_all_engine_done(node);
    }
    rpn_free_l2sram(kept_at);
    rpn_free_l2sram(kept);
    rpn_free_l2sram(rows);
    rpn_free_l2sram(gathered);
    rpn_free_l2sram(idx);
    rpn_free_l2sram(sorted);
  }
  if (out_n == 0) {
    static const float zeros[5] = {0, 0, 0, 0, 0};
    const u32 z = rpn_alloc_l2sram(20);
    memcpy(ptr_of(z, 20), zeros, 20);
    general_gdma_gen_cmd(z, output_addr, GDMA_VALUE_FORMAT_FLOAT32, 5, GDMA_VALUE_DIR_S2S, node);
    poll_all_engine_done(node);
    rpn_free_l2sram(z);
  }
  rpn_free_l2sram(fbox);
  rpn_free_l2sram(fscore);
  rpn_free_l2sram(delta);
  rpn_free_l2sram(score);
  rpn_free_l2sram(info);
  if (count) *count = (int)out_n;
}
