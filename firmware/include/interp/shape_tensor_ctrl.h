// Global controllers of shape tensors: tensors whose values live in an ARM
// array (`host_data`, int32 or float32) instead of device memory. They create
// and transform such values with the shape arithmetic; shape_assign and
// shape_cast turn them into device data. An output's value block is handed to
// the tensor table, which frees it.
#pragma once

#include "interp/fullnet.h"

extern "C" {

// Installs the controllers of this family in the global map.
void dynamic_glb_shape_tensor_map_fill(dynamic_global_ctrl_t *map);

void dynamic_glb_shape_const_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_ref_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_rank_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_op_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_slice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_pack_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_assign_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_reorder_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_range_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_tile_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_reverse_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_expand_ndims_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_cast_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_reshape_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_reduce_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_split_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_unary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_squeeze_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_sizeslice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_shape_select_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
}
