// Plain references of the vision operators, from what each computes: the
// linear convert (y = alpha x + beta per channel, stored with the engine's
// float-to-byte rounding), 4N separation, the plane split and the strided
// width alignment.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <numeric>
#include <vector>

namespace zv::ref {

// Storage types of the linear convert: 0/1 unsigned bytes, 2/3 signed bytes,
// 4/5 float32, with 1 or 3 channels; above 5 as 1.
struct CvType {
  int kind;  // 0 unsigned byte, 1 signed byte, 2 float32
  int channels;
  int bytes;
};
inline CvType cv_type(uint32_t code) {
  if (code > 5) code = 1;
  return {int(code / 2), code % 2 ? 3 : 1, code >= 4 ? 4 : 1};
}

inline float cv_read(const uint8_t *p, const CvType &t) {
  if (t.kind == 0) return float(p[0]);
  if (t.kind == 1) return float(int8_t(p[0]));
  float f;
  std::memcpy(&f, p, 4);
  return f;
}

// Float to the type's element: bytes round half away from zero and saturate.
inline void cv_write(uint8_t *p, const CvType &t, float v) {
  if (t.kind == 2) {
    std::memcpy(p, &v, 4);
    return;
  }
  double r = std::isnan(v) ? 0.0 : std::round(double(v));
  const double lo = t.kind == 0 ? 0 : -128, hi = t.kind == 0 ? 255 : 127;
  r = r < lo ? lo : r > hi ? hi : r;
  p[0] = uint8_t(int(r));
}

// The linear convert over `count` images (4N groups in modes 1 and 2), source
// rows `stride` elements apart (a stride equal to width means 4 x width in
// modes 1 and 2), destination compact; mode 2 writes group g as images 4g to
// 4g + 3. `dst` is resized to the bytes written.
inline void cv_convert_to(const std::vector<uint8_t> &src, uint32_t width, uint32_t stride, uint32_t height,
                          const float alpha[3], const float beta[3], uint32_t mode, uint32_t count,
                          uint32_t src_type, uint32_t dst_type, std::vector<uint8_t> &dst) {
  const CvType s = cv_type(src_type), d = cv_type(dst_type);
  const bool four_n = mode == 1 || mode == 2;
  const size_t row = four_n ? 4 * size_t(width) : width;
  const size_t rstride = four_n && stride == width ? row : stride;
  const size_t ch = size_t(s.channels);
  dst.assign(count * ch * height * row * d.bytes, 0);
  for (size_t i = 0; i < count; i++)
    for (size_t c = 0; c < ch; c++)
      for (size_t h = 0; h < height; h++)
        for (size_t x = 0; x < row; x++) {
          const size_t r = (i * ch + c) * height + h;
          const float v = cv_read(&src[(r * rstride + x) * s.bytes], s);
          const float y = v * alpha[c] + beta[c];
          size_t at;
          if (mode == 2) {
            // Item x % 4 of group i, column x / 4.
            const size_t image = 4 * i + x % 4;
            at = ((image * ch + c) * height + h) * width + x / 4;
          } else {
            at = r * row + x;
          }
          cv_write(&dst[at * d.bytes], d, y);
        }
}

// Plane split: per image (rows x row_length elements), segment s of every row
// to plane s (rows x segment), planes compact; images row_length x rows
// elements apart on both sides.
inline void cv_split(const std::vector<uint8_t> &src, uint32_t row_length, uint32_t total_rows, uint32_t segment,
                     uint32_t rows, int bytes, std::vector<uint8_t> &dst) {
  const size_t images = total_rows / rows, segments = row_length / segment;
  for (size_t i = 0; i < images; i++) {
    const size_t base = i * size_t(row_length) * rows * bytes;
    for (size_t s = 0; s < segments; s++)
      for (size_t r = 0; r < rows; r++)
        std::memcpy(&dst[base + ((s * rows + r) * segment) * bytes], &src[base + (r * row_length + s * segment) * bytes],
                    size_t(segment) * bytes);
  }
}

// Strided copy of an n x c x h x w block (w stride 1 on both sides).
inline void cv_width_align(const std::vector<uint8_t> &src, const uint32_t shape[4], const uint32_t src_strides[3],
                           const uint32_t dst_strides[3], int bytes, std::vector<uint8_t> &dst) {
  for (size_t n = 0; n < shape[0]; n++)
    for (size_t c = 0; c < shape[1]; c++)
      for (size_t h = 0; h < shape[2]; h++) {
        const size_t s = n * src_strides[0] + c * src_strides[1] + h * src_strides[2];
        const size_t d = n * dst_strides[0] + c * dst_strides[1] + h * dst_strides[2];
        std::memcpy(&dst[d * bytes], &src[s * bytes], size_t(shape[3]) * bytes);
      }
}

// The sort check: the keys ordered (descending when `descend`), equal keys
// in input order, with their indices; the first out_len of each.
inline void cv_sort(const std::vector<float> &keys, const std::vector<uint32_t> &indices, bool descend,
                    size_t out_len, std::vector<float> &sorted_keys, std::vector<uint32_t> &sorted_indices) {
  std::vector<size_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return descend ? keys[a] > keys[b] : keys[a] < keys[b]; });
  sorted_keys.clear();
  sorted_indices.clear();
  for (size_t i = 0; i < out_len; i++) {
    sorted_keys.push_back(keys[order[i]]);
    sorted_indices.push_back(indices[order[i]]);
  }
}

}  // namespace zv::ref
