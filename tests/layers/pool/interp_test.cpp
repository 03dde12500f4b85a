// Float interpolation: indices and weights of each coordinate mode by a table,
// the slice plan, the layer against the reference written from each mode's
// formula on every schedule with the race checker, crops, slices of planes
// and rows, the command-id restarts of long blends, and the refusals.
#include "layers/pool/interp.h"

#include <gtest/gtest.h>

#include "pool_rig.h"

namespace zv::test::pool {
namespace {

TEST(InterpIndex, ModesByTheirFormulas) {
  struct {
    const char *what;
    interp_coord_t m;
    int in, out, o, index;
    float w;
  } cases[] = {
      {"mode 2, 4 to 7: row 3 takes row 2 alone", {2, 0, 0}, 4, 7, 3, 1, 1.0f},
      {"mode 1 half-pixel, 2 to 4, row 0 clamps to 0", {1, 0, 1}, 2, 4, 0, 0, 0.0f},
      {"mode 1 half-pixel, 2 to 4, row 1", {1, 0, 1}, 2, 4, 1, 0, 0.25f},
      {"mode 1 half-pixel, 2 to 4, row 3 at the last index", {1, 0, 1}, 2, 4, 3, 1, 0.25f},
      {"mode 5, 3 to 2, column 1", {5, 0, 0}, 3, 2, 1, 1, 0.0f},
      {"mode 3 align, 5 to 3: round(2 x 1)", {3, 1, 0}, 5, 3, 1, 2, 0.0f},
      {"mode 3 half-pixel, 4 to 3", {3, 0, 1}, 4, 3, 2, 3, 0.0f},
      {"mode 4 align, 3 to 5", {4, 1, 0}, 3, 5, 3, 1, 0.5f},
      {"mode 0, 3 to 5", {0, 0, 0}, 3, 5, 3, 1, 0.5f},
  };
  for (const auto &k : cases) {
    const float s = interp_scale(&k.m, k.in, k.out);
    int idx;
    float w;
    getIndex(&k.m, k.in, k.o, s, &w, &idx);
    EXPECT_EQ(idx, k.index) << k.what;
    EXPECT_FLOAT_EQ(w, k.w) << k.what;
  }
  const interp_coord_t m5 = {5, 0, 0};
  EXPECT_FLOAT_EQ(interp_scale(&m5, 3, 2), 1.5f);
  int split[2];
  const interp_coord_t m4 = {4, 0, 0};
  nodechip_global_interp_data_split(1, 70, 40, 300, 80, 600, 0, 0, interp_scale(&m4, 40, 80), &m4, split);
  EXPECT_EQ(split[1], 54);  // 600 x 54 floats fit 128 KB, 600 x 55 do not
  EXPECT_EQ(split[0], 64);
}

struct InterpCase {
  const char *what;
  int n, c, ih, iw, p, q, oh, ow;
  interp_coord_t m;
};

void run_interp(const InterpCase &k, const std::vector<Sched> &scheds) {
  const T4 in = pattern(k.n, k.c, k.ih, k.iw, k.oh);
  ref::pool::Interp m;
  m.mode = k.m.mode, m.align = k.m.align_corners, m.half = k.m.half_pixel;
  const T4 want = ref::pool::interp(in, k.p, k.q, k.oh, k.ow, m);
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put_floats(rig, kIn, in.v);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_interp_forward_parallel(kIn, kOut, k.n, k.c, k.ih, k.iw, k.p, k.q, k.oh, k.ow, k.m.align_corners,
                                       k.m.half_pixel, k.m.mode, node);
    }));
    EXPECT_TRUE(near_all(get<float>(rig, kOut, want.v.size()), want, 2e-6));
  }
}

TEST(Interp, EveryModeAgainstItsFormula) {
  const InterpCase cases[] = {
      {"mode 0, 5 x 7 to 9 x 13", 2, 3, 5, 7, 0, 0, 9, 13, {0, 0, 0}},
      {"mode 2, 4 x 4 to 7 x 5", 1, 2, 4, 4, 0, 0, 7, 5, {2, 0, 0}},
      {"mode 1 half-pixel, 2 x 3 to 4 x 7", 1, 2, 2, 3, 0, 0, 4, 7, {1, 0, 1}},
      {"mode 1 align, downscale 9 x 8 to 4 x 3", 2, 2, 9, 8, 0, 0, 4, 3, {1, 1, 0}},
      {"mode 3 half-pixel, 4 x 5 to 3 x 9", 1, 3, 4, 5, 0, 0, 3, 9, {3, 0, 1}},
      {"mode 3 align, 5 x 5 to 3 x 8", 1, 2, 5, 5, 0, 0, 3, 8, {3, 1, 0}},
      {"mode 4, 5 x 7 to 10 x 14 (an exact 2x)", 1, 3, 5, 7, 0, 0, 10, 14, {4, 0, 0}},
      {"mode 4 align, 5 x 7 to 10 x 14", 1, 2, 5, 7, 0, 0, 10, 14, {4, 1, 0}},
      {"mode 5, 3 x 3 to 5 x 2", 2, 2, 3, 3, 0, 0, 5, 2, {5, 0, 0}},
      {"mode 4 with crops p = -1, q = -2 on 10 x 10", 1, 2, 10, 10, -1, -2, 6, 9, {4, 0, 0}},
      {"mode 0 with crops, rows first", 1, 2, 9, 6, 0, -1, 20, 3, {0, 0, 0}},
  };
  for (const InterpCase &k : cases) run_interp(k, all_schedules());
}

TEST(Interp, SlicesOfPlanesAndRows) {
  // 600 output columns hold 54 rows per slice; 70 planes take two groups.
  run_interp({"70 planes, 40 x 300 to 80 x 600", 1, 70, 40, 300, 0, 0, 80, 600, {4, 0, 0}}, deferred_schedules());
}

TEST(Interp, ExactDoubling) {
  // Mode 4 without pads or alignment at exactly 2x: the fixed-weight routine.
  const InterpCase cases[] = {
      {"2x, one input row", 2, 2, 1, 5, 0, 0, 2, 10, {4, 0, 0}},
      {"2x, one input column", 1, 3, 4, 1, 0, 0, 8, 2, {4, 0, 0}},
      {"2x, 130 planes in three plane groups", 1, 130, 6, 600, 0, 0, 12, 1200, {4, 0, 0}},
  };
  for (const InterpCase &k : cases) run_interp(k, all_schedules());
  // Rows in four pieces alternating between the halves of local memory.
  run_interp({"2x, 40 x 1000 in pieces of 20 output rows", 1, 2, 40, 1000, 0, 0, 80, 2000, {4, 0, 0}},
             deferred_schedules());
}

TEST(Interp, LongBlendsRestartTheIds) {
  // 31000 columns, one row per slice: about 62000 taps per slice.
  run_interp({"2 x 2 to 2 x 31000", 1, 1, 2, 2, 0, 0, 2, 31000, {0, 0, 0}}, {deferred(2)});
}

TEST(Interp, Refusals) {
  const char *fn = "nodechip_interp_forward_parallel";
  expect_assert([](cmd_id_node_t *n) { nodechip_interp_forward_parallel(kIn, kOut, 1, 1, 4, 4, 0, 0, 4, 4, 0, 0, 6, n); },
                "ASSERT", "firmware/layers/pool/", "getIndex", "0");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_interp_forward_parallel(kIn, kOut, 1, 1, 4, 4, 0, 0, 2, 100000, 0, 0, 4, n);
  }, "ASSERT", "firmware/layers/pool/", "nodechip_global_interp_data_split", "hsecs > 1");
  expect_assert([](cmd_id_node_t *n) { nodechip_interp_forward_parallel(kIn, kOut, 1, 1, 4, 4, 1, 0, 4, 4, 0, 0, 4, n); },
                "ASSERT_FS", "firmware/layers/pool/", fn, "p <= 0 && q <= 0", "p=1 q=0");
  LayerRunner rig;
  ASSERT_TRUE(rig.call(
      [](cmd_id_node_t *n) { nodechip_interp_forward_parallel(kIn, kOut, 0, 3, 4, 4, 0, 0, 8, 8, 0, 0, 4, n); }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test::pool
