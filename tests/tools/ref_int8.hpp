// Plain integer references of the 8-bit layers: sums of products in 64 bits,
// the right shift as a division rounded half up, saturation by comparison.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace ref8 {

// acc / 2^s rounded half up (towards +infinity on a tie).
inline int64_t ShiftRound(int64_t acc, int s) {
  return static_cast<int64_t>(std::floor(static_cast<long double>(acc) / std::ldexp(1.0L, s) + 0.5L));
}

inline int32_t Saturate(int64_t v, bool is_signed) {
  const int64_t lo = is_signed ? -128 : 0, hi = is_signed ? 127 : 255;
  return static_cast<int32_t>(std::min(hi, std::max(lo, v)));
}

// One output of a weighted layer: shift, optional rectification, saturation.
inline int32_t Finish(int64_t acc, int s, bool relu, bool is_signed) {
  int64_t v = ShiftRound(acc, s);
  if (relu) v = std::max<int64_t>(v, 0);
  return Saturate(v, is_signed);
}

struct Conv {
  int kh, kw, sh = 1, sw = 1, ph = 0, pw = 0, group = 1;
};

// in (N, C, H, W), w (O, C / group, kh, kw), b (O) or empty; shift[o] per
// output channel.
inline std::vector<int32_t> Convolution(const std::vector<int32_t>& in, int N, int C, int H, int W,
                                        const std::vector<int32_t>& w, const std::vector<int32_t>& b, int O,
                                        const Conv& g, const std::vector<int>& shift, bool relu, bool out_signed) {
  const int oh = (H + 2 * g.ph - g.kh) / g.sh + 1, ow = (W + 2 * g.pw - g.kw) / g.sw + 1;
  const int cg = C / g.group, og = O / g.group;
  std::vector<int32_t> out;
  for (int n = 0; n < N; ++n)
    for (int o = 0; o < O; ++o)
      for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
          int64_t acc = b.empty() ? 0 : b[o];
          for (int c = 0; c < cg; ++c)
            for (int i = 0; i < g.kh; ++i)
              for (int j = 0; j < g.kw; ++j) {
                const int yy = y * g.sh - g.ph + i, xx = x * g.sw - g.pw + j;
                if (yy < 0 || yy >= H || xx < 0 || xx >= W) continue;
                acc += int64_t{w[((o * cg + c) * g.kh + i) * g.kw + j]} *
                       in[((n * C + (o / og) * cg + c) * H + yy) * W + xx];
              }
          out.push_back(Finish(acc, shift[o], relu, out_signed));
        }
  return out;
}

// Transposed convolution, gathered: output (oy, ox) of channel o sums
// in[c][iy][ix] x w[c][o % og][i][j] over every input position and kernel
// tap with iy * sh - ph + i == oy and ix * sw - pw + j == ox, c in o's group.
// in (N, C, H, W), w (C, O / group, kh, kw), b (O) or empty.
inline std::vector<int32_t> Deconvolution(const std::vector<int32_t>& in, int N, int C, int H, int W,
                                          const std::vector<int32_t>& w, const std::vector<int32_t>& b, int O,
                                          const Conv& g, int shift, bool relu, bool out_signed) {
  const int oh = g.sh * (H - 1) + g.kh - 2 * g.ph, ow = g.sw * (W - 1) + g.kw - 2 * g.pw;
  const int cg = C / g.group, og = O / g.group;
  std::vector<int32_t> out;
  for (int n = 0; n < N; ++n)
    for (int o = 0; o < O; ++o)
      for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
          int64_t acc = b.empty() ? 0 : b[o];
          for (int c = (o / og) * cg; c < (o / og + 1) * cg; ++c)
            for (int yy = 0; yy < H; ++yy)
              for (int xx = 0; xx < W; ++xx)
                for (int i = 0; i < g.kh; ++i)
                  for (int j = 0; j < g.kw; ++j)
                    if (yy * g.sh - g.ph + i == y && xx * g.sw - g.pw + j == x)
                      acc += int64_t{w[((c * og + o % og) * g.kh + i) * g.kw + j]} * in[((n * C + c) * H + yy) * W + xx];
          out.push_back(Finish(acc, shift, relu, out_signed));
        }
  return out;
}

inline int64_t Clamp16(int64_t v) { return std::min<int64_t>(32767, std::max<int64_t>(-32768, v)); }

// The per-channel affine step of BatchNorm and Scale: x * m + b held in 16
// bits, rectified, times 2^-s (s > 0: rounded down; s < 0: held in 16 bits),
// then 8 bits.
inline int32_t Affine(int64_t x, int64_t m, int64_t b, int s, bool relu, bool out_signed) {
  int64_t v = Clamp16(x * m + b);
  if (relu) v = std::max<int64_t>(v, 0);
  v = s >= 0 ? static_cast<int64_t>(std::floor(static_cast<long double>(v) / std::ldexp(1.0L, s)))
             : Clamp16(v * (int64_t{1} << -s));
  return Saturate(v, out_signed);
}

}  // namespace ref8
