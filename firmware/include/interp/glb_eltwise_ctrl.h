// Global controllers of the element-wise family: batch normalisation, scale,
// eltwise, PReLU, normalize, mulshift, the binary operations (broadcast,
// constant, element-wise), bias add, activation, data-type conversion,
// lookup table, matrix band part and arithmetic shift. Each reads its record
// and tensor references, works out the output, calls one global layer on
// whole tensors in device memory and registers the output.
#pragma once

#include "interp/fullnet.h"

#define GLB_BATCHNORM_RECORD_BYTES 52u
#define GLB_SCALE_RECORD_BYTES 32u
#define GLB_ELTWISE_RECORD_BYTES 32u
#define GLB_PRELU_RECORD_BYTES 20u
#define GLB_NORMALIZE_RECORD_BYTES 24u
#define GLB_MULSHIFT_RECORD_BYTES 16u
#define GLB_BROADCAST_BINARY_RECORD_BYTES 96u
#define GLB_CONST_BINARY_RECORD_BYTES 24u
#define GLB_ELTWISE_BINARY_RECORD_BYTES 20u
#define GLB_BIASADD_RECORD_BYTES 20u
#define GLB_ACTIVE_RECORD_BYTES 28u
#define GLB_DTYPE_CONVERT_RECORD_BYTES 16u
#define GLB_LUT_RECORD_BYTES 40u
#define GLB_MATRIX_BAND_PART_RECORD_BYTES 8u
#define GLB_ARITH_SHIFT_RECORD_BYTES 16u

// Per-input bytes of the eltwise record (8-bit kernel only).
#define GLB_ELTWISE_FIX8B_INPUTS 10u

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
