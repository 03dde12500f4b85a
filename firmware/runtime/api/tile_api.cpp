// APIs 116 (tile) and 119 (8-bit tile).
#include "cmd/tensor_shape.h"
#include "layers/data/tile.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"

// Elements of the input and of the tiled output; every extent and count
// positive, at most 8 axes (the record's arrays).
static void tile_counts(const zv_api_tile_forward_t &rec, i64 *in, i64 *out, i64 *largest) {
  ASSERT(rec.input_dim >= 1 && rec.input_dim <= TILE_MAX_DIMS, "input_dim=%d", (int)rec.input_dim);
  const int *shape = API_ARRAY(const int, rec, shape), *coeff = API_ARRAY(const int, rec, tile_coeff);
  *in = 1, *out = 1, *largest = 1;
  for (int i = 0; i < rec.input_dim; i++) {
    API_POSITIVE(shape[i]);
    API_POSITIVE(coeff[i]);
    *in = api_mul(*in, shape[i]);
    *out = api_mul(*out, api_mul(shape[i], coeff[i]));
    if (coeff[i] > *largest) *largest = coeff[i];
  }
}

u32 zv_api_tile_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_tile_forward_t, rec, param, size);
  i64 in, out, largest;
  tile_counts(rec, &in, &out, &largest);
  const int src_size = get_type_len(rec.src_format), dst_size = get_type_len(rec.dst_format);
  ASSERT(src_size > 0 && dst_size > 0, "src_format=%d, dst_format=%d", (int)rec.src_format, (int)rec.dst_format);
  API_GLOBAL(rec.input, api_dense(src_size, in));
  API_GLOBAL(rec.output, api_dense(dst_size, out));
  // The work buffer holds every result but the last: at most out / largest.
  API_GLOBAL(rec.buffer, api_dense(dst_size, out / largest));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_tile_full(rec.input, rec.buffer, rec.output, API_ARRAY(int, rec, shape), API_ARRAY(int, rec, tile_coeff),
                       rec.input_dim, rec.src_format, rec.dst_format, rec.flag, node);
  });
}

u32 zv_api_tile_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_tile_fix8b_forward_t, rec, param, size);
  i64 in, out, largest;
  tile_counts(rec, &in, &out, &largest);
  const int *shape = API_ARRAY(const int, rec, shape), *coeff = API_ARRAY(const int, rec, tile_coeff);
  u64 bytes = 0;
  cmd_id_node_t query = {};
  nodechip_tile_full_fix8b(rec.input, rec.output, rec.buffer, &bytes, shape, coeff, rec.input_dim, rec.src_format,
                           rec.dst_format, rec.flag, &query);
  const i64 n = shape[0], on = api_mul(shape[0], coeff[0]);
  const i64 in_bytes = rec.src_format == FW_STORE_MODE_4N ? in / n * 4 * ((n + 3) / 4) : in;
  const i64 out_bytes = rec.dst_format == FW_STORE_MODE_4N ? out / on * 4 * ((on + 3) / 4) : out;
  API_GLOBAL(rec.input, api_dense(1, in_bytes));
  API_GLOBAL(rec.output, api_dense(1, out_bytes));
  API_GLOBAL(rec.buffer, api_dense(1, (i64)bytes));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_tile_full_fix8b(rec.input, rec.output, rec.buffer, nullptr, API_ARRAY(int, rec, shape),
                             API_ARRAY(int, rec, tile_coeff), rec.input_dim, rec.src_format, rec.dst_format, rec.flag,
                             node);
  });
}
