// Plain reference computations of the float layers, written from what each
// operation means, for the framework's tests.  Blobs are (N, C, H, W) arrays.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

namespace ref {

struct Conv {
  int kh, kw, sh = 1, sw = 1, ph = 0, pw = 0, dh = 1, dw = 1, group = 1;
};

inline int ConvOut(int in, int k, int s, int p, int d) { return (in + 2 * p - (d * (k - 1) + 1)) / s + 1; }

// out[n][o][y][x] = b[o] + sum over the group's inputs c and the kernel of
// w[o][c][i][j] * in[n][c][y*s - p + i*d][x*s - p + j*d] (zero outside).
inline std::vector<float> Convolution(const std::vector<float>& in, int N, int C, int H, int W,
                                      const std::vector<float>& w, const std::vector<float>& b,
                                      int O, const Conv& g, int* OH, int* OW) {
  const int oh = ConvOut(H, g.kh, g.sh, g.ph, g.dh), ow = ConvOut(W, g.kw, g.sw, g.pw, g.dw);
  *OH = oh;
  *OW = ow;
  const int cg = C / g.group, og = O / g.group;
  std::vector<float> out(static_cast<size_t>(N) * O * oh * ow, 0.0f);
  for (int n = 0; n < N; ++n)
    for (int o = 0; o < O; ++o)
      for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
          double acc = b.empty() ? 0.0 : b[o];
          const int grp = o / og;
          for (int c = 0; c < cg; ++c)
            for (int i = 0; i < g.kh; ++i)
              for (int j = 0; j < g.kw; ++j) {
                const int yy = y * g.sh - g.ph + i * g.dh, xx = x * g.sw - g.pw + j * g.dw;
                if (yy < 0 || yy >= H || xx < 0 || xx >= W) continue;
                acc += static_cast<double>(w[((o * cg + c) * g.kh + i) * g.kw + j]) *
                       in[((static_cast<size_t>(n) * C + grp * cg + c) * H + yy) * W + xx];
              }
          out[((static_cast<size_t>(n) * O + o) * oh + y) * ow + x] = static_cast<float>(acc);
        }
  return out;
}

// Every input value in[n][c][y][x] adds w[c][o][i][j] * value to
// out[n][o][y*s - p + i*d][x*s - p + j*d]; weights are (C, O / group, kh, kw).
inline std::vector<float> Deconvolution(const std::vector<float>& in, int N, int C, int H, int W,
                                        const std::vector<float>& w, const std::vector<float>& b,
                                        int O, const Conv& g, int* OH, int* OW) {
  const int oh = g.sh * (H - 1) + g.dh * (g.kh - 1) + 1 - 2 * g.ph;
  const int ow = g.sw * (W - 1) + g.dw * (g.kw - 1) + 1 - 2 * g.pw;
  *OH = oh;
  *OW = ow;
  const int cg = C / g.group, og = O / g.group;
  std::vector<double> acc(static_cast<size_t>(N) * O * oh * ow, 0.0);
  for (int n = 0; n < N; ++n)
    for (int c = 0; c < C; ++c)
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const float v = in[((static_cast<size_t>(n) * C + c) * H + y) * W + x];
          const int grp = c / cg;
          for (int oo = 0; oo < og; ++oo)
            for (int i = 0; i < g.kh; ++i)
              for (int j = 0; j < g.kw; ++j) {
                const int yy = y * g.sh - g.ph + i * g.dh, xx = x * g.sw - g.pw + j * g.dw;
                if (yy < 0 || yy >= oh || xx < 0 || xx >= ow) continue;
                const int o = grp * og + oo;
                acc[((static_cast<size_t>(n) * O + o) * oh + yy) * ow + xx] +=
                    static_cast<double>(w[((c * og + oo) * g.kh + i) * g.kw + j]) * v;
              }
        }
  std::vector<float> out(acc.size());
  for (size_t i = 0; i < acc.size(); ++i)
    out[i] = static_cast<float>(acc[i] + (b.empty() ? 0.0 : b[(i / (oh * ow)) % O]));
  return out;
}

// Window (y*s - p .. + k) clipped to the input; an average divides by the
// window clipped to the padded input.
inline std::vector<float> Pool(const std::vector<float>& in, int N, int C, int H, int W, int k,
                               int s, int p, bool max, int oh, int ow) {
  std::vector<float> out(static_cast<size_t>(N) * C * oh * ow);
  for (int nc = 0; nc < N * C; ++nc)
    for (int y = 0; y < oh; ++y)
      for (int x = 0; x < ow; ++x) {
        const int y0 = y * s - p, x0 = x * s - p;
        const int area = (std::min(y0 + k, H + p) - y0) * (std::min(x0 + k, W + p) - x0);
        double acc = max ? -DBL_MAX : 0.0;
        for (int yy = std::max(y0, 0); yy < std::min(y0 + k, H); ++yy)
          for (int xx = std::max(x0, 0); xx < std::min(x0 + k, W); ++xx) {
            const float v = in[(static_cast<size_t>(nc) * H + yy) * W + xx];
            acc = max ? std::max(acc, static_cast<double>(v)) : acc + v;
          }
        out[(static_cast<size_t>(nc) * oh + y) * ow + x] = static_cast<float>(max ? acc : acc / area);
      }
  return out;
}

// y = x / sqrt(sum of x^2 + eps) * scale; the sum over one sample, or over
// the channels at each position.
inline std::vector<float> Normalize(const std::vector<float>& in, int N, int C, int HW,
                                    bool across_spatial, const std::vector<float>& scale,
                                    double eps) {
  std::vector<float> out(in.size());
  for (int n = 0; n < N; ++n)
    for (int c = 0; c < C; ++c)
      for (int i = 0; i < HW; ++i) {
        double sum = 0;
        for (int cc = 0; cc < C; ++cc)
          for (int ii = 0; ii < HW; ++ii) {
            if (!across_spatial && ii != i) continue;
            const double v = in[(static_cast<size_t>(n) * C + cc) * HW + ii];
            sum += v * v;
          }
        const size_t k = (static_cast<size_t>(n) * C + c) * HW + i;
        out[k] = static_cast<float>(in[k] / std::sqrt(sum + eps) * scale[scale.size() == 1 ? 0 : c]);
      }
  return out;
}

// Across channels: x * (k + alpha / n * sum of x^2 over the n channels
// around c)^-beta.
inline std::vector<float> LRNAcross(const std::vector<float>& in, int N, int C, int HW, int size,
                                    double alpha, double beta, double k) {
  std::vector<float> out(in.size());
  for (int n = 0; n < N; ++n)
    for (int c = 0; c < C; ++c)
      for (int i = 0; i < HW; ++i) {
        double sum = 0;
        for (int cc = c - size / 2; cc <= c + size / 2; ++cc) {
          if (cc < 0 || cc >= C) continue;
          const double v = in[(static_cast<size_t>(n) * C + cc) * HW + i];
          sum += v * v;
        }
        const size_t idx = (static_cast<size_t>(n) * C + c) * HW + i;
        out[idx] = static_cast<float>(in[idx] * std::pow(k + alpha / size * sum, -beta));
      }
  return out;
}

}  // namespace ref
