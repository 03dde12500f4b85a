// The LSTM sequence layer in double, from its formulas: per step
//   gates = x_t W_xc + bias (+ s W_static)
//   with a previous hidden state (t > 0, or t = 0 given h0 and c0):
//     gates += (h_{t-1} cont_t) W_hc, the cell carried over
//   else the cell is 0;
//   i, f, o = sigmoid, g = tanh of their columns; f *= cont_t;
//   c = f c + i g; h = o tanh(c).
// Weight and bias columns: 4He (He = H rounded up to 8) in groups of 32, group
// j holding i, f, o, g of hidden units 8j..8j+7, 8 columns each.
#pragma once

#include <cmath>
#include <vector>

namespace zv::ref {

struct LstmRef {
  std::vector<double> output, hT, cT;  // T x N x H, N x H, N x H
};

inline int lstm_he(int H) { return (H + 7) / 8 * 8; }
// Column of gate q (0 i, 1 f, 2 o, 3 g) of hidden unit u.
inline int lstm_col(int q, int u) { return 32 * (u / 8) + 8 * q + u % 8; }

// x T x N x I, cont T x N, s N x I (has_static), h0 and c0 N x H (has_state),
// w_xc and w_static I x 4He, bias 4He, w_hc H x 4He.
inline LstmRef lstm_forward(const std::vector<float> &x, const std::vector<float> &cont, const std::vector<float> &s,
                            const std::vector<float> &h0, const std::vector<float> &c0,
                            const std::vector<float> &w_xc, const std::vector<float> &bias,
                            const std::vector<float> &w_static, const std::vector<float> &w_hc, int N, int T, int I,
                            int H, bool has_static, bool has_state) {
  const int cols = 4 * lstm_he(H);
  auto sig = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
  LstmRef r;
  r.output.assign(size_t(T) * N * H, 0.0);
  std::vector<double> h(size_t(N) * H, 0.0), c(size_t(N) * H, 0.0);
  if (has_state)
    for (size_t e = 0; e < h.size(); e++) h[e] = h0[e], c[e] = c0[e];
  for (int t = 0; t < T; t++) {
    const bool recurrent = t > 0 || has_state;
    for (int n = 0; n < N; n++) {
      const double k = cont[size_t(t) * N + n];
      std::vector<double> g(cols);
      for (int j = 0; j < cols; j++) {
        double v = bias[j];
        for (int i = 0; i < I; i++) v += double(x[(size_t(t) * N + n) * I + i]) * w_xc[size_t(i) * cols + j];
        if (has_static)
          for (int i = 0; i < I; i++) v += double(s[size_t(n) * I + i]) * w_static[size_t(i) * cols + j];
        if (recurrent)
          for (int u = 0; u < H; u++) v += h[size_t(n) * H + u] * k * w_hc[size_t(u) * cols + j];
        g[j] = v;
      }
      for (int u = 0; u < H; u++) {
        double &cu = c[size_t(n) * H + u];
        if (!recurrent) cu = 0.0;
        const double ig = sig(g[lstm_col(0, u)]), fg = sig(g[lstm_col(1, u)]) * k, og = sig(g[lstm_col(2, u)]);
        cu = fg * cu + ig * std::tanh(g[lstm_col(3, u)]);
        h[size_t(n) * H + u] = og * std::tanh(cu);
        r.output[(size_t(t) * N + n) * H + u] = h[size_t(n) * H + u];
      }
    }
  }
  r.hT = h;
  r.cT = c;
  return r;
}

}  // namespace zv::ref
