// Binary operations on tensor records: the operation tables, the bank and
// slice plans, and the 4-D and flat layers.
#include "layers/eltwise/binary.h"

#include <string.h>

#include "cmd/gdma.h"
#include "layers/data/select.h"
#include "cmd/local_mem.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"


int is_logical_binary_op(int code) { return (u32)(code - BINARY_GT) <= 5u ? 1 : 0; }

void fill_tensor_data_fmt(int *A_fmt, int *B_fmt, int *R_fmt, int op) {
  if (op < 0 || op >= BINARY_TYPE_NUM) {
    ASSERT(0, "op=%d", op);
    return;
  }
  const int logical = op == BINARY_TYPE_LOGICAL_AND || op == BINARY_TYPE_LOGICAL_OR;
  const int compare = op >= BINARY_TYPE_EQUAL && op <= BINARY_TYPE_LESS_EQUAL;
  *A_fmt = logical ? 1 : 0;
  *B_fmt = logical ? 1 : 0;
  *R_fmt = logical || compare ? 1 : 0;
}

int binary_extra_tensor_num(int op) {
  switch (op) {
    case BINARY_TYPE_ADD:
    case BINARY_TYPE_SUB:
    case BINARY_TYPE_MUL:
    case BINARY_TYPE_DIV:
    case BINARY_TYPE_MAXIMUM:
    case BINARY_TYPE_MINIMUM:
    case BINARY_TYPE_EQUAL:
    case BINARY_TYPE_GREATER:
    case BINARY_TYPE_LESS:
      return 0;
    case BINARY_TYPE_POW:
    case BINARY_TYPE_LOGICAL_AND:
    case BINARY_TYPE_LOGICAL_OR:
    case BINARY_TYPE_NOT_EQUAL:
    case BINARY_TYPE_GREATER_EQUAL:
    case BINARY_TYPE_LESS_EQUAL:
    case BINARY_TYPE_SQRT_GRAD:
    case BINARY_TYPE_RSQRT_GRAD:
    case BINARY_TYPE_TANH_GRAD:
    case BINARY_TYPE_INVERSE_GRAD:
      return 1;
    case BINARY_TYPE_SQUARED_DIFFERENCE:
    case BINARY_TYPE_SIGMOID_GRAD:
      return 2;
  }
  ASSERT(0, "op=%d", op);
  return 0;
}

int global_byte_num(int format) {
  if (format == 0) return 4;
  if (format == 1) return 1;
  ASSERT(0, "format=%d", format);
  return 0;
}

static void binary_implement(tensor_t *A, tensor_t *B, tensor_t *R, tensor_t *S, int op,
                             cmd_id_node_t *node) {
  switch (op) {
    case BINARY_TYPE_ADD: tensor_add(R, A, B, node); return;
    case BINARY_TYPE_SUB: tensor_sub(R, A, B, node); return;
    case BINARY_TYPE_MUL: tensor_mul(R, A, B, node); return;
    case BINARY_TYPE_DIV: tensor_div(R, A, B, node); return;
    case BINARY_TYPE_POW: tensor_pow(R, A, B, &S[0], node); return;
    case BINARY_TYPE_MAXIMUM: tensor_maximum(R, A, B, node); return;
    case BINARY_TYPE_MINIMUM: tensor_minimum(R, A, B, node); return;
    case BINARY_TYPE_LOGICAL_AND: tensor_logical_and(R, A, B, &S[0], node); return;
    case BINARY_TYPE_LOGICAL_OR: tensor_logical_or(R, A, B, &S[0], node); return;
    case BINARY_TYPE_EQUAL: tensor_equal(R, A, B, node); return;
    case BINARY_TYPE_NOT_EQUAL: tensor_not_equal(R, A, B, &S[0], node); return;
    case BINARY_TYPE_GREATER: tensor_greater(R, A, B, node); return;
    case BINARY_TYPE_GREATER_EQUAL: tensor_greater_equal(R, A, B, &S[0], node); return;
    case BINARY_TYPE_LESS: tensor_less(R, A, B, node); return;
    case BINARY_TYPE_LESS_EQUAL: tensor_less_equal(R, A, B, &S[0], node); return;
    case BINARY_TYPE_SQUARED_DIFFERENCE: tensor_squared_difference(R, A, B, &S[0], &S[1], node); return;
    case BINARY_TYPE_SQRT_GRAD: tensor_sqrt_grad(R, A, B, &S[0], node); return;
    case BINARY_TYPE_RSQRT_GRAD: tensor_rsqrt_grad(R, A, B, &S[0], node); return;
    case BINARY_TYPE_TANH_GRAD: tensor_tanh_grad(R, A, B, &S[0], node); return;
    case BINARY_TYPE_SIGMOID_GRAD: tensor_sigmoid_grad(R, A, B, &S[0], &S[1], node); return;
    case BINARY_TYPE_INVERSE_GRAD: tensor_inverse_grad(R, A, B, &S[0], node); return;
  }
  ASSERT(0, "op=%d", op);
}

// ---- Planning ----

void binary_banks_of(binary_banks_t *plan, int op, int A_const, int B_const) {
  memset(plan, 0, sizeof *plan);
  plan->scratch = binary_extra_tensor_num(op);
  const int tensors = 1 + (A_const ? 0 : 1) + (B_const ? 0 : 1);
  plan->banks = BINARY_BANKS / (tensors + plan->scratch);
  static const char *const names[5] = {"A", "B", "R", "scratch 0", "scratch 1"};
  const int used[5] = {!A_const, !B_const, 1, plan->scratch > 0, plan->scratch > 1};
  u32 bank = 0;
  for (int i = 0; i < 5; i++) {
    if (!used[i]) continue;
    plan->offset[i] = bank * LOCAL_MEM_BANK_SIZE;
    plan->areas[plan->area_count++] = {names[i], plan->offset[i], (u32)plan->banks * LOCAL_MEM_BANK_SIZE};
    bank += (u32)plan->banks;
  }
}

u64 binary_local_size(const dim4_t *s) {
  const u64 plane = ceil_div_u64((u64)(u32)s->h * (u32)s->w, EU_NUM) * EU_NUM;
  return ceil_div_u64((u64)(u32)s->c, NPU_NUM) * (u64)(u32)s->n * 4u * plane;
}

int tensor_slicing(dim4_t *slice, const dim4_t *shape, u64 budget) {
  *slice = *shape;
  if (binary_local_size(slice) <= budget) return 1;
  const dim4_t lower = {1, shape->c < NPU_NUM ? shape->c : NPU_NUM, 1, 1};
  const dim4_t upper = *shape;
  ASSERT(lower.n <= upper.n);
  ASSERT(lower.c <= upper.c);
  ASSERT(lower.h <= upper.h);
  ASSERT(lower.w <= upper.w);
  const int lo_of[4] = {lower.n, lower.c, lower.h, lower.w}, hi_of[4] = {upper.n, upper.c, upper.h, upper.w};
  i32 *dims[4] = {&slice->n, &slice->c, &slice->h, &slice->w};
  for (int d = 0; d < 4; d++) {
    *dims[d] = lo_of[d];
    if (binary_local_size(slice) > budget) continue;
    int lo = lo_of[d], hi = hi_of[d];
    for (;;) {
      const int mid = (int)(((i64)lo + hi) / 2);
      if (mid == lo) break;
      *dims[d] = mid;
      if (binary_local_size(slice) <= budget)
        lo = mid;
      else
        hi = mid;
    }
    *dims[d] = lo;
    return 1;
  }
  return 0;
}

void simple_binary_piece_of(dim4_t *piece, u64 remaining, int banks) {
  // Pieces stay below 2^31 elements whatever the length: a long length is
  // done in several pieces (its low 32 bits alone could be 0 or negative).
  const i64 l = remaining > 0x7fffffffull ? 0x7fffffff : (i64)remaining;
  const i64 w = l < EU_NUM ? l : EU_NUM;
  const i64 c = l / w < NPU_NUM ? l / w : NPU_NUM;
  const i64 cap = (i64)banks * 16384;
  piece->n = 1;
  piece->c = (int)c;
  piece->h = (int)((l < cap ? l : cap) / (w * c));
  piece->w = (int)w;
}

// ---- Operand set-up ----

static void fill_tensor_constant_value(tensor_t *t, u64 addr, u64 buffer_addr, cmd_id_node_t *node) {
  ASSERT_FS(t->constant == TRUE);
  if (t->data_fmt == 0) {
    t->value = f32_bits(get_float_in_arm(addr, buffer_addr, node));
  } else if (t->data_fmt == 1) {
    t->value = f32_bits(get_u8_in_arm(addr, buffer_addr, node) != 0 ? 1.0f : 0.0f);
  } else {
    ASSERT_FS(0, "data_fmt=%d", (int)t->data_fmt);
  }
}

// A, B, R and the two scratch records of a request: modes, values, formats,
// stored constants read, bank offsets.
static void set_up_operands(tensor_t t[5], binary_banks_t *banks, u64 A_addr, u64 B_addr, u64 R_addr,
                            u64 buffer_addr, int A_mode, u32 A_value, int B_mode, u32 B_value, int op,
                            cmd_id_node_t *node) {
  int fmt[3];
  fill_tensor_data_fmt(&fmt[0], &fmt[1], &fmt[2], op);
  binary_banks_of(banks, op, A_mode != 0, B_mode != 0);
  const u64 addr[3] = {A_addr, B_addr, R_addr};
  const int mode[2] = {A_mode, B_mode};
  const u32 value[2] = {A_value, B_value};
  for (int i = 0; i < 3; i++) {
    t[i].global_addr = addr[i];
    t[i].data_fmt = (u32)fmt[i];
    t[i].local_offset = banks->offset[i];
  }
  for (int i = 0; i < 2; i++) {
    if (mode[i] == 0) continue;
    t[i].constant = TRUE;
    t[i].value = value[i];
    DEFAULT_DIM4(&t[i].shape);
    t[i].local_offset = 0;
  }
  for (int i = 0; i < 2; i++)
    if (mode[i] == BINARY_OPERAND_STORED) fill_tensor_constant_value(&t[i], addr[i], buffer_addr, node);
  t[3].local_offset = banks->offset[3];
  t[4].local_offset = banks->offset[4];
}

// ---- Flat layer ----

void nodechip_simple_binary(u64 A_addr, u64 B_addr, u64 R_addr, u64 buffer_addr, u64 length, int A_const_mode,
                            u32 A_const_value, int B_const_mode, u32 B_const_value, int op,
                            cmd_id_node_t *node) {
  tensor_t t[5];
  for (int i = 0; i < 5; i++) DEFAULT_TENSOR(&t[i]);
  binary_banks_t banks;
  set_up_operands(t, &banks, A_addr, B_addr, R_addr, buffer_addr, A_const_mode, A_const_value, B_const_mode,
                  B_const_value, op, node);
  const u64 step[3] = {(u64)global_byte_num((int)t[0].data_fmt), (u64)global_byte_num((int)t[1].data_fmt),
                       (u64)global_byte_num((int)t[2].data_fmt)};
  u64 left = length;
  while (left != 0) {
    dim4_t piece;
    simple_binary_piece_of(&piece, left, banks.banks);
    const u64 len_todo = (u64)piece.n * (u64)piece.c * (u64)piece.h * (u64)piece.w, len_undo = left;
    ASSERT_FS(len_todo <= len_undo);
    const u64 done = len_todo;
    for (int i = 0; i < 5; i++) {
      if (t[i].constant) continue;
      t[i].shape = piece;
      fill_tensor_global_stride(&t[i], &piece);
      fill_tensor_local_stride(&t[i]);
    }
    tensor_move(&t[0], 0, node);
    tensor_move(&t[1], 0, node);
    binary_implement(&t[0], &t[1], &t[2], &t[3], op, node);
    tensor_move(&t[2], 1, node);
    left -= done;
    for (int i = 0; i < 3; i++)
      if (!t[i].constant) t[i].global_addr += done * step[i];
  }
}

// ---- 4-D layer ----

void nodechip_binary(u64 A_addr, u64 B_addr, u64 R_addr, u64 buffer_addr, int n, int c, int h, int w,
                     int A_bcast_n, int A_bcast_c, int A_bcast_h, int A_bcast_w, int B_bcast_n, int B_bcast_c,
                     int B_bcast_h, int B_bcast_w, int A_const_mode, float A_const_value, int B_const_mode,
                     float B_const_value, int op, cmd_id_node_t *node) {
  if (A_const_mode == 0) {
    ASSERT_FS(A_bcast_n == 1 || A_bcast_n == n);
    ASSERT_FS(A_bcast_c == 1 || A_bcast_c == c);
    ASSERT_FS(A_bcast_h == 1 || A_bcast_h == h);
    ASSERT_FS(A_bcast_w == 1 || A_bcast_w == w);
  }
  if (B_const_mode == 0) {
    ASSERT_FS(B_bcast_n == 1 || B_bcast_n == n);
    ASSERT_FS(B_bcast_c == 1 || B_bcast_c == c);
    ASSERT_FS(B_bcast_h == 1 || B_bcast_h == h);
    ASSERT_FS(B_bcast_w == 1 || B_bcast_w == w);
  }
  // Negative extents would be taken as huge ones by the slice plan.
  ASSERT_FS(n >= 0 && c >= 0 && h >= 0 && w >= 0);
  const int Af[4] = {A_bcast_n, A_bcast_c, A_bcast_h, A_bcast_w};
  const int Bf[4] = {B_bcast_n, B_bcast_c, B_bcast_h, B_bcast_w};
  int A_bcast = 0, B_bcast = 0;
  for (int i = 0; i < 4; i++) {
    A_bcast |= A_const_mode == 0 && Af[i] != 1;
    B_bcast |= B_const_mode == 0 && Bf[i] != 1;
  }
  if (!A_bcast && !B_bcast) {
    nodechip_simple_binary(A_addr, B_addr, R_addr, buffer_addr, (u64)n * (u64)c * (u64)h * (u64)w, A_const_mode,
                           f32_bits(A_const_value), B_const_mode, f32_bits(B_const_value), op, node);
    return;
  }
  tensor_t t[5];
  for (int i = 0; i < 5; i++) DEFAULT_TENSOR(&t[i]);
  for (int i = 0; i < 4; i++) {
    t[0].bcast[i] = A_const_mode == 0 ? Af[i] : 1;
    t[1].bcast[i] = B_const_mode == 0 ? Bf[i] : 1;
  }
  binary_banks_t banks;
  set_up_operands(t, &banks, A_addr, B_addr, R_addr, buffer_addr, A_const_mode, f32_bits(A_const_value),
                  B_const_mode, f32_bits(B_const_value), op, node);
  const dim4_t R_shape = {n, c, h, w};
  // Global strides from each operand's own dense shape.
  for (int i = 0; i < 3; i++) {
    if (t[i].constant) continue;
    const dim4_t own = {n / t[i].bcast[0], c / t[i].bcast[1], h / t[i].bcast[2], w / t[i].bcast[3]};
    fill_tensor_global_stride(&t[i], &own);
  }
  dim4_t slice;
  const int res = tensor_slicing(&slice, &R_shape, (u64)banks.banks * LOCAL_MEM_BANK_SIZE);
  ASSERT_FS(res == TRUE);
  const u64 base[3] = {A_addr, B_addr, R_addr};
  for (int n0 = 0; n0 < n; n0 += slice.n)
    for (int c0 = 0; c0 < c; c0 += slice.c)
      for (int h0 = 0; h0 < h; h0 += slice.h)
        for (int w0 = 0; w0 < w; w0 += slice.w) {
          const dim4_t s = {n - n0 < slice.n ? n - n0 : slice.n, c - c0 < slice.c ? c - c0 : slice.c,
                            h - h0 < slice.h ? h - h0 : slice.h, w - w0 < slice.w ? w - w0 : slice.w};
          const i64 origin[4] = {n0, c0, h0, w0};
          for (int i = 0; i < 3; i++) {
            tensor_t *x = &t[i];
            if (x->constant) continue;
            const i64 stride[4] = {x->global_stride.n, x->global_stride.c, x->global_stride.h, x->global_stride.w};
            i64 off = 0;
            for (int d = 0; d < 4; d++)
              if (x->bcast[d] == 1) off += origin[d] * stride[d];
            x->global_addr = base[i] + (u64)off * (u64)global_byte_num((int)x->data_fmt);
            if (i == 2) {
              x->shape = s;
            } else {
              x->shape.n = x->bcast[0] == 1 ? s.n : 1;
              x->shape.c = x->bcast[1] == 1 ? s.c : (s.c < NPU_NUM ? s.c : NPU_NUM);
              x->shape.h = x->bcast[2] == 1 ? s.h : 1;
              x->shape.w = x->bcast[3] == 1 ? s.w : 1;
            }
            fill_tensor_local_stride(x);
          }
          for (int i = 3; i < 5; i++) {
            t[i].shape = s;
            fill_tensor_local_stride(&t[i]);
          }
          tensor_move(&t[0], 0, node);
          tensor_move(&t[1], 0, node);
          binary_implement(&t[0], &t[1], &t[2], &t[3], op, node);
          tensor_move(&t[2], 1, node);
        }
}
