// Tensor-move controllers of local groups: loads of net inputs, intermediate
// tensors and coefficients into local memory, stores of computed slices, moves
// between global tensors and copies into L2 SRAM. Moves issue GDMA commands on
// the move working copy and never wait. Loads add the loaded slice's record to
// the slot's list; stores and global moves register the shape of the tensor
// they complete.
#pragma once

#include "interp/context.h"

// The rows of one slice of a tensor of height H (pure).
typedef struct {
  i32 pad_top;      // padding rows above the slice's first real row
  i32 h_start;      // first real row
  i32 rows;         // real rows (0 when the slice lies below the tensor)
  i32 window_rows;  // rows of the slice window, padding included
} dynamic_row_window_t;

// Batch items per 32-bit word of a data size, and the slice's first word-batch
// and word-batch count.
typedef struct {
  u32 first;
  u32 count;
} dynamic_batch_pack_t;

extern "C" {
void dynamic_row_window_of(dynamic_row_window_t *out, int is_h_split, const dynamic_group_slice_t *slice, i32 H,
                           u32 h_index);
void dynamic_batch_pack_of(dynamic_batch_pack_t *out, u32 data_size, u32 n_start, u32 nb);
// The extend move's fold of C channels: k and whether it widens W (1), heightens
// H (2) or leaves C unchanged (0).
void dynamic_extend_fold_of(u32 C, u32 H, u32 W, u32 *k, u32 *mode);

void dynamic_load_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                              cmd_id_node_t *node);
void dynamic_store_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                               cmd_id_node_t *node);
void dynamic_store_extend_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                      cmd_id_node_t *node);
void dynamic_load_coeff_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                             cmd_id_node_t *node);
void dynamic_load_coeff_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                    cmd_id_node_t *node);
void dynamic_load_coeff_winograd_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                      cmd_id_node_t *node);
void dynamic_move_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                              cmd_id_node_t *node);
void dynamic_move_extend_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                     cmd_id_node_t *node);
void dynamic_load_g2l2_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                            cmd_id_node_t *node);
}
