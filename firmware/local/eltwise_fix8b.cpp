// 8-bit element-wise kernels on local memory.
#include "local/eltwise_fix8b.h"

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "runtime/services.h"
#include "cmd/bd_arith.h"
#include "cmd/local_mem.h"
#include "cmd/bd_conv.h"
#include "local/eltwise.h"

static u32 tag(u32 local) { return local | LOCAL_ADDR_TAG; }
static int plane(int h, int w) { return (int)eu_plane((u32)h * (u32)w); }
static int rows(int c) { return (int)lane_rows(0, (u32)c); }
static int is_cmp(int op) { return op >= BINARY_GT && op <= BINARY_NE; }

static dim4_t word_strides(const dim4_t *shape, int compact) {
  const int p = compact ? shape->h * shape->w : plane(shape->h, shape->w);
  const dim4_t s = {rows(shape->c) * p, p, shape->w, 1};
  return s;
}
// Bytes per lane of a 16-bit (2N) tensor of `shape`.
static u32 bytes16(const dim4_t *shape) {
  return (u32)((shape->n + 1) / 2) * (u32)rows(shape->c) * (u32)plane(shape->h, shape->w) * 4u;
}

// ---- One fixed-point command ----

// Operands are tagged addresses, or a constant's value when its flag is set;
// sign {A, B, R read}, int8 {A, B, R} (1: 8-bit, 0: 16-bit).
typedef struct {
  tensor_op_t op;
  u32 A, B, R;
  int A_const, B_const;
  const dim4_t *As, *Bs, *Rs;
  int rshift, shift2, shift_type;
  u32 sign[3];
  u32 int8[3];
  u32 bcast[4];
} fx_cmd_t;

static fx_cmd_t fx(tensor_op_t op, u32 A, const dim4_t *As, u32 B, const dim4_t *Bs, u32 R,
                   const dim4_t *Rs) {
  fx_cmd_t k = {};
  k.op = op;
  k.A = A;
  k.B = B;
  k.R = R;
  k.As = As;
  k.Bs = Bs;
  k.Rs = Rs;
  return k;
}
// B broadcast along every dimension where its stride is 0 (n, h, w).
static void bcast_by_strides(fx_cmd_t *k) {
  k->bcast[0] = k->Bs->n == 0;
  k->bcast[2] = k->Bs->h == 0;
  k->bcast[3] = k->Bs->w == 0;
}
static void fx_issue(const fx_cmd_t *k, const dim4_t *shape, cmd_id_node_t *node) {
  const u32 addr[4] = {k->A, k->B, 0, k->R};
  const u32 Int8[4] = {k->int8[0], k->int8[1], 0, k->int8[2]};
  const u32 modes[4] = {BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN};
  const u32 shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, shape, k->bcast, k->As, k->Bs, k->Rs, k->op,
                                         k->A_const, k->B_const, k->rshift, k->shift2,
                                         k->shift_type, k->sign, Int8, modes, shifts, 0, node);
}

// ---- Binary operations ----

// R16 = (multiplier x tensor) >> shift; addr {unused, tensor, unused, R}.
static void tensor_scale_fix8b_local(const u32 addr[4], const dim4_t *shape, int unused,
                                     int multiplier, int shift, int sign, const dim4_t *t_stride,
                                     const dim4_t *r_stride, cmd_id_node_t *node) {
  (void)unused;
  fx_cmd_t k = fx(TENSOR_OP_MUL, (u32)multiplier, t_stride, addr[1], t_stride, addr[3], r_stride);
  k.A_const = 1;
  k.rshift = shift;
  k.shift_type = 1;
  k.sign[0] = 1;
  k.sign[1] = (u32)sign;
  k.int8[0] = 1;
  k.int8[1] = 1;
  bcast_by_strides(&k);
  fx_issue(&k, shape, node);
}

// A 16-bit signed command between two 16-bit operands (either a constant).
static void op16(tensor_op_t op, u32 L, int lc, u32 R, int rc, u32 out, const dim4_t *shape,
                 const dim4_t *s, cmd_id_node_t *node) {
  fx_cmd_t k = fx(op, L, s, R, s, out, s);
  k.A_const = lc;
  k.B_const = rc;
  k.sign[0] = k.sign[1] = k.sign[2] = 1;
  fx_issue(&k, shape, node);
}

static void common_binary_fix8b_local(int binary_op, u32 L, int lc, u32 R, int rc, u32 out,
                                      const dim4_t *shape, const dim4_t *s, cmd_id_node_t *node) {
  tensor_op_t op;
  switch (binary_op) {
    case 0: op = TENSOR_OP_ADD; break;
    case 1: op = TENSOR_OP_SUB; break;
    case 4: op = TENSOR_OP_MAX; break;
    case BINARY_MIN: op = TENSOR_OP_MIN; break;
    default:
      fw_log(0, "Not supported operation code = %d\n", binary_op);
      ASSERT_FS(0);
  }
  op16(op, L, lc, R, rc, out, shape, s, node);
}

// out = 1 where L (relation) R holds, else 0, on 16-bit signed values; T is a
// 16-bit work slot.
static void tensor_cmp_fix8b_local(int binary_op, u32 L, int lc, u32 R, int rc, u32 out, u32 T,
                                   const dim4_t *shape, const dim4_t *s, cmd_id_node_t *node) {
  switch (binary_op) {
    case BINARY_GT:
    case BINARY_GE: op16(TENSOR_OP_SUB, L, lc, R, rc, out, shape, s, node); break;
    case BINARY_LT:
    case BINARY_LE: op16(TENSOR_OP_SUB, R, rc, L, lc, out, shape, s, node); break;
    case BINARY_EQ:
    case BINARY_NE:
      // EQ: min - max = -|L - R|; NE: max - min = |L - R|.
      op16(TENSOR_OP_MAX, L, lc, R, rc, T, shape, s, node);
      op16(TENSOR_OP_MIN, L, lc, R, rc, out, shape, s, node);
      if (binary_op == BINARY_EQ)
        op16(TENSOR_OP_SUB, out, 0, T, 0, out, shape, s, node);
      else
        op16(TENSOR_OP_SUB, T, 0, out, 0, out, shape, s, node);
      break;
    default:
      fw_log(0, "Not supported operation code=%d\n", binary_op);
      ASSERT_FS(0);
  }
  if (binary_op == BINARY_GE || binary_op == BINARY_LE || binary_op == BINARY_EQ)
    op16(TENSOR_OP_ADD, out, 0, 1, 1, out, shape, s, node);
  op16(TENSOR_OP_MAX, out, 0, 0, 1, out, shape, s, node);
  op16(TENSOR_OP_MIN, out, 0, 1, 1, out, shape, s, node);
}

namespace {

// The tagged operands and slots of one call, derived once.
struct binary_fix8b_slots_t {
  u32 A, B, out;  // inputs and output
  u32 X0, X1, X2;  // 16-bit work slots
  u32 P;           // the 16-bit result: the first work slot for an 8-bit output, else the output itself
  int s;          // either input signed
};

// Every operation but the product: both inputs (or A and the constant) scaled
// to 16 bits, then the operation or comparison into P.
void scaled_binary(const binary_fix8b_slots_t &slots, const dim4_t *shape, const dim4_t *A_stride,
                   const fix8b_binary_param_t &p, cmd_id_node_t *node) {
  const dim4_t *rs = p.R_stride;
  const u32 a_rec[4] = {0, slots.A, 0, slots.X0};
  tensor_scale_fix8b_local(a_rec, shape, 0, p.scale_A, p.B_is_const ? 0 : p.shift_A, p.sign[0], A_stride, rs, node);
  u32 b16 = (u32)p.B_const;
  if (!p.B_is_const) {
    b16 = slots.X1;
    const u32 b_rec[4] = {0, slots.B, 0, b16};
    tensor_scale_fix8b_local(b_rec, shape, 0, p.scale_B, p.shift_B, p.sign[1], p.B_stride, rs, node);
  }
  u32 L = slots.X0, R = b16;
  int lc = 0, rc = p.B_is_const;
  if (p.inverse) {
    L = b16, R = slots.X0;
    lc = p.B_is_const, rc = 0;
  }
  if (is_cmp(p.binary_op))
    tensor_cmp_fix8b_local(p.binary_op, L, lc, R, rc, slots.P, slots.X2, shape, rs, node);
  else
    common_binary_fix8b_local(p.binary_op, L, lc, R, rc, slots.P, shape, rs, node);
}

// P x scale >> rshift with 8-bit multiplies: P = hi 2^8 + lo, hi x scale
// shifted up by 8 plus lo x scale. L is a free 16-bit slot; W holds the low
// bytes: the output when the result goes to the 16-bit slot, else the free
// first slot (the output then holds P itself).
void rescale_product(const binary_fix8b_slots_t &slots, u32 L, int scale, int rshift, const dim4_t *shape,
                     const dim4_t *rs, cmd_id_node_t *node) {
  const u32 P = slots.P, S = (u32)slots.s, W = P == slots.out ? slots.X0 : slots.out;
  fx_cmd_t cmd = fx(TENSOR_OP_AND, P, rs, 255, rs, L, rs);
  cmd.B_const = 1;
  cmd.shift_type = slots.s;
  cmd.sign[0] = cmd.sign[1] = S;
  fx_issue(&cmd, shape, node);
  cmd = fx(TENSOR_OP_ADD, L, rs, 0, rs, W, rs);
  cmd.B_const = 1;
  cmd.int8[2] = 1;
  fx_issue(&cmd, shape, node);
  cmd = fx(TENSOR_OP_SHIFT, P, rs, (u32)-8, rs, P, rs);
  cmd.B_const = 1;
  cmd.shift_type = slots.s;
  cmd.sign[0] = S;
  cmd.sign[1] = 1;
  fx_issue(&cmd, shape, node);
  cmd = fx(TENSOR_OP_ADD, P, rs, 0, rs, L, rs);
  cmd.B_const = 1;
  cmd.shift_type = 1;
  cmd.sign[0] = cmd.sign[1] = S;
  cmd.int8[2] = 1;
  fx_issue(&cmd, shape, node);
  cmd = fx(TENSOR_OP_MUL, L, rs, (u32)scale, rs, P, rs);
  cmd.B_const = 1;
  cmd.shift_type = 1;
  cmd.sign[0] = S;
  cmd.sign[1] = 1;
  cmd.int8[0] = cmd.int8[1] = 1;
  fx_issue(&cmd, shape, node);
  cmd = fx(TENSOR_OP_MAC, W, rs, (u32)scale, rs, P, rs);
  cmd.B_const = 1;
  cmd.shift2 = 8;
  cmd.rshift = rshift;
  cmd.shift_type = 1;
  cmd.sign[1] = cmd.sign[2] = 1;
  cmd.int8[0] = cmd.int8[1] = 1;
  fx_issue(&cmd, shape, node);
}

// The product of two tensors into P (a broadcast A widened first), then its
// rescale when it has one. Returns whether it did.
int tensor_product(const binary_fix8b_slots_t &slots, const dim4_t *shape, const dim4_t *A_stride,
                   const fix8b_binary_param_t &p, u32 L, cmd_id_node_t *node) {
  const dim4_t *rs = p.R_stride;
  u32 a = slots.A;
  const dim4_t *as = A_stride;
  if (A_stride->n == 0 || A_stride->h == 0 || A_stride->w == 0) {
    // A broadcast: widened to full size first.
    fx_cmd_t cmd = fx(TENSOR_OP_ADD, 0, A_stride, slots.A, A_stride, L, rs);
    cmd.A_const = 1;
    cmd.sign[1] = cmd.sign[2] = (u32)p.sign[0];
    cmd.int8[0] = cmd.int8[1] = cmd.int8[2] = 1;
    bcast_by_strides(&cmd);
    fx_issue(&cmd, shape, node);
    a = L;
    as = rs;
  }
  fx_cmd_t m = fx(TENSOR_OP_MUL, a, as, slots.B, p.B_stride, slots.P, rs);
  m.shift_type = 1;
  m.sign[0] = (u32)p.sign[0];
  m.sign[1] = (u32)p.sign[1];
  m.int8[0] = m.int8[1] = 1;
  bcast_by_strides(&m);
  fx_issue(&m, shape, node);
  const int rescale = p.scale_A != 1 || p.shift_A + p.shift_B != 0;
  if (rescale) rescale_product(slots, L, p.scale_A, p.shift_A + p.shift_B, shape, rs, node);
  return rescale;
}

// Tail: ReLU (an unsigned result always), then the narrowing to 8 bits. The
// product of two unsigned bytes without rescale is an unsigned 16-bit value:
// it needs no ReLU, and reading it as signed would turn 32768 and up
// negative.
void finish_result(const binary_fix8b_slots_t &slots, const dim4_t *shape, const fix8b_binary_param_t &p, int sign_R,
                   int if_relu, int rescale, cmd_id_node_t *node) {
  const dim4_t *rs = p.R_stride;
  const u32 P = slots.P;
  const int p_unsigned = p.binary_op == 2 && !p.B_is_const && !slots.s && !rescale;
  const int relu_ran = if_relu;
  if (if_relu) sign_R = 0;
  if (if_relu && !p_unsigned) {
    fx_cmd_t cmd = fx(TENSOR_OP_MAX, 0, rs, P, rs, P, rs);
    cmd.A_const = 1;
    cmd.sign[0] = cmd.sign[1] = 1;
    fx_issue(&cmd, shape, node);
  } else if (p.binary_op == 2 && !p.B_is_const && !slots.s && !rescale && sign_R && !p.width[2]) {
    fx_cmd_t cmd = fx(TENSOR_OP_ADD, 0, rs, P, rs, P, rs);
    cmd.A_const = 1;
    cmd.sign[0] = 1;
    fx_issue(&cmd, shape, node);
  }
  if (p.width[2]) {
    const u32 r = (u32)sign_R;
    // How P is read: signed after the product's rescale, as the operands for a
    // product, else as the result. After a ReLU P is non-negative and read as
    // the (unsigned) result, so that the narrowing saturates at 255, not 127.
    const u32 t = p_unsigned         ? 0u
                  : relu_ran         ? r
                  : p.binary_op == 2 ? (rescale         ? 1u
                                        : !p.B_is_const ? (u32)slots.s
                                                        : r)
                                     : r;
    fx_cmd_t cmd = fx(TENSOR_OP_ADD, 0, rs, P, rs, slots.out, rs);
    cmd.A_const = 1;
    cmd.rshift = p.B_is_const && p.binary_op != 2 ? p.shift_A : 0;
    cmd.shift_type = (int)r;
    cmd.sign[0] = r;
    cmd.sign[1] = t;
    cmd.int8[2] = 1;
    fx_issue(&cmd, shape, node);
  }
}

}  // namespace

void general_binary_fix8b_local(const u32 *first, const u32 *second, const dim4_t *shape,
                                const dim4_t *A_stride, fix8b_binary_param_t p) {
  cmd_id_node_t *node = p.node;
  const int *sign = p.sign;
  binary_fix8b_slots_t slots;
  slots.A = tag(first[0]), slots.B = tag(first[1]), slots.out = tag(first[2]);
  slots.X0 = tag(second[0]), slots.X2 = tag(second[2]);
  slots.P = p.width[2] ? slots.X0 : slots.out;
  slots.X1 = tag(second[1]);
  slots.s = sign[0] || sign[1];
  const int sign_R = sign[2];
  int if_relu = p.if_relu, rescale = 0;
  if (p.binary_op != 2) {
    scaled_binary(slots, shape, A_stride, p, node);
    if (!sign_R) if_relu = 1;
  } else if (p.B_is_const) {
    // A constant factor is folded into scale_A by the caller.
    const u32 a_rec[4] = {0, slots.A, 0, slots.P};
    tensor_scale_fix8b_local(a_rec, shape, 0, p.scale_A, p.shift_A, sign[0], A_stride, p.R_stride, node);
    // A signed A can give negative products: an unsigned result clamps them
    // to 0 rather than reading them as large unsigned values.
    if (sign[0] && !sign_R) if_relu = 1;
  } else {
    rescale = tensor_product(slots, shape, A_stride, p, slots.X1, node);
    if ((rescale || slots.s) && !sign_R) if_relu = 1;
  }
  finish_result(slots, shape, p, sign_R, if_relu, rescale, node);
}

// ---- Shapes ----

void fix8b_dim4_of(const int *shape, int dims, dim4_t *out) {
  int d[4] = {1, 1, 1, 1};
  for (int i = 0; i < dims && i < 4; i++) d[i] = shape[i];
  for (int i = 4; i < dims; i++) d[3] *= shape[i];
  out->n = d[0];
  out->c = d[1];
  out->h = d[2];
  out->w = d[3];
}

void fix8b_bcast_plan_of(const int *a_shape, const int *b_shape, int dims,
                         fix8b_bcast_plan_t *plan) {
  int a[4] = {1, 1, 1, 1}, b[4] = {1, 1, 1, 1};
  if (dims <= 4) {
    for (int i = 0; i < dims; i++) a[i] = a_shape[i], b[i] = b_shape[i];
    plan->merge_dim = 4;
  } else {
    // A dimension's broadcast pattern: which operand is 1 where the other is not.
    auto pattern = [&](int i) {
      return (a_shape[i] == 1 && b_shape[i] != 1 ? 1 : 0) | (b_shape[i] == 1 && a_shape[i] != 1 ? 2 : 0);
    };
    int g = 0, i = 0;
    a[0] = a_shape[0], b[0] = b_shape[0];
    i = 1;
    for (g = 1; g < 4 && i < dims; g++) {
      const int pat = pattern(i);
      a[g] = a_shape[i], b[g] = b_shape[i];
      i++;
      while (i < dims && pattern(i) == pat && (g == 3 || dims - i > 3 - g) &&
             (g != 1 || ((long long)a[g] * a_shape[i] <= 4095 && (long long)b[g] * b_shape[i] <= 4095))) {
        a[g] *= a_shape[i];
        b[g] *= b_shape[i];
        i++;
      }
    }
    plan->merge_dim = g + (i < dims ? dims - i : 0);
  }
  plan->a.n = a[0], plan->a.c = a[1], plan->a.h = a[2], plan->a.w = a[3];
  plan->b.n = b[0], plan->b.c = b[1], plan->b.h = b[2], plan->b.w = b[3];
}

// ---- Forms of the binary operation ----

static void nodechip_const_binary_fix8b_dim4_forward_local(
    u32 input, u32 output, u32 scratch, int constant, const dim4_t *shape, int binary_op,
    int scale_A, int shift_A, int sign_A, int sign_R, int inverse, int if_relu,
    cmd_id_node_t *node) {
  ASSERT_FS(scale_A < 128 && scale_A >= 0);
  ASSERT_FS(sign_A == 0 || sign_A == 1);
  ASSERT_FS(if_relu == 0 || if_relu == 1);
  const u32 S = bytes16(shape);
  const u32 first[3] = {input, input, output}, second[3] = {scratch, scratch, scratch + S};
  const dim4_t s = word_strides(shape, 0);
  const int width[3] = {1, 1, 1}, sign[3] = {sign_A, 1, sign_R};
  fix8b_binary_param_t p = {scale_A, shift_A, &s, 1, constant, 1, 0, &s, binary_op, inverse,
                            if_relu, width, sign, node};
  general_binary_fix8b_local(first, second, shape, &s, p);
}

void nodechip_const_binary_fix8b_forward_local(u32 input, u32 output, u32 scratch, int constant,
                                               const int *shape, int tensor_dim, int binary_op,
                                               int scale_A, int unused9, int shift_A,
                                               int unused11, int sign_A, int unused13,
                                               int sign_R, int inverse, int if_relu,
                                               cmd_id_node_t *node) {
  (void)unused9;
  (void)unused11;
  (void)unused13;
  ASSERT_FS(tensor_dim > 1);
  dim4_t d;
  fix8b_dim4_of(shape, tensor_dim, &d);
  // A comparison gives 0 or 1, which a final right shift of 2 or more would
  // turn into 0: no shift for any of them.
  if (is_cmp(binary_op)) shift_A = 0;
  nodechip_const_binary_fix8b_dim4_forward_local(input, output, scratch, constant, &d, binary_op,
                                                 scale_A, shift_A, sign_A, sign_R, inverse,
                                                 if_relu, node);
}

static void nodechip_eltwise_binary_fix8b_dim4_forward_local(
    u32 A, u32 B, u32 output, u32 scratch, const dim4_t *shape, int A_compact, int B_compact,
    int binary_op, int scale_A, int scale_B, int shift_A, int shift_B, const int *width,
    const int *sign, int if_relu, cmd_id_node_t *node) {
  const int sign_A = sign[0], sign_B = sign[1];
  ASSERT_FS(scale_A < 128 && scale_A >= 0);
  ASSERT_FS(scale_B < 128 && scale_B >= 0);
  ASSERT_FS(sign_A == 0 || sign_A == 1);
  ASSERT_FS(sign_B == 0 || sign_B == 1);
  ASSERT_FS(if_relu == 0 || if_relu == 1);
  const u32 S = bytes16(shape);
  const u32 first[3] = {A, B, output};
  const u32 second[3] = {scratch, scratch + S, width[2] ? scratch + 2 * S : output};
  const dim4_t as = word_strides(shape, A_compact), bs = word_strides(shape, B_compact);
  const dim4_t rs = word_strides(shape, 0);
  fix8b_binary_param_t p = {scale_A, shift_A, &bs, 0, 0, scale_B, shift_B, &rs, binary_op, 0,
                            if_relu, width, sign, node};
  general_binary_fix8b_local(first, second, shape, &as, p);
}

void nodechip_eltwise_binary_fix8b_forward_local(u32 A, u32 B, u32 output, u32 scratch,
                                                 const int *shape, int tensor_dim, int A_compact,
                                                 int B_compact, int binary_op, int scale_A,
                                                 int scale_B, int shift_A, int shift_B,
                                                 const int *width, const int *sign, int if_relu,
                                                 cmd_id_node_t *node) {
  ASSERT_FS(tensor_dim >= 1);
  dim4_t d;
  fix8b_dim4_of(shape, tensor_dim, &d);
  if (is_cmp(binary_op)) shift_A = shift_B = 0;
  nodechip_eltwise_binary_fix8b_dim4_forward_local(A, B, output, scratch, &d, A_compact & 0xFF,
                                                   B_compact & 0xFF, binary_op, scale_A, scale_B,
                                                   shift_A, shift_B, width, sign, if_relu, node);
}

void nodechip_local_c_fix8b_broadcast(u32 src, u32 dst, int n, int h, int w, int k, int sign,
                                      int compact, cmd_id_node_t *node) {
  const int p = (compact & 0xFF) ? h * w : plane(h, w);
  // The weight is the constant 1; its address word names dst's lane, as the
  // generator asks of every weight operand.
  atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(tag(src), tag(dst), tag(dst), 0, n, 1, h, w, p, p, w, 1,
                                                 0, 0, k, h, w, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 0,
                                                 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, sign, 0, 0, 3, 1,
                                                 node);
}

// Operand strides against the result shape r (words).
static dim4_t bcast_strides(const dim4_t *d, const dim4_t *r, int compact) {
  const int p = compact ? d->h * d->w : plane(d->h, d->w);
  const dim4_t s = {d->n == r->n ? rows(d->c) * p : 0, p, d->h == r->h ? d->w : 0,
                    d->w == r->w ? 1 : 0};
  return s;
}

static void nodechip_broadcast_binary_fix8b_dim4_forward_local(
    u32 A, u32 B, u32 output, u32 scratch, const dim4_t *ad, const dim4_t *bd, int A_compact,
    int B_compact, int binary_op, int scale_A, int scale_B, int shift_A, int shift_B,
    const int *width, const int *sign, int if_relu, cmd_id_node_t *node) {
  const int sign_A = sign[0], sign_B = sign[1];
  ASSERT_FS(scale_A < 128 && scale_A >= 0);
  ASSERT_FS(scale_B < 128 && scale_B >= 0);
  ASSERT_FS(sign_A == 0 || sign_A == 1);
  ASSERT_FS(sign_B == 0 || sign_B == 1);
  ASSERT_FS(if_relu == 0 || if_relu == 1);
  const int b0_shape[4] = {ad->n, ad->c, ad->h, ad->w}, b1_shape[4] = {bd->n, bd->c, bd->h, bd->w};
  for (int i = 0; i < 4; i++)
    if (b0_shape[i] != b1_shape[i]) ASSERT_FS((b0_shape[i] == 1) || (b1_shape[i] == 1));
  dim4_t r;
  r.n = ad->n > bd->n ? ad->n : bd->n;
  r.c = ad->c > bd->c ? ad->c : bd->c;
  r.h = ad->h > bd->h ? ad->h : bd->h;
  r.w = ad->w > bd->w ? ad->w : bd->w;
  dim4_t as = bcast_strides(ad, &r, A_compact), bs = bcast_strides(bd, &r, B_compact);
  // An operand with one channel is copied into the 64 lanes of one row (in
  // the output); every lane row of the result reads that row (c stride 0).
  const int k = r.c < NPU_NUM ? r.c : NPU_NUM;
  if (ad->c != r.c) {
    nodechip_local_c_fix8b_broadcast(A, output, ad->n, ad->h, ad->w, k, sign_A, A_compact, node);
    A = output;
    as.n = ad->n == r.n ? plane(ad->h, ad->w) : 0;
    as.c = 0;
  }
  if (bd->c != r.c) {
    nodechip_local_c_fix8b_broadcast(B, output, bd->n, bd->h, bd->w, k, sign_B, B_compact, node);
    B = output;
    bs.n = bd->n == r.n ? plane(bd->h, bd->w) : 0;
    bs.c = 0;
  }
  const u32 H = bytes16(&r);
  const u32 first[3] = {A, B, output};
  const u32 second[3] = {scratch, scratch + H, width[2] ? scratch + 2 * H : output};
  const dim4_t rs = word_strides(&r, 0);
  fix8b_binary_param_t p = {scale_A, shift_A, &bs, 0, 0, scale_B, shift_B, &rs, binary_op, 0,
                            if_relu, width, sign, node};
  general_binary_fix8b_local(first, second, &r, &as, p);
}

void nodechip_broadcast_binary_fix8b_forward_local(u32 A, u32 B, u32 output, u32 scratch,
                                                   const int *A_shape, const int *B_shape,
                                                   int tensor_dim, int A_compact, int B_compact,
                                                   int binary_op, int scale_A, int scale_B,
                                                   int shift_A, int shift_B, const int *width,
                                                   const int *sign, int if_relu,
                                                   cmd_id_node_t *node) {
  ASSERT_FS(tensor_dim <= 8);
  const int *b0_shape = A_shape, *b1_shape = B_shape;
  for (int i = 0; i < tensor_dim; i++)
    if (b0_shape[i] != b1_shape[i]) ASSERT_FS((b0_shape[i] == 1) || (b1_shape[i] == 1));
  fix8b_bcast_plan_t plan;
  fix8b_bcast_plan_of(A_shape, B_shape, tensor_dim, &plan);
  const int merge_dim = plan.merge_dim;
  ASSERT_FS(merge_dim == 4);
  if (is_cmp(binary_op)) shift_A = shift_B = 0;
  nodechip_broadcast_binary_fix8b_dim4_forward_local(A, B, output, scratch, &plan.a, &plan.b,
                                                     A_compact & 0xFF, B_compact & 0xFF,
                                                     binary_op, scale_A, scale_B, shift_A,
                                                     shift_B, width, sign, if_relu, node);
}

// ---- Bias, batch-norm scale ----

// The last step of the 16-bit kernels: out = 0 + T narrowed to 8 bits, signed
// or not, after an optional final right shift.
static void narrow(u32 T, u32 out, const dim4_t *shape, const dim4_t *s, int is_signed, int rshift,
                   cmd_id_node_t *node) {
  fx_cmd_t k = fx(TENSOR_OP_ADD, 0, s, T, s, out, s);
  k.A_const = 1;
  k.rshift = rshift;
  k.shift_type = is_signed;
  k.sign[0] = k.sign[1] = (u32)is_signed;
  k.int8[2] = 1;
  fx_issue(&k, shape, node);
}
// T = max(T, 0) and, with a positive limit, min(T, limit) (16-bit signed).
static void relu16(u32 T, const dim4_t *shape, const dim4_t *s, int limit, cmd_id_node_t *node) {
  op16(TENSOR_OP_MAX, T, 0, 0, 1, T, shape, s, node);
  if (limit > 0) op16(TENSOR_OP_MIN, T, 0, (u32)limit, 1, T, shape, s, node);
}

void nodechip_biasadd_local_fix8b(u32 input, u32 bias, u32 output, u32 buffer,
                                  const dim4_t *shape, int input_signed, int bias_signed,
                                  int multiplier, int shift, int if_relu, int upper_limit,
                                  cmd_id_node_t *node) {
  const dim4_t s = word_strides(shape, 0), per_channel = {0, 1, 0, 0};
  const u32 T = tag(buffer);
  fx_cmd_t k = fx(TENSOR_OP_MUL, tag(input), &s, (u32)multiplier, &s, T, &s);
  k.B_const = 1;
  k.sign[0] = (u32)input_signed;
  k.sign[1] = 1;
  k.int8[0] = k.int8[1] = 1;
  fx_issue(&k, shape, node);
  k = fx(TENSOR_OP_ADD, T, &s, tag(bias), &per_channel, T, &s);
  k.rshift = shift;
  k.shift_type = 1;
  k.sign[0] = 1;
  k.sign[1] = (u32)bias_signed;
  k.bcast[0] = 1;
  fx_issue(&k, shape, node);
  if (if_relu) relu16(T, shape, &s, upper_limit, node);
  narrow(T, tag(output), shape, &s, !if_relu, 0, node);
}

void nodechip_bnscale_fix8b_forward_local(u32 input, u32 buffer, u32 scale, u32 bias, u32 shift,
                                          u32 output, int n, int c, int h, int w,
                                          int input_signed, int scale_signed, int bias_signed,
                                          int scale_compact, int bias_compact, int shift_compact,
                                          int if_relu, int upper_limit, cmd_id_node_t *node) {
  const dim4_t shape = {n, c, h, w};
  const dim4_t s = word_strides(&shape, 0);
  // One value per channel: per lane row (compact) or per 32-word block.
  const dim4_t block = {rows(c) * 32, 32, 0, 0}, row = {rows(c), 1, 0, 0};
  const u32 T = tag(buffer);
  fx_cmd_t k = fx(TENSOR_OP_MUL, tag(input), &s, tag(scale), scale_compact ? &row : &block, T, &s);
  k.sign[0] = (u32)input_signed;
  k.sign[1] = (u32)scale_signed;
  k.int8[0] = k.int8[1] = 1;
  k.bcast[0] = k.bcast[2] = k.bcast[3] = 1;
  fx_issue(&k, &shape, node);
  const int t_signed = input_signed || scale_signed;
  k = fx(TENSOR_OP_ADD, T, &s, tag(bias), bias_compact ? &row : &block, T, &s);
  k.sign[0] = (u32)t_signed;
  k.sign[1] = (u32)bias_signed;
  k.bcast[0] = k.bcast[2] = k.bcast[3] = 1;
  fx_issue(&k, &shape, node);
  const int r_signed = t_signed || bias_signed;
  if (if_relu) op16(TENSOR_OP_MAX, T, 0, 0, 1, T, &shape, &s, node);
  k = fx(TENSOR_OP_SHIFT, T, &s, tag(shift), shift_compact ? &row : &block, T, &s);
  k.shift_type = r_signed;
  k.sign[0] = (u32)r_signed;
  k.sign[1] = 1;
  k.bcast[0] = k.bcast[2] = k.bcast[3] = 1;
  fx_issue(&k, &shape, node);
  if (if_relu && upper_limit > 0) op16(TENSOR_OP_MIN, T, 0, (u32)upper_limit, 1, T, &shape, &s, node);
  narrow(T, tag(output), &shape, &s, !if_relu && r_signed, 0, node);
}

// ---- Weighted sum ----

void nodechip_eltwise_fix8b_forward_local(const u32 *inputs, u32 output, u32 buffer, int n, int c,
                                          int h, int w, const int *channel_strides,
                                          int use_channel_strides, int op,
                                          const int *multipliers, const int *shifts,
                                          const int *signs, int count, int if_relu,
                                          cmd_id_node_t *node) {
  if (op == 0) {
    fw_log(0, "Does not support eltwize op code 0\n");
    return;
  }
  if (op != 1) {
    fw_log(0, "Does not support eltwize op code %d\n", op);
    return;
  }
  const int *scale_weight = multipliers;
  for (int i = 0; i < count; i++) ASSERT_FS(scale_weight[i] < 128 && scale_weight[i] >= 0);
  const dim4_t shape = {n, c, h, w};
  const dim4_t s = word_strides(&shape, 0);
  const u32 T = tag(buffer);
  int any_signed = 0;
  for (int i = 0; i < count; i++) {
    dim4_t is = s;
    if (use_channel_strides) {
      is.c = channel_strides[i];
      is.n = rows(c) * channel_strides[i];
    }
    // T = (x_0 m_0 >> s_0), then T += x_i m_i >> s_i: the old T is shifted up
    // by s_i first so that only the new product is scaled down.
    fx_cmd_t k = fx(i == 0 ? TENSOR_OP_MUL : TENSOR_OP_MAC, tag(inputs[i]), &is,
                    (u32)scale_weight[i], &s, T, &s);
    k.B_const = 1;
    k.rshift = shifts[i];
    k.shift2 = i == 0 ? 0 : shifts[i];
    k.shift_type = 1;
    k.sign[0] = (u32)signs[i];
    k.sign[1] = k.sign[2] = 1;
    k.int8[0] = k.int8[1] = 1;
    fx_issue(&k, &shape, node);
    any_signed |= signs[i];
  }
  if (if_relu == 1 && any_signed) op16(TENSOR_OP_MAX, T, 0, 0, 1, T, &shape, &s, node);
  narrow(T, tag(output), &shape, &s, any_signed && if_relu != 1, 0, node);
}

// ---- PReLU ----

void nodechip_prelu_forward_local_fix8b_v2(u32 input, u32 output, u32 slope, u32 scratch,
                                           int channel_shared, int shared_slope,
                                           const dim4_t *shape, int slope_layout, int mode1,
                                           int unused10, int mode2, int rshift,
                                           cmd_id_node_t *node) {
  (void)unused10;
  ASSERT_FS(shared_slope <= 127 && shared_slope >= -128);
  const dim4_t s = word_strides(shape, 0);
  const u32 in = tag(input), out = tag(output), sc = tag(scratch);
  if (!mode1 && !mode2) {
    const dim4_t words = {(shape->n + 3) / 4, shape->c, shape->h, shape->w};
    atomic_tensor_arithmetic_gen_cmd(in, 0, out, &words, 0, 0, 0, &s, &s, &s, TENSOR_OP_COPY, 0, 0,
                                     0, 0, 0, 0, node);
    return;
  }
  // All 8-bit signed: out = max(x, 0); scratch = (x - out) x slope >> rshift;
  // out += scratch.
  fx_cmd_t k = fx(TENSOR_OP_MAX, in, &s, 0, &s, out, &s);
  k.B_const = 1;
  k.sign[0] = k.sign[1] = k.sign[2] = 1;
  k.int8[0] = k.int8[1] = k.int8[2] = 1;
  fx_issue(&k, shape, node);
  if (channel_shared && shared_slope == 0) return;
  k = fx(TENSOR_OP_SUB, in, &s, out, &s, sc, &s);
  k.sign[0] = k.sign[1] = k.sign[2] = 1;
  k.int8[0] = k.int8[1] = k.int8[2] = 1;
  fx_issue(&k, shape, node);
  const int map = slope_layout == 1;
  const dim4_t ps = {rows(shape->c), map ? plane(shape->h, shape->w) : 1, map ? shape->w : 1, 1};
  k = fx(TENSOR_OP_MUL, sc, &s, channel_shared ? (u32)shared_slope : tag(slope),
         channel_shared ? &s : &ps, sc, &s);
  k.B_const = channel_shared;
  k.rshift = rshift;
  k.shift_type = 1;
  k.sign[0] = k.sign[1] = k.sign[2] = 1;
  k.int8[0] = k.int8[1] = k.int8[2] = 1;
  if (!channel_shared) {
    k.bcast[0] = 1;
    k.bcast[2] = k.bcast[3] = !map;
  }
  fx_issue(&k, shape, node);
  k = fx(TENSOR_OP_ADD, out, &s, sc, &s, out, &s);
  k.sign[0] = k.sign[1] = k.sign[2] = 1;
  k.int8[0] = k.int8[1] = k.int8[2] = 1;
  fx_issue(&k, shape, node);
}

void nodechip_prelu_forward_local_fix8b(u32 input, u32 output, u32 slope, int channel_shared,
                                        int shared_slope, const dim4_t *shape, int slope_layout,
                                        int mode1, int unused, int mode2, int rshift,
                                        cmd_id_node_t *node) {
  nodechip_prelu_forward_local_fix8b_v2(input, output, slope, input, channel_shared, shared_slope,
                                        shape, slope_layout, mode1, unused, mode2, rshift, node);
}

// ---- Select ----

// x = (x m >> r) narrowed back in place, through the 16-bit buffer.
static void rescale_in_place(u32 x, u32 T, int x_signed, int m, int r, const dim4_t *shape,
                             const dim4_t *s, cmd_id_node_t *node) {
  fx_cmd_t k = fx(TENSOR_OP_MUL, x, s, (u32)m, s, T, s);
  k.B_const = 1;
  k.rshift = r;
  k.shift_type = 1;
  k.sign[0] = (u32)x_signed;
  k.sign[1] = 1;
  k.int8[0] = k.int8[1] = 1;
  fx_issue(&k, shape, node);
  narrow(T, x, shape, s, 1, 0, node);
}

void nodechip_select_fix8b_local(u32 cond, u32 buffer, u32 then_addr, int then_is_const,
                                 int then_value, u32 else_addr, int else_is_const, int else_value,
                                 u32 output, const dim4_t *shape, int cond_signed,
                                 int then_signed, int else_signed, int then_multiplier,
                                 int then_rshift, int else_multiplier, int else_rshift,
                                 int unused18, int unused19, cmd_id_node_t *node) {
  (void)unused18;
  (void)unused19;
  const dim4_t s = word_strides(shape, 0);
  const u32 T = tag(buffer), C = tag(cond);
  if (!then_is_const && (then_multiplier != 1 || then_rshift != 0))
    rescale_in_place(tag(then_addr), T, then_signed, then_multiplier, then_rshift, shape, &s, node);
  if (!else_is_const && (else_multiplier != 1 || else_rshift != 0))
    rescale_in_place(tag(else_addr), T, else_signed, else_multiplier, else_rshift, shape, &s, node);
  fx_cmd_t k = fx(TENSOR_OP_MUL, C, &s, then_is_const ? (u32)then_value : tag(then_addr), &s, T, &s);
  k.B_const = then_is_const;
  k.shift_type = 1;
  k.sign[0] = (u32)cond_signed;
  k.sign[1] = (u32)then_signed;
  k.int8[0] = k.int8[1] = 1;
  fx_issue(&k, shape, node);
  k = fx(TENSOR_OP_SUB, 1, &s, C, &s, C, &s);
  k.A_const = 1;
  k.sign[0] = k.sign[1] = (u32)cond_signed;
  k.int8[0] = k.int8[1] = k.int8[2] = 1;
  fx_issue(&k, shape, node);
  const int r_signed = then_signed || else_signed;
  k = fx(TENSOR_OP_MAC, C, &s, else_is_const ? (u32)else_value : tag(else_addr), &s, T, &s);
  k.B_const = else_is_const;
  k.shift_type = 1;
  k.sign[0] = (u32)cond_signed;
  k.sign[1] = (u32)else_signed;
  k.sign[2] = (u32)r_signed;
  k.int8[0] = k.int8[1] = 1;
  fx_issue(&k, shape, node);
  narrow(T, tag(output), shape, &s, r_signed, 0, node);
}

// ---- Arithmetic shift ----

void nodechip_arith_shift_fix8b_forward_local(u32 input, u32 shift_operand, u32 buffer,
                                              u32 output, int n, int c, int h, int w,
                                              int shift_type, int g, int shift_kind,
                                              int input_signed, cmd_id_node_t *node) {
  const dim4_t shape = {n, c, h, w};
  const dim4_t s = word_strides(&shape, 0);
  const u32 T = tag(buffer);
  // Type 2 shifts by 1 - g and rounds the last place away in the narrowing.
  const int k0 = shift_type == 0 ? g : shift_type == 1 ? -g : 1 - g;
  fx_cmd_t k = fx(TENSOR_OP_ADD, 0, &s, tag(input), &s, T, &s);
  k.A_const = 1;
  k.sign[0] = k.sign[1] = (u32)input_signed;
  k.int8[0] = k.int8[1] = 1;
  fx_issue(&k, &shape, node);
  u32 count = (u32)k0;
  int count_const = 1;
  const dim4_t per_channel = {0, 1, 0, 0};
  if (shift_kind == 1 || shift_kind == 2) {
    // The counts as 16-bit values after the widened input: g, -g or 1 - g per
    // channel or per element.
    const u32 counts = T + (u32)((n + 1) / 2 * 2) * (u32)rows(c) * (u32)plane(h, w) * 2u;
    const dim4_t *gs = shift_kind == 1 ? &per_channel : &s;
    k = shift_type == 0 ? fx(TENSOR_OP_ADD, 0, &s, tag(shift_operand), gs, counts, &s)
                        : fx(TENSOR_OP_SUB, shift_type == 1 ? 0u : 1u, &s, tag(shift_operand), gs,
                             counts, &s);
    k.A_const = 1;
    k.sign[0] = k.sign[1] = 1;
    k.int8[0] = k.int8[1] = 1;
    if (shift_kind == 1) k.bcast[0] = 1;
    fx_issue(&k, &shape, node);
    count = counts;
    count_const = 0;
  }
  k = fx(TENSOR_OP_SHIFT, T, &s, count, &s, T, &s);
  k.B_const = count_const;
  k.shift_type = input_signed;
  k.sign[0] = (u32)input_signed;
  k.sign[1] = 1;
  fx_issue(&k, &shape, node);
  narrow(T, tag(output), &shape, &s, input_signed, shift_type == 2 ? 1 : 0, node);
}
