// API 19: filter of batch items by their flags.
#include "layers/data/select.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"

u32 zv_api_filter_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_filter_forward_t, rec, param, size);
  if (rec.input_n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_filter_forward(rec.input_addr, rec.flag_addr, rec.output_addr, rec.flag_buffer_addr, rec.input_n,
                          rec.input_c, rec.input_h, rec.input_w, &node);
  poll_all_engine_done(&node);
  return 0;
}
