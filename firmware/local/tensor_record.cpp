// Tensor records and binary operations on local memory.
#include "local/tensor_record.h"

#include <math.h>
#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/bd_arith.h"
#include "cmd/local_mem.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "local/math.h"

// Every bank violation is an assertion.
static const int CONFILICT_IS_FATAL_FLAG = 1;

static float bits_f32(u32 u) {
  float f;
  memcpy(&f, &u, 4);
  return f;
}

static u32 lane_rows(const tensor_t *t) { return lane_rows(0, (u32)t->shape.c); }

// ---- Record helpers ----

void DEFAULT_DIM4(dim4_t *d) { d->n = d->c = d->h = d->w = 0; }

void DEFAULT_TENSOR(tensor_t *t) {
  t->global_addr = 0;
  t->local_offset = 0;
  DEFAULT_DIM4(&t->shape);
  DEFAULT_DIM4(&t->global_stride);
  DEFAULT_DIM4(&t->bcast_stride);
  DEFAULT_DIM4(&t->local_stride);
  for (int i = 0; i < 4; i++) t->bcast[i] = 1;
  t->constant = FALSE;
  t->value = 0;
  t->data_fmt = 0;
  t->eu_align = 1;
  t->transpose = 0;
}

tensor_t *CONSTANT_TENSOR(tensor_t *out, float value) {
  tensor_t t;
  DEFAULT_TENSOR(&t);
  t.constant = TRUE;
  t.value = f32_bits(value);
  *out = t;
  return out;
}

u32 feature_size(const tensor_t *t) {
  if (t->constant) return 0;
  const u32 hw = (u32)t->shape.h * (u32)t->shape.w;
  return t->eu_align == 1 && hw != 0 ? eu_plane(hw) : hw;
}

int is_bcast(const tensor_t *t) {
  if (t->constant) return FALSE;
  for (int i = 0; i < 4; i++)
    if (t->bcast[i] != 1) return TRUE;
  return FALSE;
}

int same_shape(const tensor_t *a, const tensor_t *b) {
  return a->shape.n == b->shape.n && a->shape.c == b->shape.c && a->shape.h == b->shape.h &&
                 a->shape.w == b->shape.w
             ? TRUE
             : FALSE;
}

u32 LADDR(const tensor_t *t) { return t->constant ? 0 : (t->local_offset | LOCAL_ADDR_TAG); }

int next_bank_idx(const tensor_t *t) {
  ASSERT(t->constant == FALSE);
  const u32 end = t->local_offset + feature_size(t) * lane_rows(t) * (u32)t->shape.n * 4u;
  return end == 0 ? 0 : (int)(((end - 1) >> 16) + 1);
}

int confilict(const tensor_t *a, const tensor_t *b) {
  if (a->constant || b->constant) return FALSE;
  const tensor_t *later = a->local_offset >= b->local_offset ? a : b;
  const tensor_t *earlier = later == a ? b : a;
  return next_bank_idx(earlier) > (int)later->local_offset / 65536 ? TRUE : FALSE;
}

void fill_tensor_local_stride(tensor_t *t) {
  if (t->constant) return;
  const i32 fs = (i32)feature_size(t);
  t->local_stride.n = fs * (i32)lane_rows(t);
  t->local_stride.c = fs;
  t->local_stride.h = t->shape.w;
  t->local_stride.w = 1;
  t->bcast_stride.n = t->bcast[0] == 1 ? t->local_stride.n : 0;
  t->bcast_stride.c = t->bcast[1] == 1 ? t->local_stride.c : 0;
  t->bcast_stride.h = t->bcast[2] == 1 ? t->local_stride.h : 0;
  t->bcast_stride.w = t->bcast[3] == 1 ? t->local_stride.w : 0;
}

void fill_tensor_global_stride(tensor_t *t, const dim4_t *global_shape) {
  if (t->constant) return;
  const i32 C = global_shape->c, H = global_shape->h, W = global_shape->w;
  t->global_stride.n = C * H * W;
  t->global_stride.c = t->bcast[1] <= 1 ? H * W : 0;
  t->global_stride.h = W;
  t->global_stride.w = 1;
}

// ---- Move ----

void tensor_move(const tensor_t *t, int direction, cmd_id_node_t *node) {
  if (t->constant) return;
  const dim4_t *s = &t->shape, *gs = &t->global_stride, *ls = &t->local_stride;
  if (t->data_fmt == 0 && direction == 0) {
    const int tr = t->transpose != 0;
    tensor_stride_move_gen_cmd(t->local_offset, 0, t->global_addr, tr ? s->c : s->n,
                               tr ? s->n : s->c, s->h, s->w, gs->n, gs->c, gs->h, gs->w, ls->n,
                               ls->c, ls->h, ls->w, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L,
                               (int)t->transpose, node);
  } else if (t->data_fmt == 0 && direction == 1) {
    tensor_stride_move_gen_cmd(t->local_offset, 0, t->global_addr, s->n, s->c, s->h, s->w, ls->n,
                               ls->c, ls->h, ls->w, gs->n, gs->c, gs->h, gs->w,
                               GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, (int)t->transpose,
                               node);
  } else if (t->data_fmt == 1 && direction == 0) {
    tensor_general_move_gen_cmd(t->global_addr, 0, s->n, s->c, s->h, s->w, gs->n, gs->c, gs->h,
                                gs->w, GDMA_VALUE_FORMAT_INT8, t->local_offset, 0, s->n, s->c,
                                s->h, s->w, ls->n, ls->c, ls->h, ls->w, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2L, (int)t->transpose, node);
  } else if (t->data_fmt == 1 && direction == 1) {
    tensor_general_move_gen_cmd(t->local_offset, 0, s->n, s->c, s->h, s->w, ls->n, ls->c, ls->h,
                                ls->w, GDMA_VALUE_FORMAT_FLOAT32, t->global_addr, 0, s->n, s->c,
                                s->h, s->w, gs->n, gs->c, gs->h, gs->w, GDMA_VALUE_FORMAT_INT8,
                                GDMA_VALUE_DIR_L2S, (int)t->transpose, node);
  } else {
    ASSERT_FS(0);
  }
}

// ---- Command wrappers ----

void tensor_md_scalar(tensor_t *C, tensor_t *A, tensor_t *B, int md_scalar_op, int flag,
                      cmd_id_node_t *node) {
  ASSERT_FS(is_bcast(A) == FALSE);
  ASSERT_FS(is_bcast(B) == FALSE);
  ASSERT_FS(is_bcast(C) == FALSE);
  ASSERT_FS(is_align(A) == TRUE);
  ASSERT_FS(is_align(B) == TRUE);
  ASSERT_FS(is_align(C) == TRUE);
  ASSERT_FS(C->constant == FALSE);
  ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, B) == FALSE);
  ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, C) == FALSE);
  ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(B, C) == FALSE);
  if (!A->constant) ASSERT_FS(same_shape(A, C) == TRUE);
  if (!B->constant) ASSERT_FS(same_shape(B, C) == TRUE);
  atomic_mdscalar_operation_gen_cmd(LADDR(A), LADDR(B), LADDR(C), C->shape.n, C->shape.c,
                                    C->shape.h, C->shape.w, (md_scalar_op_t)md_scalar_op, flag,
                                    (int)A->constant, (int)B->constant, A->value, B->value, node);
}

// The checks of tensor_arithmetic and its select form.
#define CHECK_ARITHMETIC(C, A, B)                                                  \
  do {                                                                             \
    ASSERT_FS(is_bcast(C) == FALSE);                                               \
    ASSERT_FS(C->constant == FALSE);                                               \
    ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, C) == FALSE);       \
    ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(B, C) == FALSE);       \
    if (!is_bcast(A) && !A->constant) ASSERT_FS(same_shape(A, C) == TRUE);         \
    if (!is_bcast(B) && !B->constant) ASSERT_FS(same_shape(B, C) == TRUE);         \
  } while (0)

void tensor_arithmetic(tensor_t *C, tensor_t *A, tensor_t *B, int op, cmd_id_node_t *node) {
  CHECK_ARITHMETIC(C, A, B);
  atomic_tensor_arithmetic_gen_cmd(LADDR(A), LADDR(B), LADDR(C), &C->shape, 0, 0, 0,
                                   &A->bcast_stride, &B->bcast_stride, &C->bcast_stride,
                                   (tensor_op_t)op, 0, (int)A->constant, A->value,
                                   (int)B->constant, B->value, 0, node);
}

void tensor_arithmetic_select(tensor_t *C, tensor_t *A, tensor_t *B, int op, cmd_id_node_t *node) {
  CHECK_ARITHMETIC(C, A, B);
  atomic_tensor_arithmetic_issue_select_gen_cmd(
      LADDR(A), LADDR(B), LADDR(C), &C->shape, 0, 0, 0, &A->bcast_stride, &B->bcast_stride,
      &C->bcast_stride, (tensor_op_t)op, 0, (int)A->constant, A->value, (int)B->constant,
      B->value, f32_bits(1.0f), 0, node);
}

// The checks of the one-input wrappers.
#define CHECK_ONE_INPUT(C, A)                                                      \
  do {                                                                             \
    ASSERT_FS(is_bcast(A) == FALSE);                                               \
    ASSERT_FS(is_bcast(C) == FALSE);                                               \
    ASSERT_FS(A->constant == FALSE);                                               \
    ASSERT_FS(C->constant == FALSE);                                               \
    ASSERT_FS(is_align(A) == TRUE);                                                \
    ASSERT_FS(is_align(C) == TRUE);                                                \
    ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, C) == FALSE);       \
    ASSERT_FS(same_shape(A, C) == TRUE);                                           \
  } while (0)

void tensor_md_sfu(tensor_t *C, tensor_t *A, u32 table, int count, int sfu_op,
                   cmd_id_node_t *node) {
  CHECK_ONE_INPUT(C, A);
  atomic_md_sfu_gen_cmd(LADDR(A), LADDR(C), C->shape.n, C->shape.c, C->shape.h, C->shape.w,
                        count, (sfu_op_t)sfu_op, table, node);
}

void tensor_table_lookup(tensor_t *C, tensor_t *A, u32 table, cmd_id_node_t *node) {
  CHECK_ONE_INPUT(C, A);
  atomic_table_lookup_gen_cmd(table, LADDR(A), LADDR(C), C->shape.n, C->shape.c, C->shape.h,
                              C->shape.w, 256, 1, node);
}

// ---- Binary operations ----

// The md_scalar road needs unbroadcast, aligned operands.
static int md_scalar_road(const tensor_t *C, const tensor_t *A, const tensor_t *B) {
  return !is_bcast(A) && !is_bcast(B) && is_align(A) && is_align(B) && is_align(C);
}

static void basic(tensor_t *C, tensor_t *A, tensor_t *B, int md_op, int tensor_op,
                  cmd_id_node_t *node) {
  if (md_scalar_road(C, A, B))
    tensor_md_scalar(C, A, B, md_op, 0, node);
  else
    tensor_arithmetic(C, A, B, tensor_op, node);
}

void tensor_add(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  basic(C, A, B, MD_SCALAR_ADD, TENSOR_OP_ADD, node);
}
void tensor_sub(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  basic(C, A, B, MD_SCALAR_SUB, TENSOR_OP_SUB, node);
}
void tensor_mul(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  basic(C, A, B, MD_SCALAR_MUL, TENSOR_OP_MUL, node);
}
void tensor_div(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  basic(C, A, B, MD_SCALAR_DIV, TENSOR_OP_DIV, node);
}
void tensor_maximum(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  tensor_arithmetic(C, A, B, TENSOR_OP_MAX, node);
}
void tensor_minimum(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  tensor_arithmetic(C, A, B, TENSOR_OP_MIN, node);
}

void tensor_logical_and(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  tensor_t one;
  tensor_add(D, A, B, node);
  tensor_arithmetic_select(C, D, CONSTANT_TENSOR(&one, 1.0f), TENSOR_OP_CMP_ASSIGN, node);
}

void tensor_logical_or(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  tensor_t zero;
  tensor_add(D, A, B, node);
  tensor_arithmetic_select(C, D, CONSTANT_TENSOR(&zero, 0.0f), TENSOR_OP_CMP_ASSIGN, node);
}

void tensor_equal(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  tensor_arithmetic_select(C, A, B, TENSOR_OP_EQ_ASSIGN, node);
}

void tensor_not_equal(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  tensor_t one;
  tensor_arithmetic_select(D, A, B, TENSOR_OP_EQ_ASSIGN, node);
  tensor_sub(C, CONSTANT_TENSOR(&one, 1.0f), D, node);
}

void tensor_greater(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  tensor_arithmetic_select(C, A, B, TENSOR_OP_CMP_ASSIGN, node);
}

void tensor_greater_equal(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D,
                          cmd_id_node_t *node) {
  tensor_less_equal(C, B, A, D, node);
}

void tensor_less(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  tensor_greater(C, B, A, node);
}

void tensor_less_equal(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  tensor_t one;
  tensor_arithmetic_select(D, A, B, TENSOR_OP_CMP_ASSIGN, node);
  tensor_sub(C, CONSTANT_TENSOR(&one, 1.0f), D, node);
}

void tensor_squared_difference(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, tensor_t *E,
                               cmd_id_node_t *node) {
  tensor_sub(D, A, B, node);
  tensor_cpy(E, D, node);
  tensor_mul(C, E, D, node);
}

void tensor_sqrt_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  tensor_t half;
  tensor_div(D, B, A, node);
  tensor_mul(C, D, CONSTANT_TENSOR(&half, 0.5f), node);
}

void tensor_rsqrt_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  tensor_t k;
  // -0.5 x B x A^3.
  tensor_mul(D, B, CONSTANT_TENSOR(&k, -0.5f), node);
  tensor_mul(C, A, D, node);
  tensor_mul(D, A, C, node);
  tensor_mul(C, A, D, node);
}

void tensor_tanh_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  // B x (1 - A^2).
  tensor_mul(C, A, B, node);
  tensor_mul(D, A, C, node);
  tensor_sub(C, B, D, node);
}

void tensor_sigmoid_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, tensor_t *E,
                         cmd_id_node_t *node) {
  // B x A x (1 - A).
  tensor_mul(D, A, B, node);
  tensor_mul(E, A, D, node);
  tensor_sub(C, D, E, node);
}

void tensor_inverse_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D,
                         cmd_id_node_t *node) {
  tensor_t zero;
  // -B x A^2.
  tensor_sub(C, CONSTANT_TENSOR(&zero, 0.0f), B, node);
  tensor_mul(D, C, A, node);
  tensor_mul(C, D, A, node);
}

void tensor_cpy(tensor_t *C, tensor_t *A, cmd_id_node_t *node) {
  tensor_t zero;
  tensor_add(C, A, CONSTANT_TENSOR(&zero, 0.0f), node);
}

void tensor_exp(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node) {
  tensor_t lo, hi;
  // C = x clamped to [-103, 88] = k + f; e^x = e^k (1 + (e^f - 1)).
  tensor_maximum(B, A, CONSTANT_TENSOR(&lo, -103.0f), node);
  tensor_minimum(C, B, CONSTANT_TENSOR(&hi, 88.0f), node);
  tensor_md_sfu(B, C, 0, 0, SFU_F2I, node);
  tensor_table_lookup(A, B, EX_INT_TABLE, node);
  tensor_sub(B, C, A, node);
  tensor_md_sfu(C, B, EX_EXPM1_COEFF, EX_COEFF_NUM, SFU_TAILOR, node);
  tensor_md_sfu(B, A, 0, 0, SFU_F2I, node);
  tensor_table_lookup(A, B, EX_EXP_TABLE, node);
  tensor_mul(B, C, A, node);
  tensor_add(C, A, B, node);
}

// A copy of `t` at the local offset of `at` with the broadcast factors of
// `factors`, its local strides filled again.
static tensor_t placed(const tensor_t *t, const tensor_t *at, const tensor_t *factors) {
  tensor_t r = *t;
  r.local_offset = at->local_offset;
  for (int i = 0; i < 4; i++) r.bcast[i] = factors->bcast[i];
  fill_tensor_local_stride(&r);
  return r;
}

void tensor_pow(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node) {
  tensor_t k;
  if (A->constant && B->constant) {
    const double a = bits_f32(A->value), b = bits_f32(B->value);
    tensor_cpy(C, CONSTANT_TENSOR(&k, (float)exp(log(a) * b)), node);
    return;
  }
  if (A->constant) {
    // a^B = e^(B ln a).
    tensor_mul(D, B, CONSTANT_TENSOR(&k, (float)log((double)bits_f32(A->value))), node);
    tensor_t W = placed(C, B, C);
    tensor_exp(C, D, &W, node);
    return;
  }
  // ln A = ln 2^e + ln m with A = m 2^e, worked in A's own extents.
  tensor_t X = placed(A, D, C), Y = placed(A, C, C), Z = placed(A, A, C), one;
  tensor_md_sfu(&X, &Z, 0, 0, SFU_NORMA, node);
  tensor_div(&Y, &Z, &X, node);
  tensor_md_sfu(&Z, &X, 0, 0, SFU_NORMB, node);
  tensor_table_lookup(&X, &Z, EX_LOG_TABLE, node);
  tensor_sub(&Z, &Y, CONSTANT_TENSOR(&one, 1.0f), node);
  tensor_md_sfu(&Y, &Z, EX_LOG1P_COEFF, EX_COEFF_NUM, SFU_TAILOR, node);
  tensor_add(&Z, &Y, &X, node);
  tensor_cpy(&Y, &Z, node);
  Y = placed(&Y, &Y, A);
  // D = B ln A; C = e^D.
  tensor_mul(D, &Y, B, node);
  tensor_t W = placed(C, A, C);
  tensor_exp(C, D, &W, node);
}

void tensor_depthwise(tensor_t *C, tensor_t *A, tensor_t *F, tensor_t *B, const int param[9],
                      cmd_id_node_t *node) {
  ASSERT_FS(is_bcast(A) == FALSE);
  ASSERT_FS(is_bcast(C) == FALSE);
  ASSERT_FS(is_bcast(F) == FALSE);
  ASSERT_FS(A->constant == FALSE);
  ASSERT_FS(C->constant == FALSE);
  ASSERT_FS(F->constant == FALSE);
  ASSERT_FS(is_align(A) == TRUE);
  ASSERT_FS(is_align(C) == TRUE);
  ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, C) == FALSE);
  ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, F) == FALSE);
  ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(C, F) == FALSE);
  const int has_bias = param[8];
  if (has_bias) {
    ASSERT_FS(is_bcast(B) == FALSE);
    ASSERT_FS(B->constant == FALSE);
    ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, B) == FALSE);
    ASSERT_FS(CONFILICT_IS_FATAL_FLAG == FALSE || confilict(C, B) == FALSE);
  }
  atomic_depthwise_gen_cmd(LADDR(A), LADDR(C), LADDR(F), has_bias == 1 ? LADDR(B) : 0, A->shape.n,
                           A->shape.c, A->shape.h, A->shape.w, C->shape.h, C->shape.w, F->shape.h,
                           F->shape.w, param[0], param[1], param[2], param[3], param[4], param[5],
                           param[7], param[6], has_bias, node);
}
