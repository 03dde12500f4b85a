// Heap bookkeeping around the C library's allocator. While a message is handled,
// every block taken and not yet given back is remembered, so that a handler that
// fails an assertion does not leak: the dispatcher gives those blocks back on its
// recovery path. Blocks meant to outlive the message are released from the table
// with heap_keep.
#include <stdlib.h>
#include <string.h>

#include "runtime/services.h"

extern "C" {
void *__real_malloc(size_t size);
void __real_free(void *p);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t size);
void *__wrap_malloc(size_t size);
void __wrap_free(void *p);
void *__wrap_calloc(size_t n, size_t size);
void *__wrap_realloc(void *p, size_t size);
}

#define HEAP_TRACK_MAX 256

static void *tracked[HEAP_TRACK_MAX];
static int tracked_count;
static int tracking;

static void track(void *p) {
  if (!tracking || p == nullptr) return;
  ASSERT(tracked_count < HEAP_TRACK_MAX, "more than %d heap blocks live in one message",
         HEAP_TRACK_MAX);
  tracked[tracked_count++] = p;
}

static bool untrack(void *p) {
  for (int i = tracked_count - 1; i >= 0; i--) {
    if (tracked[i] == p) {
      tracked[i] = tracked[--tracked_count];
      return true;
    }
  }
  return false;
}

void *__wrap_malloc(size_t size) {
  void *p = __real_malloc(size);
  track(p);
  return p;
}

void *__wrap_calloc(size_t n, size_t size) {
  void *p = __real_calloc(n, size);
  track(p);
  return p;
}

void *__wrap_realloc(void *p, size_t size) {
  void *q = __real_realloc(p, size);
  if (q == nullptr) return q;
  // A new block, or a moved tracked one, is tracked; a moved long-lived one is not.
  bool was_tracked = p != nullptr && untrack(p);
  if (p == nullptr || was_tracked) track(q);
  return q;
}

void __wrap_free(void *p) {
  if (p == nullptr) return;
  untrack(p);
  __real_free(p);
}

void heap_track_begin(void) {
  tracked_count = 0;
  tracking = 1;
}

void heap_track_end(void) {
  tracked_count = 0;
  tracking = 0;
}

void heap_track_release_all(void) {
  tracking = 0;
  while (tracked_count > 0) __real_free(tracked[--tracked_count]);
}

void heap_keep(void *p) { untrack(p); }
