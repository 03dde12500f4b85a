// The functional model of the zv2000 as its ARM core and the host see it:
// memories, the register-mapped devices on one bus, the cycle counter and the
// interrupt lines towards the core.
//
// ARM address map:
//   0x00000000  ITCM 512 KB          0x02000000  DTCM 512 KB
//   0x02080000  engine windows       0x08000000  local memory, 64 lanes x 512 KB
//   0x10000000  L2 SRAM 4 MB         0x5xxxxxxx  device registers
//   0x80000000  window onto device memory (device address 0x1_0000_0000 + offset)
// Device memory is 8 GB from 0x1_0000_0000, backed lazily. The engines and
// their scheduler and happens-before checker are chip/engines/.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chip/devices/i2c.h"
#include "chip/devices/intc.h"
#include "chip/devices/pcie.h"
#include "chip/devices/simple.h"
#include "chip/devices/sysregs.h"
#include "chip/engines/engines.h"
#include "chip/memory.h"

namespace zv::chip {

struct ChipConfig {
  u32 fuse80 = 0;  // disabled-lane fuse words
  u32 fuse81 = 0;
  u32 i2c_strap = 0;  // bits 11:9 of the strap word: 0 -> slave 0x62, 1 -> 0x61, 6 -> 0x60
  u32 chip_id = 0;
  u64 msi_address = 0x00000000fee01234ull;
  u32 msi_data = 0x4021;
  // When engine commands run, and whether the happens-before checker watches.
  EngineConfig engines;
};

class Chip {
 public:
  static constexpr u64 kDeviceMemBase = 0x100000000ull;
  static constexpr u64 kDeviceMemSize = 0x200000000ull;
  static constexpr u32 kDdrWindow = 0x80000000u;

  explicit Chip(const ChipConfig &config = {});
  Chip(const Chip &) = delete;
  Chip &operator=(const Chip &) = delete;

  // ---- The ARM core's view ----
  u32 arm_read32(u32 addr);
  void arm_write32(u32 addr, u32 value);
  // Host pointer to `len` bytes of ARM-visible memory at `addr` (a read of
  // them, for the happens-before checker).
  u8 *arm_ptr(u32 addr, u32 len);
  // Memory behind an ARM address, or null for a register address.
  Memory *arm_memory(u32 addr, u32 len);
  // "API read pointer", "GDMA word 4", "UART 0x50118000": a register for traces.
  std::string register_name(u32 addr);
  // When set, every ARM write of a device register, as "write NAME 0xVALUE".
  std::function<void(const std::string &)> trace;

  // ---- Interrupts towards the core ----
  bool irq_line() const { return intc.irq(); }
  bool fiq_line() const { return intc.fiq(); }
  void irq_taken() { intc.acknowledge(); }

  // ---- Time and activity ----
  // The 25 MHz timer's count: the modelled time (engines.scheduler.now()) in
  // 40 ns ticks.
  u64 cycles() const { return engines.scheduler.now() / figures::kTimerTick; }
  void advance(u64 n) { engines.scheduler.arm_spent(n * figures::kTimerTick); }
  void set_cycles(u64 n) { engines.scheduler.set_now(n * figures::kTimerTick); }
  // Modelled time and the engines' busy totals so far.
  TimeTotals time_totals() const { return engines.scheduler.totals(); }
  // Totals when the firmware answered each message (moved the ring's read
  // pointer), in order.
  const std::vector<TimeTotals> &answer_times() const { return answer_times_; }
  // Counts every ARM write and every engine command run; a core that idles
  // without it changing is waiting on something outside itself.
  u64 activity() const { return activity_; }
  // ARM writes of device registers so far (each costs the ARM modelled time).
  u64 register_writes() const { return register_writes_; }

  // ---- Device memory (40-bit addresses) ----
  Memory &device_memory() { return ddr; }

  Memory itcm, dtcm, local, l2, ddr;
  SysRegs sys;
  Intc intc;
  Uart uart;
  Fuse fuse;
  Straps straps;
  I2cSlave i2c;
  Pcie pcie;
  RegisterFile bd_ctrl;
  Engines engines;

 private:
  struct Mapping {
    u32 base, size;
    Device *device;
  };
  Device *device_at(u32 addr);
  u8 *memory_ptr(u32 addr, u32 len);
  // Address of an ARM memory access as the engines name it (see Bus).
  static u64 canonical(u32 addr) { return addr >= kDdrWindow ? kDeviceMemBase + (addr - kDdrWindow) : addr; }

  std::vector<Mapping> map_;
  u64 activity_ = 0;
  u64 register_accesses_ = 0;  // ARM reads and writes of device registers
  u64 register_writes_ = 0;
  std::vector<TimeTotals> answer_times_;
};

}  // namespace zv::chip
