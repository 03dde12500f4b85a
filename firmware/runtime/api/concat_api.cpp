// APIs 91 and 92 (concat), 115 and 143 (slice, records of variable length) and
// 146 (8-bit split).
#include <stdlib.h>
#include <string.h>

#include "layers/data/concat.h"
#include "runtime/api/record_arrays.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"

// The record's arrays hold at most ten inputs.
#define CONCAT_TAKE_RECORD(rec, param, size)                       \
  API_TAKE_ALIGNED_RECORD(zv_api_concat_t, rec, param, size);      \
  ASSERT(rec.input_num >= 0 && rec.input_num <= CONCAT_MAX_INPUTS, \
         "input_num=%d", (int)rec.input_num)

u32 zv_api_concat(u8 *param, u32 size) {
  CONCAT_TAKE_RECORD(rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_concat(rec.axis, rec.input_num, API_ARRAY(u64, rec, inputs), rec.output, API_ARRAY(int, rec, input_shapes),
                  API_ARRAY(int, rec, output_shape), API_ARRAY(int, rec, flags), &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_concat_fix8b(u8 *param, u32 size) {
  CONCAT_TAKE_RECORD(rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_concat_fix8b(rec.axis, rec.input_num, API_ARRAY(u64, rec, inputs), rec.output,
                        API_ARRAY(int, rec, input_shapes), API_ARRAY(int, rec, output_shape), API_ARRAY(int, rec, flags),
                        &node);
  poll_all_engine_done(&node);
  return 0;
}

// Both slice records: the header, count output addresses, (n, c, h, w, axis)
// and count extents, unpacked into aligned heap arrays (addresses, extents and
// flags all 1) before the layer reads them.
static u32 slice_api(u8 *param, u32 size, int fix8b) {
  (void)size;
  zv_api_slice_head_t head;
  memcpy(&head, param, sizeof head);
  // The arrays must lie inside the parameter buffer.
  ASSERT(head.count <= SLICE_MAX_OUTPUTS, "count=%u, at most %u", (unsigned)head.count,
         (unsigned)SLICE_MAX_OUTPUTS);
  const u32 k = head.count;
  u64 *outputs = (u64 *)malloc(8u * k + 1);
  int *sizes = (int *)malloc(4u * k + 1);
  int *flags = (int *)malloc(4u * k + 1);
  ASSERT(outputs && sizes && flags);
  i32 dims[5];
  memcpy(outputs, param + 12, 8u * k);
  memcpy(dims, param + 12 + 8u * k, sizeof dims);
  memcpy(sizes, param + 32 + 8u * k, 4u * k);
  for (u32 i = 0; i < k; i++) flags[i] = 1;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  if (fix8b)
    nodechip_slice_fix8b_forward(head.input, (int)k, outputs, dims[0], dims[1], dims[2], dims[3], dims[4], sizes, flags,
                                 &node);
  else
    nodechip_slice_forward(head.input, (int)k, outputs, dims[0], dims[1], dims[2], dims[3], dims[4], sizes, flags,
                           &node);
  poll_all_engine_done(&node);
  free(outputs);
  free(sizes);
  free(flags);
  return 0;
}

u32 zv_api_slice_forward(u8 *param, u32 size) { return slice_api(param, size, 0); }
u32 zv_api_slice_fix8b_forward(u8 *param, u32 size) { return slice_api(param, size, 1); }

u32 zv_api_split_tf_fix8b(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_split_tf_fix8b_t, rec, param, size);
  // The record holds ten extents and ten output addresses.
  const int outputs = rec.split_num == 1 ? rec.split_sizes[0] : rec.split_num;
  ASSERT(outputs >= 0 && outputs <= SPLIT_MAX_OUTPUTS, "outputs=%d", outputs);
  int shape[CORE_ARRAY_MAX];
  api_core_array(rec.shape, rec.shape_size > 4 ? 4 : rec.shape_size < 0 ? 0 : rec.shape_size, shape);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_split_tf_fix8b(rec.input, rec.buffer, rec.buffer2, nullptr, shape, rec.shape_size, rec.in_store_mode,
                          rec.out_store_mode, rec.axis, API_ARRAY(int, rec, split_sizes), rec.split_num,
                          API_ARRAY(u64, rec, outputs), &node);
  poll_all_engine_done(&node);
  return 0;
}
