// "PriorBox": the prior boxes of a feature map (bottom 0) over an image
// (bottom 1, or the image size of the parameters), normalised to the image,
// then their variances: top 1 x 2 x (H W P 4). Per position, for each minimum
// size m: the box of side m, then (with maximum sizes) the box of side
// sqrt(m M), then for each aspect ratio r other than 1 (flip adds 1 / r) the
// box m sqrt(r) x m / sqrt(r). Centres at ((x + offset) step_w,
// (y + offset) step_h). A layer that holds its boxes as blob 0 (precomputed)
// hands them on.
//
// The boxes are computed in float in an 8-bit run too (the generic path
// quantizes them when the output is not float). Precomputed boxes that the
// calibration turned into 8 bits are read back as value x th_top / 128: their
// float values no longer exist.
//
// Nets are built whatever the box parameters say (a definition may be
// rewritten or calibrated without ever running this layer); what the boxes
// need - a minimum size, a 4-axis feature map, an image size - is checked when
// they are computed.
#include <algorithm>
#include <cmath>
#include <vector>

#include "layers/register.hpp"
#include "qrn/fixed_point.hpp"

namespace qrn {
namespace {

class PriorBoxLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "PriorBox"; }

 protected:
  int MinBottomBlobs() const override { return 1; }
  int MaxBottomBlobs() const override { return 2; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }
  bool ComputesInFloat() const override { return true; }

  void LayerSetUp(const BlobVec&, const BlobVec&) override {
    const auto& p = layer_param_.prior_box_param();
    ratios_.assign(1, 1.0f);
    for (float r : p.aspect_ratio()) {
      QRN_LAYER_CHECK(r > 0.0f) << "aspect ratio " << r;
      bool known = false;
      for (float k : ratios_) known = known || std::fabs(r - k) < 1e-6f;
      if (known) continue;
      ratios_.push_back(r);
      if (p.flip()) ratios_.push_back(1.0f / r);
    }
    QRN_LAYER_CHECK(p.max_size_size() == 0 || p.max_size_size() == p.min_size_size())
        << "has " << p.max_size_size() << " maximum sizes for " << p.min_size_size() << " minimum sizes";
    for (int i = 0; i < p.max_size_size(); ++i)
      QRN_LAYER_CHECK(p.max_size(i) > p.min_size(i)) << "maximum size " << p.max_size(i) << " not above "
                                                     << p.min_size(i);
    QRN_LAYER_CHECK(p.variance_size() <= 1 || p.variance_size() == 4)
        << "has " << p.variance_size() << " variances (1 or 4)";
    QRN_LAYER_CHECK(blobs_.size() <= 1) << "has " << blobs_.size() << " parameter blobs (at most 1: the boxes)";
    priors_ = p.min_size_size() * (static_cast<int>(ratios_.size()) + (p.max_size_size() > 0 ? 1 : 0));
  }

  // 1 x 2 x (boxes x 4 coordinates). A layer that cannot generate boxes (no
  // minimum size, a feature map without 4 axes) is shaped like its feature
  // map, so that the net around it can still be wired and calibrated; running
  // it stops.
  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    if (blobs_.size() == 1) {
      top[0]->Reshape(blobs_[0]->shape());
      return;
    }
    if (priors_ == 0 || bottom[0]->num_axes() != 4) {
      top[0]->ReshapeLike(*bottom[0]);
      return;
    }
    const int64_t count = int64_t{bottom[0]->shape(2)} * bottom[0]->shape(3) * priors_ * 4;
    QRN_LAYER_CHECK(2 * count <= INT32_MAX) << count << " box coordinates";
    top[0]->Reshape(std::vector<int>{1, 2, static_cast<int>(count)});
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    if (blobs_.size() == 1) {
      CopyStoredBoxes(top[0]);
      return;
    }
    const auto& p = layer_param_.prior_box_param();
    QRN_LAYER_CHECK(p.min_size_size() > 0) << "needs a minimum size to generate its boxes";
    QRN_LAYER_CHECK(bottom[0]->num_axes() == 4) << "needs a 4-axis feature map, has " << bottom[0]->shape_string();
    const int H = bottom[0]->shape(2), W = bottom[0]->shape(3);
    // The image size: img_h / img_w, else img_size, else the second input
    // (a size of 0 counts as not given).
    float img_h = 0.0f, img_w = 0.0f;
    if (p.img_h() > 0 && p.img_w() > 0) {
      img_h = static_cast<float>(p.img_h());
      img_w = static_cast<float>(p.img_w());
    } else if (p.img_size() > 0) {
      img_h = img_w = static_cast<float>(p.img_size());
    } else if (bottom.size() == 2 && bottom[1]->num_axes() == 4) {
      img_h = static_cast<float>(bottom[1]->shape(2));
      img_w = static_cast<float>(bottom[1]->shape(3));
    }
    QRN_LAYER_CHECK(img_h > 0.0f && img_w > 0.0f)
        << "needs the image size: a 4-axis second input, or img_size, or img_h and img_w";
    float step_h = img_h / H, step_w = img_w / W;
    if (p.step_h() > 0.0f && p.step_w() > 0.0f) {
      step_h = p.step_h();
      step_w = p.step_w();
    } else if (p.step() > 0.0f) {
      step_h = step_w = p.step();
    }
    float* y = top[0]->mutable_cpu_data();
    const int count = H * W * priors_ * 4;
    int k = 0;
    auto box = [&](float cx, float cy, float bw, float bh) {
      y[k++] = (cx - bw / 2) / img_w;
      y[k++] = (cy - bh / 2) / img_h;
      y[k++] = (cx + bw / 2) / img_w;
      y[k++] = (cy + bh / 2) / img_h;
    };
    for (int h = 0; h < H; ++h)
      for (int w = 0; w < W; ++w) {
        const float cx = (w + p.offset()) * step_w, cy = (h + p.offset()) * step_h;
        for (int i = 0; i < p.min_size_size(); ++i) {
          const float m = p.min_size(i);
          box(cx, cy, m, m);
          if (p.max_size_size() > 0) {
            const float s = std::sqrt(m * p.max_size(i));
            box(cx, cy, s, s);
          }
          for (float r : ratios_) {
            if (std::fabs(r - 1.0f) < 1e-6f) continue;
            box(cx, cy, m * std::sqrt(r), m / std::sqrt(r));
          }
        }
      }
    if (p.clip())
      for (int i = 0; i < count; ++i) y[i] = std::min(std::max(y[i], 0.0f), 1.0f);
    for (int i = 0; i < count; ++i)
      y[count + i] = p.variance_size() == 0 ? 0.1f : p.variance_size() == 1 ? p.variance(0) : p.variance(i % 4);
  }

  void CopyStoredBoxes(Blob<float>* top) {
    const Blob<float>& b = *blobs_[0];
    float* y = top->mutable_cpu_data();
    if (!b.isQuantized()) {
      std::copy(b.cpu_data(), b.cpu_data() + b.count(), y);
      return;
    }
    QRN_LAYER_CHECK(b.bitWidth() == bitWidth_8) << "holds its boxes in " << b.bitWidth()
                                                << " (bit width code), only 8-bit boxes are read";
    const std::vector<float> v = StoredInt8AsFloats(b, layer_param_);
    std::copy(v.begin(), v.end(), y);
  }

  std::vector<float> ratios_;
  int priors_ = 0;
};

}  // namespace

void RegisterPriorBoxLayer() { RegisterLayer<PriorBoxLayer>("PriorBox"); }

}  // namespace qrn
