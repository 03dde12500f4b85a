// GEMM: the per-step decisions by a table of whole step sequences over a
// hand-made plan (one step, K cut with two-slot blocks, a resident A or B
// reused across C slices, beta and alpha flags).
#include "cmd/gemm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "A<block>@<local> [load] [scale] | B<block>@<local> [load] | C [load] [scale] [acc] [last]"
std::string describe(const gemm_step_t &s) {
  std::string out = "A" + std::to_string(s.a_block) + "@" + std::to_string(s.a_local);
  if (s.a_new) out += " load";
  if (s.scale_a) out += " scale";
  out += " | B" + std::to_string(s.b_block) + "@" + std::to_string(s.b_local);
  if (s.b_new) out += " load";
  out += " | C";
  if (s.load_c) out += " load";
  if (s.scale_c) out += " scale";
  if (s.accumulate) out += " acc";
  if (s.last_k) out += " last";
  return out;
}

// The steps in the order the product walks them.
std::vector<std::string> steps_of(const gemm_plan_t &p, const gemm_flags_t &f) {
  gemm_loads_t loads = {0, 0, -1, -1};
  std::vector<std::string> out;
  const int outer = p.n_outer ? p.n_secs : p.m_secs, inner = p.n_outer ? p.m_secs : p.n_secs;
  for (int o = 0; o < outer; o++)
    for (int in = 0; in < inner; in++)
      for (int ki = 0; ki < p.k_secs; ki++) {
        const int mi = p.n_outer ? in : o, ni = p.n_outer ? o : in;
        const gemm_step_t s = gemm_step_of(&p, &f, mi, ni, ki, &loads);
        out.push_back(describe(s));
        gemm_count_loads(&loads, &p, &s);
      }
  return out;
}

// Slots of A at 1000 + 100 i, of B at 2000 + 100 i.
gemm_plan_t plan_of(int m_secs, int n_secs, int k_secs, int n_outer, int a_resident, int b_resident) {
  gemm_plan_t p = {};
  p.m_secs = m_secs, p.n_secs = n_secs, p.k_secs = k_secs;
  p.n_outer = (u8)n_outer, p.a_resident = (u8)a_resident, p.b_resident = (u8)b_resident;
  p.a_addr = 1000, p.b_addr = 2000, p.a_bytes = p.b_bytes = 100;
  return p;
}

TEST(GemmStep, Sequences) {
  struct Case {
    const char *what;
    gemm_plan_t plan;
    gemm_flags_t flags;  // load_C, scale_C, scale_A
    std::vector<std::string> steps;
  };
  const Case cases[] = {
      {"one step, beta 0 and alpha 1: both blocks load, C neither loads nor accumulates",
       plan_of(1, 1, 1, 0, 0, 0), {0, 1, 0},
       {"A0@1000 load | B0@2000 load | C last"}},
      {"one step, beta 2 and alpha 3: C loads and scales once, A scales on its load",
       plan_of(1, 1, 1, 0, 0, 0), {1, 1, 1},
       {"A0@1000 load scale | B0@2000 load | C load scale acc last"}},
      {"K cut: blocks alternate between two slots, the later slices accumulate",
       plan_of(1, 1, 3, 0, 0, 0), {0, 1, 0},
       {"A0@1000 load | B0@2000 load | C", "A1@1100 load | B1@2100 load | C acc",
        "A2@1000 load | B2@2000 load | C acc last"}},
      {"N slices inside one M slice, one K slice: A stays, B alternates",
       plan_of(1, 3, 1, 0, 0, 0), {0, 1, 1},
       {"A0@1000 load scale | B0@2000 load | C last", "A0@1000 | B1@2100 load | C last",
        "A0@1000 | B2@2000 load | C last"}},
      {"resident B over two M slices with a K cut: B blocks load in the first M slice only, each in its own slot",
       plan_of(2, 1, 2, 0, 0, 1), {0, 1, 0},
       {"A0@1000 load | B0@2000 load | C", "A1@1100 load | B1@2100 load | C acc last",
        "A2@1000 load | B0@2000 | C", "A3@1100 load | B1@2100 | C acc last"}},
      {"resident A, N outer: A blocks load for the first N slice only",
       plan_of(2, 2, 1, 1, 1, 0), {1, 0, 0},
       {"A0@1000 load | B0@2000 load | C load acc last", "A1@1100 load | B0@2000 | C load acc last",
        "A0@1000 | B1@2100 load | C load acc last", "A1@1100 | B1@2100 | C load acc last"}},
  };
  for (const Case &k : cases) EXPECT_EQ(steps_of(k.plan, k.flags), k.steps) << k.what;
}

}  // namespace
