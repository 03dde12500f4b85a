// Feature matching against the plain references in tests/ref under every
// schedule with the checker on, with shapes that force the operators' cuts
// (blocks and remainders, passes, the top n beyond a pass, the 8-bit FC's
// input, batch and output slices, the L2 limits); the plans by tables; the
// refusals by their conditions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "cmd/local_areas.h"
#include "cv/cv_feature_match.h"
#include "fw_test.h"
#include "ref/cv_match_ref.h"
#include "runtime/engine_wait.h"

namespace zv::test {
namespace {

constexpr u64 kQuery = kUserDdr + 0x1000, kDb = kUserDdr + 0x200000, kFactor = kUserDdr + 0x1000000,
              kSimOut = kUserDdr + 0x1100000, kIdxOut = kUserDdr + 0x1200000, kScores = kUserDdr + 0x1300000,
              kWork = kUserDdr + 0x1400000;

uint32_t lcg(uint32_t &s) {
  s = s * 1103515245u + 12345u;
  return s >> 16;
}

// The float sequence of the handler: whole blocks, the remainder, the maxima.
void match_f32(u32 B, u32 F, u32 m, cmd_id_node_t *node) {
  const u32 k = m / 128 * 128;
  if (k > 0) {
    nodechip_feature_match(kQuery, kDb, kFactor, CV_MATCH_SIM_ADDR, B, F, k, m, node);
    poll_all_engine_done(node);
  }
  if (m % 128) {
    nodechip_feature_match(kQuery, kDb + 4ull * k, kFactor + 4ull * k, CV_MATCH_SIM_ADDR + 4ull * k, B, F, m % 128,
                           m, node);
    poll_all_engine_done(node);
  }
  nodechip_find_max_index(CV_MATCH_SIM_ADDR, kSimOut, kIdxOut, m, (m + 31) / 32 * 32, B, node);
}

TEST(CvFeatureMatch, TopSimilarityEqualsTheReference) {
  struct Case {
    const char *what;
    int B, F, D;
    int tie;  // >= 0: entry tie + 1 repeats entry tie and both are the best of query 0
  };
  const Case cases[] = {
      {"100 entries: the remainder call only", 3, 40, 100, -1},
      {"130 entries: a block of 128 and one of 2 in rows of 160", 5, 33, 130, -1},
      {"300 entries: two blocks, then 44; 40 queries over two lane groups", 40, 20, 300, -1},
      {"70 queries, one feature", 70, 1, 64, -1},
      {"equal best entries report the first", 4, 16, 140, 131},
  };
  for (const Case &c : cases) {
    uint32_t seed = 7u + uint32_t(c.D);
    std::vector<float> q(size_t(c.B) * c.F), db(size_t(c.F) * c.D), factor(c.D);
    for (float &v : q) v = float(int(lcg(seed) % 9) - 4);
    for (int b = 0; b < c.B; b++) q[size_t(b) * c.F] = float(1 + b % 3);  // no query of length 0
    for (float &v : db) v = float(int(lcg(seed) % 9) - 4);
    for (float &v : factor) v = 0.5f + float(lcg(seed) % 1000) / 700.0f;
    if (c.tie >= 0) {
      // Entry tie and tie + 1 equal the query itself, with the largest factor.
      for (int k = 0; k < c.F; k++) db[size_t(k) * c.D + c.tie] = db[size_t(k) * c.D + c.tie + 1] = q[k];
      factor[c.tie] = factor[c.tie + 1] = 4.0f;
    }
    const ref::MatchTop1 want = ref::cv_feature_match(q, db, factor, c.B, c.F, c.D);
    for (int b = 0; b < c.B; b++)
      if (want.index[b] != uint32_t(c.tie)) {
        ASSERT_GT(want.similarity[b] - want.runner_up[b], 1e-4 * std::fabs(want.similarity[b]))
            << c.what << ": the fixture needs a clear best for query " << b;
      }
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      chip::Memory &ddr = rig.chip().device_memory();
      ddr.store(kQuery, q.data(), 4 * q.size());
      ddr.store(kDb, db.data(), 4 * db.size());
      ddr.store(kFactor, factor.data(), 4 * factor.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { match_f32(c.B, c.F, c.D, node); }));
      std::vector<float> sim(c.B);
      std::vector<uint32_t> idx(c.B);
      ddr.load(kSimOut, sim.data(), 4 * c.B);
      ddr.load(kIdxOut, idx.data(), 4 * c.B);
      for (int b = 0; b < c.B; b++) {
        EXPECT_EQ(idx[b], want.index[b]) << "query " << b;
        EXPECT_NEAR(sim[b], want.similarity[b], 1e-5 * std::fabs(want.similarity[b])) << "query " << b;
      }
      if (c.tie >= 0) {
        EXPECT_EQ(idx[0], uint32_t(c.tie));
      }
      EXPECT_EQ(feature_match_init_flag, 1u);
    }
  }
}

TEST(CvFeatureMatch, PlanPlacesBothSetsInTheirHalves) {
  struct Case {
    int B, F, D;
    bool fits;
  };
  // 300 queries of 256 features: the inverse norms are the first buffer past
  // the half (a block of 128 entries).
  const Case cases[] = {{1, 1, 1, true}, {40, 20, 128, true}, {200, 256, 128, true}, {5, 900, 2, true},
                        {300, 256, 128, false}, {5, 2100, 2, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.B) + " x " + std::to_string(c.F) + " x " + std::to_string(c.D));
    cv_feature_match_plan_t p;
    cv_feature_match_plan_of(c.B, c.F, c.D, &p);
    EXPECT_EQ(p.block, c.D < 128 ? c.D : 128);
    bool fits = true;
    for (int i = 0; i < 2; i++) {
      const cv_match_buf_t *bufs[] = {&p.correlation_info[i].L, &p.correlation_info[i].R, &p.correlation_info[i].Y,
                                      &p.input_autocorrelation_info[i].R, &p.input_autocorrelation_info[i].Y,
                                      &p.db_feature_info[i], &p.rearr_autocorr_info[i], &p.input_feature_info[i],
                                      &p.feature_sqrt_info[i], &p.feature_sqrt_output_info[i]};
      u64 prev_end = p.npu_local_mem_sp[i].start;
      for (const cv_match_buf_t *b : bufs) {
        EXPECT_EQ(b->addr % 128, 0u);
        EXPECT_GE(b->addr, prev_end);
        EXPECT_LT(b->addr - prev_end, 128u);
        prev_end = b->addr + b->data_len_per_npu;
        fits = fits && prev_end < p.npu_local_mem_sp[i].max_npu_local_mem_addr;
      }
      EXPECT_EQ(p.npu_local_mem_sp[i].max_npu_local_mem_addr, (i + 1) * 0x40000u);
    }
    EXPECT_EQ(fits, c.fits);
    if (c.fits) {
      EXPECT_TRUE(local_areas_valid(p.areas, 2 * CV_MATCH_SET_BUFFERS));
    }
  }
  // Matrices: rows x 32 floats per group of 32 columns, 64 groups a lane row.
  EXPECT_EQ(cv_match_matrix_bytes(3, 1), 3u * 128);
  EXPECT_EQ(cv_match_matrix_bytes(3, 2048), 3u * 128);
  EXPECT_EQ(cv_match_matrix_bytes(3, 2049), 3u * 256);
  EXPECT_EQ(cv_feature_match_l2_bytes(3, 300), 16u * 3 * 320);
}

TEST(CvFeatureMatch, RefusesWhatItCannotHold) {
  const char *over_sqrt =
      "(unsigned long)(feature_sqrt_info[i].addr + feature_sqrt_info[i].data_len_per_npu) "
      "<(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr)";
  const char *over_r =
      "(unsigned long)(correlation_info[i].R.addr + correlation_info[i].R.data_len_per_npu) "
      "<(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr)";
  expect_assert([](cmd_id_node_t *n) { nodechip_feature_match(kQuery, kDb, kFactor, CV_MATCH_SIM_ADDR, 300, 256, 128, 128, n); },
                "ASSERT", "firmware/cv/", "nodechip_feature_match", over_sqrt, "data too large\r\n");
  expect_assert([](cmd_id_node_t *n) { nodechip_feature_match(kQuery, kDb, kFactor, CV_MATCH_SIM_ADDR, 5, 2100, 2, 2, n); },
                "ASSERT", "firmware/cv/", "nodechip_feature_match", over_r, "data too large\r\n");
  // 130 entries in one call would lose the last two.
  expect_assert([](cmd_id_node_t *n) { nodechip_feature_match(kQuery, kDb, kFactor, CV_MATCH_SIM_ADDR, 2, 8, 130, 130, n); },
                "ASSERT", "firmware/cv/", "nodechip_feature_match",
                "entry_count < CV_MATCH_BLOCK || entry_count % CV_MATCH_BLOCK == 0", "entries=130");
  // The similarities past the layer scratch of L2 SRAM.
  expect_assert(
      [](cmd_id_node_t *n) { nodechip_feature_match(kQuery, kDb, kFactor, CV_MATCH_SIM_ADDR, 16, 8, 128, 45000, n); },
      "ASSERT", "firmware/cv/", "nodechip_feature_match",
      "output >= L2_SRAM_START_ADDR && last <= CV_MATCH_L2_END", "output 0x100a2000, 16 rows of 45000");
  // The four areas of the row sorts past it: 16 x 8 x 19424 bytes from 0x100a2000.
  expect_assert([](cmd_id_node_t *n) { nodechip_find_max_index(CV_MATCH_SIM_ADDR, kSimOut, kIdxOut, 19400, 19424, 8, n); },
                "ASSERT", "firmware/cv/", "nodechip_find_max_index",
                "matrix >= L2_SRAM_START_ADDR && matrix + 4 * M <= CV_MATCH_L2_END",
                "matrix 0x100a2000, 8 rows of 19424");
}

// ---- 8-bit ----

struct Match8Case {
  const char *what;
  int B, F, D, n;
  unsigned shift;
  int lo, hi;     // feature values
  u32 passes;     // the plan's pass count
};

void run_match8(const Match8Case &c, const std::vector<int8_t> &q, const std::vector<int8_t> &db,
                const std::vector<Sched> &scheds) {
  std::vector<int16_t> want_scores;
  std::vector<int32_t> want_idx;
  ref::cv_feature_match_fix8b(q, db, c.B, c.F, c.D, c.n, c.shift, want_scores, want_idx);
  cv_match8_plan_t plan;
  cv_feature_match_fix8b_plan_of(c.B, c.D, c.n, &plan);
  EXPECT_EQ(plan.passes, c.passes) << c.what;
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    chip::Memory &ddr = rig.chip().device_memory();
    ddr.store(kQuery, q.data(), q.size());
    ddr.store(kDb, db.data(), db.size());
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_cv_feature_match_fix8b(kQuery, kDb, kScores, kIdxOut, kWork, c.B, c.F, c.D, c.n, c.shift, node);
    }));
    std::vector<int16_t> scores(size_t(c.B) * c.n);
    std::vector<int32_t> idx(size_t(c.B) * c.n);
    ddr.load(kScores, scores.data(), 2 * scores.size());
    ddr.load(kIdxOut, idx.data(), 4 * idx.size());
    EXPECT_EQ(scores, want_scores);
    EXPECT_EQ(idx, want_idx);
  }
}

TEST(CvFeatureMatch8, TopScoresEqualTheReference) {
  const Match8Case cases[] = {
      {"three passes of 494 over 64 queries", 64, 32, 1300, 2, 5, -128, 127, 3},
      {"top 130 above passes of 64", 5, 16, 300, 130, 4, -128, 127, 5},
      {"1100 features in two input slices, 300 queries in two batch slices", 300, 1100, 150, 2, 2, -5, 5, 14},
      {"9000 entries in one pass: two output slices", 2, 16, 9000, 4, 1, -128, 127, 1},
      {"one entry", 1, 3, 1, 1, 0, -128, 127, 1},
  };
  for (const Match8Case &c : cases) {
    uint32_t seed = 11u + uint32_t(c.D);
    std::vector<int8_t> q(size_t(c.B) * c.F), db(size_t(c.F) * c.D);
    for (int8_t &v : q) v = int8_t(c.lo + int(lcg(seed) % unsigned(c.hi - c.lo + 1)));
    for (int8_t &v : db) v = int8_t(c.lo + int(lcg(seed) % unsigned(c.hi - c.lo + 1)));
    run_match8(c, q, db, all_schedules());
  }
}

// Saturated products at both ends of int16 tie: the keys keep their order and
// equal scores come in entry order.
TEST(CvFeatureMatch8, SaturatedScoresTieInEntryOrder) {
  const Match8Case c = {"saturated", 2, 8, 40, 6, 0, 0, 0, 1};
  std::vector<int8_t> q(2 * 8), db(8 * 40);
  for (int k = 0; k < 8; k++) q[k] = 127, q[8 + k] = -128;
  for (int j = 0; j < 40; j++)
    for (int k = 0; k < 8; k++) db[size_t(k) * 40 + j] = int8_t(j % 3 == 0 ? 127 : j % 3 == 1 ? -128 : (j - 20));
  run_match8(c, q, db, all_schedules());
}

// The FC's forms that the matching does not use: transposed weights, a bias
// (also past the first 8192 outputs), 8-bit results.
TEST(CvFc8, ProductsEqualTheReference) {
  struct Case {
    const char *what;
    int M, K, N, stride;
    bool transposed, bias, wide;
    unsigned shift;
  };
  const Case cases[] = {
      {"transposed weights with a bias", 3, 40, 200, 50, true, true, true, 3},
      {"8-bit results, weight rows 150 apart", 5, 20, 130, 150, false, false, false, 6},
      {"a bias over two output slices", 2, 16, 9000, 9000, false, true, true, 0},
  };
  for (const Case &c : cases) {
    uint32_t seed = 3u + uint32_t(c.N);
    std::vector<int8_t> in(size_t(c.M) * c.K), w(size_t(c.transposed ? c.N : c.K) * c.stride);
    std::vector<int16_t> bias(c.bias ? c.N : 0);
    for (int8_t &v : in) v = int8_t(lcg(seed));
    for (int8_t &v : w) v = int8_t(lcg(seed));
    for (int16_t &v : bias) v = int16_t(int(lcg(seed) % 4001) - 2000);
    const std::vector<int16_t> want =
        ref::cv_fc8(in, w, bias, c.M, c.K, c.N, c.stride, c.transposed, c.shift, c.wide);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      chip::Memory &ddr = rig.chip().device_memory();
      ddr.store(kQuery, in.data(), in.size());
      ddr.store(kDb, w.data(), w.size());
      ddr.store(kFactor, bias.data(), 2 * bias.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_fc_fix8b_forward_parallel(kQuery, kDb, kFactor, kScores, c.M, c.stride, c.K, c.N, c.transposed,
                                              c.bias, 1, 1, 1, c.shift, c.wide, 0, node);
      }));
      std::vector<int16_t> got(want.size());
      if (c.wide) {
        ddr.load(kScores, got.data(), 2 * got.size());
      } else {
        std::vector<int8_t> bytes(want.size());
        ddr.load(kScores, bytes.data(), bytes.size());
        for (size_t i = 0; i < bytes.size(); i++) got[i] = bytes[i];
      }
      EXPECT_EQ(got, want);
    }
  }
}

TEST(CvFeatureMatch8, PlansTheL2AndTheFcSlices) {
  struct Case {
    u32 B, D, n;
    u32 q1, pass, passes;
  };
  const Case cases[] = {
      {64, 1300, 2, 126566, 494, 3},
      {5, 300, 130, 1286, 64, 5},
      {1, 9000, 4, 156326, 9000, 1},
      {1, 10000000, 1, 157046, 39261, 255},
  };
  for (const Case &c : cases) {
    cv_match8_plan_t p;
    cv_feature_match_fix8b_plan_of(c.B, c.D, c.n, &p);
    EXPECT_EQ(p.q1, c.q1);
    EXPECT_EQ(p.pass, c.pass);
    EXPECT_EQ(p.passes, c.passes);
    EXPECT_EQ(p.slots, 300 * c.n);
    EXPECT_EQ(p.cand_keys, 0x10000000u + 20 * c.q1);
    EXPECT_LE(p.end, 0x10300000u);
  }
  struct Split {
    u32 batch, in, out;
    int o_s, i_s, b_s, r;
  };
  const Split splits[] = {
      {64, 32, 494, 494, 32, 64, 2},
      {300, 1100, 150, 150, 1024, 256, 2},   // input cut, then 2-byte results cut the batch
      {2, 16, 9000, 8192, 16, 2, 2},          // output slices of 8192
      {600, 16, 8192, 8192, 16, 256, 2},
      {9, 40000, 100, 100, 1024, 9, 2},
  };
  for (const Split &s : splits) {
    cv_fc8_plan_t p;
    nodechip_cv_fc_fix8b_data_split(&p, s.batch, s.in, s.out, 0, 1);
    EXPECT_EQ(p.output_neuron_slice, s.o_s);
    EXPECT_EQ(p.input_neuron_slice, s.i_s);
    EXPECT_EQ(p.batch_slice, s.b_s);
    EXPECT_EQ(p.output_size, s.r);
    EXPECT_TRUE(local_areas_valid(p.areas, CV_FC8_AREA_COUNT));
  }
  // An 8-bit result of one input slice takes one byte a value.
  cv_fc8_plan_t one;
  nodechip_cv_fc_fix8b_data_split(&one, 600, 16, 100, 0, 0);
  EXPECT_EQ(one.output_size, 1);
  EXPECT_EQ(one.batch_slice, 512);
}

TEST(CvFeatureMatch8, RefusesWhatItCannotHold) {
  struct Case {
    const char *what;
    u32 B, D, n;
    const char *condition, *info;
  };
  const Case cases[] = {
      {"top n above the entries: stale slots", 2, 5, 6, "top_n <= entry_count", "top n=6, entries=5"},
      {"no top n", 2, 5, 0, "batch > 0 && entry_count > 0 && top_n > 0", "batch=2, entries=5, top n=0"},
      {"candidates fill the L2 plan", 8, 100, 82, "candidates < CV_MATCH8_L2_BYTES",
       "8 queries of 24600 candidates need 3148800 bytes of L2 SRAM"},
      {"no room for a pass", 655, 300, 1, "c > 0", "no room for a pass of 655 queries"},
      {"301 passes", 1, 300u * 39261u + 1, 1, "passes <= CV_MATCH8_MAX_PASSES",
       "11778301 entries take 301 passes of 39261"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    expect_assert(
        [&](cmd_id_node_t *node) {
          nodechip_cv_feature_match_fix8b(kQuery, kDb, kScores, kIdxOut, kWork, c.B, 8, c.D, c.n, 0, node);
        },
        "ASSERT", "firmware/cv/", "cv_feature_match_fix8b_plan_of", c.condition, c.info);
  }
  // The ARM reaches the work buffer through its 2 GB window onto device memory.
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_cv_feature_match_fix8b(kQuery, kDb, kScores, kIdxOut, 0x180000000ull, 2, 8, 5, 2, 0, node);
      },
      "ASSERT", "firmware/cv/", "nodechip_cv_feature_match_fix8b",
      "work >= GLOBAL_MEM_START_ADDR && work - GLOBAL_MEM_START_ADDR + work_bytes <= 0x100000000ull - DDR_ARM_BASE",
      "work buffer 0x180000000");
  expect_assert([] {
    cv_fc8_plan_t p;
    nodechip_cv_fc_fix8b_data_split(&p, 4, 0, 10, 0, 1);
  }, "ASSERT_FS", "firmware/cv/", "nodechip_cv_fc_fix8b_data_split",
                "output_neuron_slice > 0 && input_neuron_slice > 0 && batch_slice > 0");
}

}  // namespace
}  // namespace zv::test
