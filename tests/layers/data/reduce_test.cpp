// Cumulative sum and segment reduce: the slice plan and row pieces, and the
// layers run as firmware code on the chip model under every schedule with the
// happens-before checker.
#include <gtest/gtest.h>

#include <cfloat>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/data/reduce.h"
#include "ref/reduce_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;

std::vector<float> read_floats(FirmwareRig &rig, u64 addr, size_t n) {
  std::vector<float> v(n);
  rig.chip().ddr.load(addr, reinterpret_cast<u8 *>(v.data()), n * 4);
  return v;
}

void store_floats(FirmwareRig &rig, u64 addr, const std::vector<float> &v) {
  rig.chip().ddr.store(addr, reinterpret_cast<const u8 *>(v.data()), v.size() * 4);
}

// Small integers (exact sums in any order), some negative.
std::vector<float> values(size_t n, unsigned seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int((i * 2654435761u + seed * 97u) >> 9) % 17 - 8);
  return v;
}

TEST(CumsumPlan, SlicesByDim) {
  struct Case {
    int dim, dims[4];
    dim4_t shape, global;
    i64 step, bytes, count;
  };
  const Case cases[] = {
      {0, {3, 70, 2, 5}, {1, 70, 2, 5}, {700, 10, 5, 1}, 700, 2 * 128, 3},
      {1, {70, 3, 2, 5}, {1, 70, 2, 5}, {30, 30, 5, 1}, 10, 128 * 2, 3},
      {2, {2, 3, 4, 33}, {2, 3, 1, 33}, {396, 132, 33, 1}, 33, 256 * 1 * 2, 4},
      {3, {2, 65, 40, 6}, {2, 65, 40, 1}, {15600, 240, 6, 1}, 1, 256 * 2 * 2, 6},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE("dim " + std::to_string(k.dim));
    cumsum_plan_t p;
    cumsum_plan_of(&p, k.dim, k.dims[0], k.dims[1], k.dims[2], k.dims[3]);
    EXPECT_EQ(p.shape.n, k.shape.n);
    EXPECT_EQ(p.shape.c, k.shape.c);
    EXPECT_EQ(p.shape.h, k.shape.h);
    EXPECT_EQ(p.shape.w, k.shape.w);
    EXPECT_EQ(p.global.n, k.global.n);
    EXPECT_EQ(p.global.c, k.global.c);
    EXPECT_EQ(p.global.h, k.global.h);
    EXPECT_EQ(p.global.w, k.global.w);
    EXPECT_EQ(p.step, k.step);
    EXPECT_EQ(p.bytes, k.bytes);
    EXPECT_EQ(p.count, k.count);
    const local_area_t all = {"slices", 0, u32(p.bytes * p.count)};
    EXPECT_TRUE(local_areas_valid(&all, 1));
  }
}

TEST(CumsumLayer, EveryDimAgainstTheReference) {
  const int dims[4] = {3, 66, 4, 5};
  const std::vector<float> in = values(size_t(3) * 66 * 4 * 5, 1);
  for (const Sched &s : all_schedules()) {
    for (int dim = 0; dim < 4; dim++) {
      SCOPED_TRACE(sched_text(s) + ", dim " + std::to_string(dim));
      FirmwareRig rig(s);
      store_floats(rig, kIn, in);
      ASSERT_TRUE(ran_clean(rig.run_layer(
          [&](cmd_id_node_t *node) { nodechip_cumsum(kIn, kOut, dim, dims[0], dims[1], dims[2], dims[3], node); })));
      EXPECT_EQ(read_floats(rig, kOut, in.size()), ref::cumsum(in, dims, dim));
    }
  }
}

TEST(CumsumLayer, SmallCasesAndRefusals) {
  {
  FirmwareRig rig;
  store_floats(rig, kIn, {1, 2, 3, 4});
  ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) { nodechip_cumsum(kIn, kOut, 3, 1, 1, 1, 4, node); })));
  EXPECT_EQ(read_floats(rig, kOut, 4), (std::vector<float>{1, 3, 6, 10}));
  // An extent of 1 along dim is a copy.
  ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) { nodechip_cumsum(kIn, kOut, 0, 1, 1, 2, 2, node); })));
  EXPECT_EQ(read_floats(rig, kOut, 4), (std::vector<float>{1, 2, 3, 4}));
  }
  expect_assert([](cmd_id_node_t *n) { nodechip_cumsum(kIn, kOut, 4, 1, 1, 1, 4, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_cumsum", "0");
  // 1025 slices of 512 bytes overflow the lane.
  expect_assert([](cmd_id_node_t *n) { nodechip_cumsum(kIn, kOut, 2, 1, 1, 1025, 100, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_cumsum", "dim_size * tensor_size <= (1 << 19)");
}

TEST(SegmentPlan, RowPieces) {
  struct Case {
    i64 remaining;
    int lanes, w;
  };
  const Case cases[] = {{5, 1, 5}, {32768, 1, 32768}, {32769, 1, 32768}, {3 * 32768 + 7, 3, 32768},
                        {100 * 32768ll, 64, 32768}};
  for (const Case &k : cases) {
    const segment_piece_t p = segment_piece_of(k.remaining);
    EXPECT_EQ(p.lanes, k.lanes) << k.remaining;
    EXPECT_EQ(p.w, k.w) << k.remaining;
  }
}

TEST(SegmentReduceLayer, EveryFlagAgainstTheReference) {
  // Segment 2 is named by no row; segment 1 by one; the ids are unsorted.
  const std::vector<int> ids = {0, 3, 1, 0, 3, 0};
  const size_t row_len = 37;
  const std::vector<float> in = values(ids.size() * row_len, 3);
  for (const Sched &s : all_schedules()) {
    for (int flag = 0; flag <= 6; flag++) {
      SCOPED_TRACE(sched_text(s) + ", flag " + std::to_string(flag));
      FirmwareRig rig(s);
      store_floats(rig, kIn, in);
      ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
        nodechip_segment_reduce(kIn, kOut, ids.data(), int(ids.size()), 4, i64(row_len), flag, node);
      })));
      EXPECT_EQ(read_floats(rig, kOut, 4 * row_len), ref::segment_reduce(in, ids, 4, row_len, flag));
    }
  }
}

TEST(SegmentReduceLayer, RowsLongerThanOnePiece) {
  const std::vector<int> ids = {1, 0, 1};
  const size_t row_len = 64 * 32768 + 40000;
  const std::vector<float> in = values(ids.size() * row_len, 5);
  FirmwareRig rig(deferred(2));
  store_floats(rig, kIn, in);
  ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_segment_reduce(kIn, kOut, ids.data(), 3, 2, i64(row_len), 0, node);
  })));
  EXPECT_EQ(read_floats(rig, kOut, 2 * row_len), ref::segment_reduce(in, ids, 2, row_len, 0));
}

TEST(SegmentReduceLayer, ManyRowsRestartTheIdsBeforeTheyWrap) {
  // A load and a combine per row: 40000 rows of one segment pass the 16-bit
  // id range.
  const std::vector<int> ids(40000, 0);
  const std::vector<float> in = values(ids.size(), 9);
  FirmwareRig rig(deferred(1));
  store_floats(rig, kIn, in);
  ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_segment_reduce(kIn, kOut, ids.data(), int(ids.size()), 1, 1, 3, node);
  })));
  EXPECT_GT(rig.chip().engines.scheduler.bd.restarts + rig.chip().engines.scheduler.gdma.restarts, 0u);
  EXPECT_EQ(read_floats(rig, kOut, 1), ref::segment_reduce(in, ids, 1, 1, 3));
}

TEST(SegmentReduceLayer, Refusals) {
  const int ids[1] = {0};
  expect_assert([&](cmd_id_node_t *n) { nodechip_segment_reduce(kIn, kOut, ids, 1, 1, 4, 7, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_segment_reduce", "ctx != NULL",
                "segment_reduce_flag=7 is not supported!\n");
  expect_assert([&](cmd_id_node_t *n) { nodechip_segment_reduce(kIn, kOut, ids, 1, 1, -1, 0, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_segment_reduce",
                "row_len >= 0 && input_rows >= 0 && segment_num >= 0");
}

TEST(ReducePlan, RunsAndViews) {
  struct Case {
    const char *what;
    std::vector<int> shape, axes;
    std::vector<i64> runs;
    int transpose;
    std::vector<int> order;
    i64 n, c, w;
  };
  const Case cases[] = {
      {"only an extent of 1 reduced", {2, 1, 3}, {1}, {6}, 0, {0}, 1, 6, 1},
      {"[kept 4, reduced 5]", {4, 5}, {1}, {4, 5}, 0, {0, 1}, 1, 4, 5},
      {"[reduced 3, kept 20]", {3, 4, 5}, {0}, {3, 20}, 0, {0, 1}, 3, 20, 1},
      {"[reduced, kept, reduced]", {3, 4, 5}, {2, 0}, {3, 4, 5}, 0, {0, 1, 2}, 3, 4, 5},
      {"everything reduced", {2, 3, 4}, {0, 1, 2, 1}, {24}, 0, {0}, 1, 1, 24},
      {"kept, reduced, kept: transposed", {2, 3, 4, 5, 6, 7}, {2}, {6, 4, 210}, 1, {0, 2, 1}, 1, 1260, 4},
      {"kept first, two reduced runs", {3, 4, 5, 2}, {1, 3}, {3, 4, 5, 2}, 1, {0, 2, 1, 3}, 1, 15, 8},
      {"reduced first, two kept runs", {3, 4, 5, 2}, {0, 2}, {3, 4, 5, 2}, 1, {0, 1, 3, 2}, 3, 8, 5},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    reduce_view_t v;
    reduce_view_of(&v, k.shape.data(), int(k.shape.size()), k.axes.data(), int(k.axes.size()));
    EXPECT_EQ(std::vector<i64>(v.extent, v.extent + v.runs), k.runs);
    EXPECT_EQ(v.transpose, k.transpose);
    if (k.transpose) {
      EXPECT_EQ(std::vector<int>(v.order, v.order + v.runs), k.order);
    }
    EXPECT_EQ(v.n, k.n);
    EXPECT_EQ(v.c, k.c);
    EXPECT_EQ(v.w, k.w);
  }
  const local_area_t areas[2] = {{"piece", REDUCE_LOCAL_PIECE, REDUCE_PIECE_ELEMS * 4},
                                 {"accumulator", REDUCE_LOCAL_ACC, 4}};
  EXPECT_TRUE(local_areas_valid(areas, 2));
}

TEST(ReduceLayer, EveryMethodAgainstTheReference) {
  struct Case {
    const char *what;
    std::vector<int> shape, axes;
  };
  const Case cases[] = {
      {"[kept, reduced]", {4, 5}, {1}},
      {"[reduced, kept, reduced]", {3, 4, 5}, {0, 2}},
      {"kept, reduced, kept", {2, 3, 4, 5, 6, 7}, {2}},
      {"reduced first, two kept runs", {3, 4, 5, 2}, {0, 2}},
      {"more than 64 channels", {130, 7}, {1}},
      {"items cut into pieces", {100, 3, 700}, {0, 2}},
      {"a row longer than a piece", {2, 70000}, {1}},
  };
  for (const Case &k : cases) {
    size_t n = 1;
    for (int e : k.shape) n *= size_t(e);
    std::vector<float> in(n);
    for (size_t i = 0; i < n; i++) in[i] = float(int((i * 2654435761u) >> 11) % 5 - 2);
    for (int method = 0; method <= 4; method++) {
      for (const Sched &s : {all_schedules()[0], deferred(3)}) {
        SCOPED_TRACE(sched_text(s) + ": " + k.what + ", method " + std::to_string(method));
        // Products of many values would overflow: the products use +-1 and 1.
        std::vector<float> x = in;
        if (method == 4)
          for (float &f : x) f = f > 0 ? 1.0f : f < 0 ? -1.0f : 1.0f;
        FirmwareRig rig(s);
        store_floats(rig, kIn, x);
        ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
          nodechip_reduce_full_v2(kIn, kOut, k.shape.data(), int(k.shape.size()), k.axes.data(), int(k.axes.size()),
                                  method, 0x110000000ull, node);
        })));
        const std::vector<float> want = ref::reduce(x, k.shape, k.axes, method);
        EXPECT_EQ(read_floats(rig, kOut, want.size()), want);
      }
    }
  }
}

TEST(ReduceLayer, CopiesAndRefusals) {
  {
    FirmwareRig rig;
    store_floats(rig, kIn, {1, 2, 3, 4, 5, 6});
    const int shape[3] = {2, 1, 3}, axes[1] = {1};
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_reduce_full_v2(kIn, kOut, shape, 3, axes, 1, 1, 0x110000000ull, node);
    })));
    EXPECT_EQ(read_floats(rig, kOut, 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));
  }
  const int shape[2] = {4, 5}, axes[1] = {1}, bad_axes[1] = {2};
  expect_assert([&](cmd_id_node_t *n) { nodechip_reduce_full_v2(kIn, kOut, shape, 2, axes, 1, 5, kOut, n); }, "ASSERT",
                "firmware/layers/", "nodechip_reduce_full_v2", "reduce_method >= 0 && reduce_method <= 4",
                "reduce_method=5");
  expect_assert([&](cmd_id_node_t *n) { nodechip_reduce_full_v2(kIn, kOut, shape, 2, bad_axes, 1, 1, kOut, n); },
                "ASSERT", "firmware/layers/", "nodechip_reduce_full_v2", "axes[i] >= 0 && axes[i] < dims",
                "axis 2 of 2");
}

}  // namespace
}  // namespace zv::test
