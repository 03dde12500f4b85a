// Plain cumulative sum along one axis of an N x C x H x W float tensor, and
// segment reduction of rows by segment ids.
#pragma once

#include <cfloat>
#include <vector>

namespace zv::ref {

inline std::vector<float> cumsum(const std::vector<float> &in, const int dims[4], int dim) {
  std::vector<float> out(in);
  int stride = 1;
  for (int i = 3; i > dim; i--) stride *= dims[i];
  const size_t block = size_t(stride) * dims[dim];
  for (size_t b = 0; b < in.size(); b += block)
    for (int k = 1; k < dims[dim]; k++)
      for (int j = 0; j < stride; j++) out[b + size_t(k) * stride + j] += out[b + size_t(k - 1) * stride + j];
  return out;
}

// Flags: 0 sum, 1 product, 2 mean, 3 max, 4 min, 5 max with 0 for an empty
// segment, 6 min with 0 for an empty segment.
inline std::vector<float> segment_reduce(const std::vector<float> &in, const std::vector<int> &ids, int segments,
                                         size_t row_len, int flag) {
  std::vector<float> out;
  for (int s = 0; s < segments; s++) {
    std::vector<float> acc(row_len, 0.0f);
    int used = 0;
    for (size_t r = 0; r < ids.size(); r++) {
      if (ids[r] != s) continue;
      for (size_t j = 0; j < row_len; j++) {
        const float x = in[r * row_len + j];
        float &a = acc[j];
        if (used == 0) a = x;
        else if (flag == 0 || flag == 2) a += x;
        else if (flag == 1) a *= x;
        else if (flag == 3 || flag == 5) a = x > a ? x : a;
        else a = x < a ? x : a;
      }
      used++;
    }
    if (used == 0)
      for (float &a : acc) a = flag == 3 ? -FLT_MAX : flag == 4 ? FLT_MAX : flag == 1 ? 1.0f : 0.0f;
    if (flag == 2 && used >= 2)
      for (float &a : acc) a *= float(1.0 / used);
    out.insert(out.end(), acc.begin(), acc.end());
  }
  return out;
}

// Reduction of a row-major tensor over a set of axes (0 mean, 1 sum, 2 max,
// 3 min, 4 product; the mean as the sum times the float reciprocal of the
// count), the kept extents in order.
inline std::vector<float> reduce(const std::vector<float> &in, const std::vector<int> &shape,
                                 const std::vector<int> &axes, int method) {
  std::vector<bool> red(shape.size(), false);
  for (int a : axes) red[size_t(a)] = true;
  size_t out_n = 1, count = 1;
  for (size_t i = 0; i < shape.size(); i++) (red[i] ? count : out_n) *= size_t(shape[i]);
  std::vector<float> acc(out_n, 0.0f);
  std::vector<bool> seen(out_n, false);
  for (size_t f = 0; f < in.size(); f++) {
    size_t rest = f, o = 0, stride = 1;
    for (size_t i = shape.size(); i-- > 0;) {
      const size_t c = rest % size_t(shape[i]);
      rest /= size_t(shape[i]);
      if (!red[i]) {
        o += c * stride;
        stride *= size_t(shape[i]);
      }
    }
    const float x = in[f];
    float &a = acc[o];
    if (!seen[o]) a = x;
    else if (method <= 1) a += x;
    else if (method == 2) a = x > a ? x : a;
    else if (method == 3) a = x < a ? x : a;
    else a *= x;
    seen[o] = true;
  }
  if (method == 0)
    for (float &a : acc) a *= float(1.0 / double(count));
  return acc;
}

}  // namespace zv::ref
