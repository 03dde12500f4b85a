// Comparison of detection records read back against a reference's.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "ref/detect_ref.h"

namespace zv::test {

// Records of five floats (x1, y1, x2, y2, score) equal `want`: coordinates
// within the exp's error, scores exactly. Reports at most five mismatches.
inline void expect_rects(const std::vector<float> &got, const std::vector<ref::Rect> &want) {
  ASSERT_EQ(got.size(), want.size() * 5);
  size_t bad = 0;
  for (size_t i = 0; i < want.size(); i++) {
    const float w[5] = {want[i].x1, want[i].y1, want[i].x2, want[i].y2, want[i].score};
    for (int j = 0; j < 5; j++) {
      const float g = got[5 * i + size_t(j)], tol = j == 4 ? 0.0f : 1e-3f + 1e-5f * std::fabs(w[j]);
      if (!(std::fabs(g - w[j]) <= tol) && bad++ < 5)
        ADD_FAILURE() << "record " << i << " value " << j << ": " << g << " want " << w[j];
    }
  }
  EXPECT_EQ(bad, 0u);
}

}  // namespace zv::test
