// GDE.
//
// Register block 0x58005000, 10 words: the descriptor in words 0, 1 and 3 to
// 9, and at 0x58005008 (word 2) the status: bit 0 done, bit 1 busy. Writing
// word 0 with bit 0 set starts a command on a snapshot of the block; the
// engine is synchronous, so the command runs as it starts and the status then
// shows done and not busy. The command kind is the item type, descriptor bits
// 316-319. Memory port: the bus. Interrupts: none modelled.
#pragma once

#include <array>
#include <deque>

#include "chip/device.h"
#include "chip/engines/command.h"
#include "chip/engines/scheduler.h"

namespace zv::chip {

// GDE's descriptor fields the model reads.
namespace gde::field {
constexpr Field kMode{2, 30};  // not interpreted: the item type says everything
constexpr Field kInAddr{96, 32}, kInAddrHigh{128, 32};
constexpr Field kOutAddr{160, 32}, kOutAddrHigh{192, 32};
constexpr Field kIndexAddr{224, 32}, kIndexAddrHigh{256, 32};
constexpr Field kCount{288, 28}, kItemType{316, 4};
}  // namespace gde::field

class GdeCommand : public Descriptor {
 public:
  using Descriptor::Descriptor;
  u32 item_type() const { return get(gde::field::kItemType); }
};

// The command kinds the model executes (item type -> execute function).
void add_gde_kinds(KindTable<GdeCommand> &kinds);

class GdeEngine : public Device {
 public:
  static constexpr u32 kBase = 0x58005000, kWords = 10;
  static constexpr u32 kStatus = 0x58005008;
  static constexpr u32 kDoneBit = 1u << 0, kBusyBit = 1u << 1;

  explicit GdeEngine(Scheduler &scheduler);
  const char *name() const override { return "GDE"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;
  void reset();

  KindTable<GdeCommand> &kinds() { return kinds_; }
  const std::deque<CommandRecord> &commands() const { return log_; }

 private:
  void start();

  Scheduler &scheduler_;
  KindTable<GdeCommand> kinds_;
  std::array<u32, kWords> words_{};
  u32 status_ = 0;
  std::deque<CommandRecord> log_;
};

}  // namespace zv::chip
