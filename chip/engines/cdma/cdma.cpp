#include "chip/engines/cdma/cdma.h"

namespace zv::chip {

CdmaEngine::CdmaEngine(Scheduler &scheduler) : scheduler_(scheduler) { add_cdma_kinds(kinds_); }

void CdmaEngine::reset() {
  window_.fill(0);
  status_ = 0;
  log_.clear();
}

void CdmaEngine::start() {
  CdmaCommand cmd(std::vector<u32>(window_.begin(), window_.end()));
  const auto *kind = kinds_.find(cmd.function());
  if (kind == nullptr)
    fault("CDMA: illegal command: function " + hex(cmd.function()) + " is not a command kind of the model (known: " +
          kinds_.known() + "); window " + cmd.dump());
  log_.push_back(CommandRecord{scheduler_.next_seq(), cmd.function(), kind->name, 0, 0, cmd});
  CommandRecord &record = log_.back();
  status_ &= ~kDoneBit;
  scheduler_.run_now(
      Agent::Cdma, record, [&](Bus &bus) { kind->execute(cmd, bus); },
      [&] { return "CDMA command #" + std::to_string(record.seq) + " (kind " + hex(record.kind) + " " + record.kind_name + ")"; });
  record.finished = true;
  status_ |= kDoneBit;
}

u32 CdmaEngine::read32(u32 addr) {
  if (addr == kStatus) {
    // The done bit shows once the command has finished by the ARM's time.
    const u32 value = scheduler_.sync_poll(addr, Agent::Cdma, [this] {
      return scheduler_.sync_finished(Agent::Cdma) ? status_ : status_ & ~kDoneBit;
    });
    if (value & kDoneBit) scheduler_.observe_done(Agent::Cdma);
    return value;
  }
  if (addr == kSlots) return kFreeSlots;
  if (addr >= kWindow && addr < kWindow + 4 * kWords) return window_[(addr - kWindow) / 4];
  unmodelled(addr, "read");
}

void CdmaEngine::write32(u32 addr, u32 value) {
  if (addr == kStatus) {
    status_ &= ~(value & kDoneBit);
    return;
  }
  if (addr == kSlots) unmodelled(addr, "write");
  if (addr >= kWindow && addr < kWindow + 4 * kWords) {
    window_[(addr - kWindow) / 4] = value;
    if (addr == kWindow && (value & 1)) start();
    return;
  }
  unmodelled(addr, "write");
}

}  // namespace zv::chip
