// APIs 49 (float convolution, direct and Winograd), 50 (deconvolution), 182
// (3-D convolution), 152 (depthwise on tensor records) and 900
// (fully connected) end to end through the host driver: each record's fields
// reaching the layer, checked against the direct references on three deferred
// seeds with the happens-before checker and on the ARM image; the zero-count
// return, a wrong size and the Winograd kernel check.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/conv/conv.h"
#include "layers/conv/conv3d.h"
#include "layers/conv/deconv.h"
#include "layers/conv/depthwise.h"
#include "layers/conv/fc.h"
#include "raw_record.h"
#include "ref/conv_layer_ref.h"
#include "ref/conv_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kW = 0x102000000ull;
constexpr uint64_t kBias = 0x103000000ull;
constexpr uint64_t kSlope = 0x103100000ull;
constexpr uint64_t kOut = 0x104000000ull;

float small(size_t i, unsigned seed, int span) {
  return float(int((i * 2654435761u + seed * 40503u) % unsigned(2 * span + 1)) - span);
}

TEST(ConvApi, ConvolutionRecordEndToEnd) {
  // 2 x 6 x 9 x 8, 2 groups, 3x3 kernel, stride (2, 1), pads top 1, left 0,
  // bottom 2, right 1, accumulate, bias; sections: 2 rows, 2 batches.
  const int n = 2, ic = 6, h = 9, w = 8, groups = 2, oc = 4, kh = 3, kw = 3;
  ref::conv::T4 in(n, ic, h, w), wt(oc, ic / groups, kh, kw);
  for (size_t i = 0; i < in.v.size(); i++) in.v[i] = small(i, 1, 3);
  for (size_t i = 0; i < wt.v.size(); i++) wt.v[i] = small(i, 2, 2);
  std::vector<double> bias(oc);
  for (int i = 0; i < oc; i++) bias[size_t(i)] = small(size_t(i), 3, 7);
  ref::conv::Window win;
  win.kh = kh, win.kw = kw, win.pad_t = 1, win.pad_l = 0, win.pad_b = 2, win.pad_r = 1, win.stride_h = 2;
  ref::conv::T4 want = ref::conv::convolution(in, wt, bias, groups, win);
  std::vector<float> old(want.v.size());
  for (size_t i = 0; i < old.size(); i++) old[i] = small(i, 4, 5);
  for (size_t i = 0; i < old.size(); i++) want.v[i] += old[i];
  // Layout 0: per output channel, 4 (3 rounded up to even) input channels of 9 taps.
  const int icg = ic / groups, icg_even = 4;
  std::vector<float> packed(size_t(oc) * icg_even * kh * kw, 0.0f);
  for (int o = 0; o < oc; o++)
    for (int i = 0; i < icg; i++)
      for (int p = 0; p < kh * kw; p++)
        packed[(size_t(o) * icg_even + i) * kh * kw + p] = float(wt.v[(size_t(o) * icg + i) * kh * kw + p]);
  const zv_api_conv_forward_parallel_t rec = {kIn, kOut, kW, kBias, n, ic, h, w, groups, oc, kh, kw, 1, 1,
                                              1,   0,    2,  1,     2, 1,  1, 1, 0,      2,  2,  1,  1};
  for_each_api_card([&](host::Card &card) {
    const std::vector<float> fin(in.v.begin(), in.v.end()), fb(bias.begin(), bias.end());
    card.write(kIn, fin.data(), fin.size() * 4);
    card.write(kW, packed.data(), packed.size() * 4);
    card.write(kBias, fb.data(), fb.size() * 4);
    card.write(kOut, old.data(), old.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(49, payload_of(rec))));
    const std::vector<float> got = get<float>(card, kOut, want.v.size());
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want.v[i]) << i;
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(ConvApi, WinogradAndDeconvolutionRecordsEndToEnd) {
  // API 49 with use_winograd 1: 1 x 3 x 6 x 7 -> 4, pads top 1, left 0,
  // bottom 1, right 1 (odd width), two row sections, bias.
  const int n = 1, ic = 3, h = 6, w = 7, oc = 4;
  ref::conv::T4 in(n, ic, h, w), wt(oc, ic, 3, 3);
  for (size_t i = 0; i < in.v.size(); i++) in.v[i] = small(i, 11, 3);
  for (size_t i = 0; i < wt.v.size(); i++) wt.v[i] = small(i, 12, 2);
  std::vector<double> bias(oc);
  for (int i = 0; i < oc; i++) bias[size_t(i)] = small(size_t(i), 13, 7);
  ref::conv::Window win;
  win.kh = 3, win.kw = 3, win.pad_t = 1, win.pad_l = 0, win.pad_b = 1, win.pad_r = 1;
  const ref::conv::T4 want = ref::conv::convolution(in, wt, bias, 1, win);
  std::vector<float> tw(size_t(ic) * oc * 16);
  for (int i = 0; i < ic; i++)
    for (int o = 0; o < oc; o++) {
      double k3[3][3];
      for (int r = 0; r < 3; r++)
        for (int q = 0; q < 3; q++) k3[r][q] = wt.at(o, i, r, q);
      const std::vector<double> u = ref::conv::winograd_weights(k3);
      for (int e = 0; e < 16; e++) tw[(size_t(i) * oc + o) * 16 + e] = float(u[size_t(e)]);
    }
  const zv_api_conv_forward_parallel_t rec = {kIn, kOut, kW, kBias, n, ic, h, w, 1, oc, 4, 4, 1, 1,
                                              1,   0,    1,  1,     1, 1,  1, 0, 1, 2,  1, 1,  1};
  // API 50: 1 x 2 x 3 x 4, 3x3 stride 2 pad 1, layout 1 (per output channel 2
  // input channels of 9 taps), two row sections.
  const int dn = 1, dic = 2, dh = 3, dw = 4, doc = 3, doh = 5, dow = 7;
  std::vector<float> din(size_t(dn) * dic * dh * dw), dwt(size_t(doc) * dic * 9), dbias(doc);
  for (size_t i = 0; i < din.size(); i++) din[i] = small(i, 14, 3);
  for (size_t i = 0; i < dwt.size(); i++) dwt[i] = small(i, 15, 2);
  for (int i = 0; i < doc; i++) dbias[size_t(i)] = small(size_t(i), 16, 5);
  std::vector<double> dwant(size_t(doc) * doh * dow);
  for (int o = 0; o < doc; o++)
    for (size_t p = 0; p < size_t(doh) * dow; p++) dwant[size_t(o) * doh * dow + p] = dbias[size_t(o)];
  for (int o = 0; o < doc; o++)
    for (int i = 0; i < dic; i++)
      for (int y = 0; y < dh; y++)
        for (int x = 0; x < dw; x++)
          for (int r = 0; r < 3; r++)
            for (int q = 0; q < 3; q++) {
              const int oy = 2 * y - 1 + r, ox = 2 * x - 1 + q;
              if (oy < 0 || oy >= doh || ox < 0 || ox >= dow) continue;
              dwant[(size_t(o) * doh + oy) * dow + ox] +=
                  double(din[(size_t(i) * dh + y) * dw + x]) * dwt[((size_t(o) * dic + i) * 3 + r) * 3 + q];
            }
  const zv_api_deconv_forward_parallel_t drec = {kIn, kW, kBias, kOut, dn, dic, dh, dw, 1, doc, doh, dow, 3, 3, 1,
                                                 1,   1,  1,     1,    1,  2,   2,  1,  0, 0, 1,   1,   1,   2, 1};
  for_each_api_card([&](host::Card &card) {
    const std::vector<float> fin(in.v.begin(), in.v.end()), fb(bias.begin(), bias.end());
    card.write(kIn, fin.data(), fin.size() * 4);
    card.write(kW, tw.data(), tw.size() * 4);
    card.write(kBias, fb.data(), fb.size() * 4);
    auto r = card.send(49, payload_of(rec));
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<float> got = get<float>(card, kOut, want.v.size());
    for (size_t i = 0; i < got.size(); i++)
      ASSERT_NEAR(double(got[i]), want.v[i], 1e-5 * (1 + std::fabs(want.v[i]))) << i;

    card.write(kIn, din.data(), din.size() * 4);
    card.write(kW, dwt.data(), dwt.size() * 4);
    card.write(kBias, dbias.data(), dbias.size() * 4);
    r = card.send(50, payload_of(drec));
    ASSERT_TRUE(AnswerOk(card, r));
    got = get<float>(card, kOut, dwant.size());
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), dwant[i]) << i;
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(ConvApi, DeconvolutionRowsWithoutInputEndToEnd) {
  // API 50: 1 x 3 x 3 x 3, 2x2 kernel stride 4: output rows 2, 3, 6 and 7 see
  // no input row; five row sections of two rows, two of them such rows. With
  // bias and accumulation they hold old + bias; without, zero.
  const int n = 1, ic = 3, h = 3, w = 3, oc = 4, k = 2, s = 4, oh = 10, ow = 10, taps = k * k;
  std::vector<float> in(size_t(n) * ic * h * w), wt(size_t(oc) * ic * taps), bias(oc), old(size_t(oc) * oh * ow);
  for (size_t i = 0; i < in.size(); i++) in[i] = small(i, 21, 3);
  for (size_t i = 0; i < wt.size(); i++) wt[i] = small(i, 22, 2);
  for (int i = 0; i < oc; i++) bias[size_t(i)] = small(size_t(i), 23, 5);
  for (size_t i = 0; i < old.size(); i++) old[i] = small(i, 24, 6);
  // Layout 1: per output channel, 4 (3 rounded up to even) input channels of 4 taps.
  std::vector<float> packed(size_t(oc) * 4 * taps, 0.0f);
  for (int o = 0; o < oc; o++)
    for (int i = 0; i < ic; i++)
      for (int p = 0; p < taps; p++) packed[(size_t(o) * 4 + i) * taps + p] = wt[(size_t(o) * ic + i) * taps + p];
  for (const int with_bias : {1, 0}) {
    std::vector<double> want(old.size());
    for (int o = 0; o < oc; o++)
      for (int p = 0; p < oh * ow; p++)
        want[size_t(o) * oh * ow + p] = with_bias ? double(old[size_t(o) * oh * ow + p]) + bias[size_t(o)] : 0.0;
    for (int o = 0; o < oc; o++)
      for (int i = 0; i < ic; i++)
        for (int y = 0; y < h; y++)
          for (int x = 0; x < w; x++)
            for (int r = 0; r < k; r++)
              for (int q = 0; q < k; q++)
                want[(size_t(o) * oh + y * s + r) * ow + x * s + q] +=
                    double(in[(size_t(i) * h + y) * w + x]) * wt[((size_t(o) * ic + i) * k + r) * k + q];
    RawRecord rec(136);
    rec.u64(0, kIn).u64(8, kW).u64(16, kBias).u64(24, kOut).i32(32, n).i32(36, ic).i32(40, h).i32(44, w);
    rec.i32(48, 1).i32(52, oc).i32(56, oh).i32(60, ow).i32(64, k).i32(68, k).i32(72, 1).i32(76, 1);
    rec.i32(96, s).i32(100, s).i32(104, with_bias).i32(108, with_bias);
    rec.i32(116, 1).i32(120, 1).i32(124, 1).i32(128, 5).i32(132, 1);
    for_each_api_card([&](host::Card &card) {
      SCOPED_TRACE(with_bias ? "bias and accumulation" : "neither");
      card.write(kIn, in.data(), in.size() * 4);
      card.write(kW, packed.data(), packed.size() * 4);
      card.write(kBias, bias.data(), bias.size() * 4);
      card.write(kOut, old.data(), old.size() * 4);
      ASSERT_TRUE(AnswerOk(card, card.send(50, rec.words)));
      const std::vector<float> got = get<float>(card, kOut, want.size());
      for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want[i]) << i;
      EXPECT_TRUE(no_findings(card.chip()));
    });
  }
}

TEST(ConvApi, Conv3dRecordEndToEndAndEmptyBatch) {
  const ref::conv::Conv3d p = {2, 3, 4, 5, 4, 1, 2, 3, 2, 3, 1, 1, 1, 1, 0, 1, 0, 0, 2, 2, 1, 1};
  const int ic_even = 4;
  std::vector<float> in(size_t(p.N) * p.IC * p.IT * p.IH * p.IW), w(size_t(p.OC) * p.IC * p.KT * p.KH * p.KW),
      bias(size_t(p.OC));
  for (size_t i = 0; i < in.size(); i++) in[i] = small(i, 17, 3);
  for (size_t i = 0; i < w.size(); i++) w[i] = small(i, 18, 2);
  for (size_t i = 0; i < bias.size(); i++) bias[i] = small(i, 19, 7);
  std::vector<float> packed(size_t(p.KT) * p.OC * p.KH * p.KW * ic_even, 0.0f);
  for (int o = 0; o < p.OC; o++)
    for (int i = 0; i < p.IC; i++)
      for (int a = 0; a < p.KT; a++)
        for (int r = 0; r < p.KH; r++)
          for (int q = 0; q < p.KW; q++)
            packed[(((size_t(a) * p.OC + o) * p.KH + r) * p.KW + q) * ic_even + i] =
                w[(((size_t(o) * p.IC + i) * p.KT + a) * p.KH + r) * p.KW + q];
  const std::vector<double> want = ref::conv::conv3d(p, in, w, bias);
  zv_api_conv3d_parallel_t rec = {kIn,  kOut,  kW,    kBias, p.N,   p.IC,  p.IT,  p.IH, p.IW, p.groups,
                                  p.OC, p.KT,  p.KH,  p.KW,  p.dt,  p.dh,  p.dw,  p.PT0, p.PT1, p.PH0,
                                  p.PH1, p.PW0, p.PW1, p.st,  p.sh,  p.sw,  1};
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    card.write(kW, packed.data(), packed.size() * 4);
    card.write(kBias, bias.data(), bias.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(182, payload_of(rec))));
    const std::vector<float> got = get<float>(card, kOut, want.size());
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want[i]) << i;
    EXPECT_TRUE(no_findings(card.chip()));
  });
  // No zero-batch return in the handler: the layer has nothing to do.
  Card card;
  rec.input_n = 0;
  auto r = card.send(182, payload_of(rec));
  ASSERT_TRUE(AnswerOk(card, r));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  std::vector<uint32_t> shorter = payload_of(rec);
  shorter.pop_back();
  r = card.send(182, shorter);
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("size == sizeof(zv_api_conv3d_parallel_t)"), std::string::npos);
}

TEST(ConvApi, DepthwiseRecordEndToEnd) {
  const int n = 2, c = 70, h = 7, w = 9, kh = 3, kw = 2;
  ref::conv::T4 in(n, c, h, w), wt(c, 1, kh, kw);
  for (size_t i = 0; i < in.v.size(); i++) in.v[i] = small(i, 5, 3);
  for (size_t i = 0; i < wt.v.size(); i++) wt.v[i] = small(i, 6, 2);
  std::vector<double> bias(c);
  for (int i = 0; i < c; i++) bias[size_t(i)] = small(size_t(i), 7, 7);
  ref::conv::Window win;
  win.kh = kh, win.kw = kw, win.pad_t = 2, win.pad_b = 0, win.pad_l = 1, win.pad_r = 1, win.stride_h = 1,
  win.stride_w = 2;
  const ref::conv::T4 want = ref::conv::depthwise(in, wt, bias, win);
  const zv_api_depthwise_forward_t rec = {kIn, kOut, kW, kBias, n, c, h, w, kh, kw, 2, 0, 1, 1, 1, 2, 1};
  for_each_api_card([&](host::Card &card) {
    const std::vector<float> fin(in.v.begin(), in.v.end()), fw(wt.v.begin(), wt.v.end()), fb(bias.begin(), bias.end());
    card.write(kIn, fin.data(), fin.size() * 4);
    card.write(kW, fw.data(), fw.size() * 4);
    card.write(kBias, fb.data(), fb.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(152, payload_of(rec))));
    const std::vector<float> got = get<float>(card, kOut, want.v.size());
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want.v[i]) << i;
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(ConvApi, FullyConnectedRecordEndToEnd) {
  const int M = 6, K = 75, N = 40;
  std::vector<float> X(size_t(M) * K), W(size_t(N) * K), bias(N), slopes(N);
  for (size_t i = 0; i < X.size(); i++) X[i] = small(i, 8, 3);
  for (size_t i = 0; i < W.size(); i++) W[i] = small(i, 9, 2);
  for (int i = 0; i < N; i++) bias[size_t(i)] = small(size_t(i), 10, 9) * 0.5f, slopes[size_t(i)] = 0.25f * float(i % 4);
  const std::vector<double> want = ref::conv::fully_connected(X, W, bias, M, K, N, true);
  // Transposed weights, bias, per-column PReLU, sections of 32.
  const zv_api_fc_forward_parallel_t rec = {kIn, kW, kBias, kOut, kSlope, M, K, N, 1, 1, 0, 0, 2, 0, 0.0f, 32};
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, X.data(), X.size() * 4);
    card.write(kW, W.data(), W.size() * 4);
    card.write(kBias, bias.data(), bias.size() * 4);
    card.write(kSlope, slopes.data(), slopes.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(900, payload_of(rec))));
    const std::vector<float> got = get<float>(card, kOut, want.size());
    for (size_t i = 0; i < got.size(); i++) {
      const double e = want[i] < 0 ? want[i] * slopes[i % size_t(N)] : want[i];
      ASSERT_EQ(double(got[i]), e) << i;
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(ConvApi, ZeroCountsWrongSizesAndWinogradKernel) {
  Card card;
  struct Probe {
    uint32_t id;
    std::vector<uint32_t> empty;
    const char *record;
  };
  const Probe probes[] = {
      {49, payload_of(zv_api_conv_forward_parallel_t{kIn, kOut, kW, kBias, 0, 2, 4, 4, 1, 2, 3, 3, 1, 1, 1, 1, 1, 1,
                                                     1, 1, 0, 0, 0, 1, 1, 1, 1}),
       "zv_api_conv_forward_parallel_t"},
      {50, payload_of(zv_api_deconv_forward_parallel_t{kIn, kW, kBias, kOut, 0, 2, 3, 4, 1, 3, 5, 7, 3, 3, 1, 1, 1,
                                                       1, 1, 1, 2, 2, 1, 0, 0, 1, 1, 1, 1, 1}),
       "zv_api_deconv_forward_parallel_t"},
      {152, payload_of(zv_api_depthwise_forward_t{kIn, kOut, kW, kBias, 0, 2, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 0}),
       "zv_api_depthwise_forward_t"},
      {900, payload_of(zv_api_fc_forward_parallel_t{kIn, kW, kBias, kOut, 0, 0, 4, 4, 0, 0, 0, 0, 0, 1, 0.0f, 32}),
       "zv_api_fc_forward_parallel_t"},
  };
  for (const Probe &p : probes) {
    SCOPED_TRACE(p.record);
    auto r = card.send(p.id, p.empty);
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<uint32_t> shorter = p.empty;
    shorter.pop_back();
    r = card.send(p.id, shorter);
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
    EXPECT_NE(card.console().find(std::string("size == sizeof(") + p.record + ")"), std::string::npos);
  }
  // Winograd with a 3x3 kernel: the record must describe the 4x4 transformed one.
  {
    auto r = card.send(49, payload_of(zv_api_conv_forward_parallel_t{kIn, kOut, kW, kBias, 1, 2, 4, 4, 1, 2, 3, 3, 1,
                                                                     1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1}));
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
    EXPECT_NE(card.console().find("api->kh == 4"), std::string::npos) << card.console();
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
