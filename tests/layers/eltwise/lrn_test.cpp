// Local response normalisation: the split by table, the float layer against
// the plain reference over window widths, channel counts and shapes that cut
// the batch and the rows, under every schedule with the happens-before
// checker, and the assertions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/lrn.h"
#include "norm_rig.h"
#include "ref/fix8b_affine_ref.h"
#include "ref/norm_ref.h"

namespace zv::test {
namespace {

using namespace norm;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;

TEST(LrnPlan, Split) {
  struct Case {
    const char *what;
    int n, c, h, w, nsecs, hsecs;
  };
  const Case cases[] = {
      {"items that fit on their own", 3, 70, 64, 64, 2, 1},
      {"one item: rows", 1, 3, 200, 100, 1, 2},
      {"one item: rows raised until they fit", 1, 3, 3, 8500, 1, 3},
      {"items too large: one each, rows", 2, 3, 200, 100, 2, 2},
      {"one row does not fit: past h", 1, 1, 2, 20000, 1, 3},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      int ns = 1, hs = 1;
      lrn_split_nh(4, k.n, k.c, k.h, k.w, &ns, &hs);
      EXPECT_EQ(ns, k.nsecs);
      EXPECT_EQ(hs, k.hsecs);
    });
    EXPECT_TRUE(ran_clean(o));
  }
}

TEST(LrnPlan, EightBitSplit) {
  struct Case {
    const char *what;
    int n, c, h, w;
    int groups, rows, nsecs, hsecs;
  };
  const Case cases[] = {
      {"one slice", 6, 70, 3, 5, 2, 3, 1, 1},
      {"groups a slice", 40, 64, 32, 32, 4, 32, 3, 1},
      {"one group, rows", 5, 3, 300, 40, 1, 102, 2, 3},
      // 1365 rows of 5 would round to 1376 words a lane row, past 64 KB for
      // four items of three lane rows: 268 rows (1344 words) fit.
      {"rows limited by the float buffers", 1, 130, 300, 5, 1, 268, 1, 2},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      lrn_fix8b_plan_t p;
      lrn_split_nh_fix8b(&p, k.n, k.c, k.h, k.w);
      EXPECT_EQ(p.groups, k.groups);
      EXPECT_EQ(p.rows, k.rows);
      EXPECT_EQ(p.nsecs, k.nsecs);
      EXPECT_EQ(p.hsecs, k.hsecs);
      EXPECT_LE(4 * p.groups * p.group_bytes, u32(LRN_FIX8B_FLOAT_BYTES));
    });
    EXPECT_TRUE(ran_clean(o));
  }
  expect_assert([] { lrn_fix8b_plan_t p; lrn_split_nh_fix8b(&p, 1, 3, 2, 5000); }, "ASSERT_FS", "firmware/layers/",
                "lrn_split_nh_fix8b", "*hslice >= 1");
}

class LrnLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(LrnLayer, EightBit) {
  struct Case {
    const char *what;
    int n, c, h, w, sign, size;
    float alpha, beta, k, scale_in, scale_out;
  };
  const Case cases[] = {
      {"70 channels, size 5, edges clipped", 6, 70, 3, 5, 1, 5, 1.0f, 0.75f, 1.0f, 0.05f, 40.0f},
      {"one channel", 5, 1, 2, 3, 1, 5, 2.0f, 0.75f, 1.0f, 0.1f, 30.0f},
      {"size 2: no shifts, unsigned", 3, 9, 2, 2, 0, 2, 0.5f, 0.6f, 2.0f, 0.02f, 60.0f},
      {"one item in its group", 1, 130, 2, 3, 1, 3, 1.0f, 0.75f, 1.0f, 0.05f, 40.0f},
      {"groups a slice", 20, 16, 32, 32, 1, 3, 1.0f, 0.75f, 1.0f, 0.05f, 40.0f},
      {"rows a slice", 5, 3, 300, 40, 0, 5, 0.5f, 0.75f, 1.0f, 0.03f, 50.0f},
      {"rows limited by the float buffers", 1, 130, 300, 5, 1, 5, 1.0f, 0.75f, 1.0f, 0.05f, 40.0f},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t chw = size_t(k.c) * k.h * k.w, groups = size_t(k.n + 3) / 4;
    const std::vector<uint8_t> in = spread_bytes(groups * chw * 4, unsigned(k.c));
    put(rig, kIn, in.data(), in.size());
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_lrn_fix8b_forward_parallel(kIn, kOut, k.n, k.c, k.h, k.w, k.sign, k.alpha, k.size, k.beta, k.k,
                                          k.scale_in, k.scale_out, node);
    }));
    ref::conv::T4 x(k.n, k.c, k.h, k.w);
    for (size_t i = 0; i < size_t(k.n); i++)
      for (size_t e = 0; e < chw; e++) x.v[i * chw + e] = ref::fix8b::value8(in[ref::fix8b::at_4n(i, e, chw)], k.sign) * double(k.scale_in);
    const ref::conv::T4 y = ref::norm::lrn(x, k.alpha, k.size, k.beta, k.k);
    const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, in.size());
    for (size_t i = 0; i < size_t(k.n); i++)
      for (size_t e = 0; e < chw; e++) {
        const double v = y.v[i * chw + e] * k.scale_out, want = ref::norm::to_8bit(v, k.sign);
        const double got = ref::fix8b::value8(out[ref::fix8b::at_4n(i, e, chw)], k.sign);
        // Exact, except where float rounding meets an integer boundary.
        if (got != want) {
          ASSERT_LT(std::fabs(v - std::round(v)), 1e-3 * std::fmax(1.0, std::fabs(v))) << i << " " << e;
        }
        ASSERT_LE(std::fabs(got - want), 1.0) << "item " << i << " element " << e;
      }
  }
}


TEST_P(LrnLayer, Float) {
  struct Case {
    const char *what;
    int n, c, h, w;
    float alpha;
    int size;
    float beta, k;
  };
  const Case cases[] = {
      {"size 5, 130 channels: clipped edges", 2, 130, 3, 5, 1e-2f, 5, 0.75f, 1.0f},
      {"size 1: no shifts", 1, 7, 2, 3, 0.5f, 1, 0.6f, 2.0f},
      {"size 4: three channels wide, alpha / 4", 2, 9, 2, 2, 0.3f, 4, 0.75f, 1.5f},
      {"one channel", 3, 1, 4, 4, 0.2f, 5, 0.5f, 1.0f},
      {"window wider than the channels", 1, 3, 3, 3, 0.1f, 11, 0.75f, 1.0f},
      {"batch sections", 3, 70, 64, 64, 1e-3f, 5, 0.75f, 2.0f},
      {"row sections", 1, 3, 200, 100, 1e-2f, 3, 0.75f, 1.0f},
      {"items and rows", 2, 3, 200, 100, 1e-2f, 3, 0.75f, 1.0f},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t count = size_t(k.n) * k.c * k.h * k.w;
    const std::vector<float> x = spread(count, -3.0f, 3.0f, unsigned(k.c));
    put<float>(rig, kIn, x);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_lrn_forward_parallel(kIn, kOut, k.n, k.c, k.h, k.w, k.alpha, k.size, k.beta, k.k, node);
    }));
    const ref::conv::T4 want = ref::norm::lrn(t4_of(x, k.n, k.c, k.h, k.w), k.alpha, k.size, k.beta, k.k);
    const std::vector<float> got = get<float>(rig, kOut, count);
    for (size_t i = 0; i < count; i++)
      ASSERT_NEAR(got[i], want.v[i], 4e-6 * std::fmax(1.0, std::fabs(want.v[i]))) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(All, LrnLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(LrnLayer, Assertions) {
  // One row of 20000 floats, four times, does not fit a slot: refused rather
  // than searched for ever.
  expect_assert([](cmd_id_node_t *node) { nodechip_lrn_forward_parallel(kIn, kOut, 1, 1, 2, 20000, 1, 5, 1, 1, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_lrn_forward_parallel", "hsecs <= Tensor_H");
  expect_assert([](cmd_id_node_t *node) { nodechip_lrn_forward_parallel(kIn, kOut, 1, 4, 2, 2, 1, 0, 1, 1, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_lrn_forward_parallel",
                "input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && local_size > 0");
}

}  // namespace
}  // namespace zv::test
