// Plain references for float batch normalisation: inference with given or
// prepared coefficients, and one training step with running statistics.
#pragma once

#include <cmath>
#include <vector>

#include "ref/conv_ref.h"

namespace zv::ref::bn {

using conv::T4;

// y = (x + a[c]) x b[c], then max(y, 0) when relu.
inline T4 apply(const T4 &x, const std::vector<double> &a, const std::vector<double> &b, bool relu) {
  T4 y = x;
  for (int n = 0; n < x.n; n++)
    for (int c = 0; c < x.c; c++)
      for (int i = 0; i < x.h; i++)
        for (int j = 0; j < x.w; j++) {
          const double v = (x.at(n, c, i, j) + a[size_t(c)]) * b[size_t(c)];
          y.at(n, c, i, j) = relu && v < 0 ? 0.0 : v;
        }
  return y;
}

// a = -mean / s, b = 1 / sqrt(var / s + eps); s = 0 gives a = 0, b = 1 / sqrt(eps).
inline void prepare(const std::vector<double> &mean, const std::vector<double> &var, double s, double eps,
                    std::vector<double> *a, std::vector<double> *b) {
  const double f = s == 0 ? 0.0 : 1.0 / s;
  a->resize(mean.size());
  b->resize(mean.size());
  for (size_t c = 0; c < mean.size(); c++) {
    (*a)[c] = -mean[c] * f;
    (*b)[c] = 1.0 / std::sqrt(var[c] * f + eps);
  }
}

struct TrainStep {
  T4 y;
  std::vector<double> mean, std, running_mean, running_var;
};

// One training step: batch mean and (biased) variance over n, h and w divided
// by m, y normalised with them, std = sqrt(var + eps); running mean x fraction
// + mean, running variance x fraction + var x m / (m - 1) (+ var when m <= 1).
inline TrainStep train(const T4 &x, std::vector<double> running_mean, std::vector<double> running_var, double eps,
                       double fraction, double m) {
  TrainStep r;
  r.y = x;
  for (int c = 0; c < x.c; c++) {
    double sum = 0, sq = 0;
    for (int n = 0; n < x.n; n++)
      for (int i = 0; i < x.h; i++)
        for (int j = 0; j < x.w; j++) sum += x.at(n, c, i, j);
    const double mean = sum / m;
    for (int n = 0; n < x.n; n++)
      for (int i = 0; i < x.h; i++)
        for (int j = 0; j < x.w; j++) sq += (x.at(n, c, i, j) - mean) * (x.at(n, c, i, j) - mean);
    const double var = sq / m, sd = std::sqrt(var + eps);
    for (int n = 0; n < x.n; n++)
      for (int i = 0; i < x.h; i++)
        for (int j = 0; j < x.w; j++) r.y.at(n, c, i, j) = (x.at(n, c, i, j) - mean) / sd;
    r.mean.push_back(mean);
    r.std.push_back(sd);
    const size_t k = size_t(c);
    running_mean[k] = running_mean[k] * fraction + mean;
    running_var[k] = running_var[k] * fraction + (m > 1 ? var * m / (m - 1) : var);
  }
  r.running_mean = running_mean;
  r.running_var = running_var;
  return r;
}

}  // namespace zv::ref::bn
