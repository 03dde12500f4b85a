// The arg APIs (157, 158) end to end: messages through the host driver, indices read
// back from device memory, under the deferred schedule with several seeds and
// the happens-before checker on, and on the ARM image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/data/arg.h"
#include "ref/arg_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kIndex = 0x103000000ull;
constexpr uint64_t kValue = 0x105000000ull;
constexpr uint64_t kScratch = 0x107000000ull;
constexpr uint64_t kBuf = 0x109000000ull;
constexpr uint64_t kBuf2 = 0x10b000000ull;

TEST(ArgApi, IndicesOfMaximaAndMinima) {
  const int dims[4] = {2, 5, 3, 4};
  std::vector<float> in(120);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int((i * 37 + 11) % 9) - 4);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    for (int axis = 0; axis < 4; axis++)
      for (int method = 0; method < 2; method++) {
        SCOPED_TRACE(std::string("axis ") + std::to_string(axis) + ", method " + std::to_string(method));
        auto a = card.send(157, payload_of(zv_api_arg_t{kIn, ARG_NO_OUTPUT, kIndex, dims[0], dims[1], dims[2], dims[3],
                                                        axis, method}));
        ASSERT_TRUE(AnswerOk(card, a));
        const size_t out = in.size() / size_t(dims[axis]);
        EXPECT_EQ(get<float>(card, kIndex, out), ref::arg_index(in, dims, axis, method));
      }
  });
}

// Values come with the indices; the first NaN wins both ways.
TEST(ArgApi, ValuesAndTheFirstNaN) {
  const float nan = std::nanf("");
  const std::vector<float> in = {5, 1, nan, 0, nan, 3, 9, 9, -1, 2};
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    for (int method = 0; method < 2; method++) {
      SCOPED_TRACE(std::string("method ") + std::to_string(method));
      ASSERT_TRUE(AnswerOk(card, card.send(157, payload_of(zv_api_arg_t{kIn, kValue, kIndex, 1, 1, 2, 5, 3, method}))));
      EXPECT_EQ(as_floats(card.read(kIndex, 8)), (std::vector<float>{2, method == 0 ? 2.0f : 3.0f}));
      const std::vector<float> v = as_floats(card.read(kValue, 8));
      EXPECT_TRUE(std::isnan(v[0]));
      EXPECT_EQ(v[1], method == 0 ? 9.0f : -1.0f);
    }
  });
}

TEST(ArgApi, NoItemsAndBadRecords) {
  Card card;
  auto a = card.send(157, payload_of(zv_api_arg_t{kIn, kValue, kIndex, 0, 3, 4, 5, 1, 0}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_EQ(card.chip().engines.scheduler.gdma.restarts, 0u) << "no id restart either";

  a = card.send(157, payload_of(zv_api_arg_t{kIn, kValue, kIndex, 1, 3, 4, 5, 1, 3}));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": nodechip_arg: "), std::string::npos) << card.console();
  EXPECT_NE(card.console().find(": method == 0 || method == 1\n"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

TEST(ArgFix8bApi, ValuesAndIndicesOf4NBytes) {
  const int dims[4] = {6, 3, 2, 5};
  std::vector<uint8_t> plain(180);
  for (size_t i = 0; i < plain.size(); i++) plain[i] = uint8_t((i * 73 + 5) % 7 * 40);
  const std::vector<uint8_t> four = ref::to_4n(plain, 6, 30, 0xee);
  std::vector<int> in(plain.begin(), plain.end());
  for (int &x : in) x = int(int8_t(uint8_t(x)));
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, four.data(), four.size());
    for (int axis = 0; axis < 4; axis++)
      for (int method = 0; method < 2; method++) {
        SCOPED_TRACE(std::string("axis ") + std::to_string(axis) + ", method " + std::to_string(method));
        auto a = card.send(158, payload_of(zv_api_arg_fix8b_t{kIn, kBuf, kValue, kBuf2, kIndex, kScratch, 1, dims[0],
                                                              dims[1], dims[2], dims[3], axis, method}));
        ASSERT_TRUE(AnswerOk(card, a));
        std::vector<int> values;
        const std::vector<float> want = ref::arg_index(in, dims, axis, method, true, &values);
        std::vector<int32_t> index(want.size());
        const std::vector<uint8_t> got = card.read(kIndex, index.size() * 4);
        std::memcpy(index.data(), got.data(), got.size());
        EXPECT_EQ(index, std::vector<int32_t>(want.begin(), want.end()));
        const int out_n = axis == 0 ? 1 : dims[0];
        const size_t len = values.size() / size_t(out_n);
        std::vector<uint8_t> want_values(values.begin(), values.end());
        EXPECT_EQ(ref::from_4n(card.read(kValue, size_t(out_n + 3) / 4 * 4 * len), out_n, len), want_values);
      }
  });
}

TEST(ArgFix8bApi, NoItemsAndAMissingIndexScratch) {
  Card card;
  auto a = card.send(158, payload_of(zv_api_arg_fix8b_t{kIn, 0, kValue, 0, kIndex, kScratch, 1, 0, 3, 4, 5, 1, 0}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());

  a = card.send(158, payload_of(zv_api_arg_fix8b_t{kIn, 0, kValue, 0, kIndex, ARG_NO_OUTPUT, 1, 4, 3, 4, 5, 2, 0}));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": nodechip_arg_fix8b: "), std::string::npos) << card.console();
  EXPECT_NE(card.console().find(": imm_index_global_addr != 9223372036854775807\n"), std::string::npos)
      << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
