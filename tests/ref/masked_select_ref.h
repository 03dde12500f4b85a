// Plain masked select with broadcasting of extents 1 (shapes already at one
// rank).
#pragma once

#include <vector>

namespace zv::ref {

template <class T, class M>
inline std::vector<T> masked_select(const std::vector<T> &src, const std::vector<int> &src_shape,
                                    const std::vector<M> &mask, const std::vector<int> &mask_shape) {
  const size_t rank = src_shape.size();
  std::vector<int> out(rank);
  size_t total = 1;
  for (size_t i = 0; i < rank; i++) {
    out[i] = src_shape[i] > mask_shape[i] ? src_shape[i] : mask_shape[i];
    total *= size_t(out[i]);
  }
  std::vector<T> r;
  for (size_t f = 0; f < total; f++) {
    size_t rest = f, s = 0, m = 0, ss = 1, ms = 1;
    for (size_t i = rank; i-- > 0;) {
      const size_t c = rest % size_t(out[i]);
      rest /= size_t(out[i]);
      if (src_shape[i] != 1) s += c * ss;
      if (mask_shape[i] != 1) m += c * ms;
      ss *= size_t(src_shape[i]);
      ms *= size_t(mask_shape[i]);
    }
    if (mask[m] != M(0)) r.push_back(src[s]);
  }
  return r;
}

}  // namespace zv::ref
