// APIs 49 (float convolution), 152 (depthwise on tensor records) and 900
// (fully connected) end to end through the host driver: each record's fields
// reaching the layer, checked against the direct references on three deferred
// seeds with the happens-before checker and on the ARM image; the zero-count
// return, a wrong size and the Winograd kernel check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card.h"
#include "fw_test.h"
#include "layers/conv/conv.h"
#include "layers/conv/depthwise.h"
#include "layers/conv/fc.h"
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
  for (const CardConfig &cfg : kApiCards) {
    SCOPED_TRACE(card_config_name(cfg));
    auto card = deferred_card(cfg.backend, cfg.seed);
    const std::vector<float> fin(in.v.begin(), in.v.end()), fb(bias.begin(), bias.end());
    card->write(kIn, fin.data(), fin.size() * 4);
    card->write(kW, packed.data(), packed.size() * 4);
    card->write(kBias, fb.data(), fb.size() * 4);
    card->write(kOut, old.data(), old.size() * 4);
    auto r = card->send(49, payload_of(rec));
    ASSERT_TRUE(r) << card->trouble();
    EXPECT_EQ(r->result, 0u) << card->console();
    const std::vector<float> got = as_floats(card->read(kOut, want.v.size() * 4));
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want.v[i]) << i;
    EXPECT_TRUE(no_findings(card->chip()));
  }
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
  for (const CardConfig &cfg : kApiCards) {
    SCOPED_TRACE(card_config_name(cfg));
    auto card = deferred_card(cfg.backend, cfg.seed);
    const std::vector<float> fin(in.v.begin(), in.v.end()), fw(wt.v.begin(), wt.v.end()), fb(bias.begin(), bias.end());
    card->write(kIn, fin.data(), fin.size() * 4);
    card->write(kW, fw.data(), fw.size() * 4);
    card->write(kBias, fb.data(), fb.size() * 4);
    auto r = card->send(152, payload_of(rec));
    ASSERT_TRUE(r) << card->trouble();
    EXPECT_EQ(r->result, 0u) << card->console();
    const std::vector<float> got = as_floats(card->read(kOut, want.v.size() * 4));
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(got[i]), want.v[i]) << i;
    EXPECT_TRUE(no_findings(card->chip()));
  }
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
  for (const CardConfig &cfg : kApiCards) {
    SCOPED_TRACE(card_config_name(cfg));
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kIn, X.data(), X.size() * 4);
    card->write(kW, W.data(), W.size() * 4);
    card->write(kBias, bias.data(), bias.size() * 4);
    card->write(kSlope, slopes.data(), slopes.size() * 4);
    auto r = card->send(900, payload_of(rec));
    ASSERT_TRUE(r) << card->trouble();
    EXPECT_EQ(r->result, 0u) << card->console();
    const std::vector<float> got = as_floats(card->read(kOut, want.size() * 4));
    for (size_t i = 0; i < got.size(); i++) {
      const double e = want[i] < 0 ? want[i] * slopes[i % size_t(N)] : want[i];
      ASSERT_EQ(double(got[i]), e) << i;
    }
    EXPECT_TRUE(no_findings(card->chip()));
  }
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
      {152, payload_of(zv_api_depthwise_forward_t{kIn, kOut, kW, kBias, 0, 2, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 0}),
       "zv_api_depthwise_forward_t"},
      {900, payload_of(zv_api_fc_forward_parallel_t{kIn, kW, kBias, kOut, 0, 0, 4, 4, 0, 0, 0, 0, 0, 1, 0.0f, 32}),
       "zv_api_fc_forward_parallel_t"},
  };
  for (const Probe &p : probes) {
    SCOPED_TRACE(p.record);
    auto r = card.send(p.id, p.empty);
    ASSERT_TRUE(r) << card.trouble();
    EXPECT_EQ(r->result, 0u);
    std::vector<uint32_t> shorter = p.empty;
    shorter.pop_back();
    r = card.send(p.id, shorter);
    ASSERT_TRUE(r) << card.trouble();
    EXPECT_EQ(r->result, 1009u);
    EXPECT_NE(card.console().find(std::string("size == sizeof(") + p.record + ")"), std::string::npos);
  }
  // Winograd with a 3x3 kernel: the record must describe the 4x4 transformed one.
  {
    auto r = card.send(49, payload_of(zv_api_conv_forward_parallel_t{kIn, kOut, kW, kBias, 1, 2, 4, 4, 1, 2, 3, 3, 1,
                                                                     1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1}));
    ASSERT_TRUE(r) << card.trouble();
    EXPECT_EQ(r->result, 1009u);
    EXPECT_NE(card.console().find("api->kh == 4"), std::string::npos) << card.console();
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
