// Plain arg max / arg min along one axis of an N x C x H x W float tensor.
#pragma once

#include <vector>

namespace zv::ref {

// Index along `axis` of the largest (method 0) or smallest (method 1) element
// for every position of the output (the axis's extent 1); among equal extremes
// the highest index, or the lowest when `lowest_on_tie`. A NaN wins both ways:
// the first NaN along the axis, when there is one. With `value` not null, the
// extreme values are stored there in the same order.
template <class T>
inline std::vector<float> arg_index(const std::vector<T> &in, const int dims[4], int axis, int method,
                                    bool lowest_on_tie = false, std::vector<T> *value = nullptr) {
  int out_dims[4] = {dims[0], dims[1], dims[2], dims[3]};
  out_dims[axis] = 1;
  const int len = dims[axis];
  int stride = 1;
  for (int i = 3; i > axis; i--) stride *= dims[i];
  std::vector<float> out;
  for (int n = 0; n < out_dims[0]; n++)
    for (int c = 0; c < out_dims[1]; c++)
      for (int h = 0; h < out_dims[2]; h++)
        for (int w = 0; w < out_dims[3]; w++) {
          const size_t base = ((size_t(n) * dims[1] + c) * dims[2] + h) * dims[3] + w;
          int best = 0;
          for (int i = 1; i < len; i++) {
            const T v = in[base + size_t(i) * stride], b = in[base + size_t(best) * stride];
            if (b != b) break;  // a NaN, the first one
            if (v != v || (lowest_on_tie ? (method == 1 ? v < b : v > b) : (method == 0 ? v >= b : v <= b)))
              best = i;
          }
          out.push_back(float(best));
          if (value) value->push_back(in[base + size_t(best) * stride]);
        }
  return out;
}

}  // namespace zv::ref
