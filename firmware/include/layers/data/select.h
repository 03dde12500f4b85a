// Selection layers over tensors in device memory and the ARM read-back of
// single values, with the API that reaches them (19 filter by batch flags).
//
// Read-back: a GDMA copy of the value to a caller's scratch, a wait for the
// node, and a read through the ARM's window on device memory. The filter reads
// its per-item flags that way and moves every flagged batch item with one GDMA
// copy.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// ---- API records ----

// API 19.
typedef struct {
  u64 input_addr;
  u64 flag_addr;
  u64 output_addr;
  u64 flag_buffer_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
} FW_PACKED zv_api_filter_forward_t;
static_assert(sizeof(zv_api_filter_forward_t) == 48, "zv_api_filter_forward_t is 48 bytes");

extern "C" {

// ---- Handler ----
u32 zv_api_filter_forward(u8 *param, u32 size);

// ---- ARM read-back ----

// The ARM's pointer to `bytes` bytes of device memory at `global` (the whole
// range inside the ARM's window), without any copy or wait.
void *arm_window_ptr(u64 global, u64 bytes);
// Copies `size` bytes from `global` to `scratch`, waits for the node and
// returns the ARM's pointer to the copy. The scratch must not be in use by a
// command still in flight.
void *get_pointer_in_arm(u64 global, u64 scratch, u64 size, cmd_id_node_t *node);
float get_float_in_arm(u64 global, u64 scratch, cmd_id_node_t *node);
u8 get_u8_in_arm(u64 global, u64 scratch, cmd_id_node_t *node);

// ---- Layers ----

// Moves the batch items i (C x H x W float32 each) whose flag (float32 at
// flags + 4 i) compares unequal to 0.0 to the output one after another (NaN
// counts as set, -0.0 as unset). The N flags are read from flag_scratch.
void nodechip_filter_forward(u64 input, u64 flags, u64 output, u64 flag_scratch, int N, int C, int H, int W,
                             cmd_id_node_t *node);
}
