// The 8-bit binary family: constant, element-wise and broadcast layers, their
// slice plans, and the dispatch to the with-blob layers for 16-bit operands.
#include "layers/eltwise/binary_fix8b.h"

#include <string.h>

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_ops.h"
#include "layers/eltwise/binary.h"
#include "local/eltwise.h"
#include "local/eltwise_fix8b.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/services.h"

static int imin(int a, int b) { return a < b ? a : b; }
static int is_cmp(int op) { return op >= BINARY_GT && op <= BINARY_NE; }

// ---- Planning ----

fix8b_slice_t fix8b_slice_of(int n, int c, int h, int w, u32 budget, int t, int rows_by_width) {
  fix8b_slice_t s;
  const i64 lanes = ceil_div(c, NPU_NUM);
  const i64 S = lanes * align_up((i64)h * w, 32) * 4;
  if (S == 0 || w == 0) {
    // An empty tensor: one slice of nothing.
    s.n_slice = n, s.h_slice = h, s.bytes = 0;
    return s;
  }
  if (t * S <= (i64)budget) {
    const i64 groups = (i64)budget / (t * S);
    s.n_slice = (int)(4 * groups < n ? 4 * groups : n);
    s.h_slice = h;
  } else {
    s.n_slice = 4;
    const i64 rows = rows_by_width ? (i64)budget / (lanes * w * 4) : ((i64)budget / (lanes * t * 4) - 32) / w;
    s.h_slice = (int)(rows < h ? rows : h);
  }
  const i64 groups = t == 2 ? ceil_div(s.n_slice, 2) : ceil_div(s.n_slice, 4);
  s.bytes = (u32)(groups * lanes * align_up((i64)w * (s.h_slice > 0 ? s.h_slice : 0), 32) * 4);
  return s;
}

void fix8b_flags_of(int A_type, int B_type, int op, int *is_int8, int *is_sign) {
  is_int8[0] = A_type != FIX8B_TYPE_I16;
  is_int8[1] = B_type != FIX8B_TYPE_I16;
  is_int8[2] = 1;
  is_sign[0] = A_type == FIX8B_TYPE_I8 || A_type == FIX8B_TYPE_I16;
  is_sign[1] = B_type == FIX8B_TYPE_I8 || B_type == FIX8B_TYPE_I16;
  is_sign[2] = op == BINARY_SUB || A_type != FIX8B_TYPE_U8 || B_type != FIX8B_TYPE_U8;
}

// Every extent non-negative and all of them together (samples included)
// within the 32-bit counts the dimension merges multiply into.
static void check_extents(const int *shape, int dims) {
  i64 count = 1;
  for (int i = 0; i < dims; i++) {
    ASSERT_FS(shape[i] >= 0, "dimension %d: %d", i, shape[i]);
    count *= shape[i];
    if (count > 0x7fffffff) count = 0x80000000ll;
  }
  ASSERT_FS(count <= 0x7fffffff, "more than 2^31 - 1 elements");
}

// ---- Moves of 4N groups ----

// Words of a slice of a 4N tensor of shape (n, c, h, w): groups [n0 / 4, ...)
// of the slice's samples, rows [h0, h0 + hs), whole channels and rows. A
// coefficient operand is stored 1N and converted to 4N on the load.
static void move_slice(u32 local, u64 global, const int *shape, int n0, int ns, int h0, int hs, int to_local,
                       int is_coeff, cmd_id_node_t *node) {
  const int c = shape[1], h = shape[2], w = shape[3];
  if (is_coeff && to_local) {
    gdma_move_global1N_local2N4N(global + (u64)n0 * (u64)c * (u64)h * (u64)w + (u64)h0 * (u64)w, local, 0, ns, c, h,
                                 w, c, hs, w, 0, 1, 1, node);
    return;
  }
  const int groups = (int)ceil_div(ns, 4);
  const dim4_t s = {groups, c, hs, w};
  const dim4_t gs = {c * h * w, h * w, w, 1};
  dim4_t ls;
  get_tensor_stride_by_shape(&ls, &s, 1, 1, 4, 0);
  const u64 at = global + 4ull * (((u64)(n0 / 4) * (u64)c * (u64)h) * (u64)w + (u64)h0 * (u64)w);
  if (to_local)
    tensor_general_load(local, at, GDMA_VALUE_FORMAT_FLOAT32, 1, &s, &ls, &gs, node);
  else
    tensor_general_save(local, at, GDMA_VALUE_FORMAT_FLOAT32, 1, &s, &ls, &gs, node);
}

// ---- The pipeline ----

fix8b_step_t fix8b_step_of(int step, int slices) {
  fix8b_step_t t;
  t.store = step >= 2 && step - 2 < slices ? step - 2 : -1;
  t.compute = step >= 1 && step - 1 < slices ? step - 1 : -1;
  t.load = step < slices ? step : -1;
  return t;
}

// Slice i of the plan: samples and rows, h fastest.
static fix8b_part_t part_of(int n, int h, const fix8b_slice_t *s, int i) {
  const int hsecs = (int)ceil_div(h, s->h_slice);
  fix8b_part_t p;
  p.i = i;
  p.n0 = (i / hsecs) * s->n_slice;
  p.ns = imin(s->n_slice, n - p.n0);
  p.h0 = (i % hsecs) * s->h_slice;
  p.hs = imin(s->h_slice, h - p.h0);
  return p;
}

// Three stages over the slices: step i stores slice i - 2 from its output
// buffer (the move copy of the node) while slice i - 1 is computed into the
// other one (the compute copy), then loads slice i. The computations read
// their inputs where they were loaded, so a load waits for the computation
// before it; the stores overlap the computations.
template <class Load, class Compute, class Store>
static void fix8b_pipeline(int n, int h, const fix8b_slice_t *s, Load load, Compute compute, Store store,
                           cmd_id_node_t *node) {
  const int slices = (int)(ceil_div(n, s->n_slice) * ceil_div(h, s->h_slice));
  for (int step = 0; step < slices + 2; step++) {
    const fix8b_step_t t = fix8b_step_of(step, slices);
    cmd_id_node_t move, comp;
    cmd_id_divide(node, &move, &comp);
    if (t.store >= 0) store(part_of(n, h, s, t.store), &move);
    if (t.compute >= 0) compute(part_of(n, h, s, t.compute), &comp);
    cmd_id_merge(node, &move, &comp);
    if (t.load >= 0) load(part_of(n, h, s, t.load), node);
    fix_cmd_node_overflow(node);
  }
}

// ---- Constant layer ----

// The 4-D core: the checks, then the pipeline of slices of A.
static void nodechip_const_binary_fix8b_dim4_forward_parallel(u64 A_addr, u64 R_addr, int quantized_val_b,
                                                              const dim4_t *d, int op, int scale_A, int rshift,
                                                              int sign_A, int result_sign, int inversed, int if_relu,
                                                              cmd_id_node_t *node) {
  ASSERT_FS(scale_A < 128 && scale_A >= 0);
  ASSERT_FS(sign_A == 0 || sign_A == 1);
  ASSERT_FS(if_relu == 0 || if_relu == 1);
  const int tensor_c = d->c;
  ASSERT_FS(tensor_c < 4096);
  if (op == BINARY_MUL) ASSERT_FS(quantized_val_b == 1);
  if (op == BINARY_DIV) ASSERT_FS(0);
  if (d->n == 0 || d->c == 0 || d->h == 0 || d->w == 0) return;
  if (is_cmp(op)) rshift = 0;
  // The equality comparisons keep a second 16-bit slot of the slice beside
  // the scaled input: their groups count twice against the budget.
  const int t = op == BINARY_EQ || op == BINARY_NE ? 2 : 1;
  const fix8b_slice_t s = fix8b_slice_of(d->n, d->c, d->h, d->w, FIX8B_CONST_BUDGET, t, 0);
  const int n_slice = s.n_slice, h_slice = s.h_slice;
  ASSERT_FS(n_slice > 0 && h_slice > 0);
  const u32 num_4n = (u32)ceil_div(n_slice, 4), c_num_lmem = (u32)ceil_div(d->c, NPU_NUM),
            c_lmem_size = (u32)align_up((i64)d->w * h_slice, 32) * 4, new_bank_size = FIX8B_CONST_BUDGET / t;
  ASSERT_FS(num_4n * c_num_lmem * c_lmem_size <= new_bank_size);
  const int dims[4] = {d->n, d->c, d->h, d->w};
  const u32 outs[2] = {FIX8B_CONST_OUT0, FIX8B_CONST_OUT1};
  fix8b_pipeline(
      d->n, d->h, &s,
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        move_slice(FIX8B_CONST_INPUT, A_addr, dims, p.n0, p.ns, p.h0, p.hs, 1, 0, k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        const int sl[4] = {p.ns, d->c, p.hs, d->w};
        nodechip_const_binary_fix8b_forward_local(FIX8B_CONST_INPUT, outs[p.i % 2], FIX8B_CONST_SCRATCH,
                                                  quantized_val_b, sl, 4, op, scale_A, 0, rshift, 0, sign_A, 0,
                                                  result_sign, op == BINARY_EQ || op == BINARY_NE ? 0 : inversed,
                                                  if_relu, k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        move_slice(outs[p.i % 2], R_addr, dims, p.n0, p.ns, p.h0, p.hs, 0, 0, k);
      },
      node);
}

void nodechip_const_binary_fix8b_forward_parallel(u64 A_addr, u64 R_addr, int quantized_val_b, const int *shape,
                                                  int tensor_dim, int op, int scale_A, int unused8, int rshift,
                                                  int unused10, int sign_A, int unused12, int result_sign,
                                                  int inversed, int if_relu, cmd_id_node_t *node) {
  (void)unused8, (void)unused10, (void)unused12;
  ASSERT_FS(tensor_dim >= 1 && tensor_dim <= 8, "tensor_dim=%d", tensor_dim);
  check_extents(shape, tensor_dim);
  dim4_t d;
  fix8b_dim4_of(shape, tensor_dim, &d);
  nodechip_const_binary_fix8b_dim4_forward_parallel(A_addr, R_addr, quantized_val_b, &d, op, scale_A, rshift, sign_A,
                                                    result_sign, inversed, if_relu, node);
}

// ---- Element-wise layer ----

// The checks of both 4-D cores.
#define FIX8B_CORE_CHECKS(is_sign)                      \
  do {                                                  \
    const int sign_A = is_sign[0], sign_B = is_sign[1]; \
    const int result_sign = is_sign[2];                 \
    ASSERT_FS(scale_A < 128 && scale_A >= 0);           \
    ASSERT_FS(scale_B < 128 && scale_B >= 0);           \
    ASSERT_FS(sign_A == 0 || sign_A == 1);              \
    ASSERT_FS(sign_B == 0 || sign_B == 1);              \
    ASSERT_FS(result_sign == 0 || result_sign == 1);    \
    ASSERT_FS(if_relu == 0 || if_relu == 1);            \
  } while (0)

// The slice checks of both 4-D cores.
static fix8b_slice_t core_slices(const dim4_t *r, int op) {
  const int t = op == BINARY_EQ || op == BINARY_NE ? 2 : 1;
  const fix8b_slice_t s = fix8b_slice_of(r->n, r->c, r->h, r->w, FIX8B_CORE_BUDGET, t, 0);
  const int n_slice = s.n_slice, h_slice = s.h_slice;
  ASSERT_FS(n_slice > 0 && h_slice > 0);
  const u32 num_4n = (u32)(t == 2 ? ceil_div(n_slice, 2) : ceil_div(n_slice, 4)),
            c_num_lmem = (u32)ceil_div(r->c, NPU_NUM), c_lmem_size = (u32)align_up((i64)r->w * h_slice, 32) * 4;
  ASSERT_FS(num_4n * c_num_lmem * c_lmem_size <= ((1<<19) / 8));
  return s;
}

static void nodechip_eltwise_binary_fix8b_dim4_forward_parallel(u64 A_addr, u64 B_addr, u64 R_addr, const dim4_t *d,
                                                                int A_is_coeff, int B_is_coeff, int op, int scale_A,
                                                                int scale_B, int rshift_A, int rshift_B,
                                                                const int *is_int8, const int *is_sign, int if_relu,
                                                                cmd_id_node_t *node) {
  FIX8B_CORE_CHECKS(is_sign);
  const int tensor_c = d->c;
  ASSERT_FS(tensor_c < 4096);
  if (d->n == 0 || d->c == 0 || d->h == 0 || d->w == 0) return;
  const fix8b_slice_t s = core_slices(d, op);
  const int dims[4] = {d->n, d->c, d->h, d->w};
  const u32 outs[2] = {FIX8B_CORE_OUT0, FIX8B_CORE_OUT1};
  fix8b_pipeline(
      d->n, d->h, &s,
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        move_slice(FIX8B_CORE_A, A_addr, dims, p.n0, p.ns, p.h0, p.hs, 1, A_is_coeff, k);
        move_slice(FIX8B_CORE_B, B_addr, dims, p.n0, p.ns, p.h0, p.hs, 1, B_is_coeff, k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        const int sl[4] = {p.ns, d->c, p.hs, d->w};
        nodechip_eltwise_binary_fix8b_forward_local(FIX8B_CORE_A, FIX8B_CORE_B, outs[p.i % 2], FIX8B_CORE_SCRATCH,
                                                    sl, 4, 0, 0, op, scale_A, scale_B, rshift_A, rshift_B, is_int8,
                                                    is_sign, if_relu, k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        move_slice(outs[p.i % 2], R_addr, dims, p.n0, p.ns, p.h0, p.hs, 0, 0, k);
      },
      node);
}

void nodechip_eltwise_binary_fix8b_forward_parallel(u64 A_addr, u64 B_addr, u64 R_addr, const int *shape,
                                                    int tensor_dim, u8 A_is_coeff, u8 B_is_coeff, int op,
                                                    int scale_A, int scale_B, int rshift_A, int rshift_B,
                                                    const int *is_int8, const int *is_sign, int if_relu,
                                                    cmd_id_node_t *node) {
  ASSERT_FS(tensor_dim >= 1 && tensor_dim <= 8, "tensor_dim=%d", tensor_dim);
  check_extents(shape, tensor_dim);
  dim4_t d;
  fix8b_dim4_of(shape, tensor_dim, &d);
  if (is_cmp(op)) rshift_A = rshift_B = 0;
  if (!is_int8[0]) {
    ASSERT_FS(is_sign[0]);
    nodechip_eltwise_binary_with_blob_forward_parallel(B_addr, A_addr, R_addr, d.n, d.c, d.h, d.w, op, scale_B,
                                                       rshift_B, is_sign[1], if_relu, 1, node);
  } else if (!is_int8[1]) {
    ASSERT_FS(is_sign[1]);
    nodechip_eltwise_binary_with_blob_forward_parallel(A_addr, B_addr, R_addr, d.n, d.c, d.h, d.w, op, scale_A,
                                                       rshift_A, is_sign[0], if_relu, 0, node);
  } else {
    nodechip_eltwise_binary_fix8b_dim4_forward_parallel(A_addr, B_addr, R_addr, &d, A_is_coeff, B_is_coeff, op,
                                                        scale_A, scale_B, rshift_A, rshift_B, is_int8, is_sign,
                                                        if_relu, node);
  }
}

// ---- Broadcast layer ----

// The operand's part of a result slice: its own extent where it spans the
// dimension, 1 (at 0) where it is broadcast.
static void operand_slice(const dim4_t *own, const dim4_t *r, int n0, int ns, int h0, int hs, int *on0, int *ons,
                          int *oh0, int *ohs) {
  *on0 = own->n == r->n ? n0 : 0;
  *ons = own->n == r->n ? ns : 1;
  *oh0 = own->h == r->h ? h0 : 0;
  *ohs = own->h == r->h ? hs : 1;
}

static void nodechip_broadcast_binary_fix8b_dim4_forward_parallel(
    u64 A_addr, u64 B_addr, u64 R_addr, const dim4_t *a, const dim4_t *b, int A_is_coeff, int B_is_coeff, int op,
    int scale_A, int scale_B, int rshift_A, int rshift_B, const int *is_int8, const int *is_sign, int if_relu,
    cmd_id_node_t *node) {
  FIX8B_CORE_CHECKS(is_sign);
  const int b0_shape[4] = {a->n, a->c, a->h, a->w}, b1_shape[4] = {b->n, b->c, b->h, b->w};
  int top_shape[4];
  for (int i = 0; i < 4; i++) {
    if (b0_shape[i] != b1_shape[i]) ASSERT_FS((b0_shape[i] == 1) || (b1_shape[i] == 1));
    top_shape[i] = b0_shape[i] > b1_shape[i] ? b0_shape[i] : b1_shape[i];
  }
  ASSERT_FS(top_shape[1] < 4096);
  const dim4_t r = {top_shape[0], top_shape[1], top_shape[2], top_shape[3]};
  if (r.n == 0 || r.c == 0 || r.h == 0 || r.w == 0) return;
  const fix8b_slice_t s = core_slices(&r, op);
  const int adims[4] = {a->n, a->c, a->h, a->w}, bdims[4] = {b->n, b->c, b->h, b->w};
  const int rdims[4] = {r.n, r.c, r.h, r.w};
  const u32 outs[2] = {FIX8B_CORE_OUT0, FIX8B_CORE_OUT1};
  fix8b_pipeline(
      r.n, r.h, &s,
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        int an0, ans, ah0, ahs, bn0, bns, bh0, bhs;
        operand_slice(a, &r, p.n0, p.ns, p.h0, p.hs, &an0, &ans, &ah0, &ahs);
        operand_slice(b, &r, p.n0, p.ns, p.h0, p.hs, &bn0, &bns, &bh0, &bhs);
        move_slice(FIX8B_CORE_A, A_addr, adims, an0, ans, ah0, ahs, 1, A_is_coeff, k);
        move_slice(FIX8B_CORE_B, B_addr, bdims, bn0, bns, bh0, bhs, 1, B_is_coeff, k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        int an0, ans, ah0, ahs, bn0, bns, bh0, bhs;
        operand_slice(a, &r, p.n0, p.ns, p.h0, p.hs, &an0, &ans, &ah0, &ahs);
        operand_slice(b, &r, p.n0, p.ns, p.h0, p.hs, &bn0, &bns, &bh0, &bhs);
        const int as[4] = {ans, a->c, ahs, a->w}, bs[4] = {bns, b->c, bhs, b->w};
        nodechip_broadcast_binary_fix8b_forward_local(FIX8B_CORE_A, FIX8B_CORE_B, outs[p.i % 2], FIX8B_CORE_SCRATCH,
                                                      as, bs, 4, 0, 0, op, scale_A, scale_B, rshift_A, rshift_B,
                                                      is_int8, is_sign, if_relu, k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        move_slice(outs[p.i % 2], R_addr, rdims, p.n0, p.ns, p.h0, p.hs, 0, 0, k);
      },
      node);
}

void nodechip_broadcast_binary_fix8b_forward_parallel(u64 A_addr, u64 B_addr, u64 R_addr, const int *b0_shape,
                                                      const int *b1_shape, int tensor_dim, u8 A_is_coeff,
                                                      u8 B_is_coeff, int op, int scale_A, int scale_B, int rshift_A,
                                                      int rshift_B, const int *is_int8, const int *is_sign,
                                                      int if_relu, cmd_id_node_t *node) {
  ASSERT_FS(tensor_dim <= 8);
  ASSERT_FS(tensor_dim >= 1, "tensor_dim=%d", tensor_dim);
  check_extents(b0_shape, tensor_dim);
  check_extents(b1_shape, tensor_dim);
  for (int i = 0; i < tensor_dim; i++)
    if (b0_shape[i] != b1_shape[i]) ASSERT_FS((b0_shape[i] == 1) || (b1_shape[i] == 1));
  fix8b_bcast_plan_t plan;
  fix8b_bcast_plan_of(b0_shape, b1_shape, tensor_dim, &plan);
  const int merge_dim = plan.merge_dim;
  ASSERT_FS(merge_dim == 4);
  if (is_cmp(op)) rshift_A = rshift_B = 0;
  const int a[4] = {plan.a.n, plan.a.c, plan.a.h, plan.a.w}, b[4] = {plan.b.n, plan.b.c, plan.b.h, plan.b.w};
  if (!is_int8[0]) {
    ASSERT_FS(is_sign[0]);
    nodechip_broadcast_binary_with_blob_forward_parallel(B_addr, A_addr, R_addr, b, a, op, scale_B, rshift_B,
                                                         is_sign[1], if_relu, 1, node);
  } else if (!is_int8[1]) {
    ASSERT_FS(is_sign[1]);
    nodechip_broadcast_binary_with_blob_forward_parallel(A_addr, B_addr, R_addr, a, b, op, scale_A, rshift_A,
                                                         is_sign[0], if_relu, 0, node);
  } else {
    nodechip_broadcast_binary_fix8b_dim4_forward_parallel(A_addr, B_addr, R_addr, &plan.a, &plan.b, A_is_coeff,
                                                          B_is_coeff, op, scale_A, scale_B, rshift_A, rshift_B,
                                                          is_int8, is_sign, if_relu, node);
  }
}

// ---- With a 16-bit blob ----

// One fixed-point command: R = A op B; a constant operand gives its value in
// place of its address. w8 {A, B, R}: 1 8-bit, 0 16-bit; sg {A, B, R read}.
typedef struct {
  tensor_op_t op;
  u32 A, B, R;
  int A_const, B_const;
  dim4_t As, Bs, Rs;
  int rshift, shift2, shift_type;
  u32 sg[3], w8[3];
} fx_t;

static void fx_issue(const fx_t *k, const dim4_t *shape, cmd_id_node_t *node) {
  const u32 addr[4] = {k->A_const ? k->A : LOCAL_ADDR_TAG | k->A, k->B_const ? k->B : LOCAL_ADDR_TAG | k->B, 0,
                       LOCAL_ADDR_TAG | k->R};
  const u32 bcast[4] = {k->Bs.n == 0, 0, k->Bs.h == 0, k->Bs.w == 0};
  const u32 Int8[4] = {k->w8[0], k->w8[1], 0, k->w8[2]};
  const u32 modes[4] = {BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN};
  const u32 shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, shape, bcast, &k->As, &k->Bs, &k->Rs, k->op, k->A_const, k->B_const,
                                         k->rshift, k->shift2, k->shift_type, k->sg, Int8, modes, shifts, 0, node);
}

// Word strides of a slice in local memory.
static dim4_t words_of(const dim4_t *s) {
  const int p = (int)eu_plane((u32)(s->h * s->w));
  return {(int)ceil_div(s->c, NPU_NUM) * p, p, s->w, 1};
}

// A 16-bit signed command on two 16-bit operands of the result's layout.
static void op16(tensor_op_t op, u32 L, int lc, u32 R, int rc, u32 out, const dim4_t *shape, cmd_id_node_t *node) {
  fx_t k = {};
  k.op = op, k.A = L, k.B = R, k.R = out, k.A_const = lc, k.B_const = rc;
  k.As = k.Bs = k.Rs = words_of(shape);
  k.sg[0] = k.sg[1] = k.sg[2] = 1;
  fx_issue(&k, shape, node);
}

// out16 = L op R on signed 16-bit values; T16 a 16-bit work slot for the
// equality comparisons.
static void blob_op(int op, u32 L, u32 R, u32 out, u32 T16, const dim4_t *shape, cmd_id_node_t *node) {
  switch (op) {
    case BINARY_ADD: op16(TENSOR_OP_ADD, L, 0, R, 0, out, shape, node); return;
    case BINARY_SUB: op16(TENSOR_OP_SUB, L, 0, R, 0, out, shape, node); return;
    case BINARY_MAX: op16(TENSOR_OP_MAX, L, 0, R, 0, out, shape, node); return;
    case BINARY_MIN: op16(TENSOR_OP_MIN, L, 0, R, 0, out, shape, node); return;
    case BINARY_GT:
    case BINARY_GE: op16(TENSOR_OP_SUB, L, 0, R, 0, out, shape, node); break;
    case BINARY_LT:
    case BINARY_LE: op16(TENSOR_OP_SUB, R, 0, L, 0, out, shape, node); break;
    case BINARY_EQ:
    case BINARY_NE:
      op16(op == BINARY_EQ ? TENSOR_OP_MIN : TENSOR_OP_MAX, L, 0, R, 0, T16, shape, node);
      op16(op == BINARY_EQ ? TENSOR_OP_MAX : TENSOR_OP_MIN, L, 0, R, 0, out, shape, node);
      op16(TENSOR_OP_SUB, T16, 0, out, 0, out, shape, node);
      break;
    default:
      fw_log(0, "Not supported operation code = %d\n", op);
      ASSERT_FS(0);
  }
  if (op == BINARY_GE || op == BINARY_LE || op == BINARY_EQ) op16(TENSOR_OP_ADD, out, 0, 1, 1, out, shape, node);
  op16(TENSOR_OP_MAX, out, 0, 0, 1, out, shape, node);
  op16(TENSOR_OP_MIN, out, 0, 1, 1, out, shape, node);
}

// x16 = scale x x8 over the result's shape, x8 read with strides xs (0 in
// its broadcast dimensions).
static void scale_x(u32 x8, const dim4_t *xs, u32 x16, int scale, int sign, const dim4_t *shape,
                    cmd_id_node_t *node) {
  fx_t k = {};
  k.op = TENSOR_OP_MUL, k.A = (u32)scale, k.A_const = 1, k.B = x8, k.R = x16;
  k.As = k.Bs = *xs;
  k.Rs = words_of(shape);
  k.shift_type = 1;
  k.sg[0] = 1, k.sg[1] = (u32)sign;
  k.w8[0] = k.w8[1] = 1;
  fx_issue(&k, shape, node);
}

// dst8 = 0 + src8 over the result's shape: repeats a broadcast 8-bit operand
// (src strides 0 in its broadcast dimensions), read signed.
static void expand8(u32 src, const dim4_t *ss, u32 dst, const dim4_t *shape, cmd_id_node_t *node) {
  fx_t k = {};
  k.op = TENSOR_OP_ADD, k.A = 0, k.A_const = 1, k.B = src, k.R = dst;
  k.As = k.Bs = *ss;
  k.Rs = words_of(shape);
  k.shift_type = 1;
  k.sg[0] = k.sg[1] = 1;
  k.w8[0] = k.w8[1] = k.w8[2] = 1;
  fx_issue(&k, shape, node);
}

// R8 = saturate(X16 >> rshift), addrs {0, X, 0, R}: X read signed when in_sign,
// the result saturated signed when out_sign, else unsigned.
static void tensor_saturate_fix8b_local(const u32 *addrs, const dim4_t *shape, const dim4_t *X_stride,
                                        const dim4_t *R_stride, int in_sign, int out_sign, int rshift,
                                        cmd_id_node_t *node) {
  fx_t k = {};
  k.op = TENSOR_OP_ADD, k.A = 0, k.A_const = 1, k.B = addrs[1], k.R = addrs[3];
  k.As = k.Bs = *X_stride;
  k.Rs = *R_stride;
  k.rshift = rshift, k.shift_type = out_sign;
  k.sg[0] = k.sg[1] = (u32)in_sign;
  k.w8[2] = 1;
  fx_issue(&k, shape, node);
}

// out8 = saturate(x16 >> rshift): signed, or unsigned after the ReLU.
static void narrow(u32 x16, u32 out, int rshift, int is_signed, const dim4_t *shape, cmd_id_node_t *node) {
  const u32 addrs[4] = {0, x16, 0, out};
  const dim4_t s = words_of(shape);
  tensor_saturate_fix8b_local(addrs, shape, &s, &s, is_signed, is_signed, rshift, node);
}

// R16 = 0 + X16 over R's full shape, addrs {0, X, 0, R}: repeats X along the
// dimensions where its stride is 0.
static void tensor_broadcast_fix16b_local(const u32 *addrs, const dim4_t *shape, const dim4_t *X_stride,
                                          const dim4_t *R_stride, cmd_id_node_t *node) {
  fx_t k = {};
  k.op = TENSOR_OP_ADD, k.A = 0, k.A_const = 1, k.B = addrs[1], k.R = addrs[3];
  k.As = k.Bs = *X_stride;
  k.Rs = *R_stride;
  k.shift_type = 1;
  k.sg[0] = k.sg[1] = 1;
  fx_issue(&k, shape, node);
}

// y16 := (x8 x y16) >> rshift with 8-bit multiplies: y16 = hi 2^8 + lo, hi x x8
// shifted up by 8 plus lo x x8. x8 is signed.
static void tensor_mul_8with16_fix8b_local(u32 x8, u32 byte_scratch, u32 y16, u32 scratch16, const dim4_t *shape,
                                           int rshift, cmd_id_node_t *node) {
  const dim4_t s = words_of(shape);
  fx_t k = {};
  k.As = k.Bs = k.Rs = s;
  k.op = TENSOR_OP_AND, k.A = y16, k.B = 0xff, k.B_const = 1, k.R = scratch16;  // t = y & 0xff
  fx_issue(&k, shape, node);
  k = {};
  k.As = k.Bs = k.Rs = s;
  k.op = TENSOR_OP_ADD, k.A = 0, k.A_const = 1, k.B = scratch16, k.R = byte_scratch;  // as unsigned 8-bit
  k.w8[2] = 1;
  fx_issue(&k, shape, node);
  k = {};
  k.As = k.Bs = k.Rs = s;
  k.op = TENSOR_OP_SHIFT, k.A = y16, k.B = (u32)-8, k.B_const = 1, k.R = y16;  // y >> 8, signed
  k.shift_type = 1, k.sg[0] = 1, k.sg[1] = 1, k.sg[2] = 1;
  fx_issue(&k, shape, node);
  k = {};
  k.As = k.Bs = k.Rs = s;
  k.op = TENSOR_OP_ADD, k.A = 0, k.A_const = 1, k.B = y16, k.R = scratch16;  // as signed 8-bit
  k.shift_type = 1, k.sg[0] = k.sg[1] = 1, k.w8[2] = 1;
  fx_issue(&k, shape, node);
  k = {};
  k.As = k.Bs = k.Rs = s;
  k.op = TENSOR_OP_MUL, k.A = scratch16, k.B = x8, k.R = y16;  // hi x x8
  k.shift_type = 1, k.sg[0] = k.sg[1] = 1, k.w8[0] = k.w8[1] = 1;
  fx_issue(&k, shape, node);
  k = {};
  k.As = k.Bs = k.Rs = s;
  k.op = TENSOR_OP_MAC, k.A = byte_scratch, k.B = x8, k.R = y16;  // (hi x x8) 2^8 + lo x x8, >> rshift
  k.shift2 = 8, k.rshift = rshift, k.shift_type = 1;
  k.sg[0] = 0, k.sg[1] = 1, k.sg[2] = 1;
  k.w8[0] = k.w8[1] = 1;
  fx_issue(&k, shape, node);
}

// The with-blob checks on x's scale and sign.
#define FIX8B_BLOB_CHECKS()                    \
  do {                                         \
    const int scale_A = scale, sign_A = sign;  \
    ASSERT_FS(scale_A < 128 && scale_A >= 0);  \
    ASSERT_FS(sign_A == 0 || sign_A == 1);     \
    ASSERT_FS(if_relu == 0 || if_relu == 1);   \
  } while (0)
#define FIX8B_BLOB_PRODUCT_CHECKS()           \
  do {                                        \
    const int scale_A = scale, sign_A = sign; \
    ASSERT_FS(scale_A == 1);                  \
    ASSERT_FS(sign_A == 1);                   \
  } while (0)

// Words of a 2N (16-bit) slice: groups [n0 / 2, ...).
static void move_blob_slice(u32 local, u64 global, const int *shape, int n0, int ns, int h0, int hs,
                            cmd_id_node_t *node) {
  const int c = shape[1], h = shape[2], w = shape[3];
  const dim4_t s = {(int)ceil_div(ns, 2), c, hs, w};
  const dim4_t gs = {c * h * w, h * w, w, 1};
  dim4_t ls;
  get_tensor_stride_by_shape(&ls, &s, 1, 1, 4, 0);
  tensor_general_load(local, global + 4ull * (((u64)(n0 / 2) * (u64)c * (u64)h) * (u64)w + (u64)h0 * (u64)w),
                      GDMA_VALUE_FORMAT_FLOAT32, 1, &s, &ls, &gs, node);
}

// The with-blob work on one slice of result shape r: x8 and y16 resident with
// their own slice shapes xo and yo (1 in broadcast dimensions).
static void blob_slice(const dim4_t *r, const dim4_t *xo, const dim4_t *yo, int op, int scale, int rshift, int sign,
                       int if_relu, int blob_first, u32 out, cmd_id_node_t *node) {
  dim4_t xs = words_of(xo), ys = words_of(yo);
  u32 x8 = FIX8B_BLOB_X, y16 = FIX8B_BLOB_Y;
  const int k = r->c < NPU_NUM ? r->c : NPU_NUM;
  // A one-channel operand is spread over the 64 lanes of one row, which every
  // row of the result reads (c stride 0).
  if (xo->c != r->c) {
    nodechip_local_c_fix8b_broadcast(x8, out, xo->n, xo->h, xo->w, k, sign, 0, node);
    x8 = out;
    xs.n = xo->n == r->n ? (int)eu_plane((u32)(xo->h * xo->w)) : 0;
    xs.c = 0;
  }
  if (yo->c != r->c) {
    // The 2N words copied as bytes of four times as many 8-bit items.
    nodechip_local_c_fix8b_broadcast(y16, FIX8B_BLOB_X16, 4 * (int)ceil_div(yo->n, 2), yo->h, yo->w, k, 0, 0, node);
    y16 = FIX8B_BLOB_X16;
    ys.n = yo->n == r->n ? (int)eu_plane((u32)(yo->h * yo->w)) : 0;
    ys.c = 0;
  }
  if (xo->n != r->n) xs.n = 0;
  if (xo->h != r->h) xs.h = 0;
  if (xo->w != r->w) xs.w = 0;
  if (yo->n != r->n) ys.n = 0;
  if (yo->h != r->h) ys.h = 0;
  if (yo->w != r->w) ys.w = 0;
  const int y_spread = ys.n == 0 || ys.c == 0 || ys.h == 0 || ys.w == 0 || y16 != FIX8B_BLOB_Y;
  if (y_spread) {
    const u32 addrs[4] = {0, y16, 0, FIX8B_BLOB_Y16};
    const dim4_t rs = words_of(r);
    tensor_broadcast_fix16b_local(addrs, r, &ys, &rs, node);
    y16 = FIX8B_BLOB_Y16;
  }
  if (op == BINARY_MUL) {
    const int x_spread = xs.n == 0 || xs.c == 0 || xs.h == 0 || xs.w == 0 || x8 != FIX8B_BLOB_X;
    if (x_spread) {
      expand8(x8, &xs, FIX8B_BLOB_X16, r, node);
      x8 = FIX8B_BLOB_X16;
    }
    // The byte scratch is the output buffer; the 16-bit scratch the third slot.
    tensor_mul_8with16_fix8b_local(x8, out, y16, FIX8B_BLOB_SCRATCH, r, rshift, node);
    if (if_relu) op16(TENSOR_OP_MAX, y16, 0, 0, 1, y16, r, node);
    narrow(y16, out, 0, !if_relu, r, node);
    return;
  }
  scale_x(x8, &xs, FIX8B_BLOB_X16, scale, sign, r, node);
  if (blob_first)
    blob_op(op, y16, FIX8B_BLOB_X16, FIX8B_BLOB_X16, FIX8B_BLOB_SCRATCH, r, node);
  else
    blob_op(op, FIX8B_BLOB_X16, y16, FIX8B_BLOB_X16, FIX8B_BLOB_SCRATCH, r, node);
  if (if_relu) op16(TENSOR_OP_MAX, FIX8B_BLOB_X16, 0, 0, 1, FIX8B_BLOB_X16, r, node);
  narrow(FIX8B_BLOB_X16, out, is_cmp(op) ? 0 : rshift, !if_relu, r, node);
}

static void blob_layer(u64 x_addr, u64 y_addr, u64 R_addr, const dim4_t *x, const dim4_t *y, const dim4_t *r, int op,
                       int scale, int rshift, int sign, int if_relu, int blob_first, const fix8b_slice_t *s,
                       cmd_id_node_t *node) {
  const int xd[4] = {x->n, x->c, x->h, x->w}, yd[4] = {y->n, y->c, y->h, y->w}, rd[4] = {r->n, r->c, r->h, r->w};
  const u32 outs[2] = {FIX8B_BLOB_OUT0, FIX8B_BLOB_OUT1};
  fix8b_pipeline(
      r->n, r->h, s,
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        int xn0, xns, xh0, xhs, yn0, yns, yh0, yhs;
        operand_slice(x, r, p.n0, p.ns, p.h0, p.hs, &xn0, &xns, &xh0, &xhs);
        operand_slice(y, r, p.n0, p.ns, p.h0, p.hs, &yn0, &yns, &yh0, &yhs);
        move_slice(FIX8B_BLOB_X, x_addr, xd, xn0, xns, xh0, xhs, 1, 0, k);
        move_blob_slice(FIX8B_BLOB_Y, y_addr, yd, yn0, yns, yh0, yhs, k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        int xn0, xns, xh0, xhs, yn0, yns, yh0, yhs;
        operand_slice(x, r, p.n0, p.ns, p.h0, p.hs, &xn0, &xns, &xh0, &xhs);
        operand_slice(y, r, p.n0, p.ns, p.h0, p.hs, &yn0, &yns, &yh0, &yhs);
        const dim4_t rs = {p.ns, r->c, p.hs, r->w}, xo = {xns, x->c, xhs, x->w}, yo = {yns, y->c, yhs, y->w};
        blob_slice(&rs, &xo, &yo, op, scale, rshift, sign, if_relu, blob_first, outs[p.i % 2], k);
      },
      [&](const fix8b_part_t &p, cmd_id_node_t *k) {
        move_slice(outs[p.i % 2], R_addr, rd, p.n0, p.ns, p.h0, p.hs, 0, 0, k);
      },
      node);
}

// Slices of the with-blob layers: 16-bit work areas of twice the 8-bit
// budget each; the equality comparisons and the product count twice.
static fix8b_slice_t blob_slices(const dim4_t *r, int op, int by_width) {
  const int t = op == BINARY_EQ || op == BINARY_NE || op == BINARY_MUL ? 2 : 1;
  const fix8b_slice_t s = fix8b_slice_of(r->n, r->c, r->h, r->w, FIX8B_BLOB_BUDGET, t, by_width);
  const int n_slice = s.n_slice, h_slice = s.h_slice;
  ASSERT_FS(n_slice > 0 && h_slice > 0);
  const u32 num_4n = (u32)ceil_div(n_slice, 4), c_num_lmem = (u32)ceil_div(r->c, NPU_NUM),
            c_lmem_size = (u32)align_up((i64)r->w * h_slice, 32) * 4, new_bank_size = FIX8B_BLOB_BUDGET / t;
  ASSERT_FS(num_4n * c_num_lmem * c_lmem_size <= new_bank_size);
  return s;
}

// The element-wise with-blob body after its checks.
#define FIX8B_BLOB_ELTWISE_BODY()                                                                            \
  do {                                                                                                       \
    const int tensor_c = c;                                                                                  \
    ASSERT_FS(tensor_c < 4096);                                                                              \
    ASSERT_FS(n >= 0 && c >= 0 && h >= 0 && w >= 0);                                                         \
    if (n == 0 || c == 0 || h == 0 || w == 0) return;                                                        \
    const dim4_t d = {n, c, h, w};                                                                           \
    const fix8b_slice_t s = blob_slices(&d, op, 0);                                                          \
    blob_layer(x_addr, y_addr, R_addr, &d, &d, &d, op, scale, rshift, sign, if_relu, blob_first, &s, node); \
  } while (0)

// The broadcast with-blob body after its checks.
#define FIX8B_BLOB_BCAST_BODY()                                                                                 \
  do {                                                                                                          \
    const int *b0_shape = x_shape, *b1_shape = y_shape;                                                         \
    int top_shape[4];                                                                                           \
    for (int i = 0; i < 4; i++) {                                                                               \
      if (b0_shape[i] != b1_shape[i]) ASSERT_FS((b0_shape[i] == 1) || (b1_shape[i] == 1));                      \
      top_shape[i] = b0_shape[i] > b1_shape[i] ? b0_shape[i] : b1_shape[i];                                     \
    }                                                                                                           \
    ASSERT_FS(top_shape[1] < 4096);                                                                             \
    const dim4_t x = {x_shape[0], x_shape[1], x_shape[2], x_shape[3]};                                          \
    const dim4_t y = {y_shape[0], y_shape[1], y_shape[2], y_shape[3]};                                          \
    const dim4_t r = {top_shape[0], top_shape[1], top_shape[2], top_shape[3]};                                  \
    if (r.n <= 0 || r.c <= 0 || r.h <= 0 || r.w <= 0) return;                                                   \
    const fix8b_slice_t s = blob_slices(&r, op, 1);                                                             \
    blob_layer(x_addr, y_addr, R_addr, &x, &y, &r, op, scale, rshift, sign, if_relu, blob_first, &s, node);    \
  } while (0)

// The products x8 x y16 (x signed, scale 1), in either operand order.
void nodechip_eltwise_binary_with_blob_mul_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, int n, int c, int h,
                                                            int w, int scale, int rshift, int sign, int if_relu,
                                                            cmd_id_node_t *node) {
  FIX8B_BLOB_PRODUCT_CHECKS();
  const int op = BINARY_MUL, blob_first = 0;
  FIX8B_BLOB_ELTWISE_BODY();
}

void nodechip_broadcast_binary_with_blob_mul_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, const int *x_shape,
                                                              const int *y_shape, int scale, int rshift, int sign,
                                                              int if_relu, cmd_id_node_t *node) {
  FIX8B_BLOB_PRODUCT_CHECKS();
  const int op = BINARY_MUL, blob_first = 0;
  FIX8B_BLOB_BCAST_BODY();
}

void nodechip_eltwise_binary_with_blob_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, int n, int c, int h,
                                                        int w, int op, int scale, int rshift, int sign, int if_relu,
                                                        int blob_first, cmd_id_node_t *node) {
  FIX8B_BLOB_CHECKS();
  if (op == BINARY_MUL) {
    nodechip_eltwise_binary_with_blob_mul_forward_parallel(x_addr, y_addr, R_addr, n, c, h, w, scale, rshift, sign,
                                                           if_relu, node);
    return;
  }
  FIX8B_BLOB_ELTWISE_BODY();
}

void nodechip_broadcast_binary_with_blob_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, const int *x_shape,
                                                          const int *y_shape, int op, int scale, int rshift, int sign,
                                                          int if_relu, int blob_first, cmd_id_node_t *node) {
  FIX8B_BLOB_CHECKS();
  if (op == BINARY_MUL) {
    nodechip_broadcast_binary_with_blob_mul_forward_parallel(x_addr, y_addr, R_addr, x_shape, y_shape, scale, rshift,
                                                             sign, if_relu, node);
    return;
  }
  FIX8B_BLOB_BCAST_BODY();
}
