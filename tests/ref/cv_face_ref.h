// Plain reference of face proposals: anchor boxes moved by their deltas,
// clipped, kept by score and size, sorted by score; and the three-level
// pipeline with greedy suppression.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "ref/detect_ref.h"

namespace zv::ref {

// One map pair: A anchors over an H x W map.
struct FaceMap {
  int A, H, W;
  float scale;    // anchor scale
  float stride;   // map stride in image pixels
  int base;       // anchor base size
  float bound_x;  // clip bounds: x in [0, bound_x - 1], y in [0, bound_y - 1]
  float bound_y;
  float divisor;
  int min_size;
  float threshold;
};

// scores: A planes of H x W; deltas: A groups of four planes (dx, dy, dw, dh);
// sizes: A anchor sizes. The kept boxes in map order (anchor, row, column).
inline std::vector<Rect> face_candidates(const std::vector<float> &scores, const std::vector<float> &deltas,
                                         const std::vector<float> &sizes, const FaceMap &m) {
  std::vector<Rect> kept;
  const size_t hw = size_t(m.H) * size_t(m.W);
  const float offset = (float(m.base) - 1.0f) * 0.5f;
  for (int a = 0; a < m.A; a++)
    for (int r = 0; r < m.H; r++)
      for (int c = 0; c < m.W; c++) {
        const size_t at = size_t(r) * size_t(m.W) + size_t(c);
        const float side = sizes[size_t(a)] * m.scale * float(m.base);
        float lo[2], hi[2];
        for (int p = 0; p < 2; p++) {
          const float coord = float(p == 0 ? c : r);
          const float corner = coord * m.stride + (offset - (side - 1.0f) * 0.5f);
          const float centre = corner + side * 0.5f;
          const float d = deltas[(size_t(a) * 4 + size_t(p)) * hw + at];
          const float ds = deltas[(size_t(a) * 4 + size_t(p) + 2) * hw + at];
          const float pc = centre + side * d;
          const float ps = float(std::exp(double(ds))) * side;
          const float bound = (p == 0 ? m.bound_x : m.bound_y) - 1.0f;
          const auto clip = [&](float half) {
            float v = (ps * half + pc) / m.divisor;
            v = v < bound ? v : bound;
            return v > 0.0f ? v : 0.0f;
          };
          lo[p] = clip(-0.5f);
          hi[p] = clip(0.5f);
        }
        const float score = scores[size_t(a) * hw + at];
        const float least = float(m.min_size) - 1.0f;
        if (score > m.threshold && hi[0] > lo[0] + least && hi[1] > lo[1] + least)
          kept.push_back({lo[0], lo[1], hi[0], hi[1], score});
      }
  return kept;
}

// Largest score first; equal scores in their given order.
inline std::vector<Rect> by_score(const std::vector<Rect> &boxes) {
  std::vector<Rect> out = boxes;
  std::stable_sort(out.begin(), out.end(), [](const Rect &a, const Rect &b) { return a.score > b.score; });
  return out;
}

// Greedy suppression of a list already in score order: a box stays unless a
// kept box overlaps it by more than the threshold (inclusive pixel widths).
inline std::vector<Rect> suppress_sorted(const std::vector<Rect> &sorted, float threshold) {
  std::vector<Rect> kept;
  for (const Rect &b : sorted) {
    bool suppressed = false;
    for (const Rect &k : kept)
      if (box_iou(k, b, true) > threshold) suppressed = true;
    if (!suppressed) kept.push_back(b);
  }
  return kept;
}

}  // namespace zv::ref
