// Layers that place values without arithmetic: "Pad" (a constant border),
// "ConstantFill" (a blob of one value) and "Tile" (repeats along one axis).
// In 8 bits they place the 8-bit values the same way; the pad and fill
// values come from their 8-bit fields.
#include <cstdint>
#include <string>
#include <vector>

#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/fixed_point.hpp"

namespace qrn {
namespace {

// y = x with pads[2k], pads[2k + 1] values of `value` before and after each of
// the last pads.size() / 2 axes.  Works on any element type of the storage.
template <typename T>
void PadCopy(const T* x, const std::vector<int>& in_shape, const std::vector<int>& before,
             const std::vector<int>& out_shape, T value, T* y) {
  const int axes = static_cast<int>(out_shape.size());
  std::vector<int> idx(axes, 0);
  int64_t total = 1;
  for (int d : out_shape) total *= d;
  for (int64_t o = 0; o < total; ++o) {
    int64_t k = 0;
    bool inside = true;
    for (int a = 0; a < axes; ++a) {
      const int i = idx[a] - before[a];
      inside = inside && i >= 0 && i < in_shape[a];
      k = k * in_shape[a] + i;
    }
    y[o] = inside ? x[k] : value;
    for (int a = axes - 1; a >= 0; --a) {
      if (++idx[a] < out_shape[a]) break;
      idx[a] = 0;
    }
  }
}

class PadLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Pad"; }
  bool AllowInPlace() const override { return false; }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& pads = layer_param_.pad_param().pads();
    const int axes = bottom[0]->num_axes();
    QRN_LAYER_CHECK(pads.size() % 2 == 0 && pads.size() / 2 <= axes)
        << "has " << pads.size() << " pad values for " << axes << " axes (a before and after pair per axis)";
    before_.assign(axes, 0);
    out_shape_ = bottom[0]->shape();
    const int first = axes - pads.size() / 2;
    for (int a = first; a < axes; ++a) {
      const int b = pads.Get(2 * (a - first)), e = pads.Get(2 * (a - first) + 1);
      QRN_LAYER_CHECK(b >= 0 && e >= 0) << "pads axis " << a << " by " << b << " and " << e;
      before_[a] = b;
      out_shape_[a] += b + e;
    }
    top[0]->Reshape(out_shape_);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    PadCopy(bottom[0]->cpu_data(), bottom[0]->shape(), before_, out_shape_, layer_param_.pad_param().pad_value(),
            top[0]->mutable_cpu_data());
  }

  // The pad byte is pad_value_fix8b cut to 8 bits, as the card takes it.
  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    PadCopy(bottom[0]->cpu_unint8_data(), bottom[0]->shape(), before_, out_shape_,
            static_cast<uint8_t>(layer_param_.pad_param().pad_value_fix8b()), top[0]->mutable_cpu_unint8_data());
    top[0]->set_fixed_sign_type(bottom[0]->fixed_sign_type());
  }

  std::vector<int> before_, out_shape_;
};

// A blob of `value`, shaped by `shape` or, when that is empty, like the input.
class ConstantFillLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "ConstantFill"; }
  bool AllowInPlace() const override { return false; }

 protected:
  int MaxBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.constant_fill_param();
    if (p.shape_size() == 0) {
      QRN_LAYER_CHECK(!bottom.empty()) << "has neither a shape nor an input to take it from";
      top[0]->ReshapeLike(*bottom[0]);
      return;
    }
    std::vector<int> shape;
    for (int64_t d : p.shape()) {
      QRN_LAYER_CHECK(d >= 0 && d <= INT32_MAX) << "shape extent " << d;
      shape.push_back(static_cast<int>(d));
    }
    top[0]->Reshape(shape);
  }

  void Forward_cpu(const BlobVec&, const BlobVec& top) override {
    const float v = static_cast<float>(layer_param_.constant_fill_param().value());
    float* y = top[0]->mutable_cpu_data();
    for (int i = 0; i < top[0]->count(); ++i) y[i] = v;
  }

  // value_fix8b (already in the output's scale and range) as a signed byte.
  void Forward_int8(const BlobVec&, const BlobVec& top) override {
    const int32_t v = layer_param_.constant_fill_param().value_fix8b();
    const int32_t q = v < -128 ? -128 : v > 127 ? 127 : v;
    for (int i = 0; i < top[0]->count(); ++i) SetInt8(top[0], i, q);
    top[0]->set_fixed_sign_type(BlobProto_FixedSignType_SIGNED);
  }
};

template <typename T>
void TileCopy(const T* x, int64_t outer, int tiles, int64_t inner, T* y) {
  for (int64_t o = 0; o < outer; ++o)
    for (int t = 0; t < tiles; ++t)
      for (int64_t i = 0; i < inner; ++i) y[(o * tiles + t) * inner + i] = x[o * inner + i];
}

// The input repeated `tiles` times along `axis`: y[o][t][i] = x[o][i], with
// o over the axes before `axis` and i over `axis` and the axes after it.  A
// layer with a parameter blob tiles the blob instead (an input, if any, only
// places the layer in the net).  In 8 bits the input's bytes are tiled; a
// blob is a constant, computed like one in float: the calibration stores it
// as int8 in the output's scale, which the generic path hands on unchanged
// (or as floats when the output is float).
class TileLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Tile"; }
  bool AllowInPlace() const override { return false; }

 protected:
  int MaxBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  bool ComputesInFloat() const override { return !blobs_.empty(); }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    QRN_LAYER_CHECK(blobs_.size() <= 1) << "has " << blobs_.size() << " parameter blobs (at most 1: the tiled values)";
    QRN_LAYER_CHECK(!blobs_.empty() || bottom.size() == 1) << "has neither an input nor a parameter blob to tile";
  }

  const Blob<float>& Source(const BlobVec& bottom) const { return blobs_.empty() ? *bottom[0] : *blobs_[0]; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.tile_param();
    const Blob<float>& x = Source(bottom);
    axis_ = x.CanonicalAxisIndex(p.axis());
    QRN_LAYER_CHECK(p.tiles() > 0) << "tiles " << p.tiles();
    std::vector<int> shape = x.shape();
    QRN_LAYER_CHECK(int64_t{shape[axis_]} * p.tiles() <= INT32_MAX) << "tiles axis " << axis_ << " too far";
    shape[axis_] *= p.tiles();
    top[0]->Reshape(shape);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const Blob<float>& x = Source(bottom);
    std::vector<float> stored;
    const float* values = x.cpu_data();
    if (!blobs_.empty() && x.isQuantized()) {
      QRN_LAYER_CHECK(x.bitWidth() == bitWidth_8) << "holds its values in bit width code " << x.bitWidth()
                                                  << ", only 8-bit values are read";
      stored = StoredInt8AsFloats(x, layer_param_);
      values = stored.data();
    }
    TileCopy(values, x.count(0, axis_), layer_param_.tile_param().tiles(), x.count(axis_), top[0]->mutable_cpu_data());
  }

  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    TileCopy(bottom[0]->cpu_unint8_data(), bottom[0]->count(0, axis_), layer_param_.tile_param().tiles(),
             bottom[0]->count(axis_), top[0]->mutable_cpu_unint8_data());
    top[0]->set_fixed_sign_type(bottom[0]->fixed_sign_type());
  }

  int axis_ = 0;
};

}  // namespace

void RegisterFillPadTileLayers() {
  RegisterLayer<PadLayer>("Pad");
  RegisterLayer<ConstantFillLayer>("ConstantFill");
  RegisterLayer<TileLayer>("Tile");
}

}  // namespace qrn
