// RPN proposal against the plain reference under every schedule with the
// happens-before checker, and its assertions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/rpn_proposal.h"
#include "ref/rpn_ref.h"

namespace zv::test {
namespace {

using Row = std::array<float, 5>;
using ref::RpnParams;

constexpr u64 kScores = 0x101000000ull;
constexpr u64 kDeltas = 0x102000000ull;
constexpr u64 kInfo = 0x103000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kScratch = 0x105000000ull;

// 0 f32 deltas, 1 signed bytes, 2 unsigned bytes; stmode 2 packs them 4N.
struct Input {
  std::vector<float> scores;  // 18 channels
  std::vector<float> deltas;  // as the layer sees them (f32)
  std::vector<u8> raw;        // the bytes in device memory
};

Input make_input(const RpnParams &p, int prec, int stmode, float scale, unsigned seed) {
  unsigned r = seed;
  auto next = [&] {
    r = r * 1103515245u + 12345u;
    return (r >> 16) & 0x7fff;
  };
  const size_t HW = size_t(p.H * p.W);
  Input in;
  for (size_t i = 0; i < 18 * HW; i++) in.scores.push_back(float(next() % 11) / 10.0f);
  for (size_t i = 0; i < 36 * HW; i++) {
    const int q = int(next() % 21) - 10;
    if (prec == 0) {
      in.deltas.push_back(float(q) * 0.05f);
      continue;
    }
    const int b = prec == 1 ? q : q + 10;
    in.deltas.push_back(float(b) * scale);
    if (stmode == 2) {
      in.raw.insert(in.raw.end(), {u8(b), u8(next()), u8(next()), u8(next())});
    } else {
      in.raw.push_back(u8(b));
    }
  }
  if (prec == 0) {
    in.raw.resize(in.deltas.size() * 4);
    std::memcpy(in.raw.data(), in.deltas.data(), in.raw.size());
  }
  return in;
}

struct Result {
  int count = -7;
  std::vector<Row> rows;
};

FwOutcome run_rpn(FirmwareRig &rig, const Input &in, const RpnParams &p, int prec, int stmode, float scale,
                  Result *res, int cls_c = 18, int delta_c = 36) {
  chip::Chip &chip = rig.chip();
  chip.ddr.store(kScores, reinterpret_cast<const u8 *>(in.scores.data()), in.scores.size() * 4);
  chip.ddr.store(kDeltas, in.raw.data(), in.raw.size());
  const float info[3] = {p.im_h, p.im_w, p.im_scale};
  chip.ddr.store(kInfo, reinterpret_cast<const u8 *>(info), 12);
  const i32 d0[3] = {cls_c, p.H, p.W}, d1[3] = {delta_c, p.H, p.W};
  FwOutcome out = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_rpnproposal_forward(kScores, kDeltas, kInfo, kOut, d0, d1, p.feat_stride, p.base_size, p.min_size,
                                 p.pre_nms_topN, p.post_nms_topN, p.nms_thresh, p.score_thresh, stmode, kScratch, 0,
                                 prec, scale, &res->count, node);
  });
  res->rows.resize(size_t(std::max(res->count, 1)));
  chip.ddr.load(kOut, reinterpret_cast<u8 *>(res->rows.data()), res->rows.size() * 20);
  return out;
}

std::vector<float> fg_scores(const Input &in, const RpnParams &p) {
  return std::vector<float>(in.scores.begin() + 9 * p.H * p.W, in.scores.end());
}

TEST(RpnProposal, TheAnchorTableIsTheFormulaForBaseSize16) {
  const auto a = ref::rpn_anchors(16);
  for (int i = 0; i < RPN_ANCHORS; i++)
    for (int k = 0; k < 4; k++) EXPECT_EQ(gen_anchors[i][k], a[size_t(i)][size_t(k)]) << i << "," << k;
  // Base size 8, ratio 1, scale 8: ws 8, w 64, x1 = 4 - 32, x2 = x1 + 63.
  EXPECT_EQ(ref::rpn_anchors(8)[3], (std::array<float, 4>{-28, -28, 35, 35}));
}

TEST(RpnProposal, AgainstReference) {
  struct Case {
    const char *what;
    RpnParams p;
    int prec, stmode;
    float scale;
  };
  // H, W, stride, base, min, pre, post, nms, score, im_h, im_w, im_scale
  const Case cases[] = {
      {"table anchors", {5, 6, 16, 16, 4, -1, 0, 0.7f, 0.3f, 90, 100, 1.0f}, 0, 0, 0},
      {"computed anchors", {4, 7, 8, 8, 2, -1, 0, 0.6f, 0.2f, 40, 60, 1.5f}, 0, 0, 0},
      {"pre- and post-NMS cuts", {5, 6, 16, 16, 4, 40, 7, 0.5f, 0.3f, 90, 100, 1.0f}, 0, 0, 0},
      {"signed 8-bit deltas", {4, 5, 16, 16, 4, -1, 0, 0.7f, 0.3f, 80, 80, 1.0f}, 1, 0, 0.04f},
      {"unsigned 8-bit deltas, 4N", {4, 5, 16, 16, 4, -1, 0, 0.7f, 0.3f, 80, 80, 1.0f}, 2, 2, 0.03f},
      {"more than 200 kept, post 300", {6, 6, 16, 16, 0, -1, 300, 1.5f, 0.0f, 1000, 1000, 1.0f}, 0, 0, 0},
      {"more than 200 kept, post 50", {6, 6, 16, 16, 0, -1, 50, 1.5f, 0.0f, 1000, 1000, 1.0f}, 0, 0, 0},
      {"minimum size above every box", {3, 3, 16, 16, 5000, -1, 0, 0.7f, 0.0f, 90, 100, 1.0f}, 0, 0, 0},
      {"score threshold above every score", {3, 3, 16, 16, 0, -1, 0, 0.7f, 1.5f, 90, 100, 1.0f}, 0, 0, 0},
      // 3600 rois in NMS row blocks of 448; few kept, so kept rois of earlier
      // blocks suppress rows of later ones.
      {"NMS row blocks", {20, 20, 16, 16, 0, -1, 0, 0.1f, 0.0f, 1000, 1000, 1.0f}, 0, 0, 0},
  };
  unsigned seed = 7;
  for (const Case &c : cases) {
    const Input in = make_input(c.p, c.prec, c.stmode, c.scale, seed++);
    const std::vector<Row> want = ref::rpn_proposal(fg_scores(in, c.p), in.deltas, c.p);
    for (const Sched &sch : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sch));
      FirmwareRig rig(sch);
      Result res;
      ASSERT_TRUE(ran_clean(run_rpn(rig, in, c.p, c.prec, c.stmode, c.scale, &res)));
      EXPECT_EQ(res.count, int(want.size()));
      if (want.empty()) {
        EXPECT_EQ(res.rows[0], (Row{0, 0, 0, 0, 0}));
        continue;
      }
      ASSERT_EQ(res.rows.size(), want.size());
      for (size_t i = 0; i < want.size(); i++)
        for (size_t k = 0; k < 5; k++)
          EXPECT_NEAR(res.rows[i][k], want[i][k], 1e-4f * (1.0f + std::fabs(want[i][k]))) << i << "," << k;
    }
  }
}

// Equal scores come out in compaction order (anchor, row, column); boxes
// beyond the image are clipped to exactly its width and height.
TEST(RpnProposal, TiesAndClipping) {
  const RpnParams p = {2, 3, 16, 16, 0, 4, 0, 2.0f, 0.0f, 40, 50, 1.0f};
  Input in = make_input(p, 0, 0, 0, 1);
  std::fill(in.scores.begin(), in.scores.end(), 0.1f);
  const size_t HW = 6;
  in.scores[9 * HW + 0 * HW + 5] = 0.5f;  // anchor 0, position 5
  in.scores[9 * HW + 0 * HW + 2] = 0.5f;  // anchor 0, position 2
  in.scores[9 * HW + 1 * HW + 0] = 0.5f;  // anchor 1, position 0: compaction 6
  const std::vector<Row> want = ref::rpn_proposal(fg_scores(in, p), in.deltas, p);
  ASSERT_EQ(want.size(), 4u);
  FirmwareRig rig(deferred(3));
  Result res;
  ASSERT_TRUE(ran_clean(run_rpn(rig, in, p, 0, 0, 0, &res)));
  ASSERT_EQ(res.count, 4);
  for (size_t i = 0; i < 4; i++)
    for (size_t k = 0; k < 5; k++) EXPECT_NEAR(res.rows[i][k], want[i][k], 1e-4f) << i << "," << k;
  bool clipped = false;
  for (const Row &r : res.rows) clipped |= r[3] == 50.0f || r[4] == 40.0f;
  EXPECT_TRUE(clipped) << "large anchors reach past the image";
}

TEST(RpnProposal, Plans) {
  struct BoxCase {
    int H, W;
    bool fits;
  };
  // Sixteen planes of align32(H x W) floats and the 512-byte anchor buffer.
  const BoxCase boxes[] = {{3, 3, true}, {38, 50, true}, {80, 91, true}, {100, 100, false}};
  for (const BoxCase &c : boxes) {
    SCOPED_TRACE(std::to_string(c.H) + "x" + std::to_string(c.W));
    rpn_box_plan_t p;
    rpn_box_plan_of(&p, c.H, c.W);
    const u64 plane = 4u * ((u64(c.H * c.W) + 31) / 32 * 32);
    EXPECT_EQ(p.plane_bytes, plane);
    EXPECT_EQ(p.local_mem_usage, 16 * plane + 512);
    EXPECT_EQ(p.local_mem_usage <= u64(LOCAL_MEM_SIZE), c.fits);
    EXPECT_TRUE(local_areas_valid(p.areas, RPN_AREA_COUNT) || !c.fits);
    EXPECT_EQ(p.areas[RPN_AREA_ANCHOR].bytes, 512u);
  }
  struct NmsCase {
    int n, blocks, block_rows, lanes, per_lane;
  };
  // 3600 rois: five vectors of 3616 floats leave room for four matrices of
  // seven lane rows, blocks of 448.
  const NmsCase nms[] = {{1, 1, 1, 1, 1}, {100, 1, 100, 64, 2}, {300, 1, 300, 64, 5}, {3600, 9, 448, 64, 57}};
  for (const NmsCase &c : nms) {
    SCOPED_TRACE(std::to_string(c.n) + " rois");
    rpn_nms_plan_t p;
    rpn_nms_plan_of(&p, c.n);
    EXPECT_EQ(p.blocks, c.blocks);
    EXPECT_EQ(p.block_rows, c.block_rows);
    EXPECT_EQ(p.lanes, c.lanes);
    EXPECT_EQ(p.per_lane, c.per_lane);
    EXPECT_LE(p.local_mem_usage, u64(LOCAL_MEM_SIZE));
    EXPECT_TRUE(local_areas_valid(p.areas, RPN_NMS_AREA_COUNT));
  }
}

TEST(RpnProposal, Assertions) {
  const char *where = "firmware/layers/detect/";
  struct Case {
    int cls_c, delta_c, H1, prec, stmode;
    const char *condition;
  };
  const Case cases[] = {
      {18, 38, 4, 0, 0, "2 * bottom0_dim[0] == bottom1_dim[0]"},
      {18, 36, 5, 0, 0, "bottom0_dim[1] == bottom1_dim[1] && bottom0_dim[2] == bottom1_dim[2]"},
      {20, 40, 4, 0, 0, "cls_c == 2 * anchors_num"},
      {18, 36, 4, 3, 0, "bottom_prec <= 2"},
      {18, 36, 4, 0, 1, "input_stmode == 0 || input_stmode == 2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.condition);
    expect_assert([&](cmd_id_node_t *n) {
      const i32 d0[3] = {c.cls_c, 4, 4}, d1[3] = {c.delta_c, c.H1, 4};
      nodechip_rpnproposal_forward(kScores, kDeltas, kInfo, kOut, d0, d1, 16, 16, 1, -1, 0, 0.7f, 0.1f, c.stmode,
                                   kScratch, 0, c.prec, 1.0f, nullptr, n);
    }, "ASSERT", where, "nodechip_rpnproposal_forward", c.condition);
  }
}

// A map too large for the local buffers stops in the allocator; the next call
// starts from both scratch starts again and succeeds.
TEST(RpnProposal, AFailedCallLeavesNoCursorBehind) {
  FirmwareRig rig(deferred(2));
  const i32 big0[3] = {18, 100, 100}, big1[3] = {36, 100, 100};
  const FwOutcome failed = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_rpnproposal_forward(kScores, kDeltas, kInfo, kOut, big0, big1, 16, 16, 1, -1, 0, 0.7f, 0.1f, 0, kScratch,
                                 0, 0, 1.0f, nullptr, node);
  });
  EXPECT_TRUE(stopped_on(failed, "ASSERT", "firmware/layers/detect/", "rpn_alloc_lmem",
                         "lmem_top + real_size <= (1<<19)"));
  const RpnParams p = {5, 6, 16, 16, 4, -1, 0, 0.7f, 0.3f, 90, 100, 1.0f};
  const Input in = make_input(p, 0, 0, 0, 9);
  const std::vector<Row> want = ref::rpn_proposal(fg_scores(in, p), in.deltas, p);
  Result res;
  ASSERT_TRUE(ran_clean(run_rpn(rig, in, p, 0, 0, 0, &res)));
  ASSERT_EQ(res.count, int(want.size()));
  for (size_t i = 0; i < want.size(); i++)
    for (size_t k = 0; k < 5; k++) EXPECT_NEAR(res.rows[i][k], want[i][k], 1e-4f * (1.0f + std::fabs(want[i][k])));
}

}  // namespace
}  // namespace zv::test
