// System register block (0x50010000): host ring pointers and the registers the
// host and firmware share, the two semaphores, the done interrupt and the host's
// halt request, the 25 MHz cycle counter, and the reset and pin-multiplexing
// words of the I2C2 controller.
//
// Semaphores (+0x40 CDMA, +0x44 API): a read returns bit 0 and then sets it;
// writing 0 releases. Done interrupt: writing 1 to +0x190 sets status bit 0 and
// raises a request on interrupt line 51; the host clears status bit 0 when it
// takes the interrupt. Halt: the host sets status bit 14 (FIQ); writing 0x4000
// to +0x194 clears it. Timer: +0x184/+0x188 read the low and high words of the
// counter; writing +0x180 does not change the count.
#pragma once

#include <functional>

#include "chip/device.h"

namespace zv::chip {

class SysRegs : public Device {
 public:
  static constexpr u32 kBase = 0x50010000;
  static constexpr u32 kSize = 0x1000;
  static constexpr u32 kStatusDone = 1u << 0;
  static constexpr u32 kStatusHalt = 1u << 14;

  const char *name() const override { return "system registers"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;

  // Wiring to the rest of the chip.
  std::function<u64()> cycles;
  std::function<void()> raise_done_irq;
  std::function<void()> read_pointer_moved;  // the ARM wrote the ring's read pointer

  // Host side (over PCIe): no side effects of an ARM read.
  u32 host_peek(u32 offset) const;
  void host_poke(u32 offset, u32 value);
  void host_take_done_interrupt() { intr_status_ &= ~kStatusDone; }
  void host_request_halt() { intr_status_ |= kStatusHalt; }
  bool halt_requested() const { return intr_status_ & kStatusHalt; }
  bool i2c_in_reset() const { return (soft_reset_ & (1u << 28)) == 0; }
  u32 timer_ctrl_writes() const { return timer_ctrl_writes_; }

 private:
  u32 cdma_lock_ = 0;
  u32 api_lock_ = 0;
  u32 host_if_[13] = {};  // 0x80 to 0xb0: ring pointers, ready marker, log offset
  u32 intr_status_ = 0;
  u32 timer_ctrl_ = 0;
  u32 timer_ctrl_writes_ = 0;
  u32 soft_reset_ = 0xffffffff;
  u32 pinmux_a_ = 0;
  u32 pinmux_b_ = 0;
};

}  // namespace zv::chip
