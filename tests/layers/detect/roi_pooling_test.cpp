// ROI pooling: the bin plan and the float layer against the plain reference
// under every schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/roi_pooling.h"
#include "ref/detect_ref.h"
#include "roi_rig.h"

namespace zv::test {
namespace {

using namespace roi_rig;

TEST(RoiPoolingPlan, UniformOrWidenedKernel) {
  struct Case {
    const char *what;
    float roi[5];
    float scale;
    int ph, pw, kh, kw, uniform;
  };
  const Case cases[] = {
      {"14 x 14 into 7 x 7", {0, 0, 0, 13, 13}, 1.0f, 7, 7, 2, 2, 1},
      {"10 x 10 into 3 x 3", {0, 0, 0, 9, 9}, 1.0f, 3, 3, 5, 5, 0},
      {"rounded half away from zero", {0, 2.5f, 2.5f, 8.5f, 4.5f}, 1.0f, 2, 1, 3, 9, 0},
      {"single point", {0, 4, 4, 4, 4}, 1.0f, 2, 2, 2, 2, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    roi_bin_plan_t p;
    roi_bin_plan_of(&p, c.roi, c.scale, c.ph, c.pw);
    EXPECT_EQ(p.kh, c.kh);
    EXPECT_EQ(p.kw, c.kw);
    EXPECT_EQ(p.uniform, c.uniform);
  }
}

TEST(RoiPooling, AgainstReference) {
  struct Case {
    const char *what;
    int C, H, W, ph, pw;
    float scale;
    std::vector<float> rois;
  };
  const Case cases[] = {
      {"uniform 14 x 14 into 7 x 7", 3, 16, 16, 7, 7, 1.0f, {0, 1, 2, 14, 15}},
      {"10 x 10 into 3 x 3", 5, 12, 12, 3, 3, 1.0f, {0, 0, 0, 9, 9}},
      {"partly and wholly outside the map", 4, 8, 9, 3, 4, 1.0f, {0, 5, 4, 14, 12, 0, 12, 10, 20, 20}},
      {"uniform, partly outside", 2, 8, 8, 2, 2, 1.0f, {0, 4, 4, 11, 11}},
      {"single point", 2, 6, 6, 2, 3, 1.0f, {0, 3, 2, 3, 2}},
      {"starting left of and above the map", 3, 8, 8, 3, 3, 1.0f, {0, -3, -2, 4, 5, 0, -6, -6, 6, 6}},
      {"uniform, starting above the map", 2, 8, 8, 2, 2, 1.0f, {0, -2, -3, 5, 4}},
      {"scaled ROIs over 70 channels", 70, 7, 10, 2, 3, 0.5f, {0, 1, 1, 13, 9, 1, 4, 2, 19, 12, 0, 0, 0, 3, 3}},
  };
  for (const Case &c : cases) {
    std::vector<float> map(size_t(c.C * c.H * c.W));
    for (size_t i = 0; i < map.size(); i++) map[i] = float(int((i * 37) % 101) - 70) * 0.5f;
    const int n = int(c.rois.size() / 5);
    const std::vector<float> want = ref::roi_pool(map, c.C, c.H, c.W, c.rois, c.ph, c.pw, c.scale);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kMap, map);
      put(rig, kRois, c.rois);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_roi_pooling_forward(kMap, kOut, kRois, kStage, 1, c.C, c.H, c.W, c.ph, c.pw, n, c.scale, node);
      }));
      EXPECT_EQ(get<float>(rig, kOut, want.size()), want);
    }
  }
}

// 8-bit maps in 4N storage (bytes 1 to 3 of each word belong to other images):
// byte 0 is pooled, ROI 4g + k lands in byte k of group g's words.
TEST(RoiPooling, EightBit) {
  struct Case {
    const char *what;
    int sign, C, H, W, ph, pw;
    std::vector<float> rois;
  };
  const std::vector<float> seven = {0, 0, 0, 9, 9, 0, 1, 2, 14, 15, 0, 5, 4, 14, 12, 0, 12, 10, 20, 20,
                                    0, 3, 2, 3, 2, 0, -3, -2, 4, 5, 0, 2, 2, 7, 7};
  const Case cases[] = {
      {"seven signed ROIs: groups of four and three", 1, 3, 16, 16, 3, 3, seven},
      {"seven unsigned ROIs over 70 channels", 0, 70, 12, 12, 2, 2, seven},
      {"one signed uniform ROI", 1, 5, 8, 8, 2, 2, {0, 0, 0, 7, 7}},
  };
  for (const Case &c : cases) {
    const size_t elems = size_t(c.C * c.H * c.W);
    std::vector<u8> words;
    std::vector<float> map;
    for (size_t i = 0; i < elems; i++) {
      const int v = c.sign ? int((i * 37) % 255) - 127 : int((i * 37) % 256);
      map.push_back(float(v));
      words.insert(words.end(), {u8(v), u8(i * 7), u8(i * 11), u8(i * 13)});
    }
    const int n = int(c.rois.size() / 5);
    // The reference pools the whole-number map values as floats.
    const std::vector<float> pooled = ref::roi_pool(map, c.C, c.H, c.W, c.rois, c.ph, c.pw, 1.0f);
    const std::vector<int> want(pooled.begin(), pooled.end());
    const size_t block = size_t(c.C * c.ph * c.pw);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kMap, words);
      put(rig, kRois, c.rois);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_roi_pooling_fix8b_forward(kMap, kOut, kRois, kStage, 1, c.C, c.H, c.W, c.ph, c.pw, n, 1.0f, c.sign,
                                           node);
      }));
      expect_4n_outputs(rig, want, n, block);
    }
  }
}

TEST(RoiPooling, Assertions) {
  const std::vector<float> roi = {0, 0, 0, 3, 3};
  struct Case {
    const char *what;
    int n, C, H, W, num_rois;
    const char *cond;
  };
  const Case cases[] = {
      {"two images", 2, 1, 4, 4, 1, "input_n == 1"},
      {"map and outputs beyond local memory", 1, 64, 256, 512, 1, "roi_lmem < (1<<19)"},
      {"bin buffer beyond local memory", 1, 1, 8, 8, 1, "roi_lmem + roi_nstride * 4 < (1<<19)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FirmwareRig rig;
    const std::vector<float> big = {0, 0, 0, 399, 399};
    put(rig, kRois, c.H == 8 ? big : roi);
    const FwOutcome o = rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_roi_pooling_forward(kMap, kOut, kRois, kStage, c.n, c.C, c.H, c.W, 1, 1, c.num_rois, 1.0f, node);
    });
    EXPECT_TRUE(stopped_on(o, "ASSERT", "firmware/layers/", "roi_pooling_forward_core", c.cond)) << o.uart;
  }
}

}  // namespace
}  // namespace zv::test
