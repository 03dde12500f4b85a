// Engine waits and command-id restarts.
#include "runtime/engine_wait.h"

#include "runtime/hw.h"
#include "runtime/profile.h"

static u32 bd_done_id(void) { return (hw_read32(BD_REG_STATUS) >> BD_STATUS_DONE_SHIFT) & BD_STATUS_DONE_MASK; }
static u32 gdma_done_id(void) { return (hw_read32(GDMA_REG_DONE) >> GDMA_DONE_SHIFT) & GDMA_DONE_MASK; }

void poll_all_engine_done_internal(cmd_id_node_t *node) {
  while (bd_done_id() < node->bd_cmd_id) hw_idle();
  while (gdma_done_id() < node->gdma_cmd_id) hw_idle();
}

void poll_all_engine_done(cmd_id_node_t *node) {
  profile_time_data_t *record = profile_time_begin_wait_node(node);
  poll_all_engine_done_internal(node);
  profile_time_end(record);
}

void resync_cmd_id(cmd_id_node_t *node) {
  node->bd_cmd_id = 0;
  node->gdma_cmd_id = 0;
  hw_write32(BD_REG_ID_RESTART, 1);
  hw_set_bits(GDMA_REG_CTRL, GDMA_CTRL_ID_RESTART);
}

void fix_cmd_node_overflow(cmd_id_node_t *node) {
  if (node->gdma_cmd_id > CMD_ID_OVERFLOW_LIMIT || node->bd_cmd_id > CMD_ID_OVERFLOW_LIMIT) {
    poll_all_engine_done(node);
    resync_cmd_id(node);
  }
}
