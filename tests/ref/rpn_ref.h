// Plain reference of the RPN proposal: anchors from base size, ratios and
// scales, delta decoding, size and score filter, clipping, stable score order,
// greedy pixel-inclusive NMS and the cuts.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

namespace zv::ref {

// Anchor 3 r + s for ratio r of (0.5, 1, 2) and scale s of (8, 16, 32).
inline std::vector<std::array<float, 4>> rpn_anchors(int base) {
  std::vector<std::array<float, 4>> out;
  const float ratios[3] = {0.5f, 1.0f, 2.0f}, scales[3] = {8, 16, 32};
  for (float r : ratios)
    for (float s : scales) {
      const float ws = std::round(std::sqrt(float(base * base) / r)), hs = std::round(ws * r);
      const float w = ws * s, h = hs * s, x1 = 0.5f * float(base) - 0.5f * w, y1 = 0.5f * float(base) - 0.5f * h;
      out.push_back({x1, y1, x1 + w - 1.0f, y1 + h - 1.0f});
    }
  return out;
}

struct RpnParams {
  int H, W, feat_stride, base_size, min_size, pre_nms_topN, post_nms_topN;
  float nms_thresh, score_thresh;
  float im_h, im_w, im_scale;
};

// scores: 9 foreground maps [a][H][W]; deltas [4 a + k][H][W] as f32. Rows
// [0, x1, y1, x2, y2].
inline std::vector<std::array<float, 5>> rpn_proposal(const std::vector<float> &scores,
                                                      const std::vector<float> &deltas, const RpnParams &p) {
  struct Box {
    float s;
    std::array<float, 4> b;
  };
  const auto anchors = rpn_anchors(p.base_size);
  const size_t HW = size_t(p.H) * size_t(p.W);
  const float ms = float(p.min_size) * p.im_scale;
  auto clip = [](float v, float hi) { return std::min(std::max(v, 0.0f), hi); };
  std::vector<Box> boxes;
  for (size_t a = 0; a < 9; a++)
    for (int y = 0; y < p.H; y++)
      for (int x = 0; x < p.W; x++) {
        const size_t pos = size_t(y) * size_t(p.W) + size_t(x);
        const float *d[4];
        for (size_t k = 0; k < 4; k++) d[k] = &deltas[(4 * a + k) * HW + pos];
        const float sx = float(x * p.feat_stride), sy = float(y * p.feat_stride);
        const float x1 = anchors[a][0] + sx, y1 = anchors[a][1] + sy;
        const float w = anchors[a][2] + sx - x1 + 1.0f, h = anchors[a][3] + sy - y1 + 1.0f;
        const float cx = *d[0] * w + (x1 + 0.5f * w), cy = *d[1] * h + (y1 + 0.5f * h);
        const float pw = std::exp(*d[2]) * w, ph = std::exp(*d[3]) * h;
        const float s = scores[a * HW + pos];
        if (pw < ms || ph < ms || s < p.score_thresh) continue;
        const float bx = cx - 0.5f * pw, by = cy - 0.5f * ph;
        boxes.push_back({s, {clip(bx, p.im_w), clip(by, p.im_h), clip(bx + pw, p.im_w), clip(by + ph, p.im_h)}});
      }
  std::stable_sort(boxes.begin(), boxes.end(), [](const Box &a, const Box &b) { return a.s > b.s; });
  if (p.pre_nms_topN > 0 && boxes.size() > size_t(p.pre_nms_topN)) boxes.resize(size_t(p.pre_nms_topN));
  auto iou = [](const std::array<float, 4> &a, const std::array<float, 4> &b) {
    const float w = std::max(std::min(a[2], b[2]) - std::max(a[0], b[0]) + 1.0f, 0.0f);
    const float h = std::max(std::min(a[3], b[3]) - std::max(a[1], b[1]) + 1.0f, 0.0f);
    const float inter = w * h;
    return inter / ((a[2] - a[0] + 1.0f) * (a[3] - a[1] + 1.0f) + (b[2] - b[0] + 1.0f) * (b[3] - b[1] + 1.0f) - inter);
  };
  std::vector<std::array<float, 5>> kept;
  std::vector<std::array<float, 4>> kb;
  for (const Box &b : boxes) {
    bool keep = true;
    for (const auto &k : kb)
      if (!(p.nms_thresh > iou(k, b.b))) keep = false;
    if (!keep) continue;
    kb.push_back(b.b);
    kept.push_back({0.0f, b.b[0], b.b[1], b.b[2], b.b[3]});
  }
  size_t n = std::min(kept.size(), size_t(200));
  if (p.post_nms_topN > 0) n = std::min(n, size_t(p.post_nms_topN));
  kept.resize(n);
  return kept;
}

}  // namespace zv::ref
