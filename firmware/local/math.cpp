// Float32 math on local memory and the unary table.
#include "local/math.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/bd_arith.h"
#include "cmd/tensor_ops.h"
#include "local/conversion.h"

#define F32_ZERO 0x00000000u
#define F32_ONE 0x3F800000u
#define F32_MINUS_ONE 0xBF800000u
#define F32_HALF 0x3F000000u
#define F32_TWO 0x40000000u
#define F32_MINUS_TWO 0xC0000000u
#define F32_EXP_HI 0x42B00000u    // 88.0
#define F32_EXP_LO 0xC2CE0000u    // -103.0
#define F32_TWO_PI 0x40C90FDBu    // 6.2831855
#define F32_PI 0x40490FDBu        // 3.1415927
#define F32_HALF_PI 0x3FC90FDBu   // 1.5707964
#define F32_COS2_FLOOR 0x322BCC77u  // 1e-8
#define F32_MAX 0x7F7FFFFFu
#define F32_MIN_NORMAL 0x00800000u
#define SIGN_MASK 0x80000000u
#define ABS_MASK 0x7FFFFFFFu
#define ALL_ONES 0xFFFFFFFFu

#define NEED_BUFFERS(cond, k) ASSERT(cond, "%s requires %d buffers", __func__, k)


// ---- Exponential and logarithm ----

void tensor_f32_exp(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  const u32 b0 = bufs[0];
  // x = k + f with k = trunc(x) in [-103, 88], f in (-1, 1): e^x = e^k (1 + (e^f - 1)).
  tensor_f32_const_min(x, F32_EXP_HI, y, shape, stride, node);
  tensor_f32_const_max(y, F32_EXP_LO, x, shape, stride, node);
  tensor_f32_to_i32(x, y, shape, stride, node);
  tensor_u8_lookup(y, b0, EX_EXP_TABLE, EX_TABLE_LEN, shape, stride, node);
  tensor_i8_to_f32(y, y, shape, stride, node);
  tensor_f32_aligned_sub(x, y, y, shape, stride, node);
  tensor_f32_taylor(y, y, EX_EXPM1_COEFF, EX_COEFF_NUM, shape, stride, node);
  tensor_f32_const_aligned_add(y, F32_ONE, y, shape, stride, node);
  tensor_f32_aligned_mul(y, b0, y, shape, stride, node);
}

void tensor_f32_log(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  const u32 b0 = bufs[0];
  // Zero, negative and denormal inputs become the smallest normal float.
  tensor_f32_const_min(x, F32_MAX, b0, shape, stride, node);
  tensor_f32_const_max(b0, F32_MIN_NORMAL, x, shape, stride, node);
  // x = m 2^e: ln x = ln 2^e (table) + ln(1 + (m - 1)) (series).
  tensor_f32_norm_a(x, b0, shape, stride, node);
  tensor_f32_aligned_div(x, b0, y, shape, stride, node);
  tensor_f32_norm_b(b0, x, shape, stride, node);
  tensor_u8_lookup(x, b0, EX_LOG_TABLE, EX_TABLE_LEN, shape, stride, node);
  tensor_f32_const_aligned_sub(y, F32_ONE, x, shape, stride, node);
  tensor_f32_taylor(x, y, EX_LOG1P_COEFF, EX_COEFF_NUM, shape, stride, node);
  tensor_f32_aligned_add(y, b0, x, shape, stride, node);
  tensor_copy(x, y, shape, stride, node);
}

void tensor_f32_expm1(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 b0 = bufs[0], y_buf[1] = {top_lo};
  tensor_f32_exp(bottom_lo, b0, y_buf, 1, shape, stride, node);
  tensor_f32_const_aligned_sub(b0, F32_ONE, top_lo, shape, stride, node);
}

void tensor_f32_log1p(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 b0 = bufs[0], x_buf[1] = {bottom_lo};
  tensor_f32_const_aligned_add(bottom_lo, F32_ONE, b0, shape, stride, node);
  tensor_f32_log(b0, top_lo, x_buf, 1, shape, stride, node);
}

void tensor_f32_sigmoid(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                        const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 x = bottom_lo, y = top_lo, b0 = bufs[0];
  tensor_f32_const_aligned_mul(x, F32_MINUS_ONE, y, shape, stride, node);
  tensor_f32_exp(y, x, bufs, num_buffer, shape, stride, node);
  tensor_f32_const_aligned_add(x, F32_ONE, b0, shape, stride, node);
  tensor_f32_const_aligned_div_inversed(b0, F32_ONE, y, shape, stride, node);
}

void tensor_f32_tanh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 x = bottom_lo, y = top_lo;
  // tanh x = 1 - 2 / (e^2x + 1).
  tensor_f32_const_aligned_mul(x, F32_TWO, y, shape, stride, node);
  tensor_f32_exp(y, x, bufs, num_buffer, shape, stride, node);
  tensor_f32_const_aligned_add(x, F32_ONE, y, shape, stride, node);
  tensor_f32_const_aligned_div_inversed(y, F32_MINUS_TWO, x, shape, stride, node);
  tensor_f32_const_aligned_add(x, F32_ONE, y, shape, stride, node);
}

// (e^x -+ e^-x) / 2.
static void sinh_cosh(u32 x, u32 y, const u32 *bufs, int num_buffer, int cosh,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  const u32 b0 = bufs[0];
  tensor_f32_exp(x, y, bufs, num_buffer, shape, stride, node);
  tensor_f32_const_aligned_div_inversed(y, F32_ONE, x, shape, stride, node);
  if (cosh)
    tensor_f32_aligned_add(y, x, b0, shape, stride, node);
  else
    tensor_f32_aligned_sub(y, x, b0, shape, stride, node);
  tensor_f32_const_aligned_mul(b0, F32_HALF, y, shape, stride, node);
}

void tensor_f32_sinh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  sinh_cosh(bottom_lo, top_lo, bufs, num_buffer, 0, shape, stride, node);
}

void tensor_f32_cosh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  sinh_cosh(bottom_lo, top_lo, bufs, num_buffer, 1, shape, stride, node);
}

void tensor_f32_asinh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 x = bottom_lo, y = top_lo, b0 = bufs[0], x_buf[1] = {x};
  // s = sqrt(x^2 + 1), z = |x| + s. asinh x = ln z for x >= 0 and, by the odd
  // symmetry, ln(1 / z) for negative x: x + s itself would cancel there.
  tensor_f32_aligned_mul(x, x, y, shape, stride, node);
  tensor_f32_const_aligned_add(y, F32_ONE, b0, shape, stride, node);
  tensor_f32_sqrt(b0, y, shape, stride, node);
  tensor_i32_const_and(x, ABS_MASK, b0, shape, stride, node);
  tensor_f32_aligned_add(b0, y, b0, shape, stride, node);
  tensor_f32_const_aligned_div_inversed(b0, F32_ONE, y, shape, stride, node);
  // x = all ones where the sign bit was set; b0 = that mask ? 1 / z : z.
  tensor_i32_const_and(x, SIGN_MASK, x, shape, stride, node);
  tensor_i32_const_equal_assign(x, SIGN_MASK, x, ALL_ONES, shape, stride, node);
  tensor_i32_and(y, x, y, shape, stride, node);
  tensor_i32_not(x, x, shape, stride, node);
  tensor_i32_and(b0, x, x, shape, stride, node);
  tensor_i32_or(x, y, b0, shape, stride, node);
  tensor_f32_log(b0, y, x_buf, 1, shape, stride, node);
}

void tensor_f32_acosh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 x = bottom_lo, y = top_lo, b0 = bufs[0], x_buf[1] = {x};
  // ln(x + sqrt(x^2 - 1)).
  tensor_f32_aligned_mul(x, x, y, shape, stride, node);
  tensor_f32_const_aligned_add(y, F32_MINUS_ONE, b0, shape, stride, node);
  tensor_f32_sqrt(b0, y, shape, stride, node);
  tensor_f32_aligned_add(x, y, b0, shape, stride, node);
  tensor_f32_log(b0, y, x_buf, 1, shape, stride, node);
}

void tensor_f32_atanh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 x = bottom_lo, y = top_lo, b0 = bufs[0], y_buf[1] = {y};
  // ln((1 + x) / (1 - x)) / 2.
  tensor_f32_const_aligned_add(x, F32_ONE, y, shape, stride, node);
  tensor_f32_const_aligned_sub_inversed(x, F32_ONE, b0, shape, stride, node);
  tensor_f32_aligned_div(y, b0, x, shape, stride, node);
  tensor_f32_log(x, b0, y_buf, 1, shape, stride, node);
  tensor_f32_const_aligned_mul(b0, F32_HALF, y, shape, stride, node);
}

// ---- Floor division by a constant ----

void tensor_f32_const_floordiv(u32 A_addr, u32 k_bits, u32 B_addr, const u32 *bufs,
                               int num_buffer, const dim4_t *shape, const dim4_t *stride,
                               cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=3, 3);
  ASSERT_FS(A_addr != B_addr);
  const u32 b0 = bufs[0];
  tensor_f32_const_aligned_div(A_addr, k_bits, b0, shape, stride, node);
  tensor_f32_floor(b0, B_addr, bufs + 1, 2, shape, stride, node);
}

void tensor_f32_const_floormod(u32 x, u32 k_bits, u32 y, const u32 *bufs, int num_buffer,
                               const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=3, 3);
  const u32 b0 = bufs[0];
  tensor_f32_const_floordiv(x, k_bits, y, bufs, 3, shape, stride, node);
  tensor_f32_const_aligned_mul(y, k_bits, b0, shape, stride, node);
  tensor_f32_aligned_sub(x, b0, y, shape, stride, node);
}

// ---- Trigonometric functions ----

void tensor_f32_sin_simple(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                           cmd_id_node_t *node) {
  tensor_f32_taylor(x, y, EX_SIN_COEFF, EX_TRIG_COEFF_NUM, shape, stride, node);
}

void tensor_f32_sin(u32 A_addr, u32 B_addr, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=3, 3);
  ASSERT_FS(A_addr != B_addr);
  // y = x mod 2 pi in [0, 2 pi); sin(pi - y) = sin y with pi - y in (-pi, pi].
  tensor_f32_const_floormod(A_addr, F32_TWO_PI, B_addr, bufs, 3, shape, stride, node);
  tensor_f32_const_aligned_sub_inversed(B_addr, F32_PI, A_addr, shape, stride, node);
  tensor_f32_sin_simple(A_addr, B_addr, shape, stride, node);
}

void tensor_f32_cos(u32 A_addr, u32 B_addr, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=3, 3);
  ASSERT_FS(A_addr != B_addr);
  const u32 b0 = bufs[0], sin_bufs[3] = {A_addr, bufs[1], bufs[2]};
  tensor_f32_const_aligned_sub_inversed(A_addr, F32_HALF_PI, b0, shape, stride, node);
  tensor_f32_sin(b0, B_addr, sin_bufs, 3, shape, stride, node);
}

// y = tan r with r = (t mod pi) - pi/2 in [-pi/2, pi/2), i.e. tan(t - pi/2):
// sin r / sqrt(max(1 - sin^2 r, 1e-8)), cos r being non-negative there.
static void __tensor_f32_tan_imm(u32 t, u32 y, const u32 *bufs, const dim4_t *shape,
                                 const dim4_t *stride, cmd_id_node_t *node) {
  const u32 u0 = bufs[0], u1 = bufs[1], u2 = bufs[2];
  tensor_f32_const_floormod(t, F32_PI, y, bufs, 3, shape, stride, node);
  tensor_f32_const_aligned_sub(y, F32_HALF_PI, u0, shape, stride, node);
  tensor_f32_sin_simple(u0, u1, shape, stride, node);
  tensor_f32_aligned_mul(u1, u1, u0, shape, stride, node);
  tensor_f32_const_aligned_sub_inversed(u0, F32_ONE, y, shape, stride, node);
  tensor_f32_const_max(y, F32_COS2_FLOOR, u0, shape, stride, node);
  tensor_f32_rsqrt(u0, u2, shape, stride, node);
  tensor_f32_aligned_mul(u2, u1, y, shape, stride, node);
}

void tensor_f32_tan(u32 A_addr, u32 B_addr, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=3, 3);
  ASSERT_FS(A_addr != B_addr);
  const u32 b0 = bufs[0], tan_bufs[3] = {A_addr, bufs[1], bufs[2]};
  tensor_f32_const_aligned_add(A_addr, F32_HALF_PI, b0, shape, stride, node);
  __tensor_f32_tan_imm(b0, B_addr, tan_bufs, shape, stride, node);
}

void tensor_f32_cot(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=3, 3);
  const u32 b0 = bufs[0], tan_bufs[3] = {x, bufs[1], bufs[2]};
  // tan(-x - pi/2) = cot x.
  tensor_f32_const_aligned_mul(x, F32_MINUS_ONE, b0, shape, stride, node);
  __tensor_f32_tan_imm(b0, y, tan_bufs, shape, stride, node);
}

void tensor_f32_arcsin(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node) {
  tensor_f32_taylor(x, y, EX_ARCSIN_COEFF, EX_TRIG_COEFF_NUM, shape, stride, node);
}

void tensor_f32_arccos(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node) {
  // pi/2 - arcsin x.
  tensor_f32_arcsin(x, y, shape, stride, node);
  tensor_f32_const_aligned_mul(y, F32_MINUS_ONE, x, shape, stride, node);
  tensor_f32_const_aligned_add(x, F32_HALF_PI, y, shape, stride, node);
}

// ---- Powers and roots ----

void tensor_f32_sqrt(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                     cmd_id_node_t *node) {
  tensor_f32_rsqrt(x, y, shape, stride, node);
  tensor_copy(y, x, shape, stride, node);
  tensor_f32_const_aligned_div_inversed(x, F32_ONE, y, shape, stride, node);
}

void tensor_f32_ipower(u32 A_addr, u32 B_addr, int n, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  ASSERT_FS(A_addr != B_addr);
  if (n == 0) {
    tensor_f32_const_assign(B_addr, F32_ONE, shape, stride, node);
    return;
  }
  NEED_BUFFERS(num_buffer>=1, 1);
  const u32 x = A_addr;
  u32 cur = B_addr, other = bufs[0];
  tensor_copy(x, cur, shape, stride, node);
  const int m = n < 0 ? -n : n;
  for (int i = 1; i < m; i++) {
    tensor_f32_aligned_mul(x, cur, other, shape, stride, node);
    const u32 t = cur;
    cur = other;
    other = t;
  }
  if (n < 0) {
    tensor_f32_const_aligned_div_inversed(cur, F32_ONE, other, shape, stride, node);
    const u32 t = cur;
    cur = other;
    other = t;
  }
  tensor_copy(cur, B_addr, shape, stride, node);
}

void tensor_f32_ipower_wrap(u32 x, u32 y, const void *params, const u32 *bufs, int num_buffer,
                            const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  ASSERT_FS(params != ((void *)0));
  i32 n;
  memcpy(&n, params, 4);
  tensor_f32_ipower(x, y, n, bufs, num_buffer, shape, stride, node);
}

void tensor_f32_square_wrap(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                            const dim4_t *stride, cmd_id_node_t *node) {
  tensor_f32_ipower(x, y, 2, bufs, num_buffer, shape, stride, node);
}

// ---- Activations ----

void tensor_f32_relu(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                     cmd_id_node_t *node) {
  tensor_f32_const_eltwise_binary(x, y, TENSOR_OP_MAX, 0.0f, shape, stride, node);
}

void tensor_f32_relu_n(u32 x, u32 y, u32 limit_bits, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node) {
  tensor_f32_const_eltwise_binary(x, y, TENSOR_OP_MAX, 0.0f, shape, stride, node);
  tensor_f32_const_min(y, limit_bits, x, shape, stride, node);
  tensor_copy(x, y, shape, stride, node);
}

void tensor_f32_relu_n_wrap(u32 x, u32 y, const void *params, const dim4_t *shape,
                            const dim4_t *stride, cmd_id_node_t *node) {
  ASSERT_FS(params != ((void *)0));
  u32 limit;
  memcpy(&limit, params, 4);
  tensor_f32_relu_n(x, y, limit, shape, stride, node);
}

void tensor_f32_abs(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  tensor_i32_const_and(x, ABS_MASK, y, shape, stride, node);
}

// factor = slope where the sign bit of x is set, 1.0 elsewhere, built in
// `factor` with `scratch`; then out = x x factor.
static void prelu_general(u32 x, u32 factor, u32 scratch, u32 out, float slope,
                          const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  tensor_i32_const_and(x, SIGN_MASK, scratch, shape, stride, node);
  tensor_f32_const_equal_assign(scratch, SIGN_MASK, factor, f32_bits(slope - 1.0f), shape, stride,
                                node);
  tensor_f32_const_aligned_add(factor, F32_ONE, scratch, shape, stride, node);
  tensor_f32_aligned_mul(x, scratch, out, shape, stride, node);
}

void tensor_f32_prelu(u32 bottom_lo, u32 top_lo, float slope, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  ASSERT_FS(bottom_lo != top_lo);
  if (slope == 1.0f) {
    tensor_copy(bottom_lo, top_lo, shape, stride, node);
    return;
  }
  if (slope == 0.0f) {
    tensor_f32_relu(bottom_lo, top_lo, shape, stride, node);
    return;
  }
  NEED_BUFFERS(num_buffer>=1, 1);
  prelu_general(bottom_lo, top_lo, bufs[0], top_lo, slope, shape, stride, node);
}

void tensor_f32_prelu_wrap(u32 x, u32 y, const void *params, const u32 *bufs, int num_buffer,
                           const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  ASSERT_FS(params != ((void *)0));
  float slope;
  memcpy(&slope, params, 4);
  tensor_f32_prelu(x, y, slope, bufs, num_buffer, shape, stride, node);
}

void tensor_f32_prelu_n(u32 bottom_lo, u32 top_lo, float slope, float limit, const u32 *bufs,
                        int num_buffer, const dim4_t *shape, const dim4_t *stride,
                        cmd_id_node_t *node) {
  if (slope == 1.0f) {
    tensor_copy(bottom_lo, top_lo, shape, stride, node);
    return;
  }
  if (slope == 0.0f) {
    if (limit > 0.0f)
      tensor_f32_relu_n(bottom_lo, top_lo, f32_bits(limit), shape, stride, node);
    else
      tensor_f32_relu(bottom_lo, top_lo, shape, stride, node);
    return;
  }
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 b0 = bufs[0];
  prelu_general(bottom_lo, top_lo, b0, b0, slope, shape, stride, node);
  if (limit > 0.0f)
    tensor_f32_const_min(b0, f32_bits(limit), top_lo, shape, stride, node);
  else
    tensor_copy(b0, top_lo, shape, stride, node);
}

void tensor_f32_prelu_n_wrap(u32 x, u32 y, const void *params, const u32 *bufs, int num_buffer,
                             const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  ASSERT_FS(params != ((void *)0));
  float p[2];
  memcpy(p, params, 8);
  tensor_f32_prelu_n(x, y, p[0], p[1], bufs, num_buffer, shape, stride, node);
}

void tensor_f32_elu(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                    const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=2, 2);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 y = top_lo, b0 = bufs[0], b1 = bufs[1];
  // max(x, 0) + min(e^x - 1, 0); exp uses b0 as its scratch.
  tensor_f32_const_eltwise_binary(bottom_lo, y, TENSOR_OP_MAX, 0.0f, shape, stride, node);
  tensor_f32_exp(bottom_lo, b1, bufs, num_buffer - 1, shape, stride, node);
  tensor_f32_const_aligned_sub(b1, F32_ONE, b0, shape, stride, node);
  tensor_f32_const_min(b0, F32_ZERO, b1, shape, stride, node);
  tensor_f32_add(b1, y, y, shape, stride, node);
}

void tensor_f32_sign(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(bottom_lo != top_lo);
  const u32 x = bottom_lo, y = top_lo, b0 = bufs[0];
  tensor_f32_const_greater_assign(x, F32_ZERO, y, F32_ONE, shape, stride, node);
  tensor_f32_const_less_assign(x, F32_ZERO, b0, F32_MINUS_ONE, shape, stride, node);
  tensor_f32_add(b0, y, x, shape, stride, node);
  tensor_copy(x, y, shape, stride, node);
}

// ---- The unary table ----

#define UNARY(type, fn, buffers, param) \
  { (u32)(type), 0, 1, (buffers), (param), reinterpret_cast<unary_func_t>(fn) }

const unary_context_t unary_list[UNARY_TYPE_NUM] = {
    UNARY(UNARY_ABS, tensor_f32_abs, 0, 0),
    UNARY(UNARY_ACOSH, tensor_f32_acosh, 1, 0),
    UNARY(UNARY_ARCCOS, tensor_f32_arccos, 0, 0),
    UNARY(UNARY_ARCSIN, tensor_f32_arcsin, 0, 0),
    UNARY(UNARY_ASINH, tensor_f32_asinh, 1, 0),
    UNARY(UNARY_ATANH, tensor_f32_atanh, 1, 0),
    UNARY(UNARY_CEIL, tensor_f32_ceil, 2, 0),
    UNARY(UNARY_COS, tensor_f32_cos, 3, 0),
    UNARY(UNARY_COSH, tensor_f32_cosh, 1, 0),
    UNARY(UNARY_COT, tensor_f32_cot, 3, 0),
    UNARY(UNARY_EXP, tensor_f32_exp, 1, 0),
    UNARY(UNARY_EXPM1, tensor_f32_expm1, 1, 0),
    UNARY(UNARY_FLOOR, tensor_f32_floor, 2, 0),
    UNARY(UNARY_IPOWER, tensor_f32_ipower_wrap, 1, 1),
    UNARY(UNARY_SQUARE, tensor_f32_square_wrap, 1, 0),
    UNARY(UNARY_LOG, tensor_f32_log, 1, 0),
    UNARY(UNARY_LOG1P, tensor_f32_log1p, 1, 0),
    UNARY(UNARY_PRELU, tensor_f32_prelu_wrap, 1, 1),
    UNARY(UNARY_PRELU_N, tensor_f32_prelu_n_wrap, 1, 1),
    UNARY(UNARY_RELU, tensor_f32_relu, 0, 0),
    UNARY(UNARY_RELU_N, tensor_f32_relu_n_wrap, 0, 1),
    UNARY(UNARY_ELU, tensor_f32_elu, 2, 0),
    UNARY(UNARY_ROUND, tensor_f32_round, 2, 0),
    UNARY(UNARY_RSQRT, tensor_f32_rsqrt, 0, 0),
    UNARY(UNARY_SIGMOID, tensor_f32_sigmoid, 1, 0),
    UNARY(UNARY_SIGN, tensor_f32_sign, 1, 0),
    UNARY(UNARY_SIN, tensor_f32_sin, 3, 0),
    UNARY(UNARY_SINH, tensor_f32_sinh, 1, 0),
    UNARY(UNARY_SQRT, tensor_f32_sqrt, 0, 0),
    UNARY(UNARY_TAN, tensor_f32_tan, 3, 0),
    UNARY(UNARY_TANH, tensor_f32_tanh, 1, 0),
    UNARY(UNARY_F32_TO_I32, tensor_f32_to_i32, 0, 0),
    UNARY(UNARY_TRIM, tensor_f32_trim, 2, 0),
    UNARY(UNARY_I32_TO_F32, tensor_i32_to_f32, 2, 0),
    UNARY(UNARY_U32_TO_F32, tensor_u32_to_f32, 1, 0),
    UNARY(UNARY_U8_TO_F32, tensor_u8_to_f32, 0, 0),
};

const unary_context_t *find_unary_context(int unary_type) {
  for (int i = 0; i < UNARY_TYPE_NUM; i++)
    if ((int)unary_list[i].unary_type == unary_type) return &unary_list[i];
  return NULL;
}

typedef void (*unary_plain_t)(u32, u32, const dim4_t *, const dim4_t *, cmd_id_node_t *);
typedef void (*unary_bufs_t)(u32, u32, const u32 *, int, const dim4_t *, const dim4_t *,
                             cmd_id_node_t *);
typedef void (*unary_param_t)(u32, u32, const void *, const dim4_t *, const dim4_t *,
                              cmd_id_node_t *);
typedef void (*unary_param_bufs_t)(u32, u32, const void *, const u32 *, int, const dim4_t *,
                                   const dim4_t *, cmd_id_node_t *);

void nodechip_unary_local(u32 x, u32 y, const u32 *bufs, const unary_context_t *ctx,
                          const void *param, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node) {
  const int nb = ctx->num_buffer;
  if (nb < 0) return;
  if (ctx->has_param) {
    if (nb == 0)
      reinterpret_cast<unary_param_t>(ctx->func)(x, y, param, shape, stride, node);
    else
      reinterpret_cast<unary_param_bufs_t>(ctx->func)(x, y, param, bufs, nb, shape, stride, node);
  } else {
    if (nb == 0)
      reinterpret_cast<unary_plain_t>(ctx->func)(x, y, shape, stride, node);
    else
      reinterpret_cast<unary_bufs_t>(ctx->func)(x, y, bufs, nb, shape, stride, node);
  }
}
