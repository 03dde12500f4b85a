// Position-sensitive ROI average pooling, and API 155.
//
// Bin (ph, pw) of output channel k averages input channel
// (k x group_size + ph) x group_size + pw over the bin's region. The ARM
// computes every bin's bounds; each non-empty bin's region of its output_dim
// channels is loaded (one move) and averaged by one pooling command into the
// bin's slot of the ROI's block in local memory; the block goes out per ROI.
//
// 8-bit (4N storage, one image): the words are moved as they stand, the 8-bit
// average pooling divides by the bin area (its reciprocal table up to 255,
// powers of two above), and byte 0 of the ROI's slots goes to byte n % 4 of
// the output words of group n / 4 (staged as bytes in L2 SRAM).
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// API 155.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 roi_addr;
  u64 roi_buffer_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 output_dim;
  i32 group_size;
  i32 roi_num;
  float spatial_scale;
  u32 input_sign;
  u32 output_sign;
} FW_PACKED zv_api_psroipooling_forward_t;
static_assert(sizeof(zv_api_psroipooling_forward_t) == 72, "zv_api_psroipooling_forward_t is 72 bytes");

// One bin: map rows [h0, h1) and columns [w0, w1), empty when either is.
typedef struct {
  int h0, h1, w0, w1;
} psroi_bin_t;

extern "C" {
u32 zv_api_psroipooling_forward(u8 *param, u32 size);

// ---- Planning (pure) ----
// The bounds of bin (ph, pw) of a ROI record [batch, x1, y1, x2, y2].
void psroi_bin_of(psroi_bin_t *bin, const float *roi, float spatial_scale, int group_size, int ph, int pw,
                  int input_h, int input_w);

// ---- Layers ----
void nodechip_psroipooling_forward_with_datasplit(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n,
                                                  int input_c, int input_h, int input_w, int output_dim,
                                                  int group_size, int num_rois, float spatial_scale,
                                                  cmd_id_node_t *node);
// Sign flags: 1 signed, 0 unsigned.
void nodechip_psroipooling_fix8b_forward_with_datasplit(u64 input, u64 output, u64 rois, u64 rois_staging,
                                                        int input_n, int input_c, int input_h, int input_w,
                                                        int output_dim, int group_size, int num_rois,
                                                        float spatial_scale, u32 input_sign, u32 output_sign,
                                                        cmd_id_node_t *node);
void nodechip_psroipooling_fix8b_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                         int input_h, int input_w, int output_dim, int group_size, int num_rois,
                                         float spatial_scale, u32 input_sign, u32 output_sign, cmd_id_node_t *node);
void nodechip_psroipooling_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                   int input_h, int input_w, int output_dim, int group_size, int num_rois,
                                   float spatial_scale, cmd_id_node_t *node);
}
