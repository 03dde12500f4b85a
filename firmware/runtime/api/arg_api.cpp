// APIs 157 and 158: arg max or arg min along one axis, float32 and 8-bit.
#include "runtime/engine_wait.h"
#include "layers/data/arg.h"
#include "runtime/api/dispatch.h"

u32 zv_api_arg(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_arg_t, rec, param, size);
  if (rec.input_n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_arg(rec.input_addr, rec.value_out_addr, rec.index_out_addr, rec.input_n, rec.input_c, rec.input_h,
               rec.input_w, rec.axis, rec.method, &node);
  poll_all_engine_done(&node);
  return 0;
}

// API 158: the same for 8-bit data stored 4N.
u32 zv_api_arg_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_arg_fix8b_t, rec, param, size);
  if (rec.input_n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_arg_fix8b(rec.input_addr, rec.buffer_addr, rec.value_out_addr, rec.buffer2_addr, rec.index_out_addr,
                     rec.index_buffer_addr, rec.is_signed, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                     rec.axis, rec.method, &node);
  poll_all_engine_done(&node);
  return 0;
}
