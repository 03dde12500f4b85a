// Float depthwise convolutions: the dilated form's slice search by table; both
// forms against the direct reference under every schedule with the
// happens-before checker, with shapes that cut channels, rows and batches;
// their extent and slice assertions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conv_rig.h"
#include "fw_test.h"
#include "layers/conv/depthwise.h"
#include "ref/conv_ref.h"

namespace zv::test {
namespace {

using namespace conv_rig;

struct Shape {
  const char *what;
  int n, c, h, w, kh, kw, dh, dw, pt, pb, pl, pr, sh, sw, bias, relu;
  float limit;
};

void run(LayerRunner &rig, const Shape &k, bool records) {
  SCOPED_TRACE(k.what);
  ref::conv::T4 in(k.n, k.c, k.h, k.w), w(k.c, 1, k.kh, k.kw);
  for (size_t i = 0; i < in.v.size(); i++) in.v[i] = small(i, 1, 3);
  for (size_t i = 0; i < w.v.size(); i++) w.v[i] = small(i, 2, 2);
  std::vector<double> bias(size_t(k.c));
  for (size_t i = 0; i < bias.size(); i++) bias[i] = small(i, 3, 9) * 0.5;
  ref::conv::Window win;
  win.kh = k.kh, win.kw = k.kw, win.dh = k.dh, win.dw = k.dw, win.pad_t = k.pt, win.pad_b = k.pb, win.pad_l = k.pl,
  win.pad_r = k.pr, win.stride_h = k.sh, win.stride_w = k.sw;
  const ref::conv::T4 want = ref::conv::depthwise(in, w, k.bias ? bias : std::vector<double>{}, win);
  put<float>(rig, kIn, std::vector<float>(in.v.begin(), in.v.end()));
  put<float>(rig, kW, std::vector<float>(w.v.begin(), w.v.end()));
  put<float>(rig, kBias, std::vector<float>(bias.begin(), bias.end()));
  put<float>(rig, kOut, std::vector<float>(want.v.size(), 99.0f));
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    if (records)
      nodechip_depthwise_forward(kIn, kOut, kW, kBias, k.n, k.c, k.h, k.w, k.kh, k.kw, k.pt, k.pb, k.pl, k.pr, k.sh,
                                 k.sw, k.bias, node);
    else
      nodechip_depthwise_forward_parallel_with_dilation(kIn, kOut, kW, kBias, k.n, k.c, k.h, k.w, k.kh, k.kw, k.pt,
                                                        k.pb, k.pl, k.pr, k.sh, k.sw, k.dh, k.dw, k.bias, k.relu,
                                                        k.limit, node);
  }));
  const std::vector<float> got = get<float>(rig, kOut, want.v.size());
  for (size_t i = 0; i < got.size(); i++) {
    double e = want.v[i];
    if (k.relu) {
      if (e < 0) e = 0;
      if (k.limit > 0 && e > k.limit) e = k.limit;
    }
    ASSERT_EQ(double(got[i]), e) << "element " << i;
  }
}

TEST(DepthwiseDilatedPlan, SliceSearch) {
  struct Case {
    const char *what;
    int n, c, h, w, kh, dh, bias;
    int a0, a1, a2;
  };
  const Case cases[] = {
      {"whole tensor", 2, 100, 8, 8, 3, 1, 1, 2, 2, 8},
      {"3x3 112x112x32: rows cut", 1, 32, 112, 112, 3, 1, 1, 1, 1, 0},
      {"batches cut first", 8, 64, 64, 64, 3, 1, 0, 0, 1, 64},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    dwd_layout_t l;
    ASSERT_EQ(dwd_slice_search(&l, k.n, k.c, k.h, k.w, k.kh, k.kh, k.kh / 2 * k.dh, k.kh / 2 * k.dh, k.kh / 2 * k.dh,
                               k.kh / 2 * k.dh, 1, 1, k.dh, k.dh, k.bias),
              1);
    if (k.a0) {
      EXPECT_EQ(l.a0, k.a0);
    }
    EXPECT_EQ(l.a1, k.a1);
    if (k.a2) {
      EXPECT_EQ(l.a2, k.a2);
    }
    EXPECT_LE(l.end, DW_LANE_BYTES);
    EXPECT_TRUE(local_areas_valid(l.areas, DWD_AREA_COUNT));
    if (l.a0 < k.n) {  // the slice one batch larger would not fit
      dwd_layout_t m;
      dwd_layout_of(&m, l.a0 + 1, l.a1, l.a2, k.h, k.w, k.kh, k.kh, k.kh / 2, k.kh / 2, k.kh / 2, k.kh / 2, 1, 1, 1,
                    1, k.bias);
      EXPECT_GT(m.end, DW_LANE_BYTES);
    }
  }
}

class DepthwiseLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(DepthwiseLayer, DilatedAgainstTheReference) {
  LayerRunner rig(GetParam());
  const Shape shapes[] = {
      // what                               n   c   h   w kh kw dh dw pt pb pl pr sh sw b relu lim
      {"dilation 1: plain depthwise", 2, 5, 7, 6, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0.0f},
      {"3x3 dilation 2, stride 2, asymmetric pads", 1, 3, 11, 10, 3, 3, 2, 2, 2, 1, 0, 2, 2, 2, 0, 0, 0.0f},
      {"130 channels, ReLU with a limit", 2, 130, 5, 5, 3, 3, 1, 2, 1, 1, 2, 2, 1, 1, 1, 1, 5.0f},
      {"rows cut: 3x3 over 1x32x112x112", 1, 32, 112, 112, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0.0f},
      // Pads beyond the command's 15: zero rows and columns in local memory.
      {"kernel extent 17 (dilation 8), pads 16 all round", 1, 3, 20, 21, 3, 3, 8, 8, 16, 16, 16, 16, 1, 1, 1, 0, 0.0f},
      {"rows cut, pads 20 and 16, columns 40 and 70", 1, 32, 112, 112, 3, 3, 1, 1, 20, 16, 40, 70, 1, 1, 1, 1, 0.0f},
  };
  for (const Shape &k : shapes) run(rig, k, false);
}

TEST_P(DepthwiseLayer, RecordsAgainstTheReference) {
  LayerRunner rig(GetParam());
  const Shape shapes[] = {
      {"one slice with bias", 2, 5, 7, 6, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0.0f},
      {"stride 2, asymmetric pads, no bias", 1, 3, 11, 10, 3, 2, 1, 1, 0, 2, 1, 0, 2, 2, 0, 0, 0.0f},
      {"100 channels over a large plane: channels cut to 64", 1, 100, 184, 184, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,
       0.0f},
      {"130 channels, 3 batches", 3, 130, 6, 5, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0.0f},
      // Rows cut into slices of 14: the first two and the last two see only
      // padding; the others' own pads stay within what the command takes.
      {"slices wholly in the padding: the bias", 1, 2, 4, 2000, 3, 1, 1, 1, 40, 40, 0, 0, 1, 1, 1, 0, 0.0f},
      {"slices wholly in the padding: zeros", 1, 2, 4, 2000, 3, 1, 1, 1, 40, 40, 0, 0, 1, 1, 0, 0, 0.0f},
      // Slices partly in pads beyond the command's 15 (zero rows in local
      // memory), and column pads beyond it (zero columns).
      {"pads 70: partly padded slices", 1, 2, 8, 500, 3, 1, 1, 1, 70, 70, 0, 0, 1, 1, 1, 0, 0.0f},
      {"pads 16 and 40, stride 2, rows cut", 1, 3, 5, 1500, 3, 3, 1, 1, 16, 40, 1, 1, 2, 1, 1, 0, 0.0f},
      {"left and right pads 16 and 20", 2, 3, 6, 9, 3, 3, 1, 1, 1, 2, 16, 20, 1, 2, 1, 0, 0.0f},
  };
  for (const Shape &k : shapes) run(rig, k, true);
}

INSTANTIATE_TEST_SUITE_P(All, DepthwiseLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(DepthwiseChecks, ExtentsAndSlices) {
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_depthwise_forward_parallel_with_dilation(kIn, kOut, kW, kBias, 1, 4, 4, 8, 3, 3, 0, 0, 1, 1, 1, 1, 2,
                                                          1, 0, 0, 0.0f, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_depthwise_forward_parallel_with_dilation",
      "input_h_ext >= kh_ext && input_w_ext >= kw_ext");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_depthwise_forward_parallel_with_dilation(kIn, kOut, kW, kBias, 1, 64, 1, 70000, 1, 1, 0, 0, 0, 0, 1,
                                                          1, 1, 1, 0, 0, 0.0f, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_depthwise_forward_parallel_with_dilation",
      "1 != opt_num_slice[(0)] || 1 != opt_num_slice[(1)] || 1 != opt_num_slice[(2)]");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_depthwise_forward(kIn, kOut, kW, kBias, 1, 4, 1, 8, 3, 3, 0, 1, 1, 1, 1, 1, 0, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_depthwise_forward", "feature_shape_ext.h >= filter_h");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_depthwise_forward(kIn, kOut, kW, kBias, 1, 4, 8, 1, 3, 3, 1, 1, 0, 1, 1, 1, 0, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_depthwise_forward", "feature_shape_ext.w >= filter_w");
}

}  // namespace
}  // namespace zv::test
