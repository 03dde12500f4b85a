// Plain references for reordering tensor axes and for the 4N batch layout of
// 8-bit tensors, as loops over byte images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zv::ref {

// A dense tensor of `shape` with elements of `size` bytes, its axes reordered:
// output axis i is input axis order[i].
inline std::vector<std::uint8_t> permute_axes(const std::vector<std::uint8_t> &in, const std::vector<int> &shape,
                                              const std::vector<int> &order, size_t size) {
  const size_t dims = shape.size();
  std::vector<size_t> in_stride(dims, 1);
  for (size_t i = dims; i-- > 1;) in_stride[i - 1] = in_stride[i] * size_t(shape[i]);
  size_t count = 1;
  for (int e : shape) count *= size_t(e);
  std::vector<std::uint8_t> out(count * size);
  std::vector<int> idx(dims, 0);  // index over the output's axes
  for (size_t o = 0; o < count; o++) {
    size_t from = 0;
    for (size_t i = 0; i < dims; i++) from += size_t(idx[i]) * in_stride[order[i]];
    for (size_t b = 0; b < size; b++) out[o * size + b] = in[from * size + b];
    for (size_t i = dims; i-- > 0;) {
      if (++idx[i] < shape[order[i]]) break;
      idx[i] = 0;
    }
  }
  return out;
}

// n items of len bytes from 1N (one after another) to 4N (item 4g + i in byte i
// of each word of group g); bytes of missing items in the last group are `pad`.
inline std::vector<std::uint8_t> to_4n(const std::vector<std::uint8_t> &one, int n, size_t len,
                                       std::uint8_t pad = 0) {
  const size_t groups = (size_t(n) + 3) / 4;
  std::vector<std::uint8_t> four(groups * 4 * len, pad);
  for (size_t item = 0; item < size_t(n); item++)
    for (size_t j = 0; j < len; j++) four[(item / 4) * 4 * len + 4 * j + item % 4] = one[item * len + j];
  return four;
}

// The reverse of to_4n: the n items of a 4N image in 1N order.
inline std::vector<std::uint8_t> from_4n(const std::vector<std::uint8_t> &four, int n, size_t len) {
  std::vector<std::uint8_t> one(size_t(n) * len);
  for (size_t item = 0; item < size_t(n); item++)
    for (size_t j = 0; j < len; j++) one[item * len + j] = four[(item / 4) * 4 * len + 4 * j + item % 4];
  return one;
}

}  // namespace zv::ref
