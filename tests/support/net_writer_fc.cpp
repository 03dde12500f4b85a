#include "net_writer_fc.h"

namespace zv::test::net {

Words global_layer(uint32_t type, uint32_t data_size, const Record &params, const Words &refs, uint32_t in_mode,
                   uint32_t out_mode) {
  Words w;
  w.word(type).word(data_size).word(in_mode).word(out_mode);
  w.word(uint32_t(params.bytes().size())).raw(params.bytes());
  return w.append(refs);
}


Record fc_record(const FcParams &p) {
  return Record(56)
      .u32(0, p.input_neurons)
      .u32(4, p.output_neurons)
      .u8(8, p.fc_option)
      .u8(9, p.has_bias ? 1 : 0)
      .u8(10, p.has_active ? 1 : 0)
      .u32(12, p.active_type)
      .u8(16, p.channel_shared ? 1 : 0)
      .f32(20, p.shared_slope)
      .u8(24, p.rshift)
      .u8(25, p.input_sign)
      .u8(26, p.weight_sign)
      .u8(27, p.bias_sign)
      .i32(36, p.out_dims)
      .u32(52, p.weight_is_tensor ? 1 : 0);
}

Record softmax_record(uint32_t axis, float scale, uint64_t buffer_offset, uint8_t flag) {
  return Record(24).u32(0, axis << 28).f32(4, scale).u64(8, buffer_offset).u8(16, flag);
}

Record batch_matmul_record(bool a_is_coeff, const std::vector<int32_t> &a_shape, bool b_is_coeff,
                           const std::vector<int32_t> &b_shape, uint32_t if_relu) {
  Record r(88);
  r.u32(0, a_is_coeff ? 1 : 0).u32(36, uint32_t(a_shape.size()));
  for (size_t i = 0; i < a_shape.size(); i++) r.i32(4 + 4 * i, a_shape[i]);
  r.u32(40, b_is_coeff ? 1 : 0).u32(76, uint32_t(b_shape.size()));
  for (size_t i = 0; i < b_shape.size(); i++) r.i32(44 + 4 * i, b_shape[i]);
  return r.u32(80, if_relu);
}

}  // namespace zv::test::net
