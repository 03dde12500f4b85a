// Plain reference of the SSD detection output: centre-size box decoding, the
// per-class filter and sort, adaptive greedy NMS per class, the per-image cut
// and the detection records.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

namespace zv::ref {

using DetRecord = std::array<float, 7>;

struct SsdParams {
  int num, num_priors, num_classes, num_loc_classes;
  bool share_location;
  int background_label_id, top_k, keep_top_k;
  bool variance_encoded_in_target;
  float nms_threshold, confidence_threshold, eta;
};

// Corner box of prior j decoded from offsets l (x, y, width, height).
inline std::array<float, 4> ssd_decode(const float *prior, const float *var, const float *l, bool encoded) {
  float lx = l[0], ly = l[1], lw = l[2], lh = l[3];
  if (!encoded) {
    lx = lx * var[0];
    ly = ly * var[1];
    lw = lw * var[2];
    lh = lh * var[3];
  }
  const float pw = prior[2] - prior[0], ph = prior[3] - prior[1];
  const float cx = lx * pw + (prior[0] + prior[2]) * 0.5f;
  const float cy = ly * ph + (prior[1] + prior[3]) * 0.5f;
  const float w = std::exp(lw) * pw, h = std::exp(lh) * ph;
  const float x0 = cx - 0.5f * w, y0 = cy - 0.5f * h;
  return {x0, y0, x0 + w, y0 + h};
}

// IoU with the union raised to 1e-6 (zero-area boxes give 0).
inline float ssd_iou(const std::array<float, 4> &a, const std::array<float, 4> &b) {
  auto mx = [](float x, float y) { return x > y ? x : y; };
  auto mn = [](float x, float y) { return x < y ? x : y; };
  const float ow = mx(mn(a[2], b[2]) - mx(a[0], b[0]), 0.0f);
  const float oh = mx(mn(a[3], b[3]) - mx(a[1], b[1]), 0.0f);
  const float inter = ow * oh;
  const float area_a = (a[2] - a[0]) * (a[3] - a[1]), area_b = (b[2] - b[0]) * (b[3] - b[1]);
  return inter / mx(area_a + area_b - inter, 1e-6f);
}

// loc [num][np][nlc][4], conf [num][np][nc], prior [2][np][4]. When
// `margin` is given it receives the smallest distance |IoU - threshold| among
// the comparisons the suppression makes: an implementation whose boxes differ
// by less than that margin makes every decision the same way.
inline std::vector<DetRecord> ssd_detect_out(const std::vector<float> &loc, const std::vector<float> &conf,
                                             const std::vector<float> &prior, const SsdParams &p,
                                             float *margin = nullptr) {
  if (margin) *margin = INFINITY;
  const size_t np = size_t(p.num_priors), nc = size_t(p.num_classes), nlc = size_t(p.num_loc_classes);
  std::vector<DetRecord> out;
  for (int i = 0; i < p.num; i++) {
    if (p.keep_top_k == 0) continue;
    std::vector<DetRecord> image;
    for (size_t c = 0; c < nc; c++) {
      if (int(c) == p.background_label_id) continue;
      if (!p.share_location && c >= nlc) break;
      const size_t lc = p.share_location ? 0 : c;
      // Candidates: score above the threshold, descending, ties by prior.
      std::vector<size_t> cand;
      for (size_t j = 0; j < np; j++)
        if (conf[(size_t(i) * np + j) * nc + c] > p.confidence_threshold) cand.push_back(j);
      auto score = [&](size_t j) { return conf[(size_t(i) * np + j) * nc + c]; };
      std::stable_sort(cand.begin(), cand.end(), [&](size_t a, size_t b) { return score(a) > score(b); });
      if (p.top_k >= 0 && size_t(p.top_k) < cand.size()) cand.resize(size_t(p.top_k));
      std::vector<std::array<float, 4>> kept_boxes;
      float t = p.nms_threshold;
      for (size_t j : cand) {
        const std::array<float, 4> box =
            ssd_decode(&prior[4 * j], &prior[4 * np + 4 * j], &loc[((size_t(i) * np + j) * nlc + lc) * 4],
                       p.variance_encoded_in_target);
        bool keep = true;
        for (const auto &k : kept_boxes) {
          const float iou = ssd_iou(box, k);
          if (margin) *margin = std::min(*margin, std::fabs(iou - t));
          if (!(iou <= t)) {
            keep = false;
            break;
          }
        }
        if (!keep) continue;
        kept_boxes.push_back(box);
        image.push_back({float(i), float(c), score(j), box[0], box[1], box[2], box[3]});
        if (p.eta < 1.0f && t > 0.5f) t = t * p.eta;
      }
    }
    if (p.keep_top_k > 0 && image.size() > size_t(p.keep_top_k)) {
      std::stable_sort(image.begin(), image.end(), [](const DetRecord &a, const DetRecord &b) { return a[2] > b[2]; });
      image.resize(size_t(p.keep_top_k));
      std::stable_sort(image.begin(), image.end(),
                       [](const DetRecord &a, const DetRecord &b) { return a[2] - a[1] > b[2] - b[1]; });
    } else if (p.keep_top_k < 0 && image.size() > 200) {
      image.resize(200);
    }
    out.insert(out.end(), image.begin(), image.end());
  }
  if (out.empty())
    for (int i = 0; i < p.num; i++) out.push_back({float(i), -1, -1, -1, -1, -1, -1});
  return out;
}

}  // namespace zv::ref
