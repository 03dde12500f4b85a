// APIs 93 (global memcpy) and 94 (crop): row copies and windows of float32
// tensors in device memory.
#include "layers/data/copy.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"
#include "runtime/engine_wait.h"

u32 zv_api_global_memcpy(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_global_memcpy_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_global_memcpy(rec.src, rec.dst, rec.input_n, rec.src_nstride, rec.dst_nstride, rec.count, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_crop(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_crop_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_crop(rec.input, rec.output, API_ARRAY(int, rec, offset), API_ARRAY(int, rec, output_shape),
                API_ARRAY(int, rec, input_shape), &node);
  poll_all_engine_done(&node);
  return 0;
}
