// Plain references for the element-wise binary_op codes: 0 add, 1 sub, 2 mul,
// 3 div, 4 max, 10000 min, 10001 A > B, 10002 A >= B, 10003 A < B, 10004
// A <= B, 10005 A == B, 10006 A != B (1 or 0), 10007 (A - B)^2.
#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace zv::ref::binary {

inline double apply(int code, double a, double b) {
  switch (code) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    case 3: return a / b;
    case 4: return a > b ? a : b;
    case 10000: return a < b ? a : b;
    case 10001: return a > b;
    case 10002: return a >= b;
    case 10003: return a < b;
    case 10004: return a <= b;
    case 10005: return a == b;
    case 10006: return a != b;
    case 10007: return (a - b) * (a - b);
  }
  throw std::invalid_argument("no binary code");
}

inline bool is_comparison(int code) { return code >= 10001 && code <= 10006; }

// The float result of one code: the arithmetic in float32, the comparisons
// exact.
inline float apply_f32(int code, float a, float b) {
  switch (code) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    case 3: return a / b;
    case 10007: {
      const float d = a - b;
      return d * d;
    }
  }
  return float(apply(code, a, b));
}

// ReLU with an optional upper limit (0 or less: none).
inline float relu(float v, float limit) {
  float r = v > 0.0f ? v : 0.0f;
  if (limit > 0.0f && r > limit) r = limit;
  return r;
}

}  // namespace zv::ref::binary
