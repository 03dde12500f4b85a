// API 67: softmax over the channel axis of a float32 or 8-bit tensor.
#include "layers/eltwise/softmax.h"
#include "runtime/api/dispatch.h"

// The input's bytes: 4 a float element, 1 an 8-bit one; four items a group in
// store mode 2, whose converted copy fills as many bytes of the buffer.
u32 zv_api_softmax_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_softmax_forward_parallel_t, rec, param, size);
  API_COUNT((i32)rec.input_n);
  API_POSITIVE((i32)rec.input_c);
  API_POSITIVE((i32)rec.input_h);
  API_POSITIVE((i32)rec.input_w);
  const u32 elem = rec.bottom_prec == SOFTMAX_PREC_FP32 ? 4u : 1u;
  const i64 items = rec.input_stmode == 2 ? 4 * (((i64)rec.input_n + 3) / 4) : (i64)rec.input_n;
  const api_extent_t in = api_dense(elem, items, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, in);
  if (rec.input_stmode == 2) API_GLOBAL(rec.buffer_addr, in);
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_softmax_forward_parallel(rec.input_addr, rec.output_addr, (int)rec.input_n, (int)rec.input_c,
                                      (int)rec.input_h, (int)rec.input_w, (int)rec.input_n, (int)rec.input_c,
                                      (int)rec.input_h, (int)rec.input_w, (int)rec.input_stmode, 0, rec.buffer_addr,
                                      (int)rec.bottom_prec, rec.input_scale, 0, node);
  });
}
