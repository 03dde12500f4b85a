// Local layer controllers: one local kernel on a slice resident in local
// memory. A controller reads its record and fixed words (tensor ids and local
// addresses), takes its input slice's record out of the slot's list, calls the
// float or fixed-point kernel on the slice shape (skipped for an empty slice)
// and registers the output slice for the next reader. Controllers of
// convolution-like layers also work out the output slice's rows.
#pragma once

#include "interp/fullnet.h"

// Rows of a convolution-like layer's output slice and the kernel's padding
// (pure). Input: the input slice's record fields and the layer's extents.
typedef struct {
  i32 pad_top;      // Pi
  i32 h_start;      // s
  i32 window_rows;  // R
  i32 H, W;         // the tensor's height and width
  i32 eh, ew;       // dilated kernel extents
  i32 pt, pb, pl, pr;
  i32 sh, sw;
} dynamic_conv_geometry_in_t;

typedef struct {
  i32 OH, ow;           // the whole tensor's output height, the output width
  i32 out_pad_top;      // output slice record
  i32 out_h_start;
  i32 out_window_rows;
  i32 kernel_pt, kernel_pb;  // paddings the kernel applies to this slice
  i32 r;                // real input rows of the slice
  i32 oh;               // output rows of the slice
  i32 kernel_pl, kernel_pr;  // deconvolution: the transposed left and right paddings
} dynamic_conv_geometry_t;

extern "C" {

void dynamic_conv_geometry_of(dynamic_conv_geometry_t *g, const dynamic_conv_geometry_in_t *in, int is_h_split);
// Output extent of a pooling window over `extent` + paddings (pure); `left_pad`
// enters ceil mode 2.
// The deconvolution's: full output OH x ow, the transposed paddings, and the
// slice's rows of the zero-inserted input (pure).
void dynamic_deconv_geometry_of(dynamic_conv_geometry_t *g, const dynamic_conv_geometry_in_t *in, i32 oph, i32 opw,
                                int is_h_split, int fp32);
i32 dynamic_pool_output_extent(i32 extent, i32 pad_lo, i32 pad_hi, i32 kernel, i32 stride, u32 ceil_mode);

// Takes the slice record of `id` out of the slot's list and derives the slice
// shape (n, c, h, w).
void local_get_input_info(int is_h_split, dynamic_pipe_info_t *slot, u32 id, int shape[4],
                          local_tensor_info_t *record);
int is_null_shape(const int *shape, int count);
void local_set_output(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 output_id, u32 output_address,
                      local_tensor_info_t *record, const int shape[4]);

void dynamic_local_func_map_fill(dynamic_local_ctrl_t *map);

void dynamic_conv_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_pool_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_const_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_eltwise_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_biasadd_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_active_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_upsample_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_dtype_convert_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_prelu_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_lrn_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_batchnorm_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_scale_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_eltwise_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_normalize_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_reorg_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_mulshift_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_select_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_lut_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_deconv_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_strideslice_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_concat_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_broadcast_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_tile_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_pad_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_reduce_full_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
void dynamic_arith_shift_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
}
