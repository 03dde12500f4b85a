// APIs 159 and 160 (channel shuffle), 120 (8-bit batch to space) and 121
// (8-bit space to batch).
#include "cmd/tensor_shape.h"
#include "layers/data/rearrange.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"

// Both shuffles move n x c x h x w words (for 8-bit data n counts 4N groups).
#define SHUFFLE_CHECKS(rec)                                                              \
  API_COUNT(rec.input_n);                                                                \
  API_POSITIVE(rec.input_c);                                                             \
  API_POSITIVE(rec.input_h);                                                             \
  API_POSITIVE(rec.input_w);                                                             \
  API_POSITIVE(rec.group);                                                               \
  const api_extent_t bytes = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w); \
  API_GLOBAL(rec.input_addr, bytes);                                                     \
  API_GLOBAL(rec.output_addr, bytes)

u32 zv_api_shuffle_channel_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_shuffle_channel_forward_t, rec, param, size);
  SHUFFLE_CHECKS(rec);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_shuffle_channel_forward(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                     rec.input_w, rec.group, node);
  });
}

u32 zv_api_shuffle_channel_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_shuffle_channel_fix8b_forward_t, rec, param, size);
  SHUFFLE_CHECKS(rec);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_shuffle_channel_fix8b_forward(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                           rec.input_w, rec.group, node);
  });
}

// Bytes of an 8-bit (n, c, h, w) tensor in its store mode.
static api_extent_t bytes_8bit(int mode, i64 n, i64 c, i64 h, i64 w) {
  return api_dense(1, mode == FW_STORE_MODE_4N ? 4 * ((n + 3) / 4) : n, c, h, w);
}

u32 zv_api_batch2space_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_batch2space_fix8b_forward_t, rec, param, size);
  const int *shape = API_ARRAY(const int, rec, shape), *block = API_ARRAY(const int, rec, block);
  const int *crops = API_ARRAY(const int, rec, crops);
  for (int i = 0; i < 4; i++) API_POSITIVE(shape[i]);
  API_POSITIVE(block[0]);
  API_POSITIVE(block[1]);
  // The layer's int arithmetic: the block's items and the enlarged planes.
  ASSERT(api_mul(block[0], block[1]) <= 0x7fffffff && api_mul(shape[2], block[0]) <= 0x7fffffff &&
         api_mul(shape[3], block[1]) <= 0x7fffffff);
  ASSERT(crops[0] >= 0 && crops[1] >= 0 && crops[2] >= 0 && crops[3] >= 0);
  // The crops leave rows and columns (in int, as the layer counts them).
  ASSERT((i64)crops[0] + crops[1] < (i64)shape[2] * block[0] && (i64)crops[2] + crops[3] < (i64)shape[3] * block[1]);
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_batch2space_fix8b(rec.input_addr, rec.output_addr, rec.buffer_addr, rec.buffer2_addr, &bytes, shape,
                             rec.input_dim, rec.in_store_mode, rec.out_store_mode, block, crops, nullptr, &query);
  const i64 items = shape[0] / (block[0] * block[1]);
  const i64 oh = (i64)shape[2] * block[0] - crops[0] - crops[1], ow = (i64)shape[3] * block[1] - crops[2] - crops[3];
  API_GLOBAL(rec.input_addr, bytes_8bit(rec.in_store_mode, shape[0], shape[1], shape[2], shape[3]));
  API_GLOBAL(rec.output_addr, bytes_8bit(rec.out_store_mode, items, shape[1], oh, ow));
  API_GLOBAL(rec.buffer_addr, api_dense(1, (i64)bytes));
  API_GLOBAL(rec.buffer2_addr, api_dense(1, (i64)bytes));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_batch2space_fix8b(rec.input_addr, rec.output_addr, rec.buffer_addr, rec.buffer2_addr, nullptr, shape,
                               rec.input_dim, rec.in_store_mode, rec.out_store_mode, block, crops, nullptr, node);
  });
}

u32 zv_api_space2batch_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_space2batch_fix8b_forward_t, rec, param, size);
  const int *shape = API_ARRAY(const int, rec, shape), *block = API_ARRAY(const int, rec, block);
  const int *pads = API_ARRAY(const int, rec, pads);
  for (int i = 0; i < 4; i++) API_POSITIVE(shape[i]);
  API_POSITIVE(block[0]);
  API_POSITIVE(block[1]);
  // The layer's int arithmetic: the batch the blocks multiply.
  ASSERT(api_mul(api_mul(shape[0], block[0]), block[1]) <= 0x7fffffff);
  ASSERT(pads[0] >= 0 && pads[1] >= 0 && pads[2] >= 0 && pads[3] >= 0);
  // The padded planes in int, as the layer counts them.
  ASSERT((i64)shape[2] + pads[0] + pads[1] <= 0x7fffffff && (i64)shape[3] + pads[2] + pads[3] <= 0x7fffffff);
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_space2batch_fix8b(rec.input, rec.output, rec.buffer, &bytes, shape, rec.input_dim, rec.in_store_mode,
                             rec.out_store_mode, block, pads, nullptr, &query);
  const i64 oh = ((i64)shape[2] + pads[0] + pads[1]) / block[0], ow = ((i64)shape[3] + pads[2] + pads[3]) / block[1];
  API_GLOBAL(rec.input, bytes_8bit(rec.in_store_mode, shape[0], shape[1], shape[2], shape[3]));
  API_GLOBAL(rec.output, bytes_8bit(rec.out_store_mode, (i64)shape[0] * block[0] * block[1], shape[1], oh, ow));
  API_GLOBAL(rec.buffer, api_dense(1, (i64)bytes));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_space2batch_fix8b(rec.input, rec.output, rec.buffer, nullptr, shape, rec.input_dim, rec.in_store_mode,
                               rec.out_store_mode, block, pads, nullptr, node);
  });
}
