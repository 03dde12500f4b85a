// Plain references for compare-select and reductions over lists of values,
// written from the meaning of the operations.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "ref/eltwise_ref.h"

namespace zv::ref::select {

using u32 = std::uint32_t;
using i64 = std::int64_t;
namespace er = zv::ref::eltwise;

// R of a compare-select: c where a > b as floats, d everywhere else.
inline u32 pick(u32 a, u32 b, u32 c, u32 d) { return er::f(a) > er::f(b) ? c : d; }

// Reduce methods: 0 mean and 1 sum (as a sum), 2 max, 3 min, 4 product.
inline float fold(int method, const std::vector<float> &v) {
  float r = v.at(0);
  for (size_t i = 1; i < v.size(); i++) {
    const float x = v[i];
    switch (method) {
      case 0:
      case 1: r += x; break;
      case 2: r = x > r ? x : r; break;
      case 3: r = x < r ? x : r; break;
      case 4: r *= x; break;
      default: throw std::invalid_argument("no reduce method");
    }
  }
  return r;
}

inline i64 fold_int(int method, const std::vector<i64> &v) {
  i64 r = v.at(0);
  for (i64 x : v) {
    if (method == 2) r = x > r ? x : r;
    else if (method == 3) r = x < r ? x : r;
    else throw std::invalid_argument("no 8-bit reduce method");
  }
  return r;
}

}  // namespace zv::ref::select
