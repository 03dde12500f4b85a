// APIs 91 and 92 (concat), 115 and 143 (slice, records of variable length) and
// 146 (8-bit split).
#include <stdlib.h>
#include <string.h>

#include "cmd/tensor_shape.h"
#include "layers/data/concat.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"

// The checks of both concats: at most ten inputs (the record's arrays), the
// axis, every extent positive, every copied input and the output inside
// device memory. An 8-bit tensor's batch counts its 4N groups of four items,
// 4 bytes each. The layer copies an input as the output's rows (the extents
// before the axis), each of the input's extents from the axis on, placed after
// the inputs before it: the input must hold that many rows and each must land
// inside the output's row.
static void concat_checks(const zv_api_concat_t &rec, int groups) {
  ASSERT(rec.input_num >= 0 && rec.input_num <= CONCAT_MAX_INPUTS, "input_num=%d", (int)rec.input_num);
  ASSERT(rec.axis >= 0 && rec.axis < 4, "axis=%d", (int)rec.axis);
  const int *out = API_ARRAY(const int, rec, output_shape);
  for (int i = 0; i < 4; i++) API_POSITIVE(out[i]);
  const i64 o[4] = {groups ? ((i64)out[0] + 3) / 4 : out[0], out[1], out[2], out[3]};
  i64 rows = 1, row = 1;
  for (int j = 0; j < 4; j++)
    if (j < rec.axis) rows = api_mul(rows, o[j]);
    else row = api_mul(row, o[j]);
  const int *shapes = API_ARRAY(const int, rec, input_shapes);
  const int *flags = API_ARRAY(const int, rec, flags);
  const u64 *inputs = API_ARRAY(const u64, rec, inputs);
  i64 offset = 0;
  for (int i = 0; i < rec.input_num; i++) {
    const int *s = &shapes[4 * i];
    for (int j = 0; j < 4; j++) API_POSITIVE(s[j]);
    const i64 d[4] = {groups ? ((i64)s[0] + 3) / 4 : s[0], s[1], s[2], s[3]};
    i64 len = 1;
    for (int j = rec.axis; j < 4; j++) len = api_mul(len, d[j]);
    if (flags[i] != 1) {
      API_GLOBAL(inputs[i], api_dense(4, d[0], d[1], d[2], d[3]));
      API_GLOBAL(inputs[i], api_dense(4, rows, len));
      ASSERT(offset + len <= row, "input %d: %d elements from %d of a row of %d", i, (int)api_clamp_int(len),
             (int)api_clamp_int(offset), (int)api_clamp_int(row));
    }
    offset += len;
  }
  API_GLOBAL(rec.output, api_dense(4, rows, row));
}

u32 zv_api_concat(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_concat_t, rec, param, size);
  concat_checks(rec, 0);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_concat(rec.axis, rec.input_num, API_ARRAY(u64, rec, inputs), rec.output, API_ARRAY(int, rec, input_shapes),
                    API_ARRAY(int, rec, output_shape), API_ARRAY(int, rec, flags), node);
  });
}

u32 zv_api_concat_fix8b(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_concat_t, rec, param, size);
  concat_checks(rec, 1);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_concat_fix8b(rec.axis, rec.input_num, API_ARRAY(u64, rec, inputs), rec.output,
                          API_ARRAY(int, rec, input_shapes), API_ARRAY(int, rec, output_shape),
                          API_ARRAY(int, rec, flags), node);
  });
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
  const int shape[4] = {(int)dims[0], (int)dims[1], (int)dims[2], (int)dims[3]};
  const int axis = (int)dims[4];
  for (int i = 0; i < 4; i++) API_POSITIVE(shape[i]);
  ASSERT(axis >= 0 && axis < 4, "axis=%d", axis);
  const u32 elem = fix8b ? 1 : 4;
  API_GLOBAL(head.input, api_dense(elem, shape[0], shape[1], shape[2], shape[3]));
  for (u32 i = 0; i < k; i++) {
    i64 d[4] = {shape[0], shape[1], shape[2], shape[3]};
    d[axis] = sizes[i];
    API_POSITIVE(sizes[i]);
    API_GLOBAL(outputs[i], api_dense(elem, d[0], d[1], d[2], d[3]));
  }
  api_issue([&](cmd_id_node_t *node) {
    if (fix8b)
      nodechip_slice_fix8b_forward(head.input, (int)k, outputs, shape[0], shape[1], shape[2], shape[3], axis, sizes,
                                   flags, node);
    else
      nodechip_slice_forward(head.input, (int)k, outputs, shape[0], shape[1], shape[2], shape[3], axis, sizes, flags,
                             node);
  });
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
  const int *split_sizes = API_ARRAY(const int, rec, split_sizes);
  const u64 *outputs = API_ARRAY(const u64, rec, outputs);
  const int count = rec.split_num == 1 ? split_sizes[0] : rec.split_num;
  ASSERT(count >= 0 && count <= SPLIT_MAX_OUTPUTS, "outputs=%d", count);
  int shape[CORE_ARRAY_MAX] = {1, 1, 1, 1};
  api_core_array(rec.shape, rec.shape_size > 4 ? 4 : rec.shape_size < 0 ? 0 : rec.shape_size, shape);
  for (int i = 0; i < 4; i++) API_POSITIVE(shape[i]);
  ASSERT(rec.axis >= 0 && rec.axis < 4, "axis=%d", (int)rec.axis);
  // Work-area bytes as the layer counts them (its checks run first).
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_split_tf_fix8b(rec.input, rec.buffer, rec.buffer2, &bytes, shape, rec.shape_size, rec.in_store_mode,
                          rec.out_store_mode, rec.axis, split_sizes, rec.split_num, outputs, &query);
  const int in_4n = rec.in_store_mode == FW_STORE_MODE_4N, out_4n = rec.out_store_mode == FW_STORE_MODE_4N;
  const i64 n = shape[0], rest = (i64)shape[1] * shape[2] * shape[3];
  API_GLOBAL(rec.input, api_dense(1, in_4n ? 4 * ((n + 3) / 4) : n, rest));
  API_GLOBAL(rec.buffer, api_dense(1, (i64)bytes));
  API_GLOBAL(rec.buffer2, api_dense(1, (i64)bytes));
  for (int i = 0; i < count; i++) {
    i64 d[4] = {shape[0], shape[1], shape[2], shape[3]};
    d[rec.axis] = rec.split_num == 1 ? d[rec.axis] / split_sizes[0] : split_sizes[i];
    API_POSITIVE(d[rec.axis]);
    API_GLOBAL(outputs[i], api_dense(1, out_4n ? 4 * ((d[0] + 3) / 4) : d[0], d[1], d[2], d[3]));
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_split_tf_fix8b(rec.input, rec.buffer, rec.buffer2, nullptr, shape, rec.shape_size, rec.in_store_mode,
                            rec.out_store_mode, rec.axis, split_sizes, rec.split_num, outputs, node);
  });
}
