// Local compare-select, ReLU and reductions.
#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "local/compare_select.h"
#include "cmd/tensor_ops.h"
#include "cmd/bd_arith.h"
#include "cmd/bd_desc.h"
#include "cmd/bd_pool.h"


static u32 tag(u32 local) { return local | LOCAL_ADDR_TAG; }

// ---- Compare-select ----

// The EU-aligned float32 strides of an N x Cn x H x W tensor starting in the
// lane `addr` names.
static dim4_t cmp_strides(const dim4_t *shape, u32 addr) {
  dim4_t s;
  get_f32_tensor_local_stride(&s, shape, 1, addr);
  return s;
}

// A tensor-arithmetic command over the one shape and stride record; a constant
// operand passes its bits in place of its address.
static void cmp_arith(u32 A, int A_is_const, u32 B, int B_is_const, u32 R, tensor_op_t op,
                      const dim4_t *shape, const dim4_t *s, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(A_is_const ? 0 : A, B_is_const ? 0 : B, R, shape, 0, 0, 0, s,
                                   s, s, op, 0, A_is_const, A_is_const ? A : 0, B_is_const,
                                   B_is_const ? B : 0, 0, node);
}

// R = A > B ? C_value : 0 (bits).
static void cmp_select(u32 A, int A_is_const, u32 B, int B_is_const, u32 R, u32 C_value,
                       const dim4_t *shape, const dim4_t *s, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd_all(A_is_const ? 0 : A, B_is_const ? 0 : B, R, shape, 0, 0, 0,
                                       s, s, s, TENSOR_OP_CMP_ASSIGN, 0, A_is_const,
                                       A_is_const ? A : 0, B_is_const, B_is_const ? B : 0,
                                       C_value, 0, 0, node);
}

void md_cmp_gen_cmd(u32 A_addr, u32 B_addr, u32 C_addr, u32 D_addr, u32 Y_addr, u32 R_addr, int N,
                    int Cn, int H, int W, int A_is_constant, int B_is_constant, int C_is_constant,
                    int D_is_constant, float A_value, float B_value, float C_value,
                    float D_value, int result_skip, cmd_id_node_t *node) {
  ASSERT_FS(result_skip == 0 || result_skip == 2 || result_skip == 1);
  const dim4_t shape = {N, Cn, H, W};
  // The strides follow A's start lane (B's, then Y's, when A is a constant).
  const u32 lane_ref = !A_is_constant ? A_addr : !B_is_constant ? B_addr : Y_addr;
  const dim4_t s = cmp_strides(&shape, lane_ref);
  const u32 A = A_is_constant ? f32_bits(A_value) : A_addr;
  const u32 B = B_is_constant ? f32_bits(B_value) : B_addr;
  const u32 C = C_is_constant ? f32_bits(C_value) : C_addr;
  const u32 D = D_is_constant ? f32_bits(D_value) : D_addr;

  if (result_skip != 1) {
    ASSERT_FS((A_is_constant || A_addr != Y_addr) && (B_is_constant || B_addr != Y_addr) &&
              (C_is_constant || C_addr != Y_addr) && (D_is_constant || D_addr != Y_addr));
    ASSERT_FS((A_is_constant || A_addr != R_addr) && (B_is_constant || B_addr != R_addr) &&
              (C_is_constant || C_addr != R_addr) && (D_is_constant || D_addr != R_addr));
    ASSERT_FS(Y_addr != R_addr);
    // One mask of A > B and its complement, so that every element selects
    // exactly one of C and D (also +0 against -0, and NaN, which select D).
    cmp_select(A, A_is_constant, B, B_is_constant, Y_addr, 0xFFFFFFFFu, &shape, &s, node);
    cmp_arith(Y_addr, 0, 0xFFFFFFFFu, 1, R_addr, TENSOR_OP_XOR, &shape, &s, node);
    cmp_arith(R_addr, 0, D, D_is_constant, R_addr, TENSOR_OP_AND, &shape, &s, node);
    cmp_arith(Y_addr, 0, C, C_is_constant, Y_addr, TENSOR_OP_AND, &shape, &s, node);
    cmp_arith(R_addr, 0, Y_addr, 0, R_addr, TENSOR_OP_OR, &shape, &s, node);
  }
  if (result_skip != 2) cmp_arith(A, A_is_constant, B, B_is_constant, Y_addr, TENSOR_OP_MAX, &shape, &s, node);
}

void md_cmp_gen_cmd_lite(u32 A_addr, u32 B_addr, u32 Y_addr, u32 R_addr, int N, int Cn, int H,
                         int W, int A_is_constant, int B_is_constant, float A_value,
                         float B_value, float C_value, float D_value, int result_skip,
                         cmd_id_node_t *node) {
  const dim4_t shape = {N, Cn, H, W};
  const u32 lane_ref = !A_is_constant ? A_addr : !B_is_constant ? B_addr : Y_addr;
  const dim4_t s = cmp_strides(&shape, lane_ref);
  const u32 A = A_is_constant ? f32_bits(A_value) : A_addr;
  const u32 B = B_is_constant ? f32_bits(B_value) : B_addr;
  const int want_y = result_skip != 2;
  const int y_aliases = (!A_is_constant && A_addr == Y_addr) || (!B_is_constant && B_addr == Y_addr);

  if (want_y && !y_aliases) cmp_arith(A, A_is_constant, B, B_is_constant, Y_addr, TENSOR_OP_MAX, &shape, &s, node);
  if (result_skip != 1) {
    // Select C ^ D where A > B, 0 elsewhere, then XOR D in: C and D come out
    // bit for bit (a float difference and sum would round).
    const u32 c = f32_bits(C_value), d = f32_bits(D_value);
    cmp_select(A, A_is_constant, B, B_is_constant, R_addr, c ^ d, &shape, &s, node);
    if (d != 0) cmp_arith(R_addr, 0, d, 1, R_addr, TENSOR_OP_XOR, &shape, &s, node);
  }
  if (want_y && y_aliases) cmp_arith(A, A_is_constant, B, B_is_constant, Y_addr, TENSOR_OP_MAX, &shape, &s, node);
}

// ---- ReLU ----

void nodechip_relu_forward_local(u32 input, u32 output, const dim4_t *shape,
                                 float relu_upper_limit, cmd_id_node_t *node) {
  md_cmp_gen_cmd(tag(input), 0, 0, 0, tag(output), 0, shape->n, shape->c, shape->h, shape->w, 0,
                 1, 1, 1, 0.0f, 0.0f, 0.0f, 0.0f, 1, node);
  if (relu_upper_limit > 0.0f) {
    const dim4_t s = cmp_strides(shape, output);
    cmp_arith(tag(output), 0, f32_bits(relu_upper_limit), 1, tag(output), TENSOR_OP_MIN, shape,
              &s, node);
  }
}

// ---- Element-wise reduction steps ----

void local_reduce_func(u32 A, u32 B, u32 R, int reduce_method, const dim4_t *shape,
                       const dim4_t *stride, cmd_id_node_t *node) {
  switch (reduce_method) {
    case REDUCE_MEAN:
    case REDUCE_SUM: tensor_f32_add(A, B, R, shape, stride, node); break;
    case REDUCE_MAX: tensor_f32_max(A, B, R, shape, stride, node); break;
    case REDUCE_MIN: tensor_f32_min(A, B, R, shape, stride, node); break;
    case REDUCE_PROD: tensor_f32_prod(A, B, R, shape, stride, node); break;
    default: ASSERT_FS(0, "Not supported reduce_flag=%d", reduce_method);
  }
}

void local_reduce_func_fix8b(u32 A, u32 B, u32 R, int reduce_method, int is_signed,
                             const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  tensor_op_t op;
  switch (reduce_method) {
    case REDUCE_MAX: op = TENSOR_OP_MAX; break;
    case REDUCE_MIN: op = TENSOR_OP_MIN; break;
    default: ASSERT_FS(0, "Not supported reduce_flag=%d", reduce_method);
  }
  const u32 sg = is_signed ? 1u : 0u;
  const u32 addr[4] = {tag(A), tag(B), 0, tag(R)}, bcast[4] = {0, 0, 0, 0};
  const u32 Sign[3] = {sg, sg, sg}, Int8[4] = {1, 1, 0, 1};
  const u32 modes[4] = {BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN};
  const u32 shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, shape, bcast, stride, stride, stride, op, 0, 0, 0, 0,
                                         0, Sign, Int8, modes, shifts, 0, node);
}

// ---- Float32 trees ----

// Compact (unrounded) strides of a C x H x W tensor at `addr`, in words.
static dim4_t compact_strides(int C, int H, int W, u32 addr) {
  const dim4_t shape = {1, C, H, W};
  dim4_t s;
  get_f32_tensor_local_stride(&s, &shape, 0, addr);
  return s;
}

void tensor_reduce_n(u32 addr, int type_len, int N, int C, int H, int W, int reduce_method,
                     cmd_id_node_t *node) {
  dim4_t shape = {N, C, H, W};
  const dim4_t s = compact_strides(C, H, W, addr);
  while (N > 1) {
    const int h = (N & 1) ? 1 : N / 2;
    N -= h;
    shape.n = h;
    // Items 0 to h-1 take in items N to N+h-1. The batch step follows the
    // start lane (a tensor that starts late in the lanes takes more rows).
    local_reduce_func(addr, addr + (u32)type_len * (u32)s.n * (u32)N, addr, reduce_method, &shape,
                      &s, node);
  }
}

void tensor_reduce_hw(u32 addr, int type_len, int C, int H, int W, int reduce_method,
                      cmd_id_node_t *node) {
  int E = H * W;
  dim4_t shape = {1, C, 1, E};
  const dim4_t s = compact_strides(C, 1, E, addr);
  while (E > 1) {
    const int h = E / 2;
    E -= h;
    shape.w = h;
    local_reduce_func(addr, addr + (u32)E * (u32)type_len, addr, reduce_method, &shape, &s, node);
  }
}

void tensor_reduce_nhw(u32 src, u32 dst, int type_len, int N, int C, int H, int W,
                       int reduce_method, int copy, cmd_id_node_t *node) {
  if (C == 1) {  // the items of a single channel lie one after another
    H *= N;
    N = 1;
  }
  tensor_reduce_n(src, type_len, N, C, H, W, reduce_method, node);
  tensor_reduce_hw(src, type_len, C, H, W, reduce_method, node);
  const dim4_t shape = {1, C, 1, 1};
  const dim4_t s = compact_strides(C, H, W, src);
  if (copy)
    tensor_copy(src, dst, &shape, &s, node);
  else
    local_reduce_func(src, dst, dst, reduce_method, &shape, &s, node);
}

// ---- 8-bit trees on 4N words ----

void tensor_reduce_n_fix8b(u32 addr, int N, int C, int H, int W, int reduce_method,
                           int is_signed, cmd_id_node_t *node) {
  dim4_t shape = {4 * N, C, H, W};
  const dim4_t s = compact_strides(C, H, W, addr);
  while (N > 1) {
    const int h = N / 2;
    N -= h;
    shape.n = 4 * h;
    local_reduce_func_fix8b(addr, addr + (u32)N * (u32)s.n * 4u, addr, reduce_method, is_signed,
                            &shape, &s, node);
  }
}

void tensor_reduce_hw_fix8b(u32 addr, int C, int H, int W, int reduce_method, int is_signed,
                            cmd_id_node_t *node) {
  int E = H * W;
  dim4_t shape = {4, C, 1, E};
  const dim4_t s = compact_strides(C, 1, E, addr);
  while (E > 1) {
    const int h = E / 2;
    E -= h;
    shape.w = h;
    local_reduce_func_fix8b(addr, addr + (u32)E * 4u, addr, reduce_method, is_signed, &shape, &s,
                            node);
  }
}

void tensor_reduce_4n_fix8b(u32 addr, int C, int H, int W, int reduce_method, int is_signed,
                            cmd_id_node_t *node) {
  dim4_t shape = {4, C, 1, 1};
  const dim4_t s = {1, H * W, 1, 1};
  int k = 4;
  while (k > 1) {
    const int h = k / 2;
    k -= h;
    shape.n = h;
    // Bytes 0 to h-1 of each word take in bytes k to k+h-1.
    local_reduce_func_fix8b(addr, addr + (u32)k, addr, reduce_method, is_signed, &shape, &s, node);
  }
}

void tensor_reduce_nhw_fix8b(u32 src, u32 dst, int N, int C, int H, int W, int reduce_4n,
                             int reduce_method, int is_signed, int copy, cmd_id_node_t *node) {
  tensor_reduce_n_fix8b(src, N, C, H, W, reduce_method, is_signed, node);
  tensor_reduce_hw_fix8b(src, C, H, W, reduce_method, is_signed, node);
  if (reduce_4n) tensor_reduce_4n_fix8b(src, C, H, W, reduce_method, is_signed, node);
  const dim4_t s = compact_strides(C, H, W, src);
  if (copy) {
    const dim4_t shape = {1, C, 1, 1};
    tensor_copy(src, dst, &shape, &s, node);
  } else {
    const dim4_t shape = {4, C, 1, 1};
    local_reduce_func_fix8b(src, dst, dst, reduce_method, is_signed, &shape, &s, node);
  }
}

// ---- H and W by one pooling command ----

void nodechip_reduce_local_onedim(u32 input, u32 output, const dim4_t *shape, int reduce_method,
                                  u8 reduce_w, u8 reduce_h, cmd_id_node_t *node) {
  const int method = reduce_method;
  ASSERT_FS(method != 4);
  const int N = shape->n, C = shape->c, H = shape->h, W = shape->w;
  const int kh = reduce_h ? H : 1, kw = reduce_w ? W : 1;
  const int oh = reduce_h ? 1 : H, ow = reduce_w ? 1 : W;
  switch (method) {
    case REDUCE_MEAN:
    case REDUCE_SUM: {
      const float scale = method == REDUCE_MEAN ? 1.0f / (float)(kh * kw) : 1.0f;
      atomic_avg_pooling_gen_cmd(tag(input), tag(output), N, C, H, W, oh, ow, kh, kw, 0, 0, 0, 0,
                                 1, 1, 0, 0, f32_bits(scale), node);
      break;
    }
    case REDUCE_MAX:
      atomic_max_pooling_gen_cmd(tag(input), tag(output), N, C, H, W, oh, ow, kh, kw, 0, 0, 0, 0,
                                 1, 1, 0, 0, node);
      break;
    case REDUCE_MIN: {  // min(x) = -max(-x)
      const dim4_t oshape = {N, C, oh, ow};
      tensor_f32_const_prod(input, f32_bits(-1.0f), input, shape, NULL, node);
      atomic_max_pooling_gen_cmd(tag(input), tag(output), N, C, H, W, oh, ow, kh, kw, 0, 0, 0, 0,
                                 1, 1, 0, 0, node);
      tensor_f32_const_prod(output, f32_bits(-1.0f), output, &oshape, NULL, node);
      break;
    }
    default: break;
  }
}
