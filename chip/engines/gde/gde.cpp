#include "chip/engines/gde/gde.h"

namespace zv::chip {

GdeEngine::GdeEngine(Scheduler &scheduler) : scheduler_(scheduler) { add_gde_kinds(kinds_); }

void GdeEngine::reset() {
  words_.fill(0);
  status_ = 0;
  log_.clear();
}

void GdeEngine::start() {
  GdeCommand cmd(std::vector<u32>(words_.begin(), words_.end()));
  const auto *kind = kinds_.find(cmd.item_type());
  if (kind == nullptr)
    fault("GDE: illegal command: item type " + std::to_string(cmd.item_type()) +
          " is not a command kind of the model (known: " + kinds_.known() + "); window " + cmd.dump());
  log_.push_back(CommandRecord{scheduler_.next_seq(), cmd.item_type(), kind->name, 0, 0, cmd});
  CommandRecord &record = log_.back();
  status_ = kBusyBit;
  scheduler_.run_now(
      Agent::Gde, record, [&](Bus &bus) { kind->execute(cmd, bus); },
      [&] { return "GDE command #" + std::to_string(record.seq) + " (kind " + std::to_string(record.kind) + " " + record.kind_name + ")"; });
  record.finished = true;
  status_ = kDoneBit;
}

u32 GdeEngine::read32(u32 addr) {
  if (addr == kStatus) {
    // Busy until the command has finished by the ARM's time.
    const u32 value = scheduler_.sync_poll(
        addr, Agent::Gde, [this] { return scheduler_.sync_finished(Agent::Gde) ? status_ : kBusyBit; });
    if (value & kDoneBit) scheduler_.observe_done(Agent::Gde);
    return value;
  }
  if (addr >= kBase && addr < kBase + 4 * kWords) return words_[(addr - kBase) / 4];
  unmodelled(addr, "read");
}

void GdeEngine::write32(u32 addr, u32 value) {
  if (addr == kStatus) fault("GDE: write to the read-only status word " + hex(addr));
  if (addr >= kBase && addr < kBase + 4 * kWords) {
    words_[(addr - kBase) / 4] = value;
    if (addr == kBase && (value & 1)) start();
    return;
  }
  unmodelled(addr, "write");
}

}  // namespace zv::chip
