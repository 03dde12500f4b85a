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

// RGB layouts 8 to 11: planar R, G, B; planar B, G, R; packed R, G, B;
// packed B, G, R. Moves whole elements of `e` bytes from one layout to another.
inline std::vector<uint8_t> rgb_relayout(const std::vector<uint8_t> &src, uint32_t in_format, uint32_t out_format,
                                         uint32_t h, uint32_t w, uint32_t e) {
  const size_t hw = size_t(h) * w;
  std::vector<uint8_t> dst(3 * hw * e);
  auto at = [&](uint32_t format, uint32_t colour, size_t p) {  // colour 0 R, 1 G, 2 B
    const bool b_first = format == 9 || format == 11, packed = format == 10 || format == 11;
    const uint32_t ch = b_first ? 2 - colour : colour;
    return (packed ? 3 * p + ch : ch * hw + p) * e;
  };
  for (uint32_t colour = 0; colour < 3; colour++)
    for (size_t p = 0; p < hw; p++)
      std::memcpy(&dst[at(out_format, colour, p)], &src[at(in_format, colour, p)], e);
  return dst;
}

// Rows R, G, B of the RGB-to-YUV matrices (columns R, G, B, added offset).
inline const float (*rgb2yuv_matrix(uint32_t colour_code))[4] {
  static const float m[4][3][4] = {
      {{0.299f, 0.587f, 0.114f, 0}, {-0.16874f, -0.33126f, 0.5f, 128}, {0.5f, -0.41869f, -0.08131f, 128}},
      {{0.21264f, 0.71517f, 0.07219f, 0}, {-0.11459f, -0.38541f, 0.5f, 128}, {0.5f, -0.45416f, -0.04584f, 128}},
      {{0.25679f, 0.50413f, 0.09791f, 16}, {-0.14822f, -0.29099f, 0.43922f, 128}, {0.43922f, -0.36779f, -0.07143f, 128}},
      {{0.18262f, 0.6142f, 0.062f, 16}, {-0.10066f, -0.33855f, 0.43922f, 128}, {0.43922f, -0.39894f, -0.04027f, 128}},
  };
  static const int pick[6] = {0, 2, 1, 2, 2, 3};
  return m[colour_code >= 2 && colour_code <= 7 ? pick[colour_code - 2] : 2];
}

// Planar R, G, B bytes to a YUV layout (0 to 6): each of Y, U, V is
// ((cR R + cG G) + cB B) + offset clamped to [0, 255]; chroma is the mean of
// each 2 x 2 block ((a + b) + (c + d)) x 0.25 for 4:2:0, of each pair
// (a + b) x 0.5 for 4:2:2, the sample itself for 4:4:4; bytes by truncation.
inline YuvImage rgb_to_yuv(const std::vector<uint8_t> &rgb, uint32_t format, uint32_t h, uint32_t w,
                           uint32_t colour_code) {
  if (format > 6) format = 0;
  const float(*m)[4] = rgb2yuv_matrix(colour_code);
  const size_t hw = size_t(h) * w;
  std::vector<float> f[3];
  for (int o = 0; o < 3; o++) {
    f[o].resize(hw);
    for (size_t p = 0; p < hw; p++) {
      float v = float(rgb[p]) * m[o][0];
      v = v + float(rgb[hw + p]) * m[o][1];
      v = v + float(rgb[2 * hw + p]) * m[o][2];
      v = v + m[o][3];
      f[o][p] = std::min(std::max(v, 0.0f), 255.0f);
    }
  }
  auto byte = [](float v) { return uint8_t(int32_t(v)); };
  YuvImage im;
  im.y.resize(hw);
  for (size_t p = 0; p < hw; p++) im.y[p] = byte(f[0][p]);
  const bool f420 = format == 0 || format == 3 || format == 4, f444 = format == 2;
  const uint32_t ch = f420 ? h / 2 : h, cw = f444 ? w : w / 2;
  std::vector<uint8_t> c[2];
  for (int k = 0; k < 2; k++) {
    const std::vector<float> &s = f[1 + k];
    c[k].resize(size_t(ch) * cw);
    for (uint32_t r = 0; r < ch; r++)
      for (uint32_t x = 0; x < cw; x++) {
        float v;
        if (f444) {
          v = s[r * w + x];
        } else if (f420) {
          const float top = s[2 * r * w + 2 * x] + s[2 * r * w + 2 * x + 1];
          const float bottom = s[(2 * r + 1) * w + 2 * x] + s[(2 * r + 1) * w + 2 * x + 1];
          v = (top + bottom) * 0.25f;
        } else {
          v = (s[r * w + 2 * x] + s[r * w + 2 * x + 1]) * 0.5f;
        }
        c[k][r * cw + x] = byte(v);
      }
  }
  if (format <= 2) {
    im.u = c[0];
    im.v = c[1];
  } else {
    const bool v_first = format == 4 || format == 6;
    im.u.resize(2 * c[0].size());
    for (size_t i = 0; i < c[0].size(); i++) {
      im.u[2 * i] = c[v_first ? 1 : 0][i];
      im.u[2 * i + 1] = c[v_first ? 0 : 1][i];
    }
  }
  return im;
}

}  // namespace zv::ref
