// CDMA: the sort command. CDMA commands carry no command ids; the sort waits
// for its own completion before it returns, so a caller sorting data that the
// tensor engine or GDMA produced waits for its node first.
//
// The CDMA command buffer is shared with the host and guarded by the semaphore
// bit 0 of REG_CDMA_LOCK: a read that sees it 0 takes it (the read sets it).
// The issue takes it while waiting for a free slot (cdma_gen_cmd's buffer
// wait) and poll_cdma_pkt_done releases it when the sort has finished.
#pragma once

#include "runtime/types.h"

#define SORT_ORDER_ASCEND 0u
#define SORT_ORDER_DESCEND 1u

// API 508: one sort; the two flags pass as 1 when non-zero.
typedef struct {
  u64 src_key;
  u64 src_index;
  u32 len;
  u64 dst_key;
  u64 dst_index;
  u32 out_len;
  u32 order;  // 1: descending
  u32 index_enable;
  u32 auto_index;
} FW_PACKED zv_api_cv_sort_t;
static_assert(sizeof(zv_api_cv_sort_t) == 52, "zv_api_cv_sort_t is 52 bytes");

extern "C" {
u32 zv_api_cv_sort(u8 *param, u32 size);

// Sorts len float32 keys from src_key into dst_key (descending or ascending),
// optionally with the permutation: index_enable 1 writes 32-bit indices to
// dst_index, read from src_index or, with auto_index 1, numbered 0 to len - 1
// by the engine. Only the first out_len results are written. Keys that compare
// equal keep their input order.
void cdma_sort_move_cmd(u64 src_key, u64 dst_key, u32 len, u32 order, u8 index_enable, u8 auto_index,
                        u64 src_index, u64 dst_index, u32 out_len);
// Waits for the CDMA command to finish, clears its done bit and releases the
// CDMA semaphore.
void poll_cdma_pkt_done(void);
}
