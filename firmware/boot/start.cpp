// Target-only pieces of the C library's start-up.
#include <stdio.h>

#include "runtime/hw.h"

extern "C" {
// Static constructors run from the reset routine through the C library's init
// array walk, which calls these two first and last.
void _init(void) {}
void _fini(void) {}

// Process hooks the C library may reach on its error paths.
void _exit(int status) {
  (void)status;
  hw_halt();
}
int _kill(int pid, int sig) {
  (void)pid;
  (void)sig;
  return -1;
}
int _getpid(void) { return 1; }
}

// The console writes every byte as it is printed: no buffer on the heap, and
// the UART shows exactly what has been printed so far.
__attribute__((constructor)) static void console_unbuffered(void) { setvbuf(stdout, nullptr, _IONBF, 0); }
