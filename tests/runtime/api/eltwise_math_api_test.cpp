// The element-wise math APIs (13, 26, 27, 29, 38, 40, 44) end to end: messages
// through the host driver under the deferred schedule with several seeds and
// the happens-before checker, and on the ARM image; log, exp and BNLL answer
// with their assertion; zero counts and wrong sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/eltwise/eltwise_math.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kBias = 0x102000000ull;
constexpr uint64_t kOut = 0x103000000ull;

// A record of four-byte fields after the input and output addresses, written
// at the offsets of the API table.
std::vector<uint32_t> io_message(std::vector<uint32_t> fields) {
  std::vector<uint32_t> w = {uint32_t(kIn), uint32_t(kIn >> 32), uint32_t(kOut), uint32_t(kOut >> 32)};
  w.insert(w.end(), fields.begin(), fields.end());
  return w;
}
uint32_t f32(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

TEST(EltwiseMathApi, EachIdEndToEnd) {
  const uint32_t n = 3, c = 700, h = 2, w = 2;
  const size_t count = size_t(n) * c;  // power, bias, threshold: n x c
  std::vector<float> in(count * h * w), bias(count * h * w);
  for (size_t i = 0; i < in.size(); i++) {
    in[i] = float(int((i * 37 + 3) % 61) - 30) / 8.0f;
    bias[i] = float(int(i % 13) - 6) / 4.0f;
  }
  struct Case {
    const char *what;
    uint32_t id;
    std::vector<uint32_t> payload;
    size_t count;
    std::function<double(size_t)> ref;
  };
  const Case cases[] = {
      {"29 power", 29, payload_of(zv_api_power_forward_t{kIn, kOut, 2.0f, 0.5f, 1.0f, n, c, h, w}), count,
       [&](size_t i) { return std::pow(1.0 + 0.5 * in[i], 2.0); }},
      {"40 ELU", 40, payload_of(zv_api_elu_forward_t{kIn, kOut, 1.0f, 1.0f, n, c, h, w}), in.size(),
       [&](size_t i) { return in[i] > 0 ? in[i] : std::exp(double(in[i])) - 1; }},
      {"38 bias", 38, payload_of(zv_api_bias_forward_t{kIn, kBias, kOut, n, c, h, w}), count,
       [&](size_t i) { return double(in[i] + bias[i]); }},
      {"26 threshold", 26, payload_of(zv_api_threshold_forward_t{kIn, kOut, 0.5f, n, c, h, w}), count,
       [&](size_t i) { return in[i] > 0.5f ? 1.0 : 0.0; }},
      // Power and threshold touch n x c elements only: h and w may be 0.
      // 29: power, scale, shift at 16, 20, 24; n, c, h, w at 28 to 40.
      {"29 power, h and w 0", 29, io_message({f32(3.0f), f32(1.0f), f32(0.0f), n, c, 0, 0}), count,
       [&](size_t i) { return std::pow(double(in[i]), 3.0); }},
      // 26: threshold at 16; n, c, h, w at 20 to 32.
      {"26 threshold, h 0", 26, io_message({f32(-1.0f), n, c, 0, 7}), count,
       [&](size_t i) { return in[i] > -1.0f ? 1.0 : 0.0; }},
  };
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    card.write(kBias, bias.data(), bias.size() * 4);
    for (const Case &k : cases) {
      SCOPED_TRACE(k.what);
      ASSERT_TRUE(AnswerOk(card, card.send(k.id, k.payload)));
      const std::vector<float> out = get<float>(card, kOut, k.count);
      for (size_t i = 0; i < k.count; i++)
        ASSERT_NEAR(out[i], k.ref(i), 1e-6 * std::fmax(1.0, std::fabs(k.ref(i)))) << i;
    }
    // Log, exp and BNLL have no computing path.
    const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> stopping = {
        {13, payload_of(zv_api_log_forward_t{kIn, kOut, 1.0f, 0.0f, 10.0f, n, c, h, w})},
        {27, payload_of(zv_api_exp_forward_t{kIn, kOut, -1.0f, 2.0f, 0.0f, n, c, h, w})},
        {44, payload_of(zv_api_bnll_forward_t{kIn, kOut, n, c, h, w})},
        // h = 0 passes the handler (exp and BNLL count n x c) and reaches the layer.
        {27, io_message({f32(-1.0f), f32(2.0f), f32(0.0f), n, c, 0, 0})},
        {44, io_message({n, c, 0, 3})},
    };
    for (const auto &s : stopping) {
      SCOPED_TRACE(std::string("api ") + std::to_string(s.first));
      const size_t seen = card.console().size();
      ASSERT_TRUE(AnswerOk(card, card.send(s.first, s.second), 1009u));
      if (s.first != 13) {  // the layer's own stop, not the handler's
        EXPECT_NE(card.console().find("_forward_internal", seen), std::string::npos) << card.console();
      }
    }
  });
}

TEST(EltwiseMathApi, ZeroCountsAndWrongSizes) {
  Card card;
  const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> empty = {
      {29, payload_of(zv_api_power_forward_t{kIn, kOut, 2.0f, 1.0f, 0.0f, 0, 4, 1, 1})},
      {40, payload_of(zv_api_elu_forward_t{kIn, kOut, 1.0f, 1.0f, 0, 4, 1, 1})},
      {38, payload_of(zv_api_bias_forward_t{kIn, kBias, kOut, 0, 4, 1, 1})},
      {26, payload_of(zv_api_threshold_forward_t{kIn, kOut, 0.5f, 0, 4, 1, 1})},
      {13, payload_of(zv_api_log_forward_t{kIn, kOut, 1.0f, 0.0f, 1.0f, 0, 4, 1, 1})},
      {27, payload_of(zv_api_exp_forward_t{kIn, kOut, 2.0f, 1.0f, 0.0f, 0, 4, 1, 1})},
      {44, payload_of(zv_api_bnll_forward_t{kIn, kOut, 0, 4, 1, 1})},
  };
  for (const auto &e : empty) {
    auto r = card.send(e.first, e.second);
    ASSERT_TRUE(AnswerOk(card, r)) << e.first;
    std::vector<uint32_t> longer = e.second;
    longer.push_back(0);
    r = card.send(e.first, longer);
    ASSERT_TRUE(AnswerOk(card, r, 1009u)) << e.first;
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
