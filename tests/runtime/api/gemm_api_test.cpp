// GEMM through API 105 against a naive GEMM: both transposes, alpha and beta in
// {0, 0.5, 1, 2}, K beyond one K slice, leading dimensions beyond the row
// length, M of 0; under the deferred schedule with several seeds and the
// happens-before checker on, and once on the ARM image in the emulator. Also
// the slice plan and the commands of the smallest product.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "cmd/gemm.h"
#include "ref/gemm_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kDdr = 0x101000000ull;
constexpr uint32_t kGemm = 105;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

struct Case {
  const char *what;
  bool ta, tb;
  int M, N, K;
  float alpha, beta;
  int pad_a = 0, pad_b = 0, pad_c = 0;  // leading dimension beyond the stored row
};

// Small integers for A and B, halves for C: every product and sum is exact.
struct Operands {
  std::vector<float> A, B, C;
  int lda, ldb, ldc;
};

Operands operands(const Case &k, uint32_t seed) {
  std::mt19937 rng(seed);
  Operands o;
  const int a_rows = k.ta ? k.K : k.M, a_cols = k.ta ? k.M : k.K;
  const int b_rows = k.tb ? k.N : k.K, b_cols = k.tb ? k.K : k.N;
  o.lda = a_cols + k.pad_a;
  o.ldb = b_cols + k.pad_b;
  o.ldc = k.N + k.pad_c;
  auto fill = [&](std::vector<float> &v, size_t n, int span, float unit) {
    v.resize(n);
    for (auto &x : v) x = float(int(rng() % (2 * span + 1)) - span) * unit;
  };
  fill(o.A, size_t(a_rows) * o.lda, 4, 1.0f);
  fill(o.B, size_t(b_rows) * o.ldb, 4, 1.0f);
  fill(o.C, size_t(std::max(k.M, 1)) * o.ldc, 8, 0.5f);
  (void)b_cols;
  return o;
}

// Sends the product; returns C read back, after checking the answer.
std::vector<float> run(Card &card, const Case &k, const Operands &o) {
  // Each operand in its own whole MBs (at least one).
  auto room = [](const std::vector<float> &v) { return std::max<uint64_t>(1, (v.size() * 4 + 0xfffff) >> 20) << 20; };
  const uint64_t a = kDdr + 0x1000, b = a + room(o.A), c = b + room(o.B);
  for (const auto &[addr, v] : {std::pair{a, &o.A}, std::pair{b, &o.B}, std::pair{c, &o.C}})
    if (!v->empty()) card.write(addr, v->data(), v->size() * 4);
  zv_api_gemm_t r = {};
  r.trans_a = k.ta;
  r.trans_b = k.tb;
  r.m = k.M;
  r.n = k.N;
  r.k = k.K;
  r.alpha = bits(k.alpha);
  r.a_addr = a;
  r.lda = o.lda;
  r.b_addr = b;
  r.ldb = o.ldb;
  r.beta = bits(k.beta);
  r.c_addr = c;
  r.ldc = o.ldc;
  EXPECT_TRUE(AnswerOk(card, card.send(kGemm, payload_of(r))));
  std::vector<float> out(o.C.size());
  card.read(c, out.data(), out.size() * 4);
  return out;
}

void check(Card &card, const Case &k, uint32_t seed) {
  SCOPED_TRACE(k.what);
  const Operands o = operands(k, seed);
  std::vector<float> want = o.C;
  ref::gemm(k.ta, k.tb, k.M, k.N, k.K, k.alpha, o.A, o.lda, o.B, o.ldb, k.beta, want, o.ldc);
  const auto got = run(card, k, o);
  for (size_t i = 0; i < want.size(); i++)
    ASSERT_EQ(bits(got[i]), bits(want[i])) << "C element " << i / o.ldc << ", " << i % o.ldc << ": " << got[i]
                                           << " for " << want[i];
}

TEST(GemmApi, MatchesNaiveGemmUnderDeferredSchedules) {
  std::vector<Case> cases = {
      {"1 x 1 x 1", false, false, 1, 1, 1, 1.0f, 0.0f},
      {"plain with padded leading dimensions", false, false, 7, 70, 9, 1.0f, 1.0f, 3, 5, 2},
      {"transposed A", true, false, 66, 5, 12, 2.0f, 0.5f, 1, 0, 0},
      {"transposed B", false, true, 5, 130, 33, 0.5f, 2.0f, 0, 7, 1},
      {"both transposed", true, true, 40, 40, 40, 0.0f, 1.0f, 2, 2, 2},
      // An empty inner dimension leaves C = beta * C (zeros for beta 0, C not read).
      {"K of 0, beta 0", false, false, 6, 9, 0, 1.0f, 0.0f, 0, 0, 2},
      {"K of 0, beta 0.5", true, false, 6, 9, 0, 1.0f, 0.5f, 0, 0, 2},
      {"K of 0, beta 1", false, true, 6, 9, 0, 2.0f, 1.0f, 0, 0, 2},
      {"no columns", false, false, 4, 0, 5, 1.0f, 0.5f, 0, 0, 3},
  };
  for (float alpha : {0.0f, 0.5f, 1.0f, 2.0f})
    for (float beta : {0.0f, 0.5f, 1.0f, 2.0f})
      cases.push_back({"alpha and beta", ((bits(alpha) ^ bits(beta)) & 1) != 0, false, 3, 4, 5, alpha, beta});
  for (uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto card = deferred_card(Backend::Native, seed);
    uint32_t n = 0;
    for (const Case &k : cases) check(*card, k, uint32_t(seed * 100 + n++));
  }
}

// The product's plan for a case.
gemm_plan_t plan_of(const Case &k) {
  gemm_plan_t p;
  const int load_c = k.beta != 0.0f;
  gemm_plan_of(&p, k.M, k.N, k.K, k.ta, k.alpha != 1.0f, load_c, load_c && k.beta != 1.0f);
  return p;
}

TEST(GemmApi, SeveralSlicesOfALargeCWithTransposes) {
  // C takes several slices of rows and of columns; each slice's A and B come
  // from their own offsets, transposed, with padded rows. A block that stays
  // for the next step, or a resident B, is loaded (and scaled by alpha) once.
  auto card = deferred_card(Backend::Native, 4);
  const Case cases[] = {
      {"1100 x 2100, A transposed", true, false, 1100, 2100, 8, 1.0f, 0.5f, 3, 0, 5},
      {"1100 x 2100, both transposed", true, true, 1100, 2100, 8, 0.5f, 1.0f, 1, 1, 1},
      {"200 x 1000 x 300, A transposed, A kept over N slices", true, false, 200, 1000, 300, 2.0f, 0.5f, 1, 0, 2},
      {"3000 x 128 x 64, B transposed, resident over M slices", false, true, 3000, 128, 64, 2.0f, 0.0f, 0, 3, 0},
      {"500 x 900 x 100, A resident over N slices", false, false, 500, 900, 100, 2.0f, 0.5f, 0, 1, 1},
  };
  // The last two cases cover resident matrices (each block loaded, and A
  // scaled, once).
  EXPECT_TRUE(plan_of(cases[3]).b_resident);
  EXPECT_TRUE(plan_of(cases[4]).a_resident);
  uint32_t n = 0;
  for (const Case &k : cases) {
    const gemm_plan_t p = plan_of(k);
    EXPECT_GT(p.m_secs, 1) << k.what << ": one slice of rows";
    EXPECT_GT(p.n_secs, 1) << k.what << ": one slice of columns";
    check(*card, k, 900 + n++);
  }
}

TEST(GemmApi, KBeyondOneSliceAccumulates) {
  // 4500 rows of B fill more than a lane: the K slice is cut and later
  // slices add into C.
  const Case cases[] = {
      {"K of 4500, beta 0", false, false, 8, 8, 4500, 1.0f, 0.0f},
      {"K of 5000, transposed, beta 0.5", true, true, 6, 10, 5000, 2.0f, 0.5f, 1, 3, 0},
  };
  for (uint64_t seed : {4, 5}) {
    auto card = deferred_card(Backend::Native, seed);
    for (const Case &k : cases) {
      EXPECT_GT(plan_of(k).k_secs, 1) << k.what << ": one K slice would not fit";
      check(*card, k, uint32_t(seed));
    }
  }
}

TEST(GemmApi, ZeroRowsAndTheArmImage) {
  auto card = deferred_card(Backend::Native, 6);
  // M of 0: nothing is issued and C stays as it was.
  Case k{"M of 0", false, false, 0, 4, 4, 1.0f, 0.0f};
  const Operands o = operands(k, 9);
  const auto got = run(*card, k, o);
  EXPECT_EQ(got, o.C);
  EXPECT_EQ(card->chip().engines.bd.commands().size(), 0u);
  EXPECT_EQ(card->chip().engines.gdma.commands().size(), 0u);

  // A wrong record size fails the size check.
  auto answer = card->send(kGemm, std::vector<uint32_t>(17));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->result, 1009u);
  EXPECT_NE(card->console().find("size == sizeof(zv_api_gemm_t)"), std::string::npos) << card->console();

  auto emulated = deferred_card(Backend::Emulated, 7);
  check(*emulated, {"transposed A on the ARM image", true, false, 20, 70, 30, 0.5f, 2.0f, 2, 1, 3}, 11);
}

TEST(GemmPlan, SmallestProductIssuesOneLoadPairOneProductOneStore) {
  auto card = deferred_card(Backend::Native, 1);
  check(*card, {"1 x 1 x 1", false, false, 1, 1, 1, 1.0f, 0.0f}, 3);
  size_t fc = 0, scale = 0;
  for (const auto &r : card->chip().engines.bd.commands()) (r.kind == 2 ? fc : scale)++;
  EXPECT_EQ(fc, 1u);
  EXPECT_EQ(scale, 0u);
  EXPECT_EQ(card->chip().engines.gdma.commands().size(), 3u) << "A, B, then the store of C";
}

}  // namespace
}  // namespace zv::test
