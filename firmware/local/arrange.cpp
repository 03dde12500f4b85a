// Local data-arrangement kernels: pad, reorg, tile, strided slice, concat.
#include "local/arrange.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "local/resident.h"
#include "runtime/assert.h"

namespace {

dim4_t d4(int n, int c, int h, int w) {
  const dim4_t d = {n, c, h, w};
  return d;
}

u32 at(u32 base, int elements) { return base + (u32)elements * 4u; }

// One tensor-engine copy of 32-bit elements.
void copy(u32 src, u32 dst, const dim4_t &shape, const dim4_t &src_stride,
          const dim4_t &dst_stride, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(local_tag(src), 0, local_tag(dst), &shape, 0, 0, 0, &src_stride,
                                   &dst_stride, &dst_stride, TENSOR_OP_COPY, 0, 0, 0, 0, 0, 0, node);
}

// Every element of the region takes the 32-bit pattern `value`.
void fill(u32 dst, const dim4_t &shape, const dim4_t &stride, u32 value, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(0, 0, local_tag(dst), &shape, 0, 0, 0, &stride, &stride,
                                   &stride, TENSOR_OP_COPY, 0, 1, value, 0, 0, 0, node);
}

// The second node takes the field-wise maximum of both nodes; its flag clears.
void raise_to_max(cmd_id_node_t *node2, const cmd_id_node_t *node) {
  if (node->bd_cmd_id > node2->bd_cmd_id) node2->bd_cmd_id = node->bd_cmd_id;
  if (node->gdma_cmd_id > node2->gdma_cmd_id) node2->gdma_cmd_id = node->gdma_cmd_id;
  node2->divided = 0;
}

// ---- Pad ----

// n counts the units the commands move (items, or 4N words). Returns 0 for an
// unknown mode, after the interior copy; the kernels assert on it.
int pad_words(u32 input, u32 output, int n, int c, int h, int w, const int *p, int pad_mode,
               u32 value, int fill_when_positive, cmd_id_node_t *node) {
  const int on = n + p[0] + p[1], oc = c + p[2] + p[3], oh = h + p[4] + p[5], ow = w + p[6] + p[7];
  const int in_empty = n == 0 || c == 0 || h == 0 || w == 0;
  const int out_empty = on == 0 || oc == 0 || oh == 0 || ow == 0;
  const dim4_t O = local_strides(oc, oh, ow);
  if (in_empty && out_empty) return 1;
  if (in_empty) {
    fill(output, d4(on, oc, oh, ow), O, value, node);
    return 1;
  }
  const dim4_t I = local_strides(c, h, w);
  const int top = p[4], bottom = p[5], left = p[6], right = p[7];
  auto pos = [&](int y, int x) { return at(output, y * ow + x); };
  copy(input, pos(top, left), d4(n, c, h, w), I, O, node);

  switch (pad_mode) {
    case PAD_CONSTANT: {
      const int sides[2][2] = {{left, 0}, {right, left + w}};
      for (const auto &s : sides)
        if (fill_when_positive ? s[0] > 0 : s[0] != 0) fill(pos(top, s[1]), d4(n, c, h, s[0]), O, value, node);
      const int rows[2][2] = {{top, 0}, {bottom, top + h}};
      for (const auto &r : rows)
        if (fill_when_positive ? r[0] > 0 : r[0] != 0) fill(pos(r[1], 0), d4(n, c, r[0], ow), O, value, node);
      break;
    }
    case PAD_REFLECT:
    case PAD_SYMMETRIC: {
      const int edge = pad_mode == PAD_REFLECT ? 1 : 0;  // reflect skips the edge itself
      for (int j = 0; j < left; j++)
        copy(pos(top, left + edge + j), pos(top, left - 1 - j), d4(n, c, h, 1), O, O, node);
      for (int j = 0; j < right; j++)
        copy(pos(top, left + w - 1 - edge - j), pos(top, left + w + j), d4(n, c, h, 1), O, O, node);
      for (int j = 0; j < top; j++)
        copy(pos(top + edge + j, 0), pos(top - 1 - j, 0), d4(n, c, 1, ow), O, O, node);
      for (int j = 0; j < bottom; j++)
        copy(pos(top + h - 1 - edge - j, 0), pos(top + h + j, 0), d4(n, c, 1, ow), O, O, node);
      break;
    }
    case PAD_EDGE: {
      dim4_t Ow = O, Oh = O;
      Ow.w = 0;  // every column of the side reads the edge column
      Oh.h = 0;
      if (left > 0) copy(pos(top, left), pos(top, 0), d4(n, c, h, left), Ow, O, node);
      if (right > 0) copy(pos(top, left + w - 1), pos(top, left + w), d4(n, c, h, right), Ow, O, node);
      if (top > 0) copy(pos(top, 0), pos(0, 0), d4(n, c, top, ow), Oh, O, node);
      if (bottom > 0) copy(pos(top + h - 1, 0), pos(top + h, 0), d4(n, c, bottom, ow), Oh, O, node);
      break;
    }
    default: return 0;
  }
  return 1;
}

}  // namespace

void nodechip_pad_local(u32 input, u32 output, int n, int c, int h, int w, const int *paddings,
                        int pad_mode, float constant, cmd_id_node_t *node) {
  u32 bits;
  memcpy(&bits, &constant, 4);
  if (!pad_words(input, output, n, c, h, w, paddings, pad_mode, bits, 0, node))
    ASSERT_FS(0, "pad_mode=%d", pad_mode);
}

void nodechip_pad_fix8b_local(u32 input, u32 output, int n, int c, int h, int w,
                              const int *paddings, int pad_mode, int constant,
                              cmd_id_node_t *node) {
  if (!pad_words(input, output, (n + 3) / 4, c, h, w, paddings, pad_mode,
                 ((u32)constant & 0xffu) * 0x01010101u, 1, node))
    ASSERT_FS(0, "pad_mode=%d", pad_mode);
}

// ---- Reorg ----

static int gcd(int a, int b) {
  while (b != 0) {
    const int t = a % b;
    a = b;
    b = t;
  }
  return a;
}

void reorg_plan_of(reorg_plan_t *plan, const int *bottom_dim, const int *top_dim, int fix8b) {
  memset(plan, 0, sizeof *plan);
  const int n = fix8b ? (bottom_dim[0] + 3) / 4 : bottom_dim[0];
  const int c = bottom_dim[1], h = bottom_dim[2], w = bottom_dim[3];
  const int tc = top_dim[1], th = top_dim[2];
  plan->slot_bytes = (u32)n * (u32)local_rows(c) * (u32)local_plane(h, w) * 4u;
  plan->depth_to_space = tc < c;
  if (plan->depth_to_space) {
    plan->stride = h > 0 ? th / h : 0;
    plan->shift_step = tc;
    plan->shifts = tc > 0 ? local_ceil_div(c, tc) - 1 : 0;
    plan->k = 1;
    plan->groups = 1;
  } else {
    plan->stride = th > 0 ? h / th : 0;
    const int s2 = plan->stride * plan->stride;
    plan->k = s2 > 0 && h > 0 ? s2 / gcd(s2, h) : 1;
    plan->shifts = plan->k - 1;
    plan->shift_step = 1;
    plan->groups = c > 0 ? tc / c : 0;
  }
  plan->buffer_bytes = (u32)plan->shifts * plan->slot_bytes;
}

namespace {

// Assumes the shapes passed the kernel's checks (REORG_CHECKS).
void reorg(u32 input, u32 output, u32 buffer, const int *bottom_dim, const int *top_dim, int skip,
           int fix8b, cmd_id_node_t *node, cmd_id_node_t *node2) {
  const int n = fix8b ? (bottom_dim[0] + 3) / 4 : bottom_dim[0];
  const int c = bottom_dim[1], h = bottom_dim[2], w = bottom_dim[3];
  const int tc = top_dim[1], th = top_dim[2], tw = top_dim[3];
  reorg_plan_t plan;
  reorg_plan_of(&plan, bottom_dim, top_dim, fix8b);
  const int s = plan.stride;
  const u32 lane = local_lane_of(input);
  const int P = local_plane(h, w);
  const dim4_t part = d4(n, tc, h, w);

  if (!skip) {
    for (int m = 1; m <= plan.shifts; m++)
      lrn_shift_gen_cmd(input & LOCAL_OFFSET_MASK, (int)lane,
                        (buffer & LOCAL_OFFSET_MASK) + (u32)(m - 1) * plan.slot_bytes, n, c, h, w,
                        GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_LRN_SHIFT_LEFT, m * plan.shift_step, 0,
                        node);
    raise_to_max(node2, node);
  }
  // Copy j of the input: the input itself, then the shifted copies.
  auto copy_of = [&](int j) { return j == 0 ? input : buffer + (u32)(j - 1) * plan.slot_bytes; };

  if (plan.depth_to_space) {
    const dim4_t src = local_strides(c, h, w);
    const int Q = local_plane(th, tw);
    const dim4_t dst = d4(local_rows(tc) * Q, Q, s * tw, s);
    for (int i = 0; i < s * s; i++)
      atomic_tensor_copy_gen_cmd(local_tag(copy_of(i)), local_tag(at(output, (i / s) * tw + i % s)),
                                 &part, &src, &dst, node);
    return;
  }
  const int S2 = s * s;
  const int E = local_align(plan.k * th * tw, EU_NUM);
  const dim4_t src_st = d4(local_rows(c) * P, P, S2 * w, s);
  const dim4_t dst_st = d4(local_rows(c) * E, E, s * tw, 1);
  // Row I of the sequence: row I % h of copy I / h.
  auto src_at = [&](int I, int x0) { return at(copy_of(I / h), (I % h) * w + x0); };
  for (int q = 0; q < plan.groups; q++) {
    const int x0 = q % s;
    const u32 D = output + (u32)q * (u32)n * (u32)local_rows(c) * (u32)E * 4u;
    int H = 0, I = s * (q / s), width = s * tw;
    for (int i = 0; i < plan.k; i++) {
      if (i > 0) {
        const dim4_t one = d4(n, c, 1, width);
        atomic_tensor_copy_gen_cmd(local_tag(src_at(I, x0)), local_tag(at(D, H * tw)), &one, &src_st,
                                   &dst_st, node);
        H += s - i;
        I += S2 - i;
      }
      const int rows = (h - I % h) / S2;
      if (rows > 0) {
        const dim4_t block = d4(n, c, rows, s * tw);
        atomic_tensor_copy_gen_cmd(local_tag(src_at(I, x0)), local_tag(at(D, H * tw)), &block, &src_st,
                                   &dst_st, node);
      }
      H += s * rows;
      I += S2 * rows;
      // Fill the round up to its next th rows; a round whose block held no
      // whole row (h - I mod h < s*s, e.g. h = s*s past the first s groups)
      // still owes th rows.
      if (H % th != 0 || H == i * th) {
        const int d = th - H % th;
        const dim4_t rest = d4(n, c, 1, d * tw);
        atomic_tensor_copy_gen_cmd(local_tag(src_at(I, x0)), local_tag(at(D, H * tw)), &rest, &src_st,
                                   &dst_st, node);
        H += d;
        I += d;
      }
      width -= tw;
    }
  }
}

}  // namespace

// The shape checks of both reorg kernels, in the kernel's own frame.
#define REORG_CHECKS(bottom_dim, top_dim)                                  \
  do {                                                                     \
    ASSERT_FS(bottom_dim[0] == top_dim[0]);                                \
    const int top_c = top_dim[1], bottom_c = bottom_dim[1];                \
    ASSERT_FS(top_c != bottom_c);                                          \
    const int top_h = top_dim[2], top_w = top_dim[3];                      \
    const int bottom_h = bottom_dim[2], bottom_w = bottom_dim[3];          \
    if (top_c < bottom_c) {                                                \
      const int stride = bottom_h > 0 ? top_h / bottom_h : 0;              \
      ASSERT_FS(stride > 0);                                               \
      ASSERT_FS(top_h / bottom_h == top_w / bottom_w);                     \
    } else {                                                               \
      const int stride = top_h > 0 ? bottom_h / top_h : 0;                 \
      ASSERT_FS(stride > 0);                                               \
      ASSERT_FS(bottom_h / top_h == bottom_w / top_w);                     \
    }                                                                      \
  } while (0)

void nodechip_reorg_forward_local(u32 input, u32 output, u32 buffer, const int *bottom_dim,
                                  const int *top_dim, int skip, cmd_id_node_t *node,
                                  cmd_id_node_t *node2) {
  REORG_CHECKS(bottom_dim, top_dim);
  reorg(input, output, buffer, bottom_dim, top_dim, skip, 0, node, node2);
}

void nodechip_reorg_forward_fix8b_local(u32 input, u32 output, u32 buffer, const int *bottom_dim,
                                        const int *top_dim, int skip, cmd_id_node_t *node,
                                        cmd_id_node_t *node2) {
  REORG_CHECKS(bottom_dim, top_dim);
  reorg(input, output, buffer, bottom_dim, top_dim, skip, 1, node, node2);
}

// ---- Tile ----

namespace {

// The working shape and coefficients: d = 4 minus the zero coefficients; the
// entries from d on are 1.
void tile_working(const int *input_shape, const int *tile_coef, int shape[4], int coef[4]) {
  int zeros = 0;
  for (int i = 0; i < 4; i++) zeros += tile_coef[i] == 0;
  const int d = 4 - zeros;
  for (int i = 0; i < 4; i++) {
    shape[i] = i < d ? input_shape[i] : 1;
    coef[i] = i < d ? tile_coef[i] : 1;
  }
}

// Assumes the kernel's checks passed.
void tile(u32 input, u32 output, const int *input_shape, const int *tile_coef, int tile_mode,
          int fix8b, cmd_id_node_t *node) {
  int shape[4], tile_coef_backend[4];
  tile_working(input_shape, tile_coef, shape, tile_coef_backend);
  if (fix8b) shape[0] = (shape[0] + 3) / 4;
  const int N = shape[0], C = shape[1], H = shape[2], W = shape[3];
  const int tn = tile_coef_backend[0], tc = tile_coef_backend[1], th = tile_coef_backend[2],
            tw = tile_coef_backend[3];
  const int W2 = tw * W, H2 = th * H, C2 = tc * C;
  const int P2 = local_plane(H2, W2);
  const dim4_t I = local_strides(C, H, W);
  if (tile_mode == 0) {
    const dim4_t O = local_strides(C2, H2, W2);
    for (int j = 0; j < tw; j++) copy(input, at(output, j * W), d4(N, C, H, W), I, O, node);
    for (int j = 0; j < th; j++) copy(output, at(output, j * H * W2), d4(N, C, H, W2), O, O, node);
    for (int j = 0; j < tc; j++)
      copy(output, local_channel(output, j * C, (u32)P2 * 4u), d4(N, C, H2, W2), O, O, node);
    for (int j = 0; j < tn; j++)
      copy(output, at(output, j * local_rows(C2) * N * P2), d4(N, C2, H2, W2), O, O, node);
    return;
  }
  const dim4_t spread = d4(local_rows(C) * P2, P2, th * W2, tw);
  for (int j = 0; j < tw; j++) copy(input, at(output, j), d4(N, C, H, W), I, spread, node);
  if (th > 1) {
    const dim4_t rows = d4(local_rows(C) * P2, P2, th * W2, 1);
    for (int j = 0; j < th; j++) copy(output, at(output, j * W2), d4(N, C, H, W2), rows, rows, node);
  }
}

}  // namespace

#define TILE_CHECKS(input_shape, tile_coef, input_dim, tile_mode)             \
  do {                                                                       \
    ASSERT_FS(input_dim <= 4);                                               \
    int shape_[4], tile_coef_backend[4];                                     \
    tile_working(input_shape, tile_coef, shape_, tile_coef_backend);         \
    if (tile_mode != 0) ASSERT(tile_coef_backend[1] < 2 && tile_coef_backend[0] < 2); \
  } while (0)

void nodechip_tile_local(u32 input, u32 output, const int *input_shape, const int *tile_coef,
                         int input_dim, int unused0, int unused1, int tile_mode,
                         cmd_id_node_t *node) {
  (void)unused0;
  (void)unused1;
  TILE_CHECKS(input_shape, tile_coef, input_dim, tile_mode);
  tile(input, output, input_shape, tile_coef, tile_mode, 0, node);
}

void nodechip_tile_fix8b_local(u32 input, u32 output, const int *input_shape,
                               const int *tile_coef, int input_dim, int unused0, int unused1,
                               int tile_mode, cmd_id_node_t *node) {
  (void)unused0;
  (void)unused1;
  TILE_CHECKS(input_shape, tile_coef, input_dim, tile_mode);
  tile(input, output, input_shape, tile_coef, tile_mode, 1, node);
}

// ---- Strided slice ----

namespace {

// ceil(span / stride) in integers (stride non-zero).
int ceil_count(int span, int stride) {
  const int q = span / stride, r = span % stride;
  return q + ((r != 0 && ((r > 0) == (stride > 0))) ? 1 : 0);
}

void slice_copy(u32 input, u32 output, int units, const int *shape, const int b[4], const int o[4],
                int channel_rows, const int *strides, cmd_id_node_t *node) {
  const int C = shape[1], H = shape[2], W = shape[3];
  const int P = local_plane(H, W);
  const u32 src = at(input, (local_rows(C) * b[0] + channel_rows) * P + b[2] * W + b[3]);
  const dim4_t ss = d4(local_rows(C) * P * strides[0], P * strides[1], W * strides[2], strides[3]);
  const dim4_t ds = local_strides(o[1], o[2], o[3]);
  const dim4_t sh = d4(units, o[1], o[2], o[3]);
  atomic_tensor_copy_gen_cmd(local_tag(src), local_tag(output), &sh, &ss, &ds, node);
}

}  // namespace

// b and the output extents o of a slice, in the kernel's frame: a stride of 0
// and a negative extent fail before anything is issued (the copy would run
// away or write outside the output).
#define SLICE_BOUNDS(shape, begin_mask, end_mask, begin_index, end_index, strides, b, o) \
  for (int i = 0; i < 4; i++) {                                                         \
    ASSERT_FS(strides[i] != 0, "stride %d of dimension %d", strides[i], i);             \
    b[i] = (begin_mask >> i) & 1 ? 0 : begin_index[i];                                  \
    const int e_ = (end_mask >> i) & 1 ? shape[i] : end_index[i];                       \
    o[i] = ceil_count(e_ - b[i], strides[i]);                                           \
    ASSERT_FS(o[i] >= 0, "dimension %d: begin %d, end %d, stride %d", i, b[i], e_,       \
              strides[i]);                                                              \
  }

void nodechip_stride_slice_forward_local(u32 input, u32 output, const int *input_shape,
                                         int shape_size, int begin_mask, int end_mask,
                                         const int *begin_given, const int *end_given,
                                         const int *strides, cmd_id_node_t *node) {
  ASSERT_FS(shape_size == 4);
  // Negative indices count from the end, once.
  int begin_index[4], end_index[4];
  for (int i = 0; i < 4; i++) {
    begin_index[i] = begin_given[i] < 0 ? begin_given[i] + input_shape[i] : begin_given[i];
    end_index[i] = end_given[i] < 0 ? end_given[i] + input_shape[i] : end_given[i];
  }
  ASSERT_FS(begin_index[1] % (1<<(6)) == 0, "begin_index[1]=%d", begin_index[1]);
  int b[4], o[4];
  SLICE_BOUNDS(input_shape, begin_mask, end_mask, begin_index, end_index, strides, b, o);
  if (o[0] == 0 || o[1] == 0 || o[2] == 0 || o[3] == 0) return;
  slice_copy(input, output, o[0], input_shape, b, o, b[1] / NPU_NUM, strides, node);
}

void nodechip_stride_slice_forward_local_fix8b(u32 input, u32 output, const int *input_shape,
                                               int shape_size, int begin_mask, int end_mask,
                                               const int *begin_index, const int *end_index,
                                               const int *strides, cmd_id_node_t *node) {
  ASSERT_FS(shape_size == 4);
  int b[4], o[4];
  SLICE_BOUNDS(input_shape, begin_mask, end_mask, begin_index, end_index, strides, b, o);
  if (o[0] == 0 || o[1] == 0 || o[2] == 0 || o[3] == 0) return;
  const int output_n = o[0], input_n = input_shape[0];
  ASSERT_FS(output_n==input_n);
  const int words[4] = {(input_shape[0] + 3) / 4, input_shape[1], input_shape[2], input_shape[3]};
  const int wb[4] = {0, b[1], b[2], b[3]};
  slice_copy(input, output, words[0], words, wb, o, b[1] / NPU_NUM, strides, node);
}

// ---- Concat ----

namespace {

// Copies one input into the output at output element (n0, c0, h0, w0), its
// channels in chunks of 4032 (63 lane rows), each channel at its own lane.
void concat_one(u32 input, const int *in_shape, int units, u32 output, const int *out_shape,
                int n0, int c0, int h0, int w0, cmd_id_node_t *node) {
  const int Pk = local_plane(in_shape[2], in_shape[3]);
  const int Po = local_plane(out_shape[2], out_shape[3]);
  const dim4_t S = local_strides(in_shape[1], in_shape[2], in_shape[3]);
  const dim4_t O = local_strides(out_shape[1], out_shape[2], out_shape[3]);
  const u32 origin = at(local_channel(output, c0, (u32)Po * 4u), n0 * O.n + h0 * O.h + w0);
  const int piece = TENSOR_ARITH_C_PIECE;
  for (int j = 0; j * piece < in_shape[1]; j++) {
    const int cj = in_shape[1] - j * piece < piece ? in_shape[1] - j * piece : piece;
    const dim4_t sh = d4(units, cj, in_shape[2], in_shape[3]);
    atomic_tensor_copy_gen_cmd(local_tag(at(input, 63 * j * Pk)), local_tag(at(origin, 63 * j * Po)), &sh,
                               &S, &O, node);
  }
}

void concat(const u32 *inputs, u32 output, const int *const *shapes, int input_num,
            const int *out_shape, int axis, int fix8b, cmd_id_node_t *node) {
  if (axis < CONCAT_AXIS_N || axis > CONCAT_AXIS_W) return;
  int start[4] = {0, 0, 0, 0};
  for (int k = 0; k < input_num; k++) {
    const int *s = shapes[k];
    const int units = fix8b ? (s[0] + 3) / 4 : s[0];
    const int n0 = fix8b ? start[0] / 4 : start[0];
    concat_one(inputs[k], s, units, output, out_shape, n0, start[1], start[2], start[3], node);
    start[axis] += s[axis];
  }
}

}  // namespace

void nodechip_concat_local(const u32 *input_offsets, u32 output, const int *const *input_shapes,
                           int input_num, const int *output_shape, int concat_axis,
                           cmd_id_node_t *node) {
  concat(input_offsets, output, input_shapes, input_num, output_shape, concat_axis, 0, node);
}

void nodechip_concat_fix8b_local(int concat_axis, int input_num, const u32 *input_offsets,
                                 u32 output, const int *const *input_shapes,
                                 const int *output_shape, cmd_id_node_t *node) {
  concat(input_offsets, output, input_shapes, input_num, output_shape, concat_axis, 1, node);
}
