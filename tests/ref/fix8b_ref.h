// Plain integer references for the 8-bit element-wise kernels: rescaling by an
// 8-bit multiplier and a right shift rounding half up, 16-bit intermediates
// with saturation, the binary codes, ReLU, and the narrowing to signed or
// unsigned 8 bits.
#pragma once

#include <cstdint>

namespace zv::ref::fix8b {

using i64 = std::int64_t;

inline i64 sat(i64 v, int bits, bool is_signed) {
  const i64 lo = is_signed ? -(i64{1} << (bits - 1)) : 0;
  const i64 hi = is_signed ? (i64{1} << (bits - 1)) - 1 : (i64{1} << bits) - 1;
  return v < lo ? lo : v > hi ? hi : v;
}
// v / 2^s rounded half up.
inline i64 rshift_round(i64 v, int s) {
  if (s <= 0) return v;
  const i64 q = v + (i64{1} << (s - 1));
  return q >= 0 ? q >> s : -((-q + (i64{1} << s) - 1) >> s);
}
// floor(v / 2^k) for k > 0, v 2^-k... a shift by a signed count: positive
// left, negative right (flooring).
inline i64 shift_by(i64 v, int count) {
  if (count >= 0) return v * (i64{1} << count);
  const int k = -count;
  return v >= 0 ? v >> k : -((-v + (i64{1} << k) - 1) >> k);
}
inline i64 value8(uint8_t b, bool is_signed) { return is_signed ? i64(int8_t(b)) : i64(b); }
inline uint8_t byte_of(i64 v) { return uint8_t(v & 0xFF); }

// The 16-bit rescaled operand.
inline i64 rescale(i64 v, int multiplier, int shift) { return sat(rshift_round(v * multiplier, shift), 16, true); }

struct Binary {
  int code;
  int scale_A, shift_A, scale_B, shift_B;
  bool sign_A, sign_B, sign_R;
  bool b_const;
  int constant;  // signed 8-bit
  bool inverse;
  bool relu;
};

// One element of an 8-bit binary operation: the byte written.
inline uint8_t binary(const Binary &k, uint8_t a_raw, uint8_t b_raw) {
  const i64 a = value8(a_raw, k.sign_A), b = value8(b_raw, k.sign_B);
  i64 v;
  if (k.code == 2) {
    if (k.b_const) {
      v = rescale(a, k.scale_A, k.shift_A);
    } else {
      v = sat(a * b, 16, k.sign_A || k.sign_B);
      if (k.scale_A != 1 || k.shift_A + k.shift_B != 0) v = sat(rshift_round(v * k.scale_A, k.shift_A + k.shift_B), 16, true);
    }
  } else {
    const i64 a16 = rescale(a, k.scale_A, k.b_const ? 0 : k.shift_A);
    const i64 b16 = k.b_const ? k.constant : rescale(b, k.scale_B, k.shift_B);
    const i64 l = k.inverse ? b16 : a16, r = k.inverse ? a16 : b16;
    switch (k.code) {
      case 0: v = sat(l + r, 16, true); break;
      case 1: v = sat(l - r, 16, true); break;
      case 4: v = l > r ? l : r; break;
      case 10000: v = l < r ? l : r; break;
      case 10001: v = l > r; break;
      case 10002: v = l >= r; break;
      case 10003: v = l < r; break;
      case 10004: v = l <= r; break;
      case 10005: v = l == r; break;
      case 10006: v = l != r; break;
      default: v = 0;
    }
  }
  const bool relu = k.relu || !k.sign_R;
  if (relu && v < 0) v = 0;
  const int final_shift = k.b_const && k.code != 2 ? k.shift_A : 0;
  return byte_of(sat(rshift_round(v, final_shift), 8, k.sign_R && !relu));
}

}  // namespace zv::ref::fix8b
