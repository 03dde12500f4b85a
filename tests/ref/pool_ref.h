// Plain references for the local pooling kernels: averages whose divisor
// counts only the window positions inside a given area, and nearest-neighbour
// upsampling.
#pragma once

#include <algorithm>
#include <cmath>

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

// Float pooling of the global layers, from the meaning of its parameters:
// the window of output (y, x) covers rows y * stride_h - pad_t .. + kh - 1 and
// columns likewise. Max: the largest input element under it (0 when it holds
// none). Average: the sum of its input elements divided by
//   avg_mode 1: the number of input elements under it;
//   avg_mode 0: the window clipped to the declared padded extent
//               [-pad_t, h + pad_b) x [-pad_l, w + pad_r);
//   otherwise:  kh * kw.
// ReLU last when asked.
struct Pool2d {
  int kh = 1, kw = 1, pad_t = 0, pad_l = 0, pad_b = 0, pad_r = 0, stride_h = 1, stride_w = 1;
  bool avg = false;
  int avg_mode = 1;
  bool relu = false;
};
inline T4 pool2d(const T4 &in, const Pool2d &p, int oh, int ow) {
  T4 out(in.n, in.c, oh, ow);
  const auto clip = [](int lo, int hi, int a, int b) {
    const int l = lo > a ? lo : a, h = hi < b ? hi : b;
    return h > l ? h - l : 0;
  };
  for (int n = 0; n < in.n; n++)
    for (int c = 0; c < in.c; c++)
      for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++) {
          const int y0 = y * p.stride_h - p.pad_t, x0 = x * p.stride_w - p.pad_l;
          double acc = 0;
          bool any = false;
          for (int r = y0; r < y0 + p.kh; r++)
            for (int q = x0; q < x0 + p.kw; q++) {
              if (r < 0 || r >= in.h || q < 0 || q >= in.w) continue;
              const double v = in.at(n, c, r, q);
              acc = p.avg ? acc + v : (any ? std::max(acc, v) : v);
              any = true;
            }
          if (p.avg) {
            double div = double(p.kh) * p.kw;
            if (p.avg_mode == 1)
              div = double(clip(y0, y0 + p.kh, 0, in.h)) * clip(x0, x0 + p.kw, 0, in.w);
            else if (p.avg_mode == 0)
              div = double(clip(y0, y0 + p.kh, -p.pad_t, in.h + p.pad_b)) *
                    clip(x0, x0 + p.kw, -p.pad_l, in.w + p.pad_r);
            acc /= div;
          }
          if (p.relu && acc < 0) acc = 0;
          out.at(n, c, y, x) = acc;
        }
  return out;
}

// Output extent of a pooling axis: the window count rounded down, or up when
// the extra window would still start inside the input or its leading pad.
inline int pool_extent(int in, int k, int pad_lo, int pad_hi, int stride, bool ceil_mode) {
  const int span = in + pad_lo + pad_hi - k, q = span / stride, r = span % stride;
  return ceil_mode && r != 0 && (q + 1) * stride < in + pad_lo ? q + 2 : q + 1;
}

// Training max pooling: padding holds the most negative finite float and takes
// part; the maximum of each window (pad_b, pad_r: the trailing pads as grown
// for the output extent), and the position k + 1 (k = i * kw + j, row-major in
// the window) of its first occurrence: a later element replaces the running
// maximum only when strictly greater.
struct TrainPool {
  T4 max, pos;
};
inline TrainPool train_pool(const T4 &in, int kh, int kw, int pad_t, int pad_l, int stride_h, int stride_w, int oh,
                            int ow) {
  const float pad = -3.4028234663852886e+38f;
  TrainPool r{T4(in.n, in.c, oh, ow), T4(in.n, in.c, oh, ow)};
  for (int n = 0; n < in.n; n++)
    for (int c = 0; c < in.c; c++)
      for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++) {
          float best = 0;
          int at = 0;
          for (int k = 0; k < kh * kw; k++) {
            const int row = y * stride_h + k / kw - pad_t, col = x * stride_w + k % kw - pad_l;
            const bool inside = row >= 0 && row < in.h && col >= 0 && col < in.w;
            const float v = inside ? float(in.at(n, c, row, col)) : pad;
            if (k == 0 || v > best) {
              best = v;
              at = k + 1;
            }
          }
          r.max.at(n, c, y, x) = best;
          r.pos.at(n, c, y, x) = at;
        }
  return r;
}

// 8-bit pooling on 4N words (groups x c x h x w words, byte b of a word the
// item 4g + b), every byte of every word treated as an item. The window sum
// or maximum of the input elements (padding excluded; 0 when there is none);
// an average times the 8-bit reciprocal of kh * kw; then shifted right by
// rshift (plus the reciprocal's shift) rounding half up, rectified when asked,
// saturated to the input's sign. With `border`, averages are then rescaled:
// each output row whose window holds v != kh input rows by kh * i(v) >> e(v),
// each column likewise, as 8-bit values of sign out_sign, with i(v) / 2^e(v)
// the 8-bit reciprocal of v.
struct PoolFix8b {
  int kh = 1, kw = 1, pad_t = 0, pad_b = 0, pad_l = 0, pad_r = 0, stride_h = 1, stride_w = 1;
  bool avg = false, border = false, in_sign = false, out_sign = false, relu = false;
  int rshift = 0;
};
inline std::vector<uint8_t> pool_fix8b(const std::vector<uint8_t> &in, int groups, int c, int h, int w,
                                       const PoolFix8b &p, int oh, int ow) {
  using conv::finish;
  const auto value = [](uint8_t b, bool s) { return s ? int64_t(int8_t(b)) : int64_t(b); };
  std::vector<uint8_t> out(size_t(groups) * c * oh * ow * 4);
  int am = 1, ae = 0;
  conv::reciprocal(p.kh * p.kw, &am, &ae);
  for (int g = 0; g < groups; g++)
    for (int ch = 0; ch < c; ch++)
      for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++)
          for (int b = 0; b < 4; b++) {
            int64_t acc = 0;
            bool any = false;
            int rows = 0, cols = 0;
            for (int r = 0; r < p.kh; r++) rows += y * p.stride_h + r - p.pad_t >= 0 && y * p.stride_h + r - p.pad_t < h;
            for (int q = 0; q < p.kw; q++) cols += x * p.stride_w + q - p.pad_l >= 0 && x * p.stride_w + q - p.pad_l < w;
            for (int r = 0; r < p.kh; r++)
              for (int q = 0; q < p.kw; q++) {
                const int sy = y * p.stride_h + r - p.pad_t, sx = x * p.stride_w + q - p.pad_l;
                if (sy < 0 || sy >= h || sx < 0 || sx >= w) continue;
                const int64_t v = value(in[((((size_t(g) * c + ch) * h + sy) * w + sx) * 4) + b], p.in_sign);
                acc = p.avg ? acc + v : (any ? std::max(acc, v) : v);
                any = true;
              }
            int64_t v = p.avg ? finish(acc * am, p.rshift + ae, p.relu, 8, p.in_sign) : finish(acc, p.rshift, p.relu, 8, p.in_sign);
            if (p.avg && p.border) {
              int m = 0, e = 0;
              if (rows != p.kh) {
                conv::reciprocal(rows, &m, &e);
                v = finish(value(uint8_t(v), p.out_sign) * p.kh * m, e, false, 8, p.out_sign);
              }
              if (cols != p.kw) {
                conv::reciprocal(cols, &m, &e);
                v = finish(value(uint8_t(v), p.out_sign) * p.kw * m, e, false, 8, p.out_sign);
              }
            }
            out[((((size_t(g) * c + ch) * oh + y) * ow + x) * 4) + b] = uint8_t(v);
          }
  return out;
}

// Adaptive pooling: output (i, j) pools rows floor(i * h / oh) to
// ceil((i + 1) * h / oh) - 1 and columns likewise.
inline void adaptive_bin(int i, int in, int out, int *start, int *end) {
  *start = int(std::floor(double(i) * in / out));
  *end = int(std::ceil(double(i + 1) * in / out));
}
inline T4 adaptive(const T4 &in, int oh, int ow, bool avg) {
  T4 out(in.n, in.c, oh, ow);
  for (int n = 0; n < in.n; n++)
    for (int c = 0; c < in.c; c++)
      for (int i = 0; i < oh; i++)
        for (int j = 0; j < ow; j++) {
          int y0, y1, x0, x1;
          adaptive_bin(i, in.h, oh, &y0, &y1);
          adaptive_bin(j, in.w, ow, &x0, &x1);
          double acc = avg ? 0.0 : in.at(n, c, y0, x0);
          for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++) acc = avg ? acc + in.at(n, c, y, x) : std::max(acc, in.at(n, c, y, x));
          out.at(n, c, i, j) = avg ? acc / ((y1 - y0) * (x1 - x0)) : acc;
        }
  return out;
}
// The same on 4N words: each bin as one 8-bit pooling window.
inline std::vector<uint8_t> adaptive_fix8b(const std::vector<uint8_t> &in, int groups, int c, int h, int w, int oh,
                                           int ow, PoolFix8b p) {
  std::vector<uint8_t> out(size_t(groups) * c * oh * ow * 4);
  for (int i = 0; i < oh; i++)
    for (int j = 0; j < ow; j++) {
      int y0, y1, x0, x1;
      adaptive_bin(i, h, oh, &y0, &y1);
      adaptive_bin(j, w, ow, &x0, &x1);
      std::vector<uint8_t> bin(size_t(groups) * c * (y1 - y0) * (x1 - x0) * 4);
      size_t k = 0;
      for (int g = 0; g < groups; g++)
        for (int ch = 0; ch < c; ch++)
          for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++)
              for (int b = 0; b < 4; b++) bin[k++] = in[((((size_t(g) * c + ch) * h + y) * w + x) * 4) + b];
      p.kh = y1 - y0, p.kw = x1 - x0;
      const std::vector<uint8_t> one = pool_fix8b(bin, groups, c, y1 - y0, x1 - x0, p, 1, 1);
      for (int g = 0; g < groups; g++)
        for (int ch = 0; ch < c; ch++)
          for (int b = 0; b < 4; b++)
            out[((((size_t(g) * c + ch) * oh + i) * ow + j) * 4) + b] = one[(size_t(g) * c + ch) * 4 + b];
    }
  return out;
}

// Interpolation of the spatial plane, from each coordinate mode's formula
// (scales and positions in single precision, floor and round in double).
// Crop pads p, q (0 or negative): source row index r is input row r - q,
// source column index j input column j - p; effective extents in + p + q.
struct Interp {
  int mode = 0;
  bool align = false, half = false;
};
inline float interp_scale(const Interp &m, int in, int out) {
  const float fi = float(in), fo = float(out);
  if (m.mode == 0 || m.mode == 2) return out > 1 ? (fi - 1) / (fo - 1) : 0.0f;
  if (m.mode == 1 || m.mode == 3) return m.align && out > 1 ? (fi - 1) / (fo - 1) : fi / fo;
  if (m.mode == 4) return out <= 1 ? 0.0f : m.align ? (fi - 1) / (fo - 1) : fi / fo;
  return fi / fo;
}
// Source index and weight of the upper tap.
inline void interp_at(const Interp &m, int in, int o, float s, int *index, float *w) {
  float t;
  *w = 0;
  switch (m.mode) {
    case 0:
    case 2:
      t = s * float(o);
      *index = int(std::trunc(t));
      *w = t - float(*index);
      if (m.mode == 2) *w = float(std::round(double(*w)));
      break;
    case 1:
    case 4:
      if (m.mode == 4 ? !m.align : m.half) {
        t = (float(o) + 0.5f) * s - 0.5f;
        if (t < 0) t = 0;
      } else {
        t = s * float(o);
      }
      *index = int(std::floor(double(t)));
      *w = t - float(std::floor(double(t)));
      break;
    case 3:
      if (m.half) *index = std::max(0, int(std::floor(double((float(o) + 0.5f) * s))));
      else *index = m.align ? int(std::round(double(s * float(o)))) : int(std::floor(double(s * float(o))));
      *index = std::min(*index, in - 1);
      break;
    default:
      *index = std::min(int(std::floor(double(s * float(o)))), in - 1);
  }
}
inline T4 interp(const T4 &in, int p, int q, int oh, int ow, const Interp &m) {
  const int he = in.h + p + q, we = in.w + p + q;
  const float sh = interp_scale(m, he, oh), sw = interp_scale(m, we, ow);
  T4 out(in.n, in.c, oh, ow);
  for (int y = 0; y < oh; y++)
    for (int x = 0; x < ow; x++) {
      int ry, rx;
      float wy, wx;
      interp_at(m, he, y, sh, &ry, &wy);
      interp_at(m, we, x, sw, &rx, &wx);
      const int ry1 = ry >= he - 1 ? ry : ry + 1, rx1 = rx >= we - 1 ? rx : rx + 1;
      for (int n = 0; n < in.n; n++)
        for (int c = 0; c < in.c; c++) {
          const auto v = [&](int r, int j) { return in.at(n, c, r - q, j - p); };
          out.at(n, c, y, x) = (1 - wy) * ((1 - wx) * v(ry, rx) + wx * v(ry, rx1)) +
                               wy * ((1 - wx) * v(ry1, rx) + wx * v(ry1, rx1));
        }
    }
  return out;
}

// 8-bit bilinear interpolation on 4N words, every byte an item: the
// half-pixel position t = (o + 0.5) s - 0.5 (at least 0, single precision,
// s = extent / output), the upper tap's weight round(16 (t - floor t)) in
// sixteenths, the lower tap's 16 minus that (both at the last index there);
// the blend of the bytes (offset by 128 when signed) over both directions
// divided by 256 rounding half up, and the offset taken back.
inline void interp8_at(int o, float s, int in, int *index, int *w) {
  float t = (float(o) + 0.5f) * s - 0.5f;
  if (t < 0) t = 0;
  *index = std::min(int(std::floor(double(t))), in - 1);
  *w = int(std::round(double((t - float(std::floor(double(t)))) * 16.0f)));
}
inline std::vector<uint8_t> interp_fix8b(const std::vector<uint8_t> &in, int groups, int c, int h, int w, int p, int q,
                                         int oh, int ow, bool is_signed) {
  const int he = h + p + q, we = w + p + q;
  const float sh = float(he) / float(oh), sw = float(we) / float(ow);
  std::vector<uint8_t> out(size_t(groups) * c * oh * ow * 4);
  for (int y = 0; y < oh; y++)
    for (int x = 0; x < ow; x++) {
      int ry, rx, wy, wx;
      interp8_at(y, sh, he, &ry, &wy);
      interp8_at(x, sw, we, &rx, &wx);
      const int ry1 = ry >= he - 1 ? ry : ry + 1, rx1 = rx >= we - 1 ? rx : rx + 1;
      for (int g = 0; g < groups; g++)
        for (int ch = 0; ch < c; ch++)
          for (int b = 0; b < 4; b++) {
            const auto v = [&](int r, int j) {
              const uint8_t raw = in[((((size_t(g) * c + ch) * h + (r - q)) * w + (j - p)) * 4) + b];
              return is_signed ? int64_t(int8_t(raw)) + 128 : int64_t(raw);
            };
            const int64_t sum = (16 - wy) * ((16 - wx) * v(ry, rx) + wx * v(ry, rx1)) +
                                wy * ((16 - wx) * v(ry1, rx) + wx * v(ry1, rx1));
            const int64_t r = (sum + 128) >> 8;
            out[((((size_t(g) * c + ch) * oh + y) * ow + x) * 4) + b] = uint8_t(is_signed ? r - 128 : r);
          }
    }
  return out;
}

}  // namespace zv::ref::pool
