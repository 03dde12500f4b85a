// "LRN": local response normalisation.
//   across channels: y = x * (k + alpha / n * sum of x^2 over n channels)^-beta
//   within a channel: the sum runs over an n x n window (zero-padded) and is
//   divided by n * n.
// In 8 bits across channels, with the calibration's tables: entry
// i = min(4095, sum of squares of the 8-bit inputs >> step_q) gives an 8-bit
// factor and its right shift, y = x * lut[i] >> rshift[i] (rounding half up,
// saturated to the input's range).  Without tables an 8-bit run reads the
// inputs back as floats.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "layers/register.hpp"
#include "qrn/fixed_point.hpp"

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
  static constexpr int kEntries = 4096;
  bool HasTables() const {
    const auto& p = layer_param_.lrn_param();
    return p.lut_table().size() == kEntries && p.lut_table_rshift().size() == kEntries;
  }
  bool ComputesInFloat() const override { return !HasTables(); }

  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.lrn_param();
    QRN_LAYER_CHECK(p.norm_region() == LRNParameter::ACROSS_CHANNELS) << "has no 8-bit form within a channel";
    QRN_LAYER_CHECK(p.step_q() >= 0 && p.step_q() < 63) << "step_q " << p.step_q();
    const int half = static_cast<int>(p.local_size()) / 2;
    const Blob<float>& x = *bottom[0];
    const int N = x.num(), C = x.channels(), HW = x.height() * x.width();
    const bool is_signed = IsSigned(x);
    std::vector<int32_t> out(x.count());
    for (int b = 0; b < N; ++b)
      for (int c = 0; c < C; ++c)
        for (int i = 0; i < HW; ++i) {
          int64_t sum = 0;
          for (int cc = std::max(0, c - half); cc <= std::min(C - 1, c + half); ++cc) {
            const int64_t v = Int8At(x, (b * C + cc) * HW + i);
            sum += v * v;
          }
          const int64_t e = std::min<int64_t>(kEntries - 1, sum >> p.step_q());
          const int32_t lut = static_cast<uint8_t>(p.lut_table()[e]);
          const int rs = std::min(40, static_cast<int>(static_cast<uint8_t>(p.lut_table_rshift()[e])));
          const int k = (b * C + c) * HW + i;
          out[k] = FixFinish8(int64_t{Int8At(x, k)} * lut, rs, false, is_signed);
        }
    for (int k = 0; k < x.count(); ++k) SetInt8(top[0], k, out[k]);
    top[0]->set_fixed_sign_type(x.fixed_sign_type());
  }

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
