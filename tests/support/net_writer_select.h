// Test-side writer of the selection, detection and tensor-array layer records
// and their tensor references, and a runner of one-layer-per-group networks
// through the network-run API. Records are filled through the firmware's
// record structs, like net_writer.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "card.h"
#include "fw_test.h"
#include "net_writer.h"

namespace zv::test::net {

// Tensor references of global layer records.
Words ta_ref(uint32_t id, uint64_t offset);        // tensor array: id, 64-bit offset

// A global layer with store modes and references as Words.
Words glb_layer(uint32_t type, uint32_t data_size, const Record &params, const Words &refs, uint32_t in_mode = 0,
                uint32_t out_mode = 0);
// host2device / device2host: an empty record, the mode block (length word,
// then the mode), the references.
Words transfer_layer(uint32_t type, uint32_t mode, const Words &refs);


// Device memory of the runner: description, net inputs, outputs, shape
// records, the neuron region (references at kNeuronOff + x) and the
// coefficient region (offsets below the boundary).
constexpr uint64_t kRunDesc = 0x101000000ull;
constexpr uint64_t kRunShapes = 0x101800000ull;
constexpr uint64_t kRunNeuron = 0x110000000ull;
constexpr uint64_t kRunCoeff = 0x120000000ull;
constexpr uint64_t kRunScratch = 0x130000000ull;
constexpr uint64_t kRunBoundary = 0x1000000ull;
// A neuron reference offset (at or above the boundary) and its device address.
constexpr uint64_t neuron_off(uint64_t x) { return kRunBoundary + x; }
constexpr uint64_t neuron_addr(uint64_t x) { return kRunNeuron + kRunBoundary + x; }

struct NetIo {
  uint32_t id;
  uint64_t addr;
  uint32_t dtype = 0;
  std::vector<uint32_t> shape = {};  // inputs only
};

struct NetRun {
  std::vector<NetIo> inputs, outputs;
  std::vector<Group> groups;
};

// The output's returned shape record: dims and the first dims extents, then
// elem_num.
struct OutShape {
  std::vector<uint32_t> shape;
  uint32_t elem_num;
};

// Writes the description and sends API 111 (shapes returned); nullopt when the
// card did not answer.
std::optional<host::Answer> run_net(host::Card &card, const NetRun &net);
// The returned shape of output i of the last run.
OutShape out_shape(host::Card &card, size_t i);

// Net inputs 1, 2, 3 lie at kNetIn[0..2], outputs 10, 11 at kNetOut[0..1].
constexpr uint64_t kNetIn[3] = {0x102000000ull, 0x102100000ull, 0x102200000ull};
constexpr uint64_t kNetOut[2] = {0x103000000ull, 0x103100000ull};
// A net of one global layer over net inputs 1.. ({dtype, shape} each) into
// `outputs` net outputs 10...
NetRun one_layer(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> &inputs, uint32_t outputs,
                 const Words &layer);

// Runs the net and requires result 0 and no race finding.
void run_ok(host::Card &card, const NetRun &net);
// Runs `bad`, requires 1009 with `condition` on the console, then `good` on
// the same card (it still serves), after `before_good` when given (it may
// restore the inputs the good net reads).
void run_fails(host::Card &card, const NetRun &bad, const std::string &condition, const NetRun &good,
               const std::function<void()> &before_good = nullptr);

}  // namespace zv::test::net
