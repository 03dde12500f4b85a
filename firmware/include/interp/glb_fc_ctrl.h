// Global controllers of the fully connected, batch matrix product and
// softmax layers: each reads its record and tensor references, works out the
// output shape, calls the global layer chosen by the layer's element type and
// registers the output in the tensor table.
#pragma once

#include "interp/fullnet.h"

// The output shape of a fully connected layer (pure): `out_dims` entries (4
// when it is 0 or less), the batch first, `output_neurons` at the channel
// index and 1 elsewhere. The channel index is the last axis from 1 on whose
// input extent equals `input_neurons`, else 1.
typedef struct {
  int dims;
  int channel_index;
  i32 shape[DYNAMIC_MAX_DIMS];
} fc_output_shape_t;

// outer x extent x inner view of a softmax over `axis` (pure).
typedef struct {
  u64 outer, extent, inner;
  i32 n, c, h, w;
} softmax_view_t;

extern "C" {

void dynamic_glb_fc_output_shape_of(fc_output_shape_t *out, const i32 *in_shape, u32 in_dims, u32 input_neurons,
                                    u32 output_neurons, i32 out_dims);
void dynamic_glb_softmax_view_of(softmax_view_t *v, const i32 *shape, u32 dims, u32 axis);

void dynamic_glb_fc_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_batch_matmul_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_softmax_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);

// Enters the three controllers in the global map.
void dynamic_glb_fc_map_fill(dynamic_global_ctrl_t *map);
}
