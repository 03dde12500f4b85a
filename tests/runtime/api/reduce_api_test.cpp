// The reduce, segment reduce and cumulative sum APIs (200, 201, 701) end to end: messages
// through the host driver under the deferred schedule with several seeds and
// the happens-before checker on, and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/data/reduce.h"
#include "ref/reduce_fix8b_ref.h"
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
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    for (int dim = 0; dim < 4; dim++) {
      SCOPED_TRACE(std::string("dim ") + std::to_string(dim));
      auto a = card.send(701, payload_of(zv_api_cumsum_t{kIn, kOut, dim, dims[0], dims[1], dims[2], dims[3]}));
      ASSERT_TRUE(AnswerOk(card, a));
      EXPECT_EQ(get<float>(card, kOut, in.size()), ref::cumsum(in, dims, dim));
    }
  });
}

TEST(CumsumApi, WrongSizeAndBadDim) {
  Card card;
  std::vector<uint32_t> words = payload_of(zv_api_cumsum_t{kIn, kOut, 3, 1, 1, 1, 4});
  words.push_back(0);
  auto a = card.send(701, words);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_cumsum_t)\n"), std::string::npos) << card.console();

  a = card.send(701, payload_of(zv_api_cumsum_t{kIn, kOut, 4, 1, 1, 1, 4}));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": nodechip_cumsum: "), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

TEST(SegmentReduceApi, EveryFlag) {
  const std::vector<int> ids = {1, 0, 1, 3, 1};
  const int row_len = 10, segments = 4;
  std::vector<float> in(ids.size() * row_len);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int(i * 5 % 9) - 4);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    for (int flag = 0; flag <= 6; flag++) {
      SCOPED_TRACE(std::string("flag ") + std::to_string(flag));
      auto a = card.send(201, segment_payload({kIn, kOut, int(ids.size()), segments, row_len, flag}, ids));
      ASSERT_TRUE(AnswerOk(card, a));
      EXPECT_EQ(get<float>(card, kOut, size_t(segments) * row_len),
                ref::segment_reduce(in, ids, segments, row_len, flag));
    }
  });
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
    ASSERT_TRUE(AnswerOk(card, card.send(201, k.payload), k.result));
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_NE(card.console().find("ASSERT info: segment_reduce_flag=9 is not supported!"), std::string::npos)
      << card.console();
}

zv_api_reduce_t reduce_record(std::vector<int> shape, std::vector<int> axes, int method) {
  zv_api_reduce_t r = {};
  r.input = kIn;
  r.output = kOut;
  r.buffer = 0x105000000ull;
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
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    for (int method = 0; method <= 4; method++) {
      SCOPED_TRACE(std::string("method ") + std::to_string(method));
      ASSERT_TRUE(AnswerOk(card, card.send(200, payload_of(reduce_record(shape, axes, method)))));
      const std::vector<float> want = ref::reduce(in, shape, axes, method);
      EXPECT_EQ(get<float>(card, kOut, want.size()), want);
    }
  });
}

TEST(ReduceApi, UnknownMethodAndWrongSize) {
  Card card;
  auto a = card.send(200, payload_of(reduce_record({4, 5}, {1}, 5)));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find("ASSERT info: reduce_method=5"), std::string::npos) << card.console();
  std::vector<uint32_t> words = payload_of(reduce_record({4, 5}, {1}, 1));
  words.pop_back();
  a = card.send(200, words);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_reduce_t)\n"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}


zv_api_reduce_fix8b_t reduce_fix8b_record(std::vector<int> shape, std::vector<int> axes, int method, int keep,
                                          int is_signed, float in_scale, float out_scale) {
  zv_api_reduce_fix8b_t r = {};
  r.input = kIn;
  r.output = kOut;
  r.buffer = 0x105000000ull;
  std::memcpy(r.shape, shape.data(), shape.size() * 4);
  r.dims = int(shape.size());
  std::memcpy(r.axes, axes.data(), axes.size() * 4);
  r.axis_num = int(axes.size());
  r.reduce_method = method;
  r.keep_dims = keep;
  r.is_signed = is_signed;
  r.store_mode = FW_STORE_MODE_4N;
  std::memcpy(&r.input_scale, &in_scale, 4);
  std::memcpy(&r.output_scale, &out_scale, 4);
  return r;
}

// API 168's record written at the offsets of the API table, not through the
// firmware's struct.
std::vector<uint32_t> reduce_fix8b_message(const std::vector<int> &shape, const std::vector<int> &axes, int method,
                                           int keep, int is_signed, float in_scale, float out_scale) {
  std::vector<uint8_t> b(120, 0);
  auto put = [&](size_t at, const void *v, size_t n) { std::memcpy(&b[at], v, n); };
  const uint64_t in = kIn, out = kOut, buffer = 0x105000000ull;
  const int32_t dims = int32_t(shape.size()), axis_num = int32_t(axes.size()), mode = FW_STORE_MODE_4N;
  put(0, &in, 8);
  put(8, &out, 8);
  put(16, &buffer, 8);
  put(24, shape.data(), shape.size() * 4);
  put(56, &dims, 4);
  put(60, axes.data(), axes.size() * 4);
  put(92, &axis_num, 4);
  put(96, &method, 4);
  put(100, &keep, 4);
  put(104, &is_signed, 4);
  put(108, &mode, 4);
  put(112, &in_scale, 4);
  put(116, &out_scale, 4);
  std::vector<uint32_t> w(30);
  std::memcpy(w.data(), b.data(), b.size());
  return w;
}

// API 168: a 4N tensor of 6 items reduced over the batch and W by every
// method; the output has one item (keep_dims 1) or C as its batch (keep_dims 0).
TEST(ReduceFix8bApi, EveryMethodAndKeepDims) {
  const std::vector<int> shape = {6, 3, 5, 4}, axes = {0, 3};
  const size_t per = 60, groups = 2;
  std::vector<uint8_t> in4(groups * 4 * per);
  for (size_t i = 0; i < in4.size(); i++) in4[i] = uint8_t(i * 29 % 7);
  const std::vector<uint8_t> in = ref::to_1n(in4, 6, per);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in4.data(), in4.size());
    // A sentinel right behind a buffer of three times the input.
    const std::vector<uint8_t> sentinel(256, 0xa5);
    const uint64_t buffer_end = 0x105000000ull + 3 * in4.size();
    card.write(buffer_end, sentinel.data(), sentinel.size());
    for (int method = 0; method <= 4; method++)
      for (int keep = 0; keep <= 1; keep++) {
        SCOPED_TRACE(std::string("method ") + std::to_string(method) + ", keep " + std::to_string(keep));
        ASSERT_TRUE(AnswerOk(card, card.send(168, reduce_fix8b_message(shape, axes, method, keep, 1, 0.5f, 0.5f))));
        const std::vector<uint8_t> want = ref::reduce_fix8b(in, shape, axes, method, true, 0.5f, 0.5f);
        const size_t items = keep ? 1 : 3, out_per = want.size() / items;
        const std::vector<uint8_t> got = ref::to_1n(card.read(kOut, (items + 3) / 4 * 4 * out_per), items, out_per);
        for (size_t i = 0; i < want.size(); i++)
          EXPECT_EQ(int(got[i]), int(want[i])) << i;
        EXPECT_EQ(card.read(buffer_end, sentinel.size()), sentinel) << "nothing written past the buffer";
      }
  });
}

TEST(ReduceFix8bApi, Refusals) {
  const zv_api_reduce_fix8b_t good = reduce_fix8b_record({4, 2, 3}, {1}, 1, 1, 1, 1.0f, 1.0f);
  zv_api_reduce_fix8b_t zero = good, far = good, many = good, mode = good, unmerged = good;
  zero.shape[1] = 0;
  far.buffer = 0x2ffffffc0ull;  // its 72 bytes would pass the end of device memory
  many.axis_num = 9;
  mode.store_mode = FW_STORE_MODE_1N;
  const std::vector<int> s6 = {2, 3, 4, 5, 6, 7}, a3 = {1, 3, 5};
  unmerged = reduce_fix8b_record(s6, a3, 1, 1, 1, 1.0f, 1.0f);
  struct Bad {
    const char *what;
    zv_api_reduce_fix8b_t rec;
    const char *text;
  } const bad[] = {
      {"an extent of 0", zero, ": (shape[i]) > 0"},
      {"a buffer past device memory", far, ": api_global_fits("},
      {"nine axes", many, "rec.axis_num <= 8"},
      {"a 1N tensor", mode, ": store_mode == FW_STORE_MODE_4N"},
      {"a shape that does not merge to four dimensions", unmerged, ": merge_dim == 4"},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.what);
    Card card;
    ASSERT_TRUE(AnswerOk(card, card.send(168, payload_of(b.rec)), 1009u));
    EXPECT_NE(card.console().find(b.text), std::string::npos) << card.console();
    EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  }
  std::vector<uint32_t> words = payload_of(good);
  words.pop_back();
  Card card;
  ASSERT_TRUE(AnswerOk(card, card.send(168, words), 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_reduce_fix8b_t)\n"), std::string::npos);
}

}  // namespace
}  // namespace zv::test
