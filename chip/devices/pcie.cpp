#include "chip/devices/pcie.h"

namespace zv::chip {

namespace {
constexpr u32 kDbi = 0x5fb80000, kMsiHi = 0x5fb8f000, kMsiLo = 0x5fb8f004, kCfg08 = 0x5fb8f008,
              kCfg0c = 0x5fb8f00c, kCfg58 = 0x5fb8f058, kCfg5c = 0x5fb8f05c, kMsiData = 0x5fa0103c,
              kWindow = 0x5fbf0000;
}

Pcie::Pcie(u32 chip_id, u64 msi_address, u32 msi_data)
    : chip_id_(chip_id & 7),
      msi_address_(msi_address),
      msi_data_(msi_data),
      msi_hi_(static_cast<u32>(msi_address >> 32)),
      msi_lo_(static_cast<u32>(msi_address)) {}

u32 Pcie::region_base() const { return chip_id_ > 1 ? 0x5fbf0e00 + chip_id_ * 0x200 : 0x5fb00000; }

u32 Pcie::read32(u32 addr) {
  u32 rb = region_base();
  if (addr >= rb && addr < rb + 0x1c && addr % 4 == 0) return region_[(addr - rb) / 4];
  switch (addr) {
    case kDbi: return chip_id_ << 28;
    case kMsiHi: return msi_hi_;
    case kMsiLo: return msi_lo_;
    case kCfg08: return cfg08_;
    case kCfg0c: return cfg0c_;
    case kCfg58: return cfg58_;
    case kCfg5c: return cfg5c_;
    case kMsiData: return msi_data_;
    default: unmodelled(addr, "read");
  }
}

void Pcie::write32(u32 addr, u32 value) {
  u32 rb = region_base();
  if (addr >= rb && addr < rb + 0x1c && addr % 4 == 0) {
    region_[(addr - rb) / 4] = value;
    return;
  }
  if (addr >= kWindow && addr < kWindow + 0x1000) {
    if ((region_[1] & 0x80000000u) == 0) fault("pcie: MSI window write at " + hex(addr) + " with no enabled outbound region");
    u64 target = (u64{region_[6]} << 32) | region_[5];
    msis_.push_back({target + (addr - kWindow), value});
    return;
  }
  switch (addr) {
    case kMsiHi: msi_hi_ = value; return;
    case kMsiLo: msi_lo_ = value; return;
    case kCfg08: cfg08_ = value; return;
    case kCfg0c: cfg0c_ = value; return;
    case kCfg58: cfg58_ = value; return;
    case kCfg5c: cfg5c_ = value; return;
    default: unmodelled(addr, "write");
  }
}

}  // namespace zv::chip
