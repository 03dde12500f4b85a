// Float global convolution: the layout and slice spans by table; the layer
// against the direct reference under every schedule with the happens-before
// checker, over shapes that force every cut (groups, output-lane, batch, row,
// column and input-channel sections), both weight layouts, accumulation,
// ReLU with a limit, slices wholly in the padding and padded extents
// beyond one command (pieces); the wrapper's split and
// its refusal to run without a plan.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmd/data_split.h"
#include "conv_rig.h"
#include "fw_test.h"
#include "layers/conv/conv.h"
#include "ref/conv_ref.h"

namespace zv::test {
namespace {

using namespace conv_rig;

struct Shape {
  const char *what;
  int n, ic, h, w, groups, oc, kh, kw, dh, dw, pt, pl, pb, pr, sh, sw;
  int bias, result_add, hsecs, wsecs, nsecs, icsecs, ocsecs, relu;
  float limit;
  int layout;
};

// Weights of the reference (oc x icg x kh x kw) in the layer's global layout:
// per group, output channels of icg_even input channels.
std::vector<float> pack_weights(const ref::conv::T4 &w, int groups, int layout) {
  const int oc = w.n, icg = w.c, taps = w.h * w.w, icg_even = (icg + 1) & ~1;
  std::vector<float> out(size_t(oc) * icg_even * taps, 77.0f);  // the padding channel is never read
  (void)groups;
  for (int o = 0; o < oc; o++)
    for (int i = 0; i < icg; i++)
      for (int p = 0; p < taps; p++) {
        const size_t at = layout == 1 ? (size_t(o) * taps + p) * icg_even + i : (size_t(o) * icg_even + i) * taps + p;
        out[at] = float(w.v[(size_t(o) * icg + i) * taps + p]);
      }
  return out;
}

void run_shape(LayerRunner &rig, const Shape &k, bool wrapper = false) {
  SCOPED_TRACE(k.what);
  ref::conv::T4 in(k.n, k.ic, k.h, k.w), w(k.oc, k.ic / k.groups, k.kh, k.kw);
  for (size_t i = 0; i < in.v.size(); i++) in.v[i] = small(i, 1, 3);
  for (size_t i = 0; i < w.v.size(); i++) w.v[i] = small(i, 2, 2);
  std::vector<double> bias(size_t(k.oc));
  for (size_t i = 0; i < bias.size(); i++) bias[i] = small(i, 3, 9) * 0.5;
  ref::conv::Window win;
  win.kh = k.kh, win.kw = k.kw, win.dh = k.dh, win.dw = k.dw, win.pad_t = k.pt, win.pad_b = k.pb, win.pad_l = k.pl,
  win.pad_r = k.pr, win.stride_h = k.sh, win.stride_w = k.sw;
  ref::conv::T4 want = ref::conv::convolution(in, w, k.bias ? bias : std::vector<double>{}, k.groups, win);
  std::vector<float> old(want.v.size());
  for (size_t i = 0; i < old.size(); i++) old[i] = small(i, 4, 5);
  if (k.result_add)
    for (size_t i = 0; i < old.size(); i++) want.v[i] += old[i];
  std::vector<float> fin(in.v.begin(), in.v.end()), fbias(bias.begin(), bias.end());
  put<float>(rig, kIn, fin);
  put<float>(rig, kW, pack_weights(w, k.groups, wrapper ? 1 : k.layout));
  put<float>(rig, kBias, fbias);
  put<float>(rig, kOut, old);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    if (wrapper)
      nodechip_conv_forward_parallel_with_data_split(kIn, kOut, kW, kBias, k.n, k.ic, k.h, k.w, k.groups, k.oc, k.kh,
                                                     k.kw, k.dh, k.dw, k.pt, k.pb, k.pl, k.pr, k.sh, k.sw, k.bias,
                                                     k.result_add, k.relu, k.limit, node);
    else
      nodechip_conv_forward_parallel(kIn, kOut, kW, kBias, k.n, k.ic, k.h, k.w, k.groups, k.oc, k.kh, k.kw, k.dh,
                                     k.dw, k.pt, k.pl, k.pb, k.pr, k.sh, k.sw, k.bias, k.result_add, k.hsecs,
                                     k.wsecs, k.nsecs, k.icsecs, k.ocsecs, k.relu, k.limit, k.layout, node);
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

TEST(ConvPlan, SpansAndLayout) {
  conv_span_t s;
  // Rows 0..3 of stride 2, kernel 3, pad 1 over 8 rows: rows 0..7 with pad 1 above.
  conv_span_of(&s, 0, 4, 2, 3, 1, 8);
  EXPECT_EQ(s.first, 0);
  EXPECT_EQ(s.pad_lo, 1);
  EXPECT_EQ(s.count, 8);
  EXPECT_EQ(s.pad_hi, 1);
  // A span wholly in the bottom pad.
  conv_span_of(&s, 5, 2, 1, 1, 0, 4);
  EXPECT_LE(s.count, 0);
  EXPECT_EQ(conv_sec_size(10, 4, 1), 3);
  EXPECT_EQ(conv_sec_start(10, 4, 3), 8);

  struct Case {
    const char *what;
    int n, ic, h, w, groups, oc, kh, kw, hsecs, wsecs, nsecs, icsecs, ocsecs, bias;
    bool fits;
  };
  const Case cases[] = {
      {"3x3 56x56x64->64", 1, 64, 56, 56, 1, 64, 3, 3, 1, 1, 1, 1, 1, 1, true},
      {"1x1 28x28x256->512 in two lane sections", 1, 256, 28, 28, 1, 512, 1, 1, 1, 1, 1, 1, 2, 1, true},
      {"whole 224x224x64 does not fit", 1, 64, 224, 224, 1, 64, 3, 3, 1, 1, 1, 1, 1, 0, false},
      {"224x224x64 in 4 row sections", 1, 64, 224, 224, 1, 64, 3, 3, 4, 1, 1, 1, 1, 0, true},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    conv_layout_t l;
    const conv_window_t w = conv_window_of(k.kh, k.kw, 1, 1, k.kh / 2, k.kh / 2, k.kw / 2, k.kw / 2, 1, 1);
    const conv_secs_info_t secs = {u32(k.ocsecs), u32(k.icsecs), u32(k.nsecs), u32(k.hsecs), u32(k.wsecs)};
    conv_layout_of(&l, k.n, k.ic, k.h, k.w, k.groups, k.oc, &w, k.bias, &secs);
    EXPECT_EQ(l.top_local_offset1 + l.max_ofsize <= (1u << 19), k.fits);
    if (k.fits) {
      EXPECT_TRUE(local_areas_valid(l.areas, l.area_count));
    }
    EXPECT_EQ(l.output[0] % 0x10000, 0u);
    EXPECT_EQ(l.input[0] % 128, 0u);
  }
}

TEST(ConvPlan, PipelineSections) {
  struct Case {
    const char *what;
    conv_secs_info_t in;  // ocsecs, icsecs, nsecs, hsecs, wsecs
    int n, ic, groups, oc, k, oh, ow;
    u32 hsecs;
  };
  const Case cases[] = {
      {"small layer: one step", {1, 1, 1, 1, 1}, 1, 8, 1, 8, 3, 16, 16, 1},
      {"3x3 56x56x64->64: 116 M products in 7 steps", {1, 1, 1, 1, 1}, 1, 64, 1, 64, 3, 56, 56, 7},
      {"1x1 28x28x256->512", {1, 1, 1, 1, 1}, 1, 256, 1, 512, 1, 28, 28, 7},
      {"other sections count as steps", {2, 1, 1, 2, 1}, 1, 64, 1, 64, 3, 56, 56, 4},
      {"never more sections than rows", {1, 1, 1, 1, 1}, 1, 4096, 1, 512, 3, 3, 400, 3},
      {"columns already cut: left alone", {1, 1, 1, 28, 2}, 1, 64, 1, 64, 3, 28, 2100, 28},
      {"groups count as steps", {1, 1, 1, 1, 1}, 1, 64, 8, 64, 3, 56, 56, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    conv_secs_info_t secs = k.in;
    conv_pipeline_secs(&secs, CONV_PIPE_STEP_MACS, k.n, k.ic, k.groups, k.oc, k.k, k.k, k.oh, k.ow);
    EXPECT_EQ(secs.hsecs, k.hsecs);
    EXPECT_EQ(secs.wsecs, k.in.wsecs);
    EXPECT_EQ(secs.ocsecs, k.in.ocsecs);
  }
}

TEST(ConvPlan, EdgeParts) {
  struct Case {
    const char *what;
    int rows;
    u64 weight_bytes;
    i64 step_macs;
    int head, tail;
  };
  const i64 big = 64 * CONV_PART_MACS;
  const Case cases[] = {
      {"one lane row: no parts", 1, 1u << 20, big, 1, 1},
      {"two rows, small weights: the tail only", 2, 32u << 10, big, 1, 2},
      {"weights at the limit: the head splits", 2, CONV_HEAD_SPLIT_BYTES, big, 2, 2},
      {"just below the limit", 8, CONV_HEAD_SPLIT_BYTES - 1, big, 1, CONV_TAIL_PARTS},
      {"eight rows: the tail is capped", 8, 512u << 10, big, 2, CONV_TAIL_PARTS},
      {"no rows counts as one", 0, 1u << 20, big, 1, 1},
      {"a step of three parts' products", 8, 512u << 10, 3 * CONV_PART_MACS + 1, 2, 3},
      {"a short step does not split", 8, 512u << 10, 2 * CONV_PART_MACS - 1, 1, 1},
      {"no products: no parts", 8, 512u << 10, 0, 1, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    conv_edge_parts_t p;
    conv_edge_parts_of(&p, k.rows, k.weight_bytes, k.step_macs, CONV_PART_MACS);
    EXPECT_EQ(p.head, k.head);
    EXPECT_EQ(p.tail, k.tail);
  }
}

class ConvLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(ConvLayer, AgainstTheDirectReference) {
  LayerRunner rig(GetParam());
  const Shape shapes[] = {
      // what                                  n ic  h  w  g oc kh kw dh dw pt pl pb pr sh sw b ra hs ws ns is os relu lim lay
      {"1x1, layout 1, bias", 2, 5, 4, 6, 1, 7, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 0, 0.0f, 1},
      {"3x3 pad 1, layout 0, row and column sections", 1, 6, 9, 11, 1, 5, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 3, 2, 1,
       1, 1, 0, 0.0f, 0},
      {"3x3 stride 2, asymmetric pads", 2, 3, 10, 9, 1, 4, 3, 3, 1, 1, 0, 2, 1, 0, 2, 2, 1, 0, 2, 1, 2, 1, 1, 0, 0.0f,
       1},
      {"7x7 dilation 2, stride 2", 1, 2, 20, 18, 1, 3, 7, 7, 2, 2, 3, 3, 3, 3, 2, 2, 0, 0, 2, 2, 1, 1, 1, 0, 0.0f, 1},
      {"groups with odd channels, layout 0", 2, 6, 5, 5, 2, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 0,
       0.0f, 0},
      {"depthwise as groups", 1, 4, 6, 6, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 2, 1, 1, 1, 1, 0, 0.0f, 1},
      {"130 output channels in three lane sections, ReLU", 1, 3, 4, 4, 1, 130, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1,
       1, 1, 1, 3, 1, 0.0f, 1},
      {"70 input channels in two sections, bias once, accumulate", 2, 70, 3, 5, 1, 6, 3, 1, 1, 1, 1, 0, 1, 0, 1, 1, 1,
       1, 1, 1, 2, 2, 1, 0, 0.0f, 0},
      {"ReLU with an upper limit", 1, 4, 6, 6, 1, 5, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 2, 2, 1, 1, 1, 1, 6.0f, 1},
      {"rows wholly in the padding: bias only", 1, 2, 2, 3, 1, 3, 1, 1, 1, 1, 3, 0, 3, 0, 1, 1, 1, 0, 4, 1, 1, 1, 1, 0,
       0.0f, 1},
      {"rows wholly in the padding, accumulate", 1, 2, 2, 3, 1, 3, 1, 1, 1, 1, 3, 0, 3, 0, 1, 1, 0, 1, 4, 1, 1, 1, 1,
       0, 0.0f, 0},
      {"width 2100: output columns in pieces", 2, 2, 3, 2100, 1, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1,
       0, 0.0f, 1},
      {"height 2100 in pieces, two input sections added, accumulate", 1, 4, 2100, 3, 1, 2, 3, 3, 1, 1, 1, 1, 1, 1, 1,
       1, 1, 1, 1, 1, 1, 2, 1, 0, 0.0f, 0},
      {"4100 input channels in two sections", 1, 4100, 2, 2, 1, 3, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 0, 1, 1, 1, 2, 1,
       0, 0.0f, 1},
      // 130 output channels (three lane rows) with 196 KB of weights and
      // steps of 3 x 2^22 products: the first step convolves in two parts,
      // each after its weights; the last stores three parts.
      {"first and last steps in lane-row parts, ReLU, layout 0", 1, 256, 16, 32, 1, 130, 1, 1, 1, 1, 0, 0, 0, 0, 1,
       1, 1, 0, 2, 1, 1, 1, 1, 1, 0.0f, 0},
      {"one step in parts, accumulate, layout 1", 1, 256, 6, 6, 1, 130, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
       1, 1, 0, 0.0f, 1},
      {"parts per batch item, two groups, ReLU limit", 2, 200, 20, 22, 2, 260, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 0, 1,
       1, 2, 1, 1, 1, 4.0f, 1},
  };
  for (const Shape &k : shapes) run_shape(rig, k);
}

TEST_P(ConvLayer, WrapperTakesTheSplit) {
  LayerRunner rig(GetParam());
  // 200 x 200 planes do not fit whole: the split cuts them.
  const Shape k = {"3x3 200x200x3->2 by the split", 1, 3, 200, 200, 1, 2, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,
                   0, 0, 0, 0, 0, 1, 0.0f, 1};
  conv_secs_info_t secs;
  ASSERT_EQ(global_conv_data_split(1, 3, 200, 200, 2, 200, 200, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, &secs), 1);
  EXPECT_GT(secs.hsecs * secs.wsecs, 1u);
  run_shape(rig, k, true);
  // A layer that fits whole but has 38 M products runs as three row sections.
  const Shape big = {"3x3 64x64x16->64 in pipeline steps", 1, 16, 64, 64, 1, 64, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,
                     0, 0, 0, 0, 0, 0, 0.0f, 1};
  ASSERT_EQ(global_conv_data_split(1, 16, 64, 64, 64, 64, 64, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, &secs), 1);
  EXPECT_EQ(secs.hsecs, 1u);
  conv_pipeline_secs(&secs, CONV_PIPE_STEP_MACS, 1, 16, 1, 64, 3, 3, 64, 64);
  EXPECT_EQ(secs.hsecs, 3u);
  run_shape(rig, big, true);
}

INSTANTIATE_TEST_SUITE_P(All, ConvLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(ConvLayerChecks, StopsOnBadPlans) {
  {
    // No plan: the wrapper logs, then stops before it issues anything.
    FirmwareRig rig;
    const FwOutcome out = rig.run_checks([](cmd_id_node_t *node) {
      nodechip_conv_forward_parallel_with_data_split(kIn, kOut, kW, kBias, 2, 1, 2, 400000, 1, 1, 1, 1, 1, 1, 0, 0, 0,
                                                     0, 1, 1, 0, 0, 0, 0.0f, node);
    });
    EXPECT_TRUE(out.asserted);
    const std::string text = console_text(out.uart);
    const size_t log = text.find("The input size is too large, cannot split data\n");
    const size_t stop = text.find(
        "ASSERT_FS firmware/layers/conv/conv.cpp: nodechip_conv_forward_parallel_with_data_split: ");
    ASSERT_NE(log, std::string::npos) << text;
    ASSERT_NE(stop, std::string::npos) << text;
    EXPECT_LT(log, stop);
    EXPECT_NE(text.find(": split\n", stop), std::string::npos) << text;
    EXPECT_EQ(rig.commands_issued(), 0u);
  }
  // A slice too large for a lane.
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_conv_forward_parallel(kIn, kOut, kW, kBias, 1, 64, 224, 224, 1, 64, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0,
                                       0, 1, 1, 1, 1, 1, 0, 0.0f, 1, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_conv_forward_parallel", "top_local_offset1 + max_ofsize <= (1<<19)");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_conv_forward_parallel(kIn, kOut, kW, kBias, 2, 4, 8, 8, 1, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1,
                                       3, 1, 1, 0, 0.0f, 1, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_conv_forward_parallel", "nsecs <= input_n");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_conv_forward_parallel(kIn, kOut, kW, kBias, 1, 4, 8, 8, 1, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 9, 1,
                                       1, 1, 1, 0, 0.0f, 1, node);
      },
      "ASSERT_FS", "firmware/layers/conv/", "nodechip_conv_forward_parallel", "hsecs <= output_h");
}

}  // namespace
}  // namespace zv::test
