// APIs 46 and 142: permute of a tensor (n, c, h, w) to (n, h, w, c), float32 or
// 8-bit in the 4N layout; 117 and 118: transposes of up to 8 axes.
#include "layers/data/transpose.h"
#include "runtime/api/dispatch.h"
#include "cmd/tensor_shape.h"
#include "runtime/api/record_arrays.h"
#include "runtime/engine_wait.h"

// The counts a permute takes, positive (after the zero-count return), and the
// bytes of the input and of the output, which are the same: float32 elements,
// or the 4N groups of four 8-bit items (one word per group and position).
#define PERMUTE_CHECKS(rec, groups)                                      \
  API_COUNT(rec.input_n);                                                \
  API_POSITIVE(rec.input_c);                                             \
  API_POSITIVE(rec.input_h);                                             \
  API_POSITIVE(rec.input_w);                                             \
  const api_extent_t bytes = api_dense(4, groups, rec.input_c, rec.input_h, rec.input_w); \
  API_GLOBAL(rec.input_addr, bytes);                                     \
  API_GLOBAL(rec.output_addr, bytes)

u32 zv_api_permute(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_permute_param_t, rec, param, size);
  PERMUTE_CHECKS(rec, rec.input_n);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_permute_by_gdma(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                             node);
  });
}

u32 zv_api_permute_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_permute_fix8b_param_t, rec, param, size);
  PERMUTE_CHECKS(rec, ((i64)rec.input_n + 3) / 4);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_permute_fix8b_by_gdma(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                   rec.input_w, node);
  });
}

// The elements of a transpose's shape: the layer checks dims and the order
// first (through its size query, which also gives the work-buffer bytes).
static i64 transpose_elements(const int *shape, int dims) {
  i64 count = 1;
  for (int i = 0; i < dims; i++) {
    API_POSITIVE(shape[i]);
    count = api_mul(count, shape[i]);
  }
  return count;
}

u32 zv_api_transpose(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_transpose_t, rec, param, size);
  const int *shape = API_ARRAY(const int, rec, shape), *order = API_ARRAY(const int, rec, order);
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_transpose(rec.input, rec.output, shape, order, rec.dims, rec.type_len, rec.store_mode, rec.buffer, &bytes,
                     &query);
  const i64 count = transpose_elements(shape, rec.dims);
  // 4N data (type_len 1) takes whole groups of four items.
  const i64 tensor = rec.store_mode == FW_STORE_MODE_4N ? count / shape[0] * 4 * ((shape[0] + 3) / 4)
                                                         : api_mul(count, rec.type_len);
  API_GLOBAL(rec.input, api_dense(1, tensor));
  API_GLOBAL(rec.output, api_dense(1, tensor));
  API_GLOBAL(rec.buffer, api_dense(1, (i64)bytes));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_transpose(rec.input, rec.output, shape, order, rec.dims, rec.type_len, rec.store_mode, rec.buffer,
                       nullptr, node);
  });
}

u32 zv_api_transpose_fix8b(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_transpose_fix8b_t, rec, param, size);
  const int *shape = API_ARRAY(const int, rec, shape), *order = API_ARRAY(const int, rec, order);
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_transpose_fix8b(rec.input, rec.output, shape, order, rec.dims, rec.in_store_mode, rec.out_store_mode,
                           rec.buffer, &bytes, &query);
  const i64 count = transpose_elements(shape, rec.dims);
  const i64 n = shape[0], out_n = shape[order[0]];
  API_GLOBAL(rec.input,
             api_dense(1, rec.in_store_mode == FW_STORE_MODE_4N ? count / n * 4 * ((n + 3) / 4) : count));
  API_GLOBAL(rec.output, api_dense(1, rec.out_store_mode == FW_STORE_MODE_4N ? count / out_n * 4 * ((out_n + 3) / 4)
                                                                               : count));
  API_GLOBAL(rec.buffer, api_dense(1, (i64)bytes));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_transpose_fix8b(rec.input, rec.output, shape, order, rec.dims, rec.in_store_mode, rec.out_store_mode,
                             rec.buffer, nullptr, node);
  });
}
