#include "chip/devices/sysregs.h"

namespace zv::chip {

namespace {
constexpr u32 kCdmaLock = 0x40, kApiLock = 0x44, kHostIfFirst = 0x80, kReadPointer = 0x84, kHostIfLast = 0xb0,
              kIntrStatus = 0xb8, kTimerCtrl = 0x180, kCycleLo = 0x184, kCycleHi = 0x188,
              kIntrSet = 0x190, kIntrClear = 0x194, kSoftReset = 0xc00, kPinmuxA = 0x478,
              kPinmuxB = 0x47c;
}

u32 SysRegs::read32(u32 addr) {
  u32 off = addr - kBase;
  switch (off) {
    case kCdmaLock: {
      u32 v = cdma_lock_;
      cdma_lock_ = 1;
      return v;
    }
    case kApiLock: {
      u32 v = api_lock_;
      api_lock_ = 1;
      return v;
    }
    case kIntrStatus: return intr_status_;
    case kTimerCtrl: return timer_ctrl_;
    case kCycleLo: return static_cast<u32>(cycles());
    case kCycleHi: return static_cast<u32>(cycles() >> 32);
    case kSoftReset: return soft_reset_;
    case kPinmuxA: return pinmux_a_;
    case kPinmuxB: return pinmux_b_;
    default:
      if (off >= kHostIfFirst && off <= kHostIfLast && off % 4 == 0) return host_if_[(off - kHostIfFirst) / 4];
      unmodelled(addr, "read");
  }
}

void SysRegs::write32(u32 addr, u32 value) {
  u32 off = addr - kBase;
  switch (off) {
    case kCdmaLock: cdma_lock_ = value & 1; return;
    case kApiLock: api_lock_ = value & 1; return;
    case kTimerCtrl:
      timer_ctrl_ = value;
      timer_ctrl_writes_++;
      return;
    case kIntrSet:
      if (value & 1) {
        intr_status_ |= kStatusDone;
        raise_done_irq();
      }
      return;
    case kIntrClear: intr_status_ &= ~(value & kStatusHalt); return;
    case kSoftReset: soft_reset_ = value; return;
    case kPinmuxA: pinmux_a_ = value; return;
    case kPinmuxB: pinmux_b_ = value; return;
    default:
      if (off >= kHostIfFirst && off <= kHostIfLast && off % 4 == 0) {
        host_if_[(off - kHostIfFirst) / 4] = value;
        if (off == kReadPointer && read_pointer_moved) read_pointer_moved();
        return;
      }
      unmodelled(addr, "write");
  }
}

u32 SysRegs::host_peek(u32 offset) const {
  switch (offset) {
    case kCdmaLock: return cdma_lock_;
    case kApiLock: return api_lock_;
    case kIntrStatus: return intr_status_;
    case kTimerCtrl: return timer_ctrl_;
    case kSoftReset: return soft_reset_;
    case kPinmuxA: return pinmux_a_;
    case kPinmuxB: return pinmux_b_;
    default:
      if (offset >= kHostIfFirst && offset <= kHostIfLast && offset % 4 == 0)
        return host_if_[(offset - kHostIfFirst) / 4];
      fault("system registers: host read of unmodelled offset " + hex(offset));
  }
}

void SysRegs::host_poke(u32 offset, u32 value) {
  switch (offset) {
    case kCdmaLock: cdma_lock_ = value & 1; return;
    case kApiLock: api_lock_ = value & 1; return;
    default:
      if (offset >= kHostIfFirst && offset <= kHostIfLast && offset % 4 == 0) {
        host_if_[(offset - kHostIfFirst) / 4] = value;
        return;
      }
      fault("system registers: host write of unmodelled offset " + hex(offset));
  }
}

}  // namespace zv::chip
