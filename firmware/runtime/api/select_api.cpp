// Selection APIs: 19 (batch items by their flags), 181 (index select), 703
// (masked select), 702 (where), 151 (select by a condition) and 162 (FC weight
// decompression, selecting outliers into place).
#include "cmd/gdma.h"
#include "cmd/tensor_shape.h"
#include "layers/data/fc_decompress.h"
#include "layers/data/select.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"
#include "runtime/regs.h"

// The product of a record's shape, every extent positive.
static i64 shape_total(const int *shape, int dims) {
  i64 t = 1;
  for (int i = 0; i < dims; i++) {
    API_POSITIVE(shape[i]);
    t = api_mul(t, shape[i]);
  }
  return t;
}

u32 zv_api_filter_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_filter_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, t);
  API_GLOBAL(rec.output_addr, t);
  API_GLOBAL(rec.flag_addr, api_dense(4, rec.input_n));
  API_GLOBAL(rec.flag_buffer_addr, api_dense(4, rec.input_n));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_filter_forward(rec.input_addr, rec.flag_addr, rec.output_addr, rec.flag_buffer_addr, rec.input_n,
                            rec.input_c, rec.input_h, rec.input_w, node);
  });
}

// type_size 4 selects the float layer, any other value the 8-bit one. The
// record carries no index scratch: the indices are staged in the DTCM scratch
// window, which no operand of the call can name and which the layer reads a
// chunk (INDEX_SELECT_CHUNK int32, 256 KB) at a time.
static_assert(4u * INDEX_SELECT_CHUNK <= DTCM_SCRATCH_SIZE, "a chunk of indices fits the DTCM scratch window");

u32 zv_api_index_select(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_index_select_t, rec, param, size);
  // The shape array holds 8 extents.
  ASSERT(rec.dims >= 1 && rec.dims <= 8);
  int shape[8];
  memcpy(shape, rec.shape, sizeof(shape));
  ASSERT(rec.axis >= -rec.dims && rec.axis < rec.dims && rec.index_num >= 0);
  const i64 total = shape_total(shape, rec.dims);
  const u32 ts = rec.type_size == 4 ? 4 : 1;
  const i64 out = api_mul(total / shape[rec.axis < 0 ? rec.axis + rec.dims : rec.axis], rec.index_num);
  const i64 most = total > out ? total : out;
  API_GLOBAL(rec.input_addr, api_dense(ts, total));
  API_GLOBAL(rec.index_addr, api_dense(4, rec.index_num));
  API_GLOBAL(rec.output_addr, api_dense(ts, out));
  API_GLOBAL(rec.buffer_addr, api_dense(ts, most));
  API_GLOBAL(rec.buffer2_addr, api_dense(ts, most));
  return api_issue([&](cmd_id_node_t *node) {
    if (rec.type_size == 4)
      nodechip_index_select(rec.input_addr, rec.index_addr, rec.index_num, rec.output_addr, rec.buffer_addr,
                            rec.buffer2_addr, DTCM_SCRATCH_START, shape, rec.dims, rec.axis, node);
    else
      nodechip_index_select_fix8b(rec.input_addr, rec.index_addr, rec.index_num, rec.output_addr, rec.buffer_addr,
                                  rec.buffer2_addr, DTCM_SCRATCH_START, shape, rec.dims, rec.axis, node);
  });
}

// Source and mask share the record's shape; the number of selected elements
// is written to count_addr, also when it is 0.
u32 zv_api_masked_select(u8 *param, u32 size) {
  zv_api_masked_select_t rec;
  ASSERT_FS(size == sizeof(zv_api_masked_select_t));
  memcpy(&rec, param, sizeof(rec));
  // The shape array holds 8 extents.
  ASSERT(rec.dims >= 1 && rec.dims <= 8);
  int shape[8];
  memcpy(shape, rec.shape, sizeof(shape));
  const i64 total = shape_total(shape, rec.dims);
  const u32 ts = rec.src_type_size == 1 ? 1 : 4, ms = rec.mask_type_size == 1 ? 1 : 4;
  API_GLOBAL(rec.src_addr, api_dense(ts, total));
  API_GLOBAL(rec.mask_addr, api_dense(ms, total));
  API_GLOBAL(rec.dst_addr, api_dense(ts, total));
  API_GLOBAL(rec.count_addr, api_dense(4, 1));
  // One piece's selection, 4 bytes an element.
  API_GLOBAL(rec.buffer_addr, api_dense(4, total < NPU_NUM * MASKED_LANE_ELEMS ? total : NPU_NUM * MASKED_LANE_ELEMS));
  return api_issue([&](cmd_id_node_t *node) {
    const int count = nodechip_masked_select(rec.src_addr, shape, rec.dims, rec.mask_addr, shape, rec.dims,
                                             rec.dst_addr, rec.src_type_size, rec.mask_type_size, FW_STORE_MODE_1N,
                                             FW_STORE_MODE_1N, 0, rec.buffer_addr, 0, node);
    fill_constant_gen_global_cmd_stride(rec.count_addr, &count, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, 1, 1, 1, 1, 1,
                                        node);
  });
}

u32 zv_api_where(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_where_t, rec, param, size);
  // The shape array holds 8 extents.
  ASSERT(rec.dims >= 1 && rec.dims <= 8);
  int shape[8];
  memcpy(shape, rec.shape, sizeof(shape));
  const i64 total = shape_total(shape, rec.dims);
  API_GLOBAL(rec.input, api_dense(4, total));
  API_GLOBAL(rec.output, api_dense(4, total, rec.dims));
  API_GLOBAL(rec.index_buffer_addr, api_dense(4, total + 128));
  if (rec.count_addr != 0xffffffffffffffffull) API_GLOBAL(rec.count_addr, api_dense(4, 1));
  API_GLOBAL(rec.count_scratch_addr, api_dense(4, 1));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_where_v2(rec.input, rec.output, rec.count_addr, rec.index_buffer_addr, rec.count_scratch_addr, shape,
                      rec.dims, node);
  });
}

u32 zv_api_simple_select(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_simple_select_t, rec, param, size);
  const zv_api_simple_select_t *api = &rec;
  ASSERT(api->cond_is_constant == 0);
  if (rec.length == 0) return 0;
  const api_extent_t t = api_dense(4, rec.length > (u64)API_EXTENT_CAP ? API_EXTENT_CAP : (i64)rec.length);
  API_GLOBAL(rec.cond_addr, t);
  if (!rec.a_is_const) API_GLOBAL(rec.a_addr, t);
  if (!rec.b_is_const) API_GLOBAL(rec.b_addr, t);
  API_GLOBAL(rec.output_addr, t);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_select(rec.cond_addr, rec.a_addr, rec.a_is_const, rec.a_const, rec.b_addr, rec.b_is_const, rec.b_const,
                    rec.output_addr, rec.length, 0, 0.0f, 0, node);
  });
}

// The extents come from the layer's plan of the record's counts; a negative
// count gives an extent no address fits.
u32 zv_api_fc_weight_decompress(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_fc_weight_decompress_t, rec, param, size);
  API_POSITIVE(rec.input_len);
  API_POSITIVE(rec.output_num);
  const fc_decompress_plan_t p = fc_decompress_plan_of(rec.local_offset, rec.outlier_num, rec.input_len,
                                                       rec.output_num);
  API_GLOBAL(rec.src, api_dense(1, NPU_NUM, rec.outlier_num < 0 ? -1 : (i64)p.S));
  API_GLOBAL(rec.dst, api_dense(1, NPU_NUM, (i64)p.L));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_fc_weight_decompress(rec.src, rec.dst, rec.local_offset, rec.outlier_num, rec.input_len, rec.output_num,
                                  node);
  });
}
