// Per-channel affine layers: "BatchNorm", "Scale", "Bias"; and "Normalize"
// (L2 normalisation with a learned scale).
#include <cmath>

#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/filler.hpp"
#include "qrn/math.hpp"

namespace qrn {
namespace {

// Inference-time batch normalisation over axis 1.  Blobs: 0 mean, 1 variance,
// 2 the moving-average factor s (statistics are mean * s and variance * s;
// s = 0 reads as 0): y = (x - mean * s) / sqrt(variance * s + eps).
// In multiplier form, blob 1 holds multipliers and blob 0 offsets:
// y = multiplier * (x + offset).
class BatchNormLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "BatchNorm"; }
  int stats_in_multiplier_form() const override {
    return layer_param_.batch_norm_param().stats_in_multiplier_form() ? 1 : 0;
  }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    QRN_LAYER_CHECK(bottom[0]->num_axes() >= 2)
        << "needs at least 2 axes, has shape " << bottom[0]->shape_string();
    const int c = bottom[0]->shape(1);
    if (blobs_.empty()) {
      blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{c}));
      blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{c}));
      blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{1}));
    }
    QRN_LAYER_CHECK(blobs_.size() == 3) << "needs 3 parameter blobs, has " << blobs_.size();
    QRN_LAYER_CHECK(blobs_[0]->count() == c && blobs_[1]->count() == c && blobs_[2]->count() == 1)
        << "parameter blobs do not fit " << c << " channels";
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override { top[0]->ReshapeLike(*bottom[0]); }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const int channels = bottom[0]->shape(1);
    const int dim = bottom[0]->count(2);
    const float* b0 = blobs_[0]->cpu_data();
    const float* b1 = blobs_[1]->cpu_data();
    std::vector<float> mul(channels), add(channels);
    if (stats_in_multiplier_form()) {
      for (int c = 0; c < channels; ++c) {
        mul[c] = b1[c];
        add[c] = b1[c] * b0[c];
      }
    } else {
      const float f = blobs_[2]->cpu_data()[0];
      const float s = f == 0.0f ? 0.0f : 1.0f / f;
      const float eps = layer_param_.batch_norm_param().eps();
      for (int c = 0; c < channels; ++c) {
        mul[c] = 1.0f / std::sqrt(b1[c] * s + eps);
        add[c] = -b0[c] * s * mul[c];
      }
    }
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int i = 0; i < bottom[0]->count(); ++i) {
      const int c = (i / dim) % channels;
      y[i] = x[i] * mul[c] + add[c];
    }
  }
};

// Shape of the operand of "Scale"/"Bias": axes [axis, axis + num_axes) of
// the input (num_axes -1: to the end).
std::vector<int> OperandShape(const Blob<float>& in, int axis, int num_axes) {
  const int end = num_axes < 0 ? in.num_axes() : axis + num_axes;
  return std::vector<int>(in.shape().begin() + axis, in.shape().begin() + end);
}

// y = x * scale (+ bias), the operand broadcast over the other axes.  The
// scale is the second bottom when there is one, else blob 0.
class ScaleLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Scale"; }

 protected:
  int MinBottomBlobs() const override { return 1; }
  int MaxBottomBlobs() const override { return 2; }
  int ExactNumTopBlobs() const override { return 1; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.scale_param();
    axis_ = bottom[0]->CanonicalAxisIndex(p.axis());
    const int num_axes = bottom.size() > 1 ? bottom[1]->num_axes() : p.num_axes();
    QRN_LAYER_CHECK(num_axes >= -1 && axis_ + num_axes <= bottom[0]->num_axes())
        << "axis " << axis_ << " and num_axes " << num_axes << " do not fit the input "
        << bottom[0]->shape_string();
    shape_ = OperandShape(*bottom[0], axis_, num_axes);
    const size_t nblobs = (bottom.size() == 1 ? 1 : 0) + (p.bias_term() ? 1 : 0);
    if (blobs_.empty()) {
      std::mt19937 rng(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
      if (bottom.size() == 1) {
        blobs_.push_back(std::make_shared<Blob<float>>(shape_));
        FillerParameter f = p.filler();
        if (!p.has_filler()) f.set_value(1.0f);
        FillBlob(f, &rng, blobs_.back().get());
      }
      if (p.bias_term()) {
        blobs_.push_back(std::make_shared<Blob<float>>(shape_));
        FillBlob(p.bias_filler(), &rng, blobs_.back().get());
      }
    }
    QRN_LAYER_CHECK(blobs_.size() == nblobs)
        << "has " << blobs_.size() << " parameter blobs, expects " << nblobs;
    int operand = 1;
    for (int d : shape_) operand *= d;
    for (const auto& b : blobs_)
      QRN_LAYER_CHECK(b->count() == operand)
          << "parameter blob " << b->shape_string() << " does not fit " << operand << " values";
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    if (bottom.size() > 1)
      QRN_LAYER_CHECK(bottom[1]->shape() == OperandShape(*bottom[0], axis_, bottom[1]->num_axes()))
          << "scale input " << bottom[1]->shape_string() << " does not fit "
          << bottom[0]->shape_string() << " at axis " << axis_;
    top[0]->ReshapeLike(*bottom[0]);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const bool two = bottom.size() > 1;
    const float* scale = two ? bottom[1]->cpu_data() : blobs_[0]->cpu_data();
    const float* bias = layer_param_.scale_param().bias_term() ? blobs_.back()->cpu_data() : nullptr;
    const int outer = bottom[0]->count(0, axis_);
    const int sdim = two ? bottom[1]->count() : blobs_[0]->count();
    const int inner = bottom[0]->count() / std::max(outer * sdim, 1);
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int o = 0; o < outer; ++o)
      for (int s = 0; s < sdim; ++s)
        for (int i = 0; i < inner; ++i) {
          const size_t k = (static_cast<size_t>(o) * sdim + s) * inner + i;
          y[k] = x[k] * scale[s] + (bias ? bias[s] : 0.0f);
        }
  }

  int axis_ = 1;
  std::vector<int> shape_;
};

// y = x + bias; the bias is the second bottom when there is one, else blob 0.
class BiasLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Bias"; }

 protected:
  int MinBottomBlobs() const override { return 1; }
  int MaxBottomBlobs() const override { return 2; }
  int ExactNumTopBlobs() const override { return 1; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.bias_param();
    axis_ = bottom[0]->CanonicalAxisIndex(p.axis());
    const int num_axes = bottom.size() > 1 ? bottom[1]->num_axes() : p.num_axes();
    QRN_LAYER_CHECK(num_axes >= -1 && axis_ + num_axes <= bottom[0]->num_axes())
        << "axis " << axis_ << " and num_axes " << num_axes << " do not fit the input "
        << bottom[0]->shape_string();
    const std::vector<int> shape = OperandShape(*bottom[0], axis_, num_axes);
    if (bottom.size() == 1) {
      if (blobs_.empty()) {
        std::mt19937 rng(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
        blobs_.push_back(std::make_shared<Blob<float>>(shape));
        FillBlob(p.filler(), &rng, blobs_[0].get());
      }
      int n = 1;
      for (int d : shape) n *= d;
      QRN_LAYER_CHECK(blobs_.size() == 1 && blobs_[0]->count() == n)
          << "needs one bias blob of " << n << " values";
    } else {
      QRN_LAYER_CHECK(blobs_.empty()) << "takes no parameter blob with two inputs";
    }
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    if (bottom.size() > 1)
      QRN_LAYER_CHECK(bottom[1]->shape() == OperandShape(*bottom[0], axis_, bottom[1]->num_axes()))
          << "bias input " << bottom[1]->shape_string() << " does not fit "
          << bottom[0]->shape_string() << " at axis " << axis_;
    top[0]->ReshapeLike(*bottom[0]);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const Blob<float>& operand = bottom.size() > 1 ? *bottom[1] : *blobs_[0];
    const int outer = bottom[0]->count(0, axis_);
    const int bdim = operand.count();
    const int inner = bottom[0]->count() / std::max(outer * bdim, 1);
    const float* x = bottom[0]->cpu_data();
    const float* b = operand.cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int o = 0; o < outer; ++o)
      for (int s = 0; s < bdim; ++s)
        for (int i = 0; i < inner; ++i) {
          const size_t k = (static_cast<size_t>(o) * bdim + s) * inner + i;
          y[k] = x[k] + b[s];
        }
  }

  int axis_ = 1;
};

// y = x / sqrt(sum x^2 + eps) * scale, the sum over (C, H, W) of a sample
// (across_spatial) or over C at each position; scale per channel or shared.
class NormalizeLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Normalize"; }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.normalize_param();
    QRN_LAYER_CHECK(bottom[0]->num_axes() >= 2)
        << "needs at least 2 axes, has shape " << bottom[0]->shape_string();
    const int n = p.channel_shared() ? 1 : bottom[0]->shape(1);
    if (blobs_.empty()) {
      blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{n}));
      FillerParameter f = p.scale_filler();
      if (!p.has_scale_filler()) f.set_value(1.0f);
      std::mt19937 rng(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
      FillBlob(f, &rng, blobs_[0].get());
    }
    QRN_LAYER_CHECK(blobs_.size() == 1 && blobs_[0]->count() == n)
        << "needs one scale blob of " << n << " values";
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override { top[0]->ReshapeLike(*bottom[0]); }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.normalize_param();
    const int num = bottom[0]->shape(0), channels = bottom[0]->shape(1);
    const int dim = bottom[0]->count(2);
    const float* x = bottom[0]->cpu_data();
    const float* scale = blobs_[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    std::vector<double> norm(dim);
    for (int n = 0; n < num; ++n) {
      const float* xs = x + static_cast<size_t>(n) * channels * dim;
      float* ys = y + static_cast<size_t>(n) * channels * dim;
      if (p.across_spatial()) {
        double sum = 0;
        for (int i = 0; i < channels * dim; ++i) sum += static_cast<double>(xs[i]) * xs[i];
        for (int i = 0; i < dim; ++i) norm[i] = std::sqrt(sum + p.eps());
      } else {
        for (int i = 0; i < dim; ++i) {
          double sum = 0;
          for (int c = 0; c < channels; ++c) sum += static_cast<double>(xs[c * dim + i]) * xs[c * dim + i];
          norm[i] = std::sqrt(sum + p.eps());
        }
      }
      for (int c = 0; c < channels; ++c) {
        const float s = scale[p.channel_shared() ? 0 : c];
        for (int i = 0; i < dim; ++i)
          ys[c * dim + i] = static_cast<float>(xs[c * dim + i] / norm[i]) * s;
      }
    }
  }
};

}  // namespace

void RegisterNormalizationLayers() {
  RegisterLayer<BatchNormLayer>("BatchNorm");
  RegisterLayer<ScaleLayer>("Scale");
  RegisterLayer<BiasLayer>("Bias");
  RegisterLayer<NormalizeLayer>("Normalize");
}

}  // namespace qrn
