// APIs 36 (float eltwise), 22 (PReLU) and 10 (dropout) end to end: messages
// through the host driver under the deferred schedule with several seeds and
// the happens-before checker, and on the ARM image; empty tensors, a count
// beyond the record's eight inputs and wrong sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/eltwise/eltwise.h"
#include "layers/eltwise/prelu.h"
#include "ref/eltwise_forward_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = 0x101000000ull;  // input j at kIn + j * 0x100000
constexpr uint64_t kOut = 0x102000000ull;
constexpr uint64_t kMask = 0x103000000ull;

zv_api_eltwise_forward_t record(uint32_t count, uint32_t op, uint32_t mask_flag, uint32_t relu) {
  zv_api_eltwise_forward_t r = {};
  for (int j = 0; j < 8; j++) r.input_addr[j] = kIn + uint64_t(j) * 0x100000;
  r.output_addr = kOut, r.mask_addr = kMask, r.input_num = count;
  r.input_shape[0] = 2, r.input_shape[1] = 3, r.input_shape[2] = 5, r.input_shape[3] = 7, r.op_code = op;
  for (int j = 0; j < 8; j++) r.coeff[j] = 0.5f * float(j + 1), r.mask_value[j] = float(10 * j);
  r.mask_flag = mask_flag, r.relu_flag = relu;
  return r;
}

TEST(EltwiseApi, SumAndMaskedMaximum) {
  const size_t total = 2 * 3 * 5 * 7;
  std::vector<std::vector<double>> in(3, std::vector<double>(total));
  std::vector<std::vector<float>> f(3, std::vector<float>(total));
  for (size_t j = 0; j < 3; j++)
    for (size_t i = 0; i < total; i++) in[j][i] = f[j][i] = float(int((i * (5 + 2 * j) + j) % 13) - 6) * 0.5f;
  struct Case {
    const char *what;
    uint32_t op, mask_flag, relu;
  };
  const Case cases[] = {{"sum with ReLU", ELTWISE_SUM, 0, 1}, {"maximum with mask", ELTWISE_MAX, 1, 0}};
  for_each_api_card([&](host::Card &card) {
    for (size_t j = 0; j < 3; j++) card.write(kIn + j * 0x100000, f[j].data(), total * 4);
    for (const Case &k : cases) {
      SCOPED_TRACE(k.what);
      const zv_api_eltwise_forward_t rec = record(3, k.op, k.mask_flag, k.relu);
      ASSERT_TRUE(AnswerOk(card, card.send(36, payload_of(rec))));
      const ref::EltwiseResult want = ref::eltwise_forward(in, int(k.op), {0.5, 1.0, 1.5}, {0, 10, 20}, k.relu != 0);
      const std::vector<float> out = get<float>(card, kOut, total), mask = get<float>(card, kMask, total);
      for (size_t i = 0; i < total; i++) {
        ASSERT_NEAR(out[i], want.out[i], 1e-6) << i;
        if (k.mask_flag) {
          ASSERT_EQ(mask[i], want.mask[i]) << i;
        }
      }
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(EltwiseApi, EmptyTooManyInputsAndWrongSize) {
  Card card;
  zv_api_eltwise_forward_t empty = record(2, ELTWISE_SUM, 0, 0);
  empty.input_shape[0] = 0;
  auto r = card.send(36, payload_of(empty));
  ASSERT_TRUE(AnswerOk(card, r));
  // Nine inputs would read past the record's eight addresses.
  r = card.send(36, payload_of(record(9, ELTWISE_SUM, 0, 0)));
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("rec.input_num <= 8"), std::string::npos) << card.console();
  std::vector<uint32_t> short_payload = payload_of(record(2, ELTWISE_SUM, 0, 0));
  short_payload.pop_back();
  r = card.send(36, short_payload);
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

TEST(EltwiseApi, PreluAndDropout) {
  const uint32_t n = 2, c = 70, h = 3, w = 5;
  const size_t hw = h * w, total = size_t(n) * c * hw;
  std::vector<float> in(total), slopes(c), rnd(total + 1);
  for (size_t i = 0; i < total; i++) in[i] = float(int((i * 13) % 23) - 11) * 0.5f;
  for (size_t i = 0; i <= total; i++) rnd[i] = float((i * 7) % 9) / 8.0f;
  for (size_t k = 0; k < c; k++) slopes[k] = float(k % 5) * 0.25f;
  constexpr uint64_t kSlope = 0x104000000ull, kRandom = 0x105000000ull, kSelect = 0x106000000ull;
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), total * 4);
    card.write(kSlope, slopes.data(), c * 4);
    card.write(kRandom, rnd.data(), rnd.size() * 4);
    auto r = card.send(22, payload_of(zv_api_prelu_forward_t{kIn, kSlope, kOut, 0.0f, 0, n, c, h, w}));
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<float> out = get<float>(card, kOut, total);
    for (size_t i = 0; i < total; i++) ASSERT_EQ(out[i], in[i] > 0 ? in[i] : slopes[(i / hw) % c] * in[i]) << i;
    r = card.send(22, payload_of(zv_api_prelu_forward_t{kIn, 0, kOut, 0.25f, 1, n, c, h, w}));
    ASSERT_TRUE(AnswerOk(card, r));
    out = get<float>(card, kOut, total);
    for (size_t i = 0; i < total; i++) ASSERT_EQ(out[i], in[i] > 0 ? in[i] : 0.25f * in[i]) << i;
    // Dropout with ratio 0.75 over n x (c h w), the random values 4 bytes in.
    r = card.send(10, payload_of(zv_api_dropout_forward_t{kIn, kOut, kSelect, kRandom, 4, 0.75f, n, c * h * w}));
    ASSERT_TRUE(AnswerOk(card, r));
    out = get<float>(card, kOut, total);
    const std::vector<float> sel = get<float>(card, kSelect, total);
    for (size_t i = 0; i < total; i++) {
      const bool keep = rnd[i + 1] > 0.75f;
      ASSERT_EQ(sel[i], keep ? 1.0f : 0.0f) << i;
      ASSERT_EQ(out[i], keep ? in[i] * 4.0f : 0.0f) << i;
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(EltwiseApi, PreluDropoutEmptyAndWrongSizes) {
  Card card;
  const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> empty = {
      {22, payload_of(zv_api_prelu_forward_t{kIn, kIn, kOut, 0.0f, 0, 0, 2, 2, 2})},
      {10, payload_of(zv_api_dropout_forward_t{kIn, kOut, kMask, kIn, 0, 0.5f, 0, 8})},
  };
  for (const auto &e : empty) {
    auto r = card.send(e.first, e.second);
    ASSERT_TRUE(AnswerOk(card, r)) << e.first;
    std::vector<uint32_t> short_payload = e.second;
    short_payload.pop_back();
    r = card.send(e.first, short_payload);
    ASSERT_TRUE(AnswerOk(card, r, 1009u)) << e.first;
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
