// Per-dimension sort (CDMA) and top-k by rounds of float32 tensors.
#include "layers/data/topk.h"

#include <float.h>
#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/cdma_sort.h"
#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_shape.h"
#include "layers/data/reduce.h"
#include "layers/data/transpose.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

static u32 f32_bits(float f) {
  u32 u;
  memcpy(&u, &f, 4);
  return u;
}

// ---- Sort per dimension ----

// The order that moves dim last and keeps the others in order, its inverse,
// and the shape after it.
typedef struct {
  int order[8], inverse[8], shape[8];
  u64 rows, len;
} sort_view_t;

static void sort_view_of(sort_view_t *v, const int *shape, int dims, int dim) {
  int k = 0;
  for (int i = 0; i < dims; i++)
    if (i != dim) v->order[k++] = i;
  v->order[k] = dim;
  for (int i = 0; i < dims; i++) {
    v->inverse[v->order[i]] = i;
    v->shape[i] = shape[v->order[i]];
  }
  v->len = (u64)shape[dim];
  v->rows = 1;
  for (int i = 0; i < dims; i++)
    if (i != dim) v->rows *= (u64)shape[i];
}

static void check_sort_args(const int *shape, int dims, int dim) {
  ASSERT(dims >= 1 && dims <= 8);
  ASSERT(dim >= 0 && dim < dims);
  for (int i = 0; i < dims; i++) ASSERT(shape[i] >= 0);
}

// One CDMA sort per row: keys from src, values to dst_value, positions (numbered
// by the engine) to dst_index, rows len elements apart on all three.
static void sort_rows(u64 src, u64 dst_value, u64 dst_index, u64 index_scratch, u64 rows, u64 len,
                      u8 descending) {
  const u32 order = descending ? SORT_ORDER_DESCEND : SORT_ORDER_ASCEND;
  for (u64 r = 0; r < rows; r++) {
    const u64 at = 4u * r * len;
    cdma_sort_move_cmd(src + at, dst_value + at, (u32)len, order, 1, 1, index_scratch + at, dst_index + at,
                       (u32)len);
  }
}

void nodechip_sort_per_dim(u64 input, u64 index_out, u64 value_out, u64 buffer1, u64 buffer2, const int *shape,
                           int dims, int dim, u8 ignored0, u8 ignored1, u8 descending, cmd_id_node_t *node) {
  (void)ignored0;
  (void)ignored1;
  check_sort_args(shape, dims, dim);
  sort_view_t v;
  sort_view_of(&v, shape, dims, dim);
  if (v.rows * v.len == 0) return;
  // The input may still be in flight.
  poll_all_engine_done_internal(node);
  if (dim == dims - 1) {
    sort_rows(input, value_out, index_out, buffer2, v.rows, v.len, descending);
    return;
  }
  nodechip_transpose(input, value_out, shape, v.order, dims, 4, FW_STORE_MODE_1N, buffer1, NULL, node);
  poll_all_engine_done_internal(node);
  sort_rows(value_out, buffer1, buffer2, index_out, v.rows, v.len, descending);
  nodechip_transpose(buffer1, value_out, v.shape, v.inverse, dims, 4, FW_STORE_MODE_1N, index_out, NULL, node);
  poll_all_engine_done_internal(node);
  nodechip_transpose(buffer2, index_out, v.shape, v.inverse, dims, 4, FW_STORE_MODE_1N, buffer1, NULL, node);
  poll_all_engine_done_internal(node);
}

// Converts count elements between device-memory areas, in rectangles of at
// most 65535 rows of 32768 elements.
static void convert_elements(u64 src, gdma_value_format_t src_format, u32 src_bytes, u64 dst,
                             gdma_value_format_t dst_format, u32 dst_bytes, u64 count, cmd_id_node_t *node) {
  const u64 row = 32768;
  for (u64 done = 0; done < count;) {
    const u64 left = count - done;
    const int w = (int)(left < row ? left : row);
    const u64 hs = left / (u64)w;
    const int h = (int)(hs < 65535 ? hs : 65535);
    __tensor_general_move_gen_cmd(src + src_bytes * done, 0, 1, 1, h, w, h * w, h * w, w, 1, src_format,
                                  dst + dst_bytes * done, 0, 1, 1, h, w, h * w, h * w, w, 1, dst_format,
                                  GDMA_VALUE_DIR_S2S, 0, node);
    done += (u64)h * (u64)w;
  }
}

void nodechip_sort_per_dim_fix8b(u64 input, u64 index_out, u64 value_out, u64 buffer1, u64 buffer2, u64 buffer3,
                                 const int *shape, int dims, int dim, u8 ignored0, u8 ignored1, u8 descending,
                                 cmd_id_node_t *node) {
  (void)ignored0;
  (void)ignored1;
  check_sort_args(shape, dims, dim);
  sort_view_t v;
  sort_view_of(&v, shape, dims, dim);
  const u64 total = v.rows * v.len;
  if (total == 0) return;
  nodechip_transpose_fix8b(input, value_out, shape, v.order, dims, FW_STORE_MODE_1N, FW_STORE_MODE_1N, buffer1,
                           NULL, node);
  poll_all_engine_done_internal(node);
  convert_elements(value_out, GDMA_VALUE_FORMAT_INT8, 1, buffer1, GDMA_VALUE_FORMAT_FLOAT32, 4, total, node);
  poll_all_engine_done_internal(node);
  sort_rows(buffer1, buffer2, buffer3, index_out, v.rows, v.len, descending);
  convert_elements(buffer2, GDMA_VALUE_FORMAT_FLOAT32, 4, buffer1, GDMA_VALUE_FORMAT_INT8, 1, total, node);
  poll_all_engine_done_internal(node);
  nodechip_transpose_fix8b(buffer1, value_out, v.shape, v.inverse, dims, FW_STORE_MODE_1N, FW_STORE_MODE_1N,
                           index_out, NULL, node);
  poll_all_engine_done_internal(node);
  nodechip_transpose(buffer3, index_out, v.shape, v.inverse, dims, 4, FW_STORE_MODE_1N, buffer1, NULL, node);
  poll_all_engine_done_internal(node);
}

// ---- Top-k by rounds ----

void topk_plan_of(topk_plan_t *plan, int dim, int N, int C, int H, int W) {
  cumsum_plan_t s;
  cumsum_plan_of(&s, dim, N, C, H, W);
  plan->slice_bytes = s.bytes;
  plan->slices = s.count;
  plan->work = s.bytes * s.count;
  const u32 b = (u32)s.bytes;
  const u32 w = (u32)plan->work;
  plan->areas[0] = {"slices", 0, w};
  plan->areas[1] = {"running maximum", w, b};
  plan->areas[2] = {"round maximum", w + b, b};
  plan->areas[3] = {"running index", w + 2 * b, b};
  plan->areas[4] = {"difference", w + 3 * b, b};
}

void nodechip_topk(u64 input, u64 value_out, u64 index_out, int k, int dim, int N, int C, int H, int W,
                   cmd_id_node_t *node) {
  ASSERT_FS(N > 0 && C > 0 && H > 0 && W > 0);
  if (dim < 0 || dim > 3) ASSERT_FS(0);
  int out_dims[4] = {N, C, H, W};
  const int dim_size = out_dims[dim];
  if (k < 0) k = dim_size;
  ASSERT_FS(k >= 1 && k <= dim_size);
  topk_plan_t p;
  topk_plan_of(&p, dim, N, C, H, W);
  const i64 value_sub_temp_local_offset = p.work + 3 * p.slice_bytes, tensor_size = p.slice_bytes;
  ASSERT_FS(value_sub_temp_local_offset + tensor_size <= (1 << 19));
  cumsum_plan_t in, out;
  cumsum_plan_of(&in, dim, N, C, H, W);
  out_dims[dim] = k;
  cumsum_plan_of(&out, dim, out_dims[0], out_dims[1], out_dims[2], out_dims[3]);
  const dim4_t sh = in.shape;
  const u32 tag = LOCAL_ADDR_TAG;
  const u32 run_max = (u32)p.work, round_max = run_max + (u32)p.slice_bytes;
  const u32 run_index = round_max + (u32)p.slice_bytes, diff = run_index + (u32)p.slice_bytes;
  for (i64 i = 0; i < p.slices; i++)
    tensor_general_load((u32)(i * p.slice_bytes), input + 4u * (u64)(i * in.step), GDMA_VALUE_FORMAT_FLOAT32, 1,
                        &sh, NULL, &in.global, node);
  const u32 lowest = f32_bits(-FLT_MAX);
  for (int r = 0; r < k; r++) {
    fix_cmd_node_overflow(node);
    local_fill_const_gen_cmd(tag | run_max, sh.n, sh.c, sh.h, sh.w, lowest, node);
    local_fill_const_gen_cmd(tag | run_index, sh.n, sh.c, sh.h, sh.w, 0, node);
    // Slice i takes over only where strictly greater: the first slice holding
    // the maximum keeps it. The index is selected bitwise: int32 i.
    for (i64 i = 0; i < p.slices; i++)
      atomic_md_cmp_gen_cmd(tag | (u32)(i * p.slice_bytes), tag | run_max, 0, tag | run_index, tag | run_max,
                            tag | run_index, sh.n, sh.c, sh.h, sh.w, 0, 0, 1, 0, 0, 0, (u32)i, 0, 0, node);
    // Remove the first occurrence of the maximum: the round maximum drops to
    // -FLT_MAX once it has been met. The squared difference is 0 exactly where
    // the slice equals the round maximum.
    tensor_copy(run_max, round_max, &sh, NULL, node);
    for (i64 i = 0; i < p.slices; i++) {
      const u32 slice = (u32)(i * p.slice_bytes);
      atomic_mdscalar_operation_gen_cmd_(tag | round_max, tag | slice, tag | diff, sh.n, sh.c, sh.h, sh.w,
                                         MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
      atomic_mdscalar_operation_gen_cmd_(tag | diff, tag | diff, tag | diff, sh.n, sh.c, sh.h, sh.w, MD_SCALAR_MUL,
                                         0, 0, 0, 0, 0, node);
      atomic_md_cmp_gen_cmd(tag | diff, 0, tag | slice, 0, tag | diff, tag | slice, sh.n, sh.c, sh.h, sh.w, 0, 1, 0,
                            1, 0, 0, 0, lowest, 2, node);
      atomic_md_cmp_gen_cmd(tag | diff, 0, tag | round_max, 0, tag | diff, tag | round_max, sh.n, sh.c, sh.h, sh.w,
                            0, 1, 0, 1, 0, 0, 0, lowest, 2, node);
    }
    tensor_general_save(run_max, value_out + 4u * (u64)((i64)r * out.step), GDMA_VALUE_FORMAT_FLOAT32, 1, &sh,
                        NULL, &out.global, node);
    tensor_general_save(run_index, index_out + 4u * (u64)((i64)r * out.step), GDMA_VALUE_FORMAT_FLOAT32, 1, &sh,
                        NULL, &out.global, node);
  }
}
