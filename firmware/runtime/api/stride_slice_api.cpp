// APIs 161 (strided slice), 165 (8-bit strided slice, its arrays named by the
// core's address) and 203 (unfold).
#include "layers/data/stride_slice.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"
#include "runtime/engine_wait.h"

u32 zv_api_stride_slice(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_stride_slice_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_stride_slice(rec.input, rec.output, rec.shape_size, rec.n, rec.c, rec.h, rec.w, rec.begin_mask,
                        rec.end_mask, API_ARRAY(int, rec, begin), API_ARRAY(int, rec, end), API_ARRAY(int, rec, stride),
                        &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_stride_slice_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_stride_slice_fix8b_t, rec, param, size);
  // The slice reads shape_size values of each array (at most 4 are sliced).
  const int count = rec.shape_size > 4 ? 4 : rec.shape_size < 0 ? 0 : rec.shape_size;
  int shape[CORE_ARRAY_MAX], begin[CORE_ARRAY_MAX], end[CORE_ARRAY_MAX], stride[CORE_ARRAY_MAX];
  api_core_array(rec.shape, count, shape);
  api_core_array(rec.begin, count, begin);
  api_core_array(rec.end, count, end);
  api_core_array(rec.stride, count, stride);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_stride_slice_fix8b(rec.input, rec.output, rec.buffer, rec.buffer2, nullptr, shape, rec.shape_size,
                              rec.in_store_mode, rec.out_store_mode, rec.begin_mask, rec.end_mask, begin, end, stride,
                              &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_unfold(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_unfold_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_unfold(rec.input, rec.input_rank, API_ARRAY(int, rec, input_shape), rec.unfold_axis, rec.unfold_size,
                  rec.unfold_step, rec.buffer, nullptr, rec.output, &node);
  poll_all_engine_done(&node);
  return 0;
}
