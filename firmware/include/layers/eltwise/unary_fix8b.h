// A float unary function on 8-bit quantized data: each byte converted to float
// on its way into local memory, times the input scale, through the unary
// routine, times 1 / output scale, and back to a byte (rounded and saturated
// by the GDMA) on its way out; the 8-bit sigmoid, tanh and activation selector
// over it; and the APIs that reach them (172, 173, 175).
//
// The frame of the float unary layer (layers/eltwise/unary.h) unchanged: the
// local buffers hold float32 pieces of the same shapes, while device memory
// holds one byte per element.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// ---- API records ----

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 input_n;
  u32 input_c;
  float input_scale;
  float output_scale;
  u32 input_sign;
  u32 output_sign;
} FW_PACKED zv_api_sigmoid_forward_parallel_fix8b_t;
static_assert(sizeof(zv_api_sigmoid_forward_parallel_fix8b_t) == 40,
              "zv_api_sigmoid_forward_parallel_fix8b_t is 40 bytes");

typedef zv_api_sigmoid_forward_parallel_fix8b_t zv_api_tanh_forward_parallel_fix8b_t;

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 outer_size;
  u32 inner_size;
  u32 active_type;
  float input_scale;
  float output_scale;
  u32 input_sign;
  u32 output_sign;
  u32 unused;
} FW_PACKED zv_api_active_forward_fix8b_t;
static_assert(sizeof(zv_api_active_forward_fix8b_t) == 48, "zv_api_active_forward_fix8b_t is 48 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_sigmoid_forward_parallel_fix8b(u8 *param, u32 size);
u32 zv_api_tanh_forward_parallel_fix8b(u8 *param, u32 size);
u32 zv_api_active_forward_parallel_fix8b(u8 *param, u32 size);

// The unary type of an 8-bit activation code; -1 when there is none.
int active_fix8b_unary_type(int active_type);

// ---- Layers ----
// y = f(x * input_scale) * (1 / output_scale) per element; a sign of 1 means
// signed bytes, anything else unsigned.
void nodechip_unary_fix8b(u64 input, u64 output, u64 length, int unary_type, float input_scale, float output_scale,
                          int input_sign, int output_sign, const void *params, cmd_id_node_t *node);
void nodechip_sigmoid_forward_parallel_fix8b(u64 input, u64 output, int n, int inner, float input_scale,
                                             float output_scale, int input_sign, int output_sign,
                                             cmd_id_node_t *node);
void nodechip_tanh_forward_parallel_fix8b(u64 input, u64 output, int n, int inner, float input_scale,
                                          float output_scale, int input_sign, int output_sign, cmd_id_node_t *node);
// An unsupported code is logged and issues nothing.
void nodechip_active_forward_parallel_fix8b(u64 input, u64 output, u64 length, int active_type, float input_scale,
                                            float output_scale, int input_sign, int output_sign, const void *params,
                                            cmd_id_node_t *node);
}
