#include "chip/engines/gdma/gdma.h"

#include <algorithm>

namespace zv::chip {

GdmaEngine::GdmaEngine(Scheduler &scheduler) : scheduler_(scheduler) { add_gdma_kinds(kinds_, filter_count_); }

void GdmaEngine::reset() {
  control_ = 0;
  filter_count_ = 0;
  window_.fill(0);
  log_.clear();
  buf_addr_ = 0;
  fetch_ = {};
}

bool GdmaEngine::fetch_step(Bus &bus, u32 other_issued_id) {
  std::array<u32, DescriptorFetch::kStride / 4> words;
  if (!fetch_.take(bus, scheduler_.gdma, u32(words.size()), words.data())) return false;
  GdmaCommand cmd(std::vector<u32>(words.begin(), words.begin() + kWords));
  if (!fetch_.follows(words[0], cmd.own_id(), scheduler_.gdma)) return false;
  if (cmd.wait_bd_id() > other_issued_id) return false;
  std::copy(words.begin(), words.begin() + kWords, window_.begin());
  fetch_.next += DescriptorFetch::kStride;
  start();
  return true;
}

void GdmaEngine::start() {
  GdmaCommand cmd(std::vector<u32>(window_.begin(), window_.end()));
  const auto *kind = kinds_.find(cmd.mode());
  if (kind == nullptr)
    fault("GDMA: illegal command: move mode " + std::to_string(cmd.mode()) +
          " is not a command kind of the model (known: " + kinds_.known() + "); window " + cmd.dump());
  log_.push_back(CommandRecord{scheduler_.next_seq(), cmd.mode(), kind->name, cmd.own_id(), cmd.wait_bd_id(), cmd});
  QueuedCommand q;
  q.record = &log_.back();
  q.own_id = cmd.own_id();
  q.wait_id = cmd.wait_bd_id();
  q.execute = [cmd, execute = kind->execute](Bus &bus) { execute(cmd, bus); };
  scheduler_.issue(scheduler_.gdma, std::move(q));
}

u32 GdmaEngine::read32(u32 addr) {
  if (addr == kControl) return control_;
  if (addr == kBufAddr) return buf_addr_;
  if (addr == kFilterCount) return filter_count_;
  if (addr >= kWindow && addr < kWindow + 4 * kWords) return window_[(addr - kWindow) / 4];
  IdQueue &q = scheduler_.gdma;
  if (addr == kSlots) {
    const u32 value = scheduler_.poll(addr, q, [&q] { return q.free_slots() << 16; });
    if (scheduler_.trace) scheduler_.trace("read GDMA free slots: " + std::to_string(q.free_slots()));
    return value;
  }
  if (addr == kDone) {
    const u32 value = scheduler_.poll(addr, q, [&q] { return (q.seen_id & 0xffff) << 16; });
    scheduler_.observe(q);
    if (scheduler_.trace) scheduler_.trace("read GDMA done id " + std::to_string(q.seen_id));
    return value;
  }
  unmodelled(addr, "read");
}

void GdmaEngine::write32(u32 addr, u32 value) {
  if (addr == kBufAddr) {
    buf_addr_ = value;
    return;
  }
  if (addr == kControl) {
    control_ = value & ~(kRestartBit | kFetchBit);
    if (value & kRestartBit) scheduler_.restart(scheduler_.gdma);
    if (value & kFetchBit) {
      fetch_ = DescriptorFetch{true, (u64)buf_addr_ << 7};
      if (scheduler_.trace) scheduler_.trace("GDMA: descriptor fetch from " + hex(fetch_.next));
      if (scheduler_.pump_fetch) scheduler_.pump_fetch();
    }
    return;
  }
  if (addr >= kWindow && addr < kWindow + 4 * kWords) {
    window_[(addr - kWindow) / 4] = value;
    if (addr == kWindow && (value & 1)) start();
    return;
  }
  unmodelled(addr, "write");
}

}  // namespace zv::chip
