// APIs 161 (strided slice), 165 (8-bit strided slice, its arrays named by the
// core's address) and 203 (unfold).
#include "cmd/tensor_shape.h"
#include "layers/data/stride_slice.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"

// The output elements of a slice of `axes` (1 to 4) axes of dims, with the
// masks and indices as the layer reads them (negative indices count from the
// end when `from_end`); every index it takes must lie inside its axis. Ranges
// the layer refuses (a step below 1, an end before the begin) count nothing
// here and reach the layer's own checks.
static i64 slice_outputs(int axes, const int *dims, int begin_mask, int end_mask, const int *begin, const int *end,
                         const int *stride, int from_end) {
  i64 count = 1;
  for (int i = 0; i < axes && i < 4; i++) {
    const i64 d = dims[i];
    i64 b = (begin_mask >> i) & 1 ? 0 : begin[i];
    i64 e = (end_mask >> i) & 1 ? d : end[i];
    if (from_end && b < 0) b += d;
    if (from_end && e < 0) e += d;
    if (stride[i] < 1 || e < b) return 0;
    const i64 o = (e - b + stride[i] - 1) / stride[i];
    if (o == 0) return 0;
    ASSERT(b >= 0 && b + (o - 1) * stride[i] < d, "axis %d: index %d to %d of %d", i, (int)b,
           (int)(b + (o - 1) * stride[i]), (int)d);
    count = api_mul(count, o);
  }
  return count;
}

u32 zv_api_stride_slice(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_stride_slice_t, rec, param, size);
  const int dims[4] = {(int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w};
  const int *begin = API_ARRAY(const int, rec, begin), *end = API_ARRAY(const int, rec, end);
  const int *stride = API_ARRAY(const int, rec, stride);
  i64 in = 1;
  for (int i = 0; i < rec.shape_size && i < 4; i++) {
    API_POSITIVE(dims[i]);
    in = api_mul(in, dims[i]);
  }
  API_GLOBAL(rec.input, api_dense(4, in));
  API_GLOBAL(rec.output,
             api_dense(4, slice_outputs(rec.shape_size, dims, rec.begin_mask, rec.end_mask, begin, end, stride, 1)));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_stride_slice(rec.input, rec.output, rec.shape_size, rec.n, rec.c, rec.h, rec.w, rec.begin_mask,
                          rec.end_mask, begin, end, stride, node);
  });
}

u32 zv_api_stride_slice_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_stride_slice_fix8b_t, rec, param, size);
  // The slice reads shape_size values of each array (at most 4 are sliced);
  // the axes it does not list are taken as one element, begin 0, end 1, step 1.
  const int count = rec.shape_size > 4 ? 4 : rec.shape_size < 0 ? 0 : rec.shape_size;
  int shape[CORE_ARRAY_MAX] = {1, 1, 1, 1}, begin[CORE_ARRAY_MAX] = {0, 0, 0, 0};
  int end[CORE_ARRAY_MAX] = {1, 1, 1, 1}, stride[CORE_ARRAY_MAX] = {1, 1, 1, 1};
  api_core_array(rec.shape, count, shape);
  api_core_array(rec.begin, count, begin);
  api_core_array(rec.end, count, end);
  api_core_array(rec.stride, count, stride);
  for (int i = 0; i < 4; i++) API_POSITIVE(shape[i]);
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_stride_slice_fix8b(rec.input, rec.output, rec.buffer, rec.buffer2, &bytes, shape, rec.shape_size,
                              rec.in_store_mode, rec.out_store_mode, rec.begin_mask, rec.end_mask, begin, end, stride,
                              &query);
  const i64 rest = (i64)shape[1] * shape[2] * shape[3];
  const int in_4n = rec.in_store_mode == FW_STORE_MODE_4N, out_4n = rec.out_store_mode == FW_STORE_MODE_4N;
  API_GLOBAL(rec.input, api_dense(1, in_4n ? 4 * (((i64)shape[0] + 3) / 4) : shape[0], rest));
  const i64 out = slice_outputs(4, shape, rec.begin_mask, rec.end_mask, begin, end, stride, 0);
  // The output's batch: its extent along axis 0, rounded to whole groups in 4N.
  i64 out_items = 1;
  if (out) {
    const i64 b = rec.begin_mask & 1 ? 0 : begin[0], e = rec.end_mask & 1 ? shape[0] : end[0];
    out_items = (e - b + stride[0] - 1) / stride[0];
  }
  API_GLOBAL(rec.output, api_dense(1, out_4n && out ? out / out_items * 4 * ((out_items + 3) / 4) : out));
  API_GLOBAL(rec.buffer, api_dense(1, (i64)bytes));
  API_GLOBAL(rec.buffer2, api_dense(1, (i64)bytes));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_stride_slice_fix8b(rec.input, rec.output, rec.buffer, rec.buffer2, nullptr, shape, rec.shape_size,
                                rec.in_store_mode, rec.out_store_mode, rec.begin_mask, rec.end_mask, begin, end,
                                stride, node);
  });
}

u32 zv_api_unfold(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_unfold_t, rec, param, size);
  const int *shape = API_ARRAY(const int, rec, input_shape);
  // The layer checks the rank, axis, size and step; the bytes of the input,
  // the output and the work areas are counted as it counts them.
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_unfold(rec.input, rec.input_rank, shape, rec.unfold_axis, rec.unfold_size, rec.unfold_step, rec.buffer,
                  &bytes, rec.output, &query);
  i64 in = 1;
  for (int i = 0; i < rec.input_rank; i++) {
    API_POSITIVE(shape[i]);
    in = api_mul(in, shape[i]);
  }
  API_POSITIVE(rec.unfold_size);
  const i64 windows = (shape[rec.unfold_axis] - rec.unfold_size) / rec.unfold_step + 1;
  const i64 out = api_mul(in / shape[rec.unfold_axis], api_mul(windows, rec.unfold_size));
  API_GLOBAL(rec.input, api_dense(4, in));
  API_GLOBAL(rec.output, api_dense(4, out));
  API_GLOBAL(rec.buffer, api_dense(1, (i64)bytes));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_unfold(rec.input, rec.input_rank, shape, rec.unfold_axis, rec.unfold_size, rec.unfold_step, rec.buffer,
                    nullptr, rec.output, node);
  });
}
