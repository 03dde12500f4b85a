// Plain references for the global convolution-family layers: the fully
// connected product and the batch matrix product over broadcast leading
// dimensions, and the 3-D convolution, in double. The convolution, depthwise and Winograd transform
// references live in conv_ref.h.
#pragma once

#include <cstddef>
#include <vector>

namespace zv::ref::conv {

// Y[m][n] = sum_k X[m][k] * W[k][n] (W[n][k] when transposed) + bias[n].
inline std::vector<double> fully_connected(const std::vector<float> &X, const std::vector<float> &W,
                                           const std::vector<float> &bias, int M, int K, int N, bool transpose) {
  std::vector<double> Y(size_t(M) * N);
  for (int m = 0; m < M; m++)
    for (int n = 0; n < N; n++) {
      double s = bias.empty() ? 0.0 : double(bias[size_t(n)]);
      for (int k = 0; k < K; k++)
        s += double(X[size_t(m) * K + k]) * double(transpose ? W[size_t(n) * K + k] : W[size_t(k) * N + n]);
      Y[size_t(m) * N + n] = s;
    }
  return Y;
}

// Leading dimensions aligned at the right, a missing or 1 extent broadcast.
inline std::vector<double> batch_matmul(const std::vector<float> &A, std::vector<int> as, const std::vector<float> &B,
                                        std::vector<int> bs, std::vector<int> *ys) {
  const size_t dims = as.size() > bs.size() ? as.size() : bs.size();
  while (as.size() < dims) as.insert(as.begin(), 1);
  while (bs.size() < dims) bs.insert(bs.begin(), 1);
  const int M = as[dims - 2], K = as[dims - 1], N = bs[dims - 1];
  std::vector<int> y(dims);
  size_t total = 1;
  for (size_t i = 0; i + 2 < dims; i++) {
    y[i] = as[i] > bs[i] ? as[i] : bs[i];
    total *= size_t(y[i]);
  }
  y[dims - 2] = M;
  y[dims - 1] = N;
  *ys = y;
  std::vector<double> Y(total * M * N);
  for (size_t t = 0; t < total; t++) {
    size_t rest = t, ao = 0, bo = 0, am = 1, bm = 1;
    for (size_t i = dims - 2; i-- > 0;) {
      const size_t idx = rest % size_t(y[i]);
      rest /= size_t(y[i]);
      ao += (as[i] == 1 ? 0 : idx) * am;
      bo += (bs[i] == 1 ? 0 : idx) * bm;
      am *= size_t(as[i]);
      bm *= size_t(bs[i]);
    }
    for (int m = 0; m < M; m++)
      for (int n = 0; n < N; n++) {
        double s = 0;
        for (int k = 0; k < K; k++)
          s += double(A[(ao * M + m) * K + k]) * double(B[(bo * K + k) * N + n]);
        Y[(t * M + m) * N + n] = s;
      }
  }
  return Y;
}

// Grouped 3-D convolution of in [N][IC][IT][IH][IW] with w [OC][IC / groups]
// [KT][KH][KW], bias [OC]; out [N][OC][OT][OH][OW].
struct Conv3d {
  int N, IC, IT, IH, IW, groups, OC, KT, KH, KW, dt, dh, dw, PT0, PT1, PH0, PH1, PW0, PW1, st, sh, sw;
  int ot() const { return (IT + PT0 + PT1 - ((KT - 1) * dt + 1)) / st + 1; }
  int oh() const { return (IH + PH0 + PH1 - ((KH - 1) * dh + 1)) / sh + 1; }
  int ow() const { return (IW + PW0 + PW1 - ((KW - 1) * dw + 1)) / sw + 1; }
};
inline std::vector<double> conv3d(const Conv3d &p, const std::vector<float> &in, const std::vector<float> &w,
                                  const std::vector<float> &bias) {
  const int OT = p.ot(), OH = p.oh(), OW = p.ow(), icg = p.IC / p.groups, ocg = p.OC / p.groups;
  std::vector<double> out(size_t(p.N) * p.OC * OT * OH * OW);
  size_t at = 0;
  for (int n = 0; n < p.N; n++)
    for (int o = 0; o < p.OC; o++)
      for (int t = 0; t < OT; t++)
        for (int y = 0; y < OH; y++)
          for (int x = 0; x < OW; x++) {
            double s = bias.empty() ? 0.0 : double(bias[size_t(o)]);
            const int g = o / ocg;
            for (int i = 0; i < icg; i++)
              for (int a = 0; a < p.KT; a++)
                for (int r = 0; r < p.KH; r++)
                  for (int q = 0; q < p.KW; q++) {
                    const int ft = t * p.st - p.PT0 + a * p.dt, fy = y * p.sh - p.PH0 + r * p.dh,
                              fx = x * p.sw - p.PW0 + q * p.dw;
                    if (ft < 0 || ft >= p.IT || fy < 0 || fy >= p.IH || fx < 0 || fx >= p.IW) continue;
                    s += double(in[(((size_t(n) * p.IC + g * icg + i) * p.IT + ft) * p.IH + fy) * p.IW + fx]) *
                         double(w[(((size_t(o) * icg + i) * p.KT + a) * p.KH + r) * p.KW + q]);
                  }
            out[at++] = s;
          }
  return out;
}

}  // namespace zv::ref::conv
