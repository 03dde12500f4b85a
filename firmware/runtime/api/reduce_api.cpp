// Reductions: APIs 200 (float32 over axes), 168 (8-bit over axes), 201 (segment
// reduce) and 701 (cumulative sum).
#include <stdint.h>

#include "layers/data/reduce.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"

u32 zv_api_segment_reduce(u8 *param, u32 size) {
  zv_api_segment_reduce_t rec;
  ASSERT(size >= sizeof(rec));
  memcpy(&rec, param, sizeof(rec));
  // The record ends with input_rows segment ids; the length is checked in 64
  // bits so that no row count wraps around to a matching size.
  ASSERT(rec.input_rows >= 0 && (u64)size == sizeof(zv_api_segment_reduce_t) + (u64)rec.input_rows * sizeof(int));
  if (rec.input_rows == 0 || rec.segment_num == 0 || rec.row_len == 0) return 0;
  API_POSITIVE(rec.segment_num);
  API_POSITIVE(rec.row_len);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_rows, rec.row_len));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.segment_num, rec.row_len));
  // The ids are read in place, word by word.
  ASSERT(((uintptr_t)(param + sizeof(rec)) & 3) == 0);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_segment_reduce(rec.input_addr, rec.output_addr, (const int *)(param + sizeof(rec)), rec.input_rows,
                            rec.segment_num, (i64)rec.row_len, rec.segment_reduce_flag, node);
  });
}

u32 zv_api_cumsum(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_cumsum_t, rec, param, size);
  API_POSITIVE(rec.N);
  API_POSITIVE(rec.C);
  API_POSITIVE(rec.H);
  API_POSITIVE(rec.W);
  const api_extent_t t = api_dense(4, rec.N, rec.C, rec.H, rec.W);
  API_GLOBAL(rec.input, t);
  API_GLOBAL(rec.output, t);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cumsum(rec.input, rec.output, rec.dim, rec.N, rec.C, rec.H, rec.W, node);
  });
}

u32 zv_api_reduce(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_reduce_t, rec, param, size);
  // The shape and axis arrays hold 8 entries.
  ASSERT(rec.dims >= 1 && rec.dims <= 8 && rec.axis_num >= 0 && rec.axis_num <= 8);
  int shape[8], axes[8];
  memcpy(shape, rec.shape, sizeof(shape));
  memcpy(axes, rec.axes, sizeof(axes));
  i64 total = 1;
  for (int i = 0; i < rec.dims; i++) {
    API_POSITIVE(shape[i]);
    total = api_mul(total, shape[i]);
  }
  API_GLOBAL(rec.input, api_dense(4, total));
  API_GLOBAL(rec.output, api_dense(4, total));
  API_GLOBAL(rec.buffer, api_dense(4, total, 2));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_reduce_full_v2(rec.input, rec.output, shape, rec.dims, axes, rec.axis_num, rec.reduce_method, rec.buffer,
                            node);
  });
}

u32 zv_api_reduce_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_reduce_fix8b_t, rec, param, size);
  // The shape and axis arrays hold 8 entries.
  ASSERT(rec.dims >= 1 && rec.dims <= 8 && rec.axis_num >= 0 && rec.axis_num <= 8);
  int shape[8], axes[8];
  memcpy(shape, rec.shape, sizeof(shape));
  memcpy(axes, rec.axes, sizeof(axes));
  for (int i = 0; i < rec.dims; i++) API_POSITIVE(shape[i]);
  // The buffer's layout needs axes inside the shape; the layer names them.
  reduce_fix8b_plan_t p = {};
  int axes_inside = rec.axis_num <= rec.dims;
  for (int i = 0; i < rec.axis_num; i++) axes_inside &= axes[i] >= 0 && axes[i] < rec.dims;
  if (axes_inside) reduce_fix8b_plan_of(&p, shape, rec.dims, axes, rec.axis_num, rec.keep_dims);
  if (p.merge_dim == 4) {
    API_GLOBAL(rec.input, api_dense(4, (p.shape[0] + 3) / 4, p.total / p.shape[0]));
    API_GLOBAL(rec.output, api_dense(4, (p.out[0] + 3) / 4, p.kept / p.out[0]));
    API_GLOBAL(rec.buffer, api_dense(1, (i64)p.buffer_bytes));
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_reduce_full_fix8b(rec.input, rec.output, rec.buffer, shape, rec.dims, axes, rec.axis_num,
                               rec.reduce_method, rec.keep_dims, rec.is_signed, rec.store_mode, rec.input_scale,
                               rec.output_scale, node);
  });
}
