// The only door from firmware code to hardware: register and memory accesses by
// chip address, address translation for ARM-visible memories, halt and idle.
//
// On the chip these are plain volatile accesses. In the host build they reach the
// functional chip model, which bounds-checks every address.
#pragma once

#include "runtime/types.h"

#if defined(__arm__)

static inline u32 hw_read32(u32 addr) { return *(volatile u32 *)(uintptr_t)addr; }
static inline void hw_write32(u32 addr, u32 value) { *(volatile u32 *)(uintptr_t)addr = value; }
static inline void *hw_ptr(u32 addr, u32 bytes) {
  (void)bytes;
  return (void *)(uintptr_t)addr;
}
// Stops the core for good (only a reset starts it again).
[[noreturn]] static inline void hw_halt(void) {
  for (;;) __asm__ volatile("" ::: "memory");
}
// Called inside every spin loop that waits on something outside the core.
static inline void hw_idle(void) { __asm__ volatile("" ::: "memory"); }

#else

extern "C" {
u32 hw_read32(u32 addr);
void hw_write32(u32 addr, u32 value);
void *hw_ptr(u32 addr, u32 bytes);
[[noreturn]] void hw_halt(void);
void hw_idle(void);
}

#endif

static inline void hw_set_bits(u32 addr, u32 bits) { hw_write32(addr, hw_read32(addr) | bits); }
static inline void hw_clear_bits(u32 addr, u32 bits) { hw_write32(addr, hw_read32(addr) & ~bits); }
// Replaces the field of `width` bits at `shift` with `value` (read, modify, write).
static inline void hw_write_field(u32 addr, u32 shift, u32 width, u32 value) {
  u32 mask = (width >= 32 ? 0xffffffffu : ((1u << width) - 1u)) << shift;
  hw_write32(addr, (hw_read32(addr) & ~mask) | ((value << shift) & mask));
}
