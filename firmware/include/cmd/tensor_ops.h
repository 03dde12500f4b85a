// Basic tensor operations: loads and saves between device memory and local
// memory, one-command operations on lane-local float32 and int32 tensors, and the
// index-sequence generator.
//
// Local addresses here are untagged (lane field in bits 19-24, byte offset in
// bits 0-18); the operations OR LOCAL_ADDR_TAG in. `shape` is the common shape
// of all operands; `stride` (may be NULL) their common stride record, completed
// from the result's address (get_default_local_stride). Constants passed as
// "bits" are 32-bit patterns (float or int32); a float argument carries a float.
// Every operation issues on the caller's node and returns without waiting.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"
#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"

// The float32 sequence 0.0, 1.0, 2.0, ... in L2 SRAM (at least 2048 values).
#define SERIAL_NUMBER_ADDR 0x10301800u
#define SERIAL_NUMBER_LEN 2048

extern "C" {

// ---- Moves between device memory and local memory ----
void tensor_simple_move(u32 local, u64 global, int format, int eu_align, int direction,
                        const dim4_t *shape, cmd_id_node_t *node);
void tensor_simple_load(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                        cmd_id_node_t *node);
void tensor_simple_save(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                        cmd_id_node_t *node);
void tensor_general_load(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                         const dim4_t *local_stride, const dim4_t *global_stride,
                         cmd_id_node_t *node);
void tensor_general_save(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                         const dim4_t *local_stride, const dim4_t *global_stride,
                         cmd_id_node_t *node);

// ---- Tensor arithmetic family ----
// op -1 means NOT (XOR with -1).
void tensor_i32_logical(u32 A, u32 B, u32 R, int op, int B_is_const, u32 B_const,
                        const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_i32_not(u32 A, u32 R, const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_i32_and(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                    cmd_id_node_t *node);
void tensor_i32_or(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                   cmd_id_node_t *node);
void tensor_i32_xor(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                    cmd_id_node_t *node);
void tensor_i32_shift(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                      cmd_id_node_t *node);
void tensor_i32_const_and(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node);
void tensor_i32_const_or(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                         cmd_id_node_t *node);
void tensor_i32_const_xor(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node);
void tensor_i32_const_shift(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                            cmd_id_node_t *node);
void tensor_f32_eltwise_binary(u32 A, u32 B, u32 R, tensor_op_t op, const dim4_t *shape,
                               const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_add(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                    cmd_id_node_t *node);
void tensor_f32_prod(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                     cmd_id_node_t *node);
void tensor_f32_max(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                    cmd_id_node_t *node);
void tensor_f32_min(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                    cmd_id_node_t *node);
void tensor_f32_mac(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                    cmd_id_node_t *node);
void tensor_f32_const_eltwise_binary(u32 A, u32 R, tensor_op_t op, float C, const dim4_t *shape,
                                     const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_const_prod(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                           cmd_id_node_t *node);
void tensor_f32_const_max(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node);
void tensor_f32_const_min(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node);
void tensor_f32_const_mac(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node);
void tensor_f32_const_assign(u32 R, u32 C, const dim4_t *shape, const dim4_t *stride,
                             cmd_id_node_t *node);
// Nothing is issued when A and R are the same address.
void tensor_copy(u32 A, u32 R, const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);

// ---- Select family: R = C1 where the comparison holds, 0 elsewhere ----
void tensor_f32_const_equal_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                   const dim4_t *stride, cmd_id_node_t *node);
void tensor_i32_const_equal_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                   const dim4_t *stride, cmd_id_node_t *node);
void tensor_i32_equal_assign(u32 A, u32 B, u32 R, u32 C1, const dim4_t *shape,
                             const dim4_t *stride, cmd_id_node_t *node);
// greater 1: A > C0; greater 0: C0 > A.
void tensor_f32_const_cmp_assign(u32 A, u32 R, int greater, float C0, float C1,
                                 const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_const_greater_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                     const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_const_less_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                  const dim4_t *stride, cmd_id_node_t *node);

// ---- Aligned family (md_scalar; the stride record is only checked) ----
void tensor_f32_aligned_binary(u32 A, u32 B, u32 R, md_scalar_op_t op, const dim4_t *shape,
                               const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_aligned_add(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                            cmd_id_node_t *node);
void tensor_f32_aligned_sub(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                            cmd_id_node_t *node);
void tensor_f32_aligned_mul(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                            cmd_id_node_t *node);
void tensor_f32_aligned_div(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                            cmd_id_node_t *node);
// inversed 0: R = A op C; 1: R = C op A.
void tensor_f32_const_aligned_binary(u32 A, u32 R, int inversed, md_scalar_op_t op, float C,
                                     const dim4_t *shape, const dim4_t *stride,
                                     cmd_id_node_t *node);
void tensor_f32_const_aligned_add(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                                  cmd_id_node_t *node);
void tensor_f32_const_aligned_sub(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                                  cmd_id_node_t *node);
void tensor_f32_const_aligned_mul(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                                  cmd_id_node_t *node);
void tensor_f32_const_aligned_div(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,
                                  cmd_id_node_t *node);
void tensor_f32_const_aligned_sub_inversed(u32 A, u32 C, u32 R, const dim4_t *shape,
                                           const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_const_aligned_div_inversed(u32 A, u32 C, u32 R, const dim4_t *shape,
                                           const dim4_t *stride, cmd_id_node_t *node);

// ---- Special-function family ----
void tensor_f32_rsqrt(u32 A, u32 Y, const dim4_t *shape, const dim4_t *stride,
                      cmd_id_node_t *node);
void tensor_f32_norm_a(u32 A, u32 Y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node);
void tensor_f32_norm_b(u32 A, u32 Y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node);
void tensor_f32_taylor(u32 A, u32 Y, u64 table, int coef_num, const dim4_t *shape,
                       const dim4_t *stride, cmd_id_node_t *node);
void tensor_u8_lookup(u32 index, u32 result, u64 table, int entries, const dim4_t *shape,
                      const dim4_t *stride, cmd_id_node_t *node);

// ---- Index sequence ----
// The C x len tensor whose element (c, i) is the float c * len + i: left in
// local memory at `local` (lane c, len consecutive floats) or written densely to
// `global`. `local_scratch` (one float per lane) is used when C * len > 2048.
void nodechip_serial_number_gen(u64 global, u32 local, u32 local_scratch, int to_global, int C,
                                int len, cmd_id_node_t *node);
}
