// The C library's console and heap as the firmware sees them on the chip, for
// the host build: output goes through the firmware's own _write (the UART), and
// the heap is carved from the firmware's own _sbrk (the static 64 KB array).
// This file is part of the firmware image, so its state resets with it.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
int zvfw_write(int fd, const char *buf, int len);
void *zvfw_sbrk(ptrdiff_t incr);

int zvfw_vprintf(const char *fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return n;
  if (static_cast<size_t>(n) < sizeof small) return zvfw_write(1, small, n);
  // Longer than the stack buffer: format again into a buffer of its own (the
  // host's heap; the firmware's heap is not touched by printing).
  char *big = static_cast<char *>(::operator new(static_cast<size_t>(n) + 1));
  vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
  zvfw_write(1, big, n);
  ::operator delete(big);
  return n;
}

int zvfw_printf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = zvfw_vprintf(fmt, ap);
  va_end(ap);
  return n;
}

int zvfw_puts(const char *s) {
  zvfw_write(1, s, static_cast<int>(strlen(s)));
  zvfw_write(1, "\n", 1);
  return 1;
}

int zvfw_putchar(int c) {
  char ch = static_cast<char>(c);
  zvfw_write(1, &ch, 1);
  return c;
}

// ---- Heap: first fit over an address-ordered free list, merging neighbours ----

struct Block {
  size_t size;  // bytes including this header
  Block *next;  // next free block (free blocks only)
};

static Block *free_list;
static const size_t kAlign = 16;
static const size_t kHeader = (sizeof(Block) + kAlign - 1) / kAlign * kAlign;

static size_t round_up(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

void *__real_malloc(size_t size) {
  if (size > 0x10000000) return nullptr;
  size_t need = round_up(size + kHeader);
  for (Block **link = &free_list; *link; link = &(*link)->next) {
    Block *b = *link;
    if (b->size < need) continue;
    if (b->size - need >= kHeader + kAlign) {
      Block *rest = reinterpret_cast<Block *>(reinterpret_cast<char *>(b) + need);
      rest->size = b->size - need;
      rest->next = b->next;
      *link = rest;
      b->size = need;
    } else {
      *link = b->next;
    }
    return reinterpret_cast<char *>(b) + kHeader;
  }
  // zvfw_sbrk halts the firmware when the heap is exhausted.
  Block *b = static_cast<Block *>(zvfw_sbrk(static_cast<ptrdiff_t>(need)));
  b->size = need;
  return reinterpret_cast<char *>(b) + kHeader;
}

void __real_free(void *p) {
  if (p == nullptr) return;
  Block *b = reinterpret_cast<Block *>(static_cast<char *>(p) - kHeader);
  Block **link = &free_list;
  while (*link && *link < b) link = &(*link)->next;
  b->next = *link;
  *link = b;
  if (b->next && reinterpret_cast<char *>(b) + b->size == reinterpret_cast<char *>(b->next)) {
    b->size += b->next->size;
    b->next = b->next->next;
  }
  if (link != &free_list) {
    Block *prev = reinterpret_cast<Block *>(reinterpret_cast<char *>(link) - offsetof(Block, next));
    if (reinterpret_cast<char *>(prev) + prev->size == reinterpret_cast<char *>(b)) {
      prev->size += b->size;
      prev->next = b->next;
    }
  }
}

void *__real_calloc(size_t n, size_t size) {
  if (size != 0 && n > static_cast<size_t>(-1) / size) return nullptr;
  void *p = __real_malloc(n * size);
  if (p) memset(p, 0, n * size);
  return p;
}

void *__real_realloc(void *p, size_t size) {
  if (p == nullptr) return __real_malloc(size);
  if (size == 0) {
    __real_free(p);
    return nullptr;
  }
  Block *b = reinterpret_cast<Block *>(static_cast<char *>(p) - kHeader);
  size_t old = b->size - kHeader;
  void *q = __real_malloc(size);
  if (q) {
    memcpy(q, p, old < size ? old : size);
    __real_free(p);
  }
  return q;
}
}
