// The normalisation, 8-bit and conversion APIs (9, 24, 48, 56, 58, 59, 84, 90, 96, 141, 164, 985) end
// to end:
// messages through the host driver on three deferred seeds with the
// happens-before checker and on the ARM image, results against the plain
// references; zero counts (164 included) and wrong sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/eltwise/batchnorm.h"
#include "layers/eltwise/bnscale_fix8b.h"
#include "layers/eltwise/convert.h"
#include "layers/eltwise/fix8b_arith.h"
#include "layers/eltwise/lrn.h"
#include "layers/eltwise/normalize.h"
#include "layers/eltwise/scale.h"
#include "ref/bn_ref.h"
#include "ref/fix8b_affine_ref.h"
#include "ref/norm_ref.h"

namespace zv::test {
namespace {

using host::Card;
using ref::conv::T4;
namespace fr = ref::fix8b;

constexpr uint64_t kIn = 0x110000000ull;
constexpr uint64_t kOut = 0x111000000ull;
constexpr uint64_t kV0 = 0x112000000ull;  // per-channel vectors
constexpr uint64_t kV1 = 0x112100000ull;
constexpr uint64_t kV2 = 0x112200000ull;
constexpr uint64_t kV3 = 0x112300000ull;

std::vector<float> values(size_t n, float lo, float hi, unsigned salt) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = lo + (hi - lo) * float((i * 613u + salt * 97u) % 499) / 499.0f;
  return v;
}
T4 t4(const std::vector<float> &v, int n, int c, int h, int w) {
  T4 t(n, c, h, w);
  for (size_t i = 0; i < v.size(); i++) t.v[i] = v[i];
  return t;
}
void expect_near(const std::vector<float> &got, const std::vector<double> &want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++) ASSERT_NEAR(got[i], want[i], tol * std::fmax(1.0, std::fabs(want[i]))) << i;
}

TEST(NormApi, FloatLayersEndToEnd) {
  const int n = 2, c = 70, h = 3, w = 5;
  const size_t count = size_t(n) * c * h * w;
  const std::vector<float> x = values(count, -3.0f, 3.0f, 1), mean = values(size_t(c), -1.0f, 1.0f, 2),
                           var = values(size_t(c), 0.5f, 2.0f, 3);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, x.data(), count * 4);
    auto send = [&](uint32_t id, const std::vector<uint32_t> &payload) {
      ASSERT_TRUE(AnswerOk(card, card.send(id, payload)));
    };
    {
      SCOPED_TRACE("56 LRN");
      send(56, payload_of(zv_api_lrn_forward_parallel_t{kIn, kOut, n, c, h, w, 0.02f, 5, 0.75f, 1.0f}));
      expect_near(get<float>(card, kOut, count), ref::norm::lrn(t4(x, n, c, h, w), 0.02f, 5, 0.75f, 1.0f).v, 4e-6);
    }
    {
      SCOPED_TRACE("24 scale per channel with bias and ReLU");
      card.write(kV0, mean.data(), size_t(c) * 4);
      card.write(kV1, var.data(), size_t(c) * 4);
      send(24, payload_of(zv_api_scale_forward_t{kIn, kV0, kV1, kOut, n, c, h, w, 1, 1, 1, 1}));
      std::vector<double> want(count);
      for (size_t i = 0; i < count; i++) {
        const size_t k = (i / size_t(h * w)) % size_t(c);
        want[i] = std::max(0.0, double(x[i] * mean[k] + var[k]));
      }
      expect_near(get<float>(card, kOut, count), want, 1e-6);
    }
    {
      SCOPED_TRACE("48 normalize: a non-zero flag reads as 1");
      card.write(kV0, mean.data(), size_t(c) * 4);
      send(48, payload_of(zv_api_normalize_forward_t{kIn, kOut, kV0, 7, 0, n, c, h, w, 1e-6f, 1.0f, 0}));
      expect_near(
          get<float>(card, kOut, count),
          ref::norm::normalize(t4(x, n, c, h, w), true, 1e-6f, std::vector<double>(mean.begin(), mean.end()), false).v,
          2e-6);
    }
    {
      SCOPED_TRACE("58 batch normalisation, inference");
      card.write(kV0, mean.data(), size_t(c) * 4);
      card.write(kV1, var.data(), size_t(c) * 4);
      send(58, payload_of(zv_api_batchnorm_forward_inference_parallel_t{kIn, kV0, kV1, 2.0f, kV2, kOut, 1e-3f, n, c,
                                                                         h, w, 1, 1, 1}));
      std::vector<double> a, b;
      ref::bn::prepare(std::vector<double>(mean.begin(), mean.end()), std::vector<double>(var.begin(), var.end()),
                       2.0, 1e-3f, &a, &b);
      expect_near(get<float>(card, kOut, count), ref::bn::apply(t4(x, n, c, h, w), a, b, true).v, 2e-6);
      std::vector<double> sd(b.size());
      for (size_t i = 0; i < b.size(); i++) sd[i] = 1.0 / b[i];
      expect_near(get<float>(card, kV2, size_t(c)), sd, 2e-6);
    }
    {
      SCOPED_TRACE("59 batch normalisation, two training steps");
      card.write(kV0, mean.data(), size_t(c) * 4);
      card.write(kV1, var.data(), size_t(c) * 4);
      std::vector<double> rm(mean.begin(), mean.end()), rv(var.begin(), var.end());
      for (int step = 0; step < 2; step++) {
        const std::vector<float> xs = values(count, -2.0f, 2.0f + float(step), unsigned(5 + step));
        card.write(kIn, xs.data(), count * 4);
        const float m = float(n * h * w);
        send(59, payload_of(zv_api_batchnorm_forward_train_parallel_t{kIn, kV0, kV1, kV2, kV3, kOut, 1e-3f, 0.9f, m,
                                                                       n, c, h, w}));
        const ref::bn::TrainStep want = ref::bn::train(t4(xs, n, c, h, w), rm, rv, 1e-3f, 0.9f, m);
        expect_near(get<float>(card, kOut, count), want.y.v, 1e-4);
        expect_near(get<float>(card, kV2, size_t(c)), want.mean, 1e-4);
        expect_near(get<float>(card, kV3, size_t(c)), want.std, 1e-4);
        expect_near(get<float>(card, kV0, size_t(c)), want.running_mean, 1e-4);
        expect_near(get<float>(card, kV1, size_t(c)), want.running_var, 1e-4);
        rm = want.running_mean;
        rv = want.running_var;
      }
    }
  });
}

TEST(NormApi, EightBitLayersEndToEnd) {
  const int n = 6, c = 70, h = 3, w = 5;
  const size_t chw = size_t(c) * h * w, groups = (n + 3) / 4;
  std::vector<uint8_t> in(groups * chw * 4);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t((i * 131 + i / 97) & 0xff);
  std::vector<int8_t> scale(size_t(c) * 4);
  std::vector<int16_t> bias(size_t(c) * 2), shift(size_t(c) * 2);
  for (size_t k = 0; k < size_t(c); k++) {
    for (int q = 0; q < 4; q++) scale[k * 4 + size_t(q)] = int8_t(int(k * 37 % 256) - 128);
    bias[k * 2] = bias[k * 2 + 1] = int16_t(int(k * 911 % 4001) - 2000);
    shift[k * 2] = shift[k * 2 + 1] = int16_t(int(k % 9) - 6);
  }
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size());
    card.write(kV0, scale.data(), scale.size());
    card.write(kV1, bias.data(), bias.size() * 2);
    card.write(kV2, shift.data(), shift.size() * 2);
    auto check = [&](uint32_t id, const std::vector<uint32_t> &payload, const std::function<uint8_t(uint8_t, size_t)> &f) {
      SCOPED_TRACE("api " + std::to_string(id));
      ASSERT_TRUE(AnswerOk(card, card.send(id, payload)));
      const std::vector<uint8_t> out = card.read(kOut, in.size());
      for (size_t i = 0; i < size_t(n); i++)
        for (size_t e = 0; e < chw; e++) {
          const size_t at = fr::at_4n(i, e, chw);
          ASSERT_EQ(int(out[at]), int(f(in[at], e / (size_t(h) * w)))) << "item " << i << " element " << e;
        }
    };
    check(96, payload_of(zv_api_bnscale_forward_parallel_fix8b_t{kIn, kOut, kV0, kV1, kV2, n, c, h, w, 1, 1, 1, 1}),
          [&](uint8_t x, size_t k) { return fr::bnscale(x, scale[k * 4], bias[k * 2], shift[k * 2], 1, 1, 1, 1, -1); });
    {
      // 141 with a shared scale given as 5 (read as 1) and no scale vector.
      SCOPED_TRACE("api 141");
      auto r = card.send(
          141, payload_of(zv_api_normalize_fix8b_forward_t{kIn, kOut, 0, 0, 5, n, c, h, w, 1e-6f, 100.0f, 0, 1, 1}));
      ASSERT_TRUE(AnswerOk(card, r));
      T4 xs(n, c, h, w);
      for (size_t i = 0; i < size_t(n); i++)
        for (size_t e = 0; e < chw; e++) xs.v[i * chw + e] = fr::value8(in[fr::at_4n(i, e, chw)], true);
      const T4 y = ref::norm::normalize(xs, false, 1e-6f, std::vector<double>(size_t(c), 100.0), false);
      const std::vector<uint8_t> out = card.read(kOut, in.size());
      for (size_t i = 0; i < size_t(n); i++)
        for (size_t e = 0; e < chw; e++) {
          const double v = y.v[i * chw + e], got = fr::value8(out[fr::at_4n(i, e, chw)], true);
          ASSERT_LE(std::fabs(got - ref::norm::to_8bit(v, true)), std::fabs(v - std::round(v)) < 1e-3 ? 1.0 : 0.0)
              << i << " " << e;
        }
    }
    card.write(kV3, in.data(), in.size());  // a second 4N input
    check(84, payload_of(zv_api_eltwise_fix8b_forward_t{kIn, kV3, kOut, n, c, h, w, 0, 100, 27, 1, 1, 6, 5, 1}),
          [&](uint8_t x, size_t) {
            fr::i64 t = fr::sat(fr::rshift_round(fr::value8(x, true) * 100, 6), 16, true);
            t = fr::sat(fr::rshift_round(t * 32 + fr::value8(x, true) * 27, 5), 16, true);
            return fr::byte_of(fr::sat(t < 0 ? 0 : t, 8, false));
          });
    check(985, payload_of(zv_api_perchannel_shift_forward_parallel_fix8b_t{kIn, kOut, 0, n, c, h, w, 1, 3, 0, 1}),
          [&](uint8_t x, size_t) { return fr::byte_of(fr::sat(fr::shift_by(fr::value8(x, true), -3), 8, true)); });
    {
      // 90 then 9 with the addresses as offsets: back to the same bytes.
      SCOPED_TRACE("api 90 and 9");
      auto r = card.send(90, payload_of(zv_api_global_int2float_t{kIn & 0xffffffffu, kV3, n, c, h, w, 1}));
      ASSERT_TRUE(AnswerOk(card, r));
      const std::vector<float> f = get<float>(card, kV3, size_t(n) * chw);
      for (size_t i = 0; i < size_t(n); i++)
        for (size_t e = 0; e < chw; e++) ASSERT_EQ(f[i * chw + e], float(fr::value8(in[fr::at_4n(i, e, chw)], true)));
      r = card.send(9, payload_of(zv_api_nodechip_float2int8_t{kV3, kOut & 0xffffffffu, n, c, h, w, 1}));
      ASSERT_TRUE(AnswerOk(card, r));
      const std::vector<uint8_t> out = card.read(kOut, in.size());
      for (size_t i = 0; i < size_t(n); i++)
        for (size_t e = 0; e < chw; e++) ASSERT_EQ(out[fr::at_4n(i, e, chw)], in[fr::at_4n(i, e, chw)]);
    }
    check(164, payload_of(zv_api_bias_fix8b_forward_t{kIn, n, c, h, w, kV1, kOut, 1, 1, 93, 4, 1, 100}),
          [&](uint8_t x, size_t k) { return fr::biasadd(x, bias[k * 2], 93, 4, true, true, 100); });
  });
}

TEST(NormApi, ZeroCountsAndWrongSizes) {
  Card card;
  const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> empty = {
      {24, payload_of(zv_api_scale_forward_t{kIn, kV0, kV1, kOut, 0, 4, 1, 1, 1, 1, 1, 0})},
      // An output height of 0: nothing to scale.
      {24, payload_of(zv_api_scale_forward_t{kIn, kV0, kV1, kOut, 2, 4, 0, 1, 1, 1, 1, 0})},
      {48, payload_of(zv_api_normalize_forward_t{kIn, kOut, kV0, 0, 0, 0, 4, 1, 1, 1e-6f, 1.0f, 0})},
      {141, payload_of(zv_api_normalize_fix8b_forward_t{kIn, kOut, kV0, 0, 0, 0, 4, 1, 1, 1e-6f, 1.0f, 0, 1, 1})},
      {56, payload_of(zv_api_lrn_forward_parallel_t{kIn, kOut, 0, 4, 1, 1, 1.0f, 5, 0.75f, 1.0f})},
      {58, payload_of(zv_api_batchnorm_forward_inference_parallel_t{kIn, kV0, kV1, 1.0f, kV2, kOut, 1e-5f, 0, 4, 1, 1,
                                                                     0, 1, 0})},
      {59, payload_of(zv_api_batchnorm_forward_train_parallel_t{kIn, kV0, kV1, kV2, kV3, kOut, 1e-5f, 0.9f, 1.0f, 0, 4,
                                                                 1, 1})},
      {9, payload_of(zv_api_nodechip_float2int8_t{kIn, kOut, 0, 4, 1, 1, 1})},
      // An empty batch: nothing to convert.
      {90, payload_of(zv_api_global_int2float_t{kIn, kOut, 0, 4, 1, 1, 1})},
      {84, payload_of(zv_api_eltwise_fix8b_forward_t{kIn, kV3, kOut, 0, 4, 1, 1, 0, 1, 1, 1, 1, 0, 0, 0})},
      {985, payload_of(zv_api_perchannel_shift_forward_parallel_fix8b_t{kIn, kOut, 0, 0, 4, 1, 1, 0, 1, 0, 1})},
      {96, payload_of(zv_api_bnscale_forward_parallel_fix8b_t{kIn, kOut, kV0, kV1, kV2, 0, 4, 1, 1, 1, 1, 1, 0})},
      // An empty batch: nothing to add to, answered 0 with nothing issued.
      {164, payload_of(zv_api_bias_fix8b_forward_t{kIn, 0, 4, 1, 1, kV1, kOut, 1, 1, 3, 1, 0, 0})},
  };
  for (const auto &e : empty) {
    SCOPED_TRACE(e.first);
    auto r = card.send(e.first, e.second);
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<uint32_t> longer = e.second;
    longer.push_back(0);
    r = card.send(e.first, longer);
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
    r = card.send(e.first, std::vector<uint32_t>(e.second.begin(), e.second.end() - 1));
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
