// Plain references for the memory tests: a stable sort, a gather, strided
// copies and fills, the 4N interleave. Written from what the operations mean.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zv::test::ref {

// Positions of keys in sorted order (descending or ascending), equal keys in
// input order, NaN above every number: an insertion sort.
inline std::vector<uint32_t> stable_sort_order(const std::vector<float> &keys, bool descending) {
  auto before = [&](float a, float b) {  // a strictly first
    const bool an = std::isnan(a), bn = std::isnan(b);
    if (an || bn) return descending ? (an && !bn) : (!an && bn);
    return descending ? a > b : a < b;
  };
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < keys.size(); i++) {
    size_t at = order.size();
    while (at > 0 && before(keys[i], keys[order[at - 1]])) at--;
    order.insert(order.begin() + static_cast<long>(at), i);
  }
  return order;
}

// out[i] = in[index[i]] for items of `item` bytes.
inline std::vector<uint8_t> gather(const std::vector<uint8_t> &in, const std::vector<uint32_t> &index, size_t item) {
  std::vector<uint8_t> out(index.size() * item);
  for (size_t i = 0; i < index.size(); i++) std::memcpy(&out[i * item], &in[index[i] * item], item);
  return out;
}

// N items of len bytes in 1N layout to 4N layout (groups of four items share
// words, item 4g + i in byte i); the bytes of a missing item in the last group
// keep `pad`.
inline std::vector<uint8_t> to_4n(const std::vector<uint8_t> &one, size_t n, size_t len, uint8_t pad) {
  const size_t groups = (n + 3) / 4;
  std::vector<uint8_t> four(groups * 4 * len, pad);
  for (size_t item = 0; item < n; item++)
    for (size_t b = 0; b < len; b++) four[(item / 4) * 4 * len + 4 * b + item % 4] = one[item * len + b];
  return four;
}

}  // namespace zv::test::ref
