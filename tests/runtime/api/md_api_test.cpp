// The md_* APIs (3, 4, 5, 6, 7, 123, 124, 129), the class test (139), the
// sum of powers (128), the batch sum (8) and the region activation (75) end
// to end: messages through
// the host driver on three deferred seeds with the happens-before checker and
// on the ARM image, results against plain loops; zero counts and wrong sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "cmd/bd_arith.h"
#include "fw_test.h"
#include "layers/eltwise/md_ops.h"
#include "layers/eltwise/misc_math.h"
#include "layers/eltwise/multiregion.h"
#include "ref/region_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kA = 0x110000000ull;
constexpr uint64_t kB = 0x111000000ull;
constexpr uint64_t kC = 0x112000000ull;
constexpr uint64_t kD = 0x113000000ull;
constexpr uint64_t kY = 0x114000000ull;
constexpr uint64_t kR = 0x115000000ull;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
std::vector<float> values(size_t n, float lo, float hi, unsigned salt) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = lo + (hi - lo) * float((i * 613u + salt * 97u) % 499) / 499.0f;
  return v;
}

TEST(MdApi, EachIdEndToEnd) {
  const int n = 4, c = 70, h = 2, w = 3;
  const size_t hw = size_t(h) * w, item = size_t(c) * hw, count = size_t(n) * item;
  const std::vector<float> a = values(count, -2, 2, 1), b = values(count, 0.5f, 3, 2), cc = values(count, 5, 6, 3),
                           d = values(count, 7, 8, 4), vb = values(size_t(c), -1, 1, 5), vs = values(size_t(c), 1, 2, 6);
  struct Case {
    const char *what;
    uint32_t id;
    std::vector<uint32_t> payload;
    uint64_t out;
    size_t count;
    std::function<double(size_t)> ref;
    double tol;
  };
  std::vector<Case> cases;
  {
    zv_api_nodechip_md_scalar_t r = {};
    r.A_addr = kA, r.B_addr = kB, r.R_addr = kR, r.input_n = n, r.input_c = c, r.input_h = h, r.input_w = w, r.op = 3,
    r.B_is_const = 0, r.A_is_const = 5;
    r.A_const = bits(6.0f);
    cases.push_back({"3: constant A (flag 5) over B", 3, payload_of(r), kR, count,
                     [&](size_t i) { return double(6.0f / b[i]); }, 0});
  }
  {
    zv_api_nodechip_1d_scalar_t r = {};
    r.A_addr = kA, r.B_addr = kB, r.R_addr = kR, r.length = count, r.op = 0;
    cases.push_back({"123: flat add", 123, payload_of(r), kR, count, [&](size_t i) { return double(a[i] + b[i]); }, 0});
  }
  cases.push_back({"4: sums", 4, payload_of(zv_api_md_sum_t{kA, kY, n, c, h, w, 0}), kY, size_t(c),
                   [&](size_t k) {
                     double s = 0;
                     for (size_t i = 0; i < size_t(n); i++)
                       for (size_t e = 0; e < hw; e++) s += a[i * item + k * hw + e];
                     return s;
                   },
                   1e-5});
  cases.push_back({"5: x s + b", 5,
                   payload_of(zv_api_md_linear_t{kA, kC + 0x800000, kD + 0x800000, kY, n, c, h, w, 0, 0, 0, 0, 0, 0}),
                   kY, count, [&](size_t i) { const size_t k = (i / hw) % size_t(c); return double(a[i] * vs[k] + vb[k]); },
                   1e-6});
  {
    zv_api_nodechip_md_cmp_t r = {};
    r.A = kA, r.B = kB, r.C = kC, r.D = kD, r.Y = kY, r.R = kR, r.input_n = n, r.input_c = c, r.input_h = h,
    r.input_w = w, r.native = 1;
    cases.push_back({"6: select", 6, payload_of(r), kR, count,
                     [&](size_t i) { return double(a[i] > b[i] ? cc[i] : d[i]); }, 0});
    r.reduction = 1;
    cases.push_back({"6: batch maximum's index", 6, payload_of(r), kR, item, [&](size_t e) {
                       size_t best = 0;
                       for (size_t i = 1; i < size_t(n); i++)
                         if (a[i * item + e] > a[best * item + e]) best = i;
                       return double(best);
                     }, 0});
  }
  cases.push_back({"7: x^-2", 7, payload_of(zv_api_nodechip_md_sfu_t{kB, kY, n, c, h, w, 0, -2, 0, 0, 0}), kY, count,
                   [&](size_t i) { return 1.0 / (double(b[i]) * b[i]); }, 1e-6});
  cases.push_back({"124: flat ln", 124, payload_of(zv_api_nodechip_1d_sfu_t{kB, kY, count, 0, 0, 2, 0, 0}), kY, count,
                   [&](size_t i) { return std::log(double(b[i])); }, 4e-6});
  cases.push_back({"129: A per channel times B, constant none", 129,
                   payload_of(zv_api_md_ops_t{kC + 0x800000, kA, kR, 1, c, 1, 1, n, c, h, w, TENSOR_OP_MUL, 0, 0, 0, 0}),
                   kR, count, [&](size_t i) { return double(vb[(i / hw) % size_t(c)] * a[i]); }, 0});
  cases.push_back({"129: constants 3 and -1", 129,
                   payload_of(zv_api_md_ops_t{0, 0, kR, 1, 1, 1, 1, 2, 3, 1, 1, TENSOR_OP_SUB, 1, 1, 3, -1}), kR, 6,
                   [](size_t) { return 4.0; }, 0});
  cases.push_back({"128: 0.5 x sum of x^2", 128, payload_of(zv_api_sum_x2n_t{kA, kY, count, 1, 0.5f}), kY, 1,
                   [&](size_t) {
                     double s = 0;
                     for (float v : a) s += double(v) * v;
                     return 0.5 * s;
                   },
                   1e-5});
  cases.push_back({"8: sum over the batch", 8, payload_of(zv_api_img_sum_t{kA, kY, 0, n, c, h, w}), kY, item,
                   [&](size_t e) {
                     double s = 0;
                     for (size_t i = 0; i < size_t(n); i++) s += a[i * item + e];
                     return s;
                   },
                   1e-6});
  {
    // Two anchors of 4 box channels, sigmoid on 0, 1 and 3, and 30 classes;
    // the second head (B into R) is checked by the layer's suite.
    zv_api_multiregion_forward_parallel_t r = {};
    r.input[0] = kA, r.output[0] = kY, r.input[1] = kB, r.output[1] = kR;
    for (int i = 0; i < 2; i++) r.n[i] = n, r.c[i] = c, r.h[i] = h, r.w[i] = w;
    r.heads = 2, r.classes = 30, r.coords = 4, r.nums = 2;
    r.activate[0] = 0, r.activate[1] = 2, r.activate[2] = 3, r.activate[3] = 1;
    auto region = std::make_shared<std::vector<double>>(ref::region::forward(a, n, c, h, w, 30, 4, 2, {{0, 2}, {3, 1}}));
    cases.push_back({"75: region activation", 75, payload_of(r), kY, count, [region](size_t i) { return (*region)[i]; },
                     2e-6});
  }
  for_each_api_card([&](host::Card &card) {
    card.write(kA, a.data(), count * 4);
    card.write(kB, b.data(), count * 4);
    card.write(kC, cc.data(), count * 4);
    card.write(kD, d.data(), count * 4);
    card.write(kC + 0x800000, vb.data(), vb.size() * 4);
    card.write(kD + 0x800000, vs.data(), vs.size() * 4);
    for (const Case &k : cases) {
      SCOPED_TRACE(k.what);
      ASSERT_TRUE(AnswerOk(card, card.send(k.id, k.payload)));
      const std::vector<float> out = get<float>(card, k.out, k.count);
      for (size_t i = 0; i < k.count; i++)
        ASSERT_NEAR(out[i], k.ref(i), k.tol * std::fmax(1.0, std::fabs(k.ref(i)))) << i;
    }
    SCOPED_TRACE(std::string("139 finite"));
    const float special[4] = {1.0f, 1.0f / 0.0f, std::nanf(""), -2.0f};
    card.write(kC, special, sizeof special);
    ASSERT_TRUE(AnswerOk(card, card.send(139, payload_of(zv_api_f32_is_t{kC, kY, 4, 2}))));
    EXPECT_EQ(card.read(kY, 4), (std::vector<uint8_t>{1, 0, 0, 1}));
  });
}

TEST(MdApi, ZeroCountsAndWrongSizes) {
  Card card;
  zv_api_nodechip_md_scalar_t s = {};
  s.A_addr = s.B_addr = s.R_addr = kA, s.input_c = s.input_h = s.input_w = 1;
  zv_api_nodechip_1d_scalar_t f = {};
  f.A_addr = f.B_addr = f.R_addr = kA;
  zv_api_nodechip_md_cmp_t m = {};
  m.A = m.B = m.C = m.D = m.Y = m.R = kA, m.input_c = m.input_h = m.input_w = 1;
  const zv_api_multiregion_forward_parallel_t region_none = {};  // no heads, nothing else read
  const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> empty = {
      {3, payload_of(s)},
      {123, payload_of(f)},
      {4, payload_of(zv_api_md_sum_t{kA, kY, 0, 1, 1, 1, 0})},
      {5, payload_of(zv_api_md_linear_t{kA, kB, kC, kY, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0})},
      {6, payload_of(m)},
      {7, payload_of(zv_api_nodechip_md_sfu_t{kA, kY, 0, 1, 1, 1, 0, 2, 0, 0, 0})},
      {124, payload_of(zv_api_nodechip_1d_sfu_t{kA, kY, 0, 0, 2, 0, 0, 0})},
      {129, payload_of(zv_api_md_ops_t{kA, kB, kR, 0, 1, 1, 1, 1, 1, 1, 1, 2, 0, 0, 0, 0})},
      {139, payload_of(zv_api_f32_is_t{kA, kY, 0, 2})},
      {128, payload_of(zv_api_sum_x2n_t{kA, kY, 0, 1, 1.0f})},
      {8, payload_of(zv_api_img_sum_t{kA, kY, 0, 0, 1, 1, 1})},
      {75, payload_of(region_none)},
  };
  for (const auto &e : empty) {
    SCOPED_TRACE(e.first);
    auto r = card.send(e.first, e.second);
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<uint32_t> longer = e.second;
    longer.push_back(0);
    r = card.send(e.first, longer);
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
