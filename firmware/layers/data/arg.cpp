// Arg max and arg min of a float32 tensor in device memory along one axis.
#include "layers/data/arg.h"

#include <math.h>
#include <string.h>

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

static inline int imin(int a, int b) { return a < b ? a : b; }

static u32 f32_bits(float f) {
  u32 u;
  memcpy(&u, &f, 4);
  return u;
}

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

// The rows view of the 8-bit walk: `rows` rows (the reduced axis) of n x c x w
// elements, each direction with its element strides in the input and output.
typedef struct {
  int n, c, w, rows;
  i64 in_n, in_c, in_w, in_row;
  i64 out_n, out_c, out_w;
} arg8_view_t;

#define ARG8_AREA_BYTES 0x20000u
#define ARG_LOCAL_ROW 0x00000u
#define ARG_LOCAL_MAX 0x20000u
#define ARG_LOCAL_INDEX 0x40000u
#define ARG_W_PIECE 8192

typedef struct {
  int n_piece, c_piece, w_piece;
} arg8_plan_t;

static void arg8_view_of(arg8_view_t *view, int N, int C, int H, int W, int axis) {
  const int dims[4] = {N, C, H, W};
  i64 in_stride[4], out_stride[4];
  i64 in = 1, out = 1;
  for (int i = 3; i >= 0; i--) {
    in_stride[i] = in;
    out_stride[i] = out;
    in *= dims[i];
    out *= i == axis ? 1 : dims[i];
  }
  int kept[3];
  int k = 0;
  for (int i = 0; i < 4; i++)
    if (i != axis) kept[k++] = i;
  view->n = dims[kept[0]];
  view->c = dims[kept[1]];
  view->w = dims[kept[2]];
  view->rows = dims[axis];
  view->in_n = in_stride[kept[0]];
  view->in_c = in_stride[kept[1]];
  view->in_w = in_stride[kept[2]];
  view->in_row = in_stride[axis];
  view->out_n = out_stride[kept[0]];
  view->out_c = out_stride[kept[1]];
  view->out_w = out_stride[kept[2]];
}

static void arg8_plan_of(arg8_plan_t *plan, const arg8_view_t *view) {
  plan->w_piece = imin(view->w, ARG_W_PIECE);
  const int plane = (int)eu_plane((u32)plan->w_piece) * 4;
  const int k = (int)(ARG8_AREA_BYTES / (u32)plane);
  const int g = (int)lane_rows(0, (u32)view->c);
  const int g_max = imin(k, ARG_C_PIECE / NPU_NUM);
  if (g <= g_max) {
    plan->c_piece = view->c;
    plan->n_piece = imin(imin(view->n, k / g), BD_MAX_N);
  } else {
    plan->c_piece = g_max * NPU_NUM;
    plan->n_piece = 1;
  }
}

int input_sign_g;

// Where the rows of the 4N tensor live: byte strides of the kept directions
// n (items of one slot), c and w, the row stride and the byte of row 0; the
// same for the int32 indices (elements) and the 4N values (bytes) out.
typedef struct {
  int n, c, w, rows;
  i64 in_n, in_c, in_w;
  u64 in_base;
  int rows_are_items;  // axis 0: row r is item r, in slot r % 4
  i64 in_row, in_group;
  i64 idx_n, idx_c, idx_w, idx_base;
  i64 val_n, val_c, val_w, val_base;
} arg8_rows_t;

// A piece between device memory (bytes of `format`, or int32 words, with the
// kept n, c and w strides in g's n, c and h) and its local float area: the kept w direction always travels
// as the h axis, one element per row. Pieces are within the engine's limits:
// one descriptor each.
static void move8(u32 local, u64 global, int nn, int cn, int wn, const dim4_t *g, gdma_value_format_t format,
                  int save, cmd_id_node_t *node) {
  const dim4_t shape = {nn, cn, 1, wn};
  dim4_t ls;
  get_tensor_stride_by_shape(&ls, &shape, 1, 1, 4, 0);
  if (save)
    __tensor_general_move_gen_cmd(local, 0, nn, cn, wn, 1, ls.n, ls.c, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, global,
                                  0, nn, cn, wn, 1, g->n, g->c, g->h, 1, format, GDMA_VALUE_DIR_L2S, 0, node);
  else
    __tensor_general_move_gen_cmd(global, 0, nn, cn, wn, 1, g->n, g->c, g->h, 1, format, local, 0, nn, cn, wn,
                                  1, ls.n, ls.c, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}

static void arg8_piece(u64 input, u64 value_out, u64 index_out, const arg8_rows_t *v, int n0, int nn, int c0,
                       int cn, int w0, int wn, int is_min, cmd_id_node_t *node) {
  const gdma_value_format_t fmt = input_sign_g ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
  const i64 base = (i64)n0 * v->in_n + (i64)c0 * v->in_c + (i64)w0 * v->in_w;
  const dim4_t in_stride = {stride_of(v->in_n), stride_of(v->in_c), stride_of(v->in_w), 1};
  const u32 row = LOCAL_ADDR_TAG | ARG_LOCAL_ROW;
  const u32 best = LOCAL_ADDR_TAG | ARG_LOCAL_MAX;
  const u32 index = LOCAL_ADDR_TAG | ARG_LOCAL_INDEX;
  for (int r = 0; r < v->rows; r++) {
    fix_cmd_node_overflow(node);
    const u32 dst = r == 0 ? ARG_LOCAL_MAX : ARG_LOCAL_ROW;
    const i64 at = v->rows_are_items ? (i64)(r / 4) * v->in_group + r % 4 : (i64)r * v->in_row;
    move8(dst, input + v->in_base + (u64)(base + at), nn, cn, wn, &in_stride, fmt, 0, node);
    // The minimum is the maximum of the negated values.
    if (is_min)
      atomic_mdscalar_operation_gen_cmd_(0, LOCAL_ADDR_TAG | dst, LOCAL_ADDR_TAG | dst, nn, cn, 1, wn,
                                         MD_SCALAR_SUB, 0, 1, 0, 0, 0, node);
    if (r == 0) {
      local_fill_const_gen_cmd(index, nn, cn, 1, wn, 0, node);
      continue;
    }
    // Row r wins only where it is strictly greater: the lowest index is kept.
    atomic_md_cmp_gen_cmd(row, best, 0, index, best, index, nn, cn, 1, wn, 0, 0, 1, 0, 0, 0,
                          f32_bits((float)r), 0, 0, node);
  }
  if (value_out != ARG_NO_OUTPUT) {
    if (is_min)
      atomic_mdscalar_operation_gen_cmd_(0, best, best, nn, cn, 1, wn, MD_SCALAR_SUB, 0, 1, 0, 0, 0, node);
    const dim4_t s = {stride_of(v->val_n), stride_of(v->val_c), stride_of(v->val_w), 1};
    const i64 at = v->val_base + (i64)n0 * v->val_n + (i64)c0 * v->val_c + (i64)w0 * v->val_w;
    move8(ARG_LOCAL_MAX, value_out + (u64)at, nn, cn, wn, &s, fmt, 1, node);
  }
  if (index_out != ARG_NO_OUTPUT) {
    atomic_md_sfu_gen_cmd_(index, index, nn, cn, 1, wn, 0, SFU_F2I, 0, node);
    const dim4_t s = {stride_of(v->idx_n), stride_of(v->idx_c), stride_of(v->idx_w), 1};
    const i64 at = v->idx_base + (i64)n0 * v->idx_n + (i64)c0 * v->idx_c + (i64)w0 * v->idx_w;
    move8(ARG_LOCAL_INDEX, index_out + 4u * (u64)at, nn, cn, wn, &s, GDMA_VALUE_FORMAT_FLOAT32, 1, node);
  }
}

void nodechip_arg_fix8b(u64 input, u64 buffer, u64 value_out, u64 buffer2, u64 index_out,
                        u64 imm_index_global_addr, int is_signed, int input_n, int input_c, int input_h,
                        int input_w, int axis, int method, cmd_id_node_t *node) {
  // The rows are read from the 4N input in place: no 1N copy, no scratch.
  (void)buffer;
  (void)buffer2;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  input_sign_g = is_signed;
  if (axis < 0 || axis > 3) {
    fw_log(0, "axis = %d not supported\n", axis);
    ASSERT_FS(axis < 4);
    return;
  }
  if (axis != 0 && index_out != ARG_NO_OUTPUT) ASSERT(imm_index_global_addr != 9223372036854775807);
  const int dims[4] = {input_n, input_c, input_h, input_w};
  const u64 groups = (u64)ceil_div(input_n, 4);
  const u64 len = (u64)input_c * (u64)input_h * (u64)input_w;
  if (dims[axis] == 1) {
    if (value_out != ARG_NO_OUTPUT) {
      for (u64 done = 0; done < groups * len; done += 0x40000000u) {
        const u64 part = groups * len - done < 0x40000000u ? groups * len - done : 0x40000000u;
        general_gdma_gen_cmd(input + 4u * done, value_out + 4u * done, GDMA_VALUE_FORMAT_FLOAT32, (int)part,
                             GDMA_VALUE_DIR_S2S, node);
      }
    }
    if (index_out != ARG_NO_OUTPUT) fill_zeros(index_out, (u64)input_n * len, node);
    return;
  }
  if (value_out == ARG_NO_OUTPUT && index_out == ARG_NO_OUTPUT) return;
  arg8_view_t f;
  arg8_view_of(&f, input_n, input_c, input_h, input_w, axis);
  arg8_rows_t v;
  v.c = f.c;
  v.w = f.w;
  v.rows = f.rows;
  v.in_c = 4 * f.in_c;
  v.in_w = 4 * f.in_w;
  v.idx_c = f.out_c;
  v.idx_w = f.out_w;
  v.val_c = 4 * f.out_c;
  v.val_w = 4 * f.out_w;
  const int is_min = method == 1;
  arg8_plan_t p;
  if (axis == 0) {
    // Row r is item r: word group r / 4, byte r % 4. The kept n direction
    // (C in the view) is linear.
    v.n = f.n;
    v.in_n = 4 * f.in_n;
    v.in_base = 0;
    v.rows_are_items = 1;
    v.in_group = 4 * (i64)len;
    v.in_row = 0;
    v.idx_n = f.out_n;
    v.idx_base = 0;
    v.val_n = 4 * f.out_n;
    v.val_base = 0;
    arg8_plan_of(&p, &f);
    for (int n0 = 0; n0 < v.n; n0 += p.n_piece)
      for (int c0 = 0; c0 < v.c; c0 += p.c_piece)
        for (int w0 = 0; w0 < v.w; w0 += p.w_piece)
          arg8_piece(input, value_out, index_out, &v, n0, imin(p.n_piece, v.n - n0), c0,
                     imin(p.c_piece, v.c - c0), w0, imin(p.w_piece, v.w - w0), is_min, node);
    return;
  }
  // The items are kept: those of one byte slot are one word group apart.
  v.rows_are_items = 0;
  v.in_row = 4 * f.in_row;
  v.in_group = 0;
  v.in_n = 4 * (i64)len;
  v.idx_n = 4 * f.out_n;
  v.val_n = 4 * f.out_n;
  for (int slot = 0; slot < 4 && slot < input_n; slot++) {
    v.n = (int)ceil_div(input_n - slot, 4);
    v.in_base = (u64)slot;
    v.idx_base = (i64)slot * f.out_n;
    v.val_base = slot;
    arg8_view_t sized = f;
    sized.n = v.n;
    arg8_plan_of(&p, &sized);
    for (int n0 = 0; n0 < v.n; n0 += p.n_piece)
      for (int c0 = 0; c0 < v.c; c0 += p.c_piece)
        for (int w0 = 0; w0 < v.w; w0 += p.w_piece)
          arg8_piece(input, value_out, index_out, &v, n0, imin(p.n_piece, v.n - n0), c0,
                     imin(p.c_piece, v.c - c0), w0, imin(p.w_piece, v.w - w0), is_min, node);
  }
}
