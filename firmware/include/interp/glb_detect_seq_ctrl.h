// Global controllers of detection and sequence layers: prior boxes (with
// their ARM part, the half extents and the index table), the YOLO region
// layer, non-maximum suppression, SSD and YOLOv3 detection output, region
// proposals and the LSTM layer.
#pragma once

#include "interp/fullnet.h"

extern "C" {

void dynamic_glb_priorbox_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_yolo_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_nms_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ssd_detect_out_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_yolov3_detect_out_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_rpn_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_lstm_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);

// The ARM part of the prior-box layer: the priors' half extents and the index
// table in `scratch` (device memory written through the ARM's window), then
// the kernel; or, for priors that arrived as the input, the 4N conversion of
// their 8-bit copy in `scratch`.
void compute_prior_top(u64 scratch, u64 output, int has_dim, float step_h, float step_w, u32 img_w, u32 img_h,
                       u32 layer_w, u32 layer_h, u32 net_w, u32 net_h, i32 num_priors, float prior_offset,
                       u32 variance_num, u32 real_min_size, u32 max_size_num, u32 aspect_ratio_num, int prior_flag,
                       const float *max_sizes, const float *min_sizes, const float *aspect_ratios,
                       const float *variances, float prior_scale, u32 data_size, u32 outtensor_store_mode,
                       cmd_id_node_t *node);

void dynamic_glb_detect_seq_map_fill(dynamic_global_ctrl_t *map);
}
