// RPN proposal: at most 200 regions of interest [0, x1, y1, x2, y2] (f32) from
// the objectness and box-delta maps of a region-proposal network, first image
// only.
//
// Nine anchors per feature-map position (ratio 0.5, 1, 2 outer, scale 8, 16,
// 32 inner; base size 16 from the table, other sizes computed) shifted by the
// feature stride are decoded by the deltas, filtered by the minimum size and
// the score threshold, clipped to the image, sorted by score (equal scores in
// compaction order: anchor, row, column), cut to the pre-NMS count, suppressed
// by greedy NMS (pixel-inclusive IoU at or above the threshold suppresses) and
// cut to 200 and the post-NMS count. No survivor: one row of zeros, count 0.
//
// The maps are staged in L2 SRAM by GDMA (8-bit deltas converted to f32 on
// the way, a 4N map first de-interleaved into the scratch area); the ARM
// decodes, filters and suppresses; the CDMA engine sorts and the GDE gathers.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define RPN_ANCHORS 9
#define RPN_MAX_PROPOSALS 200
#define RPN_L2_SCRATCH_START 0x100a2000u

extern "C" {
extern const i32 gen_base_size;
extern const float gen_anchor_ratios[3];
extern const i32 gen_anchor_scales[3];
extern const float gen_anchors[RPN_ANCHORS][4];

// bottom0_dim: objectness channels, H, W; bottom1_dim: delta channels, H, W.
// bottom_prec: 0 f32 deltas, 1 signed bytes, 2 unsigned bytes (times
// delta_scale); input_stmode 0 (1N) or 2 (4N, de-interleaved into scratch).
void nodechip_rpnproposal_forward(u64 scores_addr, u64 deltas_addr, u64 im_info_addr, u64 output_addr,
                                  const i32 *bottom0_dim, const i32 *bottom1_dim, int feat_stride, int base_size,
                                  int min_size, int pre_nms_topN, int post_nms_topN, float nms_thresh,
                                  float score_thresh, int input_stmode, u64 scratch_addr, u64 unused_addr,
                                  int bottom_prec, float delta_scale, int *count, cmd_id_node_t *node);

// The qsort order of the tie re-ordering: -1 when *a < *b, else 1.
int cmp_less(const void *a, const void *b);
}
