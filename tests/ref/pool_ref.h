// Plain references for the local pooling kernels: averages whose divisor
// counts only the window positions inside a given area, and nearest-neighbour
// upsampling.
#pragma once

#include "ref/conv_ref.h"

namespace zv::ref::pool {

using conv::T4;
using conv::Window;

// The window sum (padding as 0) divided by the number of window positions
// whose row lies in [row_lo, row_hi) and column in [col_lo, col_hi) (input
// coordinates; the padding before the input is negative).
inline T4 average_over(const T4 &in, const Window &p, int row_lo, int row_hi, int col_lo, int col_hi) {
  T4 sum = conv::pool(in, p, false);
  for (int y = 0; y < sum.h; y++)
    for (int x = 0; x < sum.w; x++) {
      int rows = 0, cols = 0;
      for (int r = 0; r < p.kh; r++) {
        const int v = y * p.stride_h + r - p.pad_t;
        rows += v >= row_lo && v < row_hi;
      }
      for (int q = 0; q < p.kw; q++) {
        const int v = x * p.stride_w + q - p.pad_l;
        cols += v >= col_lo && v < col_hi;
      }
      for (int n = 0; n < sum.n; n++)
        for (int c = 0; c < sum.c; c++) sum.at(n, c, y, x) /= double(rows * cols);
    }
  return sum;
}

// The 8-bit ratio m / 2^e closest to k / count with the most precision: the
// largest e whose rounded m is at most 255.
inline void ratio(int k, int count, int *m, int *e) {
  int best = 0;
  for (int s = 0; s < 24; s++)
    if (std::floor(double(k) * std::ldexp(1.0, s) / count + 0.5) <= 255) best = s;
  *e = best;
  *m = int(std::floor(double(k) * std::ldexp(1.0, best) / count + 0.5));
}

// out(y, x) = in(y / size, x / size).
inline T4 upsample(const T4 &in, int size) {
  T4 out(in.n, in.c, in.h * size, in.w * size);
  for (int n = 0; n < out.n; n++)
    for (int c = 0; c < out.c; c++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) out.at(n, c, y, x) = in.at(n, c, y / size, x / size);
  return out;
}

}  // namespace zv::ref::pool
