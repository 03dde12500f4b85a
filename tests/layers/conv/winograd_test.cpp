// Float Winograd convolution: the layout by table; the layer on weights the
// host transformed, against the direct 3x3 reference within a float
// tolerance, under every schedule with the happens-before checker, with both
// weight arrangements, odd row chunks and widths, groups, several sections
// and accumulation; the arrangement-2 section check.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "conv_rig.h"
#include "fw_test.h"
#include "layers/conv/winograd.h"
#include "ref/conv_ref.h"

namespace zv::test {
namespace {

using namespace conv_rig;

struct Case {
  const char *what;
  int n, ic, h, w, groups, oc, pt, pb, pl, pr, bias, result_add, hsecs, nsecs, icsecs, ocsecs, relu, arrangement;
};

// Results agree with the direct convolution within this relative bound (the
// Winograd transforms round differently from a direct sum).
constexpr double kTolerance = 1e-5;

void run(LayerRunner &rig, const Case &k) {
  SCOPED_TRACE(k.what);
  const int icg = k.ic / k.groups, ocg = k.oc / k.groups, ocn = (ocg + 63) / 64, lanes = ocg < 64 ? ocg : 64;
  ref::conv::T4 in(k.n, k.ic, k.h, k.w), w(k.oc, icg, 3, 3);
  for (size_t i = 0; i < in.v.size(); i++) in.v[i] = small(i, 1, 3);
  for (size_t i = 0; i < w.v.size(); i++) w.v[i] = small(i, 2, 2);
  std::vector<double> bias(size_t(k.oc));
  for (size_t i = 0; i < bias.size(); i++) bias[i] = small(i, 3, 9) * 0.5;
  ref::conv::Window win;
  win.kh = 3, win.kw = 3, win.pad_t = k.pt, win.pad_b = k.pb, win.pad_l = k.pl, win.pad_r = k.pr;
  ref::conv::T4 want = ref::conv::convolution(in, w, k.bias ? bias : std::vector<double>{}, k.groups, win);
  std::vector<float> old(want.v.size());
  for (size_t i = 0; i < old.size(); i++) old[i] = small(i, 4, 5);
  if (k.result_add)
    for (size_t i = 0; i < old.size(); i++) want.v[i] += old[i];
  // Transformed weights and bias in the chosen arrangement.
  // Arrangement 2 gives every lane ocn slots, the last ones unused.
  const size_t slots = k.arrangement == 1 ? size_t(ocg) : size_t(lanes) * ocn;
  std::vector<float> tw(size_t(k.groups) * icg * slots * 16), tb(size_t(k.groups) * slots);
  for (int g = 0; g < k.groups; g++)
    for (int o = 0; o < ocg; o++) {
      const int oc = g * ocg + o;
      const size_t bat = k.arrangement == 1 ? size_t(oc) : size_t(g) * lanes * ocn + size_t(o % 64) * ocn + o / 64;
      tb[bat] = float(bias[size_t(oc)]);
      for (int i = 0; i < icg; i++) {
        double kern[3][3];
        for (int r = 0; r < 3; r++)
          for (int q = 0; q < 3; q++) kern[r][q] = w.at(oc, i, r, q);
        const std::vector<double> u = ref::conv::winograd_weights(kern);
        for (int e = 0; e < 16; e++) {
          const size_t at = k.arrangement == 1
                                ? ((size_t(g) * icg + i) * ocg + o) * 16 + e
                                : (((size_t(g) * lanes + o % 64) * icg + i) * ocn + o / 64) * 16 + e;
          tw[at] = float(u[size_t(e)]);
        }
      }
    }
  put<float>(rig, kIn, std::vector<float>(in.v.begin(), in.v.end()));
  put<float>(rig, kW, tw);
  put<float>(rig, kBias, tb);
  put<float>(rig, kOut, old);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_winograd_forward_parallel(kIn, kOut, kW, kBias, k.n, k.ic, k.h, k.w, k.groups, k.oc, k.pt, k.pb, k.pl,
                                       k.pr, k.bias, k.result_add, k.hsecs, k.nsecs, k.icsecs, k.ocsecs, k.relu, 0.0f,
                                       k.arrangement, node);
  }));
  const std::vector<float> got = get<float>(rig, kOut, want.v.size());
  for (size_t i = 0; i < got.size(); i++) {
    const double e = k.relu && want.v[i] < 0 ? 0.0 : want.v[i];
    ASSERT_NEAR(double(got[i]), e, kTolerance * (1.0 + std::fabs(e))) << "element " << i;
  }
}

TEST(WinogradPlan, Layout) {
  wino_layout_t l;
  // Resident: one bias and one weight buffer, the input after them.
  wino_layout_of(&l, 1, 64, 56, 56, 1, 64, 1, 1, 1, 1, 1, 2, 1, 1, 1);
  EXPECT_TRUE(l.resident);
  EXPECT_EQ(l.oh, 56);
  EXPECT_EQ(l.ohc, 28);
  EXPECT_EQ(l.ihmax, 30);
  EXPECT_EQ(l.weight[0], 128u);
  EXPECT_EQ(l.input[0], 128u + 64u * 64u);
  EXPECT_TRUE(local_areas_valid(l.areas, WINO_AREA_COUNT));
  // Sections: two of each.
  wino_layout_of(&l, 2, 100, 10, 9, 1, 130, 1, 1, 1, 1, 1, 2, 2, 2, 2);
  EXPECT_FALSE(l.resident);
  EXPECT_EQ(l.bias[1], 12u);
  EXPECT_EQ(l.weight[1], l.weight[0] + 64u * 50u * 2u);
  EXPECT_TRUE(local_areas_valid(l.areas, WINO_AREA_COUNT));
  EXPECT_LE(l.top_local_offset1 + l.max_ofsize, 1u << 19);
}

class WinogradLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(WinogradLayer, AgainstTheDirectReference) {
  LayerRunner rig(GetParam());
  const Case cases[] = {
      // what                                     n  ic  h  w  g  oc pt pb pl pr b ra hs ns is os relu arr
      {"resident, pad 1, even extents", 1, 3, 6, 6, 1, 4, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 1},
      {"odd width and odd row chunks", 2, 4, 7, 7, 1, 5, 1, 1, 1, 1, 1, 0, 3, 2, 1, 1, 0, 1},
      {"input sections, accumulate, ReLU", 1, 6, 8, 6, 1, 3, 0, 1, 1, 0, 1, 1, 2, 1, 3, 1, 1, 1},
      {"130 output channels in two lane sections", 1, 2, 5, 6, 1, 130, 1, 1, 1, 1, 1, 0, 1, 1, 1, 2, 0, 1},
      {"groups", 1, 4, 6, 5, 2, 6, 1, 1, 1, 1, 1, 0, 2, 1, 1, 1, 0, 1},
      {"arrangement 2, 130 channels", 1, 3, 6, 6, 1, 130, 1, 1, 1, 1, 1, 0, 2, 1, 2, 1, 0, 2},
  };
  for (const Case &k : cases) run(rig, k);
}

INSTANTIATE_TEST_SUITE_P(All, WinogradLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(WinogradChecks, WrapperStopsWithoutAPlan) {
  FirmwareRig rig;
  const FwOutcome out = rig.run_checks([](cmd_id_node_t *node) {
    nodechip_winograd_forward_parallel_with_data_split(kIn, kOut, kW, kBias, 2, 1, 2, 400000, 1, 1, 1, 1, 1, 1, 0, 0,
                                                       0, 0.0f, 1, node);
  });
  EXPECT_TRUE(out.asserted);
  const std::string text = console_text(out.uart);
  const size_t log = text.find("The input size is too large, cannot split data\n");
  const size_t stop =
      text.find("ASSERT_FS firmware/layers/conv/winograd.cpp: nodechip_winograd_forward_parallel_with_data_split: ");
  ASSERT_NE(log, std::string::npos) << text;
  ASSERT_NE(stop, std::string::npos) << text;
  EXPECT_LT(log, stop);
  EXPECT_EQ(rig.commands_issued(), 0u);
}

TEST(WinogradChecks, ArrangementTwoTakesOneSection) {
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_winograd_forward_parallel(kIn, kOut, kW, kBias, 1, 3, 6, 6, 1, 130, 1, 1, 1, 1, 0, 0, 1, 1, 1, 2, 0,
                                           0.0f, 2, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_winograd_forward_parallel", "ocsecs == 1");
}

}  // namespace
}  // namespace zv::test
