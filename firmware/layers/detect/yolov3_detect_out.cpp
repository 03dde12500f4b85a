// YOLOv3 detection output: per-cell class maximum, sigmoids, decode and
// threshold on the tensor engine, compaction by masked GDMA moves, CDMA sort
// with an index tie order, class-agnostic greedy NMS (ARM for short lists,
// engine above), keep_top_k cut.
#include "layers/detect/yolov3_detect_out.h"

#include <math.h>
#include <stdlib.h>
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

// ---- Scratch allocators (reset at the start of every pass) ----

static u32 lmem_top = 0;
static u64 l2sram_top = YOLOV3_L2_SCRATCH_START;
static u64 dtcm_offset = DTCM_SCRATCH_START;

static u32 _lmem_alloc(u32 size) {
  const u32 real_size = ALIGN(size, 128u);
  ASSERT(lmem_top + real_size <= (1<<19));
  const u32 res = lmem_top;
  lmem_top += real_size;
  return res;
}

static void _lmem_reset(u32 lmem) {
  ASSERT(lmem < (1<<19));
  lmem_top = lmem;
}

static u64 _l2sram_alloc(u64 size) {
  const u64 real_size = ALIGN(size, (u64)512);
  ASSERT(l2sram_top + real_size <= (0x10000000 + (0x25E000)));
  const u64 res = l2sram_top;
  l2sram_top += real_size;
  return res;
}

static void _l2sram_reset(u64 l2sram) {
  ASSERT(l2sram - 0x10000000 <= 0x400000);
  l2sram_top = l2sram;
}

// 0 when the block would pass the end of the DTCM scratch window.
static u64 _dtcm_alloc(u64 size, u64 align) {
  const u64 start = ALIGN(dtcm_offset, align);
  const u64 real_size = ALIGN(size, align);
  if (start + real_size > (u64)DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE) return 0;
  dtcm_offset = start + real_size;
  return start;
}

static void _dtcm_reset(u64 offset) {
  ASSERT(offset - (0x02000000 + ((((0) + (111*1024+896)) + (128)) + (16*1024))) <= ((384*1024)));
  dtcm_offset = offset;
}

// ---- Small helpers ----

static void *ptr_of(u64 addr, u64 bytes) { return hw_ptr((u32)addr, (u32)bytes); }
static float ldf(const u8 *base, i64 k) {
  float v;
  memcpy(&v, base + 4 * k, 4);
  return v;
}
static u32 LA(u32 offset) { return LOCAL_ADDR_TAG | offset; }

// qsort order of candidate indices: never 0.
static int _cmp_less(const void *a, const void *b) {
  i32 x, y;
  memcpy(&x, a, 4);
  memcpy(&y, b, 4);
  return x < y ? -1 : 1;
}

static i64 cells_of(int input_num, const int *head_shape, int num_boxes) {
  // Capped far above any real list, so that no product wraps.
  const i64 cap = (i64)1 << 40;
  i64 cells = 0;
  for (int k = 0; k < input_num; k++) {
    const i64 h = head_shape[2 * k], w = head_shape[2 * k + 1];
    if (h <= 0 || w <= 0 || num_boxes <= 0) continue;
    const i64 c = h * w < cap / num_boxes ? h * w * num_boxes : cap;
    cells = cells + c < cap ? cells + c : cap;
  }
  return cells;
}

i64 yolov3_detect_out_max_records(int input_num, const int *head_shape, int num_boxes, int keep_top_k) {
  i64 m = cells_of(input_num, head_shape, num_boxes);
  if (keep_top_k > 0 && m > keep_top_k) m = keep_top_k;
  return m > 1 ? m : 1;
}

// ---- Plans ----

static u64 head_usage(yolov3_head_plan_t *p, int chunk) {
  static const char *const names[YOLOV3_AREA_COUNT] = {"raw",  "even", "odd",  "level a", "level b",
                                                       "best", "chunk", "dec", "work",    "mask",
                                                       "out",  "mask6", "ramp", "rows"};
  const u64 P = p->plane_bytes;
  const u64 half = (u64)(chunk + 1) / 2;
  u64 bytes[YOLOV3_AREA_COUNT];
  bytes[YOLOV3_AREA_RAW] = 5 * P;
  bytes[YOLOV3_AREA_EVEN] = half * P;
  bytes[YOLOV3_AREA_ODD] = half * P;
  bytes[YOLOV3_AREA_LEVEL_A] = 2 * half * P;
  bytes[YOLOV3_AREA_LEVEL_B] = 2 * half * P;
  bytes[YOLOV3_AREA_BEST] = 4 * P;
  bytes[YOLOV3_AREA_CHUNK] = 2 * P;
  bytes[YOLOV3_AREA_DEC] = 6 * P;
  bytes[YOLOV3_AREA_WORK] = 2 * P;
  bytes[YOLOV3_AREA_MASK] = P;
  bytes[YOLOV3_AREA_OUT] = 6 * P;
  bytes[YOLOV3_AREA_MASK6] = 6 * P;
  bytes[YOLOV3_AREA_RAMP] = P;
  bytes[YOLOV3_AREA_ROWS] = 4 * EU_NUM;
  return place_local_areas(p->areas, names, bytes, YOLOV3_AREA_COUNT);
}

void yolov3_head_plan_of(yolov3_head_plan_t *p, int h, int w, int num_boxes, int num_classes) {
  memset(p, 0, sizeof(*p));
  p->h = h;
  p->w = w;
  p->num_boxes = num_boxes;
  p->num_classes = num_classes;
  p->cells = w * num_boxes;
  p->plane_bytes = 4u * eu_plane((u32)p->cells);
  p->rows = h < NPU_NUM ? h : NPU_NUM;
  p->steps = (int)ceil_div(h, p->rows);
  // The largest chunk whose areas fit one lane.
  int lo = 0, hi = num_classes < YOLOV3_CLASS_CHUNK_MAX ? num_classes : YOLOV3_CLASS_CHUNK_MAX;
  while (lo < hi) {
    const int mid = (lo + hi + 1) / 2;
    if (head_usage(p, mid) <= LOCAL_MEM_SIZE) lo = mid;
    else hi = mid - 1;
  }
  p->class_chunk = lo;
  p->class_chunks = lo > 0 ? (int)ceil_div(num_classes, lo) : 0;
  p->half = (lo + 1) / 2;
  p->local_mem_usage = head_usage(p, lo > 0 ? lo : 1);
}

void yolov3_nms_plan_of(yolov3_nms_plan_t *p, int n) {
  static const char *const names[YOLOV3_NMS_AREA_COUNT] = {"box", "matrix", "keep", "records", "mask7"};
  nms_block_plan_of(p, n, 7, 7, names);
}

// ---- Per-cell stage ----

typedef struct {
  const u64 *bottom;
  int input_num, num;
  const int *head_shape;
  int num_classes, num_boxes, mask_group, keep_top_k;
  float nms_threshold, confidence_threshold;
  const float *biases, *strides, *mask;
} yolo_args_t;

// One image's candidates: six arrays (class, score, centre x, centre y,
// width, height) of capacity `cap`, filled to n, in head, row, column, anchor
// order.
typedef struct {
  u64 base;
  i64 cap, n;
} yolo_list_t;

// The local offsets of a head step's areas (untagged, lane 0).
typedef struct {
  const yolov3_head_plan_t *p;
  u32 base;
  int R;  // rows of this step
} yolo_step_t;

static u32 area_of(const yolo_step_t *s, int a) { return s->base + s->p->areas[a].offset; }

// Class channels c0 .. c0 + count - 1 of rows r0 .. r0 + R - 1 of one image:
// even channels to the EVEN area, odd ones to the ODD area, one plane each.
static void _yolov3_split_tensor_from_global_c(const yolo_step_t *s, u64 image_base, int r0, int c0, int count,
                                               cmd_id_node_t *node) {
  const yolov3_head_plan_t *p = s->p;
  const int H = p->h, W = p->w, A = p->num_boxes, P = (int)(p->plane_bytes / 4);
  const int plane = H * W, anchor_stride = (p->num_classes + 5) * plane;
  for (int odd = 0; odd < 2; odd++) {
    const int n = (count + 1 - odd) / 2;
    if (n == 0) continue;
    const u64 src = image_base + 4u * ((u64)(5 + c0 + odd) * (u64)plane + (u64)r0 * (u64)W);
    tensor_general_move_gen_cmd(src, 0, n, s->R, A, W, 2 * plane, W, anchor_stride, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                area_of(s, odd ? YOLOV3_AREA_ODD : YOLOV3_AREA_EVEN), 0, n, s->R, A, W, P, P, W, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  }
}

// One operand of the tree: a value plane and an index plane or constant.
typedef struct {
  u32 value, index;
  int index_const;
} yolo_slot_t;

static yolo_slot_t tree_slot(const yolo_step_t *s, int level, int i, int c0) {
  const u32 PB = s->p->plane_bytes;
  yolo_slot_t t;
  if (level == 0) {
    t.value = area_of(s, i % 2 ? YOLOV3_AREA_ODD : YOLOV3_AREA_EVEN) + (u32)(i / 2) * PB;
    t.index = f32_bits((float)(c0 + i));
    t.index_const = 1;
  } else {
    const u32 a = area_of(s, level % 2 ? YOLOV3_AREA_LEVEL_A : YOLOV3_AREA_LEVEL_B);
    t.value = a + (u32)i * PB;
    t.index = a + (u32)(s->p->half + i) * PB;
    t.index_const = 0;
  }
  return t;
}

// The maximum of `count` loaded class planes and its class index, by a
// pairwise tree: each round pairs slots 2i and 2i + 1 with one
// compare-and-select (the higher slot wins only when strictly greater, so
// equal logits keep the lower class) and carries an odd last slot by pairing
// it with itself. The last round writes to out_value and out_index.
static void _yolov3_arg_n_local(const yolo_step_t *s, int c0, int count, u32 out_value, u32 out_index,
                                cmd_id_node_t *node) {
  const int C = s->R, W = s->p->cells;
  int m = count, level = 0;
  do {
    const int next = (m + 1) / 2;
    for (int i = 0; i < next; i++) {
      const yolo_slot_t lo = tree_slot(s, level, 2 * i, c0);
      const yolo_slot_t hi = 2 * i + 1 < m ? tree_slot(s, level, 2 * i + 1, c0) : lo;
      yolo_slot_t out = tree_slot(s, level + 1, i, c0);
      if (next == 1) {
        out.value = out_value;
        out.index = out_index;
      }
      atomic_md_cmp_gen_cmd(LA(hi.value), LA(lo.value), hi.index_const ? 0 : LA(hi.index),
                            lo.index_const ? 0 : LA(lo.index), LA(out.value), LA(out.index), 1, C, 1, W, 0, 0,
                            hi.index_const, lo.index_const, 0, 0, hi.index_const ? hi.index : 0,
                            lo.index_const ? lo.index : 0, 3, node);
    }
    m = next;
    level++;
  } while (m > 1);
}

// The class stage of one step: the best logit into the score plane and its
// class into the class plane of DEC, chunk by chunk (a later chunk wins only
// when strictly greater). Nothing is issued before the head's areas are known
// to fit one lane.
static void _yolov3_arg_c_internal(yolo_step_t *s, u64 image_base, int r0, cmd_id_node_t *node) {
  const yolov3_head_plan_t *p = s->p;
  const u64 local_mem_usage = p->local_mem_usage;
  ASSERT_FS(local_mem_usage <= (1<<19));
  // The head's areas are taken at its first step, once they are known to fit.
  if (r0 == 0) s->base = _lmem_alloc((u32)local_mem_usage);
  const u32 PB = p->plane_bytes, dec = area_of(s, YOLOV3_AREA_DEC);
  const u32 dec_class = dec, dec_score = dec + PB;
  u32 best = area_of(s, YOLOV3_AREA_BEST), other = best + 2 * PB;
  const u32 chunk = area_of(s, YOLOV3_AREA_CHUNK);
  for (int t = 0; t < p->class_chunks; t++) {
    const int c0 = t * p->class_chunk;
    const int count = p->num_classes - c0 < p->class_chunk ? p->num_classes - c0 : p->class_chunk;
    _yolov3_split_tensor_from_global_c(s, image_base, r0, c0, count, node);
    if (p->class_chunks == 1) {
      _yolov3_arg_n_local(s, c0, count, dec_score, dec_class, node);
      return;
    }
    if (t == 0) {
      _yolov3_arg_n_local(s, c0, count, best, best + PB, node);
      continue;
    }
    _yolov3_arg_n_local(s, c0, count, chunk, chunk + PB, node);
    const int last = t + 1 == p->class_chunks;
    const u32 to_value = last ? dec_score : other, to_index = last ? dec_class : other + PB;
    atomic_md_cmp_gen_cmd(LA(chunk), LA(best), LA(chunk + PB), LA(best + PB), LA(to_value), LA(to_index), 1, s->R, 1,
                          p->cells, 0, 0, 0, 0, 0, 0, 0, 0, 3, node);
    const u32 swap = best;
    best = other;
    other = swap;
  }
}

// Sigmoids, score, decode and threshold mask of one step (anchor-major), then
// the six planes and the mask in column-major order.
static void decode_step(const yolo_args_t *a, int k, const yolo_step_t *s, cmd_id_node_t *node) {
  const yolov3_head_plan_t *p = s->p;
  const int R = s->R, CW = p->cells, W = p->w, A = p->num_boxes, P = (int)(p->plane_bytes / 4);
  const u32 PB = p->plane_bytes;
  const u32 raw = area_of(s, YOLOV3_AREA_RAW), dec = area_of(s, YOLOV3_AREA_DEC), work = area_of(s, YOLOV3_AREA_WORK);
  const u32 tx = raw, ty = raw + PB, tw = raw + 2 * PB, obj = raw + 4 * PB;
  const u32 score = dec + PB, cx = dec + 2 * PB, cy = dec + 3 * PB, bw = dec + 4 * PB;
  tensor_sigmoid(tx, tx, work, 2, R, 1, CW, node);
  tensor_sigmoid(obj, obj, work, 1, R, 1, CW, node);
  tensor_sigmoid(score, score, work, 1, R, 1, CW, node);
  atomic_mdscalar_operation_gen_cmd(LA(score), LA(obj), LA(score), 1, R, 1, CW, MD_SCALAR_MUL, 0, 0, 0, 0, 0, node);
  // Centre x = (sigmoid(tx) + column) x (1 / w); centre y the same with the row.
  atomic_mdscalar_operation_gen_cmd(LA(tx), LA(area_of(s, YOLOV3_AREA_RAMP)), LA(cx), 1, R, 1, CW, MD_SCALAR_ADD, 0,
                                    0, 0, 0, 0, node);
  atomic_mdscalar_operation_gen_cmd(LA(cx), 0, LA(cx), 1, R, 1, CW, MD_SCALAR_MUL, 0, 0, 1, 0,
                                    f32_bits(1.0f / (float)p->w), node);
  atomic_md_linear_gen_cmd(LA(ty), LA(area_of(s, YOLOV3_AREA_ROWS)), 0, LA(cy), 1, R, 1, CW, 0, 1, 0,
                           f32_bits(1.0f / (float)p->h), 0, 1, node);
  // Width and height: exp(t) x bias / (extent x stride), per anchor.
  tensor_ex(LA(tw), LA(work), EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, 2, R, 1, CW,
            node);
  const dim4_t sub = {1, R, 1, W}, st = {P, P, W, 1};
  for (int j = 0; j < A; j++) {
    const u32 m = (u32)a->mask[k * a->mask_group + j];
    for (int q = 0; q < 2; q++) {
      const u32 from = LA(tw + (u32)q * PB + 4u * (u32)(j * W)), to = LA(bw + (u32)q * PB + 4u * (u32)(j * W));
      const float extent = (float)(q ? p->h : p->w) * a->strides[k];
      atomic_tensor_arithmetic_gen_cmd(from, 0, to, &sub, 0, 0, 0, &st, &st, &st, TENSOR_OP_MUL, 0, 0, 0, 1,
                                       f32_bits(a->biases[2 * m + (u32)q]), 0, node);
      atomic_tensor_arithmetic_gen_cmd(to, 0, to, &sub, 0, 0, 0, &st, &st, &st, TENSOR_OP_DIV, 0, 0, 0, 1,
                                       f32_bits(extent), 0, node);
    }
  }
  const u32 mask = area_of(s, YOLOV3_AREA_MASK);
  atomic_md_cmp_gen_cmd(LA(score), f32_bits(a->confidence_threshold), 0, 0, 0, LA(mask), 1, R, 1, CW, 0, 1, 1, 1, 0,
                        f32_bits(a->confidence_threshold), f32_bits(1.0f), 0, 2, node);
  // (anchor, column) to (column, anchor): the compaction's order.
  const dim4_t six = {6, R, A, W}, from_st = {P, P, W, 1}, to_st = {P, P, 1, A}, mask_st = {0, P, W, 1};
  atomic_tensor_copy_gen_cmd(LA(dec), LA(area_of(s, YOLOV3_AREA_OUT)), &six, &from_st, &to_st, node);
  atomic_tensor_copy_gen_cmd(LA(mask), LA(area_of(s, YOLOV3_AREA_MASK6)), &six, &mask_st, &to_st, node);
}

// Head f of image `image` (pass image b): every step's candidates compacted
// by a masked move and appended to the image's list.
static void _yolov3_preprocess_and_filter(const yolo_args_t *a, int f, int b, i64 image,
                                          const yolov3_head_plan_t *p, yolo_list_t *list, cmd_id_node_t *node) {
  const int H = p->h, W = p->w, A = p->num_boxes, CW = p->cells, P = (int)(p->plane_bytes / 4);
  const u64 image_base = a->bottom[f] + 4u * (u64)image * (u64)A * (u64)(a->num_classes + 5) * (u64)H * (u64)W;
  const u64 l2_mark = l2sram_top, dtcm_mark = dtcm_offset;
  _lmem_reset(0);
  yolo_step_t s = {p, 0, p->rows};
  // Column ramp (anchor-major) and row numbers, broadcast to the lanes.
  const u64 ramp = _l2sram_alloc(4u * (u64)CW), rows = _l2sram_alloc(4u * (u64)H);
  {
    u8 *r = (u8 *)ptr_of(ramp, 4u * (u64)CW);
    for (int j = 0; j < A; j++)
      for (int x = 0; x < W; x++) {
        const float v = (float)x;
        memcpy(r + 4 * (j * W + x), &v, 4);
      }
    u8 *q = (u8 *)ptr_of(rows, 4u * (u64)H);
    for (int y = 0; y < H; y++) {
      const float v = (float)y;
      memcpy(q + 4 * y, &v, 4);
    }
  }
  // The compacted six values of a step: DTCM when it holds them, else L2.
  const u64 seg_bytes = 6u * 4u * (u64)p->rows * (u64)CW;
  u64 l2sram_filtered_params[YOLOV3_MAX_HEADS][16][1];
  l2sram_filtered_params[f][b][0] = _dtcm_alloc(seg_bytes, 512);
  if (!l2sram_filtered_params[f][b][0] && l2sram_top + ALIGN(seg_bytes, (u64)512) <= YOLOV3_L2_SCRATCH_END)
    l2sram_filtered_params[f][b][0] = _l2sram_alloc(seg_bytes);
  ASSERT(l2sram_filtered_params[f][b][0]);
  const u64 seg = l2sram_filtered_params[f][b][0];
  for (int r0 = 0; r0 < H; r0 += p->rows) {
    s.R = H - r0 < p->rows ? H - r0 : p->rows;
    _yolov3_arg_c_internal(&s, image_base, r0, node);
    if (r0 == 0)
      tensor_general_move_gen_cmd(ramp, 0, 1, p->rows, 1, CW, 0, 0, CW, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                  area_of(&s, YOLOV3_AREA_RAMP), 0, 1, p->rows, 1, CW, P, P, CW, 1,
                                  GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
    tensor_general_move_gen_cmd(rows + 4u * (u64)r0, 0, 1, s.R, 1, 1, s.R, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                area_of(&s, YOLOV3_AREA_ROWS), 0, 1, s.R, 1, 1, EU_NUM, 1, 1, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
    // tx, ty, tw, th, objectness: channel stride h x w, anchor stride the block.
    tensor_general_move_gen_cmd(image_base + 4u * (u64)r0 * (u64)W, 0, 5, s.R, A, W, H * W, W,
                                (a->num_classes + 5) * H * W, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                area_of(&s, YOLOV3_AREA_RAW), 0, 5, s.R, A, W, P, P, W, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2L, 0, node);
    decode_step(a, f, &s, node);
    tensor_general_move_with_mask_gen_cmd(area_of(&s, YOLOV3_AREA_OUT), 0, area_of(&s, YOLOV3_AREA_MASK6), seg, 6,
                                          s.R, 1, CW, GDMA_VALUE_DIR_L2S, node);
    const i64 n = get_gdma_filter_res_num_gen_cmd(node) / 6;
    if (n > 0) {
      const u8 *from = (const u8 *)ptr_of(seg, 24u * (u64)n);
      u8 *to = (u8 *)ptr_of(list->base, 24u * (u64)list->cap);
      for (int q = 0; q < 6; q++) memcpy(to + 4 * (q * list->cap + list->n), from + 4 * q * n, (size_t)(4 * n));
      list->n += n;
    }
    fix_cmd_node_overflow(node);
  }
  _l2sram_reset(l2_mark);
  _dtcm_reset(dtcm_mark);
}

// ---- NMS ----

// IoU of two boxes of a field-major list (fields 3..6 at stride S); NaN when
// the union is 0.
static float yolo_iou(const u8 *rec, i64 S, i64 p, i64 q) {
  const float acx = ldf(rec, 3 * S + p), acy = ldf(rec, 4 * S + p), aw = ldf(rec, 5 * S + p), ah = ldf(rec, 6 * S + p);
  const float bcx = ldf(rec, 3 * S + q), bcy = ldf(rec, 4 * S + q), bw = ldf(rec, 5 * S + q), bh = ldf(rec, 6 * S + q);
  const float ax0 = acx - aw * 0.5f, ax1 = acx + aw * 0.5f, ay0 = acy - ah * 0.5f, ay1 = acy + ah * 0.5f;
  const float bx0 = bcx - bw * 0.5f, bx1 = bcx + bw * 0.5f, by0 = bcy - bh * 0.5f, by1 = bcy + bh * 0.5f;
  const float ow = (ax1 < bx1 ? ax1 : bx1) - (ax0 > bx0 ? ax0 : bx0);
  const float oh = (ay1 < by1 ? ay1 : by1) - (ay0 > by0 ? ay0 : by0);
  const float inter = (ow < 0 || oh < 0) ? 0.0f : ow * oh;
  return inter / (aw * ah + bw * bh - inter);
}

// Pairwise overlap of a block's rows (boxes b0 ..) against boxes 0 .. cols - 1:
// intersection into matrix 0 (matrices 1 to 3 are overwritten).
static void _yolov3_box_intersection(u32 box, u32 vec_bytes, u32 mat, u32 mat_bytes, int b0, int rows, int cols,
                                     cmd_id_node_t *node) {
  nms_block_intersection(box, vec_bytes, mat, mat_bytes, b0, rows, cols, 0, node);
}

// Greedy NMS of the n sorted boxes of `rec` (seven field arrays at stride S)
// on the engines; the kept records are compacted into `out` (seven arrays
// of m, m returned).
static i64 _yolov3_do_nms(u64 rec, i64 S, i64 n, float thr, u64 out, cmd_id_node_t *node) {
  yolov3_nms_plan_t p;
  yolov3_nms_plan_of(&p, (int)n);
  _lmem_reset(0);
  const u32 base = _lmem_alloc((u32)(p.local_mem_usage < (1u << 20) ? p.local_mem_usage : (1u << 20)));
  const u32 box = base + p.areas[YOLOV3_NMS_AREA_BOX].offset, mat = base + p.areas[YOLOV3_NMS_AREA_MATRIX].offset;
  const u32 keep = base + p.areas[YOLOV3_NMS_AREA_KEEP].offset;
  const u32 VB = 4u * (u32)p.vec;
  const int N = (int)n;
  // Vectors: x1, y1, x2 (the centre x first), y2, half w, half h, area.
  tensor_general_move_gen_cmd(rec + 12u * (u64)S, 0, 4, 1, 1, N, (int)S, (int)S, N, 1, GDMA_VALUE_FORMAT_FLOAT32,
                              box + 2 * VB, 0, 4, 1, 1, N, p.vec, p.vec, N, 1, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_S2L, 0, node);
  atomic_mdscalar_operation_gen_cmd(LA(box + 4 * VB), LA(box + 5 * VB), LA(box + 6 * VB), 1, 1, 1, N, MD_SCALAR_MUL,
                                    0, 0, 0, 0, 0, node);
  atomic_mdscalar_operation_gen_cmd(LA(box + 4 * VB), 0, LA(box + 4 * VB), 2, 1, 1, N, MD_SCALAR_MUL, 0, 0, 1, 0,
                                    f32_bits(0.5f), node);
  atomic_mdscalar_operation_gen_cmd(LA(box + 2 * VB), LA(box + 4 * VB), LA(box), 2, 1, 1, N, MD_SCALAR_SUB, 0, 0, 0,
                                    0, 0, node);
  atomic_mdscalar_operation_gen_cmd(LA(box + 2 * VB), LA(box + 4 * VB), LA(box + 2 * VB), 2, 1, 1, N, MD_SCALAR_ADD,
                                    0, 0, 0, 0, 0, node);
  // The kept boxes (ARM list) and the keep flags of all boxes (L2, zero past n).
  const i64 padded = (i64)p.lanes * p.per_lane;
  u64 kept_list = _dtcm_alloc(4u * (u64)n, 4);
  if (!kept_list) kept_list = _l2sram_alloc(4u * (u64)n);
  const u64 flags = _l2sram_alloc(4u * (u64)padded);
  const u32 zero = 0;
  fill_constant_gen_global_cmd_stride(flags, &zero, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, (int)padded, (int)padded,
                                      (int)padded, (int)padded, 1, node);
  i64 kept = 0;
  for (int b0 = 0; b0 < N; b0 += p.block_rows) {
    const int rows = N - b0 < p.block_rows ? N - b0 : p.block_rows, cols = b0 + rows;
    const u32 cs = eu_plane((u32)cols), mat_bytes = 4u * cs * lane_rows(0, (u32)rows);
    _yolov3_box_intersection(box, VB, mat, mat_bytes, b0, rows, cols, node);
    nms_block_divide_by_union(box + 6 * VB, mat, mat_bytes, b0, rows, cols, node);
    // Keep matrix (1) = 1 - (IoU > thr or IoU == thr): a NaN IoU keeps, as on the ARM.
    atomic_md_cmp_gen_cmd(LA(mat), f32_bits(thr), 0, 0, 0, LA(mat + 2 * mat_bytes), 1, rows, 1, cols, 0, 1, 1, 1, 0,
                          f32_bits(thr), f32_bits(1.0f), 0, 2, node);
    const dim4_t shape = {1, rows, 1, cols}, dflt = {-1, 0, 0, 0};
    atomic_tensor_arithmetic_issue_select_gen_cmd(LA(mat), 0, LA(mat + 3 * mat_bytes), &shape, 0, 0, 0, &dflt, &dflt,
                                                  &dflt, TENSOR_OP_EQ_ASSIGN, 0, 0, 0, 1, f32_bits(thr), f32_bits(1.0f), 0,
                                                  node);
    atomic_md_cmp_gen_cmd(LA(mat + 2 * mat_bytes), LA(mat + 3 * mat_bytes), 0, 0, LA(mat + mat_bytes), 0, 1, rows, 1,
                          cols, 0, 0, 1, 1, 0, 0, 0, 0, 1, node);
    atomic_mdscalar_operation_gen_cmd(0, LA(mat + mat_bytes), LA(mat + mat_bytes), 1, rows, 1, cols, MD_SCALAR_SUB, 0,
                                      1, 0, f32_bits(1.0f), 0, node);
    const u32 K = mat + mat_bytes;
    local_fill_const_gen_cmd(LA(keep), 1, rows, 1, 1, f32_bits(1.0f), node);
    // One command applies a kept box j to every row at once.
    nms_block_apply_kept(keep, K, cs, rows, kept_list, kept, node);
    for (int r = 0; r < rows; r++) {
      if (!nms_block_row_kept(keep, r, node)) continue;
      const i32 i = b0 + r;
      memcpy((u8 *)ptr_of(kept_list + 4u * (u64)kept, 4), &i, 4);
      kept++;
      // Box i suppresses the later rows of the block.
      if (r + 1 < rows) nms_block_suppress_later(keep, K, cs, rows, r, i, node);
      fix_cmd_node_overflow(node);
    }
    nms_block_store_flags(keep, flags, b0, rows, node);
  }
  // Compaction of the seven fields through the flags, box q in lane q / per_lane.
  return nms_block_compact(&p, base, rec, S, flags, 7, out, node);
}

// Sort, tie order, NMS and cut of one image's list; the kept records go to
// the output at record `at`. Returns their number.
static i64 finish_image(const yolo_args_t *a, const yolo_list_t *list, float image, u64 top_addr, i64 at,
                        cmd_id_node_t *node) {
  const i64 n = list->n;
  if (n == 0) return 0;
  const u64 cap = (u64)list->cap;
  const u64 sorted = _l2sram_alloc(4u * (u64)n), idx = _l2sram_alloc(4u * (u64)n);
  cdma_sort_move_cmd(list->base + 4u * cap, sorted, (u32)n, SORT_ORDER_DESCEND, 1, 1, 0, idx, (u32)n);
  const u8 *keys = (const u8 *)ptr_of(sorted, 4u * (u64)n);
  u8 *order = (u8 *)ptr_of(idx, 4u * (u64)n);
  // Runs of equal scores in candidate order.
  for (i64 i = 0; i < n;) {
    i64 e = i + 1;
    while (e < n && ldf(keys, e) == ldf(keys, i)) e++;
    if (e - i > 1) qsort(order + 4 * i, (size_t)(e - i), 4, _cmp_less);
    i = e;
  }
  // Seven field arrays in sorted order, stride S (room for the engine NMS's
  // lane layout past n).
  const i64 lanes = n < NPU_NUM ? n : NPU_NUM;
  const i64 S = align_up(lanes * ceil_div(n, lanes), 128);
  const u64 rec = _l2sram_alloc(28u * (u64)S);
  u32 image_bits = f32_bits(image);
  fill_constant_gen_global_cmd_stride(rec, &image_bits, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, (int)n, (int)n, (int)n,
                                      (int)n, 1, node);
  for (u32 q = 0; q < 6; q++)
    gde_gather_data_gen_cmd(1, (u32)(list->base + 4u * q * cap), (u32)idx, (u32)n, GDE_TYPE_WORD,
                            (u32)(rec + 4u * (q + 1) * (u64)S));
  u64 out;
  i64 stride, m = 0;
  const u64 dtcm = n <= YOLOV3_ARM_NMS_MAX ? _dtcm_alloc(2u * 28u * (u64)n, 4) : 0;
  if (dtcm) {
    // The ARM's NMS: the fields in DTCM, a keep bit per box, compaction in place.
    tensor_general_move_gen_cmd(rec, 0, 7, 1, 1, (int)n, (int)S, (int)n, (int)n, 1, GDMA_VALUE_FORMAT_FLOAT32, dtcm, 0,
                                7, 1, 1, (int)n, (int)n, (int)n, (int)n, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2S, 0, node);
    poll_all_engine_done(node);
    u8 *d = (u8 *)ptr_of(dtcm, 28u * (u64)n);
    u32 bits[(YOLOV3_ARM_NMS_MAX + 31) / 32];
    for (u32 w = 0; w < (u32)((n + 31) / 32); w++) bits[w] = 0xffffffffu;
    for (i64 i = 0; i + 1 < n; i++) {
      if (!(bits[i / 32] >> (i % 32) & 1)) continue;
      for (i64 j = i + 1; j < n; j++)
        if ((bits[j / 32] >> (j % 32) & 1) && yolo_iou(d, n, i, j) >= a->nms_threshold)
          bits[j / 32] &= ~(1u << (j % 32));
    }
    for (i64 i = 0; i < n; i++) {
      if (!(bits[i / 32] >> (i % 32) & 1)) continue;
      for (int q = 0; q < 7; q++) memmove(d + 4 * (q * n + m), d + 4 * (q * n + i), 4);
      m++;
    }
    out = dtcm;
    stride = n;
  } else {
    out = _l2sram_alloc(28u * (u64)n);
    m = _yolov3_do_nms(rec, S, n, a->nms_threshold, out, node);
    stride = m;
  }
  if (a->keep_top_k > 0 && m > a->keep_top_k) m = a->keep_top_k;
  if (m > 0)
    // Field-major arrays to records: one move exchanging N (field) and C (box).
    tensor_general_move_gen_cmd(out, 0, 7, (int)m, 1, 1, (int)stride, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                top_addr + 28u * (u64)at, 0, (int)m, 7, 1, 1, 7, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2S, 1, node);
  poll_all_engine_done(node);
  return m;
}

void nodechip_yolov3_detect_out(const u64 *bottom_addrs, u64 top_addr, int input_num, int num, const int *head_shape,
                                int num_classes, int num_boxes, int mask_group, int keep_top_k, float nms_threshold,
                                float confidence_threshold, const float *biases, const float *strides,
                                const float *mask, int *count, cmd_id_node_t *node) {
  // The heads, anchors and mask entries index fixed tables: bound them.
  ASSERT(input_num >= 0 && input_num <= YOLOV3_MAX_HEADS);
  ASSERT(num >= 0 && num_classes > 0 && num_boxes > 0);
  for (int k = 0; k < input_num; k++) {
    ASSERT(head_shape[2 * k] > 0 && head_shape[2 * k + 1] > 0, "head %d", k);
    for (int j = 0; j < num_boxes; j++) {
      const i64 e = (i64)k * mask_group + j;
      ASSERT(e >= 0 && e < YOLOV3_MAX_ANCHORS, "head %d anchor %d", k, j);
      ASSERT(mask[e] >= 0.0f && mask[e] < (float)YOLOV3_MAX_ANCHORS, "mask[%d]", (int)e);
    }
  }
  yolo_args_t a = {bottom_addrs, input_num, num, head_shape, num_classes, num_boxes, mask_group, keep_top_k,
                   nms_threshold, confidence_threshold, biases, strides, mask};
  yolov3_head_plan_t plans[YOLOV3_MAX_HEADS];
  for (int k = 0; k < input_num; k++)
    yolov3_head_plan_of(&plans[k], head_shape[2 * k], head_shape[2 * k + 1], num_boxes, num_classes);
  const int B = input_num > 0 && head_shape[0] == 19 ? 8 : 16;
  const i64 cells = cells_of(input_num, head_shape, num_boxes);
  const i64 cap = align_up(cells > 0 ? cells : 1, 128);
  i64 total = 0;
  for (i64 p0 = 0; p0 < num; p0 += B) {
    _lmem_reset(0);
    _l2sram_reset(YOLOV3_L2_SCRATCH_START);
    _dtcm_reset(DTCM_SCRATCH_START);
    const i64 images = num - p0 < B ? num - p0 : B;
    i64 pass = 0;
    for (i64 b = 0; b < images; b++) {
      const u64 mark = l2sram_top, dtcm_mark = dtcm_offset;
      yolo_list_t list = {_l2sram_alloc(24u * (u64)cap), cap, 0};
      for (int k = 0; k < input_num; k++)
        _yolov3_preprocess_and_filter(&a, k, (int)b, p0 + b, &plans[k], &list, node);
      pass += finish_image(&a, &list, (float)(p0 + b), top_addr, total + pass, node);
      _l2sram_reset(mark);
      _dtcm_reset(dtcm_mark);
    }
    if (pass == 0) {
      const u64 dtcm_out = _dtcm_alloc(28u * (u64)images, 4);
      ASSERT(dtcm_out);
      u8 *r = (u8 *)ptr_of(dtcm_out, 28u * (u64)images);
      for (i64 b = 0; b < images; b++) {
        const float v[7] = {(float)(p0 + b), -1, -1, -1, -1, -1, -1};
        memcpy(r + 28 * b, v, 28);
      }
      general_gdma_gen_cmd(dtcm_out, top_addr + 28u * (u64)total, GDMA_VALUE_FORMAT_FLOAT32, (int)(7 * images),
                           GDMA_VALUE_DIR_S2S, node);
      poll_all_engine_done(node);
      pass = images;
    }
    total += pass;
  }
  poll_all_engine_done(node);
  if (count) *count = (int)total;
}
