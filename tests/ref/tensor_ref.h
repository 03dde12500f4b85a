// Plain references for tensors in the chip's memories: where an element lies,
// and what moving, converting, filling, transposing and filtering do to bytes.
// Written from the meaning of the operations, as plain loops over a byte image
// of a few memory windows.
//
// Addresses are the engines' canonical ones: device memory from 0x1_0000_0000,
// local memory from 0x08000000 with lane l at 0x08000000 + l * 512 KB.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace zv::ref {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i64 = std::int64_t;

constexpr u64 kLocalBase = 0x08000000;
constexpr u64 kLaneBytes = 0x80000;
constexpr int kLanes = 64;

// Canonical address of byte `offset` of lane `lane`.
inline u64 lane_addr(int lane, u64 offset) { return kLocalBase + u64(lane) * kLaneBytes + offset; }

struct Dim4 {
  i64 n = 1, c = 1, h = 1, w = 1;
  i64 count() const { return n * c * h * w; }
};

// A tensor: where its element 0 lies, its extents and strides (elements) and
// its element bytes. A local tensor's address names its start lane; channel c
// lies in lane (start + c) % 64, (start + c) / 64 channel strides further on.
struct Tensor {
  u64 addr = 0;
  bool local = false;
  Dim4 shape;
  Dim4 stride;
  u32 size = 4;
};

inline u64 element_addr(const Tensor &t, i64 n, i64 c, i64 h, i64 w) {
  if (!t.local) return t.addr + u64((n * t.stride.n + c * t.stride.c + h * t.stride.h + w * t.stride.w) * t.size);
  const int start = int((t.addr - kLocalBase) / kLaneBytes);
  const u64 offset = (t.addr - kLocalBase) % kLaneBytes;
  const i64 lane = (start + c) % kLanes, row = (start + c) / kLanes;
  const i64 off = i64(offset) + (n * t.stride.n + row * t.stride.c + h * t.stride.h + w * t.stride.w) * t.size;
  if (off < 0 || off + t.size > i64(kLaneBytes)) throw std::out_of_range("reference element outside its lane");
  return lane_addr(int(lane), u64(off));
}

// Dense strides of a shape: global {c*h*w, h*w, w, 1}; local with the channel
// plane rounded up to `align` elements (1: compact) and one plane per row of
// lanes from `start_lane` as batch stride.
inline Dim4 dense_strides(const Dim4 &s) { return {s.c * s.h * s.w, s.h * s.w, s.w, 1}; }
inline Dim4 local_strides(const Dim4 &s, int start_lane, i64 align) {
  const i64 plane = (s.h * s.w + align - 1) / align * align;
  return {plane * ((start_lane + s.c + kLanes - 1) / kLanes), plane, s.w, 1};
}

// A byte image of some memory windows.
class Image {
 public:
  void add(u64 base, std::vector<u8> bytes) { windows_[base] = std::move(bytes); }
  const std::map<u64, std::vector<u8>> &windows() const { return windows_; }
  u8 &at(u64 addr) {
    auto it = windows_.upper_bound(addr);
    if (it != windows_.begin()) {
      --it;
      if (addr - it->first < it->second.size()) return it->second[addr - it->first];
    }
    throw std::out_of_range("reference access outside the image's windows");
  }
  void get(u64 addr, void *out, u32 len) {
    for (u32 i = 0; i < len; i++) static_cast<u8 *>(out)[i] = at(addr + i);
  }
  void put(u64 addr, const void *in, u32 len) {
    for (u32 i = 0; i < len; i++) at(addr + i) = static_cast<const u8 *>(in)[i];
  }
  float get_f32(u64 addr) {
    float f;
    get(addr, &f, 4);
    return f;
  }

 private:
  std::map<u64, std::vector<u8>> windows_;
};

// Element formats: 0 float32, 1 int16, 2 uint8, 3 int8.
inline u32 format_size(u32 format) { return format == 0 ? 4 : format == 1 ? 2 : 1; }

// One element from format `from` to format `to`: integers to float exactly;
// float to a byte format rounded to the nearest integer, halves away from
// zero, then clamped to the format's range (NaN gives 0); between byte formats
// clamped.
inline void convert(u32 from, const u8 *src, u32 to, u8 *dst) {
  double v = 0;
  if (from == 0) {
    float f;
    std::memcpy(&f, src, 4);
    v = f;
  } else if (from == 2) {
    v = src[0];
  } else {
    v = double(std::int8_t(src[0]));
  }
  if (to == 0) {
    float f = float(v);
    std::memcpy(dst, &f, 4);
    return;
  }
  double r = 0;
  if (v == v) r = v >= 0 ? std::floor(v + 0.5) : -std::floor(-v + 0.5);
  const double lo = to == 2 ? 0 : -128, hi = to == 2 ? 255 : 127;
  if (r < lo) r = lo;
  if (r > hi) r = hi;
  dst[0] = u8(int(r));
}

// Writes `value` (its element's bytes) to destination element address `to`,
// or adds it as float32 when `add`.
inline void store(Image &img, u64 to, const u8 *value, u32 size, bool add) {
  if (!add) return img.put(to, value, size);
  float a = img.get_f32(to), b;
  std::memcpy(&b, value, 4);
  a = a + b;
  img.put(to, &a, 4);
}

// Source element i (in n, c, h, w order) to destination element i (in its own
// order); with transpose_nc to destination element (c, n, h, w) instead.
// Formats convert when they differ; `add` adds float32 to the destination.
inline void copy(Image &img, const Tensor &src, u32 src_format, const Tensor &dst, u32 dst_format,
                 bool transpose_nc = false, bool add = false) {
  std::vector<u64> from, to;
  for (i64 n = 0; n < src.shape.n; n++)
    for (i64 c = 0; c < src.shape.c; c++)
      for (i64 h = 0; h < src.shape.h; h++)
        for (i64 w = 0; w < src.shape.w; w++) {
          from.push_back(element_addr(src, n, c, h, w));
          if (transpose_nc) to.push_back(element_addr(dst, c, n, h, w));
        }
  if (!transpose_nc)
    for (i64 n = 0; n < dst.shape.n; n++)
      for (i64 c = 0; c < dst.shape.c; c++)
        for (i64 h = 0; h < dst.shape.h; h++)
          for (i64 w = 0; w < dst.shape.w; w++) to.push_back(element_addr(dst, n, c, h, w));
  // All reads first: the move reads its source before it writes.
  std::vector<std::vector<u8>> values;
  for (u64 a : from) {
    std::vector<u8> v(src.size);
    img.get(a, v.data(), src.size);
    values.push_back(v);
  }
  for (size_t i = 0; i < to.size(); i++) {
    u8 out[4];
    if (src_format == dst_format)
      std::memcpy(out, values[i].data(), src.size);
    else
      convert(src_format, values[i].data(), dst_format, out);
    store(img, to[i], out, dst.size, add);
  }
}

// Every element of `t` set to the low `t.size` bytes of `constant`.
inline void fill(Image &img, const Tensor &t, u32 constant) {
  for (i64 n = 0; n < t.shape.n; n++)
    for (i64 c = 0; c < t.shape.c; c++)
      for (i64 h = 0; h < t.shape.h; h++)
        for (i64 w = 0; w < t.shape.w; w++) img.put(element_addr(t, n, c, h, w), &constant, t.size);
}

// A rows x cols global matrix (row r at global + r * row_stride elements) and
// its column sections of `width` elements in the lanes: section j of the cut
// axis (columns, or rows when transposed) in lane start + j, as local element
// (n = index along the other axis, c = j, 0, w = index within the section).
// Moves the matrix into the sections (load) or back.
inline void matrix(Image &img, bool load, u64 global, i64 rows, i64 cols, i64 row_stride, const Tensor &sections,
                   bool transpose, bool add = false) {
  const u32 size = sections.size;
  const i64 width = sections.shape.w;
  std::vector<std::pair<u64, u64>> pairs;  // (global element, local element)
  for (i64 r = 0; r < rows; r++)
    for (i64 k = 0; k < cols; k++) {
      const i64 along = transpose ? r : k, across = transpose ? k : r;
      pairs.push_back({global + u64((r * row_stride + k) * size),
                       element_addr(sections, across, along / width, 0, along % width)});
    }
  std::vector<std::vector<u8>> values;
  for (auto &p : pairs) {
    std::vector<u8> v(size);
    img.get(load ? p.first : p.second, v.data(), size);
    values.push_back(v);
  }
  for (size_t i = 0; i < pairs.size(); i++)
    store(img, load ? pairs[i].second : pairs[i].first, values[i].data(), size, add);
}

// The elements of `src` (float32, n, c, h, w order) whose `mask` element is a
// non-zero float, written one after another from `dst`; returns their number.
inline size_t filter(Image &img, const Tensor &src, const Tensor &mask, u64 dst) {
  size_t kept = 0;
  for (i64 n = 0; n < src.shape.n; n++)
    for (i64 c = 0; c < src.shape.c; c++)
      for (i64 h = 0; h < src.shape.h; h++)
        for (i64 w = 0; w < src.shape.w; w++) {
          if (img.get_f32(element_addr(mask, n, c, h, w)) == 0.0f) continue;
          u8 v[4];
          img.get(element_addr(src, n, c, h, w), v, 4);
          img.put(dst + 4 * kept++, v, 4);
        }
  return kept;
}

}  // namespace zv::ref
