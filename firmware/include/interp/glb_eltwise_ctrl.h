// Global controllers of the element-wise family: batch normalisation, scale,
// eltwise, PReLU, normalize, mulshift, the binary operations (broadcast,
// constant, element-wise), bias add, activation, data-type conversion,
// lookup table, matrix band part and arithmetic shift. Each reads its record
// and tensor references, works out the output, calls one global layer on
// whole tensors in device memory and registers the output.
#pragma once

#include "interp/fullnet.h"
#include "interp/layer_records.h"

// Per-input bytes of the eltwise record (8-bit kernel only).
#define GLB_ELTWISE_FIX8B_INPUTS ELTWISE_RECORD_INPUTS

extern "C" {

// The 4-entry shape the 8-bit conversion engines accept (c at most 4095, h
// and w at most 65535), folded from a tensor of `dims` extents; pure.
void glb_dtype_convert_fold(const i32 *shape, u32 dims, i32 out[4]);

void dynamic_glb_batchnorm_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_scale_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_eltwise_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_prelu_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_normalize_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_mulshift_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_broadcast_binary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_const_binary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_eltwise_binary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_biasadd_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_active_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_dtype_convert_layer_ctrl_v2(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_lut_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_matrix_band_part_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_arith_shift_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);

// Enters the controllers above in the global map.
void dynamic_glb_eltwise_map_fill(dynamic_global_ctrl_t *map);
}
