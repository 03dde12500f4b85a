// Reduce over axes of 8-bit 4N tensors: max and min on the 4N words
// themselves, the other methods on a 1N copy reduced in float32 pieces.
#include <string.h>

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_view.h"
#include "layers/data/reduce.h"
#include "layers/data/transpose.h"
#include "local/compare_select.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

// Fill extents per command.
#define REDUCE_FIX8B_FILL_MAX 65535

// The keep_dims value of the last 8-bit reduce.
int need_keep_dims = 1;
// Whether the last 8-bit reduce reduced its first dimension (the batch).
int is_first_reduced = 0;

void reduce_fix8b_plan_of(reduce_fix8b_plan_t *p, const int *shape, int dims, const int *axes, int axis_num,
                          int keep_dims) {
  memset(p, 0, sizeof(*p));
  int flags[REDUCE_MAX_DIMS] = {0};
  for (int i = 0; i < axis_num; i++) flags[axes[i]] = 1;
  if (axis_num == 0)
    for (int i = 0; i < dims; i++) flags[i] = 1;
  int ext[REDUCE_MAX_DIMS], fl[REDUCE_MAX_DIMS];
  int k = 0;
  if (dims <= 4) {
    for (int i = 0; i < 4; i++) {
      ext[i] = i < dims ? shape[i] : 1;
      fl[i] = i < dims ? flags[i] : 0;
    }
    k = 4;
  } else {
    // The batch alone; then each dimension absorbs its neighbours reduced alike
    // while merges remain, the second one only up to 4095.
    int merges = dims - 4;
    ext[0] = shape[0];
    fl[0] = flags[0];
    k = 1;
    for (int i = 1; i < dims;) {
      i64 e = shape[i];
      const int f = flags[i++];
      while (i < dims && merges > 0 && flags[i] == f && (k != 1 || e * shape[i] <= 4095)) {
        e *= shape[i++];
        merges--;
      }
      ext[k] = (int)e;
      fl[k] = f;
      k++;
    }
  }
  p->merge_dim = k;
  if (k != 4) return;
  p->total = 1;
  p->kept = 1;
  int o = 0;
  for (int i = 0; i < 4; i++) {
    p->shape[i] = ext[i];
    p->reduced[i] = fl[i];
    p->total *= ext[i];
    if (!fl[i]) p->kept *= ext[i];
    if (keep_dims) p->out[i] = fl[i] ? 1 : ext[i];
    else if (!fl[i]) p->out[o++] = ext[i];
  }
  if (!keep_dims)
    while (o < 4) p->out[o++] = 1;
  const u64 per = (u64)(p->total / ext[0]);
  p->bytes4n = 4u * (u64)ceil_div(ext[0], 4) * per;
  p->bytes1n = (u64)p->total;
  p->buffer_bytes = 3u * p->bytes4n;
}

// The areas of a road in the buffer: its source copy (1N road), the
// transposed tensor, the transpose's work area and the 1N result.
typedef struct {
  u64 copy, transposed, work, result;
} reduce_fix8b_areas_t;

static reduce_fix8b_areas_t areas_of(const reduce_fix8b_plan_t *p, int native, int transposes) {
  reduce_fix8b_areas_t a;
  if (native) {
    a.copy = 0;
    a.transposed = 0;
    a.work = p->bytes4n;
    a.result = 2u * p->bytes4n;
  } else {
    const u64 area = ALIGN(p->bytes1n, 4);
    a.copy = 0;
    a.transposed = area;
    a.work = 2u * area;
    // Behind the copy, in an area nothing reads any more.
    a.result = transposes ? a.work : a.transposed;
  }
  return a;
}

static inline int min_i64(i64 a, i64 b) { return (int)(a < b ? a : b); }

// Clamps the float32 results at `local` (one per lane, cg lanes) to the 8-bit
// range after scaling them by output_scale; the store converts them.
void nodechip_local_float2int8(u32 local, int cg, u32 output_scale, int is_signed, cmd_id_node_t *node) {
  const dim4_t one = {1, cg, 1, 1};
  tensor_f32_const_prod(local, output_scale, local, &one, NULL, node);
  tensor_f32_const_max(local, f32_bits(is_signed ? -128.0f : 0.0f), local, &one, NULL, node);
  tensor_f32_const_min(local, f32_bits(is_signed ? 127.0f : 255.0f), local, &one, NULL, node);
}

// Reduces N, H and W of an N x C x H x W tensor into C results. Max and min
// (methods 2 and 3) take 4N words (N counts words; their four bytes are
// folded too when the batch is reduced, is_first_reduced) and store one word
// per channel, or only its first byte into the 1N result `buffer` when
// need_keep_dims is 0 and the batch is reduced. The other methods take bytes,
// loaded as float32 times input_scale, and store bytes: the result times
// output_scale, clamped to the 8-bit range.
void nodechip_reduce_nhw_fix8b(u64 input, u64 output, u64 buffer, int N, int C, int H, int W, int reduce_method,
                               int is_signed, u32 input_scale, u32 output_scale, cmd_id_node_t *node) {
  if ((i64)N * C * H * W == 0) return;
  const int native = reduce_method == REDUCE_MAX || reduce_method == REDUCE_MIN;
  const int fold4 = native && is_first_reduced;
  const int bytes_out = native && fold4 && !need_keep_dims;
  const gdma_value_format_t byte_format = is_signed ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
  // Native words move as 4-byte elements; 4 x N piece items must fit the
  // engine's 16-bit extent.
  const gdma_value_format_t in_format = native ? GDMA_VALUE_FORMAT_FLOAT32 : byte_format;
  const int n_cap = native ? REDUCE_FIX8B_WORD_ITEMS : REDUCE_PIECE_ELEMS;
  const u64 in_size = native ? 4u : 1u;
  const i64 chw = (i64)C * H * W, hw = (i64)H * W;
  reduce_nhw_pieces(
      N, C, H, W, n_cap,
      [&](const reduce_piece_t &p) {
        const dim4_t shape = {p.np, p.cg, p.hp, p.wp};
        const dim4_t local = {p.hp * p.wp, p.hp * p.wp, p.wp, 1};
        const dim4_t global = {(int)chw, (int)hw, W, 1};
        const u64 at = in_size * (u64)((i64)p.n0 * chw + (i64)p.c0 * hw + (i64)p.h0 * W + p.w0);
        move_g2l(global_view(input + at, dim4(p.np, p.cg, p.hp, p.wp), global, in_format),
                 local_f32(REDUCE_LOCAL_PIECE, local), node);
        if (native) {
          tensor_reduce_nhw_fix8b(REDUCE_LOCAL_PIECE, REDUCE_LOCAL_ACC, p.np, p.cg, p.hp, p.wp, fold4, reduce_method,
                                  is_signed, p.first, node);
        } else {
          tensor_f32_const_prod(REDUCE_LOCAL_PIECE, input_scale, REDUCE_LOCAL_PIECE, &shape, &local, node);
          tensor_reduce_nhw(REDUCE_LOCAL_PIECE, REDUCE_LOCAL_ACC, 4, p.np, p.cg, p.hp, p.wp, reduce_method, p.first,
                            node);
        }
        fix_cmd_node_overflow(node);
      },
      [&](int c0, int cg) {
        const dim4_t one = {1, cg, 1, 1};
        const dim4_t dense = {cg, 1, 1, 1};
        if (native) {
          if (bytes_out)
            tensor_general_save(REDUCE_LOCAL_ACC, buffer + (u64)c0, byte_format, 1, &one, NULL, &dense, node);
          else
            tensor_general_save(REDUCE_LOCAL_ACC, output + 4u * (u64)c0, GDMA_VALUE_FORMAT_FLOAT32, 1, &one, NULL,
                                &dense, node);
          return;
        }
        if (reduce_method == REDUCE_MEAN) {
          const float scale = (float)(1.0 / ((double)N * (double)H * (double)W));
          tensor_f32_const_prod(REDUCE_LOCAL_ACC, f32_bits(scale), REDUCE_LOCAL_ACC, &one, NULL, node);
        }
        nodechip_local_float2int8(REDUCE_LOCAL_ACC, cg, output_scale, is_signed, node);
        // The store converts to bytes (rounding half away from zero).
        dim4_t ls;
        get_tensor_stride_by_shape(&ls, &one, 1, 1, 4, 0);
        move_l2g(local_f32(REDUCE_LOCAL_ACC, ls),
                 global_view(output + (u64)c0, dim4(1, cg, 1, 1), dim4(cg, 1, 1, 1), byte_format), node);
      });
}

// The runs of the four dimensions (neighbours reduced alike, extents of 1
// dropped) and the N x C x W view of them, as on the float reduce's full road.
void nodechip_reduce_merge_dims_fix8b(const int *shape, const int *reduced, reduce_view_t *v) {
  int axes[4], count = 0;
  for (int i = 0; i < 4; i++)
    if (reduced[i]) axes[count++] = i;
  if (count == 0) {  // with no axis every dimension would count as reduced
    memset(v, 0, sizeof(*v));
    v->n = v->w = 1;
    v->c = (i64)shape[0] * shape[1] * shape[2] * shape[3];
    return;
  }
  reduce_view_of(v, shape, 4, axes, count);
}

// The runs of the four dimensions and, when they need one, their transpose
// into `transposed` (work area `work`); returns the view's source. Elements are
// `elem` bytes (4: the 4N words, moved as bytes with a last axis of 4).
static u64 reduce_runs_fix8b(u64 input, u64 transposed, u64 work, const int *shape, const int *reduced, int elem,
                             reduce_view_t *v, cmd_id_node_t *node) {
  nodechip_reduce_merge_dims_fix8b(shape, reduced, v);
  if (!v->transpose) return input;
  int runs[REDUCE_MAX_DIMS + 1], order[REDUCE_MAX_DIMS + 1];
  for (int i = 0; i < v->runs; i++) {
    runs[i] = (int)v->extent[i];
    order[i] = v->order[i];
  }
  int k = v->runs;
  if (elem > 1) {
    runs[k] = elem;
    order[k] = k;
    k++;
  }
  nodechip_transpose_fix8b(input, transposed, runs, order, k, FW_STORE_MODE_1N, FW_STORE_MODE_1N, work, NULL, node);
  return transposed;
}

// Max and min on the 4N words: a batch reduced with a partial last word first
// gets the neutral byte in the word's unused slots (in the input itself: they
// hold no data), then the words are reduced as elements and their four bytes
// folded. Only a reduced batch left out of the output (keep_dims 0) goes
// through the buffer, back to 4N over the output's first extent.
void nodechip_reduce_full_4n_fix8b(u64 input, u64 output, u64 buffer, const reduce_fix8b_plan_t *p,
                                   int reduce_method, int is_signed, cmd_id_node_t *node) {
  const reduce_fix8b_areas_t a = areas_of(p, 1, 0);
  const int N = p->shape[0], G = (int)ceil_div(N, 4);
  const i64 per = p->total / N;
  is_first_reduced = p->reduced[0];
  if (is_first_reduced && N % 4 != 0) {
    const u8 neutral = reduce_method == REDUCE_MAX ? (is_signed ? 0x80 : 0x00) : (is_signed ? 0x7f : 0xff);
    const int r = N % 4;
    const u64 last = input + 4u * (u64)((i64)(G - 1) * per) + (u64)r;
    for (i64 done = 0; done < per;) {
      const int h = min_i64(per - done, REDUCE_FIX8B_FILL_MAX);
      const int c = min_i64((per - done) / h, REDUCE_FIX8B_FILL_MAX);
      fill_constant_gen_global_cmd_stride(last + 4u * (u64)done, &neutral, GDMA_VALUE_FORMAT_INT8, 1, c, h, 4 - r,
                                          4 * c * h, 4 * h, 4, 1, node);
      done += (i64)c * h;
    }
  }
  const int words[4] = {G, p->shape[1], p->shape[2], p->shape[3]};
  reduce_view_t v;
  const u64 src = reduce_runs_fix8b(input, buffer + a.transposed, buffer + a.work, words, p->reduced, 4, &v, node);
  const u64 result = buffer + a.result;
  nodechip_reduce_nhw_fix8b(src, output, result, (int)v.n, (int)v.c, 1, (int)v.w, reduce_method, is_signed, 0, 0,
                            node);
  if (is_first_reduced && !need_keep_dims)
    gdma_move_global_1N_and_4N(result, output, p->out[0], (int)(p->kept / p->out[0]), 1, node);
}

// The other methods on the 1N bytes at `input` (in the buffer's first area):
// the runs, transposed when they need it, then N, H and W reduced into the 1N
// result `output`.
void nodechip_reduce_full_1n_fix8b(u64 input, u64 output, u64 buffer, const reduce_fix8b_plan_t *p,
                                   int reduce_method, int is_signed, u32 input_scale, u32 output_scale,
                                   cmd_id_node_t *node) {
  const reduce_fix8b_areas_t a = areas_of(p, 0, 0);
  reduce_view_t v;
  const u64 src = reduce_runs_fix8b(input, buffer + a.transposed, buffer + a.work, p->shape, p->reduced, 1, &v, node);
  nodechip_reduce_nhw_fix8b(src, output, 0, (int)v.n, (int)v.c, 1, (int)v.w, reduce_method, is_signed, input_scale,
                            output_scale, node);
}

// The 4-D body: the store mode's check, then one of the two roads.
static void nodechip_reduce_full_dim4_fix8b(u64 input, u64 output, u64 buffer, const reduce_fix8b_plan_t *p,
                                            int reduce_method, int is_signed, int store_mode, u32 input_scale,
                                            u32 output_scale, cmd_id_node_t *node) {
  ASSERT(store_mode == FW_STORE_MODE_4N);
  ASSERT(p->bytes4n <= 0x7fffffff, "%d x %d x %d x %d elements", p->shape[0], p->shape[1], p->shape[2],
         p->shape[3]);
  if (reduce_method == REDUCE_MAX || reduce_method == REDUCE_MIN) {
    nodechip_reduce_full_4n_fix8b(input, output, buffer, p, reduce_method, is_signed, node);
    return;
  }
  is_first_reduced = p->reduced[0];
  const int N = p->shape[0];
  reduce_view_t v;
  nodechip_reduce_merge_dims_fix8b(p->shape, p->reduced, &v);
  const reduce_fix8b_areas_t a = areas_of(p, 0, v.transpose);
  gdma_move_global_1N_and_4N(buffer + a.copy, input, N, (int)(p->total / N), 0, node);
  nodechip_reduce_full_1n_fix8b(buffer + a.copy, buffer + a.result, buffer, p, reduce_method, is_signed, input_scale,
                                output_scale, node);
  gdma_move_global_1N_and_4N(buffer + a.result, output, p->out[0], (int)(p->kept / p->out[0]), 1, node);
}

void nodechip_reduce_full_fix8b(u64 input, u64 output, u64 buffer, const int *shape, int input_dims, const int *axes,
                                int axis_num, int reduce_method, int keep_dims, int is_signed, int store_mode,
                                u32 input_scale, u32 output_scale, cmd_id_node_t *node) {
  ASSERT_FS(input_dims <= 8);
  ASSERT(input_dims >= 1 && axis_num >= 0 && axis_num <= input_dims);
  for (int i = 0; i < axis_num; i++) ASSERT(axes[i] >= 0 && axes[i] < input_dims, "axis %d of %d", axes[i], input_dims);
  for (int i = 0; i < input_dims; i++) ASSERT(shape[i] > 0, "extent %d of axis %d", shape[i], i);
  // Any other code would leave the output unreduced.
  ASSERT(reduce_method >= 0 && reduce_method <= 4, "reduce_method=%d", reduce_method);
  need_keep_dims = keep_dims;
  reduce_fix8b_plan_t p;
  reduce_fix8b_plan_of(&p, shape, input_dims, axes, axis_num, keep_dims);
  const int merge_dim = p.merge_dim;
  ASSERT_FS(merge_dim == 4);
  nodechip_reduce_full_dim4_fix8b(input, output, buffer, &p, reduce_method, is_signed, store_mode, input_scale,
                                  output_scale, node);
}
