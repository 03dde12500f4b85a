// Plain references of the colour conversions of 8-bit YUV images: the colour
// matrices, nearest-neighbour chroma upsampling, clamping to [0, 255], and
// the float, 1N byte (truncated) and 4N byte results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zv::ref {

// Rows R, G, B; columns Y, U, V, offset (R row: the Y offset; G row: the chroma offset).
inline const float (*yuv2rgb_matrix(uint32_t colour_code))[4] {
  static const float m[4][3][4] = {
      {{1, 0, 1.402f, 0}, {1, -0.34414f, -0.71414f, 128}, {1, 1.772f, 0, 128}},
      {{1.16438f, 0, 1.59603f, 16}, {1.16438f, -0.39176f, -0.81297f, 128}, {1.16438f, 2.01723f, 0, 128}},
      {{1, 0, 1.57472f, 0}, {1, -0.18731f, -0.46821f, 128}, {1, 1.85562f, 0, 128}},
      {{1.16438f, 0, 1.79265f, 16}, {1.16438f, -0.21324f, -0.533f, 128}, {1.16438f, 2.11242f, 0, 128}},
  };
  static const int pick[7] = {0, 1, 1, 2, 1, 1, 3};
  return m[colour_code < 7 ? pick[colour_code] : 1];
}

// Image layouts 0 to 6: 4:2:0, 4:2:2, 4:4:4 planar; NV12, NV21 (4:2:0
// interleaved); NV16, NV61 (4:2:2 interleaved). Codes above 6 read as 4:2:0 planar.
struct YuvImage {
  std::vector<uint8_t> y, u, v;  // interleaved layouts: chroma pairs in u
};

// The U and V samples of pixel (r, c).
inline void yuv_chroma_at(const YuvImage &im, uint32_t format, uint32_t w, uint32_t r, uint32_t c, float &u,
                          float &v) {
  if (format > 6) format = 0;
  switch (format) {
    case 0: u = im.u[(r / 2) * (w / 2) + c / 2], v = im.v[(r / 2) * (w / 2) + c / 2]; return;
    case 1: u = im.u[r * (w / 2) + c / 2], v = im.v[r * (w / 2) + c / 2]; return;
    case 2: u = im.u[r * w + c], v = im.v[r * w + c]; return;
    default: {
      const uint32_t row = format <= 4 ? r / 2 : r;
      const uint8_t *pair = &im.u[row * w + 2 * (c / 2)];
      const bool v_first = format == 4 || format == 6;
      u = pair[v_first ? 1 : 0], v = pair[v_first ? 0 : 1];
    }
  }
}

// Bytes of each chroma plane (interleaved: of the one chroma plane).
inline size_t yuv_chroma_bytes(uint32_t format, uint32_t h, uint32_t w) {
  if (format > 6) format = 0;
  const size_t hw = size_t(h) * w;
  return format == 0 ? hw / 4 : format == 2 || format == 5 || format == 6 ? hw : hw / 2;
}

// R, G, B float planes of one image, each h x w, clamped to [0, 255]:
// Yc = cY (Y - Y offset), U' = U - chroma offset, V' likewise;
// R = Yc + cRV V', B = Yc + cBU U', G = Yc + cGU U' + cGV V'.
inline void yuv2rgb_floats(const YuvImage &im, uint32_t format, uint32_t h, uint32_t w, uint32_t colour_code,
                           std::vector<float> rgb[3]) {
  const float(*m)[4] = yuv2rgb_matrix(colour_code);
  for (int k = 0; k < 3; k++) rgb[k].assign(size_t(h) * w, 0);
  for (uint32_t r = 0; r < h; r++)
    for (uint32_t c = 0; c < w; c++) {
      float u, v;
      yuv_chroma_at(im, format, w, r, c, u, v);
      const float yc = (float(im.y[r * w + c]) - m[0][3]) * m[0][0];
      u = u - m[1][3];
      v = v - m[1][3];
      float R = yc + v * m[0][2];
      float B = yc + u * m[2][1];
      float G = yc + u * m[1][1];
      G = G + v * m[1][2];
      const float out[3] = {R, G, B};
      for (int k = 0; k < 3; k++) rgb[k][r * w + c] = std::min(std::max(out[k], 0.0f), 255.0f);
    }
}

// What the conversion writes for n images: per image three planes B, G, R
// (output code 8: R, G, B). dst_type 0: floats; 1: bytes (truncated); 2: one
// 4N group of words, image j in byte j (bytes of absent images 0).
// outputs[i] receives image i's bytes (dst_type 2: outputs[0] the group's).
inline void yuv2rgb(const std::vector<YuvImage> &images, uint32_t format, uint32_t h, uint32_t w,
                    uint32_t dst_type, uint32_t output_code, uint32_t colour_code,
                    std::vector<std::vector<uint8_t>> &outputs) {
  const size_t hw = size_t(h) * w;
  const uint32_t n = uint32_t(images.size());
  outputs.assign(dst_type == 2 ? 1 : n, {});
  if (dst_type == 2) outputs[0].assign(3 * hw * 4, 0);
  for (uint32_t i = 0; i < n; i++) {
    std::vector<float> rgb[3];
    yuv2rgb_floats(images[i], format, h, w, colour_code, rgb);
    if (dst_type != 2) outputs[i].assign(3 * hw * (dst_type == 1 ? 1 : 4), 0);
    for (int k = 0; k < 3; k++) {
      const size_t plane = output_code == 8 ? size_t(k) : size_t(2 - k);
      for (size_t p = 0; p < hw; p++) {
        const float f = rgb[k][p];
        if (dst_type == 1) {
          outputs[i][plane * hw + p] = uint8_t(int32_t(f));
        } else if (dst_type == 2) {
          outputs[0][4 * (plane * hw + p) + i] = uint8_t(int32_t(f));
        } else {
          std::memcpy(&outputs[i][4 * (plane * hw + p)], &f, 4);
        }
      }
    }
  }
}

}  // namespace zv::ref
