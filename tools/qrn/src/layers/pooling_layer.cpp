// "Pooling": max or average over windows of (N, C, H, W) blobs.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "layers/register.hpp"
#include "qrn/fixed_point.hpp"
#include "qrn/math.hpp"

namespace qrn {
namespace {

// One output position's window: its rows [h0, h1) and columns [w0, w1)
// inside the input, and its area counting the padding.
struct Window {
  int h0, h1, w0, w1, pad_area;
};

class PoolingLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Pooling"; }

 protected:
  Window WindowAt(int oh, int ow, int H, int W) const {
    const int h0 = oh * sh_ - ph_, w0 = ow * sw_ - pw_;
    const int h1 = std::min(h0 + kh_, H + ph_), w1 = std::min(w0 + kw_, W + pw_);
    return {std::max(h0, 0), std::min(h1, H), std::max(w0, 0), std::min(w1, W), (h1 - h0) * (w1 - w0)};
  }

  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.pooling_param();
    QRN_LAYER_CHECK(bottom[0]->num_axes() == 4)
        << "needs a 4-axis input, has shape " << bottom[0]->shape_string();
    QRN_LAYER_CHECK(p.pool() == PoolingParameter::MAX || p.pool() == PoolingParameter::AVE)
        << "supports MAX and AVE pooling only";
    if (!p.global_pooling()) {
      QRN_LAYER_CHECK(p.has_kernel_size() != (p.has_kernel_h() && p.has_kernel_w()))
          << "give either kernel_size or kernel_h and kernel_w";
      kh_ = p.has_kernel_size() ? p.kernel_size() : p.kernel_h();
      kw_ = p.has_kernel_size() ? p.kernel_size() : p.kernel_w();
      QRN_LAYER_CHECK(kh_ > 0 && kw_ > 0) << "kernel size must be positive";
    }
    ph_ = p.has_pad_h() ? p.pad_h() : p.pad();
    pw_ = p.has_pad_w() ? p.pad_w() : p.pad();
    sh_ = p.has_stride_h() ? p.stride_h() : p.stride();
    sw_ = p.has_stride_w() ? p.stride_w() : p.stride();
    QRN_LAYER_CHECK(sh_ > 0 && sw_ > 0) << "stride must be positive";
    if (p.global_pooling()) {
      QRN_LAYER_CHECK(ph_ == 0 && pw_ == 0 && sh_ == 1 && sw_ == 1)
          << "global pooling takes no padding and stride 1";
    }
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.pooling_param();
    const int H = bottom[0]->height(), W = bottom[0]->width();
    if (p.global_pooling()) {
      kh_ = H;
      kw_ = W;
    }
    QRN_LAYER_CHECK(ph_ < kh_ && pw_ < kw_) << "padding must be smaller than the kernel";
    QRN_LAYER_CHECK(H + 2 * ph_ >= kh_ && W + 2 * pw_ >= kw_)
        << "kernel larger than the padded input " << bottom[0]->shape_string();
    auto size = [&](int in, int k, int pad, int stride) {
      int out = p.ceil_mode()
                    ? static_cast<int>(std::ceil(static_cast<float>(in + 2 * pad - k) / stride)) + 1
                    : (in + 2 * pad - k) / stride + 1;
      // The last window must start inside the input or its left padding.
      if ((out - 1) * stride >= in + pad) --out;
      return out;
    };
    out_h_ = size(H, kh_, ph_, sh_);
    out_w_ = size(W, kw_, pw_, sw_);
    top[0]->Reshape({bottom[0]->num(), bottom[0]->channels(), out_h_, out_w_});
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.pooling_param();
    const bool max = p.pool() == PoolingParameter::MAX;
    const int H = bottom[0]->height(), W = bottom[0]->width();
    const int planes = bottom[0]->num() * bottom[0]->channels();
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    // Planes are independent: shared out among threads when there is
    // enough to do.
    const int threads =
        ParallelThreads(static_cast<long long>(planes) * out_h_ * out_w_ * kh_ * kw_, 1LL << 17, planes);
    ParallelFor(planes, threads, [&](long long first, long long end, int) {
      for (int pl = static_cast<int>(first); pl < end; ++pl) {
        const float* in = x + static_cast<size_t>(pl) * H * W;
        float* out = y + static_cast<size_t>(pl) * out_h_ * out_w_;
        for (int oh = 0; oh < out_h_; ++oh) {
          for (int ow = 0; ow < out_w_; ++ow) {
            const Window win = WindowAt(oh, ow, H, W);
            const int h0 = win.h0, h1 = win.h1, w0 = win.w0, w1 = win.w1, pad_area = win.pad_area;
            float acc;
            if (max) {
              acc = -FLT_MAX;
              for (int h = h0; h < h1; ++h)
                for (int w = w0; w < w1; ++w) acc = std::max(acc, in[h * W + w]);
            } else {
              acc = 0.0f;
              for (int h = h0; h < h1; ++h)
                for (int w = w0; w < w1; ++w) acc += in[h * W + w];
              const int area = p.ave_count_pad() ? pad_area : (h1 - h0) * (w1 - w0);
              acc /= static_cast<float>(std::max(area, 1));
            }
            out[oh * out_w_ + ow] = acc;
          }
        }
      }
    });
  }

  // Over the 8-bit values in the input's sign: the window's maximum (an
  // all-padding window gives 0), or the window's sum divided by the same
  // count as the float average, rounded half up.  Input and output share
  // one scale.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.pooling_param();
    const bool max = p.pool() == PoolingParameter::MAX;
    const Blob<float>& x = *bottom[0];
    const int H = x.height(), W = x.width();
    const int planes = x.num() * x.channels();
    Blob<float>* y = top[0];
    y->set_fixed_sign_type(x.fixed_sign_type());
    const bool is_signed = IsSigned(x);
    for (int pl = 0; pl < planes; ++pl)
      for (int oh = 0; oh < out_h_; ++oh)
        for (int ow = 0; ow < out_w_; ++ow) {
          const Window win = WindowAt(oh, ow, H, W);
          const int h0 = win.h0, h1 = win.h1, w0 = win.w0, w1 = win.w1, pad_area = win.pad_area;
          int64_t acc = max ? INT64_MIN : 0;
          for (int h = h0; h < h1; ++h)
            for (int w = w0; w < w1; ++w) {
              const int64_t v = Int8At(x, (pl * H + h) * W + w);
              acc = max ? std::max(acc, v) : acc + v;
            }
          int32_t out;
          if (max) {
            out = acc == INT64_MIN ? 0 : static_cast<int32_t>(acc);
          } else {
            const int64_t area = std::max(p.ave_count_pad() ? pad_area : (h1 - h0) * (w1 - w0), 1);
            // floor((2 sum + area) / (2 area)): the quotient rounded half up.
            const int64_t num = 2 * acc + area, den = 2 * area;
            const int64_t q = num >= 0 ? num / den : -((-num + den - 1) / den);
            out = FixFinish8(q, 0, false, is_signed);
          }
          SetInt8(y, (pl * out_h_ + oh) * out_w_ + ow, out);
        }
  }

  int kh_ = 0, kw_ = 0, ph_ = 0, pw_ = 0, sh_ = 1, sw_ = 1, out_h_ = 0, out_w_ = 0;
};

}  // namespace

void RegisterPoolingLayer() { RegisterLayer<PoolingLayer>("Pooling"); }

}  // namespace qrn
