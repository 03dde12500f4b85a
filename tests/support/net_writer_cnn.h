// Test-side writers of the global convolution/pooling and element-wise layer
// records, filled through the firmware's record structs (checked against the
// documented offsets by the record layout test), and a runner that sends one
// description through API 111.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "card.h"
#include "net_writer.h"

namespace zv::test::net {

// ---- Records ----

struct ConvParams {
  uint16_t output_c = 1, input_c = 1;
  uint32_t groups = 1;
  uint16_t kh = 1, kw = 1;
  uint8_t dh = 1, dw = 1, pad_h = 0, pad_h_after = 0, pad_w = 0, pad_w_after = 0, stride_h = 1, stride_w = 1;
  uint8_t bias_mode = 0, if_relu = 0;
  float relu_upper_limit = 0.0f;
  uint8_t use_winograd = 0;
  uint8_t fix8b_opt[4] = {0, 0, 0, 0};
  uint32_t weight_is_tensor = 0;
};
Record conv_record(const ConvParams &p);

struct PoolParams {
  uint32_t c = 1;
  uint16_t kh = 1, kw = 1;
  uint8_t pad_h = 0, pad_h_after = 0, pad_w = 0, pad_w_after = 0, stride_h = 1, stride_w = 1;
  uint8_t is_avg_pooling = 0, avg_pooling_mode = 0, if_relu = 0, fix8b_opt0 = 0, fix8b_opt1 = 0, ceil_mode = 0;
};
Record pool_record(const PoolParams &p);

Record const_binary_record(uint32_t value_bits, uint32_t op, uint8_t const_is_left = 0, uint8_t if_relu = 0);
Record eltwise_binary_record(uint32_t op, uint8_t a_is_coeff = 0, uint8_t b_is_coeff = 0, uint8_t if_relu = 0);
// Broadcast binary: coefficient operands are described by dims and shape.
Record broadcast_binary_record(uint32_t op, bool a_is_coeff, const std::vector<int32_t> &a_shape, bool b_is_coeff,
                               const std::vector<int32_t> &b_shape, uint64_t buffer_offset = 0);
Record active_record(uint32_t active_type, float must_be_zero = 0.0f);
Record biasadd_record(uint8_t if_relu = 0);
Record dtype_convert_record(uint32_t from_type, uint32_t to_type);

// ---- Global groups ----


// ---- Runs ----

struct NetRun {
  std::vector<IoInput> inputs;
  std::vector<IoOutput> outputs;
  uint64_t desc_addr, shape_addr, addr_boundary, neuron_base, coeff_base;
};
// Writes the description and sends API 111 with the run's inputs and outputs,
// shapes returned.
std::optional<host::Answer> run_description(host::Card &card, const Words &desc, const NetRun &run);

}  // namespace zv::test::net
