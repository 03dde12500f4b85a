#include "chip/engines/scheduler.h"

#include <algorithm>
#include <vector>

#include "chip/engines/command_fields.h"

namespace zv::chip {

const char *schedule_name(Schedule s) { return s == Schedule::Eager ? "eager" : "deferred"; }

void Scheduler::configure(Schedule schedule, u64 seed) {
  schedule_ = schedule;
  rng_ = seed;
}

void Scheduler::reset() {
  for (IdQueue *q : {&bd, &gdma}) {
    q->pending.clear();
    q->done_id = q->issued_id = 0;
    q->last = {};
    q->finished.clear();
    q->restarts = 0;
    q->free_at = q->busy = q->ideal = 0;
    q->finish_at.clear();
    q->landing.clear();
    q->occupied.clear();
    q->seen_id = 0;
  }
  for (Clock &c : sync_last_) c = {};
  seq_ = progress_ = polls_ = 0;
  last_poll_addr_ = 0;
  last_poll_access_ = last_poll_progress_ = 0;
  fruitless_polls_ = 0;
  last_value_ = 0;
  now_ = 0;
  for (int a = 0; a < kAgents; a++) sync_free_at_[a] = sync_finish_[a] = sync_busy_[a] = 0;
}

// splitmix64: the same sequence for a seed on every host.
u64 Scheduler::random() {
  u64 z = (rng_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

std::string Scheduler::describe(const IdQueue &q, const QueuedCommand &c) const {
  const CommandRecord &r = *c.record;
  return std::string(q.name) + " command #" + std::to_string(r.seq) + " (id " + std::to_string(c.own_id) +
         ", waits for " + other(q).name + " id " + std::to_string(c.wait_id) + ", kind " +
         std::to_string(r.kind) + " " + r.kind_name + ")";
}

void Scheduler::issue(IdQueue &q, QueuedCommand c) {
  settle(q);
  if (q.free_slots() == 0)
    fault(std::string(q.name) + ": command started with no free slot (" + std::to_string(q.slots) +
          " commands queued or running)");
  const IdQueue &o = other(q);
  if (checker_.enabled()) {
    if (c.own_id != q.issued_id + 1)
      checker_.flag(describe(q, c) + " has id " + std::to_string(c.own_id) + ", not the previous id " +
                    std::to_string(q.issued_id) + " + 1");
    if (c.wait_id > o.issued_id)
      checker_.flag(describe(q, c) + " waits for " + o.name + " id " + std::to_string(c.wait_id) +
                    " beyond the last one issued, " + std::to_string(o.issued_id));
  }
  if (trace) trace("issue " + describe(q, c) + ": " + decoded_fields(q.agent, c.record->kind, c.record->descriptor));
  q.issued_id = c.own_id;
  c.issued = checker_.arm_release();
  c.issued_at = now_;
  c.record->issued_at = now_;
  q.pending.push_back(std::move(c));
  if (schedule_ == Schedule::Eager) drain();
}

bool Scheduler::runnable(const IdQueue &q) const {
  return !q.pending.empty() && other(q).done_id >= q.pending.front().wait_id;
}

bool Scheduler::queue_full() const {
  return bd.free_slots() <= bd.issue_threshold || gdma.free_slots() <= gdma.issue_threshold;
}

IdQueue *Scheduler::pick() {
  const bool b = runnable(bd), g = runnable(gdma);
  if (!b && !g) return nullptr;
  if (b != g) return b ? &bd : &gdma;
  if (schedule_ == Schedule::Eager)
    return bd.pending.front().record->seq < gdma.pending.front().record->seq ? &bd : &gdma;
  return random() & 1 ? &bd : &gdma;
}

Clock Scheduler::finished_clock(const IdQueue &q, u32 id) const {
  auto it = q.finished.find(id);
  // An id the engine never ran (a breach the checker reports at issue): the
  // engine's last command stands for it.
  return it != q.finished.end() ? it->second : q.last;
}

void Scheduler::progressed() {
  progress_++;
  if (on_progress) on_progress();
}

void Scheduler::run_head(IdQueue &q) {
  QueuedCommand c = std::move(q.pending.front());
  q.pending.pop_front();
  Clock after = join(c.issued, q.last);
  if (c.wait_id != 0) after = join(after, finished_clock(other(q), c.wait_id));
  if (trace) trace("run " + describe(q, c));
  const Clock clock = checker_.begin(q.agent, after, [&] { return describe(q, c); });
  Work work;
  bus_.measure(&work);
  try {
    c.execute(bus_);
  } catch (...) {
    bus_.measure(nullptr);
    checker_.end();
    throw;
  }
  bus_.measure(nullptr);
  checker_.end();
  q.last = clock;
  q.done_id = c.own_id;
  q.finished[c.own_id] = clock;

  // Modelled time: after the engine's previous command, the id it waits for
  // and its issue.
  Picos start = std::max(q.free_at, c.issued_at);
  if (c.wait_id != 0) {
    const IdQueue &o = other(q);
    auto it = o.finish_at.find(c.wait_id);
    start = std::max(start, it != o.finish_at.end() ? it->second : o.free_at);
  }
  const Cost cost = q.cost(work);
  const Picos finish = start + cost.time;
  q.free_at = finish;
  q.busy += cost.time;
  q.ideal += cost.ideal;
  q.finish_at[c.own_id] = finish;
  q.landing.emplace_back(c.own_id, finish);
  q.occupied.push_back(finish);
  c.record->start_at = start;
  c.record->finish_at = finish;
  c.record->finished = true;
  progressed();
}

void Scheduler::settle(IdQueue &q) {
  while (!q.landing.empty() && q.landing.front().second <= now_) {
    q.seen_id = q.landing.front().first;
    q.landing.pop_front();
  }
  while (!q.occupied.empty() && q.occupied.front() <= now_) q.occupied.pop_front();
}

void Scheduler::advance_to(Picos t) {
  if (t <= now_) return;
  now_ = t;
  if (on_progress) on_progress();
}

void Scheduler::set_now(Picos t) {
  now_ = t;
  settle(bd);
  settle(gdma);
}

bool Scheduler::spin_waits(bool again, u32 value, Picos next) {
  if (!again || value != last_value_ || next == 0) return false;
  advance_to(next);
  return true;
}

TimeTotals Scheduler::totals() const {
  TimeTotals t;
  t.now = now_;
  t.busy[static_cast<int>(Agent::Bd)] = bd.busy;
  t.busy[static_cast<int>(Agent::Gdma)] = gdma.busy;
  for (Agent a : {Agent::Cdma, Agent::Gde}) t.busy[static_cast<int>(a)] = sync_busy_[static_cast<int>(a)];
  t.ideal = bd.ideal;
  return t;
}

void Scheduler::drain() {
  while (IdQueue *q = pick()) run_head(*q);
}

void Scheduler::observe(IdQueue &q) {
  if (q.seen_id != 0) checker_.arm_acquire(finished_clock(q, q.seen_id));
}

u32 Scheduler::poll(u32 addr, IdQueue &q, const std::function<u32()> &value) {
  polls_++;
  if (pump_fetch) pump_fetch();
  const u64 now = chip_accesses ? chip_accesses() : 0;
  const bool again = addr == last_poll_addr_ && now == last_poll_access_ + 1;
  const bool spinning = again && progress_ == last_poll_progress_;
  last_poll_addr_ = addr;
  last_poll_access_ = now;
  bool ran = false;
  if (runnable(bd) || runnable(gdma)) {
    ran = true;
    if (schedule_ == Schedule::Eager)
      drain();
    else if (queue_full() || (random() & 1))
      run_head(*pick());
  }
  settle(q);
  u32 v = value();
  // A spin on an unchanged value: the ARM waits for the engine's next completion.
  const bool waited = spin_waits(again && progress_ == last_poll_progress_, v,
                                 q.occupied.empty() ? 0 : q.occupied.front());
  if (waited) {
    settle(q);
    v = value();
  }
  if (ran || waited || !spinning) {
    fruitless_polls_ = 0;
  } else if (++fruitless_polls_ >= kDeadlockPolls) {
    fault("deadlock: " + deadlock());
  }
  last_poll_progress_ = progress_;
  last_value_ = v;
  return v;
}

u32 Scheduler::sync_poll(u32 addr, Agent agent, const std::function<u32()> &value) {
  const u64 now = chip_accesses ? chip_accesses() : 0;
  const bool again = addr == last_poll_addr_ && now == last_poll_access_ + 1;
  last_poll_addr_ = addr;
  last_poll_access_ = now;
  const int a = static_cast<int>(agent);
  u32 v = value();
  if (spin_waits(again, v, sync_finish_[a] > now_ ? sync_finish_[a] : 0)) v = value();
  last_value_ = v;
  return v;
}

std::string Scheduler::deadlock() const {
  std::string out;
  for (const IdQueue *q : {&bd, &gdma}) {
    if (q->pending.empty()) continue;
    const IdQueue &o = other(*q);
    if (!out.empty()) out += "; ";
    out += describe(*q, q->pending.front()) + " waits for " + o.name + " id " +
           std::to_string(q->pending.front().wait_id) + ", but " + o.name + " has finished id " +
           std::to_string(o.done_id) + (o.pending.empty() ? " and has nothing queued" : " and cannot run either");
  }
  if (out.empty())
    out = "the firmware polls with no command outstanding (tensor engine finished id " + std::to_string(bd.done_id) +
          " of " + std::to_string(bd.issued_id) + " issued, GDMA finished id " + std::to_string(gdma.done_id) +
          " of " + std::to_string(gdma.issued_id) + " issued): the poll can never be satisfied";
  return out;
}

void Scheduler::restart(IdQueue &q) {
  if (checker_.enabled() && q.issued_id != 0) {
    const bool seen = q.pending.empty() && q.last[static_cast<int>(q.agent)] <= checker_.arm_clock()[static_cast<int>(q.agent)];
    if (!seen)
      checker_.flag(std::string(q.name) + ": id restart with commands outstanding (ids up to " +
                    std::to_string(q.issued_id) + " issued, the ARM has not seen them all finish)");
  }
  // Commands issued before the restart finish under the ids they carry.
  drain();
  if (!q.pending.empty())
    fault(std::string(q.name) + ": id restart while " + describe(q, q.pending.front()) + " can never run");
  if (trace) trace(std::string("restart ") + q.name + " ids");
  q.done_id = 0;
  q.issued_id = 0;
  q.finished.clear();
  q.restarts++;
  // The ids count again from 0; commands still running keep their slots.
  q.finish_at.clear();
  q.landing.clear();
  q.seen_id = 0;
}

void Scheduler::run_now(Agent agent, CommandRecord &record, const std::function<void(Bus &)> &execute,
                        const std::function<std::string()> &describe) {
  const int a = static_cast<int>(agent);
  if (trace) {
    trace("issue " + describe() + ": " + decoded_fields(agent, record.kind, record.descriptor));
    trace("run " + describe());
  }
  const Clock clock = checker_.begin(agent, join(checker_.arm_release(), sync_last_[a]), describe);
  Work work;
  bus_.measure(&work);
  try {
    execute(bus_);
  } catch (...) {
    bus_.measure(nullptr);
    checker_.end();
    throw;
  }
  bus_.measure(nullptr);
  checker_.end();
  sync_last_[a] = clock;
  const Cost cost = agent == Agent::Cdma ? cdma_cost(work) : gde_cost(work);
  const Picos start = std::max(now_, sync_free_at_[a]);
  sync_free_at_[a] = sync_finish_[a] = start + cost.time;
  sync_busy_[a] += cost.time;
  record.issued_at = now_;
  record.start_at = start;
  record.finish_at = sync_finish_[a];
  progressed();
}

void Scheduler::observe_done(Agent agent) { checker_.arm_acquire(sync_last_[static_cast<int>(agent)]); }

}  // namespace zv::chip
