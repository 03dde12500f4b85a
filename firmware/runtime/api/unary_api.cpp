// APIs 147 (unary), 65 (ReLU), 42 (absolute value), 174 (activation by code),
// 901 (sigmoid) and 902 (tanh), all on float32 tensors; 172 (sigmoid), 173
// (tanh) and 175 (activation by code) on 8-bit tensors.
#include "layers/eltwise/unary.h"
#include "layers/eltwise/unary_fix8b.h"
#include "runtime/api/dispatch.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// Input and output of `count` float32 elements.
#define UNARY_CHECK_IO(rec, count)                  \
  API_GLOBAL(rec.input_addr, api_dense(4, count));  \
  API_GLOBAL(rec.output_addr, api_dense(4, count))

// The four extents of an n x c x h x w record: the zero-count return on n,
// then each positive (a count of 2^31 or more reads as negative).
#define UNARY_CHECK_NCHW(rec)     \
  API_COUNT((i32)rec.input_n);    \
  API_POSITIVE((i32)rec.input_c); \
  API_POSITIVE((i32)rec.input_h); \
  API_POSITIVE((i32)rec.input_w); \
  UNARY_CHECK_IO(rec, api_mul(api_mul(rec.input_n, rec.input_c), api_mul(rec.input_h, rec.input_w)))

// The parameter block travels inside the record: a zero length issues nothing.
u32 zv_api_unary(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_unary_t, rec, param, size);
  // An unsigned length above 2^63 reads as negative and fits nowhere.
  UNARY_CHECK_IO(rec, (i64)rec.length);
  // Word-aligned copy of the block (the record itself may sit anywhere).
  u32 params[2];
  memcpy(params, rec.params, sizeof params);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_unary(rec.input_addr, rec.output_addr, rec.length, (int)rec.unary_type, params, node);
  });
}

u32 zv_api_relu_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_relu_forward_parallel_t, rec, param, size);
  UNARY_CHECK_NCHW(rec);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_relu_forward_32bit_parallel(rec.input_addr, rec.output_addr, rec.negative_slope, rec.relu_upper_limit,
                                         (int)rec.input_n, (int)rec.input_c, (int)rec.input_h, (int)rec.input_w, node);
  });
}

u32 zv_api_absval_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_absval_forward_t, rec, param, size);
  UNARY_CHECK_NCHW(rec);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_absval_forward(rec.input_addr, rec.output_addr, (int)rec.input_n, (int)rec.input_c, (int)rec.input_h,
                            (int)rec.input_w, node);
  });
}

// The parameter block is read by the firmware: only a block of two words
// inside the ARM's window on device memory is taken; any other non-zero
// address is refused (it could name any memory of the control core).
u32 zv_api_active_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_active_forward_t, rec, param, size);
  API_COUNT(rec.outer_size);
  const u32 params_addr = rec.active_param;
  ASSERT(params_addr == 0 || (params_addr >= DDR_ARM_BASE && params_addr <= 0xFFFFFFF8u && params_addr % 4 == 0),
         "params_addr=0x%08x", (unsigned)params_addr);
  // n x inner in 64 bits: both are below 2^32.
  const u64 length = (u64)rec.outer_size * (u64)rec.inner_size;
  UNARY_CHECK_IO(rec, (i64)length);
  const void *params = params_addr == 0 ? NULL : hw_ptr(params_addr, 8);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_active_forward_parallel(rec.input_addr, rec.output_addr, length, (int)rec.active_type, params, node);
  });
}

u32 zv_api_sigmoid_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_sigmoid_forward_parallel_t, rec, param, size);
  API_COUNT((i32)rec.n);
  API_POSITIVE((i32)rec.inner);
  UNARY_CHECK_IO(rec, api_mul(rec.n, rec.inner));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_sigmoid_forward_parallel(rec.input_addr, rec.output_addr, (int)rec.n, (int)rec.inner, node);
  });
}

u32 zv_api_tanh_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_tanh_forward_parallel_t, rec, param, size);
  API_COUNT((i32)rec.n);
  API_POSITIVE((i32)rec.inner);
  UNARY_CHECK_IO(rec, api_mul(rec.n, rec.inner));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_tanh_forward_parallel(rec.input_addr, rec.output_addr, (int)rec.n, (int)rec.inner, node);
  });
}

// ---- 8-bit ----

// outer x inner bytes in and out, the count in 64 bits: outer (the zero-count
// return) and inner must read as positive 32-bit values.
#define UNARY_FIX8B_CHECKS(rec, outer, inner, length)    \
  API_COUNT((i32)outer);                                 \
  API_POSITIVE((i32)inner);                              \
  const u64 length = (u64)outer * (u64)inner;            \
  API_GLOBAL(rec.input_addr, api_dense(1, (i64)length)); \
  API_GLOBAL(rec.output_addr, api_dense(1, (i64)length))

u32 zv_api_sigmoid_forward_parallel_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_sigmoid_forward_parallel_fix8b_t, rec, param, size);
  UNARY_FIX8B_CHECKS(rec, rec.input_n, rec.input_c, length);
  (void)length;
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_sigmoid_forward_parallel_fix8b(rec.input_addr, rec.output_addr, (int)rec.input_n, (int)rec.input_c,
                                            rec.input_scale, rec.output_scale, (int)rec.input_sign,
                                            (int)rec.output_sign, node);
  });
}

u32 zv_api_tanh_forward_parallel_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_tanh_forward_parallel_fix8b_t, rec, param, size);
  UNARY_FIX8B_CHECKS(rec, rec.input_n, rec.input_c, length);
  (void)length;
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_tanh_forward_parallel_fix8b(rec.input_addr, rec.output_addr, (int)rec.input_n, (int)rec.input_c,
                                         rec.input_scale, rec.output_scale, (int)rec.input_sign, (int)rec.output_sign,
                                         node);
  });
}

// No parameter block travels with this record: the PReLU activation (code 2),
// which needs one, is refused by the layer before it issues anything.
u32 zv_api_active_forward_parallel_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_active_forward_fix8b_t, rec, param, size);
  UNARY_FIX8B_CHECKS(rec, rec.outer_size, rec.inner_size, length);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_active_forward_parallel_fix8b(rec.input_addr, rec.output_addr, length, (int)rec.active_type,
                                           rec.input_scale, rec.output_scale, (int)rec.input_sign,
                                           (int)rec.output_sign, NULL, node);
  });
}
