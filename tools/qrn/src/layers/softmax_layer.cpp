// "Softmax" along one axis.
#include <algorithm>
#include <cmath>

#include "layers/register.hpp"

namespace qrn {
namespace {

class SoftmaxLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Softmax"; }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool ComputesInFloat() const override { return true; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    axis_ = bottom[0]->CanonicalAxisIndex(layer_param_.softmax_param().axis());
    top[0]->ReshapeLike(*bottom[0]);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const int outer = bottom[0]->count(0, axis_);
    const int channels = bottom[0]->shape(axis_);
    const int inner = bottom[0]->count(axis_ + 1);
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int o = 0; o < outer; ++o)
      for (int i = 0; i < inner; ++i) {
        const size_t base = static_cast<size_t>(o) * channels * inner + i;
        float m = x[base];
        for (int c = 1; c < channels; ++c) m = std::max(m, x[base + c * inner]);
        double sum = 0;
        for (int c = 0; c < channels; ++c) {
          const float e = std::exp(x[base + c * inner] - m);
          y[base + c * inner] = e;
          sum += e;
        }
        for (int c = 0; c < channels; ++c) y[base + c * inner] = static_cast<float>(y[base + c * inner] / sum);
      }
  }

  int axis_ = 1;
};

}  // namespace

void RegisterSoftmaxLayer() { RegisterLayer<SoftmaxLayer>("Softmax"); }

}  // namespace qrn
