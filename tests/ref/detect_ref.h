// Plain references of the detection layers: box overlap, greedy suppression in
// score order and the soft-NMS weights.
#pragma once

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace zv::ref {

struct Rect {
  float x1, y1, x2, y2, score;
};

// IoU of corner boxes a and b; inclusive counts pixel widths (x2 - x1 + 1).
// Negative overlaps count as 0; the union is the two areas' sum less the
// intersection, and a zero union gives NaN.
inline float box_iou(const Rect &a, const Rect &b, bool inclusive) {
  const float one = inclusive ? 1.0f : 0.0f;
  float w = std::min(a.x2, b.x2) - std::max(a.x1, b.x1) + one;
  float h = std::min(a.y2, b.y2) - std::max(a.y1, b.y1) + one;
  w = w > 0 ? w : 0.0f;
  h = h > 0 ? h : 0.0f;
  const float inter = w * h;
  const float area_a = (a.x2 - a.x1 + one) * (a.y2 - a.y1 + one);
  const float area_b = (b.x2 - b.x1 + one) * (b.y2 - b.y1 + one);
  return inter / (area_a + area_b - inter);
}

// Positions of the boxes in descending score order, equal scores in input order.
inline std::vector<int> score_order(const std::vector<Rect> &boxes) {
  std::vector<int> order(boxes.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return boxes[a].score > boxes[b].score; });
  return order;
}

// Greedy NMS over the first `take` boxes of `order`: a box is kept unless a kept
// box earlier in the order overlaps it by more than the threshold. Returns
// the kept input positions, in order, at most max_keep of them.
inline std::vector<int> greedy_nms(const std::vector<Rect> &boxes, const std::vector<int> &order, size_t take,
                                   float threshold, bool inclusive, size_t max_keep = ~size_t(0)) {
  std::vector<int> kept;
  for (size_t i = 0; i < take && i < order.size() && kept.size() < max_keep; i++) {
    const Rect &b = boxes[size_t(order[i])];
    bool suppressed = false;
    for (int k : kept)
      if (box_iou(boxes[size_t(k)], b, inclusive) > threshold) suppressed = true;
    if (!suppressed) kept.push_back(order[i]);
  }
  return kept;
}

// Soft-NMS weight of an overlap: method 0 linear (1 - IoU), 1 gaussian
// (exp(-IoU^2 / sigma)).
inline float soft_weight(float iou, int method, float sigma) {
  if (method == 0) return 1.0f - iou;
  return float(std::exp(double((iou * iou) / -sigma)));
}

// ROI max pooling of one C x H x W map: each ROI [batch, x1, y1, x2, y2] is
// scaled and rounded (half away from zero), cut into pooled_h x pooled_w bins
// of roi / pooled cells (bin ph covers rows floor(ph * bin) to
// ceil((ph + 1) * bin) - 1 from the start), each bin limited to the map; a bin
// with no cell inside gives 0. Output [roi][c][ph][pw].
inline std::vector<float> roi_pool(const std::vector<float> &map, int C, int H, int W, const std::vector<float> &rois,
                                   int pooled_h, int pooled_w, float scale) {
  const size_t n = rois.size() / 5;
  std::vector<float> out;
  for (size_t r = 0; r < n; r++) {
    const float *q = &rois[5 * r];
    const int sw = int(std::round(double(q[1]) * scale)), sh = int(std::round(double(q[2]) * scale));
    const int ew = int(std::round(double(q[3]) * scale)), eh = int(std::round(double(q[4]) * scale));
    const int rh = std::max(eh - sh, 0) + 1, rw = std::max(ew - sw, 0) + 1;
    const float bh = float(rh) / float(pooled_h), bw = float(rw) / float(pooled_w);
    for (int c = 0; c < C; c++)
      for (int ph = 0; ph < pooled_h; ph++)
        for (int pw = 0; pw < pooled_w; pw++) {
          const int h0 = std::clamp(int(std::floor(float(ph) * bh)) + sh, 0, H);
          const int h1 = std::clamp(int(std::ceil(float(ph + 1) * bh)) + sh, 0, H);
          const int w0 = std::clamp(int(std::floor(float(pw) * bw)) + sw, 0, W);
          const int w1 = std::clamp(int(std::ceil(float(pw + 1) * bw)) + sw, 0, W);
          float m = 0;
          if (h1 > h0 && w1 > w0) {
            m = -3.4028235e38f;
            for (int y = h0; y < h1; y++)
              for (int x = w0; x < w1; x++) m = std::max(m, map[size_t((c * H + y) * W + x)]);
          }
          out.push_back(m);
        }
  }
  return out;
}

// Bin (ph, pw) of ROI q = [batch, x1, y1, x2, y2] on an H x W map, as the
// rows [h0, h1) and columns [w0, w1) it averages.
struct PsroiBinRef {
  int h0, h1, w0, w1;
};
inline PsroiBinRef psroi_bin_ref(const float *q, int H, int W, int group, float scale, int ph, int pw) {
  const float sw = float(std::round(double(q[1])) * scale), sh = float(std::round(double(q[2])) * scale);
  const float ew = float((std::round(double(q[3])) + 1.0) * scale);
  const float eh = float((std::round(double(q[4])) + 1.0) * scale);
  const float rw = std::max(ew - sw, 0.1f), rh = std::max(eh - sh, 0.1f);
  const float bw = rw / float(group), bh = rh / float(group);
  return {std::clamp(int(std::floor(sh + float(ph) * bh)), 0, H),
          std::clamp(int(std::ceil(sh + float(ph + 1) * bh)), 0, H),
          std::clamp(int(std::floor(sw + float(pw) * bw)), 0, W),
          std::clamp(int(std::ceil(sw + float(pw + 1) * bw)), 0, W)};
}

// Position-sensitive ROI average pooling: the ROI's corners rounded (half
// away from zero), the far corner one cell on, both scaled; its size at least
// 0.1; bin (ph, pw) covers floor(start + ph * bin) to ceil(start + (ph + 1) *
// bin) - 1, limited to the map, and averages input channel
// (k * group + ph) * group + pw for output channel k; an empty bin gives 0.
// Output [roi][k][ph][pw].
inline std::vector<float> psroi_pool(const std::vector<float> &map, int H, int W, const std::vector<float> &rois,
                                     int output_dim, int group, float scale) {
  std::vector<float> out;
  for (size_t r = 0; r < rois.size() / 5; r++) {
    const float *q = &rois[5 * r];
    for (int k = 0; k < output_dim; k++)
      for (int ph = 0; ph < group; ph++)
        for (int pw = 0; pw < group; pw++) {
          const auto [h0, h1, w0, w1] = psroi_bin_ref(q, H, W, group, scale, ph, pw);
          const int ch = (k * group + ph) * group + pw;
          double sum = 0;
          for (int y = h0; y < h1; y++)
            for (int x = w0; x < w1; x++) sum += map[size_t((ch * H + y) * W + x)];
          out.push_back(h1 > h0 && w1 > w0 ? float(sum / double((h1 - h0) * (w1 - w0))) : 0.0f);
        }
  }
  return out;
}

// YOLO region activation of n images of C channels of S positions, groups of
// t = coords + classes + 1 channels: in each of the first num groups the box
// offsets (0, 1) and the objectness (coords) take the sigmoid, the sizes stay
// raw, the classes take the sigmoid or, with softmax, a softmax across them
// (from the background channel coords when there is one, which otherwise
// stays raw without softmax). The other groups stay raw.
inline std::vector<float> yolo_region(const std::vector<float> &in, int n, int C, int S, int num, int classes,
                                      int coords, bool background, bool softmax) {
  const int t = coords + classes + 1;
  std::vector<float> out = in;
  auto sig = [](float x) { return float(1.0 / (1.0 + std::exp(-double(x)))); };
  for (int b = 0; b < n; b++)
    for (int g = 0; g < num; g++) {
      const size_t base = size_t(b) * size_t(C) * size_t(S) + size_t(g * t) * size_t(S);
      for (int k = 0; k < t; k++) {
        const bool raw = (k >= 2 && k < coords) || (k == coords && background && !softmax);
        const bool soft = softmax && (k > coords || (k == coords && background));
        if (raw || soft) continue;
        for (int p = 0; p < S; p++) out[base + size_t(k * S + p)] = sig(in[base + size_t(k * S + p)]);
      }
      if (!softmax) continue;
      const int first = background ? coords : coords + 1, count = classes + (background ? 1 : 0);
      for (int p = 0; p < S; p++) {
        double m = -1e300, sum = 0;
        for (int k = 0; k < count; k++) m = std::max(m, double(in[base + size_t((first + k) * S + p)]));
        for (int k = 0; k < count; k++) sum += std::exp(double(in[base + size_t((first + k) * S + p)]) - m);
        for (int k = 0; k < count; k++)
          out[base + size_t((first + k) * S + p)] =
              float(std::exp(double(in[base + size_t((first + k) * S + p)]) - m) / sum);
      }
    }
  return out;
}

// SSD prior boxes: at position (y, x) the centre cx = (x + offset) * (step_w /
// img_w), cy likewise; prior p is [cx - hw_p, cy - hh_p, cx + hw_p, cy + hh_p]
// (clipped to [0, 1] when asked); then the same count of variance quadruples
// (one value repeated, or four in order). hw and hh list the priors' half
// extents in generation order.
inline std::vector<float> prior_boxes(int W, int H, int img_w, int img_h, float step_w, float step_h, float offset,
                                      const std::vector<float> &hw, const std::vector<float> &hh, bool clip,
                                      const std::vector<float> &variances) {
  const float sw = step_w / float(img_w), sh = step_h / float(img_h);
  std::vector<float> out, var;
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      const float cx = (float(x) + offset) * sw, cy = (float(y) + offset) * sh;
      for (size_t p = 0; p < hw.size(); p++) {
        float b[4] = {cx + -hw[p], cy + -hh[p], cx + hw[p], cy + hh[p]};
        for (float &v : b) {
          if (clip) v = std::min(std::max(v, 0.0f), 1.0f);
          out.push_back(v);
        }
        for (int k = 0; k < 4; k++) var.push_back(variances.size() == 1 ? variances[0] : variances[size_t(k)]);
      }
    }
  out.insert(out.end(), var.begin(), var.end());
  return out;
}

}  // namespace zv::ref
