// Shared by the fixed-point convolution suites: their device-memory addresses
// and byte patterns, over the helpers every convolution suite uses.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "conv_rig.h"
#include "fw_test.h"
#include "ref/conv_fix_ref.h"

namespace zv::test::conv_fix {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kWeight = 0x102000000ull;
constexpr u64 kBias = 0x103000000ull;
constexpr u64 kOut = 0x104000000ull;

using conv_rig::get_bytes;
using conv_rig::put_bytes;
inline std::vector<u8> bytes_of(const std::vector<u16> &v) {
  std::vector<u8> b(v.size() * 2);
  if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
  return b;
}

// Bytes spread over the whole range, varying along every axis.
inline std::vector<u8> pattern(size_t n, int salt, int span = 256) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8(((i * 73 + size_t(salt) * 41 + (i >> 5) * 13) % size_t(span)) & 0xff);
  return v;
}
// Small signed weights (-span/2 .. span/2 - 1) as bytes.
inline std::vector<u8> small_weights(size_t n, int salt, int span = 16) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8(int((i * 29 + size_t(salt) * 17 + (i >> 3) * 7) % size_t(span)) - span / 2);
  return v;
}
inline std::vector<u16> biases(int n, int salt) {
  std::vector<u16> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) v[size_t(i)] = u16(((i * 977 + salt * 331) % 2001) - 1000);
  return v;
}

}  // namespace zv::test::conv_fix
