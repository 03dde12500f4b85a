// Plain reference of the 8-bit position-sensitive ROI average pooling: the bin
// sum of the bytes times the pooling unit's reciprocal of the area (its 8-bit
// multiplier and exponent up to 255, a power of two above), rounded half up,
// limited below at 0 for an unsigned output of signed data, saturated to a
// byte. Output [roi][k][ph][pw] as byte values.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "ref/detect_ref.h"
#include "ref/fix8b_ref.h"

namespace zv::ref {

// map: byte values [channel][H][W] (signed or unsigned); mult/expo: the
// reciprocal table of the pooling unit.
inline std::vector<int> psroi_pool_fix8b(const std::vector<int> &map, int H, int W, const std::vector<float> &rois,
                                         int output_dim, int group, float scale, bool in_signed, bool out_signed,
                                         const uint8_t *mult, const uint8_t *expo) {
  std::vector<int> out;
  const bool relu = in_signed && !out_signed;
  for (size_t r = 0; r < rois.size() / 5; r++) {
    const float *q = &rois[5 * r];
    for (int k = 0; k < output_dim; k++)
      for (int ph = 0; ph < group; ph++)
        for (int pw = 0; pw < group; pw++) {
          const auto [h0, h1, w0, w1] = psroi_bin_ref(q, H, W, group, scale, ph, pw);
          if (h1 <= h0 || w1 <= w0) {
            out.push_back(0);
            continue;
          }
          const int ch = (k * group + ph) * group + pw, area = (h1 - h0) * (w1 - w0);
          std::int64_t sum = 0;
          for (int y = h0; y < h1; y++)
            for (int x = w0; x < w1; x++) sum += map[size_t((ch * H + y) * W + x)];
          int m = 1, e = 0;
          if (area <= 255) {
            m = mult[area];
            e = expo[area];
          } else {
            while ((1 << e) < area) e++;
          }
          std::int64_t v = fix8b::rshift_round(sum * m, e);
          if (relu && v < 0) v = 0;
          out.push_back(int(fix8b::sat(v, 8, in_signed && !relu)));
        }
  }
  return out;
}

}  // namespace zv::ref
