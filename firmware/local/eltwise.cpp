// Float element-wise kernels on local memory.
#include "local/eltwise.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "runtime/services.h"
#include "cmd/bd_arith.h"
#include "cmd/local_mem.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_md.h"
#include "cmd/tensor_ops.h"
#include "local/compare_select.h"
#include "local/conversion.h"
#include "local/math.h"

#define F32_ZERO 0x00000000u
#define F32_ONE 0x3F800000u
#define F32_MINUS_ONE 0xBF800000u

static float bits_f32(u32 u) {
  float f;
  memcpy(&f, &u, 4);
  return f;
}
static u32 tag(u32 local) { return local | LOCAL_ADDR_TAG; }
static int plane(int h, int w) { return (int)eu_plane((u32)h * (u32)w); }
static int rows(int c) { return (int)lane_rows(0, (u32)c); }

static dim4_t default_strides(const dim4_t *shape) {
  const int p = plane(shape->h, shape->w);
  const dim4_t s = {rows(shape->c) * p, p, shape->w, 1};
  return s;
}
static dim4_t compact_strides(const dim4_t *shape) {
  const int p = shape->h * shape->w;
  const dim4_t s = {rows(shape->c) * p, p, shape->w, 1};
  return s;
}

// One float tensor-arithmetic command; constants replace their tensor.
static void arith(u32 A, const dim4_t *As, int A_const, u32 A_value, u32 B, const dim4_t *Bs,
                  int B_const, u32 B_value, u32 R, const dim4_t *shape, const dim4_t *Rs,
                  tensor_op_t op, int result_add, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(A_const ? 0 : tag(A), B_const ? 0 : tag(B), tag(R), shape, 0, 0,
                                   0, As, Bs, Rs, op, result_add, A_const, A_value, B_const,
                                   B_value, 0, node);
}

// R = A op B for the arithmetic codes; any other code is refused.
static void common_binary_local(u32 A, const dim4_t *As, int A_const, u32 B, const dim4_t *Bs,
                                int B_const, u32 R, const dim4_t *shape, const dim4_t *Rs,
                                int binary_op, cmd_id_node_t *node, float A_value,
                                float B_value) {
  tensor_op_t op;
  switch (binary_op) {
    case 0: op = TENSOR_OP_ADD; break;
    case 1: op = TENSOR_OP_SUB; break;
    case 2: op = TENSOR_OP_MUL; break;
    case 3: op = TENSOR_OP_DIV; break;
    case 4: op = TENSOR_OP_MAX; break;
    case BINARY_MIN: op = TENSOR_OP_MIN; break;
    default:
      fw_log(0, "Not supported operation code=%d\n", binary_op);
      ASSERT_FS(0);
  }
  arith(A, As, A_const, f32_bits(A_value), B, Bs, B_const, f32_bits(B_value), R, shape, Rs, op, 0,
        node);
}

// output = input > 0.0 ? greater : other (one md_cmp, select only).
static void tensor_const_great_local(u32 input, u32 output, const dim4_t *shape,
                                     cmd_id_node_t *node, float greater, float other) {
  atomic_md_cmp_gen_cmd(tag(input), F32_ZERO, 0, 0, tag(output), tag(output), shape->n, shape->c,
                        shape->h, shape->w, 0, 1, 1, 1, 0, F32_ZERO, f32_bits(greater),
                        f32_bits(other), 2, node);
}

static void general_binary_local(u32 A, const dim4_t *As, int A_const, u32 B, const dim4_t *Bs,
                                 int B_const, u32 R, const dim4_t *shape, const dim4_t *Rs,
                                 int binary_op, int if_relu, cmd_id_node_t *node, float A_value,
                                 float B_value, float relu_upper_limit) {
  switch (binary_op) {
    case 0: case 1: case 2: case 3: case 4: case BINARY_MIN:
      common_binary_local(A, As, A_const, B, Bs, B_const, R, shape, Rs, binary_op, node, A_value,
                          B_value);
      break;
    case BINARY_GT:
    case BINARY_LE:
      common_binary_local(A, As, A_const, B, Bs, B_const, R, shape, Rs, 1, node, A_value, B_value);
      tensor_const_great_local(R, R, shape, node, binary_op == BINARY_GT ? 1.0f : 0.0f,
                               binary_op == BINARY_GT ? 0.0f : 1.0f);
      break;
    case BINARY_GE:
    case BINARY_LT:
      common_binary_local(B, Bs, B_const, A, As, A_const, R, shape, Rs, 1, node, B_value, A_value);
      tensor_const_great_local(R, R, shape, node, binary_op == BINARY_LT ? 1.0f : 0.0f,
                               binary_op == BINARY_LT ? 0.0f : 1.0f);
      break;
    case BINARY_EQ:
    case BINARY_NE:
      // |A - B| > 0 exactly where they differ: the magnitude (a bit mask) is
      // exact, where a square would underflow to 0 for differences below 1e-22.
      common_binary_local(A, As, A_const, B, Bs, B_const, R, shape, Rs, 1, node, A_value, B_value);
      arith(R, Rs, 0, 0, 0, Rs, 1, 0x7FFFFFFFu, R, shape, Rs, TENSOR_OP_AND, 0, node);
      tensor_const_great_local(R, R, shape, node, binary_op == BINARY_NE ? 1.0f : 0.0f,
                               binary_op == BINARY_NE ? 0.0f : 1.0f);
      break;
    case BINARY_SQUARED_DIFF:
      common_binary_local(A, As, A_const, B, Bs, B_const, R, shape, Rs, 1, node, A_value, B_value);
      arith(R, Rs, 0, 0, R, Rs, 0, 0, R, shape, Rs, TENSOR_OP_MUL, 0, node);
      break;
    default: break;  // no float result for other codes
  }
  if (if_relu) {
    arith(R, Rs, 0, 0, 0, Rs, 1, F32_ZERO, R, shape, Rs, TENSOR_OP_MAX, 0, node);
    if (relu_upper_limit > 0.0f)
      arith(R, Rs, 0, 0, 0, Rs, 1, f32_bits(relu_upper_limit), R, shape, Rs, TENSOR_OP_MIN, 0,
            node);
  }
}

void nodechip_const_binary_local(u32 input, const dim4_t *shape, u32 constant, u32 output,
                                 int binary_op, int inverse, int if_relu, u32 relu_upper_limit,
                                 cmd_id_node_t *node) {
  if (!(binary_op == 1 || binary_op == 3 || (binary_op >= BINARY_GT && binary_op <= BINARY_LE)))
    inverse = 0;
  const dim4_t s = default_strides(shape);
  const float k = bits_f32(constant), limit = bits_f32(relu_upper_limit);
  if (inverse)
    general_binary_local(0, &s, 1, input, &s, 0, output, shape, &s, binary_op, if_relu, node, k,
                         0.0f, limit);
  else
    general_binary_local(input, &s, 0, 0, &s, 1, output, shape, &s, binary_op, if_relu, node, 0.0f,
                         k, limit);
}

void nodechip_eltwise_binary_local(u32 A, u32 B, u32 R, int A_compact, int B_compact,
                                   const dim4_t *shape, int binary_op, int if_relu,
                                   u32 relu_upper_limit, cmd_id_node_t *node) {
  const dim4_t as = A_compact ? compact_strides(shape) : default_strides(shape);
  const dim4_t bs = B_compact ? compact_strides(shape) : default_strides(shape);
  const dim4_t rs = default_strides(shape);
  general_binary_local(A, &as, 0, B, &bs, 0, R, shape, &rs, binary_op, if_relu, node, 0.0f, 0.0f,
                       bits_f32(relu_upper_limit));
}

void nodechip_local_c_broadcast(u32 src, u32 dst, int n, int h, int w, int k,
                                const dim4_t *src_stride, cmd_id_node_t *node) {
  atomic_conv_neuron_unalign_kstride_gen_cmd(
      tag(src), tag(dst), 0, 0, n, 1, h, w, src_stride->n, src_stride->c, src_stride->h,
      src_stride->w, 0, 0, k, h, w, 1, F32_ONE, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0,
      node);
}

// Copies an operand broadcast along c into one lane row of k channels and
// returns where it now lies; *s becomes its strides.
static u32 lane_broadcast(u32 X, dim4_t *X_shape, dim4_t *s, int k, u32 R, u32 scratch,
                          cmd_id_node_t *node) {
  const dim4_t given = *s;
  const int p = plane(X_shape->h, X_shape->w);
  dim4_t copied = {given.n != 0 ? p : 0, 0, given.h != 0 ? X_shape->w : 0, given.w != 0 ? 1 : 0};
  X_shape->c = k;
  if (!(X == scratch && given.n != p)) {
    nodechip_local_c_broadcast(X, scratch, X_shape->n, X_shape->h, X_shape->w, k, &given, node);
    *s = copied;
    return scratch;
  }
  // The scratch is X itself in another layout: build the copies in the result
  // and move them back into X's place, which keeps its strides.
  nodechip_local_c_broadcast(X, R, X_shape->n, X_shape->h, X_shape->w, k, &given, node);
  const dim4_t row = {p, p, X_shape->w, 1};
  const dim4_t back = {given.n, p, given.h, given.w};
  atomic_tensor_copy_gen_cmd(tag(R), tag(X), X_shape, &row, &back, node);
  s->c = p;
  return X;
}

void nodechip_broadcast_binary_local(u32 A, dim4_t *A_shape, const dim4_t *A_stride, u32 B,
                                     dim4_t *B_shape, const dim4_t *B_stride, u32 R,
                                     const dim4_t *R_stride, int binary_op, int if_relu,
                                     u32 relu_upper_limit, u32 scratch, cmd_id_node_t *node) {
  dim4_t shape;
  shape.n = A_shape->n > B_shape->n ? A_shape->n : B_shape->n;
  shape.c = A_shape->c > B_shape->c ? A_shape->c : B_shape->c;
  shape.h = A_shape->h > B_shape->h ? A_shape->h : B_shape->h;
  shape.w = A_shape->w > B_shape->w ? A_shape->w : B_shape->w;
  dim4_t as = *A_stride, bs = *B_stride;
  const int a_c = A_shape->c < B_shape->c, b_c = B_shape->c < A_shape->c;
  if (a_c) A = lane_broadcast(A, A_shape, &as, B_shape->c < NPU_NUM ? B_shape->c : NPU_NUM, R,
                              scratch, node);
  if (b_c) B = lane_broadcast(B, B_shape, &bs, A_shape->c < NPU_NUM ? A_shape->c : NPU_NUM, R,
                              scratch, node);
  general_binary_local(A, &as, 0, B, &bs, 0, R, &shape, R_stride, binary_op, if_relu, node, 0.0f,
                       0.0f, bits_f32(relu_upper_limit));
  if (a_c) A_shape->c = 1;
  if (b_c) B_shape->c = 1;
}

void nodechip_biasadd_local(u32 input, u32 bias, u32 output, const dim4_t *shape, int if_relu,
                            u32 relu_upper_limit, cmd_id_node_t *node) {
  dim4_t a_shape = *shape, b_shape = {1, shape->c, 1, 1};
  const dim4_t s = default_strides(shape), bias_s = {0, 1, 0, 0};
  nodechip_broadcast_binary_local(input, &a_shape, &s, bias, &b_shape, &bias_s, output, &s, 0,
                                  if_relu, relu_upper_limit, 0, node);
}

// ---- Eltwise layer ----

void eltwise_plan_of(int n, int c, int h, int w, eltwise_plan_t *plan) {
  plan->chunks = (c + ELTWISE_C_PIECE - 1) / ELTWISE_C_PIECE;
  plan->relu_offset[0] = plan->relu_offset[1] = 0;
  if (c < 4096) {
    plan->relu_pieces = 1;
    get_tensor_shape(&plan->relu_shape[0], n, c, h, w);
    return;
  }
  const int r = n * rows(c) * NPU_NUM, q = r / ELTWISE_C_PIECE;
  plan->relu_pieces = r % ELTWISE_C_PIECE ? 2 : 1;
  get_tensor_shape(&plan->relu_shape[0], q, ELTWISE_C_PIECE, h, w);
  plan->relu_offset[1] = (u32)(plane(h, w) * 252 * q);
  get_tensor_shape(&plan->relu_shape[1], 1, r % ELTWISE_C_PIECE, h, w);
}

void nodechip_eltwise_forward_local(const u32 *inputs, u32 output, int n, int c, int h, int w,
                                    const int *channel_strides, int use_channel_strides, int op,
                                    const float *coeffs, int count, int if_relu,
                                    cmd_id_node_t *node) {
  const int p = plane(h, w), all_rows = rows(c);
  const dim4_t full = {n, c, h, w};
  const dim4_t rs = default_strides(&full);
  eltwise_plan_t plan;
  eltwise_plan_of(n, c, h, w, &plan);
  for (int k = 0; k < plan.chunks; k++) {
    const int cc = c - k * ELTWISE_C_PIECE < ELTWISE_C_PIECE ? c - k * ELTWISE_C_PIECE : ELTWISE_C_PIECE;
    const dim4_t shape = {n, cc, h, w};
    const u32 out = output + (u32)(63 * k * p * 4);
    u32 in[2];
    dim4_t is[2];
    // Input j of this chunk and its strides.
    auto input = [&](int j, u32 *addr, dim4_t *s) {
      const int cs = use_channel_strides ? channel_strides[j] : p;
      *addr = inputs[j] + (u32)(63 * k * cs * 4);
      s->n = all_rows * cs;
      s->c = cs;
      s->h = w;
      s->w = 1;
    };
    switch (op) {
      case ELTWISE_PRODUCT:
      case ELTWISE_MAX: {
        const tensor_op_t top = op == ELTWISE_PRODUCT ? TENSOR_OP_MUL : TENSOR_OP_MAX;
        input(0, &in[0], &is[0]);
        if (count < 2) {
          // One input: the result is that input; no second operand is read.
          arith(in[0], &is[0], 0, 0, 0, &is[0], 0, 0, out, &shape, &rs, TENSOR_OP_COPY, 0, node);
          break;
        }
        input(1, &in[1], &is[1]);
        arith(in[0], &is[0], 0, 0, in[1], &is[1], 0, 0, out, &shape, &rs, top, 0, node);
        for (int j = 2; j < count; j++) {
          input(j, &in[1], &is[1]);
          arith(out, &rs, 0, 0, in[1], &is[1], 0, 0, out, &shape, &rs, top, 0, node);
        }
        break;
      }
      case ELTWISE_SUM:
        for (int j = 0; j < count; j++) {
          input(j, &in[0], &is[0]);
          arith(in[0], &is[0], 0, 0, 0, &is[0], 1, f32_bits(coeffs[j]), out, &shape, &rs,
                TENSOR_OP_MUL, j > 0, node);
        }
        break;
      default: fw_log(0, "Unknown eltwise operation code\n"); break;
    }
  }
  if (!if_relu) return;
  for (int i = 0; i < plan.relu_pieces; i++) {
    const u32 o = tag(output) + plan.relu_offset[i];
    const dim4_t *rsh = &plan.relu_shape[i];
    md_cmp_gen_cmd(o, 0, 0, 0, o, 0, rsh->n, rsh->c, rsh->h, rsh->w, 0, 1, 1, 1, 0.0f, 0.0f, 0.0f,
                   0.0f, 1, node);
  }
}

// ---- Scale, batch normalisation, PReLU ----

// Copies a one-channel operand (m items of sh x sw, or one compact item of
// sh*m x sw) into k lanes in place.
static void scale_lane_copy(u32 x, int m, int sh, int sw, int k, int compact, cmd_id_node_t *node) {
  const int in_n = compact ? 1 : m, in_h = compact ? sh * m : sh;
  atomic_conv_neuron_gen_cmd(tag(x), tag(x), 0, 0, in_n, 1, in_h, sw, 0, 0, k, in_h, sw, 1, F32_ONE,
                             1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, node);
}

void nodechip_scale_forward_local(u32 input, u32 scale, u32 bias, u32 output,
                                  const dim4_t *shape, const dim4_t *scale_shape, int bias_flag,
                                  int if_relu, u32 relu_upper_limit, int scale_compact,
                                  int bias_compact, cmd_id_node_t *node) {
  const int n = shape->n, c = shape->c;
  const int sn = scale_shape->n, sc = scale_shape->c, sh = scale_shape->h, sw = scale_shape->w;
  const int m = n < sn ? n : sn, k = c < NPU_NUM ? c : NPU_NUM;
  const dim4_t rs = default_strides(shape);
  const int bn = sn == 1, bh = sh == 1, bw = sw == 1;
  if (sc == 1 && c > 1) scale_lane_copy(scale, m, sh, sw, k, scale_compact, node);
  const int ps = scale_compact ? sh * sw : plane(sh, sw);
  const dim4_t ss = {rows(sc) * ps, sc == 1 ? 0 : ps, sw, 1};
  atomic_tensor_arithmetic_gen_cmd(tag(input), tag(scale), tag(output), shape, bn, bh, bw, &rs, &ss,
                                   &rs, TENSOR_OP_MUL, 0, 0, 0, 0, 0, 0, node);
  if (bias_flag) {
    if (sc == 1 && c > 1) scale_lane_copy(bias, m, sh, sw, k, bias_compact, node);
    const int pb = bias_compact ? sh * sw : plane(sh, sw);
    const dim4_t bs = {rows(sc) * pb, sc == 1 ? 0 : pb, sw, 1};
    atomic_tensor_arithmetic_gen_cmd(tag(output), tag(bias), tag(output), shape, bn, bh, bw, &rs,
                                     &bs, &rs, TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0, node);
  }
  if (if_relu) nodechip_relu_forward_local(output, output, shape, bits_f32(relu_upper_limit), node);
}

void nodechip_batchnorm_layer_local(u32 input, u32 output, u32 addend, u32 factor, int n, int c,
                                    int h, int w, int unused9, int unused10, int if_relu,
                                    u32 relu_upper_limit, cmd_id_node_t *node) {
  (void)unused9;
  (void)unused10;
  atomic_md_linear_gen_cmd(tag(input), tag(addend), 0, tag(output), n, c, h, w, 0, 1, 0, F32_ONE, 0,
                           0, node);
  atomic_md_linear_gen_cmd(tag(output), 0, tag(factor), tag(output), n, c, h, w, 1, 0, F32_ZERO, 0,
                           0, 0, node);
  if (if_relu) {
    const dim4_t shape = {n, c, h, w};
    nodechip_relu_forward_local(output, output, &shape, bits_f32(relu_upper_limit), node);
  }
}

void nodechip_prelu_forward_local_v2(u32 input, u32 output, u32 slope, u32 scratch,
                                     int channel_shared, u32 shared_slope, const dim4_t *shape,
                                     int slope_layout, cmd_id_node_t *node) {
  const int n = shape->n, c = shape->c, h = shape->h, w = shape->w;
  md_cmp_gen_cmd(tag(input), 0, 0, 0, tag(output), 0, n, c, h, w, 0, 1, 1, 1, 0.0f, 0.0f, 0.0f,
                 0.0f, 1, node);
  if (channel_shared && bits_f32(shared_slope) == 0.0f) return;
  // scratch = min(x, 0) = x - max(x, 0), times the slope, added back.
  atomic_mdscalar_operation_gen_cmd(tag(input), tag(output), tag(scratch), n, c, h, w,
                                    MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  if (channel_shared) {
    atomic_mdscalar_operation_gen_cmd(tag(scratch), 0, tag(scratch), n, c, h, w, MD_SCALAR_MUL, 0,
                                      0, 1, 0, shared_slope, node);
  } else {
    const int map = slope_layout == 1;
    const dim4_t rs = default_strides(shape);
    const dim4_t ps = {rows(c), map ? plane(h, w) : 1, map ? w : 1, 1};
    atomic_tensor_arithmetic_gen_cmd(tag(scratch), tag(slope), tag(scratch), shape, 1, !map, !map,
                                     &rs, &ps, &rs, TENSOR_OP_MUL, 0, 0, 0, 0, 0, 0, node);
  }
  atomic_mdscalar_operation_gen_cmd(tag(output), tag(scratch), tag(output), n, c, h, w,
                                    MD_SCALAR_ADD, 0, 0, 0, 0, 0, node);
}

void nodechip_prelu_forward_local(u32 input, u32 output, u32 slope, int channel_shared,
                                  u32 shared_slope, const dim4_t *shape, int slope_layout,
                                  cmd_id_node_t *node) {
  nodechip_prelu_forward_local_v2(input, output, slope, input, channel_shared, shared_slope, shape,
                                  slope_layout, node);
}

// ---- Select ----

void nodechip_select_local(u32 cond, u32 then_addr, int then_is_const, u32 then_value,
                           u32 else_addr, int else_is_const, u32 else_value, u32 output,
                           const dim4_t *shape, int if_relu, u32 relu_upper_limit,
                           int cond_is_int32, cmd_id_node_t *node) {
  const int n = shape->n, c = shape->c, h = shape->h, w = shape->w;
  if (cond_is_int32) {
    // -1.0 where the condition word is 0, 0 elsewhere; plus 1.0: 0.0 or 1.0.
    tensor_i32_const_equal_assign(cond, 0, output, F32_MINUS_ONE, shape, NULL, node);
    tensor_f32_const_aligned_add(output, F32_ONE, output, shape, NULL, node);
  } else {
    // |cond| > 0 exactly where the condition is non-zero (-0.0 is zero). The
    // magnitude is a bit mask: a square would underflow to 0 below 1e-22.
    tensor_i32_const_and(cond, 0x7FFFFFFFu, output, shape, NULL, node);
  }
  atomic_md_cmp_gen_cmd(tag(output), F32_ZERO, then_is_const ? 0 : tag(then_addr),
                        else_is_const ? 0 : tag(else_addr), tag(output), tag(output), n, c, h, w,
                        0, 1, then_is_const, else_is_const, 0, F32_ZERO, then_value, else_value, 2,
                        node);
  if (if_relu) nodechip_relu_forward_local(output, output, shape, bits_f32(relu_upper_limit), node);
}

// ---- Activations ----

void nodechip_active_forward_local(u32 input, u32 output, u32 scratch, int n, int c, int h, int w,
                                   int active_type, const float *param, cmd_id_node_t *node) {
  dim4_t shape, stride;
  get_tensor_shape(&shape, n, c, h, w);
  get_f32_tensor_local_stride(&stride, &shape, 1, output);
  const u32 T = (u32)n * (u32)rows(c) * (u32)plane(h, w) * 4u;
  const u32 bufs[3] = {scratch, scratch + T, scratch + 2 * T};
  switch (active_type) {
    case ACTIVE_TANH: tensor_f32_tanh(input, output, bufs, 1, &shape, &stride, node); break;
    case ACTIVE_SIGMOID: tensor_f32_sigmoid(input, output, bufs, 1, &shape, &stride, node); break;
    case ACTIVE_PRELU: {
      float slope = 0.0f;
      if (param) memcpy(&slope, param, 4);
      tensor_f32_prelu(input, output, slope, bufs, 1, &shape, &stride, node);
      break;
    }
    case ACTIVE_EXP: tensor_f32_exp(input, output, bufs, 1, &shape, &stride, node); break;
    case ACTIVE_ELU: tensor_f32_elu(input, output, bufs, 2, &shape, &stride, node); break;
    case ACTIVE_SQRT: tensor_f32_sqrt(input, output, &shape, &stride, node); break;
    case ACTIVE_SQUARE: tensor_f32_ipower(input, output, 2, bufs, 1, &shape, &stride, node); break;
    case ACTIVE_RSQRT: tensor_f32_rsqrt(input, output, &shape, &stride, node); break;
    case ACTIVE_ABS: tensor_f32_abs(input, output, &shape, &stride, node); break;
    case ACTIVE_LOG: tensor_f32_log(input, output, bufs, 1, &shape, &stride, node); break;
    case ACTIVE_ROUND: tensor_f32_round(input, output, bufs, 2, &shape, &stride, node); break;
    case ACTIVE_CEIL: tensor_f32_ceil(input, output, bufs, 2, &shape, &stride, node); break;
    case ACTIVE_FLOOR: tensor_f32_floor(input, output, bufs, 2, &shape, &stride, node); break;
    case ACTIVE_SIN: tensor_f32_sin(input, output, bufs, 3, &shape, &stride, node); break;
    case ACTIVE_COS: tensor_f32_cos(input, output, bufs, 3, &shape, &stride, node); break;
    default: ASSERT_FS(0);
  }
}

// ---- Table lookup ----

void lut_plan_of(int n, lut_plan_t *plan) {
  plan->items = n < 4 ? n : 4;
  for (int i = 0; i < 4; i++) plan->words[i] = i < plan->items ? n / 4 + (i < n % 4 ? 1 : 0) : 0;
}

void nodechip_lut_local(u32 input, u32 table, u32 scratch, u32 output, const int *shape,
                        int index_dim, int is_1n, cmd_id_node_t *node) {
  ASSERT(index_dim <= 4);
  int d[4] = {1, 1, 1, 1};
  for (int i = 0; i < index_dim; i++) d[i] = shape[i];
  const int n = d[0], c = d[1], h = d[2], w = d[3];
  if (is_1n) {
    atomic_table_lookup_gen_cmd_(table, tag(input), tag(output), n, c, h, w, 256, 0, node);
    return;
  }
  const int p = plane(h, w);
  const u32 T = (u32)rows(c) * (u32)p * 4u;
  u32 src = input;
  lut_plan_t plan;
  lut_plan_of(n, &plan);
  for (int i = 0; i < plan.items; i++) {
    const int words = plan.words[i];
    if (i > 0) {
      const dim4_t ws = {words, c, h, w};
      tensor_i32_const_shift(src, (u32)-8, scratch, &ws, NULL, node);
      src = scratch;
    }
    if (n <= 4) {
      atomic_table_lookup_gen_cmd_(table, tag(src), tag(output + (u32)i * T), words, c, h, w, 256,
                                   1, node);
    } else {
      const u32 looked = scratch + (u32)words * T;
      atomic_table_lookup_gen_cmd_(table, tag(src), tag(looked), words, c, h, w, 256, 1, node);
      const dim4_t ws = {words, c, h, w};
      const dim4_t from = {rows(c) * p, p, w, 1}, to = {4 * rows(c) * p, p, w, 1};
      atomic_tensor_copy_gen_cmd(tag(looked), tag(output + (u32)i * T), &ws, &from, &to, node);
    }
  }
}
