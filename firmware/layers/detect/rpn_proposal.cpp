// RPN proposal: anchors, decode, filter and corners on the tensor engine,
// masked compaction, CDMA sort with an index tie order, GDE gather into score
// order, greedy NMS on the engine, output rows.
#include "layers/detect/rpn_proposal.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_view.h"
#include "local/conversion.h"
#include "local/math.h"
#include "local/tagged_math.h"
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

// ---- Scratch: taken in stage order, released in reverse ----

static u32 lmem_top = 0;
static u32 l2sram_top = RPN_L2_SCRATCH_START;

static u32 rpn_alloc_lmem(u32 size) {
  const u64 real_size = ((u64)size + 127) & ~(u64)127;
  ASSERT(lmem_top + real_size <= (1<<19));
  const u32 res = lmem_top;
  lmem_top = (u32)(lmem_top + real_size);
  return res;
}

static void rpn_free_lmem(u32 lmem) {
  ASSERT(lmem < (1<<19));
  lmem_top = lmem;
}

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
static u32 LA(u32 offset) { return LOCAL_ADDR_TAG | offset; }
// The ARM's view of local memory at `offset` in `lane`; the caller has waited.
static u8 *local_ptr(int lane, u32 offset, u32 bytes) {
  return (u8 *)hw_ptr(LOCAL_ADDR_TAG + (u32)lane * LOCAL_MEM_SIZE + offset, bytes);
}

// ---- Plans ----

void rpn_box_plan_of(rpn_box_plan_t *p, int H, int W) {
  static const char *const names[RPN_AREA_COUNT] = {"box", "anchor", "delta", "score",
                                                    "shift", "work", "tmp", "mask"};
  memset(p, 0, sizeof(*p));
  p->H = H;
  p->W = W;
  const u64 P = 4u * (u64)align_up((i64)H * W, EU_NUM);
  p->plane_bytes = (u32)(P < 0xffffffffu ? P : 0xffffffffu);
  u64 bytes[RPN_AREA_COUNT];
  bytes[RPN_AREA_BOX] = 4 * P;
  bytes[RPN_AREA_ANCHOR] = 512;
  bytes[RPN_AREA_DELTA] = 4 * P;
  bytes[RPN_AREA_SCORE] = P;
  bytes[RPN_AREA_SHIFT] = 2 * P;
  bytes[RPN_AREA_WORK] = 2 * P;
  bytes[RPN_AREA_TMP] = 2 * P;
  bytes[RPN_AREA_MASK] = P;
  p->local_mem_usage = place_local_areas(p->areas, names, bytes, RPN_AREA_COUNT);
}

void rpn_nms_plan_of(rpn_nms_plan_t *p, int n) {
  static const char *const names[RPN_NMS_AREA_COUNT] = {"box", "matrix", "keep", "rois", "mask5"};
  nms_block_plan_of(p, n, 5, 5, names);
}

// ---- Box stages ----

typedef struct {
  const rpn_box_plan_t *p;
  u32 base;
  int HW;
} rpn_boxes_t;

static u32 area_of(const rpn_boxes_t *b, int a) { return b->base + b->p->areas[a].offset; }

// The nine base anchors, coordinate k at anchor + 128 k in lane a. The ARM has
// waited for the engines.
static void rpn_base_anchors(const rpn_boxes_t *b, int base_size, cmd_id_node_t *node) {
  const u32 anchor = area_of(b, RPN_AREA_ANCHOR);
  if (base_size == gen_base_size) {
    for (int a = 0; a < RPN_ANCHORS; a++)
      for (int k = 0; k < 4; k++) memcpy(local_ptr(a, anchor + 128u * (u32)k, 4), &gen_anchors[a][k], 4);
    return;
  }
  // Scale in slot 0 and ratio in slot 1 of lane 3 r + s; eight one-float
  // slots, a plane apart, in the delta, work and tmp areas.
  const u32 PB = b->p->plane_bytes;
  u32 slot[8];
  for (u32 i = 0; i < 4; i++) slot[i] = area_of(b, RPN_AREA_DELTA) + i * PB;
  for (u32 i = 0; i < 2; i++) slot[4 + i] = area_of(b, RPN_AREA_WORK) + i * PB;
  for (u32 i = 0; i < 2; i++) slot[6 + i] = area_of(b, RPN_AREA_TMP) + i * PB;
  for (int r = 0; r < 3; r++)
    for (int s = 0; s < 3; s++) {
      const float scale = (float)gen_anchor_scales[s];
      memcpy(local_ptr(3 * r + s, slot[0], 4), &scale, 4);
      memcpy(local_ptr(3 * r + s, slot[1], 4), &gen_anchor_ratios[r], 4);
    }
  const int C = RPN_ANCHORS;
  const dim4_t one = {1, C, 1, 1};
  const float bf = (float)base_size;
  const u32 bufs[2] = {slot[6], slot[7]};
  // ws = round(sqrt(area / ratio)), the root as 1 / rsqrt.
  atomic_mdscalar_operation_gen_cmd(0, LA(slot[1]), LA(slot[2]), 1, C, 1, 1, MD_SCALAR_DIV, 0, 1, 0,
                                    f32_bits(bf * bf), 0, node);
  atomic_md_sfu_gen_cmd(LA(slot[2]), LA(slot[3]), 1, C, 1, 1, 0, SFU_RSQ, 0, node);
  atomic_mdscalar_operation_gen_cmd(0, LA(slot[3]), LA(slot[2]), 1, C, 1, 1, MD_SCALAR_DIV, 0, 1, 0, f32_bits(1.0f), 0,
                                    node);
  tensor_f32_round(slot[2], slot[4], bufs, 2, &one, NULL, node);
  // hs = round(ws x ratio).
  atomic_mdscalar_operation_gen_cmd(LA(slot[4]), LA(slot[1]), LA(slot[2]), 1, C, 1, 1, MD_SCALAR_MUL, 0, 0, 0, 0, 0,
                                    node);
  tensor_f32_round(slot[2], slot[5], bufs, 2, &one, NULL, node);
  // w = ws x scale, h = hs x scale.
  atomic_mdscalar_operation_gen_cmd(LA(slot[4]), LA(slot[0]), LA(slot[2]), 1, C, 1, 1, MD_SCALAR_MUL, 0, 0, 0, 0, 0,
                                    node);
  atomic_mdscalar_operation_gen_cmd(LA(slot[5]), LA(slot[0]), LA(slot[3]), 1, C, 1, 1, MD_SCALAR_MUL, 0, 0, 0, 0, 0,
                                    node);
  // x1 = 0.5 b - 0.5 w, x2 = x1 + w - 1; y likewise with h.
  for (u32 k = 0; k < 2; k++) {
    const u32 size = slot[2 + k], lo = anchor + 128u * k, hi = anchor + 128u * (k + 2);
    atomic_md_linear_gen_cmd(LA(size), 0, 0, LA(lo), 1, C, 1, 1, 1, 1, f32_bits(0.5f * bf), f32_bits(-0.5f), 0, 0, node);
    atomic_mdscalar_operation_gen_cmd(LA(lo), LA(size), LA(hi), 1, C, 1, 1, MD_SCALAR_ADD, 0, 0, 0, 0, 0, node);
    atomic_mdscalar_operation_gen_cmd(LA(hi), 0, LA(hi), 1, C, 1, 1, MD_SCALAR_ADD, 0, 0, 1, 0, f32_bits(-1.0f), node);
  }
}

// Elementwise op over planes `planes` (plane_stride planes apart) of the nine
// lanes, B either a tensor with its own plane stride (0: every plane reads
// the first) or a constant.
static void rpn_planes_op(const rpn_boxes_t *b, u32 A, int a_step, u32 B, int b_step, int b_const, u32 R, int planes,
                          tensor_op_t op, cmd_id_node_t *node) {
  const int P = (int)(b->p->plane_bytes / 4);
  const dim4_t shape = {planes, RPN_ANCHORS, 1, b->HW};
  const dim4_t as = {a_step * P, 8 * P, b->HW, 1}, bs = {b_step * P, 8 * P, b->HW, 1};
  atomic_tensor_arithmetic_gen_cmd(LA(A), b_const ? 0 : LA(B), LA(R), &shape, 0, 0, 0, &as, &bs, &as, op, 0, 0, 0,
                                   b_const, b_const ? B : 0, 0, node);
}

// ---- NMS ----

// One row block of the NMS: the IoU of its rows against every roi up to its
// end, its rows against the rois kept so far, then row by row in order each
// kept row suppresses the later ones. Returns the rois kept in all.
static i64 rpn_nms_block(const nms_block_step_t *s, u32 box, u32 VB, u32 mat, u32 keep, u32 kept_list, u32 flags,
                         i64 kept, float thr, cmd_id_node_t *node) {
  const int b0 = s->b0, rows = s->rows, cols = s->cols;
  const u32 cs = s->cs, mb = s->mat_bytes;
  // Pixel-inclusive overlap, then IoU into matrix 0.
  nms_block_intersection(box, VB, mat, mb, b0, rows, cols, 1, node);
  nms_block_divide_by_union(box + 4 * VB, mat, mb, b0, rows, cols, node);
  // Keep matrix: 1.0 where the threshold is greater than the IoU.
  const u32 K = mat + mb;
  atomic_md_cmp_gen_cmd(f32_bits(thr), LA(mat), 0, 0, 0, LA(K), 1, rows, 1, cols, 1, 0, 1, 1, f32_bits(thr), 0,
                        f32_bits(1.0f), 0, 2, node);
  local_fill_const_gen_cmd(LA(keep), 1, rows, 1, 1, f32_bits(1.0f), node);
  // Column j of K holds every row's entry against roi j, row r in channel r.
  nms_block_apply_kept(keep, K, cs, rows, kept_list, kept, node);
  for (int r = 0; r < rows; r++) {
    if (!nms_block_row_kept(keep, r, node)) continue;
    const i32 i = b0 + r;
    memcpy((u8 *)ptr_of(kept_list + 4u * (u32)kept, 4), &i, 4);
    kept++;
    if (r + 1 == rows) break;
    if (kept == RPN_MAX_PROPOSALS) {
      // Enough: the later rows are dropped.
      local_fill_const_gen_cmd(get_addr_by_featuremap_shift(LA(keep), r + 1, 4 * EU_NUM), 1, rows - r - 1, 1, 1, 0,
                               node);
      break;
    }
    nms_block_suppress_later(keep, K, cs, rows, r, i, node);
    fix_cmd_node_overflow(node);
  }
  nms_block_store_flags(keep, flags, b0, rows, node);
  return kept;
}

// Greedy NMS of the n rois in score order whose x1, y1, x2, y2 planes lie at
// `rois` + 4 k stride (k = 1 .. 4; plane 0 the batch index): a roi is kept
// unless its pixel-inclusive IoU with a kept roi reaches the threshold. At most
// RPN_MAX_PROPOSALS are kept. The five planes of the kept rois are compacted
// into `out` (five planes of K, K returned).
static i64 rpn_nms(u64 rois, i64 stride, i64 n, float thr, u64 out, cmd_id_node_t *node) {
  rpn_nms_plan_t p;
  rpn_nms_plan_of(&p, (int)n);
  const u32 mark = lmem_top;
  const u32 base = rpn_alloc_lmem((u32)(p.local_mem_usage < (1u << 20) ? p.local_mem_usage : (1u << 20)));
  const u32 box = base + p.areas[RPN_NMS_AREA_BOX].offset, mat = base + p.areas[RPN_NMS_AREA_MATRIX].offset;
  const u32 keep = base + p.areas[RPN_NMS_AREA_KEEP].offset;
  const u32 VB = 4u * (u32)p.vec;
  const int N = (int)n;
  move_g2l(global_view(rois + 4u * (u64)stride, dim4(4, 1, 1, N), dim4((int)stride, (int)stride, N, 1),
                       GDMA_VALUE_FORMAT_FLOAT32),
           local_f32(box, dim4(p.vec, p.vec, N, 1)), node);
  // area = (x2 - x1 + 1) x (y2 - y1 + 1), through the fifth vector.
  const u32 area = box + 4 * VB;
  const u32 tmp = mat;  // two vectors of scratch before the matrices are used
  atomic_mdscalar_operation_gen_cmd(LA(box + 2 * VB), LA(box), LA(tmp), 2, 1, 1, N, MD_SCALAR_SUB, 0, 0, 0, 0, 0,
                                    node);
  atomic_mdscalar_operation_gen_cmd(LA(tmp), 0, LA(tmp), 2, 1, 1, N, MD_SCALAR_ADD, 0, 0, 1, 0, f32_bits(1.0f), node);
  atomic_mdscalar_operation_gen_cmd(LA(tmp), LA(tmp + VB), LA(area), 1, 1, 1, N, MD_SCALAR_MUL, 0, 0, 0, 0, 0, node);
  const i64 padded = (i64)p.lanes * p.per_lane;
  const u32 flags = rpn_alloc_l2sram((u32)(4 * padded));
  const u32 kept_list = rpn_alloc_l2sram(4 * RPN_MAX_PROPOSALS);
  const u32 zero = 0;
  fill_constant_gen_global_cmd_stride(flags, &zero, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, (int)padded, (int)padded,
                                      (int)padded, (int)padded, 1, node);
  i64 kept = 0;
  for (int block = 0; kept < RPN_MAX_PROPOSALS; block++) {
    const nms_block_step_t s = nms_block_step_of(&p, block);
    if (s.rows == 0) break;
    kept = rpn_nms_block(&s, box, VB, mat, keep, kept_list, flags, kept, thr, node);
  }
  // The five planes through the flags, roi q in lane q / per_lane.
  const i64 K = nms_block_compact(&p, base, rois, stride, flags, 5, out, node);
  rpn_free_l2sram(flags);
  rpn_free_lmem(mark);
  return K;
}

// The box stages' geometry and local areas.
typedef struct {
  rpn_boxes_t bx;
  i64 H, W, HW;
  int P, hw;
  u32 PB;
  u32 box, delta, score, shift, work, tmp, mask;
} rpn_stages_t;

// 1-3. The base anchors written or computed in lanes 0 to 8, then every
// position starts from its lane's anchor.
static void rpn_issue_anchors(const rpn_stages_t *g, int base_size, cmd_id_node_t *node) {
  poll_all_engine_done(node);
  rpn_base_anchors(&g->bx, base_size, node);
  const dim4_t shape = {1, RPN_ANCHORS, 4, g->hw}, from = {0, 0, 32, 0}, to = {4 * g->P, 4 * g->P, g->P, 1};
  atomic_tensor_copy_gen_cmd(LA(area_of(&g->bx, RPN_AREA_ANCHOR)), LA(g->box), &shape, &from, &to, node);
}

// 4. Shifts x s and y s, written by the ARM at `shifts` and spread to the
// nine lanes, added to the anchors.
static void rpn_issue_shifts(const rpn_stages_t *g, u32 shifts, int feat_stride, cmd_id_node_t *node) {
  const i64 H = g->H, W = g->W, HW = g->HW;
  const int P = g->P, hw = g->hw;
  u8 *sh = (u8 *)ptr_of(shifts, 8u * (u64)HW);
  for (i64 y = 0; y < H; y++)
    for (i64 x = 0; x < W; x++) {
      const float sx = (float)(x * feat_stride), sy = (float)(y * feat_stride);
      memcpy(sh + 4 * (y * W + x), &sx, 4);
      memcpy(sh + 4 * (HW + y * W + x), &sy, 4);
    }
  move_g2l(global_view(shifts, dim4(2, RPN_ANCHORS, 1, hw), dim4(hw, 0, hw, 1), GDMA_VALUE_FORMAT_FLOAT32),
           local_f32(g->shift, dim4(P, 2 * P, hw, 1)), node);
  rpn_planes_op(&g->bx, g->box, 2, g->shift, 0, 0, g->box, 2, TENSOR_OP_ADD, node);
  rpn_planes_op(&g->bx, g->box + g->PB, 2, g->shift + g->PB, 0, 0, g->box + g->PB, 2, TENSOR_OP_ADD, node);
}

// 5. Deltas dx, dy, dw, dh as four planes (8-bit ones converted, then scaled;
// a 4N map de-interleaved into the scratch area first).
static void rpn_issue_deltas(const rpn_stages_t *g, u64 deltas_addr, u64 scratch_addr, int bottom_prec,
                             int input_stmode, float delta_scale, cmd_id_node_t *node) {
  const int P = g->P, hw = g->hw;
  u64 src = deltas_addr;
  gdma_value_format_t f = GDMA_VALUE_FORMAT_FLOAT32;
  if (bottom_prec != 0) {
    f = bottom_prec == 1 ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
    if (input_stmode == 2) {
      // The first item of the 4N map, as 1N bytes in the scratch area.
      gdma_move_global_1N_and_4N(scratch_addr, deltas_addr, 1, (int)(4 * RPN_ANCHORS * g->HW), 0, node);
      src = scratch_addr;
    }
  }
  const int W = (int)g->W;
  move_g2l(global_view(src, dim4(4, RPN_ANCHORS, (int)g->H, W), dim4(hw, 4 * hw, W, 1), f),
           local_f32(g->delta, dim4(P, 4 * P, W, 1)), node);
  if (bottom_prec != 0)
    atomic_mdscalar_operation_gen_cmd(LA(g->delta), 0, LA(g->delta), 4, RPN_ANCHORS, 1, hw, MD_SCALAR_MUL, 0, 0, 1, 0,
                                      f32_bits(delta_scale), node);
}

// R = A op B over n planes of the nine lanes.
static void rpn_md(const rpn_stages_t *g, u32 A, u32 B, u32 R, int n, md_scalar_op_t op, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(LA(A), LA(B), LA(R), n, RPN_ANCHORS, 1, g->hw, op, 0, 0, 0, 0, 0, node);
}

// R = A op c (c a float's bits) over n planes of the nine lanes.
static void rpn_mdc(const rpn_stages_t *g, u32 A, u32 c, u32 R, int n, md_scalar_op_t op, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(LA(A), 0, LA(R), n, RPN_ANCHORS, 1, g->hw, op, 0, 0, 1, 0, c, node);
}

// 6. Decode, x and y pairwise: w = x2 - x1 + 1, centre = x1 + 0.5 w,
// predicted centre = dx w + centre, predicted size = exp(dw) w.
static void rpn_issue_decode(const rpn_stages_t *g, cmd_id_node_t *node) {
  const u32 box = g->box, delta = g->delta, work = g->work, tmp = g->tmp, PB = g->PB;
  rpn_md(g, box + 2 * PB, box, tmp, 2, MD_SCALAR_SUB, node);
  rpn_mdc(g, tmp, f32_bits(1.0f), tmp, 2, MD_SCALAR_ADD, node);
  rpn_mdc(g, tmp, f32_bits(0.5f), work, 2, MD_SCALAR_MUL, node);
  rpn_md(g, box, work, work, 2, MD_SCALAR_ADD, node);
  rpn_md(g, delta, tmp, box, 2, MD_SCALAR_MUL, node);
  rpn_md(g, box, work, box, 2, MD_SCALAR_ADD, node);
  tensor_ex(LA(delta + 2 * PB), LA(work), EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 2,
            RPN_ANCHORS, 1, g->hw, node);
  rpn_md(g, delta + 2 * PB, tmp, box + 2 * PB, 2, MD_SCALAR_MUL, node);
}

// 7-8. The foreground scores (channels 9 to 17) and the image information;
// waits for them.
static void rpn_issue_scores(const rpn_stages_t *g, u64 scores_addr, u64 im_info_addr, u32 info,
                             cmd_id_node_t *node) {
  const int P = g->P, hw = g->hw, H = (int)g->H, W = (int)g->W;
  move_g2l(global_view(scores_addr + 4u * (u64)(RPN_ANCHORS * g->HW), dim4(1, RPN_ANCHORS, H, W),
                       dim4(9 * hw, hw, W, 1), GDMA_VALUE_FORMAT_FLOAT32),
           local_f32(g->score, dim4(P, P, W, 1)), node);
  general_gdma_gen_cmd(im_info_addr, info, GDMA_VALUE_FORMAT_FLOAT32, 3, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done(node);
}

// 1.0 into R where `limit` is greater than the plane at A, else 0.
static void rpn_below(const rpn_stages_t *g, float limit, u32 A, u32 R, cmd_id_node_t *node) {
  atomic_md_cmp_gen_cmd(f32_bits(limit), LA(A), 0, 0, 0, LA(R), 1, RPN_ANCHORS, 1, g->hw, 1, 0, 1, 1, f32_bits(limit),
                        0, 0, f32_bits(1.0f), 2, node);
}

// 9-10. Mask: 0 where min size x scale exceeds the width or the height, or
// the threshold exceeds the score. Corners x1 = centre - 0.5 w, x2 = x1 + w,
// clipped to [0, width] and [0, height].
static void rpn_issue_mask_and_corners(const rpn_stages_t *g, u32 info, int min_size, float score_thresh,
                                       cmd_id_node_t *node) {
  const u32 box = g->box, work = g->work, tmp = g->tmp, mask = g->mask, PB = g->PB;
  const u8 *inf = (const u8 *)ptr_of(info, 12);
  const float im_h = ldf(inf, 0), im_w = ldf(inf, 1), min_scaled = (float)min_size * ldf(inf, 2);
  rpn_below(g, min_scaled, box + 2 * PB, mask, node);
  rpn_below(g, min_scaled, box + 3 * PB, tmp, node);
  rpn_below(g, score_thresh, g->score, tmp + PB, node);
  rpn_md(g, mask, tmp, mask, 1, MD_SCALAR_MUL, node);
  rpn_md(g, mask, tmp + PB, mask, 1, MD_SCALAR_MUL, node);
  rpn_mdc(g, box + 2 * PB, f32_bits(0.5f), work, 2, MD_SCALAR_MUL, node);
  rpn_md(g, box, work, box, 2, MD_SCALAR_SUB, node);
  rpn_md(g, box, box + 2 * PB, box + 2 * PB, 2, MD_SCALAR_ADD, node);
  rpn_planes_op(&g->bx, box, 1, 0, 0, 1, box, 4, TENSOR_OP_MAX, node);
  rpn_planes_op(&g->bx, box, 2, f32_bits(im_w), 0, 1, box, 2, TENSOR_OP_MIN, node);
  rpn_planes_op(&g->bx, box + PB, 2, f32_bits(im_h), 0, 1, box + PB, 2, TENSOR_OP_MIN, node);
}

// 12-13. Equal scores among the first N sorted keep compaction order: each
// run of ties has its indices sorted.
static void rpn_order_ties(u32 sorted, u32 idx, i64 Y, i64 N) {
  const u8 *keys = (const u8 *)ptr_of(sorted, 4u * (u64)Y);
  u8 *order = (u8 *)ptr_of(idx, 4u * (u64)Y);
  for (i64 i = 0; i < N;) {
    i64 e = i + 1;
    while (e < N && ldf(keys, e) == ldf(keys, i)) e++;
    if (e - i > 1) qsort(order + 4 * i, (size_t)(e - i), 4, cmp_less);
    i = e;
  }
}

// 14. Rois in score order at `rois` (five planes S apart): plane 0 zeros,
// planes 1-4 each coordinate compacted through the mask and gathered by the
// sorted indices.
static void rpn_gather_rois(const rpn_stages_t *g, u32 idx, i64 Y, i64 N, i64 S, u32 rois, cmd_id_node_t *node) {
  const u32 compact = rpn_alloc_l2sram((u32)(4 * Y));
  const u32 zero = 0;
  fill_constant_gen_global_cmd_stride(rois, &zero, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, (int)N, (int)N, (int)N, (int)N,
                                      1, node);
  for (u32 k = 0; k < 4; k++) {
    tensor_general_move_with_mask_gen_cmd(g->box + k * g->PB, 0, g->mask, compact, 1, RPN_ANCHORS, 1, g->hw,
                                          GDMA_VALUE_DIR_L2S, node);
    poll_all_engine_done(node);
    gde_gather_data_gen_cmd(1, compact, idx, (u32)N, GDE_TYPE_WORD, (u32)(rois + 4u * (k + 1) * (u64)S));
  }
  rpn_free_l2sram(compact);
}

// 12-15. The Y compacted scores at fscore sorted, the first N (pre-NMS count)
// rois gathered in score order, NMS, then at most 200 rows (and the post-NMS
// count) as rows of 5 to the output. Returns the rows written.
static i64 rpn_sort_and_suppress(rpn_stages_t *g, u32 fscore, i64 Y, int pre_nms_topN, int post_nms_topN,
                                 float nms_thresh, u64 output_addr, cmd_id_node_t *node) {
  const u32 sorted = rpn_alloc_l2sram((u32)(4 * Y)), idx = rpn_alloc_l2sram((u32)(4 * Y));
  cdma_sort_move_cmd(fscore, sorted, (u32)Y, SORT_ORDER_DESCEND, 1, 1, 0, idx, (u32)Y);
  const i64 N = pre_nms_topN > 0 && pre_nms_topN < Y ? pre_nms_topN : Y;
  rpn_order_ties(sorted, idx, Y, N);
  const i64 S = align_up((i64)NPU_NUM * ceil_div(N, N < NPU_NUM ? N : NPU_NUM), 128);
  const u32 rois = rpn_alloc_l2sram((u32)(20 * S));
  rpn_gather_rois(g, idx, Y, N, S, rois, node);
  const u32 kept = rpn_alloc_l2sram((u32)(20 * N));
  const u32 box_mark = lmem_top;
  rpn_free_lmem(g->bx.base);  // the box stages are over
  const i64 K = rpn_nms(rois, S, N, nms_thresh, kept, node);
  lmem_top = box_mark;
  i64 out_n = K < RPN_MAX_PROPOSALS ? K : RPN_MAX_PROPOSALS;
  if (post_nms_topN > 0 && out_n > post_nms_topN) out_n = post_nms_topN;
  if (out_n > 0) {
    // Five planes of K to out_n rows of five.
    move_g2g_nc(global_view(kept, dim4(5, (int)out_n, 1, 1), dim4((int)K, 1, 1, 1), GDMA_VALUE_FORMAT_FLOAT32),
                global_view(output_addr, dim4((int)out_n, 5, 1, 1), dim4(5, 1, 1, 1), GDMA_VALUE_FORMAT_FLOAT32), node);
    poll_all_engine_done(node);
  }
  rpn_free_l2sram(kept);
  rpn_free_l2sram(rois);
  rpn_free_l2sram(idx);
  rpn_free_l2sram(sorted);
  return out_n;
}

// 16. No proposal: one row of zeros.
static void rpn_write_empty(u64 output_addr, cmd_id_node_t *node) {
  static const float zeros[5] = {0, 0, 0, 0, 0};
  const u32 z = rpn_alloc_l2sram(20);
  memcpy(ptr_of(z, 20), zeros, 20);
  general_gdma_gen_cmd(z, output_addr, GDMA_VALUE_FORMAT_FLOAT32, 5, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done(node);
  rpn_free_l2sram(z);
}

void nodechip_rpnproposal_forward(u64 scores_addr, u64 deltas_addr, u64 im_info_addr, u64 output_addr,
                                  const i32 *bottom0_dim, const i32 *bottom1_dim, int feat_stride, int base_size,
                                  int min_size, int pre_nms_topN, int post_nms_topN, float nms_thresh,
                                  float score_thresh, int input_stmode, u64 scratch_addr, u64 unused_addr,
                                  int bottom_prec, float delta_scale, int *count, cmd_id_node_t *node) {
  (void)unused_addr;
  // A failed call may have left the cursors anywhere: every call starts afresh.
  lmem_top = 0;
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
  rpn_box_plan_t plan;
  rpn_box_plan_of(&plan, (int)H, (int)W);

  rpn_stages_t g;
  g.bx = {&plan, 0, (int)HW};
  g.H = H, g.W = W, g.HW = HW;
  g.P = (int)(plan.plane_bytes / 4), g.hw = (int)HW, g.PB = plan.plane_bytes;
  g.bx.base = rpn_alloc_lmem((u32)(plan.local_mem_usage < (1u << 20) ? plan.local_mem_usage : (1u << 20)));
  g.box = area_of(&g.bx, RPN_AREA_BOX), g.delta = area_of(&g.bx, RPN_AREA_DELTA);
  g.score = area_of(&g.bx, RPN_AREA_SCORE), g.shift = area_of(&g.bx, RPN_AREA_SHIFT);
  g.work = area_of(&g.bx, RPN_AREA_WORK), g.tmp = area_of(&g.bx, RPN_AREA_TMP), g.mask = area_of(&g.bx, RPN_AREA_MASK);
  rpn_issue_anchors(&g, base_size, node);
  const u32 info = rpn_alloc_l2sram(16);
  const u32 shifts = rpn_alloc_l2sram((u32)(8 * HW));
  rpn_issue_shifts(&g, shifts, feat_stride, node);
  rpn_issue_deltas(&g, deltas_addr, scratch_addr, bottom_prec, input_stmode, delta_scale, node);
  rpn_issue_decode(&g, node);
  rpn_issue_scores(&g, scores_addr, im_info_addr, info, node);
  rpn_issue_mask_and_corners(&g, info, min_size, score_thresh, node);

  // 11. Compaction of the scores in (anchor, row, column) order.
  const u32 fscore = rpn_alloc_l2sram((u32)(4 * n_all));
  tensor_general_move_with_mask_gen_cmd(g.score, 0, g.mask, fscore, 1, RPN_ANCHORS, 1, g.hw, GDMA_VALUE_DIR_L2S, node);
  const i64 Y = get_gdma_filter_res_num_gen_cmd(node);
  const i64 out_n =
      Y > 0 ? rpn_sort_and_suppress(&g, fscore, Y, pre_nms_topN, post_nms_topN, nms_thresh, output_addr, node) : 0;
  if (out_n == 0) rpn_write_empty(output_addr, node);
  rpn_free_l2sram(fscore);
  rpn_free_l2sram(shifts);
  rpn_free_l2sram(info);
  rpn_free_lmem(g.bx.base);
  if (count) *count = (int)out_n;
}
