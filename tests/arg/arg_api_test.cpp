// The arg API (157) end to end: messages through the host driver, indices read
// back from device memory, under the deferred schedule with several seeds and
// the happens-before checker on, and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card.h"
#include "fw_test.h"
#include "nodechip_arg.h"
#include "ref/arg_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x100000000ull;
constexpr uint64_t kIndex = 0x102000000ull;
constexpr uint64_t kValue = 0x104000000ull;

std::vector<float> as_floats(const std::vector<uint8_t> &bytes) {
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

TEST(ArgApi, IndicesOfMaximaAndMinima) {
  const int dims[4] = {2, 5, 3, 4};
  std::vector<float> in(120);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int((i * 37 + 11) % 9) - 4);
  for (const CardConfig &cfg : kApiCards) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kIn, in.data(), in.size() * 4);
    for (int axis = 0; axis < 4; axis++)
      for (int method = 0; method < 2; method++) {
        SCOPED_TRACE(card_config_name(cfg) + ": axis " + std::to_string(axis) + ", method " + std::to_string(method));
        auto a = card->send(157, payload_of(zv_api_arg_t{kIn, ARG_NO_OUTPUT, kIndex, dims[0], dims[1], dims[2],
                                                         dims[3], axis, method}));
        ASSERT_TRUE(a) << card->trouble();
        EXPECT_EQ(a->result, 0u) << card->console();
        EXPECT_TRUE(card->chip().engines.findings().empty()) << card->chip().engines.findings().front();
        const size_t out = in.size() / size_t(dims[axis]);
        EXPECT_EQ(as_floats(card->read(kIndex, out * 4)), ref::arg_index(in, dims, axis, method));
      }
  }
}

TEST(ArgApi, NoItemsAndBadRecords) {
  Card card;
  auto a = card.send(157, payload_of(zv_api_arg_t{kIn, kValue, kIndex, 0, 3, 4, 5, 1, 0}));
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 0u);
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_EQ(card.chip().engines.scheduler.gdma.restarts, 0u) << "no id restart either";

  a = card.send(157, payload_of(zv_api_arg_t{kIn, kValue, kIndex, 1, 3, 4, 5, 1, 3}));
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 1009u);
  EXPECT_NE(card.console().find(": nodechip_arg: "), std::string::npos) << card.console();
  EXPECT_NE(card.console().find(": method == 0 || method == 1\n"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
