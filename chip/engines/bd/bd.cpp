#include "chip/engines/bd/bd.h"

namespace zv::chip {

BdEngine::BdEngine(Scheduler &scheduler) : scheduler_(scheduler) { add_bd_kinds(kinds_); }

void BdEngine::reset() {
  window_.fill(0);
  buf_ctrl_ = buf_lo_ = buf_hi_ = 0;
  fetch_ = {};
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

bool BdEngine::fetch_step(Bus &bus, u32 other_issued_id) {
  std::array<u32, kWords> words;
  if (!fetch_.take(bus, scheduler_.bd, kWords, words.data())) return false;
  BdCommand cmd(std::vector<u32>(words.begin(), words.end()));
  if (!fetch_.follows(words[0], cmd.own_id(), scheduler_.bd)) return false;
  if (cmd.wait_gdma_id() > other_issued_id) return false;
  window_ = words;
  fetch_.next += DescriptorFetch::kStride;
  start();
  return true;
}

u32 BdEngine::read32(u32 addr) {
  if (addr >= kWindow && addr < kWindow + 4 * kWords) return window_[(addr - kWindow) / 4];
  if (addr >= kLaneMap && addr < kLaneMap + 4 * kLaneMapWords) return lane_map_[(addr - kLaneMap) / 4];
  if (addr == kRestart) return 0;
  if (addr == kBufCtrl) return buf_ctrl_;
  if (addr == kBufStatus) return 0;
  if (addr == kBufLo) return buf_lo_;
  if (addr == kBufHi) return buf_hi_;
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
  if (addr == kBufLo || addr == kBufHi) {
    (addr == kBufLo ? buf_lo_ : buf_hi_) = value;
    return;
  }
  if (addr == kBufCtrl) {
    buf_ctrl_ = value & ~kFetchBit;
    if (value & kFetchBit) {
      fetch_ = DescriptorFetch{true, (u64)(buf_hi_ & 0xff) << 32 | buf_lo_};
      if (scheduler_.trace) scheduler_.trace("tensor engine: descriptor fetch from " + hex(fetch_.next));
      if (scheduler_.pump_fetch) scheduler_.pump_fetch();
    }
    return;
  }
  unmodelled(addr, "write");
}

}  // namespace zv::chip
