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
// Per-box arithmetic runs on the tensor engine with anchor a in lane a and
// one H x W map per lane: the anchors are written into lanes 0 to 8 (or
// computed there for a base size other than 16), broadcast over the map and
// shifted, decoded against the deltas (8-bit deltas converted by GDMA, a 4N
// map first de-interleaved into the scratch area), masked by size and score,
// turned into clipped corners and compacted by masked GDMA moves. The CDMA
// engine sorts, the ARM orders equal scores, the GDE gathers the rois in
// score order, and the NMS runs on the engine (IoU matrices by vector
// correlation, one wait per roi for its keep flag).
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "layers/detect/nms_blocks.h"
#include "runtime/types.h"

#define RPN_ANCHORS 9
#define RPN_MAX_PROPOSALS 200
#define RPN_L2_SCRATCH_START 0x100a2000u

// Local areas of the box stages, plane = H x W rounded up to 32 floats per
// lane (lanes 0 to 8 hold the anchors).
enum {
  RPN_AREA_BOX,     // x1, y1, x2, y2; then centre x, y, width, height; then corners
  RPN_AREA_ANCHOR,  // the lane's anchor, coordinate k at 128 k
  RPN_AREA_DELTA,   // dx, dy, dw, dh (first the base-anchor arithmetic)
  RPN_AREA_SCORE,   // the foreground scores
  RPN_AREA_SHIFT,   // x x stride, y x stride of every position
  RPN_AREA_WORK,    // two planes
  RPN_AREA_TMP,     // two planes
  RPN_AREA_MASK,    // 1.0 for a box that passes size and score
  RPN_AREA_COUNT
};

typedef struct {
  int H, W;
  u32 plane_bytes;
  u64 local_mem_usage;
  local_area_t areas[RPN_AREA_COUNT];
} rpn_box_plan_t;

// Local areas of the NMS of n sorted rois: vectors in lane 0, row blocks of
// block_rows rois against the rois up to the block's end (row r in channel
// r), and the compaction of the five planes over `lanes` lanes.
enum {
  RPN_NMS_AREA_BOX = NMS_BLOCK_AREA_BOX,        // x1, y1, x2, y2, area
  RPN_NMS_AREA_MATRIX = NMS_BLOCK_AREA_MATRIX,  // four block x rois matrices
  RPN_NMS_AREA_KEEP = NMS_BLOCK_AREA_KEEP,      // the block's keep flags, one per channel
  RPN_NMS_AREA_ROIS = NMS_BLOCK_AREA_FIELDS,    // the five planes for the compaction
  RPN_NMS_AREA_MASK5 = NMS_BLOCK_AREA_MASK,     // the keep flags five times
  RPN_NMS_AREA_COUNT = NMS_BLOCK_AREA_COUNT
};

typedef nms_block_plan_t rpn_nms_plan_t;

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

// The plans (pure); offsets from 0, each area on 128 bytes.
void rpn_box_plan_of(rpn_box_plan_t *plan, int H, int W);
void rpn_nms_plan_of(rpn_nms_plan_t *plan, int n);

// The qsort order of the tie re-ordering: -1 when *a < *b, else 1.
int cmp_less(const void *a, const void *b);
}
