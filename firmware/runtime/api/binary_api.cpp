// APIs 148 and 149: binary operations on tensor records, 4-D with broadcasting
// and flat. Neither has a zero-count shortcut: an empty request issues nothing
// in the layer.
#include "layers/eltwise/binary.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"

u32 zv_api_binary(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_binary_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_binary(rec.A_addr, rec.B_addr, rec.R_addr, rec.buffer_addr, rec.n, rec.c, rec.h, rec.w, rec.A_bcast_n,
                  rec.A_bcast_c, rec.A_bcast_h, rec.A_bcast_w, rec.B_bcast_n, rec.B_bcast_c, rec.B_bcast_h,
                  rec.B_bcast_w, rec.A_const_mode, rec.A_const_value, rec.B_const_mode, rec.B_const_value, rec.op,
                  &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_simple_binary(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_simple_binary_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_simple_binary(rec.A_addr, rec.B_addr, rec.R_addr, rec.buffer_addr, rec.length, rec.A_const_mode,
                         rec.A_const_value, rec.B_const_mode, rec.B_const_value, rec.op, &node);
  poll_all_engine_done(&node);
  return 0;
}
