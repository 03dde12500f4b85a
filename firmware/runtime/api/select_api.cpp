// API 19: filter of batch items by their flags.
#include "layers/data/select.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"
#include "runtime/regs.h"

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

// type_size 4 selects the float layer, any other value the 8-bit one. The
// record carries no index scratch: the indices are staged in the DTCM scratch
// window, which no operand of the call can name and which the layer reads a
// chunk (INDEX_SELECT_CHUNK int32, 256 KB) at a time.
static_assert(4u * INDEX_SELECT_CHUNK <= DTCM_SCRATCH_SIZE, "a chunk of indices fits the DTCM scratch window");

u32 zv_api_index_select(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_index_select_t, rec, param, size);
  // The shape array holds 8 extents.
  ASSERT(rec.dims >= 1 && rec.dims <= 8);
  int shape[8];
  memcpy(shape, rec.shape, sizeof(shape));
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  if (rec.type_size == 4)
    nodechip_index_select(rec.input_addr, rec.index_addr, rec.index_num, rec.output_addr, rec.buffer_addr,
                          rec.buffer2_addr, DTCM_SCRATCH_START, shape, rec.dims, rec.axis, &node);
  else
    nodechip_index_select_fix8b(rec.input_addr, rec.index_addr, rec.index_num, rec.output_addr, rec.buffer_addr,
                                rec.buffer2_addr, DTCM_SCRATCH_START, shape, rec.dims, rec.axis, &node);
  poll_all_engine_done(&node);
  return 0;
}
