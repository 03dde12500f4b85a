// A blob: an N-dimensional array of values with its quantization state.
//
// The values live in one buffer of count() floats.  The int8, uint8, int16
// and int32 views look at the same bytes: an 8-bit area holds up to
// 4 * count() values, a 16-bit area up to 2 * count().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qrn.pb.h"

namespace qrn {

template <typename Dtype>
class Blob {
 public:
  Blob() = default;
  explicit Blob(const std::vector<int>& shape);
  Blob(int num, int channels, int height, int width);

  Blob(const Blob&) = delete;
  Blob& operator=(const Blob&) = delete;

  // Changes the shape; the storage grows (zero-filled) when needed and keeps
  // its leading values.
  void Reshape(const std::vector<int>& shape);
  void Reshape(const BlobShape& shape);
  void ReshapeLike(const Blob& other) { Reshape(other.shape()); }

  const std::vector<int>& shape() const { return shape_; }
  // Axis i, negative counting from the end.
  int shape(int index) const { return shape_[CanonicalAxisIndex(index)]; }
  int num_axes() const { return static_cast<int>(shape_.size()); }
  int count() const { return count_; }
  // Product of the dimensions in [start, end).
  int count(int start, int end) const;
  int count(int start) const { return count(start, num_axes()); }
  int CanonicalAxisIndex(int axis_index) const;
  std::string shape_string() const;

  // Four-axis accessors; a missing axis reads as 1.
  int num() const { return LegacyShape(0); }
  int channels() const { return LegacyShape(1); }
  int height() const { return LegacyShape(2); }
  int width() const { return LegacyShape(3); }
  int offset(int n, int c = 0, int h = 0, int w = 0) const;

  const Dtype* cpu_data() const { return data_.data(); }
  Dtype* mutable_cpu_data() { return data_.data(); }
  Dtype data_at(int n, int c, int h, int w) const { return data_[offset(n, c, h, w)]; }

  // Fixed-point views of the same storage.
  const int8_t* cpu_int8_data() const { return reinterpret_cast<const int8_t*>(data_.data()); }
  int8_t* mutable_cpu_int8_data() { return reinterpret_cast<int8_t*>(data_.data()); }
  const uint8_t* cpu_unint8_data() const { return reinterpret_cast<const uint8_t*>(data_.data()); }
  uint8_t* mutable_cpu_unint8_data() { return reinterpret_cast<uint8_t*>(data_.data()); }
  const int16_t* cpu_int16_data() const { return reinterpret_cast<const int16_t*>(data_.data()); }
  int16_t* mutable_cpu_int16_data() { return reinterpret_cast<int16_t*>(data_.data()); }
  const int32_t* cpu_int32_data() const { return reinterpret_cast<const int32_t*>(data_.data()); }
  int32_t* mutable_cpu_int32_data() { return reinterpret_cast<int32_t*>(data_.data()); }

  // Per-channel values that a padded input region produces here (filled by
  // the calibration; empty by default).
  std::vector<float>& pad_value_per_chan() { return pad_value_per_chan_; }
  const std::vector<float>& pad_value_per_chan() const { return pad_value_per_chan_; }

  // Quantization state.
  double thresHold() const { return threshold_; }
  void setThresHold(double threshold) { threshold_ = threshold; }
  int rshiftNum() const { return rshift_num_; }
  void setRshiftNum(int rshift) { rshift_num_ = rshift; }
  bitWidthMode bitWidth() const { return bit_width_; }
  // Marks the blob as holding fixed-point data of that width: from now on
  // ToProto writes the raw storage.
  void setBitWidth(bitWidthMode mode) {
    bit_width_ = mode;
    quantized_ = true;
  }
  bool isQuantized() const { return quantized_; }
  bool isUseMaxAsThreshold() const { return use_max_as_threshold_; }
  void setUseMaxAsThreshold(bool use_max) { use_max_as_threshold_ = use_max; }
  BlobProto_FixedSignType fixed_sign_type() const { return fixed_sign_type_; }
  void set_fixed_sign_type(BlobProto_FixedSignType type) { fixed_sign_type_ = type; }
  int winograd_existence() const { return winograd_existence_; }
  void set_winograd_existence(int exists) { winograd_existence_ = exists; }
  int rWinogradshiftNum() const { return winograd_rshift_num_; }
  void setWingradRshiftNum(int rshift) { winograd_rshift_num_ = rshift; }

  // Whether the storage holds float values or, after a layer ran in 8 bits,
  // 8-bit values in the int8 view (signed or not by fixed_sign_type()).
  bool holds_float() const { return holds_float_; }
  void set_holds_float(bool holds_float) { holds_float_ = holds_float; }

  // Values and shape from a proto; with reshape false the shapes must agree
  // (the process ends otherwise).
  void FromProto(const BlobProto& proto, bool reshape = true);
  void ToProto(BlobProto* proto, bool write_diff = false) const;

  bool ShapeEquals(const BlobProto& other) const;

 private:
  int LegacyShape(int index) const;

  std::vector<int> shape_;
  int count_ = 0;
  std::vector<Dtype> data_;
  std::vector<float> pad_value_per_chan_;

  double threshold_ = 0.0;
  int rshift_num_ = 0;
  bitWidthMode bit_width_ = bitWidth_8;
  bool quantized_ = false;
  bool use_max_as_threshold_ = false;
  BlobProto_FixedSignType fixed_sign_type_ = BlobProto_FixedSignType_SIGNED;
  int winograd_existence_ = 0;
  int winograd_rshift_num_ = 0;
  bool holds_float_ = true;
};

}  // namespace qrn
