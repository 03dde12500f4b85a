// The GEMM slice plan: every shape's buffers fit one lane and stay apart.
#include <gtest/gtest.h>

#include <algorithm>

#include "cmd/gemm.h"
#include "cmd/local_areas.h"

namespace {

TEST(GemmPlan, BuffersOfEveryShapeFitALaneApart) {
  struct Case {
    const char *what;
    int M, N, K;
    bool ta, tb;
  };
  const Case cases[] = {
      {"one element", 1, 1, 1, false, false},
      {"small, both transposed", 40, 40, 40, true, true},
      {"K cut", 40, 40, 3000, false, false},
      {"rows of C cut, A transposed", 1100, 2100, 8, true, false},
      {"a cube of 1024", 1024, 1024, 1024, false, false},
      {"one row of 4096 by 4096", 1, 4096, 4096, false, false},
      {"one column, B transposed", 4096, 1, 4096, false, true},
      {"wide and shallow", 3, 70000, 5, false, false},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    // The routine starts from extents capped for the matrix moves.
    const int M = std::min(k.M, GEMM_SLICE_CAP), N = std::min(k.N, GEMM_SLICE_CAP),
              K = std::min(k.K, GEMM_SLICE_CAP);
    mat_slice_t a[2] = {}, b[2] = {}, c[2] = {};
    a[0] = {M, K, {}, 0, 0, k.ta, k.ta, 0};
    b[0] = {K, N, {}, 0, 0, k.tb, 0, 0};
    c[0] = {M, N, {}, 0, 0, 0, 0, 0};
    for (int db : {0, 1}) {
      mat_slicing(a, b, c, db);
      local_area_t areas[GEMM_AREA_COUNT];
      const int count = gemm_local_areas(a, b, c, db, areas);
      EXPECT_EQ(count, db ? 6 : 3);
      EXPECT_TRUE(local_areas_valid(areas, count)) << "double buffer " << db;
      for (int i = 0; i < count; i++) EXPECT_GT(areas[i].bytes, 0u) << areas[i].name;
    }
  }
}

}  // namespace
