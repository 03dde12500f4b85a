// Type conversions, rounding and class tests on tensors resident in local
// memory, built from bit operations on the 32-bit patterns, the engine's
// float-to-integer special function and the byte tables in L2 SRAM.
//
// Unless stated otherwise operands are EU-aligned float32 or int32 tensors
// given by untagged local offsets; x is the input and y the output (a different
// tensor); `bufs` holds `num_buffer` scratch offsets, each as large as the
// slice; `stride` may be NULL (the EU-aligned float32 strides of the shape).
// The input of a routine is overwritten unless its comment says it is kept.
// Nothing waits: every command goes out on the caller's node.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

// Byte tables in static memory (offsets from the start of L2 SRAM).
#define U8_TO_F32_TABLE 0x300F00u  // entry i = (float)i
#define I8_TO_F32_TABLE 0x301300u  // entry i = (float)(signed byte)i

extern "C" {

// ---- Routines of the unary table ----
// y = int32 of x, truncated toward zero (saturating; NaN gives 0). x kept.
void tensor_f32_to_i32(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node);
// y = (float) of the low byte of each element of x, unsigned / signed. x kept.
void tensor_u8_to_f32(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                      cmd_id_node_t *node);
void tensor_i8_to_f32(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                      cmd_id_node_t *node);
// y = x read as an unsigned (1 buffer) or signed (2 buffers) 32-bit integer,
// rounded to float32.
void tensor_u32_to_f32(u32 u32_local_addr, u32 f32_local_addr, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_i32_to_f32(u32 i32_local_addr, u32 f32_local_addr, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// y = x truncated toward zero (x kept); |x| < 1 gives a signed zero; integers
// beyond 2^23, infinities and NaN come through unchanged. 2 buffers.
void tensor_f32_trim(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// y = x rounded half away from zero (through the float sum x +- 0.5). 2 buffers.
void tensor_f32_round(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// y = floor(x), ceil(x); x kept. 2 buffers.
void tensor_f32_floor(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_ceil(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);

// ---- Class tests: int32 1 or 0; x is overwritten ----
void tensor_f32_is_nan(u32 f32_lo, u32 mark_lo, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_is_inf(u32 f32_lo, u32 mark_lo, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node);
void tensor_f32_is_finite(u32 f32_lo, u32 mark_lo, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node);
// what 0: is_inf, 1: is_nan (1 buffer), 2: is_finite.
void tensor_f32_is(u32 x, u32 y, int what, const u32 *bufs, int num_buffer, const dim4_t *shape,
                   const dim4_t *stride, cmd_id_node_t *node);

// On the two signed 16-bit halves of every 32-bit element: R = A - K (reverse
// 0) or K - A (reverse 1), saturating to 16 bits.
void tensor_const_i16_sub(u32 A, u32 K, u32 R, int reverse, const dim4_t *shape,
                          const dim4_t *stride, cmd_id_node_t *node);

// ---- Quantisation and unpacking ----
// Quantises N x C x H x W float32 values at the tagged `input` to 8-bit
// (clamped to -128..127 or 0..255, then truncated); the input keeps the clamped
// values. is_1n 1: each result in the low byte of its own element; otherwise
// packed into the 4N layout in the first ceil(N / 4) items of `output`.
void nodechip_float2int8_local(u32 input, u32 output, int N, int C, int H, int W, int is_signed,
                               int is_1n, cmd_id_node_t *node);
// The same with rounding half away from zero, into 4N, keeping the input;
// `buffer` (untagged) holds two N-item work tensors.
void nodechip_float2int8_local_keep_input(u32 input, u32 output, u32 buffer, int N, int C, int H,
                                          int W, int is_signed, cmd_id_node_t *node);
// Unpacks N items of 8-bit 4N data (ceil(N / 4) packed items at `input`) into N
// float32 items at `output`; mode must be STORAGE_MODE_4N_INT8.
void tensor_int8_to_float_local_v2(u32 input, u32 output, u32 buffer, int N, int C, int H, int W,
                                   u8 keep_input, int is_signed, int mode, cmd_id_node_t *node);
// 16-bit data at the local offset `input` (mode 2: 1N, channel stride in
// 16-bit elements; mode 3: 2N, channel stride in words) into the EU-aligned
// float32 tensor `output`. `spare` is not read.
void nodechip_fix16_to_float_local_stride(u64 input, u32 output, u64 spare, const dim4_t *shape,
                                          int input_cstride, int is_signed, int mode,
                                          cmd_id_node_t *node);
}
