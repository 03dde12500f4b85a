// The sort and top-k APIs (180, 700) end to end: messages through the host
// driver under the deferred schedule with several seeds and the happens-before
// checker on, and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/data/topk.h"
#include "ref/topk_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kValue = 0x103000000ull;
constexpr uint64_t kIndex = 0x105000000ull;
constexpr uint64_t kBuf1 = 0x107000000ull;
constexpr uint64_t kBuf2 = 0x109000000ull;
constexpr uint64_t kBuf3 = 0x10b000000ull;

zv_api_sort_per_dim_t sort_record(int type_size, int dim, u8 descending) {
  zv_api_sort_per_dim_t r = {};
  r.input_addr = kIn;
  r.index_out_addr = kIndex;
  r.value_out_addr = kValue;
  r.buffer_addr = kBuf1;
  r.buffer2_addr = kBuf2;
  r.buffer3_addr = kBuf3;
  r.type_size = type_size;
  const int shape[3] = {3, 4, 5};
  std::memcpy(r.shape, shape, sizeof(shape));
  r.dims = 3;
  r.dim = dim;
  r.descending = descending;
  return r;
}

TEST(TopkApi, EveryDim) {
  const int dims[4] = {2, 3, 4, 5};
  std::vector<float> in(120);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int(i * 7 % 11) - 5);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    for (int dim = 0; dim < 4; dim++) {
      SCOPED_TRACE(std::string("dim ") + std::to_string(dim));
      const int k = dims[dim] - 1;
      auto a =
          card.send(700, payload_of(zv_api_topk_t{kIn, kValue, kIndex, k, dim, dims[0], dims[1], dims[2], dims[3]}));
      ASSERT_TRUE(AnswerOk(card, a));
      std::vector<float> want;
      std::vector<int32_t> where;
      ref::sort_along(in, {dims[0], dims[1], dims[2], dims[3]}, dim, true, k, &want, &where);
      EXPECT_EQ(values_of<float>(card.read(kValue, want.size() * 4)), want);
      EXPECT_EQ(values_of<int32_t>(card.read(kIndex, where.size() * 4)), where);
    }
  });
}

TEST(TopkApi, KAgainstTheChosenExtentAndWrongSize) {
  Card card;
  struct Case {
    const char *what;
    zv_api_topk_t rec;
    uint32_t result;
  };
  // Shape 1 x 6 x 1 x 2: along C, k may reach 6 although W is 2.
  const Case cases[] = {
      {"k 0", {kIn, kValue, kIndex, 0, 3, 1, 6, 1, 2}, 1009},
      {"k one above W", {kIn, kValue, kIndex, 3, 3, 1, 6, 1, 2}, 1009},
      {"k equal to W", {kIn, kValue, kIndex, 2, 3, 1, 6, 1, 2}, 0},
      {"k above W, within C", {kIn, kValue, kIndex, 5, 1, 1, 6, 1, 2}, 0},
      {"k above C", {kIn, kValue, kIndex, 7, 1, 1, 6, 1, 2}, 1009},
      {"dim 4", {kIn, kValue, kIndex, 1, 4, 1, 6, 1, 2}, 1009},
  };
  std::vector<float> in = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8};
  card.write(kIn, in.data(), in.size() * 4);
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(AnswerOk(card, card.send(700, payload_of(k.rec)), k.result));
  }
  EXPECT_EQ(values_of<float>(card.read(kValue, 10 * 4)), (std::vector<float>{5, 9, 5, 8, 5, 6, 4, 3, 3, 1}));
  EXPECT_NE(card.console().find(": rec.k >= 1 && rec.k <= extent\n"), std::string::npos) << card.console();
  std::vector<uint32_t> words = payload_of(zv_api_topk_t{kIn, kValue, kIndex, 1, 3, 1, 1, 1, 4});
  words.pop_back();
  ASSERT_TRUE(AnswerOk(card, card.send(700, words), 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_topk_t)\n"), std::string::npos) << card.console();
}

TEST(SortApi, FloatAndBytesByTypeSize) {
  std::vector<float> f(60);
  for (size_t i = 0; i < f.size(); i++) f[i] = float(int(i * 7 % 13) - 6);
  std::vector<int8_t> b(60);
  for (size_t i = 0; i < b.size(); i++) b[i] = int8_t(int(i * 37 % 256) - 128);
  for_each_api_card([&](host::Card &card) {
    for (int type_size : {4, 1})
      for (int dim = 0; dim < 3; dim++) {
        SCOPED_TRACE(std::string("type size ") + std::to_string(type_size) + ", dim " + std::to_string(dim));
        const u8 descending = dim % 2;
        if (type_size == 4) card.write(kIn, f.data(), f.size() * 4);
        else card.write(kIn, b.data(), b.size());
        ASSERT_TRUE(AnswerOk(card, card.send(180, payload_of(sort_record(type_size, dim, descending)))));
        std::vector<int32_t> where;
        if (type_size == 4) {
          std::vector<float> want;
          ref::sort_along(f, {3, 4, 5}, dim, descending != 0, std::vector<int>{3, 4, 5}[size_t(dim)], &want, &where);
          EXPECT_EQ(values_of<float>(card.read(kValue, 240)), want);
        } else {
          std::vector<int8_t> want;
          ref::sort_along(b, {3, 4, 5}, dim, descending != 0, std::vector<int>{3, 4, 5}[size_t(dim)], &want, &where);
          EXPECT_EQ(values_of<int8_t>(card.read(kValue, 60)), want);
        }
        EXPECT_EQ(values_of<int32_t>(card.read(kIndex, 240)), where);
      }
  });
}

TEST(SortApi, WrongSize) {
  Card card;
  std::vector<uint32_t> words = payload_of(sort_record(4, 0, 1));
  words.push_back(0);
  ASSERT_TRUE(AnswerOk(card, card.send(180, words), 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_sort_per_dim_t)\n"), std::string::npos) << card.console();
}

}  // namespace
}  // namespace zv::test
