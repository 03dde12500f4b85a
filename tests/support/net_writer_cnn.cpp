#include "net_writer_cnn.h"

namespace zv::test::net {

Record conv_record(const ConvParams &p) {
  Record r(100);
  r.u16(0, p.output_c).u16(2, p.input_c).u32(8, p.groups).u16(12, p.kw).u16(14, p.kh);
  r.u8(16, p.dh).u8(17, p.dw).u8(18, p.pad_h).u8(19, p.pad_h_after).u8(20, p.pad_w).u8(21, p.pad_w_after);
  r.u8(22, p.stride_h).u8(23, p.stride_w).u8(24, p.bias_mode).u8(25, p.if_relu).f32(28, p.relu_upper_limit);
  r.u8(32, p.use_winograd);
  for (int i = 0; i < 4; i++) r.u8(44 + i, p.fix8b_opt[i]);
  r.u32(60, p.weight_is_tensor);
  return r;
}

Record pool_record(const PoolParams &p) {
  Record r(28);
  r.u32(0, p.c).u16(4, p.kw).u16(6, p.kh).u8(8, p.pad_h).u8(9, p.pad_h_after).u8(10, p.pad_w).u8(11, p.pad_w_after);
  r.u8(12, p.stride_h).u8(13, p.stride_w).u8(14, p.is_avg_pooling).u8(15, p.avg_pooling_mode).u8(16, p.if_relu);
  r.u8(24, p.fix8b_opt0).u8(25, p.fix8b_opt1).u8(27, p.ceil_mode);
  return r;
}

Record const_binary_record(uint32_t value_bits, uint32_t op, uint8_t const_is_left, uint8_t if_relu) {
  return Record(24).u32(0, value_bits).u32(4, op).u8(8, const_is_left).u8(9, if_relu);
}

Record eltwise_binary_record(uint32_t op, uint8_t a_is_coeff, uint8_t b_is_coeff, uint8_t if_relu) {
  return Record(20).u32(0, op).u8(4, a_is_coeff).u8(5, b_is_coeff).u8(6, if_relu);
}

Record broadcast_binary_record(uint32_t op, bool a_is_coeff, const std::vector<int32_t> &a_shape, bool b_is_coeff,
                               const std::vector<int32_t> &b_shape, uint64_t buffer_offset) {
  Record r(96);
  r.u8(0, uint8_t(a_shape.size())).u8(1, a_is_coeff).u8(2, uint8_t(b_shape.size())).u8(3, b_is_coeff).u32(4, op);
  for (size_t i = 0; i < a_shape.size(); i++) r.i32(12 + 4 * i, a_shape[i]);
  for (size_t i = 0; i < b_shape.size(); i++) r.i32(44 + 4 * i, b_shape[i]);
  r.u64(80, buffer_offset);
  return r;
}

Record active_record(uint32_t active_type, float must_be_zero) {
  return Record(28).u32(4, active_type).f32(12, must_be_zero);
}

Record biasadd_record(uint8_t if_relu) { return Record(20).u8(0, if_relu); }

Record dtype_convert_record(uint32_t from_type, uint32_t to_type) {
  return Record(16).u32(0, from_type).u32(4, to_type);
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
