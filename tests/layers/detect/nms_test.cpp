// Vectorised NMS and soft-NMS: the batch plan and local layout, the three
// modes of the engine and the soft-NMS matrices against plain references on
// generated scenes, under every schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/nms.h"
#include "ref/detect_ref.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

using ref::Rect;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kBoxes = 0x108000000ull;
constexpr u64 kScores = 0x10c000000ull;
constexpr u64 kWeights = 0x110000000ull;

// A crowded scene: boxes on a small grid (many overlaps, identical boxes),
// scores from a few levels (many ties), some boxes of zero width or height and
// some partly at negative coordinates.
std::vector<Rect> scene(size_t n, unsigned seed) {
  std::vector<Rect> v(n);
  unsigned s = seed * 2654435761u + 12345u;
  auto next = [&]() {
    s = s * 1103515245u + 12345u;
    return (s >> 8) & 0xffff;
  };
  for (size_t i = 0; i < n; i++) {
    const float x = float(int(next() % 40) - 5), y = float(int(next() % 40) - 5);
    float w = float(next() % 12), h = float(next() % 12);
    if (i % 11 == 3) w = 0;
    if (i % 13 == 5) h = 0;
    v[i] = {x, y, x + w, y + h, float(next() % 7) * 0.125f};
  }
  return v;
}

// Boxes far apart from each other: nothing overlaps.
std::vector<Rect> disjoint(size_t n) {
  std::vector<Rect> v(n);
  for (size_t i = 0; i < n; i++) {
    const float x = float(i % 32) * 20, y = float(i / 32) * 20;
    v[i] = {x, y, x + 5, y + 5, float((i * 37) % 101)};
  }
  return v;
}

std::vector<float> flat(const std::vector<Rect> &v) {
  std::vector<float> f;
  for (const Rect &r : v) f.insert(f.end(), {r.x1, r.y1, r.x2, r.y2, r.score});
  return f;
}

// The kept boxes of a proposal block: size, capacity and rows.
struct Block {
  i32 size = -1, capacity = -1;
  std::vector<float> rows;
};

Block read_block(const u8 *p, size_t max_rows) {
  Block b;
  std::memcpy(&b.size, p, 4);
  std::memcpy(&b.capacity, p + 4, 4);
  const size_t n = b.size >= 0 && size_t(b.size) <= max_rows ? size_t(b.size) : 0;
  b.rows.resize(5 * n);
  if (n) std::memcpy(b.rows.data(), p + 8, 20 * n);
  return b;
}

std::vector<float> rows_of(const std::vector<Rect> &boxes, const std::vector<int> &kept) {
  std::vector<Rect> r;
  for (int k : kept) r.push_back(boxes[size_t(k)]);
  return flat(r);
}

TEST(NmsPlan, BatchPerPlanningCount) {
  struct Case {
    int L, batch;
  };
  const Case cases[] = {{1, 1},     {31, 31},   {32, 32},   {288, 288}, {289, 256}, {300, 256}, {320, 256},
                        {500, 160}, {512, 160}, {583, 128}, {600, 128}, {700, 96},  {800, 96},  {1000, 64},
                        {1024, 64}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.L);
    EXPECT_EQ(nodechip_get_max_process_size(c.L), c.batch);
    EXPECT_EQ(nms_local_batch_limit(c.L), c.L == 583 ? 583 : 576);
  }
  // 20 L + one block reaching the window: no rows fit.
  expect_assert([] { nodechip_get_max_process_size(18636); }, "ASSERT", "firmware/layers/",
                "nodechip_get_max_process_size",
                "(dtcm_reserved_size - sizeof(nms_data_type_t) * proposal_size * 5 - sizeof(nms_proposal_t)) > 0",
                "proposal size exceeds the limitation\r");
}

TEST(NmsPlan, LocalRegionsFitTheLane) {
  struct Case {
    int P, B, soft;
  };
  const Case cases[] = {{1, 1, 0}, {33, 33, 0}, {288, 288, 0}, {1024, 64, 0}, {583, 583, 1}, {1024, 576, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.P) + " x " + std::to_string(c.B));
    nms_local_plan_t p;
    nms_local_plan_of(&p, c.P, c.B, c.soft);
    EXPECT_TRUE(local_areas_valid(p.areas, NMS_AREA_COUNT));
    EXPECT_LE(p.end, NMS_LOCAL_BYTES);
    EXPECT_EQ(p.M % 128, 0u);
  }
}

// Proposal mode through nodechip_cv_nms_vec: the block holds the kept boxes in
// score order, as the greedy reference keeps them.
TEST(NmsVec, ProposalModeAgainstGreedyReference) {
  struct Case {
    const char *what;
    std::vector<Rect> boxes;
    float thr;
  };
  const Case cases[] = {
      {"one box", scene(1, 1), 0.5f},
      {"crowded, 0.5", scene(40, 2), 0.5f},
      {"crowded, 0.3", scene(64, 3), 0.3f},
      {"negative threshold keeps the best only", scene(20, 4), -0.1f},
      {"one pass of 288", scene(288, 5), 0.4f},
      {"two passes (256 + 33)", scene(289, 6), 0.4f},
      {"disjoint boxes, five passes", disjoint(600), 0.5f},
      {"inclusive widths: one shared column", {{0, 0, 9, 9, 0.9f}, {9, 0, 18, 9, 0.8f}}, 10.0f / 190.0f - 1e-4f},
  };
  for (const Case &c : cases) {
    const std::vector<int> order = ref::score_order(c.boxes);
    const std::vector<int> kept = ref::greedy_nms(c.boxes, order, c.boxes.size(), c.thr, true);
    const std::vector<Sched> scheds = c.boxes.size() > 288 ? deferred_schedules() : all_schedules();
    for (const Sched &s : scheds) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kIn, flat(c.boxes));
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nms_vec_face_demo_mode = 0;
        cv_cur_dtcm_addr = DTCM_SCRATCH_START;
        nodechip_cv_nms_vec(kIn, DTCM_SCRATCH_START, DTCM_SCRATCH_START, u32(c.boxes.size()), c.thr, kOut, node);
      }));
      const std::vector<u8> raw = get<u8>(rig, kOut, sizeof(nms_proposal_t));
      const Block b = read_block(raw.data(), NMS_MAX_PROPOSALS);
      EXPECT_EQ(b.size, i32(kept.size()));
      EXPECT_EQ(b.capacity, 1024);
      EXPECT_EQ(b.rows, rows_of(c.boxes, kept));
    }
  }
  // The shared column counts: with the threshold just above the IoU both stay.
  const std::vector<Rect> two = {{0, 0, 9, 9, 0.9f}, {9, 0, 18, 9, 0.8f}};
  EXPECT_FLOAT_EQ(ref::box_iou(two[0], two[1], true), 10.0f / 190.0f);
}

TEST(NmsVec, NoProposalsWriteNothingAndTooManyAreRefused) {
  {
    LayerRunner rig;
    put(rig, kOut, std::vector<u32>(8, 0xdeadbeefu));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      cv_cur_dtcm_addr = DTCM_SCRATCH_START;
      EXPECT_EQ(nodechip_cv_nms_vec(kIn, DTCM_SCRATCH_START, DTCM_SCRATCH_START, 0, 0.5f, kOut, node), 0);
    }));
    EXPECT_EQ(get<u32>(rig, kOut, 8), std::vector<u32>(8, 0xdeadbeefu));
  }
  expect_assert(
      [](cmd_id_node_t *n) { nodechip_cv_nms_vec(kIn, DTCM_SCRATCH_START, DTCM_SCRATCH_START, 1025, 0.5f, kOut, n); },
      "ASSERT_FS", "firmware/layers/", "nodechip_cv_nms_vec_common", "proposal_size <= (1024)");
  expect_assert([](cmd_id_node_t *n) { nodechip_cv_soft_nms_vec(kIn, 1025, 0, 0.5f, kOut, kWeights, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_cv_soft_nms_vec", "proposal_size <= (1024)");
}

// Face-demo mode: the caller's list (already in score order) in DTCM, kept
// boxes appended to the caller's block behind the rows it already holds.
TEST(NmsVec, FaceDemoAppendsToTheCallersBlock) {
  constexpr u32 kList = 0x02025010u;
  std::vector<Rect> boxes = scene(50, 7);
  const std::vector<int> order = ref::score_order(boxes);
  std::vector<Rect> sorted;
  for (int k : order) sorted.push_back(boxes[size_t(k)]);
  std::vector<int> in_order(sorted.size());
  for (size_t i = 0; i < in_order.size(); i++) in_order[i] = int(i);
  const std::vector<int> kept = ref::greedy_nms(sorted, in_order, sorted.size(), 0.45f, true);
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    const std::vector<float> list = flat(sorted);
    std::memcpy(rig.chip().arm_ptr(kList, u32(list.size() * 4)), list.data(), list.size() * 4);
    const Rect first = {1, 2, 3, 4, 5};
    u8 *blk = rig.chip().arm_ptr(DTCM_SCRATCH_START, 28);
    const i32 head[2] = {1, 1024};
    std::memcpy(blk, head, 8);
    std::memcpy(blk + 8, &first, 20);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nms_vec_face_demo_mode = 1;
      cv_cur_dtcm_addr = DTCM_SCRATCH_START;
      nodechip_cv_nms_vec(kIn, kList, kList, u32(sorted.size()), 0.45f, DTCM_SCRATCH_START, node);
      nms_vec_face_demo_mode = 0;
    }));
    const Block b = read_block(rig.chip().arm_ptr(DTCM_SCRATCH_START, sizeof(nms_proposal_t)), NMS_MAX_PROPOSALS);
    EXPECT_EQ(b.size, i32(1 + kept.size()));
    std::vector<float> want = flat({first});
    const std::vector<float> k = rows_of(sorted, kept);
    want.insert(want.end(), k.begin(), k.end());
    EXPECT_EQ(b.rows, want);
  }
}

TEST(NmsVec, FaceDemoBounds) {
  constexpr u32 kList = 0x02025010u;
  const std::vector<float> list = flat(disjoint(300));
  struct Case {
    const char *what;
    u32 count;
    i32 size, capacity;
    const char *cond, *info;
  };
  const Case cases[] = {
      {"block filled to its capacity", 5, 2, 6, "output_proposal_dtcm_val->size < output_proposal_dtcm_val->capacity",
       "exceeds m_proposals capacity!!!\r"},
      {"more than one pass of rows", 289, 0, 1024, "batch >= proposal_size",
       "face-demo NMS takes at most 256 proposals\r"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FirmwareRig rig;
    std::memcpy(rig.chip().arm_ptr(kList, u32(list.size() * 4)), list.data(), list.size() * 4);
    const i32 head[2] = {c.size, c.capacity};
    std::memcpy(rig.chip().arm_ptr(DTCM_SCRATCH_START, 8), head, 8);
    const FwOutcome o = rig.run_layer([&](cmd_id_node_t *node) {
      nms_vec_face_demo_mode = 1;
      cv_cur_dtcm_addr = DTCM_SCRATCH_START;
      nodechip_cv_nms_vec(kIn, kList, kList, c.count, 0.5f, DTCM_SCRATCH_START, node);
    });
    EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/layers/", c.count > 288 ? "nodechip_cv_nms_vec_common"
                                                                              : "nodechip_cv_get_output_proposal",
                           c.cond, c.info));
    const Block b = read_block(rig.chip().arm_ptr(DTCM_SCRATCH_START, sizeof(nms_proposal_t)), NMS_MAX_PROPOSALS);
    EXPECT_LE(b.size, c.capacity);
  }
}

// Index mode through nodechip_nms_v2: input positions of the kept boxes.
TEST(NmsV2, IndicesAgainstGreedyReference) {
  struct Case {
    const char *what;
    std::vector<Rect> boxes;
    float iou, score;
    u32 max_out;
  };
  const Case cases[] = {
      {"no score filter", scene(60, 8), 0.5f, -1.0f, 60},
      {"NaN score threshold: no filter", scene(30, 9), 0.3f, NAN, 30},
      {"score filter", scene(80, 10), 0.4f, 0.3f, 80},
      {"output count cut", scene(80, 11), 0.6f, -1.0f, 3},
      {"more kept than one batch", disjoint(300), 0.5f, -1.0f, 300},
      {"output count above the boxes", scene(20, 12), 0.5f, 0.0f, 1000},
      {"touching boxes do not overlap", {{0, 0, 10, 10, 0.9f}, {10, 0, 20, 10, 0.8f}}, 0.0f, -1.0f, 2},
  };
  for (const Case &c : cases) {
    std::vector<float> b4, sc;
    for (const Rect &r : c.boxes) {
      b4.insert(b4.end(), {r.x1, r.y1, r.x2, r.y2});
      sc.push_back(r.score);
    }
    size_t passed = c.boxes.size();
    if (c.score >= 0) {
      passed = 0;
      for (float v : sc) passed += v > c.score;
    }
    const std::vector<int> want =
        ref::greedy_nms(c.boxes, ref::score_order(c.boxes), passed, c.iou, false, c.max_out);
    const std::vector<Sched> scheds = c.boxes.size() > 100 ? deferred_schedules() : all_schedules();
    for (const Sched &s : scheds) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kBoxes, b4);
      put(rig, kScores, sc);
      put(rig, kOut, std::vector<i32>(want.size() + 4, -7));
      i32 count = -1;
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_nms_v2(kBoxes, kScores, kOut, 0, u32(c.boxes.size()), c.max_out, &count, c.iou, c.score, node);
      }));
      ASSERT_EQ(count, i32(want.size()));
      std::vector<i32> got = get<i32>(rig, kOut, want.size() + 4);
      EXPECT_EQ(std::vector<i32>(got.begin(), got.begin() + long(want.size())), want);
      EXPECT_EQ(std::vector<i32>(got.begin() + long(want.size()), got.end()), std::vector<i32>(4, -7));
    }
  }
}

TEST(NmsV2, NothingPassesOrNoRoom) {
  const std::vector<Rect> boxes = scene(10, 13);
  std::vector<float> b4(40, 1.0f), sc;
  for (const Rect &r : boxes) sc.push_back(r.score);
  for (u32 max_out : {10u, 0u}) {
    SCOPED_TRACE(max_out);
    LayerRunner rig;
    put(rig, kBoxes, b4);
    put(rig, kScores, sc);
    put(rig, kOut, std::vector<i32>(10, -7));
    i32 count = -1;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_nms_v2(kBoxes, kScores, kOut, 0, 10, max_out, &count, 0.5f, max_out ? 5.0f : -1.0f, node);
    }));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(get<i32>(rig, kOut, 10), std::vector<i32>(10, -7));
  }
}

// Soft-NMS: every pair's IoU and weight, rows in input order.
TEST(SoftNms, MatricesAgainstReference) {
  struct Case {
    const char *what;
    std::vector<Rect> boxes;
    u32 method;
    float sigma;
  };
  const Case cases[] = {
      {"linear", scene(40, 14), 0, 0.5f},
      {"gaussian", scene(40, 15), 1, 0.5f},
      {"linear, two passes (576 + 24)", scene(600, 16), 0, 0.5f},
  };
  for (const Case &c : cases) {
    const size_t P = c.boxes.size();
    const std::vector<Sched> scheds = P > 100 ? std::vector<Sched>{deferred(1)} : all_schedules();
    for (const Sched &s : scheds) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kIn, flat(c.boxes));
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_soft_nms_vec(kIn, u32(P), c.method, c.sigma, kOut, kWeights, node);
      }));
      const std::vector<float> ov = get<float>(rig, kOut, P * P), wt = get<float>(rig, kWeights, P * P);
      size_t bad = 0;
      for (size_t i = 0; i < P; i++)
        for (size_t j = 0; j < P; j++) {
          const float iou = ref::box_iou(c.boxes[i], c.boxes[j], true);
          const float w = ref::soft_weight(iou, int(c.method), c.sigma);
          const bool ok = ov[i * P + j] == iou &&
                          (c.method == 0 ? wt[i * P + j] == w : std::fabs(wt[i * P + j] - w) <= 2e-6f);
          if (!ok && bad++ < 5)
            ADD_FAILURE() << "pair " << i << ", " << j << ": " << ov[i * P + j] << " / " << wt[i * P + j]
                          << " want " << iou << " / " << w;
        }
      EXPECT_EQ(bad, 0u);
      EXPECT_EQ(ov[1], ov[P]);  // symmetric
      EXPECT_EQ(wt[0], c.method == 0 ? 0.0f : wt[0]);
      if (c.method == 1) {
        EXPECT_NEAR(wt[0], std::exp(-2.0), 2e-6);
      }
    }
  }
  FirmwareRig rig;
  put(rig, kIn, flat(scene(4, 17)));
  EXPECT_TRUE(stopped_on(rig.run_layer([](cmd_id_node_t *n) { nodechip_cv_soft_nms_vec(kIn, 4, 2, 0.5f, kOut, kWeights, n); }),
                         "ASSERT", "firmware/layers/", "nodechip_soft_nms_caculate_overlap", "0",
                         "weighting_method error \r"));
}

}  // namespace
}  // namespace zv::test
