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

INSTANTIATE_TEST_SUITE_P(All, MiscMath, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(MiscMath, Assertions) {
  expect_assert([](cmd_id_node_t *node) { nodechip_sum_x2n(kIn, kOut, 8, -1, 1.0f, node); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_sum_x2n", "count >= 0");
  FirmwareRig rig;
  const FwOutcome o = rig.run_layer([](cmd_id_node_t *node) { nodechip_f32_is(kIn, kOut, 8, 3, node); });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/local/", "tensor_f32_is", "0", "Not supported f32_is what=3"));
}

}  // namespace
}  // namespace zv::test
