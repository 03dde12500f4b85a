// APIs 116 (tile) and 119 (8-bit tile).
#include "layers/data/tile.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"
#include "runtime/engine_wait.h"

u32 zv_api_tile_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_tile_forward_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_tile_full(rec.input, rec.buffer, rec.output, API_ARRAY(int, rec, shape), API_ARRAY(int, rec, tile_coeff),
                     rec.input_dim, rec.src_format, rec.dst_format, rec.flag, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_tile_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_tile_fix8b_forward_t, rec, param, size);
  // The shape and coefficients are read up to input_dim: the record holds 8.
  ASSERT(rec.input_dim >= 0 && rec.input_dim <= TILE_MAX_DIMS, "input_dim=%d", (int)rec.input_dim);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_tile_full_fix8b(rec.input, rec.output, rec.buffer, nullptr, API_ARRAY(int, rec, shape),
                           API_ARRAY(int, rec, tile_coeff), rec.input_dim, rec.src_format, rec.dst_format, rec.flag,
                           &node);
  poll_all_engine_done(&node);
  return 0;
}
