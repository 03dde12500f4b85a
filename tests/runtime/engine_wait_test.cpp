// Engine waits and id restarts, run as firmware code on the chip model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_issue.h"
#include "runtime/engine_wait.h"
#include "fw_test.h"

namespace zv::test {
namespace {

using chip::ChipConfig;
using chip::Schedule;

// What the firmware read from the engines' status registers, in order, as
// "bd N" (tensor-engine done id) and "gdma N" (GDMA done id), and the restarts.
struct StatusLog {
  std::vector<std::string> events;
  void attach(chip::Chip &c) {
    c.engines.scheduler.trace = [this](const std::string &line) {
      const std::string bd = "read tensor engine status: done id ", gdma = "read GDMA done id ";
      if (line.rfind(bd, 0) == 0) events.push_back("bd " + line.substr(bd.size(), line.find(',') - bd.size()));
      if (line.rfind(gdma, 0) == 0) events.push_back("gdma " + line.substr(gdma.size()));
      if (line.rfind("restart ", 0) == 0) events.push_back(line);
    };
  }
};

TEST(EngineWait, NodeWithZeroIdsReturnsAfterOneReadOfEach) {
  FirmwareRig rig;
  StatusLog log;
  log.attach(rig.chip());
  const u64 writes = rig.chip().activity();
  cmd_id_node_t node = {0, 0, 0};
  ASSERT_TRUE(ran_clean(rig.run([&] { poll_all_engine_done(&node); })));
  EXPECT_EQ(log.events, (std::vector<std::string>{"bd 0", "gdma 0"}));
  EXPECT_EQ(rig.chip().activity(), writes);
}

TEST(EngineWait, SpinsUntilEachDoneIdReachesTheNode) {
  bool saw_four_then_five = false;
  for (u64 seed = 0; seed < 8; seed++) {
    SCOPED_TRACE(seed);
    FirmwareRig rig(deferred(seed));
    add_test_kinds(rig.chip());
    StatusLog log;
    cmd_id_node_t node = {0, 0, 0};
    ASSERT_TRUE(ran_clean(rig.run([&] {
                      for (int i = 0; i < 2; i++) issue_gdma_copy(&node, 0x100000000ull, 0x08000000, 1);
                      for (int i = 0; i < 5; i++) issue_bd_add_one(&node, 0x08000100, 0x08000000, 1);
                      log.attach(rig.chip());
                      poll_all_engine_done(&node);
                    })));
    ASSERT_GE(log.events.size(), 2u);
    // The tensor engine is read until it shows 5, then GDMA until it shows 2.
    size_t i = 0;
    for (; log.events[i] != "bd 5"; i++) {
      ASSERT_EQ(log.events[i].rfind("bd ", 0), 0u) << log.events[i];
      saw_four_then_five |= log.events[i] == "bd 4" && log.events[i + 1] == "bd 5";
    }
    for (i++; i + 1 < log.events.size(); i++) EXPECT_NE(log.events[i], "gdma 2");
    EXPECT_EQ(log.events.back(), "gdma 2");
    EXPECT_TRUE(rig.chip().engines.findings().empty());
  }
  EXPECT_TRUE(saw_four_then_five);
}

TEST(EngineWait, ResyncZeroesTheNodeAndRestartsBothCounters) {
  FirmwareRig rig;
  rig.chip().arm_write32(0x02080000, 0x30);
  cmd_id_node_t node = {3, 4, 1};
  ASSERT_TRUE(ran_clean(rig.run([&] { resync_cmd_id(&node); })));
  EXPECT_EQ(node.bd_cmd_id, 0u);
  EXPECT_EQ(node.gdma_cmd_id, 0u);
  EXPECT_EQ(node.divided, 1) << "the flag byte is left as it was";
  EXPECT_EQ(rig.chip().engines.scheduler.bd.restarts, 1u);
  EXPECT_EQ(rig.chip().engines.scheduler.gdma.restarts, 1u);
  EXPECT_EQ(rig.chip().arm_read32(0x02080000), 0x30u) << "read, modify, write of the control word";
}

TEST(EngineWait, OverflowFixRestartsOnlyAboveTheLimit) {
  struct Case {
    const char *what;
    u32 bd, gdma;  // node ids, reached by commands of these ids
    bool restarts;
  };
  const Case cases[] = {
      {"both at the limit", 60000, 60000, false},
      {"GDMA one above", 60000, 60001, true},
      {"tensor engine one above", 60001, 7, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FirmwareRig rig(unchecked_chip());  // ids near the limit from the start
    add_test_kinds(rig.chip());
    StatusLog log;
    cmd_id_node_t node = {c.bd - 1, 0, 1};
    FwOutcome out = rig.run([&] {
      issue_bd_add_one(&node, 0x08000100, 0x08000000, 1);
      node.gdma_cmd_id = c.gdma - 1;
      issue_gdma_copy(&node, 0x100000000ull, 0x08000000, 1);
      log.attach(rig.chip());
      fix_cmd_node_overflow(&node);
    });
    ASSERT_TRUE(ran_clean(out));
    if (!c.restarts) {
      EXPECT_TRUE(log.events.empty());
      EXPECT_EQ(node.bd_cmd_id, c.bd);
      EXPECT_EQ(node.gdma_cmd_id, c.gdma);
      EXPECT_EQ(rig.chip().engines.scheduler.bd.restarts, 0u);
      continue;
    }
    // The tensor engine's short command has finished before the GDMA issue
    // ends; the GDMA copy (its latency alone is longer than the wait's start)
    // has not, so the wait reads GDMA twice: nothing finished, then its id.
    EXPECT_EQ(log.events, (std::vector<std::string>{"bd " + std::to_string(c.bd), "gdma 0",
                                                    "gdma " + std::to_string(c.gdma), "restart tensor engine ids",
                                                    "restart GDMA ids"}));
    EXPECT_EQ(node.bd_cmd_id, 0u);
    EXPECT_EQ(node.gdma_cmd_id, 0u);
    EXPECT_EQ(node.divided, 1);
  }
}

}  // namespace
}  // namespace zv::test
