// The float class tests as byte masks and the scaled sum of powers against
// plain loops, over lengths that take several pieces (the sum of powers past
// 49 x 65536 elements, where pieces must stay within their buffers), under
// every schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/misc_math.h"
#include "norm_rig.h"

namespace zv::test {
namespace {

using namespace norm;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;

class MiscMath : public ::testing::TestWithParam<Sched> {};

TEST_P(MiscMath, ClassTests) {
  FirmwareRig rig(GetParam());
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  for (size_t len : {size_t(3), size_t(1000), size_t(200001)}) {
    std::vector<float> x = spread(len, -5, 5, 1);
    for (size_t i = 0; i < len; i += 3) x[i] = i % 2 ? inf : -inf;
    for (size_t i = 1; i < len; i += 5) x[i] = nan;
    if (len == 3) x = {1.0f, inf, nan};
    put_floats(rig, kIn, x);
    for (int what : {0, 1, 2}) {
      SCOPED_TRACE("length " + std::to_string(len) + " what " + std::to_string(what));
      std::vector<uint8_t> sentinel(len + 4, 0x77);
      put(rig, kOut, sentinel.data(), sentinel.size());
      ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) { nodechip_f32_is(kIn, kOut, len, what, node); })));
      const std::vector<uint8_t> out = get_bytes(rig, kOut, len + 4);
      for (size_t i = 0; i < len; i++) {
        const bool want = what == 0 ? std::isinf(x[i]) : what == 1 ? std::isnan(x[i]) : std::isfinite(x[i]);
        ASSERT_EQ(out[i], want ? 1 : 0) << i;
      }
      for (size_t i = len; i < len + 4; i++) ASSERT_EQ(out[i], 0x77) << "past the end " << i;
    }
  }
}

TEST_P(MiscMath, SumOfPowers) {
  FirmwareRig rig(GetParam());
  struct Case {
    const char *what;
    size_t len;
    int count;
    float scale;
  };
  const Case cases[] = {
      {"plain sum", 1000, 0, 1.0f},
      {"sum of x^4, scaled", 70001, 2, 0.5f},
      {"50 x 65536 elements: pieces of 48 rows", 50 * 65536 + 7, 1, 1.0f},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const std::vector<float> x = spread(k.len, -1.0f, 1.0f, 2);
    put_floats(rig, kIn, x);
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_sum_x2n(kIn, kOut, k.len, k.count, k.scale, node);
    })));
    double want = 0;
    for (float v : x) want += std::pow(double(v), 1 << k.count);
    want *= k.scale;
    EXPECT_NEAR(get_floats(rig, kOut, 1)[0], want, 1e-5 * std::fmax(1.0, std::fabs(want)) * std::sqrt(double(k.len)));
  }
}

TEST(MiscMathPlan, BatchSumSections) {
  struct Case {
    const char *what;
    int n, c, h, w, ns, cs, hs;
  };
  const Case cases[] = {
      {"fits", 4, 70, 3, 5, 1, 1, 1},
      {"items", 40, 64, 100, 100, 4, 1, 1},
      // One image has no half: channels first (which gain nothing within one
      // lane row), then rows.
      {"one image", 1, 64, 300, 300, 1, 64, 2},
      {"channels", 2, 1280, 64, 64, 1, 3, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      int ns = 0, cs = 0, hs = 0;
      get_slice_num_img_sum(k.n, k.c, k.h, k.w, &ns, &cs, &hs);
      EXPECT_EQ(ns, k.ns);
      EXPECT_EQ(cs, k.cs);
      EXPECT_EQ(hs, k.hs);
    });
    EXPECT_TRUE(ran_clean(o));
  }
}

TEST_P(MiscMath, BatchSumAndBand) {
  FirmwareRig rig(GetParam());
  struct Sum {
    const char *what;
    int n, c, h, w, acc;
  };
  const Sum sums[] = {
      {"small", 4, 70, 3, 5, 0}, {"accumulate", 3, 9, 2, 2, 1}, {"item sections, accumulate", 12, 16, 100, 100, 1},
      {"one image, row sections", 1, 2, 300, 300, 0},
  };
  for (const Sum &k : sums) {
    SCOPED_TRACE(k.what);
    const size_t item = size_t(k.c) * k.h * k.w;
    const std::vector<float> x = spread(size_t(k.n) * item, -1, 1, 3), old = spread(item, -2, 2, 4);
    put_floats(rig, kIn, x);
    put_floats(rig, kOut, old);
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_img_sum(kIn, kOut, k.acc, k.n, k.c, k.h, k.w, node);
    })));
    const std::vector<float> got = get_floats(rig, kOut, item);
    for (size_t e = 0; e < item; e++) {
      double s = k.acc ? old[e] : 0.0;
      for (size_t i = 0; i < size_t(k.n); i++) s += x[i * item + e];
      ASSERT_NEAR(got[e], s, 1e-5) << e;
    }
  }
  struct Band {
    const char *what;
    std::vector<int> shape;
    int lower, upper;
  };
  const Band bands[] = {
      {"upper triangle", {5, 7}, 0, -1}, {"tridiagonal of 3 x 2 matrices", {3, 2, 6, 6}, 1, 1},
      {"lower triangle, wide", {2, 4, 9}, -1, 0},
  };
  for (const Band &k : bands) {
    SCOPED_TRACE(k.what);
    size_t count = 1;
    for (int d : k.shape) count *= size_t(d);
    const std::vector<float> x = spread(count, 1, 2, 5);
    put_floats(rig, kIn, x);
    put_floats(rig, kOut, std::vector<float>(count, -9.0f));
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_matrix_band_part(kIn, kOut, k.shape.data(), int(k.shape.size()), k.lower, k.upper, node);
    })));
    const int rows = k.shape[k.shape.size() - 2], cols = k.shape.back();
    const int lower = k.lower < 0 ? rows - 1 : k.lower, upper = k.upper < 0 ? cols - 1 : k.upper;
    const std::vector<float> got = get_floats(rig, kOut, count);
    for (size_t i = 0; i < count; i++) {
      const int m = int(i / size_t(cols)) % rows, j = int(i % size_t(cols));
      ASSERT_EQ(got[i], j >= m - lower && j <= m + upper ? x[i] : 0.0f) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, MiscMath, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(MiscMath, Assertions) {
  expect_assert([](cmd_id_node_t *node) { const int s[1] = {4}; nodechip_matrix_band_part(kIn, kOut, s, 1, 0, 0, node); },
                "ASSERT", "firmware/layers/", "nodechip_matrix_band_part", "dims >= 2");
  expect_assert([](cmd_id_node_t *node) { nodechip_sum_x2n(kIn, kOut, 8, -1, 1.0f, node); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_sum_x2n", "count >= 0");
  FirmwareRig rig;
  const FwOutcome o = rig.run_layer([](cmd_id_node_t *node) { nodechip_f32_is(kIn, kOut, 8, 3, node); });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/local/", "tensor_f32_is", "0", "Not supported f32_is what=3"));
}

}  // namespace
}  // namespace zv::test
