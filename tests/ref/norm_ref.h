// Plain references for the cross-channel normalisations: local response
// normalisation across channels and L2 normalisation with scaling.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "ref/conv_ref.h"

namespace zv::ref::norm {

using conv::T4;

// out = x * (k + alpha / size * S)^-beta, S the sum of x^2 over the channels
// c - r .. c + r inside the tensor, r = (size - 1) / 2.
inline T4 lrn(const T4 &x, double alpha, int size, double beta, double k) {
  T4 out = x;
  const int r = (size - 1) / 2;
  for (int n = 0; n < x.n; n++)
    for (int c = 0; c < x.c; c++)
      for (int y = 0; y < x.h; y++)
        for (int w = 0; w < x.w; w++) {
          double s = 0;
          for (int d = std::max(0, c - r); d <= std::min(x.c - 1, c + r); d++) s += x.at(n, d, y, w) * x.at(n, d, y, w);
          out.at(n, c, y, w) = x.at(n, c, y, w) * std::pow(k + alpha / size * s, -beta);
        }
  return out;
}

// out = x / sqrt(sum of x^2 + eps) * scale (per channel, or the one value),
// the sum over the channels at each position or over a whole item; then
// max(out, 0) when relu.
inline T4 normalize(const T4 &x, bool across_spatial, double eps, const std::vector<double> &scale, bool relu) {
  T4 out = x;
  for (int n = 0; n < x.n; n++) {
    double item = 0;
    for (int c = 0; c < x.c; c++)
      for (int y = 0; y < x.h; y++)
        for (int w = 0; w < x.w; w++) item += x.at(n, c, y, w) * x.at(n, c, y, w);
    for (int y = 0; y < x.h; y++)
      for (int w = 0; w < x.w; w++) {
        double s = 0;
        for (int c = 0; c < x.c; c++) s += x.at(n, c, y, w) * x.at(n, c, y, w);
        for (int c = 0; c < x.c; c++) {
          double v = x.at(n, c, y, w) / std::sqrt((across_spatial ? item : s) + eps);
          v *= scale.size() == 1 ? scale[0] : scale[c];
          out.at(n, c, y, w) = relu ? std::max(v, 0.0) : v;
        }
      }
  }
  return out;
}

// Float to 8 bits as the local quantiser does: clamped, then truncated.
inline double to_8bit(double v, bool is_signed) {
  const double lo = is_signed ? -128 : 0, hi = is_signed ? 127 : 255;
  return std::trunc(std::min(std::max(v, lo), hi));
}

}  // namespace zv::ref::norm
