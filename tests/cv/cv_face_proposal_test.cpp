// Face proposals of one map pair against the plain reference of tests/ref
// (anchors at the origin, clipping at both edges, one and several rows per
// lane, the 256 x 256 limit, nothing kept, more kept than the output holds),
// under every schedule with the checker on; the plan's layout and checks; the
// bounds of the L2 lists and their reset between calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "cv/cv_face_proposal.h"
#include "fw_test.h"
#include "rect_checks.h"
#include "ref/cv_face_ref.h"

namespace zv::test {
namespace {

constexpr u64 kScores = kUserDdr + 0x10000, kDeltas = kUserDdr + 0x400000, kSizes = kUserDdr + 0x800000;
constexpr u64 kOut = kUserDdr + 0x1000000;

TEST(CvFaceProposal, PlanPlacesEveryAreaInALane) {
  struct Case {
    u32 A, W, H, lane_rows, plane_bytes, plane4_bytes, S;
  };
  const Case cases[] = {
      {3, 20, 10, 1, 128, 384, 384},        // W rounded up to 32 floats
      {2, 33, 65, 2, 512, 1280, 1024},      // two rows per lane
      {1, 256, 256, 4, 4096, 16384, 4096},  // the coordinate planes' limit
      {5, 256, 256, 4, 4096, 16384, 20480}, // the largest S that fits
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::to_string(k.A) + " anchors, " + std::to_string(k.H) + " x " + std::to_string(k.W));
    face_prop_plan_t p;
    face_prop_plan_of(k.A, k.W, k.H, &p);
    EXPECT_EQ(p.lane_rows, k.lane_rows);
    EXPECT_EQ(p.plane_bytes, k.plane_bytes);
    EXPECT_EQ(p.plane4_bytes, k.plane4_bytes);
    EXPECT_EQ(p.S, k.S);
    EXPECT_EQ(p.scores, 0x20000u + 4 * k.S);
    EXPECT_EQ(p.expand, 0x20000u + 14 * k.S);
    EXPECT_LE(p.plane4_bytes * k.A, 4 * k.S) << "the interleaved rows fit their room";
    EXPECT_TRUE(local_areas_valid(p.areas, FACE_PROP_AREA_COUNT));
    ASSERT_TRUE(ran_clean(run_firmware([&] { face_prop_check_plan(&p); })));
  }
}

TEST(CvFaceProposal, PlanRefusesWhatDoesNotFit) {
  const char *map = "p->A > 0 && p->W > 0 && p->H > 0 && p->W <= FACE_PROP_MAX_MAP && p->H <= FACE_PROP_MAX_MAP";
  const char *mem = "mem size conflicit";
  struct Case {
    u32 A, W, H;
    const char *condition, *info;
  };
  const Case cases[] = {
      {1, 257, 4, map, "1 anchors, map 4 x 257"},
      {1, 4, 0, map, "1 anchors, map 0 x 4"},
      {0, 4, 4, map, "0 anchors, map 4 x 4"},
      // S = 69632: the mask is past the end of a lane.
      {17, 256, 256, "(face_mask_addr + move_size < LOCAL_MEM_SIZE)", mem},
      // S = 49152: the mask and its first temporary fit, the second does not.
      {12, 256, 256, "(temp_addr_1 + move_size < LOCAL_MEM_SIZE)", mem},
      // S = 40960: the last temporary does not fit.
      {10, 256, 256, "(temp_addr_cmp_res1 + move_size < LOCAL_MEM_SIZE)", mem},
      // S = 24576: everything but the repeated mask.
      {6, 256, 256, "(face_mask_expend_addr + move_size * (MAX_D) < LOCAL_MEM_SIZE)", mem},
      // An anchor count whose S does not fit 32 bits.
      {0x7fffffff, 256, 256, "(face_mask_addr + move_size < LOCAL_MEM_SIZE)", mem},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::to_string(k.A) + " anchors: " + k.condition);
    face_prop_plan_t p;
    face_prop_plan_of(k.A, k.W, k.H, &p);
    EXPECT_TRUE(stopped_on(run_firmware([&] { face_prop_check_plan(&p); }), "ASSERT_FS", "firmware/cv/",
                           "face_prop_check_plan", k.condition, k.info));
  }
  // The operator checks before it issues anything.
  expect_assert(
      [](cmd_id_node_t *n) {
        nodechip_cv_gen_proposal_fast_hw_op(kScores, kDeltas, kSizes, kOut, 1, 4, 300, 4, 64, 64, 4, 1, 16, 1, 1,
                                            0.5f, n);
      },
      "ASSERT_FS", "firmware/cv/", "face_prop_check_plan", map, "1 anchors, map 4 x 300");
}

// One map pair: the operator's arguments and how its data are made.
struct FaceCase {
  const char *what;
  u32 A, H, W;
  float scale;
  u32 stride_a, stride_b, base, image_w, image_h;
  float divisor;
  u32 min_size;
  float threshold;
  float delta_range;  // deltas in [-range, range]
  std::vector<float> sizes;
  std::vector<float> scores;  // empty: made from the position
};

ref::FaceMap map_of(const FaceCase &k) {
  return {int(k.A), int(k.H), int(k.W), k.scale, float(k.stride_a * k.stride_b), int(k.base), float(k.image_w),
          float(k.image_h), k.divisor, int(k.min_size), k.threshold};
}

std::vector<float> scores_of(const FaceCase &k) {
  if (!k.scores.empty()) return k.scores;
  std::vector<float> s(size_t(k.A) * k.H * k.W);
  // Distinct scores in (0, 1), in no particular order over the map.
  for (size_t i = 0; i < s.size(); i++) s[i] = (float((i * 7919) % s.size()) + 0.5f) / float(s.size());
  return s;
}

std::vector<float> deltas_of(const FaceCase &k) {
  std::vector<float> d(size_t(k.A) * 4 * k.H * k.W);
  for (size_t i = 0; i < d.size(); i++) d[i] = k.delta_range * (float((i * 2654435761u) % 2001) / 1000.0f - 1.0f);
  return d;
}

std::vector<ref::Rect> run_case(LayerRunner &rig, const FaceCase &k, u32 *count) {
  chip::Memory &m = rig.chip().device_memory();
  const std::vector<float> scores = scores_of(k), deltas = deltas_of(k);
  m.store(kScores, scores.data(), scores.size() * 4);
  m.store(kDeltas, deltas.data(), deltas.size() * 4);
  m.store(kSizes, k.sizes.data(), k.sizes.size() * 4);
  const std::vector<float> canary(5 * 16, -7.0f);
  EXPECT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_cv_gen_proposal_fast_hw_op(kScores, kDeltas, kSizes, kOut, k.scale, k.stride_a, k.W, k.H, k.image_w,
                                        k.image_h, k.stride_b, k.A, k.base, k.divisor, k.min_size, k.threshold, node);
  }));
  m.load(kOut + FACE_PROP_COUNT_OFFSET, count, 4);
  return ref::by_score(ref::face_candidates(scores, deltas, k.sizes, map_of(k)));
}

const FaceCase kCases[] = {
    {"one anchor at the origin: corner 0, side 16, centre 8", 1, 2, 3, 1, 4, 4, 16, 100, 100, 1, 1, 0, 0, {1}, {}},
    {"boxes past both edges clip to 0 and to image_w - 1", 2, 3, 5, 1, 8, 1, 12, 20, 14, 1, 1, 0.1f, 1.5f,
     {1.5f, 0.75f}, {}},
    {"three anchors, 70 rows over two rows per lane, 37 columns, threshold and size drop some", 3, 70, 37, 0.5f, 2, 4,
     16, 300, 280, 2, 12, 0.3f, 0.6f, {1, 2, 3.5f}, {}},
    {"three candidates 0.9, 0.5, 0.7 come out as 0.9, 0.7, 0.5", 1, 1, 3, 1, 4, 4, 16, 100, 100, 1, 1, 0.2f, 0,
     {1}, {0.9f, 0.5f, 0.7f}},
    {"a 256 x 256 map, four rows per lane", 1, 256, 256, 1, 2, 2, 8, 512, 512, 1, 4, 0.995f, 0.4f, {1.25f}, {}},
};

TEST(CvFaceProposal, EqualsTheReference) {
  for (const FaceCase &k : kCases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      chip::Memory &m = rig.chip().device_memory();
      u32 count = 0;
      const std::vector<ref::Rect> want = run_case(rig, k, &count);
      ASSERT_EQ(count, want.size());
      ASSERT_GT(count, 0u);
      std::vector<float> got(5 * size_t(count));
      m.load(kOut, got.data(), got.size() * 4);
      expect_rects(got, want);
    }
  // The first case by hand: position (0, 0) has score 0.5 / 6 of 6 and the box
  // [0, 16] on both axes.
  LayerRunner rig;
  u32 count = 0;
  run_case(rig, kCases[0], &count);
  ASSERT_EQ(count, 6u);
  std::vector<float> got(5 * 6);
  rig.chip().device_memory().load(kOut, got.data(), got.size() * 4);
  const float first = (0.5f) / 6.0f;
  bool seen = false;
  for (size_t i = 0; i < 6; i++)
    if (got[5 * i + 4] == first) {
      seen = true;
      EXPECT_EQ(got[5 * i + 0], 0.0f);
      EXPECT_EQ(got[5 * i + 1], 0.0f);
      EXPECT_EQ(got[5 * i + 2], 16.0f);
      EXPECT_EQ(got[5 * i + 3], 16.0f);
    }
  EXPECT_TRUE(seen);
}

// No score passes: count 0, no rectangle move, nothing written at output + 0.
TEST(CvFaceProposal, NothingKeptWritesOnlyTheCount) {
  FaceCase k = kCases[2];
  k.threshold = 2.0f;
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    chip::Memory &m = rig.chip().device_memory();
    const std::vector<u8> old(64, 0x5a);
    m.store(kOut, old.data(), old.size());
    const u32 stale = 77;
    m.store(kOut + FACE_PROP_COUNT_OFFSET, &stale, 4);
    const size_t gdma_before = rig.chip().engines.gdma.commands().size();
    u32 count = 1;
    EXPECT_TRUE(run_case(rig, k, &count).empty());
    EXPECT_EQ(count, 0u);
    std::vector<u8> now(old.size());
    m.load(kOut, now.data(), now.size());
    EXPECT_EQ(now, old);
    // The scores' masked move only: no rectangle move follows a count of 0.
    size_t filters = 0;
    for (size_t i = gdma_before; i < rig.chip().engines.gdma.commands().size(); i++)
      filters += rig.chip().engines.gdma.commands()[i].kind_name == "filter";
    EXPECT_EQ(filters, 1u);
  }
}

// More kept boxes than the 8192 records before the count word: the best 8192
// are written and the count says 8192; the count word is not overwritten.
TEST(CvFaceProposal, MoreThanTheOutputHoldsKeepsTheBest) {
  const FaceCase k = {"91 x 91, everything kept", 1, 91, 91, 1, 2, 2, 8, 400, 400, 1, 1, -1.0f, 0.2f, {1}, {}};
  LayerRunner rig(deferred(1));
  u32 count = 0;
  const std::vector<ref::Rect> all = run_case(rig, k, &count);
  ASSERT_EQ(all.size(), 91u * 91u);
  ASSERT_EQ(count, FACE_PROP_MAX_OUTPUT);
  std::vector<float> got(5 * size_t(FACE_PROP_MAX_OUTPUT));
  rig.chip().device_memory().load(kOut, got.data(), got.size() * 4);
  expect_rects(got, std::vector<ref::Rect>(all.begin(), all.begin() + FACE_PROP_MAX_OUTPUT));
}

// Lists left pending by a call that failed before its post-process: the next
// call starts with none (else it would join a stale list, or find the table
// full and fail).
TEST(CvFaceProposal, StaleListsOfAFailedCallAreDropped) {
  const FaceCase &k = kCases[2];
  LayerRunner rig(deferred(2));
  for (u32 i = 0; i < FACE_PROP_MAX_LISTS; i++)
    l2sram_face_rect_addr_info[i] = {FACE_PROP_L2_START + 0x1000 * i, FACE_PROP_L2_START + 0x1000 * i + 0x800, 5, 20};
  l2sram_rect_cnt = FACE_PROP_MAX_LISTS;
  u32 count = 0;
  const std::vector<ref::Rect> want = run_case(rig, k, &count);
  ASSERT_EQ(count, want.size());
  std::vector<float> got(5 * size_t(count));
  rig.chip().device_memory().load(kOut, got.data(), got.size() * 4);
  expect_rects(got, want);
  EXPECT_EQ(l2sram_rect_cnt, 0u);
}

TEST(CvFaceProposal, ListBoundsAreChecked) {
  face_prop_shape_t shape = {1, 1, 1, 1, 32, 32, 1, 1, 1, 128, 128};
  // A ninth list would overwrite the table of eight.
  expect_assert(
      [&](cmd_id_node_t *n) {
        l2sram_rect_cnt = FACE_PROP_MAX_LISTS;
        move_face_rect_to_sram(0x20280, 0x20200, 0x20300, 0x20380, 1, &shape, n);
      },
      "ASSERT_FS", "firmware/cv/", "move_face_rect_to_sram", "l2sram_rect_cnt < FACE_PROP_MAX_LISTS",
      "8 lists pending");
  // Joining lists that no map wrote.
  expect_assert(
      [](cmd_id_node_t *n) {
        u64 list = 0;
        l2sram_rect_cnt = 1;
        gen_proposal_post_process(&list, DTCM_SCRATCH_START, 0, n);
      },
      "ASSERT_FS", "firmware/cv/", "gen_proposal_post_process", "(prop_times >= 1)", "proposal_times too small");
  expect_assert(
      [](cmd_id_node_t *n) {
        u64 list = 0;
        l2sram_rect_cnt = 2;
        gen_proposal_post_process(&list, DTCM_SCRATCH_START, 3, n);
      },
      "ASSERT_FS", "firmware/cv/", "gen_proposal_post_process", "prop_times <= l2sram_rect_cnt", "2 lists pending");
  // A list whose scores would run past the end of L2 SRAM.
  expect_assert(
      [&](cmd_id_node_t *n) {
        l2sram_rect_cnt = 0;
        move_face_rect_to_sram(0x20280, 0x20200, 0x20300, 0x20380, 300000, &shape, n);
      },
      "ASSERT_FS", "firmware/cv/", "move_face_rect_to_sram", "rect_addr <= FACE_PROP_L2_END",
      "300000 candidates from 0x10323c00");
}

// A 256 x 256 map that keeps every box: the rectangles would run past the end
// of L2 SRAM, and the call stops before moving them.
TEST(CvFaceProposal, RectanglesBeyondL2AreRefused) {
  const FaceCase k = {"256 x 256, everything kept", 1, 256, 256, 1, 1, 1, 4, 400, 400, 1, 1, -1.0f, 0, {1}, {}};
  LayerRunner rig(deferred(3));
  chip::Memory &m = rig.chip().device_memory();
  const std::vector<float> scores = scores_of(k), deltas = deltas_of(k);
  m.store(kScores, scores.data(), scores.size() * 4);
  m.store(kDeltas, deltas.data(), deltas.size() * 4);
  m.store(kSizes, k.sizes.data(), 4);
  const FwOutcome o = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_cv_gen_proposal_fast_hw_op(kScores, kDeltas, kSizes, kOut, k.scale, k.stride_a, k.W, k.H, k.image_w,
                                        k.image_h, k.stride_b, k.A, k.base, k.divisor, k.min_size, k.threshold, node);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/cv/", "move_face_rect_to_sram",
                         "rect_addr + 16 * (u64)count <= FACE_PROP_L2_END", "65536 rectangles from 0x10363c00"));
}

}  // namespace
}  // namespace zv::test
