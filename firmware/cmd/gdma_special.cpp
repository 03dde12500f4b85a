// GDMA special moves: matrices spread over the lanes in column sections,
// channel shifts across lanes (the cross-channel window of LRN), constant
// fills, the C/W exchange and the filter move with its count.
#include <string.h>

#include "runtime/engine_wait.h"
#include "runtime/assert.h"
#include "cmd/gdma.h"
#include "cmd/gdma_desc.h"
#include "runtime/hw.h"
#include "runtime/profile.h"
#include "cmd/tensor_shape.h"
#include "cmd/local_mem.h"

#define GDMA_GLOBAL_ADDR_LIMIT (1ull << 40)

#define ASSERT_FS_DIM(label, value, limit)                                                       \
  FW_ASSERT_IMPL_("ASSERT_FS", #label ">0 && " #label "<=" #limit, (value) > 0 && (value) <= (limit), \
                  #label "=%d", (int)(value))

static u32 tag_local(u32 offset, int lane) { return offset | LOCAL_ADDR_TAG | (u32)lane << 19; }

// ---- Matrices ----

// How a row_num x col_num matrix lies in the lanes: S sections (one per lane,
// from the start lane) of N' rows of W' elements each.
typedef struct {
  int sections, rows, width;
} matrix_layout_t;

static matrix_layout_t matrix_layout(int sec_size, int row_num, int col_num, int transpose) {
  const int cut = transpose ? row_num : col_num;
  matrix_layout_t m;
  m.sections = (cut + sec_size - 1) / sec_size;
  m.rows = transpose ? col_num : row_num;
  m.width = (transpose && m.sections == 1 && row_num < sec_size) ? row_num : sec_size;
  return m;
}

void matrix_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int sec_size, int row_num,
                         int col_num, gdma_value_format_t data_format, gdma_direction_t direction, int transpose,
                         cmd_id_node_t *node) {
  ASSERT_FS(direction == GDMA_VALUE_DIR_L2S || direction == GDMA_VALUE_DIR_S2L, "direction=%d", (int)direction);
  ASSERT_FS(sec_size > 0 && row_num >0 && col_num > 0, "row=%d, col=%d, sec=%d", row_num, col_num, sec_size);
  ASSERT(row_num<=65535 && col_num<=65535);
  // The section width is a 16-bit extent of the descriptor.
  ASSERT_FS(sec_size <= GDMA_MAX_W, "sec=%d", sec_size);
  ASSERT_FS(local_lane >= 0 && local_lane < NPU_NUM, "local lane %d", local_lane);
  ASSERT_FS(global_addr < GDMA_GLOBAL_ADDR_LIMIT, "global address beyond 40 bits");
  const matrix_layout_t m = matrix_layout(sec_size, row_num, col_num, transpose);
  const u64 local = tag_local(local_offset, local_lane);
  const int load = direction == GDMA_VALUE_DIR_S2L;
  const u64 src = load ? global_addr : local;
  const u64 dst = load ? local : global_addr;
  // The local side is (N', S, 1, W'), the global side (1, 1, row_num, col_num).
  const u32 local_shape[4] = {(u32)m.rows, (u32)m.sections, 1, (u32)m.width};
  const u32 global_shape[4] = {1, 1, (u32)row_num, (u32)col_num};
  const u32 *src_shape = load ? global_shape : local_shape;
  const u32 *dst_shape = load ? local_shape : global_shape;
  gdma_compose_t c;
  gdma_compose_begin(&c);
  gdma_compose_addrs(&c, src, dst);
  gdma_compose_set(&c, GDMA_FIELD_SRC_FORMAT, (u32)data_format);
  gdma_compose_set(&c, GDMA_FIELD_LAYOUT, 0);
  gdma_compose_set(&c, GDMA_FIELD_MATRIX, 1);
  gdma_compose_set(&c, GDMA_FIELD_MODE, (u32)(transpose != 0));
  gdma_compose_set(&c, GDMA_FIELD_DIRECTION, (u32)direction);
  gdma_compose_set(&c, GDMA_FIELD_SRC_N, src_shape[0]);
  gdma_compose_set(&c, GDMA_FIELD_SRC_C, src_shape[1]);
  gdma_compose_set(&c, GDMA_FIELD_SRC_H, src_shape[2]);
  gdma_compose_set(&c, GDMA_FIELD_SRC_W, src_shape[3]);
  gdma_compose_set(&c, GDMA_FIELD_DST_N, dst_shape[0]);
  gdma_compose_set(&c, GDMA_FIELD_DST_C, dst_shape[1]);
  gdma_compose_set(&c, GDMA_FIELD_DST_H, dst_shape[2]);
  gdma_compose_set(&c, GDMA_FIELD_DST_W, dst_shape[3]);
  gdma_compose_issue(&c, node);
}

void general_matrix_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int sec_size, int row_num,
                                 int col_num, int global_row_stride, gdma_value_format_t data_format,
                                 gdma_direction_t direction, int transpose, int result_add,
                                 cmd_id_node_t *node) {
  ASSERT_FS(direction == GDMA_VALUE_DIR_L2S || direction == GDMA_VALUE_DIR_S2L, "direction=%d", (int)direction);
  ASSERT_FS(sec_size > 0 && row_num >0 && col_num > 0, "row=%d, col=%d, sec=%d", row_num, col_num, sec_size);
  ASSERT_FS(!result_add || (result_add && data_format == 0));
  ASSERT(row_num<=65535 && col_num<=65535);
  // Written directly: a section width beyond its 16-bit field, a format
  // without an element size (the row padding divides by it), a lane or an
  // address beyond their fields are refused before anything is written.
  ASSERT_FS(sec_size <= GDMA_MAX_W, "sec=%d", sec_size);
  const int size = get_type_len(data_format);
  ASSERT_FS(size == 1 || size == 2 || size == 4, "data_format=%d has no element size", (int)data_format);
  ASSERT_FS(local_lane >= 0 && local_lane < NPU_NUM, "local lane %d", local_lane);
  ASSERT_FS(global_addr < GDMA_GLOBAL_ADDR_LIMIT, "global address beyond 40 bits");
  const matrix_layout_t m = matrix_layout(sec_size, row_num, col_num, transpose);
  // Local rows padded to 128 bytes.
  const int pad = 32 * (4 / size);
  const int row = (int)align_up(m.width, pad);
  const u32 local_stride[4] = {(u32)row * lane_rows((u32)local_lane, (u32)m.sections), (u32)row, (u32)row, 1};
  const u32 global_stride[4] = {0, 0, (u32)global_row_stride, 1};
  const u32 local_shape[4] = {(u32)m.rows, (u32)m.sections, 1, (u32)m.width};
  const u32 global_shape[4] = {1, 1, (u32)row_num, (u32)col_num};
  const int load = direction == GDMA_VALUE_DIR_S2L;
  const u64 local = tag_local(local_offset, local_lane);
  const u64 src = load ? global_addr : local;
  const u64 dst = load ? local : global_addr;
  const u32 *src_stride = load ? global_stride : local_stride;
  const u32 *dst_stride = load ? local_stride : global_stride;
  const u32 *src_shape = load ? global_shape : local_shape;
  const u32 *dst_shape = load ? local_shape : global_shape;

  gdma_desc_t d;
  gdma_desc_init(&d);
  gdma_desc_set(&d, GDMA_FIELD_STRIDE_EN, 1);
  gdma_desc_set(&d, GDMA_FIELD_DIRECTION, (u32)direction);
  gdma_desc_set(&d, GDMA_FIELD_RESULT_ADD, result_add ? 1 : 0);
  gdma_desc_set(&d, GDMA_FIELD_MODE, (u32)(transpose != 0));
  gdma_desc_set(&d, GDMA_FIELD_DST_FORMAT, (u32)data_format);
  gdma_desc_set(&d, GDMA_FIELD_SRC_FORMAT, (u32)data_format);
  gdma_desc_set(&d, GDMA_FIELD_MATRIX, 1);
  gdma_desc_set(&d, GDMA_FIELD_WORD2, 0);
  gdma_desc_strides(&d, src_stride, dst_stride);
  gdma_desc_set(&d, GDMA_FIELD_SRC_N, src_shape[0]);
  gdma_desc_set(&d, GDMA_FIELD_SRC_C, src_shape[1]);
  gdma_desc_set(&d, GDMA_FIELD_SRC_H, src_shape[2]);
  gdma_desc_set(&d, GDMA_FIELD_SRC_W, src_shape[3]);
  gdma_desc_set(&d, GDMA_FIELD_DST_N, dst_shape[0]);
  gdma_desc_set(&d, GDMA_FIELD_DST_C, dst_shape[1]);
  gdma_desc_set(&d, GDMA_FIELD_DST_H, dst_shape[2]);
  gdma_desc_set(&d, GDMA_FIELD_DST_W, dst_shape[3]);
  gdma_desc_set(&d, GDMA_FIELD_SRC_ADDR_LO, (u32)src);
  gdma_desc_set(&d, GDMA_FIELD_DST_ADDR_LO, (u32)dst);
  gdma_desc_set(&d, GDMA_FIELD_SRC_ADDR_HI, (u32)(src >> 32));
  gdma_desc_set(&d, GDMA_FIELD_DST_ADDR_HI, (u32)(dst >> 32));
  gdma_desc_shifts(&d, 0, 0, 0, 0);
  gdma_desc_issue(&d, node);
}

// ---- Channel shifts across lanes ----

u32 get_addr_by_featuremap_shift(u32 local_addr, int shift, int lane_bytes) {
  u32 lane = (local_addr - LOCAL_ADDR_TAG) >> 19;
  const u32 offset = local_addr & 0x7ffffu;
  if (shift >= 0) {
    const u32 k = lane + (u32)shift;
    return LOCAL_ADDR_TAG + ((k % NPU_NUM) << 19) + offset + (u32)lane_bytes * (k / NPU_NUM);
  }
  const u32 t = (u32)(-(i64)shift);
  u32 q = t / NPU_NUM;
  const u32 r = t % NPU_NUM;
  if (r > lane) {
    q = q + 1;
    lane = lane + NPU_NUM;
  }
  return LOCAL_ADDR_TAG + ((lane - r) << 19) + offset - (u32)lane_bytes * q;
}

void lrn_shift_gen_cmd(u32 src_offset, int local_mem_idx, u32 dst_offset, int N, int C, int H, int W,
                       gdma_value_format_t data_format, int lrn_direction, int lrn_step, int result_add,
                       cmd_id_node_t *node) {
  ASSERT_FS_DIM(N, N, GDMA_MAX_N);
  ASSERT_FS_DIM(C, C, GDMA_MAX_C);
  ASSERT_FS_DIM(H, H, GDMA_MAX_H);
  ASSERT_FS_DIM(W, W, GDMA_MAX_W);
  ASSERT_FS(lrn_direction == GDMA_VALUE_LRN_SHIFT_LEFT || lrn_step + local_mem_idx < NPU_NUM,
            "when lrn shift right, lrn_step=%d + local_mem_idx=%d must be less than npu_num=%d", lrn_step,
            local_mem_idx, NPU_NUM);
  ASSERT_FS(C > lrn_step, "C=%d, lrn_step=%d", C, lrn_step);
  ASSERT_FS(!result_add || (result_add && data_format == GDMA_VALUE_FORMAT_FLOAT32), "result_add=%d, data_format=%d",
            result_add, (int)data_format);
  const int plane = (int)eu_plane((u32)H * (u32)W);
  const int slot = 4 * plane;
  const u32 nstride = (u32)plane * lane_rows((u32)local_mem_idx, (u32)C);
  const u32 a = src_offset + ((u32)local_mem_idx << 19) + LOCAL_ADDR_TAG;
  const u32 b = dst_offset + ((u32)local_mem_idx << 19) + LOCAL_ADDR_TAG;
  const int right = lrn_direction != GDMA_VALUE_LRN_SHIFT_LEFT;
  const u32 src = right ? a : get_addr_by_featuremap_shift(a, lrn_step, slot);
  const u32 dst = right ? get_addr_by_featuremap_shift(b, lrn_step, slot) : b;
  gdma_compose_t c;
  gdma_compose_begin(&c);
  gdma_compose_set(&c, GDMA_FIELD_SRC_ADDR_LO, src);
  gdma_compose_set(&c, GDMA_FIELD_SRC_ADDR_HI, 0);
  gdma_compose_set(&c, GDMA_FIELD_DST_ADDR_LO, dst);
  gdma_compose_set(&c, GDMA_FIELD_DST_ADDR_HI, 0);
  gdma_compose_set(&c, GDMA_FIELD_SRC_N, (u32)N);
  gdma_compose_set(&c, GDMA_FIELD_SRC_C, (u32)(C - lrn_step));
  gdma_compose_set(&c, GDMA_FIELD_SRC_H, (u32)H);
  gdma_compose_set(&c, GDMA_FIELD_SRC_W, (u32)W);
  gdma_compose_set(&c, GDMA_FIELD_SRC_FORMAT, (u32)data_format);
  gdma_compose_set(&c, GDMA_FIELD_SRC_NSTRIDE, nstride);
  gdma_compose_set(&c, GDMA_FIELD_SRC_CSTRIDE, (u32)plane);
  gdma_compose_set(&c, GDMA_FIELD_SRC_HSTRIDE, (u32)W);
  gdma_compose_set(&c, GDMA_FIELD_SRC_WSTRIDE, 1);
  gdma_compose_set(&c, GDMA_FIELD_DST_NSTRIDE, nstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_CSTRIDE, (u32)plane);
  gdma_compose_set(&c, GDMA_FIELD_DST_HSTRIDE, (u32)W);
  gdma_compose_set(&c, GDMA_FIELD_DST_WSTRIDE, 1);
  gdma_compose_set(&c, GDMA_FIELD_STRIDE_EN, 1);
  gdma_compose_set(&c, GDMA_FIELD_MODE, GDMA_MODE_LRN_SHIFT);
  gdma_compose_set(&c, GDMA_FIELD_DIRECTION, GDMA_VALUE_DIR_L2L);
  gdma_compose_set(&c, GDMA_FIELD_LRN_DIR, (u32)right);
  gdma_compose_set(&c, GDMA_FIELD_LRN_STEP, (u32)lrn_step);
  gdma_compose_set(&c, GDMA_FIELD_RESULT_ADD, result_add ? 1u : 0u);
  gdma_compose_issue(&c, node);
}

// ---- Constant fills ----

static void fill_issue(u64 dst, const void *value, gdma_value_format_t format, int N, int C, int H, int W,
                       int nstride, int cstride, int hstride, int wstride, gdma_direction_t direction,
                       cmd_id_node_t *node) {
  // The constant's bytes in a zeroed word: 1- and 2-byte constants are zero-extended.
  u32 constant = 0;
  const int size = get_type_len(format);
  if (size > 0) memcpy(&constant, value, (size_t)size);
  gdma_compose_t c;
  gdma_compose_begin(&c);
  gdma_compose_set(&c, GDMA_FIELD_DST_ADDR_LO, (u32)dst);
  gdma_compose_set(&c, GDMA_FIELD_DST_ADDR_HI, (u32)(dst >> 32));
  gdma_compose_set(&c, GDMA_FIELD_SRC_FORMAT, (u32)format);
  gdma_compose_set(&c, GDMA_FIELD_DST_N, (u32)N);
  gdma_compose_set(&c, GDMA_FIELD_DST_C, (u32)C);
  gdma_compose_set(&c, GDMA_FIELD_DST_H, (u32)H);
  gdma_compose_set(&c, GDMA_FIELD_DST_W, (u32)W);
  gdma_compose_set(&c, GDMA_FIELD_LAYOUT, 0);
  gdma_compose_set(&c, GDMA_FIELD_DST_NSTRIDE, (u32)nstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_CSTRIDE, (u32)cstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_HSTRIDE, (u32)hstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_WSTRIDE, (u32)wstride);
  gdma_compose_set(&c, GDMA_FIELD_STRIDE_EN, 1);
  gdma_compose_set(&c, GDMA_FIELD_MODE, GDMA_MODE_FILL);
  gdma_compose_set(&c, GDMA_FIELD_FILL_VALUE, constant);
  gdma_compose_set(&c, GDMA_FIELD_DIRECTION, (u32)direction);
  gdma_compose_issue(&c, node);
}

void fill_constant_gen_local_cmd_stride(u32 local_offset, int local_lane, const void *value,
                                        gdma_value_format_t format, int N, int C, int H, int W, int nstride,
                                        int cstride, int hstride, int wstride, cmd_id_node_t *node) {
  ASSERT_FS_DIM(N, N, GDMA_MAX_N);
  ASSERT_FS_DIM(C, C, GDMA_MAX_C);
  ASSERT_FS_DIM(H, H, GDMA_MAX_H);
  ASSERT_FS_DIM(W, W, GDMA_MAX_W);
  CHECK_TENSOR_PARAM(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, GDMA_VALUE_FORMAT_FLOAT32, N, C, H, W, hstride, wstride, 0, 0,
                     format);
  fill_issue(tag_local(local_offset, local_lane), value, format, N, C, H, W, nstride, cstride, hstride, wstride,
             GDMA_VALUE_DIR_L2L, node);
}

void fill_constant_gen_global_cmd_stride(u64 global_addr, const void *value, gdma_value_format_t format, int N,
                                         int C, int H, int W, int nstride, int cstride, int hstride,
                                         int wstride, cmd_id_node_t *node) {
  ASSERT_FS_DIM(N, N, GDMA_MAX_N);
  ASSERT_FS_DIM(C, C, GDMA_MAX_C);
  ASSERT_FS_DIM(H, H, GDMA_MAX_H);
  ASSERT_FS_DIM(W, W, GDMA_MAX_W);
  CHECK_TENSOR_PARAM(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, GDMA_VALUE_FORMAT_FLOAT32, N, C, H, W, hstride, wstride, 0, 0,
                     format);
  ASSERT_FS(global_addr < GDMA_GLOBAL_ADDR_LIMIT, "global address beyond 40 bits");
  fill_issue(global_addr, value, format, N, C, H, W, nstride, cstride, hstride, wstride, GDMA_VALUE_DIR_S2S, node);
}

// ---- C/W exchange ----

void cwtrans_gen_cmd(u64 src_addr, u64 dst_addr, int iC, int iW, gdma_value_format_t format, int src_cstride,
                     int dst_cstride, cmd_id_node_t *node) {
  ASSERT_FS(iC > 0 && iW > 0, "C=%d, W=%d", iC, iW);
  ASSERT_FS(src_addr < GDMA_GLOBAL_ADDR_LIMIT && dst_addr < GDMA_GLOBAL_ADDR_LIMIT,
            "address beyond 40 bits");
  gdma_compose_t c;
  gdma_compose_begin(&c);
  gdma_compose_addrs(&c, src_addr, dst_addr);
  gdma_compose_set(&c, GDMA_FIELD_SRC_FORMAT, (u32)format);
  gdma_compose_set(&c, GDMA_FIELD_SRC_N, 1);
  gdma_compose_set(&c, GDMA_FIELD_SRC_C, (u32)iC);
  gdma_compose_set(&c, GDMA_FIELD_SRC_H, 1);
  gdma_compose_set(&c, GDMA_FIELD_SRC_W, (u32)iW);
  gdma_compose_set(&c, GDMA_FIELD_DST_N, 1);
  gdma_compose_set(&c, GDMA_FIELD_DST_C, (u32)iW);
  gdma_compose_set(&c, GDMA_FIELD_DST_H, 1);
  gdma_compose_set(&c, GDMA_FIELD_DST_W, (u32)iC);
  gdma_compose_set(&c, GDMA_FIELD_LAYOUT, 0);
  gdma_compose_set(&c, GDMA_FIELD_SRC_WSTRIDE, 1);
  gdma_compose_set(&c, GDMA_FIELD_SRC_CSTRIDE, (u32)src_cstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_WSTRIDE, 1);
  gdma_compose_set(&c, GDMA_FIELD_DST_CSTRIDE, (u32)dst_cstride);
  gdma_compose_set(&c, GDMA_FIELD_STRIDE_EN, 1);
  gdma_compose_set(&c, GDMA_FIELD_DIRECTION, GDMA_VALUE_DIR_L2L);
  gdma_compose_set(&c, GDMA_FIELD_MODE, GDMA_MODE_TRANS_CW);
  gdma_compose_issue(&c, node);
}

// ---- Filter ----

void tensor_general_move_with_mask_gen_cmd(u64 src_addr, int local_lane, u64 mask_addr, u64 dst_addr, int N,
                                           int C, int H, int W, gdma_direction_t direction,
                                           cmd_id_node_t *node) {
  ASSERT_FS_DIM(N, N, GDMA_MAX_N);
  ASSERT_FS_DIM(C, C, GDMA_MAX_C);
  ASSERT_FS_DIM(H, H, GDMA_MAX_H);
  ASSERT_FS_DIM(W, W, GDMA_MAX_W);
  ASSERT_FS(GDMA_VALUE_DIR_L2S == direction, "direction must be L2S");
  ASSERT_FS(0 == (src_addr & 0x7f), "src addr must alignment to 128 bytes");
  ASSERT_FS(0 == (mask_addr & 0x7f), "mask addr must alignment to 128 bytes");
  ASSERT_FS(0 == (dst_addr & 0x1ff), "dst addr must alignment to 512 bytes");
  // Written directly: the local addresses are 32-bit words and the destination
  // has 40 bits.
  ASSERT_FS((src_addr >> 32) == 0 && (mask_addr >> 32) == 0, "local addresses beyond 32 bits");
  ASSERT_FS(dst_addr < GDMA_GLOBAL_ADDR_LIMIT, "dst addr beyond 40 bits");
  ASSERT_FS(local_lane >= 0 && local_lane < NPU_NUM, "local lane %d", local_lane);
  const u32 tag = LOCAL_ADDR_TAG | (u32)local_lane << 19;
  gdma_desc_t d;
  gdma_desc_init(&d);
  gdma_desc_set(&d, GDMA_FIELD_DIRECTION, GDMA_VALUE_DIR_L2S);
  gdma_desc_set(&d, GDMA_FIELD_MODE, GDMA_MODE_FILTER);
  gdma_desc_set(&d, GDMA_FIELD_WORD2, 0);
  // No strides: the engine lays out both local tensors.
  const u32 none[4] = {0, 0, 0, 0};
  gdma_desc_strides(&d, none, none);
  gdma_desc_set(&d, GDMA_FIELD_COUNT, (u32)N * (u32)C * (u32)H * (u32)W);
  gdma_desc_set(&d, GDMA_FIELD_MASK_ADDR, (u32)mask_addr | tag);
  gdma_desc_set(&d, GDMA_FIELD_SRC_N, (u32)N);
  gdma_desc_set(&d, GDMA_FIELD_SRC_C, (u32)C);
  gdma_desc_set(&d, GDMA_FIELD_SRC_H, (u32)H);
  gdma_desc_set(&d, GDMA_FIELD_SRC_W, (u32)W);
  gdma_desc_set(&d, GDMA_FIELD_DST_N, (u32)N);
  gdma_desc_set(&d, GDMA_FIELD_DST_C, (u32)C);
  gdma_desc_set(&d, GDMA_FIELD_DST_H, (u32)H);
  gdma_desc_set(&d, GDMA_FIELD_DST_W, (u32)W);
  gdma_desc_set(&d, GDMA_FIELD_SRC_ADDR_LO, (u32)src_addr | tag);
  gdma_desc_set(&d, GDMA_FIELD_DST_ADDR_LO, (u32)dst_addr);
  gdma_desc_set(&d, GDMA_FIELD_SRC_ADDR_HI, (u32)(src_addr >> 32));
  gdma_desc_set(&d, GDMA_FIELD_DST_ADDR_HI, (u32)(dst_addr >> 32));
  gdma_desc_shifts(&d, 0, 0, 0, 0);
  gdma_desc_issue(&d, node);
}

int get_gdma_filter_res_num_gen_cmd(cmd_id_node_t *node) {
  profile_time_data_t *record = profile_time_begin_wait_node(node);
  poll_all_engine_done_internal(node);
  profile_time_end(record);
  return (s32)hw_read32(GDMA_REG_FILTER_COUNT) >> 2;
}
