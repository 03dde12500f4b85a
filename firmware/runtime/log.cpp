#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "runtime/regs.h"
#include "runtime/services.h"
#include "runtime/hw.h"

void fw_log(s32 level, const char *fmt, ...) {
  (void)level;
  u32 offset = hw_read32(REG_FW_LOG_OFFSET);

  char text[FW_LOG_SLOT_SIZE];
  memset(text, 0, sizeof(text));
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof(text), fmt, ap);
  va_end(ap);

  printf("[%llx] %s", (unsigned long long)firmware_timer_get_time_us(), text);

  offset &= FW_LOG_OFFSET_MASK;
  char *slot = (char *)hw_ptr(FW_LOG_RING_BASE + offset, FW_LOG_SLOT_SIZE);
  // The slot keeps at most 511 characters and its terminating NUL.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
  snprintf(slot, FW_LOG_SLOT_SIZE, "[%llx] %s", (unsigned long long)firmware_timer_get_time_us(),
           text);
#pragma GCC diagnostic pop
  hw_write32(REG_FW_LOG_OFFSET, offset + FW_LOG_SLOT_SIZE);
}
