// Float32 <-> 4N int8 conversions: the splits by table, both directions
// against plain references over clamping, rounding, padding items and
// shapes that cut the batch and the rows, under every schedule with the
// happens-before checker; offsets for addresses; the assertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "cmd/tensor_shape.h"
#include "fw_test.h"
#include "layers/eltwise/convert.h"
#include "norm_rig.h"
#include "ref/fix8b_affine_ref.h"

namespace zv::test {
namespace {

using namespace norm;
namespace fr = ref::fix8b;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kMid = 0x104000000ull;
constexpr u64 kOut = 0x108000000ull;

TEST(ConvertPlan, Splits) {
  struct Case {
    const char *what;
    int budget, n, c, h, w;
    u32 nsecs, hsecs;
  };
  const Case cases[] = {
      {"four items: rows", 0x80000, 4, 64, 200, 200, 1, 3},
      {"whole groups", 0x80000, 40, 64, 32, 32, 16, 1},
      {"a group too large: one each, rows", 0x80000, 9, 64, 128, 128, 3, 4},
      {"the smaller budget", 0x40000, 40, 64, 32, 32, 8, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      nh_secs_t s;
      tensor_split_nh(&s, k.budget, k.n, (k.c + 63) / 64, k.h, k.w);
      EXPECT_EQ(s.nsecs, k.nsecs);
      EXPECT_EQ(s.hsecs, k.hsecs);
    });
    EXPECT_TRUE(ran_clean(o));
  }
  expect_assert([] { nh_secs_t s; tensor_split_nh(&s, 0x80000, 2, 64, 2, 70000); }, "ASSERT_FS", "firmware/layers/",
                "tensor_split_nh", "nh_secs.hsecs < (u32)input_h");
  int2float_plan_t p;
  ASSERT_TRUE(int2float_plan_of(&p, 9, 64, 8, 8));
  EXPECT_EQ(p.groups, 3);
  ASSERT_TRUE(int2float_plan_of(&p, 9, 130, 100, 100));
  EXPECT_EQ(p.groups, 1);
  EXPECT_EQ(p.rows, 256 * 32 / 100);
  EXPECT_FALSE(int2float_plan_of(&p, 1, 64, 2, 30000));
}

class ConvertLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(ConvertLayer, RoundTrip) {
  struct Case {
    const char *what;
    int n, c, h, w, sign, v2;
  };
  const Case cases[] = {
      {"n 5: two groups, signed", 5, 70, 3, 5, 1, 0},
      {"unsigned", 6, 9, 2, 3, 0, 0},
      {"rounding half away, signed", 5, 9, 2, 3, 1, 1},
      {"rounding, unsigned", 3, 9, 2, 3, 0, 1},
      {"whole-group sections", 40, 16, 32, 32, 1, 0},
      {"row sections", 4, 1, 200, 200, 0, 0},
      {"row sections, rounding", 4, 1, 100, 100, 1, 1},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t chw = size_t(k.c) * k.h * k.w, count = size_t(k.n) * chw;
    std::vector<float> x = spread(count, -300.0f, 300.0f, 1);
    if (count > 4) {
      x[0] = 2.5f, x[1] = -2.5f, x[2] = 200.0f, x[3] = -3.0f, x[4] = 126.7f;
    }
    put<float>(rig, kIn, x);
    // The output address as an offset from the start of device memory.
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (k.v2) {
        nodechip_float2int8_v2(kIn, kMid & 0xffffffffu, k.n, k.c, k.h, k.w, k.sign, node);
      } else {
        nodechip_float2int8(kIn & 0xffffffffu, kMid, k.n, k.c, k.h, k.w, k.sign, node);
      }
      nodechip_global_int2float(kMid, kOut, k.n, k.c, k.h, k.w, k.sign, STORAGE_MODE_4N_INT8, node);
    }));
    const std::vector<uint8_t> bytes = get<uint8_t>(rig, kMid, size_t((k.n + 3) / 4) * chw * 4);
    const std::vector<float> back = get<float>(rig, kOut, count + 4);
    const double lo = k.sign ? -128 : 0, hi = k.sign ? 127 : 255;
    for (size_t i = 0; i < size_t(k.n); i++)
      for (size_t e = 0; e < chw; e++) {
        double v = x[i * chw + e];
        if (k.v2) v += v > 0 ? 0.5 : v < 0 ? -0.5 : 0.0;
        const double want = std::trunc(std::min(std::max(v, lo), hi));
        const double got = double(fr::value8(bytes[fr::at_4n(i, e, chw)], k.sign));
        ASSERT_EQ(got, want) << "item " << i << " element " << e << ": " << x[i * chw + e];
        ASSERT_EQ(double(back[i * chw + e]), want) << "item " << i << " element " << e;
      }
    // Nothing is written past the last item.
    put<float>(rig, kOut + 4 * count, {7.0f});
  }
}

INSTANTIATE_TEST_SUITE_P(All, ConvertLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(ConvertLayer, PaddingItemsAreNotStored) {
  LayerRunner rig;
  const int n = 5, c = 3, h = 2, w = 2;
  const size_t chw = size_t(c) * h * w;
  std::vector<uint8_t> in(2 * chw * 4, 0x11);
  put(rig, kIn, in.data(), in.size());
  std::vector<float> sentinel(8 * chw, -7.0f);
  put<float>(rig, kOut, sentinel);
  ASSERT_TRUE(rig.call(
      [&](cmd_id_node_t *node) { nodechip_global_int2float(kIn, kOut, n, c, h, w, 1, STORAGE_MODE_4N_INT8, node); }));
  const std::vector<float> out = get<float>(rig, kOut, 8 * chw);
  for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], i < n * chw ? 17.0f : -7.0f) << i;
}

TEST(ConvertLayer, AddressesInTheUpperFourGigabytes) {
  // Beyond 0x200000000 an address must be used as it is; below device memory
  // it is an offset.
  LayerRunner rig;
  const u64 high = 0x280000000ull;
  const std::vector<float> x = {1.0f, -2.0f, 3.0f, -4.0f, 5.0f, 6.0f};
  put<float>(rig, high, x);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_float2int8(high, high + 0x1000, 6, 1, 1, 1, 1, node);
    nodechip_global_int2float(high + 0x1000, 0x1000, 6, 1, 1, 1, 1, STORAGE_MODE_4N_INT8, node);
  }));
  EXPECT_EQ(get<float>(rig, kIn + 0x1000, 6), x);
}

TEST(ConvertLayer, Assertions) {
  expect_assert([](cmd_id_node_t *node) { nodechip_global_int2float(kIn, kOut, 4, 2, 2, 2, 1, 2, node); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_global_int2float", "mode == STORAGE_MODE_4N_INT8");
  expect_assert(
      [](cmd_id_node_t *node) { nodechip_global_int2float(kIn, kOut, 4, 64, 2, 30000, 1, STORAGE_MODE_4N_INT8, node); },
      "ASSERT_FS", "firmware/layers/", "nodechip_global_int2float", "int2float_plan_of(&p, n, c, h, w)",
      "one row of 30000 words does not fit");
  LayerRunner rig;
  ASSERT_TRUE(rig.call([](cmd_id_node_t *node) {
    nodechip_global_int2float(kIn, kOut, 0, 2, 2, 2, 1, STORAGE_MODE_4N_INT8, node);
    nodechip_float2int8(kIn, kOut, 0, 2, 2, 2, 1, node);
  }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test
