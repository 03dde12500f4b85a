// Arg max and arg min of a float32 tensor in device memory along one axis.
#include "layers/data/arg.h"

#include <string.h>

#include "runtime/engine_wait.h"
#include "runtime/assert.h"
#include "runtime/regs.h"
#include "runtime/services.h"
#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_shape.h"
#include "cmd/bd_md.h"
#include "cmd/local_mem.h"

static inline int imin(int a, int b) { return a < b ? a : b; }

static u32 f32_bits(float f) {
  u32 u;
  memcpy(&u, &f, 4);
  return u;
}

void arg_view_of(arg_view_t *view, int N, int C, int H, int W, int axis) {
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

void arg_plan_of(arg_plan_t *plan, const arg_view_t *view) {
  plan->w_piece = imin(view->w, ARG_W_PIECE);
  const int plane = (int)eu_plane((u32)plan->w_piece) * 4;
  // Rows of lanes one area holds, and the rows all channels of an item take.
  const int k = (int)(ARG_AREA_BYTES / (u32)plane);
  const int g = (int)lane_rows(0, (u32)view->c);
  const int g_max = imin(k, ARG_C_PIECE / NPU_NUM);
  if (g <= g_max) {
    plan->c_piece = view->c;
    plan->n_piece = imin(imin(view->n, k / g), BD_MAX_N);
  } else {
    plan->c_piece = g_max * NPU_NUM;
    plan->n_piece = 1;
  }
  const u32 used = (u32)plan->n_piece * lane_rows(0, (u32)plan->c_piece) * (u32)plane;
  plan->areas[0] = {"row", ARG_LOCAL_ROW, used};
  plan->areas[1] = {"maximum", ARG_LOCAL_MAX, used};
  plan->areas[2] = {"index", ARG_LOCAL_INDEX, used};
}

// The kept strides of a row piece, in elements.
static int stride_of(i64 s) {
  ASSERT_FS(s <= 0x7fffffff, "stride %d elements too large", (int)(s >> 32));
  return (int)s;
}

// A row piece between device memory (element strides g) and its local area in
// the default aligned layout of n x c x 1 x w. A kept direction that is not
// contiguous in device memory travels as the h axis (one element per row): the
// engine takes w strides of at most 128 bytes.
static void move_piece(u32 local, u64 global, int nn, int cn, int wn, const dim4_t *g, int save,
                       cmd_id_node_t *node) {
  const dim4_t shape = {nn, cn, 1, wn};
  if (g->w == 1) {
    if (save)
      tensor_general_save(local, global, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, g, node);
    else
      tensor_general_load(local, global, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, g, node);
    return;
  }
  dim4_t ls;
  get_tensor_stride_by_shape(&ls, &shape, 1, 1, 4, get_local_start_lane(local));
  const dim4_t cols = {nn, cn, wn, 1};
  const dim4_t local_stride = {ls.n, ls.c, 1, 1};
  const dim4_t global_stride = {g->n, g->c, g->w, 1};
  if (save)
    tensor_general_save(local, global, GDMA_VALUE_FORMAT_FLOAT32, 1, &cols, &local_stride, &global_stride,
                        node);
  else
    tensor_general_load(local, global, GDMA_VALUE_FORMAT_FLOAT32, 1, &cols, &local_stride, &global_stride,
                        node);
}

// One piece of every row: the running maximum and index over all rows, then
// the index (and the extreme value, when wanted) stored at the piece's place.
static void arg_piece(u64 input, u64 value_out, u64 index_out, const arg_view_t *v, int n0, int nn, int c0,
                      int cn, int w0, int wn, int method, cmd_id_node_t *node) {
  const i64 in_base = (i64)n0 * v->in_n + (i64)c0 * v->in_c + (i64)w0 * v->in_w;
  const dim4_t in_stride = {stride_of(v->in_n), stride_of(v->in_c), stride_of(v->in_w), stride_of(v->in_w)};
  const u32 row = LOCAL_ADDR_TAG | ARG_LOCAL_ROW;
  const u32 max = LOCAL_ADDR_TAG | ARG_LOCAL_MAX;
  const u32 index = LOCAL_ADDR_TAG | ARG_LOCAL_INDEX;
  for (int r = 0; r < v->rows; r++) {
    fix_cmd_node_overflow(node);
    const u32 dst = r == 0 ? ARG_LOCAL_MAX : ARG_LOCAL_ROW;
    move_piece(dst, input + 4u * (u64)(in_base + (i64)r * v->in_row), nn, cn, wn, &in_stride, 0, node);
    // The minimum is the maximum of the negated values.
    if (method == 1)
      atomic_mdscalar_operation_gen_cmd_(0, LOCAL_ADDR_TAG | dst, LOCAL_ADDR_TAG | dst, nn, cn, 1, wn,
                                         MD_SCALAR_SUB, 0, 1, 0, 0, 0, node);
    if (r == 0) {
      local_fill_const_gen_cmd(index, nn, cn, 1, wn, 0, node);
      continue;
    }
    // Running maximum strictly greater keeps its index; otherwise row r wins.
    atomic_md_cmp_gen_cmd(max, row, index, 0, max, index, nn, cn, 1, wn, 0, 0, 0, 1, 0, 0, 0,
                          f32_bits((float)r), 0, node);
  }
  const i64 out_base = (i64)n0 * v->out_n + (i64)c0 * v->out_c + (i64)w0 * v->out_w;
  const dim4_t out_stride = {stride_of(v->out_n), stride_of(v->out_c), stride_of(v->out_w),
                             stride_of(v->out_w)};
  if (index_out != ARG_NO_OUTPUT)
    move_piece(ARG_LOCAL_INDEX, index_out + 4u * (u64)out_base, nn, cn, wn, &out_stride, 1, node);
  if (value_out != ARG_NO_OUTPUT) {
    if (method == 1)
      atomic_mdscalar_operation_gen_cmd_(0, max, max, nn, cn, 1, wn, MD_SCALAR_SUB, 0, 1, 0, 0, 0, node);
    move_piece(ARG_LOCAL_MAX, value_out + 4u * (u64)out_base, nn, cn, wn, &out_stride, 1, node);
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
  if (index_out == ARG_NO_OUTPUT && value_out == ARG_NO_OUTPUT) return;
  arg_view_t v;
  arg_view_of(&v, input_n, input_c, input_h, input_w, axis);
  arg_plan_t p;
  arg_plan_of(&p, &v);
  for (int n0 = 0; n0 < v.n; n0 += p.n_piece)
    for (int c0 = 0; c0 < v.c; c0 += p.c_piece)
      for (int w0 = 0; w0 < v.w; w0 += p.w_piece)
        arg_piece(input, value_out, index_out, &v, n0, imin(p.n_piece, v.n - n0), c0, imin(p.c_piece, v.c - c0),
                  w0, imin(p.w_piece, v.w - w0), method, node);
}

// ---- 8-bit data stored 4N ----

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
  arg_view_t f;
  arg_view_of(&f, input_n, input_c, input_h, input_w, axis);
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
  arg_plan_t p;
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
    arg_plan_of(&p, &f);
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
    arg_view_t sized = f;
    sized.n = v.n;
    arg_plan_of(&p, &sized);
    for (int n0 = 0; n0 < v.n; n0 += p.n_piece)
      for (int c0 = 0; c0 < v.c; c0 += p.c_piece)
        for (int w0 = 0; w0 < v.w; w0 += p.w_piece)
          arg8_piece(input, value_out, index_out, &v, n0, imin(p.n_piece, v.n - n0), c0,
                     imin(p.c_piece, v.c - c0), w0, imin(p.w_piece, v.w - w0), is_min, node);
  }
}
