// Type conversions, rounding and class tests on local memory.
#include "local/conversion.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/bd_arith.h"
#include "cmd/local_mem.h"
#include "cmd/bd_md.h"
#include "cmd/tensor_ops.h"


static u32 tag(u32 local) { return local | LOCAL_ADDR_TAG; }

#define F32_ONE 0x3F800000u
#define F32_MINUS_ONE 0xBF800000u
#define F32_HALF 0x3F000000u
#define F32_MINUS_HALF 0xBF000000u
#define F32_TWO_POW_22 0x4A800000u
#define F32_TWO_POW_23 0x4B000000u
#define ALL_ONES 0xFFFFFFFFu
#define SIGN_MASK 0x80000000u
#define EXP_MASK 0x7F800000u
#define ABS_MASK 0x7FFFFFFFu

// The buffer check of every routine that takes scratch.
#define NEED_BUFFERS(cond, k) ASSERT(cond, "%s requires %d buffers", __func__, k)

// The one-command conversions run in the engine's aligned layout.
#define CHECK_CONVERT_STRIDE(stride, shape)                                                  \
  ASSERT(stride == NULL || shape->c == 1 || stride->c == 0 || stride->h == 0 ||              \
             stride->c == ALIGN(stride->h * shape->h, EU_NUM),                                \
         "stride is not aligned!")

// R = mask (all ones) where A == K bitwise, 0 elsewhere.
static void mask_eq(u32 A, u32 K, u32 R, const dim4_t *shape, const dim4_t *stride,
                    cmd_id_node_t *node) {
  tensor_i32_const_equal_assign(A, K, R, ALL_ONES, shape, stride, node);
}

// ---- Routines of the unary table ----

void tensor_f32_to_i32(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node) {
  CHECK_CONVERT_STRIDE(stride, shape);
  atomic_md_sfu_gen_cmd_(tag(x), tag(y), shape->n, shape->c, shape->h, shape->w, 0, SFU_F2I, 0,
                         node);
}

void tensor_u8_to_f32(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                      cmd_id_node_t *node) {
  CHECK_CONVERT_STRIDE(stride, shape);
  atomic_table_lookup_gen_cmd(U8_TO_F32_TABLE, tag(x), tag(y), shape->n, shape->c, shape->h,
                              shape->w, 256, 1, node);
}

void tensor_i8_to_f32(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                      cmd_id_node_t *node) {
  CHECK_CONVERT_STRIDE(stride, shape);
  atomic_table_lookup_gen_cmd_(I8_TO_F32_TABLE, tag(x), tag(y), shape->n, shape->c, shape->h,
                               shape->w, 256, 1, node);
}

void tensor_u32_to_f32(u32 u32_local_addr, u32 f32_local_addr, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(u32_local_addr != f32_local_addr);
  const u32 x = u32_local_addr, y = f32_local_addr, u = bufs[0];
  static const u32 weight[4] = {0x3F800000u, 0x43800000u, 0x47800000u, 0x4B800000u};  // 256^i
  tensor_f32_const_assign(y, 0, shape, stride, node);
  // Byte i of x is the low byte of x >> 8i: its float value, weighted, is
  // accumulated in float32.
  for (int i = 0; i < 4; i++) {
    tensor_u8_to_f32(x, u, shape, stride, node);
    tensor_f32_const_mac(u, weight[i], y, shape, stride, node);
    if (i < 3) tensor_i32_const_shift(x, (u32)-8, x, shape, stride, node);
  }
}

void tensor_i32_to_f32(u32 i32_local_addr, u32 f32_local_addr, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=2, 2);
  ASSERT_FS(i32_local_addr != f32_local_addr);
  const u32 x = i32_local_addr, y = f32_local_addr, b0 = bufs[0], b1 = bufs[1];
  // b0: all ones for negative x; b1: x, or NOT x (|x| - 1) for negative x.
  tensor_i32_const_or(x, ABS_MASK, b1, shape, stride, node);
  mask_eq(b1, ALL_ONES, b0, shape, stride, node);
  tensor_i32_xor(b0, x, b1, shape, stride, node);
  // b0: the sign factor +1.0 or -1.0; y: the starting sum, -1.0 for negatives.
  tensor_i32_const_and(b0, SIGN_MASK, x, shape, stride, node);
  tensor_f32_const_assign(y, F32_ONE, shape, stride, node);
  tensor_i32_or(y, x, b0, shape, stride, node);
  tensor_f32_const_equal_assign(x, SIGN_MASK, y, F32_MINUS_ONE, shape, stride, node);
  // y += byte i of b1 x scale, scale = +-256^i. The value, the scale and the
  // working word rotate through x, b0 and b1.
  u32 val = x, scale = b0, word = b1;
  for (int i = 0; i < 4; i++) {
    tensor_u8_to_f32(word, val, shape, stride, node);
    tensor_f32_mac(val, scale, y, shape, stride, node);
    if (i < 3) {
      const u32 free_slot = val;
      tensor_f32_const_prod(scale, 0x43800000u, free_slot, shape, stride, node);  // x 256.0
      tensor_i32_const_shift(word, (u32)-8, scale, shape, stride, node);
      val = word;
      word = scale;
      scale = free_slot;
    }
  }
}

void tensor_const_i16_sub(u32 A, u32 K, u32 R, int reverse, const dim4_t *shape,
                          const dim4_t *stride, cmd_id_node_t *node) {
  // The halves are two batch items per word: the batch extent doubles and the
  // word strides stay. Without a record the strides are the aligned float32
  // ones every other step of the rounding routines uses.
  dim4_t s;
  get_default_local_stride(&s, shape, stride, A);
  const dim4_t half = {shape->n * 2, shape->c, shape->h, shape->w};
  const u32 addr[4] = {reverse ? K : tag(A), reverse ? tag(A) : K, 0, tag(R)};
  const u32 bcast[4] = {0, 0, 0, 0};
  const u32 Sign[3] = {1, 1, 1}, Int8[4] = {0, 0, 0, 0};
  const u32 modes[4] = {BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN};
  const u32 shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &half, bcast, &s, &s, &s, TENSOR_OP_SUB,
                                         reverse ? 1 : 0, reverse ? 0 : 1, 0, 0, 0, Sign, Int8,
                                         modes, shifts, 0, node);
}

void tensor_f32_trim(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=2, 2);
  ASSERT_FS(input_lo != output_lo);
  const u32 x = input_lo, y = output_lo, b0 = bufs[0], b1 = bufs[1];
  // The exponent e = E - 127 in the low byte of b1.
  tensor_i32_const_shift(x, (u32)-23, y, shape, stride, node);
  tensor_const_i16_sub(y, 127, b1, 0, shape, stride, node);
  // b0: all ones when 0 <= e <= 127 (|x| >= 1, finite), else 0.
  tensor_i32_const_and(b1, 0x80, b0, shape, stride, node);
  tensor_i32_not(b0, y, shape, stride, node);
  mask_eq(y, ALL_ONES, b0, shape, stride, node);
  // b1: the count 23 - e of fraction bits (a byte); y: ones above them.
  tensor_const_i16_sub(b1, 23, y, 1, shape, stride, node);
  tensor_i32_const_and(y, 0xFF, b1, shape, stride, node);
  tensor_i32_shift(b0, b1, y, shape, stride, node);
  // b1: all ones when e > 23 (integers beyond 2^23, infinities and NaN). The
  // test reads the exponent field itself: the byte count above wraps for
  // e < -104 and would keep every bit of such tiny values.
  tensor_i32_const_and(x, EXP_MASK, b0, shape, stride, node);
  tensor_f32_const_greater_assign(b0, F32_TWO_POW_23, b1, ALL_ONES, shape, stride, node);
  // Keep the sign and every bit above the binary point.
  tensor_i32_or(y, b1, b0, shape, stride, node);
  tensor_i32_const_or(b0, SIGN_MASK, b1, shape, stride, node);
  tensor_i32_and(x, b1, y, shape, stride, node);
}

void tensor_f32_round(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=2, 2);
  ASSERT_FS(input_lo != output_lo);
  const u32 x = input_lo, y = output_lo, b0 = bufs[0], b1 = bufs[1];
  // b0: the addend -0.5 for negative x (sign bit set, -0.0 included), +0.5
  // otherwise.
  tensor_i32_const_or(x, ABS_MASK, y, shape, stride, node);
  mask_eq(y, ALL_ONES, b0, shape, stride, node);
  tensor_i32_const_and(b0, F32_MINUS_HALF, b1, shape, stride, node);
  tensor_i32_not(b0, y, shape, stride, node);
  tensor_i32_const_and(y, F32_HALF, b0, shape, stride, node);
  tensor_i32_or(b0, b1, b0, shape, stride, node);
  // No addend where |x| >= 2^23 (integers, infinities, NaN): there x + 0.5
  // would round to the even neighbour and move odd integers up by one.
  tensor_i32_const_and(x, EXP_MASK, y, shape, stride, node);
  tensor_f32_const_greater_assign(y, F32_TWO_POW_22, b1, ALL_ONES, shape, stride, node);
  tensor_i32_not(b1, y, shape, stride, node);
  tensor_i32_and(b0, y, b1, shape, stride, node);
  tensor_f32_add(x, b1, x, shape, stride, node);
  tensor_f32_trim(x, y, bufs, num_buffer, shape, stride, node);
}

void tensor_f32_floor(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=2, 2);
  ASSERT_FS(output_lo != input_lo);
  const u32 x = input_lo, y = output_lo, b0 = bufs[0], b1 = bufs[1];
  tensor_f32_trim(x, y, bufs, num_buffer, shape, stride, node);
  // -1.0 where x is negative and had a fraction, +0.0 elsewhere.
  tensor_i32_equal_assign(y, x, b1, ALL_ONES, shape, stride, node);
  tensor_i32_not(b1, b0, shape, stride, node);
  tensor_i32_and(x, b0, b1, shape, stride, node);
  tensor_i32_const_or(b1, ABS_MASK, b0, shape, stride, node);
  mask_eq(b0, ALL_ONES, b1, shape, stride, node);
  tensor_i32_const_and(b1, F32_MINUS_ONE, b0, shape, stride, node);
  tensor_f32_add(y, b0, b1, shape, stride, node);
  tensor_copy(b1, y, shape, stride, node);
}

void tensor_f32_ceil(u32 input_lo, u32 output_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=2, 2);
  ASSERT_FS(output_lo != input_lo);
  const u32 x = input_lo, y = output_lo, b0 = bufs[0], b1 = bufs[1];
  tensor_f32_trim(x, y, bufs, num_buffer, shape, stride, node);
  // +1.0 where x is positive and had a fraction, +0.0 elsewhere.
  tensor_i32_equal_assign(y, x, b1, ALL_ONES, shape, stride, node);
  tensor_i32_not(b1, b0, shape, stride, node);
  tensor_i32_const_and(b0, ABS_MASK, b1, shape, stride, node);
  tensor_i32_or(x, b1, b0, shape, stride, node);
  mask_eq(b0, ABS_MASK, b1, shape, stride, node);
  tensor_i32_const_and(b1, F32_ONE, b0, shape, stride, node);
  tensor_f32_add(y, b0, b1, shape, stride, node);
  tensor_copy(b1, y, shape, stride, node);
}

// ---- Class tests ----

void tensor_f32_is_nan(u32 f32_lo, u32 mark_lo, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node) {
  NEED_BUFFERS(num_buffer>=1, 1);
  ASSERT_FS(mark_lo != f32_lo);
  const u32 x = f32_lo, y = mark_lo, b0 = bufs[0];
  // All-ones exponent (infinity or NaN) XOR infinity leaves NaN alone.
  tensor_i32_const_and(x, EXP_MASK, b0, shape, stride, node);
  tensor_i32_const_equal_assign(b0, EXP_MASK, y, EXP_MASK, shape, stride, node);
  tensor_i32_const_and(x, ABS_MASK, b0, shape, stride, node);
  tensor_i32_const_equal_assign(b0, EXP_MASK, x, EXP_MASK, shape, stride, node);
  tensor_i32_xor(x, y, b0, shape, stride, node);
  tensor_i32_const_shift(b0, (u32)-30, y, shape, stride, node);
}

void tensor_f32_is_inf(u32 f32_lo, u32 mark_lo, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node) {
  ASSERT_FS(f32_lo != mark_lo);
  const u32 x = f32_lo, y = mark_lo;
  tensor_i32_const_and(x, ABS_MASK, y, shape, stride, node);
  tensor_i32_const_equal_assign(y, EXP_MASK, x, EXP_MASK, shape, stride, node);
  tensor_i32_const_shift(x, (u32)-30, y, shape, stride, node);
}

void tensor_f32_is_finite(u32 f32_lo, u32 mark_lo, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node) {
  ASSERT_FS(f32_lo != mark_lo);
  const u32 x = f32_lo, y = mark_lo;
  tensor_i32_const_and(x, EXP_MASK, y, shape, stride, node);
  tensor_i32_const_equal_assign(y, EXP_MASK, x, EXP_MASK, shape, stride, node);
  tensor_i32_const_shift(x, (u32)-30, y, shape, stride, node);
  tensor_i32_const_xor(y, 1, x, shape, stride, node);
  tensor_copy(x, y, shape, stride, node);
}

void tensor_f32_is(u32 x, u32 y, int what, const u32 *bufs, int num_buffer, const dim4_t *shape,
                   const dim4_t *stride, cmd_id_node_t *node) {
  switch (what) {
    case 0: tensor_f32_is_inf(x, y, shape, stride, node); break;
    case 1: tensor_f32_is_nan(x, y, bufs, num_buffer, shape, stride, node); break;
    case 2: tensor_f32_is_finite(x, y, shape, stride, node); break;
    default: ASSERT_FS(0, "Not supported f32_is what=%d", what);
  }
}

// ---- Quantisation and unpacking ----

// One tensor-arithmetic command with a constant B (bits); A and R have their
// own stride records.
static void arith_k(u32 A, u32 R, tensor_op_t op, u32 K, const dim4_t *shape, const dim4_t *as,
                    const dim4_t *rs, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(A, 0, R, shape, 0, 0, 0, as, as, rs, op, 0, 0, 0, 1, K, 0, node);
}
static void arith_ab(u32 A, u32 B, u32 R, tensor_op_t op, const dim4_t *shape, const dim4_t *s,
                     cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(A, B, R, shape, 0, 0, 0, s, s, s, op, 0, 0, 0, 0, 0, 0, node);
}

// EU-aligned float32 strides of a C x H x W item at the lane of `addr`.
static dim4_t aligned_strides(int C, int H, int W, u32 addr) {
  const dim4_t shape = {1, C, H, W};
  dim4_t s;
  get_f32_tensor_local_stride(&s, &shape, 1, addr);
  return s;
}

void nodechip_float2int8_local(u32 input, u32 output, int N, int C, int H, int W, int is_signed,
                               int is_1n, cmd_id_node_t *node) {
  const dim4_t shape = {N, C, H, W};
  const dim4_t s = aligned_strides(C, H, W, input);
  const u32 lo = is_signed ? 0xC3000000u : 0x00000000u;  // -128.0 or 0.0
  const u32 hi = is_signed ? 0x42FE0000u : 0x437F0000u;  // 127.0 or 255.0
  arith_k(input, output, TENSOR_OP_MAX, lo, &shape, &s, &s, node);
  arith_k(output, input, TENSOR_OP_MIN, hi, &shape, &s, &s, node);
  atomic_md_sfu_gen_cmd(input, output, N, C, H, W, 0, SFU_F2I, 0, node);
  arith_k(output, output, TENSOR_OP_AND, 0xFF, &shape, &s, &s, node);
  if (is_1n == 1) return;
  // Pack item 4g + j into byte j of item g, one item at a time.
  const dim4_t item = {1, C, H, W};
  const u32 item_bytes = (u32)s.n * 4u;
  const int G = N / 4, r = N % 4;
  const int groups = G + (r > 0);
  for (int g = 0; g < groups; g++) {
    const int in_group = g < G ? 4 : r;
    for (int j = 1; j < in_group; j++) {
      const u32 it = output + (u32)(4 * g + j) * item_bytes;
      arith_k(it, it, TENSOR_OP_SHIFT, (u32)(8 * j), &item, &s, &s, node);
    }
  }
  for (int g = 0; g < groups; g++) {
    const int in_group = g < G ? 4 : r;
    const u32 first = output + (u32)(4 * g) * item_bytes;
    for (int j = 1; j < in_group; j++)
      arith_ab(first, first + (u32)j * item_bytes, first, TENSOR_OP_OR, &item, &s, node);
  }
  for (int g = 1; g < groups; g++)
    arith_ab(output + (u32)(4 * g) * item_bytes, 0, output + (u32)g * item_bytes, TENSOR_OP_COPY,
             &item, &s, node);
}

void nodechip_float2int8_local_keep_input(u32 input, u32 output, u32 buffer, int N, int C, int H,
                                          int W, int is_signed, cmd_id_node_t *node) {
  const dim4_t shape = {N, C, H, W};
  const u32 in = tag(input), out = tag(output);
  const dim4_t s = aligned_strides(C, H, W, in);
  const u32 P = tag(buffer);
  const dim4_t ps = aligned_strides(C, H, W, P);
  const u32 Q = P + (u32)N * (u32)ps.n * 4u;
  // P + Q = x + 0.5 for positive, x - 0.5 for negative x, 0 for zero.
  arith_k(in, P, TENSOR_OP_ADD, F32_HALF, &shape, &s, &ps, node);
  arith_k(in, Q, TENSOR_OP_SUB, F32_HALF, &shape, &s, &ps, node);
  atomic_md_cmp_gen_cmd(P, F32_HALF, P, 0, P, P, N, C, H, W, 0, 1, 0, 1, 0, F32_HALF, 0, 0, 2,
                        node);
  atomic_md_cmp_gen_cmd(F32_MINUS_HALF, Q, Q, 0, Q, Q, N, C, H, W, 1, 0, 0, 1, F32_MINUS_HALF, 0,
                        0, 0, 2, node);
  arith_ab(P, Q, P, TENSOR_OP_ADD, &shape, &ps, node);
  nodechip_float2int8_local(P, P, N, C, H, W, is_signed, 0, node);
  const dim4_t packed = {(N + 3) / 4, C, H, W};
  const dim4_t os = aligned_strides(C, H, W, out);
  atomic_tensor_copy_gen_cmd(P, out, &packed, &ps, &os, node);
}

void tensor_int8_to_float_local_v2(u32 input, u32 output, u32 buffer, int N, int C, int H, int W,
                                   u8 keep_input, int is_signed, int mode, cmd_id_node_t *node) {
  ASSERT_FS(mode == STORAGE_MODE_4N_INT8);
  const u32 in = tag(input), out = tag(output);
  const int groups = (N + 3) / 4;
  const dim4_t packed = {groups, C, H, W};
  const dim4_t ps = aligned_strides(C, H, W, in);
  const dim4_t os = aligned_strides(C, H, W, out);
  u32 src = in;
  if (keep_input) {
    src = tag(buffer);
    atomic_tensor_copy_gen_cmd(in, src, &packed, &ps, &ps, node);
  }
  // Signed bytes biased by 128, so that every byte reads as its unsigned value.
  if (is_signed) arith_k(src, src, TENSOR_OP_XOR, 0x80808080u, &packed, &ps, &ps, node);
  // Byte j of packed item g to output item 4g + j.
  const dim4_t spread = {4 * os.n, os.c, os.h, os.w};
  arith_k(src, out, TENSOR_OP_AND, 0xFF, &packed, &ps, &spread, node);
  if (N > 1) {
    for (int j = 1; j < 4; j++) {
      const int with_j = groups - (4 * (groups - 1) + j >= N ? 1 : 0);
      if (with_j <= 0) continue;
      const dim4_t part = {with_j, C, H, W};
      arith_k(src, out + (u32)j * (u32)os.n * 4u, TENSOR_OP_SHIFT, (u32)(-8 * j), &part, &ps,
              &spread, node);
    }
    const dim4_t all = {N, C, H, W};
    arith_k(out, out, TENSOR_OP_AND, 0xFF, &all, &os, &os, node);
  }
  // b as a float: (1 + b 2^-23) - 1 (or - (1 + 128 2^-23)), times 2^23.
  const dim4_t all = {N, C, H, W};
  arith_k(out, out, TENSOR_OP_OR, F32_ONE, &all, &os, &os, node);
  arith_k(out, out, TENSOR_OP_SUB, is_signed ? 0x3F800080u : F32_ONE, &all, &os, &os, node);
  arith_k(out, out, TENSOR_OP_MUL, F32_TWO_POW_23, &all, &os, &os, node);
}

void nodechip_fix16_to_float_local_stride(u64 input, u32 output, u64 spare, const dim4_t *shape,
                                          int input_cstride, int is_signed, int mode,
                                          cmd_id_node_t *node) {
  (void)spare;
  if (mode != STORAGE_MODE_2N_INT16) ASSERT_FS(mode == STORAGE_MODE_1N_INT16);
  const int N = shape->n, C = shape->c, H = shape->h, W = shape->w;
  const u32 in = tag((u32)input), out = tag(output);
  const u32 in_lane = get_local_start_lane(in);
  const u64 in_rows = lane_rows(in_lane, (u32)C);
  const dim4_t os = aligned_strides(C, H, W, out);
  const dim4_t all = {N, C, H, W};
  if (mode == STORAGE_MODE_2N_INT16) {
    const int groups = (N + 1) / 2;
    const dim4_t words = {groups, C, H, W};
    const dim4_t is = {(i32)((u64)input_cstride * in_rows), input_cstride, W, 1};
    const dim4_t spread = {2 * os.n, os.c, os.h, os.w};
    if (is_signed) arith_k(in, in, TENSOR_OP_XOR, 0x80008000u, &words, &is, &is, node);
    arith_k(in, out, TENSOR_OP_AND, 0xFFFF, &words, &is, &spread, node);
    if (N > 1) {
      const dim4_t odd = {N / 2, C, H, W};
      arith_k(in, out + (u32)os.n * 4u, TENSOR_OP_SHIFT, (u32)-16, &odd, &is, &spread, node);
    }
  } else {
    const u64 offset = (u64)((u32)input & 0x7FFFFu);
    const u64 in_tensor_size_1N = (u64)N * in_rows * (u64)input_cstride * 2u;
    const u64 input_offset = offset;
    ASSERT_FS(input_offset + in_tensor_size_1N <= (1<<19));
    const int cs = (input_cstride + 1) / 2;
    const int half = (H * W + 1) / 2;
    const dim4_t words = {N, C, 1, half};
    const dim4_t is = {(i32)((u64)cs * in_rows), cs, half, 1};
    const dim4_t pairs = {os.n, os.c, 0, 2};
    if (is_signed) arith_k(in, in, TENSOR_OP_XOR, 0x80008000u, &words, &is, &is, node);
    arith_k(in, out, TENSOR_OP_AND, 0xFFFF, &words, &is, &pairs, node);
    if (H * W > 1) arith_k(in, out + 4u, TENSOR_OP_SHIFT, (u32)-16, &words, &is, &pairs, node);
  }
  arith_k(out, out, TENSOR_OP_OR, F32_ONE, &all, &os, &os, node);
  arith_k(out, out, TENSOR_OP_SUB, is_signed ? 0x3F808000u : F32_ONE, &all, &os, &os, node);
  arith_k(out, out, TENSOR_OP_MUL, F32_TWO_POW_23, &all, &os, &os, node);
}
