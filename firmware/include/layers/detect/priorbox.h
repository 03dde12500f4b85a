// SSD prior boxes of an H x W feature map with their variances.
//
// Local layout: position (y, x) in lane x % 64, F = align32(4 P) floats per
// position, G = F x ceil(W / 64) per row: the boxes take H rows of G floats
// from offset 0, the variances the next H rows. The variance rows first serve
// as scratch for the per-coordinate factors and half extents.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

extern "C" {
// f32 output, or with is_int8 signed bytes of value x 128 / scale + 0.5
// (limited to [-128, 127], truncated); store_mode 2 then writes them in the
// 4N layout, staging the 1N bytes in the scratch buffer. Returns 0.
int nodechip_priorbox_opt(int is_int8, int table_rows, u64 scratch, u64 output, int W, int H, int img_w, int img_h,
                          float step_w, float step_h, int min_num, int has_max, int aspect_num, int var_num,
                          const float *min_w, const float *min_h, const float *max_w, const float *max_h,
                          const float *aspect_w, const float *aspect_h, const float *variances, float offset,
                          int num_priors, float scale, u8 clip, int store_mode, cmd_id_node_t *node);
}
