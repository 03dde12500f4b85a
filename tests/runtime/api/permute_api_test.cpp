// The permute APIs (46, and 142 for 8-bit data) end to end: messages through the host driver, results
// read back from device memory, under the deferred schedule with several seeds
// and the happens-before checker on, and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/data/transpose.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kOut = 0x103000000ull;

TEST(PermuteApi, MovesChannelsLast) {
  struct Case {
    int n, c, h, w;
  };
  const Case cases[] = {{2, 5, 7, 9}, {1, 70, 3, 30}, {3, 1, 1, 9}};
  for_each_api_card([&](host::Card &card) {
    for (const Case &k : cases) {
      SCOPED_TRACE(std::to_string(k.n) + "x" + std::to_string(k.c) + "x" + std::to_string(k.h) + "x" +
                   std::to_string(k.w));
      const size_t bytes = size_t(k.n) * k.c * k.h * k.w * 4;
      std::vector<uint8_t> in(bytes);
      for (size_t i = 0; i < bytes; i++) in[i] = static_cast<uint8_t>(i * 11 + (i >> 7) + k.c);
      card.write(kIn, in.data(), in.size());
      ASSERT_TRUE(AnswerOk(card, card.send(46, payload_of(zv_api_permute_param_t{kIn, kOut, k.n, k.c, k.h, k.w}))));
      EXPECT_TRUE(card.read(kOut, bytes) == ref::permute_axes(in, {k.n, k.c, k.h, k.w}, {0, 2, 3, 1}, 4));
    }
  });
}

TEST(PermuteApi, MovesChannelsLastIn8BitData) {
  struct Case {
    int n, c, h, w;
  };
  // Batch groups of four items, and a last group of one.
  const Case cases[] = {{4, 5, 7, 9}, {5, 70, 3, 6}};
  for_each_api_card([&](host::Card &card) {
    for (const Case &k : cases) {
      SCOPED_TRACE(std::to_string(k.n) + "x" + std::to_string(k.c) + "x" + std::to_string(k.h) + "x" +
                   std::to_string(k.w));
      const size_t item = size_t(k.c) * k.h * k.w;
      std::vector<uint8_t> plain(size_t(k.n) * item);
      for (size_t i = 0; i < plain.size(); i++) plain[i] = static_cast<uint8_t>(i * 7 + (i >> 5) + k.w);
      const std::vector<uint8_t> in = ref::to_4n(plain, k.n, item);
      card.write(kIn, in.data(), in.size());
      auto a = card.send(142, payload_of(zv_api_permute_fix8b_param_t{kIn, kOut, k.n, k.c, k.h, k.w}));
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<uint8_t> want = ref::permute_axes(plain, {k.n, k.c, k.h, k.w}, {0, 2, 3, 1}, 1);
      EXPECT_TRUE(ref::from_4n(card.read(kOut, in.size()), k.n, item) == want);
    }
  });
  // No items: nothing is issued.
  Card card;
  ASSERT_TRUE(AnswerOk(card, card.send(142, payload_of(zv_api_permute_fix8b_param_t{kIn, kOut, 0, 3, 4, 5}))));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

TEST(PermuteApi, NoItemsAndTooLargePlanes) {
  Card card;
  auto a = card.send(46, payload_of(zv_api_permute_param_t{kIn, kOut, 0, 3, 4, 5}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_EQ(card.chip().engines.scheduler.gdma.restarts, 0u) << "no id restart either";

  // 64 channels of 65536 positions fill half a lane exactly: refused.
  a = card.send(46, payload_of(zv_api_permute_param_t{kIn, kOut, 1, 64, 256, 256}));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": nodechip_permute_by_gdma: "), std::string::npos) << card.console();
  EXPECT_NE(card.console().find("api = 46 assert fail\n"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
