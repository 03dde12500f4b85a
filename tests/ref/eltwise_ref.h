// Plain references for the tensor engine's element-wise commands: where an
// element of a lane-local tensor lies (float32 and int32 words, and 8-bit and
// 16-bit fixed-point data packing four or two batch items into a word), and what
// each operation makes of its inputs, written from the meaning of the
// operations.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace zv::ref::eltwise {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

constexpr u64 kLocal = 0x08000000;
constexpr u64 kLane = 0x80000;

inline float f(u32 bits) {
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}
inline u32 bits(float v) {
  u32 u;
  std::memcpy(&u, &v, 4);
  return u;
}

struct Dim {
  i64 n = 1, c = 1, h = 1, w = 1;
  i64 count() const { return n * c * h * w; }
};

// A lane-local tensor: tagged address (start lane in bits 19-24), strides in
// steps of 4 bytes, `size`-byte elements, `pack` batch items per word (4 for
// 8-bit, 2 for 16-bit fixed-point data, else 1).
struct Local {
  u32 addr = 0;
  Dim shape;
  Dim stride;
  u32 size = 4;
  u32 pack = 1;

  // Canonical address of element (n, c, h, w): channel c in lane (s + c) % 64,
  // (s + c) / 64 channel strides on; item n in word n / pack, byte (n % pack) * size.
  u64 at(i64 n, i64 c, i64 h, i64 w) const {
    const i64 s = (addr >> 19) & 63;
    const i64 lane = (s + c) % 64, row = (s + c) / 64;
    const i64 off = i64(addr & (kLane - 1)) +
                    4 * ((n / pack) * stride.n + row * stride.c + h * stride.h + w * stride.w) +
                    (n % pack) * size;
    if (off < 0 || off + size > i64(kLane)) throw std::out_of_range("element outside its lane");
    return kLocal + u64(lane) * kLane + u64(off);
  }
};

// The EU-aligned layout: planes rounded up to 32 words, one plane per lane row.
inline Dim aligned_strides(const Dim &shape, u32 addr) {
  const i64 s = (addr >> 19) & 63, plane = (shape.h * shape.w + 31) / 32 * 32;
  return Dim{plane * ((s + shape.c + 63) / 64), plane, shape.w, 1};
}
inline Local aligned(u32 addr, Dim shape) { return Local{addr, shape, aligned_strides(shape, addr)}; }

// ---- Float32 and int32 tensor arithmetic (tensor_op_t codes) ----

inline u32 f32_op(int op, u32 a, u32 b, u32 r) {
  const float x = f(a), y = f(b);
  switch (op) {
    case 0: return bits(x * y);
    case 1: return bits(f(r) + x * y);
    case 2: return bits(x + y);
    case 3: return bits(x - y);
    case 4: return x > y ? a : b;
    case 5: return x < y ? a : b;
    case 12: return bits(x / y);
    case 19: return a;
  }
  throw std::invalid_argument("no float op");
}

// Bit operations and shifts on 32-bit patterns; a negative count shifts right.
inline u32 i32_op(int op, u32 a, u32 b, bool arithmetic_shift) {
  switch (op) {
    case 7: return a & b;
    case 8: return a | b;
    case 9: return a ^ b;
    case 6: {
      const i64 k = i32(b);
      if (k >= 32) return 0;
      if (k >= 0) return a << k;
      if (arithmetic_shift) return k <= -32 ? (i32(a) < 0 ? ~0u : 0) : u32(i32(a) >> -k);
      return k <= -32 ? 0 : a >> -k;
    }
  }
  throw std::invalid_argument("no int op");
}

// R = C where A > B (float) or where A and B are the same bits, 0 elsewhere.
inline u32 cmp_assign(u32 a, u32 b, u32 c) { return f(a) > f(b) ? c : 0; }
inline u32 eq_assign(u32 a, u32 b, u32 c) { return a == b ? c : 0; }

// ---- Fixed point ----

inline i64 value(u32 raw, int bits_, bool is_signed) {
  const i64 v = raw & ((1u << bits_) - 1);
  return is_signed && (v >> (bits_ - 1)) ? v - (i64{1} << bits_) : v;
}
inline i64 clamp(i64 v, int bits_, bool is_signed) {
  const i64 lo = is_signed ? -(i64{1} << (bits_ - 1)) : 0;
  const i64 hi = is_signed ? (i64{1} << (bits_ - 1)) - 1 : (i64{1} << bits_) - 1;
  return v < lo ? lo : v > hi ? hi : v;
}
// floor((v + 2^(s-1)) / 2^s): halves go up.
inline i64 shift_round(i64 v, int s) {
  if (s == 0) return v;
  const double q = std::floor((double(v) + std::ldexp(1.0, s - 1)) / std::ldexp(1.0, s));
  return i64(q);
}

struct FixCase {
  int op;
  int abits, bbits, rbits;
  bool asign, bsign, rsign;  // rsign: how an accumulated R is read
  int rshift = 0, shift2 = 0;
};

// The result's raw bits: arithmetic ops take the operands' values, shift the
// result right with rounding and saturate to the result's width, signed when an
// operand is signed; bit operations work on the raw bits.
inline u32 fix_op(const FixCase &k, u32 araw, u32 braw, u32 rraw) {
  const u32 rmask = (1u << k.rbits) - 1;
  const i64 a = value(araw, k.abits, k.asign), b = value(braw, k.bbits, k.bsign);
  i64 v;
  switch (k.op) {
    case 7: return (araw & braw) & rmask;
    case 8: return (araw | braw) & rmask;
    case 9: return (araw ^ braw) & rmask;
    case 0: v = a * b; break;
    case 1: v = value(rraw, k.rbits, k.rsign) * (i64{1} << k.shift2) + a * b; break;
    case 2: v = a + b; break;
    case 3: v = a - b; break;
    case 4: v = a > b ? a : b; break;
    case 5: v = a < b ? a : b; break;
    case 6: v = b >= 0 ? a * (i64{1} << b) : i64(std::floor(double(a) / std::ldexp(1.0, int(-b)))); break;
    case 19: return u32(clamp(shift_round(a, k.rshift), k.rbits, k.asign)) & rmask;
    default: throw std::invalid_argument("no fixed-point op");
  }
  return u32(clamp(shift_round(v, k.rshift), k.rbits, k.asign || k.bsign)) & rmask;
}

// ---- Special functions ----

inline u32 rsqrt(u32 x) { return bits(float(1.0 / std::sqrt(double(f(x))))); }
// x = m * 2^e with 1 <= |m| < 2: NORMA gives +-2^e, NORMB the biased exponent.
inline u32 norm_a(u32 x) { return x & 0xff800000u; }
inline u32 norm_b(u32 x) { return (x >> 23) & 0xff; }
inline u32 f2i(u32 x) { return u32(i32(std::trunc(f(x)))); }
// c[0] + c[1] x + ... by Horner's rule in float32.
inline u32 poly(const std::vector<float> &c, u32 x) {
  float y = c.back();
  for (size_t i = c.size() - 1; i-- > 0;) y = y * f(x) + c[i];
  return bits(y);
}

}  // namespace zv::ref::eltwise
