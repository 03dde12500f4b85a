// CDMA.
//
// Window and registers:
//   0x58003800  descriptor window, 128 words; writing word 0 with bit 0 set
//               starts a command on a snapshot of the window. The engine is
//               synchronous: the command runs as it starts.
//   0x5800380c  (window word 3) status: bit 9 set once a command has
//               finished; writing the bit back clears it
//   0x58003810  (window word 4) free command slots, bits 0-7 (always 16)
// Words 3 and 4 are registers, not descriptor words (they read 0 in a
// snapshot). The command kind is the function byte, descriptor bits 960-967.
// The host-shared semaphore the firmware takes before an issue is the system
// registers'. Memory port: the bus. Interrupts: none modelled.
#pragma once

#include <array>
#include <deque>

#include "chip/device.h"
#include "chip/engines/command.h"
#include "chip/engines/scheduler.h"

namespace zv::chip {

// CDMA's descriptor fields the model reads. An address is a low word and a
// high word whose bits 0-3 are address bits 32-35.
namespace cdma::field {
constexpr Field kFunction{960, 8};
constexpr Field kDescending{976, 1}, kIndexEnable{977, 1}, kAutoIndex{978, 1};
constexpr Field kSrcKeyLow{1056, 32}, kSrcKeyHigh{1088, 4};
constexpr Field kDstKeyLow{1120, 32}, kDstKeyHigh{1152, 4};
constexpr Field kKeyBytes{1184, 32};
constexpr Field kSrcIndexLow{1280, 32}, kSrcIndexHigh{1312, 4};
constexpr Field kDstIndexLow{1344, 32}, kDstIndexHigh{1376, 4};
constexpr Field kOutBytes{1408, 32};
}  // namespace cdma::field

class CdmaCommand : public Descriptor {
 public:
  using Descriptor::Descriptor;
  u32 function() const { return get(cdma::field::kFunction); }
};

// The command kinds the model executes (function byte -> execute function).
void add_cdma_kinds(KindTable<CdmaCommand> &kinds);

class CdmaEngine : public Device {
 public:
  static constexpr u32 kWindow = 0x58003800, kWords = 128;
  static constexpr u32 kStatus = 0x5800380c, kSlots = 0x58003810;
  static constexpr u32 kDoneBit = 1u << 9;
  static constexpr u32 kFreeSlots = 16;

  explicit CdmaEngine(Scheduler &scheduler);
  const char *name() const override { return "CDMA"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;
  void reset();

  KindTable<CdmaCommand> &kinds() { return kinds_; }
  const std::deque<CommandRecord> &commands() const { return log_; }

 private:
  void start();

  Scheduler &scheduler_;
  KindTable<CdmaCommand> kinds_;
  std::array<u32, kWords> window_{};
  u32 status_ = 0;
  std::deque<CommandRecord> log_;
};

}  // namespace zv::chip
