// Region activation of one detection head, in double: per anchor the box
// channels copied with the sigmoid over the given channel ranges, the class
// channels replaced by their softmax at every batch item and position.
#pragma once

#include <cmath>
#include <utility>
#include <vector>

namespace zv::test::ref::region {

// x: n x c x h x w floats, c = nums * (classes + coords + 1); ranges: (start,
// count) pairs within the box block.
inline std::vector<double> forward(const std::vector<float> &x, int n, int c, int h, int w, int classes, int coords,
                                   int nums, const std::vector<std::pair<int, int>> &ranges) {
  const size_t S = size_t(h) * w;
  std::vector<double> y(x.begin(), x.end());
  const int block = classes + coords + 1;
  for (int b = 0; b < n; b++)
    for (int j = 0; j < nums; j++) {
      const size_t anchor = (size_t(b) * c + size_t(j) * block) * S;
      for (const auto &r : ranges)
        for (int k = r.first; k < r.first + r.second; k++)
          for (size_t p = 0; p < S; p++) {
            const size_t e = anchor + size_t(k) * S + p;
            y[e] = 1.0 / (1.0 + std::exp(-double(x[e])));
          }
      if (classes <= 0) continue;
      const size_t cls = anchor + size_t(coords + 1) * S;
      for (size_t p = 0; p < S; p++) {
        double top = -INFINITY, sum = 0;
        for (int k = 0; k < classes; k++) top = std::fmax(top, double(x[cls + size_t(k) * S + p]));
        for (int k = 0; k < classes; k++) sum += std::exp(double(x[cls + size_t(k) * S + p]) - top);
        for (int k = 0; k < classes; k++)
          y[cls + size_t(k) * S + p] = std::exp(double(x[cls + size_t(k) * S + p]) - top) / sum;
      }
    }
  return y;
}

}  // namespace zv::test::ref::region
