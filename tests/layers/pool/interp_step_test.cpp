// The exact 2x upscale's plan and steps by tables: row pieces and plane
// groups of the interior rows, the edge rows, first, last, cut and empty
// steps, and that the pieces cover the interior rows of every plane once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layers/pool/interp.h"

namespace {

struct Geometry {
  int nc, ih, iw;
};

interp2x_plan_t plan_of(const Geometry &g) {
  interp2x_plan_t p;
  interp2x_plan_of(&p, g.nc, g.ih, g.iw);
  return p;
}

std::vector<int> fields(const interp2x_step_t &s) {
  return {s.c0, s.c, s.lane_rows, s.row0, s.rows, s.in_row0, s.in_rows, s.in_plane, s.out_plane, int(s.X), int(s.O),
          s.first, s.last};
}

// 200 x 300 planes: five pieces of 80 output rows (the last 78).
const Geometry kRowCut = {1, 200, 300};
// 200 planes of 8 x 512: groups of 192 planes.
const Geometry kPlaneCut = {200, 8, 512};

TEST(Interp2xPlan, Pieces) {
  struct Case {
    const char *what;
    Geometry g;
    int interior_fits, group, rows, chan_pieces, row_pieces, edge_fits, edge_group, edge_pieces;
  };
  const Case cases[] = {
      {"one piece", {3, 4, 5}, 1, 64, 6, 1, 1, 1, 64, 1},
      {"row pieces", kRowCut, 1, 64, 80, 1, 5, 1, 64, 1},
      {"plane groups", kPlaneCut, 1, 192, 14, 2, 1, 1, 256, 1},
      {"one input row: edge rows only", {5, 1, 7}, 0, 0, 0, 0, 0, 1, 64, 1},
      {"edge rows wider than a lane", {1, 1, 30000}, 0, 0, 0, 0, 0, 0, 0, 0},
      {"rows wider than half a lane", {1, 4, 30000}, 0, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const interp2x_plan_t p = plan_of(c.g);
    EXPECT_EQ(std::vector<int>({p.interior_fits, p.group, p.rows, p.chan_pieces, p.row_pieces}),
              std::vector<int>({c.interior_fits, c.group, c.rows, c.chan_pieces, c.row_pieces}));
    EXPECT_EQ(std::vector<int>({p.edge_fits, p.edge_group, p.edge_pieces}),
              std::vector<int>({c.edge_fits, c.edge_group, c.edge_pieces}));
  }
}

TEST(Interp2xPlan, Steps) {
  struct Case {
    const char *what;
    Geometry g;
    int edge, j, i;
    std::vector<int> want;  // c0 c lane_rows row0 rows in_row0 in_rows in_plane out_plane X O first last
  };
  const int half = 0x40000;
  const Case cases[] = {
      {"the only piece", {3, 4, 5}, 0, 0, 0, {0, 3, 1, 1, 6, 0, 4, 32, 64, 0, 128, 1, 1}},
      {"first row piece", kRowCut, 0, 0, 0, {0, 1, 1, 1, 80, 0, 41, 12320, 48000, 0, 12320 * 4, 1, 0}},
      {"second row piece: the other half", kRowCut, 0, 0, 1,
       {0, 1, 1, 81, 80, 40, 41, 12320, 48000, half, half + 12320 * 4, 0, 0}},
      {"last row piece: 78 rows", kRowCut, 0, 0, 4, {0, 1, 1, 321, 78, 160, 40, 12000, 46816, 0, 12000 * 4, 0, 1}},
      {"first plane group", kPlaneCut, 0, 0, 0, {0, 192, 3, 1, 14, 0, 8, 4096, 14336, 0, 3 * 4096 * 4, 1, 0}},
      {"last plane group: 8 planes", kPlaneCut, 0, 1, 0,
       {192, 8, 1, 1, 14, 0, 8, 4096, 14336, half, half + 4096 * 4, 0, 1}},
      {"edge rows of every plane", kPlaneCut, 1, 0, 0, {0, 200, 4, 0, 2, 0, 2, 1024, 2048, 0, 4 * 1024 * 4, 1, 1}},
      {"row piece out of range: empty", kRowCut, 0, 0, 5, std::vector<int>(13, 0)},
      {"plane group out of range: empty", kPlaneCut, 0, 2, 0, std::vector<int>(13, 0)},
      {"edge step out of range: empty", kPlaneCut, 1, 1, 0, std::vector<int>(13, 0)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const interp2x_plan_t p = plan_of(c.g);
    EXPECT_EQ(fields(c.edge ? interp2x_edge_step_of(&p, c.j) : interp2x_step_of(&p, c.j, c.i)), c.want);
  }
}

// The pieces take output rows 1 .. oh - 2 of every plane once, each piece's
// input rows are the ones its rows blend, and input and output fit the half
// of local memory the piece uses.
TEST(Interp2xPlan, PiecesCoverTheInteriorOnce) {
  const Geometry geometries[] = {{3, 4, 5}, kRowCut, kPlaneCut, {70, 2, 3}, {130, 33, 40}, {1, 1000, 100}};
  for (const Geometry &g : geometries) {
    SCOPED_TRACE(std::to_string(g.nc) + "x" + std::to_string(g.ih) + "x" + std::to_string(g.iw));
    const interp2x_plan_t p = plan_of(g);
    ASSERT_TRUE(p.interior_fits);
    std::vector<int> seen(size_t(g.nc) * size_t(2 * g.ih), 0);
    for (int j = 0; j < p.chan_pieces; j++)
      for (int i = 0; i < p.row_pieces; i++) {
        const interp2x_step_t s = interp2x_step_of(&p, j, i);
        ASSERT_GT(s.c * s.rows, 0);
        for (int ch = s.c0; ch < s.c0 + s.c; ch++)
          for (int r = s.row0; r < s.row0 + s.rows; r++) seen[size_t(ch) * size_t(2 * g.ih) + size_t(r)]++;
        // Output row r blends input rows (r - 1) / 2 and (r + 1) / 2.
        EXPECT_EQ(s.in_row0, (s.row0 - 1) / 2);
        EXPECT_EQ(s.in_row0 + s.in_rows - 1, (s.row0 + s.rows) / 2);
        EXPECT_LE(s.in_row0 + s.in_rows, g.ih);
        EXPECT_EQ(s.O, s.X + 4u * u32(s.lane_rows * s.in_plane));
        EXPECT_LE(s.O + 4u * u32(s.lane_rows * s.out_plane), s.X + 0x40000u);
      }
    for (int ch = 0; ch < g.nc; ch++)
      for (int r = 0; r < 2 * g.ih; r++)
        ASSERT_EQ(seen[size_t(ch) * size_t(2 * g.ih) + size_t(r)], r == 0 || r == 2 * g.ih - 1 ? 0 : 1)
            << "plane " << ch << " row " << r;
  }
}

}  // namespace
