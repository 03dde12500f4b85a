// APIs 180 and 700: per-dimension sort and top-k.
#include "layers/data/topk.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"

// type_size 4 sorts float32, any other value signed 8-bit data.
u32 zv_api_sort_per_dim(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_sort_per_dim_t, rec, param, size);
  // The shape array holds 8 extents.
  ASSERT(rec.dims >= 1 && rec.dims <= 8);
  int shape[8];
  memcpy(shape, rec.shape, sizeof(shape));
  i64 total = 1;
  for (int i = 0; i < rec.dims; i++) {
    API_POSITIVE(shape[i]);
    total = api_mul(total, shape[i]);
  }
  const u32 ts = rec.type_size == 4 ? 4 : 1;
  API_GLOBAL(rec.input_addr, api_dense(ts, total));
  API_GLOBAL(rec.value_out_addr, api_dense(4, total));
  API_GLOBAL(rec.index_out_addr, api_dense(4, total));
  API_GLOBAL(rec.buffer_addr, api_dense(4, total));
  API_GLOBAL(rec.buffer3_addr, api_dense(4, total));
  if (rec.type_size != 4) API_GLOBAL(rec.buffer2_addr, api_dense(4, total));
  return api_issue([&](cmd_id_node_t *node) {
    if (rec.type_size == 4)
      nodechip_sort_per_dim(rec.input_addr, rec.index_out_addr, rec.value_out_addr, rec.buffer_addr,
                            rec.buffer3_addr, shape, rec.dims, rec.dim, rec.unused0, rec.unused1, rec.descending,
                            node);
    else
      nodechip_sort_per_dim_fix8b(rec.input_addr, rec.index_out_addr, rec.value_out_addr, rec.buffer_addr,
                                  rec.buffer2_addr, rec.buffer3_addr, shape, rec.dims, rec.dim, rec.unused0,
                                  rec.unused1, rec.descending, node);
  });
}

u32 zv_api_topk(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_topk_t, rec, param, size);
  // k is checked against the extent of the dimension it selects along.
  const int dims[4] = {rec.input_n, rec.input_c, rec.input_h, rec.input_w};
  const int extent = rec.dim >= 0 && rec.dim < 4 ? dims[rec.dim] : 0;
  ASSERT(rec.k >= 1 && rec.k <= extent);
  API_POSITIVE(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  const api_extent_t in = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  const api_extent_t out = api_dense(4, api_mul(in.hi / 4 / extent, rec.k));
  API_GLOBAL(rec.input_addr, in);
  API_GLOBAL(rec.value_out_addr, out);
  API_GLOBAL(rec.index_out_addr, out);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_topk(rec.input_addr, rec.value_out_addr, rec.index_out_addr, rec.k, rec.dim, rec.input_n, rec.input_c,
                  rec.input_h, rec.input_w, node);
  });
}
