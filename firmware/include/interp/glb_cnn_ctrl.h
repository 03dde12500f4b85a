// Global controllers of the convolution and pooling family: convolution,
// deconvolution, pooling (ceil modes and TF style), adaptive pooling, LRN,
// interpolation and ROI pooling. Each reads its record and tensor references,
// works out the output shape, calls one global layer on whole tensors in
// device memory with the caller's node and registers the output. The output sizes are pure
// functions, exported for tests.
#pragma once

#include "interp/fullnet.h"

// One spatial extent of a pooling output and the after-padding the 8-bit
// kernel then takes (grown when the ceil mode adds a window).
typedef struct {
  i32 out;
  i32 pad_after;
} glb_pool_extent_t;

extern "C" {

// Convolution output extent: (in + pad + pad_after - ((k - 1) x d + 1)) / stride
// + 1. A stride of 0 or a window larger than the padded input fails (an empty
// input gives 0 there).
i32 glb_conv_output_extent(i32 in, i32 pad, i32 pad_after, i32 k, i32 dilation, i32 stride);
// Pooling: ceil_mode 0 floor, 1 ceil, 2 ceil only when the extra window starts
// inside the top/left-padded input. The after-padding is kept in 8 bits.
glb_pool_extent_t glb_pool_output_extent(i32 in, i32 pad, i32 pad_after, i32 k, i32 stride, u32 ceil_mode);
// TF-style pooling: the extent and the after-padding the kernel receives
// (the record's after-padding only enters the extent).
glb_pool_extent_t glb_pool_tf_output_extent(i32 in, i32 pad, i32 pad_after, i32 k, i32 stride);

void dynamic_glb_conv_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_deconv_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_pooling_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_pooling_tf_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_adaptive_pool_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_lrn_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_interp_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
// ROI max pooling and position-sensitive ROI average pooling; the ROIs are
// staged in the run's scratch area.
void dynamic_glb_roipooling_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_psroipooling_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);

// Enters the controllers above and the element-wise family's
// (`dynamic_glb_eltwise_map_fill`) in the global map.
void dynamic_glb_cnn_map_fill(dynamic_global_ctrl_t *map);
}
