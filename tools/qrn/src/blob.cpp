#include "qrn/blob.hpp"

#include <climits>
#include <cstring>
#include <sstream>

#include <glog/logging.h>

namespace qrn {

template <typename Dtype>
Blob<Dtype>::Blob(const std::vector<int>& shape) {
  Reshape(shape);
}

template <typename Dtype>
Blob<Dtype>::Blob(int num, int channels, int height, int width) {
  Reshape({num, channels, height, width});
}

template <typename Dtype>
void Blob<Dtype>::Reshape(const std::vector<int>& shape) {
  long long count = 1;
  for (int d : shape) {
    CHECK_GE(d, 0) << "negative blob dimension";
    count *= d;
    CHECK_LE(count, INT_MAX) << "blob too large";
  }
  shape_ = shape;
  count_ = static_cast<int>(count);
  if (data_.size() < static_cast<size_t>(count_)) data_.resize(count_, Dtype(0));
}

template <typename Dtype>
void Blob<Dtype>::Reshape(const BlobShape& shape) {
  std::vector<int> dims;
  for (int i = 0; i < shape.dim_size(); ++i) {
    CHECK(shape.dim(i) >= 0 && shape.dim(i) <= INT_MAX) << "bad blob dimension " << shape.dim(i);
    dims.push_back(static_cast<int>(shape.dim(i)));
  }
  Reshape(dims);
}

template <typename Dtype>
int Blob<Dtype>::count(int start, int end) const {
  CHECK(start >= 0 && start <= end && end <= num_axes())
      << "axis range [" << start << ", " << end << ") outside a blob of " << num_axes() << " axes";
  int c = 1;
  for (int i = start; i < end; ++i) c *= shape_[i];
  return c;
}

template <typename Dtype>
int Blob<Dtype>::CanonicalAxisIndex(int axis_index) const {
  CHECK(axis_index >= -num_axes() && axis_index < num_axes())
      << "axis " << axis_index << " out of range for a blob of shape " << shape_string();
  return axis_index < 0 ? axis_index + num_axes() : axis_index;
}

template <typename Dtype>
std::string Blob<Dtype>::shape_string() const {
  std::ostringstream s;
  for (int d : shape_) s << d << " ";
  s << "(" << count_ << ")";
  return s.str();
}

template <typename Dtype>
int Blob<Dtype>::LegacyShape(int index) const {
  CHECK_LE(num_axes(), 4) << "four-axis accessor used on a blob of shape " << shape_string();
  if (index >= num_axes()) return 1;
  return shape_[index];
}

template <typename Dtype>
int Blob<Dtype>::offset(int n, int c, int h, int w) const {
  return ((n * channels() + c) * height() + h) * width() + w;
}

template <typename Dtype>
bool Blob<Dtype>::ShapeEquals(const BlobProto& other) const {
  if (other.shape().dim_size() != num_axes()) return false;
  for (int i = 0; i < num_axes(); ++i)
    if (other.shape().dim(i) != shape_[i]) return false;
  return true;
}

template <typename Dtype>
void Blob<Dtype>::FromProto(const BlobProto& proto, bool reshape) {
  if (reshape) {
    Reshape(proto.shape());
  } else {
    CHECK(ShapeEquals(proto)) << "shape mismatch: blob is " << shape_string();
  }
  if (proto.has_raw_data()) {
    CHECK_EQ(proto.raw_data().size(), sizeof(Dtype) * static_cast<size_t>(count_))
        << "raw data of " << proto.raw_data().size() << " bytes for a blob of " << count_
        << " values";
    if (count_ > 0) std::memcpy(data_.data(), proto.raw_data().data(), proto.raw_data().size());
  } else {
    CHECK_EQ(proto.data_size(), count_)
        << "blob has " << proto.data_size() << " values for shape " << shape_string();
    for (int i = 0; i < count_; ++i) data_[i] = proto.data(i);
  }
  threshold_ = proto.threshold();
  rshift_num_ = proto.right_shift_num();
  bit_width_ = proto.bit_width();
  quantized_ = proto.has_bit_width();
  use_max_as_threshold_ = proto.use_max_as_threshold();
  fixed_sign_type_ = proto.fixed_sign_type();
  winograd_existence_ = proto.winograd_existence();
  winograd_rshift_num_ = proto.winograd_rshift_num();
}

template <typename Dtype>
void Blob<Dtype>::ToProto(BlobProto* proto, bool write_diff) const {
  (void)write_diff;  // no gradients are kept
  proto->Clear();
  for (int d : shape_) proto->mutable_shape()->add_dim(d);
  if (quantized_) {
    proto->set_raw_data(reinterpret_cast<const char*>(data_.data()),
                        sizeof(Dtype) * static_cast<size_t>(count_));
    proto->set_bit_width(bit_width_);
    proto->set_right_shift_num(rshift_num_);
  } else {
    proto->mutable_data()->Reserve(count_);
    for (int i = 0; i < count_; ++i) proto->add_data(data_[i]);
    if (rshift_num_ != 0) proto->set_right_shift_num(rshift_num_);
  }
  if (threshold_ != 0.0) proto->set_threshold(threshold_);
  if (use_max_as_threshold_) proto->set_use_max_as_threshold(true);
  if (fixed_sign_type_ != BlobProto_FixedSignType_SIGNED) proto->set_fixed_sign_type(fixed_sign_type_);
  if (winograd_existence_ != 0) proto->set_winograd_existence(winograd_existence_);
  if (winograd_rshift_num_ != 0) proto->set_winograd_rshift_num(winograd_rshift_num_);
}

template class Blob<float>;

}  // namespace qrn
