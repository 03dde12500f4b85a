// Plain references of the loss, accuracy and sequence layers, in double, from
// their formulas.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

namespace zv::ref {

// sum (a - b)^2 / (2 n).
inline double euclidean_loss(const std::vector<double> &a, const std::vector<double> &b, int n) {
  double s = 0;
  for (size_t i = 0; i < a.size(); i++) s += (a[i] - b[i]) * (a[i] - b[i]);
  return s / (2.0 * n);
}

// Squared distance of row i of two n x c inputs.
inline double row_dist_sq(const std::vector<double> &a, const std::vector<double> &b, int c, int i) {
  double s = 0;
  for (int k = 0; k < c; k++) {
    const double d = a[size_t(i) * c + k] - b[size_t(i) * c + k];
    s += d * d;
  }
  return s;
}

// sum_i [y d^2 + (1 - y) max(margin - d, 0)^2] / (2 n); legacy: the second term
// max(margin - d^2, 0).
inline double contrastive_loss(const std::vector<double> &a, const std::vector<double> &b,
                               const std::vector<double> &y, int n, int c, double margin, bool legacy) {
  double s = 0;
  for (int i = 0; i < n; i++) {
    const double d2 = row_dist_sq(a, b, c, i);
    const double other = legacy ? std::max(margin - d2, 0.0) : std::pow(std::max(margin - std::sqrt(d2), 0.0), 2);
    s += y[i] * d2 + (1 - y[i]) * other;
  }
  return s / (2.0 * n);
}

// Central difference of f at x[i].
inline double finite_difference(const std::function<double(const std::vector<double> &)> &f,
                                std::vector<double> x, size_t i, double h = 1e-5) {
  const double keep = x[i];
  x[i] = keep + h;
  const double up = f(x);
  x[i] = keep - h;
  const double down = f(x);
  return (up - down) / (2 * h);
}

// Softmax over the c classes of an n x c x inner tensor (element (b, k, p) at
// (b c + k) inner + p).
inline std::vector<double> softmax_classes(const std::vector<double> &x, int n, int c, int inner) {
  std::vector<double> y(x.size());
  for (int b = 0; b < n; b++)
    for (int p = 0; p < inner; p++) {
      auto at = [&](int k) { return (size_t(b) * c + k) * size_t(inner) + p; };
      double mx = -INFINITY, sum = 0;
      for (int k = 0; k < c; k++) mx = std::max(mx, x[at(k)]);
      for (int k = 0; k < c; k++) sum += std::exp(x[at(k)] - mx);
      for (int k = 0; k < c; k++) y[at(k)] = std::exp(x[at(k)] - mx) / sum;
    }
  return y;
}

// The class of a label value (truncated), or -1 when it lies outside [0, c).
inline int label_class(double f, int c) {
  if (!(f > -1.0 && f < c)) return -1;
  return int(f);
}

// -(sum of ln max(p[label], 1e-37)) / normalizer over the positions whose
// label is a class.
inline double softmax_loss(const std::vector<double> &x, const std::vector<double> &labels, int n, int c, int inner,
                           double normalizer) {
  const std::vector<double> p = softmax_classes(x, n, c, inner);
  double sum = 0;
  for (int b = 0; b < n; b++)
    for (int q = 0; q < inner; q++) {
      const int k = label_class(labels[size_t(b) * inner + q], c);
      if (k < 0) continue;
      sum += std::log(std::max(p[(size_t(b) * c + k) * inner + q], double(1e-37f)));
    }
  return -sum / normalizer;
}

// Indices of the k largest of each of n rows of c distinct scores, largest
// first.
inline std::vector<int32_t> top_k_indices(const std::vector<float> &scores, int n, int c, int k) {
  std::vector<int32_t> out;
  for (int i = 0; i < n; i++) {
    std::vector<int32_t> idx(c);
    for (int j = 0; j < c; j++) idx[j] = j;
    std::sort(idx.begin(), idx.end(), [&](int a, int b) { return scores[size_t(i) * c + a] > scores[size_t(i) * c + b]; });
    out.insert(out.end(), idx.begin(), idx.begin() + k);
  }
  return out;
}

// ln(e^p + e^q), in log space.
inline double lse(double p, double q) {
  const double mx = std::max(p, q), mn = std::min(p, q);
  return mx + std::log1p(std::exp(mn - mx));
}

// CTC tables of an S x T problem (entry [s][t] at s T + t) completed from the
// host's boundary columns: y is C x T, lp the extended labels, the blank C - 1.
inline void ctc_tables(const std::vector<double> &y, const std::vector<int> &lp, int C, int T,
                       std::vector<double> &alpha, std::vector<double> &beta) {
  const int S = int(lp.size());
  auto ly = [&](int s, int t) { return std::log(y[size_t(lp[s]) * T + t]); };
  auto skip = [&](int s) { return s >= 2 && lp[s] != C - 1 && lp[s] != lp[s - 2]; };
  for (int t = 1; t < T; t++)
    for (int s = 0; s < S; s++) {
      double v = alpha[size_t(s) * T + t - 1];
      if (s >= 1) v = lse(alpha[size_t(s - 1) * T + t - 1], v);
      if (skip(s)) v = lse(alpha[size_t(s - 2) * T + t - 1], v);
      alpha[size_t(s) * T + t] = v + ly(s, t);
    }
  for (int t = T - 2; t >= 0; t--)
    for (int s = 0; s < S; s++) {
      double v = lse(beta[size_t(s) * T + t], beta[size_t(s) * T + t + 1] + ly(s, t + 1));
      if (s + 1 < S) v = lse(v, beta[size_t(s + 1) * T + t + 1] + ly(s + 1, t + 1));
      if (s + 2 < S && skip(s + 2)) v = lse(v, beta[size_t(s + 2) * T + t + 1] + ly(s + 2, t + 1));
      beta[size_t(s) * T + t] = v;
    }
}

// Skip-gram negative sampling over n pairs in order, on vocab x dim tables in
// double: for each pair the target and every negative other than the target
// update their output rows, then the input row takes the summed gradient.
inline void word2vec(std::vector<double> &syn0, std::vector<double> &syn1, const std::vector<int> &in,
                     const std::vector<int> &target, const std::vector<int> &neg, int negatives, int dim,
                     double alpha) {
  for (size_t i = 0; i < in.size(); i++) {
    double *u = &syn0[size_t(in[i]) * dim];
    std::vector<double> grad(dim, 0.0);
    auto step = [&](int word, double label) {
      double *v = &syn1[size_t(word) * dim];
      double f = 0;
      for (int k = 0; k < dim; k++) f += u[k] * v[k];
      const double g = (label - 1.0 / (1.0 + std::exp(-f))) * alpha;
      for (int k = 0; k < dim; k++) grad[k] += g * v[k];
      for (int k = 0; k < dim; k++) v[k] += g * u[k];
    };
    step(target[i], 1.0);
    for (int j = 0; j < negatives; j++) {
      const int w = neg[i * negatives + j];
      if (w != target[i]) step(w, 0.0);
    }
    for (int k = 0; k < dim; k++) u[k] += grad[k];
  }
}

inline double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

// One LSTM cell update per element: c = f' c_prev + i g, h = o tanh(c), with
// f' = cont sigmoid(f) (0 where cont is 0).
inline void lstm_unit(double i, double f, double o, double g, double c_prev, double cont, double *c, double *h) {
  const double fg = cont == 0 ? 0.0 : cont * sigmoid(f);
  *c = fg * c_prev + sigmoid(i) * std::tanh(g);
  *h = sigmoid(o) * std::tanh(*c);
}

}  // namespace zv::ref
