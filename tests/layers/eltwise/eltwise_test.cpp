// Float eltwise: the pairs' bank shares and the pieces by table; products,
// weighted sums and maxima with mask and ReLU against a plain reference over
// lengths that force both kinds of piece, under every schedule with the
// happens-before checker; the strided second input; the entry's checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/eltwise.h"
#include "ref/eltwise_forward_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;  // input j at kIn + j * kStep
constexpr u64 kStep = 0x400000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kMask = 0x105000000ull;
constexpr u64 kScratch = 0x106000000ull;

TEST(EltwisePlan, BankSharesAndPieces) {
  struct Role {
    int op, mask_flag, first_input, banks;
  };
  const Role roles[] = {
      {ELTWISE_MAX, 0, 1, 8}, {ELTWISE_MAX, 1, 1, 4}, {ELTWISE_MAX, 0, 0, 4},
      {ELTWISE_MAX, 1, 0, 1}, {ELTWISE_SUM, 1, 0, 4},  // the mask flag counts only for the maximum
  };
  for (const Role &r : roles) {
    eltwise_pair_plan_t p;
    eltwise_pair_plan_of(&p, r.op, r.mask_flag, r.first_input);
    EXPECT_EQ(p.banks, r.banks) << r.op << " " << r.mask_flag << " " << r.first_input;
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
  }
  // 300000 elements with D = 4: one piece of 32 x 2048, then rows of at most
  // 65535.
  const eltwise_piece_t a = eltwise_piece_of(300000, 4), b = eltwise_piece_of(300000 - 65536, 4),
                        c = eltwise_piece_of(33, 1);
  EXPECT_EQ(a.rows, 32);
  EXPECT_EQ(a.cols, 2048);
  EXPECT_EQ(b.rows, 1);
  EXPECT_EQ(b.cols, 65535);
  EXPECT_EQ(c.rows, 1);
  EXPECT_EQ(c.cols, 33);
  EXPECT_EQ(c.sections, 2);
}

class EltwiseLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(EltwiseLayer, ProductsSumsAndMaxima) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int op, count, mask_flag, relu;
    std::vector<double> coeff;
  };
  const Case cases[] = {
      {"sum of three, 1, -1 and 2, with ReLU", ELTWISE_SUM, 3, 0, 1, {1.0, -1.0, 2.0}},
      {"sum 2 and 0: twice the first", ELTWISE_SUM, 2, 0, 0, {2.0, 0.0}},
      {"sum 0.5 and 1", ELTWISE_SUM, 2, 0, 0, {0.5, 1.0}},
      {"product of three", ELTWISE_PROD, 3, 0, 0, {1.0, 1.0, 1.0}},
      {"maximum of three with mask and ReLU", ELTWISE_MAX, 3, 1, 1, {1.0, 1.0, 1.0}},
      {"maximum of four without mask", ELTWISE_MAX, 4, 0, 0, {1.0, 1.0, 1.0, 1.0}},
      {"maximum of one: a copy without ReLU", ELTWISE_MAX, 1, 1, 1, {1.0}},
      {"operation 3 copies the first input", 3, 3, 0, 0, {1.0, 1.0, 1.0}},
  };
  const int lengths[][4] = {{1, 1, 1, 1}, {1, 3, 1, 11}, {1, 1, 1, 64 * 64 + 1}, {3, 4, 250, 100}};
  for (const auto &s : lengths) {
    const size_t total = size_t(s[0]) * s[1] * s[2] * s[3];
    std::vector<std::vector<double>> in(4, std::vector<double>(total));
    for (int j = 0; j < 4; j++) {
      std::vector<float> v(total);
      // Inputs 1 and 2 agree on every third element: the mask keeps input 1.
      for (size_t i = 0; i < total; i++)
        v[i] = float(int((i * (7 + 2 * (j == 2 && i % 3 == 0 ? 1 : j)) + 3) % 17) - 8) * 0.375f;
      if (total > 3) v[1] = j == 0 ? INFINITY : -0.0f;
      put<float>(rig, kIn + u64(j) * kStep, v);
      for (size_t i = 0; i < total; i++) in[size_t(j)][i] = v[i];
    }
    const u64 addrs[8] = {kIn, kIn + kStep, kIn + 2 * kStep, kIn + 3 * kStep, 0, 0, 0, 0};
    for (const Case &k : cases) {
      SCOPED_TRACE(std::string(k.what) + ", " + std::to_string(total) + " elements");
      std::vector<float> coeff(k.coeff.begin(), k.coeff.end());
      const std::vector<double> mv = {0.0, 1.0, 2.0, 3.0};
      const float mvf[4] = {0.0f, 1.0f, 2.0f, 3.0f};
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_eltwise_forward(addrs, kOut, kMask, kScratch, s, s, k.count, 4, k.op, coeff.data(), k.mask_flag,
                                 mvf, k.relu, node);
      }));
      std::vector<std::vector<double>> used(in.begin(), in.begin() + k.count);
      const ref::EltwiseResult want = ref::eltwise_forward(used, k.op, k.coeff, mv, k.relu != 0);
      const std::vector<float> out = get<float>(rig, kOut, total), mask = get<float>(rig, kMask, total);
      for (size_t i = 0; i < total; i++) {
        if (!std::isfinite(want.out[i])) {
          ASSERT_TRUE(std::isnan(want.out[i]) ? std::isnan(out[i]) : out[i] == want.out[i]) << i << ": " << out[i];
          continue;
        }
        ASSERT_NEAR(out[i], want.out[i], 1e-6 * std::fmax(1.0, std::fabs(want.out[i]))) << i;
        if (k.op == ELTWISE_MAX && k.mask_flag) {
          ASSERT_EQ(mask[i], want.mask[i]) << i;
        }
      }
    }
  }
}

TEST_P(EltwiseLayer, SingleInputSumLeavesOutputAndStridedSecondInput) {
  LayerRunner rig(GetParam());
  const int s1[4] = {1, 2, 3, 4}, s2[4] = {1, 2, 6, 8};
  std::vector<float> a(24), b(96), untouched(24, 7.0f);
  for (size_t i = 0; i < a.size(); i++) a[i] = float(i);
  for (size_t i = 0; i < b.size(); i++) b[i] = float(1000 + i);
  put<float>(rig, kIn, a);
  put<float>(rig, kIn + kStep, b);
  put<float>(rig, kOut, untouched);
  const u64 addrs[2] = {kIn, kIn + kStep};
  const float coeff[2] = {1.0f, 1.0f}, mv[2] = {0, 0};
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_eltwise_forward(addrs, kOut, kMask, kScratch, s1, s1, 1, 4, ELTWISE_SUM, coeff, 0, mv, 0, node);
  }));
  EXPECT_EQ(get<float>(rig, kOut, 24), untouched);
  // The second input is read every second row and column.
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_eltwise_forward(addrs, kOut, kMask, kScratch, s1, s2, 2, 4, ELTWISE_SUM, coeff, 0, mv, 0, node);
  }));
  const std::vector<float> out = get<float>(rig, kOut, 24);
  for (int c = 0; c < 2; c++)
    for (int y = 0; y < 3; y++)
      for (int x = 0; x < 4; x++) {
        const int i = (c * 3 + y) * 4 + x;
        EXPECT_EQ(out[size_t(i)], a[size_t(i)] + b[size_t((c * 6 + 2 * y) * 8 + 2 * x)]) << i;
      }
  // Shapes differing in n only take the first input's items.
  const int n1[4] = {2, 2, 3, 4}, n2[4] = {3, 2, 3, 4};
  std::vector<float> a2(48, 1.0f);
  put<float>(rig, kIn, a2);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_eltwise_forward(addrs, kOut, kMask, kScratch, n1, n2, 2, 4, ELTWISE_PROD, coeff, 0, mv, 0, node);
  }));
  const std::vector<float> prod = get<float>(rig, kOut, 48);
  for (size_t i = 0; i < 48; i++) EXPECT_EQ(prod[i], b[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(All, EltwiseLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(EltwiseChecks, EntryAssertions) {
  const u64 addrs[8] = {kIn, kIn + kStep};
  const float coeff[8] = {1, 1}, mv[8] = {0, 0};
  const int s[4] = {1, 2, 3, 4};
  const char *where = "firmware/layers/";
  struct Case {
    int s1[4], s2[4], count, dims;
    const char *condition;
  };
  const Case cases[] = {
      {{1, 2, 3, 4}, {1, 2, 3, 4}, 2, 3, "input_dims == 4"},
      {{1, 2, 3, 4}, {1, 2, 3, 4}, 9, 4, "input_num <= 8"},
      {{1, 3, 3, 4}, {1, 2, 6, 8}, 2, 4, "input1_shape[i] <= input2_shape[i]"},
      {{1, 2, 3, 4}, {1, 2, 9, 8}, 2, 4, "(input2_shape[2] / input1_shape[2]) == stride"},
      {{1, 2, 0, 4}, {1, 2, 3, 4}, 2, 4, "input1_shape[2] > 0 && input1_shape[3] > 0"},
  };
  (void)s;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.condition);
    const std::string info = k.count == 9 ? "input_num=9" : "none.";
    expect_assert([&](cmd_id_node_t *n) {
      nodechip_eltwise_forward(addrs, kOut, kMask, kScratch, k.s1, k.s2, k.count, k.dims, ELTWISE_SUM, coeff, 0, mv,
                               0, n);
    }, "ASSERT", where, "nodechip_eltwise_forward", k.condition, info);
  }
}

}  // namespace
}  // namespace zv::test
