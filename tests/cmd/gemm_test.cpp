// The GEMM slice plans: every shape's buffers fit one lane and stay apart; the
// product's plan keeps K sections large and its modelled time near the
// engines' bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

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

// The bound of a product in engine cycles: the tensor engine's peak (1024
// products a cycle) or GDMA moving A, B and C once (32 bytes a cycle).
double bound_cycles(int M, int N, int K) {
  const double products = double(M) * N * K / 1024.0;
  const double bytes = 4.0 * (double(M) * K + double(K) * N + double(M) * N) / 32.0;
  return std::max(products, bytes);
}

TEST(GemmPlan, ProductPlansFitCoverAndStayNearTheBound) {
  struct Case {
    const char *what;
    int M, N, K;
    bool ta;
    double within;  // modelled time over the bound at most
  };
  const Case cases[] = {
      {"one element", 1, 1, 1, false, 0},
      {"a cube of 512", 512, 512, 512, false, 1.25},
      {"a cube of 1024", 1024, 1024, 1024, false, 1.3},
      {"a cube of 2048", 2048, 2048, 2048, false, 1.3},
      {"wide C, short K", 1024, 4096, 256, false, 1.3},
      {"tall C", 4096, 256, 1024, false, 1.3},
      {"narrow C, deep K", 4096, 64, 4096, false, 1.3},
      {"one row of 4096 by 4096", 1, 4096, 4096, false, 1.3},
      {"a cube of 1024, A transposed", 1024, 1024, 1024, true, 1.3},
      {"wide and shallow", 3, 70000, 5, false, 0},
      {"rows beyond the slice cap", 70000, 3, 5, true, 0},
      {"K beyond the slice cap", 5, 3, 70000, false, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    gemm_plan_t p;
    gemm_plan_of(&p, k.M, k.N, k.K, k.ta, 0, 0, 0);
    // The slices cover each dimension without an empty one and within the cap.
    for (auto [total, ext, secs] : {std::tuple{k.M, p.Ms, p.m_secs}, std::tuple{k.N, p.Ns, p.n_secs},
                                    std::tuple{k.K, p.Ks, p.k_secs}}) {
      EXPECT_LE(ext, GEMM_SLICE_CAP);
      EXPECT_GE(int64_t(ext) * secs, total);
      EXPECT_LT(int64_t(ext) * (secs - 1), total);
    }
    // Never rank-1 steps: K sections at least 256 deep, or K whole.
    EXPECT_GE(p.Ks, std::min(k.K, 256));
    local_area_t areas[GEMM_PLAN_AREA_COUNT];
    const int count = gemm_plan_areas(&p, areas);
    EXPECT_TRUE(local_areas_valid(areas, count));
    if (k.within > 0) {
      EXPECT_LE(double(p.cycles), k.within * bound_cycles(k.M, k.N, k.K));
    }
  }
}

TEST(GemmPlan, ProductsThatFitOneStepArePipelined) {
  // 512^3 fits local memory whole; the plan cuts it so that loads, products
  // and stores overlap.
  gemm_plan_t p;
  gemm_plan_of(&p, 512, 512, 512, 0, 0, 0, 0);
  EXPECT_GT(p.m_secs * p.n_secs * p.k_secs, 1);
  EXPECT_LE(double(p.cycles), bound_cycles(512, 512, 512) / 0.8);
  // A single small product is one step.
  gemm_plan_of(&p, 64, 64, 64, 0, 0, 1, 1);
  EXPECT_EQ(p.m_secs * p.n_secs * p.k_secs, 1);
}

TEST(GemmPlan, CutsThatDoNotFitCostNothing) {
  // A whole K of 0x7fff rows of B takes 4 MB of every lane.
  gemm_plan_t p = {};
  p.Ms = 1, p.Ns = 1, p.Ks = GEMM_SLICE_CAP;
  EXPECT_EQ(gemm_plan_cost(&p, 1, 1, GEMM_SLICE_CAP, 0, 0, 0, 0), 0u);
  // Resident blocks take a slot each: a resident A of 64 blocks of 512 x 512
  // does not fit where two slots do.
  p = {};
  p.Ms = 512, p.Ns = 512, p.Ks = 512;
  p.n_outer = 1;
  EXPECT_GT(gemm_plan_cost(&p, 4096, 1024, 4096, 0, 0, 0, 0), 0u);
  p.a_resident = 1;
  EXPECT_EQ(gemm_plan_cost(&p, 4096, 1024, 4096, 0, 0, 0, 0), 0u);
}

}  // namespace
