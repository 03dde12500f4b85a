// The reduce, segment reduce and cumulative sum APIs (200, 201, 701) end to end: messages
// through the host driver under the deferred schedule with several seeds and
// the happens-before checker on, and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card.h"
#include "fw_test.h"
#include "layers/data/reduce.h"
#include "ref/reduce_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kOut = 0x103000000ull;

// The head and the ids as one payload.
std::vector<uint32_t> segment_payload(const zv_api_segment_reduce_t &head, const std::vector<int> &ids) {
  std::vector<uint32_t> words = payload_of(head);
  for (int id : ids) words.push_back(uint32_t(id));
  return words;
}

TEST(CumsumApi, EveryDim) {
  const int dims[4] = {2, 3, 4, 5};
  std::vector<float> in(120);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int(i * 7 % 11) - 5);
  for (const CardConfig &cfg : kApiCards) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kIn, in.data(), in.size() * 4);
    for (int dim = 0; dim < 4; dim++) {
      SCOPED_TRACE(card_config_name(cfg) + ": dim " + std::to_string(dim));
      auto a = card->send(701, payload_of(zv_api_cumsum_t{kIn, kOut, dim, dims[0], dims[1], dims[2], dims[3]}));
      ASSERT_TRUE(a) << card->trouble();
      EXPECT_EQ(a->result, 0u) << card->console();
      EXPECT_TRUE(no_findings(card->chip()));
      EXPECT_EQ(as_floats(card->read(kOut, in.size() * 4)), ref::cumsum(in, dims, dim));
    }
  }
}

TEST(CumsumApi, WrongSizeAndBadDim) {
  Card card;
  std::vector<uint32_t> words = payload_of(zv_api_cumsum_t{kIn, kOut, 3, 1, 1, 1, 4});
  words.push_back(0);
  auto a = card.send(701, words);
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 1009u);
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_cumsum_t)\n"), std::string::npos) << card.console();

  a = card.send(701, payload_of(zv_api_cumsum_t{kIn, kOut, 4, 1, 1, 1, 4}));
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 1009u);
  EXPECT_NE(card.console().find(": nodechip_cumsum: "), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

TEST(SegmentReduceApi, EveryFlag) {
  const std::vector<int> ids = {1, 0, 1, 3, 1};
  const int row_len = 10, segments = 4;
  std::vector<float> in(ids.size() * row_len);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int(i * 5 % 9) - 4);
  for (const CardConfig &cfg : kApiCards) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kIn, in.data(), in.size() * 4);
    for (int flag = 0; flag <= 6; flag++) {
      SCOPED_TRACE(card_config_name(cfg) + ": flag " + std::to_string(flag));
      auto a = card->send(201, segment_payload({kIn, kOut, int(ids.size()), segments, row_len, flag}, ids));
      ASSERT_TRUE(a) << card->trouble();
      EXPECT_EQ(a->result, 0u) << card->console();
      EXPECT_TRUE(no_findings(card->chip()));
      EXPECT_EQ(as_floats(card->read(kOut, size_t(segments) * row_len * 4)),
                ref::segment_reduce(in, ids, segments, row_len, flag));
    }
  }
}

TEST(SegmentReduceApi, SizesZeroCountsAndRefusals) {
  Card card;
  const std::vector<int> ids = {0, 0, 0};
  struct Case {
    const char *what;
    std::vector<uint32_t> payload;
    uint32_t result;
  };
  std::vector<uint32_t> short_one = segment_payload({kIn, kOut, 3, 1, 4, 0}, ids);
  short_one.pop_back();
  std::vector<uint32_t> long_one = segment_payload({kIn, kOut, 3, 1, 4, 0}, ids);
  long_one.push_back(0);
  // 0x40000000 rows: 32 + 4 x rows wraps to 32 in 32 bits.
  const Case cases[] = {
      {"40 bytes for 3 rows", short_one, 1009},
      {"48 bytes for 3 rows", long_one, 1009},
      {"a row count whose size wraps in 32 bits", payload_of(zv_api_segment_reduce_t{kIn, kOut, 0x40000000, 1, 4, 0}),
       1009},
      {"no segments", segment_payload({kIn, kOut, 3, 0, 4, 0}, ids), 0},
      {"rows of length 0", segment_payload({kIn, kOut, 3, 1, 0, 0}, ids), 0},
      {"a negative row length", segment_payload({kIn, kOut, 3, 1, -1, 0}, ids), 1009},
      {"an unknown flag", segment_payload({kIn, kOut, 3, 1, 4, 9}, ids), 1009},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    auto a = card.send(201, k.payload);
    ASSERT_TRUE(a) << card.trouble();
    EXPECT_EQ(a->result, k.result) << card.console();
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_NE(card.console().find("ASSERT info: segment_reduce_flag=9 is not supported!"), std::string::npos)
      << card.console();
}

zv_api_reduce_t reduce_record(std::vector<int> shape, std::vector<int> axes, int method) {
  zv_api_reduce_t r = {};
  r.input_addr = kIn;
  r.output_addr = kOut;
  r.buffer_addr = 0x105000000ull;
  std::memcpy(r.shape, shape.data(), shape.size() * 4);
  r.dims = int(shape.size());
  std::memcpy(r.axes, axes.data(), axes.size() * 4);
  r.axis_num = int(axes.size());
  r.reduce_method = method;
  return r;
}

TEST(ReduceApi, EveryMethod) {
  const std::vector<int> shape = {3, 4, 5, 2}, axes = {1, 3};
  std::vector<float> in(120);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int(i * 7 % 5) - 2);
  for (const CardConfig &cfg : kApiCards) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kIn, in.data(), in.size() * 4);
    for (int method = 0; method <= 4; method++) {
      SCOPED_TRACE(card_config_name(cfg) + ": method " + std::to_string(method));
      auto a = card->send(200, payload_of(reduce_record(shape, axes, method)));
      ASSERT_TRUE(a) << card->trouble();
      EXPECT_EQ(a->result, 0u) << card->console();
      EXPECT_TRUE(no_findings(card->chip()));
      const std::vector<float> want = ref::reduce(in, shape, axes, method);
      EXPECT_EQ(as_floats(card->read(kOut, want.size() * 4)), want);
    }
  }
}

TEST(ReduceApi, UnknownMethodAndWrongSize) {
  Card card;
  auto a = card.send(200, payload_of(reduce_record({4, 5}, {1}, 5)));
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 1009u);
  EXPECT_NE(card.console().find("ASSERT info: reduce_method=5"), std::string::npos) << card.console();
  std::vector<uint32_t> words = payload_of(reduce_record({4, 5}, {1}, 1));
  words.pop_back();
  a = card.send(200, words);
  ASSERT_TRUE(a) << card.trouble();
  EXPECT_EQ(a->result, 1009u);
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_reduce_t)\n"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
