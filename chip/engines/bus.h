// The engines' port onto the chip's memories. Engine addresses are canonical:
// device memory at its 40-bit addresses (0x1_0000_0000 and up), and below 4 GB
// the on-chip memories at their ARM addresses: DTCM 0x02000000, local memory
// 0x08000000 (lane l from 0x08000000 + l * 512 KB, which is the tagged local
// address form), L2 SRAM 0x10000000. Every access is bounds-checked and
// declared to the happens-before checker as an access of the running command,
// and counted into the running command's work (for its modelled time).
#pragma once

#include "chip/engines/race_checker.h"
#include "chip/engines/timing.h"
#include "chip/memory.h"

namespace zv::chip {

class Bus {
 public:
  Bus(Memory &dtcm, Memory &local, Memory &l2, Memory &ddr, RaceChecker &checker)
      : memories_{&dtcm, &local, &l2, &ddr}, checker_(checker) {}

  void load(u64 addr, void *out, u64 len);
  void store(u64 addr, const void *in, u64 len);
  u32 load32(u64 addr);
  void store32(u64 addr, u32 value);

  // The memory holding [addr, addr + len), or a fault naming the range.
  Memory &memory_at(u64 addr, u64 len);

  // While a command runs, its accesses are counted into `work` (null: none).
  void measure(Work *work) { work_ = work; }
  // Products the running command computed, `operand_bytes` wide each.
  void report_macs(u64 n, u32 operand_bytes) {
    if (work_) work_->add_macs(n, operand_bytes);
  }

 private:
  Memory *memories_[4];
  RaceChecker &checker_;
  Work *work_ = nullptr;
};

}  // namespace zv::chip
