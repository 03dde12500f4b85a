#include "cv/cv_common.h"

#include "runtime/assert.h"

u64 cv_cur_dtcm_addr = DTCM_SCRATCH_START;

void cv_reset_dtcm(void) { cv_cur_dtcm_addr = DTCM_SCRATCH_START; }

u32 cv_take_dtcm(u32 bytes) {
  const u64 at = cv_cur_dtcm_addr;
  const u64 end = at + (((u64)bytes + 3) & ~(u64)3);
  ASSERT(end <= (u64)DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE, "%u bytes at 0x%x run past the DTCM scratch window",
         (unsigned)bytes, (unsigned)at);
  cv_cur_dtcm_addr = end;
  return (u32)at;
}
