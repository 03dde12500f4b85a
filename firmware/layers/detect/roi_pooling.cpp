// ROI max pooling on a resident feature map.
#include "layers/detect/roi_pooling.h"

#include <math.h>
#include <string.h>

#include "cmd/bd_pool.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/data/select.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/regs.h"

// Byte staging of the 8-bit output: L2 SRAM scratch below the lookup tables.
#define L2_SCRATCH_START 0x100a2000u
#define L2_SCRATCH_END 0x10300000u

static int clampi(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// A coordinate as an integer: NaN as 0, magnitudes limited far beyond any map
// (so that no sum below can overflow).
static int coord_of(double v) {
  if (!(v == v)) return 0;
  if (v > 16777216.0) return 16777216;
  if (v < -16777216.0) return -16777216;
  return (int)v;
}

void roi_bin_plan_of(roi_bin_plan_t *p, const float *roi, float spatial_scale, int pooled_h, int pooled_w) {
  memset(p, 0, sizeof *p);
  p->start_w = coord_of(round((double)roi[1] * (double)spatial_scale));
  p->start_h = coord_of(round((double)roi[2] * (double)spatial_scale));
  const int end_w = coord_of(round((double)roi[3] * (double)spatial_scale));
  const int end_h = coord_of(round((double)roi[4] * (double)spatial_scale));
  p->roi_h = (end_h - p->start_h > 0 ? end_h - p->start_h : 0) + 1;
  p->roi_w = (end_w - p->start_w > 0 ? end_w - p->start_w : 0) + 1;
  p->uniform = p->roi_h % pooled_h == 0 && p->roi_w % pooled_w == 0;
  if (p->uniform) {
    p->kh = p->roi_h / pooled_h;
    p->kw = p->roi_w / pooled_w;
  } else {
    p->kh = (int)((float)p->roi_h / (float)pooled_h) + 2;
    p->kw = (int)((float)p->roi_w / (float)pooled_w) + 2;
  }
}

// A ROI that starts left of or above the map is clamped at 0: its bins see
// only the part inside the map, as they do at the right and bottom edges.
void roi_bin_extent(const roi_bin_plan_t *p, int ph, int pw, int pooled_h, int pooled_w, int input_h, int input_w,
                    int *h0, int *h1, int *w0, int *w1) {
  const float bin_h = (float)p->roi_h / (float)pooled_h, bin_w = (float)p->roi_w / (float)pooled_w;
  *h0 = clampi(coord_of(floorf((float)ph * bin_h)) + p->start_h, 0, input_h);
  *h1 = clampi(coord_of(ceilf((float)(ph + 1) * bin_h)) + p->start_h, 0, input_h);
  *w0 = clampi(coord_of(floorf((float)pw * bin_w)) + p->start_w, 0, input_w);
  *w1 = clampi(coord_of(ceilf((float)(pw + 1) * bin_w)) + p->start_w, 0, input_w);
}

typedef struct {
  int C, H, W;
  u32 map_cstride;  // words
  u32 buf, buf_cstride, BW;
} roi_local_t;

static void fill_window(const roi_local_t *l, int y, int x, int h, int w, float value, cmd_id_node_t *node) {
  if (h <= 0 || w <= 0) return;
  fill_constant_gen_local_cmd_stride(l->buf + 4u * (u32)(y * (int)l->BW + x), 0, &value, GDMA_VALUE_FORMAT_FLOAT32,
                                     1, l->C, h, w, (int)l->buf_cstride * (int)ceil_div(l->C, NPU_NUM),
                                     (int)l->buf_cstride, (int)l->BW, 1, node);
}

// Map rows [h0, h1) x columns [w0, w1) to the buffer at (y, x).
static void copy_region(const roi_local_t *l, int h0, int h1, int w0, int w1, int y, int x, cmd_id_node_t *node) {
  const int h = h1 - h0, w = w1 - w0;
  const int cg = (int)ceil_div(l->C, NPU_NUM);
  tensor_general_move_gen_cmd(4u * (u64)(h0 * l->W + w0), 0, 1, l->C, h, w, (int)l->map_cstride * cg,
                              (int)l->map_cstride, l->W, 1, GDMA_VALUE_FORMAT_FLOAT32,
                              l->buf + 4u * (u32)(y * (int)l->BW + x), 0, 1, l->C, h, w, (int)l->buf_cstride * cg,
                              (int)l->buf_cstride, (int)l->BW, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2L, 0,
                              node);
}

// Byte 0 of every word of the ROI blocks (local, from word map_words on, one
// block of out_words per ROI) to the 4N output: per group of four ROIs the
// blocks' bytes are gathered into an L2 staging area, then spread so that ROI
// 4g + k lands in byte k of the group's words.
static void write_fix8b_blocks(u64 map_words, u64 out_words, u64 output, int C, int plane, int num_rois, int dtype,
                               cmd_id_node_t *node) {
  const gdma_value_format_t f = dtype == 1 ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
  const u64 group_bytes = 4u * (u64)C * (u64)plane;
  ASSERT(L2_SCRATCH_START + group_bytes <= L2_SCRATCH_END, "%d channels of %d bins", C, plane);
  const int cstride = 4 * ALIGN(plane, 32);
  for (int g = 0; 4 * g < num_rois; g++) {
    const int n = num_rois - 4 * g < 4 ? num_rois - 4 * g : 4;
    tensor_general_move_gen_cmd(4u * (map_words + 4u * (u64)g * out_words), 0, n, C, 1, plane, 4 * (int)out_words,
                                cstride, 4 * plane, 4, f, L2_SCRATCH_START, 0, n, C, 1, plane, C * plane, plane,
                                plane, 1, f, GDMA_VALUE_DIR_L2S, 0, node);
    tensor_general_move_gen_cmd(L2_SCRATCH_START, 0, n, C, 1, plane, C * plane, plane, plane, 1, f,
                                output + (u64)g * group_bytes, 0, n, C, 1, plane, 1, 4 * plane, 4 * plane, 4, f,
                                GDMA_VALUE_DIR_S2S, 0, node);
    fix_cmd_node_overflow(node);
  }
}

void roi_pooling_forward_core(u64 input, u64 output, u64 rois_staging, int input_n, int input_c, int input_h,
                              int input_w, int pooled_h, int pooled_w, int num_rois, float spatial_scale, int dtype,
                              cmd_id_node_t *node) {
  ASSERT(input_n == 1);
  ASSERT(dtype >= 0 && dtype <= 2);
  ASSERT(input_c > 0 && input_h > 0 && input_w > 0 && pooled_h > 0 && pooled_w > 0 && num_rois >= 0);
  const u64 cg = ceil_div_u64((u64)input_c, NPU_NUM);
  const u64 map_words = ALIGN((u64)input_h * (u64)input_w, (u64)32) * cg;
  const u64 out_words = ALIGN((u64)pooled_h * (u64)pooled_w, (u64)32) * cg;
  const u64 roi_lmem = 4u * (map_words + (u64)num_rois * out_words);
  ASSERT(roi_lmem < (1<<19));
  if (num_rois == 0) return;
  tensor_align_move_gen_cmd(0, 0, input, 1, input_c, input_h, input_w, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L,
                            0, node);
  const u8 *list = (const u8 *)arm_window_ptr(rois_staging, 20u * (u64)num_rois);
  // The type's minimum as the word the fills write.
  const u32 min_bits = dtype == 2 ? 0xff7fffffu : dtype == 1 ? 0x80808080u : 0u;
  float minv;
  memcpy(&minv, &min_bits, 4);
  roi_local_t l = {input_c, input_h, input_w, (u32)ALIGN((u64)input_h * (u64)input_w, (u64)32), (u32)roi_lmem, 0, 0};
  for (int r = 0; r < num_rois; r++) {
    float roi[5];
    memcpy(roi, list + 20 * r, 20);
    roi_bin_plan_t p;
    roi_bin_plan_of(&p, roi, spatial_scale, pooled_h, pooled_w);
    const u64 BH = (u64)pooled_h * (u64)p.kh, BW = (u64)pooled_w * (u64)p.kw;
    const u64 roi_nstride = ALIGN(BH * BW, (u64)32) * cg;
    ASSERT(roi_lmem + roi_nstride * 4 < (1<<19));
    l.buf_cstride = (u32)ALIGN(BH * BW, (u64)32);
    l.BW = (u32)BW;
    if (p.uniform) {
      fill_window(&l, 0, 0, (int)BH, (int)BW, 0.0f, node);
      const int h0 = clampi(p.start_h, 0, input_h), h1 = clampi(p.start_h + p.roi_h, 0, input_h);
      const int w0 = clampi(p.start_w, 0, input_w), w1 = clampi(p.start_w + p.roi_w, 0, input_w);
      if (h1 > h0 && w1 > w0) {
        const int y = h0 - p.start_h, x = w0 - p.start_w;
        const int fy = y / p.kh * p.kh, fx = x / p.kw * p.kw;
        const int fy1 = (int)ceil_div(y + h1 - h0, p.kh) * p.kh, fx1 = (int)ceil_div(x + w1 - w0, p.kw) * p.kw;
        fill_window(&l, fy, fx, fy1 - fy, fx1 - fx, minv, node);
        copy_region(&l, h0, h1, w0, w1, y, x, node);
      }
    } else {
      fill_window(&l, 0, 0, (int)BH, (int)BW, minv, node);
      for (int ph = 0; ph < pooled_h; ph++)
        for (int pw = 0; pw < pooled_w; pw++) {
          int h0, h1, w0, w1;
          roi_bin_extent(&p, ph, pw, pooled_h, pooled_w, input_h, input_w, &h0, &h1, &w0, &w1);
          if (h1 <= h0 || w1 <= w0) fill_window(&l, ph * p.kh, pw * p.kw, p.kh, p.kw, 0.0f, node);
          else copy_region(&l, h0, h1, w0, w1, ph * p.kh, pw * p.kw, node);
        }
    }
    const u32 block = LOCAL_ADDR_TAG | (u32)(4u * (map_words + (u64)r * out_words));
    if (dtype == 2)
      atomic_max_pooling_gen_cmd(LOCAL_ADDR_TAG | l.buf, block, 1, input_c, (int)BH, (int)BW, pooled_h, pooled_w,
                                 p.kh, p.kw, 0, 0, 0, 0, p.kh, p.kw, 0, 0, node);
    else
      atomic_pooling_fix8b_gen_cmd(LOCAL_ADDR_TAG | l.buf, 0, block, 0, 1, input_c, (int)BH, (int)BW, pooled_h,
                                   pooled_w, p.kh, p.kw, 0, 0, 0, 0, p.kh, p.kw, 0, 0, 0, 0, 0, 0, dtype == 1, 0, 0, 0,
                                   0, node);
    fix_cmd_node_overflow(node);
  }
  const int plane = pooled_h * pooled_w;
  if (dtype != 2) {
    write_fix8b_blocks(map_words, out_words, output, input_c, plane, num_rois, dtype, node);
    return;
  }
  tensor_general_move_gen_cmd(4u * map_words, 0, num_rois, input_c, pooled_h, pooled_w, (int)out_words,
                              (int)ALIGN(plane, 32), pooled_w, 1, GDMA_VALUE_FORMAT_FLOAT32, output, 0, num_rois,
                              input_c, pooled_h, pooled_w, input_c * plane, plane, pooled_w, 1,
                              GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

void nodechip_roi_pooling_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                  int input_h, int input_w, int pooled_h, int pooled_w, int num_rois,
                                  float spatial_scale, cmd_id_node_t *node) {
  if (num_rois > 0) {
    general_gdma_gen_cmd(rois, rois_staging, GDMA_VALUE_FORMAT_FLOAT32, 5 * num_rois, GDMA_VALUE_DIR_S2S, node);
    poll_all_engine_done(node);
  }
  roi_pooling_forward_core(input, output, rois_staging, input_n, input_c, input_h, input_w, pooled_h, pooled_w,
                           num_rois, spatial_scale, 2, node);
}

void nodechip_roi_pooling_fix8b_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                        int input_h, int input_w, int pooled_h, int pooled_w, int num_rois,
                                        float spatial_scale, int sign, cmd_id_node_t *node) {
  if (num_rois > 0) {
    general_gdma_gen_cmd(rois, rois_staging, GDMA_VALUE_FORMAT_FLOAT32, 5 * num_rois, GDMA_VALUE_DIR_S2S, node);
    poll_all_engine_done(node);
  }
  roi_pooling_forward_core(input, output, rois_staging, input_n, input_c, input_h, input_w, pooled_h, pooled_w,
                           num_rois, spatial_scale, sign ? 1 : 0, node);
}
