// API 67 (softmax) end to end: messages through the host driver under the
// deferred schedule with several seeds and the happens-before checker, and on
// the ARM image; the zero-count return, a wrong size and a refused precision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/eltwise/softmax.h"
#include "ref/softmax_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kBuf = 0x102000000ull;
constexpr uint64_t kOut = 0x103000000ull;

TEST(SoftmaxApi, FloatAndFourItemsAWord) {
  const uint32_t n = 5, c = 6, h = 2, w = 3, S = h * w;
  const size_t total = size_t(n) * c * S;
  std::vector<float> f(total);
  std::vector<double> xf(total), xb(total);
  std::vector<uint8_t> packed(8 * c * S);
  const float scale = 0.125f;
  for (size_t i = 0; i < total; i++) {
    f[i] = float(int((i * 31 + 5) % 41) - 20) / 4.0f;
    xf[i] = f[i];
    const uint8_t byte = uint8_t((i * 53 + 7) % 256);
    xb[i] = double(float(int8_t(byte)) * scale);
    const size_t b = i / (c * S), rest = i % (c * S);
    packed[4 * ((b / 4) * c * S + rest) + b % 4] = byte;
  }
  const std::vector<double> want_f = ref::softmax(xf, n, c, S, false), want_b = ref::softmax(xb, n, c, S, false);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, f.data(), total * 4);
    auto r = card.send(67, payload_of(zv_api_softmax_forward_parallel_t{kIn, kOut, n, c, h, w, 0, 0.0f, 0, 0}));
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<float> out = get<float>(card, kOut, total);
    for (size_t i = 0; i < total; i++) ASSERT_NEAR(out[i], want_f[i], 2e-6) << i;

    card.write(kIn, packed.data(), packed.size());
    r = card.send(67, payload_of(zv_api_softmax_forward_parallel_t{kIn, kOut, n, c, h, w, 1, scale, 2, kBuf}));
    ASSERT_TRUE(AnswerOk(card, r));
    out = get<float>(card, kOut, total);
    for (size_t i = 0; i < total; i++) ASSERT_NEAR(out[i], want_b[i], 2e-6) << i;
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(SoftmaxApi, ZeroCountWrongSizeAndPrecision) {
  Card card;
  const zv_api_softmax_forward_parallel_t empty = {kIn, kOut, 0, 6, 2, 3, 0, 1.0f, 0, 0};
  auto r = card.send(67, payload_of(empty));
  ASSERT_TRUE(AnswerOk(card, r));
  std::vector<uint32_t> short_payload = payload_of(empty);
  short_payload.pop_back();
  r = card.send(67, short_payload);
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("size == sizeof(zv_api_softmax_forward_parallel_t)"), std::string::npos);
  r = card.send(67, payload_of(zv_api_softmax_forward_parallel_t{kIn, kOut, 1, 6, 2, 3, 3, 1.0f, 0, 0}));
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("bottom_prec <= 2"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
