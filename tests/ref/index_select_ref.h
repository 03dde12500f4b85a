// Plain index select: the slices along one axis named by a list of indices.
#pragma once

#include <vector>

namespace zv::ref {

template <class T>
inline std::vector<T> index_select(const std::vector<T> &in, const std::vector<int> &shape, int axis,
                                   const std::vector<int> &index) {
  if (axis < 0) axis += int(shape.size());
  size_t outer = 1, inner = 1;
  for (int i = 0; i < axis; i++) outer *= size_t(shape[size_t(i)]);
  for (size_t i = size_t(axis) + 1; i < shape.size(); i++) inner *= size_t(shape[i]);
  const size_t len = size_t(shape[size_t(axis)]);
  std::vector<T> out;
  for (size_t o = 0; o < outer; o++)
    for (int idx : index)
      for (size_t j = 0; j < inner; j++) out.push_back(in[(o * len + size_t(idx)) * inner + j]);
  return out;
}

}  // namespace zv::ref
