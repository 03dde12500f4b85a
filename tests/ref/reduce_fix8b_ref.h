// Plain 8-bit reduce over axes, and the 4N layout it reads and writes.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace zv::ref {

// Byte of item n, element j of a 4N tensor of `per_item` elements per item.
inline size_t offset_4n(size_t n, size_t j, size_t per_item) { return ((n / 4) * per_item + j) * 4 + n % 4; }

inline std::vector<uint8_t> to_1n(const std::vector<uint8_t> &v4n, size_t items, size_t per_item) {
  std::vector<uint8_t> out(items * per_item);
  for (size_t n = 0; n < items; n++)
    for (size_t j = 0; j < per_item; j++) out[n * per_item + j] = v4n[offset_4n(n, j, per_item)];
  return out;
}

// Float to byte, rounding half away from zero, saturating.
inline uint8_t to_byte(double v, bool is_signed) {
  const double lo = is_signed ? -128 : 0, hi = is_signed ? 127 : 255;
  double r = std::isnan(v) ? 0 : std::round(v);
  r = r < lo ? lo : r > hi ? hi : r;
  return uint8_t(int(r));
}

// Reduces `in` (1N, row-major `shape`) over `axes` (none: all) by method 0
// mean, 1 sum, 2 max, 3 min, 4 product; values are bytes times in_scale (max
// and min: the bytes), the result times out_scale (not for max and min) as a
// byte. The output holds the kept extents in order.
inline std::vector<uint8_t> reduce_fix8b(const std::vector<uint8_t> &in, const std::vector<int> &shape,
                                         const std::vector<int> &axes, int method, bool is_signed, float in_scale,
                                         float out_scale) {
  const size_t dims = shape.size();
  std::vector<bool> red(dims, axes.empty());
  for (int a : axes) red[size_t(a)] = true;
  size_t kept = 1;
  for (size_t d = 0; d < dims; d++)
    if (!red[d]) kept *= size_t(shape[d]);
  std::vector<double> acc(kept, 0);
  std::vector<size_t> cnt(kept, 0);
  std::vector<size_t> idx(dims, 0);
  for (size_t f = 0; f < in.size(); f++) {
    size_t rest = f, o = 0, mul = 1;
    for (size_t d = dims; d-- > 0;) {
      idx[d] = rest % size_t(shape[d]);
      rest /= size_t(shape[d]);
    }
    for (size_t d = dims; d-- > 0;)
      if (!red[d]) {
        o += idx[d] * mul;
        mul *= size_t(shape[d]);
      }
    const double b = is_signed ? double(int8_t(in[f])) : double(in[f]);
    const double x = method == 2 || method == 3 ? b : double(float(b) * in_scale);
    if (cnt[o] == 0) acc[o] = x;
    else if (method == 2) acc[o] = x > acc[o] ? x : acc[o];
    else if (method == 3) acc[o] = x < acc[o] ? x : acc[o];
    else if (method == 4) acc[o] *= x;
    else acc[o] += x;
    cnt[o]++;
  }
  std::vector<uint8_t> out(kept);
  for (size_t o = 0; o < kept; o++) {
    double v = acc[o];
    if (method == 0) v /= double(cnt[o]);
    if (method != 2 && method != 3) v *= out_scale;
    out[o] = to_byte(v, is_signed);
  }
  return out;
}

}  // namespace zv::ref
