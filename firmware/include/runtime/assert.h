// Assertions: every failed precondition in the firmware is one of these two forms.
//
// A failed check prints "ASSERT <file>: <function>: <line>: <condition>", then
// "ASSERT info: " with the optional printf-style explanation (or "none."), logs
// "<function> assert" and jumps back to the dispatcher's recovery point
// (error_stat, value 1). Nothing after the failed check runs.
#pragma once

#include <setjmp.h>

#include "runtime/types.h"

extern "C" {

// Recovery point of the message being handled (set by the dispatcher).
extern jmp_buf error_stat;
// Non-zero while error_stat holds a live recovery point.
extern volatile int error_stat_armed;

[[noreturn]] void fw_assert_fail(const char *kind, const char *file, const char *func, int line,
                                 const char *cond, const char *fmt = nullptr, ...)
    __attribute__((format(printf, 6, 7)));

}

// The condition is stringified here, before any macro inside it is expanded,
// so the message shows the condition as written.
#define FW_ASSERT_IMPL_(kind, text, cond, ...)                                         \
  do {                                                                                 \
    if (__builtin_expect(!(cond), 0))                                                  \
      fw_assert_fail(kind, __FILE__, __func__, __LINE__, text, ##__VA_ARGS__);         \
  } while (0)

// ASSERT(cond) or ASSERT(cond, "fmt", args...)
#define ASSERT(cond, ...) FW_ASSERT_IMPL_("ASSERT", #cond, cond, ##__VA_ARGS__)
#define ASSERT_FS(cond, ...) FW_ASSERT_IMPL_("ASSERT_FS", #cond, cond, ##__VA_ARGS__)
