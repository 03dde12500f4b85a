// L2 normalisation with a scale, float (API 48) and 8-bit 4N (API 141): x
// divided by the square root of its sum of squares (over the channels at each
// position, or over a whole item with across_spatial) plus eps, times one
// shared scale or one per channel, then an optional ReLU. Slices of whole
// items (float) or of 4N groups and rows (8-bit) run one after the other on
// the node.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

extern "C" {

void nodechip_normalize_forward(u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr,
                                u8 across_spatial, u8 channel_shared, int input_n, int input_c, int input_h,
                                int input_w, float eps, float scale_val, int if_relu, cmd_id_node_t *node);
void nodechip_normalize_fix8b_forward(u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr,
                                      u8 across_spatial, u8 channel_shared, int input_n, int input_c, int input_h,
                                      int input_w, float eps, float scale_val, int if_relu, int sign_input,
                                      int sign_output, cmd_id_node_t *node);

u32 zv_api_normalize_forward(u8 *param, u32 size);
u32 zv_api_normalize_fix8b_forward(u8 *param, u32 size);
}

typedef struct {
  u64 input_addr, output_addr, scale_addr;
  i32 across_spatial, channel_shared;
  i32 input_n, input_c, input_h, input_w;
  float eps, shared_scale;
  i32 if_relu;
} FW_PACKED zv_api_normalize_forward_t;
static_assert(sizeof(zv_api_normalize_forward_t) == 60, "zv_api_normalize_forward_t is 60 bytes");

typedef struct {
  u64 input_addr, output_addr, scale_addr;
  i32 across_spatial, channel_shared;
  i32 input_n, input_c, input_h, input_w;
  float eps, shared_scale;
  i32 if_relu, input_sign, output_sign;
} FW_PACKED zv_api_normalize_fix8b_forward_t;
static_assert(sizeof(zv_api_normalize_fix8b_forward_t) == 68, "zv_api_normalize_fix8b_forward_t is 68 bytes");
