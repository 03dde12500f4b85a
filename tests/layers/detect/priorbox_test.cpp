// Prior boxes against the plain reference under every schedule with the
// happens-before checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/priorbox.h"
#include "ref/detect_ref.h"

namespace zv::test {
namespace {

constexpr u64 kScratch = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;

TEST(PriorBox, AgainstReference) {
  struct Case {
    const char *what;
    int W, H, img_w, img_h;
    float step_w, step_h, offset;
    std::vector<float> min_sizes, max_sizes, ratios, variances;
    bool clip;
  };
  const Case cases[] = {
      {"one box", 1, 1, 300, 300, 300, 300, 0.5f, {30}, {}, {}, {0.1f}, false},
      {"two sizes with max and ratios 2, 0.5", 3, 2, 300, 200, 100, 100, 0.5f, {30, 60}, {60, 90}, {2, 0.5f},
       {0.1f, 0.1f, 0.2f, 0.2f}, false},
      {"three sizes, 70 columns, clipped", 70, 3, 280, 300, 4, 100, 0.5f, {20, 50, 120}, {}, {3},
       {0.1f, 0.1f, 0.2f, 0.2f}, true},
  };
  for (const Case &c : cases) {
    // Half extents as the caller computes them, per minimum size in order.
    std::vector<float> min_w, min_h, max_w, max_h, asp_w, asp_h, hw, hh;
    for (size_t i = 0; i < c.min_sizes.size(); i++) {
      const float m = c.min_sizes[i];
      min_w.push_back(m / (2.0f * float(c.img_w)));
      min_h.push_back(m / (2.0f * float(c.img_h)));
      hw.push_back(min_w.back());
      hh.push_back(min_h.back());
      if (!c.max_sizes.empty()) {
        const float s = std::sqrt(m * c.max_sizes[i]);
        max_w.push_back(s / (2.0f * float(c.img_w)));
        max_h.push_back(s / (2.0f * float(c.img_h)));
        hw.push_back(max_w.back());
        hh.push_back(max_h.back());
      }
      for (float r : c.ratios) {
        asp_w.push_back(m * std::sqrt(r) / (2.0f * float(c.img_w)));
        asp_h.push_back(m / std::sqrt(r) / (2.0f * float(c.img_h)));
        hw.push_back(asp_w.back());
        hh.push_back(asp_h.back());
      }
    }
    const int P = int(hw.size());
    const int rows = std::max(c.W, c.H);
    std::vector<float> scratch;
    for (int i = 0; i < rows; i++)
      for (int k = 0; k < 2 * P; k++) scratch.push_back(float(i));
    scratch.insert(scratch.end(), c.variances.begin(), c.variances.end());
    const std::vector<float> want = ref::prior_boxes(c.W, c.H, c.img_w, c.img_h, c.step_w, c.step_h, c.offset, hw,
                                                     hh, c.clip, c.variances);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kScratch, scratch);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_priorbox_opt(0, rows, kScratch, kOut, c.W, c.H, c.img_w, c.img_h, c.step_w, c.step_h,
                              int(c.min_sizes.size()), c.max_sizes.empty() ? 0 : 1, int(c.ratios.size()),
                              int(c.variances.size()), min_w.data(), min_h.data(), max_w.data(), max_h.data(),
                              asp_w.data(), asp_h.data(), c.variances.data(), c.offset, P, 1.0f, c.clip, 0, node);
      }));
      EXPECT_EQ(get<float>(rig, kOut, want.size()), want);
    }
  }
  const std::vector<float> one = ref::prior_boxes(1, 1, 300, 300, 300, 300, 0.5f, {0.05f}, {0.05f}, false, {0.1f});
  EXPECT_NEAR(one[0], 0.45f, 1e-6f);
  EXPECT_NEAR(one[3], 0.55f, 1e-6f);
}

// The 8-bit form: value x 128 / scale + 0.5, limited to [-128, 127], truncated;
// storage mode 2 puts byte k of the 1N output in byte 0 of word k.
TEST(PriorBox, EightBit) {
  const int W = 3, H = 2, img = 300, rows = 3;
  const std::vector<float> hw = {0.05f, 0.1f, 0.2f}, hh = {0.05f, 0.07f, 0.3f}, var = {0.1f, 0.1f, 0.2f, 0.2f};
  const int P = 3;
  std::vector<float> scratch;
  for (int i = 0; i < rows; i++)
    for (int k = 0; k < 2 * P; k++) scratch.push_back(float(i));
  scratch.insert(scratch.end(), var.begin(), var.end());
  struct Case {
    const char *what;
    float scale, offset;
    bool clip;
    int store_mode;
  };
  const Case cases[] = {
      {"scale 1", 1.0f, 0.5f, false, 0},
      {"scale 0.37 saturates, clipped", 0.37f, 0.5f, true, 0},
      {"negative coordinates", 0.9f, -1.0f, false, 0},
      {"4N storage", 1.0f, 0.5f, false, 2},
  };
  for (const Case &c : cases) {
    const std::vector<float> f = ref::prior_boxes(W, H, img, img, 100, 100, c.offset, hw, hh, c.clip, var);
    std::vector<int8_t> want;
    const float k = 128.0f / c.scale;
    for (float v : f) want.push_back(int8_t(int(std::min(std::max(v * k + 0.5f, -128.0f), 127.0f))));
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kScratch, scratch);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_priorbox_opt(1, rows, kScratch, kOut, W, H, img, img, 100, 100, 1, 0, 2, 4, &hw[0], &hh[0], nullptr,
                              nullptr, &hw[1], &hh[1], var.data(), c.offset, P, c.scale, c.clip, c.store_mode, node);
      }));
      if (c.store_mode == 2) {
        const std::vector<int8_t> words = get<int8_t>(rig, kOut, 4 * want.size());
        std::vector<int8_t> got;
        for (size_t i = 0; i < want.size(); i++) got.push_back(words[4 * i]);
        EXPECT_EQ(got, want);
      } else {
        EXPECT_EQ(get<int8_t>(rig, kOut, want.size()), want);
      }
    }
  }
}

TEST(PriorBox, RowsBeyondTheLane) {
  const float h = 0.1f;
  expect_assert(
      [&](cmd_id_node_t *n) {
        nodechip_priorbox_opt(0, 2100, kScratch, kOut, 64, 2100, 300, 300, 1, 1, 1, 0, 0, 1, &h, &h, &h, &h, &h, &h, &h,
                              0.5f, 1, 1.0f, 0, 0, n);
      },
      "ASSERT", "firmware/layers/", "nodechip_priorbox_opt",
      "(local_center_addr + local_stride[0]*sizeof(float)*2*n) < (1<<19)");
}

}  // namespace
}  // namespace zv::test
