// Arg max / arg min: the rows view and piece plan, and the float layer run as
// firmware code on the chip model under the deferred schedule with the
// happens-before checker.
#include <gtest/gtest.h>

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
constexpr u64 kNone = ARG_NO_OUTPUT;

std::vector<float> read_floats(FirmwareRig &rig, u64 addr, size_t n) {
  std::vector<float> v(n);
  rig.chip().ddr.load(addr, reinterpret_cast<u8 *>(v.data()), n * 4);
  return v;
}

void store_floats(FirmwareRig &rig, u64 addr, const std::vector<float> &v) {
  rig.chip().ddr.store(addr, reinterpret_cast<const u8 *>(v.data()), v.size() * 4);
}

// Values with many ties (a few levels) or all distinct, some negative.
std::vector<float> values(size_t n, bool ties, unsigned seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) {
    const unsigned x = unsigned(i * 2654435761u + seed * 97u);
    v[i] = ties ? float(int((x >> 7) % 5) - 2) : float(int((x >> 5) % 20011) - 10000) * 0.25f;
  }
  return v;
}

TEST(ArgPlan, RowsViewAndPieces) {
  struct Case {
    const char *what;
    int dims[4], axis;
    arg_view_t view;
    struct {
      int n_piece, c_piece, w_piece;
    } plan;
  };
  const Case cases[] = {
      {"axis 0: C, H, W kept", {5, 3, 4, 6}, 0, {3, 4, 6, 5, 24, 6, 1, 72, 24, 6, 1}, {3, 4, 6}},
      {"axis 1", {5, 3, 4, 6}, 1, {5, 4, 6, 3, 72, 6, 1, 24, 24, 6, 1}, {5, 4, 6}},
      {"axis 3: H is the kept row direction", {5, 3, 4, 6}, 3, {5, 3, 4, 6, 72, 24, 6, 1, 12, 4, 1}, {5, 3, 4}},
      // Row of 4000: 16000 bytes a plane, 8 planes an area; 130 channels take 3.
      {"items cut to fit the area", {3, 130, 2, 4000}, 2, {3, 130, 4000, 2, 1040000, 8000, 1, 4000, 520000, 4000, 1},
       {2, 130, 4000}},
      {"channels beyond the engine's field cut, one item", {2, 4100, 2, 3}, 2,
       {2, 4100, 3, 2, 24600, 6, 1, 3, 12300, 3, 1}, {1, 4032, 3}},
      {"a long row cut", {1, 1, 2, 9000}, 2, {1, 1, 9000, 2, 18000, 18000, 1, 9000, 9000, 9000, 1}, {1, 1, 8192}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    arg_view_t v;
    arg_view_of(&v, k.dims[0], k.dims[1], k.dims[2], k.dims[3], k.axis);
    EXPECT_EQ(v.n, k.view.n);
    EXPECT_EQ(v.c, k.view.c);
    EXPECT_EQ(v.w, k.view.w);
    EXPECT_EQ(v.rows, k.view.rows);
    EXPECT_EQ(v.in_n, k.view.in_n);
    EXPECT_EQ(v.in_c, k.view.in_c);
    EXPECT_EQ(v.in_w, k.view.in_w);
    EXPECT_EQ(v.in_row, k.view.in_row);
    EXPECT_EQ(v.out_n, k.view.out_n);
    EXPECT_EQ(v.out_c, k.view.out_c);
    EXPECT_EQ(v.out_w, k.view.out_w);
    arg_plan_t p;
    arg_plan_of(&p, &v);
    EXPECT_EQ(p.n_piece, k.plan.n_piece);
    EXPECT_EQ(p.c_piece, k.plan.c_piece);
    EXPECT_EQ(p.w_piece, k.plan.w_piece);
    // The largest piece fits each local area, and the areas stay apart.
    EXPECT_TRUE(local_areas_valid(p.areas, ARG_AREA_COUNT));
    for (const local_area_t &a : p.areas) {
      EXPECT_GT(a.bytes, 0u) << a.name;
      EXPECT_LE(a.bytes, ARG_AREA_BYTES) << a.name;
    }
  }
}

// Runs the layer on `in` and compares the indices and the extreme values with
// the reference.
void check_arg(const std::vector<float> &in, const int dims[4], int axis, int method, uint64_t seed) {
  FirmwareRig rig(deferred(seed));
  store_floats(rig, kIn, in);
  const size_t out = in.size() / size_t(dims[axis]);
  const std::vector<float> marker(in.size(), 123.0f);
  store_floats(rig, kValue, marker);
  ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_arg(kIn, kValue, kIndex, dims[0], dims[1], dims[2], dims[3], axis, method, node);
  })));
  std::vector<float> extremes;
  EXPECT_EQ(read_floats(rig, kIndex, out), ref::arg_index(in, dims, axis, method, false, &extremes));
  EXPECT_EQ(read_floats(rig, kValue, out), extremes);
  EXPECT_EQ(read_floats(rig, kValue + 4 * out, in.size() - out),
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
        const uint64_t seed = deferred_seeds()[(axis + method) % 3];
        SCOPED_TRACE(std::string(k.what) + ", axis " + std::to_string(axis) + ", method " +
                     std::to_string(method) + ", seed " + std::to_string(seed));
        check_arg(values(size_t(k.dims[0]) * k.dims[1] * k.dims[2] * k.dims[3], k.ties, seed), k.dims, axis,
                  method, seed);
      }
}

TEST(ArgLayer, EqualExtremesGiveTheHighestIndex) {
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    FirmwareRig rig(deferred(seed));
    store_floats(rig, kIn, {3, 7, 7, 1});
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 1, 1, 1, 4, 3, 0, n); })));
    EXPECT_EQ(read_floats(rig, kIndex, 1), std::vector<float>{2});
    store_floats(rig, kIn, {5, 5, 5, 5});
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 1, 1, 1, 4, 3, 1, n); })));
    EXPECT_EQ(read_floats(rig, kIndex, 1), std::vector<float>{3}) << "minimum over equal values";
  }
}

TEST(ArgLayer, PiecesOfItemsChannelsAndRows) {
  struct Case {
    const char *what;
    int dims[4], axis;
  };
  const Case cases[] = {
      {"items in pieces of 2", {3, 130, 2, 4000}, 2},
      {"channels in pieces of 4032", {2, 4100, 2, 3}, 2},
      {"a row in pieces of 8192", {1, 1, 3, 9000}, 2},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    check_arg(values(size_t(k.dims[0]) * k.dims[1] * k.dims[2] * k.dims[3], true, 4), k.dims, k.axis, 1, 2);
  }
}

TEST(ArgLayer, AxisOfExtentOneCopiesValuesAndFillsZeros) {
  const std::vector<float> in = values(30, false, 1);
  const std::vector<float> marker(30, 9.0f);
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    FirmwareRig rig(deferred(seed));
    store_floats(rig, kIn, in);
    store_floats(rig, kIndex, marker);
    store_floats(rig, kValue, marker);
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *n) { nodechip_arg(kIn, kValue, kIndex, 2, 3, 1, 5, 2, 0, n); })));
    EXPECT_EQ(read_floats(rig, kValue, 30), in);
    EXPECT_EQ(read_floats(rig, kIndex, 30), std::vector<float>(30, 0.0f));
    // Outputs that are not wanted stay untouched.
    store_floats(rig, kIndex, marker);
    store_floats(rig, kValue, marker);
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 2, 3, 1, 5, 2, 1, n); })));
    EXPECT_EQ(read_floats(rig, kValue, 30), marker);
    EXPECT_EQ(read_floats(rig, kIndex, 30), std::vector<float>(30, 0.0f));
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *n) { nodechip_arg(kIn, kValue, kNone, 2, 3, 1, 5, 2, 0, n); })));
    EXPECT_EQ(read_floats(rig, kValue, 30), in);
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

std::vector<u8> read_bytes(FirmwareRig &rig, u64 addr, size_t n) {
  std::vector<u8> v(n);
  rig.chip().ddr.load(addr, v.data(), n);
  return v;
}

// Runs the 8-bit layer on bytes (1N order, stored 4N) and compares values
// (4N) and indices (int32) with the reference, signed or unsigned.
void check_fix8b(const std::vector<u8> &plain, const int dims[4], int axis, int method, int is_signed,
                 uint64_t seed, u64 scratch = kScratch) {
  FirmwareRig rig(deferred(seed));
  const int n = dims[0];
  const size_t len = plain.size() / size_t(n);
  const std::vector<u8> four = ref::to_4n(plain, n, len, 0xee);
  rig.chip().ddr.store(kIn, four.data(), four.size());
  ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_arg_fix8b(kIn, kNone, kValue, kNone, kIndex, scratch, is_signed, dims[0], dims[1], dims[2], dims[3],
                       axis, method, node);
  })));
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
  EXPECT_EQ(ref::from_4n(read_bytes(rig, kValue, size_t(out_n + 3) / 4 * 4 * out_len), out_n, out_len),
            want_values);
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
          const uint64_t seed = deferred_seeds()[(axis + method + is_signed) % 3];
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
  FirmwareRig rig(deferred(1));
  const std::vector<u8> four = ref::to_4n(bytes(10, false, 3), 2, 5, 0xee);
  rig.chip().ddr.store(kIn, four.data(), four.size());
  ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *n) {
    nodechip_arg_fix8b(kIn, kNone, kValue, kNone, kIndex, kScratch, 1, 2, 5, 1, 1, 2, 0, n);
  })));
  EXPECT_EQ(read_bytes(rig, kValue, four.size()), four);
  EXPECT_EQ(read_bytes(rig, kIndex, 40), std::vector<u8>(40, 0));
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
  // Axis 0 needs no index scratch.
  const int dims[4] = {5, 2, 2, 2};
  check_fix8b(bytes(40, false, 1), dims, 0, 0, 1, 1, kNone);
}

}  // namespace
}  // namespace zv::test
