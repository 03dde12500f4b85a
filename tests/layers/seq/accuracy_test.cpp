// The accuracy layer's top-k class indices: the heap sort on the ARM, the
// layer against a plain sort under every schedule with the happens-before
// checker, equal scores, and its two assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fw_test.h"
#include "layers/seq/accuracy.h"
#include "ref/seq_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x101000000ull;
constexpr u64 kOut = 0x102000000ull;
constexpr u64 kInitA = 0x103000000ull;
constexpr u64 kInitB = 0x104000000ull;
constexpr u64 kScratch = 0x105000000ull;

TEST(AccuracySort, PartialSortKeepsTheLargestAtTheEnd) {
  float v[] = {3, 9, 1, 7, 5, 8, 2};
  u32 idx[] = {0, 1, 2, 3, 4, 5, 6};
  Partial_Sort(v, idx, 7, 3);
  EXPECT_EQ(v[6], 9);
  EXPECT_EQ(v[5], 8);
  EXPECT_EQ(v[4], 7);
  EXPECT_EQ(idx[6], 1u);
  EXPECT_EQ(idx[5], 5u);
  EXPECT_EQ(idx[4], 3u);
  // Comparisons with NaN are never "greater": a NaN at the root is never
  // displaced, and one below a number never rises.
  float w[] = {NAN, 1, 2};
  u32 widx[] = {0, 1, 2};
  Partial_Sort(w, widx, 3, 1);
  EXPECT_EQ(widx[2], 0u);
  float z[] = {1, NAN, 2};
  u32 zidx[] = {0, 1, 2};
  Partial_Sort(z, zidx, 3, 1);
  EXPECT_EQ(zidx[2], 2u);
}

class AccuracyLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(AccuracyLayer, TopKAgainstASort) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int N, C, k;
  } cases[] = {{"top 3 of 10", 4, 10, 3}, {"k = C: the whole order", 3, 9, 9}, {"one class", 2, 1, 1},
               {"many classes", 2, 1000, 5}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<float> scores(size_t(c.N) * c.C);
    for (size_t i = 0; i < scores.size(); i++) scores[i] = float((i * 7919u) % 100003) / 7.0f - 5000.0f;
    rig.chip().ddr.store(kIn, reinterpret_cast<const u8 *>(scores.data()), scores.size() * 4);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_accuracy_layer(kIn, kOut, kInitA, kInitB, kScratch, c.N, c.C, c.k, node);
    }));
    std::vector<int32_t> got(size_t(c.N) * c.k);
    rig.chip().ddr.load(kOut, reinterpret_cast<u8 *>(got.data()), got.size() * 4);
    EXPECT_EQ(got, ref::top_k_indices(scores, c.N, c.C, c.k));
  }
  // Equal scores: the first is reported.
  const float same[] = {5.0f, 5.0f};
  rig.chip().ddr.store(kIn, reinterpret_cast<const u8 *>(same), 8);
  ASSERT_TRUE(rig.call(
      [&](cmd_id_node_t *node) { nodechip_accuracy_layer(kIn, kOut, kInitA, kInitB, kScratch, 1, 2, 1, node); }));
  int32_t first = -1;
  rig.chip().ddr.load(kOut, reinterpret_cast<u8 *>(&first), 4);
  EXPECT_EQ(first, 0);
}

INSTANTIATE_TEST_SUITE_P(All, AccuracyLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(AccuracyChecks, MoreThanTheClassesAndTooLarge) {
  expect_assert([](cmd_id_node_t *node) { nodechip_accuracy_layer(kIn, kOut, kInitA, kInitB, kScratch, 2, 3, 4, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_accuracy_layer", "Tensor_N >= Top_K");
  // N (k + 3 C) = 2^24 words of scratch.
  expect_assert(
      [](cmd_id_node_t *node) { nodechip_accuracy_layer(kIn, kOut, kInitA, kInitB, kScratch, 1, 4194304, 4194304, node); },
      "ASSERT_FS", "firmware/layers/", "nodechip_accuracy_layer", "0");
}

}  // namespace
}  // namespace zv::test
