// 3-D convolution: the slice adjustment by table; the layer against the direct
// reference under every schedule with the happens-before checker, with depth
// windows partly in the padding, dilation, strides, groups and batch slices
// with a remainder; an empty batch; the depth-window and slice checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conv_rig.h"
#include "fw_test.h"
#include "layers/conv/conv3d.h"
#include "ref/conv_layer_ref.h"

namespace zv::test {
namespace {

using namespace conv_rig;

struct Case {
  const char *what;
  ref::conv::Conv3d p;
  int bias;
};

void call(const ref::conv::Conv3d &p, int bias, cmd_id_node_t *node) {
  nodechip_conv3d_parallel(kIn, kOut, kW, kBias, p.N, p.IC, p.IT, p.IH, p.IW, p.groups, p.OC, p.KT, p.KH, p.KW, p.dt,
                           p.dh, p.dw, p.PT0, p.PT1, p.PH0, p.PH1, p.PW0, p.PW1, p.st, p.sh, p.sw, bias, node);
}

TEST(Conv3dPlan, AdjustShrinksBatchThenRows) {
  conv3d_plan_t p = {};
  p.icg = 1, p.ocg = 2, p.ic_even = 2, p.ocn = 1, p.ow = 128;
  p.n_slice = 5, p.h_slice = 128;
  // 5 x 1 x 128 x 128: 320 KB of input and as much output do not fit; three items do.
  int rounds = 0;
  while (!conv3d_layout_fits(&p, 128, 128, 3, 3, 1, 1, 1)) {
    ASSERT_TRUE(conv3d_adjust(&p));
    rounds++;
  }
  EXPECT_EQ(p.n_slice, 3);
  EXPECT_EQ(p.h_slice, 128);
  EXPECT_EQ(rounds, 2);
  EXPECT_TRUE(local_areas_valid(p.areas, CONV3D_AREA_COUNT));
  p.n_slice = 1;
  p.h_slice = 1;
  EXPECT_FALSE(conv3d_adjust(&p));
}

class Conv3dLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(Conv3dLayer, AgainstTheDirectReference) {
  LayerRunner rig(GetParam());
  const Case cases[] = {
      // what                        N IC IT IH IW g OC KT KH KW dt dh dw PT0 PT1 PH0 PH1 PW0 PW1 st sh sw
      {"3x3x3 pads 1, bias", {1, 3, 4, 5, 6, 1, 4, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 1},
      {"depth dilation 2, strides 2, windows partly in the padding",
       {2, 2, 5, 7, 6, 1, 3, 2, 3, 2, 2, 1, 1, 2, 1, 0, 1, 1, 0, 2, 2, 1},
       1},
      {"groups, odd channels per group", {1, 6, 3, 4, 4, 2, 4, 2, 2, 2, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 1, 1}, 0},
      {"five items in batch slices of three and two", {5, 1, 2, 128, 128, 1, 2, 1, 3, 3, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1, 1}, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const ref::conv::Conv3d &p = k.p;
    const int icg = p.IC / p.groups, ic_even = (icg + 1) & ~1;
    std::vector<float> in(size_t(p.N) * p.IC * p.IT * p.IH * p.IW), w(size_t(p.OC) * icg * p.KT * p.KH * p.KW),
        bias(size_t(p.OC));
    for (size_t i = 0; i < in.size(); i++) in[i] = small(i, 1, 3);
    for (size_t i = 0; i < w.size(); i++) w[i] = small(i, 2, 2);
    for (size_t i = 0; i < bias.size(); i++) bias[i] = small(i, 3, 7) * 0.5f;
    // [KT][OC][KH][KW][ic_even]
    std::vector<float> packed(size_t(p.KT) * p.OC * p.KH * p.KW * ic_even, 33.0f);
    for (int o = 0; o < p.OC; o++)
      for (int i = 0; i < icg; i++)
        for (int a = 0; a < p.KT; a++)
          for (int r = 0; r < p.KH; r++)
            for (int q = 0; q < p.KW; q++)
              packed[((((size_t(a) * p.OC + o) * p.KH + r) * p.KW + q) * ic_even) + i] =
                  w[(((size_t(o) * icg + i) * p.KT + a) * p.KH + r) * p.KW + q];
    put<float>(rig, kIn, in);
    put<float>(rig, kW, packed);
    put<float>(rig, kBias, bias);
    const std::vector<double> want = ref::conv::conv3d(p, in, w, k.bias ? bias : std::vector<float>{});
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(p, k.bias, node); }));
    const std::vector<float> got = get<float>(rig, kOut, want.size());
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want[i]) << "element " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(All, Conv3dLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(Conv3dChecks, EmptyBatchAndWindows) {
  {
    // No batch: nothing issued, no division by the batch slice.
    LayerRunner rig;
    const ref::conv::Conv3d p = {0, 2, 3, 4, 4, 1, 2, 2, 3, 3, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1, 1};
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(p, 1, node); }));
    EXPECT_EQ(rig.commands_issued(), 0u);
  }
  // Depth window of output frame 0 wholly in the front padding.
  expect_assert(
      [](cmd_id_node_t *node) {
        call({1, 2, 3, 4, 4, 1, 2, 2, 3, 3, 1, 1, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1}, 1, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_conv3d_parallel", "it_ext_0 < IT + PT0 && it_ext_1 > PT0");
  // A window that reaches real frames only between its dilated taps.
  expect_assert(
      [](cmd_id_node_t *node) {
        call({1, 2, 1, 4, 4, 1, 2, 2, 3, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 1, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_conv3d_parallel", "!first");
  expect_assert([](cmd_id_node_t *node) { call({1, 3, 3, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 1, 1}, 0, node); },
                "ASSERT_FS", "firmware/layers/conv/", "nodechip_conv3d_parallel", "IC_ALL % groups == 0");
}

}  // namespace
}  // namespace zv::test
