// APIs 144 (pad) and 145 (8-bit pad).
#include "layers/data/pad.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"
#include "runtime/engine_wait.h"

// The pads record's (before, after) pairs.
typedef const int pad_pair_t[2];

u32 zv_api_pad(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_pad_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_pad(rec.input, rec.output, rec.n, rec.c, rec.h, rec.w, API_ARRAY(pad_pair_t, rec, pads), rec.pad_mode,
               rec.value, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_pad_fix8b(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_pad_fix8b_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_pad_fix8b(rec.input_addr, rec.output_addr, rec.input_is_4N != 0, rec.buffer_addr, rec.output_is_4N != 0,
                     rec.buffer2_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                     API_ARRAY(pad_pair_t, rec, pads), rec.pad_mode, rec.value, &node);
  poll_all_engine_done(&node);
  return 0;
}
