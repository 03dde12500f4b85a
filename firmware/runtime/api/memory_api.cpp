// Memory API handlers: 1 memset, 2 memcpy, 136 memcpy_byte, 137 memcpy_wstride,
// 138 memcpy_tensor, 177 memset_byte, 183 memcpy_tensors, and 508 the CDMA sort.
#include "runtime/engine_wait.h"
#include "cmd/gdma.h"
#include "runtime/hw.h"
#include "cmd/memory_fill_copy.h"
#include "cmd/cdma_sort.h"
#include "runtime/api/dispatch.h"

// API 1 modes 1 to 3 fill one byte lane per command, in pieces of this many
// elements.
#define MEMSET_PIECE 32768u

// One byte lane of a pattern fill: `count` elements `mode` bytes apart from
// `addr`, with its own restart and wait.
static void memset_lane_piece(u64 addr, u32 mode, u32 count, u8 byte) {
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  fill_constant_gen_global_cmd_stride(addr, &byte, GDMA_VALUE_FORMAT_UINT8, 1, 1, (int)count, 1,
                                      (int)(count * mode), (int)(count * mode), (int)mode, 1, &node);
  poll_all_engine_done(&node);
}

u32 zv_api_memset(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memset_t, rec, param, size);
  const zv_api_memset_t *api = &rec;
  ASSERT((api->mode==1) ||(api->mode==2) || (api->mode==3) ||(api->mode==4));
  if (api->mode == 4) {
    const u32 words = api->byte_count / 4;
    // Fewer than 4 bytes: no whole word to fill (the tail is never filled).
    if (words == 0) return 0;
    cmd_id_node_t node = {};
    resync_cmd_id(&node);
    nodechip_memset(api->global_addr, 1, 1, 1, (int)words, (int)words, (int)words, (int)words, api->value, &node);
    poll_all_engine_done(&node);
    return 0;
  }
  // Every mode-th byte per lane; the last byte_count % mode bytes are left.
  const u32 elements = api->byte_count / api->mode;
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
  const zv_api_memcpy_t *api = &rec;
  if (api->N == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_memcpy(api->src_addr, api->dst_addr, api->N, api->src_stride_n, api->dst_stride_n, api->W, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_memset_byte(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memset_byte_t, rec, param, size);
  const zv_api_memset_byte_t *api = &rec;
  if (api->N == 0) return 0;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_memset_byte(api->global_addr, api->N, api->C, api->H, api->W, api->stride_n, api->stride_c, api->stride_h,
                       api->stride_w, api->value, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_memcpy_tensors(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_tensors_t, rec, param, size);
  const zv_api_memcpy_tensors_t *api = &rec;
  // The table is staged in the DTCM scratch window; a longer one would run
  // past its end into the engines' command windows.
  ASSERT(api->tensor_num <= MEMCPY_TENSORS_MAX_ROWS, "tensor_num=%u, at most %u rows of %u bytes fit",
         (unsigned)api->tensor_num, (unsigned)MEMCPY_TENSORS_MAX_ROWS, (unsigned)sizeof(memcpy_tensors_row_t));
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  const int row = (int)sizeof(memcpy_tensors_row_t);
  const int rows = (int)api->tensor_num;
  tensor_general_move_gen_cmd(api->tensor_table_addr, 0, 1, 1, rows, row, row * rows, row * rows, row, 1,
                              GDMA_VALUE_FORMAT_UINT8, DTCM_SCRATCH_START, 0, 1, 1, rows, row, row * rows,
                              row * rows, row, 1, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2S, 0, &node);
  poll_all_engine_done(&node);
  nodechip_memcpy_tensors(api->tensor_num, hw_ptr(DTCM_SCRATCH_START, api->tensor_num * (u32)row), &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_memcpy_byte(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_byte_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_memcpy_byte(rec.src, rec.dst, rec.len, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_memcpy_wstride(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_wstride_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_memcpy_wstride(rec.src, rec.dst, rec.src_wstride, rec.dst_wstride, rec.count, rec.type_size, &node);
  poll_all_engine_done(&node);
  return 0;
}

u32 zv_api_memcpy_tensor(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_memcpy_tensor_t, rec, param, size);
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  nodechip_memcpy_tensor(rec.src, rec.dst, rec.N, rec.C, rec.H, rec.W, rec.src_stride_n, rec.src_stride_c,
                         rec.src_stride_h, rec.src_stride_w, rec.dst_stride_n, rec.dst_stride_c, rec.dst_stride_h,
                         rec.dst_stride_w, rec.type_size, &node);
  poll_all_engine_done(&node);
  return 0;
}

// The sort issues one CDMA command and waits for it itself: no node, no
// restart of the ids and no engine wait here.
u32 zv_api_cv_sort(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_cv_sort_t, rec, param, size);
  cdma_sort_move_cmd(rec.src_key, rec.dst_key, rec.len, rec.order, rec.index_enable ? 1 : 0, rec.auto_index ? 1 : 0,
                     rec.src_index, rec.dst_index, rec.out_len);
  return 0;
}
