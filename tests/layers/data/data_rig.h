// Running the data-movement layers as firmware code on the chip model: the
// deferred schedule with several seeds and the happens-before checker on.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fw_test.h"
#include "runtime/engine_wait.h"

namespace zv::test {

constexpr u64 kDataIn = 0x100000000ull;
constexpr u64 kDataIn2 = 0x102000000ull;
constexpr u64 kDataOut = 0x104000000ull;
constexpr u64 kDataOut2 = 0x106000000ull;
constexpr u64 kDataBuf = 0x108000000ull;
constexpr u64 kDataBuf2 = 0x10a000000ull;

// Bytes that differ from their neighbours and from one seed to the next.
inline std::vector<u8> pattern_bytes(size_t n, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<u8>(i * 7 + seed * 13 + (i >> 8) * 3 + (i >> 16));
  return v;
}

// Runs `fn` on each seed's fresh chip after `setup`, then `check`.
inline void on_each_seed(const std::function<void(FirmwareRig &)> &setup,
                         const std::function<void(cmd_id_node_t *)> &fn,
                         const std::function<void(FirmwareRig &)> &check) {
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    LayerRunner rig(deferred(seed));
    setup(rig);
    ASSERT_TRUE(rig.call(fn));
    check(rig);
  }
}

}  // namespace zv::test
