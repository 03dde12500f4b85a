// The areas a layer's plan places in local memory, and the check every plan's
// test runs on them: each area a byte range of every lane it uses.
#pragma once

#include "runtime/types.h"

typedef struct {
  const char *name;
  u32 offset;  // untagged byte offset within a lane
  u32 bytes;   // bytes the plan uses there, per lane
} local_area_t;

extern "C" {
// Non-zero when every area lies inside one lane's local memory and no two
// areas share a byte. An empty area overlaps nothing.
int local_areas_valid(const local_area_t *areas, int count);
}

// A plan's area list from its 64-bit offsets and sizes, each clamped to one
// lane's local memory so that an oversized plan shows as an invalid area
// rather than wrapping to a small one.
void local_areas_of(local_area_t *areas, const char *const *names, const u64 *offsets, const u64 *sizes,
                    int count);
