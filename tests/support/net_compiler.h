// A network compiler for tests: turns a host-framework network made of
// convolution, pooling, inner product, ReLU and softmax layers (float, or
// calibrated 8-bit) into a compiled description and its coefficients in
// device memory, written with the test-side description writer from the
// documented layout.
//
// What it emits: the leading run of convolutions, ReLUs and poolings on the
// data input becomes one local group. These layers are small (tens of
// thousands of products an image) and every intermediate of a batch slice
// fits a lane many times over, so fusing them in local memory saves every
// round trip through device memory between them: the slice is loaded once,
// the coefficients once per run, and only the last pooling's output is
// stored. ReLUs fold into the convolution before them. The inner products
// (with a following ReLU folded in) and the softmax run as global groups
// over the whole batch, since they work on flat rows. 8-bit tensors lie in
// device memory four batch items to a word (4N).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "card.h"
#include "net_writer.h"
#include "qrn/net.hpp"

namespace zv::test::netc {

struct Tensor {
  uint32_t id = 0;
  uint64_t offset = 0;  // from the neuron base (at or above the boundary), 0 for net inputs and outputs
  std::vector<uint32_t> shape;  // with the run's batch
  bool int8 = false, is_signed = true;
};

struct Compiled {
  net::Words description;
  // Coefficient bytes at offsets from the coefficient base.
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> coeffs;
  bool int8 = false;
  uint32_t batch = 0;
  std::string input_blob, output_blob;
  std::map<std::string, Tensor> tensors;  // by blob name
  uint64_t addr_boundary = 0;
  uint64_t neuron_bytes = 0;  // past the boundary
};

struct Options {
  uint32_t batch = 1;
  uint32_t n_slice = 16;  // batch items a local-group slice takes (a multiple of 4)
};

// Throws std::runtime_error on a layer or shape it does not handle. `net` is
// the float net, or the 8-bit one (mode INT8, calibrated weights loaded).
Compiled compile(const qrn::Net<float> &net, bool int8, const Options &opt);

// Where the run's regions lie in device memory.
struct Placement {
  uint64_t description, input, input_4n, output, coeff_base, neuron_base, scratch;
};
Placement default_placement();

// Writes the description and the coefficients to the card.
void load(host::Card &card, const Compiled &c, const Placement &at);
// The API-111 message for one run: the input at `at.input` (8-bit inputs as
// plain bytes, converted to 4N by the card into `at.input_4n`), the output at
// `at.output`.
std::vector<uint32_t> run_message(const Compiled &c, const Placement &at);
// Device address of a tensor of the run.
uint64_t tensor_addr(const Compiled &c, const Placement &at, const std::string &blob);

}  // namespace zv::test::netc
