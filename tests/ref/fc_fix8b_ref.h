// Plain reference of the 8-bit fully connected layer's float requantisation:
// the integer products of every K section (and of the weight-offset block)
// kept as 16-bit partial sums with the intermediate shift, the last one
// shifted by rshift, then in float32 (one rounding per operation, in this
// order) plus the float bias, times the scale, plus the output offset, clamped
// to the int8 range and truncated.
#pragma once

#include <cstring>
#include <vector>

#include "ref/conv_fix_ref.h"

namespace zv::ref::fc_fix8b {

using conv_fix::Fc;
using conv_fix::fc_w;
using conv_fix::fc_x;
using conv_fix::finish;
using conv_fix::i64;
using conv_fix::u16;
using conv_fix::u8;
using conv_fix::v16;
using conv_fix::v8;

struct FloatQuant {
  float scale = 1.0f;
  bool use_offsets = false;
  int weight_offset = 0, output_offset = 0;
  bool bias32 = false;  // the bias is N float32 values, added after the conversion
};

// Bytes of Y (int8 1N, or 4N with zeros in the padding rows). Fc gives the
// shapes, signs, ReLU, rshift, the K section and the intermediate shift;
// `bias16` or `biasf` the bias (per q.bias32).
inline std::vector<u8> fc8_float(const Fc &p, const FloatQuant &q, const std::vector<u8> &x,
                                 const std::vector<u8> &w, const std::vector<u16> &bias16,
                                 const std::vector<float> &biasf) {
  // An unsigned input with offsets is re-centred by 128 and counts as signed.
  const bool recentre = q.use_offsets && !p.in_sign, x_signed = p.in_sign || recentre;
  const bool with16 = p.bias && !q.bias32, with_f = p.bias && q.bias32;
  const bool pass = q.use_offsets && q.weight_offset != 0;
  const i64 c = q.weight_offset < 128 ? i64(int8_t(u8(q.weight_offset & 0xff))) : i64(q.weight_offset & 0xff);
  const bool rs = x_signed || p.w_sign || (with16 && p.b_sign);
  const bool out_signed = rs && !p.relu;
  const size_t rows4 = size_t((p.M + 3) / 4) * 4;
  std::vector<u8> y((p.out4n ? rows4 : size_t(p.M)) * p.N, 0);
  for (int m = 0; m < p.M; m++)
    for (int n = 0; n < p.N; n++) {
      i64 prev = 0;
      for (int k0 = 0; k0 < p.K; k0 += p.k_section) {
        const int k1 = k0 + p.k_section < p.K ? k0 + p.k_section : p.K;
        const bool last = k1 == p.K;
        i64 sum = 0, xsum = 0;
        for (int k = k0; k < k1; k++) {
          const i64 xv = recentre ? i64(x[fc_x(p, m, k)]) - 128 : v8(x[fc_x(p, m, k)], p.in_sign);
          sum += xv * v8(w[fc_w(p, k, n)], p.w_sign);
          xsum += xv;
        }
        if (k0 > 0) sum += prev * (i64{1} << p.s_inter);
        if (last && with16) sum += v16(bias16[size_t(n)], p.b_sign);
        prev = finish(sum, last && !pass ? p.rshift : p.s_inter, false, 16, rs);
        if (pass) prev = finish(prev * (i64{1} << p.s_inter) + xsum * c, last ? p.rshift : p.s_inter, false, 16, rs);
      }
      float f = float(prev);
      if (with_f) f = f + biasf[size_t(n)];
      f = f * q.scale;
      if (q.use_offsets && q.output_offset != 0) f = f + float(q.output_offset);
      const float lo = out_signed ? -128.0f : 0.0f, hi = out_signed ? 127.0f : 255.0f;
      f = f < lo ? lo : f > hi ? hi : f;
      const u8 v = u8(int(f) & 0xff);
      y[p.out4n ? size_t(m / 4) * 4 * p.N + size_t(4 * n + m % 4) : size_t(m) * p.N + n] = v;
    }
  return y;
}

}  // namespace zv::ref::fc_fix8b
