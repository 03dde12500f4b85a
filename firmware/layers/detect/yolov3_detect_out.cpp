// YOLOv3 detection output: best class and decode per cell and anchor, CDMA
// sort with an index tie order, class-agnostic greedy NMS, keep_top_k cut.
#include "layers/detect/yolov3_detect_out.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cmd/cdma_sort.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// ---- Scratch allocators (reset at the start of every pass) ----

static u64 l2sram_top = YOLOV3_L2_SCRATCH_START;
static u64 dtcm_offset = DTCM_SCRATCH_START;

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
  const u64 real_size = ALIGN(size, align);
  if (dtcm_offset + real_size > (u64)DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE) return 0;
  const u64 res = dtcm_offset;
  dtcm_offset += real_size;
  return res;
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
static void stf(u8 *base, i64 k, float v) { memcpy(base + 4 * k, &v, 4); }
static i32 ldi(const u8 *base, i64 k) {
  i32 v;
  memcpy(&v, base + 4 * k, 4);
  return v;
}
static float sigmoid_f(float x) { return 1.0f / (1.0f + expf(-x)); }

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

typedef struct {
  const u64 *bottom;
  int input_num, num;
  const int *head_shape;
  int num_classes, num_boxes, mask_group, keep_top_k;
  float nms_threshold, confidence_threshold;
  const float *biases, *strides, *mask;
} yolo_args_t;

// One image's candidates: score array and 7-value records (image, class,
// score, centre x, centre y, width, height), in head, row, column, anchor order.
typedef struct {
  u64 score, rec;
  i64 n;
} yolo_list_t;

// Best class, score and decode of every cell and anchor of head k for image
// `image`, appending those above the threshold to the list. Rows are staged
// in L2 in chunks of all anchors' channels.
static void filter_head(const yolo_args_t *a, int k, i64 image, yolo_list_t *list, cmd_id_node_t *node) {
  const i64 H = a->head_shape[2 * k], W = a->head_shape[2 * k + 1];
  const i64 C5 = (i64)a->num_classes + 5, A = a->num_boxes;
  const i64 plane = H * W, anchor_block = C5 * plane;
  const u64 base = a->bottom[k] + 4u * (u64)(image * A * anchor_block);
  const u64 mark = l2sram_top;
  const u64 budget = (0x10000000 + (0x25E000)) - mark;
  i64 R = (i64)(budget / (4u * (u64)(A * C5 * W)));
  if (R > H) R = H;
  if (R < 1) R = 1;  // the allocation below then reports the shortfall
  const u64 stage = _l2sram_alloc(4u * (u64)(A * C5 * R * W));
  for (i64 r0 = 0; r0 < H; r0 += R) {
    const i64 rows = H - r0 < R ? H - r0 : R;
    tensor_general_move_gen_cmd(base + 4u * (u64)(r0 * W), 0, (int)A, (int)C5, (int)rows, (int)W, (int)anchor_block,
                                (int)plane, (int)W, 1, GDMA_VALUE_FORMAT_FLOAT32, stage, 0, (int)A, (int)C5,
                                (int)rows, (int)W, (int)(C5 * rows * W), (int)(rows * W), (int)W, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0, node);
    poll_all_engine_done(node);
    const u8 *s = (const u8 *)ptr_of(stage, 4u * (u64)(A * C5 * rows * W));
    for (i64 r = 0; r < rows; r++)
      for (i64 x = 0; x < W; x++)
        for (i64 j = 0; j < A; j++) {
          // Channel ch of anchor j at (r, x).
          const i64 at = j * C5 * rows * W + r * W + x, cs = rows * W;
          float best = ldf(s, at + 5 * cs);
          i64 cls = 0;
          for (i64 c = 1; c < a->num_classes; c++) {
            const float v = ldf(s, at + (5 + c) * cs);
            if (v > best) {
              best = v;
              cls = c;
            }
          }
          const float sc = sigmoid_f(best) * sigmoid_f(ldf(s, at + 4 * cs));
          if (!(sc > a->confidence_threshold)) continue;
          const u32 m = (u32)a->mask[k * a->mask_group + j];
          const float cx = (sigmoid_f(ldf(s, at)) + (float)x) * (1.0f / (float)W);
          const float cy = (sigmoid_f(ldf(s, at + cs)) + (float)(r0 + r)) * (1.0f / (float)H);
          const float bw = expf(ldf(s, at + 2 * cs)) * a->biases[2 * m] / ((float)W * a->strides[k]);
          const float bh = expf(ldf(s, at + 3 * cs)) * a->biases[2 * m + 1] / ((float)H * a->strides[k]);
          u8 *score = (u8 *)ptr_of(list->score, 4u * (u64)(list->n + 1));
          u8 *rec = (u8 *)ptr_of(list->rec, 28u * (u64)(list->n + 1));
          const float v[7] = {(float)image, (float)cls, sc, cx, cy, bw, bh};
          stf(score, list->n, sc);
          memcpy(rec + 28 * list->n, v, 28);
          list->n++;
        }
    fix_cmd_node_overflow(node);
  }
  _l2sram_reset(mark);
}

// IoU of two centre-size records; NaN when the union is 0.
static float yolo_iou(const u8 *rec, i64 p, i64 q) {
  float a[4], b[4];
  memcpy(a, rec + 28 * p + 12, 16);
  memcpy(b, rec + 28 * q + 12, 16);
  const float ax0 = a[0] - a[2] * 0.5f, ax1 = a[0] + a[2] * 0.5f, ay0 = a[1] - a[3] * 0.5f, ay1 = a[1] + a[3] * 0.5f;
  const float bx0 = b[0] - b[2] * 0.5f, bx1 = b[0] + b[2] * 0.5f, by0 = b[1] - b[3] * 0.5f, by1 = b[1] + b[3] * 0.5f;
  float ow = (ax1 < bx1 ? ax1 : bx1) - (ax0 > bx0 ? ax0 : bx0);
  float oh = (ay1 < by1 ? ay1 : by1) - (ay0 > by0 ? ay0 : by0);
  const float inter = (ow < 0 || oh < 0) ? 0.0f : ow * oh;
  return inter / (a[2] * a[3] + b[2] * b[3] - inter);
}

// Sort, tie order, NMS and cut of one image's list; the kept records go to
// the output at record `at`. Returns their number.
static i64 finish_image(const yolo_args_t *a, const yolo_list_t *list, u64 top_addr, i64 at, cmd_id_node_t *node) {
  const i64 n = list->n;
  if (n == 0) return 0;
  const u64 sorted = _l2sram_alloc(4u * (u64)n), idx = _l2sram_alloc(4u * (u64)n);
  const u64 flags = _l2sram_alloc((u64)n), out = _l2sram_alloc(28u * (u64)n);
  cdma_sort_move_cmd(list->score, sorted, (u32)n, SORT_ORDER_DESCEND, 1, 1, 0, idx, (u32)n);
  const u8 *keys = (const u8 *)ptr_of(sorted, 4u * (u64)n);
  u8 *order = (u8 *)ptr_of(idx, 4u * (u64)n);
  // Runs of equal scores in candidate order.
  for (i64 i = 0; i < n;) {
    i64 e = i + 1;
    while (e < n && ldf(keys, e) == ldf(keys, i)) e++;
    if (e - i > 1) qsort(order + 4 * i, (size_t)(e - i), 4, _cmp_less);
    i = e;
  }
  const u8 *rec = (const u8 *)ptr_of(list->rec, 28u * (u64)n);
  u8 *keep = (u8 *)ptr_of(flags, (u64)n);
  memset(keep, 1, (u32)n);
  for (i64 i = 0; i + 1 < n; i++) {
    if (!keep[i]) continue;
    for (i64 j = i + 1; j < n; j++)
      if (keep[j] && yolo_iou(rec, ldi(order, i), ldi(order, j)) >= a->nms_threshold) keep[j] = 0;
  }
  u8 *o = (u8 *)ptr_of(out, 28u * (u64)n);
  i64 m = 0;
  for (i64 i = 0; i < n; i++)
    if (keep[i]) memcpy(o + 28 * m++, rec + 28 * (i64)ldi(order, i), 28);
  if (a->keep_top_k > 0 && m > a->keep_top_k) m = a->keep_top_k;
  general_gdma_gen_cmd(out, top_addr + 28u * (u64)at, GDMA_VALUE_FORMAT_FLOAT32, (int)(7 * m), GDMA_VALUE_DIR_S2S,
                       node);
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
  const int B = input_num > 0 && head_shape[0] == 19 ? 8 : 16;
  const i64 cells = cells_of(input_num, head_shape, num_boxes);
  i64 total = 0;
  for (i64 p0 = 0; p0 < num; p0 += B) {
    _l2sram_reset(YOLOV3_L2_SCRATCH_START);
    _dtcm_reset(DTCM_SCRATCH_START);
    const i64 images = num - p0 < B ? num - p0 : B;
    i64 pass = 0;
    for (i64 b = 0; b < images; b++) {
      const u64 mark = l2sram_top;
      yolo_list_t list = {_l2sram_alloc(4u * (u64)(cells > 0 ? cells : 1)),
                          _l2sram_alloc(28u * (u64)(cells > 0 ? cells : 1)), 0};
      for (int k = 0; k < input_num; k++) filter_head(&a, k, p0 + b, &list, node);
      pass += finish_image(&a, &list, top_addr, total + pass, node);
      _l2sram_reset(mark);
    }
    if (pass == 0) {
      const u64 dtcm_out = _dtcm_alloc(28u * (u64)images, 4);
      ASSERT(dtcm_out);
      u8 *r = (u8 *)ptr_of(dtcm_out, 28u * (u64)images);
      for (i64 b = 0; b < images; b++) {
        stf(r, 7 * b, (float)(p0 + b));
        for (int q = 1; q < 7; q++) stf(r, 7 * b + q, -1.0f);
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
