// APIs 159 and 160 (channel shuffle), 120 (8-bit batch to space) and 121
// (8-bit space to batch).
#include "layers/data/rearrange.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"
#include "runtime/engine_wait.h"

u32 zv_api_shuffle_channel_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_shuffle_channel_forward_t, rec, param, size);
  if (rec.input_n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_shuffle_channel_forward(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                   rec.input_w, rec.group, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_shuffle_channel_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_shuffle_channel_fix8b_forward_t, rec, param, size);
  if (rec.input_n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_shuffle_channel_fix8b_forward(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                         rec.input_w, rec.group, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_batch2space_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_batch2space_fix8b_forward_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_batch2space_fix8b(rec.input_addr, rec.output_addr, rec.buffer_addr, rec.buffer2_addr, nullptr,
                             API_ARRAY(int, rec, shape), rec.input_dim, rec.in_store_mode, rec.out_store_mode,
                             API_ARRAY(int, rec, block), API_ARRAY(int, rec, crops), nullptr, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_space2batch_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_space2batch_fix8b_forward_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_space2batch_fix8b(rec.input, rec.output, rec.buffer, nullptr, API_ARRAY(int, rec, shape), rec.input_dim,
                             rec.in_store_mode, rec.out_store_mode, API_ARRAY(int, rec, block),
                             API_ARRAY(int, rec, pads), nullptr, &node);
  poll_all_engine_done(&node);
  return 0;
}
