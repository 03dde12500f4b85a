// The unary frame and the float activations: the bank plan and the activation
// table, every function of the math library through the frame against its
// double reference and bound, lengths that cut pieces in each way, the
// activation entries, under every schedule with the happens-before checker;
// and the frame's checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/unary.h"
#include "ref/math_ref.h"

namespace zv::test {
namespace {

namespace mr = zv::ref::math;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;

std::vector<float> ramp(size_t n, unsigned seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int((i * 2654435761u + seed) >> 8) % 2001 - 1000) / 64.0f;
  return v;
}

TEST(UnaryPlan, BanksAndActivationTable) {
  struct Case {
    int num_buffer, banks;
    u32 input1, output, scratch0;
    split_info_t hint;
  };
  const Case cases[] = {
      {0, 2, 0x20000, 0x40000, 0x60000, {1, 64, 1024, 32}},
      {1, 2, 0x20000, 0x40000, 0x60000, {1, 64, 1024, 32}},
      {2, 1, 0x10000, 0x20000, 0x30000, {1, 64, 512, 32}},
      {5, 1, 0x10000, 0x20000, 0x30000, {1, 64, 512, 32}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.num_buffer);
    unary_plan_t p;
    unary_plan_of(&p, c.num_buffer);
    EXPECT_EQ(p.banks, c.banks);
    EXPECT_EQ((std::vector<u32>{p.input[0], p.input[1], p.output, p.scratch[0]}),
              (std::vector<u32>{0, c.input1, c.output, c.scratch0}));
    EXPECT_EQ((std::vector<int>{p.hint.n, p.hint.c, p.hint.h, p.hint.w}),
              (std::vector<int>{c.hint.n, c.hint.c, c.hint.h, c.hint.w}));
    EXPECT_EQ(p.area_count, 3 + c.num_buffer);
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
  }
  const int types[15] = {30, 24, 17, 10, 21, 28, 14, 23, 0, 15, 22, 6, 12, 26, 7};
  for (int a = 0; a < 15; a++) EXPECT_EQ(active_unary_type(a), types[a]) << a;
  for (int a : {-1, 15, 100}) EXPECT_EQ(active_unary_type(a), -1) << a;
}

class UnaryLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(UnaryLayer, EveryMathFunctionWithinItsBound) {
  for (const mr::MathFn &fn : mr::math_functions()) {
    SCOPED_TRACE(fn.name);
    LayerRunner rig(GetParam());
    const std::vector<float> in = fn.grid();
    put<float>(rig, kIn, in);
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_unary(kIn, kOut, in.size(), fn.unary_type, &fn.ipower, node); }));
    const std::vector<float> out = get<float>(rig, kOut, in.size());
    double worst = 0;
    float at = 0;
    for (size_t i = 0; i < in.size(); i++) {
      const double e = mr::point_error(out[i], fn.ref(double(in[i])));
      if (e > worst) worst = e, at = in[i];
    }
    EXPECT_LE(worst, fn.bound) << "worst at x = " << at;
  }
}

TEST_P(UnaryLayer, LengthsAndActivations) {
  LayerRunner rig(GetParam());
  for (size_t length : {size_t(1), size_t(31), size_t(32), size_t(33), size_t(64 * 64 + 1), size_t(70001)}) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::vector<float> in = ramp(length, unsigned(length));
    put<float>(rig, kIn, in);
    struct Act {
      const char *what;
      std::function<void(cmd_id_node_t *)> run;
      std::function<float(float)> ref;
    };
    const int n = 1, c = 1, h = 1, w = int(length);
    const Act acts[] = {
        {"relu", [&](cmd_id_node_t *nd) { nodechip_relu_forward_32bit_parallel(kIn, kOut, 0.0f, 0.0f, n, c, h, w, nd); },
         [](float x) { return x > 0 ? x : 0.0f; }},
        {"relu6 with slope", [&](cmd_id_node_t *nd) { nodechip_relu_forward_32bit_parallel(kIn, kOut, 0.125f, 6.0f, n, c, h, w, nd); },
         [](float x) { return std::fmin(x > 0 ? x : 0.125f * x, 6.0f); }},
        {"slope 1 copies unclamped", [&](cmd_id_node_t *nd) { nodechip_relu_forward_32bit_parallel(kIn, kOut, 1.0f, 6.0f, n, c, h, w, nd); },
         [](float x) { return x; }},
        {"absolute value", [&](cmd_id_node_t *nd) { nodechip_absval_forward(kIn, kOut, n, c, h, w, nd); },
         [](float x) { return std::fabs(x); }},
        {"activation 8: abs", [&](cmd_id_node_t *nd) { nodechip_active_forward_parallel(kIn, kOut, length, 8, nullptr, nd); },
         [](float x) { return std::fabs(x); }},
    };
    for (const Act &a : acts) {
      SCOPED_TRACE(a.what);
      ASSERT_TRUE(rig.call(a.run));
      const std::vector<float> out = get<float>(rig, kOut, length);
      for (size_t i = 0; i < length; i++) ASSERT_EQ(out[i], a.ref(in[i])) << i;
    }
  }
  // Sigmoid and tanh over n x inner.
  const std::vector<float> in = ramp(3 * 1000, 9);
  put<float>(rig, kIn, in);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *nd) { nodechip_sigmoid_forward_parallel(kIn, kOut, 3, 1000, nd); }));
  std::vector<float> out = get<float>(rig, kOut, in.size());
  for (size_t i = 0; i < in.size(); i++) ASSERT_NEAR(out[i], 1.0 / (1.0 + std::exp(-double(in[i]))), 1e-6) << i;
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *nd) { nodechip_tanh_forward_parallel(kIn, kOut, 3, 1000, nd); }));
  out = get<float>(rig, kOut, in.size());
  for (size_t i = 0; i < in.size(); i++) ASSERT_NEAR(out[i], std::tanh(double(in[i])), 1e-6) << i;
}

INSTANTIATE_TEST_SUITE_P(All, UnaryLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(UnaryLayer, OneFullPieceAndATail) {
  // 64 x 1024 x 32 + 1 floats with two banks a buffer: one full piece and one
  // of a single element.
  const size_t length = size_t(64) * 1024 * 32 + 1;
  LayerRunner rig(deferred(2));
  const std::vector<float> in = ramp(length, 4);
  put<float>(rig, kIn, in);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *nd) { nodechip_unary(kIn, kOut, length, UNARY_RELU, nullptr, nd); }));
  const std::vector<float> out = get<float>(rig, kOut, length);
  for (size_t i = 0; i < length; i++) ASSERT_EQ(out[i], in[i] > 0 ? in[i] : 0.0f) << i;
}

TEST(UnaryLayer, EmptyAndUnsupported) {
  FirmwareRig rig;
  cmd_id_node_t after{};
  ASSERT_TRUE(ran_clean(rig.run_layer([](cmd_id_node_t *nd) { nodechip_unary(kIn, kOut, 0, UNARY_EXP, nullptr, nd); }, &after)));
  EXPECT_EQ(rig.commands_issued(), 0u);
  EXPECT_EQ(after.divided, 1);
  const FwOutcome o = rig.run_layer([](cmd_id_node_t *nd) { nodechip_active_forward_parallel(kIn, kOut, 100, 15, nullptr, nd); });
  ASSERT_TRUE(ran_clean(o));
  EXPECT_NE(o.uart.find("Not supported active_type=15"), std::string::npos) << o.uart;
  EXPECT_EQ(rig.commands_issued(), 0u);
}

TEST(UnaryLayer, Checks) {
  expect_assert([](cmd_id_node_t *nd) { nodechip_unary(kIn, kOut, 100, 36, nullptr, nd); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_unary", "ctx != NULL", "unary_type=36 is not supported!\n");
  expect_assert([](cmd_id_node_t *nd) { nodechip_absval_forward(kIn, kOut, 1, -2, 1, 1, nd); }, "ASSERT_FS",
                "firmware/layers/", "count_of", "n >= 0 && c >= 0 && h >= 0 && w >= 0");
}

}  // namespace
}  // namespace zv::test
