// Strided slice and unfold of tensors in device memory.
#include "layers/data/stride_slice.h"

#include "cmd/tensor_view.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "cmd/local_mem.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"
#include "layers/data/transpose.h"

// 4N groups of n items.
static inline int ceil4(int n) { return (int)ceil_div(n, 4); }

// The output extent of a range with a positive step, rounded up.
static int steps_in(int begin, int end, int stride) {
  const double q = (double)(end - begin) / (double)stride;
  int o = (int)q;
  if ((double)o < q) o++;
  return o;
}

// The strided moves of a slice of four axes (n, c, h, w) of `size`-byte
// elements; dims gives the number of axes sliced (the rest have one element
// each). Issues nothing when an output extent is 0.
static void slice_moves(u64 input, u64 output, int dims, const int *shape, const int *b, const int *o, const int *s,
                        int last_run, gdma_value_format_t format, cmd_id_node_t *node) {
  const u64 size = (u64)get_type_len(format);
  const int n = shape[0], c = shape[1], h = shape[2], w = shape[3];
  (void)n;
  int move[4] = {1, 1, 1, 1}, src[4] = {1, 1, 1, 1}, dst[4];
  u64 base = 0;
  if (dims == 4) {
    base = (((u64)b[0] * (u64)c + (u64)b[1]) * (u64)h + (u64)b[2]) * (u64)w + (u64)b[3];
    if (s[3] == 1) {
      if (o[0] == 0 || o[1] == 0 || o[2] == 0 || last_run == 0) return;
      const int m[4] = {o[0], o[1], o[2], last_run};
      const int ss[4] = {s[0] * c * h * w, s[1] * h * w, s[2] * w, 1};
      const int ds[4] = {o[1] * o[2] * last_run, o[2] * last_run, last_run, 1};
      move_g2g(global_view(input + size * base, dim4_from(m), dim4_from(ss), format),
               global_view(output, dim4_from(m), dim4_from(ds), format), node);
      return;
    }
    if (o[0] == 0 || o[1] == 0 || o[2] == 0 || o[3] == 0) return;
    // The strided w axis rides in the move's h position.
    for (int k = 0; k < o[0]; k++) {
      fix_cmd_node_overflow(node);
      const u64 from = base + (u64)k * (u64)s[0] * (u64)c * (u64)h * (u64)w;
      const u64 to = (u64)k * (u64)o[1] * (u64)o[2] * (u64)o[3];
      const dim4_t item = dim4(o[1], o[2], o[3], 1);
      move_g2g(global_view(input + size * from, item, dim4(s[1] * h * w, s[2] * w, s[3], 1), format),
               global_view(output + size * to, item, dim4(o[2] * o[3], o[3], 1, 1), format), node);
    }
    return;
  }
  for (int i = 0; i < dims; i++)
    if (o[i] == 0) return;
  if (dims == 3) {
    base = ((u64)b[0] * (u64)c + (u64)b[1]) * (u64)h + (u64)b[2];
    move[0] = o[0], move[1] = o[1], move[2] = o[2];
    src[0] = s[0] * c * h, src[1] = s[1] * h, src[2] = s[2];
  } else if (dims == 2) {
    base = (u64)b[0] * (u64)c + (u64)b[1];
    move[0] = o[0], move[1] = o[1];
    src[0] = s[0] * c, src[1] = s[1];
  } else {
    base = (u64)b[0];
    move[0] = o[0];
    src[0] = s[0];
  }
  dst[0] = move[1] * move[2], dst[1] = move[2], dst[2] = 1, dst[3] = 1;
  move_g2g(global_view(input + size * base, dim4_from(move), dim4_from(src), format),
           global_view(output, dim4_from(move), dim4_from(dst), format), node);
}

void nodechip_stride_slice_v2(u64 input, u64 output, int shape_size, int n, int c, int h, int w, int begin_mask,
                              int end_mask, const int *begin, const int *end, const int *stride, int *output_shape,
                              cmd_id_node_t *node) {
  for (int i = 0; i < shape_size && i < 4; i++) ASSERT_FS(stride[i] > 0);
  ASSERT_FS(shape_size >=1 && shape_size <=4);
  const int shape[4] = {n, c, h, w};
  int b[4] = {0, 0, 0, 0}, o[4] = {1, 1, 1, 1}, s[4] = {1, 1, 1, 1};
  int last_run = 1;
  for (int i = 0; i < shape_size; i++) {
    const int d = shape[i];
    int bi = (begin_mask >> i) & 1 ? 0 : begin[i];
    if (bi < 0) bi += d;
    int ei = (end_mask >> i) & 1 ? d : end[i];
    if (ei < 0) ei += d;
    {
      const int begin = bi, end = ei;
      ASSERT_FS((end - begin) >= 0);
    }
    b[i] = bi;
    s[i] = stride[i];
    o[i] = steps_in(bi, ei, stride[i]);
    if (i == 3) last_run = ei - bi;
  }
  if (output_shape) {
    for (int i = 0; i < 4; i++) output_shape[i] = o[i];
    if (shape_size == 4 && s[3] == 1) output_shape[3] = last_run;
  }
  slice_moves(input, output, shape_size, shape, b, o, s, last_run, GDMA_VALUE_FORMAT_FLOAT32, node);
}

void nodechip_stride_slice(u64 input, u64 output, int shape_size, int n, int c, int h, int w, int begin_mask,
                           int end_mask, const int *begin, const int *end, const int *stride, cmd_id_node_t *node) {
  nodechip_stride_slice_v2(input, output, shape_size, n, c, h, w, begin_mask, end_mask, begin, end, stride, nullptr,
                           node);
}

void nodechip_stride_slice_md(u64 input, u64 output, const int *shape, int shape_size, int begin_mask, int end_mask,
                              const int *begin, const int *end, const int *stride, cmd_id_node_t *node) {
  ASSERT_FS(shape_size <= 8);
  if (shape_size <= 4) {
    int s4[4] = {1, 1, 1, 1};
    for (int i = 0; i < shape_size; i++) s4[i] = shape[i];
    nodechip_stride_slice_v2(input, output, shape_size, s4[0], s4[1], s4[2], s4[3], begin_mask, end_mask, begin, end,
                             stride, nullptr, node);
    return;
  }
  const int lead = shape_size - 4;
  int b[4], o[4];
  for (int i = 0; i < lead; i++) {
    // The extent divides by the step.
    ASSERT_FS(stride[i] > 0);
    b[i] = (begin_mask >> (shape_size - 1 - i)) & 1 ? 0 : begin[i];
    const int e = (end_mask >> (shape_size - 1 - i)) & 1 ? shape[i] : end[i];
    o[i] = (e - b[i] + stride[i] - 1) / stride[i];
    if (o[i] <= 0) return;
  }
  const int *in = shape + lead;
  const u64 inner_bytes = 4u * (u64)in[0] * (u64)in[1] * (u64)in[2] * (u64)in[3];
  int k[4] = {0, 0, 0, 0};
  u64 out = output;
  for (;;) {
    u64 block = 0;
    for (int i = 0; i < lead; i++) block = block * (u64)shape[i] + (u64)(b[i] + k[i] * stride[i]);
    int got[4];
    nodechip_stride_slice_v2(input + inner_bytes * block, out, 4, in[0], in[1], in[2], in[3], begin_mask, end_mask,
                             begin + lead, end + lead, stride + lead, got, node);
    out += 4u * (u64)got[0] * (u64)got[1] * (u64)got[2] * (u64)got[3];
    int i = lead;
    while (i > 0) {
      if (++k[i - 1] < o[i - 1]) break;
      k[--i] = 0;
    }
    if (i == 0) return;
  }
}

void nodechip_stride_slice_fix8b(u64 input, u64 output, u64 buffer, u64 buffer2, u64 *buffer_size, const int *shape,
                                 int shape_size, int in_store_mode, int out_store_mode, int begin_mask, int end_mask,
                                 const int *begin, const int *end, const int *stride, cmd_id_node_t *node) {
  ASSERT(in_store_mode != FW_STORE_MODE_2N);
  ASSERT(out_store_mode != FW_STORE_MODE_2N);
  // The arrays are padded to four axes: more would be read past their end.
  ASSERT_FS(shape_size >=1 && shape_size <=4);
  int s4[4] = {1, 1, 1, 1}, b4[4] = {0, 0, 0, 0}, e4[4] = {1, 1, 1, 1}, t4[4] = {1, 1, 1, 1};
  for (int i = 0; i < shape_size; i++) s4[i] = shape[i], b4[i] = begin[i], e4[i] = end[i], t4[i] = stride[i];
  if (buffer_size) {
    int o[4];
    for (int i = 0; i < 4; i++) {
      // As the slice computes them: the step divides, so it must be positive.
      ASSERT_FS(t4[i] > 0);
      const int bi = (begin_mask >> i) & 1 ? 0 : b4[i];
      const int ei = (end_mask >> i) & 1 ? s4[i] : e4[i];
      o[i] = steps_in(bi, ei, t4[i]);
    }
    const int in_4n = in_store_mode == FW_STORE_MODE_4N, out_4n = out_store_mode == FW_STORE_MODE_4N;
    const u64 out_bytes = (u64)(in_4n ? 4 * (i64)ceil4(o[0]) : o[0]) * (u64)o[1] * (u64)o[2] * (u64)o[3];
    if (in_4n && o[0] != s4[0])
      *buffer_size = 4u * (u64)ceil4(s4[0]) * (u64)s4[1] * (u64)s4[2] * (u64)s4[3] + (out_4n ? out_bytes : 0);
    else
      *buffer_size = in_store_mode != out_store_mode ? out_bytes : 0;
    return;
  }
  nodechip_stride_slice_v2_fix8b(input, output, buffer, buffer2, 4, in_store_mode, out_store_mode, s4[0], s4[1],
                                 s4[2], s4[3], begin_mask, end_mask, b4, e4, t4, node);
}

void nodechip_stride_slice_v2_fix8b(u64 input, u64 output, u64 buffer, u64 buffer2, int shape_size,
                                    int in_store_mode, int out_store_mode, int n, int c, int h, int w,
                                    int begin_mask, int end_mask, const int *begin, const int *end,
                                    const int *stride, cmd_id_node_t *node) {
  ASSERT_FS(shape_size >=1 && shape_size <=4);
  if (shape_size != 4) ASSERT_FS(0);
  const int shape[4] = {n, c, h, w};
  int b[4], o[4], s[4];
  int last_run = 1;
  for (int i = 0; i < 4; i++) {
    // The step divides the range: a zero or negative one has no extent.
    ASSERT_FS(stride[i] > 0);
    b[i] = (begin_mask >> i) & 1 ? 0 : begin[i];
    const int e = (end_mask >> i) & 1 ? shape[i] : end[i];
    s[i] = stride[i];
    o[i] = steps_in(b[i], e, s[i]);
    if (i == 3) last_run = e - b[i];
    if (o[i] <= 0) return;
  }
  const int in_4n = in_store_mode == FW_STORE_MODE_4N, out_4n = out_store_mode == FW_STORE_MODE_4N;
  const int convert = in_4n && o[0] != n;
  const int rest = o[1] * o[2] * o[3];
  if (convert) {
    gdma_move_global_1N_and_4N(buffer, input, n, c * h * w, 0, node);
    const u64 to = out_4n ? buffer2 : output;
    slice_moves(buffer, to, 4, shape, b, o, s, last_run, GDMA_VALUE_FORMAT_INT8, node);
    if (out_4n) gdma_move_global_1N_and_4N(buffer2, output, o[0], rest, 1, node);
    return;
  }
  const int same = in_4n == out_4n;
  const u64 to = same ? output : buffer;
  if (in_4n) {
    // The batch is whole: groups of four items move as words.
    const int groups[4] = {ceil4(n), c, h, w};
    int og[4] = {ceil4(o[0]), o[1], o[2], o[3]};
    int bg[4] = {b[0] / 4, b[1], b[2], b[3]};
    slice_moves(input, to, 4, groups, bg, og, s, last_run, GDMA_VALUE_FORMAT_FLOAT32, node);
  } else {
    slice_moves(input, to, 4, shape, b, o, s, last_run, GDMA_VALUE_FORMAT_INT8, node);
  }
  if (same) return;
  if (out_4n)
    gdma_move_global_1N_and_4N(buffer, output, o[0], rest, 1, node);
  else
    gdma_move_global_1N_and_4N(output, buffer, o[0], rest, 0, node);
}

// ---- Unfold ----

// Slices the K windows one after another into dst, with the input's shape
// folded to at most three axes around the unfold axis (the axis second, or
// first when it is axis 0).
static void s_slice_n_stack_v2(u64 input, int input_rank, const int *input_shape, int unfold_axis, int unfold_size,
                               int unfold_step, int windows, u64 dst, cmd_id_node_t *node) {
  int new_shape[3];
  int dims, axis;
  int before = 1, after = 1;
  for (int i = 0; i < unfold_axis; i++) before *= input_shape[i];
  for (int i = unfold_axis + 1; i < input_rank; i++) after *= input_shape[i];
  if (input_rank <= 2) {
    dims = input_rank;
    axis = unfold_axis;
    for (int i = 0; i < input_rank; i++) new_shape[i] = input_shape[i];
  } else if (unfold_axis == input_rank - 1) {
    dims = 2, axis = 1;
    new_shape[0] = before, new_shape[1] = input_shape[unfold_axis];
    ASSERT_FS(new_shape[0] <= 65535);
  } else if (unfold_axis == 0) {
    dims = 2, axis = 0;
    new_shape[0] = input_shape[0], new_shape[1] = after;
    ASSERT_FS(new_shape[1] <= 65535);
  } else {
    dims = 3, axis = 1;
    new_shape[0] = before, new_shape[1] = input_shape[unfold_axis], new_shape[2] = after;
    ASSERT_FS(new_shape[0] <= 65535);
    ASSERT_FS(new_shape[2] <= 65535);
  }
  int begin[3] = {0, 0, 0}, end[3] = {0, 0, 0};
  const int stride[3] = {1, 1, 1};
  const int mask = 0xff & ~(1 << axis);
  int window = 1;
  for (int i = 0; i < dims; i++) window *= i == axis ? unfold_size : new_shape[i];
  for (int k = 0; k < windows; k++) {
    fix_cmd_node_overflow(node);
    begin[axis] = k * unfold_step;
    end[axis] = k * unfold_step + unfold_size;
    nodechip_stride_slice_md(input, dst + 4u * (u64)k * (u64)window, new_shape, dims, mask, mask, begin, end, stride,
                             node);
  }
}

void nodechip_unfold(u64 input, int input_rank, const int *input_shape, int unfold_axis, int unfold_size,
                     int unfold_step, u64 buffer, u64 *buffer_size, u64 output, cmd_id_node_t *node) {
  ASSERT_FS(input_rank > 0 && input_rank <= (8 - 1));
  ASSERT_FS(unfold_axis >= 0 && unfold_axis < input_rank);
  ASSERT_FS(unfold_size <= input_shape[unfold_axis]);
  ASSERT_FS(unfold_step > 0);
  for (int i = 0; i < input_rank; i++) ASSERT_FS(input_shape[i] <= 65535);
  // Extents are multiplied below: each positive, the products within an int.
  for (int i = 0; i < input_rank; i++) ASSERT_FS(input_shape[i] > 0);
  ASSERT_FS(unfold_size > 0);
  const int windows = (input_shape[unfold_axis] - unfold_size) / unfold_step + 1;
  i64 before = 1, after = 1;
  for (int i = 0; i < unfold_axis; i++) {
    before *= input_shape[i];
    ASSERT_FS(before <= 0x7fffffff);
  }
  for (int i = unfold_axis + 1; i < input_rank; i++) {
    after *= input_shape[i];
    ASSERT_FS(after <= 0x7fffffff);
  }
  // The input's element count within an int bounds the output's below 2^47.
  ASSERT_FS(before * after <= 0x7fffffff / input_shape[unfold_axis]);
  const i64 output_elems = before * (i64)windows * after * (i64)unfold_size;
  if (buffer_size) {
    *buffer_size = input_rank == 1 ? 0 : 8u * (u64)output_elems;
    return;
  }
  if (input_rank == 1) {
    s_slice_n_stack_v2(input, input_rank, input_shape, unfold_axis, unfold_size, unfold_step, windows, output, node);
    return;
  }
  s_slice_n_stack_v2(input, input_rank, input_shape, unfold_axis, unfold_size, unfold_step, windows, buffer, node);
  // The windows lie as (K, P, size, Q); the output is (P, K, Q, size).
  int view[4] = {windows, (int)before, unfold_size, (int)after};
  int order[4] = {1, 0, 3, 2};
  int dims = 4;
  if (unfold_axis == input_rank - 1) {
    view[3] = 1;
    order[0] = 1, order[1] = 0, order[2] = 2;
    dims = 3;
  } else if (unfold_axis == 0) {
    view[1] = unfold_size, view[2] = (int)after, view[3] = 1;
    order[0] = 0, order[1] = 2, order[2] = 1;
    dims = 3;
  }
  {
    const i64 new_shape[4] = {view[0], view[1], view[2], view[3]};
    ASSERT_FS(new_shape[0] * new_shape[1] * new_shape[2] * new_shape[3] == output_elems);
  }
  nodechip_transpose(buffer, output, view, order, dims, 4, FW_STORE_MODE_1N, buffer + 4u * (u64)output_elems, nullptr,
                     node);
}
