// Small helpers of the normalisation suites: device-memory floats and bytes,
// deterministic test data.
#pragma once

#include <cstdint>
#include <vector>

#include "fw_test.h"
#include "ref/conv_ref.h"

namespace zv::test::norm {

inline void put(FirmwareRig &rig, u64 addr, const void *data, size_t bytes) {
  rig.chip().ddr.store(addr, reinterpret_cast<const u8 *>(data), bytes);
}
// Values in [lo, hi), spread without a short period.
inline std::vector<float> spread(size_t n, float lo, float hi, unsigned salt = 0) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = lo + (hi - lo) * float(((i + salt) * 7919u + salt * 31u) % 1009) / 1009.0f;
  return v;
}
inline ref::conv::T4 t4_of(const std::vector<float> &v, int n, int c, int h, int w) {
  ref::conv::T4 t(n, c, h, w);
  for (size_t i = 0; i < t.v.size(); i++) t.v[i] = v[i];
  return t;
}
inline std::vector<double> doubles(const std::vector<float> &v) { return std::vector<double>(v.begin(), v.end()); }
// Bytes spread over 0..255 without a short period.
inline std::vector<uint8_t> spread_bytes(size_t n, unsigned salt = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t((i * 131u + salt * 17u + (i >> 7)) & 0xff);
  return v;
}

}  // namespace zv::test::norm
