// The GDE gather command.
#include "cmd/gde_gather.h"

#include "cmd/cmd_framework.h"
#include "runtime/services.h"
#include "runtime/hw.h"
#include "runtime/profile.h"

u32 gde_type_bytes(u32 type) {
  switch (type) {
    case GDE_TYPE_BYTE: return 1;
    case GDE_TYPE_WORD: return 4;
    case GDE_TYPE_128BITS: return 16;
    default: return 0;
  }
}

// Every region must lie in L2 SRAM: the output by its items' bytes, the index
// array by its 4-byte entries (sums in 64 bits, so nothing wraps). The input's
// extent is set by the indices, not by the count: its first item must lie in
// L2 SRAM, and each index's item is bounded by the engine's own range check.
static void CHECK_PARAM(u32 in_addr, u32 index_addr, u32 len, u32 type, u32 out_addr) {
  const u64 item_size = gde_type_bytes(type);
  ASSERT_FS((in_addr >= L2_SRAM_START_ADDR) &&
                ((u64)in_addr + item_size <= L2_SRAM_START_ADDR + L2_SRAM_SIZE),
            "input address should be l2 sram");
  ASSERT_FS((out_addr >= L2_SRAM_START_ADDR) &&
                ((u64)out_addr + len * item_size <= L2_SRAM_START_ADDR + L2_SRAM_SIZE),
            "output address should be l2 sram");
  ASSERT_FS((index_addr >= L2_SRAM_START_ADDR) &&
                ((u64)index_addr + 4ull * len <= L2_SRAM_START_ADDR + L2_SRAM_SIZE),
            "index address should be l2 sram");
  ASSERT_FS((len > 0 && len < L2_SRAM_SIZE), "gde length should be less than l2 sram size");
  ASSERT_FS((type == GDE_TYPE_BYTE) || (type == GDE_TYPE_WORD) || (type == GDE_TYPE_128BITS),
            "type should be byte or word.");
  if (type == GDE_TYPE_128BITS) {
    ASSERT_FS((0 == (0x0f & in_addr)), "in addr should align to 128 bits");
    ASSERT_FS((0 == (0x0f & out_addr)), "out addr should align to 128 bits");
  }
}

void gde_gather_data_gen_cmd(u32 mode, u32 in_addr, u32 index_addr, u32 len, u32 type, u32 out_addr) {
  CHECK_PARAM(in_addr, index_addr, len, type, out_addr);
  // Words 4, 6 and 8 are the addresses' high words: 0 inside L2 SRAM.
  const cmd_pack_t packs[] = {
      {GDE_FIELD_WORD0, mode << GDE_MODE_SHIFT},
      {GDE_FIELD_IN_ADDR, in_addr},
      {GDE_FIELD_IN_ADDR_HI, 0},
      {GDE_FIELD_INDEX_ADDR, index_addr},
      {GDE_FIELD_INDEX_ADDR_HI, 0},
      {GDE_FIELD_OUT_ADDR, out_addr},
      {GDE_FIELD_OUT_ADDR_HI, 0},
      {GDE_FIELD_COUNT, len},
      {GDE_FIELD_TYPE, type},
  };
  static_assert(sizeof(packs) / sizeof(packs[0]) == 9, "the gather descriptor is 9 packs");
  gen(gde_gen_cmd(), packs, 9, NULL);
  // GDE commands have no node: the profiler makes no record for them.
  profile_time_begin_set_node(NULL, ENGINE_GDE);
  while ((hw_read32(GDE_REG_STATUS) & GDE_STATUS_DONE) == 0) hw_idle();
}
