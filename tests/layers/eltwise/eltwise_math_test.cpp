// Power, ELU, bias, threshold, log, exp and BNLL: buffer sizes and pieces by
// table, the computing layers against double references under every schedule
// with the happens-before checker, and the three layers that stop on their
// assertions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cmd/tensor_slice.h"
#include "fw_test.h"
#include "layers/eltwise/eltwise_math.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kBias = 0x104000000ull;
constexpr u64 kOut = 0x108000000ull;

std::vector<float> ramp(size_t n, float lo, float hi) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = lo + (hi - lo) * float((i * 7919u) % 1009) / 1008.0f;
  return v;
}

TEST(EltwiseMathPlan, BuffersAndPieces) {
  EXPECT_EQ(eltwise_math_buffer_bytes(1), 128u);
  EXPECT_EQ(eltwise_math_buffer_bytes(64 * 32), 128u);
  EXPECT_EQ(eltwise_math_buffer_bytes(64 * 32 + 1), 256u);
  EXPECT_EQ(eltwise_math_buffer_bytes(65534), 4096u);
  EXPECT_EQ(get_slice_num_elemwise_fixw(BIAS_BUFFERS, 100000), 2);
  EXPECT_EQ(get_slice_num_elemwise_fixw(POWER_BUFFERS, 1000), 1);
}

class EltwiseMathLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(EltwiseMathLayer, Power) {
  LayerRunner rig(GetParam());
  const size_t total = 4097;
  const std::vector<float> in = ramp(total, 0.0f, 4.0f);
  put<float>(rig, kIn, in);
  struct Case {
    const char *what;
    float power, scale, shift;
    double tol;
  };
  const Case cases[] = {
      {"constant 1.0", 0.0f, 0.0f, 3.0f, 0},    {"constant shift^power", 2.0f, 0.0f, 3.0f, 0},
      {"square", 2.0f, 1.0f, 0.0f, 0},          {"cube, scaled and shifted", 3.0f, 0.5f, -1.0f, 1e-6},
      {"2.5 by ln and exp", 2.5f, 1.0f, 0.25f, 2e-6}, {"identity", 1.0f, 2.0f, 1.0f, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_power_forward(kIn, kOut, c.power, c.scale, c.shift, 1, int(total), 7, 9, node);
    }));
    const std::vector<float> out = get<float>(rig, kOut, total);
    for (size_t i = 0; i < total; i++) {
      const double want = c.power * c.scale == 0 ? (c.power == 0 ? 1.0 : std::pow(double(c.shift), c.power))
                                                 : std::pow(double(c.shift) + double(c.scale) * in[i], c.power);
      ASSERT_NEAR(out[i], want, std::fmax(c.tol, 1.2e-7) * std::fmax(1.0, std::fabs(want))) << i << ": " << in[i];
    }
  }
  // A negative base with a fractional power gives NaN; only n x c elements
  // are computed.
  put<float>(rig, kIn, {-4.0f, 4.0f, -0.5f, 9.0f});
  put<float>(rig, kOut, {7.0f, 7.0f, 7.0f, 7.0f});
  ASSERT_TRUE(
      rig.call([&](cmd_id_node_t *node) { nodechip_power_forward(kIn, kOut, 0.5f, 1.0f, 0.0f, 1, 3, 5, 5, node); }));
  const std::vector<float> out = get<float>(rig, kOut, 4);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_NEAR(out[1], 2.0f, 1e-6);
  EXPECT_TRUE(std::isnan(out[2]));
  EXPECT_EQ(out[3], 7.0f);
}

TEST_P(EltwiseMathLayer, EluBiasThreshold) {
  LayerRunner rig(GetParam());
  for (int total : {1, 33, 64 * 64 + 1, 100000}) {
    SCOPED_TRACE("count " + std::to_string(total));
    const std::vector<float> in = ramp(size_t(total), -6.0f, 4.0f), bias = ramp(size_t(total), -1.0f, 1.0f);
    put<float>(rig, kIn, in);
    put<float>(rig, kBias, bias);
    for (float m : {1.0f, 2.0f}) {
      ASSERT_TRUE(
          rig.call([&](cmd_id_node_t *node) { nodechip_elu_forward(kIn, kOut, 0.5f, m, 1, total, 1, 1, node); }));
      const std::vector<float> out = get<float>(rig, kOut, size_t(total));
      for (int i = 0; i < total; i++) {
        const double x = in[size_t(i)], want = m * (x > 0 ? x : 0.5 * (std::exp(x) - 1));
        ASSERT_NEAR(out[size_t(i)], want, 1e-6 * std::fmax(1.0, std::fabs(want))) << i << ": " << x;
      }
    }
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_bias_forward(kIn, kBias, kOut, total, 1, 3, 3, node); }));
    std::vector<float> out = get<float>(rig, kOut, size_t(total));
    for (int i = 0; i < total; i++) ASSERT_EQ(out[size_t(i)], in[size_t(i)] + bias[size_t(i)]) << i;
    const float thr = in[0];
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_threshold_forward(kIn, kOut, thr, 1, total, 3, 3, node); }));
    out = get<float>(rig, kOut, size_t(total));
    for (int i = 0; i < total; i++) ASSERT_EQ(out[size_t(i)], in[size_t(i)] > thr ? 1.0f : 0.0f) << i;
  }
  put<float>(rig, kIn, {0.4f, 0.5f, 0.6f});
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_threshold_forward(kIn, kOut, 0.5f, 3, 1, 1, 1, node); }));
  EXPECT_EQ(get<float>(rig, kOut, 3), (std::vector<float>{0.0f, 0.0f, 1.0f}));
}

INSTANTIATE_TEST_SUITE_P(All, EltwiseMathLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(EltwiseMathLayer, LogExpAndBnllStopOnTheirAssertions) {
  expect_assert([](cmd_id_node_t *n) { nodechip_log_forward(kIn, kOut, 1.0f, 0.0f, 1.0f, 1, 8, 1, 1, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_log_forward", "fabs(log_base) > (1e-6)");
  struct Case {
    const char *what;
    std::function<void(cmd_id_node_t *)> run;
    const char *function, *condition;
  };
  const Case cases[] = {
      {"log base 10", [](cmd_id_node_t *n) { nodechip_log_forward(kIn, kOut, 2.0f, 1.0f, 10.0f, 1, 8, 1, 1, n); },
       "md_cmp_gen_cmd",
       "(A_is_constant || A_addr != Y_addr) && (B_is_constant || B_addr != Y_addr) && (C_is_constant || C_addr != "
       "Y_addr) && (D_is_constant || D_addr != Y_addr)"},
      {"exp", [](cmd_id_node_t *n) { nodechip_exp_forward(kIn, kOut, -1.0f, 2.0f, 0.0f, 1, 8, 1, 1, n); },
       "nodechip_exp_forward_internal", "0"},
      {"bnll", [](cmd_id_node_t *n) { nodechip_bnll_forward(kIn, kOut, 1, 8, 1, 1, n); },
       "nodechip_bnll_forward_internal", "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FirmwareRig rig;
    const FwOutcome o = rig.run_layer(c.run);
    EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/", c.function, c.condition));
  }
  LayerRunner rig;
  ASSERT_TRUE(rig.call([](cmd_id_node_t *n) {
    nodechip_exp_forward(kIn, kOut, -1.0f, 2.0f, 0.0f, 0, 8, 1, 1, n);
    nodechip_bnll_forward(kIn, kOut, 4, 0, 1, 1, n);
  }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test
