#include "chip/devices/intc.h"

namespace zv::chip {

u64 Intc::deliverable() const {
  u64 requests = levels() | edges_;
  u64 open = (u64{enable_ & ~mask0_}) | (u64{~mask1_} << 32);
  return requests & open;
}

void Intc::acknowledge() {
  // A level line being served keeps the edges for the next entry.
  u64 open_levels = levels() & ((u64{enable_ & ~mask0_}) | (u64{~mask1_} << 32));
  if (open_levels == 0) edges_ &= ~deliverable();
}

u32 Intc::read32(u32 addr) {
  if (addr >= kBase2 && addr < kBase2 + kSize) {
    switch (addr - kBase2) {
      case 0x08: return b2_mask0_;
      case 0x0c: return b2_mask1_;
      default: unmodelled(addr, "read");
    }
  }
  switch (addr - kBase) {
    case 0x00: return enable_;
    case 0x04: return word04_;
    case 0x08: return mask0_;
    case 0x0c: return mask1_;
    case 0x10: return word10_;
    case 0x14: return word14_;
    case 0x20: return static_cast<u32>(levels() | edges_);
    case 0xc0: return fiq_enable_;
    case 0xc8: return wordc8_;
    default: unmodelled(addr, "read");
  }
}

void Intc::write32(u32 addr, u32 value) {
  if (addr >= kBase2 && addr < kBase2 + kSize) {
    switch (addr - kBase2) {
      case 0x08: b2_mask0_ = value; return;
      case 0x0c: b2_mask1_ = value; return;
      default: unmodelled(addr, "write");
    }
  }
  switch (addr - kBase) {
    case 0x00: enable_ = value; return;
    case 0x04: word04_ = value; return;
    case 0x08: mask0_ = value; return;
    case 0x0c: mask1_ = value; return;
    case 0x10: word10_ = value; return;
    case 0x14: word14_ = value; return;
    case 0xc0: fiq_enable_ = value; return;
    case 0xc8: wordc8_ = value; return;
    default: unmodelled(addr, "write");
  }
}

}  // namespace zv::chip
