// Segment reduce and cumulative sum of float32 tensors in device memory.
#include "layers/data/reduce.h"

#include <float.h>
#include <string.h>

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_slice.h"
#include "layers/data/transpose.h"
#include "local/compare_select.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"



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

// ---- Reduce over axes: the full road ----

void nodechip_reduce_merge_dims(const int *shape, int dims, const int *axes, int axis_num, i64 *runs,
                                int *run_num) {
  i64 ext[REDUCE_MAX_DIMS];
  for (int i = 0; i < dims; i++) ext[i] = shape[i];
  // Reduced extents are negated; with no axes the whole tensor is one reduced run.
  for (int i = 0; i < axis_num; i++) ext[axes[i]] = -(i64)shape[axes[i]];
  if (axis_num == 0)
    for (int i = 0; i < dims; i++) ext[i] = -ext[i];
  int k = 0;
  for (int i = 0; i < dims; i++) {
    if (ext[i] == 1 || ext[i] == -1) continue;
    if (k > 0 && (runs[k - 1] < 0) == (ext[i] < 0)) runs[k - 1] *= ext[i] < 0 ? -ext[i] : ext[i];
    else runs[k++] = ext[i];
  }
  *run_num = k;
}

void reduce_view_of(reduce_view_t *v, const int *shape, int dims, const int *axes, int axis_num) {
  i64 runs[REDUCE_MAX_DIMS];
  nodechip_reduce_merge_dims(shape, dims, axes, axis_num, runs, &v->runs);
  for (int i = 0; i < v->runs; i++) {
    v->reduced[i] = runs[i] < 0;
    v->extent[i] = runs[i] < 0 ? -runs[i] : runs[i];
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
  reduce_nhw_pieces(
      N, C, H, W, REDUCE_PIECE_ELEMS,
      [&](const reduce_piece_t &p) {
        // Compact in each lane: the piece's items one after another.
        const dim4_t shape = {p.np, p.cg, p.hp, p.wp};
        const dim4_t local = {p.hp * p.wp, p.hp * p.wp, p.wp, 1};
        const dim4_t global = {(int)chw, (int)hw, W, 1};
        const u64 at = 4u * (u64)((i64)p.n0 * chw + (i64)p.c0 * hw + (i64)p.h0 * W + p.w0);
        tensor_general_load(REDUCE_LOCAL_PIECE, input + at, GDMA_VALUE_FORMAT_FLOAT32, 0, &shape, &local, &global,
                            node);
        tensor_reduce_nhw(REDUCE_LOCAL_PIECE, REDUCE_LOCAL_ACC, 4, p.np, p.cg, p.hp, p.wp, reduce_method, p.first,
                          node);
        fix_cmd_node_overflow(node);
      },
      [&](int c0, int cg) {
        const dim4_t one = {1, cg, 1, 1};
        if (reduce_method == 0) {
          const float scale = (float)(1.0 / ((double)N * (double)H * (double)W));
          tensor_f32_const_aligned_mul(REDUCE_LOCAL_ACC, f32_bits(scale), REDUCE_LOCAL_ACC, &one, NULL, node);
        }
        const dim4_t dense = {cg, 1, 1, 1};
        tensor_general_save(REDUCE_LOCAL_ACC, output + 4u * (u64)c0, GDMA_VALUE_FORMAT_FLOAT32, 1, &one, NULL,
                            &dense, node);
      });
}

void nodechip_reduce_full(u64 input, u64 output, const int *shape, int dims, const int *axes, int axis_num,
                          int reduce_method, u64 buffer, cmd_id_node_t *node) {
  i64 total = 1;
  for (int i = 0; i < dims; i++) total *= shape[i];
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
    // The transposed tensor fills the buffer's first half, the transpose's own
    // work area the second.
    nodechip_transpose(input, buffer, runs, v.order, v.runs, 4, FW_STORE_MODE_1N, buffer + 4u * (u64)total, NULL,
                       node);
    src = buffer;
  }
  nodechip_reduce_nhw(src, output, (int)v.n, (int)v.c, 1, (int)v.w, reduce_method, node);
}

// ---- Reduce over axes: the pooling road ----

static inline i64 dim_at(const dim4_t *s, int d) { return d == 0 ? s->n : d == 1 ? s->c : d == 2 ? s->h : s->w; }
static inline void set_dim(dim4_t *s, int d, int v) {
  if (d == 0) s->n = v;
  else if (d == 1) s->c = v;
  else if (d == 2) s->h = v;
  else s->w = v;
}
static inline u64 bytes_of(const dim4_t *s) { return 4u * (u64)s->n * (u64)s->c * (u64)s->h * (u64)s->w; }

void process_shape(dim4_t *out, const int *shape, u8 *flags, int dims, int *axes, int axis_num, int *out_dims) {
  i64 ext[REDUCE_MAX_DIMS];
  int k = 0;
  const int last_axis = axis_num > 0 ? axes[axis_num - 1] : -1;
  // Extents of 1 in front of a reduced axis go; the axes behind them move up.
  for (int i = 0; i < dims; i++) {
    if (shape[i] == 1 && i < last_axis) {
      for (int a = 0; a < axis_num; a++)
        if (axes[a] > k) axes[a]--;
      continue;
    }
    ext[k++] = shape[i];
  }
  while (k > 4) {
    if (axis_num == 0 || axes[0] >= 2) {
      ext[0] *= ext[1];
      for (int i = 1; i + 1 < k; i++) ext[i] = ext[i + 1];
      for (int a = 0; a < axis_num; a++) axes[a]--;
    } else if (axes[axis_num - 1] < k - 2) {
      ext[k - 2] *= ext[k - 1];
    } else {
      if (out_dims) *out_dims = k;
      return;
    }
    k--;
  }
  i64 e4[4] = {1, 1, 1, 1};
  for (int i = 0; i < k; i++) e4[4 - k + i] = ext[i];
  for (int a = 0; a < axis_num; a++) axes[a] += 4 - k;
  // A view whose extents overflow the command fields cannot take this road.
  for (int i = 0; i < 4; i++)
    if (e4[i] > 0x7fffffff) {
      if (out_dims) *out_dims = REDUCE_MAX_DIMS + 1;
      return;
    }
  for (int i = 0; i < 4; i++) flags[i] = 0;
  for (int a = 0; a < axis_num; a++) flags[axes[a]] = 1;
  // Rows beyond what one pooling command takes move into the channels.
  if (e4[2] > 2047 && !flags[1] && !flags[2]) {
    const i64 h = e4[2];
    for (i64 m = h >> 11; m < h; m++) {
      if (m == 0 || h % m != 0 || h / m > 2047) continue;
      if (e4[1] * (h / m) <= 0x7fffffff) {
        e4[1] *= h / m;
        e4[2] = m;
      }
      break;
    }
  }
  *out = {(int)e4[0], (int)e4[1], (int)e4[2], (int)e4[3]};
  if (out_dims) *out_dims = 4;
}

void update_tensor_size(const dim4_t *shape, u64 *size) { *size = bytes_of(shape); }

// Channels one section of reduce_hw takes: all of them, or whole lane rows
// when one row of every channel would not fit the lanes.
static int reduce_hw_channels(const dim4_t *s) {
  const i64 row = align_up((i64)s->w, EU_NUM) * 4;
  const i64 rows = LOCAL_MEM_SIZE / row;
  if (ceil_div((i64)s->c, NPU_NUM) <= rows) return s->c;
  return (int)(rows * NPU_NUM);
}

static void reduce_hw_secs(const dim4_t *s, int cg, nh_secs_t *secs) {
  const int c_per_npu = (int)ceil_div((i64)cg, NPU_NUM);
  if ((u64)s->n * (u64)c_per_npu * (u64)align_up((i64)s->h * s->w, EU_NUM) * 4u <= LOCAL_MEM_SIZE) {
    secs->nsecs = secs->hsecs = 1;
    return;
  }
  same_tensor_split_nh(secs, 1, LOCAL_MEM_SIZE, s->n, c_per_npu, s->h, s->w);
}

// Kept rows are also cut to what one pooling command takes.
static void reduce_hw_secs_capped(const dim4_t *s, int cg, int h_reduced, nh_secs_t *secs) {
  reduce_hw_secs(s, cg, secs);
  const u32 least = (u32)ceil_div((i64)s->h, 2047);
  if (!h_reduced && secs->hsecs < least) secs->hsecs = least;
}

int is_h_splited(const dim4_t *shape, const int *axes, int axis_num) {
  int h_reduced = 0;
  for (int a = 0; a < axis_num; a++) h_reduced |= axes[a] == 2;
  nh_secs_t secs;
  reduce_hw_secs(shape, reduce_hw_channels(shape), &secs);
  return secs.hsecs > 1 && h_reduced;
}

void nodechip_reduce_hw(u64 input, u64 output, const dim4_t *shape, int input_dims, const int *axes, int axis_num,
                        int reduce_method, cmd_id_node_t *node) {
  ASSERT(input_dims <= 4);
  u8 rw = 0, rh = 0;
  for (int a = 0; a < axis_num; a++) {
    if (axes[a] == 2) rh = 1;
    else if (axes[a] == 3) rw = 1;
    else ASSERT(0, "reduce axis must be H or W");
  }
  const int N = shape->n, C = shape->c, H = shape->h, W = shape->w;
  const int oh = rh ? 1 : H, ow = rw ? 1 : W;
  const int csec = reduce_hw_channels(shape);
  for (int c0 = 0; c0 < C; c0 += csec) {
    const int cg = min_i64(csec, C - c0);
    nh_secs_t secs;
    reduce_hw_secs_capped(shape, cg, rh, &secs);
    // Reduced rows must stay in one section.
    ASSERT(!rh || secs.hsecs == 1);
    const int nq = N / (int)secs.nsecs, nr = N % (int)secs.nsecs;
    const int hq = H / (int)secs.hsecs, hr = H % (int)secs.hsecs;
    int n0 = 0;
    for (int ni = 0; ni < (int)secs.nsecs; ni++) {
      const int ns = nq + (ni < nr ? 1 : 0);
      int h0 = 0;
      for (int hi = 0; hi < (int)secs.hsecs; hi++) {
        const int hs = hq + (hi < hr ? 1 : 0);
        const dim4_t in = {ns, cg, hs, W};
        const dim4_t in_g = {C * H * W, H * W, W, 1};
        tensor_general_load(0, input + 4u * (u64)((i64)n0 * C * H * W + (i64)c0 * H * W + (i64)h0 * W),
                            GDMA_VALUE_FORMAT_FLOAT32, 1, &in, NULL, &in_g, node);
        nodechip_reduce_local_onedim(0, 0, &in, reduce_method, rw, rh, node);
        const int hso = rh ? 1 : hs;
        const dim4_t out = {ns, cg, hso, ow};
        const dim4_t out_g = {C * oh * ow, oh * ow, ow, 1};
        tensor_general_save(0, output + 4u * (u64)((i64)ow * (h0 + (i64)oh * C * n0) + (i64)c0 * oh * ow),
                            GDMA_VALUE_FORMAT_FLOAT32, 1, &out, NULL, &out_g, node);
        fix_cmd_node_overflow(node);
        h0 += hs;
      }
      n0 += ns;
    }
  }
}

// The axis that moves to W (transposed when it is not W already), then W (and
// H when it fits one section) by pooling.
void reduce_onedim(u64 input, u64 output, u64 buffer, const dim4_t *shape, int dims, const int *axes, int axis_num,
                   const u8 *flags, int reduce_method, cmd_id_node_t *node) {
  (void)dims;
  (void)axis_num;
  if (flags[2] && !is_h_splited(shape, axes, 1)) {
    nodechip_reduce_hw(input, output, shape, 4, axes, 1, reduce_method, node);
    return;
  }
  if (flags[3]) {
    const int w_axis[1] = {3};
    nodechip_reduce_hw(input, output, shape, 4, w_axis, 1, reduce_method, node);
    return;
  }
  const int a = axes[0];
  int ext[4], order[4], k = 0;
  for (int d = 0; d < 4; d++) ext[d] = (int)dim_at(shape, d);
  for (int d = 0; d < 4; d++)
    if (d != a) order[k++] = d;
  order[3] = a;
  // Moving one axis to the end is a single rotation: the transpose needs no
  // work area of its own.
  const u64 size = bytes_of(shape);
  nodechip_transpose(input, buffer, ext, order, 4, 4, FW_STORE_MODE_1N, buffer + size, NULL, node);
  int t[4];
  for (int d = 0; d < 4; d++) t[d] = ext[order[d]];
  dim4_t s4;
  u8 f4[4];
  int ax[1] = {3}, out_dims = 0;
  process_shape(&s4, t, f4, 4, ax, 1, &out_dims);
  nodechip_reduce_hw(buffer, output, &s4, 4, ax, 1, reduce_method, node);
}

// Two axes: H and W by one pooling when H fits one section, else one axis
// at a time, the last first, through the buffer.
void reduce_twodim(u64 input, u64 output, u64 buffer, const dim4_t *shape, int dims, const int *axes, int axis_num,
                   const u8 *flags, int reduce_method, cmd_id_node_t *node) {
  (void)dims;
  (void)axis_num;
  if (flags[2] && flags[3] && !is_h_splited(shape, axes, 2)) {
    nodechip_reduce_hw(input, output, shape, 4, axes, 2, reduce_method, node);
    return;
  }
  u8 f[4] = {flags[0], flags[1], flags[2], flags[3]};
  f[axes[0]] = 0;
  int ax[1] = {axes[1]};
  dim4_t s1 = *shape;
  set_dim(&s1, axes[1], 1);
  const u64 mid = bytes_of(&s1);
  reduce_onedim(input, buffer, buffer + mid, shape, 4, ax, 1, f, reduce_method, node);
  int t[4] = {s1.n, s1.c, s1.h, s1.w};
  dim4_t s2;
  u8 f2[4];
  int ax2[1] = {axes[0]}, out_dims = 0;
  process_shape(&s2, t, f2, 4, ax2, 1, &out_dims);
  reduce_onedim(buffer, output, buffer + mid, &s2, 4, ax2, 1, f2, reduce_method, node);
}

// The road a reduce takes, from the collected axes (extents above 1, ascending).
static int reduce_takes_full_road(const int *shape, const int *ax, int j, int method, const dim4_t *s4, int d4) {
  if (method == 4 || d4 != 4 || s4->h > 2047 || s4->w > 2047) return 1;
  if ((i64)s4->n * s4->c * s4->h * s4->w > 0x7fffffff) return 1;
  for (int i = 0; i < j; i++)
    if (shape[ax[i]] > 2047) return 1;
  return 0;
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
  // The reduced axes of extent above 1, once each, ascending.
  int ax[REDUCE_MAX_DIMS], j = 0;
  for (int d = 0; d < dims; d++) {
    int listed = 0;
    for (int i = 0; i < axis_num; i++) listed |= axes[i] == d;
    if (listed && shape[d] != 1) ax[j++] = d;
  }
  if (j == 0) {
    if (input != output)
      for (i64 done = 0; done < total; done += 0x40000000)
        general_gdma_gen_cmd(input + 4u * (u64)done, output + 4u * (u64)done, GDMA_VALUE_FORMAT_FLOAT32,
                             min_i64(0x40000000, total - done), GDMA_VALUE_DIR_S2S, node);
    return;
  }
  dim4_t s4 = {1, 1, 1, 1};
  u8 fl[4] = {0, 0, 0, 0};
  int a4[REDUCE_MAX_DIMS], d4 = 0;
  memcpy(a4, ax, sizeof(ax));
  process_shape(&s4, shape, fl, dims, a4, j, &d4);
  if (reduce_takes_full_road(shape, ax, j, reduce_method, &s4, d4)) {
    nodechip_reduce_full(input, output, shape, dims, ax, j, reduce_method, buffer, node);
    return;
  }
  // Intermediates sit at the start of the buffer, each step's work area right
  // behind the data it still needs: the buffer holds twice the input.
  if (j == 1) {
    reduce_onedim(input, output, buffer, &s4, 4, a4, 1, fl, reduce_method, node);
    return;
  }
  if (j == 2) {
    reduce_twodim(input, output, buffer, &s4, 4, a4, 2, fl, reduce_method, node);
    return;
  }
  // Three or four axes: the last two into the buffer, then the rest into the output.
  u8 f_last[4] = {0, 0, 0, 0};
  f_last[a4[j - 2]] = f_last[a4[j - 1]] = 1;
  dim4_t s_mid = s4;
  set_dim(&s_mid, a4[j - 2], 1);
  set_dim(&s_mid, a4[j - 1], 1);
  const u64 mid = bytes_of(&s_mid);
  reduce_twodim(input, buffer, buffer + mid, &s4, 4, a4 + j - 2, 2, f_last, reduce_method, node);
  int t[4] = {s_mid.n, s_mid.c, s_mid.h, s_mid.w};
  int rest[2] = {a4[0], a4[1]};
  dim4_t s_rest;
  u8 f_rest[4];
  int out_dims = 0;
  process_shape(&s_rest, t, f_rest, 4, rest, j - 2, &out_dims);
  if (j == 3) reduce_onedim(buffer, output, buffer + mid, &s_rest, 4, rest, 1, f_rest, reduce_method, node);
  else reduce_twodim(buffer, output, buffer + mid, &s_rest, 4, rest, 2, f_rest, reduce_method, node);
}
