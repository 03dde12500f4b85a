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

void local_areas_of(local_area_t *areas, const char *const *names, const u64 *offsets, const u64 *sizes,
                    int count) {
  for (int i = 0; i < count; i++) {
    const u64 o = offsets[i] < LOCAL_MEM_SIZE ? offsets[i] : LOCAL_MEM_SIZE;
    const u64 b = sizes[i] < LOCAL_MEM_SIZE ? sizes[i] : LOCAL_MEM_SIZE;
    areas[i] = {names[i], (u32)o, (u32)b};
  }
}
