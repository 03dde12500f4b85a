// Test-side writers for the shape, slice, pad, crop, tile and rearrangement
// controllers and the shape-tensor controllers: their records, filled through
// the firmware's record structs, and a small plan of global groups whose
// consumer counts are worked out from the ids each later group reads.
#pragma once

#include <cstdint>
#include <vector>

#include "net_writer.h"

namespace zv::test::net {

// One global layer: its words and the tensor ids it reads and writes.
struct GlobalStep {
  Words layer;
  std::vector<uint32_t> reads;
  std::vector<uint32_t> writes;
};
// Global groups in order; a written id's consumer count is the number of
// later steps that read it (net outputs get the key they are given: none).
std::vector<Group> global_plan(const std::vector<GlobalStep> &steps, const std::vector<uint32_t> &net_outputs = {});


// shape_const of up to 8 values held in the record (1-D), of `dtype`.
GlobalStep shape_const(uint32_t out_id, const std::vector<int32_t> &values, uint32_t dtype = 3);
// shape_const with a value block after the record and a shape of any dims.
GlobalStep shape_const_block(uint32_t out_id, const std::vector<int32_t> &shape, const std::vector<int32_t> &values,
                             uint32_t dtype = 3);

// constant_fill of a device tensor shaped by a shape tensor.
Record constant_fill(uint32_t value_bits, uint32_t type_len, uint32_t dtype);

}  // namespace zv::test::net
