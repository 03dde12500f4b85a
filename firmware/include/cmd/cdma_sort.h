// CDMA: the sort command. CDMA commands carry no command ids; the sort waits
// for its own completion before it returns, so a caller sorting data that the
// tensor engine or GDMA produced waits for its node first.
//
// The CDMA command buffer is shared with the host and guarded by the semaphore
// bit 0 of REG_CDMA_LOCK: a read that sees it 0 takes it (the read sets it).
// The issue takes it while waiting for a free slot (cdma_gen_cmd's buffer
// wait) and poll_cdma_pkt_done releases it when the sort has finished.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// ---- Descriptor fields (128 words) ----
// Fixed bits of the default image (word 2 = 0x209) and of every sort: their
// meaning is the engine's; the firmware writes exactly these values.
static constexpr cmd_field_id_t CDMA_FIELD_START = CMD_FIELD(0, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FIXED1 = CMD_FIELD(1, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FIXED3 = CMD_FIELD(3, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FIXED64 = CMD_FIELD(64, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FIXED67 = CMD_FIELD(67, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FIXED73 = CMD_FIELD(73, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FIXED992 = CMD_FIELD(992, 32);
static constexpr cmd_field_id_t CDMA_FIELD_FIXED1024 = CMD_FIELD(1024, 32);
// The function byte (bits 960-967) is written bit by bit: 0x29, the sort.
static constexpr cmd_field_id_t CDMA_FIELD_FUNC_BIT0 = CMD_FIELD(960, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FUNC_BIT3 = CMD_FIELD(963, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FUNC_BIT5 = CMD_FIELD(965, 1);
static constexpr cmd_field_id_t CDMA_FIELD_FUNC_BIT6 = CMD_FIELD(966, 1);
static constexpr cmd_field_id_t CDMA_FIELD_SORT_ORDER = CMD_FIELD(976, 1);  // 1 descending
static constexpr cmd_field_id_t CDMA_FIELD_INDEX_ENABLE = CMD_FIELD(977, 1);
static constexpr cmd_field_id_t CDMA_FIELD_AUTO_INDEX = CMD_FIELD(978, 1);
// Addresses: low word, then the high word with the fixed bits 0x3f0.
static constexpr cmd_field_id_t CDMA_FIELD_SRC_KEY_LO = CMD_FIELD(1056, 32);
static constexpr cmd_field_id_t CDMA_FIELD_SRC_KEY_HI = CMD_FIELD(1088, 32);
static constexpr cmd_field_id_t CDMA_FIELD_DST_KEY_LO = CMD_FIELD(1120, 32);
static constexpr cmd_field_id_t CDMA_FIELD_DST_KEY_HI = CMD_FIELD(1152, 32);
static constexpr cmd_field_id_t CDMA_FIELD_KEY_BYTES = CMD_FIELD(1184, 32);
static constexpr cmd_field_id_t CDMA_FIELD_SRC_INDEX_LO = CMD_FIELD(1280, 32);
static constexpr cmd_field_id_t CDMA_FIELD_SRC_INDEX_HI = CMD_FIELD(1312, 32);
static constexpr cmd_field_id_t CDMA_FIELD_DST_INDEX_LO = CMD_FIELD(1344, 32);
static constexpr cmd_field_id_t CDMA_FIELD_DST_INDEX_HI = CMD_FIELD(1376, 32);
static constexpr cmd_field_id_t CDMA_FIELD_OUT_BYTES = CMD_FIELD(1408, 32);

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
u32 zv_api_sort(u8 *param, u32 size);

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
