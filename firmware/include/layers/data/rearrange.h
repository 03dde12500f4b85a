// Rearrangements of a tensor in device memory along its own axes: reverse,
// channel shuffle; and the APIs that reach them (159 and 160 channel shuffle).
//
// Each is a short run of strided GDMA moves from device memory to device
// memory, one per item of the rearranged axis; long runs restart the command
// ids before the 16-bit GDMA ids could wrap. The layers issue on the caller's
// node and do not wait otherwise.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// ---- API records ----

// API 159 (float32) and 160 (8-bit, 32-bit words of four items).
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 group;
} FW_PACKED zv_api_shuffle_channel_forward_t;
static_assert(sizeof(zv_api_shuffle_channel_forward_t) == 36, "zv_api_shuffle_channel_forward_t is 36 bytes");
typedef zv_api_shuffle_channel_forward_t zv_api_shuffle_channel_fix8b_forward_t;

extern "C" {

// ---- Handlers ----
u32 zv_api_shuffle_channel_forward(u8 *param, u32 size);
u32 zv_api_shuffle_channel_fix8b_forward(u8 *param, u32 size);

// ---- Layers ----

// Reverses a float32 tensor of shape_size axes along axis (negative: from the end).
void nodechip_reverse_forward_v2(u64 input, u64 output, const int *shape, int shape_size, int axis,
                                 cmd_id_node_t *node);
// Output channel i * group + j is input channel j * (c / group) + i (float32).
void nodechip_shuffle_channel_forward(u64 input, u64 output, int n, int c, int h, int w, int group,
                                      cmd_id_node_t *node);
// The same moves on 32-bit words: for 4N 8-bit data n counts groups of four items.
void nodechip_shuffle_channel_fix8b_forward(u64 input, u64 output, int n, int c, int h, int w, int group,
                                            cmd_id_node_t *node);
}
