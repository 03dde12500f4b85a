// Float deconvolution: the layout by table; the layer against the direct
// reference (a convolution of the zero-inserted input with the turned kernel,
// written from the definition) under every schedule with the happens-before
// checker, with strides, dilation, groups, both weight layouts, odd input
// channels, input-channel steps, row and lane sections, output padding through
// the wrapper; the pad and zero-step checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conv_rig.h"
#include "fw_test.h"
#include "layers/conv/deconv.h"

namespace zv::test {
namespace {

using namespace conv_rig;

struct Case {
  const char *what;
  int n, ic, h, w, groups, oc, kh, kw, dh, dw, pt, pb, pl, pr, sh, sw, oph, opw;
  int bias, result_add, icsecs, ocsecs, nsecs, hsecs, layout;
  bool wrapper;
};

// The transposed convolution by its definition: input element (y, x) adds
// w * in to output (y * sh - pt + r * dh, x * sw - pl + q * dw).
std::vector<double> reference(const Case &k, const std::vector<float> &in, const std::vector<float> &wt,
                              const std::vector<float> &bias, int oh, int ow) {
  const int icg = k.ic / k.groups, ocg = k.oc / k.groups;
  std::vector<double> out(size_t(k.n) * k.oc * oh * ow, 0.0);
  for (int b = 0; b < k.n; b++)
    for (int o = 0; o < k.oc; o++) {
      const int g = o / ocg;
      for (int y = 0; y < oh; y++)
        for (int x = 0; x < ow; x++) out[((size_t(b) * k.oc + o) * oh + y) * ow + x] = k.bias ? bias[size_t(o)] : 0.0;
      for (int i = 0; i < icg; i++)
        for (int y = 0; y < k.h; y++)
          for (int x = 0; x < k.w; x++)
            for (int r = 0; r < k.kh; r++)
              for (int q = 0; q < k.kw; q++) {
                const int oy = y * k.sh - k.pt + r * k.dh, ox = x * k.sw - k.pl + q * k.dw;
                if (oy < 0 || oy >= oh || ox < 0 || ox >= ow) continue;
                const double v = in[((size_t(b) * k.ic + g * icg + i) * k.h + y) * k.w + x];
                out[((size_t(b) * k.oc + o) * oh + oy) * ow + ox] += v * wt[((size_t(o) * icg + i) * k.kh + r) * k.kw + q];
              }
    }
  return out;
}

void run(LayerRunner &rig, const Case &k) {
  SCOPED_TRACE(k.what);
  const int icg = k.ic / k.groups, ocg = k.oc / k.groups, icg_even = (icg + 1) & ~1, taps = k.kh * k.kw;
  const int khe = k.dh * (k.kh - 1) + 1, kwe = k.dw * (k.kw - 1) + 1;
  const int oh = (k.h - 1) * k.sh + khe - k.pt - k.pb + k.oph, ow = (k.w - 1) * k.sw + kwe - k.pl - k.pr + k.opw;
  std::vector<float> in(size_t(k.n) * k.ic * k.h * k.w), wt(size_t(k.oc) * icg * taps), bias(size_t(k.oc));
  for (size_t i = 0; i < in.size(); i++) in[i] = small(i, 1, 3);
  for (size_t i = 0; i < wt.size(); i++) wt[i] = small(i, 2, 2);
  for (size_t i = 0; i < bias.size(); i++) bias[i] = small(i, 3, 9) * 0.5f;
  std::vector<double> want = reference(k, in, wt, bias, oh, ow);
  std::vector<float> old(want.size());
  for (size_t i = 0; i < old.size(); i++) old[i] = small(i, 4, 5);
  if (k.result_add)
    for (size_t i = 0; i < old.size(); i++) want[i] += old[i];
  // Global weights: per group icg_even x ocg x taps; padding slots hold junk.
  std::vector<float> packed(size_t(k.groups) * icg_even * ocg * taps, 55.0f);
  for (int o = 0; o < k.oc; o++)
    for (int i = 0; i < icg; i++)
      for (int p = 0; p < taps; p++) {
        const int g = o / ocg, oo = o % ocg;
        const size_t base = size_t(g) * icg_even * ocg * taps;
        const size_t at = k.layout == 1 ? base + (size_t(oo) * icg_even + i) * taps + p
                                        : base + (size_t(i) * ocg + oo) * taps + p;
        packed[at] = wt[(size_t(o) * icg + i) * taps + p];
      }
  put<float>(rig, kIn, in);
  put<float>(rig, kW, packed);
  put<float>(rig, kBias, bias);
  put<float>(rig, kOut, old);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    if (k.wrapper)
      nodechip_deconv_forward_parallel_with_data_split(kIn, kOut, kW, kBias, k.n, k.ic, k.h, k.w, k.groups, k.oc, k.kh,
                                                       k.kw, k.dh, k.dw, k.pt, k.pb, k.pl, k.pr, k.sh, k.sw, k.oph,
                                                       k.opw, k.bias, k.result_add, 0, k.layout, node);
    else
      nodechip_deconv_forward_parallel(kIn, kW, kBias, kOut, k.n, k.ic, k.h, k.w, k.groups, k.oc, oh, ow, k.kh, k.kw,
                                       k.dh, k.dw, k.pt, k.pb, k.pl, k.pr, k.sh, k.sw, k.bias, k.result_add, 0,
                                       k.icsecs, k.ocsecs, k.nsecs, k.hsecs, k.layout, node);
  }));
  const std::vector<float> got = get<float>(rig, kOut, want.size());
  for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want[i]) << "element " << i;
}

TEST(DeconvPlan, Layout) {
  deconv_layout_t l;
  // 3x3 stride 2 pad 1: convolution pads 1, inserted height 2 * 4 + 1.
  deconv_layout_of(&l, 1, 3, 5, 5, 1, 4, 9, 9, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2, 1, 1, 1, 1);
  EXPECT_EQ(l.pt, 1);
  EXPECT_EQ(l.hi, 9);
  EXPECT_TRUE(l.resident);
  // Weights sized for the padding input channel, the bias right behind them.
  EXPECT_EQ(l.wsize, 4u * 1 * 4 * 9);
  EXPECT_EQ(l.bias[0], l.wsize);
  EXPECT_TRUE(local_areas_valid(l.areas, DECONV_AREA_COUNT));
  deconv_layout_of(&l, 2, 10, 5, 5, 1, 130, 10, 10, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2);
  EXPECT_FALSE(l.resident);
  EXPECT_EQ(l.bias[0], 2 * l.wsize);
  EXPECT_TRUE(local_areas_valid(l.areas, DECONV_AREA_COUNT));
}

class DeconvLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(DeconvLayer, AgainstTheDefinition) {
  LayerRunner rig(GetParam());
  const Case cases[] = {
      // what                          n ic h w g oc kh kw dh dw pt pb pl pr sh sw oph opw b ra is os ns hs lay wrap
      {"3x3 stride 2 pad 1, layout 1, odd channels", 1, 3, 4, 5, 1, 4, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2, 0, 0, 1, 0, 1, 1,
       1, 1, 1, false},
      {"2x2 stride 2, layout 0, two batches in sections", 2, 4, 3, 3, 1, 5, 2, 2, 1, 1, 0, 0, 0, 0, 2, 2, 0, 0, 1, 0,
       1, 1, 2, 2, 0, false},
      {"dilation 2, asymmetric pads, stride 3x1, rows cut", 1, 2, 4, 4, 1, 3, 3, 2, 2, 1, 2, 0, 1, 0, 3, 1, 0, 0, 0, 0,
       1, 1, 1, 3, 1, false},
      {"input channels in even steps, accumulate", 1, 7, 3, 4, 1, 3, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2, 0, 0, 1, 1, 2, 1, 1,
       1, 0, false},
      {"groups and 130 output channels in two sections", 1, 4, 3, 3, 2, 260, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1,
       0, 1, 2, 1, 1, 1, false},
      {"stride 4, 2x2, five row sections: two see no input row, bias", 1, 3, 3, 3, 1, 4, 2, 2, 1, 1, 0, 0, 0, 0, 4,
       4, 0, 0, 1, 0, 1, 1, 1, 5, 0, false},
      {"the same accumulating, input channels in two steps", 2, 4, 3, 3, 1, 4, 2, 2, 1, 1, 0, 0, 0, 0, 4, 4, 0, 0, 1,
       1, 2, 1, 1, 5, 1, false},
      {"the same without bias, 130 channels in two sections", 1, 2, 3, 2, 1, 130, 2, 2, 1, 1, 0, 0, 0, 0, 4, 3, 0, 0,
       0, 0, 1, 2, 1, 5, 1, false},
      {"output padding through the split", 1, 3, 4, 4, 1, 2, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2, 1, 1, 1, 0, 0, 0, 0, 0, 1,
       true},
  };
  for (const Case &k : cases) run(rig, k);
}

INSTANTIATE_TEST_SUITE_P(All, DeconvLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(DeconvChecks, WrapperStopsWithoutAPlan) {
  FirmwareRig rig;
  const FwOutcome out = rig.run_checks([](cmd_id_node_t *node) {
    nodechip_deconv_forward_parallel_with_data_split(kIn, kOut, kW, kBias, 2, 1, 2, 400000, 1, 1, 1, 1, 1, 1, 0, 0, 0,
                                                     0, 1, 1, 0, 0, 0, 0, 0, 1, node);
  });
  EXPECT_TRUE(out.asserted);
  const std::string text = console_text(out.uart);
  const size_t log = text.find("The input size is too large, cannot split data\n");
  const size_t stop =
      text.find("ASSERT_FS firmware/layers/conv/deconv.cpp: nodechip_deconv_forward_parallel_with_data_split: ");
  ASSERT_NE(log, std::string::npos) << text;
  ASSERT_NE(stop, std::string::npos) << text;
  EXPECT_LT(log, stop);
  EXPECT_NE(text.find(": 0\n", stop), std::string::npos) << text;
  EXPECT_EQ(rig.commands_issued(), 0u);
}

TEST(DeconvChecks, PadsAndSteps) {
  // A pad beyond the dilated kernel extent minus one.
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_deconv_forward_parallel(kIn, kW, kBias, kOut, 1, 2, 4, 4, 1, 2, 4, 4, 3, 3, 1, 1, 3, 0, 0, 0, 2, 2, 0,
                                         0, 0, 1, 1, 1, 1, 1, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_deconv_forward_parallel",
      "pad_h_t >= 0 && pad_h_b >= 0 && pad_w_l >= 0 && pad_w_r >= 0");
  // Three input channels in three sections: steps of 0 channels would never end.
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_deconv_forward_parallel(kIn, kW, kBias, kOut, 1, 3, 4, 4, 1, 2, 9, 9, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2, 0,
                                         0, 0, 3, 1, 1, 1, 1, node);
      },
      "ASSERT", "firmware/layers/conv/", "nodechip_deconv_forward_parallel", "step > 0",
      "icsecs 3 leaves sections of 1 input channels");
}

}  // namespace
}  // namespace zv::test
