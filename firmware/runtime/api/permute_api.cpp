// APIs 46 and 142: permute of a tensor (n, c, h, w) to (n, h, w, c), float32 or
// 8-bit in the 4N layout; 117 and 118: transposes of up to 8 axes.
#include "runtime/engine_wait.h"
#include "layers/data/transpose.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"

u32 zv_api_permute(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_permute_param_t, rec, param, size);
  if (rec.input_n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_permute_by_gdma(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                           &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_permute_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_permute_fix8b_param_t, rec, param, size);
  if (rec.input_n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_permute_fix8b_by_gdma(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                 rec.input_w, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_transpose(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_transpose_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_transpose(rec.input, rec.output, API_ARRAY(int, rec, shape), API_ARRAY(int, rec, order), rec.dims,
                     rec.type_len, rec.store_mode, rec.buffer, nullptr, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_transpose_fix8b(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_transpose_fix8b_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_transpose_fix8b(rec.input, rec.output, API_ARRAY(int, rec, shape), API_ARRAY(int, rec, order), rec.dims,
                           rec.in_store_mode, rec.out_store_mode, rec.buffer, nullptr, &node);
  poll_all_engine_done(&node);
  return 0;
}
