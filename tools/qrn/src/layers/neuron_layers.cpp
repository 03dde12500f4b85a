// Element-wise layers: "ReLU" (leaky, optionally clamped), "PReLU",
// "Dropout" (identity at inference).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/filler.hpp"
#include "qrn/fixed_point.hpp"
#include "qrn/math.hpp"

namespace qrn {
namespace {

class NeuronLayer : public Layer<float> {
 public:
  using Layer::Layer;

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  void Reshape(const BlobVec& bottom, const BlobVec& top) override { top[0]->ReshapeLike(*bottom[0]); }
};

// y = x where x > 0, else x * slope, capped at upper when limit; x may be
// y. Four values at a time in the compiler's generic vectors (SSE2 on
// x86-64): both arms are computed and one picked by the comparison's mask,
// which the compiler does not do by itself for a product that could trap.
typedef float Floats4 __attribute__((vector_size(16)));
typedef int32_t Ints4 __attribute__((vector_size(16)));

float ReLUOne(float v, float slope, bool limit, float upper) {
  const float r = v > 0 ? v : v * slope;
  return limit ? std::min(r, upper) : r;
}

void ReLURange(const float* x, float* y, long long n, float slope, bool limit, float upper) {
  long long i = 0;
  for (; i + 4 <= n; i += 4) {
    Floats4 v;
    std::memcpy(&v, x + i, sizeof v);
    const Ints4 pos = v > 0.0f;
    Floats4 r = (Floats4)(((Ints4)v & pos) | ((Ints4)(v * slope) & ~pos));
    if (limit) {
      const Ints4 above = upper < r;  // std::min(r, upper): r unless upper < r
      r = (Floats4)(((Ints4)r & ~above) | ((Ints4)(Floats4{} + upper) & above));
    }
    std::memcpy(y + i, &r, sizeof r);
  }
  for (; i < n; ++i) y[i] = ReLUOne(x[i], slope, limit, upper);
}

class ReLULayer : public NeuronLayer {
 public:
  using NeuronLayer::NeuronLayer;
  const char* type() const override { return "ReLU"; }

 protected:
  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.relu_param();
    const float slope = p.negative_slope();
    const bool limit = p.has_upper_limit();
    const float upper = p.upper_limit();
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    const int count = bottom[0]->count();
    const int threads = ParallelThreads(count, 1 << 16);
    ParallelFor(count, threads, [&](long long first, long long end, int) {
      ReLURange(x + first, y + first, end - first, slope, limit, upper);
    });
  }

  // Input and output share one scale.  Without a slope (no multiplier in
  // mul_branch) negatives become 0 and the output is unsigned; a leaky ReLU
  // multiplies negatives by its 8-bit multiplier and shifts them right by
  // its shift (half up).  upper_limit_uint8 caps the result when present.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const LayerParameter& lp = layer_param_;
    const auto& p = lp.relu_param();
    const bool leaky = lp.mul_branch_size() > 0;
    QRN_LAYER_CHECK(!leaky || lp.rshift_branch_size() > 0) << "has a multiplier without a shift";
    const int32_t mul = leaky ? static_cast<int32_t>(lp.mul_branch(0)) : 0;
    const int rshift = leaky ? static_cast<int>(lp.rshift_branch(0)) : 0;
    const bool in_signed = IsSigned(*bottom[0]);
    const bool out_signed = leaky && in_signed;
    std::vector<int32_t> v(bottom[0]->count());
    for (int i = 0; i < bottom[0]->count(); ++i) {
      const int32_t x = Int8At(*bottom[0], i);
      v[i] = x >= 0 ? x : leaky ? FixFinish8(static_cast<int64_t>(x) * mul, rshift, false, true) : 0;
      if (p.has_upper_limit_uint8()) v[i] = std::min(v[i], p.upper_limit_uint8());
    }
    top[0]->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
    for (int i = 0; i < bottom[0]->count(); ++i) SetInt8(top[0], i, v[i]);
  }
};

class DropoutLayer : public NeuronLayer {
 public:
  using NeuronLayer::NeuronLayer;
  const char* type() const override { return "Dropout"; }

 protected:
  bool MovesValuesOnly() const override { return true; }
  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    qrn_copy(bottom[0]->count(), bottom[0]->cpu_data(), top[0]->mutable_cpu_data());
  }
};

// y = x for x > 0, slope[c] * x otherwise; one slope per channel (axis 1) or
// one shared slope.
class PReLULayer : public NeuronLayer {
 public:
  using NeuronLayer::NeuronLayer;
  const char* type() const override { return "PReLU"; }

 protected:
  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.prelu_param();
    QRN_LAYER_CHECK(bottom[0]->num_axes() >= 2)
        << "needs at least 2 axes, has shape " << bottom[0]->shape_string();
    const int channels = bottom[0]->shape(1);
    const int n = p.channel_shared() ? 1 : channels;
    if (blobs_.empty()) {
      blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{n}));
      FillerParameter f = p.filler();
      if (!p.has_filler()) f.set_value(0.25f);
      std::mt19937 rng(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
      FillBlob(f, &rng, blobs_[0].get());
    }
    QRN_LAYER_CHECK(blobs_.size() == 1 && blobs_[0]->count() == n)
        << "needs one slope blob of " << n << " values";
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const bool shared = layer_param_.prelu_param().channel_shared();
    const int channels = bottom[0]->shape(1);
    const int dim = bottom[0]->count(2);
    const float* x = bottom[0]->cpu_data();
    const float* slope = blobs_[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int i = 0; i < bottom[0]->count(); ++i) {
      const int c = shared ? 0 : (i / dim) % channels;
      y[i] = x[i] > 0 ? x[i] : x[i] * slope[c];
    }
  }

  // Positive values pass unchanged; a negative x becomes x * slope[c]
  // (8-bit slopes of blob 0) shifted right by blob 0's shift, half up,
  // saturated.  The output keeps the input's sign (an unsigned input has no
  // negative values).
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const Blob<float>& x = *bottom[0];
    const Blob<float>& slope = *blobs_[0];
    const bool shared = layer_param_.prelu_param().channel_shared();
    const int channels = x.shape(1), dim = x.count(2), s = slope.rshiftNum();
    const bool in_signed = IsSigned(x);
    for (int i = 0; i < x.count(); ++i) {
      const int32_t v = Int8At(x, i);
      const int c = shared ? 0 : (i / dim) % channels;
      SetInt8(top[0], i, v >= 0 ? v : FixFinish8(int64_t{v} * Int8At(slope, c), s, false, true));
    }
    // Last: the top may be the bottom (in place), whose values are read by their sign.
    top[0]->set_fixed_sign_type(in_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
  }
};

}  // namespace

void RegisterNeuronLayers() {
  RegisterLayer<ReLULayer>("ReLU");
  RegisterLayer<PReLULayer>("PReLU");
  RegisterLayer<DropoutLayer>("Dropout");
}

}  // namespace qrn
