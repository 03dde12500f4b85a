#include "cv/cv_warp.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_fill_copy.h"
#include "local/conversion.h"
#include "runtime/api/dispatch.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"


static u32 tag(u32 offset) { return LOCAL_ADDR_TAG | offset; }

static float fabs_(float f) { return f < 0 ? -f : f; }

// ---- Floor ----

void nodechip_to_floor(u32 src, u32 dst, const dim4_t *shape, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(src, 0, src, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MAX, 0, 0, 0, 1,
                                   f32_bits(0.0f), 0, node);
  atomic_tensor_arithmetic_gen_cmd(src, 0, src, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MIN, 0, 0, 0, 1,
                                   f32_bits(65535.0f), 0, node);
  atomic_md_sfu_gen_cmd(src, dst, shape->n, shape->c, shape->h, shape->w, 0, SFU_F2I, 0, node);
  // The low byte's value into src, the high byte's into dst.
  atomic_table_lookup_gen_cmd(U8_TO_F32_TABLE, dst, src, shape->n, shape->c, shape->h, shape->w, 256, 1, node);
  atomic_tensor_arithmetic_issue_shift_gen_cmd(dst, 0, dst, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_SHIFT, 0, 0,
                                               0, 1, (u32)-8, 0, 0, node);
  atomic_table_lookup_gen_cmd(U8_TO_F32_TABLE, dst, dst, shape->n, shape->c, shape->h, shape->w, 256, 1, node);
  // high x 256 + low (both exact).
  atomic_tensor_arithmetic_gen_cmd(dst, 0, dst, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MUL, 0, 0, 0, 1,
                                   f32_bits(256.0f), 0, node);
  atomic_tensor_arithmetic_gen_cmd(dst, src, dst, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0,
                                   node);
}

void nodechip_floor(u32 src, u32 scratch, u32 dst, const dim4_t *shape, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(src, 0, scratch, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 1,
                                   f32_bits(0.0f), 0, node);
  nodechip_to_floor(scratch, dst, shape, node);
}

u32 warp_get_idx(u32 k, const u32 *prefix, u32 input_count) {
  for (u32 i = 0; i < input_count; i++)
    if (k < prefix[i]) return i;
  ASSERT_FS(0, "warp index wrong.\n");
  return 0;
}

// ---- One warp ----

namespace {

// A warp's geometry, its tile and its matrix.
struct warp_t {
  u64 src, dst;
  u32 e;  // element stride: 1 for 1N, 4 otherwise
  u32 channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, src_stride;
  const float *m;
  int perspective;
  u32 rows_per_lane, lanes;
  u32 P;  // bytes per lane of one float plane
  dim4_t shape;
};

void warp_init(warp_t *w, u64 src, u64 dst, u32 store_mode, u32 channels, u32 src_h, u32 src_w, u32 roi_h,
               u32 roi_w, u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y, u32 src_stride, const float *m,
               int perspective) {
  // The coordinate planes hold 256 x 256 pixels; empty rectangles or sources
  // leave nothing to map.
  ASSERT_FS(roi_h > 0 && roi_w > 0 && roi_h <= CV_COORD_PLANE_SIZE && roi_w <= CV_COORD_PLANE_SIZE && src_h > 0 &&
                src_w > 0 && channels > 0,
            "roi %u x %u, source %u x %u, %u channels", (unsigned)roi_h, (unsigned)roi_w, (unsigned)src_h,
            (unsigned)src_w, (unsigned)channels);
  w->src = src;
  w->dst = dst;
  w->e = store_mode == 1 ? 1 : 4;
  w->channels = channels;
  w->src_h = src_h;
  w->src_w = src_w;
  w->roi_h = roi_h;
  w->roi_w = roi_w;
  w->dst_h = dst_h;
  w->dst_w = dst_w;
  w->roi_x = roi_x;
  w->roi_y = roi_y;
  w->src_stride = src_stride;
  w->m = m;
  w->perspective = perspective;
  w->rows_per_lane = (roi_h + NPU_NUM - 1) / NPU_NUM;
  w->lanes = (roi_h + w->rows_per_lane - 1) / w->rows_per_lane;
  w->P = ALIGN(w->rows_per_lane * roi_w, 32u) * 4;
  w->shape.n = 1;
  w->shape.c = (i32)w->lanes;
  w->shape.h = (i32)w->rows_per_lane;
  w->shape.w = (i32)roi_w;
}

// The mapped source position of output pixel (x, y), plus the offsets.
void map_point(const warp_t *w, float x, float y, float dx, float dy, float *sx, float *sy) {
  const float *m = w->m;
  float a = x * m[0];
  a = a + y * m[1];
  a = a + m[2];
  float b = x * m[3];
  b = b + y * m[4];
  b = b + m[5];
  if (w->perspective) {
    float d = x * m[6];
    d = d + y * m[7];
    d = d + m[8];
    a = a / d;
    b = b / d;
  }
  *sx = a + dx;
  *sy = b + dy;
}

i32 clamp_i(i32 v, i32 lo, i32 hi) { return v < lo ? lo : v > hi ? hi : v; }

// The source box of output rows y0 .. y1 (all columns): truncated corner
// positions clamped to the image.
void box_of(const warp_t *w, u32 y0, u32 y1, float dx, float dy, i32 box[4]) {
  const float xs[2] = {(float)w->roi_x, (float)(w->roi_x + w->roi_w - 1)}, ys[2] = {(float)y0, (float)y1};
  float lo_x = 0, hi_x = 0, lo_y = 0, hi_y = 0;
  for (int i = 0; i < 4; i++) {
    float sx, sy;
    map_point(w, xs[i & 1], ys[i >> 1], dx, dy, &sx, &sy);
    if (i == 0 || sx < lo_x) lo_x = sx;
    if (i == 0 || sx > hi_x) hi_x = sx;
    if (i == 0 || sy < lo_y) lo_y = sy;
    if (i == 0 || sy > hi_y) hi_y = sy;
  }
  const i32 mx = (i32)w->src_w - 1, my = (i32)w->src_h - 1;
  // Positions beyond the i32 range clamp to the image as well.
  auto trunc_ = [](float f) { return f < -2e9f ? (i32)-2000000000 : f > 2e9f ? (i32)2000000000 : (i32)f; };
  box[0] = clamp_i(trunc_(lo_x), 0, mx);
  box[1] = clamp_i(trunc_(hi_x), 0, mx);
  box[2] = clamp_i(trunc_(lo_y), 0, my);
  box[3] = clamp_i(trunc_(hi_y), 0, my);
}

// Local planes of the coordinate steps (plane k at k x P).
enum { PL_X = 0, PL_Y = 1, PL_SX = 2, PL_SY = 3, PL_T = 4, PL_IDX = 5, PL_D = 6 };

u32 plane(const warp_t *w, u32 base, u32 k) { return tag(base + k * w->P); }

// The tile's column and row planes (with roi_x, roi_y added) at planes X, Y.
void load_coordinates(const warp_t *w, u32 base, cmd_id_node_t *node) {
  const u32 rpl = w->rows_per_lane, rw = w->roi_w;
  const u32 planes[2] = {CV_COORD_PLANE_X, CV_COORD_PLANE_Y};
  const float add[2] = {(float)w->roi_x, (float)w->roi_y};
  for (u32 k = 0; k < 2; k++) {
    tensor_general_move_gen_cmd(planes[k], 0, 1, (int)w->lanes, (int)rpl, (int)rw, 0, (int)(rpl * 256), 256, 1,
                                GDMA_VALUE_FORMAT_UINT8, base + k * w->P, 0, 1, (int)w->lanes, (int)rpl, (int)rw, 0,
                                (int)(w->P / 4), (int)rw, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
    atomic_tensor_arithmetic_gen_cmd(plane(w, base, k), 0, plane(w, base, k), &w->shape, 0, 0, 0, NULL, NULL, NULL,
                                     TENSOR_OP_ADD, 0, 0, 0, 1, f32_bits(add[k]), 0, node);
  }
}

// out = x m[a] + y m[b] + m[c] over the tile.
void linear_of(const warp_t *w, u32 base, u32 out, u32 a, u32 b, u32 c, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(plane(w, base, PL_X), 0, out, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MUL,
                                   0, 0, 0, 1, f32_bits(w->m[a]), 0, node);
  atomic_tensor_arithmetic_gen_cmd(plane(w, base, PL_Y), 0, out, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MAC,
                                   0, 0, 0, 1, f32_bits(w->m[b]), 0, node);
  atomic_tensor_arithmetic_gen_cmd(out, 0, out, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 1,
                                   f32_bits(w->m[c]), 0, node);
}

// The mapped positions into planes SX, SY.
void map_tile(const warp_t *w, u32 base, cmd_id_node_t *node) {
  linear_of(w, base, plane(w, base, PL_SX), 0, 1, 2, node);
  linear_of(w, base, plane(w, base, PL_SY), 3, 4, 5, node);
  if (w->perspective) {
    const u32 d = plane(w, base, PL_D);
    linear_of(w, base, d, 6, 7, 8, node);
    for (u32 k = PL_SX; k <= PL_SY; k++)
      atomic_tensor_arithmetic_gen_cmd(plane(w, base, k), d, plane(w, base, k), &w->shape, 0, 0, 0, NULL, NULL, NULL,
                                       TENSOR_OP_DIV, 0, 0, 0, 0, 0, 0, node);
  }
}

void add_const(const warp_t *w, u32 a, u32 r, float c, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(a, 0, r, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 1,
                                   f32_bits(c), 0, node);
}

void clamp_to(const warp_t *w, u32 a, float lo, float hi, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(a, 0, a, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MAX, 0, 0, 0, 1,
                                   f32_bits(lo), 0, node);
  atomic_tensor_arithmetic_gen_cmd(a, 0, a, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MIN, 0, 0, 0, 1,
                                   f32_bits(hi), 0, node);
}

// Source rows [y0, y1] of the band of output rows r0 .. r0 + rows - 1.
void band_of(const warp_t *w, u32 r0, u32 rows, float dx, float dy, i32 *y0, i32 *y1) {
  i32 box[4];
  box_of(w, w->roi_y + r0, w->roi_y + r0 + rows - 1, dx, dy, box);
  *y0 = box[2];
  *y1 = box[3];
}

// Index plane IDX of every output pixel into the source box: the mapped
// positions SX, SY (kept) plus dx, dy, clamped to the box, relative to its
// corner and floored; index = floor(sy) x N + floor(sx). Plane T keeps the
// clamped x; planes X and Y (the coordinates are no longer needed) take the
// floors.
void box_indices(const warp_t *w, u32 base, const i32 box[4], u32 N, float dx, float dy, cmd_id_node_t *node) {
  const u32 sx = plane(w, base, PL_T), sy = plane(w, base, PL_IDX);
  add_const(w, plane(w, base, PL_SX), sx, dx, node);
  clamp_to(w, sx, (float)box[0], (float)box[1], node);
  add_const(w, sx, sx, -(float)box[0], node);
  add_const(w, plane(w, base, PL_SY), sy, dy, node);
  clamp_to(w, sy, (float)box[2], (float)box[3], node);
  add_const(w, sy, sy, -(float)box[2], node);
  const u32 fx = plane(w, base, PL_X), fy = plane(w, base, PL_Y);
  nodechip_to_floor(sx, fx, &w->shape, node);
  nodechip_to_floor(sy, fy, &w->shape, node);
  const u32 idx = plane(w, base, PL_IDX);
  atomic_tensor_arithmetic_gen_cmd(fy, 0, idx, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MUL, 0, 0, 0, 1,
                                   f32_bits((float)N), 0, node);
  atomic_tensor_arithmetic_gen_cmd(idx, fx, idx, &w->shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 0, 0,
                                   0, node);
}

// A perspective map's band height: the largest whose every band spans fewer
// than rows_cap source rows (1 if none does); *span is the widest span of
// its bands.
u32 perspective_band_height(const warp_t *w, float dx, float dy, i64 rows_cap, i64 *span) {
  auto fits = [&](u32 h, i64 *widest) {
    *widest = 0;
    for (u32 r0 = 0; r0 < w->roi_h; r0 += h) {
      i32 y0, y1;
      band_of(w, r0, w->roi_h - r0 < h ? w->roi_h - r0 : h, dx, dy, &y0, &y1);
      if (y1 - y0 > *widest) *widest = y1 - y0;
    }
    return *widest < rows_cap;
  };
  u32 good = 1, bad = w->roi_h + 1;
  if (fits(w->roi_h, span)) {
    good = w->roi_h;
  } else {
    for (;;) {
      const u32 mid = (good + bad) / 2;
      if (mid == good) break;
      if (fits(mid, span))
        good = mid;
      else
        bad = mid;
    }
  }
  fits(good, span);
  return good;
}

// Where fetch keeps its bands: the source box's corner and width, the room
// of one band's crop per channel, and the L2 index array, crops and output
// rectangle.
struct warp_bands_t {
  u32 x_lo, y_lo, N;
  u64 cap;
  u32 index_l2, crop_l2, out_l2;
};

// One band of output rows [r0, r0 + rows): its source rows from y0 into L2,
// the band's indices to L2, then a gather per channel into the rectangle.
void gather_band(const warp_t *w, u32 base, const warp_bands_t &bands, u32 r0, u32 rows, i32 y0, u32 band,
                 cmd_id_node_t *node) {
  const u32 N = bands.N, sx = plane(w, base, PL_T), idx = plane(w, base, PL_IDX);
  cmd_id_node_t move, compute;
  cmd_id_divide(node, &move, &compute);
  // The band's source rows, all channels, into L2 after the index array.
  // (Channels x rows of single-row items: a byte lane of 4N is read with
  // element stride 4, which the engine takes on rows of one line.)
  tensor_general_move_gen_cmd(w->src + (u64)y0 * w->src_stride + (u64)bands.x_lo * w->e, 0, (int)w->channels, (int)band,
                              1, (int)N, (int)(w->src_h * w->src_stride), (int)w->src_stride, (int)N, (int)w->e,
                              GDMA_VALUE_FORMAT_UINT8, bands.crop_l2, 0, (int)w->channels, (int)band, 1, (int)N,
                              (int)(band * N), (int)N, (int)N, 1, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2S, 0,
                              &move);
  // Indices into the band, as int32 in plane T.
  add_const(w, idx, sx, -(float)((u32)y0 - bands.y_lo) * (float)N, &compute);
  clamp_to(w, sx, 0, (float)bands.cap, &compute);
  atomic_md_sfu_gen_cmd(sx, sx, 1, (int)w->lanes, (int)w->rows_per_lane, (int)w->roi_w, 0, SFU_F2I, 0, &compute);
  cmd_id_merge(node, &move, &compute);
  tensor_general_move_gen_cmd(
      base + PL_T * w->P, 0, 1, (int)w->lanes, (int)w->rows_per_lane, (int)w->roi_w, 0, (int)(w->P / 4), (int)w->roi_w,
      1, GDMA_VALUE_FORMAT_FLOAT32, bands.index_l2, 0, 1, (int)w->lanes, (int)w->rows_per_lane, (int)w->roi_w, 0,
      (int)(w->rows_per_lane * w->roi_w), (int)w->roi_w, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
  poll_all_engine_done(node);
  for (u32 c = 0; c < w->channels; c++)
    gde_gather_data_gen_cmd(0, bands.crop_l2 + c * band * N, bands.index_l2 + 4 * r0 * w->roi_w, rows * w->roi_w,
                            GDE_TYPE_BYTE, bands.out_l2 + c * w->roi_h * w->roi_w + r0 * w->roi_w);
}

// Gathers the pixels at the mapped positions (plus dx, dy) of every channel
// into the L2 output rectangle at CV_WARP_L2_START + 4W + channels x cap,
// which it returns. The positions are in planes SX, SY (kept); planes T and
// IDX are used.
u32 fetch(const warp_t *w, u32 base, float dx, float dy, cmd_id_node_t *node) {
  i32 box[4];
  box_of(w, w->roi_y, w->roi_y + w->roi_h - 1, dx, dy, box);
  warp_bands_t bands;
  bands.x_lo = (u32)box[0], bands.y_lo = (u32)box[2];
  bands.N = (u32)box[1] - bands.x_lo + 1;
  const u32 N = bands.N;
  box_indices(w, base, box, N, dx, dy, node);
  // Step height: the source rows of one step's band must fit L2 beside the
  // index array and the output rectangle.
  const u64 W = (u64)w->roi_w * w->lanes * w->rows_per_lane;
  const u64 out_bytes = (u64)w->channels * w->roi_h * w->roi_w;
  const i64 room = (i64)CV_WARP_L2_CAPACITY - (i64)(4 * W) - (i64)out_bytes;
  const i64 rows_cap = room > 0 ? room / (i64)w->channels / (i64)N : 0;
  u32 step;
  if (!w->perspective) {
    const double m3 = fabs_(w->m[3]), m4 = fabs_(w->m[4]);
    const double step_h = (double)(i64)(((double)rows_cap - w->roi_w * m3 - 2) / (m4 + 0.000001));
    ASSERT(step_h >= 1, "L2 memory too small to take the source image");
    // Bands taller than the rectangle need no more room than the rectangle.
    step = step_h >= (double)w->roi_h ? w->roi_h : (u32)step_h;
    bands.cap = (u64)((double)N * (w->roi_w * m3 + step * m4 + 2));
    const u64 dst_l2_offset = 4 * W + w->channels * bands.cap, dst_l2_size = out_bytes,
              total_capacity = CV_WARP_L2_CAPACITY;
    ASSERT(dst_l2_size + dst_l2_offset < total_capacity, "L2 memory too small");
  } else {
    i64 span;
    step = perspective_band_height(w, dx, dy, rows_cap, &span);
    const i64 src_h = span, src_h_max = rows_cap - 1;
    ASSERT_FS(src_h <= src_h_max, "memory NOT enough to complete this transform!\n");
    bands.cap = (u64)N * (u64)(span + 1);
  }
  bands.index_l2 = CV_WARP_L2_START, bands.crop_l2 = CV_WARP_L2_START + (u32)(4 * W);
  bands.out_l2 = bands.crop_l2 + (u32)(w->channels * bands.cap);
  const u64 cap = bands.cap;
  for (u32 r0 = 0; r0 < w->roi_h; r0 += step) {
    const u32 rows = w->roi_h - r0 < step ? w->roi_h - r0 : step;
    i32 y0, y1;
    band_of(w, r0, rows, dx, dy, &y0, &y1);
    if (y0 < (i32)bands.y_lo) y0 = (i32)bands.y_lo;
    const u32 band = (u32)(y1 - y0 + 1);
    // The band's crop must stay inside its room before the output rectangle.
    ASSERT((u64)band * N <= cap, "L2 memory too small");
    gather_band(w, base, bands, r0, rows, y0, band, node);
  }
  return bands.out_l2;
}

// The L2 output rectangle to the output image.
void store_rect(const warp_t *w, u32 out_l2, cmd_id_node_t *node) {
  const u64 at = w->dst + ((u64)w->roi_x + (u64)w->roi_y * w->dst_w) * w->e;
  tensor_general_move_gen_cmd(out_l2, 0, 1, (int)w->channels, (int)w->roi_h, (int)w->roi_w, 0,
                              (int)(w->roi_h * w->roi_w), (int)w->roi_w, 1, GDMA_VALUE_FORMAT_UINT8, at, 0, 1,
                              (int)w->channels, (int)w->roi_h, (int)w->roi_w, 0, (int)(w->dst_h * w->dst_w * w->e),
                              (int)(w->dst_w * w->e), (int)w->e, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2S, 0, node);
}

void nearest(warp_t *w, cmd_id_node_t *node) {
  const u32 planes = w->perspective ? 7 : 6;
  const u32 IDX_local_offset = (planes - 1) * w->P, S_tensor_size = w->P;
  ASSERT_FS(IDX_local_offset + S_tensor_size <= (1<<19));
  load_coordinates(w, 0, node);
  map_tile(w, 0, node);
  store_rect(w, fetch(w, 0, 0, 0, node), node);
}

}  // namespace

void nodechip_cv_warp_affine_1n(u64 src, u64 dst, u32 store_mode, u32 channels, u32 src_h, u32 src_w, u32 roi_h,
                                u32 roi_w, u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y, u32 src_stride,
                                float *matrix, cmd_id_node_t *node) {
  warp_t w;
  warp_init(&w, src, dst, store_mode, channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, src_stride,
            matrix, 0);
  // The floor of the position plus 0.5 is the nearest pixel.
  matrix[2] += 0.5f;
  matrix[5] += 0.5f;
  nearest(&w, node);
}

void nodechip_cv_warp_perspective_1n(u64 src, u64 dst, u32 store_mode, u32 channels, u32 src_h, u32 src_w,
                                     u32 roi_h, u32 roi_w, u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y,
                                     u32 src_stride, float *matrix, cmd_id_node_t *node) {
  warp_t w;
  warp_init(&w, src, dst, store_mode, channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, src_stride,
            matrix, 1);
  nearest(&w, node);
  poll_all_engine_done(node);
}

void nodechip_cv_warp_bilinear(u64 src, u64 dst, u32 store_mode, u32 channels, u32 src_h, u32 src_w, u32 roi_h,
                               u32 roi_w, u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y, u32 src_stride,
                               float *matrix, u32 perspective, cmd_id_node_t *node) {
  warp_t w;
  warp_init(&w, src, dst, store_mode, channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, src_stride,
            matrix, perspective ? 1 : 0);
  // Nine single planes (coordinates, positions, scratch, index, denominator
  // and the four weights) and seven channel groups (four neighbours, the
  // mix, two scratch).
  const u32 P = w.P, group = channels * P;
  const u32 crop_mid_local = 9 * P + 6 * group, img_index_size = group;
  ASSERT(crop_mid_local + img_index_size <= (1<<19));
  const u32 FX = 7 * P, FY = 8 * P;
  load_coordinates(&w, 0, node);
  map_tile(&w, 0, node);
  // Weights (calculate_pixel_coeff): fx = sx - floor(sx), fy likewise, in
  // planes 7 and 8.
  const u32 base_groups = 9 * P, mix = base_groups + 4 * group, scratch = mix + group;
  const u32 S[2] = {PL_SX, PL_SY}, F[2] = {FX, FY};
  for (int k = 0; k < 2; k++) {
    nodechip_floor(plane(&w, 0, S[k]), plane(&w, 0, PL_T), tag(F[k]), &w.shape, node);
    atomic_tensor_arithmetic_gen_cmd(plane(&w, 0, S[k]), tag(F[k]), tag(F[k]), &w.shape, 0, 0, 0, NULL, NULL, NULL,
                                     TENSOR_OP_SUB, 0, 0, 0, 0, 0, 0, node);
  }
  // Four neighbours, each gathered and moved into its channel group as floats.
  const float off = 0.999999f;
  const float offs[4][2] = {{0, 0}, {0, off}, {off, 0}, {off, off}};
  for (int q = 0; q < 4; q++) {
    const u32 out_l2 = fetch(&w, 0, offs[q][0], offs[q][1], node);
    const u32 rpl = w.rows_per_lane;
    tensor_general_move_gen_cmd(out_l2, 0, (int)channels, (int)w.lanes, (int)rpl, (int)roi_w, (int)(roi_h * roi_w),
                                (int)(rpl * roi_w), (int)roi_w, 1, GDMA_VALUE_FORMAT_UINT8, base_groups + q * group, 0,
                                (int)channels, (int)w.lanes, (int)rpl, (int)roi_w, (int)(P / 4), (int)(P / 4),
                                (int)roi_w, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
    poll_all_engine_done(node);
  }
  // 1 - fx, 1 - fy in the coordinate planes, free once the fetches are done.
  const u32 one_fx = 0, one_fy = P;
  const u32 F2[2] = {FX, FY}, ONE[2] = {one_fx, one_fy};
  for (int k = 0; k < 2; k++)
    atomic_tensor_arithmetic_gen_cmd(0, tag(F2[k]), tag(ONE[k]), &w.shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_SUB,
                                     0, 1, f32_bits(1.0f), 0, 0, 0, node);
  // Mix (calculate_mix_pixels): sum of p x wx x wy over the four, + 0.5, then
  // clamped to [0, 255].
  const dim4_t one = w.shape;
  const u32 wx[4] = {one_fx, one_fx, FX, FX}, wy[4] = {one_fy, FY, one_fy, FY};
  for (u32 c = 0; c < channels; c++) {
    const u32 v = tag(mix + c * P), t = tag(scratch + c * P);
    for (int q = 0; q < 4; q++) {
      const u32 p = tag(base_groups + q * group + c * P);
      atomic_tensor_arithmetic_gen_cmd(p, tag(wx[q]), t, &one, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MUL, 0, 0, 0, 0,
                                       0, 0, node);
      atomic_tensor_arithmetic_gen_cmd(t, tag(wy[q]), q ? t : v, &one, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MUL, 0, 0,
                                       0, 0, 0, 0, node);
      if (q)
        atomic_tensor_arithmetic_gen_cmd(v, t, v, &one, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0,
                                         node);
    }
    atomic_tensor_arithmetic_gen_cmd(v, 0, v, &one, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 1,
                                     f32_bits(0.5f), 0, node);
    atomic_tensor_arithmetic_gen_cmd(v, 0, v, &one, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MIN, 0, 0, 0, 1,
                                     f32_bits(255.0f), 0, node);
    atomic_tensor_arithmetic_gen_cmd(v, 0, v, &one, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MAX, 0, 0, 0, 1,
                                     f32_bits(0.0f), 0, node);
    // Truncate to whole values (F2I and back through the byte table), so that
    // the move to bytes only narrows them.
    atomic_md_sfu_gen_cmd(v, t, 1, one.c, one.h, one.w, 0, SFU_F2I, 0, node);
    atomic_table_lookup_gen_cmd(U8_TO_F32_TABLE, t, v, 1, one.c, one.h, one.w, 256, 1, node);
  }
  // To L2 as bytes, then to the output.
  const u32 rpl = w.rows_per_lane;
  tensor_general_move_gen_cmd(mix, 0, (int)channels, (int)w.lanes, (int)rpl, (int)roi_w, (int)(P / 4), (int)(P / 4),
                              (int)roi_w, 1, GDMA_VALUE_FORMAT_FLOAT32, CV_WARP_L2_START, 0, (int)channels,
                              (int)w.lanes, (int)rpl, (int)roi_w, (int)(roi_h * roi_w), (int)(rpl * roi_w),
                              (int)roi_w, 1, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_L2S, 0, node);
  store_rect(&w, CV_WARP_L2_START, node);
  poll_all_engine_done(node);
}

// ---- Dispatcher ----

void nodechip_cv_warp(const u64 input[4], u64 table_address, const u32 output_counts[4], const u32 src_strides[4],
                      u32 store_mode, u32 input_count, u32 channels, u32 src_h, u32 src_w, u32 roi_h, u32 roi_w,
                      u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y, u32 mode, cmd_id_node_t *node) {
  ASSERT_FS(input_count <= 4, "input_count=%u", (unsigned)input_count);
  u32 prefix[4];
  u64 total = 0;
  for (u32 i = 0; i < input_count; i++) {
    total += output_counts[i];
    prefix[i] = (u32)(total < 0xffffffffu ? total : 0xffffffffu);
  }
  const u32 T = (u32)(total < 0xffffffffu ? total : 0xffffffffu);
  const int four_n = store_mode == 4;
  const u64 entries = four_n ? (T + 3) / 4 : T;
  const u32 msize = mode == CV_WARP_PERSPECTIVE_NEAREST || mode == CV_WARP_PERSPECTIVE_BILINEAR ? 36 : 24;
  // The table must fit the DTCM scratch window.
  const u64 table_bytes = entries * 8 + (u64)T * msize;
  ASSERT_FS(table_bytes <= DTCM_SCRATCH_SIZE, "table of %u outputs", (unsigned)T);
  if (table_bytes) pack_info_to_dtcm(table_address, DTCM_SCRATCH_START, (u32)table_bytes, node);
  poll_all_engine_done(node);
  const u32 table = DTCM_SCRATCH_START;
  // Every output the table names must hold the rectangle written into it
  // (4N outputs: one byte of every word), checked before any is issued.
  const i64 dims[3] = {channels, roi_h, roi_w};
  const i64 steps[3] = {api_mul(dst_h, dst_w), dst_w, 1};
  const api_extent_t rect = api_strided(four_n ? 4 : 1, 3, dims, steps);
  const i64 corner = ((i64)roi_y * dst_w + roi_x) * (four_n ? 4 : 1);
  for (u32 k = 0; k < T; k++) {
    u64 out;
    memcpy(&out, hw_ptr(table + 8 * (four_n ? k / 4 : k), 8), 8);
    const api_extent_t at = {rect.lo + corner, rect.hi + corner};
    ASSERT(api_global_fits(four_n ? out + k % 4 : out, at), "output %u at 0x%x%08x", (unsigned)k,
           (unsigned)(out >> 32), (unsigned)out);
  }
  for (u32 k = 0; k < T; k++) {
    const u32 s = warp_get_idx(k, prefix, input_count);
    u64 out;
    memcpy(&out, hw_ptr(table + 8 * (four_n ? k / 4 : k), 8), 8);
    u64 src_global_offset = four_n ? input[s / 4] + s % 4 : input[s];
    u64 dst_global_offset = four_n ? out + k % 4 : out;
    const u32 stride = four_n ? src_strides[s / 4] : src_strides[s];
    ASSERT_FS(src_global_offset > GLOBAL_MEM_START_ADDR, "src_global_offset = %llx, s_idx = %d\n\n",
              (unsigned long long)src_global_offset, (int)s);
    ASSERT_FS(dst_global_offset > GLOBAL_MEM_START_ADDR, "dst_global_offset = %llx\n\n",
              (unsigned long long)dst_global_offset);
    float *m = (float *)hw_ptr(table + (u32)(entries * 8) + k * msize, msize);
    switch (mode) {
      case CV_WARP_AFFINE_NEAREST:
        nodechip_cv_warp_affine_1n(src_global_offset, dst_global_offset, store_mode, channels, src_h, src_w, roi_h,
                                   roi_w, dst_h, dst_w, roi_x, roi_y, stride, m, node);
        break;
      case CV_WARP_PERSPECTIVE_NEAREST:
        nodechip_cv_warp_perspective_1n(src_global_offset, dst_global_offset, store_mode, channels, src_h, src_w,
                                        roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, stride, m, node);
        break;
      case CV_WARP_AFFINE_BILINEAR:
      case CV_WARP_PERSPECTIVE_BILINEAR:
        nodechip_cv_warp_bilinear(src_global_offset, dst_global_offset, store_mode, channels, src_h, src_w, roi_h,
                                  roi_w, dst_h, dst_w, roi_x, roi_y, stride, m, mode == CV_WARP_PERSPECTIVE_BILINEAR,
                                  node);
        break;
      default:
        break;  // other modes compute nothing
    }
    if (k && k % CV_WARP_RESYNC_OUTPUTS == 0) {
      poll_all_engine_done(node);
      resync_cmd_id(node);
    }
  }
  poll_all_engine_done(node);
}
