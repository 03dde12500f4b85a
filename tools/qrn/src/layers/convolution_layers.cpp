// "Convolution" and "Deconvolution" over (N, C, H, W) blobs, with groups,
// stride, padding and dilation.
#include <random>

#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/filler.hpp"
#include "qrn/fixed_point.hpp"
#include "qrn/math.hpp"

namespace qrn {
namespace {

struct Geometry {
  int kh = 0, kw = 0, sh = 1, sw = 1, ph = 0, pw = 0, dh = 1, dw = 1;
};

// Copies the (C, H, W) image into columns (C * kh * kw, out_h * out_w).
void Im2Col(const float* im, int channels, int height, int width, const Geometry& g,
            int out_h, int out_w, float* col) {
  for (int c = 0; c < channels; ++c)
    for (int ki = 0; ki < g.kh; ++ki)
      for (int kj = 0; kj < g.kw; ++kj) {
        float* row = col + ((static_cast<size_t>(c) * g.kh + ki) * g.kw + kj) * out_h * out_w;
        for (int oh = 0; oh < out_h; ++oh) {
          const int y = oh * g.sh - g.ph + ki * g.dh;
          for (int ow = 0; ow < out_w; ++ow) {
            const int x = ow * g.sw - g.pw + kj * g.dw;
            row[oh * out_w + ow] = (y >= 0 && y < height && x >= 0 && x < width)
                                       ? im[(static_cast<size_t>(c) * height + y) * width + x]
                                       : 0.0f;
          }
        }
      }
}

// Adds the columns back into the (C, H, W) image.
void Col2Im(const float* col, int channels, int height, int width, const Geometry& g,
            int out_h, int out_w, float* im) {
  for (int c = 0; c < channels; ++c)
    for (int ki = 0; ki < g.kh; ++ki)
      for (int kj = 0; kj < g.kw; ++kj) {
        const float* row = col + ((static_cast<size_t>(c) * g.kh + ki) * g.kw + kj) * out_h * out_w;
        for (int oh = 0; oh < out_h; ++oh) {
          const int y = oh * g.sh - g.ph + ki * g.dh;
          if (y < 0 || y >= height) continue;
          for (int ow = 0; ow < out_w; ++ow) {
            const int x = ow * g.sw - g.pw + kj * g.dw;
            if (x >= 0 && x < width) im[(static_cast<size_t>(c) * height + y) * width + x] += row[oh * out_w + ow];
          }
        }
      }
}

class ConvolutionBase : public Layer<float> {
 public:
  using Layer::Layer;

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  // Whether the weights are (in, out / group, kh, kw) rather than
  // (out, in / group, kh, kw).
  virtual bool reverse() const = 0;

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.convolution_param();
    QRN_LAYER_CHECK(bottom[0]->num_axes() == 4)
        << "needs a 4-axis input, has shape " << bottom[0]->shape_string();
    auto pick = [&](bool has_hw, int h, int w, const google::protobuf::RepeatedField<uint32_t>& list,
                    int def, int* out_h, int* out_w, const char* what) {
      if (has_hw) {
        QRN_LAYER_CHECK(list.empty()) << "give either " << what << " or " << what << "_h/_w";
        *out_h = h;
        *out_w = w;
      } else if (list.empty()) {
        *out_h = *out_w = def;
      } else {
        QRN_LAYER_CHECK(list.size() <= 2) << what << " takes 1 or 2 values";
        *out_h = static_cast<int>(list.Get(0));
        *out_w = static_cast<int>(list.Get(list.size() - 1));
      }
    };
    pick(p.has_kernel_h() || p.has_kernel_w(), p.kernel_h(), p.kernel_w(), p.kernel_size(), 0,
         &g_.kh, &g_.kw, "kernel");
    pick(p.has_stride_h() || p.has_stride_w(), p.stride_h(), p.stride_w(), p.stride(), 1, &g_.sh,
         &g_.sw, "stride");
    pick(p.has_pad_h() || p.has_pad_w(), p.pad_h(), p.pad_w(), p.pad(), 0, &g_.ph, &g_.pw, "pad");
    pick(p.has_dilation_h() || p.has_dilation_w(), p.dilation_h(), p.dilation_w(), p.dilation(), 1,
         &g_.dh, &g_.dw, "dilation");
    QRN_LAYER_CHECK(g_.kh > 0 && g_.kw > 0) << "kernel size must be positive";
    QRN_LAYER_CHECK(g_.sh > 0 && g_.sw > 0) << "stride must be positive";
    QRN_LAYER_CHECK(g_.dh > 0 && g_.dw > 0) << "dilation must be positive";
    QRN_LAYER_CHECK(p.has_num_output() && p.num_output() > 0) << "needs a positive num_output";
    group_ = static_cast<int>(p.group());
    num_output_ = static_cast<int>(p.num_output());
    channels_ = bottom[0]->channels();
    QRN_LAYER_CHECK(group_ > 0) << "group must be positive";
    QRN_LAYER_CHECK(channels_ % group_ == 0)
        << "input channels " << channels_ << " are not a multiple of group " << group_;
    QRN_LAYER_CHECK(num_output_ % group_ == 0)
        << "num_output " << num_output_ << " is not a multiple of group " << group_;
    const std::vector<int> wshape =
        reverse() ? std::vector<int>{channels_, num_output_ / group_, g_.kh, g_.kw}
                  : std::vector<int>{num_output_, channels_ / group_, g_.kh, g_.kw};
    const size_t nblobs = p.bias_term() ? 2 : 1;
    if (blobs_.empty()) {
      std::mt19937 rng(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
      blobs_.push_back(std::make_shared<Blob<float>>(wshape));
      FillBlob(p.weight_filler(), &rng, blobs_[0].get());
      if (p.bias_term()) {
        blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{num_output_}));
        FillBlob(p.bias_filler(), &rng, blobs_[1].get());
      }
    }
    QRN_LAYER_CHECK(blobs_.size() == nblobs)
        << "has " << blobs_.size() << " parameter blobs, expects " << nblobs;
    QRN_LAYER_CHECK(blobs_[0]->shape() == wshape)
        << "weight shape " << blobs_[0]->shape_string() << " does not fit the layer";
    if (p.bias_term())
      QRN_LAYER_CHECK(blobs_[1]->count() == num_output_)
          << "bias has " << blobs_[1]->count() << " values, expects " << num_output_;
  }

  Geometry g_;
  int group_ = 1, num_output_ = 0, channels_ = 0;
  std::vector<float> col_;
};

class ConvolutionLayer : public ConvolutionBase {
 public:
  using ConvolutionBase::ConvolutionBase;
  const char* type() const override { return "Convolution"; }

 protected:
  bool reverse() const override { return false; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    QRN_LAYER_CHECK(bottom[0]->num_axes() == 4 && bottom[0]->channels() == channels_)
        << "input shape changed to " << bottom[0]->shape_string();
    const int ekh = g_.dh * (g_.kh - 1) + 1, ekw = g_.dw * (g_.kw - 1) + 1;
    out_h_ = (bottom[0]->height() + 2 * g_.ph - ekh) / g_.sh + 1;
    out_w_ = (bottom[0]->width() + 2 * g_.pw - ekw) / g_.sw + 1;
    QRN_LAYER_CHECK(bottom[0]->height() + 2 * g_.ph >= ekh && bottom[0]->width() + 2 * g_.pw >= ekw)
        << "kernel larger than the padded input " << bottom[0]->shape_string();
    top[0]->Reshape({bottom[0]->num(), num_output_, out_h_, out_w_});
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const int H = bottom[0]->height(), W = bottom[0]->width();
    const int cin_g = channels_ / group_, cout_g = num_output_ / group_;
    const int spatial = out_h_ * out_w_;
    const int K = cin_g * g_.kh * g_.kw;
    // Samples are independent: they are shared out among threads, each
    // with its own column buffer, when there are enough products.
    const int N = bottom[0]->num();
    const int threads = ParallelThreads(static_cast<long long>(N) * num_output_ * spatial * K, 1LL << 20, N);
    const size_t col_size = static_cast<size_t>(K) * spatial;
    col_.resize(col_size * threads);
    const float* w = blobs_[0]->cpu_data();
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    ParallelFor(N, threads, [&](long long first, long long end, int share) {
      float* col = col_.data() + col_size * share;
      for (int n = static_cast<int>(first); n < end; ++n) {
        for (int g = 0; g < group_; ++g) {
          Im2Col(x + bottom[0]->offset(n, g * cin_g), cin_g, H, W, g_, out_h_, out_w_, col);
          qrn_cpu_gemm<float>(NoTrans, NoTrans, cout_g, spatial, K, 1.0f,
                              w + static_cast<size_t>(g) * cout_g * K, col, 0.0f,
                              y + top[0]->offset(n, g * cout_g));
        }
        if (blobs_.size() > 1) {
          float* out = y + top[0]->offset(n);
          const float* b = blobs_[1]->cpu_data();
          for (int o = 0; o < num_output_; ++o)
            for (int s = 0; s < spatial; ++s) out[o * spatial + s] += b[o];
        }
      }
    });
  }

  // Per output channel: sum of input x weight over the window (padding adds
  // nothing), plus the 16-bit bias, then the layer's (or the channel's) right
  // shift, rectification when fused with its ReLU, and saturation.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const Blob<float>& x = *bottom[0];
    const Blob<float>& w = *blobs_[0];
    const Blob<float>* b = blobs_.size() > 1 ? blobs_[1].get() : nullptr;
    const int H = x.height(), W = x.width();
    const int cin_g = channels_ / group_, cout_g = num_output_ / group_;
    const auto& cp = layer_param_.convolution_param();
    const bool per_channel = cp.per_channel_en();
    QRN_LAYER_CHECK(!per_channel || static_cast<int>(cp.rshift_per_layer().size()) == num_output_)
        << "per-channel shifts: " << cp.rshift_per_layer().size() << " for " << num_output_ << " channels";
    const bool relu = layer_param_.followedbyrelu();
    const bool out_signed = !relu && (IsSigned(x) || IsSigned(w) || (b != nullptr && IsSigned(*b)));
    Blob<float>* y = top[0];
    y->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
    for (int n = 0; n < x.num(); ++n)
      for (int o = 0; o < num_output_; ++o) {
        const int g = o / cout_g;
        const int s = per_channel ? static_cast<int8_t>(cp.rshift_per_layer()[o]) : w.rshiftNum();
        for (int oh = 0; oh < out_h_; ++oh)
          for (int ow = 0; ow < out_w_; ++ow) {
            int64_t acc = 0;
            for (int c = 0; c < cin_g; ++c)
              for (int ki = 0; ki < g_.kh; ++ki) {
                const int iy = oh * g_.sh - g_.ph + ki * g_.dh;
                if (iy < 0 || iy >= H) continue;
                for (int kj = 0; kj < g_.kw; ++kj) {
                  const int ix = ow * g_.sw - g_.pw + kj * g_.dw;
                  if (ix < 0 || ix >= W) continue;
                  acc += static_cast<int64_t>(Int8At(x, x.offset(n, g * cin_g + c, iy, ix))) *
                         Int8At(w, ((o * cin_g + c) * g_.kh + ki) * g_.kw + kj);
                }
              }
            if (b != nullptr) acc += Int16At(*b, o);
            SetInt8(y, y->offset(n, o, oh, ow), FixFinish8(acc, s, relu, out_signed));
          }
      }
  }

  int out_h_ = 0, out_w_ = 0;
};

class DeconvolutionLayer : public ConvolutionBase {
 public:
  using ConvolutionBase::ConvolutionBase;
  const char* type() const override { return "Deconvolution"; }

 protected:
  bool reverse() const override { return true; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    QRN_LAYER_CHECK(bottom[0]->num_axes() == 4 && bottom[0]->channels() == channels_)
        << "input shape changed to " << bottom[0]->shape_string();
    const int ekh = g_.dh * (g_.kh - 1) + 1, ekw = g_.dw * (g_.kw - 1) + 1;
    out_h_ = g_.sh * (bottom[0]->height() - 1) + ekh - 2 * g_.ph;
    out_w_ = g_.sw * (bottom[0]->width() - 1) + ekw - 2 * g_.pw;
    QRN_LAYER_CHECK(out_h_ > 0 && out_w_ > 0) << "padding leaves no output";
    top[0]->Reshape({bottom[0]->num(), num_output_, out_h_, out_w_});
  }

  // Each input pixel scatters its kernel into the output: the transpose of
  // the convolution with the same geometry.
  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const int H = bottom[0]->height(), W = bottom[0]->width();
    const int cin_g = channels_ / group_, cout_g = num_output_ / group_;
    const int K = cout_g * g_.kh * g_.kw;
    col_.resize(static_cast<size_t>(K) * H * W);
    const float* w = blobs_[0]->cpu_data();
    float* out = top[0]->mutable_cpu_data();
    for (int i = 0; i < top[0]->count(); ++i) out[i] = 0.0f;
    for (int n = 0; n < bottom[0]->num(); ++n) {
      for (int g = 0; g < group_; ++g) {
        qrn_cpu_gemm<float>(Trans, NoTrans, K, H * W, cin_g, 1.0f,
                            w + static_cast<size_t>(g) * cin_g * K,
                            bottom[0]->cpu_data() + bottom[0]->offset(n, g * cin_g), 0.0f,
                            col_.data());
        Col2Im(col_.data(), cout_g, out_h_, out_w_, g_, H, W, out + top[0]->offset(n, g * cout_g));
      }
      if (blobs_.size() > 1) {
        const int spatial = out_h_ * out_w_;
        float* o = out + top[0]->offset(n);
        const float* b = blobs_[1]->cpu_data();
        for (int c = 0; c < num_output_; ++c)
          for (int s = 0; s < spatial; ++s) o[c * spatial + s] += b[c];
      }
    }
  }

  // The transpose of the 8-bit convolution: each input value times each
  // weight of its kernel adds into the output position it reaches (padding
  // crops), then the 16-bit bias, the weights' right shift (half up),
  // rectification when fused with its ReLU, and saturation.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const Blob<float>& x = *bottom[0];
    const Blob<float>& w = *blobs_[0];
    const Blob<float>* b = blobs_.size() > 1 ? blobs_[1].get() : nullptr;
    const int H = x.height(), W = x.width();
    const int cin_g = channels_ / group_, cout_g = num_output_ / group_;
    const bool relu = layer_param_.followedbyrelu();
    const bool out_signed = !relu && (IsSigned(x) || IsSigned(w) || (b != nullptr && IsSigned(*b)));
    const int s = w.rshiftNum();
    Blob<float>* y = top[0];
    y->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
    std::vector<int64_t> acc(static_cast<size_t>(num_output_) * out_h_ * out_w_);
    for (int n = 0; n < x.num(); ++n) {
      for (int o = 0; o < num_output_; ++o)
        for (int i = 0; i < out_h_ * out_w_; ++i)
          acc[static_cast<size_t>(o) * out_h_ * out_w_ + i] = b != nullptr ? Int16At(*b, o) : 0;
      for (int c = 0; c < channels_; ++c) {
        const int g = c / cin_g;
        for (int iy = 0; iy < H; ++iy)
          for (int ix = 0; ix < W; ++ix) {
            const int64_t v = Int8At(x, x.offset(n, c, iy, ix));
            for (int oc = 0; oc < cout_g; ++oc)
              for (int ki = 0; ki < g_.kh; ++ki) {
                const int oy = iy * g_.sh - g_.ph + ki * g_.dh;
                if (oy < 0 || oy >= out_h_) continue;
                for (int kj = 0; kj < g_.kw; ++kj) {
                  const int ox = ix * g_.sw - g_.pw + kj * g_.dw;
                  if (ox < 0 || ox >= out_w_) continue;
                  acc[(static_cast<size_t>(g * cout_g + oc) * out_h_ + oy) * out_w_ + ox] +=
                      v * Int8At(w, ((c * cout_g + oc) * g_.kh + ki) * g_.kw + kj);
                }
              }
          }
      }
      for (int o = 0; o < num_output_; ++o)
        for (int oy = 0; oy < out_h_; ++oy)
          for (int ox = 0; ox < out_w_; ++ox)
            SetInt8(y, y->offset(n, o, oy, ox),
                    FixFinish8(acc[(static_cast<size_t>(o) * out_h_ + oy) * out_w_ + ox], s, relu, out_signed));
    }
  }

  int out_h_ = 0, out_w_ = 0;
};

}  // namespace

void RegisterConvolutionLayers() {
  RegisterLayer<ConvolutionLayer>("Convolution");
  RegisterLayer<DeconvolutionLayer>("Deconvolution");
}

}  // namespace qrn
