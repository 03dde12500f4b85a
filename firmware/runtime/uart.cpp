#include "runtime/regs.h"
#include "runtime/services.h"
#include "runtime/hw.h"

void _uart_putc(char c) {
  while ((hw_read32(UART_LSR) & UART_LSR_TX_READY) == 0) hw_idle();
  hw_write32(UART_THR, (u8)c);
}

void uart_putc(char c) {
  if (c == '\n') _uart_putc('\r');
  _uart_putc(c);
}

int uart_getc(void) {
  // Console input is not supported.
  ASSERT(0);
  return 0;
}

void uart_puts(const char *s) {
  if (!s) return;
  while (*s) uart_putc(*s++);
}
