// Global controllers of the fully connected, batch matrix product and softmax
// layers.
#include "interp/glb_fc_ctrl.h"

#include <stdlib.h>
#include <string.h>

#include "interp/layer_records.h"
#include "interp/record_fields.h"
#include "layers/conv/fc.h"
#include "layers/conv/fc_fix8b.h"
#include "layers/eltwise/softmax.h"
#include "runtime/services.h"

// ---- Fully connected ----

void dynamic_glb_fc_output_shape_of(fc_output_shape_t *out, const i32 *in_shape, u32 in_dims, u32 input_neurons,
                                    u32 output_neurons, i32 out_dims) {
  memset(out, 0, sizeof(*out));
  const int top_dims = out_dims <= 0 ? 4 : (int)out_dims;
  // The output's record holds at most eight extents; a larger count would
  // also size the controller's heap array from an unchecked field.
  ASSERT(top_dims <= DYNAMIC_MAX_DIMS, "out_dims %d", (int)out_dims);
  int channel_index = 1;
  for (u32 i = 1; i < in_dims && i < DYNAMIC_MAX_DIMS; i++)
    if ((u32)in_shape[i] == input_neurons) channel_index = (int)i;
  out->dims = top_dims;
  out->channel_index = channel_index;
  for (int i = 0; i < top_dims; i++) out->shape[i] = 1;
  out->shape[0] = in_dims > 0 ? in_shape[0] : 1;
  if (channel_index < top_dims) out->shape[channel_index] = (i32)output_neurons;
}

void dynamic_glb_fc_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  fc_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 input_neurons = rec.input_neurons, output_neurons = rec.output_neurons;
  const u32 fc_option = rec.fc_option, has_bias = rec.has_bias, has_active = rec.has_active;
  const u32 active_type = rec.active_type, channel_shared = rec.channel_shared;
  const float shared_slope = rec.shared_slope;
  const i32 out_dims = rec.out_dims;
  const u32 fix8b_flag = rec.fix8b_flag, weight_is_tensor = rec.weight_is_tensor;

  dynamic_tensor_info_t bottom, top;
  memset(&bottom, 0, sizeof(bottom));
  memset(&top, 0, sizeof(top));
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  u64 weight;
  if (weight_is_tensor) {
    dynamic_tensor_info_t w;
    memset(&w, 0, sizeof(w));
    dynamic_context_unpack_neuron_tensor(ctx, &w, 0);
    weight = w.addr;
  } else {
    weight = dynamic_context_unpack_coeff_addr(ctx);
  }
  const u64 bias = has_bias ? dynamic_context_unpack_coeff_addr(ctx) : 0;
  const u64 slope = has_active && active_type == FC_ACTIVE_PRELU && channel_shared == 0
                        ? dynamic_context_unpack_coeff_addr(ctx)
                        : 0;
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  const int active = !has_active                         ? 0
                     : active_type == FC_ACTIVE_RELU  ? FC_ACTIVE_RELU
                     : active_type == FC_ACTIVE_PRELU ? FC_ACTIVE_PRELU
                                                      : 0;

  // The shape is checked before anything is issued.
  fc_output_shape_t shape;
  dynamic_glb_fc_output_shape_of(&shape, bottom.shape, bottom.dims, input_neurons, output_neurons, out_dims);
  top.dims = (u32)shape.dims;
  const u32 channel_index = (u32)shape.channel_index;
  ASSERT(channel_index < top.dims);

  const int n = bottom.dims > 0 ? bottom.shape[0] : 1;
  if (!is_null_tensor(&bottom)) {
    if (ctx->middle_value->data_size == DSIZE_FP32) {
      nodechip_fc_forward_parallel(bottom.addr, weight, bias, top.addr, slope, n, (int)input_neurons,
                                   (int)output_neurons, (int)fc_option, (int)has_bias, active, (int)channel_shared,
                                   shared_slope, 32, node);
    } else {
      // Requantisation words: scale, offsets flag, weight and output
      // offsets (sign-extended), 32-bit bias flag.
      const fc_fix8b_quant_t quant = {rec.fix8b_w0, (i32)rec.fix8b_b0, (i32)rec.fix8b_h0, (i32)rec.fix8b_h1,
                                      (i32)rec.fix8b_b1};
      nodechip_fc_fix8b_forward_parallel(
          bottom.addr, weight, bias, top.addr, n, (int)input_neurons, (int)output_neurons, (int)fc_option,
          (int)has_bias, rec.fix8b_opt[1], rec.fix8b_opt[2], rec.fix8b_opt[3], rec.fix8b_opt[0], 0, active == FC_ACTIVE_RELU,
          (ctx->middle_value->intensor_store_mode & 0xff) == FW_STORE_MODE_4N, weight_is_tensor != 0,
          (ctx->middle_value->outtensor_store_mode & 0xff) == FW_STORE_MODE_4N, fix8b_flag != 0, &quant, node);
    }
  }

  i32 *top_shape = (i32 *)malloc((size_t)shape.dims * sizeof(i32));
  ASSERT(top_shape != nullptr);
  memcpy(top_shape, shape.shape, (size_t)shape.dims * sizeof(i32));
  top.shape = top_shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
  free(top_shape);
}

// ---- Batch matrix product ----

// One operand: a coefficient described by the record, or a tensor.
static void matmul_operand(dynamic_context_t *ctx, const matmul_operand_param_t *rec, dynamic_tensor_info_t *info,
                           i32 *shape) {
  memset(info, 0, sizeof(*info));
  if (rec->is_coeff != 0) {
    info->addr = dynamic_context_unpack_coeff_addr(ctx);
    memcpy(shape, rec->shape, DYNAMIC_MAX_DIMS * sizeof(i32));
    info->dims = rec->dims;
    info->shape = shape;
    // A coefficient carries no type of its own; the product is computed in
    // float, so a coefficient operand counts as float.
    info->dtype = DSIZE_FP32;
  } else {
    dynamic_context_unpack_neuron_tensor(ctx, info, 0);
  }
}

void dynamic_glb_batch_matmul_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  batch_matmul_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  i32 a_shape[DYNAMIC_MAX_DIMS], b_shape[DYNAMIC_MAX_DIMS];
  dynamic_tensor_info_t a, b, top;
  matmul_operand(ctx, &rec.a, &a, a_shape);
  matmul_operand(ctx, &rec.b, &b, b_shape);
  memset(&top, 0, sizeof(top));
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  // The layer takes int arrays (i32 is a long on the ARM); it checks the
  // dims against its eight entries itself.
  int a_int[DYNAMIC_MAX_DIMS] = {0}, b_int[DYNAMIC_MAX_DIMS] = {0}, top_int[DYNAMIC_MAX_DIMS] = {0};
  for (u32 i = 0; i < a.dims && i < DYNAMIC_MAX_DIMS; i++) a_int[i] = (int)a.shape[i];
  for (u32 i = 0; i < b.dims && i < DYNAMIC_MAX_DIMS; i++) b_int[i] = (int)b.shape[i];
  int top_dims = 0;
  nodechip_batch_matmul_forward_parallel(a.addr, a_int, (int)a.dims, b.addr, b_int, (int)b.dims, top.addr,
                                         (int)rec.if_relu, (int)rec.matmul_spare, top_int, &top_dims, node);
  i32 top_shape[DYNAMIC_MAX_DIMS];
  for (int i = 0; i < DYNAMIC_MAX_DIMS; i++) top_shape[i] = top_int[i];
  top.dims = (u32)top_dims;
  top.shape = top_shape;
  top.dtype = a.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Softmax ----

void dynamic_glb_softmax_view_of(softmax_view_t *v, const i32 *shape, u32 dims, u32 axis) {
  memset(v, 0, sizeof(*v));
  v->n = shape[0];
  v->c = shape[1];
  v->h = dims > 2 ? shape[2] : 1;
  v->w = dims > 3 ? shape[3] : 1;
  v->outer = 1;
  v->inner = 1;
  for (u32 i = 0; i < axis; i++) v->outer *= (u64)(u32)shape[i];
  v->extent = (u64)(u32)shape[axis];
  for (u32 i = axis + 1; i < dims; i++) v->inner *= (u64)(u32)shape[i];
}

void dynamic_glb_softmax_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  softmax_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const i64 softmax_axis = softmax_axis_of(&rec);
  const float softmax_scale = rec.softmax_scale;
  const u64 buffer_offset = rec.buffer_offset;
  const u32 softmax_flag = rec.softmax_flag;
  const u32 data_size = ctx->middle_value->data_size;
  const int bottom_prec = data_size == DSIZE_FP32 ? SOFTMAX_PREC_FP32
                          : data_size == DSIZE_8  ? SOFTMAX_PREC_INT8
                                                  : SOFTMAX_PREC_UINT8;
  dynamic_tensor_info_t bottom, top;
  memset(&bottom, 0, sizeof(bottom));
  memset(&top, 0, sizeof(top));
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(bottom.dims >= 2);
  ASSERT(softmax_axis >= 0 && softmax_axis < bottom.dims);
  softmax_view_t v;
  dynamic_glb_softmax_view_of(&v, bottom.shape, bottom.dims, (u32)softmax_axis);
  // The layer takes the view's extents as ints.
  ASSERT(v.outer <= 0x7fffffffu && v.extent <= 0x7fffffffu && v.inner <= 0x7fffffffu, "outer %llu, inner %llu",
         (unsigned long long)v.outer, (unsigned long long)v.inner);
  // Every extent counts, also those past the fourth: an empty tensor issues
  // nothing.
  if (v.outer * v.extent * v.inner > 0)
    nodechip_softmax_forward_parallel(bottom.addr, top.addr, (int)v.outer, (int)v.extent, (int)v.inner, 1, v.n, v.c,
                                      v.h, v.w, (int)ctx->middle_value->intensor_store_mode, 0,
                                      buffer_offset + ctx->neuron_base, bottom_prec,
                                      bottom_prec == SOFTMAX_PREC_FP32 ? 0.0f : softmax_scale, softmax_flag != 0,
                                      node);
  top.dims = bottom.dims;
  top.shape = bottom.shape;
  top.dtype = DSIZE_FP32;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_fc_map_fill(dynamic_global_ctrl_t *map) {
  map[DYNAMIC_LAYER_FC] = dynamic_glb_fc_layer_ctrl;
  map[DYNAMIC_LAYER_SOFTMAX] = dynamic_glb_softmax_layer_ctrl;
  map[DYNAMIC_LAYER_BATCH_MATMUL] = dynamic_glb_batch_matmul_layer_ctrl;
}
