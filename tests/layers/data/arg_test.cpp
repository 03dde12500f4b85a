// Arg max / arg min: the rows view and piece plan, and the float layer run as
// firmware code on the chip model under the deferred schedule with the
// happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/engine_wait.h"
#include "fw_test.h"
#include "layers/data/arg.h"
#include "ref/arg_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kIndex = 0x104000000ull;
constexpr u64 kValue = 0x108000000ull;
constexpr u64 kScratch = 0x10c000000ull;
constexpr u64 kBuf = 0x110000000ull;
constexpr u64 kBuf2 = 0x114000000ull;
constexpr u64 kNone = ARG_NO_OUTPUT;

// Values with many ties (a few levels) or all distinct, some negative.
std::vector<float> values(size_t n, bool ties, unsigned seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) {
    const unsigned x = unsigned(i * 2654435761u + seed * 97u);
    v[i] = ties ? float(int((x >> 7) % 5) - 2) : float(int((x >> 5) % 20011) - 10000) * 0.25f;
  }
  return v;
}

TEST(ArgPlan, SqueezedViews) {
  struct Case {
    const char *what;
    int dims[4], axis;
    int squeezed[4], at;
    int view[4];
    i64 in[4], out[4];
    int reduce_w, len, keep;
  };
  const Case cases[] = {
      {"axis 0 reduces h' of (H, C, N, W)", {5, 3, 4, 6}, 0, {5, 3, 4, 6}, 0, {4, 3, 5, 6}, {6, 24, 72, 1},
       {6, 24, 72, 1}, 0, 5, 6},
      {"axis 1 reduces h' of (N, H, C, W)", {5, 3, 4, 6}, 1, {5, 3, 4, 6}, 1, {5, 4, 3, 6}, {72, 6, 24, 1},
       {24, 6, 24, 1}, 0, 3, 6},
      {"axis 3 reduces w'", {5, 3, 4, 6}, 3, {5, 3, 4, 6}, 3, {5, 3, 4, 6}, {72, 24, 6, 1}, {12, 4, 1, 1}, 1, 6, 4},
      {"one extent left: a single row", {1, 1, 1, 4096}, 3, {1, 1, 1, 4096}, 3, {1, 1, 1, 4096},
       {4096, 4096, 4096, 1}, {1, 1, 1, 1}, 1, 4096, 1},
      {"two left, the axis last: the other goes to the channels", {1, 7, 1, 9}, 3, {1, 7, 9, 1}, 2, {1, 7, 9, 1},
       {63, 9, 1, 1}, {7, 1, 1, 1}, 0, 9, 1},
      {"two left, the axis first: right-aligned", {6, 1, 5, 1}, 0, {1, 1, 6, 5}, 2, {1, 1, 6, 5}, {30, 30, 5, 1},
       {5, 5, 5, 1}, 0, 6, 5},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    arg_view_t v;
    arg_view_of(&v, k.dims[0], k.dims[1], k.dims[2], k.dims[3], k.axis);
    EXPECT_EQ(std::vector<int>(v.dims, v.dims + 4), std::vector<int>(k.squeezed, k.squeezed + 4));
    EXPECT_EQ(v.axis, k.at);
    EXPECT_EQ((std::vector<int>{v.n, v.c, v.h, v.w}), std::vector<int>(k.view, k.view + 4));
    EXPECT_EQ(std::vector<i64>(v.in_stride, v.in_stride + 4), std::vector<i64>(k.in, k.in + 4));
    EXPECT_EQ(std::vector<i64>(v.out_stride, v.out_stride + 4), std::vector<i64>(k.out, k.out + 4));
    EXPECT_EQ(v.reduce_w, k.reduce_w);
    EXPECT_EQ(v.len, k.len);
    EXPECT_EQ(v.keep, k.keep);
  }
}

TEST(ArgPlan, LaneBudgetPieces) {
  struct Case {
    const char *what;
    int dims[4], axis;
    int budget, nc_secs, len_piece, keep_piece, n_piece, c_piece;
  };
  const Case cases[] = {
      {"the whole plane, every item and channel at once", {5, 3, 4, 6}, 0, 0x40000, 2048, 5, 6, 4, 3},
      // 4096 is beyond one pooling window: three balanced pieces of the row.
      {"a row of 4096 in three pieces", {1, 1, 1, 4096}, 3, 0x40000, 47, 1366, 1, 1, 1},
      // Rows of 4000 kept in pieces of 2016 (63 groups of 32); the areas of
      // three items of 130 channels pass the lane until the budget is 0x20000.
      {"kept rows in groups, budget lowered twice", {3, 130, 2, 4000}, 2, 0x20000, 8, 2, 2016, 2, 130},
      {"channels cut at the engine's field", {2, 4100, 2, 3}, 2, 0x40000, 2048, 2, 3, 2, 4032},
      {"one group of 32 kept rows fills the budget", {2, 640, 1900, 1}, 2, 0x40000, 1, 1900, 32, 1, 2},
      // 34 planes fit 0x40000 but not the areas behind them: 25 at 0x30000.
      {"more channel rows than fit: one item, channels in pieces", {1, 4096, 1900, 1}, 2, 0x30000, 25, 1900, 1, 1,
       1600},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    arg_view_t v;
    arg_view_of(&v, k.dims[0], k.dims[1], k.dims[2], k.dims[3], k.axis);
    arg_plan_t p;
    arg_plan_of(&p, &v);
    EXPECT_EQ(p.input_lmem_size, k.budget);
    EXPECT_EQ(p.nc_secs, k.nc_secs);
    EXPECT_EQ(p.len_piece, k.len_piece);
    EXPECT_EQ(p.keep_piece, k.keep_piece);
    EXPECT_EQ(p.n_piece, k.n_piece);
    EXPECT_EQ(p.c_piece, k.c_piece);
    EXPECT_TRUE(local_areas_valid(p.areas, ARG_AREA_COUNT));
    EXPECT_LE(p.areas[ARG_AREA_INPUT].bytes, u32(p.input_lmem_size));
    EXPECT_EQ(p.areas[ARG_AREA_INPUT].offset, 0u);
  }
}

// Floats equal as numbers, or both NaN.
::testing::AssertionResult same_floats(const std::vector<float> &got, const std::vector<float> &want) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "sizes " << got.size() << ", " << want.size();
  for (size_t i = 0; i < got.size(); i++)
    if (!(got[i] == want[i] || (std::isnan(got[i]) && std::isnan(want[i]))))
      return ::testing::AssertionFailure() << "element " << i << ": " << got[i] << ", want " << want[i];
  return ::testing::AssertionSuccess();
}

// Runs the layer on `in` and compares the indices and the extreme values with
// the reference.
void check_arg(const std::vector<float> &in, const int dims[4], int axis, int method, uint64_t seed) {
  LayerRunner rig(deferred(seed));
  put<float>(rig, kIn, in);
  const size_t out = in.size() / size_t(dims[axis]);
  const std::vector<float> marker(in.size(), 123.0f);
  put<float>(rig, kValue, marker);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_arg(kIn, kValue, kIndex, dims[0], dims[1], dims[2], dims[3], axis, method, node);
  }));
  std::vector<float> extremes;
  EXPECT_EQ(get<float>(rig, kIndex, out), ref::arg_index(in, dims, axis, method, false, &extremes));
  EXPECT_TRUE(same_floats(get<float>(rig, kValue, out), extremes));
  EXPECT_EQ(get<float>(rig, kValue + 4 * out, in.size() - out),
            std::vector<float>(marker.begin() + long(out), marker.end()))
      << "nothing written past the values";
}

TEST(ArgLayer, IndexOfTheExtremeAlongEachAxis) {
  struct Case {
    const char *what;
    int dims[4];
    bool ties;
  };
  const Case cases[] = {
      {"small, distinct values", {2, 3, 4, 5}, false},
      {"small, many ties", {3, 2, 5, 4}, true},
      {"channels over more than one row of lanes", {2, 70, 3, 33}, true},
  };
  for (const Case &k : cases)
    for (int axis = 0; axis < 4; axis++)
      for (int method = 0; method < 2; method++) {
        const uint64_t seed = deferred_seeds()[(axis + method) % deferred_seeds().size()];
        SCOPED_TRACE(std::string(k.what) + ", axis " + std::to_string(axis) + ", method " +
                     std::to_string(method) + ", seed " + std::to_string(seed));
        check_arg(values(size_t(k.dims[0]) * k.dims[1] * k.dims[2] * k.dims[3], k.ties, seed), k.dims, axis,
                  method, seed);
      }
}

TEST(ArgLayer, EqualExtremesGiveTheHighestIndex) {
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    LayerRunner rig(deferred(seed));
    put<float>(rig, kIn, {3, 7, 7, 1});
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 1, 1, 1, 4, 3, 0, n); }));
    EXPECT_EQ(get<float>(rig, kIndex, 1), std::vector<float>{2});
    put<float>(rig, kIn, {5, 5, 5, 5});
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 1, 1, 1, 4, 3, 1, n); }));
    EXPECT_EQ(get<float>(rig, kIndex, 1), std::vector<float>{3}) << "minimum over equal values";
  }
}

TEST(ArgLayer, PiecesOfItemsChannelsAndRows) {
  struct Case {
    const char *what;
    int dims[4], axis, method;
  };
  const Case cases[] = {
      {"items in pieces of 2", {3, 130, 2, 4000}, 2, 1},
      {"channels in pieces of 4032", {2, 4100, 2, 3}, 2, 1},
      {"kept rows in pieces of 2016", {1, 1, 3, 9000}, 2, 1},
      // Ties across pieces: the later piece wins.
      {"a row of 4096 in three pieces", {1, 1, 1, 4096}, 3, 0},
      {"rows in two pieces, two blocks of kept rows", {1, 1, 40, 3000}, 3, 1},
      {"the reduced axis 0 in two pieces", {2500, 2, 1, 3}, 0, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    check_arg(values(size_t(k.dims[0]) * k.dims[1] * k.dims[2] * k.dims[3], true, 4), k.dims, k.axis, k.method, 2);
  }
}

// A NaN wins arg max and arg min alike; the first NaN along the axis is
// reported (and is the value), whatever the order the pieces are merged in.
TEST(ArgLayer, FirstNaNWinsBothWays) {
  const float nan = std::nanf(""), inf = INFINITY;
  struct Row {
    const char *what;
    std::vector<float> row;
    float want;
  };
  const Row rows[] = {
      {"one NaN between numbers", {5, 1, nan, 0}, 2},
      {"the first of two NaNs", {nan, 7, nan}, 0},
      {"beside both infinities", {inf, nan, -inf}, 1},
      {"only NaNs", {nan, nan}, 0},
  };
  for (const Row &r : rows)
    for (int method = 0; method < 2; method++) {
      SCOPED_TRACE(std::string(r.what) + ", method " + std::to_string(method));
      LayerRunner rig(deferred(1 + unsigned(method)));
      put<float>(rig, kIn, r.row);
      ASSERT_TRUE(rig.call(
          [&](cmd_id_node_t *n) { nodechip_arg(kIn, kValue, kIndex, 1, 1, 1, int(r.row.size()), 3, method, n); }));
      EXPECT_EQ(get<float>(rig, kIndex, 1), std::vector<float>{r.want});
      EXPECT_TRUE(std::isnan(get<float>(rig, kValue, 1)[0]));
    }
  // Rows of 4096 (three pieces) and a tensor with NaNs here and there, on
  // every axis, against the reference.
  std::vector<float> row = values(4096, false, 3);
  row[3000] = nan;
  row[4000] = nan;
  row[10] = inf;
  const int dims_row[4] = {1, 1, 1, 4096};
  check_arg(row, dims_row, 3, 0, 2);
  row[5] = nan;
  check_arg(row, dims_row, 3, 1, 3);
  const int dims[4] = {3, 4, 5, 6};
  std::vector<float> some = values(360, true, 5);
  for (size_t i = 0; i < some.size(); i += 7) some[i] = nan;
  for (int axis = 0; axis < 4; axis++)
    for (int method = 0; method < 2; method++) {
      SCOPED_TRACE("axis " + std::to_string(axis) + ", method " + std::to_string(method));
      check_arg(some, dims, axis, method, deferred_seeds()[(axis + method) % deferred_seeds().size()]);
    }
}

// -0 and +0 are equal: the highest index of either wins.
TEST(ArgLayer, SignedZerosAreEqual) {
  for (int method = 0; method < 2; method++) {
    LayerRunner rig(deferred(2));
    put<float>(rig, kIn, {-0.0f, 0.0f, -0.0f, -1.0f, 1.0f});
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 1, 1, 1, 4, 3, method, n); }));
    EXPECT_EQ(get<float>(rig, kIndex, 1), std::vector<float>{method == 0 ? 2.0f : 3.0f}) << method;
    put<float>(rig, kIn, {0.0f, -0.0f, 1.0f});
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 1, 1, 1, 2, 3, method, n); }));
    EXPECT_EQ(get<float>(rig, kIndex, 1), std::vector<float>{1.0f}) << method;
  }
}

TEST(ArgLayer, AxisOfExtentOneCopiesValuesAndFillsZeros) {
  const std::vector<float> in = values(30, false, 1);
  const std::vector<float> marker(30, 9.0f);
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    LayerRunner rig(deferred(seed));
    put<float>(rig, kIn, in);
    put<float>(rig, kIndex, marker);
    put<float>(rig, kValue, marker);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kValue, kIndex, 2, 3, 1, 5, 2, 0, n); }));
    EXPECT_EQ(get<float>(rig, kValue, 30), in);
    EXPECT_EQ(get<float>(rig, kIndex, 30), std::vector<float>(30, 0.0f));
    // Outputs that are not wanted stay untouched.
    put<float>(rig, kIndex, marker);
    put<float>(rig, kValue, marker);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 2, 3, 1, 5, 2, 1, n); }));
    EXPECT_EQ(get<float>(rig, kValue, 30), marker);
    EXPECT_EQ(get<float>(rig, kIndex, 30), std::vector<float>(30, 0.0f));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kValue, kNone, 2, 3, 1, 5, 2, 0, n); }));
    EXPECT_EQ(get<float>(rig, kValue, 30), in);
  }
}

TEST(ArgLayer, BadArgumentsFailTheirChecks) {
  struct Bad {
    const char *condition;
    int n, c, h, w, axis, method;
  };
  const Bad cases[] = {
      {"input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0", 1, 0, 2, 2, 1, 0},
      {"input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0", 1, 2, 2, -3, 1, 0},
      {"axis < 4", 1, 2, 2, 2, 4, 0},
      {"axis >= 0", 1, 2, 2, 2, -1, 0},
      {"method == 0 || method == 1", 1, 2, 2, 2, 1, 2},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.condition);
    FirmwareRig rig;
    EXPECT_TRUE(stopped_on(rig.run_layer([&](cmd_id_node_t *n) { nodechip_arg(kIn, kValue, kIndex, b.n, b.c, b.h, b.w, b.axis, b.method, n); }),
                  "ASSERT_FS", "firmware/", "nodechip_arg", b.condition, "none."));
    EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
  }
}

// ---- 8-bit data stored 4N ----

// Runs the 8-bit layer on bytes (1N order, stored 4N) and compares values
// (4N) and indices (int32) with the reference, signed or unsigned.
void check_fix8b(const std::vector<u8> &plain, const int dims[4], int axis, int method, int is_signed,
                 uint64_t seed, u64 scratch = kScratch) {
  LayerRunner rig(deferred(seed));
  const int n = dims[0];
  const size_t len = plain.size() / size_t(n);
  const std::vector<u8> four = ref::to_4n(plain, n, len, 0xee);
  rig.chip().ddr.store(kIn, four.data(), four.size());
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_arg_fix8b(kIn, kBuf, kValue, kBuf2, kIndex, scratch, is_signed, dims[0], dims[1], dims[2], dims[3],
                       axis, method, node);
  }));
  std::vector<float> want;
  std::vector<u8> want_values;
  if (is_signed) {
    std::vector<int> in(plain.begin(), plain.end()), values;
    for (int &x : in) x = int(int8_t(uint8_t(x)));
    want = ref::arg_index(in, dims, axis, method, true, &values);
    for (int x : values) want_values.push_back(u8(x));
  } else {
    std::vector<int> in(plain.begin(), plain.end()), values;
    want = ref::arg_index(in, dims, axis, method, true, &values);
    for (int x : values) want_values.push_back(u8(x));
  }
  std::vector<int32_t> want_index(want.begin(), want.end()), index(want.size());
  rig.chip().ddr.load(kIndex, reinterpret_cast<u8 *>(index.data()), index.size() * 4);
  EXPECT_EQ(index, want_index);
  const int out_n = axis == 0 ? 1 : n;
  const size_t out_len = want_values.size() / size_t(out_n);
  EXPECT_EQ(ref::from_4n(get<u8>(rig, kValue, size_t(out_n + 3) / 4 * 4 * out_len), out_n, out_len), want_values);
}

std::vector<u8> bytes(size_t n, bool ties, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) {
    const unsigned x = unsigned(i * 2654435761u + seed * 97u) >> 9;
    v[i] = ties ? u8(x % 3 == 0 ? 0x80 : x % 3 == 1 ? 0x7f : 0x05) : u8(x);
  }
  return v;
}

TEST(ArgFix8bLayer, ValueAndLowestIndexOfTheExtremeAlongEachAxis) {
  struct Case {
    const char *what;
    int dims[4];
    bool ties;
  };
  const Case cases[] = {
      {"items not a multiple of 4", {5, 3, 4, 6}, false},
      {"many ties, signed and unsigned extremes", {6, 2, 5, 3}, true},
      {"channels over more than one row of lanes", {3, 70, 2, 33}, true},
  };
  for (const Case &k : cases)
    for (int axis = 0; axis < 4; axis++)
      for (int method = 0; method < 2; method++)
        for (int is_signed = 0; is_signed < 2; is_signed++) {
          const uint64_t seed = deferred_seeds()[(axis + method + is_signed) % deferred_seeds().size()];
          SCOPED_TRACE(std::string(k.what) + ", axis " + std::to_string(axis) + ", method " +
                       std::to_string(method) + (is_signed ? ", signed" : ", unsigned") + ", seed " +
                       std::to_string(seed));
          check_fix8b(bytes(size_t(k.dims[0]) * k.dims[1] * k.dims[2] * k.dims[3], k.ties, seed), k.dims, axis,
                      method, is_signed, seed);
        }
}

TEST(ArgFix8bLayer, AllEqualGivesIndexZeroAndExtentOneCopies) {
  const int dims[4] = {4, 1, 1, 5};
  check_fix8b(std::vector<u8>(20, 9), dims, 3, 0, 1, 2);
  check_fix8b(std::vector<u8>(20, 9), dims, 0, 7, 0, 3);
  // Extent 1: the 4N input copied, every index 0.
  LayerRunner rig(deferred(1));
  const std::vector<u8> four = ref::to_4n(bytes(10, false, 3), 2, 5, 0xee);
  rig.chip().ddr.store(kIn, four.data(), four.size());
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) {
    nodechip_arg_fix8b(kIn, kNone, kValue, kNone, kIndex, kScratch, 1, 2, 5, 1, 1, 2, 0, n);
  }));
  EXPECT_EQ(get<u8>(rig, kValue, four.size()), four);
  EXPECT_EQ(get<u8>(rig, kIndex, 40), std::vector<u8>(40, 0));
}

TEST(ArgFix8bPlan, RowsPerLaneChunksAndRefusals) {
  struct Case {
    const char *what;
    int dims[4], axis, chunked;
    int len_piece, rows_per_lane, n_piece, c_piece;
    u64 usage;
  };
  const Case cases[] = {
      // 4N words of 5 x 3 x 4 x 6 read byte by byte along C: (2, 3, 4, 24).
      {"channels of 4N words", {2, 3, 4, 24}, 1, 1, 3, 195, 2, 4, 5376},
      // 300 channels of 256 bytes do not fit at once: chunks of 100.
      {"channels in chunks", {1, 300, 1, 256}, 1, 1, 100, 1, 1, 1, 514048},
      // H = 2048 of W = 128 words (512 bytes) is never cut: 20 MiB, refused.
      {"a whole axis that passes the lane", {1, 1, 2048, 512}, 2, 0, 2048, 1, 1, 1, 20975616},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    arg8_plan_t p;
    arg8_plan_of(&p, k.dims, k.axis, k.chunked);
    EXPECT_EQ(p.len_piece, k.len_piece);
    EXPECT_EQ(p.rows_per_lane, k.rows_per_lane);
    EXPECT_EQ(p.n_piece, k.n_piece);
    EXPECT_EQ(p.c_piece, k.c_piece);
    EXPECT_EQ(p.local_mem_usage, k.usage);
    if (p.local_mem_usage <= ARG_LANE_BYTES) {
      EXPECT_TRUE(local_areas_valid(p.areas, ARG8_AREA_COUNT));
    }
  }
}

// Chunks of the channel axis merge with the running result in the lower
// position: equal extremes in a later chunk lose.
TEST(ArgFix8bLayer, ChannelChunksKeepTheLowestIndex) {
  const int dims[4] = {3, 300, 1, 64};
  std::vector<u8> plain = bytes(size_t(3) * 300 * 64, true, 7);
  check_fix8b(plain, dims, 1, 0, 1, 1);
  check_fix8b(plain, dims, 1, 1, 0, 2);
}

TEST(ArgFix8bLayer, AxisAndScratchChecks) {
  {
    // A negative axis is logged and nothing is issued.
    FirmwareRig rig;
    const FwOutcome o = rig.run_layer([&](cmd_id_node_t *n) {
      nodechip_arg_fix8b(kIn, kNone, kValue, kNone, kIndex, kScratch, 1, 4, 2, 2, 2, -1, 0, n);
    });
    ASSERT_TRUE(ran_clean(o));
    EXPECT_NE(o.uart.find("axis = -1 not supported\n"), std::string::npos) << o.uart;
    EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
  }

  struct Bad {
    const char *kind, *condition;
    int c, axis;
    u64 index, scratch;
  };
  const Bad cases[] = {
      {"ASSERT_FS", "input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0", 0, 1, kIndex, kScratch},
      {"ASSERT_FS", "axis < 4", 2, 4, kIndex, kScratch},
      {"ASSERT", "imm_index_global_addr != 9223372036854775807", 2, 1, kIndex, kNone},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.condition);
    FirmwareRig r;
    const FwOutcome out = r.run_layer([&](cmd_id_node_t *n) {
      nodechip_arg_fix8b(kIn, kNone, kValue, kNone, b.index, b.scratch, 1, 4, b.c, 2, 2, b.axis, 0, n);
    });
    // The axis check follows the log line.
    const std::string text = b.axis == 4 ? out.uart.substr(out.uart.find('\n') + 1) : out.uart;
    if (b.axis == 4) {
      EXPECT_NE(out.uart.substr(0, out.uart.find('\n') + 1).find("axis = 4 not supported\n"), std::string::npos)
          << out.uart;
    }
    FwOutcome rest = out;
    rest.uart = text;
    EXPECT_TRUE(stopped_on(rest, b.kind, "firmware/", "nodechip_arg_fix8b", b.condition, "none."));
    EXPECT_TRUE(r.chip().engines.gdma.commands().empty());
  }
  // What does not fit local memory is refused: a whole axis of 2048 rows of
  // 128 words, and int32 indices that take more than half a lane.
  {
    FirmwareRig r;
    EXPECT_TRUE(stopped_on(r.run_layer([&](cmd_id_node_t *n) {
                             nodechip_arg_fix8b(kIn, kBuf, kValue, kBuf2, kIndex, kScratch, 1, 4, 1, 2048, 128, 2, 0, n);
                           }),
                           "ASSERT_FS", "firmware/layers/", "nodechip_arg_fixed_h_internal",
                           "local_mem_usage <= (1<<19)", "none."));
    EXPECT_TRUE(r.chip().engines.gdma.commands().empty());
  }
  {
    FirmwareRig r;
    EXPECT_TRUE(stopped_on(r.run_layer([&](cmd_id_node_t *n) {
                             nodechip_arg_fix8b(kIn, kBuf, kValue, kBuf2, kIndex, kScratch, 1, 1, 1, 70000, 2, 3, 0, n);
                           }),
                           "ASSERT", "firmware/layers/", "nodechip_arg_dtype_convert", "local_size <= (1<<19)/2",
                           "none."));
  }
  // Axis 0 needs no index scratch.
  const int dims[4] = {5, 2, 2, 2};
  check_fix8b(bytes(40, false, 1), dims, 0, 0, 1, 1, kNone);
}

}  // namespace
}  // namespace zv::test
