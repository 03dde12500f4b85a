// SSD detection output: per-class filter, CDMA sort, GDE gather of the decoded
// boxes, adaptive per-class NMS and the per-image keep_top_k cut.
#include "layers/detect/ssd_detect_out.h"

#include <math.h>
#include <string.h>

#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// ---- Scratch allocators (cursors reset at the start of every call) ----

static u64 l2sram_offset = SSD_L2_SCRATCH_START;
static u64 dtcm_offset = DTCM_SCRATCH_START;

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

// The arguments of one call, once checked.
typedef struct {
  u64 loc, conf, output;
  i64 np, nc, nlc;
  int shared, bg, top_k, keep_top_k, venc;
  float nms_threshold, confidence_threshold, eta;
  const u8 *prior;  // L2: boxes, then (unless venc) variances
} ssd_args_t;

// Decodes the n priors' offsets at `loc` (4 f32 each, dense) into corner boxes
// at `boxes` (4 f32 each).
static void decode_center_size(const ssd_args_t *a, const u8 *loc, u8 *boxes) {
  for (i64 j = 0; j < a->np; j++) {
    const float pxmin = ldf(a->prior, 4 * j), pymin = ldf(a->prior, 4 * j + 1);
    const float pxmax = ldf(a->prior, 4 * j + 2), pymax = ldf(a->prior, 4 * j + 3);
    float l[4];
    for (int k = 0; k < 4; k++) {
      l[k] = ldf(loc, 4 * j + k);
      if (!a->venc) l[k] = l[k] * ldf(a->prior, 4 * a->np + 4 * j + k);
    }
    const float pw = pxmax - pxmin, ph = pymax - pymin;
    const float pcx = (pxmin + pxmax) * 0.5f, pcy = (pymin + pymax) * 0.5f;
    const float cx = l[0] * pw + pcx, cy = l[1] * ph + pcy;
    const float w = expf(l[2]) * pw, h = expf(l[3]) * ph;
    const float xmin = cx - 0.5f * w, ymin = cy - 0.5f * h;
    stf(boxes, 4 * j, xmin);
    stf(boxes, 4 * j + 1, ymin);
    stf(boxes, 4 * j + 2, xmin + w);
    stf(boxes, 4 * j + 3, ymin + h);
  }
}

static float max_f(float a, float b) { return a > b ? a : b; }
static float min_f(float a, float b) { return a < b ? a : b; }

// IoU of two corner boxes; the union is raised to 1e-6 so that boxes of zero
// area give 0, not NaN.
static float box_iou(const u8 *boxes, i64 p, i64 q) {
  const float ax0 = ldf(boxes, 4 * p), ay0 = ldf(boxes, 4 * p + 1), ax1 = ldf(boxes, 4 * p + 2),
              ay1 = ldf(boxes, 4 * p + 3);
  const float bx0 = ldf(boxes, 4 * q), by0 = ldf(boxes, 4 * q + 1), bx1 = ldf(boxes, 4 * q + 2),
              by1 = ldf(boxes, 4 * q + 3);
  const float area_a = (ax1 - ax0) * (ay1 - ay0), area_b = (bx1 - bx0) * (by1 - by0);
  const float ow = max_f(min_f(ax1, bx1) - max_f(ax0, bx0), 0.0f);
  const float oh = max_f(min_f(ay1, by1) - max_f(ay0, by0), 0.0f);
  const float inter = ow * oh;
  const float uni = max_f(area_a + area_b - inter, 1e-6f);
  return inter / uni;
}

// Per-image buffers.
typedef struct {
  u64 boxes;       // decoded boxes of the current locations, 4 f32 a prior
  u64 loc;         // staged locations, 4 f32 a prior
  u64 conf;        // one class's confidences
  u64 fscore;      // scores that passed the threshold ...
  u64 fidx;        // ... and their prior numbers
  u64 sidx;        // prior numbers in sorted order
  u64 cand_score;  // candidates of all classes: scores ...
  u64 cand_box;    // ... and boxes (4 f32)
  i64 box_capacity;
  u64 B;           // DTCM: candidate prefix, num_classes + 1 i32
} ssd_image_bufs_t;

static void load_loc(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 image, i64 c, cmd_id_node_t *node) {
  const u64 src = a->loc + 16u * (u64)((image * a->np) * a->nlc + c);
  const int np = (int)a->np, hs = (int)(4 * a->nlc);
  tensor_general_move_gen_cmd(src, 0, 1, 1, np, 4, np * hs, np * hs, hs, 1, GDMA_VALUE_FORMAT_FLOAT32, b->loc, 0, 1,
                              1, np, 4, 4 * np, 4 * np, 4, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0, node);
}

static void load_conf(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 image, i64 c, cmd_id_node_t *node) {
  const u64 src = a->conf + 4u * (u64)(image * a->np * a->nc + c);
  const int np = (int)a->np, hs = (int)a->nc;
  tensor_general_move_gen_cmd(src, 0, 1, 1, np, 1, np * hs, np * hs, hs, 1, GDMA_VALUE_FORMAT_FLOAT32, b->conf, 0,
                              1, 1, np, 1, np, np, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0, node);
}

// Filters, sorts, cuts and gathers the candidates of every class into the
// candidate arrays; B[c] .. B[c+1] - 1 are class c's, in descending score
// order (equal scores in prior order).
static void collect_candidates(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 image, cmd_id_node_t *node) {
  u8 *B = (u8 *)ptr_of(b->B, 4u * (u64)(a->nc + 1));
  sti(B, 0, 0);
  if (a->shared) {
    load_loc(a, b, image, 0, node);
    poll_all_engine_done(node);
    decode_center_size(a, (const u8 *)ptr_of(b->loc, 16u * (u64)a->np), (u8 *)ptr_of(b->boxes, 16u * (u64)a->np));
  }
  const u8 *conf = (const u8 *)ptr_of(b->conf, 4u * (u64)a->np);
  u8 *fscore = (u8 *)ptr_of(b->fscore, 4u * (u64)a->np);
  u8 *fidx = (u8 *)ptr_of(b->fidx, 4u * (u64)a->np);
  for (i64 c = 0; c < a->nc; c++) {
    const i64 Bc = ldi(B, c);
    if (c == a->bg || (!a->shared && c >= a->nlc)) {
      sti(B, c + 1, (i32)Bc);
      continue;
    }
    if (!a->shared) load_loc(a, b, image, c, node);
    load_conf(a, b, image, c, node);
    poll_all_engine_done(node);
    if (!a->shared)
      decode_center_size(a, (const u8 *)ptr_of(b->loc, 16u * (u64)a->np), (u8 *)ptr_of(b->boxes, 16u * (u64)a->np));
    i64 n = 0;
    for (i64 j = 0; j < a->np; j++) {
      const float s = ldf(conf, j);
      if (s > a->confidence_threshold) {
        stf(fscore, n, s);
        sti(fidx, n, (i32)j);
        n++;
      }
    }
    const i64 passed = n;
    if (a->top_k >= 0 && a->top_k < n) n = a->top_k;
    if (n > 0) {
      // The sort writes only the entries kept, and they must fit the arrays.
      const i64 box_capacity = b->box_capacity;
      ASSERT(Bc + n <= box_capacity, "class %d: %d candidates after %d", (int)c, (int)n, (int)Bc);
      cdma_sort_move_cmd(b->fscore, b->cand_score + 4u * (u64)Bc, (u32)passed, SORT_ORDER_DESCEND, 1, 0, b->fidx,
                         b->sidx, (u32)n);
      gde_gather_data_gen_cmd(1, (u32)b->boxes, (u32)b->sidx, (u32)n, GDE_TYPE_128BITS,
                              (u32)(b->cand_box + 16u * (u64)Bc));
    }
    sti(B, c + 1, (i32)(Bc + n));
    fix_cmd_node_overflow(node);
  }
}

// Greedy NMS within each class, in candidate order: a candidate is kept when
// its IoU with every kept candidate of its class is at most the threshold (a
// NaN suppresses); after each kept candidate the threshold is multiplied by
// eta while eta < 1 and the threshold is above 0.5. Fills the kept list
// (candidate positions) and S[0..num_classes]; returns the kept total.
static i64 keep_per_class(const ssd_args_t *a, const ssd_image_bufs_t *b, u64 kept_addr, u64 S_addr) {
  const u8 *B = (const u8 *)ptr_of(b->B, 4u * (u64)(a->nc + 1));
  const i64 n = ldi(B, a->nc);
  u8 *kept = (u8 *)ptr_of(kept_addr, 4u * (u64)(n > 0 ? n : 1));
  u8 *S = (u8 *)ptr_of(S_addr, 4u * (u64)(a->nc + 1));
  const u8 *boxes = (const u8 *)ptr_of(b->cand_box, 16u * (u64)(n > 0 ? n : 1));
  i64 T = 0;
  sti(S, 0, 0);
  for (i64 c = 0; c < a->nc; c++) {
    const i64 first = T;
    float t = a->nms_threshold;
    for (i64 p = ldi(B, c); p < ldi(B, c + 1); p++) {
      bool keep = true;
      for (i64 k = first; k < T && keep; k++) keep = box_iou(boxes, p, ldi(kept, k)) <= t;
      if (!keep) continue;
      sti(kept, T++, (i32)p);
      if (a->eta < 1.0f && t > 0.5f) t = t * a->eta;
    }
    sti(S, c + 1, (i32)T);
  }
  return T;
}

// Builds the image's records in class order at `rec` (28 bytes each).
static void build_records(const ssd_args_t *a, const ssd_image_bufs_t *b, i64 image, i64 T, u64 kept_addr,
                          u64 S_addr, u64 rec_addr) {
  const u8 *B = (const u8 *)ptr_of(b->B, 4u * (u64)(a->nc + 1));
  const i64 n = ldi(B, a->nc);
  const u8 *kept = (const u8 *)ptr_of(kept_addr, 4u * (u64)T);
  const u8 *S = (const u8 *)ptr_of(S_addr, 4u * (u64)(a->nc + 1));
  const u8 *score = (const u8 *)ptr_of(b->cand_score, 4u * (u64)n);
  const u8 *boxes = (const u8 *)ptr_of(b->cand_box, 16u * (u64)n);
  u8 *rec = (u8 *)ptr_of(rec_addr, 28u * (u64)T);
  for (i64 c = 0; c < a->nc; c++)
    for (i64 k = ldi(S, c); k < ldi(S, c + 1); k++) {
      const i64 p = ldi(kept, k);
      stf(rec, 7 * k, (float)image);
      stf(rec, 7 * k + 1, (float)c);
      stf(rec, 7 * k + 2, ldf(score, p));
      for (int q = 0; q < 4; q++) stf(rec, 7 * k + 3 + q, ldf(boxes, 4 * p + q));
    }
}

// The best K of T records by score (equal scores in class order), ordered by
// score - label descending (equal keys in score order), into `out`.
static void cut_to_keep_top_k(i64 T, i64 K, u64 rec_addr, u64 out_addr) {
  const u64 sc = l2sram_alloc(4u * (u64)T, 512), sc_sorted = l2sram_alloc(4u * (u64)T, 512);
  const u64 idx1 = l2sram_alloc(4u * (u64)T, 512);
  const u64 key = l2sram_alloc(4u * (u64)K, 512), key_sorted = l2sram_alloc(4u * (u64)K, 512);
  const u64 idx2 = l2sram_alloc(4u * (u64)K, 512);
  const u8 *rec = (const u8 *)ptr_of(rec_addr, 28u * (u64)T);
  u8 *s = (u8 *)ptr_of(sc, 4u * (u64)T);
  for (i64 k = 0; k < T; k++) stf(s, k, ldf(rec, 7 * k + 2));
  cdma_sort_move_cmd(sc, sc_sorted, (u32)T, SORT_ORDER_DESCEND, 1, 1, 0, idx1, (u32)K);
  const u8 *i1 = (const u8 *)ptr_of(idx1, 4u * (u64)K);
  u8 *kk = (u8 *)ptr_of(key, 4u * (u64)K);
  for (i64 k = 0; k < K; k++) {
    const i64 r = ldi(i1, k);
    stf(kk, k, ldf(rec, 7 * r + 2) - ldf(rec, 7 * r + 1));
  }
  cdma_sort_move_cmd(key, key_sorted, (u32)K, SORT_ORDER_DESCEND, 1, 1, 0, idx2, (u32)K);
  const u8 *i2 = (const u8 *)ptr_of(idx2, 4u * (u64)K);
  u8 *out = (u8 *)ptr_of(out_addr, 28u * (u64)K);
  for (i64 k = 0; k < K; k++) memcpy(out + 28 * k, rec + 28 * (i64)ldi(i1, ldi(i2, k)), 28);
}

void nodechip_ssd_detect_out(u64 loc_addr, u64 conf_addr, u64 prior_addr, u64 output_addr, int num, int num_priors,
                             int num_classes, int num_loc_classes, int share_location, int background_label_id,
                             int top_k, int code_type, int keep_top_k, int variance_encoded_in_target,
                             float nms_threshold, float confidence_threshold, float eta, int *count,
                             cmd_id_node_t *node) {
  ASSERT(top_k <= 700);
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

  // The priors (and variances) stay in L2 for the whole call.
  const i64 prior_values = (a.venc ? 4 : 8) * a.np;
  const u64 prior = l2sram_alloc(4u * (u64)prior_values, 512);
  general_gdma_gen_cmd(prior_addr, prior, GDMA_VALUE_FORMAT_FLOAT32, (int)prior_values, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done(node);
  a.prior = (const u8 *)ptr_of(prior, 4u * (u64)prior_values);

  const u64 l2_mark = l2sram_alloc(0, 1), dtcm_mark = dtcm_alloc(0);
  i64 total = 0;
  for (i64 i = 0; i < num; i++) {
    l2sram_reset(l2_mark);
    dtcm_reset(dtcm_mark);
    if (keep_top_k == 0) continue;
    ssd_image_bufs_t b;
    const u64 np = (u64)a.np;
    b.box_capacity = align64(2 * a.np);
    b.boxes = l2sram_alloc(16 * np, 512);
    b.loc = l2sram_alloc(16 * np, 512);
    b.conf = l2sram_alloc(4 * np, 512);
    b.fscore = l2sram_alloc(4 * np, 512);
    b.fidx = l2sram_alloc(4 * np, 512);
    b.sidx = l2sram_alloc(4 * np, 512);
    b.cand_score = l2sram_alloc(4u * (u64)align64(3 * a.np), 512);
    b.cand_box = l2sram_alloc(16u * (u64)b.box_capacity, 512);
    b.B = dtcm_alloc(4u * (u64)(a.nc + 1));
    collect_candidates(&a, &b, i, node);

    const i64 n = ldi((const u8 *)ptr_of(b.B, 4u * (u64)(a.nc + 1)), a.nc);
    const u64 kept = dtcm_alloc(4u * (u64)(n > 0 ? n : 1));
    const u64 S = dtcm_alloc(4u * (u64)(a.nc + 1));
    i64 T = keep_per_class(&a, &b, kept, S);
    if (T == 0) continue;
    u64 rec = l2sram_alloc(28u * (u64)T, 512);
    build_records(&a, &b, i, T, kept, S, rec);
    if (keep_top_k > 0 && T > keep_top_k) {
      const u64 cut = l2sram_alloc(28u * (u64)keep_top_k, 512);
      cut_to_keep_top_k(T, keep_top_k, rec, cut);
      rec = cut;
      T = keep_top_k;
    } else if (keep_top_k < 0 && T > SSD_MAX_UNCUT_RECORDS) {
      T = SSD_MAX_UNCUT_RECORDS;
    }
    general_gdma_gen_cmd(rec, output_addr + 28u * (u64)total, GDMA_VALUE_FORMAT_FLOAT32, (int)(7 * T),
                         GDMA_VALUE_DIR_S2S, node);
    total += T;
    // The next image reuses the records' L2.
    poll_all_engine_done(node);
  }
  if (total == 0 && num > 0) {
    dtcm_reset(dtcm_mark);
    const u64 none = dtcm_alloc(28u * (u64)num);
    u8 *r = (u8 *)ptr_of(none, 28u * (u64)num);
    for (i64 i = 0; i < num; i++) {
      stf(r, 7 * i, (float)i);
      for (int q = 1; q < 7; q++) stf(r, 7 * i + q, -1.0f);
    }
    general_gdma_gen_cmd(none, output_addr, GDMA_VALUE_FORMAT_FLOAT32, 7 * num, GDMA_VALUE_DIR_S2S, node);
    total = num;
  }
  poll_all_engine_done(node);
  if (count) *count = (int)total;
}
