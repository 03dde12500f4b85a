// "LRN": local response normalisation.
//   across channels: y = x * (k + alpha / n * sum of x^2 over n channels)^-beta
//   within a channel: the sum runs over an n x n window (zero-padded) and is
//   divided by n * n.
#include <cmath>

#include "layers/register.hpp"

namespace qrn {
namespace {

class LRNLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "LRN"; }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }
  // The 8-bit form (a lookup table of the power over the summed squares) is
  // not modelled: an 8-bit run reads the inputs back as floats.
  bool ComputesInFloat() const override { return true; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    QRN_LAYER_CHECK(bottom[0]->num_axes() == 4)
        << "needs a 4-axis input, has shape " << bottom[0]->shape_string();
    QRN_LAYER_CHECK(layer_param_.lrn_param().local_size() % 2 == 1) << "local_size must be odd";
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override { top[0]->ReshapeLike(*bottom[0]); }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.lrn_param();
    const int n = static_cast<int>(p.local_size()), half = n / 2;
    const int N = bottom[0]->num(), C = bottom[0]->channels();
    const int H = bottom[0]->height(), W = bottom[0]->width();
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    const bool across = p.norm_region() == LRNParameter::ACROSS_CHANNELS;
    const float alpha = across ? p.alpha() / n : p.alpha() / (n * n);
    for (int b = 0; b < N; ++b)
      for (int c = 0; c < C; ++c)
        for (int h = 0; h < H; ++h)
          for (int w = 0; w < W; ++w) {
            float sum = 0;
            if (across) {
              for (int cc = std::max(0, c - half); cc <= std::min(C - 1, c + half); ++cc) {
                const float v = x[bottom[0]->offset(b, cc, h, w)];
                sum += v * v;
              }
            } else {
              for (int hh = std::max(0, h - half); hh <= std::min(H - 1, h + half); ++hh)
                for (int ww = std::max(0, w - half); ww <= std::min(W - 1, w + half); ++ww) {
                  const float v = x[bottom[0]->offset(b, c, hh, ww)];
                  sum += v * v;
                }
            }
            const int i = bottom[0]->offset(b, c, h, w);
            y[i] = x[i] * std::pow(p.k() + alpha * sum, -p.beta());
          }
  }
};

}  // namespace

void RegisterLRNLayer() { RegisterLayer<LRNLayer>("LRN"); }

}  // namespace qrn
