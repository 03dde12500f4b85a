// The binary APIs on tensor records (148, 149) end to end: messages through
// the host driver under the deferred schedule with several seeds and the
// happens-before checker, and on the ARM image; empty requests and wrong
// record sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/eltwise/binary.h"
#include "ref/binary_type_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kA = 0x101000000ull;
constexpr uint64_t kB = 0x103000000ull;
constexpr uint64_t kR = 0x105000000ull;
constexpr uint64_t kBuf = 0x107000000ull;

std::vector<float> ramp(size_t n, float scale, float shift) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int((i * 37 + 5) % 41) - 20) * scale + shift;
  return v;
}

TEST(BinaryApi, BroadcastAndStoredConstant) {
  const int n = 2, c = 70, h = 3, w = 5;
  const size_t total = size_t(n) * c * h * w;
  const std::vector<float> a = ramp(total, 0.25f, 0.0f);
  const std::vector<float> bias = ramp(c, 0.5f, 0.125f);
  const float stored = -3.5f;
  for_each_api_card([&](host::Card &card) {
    card.write(kA, a.data(), total * 4);
    card.write(kB, bias.data(), bias.size() * 4);
    // A x bias[c]: B broadcast along n, h and w.
    auto r = card.send(148, payload_of(zv_api_binary_t{
                                kA, kB, kR, kBuf, n, c, h, w, 1, 1, 1, 1, n, 1, h, w, 0, 0, 0, 0, BINARY_TYPE_MUL}));
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<float> got = get<float>(card, kR, total);
    for (size_t i = 0; i < total; i++) ASSERT_EQ(got[i], a[i] * bias[(i / size_t(h * w)) % size_t(c)]) << i;
    // max(A, stored constant) read on the ARM through the buffer.
    card.write(kB, &stored, 4);
    r = card.send(148, payload_of(zv_api_binary_t{kA,
                                                  kB,
                                                  kR,
                                                  kBuf,
                                                  n,
                                                  c,
                                                  h,
                                                  w,
                                                  1,
                                                  1,
                                                  1,
                                                  1,
                                                  1,
                                                  1,
                                                  1,
                                                  1,
                                                  0,
                                                  0,
                                                  BINARY_OPERAND_STORED,
                                                  0,
                                                  BINARY_TYPE_MAXIMUM}));
    ASSERT_TRUE(AnswerOk(card, r));
    got = get<float>(card, kR, total);
    for (size_t i = 0; i < total; i++) ASSERT_EQ(got[i], std::fmax(a[i], stored)) << i;
  });
}

TEST(SimpleBinaryApi, FlatTypes) {
  const size_t length = 4100;
  const std::vector<float> a = ramp(length, 0.125f, 0.0625f);
  const std::vector<float> b = ramp(length, 0.25f, 3.0625f);
  for_each_api_card([&](host::Card &card) {
    card.write(kA, a.data(), length * 4);
    card.write(kB, b.data(), length * 4);
    for (int type : {BINARY_TYPE_SUB, BINARY_TYPE_DIV, BINARY_TYPE_LESS_EQUAL, BINARY_TYPE_SIGMOID_GRAD}) {
      SCOPED_TRACE("type " + std::to_string(type));
      auto r = card.send(149, payload_of(zv_api_simple_binary_t{kA, kB, kR, kBuf, length, 0, 0, 0, 0, type}));
      ASSERT_TRUE(AnswerOk(card, r));
      const bool bytes = ref::binary_type::bytes_out(type);
      const std::vector<uint8_t> raw = card.read(kR, length * (bytes ? 1 : 4));
      const std::vector<float> got = bytes ? std::vector<float>() : as_floats(raw);
      for (size_t i = 0; i < length; i++) {
        const double want = ref::binary_type::apply(type, a[i], b[i]);
        const double v = bytes ? double(raw[i]) : double(got[i]);
        ASSERT_NEAR(v, want, 2e-7 * std::fmax(1.0, std::fabs(want))) << i;
      }
    }
  });
}

TEST(BinaryApi, EmptyRequestsAndWrongSizes) {
  Card card;
  auto r = card.send(149, payload_of(zv_api_simple_binary_t{kA, kB, kR, kBuf, 0, 0, 0, 0, 0, BINARY_TYPE_ADD}));
  ASSERT_TRUE(AnswerOk(card, r));
  r = card.send(148, payload_of(zv_api_binary_t{kA, kB, kR, kBuf, 0, 3, 4, 5, 1, 3, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0,
                                                BINARY_TYPE_ADD}));
  ASSERT_TRUE(AnswerOk(card, r));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_TRUE(card.chip().engines.bd.commands().empty());

  std::vector<uint32_t> words = payload_of(zv_api_binary_t{});
  words.pop_back();
  r = card.send(148, words);
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("size == sizeof(zv_api_binary_t)"), std::string::npos) << card.console();
  words = payload_of(zv_api_simple_binary_t{});
  words.push_back(0);
  r = card.send(149, words);
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("size == sizeof(zv_api_simple_binary_t)"), std::string::npos) << card.console();
  // A bad broadcast factor stops before anything is issued.
  r = card.send(148, payload_of(zv_api_binary_t{kA, kB, kR, kBuf, 6, 3, 4, 5, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0,
                                                BINARY_TYPE_ADD}));
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find(": A_bcast_n == 1 || A_bcast_n == n\n"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
