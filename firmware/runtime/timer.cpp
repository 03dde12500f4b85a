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

u64 firmware_timer_get_time_us(void) {
  return firmware_timer_get_cycle() * TIMER_NS_PER_CYCLE / 1000u;
}

void firmware_timer_print(void) {}
