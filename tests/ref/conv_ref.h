// Plain references for the convolution unit: direct convolution (groups,
// padding, stride, dilation, zero insertion, kernel rotation, bias), max and
// average pooling, depthwise convolution, matrix products, the Winograd weight
// transform, and the fixed-point finish (rounding right shift, ReLU,
// saturation). Values are doubles; with small-integer data every result is
// exact, whatever order an engine sums in.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace zv::ref::conv {

struct Window {
  int kh = 1, kw = 1, dh = 1, dw = 1;
  int pad_t = 0, pad_b = 0, pad_l = 0, pad_r = 0;
  int stride_h = 1, stride_w = 1;
  int ins_h = 0, ins_w = 0;
  bool rotate = false;

  int out_h(int ih) const { return ((ih - 1) * (ins_h + 1) + 1 + pad_t + pad_b - ((kh - 1) * dh + 1)) / stride_h + 1; }
  int out_w(int iw) const { return ((iw - 1) * (ins_w + 1) + 1 + pad_l + pad_r - ((kw - 1) * dw + 1)) / stride_w + 1; }
};

// A tensor n x c x h x w, dense, in (n, c, h, w) order.
struct T4 {
  int n = 1, c = 1, h = 1, w = 1;
  std::vector<double> v;
  T4() = default;
  T4(int n_, int c_, int h_, int w_) : n(n_), c(c_), h(h_), w(w_), v(size_t(n_) * c_ * h_ * w_) {}
  double &at(int a, int b, int y, int x) { return v[((size_t(a) * c + b) * h + y) * w + x]; }
  double at(int a, int b, int y, int x) const { return v[((size_t(a) * c + b) * h + y) * w + x]; }
};

// What a window position (padded, zero-inserted coordinates) sees of the input:
// an element, an inserted zero, or padding.
enum class Seen { Element, Inserted, Padding };
inline Seen seen(int y, int ins, int in, int *src) {
  const int extent = (in - 1) * (ins + 1) + 1;
  if (y < 0 || y >= extent) return Seen::Padding;
  if (y % (ins + 1) != 0) return Seen::Inserted;
  *src = y / (ins + 1);
  return Seen::Element;
}

// out[n][o][y][x] = sum over the group's input channels i and taps (r, q) of
// in[n][i][.][.] * w[o][i - group start][r][q] (the kernel turned by 180 degrees
// when rotated), plus bias[o]. Weights are oc x (ic / groups) x kh x kw.
inline T4 convolution(const T4 &in, const T4 &w, const std::vector<double> &bias, int groups, const Window &p) {
  const int oc = w.n, icg = in.c / groups, ocg = oc / groups;
  T4 out(in.n, oc, p.out_h(in.h), p.out_w(in.w));
  for (int n = 0; n < out.n; n++)
    for (int o = 0; o < oc; o++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) {
          double sum = bias.empty() ? 0.0 : bias[o];
          const int g = o / ocg;
          for (int i = 0; i < icg; i++)
            for (int r = 0; r < p.kh; r++)
              for (int q = 0; q < p.kw; q++) {
                int sy, sx;
                if (seen(y * p.stride_h + r * p.dh - p.pad_t, p.ins_h, in.h, &sy) != Seen::Element) continue;
                if (seen(x * p.stride_w + q * p.dw - p.pad_l, p.ins_w, in.w, &sx) != Seen::Element) continue;
                const int kr = p.rotate ? p.kh - 1 - r : r, kq = p.rotate ? p.kw - 1 - q : q;
                sum += in.at(n, g * icg + i, sy, sx) * w.at(o, i, kr, kq);
              }
          out.at(n, o, y, x) = sum;
        }
  return out;
}

// Pooling: max over the input elements and inserted zeros of each window
// (padding excluded), or the sum with padding and inserted zeros as 0.
inline T4 pool(const T4 &in, const Window &p, bool max) {
  T4 out(in.n, in.c, p.out_h(in.h), p.out_w(in.w));
  for (int n = 0; n < out.n; n++)
    for (int c = 0; c < out.c; c++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) {
          double acc = 0;
          bool any = false;
          for (int r = 0; r < p.kh; r++)
            for (int q = 0; q < p.kw; q++) {
              int sy = 0, sx = 0;
              const Seen a = seen(y * p.stride_h + r * p.dh - p.pad_t, p.ins_h, in.h, &sy);
              const Seen b = seen(x * p.stride_w + q * p.dw - p.pad_l, p.ins_w, in.w, &sx);
              if (a == Seen::Padding || b == Seen::Padding) continue;
              const double v = a == Seen::Element && b == Seen::Element ? in.at(n, c, sy, sx) : 0.0;
              acc = max ? (any ? std::max(acc, v) : v) : acc + v;
              any = true;
            }
          out.at(n, c, y, x) = acc;
        }
  return out;
}

// Depthwise: channel c of the output from channel c of the input and its own
// kernel w[c][0][r][q], plus bias[c].
inline T4 depthwise(const T4 &in, const T4 &w, const std::vector<double> &bias, const Window &p) {
  T4 out(in.n, in.c, p.out_h(in.h), p.out_w(in.w));
  for (int c = 0; c < in.c; c++) {
    T4 one(in.n, 1, in.h, in.w), k(1, 1, p.kh, p.kw);
    for (int n = 0; n < in.n; n++)
      for (int y = 0; y < in.h; y++)
        for (int x = 0; x < in.w; x++) one.at(n, 0, y, x) = in.at(n, c, y, x);
    for (int r = 0; r < p.kh; r++)
      for (int q = 0; q < p.kw; q++) k.at(0, 0, r, q) = w.at(c, 0, r, q);
    const T4 o = convolution(one, k, {bias.empty() ? 0.0 : bias[c]}, 1, p);
    for (int n = 0; n < in.n; n++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) out.at(n, c, y, x) = o.at(n, 0, y, x);
  }
  return out;
}

// The Winograd F(2x2, 3x3) weight transform U = G g Gt of one 3 x 3 kernel.
inline std::vector<double> winograd_weights(const double g[3][3]) {
  const double G[4][3] = {{1, 0, 0}, {0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0, 0, 1}};
  double t[4][3] = {};
  for (int a = 0; a < 4; a++)
    for (int b = 0; b < 3; b++)
      for (int k = 0; k < 3; k++) t[a][b] += G[a][k] * g[k][b];
  std::vector<double> u(16, 0.0);
  for (int a = 0; a < 4; a++)
    for (int b = 0; b < 4; b++)
      for (int k = 0; k < 3; k++) u[a * 4 + b] += t[a][k] * G[b][k];
  return u;
}

// Fixed point: v shifted right by `shift` rounding half up, rectified, then
// saturated to `bits` (signed or not).
inline int64_t finish(int64_t v, int shift, bool relu, int bits, bool is_signed) {
  if (shift > 0) v = int64_t(std::floor((double(v) + std::ldexp(1.0, shift - 1)) / std::ldexp(1.0, shift)));
  if (relu && v < 0) v = 0;
  const int64_t lo = is_signed ? -(int64_t(1) << (bits - 1)) : 0;
  const int64_t hi = is_signed ? (int64_t(1) << (bits - 1)) - 1 : (int64_t(1) << bits) - 1;
  return v < lo ? lo : v > hi ? hi : v;
}

// The ratio i / 2^e (i an 8-bit multiplier 1..255) closest to 1 / x, the
// smallest e among equal ratios.
inline void reciprocal(int x, int *mult, int *exp) {
  if (x <= 1) {
    *mult = 1;
    *exp = 0;
    return;
  }
  double best = 1e9;
  for (int e = 0; e < 32; e++)
    for (int i = 1; i < 256; i++) {
      const double d = std::fabs(std::ldexp(double(i), -e) - 1.0 / x);
      if (d < best - 1e-18) {
        best = d;
        *mult = i;
        *exp = e;
      }
    }
}

}  // namespace zv::ref::conv
