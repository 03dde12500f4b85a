#include "net_writer_fc.h"

namespace zv::test::net {

Words global_layer(uint32_t type, uint32_t data_size, const Record &params, const Words &refs, uint32_t in_mode,
                   uint32_t out_mode) {
  return layer(type, data_size, params, refs, in_mode, out_mode);
}


Record fc_record(const FcParams &p) {
  fc_param_t r = {};
  r.input_neurons = p.input_neurons;
  r.output_neurons = p.output_neurons;
  r.fc_option = p.fc_option;
  r.has_bias = p.has_bias ? 1 : 0;
  r.has_active = p.has_active ? 1 : 0;
  r.active_type = p.active_type;
  r.channel_shared = p.channel_shared ? 1 : 0;
  r.shared_slope = p.shared_slope;
  r.fix8b_opt[0] = p.rshift;
  r.fix8b_opt[1] = p.input_sign;
  r.fix8b_opt[2] = p.weight_sign;
  r.fix8b_opt[3] = p.bias_sign;
  r.out_dims = p.out_dims;
  r.weight_is_tensor = p.weight_is_tensor ? 1 : 0;
  return record_of(r);
}

Record softmax_record(uint32_t axis, float scale, uint64_t buffer_offset, uint8_t flag) {
  softmax_param_t r = {};
  r.axis_word = axis << 28;
  r.softmax_scale = scale;
  r.buffer_offset = buffer_offset;
  r.softmax_flag = flag;
  return record_of(r);
}

static void matmul_operand_of(matmul_operand_param_t *o, bool is_coeff, const std::vector<int32_t> &shape) {
  o->is_coeff = is_coeff ? 1 : 0;
  o->dims = uint32_t(shape.size());
  for (size_t i = 0; i < shape.size() && i < 8; i++) o->shape[i] = shape[i];
}

Record batch_matmul_record(bool a_is_coeff, const std::vector<int32_t> &a_shape, bool b_is_coeff,
                           const std::vector<int32_t> &b_shape, uint32_t if_relu) {
  batch_matmul_param_t r = {};
  matmul_operand_of(&r.a, a_is_coeff, a_shape);
  matmul_operand_of(&r.b, b_is_coeff, b_shape);
  r.if_relu = if_relu;
  return record_of(r);
}

}  // namespace zv::test::net
