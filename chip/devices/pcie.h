// PCIe controller as the firmware sees it: the chip id in the configuration
// space (0x5fb80000 bits 30:28), the host's MSI address (0x5fb8f000 high,
// 0x5fb8f004 low) and data word (0x5fa0103c), the outbound address-translation
// region used for host interrupts (0x5fb00000 for chip ids 0 and 1, else
// 0x5fbf0e00 + id * 0x200), and the ARM side of that region, the MSI window at
// 0x5fbf0000: a write there leaves the chip as an MSI to the translated host
// address (region target + the window offset's low 12 bits).
#pragma once

#include <vector>

#include "chip/device.h"

namespace zv::chip {

struct Msi {
  u64 host_address;
  u32 data;
};

class Pcie : public Device {
 public:
  Pcie(u32 chip_id, u64 msi_address, u32 msi_data);
  const char *name() const override { return "pcie"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;

  u32 region_base() const;
  const std::vector<Msi> &msis() const { return msis_; }
  u64 msi_address() const { return msi_address_; }
  u32 msi_data() const { return msi_data_; }
  u32 region_word(u32 offset) const { return region_[offset / 4]; }

 private:
  u32 chip_id_;
  u64 msi_address_;
  u32 msi_data_;
  u32 msi_hi_, msi_lo_;
  u32 cfg08_ = 0, cfg0c_ = 0, cfg58_ = 0, cfg5c_ = 0;
  u32 region_[7] = {};
  std::vector<Msi> msis_;
};

}  // namespace zv::chip
