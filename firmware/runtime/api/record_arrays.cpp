// Arrays named by the control core's address in its window on device memory.
#include "runtime/api/record_arrays.h"

#include <string.h>

#include "layers/data/select.h"
#include "runtime/assert.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

void api_core_array(u32 addr, int count, int *out) {
  ASSERT(count >= 0 && count <= CORE_ARRAY_MAX, "count=%d", count);
  const u64 bytes = 4u * (u64)count;
  // Inside the window: the core sees nothing else of device memory, and its
  // own memories below the window are not the host's to name.
  ASSERT(addr >= DDR_ARM_BASE && (u64)addr + bytes <= 0x100000000ull, "addr=0x%08x, %d values", (unsigned)addr,
         count);
  if (count == 0) return;
  memcpy(out, hw_ptr(addr, (u32)bytes), (size_t)bytes);
}

void *core_window_ptr(u64 global, u64 bytes, u32 align) {
  ASSERT(align != 0 && global % align == 0, "global=0x%x%08x is not %u-byte aligned", (unsigned)(global >> 32),
         (unsigned)global, (unsigned)align);
  return arm_window_ptr(global, bytes);
}
