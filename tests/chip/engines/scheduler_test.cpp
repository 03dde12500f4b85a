// When commands run and what they are ordered after: the eager and deferred
// schedules, the happens-before checker and its id-protocol findings, and
// deadlocked polls.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "arm_side.h"

namespace zv::test {
namespace {

using chip::Agent;
using chip::Chip;
using chip::ChipConfig;
using chip::Clock;
using chip::RaceChecker;
using chip::Schedule;

constexpr u64 kIn = 0x100001000ull, kOut = 0x100002000ull;
constexpr u32 kOutArm = 0x80002000u;  // the ARM's window onto kOut
constexpr u32 kA = 0x08000000u, kB = 0x08000100u;
constexpr u32 kWords = 8;

ChipConfig config(Schedule s, u64 seed, bool check = true) {
  ChipConfig c;
  c.engines.schedule = s;
  c.engines.seed = seed;
  c.engines.check_races = check;
  return c;
}

bool mentions(const std::vector<std::string> &findings, const std::string &text) {
  for (const std::string &f : findings)
    if (f.find(text) != std::string::npos) return true;
  return false;
}

// A race between the two actors, whichever of them ran first.
bool race_between(const std::vector<std::string> &findings, const std::string &a, const std::string &b) {
  for (const std::string &f : findings)
    if (f.rfind("race: ", 0) == 0 && f.find(a) != std::string::npos && f.find(b) != std::string::npos) return true;
  return false;
}

std::string joined(const std::vector<std::string> &findings) {
  std::string out;
  for (const std::string &f : findings) out += f + "\n";
  return out;
}

// ---- The checker on its own ----

TEST(RaceChecker, FlagsConflictsNotOrderedByClocks) {
  struct Case {
    const char *what;
    std::function<void(RaceChecker &)> run;
    std::string finding;  // empty: clean
  };
  auto command = [](RaceChecker &k, Agent a, const Clock &after, bool write) {
    Clock c = k.begin(a, after, [a] { return std::string(chip::agent_name(a)) + " command"; });
    k.access(0x1000, 8, write);
    k.end();
    return c;
  };
  const Case cases[] = {
      {"ARM reads what a command wrote, without seeing it finish",
       [&](RaceChecker &k) {
         command(k, Agent::Gdma, k.arm_release(), true);
         k.arm_access(0x1004, 4, false);
       },
       "race: the ARM reads 0x1004 written by GDMA command, which is not ordered before it"},
      {"ARM reads after seeing the command finish",
       [&](RaceChecker &k) {
         k.arm_acquire(command(k, Agent::Gdma, k.arm_release(), true));
         k.arm_access(0x1000, 4, false);
       },
       ""},
      {"a command reads what another engine wrote, ordered by a wait",
       [&](RaceChecker &k) {
         Clock g = command(k, Agent::Gdma, k.arm_release(), true);
         command(k, Agent::Bd, chip::join(k.arm_release(), g), false);
       },
       ""},
      {"the same without the wait",
       [&](RaceChecker &k) {
         command(k, Agent::Gdma, k.arm_release(), true);
         command(k, Agent::Bd, k.arm_release(), false);
       },
       "race: tensor engine command reads 0x1000 (and 1 more words) written by GDMA command"},
      {"a command overwrites what the ARM read after starting it",
       [&](RaceChecker &k) {
         Clock issued = k.arm_release();
         k.arm_access(0x1000, 4, false);
         command(k, Agent::Bd, issued, true);
       },
       "race: tensor engine command writes 0x1000 read by the ARM"},
      {"two engines write the same words",
       [&](RaceChecker &k) {
         command(k, Agent::Gdma, k.arm_release(), true);
         command(k, Agent::Gde, k.arm_release(), true);
       },
       "race: GDE command writes 0x1000 (and 1 more words) also written by GDMA command"},
      {"commands of one engine are ordered among themselves",
       [&](RaceChecker &k) {
         Clock first = command(k, Agent::Bd, k.arm_release(), true);
         command(k, Agent::Bd, first, true);
       },
       ""},
      {"an ARM write before the issue is seen by the command",
       [&](RaceChecker &k) {
         k.arm_access(0x1000, 8, true);
         command(k, Agent::Gdma, k.arm_release(), false);
       },
       ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RaceChecker k;
    k.enable(true);
    c.run(k);
    std::vector<std::string> f = k.findings();
    if (c.finding.empty()) {
      EXPECT_TRUE(f.empty()) << joined(f);
    } else {
      ASSERT_EQ(f.size(), 1u) << joined(f);
      EXPECT_EQ(f[0].substr(0, c.finding.size()), c.finding);
    }
  }
}

// ---- A load, compute, store pipeline on two engines ----

struct Outcome {
  std::vector<u32> out;
  std::vector<std::string> findings;
};

// GDMA loads kIn into lane memory, the tensor engine adds 1, GDMA stores the
// result to kOut; the ARM waits for both engines and reads kOut.
Outcome pipeline(const ChipConfig &cfg, bool tensor_waits_for_load, bool arm_waits = true) {
  Chip c(cfg);
  add_test_kinds(c);
  ArmSide arm{c};
  for (u32 i = 0; i < kWords; i++) c.ddr.store32(kIn + 4 * i, 100 + i);
  arm.gdma_copy(1, 0, kIn, kA, kWords);
  arm.bd_add(1, tensor_waits_for_load ? 1 : 0, kB, kA, kWords);
  arm.gdma_copy(2, 1, kB, kOut, kWords);
  if (arm_waits) arm.wait(1, 2);
  Outcome o;
  for (u32 i = 0; i < kWords; i++) o.out.push_back(c.arm_read32(kOutArm + 4 * i));
  arm.wait(1, 2);
  o.findings = c.engines.findings();
  return o;
}

std::vector<u32> expected_out() {
  std::vector<u32> v;
  for (u32 i = 0; i < kWords; i++) v.push_back(101 + i);
  return v;
}

TEST(Schedules, CorrectDependencyRunsCleanUnderEverySeed) {
  EXPECT_EQ(pipeline(config(Schedule::Eager, 0), true).out, expected_out());
  for (u64 seed = 0; seed < 64; seed++) {
    SCOPED_TRACE(seed);
    Outcome o = pipeline(config(Schedule::Deferred, seed), true);
    EXPECT_TRUE(o.findings.empty()) << joined(o.findings);
    EXPECT_EQ(o.out, expected_out());
  }
}

TEST(Schedules, RemovedDependencyIsFlaggedAndChangesTheResultUnderSomeSeed) {
  const std::string tensor = "tensor engine command #2 (id 1, waits for GDMA id 0, kind 15 test add one)";
  const std::string load = "GDMA command #1 (id 1, waits for tensor engine id 0, kind 6 test copy)";
  Outcome eager = pipeline(config(Schedule::Eager, 0), false);
  EXPECT_EQ(eager.out, expected_out()) << "eager runs in issue order";
  EXPECT_TRUE(mentions(eager.findings, "race: " + tensor + " reads 0x8000000 (and 7 more words) written by " + load))
      << joined(eager.findings);
  int wrong = 0;
  for (u64 seed = 0; seed < 64; seed++) {
    SCOPED_TRACE(seed);
    Outcome o = pipeline(config(Schedule::Deferred, seed), false);
    EXPECT_TRUE(race_between(o.findings, tensor, load)) << joined(o.findings);
    wrong += o.out != expected_out();
  }
  EXPECT_GT(wrong, 0);
  EXPECT_LT(wrong, 64);
}

TEST(Schedules, ArmReadWithoutAPollIsFlagged) {
  for (Schedule s : {Schedule::Eager, Schedule::Deferred}) {
    SCOPED_TRACE(chip::schedule_name(s));
    Outcome o = pipeline(config(s, 3), true, false);
    EXPECT_TRUE(race_between(o.findings, "the ARM", "GDMA command #3")) << joined(o.findings);
  }
}

TEST(Schedules, DeferredRunsAtPollsOnlyAndInIssueOrder) {
  Chip c(config(Schedule::Deferred, 11));
  add_test_kinds(c);
  ArmSide arm{c};
  for (u32 id = 1; id <= 40; id++) arm.gdma_copy(id, 0, kIn, kA + 4 * id, 1);  // more than the 32 slots
  const auto &cmds = c.engines.gdma.commands();
  EXPECT_FALSE(cmds.back().finished) << "nothing runs at issue";
  EXPECT_LE(c.engines.scheduler.gdma.pending.size(), 32u);
  u32 seen = 0, reads = 0;
  while (seen < 40) {
    u32 done = arm.gdma_done();
    EXPECT_GE(done, seen) << "done ids only grow";
    // Commands run in issue order; the register shows the last one that has
    // run and finished by the ARM's time.
    u32 shown = 0;
    for (u32 i = 0; i < cmds.size(); i++) {
      if (i > 0 && cmds[i].finished) {
        EXPECT_TRUE(cmds[i - 1].finished);
      }
      if (cmds[i].finished && cmds[i].finish_at <= c.engines.scheduler.now()) shown = cmds[i].own_id;
    }
    EXPECT_EQ(done, shown);
    seen = done;
    reads++;
  }
  EXPECT_GT(reads, 1u);
}

TEST(Schedules, IdProtocolBreachesAreFlagged) {
  struct Case {
    const char *what;
    std::function<void(ArmSide &)> run;
    std::string finding;
  };
  const Case cases[] = {
      {"own id skips", [](ArmSide &a) { a.gdma_copy(1, 0, kIn, kA, 1); a.gdma_copy(3, 0, kIn, kA, 1); a.wait(0, 3); },
       "GDMA command #2 (id 3, waits for tensor engine id 0, kind 6 test copy) has id 3, not the previous id 1 + 1"},
      {"wait beyond the last issued id",
       [](ArmSide &a) { a.gdma_copy(1, 0, kIn, kA, 1); a.bd_add(1, 2, kB, kA, 1); a.gdma_copy(2, 0, kIn, kB + 64, 1); a.wait(1, 2); },
       "tensor engine command #2 (id 1, waits for GDMA id 2, kind 15 test add one) waits for GDMA id 2 beyond the "
       "last one issued, 1"},
      {"restart with commands outstanding", [](ArmSide &a) { a.gdma_copy(1, 0, kIn, kA, 1); a.restart(); },
       "GDMA: id restart with commands outstanding (ids up to 1 issued, the ARM has not seen them all finish)"},
      {"restart after a poll", [](ArmSide &a) { a.gdma_copy(1, 0, kIn, kA, 1); a.wait(0, 1); a.restart(); }, ""},
  };
  for (Schedule s : {Schedule::Eager, Schedule::Deferred}) {
    for (const Case &k : cases) {
      SCOPED_TRACE(std::string(chip::schedule_name(s)) + ": " + k.what);
      Chip c(config(s, 5));
      add_test_kinds(c);
      ArmSide arm{c};
      k.run(arm);
      std::vector<std::string> f = c.engines.findings();
      if (k.finding.empty())
        EXPECT_TRUE(f.empty()) << joined(f);
      else
        EXPECT_TRUE(mentions(f, k.finding)) << joined(f);
      EXPECT_TRUE(c.engines.scheduler.gdma.pending.empty()) << "a restart lets issued commands finish first";
    }
  }
}

TEST(Schedules, PollThatCanNeverBeSatisfiedIsADeadlock) {
  struct Case {
    const char *what;
    std::function<void(ArmSide &)> run;
    std::string fault;
  };
  const Case cases[] = {
      {"nothing issued", [](ArmSide &a) { a.wait(1, 0); },
       "deadlock: the firmware polls with no command outstanding (tensor engine finished id 0 of 0 issued, GDMA "
       "finished id 0 of 0 issued): the poll can never be satisfied"},
      {"tensor engine waits for a GDMA id never issued", [](ArmSide &a) { a.bd_add(1, 5, kB, kA, 1); a.wait(1, 0); },
       "deadlock: tensor engine command #1 (id 1, waits for GDMA id 5, kind 15 test add one) waits for GDMA id 5, "
       "but GDMA has finished id 0 and has nothing queued"},
  };
  for (Schedule s : {Schedule::Eager, Schedule::Deferred}) {
    for (const Case &k : cases) {
      SCOPED_TRACE(std::string(chip::schedule_name(s)) + ": " + k.what);
      Chip c(config(s, 9, false));
      add_test_kinds(c);
      ArmSide arm{c};
      std::string fault;
      try {
        k.run(arm);
      } catch (const chip::Fault &f) {
        fault = f.what();
      }
      EXPECT_EQ(fault, k.fault);
    }
  }
  // Satisfied polls repeated many times are not a spin.
  Chip c(config(Schedule::Eager, 0));
  add_test_kinds(c);
  ArmSide arm{c};
  arm.gdma_copy(1, 0, kIn, kA, 1);
  for (int i = 0; i < 5000; i++) arm.wait(0, 1);
}

TEST(Schedules, SynchronousEnginesAreOrderedByTheArm) {
  // GDMA loads L2 words, GDE copies them on, the ARM reads the copy.
  for (bool polls : {false, true}) {
    SCOPED_TRACE(polls ? "with polls" : "without polls");
    Chip c(config(Schedule::Deferred, 2));
    add_test_kinds(c);
    ArmSide arm{c};
    c.ddr.store32(kIn, 77);
    arm.gdma_copy(1, 0, kIn, 0x10004000, 1);
    if (polls) arm.wait(0, 1);
    const u32 b = 0x58005000;
    c.arm_write32(b + 4 * 3, 0x10004000);
    c.arm_write32(b + 4 * 4, 0x10004100);
    c.arm_write32(b + 4 * 5, 1);
    c.arm_write32(b + 4 * 9, kTestGdeType << 28);
    c.arm_write32(b, 5);
    if (polls) {
      EXPECT_EQ(c.arm_read32(0x58005008) & 1, 0u) << "not finished by the ARM's time";
      EXPECT_EQ(c.arm_read32(0x58005008) & 1, 1u) << "the spin waits for it";
    }
    c.arm_read32(0x10004100);
    arm.wait(0, 1);
    std::vector<std::string> f = c.engines.findings();
    if (polls) {
      EXPECT_TRUE(f.empty()) << joined(f);
    } else {
      EXPECT_TRUE(race_between(f, "GDE command #2 (kind 7 test copy)", "GDMA command #1")) << joined(f);
      EXPECT_TRUE(mentions(f, "race: the ARM reads 0x10004100 written by GDE command #2")) << joined(f);
    }
  }
}

}  // namespace
}  // namespace zv::test
