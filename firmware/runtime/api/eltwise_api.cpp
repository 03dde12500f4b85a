// API 36: float eltwise of up to eight inputs.
#include "layers/eltwise/eltwise.h"
#include "runtime/api/dispatch.h"

// The record holds eight input addresses: a larger count is refused before
// any of them is read. Every input named by the count, the output and (for
// the maximum with the mask flag) the mask must lie in device memory; there
// is no zero-count return.
u32 zv_api_eltwise_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_eltwise_forward_t, rec, param, size);
  ASSERT(rec.input_num <= 8, "input_num=%u", (unsigned)rec.input_num);
  const api_extent_t t = api_dense(4, (i32)rec.n, (i32)rec.c, (i32)rec.h, (i32)rec.w);
  for (u32 j = 0; j < rec.input_num; j++) API_GLOBAL(rec.input_addr[j], t);
  API_GLOBAL(rec.output_addr, t);
  if (rec.op == ELTWISE_MAX && rec.mask_flag) API_GLOBAL(rec.mask_addr, t);
  const int shape[4] = {(int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w};
  u64 inputs[ELTWISE_MAX_INPUTS];
  float coeffs[ELTWISE_MAX_INPUTS], mask_values[ELTWISE_MAX_INPUTS];
  memcpy(inputs, rec.input_addr, sizeof inputs);
  memcpy(coeffs, rec.coeff, sizeof coeffs);
  memcpy(mask_values, rec.mask_value, sizeof mask_values);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_eltwise_forward(inputs, rec.output_addr, rec.mask_addr, 0, shape, shape, (int)rec.input_num, 4,
                             (int)rec.op, coeffs, (int)rec.mask_flag, mask_values, (int)rec.relu_flag, node);
  });
}
