// The fixed-point arithmetic of 8-bit runs.
//
// An activation x of a blob with threshold th is held as the 8-bit value
// x * 128 / th.  A weighted layer sums 8-bit inputs times 8-bit weights
// (scaled by thBottom * 2^s / thTop), adds the 16-bit bias (scaled by
// 2^s * 128 / thTop) and shifts the sum right by s, which leaves it in the
// output's scale; the shift rounds half up, then the value is rectified when
// the layer is fused with its ReLU and saturated to 8 bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qrn/blob.hpp"

namespace qrn {

// floor((acc + 2^(s-1)) / 2^s) for s > 0, then max(0, .) when relu, then
// saturation to [-128, 127] (signed) or [0, 255].
inline int32_t FixFinish8(int64_t acc, int rshift, bool relu, bool is_signed) {
  if (rshift > 0) acc = (acc + (int64_t{1} << (rshift - 1))) >> rshift;  // arithmetic: floor
  if (relu && acc < 0) acc = 0;
  const int64_t lo = is_signed ? -128 : 0, hi = is_signed ? 127 : 255;
  return static_cast<int32_t>(acc < lo ? lo : acc > hi ? hi : acc);
}

// A float in 8 bits: floor(x * scale + 0.5) (product in single precision),
// saturated to [-128, 127]; a NaN gives 0.
inline int32_t QuantizeInt8(float x, float scale) {
  const double q = std::floor(static_cast<double>(x * scale) + 0.5);
  if (!(q == q)) return 0;
  return static_cast<int32_t>(q < -128.0 ? -128.0 : q > 127.0 ? 127.0 : q);
}

inline bool IsSigned(const Blob<float>& blob) {
  return blob.fixed_sign_type() != BlobProto_FixedSignType_UNSIGNED;
}

// Value i of a blob's 8-bit view, read by the blob's sign type.
inline int32_t Int8At(const Blob<float>& blob, int i) {
  return IsSigned(blob) ? blob.cpu_int8_data()[i] : blob.cpu_unint8_data()[i];
}

// Value i of a blob's 16-bit view, read by the blob's sign type.
inline int32_t Int16At(const Blob<float>& blob, int i) {
  return IsSigned(blob) ? blob.cpu_int16_data()[i]
                        : static_cast<uint16_t>(blob.cpu_int16_data()[i]);
}

// The threshold of a layer's top k in an 8-bit run: its
// scaleConvertBackToFloat_output_mul entry x 128, else th_top.
inline float OutputThreshold(const LayerParameter& p, size_t k) {
  if (static_cast<int>(k) < p.scaleconvertbacktofloat_output_mul_size())
    return p.scaleconvertbacktofloat_output_mul(static_cast<int>(k)) * 128.0f;
  return p.th_top();
}

// The int8 values of a constant parameter blob that the calibration stored in
// the scale of the layer's top 0 (its floats overwritten), read back as
// value x threshold / 128.  Quantizing them again with the same threshold
// gives the same bytes.
inline std::vector<float> StoredInt8AsFloats(const Blob<float>& blob, const LayerParameter& p) {
  const float step = OutputThreshold(p, 0) / 128.0f;
  std::vector<float> v(static_cast<size_t>(blob.count()));
  for (int i = 0; i < blob.count(); ++i) v[static_cast<size_t>(i)] = static_cast<float>(blob.cpu_int8_data()[i]) * step;
  return v;
}

// Stores v (already in the blob's range) as byte i of the 8-bit view.
inline void SetInt8(Blob<float>* blob, int i, int32_t v) {
  blob->mutable_cpu_unint8_data()[i] = static_cast<uint8_t>(v);
}

}  // namespace qrn
