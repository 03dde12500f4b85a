// Tensor arithmetic on the tensor engine: R = A op B over float32 or int32 data
// in local memory, with scalar operands and broadcasting of B; its three-input
// form for compare-assign and equal-assign, the shift form, the plain copy, and
// the 8-bit and 16-bit fixed-point form with per-operand sign, width and shifts.
//
// Operands are tagged local addresses (LOCAL_ADDR_TAG | start lane << 19 |
// offset); a scalar operand is given by its 32-bit value in place of its
// address, with its constant flag set. Stride records count elements (32-bit
// words for the fixed-point form, whose 8-bit and 16-bit data pack four or two
// batch items per word); a float record whose n is -1 means the engine's
// default layout. Every generator writes its descriptors directly into the
// tensor engine's window on the caller's node and returns without waiting.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/assert.h"
#include "cmd/tensor_shape.h"
#include "cmd/bd_desc.h"

typedef enum {
  TENSOR_OP_MUL = 0,
  TENSOR_OP_MAC = 1,  // R = R + A * B
  TENSOR_OP_ADD = 2,
  TENSOR_OP_SUB = 3,  // A - B
  TENSOR_OP_MAX = 4,
  TENSOR_OP_MIN = 5,
  TENSOR_OP_SHIFT = 6,  // A shifted by B: positive left, negative right
  TENSOR_OP_AND = 7,
  TENSOR_OP_OR = 8,
  TENSOR_OP_XOR = 9,
  TENSOR_OP_CMP_ASSIGN = 10,  // R = A > B ? C : 0
  TENSOR_OP_EQ_ASSIGN = 11,   // R = A == B (bit patterns) ? C : 0
  TENSOR_OP_DIV = 12,
  TENSOR_OP_COPY = 19,
} tensor_op_t;

// Pieces of the splitting generators.
#define TENSOR_ARITH_MAX_N 65519
#define TENSOR_ARITH_C_PIECE 4032
#define TENSOR_ARITH_MAX_PLANE 65520
#define TENSOR_ARITH_PLANE_PIECE 65504
#define TENSOR_FIX8B_C_PIECE 2048

extern "C" {

// R = A op B over `shape`, cut to the engine's limits (N in pieces of 65519, C
// in pieces of 4032 while 4096 or more remain, an H x W plane beyond 65520 re-cut
// into rows of 65504). Ops 10 and 11 are refused (they need the C value of the
// _all form).
void atomic_tensor_arithmetic_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape,
                                      int B_bcast_n, int B_bcast_h, int B_bcast_w,
                                      const dim4_t *A_stride, const dim4_t *B_stride,
                                      const dim4_t *R_stride, tensor_op_t tensor_op_code,
                                      int result_add, int A_is_const, u32 A_const, int B_is_const,
                                      u32 B_const, int flag35, cmd_id_node_t *node);

// One descriptor of the above.
void __atomic_tensor_arithmetic_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape,
                                        float A_const, float B_const, int B_bcast_n, int B_bcast_h,
                                        int B_bcast_w, const dim4_t *A_stride,
                                        const dim4_t *B_stride, const dim4_t *R_stride,
                                        tensor_op_t tensor_op_code, int result_add,
                                        int A_is_const, int B_is_const, int flag35,
                                        cmd_id_node_t *node);

// One descriptor, no splitting, with the C value (word 21) and the shift type;
// accepts the three-input ops 10 and 11.
void atomic_tensor_arithmetic_gen_cmd_all(u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape,
                                          int B_bcast_n, int B_bcast_h, int B_bcast_w,
                                          const dim4_t *A_stride, const dim4_t *B_stride,
                                          const dim4_t *R_stride, tensor_op_t tensor_op_code,
                                          int result_add, int A_is_const, u32 A_const,
                                          int B_is_const, u32 B_const, u32 C_value, int shift_type,
                                          int flag35, cmd_id_node_t *node);

// Op 6 only: A shifted by B, arithmetic (shift type 1) or logical (0).
void atomic_tensor_arithmetic_issue_shift_gen_cmd(
    u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape, int B_bcast_n, int B_bcast_h,
    int B_bcast_w, const dim4_t *A_stride, const dim4_t *B_stride, const dim4_t *R_stride,
    tensor_op_t tensor_op_code, int result_add, int A_is_const, u32 A_const, int B_is_const,
    u32 B_const, int shift_type, int flag35, cmd_id_node_t *node);

// Ops 10 and 11 only, with the select value C.
void atomic_tensor_arithmetic_issue_select_gen_cmd(
    u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape, int B_bcast_n, int B_bcast_h,
    int B_bcast_w, const dim4_t *A_stride, const dim4_t *B_stride, const dim4_t *R_stride,
    tensor_op_t tensor_op_code, int result_add, int A_is_const, u32 A_const, int B_is_const,
    u32 B_const, u32 C_value, int flag35, cmd_id_node_t *node);

// Float32 copy with explicit strides on both sides, cut to the limits.
void atomic_tensor_copy_gen_cmd(u32 src_addr, u32 dst_addr, const dim4_t *shape,
                                const dim4_t *src_stride, const dim4_t *dst_stride,
                                cmd_id_node_t *node);

// Fixed-point arithmetic on 8-bit and 16-bit operands. addr {A, B, unused, R};
// bcast {n, c, h, w} of B; Sign {A, B, R read sign}; Int8 {A, B, unused, R}
// (1: 8-bit, 0: 16-bit); modes {A, B, unused, R} stride modes; shifts: the six
// 4-bit shift fields. The result is (value >> rshift), rounded half up and
// saturated to the result's width (signed when A or B is signed); for MAC the
// previous R is first shifted left by shift2. C of 4096 or more is cut into
// pieces of 2048 channels.
void atomic_tensor_arithmetic_fix8b_gen_cmd(const u32 addr[4], const dim4_t *shape,
                                            const u32 bcast[4], const dim4_t *A_stride,
                                            const dim4_t *B_stride, const dim4_t *R_stride,
                                            tensor_op_t op, int A_is_const, int B_is_const,
                                            int rshift, int shift2, int shift_type,
                                            const u32 Sign[3], const u32 Int8[4],
                                            const u32 modes[4], const u32 shifts[6], int flag35,
                                            cmd_id_node_t *node);

// One descriptor of the above.
void atomic_tensor_arithmetic_fix8b_gen_cmd_(const u32 addr[4], const dim4_t *shape,
                                             const u32 bcast[4], const dim4_t *A_stride,
                                             const dim4_t *B_stride, const dim4_t *R_stride,
                                             tensor_op_t op, int A_is_const, int B_is_const,
                                             int rshift, int shift2, int shift_type,
                                             const u32 Sign[3], const u32 Int8[4],
                                             const u32 modes[4], const u32 shifts[6], int flag35,
                                             cmd_id_node_t *node);

// ---- Descriptor composition (pure; the generators above issue these) ----

// One piece of the float/int32 arithmetic, as its generators' arguments give
// it (constants as f32 or int32 bits). `all` selects the three-input form (C
// value and shift type written).
typedef struct {
  u32 A_addr, B_addr, R_addr;
  const dim4_t *shape;
  u32 A_const, B_const;
  int B_bcast_n, B_bcast_h, B_bcast_w;
  const dim4_t *A_stride, *B_stride, *R_stride;
  u32 op;
  int result_add, A_is_const, B_is_const, flag35, all;
  u32 C_value;
  int shift_type;
} bd_arith_args_t;

// One piece of the fixed-point arithmetic (the arrays as the generator takes
// them).
typedef struct {
  const u32 *addr;  // {A, B, unused, R}
  const dim4_t *shape;
  const u32 *bcast;  // {n, c, h, w} of B
  const dim4_t *A_stride, *B_stride, *R_stride;
  u32 op;
  int A_is_const, B_is_const, rshift, shift2, shift_type;
  const u32 *Sign, *Int8, *modes, *shifts;
  int flag35;
} bd_fix8b_args_t;

void bd_arith_compose(bd_desc_t *d, const bd_arith_args_t *a);
void bd_copy_compose(bd_desc_t *d, u32 src_addr, u32 dst_addr, const dim4_t *shape,
                      const dim4_t *src_stride, const dim4_t *dst_stride);
void bd_fix8b_compose(bd_desc_t *d, const bd_fix8b_args_t *a);
}

// Checks that a piece fits the descriptor's shape fields before anything is
// written: a larger value would spill into the neighbouring fields.
#define BD_ASSERT_FIELDS(N, C, H, W)                                                      \
  ASSERT_FS((u32)(N) <= BD_MAX_N && (u32)(C) <= BD_MAX_C && (u32)(H) <= BD_MAX_H &&        \
                (u32)(W) <= BD_MAX_W,                                                      \
            "N=%d C=%d H=%d W=%d exceed the descriptor's fields", (int)(N), (int)(C), (int)(H), \
            (int)(W))
