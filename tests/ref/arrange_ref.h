// Plain references for data arrangement: padding, tiling, strided slice,
// concatenation and reorg of dense n x c x h x w tensors of 32-bit words,
// written from the meaning of each operation.
#pragma once

#include <cstdint>
#include <vector>

namespace zv::ref::arrange {

using u32 = std::uint32_t;

struct W4 {
  int n = 1, c = 1, h = 1, w = 1;
  std::vector<u32> v;
  W4() = default;
  W4(int n_, int c_, int h_, int w_, u32 fill = 0)
      : n(n_), c(c_), h(h_), w(w_), v(size_t(n_) * c_ * h_ * w_, fill) {}
  u32 &at(int a, int b, int y, int x) { return v[((size_t(a) * c + b) * h + y) * w + x]; }
  u32 at(int a, int b, int y, int x) const { return v[((size_t(a) * c + b) * h + y) * w + x]; }
};

// Source index of padded coordinate i (extent e, pad before p) by mode: 0
// constant (-1: the constant), 1 reflect, 2 symmetric, 3 edge.
inline int pad_source(int i, int e, int p, int mode) {
  int s = i - p;
  if (s >= 0 && s < e) return s;
  if (mode == 0) return -1;
  if (mode == 3) return s < 0 ? 0 : e - 1;
  const int off = mode == 1 ? 0 : 1;  // symmetric repeats the edge
  return s < 0 ? -s - off : 2 * e - 2 - s + off;
}

// Pads h (top, bottom) and w (left, right).
inline W4 pad(const W4 &in, int top, int bottom, int left, int right, int mode, u32 constant) {
  W4 out(in.n, in.c, in.h + top + bottom, in.w + left + right);
  for (int a = 0; a < out.n; a++)
    for (int b = 0; b < out.c; b++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) {
          const int sy = pad_source(y, in.h, top, mode), sx = pad_source(x, in.w, left, mode);
          out.at(a, b, y, x) = sy < 0 || sx < 0 ? constant : in.at(a, b, sy, sx);
        }
  return out;
}

// Block tiling: out(a, b, y, x) = in(a % n, b % c, y % h, x % w).
inline W4 tile(const W4 &in, int tn, int tc, int th, int tw) {
  W4 out(in.n * tn, in.c * tc, in.h * th, in.w * tw);
  for (int a = 0; a < out.n; a++)
    for (int b = 0; b < out.c; b++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) out.at(a, b, y, x) = in.at(a % in.n, b % in.c, y % in.h, x % in.w);
  return out;
}

// Element repetition: out(a, b, y, x) = in(a, b, y / th, x / tw).
inline W4 repeat(const W4 &in, int th, int tw) {
  W4 out(in.n, in.c, in.h * th, in.w * tw);
  for (int a = 0; a < out.n; a++)
    for (int b = 0; b < out.c; b++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) out.at(a, b, y, x) = in.at(a, b, y / th, x / tw);
  return out;
}

// out(i) = in(begin + i * stride) per dimension, o[] elements.
inline W4 slice(const W4 &in, const int begin[4], const int stride[4], const int o[4]) {
  W4 out(o[0], o[1], o[2], o[3]);
  for (int a = 0; a < o[0]; a++)
    for (int b = 0; b < o[1]; b++)
      for (int y = 0; y < o[2]; y++)
        for (int x = 0; x < o[3]; x++)
          out.at(a, b, y, x) = in.at(begin[0] + a * stride[0], begin[1] + b * stride[1], begin[2] + y * stride[2],
                                     begin[3] + x * stride[3]);
  return out;
}

// Concatenation along axis 0 to 3.
inline W4 concat(const std::vector<W4> &ins, int axis) {
  int e[4] = {ins[0].n, ins[0].c, ins[0].h, ins[0].w};
  e[axis] = 0;
  for (const W4 &t : ins) e[axis] += axis == 0 ? t.n : axis == 1 ? t.c : axis == 2 ? t.h : t.w;
  W4 out(e[0], e[1], e[2], e[3]);
  int start = 0;
  for (const W4 &t : ins) {
    for (int a = 0; a < t.n; a++)
      for (int b = 0; b < t.c; b++)
        for (int y = 0; y < t.h; y++)
          for (int x = 0; x < t.w; x++) {
            int p[4] = {a, b, y, x};
            p[axis] += start;
            out.at(p[0], p[1], p[2], p[3]) = t.at(a, b, y, x);
          }
    start += axis == 0 ? t.n : axis == 1 ? t.c : axis == 2 ? t.h : t.w;
  }
  return out;
}

// Depth to space by s: output channel k at (y*s + a, x*s + b) is input
// channel (a*s + b)*tc + k at (y, x).
inline W4 depth_to_space(const W4 &in, int s) {
  const int tc = in.c / (s * s);
  W4 out(in.n, tc, in.h * s, in.w * s);
  for (int n = 0; n < in.n; n++)
    for (int k = 0; k < tc; k++)
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) out.at(n, k, y, x) = in.at(n, ((y % s) * s + x % s) * tc + k, y / s, x / s);
  return out;
}

// The flat reorg into depth of one batch item: the output read in row-major
// order over the input's extents {c, h, w} as (k, j, i), the input over
// {c/(s*s), s*h, s*w}; with m = c/(s*s) and f = k / m, out(k, j, i) =
// in(k % m, s*j + f / s, s*i + f % s). Returned with the output's shape
// {c*s*s, h/s, w/s}.
inline W4 flat_reorg(const W4 &in, int s) {
  const int c = in.c, h = in.h, w = in.w, m = c / (s * s);
  std::vector<u32> seq(size_t(c) * h * w);
  for (int k = 0; k < c; k++)
    for (int j = 0; j < h; j++)
      for (int i = 0; i < w; i++) {
        const int f = k / m;
        // Input element (k % m, s*j + f/s, s*i + f%s) over {m, s*h, s*w}.
        const size_t src = (size_t(k % m) * (s * h) + (s * j + f / s)) * (s * w) + (s * i + f % s);
        seq[(size_t(k) * h + j) * w + i] = in.v[src];
      }
  W4 out(1, c * s * s, h / s, w / s);
  out.v = seq;
  return out;
}

}  // namespace zv::ref::arrange
