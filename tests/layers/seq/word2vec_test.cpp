// The word2vec step against sequential skip-gram updates in double under
// every schedule with the happens-before checker: one block per table, rows
// shared by several pairs, a negative equal to its target, and tables of
// several blocks (every update sees the ones before it); its checks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fw_test.h"
#include "layers/seq/word2vec.h"
#include "ref/seq_ref.h"

namespace zv::test {
namespace {

constexpr u64 kSyn0 = 0x101000000ull;
constexpr u64 kSyn1 = 0x102000000ull;
constexpr u64 kNeg = 0x103000000ull;
constexpr u64 kIn = 0x104000000ull;
constexpr u64 kTarget = 0x105000000ull;
constexpr u64 kScratch = 0x106000000ull;

std::vector<float> floats(const std::vector<int> &v) { return std::vector<float>(v.begin(), v.end()); }

class Word2vecLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(Word2vecLayer, SequentialUpdates) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int vocab, dim, negatives;
    std::vector<int> in, target, neg;
  } cases[] = {
      {"one block; shared rows; a negative equal to its target", 20, 40, 3,
       {1, 1, 5, 7}, {2, 3, 2, 1}, {4, 2, 9, 3, 3, 2, 2, 6, 8, 1, 0, 19}},
      // 600 x 100 floats: 2 blocks of 491 rows; pairs across both blocks.
      {"two blocks a table", 600, 100, 2, {0, 590, 10, 590}, {599, 3, 599, 500}, {500, 1, 2, 599, 598, 7, 3, 10}},
      {"no negatives", 8, 33, 0, {0, 1}, {1, 0}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t cells = size_t(c.vocab) * c.dim;
    std::vector<float> syn0(cells), syn1(cells);
    for (size_t i = 0; i < cells; i++) {
      syn0[i] = float(int((i * 37) % 101) - 50) / 100.0f;
      syn1[i] = float(int((i * 53) % 89) - 44) / 90.0f;
    }
    put<float>(rig, kSyn0, syn0);
    put<float>(rig, kSyn1, syn1);
    put<float>(rig, kIn, floats(c.in));
    put<float>(rig, kTarget, floats(c.target));
    put<float>(rig, kNeg, floats(c.neg));
    const float alpha = 0.25f;
    const int n = int(c.in.size());
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_word2vec_parallel(kSyn0, kSyn1, kNeg, kIn, kTarget, kScratch, alpha, c.negatives, n, c.dim, c.vocab,
                                 node);
    }));
    std::vector<double> r0(syn0.begin(), syn0.end()), r1(syn1.begin(), syn1.end());
    ref::word2vec(r0, r1, c.in, c.target, c.neg, c.negatives, c.dim, alpha);
    const std::vector<float> g0 = get<float>(rig, kSyn0, cells), g1 = get<float>(rig, kSyn1, cells);
    for (size_t i = 0; i < cells; i++) {
      ASSERT_NEAR(g0[i], r0[i], 2e-6) << "input table " << i / c.dim << ", " << i % c.dim;
      ASSERT_NEAR(g1[i], r1[i], 2e-6) << "output table " << i / c.dim << ", " << i % c.dim;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, Word2vecLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(Word2vecChecks, BlocksAndIds) {
  // vocab x dim x 4 just above 8 blocks.
  expect_assert([](cmd_id_node_t *node) {
    nodechip_word2vec_parallel(kSyn0, kSyn1, kNeg, kIn, kTarget, kScratch, 0.1f, 1, 1, 1, 8 * 196608 / 4 + 1, node);
  }, "ASSERT_FS", "firmware/layers/", "nodechip_word2vec_parallel", "npu_num_used <= 8.0");
  // An id past the table whose lane passes 63, and one whose lane exists but
  // that names no row.
  FirmwareRig rig;  // after the expect_assert above: one core at a time
  put<float>(rig, kIn, {0.0f});
  put<float>(rig, kTarget, {1000000.0f});  // block 81 of 12288 rows
  FwOutcome out = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_word2vec_parallel(kSyn0, kSyn1, kNeg, kIn, kTarget, kScratch, 0.1f, 0, 1, 4, 10, node);
  });
  EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/layers/", "nodechip_word2vec_parallel",
                         "current_npu <= (1<<(6)) - 1"));
  put<float>(rig, kTarget, {-1.0f});
  out = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_word2vec_parallel(kSyn0, kSyn1, kNeg, kIn, kTarget, kScratch, 0.1f, 0, 1, 4, 10, node);
  });
  EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/layers/", "nodechip_word2vec_parallel",
                         "in >= 0 && in < vocab && t >= 0 && t < vocab", "ids 0 and -1 of 10"));
}

}  // namespace
}  // namespace zv::test
