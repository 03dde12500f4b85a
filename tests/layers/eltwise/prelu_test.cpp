// Float PReLU and dropout: the pieces by table; both layers against plain
// references under every schedule with the happens-before checker, with
// shapes that force channel and spatial pieces and several dropout pieces;
// the dense selection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/prelu.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kSlope = 0x101000000ull;
constexpr u64 kRandom = 0x102000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kSelect = 0x106000000ull;

std::vector<float> ramp(size_t n, int mod, float step) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int((i * 7919u) % unsigned(mod)) - mod / 2) * step;
  return v;
}

TEST(PreluPlan, Pieces) {
  struct Case {
    int shared, n, c, h, w;
    int banks, cp, nb, sl;
  };
  const Case cases[] = {
      {1, 3, 5, 4, 4, 4, 15, 1, 16},         // shared: one item of n x c channels
      {0, 3, 5, 4, 4, 2, 5, 3, 16},          // per channel: all items in one piece
      {0, 2, 5000, 1, 1, 2, 4095, 2, 1},     // two channel pieces
      {0, 1, 64, 224, 224, 2, 64, 1, 32768}, // a plane above one share
      {0, 4, 3, 300, 1, 2, 3, 4, 300},       //
      {0, 1000, 3, 300, 1, 2, 3, 102, 300},  // batch items as many as fit
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::to_string(k.n) + "x" + std::to_string(k.c) + "x" + std::to_string(k.h) + "x" +
                 std::to_string(k.w) + (k.shared ? " shared" : ""));
    prelu_plan_t p;
    prelu_plan_of(&p, k.shared, k.n, k.c, k.h, k.w);
    EXPECT_EQ(p.banks, k.banks);
    EXPECT_EQ(p.cp, k.cp);
    EXPECT_EQ(p.nb, k.nb);
    EXPECT_EQ(p.sl, k.sl);
    EXPECT_LE(p.slice_bytes, p.share);
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
  }
}

TEST(DropoutPlan, Pieces) {
  const struct {
    i64 L;
    int pieces;
  } cases[] = {{0, 0}, {100, 1}, {65535, 1}, {65536, 2}, {200000, 4}, {1000000, 16}};
  for (const auto &k : cases) EXPECT_EQ(get_slice_num_dropout_forward(k.L), k.pieces) << k.L;
  EXPECT_EQ(dropout_layout_of(65535).section_bytes, 4096u);
  EXPECT_EQ(dropout_layout_of(33).section_bytes, 128u);
}

class PreluLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(PreluLayer, SharedAndPerChannel) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int shared, n, c, h, w;
    float slope;
  };
  const Case cases[] = {
      {"shared slope 0.0: ReLU", 1, 2, 3, 5, 7, 0.0f},
      {"shared slope 0.25", 1, 2, 3, 5, 7, 0.25f},
      {"per channel, 5000 channels in two pieces", 0, 2, 5000, 1, 1, 0.0f},
      {"per channel, planes cut in two", 0, 1, 3, 224, 224, 0.0f},
      {"per channel, 70 items", 0, 70, 65, 3, 3, 0.0f},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t hw = size_t(k.h) * k.w, total = size_t(k.n) * k.c * hw;
    const std::vector<float> in = ramp(total, 61, 0.5f), slopes = ramp(size_t(k.c), 13, 0.125f);
    put<float>(rig, kIn, in);
    put<float>(rig, kSlope, slopes);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_prelu_forward(kIn, kSlope, kOut, k.slope, k.shared, k.n, k.c, k.h, k.w, node);
    }));
    const std::vector<float> out = get<float>(rig, kOut, total);
    for (size_t i = 0; i < total; i++) {
      const float s = k.shared ? k.slope : slopes[(i / hw) % size_t(k.c)];
      ASSERT_EQ(out[i], in[i] > 0 ? in[i] : s * in[i]) << i;
    }
  }
}

TEST_P(PreluLayer, DropoutKeepsScalesAndSelectsDensely) {
  LayerRunner rig(GetParam());
  for (int L : {21, 100, 65536 + 33, 200000}) {
    SCOPED_TRACE("length " + std::to_string(L));
    const std::vector<float> in = ramp(size_t(L), 41, 0.25f);
    std::vector<float> rnd(size_t(L) + 4);
    for (size_t i = 0; i < rnd.size(); i++) rnd[i] = float((i * 37) % 17) / 16.0f;  // 0.5 on every 17th
    put<float>(rig, kRandom, rnd);
    put<float>(rig, kIn, in);
    const float ratio = 0.5f;
    // The random values start 8 bytes in.
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_dropout_forward(kIn, kOut, kSelect, kRandom, 8, ratio, L / 4 == 0 ? 1 : 4, L / 4 == 0 ? L : L / 4,
                               node);
    }));
    const size_t n = L / 4 == 0 ? size_t(L) : size_t(L / 4) * 4;
    const std::vector<float> out = get<float>(rig, kOut, n), sel = get<float>(rig, kSelect, n);
    for (size_t i = 0; i < n; i++) {
      const bool keep = rnd[i + 2] > ratio;
      ASSERT_EQ(sel[i], keep ? 1.0f : 0.0f) << i;
      ASSERT_EQ(out[i], keep ? in[i] * 2.0f : 0.0f) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, PreluLayer, ::testing::ValuesIn(all_schedules()), sched_name);

}  // namespace
}  // namespace zv::test
