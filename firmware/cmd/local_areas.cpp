// The local-memory area check of layer plans.
#include "cmd/local_areas.h"

#include "runtime/regs.h"

int local_areas_valid(const local_area_t *areas, int count) {
  for (int i = 0; i < count; i++) {
    const u64 end = (u64)areas[i].offset + areas[i].bytes;
    if (end > LOCAL_MEM_SIZE) return 0;
    if (areas[i].bytes == 0) continue;
    for (int j = 0; j < i; j++) {
      if (areas[j].bytes == 0) continue;
      const u64 other_end = (u64)areas[j].offset + areas[j].bytes;
      if (areas[i].offset < other_end && areas[j].offset < end) return 0;
    }
  }
  return 1;
}
