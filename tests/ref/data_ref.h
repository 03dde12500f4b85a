// Plain references for the data-movement layers: every output element found by
// its index from the input's dense strides, over byte images whose elements
// are `size` bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace zv::ref {

using Bytes = std::vector<std::uint8_t>;
using Shape = std::vector<int>;

inline size_t count_of(const Shape &s) {
  size_t c = 1;
  for (int e : s) c *= size_t(e);
  return c;
}

// Dense strides in elements.
inline std::vector<size_t> strides_of(const Shape &s) {
  std::vector<size_t> st(s.size(), 1);
  for (size_t i = s.size(); i-- > 1;) st[i - 1] = st[i] * size_t(s[i]);
  return st;
}

// Calls fn(index) for every index of `shape` in row-major order.
inline void for_each_index(const Shape &shape, const std::function<void(const std::vector<int> &)> &fn) {
  if (count_of(shape) == 0) return;
  std::vector<int> idx(shape.size(), 0);
  for (;;) {
    fn(idx);
    size_t i = shape.size();
    while (i > 0) {
      if (++idx[i - 1] < shape[i - 1]) break;
      idx[--i] = 0;
    }
    if (i == 0) return;
  }
}

// The dense output of out_shape whose element at index o is the input element
// at from(o) (an index into in_shape).
inline Bytes gather(const Bytes &in, const Shape &in_shape, const Shape &out_shape, size_t size,
                    const std::function<std::vector<int>(const std::vector<int> &)> &from) {
  const std::vector<size_t> ist = strides_of(in_shape);
  Bytes out(count_of(out_shape) * size);
  size_t o = 0;
  for_each_index(out_shape, [&](const std::vector<int> &idx) {
    const std::vector<int> src = from(idx);
    size_t at = 0;
    for (size_t i = 0; i < src.size(); i++) at += size_t(src[i]) * ist[i];
    std::memcpy(&out[o * size], &in[at * size], size);
    o++;
  });
  return out;
}

// Rows of count elements: row r from src element r * src_stride to dst
// element r * dst_stride of `dst` (elements outside the rows keep their value).
inline void copy_rows(const Bytes &src, Bytes &dst, size_t rows, size_t src_stride, size_t dst_stride, size_t count,
                      size_t size) {
  for (size_t r = 0; r < rows; r++)
    std::memcpy(&dst[r * dst_stride * size], &src[r * src_stride * size], count * size);
}

// Inputs joined along axis.
inline Bytes concat(const std::vector<Bytes> &ins, const std::vector<Shape> &shapes, int axis, size_t size) {
  Shape out_shape = shapes[0];
  out_shape[axis] = 0;
  for (const Shape &s : shapes) out_shape[axis] += s[axis];
  Bytes out(count_of(out_shape) * size);
  const std::vector<size_t> ost = strides_of(out_shape);
  int base = 0;
  for (size_t k = 0; k < ins.size(); k++) {
    size_t i = 0;
    for_each_index(shapes[k], [&](const std::vector<int> &idx) {
      size_t at = 0;
      for (size_t d = 0; d < idx.size(); d++) at += size_t(idx[d] + (int(d) == axis ? base : 0)) * ost[d];
      std::memcpy(&out[at * size], &ins[k][i * size], size);
      i++;
    });
    base += shapes[k][axis];
  }
  return out;
}

// Consecutive pieces of sizes[i] along axis.
inline std::vector<Bytes> split(const Bytes &in, const Shape &shape, int axis, const std::vector<int> &sizes,
                                size_t size) {
  std::vector<Bytes> outs;
  int base = 0;
  for (int len : sizes) {
    Shape s = shape;
    s[axis] = len;
    outs.push_back(gather(in, shape, s, size, [&](const std::vector<int> &o) {
      std::vector<int> i = o;
      i[axis] += base;
      return i;
    }));
    base += len;
  }
  return outs;
}

inline Bytes reverse(const Bytes &in, const Shape &shape, int axis, size_t size) {
  return gather(in, shape, shape, size, [&](const std::vector<int> &o) {
    std::vector<int> i = o;
    i[axis] = shape[axis] - 1 - o[axis];
    return i;
  });
}

// Output channel i * group + j is input channel j * (c / group) + i; channels
// from (c / group) * group on are left as `keep` holds them.
inline Bytes shuffle_channels(const Bytes &in, const Shape &shape, int group, size_t size, Bytes keep) {
  const int k = shape[1] / group;
  Shape part = shape;
  part[1] = k * group;
  const Bytes moved = gather(in, shape, part, size, [&](const std::vector<int> &o) {
    std::vector<int> i = o;
    i[1] = (o[1] % group) * k + o[1] / group;
    return i;
  });
  const size_t plane = count_of(shape) / size_t(shape[0]) / size_t(shape[1]);
  for (int n = 0; n < shape[0]; n++)
    std::memcpy(&keep[size_t(n) * shape[1] * plane * size], &moved[size_t(n) * part[1] * plane * size],
                part[1] * plane * size);
  return keep;
}

// The out_shape window of a tensor from index offset.
inline Bytes crop(const Bytes &in, const Shape &in_shape, const Shape &offset, const Shape &out_shape, size_t size) {
  return gather(in, in_shape, out_shape, size, [&](const std::vector<int> &o) {
    std::vector<int> i = o;
    for (size_t d = 0; d < i.size(); d++) i[d] += offset[d];
    return i;
  });
}

// Every axis a repeated coeff[a] times: flag 0 repeats the whole extent
// (index j reads j mod extent), non-zero each element (j reads j div coeff).
inline Bytes tile(const Bytes &in, const Shape &shape, const std::vector<int> &coeff, int flag, size_t size) {
  Shape out = shape;
  for (size_t a = 0; a < shape.size(); a++) out[a] *= coeff[a];
  return gather(in, shape, out, size, [&](const std::vector<int> &o) {
    std::vector<int> i = o;
    for (size_t a = 0; a < i.size(); a++) i[a] = flag ? o[a] / coeff[a] : o[a] % shape[a];
    return i;
  });
}

// A 4-D pad: mode 0 constant (the `value` bytes), 1 reflect, 2 symmetric,
// 3 replicate, each axis mapped on its own.
inline Bytes pad(const Bytes &in, const Shape &shape, const int (*pads)[2], int mode, const Bytes &value,
                 size_t size) {
  Shape out = shape;
  for (size_t a = 0; a < 4; a++) out[a] += pads[a][0] + pads[a][1];
  const std::vector<size_t> ist = strides_of(shape);
  Bytes res(count_of(out) * size);
  size_t o = 0;
  for_each_index(out, [&](const std::vector<int> &idx) {
    bool constant = false;
    size_t at = 0;
    for (size_t a = 0; a < 4; a++) {
      const int n = shape[a];
      int i = idx[a] - pads[a][0];
      if (i < 0 || i >= n) {
        if (mode == 0) constant = true;
        if (mode == 1) i = i < 0 ? -i : 2 * (n - 1) - i;
        if (mode == 2) i = i < 0 ? -i - 1 : 2 * n - 1 - i;
        if (mode == 3) i = i < 0 ? 0 : n - 1;
      }
      at += size_t(i) * ist[a];
    }
    if (constant)
      std::memcpy(&res[o * size], value.data(), size);
    else
      std::memcpy(&res[o * size], &in[at * size], size);
    o++;
  });
  return res;
}

// Every axis from begin[a] by step[a], out[a] elements.
inline Bytes stride_slice(const Bytes &in, const Shape &shape, const std::vector<int> &begin,
                          const std::vector<int> &step, const Shape &out, size_t size) {
  return gather(in, shape, out, size, [&](const std::vector<int> &o) {
    std::vector<int> i = o;
    for (size_t a = 0; a < i.size(); a++) i[a] = begin[a] + o[a] * step[a];
    return i;
  });
}

// Windows of `len` every `step` along axis, stacked as a new last axis.
inline Bytes unfold(const Bytes &in, const Shape &shape, int axis, int len, int step, size_t size) {
  Shape out = shape;
  out[axis] = (shape[axis] - len) / step + 1;
  out.push_back(len);
  return gather(in, shape, out, size, [&](const std::vector<int> &o) {
    std::vector<int> i(o.begin(), o.end() - 1);
    i[axis] = o[axis] * step + o.back();
    return i;
  });
}

// Space to batch of an (n, c, H, W) tensor already padded: output batch
// (a * bw + b) * n + m holds pixels (y * bh + a, x * bw + b) of item m.
inline Bytes space_to_batch(const Bytes &in, const Shape &shape, int bh, int bw, size_t size) {
  const int n = shape[0];
  const Shape out = {bh * bw * n, shape[1], shape[2] / bh, shape[3] / bw};
  return gather(in, shape, out, size, [&](const std::vector<int> &o) {
    const int blk = o[0] / n, m = o[0] % n;
    return std::vector<int>{m, o[1], o[2] * bh + blk / bw, o[3] * bw + blk % bw};
  });
}

// Batch to space, then the crops (top, bottom, left, right).
inline Bytes batch_to_space(const Bytes &in, const Shape &shape, int bh, int bw, const std::vector<int> &crops,
                            size_t size) {
  const int items = shape[0] / (bh * bw);
  const Shape out = {items, shape[1], shape[2] * bh - crops[0] - crops[1], shape[3] * bw - crops[2] - crops[3]};
  return gather(in, shape, out, size, [&](const std::vector<int> &o) {
    const int Y = o[2] + crops[0], X = o[3] + crops[2];
    const int a = Y % bh, b = X % bw;
    return std::vector<int>{(a * bw + b) * items + o[0], o[1], Y / bh, X / bw};
  });
}

// Depth to space of an NCHW tensor: output channel k at (y bh + a, x bw + b)
// is input channel (a bw + b) C' + k at (y, x).
inline Bytes depth_to_space(const Bytes &in, const Shape &shape, int bh, int bw, size_t size) {
  const int cs = shape[1] / (bh * bw);
  const Shape out = {shape[0], cs, shape[2] * bh, shape[3] * bw};
  return gather(in, shape, out, size, [&](const std::vector<int> &o) {
    const int a = o[2] % bh, b = o[3] % bw;
    return std::vector<int>{o[0], (a * bw + b) * cs + o[1], o[2] / bh, o[3] / bw};
  });
}

// Space to depth of an NCHW tensor: output channel (a bw + b) C + k at (y, x)
// is input channel k at (y bh + a, x bw + b).
inline Bytes space_to_depth(const Bytes &in, const Shape &shape, int bh, int bw, size_t size) {
  const int c = shape[1];
  const Shape out = {shape[0], c * bh * bw, shape[2] / bh, shape[3] / bw};
  return gather(in, shape, out, size, [&](const std::vector<int> &o) {
    const int blk = o[1] / c, k = o[1] % c;
    return std::vector<int>{o[0], k, o[2] * bh + blk / bw, o[3] * bw + blk % bw};
  });
}

}  // namespace zv::ref
