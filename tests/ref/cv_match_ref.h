// Plain references of feature matching, from what it reports.
//
// Float: per query q the entry j with the largest (q . d_j) / |q| x factor_j
// and that value; among equal values the lowest entry. The database is F rows
// of D entries (entry index fastest).
//
// 8-bit: the int16 score of entry j is sum_k q[k] d[k][j] shifted right by
// `shift` (rounding half up) and saturated to int16; per query the n best
// scores in descending order, equal scores by ascending entry.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

namespace zv::ref {

struct MatchTop1 {
  std::vector<double> similarity;  // per query
  std::vector<uint32_t> index;
  std::vector<double> runner_up;   // the second-best similarity (for fixtures that need a clear winner)
};

inline MatchTop1 cv_feature_match(const std::vector<float> &query, const std::vector<float> &database,
                                  const std::vector<float> &factor, int B, int F, int D) {
  MatchTop1 r;
  for (int b = 0; b < B; b++) {
    double norm = 0;
    for (int k = 0; k < F; k++) norm += double(query[b * F + k]) * query[b * F + k];
    double best = -INFINITY, second = -INFINITY;
    uint32_t at = 0;
    for (int j = 0; j < D; j++) {
      double dot = 0;
      for (int k = 0; k < F; k++) dot += double(query[b * F + k]) * database[size_t(k) * D + j];
      const double s = dot / std::sqrt(norm) * factor[j];
      if (s > best) {
        second = best;
        best = s;
        at = uint32_t(j);
      } else if (s > second) {
        second = s;
      }
    }
    r.similarity.push_back(best);
    r.index.push_back(at);
    r.runner_up.push_back(second);
  }
  return r;
}

inline int16_t cv_match_score(int64_t product, unsigned shift) {
  int64_t v = product;
  if (shift > 0) v = (product + (int64_t(1) << (shift - 1))) >> shift;  // floor of x + 0.5: half up
  return int16_t(std::min<int64_t>(32767, std::max<int64_t>(-32768, v)));
}

inline void cv_feature_match_fix8b(const std::vector<int8_t> &query, const std::vector<int8_t> &database, int B, int F,
                                   int D, int n, unsigned shift, std::vector<int16_t> &scores,
                                   std::vector<int32_t> &indices) {
  scores.clear();
  indices.clear();
  for (int b = 0; b < B; b++) {
    std::vector<int16_t> s(D);
    for (int j = 0; j < D; j++) {
      int64_t p = 0;
      for (int k = 0; k < F; k++) p += int64_t(query[size_t(b) * F + k]) * database[size_t(k) * D + j];
      s[j] = cv_match_score(p, shift);
    }
    std::vector<int32_t> order(D);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int32_t x, int32_t y) { return s[x] > s[y]; });
    for (int j = 0; j < n; j++) {
      scores.push_back(s[order[j]]);
      indices.push_back(order[j]);
    }
  }
}

// The 8-bit product of the matching's FC: out[b][j] = sum_k in[b][k] w[k][j]
// (+ bias[j]), shifted right by `shift` rounding half up, saturated to int16
// (wide) or int8. w[k][j] is weight[k * stride + j], or weight[j * stride + k]
// when transposed.
inline std::vector<int16_t> cv_fc8(const std::vector<int8_t> &in, const std::vector<int8_t> &weight,
                                   const std::vector<int16_t> &bias, int M, int K, int N, int stride, bool transposed,
                                   unsigned shift, bool wide) {
  std::vector<int16_t> out;
  for (int b = 0; b < M; b++)
    for (int j = 0; j < N; j++) {
      int64_t p = bias.empty() ? 0 : bias[j];
      for (int k = 0; k < K; k++)
        p += int64_t(in[size_t(b) * K + k]) * weight[transposed ? size_t(j) * stride + k : size_t(k) * stride + j];
      const int16_t v = cv_match_score(p, shift);
      out.push_back(wide ? v : int16_t(std::min<int>(127, std::max<int>(-128, v))));
    }
  return out;
}

}  // namespace zv::ref
