// Memory API handlers: 1 memset, 2 memcpy, 136 memcpy_byte, 137 memcpy_wstride,
// 138 memcpy_tensor, 177 memset_byte, 183 memcpy_tensors, and 508 the CDMA sort.
#include "cmd/gdma.h"
#include "cmd/memory_fill_copy.h"
#include "cmd/cdma_sort.h"
#include "runtime/engine_wait.h"
#include "runtime/api/dispatch.h"
#include "runtime/hw.h"

// API 1 modes 1 to 3 fill one byte lane per command, in pieces of this many
// elements.
#define MEMSET_PIECE 32768u

// One byte lane of a pattern fill: `count` elements `mode` bytes apart from
// `addr`, with its own restart and wait.
static void memset_lane_piece(u64 addr, u32 mode, u32 count, u8 byte) {
  api_issue([&](cmd_id_node_t *node) {
    fill_constant_gen_global_cmd_stride(addr, &byte, GDMA_VALUE_FORMAT_UINT8, 1, 1, (int)count, 1,
                                        (int)(count * mode), (int)(count * mode), (int)mode, 1, node);
  });
}

u32 zv_api_memset(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memset_t, rec, param, size);
  const zv_api_memset_t *api = &rec;
  ASSERT((api->mode==1) ||(api->mode==2) || (api->mode==3) ||(api->mode==4));
  if (api->mode == 4) {
    const u32 words = api->byte_count / 4;
    // Fewer than 4 bytes: no whole word to fill (the tail is never filled).
    if (words == 0) return 0;
    API_GLOBAL(api->global_addr, api_dense(4, words));
    return api_issue([&](cmd_id_node_t *node) {
      nodechip_memset(api->global_addr, 1, 1, 1, (int)words, (int)words, (int)words, (int)words, api->value, node);
    });
  }
  // Every mode-th byte per lane; the last byte_count % mode bytes are left.
  const u32 elements = api->byte_count / api->mode;
  API_GLOBAL(api->global_addr, api_dense(api->mode, elements));
  const u32 pieces = elements > MEMSET_PIECE ? elements / MEMSET_PIECE : 0;
  const u32 rest = elements > MEMSET_PIECE ? elements % MEMSET_PIECE : elements;
  const u64 piece_bytes = (u64)api->mode * MEMSET_PIECE;
  for (u32 i = 0; i < pieces; i++)
    for (u32 j = 0; j < api->mode; j++)
      memset_lane_piece(api->global_addr + piece_bytes * i + j, api->mode, MEMSET_PIECE, (u8)(api->value >> (8 * j)));
  if (rest != 0)
    for (u32 j = 0; j < api->mode; j++)
      memset_lane_piece(api->global_addr + piece_bytes * pieces + j, api->mode, rest, (u8)(api->value >> (8 * j)));
  return 0;
}

u32 zv_api_memcpy(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_t, rec, param, size);
  API_COUNT(rec.N);
  API_POSITIVE(rec.W);
  const i64 dims[2] = {rec.N, rec.W};
  const i64 src_strides[2] = {rec.src_stride_n, 1}, dst_strides[2] = {rec.dst_stride_n, 1};
  API_GLOBAL(rec.src_addr, api_strided(4, 2, dims, src_strides));
  API_GLOBAL(rec.dst_addr, api_strided(4, 2, dims, dst_strides));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_memcpy(rec.src_addr, rec.dst_addr, rec.N, rec.src_stride_n, rec.dst_stride_n, rec.W, node);
  });
}

// The bytes one strided byte fill touches: N x C x H x W elements of one byte
// at the four strides.
static api_extent_t memset_byte_extent(const zv_api_memset_byte_t *r) {
  const i64 dims[4] = {r->N, r->C, r->H, r->W};
  const i64 strides[4] = {r->stride_n, r->stride_c, r->stride_h, r->stride_w};
  return api_strided(1, 4, dims, strides);
}

u32 zv_api_memset_byte(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memset_byte_t, rec, param, size);
  API_COUNT(rec.N);
  API_POSITIVE(rec.C);
  API_POSITIVE(rec.H);
  API_POSITIVE(rec.W);
  API_GLOBAL(rec.global_addr, memset_byte_extent(&rec));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_memset_byte(rec.global_addr, rec.N, rec.C, rec.H, rec.W, rec.stride_n, rec.stride_c, rec.stride_h,
                         rec.stride_w, rec.value, node);
  });
}

// The source and destination bytes of one table row (a strided 4-D copy).
static void check_tensor_row(const memcpy_tensors_row_t *r, u32 index) {
  ASSERT(r->n > 0 && r->c > 0 && r->h > 0 && r->w > 0, "row %u: %d x %d x %d x %d", (unsigned)index, (int)r->n,
         (int)r->c, (int)r->h, (int)r->w);
  const i64 dims[4] = {r->n, r->c, r->h, r->w};
  const i64 src[4] = {r->src_stride_n, r->src_stride_c, r->src_stride_h, r->src_stride_w};
  const i64 dst[4] = {r->dst_stride_n, r->dst_stride_c, r->dst_stride_h, r->dst_stride_w};
  // An element size outside 1, 2 and 4 is the layer's to refuse; 4 bounds it.
  const u32 bytes = r->type_size == 1 || r->type_size == 2 ? r->type_size : 4;
  API_GLOBAL(r->src_addr, api_strided(bytes, 4, dims, src));
  API_GLOBAL(r->dst_addr, api_strided(bytes, 4, dims, dst));
}

u32 zv_api_memcpy_tensors(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_tensors_t, rec, param, size);
  const zv_api_memcpy_tensors_t *api = &rec;
  // The table is staged in the DTCM scratch window; a longer one would run
  // past its end into the engines' command windows.
  ASSERT(api->tensor_num <= MEMCPY_TENSORS_MAX_ROWS, "tensor_num=%u, at most %u rows of %u bytes fit",
         (unsigned)api->tensor_num, (unsigned)MEMCPY_TENSORS_MAX_ROWS, (unsigned)sizeof(memcpy_tensors_row_t));
  const int row = (int)sizeof(memcpy_tensors_row_t);
  const int rows = (int)api->tensor_num;
  API_GLOBAL(api->tensor_table_addr, api_dense(row, rows));
  // One node for both steps: the staging move, then the copies.
  return api_issue([&](cmd_id_node_t *node) {
    tensor_general_move_gen_cmd(api->tensor_table_addr, 0, 1, 1, rows, row, row * rows, row * rows, row, 1,
                                GDMA_VALUE_FORMAT_UINT8, DTCM_SCRATCH_START, 0, 1, 1, rows, row, row * rows,
                                row * rows, row, 1, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2S, 0, node);
    poll_all_engine_done(node);
    // Every row is checked before the first copy is issued, so that a bad row
    // leaves no copy of an earlier one behind.
    const u8 *table = (const u8 *)hw_ptr(DTCM_SCRATCH_START, api->tensor_num * (u32)row);
    for (u32 i = 0; i < api->tensor_num; i++) {
      memcpy_tensors_row_t r;
      memcpy(&r, table + i * (u32)row, sizeof r);
      check_tensor_row(&r, i);
    }
    nodechip_memcpy_tensors(api->tensor_num, table, node);
  });
}

u32 zv_api_memcpy_byte(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_byte_t, rec, param, size);
  const i64 len = rec.len > (u64)API_EXTENT_CAP ? API_EXTENT_CAP : (i64)rec.len;
  API_GLOBAL(rec.src, api_dense(1, len));
  API_GLOBAL(rec.dst, api_dense(1, len));
  return api_issue([&](cmd_id_node_t *node) { nodechip_memcpy_byte(rec.src, rec.dst, rec.len, node); });
}

// An element size outside 1, 2 and 4 is the layer's to refuse; 4 bounds it.
static u32 element_bytes(u32 type_size) { return type_size == 1 || type_size == 2 ? type_size : 4; }

u32 zv_api_memcpy_wstride(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_wstride_t, rec, param, size);
  const i64 dims[1] = {rec.count};
  const i64 src[1] = {rec.src_wstride}, dst[1] = {rec.dst_wstride};
  API_GLOBAL(rec.src, api_strided(element_bytes(rec.type_size), 1, dims, src));
  API_GLOBAL(rec.dst, api_strided(element_bytes(rec.type_size), 1, dims, dst));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_memcpy_wstride(rec.src, rec.dst, rec.src_wstride, rec.dst_wstride, rec.count, rec.type_size, node);
  });
}

u32 zv_api_memcpy_tensor(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_tensor_t, rec, param, size);
  const i64 dims[4] = {rec.N, rec.C, rec.H, rec.W};
  const i64 src[4] = {rec.src_stride_n, rec.src_stride_c, rec.src_stride_h, rec.src_stride_w};
  const i64 dst[4] = {rec.dst_stride_n, rec.dst_stride_c, rec.dst_stride_h, rec.dst_stride_w};
  API_GLOBAL(rec.src, api_strided(element_bytes(rec.type_size), 4, dims, src));
  API_GLOBAL(rec.dst, api_strided(element_bytes(rec.type_size), 4, dims, dst));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_memcpy_tensor(rec.src, rec.dst, rec.N, rec.C, rec.H, rec.W, rec.src_stride_n, rec.src_stride_c,
                           rec.src_stride_h, rec.src_stride_w, rec.dst_stride_n, rec.dst_stride_c, rec.dst_stride_h,
                           rec.dst_stride_w, rec.type_size, node);
  });
}

// The sort issues one CDMA command and waits for it itself: no node, no
// restart of the ids and no engine wait here.
u32 zv_api_sort(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_cv_sort_t, rec, param, size);
  API_GLOBAL(rec.src_key, api_dense(4, rec.len));
  API_GLOBAL(rec.dst_key, api_dense(4, rec.out_len));
  if (rec.index_enable) {
    if (!rec.auto_index) API_GLOBAL(rec.src_index, api_dense(4, rec.len));
    API_GLOBAL(rec.dst_index, api_dense(4, rec.out_len));
  }
  cdma_sort_move_cmd(rec.src_key, rec.dst_key, rec.len, rec.order, rec.index_enable ? 1 : 0, rec.auto_index ? 1 : 0,
                     rec.src_index, rec.dst_index, rec.out_len);
  return 0;
}
