// API 986: profiling switch. API 987: profile reader.
#include "runtime/api/profile_api.h"

#include "runtime/regs.h"
#include "cmd/gdma.h"
#include "layers/data/copy.h"
#include "runtime/hw.h"
#include "runtime/profile.h"
#include "runtime/api/dispatch.h"

// The ARM sees device memory from GLOBAL_MEM_START_ADDR on through a window of
// this many bytes at DDR_ARM_BASE.
#define DDR_WINDOW_BYTES (0x100000000ull - DDR_ARM_BASE)

u32 zv_api_set_profile(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_set_profile_t, rec, param, size);
  set_profile_time_enabled(rec.enable);
  return 0;
}

u32 zv_api_get_profile_data(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_get_profile_data_t, rec, param, size);
  const zv_api_get_profile_data_t *api = &rec;
  // The header alone takes 8 bytes; a smaller area would have the records
  // written far past its end.
  ASSERT(api->staging_size >= sizeof(profile_data_header_t), "staging_size=%u",
         (unsigned)api->staging_size);
  const u32 total = api->list == 0 ? get_profile_time_data_len() : get_profile_extra_data_len();
  // Only what the list holds past the offset is copied.
  u32 room = api->staging_size - (u32)sizeof(profile_data_header_t);
  const u32 left = total > api->offset ? total - api->offset : 0;
  if (room > left) room = left;
  const u32 written = (u32)sizeof(profile_data_header_t) + room;
  // The ARM writes the staging area through its window; bytes outside it would
  // land on other memory (past the window's end the address wraps) while GDMA
  // moved something else.
  ASSERT(api->staging_addr >= FW_USER_MEM_START &&
             api->staging_addr - GLOBAL_MEM_START_ADDR <= DDR_WINDOW_BYTES - written,
         "staging_addr=0x%x%08x, %u bytes to write", (unsigned)(api->staging_addr >> 32),
         (unsigned)api->staging_addr, (unsigned)written);
  // The copy's destination is checked before anything is written or paused
  // (should anything still fail while profiling is paused, the dispatcher
  // resumes it).
  API_GLOBAL(api->dst_addr, api_dense(1, written));
  u8 *staging = (u8 *)hw_ptr(DDR_ARM_BASE + (u32)(api->staging_addr - GLOBAL_MEM_START_ADDR), written);
  u8 *records = staging + sizeof(profile_data_header_t);
  profile_data_header_t header;
  header.total = total;
  header.copied = api->list == 0 ? get_profile_time_data(records, room, api->offset)
                                 : get_profile_extra_data(records, room, api->offset);
  memcpy(staging, &header, sizeof header);
  const u32 bytes = header.copied + (u32)sizeof(profile_data_header_t);

  // The copy below must leave no record behind.
  profile_pause();
  // One row of signed bytes: the header and the records.
  api_issue([&](cmd_id_node_t *node) {
    nodechip_global_memcpy_ex(api->staging_addr, api->dst_addr, 1, 0, 0, GDMA_VALUE_FORMAT_INT8,
                              GDMA_VALUE_FORMAT_INT8, (int)bytes, node);
  });
  profile_resume();
  return 0;
}
