#include "chip/engines/bd/bd.h"

namespace zv::chip {

BdEngine::BdEngine(Scheduler &scheduler) : scheduler_(scheduler) { add_bd_kinds(kinds_); }

void BdEngine::reset() {
  window_.fill(0);
  lane_map_.fill(0);
  log_.clear();
}

void BdEngine::start() {
  BdCommand cmd(std::vector<u32>(window_.begin(), window_.end()));
  const auto *kind = kinds_.find(cmd.task());
  if (kind == nullptr)
    fault("tensor engine: illegal command: task type " + std::to_string(cmd.task()) +
          " is not a command kind of the model (known: " + kinds_.known() + "); window " + cmd.dump());
  log_.push_back(CommandRecord{scheduler_.next_seq(), cmd.task(), kind->name, cmd.own_id(), cmd.wait_gdma_id(), cmd});
  QueuedCommand q;
  q.record = &log_.back();
  q.own_id = cmd.own_id();
  q.wait_id = cmd.wait_gdma_id();
  q.execute = [cmd, execute = kind->execute](Bus &bus) { execute(cmd, bus); };
  scheduler_.issue(scheduler_.bd, std::move(q));
}

u32 BdEngine::read32(u32 addr) {
  if (addr >= kWindow && addr < kWindow + 4 * kWords) return window_[(addr - kWindow) / 4];
  if (addr >= kLaneMap && addr < kLaneMap + 4 * kLaneMapWords) return lane_map_[(addr - kLaneMap) / 4];
  if (addr == kRestart) return 0;
  if (addr == kStatus) {
    IdQueue &q = scheduler_.bd;
    const u32 value = scheduler_.poll(addr, q, [&q] { return q.free_slots() << 2 | (q.seen_id & 0xffff) << 6; });
    scheduler_.observe(q);
    if (scheduler_.trace)
      scheduler_.trace("read tensor engine status: done id " + std::to_string(q.seen_id) + ", " +
                       std::to_string(q.free_slots()) + " free slots");
    return value;
  }
  unmodelled(addr, "read");
}

void BdEngine::write32(u32 addr, u32 value) {
  if (addr >= kWindow && addr < kWindow + 4 * kWords) {
    window_[(addr - kWindow) / 4] = value;
    if (addr == kWindow && (value & 1)) start();
    return;
  }
  if (addr >= kLaneMap && addr < kLaneMap + 4 * kLaneMapWords) {
    lane_map_[(addr - kLaneMap) / 4] = value;
    return;
  }
  if (addr == kRestart) {
    if (value & 1) scheduler_.restart(scheduler_.bd);
    return;
  }
  unmodelled(addr, "write");
}

}  // namespace zv::chip
