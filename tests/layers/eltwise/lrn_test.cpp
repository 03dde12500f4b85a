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

class LrnLayer : public ::testing::TestWithParam<Sched> {};

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
  FirmwareRig rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t count = size_t(k.n) * k.c * k.h * k.w;
    const std::vector<float> x = spread(count, -3.0f, 3.0f, unsigned(k.c));
    put_floats(rig, kIn, x);
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_lrn_forward_parallel(kIn, kOut, k.n, k.c, k.h, k.w, k.alpha, k.size, k.beta, k.k, node);
    })));
    const ref::conv::T4 want = ref::norm::lrn(t4_of(x, k.n, k.c, k.h, k.w), k.alpha, k.size, k.beta, k.k);
    const std::vector<float> got = get_floats(rig, kOut, count);
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
