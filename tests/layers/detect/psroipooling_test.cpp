// Position-sensitive ROI pooling: bin bounds and the float layer against the
// plain reference under every schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/psroipooling.h"
#include "cmd/bd_pool.h"
#include "ref/detect_ref.h"
#include "ref/psroi_fix8b_ref.h"
#include "roi_rig.h"

namespace zv::test {
namespace {

using namespace roi_rig;

TEST(PsRoiPoolingPlan, BinBounds) {
  struct Case {
    const char *what;
    float roi[5];
    float scale;
    int group, ph, pw;
    psroi_bin_t want;
  };
  const Case cases[] = {
      {"single point: one cell", {0, 3, 2, 3, 2}, 1.0f, 2, 1, 1, {2, 3, 3, 4}},
      {"scaled single point stays 0.1 wide", {0, 4, 4, 4, 4}, 0.1f, 1, 0, 0, {0, 1, 0, 1}},
      {"beyond the right edge: empty", {0, 8, 0, 15, 3}, 1.0f, 2, 0, 1, {0, 2, 10, 10}},
      {"left of the map: empty", {0, -9, 0, -2, 3}, 1.0f, 2, 1, 0, {2, 4, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    psroi_bin_t b;
    psroi_bin_of(&b, c.roi, c.scale, c.group, c.ph, c.pw, 10, 10);
    EXPECT_EQ(b.h0, c.want.h0);
    EXPECT_EQ(b.h1, c.want.h1);
    EXPECT_EQ(b.w0, c.want.w0);
    EXPECT_EQ(b.w1, c.want.w1);
  }
}

TEST(PsRoiPooling, AgainstReference) {
  struct Case {
    const char *what;
    int od, group, H, W;
    float scale;
    std::vector<float> rois;
  };
  const Case cases[] = {
      {"two ROIs, 3 x 3 bins", 2, 3, 9, 10, 1.0f, {0, 0, 0, 8, 8, 0, 2, 1, 6, 7}},
      {"single point", 3, 2, 6, 6, 1.0f, {0, 3, 2, 3, 2}},
      {"beyond the bottom and right edges", 2, 2, 6, 7, 1.0f, {0, 4, 3, 11, 10}},
      {"first bin column left of the map", 2, 3, 8, 8, 1.0f, {0, -5, 0, 5, 7}},
      {"scaled, 70 output channels", 70, 2, 5, 6, 0.5f, {0, 1, 1, 9, 8}},
  };
  for (const Case &c : cases) {
    const int C = c.od * c.group * c.group;
    std::vector<float> map(size_t(C * c.H * c.W));
    for (size_t i = 0; i < map.size(); i++) map[i] = float(int((i * 41) % 103) - 50) * 0.25f;
    const int n = int(c.rois.size() / 5);
    const std::vector<float> want = ref::psroi_pool(map, c.H, c.W, c.rois, c.od, c.group, c.scale);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kMap, map);
      put(rig, kRois, c.rois);
      put(rig, kOut, std::vector<float>(want.size(), 99.0f));
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_psroipooling_forward_with_datasplit(kMap, kOut, kRois, kStage, 1, C, c.H, c.W, c.od, c.group, n,
                                                     c.scale, node);
      }));
      const std::vector<float> got = get<float>(rig, kOut, want.size());
      for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 1e-5f * (1 + std::fabs(want[i]))) << i;
    }
  }
}

TEST(PsRoiPooling, BlockBeyondLocalMemory) {
  expect_assert(
      [](cmd_id_node_t *n) {
        nodechip_psroipooling_forward_with_datasplit(kMap, kOut, kRois, kStage, 1, 65 * 4096, 4, 4, 65, 64, 1, 1.0f,
                                                     n);
      },
      "ASSERT", "firmware/layers/", "nodechip_psroipooling_forward", "local_offset_end <= (1<<19)");
}

// 8-bit maps in 4N storage (bytes 1 to 3 belong to other images): byte 0 is
// averaged; ROI n lands in byte n % 4 of group n / 4's output words.
TEST(PsRoiPooling, EightBit) {
  struct Case {
    const char *what;
    u32 in_sign, out_sign;
    int od, group, H, W;
    std::vector<float> rois;
  };
  const std::vector<float> five = {0, 1, 0, 6, 5, 0, 5, 4, 12, 9, 0, 3, 2, 3, 2, 0, -4, 1, 3, 6, 0, 0, 0, 7, 6};
  const Case cases[] = {
      {"signed, five ROIs: groups of four and one", 1, 1, 3, 2, 7, 8, five},
      {"unsigned", 0, 0, 2, 3, 9, 9, five},
      {"signed into unsigned", 1, 0, 3, 2, 7, 8, five},
      {"70 output channels", 1, 1, 70, 1, 5, 6, {0, 0, 0, 4, 5, 0, 1, 1, 2, 3}},
  };
  for (const Case &c : cases) {
    const int C = c.od * c.group * c.group;
    std::vector<int> map;
    std::vector<u8> words;
    for (int i = 0; i < C * c.H * c.W; i++) {
      const int v = c.in_sign ? (i * 29) % 255 - 127 : (i * 29) % 256;
      map.push_back(v);
      words.insert(words.end(), {u8(v), u8(i * 3), u8(i * 5), u8(i * 7)});
    }
    const int n = int(c.rois.size() / 5);
    const std::vector<int> want = ref::psroi_pool_fix8b(map, c.H, c.W, c.rois, c.od, c.group, 1.0f, c.in_sign != 0,
                                                        c.out_sign != 0, dev_table_i, dev_table_e);
    const size_t block = size_t(c.od * c.group * c.group);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kMap, words);
      put(rig, kRois, c.rois);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_psroipooling_fix8b_forward_with_datasplit(kMap, kOut, kRois, kStage, 1, C, c.H, c.W, c.od, c.group, n,
                                                           1.0f, c.in_sign, c.out_sign, node);
      }));
      expect_4n_outputs(rig, want, n, block);
    }
  }
  // A bin of 16 x 20 cells: an area above 255 that is no power of two.
  FirmwareRig rig;
  const std::vector<float> roi = {0, 0, 0, 19, 15};
  put(rig, kRois, roi);
  const FwOutcome o = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_psroipooling_fix8b_forward_with_datasplit(kMap, kOut, kRois, kStage, 1, 1, 16, 20, 1, 1, 1, 1.0f, 1, 1,
                                                       node);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/cmd/", "atomic_pooling_fix8b_gen_cmd", "abs(x - floor(x + 0.5)) < 0.1"))
      << o.uart;
}

}  // namespace
}  // namespace zv::test
