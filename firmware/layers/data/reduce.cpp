// Segment reduce and cumulative sum of float32 tensors in device memory.
#include "layers/data/reduce.h"

#include <float.h>
#include <string.h>

#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

static inline i64 ceil_div64(i64 a, i64 b) { return (a + b - 1) / b; }
static inline i64 align32(i64 a) { return (a + 31) / 32 * 32; }

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
      plan->bytes = ceil_div64(c, NPU_NUM) * align32(h * w) * 4;
      plan->step = c * h * w;
      plan->count = n;
      break;
    case 1:  // one channel, the batch across the lanes
      plan->shape = {1, N, H, W};
      plan->global.c = (int)(c * h * w);
      plan->bytes = align32(h * w) * 4 * ceil_div64(n, NPU_NUM);
      plan->step = h * w;
      plan->count = c;
      break;
    case 2:  // one row
      plan->shape = {N, C, 1, W};
      plan->bytes = align32(w) * 4 * ceil_div64(c, NPU_NUM) * n;
      plan->step = w;
      plan->count = h;
      break;
    case 3:  // one column
      plan->shape = {N, C, H, 1};
      plan->bytes = align32(h) * 4 * ceil_div64(c, NPU_NUM) * n;
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
