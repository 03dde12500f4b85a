// Plain integer references for the fixed-point convolutions on 4N data (four
// batch items per 32-bit word): direct nested loops over the zero-inserted,
// padded input, the 16-bit bias, the rounding right shift, ReLU and the
// saturation to the result's width, and the host-side arrangement of weight
// records the layers read.
#pragma once

#include <cstdint>
#include <vector>

namespace zv::ref::conv_fix {

using i64 = std::int64_t;
using u8 = std::uint8_t;
using u16 = std::uint16_t;

struct Conv {
  int n = 4, ic = 1, h = 1, w = 1, oc = 1, groups = 1;  // n: items (the tensor holds ceil(n / 4) groups)
  int kh = 1, kw = 1, dh = 1, dw = 1;
  int pad_t = 0, pad_b = 0, pad_l = 0, pad_r = 0, stride_h = 1, stride_w = 1, ins_h = 0, ins_w = 0;
  int bias_mode = 0;  // 0 none, 1 a separate array, 2 behind each weight record
  int rshift = 0;
  bool in_sign = false, w_sign = false, b_sign = false, relu = false;
  int upper = 0;  // > 0: the result's minimum with it
  int out_h() const { return ((h - 1) * (ins_h + 1) + 1 + pad_t + pad_b - ((kh - 1) * dh + 1)) / stride_h + 1; }
  int out_w() const { return ((w - 1) * (ins_w + 1) + 1 + pad_l + pad_r - ((kw - 1) * dw + 1)) / stride_w + 1; }
  int groups4() const { return (n + 3) / 4; }
  bool out_signed() const { return !relu && (in_sign || w_sign || (bias_mode != 0 && b_sign)); }
};

inline i64 v8(u8 b, bool s) { return s ? i64(int8_t(b)) : i64(b); }
inline i64 v16(u16 b, bool s) { return s ? i64(int16_t(b)) : i64(b); }

// Byte of item i, channel c, row y, column x of a 4N tensor of c_total channels.
inline size_t at4n(int i, int c, int y, int x, int c_total, int h, int w) {
  return ((size_t(i / 4) * c_total + c) * h * w + size_t(y) * w + x) * 4 + i % 4;
}

// v >> s rounding half up, rectified, saturated to `bits`.
inline i64 finish(i64 v, int s, bool relu, int bits, bool is_signed) {
  if (s > 0) {
    const i64 q = v + (i64{1} << (s - 1));
    v = q >= 0 ? q >> s : -((-q + (i64{1} << s) - 1) >> s);
  }
  if (relu && v < 0) v = 0;
  const i64 lo = is_signed ? -(i64{1} << (bits - 1)) : 0;
  const i64 hi = is_signed ? (i64{1} << (bits - 1)) - 1 : (i64{1} << bits) - 1;
  return v < lo ? lo : v > hi ? hi : v;
}

// The accumulated sum (with the bias) of output (item, o, y, x). Weights are
// oc x (ic / groups) x kh x kw bytes, bias one 16-bit value per output channel.
inline i64 conv_sum(const Conv &p, const std::vector<u8> &in, const std::vector<u8> &wt, const std::vector<u16> &bias,
                    int item, int o, int y, int x) {
  const int icg = p.ic / p.groups, ocg = p.oc / p.groups, g = o / ocg;
  const int eh = (p.h - 1) * (p.ins_h + 1) + 1, ew = (p.w - 1) * (p.ins_w + 1) + 1;
  i64 sum = 0;
  for (int i = 0; i < icg; i++)
    for (int r = 0; r < p.kh; r++)
      for (int q = 0; q < p.kw; q++) {
        const int yy = y * p.stride_h + r * p.dh - p.pad_t, xx = x * p.stride_w + q * p.dw - p.pad_l;
        if (yy < 0 || xx < 0 || yy >= eh || xx >= ew) continue;
        if (yy % (p.ins_h + 1) || xx % (p.ins_w + 1)) continue;
        const u8 a = in[at4n(item, g * icg + i, yy / (p.ins_h + 1), xx / (p.ins_w + 1), p.ic, p.h, p.w)];
        const u8 b = wt[((size_t(o) * icg + i) * p.kh + r) * p.kw + q];
        sum += v8(a, p.in_sign) * v8(b, p.w_sign);
      }
  if (p.bias_mode != 0) sum += v16(bias[o], p.b_sign);
  return sum;
}

// The 8-bit convolution over every item slot of the 4N tensor (padding items
// included), written 4N.
inline std::vector<u8> conv8(const Conv &p, const std::vector<u8> &in, const std::vector<u8> &wt,
                             const std::vector<u16> &bias) {
  const int oh = p.out_h(), ow = p.out_w(), items = 4 * p.groups4();
  std::vector<u8> out(size_t(items) * p.oc * oh * ow);
  const bool s = p.out_signed();
  for (int i = 0; i < items; i++)
    for (int o = 0; o < p.oc; o++)
      for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++) {
          i64 v = finish(conv_sum(p, in, wt, bias, i, o, y, x), p.rshift, p.relu, 8, s);
          if (p.upper > 0 && v > p.upper) v = p.upper;
          out[at4n(i, o, y, x, p.oc, oh, ow)] = u8(v & 0xff);
        }
  return out;
}

// The 16-bit result convolution, written 2N: ceil(n / 2) pair blocks of
// oc x oh x ow words, item 2p in the low half of block p.
inline std::vector<u8> conv16(const Conv &p, const std::vector<u8> &in, const std::vector<u8> &wt,
                              const std::vector<u16> &bias) {
  const int oh = p.out_h(), ow = p.out_w(), blocks = (p.n + 1) / 2;
  std::vector<u8> out(size_t(blocks) * p.oc * oh * ow * 4);
  const bool s = p.out_signed();
  for (int i = 0; i < 2 * blocks; i++)
    for (int o = 0; o < p.oc; o++)
      for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++) {
          i64 v = finish(conv_sum(p, in, wt, bias, i, o, y, x), p.rshift, p.relu, 16, s);
          if (p.upper > 0 && v > p.upper) v = p.upper;
          const size_t at = ((size_t(i / 2) * p.oc + o) * oh * ow + size_t(y) * ow + x) * 4 + 2 * (i % 2);
          out[at] = u8(v & 0xff);
          out[at + 1] = u8((v >> 8) & 0xff);
        }
  return out;
}

// The 8-bit deconvolution: out[y][x] gathers in[i] x w[r][q] for every
// y = iy x stride_h + r x dh - pad_t (and likewise x), over the group's input
// channels; output extent (h - 1) x stride + khe - pads + output_pad. `p` uses
// pad_t/pad_b/pad_l/pad_r as the deconvolution's pads; weights are
// groups x icg x ocg x kh x kw bytes (input channel first).
inline std::vector<u8> deconv8(const Conv &p, int out_pad_h, int out_pad_w, const std::vector<u8> &in,
                               const std::vector<u8> &wt, const std::vector<u16> &bias) {
  const int khe = (p.kh - 1) * p.dh + 1, kwe = (p.kw - 1) * p.dw + 1;
  const int oh = (p.h - 1) * p.stride_h + khe - p.pad_t - p.pad_b + out_pad_h;
  const int ow = (p.w - 1) * p.stride_w + kwe - p.pad_l - p.pad_r + out_pad_w;
  const int icg = p.ic / p.groups, ocg = p.oc / p.groups, items = 4 * p.groups4();
  std::vector<u8> out(size_t(items) * p.oc * oh * ow);
  const bool s = p.out_signed();
  for (int it = 0; it < items; it++)
    for (int o = 0; o < p.oc; o++)
      for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++) {
          const int g = o / ocg;
          i64 sum = 0;
          for (int i = 0; i < icg; i++)
            for (int r = 0; r < p.kh; r++)
              for (int q = 0; q < p.kw; q++) {
                const int ty = y + p.pad_t - r * p.dh, tx = x + p.pad_l - q * p.dw;
                if (ty < 0 || tx < 0 || ty % p.stride_h || tx % p.stride_w) continue;
                const int iy = ty / p.stride_h, ix = tx / p.stride_w;
                if (iy >= p.h || ix >= p.w) continue;
                const u8 a = in[at4n(it, g * icg + i, iy, ix, p.ic, p.h, p.w)];
                const u8 b = wt[(((size_t(g) * icg + i) * ocg + o % ocg) * p.kh + r) * p.kw + q];
                sum += v8(a, p.in_sign) * v8(b, p.w_sign);
              }
          if (p.bias_mode != 0) sum += v16(bias[size_t(o)], p.b_sign);
          out[at4n(it, o, y, x, p.oc, oh, ow)] = u8(finish(sum, p.rshift, p.relu, 8, s) & 0xff);
        }
  return out;
}

// Deconvolution weights of layout 0 ([g][icg][ocg][kh][kw]) rearranged as
// layout 1: per output channel [icg4 / 4][kh x kw][4 input channels].
inline std::vector<u8> deconv_layout1(const Conv &p, const std::vector<u8> &wt) {
  const int icg = p.ic / p.groups, ocg = p.oc / p.groups, g4 = (icg + 3) / 4, taps = p.kh * p.kw;
  std::vector<u8> out(size_t(p.oc) * g4 * taps * 4, 0);
  for (int g = 0; g < p.groups; g++)
    for (int i = 0; i < icg; i++)
      for (int o = 0; o < ocg; o++)
        for (int t = 0; t < taps; t++)
          out[((size_t(g) * ocg + o) * g4 + i / 4) * taps * 4 + size_t(t) * 4 + i % 4] =
              wt[((size_t(g) * icg + i) * ocg + o) * taps + t];
  return out;
}

// 8-bit Winograd F(2x2, 3x3) on transformed int8 weights u[o][i][16] (signed):
// per 2 x 2 output tile V = Bt d B of the padded 4 x 4 input tile, M = the sum
// over the group's input channels of U * V, Y = At M A, plus the bias, then
// the fixed-point finish (signed unless rectified) and the clamp.
inline std::vector<u8> wino8(const Conv &p, const std::vector<u8> &in, const std::vector<u8> &u,
                             const std::vector<u16> &bias) {
  const int oh = p.h + p.pad_t + p.pad_b - 2, ow = p.w + p.pad_l + p.pad_r - 2, items = 4 * p.groups4();
  const int icg = p.ic / p.groups, ocg = p.oc / p.groups;
  std::vector<u8> out(size_t(items) * p.oc * oh * ow);
  for (int it = 0; it < items; it++)
    for (int o = 0; o < p.oc; o++)
      for (int ty = 0; ty < oh; ty += 2)
        for (int tx = 0; tx < ow; tx += 2) {
          i64 m[4][4] = {};
          for (int i = 0; i < icg; i++) {
            i64 d[4][4];
            for (int a = 0; a < 4; a++)
              for (int b = 0; b < 4; b++) {
                const int y = ty + a - p.pad_t, x = tx + b - p.pad_l;
                d[a][b] = y < 0 || x < 0 || y >= p.h || x >= p.w
                              ? 0
                              : v8(in[at4n(it, (o / ocg) * icg + i, y, x, p.ic, p.h, p.w)], p.in_sign);
              }
            i64 t[4][4];
            for (int b = 0; b < 4; b++) {
              t[0][b] = d[0][b] - d[2][b];
              t[1][b] = d[1][b] + d[2][b];
              t[2][b] = d[2][b] - d[1][b];
              t[3][b] = d[1][b] - d[3][b];
            }
            for (int a = 0; a < 4; a++) {
              const i64 v[4] = {t[a][0] - t[a][2], t[a][1] + t[a][2], t[a][2] - t[a][1], t[a][1] - t[a][3]};
              for (int b = 0; b < 4; b++) m[a][b] += v8(u[(size_t(o) * icg + i) * 16 + a * 4 + b], true) * v[b];
            }
          }
          i64 s[2][4];
          for (int b = 0; b < 4; b++) {
            s[0][b] = m[0][b] + m[1][b] + m[2][b];
            s[1][b] = m[1][b] - m[2][b] - m[3][b];
          }
          for (int a = 0; a < 2; a++) {
            const i64 y[2] = {s[a][0] + s[a][1] + s[a][2], s[a][1] - s[a][2] - s[a][3]};
            for (int b = 0; b < 2; b++) {
              if (ty + a >= oh || tx + b >= ow) continue;
              i64 v = y[b] + (p.bias_mode != 0 ? v16(bias[size_t(o)], p.b_sign) : 0);
              v = finish(v, p.rshift, p.relu, 8, !p.relu);
              if (p.relu && p.upper > 0 && v > p.upper) v = p.upper;
              out[at4n(it, o, ty + a, tx + b, p.oc, oh, ow)] = u8(v & 0xff);
            }
          }
        }
  return out;
}

// Transformed weights u[o][i][16] as the Winograd layer reads them:
// arrangement 1 [g][icg4 / 4][ocg][16 words]; arrangement 2 (and every bias
// mode 2 block) [g][lane][lane row][icg4 / 4][16 words], bias mode 2 with each
// lane's 16-bit biases after its weights.
inline std::vector<u8> wino_weights(const Conv &p, const std::vector<u8> &u, const std::vector<u16> &bias,
                                    int arrangement) {
  const int icg = p.ic / p.groups, ocg = p.oc / p.groups, g4 = (icg + 3) / 4;
  const int lanes = ocg < 64 ? ocg : 64, ocn = (ocg + 63) / 64;
  const bool block = arrangement == 2 || p.bias_mode == 2;
  const size_t per_lane = size_t(ocn) * g4 * 64 + (p.bias_mode == 2 ? 2 * size_t(ocn) : 0);
  const size_t per_group = block ? per_lane * lanes : size_t(g4) * ocg * 64;
  std::vector<u8> out(per_group * p.groups, 0);
  for (int g = 0; g < p.groups; g++)
    for (int o = 0; o < ocg; o++) {
      const int lane = o % 64, row = o / 64;
      for (int i = 0; i < icg; i++)
        for (int k = 0; k < 16; k++) {
          const size_t word = block ? (size_t(row) * g4 + i / 4) * 16 + k : (size_t(i / 4) * ocg + o) * 16 + k;
          const size_t at = g * per_group + (block ? lane * per_lane : 0) + word * 4 + i % 4;
          out[at] = u[(size_t(g * ocg + o) * icg + i) * 16 + k];
        }
      if (p.bias_mode == 2) {
        const size_t at = g * per_group + lane * per_lane + size_t(ocn) * g4 * 64 + 2 * size_t(row);
        out[at] = u8(bias[size_t(g * ocg + o)] & 0xff);
        out[at + 1] = u8(bias[size_t(g * ocg + o)] >> 8);
      }
    }
  return out;
}

// Biases of arrangement 2 (bias mode 1): [g][lane][lane row] 16-bit values.
inline std::vector<u16> wino_biases(const Conv &p, const std::vector<u16> &bias, int arrangement) {
  if (arrangement == 1) return bias;
  const int ocg = p.oc / p.groups, lanes = ocg < 64 ? ocg : 64, ocn = (ocg + 63) / 64;
  std::vector<u16> out(size_t(p.groups) * lanes * ocn, 0);
  for (int g = 0; g < p.groups; g++)
    for (int o = 0; o < ocg; o++) out[(size_t(g) * lanes + o % 64) * ocn + o / 64] = bias[size_t(g * ocg + o)];
  return out;
}

// Weight records as the 8-bit convolution reads them: per output channel the
// input channels padded to a multiple of 4 (zeros), layout 0 as
// [ic/4][kh][kw][4], layout 1 as [kh][kw][ic/4][4]; bias mode 2 appends the
// 16-bit bias and two zero bytes.
inline std::vector<u8> weight_records(const Conv &p, const std::vector<u8> &wt, const std::vector<u16> &bias,
                                      int layout) {
  const int icg = p.ic / p.groups, g4 = (icg + 3) / 4, K = 4 * g4 * p.kh * p.kw;
  const int rec = K + (p.bias_mode == 2 ? 4 : 0);
  std::vector<u8> out(size_t(p.oc) * rec, 0);
  for (int o = 0; o < p.oc; o++) {
    for (int i = 0; i < icg; i++)
      for (int r = 0; r < p.kh; r++)
        for (int q = 0; q < p.kw; q++) {
          const int t = r * p.kw + q;
          const size_t word = layout == 0 ? size_t(i / 4) * p.kh * p.kw + t : size_t(t) * g4 + i / 4;
          out[size_t(o) * rec + word * 4 + i % 4] = wt[((size_t(o) * icg + i) * p.kh + r) * p.kw + q];
        }
    if (p.bias_mode == 2) {
      out[size_t(o) * rec + K] = u8(bias[o] & 0xff);
      out[size_t(o) * rec + K + 1] = u8(bias[o] >> 8);
    }
  }
  return out;
}

// The same for the three-channel form: channel c x kh + r of a 1 x kw kernel
// is kernel row r of input channel c.
inline std::vector<u8> weight_records_3ic(const Conv &p, const std::vector<u8> &wt, const std::vector<u16> &bias,
                                          int layout) {
  Conv f = p;
  f.ic = 3 * p.kh;
  f.kh = 1;
  std::vector<u8> folded(size_t(p.oc) * f.ic * p.kw);
  for (int o = 0; o < p.oc; o++)
    for (int c = 0; c < 3; c++)
      for (int r = 0; r < p.kh; r++)
        for (int q = 0; q < p.kw; q++)
          folded[(size_t(o) * f.ic + c * p.kh + r) * p.kw + q] = wt[((size_t(o) * 3 + c) * p.kh + r) * p.kw + q];
  return weight_records(f, folded, bias, layout);
}

// The 8-bit fully connected layer: Y = X x W (+ bias) accumulated over K
// sections of `k_section` columns. Each section's sum (plus, from the second
// section, the previous partial sum shifted left by `s_inter`) is shifted right
// by `s_inter` and kept as a 16-bit value, signed when X or W is; the last
// section adds the bias, shifts by rshift, applies ReLU and saturates to the
// result (8 or 16 bits); a rectified 8-bit result is unsigned.
struct Fc {
  int M = 1, K = 1, N = 1;
  bool transpose = false, bias = false, in_sign = false, w_sign = false, b_sign = false, relu = false;
  bool res16 = false, in4n = false, w4n = false, out4n = false;
  int rshift = 0;
  int k_section = 1024, s_inter = 0;
};

inline size_t fc_x(const Fc &p, int m, int k) {
  return p.in4n ? size_t(m / 4) * 4 * p.K + size_t(4 * k + m % 4) : size_t(m) * p.K + k;
}
inline size_t fc_w(const Fc &p, int k, int n) {
  if (p.w4n) return size_t(k / 4) * 4 * p.N + size_t(4 * n + k % 4);
  return p.transpose ? size_t(n) * p.K + k : size_t(k) * p.N + n;
}
// Bytes of Y (zero where no result lands: the padding rows of 4N storage).
inline std::vector<u8> fc8(const Fc &p, const std::vector<u8> &x, const std::vector<u8> &w,
                           const std::vector<u16> &bias) {
  const bool rs = p.in_sign || p.w_sign;
  const size_t rows4 = size_t((p.M + 3) / 4) * 4;
  std::vector<u8> y(p.res16 ? size_t(p.M) * p.N * 2 : (p.out4n ? rows4 : size_t(p.M)) * p.N, 0);
  for (int m = 0; m < p.M; m++)
    for (int n = 0; n < p.N; n++) {
      i64 old = 0, v = 0;
      for (int k0 = 0; k0 < p.K; k0 += p.k_section) {
        const int k1 = k0 + p.k_section < p.K ? k0 + p.k_section : p.K;
        const bool last = k1 == p.K;
        i64 sum = 0;
        for (int k = k0; k < k1; k++) sum += v8(x[fc_x(p, m, k)], p.in_sign) * v8(w[fc_w(p, k, n)], p.w_sign);
        if (k0 > 0) sum += old * (i64{1} << p.s_inter);
        if (last && p.bias) sum += v16(bias[size_t(n)], p.b_sign);
        if (last)
          v = finish(sum, p.rshift, p.relu, p.res16 ? 16 : 8, rs && (p.res16 || !p.relu));
        else
          old = finish(sum, p.s_inter, false, 16, rs);
      }
      if (p.res16) {
        y[2 * (size_t(m) * p.N + n)] = u8(v & 0xff);
        y[2 * (size_t(m) * p.N + n) + 1] = u8((v >> 8) & 0xff);
      } else {
        y[p.out4n ? size_t(m / 4) * 4 * p.N + size_t(4 * n + m % 4) : size_t(m) * p.N + n] = u8(v & 0xff);
      }
    }
  return y;
}

}  // namespace zv::ref::conv_fix
