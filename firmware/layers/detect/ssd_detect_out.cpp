// SSD detection output: decode and threshold mask on the tensor engine over the
// priors sliced across the lanes, compaction by mask (GDMA), CDMA sort, GDE
// gathers, IoU matrices per group of classes on the tensor engine, the NMS keep
// loop on the ARM, and the per-image keep_top_k cut by two CDMA sorts.
#include "layers/detect/ssd_detect_out.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// ---- Scratch allocators (cursors reset at the start of every call) ----

static u64 local_mem_offset = 0;
static u64 l2sram_offset = SSD_L2_SCRATCH_START;
static u64 dtcm_offset = DTCM_SCRATCH_START;

u64 local_mem_alloc(u64 size, u64 align) {
  const u64 res = (local_mem_offset + align - 1) & ~(align - 1);
  ASSERT(res + size <= (1<<19));
  local_mem_offset = res + size;
  return res;
}

void local_mem_reset(u64 offset) {
  ASSERT(offset <= (1<<19));
  local_mem_offset = offset;
}

u64 l2sram_alloc(u64 size, u64 align) {
  const u64 res = (l2sram_offset + align - 1) & ~(align - 1);
  ASSERT(res + size - 0x10000000 <= 0x400000);
  // The engines' lookup tables lie above the scratch.
  ASSERT(res + size <= SSD_L2_SCRATCH_END);
  l2sram_offset = res + size;
  return res;
}

void l2sram_reset(u64 offset) {
  ASSERT(offset - 0x10000000 <= 0x400000);
  l2sram_offset = offset;
}

u64 dtcm_alloc(u64 size) {
  const u64 res = dtcm_offset;
  ASSERT(res + size - (0x02000000 + ((((0) + (111*1024+896)) + (128)) + (16*1024))) <= (384*1024));
  dtcm_offset = res + size;
  return res;
}

void dtcm_reset(u64 offset) {
  ASSERT(offset - (0x02000000 + ((((0) + (111*1024+896)) + (128)) + (16*1024))) <= (384*1024));
  dtcm_offset = offset;
}

// ---- Small helpers ----

#define LT LOCAL_ADDR_TAG
static const gdma_value_format_t F32 = GDMA_VALUE_FORMAT_FLOAT32;

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
static void sti(u8 *base, i64 k, i32 v) { memcpy(base + 4 * k, &v, 4); }
static i64 align64(i64 x) { return align_up(x, 64); }

i64 ssd_detect_out_max_records(int num_priors, int keep_top_k) {
  const i64 cap = align64(2 * (i64)(num_priors > 0 ? num_priors : 0));
  i64 m = keep_top_k < 0 ? SSD_MAX_UNCUT_RECORDS : keep_top_k;
  if (m > cap) m = cap;
  return m > 1 ? m : 1;
}

// ---- Plans ----

ssd_records_t ssd_records_of(int keep_top_k, i64 T) {
  ssd_records_t r = {SSD_RECORDS_ALL, T};
  if (keep_top_k == 0 || T <= 0)
    r = {SSD_RECORDS_NONE, 0};
  else if (keep_top_k > 0 && T > keep_top_k)
    r = {SSD_RECORDS_TOP_K, keep_top_k};
  else if (keep_top_k < 0 && T > SSD_MAX_UNCUT_RECORDS)
    r = {SSD_RECORDS_CAP, SSD_MAX_UNCUT_RECORDS};
  return r;
}

ssd_lane_plan_t ssd_lane_plan_of(i64 n) {
  ssd_lane_plan_t p;
  p.lanes = (i32)(n < NPU_NUM ? n : NPU_NUM);
  p.per_lane = (i32)ceil_div(n, p.lanes);
  p.plane = (i32)align_up(p.per_lane, EU_NUM);
  p.full = (i32)(n / p.per_lane);
  p.rest = (i32)(n % p.per_lane);
  return p;
}

static u32 place(local_area_t *a, const char *name, u64 *cursor, u64 bytes) {
  *cursor = (u64)align_up((s64)*cursor, 128);
  a->name = name;
  a->offset = (u32)*cursor;
  a->bytes = (u32)bytes;
  *cursor += bytes;
  return a->offset;
}

ssd_local_plan_t ssd_local_plan_of(int num_priors, int num_classes, int variance_encoded_in_target,
                                   int needs_valid) {
  ssd_local_plan_t p;
  p.lanes = ssd_lane_plan_of(num_priors);
  const u64 pb = 4u * (u64)p.lanes.plane;
  p.plane_bytes = (u32)pb;
  u64 at = 0;
  place(&p.areas[SSD_AREA_PRIOR], "prior", &at, 4 * pb);
  place(&p.areas[SSD_AREA_VARIANCE], "variance", &at, variance_encoded_in_target ? 0 : 4 * pb);
  place(&p.areas[SSD_AREA_BOX], "box", &at, 4 * pb);
  place(&p.areas[SSD_AREA_LOC], "loc", &at, 4 * pb);
  place(&p.areas[SSD_AREA_CONF], "conf", &at, (u64)num_classes * pb);
  place(&p.areas[SSD_AREA_MASK], "mask", &at, pb);
  place(&p.areas[SSD_AREA_VALID], "valid", &at, needs_valid ? pb : 0);
  p.resident_bytes = (u32)align_up((s64)at, 128);
  // The load staging (k values of every item, compact) or the decode's three
  // pairs of planes, never both at once.
  const u64 values = num_classes > 4 ? (u64)num_classes : 4;
  const u64 stage = (u64)align_up((s64)(values * 4u * (u64)p.lanes.per_lane), 128);
  const u64 decode = 6 * pb;
  place(&p.areas[SSD_AREA_WORK], "work", &at, stage > decode ? stage : decode);
  return p;
}

ssd_group_plan_t ssd_group_plan_of(int G) {
  ssd_group_plan_t p;
  p.lanes = ssd_lane_plan_of(G);
  p.G = G;
  p.columns_plane = (i32)align_up(G, EU_NUM);
  const i64 rows = (i64)p.lanes.lanes * p.lanes.per_lane;
  p.matrix_bytes = (u32)(ceil_div(rows, NPU_NUM) * 4 * p.columns_plane);
  i64 R = rows;
  while (R > 1 && R * rows > SSD_IOU_CHUNK_FLOATS) R /= 2;
  p.chunk_rows = (i32)R;
  u64 at = 0;
  place(&p.areas[SSD_GROUP_ROWS], "rows", &at, 5 * 4u * (u64)p.lanes.plane);
  place(&p.areas[SSD_GROUP_COLUMNS], "columns", &at, 5 * 4u * (u64)p.columns_plane);
  place(&p.areas[SSD_GROUP_IOU], "iou", &at, p.matrix_bytes);
  place(&p.areas[SSD_GROUP_TMP1], "tmp1", &at, p.matrix_bytes);
  place(&p.areas[SSD_GROUP_TMP2], "tmp2", &at, p.matrix_bytes);
  p.bytes = (u32)at;
  return p;
}

// ---- Loads and the decode ----

// n dense values at `addr` (global) to the slot layout of `lp` at the local
// offset: the full lanes, then the rest in lane `full`. Slots beyond n are
// not written.
static void load_sliced(u64 addr, u32 local, const ssd_lane_plan_t *lp, cmd_id_node_t *node) {
  const int K = lp->per_lane;
  if (lp->full > 0)
    tensor_stride_move_gen_cmd(local, 0, addr, 1, lp->full, 1, K, lp->full * K, K, K, 1, lp->plane, lp->plane, K,
                               1, F32, GDMA_VALUE_DIR_S2L, 0, node);
  if (lp->rest > 0)
    tensor_stride_move_gen_cmd(local, lp->full, addr + 4u * (u64)lp->full * (u64)K, 1, 1, 1, lp->rest, lp->rest,
                               lp->rest, lp->rest, 1, lp->plane, lp->plane, lp->rest, 1, F32,
                               GDMA_VALUE_DIR_S2L, 0, node);
}

void ssd_detect_out_move_to_local_and_tranpose(u64 addr, u32 local_offset, int n, int k, cmd_id_node_t *node) {
  const ssd_lane_plan_t lp = ssd_lane_plan_of(n);
  const int K = lp.per_lane, item = k * K;
  const u32 stage = (u32)local_mem_alloc(4u * (u64)item, 128);
  const float minus_one = -1.0f;
  // Lanes from the partial one up hold -1 in every slot; the partial lane's
  // items are loaded over it.
  if (lp.full < lp.lanes)
    fill_constant_gen_local_cmd_stride(stage, lp.full, &minus_one, F32, 1, lp.lanes - lp.full, 1, item, item, item,
                                       item, 1, node);
  if (lp.full > 0) tensor_compact_move_gen_cmd(stage, 0, addr, 1, lp.full, 1, item, F32, GDMA_VALUE_DIR_S2L, 0, node);
  if (lp.rest > 0)
    tensor_compact_move_gen_cmd(stage, lp.full, addr + 4u * (u64)lp.full * (u64)item, 1, 1, 1, lp.rest * k, F32,
                                GDMA_VALUE_DIR_S2L, 0, node);
  // Value i of every item (stride k) into plane i.
  const dim4_t shape = {1, lp.lanes, 1, K};
  const dim4_t from = {item, item, item, k}, to = {lp.plane, lp.plane, K, 1};
  for (int i = 0; i < k; i++)
    atomic_tensor_copy_gen_cmd(LT | (stage + 4u * (u32)i), LT | (local_offset + 4u * (u32)i * (u32)lp.plane), &shape,
                               &from, &to, node);
  local_mem_reset(stage);
}

void ssd_detect_out_decode_box_CENTER_SIZE(u32 loc, u32 output, u32 prior, u32 variance, const dim4_t *shape,
                                           const dim4_t *stride, int variance_encoded_in_target,
                                           cmd_id_node_t *node) {
  const int C = shape->c, H = shape->h, W = shape->w;
  // Planes follow one another at the engine's own batch stride, so pairs of
  // planes go through one command as a batch of two.
  ASSERT(stride->n == (int)eu_plane((u32)(H * W)) && C <= NPU_NUM);
  const u32 pb = 4u * (u32)stride->n;
  const u32 size = (u32)local_mem_alloc(2 * pb, 128);  // pw, ph
  const u32 centre = (u32)local_mem_alloc(2 * pb, 128);  // pcx, pcy
  const u32 work = (u32)local_mem_alloc(2 * pb, 128);
  const u32 lxy = loc, lwh = loc + 2 * pb;
  if (!variance_encoded_in_target) atomic_md_mul_gen_cmd(LT | loc, LT | variance, LT | loc, 4, C, H, W, 0, node);
  atomic_mdscalar_operation_gen_cmd(LT | (prior + 2 * pb), LT | prior, LT | size, 2, C, H, W, MD_SCALAR_SUB, 0, 0, 0,
                                    0, 0, node);
  atomic_md_add_gen_cmd(LT | prior, LT | (prior + 2 * pb), LT | centre, 2, C, H, W, 0, node);
  atomic_md_scale_gen_cmd(LT | centre, LT | centre, 2, C, H, W, 0, f32_bits(0.5f), node);
  // cx = lx * pw + pcx, cy likewise.
  atomic_md_mul_gen_cmd(LT | lxy, LT | size, LT | lxy, 2, C, H, W, 0, node);
  atomic_md_add_gen_cmd(LT | lxy, LT | centre, LT | lxy, 2, C, H, W, 0, node);
  // w = e^lw * pw, h likewise.
  tensor_ex(LT | lwh, LT | work, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 2, C, H, W,
            node);
  atomic_md_mul_gen_cmd(LT | lwh, LT | size, LT | lwh, 2, C, H, W, 0, node);
  // xmin = cx - 0.5 w, xmax = xmin + w.
  atomic_md_scale_gen_cmd(LT | lwh, LT | work, 2, C, H, W, 0, f32_bits(0.5f), node);
  atomic_mdscalar_operation_gen_cmd(LT | lxy, LT | work, LT | output, 2, C, H, W, MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  atomic_md_add_gen_cmd(LT | output, LT | lwh, LT | (output + 2 * pb), 2, C, H, W, 0, node);
  local_mem_reset(size);
}

// ---- One call ----

// The arguments of one call, once checked, and its resident layout.
typedef struct {
  u64 loc, conf, output;
  i64 np, nc, nlc;
  int shared, bg, top_k, keep_top_k, venc;
  float nms_threshold, confidence_threshold, eta;
  ssd_local_plan_t lp;
  int use_valid;
} ssd_args_t;

// Per-image buffers: L2 SRAM and the DTCM prefix array.
typedef struct {
  u64 res[7];      // image, label, score, xmin, ymin, xmax, ymax of the kept
  u64 cand_score;  // candidates of all classes: scores ...
  u64 cand_box[4]; // ... and coordinates
  u64 compact;     // one class's masked values
  u64 sidx;        // their order by score
  i64 box_capacity;
  u64 B;           // DTCM: candidate prefix, num_classes + 1 i32
} ssd_image_bufs_t;

enum { RES_IMAGE, RES_LABEL, RES_SCORE, RES_XMIN };

static u32 plane_at(const ssd_args_t *a, int area, int i) {
  return a->lp.areas[area].offset + (u32)i * a->lp.plane_bytes;
}

static void decode(const ssd_args_t *a, cmd_id_node_t *node) {
  const dim4_t shape = {1, a->lp.lanes.lanes, 1, a->lp.lanes.per_lane};
  const dim4_t stride = {a->lp.lanes.plane, a->lp.lanes.plane, a->lp.lanes.per_lane, 1};
  ssd_detect_out_decode_box_CENTER_SIZE(plane_at(a, SSD_AREA_LOC, 0), plane_at(a, SSD_AREA_BOX, 0),
                                        plane_at(a, SSD_AREA_PRIOR, 0), plane_at(a, SSD_AREA_VARIANCE, 0), &shape,
                                        &stride, a->venc, node);
}

// The offsets of class c of the image, one strided move per coordinate.
static void load_class_loc(const ssd_args_t *a, i64 image, i64 c, cmd_id_node_t *node) {
  const ssd_lane_plan_t *lp = &a->lp.lanes;
  const int K = lp->per_lane, step = (int)(4 * a->nlc);
  for (int q = 0; q < 4; q++) {
    const u64 src = a->loc + 4u * (u64)(((image * a->np) * a->nlc + c) * 4 + q);
    const u32 dst = plane_at(a, SSD_AREA_LOC, q);
    if (lp->full > 0)
      tensor_stride_move_gen_cmd(dst, 0, src, 1, lp->full, K, 1, lp->full * K * step, K * step, step, 1, lp->plane,
                                 lp->plane, 1, 1, F32, GDMA_VALUE_DIR_S2L, 0, node);
    if (lp->rest > 0)
      tensor_stride_move_gen_cmd(dst, lp->full, src + 4u * (u64)lp->full * (u64)K * (u64)step, 1, 1, lp->rest, 1,
                                 lp->rest * step, lp->rest * step, step, 1, lp->plane, lp->plane, 1, 1, F32,
                                 GDMA_VALUE_DIR_S2L, 0, node);
  }
}

// 1.0 on the priors' slots, 0.0 on the padding: the mask's "pass" value when
// the threshold is below the padding's -1.
static void build_valid_plane(const ssd_args_t *a, cmd_id_node_t *node) {
  const ssd_lane_plan_t *lp = &a->lp.lanes;
  const u32 v = plane_at(a, SSD_AREA_VALID, 0);
  local_fill_const_gen_cmd(LT | v, 1, lp->lanes, 1, lp->per_lane, f32_bits(1.0f), node);
  const float zero = 0.0f;
  if (lp->rest > 0)
    fill_constant_gen_local_cmd_stride(v + 4u * (u32)lp->rest, lp->full, &zero, F32, 1, 1, 1,
                                       lp->per_lane - lp->rest, lp->plane, lp->plane, lp->plane, 1, node);
  const int first_empty = lp->full + (lp->rest > 0 ? 1 : 0);
  if (first_empty < lp->lanes)
    fill_constant_gen_local_cmd_stride(v, first_empty, &zero, F32, 1, lp->lanes - first_empty, 1, lp->per_lane,
                                       lp->plane, lp->plane, lp->plane, 1, node);
}

// The masked slots (lane 0 first, slot order: ascending prior order) of a
// plane into the compaction buffer.
static void compact_plane(const ssd_args_t *a, const ssd_image_bufs_t *b, u32 plane, cmd_id_node_t *node) {
  tensor_general_move_with_mask_gen_cmd(plane, 0, plane_at(a, SSD_AREA_MASK, 0), b->compact, 1, a->lp.lanes.lanes, 1,
                                        a->lp.lanes.per_lane, GDMA_VALUE_DIR_L2S, node);
}

// Filters, sorts, cuts and gathers the candidates of every class into the
// candidate arrays; B[c] .. B[c+1] - 1 are class c's, in descending score
// order (equal scores in prior order).
static void collect_candidates(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 image, cmd_id_node_t *node) {
  u8 *B = (u8 *)ptr_of(b->B, 4u * (u64)(a->nc + 1));
  sti(B, 0, 0);
  const ssd_lane_plan_t *lp = &a->lp.lanes;
  for (i64 c = 0; c < a->nc; c++) {
    const i64 Bc = ldi(B, c);
    if (c == a->bg || (!a->shared && c >= a->nlc)) {
      sti(B, c + 1, (i32)Bc);
      continue;
    }
    if (!a->shared) {
      load_class_loc(a, image, c, node);
      decode(a, node);
    }
    // mask = score > threshold ? 1 : 0 (the valid plane in place of 1 when
    // the padding would pass).
    const u32 score = plane_at(a, SSD_AREA_CONF, (int)c), mask = plane_at(a, SSD_AREA_MASK, 0);
    const u32 pass = a->use_valid ? LT | plane_at(a, SSD_AREA_VALID, 0) : 0;
    atomic_md_cmp_gen_cmd(LT | score, f32_bits(a->confidence_threshold), pass, 0, LT | mask, LT | mask, 1, lp->lanes,
                          1, lp->per_lane, 0, 1, a->use_valid ? 0 : 1, 1, 0, f32_bits(a->confidence_threshold),
                          f32_bits(1.0f), f32_bits(0.0f), 2, node);
    compact_plane(a, b, score, node);
    const i64 passed = get_gdma_filter_res_num_gen_cmd(node);
    i64 n = passed;
    if (a->top_k >= 0 && a->top_k < n) n = a->top_k;
    if (n > 0) {
      // The sort writes only the entries kept, and they must fit the arrays.
      const i64 box_capacity = b->box_capacity;
      ASSERT(Bc + n <= box_capacity, "class %d: %d candidates after %d", (int)c, (int)n, (int)Bc);
      cdma_sort_move_cmd(b->compact, b->cand_score + 4u * (u64)Bc, (u32)passed, SORT_ORDER_DESCEND, 1, 1, 0, b->sidx,
                         (u32)n);
      for (int q = 0; q < 4; q++) {
        compact_plane(a, b, plane_at(a, SSD_AREA_BOX, q), node);
        poll_all_engine_done(node);
        gde_gather_data_gen_cmd(1, (u32)b->compact, (u32)b->sidx, (u32)n, GDE_TYPE_WORD,
                                (u32)(b->cand_box[q] + 4u * (u64)Bc));
      }
    }
    sti(B, c + 1, (i32)(Bc + n));
    fix_cmd_node_overflow(node);
  }
}

// The IoU matrix of candidates B[g] .. B[g] + G - 1: row r, column j is the
// IoU of candidate r with candidate j, the union raised to 1e-6.
static void iou_matrix(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 first, const ssd_group_plan_t *gp, u32 base,
                       cmd_id_node_t *node) {
  (void)a;
  const int G = gp->G, L = gp->lanes.lanes, M = gp->lanes.per_lane, rp = gp->lanes.plane, cp = gp->columns_plane;
  const int rows = L * M;
  const u32 X = base + gp->areas[SSD_GROUP_ROWS].offset, Y = base + gp->areas[SSD_GROUP_COLUMNS].offset;
  const u32 iou = base + gp->areas[SSD_GROUP_IOU].offset, t1 = base + gp->areas[SSD_GROUP_TMP1].offset,
            t2 = base + gp->areas[SSD_GROUP_TMP2].offset;
  auto xq = [&](int q) { return X + 4u * (u32)(q * rp); };
  auto yq = [&](int q) { return Y + 4u * (u32)(q * cp); };
  for (int q = 0; q < 4; q++) {
    const u64 src = b->cand_box[q] + 4u * (u64)first;
    load_sliced(src, xq(q), &gp->lanes, node);
    tensor_compact_move_gen_cmd(yq(q), 0, src, 1, 1, 1, G, F32, GDMA_VALUE_DIR_S2L, 0, node);
  }
  // Areas: (xmax - xmin) * (ymax - ymin), as rows and as columns.
  atomic_mdscalar_operation_gen_cmd(LT | xq(2), LT | xq(0), LT | xq(4), 1, L, 1, M, MD_SCALAR_SUB, 0, 0, 0, 0, 0,
                                    node);
  atomic_mdscalar_operation_gen_cmd(LT | xq(3), LT | xq(1), LT | t1, 1, L, 1, M, MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  atomic_md_mul_gen_cmd(LT | xq(4), LT | t1, LT | xq(4), 1, L, 1, M, 0, node);
  atomic_mdscalar_operation_gen_cmd(LT | yq(2), LT | yq(0), LT | yq(4), 1, 1, 1, G, MD_SCALAR_SUB, 0, 0, 0, 0, 0,
                                    node);
  atomic_mdscalar_operation_gen_cmd(LT | yq(3), LT | yq(1), LT | t1, 1, 1, 1, G, MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  atomic_md_mul_gen_cmd(LT | yq(4), LT | t1, LT | yq(4), 1, 1, 1, G, 0, node);
  // Overlap along x and y: max(min(max_a, max_b) - max(min_a, min_b), 0).
  const u32 zero = f32_bits(0.0f);
  for (int axis = 0; axis < 2; axis++) {
    const u32 lo = axis == 0 ? iou : t2;
    atomic_vec_correlation_gen_cmd(LT | xq(axis), LT | yq(axis), LT | lo, L, M, G, rows, G, VEC_CORR_MAX, node);
    atomic_vec_correlation_gen_cmd(LT | xq(axis + 2), LT | yq(axis + 2), LT | t1, L, M, G, rows, G, VEC_CORR_MIN,
                                   node);
    atomic_mdscalar_operation_gen_cmd(LT | t1, LT | lo, LT | lo, 1, rows, 1, G, MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
    atomic_md_cmp_gen_cmd(LT | lo, zero, 0, 0, LT | lo, LT | t1, 1, rows, 1, G, 0, 1, 1, 1, 0, zero, 0, 0, 1, node);
  }
  // Intersection, union (raised to 1e-6), IoU.
  atomic_md_mul_gen_cmd(LT | iou, LT | t2, LT | iou, 1, rows, 1, G, 0, node);
  atomic_vec_correlation_gen_cmd(LT | xq(4), LT | yq(4), LT | t1, L, M, G, rows, G, VEC_CORR_ADD, node);
  atomic_mdscalar_operation_gen_cmd(LT | t1, LT | iou, LT | t1, 1, rows, 1, G, MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  const u32 floor_bits = f32_bits(1e-6f);
  atomic_md_cmp_gen_cmd(LT | t1, floor_bits, 0, 0, LT | t1, LT | t2, 1, rows, 1, G, 0, 1, 1, 1, 0, floor_bits, 0, 0,
                        1, node);
  atomic_mdscalar_operation_gen_cmd(LT | iou, LT | t1, LT | iou, 1, rows, 1, G, MD_SCALAR_DIV, 0, 0, 0, 0, 0, node);
}

// One group of classes from g on, G candidates: the IoU matrix on the tensor
// engine, then the keep loop over its rows. A candidate is kept when its IoU
// with every kept candidate of its class is at most the threshold (a NaN
// suppresses); after each kept candidate the threshold is multiplied by eta
// while eta < 1 and the threshold is above 0.5; it restarts with each class.
// Returns the next group's first class.
static i64 nms_group(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 g, i64 G, u64 kept_addr, u64 S_addr,
                     cmd_id_node_t *node) {
  const u8 *B = (const u8 *)ptr_of(b->B, 4u * (u64)(a->nc + 1));
  u8 *S = (u8 *)ptr_of(S_addr, 4u * (u64)(a->nc + 2));
  const i64 first = ldi(B, g);
  u8 *kept = (u8 *)ptr_of(kept_addr, 4u * (u64)(first + G));
  const ssd_group_plan_t gp = ssd_group_plan_of((int)G);
  const u32 base = (u32)local_mem_alloc(gp.bytes, 128);
  iou_matrix(a, b, first, &gp, base, node);
  const u32 iou = base + gp.areas[SSD_GROUP_IOU].offset;
  const u64 rows_addr = dtcm_alloc(4u * (u64)gp.chunk_rows * (u64)G);
  const int cs = gp.columns_plane;
  const int ns = (int)ceil_div((s64)gp.lanes.lanes * gp.lanes.per_lane, NPU_NUM) * cs;
  i64 cls = g;
  float t = a->nms_threshold;
  for (i64 r0 = 0; r0 < G; r0 += gp.chunk_rows) {
    const int R = (int)(G - r0 < gp.chunk_rows ? G - r0 : gp.chunk_rows);
    const u32 from = iou + 4u * (u32)((r0 / NPU_NUM) * cs);
    tensor_general_move_gen_cmd(from, (int)(r0 % NPU_NUM), 1, R, 1, (int)G, ns, cs, (int)G, 1, F32, rows_addr, 0, 1,
                                R, 1, (int)G, R * (int)G, (int)G, (int)G, 1, F32, GDMA_VALUE_DIR_L2S, 0, node);
    poll_all_engine_done(node);
    const u8 *row_base = (const u8 *)ptr_of(rows_addr, 4u * (u64)R * (u64)G);
    for (int r = 0; r < R; r++) {
      const i64 p = first + r0 + r;
      while (p >= ldi(B, cls + 1)) {
        sti(S, cls + 2, ldi(S, cls + 1));
        cls++;
        t = a->nms_threshold;
      }
      const u8 *row = row_base + 4 * (i64)r * G;
      bool keep = true;
      for (i64 k = ldi(S, cls); k < ldi(S, cls + 1) && keep; k++) keep = ldf(row, ldi(kept, k) - first) <= t;
      if (!keep) continue;
      const i64 end = ldi(S, cls + 1);
      sti(kept, end, (i32)p);
      sti(S, cls + 1, (i32)(end + 1));
      if (a->eta < 1.0f && t > 0.5f) t = t * a->eta;
    }
    fix_cmd_node_overflow(node);
  }
  sti(S, cls + 2, ldi(S, cls + 1));
  return cls + 1;
}

// Suppression over every class; S[c] .. S[c+1] - 1 of the kept list are class
// c's kept candidates. Classes are grouped until a group holds more than
// SSD_NMS_GROUP_MIN candidates (or the classes run out), so that one matrix
// serves many small classes. Returns the kept total.
static i64 suppress(const ssd_args_t *a, const ssd_image_bufs_t *b, u64 kept_addr, u64 S_addr, cmd_id_node_t *node) {
  const u8 *B = (const u8 *)ptr_of(b->B, 4u * (u64)(a->nc + 1));
  u8 *S = (u8 *)ptr_of(S_addr, 4u * (u64)(a->nc + 2));
  sti(S, 0, 0);
  sti(S, 1, 0);
  const u64 lmark = local_mem_alloc(0, 1), l2mark = l2sram_alloc(0, 1), dmark = dtcm_alloc(0);
  i64 g = 0;
  for (i64 c = 0; c < a->nc; c++) {
    const i64 G = ldi(B, c + 1) - ldi(B, g);
    if (G > SSD_NMS_GROUP_MIN || (c == a->nc - 1 && G > 0)) {
      g = nms_group(a, b, g, G, kept_addr, S_addr, node);
      local_mem_reset(lmark);
      l2sram_reset(l2mark);
      dtcm_reset(dmark);
    }
  }
  // Every class from the last group start on is empty, also those after the
  // last class with candidates.
  for (i64 k = g; k < a->nc; k++) sti(S, k + 1, ldi(S, k));
  return ldi(S, a->nc);
}

// Fills count f32 of L2 with the value.
static void fill_l2(u64 addr, float value, i64 count, cmd_id_node_t *node) {
  for (i64 done = 0; done < count; done += 65535) {
    const int w = (int)(count - done < 65535 ? count - done : 65535);
    fill_constant_gen_global_cmd_stride(addr + 4u * (u64)done, &value, F32, 1, 1, 1, w, w, w, w, 1, node);
  }
}

// The kept candidates into the result arrays, in class order.
static void gather_results(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 image, i64 T, u64 kept_addr,
                           u64 S_addr, cmd_id_node_t *node) {
  const u64 kept = l2sram_alloc(4u * (u64)T, 512);
  general_gdma_gen_cmd(kept_addr, kept, F32, (int)T, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done(node);
  gde_gather_data_gen_cmd(1, (u32)b->cand_score, (u32)kept, (u32)T, GDE_TYPE_WORD, (u32)b->res[RES_SCORE]);
  for (int q = 0; q < 4; q++)
    gde_gather_data_gen_cmd(1, (u32)b->cand_box[q], (u32)kept, (u32)T, GDE_TYPE_WORD, (u32)b->res[RES_XMIN + q]);
  fill_l2(b->res[RES_IMAGE], (float)image, T, node);
  const u8 *S = (const u8 *)ptr_of(S_addr, 4u * (u64)(a->nc + 1));
  for (i64 c = 0; c < a->nc; c++) {
    const i64 from = ldi(S, c), to = ldi(S, c + 1);
    if (to > from) fill_l2(b->res[RES_LABEL] + 4u * (u64)from, (float)c, to - from, node);
  }
}

// The best K of T results by score (equal scores in class order), then
// ordered by score - label descending (equal keys in score order).
static void cut_to_keep_top_k(const ssd_image_bufs_t *b, i64 T, i64 K, cmd_id_node_t *node) {
  poll_all_engine_done(node);  // the label fills
  u64 tmp[6];  // scores and labels, then the coordinates, in score order
  for (int k = 0; k < 6; k++) tmp[k] = l2sram_alloc(4u * (u64)K, 512);
  const u64 idx1 = l2sram_alloc(4u * (u64)K, 512), key = l2sram_alloc(4u * (u64)K, 512);
  const u64 key_sorted = l2sram_alloc(4u * (u64)K, 512), idx2 = l2sram_alloc(4u * (u64)K, 512);
  cdma_sort_move_cmd(b->res[RES_SCORE], tmp[0], (u32)T, SORT_ORDER_DESCEND, 1, 1, 0, idx1, (u32)K);
  gde_gather_data_gen_cmd(1, (u32)b->res[RES_LABEL], (u32)idx1, (u32)K, GDE_TYPE_WORD, (u32)tmp[1]);
  for (int q = 0; q < 4; q++)
    gde_gather_data_gen_cmd(1, (u32)b->res[RES_XMIN + q], (u32)idx1, (u32)K, GDE_TYPE_WORD, (u32)tmp[2 + q]);
  // key = score - label on the tensor engine, the K values in lane 0.
  const u64 mark = local_mem_alloc(0, 1);
  const u64 kb = 4u * (u64)align_up(K, EU_NUM);
  const u32 s = (u32)local_mem_alloc(kb, 128), l = (u32)local_mem_alloc(kb, 128);
  tensor_compact_move_gen_cmd(s, 0, tmp[0], 1, 1, 1, (int)K, F32, GDMA_VALUE_DIR_S2L, 0, node);
  tensor_compact_move_gen_cmd(l, 0, tmp[1], 1, 1, 1, (int)K, F32, GDMA_VALUE_DIR_S2L, 0, node);
  atomic_mdscalar_operation_gen_cmd(LT | s, LT | l, LT | s, 1, 1, 1, (int)K, MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  tensor_compact_move_gen_cmd(s, 0, key, 1, 1, 1, (int)K, F32, GDMA_VALUE_DIR_L2S, 0, node);
  poll_all_engine_done(node);
  local_mem_reset(mark);
  cdma_sort_move_cmd(key, key_sorted, (u32)K, SORT_ORDER_DESCEND, 1, 1, 0, idx2, (u32)K);
  gde_gather_data_gen_cmd(1, (u32)tmp[0], (u32)idx2, (u32)K, GDE_TYPE_WORD, (u32)b->res[RES_SCORE]);
  gde_gather_data_gen_cmd(1, (u32)tmp[1], (u32)idx2, (u32)K, GDE_TYPE_WORD, (u32)b->res[RES_LABEL]);
  for (int q = 0; q < 4; q++)
    gde_gather_data_gen_cmd(1, (u32)tmp[2 + q], (u32)idx2, (u32)K, GDE_TYPE_WORD, (u32)b->res[RES_XMIN + q]);
}

// The seven result arrays into records total .. total + T - 1, one field per move.
static void write_records(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 total, i64 T, cmd_id_node_t *node) {
  for (int f = 0; f < 7; f++)
    tensor_general_move_gen_cmd(b->res[f], 0, 1, 1, (int)T, 1, (int)T, (int)T, 1, 1, F32,
                                a->output + 28u * (u64)total + 4u * (u64)f, 0, 1, 1, (int)T, 1, 7 * (int)T,
                                7 * (int)T, 7, 1, F32, GDMA_VALUE_DIR_S2S, 0, node);
}

// The image's buffers in L2 SRAM and DTCM, taken in this order.
static void image_bufs_of(const ssd_args_t *a, ssd_image_bufs_t *b) {
  b->box_capacity = align64(2 * a->np);
  // Every kept candidate is a candidate, so the result arrays hold the
  // candidate capacity.
  for (int f = 0; f < 7; f++) b->res[f] = l2sram_alloc(4u * (u64)b->box_capacity, 512);
}

static void candidate_bufs_of(const ssd_args_t *a, ssd_image_bufs_t *b) {
  b->cand_score = l2sram_alloc(4u * (u64)align64(3 * a->np), 512);
  for (int q = 0; q < 4; q++) b->cand_box[q] = l2sram_alloc(4u * (u64)b->box_capacity, 512);
  const u64 slots = 4u * (u64)a->lp.lanes.lanes * (u64)a->lp.lanes.per_lane;
  b->compact = l2sram_alloc(slots, 512);
  b->sidx = l2sram_alloc(slots, 512);
  b->B = dtcm_alloc(4u * (u64)(a->nc + 1));
}

// One image: its locations (decoded when shared) and confidences into local
// memory, the candidates, their suppression, and its records from record
// `total` on. Returns the records written.
static i64 image_step(const ssd_args_t *a, i64 image, i64 total, cmd_id_node_t *node) {
  ssd_image_bufs_t b;
  const u64 np = (u64)a->np;
  image_bufs_of(a, &b);
  if (a->shared) {
    ssd_detect_out_move_to_local_and_tranpose(a->loc + 16u * (u64)image * np, plane_at(a, SSD_AREA_LOC, 0),
                                              (int)a->np, 4, node);
    decode(a, node);
  }
  ssd_detect_out_move_to_local_and_tranpose(a->conf + 4u * (u64)image * np * (u64)a->nc, plane_at(a, SSD_AREA_CONF, 0),
                                            (int)a->np, (int)a->nc, node);
  candidate_bufs_of(a, &b);
  collect_candidates(a, &b, image, node);

  const i64 n = ldi((const u8 *)ptr_of(b.B, 4u * (u64)(a->nc + 1)), a->nc);
  const u64 kept = dtcm_alloc(4u * (u64)(n > 0 ? n : 1));
  const u64 S = dtcm_alloc(4u * (u64)(a->nc + 2));
  const i64 T = suppress(a, &b, kept, S, node);
  const ssd_records_t r = ssd_records_of(a->keep_top_k, T);
  if (r.cut == SSD_RECORDS_NONE) return 0;
  gather_results(a, &b, image, T, kept, S, node);
  if (r.cut == SSD_RECORDS_TOP_K) cut_to_keep_top_k(&b, T, r.records, node);
  write_records(a, &b, total, r.records, node);
  // The next image reuses the result arrays.
  poll_all_engine_done(node);
  return r.records;
}

// No image has a record: one per image, its index and -1 elsewhere.
static void write_no_records(u64 output_addr, int num, cmd_id_node_t *node) {
  const u64 none = dtcm_alloc(28u * (u64)num);
  u8 *r = (u8 *)ptr_of(none, 28u * (u64)num);
  for (i64 i = 0; i < num; i++) {
    stf(r, 7 * i, (float)i);
    for (int q = 1; q < 7; q++) stf(r, 7 * i + q, -1.0f);
  }
  general_gdma_gen_cmd(none, output_addr, F32, 7 * num, GDMA_VALUE_DIR_S2S, node);
}

void nodechip_ssd_detect_out(u64 loc_addr, u64 conf_addr, u64 prior_addr, u64 output_addr, int num, int num_priors,
                             int num_classes, int num_loc_classes, int share_location, int background_label_id,
                             int top_k, int code_type, int keep_top_k, int variance_encoded_in_target,
                             float nms_threshold, float confidence_threshold, float eta, int *count,
                             cmd_id_node_t *node) {
  ASSERT(top_k <= 700);
  local_mem_offset = 0;
  l2sram_offset = SSD_L2_SCRATCH_START;
  dtcm_offset = DTCM_SCRATCH_START;
  ASSERT(num >= 0 && num_priors > 0 && num_classes > 0);
  ASSERT(code_type == SSD_CODE_CENTER_SIZE);
  if (share_location) {
    ASSERT(num_loc_classes == 1);
  } else {
    ASSERT(num_loc_classes > 0);
  }
  ssd_args_t a;
  a.loc = loc_addr;
  a.conf = conf_addr;
  a.output = output_addr;
  a.np = num_priors;
  a.nc = num_classes;
  a.nlc = num_loc_classes;
  a.shared = share_location != 0;
  a.bg = background_label_id;
  a.top_k = top_k;
  a.keep_top_k = keep_top_k;
  a.venc = variance_encoded_in_target != 0;
  a.nms_threshold = nms_threshold;
  a.confidence_threshold = confidence_threshold;
  a.eta = eta;
  // The padding slots score -1: a lower threshold must not let them pass.
  a.use_valid = !(confidence_threshold >= -1.0f);
  a.lp = ssd_local_plan_of(num_priors, num_classes, a.venc, a.use_valid);

  // The priors (and variances) stay in local memory for the whole call.
  local_mem_alloc(a.lp.resident_bytes, 128);
  ssd_detect_out_move_to_local_and_tranpose(prior_addr, plane_at(&a, SSD_AREA_PRIOR, 0), num_priors, 4, node);
  if (!a.venc)
    ssd_detect_out_move_to_local_and_tranpose(prior_addr + 16u * (u64)num_priors, plane_at(&a, SSD_AREA_VARIANCE, 0),
                                              num_priors, 4, node);
  if (a.use_valid) build_valid_plane(&a, node);

  const u64 local_mark = local_mem_alloc(0, 1), l2_mark = l2sram_alloc(0, 1), dtcm_mark = dtcm_alloc(0);
  i64 total = 0;
  for (i64 i = 0; i < num; i++) {
    local_mem_reset(local_mark);
    l2sram_reset(l2_mark);
    dtcm_reset(dtcm_mark);
    if (keep_top_k != 0) total += image_step(&a, i, total, node);
  }
  if (total == 0 && num > 0) {
    dtcm_reset(dtcm_mark);
    write_no_records(output_addr, num, node);
    total = num;
  }
  poll_all_engine_done(node);
  if (count) *count = (int)total;
}
