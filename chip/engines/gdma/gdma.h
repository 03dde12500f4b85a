// GDMA.
//
// Windows and registers:
//   0x02080000  control word: writing bit 2 restarts the ids, bit 0 starts a
//               descriptor-buffer fetch (both read back 0); the other bits are
//               kept
//   0x0208000c  descriptor-buffer address, shifted right by 7
//   0x02080010  descriptor window, 23 words; writing word 0 with bit 0 set
//               starts a command on a snapshot of the window
//   0x58000004  bits 16-23: free command slots (reading it is a poll)
//   0x58000008  bits 16-31: the id of the last command finished by the ARM's
//               time (a poll)
// Descriptor header: own id bits 16-31, tensor-engine id to wait for bits
// 48-63; the command kind is the move mode, bits 32-34 (word 1 bits 0-2).
// Memory port: the bus. Interrupts: none modelled.
#pragma once

#include <array>
#include <deque>

#include "chip/device.h"
#include "chip/engines/command.h"
#include "chip/engines/fetch.h"
#include "chip/engines/gdma/fields.h"
#include "chip/engines/scheduler.h"

namespace zv::chip {

class GdmaCommand : public Descriptor {
 public:
  using Descriptor::Descriptor;
  u32 own_id() const { return get(gdma::field::kOwnId); }
  u32 wait_bd_id() const { return get(gdma::field::kWaitBdId); }
  u32 mode() const { return get(gdma::field::kMode); }
  u32 direction() const { return get(gdma::field::kDirection); }
};

// The command kinds the model executes (move mode -> execute function).
void add_gdma_kinds(KindTable<GdmaCommand> &kinds, u32 &filter_count);

class GdmaEngine : public Device {
 public:
  static constexpr u32 kControl = 0x02080000;
  static constexpr u32 kRestartBit = 1u << 2, kFetchBit = 1u << 0;
  static constexpr u32 kWindow = 0x02080010, kWords = 23;
  static constexpr u32 kSlots = 0x58000004, kDone = 0x58000008;
  static constexpr u32 kFilterCount = 0x58000068;  // elements the last filter move wrote, << 2
  static constexpr u32 kBufAddr = 0x0208000c;

  explicit GdmaEngine(Scheduler &scheduler);
  const char *name() const override { return "GDMA"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;
  void reset();

  KindTable<GdmaCommand> &kinds() { return kinds_; }
  // Takes the next descriptor of an active buffer fetch (see fetch.h).
  bool fetch_step(Bus &bus, u32 other_issued_id);
  const std::deque<CommandRecord> &commands() const { return log_; }

 private:
  void start();

  Scheduler &scheduler_;
  KindTable<GdmaCommand> kinds_;
  u32 control_ = 0;
  u32 filter_count_ = 0;
  std::array<u32, kWords> window_{};
  std::deque<CommandRecord> log_;
  u32 buf_addr_ = 0;
  DescriptorFetch fetch_;
};

}  // namespace zv::chip
