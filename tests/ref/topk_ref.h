// Plain stable sort and top-k along one axis of a row-major tensor.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

namespace zv::ref {

// Values along `dim` of `shape` sorted (descending or ascending, equal values in
// position order) and their positions; only the first k of each row are kept,
// the outputs shaped like the input with k at dim.
template <class T>
inline void sort_along(const std::vector<T> &in, const std::vector<int> &shape, int dim, bool descending, int k,
                       std::vector<T> *values, std::vector<int32_t> *positions) {
  size_t inner = 1, outer = 1;
  for (size_t i = size_t(dim) + 1; i < shape.size(); i++) inner *= size_t(shape[i]);
  for (int i = 0; i < dim; i++) outer *= size_t(shape[i]);
  const int len = shape[size_t(dim)];
  values->assign(outer * size_t(k) * inner, T());
  positions->assign(values->size(), 0);
  for (size_t o = 0; o < outer; o++)
    for (size_t j = 0; j < inner; j++) {
      std::vector<int> p(static_cast<size_t>(len));
      std::iota(p.begin(), p.end(), 0);
      auto at = [&](int i) { return in[(o * size_t(len) + size_t(i)) * inner + j]; };
      std::stable_sort(p.begin(), p.end(), [&](int a, int b) { return descending ? at(a) > at(b) : at(a) < at(b); });
      for (int i = 0; i < k; i++) {
        (*values)[(o * size_t(k) + size_t(i)) * inner + j] = at(p[size_t(i)]);
        (*positions)[(o * size_t(k) + size_t(i)) * inner + j] = p[size_t(i)];
      }
    }
}

}  // namespace zv::ref
