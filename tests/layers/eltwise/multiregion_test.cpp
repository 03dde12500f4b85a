// The region activation of up to five heads against a plain reference: box
// channels copied bit for bit outside the sigmoid ranges, one or two ranges,
// no box block or no classes, several heads of different maps with more than
// 64 channels, under every schedule with the happens-before checker; the range
// plan by a table; every assertion.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/multiregion.h"
#include "norm_rig.h"
#include "ref/region_ref.h"

namespace zv::test {
namespace {

using namespace norm;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;
constexpr u64 kHeadBytes = 0x800000;

struct Head {
  int n, h, w;
};

struct Case {
  const char *what;
  std::vector<Head> heads;
  int classes, coords, nums;
  int act[4];
  std::vector<std::pair<int, int>> ranges;  // what the reference applies
};

class Multiregion : public ::testing::TestWithParam<Sched> {};

TEST_P(Multiregion, AgainstReference) {
  LayerRunner rig(GetParam());
  const Case cases[] = {
      {"ranges (0, 2, 4, 1): sigmoid on 0, 1 and 4, copies of 2 and 3", {{2, 3, 5}}, 3, 4, 2, {0, 2, 4, 1},
       {{0, 2}, {4, 1}}},
      {"second range inside the first: one range", {{1, 7, 9}}, 20, 4, 3, {0, 3, 1, 3}, {{0, 3}}},
      {"second range of count 0: one range", {{3, 4, 4}}, 2, 3, 2, {1, 2, 3, 0}, {{1, 2}}},
      {"no classes", {{2, 2, 6}}, 0, 3, 3, {0, 4, 0, 0}, {{0, 4}}},
      {"no box block: softmax only", {{2, 5, 3}}, 5, -1, 2, {0, 0, 0, 0}, {}},
      {"three heads, 255 channels", {{2, 4, 4}, {1, 8, 8}, {2, 3, 7}}, 80, 4, 3, {0, 2, 4, 1}, {{0, 2}, {4, 1}}},
      {"five heads, one anchor", {{1, 2, 3}, {2, 3, 2}, {1, 1, 5}, {3, 2, 2}, {1, 4, 1}}, 7, 1, 1, {0, 1, 1, 1},
       {{0, 1}, {1, 1}}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const int heads = int(k.heads.size());
    const int c = k.nums * (k.classes + k.coords + 1);
    u64 in[MULTIREGION_MAX_HEADS] = {}, out[MULTIREGION_MAX_HEADS] = {};
    int N[MULTIREGION_MAX_HEADS] = {}, C[MULTIREGION_MAX_HEADS] = {}, H[MULTIREGION_MAX_HEADS] = {},
        W[MULTIREGION_MAX_HEADS] = {};
    std::vector<std::vector<float>> x(heads);
    for (int i = 0; i < heads; i++) {
      const Head &hd = k.heads[i];
      in[i] = kIn + u64(i) * kHeadBytes, out[i] = kOut + u64(i) * kHeadBytes;
      N[i] = hd.n, C[i] = c, H[i] = hd.h, W[i] = hd.w;
      x[i] = spread(size_t(hd.n) * c * hd.h * hd.w, -6, 6, unsigned(i + 1));
      put<float>(rig, in[i], x[i]);
      put<float>(rig, out[i], std::vector<float>(x[i].size() + 4, -7.0f));
    }
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_multiregion_forward_parallel(in, out, N, C, H, W, heads, k.classes, k.coords, k.nums, k.act, node);
    }));
    for (int i = 0; i < heads; i++) {
      SCOPED_TRACE("head " + std::to_string(i));
      const Head &hd = k.heads[i];
      const size_t S = size_t(hd.h) * hd.w, count = x[i].size();
      const std::vector<double> want = ref::region::forward(x[i], hd.n, c, hd.h, hd.w, k.classes, k.coords, k.nums,
                                                           k.ranges);
      const std::vector<float> got = get<float>(rig, out[i], count + 4);
      for (size_t e = 0; e < count; e++) {
        const int ch = int((e / S) % size_t(c)) % (k.classes + k.coords + 1);
        bool copied = ch <= k.coords;
        for (const auto &r : k.ranges) copied = copied && !(ch >= r.first && ch < r.first + r.second);
        if (copied)
          ASSERT_EQ(got[e], x[i][e]) << "copied channel " << ch << " at " << e;
        else
          ASSERT_NEAR(got[e], want[e], 2e-6) << "channel " << ch << " at " << e;
      }
      for (size_t e = count; e < count + 4; e++) ASSERT_EQ(got[e], -7.0f) << "past the end " << e;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, Multiregion, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(MultiregionPlan, Ranges) {
  struct Row {
    int act[4], coords;
    multiregion_ranges_t want;
  };
  const Row rows[] = {
      {{0, 2, 4, 1}, 4, {2, {0, 4}, {2, 1}}},
      {{0, 2, 2, 3}, 4, {2, {0, 2}, {2, 3}}},  // the second range ending on the block's last channel
      {{0, 3, 2, 3}, 4, {1, {0, 0}, {3, 0}}},  // starts inside the first
      {{1, 1, 3, 0}, 4, {1, {1, 0}, {1, 0}}},  // empty second range
      {{0, 0, 0, 0}, 0, {1, {0, 0}, {0, 0}}},
  };
  for (const Row &r : rows) {
    FwOutcome o = run_firmware([&] {
      multiregion_ranges_t got = {};
      multiregion_ranges_of(&got, r.act, r.coords);
      EXPECT_EQ(got.count, r.want.count);
      EXPECT_EQ(got.start[0], r.want.start[0]);
      EXPECT_EQ(got.length[0], r.want.length[0]);
      if (got.count == 2) {
        EXPECT_EQ(got.start[1], r.want.start[1]);
        EXPECT_EQ(got.length[1], r.want.length[1]);
      }
    });
    EXPECT_TRUE(ran_clean(o)) << r.act[0] << " " << r.act[1] << " " << r.act[2] << " " << r.act[3];
  }
}

TEST(Multiregion, Assertions) {
  static const u64 in[5] = {kIn, kIn, kIn, kIn, kIn}, out[5] = {kOut, kOut, kOut, kOut, kOut};
  static const int N[5] = {1, 1, 1, 1, 1}, C[5] = {30, 30, 30, 30, 30}, H[5] = {2, 2, 2, 2, 2},
                   W[5] = {2, 2, 2, 2, 2}, one[5] = {1, 1, 1, 1, 1}, act[4] = {0, 2, 4, 1};
  const char *L = "firmware/layers/";
  const char *F = "nodechip_multiregion_forward_parallel";
  // 30 channels are 3 anchors of 10; 2 anchors do not match.
  expect_assert([](cmd_id_node_t *node) {
    nodechip_multiregion_forward_parallel(in, out, N, C, H, W, 1, 5, 4, 2, act, node);
  }, "ASSERT_FS", L, F, "Tensor_C[i] == nums * (classes + coords + 1)");
  expect_assert([](cmd_id_node_t *node) {
    static const int past[4] = {0, 2, 3, 3};
    nodechip_multiregion_forward_parallel(in, out, N, C, H, W, 1, 5, 4, 3, past, node);
  }, "ASSERT_FS", L, "multiregion_ranges_of", "(Activate_parm[2] + Activate_parm[3]) <= (coords + 1)");
  // A first range past the box block would write into the class channels.
  expect_assert([](cmd_id_node_t *node) {
    static const int past[4] = {3, 3, 0, 0};
    nodechip_multiregion_forward_parallel(in, out, N, C, H, W, 1, 5, 4, 3, past, node);
  }, "ASSERT_FS", L, "multiregion_ranges_of",
      "Activate_parm[0] >= 0 && Activate_parm[1] >= 0 && (i64)Activate_parm[0] + Activate_parm[1] <= (i64)coords + 1",
      "first range 3 + 3, coords 4");
  // Class softmax of 1 x 1 maps.
  expect_assert([](cmd_id_node_t *node) {
    nodechip_multiregion_forward_parallel(in, out, N, C, one, one, 1, 5, 4, 3, act, node);
  }, "ASSERT_FS", L, F, "0");
  expect_assert([](cmd_id_node_t *node) {
    nodechip_multiregion_forward_parallel(in, out, N, C, H, W, 6, 5, 4, 3, act, node);
  }, "ASSERT_FS", L, F, "heads >= 0 && heads <= MULTIREGION_MAX_HEADS", "heads=6");
  expect_assert([](cmd_id_node_t *node) {
    static const int N0[5] = {0, 1, 1, 1, 1};
    nodechip_multiregion_forward_parallel(in, out, N0, C, H, W, 1, 5, 4, 3, act, node);
  }, "ASSERT_FS", L, F, "Tensor_N[i] > 0 && Tensor_H[i] > 0 && Tensor_W[i] > 0", "head 0: n=0 h=2 w=2");
}

}  // namespace
}  // namespace zv::test
