#include "net_writer_cnn.h"

namespace zv::test::net {

Record conv_record(const ConvParams &p) {
  conv_param_t r = {};
  r.output_c = p.output_c;
  r.input_c = p.input_c;
  r.groups = p.groups;
  r.kw = p.kw;
  r.kh = p.kh;
  r.dh = p.dh;
  r.dw = p.dw;
  r.pad_h = p.pad_h;
  r.pad_h_after = p.pad_h_after;
  r.pad_w = p.pad_w;
  r.pad_w_after = p.pad_w_after;
  r.stride_h = p.stride_h;
  r.stride_w = p.stride_w;
  r.bias_mode = p.bias_mode;
  r.if_relu = p.if_relu;
  r.relu_upper_limit = p.relu_upper_limit;
  r.use_winograd = p.use_winograd;
  for (int i = 0; i < 4; i++) r.fix8b_opt[i] = p.fix8b_opt[i];
  r.weight_is_tensor = p.weight_is_tensor;
  return record_of(r);
}

Record pool_record(const PoolParams &p) {
  pool_param_t r = {};
  r.c = p.c;
  r.kw = p.kw;
  r.kh = p.kh;
  r.pad_h = p.pad_h;
  r.pad_h_after = p.pad_h_after;
  r.pad_w = p.pad_w;
  r.pad_w_after = p.pad_w_after;
  r.stride_h = p.stride_h;
  r.stride_w = p.stride_w;
  r.is_avg_pooling = p.is_avg_pooling;
  r.avg_pooling_mode = p.avg_pooling_mode;
  r.if_relu = p.if_relu;
  r.fix8b_opt0 = p.fix8b_opt0;
  r.fix8b_opt1 = p.fix8b_opt1;
  r.ceil_mode = p.ceil_mode;
  return record_of(r);
}

Record const_binary_record(uint32_t value_bits, uint32_t op, uint8_t const_is_left, uint8_t if_relu) {
  const_binary_param_t r = {};
  r.const_value = value_bits;
  r.op = op;
  r.const_is_left = const_is_left;
  r.if_relu = if_relu;
  return record_of(r);
}

Record eltwise_binary_record(uint32_t op, uint8_t a_is_coeff, uint8_t b_is_coeff, uint8_t if_relu) {
  eltwise_binary_param_t r = {};
  r.op = op;
  r.a_is_coeff = a_is_coeff;
  r.b_is_coeff = b_is_coeff;
  r.if_relu = if_relu;
  return record_of(r);
}

Record broadcast_binary_record(uint32_t op, bool a_is_coeff, const std::vector<int32_t> &a_shape, bool b_is_coeff,
                               const std::vector<int32_t> &b_shape, uint64_t buffer_offset) {
  broadcast_binary_param_t r = {};
  r.a_dims = uint8_t(a_shape.size());
  r.a_is_coeff = a_is_coeff;
  r.b_dims = uint8_t(b_shape.size());
  r.b_is_coeff = b_is_coeff;
  r.op = op;
  for (size_t i = 0; i < a_shape.size() && i < BINARY_RECORD_DIMS; i++) r.a_shape[i] = a_shape[i];
  for (size_t i = 0; i < b_shape.size() && i < BINARY_RECORD_DIMS; i++) r.b_shape[i] = b_shape[i];
  r.buffer_offset = buffer_offset;
  return record_of(r);
}

Record active_record(uint32_t active_type, float must_be_zero) {
  active_param_t r = {};
  r.active_type = active_type;
  r.relu_upper_limit = must_be_zero;
  return record_of(r);
}

Record biasadd_record(uint8_t if_relu) {
  biasadd_param_t r = {};
  r.if_relu = if_relu;
  return record_of(r);
}

Record dtype_convert_record(uint32_t from_type, uint32_t to_type) {
  dtype_convert_param_t r = {};
  r.from_type = from_type;
  r.to_type = to_type;
  return record_of(r);
}

std::optional<host::Answer> run_description(host::Card &card, const Words &desc, const NetRun &run) {
  card.write(run.desc_addr, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = run.desc_addr;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  m.inputs = run.inputs;
  m.outputs = run.outputs;
  m.return_shape = 1;
  m.shape_addr = run.shape_addr;
  m.addr_boundary = run.addr_boundary;
  m.neuron_base = run.neuron_base;
  m.coeff_base = run.coeff_base;
  return card.send(111, run_payload(m));
}

}  // namespace zv::test::net
