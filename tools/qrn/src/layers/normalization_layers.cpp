// Per-channel affine layers: "BatchNorm", "BN", "Scale", "Bias"; and "Normalize"
// (L2 normalisation with a learned scale).
#include <algorithm>
#include <cmath>
#include <string>

#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/filler.hpp"
#include "qrn/fixed_point.hpp"
#include "qrn/math.hpp"

namespace qrn {
namespace {

// One value of the 8-bit per-channel affine step: x * m + b held in 16 bits
// (saturated), rectified when fused with its ReLU, then shifted by the
// channel's shift s, right and flooring for s > 0 (the rounding half is
// already in the bias), left for s < 0; saturated to 8 bits.
int32_t AffineFix8(int32_t x, int32_t m, int32_t b, int s, bool relu, bool out_signed) {
  auto sat16 = [](int64_t v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : v; };
  int64_t v = sat16(int64_t{x} * m + b);
  if (relu && v < 0) v = 0;
  if (s >= 0) {
    v >>= std::min(s, 40);  // arithmetic: floor
  } else {
    v = sat16(v * (int64_t{1} << std::min(-s, 20)));
  }
  return FixFinish8(v, 0, false, out_signed);
}

// The per-channel 8-bit affine step over the blob's axis at `axis`: channel
// c of nc takes multiplier m[c] (8 bits), bias b[c] (16 bits, or 0) and shift
// shifts[c] (a signed byte).
void AffineInt8(const Blob<float>& x, int axis, const Blob<float>& m, const Blob<float>* b,
                const std::string& shifts, bool relu, Blob<float>* y) {
  const int nc = m.count();
  const bool out_signed = !relu && (IsSigned(x) || IsSigned(m) || (b != nullptr && IsSigned(*b)));
  const int outer = x.count(0, axis);
  const int inner = x.count() / std::max(outer * nc, 1);
  for (int o = 0; o < outer; ++o)
    for (int c = 0; c < nc; ++c) {
      const int32_t mc = Int8At(m, c), bc = b != nullptr ? Int16At(*b, c) : 0;
      const int s = static_cast<int8_t>(shifts[c]);
      for (int i = 0; i < inner; ++i) {
        const int k = (o * nc + c) * inner + i;
        SetInt8(y, k, AffineFix8(Int8At(x, k), mc, bc, s, relu, out_signed));
      }
    }
  // Last: y may be x (in place), whose values are read by their sign.
  y->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
}

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

  // Per channel: 8-bit multiplier in blob 1, 16-bit bias in blob 0, shift
  // byte c of rshift_per_layer.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const std::string& shifts = layer_param_.batch_norm_param().rshift_per_layer();
    QRN_LAYER_CHECK(static_cast<int>(shifts.size()) == blobs_[1]->count())
        << "has " << shifts.size() << " per-channel shifts for " << blobs_[1]->count() << " channels";
    AffineInt8(*bottom[0], 1, *blobs_[1], blobs_[0].get(), shifts, layer_param_.followedbyrelu(), top[0]);
  }
};

// Per-channel scale and shift over axis 1.  Blobs: 0 scale, 1 shift, and in
// mode OTHER 2 mean, 3 variance.  Mode OTHER normalises first:
// y = scale * (x - mean) / sqrt(variance + eps) + shift; the other modes hold
// the folded factors: y = scale * x + shift.  In 8 bits blob 0 holds the
// 8-bit multipliers, blob 1 the 16-bit biases (the statistics folded in).
class BNLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "BN"; }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    QRN_LAYER_CHECK(bottom[0]->num_axes() >= 2)
        << "needs at least 2 axes, has shape " << bottom[0]->shape_string();
    const int c = bottom[0]->shape(1);
    const auto& p = layer_param_.bn_param();
    const bool normalise = p.bn_mode() == BNParameter_BNMode_OTHER;
    if (blobs_.empty()) {
      std::mt19937 rng(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
      FillerParameter one;
      one.set_value(1.0f);
      for (int k = 0; k < (normalise ? 4 : 2); ++k) blobs_.push_back(std::make_shared<Blob<float>>(std::vector<int>{c}));
      FillBlob(p.has_scale_filler() ? p.scale_filler() : one, &rng, blobs_[0].get());
      if (normalise) FillBlob(one, &rng, blobs_[3].get());
    }
    // The statistics are read only when the layer normalises.
    QRN_LAYER_CHECK(normalise ? blobs_.size() == 4 : blobs_.size() == 2 || blobs_.size() == 4)
        << "has " << blobs_.size() << " parameter blobs; needs scale and shift, and mean and variance in mode OTHER";
    for (const auto& b : blobs_)
      QRN_LAYER_CHECK(b->count() == c) << "parameter blob " << b->shape_string() << " does not fit " << c
                                       << " channels";
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override { top[0]->ReshapeLike(*bottom[0]); }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.bn_param();
    const int channels = bottom[0]->shape(1), dim = bottom[0]->count(2);
    const float *scale = blobs_[0]->cpu_data(), *shift = blobs_[1]->cpu_data();
    const bool normalise = p.bn_mode() == BNParameter_BNMode_OTHER;
    const float *mean = normalise ? blobs_[2]->cpu_data() : nullptr, *var = normalise ? blobs_[3]->cpu_data() : nullptr;
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int i = 0; i < bottom[0]->count(); ++i) {
      const int c = (i / dim) % channels;
      y[i] = normalise ? scale[c] * (x[i] - mean[c]) / std::sqrt(var[c] + p.eps()) + shift[c]
                       : scale[c] * x[i] + shift[c];
    }
  }

  // Per channel: 8-bit multiplier in blob 0, 16-bit bias in blob 1, shift
  // byte c of rshift_per_layer.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const std::string& shifts = layer_param_.bn_param().rshift_per_layer();
    QRN_LAYER_CHECK(static_cast<int>(shifts.size()) == blobs_[0]->count())
        << "has " << shifts.size() << " per-channel shifts for " << blobs_[0]->count() << " channels";
    AffineInt8(*bottom[0], 1, *blobs_[0], blobs_[1].get(), shifts, layer_param_.followedbyrelu(), top[0]);
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

  // Per channel: 8-bit multiplier in blob 0, 16-bit bias in blob 1 (when
  // present), shift byte c of rshift_per_layer.  A Scale folded into the
  // BatchNorm or Scale before it has every multiplier, bias and shift 0: its
  // producer already applied its factors, so it hands the input on.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    QRN_LAYER_CHECK(bottom.size() == 1) << "has no 8-bit form with the scale as an input";
    const Blob<float>& m = *blobs_[0];
    const Blob<float>* b = blobs_.size() > 1 ? blobs_[1].get() : nullptr;
    const std::string& shifts = layer_param_.scale_param().rshift_per_layer();
    QRN_LAYER_CHECK(static_cast<int>(shifts.size()) == m.count())
        << "has " << shifts.size() << " per-channel shifts for " << m.count() << " channels";
    bool folded = true;
    for (int c = 0; c < m.count() && folded; ++c)
      folded = Int8At(m, c) == 0 && shifts[c] == 0 && (b == nullptr || Int16At(*b, c) == 0);
    if (folded) {
      for (int i = 0; i < bottom[0]->count(); ++i) SetInt8(top[0], i, Int8At(*bottom[0], i));
      top[0]->set_fixed_sign_type(bottom[0]->fixed_sign_type());
      return;
    }
    AffineInt8(*bottom[0], axis_, m, b, shifts, layer_param_.followedbyrelu(), top[0]);
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

  // x * mul_branch[0] plus the 16-bit bias of its channel, shifted right by
  // rshift_branch[0] (half up), rectified when fused with its ReLU, then
  // saturated: signed unless rectified.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const LayerParameter& lp = layer_param_;
    QRN_LAYER_CHECK(bottom.size() == 1) << "has no 8-bit form with the bias as an input";
    QRN_LAYER_CHECK(lp.mul_branch_size() > 0 && lp.rshift_branch_size() > 0) << "has no branch multiplier and shift";
    const Blob<float>& x = *bottom[0];
    const Blob<float>& b = *blobs_[0];
    const int32_t mul = static_cast<int32_t>(lp.mul_branch(0));
    const int s = static_cast<int>(lp.rshift_branch(0));
    const bool relu = lp.followedbyrelu();
    const int outer = x.count(0, axis_), nb = b.count();
    const int inner = x.count() / std::max(outer * nb, 1);
    for (int o = 0; o < outer; ++o)
      for (int c = 0; c < nb; ++c)
        for (int i = 0; i < inner; ++i) {
          const int k = (o * nb + c) * inner + i;
          SetInt8(top[0], k, FixFinish8(int64_t{Int8At(x, k)} * mul + Int16At(b, c), s, relu, !relu));
        }
    top[0]->set_fixed_sign_type(relu ? BlobProto_FixedSignType_UNSIGNED : BlobProto_FixedSignType_SIGNED);
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

  // In 8 bits with the calibration's tables: entry i = (sum of squares of the
  // 8-bit inputs - fmin_m) >> step_q, held to [0, 4095], gives an 8-bit
  // factor and its right shift; y = x * lut[i] * scale_int8[c] >> rshift[i]
  // (rounding half up, saturated).  scale_int8 holds each channel's scale
  // times 128 / th_top as an unsigned byte (128 is the usual value).  Without
  // tables an 8-bit run reads the inputs back as floats.
  static constexpr int kEntries = 4096;
  bool HasTables() const {
    const auto& p = layer_param_.normalize_param();
    return p.lut_table().size() == kEntries && p.lut_table_rshift().size() == kEntries;
  }
  bool ComputesInFloat() const override { return !HasTables(); }

  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.normalize_param();
    const Blob<float>& x = *bottom[0];
    const int num = x.shape(0), channels = x.shape(1), dim = x.count(2);
    QRN_LAYER_CHECK(static_cast<int>(p.scale_int8().size()) >= channels)
        << "has " << p.scale_int8().size() << " 8-bit scales for " << channels << " channels";
    QRN_LAYER_CHECK(p.step_q() >= 0 && p.step_q() < 63) << "step_q " << p.step_q();
    const bool is_signed = IsSigned(x);
    std::vector<int64_t> sums(dim);
    std::vector<int32_t> out(x.count());
    for (int n = 0; n < num; ++n) {
      const int base = n * channels * dim;
      std::fill(sums.begin(), sums.end(), 0);
      for (int c = 0; c < channels; ++c)
        for (int i = 0; i < dim; ++i) {
          const int64_t v = Int8At(x, base + c * dim + i);
          sums[p.across_spatial() ? 0 : i] += v * v;
        }
      for (int c = 0; c < channels; ++c) {
        const int64_t scale = static_cast<uint8_t>(p.scale_int8()[c]);
        for (int i = 0; i < dim; ++i) {
          const int64_t e = std::max<int64_t>(
              0, std::min<int64_t>(kEntries - 1, (sums[p.across_spatial() ? 0 : i] - p.fmin_m()) >> p.step_q()));
          const int64_t lut = static_cast<uint8_t>(p.lut_table()[e]);
          const int rs = std::min(40, static_cast<int>(static_cast<uint8_t>(p.lut_table_rshift()[e])));
          const int k = base + c * dim + i;
          out[k] = FixFinish8(int64_t{Int8At(x, k)} * lut * scale, rs, false, is_signed);
        }
      }
    }
    for (int k = 0; k < x.count(); ++k) SetInt8(top[0], k, out[k]);
    top[0]->set_fixed_sign_type(x.fixed_sign_type());
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.normalize_param();
    const int num = bottom[0]->shape(0), channels = bottom[0]->shape(1);
    const int dim = bottom[0]->count(2);
    const float* x = bottom[0]->cpu_data();
    // The quantizer stores the scales multiplied by 128 / th_top (bit width
    // 32); they are taken back to floats here.
    std::vector<float> scale(blobs_[0]->cpu_data(), blobs_[0]->cpu_data() + blobs_[0]->count());
    if (blobs_[0]->isQuantized() && blobs_[0]->bitWidth() == bitWidth_32)
      for (float& v : scale) v = static_cast<float>(v * (static_cast<double>(layer_param_.th_top()) / 128.0));
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
  RegisterLayer<BNLayer>("BN");
  RegisterLayer<ScaleLayer>("Scale");
  RegisterLayer<BiasLayer>("Bias");
  RegisterLayer<NormalizeLayer>("Normalize");
}

}  // namespace qrn
