// The CDMA sort command.
#include "cmd/cdma_sort.h"

#include "cmd/cmd_framework.h"
#include "runtime/services.h"
#include "runtime/hw.h"
#include "runtime/profile.h"

// Address high words carry the engine's fixed bits 0x3f0 above the address bits.
#define CDMA_ADDR_HI_BITS 0x3f0u

static u32 addr_lo(u64 addr) { return (u32)addr; }
static u32 addr_hi(u64 addr) { return (u32)(addr >> 32) | CDMA_ADDR_HI_BITS; }

void poll_cdma_pkt_done(void) {
  u32 status;
  while (((status = hw_read32(CDMA_REG_STATUS)) & CDMA_STATUS_DONE) == 0) hw_idle();
  hw_write32(CDMA_REG_STATUS, status);  // writing the done bit back clears it
  hw_write32(REG_CDMA_LOCK, 0);
}

void cdma_sort_move_cmd(u64 src_key, u64 dst_key, u32 len, u32 order, u8 index_enable, u8 auto_index,
                        u64 src_index, u64 dst_index, u32 out_len) {
  // Checked before the issue takes the host-shared semaphore: a one-bit field
  // refused half-way through the descriptor would leave it held for good.
  ASSERT(order == SORT_ORDER_ASCEND || order == SORT_ORDER_DESCEND, "order=%u", (unsigned)order);
  ASSERT(index_enable <= 1 && auto_index <= 1, "index_enable=%d, auto_index=%d", (int)index_enable,
         (int)auto_index);
  // The byte counts are 32-bit fields.
  ASSERT(len <= 0x3fffffffu && out_len <= 0x3fffffffu, "len=%u, out_len=%u", (unsigned)len, (unsigned)out_len);
  // The engine returns at most one result per key.
  ASSERT(out_len <= len, "len=%u, out_len=%u", (unsigned)len, (unsigned)out_len);

  const u32 ie = index_enable;
  const cmd_pack_t packs[] = {
      {CDMA_FIELD_START, 0},
      {CDMA_FIELD_FIXED3, 0},
      {CDMA_FIELD_FIXED1, 0},
      {CDMA_FIELD_FUNC_BIT3, 1},
      {CDMA_FIELD_FIXED73, 0},
      {CDMA_FIELD_SRC_KEY_LO, addr_lo(src_key)},
      {CDMA_FIELD_SRC_KEY_HI, addr_hi(src_key)},
      {CDMA_FIELD_DST_KEY_LO, addr_lo(dst_key)},
      {CDMA_FIELD_DST_KEY_HI, addr_hi(dst_key)},
      {CDMA_FIELD_KEY_BYTES, len * 4},
      {CDMA_FIELD_FIXED992, 1},
      {CDMA_FIELD_FIXED1024, 0},
      {CDMA_FIELD_FUNC_BIT5, 1},
      {CDMA_FIELD_FUNC_BIT6, 0},
      {CDMA_FIELD_SORT_ORDER, order},
      {CDMA_FIELD_INDEX_ENABLE, ie},
      {CDMA_FIELD_AUTO_INDEX, auto_index},
      {CDMA_FIELD_SRC_INDEX_LO, ie ? addr_lo(src_index) : 0},
      {CDMA_FIELD_SRC_INDEX_HI, ie ? addr_hi(src_index) : 0},
      {CDMA_FIELD_DST_INDEX_LO, ie ? addr_lo(dst_index) : 0},
      {CDMA_FIELD_DST_INDEX_HI, ie ? addr_hi(dst_index) : 0},
      {CDMA_FIELD_OUT_BYTES, out_len * 4},
      {CDMA_FIELD_FUNC_BIT0, 1},
      {CDMA_FIELD_START, 1},
  };
  static_assert(sizeof(packs) / sizeof(packs[0]) == 24, "the sort descriptor is 24 packs");
  // The buffer wait takes the semaphore; poll_cdma_pkt_done gives it back.
  gen(cdma_gen_cmd(), packs, 24, NULL);
  // CDMA commands have no node: the profiler makes no record for them.
  profile_time_begin_set_node(NULL, ENGINE_CDMA);
  poll_cdma_pkt_done();
}
