// L2 normalisation, float and 8-bit: against the plain reference over shared
// and per-channel scales, both norms, ReLU, shapes that cut the batch, the 4N
// groups and the rows, under every schedule with the happens-before checker;
// and the assertions (a float item that does not fit, an 8-bit whole-item
// norm whose rows would be cut).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/normalize.h"
#include "norm_rig.h"
#include "ref/fix8b_affine_ref.h"
#include "ref/norm_ref.h"

namespace zv::test {
namespace {

using namespace norm;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;
constexpr u64 kScale = 0x110000000ull;

struct Case {
  const char *what;
  int n, c, h, w, across, shared, relu;
};

class NormalizeLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(NormalizeLayer, Float) {
  const Case cases[] = {
      {"over channels, per-channel scale", 2, 130, 3, 5, 0, 0, 0},
      {"whole item, shared scale, relu", 3, 7, 4, 4, 1, 1, 1},
      {"one channel", 2, 1, 3, 3, 0, 1, 0},
      {"batch sections", 12, 64, 48, 48, 0, 0, 1},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t count = size_t(k.n) * k.c * k.h * k.w;
    const std::vector<float> x = spread(count, -3.0f, 3.0f, unsigned(k.c)), scale = spread(size_t(k.c), 0.5f, 4.0f, 7);
    put<float>(rig, kIn, x);
    put<float>(rig, kScale, scale);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_normalize_forward(kIn, kOut, k.shared ? 0 : kScale, u8(k.across), u8(k.shared), k.n, k.c, k.h, k.w,
                                 1e-6f, 2.5f, k.relu, node);
    }));
    const std::vector<double> s = k.shared ? std::vector<double>(size_t(k.c), 2.5) : doubles(scale);
    const ref::conv::T4 want = ref::norm::normalize(t4_of(x, k.n, k.c, k.h, k.w), k.across, 1e-6f, s, k.relu);
    const std::vector<float> got = get<float>(rig, kOut, count);
    for (size_t i = 0; i < count; i++) ASSERT_NEAR(got[i], want.v[i], 2e-6 * std::fmax(1.0, std::fabs(want.v[i]))) << i;
  }
}

TEST_P(NormalizeLayer, EightBit) {
  const Case cases[] = {
      {"n 6: the last group of two, per-channel", 6, 70, 3, 5, 0, 0, 0},
      {"whole item, shared, relu", 5, 9, 4, 4, 1, 1, 1},
      {"2049 channels: slices above the scale vector", 4, 2049, 1, 2, 0, 0, 0},
      {"group sections", 9, 8, 130, 130, 0, 1, 0},
      {"rows cut", 5, 1, 200, 200, 0, 1, 0},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    for (int sign_in : {1, 0}) {
      SCOPED_TRACE(std::string(k.what) + (sign_in ? ", signed in" : ", unsigned in"));
      const int sign_out = k.relu ? 0 : 1;
      const size_t chw = size_t(k.c) * k.h * k.w, groups = size_t(k.n + 3) / 4;
      const std::vector<uint8_t> in = spread_bytes(groups * chw * 4, unsigned(k.c + sign_in));
      const std::vector<float> scale = spread(size_t(k.c), 20.0f, 120.0f, 3);
      put(rig, kIn, in.data(), in.size());
      put<float>(rig, kScale, scale);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_normalize_fix8b_forward(kIn, kOut, kScale, u8(k.across), u8(k.shared), k.n, k.c, k.h, k.w, 1e-6f,
                                         100.0f, k.relu, sign_in, sign_out, node);
      }));
      ref::conv::T4 x(k.n, k.c, k.h, k.w);
      for (size_t i = 0; i < size_t(k.n); i++)
        for (size_t e = 0; e < chw; e++) x.v[i * chw + e] = ref::fix8b::value8(in[ref::fix8b::at_4n(i, e, chw)], sign_in);
      const std::vector<double> s = k.shared ? std::vector<double>(size_t(k.c), 100.0) : doubles(scale);
      const ref::conv::T4 y = ref::norm::normalize(x, k.across, 1e-6f, s, k.relu);
      const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, in.size());
      for (size_t i = 0; i < size_t(k.n); i++)
        for (size_t e = 0; e < chw; e++) {
          const double v = y.v[i * chw + e], want = ref::norm::to_8bit(v, sign_out);
          const double got = ref::fix8b::value8(out[ref::fix8b::at_4n(i, e, chw)], sign_out);
          if (got != want) {
            ASSERT_LT(std::fabs(v - std::round(v)), 1e-3 * std::fmax(1.0, std::fabs(v))) << i << " " << e;
          }
          ASSERT_LE(std::fabs(got - want), 1.0) << "item " << i << " element " << e;
        }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, NormalizeLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(NormalizeLayer, Assertions) {
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_normalize_forward(kIn, kOut, 0, 0, 1, 2, 64, 300, 300, 1e-6f, 1.0f, 0, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_normalize_forward",
      "nh_secs.nsecs <= (u32)n && nh_secs.hsecs == 1");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_normalize_fix8b_forward(kIn, kOut, 0, 1, 1, 5, 1, 200, 200, 1e-6f, 1.0f, 0, 1, 1, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_normalize_fix8b_forward", "!across_spatial || nh_secs.hsecs == 1",
      "one item of 1 x 200 x 200 does not fit whole");
}

}  // namespace
}  // namespace zv::test
