// YOLOv3 detection output against the plain reference under every schedule
// with the happens-before checker, its plans and its assertions.
//
// The engine's exponential (static tables and a Taylor series) is not the
// reference's expf: scores, centres and sizes are compared within 1e-7 +
// 2e-6 x |value| (the fine-logit scenes differ by up to 3e-7 relative; the
// model's exponential stays within 1e-6 of libm). Class, image and the kept
// set with its order are compared exactly, on scenes whose margins
// (yolov3_margins) keep every decision 1e-5 or more away from a threshold or
// a tie.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/yolov3_detect_out.h"
#include "ref/yolov3_ref.h"

namespace zv::test {
namespace {

using Rec = std::array<float, 7>;
using ref::YoloHead;
using ref::YoloParams;

constexpr u64 kHeads[3] = {0x101000000ull, 0x102000000ull, 0x103000000ull};
constexpr u64 kOut = 0x104000000ull;

YoloParams params(int num, int classes, int boxes, int keep_top_k, float nms, float conf) {
  YoloParams p{num, classes, boxes, boxes, keep_top_k, nms, conf, {}, {32.0f, 16.0f, 8.0f}, {}};
  for (int i = 0; i < 18; i++) p.biases[size_t(i)] = 10.0f + 7.0f * float(i);
  // Head 0 uses anchors 6.., head 1 3.., head 2 0.. (the usual order).
  for (int i = 0; i < 9; i++) p.mask[size_t(i)] = float((6 - 3 * (i / 3) + i % 3) % 9);
  return p;
}

// Logits on a coarse scale (many equal scores), or with fine steps in
// [-4, 4] when `fine`; images in [quiet_from, quiet_to) have a very low
// objectness.
std::vector<YoloHead> make_heads(const YoloParams &p, const std::vector<std::pair<int, int>> &shapes, unsigned seed,
                                 int quiet_from = -1, int quiet_to = -1, bool fine = false) {
  unsigned r = seed;
  auto next = [&] {
    r = r * 1103515245u + 12345u;
    return (r >> 16) & 0x7fff;
  };
  std::vector<YoloHead> heads;
  const int C5 = p.num_classes + 5;
  for (auto [h, w] : shapes) {
    YoloHead hd{h, w, std::vector<float>(size_t(p.num) * size_t(p.num_boxes * C5) * size_t(h * w))};
    const size_t S = size_t(h * w);
    for (size_t i = 0; i < hd.data.size(); i++) {
      const int ch = int((i / S) % size_t(C5));
      const int image = int(i / (S * size_t(p.num_boxes * C5)));
      float v = fine ? float(int(next() % 8001) - 4000) * 0.001f : float(int(next() % 9) - 4) * 0.5f;
      if (ch == 4 && image >= quiet_from && image < quiet_to) v = -20.0f;
      hd.data[i] = v;
    }
    heads.push_back(std::move(hd));
  }
  return heads;
}

struct Detections {
  int count = -7;
  std::vector<Rec> records;
};

Detections run_yolo(FirmwareRig &rig, const std::vector<YoloHead> &heads, const YoloParams &p, FwOutcome *outcome) {
  std::vector<int> shape;
  for (size_t k = 0; k < heads.size(); k++) {
    rig.chip().ddr.store(kHeads[k], reinterpret_cast<const u8 *>(heads[k].data.data()), heads[k].data.size() * 4);
    shape.insert(shape.end(), {heads[k].h, heads[k].w});
  }
  Detections run;
  *outcome = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_yolov3_detect_out(kHeads, kOut, int(heads.size()), p.num, shape.data(), p.num_classes, p.num_boxes,
                               p.mask_group, p.keep_top_k, p.nms_threshold, p.confidence_threshold, p.biases.data(),
                               p.strides.data(), p.mask.data(), &run.count, node);
  });
  if (run.count > 0) {
    run.records.resize(size_t(run.count));
    rig.chip().ddr.load(kOut, reinterpret_cast<u8 *>(run.records.data()), size_t(run.count) * 28);
  }
  return run;
}

void expect_records(const std::vector<Rec> &got, const std::vector<Rec> &want) {
  ASSERT_EQ(got.size(), want.size());
  size_t bad = 0;
  for (size_t k = 0; k < want.size(); k++)
    for (size_t f = 0; f < 7; f++) {
      const float tol = f < 2 ? 0.0f : 1e-7f + 2e-6f * std::fabs(want[k][f]);
      if (!(std::fabs(got[k][f] - want[k][f]) <= tol) && bad++ < 8)
        ADD_FAILURE() << "record " << k << " field " << f << ": " << got[k][f] << " want " << want[k][f];
    }
  EXPECT_EQ(bad, 0u);
}

TEST(Yolov3DetectOut, AgainstReference) {
  struct Case {
    const char *what;
    YoloParams p;
    std::vector<std::pair<int, int>> shapes;
    int quiet_from, quiet_to;
    bool fine = false;
  };
  const Case cases[] = {
      {"one head", params(2, 4, 3, -1, 0.45f, 0.3f), {{5, 4}}, -1, -1},
      // 70 rows: two steps of 64 and 6 rows.
      {"rows beyond the lanes", params(1, 2, 1, -1, 0.5f, 0.45f), {{70, 2}}, -1, -1},
      // 2100 cells a row: chunks of 8 class channels (20 classes), equal
      // logits across chunks; some 800 candidates for the engine NMS.
      {"class chunks", params(1, 20, 3, -1, 0.6f, 0.7f), {{2, 700}}, -1, -1},
      // About 2000 candidates: the engine NMS in several row blocks.
      {"NMS row blocks", params(1, 2, 3, -1, 0.9f, 0.02f), {{26, 26}}, -1, -1},
      {"three heads, keep_top_k 3", params(3, 3, 3, 3, 0.5f, 0.2f), {{3, 3}, {6, 6}, {12, 12}}, -1, -1},
      {"keep_top_k 0 cuts nothing", params(1, 3, 3, 0, 0.3f, 0.2f), {{4, 4}, {8, 8}}, -1, -1},
      {"one class", params(2, 1, 3, -1, 0.6f, 0.26f), {{7, 5}}, -1, -1},
      // Passes of 8, 8 and 4: the second has no box.
      {"19 rows: passes of 8, one empty", params(20, 2, 1, -1, 0.5f, 0.4f), {{19, 2}}, 8, 16},
      // Passes of 16 and 4: the second has no box.
      {"13 rows: passes of 16, one empty", params(20, 2, 1, -1, 0.5f, 0.4f), {{13, 2}}, 16, 20},
      {"no box anywhere", params(3, 2, 2, -1, 0.5f, 0.4f), {{3, 3}}, 0, 3},
      {"many candidates", params(1, 6, 3, -1, 0.3f, 0.05f), {{13, 13}}, -1, -1},
      // Logits in steps of 0.001: the engine's exponential against expf.
      {"fine logits", params(2, 5, 3, -1, 0.45f, 0.4f), {{6, 6}, {12, 12}}, -1, -1, true},
      {"fine logits, engine NMS", params(1, 4, 3, -1, 0.5f, 0.3f), {{13, 13}}, -1, -1, true},
  };
  unsigned seed = 3;
  for (const Case &c : cases) {
    // The first scene from the running seed on whose margins the result is exact.
    std::vector<YoloHead> heads;
    for (int tries = 0;; tries++) {
      ASSERT_LT(tries, 100) << c.what << ": no scene with margins";
      heads = make_heads(c.p, c.shapes, seed++, c.quiet_from, c.quiet_to, c.fine);
      const ref::YoloMargins m = ref::yolov3_margins(heads, c.p);
      if (m.threshold > 1e-5f && m.score_gap > 1e-5f && m.iou > 1e-5f) break;
    }
    const std::vector<Rec> want = ref::yolov3_detect_out(heads, c.p);
    for (const Sched &sch : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sch));
      FirmwareRig rig(sch);
      FwOutcome out;
      const Detections run = run_yolo(rig, heads, c.p, &out);
      ASSERT_TRUE(ran_clean(out));
      EXPECT_EQ(run.count, int(want.size()));
      expect_records(run.records, want);
    }
  }
}

// Two boxes: an IoU exactly at the threshold suppresses the later one; equal
// scores keep candidate order (the last-ranked pair too); mask entry 7 takes
// biases 14 and 15.
TEST(Yolov3DetectOut, ThresholdTiesAndMask) {
  YoloParams p = params(1, 2, 2, -1, 2.0f, 0.1f);
  p.mask = {7, 7, 0, 0, 0, 0, 0, 0, 0};
  std::vector<YoloHead> heads = {{1, 3, std::vector<float>(size_t(2 * 7 * 3), 0.0f)}};
  auto set = [&](int j, int ch, int x, float v) { heads[0].data[size_t((j * 7 + ch) * 3 + x)] = v; };
  // Every cell and anchor: objectness 0 (sigmoid 0.5), class 1 logit 1.
  for (int j = 0; j < 2; j++)
    for (int x = 0; x < 3; x++) set(j, 6, x, 1.0f);
  set(0, 4, 1, 3.0f);  // the best box
  const std::vector<Rec> loose = ref::yolov3_detect_out(heads, p);
  ASSERT_EQ(loose.size(), 6u);
  EXPECT_FLOAT_EQ(loose[1][5], 108.0f / (3.0f * 32.0f)) << "mask entry 7 selects biases[14]";
  EXPECT_FLOAT_EQ(loose[1][6], 115.0f / 32.0f) << "and biases[15]";
  p.nms_threshold = ref::yolo_box_iou(loose[0], loose[1]);
  const std::vector<Rec> want = ref::yolov3_detect_out(heads, p);
  ASSERT_LT(want.size(), loose.size());
  for (const Sched &sch : {all_schedules().front(), deferred(2)}) {
    SCOPED_TRACE(sched_text(sch));
    FirmwareRig rig(sch);
    FwOutcome out;
    const Detections a = run_yolo(rig, heads, p, &out);
    ASSERT_TRUE(ran_clean(out));
    expect_records(a.records, want);
    p.nms_threshold = 2.0f;
    FwOutcome out2;
    const Detections b = run_yolo(rig, heads, p, &out2);
    ASSERT_TRUE(ran_clean(out2));
    expect_records(b.records, loose);
    p.nms_threshold = ref::yolo_box_iou(loose[0], loose[1]);
  }
}

// Every cell passes: 80 boxes are suppressed on the ARM, 81 on the engine
// (its IoU matrices are the only vector-correlation commands); both against
// the reference.
TEST(Yolov3DetectOut, ArmAndEngineNms) {
  for (const int width : {10, 9}) {
    const int h = width == 10 ? 8 : 9;
    const YoloParams p = params(1, 3, 1, -1, 0.35f, 0.01f);
    const std::vector<YoloHead> heads = make_heads(p, {{h, width}}, 41);
    const std::vector<Rec> want = ref::yolov3_detect_out(heads, p);
    const ref::YoloMargins m = ref::yolov3_margins(heads, p);
    ASSERT_GT(m.score_gap, 1e-5f);
    ASSERT_GT(m.iou, 1e-5f);
    for (const Sched &sch : {all_schedules().front(), deferred(3)}) {
      SCOPED_TRACE(std::to_string(h * width) + " boxes, " + sched_text(sch));
      FirmwareRig rig(sch);
      int correlations = 0;
      rig.chip().engines.scheduler.trace = [&](const std::string &line) {
        if (line.rfind("run ", 0) == 0 && line.find("vector correlation") != std::string::npos) correlations++;
      };
      FwOutcome out;
      const Detections run = run_yolo(rig, heads, p, &out);
      ASSERT_TRUE(ran_clean(out));
      EXPECT_EQ(correlations > 0, h * width > 80);
      EXPECT_EQ(run.count, int(want.size()));
      expect_records(run.records, want);
    }
  }
}

TEST(Yolov3DetectOut, HeadPlan) {
  struct Case {
    int h, w, boxes, classes;
    int rows, steps, chunk, chunks;
  };
  // 2 x 700 x 3: planes of 2112 floats; 33 planes and 6 per two channels
  // leave room for chunks of 8.
  const Case cases[] = {
      {13, 13, 3, 80, 13, 1, 80, 1}, {70, 2, 1, 2, 64, 2, 2, 1},   {128, 4, 3, 5, 64, 2, 5, 1},
      {2, 700, 3, 20, 2, 1, 8, 3},   {1, 6000, 3, 1, 1, 1, 0, 0}, {19, 19, 3, 1500, 19, 1, 670, 3},
      {1, 1, 1, 2000, 1, 1, 1024, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.h) + "x" + std::to_string(c.w) + "x" + std::to_string(c.boxes) + ", " +
                 std::to_string(c.classes) + " classes");
    yolov3_head_plan_t p;
    yolov3_head_plan_of(&p, c.h, c.w, c.boxes, c.classes);
    EXPECT_EQ(p.rows, c.rows);
    EXPECT_EQ(p.steps, c.steps);
    EXPECT_EQ(p.class_chunk, c.chunk);
    EXPECT_EQ(p.class_chunks, c.chunks);
    EXPECT_EQ(p.plane_bytes, 4u * ((u32(c.w * c.boxes) + 31) / 32 * 32));
    if (c.chunk == 0) {
      EXPECT_GT(p.local_mem_usage, u64(LOCAL_MEM_SIZE));
      continue;
    }
    EXPECT_LE(p.local_mem_usage, u64(LOCAL_MEM_SIZE));
    EXPECT_TRUE(local_areas_valid(p.areas, YOLOV3_AREA_COUNT));
    EXPECT_GE(p.areas[YOLOV3_AREA_LEVEL_A].bytes, 2u * u32(p.half) * p.plane_bytes);
    EXPECT_GE(p.half * 2, p.class_chunk);
    if (c.chunk < std::min(c.classes, YOLOV3_CLASS_CHUNK_MAX)) {
      // One channel more would not fit.
      yolov3_head_plan_t more;
      yolov3_head_plan_of(&more, c.h, c.w, c.boxes, c.chunk + 1);
      EXPECT_EQ(more.class_chunk, c.chunk);
    }
  }
}

TEST(Yolov3DetectOut, NmsPlan) {
  struct Case {
    int n, lanes, per_lane;
  };
  const Case cases[] = {{1, 1, 1}, {81, 64, 2}, {200, 64, 4}, {2000, 64, 32}, {6000, 64, 94}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " boxes");
    yolov3_nms_plan_t p;
    yolov3_nms_plan_of(&p, c.n);
    EXPECT_EQ(p.lanes, c.lanes);
    EXPECT_EQ(p.per_lane, c.per_lane);
    EXPECT_EQ(p.vec, (c.n + 31) / 32 * 32);
    EXPECT_LE(p.local_mem_usage, u64(LOCAL_MEM_SIZE));
    EXPECT_TRUE(local_areas_valid(p.areas, YOLOV3_NMS_AREA_COUNT));
    EXPECT_GE(i64(p.blocks) * p.block_rows, c.n);
    EXPECT_LT(i64(p.blocks - 1) * p.block_rows, c.n);
    EXPECT_LE(p.block_rows, 4032);
    if (p.blocks > 1) {
      EXPECT_EQ(p.block_rows % 64, 0);
    }
  }
  // 200 boxes fit one block; 2000 do not.
  yolov3_nms_plan_t p;
  yolov3_nms_plan_of(&p, 200);
  EXPECT_EQ(p.blocks, 1);
  yolov3_nms_plan_of(&p, 2000);
  EXPECT_GT(p.blocks, 1);
}

TEST(Yolov3DetectOut, Assertions) {
  const char *where = "firmware/layers/detect/";
  const int shape[8] = {2, 2, 2, 2, 2, 2, 2, 2};
  const float biases[18] = {}, strides[3] = {1, 1, 1};
  const float mask9[9] = {0, 1, 2, 3, 4, 5, 6, 7, 9};
  const float mask_neg[9] = {0, -1, 2, 3, 4, 5, 6, 7, 8};
  const float mask_ok[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_yolov3_detect_out(kHeads, kOut, 4, 1, shape, 2, 3, 3, -1, 0.5f, 0.5f, biases, strides, mask_ok, nullptr,
                               n);
  }, "ASSERT", where, "nodechip_yolov3_detect_out", "input_num >= 0 && input_num <= YOLOV3_MAX_HEADS");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_yolov3_detect_out(kHeads, kOut, 3, 1, shape, 2, 3, 4, -1, 0.5f, 0.5f, biases, strides, mask_ok, nullptr,
                               n);
  }, "ASSERT", where, "nodechip_yolov3_detect_out", "e >= 0 && e < YOLOV3_MAX_ANCHORS", "head 2 anchor 1");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_yolov3_detect_out(kHeads, kOut, 3, 1, shape, 2, 3, 3, -1, 0.5f, 0.5f, biases, strides, mask9, nullptr,
                               n);
  }, "ASSERT", where, "nodechip_yolov3_detect_out", "mask[e] >= 0.0f && mask[e] < (float)YOLOV3_MAX_ANCHORS",
                "mask[8]");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_yolov3_detect_out(kHeads, kOut, 1, 1, shape, 2, 3, 3, -1, 0.5f, 0.5f, biases, strides, mask_neg,
                               nullptr, n);
  }, "ASSERT", where, "nodechip_yolov3_detect_out", "mask[e] >= 0.0f && mask[e] < (float)YOLOV3_MAX_ANCHORS",
                "mask[1]");
  // A row of 18000 cells leaves no room for one class channel.
  const int wide[2] = {1, 6000};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_yolov3_detect_out(kHeads, kOut, 1, 1, wide, 2, 3, 3, -1, 0.5f, 0.5f, biases, strides, mask_ok, nullptr,
                               n);
  }, "ASSERT_FS", where, "_yolov3_arg_c_internal", "local_mem_usage <= (1<<19)");
  // 64 rows of 600 cells: a step's compacted values (900 KB) fit neither the
  // DTCM window nor the L2 SRAM left beside the candidate list.
  const int tall[2] = {64, 600};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_yolov3_detect_out(kHeads, kOut, 1, 1, tall, 2, 1, 1, -1, 0.5f, 0.5f, biases, strides, mask_ok, nullptr,
                               n);
  }, "ASSERT", where, "_yolov3_preprocess_and_filter", "l2sram_filtered_params[f][b][0]");
}

}  // namespace
}  // namespace zv::test
