// Shared by the ROI pooling suites: their device-memory addresses, typed
// reads and writes of device memory, and the check of 8-bit outputs in 4N
// storage.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "fw_test.h"

namespace zv::test::roi_rig {

constexpr u64 kMap = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kRois = 0x108000000ull;
constexpr u64 kStage = 0x10c000000ull;

// The 8-bit outputs of n ROIs of `block` elements each, read from kOut: ROI r
// lies in byte r % 4 of the words of group r / 4. want holds the values ROI by
// ROI; the first five differences are reported.
inline void expect_4n_outputs(FirmwareRig &rig, const std::vector<int> &want, int n, size_t block) {
  const std::vector<u8> got = get<u8>(rig, kOut, 4 * block * size_t((n + 3) / 4));
  size_t bad = 0;
  for (int r = 0; r < n; r++)
    for (size_t e = 0; e < block; e++) {
      const int w = want[size_t(r) * block + e];
      const u8 g = got[size_t(r / 4) * 4 * block + 4 * e + size_t(r % 4)];
      if (g != u8(w) && bad++ < 5) ADD_FAILURE() << "roi " << r << " element " << e << ": " << int(g) << " want " << w;
    }
  EXPECT_EQ(bad, 0u);
}

}  // namespace zv::test::roi_rig
