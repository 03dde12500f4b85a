// Placing tensors, weights and matrices in local memory in the layouts the
// convolution unit reads, and reading results back, on the tensor engine rig
// (tests/support/bd_rig.h: fresh node, wait, checker on).
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "ref/conv_ref.h"
#include "bd_rig.h"

namespace zv::test::conv {

namespace cr = zv::ref::conv;
using i64 = std::int64_t;

inline u32 fbits(double v) {
  const float f = float(v);
  u32 u;
  std::memcpy(&u, &f, 4);
  return u;
}
inline double fval(u32 u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

enum class Kind { F32, I8, I16 };  // float32; 8-bit 4N; 16-bit 4N (two words an element)

// A tensor in local memory: strides in words (n per group of four items for
// the 4N kinds), channel c in lane (s + c) % 64, lane rows c strides apart.
struct Placed {
  u32 addr;
  Kind kind;
  i64 sn, sc, sh, sw;

  // Default EU-aligned layout of an n x c x h x w tensor from `addr`.
  static Placed aligned(u32 addr, Kind k, int c, int h, int w) {
    const i64 per = k == Kind::I16 ? 2 : 1;
    const i64 plane = (i64(h) * w * per + 31) / 32 * 32;
    const i64 rows = (((addr >> 19) & 63) + c + 63) / 64;
    return Placed{addr, k, plane * rows, plane, i64(w) * per, per};
  }
  u32 size() const { return kind == Kind::F32 ? 4 : kind == Kind::I8 ? 1 : 2; }
  u64 at(int n, int c, int h, int w) const {
    const u32 s = (addr >> 19) & 63, lane = (s + c) % 64, row = (s + c) / 64;
    const u32 pack = kind == Kind::F32 ? 1 : 4;
    const i64 byte = i64(addr & 0x7ffff) + (i64(n / pack) * sn + row * sc + h * sh + w * sw) * 4 + (n % pack) * size();
    EXPECT_TRUE(byte >= 0 && byte + size() <= 0x80000) << "placement outside the lane";
    return kTag + u64(lane) * 0x80000 + u64(byte);
  }
};

// Random small integers in [-span, span] (or [0, span] unsigned).
struct Data {
  std::mt19937 rng;
  explicit Data(u32 seed) : rng(seed) {}
  double next(int span, bool is_signed = true) {
    return is_signed ? double(int(rng() % (2 * span + 1)) - span) : double(rng() % (span + 1));
  }
  cr::T4 tensor(int n, int c, int h, int w, int span, bool is_signed = true) {
    cr::T4 t(n, c, h, w);
    for (auto &v : t.v) v = next(span, is_signed);
    return t;
  }
};

// Raw bits of a value for an element kind (fixed-point values wrap to width).
inline u32 raw(double v, Kind k) {
  if (k == Kind::F32) return fbits(v);
  return u32(i64(v)) & (k == Kind::I8 ? 0xffu : 0xffffu);
}
inline double value(u32 bits, Kind k, bool is_signed) {
  if (k == Kind::F32) return fval(bits);
  const int w = k == Kind::I8 ? 8 : 16;
  i64 v = bits & ((1u << w) - 1);
  if (is_signed && (v >> (w - 1))) v -= i64(1) << w;
  return double(v);
}

inline void put(BdRig &rig, const Placed &p, const cr::T4 &t) {
  for (int n = 0; n < t.n; n++)
    for (int c = 0; c < t.c; c++)
      for (int h = 0; h < t.h; h++)
        for (int w = 0; w < t.w; w++) rig.put(p.at(n, c, h, w), raw(t.at(n, c, h, w), p.kind), p.size());
}
inline cr::T4 get(BdRig &rig, const Placed &p, int n, int c, int h, int w, bool is_signed = true) {
  cr::T4 t(n, c, h, w);
  for (int a = 0; a < n; a++)
    for (int b = 0; b < c; b++)
      for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) t.at(a, b, y, x) = value(rig.get(p.at(a, b, y, x), p.size()), p.kind, is_signed);
  return t;
}

// Convolution weights oc x ic x kh x kw: output channel o in lane (s + o) % 64;
// input channels in groups of `group` per unit of `unit` bytes; strides
// {input group, output channel row, kernel row, kernel column} in units.
struct Kernel {
  u32 addr;
  u32 group, unit, size;
  i64 s_ic, s_oc, s_h, s_w;

  // Float32: pairs of input channels innermost (the convolution kernels' layout).
  static Kernel f32(u32 addr, int ic, int kh, int kw) {
    const i64 g = (ic + 1) / 2;
    return Kernel{addr, 2, 8, 4, 1, i64(kh) * kw * g, i64(kw) * g, g};
  }
  // 8-bit, kernel plane innermost: four input channels per word.
  static Kernel i8_plane(u32 addr, int ic, int kh, int kw) {
    const i64 g = (ic + 3) / 4;
    return Kernel{addr, 4, 4, 1, i64(kh) * kw, i64(kh) * kw * g, kw, 1};
  }
  u64 at(int o, int i, int r, int q) const {
    const u32 s = (addr >> 19) & 63, lane = (s + o) % 64, row = (s + o) / 64;
    const i64 byte = i64(addr & 0x7ffff) + (row * s_oc + (i / group) * s_ic + r * s_h + q * s_w) * unit + (i % group) * size;
    return kTag + u64(lane) * 0x80000 + u64(byte);
  }
};

inline void put_kernel(BdRig &rig, const Kernel &k, const cr::T4 &w, Kind kind) {
  for (int o = 0; o < w.n; o++)
    for (int i = 0; i < w.c; i++)
      for (int r = 0; r < w.h; r++)
        for (int q = 0; q < w.w; q++) rig.put(k.at(o, i, r, q), raw(w.at(o, i, r, q), kind), k.size);
}

// One value per channel: channel c in lane (s + c) % 64, lane rows one
// element apart.
inline void put_channels(BdRig &rig, u32 addr, const std::vector<double> &v, Kind kind) {
  const u32 size = kind == Kind::F32 ? 4 : 2;
  const u32 s = (addr >> 19) & 63;
  for (size_t c = 0; c < v.size(); c++)
    rig.put(kTag + u64((s + c) % 64) * 0x80000 + (addr & 0x7ffff) + ((s + c) / 64) * size, raw(v[c], kind), size);
}

// Compares every element; names the first difference.
inline ::testing::AssertionResult same(const cr::T4 &got, const cr::T4 &want) {
  for (int n = 0; n < want.n; n++)
    for (int c = 0; c < want.c; c++)
      for (int h = 0; h < want.h; h++)
        for (int w = 0; w < want.w; w++)
          if (got.at(n, c, h, w) != want.at(n, c, h, w))
            return ::testing::AssertionFailure() << "element (" << n << ", " << c << ", " << h << ", " << w
                                                 << "): " << got.at(n, c, h, w) << ", want " << want.at(n, c, h, w);
  return ::testing::AssertionSuccess();
}

}  // namespace zv::test::conv
