// Plain where: the coordinates of the non-zero elements, in element order.
#pragma once

#include <cstdint>
#include <vector>

namespace zv::ref {

inline std::vector<int32_t> where(const std::vector<float> &in, const std::vector<int> &shape) {
  std::vector<int32_t> out;
  for (size_t f = 0; f < in.size(); f++) {
    if (in[f] == 0.0f) continue;
    std::vector<int32_t> c(shape.size());
    size_t rest = f;
    for (size_t i = shape.size(); i-- > 0;) {
      c[i] = int32_t(rest % size_t(shape[i]));
      rest /= size_t(shape[i]);
    }
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

}  // namespace zv::ref
