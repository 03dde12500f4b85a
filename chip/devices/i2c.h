// I2C2 controller (0x5001e000) in slave mode, with a scripted bus master.
//
// The master addresses the slave by its 7-bit address (+0x08) while the
// controller is enabled (+0x6c) and out of reset. A written byte lands in the
// receive FIFO (interrupt bit 2, cleared when the FIFO is empty); a read request
// sets interrupt bit 5 and slave activity (+0x70 bit 6) until the master has
// received the bytes it asked for, each one written by the slave to +0x10.
// +0x2c shows the raw interrupts under the mask (+0x30); reading +0x40 clears
// the read request and transmit abort, +0x50 the read request, +0x54 the abort.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "chip/device.h"

namespace zv::chip {

class I2cSlave : public Device {
 public:
  static constexpr u32 kBase = 0x5001e000;
  static constexpr u32 kSize = 0x1000;
  const char *name() const override { return "i2c2"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;

  std::function<bool()> in_reset;

  // The interrupt line towards the controller.
  bool irq_level() const { return (raw_intr() & intr_mask_) != 0; }

  // Scripted master. Each returns false when no slave answers the address.
  bool master_write(u8 address, const std::vector<u8> &bytes);
  bool master_request_read(u8 address, u32 count);
  bool master_read_complete() const { return remaining_ == 0; }
  std::vector<u8> master_take_received();
  bool rx_empty() const { return rx_.empty(); }

 private:
  u32 raw_intr() const;
  bool answers(u8 address) const;
  void reset_state();

  u32 con_ = 0, sar_ = 0, intr_mask_ = 0, rx_tl_ = 0, tx_tl_ = 0, enable_ = 0, a0_ = 0, a4_ = 0;
  bool rd_req_ = false, tx_abrt_ = false;
  std::deque<u8> rx_;
  u32 remaining_ = 0;
  std::vector<u8> received_;
};

}  // namespace zv::chip
