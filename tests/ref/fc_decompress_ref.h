// Plain expansion of compressed 8-bit fully-connected weights: 64 lanes, each
// its own row of 4-bit codes (two per byte, low nibble first), outlier bytes
// and their 16-bit positions.
#pragma once

#include <cstdint>
#include <vector>

namespace zv::ref {

struct FcCompressedLayout {
  uint64_t weights, codes, outliers, positions, lane;  // per lane: counts and byte offsets
};

inline FcCompressedLayout fc_compressed_layout(int outlier_num, int input_len, int output_num) {
  FcCompressedLayout f;
  f.weights = uint64_t(input_len) * ((uint64_t(output_num) + 63) / 64);
  f.codes = 0;
  const uint64_t code_bytes = (f.weights + 1) / 2;
  f.outliers = (code_bytes + 3) / 4 * 4;
  f.positions = f.outliers + (uint64_t(outlier_num) + 3) / 4 * 4;
  f.lane = f.positions + 2 * uint64_t(outlier_num);
  return f;
}

// `src` holds 64 lanes of fc_compressed_layout(...).lane bytes; the result 64
// lanes of `weights` bytes. Outliers are applied in order (a later one at the
// same position wins).
inline std::vector<int8_t> fc_decompress(const std::vector<uint8_t> &src, int outlier_num, int input_len,
                                         int output_num) {
  const FcCompressedLayout f = fc_compressed_layout(outlier_num, input_len, output_num);
  std::vector<int8_t> out(64 * f.weights);
  for (uint64_t lane = 0; lane < 64; lane++) {
    const uint8_t *in = src.data() + lane * f.lane;
    int8_t *w = out.data() + lane * f.weights;
    for (uint64_t i = 0; i < f.weights; i++) {
      const int code = (i % 2 ? in[i / 2] >> 4 : in[i / 2]) & 0x0f;
      w[i] = int8_t(4 * (code >= 8 ? code - 16 : code));
    }
    for (int j = 0; j < outlier_num; j++) {
      const unsigned pos = in[f.positions + 2 * j] | unsigned(in[f.positions + 2 * j + 1]) << 8;
      w[pos] = int8_t(in[f.outliers + j]);
    }
  }
  return out;
}

}  // namespace zv::ref
