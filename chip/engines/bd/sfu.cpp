// The special functions (task type 9, md_sfu) on float32 tensors in the
// default aligned layout: sub-op 17 reciprocal square root, 16 and 15 the two
// normalisation steps, 14 float to int32, 13 the Taylor polynomial.
//
// Fields read: sub-op, the shape 198-257, the coefficient count 318 (Taylor),
// words 18 (result), 19 (operand) and 20 (coefficients, Taylor only).
#include <cmath>
#include <cstdint>
#include <limits>

#include "chip/engines/bd/eltwise.h"
#include "chip/engines/bd/operand.h"

namespace zv::chip::bd {
namespace {

constexpr u32 kTaylor = 13, kF2I = 14, kNormB = 15, kNormA = 16, kRsq = 17;

// 1 / sqrt(x), correctly rounded: +inf for +0, -inf for -0, NaN below zero.
u32 rsq(float x) {
  if (x == 0.0f) return float_bits(std::signbit(x) ? -INFINITY : INFINITY);
  return float_bits(static_cast<float>(1.0 / std::sqrt(static_cast<double>(x))));
}

// Truncation toward zero, saturating; NaN gives 0.
u32 f2i(float x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483648.0f) return static_cast<u32>(std::numeric_limits<std::int32_t>::max());
  if (x < -2147483648.0f) return static_cast<u32>(std::numeric_limits<std::int32_t>::min());
  return static_cast<u32>(static_cast<std::int32_t>(x));
}

}  // namespace

void exec_md_sfu(const BdCommand &cmd, Bus &bus) {
  const u32 op = cmd.sub_op();
  if (op < kTaylor || op > kRsq) unmodelled(cmd, "md_sfu sub-op " + std::to_string(op));
  const Shape shape = op_shape(cmd);
  View av, yv;
  av.addr = cmd.word(words::kOpd0);
  av.st = default_strides(shape, av.addr);
  yv.addr = cmd.word(words::kRes);
  yv.st = default_strides(shape, yv.addr);

  // Taylor coefficients: c0 + c1 x + ... + c(k-1) x^(k-1), evaluated by Horner's
  // rule in float32 (each step rounded, no fused multiply-add). A table in
  // local memory is read from each element's own lane.
  const u32 k = op == kTaylor ? cmd.get(field::kOpd1N) : 0;
  if (op == kTaylor && k == 0) unmodelled(cmd, "a Taylor polynomial without coefficients");
  const u32 table = cmd.word(words::kOpd1);
  std::vector<float> coef;
  u32 coef_lane = kLanes;

  std::vector<u32> out;
  out.reserve(shape.count());
  // A row is read as its first element, then (for the Taylor polynomial of a
  // new lane) the coefficients, then the rest of the row in one span: the
  // order of single reads.
  std::vector<u32> xs(shape.w);
  for_each_row(shape, [&](u32 n, u32 c, u32 h) {
   const Span r = av.row(n, c, h, shape.w);
   for (u32 w = 0; w < shape.w; w++) {
    if (!r.ok) xs[w] = bus.load32(av.at(n, c, h, w, "operand 0"));
    else if (w == 0) bus.load_span(r.addr, r.step, 4, 1, &xs[0]);
    else if (w == 1) bus.load_span(r.at(1), r.step, 4, shape.w - 1, &xs[1]);
    const u32 a = xs[w];
    const float x = as_float(a);
    switch (op) {
      case kRsq: out.push_back(rsq(x)); break;
      case kNormA: out.push_back(a & 0xff800000u); break;  // sign and exponent: +-2^e
      case kNormB: out.push_back((a >> 23) & 0xffu); break;  // the biased exponent
      case kF2I: out.push_back(f2i(x)); break;
      default: {
        const u32 lane = is_local(table) ? lane_of(av.addr, c) : 0;
        if (coef.empty() || lane != coef_lane) {
          coef.assign(k, 0.0f);
          for (u32 i = 0; i < k; i++) coef[i] = as_float(bus.load32(table_address(table, lane, 4u * i)));
          coef_lane = lane;
        }
        float y = coef[k - 1];
        for (u32 i = k - 1; i-- > 0;) y = y * x + coef[i];
        out.push_back(float_bits(y));
      }
    }
   }
  });
  store_all(bus, yv, shape, "result", out.data());
}

}  // namespace zv::chip::bd
