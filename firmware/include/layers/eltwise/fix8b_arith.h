// 8-bit layers on 4N tensors built from the fixed-point tensor arithmetic:
// the weighted sum of two inputs (API 84) and the arithmetic shift by a
// constant, per-channel or per-element amount (API 985), both a three-stage
// pipeline (load, compute, store) over slices of whole 4N groups and rows;
// and the interpreter's multiply-shift and PReLU, one slice at a time.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// A slice plan: n' items (a multiple of 4 but at the end) and h' rows.
typedef struct {
  int items, rows;
} fix8b_slice_plan_t;

// The multiply-shift's slice: W channels and r rows of one group.
typedef struct {
  int channels, rows;
  int intermediate;  // 1: the product goes through an int16 intermediate
  int split_rows;    // 1: one channel plane passes 128 KB
} mulshift_plan_t;

// PReLU's slice: E groups, a section of cs channels and J plane elements.
typedef struct {
  int banks;  // b: 64 KB banks of one buffer
  int channels, groups, plane;
  u32 output, slope;
} prelu_fix8b_plan_t;

extern "C" {

void mulshift_fix8b_plan_of(mulshift_plan_t *plan, int c, int h, int w, int sign_input, int sign_multiplier,
                            int mulshift_flag);
void prelu_fix8b_plan_of(prelu_fix8b_plan_t *plan, int n, int c, int h, int w, int channel_shared);

// The slice of the weighted sum (64 KB of 4N words a lane) and of the shift.
void eltwise_fix8b_plan_of(fix8b_slice_plan_t *plan, int n, int c, int h, int w);
void arith_shift_fix8b_plan_of(fix8b_slice_plan_t *plan, int n, int c, int h, int w);

// y = int8(A x scale_A >> rshift_A + B x scale_B >> rshift_B), optional ReLU.
void nodechip_eltwise_fix8b_forward_parallel(u64 input_a_global_addr, u64 input_b_global_addr,
                                             u64 output_global_addr, int input_n, int input_c, int input_h,
                                             int input_w, int unused, int scale_A, int scale_B, int sign_A,
                                             int sign_B, int rshift_A, int rshift_B, int if_relu,
                                             cmd_id_node_t *node);
// shift_mode 0: the constant shift_value, 1: one 32-bit word per channel (an
// int16 input in 2N storage), 2: one int8 per element (4N); shift_kind 0 uses
// the amount, 1 its negation (modes 0 and 2), 2 one less to the right with a
// final rounding right shift by 1.
void nodechip_arith_shift_fix8b_forward(u64 input_global_addr, u64 output_global_addr, u64 shift_global_addr,
                                        int input_n, int input_c, int input_h, int input_w, int shift_kind,
                                        int shift_value, int shift_mode, int sign_input, cmd_id_node_t *node);

// (x x multiplier) >> rshift saturated to 8 bits (see the plan for the forms).
void nodechip_mulshift_fix8b_forward(u64 input_global_addr, u64 output_global_addr, int input_n, int input_c,
                                     int input_h, int input_w, int multiplier, int rshift, int sign_input,
                                     int sign_multiplier, int mulshift_flag, cmd_id_node_t *node);
// y = max(x, 0) + (min(x, 0) x slope) >> rshift; src_storage_mode non-zero:
// 4N source, 0: 1N; the result is 4N.
void nodechip_prelu_forward_fix8b(u64 input_global_addr, u64 slope_global_addr, u64 output_global_addr,
                                  float shared_slope, int channel_shared, int input_n, int input_c, int input_h,
                                  int input_w, int sign_input, int unused, int sign_aux, int rshift,
                                  int src_storage_mode, cmd_id_node_t *node);

u32 zv_api_eltwise_fix8b_forward_parallel(u8 *param, u32 size);
u32 zv_api_perchannel_shift(u8 *param, u32 size);
}

typedef struct {
  u64 a_addr, b_addr, output_addr;
  i32 input_n, input_c, input_h, input_w;
  i32 unused, scale_A, scale_B, sign_A, sign_B, rshift_A, rshift_B, if_relu;
} FW_PACKED zv_api_eltwise_fix8b_forward_t;
static_assert(sizeof(zv_api_eltwise_fix8b_forward_t) == 72, "zv_api_eltwise_fix8b_forward_t is 72 bytes");

typedef struct {
  u64 input_addr, output_addr, shift_global_addr;
  i32 input_n, input_c, input_h, input_w;
  i32 shift_kind, shift_value, shift_mode, sign_input;
} FW_PACKED zv_api_perchannel_shift_forward_parallel_fix8b_t;
static_assert(sizeof(zv_api_perchannel_shift_forward_parallel_fix8b_t) == 56,
              "zv_api_perchannel_shift_forward_parallel_fix8b_t is 56 bytes");
