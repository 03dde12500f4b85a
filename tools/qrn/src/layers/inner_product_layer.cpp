// "InnerProduct": y = x W^T + b over the axes from `axis` on.
#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/filler.hpp"
#include "qrn/fixed_point.hpp"
#include "qrn/math.hpp"

namespace qrn {
namespace {

class InnerProductLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "InnerProduct"; }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.inner_product_param();
    QRN_LAYER_CHECK(p.has_num_output() && p.num_output() > 0) << "needs a positive num_output";
    N_ = static_cast<int>(p.num_output());
    axis_ = bottom[0]->CanonicalAxisIndex(p.axis());
    K_ = bottom[0]->count(axis_);
    const std::vector<int> wshape = p.transpose() ? std::vector<int>{K_, N_} : std::vector<int>{N_, K_};
    if (blobs_.empty()) {
      std::mt19937 rng(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
      blobs_.push_back(std::make_shared<Blob<float>>(wshape));
      FillBlob(p.weight_filler(), &rng, blobs_[0].get());
      if (p.bias_term()) {
        blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{N_}));
        FillBlob(p.bias_filler(), &rng, blobs_[1].get());
      }
    }
    const size_t nblobs = p.bias_term() ? 2 : 1;
    QRN_LAYER_CHECK(blobs_.size() == nblobs)
        << "has " << blobs_.size() << " parameter blobs, expects " << nblobs;
    QRN_LAYER_CHECK(blobs_[0]->count() == N_ * K_ && blobs_[0]->shape(0) == wshape[0])
        << "weight shape " << blobs_[0]->shape_string() << " does not fit " << N_ << " outputs of "
        << K_ << " inputs";
    if (p.bias_term())
      QRN_LAYER_CHECK(blobs_[1]->count() == N_)
          << "bias has " << blobs_[1]->count() << " values, expects " << N_;
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    QRN_LAYER_CHECK(bottom[0]->count(axis_) == K_)
        << "input size changed: " << bottom[0]->shape_string() << ", expects " << K_
        << " values from axis " << axis_;
    M_ = bottom[0]->count(0, axis_);
    std::vector<int> shape(bottom[0]->shape().begin(), bottom[0]->shape().begin() + axis_);
    shape.push_back(N_);
    top[0]->Reshape(shape);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const bool transpose = layer_param_.inner_product_param().transpose();
    qrn_cpu_gemm<float>(NoTrans, transpose ? NoTrans : Trans, M_, N_, K_, 1.0f, bottom[0]->cpu_data(),
                        blobs_[0]->cpu_data(), 0.0f, top[0]->mutable_cpu_data());
    if (blobs_.size() > 1) {
      float* y = top[0]->mutable_cpu_data();
      const float* b = blobs_[1]->cpu_data();
      for (int m = 0; m < M_; ++m)
        for (int n = 0; n < N_; ++n) y[m * N_ + n] += b[n];
    }
  }

  // y[m][n] = (sum_k x[m][k] w[n][k] + bias[n]) shifted right by the
  // weights' shift, rectified when fused with its ReLU, saturated.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const bool transpose = layer_param_.inner_product_param().transpose();
    const Blob<float>& x = *bottom[0];
    const Blob<float>& w = *blobs_[0];
    const Blob<float>* b = blobs_.size() > 1 ? blobs_[1].get() : nullptr;
    const bool relu = layer_param_.followedbyrelu();
    const bool out_signed = !relu && (IsSigned(x) || IsSigned(w) || (b != nullptr && IsSigned(*b)));
    Blob<float>* y = top[0];
    y->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
    const int s = w.rshiftNum();
    for (int m = 0; m < M_; ++m)
      for (int n = 0; n < N_; ++n) {
        int64_t acc = 0;
        for (int k = 0; k < K_; ++k)
          acc += static_cast<int64_t>(Int8At(x, m * K_ + k)) * Int8At(w, transpose ? k * N_ + n : n * K_ + k);
        if (b != nullptr) acc += Int16At(*b, n);
        SetInt8(y, m * N_ + n, FixFinish8(acc, s, relu, out_signed));
      }
  }

  int M_ = 0, N_ = 0, K_ = 0, axis_ = 1;
};

}  // namespace

void RegisterInnerProductLayer() { RegisterLayer<InnerProductLayer>("InnerProduct"); }

}  // namespace qrn
