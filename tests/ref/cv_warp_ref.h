// Plain references of the affine and perspective warps of 8-bit images:
// output pixel (x, y) of the rectangle maps to (sx, sy) = M (x, y) (the
// perspective one divided by its third row); the position is clamped to the
// source box that the rectangle's corners map to (truncated, inside the
// image). Nearest: the pixel at the floor (affine: of the position plus 0.5).
// Bilinear: the four neighbours at the floors of the position plus 0 and
// 0.999999, mixed by the fractions, plus 0.5, clamped, truncated.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace zv::ref {

struct WarpGeometry {
  uint32_t e;  // element stride (1: 1N, 4: one byte lane of 4N)
  uint32_t channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, src_stride;
};

inline void warp_map(const float *m, bool perspective, float x, float y, float &sx, float &sy) {
  float a = x * m[0];
  a = a + y * m[1];
  a = a + m[2];
  float b = x * m[3];
  b = b + y * m[4];
  b = b + m[5];
  if (perspective) {
    float d = x * m[6];
    d = d + y * m[7];
    d = d + m[8];
    a = a / d;
    b = b / d;
  }
  sx = a, sy = b;
}

// {x_lo, x_hi, y_lo, y_hi} of the rectangle's corners, offset by (dx, dy).
inline void warp_box(const WarpGeometry &g, const float *m, bool perspective, float dx, float dy, int32_t box[4]) {
  float v[4][2];
  for (int i = 0; i < 4; i++) {
    const float x = float(g.roi_x + (i & 1) * (g.roi_w - 1)), y = float(g.roi_y + (i >> 1) * (g.roi_h - 1));
    warp_map(m, perspective, x, y, v[i][0], v[i][1]);
    v[i][0] = v[i][0] + dx, v[i][1] = v[i][1] + dy;
  }
  for (int k = 0; k < 2; k++) {
    float lo = v[0][k], hi = v[0][k];
    for (int i = 1; i < 4; i++) lo = std::min(lo, v[i][k]), hi = std::max(hi, v[i][k]);
    const int32_t top = int32_t(k ? g.src_h : g.src_w) - 1;
    box[2 * k] = std::clamp(int32_t(lo), 0, top);
    box[2 * k + 1] = std::clamp(int32_t(hi), 0, top);
  }
}

// The source column and row that position (sx, sy) plus (dx, dy) reads.
inline void warp_pick(const int32_t box[4], float sx, float sy, float dx, float dy, int32_t &col, int32_t &row) {
  float a = std::min(std::max(sx + dx, float(box[0])), float(box[1])) - float(box[0]);
  float b = std::min(std::max(sy + dy, float(box[2])), float(box[3])) - float(box[2]);
  col = box[0] + int32_t(std::floor(a));
  row = box[2] + int32_t(std::floor(b));
}

inline uint8_t warp_src(const std::vector<uint8_t> &src, const WarpGeometry &g, uint32_t c, int32_t row, int32_t col) {
  return src[(size_t(c) * g.src_h + row) * g.src_stride + size_t(col) * g.e];
}

inline size_t warp_dst_at(const WarpGeometry &g, uint32_t c, uint32_t i, uint32_t j) {
  return ((size_t(c) * g.dst_h + g.roi_y + i) * g.dst_w + g.roi_x + j) * g.e;
}

// Writes the rectangle into dst (the output image's bytes, laid out as the
// warp writes them).
inline void warp_nearest(const std::vector<uint8_t> &src, const WarpGeometry &g, const float *matrix, bool perspective,
                         std::vector<uint8_t> &dst) {
  float m[9];
  std::copy(matrix, matrix + (perspective ? 9 : 6), m);
  if (!perspective) m[2] = m[2] + 0.5f, m[5] = m[5] + 0.5f;
  int32_t box[4];
  warp_box(g, m, perspective, 0, 0, box);
  for (uint32_t i = 0; i < g.roi_h; i++)
    for (uint32_t j = 0; j < g.roi_w; j++) {
      float sx, sy;
      warp_map(m, perspective, float(g.roi_x + j), float(g.roi_y + i), sx, sy);
      int32_t col, row;
      warp_pick(box, sx, sy, 0, 0, col, row);
      for (uint32_t c = 0; c < g.channels; c++) dst[warp_dst_at(g, c, i, j)] = warp_src(src, g, c, row, col);
    }
}

inline void warp_bilinear(const std::vector<uint8_t> &src, const WarpGeometry &g, const float *m, bool perspective,
                          std::vector<uint8_t> &dst) {
  const float d = 0.999999f;
  const float offs[4][2] = {{0, 0}, {0, d}, {d, 0}, {d, d}};
  int32_t box[4][4];
  for (int q = 0; q < 4; q++) warp_box(g, m, perspective, offs[q][0], offs[q][1], box[q]);
  for (uint32_t i = 0; i < g.roi_h; i++)
    for (uint32_t j = 0; j < g.roi_w; j++) {
      float sx, sy;
      warp_map(m, perspective, float(g.roi_x + j), float(g.roi_y + i), sx, sy);
      // The floor of a negative position is 0 (its fraction is then negative).
      const float fx = sx - float(int32_t(std::min(std::max(sx, 0.0f), 65535.0f)));
      const float fy = sy - float(int32_t(std::min(std::max(sy, 0.0f), 65535.0f)));
      const float wx[4] = {1.0f - fx, 1.0f - fx, fx, fx}, wy[4] = {1.0f - fy, fy, 1.0f - fy, fy};
      for (uint32_t c = 0; c < g.channels; c++) {
        float v = 0;
        for (int q = 0; q < 4; q++) {
          int32_t col, row;
          warp_pick(box[q], sx, sy, offs[q][0], offs[q][1], col, row);
          float t = float(warp_src(src, g, c, row, col)) * wx[q];
          t = t * wy[q];
          v = q ? v + t : t;
        }
        v = v + 0.5f;
        v = std::max(std::min(v, 255.0f), 0.0f);
        dst[warp_dst_at(g, c, i, j)] = uint8_t(int32_t(v));
      }
    }
}

}  // namespace zv::ref
