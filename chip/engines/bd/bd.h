// The tensor engine (BD).
//
// Windows and registers:
//   0x02081000  descriptor window, 32 words; writing word 0 with bit 0 set
//               starts a command on a snapshot of the window
//   0x02081100  descriptor-buffer control: writing bit 30 starts a fetch
//   0x02081104  descriptor-buffer address, low word
//   0x02081108  descriptor-buffer address, bits 32-39 in bits 0-7
//   0x0208110c  id restart: writing 1 makes the ids count from 0 again
//   0x02081110  lane map, 17 words, kept as the firmware wrote it
//   0x58001100  status: bits 2-5 free command slots, bits 6-21 the id of the
//               last command finished by the ARM's time (reading it is a poll,
//               see Scheduler)
//   0x58001108  descriptor-buffer status: reads 0 (the firmware keeps its
//               upper bits when it writes the address's high byte)
// Descriptor header: own id bits 3-18, GDMA id to wait for bits 19-34; the
// command kind is the task type, bits 37-40.
// Memory port: the bus. Interrupts: none modelled.
#pragma once

#include <array>
#include <deque>

#include "chip/device.h"
#include "chip/engines/bd/fields.h"
#include "chip/engines/command.h"
#include "chip/engines/fetch.h"
#include "chip/engines/scheduler.h"

namespace zv::chip {

class BdCommand : public Descriptor {
 public:
  using Descriptor::Descriptor;
  u32 own_id() const { return get(bd::field::kOwnId); }
  u32 wait_gdma_id() const { return get(bd::field::kWaitGdmaId); }
  u32 task() const { return get(bd::field::kTask); }
  u32 sub_op() const { return get(bd::field::kSubOp); }
};

// The command kinds the model executes (task type -> execute function).
void add_bd_kinds(KindTable<BdCommand> &kinds);

class BdEngine : public Device {
 public:
  static constexpr u32 kWindow = 0x02081000, kWords = 32;
  static constexpr u32 kRestart = 0x0208110c;
  static constexpr u32 kBufCtrl = 0x02081100, kBufLo = 0x02081104, kBufHi = 0x02081108;
  static constexpr u32 kFetchBit = 1u << 30;
  static constexpr u32 kLaneMap = 0x02081110, kLaneMapWords = 17;
  static constexpr u32 kStatus = 0x58001100, kBufStatus = 0x58001108;

  explicit BdEngine(Scheduler &scheduler);
  const char *name() const override { return "tensor engine"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;
  void reset();

  KindTable<BdCommand> &kinds() { return kinds_; }
  const std::deque<CommandRecord> &commands() const { return log_; }
  u32 lane_map_word(u32 i) const { return lane_map_.at(i); }
  // Takes the next descriptor of an active buffer fetch (see fetch.h);
  // false when the fetch is over or must wait.
  bool fetch_step(Bus &bus, u32 other_issued_id);

 private:
  void start();

  Scheduler &scheduler_;
  KindTable<BdCommand> kinds_;
  std::array<u32, kWords> window_{};
  std::array<u32, kLaneMapWords> lane_map_{};
  std::deque<CommandRecord> log_;
  u32 buf_ctrl_ = 0, buf_lo_ = 0, buf_hi_ = 0;
  DescriptorFetch fetch_;
};

}  // namespace zv::chip
