// The unary frame on 8-bit data: the activation codes by table; the bytes
// bit-exact against a float reference with the GDMA's rounding and saturation
// over lengths that force every cut, under every schedule with the
// happens-before checker; sigmoid and tanh within one step; the refused and
// unsupported codes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/unary_fix8b.h"
#include "local/math.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;

// The GDMA's float to byte: half away from zero, saturated, NaN to 0.
uint8_t to_byte(float v, bool is_signed) {
  double r = std::isnan(v) ? 0.0 : std::round(double(v));
  const double lo = is_signed ? -128 : 0, hi = is_signed ? 127 : 255;
  r = r < lo ? lo : r > hi ? hi : r;
  return uint8_t(int(r));
}
float from_byte(uint8_t b, bool is_signed) { return is_signed ? float(int8_t(b)) : float(b); }

std::vector<uint8_t> bytes_of(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t((i * 131 + 17) % 256);
  return v;
}

TEST(UnaryFix8bPlan, ActivationCodes) {
  const int want[] = {UNARY_TANH, UNARY_SIGMOID, UNARY_PRELU, -1, UNARY_ELU, UNARY_SQRT, UNARY_SQUARE, UNARY_RSQRT, -1};
  for (int a = 0; a < 9; a++) EXPECT_EQ(active_fix8b_unary_type(a), want[a]) << a;
  EXPECT_EQ(active_fix8b_unary_type(-1), -1);
}

class UnaryFix8bLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(UnaryFix8bLayer, SquareIsExactWithScalesAndSaturation) {
  LayerRunner rig(GetParam());
  struct Case {
    int in_sign, out_sign;
    float in_scale, out_scale;
  };
  // Signed in, unsigned out saturating at 255; unsigned in read as 0..255,
  // signed out saturating at 127.
  const Case cases[] = {{1, 0, 0.05f, 0.0625f}, {0, 1, 0.03125f, 0.5f}};
  for (size_t total : {size_t(1), size_t(31), size_t(32), size_t(33), size_t(64 * 64 + 1), size_t(70001)}) {
    const std::vector<uint8_t> in = bytes_of(total);
    rig.chip().ddr.store(kIn, in.data(), total);
    for (const Case &k : cases) {
      SCOPED_TRACE("length " + std::to_string(total) + " input sign " + std::to_string(k.in_sign));
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_unary_fix8b(kIn, kOut, total, UNARY_SQUARE, k.in_scale, k.out_scale, k.in_sign, k.out_sign, NULL,
                             node);
      }));
      std::vector<uint8_t> out(total);
      rig.chip().ddr.load(kOut, out.data(), total);
      const float recip = 1.0f / k.out_scale;
      for (size_t i = 0; i < total; i++) {
        const float x = from_byte(in[i], k.in_sign == 1) * k.in_scale;
        ASSERT_EQ(out[i], to_byte(x * x * recip, k.out_sign == 1)) << i << ": byte " << int(in[i]);
      }
    }
  }
}

TEST_P(UnaryFix8bLayer, SigmoidTanhAndPrelu) {
  LayerRunner rig(GetParam());
  const size_t total = 256;
  std::vector<uint8_t> in(total);
  for (size_t i = 0; i < total; i++) in[i] = uint8_t(i);
  rig.chip().ddr.store(kIn, in.data(), total);
  const float slope = 0.25f;
  struct Case {
    const char *what;
    int active;  // -1: the sigmoid entry, -2: the tanh entry
    float out_scale;
    int out_sign;
    double (*f)(double);
    int tol;
  };
  const Case cases[] = {
      {"sigmoid entry", -1, 1.0f / 255, 0, [](double x) { return 1 / (1 + std::exp(-x)); }, 1},
      {"tanh entry", -2, 1.0f / 127, 1, [](double x) { return std::tanh(x); }, 1},
      {"tanh by code", 0, 1.0f / 127, 1, [](double x) { return std::tanh(x); }, 1},
      {"prelu by code", 2, 0.05f, 1, [](double x) { return x > 0 ? x : 0.25 * x; }, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (k.active == -1)
        nodechip_sigmoid_forward_parallel_fix8b(kIn, kOut, 2, 128, 0.05f, k.out_scale, 1, k.out_sign, node);
      else if (k.active == -2)
        nodechip_tanh_forward_parallel_fix8b(kIn, kOut, 16, 16, 0.05f, k.out_scale, 1, k.out_sign, node);
      else
        nodechip_active_forward_parallel_fix8b(kIn, kOut, total, k.active, 0.05f, k.out_scale, 1, k.out_sign,
                                               &slope, node);
    }));
    std::vector<uint8_t> out(total);
    rig.chip().ddr.load(kOut, out.data(), total);
    for (size_t i = 0; i < total; i++) {
      const float x = from_byte(in[i], true) * 0.05f;
      const int want = int(from_byte(to_byte(float(k.f(x) * (1.0 / k.out_scale)), k.out_sign == 1), k.out_sign == 1));
      ASSERT_NEAR(int(from_byte(out[i], k.out_sign == 1)), want, k.tol) << i;
    }
    // -128 x 0.05 through tanh: 127 x tanh(-6.4) lies just above -127.
    if (k.active == -2) {
      EXPECT_EQ(int8_t(out[128]), -127);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, UnaryFix8bLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(UnaryFix8bChecks, RefusedUnsupportedAndEmpty) {
  const char *where = "firmware/layers/";
  // PReLU without its block, and an unknown unary type, stop before anything
  // is issued.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_active_forward_parallel_fix8b(kIn, kOut, 64, 2, 1.0f, 1.0f, 1, 1, NULL, n);
  }, "ASSERT_FS", where, "nodechip_unary_fix8b", "params != ((void *)0)");
  expect_assert([](cmd_id_node_t *n) { nodechip_unary_fix8b(kIn, kOut, 64, 99, 1.0f, 1.0f, 1, 1, NULL, n); },
                "ASSERT_FS", where, "nodechip_unary_fix8b", "ctx!=NULL", "unary_type=99 is not supported!\n");
  LayerRunner rig;
  // Exp (3) is not among the 8-bit activations; a length of 0 issues nothing.
  FwOutcome o = rig.run_layer([](cmd_id_node_t *n) {
    nodechip_active_forward_parallel_fix8b(kIn, kOut, 64, 3, 1.0f, 1.0f, 1, 1, NULL, n);
  });
  ASSERT_TRUE(ran_clean(o));
  EXPECT_NE(o.uart.find("Not supported active_type=3"), std::string::npos) << o.uart;
  ASSERT_TRUE(
      rig.call([](cmd_id_node_t *n) { nodechip_unary_fix8b(kIn, kOut, 0, UNARY_TANH, 1.0f, 1.0f, 1, 1, NULL, n); }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test
