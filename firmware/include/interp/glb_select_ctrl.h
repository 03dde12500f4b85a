// Global controllers of the layers that choose, gather, reduce or order
// elements: select, where, masked select (one input or several), index select,
// sort per dimension, arg max/min, full reduction and top-k.
//
// Each reads its parameter record and tensor references, computes the output
// shape on the ARM (from the count the kernel returns where the size is only
// known after it ran), calls one global data layer and registers its outputs.
#pragma once

#include "interp/fullnet.h"

extern "C" {

void dynamic_glb_arg_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_select_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_reduce_full_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_topk_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_where_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_masked_select_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_sort_per_dim_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_index_select_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_where_squeeze_gather_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);

// Enters the selection, detection and tensor-array controllers in the global map.
void dynamic_glb_select_map_fill(dynamic_global_ctrl_t *map);
}
