// Layers that combine, copy or re-view blobs: "Concat", "Split", "Eltwise",
// "Reshape", "Flatten".
#include <algorithm>
#include <cfloat>

#include "layers/register.hpp"
#include "qrn/fixed_point.hpp"
#include "qrn/math.hpp"

namespace qrn {
namespace {

// Input j's branch entry: its 8-bit multiplier (stored sign-extended) and
// right shift, which carry its scale to the output's.
struct Branch {
  int32_t mul;
  int rshift;
};

std::vector<Branch> Branches(const LayerParameter& p, size_t inputs, const std::string& where) {
  CHECK(static_cast<size_t>(p.mul_branch_size()) >= inputs && static_cast<size_t>(p.rshift_branch_size()) >= inputs)
      << where << "needs a multiplier and a shift per input (" << inputs << "), has " << p.mul_branch_size()
      << " and " << p.rshift_branch_size();
  std::vector<Branch> b(inputs);
  for (size_t j = 0; j < inputs; ++j)
    b[j] = {static_cast<int32_t>(p.mul_branch(static_cast<int>(j))), static_cast<int>(p.rshift_branch(static_cast<int>(j)))};
  return b;
}

// x * mul shifted right by s, rounding half up, before saturation.
int64_t Rescale(int32_t x, const Branch& b) {
  int64_t v = static_cast<int64_t>(x) * b.mul;
  if (b.rshift > 0) v = (v + (int64_t{1} << (b.rshift - 1))) >> b.rshift;
  return v;
}

class ConcatLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Concat"; }

 protected:
  int MinBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.concat_param();
    axis_ = p.has_concat_dim() ? static_cast<int>(p.concat_dim()) : bottom[0]->CanonicalAxisIndex(p.axis());
    QRN_LAYER_CHECK(axis_ >= 0 && axis_ < bottom[0]->num_axes())
        << "axis " << axis_ << " outside the input " << bottom[0]->shape_string();
    std::vector<int> shape = bottom[0]->shape();
    for (size_t i = 1; i < bottom.size(); ++i) {
      QRN_LAYER_CHECK(bottom[i]->num_axes() == bottom[0]->num_axes())
          << "input " << i << " has " << bottom[i]->num_axes() << " axes, input 0 has "
          << bottom[0]->num_axes();
      for (int a = 0; a < bottom[0]->num_axes(); ++a) {
        if (a == axis_) continue;
        QRN_LAYER_CHECK(bottom[i]->shape(a) == bottom[0]->shape(a))
            << "input " << i << " " << bottom[i]->shape_string() << " differs from input 0 "
            << bottom[0]->shape_string() << " outside the concatenation axis " << axis_;
      }
      shape[axis_] += bottom[i]->shape(axis_);
    }
    top[0]->Reshape(shape);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const int outer = top[0]->count(0, axis_);
    const int inner = top[0]->count(axis_ + 1);
    const int top_axis = top[0]->shape(axis_);
    float* y = top[0]->mutable_cpu_data();
    int offset = 0;
    for (auto* b : bottom) {
      const int n = b->shape(axis_) * inner;
      for (int o = 0; o < outer; ++o)
        qrn_copy(n, b->cpu_data() + static_cast<size_t>(o) * n,
                 y + (static_cast<size_t>(o) * top_axis + offset) * inner);
      offset += b->shape(axis_);
    }
  }

  // Each input rescaled by its branch entry (x * mul >> s, half up) into the
  // output, saturated; the output is signed when an input is.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const auto branch = Branches(layer_param_, bottom.size(), where());
    bool out_signed = false;
    for (auto* b : bottom) out_signed = out_signed || IsSigned(*b);
    const int outer = top[0]->count(0, axis_);
    const int inner = top[0]->count(axis_ + 1);
    const int top_axis = top[0]->shape(axis_);
    top[0]->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
    int offset = 0;
    for (size_t j = 0; j < bottom.size(); ++j) {
      const int n = bottom[j]->shape(axis_) * inner;
      for (int o = 0; o < outer; ++o)
        for (int k = 0; k < n; ++k)
          SetInt8(top[0], (o * top_axis + offset) * inner + k,
                  FixFinish8(Rescale(Int8At(*bottom[j], o * n + k), branch[j]), 0, false, out_signed));
      offset += bottom[j]->shape(axis_);
    }
  }

  int axis_ = 1;
};

class SplitLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Split"; }

 protected:
  bool MovesValuesOnly() const override { return true; }
  int ExactNumBottomBlobs() const override { return 1; }
  int MinTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    for (auto* t : top) t->ReshapeLike(*bottom[0]);
  }
  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    for (auto* t : top) qrn_copy(bottom[0]->count(), bottom[0]->cpu_data(), t->mutable_cpu_data());
  }
};

class EltwiseLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Eltwise"; }

 protected:
  int MinBottomBlobs() const override { return 2; }
  int ExactNumTopBlobs() const override { return 1; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.eltwise_param();
    QRN_LAYER_CHECK(p.coeff_size() == 0 || p.coeff_size() == static_cast<int>(bottom.size()))
        << "needs one coefficient per input (" << bottom.size() << "), has " << p.coeff_size();
    QRN_LAYER_CHECK(p.coeff_size() == 0 || p.operation() == EltwiseParameter::SUM)
        << "coefficients apply to SUM only";
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    for (size_t i = 1; i < bottom.size(); ++i)
      QRN_LAYER_CHECK(bottom[i]->shape() == bottom[0]->shape())
          << "input " << i << " " << bottom[i]->shape_string() << " differs from input 0 "
          << bottom[0]->shape_string();
    top[0]->ReshapeLike(*bottom[0]);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.eltwise_param();
    const int n = top[0]->count();
    std::vector<float> acc(bottom[0]->cpu_data(), bottom[0]->cpu_data() + n);
    if (p.operation() == EltwiseParameter::SUM && p.coeff_size() > 0)
      for (float& v : acc) v *= p.coeff(0);
    for (size_t b = 1; b < bottom.size(); ++b) {
      const float* x = bottom[b]->cpu_data();
      switch (p.operation()) {
        case EltwiseParameter::PROD:
          for (int i = 0; i < n; ++i) acc[i] *= x[i];
          break;
        case EltwiseParameter::SUM: {
          const float c = p.coeff_size() > 0 ? p.coeff(static_cast<int>(b)) : 1.0f;
          for (int i = 0; i < n; ++i) acc[i] += c * x[i];
          break;
        }
        case EltwiseParameter::MAX:
          for (int i = 0; i < n; ++i) acc[i] = std::max(acc[i], x[i]);
          break;
      }
    }
    qrn_copy(n, acc.data(), top[0]->mutable_cpu_data());
  }

  // SUM: the inputs rescaled by their branch entries (x * mul >> s, half
  // up; the coefficients are in the multipliers) and added, then saturated;
  // MAX: the largest rescaled input.  The output is signed when an input or
  // a multiplier is.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.eltwise_param();
    QRN_LAYER_CHECK(p.operation() != EltwiseParameter::PROD) << "has no 8-bit product";
    const auto branch = Branches(layer_param_, bottom.size(), where());
    bool out_signed = false;
    for (size_t j = 0; j < bottom.size(); ++j) out_signed = out_signed || IsSigned(*bottom[j]) || branch[j].mul < 0;
    const bool max = p.operation() == EltwiseParameter::MAX;
    const int n = top[0]->count();
    std::vector<int32_t> out(n);
    for (int i = 0; i < n; ++i) {
      int64_t acc = Rescale(Int8At(*bottom[0], i), branch[0]);
      for (size_t j = 1; j < bottom.size(); ++j) {
        const int64_t v = Rescale(Int8At(*bottom[j], i), branch[j]);
        acc = max ? std::max(acc, v) : acc + v;
      }
      out[i] = FixFinish8(acc, 0, false, out_signed);
    }
    top[0]->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
    for (int i = 0; i < n; ++i) SetInt8(top[0], i, out[i]);
  }
};

// New shape from reshape_param.shape over axes [axis, axis + num_axes): a 0
// keeps the input's dimension, one -1 is inferred.
class ReshapeLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Reshape"; }

 protected:
  bool MovesValuesOnly() const override { return true; }
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.reshape_param();
    const int in_axes = bottom[0]->num_axes();
    const int start = p.axis() < 0 ? p.axis() + in_axes + 1 : p.axis();
    QRN_LAYER_CHECK(start >= 0 && start <= in_axes) << "axis " << p.axis() << " out of range";
    const int end = p.num_axes() == -1 ? in_axes : start + p.num_axes();
    QRN_LAYER_CHECK(p.num_axes() >= -1 && end <= in_axes)
        << "num_axes " << p.num_axes() << " out of range";
    std::vector<int> shape(bottom[0]->shape().begin(), bottom[0]->shape().begin() + start);
    int inferred = -1;
    for (int i = 0; i < p.shape().dim_size(); ++i) {
      const int64_t d = p.shape().dim(i);
      if (d == 0) {
        QRN_LAYER_CHECK(start + i < in_axes) << "dimension " << i << " copies a missing input axis";
        shape.push_back(bottom[0]->shape(start + i));
      } else if (d == -1) {
        QRN_LAYER_CHECK(inferred < 0) << "more than one dimension is -1";
        inferred = static_cast<int>(shape.size());
        shape.push_back(1);
      } else {
        QRN_LAYER_CHECK(d > 0) << "bad dimension " << d;
        shape.push_back(static_cast<int>(d));
      }
    }
    shape.insert(shape.end(), bottom[0]->shape().begin() + end, bottom[0]->shape().end());
    long long known = 1;
    for (size_t i = 0; i < shape.size(); ++i)
      if (static_cast<int>(i) != inferred) known *= shape[i];
    if (inferred >= 0) {
      QRN_LAYER_CHECK(known > 0 && bottom[0]->count() % known == 0)
          << "cannot infer a dimension: " << bottom[0]->count() << " values, " << known << " known";
      shape[inferred] = static_cast<int>(bottom[0]->count() / known);
      known *= shape[inferred];
    }
    QRN_LAYER_CHECK(known == bottom[0]->count())
        << "new shape holds " << known << " values, the input " << bottom[0]->count();
    top[0]->Reshape(shape);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    qrn_copy(bottom[0]->count(), bottom[0]->cpu_data(), top[0]->mutable_cpu_data());
  }
};

class FlattenLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Flatten"; }

 protected:
  bool MovesValuesOnly() const override { return true; }
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.flatten_param();
    const int start = bottom[0]->CanonicalAxisIndex(p.axis());
    const int end = bottom[0]->CanonicalAxisIndex(p.end_axis());
    QRN_LAYER_CHECK(start <= end) << "axis " << start << " after end_axis " << end;
    std::vector<int> shape(bottom[0]->shape().begin(), bottom[0]->shape().begin() + start);
    shape.push_back(bottom[0]->count(start, end + 1));
    shape.insert(shape.end(), bottom[0]->shape().begin() + end + 1, bottom[0]->shape().end());
    top[0]->Reshape(shape);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    qrn_copy(bottom[0]->count(), bottom[0]->cpu_data(), top[0]->mutable_cpu_data());
  }
};

}  // namespace

void RegisterStructureLayers() {
  RegisterLayer<ConcatLayer>("Concat");
  RegisterLayer<SplitLayer>("Split");
  RegisterLayer<EltwiseLayer>("Eltwise");
  RegisterLayer<ReshapeLayer>("Reshape");
  RegisterLayer<FlattenLayer>("Flatten");
}

}  // namespace qrn
