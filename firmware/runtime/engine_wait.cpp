// Engine waits and command-id restarts.
#include "runtime/engine_wait.h"

#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "runtime/hw.h"
#include "runtime/regs.h"
#include "runtime/services.h"
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

// ---- After a failed message ----

// Queue depths of the two engines: a queue with this many free slots holds no
// command.
#define BD_QUEUE_SLOTS 15u
#define GDMA_QUEUE_SLOTS 32u
// Reads of one status register in a row while waiting for its engine: the
// engines are left to finish what they can (a model of the chip takes a run of
// reads of one register as a spin and a long fruitless one as a deadlock, so
// the wait moves between the engines well before that).
#define SPIN_READS 64u
// Rounds over both engines without any change in their done ids or free
// slots after which a queue is taken as blocked on an id the other engine
// never issued.
#define STALL_ROUNDS 8u
// Filler commands the wait issues at most before it gives up.
#define MAX_FILLERS 65536u

typedef struct {
  u32 bd_free, bd_done, gdma_free, gdma_done;
} engine_state_t;

static engine_state_t engine_state(void) {
  engine_state_t s;
  const u32 status = hw_read32(BD_REG_STATUS);
  s.bd_free = (status >> BD_STATUS_FREE_SHIFT) & BD_STATUS_FREE_MASK;
  s.bd_done = (status >> BD_STATUS_DONE_SHIFT) & BD_STATUS_DONE_MASK;
  s.gdma_free = (hw_read32(GDMA_REG_SLOTS) >> GDMA_SLOTS_FREE_SHIFT) & GDMA_SLOTS_FREE_MASK;
  s.gdma_done = gdma_done_id();
  return s;
}

static int same_state(const engine_state_t *a, const engine_state_t *b) {
  return a->bd_free == b->bd_free && a->bd_done == b->bd_done && a->gdma_free == b->gdma_free &&
         a->gdma_done == b->gdma_done;
}

// One command on the idle engine with the next id of its sequence and no wait,
// so that a command of the other engine waiting for that id can run: a GDMA
// fill of one byte of the DTCM scratch window, or a tensor-engine copy of one
// word of local memory onto itself. Neither place holds anything the next
// message relies on.
static void issue_filler(int on_gdma, const engine_state_t *s) {
  if (on_gdma) {
    cmd_id_node_t node = {0, s->gdma_done, 0};
    const u8 zero = 0;
    fill_constant_gen_global_cmd_stride(DTCM_SCRATCH_START, &zero, GDMA_VALUE_FORMAT_UINT8, 1, 1, 1, 1, 1, 1, 1, 1,
                                        &node);
  } else {
    cmd_id_node_t node = {s->bd_done, 0, 0};
    const dim4_t one = {1, 1, 1, 1};
    atomic_tensor_copy_gen_cmd(LOCAL_ADDR_TAG, LOCAL_ADDR_TAG, &one, &one, &one, &node);
  }
}

// Reads the engine's free slots up to SPIN_READS times in a row, until its
// queue is empty.
static void spin_until_empty(u32 reg, u32 shift, u32 mask, u32 slots) {
  for (u32 i = 0; i < SPIN_READS; i++)
    if (((hw_read32(reg) >> shift) & mask) == slots) return;
}

int wait_engines_idle(void) {
  engine_state_t last = engine_state();
  u32 stalled = 0, fillers = 0;
  for (;;) {
    const engine_state_t s = engine_state();
    const int bd_empty = s.bd_free == BD_QUEUE_SLOTS, gdma_empty = s.gdma_free == GDMA_QUEUE_SLOTS;
    if (bd_empty && gdma_empty) break;
    if (!same_state(&s, &last)) {
      last = s;
      stalled = 0;
    } else if (++stalled >= STALL_ROUNDS) {
      // Only a queue whose head waits for the other, idle engine can be
      // helped: give that engine the ids it never reached, one at a time.
      if (bd_empty == gdma_empty || fillers >= MAX_FILLERS) {
        fw_log(0, "engines blocked after a failed message: tensor engine done %u, GDMA done %u\n",
               (unsigned)s.bd_done, (unsigned)s.gdma_done);
        return 0;
      }
      issue_filler(gdma_empty, &s);
      fillers++;
      stalled = 0;
    }
    spin_until_empty(BD_REG_STATUS, BD_STATUS_FREE_SHIFT, BD_STATUS_FREE_MASK, BD_QUEUE_SLOTS);
    spin_until_empty(GDMA_REG_SLOTS, GDMA_SLOTS_FREE_SHIFT, GDMA_SLOTS_FREE_MASK, GDMA_QUEUE_SLOTS);
  }
  return 1;
}
