// Modelled time: the cost of a command from its work, schedules worked out by
// hand from the engine figures, and time that does not depend on the schedule.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "arm_side.h"

namespace zv::test {
namespace {

using chip::Chip;
using chip::ChipConfig;
using chip::Picos;
using chip::Schedule;
using chip::Work;
namespace fig = chip::figures;

constexpr u64 kIn = 0x100001000ull, kOut = 0x100100000ull;
constexpr u32 kA = 0x08000000u, kB = 0x08040000u;  // the two halves of lane 0
constexpr u32 kC = 0x08080000u, kD = 0x080c0000u;  // of lane 1
// Long enough that the ARM issues the next command before this one finishes.
constexpr u32 kWords = 0xffe0;

ChipConfig config(Schedule s, u64 seed) {
  ChipConfig c;
  c.engines.schedule = s;
  c.engines.seed = seed;
  c.engines.check_races = true;
  return c;
}

Picos cycles(u64 n) { return n * fig::kEngineCycle; }

// Costs of the test kinds moving kWords words, from the figures.
const Picos kLoad = cycles(fig::kGdmaLatencyDevice + 4 * kWords / fig::kGdmaDeviceBytesPerCycle);
const Picos kAdd = cycles(fig::kBdSetupCycles + 8 * kWords / fig::kLaneBytesPerCycle);  // reads and writes lane 0
const Picos kStore = kLoad;
// Register writes of one issue through ArmSide (words 1 to 29, then word 0 twice).
const Picos kBdIssue = 31 * fig::kArmCyclesPerRegisterWrite * fig::kArmCycle;

TEST(Timing, CostsFollowTheWorkAndTheFigures) {
  struct Case {
    const char *what;
    Work work;
    Picos (*cost)(const Work &);
    Picos time, ideal;
  };
  auto spread = [](u64 macs, u32 bytes, u64 results_per_lane, u32 lanes) {
    Work w;
    w.add_macs(macs, bytes);
    for (u32 l = 0; l < lanes; l++) w.lane_stores[l] = results_per_lane;
    w.stores = results_per_lane * lanes;
    return w;
  };
  auto bytes = [](u64 local, u64 other) {
    Work w;
    w.local_bytes = local;
    w.other_bytes = other;
    return w;
  };
  auto bd = [](const Work &w) { return chip::bd_cost(w).time; };
  auto gdma = [](const Work &w) { return chip::gdma_cost(w).time; };
  Work lane_traffic;
  lane_traffic.lane_bytes[5] = 6400;
  lane_traffic.lane_bytes[6] = 64;
  const Case cases[] = {
      {"float32 products spread over all lanes run at the peak rate", spread(64 * 16 * 100, 4, 10, 64), bd,
       cycles(fig::kBdSetupCycles + 100), cycles(100)},
      {"8-bit products run four times faster", spread(64 * 16 * 100, 1, 10, 64), bd,
       cycles(fig::kBdSetupCycles + 25), cycles(25)},
      {"results in one lane leave the others idle", spread(16 * 100, 4, 10, 1), bd,
       cycles(fig::kBdSetupCycles + 100), cycles(100) / 64},
      {"element traffic of the busiest lane", lane_traffic, bd, cycles(fig::kBdSetupCycles + 100), 0},
      {"a load from device memory: latency, then device bandwidth", bytes(4096, 4096), gdma,
       cycles(fig::kGdmaLatencyDevice + 4096 / fig::kGdmaDeviceBytesPerCycle), 0},
      {"a move inside local memory: its own latency and bandwidth", bytes(8192, 0), gdma,
       cycles(fig::kGdmaLatencyLocal + 8192 / fig::kGdmaLocalBytesPerCycle), 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.cost(c.work), c.time);
    if (c.cost == bd) {
      EXPECT_EQ(chip::bd_cost(c.work).ideal, c.ideal);
    }
  }
}

// The ARM's time when it issued each command and each command's start and
// finish, in issue order.
struct Times {
  std::vector<Picos> issued, start, finish;
  Picos end = 0;  // the ARM's time after its wait
  std::vector<std::string> findings;
  bool operator==(const Times &o) const {
    return issued == o.issued && start == o.start && finish == o.finish && end == o.end;
  }
};

Times times_of(Chip &c) {
  Times t;
  std::vector<const chip::CommandRecord *> all;
  for (const auto &r : c.engines.gdma.commands()) all.push_back(&r);
  for (const auto &r : c.engines.bd.commands()) all.push_back(&r);
  std::sort(all.begin(), all.end(), [](auto *a, auto *b) { return a->seq < b->seq; });
  for (const auto *r : all) {
    t.issued.push_back(r->issued_at);
    t.start.push_back(r->start_at);
    t.finish.push_back(r->finish_at);
  }
  t.end = c.engines.scheduler.now();
  t.findings = c.engines.findings();
  return t;
}

// Load, add, store; the add waits for the load (or not), the store for the add.
Times chain(const ChipConfig &cfg, bool add_waits) {
  Chip c(cfg);
  add_test_kinds(c);
  ArmSide arm{c};
  arm.gdma_copy(1, 0, kIn, kA, kWords);
  arm.bd_add(1, add_waits ? 1 : 0, kB, kA, kWords);
  arm.gdma_copy(2, 1, kB, kOut, kWords);
  arm.wait(1, 2);
  return times_of(c);
}

TEST(Timing, ADependentChainTakesTheSumOfItsCosts) {
  const Times t = chain(config(Schedule::Eager, 0), true);
  ASSERT_EQ(t.finish.size(), 3u);
  // Each command is issued before the one it waits for finishes.
  EXPECT_LT(t.issued[1], t.issued[0] + kLoad);
  EXPECT_LT(t.issued[2], t.issued[0] + kLoad + kAdd);
  EXPECT_EQ(t.start, (std::vector<Picos>{t.issued[0], t.issued[0] + kLoad, t.issued[0] + kLoad + kAdd}));
  EXPECT_EQ(t.finish[2], t.issued[0] + kLoad + kAdd + kStore);
  EXPECT_EQ(t.end, t.finish[2]) << "the wait ends at the store's completion";
  EXPECT_TRUE(t.findings.empty());
}

TEST(Timing, TheScheduleDoesNotChangeModelledTime) {
  for (bool waits : {true, false}) {
    SCOPED_TRACE(waits ? "ordered chain" : "racing chain");
    const Times eager = chain(config(Schedule::Eager, 0), waits);
    for (u64 seed = 0; seed < 16; seed++) {
      SCOPED_TRACE(seed);
      EXPECT_TRUE(chain(config(Schedule::Deferred, seed), waits) == eager);
    }
  }
}

TEST(Timing, AComputeThatDoesNotWaitStartsEarlyAndIsARace) {
  const Times t = chain(config(Schedule::Eager, 0), false);
  EXPECT_EQ(t.start[1], t.issued[1]) << "starts at its issue, before the load finishes";
  EXPECT_LT(t.start[1], t.finish[0]);
  bool flagged = false;
  for (const std::string &f : t.findings)
    flagged |= f.rfind("race: tensor engine command #2", 0) == 0 && f.find("GDMA command #1") != std::string::npos;
  EXPECT_TRUE(flagged);
}

TEST(Timing, IndependentChainsOverlap) {
  Chip c(config(Schedule::Eager, 0));
  add_test_kinds(c);
  ArmSide arm{c};
  // GDMA loads one block while the tensor engine works on another.
  arm.gdma_copy(1, 0, kIn, kA, kWords);
  arm.bd_add(1, 0, kD, kC, kWords);
  arm.wait(1, 1);
  const Times t = times_of(c);
  EXPECT_EQ(t.finish[0], t.issued[0] + kLoad);
  EXPECT_EQ(t.start[1], t.issued[1]);
  EXPECT_EQ(t.finish[1], t.issued[1] + kAdd);
  EXPECT_EQ(t.end, std::max(t.finish[0], t.finish[1])) << "elapsed is the longer chain";
  EXPECT_LT(t.end - t.issued[0], kLoad + kAdd);
  EXPECT_EQ(c.engines.scheduler.bd.busy, kAdd);
  EXPECT_EQ(c.engines.scheduler.gdma.busy, kLoad);
  EXPECT_TRUE(t.findings.empty());
}

TEST(Timing, AFullQueueHoldsTheArmUntilASlotFrees) {
  Chip c(config(Schedule::Eager, 0));
  add_test_kinds(c);
  ArmSide arm{c};
  // Ten long loads; the tensor engine's commands wait for the last. The ARM
  // issues while more than 3 of the 15 slots are free: 12 commands, then the
  // 13th waits for the first to finish.
  for (u32 id = 1; id <= 10; id++) arm.gdma_copy(id, 0, kIn, kA, kWords);
  for (u32 id = 1; id <= 13; id++) arm.bd_add(id, 10, kC, kA, 1);
  const auto &cmds = c.engines.bd.commands();
  EXPECT_EQ(cmds[0].start_at, c.engines.gdma.commands()[9].finish_at);
  for (u32 i = 1; i < 12; i++) EXPECT_EQ(cmds[i].issued_at, cmds[i - 1].issued_at + kBdIssue);
  EXPECT_EQ(cmds[12].issued_at, cmds[0].finish_at + kBdIssue);
  for (u32 i = 1; i < 12; i++) EXPECT_EQ(cmds[i].start_at, cmds[i - 1].finish_at) << "back to back";
  EXPECT_EQ(cmds[12].start_at, cmds[12].issued_at) << "the engine had run dry before the late issue";
}

TEST(Timing, TheTimerShowsModelledTime) {
  Chip c;
  add_test_kinds(c);
  ArmSide arm{c};
  arm.gdma_copy(1, 0, kIn, kA, kWords);
  arm.wait(0, 1);
  const Picos finish = c.engines.gdma.commands()[0].finish_at;
  EXPECT_EQ(c.engines.scheduler.now(), finish);
  EXPECT_EQ(c.arm_read32(0x50010184), static_cast<u32>(finish / fig::kTimerTick));
}

}  // namespace
}  // namespace zv::test
