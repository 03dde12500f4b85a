// Runtime services every firmware source relies on: log, timer, console, heap.
#pragma once

#include "runtime/assert.h"
#include "runtime/types.h"

extern "C" {

// One formatted line to the console and to the next slot of the device-memory
// log ring. `level` is accepted for callers and not used.
void fw_log(s32 level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void firmware_timer_init(void);
u64 firmware_timer_get_cycle(void);
u64 firmware_timer_get_time_us(void);
void firmware_timer_print(void);

void _uart_putc(char c);
void uart_putc(char c);
int uart_getc(void);
void uart_puts(const char *s);

// Heap blocks taken while a message is handled are released if its handler
// fails an assertion. Long-lived blocks (kept across messages) opt out.
void heap_track_begin(void);
void heap_track_end(void);
void heap_track_release_all(void);
void heap_keep(void *p);
}
