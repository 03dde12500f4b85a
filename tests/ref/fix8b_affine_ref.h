// Plain references for the 8-bit per-channel affine layers: batch
// normalisation with scale and bias add with requantisation, and the 4N and
// 1N byte layouts of 8-bit tensors in device memory.
#pragma once

#include <cstdint>
#include <vector>

#include "ref/fix8b_ref.h"

namespace zv::ref::fix8b {

// Byte of item i, element e (of c x h x w) in a 4N tensor: group i / 4, byte i % 4.
inline size_t at_4n(size_t i, size_t e, size_t chw) { return 4 * ((i / 4) * chw + e) + i % 4; }

// x x scale (16 bits), + bias, optional ReLU, shifted by a signed count, optional
// upper limit, narrowed to 8 bits (unsigned with ReLU).
inline uint8_t bnscale(uint8_t x, int scale, int bias, int shift, bool si, bool ss, bool sb, bool relu, int limit) {
  const bool s1 = si || ss, s = s1 || sb;
  i64 t = sat(value8(x, si) * scale, 16, s1);
  t = sat(t + bias, 16, s);
  if (relu && t < 0) t = 0;
  t = sat(shift_by(t, shift), 16, s);
  if (relu && limit > 0 && t > limit) t = limit;
  return byte_of(sat(t, 8, relu ? false : s));
}

// (x x scale + bias) >> rshift rounding half up, optional ReLU with limit,
// narrowed to 8 bits (unsigned with ReLU, else signed).
inline uint8_t biasadd(uint8_t x, int bias, int scale, int rshift, bool si, bool relu, int limit) {
  i64 t = sat(value8(x, si) * scale, 16, true);
  t = sat(rshift_round(t + bias, rshift), 16, true);
  if (relu) {
    if (t < 0) t = 0;
    if (limit > 0 && t > limit) t = limit;
  }
  return byte_of(sat(t, 8, !relu));
}

}  // namespace zv::ref::fix8b
