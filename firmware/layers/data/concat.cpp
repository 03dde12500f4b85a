// Concat, slice and split of tensors in device memory.
#include "layers/data/concat.h"

#include "cmd/tensor_view.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "cmd/local_mem.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"
#include "layers/data/copy.h"

// 4N groups of n items.
static inline int ceil4(int n) { return (int)ceil_div(n, 4); }

static int product(const int *extents, int from, int to) {
  int p = 1;
  for (int i = from; i < to; i++) p *= extents[i];
  return p;
}

// Rows and row stride of a dense (n, c, h, w) tensor cut along axis 0-3.
static void rows_along(const int *shape, int axis, int *rows, int *row_stride) {
  *rows = product(shape, 0, axis);
  *row_stride = product(shape, axis, 4);
}

// ---- Concat ----

// The 4-D concat on elements of 4 bytes. With `groups`, the batch extents are
// items of a 4N tensor and count as their groups of four.
static void concat_rows(int axis, int input_num, const u64 *inputs, u64 output, const int *input_shapes,
                        const int *output_shape, const int *flags, int groups, cmd_id_node_t *node) {
  int out_shape[4] = {output_shape[0], output_shape[1], output_shape[2], output_shape[3]};
  if (groups) out_shape[0] = ceil4(out_shape[0]);
  int rows, row_stride;
  rows_along(out_shape, axis, &rows, &row_stride);
  u64 offset = 0;
  for (int i = 0; i < input_num; i++) {
    int shape[4] = {input_shapes[4 * i], input_shapes[4 * i + 1], input_shapes[4 * i + 2], input_shapes[4 * i + 3]};
    if (groups) shape[0] = ceil4(shape[0]);
    const int len = product(shape, axis, 4);
    if (flags[i] != 1) nodechip_global_memcpy(inputs[i], output + offset, rows, len, row_stride, len, node);
    offset += 4u * (u64)len;
  }
}

void nodechip_concat(int axis, int input_num, const u64 *inputs, u64 output, const int *input_shapes,
                     const int *output_shape, const int *flags, cmd_id_node_t *node) {
  // The axis indexes the shape records.
  ASSERT_FS(axis >= 0 && axis < 4);
  concat_rows(axis, input_num, inputs, output, input_shapes, output_shape, flags, 0, node);
}

void nodechip_concat_fix8b(int axis, int input_num, const u64 *inputs, u64 output, const int *input_shapes,
                           const int *output_shape, const int *flags, cmd_id_node_t *node) {
  ASSERT_FS(axis >= 0 && axis < 4);
  concat_rows(axis, input_num, inputs, output, input_shapes, output_shape, flags, 1, node);
}

void nodechip_concat_md(int concat_axis, int shape_size, int input_num, const u64 *inputs, u64 output,
                        const int *input_shapes, const int *output_shape, const int *flags, cmd_id_node_t *node) {
  if (concat_axis < 0) concat_axis += shape_size;
  ASSERT_FS(concat_axis >= 0 && concat_axis < shape_size);
  ASSERT_FS(shape_size <= 8);
  const int outer = product(output_shape, 0, concat_axis);
  const int row = product(output_shape, concat_axis, shape_size);
  u64 offset = 0;
  for (int i = 0; i < input_num; i++) {
    const int len = product(&input_shapes[CONCAT_MAX_DIMS * i], concat_axis, shape_size);
    if (flags[i] != 1) nodechip_global_memcpy(inputs[i], output + offset, outer, len, row, len, node);
    offset += 4u * (u64)len;
  }
}

// One input of the batch interleave: from the output byte *off and the slots
// *rem already filled in that group, where the input's items land.
static void concat_interleave_step(int items, int group_words, u64 *off, int *rem, concat_interleave_t *p) {
  p->full = 0;
  p->whole_at = *off;
  p->first = 0;
  p->slot = *rem;
  if (*rem == 0) {
    p->full = items / 4 * 4;
    *off += (u64)p->full * (u64)group_words;
    p->placed = items % 4;
    p->first = p->full;
  } else {
    p->placed = items;
  }
  p->place_at = *off;
  *off += 4u * (u64)group_words * (u64)((p->placed + p->slot) / 4);
  *rem = (p->slot + p->placed) % 4;
}

int concat_interleave_plan_of(int input_num, const int *items, const int *group_words, concat_interleave_t *plan) {
  u64 off = 0;
  int rem = 0;
  for (int i = 0; i < input_num; i++) concat_interleave_step(items[i], group_words[i], &off, &rem, &plan[i]);
  return rem;
}

// Copies k adjacent 4N slots of m elements from src to dst (both at a slot
// byte): bytes 4 apart, in pieces of at most 65535 elements.
static void no_four_copy(u64 src, u64 dst, int k, int m, cmd_id_node_t *node) {
  for (int e = 0; e < m; e += 65535) {
    const int run = m - e < 65535 ? m - e : 65535;
    fix_cmd_node_overflow(node);
    const dim4_t bytes = dim4(run, k, 1, 1), st = dim4(4, 1, 1, 1);
    move_g2g(global_view(src + 4u * (u64)e, bytes, st, GDMA_VALUE_FORMAT_INT8),
             global_view(dst + 4u * (u64)e, bytes, st, GDMA_VALUE_FORMAT_INT8), node);
  }
}

// Places k items from the 4N group at src (slot 0 on) into slot d of the group
// at dst, filling group after group; m words per group.
static void proc_no_four_multiple(u64 src, u64 dst, int k, int d, int m, cmd_id_node_t *node) {
  const u64 group = 4u * (u64)m;
  int free = 4 - d, left = k;
  while (left > 0) {
    const int c = left < free ? left : free;
    no_four_copy(src, dst + (u64)d, c, m, node);
    left -= c;
    if (c < free) break;
    dst += group;
    if (left > 0) {
      // The rest of this source group starts the next output group.
      const int rest = 4 - c;
      if (rest > 0) no_four_copy(src + (u64)c, dst, rest, m, node);
      left -= rest;
      d = rest;
      free = 4 - d;
    }
    src += group;
  }
}

void nodechip_concat_md_fix8b(int concat_axis, int shape_size, int input_num, const u64 *inputs, u64 output,
                              const int *input_shapes, const int *output_shape, const int *flags,
                              cmd_id_node_t *node) {
  // A negative axis counts from the end, as in the float form; the axis indexes
  // the shapes, so it must name one of their axes.
  if (concat_axis < 0) concat_axis += shape_size;
  ASSERT_FS(concat_axis >= 0 && concat_axis < shape_size);
  ASSERT_FS(shape_size <= 8);
  const int groups = ceil4(output_shape[0]);
  if (concat_axis != 0) {
    const int outer = groups * product(output_shape, 1, concat_axis);
    const int inner = product(output_shape, concat_axis + 1, shape_size);
    u64 offset = 0;
    for (int i = 0; i < input_num; i++) {
      const int len = product(&input_shapes[CONCAT_MAX_DIMS * i], concat_axis, shape_size);
      if (flags[i] != 1)
        nodechip_global_memcpy(inputs[i], output + offset, outer, len, output_shape[concat_axis] * inner, len, node);
      offset += 4u * (u64)len;
    }
    return;
  }
  u64 off = 0;
  int rem = 0;
  for (int i = 0; i < input_num; i++) {
    const int words = product(&input_shapes[CONCAT_MAX_DIMS * i], 1, shape_size);
    concat_interleave_t p;
    concat_interleave_step(input_shapes[CONCAT_MAX_DIMS * i], words, &off, &rem, &p);
    if (p.full > 0 && flags[i] != 1)
      nodechip_global_memcpy(inputs[i], output + p.whole_at, 1, 0, 0, p.full / 4 * words, node);
    if (p.placed > 0)
      proc_no_four_multiple(inputs[i] + (u64)p.first * (u64)words, output + p.place_at, p.placed, p.slot, words,
                            node);
  }
}

// ---- Slice ----

static void slice_common(u64 input, int count, const u64 *outputs, int n, int c, int h, int w, int axis,
                         const int *sizes, const int *flags, int fix8b, cmd_id_node_t *node) {
  const int shape[4] = {n, c, h, w};
  int rows, stride;
  rows_along(shape, axis, &rows, &stride);
  const int inner = product(shape, axis + 1, 4);
  const u64 size = fix8b ? 1u : 4u;
  u64 offset = 0;
  for (int i = 0; i < count; i++) {
    const int len = sizes[i] * inner;
    if (flags[i]) {
      if (fix8b)
        nodechip_global_fix8b_memcpy(input + offset, outputs[i], rows, stride, len, len, node);
      else
        nodechip_global_memcpy(input + offset, outputs[i], rows, stride, len, len, node);
    }
    offset += (u64)len * size;
  }
}

void nodechip_slice_forward(u64 input, int count, const u64 *outputs, int n, int c, int h, int w, int axis,
                            const int *sizes, const int *flags, cmd_id_node_t *node) {
  ASSERT_FS(axis >= 0 && axis < 4);
  slice_common(input, count, outputs, n, c, h, w, axis, sizes, flags, 0, node);
}

void nodechip_slice_fix8b_forward(u64 input, int count, const u64 *outputs, int n, int c, int h, int w, int axis,
                                  const int *sizes, const int *flags, cmd_id_node_t *node) {
  ASSERT_FS(axis >= 0 && axis < 4);
  slice_common(input, count, outputs, n, c, h, w, axis, sizes, flags, 1, node);
}

// ---- Split ----

// Shape taken to four axes: the axes beyond shape_dim have extent 1.
static void split_shape(int shape_dim, int n, int c, int h, int w, int *shape) {
  shape[0] = n;
  shape[1] = shape_dim >= 2 ? c : 1;
  shape[2] = shape_dim >= 3 ? h : 1;
  shape[3] = shape_dim >= 4 ? w : 1;
}

// The extent of output i along the axis.
static int split_extent(int dim, const int *split_sizes, int split_num, int i) {
  return split_num == 1 ? dim / split_sizes[0] : split_sizes[i];
}

static int split_outputs(const int *split_sizes, int split_num) { return split_num == 1 ? split_sizes[0] : split_num; }

// One general move per output of a dense 4-D tensor cut along axis; output i
// goes to dst_of(i).
static void split_moves(u64 input, const int *shape, int axis, const int *split_sizes, int split_num,
                        gdma_value_format_t format, const u64 *dsts, cmd_id_node_t *node) {
  const int src_stride[4] = {shape[1] * shape[2] * shape[3], shape[2] * shape[3], shape[3], 1};
  const u64 size = (u64)get_type_len(format);
  const int after = product(shape, axis + 1, 4);
  const int outputs = split_outputs(split_sizes, split_num);
  u64 offset = 0;
  for (int i = 0; i < outputs; i++) {
    int out[4] = {shape[0], shape[1], shape[2], shape[3]};
    out[axis] = split_extent(shape[axis], split_sizes, split_num, i);
    const int dst_stride[4] = {out[1] * out[2] * out[3], out[2] * out[3], out[3], 1};
    fix_cmd_node_overflow(node);
    move_g2g(global_view(input + offset, dim4_from(out), dim4_from(src_stride), format),
             global_view(dsts[i], dim4_from(out), dim4_from(dst_stride), format), node);
    offset += size * (u64)out[axis] * (u64)after;
  }
}

void nodechip_split_tf(u64 input, const u64 *outputs, int shape_dim, int n, int c, int h, int w, int axis,
                       const int *split_sizes, int split_num, cmd_id_node_t *node) {
  ASSERT_FS(axis >= 0 && axis < 4);
  // Equal parts divide the axis by their count.
  ASSERT_FS(split_num != 1 || split_sizes[0] > 0);
  int shape[4];
  split_shape(shape_dim, n, c, h, w, shape);
  split_moves(input, shape, axis, split_sizes, split_num, GDMA_VALUE_FORMAT_FLOAT32, outputs, node);
}

void nodechip_split_tf_md(u64 input, const u64 *outputs, int shape_dim, const int *shape, int split_axis,
                          const int *split_sizes, int split_num, cmd_id_node_t *node) {
  if (split_axis < 0) split_axis += shape_dim;
  ASSERT_FS(split_axis >= 0 && split_axis < shape_dim);
  ASSERT_FS(shape_dim <= 8);
  nodechip_split_tf(input, outputs, 4, 1, product(shape, 0, split_axis), shape[split_axis],
                    product(shape, split_axis + 1, shape_dim), 2, split_sizes, split_num, node);
}

void nodechip_split_tf_fix8b(u64 input, u64 buffer, u64 buffer2, u64 *buffer_size, const int *shape, int shape_size,
                             int in_store_mode, int out_store_mode, int axis, const int *split_sizes, int split_num,
                             const u64 *outputs, cmd_id_node_t *node) {
  ASSERT(in_store_mode != FW_STORE_MODE_2N);
  ASSERT(out_store_mode != FW_STORE_MODE_2N);
  ASSERT(shape_size > 0);
  ASSERT(axis >= 0 && axis < 4);
  // Equal parts divide the axis by their count.
  ASSERT(split_num != 1 || split_sizes[0] > 0);
  const int count = split_outputs(split_sizes, split_num);
  int dims[4];
  split_shape(shape_size, shape[0], shape_size >= 2 ? shape[1] : 1, shape_size >= 3 ? shape[2] : 1,
              shape_size >= 4 ? shape[3] : 1, dims);
  const int n = dims[0];
  const int rest = dims[1] * dims[2] * dims[3];
  const int in_4n = in_store_mode == FW_STORE_MODE_4N, out_4n = out_store_mode == FW_STORE_MODE_4N;
  // A 4N input cut along the batch goes through a 1N copy in buffer.
  const int to_1n = in_4n && axis == 0;
  const int view_4n = in_4n && !to_1n;
  const int same = view_4n == out_4n;
  const u64 copy_bytes = 4u * (u64)ceil4(n) * (u64)rest;
  // The largest image of an output in the work area.
  u64 largest = 0;
  for (int i = 0; i < count; i++) {
    const int items = axis == 0 ? split_extent(n, split_sizes, split_num, i) : n;
    const u64 len =
        axis == 0 ? (u64)rest : (u64)rest / (u64)dims[axis] * (u64)split_extent(dims[axis], split_sizes, split_num, i);
    const u64 item_count = view_4n ? 4u * (u64)ceil4(items) : (u64)items;
    const u64 bytes = item_count * len;
    if (bytes > largest) largest = bytes;
  }
  if (buffer_size) {
    if (to_1n)
      *buffer_size = copy_bytes + (out_4n ? largest : 0);
    else
      *buffer_size = same ? 0 : largest;
    return;
  }
  int view[4] = {dims[0], dims[1], dims[2], dims[3]};
  gdma_value_format_t format = GDMA_VALUE_FORMAT_INT8;
  u64 src = input;
  if (to_1n) {
    gdma_move_global_1N_and_4N(buffer, input, n, rest, 0, node);
    src = buffer;
  } else if (view_4n) {
    view[0] = ceil4(n);
    format = GDMA_VALUE_FORMAT_FLOAT32;
  }
  if (same) {
    split_moves(src, view, axis, split_sizes, split_num, format, outputs, node);
    return;
  }
  // Each output through the work area, then into its own store mode.
  const u64 area = to_1n ? buffer2 : buffer;
  const u64 size = (u64)get_type_len(format);
  const int src_stride[4] = {view[1] * view[2] * view[3], view[2] * view[3], view[3], 1};
  const int after = product(view, axis + 1, 4);
  u64 offset = 0;
  for (int i = 0; i < count; i++) {
    int out[4] = {view[0], view[1], view[2], view[3]};
    out[axis] = split_extent(view[axis], split_sizes, split_num, i);
    const int dst_stride[4] = {out[1] * out[2] * out[3], out[2] * out[3], out[3], 1};
    fix_cmd_node_overflow(node);
    move_g2g(global_view(src + offset, dim4_from(out), dim4_from(src_stride), format),
             global_view(area, dim4_from(out), dim4_from(dst_stride), format), node);
    offset += size * (u64)out[axis] * (u64)after;
    const int items = axis == 0 ? out[0] : n;
    const int len = out[1] * out[2] * out[3];
    if (out_4n)
      gdma_move_global_1N_and_4N(area, outputs[i], items, len, 1, node);
    else
      gdma_move_global_1N_and_4N(outputs[i], area, items, len, 0, node);
  }
}
