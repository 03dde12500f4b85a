// ROI max pooling of one feature map, and API 47.
//
// The map stays resident in local memory (channel c in lane c % 64) with one
// output block per ROI behind it. For each ROI the ARM plans a bin buffer of
// pooled_h x kh rows by pooled_w x kw columns: each bin's part of the map is
// copied into its kh x kw window (the rest holds the type's minimum, an empty
// bin 0), and one max pooling of kernel and stride kh x kw writes the ROI's
// block. The blocks go out with one move at the end.
//
// 8-bit data (4N storage, one image used): the map's words are moved as they
// stand, the 8-bit max pooling takes each byte lane apart, and byte 0 of every
// result goes out: ROIs by groups of four, ROI 4g + k in byte k of the output
// words of group g, staged as bytes in L2 SRAM.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// API 47.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 rois_addr;
  u64 rois_staging_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 pooled_h;
  i32 pooled_w;
  i32 num_rois;
  float spatial_scale;
} FW_PACKED zv_api_roi_pooling_forward_t;
static_assert(sizeof(zv_api_roi_pooling_forward_t) == 64, "zv_api_roi_pooling_forward_t is 64 bytes");

// One ROI's bins on the map: the rounded start, the kernel, and per bin the
// map rows [h0, h1) and columns [w0, w1) it covers (clamped into the map;
// empty when h1 <= h0 or w1 <= w0).
typedef struct {
  int start_h, start_w, roi_h, roi_w;
  int kh, kw;
  int uniform;
} roi_bin_plan_t;

extern "C" {
u32 zv_api_roi_pooling_forward(u8 *param, u32 size);

// ---- Planning (pure) ----
void roi_bin_plan_of(roi_bin_plan_t *plan, const float *roi, float spatial_scale, int pooled_h, int pooled_w);
// Rows [*h0, *h1) and columns [*w0, *w1) of bin (ph, pw), clamped to the map.
void roi_bin_extent(const roi_bin_plan_t *plan, int ph, int pw, int pooled_h, int pooled_w, int input_h,
                    int input_w, int *h0, int *h1, int *w0, int *w1);

// ---- Layers ----
void nodechip_roi_pooling_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                  int input_h, int input_w, int pooled_h, int pooled_w, int num_rois,
                                  float spatial_scale, cmd_id_node_t *node);
// The 8-bit entry: sign non-zero for signed bytes.
void nodechip_roi_pooling_fix8b_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                        int input_h, int input_w, int pooled_h, int pooled_w, int num_rois,
                                        float spatial_scale, int sign, cmd_id_node_t *node);
// dtype: 2 float, 1 signed 8-bit, 0 unsigned 8-bit.
void roi_pooling_forward_core(u64 input, u64 output, u64 rois_staging, int input_n, int input_c, int input_h,
                              int input_w, int pooled_h, int pooled_w, int num_rois, float spatial_scale, int dtype,
                              cmd_id_node_t *node);
}
