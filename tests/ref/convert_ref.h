// Plain references for the conversions on local memory: rounding of floats in
// float format, float to int32 and back, the 8-bit quantiser and the 4N and
// 16-bit layouts, written from what each conversion means.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace zv::ref::convert {

// Float to int32 toward zero, saturating; NaN gives 0.
inline int32_t f32_to_i32(float x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (x <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return int32_t(x);
}

// Quantiser without rounding: clamp to the 8-bit range (NaN to the low end),
// then toward zero; the byte pattern.
inline uint8_t quantise_trunc(float x, bool is_signed) {
  const float lo = is_signed ? -128.0f : 0.0f, hi = is_signed ? 127.0f : 255.0f;
  const float c = !(x > lo) ? lo : x > hi ? hi : x;
  return uint8_t(int32_t(c) & 0xFF);
}
// Quantiser rounding half away from zero (x +- 0.5 summed in float), then
// clamped; the byte pattern.
inline uint8_t quantise_round(float x, bool is_signed) {
  const float r = x > 0 ? x + 0.5f : x < 0 ? x - 0.5f : 0.0f;
  return quantise_trunc(r, is_signed);
}

// 4N packing: item 4g + j of n items lies in byte j of word g.
inline std::vector<uint32_t> pack_4n(const std::vector<uint8_t> &items) {
  std::vector<uint32_t> words((items.size() + 3) / 4, 0);
  for (size_t i = 0; i < items.size(); i++) words[i / 4] |= uint32_t(items[i]) << (8 * (i % 4));
  return words;
}
inline float byte_value(uint8_t b, bool is_signed) { return is_signed ? float(int8_t(b)) : float(b); }
inline float half_value(uint16_t h, bool is_signed) { return is_signed ? float(int16_t(h)) : float(h); }

}  // namespace zv::ref::convert
