// Plain references of the nearest-neighbour resize and of copy-to: output
// row y reads source row min(trunc(y x in_h / out_h), in_h - 1), output column
// x reads source column (x x multiplier) >> shift, the fixed-point step of
// in_w / out_w: a = trunc(4096 / scale), shift = floor(log2 a) (0 below 2),
// 9 for 4N data when 4 << shift passes 4093, at most 15, multiplier =
// trunc(scale x 2^shift), one shift less when it reaches 4096.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zv::ref {

inline void resize_step(bool four_n, float scale, int &multiplier, int &shift) {
  const int64_t a = int64_t(4096.0 / double(scale));
  shift = a >= 2 ? int(std::floor(std::log2(double(a)))) : 0;
  if (four_n && (4 << shift) > 4093) shift = 9;
  if (shift > 15) shift = 15;
  multiplier = int(scale * float(1 << shift));
  if (multiplier >= 4096) {
    shift--;
    multiplier = int(scale * float(1 << shift));
  }
}

// Source column and row of output (x, y) for a region of in_w x in_h scaled to out_w x out_h.
inline void resize_pick(bool four_n, int in_w, int in_h, int out_w, int out_h, int x, int y, int &col, int &row) {
  const float sw = float(in_w) / float(out_w), sh = float(in_h) / float(out_h);
  if (sw == 1.0f && sh == 1.0f && !four_n) {
    col = x, row = y;
    return;
  }
  int m, s;
  resize_step(four_n, sw, m, s);
  col = int((int64_t(x) * m) >> s);
  row = std::min(int(float(y) * sh), in_h - 1);
}

// The engine's float-to-byte conversion: half away from zero, saturated.
inline uint8_t float_to_byte(float f) {
  const float r = std::round(f);
  return r <= 0 ? 0 : r >= 255 ? 255 : uint8_t(r);
}

// Element conversion between the resize's data types (0 float, 1 bytes, 4 words).
inline void resize_convert(const uint8_t *from, uint32_t in_type, uint8_t *to, uint32_t out_type) {
  if (in_type == out_type) {
    std::memcpy(to, from, in_type == 1 ? 1 : 4);
  } else if (in_type == 0) {
    float f;
    std::memcpy(&f, from, 4);
    *to = float_to_byte(f);
  } else {
    const float f = float(*from);
    std::memcpy(to, &f, 4);
  }
}

}  // namespace zv::ref
