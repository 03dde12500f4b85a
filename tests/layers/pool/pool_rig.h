// Shared by the pooling suites: device-memory helpers, input patterns and the
// comparison of a float output with its reference.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "ref/pool_ref.h"

namespace zv::test::pool {

using ref::conv::T4;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kOut2 = 0x108000000ull;

inline void put_floats(FirmwareRig &rig, u64 addr, const std::vector<double> &v) {
  std::vector<float> f(v.begin(), v.end());
  rig.chip().ddr.store(addr, f.data(), f.size() * 4);
}
// The typed put/get of fw_test.h under the names these suites used.
inline std::vector<float> get_floats(FirmwareRig &rig, u64 addr, size_t n) { return get<float>(rig, addr, n); }
inline void put_bytes(FirmwareRig &rig, u64 addr, const std::vector<u8> &v) { put(rig, addr, v); }
inline std::vector<u8> get_bytes(FirmwareRig &rig, u64 addr, size_t n) { return get<u8>(rig, addr, n); }

// Values in eighths from -12 to 12, varying along every axis, with seed-like
// offset `salt`.
inline T4 pattern(int n, int c, int h, int w, int salt = 0) {
  T4 t(n, c, h, w);
  for (size_t i = 0; i < t.v.size(); i++) t.v[i] = double(int((i * 37 + salt * 11 + (i / 7) * 5) % 97) - 48) / 4.0;
  return t;
}

// Every element within `tol` (relative, at least absolute 1e-6) of the reference.
inline ::testing::AssertionResult near_all(const std::vector<float> &got, const T4 &want, double tol) {
  if (got.size() != want.v.size()) return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.v.size();
  for (size_t i = 0; i < got.size(); i++) {
    const double w = want.v[i];
    if (double(got[i]) != w && !(std::fabs(got[i] - w) <= tol * std::fmax(1.0, std::fabs(w))))
      return ::testing::AssertionFailure() << "element " << i << ": " << got[i] << " want " << w;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace zv::test::pool
