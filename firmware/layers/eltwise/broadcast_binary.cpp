// Float32 and int32 binary_op layers: element-wise, with a scalar, and with
// broadcasting.
#include "layers/eltwise/broadcast_binary.h"

#include <string.h>

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_slice.h"
#include "layers/data/tile.h"
#include "local/conversion.h"
#include "local/eltwise.h"
#include "runtime/assert.h"


static int imin(int a, int b) { return a < b ? a : b; }

// ---- Flat layers ----

// Walks `length` elements in pieces of `piece_bytes` per lane; `fn` issues
// one piece given its element offset and shape.
template <class F>
static void for_each_piece(u64 length, u32 piece_bytes, F fn) {
  split_info_t hint;
  split_info_hint_by_localmem(&hint, (int)piece_bytes, 4);
  length_split_t split;
  init_length_split(&split, length, &hint);
  while (update_length_split(&split)) {
    const dim4_t shape = {split.n, split.c, split.h, split.w};
    fn(split.offset, &shape);
  }
}

void nodechip_eltwise_binary(u64 A_addr, u64 B_addr, u64 R_addr, u64 length, int binary_op, int if_relu,
                             float relu_upper_limit, cmd_id_node_t *node, int is_int32) {
  const u32 q = is_int32 ? ELTWISE_BINARY_PIECE_I32 : ELTWISE_BINARY_PIECE_F32;
  const u32 limit = f32_bits(relu_upper_limit);
  const int logical = is_logical_binary_op(binary_op);
  for_each_piece(length, q, [&](u64 offset, const dim4_t *shape) {
    const u64 at = 4u * offset;
    if (!is_int32) {
      tensor_simple_load(0, A_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
      tensor_simple_load(q, B_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
      nodechip_eltwise_binary_local(0, q, 2 * q, 0, 0, shape, binary_op, if_relu, limit, node);
      tensor_simple_save(2 * q, R_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
      return;
    }
    const u32 bufs[2] = {3 * q, 4 * q};
    tensor_simple_load(0, A_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
    tensor_simple_load(q, B_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
    tensor_i32_to_f32(0, 2 * q, bufs, 2, shape, NULL, node);
    tensor_i32_to_f32(q, 0, bufs, 2, shape, NULL, node);
    nodechip_eltwise_binary_local(2 * q, 0, q, 0, 0, shape, binary_op, if_relu, limit, node);
    if (logical) {
      tensor_simple_save(q, R_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
    } else {
      tensor_f32_to_i32(q, 2 * q, shape, NULL, node);
      tensor_simple_save(2 * q, R_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
    }
  });
}

void nodechip_const_binary(u64 A_addr, u64 length, u32 B_value, u64 R_addr, int binary_op, int inversed,
                           int if_relu, float relu_upper_limit, cmd_id_node_t *node, int is_int32) {
  const u32 S = is_int32 ? CONST_BINARY_PIECE_I32 : CONST_BINARY_PIECE_F32;
  const u32 limit = f32_bits(relu_upper_limit);
  const u32 value = is_int32 ? f32_bits((float)(i32)B_value) : B_value;
  const int logical = is_logical_binary_op(binary_op);
  for_each_piece(length, S, [&](u64 offset, const dim4_t *shape) {
    const u64 at = 4u * offset;
    tensor_simple_load(0, A_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
    if (!is_int32) {
      nodechip_const_binary_local(0, shape, value, S, binary_op, inversed, if_relu, limit, node);
      tensor_simple_save(S, R_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
      return;
    }
    const u32 bufs[2] = {2 * S, 3 * S};
    tensor_i32_to_f32(0, S, bufs, 2, shape, NULL, node);
    nodechip_const_binary_local(S, shape, value, 2 * S, binary_op, inversed, if_relu, limit, node);
    if (logical) {
      tensor_simple_save(2 * S, R_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
    } else {
      tensor_f32_to_i32(2 * S, S, shape, NULL, node);
      tensor_simple_save(S, R_addr + at, GDMA_VALUE_FORMAT_FLOAT32, 1, shape, node);
    }
  });
}

// ---- Planning ----

void decompose_num(int num, int start, int *a, int *b) {
  int found = 0;
  for (int d = start; d < num; d++)
    if (num % d == 0) {
      found = d;
      break;
    }
  if (found == 0) {
    found = 1;
    for (int d = imin(start - 1, num); d >= 1; d--)
      if (num % d == 0) {
        found = d;
        break;
      }
  }
  *a = found;
  *b = num / found;
}

static void expand_dims(const int *A_shape, int A_dim, const int *B_shape, int B_dim, int *A_out, int *B_out,
                        int dim) {
  for (int i = 0; i < dim; i++) {
    const int ai = i - (dim - A_dim), bi = i - (dim - B_dim);
    A_out[i] = ai >= 0 ? A_shape[ai] : 1;
    B_out[i] = bi >= 0 ? B_shape[bi] : 1;
  }
}

int get_broadcast_binary_top_shape(const int *A_shape, int A_dim, const int *B_shape, int B_dim, int *top) {
  const int dim = A_dim > B_dim ? A_dim : B_dim;
  int A[8], B[8];
  expand_dims(A_shape, A_dim, B_shape, B_dim, A, B, dim);
  for (int i = 0; i < dim; i++) top[i] = A[i] != 1 ? A[i] : B[i];
  return dim;
}

int bcast_merge_dims(int *A_dims, int *B_dims, int dim) {
  int j = 0, last = -1;
  for (int i = 0; i < dim; i++) {
    if (A_dims[i] == 1 && B_dims[i] == 1) continue;
    const int pattern = (A_dims[i] == 1) * 2 + (B_dims[i] == 1);
    if (pattern == last) {
      A_dims[j - 1] *= A_dims[i];
      B_dims[j - 1] *= B_dims[i];
    } else {
      A_dims[j] = A_dims[i];
      B_dims[j] = B_dims[i];
      j++;
      last = pattern;
    }
  }
  return j;
}

static void set4(dim4_t *d, int n, int c, int h, int w) {
  d->n = n;
  d->c = c;
  d->h = h;
  d->w = w;
}

void bcast_plan_of(bcast_plan_t *plan, const int *A_shape, const int *B_shape) {
  bcast_plan_for(plan, A_shape, B_shape, 0);
}

void bcast_plan_for(bcast_plan_t *plan, const int *A_shape, const int *B_shape, int is_int32) {
  memset(plan, 0, sizeof *plan);
  const u32 budget = is_int32 ? BCAST_BUDGET_I32 : BCAST_BUDGET;
  int top[4], A[4], B[4];
  plan->same = 1;
  for (int i = 0; i < 4; i++) {
    top[i] = (u32)A_shape[i] > (u32)B_shape[i] ? A_shape[i] : B_shape[i];
    A[i] = A_shape[i];
    B[i] = B_shape[i];
    plan->same &= A_shape[i] == B_shape[i];
  }
  int listed[4], count = 0;
  for (int i = 0; i < 4; i++)
    if (top[i] != 1) listed[count++] = i;
  if (count <= 3) {
    // Each listed dimension becomes one or two of (n, c, h, w): pos[k] lists
    // the target dimensions and extents of dimension D_k.
    int ext[4] = {1, 1, 1, 1};
    int owner[4] = {-1, -1, -1, -1};
    int a, b;
    if (count == 1) {
      const int D0 = top[listed[0]];
      decompose_num(D0, 32, &a, &b);
      const int w = a < b ? a : a == 32 ? 32 : b;
      const int t = D0 / w;
      decompose_num(t, 64, &a, &b);
      const int c = a > 64 && a >= b ? b : a;
      ext[1] = c, ext[2] = t / c, ext[3] = w;
      owner[1] = owner[2] = owner[3] = 0;
    } else if (count == 2) {
      decompose_num(top[listed[0]], 32, &a, &b);
      ext[0] = imin(a, b), ext[1] = a > b ? a : b;
      decompose_num(top[listed[1]], 32, &a, &b);
      ext[2] = a > b ? a : b, ext[3] = imin(a, b);
      owner[0] = owner[1] = 0;
      owner[2] = owner[3] = 1;
    } else if (count == 3) {
      const int D0 = top[listed[0]], D1 = top[listed[1]], D2 = top[listed[2]];
      if ((D0 > D1 ? D0 : D1) < D2) {
        decompose_num(D2, 32, &a, &b);
        const int w = a == 32 ? 32 : (a > b ? a : b);
        ext[0] = D0, ext[1] = D1, ext[2] = D2 / w, ext[3] = w;
        owner[0] = 0, owner[1] = 1, owner[2] = owner[3] = 2;
      } else if (D0 < D1) {
        decompose_num(D1, 64, &a, &b);
        ext[0] = D0, ext[1] = imin(a, b), ext[2] = a > b ? a : b, ext[3] = D2;
        owner[0] = 0, owner[1] = owner[2] = 1, owner[3] = 2;
      } else {
        decompose_num(D0, 64, &a, &b);
        ext[0] = imin(a, b), ext[1] = a > b ? a : b, ext[2] = D1, ext[3] = D2;
        owner[0] = owner[1] = 0, owner[2] = 1, owner[3] = 2;
      }
    }
    int nt[4], nA[4], nB[4];
    for (int i = 0; i < 4; i++) {
      nt[i] = nA[i] = nB[i] = 1;
      if (owner[i] < 0) continue;
      const int src = listed[owner[i]];
      nt[i] = ext[i];
      if (A[src] == top[src]) nA[i] = ext[i];
      if (B[src] == top[src]) nB[i] = ext[i];
    }
    memcpy(top, nt, sizeof top);
    memcpy(A, nA, sizeof A);
    memcpy(B, nB, sizeof B);
  }
  set4(&plan->top, top[0], top[1], top[2], top[3]);
  set4(&plan->A, A[0], A[1], A[2], A[3]);
  set4(&plan->B, B[0], B[1], B[2], B[3]);
  // The result's slice limits.
  const int rows = (int)ceil_div(top[1], NPU_NUM);
  int c = rows * NPU_NUM;
  if (c > 4095) c = 4095;
  const int h = imin(top[2], 256);
  const int w = (int)align_up(top[3], EU_NUM);
  int n = (int)(budget / ((u64)(u32)w * (u32)h * (u32)rows));
  if (n == 0)
    set4(&plan->limit, (int)(budget / 8192), 64, 256, 32);
  else
    set4(&plan->limit, n, c, h, w);
  // Regions of 4b bytes: A, B, R, the kernel's scratch; for int32 also two
  // conversion scratch regions and the converted data.
  const u32 bytes = 4u * budget;
  static const char *const names[7] = {"A", "B", "R", "scratch", "conversion 0", "conversion 1", "converted"};
  plan->area_count = is_int32 ? 7 : 4;
  for (int i = 0; i < plan->area_count; i++) plan->areas[i] = {names[i], (u32)i * bytes, bytes};
}

// ---- Broadcast layer ----

// What one operand has resident: its origin and extents in local memory, its
// own extents, its global strides (0 where broadcast).
typedef struct {
  u64 addr;
  u32 local;
  int own[4];
  int bcast[4];
  i64 gstride[4];
  int pos[4];
  int loaded[4];
  int valid;
} operand_t;

static void local_strides(dim4_t *s, const int *shape) {
  s->w = 1;
  s->h = shape[3];
  s->c = (i32)align_up((s64)shape[2] * shape[3], EU_NUM);
  s->n = (i32)ceil_div(shape[1], NPU_NUM) * s->c;
}

// int32 data is converted to float32 where it lies: through the converted
// region (two conversion scratch regions) and copied back.
typedef struct {
  int is_int32;
  u32 conv[2], converted;
} bcast_int32_t;

static void i32_to_f32_in_place(u32 local, const dim4_t *shape, const dim4_t *stride, const bcast_int32_t *k,
                                cmd_id_node_t *node) {
  tensor_i32_to_f32(local, k->converted, k->conv, 2, shape, stride, node);
  tensor_copy(k->converted, local, shape, stride, node);
}

// Makes the operand's part of the result slice (origin at, extents ext)
// resident; returns its local address.
static u32 load_operand(operand_t *o, const int *at, const int *ext, const bcast_int32_t *k, cmd_id_node_t *node) {
  if (o->valid) {
    int inside = 1;
    for (int d = 0; d < 4; d++)
      if (!o->bcast[d] && (at[d] < o->pos[d] || at[d] + ext[d] > o->pos[d] + o->loaded[d])) inside = 0;
    // Only the whole resident block is reused: the kernel reads from its start.
    for (int d = 0; d < 4; d++)
      if (!o->bcast[d] && at[d] != o->pos[d]) inside = 0;
    if (inside) return o->local;
  }
  int shape[4];
  u64 off = 0;
  for (int d = 0; d < 4; d++) {
    o->pos[d] = o->bcast[d] ? 0 : at[d];
    shape[d] = o->bcast[d] ? 1 : ext[d];
    o->loaded[d] = shape[d];
    off += (u64)o->pos[d] * (u64)o->gstride[d];
  }
  dim4_t ls, gs;
  local_strides(&ls, shape);
  // The w extent is 1 where w is broadcast; the engine takes unit w strides only.
  set4(&gs, (int)o->gstride[0], (int)o->gstride[1], (int)o->gstride[2], 1);
  const dim4_t s = {shape[0], shape[1], shape[2], shape[3]};
  tensor_general_load(o->local, o->addr + 4u * off, GDMA_VALUE_FORMAT_FLOAT32, 1, &s, &ls, &gs, node);
  if (k->is_int32) i32_to_f32_in_place(o->local, &s, &ls, k, node);
  o->valid = 1;
  return o->local;
}

// An operand's extent that is not the result's must be 1.
static void init_process_context(const int *shape, const int *top) {
  for (int i = 0; i < 4; i++)
    if (shape[i] != top[i]) ASSERT_FS(shape[i] == 1);
}

void nodechip_broadcast_binary(u64 A_addr, const int *A_shape, u64 B_addr, const int *B_shape, u64 R_addr,
                               int binary_op, int if_relu, float relu_upper_limit, cmd_id_node_t *node,
                               int is_int32) {
  bcast_plan_t plan;
  bcast_plan_for(&plan, A_shape, B_shape, is_int32);
  const dim4_t *t = &plan.top;
  if (plan.same) {
    nodechip_eltwise_binary(A_addr, B_addr, R_addr, (u64)(u32)t->n * (u32)t->c * (u32)t->h * (u32)t->w, binary_op,
                            if_relu, relu_upper_limit, node, is_int32);
    return;
  }
  const u32 region = plan.areas[1].offset;  // 4b bytes
  const bcast_int32_t conv = {is_int32, {4 * region, 5 * region}, 6 * region};
  const int convert_back = is_int32 && !is_logical_binary_op(binary_op);
  const int top[4] = {t->n, t->c, t->h, t->w};
  const int own[2][4] = {{plan.A.n, plan.A.c, plan.A.h, plan.A.w}, {plan.B.n, plan.B.c, plan.B.h, plan.B.w}};
  for (int k = 0; k < 2; k++) init_process_context(own[k], top);
  operand_t ops[2];
  const u64 addr[2] = {A_addr, B_addr};
  const u32 local[2] = {0, region};
  for (int k = 0; k < 2; k++) {
    operand_t *o = &ops[k];
    memset(o, 0, sizeof *o);
    o->addr = addr[k];
    o->local = local[k];
    i64 s = 1;
    for (int d = 3; d >= 0; d--) {
      o->own[d] = own[k][d];
      o->bcast[d] = own[k][d] != top[d];
      o->gstride[d] = o->bcast[d] ? 0 : s;
      s *= own[k][d];
    }
  }
  const int limit[4] = {plan.limit.n, plan.limit.c, plan.limit.h, plan.limit.w};
  const u32 relu_limit = f32_bits(relu_upper_limit);
  const i64 rstride[4] = {(i64)top[1] * top[2] * top[3], (i64)top[2] * top[3], top[3], 1};
  int pos[4] = {0, 0, 0, 0};
  if (top[0] == 0 || top[1] == 0 || top[2] == 0 || top[3] == 0) return;
  while (pos[1] < top[1]) {
    int ext[4];
    for (int d = 0; d < 4; d++) ext[d] = imin(top[d] - pos[d], limit[d]);
    const u32 a = load_operand(&ops[0], pos, ext, &conv, node);
    const u32 b = load_operand(&ops[1], pos, ext, &conv, node);
    dim4_t shape[2], stride[2], rs;
    for (int k = 0; k < 2; k++) {
      int s[4];
      for (int d = 0; d < 4; d++) s[d] = ops[k].bcast[d] ? 1 : ext[d];
      set4(&shape[k], s[0], s[1], s[2], s[3]);
      local_strides(&stride[k], s);
      if (ops[k].bcast[0]) stride[k].n = 0;
      if (ops[k].bcast[1]) stride[k].c = 0;
      if (ops[k].bcast[2]) stride[k].h = 0;
      if (ops[k].bcast[3]) stride[k].w = 0;
    }
    local_strides(&rs, ext);
    nodechip_broadcast_binary_local(a, &shape[0], &stride[0], b, &shape[1], &stride[1], 2 * region, &rs,
                                    binary_op, if_relu, relu_limit, 3 * region, node);
    const dim4_t es = {ext[0], ext[1], ext[2], ext[3]};
    if (convert_back) {
      tensor_f32_to_i32(2 * region, conv.converted, &es, &rs, node);
      tensor_copy(conv.converted, 2 * region, &es, &rs, node);
    }
    u64 off = 0;
    for (int d = 0; d < 4; d++) off += (u64)pos[d] * (u64)rstride[d];
    const dim4_t gs = {(i32)rstride[0], (i32)rstride[1], (i32)rstride[2], 1};
    tensor_general_save(2 * region, R_addr + 4u * off, GDMA_VALUE_FORMAT_FLOAT32, 1, &es, &rs, &gs, node);
    pos[3] += ext[3];
    if (pos[3] < top[3]) continue;
    pos[3] = 0;
    pos[2] += ext[2];
    if (pos[2] < top[2]) continue;
    pos[2] = 0;
    pos[0] += ext[0];
    if (pos[0] < top[0]) continue;
    pos[0] = 0;
    pos[1] += ext[1];
  }
}

int bcast_tile_window(const int *A_dims, const int *B_dims, int dim) {
  const int len = dim - 3;
  int best = 0;
  u64 best_cost = 0;
  for (int k = 0; k <= 3 && k + len <= dim; k++) {
    u64 cost = 1;
    for (int i = k; i < k + len; i++)
      if (A_dims[i] != B_dims[i]) cost *= (u64)(u32)A_dims[i] * (u64)(u32)B_dims[i];
    if (k == 0 || cost < best_cost) best = k, best_cost = cost;
  }
  return best;
}

// Tiles one operand's window dimensions up to the result's extents into
// `dst`: the operand seen as (dimensions before the window, the window,
// dimensions after it), each window dimension of extent 1 repeated by the
// other operand's extent. `work` serves as intermediate.
static u64 tile_window(u64 src, u64 dst, u64 work, const int *own, const int *other, int dim, int k,
                       cmd_id_node_t *node) {
  const int len = dim - 3;
  int shape[8], coeff[8];
  u64 before = 1, after = 1, count = 1;
  for (int i = 0; i < k; i++) before *= (u64)(u32)own[i];
  for (int i = k + len; i < dim; i++) after *= (u64)(u32)own[i];
  ASSERT_FS(before <= 0x7fffffff && after <= 0x7fffffff);
  shape[0] = (int)before, coeff[0] = 1;
  for (int i = 0; i < len; i++) {
    shape[1 + i] = own[k + i];
    coeff[1 + i] = own[k + i] == 1 ? other[k + i] : 1;
    count *= (u64)(u32)(own[k + i] == 1 ? other[k + i] : own[k + i]);
  }
  shape[1 + len] = (int)after, coeff[1 + len] = 1;
  nodechip_tile_full(src, work, dst, shape, coeff, len + 2, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_FORMAT_FLOAT32, 0,
                     node);
  return before * count * after;
}

void nodechip_broadcast_binary_full(u64 A_addr, const int *A_shape, int A_dim, u64 B_addr, const int *B_shape,
                                    int B_dim, u64 R_addr, u64 buffer_addr, int binary_op, int if_relu,
                                    float relu_upper_limit, int data_format, cmd_id_node_t *node, int is_int32) {
  const int bottom0_dim = A_dim, bottom1_dim = B_dim;
  ASSERT_FS(bottom0_dim <= 8 && bottom1_dim <= 8);
  ASSERT_FS(data_format == 0);
  const int dim = A_dim > B_dim ? A_dim : B_dim;
  int A[8], B[8];
  expand_dims(A_shape, A_dim, B_shape, B_dim, A, B, dim);
  int j = dim;
  if (dim > 4) j = bcast_merge_dims(A, B, dim);
  if (j <= 4) {
    for (int i = j; i < 4; i++) A[i] = B[i] = 1;
    nodechip_broadcast_binary(A_addr, A, B_addr, B, R_addr, binary_op, if_relu, relu_upper_limit, node, is_int32);
    return;
  }
  // Five or more dimensions: the cheapest window of j - 3 of them is tiled
  // to the result's extents in both operands (R's memory as intermediate),
  // which leaves four dimensions.
  for (int i = 0; i < j; i++)
    if (A[i] != B[i]) ASSERT_FS(A[i] == 1 || B[i] == 1, "dimension %d: %d and %d", i, A[i], B[i]);
  const int k = bcast_tile_window(A, B, j), len = j - 3;
  const u64 tiled_A = tile_window(A_addr, buffer_addr, R_addr, A, B, j, k, node);
  tile_window(B_addr, buffer_addr + 4 * tiled_A, R_addr, B, A, j, k, node);
  int A4[4], B4[4], W = 1;
  for (int i = k; i < k + len; i++) W *= A[i] > B[i] ? A[i] : B[i];
  for (int i = 0, o = 0; i < j; i++) {
    if (i > k && i < k + len) continue;
    A4[o] = i == k ? W : A[i];
    B4[o] = i == k ? W : B[i];
    o++;
  }
  nodechip_broadcast_binary(buffer_addr, A4, buffer_addr + 4 * tiled_A, B4, R_addr, binary_op, if_relu,
                            relu_upper_limit, node, is_int32);
}
