// APIs 93 (global memcpy) and 94 (crop): row copies and windows of float32
// tensors in device memory.
#include "layers/data/copy.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"

u32 zv_api_global_memcpy(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_global_memcpy_t, rec, param, size);
  const i64 dims[2] = {rec.input_n, rec.count};
  const i64 src[2] = {rec.src_nstride, 1}, dst[2] = {rec.dst_nstride, 1};
  API_GLOBAL(rec.src, api_strided(4, 2, dims, src));
  API_GLOBAL(rec.dst, api_strided(4, 2, dims, dst));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_global_memcpy(rec.src, rec.dst, rec.input_n, rec.src_nstride, rec.dst_nstride, rec.count, node);
  });
}

u32 zv_api_crop(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_crop_t, rec, param, size);
  const int *offset = API_ARRAY(int, rec, offset), *out = API_ARRAY(int, rec, output_shape);
  const int *in = API_ARRAY(int, rec, input_shape);
  for (int i = 0; i < 4; i++) API_POSITIVE(out[i]);
  for (int i = 1; i < 4; i++) API_POSITIVE(in[i]);
  ASSERT(offset[0] >= 0 && offset[1] >= 0 && offset[2] >= 0 && offset[3] >= 0);
  // The window read from the input: the output's extents at the input's strides
  // from the offset element.
  const i64 dims[4] = {out[0], out[1], out[2], out[3]};
  const i64 strides[4] = {api_mul(api_mul(in[1], in[2]), in[3]), api_mul(in[2], in[3]), in[3], 1};
  const i64 start = api_mul(offset[0], strides[0]) + api_mul(offset[1], strides[1]) +
                    api_mul(offset[2], strides[2]) + offset[3];
  api_extent_t window = api_strided(4, 4, dims, strides);
  window.lo += 4 * start, window.hi += 4 * start;
  API_GLOBAL(rec.input, window);
  API_GLOBAL(rec.output, api_dense(4, out[0], out[1], out[2], out[3]));
  return api_issue([&](cmd_id_node_t *node) { nodechip_crop(rec.input, rec.output, offset, out, in, node); });
}
