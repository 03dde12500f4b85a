// APIs 36 (float eltwise of up to eight inputs), 22 (PReLU) and 10 (dropout).
#include "layers/eltwise/eltwise.h"
#include "layers/eltwise/prelu.h"
#include "runtime/api/dispatch.h"

// The record holds eight input addresses: a larger count is refused before
// any of them is read. Every input named by the count, the output and (for
// the maximum with the mask flag) the mask must lie in device memory; there
// is no zero-count return.
u32 zv_api_eltwise_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_eltwise_forward_t, rec, param, size);
  ASSERT(rec.input_num <= 8, "input_num=%u", (unsigned)rec.input_num);
  const api_extent_t t =
      api_dense(4, (i32)rec.input_shape[0], (i32)rec.input_shape[1], (i32)rec.input_shape[2], (i32)rec.input_shape[3]);
  for (u32 j = 0; j < rec.input_num; j++) API_GLOBAL(rec.input_addr[j], t);
  API_GLOBAL(rec.output_addr, t);
  if (rec.op_code == ELTWISE_MAX && rec.mask_flag) API_GLOBAL(rec.mask_addr, t);
  const int shape[4] = {(int)rec.input_shape[0], (int)rec.input_shape[1], (int)rec.input_shape[2],
                        (int)rec.input_shape[3]};
  u64 inputs[ELTWISE_MAX_INPUTS];
  float coeffs[ELTWISE_MAX_INPUTS], mask_values[ELTWISE_MAX_INPUTS];
  memcpy(inputs, rec.input_addr, sizeof inputs);
  memcpy(coeffs, rec.coeff, sizeof coeffs);
  memcpy(mask_values, rec.mask_value, sizeof mask_values);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_eltwise_forward(inputs, rec.output_addr, rec.mask_addr, 0, shape, shape, (int)rec.input_num, 4,
                             (int)rec.op_code, coeffs, (int)rec.mask_flag, mask_values, (int)rec.relu_flag, node);
  });
}

// ---- PReLU and dropout (APIs 22 and 10) ----

u32 zv_api_prelu_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_prelu_forward_t, rec, param, size);
  API_COUNT((i32)rec.input_n);
  API_POSITIVE((i32)rec.input_c);
  API_POSITIVE((i32)rec.input_h);
  API_POSITIVE((i32)rec.input_w);
  const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, t);
  API_GLOBAL(rec.output_addr, t);
  if (!rec.channel_shared) API_GLOBAL(rec.slope_addr, api_dense(4, rec.input_c));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_prelu_forward(rec.input_addr, rec.slope_addr, rec.output_addr, rec.shared_slope, (int)rec.channel_shared,
                           (int)rec.input_n, (int)rec.input_c, (int)rec.input_h, (int)rec.input_w, node);
  });
}

// The selection is one float an element, like the output; the random values
// are read from the random-data address plus the byte offset.
u32 zv_api_dropout_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_dropout_forward_t, rec, param, size);
  API_COUNT((i32)rec.outer_size);
  API_POSITIVE((i32)rec.inner_size);
  const api_extent_t t = api_dense(4, rec.outer_size, rec.inner_size);
  API_GLOBAL(rec.input_addr, t);
  API_GLOBAL(rec.output_addr, t);
  API_GLOBAL(rec.mask_addr, t);
  const api_extent_t r = {t.lo + rec.rand_offset, t.hi + rec.rand_offset};
  API_GLOBAL(rec.rand_addr, r);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_dropout_forward(rec.input_addr, rec.output_addr, rec.mask_addr, rec.rand_addr, rec.rand_offset,
                             rec.dropout_ratio, (int)rec.outer_size, (int)rec.inner_size, node);
  });
}
