// Replay of host-compiled command buffers.
#include "interp/multi_fullnet.h"

#include "cmd/cmd_framework.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"

void nodechip_multi_fullnet(u64 bdc_cmd_offset, u64 gdma_cmd_offset, u32 bd_count, u32 gdma_count) {
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  if (bd_count != 0) {
    ASSERT((bdc_cmd_offset & 0x7f) == 0x0);
    hw_write32(BD_CMD_BUF_ADDR_LO, (u32)bdc_cmd_offset);
    hw_write32(BD_CMD_BUF_ADDR_HI, (hw_read32(BD_CMD_BUF_CTRL_STATUS) & ~0xffu) | (u32)((bdc_cmd_offset >> 32) & 0xff));
    hw_write32(BD_CMD_BUF_CTRL, hw_read32(BD_CMD_BUF_CTRL_READ) | BD_CMD_BUF_FETCH_BIT);
  }
  if (gdma_count != 0) {
    ASSERT((gdma_cmd_offset & 0x7f) == 0x0);
    hw_write32(GDMA_CMD_BUF_ADDR, (u32)((gdma_cmd_offset & 0xffffffffffull) >> 7));
    hw_set_bits(GDMA_CMD_BUF_CTRL, GDMA_CMD_BUF_FETCH_BIT);
  }
  node.bd_cmd_id = bd_count;
  node.gdma_cmd_id = gdma_count;
  poll_all_engine_done(&node);
}
