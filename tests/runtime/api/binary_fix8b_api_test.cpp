// APIs 169, 170 and 171 (8-bit binary family) end to end: messages through the
// host driver under the deferred schedule with several seeds and the
// happens-before checker, and on the ARM image; the zero-count return, a
// dimension count beyond the record's eight extents and wrong sizes.
#include <gtest/gtest.h>

#include <array>

#include <cstring>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"
#include "ref/fix8b_ref.h"

namespace zv::test {
namespace {

namespace fr = ref::fix8b;
using host::Card;

constexpr uint64_t kA = 0x101000000ull;
constexpr uint64_t kB = 0x102000000ull;
constexpr uint64_t kR = 0x103000000ull;

// n x e samples in the 4N layout.
std::vector<uint8_t> pack(int n, int e, const std::vector<uint8_t> &v) {
  std::vector<uint8_t> out(4 * size_t((n + 3) / 4) * e);
  for (int b = 0; b < n; b++)
    for (int i = 0; i < e; i++) out[4 * (size_t(b / 4) * e + i) + b % 4] = v[size_t(b) * e + i];
  return out;
}
uint8_t at4n(const std::vector<uint8_t> &v, int e, int b, int i) { return v[4 * (size_t(b / 4) * e + i) + b % 4]; }

// One slice, and rows cut into several slices that the pipeline overlaps.
class Fix8bBinaryApiShapes : public ::testing::TestWithParam<std::array<int, 4>> {};

TEST_P(Fix8bBinaryApiShapes, EachIdEndToEnd) {
  const int n = GetParam()[0], c = GetParam()[1], h = GetParam()[2], w = GetParam()[3], e = c * h * w;
  std::vector<uint8_t> a(size_t(n) * e), b(size_t(n) * e), bb(static_cast<size_t>(e));
  for (size_t i = 0; i < a.size(); i++) a[i] = uint8_t(i * 37 + 3), b[i] = uint8_t(i * 53 + 1);
  for (size_t i = 0; i < bb.size(); i++) bb[i] = uint8_t(i * 29 + 7);
  zv_api_eltwise_binary_fix8b_forward_t e169 = {kA, kB, kR, {n, c, h, w}, 4, BINARY_SUB, 3, 5, 1, 2, 1, 0, 0};
  zv_api_const_binary_fix8b_forward_t e170 = {};
  e170.A_addr = kA, e170.R_addr = kR, e170.quantized_val_b = 25, e170.tensor_dim = 4, e170.op = BINARY_ADD;
  e170.shape[0] = n, e170.shape[1] = c, e170.shape[2] = h, e170.shape[3] = w;
  e170.scale_A = 4, e170.rshift = 1, e170.sign_A = 1, e170.inversed = 0, e170.if_relu = 1;
  zv_api_broadcast_binary_fix8b_forward_t e171 = {
      kA, kB, kR, {n, c, h, w}, {1, c, h, w}, 4, BINARY_MAX, 3, 2, 0, 1, 1, 1, 0};
  for_each_api_card([&](host::Card &card) {
    const std::vector<uint8_t> pa = pack(n, e, a), pb = pack(n, e, b), pbb = pack(1, e, bb);
    card.write(kA, pa.data(), pa.size());
    card.write(kB, pb.data(), pb.size());
    auto r = card.send(169, payload_of(e169));
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<uint8_t> out = card.read(kR, pa.size());
    // Unsigned operands subtracted: a signed result.
    const fr::Binary k169{BINARY_SUB, 3, 1, 5, 2, true, false, true, false, 0, false, false};
    for (int s = 0; s < n; s++)
      for (int i = 0; i < e; i++)
        ASSERT_EQ(at4n(out, e, s, i), fr::binary(k169, a[size_t(s) * e + i], b[size_t(s) * e + i]));
    r = card.send(170, payload_of(e170));
    ASSERT_TRUE(AnswerOk(card, r));
    out = card.read(kR, pa.size());
    const fr::Binary k170{BINARY_ADD, 4, 1, 1, 0, true, true, true, true, 25, false, true};
    for (int s = 0; s < n; s++)
      for (int i = 0; i < e; i++) ASSERT_EQ(at4n(out, e, s, i), fr::binary(k170, a[size_t(s) * e + i], 0));
    card.write(kB, pbb.data(), pbb.size());
    r = card.send(171, payload_of(e171));
    ASSERT_TRUE(AnswerOk(card, r));
    out = card.read(kR, pa.size());
    const fr::Binary k171{BINARY_MAX, 3, 0, 2, 1, true, true, true, false, 0, false, false};
    for (int s = 0; s < n; s++)
      for (int i = 0; i < e; i++) ASSERT_EQ(at4n(out, e, s, i), fr::binary(k171, a[size_t(s) * e + i], bb[size_t(i)]));
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

INSTANTIATE_TEST_SUITE_P(Shapes, Fix8bBinaryApiShapes,
                         ::testing::Values(std::array<int, 4>{6, 3, 4, 5}, std::array<int, 4>{6, 2, 130, 130}));

TEST(Fix8bBinaryApi, ZeroCountsDimensionCountsAndWrongSizes) {
  Card card;
  zv_api_eltwise_binary_fix8b_forward_t e169 = {kA, kB, kR, {0, 3, 4, 5}, 4, BINARY_ADD, 1, 1, 0, 0, 1, 1, 0};
  zv_api_const_binary_fix8b_forward_t e170 = {};
  e170.A_addr = kA, e170.R_addr = kR, e170.tensor_dim = 4, e170.shape[1] = 3, e170.scale_A = 1;
  zv_api_broadcast_binary_fix8b_forward_t e171 = {kA, kB, kR, {0, 3, 4, 5}, {1, 3, 4, 5}, 4, BINARY_ADD, 1, 1,
                                                  0, 0, 1, 1, 0};
  const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> empty = {
      {169, payload_of(e169)}, {170, payload_of(e170)}, {171, payload_of(e171)}};
  for (const auto &m : empty) {
    auto r = card.send(m.first, m.second);
    ASSERT_TRUE(AnswerOk(card, r)) << m.first;
    std::vector<uint32_t> short_payload = m.second;
    short_payload.pop_back();
    r = card.send(m.first, short_payload);
    ASSERT_TRUE(AnswerOk(card, r, 1009u)) << m.first;
  }
  // Found by the fuzz test: an empty plane beyond the first extent divided by
  // zero while the slices were planned; it computes nothing.
  zv_api_eltwise_binary_fix8b_forward_t flat = {kA, kB, kR, {4, 3, 0, 5}, 4, BINARY_ADD, 1, 1, 0, 0, 1, 1, 0};
  ASSERT_TRUE(AnswerOk(card, card.send(169, payload_of(flat))));
  // Nine dimensions would read past the record's eight extents.
  e169.shape[0] = 1, e169.tensor_dim = 9;
  auto r = card.send(169, payload_of(e169));
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("tensor_dim=9"), std::string::npos) << card.console();
  // Found by the fuzz test: a negative extent followed by another one read as
  // an empty tensor, and extents whose product passes 2^31 overflowed while
  // they were merged into four dimensions.
  struct Bad {
    const char *what;
    int dims;
    std::vector<int> shape;
    const char *text;
  };
  const Bad bad[] = {
      {"negative extent in the middle", 5, {1, 2, -1, 5, 7}, "api_global_fits("},
      {"4 x 2^30 samples' elements", 5, {4, 32768, 32768, 1, 1}, "more than 2^31 - 1 elements"},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.what);
    zv_api_eltwise_binary_fix8b_forward_t rec = {kA, kA, kA, {}, b.dims, BINARY_ADD, 1, 1, 0, 0, 1, 1, 0};
    for (size_t i = 0; i < b.shape.size(); i++) rec.shape[i] = b.shape[i];
    const size_t console = card.console().size();
    r = card.send(169, payload_of(rec));
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
    EXPECT_NE(card.console().find(b.text, console), std::string::npos) << card.console().substr(console);
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
