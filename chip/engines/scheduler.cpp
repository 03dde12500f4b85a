#include "chip/engines/scheduler.h"

#include <vector>

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
  }
  for (Clock &c : sync_last_) c = {};
  seq_ = progress_ = polls_ = 0;
  last_poll_addr_ = 0;
  last_poll_access_ = last_poll_progress_ = 0;
  fruitless_polls_ = 0;
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
  if (q.pending.size() >= q.slots)
    fault(std::string(q.name) + ": command started with no free slot (" + std::to_string(q.slots) +
          " commands queued)");
  const IdQueue &o = other(q);
  if (checker_.enabled()) {
    if (c.own_id != q.issued_id + 1)
      checker_.flag(describe(q, c) + " has id " + std::to_string(c.own_id) + ", not the previous id " +
                    std::to_string(q.issued_id) + " + 1");
    if (c.wait_id > o.issued_id)
      checker_.flag(describe(q, c) + " waits for " + o.name + " id " + std::to_string(c.wait_id) +
                    " beyond the last one issued, " + std::to_string(o.issued_id));
  }
  if (trace) trace("issue " + describe(q, c) + ": " + c.record->descriptor.dump());
  q.issued_id = c.own_id;
  c.issued = checker_.arm_release();
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
  try {
    c.execute(bus_);
  } catch (...) {
    checker_.end();
    throw;
  }
  checker_.end();
  q.last = clock;
  q.done_id = c.own_id;
  q.finished[c.own_id] = clock;
  c.record->finished = true;
  progressed();
}

void Scheduler::drain() {
  while (IdQueue *q = pick()) run_head(*q);
}

void Scheduler::observe(IdQueue &q) {
  if (q.done_id != 0) checker_.arm_acquire(finished_clock(q, q.done_id));
}

void Scheduler::poll(u32 addr) {
  polls_++;
  const u64 now = chip_accesses ? chip_accesses() : 0;
  const bool spinning = addr == last_poll_addr_ && now == last_poll_access_ + 1 && progress_ == last_poll_progress_;
  last_poll_addr_ = addr;
  last_poll_access_ = now;
  if (runnable(bd) || runnable(gdma)) {
    fruitless_polls_ = 0;
    if (schedule_ == Schedule::Eager)
      drain();
    else if (queue_full() || (random() & 1))
      run_head(*pick());
  } else if (spinning) {
    if (++fruitless_polls_ >= kDeadlockPolls) fault("deadlock: " + deadlock());
  } else {
    fruitless_polls_ = 0;
  }
  last_poll_progress_ = progress_;
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
}

void Scheduler::run_now(Agent agent, const std::function<void(Bus &)> &execute,
                        const std::function<std::string()> &describe) {
  const int a = static_cast<int>(agent);
  if (trace) trace("run " + describe());
  const Clock clock = checker_.begin(agent, join(checker_.arm_release(), sync_last_[a]), describe);
  try {
    execute(bus_);
  } catch (...) {
    checker_.end();
    throw;
  }
  checker_.end();
  sync_last_[a] = clock;
  progressed();
}

void Scheduler::observe_done(Agent agent) { checker_.arm_acquire(sync_last_[static_cast<int>(agent)]); }

}  // namespace zv::chip
