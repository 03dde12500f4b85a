// APIs 147 (unary), 65 (ReLU), 42 (absolute value), 174 (activation by code),
// 901 (sigmoid) and 902 (tanh).
#include "layers/eltwise/unary.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// The parameter block travels inside the record: a zero length issues nothing.
u32 zv_api_unary(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_unary_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  // Word-aligned copy of the block (the record itself may sit anywhere).
  u32 params[2];
  memcpy(params, rec.params, sizeof params);
  nodechip_unary(rec.input_addr, rec.output_addr, rec.length, (int)rec.unary_type, params, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_relu_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_relu_forward_parallel_t, rec, param, size);
  if (rec.n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_relu_forward_32bit_parallel(rec.input_addr, rec.output_addr, rec.negative_slope, rec.upper_limit,
                                       (int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_absval_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_absval_forward_t, rec, param, size);
  if (rec.n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_absval_forward(rec.input_addr, rec.output_addr, (int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w, &node);
  poll_all_engine_done(&node);
  return 0;
}

// The parameter block is read by the firmware: only a block of two words
// inside the ARM's window on device memory is taken; any other non-zero
// address is refused (it could name any memory of the control core).
u32 zv_api_active_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_active_forward_t, rec, param, size);
  if (rec.n == 0) return 0;
  const u32 params_addr = rec.params_addr;
  ASSERT(params_addr == 0 || (params_addr >= DDR_ARM_BASE && params_addr <= 0xFFFFFFF8u && params_addr % 4 == 0),
         "params_addr=0x%08x", (unsigned)params_addr);
  // n x inner in 64 bits: both are below 2^32.
  const u64 length = (u64)rec.n * (u64)rec.inner;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  const void *params = params_addr == 0 ? NULL : hw_ptr(params_addr, 8);
  nodechip_active_forward_parallel(rec.input_addr, rec.output_addr, length, (int)rec.active_type, params, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_sigmoid_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_sigmoid_forward_parallel_t, rec, param, size);
  if (rec.n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_sigmoid_forward_parallel(rec.input_addr, rec.output_addr, (int)rec.n, (int)rec.inner, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_tanh_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_tanh_forward_parallel_t, rec, param, size);
  if (rec.n == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_tanh_forward_parallel(rec.input_addr, rec.output_addr, (int)rec.n, (int)rec.inner, &node);
  poll_all_engine_done(&node);
  return 0;
}
