#include <stdarg.h>
#include <stdio.h>

#include "runtime/hw.h"
#include "runtime/services.h"

jmp_buf error_stat;
volatile int error_stat_armed;

void fw_assert_fail(const char *kind, const char *file, const char *func, int line,
                    const char *cond, const char *fmt, ...) {
  printf("%s %s: %s: %d: %s\n", kind, file, func, line, cond);
  if (fmt) {
    char info[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(info, sizeof info, fmt, ap);
    va_end(ap);
    printf("ASSERT info: %s\n", info);
  } else {
    puts("ASSERT info: none.");
  }
  fw_log(0, "%s assert\n", func);
  if (!error_stat_armed) {
    // Outside a message there is nowhere to recover to: stop rather than jump
    // through a stale buffer.
    puts("zvfw: assertion outside a message, core halted");
    hw_halt();
  }
  longjmp(error_stat, 1);
}
