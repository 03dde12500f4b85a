// SSD detection output: the slicing plans by tables, the layer against the
// plain reference under every schedule with the happens-before checker, and
// its assertions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/ssd_detect_out.h"
#include "ref/ssd_ref.h"

namespace zv::test {
namespace {

using ref::DetRecord;
using ref::SsdParams;

constexpr u64 kLoc = 0x101000000ull;
constexpr u64 kConf = 0x102000000ull;
constexpr u64 kPrior = 0x103000000ull;
constexpr u64 kOut = 0x104000000ull;

// The boxes are decoded on the tensor engine, whose e^x (table and series)
// lies within 1e-6 (relative) of the ARM's: a coordinate cx - w / 2 or
// cx + w / 2 may differ by about a millionth of the box's extent and centre,
// bounded here by 2e-6 x (1 + |value|). Image, label and score are exact.
constexpr float kBoxTolerance = 2e-6f;
// Scenes are kept only when every IoU the suppression compares lies at least
// this far from its threshold, so that boxes differing as above make the same
// decisions and the kept set and order are exact.
constexpr float kIouMargin = 2e-4f;

struct Scene {
  std::vector<float> loc, conf, prior;
};

// Priors on an overlapping grid (every seventh of zero width), small offsets,
// scores on a coarse scale so that many are equal. `low` images score below
// every threshold.
Scene make_scene(const SsdParams &p, unsigned seed, int low_image = -1) {
  Scene s;
  const int np = p.num_priors;
  const int side = int(std::ceil(std::sqrt(double(np))));
  for (int j = 0; j < np; j++) {
    const float x = float(j % side) * 0.05f - 0.1f, y = float(j / side) * 0.05f - 0.1f;
    const float w = j % 7 == 3 ? 0.0f : 0.08f + 0.02f * float(j % 3);
    s.prior.insert(s.prior.end(), {x, y, x + w, y + 0.1f});
  }
  for (int j = 0; j < np; j++) s.prior.insert(s.prior.end(), {0.1f, 0.1f, 0.2f, 0.2f});
  unsigned r = seed;
  auto next = [&] {
    r = r * 1103515245u + 12345u;
    return (r >> 16) & 0x7fff;
  };
  s.loc.resize(size_t(p.num) * size_t(np) * size_t(p.num_loc_classes) * 4);
  for (float &v : s.loc) v = float(int(next() % 41) - 20) * 0.05f;
  s.conf.resize(size_t(p.num) * size_t(np) * size_t(p.num_classes));
  for (size_t k = 0; k < s.conf.size(); k++) {
    const int image = int(k / (size_t(np) * size_t(p.num_classes)));
    s.conf[k] = image == low_image ? 0.0f : float(next() % 16) / 16.0f;
  }
  return s;
}

// The first scene from `seed` on whose suppression decisions are well defined
// (see kIouMargin), with its reference records.
Scene well_defined_scene(const SsdParams &p, unsigned seed, int low_image, std::vector<DetRecord> *want) {
  for (unsigned tries = 0; tries < 200; tries++, seed += 7919) {
    Scene s = make_scene(p, seed, low_image);
    float margin = 0;
    *want = ref::ssd_detect_out(s.loc, s.conf, s.prior, p, &margin);
    if (margin >= kIouMargin) return s;
  }
  ADD_FAILURE() << "no scene with an IoU margin of " << kIouMargin;
  return {};
}

struct Detections {
  int count = -7;
  std::vector<DetRecord> records;
};

Detections run_ssd(FirmwareRig &rig, const Scene &s, const SsdParams &p, FwOutcome *outcome, int code_type = 2) {
  chip::Chip &chip = rig.chip();
  chip.ddr.store(kLoc, reinterpret_cast<const u8 *>(s.loc.data()), s.loc.size() * 4);
  chip.ddr.store(kConf, reinterpret_cast<const u8 *>(s.conf.data()), s.conf.size() * 4);
  chip.ddr.store(kPrior, reinterpret_cast<const u8 *>(s.prior.data()), s.prior.size() * 4);
  Detections run;
  *outcome = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_ssd_detect_out(kLoc, kConf, kPrior, kOut, p.num, p.num_priors, p.num_classes, p.num_loc_classes,
                            p.share_location, p.background_label_id, p.top_k, code_type, p.keep_top_k,
                            p.variance_encoded_in_target, p.nms_threshold, p.confidence_threshold, p.eta,
                            &run.count, node);
  });
  if (run.count > 0) {
    run.records.resize(size_t(run.count));
    chip.ddr.load(kOut, reinterpret_cast<u8 *>(run.records.data()), size_t(run.count) * 28);
  }
  return run;
}

void expect_records(const std::vector<DetRecord> &got, const std::vector<DetRecord> &want) {
  ASSERT_EQ(got.size(), want.size());
  size_t bad = 0;
  for (size_t k = 0; k < want.size(); k++)
    for (size_t f = 0; f < 7; f++) {
      const float tol = f < 3 ? 0.0f : kBoxTolerance * (1.0f + std::fabs(want[k][f]));
      if (!(std::fabs(got[k][f] - want[k][f]) <= tol) && bad++ < 8)
        ADD_FAILURE() << "record " << k << " field " << f << ": " << got[k][f] << " want " << want[k][f];
    }
  EXPECT_EQ(bad, 0u);
}

TEST(SsdDetectOut, LanePlans) {
  struct Case {
    i64 n;
    ssd_lane_plan_t want;
  };
  // n: lanes, per lane, plane, full lanes, rest
  const Case cases[] = {
      {1, {1, 1, 32, 1, 0}},       {2, {2, 1, 32, 2, 0}},         {63, {63, 1, 32, 63, 0}},
      {64, {64, 1, 32, 64, 0}},    {65, {64, 2, 32, 32, 1}},      {70, {64, 2, 32, 35, 0}},
      {130, {64, 3, 32, 43, 1}},   {2048, {64, 32, 32, 64, 0}},   {2049, {64, 33, 64, 62, 3}},
      {8732, {64, 137, 160, 63, 101}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.n);
    const ssd_lane_plan_t p = ssd_lane_plan_of(c.n);
    EXPECT_EQ(p.lanes, c.want.lanes);
    EXPECT_EQ(p.per_lane, c.want.per_lane);
    EXPECT_EQ(p.plane, c.want.plane);
    EXPECT_EQ(p.full, c.want.full);
    EXPECT_EQ(p.rest, c.want.rest);
    // Every item has a slot, and no lane is left without one but the padding.
    EXPECT_EQ(i64(p.full) * p.per_lane + p.rest, c.n);
    EXPECT_GE(i64(p.lanes) * p.per_lane, c.n);
    EXPECT_LT(i64(p.lanes) * p.per_lane - c.n, p.lanes);
  }
}

TEST(SsdDetectOut, LocalPlans) {
  struct Case {
    int np, nc, venc, valid;
    bool fits;
  };
  const Case cases[] = {
      {1, 2, 0, 0, true},       {70, 3, 1, 1, true},        {8732, 21, 0, 0, true},
      {8732, 91, 0, 1, true},   {24000, 2, 0, 0, true},     {60000, 300, 0, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.np << " priors, " << c.nc << " classes");
    const ssd_local_plan_t p = ssd_local_plan_of(c.np, c.nc, c.venc, c.valid);
    EXPECT_TRUE(local_areas_valid(p.areas, SSD_AREA_COUNT) || !c.fits);
    const u32 pb = 4u * u32(p.lanes.plane);
    EXPECT_EQ(p.plane_bytes, pb);
    EXPECT_EQ(p.areas[SSD_AREA_CONF].bytes, u32(c.nc) * pb);
    EXPECT_EQ(p.areas[SSD_AREA_VARIANCE].bytes, c.venc ? 0u : 4 * pb);
    EXPECT_EQ(p.areas[SSD_AREA_VALID].bytes, c.valid ? pb : 0u);
    EXPECT_EQ(p.resident_bytes, p.areas[SSD_AREA_WORK].offset);
    // The staging of the conf load: every class of every slot of a lane.
    EXPECT_GE(p.areas[SSD_AREA_WORK].bytes, 4u * u32(c.nc) * u32(p.lanes.per_lane));
    const u64 end = u64(p.areas[SSD_AREA_WORK].offset) + p.areas[SSD_AREA_WORK].bytes;
    EXPECT_EQ(end <= 0x80000, c.fits);
  }
}

TEST(SsdDetectOut, GroupPlans) {
  struct Case {
    int G;
    int L, M, chunk_rows;
    bool fits;
  };
  const Case cases[] = {
      {1, 1, 1, 1, true},     {64, 64, 1, 64, true},    {65, 64, 2, 128, true},   {256, 64, 4, 256, true},
      {257, 64, 5, 160, true}, {956, 64, 15, 60, true}, {1700, 64, 27, 27, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.G);
    const ssd_group_plan_t p = ssd_group_plan_of(c.G);
    EXPECT_EQ(p.lanes.lanes, c.L);
    EXPECT_EQ(p.lanes.per_lane, c.M);
    EXPECT_EQ(p.chunk_rows, c.chunk_rows);
    // A chunk of rows fits the DTCM budget, and halving it would not be needed.
    EXPECT_LE(i64(p.chunk_rows) * c.L * c.M, SSD_IOU_CHUNK_FLOATS);
    EXPECT_TRUE(p.chunk_rows == c.L * c.M || i64(2 * p.chunk_rows) * c.L * c.M > SSD_IOU_CHUNK_FLOATS);
    // One row of the matrix per candidate slot, G columns.
    EXPECT_EQ(p.matrix_bytes, u32((c.L * c.M + 63) / 64) * 4u * u32(p.columns_plane));
    EXPECT_TRUE(local_areas_valid(p.areas, SSD_GROUP_AREA_COUNT) || !c.fits);
    EXPECT_EQ(p.bytes <= 0x80000, c.fits);
  }
}

TEST(SsdDetectOut, AgainstReference) {
  struct Case {
    const char *what;
    SsdParams p;
    int low_image;
  };
  // num, np, nc, nlc, shared, bg, top_k, keep_top_k, venc, nms, conf, eta
  const Case cases[] = {
      {"shared locations, background 0", {2, 60, 4, 1, true, 0, -1, -1, false, 0.45f, 0.5f, 1.0f}, -1},
      {"a location per class, no background", {2, 40, 3, 3, false, -1, 400, -1, true, 0.3f, 0.4f, 1.0f}, -1},
      {"fewer location classes than classes", {1, 40, 5, 2, false, 0, -1, -1, false, 0.5f, 0.3f, 1.0f}, -1},
      {"top_k cuts each class", {2, 50, 3, 1, true, 0, 3, -1, false, 0.6f, 0.2f, 1.0f}, -1},
      {"top_k 0 keeps nothing", {2, 20, 3, 1, true, 0, 0, -1, false, 0.6f, 0.2f, 1.0f}, -1},
      {"keep_top_k 5 of more", {2, 60, 4, 1, true, 0, -1, 5, false, 0.45f, 0.3f, 1.0f}, -1},
      {"keep_top_k above the kept count", {1, 30, 3, 1, true, 0, -1, 500, false, 0.45f, 0.3f, 1.0f}, -1},
      {"keep_top_k negative stops at 200", {2, 300, 3, 1, true, 0, -1, -1, false, 1.0f, 0.05f, 1.0f}, -1},
      {"adaptive threshold", {2, 80, 3, 1, true, 0, -1, -1, false, 0.7f, 0.1f, 0.9f}, -1},
      {"one image without detections", {3, 40, 3, 1, true, 0, -1, -1, false, 0.45f, 0.5f, 1.0f}, 1},
      {"nothing passes", {3, 40, 3, 1, true, 0, -1, -1, false, 0.45f, 0.99f, 1.0f}, -1},
      {"keep_top_k 0", {2, 40, 3, 1, true, 0, -1, 0, false, 0.45f, 0.2f, 1.0f}, -1},
      {"more priors than lanes, many classes", {1, 130, 6, 1, true, 2, 40, -1, false, 0.4f, 0.6f, 1.0f}, -1},
      // 70 priors: 35 full lanes of 2, lanes 35 to 63 padding.
      {"threshold below the padding", {1, 70, 3, 1, true, 0, -1, -1, false, 0.5f, -2.0f, 1.0f}, -1},
      {"one prior", {2, 1, 3, 1, true, 0, -1, -1, false, 0.5f, 0.1f, 1.0f}, -1},
      // Groups close past 255 candidates; the IoU rows come back in chunks.
      {"groups of classes", {1, 200, 9, 1, true, 0, 50, -1, false, 0.5f, 0.2f, 1.0f}, -1},
  };
  unsigned seed = 11;
  for (const Case &c : cases) {
    std::vector<DetRecord> want;
    const Scene s = well_defined_scene(c.p, seed++, c.low_image, &want);
    for (const Sched &sch : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sch));
      FirmwareRig rig(sch);
      FwOutcome out;
      const Detections run = run_ssd(rig, s, c.p, &out);
      ASSERT_TRUE(ran_clean(out));
      EXPECT_EQ(run.count, int(want.size()));
      expect_records(run.records, want);
    }
  }
}

// Boxes of zero area and boxes with no overlap: IoU 0, so all are kept.
TEST(SsdDetectOut, ZeroAreaBoxesDoNotSuppress) {
  const SsdParams p = {1, 3, 2, 1, true, 0, -1, -1, true, 0.0f, 0.1f, 1.0f};
  Scene s;
  s.prior = {0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.5f, 0.5f, 0.6f, 0.6f};
  s.prior.resize(24, 1.0f);
  s.loc.assign(12, 0.0f);
  s.conf = {0.0f, 0.9f, 0.0f, 0.8f, 0.0f, 0.7f};
  FirmwareRig rig(deferred(2));
  FwOutcome out;
  const Detections run = run_ssd(rig, s, p, &out);
  ASSERT_TRUE(ran_clean(out));
  expect_records(run.records, ref::ssd_detect_out(s.loc, s.conf, s.prior, p));
  EXPECT_EQ(run.count, 3);
}

TEST(SsdDetectOut, Assertions) {
  const char *where = "firmware/layers/detect/";
  expect_assert([](cmd_id_node_t *n) {
    nodechip_ssd_detect_out(kLoc, kConf, kPrior, kOut, 1, 10, 3, 1, 1, 0, 701, 2, -1, 0, 0.5f, 0.1f, 1.0f, nullptr, n);
  }, "ASSERT", where, "nodechip_ssd_detect_out", "top_k <= 700");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_ssd_detect_out(kLoc, kConf, kPrior, kOut, 1, 10, 3, 2, 1, 0, -1, 2, -1, 0, 0.5f, 0.1f, 1.0f, nullptr, n);
  }, "ASSERT", where, "nodechip_ssd_detect_out", "num_loc_classes == 1");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_ssd_detect_out(kLoc, kConf, kPrior, kOut, 1, 10, 3, 1, 1, 0, -1, 1, -1, 0, 0.5f, 0.1f, 1.0f, nullptr, n);
  }, "ASSERT", where, "nodechip_ssd_detect_out", "code_type == SSD_CODE_CENTER_SIZE");

  // Ten priors give room for align64(20) = 64 candidates; eight classes of ten
  // would pass it.
  {
    const SsdParams p = {1, 10, 9, 1, true, 0, -1, -1, false, 0.5f, -0.5f, 1.0f};
    const Scene s = make_scene(p, 5);
    FirmwareRig rig(deferred(1));
    FwOutcome out;
    run_ssd(rig, s, p, &out);
    EXPECT_TRUE(stopped_on(out, "ASSERT", where, "collect_candidates", "Bc + n <= box_capacity",
                           "class 7: 10 candidates after 60"));
  }
  // Local memory: the conf planes of 900 classes over 8732 priors (before any
  // load), and the IoU matrices of a class of 1700 candidates.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_ssd_detect_out(kLoc, kConf, kPrior, kOut, 1, 8732, 900, 1, 1, 0, -1, 2, -1, 0, 0.5f, 0.1f, 1.0f, nullptr,
                            n);
  }, "ASSERT", where, "local_mem_alloc", "res + size <= (1<<19)");
  {
    const SsdParams p = {1, 1700, 2, 1, true, 0, -1, -1, false, 0.5f, -0.5f, 1.0f};
    const Scene s = make_scene(p, 7);
    FirmwareRig rig(deferred(1));
    FwOutcome out;
    run_ssd(rig, s, p, &out);
    EXPECT_TRUE(stopped_on(out, "ASSERT", where, "local_mem_alloc", "res + size <= (1<<19)"));
  }
  // The L2 scratch ends below the engines' lookup tables.
  {
    const SsdParams p = {1, 24000, 2, 1, true, 0, -1, -1, false, 0.5f, 0.5f, 1.0f};
    const Scene s = make_scene(p, 6);
    FirmwareRig rig(deferred(1));
    FwOutcome out;
    run_ssd(rig, s, p, &out);
    EXPECT_TRUE(stopped_on(out, "ASSERT", where, "l2sram_alloc", "res + size <= SSD_L2_SCRATCH_END"));
  }
}

}  // namespace
}  // namespace zv::test
