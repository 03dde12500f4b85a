// When engine commands run, and what they are ordered after.
//
// The tensor engine and GDMA each run their commands in issue order; a command
// starts only when the other engine's done id has reached the id it waits for
// (done ids report the last finished id; both count from 0 again on their
// restart writes). CDMA and GDE are synchronous: a command runs as it starts.
//
// Schedules of the tensor engine and GDMA:
// - eager: every command runs as soon as it can, normally while it is issued;
// - deferred: commands wait in their queues and run only when the ARM reads a
//   status or done register of these engines: then one command, chosen among
//   the engines that can run by a generator seeded per chip, runs on every
//   other such read on average, and always when a queue is full (the firmware
//   would spin until a slot frees). Different seeds give different
//   interleavings of the two engines and of the ARM.
// Under any schedule a poll that can never be satisfied is reported as a
// deadlock after the firmware has spun on it kDeadlockPolls times.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include "chip/engines/bus.h"
#include "chip/engines/command.h"
#include "chip/engines/race_checker.h"

namespace zv::chip {

enum class Schedule { Eager, Deferred };
const char *schedule_name(Schedule s);

struct EngineConfig {
  Schedule schedule = Schedule::Eager;
  u64 seed = 0;
  bool check_races = false;  // run the happens-before checker
};

// A command of the tensor engine or GDMA in its engine's queue.
struct QueuedCommand {
  CommandRecord *record = nullptr;
  u32 own_id = 0;
  u32 wait_id = 0;
  Clock issued{};  // what the ARM had done before it started the command
  std::function<void(Bus &)> execute;
};

// The in-order queue and id registers of an engine that orders itself by ids.
struct IdQueue {
  IdQueue(Agent agent, const char *name, u32 slots, u32 issue_threshold)
      : agent(agent), name(name), slots(slots), issue_threshold(issue_threshold) {}
  u32 free_slots() const { return slots - static_cast<u32>(pending.size()); }

  const Agent agent;
  const char *const name;
  const u32 slots;
  const u32 issue_threshold;  // the firmware issues only while more slots than this are free
  std::deque<QueuedCommand> pending;
  u32 done_id = 0;    // last finished
  u32 issued_id = 0;  // last issued since the restart
  Clock last{};       // clock of the last finished command
  std::unordered_map<u32, Clock> finished;  // by id, since the restart
  u64 restarts = 0;
};

class Scheduler {
 public:
  static constexpr u32 kDeadlockPolls = 1000;

  Scheduler(RaceChecker &checker, Bus &bus) : checker_(checker), bus_(bus) {}
  void configure(Schedule schedule, u64 seed);
  Schedule schedule() const { return schedule_; }
  void reset();

  IdQueue bd{Agent::Bd, "tensor engine", 15, 3};
  IdQueue gdma{Agent::Gdma, "GDMA", 32, 0};

  // ---- Tensor engine and GDMA ----
  // A command was started through its engine's window.
  void issue(IdQueue &q, QueuedCommand command);
  // The ARM reads a status or done register of these engines (at `addr`).
  void poll(u32 addr);
  // The ARM read q's done id.
  void observe(IdQueue &q);
  // The id restart of q.
  void restart(IdQueue &q);
  // Runs every command that can run.
  void drain();

  // ---- CDMA and GDE ----
  // Runs a command now, ordered after what the ARM did before.
  void run_now(Agent agent, const std::function<void(Bus &)> &execute,
               const std::function<std::string()> &describe);
  // The ARM read the engine's done bit set.
  void observe_done(Agent agent);

  u64 next_seq() { return ++seq_; }
  u64 progress() const { return progress_; }
  u64 polls() const { return polls_; }

  // Wiring: the chip's count of ARM register and memory accesses (to tell a
  // spin from separate polls), a note of progress, and an optional trace.
  std::function<u64()> chip_accesses;
  std::function<void()> on_progress;
  std::function<void(const std::string &)> trace;

 private:
  IdQueue &other(const IdQueue &q) { return &q == &bd ? gdma : bd; }
  const IdQueue &other(const IdQueue &q) const { return &q == &bd ? gdma : bd; }
  bool runnable(const IdQueue &q) const;
  bool queue_full() const;
  IdQueue *pick();
  void run_head(IdQueue &q);
  Clock finished_clock(const IdQueue &q, u32 id) const;
  std::string describe(const IdQueue &q, const QueuedCommand &c) const;
  std::string deadlock() const;
  void progressed();
  u64 random();

  RaceChecker &checker_;
  Bus &bus_;
  Schedule schedule_ = Schedule::Eager;
  u64 rng_ = 0;
  u64 seq_ = 0;
  u64 progress_ = 0;
  u64 polls_ = 0;
  Clock sync_last_[kAgents] = {};

  // Spin detection: consecutive reads of one register with nothing in between.
  u32 last_poll_addr_ = 0;
  u64 last_poll_access_ = 0;
  u64 last_poll_progress_ = 0;
  u32 fruitless_polls_ = 0;
};

}  // namespace zv::chip
