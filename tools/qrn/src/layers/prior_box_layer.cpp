// "PriorBox": the SSD prior boxes of a feature map (bottom 0) over an image
// (bottom 1), normalised to the image, then their variances:
// top 1 x 2 x (H W P 4). Per position, for each minimum size m: the box of
// side m, then (with maximum sizes) the box of side sqrt(m M), then for each
// aspect ratio r other than 1 (flip adds 1 / r) the box m sqrt(r) x m / sqrt(r).
// Centres at ((x + offset) step_w, (y + offset) step_h). A layer that holds
// its boxes as blob 0 (precomputed) hands them on. The boxes stay float in an
// 8-bit run (the generic path quantizes them when the output is not float).
#include <algorithm>
#include <cmath>
#include <vector>

#include "layers/register.hpp"

namespace qrn {
namespace {

class PriorBoxLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "PriorBox"; }

 protected:
  int ExactNumBottomBlobs() const override { return 2; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }
  bool ComputesInFloat() const override { return true; }

  void LayerSetUp(const BlobVec& bottom, const BlobVec&) override {
    const auto& p = layer_param_.prior_box_param();
    QRN_LAYER_CHECK(bottom[0]->num_axes() == 4 && bottom[1]->num_axes() == 4)
        << "needs 4-axis inputs, has " << bottom[0]->shape_string() << " and " << bottom[1]->shape_string();
    ratios_.assign(1, 1.0f);
    for (float r : p.aspect_ratio()) {
      QRN_LAYER_CHECK(r > 0.0f) << "aspect ratio " << r;
      bool known = false;
      for (float k : ratios_) known = known || std::fabs(r - k) < 1e-6f;
      if (known) continue;
      ratios_.push_back(r);
      if (p.flip()) ratios_.push_back(1.0f / r);
    }
    QRN_LAYER_CHECK(blobs_.size() == 1 || p.min_size_size() > 0) << "needs a minimum size";
    QRN_LAYER_CHECK(p.max_size_size() == 0 || p.max_size_size() == p.min_size_size())
        << "has " << p.max_size_size() << " maximum sizes for " << p.min_size_size() << " minimum sizes";
    for (int i = 0; i < p.max_size_size(); ++i)
      QRN_LAYER_CHECK(p.max_size(i) > p.min_size(i)) << "maximum size " << p.max_size(i) << " not above "
                                                     << p.min_size(i);
    QRN_LAYER_CHECK(p.variance_size() <= 1 || p.variance_size() == 4)
        << "has " << p.variance_size() << " variances (1 or 4)";
    priors_ = p.min_size_size() * (static_cast<int>(ratios_.size()) + (p.max_size_size() > 0 ? 1 : 0));
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const int count = bottom[0]->height() * bottom[0]->width() * priors_ * 4;
    if (blobs_.size() == 1) {
      top[0]->Reshape(blobs_[0]->shape());
      return;
    }
    top[0]->Reshape(std::vector<int>{1, 2, count});
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    if (blobs_.size() == 1) {
      std::copy(blobs_[0]->cpu_data(), blobs_[0]->cpu_data() + blobs_[0]->count(), top[0]->mutable_cpu_data());
      return;
    }
    const auto& p = layer_param_.prior_box_param();
    const int H = bottom[0]->height(), W = bottom[0]->width();
    float img_h = static_cast<float>(bottom[1]->height()), img_w = static_cast<float>(bottom[1]->width());
    if (p.has_img_h() || p.has_img_w()) {
      img_h = static_cast<float>(p.img_h());
      img_w = static_cast<float>(p.img_w());
    } else if (p.has_img_size()) {
      img_h = img_w = static_cast<float>(p.img_size());
    }
    float step_h = img_h / H, step_w = img_w / W;
    if (p.has_step_h() || p.has_step_w()) {
      step_h = p.step_h();
      step_w = p.step_w();
    } else if (p.has_step()) {
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

  std::vector<float> ratios_;
  int priors_ = 0;
};

}  // namespace

void RegisterPriorBoxLayer() { RegisterLayer<PriorBoxLayer>("PriorBox"); }

}  // namespace qrn
