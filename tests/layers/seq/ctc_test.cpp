// CTC alpha and beta tables against a log-space reference under every
// schedule with the happens-before checker: one label, repeated labels, a
// label equal to the blank, T = 1; labels outside the classes and tables too
// large for local memory are refused before anything is issued.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fw_test.h"
#include "layers/seq/ctc.h"
#include "ref/seq_ref.h"

namespace zv::test {
namespace {

constexpr u64 kLabel = 0x101000000ull;
constexpr u64 kY = 0x102000000ull;
constexpr u64 kAlpha = 0x103000000ull;
constexpr u64 kBeta = 0x104000000ull;
constexpr u64 kScratch = 0x105000000ull;
constexpr float kFill = -1e30f;

class CtcLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(CtcLayer, TablesAgainstLogSpaceReference) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int C, T;
    std::vector<int> lp;
  } cases[] = {
      {"one label: no skip", 4, 5, {3, 1, 3}},
      {"repeated label: no skip between them", 4, 6, {3, 2, 3, 2, 3}},
      {"distinct labels", 5, 8, {4, 0, 4, 2, 4, 1, 4}},
      {"a blank among the labels", 4, 4, {3, 1, 3, 3, 3}},
      {"one step: tables unchanged", 4, 1, {3, 0, 3}},
      {"long sequence", 6, 40, {5, 0, 5, 1, 5, 1, 5, 2, 5, 4, 5}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const int S = int(c.lp.size()), T = c.T, C = c.C;
    std::vector<float> y(size_t(C) * T);
    for (int t = 0; t < T; t++) {
      double sum = 0;
      for (int k = 0; k < C; k++) sum += 1.0 + ((k * 7 + t * 3) % 5);
      for (int k = 0; k < C; k++) y[size_t(k) * T + t] = float((1.0 + ((k * 7 + t * 3) % 5)) / sum);
    }
    std::vector<float> alpha(size_t(S) * T, kFill), beta(size_t(S) * T, kFill), lp(c.lp.begin(), c.lp.end());
    alpha[0] = std::log(y[size_t(c.lp[0]) * T]);
    if (S > 1) alpha[T] = std::log(y[size_t(c.lp[1]) * T]);
    beta[size_t(S - 1) * T + T - 1] = 0.0f;
    if (S > 1) beta[size_t(S - 2) * T + T - 1] = 0.0f;
    put<float>(rig, kLabel, lp);
    put<float>(rig, kY, y);
    put<float>(rig, kAlpha, alpha);
    put<float>(rig, kBeta, beta);
    ASSERT_TRUE(rig.call(
        [&](cmd_id_node_t *node) { nodechip_ctcloss_parallel(kLabel, kY, kAlpha, kBeta, kScratch, C, S, T, node); }));
    std::vector<double> ra(alpha.begin(), alpha.end()), rb(beta.begin(), beta.end());
    ref::ctc_tables(std::vector<double>(y.begin(), y.end()), c.lp, C, T, ra, rb);
    const std::vector<float> ga = get<float>(rig, kAlpha, alpha.size()), gb = get<float>(rig, kBeta, beta.size());
    for (size_t i = 0; i < ga.size(); i++) {
      ASSERT_NEAR(ga[i], ra[i], 2e-5 * std::fabs(ra[i]) + 2e-5) << "alpha " << i / T << ", " << i % T;
      ASSERT_NEAR(gb[i], rb[i], 2e-5 * std::fabs(rb[i]) + 2e-5) << "beta " << i / T << ", " << i % T;
    }
    if (T == 1) {
      EXPECT_EQ(ga, alpha);
      EXPECT_EQ(gb, beta);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, CtcLayer, ::testing::ValuesIn(all_schedules()), sched_name);

// A label of C or more would index outside y: refused once the labels are
// read, before any table is written back.
TEST(CtcChecks, LabelsAndTableSize) {
  {
    FirmwareRig rig;
    put<float>(rig, kLabel, {3, 4, 3});
    put<float>(rig, kY, std::vector<float>(16, 0.25f));
    const FwOutcome out = rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_ctcloss_parallel(kLabel, kY, kAlpha, kBeta, kScratch, 4, 3, 4, node);
    });
    EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/layers/", "nodechip_ctcloss_parallel",
                           "l >= 0.0f && l < (float)C", "l'[1] is not a class below 4"));
  }
  // S x T beyond what ln y's 64 KB hold.
  expect_assert([](cmd_id_node_t *node) { nodechip_ctcloss_parallel(kLabel, kY, kAlpha, kBeta, kScratch, 4, 129, 128, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_ctcloss_parallel", "(i64)S * T <= CTC_MAX_ENTRIES",
                "S=129 T=128");
  // Work vectors beyond 128 KB.
  expect_assert([](cmd_id_node_t *node) { nodechip_ctcloss_parallel(kLabel, kY, kAlpha, kBeta, kScratch, 4, 4000, 2, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_ctcloss_parallel",
                "sum_log_temp_local_offset + get_neuron_csize_local(1, lprime_s) < (1<<19) * 1/4");
}

}  // namespace
}  // namespace zv::test
