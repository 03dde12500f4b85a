// Plain softmax and log-softmax over the channel axis of an n x c x S tensor
// (element (b, k, p) at (b c + k) S + p), in double.
#pragma once

#include <cmath>
#include <vector>

namespace zv::ref {

inline std::vector<double> softmax(const std::vector<double> &x, int n, int c, int S, bool log_softmax) {
  std::vector<double> y(x.size());
  for (int b = 0; b < n; b++)
    for (int p = 0; p < S; p++) {
      auto at = [&](int k) { return (size_t(b) * c + k) * size_t(S) + p; };
      double mx = -INFINITY;
      for (int k = 0; k < c; k++) mx = std::fmax(mx, x[at(k)]);
      double sum = 0;
      for (int k = 0; k < c; k++) sum += std::exp(x[at(k)] - mx);
      for (int k = 0; k < c; k++)
        y[at(k)] = log_softmax ? (x[at(k)] - mx) - std::log(sum) : std::exp(x[at(k)] - mx) / sum;
    }
  return y;
}

}  // namespace zv::ref
