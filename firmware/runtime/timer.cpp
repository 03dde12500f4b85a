#include "runtime/regs.h"
#include "runtime/services.h"
#include "runtime/hw.h"

void firmware_timer_init(void) { hw_write32(REG_TIMER_CTRL, 0); }

u64 firmware_timer_get_cycle(void) {
  // The low word is always read between two readings of the high word; a
  // carry between them shows as two different high readings.
  for (;;) {
    u32 hi = hw_read32(REG_TIMER_CYCLE_HI);
    u32 lo = hw_read32(REG_TIMER_CYCLE_LO);
    if (hw_read32(REG_TIMER_CYCLE_HI) == hi) return (u64)hi << 32 | lo;
  }
}

static_assert(1000u % TIMER_NS_PER_CYCLE == 0, "a whole number of cycles per microsecond");

u64 firmware_timer_get_time_us(void) {
  const u64 cycles = firmware_timer_get_cycle();
  // cycles * ns / 1000 is cycles / (1000 / ns) while the product fits: divided
  // here in three 32-bit steps by a constant (the core has no divider, and a
  // 64-bit library division costs it some 120 instructions).
  if (cycles > ~(u64)0 / TIMER_NS_PER_CYCLE) return cycles * TIMER_NS_PER_CYCLE / 1000u;
  const u32 d = 1000u / TIMER_NS_PER_CYCLE;
  const u32 hi = (u32)(cycles >> 32), lo = (u32)cycles;
  const u32 q1 = hi / d, r1 = hi % d;
  const u32 mid = r1 << 16 | lo >> 16;
  const u32 q2 = mid / d, r2 = mid % d;
  const u32 q3 = (r2 << 16 | (lo & 0xffffu)) / d;
  return (u64)q1 << 32 | (u64)q2 << 16 | q3;
}

void firmware_timer_print(void) {}
