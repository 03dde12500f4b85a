// The any-stride pooling worker's plan and steps by tables: how it cuts the
// work (blocks of batch items or planes, steps of output rows), the first,
// last, cut and empty steps, and that the steps of a plan cover the output
// once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layers/pool/pooling.h"

namespace {

struct Geometry {
  int n, c, ih, iw, oh, ow, k, pad, stride;
};

pool_wide_plan_t plan_of(const Geometry &g) {
  const conv_window_t w = conv_window_of(g.k, g.k, 1, 1, g.pad, g.pad, g.pad, g.pad, g.stride, g.stride);
  pool_wide_plan_t p;
  pool_wide_plan_of(&p, g.n, g.c, g.ih, g.iw, g.oh, g.ow, &w);
  return p;
}

// 200 x 200 planes pooled 16 x 16 by 16: three planes fit a lane.
const Geometry kBatchCut = {5, 64, 200, 200, 12, 12, 16, 0, 16};
const Geometry kPlaneCut = {1, 201, 200, 200, 12, 12, 16, 0, 16};
// 400 x 400 planes do not fit a lane: 19 output rows a step; the last step's
// windows reach 14 rows past the input.
const Geometry kRowCut = {2, 70, 400, 400, 26, 26, 16, 2, 16};

TEST(PoolWidePlan, CutsAndPieces) {
  struct Case {
    const char *what;
    Geometry g;
    int cut, batch_pieces, chan_pieces, row_pieces, row_step;
  };
  const Case cases[] = {
      {"everything in one block", {2, 3, 40, 37, 3, 3, 3, 1, 16}, POOL_WIDE_CUT_BLOCKS, 1, 1, 1, 3},
      {"batch items in blocks", kBatchCut, POOL_WIDE_CUT_BLOCKS, 2, 1, 1, 12},
      {"planes in blocks", kPlaneCut, POOL_WIDE_CUT_BLOCKS, 1, 2, 1, 12},
      {"steps of output rows", kRowCut, POOL_WIDE_CUT_ROWS, 2, 2, 2, 19},
      {"no batch items: no steps", {0, 3, 40, 37, 3, 3, 3, 1, 16}, POOL_WIDE_CUT_BLOCKS, 0, 0, 0, 0},
      {"intermediate too tall for the engine: no steps", {1, 1, 8000, 4, 4096, 1, 1, 0, 2}, POOL_WIDE_CUT_BLOCKS, 0,
       0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const pool_wide_plan_t p = plan_of(c.g);
    EXPECT_EQ(p.cut, c.cut);
    EXPECT_EQ(p.batch_pieces, c.batch_pieces);
    EXPECT_EQ(p.chan_pieces, c.chan_pieces);
    EXPECT_EQ(p.row_pieces, c.row_pieces);
    if (c.row_pieces) {
      EXPECT_EQ(p.row_step, c.row_step);
    }
  }
}

TEST(PoolWidePlan, Steps) {
  struct Case {
    const char *what;
    Geometry g;
    int i, j, k;
    pool_wide_step_t want;
  };
  // n0 n c0 c | oh0 out_rows | row0 rows pt pb mid_rows | lane_rows in_plane out_plane | mid_off | first last
  const Case cases[] = {
      {"first block takes the odd batch item", kBatchCut, 0, 0, 0,
       {0, 3, 0, 64, 0, 12, 0, 200, 0, 0, 23, 1, 40000, 160, 3 * 4 * 40000, 1, 1}},
      {"last block", kBatchCut, 1, 0, 0, {3, 2, 0, 64, 0, 12, 0, 200, 0, 0, 23, 1, 40000, 160, 2 * 4 * 40000, 1, 1}},
      {"first plane block takes the odd plane", kPlaneCut, 0, 0, 0,
       {0, 1, 0, 101, 0, 12, 0, 200, 0, 0, 23, 2, 40000, 160, 2 * 4 * 40000, 1, 1}},
      {"last plane block", kPlaneCut, 0, 1, 0, {0, 1, 101, 100, 0, 12, 0, 200, 0, 0, 23, 2, 40000, 160, 320000, 1, 1}},
      {"first row step: top pad cut off", kRowCut, 0, 0, 0,
       {0, 1, 0, 64, 0, 19, 0, 302, 2, 0, 37, 1, 302 * 400, 512, 302 * 400 * 4, 1, 0}},
      {"last row step: bottom pad", kRowCut, 0, 0, 1,
       {0, 1, 0, 64, 19, 7, 302, 98, 0, 14, 13, 1, 98 * 400, 192, 98 * 400 * 4, 0, 1}},
      {"last planes of the second batch item", kRowCut, 1, 1, 1,
       {1, 1, 64, 6, 19, 7, 302, 98, 0, 14, 13, 1, 98 * 400, 192, 98 * 400 * 4, 0, 1}},
      {"batch piece out of range: empty", kBatchCut, 2, 0, 0, {}},
      {"row piece out of range: empty", kRowCut, 0, 0, 2, {}},
      {"negative piece: empty", kPlaneCut, 0, -1, 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const pool_wide_plan_t p = plan_of(c.g);
    const pool_wide_step_t s = pool_wide_step_of(&p, c.i, c.j, c.k), &w = c.want;
    EXPECT_EQ(std::vector<int>({s.n0, s.n, s.c0, s.c, s.oh0, s.out_rows}),
              std::vector<int>({w.n0, w.n, w.c0, w.c, w.oh0, w.out_rows}));
    EXPECT_EQ(std::vector<int>({s.row0, s.rows, s.pt, s.pb, s.mid_rows}),
              std::vector<int>({w.row0, w.rows, w.pt, w.pb, w.mid_rows}));
    EXPECT_EQ(std::vector<int>({s.lane_rows, s.in_plane, s.out_plane, s.first, s.last}),
              std::vector<int>({w.lane_rows, w.in_plane, w.out_plane, w.first, w.last}));
    EXPECT_EQ(s.mid_off, w.mid_off);
  }
}

// Every batch item, plane and output row belongs to exactly one step, each
// step's intermediate and output fit the lane, and every step's windows read
// only resident rows.
TEST(PoolWidePlan, StepsCoverTheOutputOnce) {
  const Geometry geometries[] = {kBatchCut, kPlaneCut, kRowCut, {3, 130, 60, 60, 3, 3, 16, 0, 16},
                                 {1, 3, 400, 400, 25, 25, 16, 2, 16}, {2, 3, 11, 10, 4, 4, 3, 1, 3}};
  for (const Geometry &g : geometries) {
    SCOPED_TRACE(std::to_string(g.n) + "x" + std::to_string(g.c) + "x" + std::to_string(g.ih));
    const pool_wide_plan_t p = plan_of(g);
    std::vector<int> seen(size_t(g.n * g.c * g.oh), 0);
    for (int i = 0; i < p.batch_pieces; i++)
      for (int j = 0; j < p.chan_pieces; j++)
        for (int k = 0; k < p.row_pieces; k++) {
          const pool_wide_step_t s = pool_wide_step_of(&p, i, j, k);
          ASSERT_GT(s.n * s.c * s.out_rows, 0);
          for (int b = s.n0; b < s.n0 + s.n; b++)
            for (int ch = s.c0; ch < s.c0 + s.c; ch++)
              for (int r = s.oh0; r < s.oh0 + s.out_rows; r++) seen[size_t((b * g.c + ch) * g.oh + r)]++;
          const u64 out_bytes = 4ull * s.lane_rows * s.n * s.out_plane;
          EXPECT_LE(s.mid_off + out_bytes, u64(LOCAL_MEM_SIZE));
          EXPECT_GE(u64(s.mid_off), 4ull * s.lane_rows * s.n * s.in_plane);
          EXPECT_EQ(s.first, s.oh0 == 0);
          EXPECT_EQ(s.last, s.oh0 + s.out_rows == g.oh);
          // The step's windows lie within its resident rows and pads.
          EXPECT_GE(s.pt + s.rows + s.pb, (s.out_rows - 1) * g.stride + g.k);
          EXPECT_EQ(s.row0 - s.pt, s.oh0 * g.stride - g.pad);
          EXPECT_LE(s.row0 + s.rows, g.ih);
        }
    for (size_t x = 0; x < seen.size(); x++) ASSERT_EQ(seen[x], 1) << "output row " << x;
  }
}

}  // namespace
