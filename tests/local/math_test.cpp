// The float math library on the chip model: every function against the C
// library over its grid (worst error bounded), the inputs its clamps decide,
// the activations bit for bit, the unary table and its dispatch under every
// schedule, and the checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "local/local_rig.h"
#include "local/math_rig.h"
#include "local/math.h"
#include "ref/math_ref.h"

namespace zv::test::local {
namespace {

namespace mr = zv::ref::math;

TEST(MathLibrary, EachFunctionStaysWithinItsBoundOfTheCLibrary) {
  for (const mr::MathFn &fn : mr::math_functions()) {
    SCOPED_TRACE(fn.name);
    const std::vector<float> in = fn.grid();
    // Deferred with the race checker: the accuracy run also shows the order.
    const UnaryRun r = run_unary(fn.unary_type, in, &fn.ipower, {chip::Schedule::Deferred, 7});
    ASSERT_TRUE(r.ran);
    double worst = 0;
    float at = 0;
    for (size_t i = 0; i < in.size(); i++) {
      const double e = mr::point_error(r.out[i], fn.ref(double(in[i])));
      if (e > worst) worst = e, at = in[i];
    }
    EXPECT_LE(worst, fn.bound) << "worst at x = " << at;
  }
}

TEST(MathLibrary, ClampsDecideNaNInfinitiesPolesAndOutOfRangeArguments) {
  for (const mr::Special &s : mr::math_specials()) {
    SCOPED_TRACE(s.what);
    const UnaryRun r = run_unary(s.unary_type, {s.input}, nullptr);
    ASSERT_TRUE(r.ran);
    const float got = r.out[0];
    if (std::isnan(s.expect)) {
      EXPECT_TRUE(std::isnan(got)) << got;
    } else if (std::isinf(s.expect)) {
      EXPECT_EQ(double(got), s.expect);
    } else {
      EXPECT_NEAR(got, s.expect, std::fabs(s.expect) * s.tolerance + 1e-44);
    }
  }
}

TEST(MathLibrary, ExpLeavesTheClampedArgumentInItsInput) {
  const UnaryRun r = run_unary(UNARY_EXP, {100.0f, -200.0f, 1.5f}, nullptr);
  ASSERT_TRUE(r.ran);
  EXPECT_EQ(r.in_after[0], 88.0f);
  EXPECT_EQ(r.in_after[1], -103.0f);
  EXPECT_EQ(r.in_after[2], 1.5f);
}

u32 fb(float v) { return er::bits(v); }

struct Exact {
  const char *what;
  int type;
  std::vector<float> param;  // the parameter block (floats), empty for none
  int32_t ipower;
  std::vector<float> in, out;
};

TEST(MathLibrary, ActivationsAndPowersGiveExactValues) {
  const float nan = NAN, inf = INFINITY;
  const Exact cases[] = {
      {"abs clears the sign bit", UNARY_ABS, {}, 0, {-2.5f, -0.0f, 3.0f, -inf}, {2.5f, 0.0f, 3.0f, inf}},
      {"relu", UNARY_RELU, {}, 0, {-2.5f, 0.0f, 3.0f}, {0.0f, 0.0f, 3.0f}},
      {"relu_n limit 6", UNARY_RELU_N, {6.0f}, 0, {-1.0f, 5.0f, 7.0f}, {0.0f, 5.0f, 6.0f}},
      {"relu_n with a negative limit gives the limit everywhere", UNARY_RELU_N, {-1.0f}, 0, {-3.0f, 0.0f, 2.0f},
       {-1.0f, -1.0f, -1.0f}},
      {"prelu 0.25 (-0.0 counts as negative)", UNARY_PRELU, {0.25f}, 0, {-4.0f, 2.0f, -0.0f, 0.0f},
       {-1.0f, 2.0f, -0.0f, 0.0f}},
      {"prelu 1.0 copies", UNARY_PRELU, {1.0f}, 0, {-4.0f, 2.0f}, {-4.0f, 2.0f}},
      {"prelu 0.0 is relu", UNARY_PRELU, {0.0f}, 0, {-4.0f, 2.0f}, {0.0f, 2.0f}},
      {"prelu_n 0.5 limit 3", UNARY_PRELU_N, {0.5f, 3.0f}, 0, {-4.0f, 2.0f, 5.0f}, {-2.0f, 2.0f, 3.0f}},
      {"prelu_n 0.5 without a limit", UNARY_PRELU_N, {0.5f, 0.0f}, 0, {-4.0f, 5.0f}, {-2.0f, 5.0f}},
      {"prelu_n slope 1.0 copies without the limit", UNARY_PRELU_N, {1.0f, 3.0f}, 0, {-4.0f, 5.0f}, {-4.0f, 5.0f}},
      {"prelu_n slope 0.0 with a limit is relu_n", UNARY_PRELU_N, {0.0f, 3.0f}, 0, {-4.0f, 5.0f}, {0.0f, 3.0f}},
      {"elu", UNARY_ELU, {}, 0, {2.0f, 0.0f, -88.0f}, {2.0f, 0.0f, -1.0f}},
      {"sign (both zeros give 0.0)", UNARY_SIGN, {}, 0, {-3.0f, 2.0f, -0.0f, 0.0f}, {-1.0f, 1.0f, 0.0f, 0.0f}},
      {"x^0 is 1.0 without reading x", UNARY_IPOWER, {}, 0, {0.0f, nan, inf, -2.0f}, {1.0f, 1.0f, 1.0f, 1.0f}},
      {"x^1", UNARY_IPOWER, {}, 1, {-3.0f, 0.5f}, {-3.0f, 0.5f}},
      {"x^-1", UNARY_IPOWER, {}, -1, {-4.0f, 0.5f, 0.0f}, {-0.25f, 2.0f, inf}},
      {"x^4", UNARY_IPOWER, {}, 4, {-3.0f, 0.5f}, {81.0f, 0.0625f}},
  };
  for (const Exact &k : cases) {
    SCOPED_TRACE(k.what);
    const void *param = k.type == UNARY_IPOWER ? static_cast<const void *>(&k.ipower) : k.param.data();
    const UnaryRun r = run_unary(k.type, k.in, param);
    ASSERT_TRUE(r.ran);
    for (size_t i = 0; i < k.in.size(); i++) EXPECT_EQ(fb(r.out[i]), fb(k.out[i])) << "x = " << k.in[i];
  }
}

TEST(UnaryTable, ListsEveryTypeInOrderWithItsBuffersAndParameter) {
  // num_buffer and has_param of types 0 to 35.
  const int buffers[UNARY_TYPE_NUM] = {0, 1, 0, 0, 1, 1, 2, 3, 1, 3, 1, 1, 2, 1, 1, 1, 1, 1,
                                       1, 0, 0, 2, 2, 0, 1, 1, 3, 1, 0, 3, 1, 0, 2, 2, 1, 0};
  for (int t = 0; t < UNARY_TYPE_NUM; t++) {
    SCOPED_TRACE(t);
    const unary_context_t *c = find_unary_context(t);
    ASSERT_EQ(c, &unary_list[t]);
    EXPECT_EQ(c->unary_type, u32(t));
    EXPECT_EQ(c->num_buffer, buffers[t]);
    EXPECT_EQ(c->has_param, (t == 13 || t == 17 || t == 18 || t == 20) ? 1u : 0u);
    EXPECT_EQ(c->data_fmt, 0u);
    EXPECT_EQ(c->eu_align, 1u);
  }
  EXPECT_EQ(find_unary_context(36), nullptr);
  EXPECT_EQ(find_unary_context(-1), nullptr);
}

TEST(UnaryTable, EveryEntryGivesTheSameResultUnderEverySchedule) {
  const std::vector<float> in = {-3.5f, -1.0f, -0.25f, 0.0f, 0.3f, 0.9f, 1.0f, 2.5f, 7.0f, -0.0f};
  const float params[2] = {0.5f, 2.0f};
  for (int t = 0; t < UNARY_TYPE_NUM; t++) {
    SCOPED_TRACE(t);
    const int32_t power = 3;
    const void *param = t == UNARY_IPOWER ? static_cast<const void *>(&power) : params;
    std::vector<u32> first;
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(sched_text(s));
      const UnaryRun r = run_unary(t, in, param, s);
      ASSERT_TRUE(r.ran);
      std::vector<u32> got;
      for (float v : r.out) got.push_back(fb(v));
      if (first.empty())
        first = got;
      else
        EXPECT_EQ(got, first);
    }
  }
}

TEST(MathLibrary, ExpAndLogIssueTheirShortFixedSequences) {
  EXPECT_EQ(run_unary(UNARY_EXP, {1.0f}, nullptr).commands, 9u);
  EXPECT_EQ(run_unary(UNARY_LOG, {1.0f}, nullptr).commands, 10u);
}

TEST(MathLibrary, ChecksBuffersAddressesAndParameters) {
  const dim4_t sh{1, 1, 1, 8};
  const u32 bufs[3] = {0x3000, 0x4000, 0x5000};
  expect_local_assert([&](cmd_id_node_t *n) { tensor_f32_sin(0x1000, 0x2000, bufs, 2, &sh, nullptr, n); },
                      "tensor_f32_sin", "num_buffer>=3", "tensor_f32_sin requires 3 buffers", "ASSERT");
  expect_local_assert([&](cmd_id_node_t *n) { tensor_f32_exp(0x1000, 0x2000, bufs, 0, &sh, nullptr, n); },
                      "tensor_f32_exp", "num_buffer>=1", "tensor_f32_exp requires 1 buffers", "ASSERT");
  expect_local_assert([&](cmd_id_node_t *n) { tensor_f32_tan(0x1000, 0x1000, bufs, 3, &sh, nullptr, n); },
                      "tensor_f32_tan", "A_addr != B_addr");
  expect_local_assert([&](cmd_id_node_t *n) { tensor_f32_tanh(0x1000, 0x1000, bufs, 1, &sh, nullptr, n); },
                      "tensor_f32_tanh", "bottom_lo != top_lo");
  expect_local_assert([&](cmd_id_node_t *n) { tensor_f32_ipower(0x1000, 0x1000, 0, bufs, 1, &sh, nullptr, n); },
                      "tensor_f32_ipower", "A_addr != B_addr");
  expect_local_assert(
      [&](cmd_id_node_t *n) { nodechip_unary_local(0x1000, 0x2000, bufs, &unary_list[UNARY_RELU_N], nullptr, &sh, nullptr, n); },
      "tensor_f32_relu_n_wrap", "params != ((void *)0)");
  // The copy and ReLU roads of PReLU need no buffer.
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { tensor_f32_prelu(0x1000, 0x2000, 1.0f, nullptr, 0, &sh, nullptr, n); }).size(), 1u);
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { tensor_f32_prelu(0x1000, 0x2000, 0.0f, nullptr, 0, &sh, nullptr, n); }).size(), 1u);
}

}  // namespace
}  // namespace zv::test::local
