// Test-side writers of the fully connected, batch matrix product and softmax
// layer records of compiled descriptions, filled through the firmware's record
// structs, and a global layer item with its store modes and reference words.
#pragma once

#include <cstdint>
#include <vector>

#include "net_writer.h"

namespace zv::test::net {

// A global layer item: header (type, data size, input and output store
// modes), the length word, the parameter bytes, then the reference words.
Words global_layer(uint32_t type, uint32_t data_size, const Record &params, const Words &refs, uint32_t in_mode = 0,
                   uint32_t out_mode = 0);

struct FcParams {
  uint32_t input_neurons = 0, output_neurons = 0;
  uint8_t fc_option = 0;  // 1: weights stored [N][K]
  bool has_bias = false, has_active = false;
  uint32_t active_type = 0;  // 1 ReLU, 2 PReLU
  bool channel_shared = false;
  float shared_slope = 0.0f;
  uint8_t rshift = 0, input_sign = 0, weight_sign = 0, bias_sign = 0;  // 8-bit layers
  int32_t out_dims = 0;
  bool weight_is_tensor = false;
};
// 56 bytes: K at 0, N at 4, option 8, bias 9, active 10, type 12, shared 16,
// slope 20, the four 8-bit option bytes at 24 (shift, then the three signs),
// out_dims 36, weight-is-tensor 52.
Record fc_record(const FcParams &p);

// 24 bytes: the axis in bits 28-31 of word 0, the scale at 4, the scratch
// offset at 8, the log flag at 16.
Record softmax_record(uint32_t axis, float scale = 0.0f, uint64_t buffer_offset = 0, uint8_t flag = 0);

// 88 bytes: per operand a coefficient flag, eight extents and the dims (A at
// 0, B at 40), ReLU at 80.
Record batch_matmul_record(bool a_is_coeff, const std::vector<int32_t> &a_shape, bool b_is_coeff,
                           const std::vector<int32_t> &b_shape, uint32_t if_relu = 0);

}  // namespace zv::test::net
