// Low-level system hooks of the C library: a heap over a static 64 KB array and
// a console that can only write.
#include <errno.h>
#include <sys/stat.h>

#include "runtime/services.h"
#include "runtime/hw.h"

#define HEAP_SIZE 65536

// First in the zero-initialised data (the linker script places .bss.heap first).
__attribute__((section(".bss.heap"), aligned(8))) static char heap[HEAP_SIZE];
static char *heap_end;

extern "C" {

void *_sbrk(ptrdiff_t incr) {
  if (heap_end == nullptr) heap_end = heap;
  if (heap_end - heap > HEAP_SIZE - incr) {
    errno = ENOMEM;
    uart_puts("\n_sbrk: error, no enough memory!\n");
    for (;;) hw_halt();
  }
  char *prev = heap_end;
  heap_end += incr;
  return prev;
}

int _write(int fd, const char *buf, int len) {
  (void)fd;
  for (int i = 0; i < len; i++) uart_putc(buf[i]);
  return len;
}

int _read(int fd, char *buf, int len) {
  (void)fd;
  for (int i = 0; i < len; i++) buf[i] = (char)uart_getc();
  return len;
}

int _close(int fd) {
  (void)fd;
  return -1;
}

int _fstat(int fd, struct stat *st) {
  (void)fd;
  st->st_mode = S_IFCHR;
  return 0;
}

int _isatty(int fd) {
  (void)fd;
  return 1;
}

int _lseek(int fd, int offset, int whence) {
  (void)fd;
  (void)offset;
  (void)whence;
  return 0;
}

}  // extern "C"
