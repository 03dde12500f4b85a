// Plain reference of the float eltwise layer: inputs combined pair by pair
// through the output, each later pair followed by the ReLU when it is asked
// for; the maximum's mask names the earliest input holding the maximum.
#pragma once

#include <cmath>
#include <vector>

namespace zv::ref {

struct EltwiseResult {
  std::vector<double> out, mask;
};

// op 0 product, 1 weighted sum, 2 maximum, anything else the first input.
inline EltwiseResult eltwise_forward(const std::vector<std::vector<double>> &in, int op, const std::vector<double> &coeff,
                                     const std::vector<double> &mask_value, bool relu) {
  const size_t len = in[0].size(), k = in.size();
  EltwiseResult r{std::vector<double>(len), std::vector<double>(len)};
  for (size_t i = 0; i < len; i++) {
    double acc = op == 1 ? in[0][i] * coeff[0] : in[0][i], m = mask_value[0];
    for (size_t j = 1; j < k; j++) {
      const double x = in[j][i];
      if (op == 0) acc = acc * x;
      if (op == 1) acc = acc + coeff[j] * x;
      if (op == 2 && x > acc) acc = x, m = mask_value[j];
      if (relu) acc = std::fmax(acc, 0.0);
    }
    r.out[i] = acc;
    r.mask[i] = m;
  }
  return r;
}

}  // namespace zv::ref
