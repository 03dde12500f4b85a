// Plain references for the 8-bit activations: PReLU on integers, and the
// float activations of 8-bit data (scaled in, computed in single precision,
// scaled out by the reciprocal, rounded by the GDMA's float-to-byte rule).
#pragma once

#include <cmath>
#include <cstdint>

#include "ref/fix8b_ref.h"

namespace zv::ref::fix8b {

// y = max(x, 0) + sat8(round(min(x, 0) x slope >> rshift)), saturated to 8
// signed bits; with both signs 0 the byte is copied; a shared slope of 0 is
// a plain ReLU.
inline uint8_t prelu(uint8_t x, int slope, bool shared, int rshift, bool sign_input, bool sign_aux) {
  if (!sign_input && !sign_aux) return x;
  const i64 v = value8(x, true), pos = v > 0 ? v : 0, neg = v - pos;
  if (shared && slope == 0) return byte_of(pos);
  return byte_of(sat(pos + sat(rshift_round(neg * slope, rshift), 8, true), 8, true));
}

// The GDMA's float to byte: half away from zero, saturated, NaN to 0.
inline uint8_t float_to_byte(float v, bool is_signed) {
  double r = std::isnan(v) ? 0.0 : std::round(double(v));
  const double lo = is_signed ? -128 : 0, hi = is_signed ? 127 : 255;
  r = r < lo ? lo : r > hi ? hi : r;
  return uint8_t(int(r));
}

// f(x x in_scale) x (1 / out_scale) for an activation f on floats.
template <class F>
inline uint8_t activation(uint8_t x, const F &f, float in_scale, float out_scale, bool in_sign, bool out_sign) {
  const float v = (in_sign ? float(int8_t(x)) : float(x)) * in_scale;
  return float_to_byte(f(v) * (1.0f / out_scale), out_sign);
}

}  // namespace zv::ref::fix8b
