// Global controllers of the element-wise family. Each follows the common
// pattern of the global controllers: the record into a zeroed buffer of the
// layer's size, the tensor references in stream order, the output shape, the
// kernel picked by the layer's element type (skipped for an empty input), the
// registration. Words the description carries as f32 bit patterns (caps,
// slopes, scales) reach the float parameters of the kernels as those floats.
#include "interp/glb_eltwise_ctrl.h"

#include <stdlib.h>
#include <string.h>

#include "interp/layer_records.h"
#include "interp/record_fields.h"
#include "layers/eltwise/batchnorm.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"
#include "layers/eltwise/bnscale_fix8b.h"
#include "layers/eltwise/broadcast_binary.h"
#include "layers/eltwise/convert.h"
#include "layers/eltwise/eltwise.h"
#include "layers/eltwise/fix8b_arith.h"
#include "layers/eltwise/misc_math.h"
#include "layers/eltwise/normalize.h"
#include "layers/eltwise/prelu.h"
#include "layers/eltwise/scale.h"
#include "layers/eltwise/unary.h"
#include "layers/eltwise/unary_fix8b.h"
#include "runtime/services.h"

namespace {

u32 data_size(const dynamic_context_t *ctx) { return ctx->middle_value->data_size; }
int is_int32(const dynamic_context_t *ctx) { return data_size(ctx) == DSIZE_INT32 ? 1 : 0; }

// Comparison results are float 1.0 or 0.0 whatever the operands.
const u32 kLogicalDtype = DSIZE_FP32;

// Extent i of a tensor record, 1 past its dims.
i32 extent_or_1(const dynamic_tensor_info_t *t, u32 i) { return i < t->dims ? t->shape[i] : 1; }

// The output takes the input's dims, shape, dtype and valid-element count.
void same_as_input(dynamic_tensor_info_t *top, const dynamic_tensor_info_t *bottom) {
  top->dims = bottom->dims;
  top->shape = bottom->shape;
  top->dtype = bottom->dtype;
  top->elem_num = bottom->elem_num;
}

// An operand that is a coefficient: its address, described by the record's
// dims and shape.
void coeff_operand(dynamic_context_t *ctx, dynamic_tensor_info_t *t, u32 dims, i32 *shape) {
  ASSERT(dims <= DYNAMIC_MAX_DIMS, "coefficient operand of %u dims", (unsigned)dims);
  t->addr = dynamic_context_unpack_coeff_addr(ctx);
  t->dims = dims;
  t->shape = shape;
  t->elem_num = 0;
  t->dtype = 0;
}

// A shape as the kernels take it (int entries; ones past `dims`).
void int_shape(const i32 *src, u32 dims, int out[DYNAMIC_MAX_DIMS]) {
  for (u32 i = 0; i < DYNAMIC_MAX_DIMS; i++) out[i] = src != nullptr && i < dims ? (int)src[i] : 1;
}

// Operand type codes of the 8-bit binary kernels into their two flag arrays.
void fix8b_operand_flags(u8 a_code, u8 b_code, int first[3], int second[3]) {
  first[0] = a_code != 2;
  first[1] = b_code != 2;
  first[2] = 1;
  second[0] = a_code == 1 || a_code == 2;
  second[1] = b_code == 1 || b_code == 2;
  second[2] = second[0] || second[1];
}

}  // namespace

// ---- Batch normalisation, scale ----

void dynamic_glb_batchnorm_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  batchnorm_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int if_relu = rec.if_relu != 0;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  ASSERT(bottom.dims <= 4);
  const u64 mean = dynamic_context_unpack_coeff_addr(ctx);
  const u64 variance = dynamic_context_unpack_coeff_addr(ctx);
  const u64 third = data_size(ctx) != DSIZE_FP32 ? dynamic_context_unpack_coeff_addr(ctx) : 0;
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  i32 s[4] = {1, 1, 1, 1};
  for (u32 i = 0; i < bottom.dims; i++) s[i] = bottom.shape[i];
  if (!is_null_tensor(&bottom)) {
    if (data_size(ctx) == DSIZE_FP32) {
      nodechip_batchnorm_forward_inference_parallel(bottom.addr, mean, variance, rec.bn_scale, 0, top.addr,
                                                    rec.eps, s[0], s[1], s[2], s[3], 0, 0, if_relu, node);
    } else {
      ASSERT(ctx->middle_value->data_size == DSIZE_8);
      nodechip_bnscale_forward_parallel_fix8b_with_src_storage_mode(
          bottom.addr, top.addr, mean, variance, third, s[0], s[1], s[2], s[3], rec.fix8b_opt[0], rec.fix8b_opt[1],
          rec.fix8b_opt[2], (int)ctx->middle_value->intensor_store_mode, if_relu, (int)rec.fix8b_f0, node);
    }
  } else if (data_size(ctx) != DSIZE_FP32) {
    ASSERT(ctx->middle_value->data_size == DSIZE_8);
  }
  same_as_input(&top, &bottom);
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_scale_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  scale_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  const u64 scale = dynamic_context_unpack_coeff_addr(ctx);
  const u64 bias = dynamic_context_unpack_coeff_addr(ctx);
  ASSERT(bottom.dims <= 4);
  const u64 third = data_size(ctx) != DSIZE_FP32 ? dynamic_context_unpack_coeff_addr(ctx) : 0;
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  const i32 n = extent_or_1(&bottom, 0), c = extent_or_1(&bottom, 1), h = extent_or_1(&bottom, 2),
            w = extent_or_1(&bottom, 3);
  if (!is_null_tensor(&bottom)) {
    if (data_size(ctx) == DSIZE_FP32)
      nodechip_scale_forward(bottom.addr, scale, bias, top.addr, n, c, h, w, rec.shape_axis, (i32)rec.shape_axis_num,
                             rec.scale_flag != 0, rec.if_relu != 0, node);
    else
      nodechip_bnscale_forward_parallel_fix8b_with_src_storage_mode(
          bottom.addr, top.addr, scale, bias, third, n, c, h, w, rec.fix8b_opt[0], rec.fix8b_opt[1], rec.fix8b_opt[2],
          (int)ctx->middle_value->intensor_store_mode, rec.if_relu, (int)rec.fix8b_f0, node);
  }
  same_as_input(&top, &bottom);
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Eltwise over several inputs ----

void dynamic_glb_eltwise_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  eltwise_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 op = rec.op, input_num = rec.input_num, eltwise_flag = rec.eltwise_flag;
  // The shape and the output come from the last input; the 8-bit kernel
  // takes the first two.
  ASSERT(input_num >= 1, "eltwise without inputs");
  if (data_size(ctx) == DSIZE_8) ASSERT(input_num >= 2, "8-bit eltwise of %u input", (unsigned)input_num);

  // The per-input bytes exist for ten inputs; further inputs get zeros.
  u8 *in_a = (u8 *)calloc(input_num, 1), *in_b = (u8 *)calloc(input_num, 1);
  float *coeffs = (float *)calloc(input_num, sizeof(float));
  u64 *addrs = (u64 *)calloc(input_num, sizeof(u64));
  ASSERT(in_a != nullptr && in_b != nullptr && coeffs != nullptr && addrs != nullptr);
  const u32 bytes = input_num < GLB_ELTWISE_FIX8B_INPUTS ? input_num : GLB_ELTWISE_FIX8B_INPUTS;
  memcpy(in_a, rec.fix8b_in_a, bytes);
  memcpy(in_b, rec.fix8b_in_b, bytes);

  dynamic_tensor_info_t last = {}, top = {};
  for (u32 i = 0; i < input_num; i++) {
    const u32 is_net_io = dynamic_context_read_u32(ctx);
    last.id = dynamic_context_read_u32(ctx) & 0xffff;
    if (op == 1) {
      const u32 word = dynamic_context_read_u32(ctx);
      memcpy(&coeffs[i], &word, 4);
    }
    last.addr = is_net_io == 0 ? dynamic_context_read_u64(ctx) + ctx->neuron_base : 0;
    last.host_data = nullptr;
    last.tensor_array_info = nullptr;
    dynamic_context_tensor_find_info(ctx, &last);
    addrs[i] = last.addr;
  }
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);

  int shape[4] = {1, 1, 1, 1};
  for (u32 i = 0; i < last.dims && i < DYNAMIC_MAX_DIMS; i++) {
    if (i < 4)
      shape[i] = last.shape[i];
    else
      shape[3] *= last.shape[i];
  }
  if (!is_null_tensor(&last)) {
    if (data_size(ctx) == DSIZE_FP32) {
      float *index = (float *)malloc(input_num * sizeof(float));
      ASSERT(index != nullptr);
      for (u32 i = 0; i < input_num; i++) index[i] = (float)i;
      nodechip_eltwise_forward(addrs, top.addr, 0, 0, shape, shape, (int)input_num, 4, (int)op, coeffs, 0, index,
                               (int)eltwise_flag, node);
      free(index);
    } else {
      ASSERT(ctx->middle_value->data_size == DSIZE_8);
      i32 k0, k1;
      memcpy(&k0, &coeffs[0], 4);
      memcpy(&k1, &coeffs[1], 4);
      nodechip_eltwise_fix8b_forward_parallel(addrs[0], addrs[1], top.addr, shape[0], shape[1], shape[2], shape[3],
                                              (int)op, k0, k1, in_a[0], in_a[1], in_b[0], in_b[1], (int)eltwise_flag,
                                              node);
    }
  }
  free(in_a);
  free(in_b);
  free(coeffs);
  free(addrs);
  top.dims = last.dims;
  top.shape = last.shape;
  top.elem_num = last.elem_num;
  top.dtype = 0;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- PReLU, normalize, mulshift ----

void dynamic_glb_prelu_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  prelu_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const float shared_slope = rec_bits_f32(rec.shared_slope);
  const u32 channel_shared = rec.channel_shared;
  const float relu_upper_limit = rec.relu_upper_limit;
  ASSERT(relu_upper_limit <= 0 || channel_shared);
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  const u64 slope = channel_shared ? 0 : dynamic_context_unpack_coeff_addr(ctx);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  i32 s[4];
  assign_shape_by_dim(&bottom, s, 4);
  if (!is_null_tensor(&bottom)) {
    if (data_size(ctx) == DSIZE_FP32) {
      if (channel_shared)
        nodechip_relu_forward_32bit_parallel(bottom.addr, top.addr, shared_slope, relu_upper_limit, s[0], s[1], s[2],
                                             s[3], node);
      else
        nodechip_prelu_forward(bottom.addr, slope, top.addr, shared_slope, 0, s[0], s[1], s[2], s[3], node);
    } else if (data_size(ctx) == DSIZE_8) {
      ASSERT(relu_upper_limit <= 0);
      nodechip_prelu_forward_fix8b(bottom.addr, slope, top.addr, shared_slope, (int)channel_shared, s[0], s[1], s[2],
                                   s[3], rec.fix8b_opt[0], rec.fix8b_opt[1], rec.fix8b_opt[2], rec.fix8b_opt0,
                                   (u8)ctx->middle_value->intensor_store_mode == FW_STORE_MODE_4N, node);
    } else {
      fw_log(0, "Unsupported data size: %d", (int)data_size(ctx));
      ASSERT(0);
    }
  }
  top.dims = bottom.dims;
  top.shape = bottom.shape;
  top.elem_num = bottom.elem_num;
  top.dtype = 0;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_normalize_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  normalize_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u8 norm_flag = rec.norm_flag != 0, channel_shared = rec.channel_shared != 0;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  ASSERT(bottom.dims == 4);
  const u64 scale = channel_shared ? 0 : dynamic_context_unpack_coeff_addr(ctx);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  const i32 n = bottom.shape[0], c = bottom.shape[1], h = bottom.shape[2], w = bottom.shape[3];
  if (!is_null_tensor(&bottom)) {
    if (data_size(ctx) == DSIZE_FP32)
      nodechip_normalize_forward(bottom.addr, top.addr, scale, norm_flag, channel_shared, n, c, h, w, rec.norm_arg0,
                                 rec.norm_arg1, rec.norm_opt, node);
    else
      nodechip_normalize_fix8b_forward(bottom.addr, top.addr, scale, norm_flag, channel_shared, n, c, h, w,
                                       rec.norm_arg0, rec.norm_arg1, rec.norm_opt, rec.fix8b_opt[0], rec.fix8b_opt[1], node);
  }
  same_as_input(&top, &bottom);
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_mulshift_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  mulshift_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  const i32 n = extent_or_1(&bottom, 0), c = extent_or_1(&bottom, 1);
  i32 h = extent_or_1(&bottom, 2), w = extent_or_1(&bottom, 3);
  if (h == 0) h = 1;
  if (w == 0) w = 1;
  // Only 8-bit layers compute; any other size registers its output.
  if (data_size(ctx) == DSIZE_8 && !is_null_tensor(&bottom))
    nodechip_mulshift_fix8b_forward(bottom.addr, top.addr, n, c, h, w, (i32)rec.multiplier, (i32)rec.shift,
                                    rec.fix8b_opt[0], 0, rec.fix8b_opt[1], node);
  top.dims = bottom.dims;
  top.shape = bottom.shape;
  top.elem_num = bottom.elem_num;
  top.dtype = 0;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Binary operations ----

void dynamic_glb_broadcast_binary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  broadcast_binary_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 a_dims = rec.a_dims, a_is_coeff = rec.a_is_coeff, b_dims = rec.b_dims, b_is_coeff = rec.b_is_coeff;
  const int op = (int)rec.op, if_relu = rec.if_relu;
  i32 a_shape[DYNAMIC_MAX_DIMS], b_shape[DYNAMIC_MAX_DIMS];
  memcpy(a_shape, rec.a_shape, sizeof(a_shape));
  memcpy(b_shape, rec.b_shape, sizeof(b_shape));

  dynamic_tensor_info_t ina = {}, inb = {}, top = {};
  if (a_is_coeff)
    coeff_operand(ctx, &ina, a_dims, a_shape);
  else
    dynamic_context_unpack_neuron_tensor(ctx, &ina, 0);
  if (b_is_coeff)
    coeff_operand(ctx, &inb, b_dims, b_shape);
  else
    dynamic_context_unpack_neuron_tensor(ctx, &inb, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(ina.dims <= DYNAMIC_MAX_DIMS && inb.dims <= DYNAMIC_MAX_DIMS);

  int a[DYNAMIC_MAX_DIMS], b[DYNAMIC_MAX_DIMS], r[DYNAMIC_MAX_DIMS];
  int_shape(ina.shape, ina.dims, a);
  int_shape(inb.shape, inb.dims, b);
  for (u32 i = 0; i < DYNAMIC_MAX_DIMS; i++) r[i] = 1;
  top.dims = (u32)get_broadcast_binary_top_shape(a, (int)ina.dims, b, (int)inb.dims, r);
  ASSERT(top.dims <= DYNAMIC_MAX_DIMS);
  i32 shape[DYNAMIC_MAX_DIMS];
  for (u32 i = 0; i < DYNAMIC_MAX_DIMS; i++) shape[i] = r[i];
  top.shape = shape;
  top.dtype = !b_is_coeff ? inb.dtype : !a_is_coeff ? ina.dtype : 0;
  if (is_logical_binary_op(op)) top.dtype = kLogicalDtype;
  if (get_tensor_element_num(&ina) == 1 && !b_is_coeff)
    top.elem_num = inb.elem_num;
  else if (get_tensor_element_num(&inb) == 1 && !a_is_coeff)
    top.elem_num = ina.elem_num;
  else
    top.elem_num = 0;

  if (!is_null_tensor(&top)) {
    const u32 size = data_size(ctx);
    if (size == DSIZE_FP32 || size == DSIZE_INT32) {
      const u64 scratch = rec.buffer_offset + ctx->neuron_base;
      nodechip_broadcast_binary_full(ina.addr, a, (int)ina.dims, inb.addr, b, (int)inb.dims, top.addr,
                                     scratch, op, if_relu, rec_bits_f32(rec.relu_upper_limit), 0, node, is_int32(ctx));
    } else {
      ASSERT(ina.dims == inb.dims);
      int first[3], second[3];
      fix8b_operand_flags(rec.operand_type[0], rec.operand_type[1], first, second);
      const u8 *o = rec.fix8b_opt;
      nodechip_broadcast_binary_fix8b_forward_parallel(ina.addr, inb.addr, top.addr, a, b, (int)ina.dims,
                                                       a_is_coeff != 0, b_is_coeff != 0, op, o[0], o[1], o[2], o[3],
                                                       first, second, if_relu, node);
    }
  }
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_const_binary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  const_binary_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int op = (int)rec.op, const_is_left = rec.const_is_left, if_relu = rec.if_relu;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  const u64 n = get_tensor_element_num(&bottom);
  if (n != 0 && !is_null_tensor(&bottom)) {
    const u32 size = data_size(ctx);
    if (size == DSIZE_FP32 || size == DSIZE_INT32)
      nodechip_const_binary(bottom.addr, n, rec.const_value, top.addr, op, const_is_left, if_relu,
                            rec_bits_f32(rec.relu_upper_limit),
                            node, is_int32(ctx));
    else {
      int shape[DYNAMIC_MAX_DIMS];
      int_shape(bottom.shape, bottom.dims, shape);
      nodechip_const_binary_fix8b_forward_parallel(bottom.addr, top.addr, (int)rec_bits_f32(rec.const_value), shape,
                                                   (int)bottom.dims, op, rec.fix8b_opt[0], rec.fix8b_opt[1],
                                                   rec.fix8b_opt[2], rec.fix8b_opt[3], rec.fix8b_opt[4],
                                                   rec.fix8b_opt[4], 1, const_is_left, if_relu, node);
    }
  }
  same_as_input(&top, &bottom);
  if (is_logical_binary_op(op)) top.dtype = kLogicalDtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_eltwise_binary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  eltwise_binary_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  struct {
    u8 a_is_coeff, b_is_coeff;
  } param = {rec.a_is_coeff, rec.b_is_coeff};
  const auto *layer_param = &param;
  const int op = (int)rec.op, if_relu = rec.if_relu;
  dynamic_tensor_info_t ina = {}, inb = {}, top = {};
  if (layer_param->a_is_coeff)
    ina.addr = dynamic_context_unpack_coeff_addr(ctx);
  else
    dynamic_context_unpack_neuron_tensor(ctx, &ina, 0);
  if (layer_param->b_is_coeff)
    inb.addr = dynamic_context_unpack_coeff_addr(ctx);
  else
    dynamic_context_unpack_neuron_tensor(ctx, &inb, 0);
  ASSERT(!(layer_param->a_is_coeff && layer_param->b_is_coeff));
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);

  same_as_input(&top, layer_param->a_is_coeff ? &inb : &ina);
  if (is_logical_binary_op(op)) top.dtype = kLogicalDtype;
  const u64 n = get_tensor_element_num(&top);
  if (!is_null_tensor(&top)) {
    const u32 size = data_size(ctx);
    if (size == DSIZE_FP32 || size == DSIZE_INT32) {
      nodechip_eltwise_binary(ina.addr, inb.addr, top.addr, n, op, if_relu, rec_bits_f32(rec.u.glb.relu_upper_limit), node,
                              is_int32(ctx));
    } else {
      int first[3], second[3], shape[DYNAMIC_MAX_DIMS];
      fix8b_operand_flags(rec.u.glb.operand_type[0], rec.u.glb.operand_type[1], first, second);
      int_shape(top.shape, top.dims, shape);
      nodechip_eltwise_binary_fix8b_forward_parallel(ina.addr, inb.addr, top.addr, shape, (int)top.dims,
                                                     layer_param->a_is_coeff != 0, layer_param->b_is_coeff != 0, op,
                                                     rec.u.glb.fix8b_opt[0], rec.u.glb.fix8b_opt[1], rec.u.glb.fix8b_opt[2],
                                                     rec.u.glb.fix8b_opt[3], first, second, if_relu, node);
    }
  }
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_biasadd_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  biasadd_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int if_relu = rec.if_relu;
  const float relu_upper_limit = rec.relu_upper_limit;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  const u64 bias = dynamic_context_unpack_coeff_addr(ctx);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  i32 d[4];
  assign_shape_by_dim(&bottom, d, 4);
  const int s[4] = {(int)d[0], (int)d[1], (int)d[2], (int)d[3]};
  const int bias_shape[4] = {1, s[1], 1, 1};
  if (!is_null_tensor(&bottom)) {
    const u32 size = data_size(ctx);
    if (size == DSIZE_FP32 || size == DSIZE_INT32)
      nodechip_broadcast_binary(bottom.addr, s, bias, bias_shape, top.addr, 0, if_relu, relu_upper_limit, node,
                                is_int32(ctx));
    else
      nodechip_biasadd_fix8b(bottom.addr, s, bias, top.addr, rec.fix8b_opt[0], rec.fix8b_opt[1], (i32)rec.fix8b_w1,
                             (i32)rec.fix8b_w0,
                             if_relu, (int)relu_upper_limit, node);
  }
  same_as_input(&top, &bottom);
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Activation ----

void dynamic_glb_active_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  active_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int active_type = (int)rec.active_type;
  const float relu_upper_limit = rec.relu_upper_limit;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(relu_upper_limit == 0.0);
  if (data_size(ctx) == DSIZE_FP32) {
    const u64 n = is_null_tensor(&bottom) ? 0 : get_tensor_element_num(&bottom);
    if (n != 0) nodechip_active_forward_parallel(bottom.addr, top.addr, n, active_type, nullptr, node);
  } else {
    // 4N data lies four batch items to a word: the batch counts whole words.
    // 1N data holds its items one after the other; counting whole words there
    // would write past the end of the output.
    u64 n = 0;
    if (!is_null_tensor(&bottom) && bottom.dims > 0 && bottom.shape[0] > 0) {
      n = ctx->middle_value->intensor_store_mode == FW_STORE_MODE_1N ? (u64)bottom.shape[0]
                                                                     : ((u64)bottom.shape[0] + 3) / 4 * 4;
      for (u32 i = 1; i < bottom.dims && i < DYNAMIC_MAX_DIMS; i++) n *= bottom.shape[i] > 0 ? (u64)bottom.shape[i] : 1;
    }
    const u32 zero = 0;
    if (n != 0)
      nodechip_active_forward_parallel_fix8b(bottom.addr, top.addr, n, active_type, rec_bits_f32(rec.fix8b_w0),
                                             rec_bits_f32(rec.fix8b_w1), rec.fix8b_opt[0], rec.fix8b_opt[1], &zero,
                                             node);
  }
  same_as_input(&top, &bottom);
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Data-type conversion ----

namespace {

const i64 kFoldC = 4095, kFoldHW = 65535;

// Folding of the first kind: the extents as they stand, further extents
// multiplied into w and moving left when w would pass 65535. Returns 0 when
// the result breaks a limit of the engines.
int fold_in_place(const i32 *shape, u32 dims, i64 s[4]) {
  for (u32 i = 0; i < 4; i++) s[i] = i < dims ? shape[i] : 1;
  int slot = 3;
  for (u32 i = 4; i < dims; i++) {
    if (s[slot] * shape[i] > kFoldHW) {
      slot--;
      if (slot < 0) {
        fw_log(0, "TODO: not support data type convert for this shape now!\n");
        ASSERT(0);
      }
    }
    s[slot] *= shape[i];
  }
  return s[1] < kFoldC + 1 && s[2] <= kFoldHW && s[3] <= kFoldHW;
}

// Folding of the second kind: n stays, the rest is cut into c and h by
// divisors of its product, w takes what remains.
void fold_by_divisors(const i32 *shape, u32 dims, i64 s[4]) {
  s[0] = dims > 0 ? shape[0] : 1;
  s[1] = s[2] = s[3] = 1;
  i64 p = 1;
  for (u32 i = 1; i < dims; i++) p *= shape[i];
  const i64 limits[2] = {kFoldC, kFoldHW};
  for (u32 k = 0; k < 2; k++) {
    if (p <= limits[k]) {
      s[1 + k] = p;
      return;
    }
    for (i64 d = limits[k]; d >= 65; d--)
      if (p % d == 0) {
        s[1 + k] = d;
        break;
      }
    p /= s[1 + k];
  }
  s[3] = p;
}

}  // namespace

void glb_dtype_convert_fold(const i32 *shape, u32 dims, i32 out[4]) {
  ASSERT(dims <= DYNAMIC_MAX_DIMS, "conversion of %u dims", (unsigned)dims);
  const i64 c = dims > 1 ? shape[1] : 1, h = dims > 2 ? shape[2] : 1, w = dims > 3 ? shape[3] : 1;
  i64 bottom_shape[4];
  // The folding as the extents stand can still carry a channel count above
  // the engines' limit (extents multiplied into c without a check); such a
  // shape is cut by divisors instead.
  if (!(c < kFoldC + 1 && h <= kFoldHW && w <= kFoldHW && fold_in_place(shape, dims, bottom_shape)))
    fold_by_divisors(shape, dims, bottom_shape);
  ASSERT((4095) > bottom_shape[1]);
  ASSERT((65535) > bottom_shape[2]);
  ASSERT((65535) > bottom_shape[3]);
  for (u32 i = 0; i < 4; i++) out[i] = (i32)bottom_shape[i];
}

void dynamic_glb_dtype_convert_layer_ctrl_v2(dynamic_context_t *ctx, cmd_id_node_t *node) {
  dtype_convert_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 from_type = rec.from_type, to_type = rec.to_type;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  const int to_float = (from_type == 2 || from_type == 3) && to_type == 0;
  const int to_int8 = from_type == 0 && (to_type == 2 || to_type == 3);
  int unary = -1;
  if (!to_float && !to_int8) {
    if (from_type == 6 && to_type == 0)
      unary = 33;  // i32 to f32
    else if (from_type == 7 && to_type == 0)
      unary = 34;  // u32 to f32
    else if (from_type == 0 && to_type == 6)
      unary = 31;  // f32 to i32
    if (unary < 0) {
      fw_log(0, "TODO: not support data type convert (%d -> %d) now!\n", (int)from_type, (int)to_type);
      ASSERT(0);
    }
  }
  if (!is_null_tensor(&bottom)) {
    if (unary >= 0) {
      const u64 n = get_tensor_element_num(&bottom);
      if (n != 0) nodechip_unary(bottom.addr, top.addr, n, unary, nullptr, node);
    } else {
      i32 s[4];
      glb_dtype_convert_fold(bottom.shape, bottom.dims, s);
      if (to_float)
        nodechip_global_int2float(bottom.addr, top.addr, s[0], s[1], s[2], s[3], from_type == 2, STORAGE_MODE_4N_INT8,
                                  node);
      else
        nodechip_float2int8_v2(bottom.addr, top.addr, s[0], s[1], s[2], s[3], to_type == 2, node);
    }
  }
  top.dims = bottom.dims;
  top.shape = bottom.shape;
  top.elem_num = bottom.elem_num;
  top.dtype = to_type == 2 || to_type == 3 ? DSIZE_8
              : to_type == 0              ? DSIZE_FP32
              : to_type == 6              ? DSIZE_INT32
              : to_type == 4              ? DSIZE_16
                                          : 0;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Lookup table, matrix band part, arithmetic shift ----

void dynamic_glb_lut_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  lut_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 in_dims = rec.in_dims, input_is_coeff = rec.input_is_coeff, table_is_coeff = rec.table_is_coeff;
  const u32 lut_opt = rec.lut_opt;
  i32 in_shape[DYNAMIC_MAX_DIMS];
  memcpy(in_shape, rec.in_shape, sizeof(in_shape));
  dynamic_tensor_info_t bottom = {}, table = {}, top = {};
  if (input_is_coeff)
    coeff_operand(ctx, &bottom, in_dims, in_shape);
  else
    dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  if (table_is_coeff)
    table.addr = dynamic_context_unpack_coeff_addr(ctx);
  else
    dynamic_context_unpack_neuron_tensor(ctx, &table, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  i32 s[4];
  assign_shape_by_dim(&bottom, s, 4);
  // An empty input issues nothing, as in every other controller; a table
  // that is itself an empty tensor has nothing to look up.
  if (!is_null_tensor(&bottom)) {
    ASSERT(table_is_coeff || !is_null_tensor(&table), "lookup table tensor %u is empty", (unsigned)table.id);
    nodechip_lut(bottom.addr, top.addr, table.addr, s[0], s[1], s[2], s[3], (int)lut_opt, node);
  }
  top.dims = bottom.dims;
  top.shape = bottom.shape;
  top.elem_num = bottom.elem_num;
  top.dtype = rec.out_dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_matrix_band_part_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  matrix_band_part_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  if (data_size(ctx) != DSIZE_FP32) ASSERT(0);
  ASSERT(bottom.dims <= DYNAMIC_MAX_DIMS);
  int shape[DYNAMIC_MAX_DIMS];
  int_shape(bottom.shape, bottom.dims, shape);
  nodechip_matrix_band_part(bottom.addr, top.addr, shape, (int)bottom.dims, rec.band_lower, rec.band_upper,
                            node);
  same_as_input(&top, &bottom);
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_arith_shift_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  arith_shift_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 shift_mode = rec.shift_mode;
  if (shift_mode == 1) {
    ASSERT(ctx->middle_value->data_size == DSIZE_16, "shift_mode 1 requires input is int16");
    ASSERT(ctx->middle_value->intensor_store_mode == FW_STORE_MODE_2N, "shift_mode 1 requires input is 2N store mode");
  } else {
    ASSERT(ctx->middle_value->data_size == DSIZE_8, "shift_mode 0/2 requires input is int8");
    ASSERT(ctx->middle_value->intensor_store_mode == FW_STORE_MODE_4N, "shift_mode 0/2 requires input is 4N store mode");
  }
  ASSERT(ctx->middle_value->outtensor_store_mode == FW_STORE_MODE_4N, "arith_shift requires output is 4N store mode");
  dynamic_tensor_info_t bottom0 = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom0, 0);
  ASSERT(bottom0.dims <= 4);
  i32 s[4] = {1, 1, 1, 1};
  for (u32 i = 0; i < bottom0.dims; i++) s[i] = bottom0.shape[i];
  const u64 shift = dynamic_context_unpack_coeff_addr(ctx);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  nodechip_arith_shift_fix8b_forward(bottom0.addr, top.addr, shift, s[0], s[1], s[2], s[3], (i32)rec.shift_arg1,
                                     (i32)rec.shift_arg2, (int)shift_mode, (i32)rec.shift_arg0, node);
  top.dims = bottom0.dims;
  top.shape = bottom0.shape;
  top.elem_num = bottom0.elem_num;
  top.dtype = DSIZE_8;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_eltwise_map_fill(dynamic_global_ctrl_t *map) {
  map[DYNAMIC_LAYER_BATCHNORM] = dynamic_glb_batchnorm_layer_ctrl;
  map[DYNAMIC_LAYER_SCALE] = dynamic_glb_scale_layer_ctrl;
  map[DYNAMIC_LAYER_ELTWISE] = dynamic_glb_eltwise_layer_ctrl;
  map[DYNAMIC_LAYER_PRELU] = dynamic_glb_prelu_layer_ctrl;
  map[DYNAMIC_LAYER_NORMALIZE] = dynamic_glb_normalize_layer_ctrl;
  map[DYNAMIC_LAYER_MULSHIFT] = dynamic_glb_mulshift_layer_ctrl;
  map[DYNAMIC_LAYER_BROADCAST_BINARY] = dynamic_glb_broadcast_binary_layer_ctrl;
  map[DYNAMIC_LAYER_CONST_BINARY] = dynamic_glb_const_binary_layer_ctrl;
  map[DYNAMIC_LAYER_ELTWISE_BINARY] = dynamic_glb_eltwise_binary_layer_ctrl;
  map[DYNAMIC_LAYER_BIASADD] = dynamic_glb_biasadd_layer_ctrl;
  map[DYNAMIC_LAYER_ACTIVE] = dynamic_glb_active_layer_ctrl;
  map[DYNAMIC_LAYER_DTYPE_CONVERT] = dynamic_glb_dtype_convert_layer_ctrl_v2;
  map[DYNAMIC_LAYER_LUT] = dynamic_glb_lut_layer_ctrl;
  map[DYNAMIC_LAYER_MATRIX_BAND_PART] = dynamic_glb_matrix_band_part_layer_ctrl;
  map[DYNAMIC_LAYER_ARITH_SHIFT] = dynamic_glb_arith_shift_layer_ctrl;
}
