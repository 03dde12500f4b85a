// API 19: filter of batch items by their flags.
#include "cmd/gdma.h"
#include "cmd/tensor_shape.h"
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

// Source and mask share the record's shape; the number of selected elements
// is written to count_addr, also when it is 0.
u32 zv_api_masked_select(u8 *param, u32 size) {
  zv_api_masked_select_t rec;
  ASSERT_FS(size == sizeof(zv_api_masked_select_t));
  memcpy(&rec, param, sizeof(rec));
  // The shape array holds 8 extents.
  ASSERT(rec.dims <= 8);
  int shape[8];
  memcpy(shape, rec.shape, sizeof(shape));
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  const int count = nodechip_masked_select(rec.src_addr, shape, rec.dims, rec.mask_addr, shape, rec.dims,
                                           rec.dst_addr, rec.src_type_size, rec.mask_type_size, FW_STORE_MODE_1N,
                                           FW_STORE_MODE_1N, 0, rec.buffer_addr, 0, &node);
  fill_constant_gen_global_cmd_stride(rec.count_addr, &count, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, 1, 1, 1, 1, 1,
                                      &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_where(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_where_t, rec, param, size);
  // The shape array holds 8 extents.
  ASSERT(rec.dims >= 1 && rec.dims <= 8);
  int shape[8];
  memcpy(shape, rec.shape, sizeof(shape));
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_where_v2(rec.input_addr, rec.output_addr, rec.count_addr, rec.index_buffer_addr, rec.count_scratch_addr,
                    shape, rec.dims, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_simple_select(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_simple_select_t, rec, param, size);
  const zv_api_simple_select_t *api = &rec;
  ASSERT(api->cond_is_constant == 0);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_select(rec.cond_addr, rec.a_addr, rec.a_is_const, rec.a_const, rec.b_addr, rec.b_is_const, rec.b_const,
                  rec.output_addr, rec.length, 0, 0.0f, 0, &node);
  poll_all_engine_done(&node);
  return 0;
}
