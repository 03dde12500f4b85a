// The filter API (19) end to end: messages through the host driver under the
// deferred schedule with several seeds and the happens-before checker on, and
// on the ARM image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "card.h"
#include "fw_test.h"
#include "layers/data/select.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x100000000ull;
constexpr uint64_t kFlags = 0x101000000ull;
constexpr uint64_t kOut = 0x102000000ull;
constexpr uint64_t kScratch = 0x103000000ull;

std::vector<float> as_floats(const std::vector<uint8_t> &bytes) {
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

TEST(FilterApi, KeepsFlaggedItems) {
  std::vector<float> in(4 * 6);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(i);
  const std::vector<float> flags = {0.0f, NAN, -0.0f, 2.0f};
  std::vector<float> want(in.begin() + 6, in.begin() + 12);
  want.insert(want.end(), in.begin() + 18, in.end());
  for (const CardConfig &cfg : kApiCards) {
    SCOPED_TRACE(card_config_name(cfg));
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kIn, in.data(), in.size() * 4);
    card->write(kFlags, flags.data(), flags.size() * 4);
    auto a = card->send(19, payload_of(zv_api_filter_forward_t{kIn, kFlags, kOut, kScratch, 4, 2, 1, 3}));
    ASSERT_TRUE(a) << card->trouble();
    EXPECT_EQ(a->result, 0u) << card->console();
    EXPECT_TRUE(no_findings(card->chip()));
    EXPECT_EQ(as_floats(card->read(kOut, want.size() * 4)), want);
  }
}

TEST(FilterApi, NoItemsAndWrongSize) {
  Card card;
  auto a = card.send(19, payload_of(zv_api_filter_forward_t{kIn, kFlags, kOut, kScratch, 0, 2, 1, 3}));
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 0u);
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  std::vector<uint32_t> words = payload_of(zv_api_filter_forward_t{kIn, kFlags, kOut, kScratch, 1, 2, 1, 3});
  words.pop_back();
  a = card.send(19, words);
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 1009u);
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_filter_forward_t)\n"), std::string::npos) << card.console();
}

}  // namespace
}  // namespace zv::test
