// The filter, select, index-select, where and masked-select APIs (19, 151, 181,
// 702, 703) end to end: messages through the host driver under the
// deferred schedule with several seeds and the happens-before checker on, and
// on the ARM image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/data/fc_decompress.h"
#include "layers/data/select.h"
#include "ref/fc_decompress_ref.h"
#include "ref/index_select_ref.h"
#include "ref/masked_select_ref.h"
#include "ref/where_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kFlags = 0x102000000ull;
constexpr uint64_t kOut = 0x103000000ull;
constexpr uint64_t kScratch = 0x104000000ull;
constexpr uint64_t kIndex = 0x105000000ull;
constexpr uint64_t kBuf1 = 0x106000000ull;
constexpr uint64_t kBuf2 = 0x107000000ull;

zv_api_index_select_t index_record(int index_num, int type_size, int axis) {
  zv_api_index_select_t r = {};
  r.input_addr = kIn;
  r.index_addr = kIndex;
  r.index_num = index_num;
  r.output_addr = kOut;
  r.buffer_addr = kBuf1;
  r.buffer2_addr = kBuf2;
  r.type_size = type_size;
  const int shape[3] = {3, 8, 5};
  std::memcpy(r.shape, shape, sizeof(shape));
  r.dims = 3;
  r.axis = axis;
  return r;
}

TEST(FilterApi, KeepsFlaggedItems) {
  std::vector<float> in(4 * 6);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(i);
  const std::vector<float> flags = {0.0f, NAN, -0.0f, 2.0f};
  std::vector<float> want(in.begin() + 6, in.begin() + 12);
  want.insert(want.end(), in.begin() + 18, in.end());
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    card.write(kFlags, flags.data(), flags.size() * 4);
    auto a = card.send(19, payload_of(zv_api_filter_forward_t{kIn, kFlags, kOut, kScratch, 4, 2, 1, 3}));
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, want.size()), want);
  });
}

TEST(FilterApi, NoItemsAndWrongSize) {
  Card card;
  auto a = card.send(19, payload_of(zv_api_filter_forward_t{kIn, kFlags, kOut, kScratch, 0, 2, 1, 3}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  std::vector<uint32_t> words = payload_of(zv_api_filter_forward_t{kIn, kFlags, kOut, kScratch, 1, 2, 1, 3});
  words.pop_back();
  a = card.send(19, words);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_filter_forward_t)\n"), std::string::npos) << card.console();
}

TEST(IndexSelectApi, FloatAndBytesByTypeSize) {
  const std::vector<int> shape = {3, 8, 5};
  // Per axis (extents 3, 8 and 5): runs and repeats.
  const std::vector<int> index[3] = {{2, 0, 1}, {7, 0, 1, 2, 2}, {4, 0, 1}};
  std::vector<float> f(120);
  for (size_t i = 0; i < f.size(); i++) f[i] = float(i) - 60.0f;
  std::vector<int8_t> b(120);
  for (size_t i = 0; i < b.size(); i++) b[i] = int8_t(i * 3);
  for_each_api_card([&](host::Card &card) {
    for (int type_size : {4, 1, 2})
      for (int axis : {0, 1, -1}) {
        SCOPED_TRACE(std::string("type size ") + std::to_string(type_size) + ", axis " + std::to_string(axis));
        const std::vector<int> &idx = index[axis < 0 ? 2 : axis];
        card.write(kIndex, idx.data(), idx.size() * 4);
        if (type_size == 4) card.write(kIn, f.data(), f.size() * 4);
        else card.write(kIn, b.data(), b.size());
        ASSERT_TRUE(AnswerOk(card, card.send(181, payload_of(index_record(int(idx.size()), type_size, axis)))));
        if (type_size == 4) {
          const std::vector<float> want = ref::index_select(f, shape, axis, idx);
          EXPECT_EQ(get<float>(card, kOut, want.size()), want);
        } else {
          const std::vector<int8_t> want = ref::index_select(b, shape, axis, idx);
          const std::vector<uint8_t> got = card.read(kOut, want.size());
          EXPECT_EQ(std::vector<int8_t>(got.begin(), got.end()), want);
        }
      }
  });
}

TEST(IndexSelectApi, WrongSizeAndABadIndex) {
  Card card;
  std::vector<uint32_t> words = payload_of(index_record(1, 4, 0));
  words.push_back(0);
  auto a = card.send(181, words);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_index_select_t)\n"), std::string::npos) << card.console();
  const std::vector<int> bad = {0, -1};
  card.write(kIndex, bad.data(), 8);
  a = card.send(181, payload_of(index_record(2, 1, 0)));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find("ASSERT info: index -1 at 1, extent 3"), std::string::npos) << card.console();
}

TEST(MaskedSelectApi, CountsAndSelections) {
  const std::vector<int> shape = {2, 3, 4};
  std::vector<float> src(24), mask(24);
  for (size_t i = 0; i < src.size(); i++) {
    src[i] = float(i) * 1.5f;
    mask[i] = i % 3 == 0 ? 1.0f : i == 7 ? NAN : 0.0f;
  }
  const std::vector<float> want = ref::masked_select(src, shape, mask, shape);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, src.data(), src.size() * 4);
    card.write(kFlags, mask.data(), mask.size() * 4);
    zv_api_masked_select_t r = {kIn, kFlags, {2, 3, 4, 0, 0, 0, 0, 0}, 3, kOut, kScratch, 4, 4, kBuf1};
    auto a = card.send(703, payload_of(r));
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, want.size()), want);
    std::vector<uint8_t> got = card.read(kScratch, 4);
    int32_t count;
    std::memcpy(&count, got.data(), 4);
    EXPECT_EQ(count, int32_t(want.size()));
    // Nothing selected: the count 0 is written all the same.
    const std::vector<float> none(24, 0.0f);
    card.write(kFlags, none.data(), none.size() * 4);
    a = card.send(703, payload_of(r));
    ASSERT_TRUE(AnswerOk(card, a));
    got = card.read(kScratch, 4);
    std::memcpy(&count, got.data(), 4);
    EXPECT_EQ(count, 0);
  });
}

TEST(MaskedSelectApi, WrongSize) {
  Card card;
  zv_api_masked_select_t r = {kIn, kFlags, {2, 3, 4, 0, 0, 0, 0, 0}, 3, kOut, kScratch, 4, 4, kBuf1};
  std::vector<uint32_t> words = payload_of(r);
  words.pop_back();
  ASSERT_TRUE(AnswerOk(card, card.send(703, words), 1009u));
  EXPECT_NE(card.console().find("ASSERT_FS "), std::string::npos) << card.console();
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_masked_select_t)\n"), std::string::npos) << card.console();
}

TEST(WhereApi, CoordinatesAndCount) {
  const std::vector<int> shape = {2, 3, 5};
  std::vector<float> in(30, 0.0f);
  for (size_t i = 0; i < in.size(); i += 4) in[i] = float(i) + 1.0f;
  in[13] = NAN;
  const std::vector<int32_t> want = ref::where(in, shape);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    zv_api_where_t r = {kIn, kOut, kBuf2, kBuf1, kScratch, 3, {2, 3, 5, 0, 0, 0, 0, 0}};
    auto a = card.send(702, payload_of(r));
    ASSERT_TRUE(AnswerOk(card, a));
    std::vector<int32_t> got(want.size());
    std::vector<uint8_t> bytes = card.read(kOut, want.size() * 4);
    std::memcpy(got.data(), bytes.data(), bytes.size());
    EXPECT_EQ(got, want);
    bytes = card.read(kBuf2, 4);
    int32_t count;
    std::memcpy(&count, bytes.data(), 4);
    EXPECT_EQ(count, int32_t(want.size() / 3));
    // Nothing non-zero: the count 0 is written.
    const std::vector<float> zeros(30, 0.0f);
    card.write(kIn, zeros.data(), zeros.size() * 4);
    a = card.send(702, payload_of(r));
    ASSERT_TRUE(AnswerOk(card, a));
    bytes = card.read(kBuf2, 4);
    std::memcpy(&count, bytes.data(), 4);
    EXPECT_EQ(count, 0);
  });
}

TEST(WhereApi, WrongSize) {
  Card card;
  zv_api_where_t r = {kIn, kOut, kBuf2, kBuf1, kScratch, 3, {2, 3, 5, 0, 0, 0, 0, 0}};
  std::vector<uint32_t> words = payload_of(r);
  words.push_back(0);
  ASSERT_TRUE(AnswerOk(card, card.send(702, words), 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_where_t)\n"), std::string::npos) << card.console();
}

TEST(SimpleSelectApi, TensorsAndConstants) {
  std::vector<float> cond(50), a(50), b(50);
  for (size_t i = 0; i < cond.size(); i++) {
    cond[i] = i % 3 == 0 ? 0.0f : float(i);
    a[i] = float(i) + 0.5f;
    b[i] = -float(i);
  }
  for_each_api_card([&](host::Card &card) {
    card.write(kFlags, cond.data(), cond.size() * 4);
    card.write(kIn, a.data(), a.size() * 4);
    card.write(kBuf1, b.data(), b.size() * 4);
    for (int b_const : {0, 1}) {
      SCOPED_TRACE(std::string("b constant ") + std::to_string(b_const));
      const float bc = 9.0f;
      uint32_t bbits;
      std::memcpy(&bbits, &bc, 4);
      const zv_api_simple_select_t r = {kFlags, kIn, kBuf1, kOut, 0, 0, 50, 0, 0, 0, 0, b_const, bbits};
      ASSERT_TRUE(AnswerOk(card, card.send(151, payload_of(r))));
      std::vector<float> want(50);
      for (size_t i = 0; i < 50; i++) want[i] = cond[i] != 0.0f ? a[i] : b_const ? bc : b[i];
      EXPECT_EQ(as_floats(card.read(kOut, 200)), want);
    }
  });
}

TEST(SimpleSelectApi, ConstantConditionAndWrongSize) {
  Card card;
  const zv_api_simple_select_t r = {kFlags, kIn, kBuf1, kOut, 0, 0, 50, 1, 0, 0, 0, 0, 0};
  auto a = card.send(151, payload_of(r));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": api->cond_is_constant == 0\n"), std::string::npos) << card.console();
  std::vector<uint32_t> words = payload_of(r);
  words.pop_back();
  a = card.send(151, words);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}


// API 162: 64 lanes of compressed weights expanded end to end; the output is
// exactly 64 lanes of weights.
TEST(FcWeightDecompressApi, ExpandsLanes) {
  const int outliers = 6, input_len = 21, output_num = 100;
  const ref::FcCompressedLayout f = ref::fc_compressed_layout(outliers, input_len, output_num);
  std::vector<uint8_t> src(64 * f.lane);
  for (size_t i = 0; i < src.size(); i++) src[i] = uint8_t(i * 37 + (i >> 7));
  for (uint64_t lane = 0; lane < 64; lane++)
    for (int j = 0; j < outliers; j++) {
      const unsigned pos = unsigned(lane * 5 + j * 7) % unsigned(f.weights);
      src[lane * f.lane + f.positions + 2 * j] = uint8_t(pos);
      src[lane * f.lane + f.positions + 2 * j + 1] = uint8_t(pos >> 8);
    }
  const std::vector<int8_t> want = ref::fc_decompress(src, outliers, input_len, output_num);
  const zv_api_fc_weight_decompress_t rec = {kIn, kOut, 0x20000, outliers, input_len, output_num};
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, src.data(), src.size());
    card.write(kOut, std::vector<uint8_t>(want.size() + 16, 0x5a).data(), want.size() + 16);
    ASSERT_TRUE(AnswerOk(card, card.send(162, payload_of(rec))));
    const std::vector<uint8_t> got = card.read(kOut, want.size() + 16);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), want.size()));
    EXPECT_EQ(got.back(), 0x5a);
  });
}

TEST(FcWeightDecompressApi, Refusals) {
  const zv_api_fc_weight_decompress_t good = {kIn, kOut, 0, 2, 10, 64};
  struct Bad {
    const char *what;
    zv_api_fc_weight_decompress_t rec;
    const char *text;
  };
  zv_api_fc_weight_decompress_t past_end = good, zero_len = good, negative = good, offset = good;
  past_end.dst = 0x2ffffff00ull;  // past the end of device memory
  zero_len.input_len = 0;
  negative.outlier_num = -1;
  offset.local_offset = 0x7fff0;  // the work areas would leave the lane
  const Bad bad[] = {
      {"output past device memory", past_end, ": api_global_fits("},
      {"no weights", zero_len, ": (rec.input_len) > 0"},
      {"negative outlier count", negative, ": api_global_fits("},
      {"work areas past the lane", offset, ": p.end <= LANE_BYTES"},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.what);
    Card card;
    ASSERT_TRUE(AnswerOk(card, card.send(162, payload_of(b.rec)), 1009u));
    EXPECT_NE(card.console().find(b.text), std::string::npos) << card.console();
    EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  }
  std::vector<uint32_t> words = payload_of(good);
  words.push_back(0);
  Card card;
  ASSERT_TRUE(AnswerOk(card, card.send(162, words), 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_fc_weight_decompress_t)\n"), std::string::npos);
}

}  // namespace
}  // namespace zv::test
