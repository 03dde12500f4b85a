// Profiling APIs: 986 switches profiling on and off, 987 reads a profiling list
// into device memory (records in profile.h).
#pragma once

#include "runtime/types.h"

// API 986: enable non-zero switches profiling on (or restarts it, dropping the
// records), 0 switches it off and frees the records.
typedef struct {
  u32 enable;
} FW_PACKED zv_api_set_profile_t;
static_assert(sizeof(zv_api_set_profile_t) == 4, "zv_api_set_profile_t is 4 bytes");

// API 987: the header (profile_data_header_t) and then up to staging_size - 8
// bytes of the chosen list from byte `offset` on are written to the staging area
// through the ARM's device-memory window, then the header and the copied bytes
// are moved to dst_addr with GDMA. Reading does not consume the records.
typedef struct {
  u64 staging_addr;  // device memory the ARM can reach through its window
  u64 dst_addr;
  u32 staging_size;  // bytes, header included: at least 8
  u32 offset;        // byte offset into the list
  u32 list;          // 0: the time records; any other value: the extra list
} FW_PACKED zv_api_get_profile_data_t;
static_assert(sizeof(zv_api_get_profile_data_t) == 28, "zv_api_get_profile_data_t is 28 bytes");

extern "C" {
u32 zv_api_set_profile(u8 *param, u32 size);
u32 zv_api_get_profile_data(u8 *param, u32 size);
}
