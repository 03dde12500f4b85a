// Top-k by rounds and the per-dimension sorts: top-k's local layout, and the
// layers run as firmware code on the chip model under every schedule with the
// happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/data/topk.h"
#include "ref/topk_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kValue = 0x104000000ull;
constexpr u64 kIndex = 0x108000000ull;
constexpr u64 kBuf1 = 0x10c000000ull;
constexpr u64 kBuf2 = 0x110000000ull;
constexpr u64 kBuf3 = 0x114000000ull;

// A few levels (many ties), some negative, and -0.0 beside +0.0.
std::vector<float> values(size_t n, unsigned seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) {
    const int x = int(((i * 2654435761u + seed * 97u) >> 7) % 9) - 4;
    v[i] = x == 0 && i % 2 ? -0.0f : float(x);
  }
  return v;
}

// Floats compared by their bits, so -0.0 and +0.0 stay apart.
std::vector<u32> bits(const std::vector<float> &v) {
  std::vector<u32> b(v.size());
  std::memcpy(b.data(), v.data(), v.size() * 4);
  return b;
}

TEST(TopkPlan, SlicesThenFourWorkSlices) {
  struct Case {
    int dim, dims[4];
    i64 slice_bytes, slices;
  };
  const Case cases[] = {{3, {1, 1, 1, 4}, 128, 4}, {0, {3, 70, 2, 5}, 256, 3}, {2, {2, 3, 4, 33}, 512, 4},
                        {1, {130, 5, 1, 1}, 3 * 128, 5}};
  for (const Case &k : cases) {
    SCOPED_TRACE("dim " + std::to_string(k.dim));
    topk_plan_t p;
    topk_plan_of(&p, k.dim, k.dims[0], k.dims[1], k.dims[2], k.dims[3]);
    EXPECT_EQ(p.slice_bytes, k.slice_bytes);
    EXPECT_EQ(p.slices, k.slices);
    EXPECT_EQ(p.work, k.slice_bytes * k.slices);
    EXPECT_EQ(p.areas[4].offset + p.areas[4].bytes, u32(k.slice_bytes * (k.slices + 4)));
    EXPECT_TRUE(local_areas_valid(p.areas, TOPK_AREA_COUNT));
  }
}

TEST(TopkLayer, RoundsAgainstTheReference) {
  const int dims[4] = {2, 66, 3, 5};
  const std::vector<float> in = values(size_t(2) * 66 * 3 * 5, 1);
  for (const Sched &s : all_schedules())
    for (int dim = 0; dim < 4; dim++)
      for (int k : {1, dims[dim] - 1, dims[dim]}) {
        if (k < 1) continue;
        SCOPED_TRACE(sched_text(s) + ", dim " + std::to_string(dim) + ", k " + std::to_string(k));
        LayerRunner rig(s);
        put(rig, kIn, in);
        ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
          nodechip_topk(kIn, kValue, kIndex, k, dim, dims[0], dims[1], dims[2], dims[3], node);
        }));
        std::vector<float> want;
        std::vector<int32_t> where;
        ref::sort_along(in, {dims[0], dims[1], dims[2], dims[3]}, dim, true, k, &want, &where);
        EXPECT_EQ(get<float>(rig, kValue, want.size()), want);
        EXPECT_EQ(get<int32_t>(rig, kIndex, where.size()), where);
      }
}

TEST(TopkLayer, ManyRoundsRestartTheIdsBeforeTheyWrap) {
  // About 5 commands per slice and round: k = 14 over 1000 slices passes the
  // 16-bit id range.
  const int dims[4] = {1, 2, 1, 1000}, k = 14;
  const std::vector<float> in = values(size_t(2) * 1000, 4);
  LayerRunner rig(deferred(1));
  put(rig, kIn, in);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_topk(kIn, kValue, kIndex, k, 3, dims[0], dims[1], dims[2], dims[3], node);
  }));
  EXPECT_GT(rig.chip().engines.scheduler.bd.restarts, 0u);
  std::vector<float> want;
  std::vector<int32_t> where;
  ref::sort_along(in, {dims[0], dims[1], dims[2], dims[3]}, 3, true, k, &want, &where);
  EXPECT_EQ(get<float>(rig, kValue, want.size()), want);
  EXPECT_EQ(get<int32_t>(rig, kIndex, where.size()), where);
}

TEST(TopkLayer, TiesNegativeKAndRefusals) {
  {
    LayerRunner rig;
    put(rig, kIn, std::vector<float>{3, 7, 7, 1});
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_topk(kIn, kValue, kIndex, 3, 3, 1, 1, 1, 4, node); }));
    EXPECT_EQ(get<float>(rig, kValue, 3), (std::vector<float>{7, 7, 3}));
    EXPECT_EQ(get<int32_t>(rig, kIndex, 3), (std::vector<int32_t>{1, 2, 0}));
    // k < 0: the whole extent; an extent of 1.
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_topk(kIn, kValue, kIndex, -1, 3, 1, 1, 1, 4, node); }));
    EXPECT_EQ(get<float>(rig, kValue, 4), (std::vector<float>{7, 7, 3, 1}));
    EXPECT_EQ(get<int32_t>(rig, kIndex, 4), (std::vector<int32_t>{1, 2, 0, 3}));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_topk(kIn, kValue, kIndex, 1, 2, 1, 1, 1, 4, node); }));
    EXPECT_EQ(get<float>(rig, kValue, 4), (std::vector<float>{3, 7, 7, 1}));
    EXPECT_EQ(get<int32_t>(rig, kIndex, 4), (std::vector<int32_t>{0, 0, 0, 0}));
  }
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 5, 3, 1, 1, 1, 4, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_topk", "k >= 1 && k <= dim_size");
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 0, 3, 1, 1, 1, 4, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_topk", "k >= 1 && k <= dim_size");
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 1, 4, 1, 1, 1, 4, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_topk", "0");
  // 1021 slices of 512 bytes and four work slices overflow the lane.
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 1, 2, 1, 1, 1021, 100, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_topk",
                "value_sub_temp_local_offset + tensor_size <= (1 << 19)");
}

TEST(SortLayer, FloatEveryDimBothOrders) {
  const std::vector<int> shape = {3, 4, 5};
  const std::vector<float> in = values(60, 2);
  for (const Sched &s : all_schedules())
    for (int dim = 0; dim < 3; dim++)
      for (u8 desc : {0, 1}) {
        SCOPED_TRACE(sched_text(s) + ", dim " + std::to_string(dim) + ", descending " + std::to_string(desc));
        LayerRunner rig(s);
        put(rig, kIn, in);
        ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
          nodechip_sort_per_dim(kIn, kIndex, kValue, kBuf1, kBuf2, shape.data(), 3, dim, 7, 7, desc, node);
        }));
        std::vector<float> want;
        std::vector<int32_t> where;
        ref::sort_along(in, shape, dim, desc != 0, shape[size_t(dim)], &want, &where);
        // Equal keys keep their order (the engine's rule), -0.0 and +0.0 equal.
        EXPECT_EQ(bits(get<float>(rig, kValue, 60)), bits(want));
        EXPECT_EQ(get<int32_t>(rig, kIndex, 60), where);
      }
}

TEST(SortLayer, SignedBytesEveryDim) {
  const std::vector<int> shape = {2, 3, 70};
  std::vector<int8_t> in(420);
  for (size_t i = 0; i < in.size(); i++) in[i] = int8_t(int((i * 73 + 5) % 256) - 128);
  for (const Sched &s : all_schedules())
    for (int dim = 0; dim < 3; dim++) {
      SCOPED_TRACE(sched_text(s) + ", dim " + std::to_string(dim));
      LayerRunner rig(s);
      put(rig, kIn, in);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_sort_per_dim_fix8b(kIn, kIndex, kValue, kBuf1, kBuf2, kBuf3, shape.data(), 3, dim, 0, 0, 1, node);
      }));
      std::vector<int8_t> want;
      std::vector<int32_t> where;
      ref::sort_along(in, shape, dim, true, shape[size_t(dim)], &want, &where);
      EXPECT_EQ(get<int8_t>(rig, kValue, in.size()), want);
      EXPECT_EQ(get<int32_t>(rig, kIndex, in.size()), where);
    }
}

TEST(SortLayer, Refusals) {
  const int shape[2] = {2, 3};
  expect_assert([&](cmd_id_node_t *n) { nodechip_sort_per_dim(kIn, kIndex, kValue, kBuf1, kBuf2, shape, 2, 2, 0, 0, 1, n); },
                "ASSERT", "firmware/layers/", "check_sort_args", "dim >= 0 && dim < dims");
}

}  // namespace
}  // namespace zv::test

namespace zv::test {
namespace {

TEST(TopkV2Plan, PreselectionWorkAreas) {
  struct Case {
    u64 len;
    int k;
    int parts;
    u64 max_candidates, cand_bytes, readback, buffer_bytes, l2_sorted, l2_result, l2_end;
  };
  const Case cases[] = {
      {1000000, 10, 1, 10010, 80896, 161792, 162304, 0x100b5b00, 0x100b5b80, 0x100b5ba8},
      {1000000, 1000, 1, 11000, 84992, 169984, 170496, 0x100b6a80, 0x100b7a80, 0x100b8a20},
      {9000000, 100, 3, 30100, 161280, 322560, 323072, 0x100c9500, 0x100c9700, 0x100c9890},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.len) + ", k " + std::to_string(c.k));
    topk_pre_plan_t p;
    topk_pre_plan_of(&p, c.len, c.k);
    EXPECT_EQ(p.parts, c.parts);
    EXPECT_EQ(p.max_candidates, c.max_candidates);
    EXPECT_EQ(p.cand_bytes, c.cand_bytes);
    EXPECT_EQ(p.readback, c.readback);
    EXPECT_EQ(p.buffer_bytes, c.buffer_bytes);
    EXPECT_EQ(p.l2_indices, 0x100a2000u);
    EXPECT_EQ(p.l2_sorted, c.l2_sorted);
    EXPECT_EQ(p.l2_result, c.l2_result);
    EXPECT_EQ(p.l2_end, c.l2_end);
    EXPECT_LE(p.l2_end, 0x10300000u) << "below the static tables";
  }
}

// Distinct values in a shuffled order (a multiplicative walk), some negative.
std::vector<float> distinct(size_t n, unsigned seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int64_t((i * 2654435761ull + seed * 40503ull) % 1000003ull) - 500000) * 0.5f;
  return v;
}

// Runs top-k v2 and compares values and positions with the stable reference
// (the CDMA sort keeps equal keys in position order).
void check_topk_v2(const std::vector<float> &in, const std::vector<int> &shape, int dim, int k, int descending,
                   uint64_t seed, size_t *bd_commands = nullptr) {
  LayerRunner rig(deferred(seed));
  put(rig, kIn, in);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_topk_v2(kIn, kValue, kIndex, kBuf1, k, dim, u8(descending), shape.data(), int(shape.size()), node);
  }));
  std::vector<float> want_v;
  std::vector<int32_t> want_i;
  ref::sort_along(in, shape, dim, descending != 0, k, &want_v, &want_i);
  EXPECT_EQ(bits(get<float>(rig, kValue, want_v.size())), bits(want_v));
  EXPECT_EQ(get<int32_t>(rig, kIndex, want_i.size()), want_i);
  if (bd_commands) *bd_commands = rig.chip().engines.bd.commands().size();
}

TEST(TopkV2Layer, FirstKOfTheSortAlongAnyDim) {
  struct Case {
    const char *what;
    std::vector<int> shape;
    int dim, k, descending;
  };
  const Case cases[] = {
      {"rows along the last dim", {3, 50}, 1, 7, 1},
      {"ascending", {3, 50}, 1, 7, 0},
      {"extents of 1 behind dim dropped", {2, 40, 1, 1}, 1, 5, 1},
      {"a middle dim", {4, 6, 5}, 1, 3, 1},
      {"k equal to the extent: the whole sort", {4, 6, 5}, 1, 6, 0},
      {"the first of five dims", {3, 2, 2, 2, 3}, 0, 2, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    size_t n = 1;
    for (int e : c.shape) n *= size_t(e);
    check_topk_v2(values(n, 3), c.shape, c.dim, c.k, c.descending, 1 + unsigned(c.k) % 3);
  }
}

TEST(TopkV2Layer, LongSingleRowsArePreselected) {
  // 200000 is sorted whole (no tensor-engine command); 200001 is narrowed first.
  size_t bd = 0;
  check_topk_v2(distinct(200000, 1), {200000}, 0, 10, 1, 1, &bd);
  EXPECT_EQ(bd, 0u);
  struct Case {
    int len, k, descending;
  };
  const Case cases[] = {{200001, 10, 1}, {200001, 100, 0}, {250000, 1000, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.len) + ", k " + std::to_string(c.k) + (c.descending ? ", descending" : ", ascending"));
    check_topk_v2(distinct(size_t(c.len), unsigned(c.k)), {c.len}, 0, c.k, c.descending, 2, &bd);
    EXPECT_GT(bd, 0u);
  }
}

// Rows longer than one part (4192256 elements): the parts' candidates join
// (through the aligned staging for later parts), a part entirely below the
// previous one's range adds nothing, and an all-equal part is staged and
// joins at the end.
TEST(TopkV2Layer, PartsOfALongRow) {
  const size_t part = 4192256, len = part + 300000;
  struct Case {
    const char *what;
    int k, descending;
    std::function<float(size_t)> at;
  };
  const std::vector<float> noise = distinct(len, 9);
  const Case cases[] = {
      {"both parts contribute", 10, 1, [&](size_t i) { return noise[i]; }},
      {"the second part lies below the first", 100, 1,
       [&](size_t i) { return i < part ? noise[i] + 1e6f : noise[i]; }},
      {"the first part holds one value", 20, 0, [&](size_t i) { return i < part ? -3.0f : noise[i]; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<float> in(len);
    for (size_t i = 0; i < len; i++) in[i] = c.at(i);
    check_topk_v2(in, {int(len)}, 0, c.k, c.descending, 1);
  }
}

// Equal values at the threshold that no bisection splits: those beyond it,
// then the first of the equal ones by position.
TEST(TopkV2Layer, EqualValuesAtTheThreshold) {
  const size_t len = 200001;
  struct Case {
    const char *what;
    int k, descending;
    std::vector<std::pair<size_t, float>> set;  // on a row of 1.0
  };
  const Case cases[] = {
      {"three above many equal", 10, 1, {{5, 2.0f}, {150000, 7.0f}, {77, 5.0f}}},
      {"nothing above many equal", 4, 1, {{9, 0.5f}}},
      {"ascending, two below", 6, 0, {{100, -1.0f}, {199999, 0.25f}, {3, 3.0f}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<float> in(len, 1.0f);
    for (const auto &e : c.set) in[e.first] = e.second;
    check_topk_v2(in, {int(len)}, 0, c.k, c.descending, 3);
  }
}

TEST(TopkV2Layer, OneValueEverywhereLeavesTheStage) {
  const int len = 200001, k = 5;
  LayerRunner rig(deferred(3));
  put(rig, kIn, std::vector<float>(size_t(len), 2.5f));
  const std::vector<int> shape = {len};
  ASSERT_TRUE(rig.call(
      [&](cmd_id_node_t *node) { nodechip_topk_v2(kIn, kValue, kIndex, kBuf1, k, 0, 1, shape.data(), 1, node); }));
  EXPECT_EQ(get<float>(rig, kValue, k), std::vector<float>(k, 2.5f));
  EXPECT_EQ(get<int32_t>(rig, kIndex, k), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(rig.chip().engines.cdma.commands().empty()) << "nothing sorted";
}

TEST(TopkV2Layer, Refusals) {
  const std::vector<int> row = {300000}, small = {4, 6};
  struct Bad {
    const char *kind, *condition, *info;
    std::vector<int> shape;
    int k;
  };
  const Bad cases[] = {
      {"ASSERT_FS", "k > 0 && k <= len", "none.", small, 7},
      {"ASSERT_FS", "k > 0 && k <= len", "none.", small, 0},
      {"ASSERT_FS", "k <= TOPK_MAX_CANDIDATES", "k=10001: at most 10000 candidates are kept", row, 10001},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(std::string(b.condition) + ", k " + std::to_string(b.k));
    expect_assert([&](cmd_id_node_t *n) {
      nodechip_topk_v2(kIn, kValue, kIndex, kBuf1, b.k, int(b.shape.size()) - 1, 1, b.shape.data(), int(b.shape.size()), n);
    }, b.kind, "firmware/layers/", "nodechip_topk_v2", b.condition, b.info);
  }
}

}  // namespace
}  // namespace zv::test
