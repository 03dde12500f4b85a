// Arg max and arg min of a float32 tensor in device memory along one axis.
#include "layers/data/arg.h"

#include <math.h>
#include <string.h>

#include "cmd/tensor_view.h"
#include "runtime/engine_wait.h"
#include "runtime/assert.h"
#include "runtime/regs.h"
#include "runtime/services.h"
#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_shape.h"
#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_md.h"
#include "cmd/bd_pool.h"
#include "cmd/local_mem.h"
#include "cmd/memory_store_mode.h"

static inline int imin(int a, int b) { return a < b ? a : b; }


static inline u32 f32(float f) { return f32_bits(f); }

// ---- Squeeze, view and plan ----

void arg_view_of(arg_view_t *view, int N, int C, int H, int W, int axis) {
  memset(view, 0, sizeof *view);
  const int given[4] = {N, C, H, W};
  // Extents above 1 (and the axis's own), right-aligned behind leading 1s.
  int kept[4], k = 0, at = axis;
  for (int i = 0; i < 4; i++)
    if (given[i] > 1 || i == axis) kept[k++] = i;
  int dims[4] = {1, 1, 1, 1};
  for (int i = 0; i < k; i++) {
    dims[4 - k + i] = given[kept[i]];
    if (kept[i] == axis) at = 4 - k + i;
  }
  // Two extents with the axis last: the other one goes to the channels.
  if (k == 2 && at == 3) {
    dims[1] = dims[2];
    dims[2] = dims[3];
    dims[3] = 1;
    at = 2;
  }
  memcpy(view->dims, dims, sizeof dims);
  view->axis = at;
  i64 in[4], out[4];
  in[3] = 1;
  out[3] = 1;
  for (int i = 2; i >= 0; i--) {
    in[i] = in[i + 1] * dims[i + 1];
    out[i] = out[i + 1] * (i + 1 == at ? 1 : dims[i + 1]);
  }
  // The view's axes as axes of the squeezed shape.
  static const int order[4][4] = {{2, 1, 0, 3}, {0, 2, 1, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}};
  int *ext[4] = {&view->n, &view->c, &view->h, &view->w};
  for (int i = 0; i < 4; i++) {
    const int d = order[at][i];
    *ext[i] = dims[d];
    view->in_stride[i] = in[d];
    view->out_stride[i] = out[d];
  }
  view->reduce_w = at == 3;
  view->len = view->reduce_w ? view->w : view->h;
  view->keep = view->reduce_w ? view->h : view->w;
}

// Bytes per lane of one EU-aligned float plane of `elems` elements.
static u32 plane_bytes(s64 elems) { return (u32)align_up(elems, EU_NUM) * 4u; }

// The plane piece (len_piece x keep_piece) for budget b; 0 when none fits.
static void plane_piece(int len, int keep, u32 b, int *len_piece, int *keep_piece) {
  if (len <= ARG_POOL_MAX && keep <= ARG_POOL_MAX && plane_bytes((s64)len * keep) <= b) {
    *len_piece = len;
    *keep_piece = keep;
    return;
  }
  const int group = imin(keep, ARG_KEEP_GROUP);
  const u32 group_bytes = plane_bytes((s64)len * group);
  if (len <= ARG_POOL_MAX && group_bytes <= b) {
    // The reduced extent whole, the other one in groups of 32 rows.
    *len_piece = len;
    *keep_piece = imin(keep, imin((int)(b / group_bytes) * ARG_KEEP_GROUP, ARG_KEEP_MAX));
    return;
  }
  // Not even one group: the reduced extent in balanced pieces.
  *keep_piece = group;
  const int most = imin(ARG_POOL_MAX, (int)(b / 4u / (u32)group));
  if (most <= 0) {
    *len_piece = 0;
    return;
  }
  const int pieces = (int)ceil_div(len, most);
  *len_piece = (int)ceil_div(len, pieces);
}

void arg_plan_of(arg_plan_t *plan, const arg_view_t *v) {
  memset(plan, 0, sizeof *plan);
  for (int b = ARG_LANE_BUDGET; b > 0; b -= ARG_LANE_BUDGET_STEP) {
    int lp = 0, kp = 0;
    plane_piece(v->len, v->keep, (u32)b, &lp, &kp);
    if (lp <= 0) continue;
    const u32 plane = plane_bytes((s64)lp * kp);
    const int k = (int)((u32)b / plane);
    const int g = (int)ceil_div(v->c, NPU_NUM);
    int np, cp;
    if ((s64)g * v->n <= k) {
      np = v->n;
      cp = v->c;
    } else if (k < g) {
      np = 1;
      cp = k * NPU_NUM;
    } else {
      np = k / g;
      cp = v->c;
    }
    cp = imin(cp, imin(v->c, ARG_C_PIECE));
    const u32 rows = (u32)np * lane_rows(0, (u32)cp);
    const u32 big = rows * plane, small = rows * plane_bytes(kp), ramp = plane_bytes(lp);
    const u32 sizes[ARG_AREA_COUNT] = {big, big, small, small, small, small, small, small, ramp, ramp, ramp};
    static const char *const names[ARG_AREA_COUNT] = {
        "input", "NaN mask", "maxima", "indices", "NaN scores", "kept maxima", "kept indices",
        "kept NaN scores", "ramp source", "ramp", "NaN ramp"};
    u64 at = 0;
    for (int i = 0; i < ARG_AREA_COUNT; i++) {
      plan->areas[i] = {names[i], (u32)at, sizes[i]};
      at += sizes[i];
    }
    plan->nc_secs = k;
    plan->len_piece = lp;
    plan->keep_piece = kp;
    plan->n_piece = np;
    plan->c_piece = cp;
    if (k <= 0) return;  // refused by the layer ("nc_secs > 0")
    if (at <= ARG_LANE_BYTES) {
      plan->input_lmem_size = b;
      return;
    }
  }
  plan->input_lmem_size = 0;
}

// ---- The float layer ----

// A view stride as a command field.
static int stride_of(i64 s) {
  ASSERT_FS(s <= 0x7fffffff, "stride %d elements too large", (int)(s >> 32));
  return (int)s;
}

// One block of pieces: n_piece items, c_piece channels, keep_piece rows of the
// kept direction, over every piece of the reduced direction.
typedef struct {
  int n0, nn, c0, cn, k0, kn;
} arg_block_t;

static inline u32 tag(const arg_plan_t *p, int area) { return LOCAL_ADDR_TAG | p->areas[area].offset; }

// The shape of a piece with `len` reduced positions, in the view's orientation.
static dim4_t piece_shape(const arg_view_t *v, const arg_block_t *b, int len) {
  return v->reduce_w ? dim4_t{b->nn, b->cn, b->kn, len} : dim4_t{b->nn, b->cn, len, b->kn};
}

// The per-piece shape with the reduced extent 1 (the pooled results).
static dim4_t result_shape(const arg_view_t *v, const arg_block_t *b) { return piece_shape(v, b, 1); }

// Strides that read the pooled results (default layout of result_shape)
// broadcast over the reduced direction of a piece.
static dim4_t result_bcast(const arg_view_t *v, const arg_block_t *b) {
  const int plane = (int)eu_plane((u32)b->kn);
  const int ns = (int)lane_rows(0, (u32)b->cn) * plane;
  return v->reduce_w ? dim4_t{ns, plane, 1, 0} : dim4_t{ns, plane, 0, 1};
}

// Strides that read a ramp (one float per reduced position, the same in
// every lane and lane row) broadcast over items, channels and kept rows.
static dim4_t ramp_bcast(const arg_view_t *v) {
  return v->reduce_w ? dim4_t{0, 0, 0, 1} : dim4_t{0, 0, 1, 0};
}

static void pool_max(u32 in, u32 out, const arg_view_t *v, const arg_block_t *b, int len, cmd_id_node_t *node) {
  if (v->reduce_w)
    atomic_max_pooling_gen_cmd(in, out, b->nn, b->cn, b->kn, len, b->kn, 1, 1, len, 0, 0, 0, 0, 1, 1, 0, 0, node);
  else
    atomic_max_pooling_gen_cmd(in, out, b->nn, b->cn, len, b->kn, 1, b->kn, len, 1, 0, 0, 0, 0, 1, 1, 0, 0, node);
}

// R = A * B with B read through `b_stride`.
static void mul_bcast(u32 A, u32 B, const dim4_t *b_stride, const dim4_t *shape, cmd_id_node_t *node) {
  static const dim4_t def = {-1, 0, 0, 0};
  atomic_tensor_arithmetic_gen_cmd(A, B, A, shape, 0, 0, 0, &def, b_stride, &def, TENSOR_OP_MUL, 0, 0, 0, 0, 0, 0,
                                   node);
}

// The index ramp of the pieces: 0 .. len_piece - 1 from static memory into
// lane 0, spread to every lane by a 1 x 1 convolution with weight 1.0, and the
// NaN ramp len - i beside it.
static void arg_ramp(const arg_view_t *v, const arg_plan_t *p, cmd_id_node_t *node) {
  const int lp = p->len_piece;
  nodechip_serial_number_gen(0, p->areas[ARG_AREA_RAMP_SOURCE].offset, 0, 0, 1, lp, node);
  atomic_conv_neuron_gen_cmd(tag(p, ARG_AREA_RAMP_SOURCE), tag(p, ARG_AREA_RAMP), 0, 0, 1, 1, 1, lp, 0, 0, NPU_NUM,
                             1, lp, 1, f32(1.0f), 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, node);
  atomic_mdscalar_operation_gen_cmd_(0, tag(p, ARG_AREA_RAMP), tag(p, ARG_AREA_NAN_RAMP), 1, NPU_NUM, 1, lp,
                                     MD_SCALAR_SUB, 0, 1, 0, f32((float)v->len), 0, node);
}

// Moves the ramps on to the next piece of the reduced direction.
static void arg_ramp_advance(const arg_plan_t *p, int by, cmd_id_node_t *node) {
  const int lp = p->len_piece;
  atomic_md_add_const_gen_cmd(tag(p, ARG_AREA_RAMP), tag(p, ARG_AREA_RAMP), 1, NPU_NUM, 1, lp, 0, f32((float)by),
                              node);
  atomic_md_add_const_gen_cmd(tag(p, ARG_AREA_NAN_RAMP), tag(p, ARG_AREA_NAN_RAMP), 1, NPU_NUM, 1, lp, 0,
                              f32((float)-by), node);
}

// One piece in local memory (loaded at the input area): its maxima, the
// highest index among them and the score of its first NaN, into the kept
// areas (first piece) or merged with them.
static void arg_local(const arg_view_t *v, const arg_plan_t *p, const arg_block_t *b, int len, int first,
                      int method, cmd_id_node_t *node) {
  const u32 buffer_offset = p->areas[ARG_AREA_RAMP].offset;
  ASSERT(buffer_offset + (1<<(5)) * sizeof(float) < (1<<19));
  const dim4_t shape = piece_shape(v, b, len);
  const dim4_t res = result_shape(v, b);
  const u32 in = tag(p, ARG_AREA_INPUT), nan = tag(p, ARG_AREA_NAN_MASK);
  const u32 mx = tag(p, first ? ARG_AREA_KEPT_MAX : ARG_AREA_MAX);
  const u32 ix = tag(p, first ? ARG_AREA_KEPT_INDEX : ARG_AREA_INDEX);
  const u32 ns = tag(p, first ? ARG_AREA_KEPT_NAN : ARG_AREA_NAN);
  // Arg min is arg max of 0 - x; adding +0.0 to the maxima side makes -0 equal
  // to +0 bit for bit, as the mask compares bits.
  if (method == 1)
    atomic_mdscalar_operation_gen_cmd_(0, in, in, shape.n, shape.c, shape.h, shape.w, MD_SCALAR_SUB, 0, 1, 0, 0, 0,
                                       node);
  else
    atomic_md_add_const_gen_cmd(in, in, shape.n, shape.c, shape.h, shape.w, 0, 0, node);
  pool_max(in, mx, v, b, len, node);
  // NaN: neither above -inf nor below +inf.
  // (Constant first and second operands travel in their address arguments.)
  atomic_md_cmp_gen_cmd(in, f32(-INFINITY), 0, 0, 0, nan, shape.n, shape.c, shape.h, shape.w, 0, 1, 1, 1, 0, 0, 0,
                        f32(1.0f), 2, node);
  atomic_md_cmp_gen_cmd(f32(INFINITY), in, 0, nan, 0, nan, shape.n, shape.c, shape.h, shape.w, 1, 0, 1, 0, 0, 0, 0,
                        0, 2, node);
  // 1.0 where the piece equals its maximum, times the index: the highest
  // index among equal extremes.
  static const dim4_t def = {-1, 0, 0, 0};
  const dim4_t mb = result_bcast(v, b);
  atomic_tensor_arithmetic_gen_cmd_all(in, mx, in, &shape, 0, 0, 0, &def, &mb, &def, TENSOR_OP_EQ_ASSIGN, 0, 0, 0,
                                       0, 0, f32(1.0f), 0, 0, node);
  const dim4_t rb = ramp_bcast(v);
  mul_bcast(in, tag(p, ARG_AREA_RAMP), &rb, &shape, node);
  pool_max(in, ix, v, b, len, node);
  // The first NaN scores highest: len minus its index.
  mul_bcast(nan, tag(p, ARG_AREA_NAN_RAMP), &rb, &shape, node);
  pool_max(nan, ns, v, b, len, node);
  if (first) return;
  // Earlier pieces are the first operand: a tie takes the later piece.
  const u32 kmx = tag(p, ARG_AREA_KEPT_MAX), kix = tag(p, ARG_AREA_KEPT_INDEX), kns = tag(p, ARG_AREA_KEPT_NAN);
  atomic_md_cmp_gen_cmd(kmx, mx, kix, ix, kmx, kix, res.n, res.c, res.h, res.w, 0, 0, 0, 0, 0, 0, 0, 0, 3, node);
  // The earliest NaN keeps the highest score.
  atomic_md_cmp_gen_cmd(kns, ns, 0, 0, kns, 0, res.n, res.c, res.h, res.w, 0, 0, 1, 1, 0, 0, 0, 0, 1, node);
}

static void arg_block(u64 input, u64 value_out, u64 index_out, const arg_view_t *v, const arg_plan_t *p,
                      const arg_block_t *b, int method, cmd_id_node_t *node) {
  const dim4_t gin = {stride_of(v->in_stride[0]), stride_of(v->in_stride[1]), stride_of(v->in_stride[2]),
                      stride_of(v->in_stride[3])};
  const int red = v->reduce_w ? 3 : 2, kept = v->reduce_w ? 2 : 3;
  const i64 base = (i64)b->n0 * v->in_stride[0] + (i64)b->c0 * v->in_stride[1] + (i64)b->k0 * v->in_stride[kept];
  for (int r0 = 0; r0 < v->len; r0 += p->len_piece) {
    fix_cmd_node_overflow(node);
    const int len = imin(p->len_piece, v->len - r0);
    if (r0 > 0) arg_ramp_advance(p, p->len_piece, node);
    const dim4_t shape = piece_shape(v, b, len);
    tensor_general_load(p->areas[ARG_AREA_INPUT].offset, input + 4u * (u64)(base + (i64)r0 * v->in_stride[red]),
                        GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &gin, node);
    arg_local(v, p, b, len, r0 == 0, method, node);
  }
  // Where a NaN was found its index (len - score) and NaN itself win.
  const dim4_t res = result_shape(v, b);
  const u32 kmx = tag(p, ARG_AREA_KEPT_MAX), kix = tag(p, ARG_AREA_KEPT_INDEX), kns = tag(p, ARG_AREA_KEPT_NAN);
  const u32 first_nan = tag(p, ARG_AREA_INDEX);
  const dim4_t gout = {stride_of(v->out_stride[0]), stride_of(v->out_stride[1]), stride_of(v->out_stride[2]),
                       stride_of(v->out_stride[3])};
  const i64 out_base =
      (i64)b->n0 * v->out_stride[0] + (i64)b->c0 * v->out_stride[1] + (i64)b->k0 * v->out_stride[kept];
  if (index_out != ARG_NO_OUTPUT) {
    atomic_mdscalar_operation_gen_cmd_(0, kns, first_nan, res.n, res.c, res.h, res.w, MD_SCALAR_SUB, 0, 1, 0,
                                       f32((float)v->len), 0, node);
    atomic_md_cmp_gen_cmd(kns, 0, first_nan, kix, 0, kix, res.n, res.c, res.h, res.w, 0, 1, 0, 0, 0, 0, 0, 0, 2,
                          node);
    tensor_general_save(p->areas[ARG_AREA_KEPT_INDEX].offset, index_out + 4u * (u64)out_base,
                        GDMA_VALUE_FORMAT_FLOAT32, 1, &res, NULL, &gout, node);
  }
  if (value_out != ARG_NO_OUTPUT) {
    if (method == 1)
      atomic_mdscalar_operation_gen_cmd_(0, kmx, kmx, res.n, res.c, res.h, res.w, MD_SCALAR_SUB, 0, 1, 0, 0, 0,
                                         node);
    atomic_md_cmp_gen_cmd(kns, 0, 0, kmx, 0, kmx, res.n, res.c, res.h, res.w, 0, 1, 1, 0, 0, 0, f32(NAN), 0, 2,
                          node);
    tensor_general_save(p->areas[ARG_AREA_KEPT_MAX].offset, value_out + 4u * (u64)out_base,
                        GDMA_VALUE_FORMAT_FLOAT32, 1, &res, NULL, &gout, node);
  }
}

// Fills `count` float32 zeros from `addr`, in rows of at most 4096.
static void fill_zeros(u64 addr, u64 count, cmd_id_node_t *node) {
  const u32 zero = 0;
  const u64 row = 4096;
  const u64 rows = count / row;
  for (u64 r0 = 0; r0 < rows; r0 += 65535) {
    const int h = (int)(rows - r0 < 65535 ? rows - r0 : 65535);
    fix_cmd_node_overflow(node);
    fill_constant_gen_global_cmd_stride(addr + 4u * r0 * row, &zero, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, h,
                                        (int)row, h * (int)row, h * (int)row, (int)row, 1, node);
  }
  const int rest = (int)(count % row);
  if (rest > 0)
    fill_constant_gen_global_cmd_stride(addr + 4u * rows * row, &zero, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1,
                                        rest, rest, rest, rest, 1, node);
}

void nodechip_arg(u64 input, u64 value_out, u64 index_out, int input_n, int input_c, int input_h,
                  int input_w, int axis, int method, cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  ASSERT_FS(axis < 4);
  // A negative axis would name no extent at all.
  ASSERT_FS(axis >= 0);
  ASSERT_FS(method == 0 || method == 1);
  const int dims[4] = {input_n, input_c, input_h, input_w};
  if (dims[axis] == 1) {
    const u64 count = (u64)input_n * (u64)input_c * (u64)input_h * (u64)input_w;
    if (value_out != ARG_NO_OUTPUT) {
      for (u64 done = 0; done < count; done += 0x40000000u) {
        const u64 part = count - done < 0x40000000u ? count - done : 0x40000000u;
        general_gdma_gen_cmd(input + 4u * done, value_out + 4u * done, GDMA_VALUE_FORMAT_FLOAT32, (int)part,
                             GDMA_VALUE_DIR_S2S, node);
      }
    }
    if (index_out != ARG_NO_OUTPUT) fill_zeros(index_out, count, node);
    return;
  }
  arg_view_t v;
  arg_view_of(&v, input_n, input_c, input_h, input_w, axis);
  arg_plan_t p;
  arg_plan_of(&p, &v);
  const int input_lmem_size = p.input_lmem_size, nc_secs = p.nc_secs;
  ASSERT_FS(nc_secs > 0);
  ASSERT_FS(input_lmem_size > 0);
  if (index_out == ARG_NO_OUTPUT && value_out == ARG_NO_OUTPUT) return;
  arg_ramp(&v, &p, node);
  int ramp_at = 0;  // the ramps' start along the reduced direction
  for (int n0 = 0; n0 < v.n; n0 += p.n_piece)
    for (int c0 = 0; c0 < v.c; c0 += p.c_piece)
      for (int k0 = 0; k0 < v.keep; k0 += p.keep_piece) {
        // Every block starts the reduced direction again at 0.
        if (ramp_at != 0) arg_ramp_advance(&p, -ramp_at, node);
        const arg_block_t b = {n0, imin(p.n_piece, v.n - n0), c0, imin(p.c_piece, v.c - c0),
                               k0, imin(p.keep_piece, v.keep - k0)};
        arg_block(input, value_out, index_out, &v, &p, &b, method, node);
        ramp_at = (int)((ceil_div(v.len, p.len_piece) - 1) * p.len_piece);
      }
}

// ---- 8-bit data stored 4N ----

int input_sign_g;

void arg8_plan_of(arg8_plan_t *plan, const int *dims, int axis, int chunked) {
  memset(plan, 0, sizeof *plan);
  arg_view_of(&plan->view, dims[0], dims[1], dims[2], dims[3], axis);
  const arg_view_t *v = &plan->view;
  plan->chunked = chunked;
  const int K = v->keep;
  // Bytes per lane of one item's plane of `len` reduced rows.
  auto plane = [&](int len) { return (u64)plane_bytes((s64)len * K); };
  // One plane of every area: the input, even and odd survivors, two survivor
  // areas (values and indices each) and the running result.
  auto per_row = [&](int len) {
    const int half = (len + 1) / 2;
    return plane(len) + 8u * plane(half) + 2u * plane(1);
  };
  int len = v->len;
  if (chunked && per_row(len) > ARG_LANE_BYTES) {
    // Chunks of a multiple of 4 rows, as many as fit one plane per lane.
    len = v->len / 4 * 4;
    while (len > 4 && per_row(len) > ARG_LANE_BYTES) len -= 4;
    if (len < 4) len = imin(4, v->len);
  }
  plan->len_piece = len;
  const u64 one = per_row(len);
  int t = (int)(ARG_LANE_BYTES / one);
  if (t < 1) t = 1;
  plan->rows_per_lane = t;
  const int g = (int)ceil_div(v->c, NPU_NUM);
  int np, cp;
  if ((s64)g * v->n <= t) {
    np = v->n;
    cp = v->c;
  } else if (t < g) {
    np = 1;
    cp = t * NPU_NUM;
  } else {
    np = t / g;
    cp = v->c;
  }
  cp = imin(cp, imin(v->c, ARG_C_PIECE));
  np = imin(np, BD_MAX_N / 2);  // values and indices stack along n
  plan->n_piece = np;
  plan->c_piece = cp;
  const u64 rows = (u64)np * lane_rows(0, (u32)cp);
  const int half = (len + 1) / 2;
  const u64 sizes[ARG8_AREA_COUNT] = {rows * plane(len),      2 * rows * plane(half), 2 * rows * plane(half),
                                      2 * rows * plane(half), 2 * rows * plane(half), 2 * rows * plane(1)};
  static const char *const names[ARG8_AREA_COUNT] = {"input", "even", "odd", "survivors", "survivors 2", "kept"};
  u64 at = 0;
  for (int i = 0; i < ARG8_AREA_COUNT; i++) {
    plan->areas[i] = {names[i], (u32)at, (u32)sizes[i]};
    at += sizes[i];
  }
  plan->local_mem_usage = at;
}

// Where one reduction of a byte tensor reads and writes.
typedef struct {
  u64 input;      // bytes (signed or unsigned by input_sign_g)
  u64 value_out;  // bytes in the output layout of the byte tensor, or ARG_NO_OUTPUT
  u64 index_out;  // float32 in that layout, or ARG_NO_OUTPUT
  int is_min;
} arg8_io_t;

static gdma_value_format_t byte_format() {
  return input_sign_g ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
}

// The EU-aligned stride of a local tensor of this shape from lane 0.
static dim4_t aligned_stride_of(const dim4_t *shape) {
  const int plane = (int)eu_plane((u32)(shape->h * shape->w));
  return {(int)lane_rows(0, (u32)shape->c) * plane, plane, shape->w, 1};
}

// A piece between device memory (elements of `format`, view strides g) and
// its local float area in the default layout.
static void move8(u32 local, u64 global, const dim4_t *shape, const dim4_t *g, gdma_value_format_t format, int save,
                  cmd_id_node_t *node) {
  const dim4_t ls = aligned_stride_of(shape);
  if (save)
    __tensor_general_move_gen_cmd(local, 0, shape->n, shape->c, shape->h, shape->w, ls.n, ls.c, ls.h, 1,
                                  GDMA_VALUE_FORMAT_FLOAT32, global, 0, shape->n, shape->c, shape->h, shape->w,
                                  g->n, g->c, g->h, 1, format, GDMA_VALUE_DIR_L2S, 0, node);
  else
    __tensor_general_move_gen_cmd(global, 0, shape->n, shape->c, shape->h, shape->w, g->n, g->c, g->h, 1, format,
                                  local, 0, shape->n, shape->c, shape->h, shape->w, ls.n, ls.c, ls.h, 1,
                                  GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}

// The piece loads of the four axes: a block of batch items (axis 0, from the
// 1N copy), of channels (axis 1) or of rows (axes 2 and 3), its bytes as
// floats in the default layout.
typedef void (*arg_split_load_t)(u32 local, u64 global, const dim4_t *shape, const dim4_t *g, cmd_id_node_t *node);
static void nodechip_split_tensor_from_global_n(u32 local, u64 global, const dim4_t *shape, const dim4_t *g,
                                                cmd_id_node_t *node) {
  move8(local, global, shape, g, byte_format(), 0, node);
}
static void nodechip_split_tensor_from_global_c(u32 local, u64 global, const dim4_t *shape, const dim4_t *g,
                                                cmd_id_node_t *node) {
  move8(local, global, shape, g, byte_format(), 0, node);
}
static void nodechip_split_tensor_from_local_h(u32 local, u64 global, const dim4_t *shape, const dim4_t *g,
                                               cmd_id_node_t *node) {
  move8(local, global, shape, g, byte_format(), 0, node);
}

// The halving tree over the `len` reduced positions of n x c planes resident
// at `in`: survivors are paired by position (2j, 2j + 1), an unpaired last one
// with itself; the higher position wins only where strictly greater, so equal
// extremes keep the lowest index. The index is built bit by bit: 1.0 where
// the higher position wins the first pairing, then 2^r added to the higher
// one's index in round r. Returns the area holding the winner's value (items
// 0 .. n - 1) and index (items n .. 2n - 1).
static u32 arg_halving_tree(const arg8_plan_t *p, u32 in, int n, int c, int keep, int len, int reduce_w,
                            cmd_id_node_t *node) {
  auto shape_of = [&](int items, int m) { return reduce_w ? dim4_t{items, c, keep, m} : dim4_t{items, c, m, keep}; };
  const u32 even = LOCAL_ADDR_TAG | p->areas[ARG8_AREA_EVEN].offset;
  const u32 odd = LOCAL_ADDR_TAG | p->areas[ARG8_AREA_ODD].offset;
  u32 surv[2] = {LOCAL_ADDR_TAG | p->areas[ARG8_AREA_SURVIVORS].offset,
                 LOCAL_ADDR_TAG | p->areas[ARG8_AREA_SURVIVORS2].offset};
  if (len == 1) {
    const dim4_t one = shape_of(n, 1);
    const dim4_t st = aligned_stride_of(&one);
    const dim4_t both = shape_of(2 * n, 1);
    const dim4_t bst = aligned_stride_of(&both);
    atomic_tensor_copy_gen_cmd(in, surv[0], &one, &st, &bst, node);
    local_fill_const_gen_cmd(surv[0] + (u32)(n * bst.n) * 4u, n, c, reduce_w ? keep : 1, reduce_w ? 1 : keep, 0,
                             node);
    return surv[0];
  }
  u32 src = in;
  int items = n, m = len;
  for (int r = 0; m > 1; r++) {
    fix_cmd_node_overflow(node);
    const int half = (m + 1) / 2, pairs = m / 2;
    const dim4_t from = shape_of(items, m);
    const dim4_t fs = aligned_stride_of(&from);
    // Position step of the source along the reduced direction.
    const int step = reduce_w ? 1 : fs.h;
    dim4_t pick = fs;
    if (reduce_w)
      pick.w = 2;
    else
      pick.h = 2 * fs.h;
    const dim4_t to_e = shape_of(items, half), to_o = shape_of(items, pairs);
    const dim4_t hs = shape_of(2 * n, half);
    const dim4_t ds = aligned_stride_of(&hs);
    atomic_tensor_copy_gen_cmd(src, even, &to_e, &pick, &ds, node);
    atomic_tensor_copy_gen_cmd(src + (u32)step * 4u, odd, &to_o, &pick, &ds, node);
    const int dstep = reduce_w ? 1 : ds.h;
    if (pairs < half) {
      // The last one meets itself.
      const dim4_t last = shape_of(items, 1);
      atomic_tensor_copy_gen_cmd(src + (u32)((m - 1) * step) * 4u, odd + (u32)((half - 1) * dstep) * 4u, &last, &fs,
                                 &ds, node);
    }
    const dim4_t cmp = shape_of(n, half);
    const u32 idx_at = (u32)(n * ds.n) * 4u;
    const u32 out = surv[r & 1];
    if (r == 0) {
      atomic_md_cmp_gen_cmd(odd, even, 0, 0, out, out + idx_at, cmp.n, cmp.c, cmp.h, cmp.w, 0, 0, 1, 1, 0, 0,
                            f32(1.0f), 0, 3, node);
    } else {
      atomic_md_add_const_gen_cmd(odd + idx_at, odd + idx_at, cmp.n, cmp.c, cmp.h, cmp.w, 0, f32((float)(1 << r)),
                                  node);
      atomic_md_cmp_gen_cmd(odd, even, odd + idx_at, even + idx_at, out, out + idx_at, cmp.n, cmp.c, cmp.h, cmp.w,
                            0, 0, 0, 0, 0, 0, 0, 0, 3, node);
    }
    src = out;
    items = 2 * n;
    m = half;
  }
  return src;
}

// The tree along the outer rows of a piece (the reduced extent along h).
static u32 nodechip_arg_fixed_n_local(const arg8_plan_t *p, u32 in, int n, int c, int keep, int len,
                                      cmd_id_node_t *node) {
  return arg_halving_tree(p, in, n, c, keep, len, 0, node);
}

// The tree along w.
static u32 nodechip_nodechip_arg_fixed_h_local(const arg8_plan_t *p, u32 in, int n, int c, int keep, int len,
                                               cmd_id_node_t *node) {
  return arg_halving_tree(p, in, n, c, keep, len, 1, node);
}

// Values (as bytes of input_sign_g's format) and float indices of a block to
// their places in the byte tensor's output layout.
static void nodechip_write_result_to_global(const arg_view_t *v, const arg8_io_t *io, u32 result, int n0, int nn,
                                            int c0, int cn, int k0, int kn, cmd_id_node_t *node) {
  const dim4_t res = v->reduce_w ? dim4_t{nn, cn, kn, 1} : dim4_t{nn, cn, 1, kn};
  const dim4_t both = v->reduce_w ? dim4_t{2 * nn, cn, kn, 1} : dim4_t{2 * nn, cn, 1, kn};
  const u32 idx = result + (u32)(nn * aligned_stride_of(&both).n) * 4u;
  const int kept = v->reduce_w ? 2 : 3;
  const i64 at = (i64)n0 * v->out_stride[0] + (i64)c0 * v->out_stride[1] + (i64)k0 * v->out_stride[kept];
  const dim4_t g = {stride_of(v->out_stride[0]), stride_of(v->out_stride[1]), stride_of(v->out_stride[2]), 1};
  if (io->value_out != ARG_NO_OUTPUT) {
    if (io->is_min)
      atomic_mdscalar_operation_gen_cmd_(0, result, result, res.n, res.c, res.h, res.w, MD_SCALAR_SUB, 0, 1, 0, 0, 0,
                                         node);
    move8(result & ~LOCAL_ADDR_TAG, io->value_out + (u64)at, &res, &g, byte_format(), 1, node);
  }
  if (io->index_out != ARG_NO_OUTPUT)
    move8(idx & ~LOCAL_ADDR_TAG, io->index_out + 4u * (u64)at, &res, &g, GDMA_VALUE_FORMAT_FLOAT32, 1, node);
}

// One pass: blocks of items, channels and kept rows, each reduced over every
// chunk of the reduced direction and written back.
static void arg_fixed_issue(const arg8_plan_t *p, const arg8_io_t *io, arg_split_load_t load, cmd_id_node_t *node) {
  const arg_view_t *v = &p->view;
  const int kept = v->reduce_w ? 2 : 3, red = v->reduce_w ? 3 : 2;
  const dim4_t gin = {stride_of(v->in_stride[0]), stride_of(v->in_stride[1]), stride_of(v->in_stride[2]), 1};
  const u32 in = LOCAL_ADDR_TAG | p->areas[ARG8_AREA_INPUT].offset;
  const u32 keep_area = LOCAL_ADDR_TAG | p->areas[ARG8_AREA_KEPT].offset;
  for (int n0 = 0; n0 < v->n; n0 += p->n_piece)
    for (int c0 = 0; c0 < v->c; c0 += p->c_piece) {
      const int nn = imin(p->n_piece, v->n - n0), cn = imin(p->c_piece, v->c - c0), kn = v->keep;
      const dim4_t res = v->reduce_w ? dim4_t{nn, cn, kn, 1} : dim4_t{nn, cn, 1, kn};
      const dim4_t both = v->reduce_w ? dim4_t{2 * nn, cn, kn, 1} : dim4_t{2 * nn, cn, 1, kn};
      const dim4_t bst = aligned_stride_of(&both);
      const u32 idx_at = (u32)(nn * bst.n) * 4u;
      u32 result = 0;
      for (int r0 = 0; r0 < v->len; r0 += p->len_piece) {
        fix_cmd_node_overflow(node);
        const int len = imin(p->len_piece, v->len - r0);
        const dim4_t shape = v->reduce_w ? dim4_t{nn, cn, kn, len} : dim4_t{nn, cn, len, kn};
        const i64 at = (i64)n0 * v->in_stride[0] + (i64)c0 * v->in_stride[1] + (i64)r0 * v->in_stride[red];
        load(in & ~LOCAL_ADDR_TAG, io->input + (u64)at, &shape, &gin, node);
        // The minimum is the maximum of the negated values.
        if (io->is_min)
          atomic_mdscalar_operation_gen_cmd_(0, in, in, shape.n, shape.c, shape.h, shape.w, MD_SCALAR_SUB, 0, 1, 0,
                                             0, 0, node);
        const u32 won = v->reduce_w ? nodechip_nodechip_arg_fixed_h_local(p, in, nn, cn, kn, len, node)
                                    : nodechip_arg_fixed_n_local(p, in, nn, cn, kn, len, node);
        if (r0 == 0 && len == v->len) {
          result = won;
          break;
        }
        if (r0 == 0) {
          atomic_tensor_copy_gen_cmd(won, keep_area, &both, &bst, &bst, node);
          continue;
        }
        // The chunk's index from its start; the running result is the lower
        // position and keeps equal values.
        atomic_md_add_const_gen_cmd(won + idx_at, won + idx_at, res.n, res.c, res.h, res.w, 0, f32((float)r0), node);
        atomic_md_cmp_gen_cmd(won, keep_area, won + idx_at, keep_area + idx_at, keep_area, keep_area + idx_at, res.n,
                              res.c, res.h, res.w, 0, 0, 0, 0, 0, 0, 0, 0, 3, node);
        result = keep_area;
      }
      (void)kept;
      nodechip_write_result_to_global(v, io, result, n0, nn, c0, cn, 0, kn, node);
    }
}

// The four axes: each plans its byte tensor and refuses what does not fit.
static void nodechip_arg_fixed_n_internal(const int *dims, const arg8_io_t *io, cmd_id_node_t *node) {
  arg8_plan_t p;
  arg8_plan_of(&p, dims, 0, 0);
  const u64 local_mem_usage = p.local_mem_usage;
  ASSERT_FS(local_mem_usage <= (1<<19));
  arg_fixed_issue(&p, io, nodechip_split_tensor_from_global_n, node);
}

static void nodechip_arg_fixed_c_internal(const int *dims, const arg8_io_t *io, cmd_id_node_t *node) {
  arg8_plan_t p;
  arg8_plan_of(&p, dims, 1, 1);
  const u64 local_mem_usage = p.local_mem_usage;
  ASSERT_FS(local_mem_usage <= (1<<19));
  arg_fixed_issue(&p, io, nodechip_split_tensor_from_global_c, node);
}

static void nodechip_arg_fixed_h_internal(const int *dims, const arg8_io_t *io, cmd_id_node_t *node) {
  arg8_plan_t p;
  arg8_plan_of(&p, dims, 2, 0);
  const u64 local_mem_usage = p.local_mem_usage;
  ASSERT_FS(local_mem_usage <= (1<<19));
  arg_fixed_issue(&p, io, nodechip_split_tensor_from_local_h, node);
}

static void nodechip_arg_fixed_w_internal(const int *dims, const arg8_io_t *io, cmd_id_node_t *node) {
  arg8_plan_t p;
  arg8_plan_of(&p, dims, 2, 0);
  const u64 local_mem_usage = p.local_mem_usage;
  ASSERT_FS(local_mem_usage <= (1<<19));
  arg_fixed_issue(&p, io, nodechip_split_tensor_from_local_h, node);
}

// Axis 0 on the 1N copy: (N, C, H, W) bytes.
static void nodechip_arg_fixed_n(u64 one_n, u64 values, u64 index_out, int N, int C, int H, int W, int is_min,
                                 cmd_id_node_t *node) {
  const int dims[4] = {N, C, H, W};
  const arg8_io_t io = {one_n, values, index_out, is_min};
  nodechip_arg_fixed_n_internal(dims, &io, node);
}

// Axes 1 and 2 on the 4N words read byte by byte: (ceil(N / 4), C, H, 4 W).
static void nodechip_arg_fixed_c(u64 input, u64 value_out, u64 scratch, int G, int C, int H, int W, int is_min,
                                 cmd_id_node_t *node) {
  const int dims[4] = {G, C, H, 4 * W};
  const arg8_io_t io = {input, value_out, scratch, is_min};
  nodechip_arg_fixed_c_internal(dims, &io, node);
}

static void nodechip_arg_fixed_h(u64 input, u64 value_out, u64 scratch, int G, int C, int H, int W, int is_min,
                                 cmd_id_node_t *node) {
  const int dims[4] = {G, C, H, 4 * W};
  const arg8_io_t io = {input, value_out, scratch, is_min};
  nodechip_arg_fixed_h_internal(dims, &io, node);
}

// Axis 3: (ceil(N / 4), C x H, W, 4) reduced along W, the byte slot kept.
static void nodechip_arg_fixed_w_4N(u64 input, u64 value_out, u64 scratch, int G, int C, int H, int W, int is_min,
                                    cmd_id_node_t *node) {
  ASSERT_FS((s64)C * H <= 0x7fffffff);
  const int dims[4] = {G, C * H, W, 4};
  const arg8_io_t io = {input, value_out, scratch, is_min};
  nodechip_arg_fixed_w_internal(dims, &io, node);
}

// The float indices of the scratch (one per 4N byte slot: item 4 g + i at
// slot i of group g) into index_out in 1N order, `len` elements per item.
static void arg_deinterleave(u64 scratch, u64 index_out, int N, u64 len, cmd_id_node_t *node) {
  const u64 piece = 32768;
  for (int i = 0; i < 4 && i < N; i++) {
    const int items = N / 4 + (i < N % 4 ? 1 : 0);
    for (u64 e0 = 0; e0 < len; e0 += piece) {
      fix_cmd_node_overflow(node);
      const int w = (int)(len - e0 < piece ? len - e0 : piece);
      const int group = stride_of(4 * (i64)len), item = stride_of(4 * (i64)len);
      const dim4_t run = dim4(items, 1, 1, w);
      move_g2g(global_view(scratch + 4u * ((u64)i + 4u * e0), run, dim4(group, group, group, 4), GDMA_VALUE_FORMAT_FLOAT32),
               global_view(index_out + 4u * ((u64)i * len + e0), run, dim4(item, item, item, 1),
                           GDMA_VALUE_FORMAT_FLOAT32),
               node);
    }
  }
}

// The float indices at index_addr (N x C x H x W, the reduced extent 1) to
// int32 in place. For axis 1 the items go across the lanes when the natural
// layout would take more than half a lane.
static void nodechip_arg_dtype_convert(u64 index_addr, int N, int C, int H, int W, int axis, cmd_id_node_t *node) {
  const int dims[4] = {N, C, H, W};
  int out[4];
  for (int i = 0; i < 4; i++) out[i] = i == axis ? 1 : dims[i];
  dim4_t shape = {out[0], out[1], out[2], out[3]};
  u64 local_size = (u64)shape.n * eu_plane((u32)(shape.h * shape.w)) * 4u * (u64)ceil_div(shape.c, NPU_NUM);
  if (axis == 1 && local_size > 0x40000) {
    shape = {1, out[0], out[2], out[3]};
    local_size = (u64)eu_plane((u32)(shape.h * shape.w)) * 4u * (u64)ceil_div(shape.c, NPU_NUM);
  }
  ASSERT(local_size <= (1<<19)/2);
  tensor_general_load(0, index_addr, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, NULL, node);
  atomic_md_sfu_gen_cmd_(LOCAL_ADDR_TAG, LOCAL_ADDR_TAG, shape.n, shape.c, shape.h, shape.w, 0, SFU_F2I, 0, node);
  tensor_general_save(0, index_addr, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, NULL, node);
}

// An axis of extent 1: the 4N input copied, every index 0.
static void nodechip_copy_src_to_result(u64 input, u64 value_out, u64 index_out, int N, u64 len,
                                        cmd_id_node_t *node) {
  const u64 groups = (u64)ceil_div(N, 4);
  if (value_out != ARG_NO_OUTPUT) {
    for (u64 done = 0; done < groups * len; done += 0x40000000u) {
      const u64 part = groups * len - done < 0x40000000u ? groups * len - done : 0x40000000u;
      general_gdma_gen_cmd(input + 4u * done, value_out + 4u * done, GDMA_VALUE_FORMAT_FLOAT32, (int)part,
                           GDMA_VALUE_DIR_S2S, node);
    }
  }
  if (index_out != ARG_NO_OUTPUT) fill_zeros(index_out, (u64)N * len, node);
}

void nodechip_arg_fix8b(u64 input, u64 buffer, u64 value_out, u64 buffer2, u64 index_out,
                        u64 imm_index_global_addr, int is_signed, int input_n, int input_c, int input_h,
                        int input_w, int axis, int method, cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  input_sign_g = is_signed;
  if (axis < 0 || axis > 3) {
    fw_log(0, "axis = %d not supported\n", axis);
    ASSERT_FS(axis < 4);
    return;
  }
  if (axis != 0 && index_out != ARG_NO_OUTPUT) ASSERT(imm_index_global_addr != 9223372036854775807);
  const int dims[4] = {input_n, input_c, input_h, input_w};
  const u64 len = (u64)input_c * (u64)input_h * (u64)input_w;
  if (dims[axis] == 1) {
    nodechip_copy_src_to_result(input, value_out, index_out, input_n, len, node);
    return;
  }
  if (value_out == ARG_NO_OUTPUT && index_out == ARG_NO_OUTPUT) return;
  const int is_min = method == 1;
  const int G = (int)ceil_div(input_n, 4);
  if (axis == 0) {
    gdma_move_global_1N_and_4N(buffer, input, input_n, (int)len, 0, node);
    const u64 values = value_out != ARG_NO_OUTPUT ? buffer2 : ARG_NO_OUTPUT;
    nodechip_arg_fixed_n(buffer, values, index_out, input_n, input_c, input_h, input_w, is_min, node);
    if (value_out != ARG_NO_OUTPUT) gdma_move_global_1N_and_4N(buffer2, value_out, 1, (int)len, 1, node);
  } else {
    const u64 scratch = index_out != ARG_NO_OUTPUT ? imm_index_global_addr : ARG_NO_OUTPUT;
    if (axis == 1) nodechip_arg_fixed_c(input, value_out, scratch, G, input_c, input_h, input_w, is_min, node);
    if (axis == 2) nodechip_arg_fixed_h(input, value_out, scratch, G, input_c, input_h, input_w, is_min, node);
    if (axis == 3) nodechip_arg_fixed_w_4N(input, value_out, scratch, G, input_c, input_h, input_w, is_min, node);
    if (index_out != ARG_NO_OUTPUT) arg_deinterleave(scratch, index_out, input_n, len / (u64)dims[axis], node);
  }
  if (index_out != ARG_NO_OUTPUT)
    nodechip_arg_dtype_convert(index_out, input_n, input_c, input_h, input_w, axis, node);
}
