// ARM read-back of single values and the filter by batch flags.
#include "layers/data/select.h"

#include <string.h>

#include "cmd/gdma.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// The ARM sees device memory from GLOBAL_MEM_START_ADDR on through a window of
// this many bytes at DDR_ARM_BASE.
#define ARM_WINDOW_BYTES (0x100000000ull - DDR_ARM_BASE)

void *arm_window_ptr(u64 global, u64 bytes) {
  // Past the window's end the address would wrap onto other memory.
  ASSERT(global >= GLOBAL_MEM_START_ADDR && bytes <= ARM_WINDOW_BYTES &&
             global - GLOBAL_MEM_START_ADDR <= ARM_WINDOW_BYTES - bytes,
         "global=0x%x%08x, %u bytes", (unsigned)(global >> 32), (unsigned)global, (unsigned)bytes);
  return hw_ptr(DDR_ARM_BASE + (u32)(global - GLOBAL_MEM_START_ADDR), (u32)bytes);
}

// Copies `bytes` bytes as rows of signed bytes, at most 0x40000000 a command.
static void copy_bytes(u64 src, u64 dst, u64 bytes, cmd_id_node_t *node) {
  for (u64 done = 0; done < bytes; done += 0x40000000u) {
    const u64 part = bytes - done < 0x40000000u ? bytes - done : 0x40000000u;
    general_gdma_gen_cmd(src + done, dst + done, GDMA_VALUE_FORMAT_INT8, (int)part, GDMA_VALUE_DIR_S2S, node);
  }
}

void *get_pointer_in_arm(u64 global, u64 scratch, u64 size, cmd_id_node_t *node) {
  void *p = arm_window_ptr(scratch, size);
  copy_bytes(global, scratch, size, node);
  poll_all_engine_done_internal(node);
  return p;
}

float get_float_in_arm(u64 global, u64 scratch, cmd_id_node_t *node) {
  float f;
  memcpy(&f, get_pointer_in_arm(global, scratch, 4, node), 4);
  return f;
}

u8 get_u8_in_arm(u64 global, u64 scratch, cmd_id_node_t *node) {
  return *(const u8 *)get_pointer_in_arm(global, scratch, 1, node);
}

void nodechip_filter_forward(u64 input, u64 flags, u64 output, u64 flag_scratch, int N, int C, int H, int W,
                             cmd_id_node_t *node) {
  if ((i64)N * 4 > 0xffffff) ASSERT_FS(0);
  ASSERT_FS(N >= 0 && C >= 0 && H >= 0 && W >= 0);
  const u64 item = (u64)C * (u64)H * (u64)W;
  ASSERT_FS(item <= 0x7fffffffu);
  if (N == 0 || item == 0) return;
  const float *flag = (const float *)arm_window_ptr(flag_scratch, 4u * (u64)N);
  general_gdma_gen_cmd(flags, flag_scratch, GDMA_VALUE_FORMAT_FLOAT32, N, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done_internal(node);
  u64 kept = 0;
  for (int i = 0; i < N; i++) {
    float f;
    memcpy(&f, flag + i, 4);
    if (f == 0.0f) continue;
    // One command per kept item: restart the ids before they run out.
    fix_cmd_node_overflow(node);
    general_gdma_gen_cmd(input + 4u * item * (u64)i, output + 4u * item * kept, GDMA_VALUE_FORMAT_FLOAT32,
                         (int)item, GDMA_VALUE_DIR_S2S, node);
    kept++;
  }
}
