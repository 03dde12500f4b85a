// The geometry of the local controllers that change the slice: output rows
// and kernel paddings of convolution-like layers, and pooling output sizes.
// The controllers themselves run end to end in the API suite; an 8-bit local
// pad runs here through the network-run API.
#include <gtest/gtest.h>

#include <vector>

#include "api_checks.h"
#include "fw_test.h"
#include "interp/fullnet.h"
#include "interp/local_ctrl.h"
#include "net_writer.h"

namespace zv::test {
namespace {

TEST(InterpLocalGeometry, ConvolutionSlices) {
  struct Case {
    const char *what;
    bool h_split;
    dynamic_conv_geometry_in_t in;
    dynamic_conv_geometry_t want;
  };
  // 3x3, stride 1, padding 1 over H = 32 (W = 8).
  auto in3 = [](i32 Pi, i32 s, i32 R) { return dynamic_conv_geometry_in_t{Pi, s, R, 32, 8, 3, 3, 1, 1, 1, 1, 1, 1}; };
  const Case cases[] = {
      {"inner slice", true, in3(0, 8, 10), {32, 8, 0, 9, 8, 0, 0, 10, 8, 0, 0}},
      {"first slice with its top padding", true, in3(1, 0, 10), {32, 8, 0, 0, 8, 1, 0, 9, 8, 0, 0}},
      {"last slice takes the bottom padding", true, in3(0, 23, 10), {32, 8, 0, 24, 8, 0, 1, 9, 8, 0, 0}},
      {"whole height", false, in3(0, 0, 32), {32, 8, 0, 0, 32, 1, 1, 32, 32, 0, 0}},
      {"padding above the kernel's", true, dynamic_conv_geometry_in_t{3, 0, 10, 32, 8, 3, 3, 1, 1, 1, 1, 1, 1},
       {32, 8, 2, 0, 8, 1, 0, 7, 6, 0, 0}},
      {"stride 2", true, dynamic_conv_geometry_in_t{0, 7, 9, 32, 8, 3, 3, 1, 1, 1, 1, 2, 2},
       {16, 4, 0, 4, 4, 0, 0, 9, 4, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    dynamic_conv_geometry_t g;
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { dynamic_conv_geometry_of(&g, &c.in, c.h_split); })));
    EXPECT_EQ(g.OH, c.want.OH);
    EXPECT_EQ(g.ow, c.want.ow);
    EXPECT_EQ(g.out_pad_top, c.want.out_pad_top);
    EXPECT_EQ(g.out_h_start, c.want.out_h_start);
    EXPECT_EQ(g.out_window_rows, c.want.out_window_rows);
    EXPECT_EQ(g.kernel_pt, c.want.kernel_pt);
    EXPECT_EQ(g.kernel_pb, c.want.kernel_pb);
    EXPECT_EQ(g.r, c.want.r);
    EXPECT_EQ(g.oh, c.want.oh);
  }
  expect_assert([] {
    const dynamic_conv_geometry_in_t in = {0, 0, 4, 4, 4, 3, 3, 1, 1, 1, 1, 0, 1};
    dynamic_conv_geometry_t g;
    dynamic_conv_geometry_of(&g, &in, 1);
  }, "ASSERT", "firmware/interp/", "dynamic_conv_geometry_of", "in->sh > 0 && in->sw > 0", "strides 0, 1");
}

TEST(InterpLocalGeometry, DeconvolutionSlices) {
  // 3x3, stride 2, padding 1, output padding 1 over 4 x 4: the full output is
  // 8 x 8; the transposed paddings are 1, grown at the bottom and right so the
  // zero-inserted input (7 rows) covers 8 outputs.
  const dynamic_conv_geometry_in_t whole = {0, 0, 4, 4, 4, 3, 3, 1, 1, 1, 1, 2, 2};
  // The last slice: input rows 2 and 3 and a window of 3 rows reaching past
  // the input, so it takes a bottom padding of 1: 2 x (2 - 1) + 2 - 3 + 0 + 1
  // = 2 output rows; the window covers 2 x (3 - 1) + 1 = 5.
  const dynamic_conv_geometry_in_t last = {0, 2, 3, 4, 4, 3, 3, 1, 1, 1, 1, 2, 2};
  struct Case {
    const char *what;
    dynamic_conv_geometry_in_t in;
    bool h_split, fp32;
    dynamic_conv_geometry_t want;
  };
  const Case cases[] = {
      {"whole height, float", whole, false, true, {8, 8, 0, 0, 8, 1, 2, 4, 8, 1, 2}},
      {"whole height, 8-bit keeps the right padding", whole, false, false, {8, 8, 0, 0, 8, 1, 2, 4, 8, 1, 1}},
      {"last slice", last, true, true, {8, 8, 0, 6, 5, 0, 1, 2, 2, 1, 1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    dynamic_conv_geometry_t g;
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { dynamic_deconv_geometry_of(&g, &c.in, 1, 1, c.h_split, c.fp32); })));
    EXPECT_EQ(std::vector<i32>({g.OH, g.ow, g.out_pad_top, g.out_h_start, g.out_window_rows, g.kernel_pt,
                                g.kernel_pb, g.r, g.oh, g.kernel_pl, g.kernel_pr}),
              std::vector<i32>({c.want.OH, c.want.ow, c.want.out_pad_top, c.want.out_h_start, c.want.out_window_rows,
                                c.want.kernel_pt, c.want.kernel_pb, c.want.r, c.want.oh, c.want.kernel_pl,
                                c.want.kernel_pr}));
  }
}

TEST(InterpLocalGeometry, PoolingOutputExtentByCeilMode) {
  struct Case {
    i32 extent, pad_lo, pad_hi, kernel, stride;
    u32 ceil_mode;
    i32 want;
  };
  const Case cases[] = {
      {7, 0, 0, 2, 2, 0, 3},  // floor
      {7, 0, 0, 2, 2, 1, 4},  // ceil: a remainder adds one
      {6, 0, 0, 2, 2, 1, 3},  // ceil, no remainder
      {7, 0, 0, 2, 2, 2, 4},  // mode 2: the extra window starts inside (2 x 3 < 7)
      {7, 0, 0, 3, 3, 2, 3},  // mode 2: remainder 1, 3 x 2 = 6 < 7: the extra window
      {9, 0, 0, 3, 3, 2, 3},  // mode 2: no remainder
      {2, 0, 0, 3, 1, 0, 1},  // a window larger than the input: 1
      {5, 1, 1, 3, 2, 0, 3},
  };
  for (const Case &c : cases) {
    i32 got = 0;
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] {
      got = dynamic_pool_output_extent(c.extent, c.pad_lo, c.pad_hi, c.kernel, c.stride, c.ceil_mode);
    })));
    EXPECT_EQ(got, c.want) << c.extent << " " << c.kernel << "/" << c.stride << " mode " << c.ceil_mode;
  }
}

TEST(InterpLocalPad, EightBitPadTakesTheByteOfItsValueOnEveryTarget) {
  // Four 8-bit items [4, 3, 4, 5] handed to the network in 4N, padded in
  // local memory (h by 1 and 1, w by 2 before) with -1, stored one item per
  // byte: the border is the signed byte -1 (0xff).
  using namespace net;
  using namespace net::card_areas;
  constexpr uint32_t kDsize8 = 2, kLocalIn = 0, kLocalOut = 0x20000;
  const uint32_t N = 4, C = 3, H = 4, W = 5, OH = H + 2, OW = W + 2;
  std::vector<uint8_t> in(N * C * H * W);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 5 + 3);
  std::vector<uint8_t> want(N * C * OH * OW, 0xff);
  for (uint32_t n = 0; n < N * C; n++)
    for (uint32_t y = 0; y < H; y++)
      for (uint32_t x = 0; x < W; x++) want[(n * OH + y + 1) * OW + x + 2] = in[(n * H + y) * W + x];
  Group g;
  g.inputs = {1};
  g.n_slice = N;
  g.steps.push_back({{}, {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kDsize8))}}});
  g.steps.push_back({{{0, layer(DYNAMIC_LAYER_PAD, kDsize8, Record(72).f32(4, -1.0f).u32(28, 1).u32(32, 1).u32(36, 2),
                                {1, 9, kLocalIn, kLocalOut})}},
                     {}});
  g.steps.push_back({{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalOut, 9, kDsize8))}}});
  const Words desc = description({1}, {9}, {g});
  for_each_api_card([&](host::Card &card) {
    card.write(kDesc, desc.raw().data(), desc.raw().size());
    card.write(kIn, in.data(), in.size());
    RunMessage m;
    m.description_addr = kDesc;
    m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
    m.has_4n_addr = true;
    m.inputs = {IoInput{kIn, kIn + 0x10000, kDsize8, {N, C, H, W}, 0}};
    m.outputs = {IoOutput{kOut, 0, 0}};
    m.return_shape = 1;
    use_card_areas(m);
    ASSERT_TRUE(AnswerOk(card, card.send(111, run_payload(m))));
    EXPECT_EQ(card.read(kOut, want.size()), want);
  });
}

}  // namespace
}  // namespace zv::test
