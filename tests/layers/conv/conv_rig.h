// Shared by the convolution suites (float and fixed point): the device-memory
// addresses of a layer's tensors and moving values in and out of them.
#pragma once

#include <cstring>
#include <vector>

#include "fw_test.h"

namespace zv::test::conv_rig {

// Float suites: input, weights, bias and output regions (32 MB for the input).
constexpr u64 kIn = 0x101000000ull;
constexpr u64 kW = 0x103000000ull;
constexpr u64 kBias = 0x104000000ull;
constexpr u64 kOut = 0x105000000ull;

// The typed put/get of fw_test.h under the names these suites used.
inline void put_bytes(FirmwareRig &rig, u64 addr, const std::vector<u8> &v) { put(rig, addr, v); }
inline std::vector<u8> get_bytes(FirmwareRig &rig, u64 addr, size_t n) { return get<u8>(rig, addr, n); }
inline void store(FirmwareRig &rig, u64 addr, const std::vector<float> &v) { put(rig, addr, v); }
inline std::vector<float> load(FirmwareRig &rig, u64 addr, size_t n) { return get<float>(rig, addr, n); }
// Small integers -span .. span, varying with i and seed: products and their
// sums stay exact in float.
inline float small(size_t i, unsigned seed, int span) {
  return float(int((i * 2654435761u + seed * 40503u) % unsigned(2 * span + 1)) - span);
}

}  // namespace zv::test::conv_rig
