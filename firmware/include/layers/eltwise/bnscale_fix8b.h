// 8-bit per-channel affine layers on 4N int8 tensors (four batch items per
// 32-bit word) and the APIs that reach them: batch normalisation with scale
// (96) and bias add with requantisation (164).
//
// Both share one pipeline: the per-channel vectors sit compact at the bottom
// of local memory, slices of whole 4N groups and rows (at most 64 KB a lane)
// alternate between two input buffers with one int16 intermediate area, the
// first slice is loaded and computed on the node, then every slice loads on
// the move copy while the previous one stores and this one computes; the
// result overwrites the slice in its buffer.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define FIX8B_SLICE_BYTES 0x10000

// The local layout of both layers.
typedef struct {
  u32 bias, scale, shift;  // vectors (bias only for the bias add)
  u32 buffer[2];           // B0, B1
  u32 intermediate;        // B0 + 0x10000
  int area_count;
  local_area_t areas[6];
} fix8b_affine_plan_t;
// with_scale: the three vectors of the batch normalisation, else the bias only.
void fix8b_affine_plan_of(fix8b_affine_plan_t *plan, int c, int with_scale);

extern "C" {

// Splits of the two layers: counts over 4N groups and rows (both start at 1).
void bn_split_nh_par_bnscale(int size, int capacity, int n, int cpl, int h, int w, int *nsecs, int *hsecs);
void nodechip_split_nh(int size, int capacity, int n, int cpl, int h, int w, int *nsecs, int *hsecs);

// The six commands of one slice (offsets untagged, n a multiple of 4).
void bnscale_by_tensor_arith_int8(u32 input, u32 scale, u32 intermediate, u32 bias, u32 shift, int n, int c, int h,
                                  int w, int cpl, int sign_input, int sign_scale, int sign_bias, int if_relu,
                                  int relu_upper_limit, cmd_id_node_t *node);
// A 1N int8 source (items one after the other) into 4N words at `local`; n
// is the count of items left from `src` (positions of the last group beyond
// it are not read, and keep what the buffer held).
void load_G2L_src_1N_to_4N(u64 src, u32 local, int n, int c, int h, int w, int groups, int rows,
                           cmd_id_node_t *node);

void nodechip_bnscale_forward_parallel_fix8b(u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr,
                                             u64 bias_global_addr, u64 shift_global_addr, int input_n, int input_c,
                                             int input_h, int input_w, int sign_input, int sign_scale, int sign_bias,
                                             int if_relu, int relu_upper_limit, cmd_id_node_t *node);
// src_storage_mode 2 (4N) or 0 (1N); the result is always 4N.
void nodechip_bnscale_forward_parallel_fix8b_with_src_storage_mode(
    u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr, u64 bias_global_addr,
    u64 shift_global_addr, int input_n, int input_c, int input_h, int input_w, int sign_input, int sign_scale,
    int sign_bias, int src_storage_mode, int if_relu, int relu_upper_limit, cmd_id_node_t *node);

// shape: {n, c, h, w}, n in batch items.
void nodechip_biasadd_fix8b(u64 input_global_addr, const int *shape, u64 bias_global_addr, u64 output_global_addr,
                            int sign_input, int sign_bias, int scale, int rshift, int if_relu, int relu_upper_limit,
                            cmd_id_node_t *node);

u32 zv_api_bnscale_forward_parallel_fix8b(u8 *param, u32 size);
u32 zv_api_bias_fix8b_forward(u8 *param, u32 size);
}

typedef struct {
  u64 input_addr, output_addr, scale_global_addr, bias_global_addr, shift_global_addr;
  i32 input_n, input_c, input_h, input_w;
  i32 sign_input, sign_scale, sign_bias, if_relu;
} FW_PACKED zv_api_bnscale_forward_parallel_fix8b_t;
static_assert(sizeof(zv_api_bnscale_forward_parallel_fix8b_t) == 72,
              "zv_api_bnscale_forward_parallel_fix8b_t is 72 bytes");

typedef struct {
  u64 input_global_addr;
  i32 input_n, input_c, input_h, input_w;
  u64 bias_global_addr, output_global_addr;
  i32 sign_input, sign_bias, scale, rshift, if_relu, relu_upper_limit;
} FW_PACKED zv_api_bias_fix8b_forward_t;
static_assert(sizeof(zv_api_bias_fix8b_forward_t) == 64, "zv_api_bias_fix8b_forward_t is 64 bytes");
