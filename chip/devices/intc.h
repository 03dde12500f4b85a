// Interrupt controller (0x50023000) and its second block (0x5002b000).
//
// Lines 0-31 reach the core's IRQ when their bit is set in the enable word
// (+0x00) and clear in the first mask word (+0x08); lines 32-63 when their bit
// is clear in the second mask word (+0x0c). Line 27 is the I2C2 slave (a level
// from the controller); line 51 (second mask word, bit 19) is the host done
// interrupt, an edge latched until the core takes an IRQ while no level line
// is being served. The FIQ is the host's halt request, enabled by bit 6 of
// +0xc0. +0x20 shows the raw request levels of lines 0-31. The second block
// only holds its two mask words.
#pragma once

#include <functional>

#include "chip/device.h"

namespace zv::chip {

class Intc : public Device {
 public:
  static constexpr u32 kBase = 0x50023000;
  static constexpr u32 kBase2 = 0x5002b000;
  static constexpr u32 kSize = 0x1000;
  static constexpr u32 kLineI2c = 27;
  static constexpr u32 kLineHostDone = 51;

  const char *name() const override { return "interrupt controller"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;

  // Current levels of the level-triggered lines (bit n = line n).
  std::function<u64()> levels;
  // The host's halt request (FIQ source).
  std::function<bool()> halt_request;

  void raise_edge(u32 line) { edges_ |= u64{1} << line; }
  bool irq() const { return deliverable() != 0; }
  bool fiq() const { return (fiq_enable_ & (1u << 6)) && halt_request(); }
  // The core enters its IRQ handler.
  void acknowledge();

  u32 mask0() const { return mask0_; }
  u32 mask1() const { return mask1_; }
  u32 block2_mask0() const { return b2_mask0_; }
  u32 block2_mask1() const { return b2_mask1_; }
  u32 enable() const { return enable_; }
  u32 fiq_enable() const { return fiq_enable_; }

 private:
  u64 deliverable() const;

  u32 enable_ = 0, word04_ = 0, mask0_ = 0, mask1_ = 0, word10_ = 0, word14_ = 0,
      fiq_enable_ = 0, wordc8_ = 0;
  u32 b2_mask0_ = 0, b2_mask1_ = 0;
  u64 edges_ = 0;
};

}  // namespace zv::chip
