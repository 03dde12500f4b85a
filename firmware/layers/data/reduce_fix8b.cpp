// Reduce over axes of 8-bit 4N tensors, through a float32 copy.
#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_store_mode.h"
#include "layers/data/copy.h"
#include "layers/data/reduce.h"
#include "layers/eltwise/md_ops.h"
#include "runtime/assert.h"

// The keep_dims value of the last 8-bit reduce.
int need_keep_dims = 1;

static u64 area_end(u64 at, u64 bytes) { return (u64)ALIGN(at + bytes, 512); }

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
  const u64 T = (u64)p->total, K = (u64)p->kept;
  p->bytes1n = 0;
  p->floats = area_end(p->bytes1n, T);
  p->work = area_end(p->floats, 4 * T);
  p->reduced_floats = area_end(p->work, 8 * T);
  p->reduced_bytes = area_end(p->reduced_floats, 4 * K);
  p->buffer_bytes = p->reduced_bytes + K;
}

// The 4-D body: the store mode's check, then the float road.
static void nodechip_reduce_full_dim4_fix8b(u64 input, u64 output, u64 buffer, const reduce_fix8b_plan_t *p,
                                            int reduce_method, int is_signed, int store_mode, u32 input_scale,
                                            u32 output_scale, cmd_id_node_t *node) {
  ASSERT(store_mode == FW_STORE_MODE_4N);
  ASSERT(p->total <= 0x7fffffff, "%d x %d x %d x %d elements", p->shape[0], p->shape[1], p->shape[2], p->shape[3]);
  const int total = (int)p->total, kept = (int)p->kept, N = p->shape[0];
  const int byte_format = is_signed ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
  const int scaled = reduce_method != 2 && reduce_method != 3;
  // 4N -> 1N bytes, then float32.
  gdma_move_global_1N_and_4N(buffer + p->bytes1n, input, N, total / N, 0, node);
  nodechip_global_memcpy_ex(buffer + p->bytes1n, buffer + p->floats, 1, total, total, byte_format,
                            GDMA_VALUE_FORMAT_FLOAT32, total, node);
  if (scaled)
    nodechip_1d_scalar(buffer + p->floats, 0, buffer + p->floats, (u64)total, MD_SCALAR_MUL, 0, 0, 1, 0, input_scale,
                       node);
  int axes[4], count = 0;
  for (int i = 0; i < 4; i++)
    if (p->reduced[i]) axes[count++] = i;
  nodechip_reduce_full_v2(buffer + p->floats, buffer + p->reduced_floats, p->shape, 4, axes, count, reduce_method,
                          buffer + p->work, node);
  if (scaled)
    nodechip_1d_scalar(buffer + p->reduced_floats, 0, buffer + p->reduced_floats, (u64)kept, MD_SCALAR_MUL, 0, 0, 1,
                       0, output_scale, node);
  // Back to bytes (saturating), then 4N over the output's batch.
  nodechip_global_memcpy_ex(buffer + p->reduced_floats, buffer + p->reduced_bytes, 1, kept, kept,
                            GDMA_VALUE_FORMAT_FLOAT32, byte_format, kept, node);
  gdma_move_global_1N_and_4N(buffer + p->reduced_bytes, output, p->out[0], kept / p->out[0], 1, node);
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
