// Global controllers that change a tensor's shape or arrangement without
// arithmetic on its values: reshape, expand_dims, squeeze, slices, pads and
// crops; tile, expand, broadcast_like, concat, split, transpose, the
// space/batch/depth rearrangements, reverse, and the controllers that make
// data without an input (embedding, coeff2neuron, constant_fill). Each reads
// its record and references, computes the output shape on the ARM, calls a
// global data-movement layer on the caller's node and registers the output.
#pragma once

#include "interp/fullnet.h"
#include "interp/layer_records.h"

extern "C" {

// ---- Shared helpers ----

// Copies `count` elements of a dsize_t type between two device addresses as
// one tile of count 1 (nothing when the addresses are equal or the count is
// 0). Does not wait.
void dynamic_glb_memcpy(u64 src, u64 dst, u64 count, u32 data_size, cmd_id_node_t *node);
// Makes a reshaped output's data exist at its address (the input's address
// when it has none), converting 4N to 1N when the store modes say so.
void RESHAPE_ADDR_CHECK(dynamic_tensor_info_t *in, dynamic_tensor_info_t *out, u32 in_store_mode,
                        u32 out_store_mode, cmd_id_node_t *node);
// The output shape of a reshape pattern (0 copies, -1 infers, -2 the rest, -3
// merges two, -4 splits one); returns the output dims. Pure but for its
// assertions.
int __reshape_helper(const i32 *in_shape, int in_dims, const i32 *pattern, int pattern_len, i32 *out_shape,
                     u32 elem_num);
// The shared tail of the reshape layers: output shape, data and registration.
void dynamic_reshape_helper(dynamic_context_t *ctx, dynamic_tensor_info_t *in, dynamic_tensor_info_t *out,
                            const i32 *pattern, int pattern_len, u32 in_store_mode, u32 out_store_mode,
                            cmd_id_node_t *node);
// Drops the listed axes of extent 1 (every extent of 1 or less without axes);
// returns the output dims.
int squeeze_shape(const i32 *shape, int dims, const i8 *axes, int axis_num, i32 *out_shape);

// Installs the controllers of this family in the global map.
void dynamic_glb_shape_map_fill(dynamic_global_ctrl_t *map);

void dynamic_glb_reshape_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_expand_dims_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_squeeze_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_slice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_stride_slice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_slicelike_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_pad_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ref_pad_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_crop_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_simple_crop_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ref_crop_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);

void dynamic_glb_tile_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_expand_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_broadcast_like_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_concat_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_split_tf_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_transpose_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_permute_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_space2batch_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_batch2space_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_depth2space_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_reorg_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_reverse_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_embedding_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_coeff2neuron_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_constant_fill_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
}
