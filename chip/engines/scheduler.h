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
//
// Modelled time (chip/engines/timing.h) does not depend on the schedule: a
// command of the tensor engine or GDMA starts at the latest of its engine
// finishing the command before it, the other engine finishing the id it waits
// for, and the ARM issuing it, and lasts its cost; CDMA and GDE commands start
// when the ARM issues them (and their engine is free). The ARM's time advances
// by its register writes, and when it reads a status register again with
// nothing in between and would see the same value, to the next completion on
// that engine: a wait for an id so ends at that id's completion. Status
// registers show what has both run and finished by the ARM's time.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include "chip/engines/bus.h"
#include "chip/engines/command.h"
#include "chip/engines/race_checker.h"
#include "chip/engines/timing.h"

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
  Picos issued_at = 0;
  std::function<void(Bus &)> execute;
};

// The in-order queue and id registers of an engine that orders itself by ids.
struct IdQueue {
  IdQueue(Agent agent, const char *name, u32 slots, u32 issue_threshold, Cost (*cost)(const Work &))
      : agent(agent), name(name), slots(slots), issue_threshold(issue_threshold), cost(cost) {}
  // Slots not held by a command that has not run or has not finished by the
  // ARM's time (see Scheduler::settle).
  u32 free_slots() const { return slots - static_cast<u32>(pending.size() + occupied.size()); }

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

  // Modelled time.
  Cost (*const cost)(const Work &);
  Picos free_at = 0;  // finish of the last command that ran
  Picos busy = 0;     // total of the costs
  Picos ideal = 0;    // total of the arithmetic at the peak rate
  std::unordered_map<u32, Picos> finish_at;  // by id, since the restart
  std::deque<std::pair<u32, Picos>> landing;  // ran since the restart, finishing after the ARM's time
  std::deque<Picos> occupied;  // finishes after the ARM's time of commands that ran
  u32 seen_id = 0;  // the last id finished by the ARM's time
};

// Totals of modelled time, for figures over an interval.
struct TimeTotals {
  Picos now = 0;                // the ARM's time
  Picos busy[kAgents] = {};     // per engine (index by Agent; the ARM's stays 0)
  Picos ideal = 0;              // the tensor engine's arithmetic at its peak rate
};

class Scheduler {
 public:
  static constexpr u32 kDeadlockPolls = 1000;

  Scheduler(RaceChecker &checker, Bus &bus) : checker_(checker), bus_(bus) {}
  void configure(Schedule schedule, u64 seed);
  Schedule schedule() const { return schedule_; }
  void reset();

  IdQueue bd{Agent::Bd, "tensor engine", 15, 3, bd_cost};
  IdQueue gdma{Agent::Gdma, "GDMA", 32, 0, gdma_cost};

  // ---- Tensor engine and GDMA ----
  // A command was started through its engine's window.
  void issue(IdQueue &q, QueuedCommand command);
  // The ARM reads a status or done register of q (at `addr`); `value` is what
  // the register shows (from q's seen_id and free_slots()). Lets commands run
  // as the schedule says and the ARM's time pass when it spins; returns the
  // value read.
  u32 poll(u32 addr, IdQueue &q, const std::function<u32()> &value);
  // Feeds the engines' descriptor-buffer fetches (set by Engines); called
  // before each poll of the tensor engine or GDMA.
  std::function<void()> pump_fetch;
  // The ARM read q's done id (the one finished by its time).
  void observe(IdQueue &q);
  // The id restart of q.
  void restart(IdQueue &q);
  // Runs every command that can run.
  void drain();

  // ---- CDMA and GDE ----
  // Runs a command now, ordered after what the ARM did before; notes its
  // modelled times in `record`.
  void run_now(Agent agent, CommandRecord &record, const std::function<void(Bus &)> &execute,
               const std::function<std::string()> &describe);
  // Whether the engine's last command has finished by the ARM's time.
  bool sync_finished(Agent agent) const { return sync_finish_[static_cast<int>(agent)] <= now_; }
  // The ARM reads the status register of CDMA or GDE; as poll().
  u32 sync_poll(u32 addr, Agent agent, const std::function<u32()> &value);
  // The ARM read the engine's done bit set.
  void observe_done(Agent agent);

  // ---- Time ----
  Picos now() const { return now_; }
  void set_now(Picos t);
  // The ARM spent `t` (a register write).
  void arm_spent(Picos t) { now_ += t; }
  TimeTotals totals() const;

  u64 next_seq() { return ++seq_; }
  u64 progress() const { return progress_; }
  u64 polls() const { return polls_; }

  // Wiring: the chip's count of ARM register accesses (to tell a spin from
  // separate polls), a note of progress, and an optional trace.
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
  // Brings q's seen id and held slots up to the ARM's time.
  void settle(IdQueue &q);
  // When the ARM reads a register `again` (right after reading it before) and
  // would see the same `value`, time passes to `next` (0: nothing to wait
  // for). Returns whether it did.
  bool spin_waits(bool again, u32 value, Picos next);
  void advance_to(Picos t);

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
  u32 last_value_ = 0;  // what the last status read showed

  Picos now_ = 0;
  Picos sync_free_at_[kAgents] = {};
  Picos sync_finish_[kAgents] = {};
  Picos sync_busy_[kAgents] = {};
};

}  // namespace zv::chip
