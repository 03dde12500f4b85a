// Cumulative sum, segment reduce and reduce over axes: the plans, and the
// layers run as firmware code on the chip model under every schedule with the
// happens-before checker.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/data/reduce.h"
#include "ref/reduce_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;

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
      LayerRunner rig(s);
      put<float>(rig, kIn, in);
      ASSERT_TRUE(rig.call(
          [&](cmd_id_node_t *node) { nodechip_cumsum(kIn, kOut, dim, dims[0], dims[1], dims[2], dims[3], node); }));
      EXPECT_EQ(get<float>(rig, kOut, in.size()), ref::cumsum(in, dims, dim));
    }
  }
}

TEST(CumsumLayer, SmallCasesAndRefusals) {
  {
    LayerRunner rig;
    put<float>(rig, kIn, {1, 2, 3, 4});
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_cumsum(kIn, kOut, 3, 1, 1, 1, 4, node); }));
    EXPECT_EQ(get<float>(rig, kOut, 4), (std::vector<float>{1, 3, 6, 10}));
    // An extent of 1 along dim is a copy.
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_cumsum(kIn, kOut, 0, 1, 1, 2, 2, node); }));
    EXPECT_EQ(get<float>(rig, kOut, 4), (std::vector<float>{1, 2, 3, 4}));
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
      LayerRunner rig(s);
      put<float>(rig, kIn, in);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_segment_reduce(kIn, kOut, ids.data(), int(ids.size()), 4, i64(row_len), flag, node);
      }));
      EXPECT_EQ(get<float>(rig, kOut, 4 * row_len), ref::segment_reduce(in, ids, 4, row_len, flag));
    }
  }
}

TEST(SegmentReduceLayer, RowsLongerThanOnePiece) {
  const std::vector<int> ids = {1, 0, 1};
  const size_t row_len = 64 * 32768 + 40000;
  const std::vector<float> in = values(ids.size() * row_len, 5);
  LayerRunner rig(deferred(2));
  put<float>(rig, kIn, in);
  ASSERT_TRUE(rig.call(
      [&](cmd_id_node_t *node) { nodechip_segment_reduce(kIn, kOut, ids.data(), 3, 2, i64(row_len), 0, node); }));
  EXPECT_EQ(get<float>(rig, kOut, 2 * row_len), ref::segment_reduce(in, ids, 2, row_len, 0));
}

TEST(SegmentReduceLayer, ManyRowsRestartTheIdsBeforeTheyWrap) {
  // A load and a combine per row: 40000 rows of one segment pass the 16-bit
  // id range.
  const std::vector<int> ids(40000, 0);
  const std::vector<float> in = values(ids.size(), 9);
  LayerRunner rig(deferred(1));
  put<float>(rig, kIn, in);
  ASSERT_TRUE(rig.call(
      [&](cmd_id_node_t *node) { nodechip_segment_reduce(kIn, kOut, ids.data(), int(ids.size()), 1, 1, 3, node); }));
  EXPECT_GT(rig.chip().engines.scheduler.bd.restarts + rig.chip().engines.scheduler.gdma.restarts, 0u);
  EXPECT_EQ(get<float>(rig, kOut, 1), ref::segment_reduce(in, ids, 1, 1, 3));
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

// Sums, maxima, minima and products of small integers are exact; a mean
// taken in two steps rounds once per step.
void expect_reduced(const std::vector<float> &got, const std::vector<float> &want, int method) {
  ASSERT_EQ(got.size(), want.size());
  size_t bad = 0, first = 0;
  for (size_t i = 0; i < want.size(); i++) {
    const float tol = method == 0 ? 2e-6f * (1 + std::fabs(want[i])) : 0.0f;
    if (!(std::fabs(got[i] - want[i]) <= tol) && bad++ == 0) first = i;
  }
  EXPECT_EQ(bad, 0u) << "first at " << first << ": " << got[first] << " for " << want[first];
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
        LayerRunner rig(s);
        put<float>(rig, kIn, x);
        ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
          nodechip_reduce_full_v2(kIn, kOut, k.shape.data(), int(k.shape.size()), k.axes.data(), int(k.axes.size()),
                                  method, 0x110000000ull, node);
        }));
        const std::vector<float> want = ref::reduce(x, k.shape, k.axes, method);
        expect_reduced(get<float>(rig, kOut, want.size()), want, method);
      }
    }
  }
}

TEST(ReducePlan, ShapesToFourDimensions) {
  struct Case {
    const char *what;
    std::vector<int> shape, axes;
    int dims;              // what process_shape reports
    dim4_t s;              // the four extents (when dims is 4)
    std::vector<int> out;  // the axes afterwards
  };
  const Case cases[] = {
      {"first two merged, then the last two", {2, 3, 4, 5, 6, 7}, {2}, 4, {6, 4, 5, 42}, {1}},
      {"ones in front of an axis dropped", {1, 5, 1, 3}, {3}, 4, {1, 1, 5, 3}, {3}},
      {"ones behind the last axis kept", {3, 4, 1}, {0}, 4, {1, 3, 4, 1}, {1}},
      {"reduced at both ends: no merge", {2, 3, 4, 5, 6}, {0, 4}, 5, {}, {}},
      {"rows of 4096 into the channels", {2, 3, 4096, 5}, {0}, 4, {2, 3072, 4, 5}, {0}},
      {"rows with no divisor stay", {2, 3, 4099, 5}, {0}, 4, {2, 3, 4099, 5}, {0}},
      {"reduced rows stay", {3, 4096, 5}, {1}, 4, {1, 3, 4096, 5}, {2}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<int> axes = k.axes;
    dim4_t s = {0, 0, 0, 0};
    u8 flags[4] = {9, 9, 9, 9};
    int dims = 0;
    process_shape(&s, k.shape.data(), flags, int(k.shape.size()), axes.data(), int(axes.size()), &dims);
    EXPECT_EQ(dims, k.dims);
    if (k.dims != 4) continue;
    EXPECT_EQ(std::vector<int>({s.n, s.c, s.h, s.w}), std::vector<int>({k.s.n, k.s.c, k.s.h, k.s.w}));
    EXPECT_EQ(axes, k.out);
    for (int d = 0; d < 4; d++) EXPECT_EQ(flags[d], d == k.out[0] ? 1 : 0) << d;
  }
  // H is split only when it is reduced and the tensor needs more than one row section.
  const dim4_t small = {2, 64, 30, 30}, big = {1, 64, 1000, 200};
  const int h[1] = {2}, w[1] = {3};
  EXPECT_FALSE(is_h_splited(&small, h, 1));
  EXPECT_TRUE(is_h_splited(&big, h, 1));
  EXPECT_FALSE(is_h_splited(&big, w, 1));
}

// The pooling road against the reference, with the buffer exactly twice the
// input and guarded behind.
TEST(ReduceLayer, PoolingRoadAgainstTheReference) {
  struct Case {
    const char *what;
    std::vector<int> shape, axes;
  };
  const Case cases[] = {
      {"H by one pooling", {3, 5, 7, 9}, {2}},
      {"W", {70, 9, 13}, {2}},
      {"N transposed to W", {6, 70, 3, 5}, {0}},
      {"C transposed to W", {2, 7, 3, 5}, {1}},
      {"H cut into sections: transposed to W", {1, 1, 1000, 200}, {2}},
      {"H and W by one pooling", {2, 66, 9, 11}, {2, 3}},
      {"H and W with H cut into sections", {1, 1, 1000, 200}, {2, 3}},
      {"N and W, one at a time", {5, 3, 4, 6}, {0, 3}},
      {"C and H, extents of 1 in front", {1, 4, 1, 6, 5}, {1, 3}},
      {"three axes", {4, 3, 5, 6}, {0, 2, 3}},
      {"three axes, a transpose in each step", {4, 3, 5, 6}, {0, 1, 2}},
      {"four axes", {4, 3, 5, 6}, {0, 1, 2, 3}},
      {"kept rows above 2047 moved into the channels", {2, 4100, 3}, {2}},
      {"channels beyond what the lanes hold in one row", {4224, 2, 2000}, {2}},
  };
  for (const Case &k : cases) {
    size_t n = 1;
    for (int e : k.shape) n *= size_t(e);
    std::vector<float> in(n);
    for (size_t i = 0; i < n; i++) in[i] = float(int((i * 2654435761u) >> 11) % 7 - 3);
    const bool large = n > 1000000;
    for (int method = 0; method <= 3; method++) {
      for (const Sched &s : large ? std::vector<Sched>{deferred(2)} : all_schedules()) {
        SCOPED_TRACE(sched_text(s) + ": " + k.what + ", method " + std::to_string(method));
        LayerRunner rig(s);
        put<float>(rig, kIn, in);
        // Room for the largest input (68 MB) before the output and the buffer.
        constexpr u64 kOutput = 0x108000000ull, kBuf = 0x110000000ull;
        const std::vector<float> guard(1024, 12345.0f);
        put<float>(rig, kBuf + 8 * n, guard);
        ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
          nodechip_reduce_full_v2(kIn, kOutput, k.shape.data(), int(k.shape.size()), k.axes.data(),
                                  int(k.axes.size()), method, kBuf, node);
        }));
        const std::vector<float> want = ref::reduce(in, k.shape, k.axes, method);
        const std::vector<float> got = get<float>(rig, kOutput, want.size());
        expect_reduced(got, want, method);
        EXPECT_EQ(get<float>(rig, kBuf + 8 * n, guard.size()), guard);
      }
    }
  }
}

TEST(ReduceLayer, CopiesAndRefusals) {
  {
    LayerRunner rig;
    put<float>(rig, kIn, {1, 2, 3, 4, 5, 6});
    const int shape[3] = {2, 1, 3}, axes[1] = {1};
    ASSERT_TRUE(rig.call(
        [&](cmd_id_node_t *node) { nodechip_reduce_full_v2(kIn, kOut, shape, 3, axes, 1, 1, 0x110000000ull, node); }));
    EXPECT_EQ(get<float>(rig, kOut, 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));
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
