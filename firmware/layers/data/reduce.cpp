// Segment reduce and cumulative sum of float32 tensors in device memory.
#include "layers/data/reduce.h"

#include <float.h>
#include <string.h>

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_ops.h"
#include "layers/data/transpose.h"
#include "local/compare_select.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"


static u32 f32_bits(float f) {
  u32 u;
  memcpy(&u, &f, 4);
  return u;
}

// ---- Cumulative sum ----

void cumsum_plan_of(cumsum_plan_t *plan, int dim, int N, int C, int H, int W) {
  const i64 n = N, c = C, h = H, w = W;
  memset(plan, 0, sizeof(*plan));
  plan->global = {(int)(c * h * w), (int)(h * w), W, 1};
  switch (dim) {
    case 0:  // one batch item
      plan->shape = {1, C, H, W};
      plan->bytes = ceil_div(c, NPU_NUM) * align_up(h * w, EU_NUM) * 4;
      plan->step = c * h * w;
      plan->count = n;
      break;
    case 1:  // one channel, the batch across the lanes
      plan->shape = {1, N, H, W};
      plan->global.c = (int)(c * h * w);
      plan->bytes = align_up(h * w, EU_NUM) * 4 * ceil_div(n, NPU_NUM);
      plan->step = h * w;
      plan->count = c;
      break;
    case 2:  // one row
      plan->shape = {N, C, 1, W};
      plan->bytes = align_up(w, EU_NUM) * 4 * ceil_div(c, NPU_NUM) * n;
      plan->step = w;
      plan->count = h;
      break;
    case 3:  // one column
      plan->shape = {N, C, H, 1};
      plan->bytes = align_up(h, EU_NUM) * 4 * ceil_div(c, NPU_NUM) * n;
      plan->step = 1;
      plan->count = w;
      break;
    default:
      break;
  }
}

void nodechip_cumsum(u64 input, u64 output, int dim, int N, int C, int H, int W, cmd_id_node_t *node) {
  ASSERT_FS(N >= 0 && C >= 0 && H >= 0 && W >= 0);
  if (dim < 0 || dim > 3) ASSERT_FS(0);
  if ((i64)N * C * H * W == 0) return;
  cumsum_plan_t p;
  cumsum_plan_of(&p, dim, N, C, H, W);
  const i64 dim_size = p.count, tensor_size = p.bytes;
  ASSERT_FS(dim_size * tensor_size <= (1 << 19));
  for (i64 i = 0; i < p.count; i++)
    tensor_general_load((u32)(i * p.bytes), input + 4u * (u64)(i * p.step), GDMA_VALUE_FORMAT_FLOAT32, 1,
                        &p.shape, NULL, &p.global, node);
  tensor_general_save(0, output, GDMA_VALUE_FORMAT_FLOAT32, 1, &p.shape, NULL, &p.global, node);
  for (i64 i = 0; i + 1 < p.count; i++) {
    const u32 prev = (u32)(i * p.bytes), cur = (u32)((i + 1) * p.bytes);
    tensor_f32_aligned_add(cur, prev, cur, &p.shape, NULL, node);
    tensor_general_save(cur, output + 4u * (u64)((i + 1) * p.step), GDMA_VALUE_FORMAT_FLOAT32, 1, &p.shape,
                        NULL, &p.global, node);
  }
}

// ---- Segment reduce ----

typedef void (*segment_combine_t)(u32 A, u32 B, u32 R, const dim4_t *shape, const dim4_t *stride,
                                  cmd_id_node_t *node);

typedef struct {
  int flag;
  float initial;
  segment_combine_t combine;
  int mean;  // the result is divided by the count of rows used (2 or more)
} segment_context_t;

static const segment_context_t segment_contexts[] = {
    {3, -FLT_MAX, tensor_f32_max, 0}, {4, FLT_MAX, tensor_f32_min, 0}, {0, 0.0f, tensor_f32_add, 0},
    {1, 1.0f, tensor_f32_prod, 0},    {2, 0.0f, tensor_f32_add, 1},    {5, 0.0f, tensor_f32_max, 0},
    {6, 0.0f, tensor_f32_min, 0},
};

segment_piece_t segment_piece_of(i64 remaining) {
  segment_piece_t p;
  p.w = (int)(remaining < SEGMENT_LANE_ELEMS ? remaining : SEGMENT_LANE_ELEMS);
  const i64 lanes = remaining / p.w;
  p.lanes = (int)(lanes < NPU_NUM ? lanes : NPU_NUM);
  return p;
}

void nodechip_segment_reduce(u64 input, u64 output, const int *segment_ids, int input_rows, int segment_num,
                             i64 row_len, int segment_reduce_flag, cmd_id_node_t *node) {
  const segment_context_t *ctx = NULL;
  for (const segment_context_t &c : segment_contexts)
    if (c.flag == segment_reduce_flag) ctx = &c;
  ASSERT_FS(ctx != NULL, "segment_reduce_flag=%d is not supported!\n", segment_reduce_flag);
  // A negative row length (a sign-extended record field) would name a row
  // reaching past the end of device memory.
  ASSERT_FS(row_len >= 0 && input_rows >= 0 && segment_num >= 0);
  const float initial = ctx->initial;
  for (int s = 0; s < segment_num; s++) {
    for (i64 done = 0; done < row_len;) {
      const segment_piece_t piece = segment_piece_of(row_len - done);
      const dim4_t shape = {1, piece.lanes, 1, piece.w};
      const dim4_t global = {piece.lanes * piece.w, piece.w, piece.w, 1};
      u32 acc = SEGMENT_LOCAL_ACC, other = SEGMENT_LOCAL_RES;
      fix_cmd_node_overflow(node);
      tensor_f32_const_assign(acc, f32_bits(initial), &shape, NULL, node);
      int used = 0;
      for (int i = 0; i < input_rows; i++) {
        if (segment_ids[i] != s) continue;
        fix_cmd_node_overflow(node);
        const u64 src = input + 4u * (u64)((i64)i * row_len + done);
        if (used == 0) {
          tensor_general_load(acc, src, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &global, node);
        } else {
          tensor_general_load(SEGMENT_LOCAL_ROW, src, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &global, node);
          ctx->combine(acc, SEGMENT_LOCAL_ROW, other, &shape, NULL, node);
          const u32 t = acc;
          acc = other;
          other = t;
        }
        used++;
      }
      if (ctx->mean && used >= 2) {
        const float scale = (float)(1.0 / (double)used);
        tensor_f32_const_prod(acc, f32_bits(scale), other, &shape, NULL, node);
        acc = other;
      }
      tensor_general_save(acc, output + 4u * (u64)((i64)s * row_len + done), GDMA_VALUE_FORMAT_FLOAT32, 1,
                          &shape, NULL, &global, node);
      done += (i64)piece.lanes * piece.w;
    }
  }
}

// ---- Reduce over axes ----

void reduce_view_of(reduce_view_t *v, const int *shape, int dims, const int *axes, int axis_num) {
  int is_axis[REDUCE_MAX_DIMS] = {0};
  for (int i = 0; i < axis_num; i++) is_axis[axes[i]] = 1;
  v->runs = 0;
  for (int i = 0; i < dims; i++) {
    if (shape[i] == 1) continue;
    const int r = is_axis[i];
    if (v->runs > 0 && v->reduced[v->runs - 1] == r) {
      v->extent[v->runs - 1] *= shape[i];
    } else {
      v->extent[v->runs] = shape[i];
      v->reduced[v->runs] = r;
      v->runs++;
    }
  }
  v->transpose = 0;
  v->n = v->c = v->w = 1;
  for (int i = 0; i < v->runs; i++) v->order[i] = i;
  const int k = v->runs;
  const int first_reduced = k > 0 && v->reduced[0];
  // Patterns that already read as N x C x W.
  if (k == 1 && first_reduced) {
    v->w = v->extent[0];
    return;
  }
  if (k <= 1 || (k == 2) || (k == 3 && first_reduced)) {
    int at = 0;
    if (k > 0 && first_reduced) v->n = v->extent[at++];
    if (at < k && !v->reduced[at]) v->c = v->extent[at++];
    if (at < k) v->w = v->extent[at++];
    return;
  }
  v->transpose = 1;
  int o = 0;
  if (first_reduced) v->order[o++] = 0;
  for (int i = 0; i < k; i++)
    if (!v->reduced[i]) v->order[o++] = i;
  for (int i = first_reduced; i < k; i++)
    if (v->reduced[i]) v->order[o++] = i;
  if (first_reduced) v->n = v->extent[0];
  for (int i = 0; i < k; i++) {
    if (!v->reduced[i]) v->c *= v->extent[i];
    else if (i > 0 || !first_reduced) v->w *= v->extent[i];
  }
}

static inline int min_i64(i64 a, i64 b) { return (int)(a < b ? a : b); }

void nodechip_reduce_nhw(u64 input, u64 output, int N, int C, int H, int W, int reduce_method, cmd_id_node_t *node) {
  if ((i64)N * C * H * W == 0) return;
  const i64 chw = (i64)C * H * W, hw = (i64)H * W;
  for (int c0 = 0; c0 < C; c0 += NPU_NUM) {
    const int cg = min_i64(NPU_NUM, C - c0);
    int first = 1;
    for (int w0 = 0; w0 < W; w0 += REDUCE_W_PIECE) {
      const int wp = min_i64(REDUCE_W_PIECE, W - w0);
      const int hmax = REDUCE_PIECE_ELEMS / wp;
      for (int h0 = 0; h0 < H; h0 += hmax) {
        const int hp = min_i64(hmax, H - h0);
        const int nmax = (REDUCE_PIECE_ELEMS / wp) / hp;
        for (int n0 = 0; n0 < N; n0 += nmax) {
          const int np = min_i64(nmax, N - n0);
          // Compact in each lane: the piece's items one after another.
          const dim4_t shape = {np, cg, hp, wp};
          const dim4_t local = {hp * wp, hp * wp, wp, 1};
          const dim4_t global = {(int)chw, (int)hw, W, 1};
          const u64 at = 4u * (u64)((i64)n0 * chw + (i64)c0 * hw + (i64)h0 * W + w0);
          tensor_general_load(REDUCE_LOCAL_PIECE, input + at, GDMA_VALUE_FORMAT_FLOAT32, 0, &shape, &local, &global,
                              node);
          tensor_reduce_nhw(REDUCE_LOCAL_PIECE, REDUCE_LOCAL_ACC, 4, np, cg, hp, wp, reduce_method, first, node);
          first = 0;
          fix_cmd_node_overflow(node);
        }
      }
    }
    const dim4_t one = {1, cg, 1, 1};
    if (reduce_method == 0) {
      const float scale = (float)(1.0 / ((double)N * (double)H * (double)W));
      tensor_f32_const_aligned_mul(REDUCE_LOCAL_ACC, f32_bits(scale), REDUCE_LOCAL_ACC, &one, NULL, node);
    }
    const dim4_t dense = {cg, 1, 1, 1};
    tensor_general_save(REDUCE_LOCAL_ACC, output + 4u * (u64)c0, GDMA_VALUE_FORMAT_FLOAT32, 1, &one, NULL, &dense,
                        node);
  }
}

void nodechip_reduce_full_v2(u64 input, u64 output, const int *shape, int dims, const int *axes, int axis_num,
                             int reduce_method, u64 buffer, cmd_id_node_t *node) {
  ASSERT(dims >= 1 && dims <= REDUCE_MAX_DIMS);
  ASSERT(axis_num >= 0 && axis_num <= REDUCE_MAX_DIMS);
  for (int i = 0; i < axis_num; i++) ASSERT(axes[i] >= 0 && axes[i] < dims, "axis %d of %d", axes[i], dims);
  // Any other code would leave the output unreduced.
  ASSERT(reduce_method >= 0 && reduce_method <= 4, "reduce_method=%d", reduce_method);
  i64 total = 1;
  for (int i = 0; i < dims; i++) {
    ASSERT(shape[i] >= 0);
    total *= shape[i];
  }
  if (total == 0) return;
  reduce_view_t v;
  reduce_view_of(&v, shape, dims, axes, axis_num);
  int any_reduced = 0;
  for (int i = 0; i < v.runs; i++) any_reduced |= v.reduced[i];
  if (!any_reduced) {
    if (input != output)
      for (i64 done = 0; done < total; done += 0x40000000)
        general_gdma_gen_cmd(input + 4u * (u64)done, output + 4u * (u64)done, GDMA_VALUE_FORMAT_FLOAT32,
                             min_i64(0x40000000, total - done), GDMA_VALUE_DIR_S2S, node);
    return;
  }
  ASSERT(v.n <= 0x7fffffff && v.c <= 0x7fffffff && v.w <= 0x7fffffff);
  u64 src = input;
  if (v.transpose) {
    int runs[REDUCE_MAX_DIMS];
    for (int i = 0; i < v.runs; i++) {
      ASSERT(v.extent[i] <= 0x7fffffff);
      runs[i] = (int)v.extent[i];
    }
    nodechip_transpose(input, buffer, runs, v.order, v.runs, 4, FW_STORE_MODE_1N, buffer + 4u * (u64)total, NULL,
                       node);
    src = buffer;
  }
  nodechip_reduce_nhw(src, output, (int)v.n, (int)v.c, 1, (int)v.w, reduce_method, node);
}
