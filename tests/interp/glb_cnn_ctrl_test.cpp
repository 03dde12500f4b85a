// The global convolution and pooling controllers: their output sizes by
// tables, and whole runs through API 111 (descriptions from the test-side
// writer) against the plain references, on three deferred seeds with the race
// checker and on the ARM image; bad records answer 1009 and the card serves on.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "interp/glb_cnn_ctrl.h"
#include "net_writer_cnn.h"
#include "ref/conv_fix_ref.h"
#include "ref/conv_ref.h"
#include "ref/fix8b_affine_ref.h"
#include "ref/norm_ref.h"
#include "ref/pool_ref.h"

namespace zv::test {
namespace {

using namespace net;
using namespace net::card_areas;

constexpr uint32_t kFp32 = 0;

// ---- Output sizes ----

TEST(GlbCnnSizes, PoolingExtentsByCeilMode) {
  struct Case {
    i32 in, pad, pad_after, k, stride;
    u32 ceil_mode;
    i32 out, pad_after_out;
  };
  const Case cases[] = {
      {5, 0, 0, 2, 2, 0, 2, 0},  // floor
      {5, 0, 0, 2, 2, 1, 3, 1},  // ceil: the extra window takes a bottom padding of stride - r
      {5, 0, 0, 2, 2, 2, 3, 1},  // mode 2: the extra window starts inside (5 > 4)
      {4, 0, 0, 3, 2, 0, 1, 0},  {4, 0, 0, 3, 2, 1, 2, 1}, {4, 0, 0, 3, 2, 2, 2, 1},
      {6, 0, 0, 2, 2, 1, 3, 0},  // no remainder: nothing added
      {4, 1, 0, 3, 3, 2, 2, 1},  // mode 2, r = 2 and 4 + 1 > 3: the extra window, padding + 1
      {7, 0, 0, 3, 3, 2, 3, 2},  // mode 2, r = 1, 7 > 6
      {3, 0, 0, 2, 2, 2, 2, 1},  // mode 2, r = 1, 3 > 2
      {2, 0, 0, 4, 1, 1, 1, 0},  // padded input smaller than the window: 1, in every mode
      {2, 1, 0, 4, 1, 2, 1, 0},
  };
  for (const Case &c : cases) {
    glb_pool_extent_t e{};
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { e = glb_pool_output_extent(c.in, c.pad, c.pad_after, c.k, c.stride, c.ceil_mode); })));
    EXPECT_EQ(e.out, c.out) << c.in << " k" << c.k << " s" << c.stride << " mode " << c.ceil_mode;
    EXPECT_EQ(e.pad_after, c.pad_after_out) << c.in << " k" << c.k << " s" << c.stride << " mode " << c.ceil_mode;
  }
}

TEST(GlbCnnSizes, TfPoolingExtentAndBottomPadding) {
  struct Case {
    i32 in, pad, pad_after, k, stride, out, pad_after_out;
  };
  const Case cases[] = {
      {5, 0, 0, 2, 2, 3, 1},  // the extra window and a bottom padding of 1 for the kernel
      {4, 0, 0, 2, 2, 2, 0},  // exact
      {5, 1, 1, 3, 2, 3, 1},  // record after-padding 1 enters the size; the kernel gets (3-1)x2+3-5-1 = 1
      {5, 0, 3, 3, 1, 6, 3},  // the record padding enters the size; the kernel gets 5 + 3 - 5 = 3
      {2, 0, 0, 3, 1, 1, 1},  // smaller than the window
  };
  for (const Case &c : cases) {
    glb_pool_extent_t e{};
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { e = glb_pool_tf_output_extent(c.in, c.pad, c.pad_after, c.k, c.stride); })));
    EXPECT_EQ(e.out, c.out) << c.in << " k" << c.k << " s" << c.stride;
    EXPECT_EQ(e.pad_after, c.pad_after_out) << c.in << " k" << c.k << " s" << c.stride;
  }
}

TEST(GlbCnnSizes, ConvolutionExtentAndItsChecks) {
  struct Case {
    i32 in, pad, pad_after, k, d, stride, out;
  };
  const Case cases[] = {
      {8, 1, 1, 3, 1, 1, 8}, {8, 1, 0, 3, 1, 2, 4}, {9, 0, 0, 3, 2, 1, 5}, {3, 0, 0, 3, 1, 1, 1},
      {0, 0, 0, 3, 1, 1, 0},  // an empty input stays empty
  };
  for (const Case &c : cases) {
    i32 got = -1;
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { got = glb_conv_output_extent(c.in, c.pad, c.pad_after, c.k, c.d, c.stride); })));
    EXPECT_EQ(got, c.out) << c.in << " k" << c.k << " d" << c.d << " s" << c.stride;
  }
  // A window wider than the padded input would wrap an unsigned division into
  // a huge extent; a stride of 0 would divide by zero.
  expect_assert([] { glb_conv_output_extent(2, 0, 0, 3, 1, 1); }, "ASSERT", "firmware/interp/",
                "glb_conv_output_extent", "span >= 0", "window 3 over a padded extent of 2");
  expect_assert([] { glb_conv_output_extent(8, 0, 0, 3, 1, 0); }, "ASSERT", "firmware/interp/",
                "glb_conv_output_extent", "stride > 0", "convolution stride 0");
  expect_assert([] { glb_pool_output_extent(8, 0, 0, 3, 0, 0); }, "ASSERT", "firmware/interp/",
                "glb_pool_output_extent", "stride > 0", "pooling stride 0");
}

// ---- Whole runs ----

std::vector<float> ramp(size_t count, float scale, float offset) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; i++) v[i] = float(int(i % 23)) * scale + offset;
  return v;
}

NetRun one_in_one_out(const std::vector<uint32_t> &in_shape) {
  NetRun r;
  r.inputs = {IoInput{kIn, 0, kFp32, in_shape, 0}};
  r.outputs = {IoOutput{kOut, 0, 0}};
  r.desc_addr = kDesc, r.shape_addr = kShapes, r.addr_boundary = kBoundary, r.neuron_base = kNeuron,
  r.coeff_base = kCoeff;
  return r;
}

// A global layer from net input 1 to net output 2.
Words one_layer_net(uint32_t type, uint32_t dsize, const Record &rec, const Words &middle) {
  const Words refs = Words().append(net_io_ref(1)).append(middle).append(net_io_ref(2));
  return description({1}, {2}, {global_group({1}, {}, layer(type, dsize, rec, refs))});
}

struct ConvCase {
  const char *what;
  int n, ic, h, w;
  ConvParams p;
  bool bias;
};

// Weights per output channel [kh x kw][input channels of the group rounded
// up to even]; depthwise weights per channel [kh x kw].
std::vector<float> pack_weights(const ref::conv::T4 &w, int groups, bool depthwise) {
  const int taps = w.h * w.w, icg = w.c, icg_even = depthwise ? 1 : (icg + 1) / 2 * 2;
  std::vector<float> out(size_t(w.n) * taps * icg_even, 0.0f);
  for (int o = 0; o < w.n; o++)
    for (int i = 0; i < icg; i++)
      for (int t = 0; t < taps; t++) out[(size_t(o) * taps + t) * icg_even + i] = float(w.v[(size_t(o) * icg + i) * taps + t]);
  (void)groups;
  return out;
}

TEST(GlbCnnRuns, ConvolutionAgainstTheReference) {
  auto params = [](uint16_t ic, uint16_t oc, uint32_t g, uint16_t kh, uint16_t kw) {
    ConvParams p;
    p.input_c = ic, p.output_c = oc, p.groups = g, p.kh = kh, p.kw = kw;
    return p;
  };
  std::vector<ConvCase> cases;
  {
    ConvParams p = params(3, 4, 1, 3, 3);
    p.pad_h = p.pad_h_after = p.pad_w = p.pad_w_after = 1, p.bias_mode = 1;
    cases.push_back({"3x3, padding 1, bias coefficient", 2, 3, 9, 7, p, true});
  }
  {
    ConvParams p = params(2, 3, 1, 3, 2);
    p.pad_h = 1, p.pad_w_after = 1, p.stride_h = 2, p.stride_w = 1, p.dh = 2;
    p.if_relu = 0x11, p.relu_upper_limit = 6.7f;  // low 4 bits: ReLU; the cap arrives as 6.0
    cases.push_back({"3x2, dilation 2 in h, stride 2, uneven padding, ReLU capped at 6", 1, 2, 10, 6, p, false});
  }
  {
    ConvParams p = params(4, 4, 2, 3, 3);
    p.pad_h = p.pad_h_after = p.pad_w = p.pad_w_after = 1, p.bias_mode = 1;
    cases.push_back({"two groups", 2, 4, 6, 6, p, true});
  }
  {
    ConvParams p = params(3, 3, 3, 3, 3);
    p.pad_h = p.pad_h_after = p.pad_w = p.pad_w_after = 1, p.bias_mode = 1, p.stride_h = p.stride_w = 2;
    cases.push_back({"depthwise: groups == input_c == output_c", 2, 3, 8, 8, p, true});
  }
  for_each_api_card([&](host::Card &card) {
    for (const ConvCase &c : cases) {
      SCOPED_TRACE(c.what);
      const ConvParams &p = c.p;
      const int g = int(p.groups), icg = c.ic / g, oc = p.output_c;
      ref::conv::T4 in(c.n, c.ic, c.h, c.w), w(oc, icg, p.kh, p.kw);
      const std::vector<float> inf = ramp(in.v.size(), 0.25f, -2.0f);
      for (size_t i = 0; i < in.v.size(); i++) in.v[i] = inf[i];
      for (size_t i = 0; i < w.v.size(); i++) w.v[i] = double(int(i % 7) - 3) * 0.5;
      std::vector<double> bias(oc, 0.0);
      if (c.bias)
        for (int o = 0; o < oc; o++) bias[o] = 0.25 * o - 0.5;
      ref::conv::Window win;
      win.kh = p.kh, win.kw = p.kw, win.dh = p.dh, win.dw = p.dw;
      win.pad_t = p.pad_h, win.pad_b = p.pad_h_after, win.pad_l = p.pad_w, win.pad_r = p.pad_w_after;
      win.stride_h = p.stride_h, win.stride_w = p.stride_w;
      const bool depthwise = g > 1 && g == c.ic && g == oc;
      ref::conv::T4 r = depthwise ? ref::conv::depthwise(in, w, bias, win) : ref::conv::convolution(in, w, bias, g, win);
      if (p.if_relu & 0xf)
        for (double &v : r.v) v = std::min(std::max(v, 0.0), 6.0);
      const std::vector<float> weights = pack_weights(w, g, depthwise);
      const std::vector<float> fbias(bias.begin(), bias.end());
      card.write(kIn, inf.data(), inf.size() * 4);
      card.write(kCoeff + 0x1000, weights.data(), weights.size() * 4);
      card.write(kCoeff + 0x8000, fbias.data(), fbias.size() * 4);
      Words middle = Words().dword(0x1000);
      if (p.bias_mode == 1) middle.dword(0x8000);
      const Words desc = one_layer_net(DYNAMIC_LAYER_CONV, kFp32, conv_record(p), middle);
      auto a =
          run_description(card, desc, one_in_one_out({uint32_t(c.n), uint32_t(c.ic), uint32_t(c.h), uint32_t(c.w)}));
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<float> got = get<float>(card, kOut, r.v.size());
      for (size_t i = 0; i < r.v.size(); i++) ASSERT_NEAR(got[i], r.v[i], 1e-4) << "at " << i;
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)),
                (std::vector<uint32_t>{4, uint32_t(c.n), uint32_t(oc), uint32_t(r.h), uint32_t(r.w)}));
    }
  });
}

TEST(GlbCnnRuns, ShortRecordEmptyInputAndWinogradSize) {
  auto card = deferred_card(Backend::Native, 5);
  // A 24-byte convolution record: everything past it reads 0 (no bias, no
  // ReLU, no Winograd, coefficient weights), so a 1x1 kernel of weight 2
  // doubles its input.
  {
    const std::vector<float> in = ramp(2 * 5 * 3, 0.5f, -4.0f), w = {2.0f, 0.0f};
    card->write(kIn, in.data(), in.size() * 4);
    card->write(kCoeff + 0x1000, w.data(), w.size() * 4);
    ConvParams p;
    std::vector<uint8_t> bytes = conv_record(p).bytes();
    bytes.resize(24);
    Record shortened;
    for (size_t i = 0; i < bytes.size(); i++) shortened.u8(i, bytes[i]);
    auto a = run_description(*card, one_layer_net(DYNAMIC_LAYER_CONV, kFp32, shortened, Words().dword(0x1000)),
                             one_in_one_out({2, 1, 5, 3}));
    ASSERT_TRUE(AnswerOk(*card, a));
    std::vector<float> want(in.size());
    for (size_t i = 0; i < in.size(); i++) want[i] = 2.0f * in[i];
    EXPECT_EQ(as_floats(card->read(kOut, want.size() * 4)), want);
  }
  // An empty input (batch 0) issues nothing but registers the computed shape;
  // a Winograd record with a 5x5 kernel still sizes its output as 3x3.
  for (uint8_t winograd : {0, 1}) {
    ConvParams p;
    p.input_c = 2, p.output_c = 3, p.kh = p.kw = 5, p.use_winograd = winograd;
    auto a = run_description(*card, one_layer_net(DYNAMIC_LAYER_CONV, kFp32, conv_record(p), Words().dword(0x1000)),
                             one_in_one_out({0, 2, 9, 9}));
    ASSERT_TRUE(AnswerOk(*card, a));
    const uint32_t e = winograd ? 7 : 5;
    EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 20)), (std::vector<uint32_t>{4, 0, 3, e, e}));
  }
}

TEST(GlbCnnRuns, PoolingByModeAgainstTheReference) {
  struct Case {
    const char *what;
    PoolParams p;
    int h, w;
  };
  std::vector<Case> cases;
  {
    PoolParams p;
    p.kh = p.kw = 2, p.stride_h = p.stride_w = 2, p.ceil_mode = 1;
    cases.push_back({"max 2x2 stride 2, ceil mode adds a window", p, 5, 7});
  }
  {
    PoolParams p;
    p.kh = p.kw = 3, p.stride_h = p.stride_w = 1, p.pad_h = p.pad_h_after = p.pad_w = p.pad_w_after = 1;
    cases.push_back({"max 3x3 stride 1 padding 1", p, 6, 5});
  }
  {
    PoolParams p;
    p.kh = 2, p.kw = 3, p.stride_h = 2, p.stride_w = 3, p.is_avg_pooling = 1;
    cases.push_back({"average 2x3 over exact windows", p, 6, 9});
  }
  const int N = 2, C = 3;
  for_each_api_card([&](host::Card &card) {
    for (Case c : cases) {
      SCOPED_TRACE(c.what);
      c.p.c = C;
      ref::conv::T4 in(N, C, c.h, c.w);
      const std::vector<float> inf = ramp(in.v.size(), 0.5f, -5.0f);
      for (size_t i = 0; i < in.v.size(); i++) in.v[i] = inf[i];
      ref::conv::Window win;
      win.kh = c.p.kh, win.kw = c.p.kw, win.stride_h = c.p.stride_h, win.stride_w = c.p.stride_w;
      win.pad_t = c.p.pad_h, win.pad_l = c.p.pad_w;
      // The ceil mode's extra window is a bottom (right) padding.
      win.pad_b = c.p.pad_h_after + (c.p.ceil_mode && (c.h + c.p.pad_h + c.p.pad_h_after - c.p.kh) % c.p.stride_h
                                         ? c.p.stride_h - (c.h + c.p.pad_h + c.p.pad_h_after - c.p.kh) % c.p.stride_h
                                         : 0);
      win.pad_r = c.p.pad_w_after + (c.p.ceil_mode && (c.w + c.p.pad_w + c.p.pad_w_after - c.p.kw) % c.p.stride_w
                                         ? c.p.stride_w - (c.w + c.p.pad_w + c.p.pad_w_after - c.p.kw) % c.p.stride_w
                                         : 0);
      ref::conv::T4 r = ref::conv::pool(in, win, !c.p.is_avg_pooling);
      if (c.p.is_avg_pooling)
        for (double &v : r.v) v /= double(c.p.kh) * c.p.kw;
      card.write(kIn, inf.data(), inf.size() * 4);
      auto a = run_description(card, one_layer_net(DYNAMIC_LAYER_POOLING, kFp32, pool_record(c.p), Words()),
                               one_in_one_out({uint32_t(N), uint32_t(C), uint32_t(c.h), uint32_t(c.w)}));
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<float> got = get<float>(card, kOut, r.v.size());
      for (size_t i = 0; i < r.v.size(); i++) ASSERT_NEAR(got[i], r.v[i], 1e-5) << "at " << i;
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)),
                (std::vector<uint32_t>{4, uint32_t(N), uint32_t(C), uint32_t(r.h), uint32_t(r.w)}));
    }
  });
}

TEST(GlbCnnRuns, DeconvolutionAgainstItsDefinition) {
  // 3x3, stride 2, padding 1 and 1, output padding 1, bias coefficient, two
  // groups: 4 -> 6 channels over 3 x 4, output (3-1)x2 + 2 + 1 - 2 + 1 = 6
  // rows and 8 columns.
  const int N = 2, IC = 4, OC = 6, G = 2, H = 3, W = 4, K = 3, S = 2, P = 1, OP = 1;
  const int icg = IC / G, ocg = OC / G, icg_even = (icg + 1) / 2 * 2, taps = K * K;
  const int OH = (H - 1) * S + (K - 1) + OP - 2 * P + 1, OW = (W - 1) * S + (K - 1) + OP - 2 * P + 1;
  const std::vector<float> in = ramp(size_t(N) * IC * H * W, 0.25f, -2.0f);
  std::vector<float> wt(size_t(OC) * icg * taps), bias(OC);
  for (size_t i = 0; i < wt.size(); i++) wt[i] = float(int(i % 5) - 2) * 0.5f;
  for (int o = 0; o < OC; o++) bias[o] = 0.5f * o - 1.0f;
  // Input element (y, x) adds w x in to output (y S - P + r, x S - P + q).
  std::vector<double> want(size_t(N) * OC * OH * OW);
  for (int b = 0; b < N; b++)
    for (int o = 0; o < OC; o++) {
      const int g = o / ocg;
      for (int i = 0; i < OH * OW; i++) want[(size_t(b) * OC + o) * OH * OW + i] = bias[o];
      for (int i = 0; i < icg; i++)
        for (int y = 0; y < H; y++)
          for (int x = 0; x < W; x++)
            for (int r = 0; r < K; r++)
              for (int q = 0; q < K; q++) {
                const int oy = y * S - P + r, ox = x * S - P + q;
                if (oy < 0 || oy >= OH || ox < 0 || ox >= OW) continue;
                want[((size_t(b) * OC + o) * OH + oy) * OW + ox] +=
                    double(in[((size_t(b) * IC + g * icg + i) * H + y) * W + x]) * wt[(size_t(o) * icg + i) * taps + r * K + q];
              }
    }
  // Weights per group: per output channel of the group, the input channels
  // rounded up to even, each its taps.
  std::vector<float> packed(size_t(G) * icg_even * ocg * taps, 0.0f);
  for (int o = 0; o < OC; o++)
    for (int i = 0; i < icg; i++)
      for (int t = 0; t < taps; t++)
        packed[size_t(o / ocg) * icg_even * ocg * taps + (size_t(o % ocg) * icg_even + i) * taps + t] =
            wt[(size_t(o) * icg + i) * taps + t];
  const Record rec = Record(36).u16(0, OC).u16(2, IC).u32(4, G).u16(8, K).u16(10, K).u8(12, 1).u8(13, 1)
                         .u8(14, P).u8(15, P).u8(16, P).u8(17, P).u8(18, S).u8(19, S).u8(20, 1).u8(32, OP).u8(33, OP);
  const Words desc = one_layer_net(DYNAMIC_LAYER_DECONV, kFp32, rec, Words().dword(0x1000).dword(0x8000));
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    card.write(kCoeff + 0x1000, packed.data(), packed.size() * 4);
    card.write(kCoeff + 0x8000, bias.data(), bias.size() * 4);
    auto a = run_description(card, desc, one_in_one_out({uint32_t(N), uint32_t(IC), uint32_t(H), uint32_t(W)}));
    ASSERT_TRUE(AnswerOk(card, a));
    const std::vector<float> got = get<float>(card, kOut, want.size());
    for (size_t i = 0; i < want.size(); i++) ASSERT_NEAR(got[i], want[i], 1e-4) << "at " << i;
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)),
              (std::vector<uint32_t>{4, uint32_t(N), uint32_t(OC), uint32_t(OH), uint32_t(OW)}));
  });
}

TEST(GlbCnnRuns, EightBitConvolutionAgainstTheReference) {
  // Eight items (two 4N word-batches), 5 -> 3 channels, 3x3, stride 1,
  // padding 1, a 16-bit bias coefficient, signed input and weights, a right
  // shift of 4 and ReLU: the four option bytes reach the kernel in order.
  ref::conv_fix::Conv p;
  p.n = 8, p.ic = 5, p.h = 6, p.w = 5, p.oc = 3, p.kh = p.kw = 3;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1, p.bias_mode = 1, p.rshift = 4;
  p.in_sign = p.w_sign = p.b_sign = true, p.relu = true;
  std::vector<uint8_t> in(size_t(p.groups4()) * p.ic * p.h * p.w * 4), wt(size_t(p.oc) * p.ic * 9);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 29 + 7);
  for (size_t i = 0; i < wt.size(); i++) wt[i] = uint8_t(int(i % 7) - 3);
  const std::vector<uint16_t> bias = {uint16_t(-40), 25, 300};
  const std::vector<uint8_t> recs = ref::conv_fix::weight_records(p, wt, bias, 1);
  const std::vector<uint8_t> want = ref::conv_fix::conv8(p, in, wt, bias);
  ConvParams cp;
  cp.input_c = 5, cp.output_c = 3, cp.kh = cp.kw = 3, cp.pad_h = cp.pad_h_after = cp.pad_w = cp.pad_w_after = 1;
  cp.bias_mode = 1, cp.if_relu = 1;
  cp.fix8b_opt[0] = 4, cp.fix8b_opt[1] = cp.fix8b_opt[2] = cp.fix8b_opt[3] = 1;
  const Words desc = one_layer_net(DYNAMIC_LAYER_CONV, 2, conv_record(cp), Words().dword(0x1000).dword(0x8000));
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size());
    card.write(kCoeff + 0x1000, recs.data(), recs.size());
    card.write(kCoeff + 0x8000, bias.data(), bias.size() * 2);
    NetRun run = one_in_one_out({8, 5, 6, 5});
    run.inputs[0].dtype = 2;
    auto a = run_description(card, desc, run);
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(card.read(kOut, want.size()), want);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 8, 3, 6, 5}));
  });
}

TEST(GlbCnnRuns, EightBitMaxPoolingTakesTheCeilModesBottomPadding) {
  // Four items in one 4N word-batch, signed; 2x2 windows, stride 2, ceil
  // mode over 5 x 7: 3 x 4 outputs, the last row and column from windows
  // that reach one row (column) into the grown after-padding.
  const int C = 3, H = 5, W = 7, OH = 3, OW = 4;
  std::vector<uint8_t> in(size_t(C) * H * W * 4);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 37 + 11);
  ref::pool::PoolFix8b rp;
  rp.kh = rp.kw = 2, rp.stride_h = rp.stride_w = 2, rp.pad_b = rp.pad_r = 1, rp.in_sign = rp.out_sign = true;
  const std::vector<uint8_t> want = ref::pool::pool_fix8b(in, 1, C, H, W, rp, OH, OW);
  PoolParams p;
  p.c = C, p.kh = p.kw = 2, p.stride_h = p.stride_w = 2, p.ceil_mode = 1, p.fix8b_opt0 = p.fix8b_opt1 = 1;
  const Words desc = one_layer_net(DYNAMIC_LAYER_POOLING, 2, pool_record(p), Words());
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size());
    NetRun run = one_in_one_out({4, uint32_t(C), uint32_t(H), uint32_t(W)});
    run.inputs[0].dtype = 2;
    auto a = run_description(card, desc, run);
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(card.read(kOut, want.size()), want);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 4, uint32_t(C), 3, 4}));
  });
}

TEST(GlbCnnRuns, EightBitTfPoolingPassesItsComputedBottomPadding) {
  // Four signed items, 2x2 windows, stride 2 over 5 x 5: 3 x 3 outputs; the
  // kernel gets a bottom and right padding of 1 (the record's after-paddings
  // are 0).
  const int C = 2, H = 5, W = 5;
  std::vector<uint8_t> in(size_t(C) * H * W * 4);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 53 + 3);
  ref::pool::PoolFix8b rp;
  rp.kh = rp.kw = 2, rp.stride_h = rp.stride_w = 2, rp.pad_b = rp.pad_r = 1, rp.in_sign = rp.out_sign = true;
  const std::vector<uint8_t> want = ref::pool::pool_fix8b(in, 1, C, H, W, rp, 3, 3);
  const Record rec = Record(28).u32(0, C).u32(4, 2).u32(8, 2).u8(16, 2).u8(17, 2).u8(20, 1).u8(21, 1);
  const Words desc = one_layer_net(DYNAMIC_LAYER_POOLING_TF, 2, rec, Words());
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size());
    NetRun run = one_in_one_out({4, uint32_t(C), uint32_t(H), uint32_t(W)});
    run.inputs[0].dtype = 2;
    auto a = run_description(card, desc, run);
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(card.read(kOut, want.size()), want);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 4, uint32_t(C), 3, 3}));
  });
}

TEST(GlbCnnRuns, LrnAdaptivePoolingAndInterpolationAgainstTheReferences) {
  struct Case {
    const char *what;
    uint32_t type;
    Record rec;
    std::vector<uint32_t> in_shape, out_shape;
    std::function<ref::conv::T4(const ref::conv::T4 &)> ref;
    double tol;
  };
  auto interp_record = [](const std::vector<int32_t> &out) {
    Record r(56);
    r.u8(0, 1).u8(1, uint8_t(out.size())).u8(2, 0);
    for (size_t i = 0; i < out.size(); i++) r.i32(4 + 4 * i, out[i]);
    return r;
  };
  const ref::pool::Interp corners;  // mode 0: corners aligned
  const std::vector<Case> cases = {
      {"LRN across 5 channels", DYNAMIC_LAYER_LRN,
       Record(28).u32(0, 7).f32(4, 0.02f).f32(8, 0.75f).f32(12, 1.5f).u8(16, 5), {2, 7, 3, 4}, {2, 7, 3, 4},
       [](const ref::conv::T4 &x) { return ref::norm::lrn(x, 0.02, 5, 0.75, 1.5); }, 1e-4},
      {"adaptive average pooling 7x5 to 3x2", DYNAMIC_LAYER_ADAPTIVE_POOL, Record(8).u32(0, 3).u32(4, 2), {2, 3, 7, 5},
       {2, 3, 3, 2}, [](const ref::conv::T4 &x) { return ref::pool::adaptive(x, 3, 2, true); }, 1e-5},
      {"bilinear interpolation 4x5 to 7x9, shape in the record", DYNAMIC_LAYER_INTERP, interp_record({2, 3, 7, 9}),
       {2, 3, 4, 5}, {2, 3, 7, 9}, [=](const ref::conv::T4 &x) { return ref::pool::interp(x, 0, 0, 7, 9, corners); }, 1e-5},
      {"interpolation of a 2-dimensional input runs with n = c = 1", DYNAMIC_LAYER_INTERP, interp_record({5, 3}), {3, 2},
       {5, 3}, [=](const ref::conv::T4 &x) { return ref::pool::interp(x, 0, 0, 5, 3, corners); }, 1e-5},
  };
  for_each_api_card([&](host::Card &card) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      std::vector<uint32_t> s4 = c.in_shape;
      while (s4.size() < 4) s4.insert(s4.begin(), 1);
      ref::conv::T4 in{int(s4[0]), int(s4[1]), int(s4[2]), int(s4[3])};
      const std::vector<float> inf = ramp(in.v.size(), 0.5f, -3.0f);
      for (size_t i = 0; i < in.v.size(); i++) in.v[i] = inf[i];
      const ref::conv::T4 r = c.ref(in);
      card.write(kIn, inf.data(), inf.size() * 4);
      auto a = run_description(card, one_layer_net(c.type, kFp32, c.rec, Words()), one_in_one_out(c.in_shape));
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<float> got = get<float>(card, kOut, r.v.size());
      for (size_t i = 0; i < r.v.size(); i++)
        ASSERT_NEAR(got[i], r.v[i], c.tol * std::max(1.0, std::fabs(r.v[i]))) << "at " << i;
      std::vector<uint32_t> shape_rec = {uint32_t(c.out_shape.size())};
      shape_rec.insert(shape_rec.end(), c.out_shape.begin(), c.out_shape.end());
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, shape_rec.size() * 4)), shape_rec);
    }
  });
}

// 8-bit runs of one layer from a 4N input into a 4N output, with the output
// bytes compared by `check` and the bytes past the output watched.
struct Fix8Case {
  const char *what;
  uint32_t type;
  Record rec;
  std::vector<uint32_t> in_shape, out_shape;
  // in: the 4N input bytes; got: the 4N output bytes.
  std::function<void(const std::vector<uint8_t> &in, const std::vector<uint8_t> &got)> check;
};

// Bytes of a 4N tensor: the batch (extent 0) in groups of four items.
size_t size_4n(const std::vector<uint32_t> &s) {
  size_t per_item = 1;
  for (size_t i = 1; i < s.size(); i++) per_item *= s[i];
  return (s[0] + 3) / 4 * 4 * per_item;
}

std::vector<uint8_t> bytes_4n(const std::vector<uint32_t> &s, unsigned salt) {
  std::vector<uint8_t> v(size_4n(s));
  for (size_t i = 0; i < v.size(); i++) v[i] = uint8_t(i * 37 + (i >> 7) * 11 + salt);
  return v;
}

void run_fix8_cases(const std::vector<Fix8Case> &cases) {
  for_each_api_card([&](host::Card &card) {
    for (const Fix8Case &c : cases) {
      SCOPED_TRACE(c.what);
      const std::vector<uint8_t> in = bytes_4n(c.in_shape, c.type);
      card.write(kIn, in.data(), in.size());
      const size_t out_bytes = size_4n(c.out_shape);
      const std::vector<uint8_t> canary(out_bytes + 64, 0xee);
      card.write(kOut, canary.data(), canary.size());
      const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(2));
      const Words desc = description({1}, {2}, {global_group({1}, {}, layer(c.type, 2, c.rec, refs.words(), 2, 2))});
      NetRun run = one_in_one_out(c.in_shape);
      run.inputs[0].dtype = 2;
      auto a = run_description(card, desc, run);
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<uint8_t> got = card.read(kOut, canary.size());
      c.check(in, std::vector<uint8_t>(got.begin(), got.begin() + long(out_bytes)));
      EXPECT_EQ(std::vector<uint8_t>(got.begin() + long(out_bytes), got.end()), std::vector<uint8_t>(64, 0xee))
          << "bytes past the output were written";
      std::vector<uint32_t> shape_rec = {uint32_t(c.out_shape.size())};
      shape_rec.insert(shape_rec.end(), c.out_shape.begin(), c.out_shape.end());
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, shape_rec.size() * 4)), shape_rec);
    }
  });
}

// Output bytes of the real items against the expected 4N bytes.
void expect_items(const std::vector<uint8_t> &got, const std::vector<uint8_t> &want, size_t n) {
  ASSERT_EQ(got.size(), want.size());
  const size_t per_group = want.size() / ((n + 3) / 4);
  size_t bad = 0;
  for (size_t i = 0; i < got.size(); i++) {
    if ((i / per_group) * 4 + i % 4 >= n || got[i] == want[i]) continue;
    if (bad++ < 5) ADD_FAILURE() << "byte " << i << ": " << int(got[i]) << " want " << int(want[i]);
  }
  EXPECT_EQ(bad, 0u);
}

TEST(GlbCnnRuns, EightBitLrnAndInterpolationAgainstTheReferences) {
  namespace fr = ref::fix8b;
  const int N = 6, C = 5;
  // Interpolation: the shape in the record, the crop pads at 36 and 40, the
  // 8-bit flag at 44 (non-zero: signed data).
  auto interp_record = [](uint8_t variant, const std::vector<int32_t> &out, bool is_signed, int32_t p = 0,
                          int32_t q = 0) {
    Record r(56);
    r.u8(0, 1).u8(1, uint8_t(out.size())).u8(2, variant);
    for (size_t i = 0; i < out.size(); i++) r.i32(4 + 4 * i, out[i]);
    return r.i32(36, p).i32(40, q).u32(44, is_signed ? 1 : 0);
  };
  // LRN of the scaled bytes, requantised by truncation: exact except where
  // single-precision rounding meets an integer boundary.
  auto lrn_check = [=](int h, int w, bool is_signed, float alpha, int size, float beta, float k, float in_scale,
                       float out_scale) {
    return [=](const std::vector<uint8_t> &in, const std::vector<uint8_t> &got) {
      const size_t chw = size_t(C) * h * w;
      ref::conv::T4 x(N, C, h, w);
      for (size_t i = 0; i < size_t(N); i++)
        for (size_t e = 0; e < chw; e++) x.v[i * chw + e] = fr::value8(in[fr::at_4n(i, e, chw)], is_signed) * double(in_scale);
      const ref::conv::T4 y = ref::norm::lrn(x, alpha, size, beta, k);
      for (size_t i = 0; i < size_t(N); i++)
        for (size_t e = 0; e < chw; e++) {
          const double v = y.v[i * chw + e] * out_scale, want = ref::norm::to_8bit(v, is_signed);
          const double g = fr::value8(got[fr::at_4n(i, e, chw)], is_signed);
          if (g != want) {
            ASSERT_LT(std::fabs(v - std::round(v)), 1e-3 * std::fmax(1.0, std::fabs(v))) << "item " << i << " element " << e;
          }
          ASSERT_LE(std::fabs(g - want), 1.0) << "item " << i << " element " << e;
        }
    };
  };
  // Nearest interpolation moves whole 4N words: output (y, x) takes input
  // (floor(y h / oh), floor(x w / ow)).
  auto nearest_check = [=](int h, int w, int oh, int ow) {
    return [=](const std::vector<uint8_t> &in, const std::vector<uint8_t> &got) {
      std::vector<uint8_t> want(got.size());
      const ref::pool::Interp m{5, false, false};
      for (int g = 0; g < (N + 3) / 4; g++)
        for (int ch = 0; ch < C; ch++)
          for (int y = 0; y < oh; y++)
            for (int x = 0; x < ow; x++) {
              int ry, rx;
              float wy, wx;
              ref::pool::interp_at(m, h, y, ref::pool::interp_scale(m, h, oh), &ry, &wy);
              ref::pool::interp_at(m, w, x, ref::pool::interp_scale(m, w, ow), &rx, &wx);
              for (int b = 0; b < 4; b++)
                want[(((size_t(g) * C + ch) * oh + y) * ow + x) * 4 + b] = in[(((size_t(g) * C + ch) * h + ry) * w + rx) * 4 + b];
            }
      expect_items(got, want, N);
    };
  };
  const std::vector<Fix8Case> cases = {
      // LRN: channels at 0, alpha, beta, k as f32 at 4, 8, 12, size at 16,
      // input sign at 17, the two scales as f32 at 20 and 24.
      {"LRN across 3 channels, signed", DYNAMIC_LAYER_LRN,
       Record(28).u32(0, C).f32(4, 1.0f).f32(8, 0.75f).f32(12, 1.0f).u8(16, 3).u8(17, 1).f32(20, 0.05f).f32(24, 40.0f),
       {N, C, 3, 4}, {N, C, 3, 4}, lrn_check(3, 4, true, 1.0f, 3, 0.75f, 1.0f, 0.05f, 40.0f)},
      {"LRN across 5 channels, unsigned", DYNAMIC_LAYER_LRN,
       Record(28).u32(0, C).f32(4, 0.5f).f32(8, 0.6f).f32(12, 2.0f).u8(16, 5).u8(17, 0).f32(20, 0.02f).f32(24, 60.0f),
       {N, C, 2, 3}, {N, C, 2, 3}, lrn_check(2, 3, false, 0.5f, 5, 0.6f, 2.0f, 0.02f, 60.0f)},
      {"bilinear interpolation 8x7 to 5x6 with crop pads -1 (columns) and -2 (rows)", DYNAMIC_LAYER_INTERP,
       interp_record(0, {N, C, 5, 6}, true, -1, -2), {N, C, 8, 7}, {N, C, 5, 6},
       [=](const std::vector<uint8_t> &in, const std::vector<uint8_t> &got) {
         expect_items(got, ref::pool::interp_fix8b(in, (N + 3) / 4, C, 8, 7, -1, -2, 5, 6, true), N);
       }},
      {"bilinear interpolation 4x5 to 7x9, signed", DYNAMIC_LAYER_INTERP, interp_record(0, {N, C, 7, 9}, true),
       {N, C, 4, 5}, {N, C, 7, 9},
       [=](const std::vector<uint8_t> &in, const std::vector<uint8_t> &got) {
         expect_items(got, ref::pool::interp_fix8b(in, (N + 3) / 4, C, 4, 5, 0, 0, 7, 9, true), N);
       }},
      {"bilinear interpolation 6x4 to 3x7, unsigned", DYNAMIC_LAYER_INTERP, interp_record(1, {N, C, 3, 7}, false),
       {N, C, 6, 4}, {N, C, 3, 7},
       [=](const std::vector<uint8_t> &in, const std::vector<uint8_t> &got) {
         expect_items(got, ref::pool::interp_fix8b(in, (N + 3) / 4, C, 6, 4, 0, 0, 3, 7, false), N);
       }},
      // 4N packs the batch, extent 0, whatever the rank: the planes of an
      // item are all its middle extents.
      {"bilinear interpolation of 5 dims, 4x5 to 6x3", DYNAMIC_LAYER_INTERP, interp_record(0, {N, 2, 3, 6, 3}, true),
       {N, 2, 3, 4, 5}, {N, 2, 3, 6, 3},
       [=](const std::vector<uint8_t> &in, const std::vector<uint8_t> &got) {
         expect_items(got, ref::pool::interp_fix8b(in, (N + 3) / 4, 6, 4, 5, 0, 0, 6, 3, true), N);
       }},
      {"bilinear interpolation of 3 dims, 4x5 to 2x8", DYNAMIC_LAYER_INTERP, interp_record(0, {N, 2, 8}, true),
       {N, 4, 5}, {N, 2, 8},
       [=](const std::vector<uint8_t> &in, const std::vector<uint8_t> &got) {
         expect_items(got, ref::pool::interp_fix8b(in, (N + 3) / 4, 1, 4, 5, 0, 0, 2, 8, true), N);
       }},
      {"nearest interpolation 3x4 to 7x9 moves whole words", DYNAMIC_LAYER_INTERP,
       interp_record(2, {N, C, 7, 9}, true), {N, C, 3, 4}, {N, C, 7, 9}, nearest_check(3, 4, 7, 9)},
  };
  run_fix8_cases(cases);
}

TEST(GlbCnnRuns, SixteenBitOutputAndEightBitWinogradConvolutionsAgainstTheReferences) {
  // Six 4N items. The option bytes are the right shift and the signs of the
  // input, the weights and the bias. The 16-bit layer always rectifies
  // (its ReLU flag is passed as 1 whatever the record says) and writes 2N;
  // the Winograd layer reads transformed 3x3 weights, signed, in the
  // arrangement the record's Winograd code names.
  using ref::conv_fix::Conv;
  struct Case {
    const char *what;
    uint32_t dsize;
    Conv p;
    ConvParams cp;
  };
  std::vector<Case> cases;
  {
    Conv p;
    p.n = 6, p.ic = 5, p.h = 6, p.w = 7, p.oc = 3, p.kh = p.kw = 3, p.stride_h = 2;
    p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1, p.bias_mode = 1, p.rshift = 2, p.in_sign = p.w_sign = p.b_sign = true;
    p.relu = true, p.upper = 1000;
    ConvParams cp;
    cp.input_c = 5, cp.output_c = 3, cp.kh = cp.kw = 3, cp.stride_h = 2;
    cp.pad_h = cp.pad_h_after = cp.pad_w = cp.pad_w_after = 1, cp.bias_mode = 1, cp.relu_upper_limit = 1000.7f;
    cp.fix8b_opt[0] = 2, cp.fix8b_opt[1] = cp.fix8b_opt[2] = cp.fix8b_opt[3] = 1;
    cases.push_back({"16-bit output, stride 2 in h, no ReLU in the record, cap 1000", 1, p, cp});
  }
  {
    // Every geometric field different in h and w, so that no two can be
    // swapped unseen.
    Conv p;
    p.n = 6, p.ic = 4, p.h = 7, p.w = 8, p.oc = 4, p.groups = 2, p.kh = 3, p.kw = 2, p.dh = 2, p.stride_w = 2;
    p.pad_t = 1, p.pad_r = 2, p.bias_mode = 2, p.rshift = 1, p.in_sign = true, p.b_sign = true, p.relu = true;
    ConvParams cp;
    cp.input_c = 4, cp.output_c = 4, cp.groups = 2, cp.kh = 3, cp.kw = 2, cp.dh = 2, cp.stride_w = 2;
    cp.pad_h = 1, cp.pad_w_after = 2, cp.bias_mode = 2;
    cp.fix8b_opt[0] = 1, cp.fix8b_opt[1] = 1, cp.fix8b_opt[2] = 0, cp.fix8b_opt[3] = 1;
    cases.push_back({"16-bit output, two groups, 3x2 kernel dilated in h, bias behind the weights", 1, p, cp});
  }
  {
    Conv p;
    p.n = 6, p.ic = 6, p.h = 8, p.w = 9, p.oc = 4, p.groups = 2, p.kh = p.kw = 3;
    p.pad_t = p.pad_b = p.pad_l = 1, p.bias_mode = 1, p.rshift = 4, p.in_sign = p.b_sign = true;
    ConvParams cp;
    cp.input_c = 6, cp.output_c = 4, cp.groups = 2, cp.kh = cp.kw = 3, cp.pad_h = cp.pad_h_after = cp.pad_w = 1;
    cp.bias_mode = 1, cp.use_winograd = 1;
    cp.fix8b_opt[0] = 4, cp.fix8b_opt[1] = 1, cp.fix8b_opt[2] = 1, cp.fix8b_opt[3] = 1;
    cases.push_back({"Winograd, arrangement 1, two groups, no right padding, bias coefficient", 2, p, cp});
  }
  {
    Conv p;
    p.n = 6, p.ic = 5, p.h = 9, p.w = 8, p.oc = 3, p.kh = p.kw = 3;
    p.bias_mode = 2, p.rshift = 3, p.in_sign = true, p.b_sign = true, p.relu = true, p.upper = 60;
    ConvParams cp;
    // A 5x5 record still gets the output size of a 3x3 kernel.
    cp.input_c = 5, cp.output_c = 3, cp.kh = cp.kw = 5, cp.bias_mode = 2, cp.use_winograd = 2, cp.if_relu = 1;
    cp.relu_upper_limit = 60.9f;
    cp.fix8b_opt[0] = 3, cp.fix8b_opt[1] = 1, cp.fix8b_opt[2] = 1, cp.fix8b_opt[3] = 1;
    cases.push_back({"Winograd, arrangement 2, bias behind the weights, ReLU capped at 60", 2, p, cp});
  }
  for (const Case &c : cases) {
    const Conv &p = c.p;
    const bool wino = c.cp.use_winograd != 0;
    std::vector<uint8_t> in(size_t(p.groups4()) * p.ic * p.h * p.w * 4);
    for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 73 + (i >> 5) * 13 + 7);
    std::vector<uint8_t> wt(size_t(p.oc) * (p.ic / p.groups) * (wino ? 16 : p.kh * p.kw));
    for (size_t i = 0; i < wt.size(); i++) wt[i] = uint8_t(int((i * 29 + (i >> 3) * 7) % 16) - 8);
    std::vector<uint16_t> bias(size_t(p.oc));
    for (size_t i = 0; i < bias.size(); i++) bias[i] = uint16_t(int(i * 977 % 2001) - 1000);
    const int arrangement = c.cp.use_winograd;
    const std::vector<uint8_t> recs = wino ? ref::conv_fix::wino_weights(p, wt, bias, arrangement)
                                           : ref::conv_fix::weight_records(p, wt, bias, 1);
    const std::vector<uint16_t> biases = wino ? ref::conv_fix::wino_biases(p, bias, arrangement) : bias;
    const std::vector<uint8_t> want = wino ? ref::conv_fix::wino8(p, in, wt, bias) : ref::conv_fix::conv16(p, in, wt, bias);
    const int oh = wino ? p.h + p.pad_t + p.pad_b - 2 : p.out_h(), ow = wino ? p.w + p.pad_l + p.pad_r - 2 : p.out_w();
    Words coeffs = Words().dword(0x1000);
    if (p.bias_mode == 1) coeffs.dword(0x8000);
    const Words desc = one_layer_net(DYNAMIC_LAYER_CONV, c.dsize, conv_record(c.cp), coeffs);
    for_each_api_card([&](host::Card &card) {
      SCOPED_TRACE(c.what);
      card.write(kIn, in.data(), in.size());
      card.write(kCoeff + 0x1000, recs.data(), recs.size());
      card.write(kCoeff + 0x8000, biases.data(), biases.size() * 2);
      const std::vector<uint8_t> canary(want.size() + 64, 0xee);
      card.write(kOut, canary.data(), canary.size());
      NetRun run = one_in_one_out({uint32_t(p.n), uint32_t(p.ic), uint32_t(p.h), uint32_t(p.w)});
      run.inputs[0].dtype = 2;
      auto a = run_description(card, desc, run);
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<uint8_t> got = card.read(kOut, canary.size());
      // 16-bit results: pairs of items in 2N words, every one of the six real;
      // 8-bit results: the two padding items of the second 4N batch skipped.
      if (wino) {
        expect_items(std::vector<uint8_t>(got.begin(), got.begin() + long(want.size())), want, size_t(p.n));
      } else {
        EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + long(want.size())), want);
      }
      EXPECT_EQ(std::vector<uint8_t>(got.begin() + long(want.size()), got.end()), std::vector<uint8_t>(64, 0xee));
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)),
                (std::vector<uint32_t>{4, uint32_t(p.n), uint32_t(p.oc), uint32_t(oh), uint32_t(ow)}));
    });
  }
}

TEST(GlbCnnRuns, BadRecordsAnswer1009AndTheCardServesOn) {
  struct Case {
    const char *what;
    Words desc;
    std::vector<uint32_t> in_shape;
    std::string condition;
  };
  ConvParams conv;
  conv.kh = conv.kw = 3;
  PoolParams pool;
  pool.kh = pool.kw = 2;
  pool.stride_h = pool.stride_w = 2;
  PoolParams no_stride = pool;
  no_stride.stride_h = 0;
  ConvParams fp8 = conv;
  const std::vector<Case> cases = {
      {"convolution of a 3-dimensional input", one_layer_net(DYNAMIC_LAYER_CONV, kFp32, conv_record(conv), Words().dword(0)),
       {1, 4, 4}, "bottom.dims == 4"},
      {"pooling of a 2-dimensional input", one_layer_net(DYNAMIC_LAYER_POOLING, kFp32, pool_record(pool), Words()),
       {4, 4}, "bottom.dims == 4"},
      {"pooling with a stride of 0", one_layer_net(DYNAMIC_LAYER_POOLING, kFp32, pool_record(no_stride), Words()),
       {1, 1, 4, 4}, "stride > 0"},
      {"convolution of int32 data", one_layer_net(DYNAMIC_LAYER_CONV, 3, conv_record(fp8), Words().dword(0)),
       {1, 1, 4, 4}, "0 && \"dynamic_glb_conv_layer_ctrl(): unsupported conv data size!\""},
      {"float TF pooling", one_layer_net(DYNAMIC_LAYER_POOLING_TF, kFp32, Record(28).u32(4, 2).u32(8, 2).u8(16, 2).u8(17, 2), Words()),
       {1, 1, 4, 4}, "0"},
      {"deconvolution of 8-bit data", one_layer_net(DYNAMIC_LAYER_DECONV, 2, Record(36), Words().dword(0)),
       {1, 1, 4, 4}, "ctx->middle_value->data_size == DSIZE_FP32"},
      {"bias behind the weights with 0 groups",
       one_layer_net(DYNAMIC_LAYER_CONV, kFp32, conv_record([&] {
                       ConvParams q = conv;
                       q.groups = 0, q.bias_mode = 2;
                       return q;
                     }()),
                     Words().dword(0)),
       {1, 1, 4, 4}, "groups > 0"},
      // The float adaptive pooling would read 4N bytes as floats and write its
      // result past the output; the record has nothing for the 8-bit kernel.
      {"adaptive pooling of 8-bit data", one_layer_net(DYNAMIC_LAYER_ADAPTIVE_POOL, 2, Record(8).u32(0, 3).u32(4, 2), Words()),
       {6, 5, 7, 5}, "size == DSIZE_FP32 || size == DSIZE_INT32"},
      {"adaptive pooling of 16-bit data", one_layer_net(DYNAMIC_LAYER_ADAPTIVE_POOL, 1, Record(8).u32(0, 1).u32(4, 1), Words()),
       {2, 3, 4, 4}, "size == DSIZE_FP32 || size == DSIZE_INT32"},
      {"interpolation to 9 dimensions", one_layer_net(DYNAMIC_LAYER_INTERP, kFp32, Record(56).u8(0, 1).u8(1, 9), Words()),
       {1, 1, 4, 4}, "dims <= DYNAMIC_MAX_DIMS"},
      {"a convolution record above its size",
       description({1}, {2}, {global_group({1}, {}, layer_with_length(DYNAMIC_LAYER_CONV, kFp32, 104, std::vector<uint8_t>(104, 0), {}))}),
       {1, 1, 4, 4}, "length <= size"},
  };
  auto card_owner = deferred_card(Backend::Native, 3);
  host::Card &card = *card_owner;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto a = run_description(card, c.desc, one_in_one_out(c.in_shape));
    ASSERT_TRUE(AnswerOk(card, a, 1009u));
    EXPECT_NE(console_text(card.console()).find(": " + c.condition + "\n"), std::string::npos) << card.console();
  }
  // Still serving: a good pooling run.
  const std::vector<float> in = {1, 5, 2, 0, 3, 4, 8, 6, -1, -2, 7, 0, 9, 1, 2, 2};
  card.write(kIn, in.data(), in.size() * 4);
  auto a = run_description(card, one_layer_net(DYNAMIC_LAYER_POOLING, kFp32, pool_record([&] {
                                                 PoolParams p = pool;
                                                 p.c = 1;
                                                 return p;
                                               }()),
                                               Words()),
                           one_in_one_out({1, 1, 4, 4}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_EQ(as_floats(card.read(kOut, 16)), (std::vector<float>{5, 8, 9, 7}));
}

}  // namespace
}  // namespace zv::test
