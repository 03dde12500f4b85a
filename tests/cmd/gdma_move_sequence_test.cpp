// A load, compute, move and store sequence through local memory: GDMA loads a
// tensor, the tensor engine adds one to it (the test-only task of the engine
// tests), GDMA moves the result to other lanes and stores it. Issued with the
// move on a copy of the node that has not seen the tensor engine's command, the
// move's wait id is missing: some seed of the deferred schedule then moves the
// data before the addition, and the checker flags the sequence under every
// seed. Issued correctly, the result is right and the checker quiet under every
// seed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_issue.h"
#include "gdma_rig.h"

namespace zv::test {
namespace {

constexpr u64 kInput = kDdr + 0x4000, kOutput = kDdr + 0x8000;
constexpr u32 kWords = 300;  // 300 channels of one word: lanes 0-63 in five rows
constexpr u32 kLoaded = 0x100, kAdded = 0x2000, kMoved = 0x3000;

struct Outcome {
  bool right = false;
  bool flagged = false;
};

Outcome sequence(u64 seed, bool missing_wait) {
  GdmaRig rig(deferred(seed));
  add_test_kinds(rig.chip());
  std::vector<u8> input(kWords * 4);
  for (u32 i = 0; i < kWords; i++) {
    const u32 v = 1000 + 7 * i;
    std::memcpy(&input[4 * i], &v, 4);
  }
  rig.put(kInput, input);
  rig.window(kOutput, kWords * 4);
  // What the addition will overwrite holds something else, so that reading it
  // too early shows.
  rig.window(ref::lane_addr(0, kAdded), 4 * 64);

  FwOutcome out = rig.run([&](cmd_id_node_t *node) {
    // Load the 300 words as a column of 300 channels from lane 0 (compact:
    // row r of the lanes at kLoaded + 4r) ...
    tensor_compact_move_gen_cmd(kLoaded, 0, kInput, 1, kWords, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2L, 0, node);
    cmd_id_node_t moves, compute;
    cmd_id_divide(node, &moves, &compute);
    cmd_id_node_t *after_add = missing_wait ? &moves : &compute;
    // ... add one in every lane (each lane's five words) ...
    for (int lane = 0; lane < 64; lane++)
      issue_bd_add_one(&compute, u32(ref::lane_addr(lane, kAdded)), u32(ref::lane_addr(lane, kLoaded)), 5);
    // ... move the sums to start at lane 10 and store them.
    tensor_general_move_gen_cmd(kAdded, 0, 1, kWords, 1, 1, 5, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, kMoved, 10, 1,
                                kWords, 1, 1, 5, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2L, 0,
                                after_add);
    tensor_compact_move_gen_cmd(kMoved, 10, kOutput, 1, kWords, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_L2S, 0, after_add);
    cmd_id_merge(node, &moves, &compute);
  });
  EXPECT_TRUE(ran_clean(out, missing_wait ? Races::Expected : Races::None));
  Outcome o;
  o.flagged = !rig.chip().engines.findings().empty();
  std::vector<u8> got(kWords * 4);
  rig.chip().ddr.load(kOutput, got.data(), got.size());
  o.right = true;
  for (u32 i = 0; i < kWords; i++) {
    u32 v;
    std::memcpy(&v, &got[4 * i], 4);
    if (v != 1000 + 7 * i + 1) o.right = false;
  }
  return o;
}

TEST(GdmaSequence, MissingWaitGivesAWrongResultUnderSomeSeedAndIsAlwaysFlagged) {
  int wrong = 0;
  for (u64 seed = 0; seed < 32; seed++) {
    SCOPED_TRACE(seed);
    const Outcome o = sequence(seed, true);
    EXPECT_TRUE(o.flagged);
    wrong += !o.right;
  }
  EXPECT_GT(wrong, 0) << "no seed moved the data before the addition";
}

TEST(GdmaSequence, CorrectSequenceIsRightAndCleanUnderEverySeed) {
  for (u64 seed = 0; seed < 32; seed++) {
    SCOPED_TRACE(seed);
    const Outcome o = sequence(seed, false);
    EXPECT_TRUE(o.right);
    EXPECT_FALSE(o.flagged);
  }
}

}  // namespace
}  // namespace zv::test
