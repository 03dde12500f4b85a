#include "chip/devices/simple.h"

namespace zv::chip {

u32 Uart::read32(u32 addr) {
  switch (addr - kBase) {
    case 0x14: return 0x60;  // transmitter empty
    default: unmodelled(addr, "read");
  }
}

void Uart::write32(u32 addr, u32 value) {
  switch (addr - kBase) {
    case 0x00: text_.push_back(static_cast<char>(value & 0xff)); return;
    default: unmodelled(addr, "write");
  }
}

u32 Fuse::read32(u32 addr) {
  switch (addr - kBase) {
    case 0x00:
      if (busy_) {
        busy_ = false;
        return ctrl_ & ~0x80u;
      }
      return 0x80;
    case 0x04: return addr_;
    case 0x0c: return data_;
    default: unmodelled(addr, "read");
  }
}

void Fuse::write32(u32 addr, u32 value) {
  switch (addr - kBase) {
    case 0x00:
      ctrl_ = value;
      if ((value & 3u) == 2u) {
        if (addr_ >= kWords) fault("fuse: read of word " + std::to_string(addr_) + " beyond the array");
        data_ = words_[addr_];
        busy_ = true;
        reads_++;
      }
      return;
    case 0x04: addr_ = value; return;
    default: unmodelled(addr, "write");
  }
}

u32 Straps::read32(u32 addr) {
  if (addr - kBase == 0x50) return word_;
  unmodelled(addr, "read");
}

void Straps::write32(u32 addr, u32) { unmodelled(addr, "write"); }

u32 RegisterFile::read32(u32 addr) {
  auto it = regs_.find(addr - base_);
  if (it == regs_.end()) unmodelled(addr, "read");
  return it->second;
}

void RegisterFile::write32(u32 addr, u32 value) {
  auto it = regs_.find(addr - base_);
  if (it == regs_.end()) unmodelled(addr, "write");
  it->second = value;
}

}  // namespace zv::chip
