// One-command tensor operations on lane-local float32 and int32 tensors.
#include "cmd/tensor_ops.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"


static u32 tag(u32 local) { return local | LOCAL_ADDR_TAG; }

// One tensor-arithmetic command over three operands with the one stride record.
static void arith(u32 A, u32 B, u32 R, tensor_op_t op, int A_is_const, u32 A_const,
                  int B_is_const, u32 B_const, const dim4_t *shape, const dim4_t *stride,
                  cmd_id_node_t *node) {
  dim4_t s;
  get_default_local_stride(&s, shape, stride, R);
  atomic_tensor_arithmetic_gen_cmd(A_is_const ? 0 : tag(A), B_is_const ? 0 : tag(B), tag(R), shape,
                                   0, 0, 0, &s, &s, &s, op, 0, A_is_const, A_const, B_is_const,
                                   B_const, 0, node);
}

// ---- Tensor arithmetic family ----

void tensor_i32_logical(u32 A, u32 B, u32 R, int op, int B_is_const, u32 B_const,
                        const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  if (op == -1) {
    op = TENSOR_OP_XOR;
    B_is_const = 1;
    B_const = 0xffffffffu;
  }
  arith(A, B, R, (tensor_op_t)op, 0, 0, B_is_const, B_const, shape, stride, node);
}

void tensor_i32_not(u32 A, u32 R, const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  tensor_i32_logical(A, 0, R, -1, 0, 0, shape, stride, node);
}

#define BINARY_OP(name, op)                                                                \
  void name(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,              \
            cmd_id_node_t *node) {                                                       \
    arith(A, B, R, op, 0, 0, 0, 0, shape, stride, node);                                   \
  }
#define CONST_OP(name, op)                                                                 \
  void name(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,              \
            cmd_id_node_t *node) {                                                       \
    arith(A, 0, R, op, 0, 0, 1, C, shape, stride, node);                                   \
  }

BINARY_OP(tensor_i32_and, TENSOR_OP_AND)
BINARY_OP(tensor_i32_or, TENSOR_OP_OR)
BINARY_OP(tensor_i32_xor, TENSOR_OP_XOR)
BINARY_OP(tensor_i32_shift, TENSOR_OP_SHIFT)
CONST_OP(tensor_i32_const_and, TENSOR_OP_AND)
CONST_OP(tensor_i32_const_or, TENSOR_OP_OR)
CONST_OP(tensor_i32_const_xor, TENSOR_OP_XOR)
CONST_OP(tensor_i32_const_shift, TENSOR_OP_SHIFT)
BINARY_OP(tensor_f32_add, TENSOR_OP_ADD)
BINARY_OP(tensor_f32_prod, TENSOR_OP_MUL)
BINARY_OP(tensor_f32_max, TENSOR_OP_MAX)
BINARY_OP(tensor_f32_min, TENSOR_OP_MIN)
BINARY_OP(tensor_f32_mac, TENSOR_OP_MAC)
CONST_OP(tensor_f32_const_prod, TENSOR_OP_MUL)
CONST_OP(tensor_f32_const_max, TENSOR_OP_MAX)
CONST_OP(tensor_f32_const_min, TENSOR_OP_MIN)
CONST_OP(tensor_f32_const_mac, TENSOR_OP_MAC)

void tensor_f32_eltwise_binary(u32 A, u32 B, u32 R, tensor_op_t op, const dim4_t *shape,
                               const dim4_t *stride, cmd_id_node_t *node) {
  arith(A, B, R, op, 0, 0, 0, 0, shape, stride, node);
}

void tensor_f32_const_eltwise_binary(u32 A, u32 R, tensor_op_t op, float C, const dim4_t *shape,
                                     const dim4_t *stride, cmd_id_node_t *node) {
  arith(A, 0, R, op, 0, 0, 1, f32_bits(C), shape, stride, node);
}

void tensor_f32_const_assign(u32 R, u32 C, const dim4_t *shape, const dim4_t *stride,
                             cmd_id_node_t *node) {
  arith(0, 0, R, TENSOR_OP_AND, 1, C, 1, C, shape, stride, node);  // C AND C = C
}

void tensor_copy(u32 A, u32 R, const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  if (A == R) return;
  arith(A, 0, R, TENSOR_OP_COPY, 0, 0, 0, 0, shape, stride, node);
}

// ---- Select family ----

static void select_cmd(u32 A, int A_is_const, u32 A_const, u32 B, int B_is_const, u32 B_const, u32 R,
                   tensor_op_t op, u32 C1, const dim4_t *shape, const dim4_t *stride,
                   cmd_id_node_t *node) {
  dim4_t s;
  get_default_local_stride(&s, shape, stride, R);
  atomic_tensor_arithmetic_issue_select_gen_cmd(A_is_const ? 0 : tag(A), B_is_const ? 0 : tag(B),
                                                tag(R), shape, 0, 0, 0, &s, &s, &s, op, 0,
                                                A_is_const, A_const, B_is_const, B_const, C1, 0,
                                                node);
}

void tensor_f32_const_equal_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                   const dim4_t *stride, cmd_id_node_t *node) {
  select_cmd(A, 0, 0, 0, 1, C0, R, TENSOR_OP_EQ_ASSIGN, C1, shape, stride, node);
}

void tensor_i32_const_equal_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                   const dim4_t *stride, cmd_id_node_t *node) {
  tensor_f32_const_equal_assign(A, C0, R, C1, shape, stride, node);
}

void tensor_i32_equal_assign(u32 A, u32 B, u32 R, u32 C1, const dim4_t *shape,
                             const dim4_t *stride, cmd_id_node_t *node) {
  select_cmd(A, 0, 0, B, 0, 0, R, TENSOR_OP_EQ_ASSIGN, C1, shape, stride, node);
}

void tensor_f32_const_cmp_assign(u32 A, u32 R, int greater, float C0, float C1,
                                 const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  dim4_t s;
  get_default_local_stride(&s, shape, stride, R);
  if (greater)
    atomic_tensor_arithmetic_gen_cmd_all(tag(A), 0, tag(R), shape, 0, 0, 0, &s, &s, &s,
                                         TENSOR_OP_CMP_ASSIGN, 0, 0, 0, 1, f32_bits(C0),
                                         f32_bits(C1), 0, 0, node);
  else
    atomic_tensor_arithmetic_gen_cmd_all(0, tag(A), tag(R), shape, 0, 0, 0, &s, &s, &s,
                                         TENSOR_OP_CMP_ASSIGN, 0, 1, f32_bits(C0), 0, 0,
                                         f32_bits(C1), 0, 0, node);
}

static float bits_f32(u32 u) {
  float f;
  memcpy(&f, &u, 4);
  return f;
}

void tensor_f32_const_greater_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                     const dim4_t *stride, cmd_id_node_t *node) {
  tensor_f32_const_cmp_assign(A, R, 1, bits_f32(C0), bits_f32(C1), shape, stride, node);
}

void tensor_f32_const_less_assign(u32 A, u32 C0, u32 R, u32 C1, const dim4_t *shape,
                                  const dim4_t *stride, cmd_id_node_t *node) {
  tensor_f32_const_cmp_assign(A, R, 0, bits_f32(C0), bits_f32(C1), shape, stride, node);
}

// ---- Aligned family ----

// The aligned and special-function operations run in the engine's aligned
// layout; a stride record given with them must describe that layout.
#define CHECK_ALIGNED_STRIDE(stride, shape)                                                   \
  ASSERT(stride == NULL || shape->c == 1 || stride->c == 0 || stride->h == 0 ||              \
             stride->c == ALIGN(stride->h * shape->h, EU_NUM),                                \
         "stride is not aligned!")

void tensor_f32_aligned_binary(u32 A, u32 B, u32 R, md_scalar_op_t op, const dim4_t *shape,
                               const dim4_t *stride, cmd_id_node_t *node) {
  CHECK_ALIGNED_STRIDE(stride, shape);
  atomic_mdscalar_operation_gen_cmd_(tag(A), tag(B), tag(R), shape->n, shape->c, shape->h,
                                     shape->w, op, 0, 0, 0, 0, 0, node);
}

#define ALIGNED_OP(name, op)                                                                   \
  void name(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,                  \
            cmd_id_node_t *node) {                                                           \
    tensor_f32_aligned_binary(A, B, R, op, shape, stride, node);                               \
  }
ALIGNED_OP(tensor_f32_aligned_add, MD_SCALAR_ADD)
ALIGNED_OP(tensor_f32_aligned_sub, MD_SCALAR_SUB)
ALIGNED_OP(tensor_f32_aligned_mul, MD_SCALAR_MUL)
ALIGNED_OP(tensor_f32_aligned_div, MD_SCALAR_DIV)

void tensor_f32_const_aligned_binary(u32 A, u32 R, int inversed, md_scalar_op_t op, float C,
                                     const dim4_t *shape, const dim4_t *stride,
                                     cmd_id_node_t *node) {
  CHECK_ALIGNED_STRIDE(stride, shape);
  const u32 c = f32_bits(C);
  atomic_mdscalar_operation_gen_cmd_(tag(A), tag(A), tag(R), shape->n, shape->c, shape->h,
                                     shape->w, op, 0, inversed != 0, inversed == 0, c, c, node);
}

#define CONST_ALIGNED_OP(name, inversed, op)                                                   \
  void name(u32 A, u32 C, u32 R, const dim4_t *shape, const dim4_t *stride,                  \
            cmd_id_node_t *node) {                                                           \
    tensor_f32_const_aligned_binary(A, R, inversed, op, bits_f32(C), shape, stride, node);    \
  }
CONST_ALIGNED_OP(tensor_f32_const_aligned_add, 0, MD_SCALAR_ADD)
CONST_ALIGNED_OP(tensor_f32_const_aligned_sub, 0, MD_SCALAR_SUB)
CONST_ALIGNED_OP(tensor_f32_const_aligned_mul, 0, MD_SCALAR_MUL)
CONST_ALIGNED_OP(tensor_f32_const_aligned_div, 0, MD_SCALAR_DIV)
CONST_ALIGNED_OP(tensor_f32_const_aligned_sub_inversed, 1, MD_SCALAR_SUB)
CONST_ALIGNED_OP(tensor_f32_const_aligned_div_inversed, 1, MD_SCALAR_DIV)

// ---- Special-function family ----

void tensor_f32_rsqrt(u32 A, u32 Y, const dim4_t *shape, const dim4_t *stride,
                      cmd_id_node_t *node) {
  (void)stride;
  atomic_md_sfu_gen_cmd(tag(A), tag(Y), shape->n, shape->c, shape->h, shape->w, 0, SFU_RSQ, 0,
                        node);
}

void tensor_f32_norm_a(u32 A, u32 Y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node) {
  CHECK_ALIGNED_STRIDE(stride, shape);
  atomic_md_sfu_gen_cmd(tag(A), tag(Y), shape->n, shape->c, shape->h, shape->w, 0, SFU_NORMA, 0,
                        node);
}

void tensor_f32_norm_b(u32 A, u32 Y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node) {
  CHECK_ALIGNED_STRIDE(stride, shape);
  atomic_md_sfu_gen_cmd(tag(A), tag(Y), shape->n, shape->c, shape->h, shape->w, 0, SFU_NORMB, 0,
                        node);
}

void tensor_f32_taylor(u32 A, u32 Y, u64 table, int coef_num, const dim4_t *shape,
                       const dim4_t *stride, cmd_id_node_t *node) {
  CHECK_ALIGNED_STRIDE(stride, shape);
  atomic_md_sfu_gen_cmd_(tag(A), tag(Y), shape->n, shape->c, shape->h, shape->w, coef_num,
                         SFU_TAILOR, (u32)table, node);
}

void tensor_u8_lookup(u32 index, u32 result, u64 table, int entries, const dim4_t *shape,
                      const dim4_t *stride, cmd_id_node_t *node) {
  CHECK_ALIGNED_STRIDE(stride, shape);
  atomic_table_lookup_gen_cmd_((u32)table, tag(index), tag(result), shape->n, shape->c, shape->h,
                               shape->w, entries, 1, node);
}
