// Plain reference of the YOLOv3 detection output: best class per cell and
// anchor, score and decode, the stable score order, class-agnostic greedy
// NMS, the keep_top_k cut and the [image, -1 x 6] records of empty passes.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

namespace zv::ref {

struct YoloHead {
  int h, w;
  std::vector<float> data;  // [num][num_boxes * (num_classes + 5)][h][w]
};

struct YoloParams {
  int num, num_classes, num_boxes, mask_group, keep_top_k;
  float nms_threshold, confidence_threshold;
  std::array<float, 18> biases;
  std::array<float, 3> strides;
  std::array<float, 9> mask;
};

inline float yolo_sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// IoU of centre-size boxes (fields 3..6 of a record).
inline float yolo_box_iou(const std::array<float, 7> &a, const std::array<float, 7> &b) {
  const float ax0 = a[3] - a[5] * 0.5f, ax1 = a[3] + a[5] * 0.5f, ay0 = a[4] - a[6] * 0.5f, ay1 = a[4] + a[6] * 0.5f;
  const float bx0 = b[3] - b[5] * 0.5f, bx1 = b[3] + b[5] * 0.5f, by0 = b[4] - b[6] * 0.5f, by1 = b[4] + b[6] * 0.5f;
  const float ow = std::min(ax1, bx1) - std::max(ax0, bx0), oh = std::min(ay1, by1) - std::max(ay0, by0);
  const float inter = (ow < 0 || oh < 0) ? 0.0f : ow * oh;
  return inter / (a[5] * a[6] + b[5] * b[6] - inter);
}

// Image b's candidates over every head (the best class of each cell and
// anchor scoring above the confidence threshold, decoded), in stable order of
// descending score. With threshold_margin, also the smallest distance of any
// cell's score from the threshold, kept or not.
inline std::vector<std::array<float, 7>> yolov3_candidates(const std::vector<YoloHead> &heads, const YoloParams &p,
                                                           int b, float *threshold_margin = nullptr) {
  using Rec = std::array<float, 7>;
  std::vector<Rec> cand;
  const int C5 = p.num_classes + 5;
  for (size_t k = 0; k < heads.size(); k++) {
    const YoloHead &hd = heads[k];
    const size_t S = size_t(hd.h) * size_t(hd.w);
    auto at = [&](int j, int ch, int r, int x) {
      return hd.data[((size_t(b) * size_t(p.num_boxes) + size_t(j)) * size_t(C5) + size_t(ch)) * S +
                     size_t(r) * size_t(hd.w) + size_t(x)];
    };
    for (int r = 0; r < hd.h; r++)
      for (int x = 0; x < hd.w; x++)
        for (int j = 0; j < p.num_boxes; j++) {
          int cls = 0;
          for (int c = 1; c < p.num_classes; c++)
            if (at(j, 5 + c, r, x) > at(j, 5 + cls, r, x)) cls = c;
          const float score = yolo_sigmoid(at(j, 5 + cls, r, x)) * yolo_sigmoid(at(j, 4, r, x));
          if (threshold_margin != nullptr)
            *threshold_margin = std::min(*threshold_margin, std::fabs(score - p.confidence_threshold));
          if (!(score > p.confidence_threshold)) continue;
          const unsigned m = unsigned(p.mask[size_t(int(k) * p.mask_group + j)]);
          const float cx = (yolo_sigmoid(at(j, 0, r, x)) + float(x)) * (1.0f / float(hd.w));
          const float cy = (yolo_sigmoid(at(j, 1, r, x)) + float(r)) * (1.0f / float(hd.h));
          const float bw = std::exp(at(j, 2, r, x)) * p.biases[2 * m] / (float(hd.w) * p.strides[k]);
          const float bh = std::exp(at(j, 3, r, x)) * p.biases[2 * m + 1] / (float(hd.h) * p.strides[k]);
          cand.push_back({float(b), float(cls), score, cx, cy, bw, bh});
        }
  }
  std::stable_sort(cand.begin(), cand.end(), [](const Rec &x, const Rec &y) { return x[2] > y[2]; });
  return cand;
}

// Class-agnostic greedy NMS of score-ordered candidates. With iou_margin,
// also the smallest distance from the NMS threshold of any IoU it compares.
inline std::vector<std::array<float, 7>> yolov3_nms(const std::vector<std::array<float, 7>> &cand,
                                                    const YoloParams &p, float *iou_margin = nullptr) {
  using Rec = std::array<float, 7>;
  std::vector<Rec> kept;
  for (const Rec &c : cand) {
    bool keep = true;
    for (const Rec &k : kept) {
      const float iou = yolo_box_iou(k, c);
      if (iou_margin != nullptr) *iou_margin = std::min(*iou_margin, std::fabs(iou - p.nms_threshold));
      if (iou >= p.nms_threshold) keep = false;
    }
    if (keep) kept.push_back(c);
  }
  return kept;
}

inline std::vector<std::array<float, 7>> yolov3_detect_out(const std::vector<YoloHead> &heads, const YoloParams &p) {
  using Rec = std::array<float, 7>;
  std::vector<Rec> out;
  const int pass_images = !heads.empty() && heads[0].h == 19 ? 8 : 16;
  for (int p0 = 0; p0 < p.num; p0 += pass_images) {
    const int end = std::min(p.num, p0 + pass_images);
    size_t pass = 0;
    for (int b = p0; b < end; b++) {
      std::vector<Rec> kept = yolov3_nms(yolov3_candidates(heads, p, b), p);
      if (p.keep_top_k > 0 && kept.size() > size_t(p.keep_top_k)) kept.resize(size_t(p.keep_top_k));
      out.insert(out.end(), kept.begin(), kept.end());
      pass += kept.size();
    }
    if (pass == 0)
      for (int b = p0; b < end; b++) out.push_back({float(b), -1, -1, -1, -1, -1, -1});
  }
  return out;
}

// How far a scene stands from the places where a rounding of the last bit
// decides the result: the smallest distance of a score from the confidence
// threshold, the smallest relative gap between two different scores of an
// image, and the smallest distance of an IoU that the NMS compares from the
// NMS threshold. Where all three are well above the float rounding of the
// engine's exponential, the kept set and its order are defined exactly.
struct YoloMargins {
  float threshold = INFINITY, score_gap = INFINITY, iou = INFINITY;
};

inline YoloMargins yolov3_margins(const std::vector<YoloHead> &heads, const YoloParams &p) {
  using Rec = std::array<float, 7>;
  YoloMargins m;
  for (int b = 0; b < p.num; b++) {
    const std::vector<Rec> cand = yolov3_candidates(heads, p, b, &m.threshold);
    for (size_t i = 1; i < cand.size(); i++)
      if (cand[i][2] != cand[i - 1][2])
        m.score_gap = std::min(m.score_gap, (cand[i - 1][2] - cand[i][2]) / cand[i - 1][2]);
    yolov3_nms(cand, p, &m.iou);
  }
  return m;
}

}  // namespace zv::ref
