// A register-mapped device of the chip. Accesses arrive with their full ARM
// address; a device reports any address it does not model.
#pragma once

#include "chip/types.h"

namespace zv::chip {

class Device {
 public:
  virtual ~Device() = default;
  virtual const char *name() const = 0;
  virtual u32 read32(u32 addr) = 0;
  virtual void write32(u32 addr, u32 value) = 0;

 protected:
  [[noreturn]] void unmodelled(u32 addr, const char *access) const {
    fault(std::string(name()) + ": " + access + " of unmodelled register " + hex(addr));
  }
};

}  // namespace zv::chip
