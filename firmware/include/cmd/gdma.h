// GDMA: the engine that moves tensors between device memory, L2 SRAM, the DTCM
// scratch window and the lanes' local memories, converting, transposing and
// filling on the way.
//
// A descriptor is 23 words at GDMA_CMD_WINDOW; it is composed field by field
// over the default image and issued with only its touched words stored
// (gdma_compose_t), or written directly (the general, shifted, strided-matrix
// and filter moves). Either way it takes a new GDMA id from the
// caller's node and waits for the node's tensor-engine id.
//
// Addresses: a global address is a 40-bit device address (or an L2 SRAM or
// DTCM address for flat copies); a local address is LOCAL_ADDR_TAG | start
// lane << 19 | byte offset in the lane's 512 KB. Channel c of a local tensor
// lives in lane (start lane + c) % 64, one channel stride further on for every
// 64 channels.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/gdma_split.h"

// The full int range: a descriptor code outside the four names must reach the
// generators' checks as the value it is.
typedef enum : int {
  GDMA_VALUE_FORMAT_FLOAT32 = 0,  // 4 bytes
  GDMA_VALUE_FORMAT_INT16 = 1,    // 2 bytes
  GDMA_VALUE_FORMAT_UINT8 = 2,    // 1 byte
  GDMA_VALUE_FORMAT_INT8 = 3,     // 1 byte
} gdma_value_format_t;

typedef enum {
  GDMA_VALUE_DIR_S2L = 0,  // global to local
  GDMA_VALUE_DIR_L2S = 1,  // local to global
  GDMA_VALUE_DIR_S2S = 2,  // global to global
  GDMA_VALUE_DIR_L2L = 3,  // local to local
} gdma_direction_t;

// Descriptor word 1 bits 0-2.
typedef enum {
  GDMA_MODE_PLAIN = 0,
  GDMA_MODE_TRANS_NC = 1,  // N and C exchanged between source and destination
  GDMA_MODE_LRN_SHIFT = 2,
  GDMA_MODE_CONVERT = 3,   // source and destination formats differ
  GDMA_MODE_FILL = 4,
  GDMA_MODE_TRANS_CW = 5,
  GDMA_MODE_FILTER = 7,
} gdma_move_mode_t;

#define GDMA_VALUE_LRN_SHIFT_LEFT 0
#define GDMA_VALUE_LRN_SHIFT_RIGHT 1

// Filter count: the elements written by the last filter move, shifted left by 2.
#define GDMA_REG_FILTER_COUNT 0x58000068u

// ---- Descriptor fields (beside the header fields of cmd_common.h) ----
static constexpr cmd_field_id_t GDMA_FIELD_STRIDE_EN = CMD_FIELD(5, 1);   // words 4-11 hold strides
static constexpr cmd_field_id_t GDMA_FIELD_DIRECTION = CMD_FIELD(6, 2);
static constexpr cmd_field_id_t GDMA_FIELD_RESULT_ADD = CMD_FIELD(8, 1);  // add to the destination
static constexpr cmd_field_id_t GDMA_FIELD_FLAT_COPY = CMD_FIELD(9, 1);   // word 4 holds a count
static constexpr cmd_field_id_t GDMA_FIELD_FIXED10 = CMD_FIELD(10, 1);    // 1 in the default image
static constexpr cmd_field_id_t GDMA_FIELD_MODE = CMD_FIELD(32, 3);
static constexpr cmd_field_id_t GDMA_FIELD_DST_FORMAT = CMD_FIELD(35, 3);
static constexpr cmd_field_id_t GDMA_FIELD_LAYOUT = CMD_FIELD(38, 1);
static constexpr cmd_field_id_t GDMA_FIELD_MATRIX = CMD_FIELD(39, 1);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_FORMAT = CMD_FIELD(40, 3);
static constexpr cmd_field_id_t GDMA_FIELD_LRN_STEP = CMD_FIELD(43, 4);
static constexpr cmd_field_id_t GDMA_FIELD_LRN_DIR = CMD_FIELD(47, 1);
static constexpr cmd_field_id_t GDMA_FIELD_WORD2 = CMD_FIELD(64, 32);
static constexpr cmd_field_id_t GDMA_FIELD_FILL_VALUE = CMD_FIELD(96, 32);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_NSTRIDE = CMD_FIELD(128, 32);
static constexpr cmd_field_id_t GDMA_FIELD_COUNT = CMD_FIELD(128, 32);  // flat copy, filter
static constexpr cmd_field_id_t GDMA_FIELD_SRC_CSTRIDE = CMD_FIELD(160, 32);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_HSTRIDE = CMD_FIELD(192, 32);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_WSTRIDE = CMD_FIELD(224, 32);
static constexpr cmd_field_id_t GDMA_FIELD_DST_NSTRIDE = CMD_FIELD(256, 32);
static constexpr cmd_field_id_t GDMA_FIELD_MASK_ADDR = CMD_FIELD(256, 32);  // filter
static constexpr cmd_field_id_t GDMA_FIELD_DST_CSTRIDE = CMD_FIELD(288, 32);
static constexpr cmd_field_id_t GDMA_FIELD_DST_HSTRIDE = CMD_FIELD(320, 32);
static constexpr cmd_field_id_t GDMA_FIELD_DST_WSTRIDE = CMD_FIELD(352, 32);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_N = CMD_FIELD(384, 16);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_C = CMD_FIELD(400, 16);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_H = CMD_FIELD(416, 16);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_W = CMD_FIELD(432, 16);
static constexpr cmd_field_id_t GDMA_FIELD_DST_N = CMD_FIELD(448, 16);
static constexpr cmd_field_id_t GDMA_FIELD_DST_C = CMD_FIELD(464, 16);
static constexpr cmd_field_id_t GDMA_FIELD_DST_H = CMD_FIELD(480, 16);
static constexpr cmd_field_id_t GDMA_FIELD_DST_W = CMD_FIELD(496, 16);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_ADDR_LO = CMD_FIELD(512, 32);
static constexpr cmd_field_id_t GDMA_FIELD_DST_ADDR_LO = CMD_FIELD(544, 32);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_ADDR_HI = CMD_FIELD(576, 8);
static constexpr cmd_field_id_t GDMA_FIELD_DST_ADDR_HI = CMD_FIELD(584, 8);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_HSHIFT = CMD_FIELD(608, 8);
static constexpr cmd_field_id_t GDMA_FIELD_SRC_WSHIFT = CMD_FIELD(616, 8);
static constexpr cmd_field_id_t GDMA_FIELD_DST_HSHIFT = CMD_FIELD(624, 8);
static constexpr cmd_field_id_t GDMA_FIELD_DST_WSHIFT = CMD_FIELD(632, 8);

extern "C" {

// ---- Tensor moves ----

// The move every layer uses: any two tensors given by shape and stride. An
// address is a global address, or a local offset when the direction makes that
// side local (its lane argument then gives the start lane). A move with equal
// shapes and no transpose is cut to the engine's limits.
void tensor_general_move_gen_cmd(u64 src_addr, int src_lane, int src_N, int src_C, int src_H, int src_W,
                                 int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                 gdma_value_format_t src_format, u64 dst_addr, int dst_lane, int dst_N,
                                 int dst_C, int dst_H, int dst_W, int dst_nstride, int dst_cstride,
                                 int dst_hstride, int dst_wstride, gdma_value_format_t dst_format,
                                 gdma_direction_t direction, int transpose, cmd_id_node_t *node);
// One descriptor of the general move, written directly.
void __tensor_general_move_gen_cmd(u64 src_addr, int src_lane, int src_N, int src_C, int src_H, int src_W,
                                   int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                   gdma_value_format_t src_format, u64 dst_addr, int dst_lane, int dst_N,
                                   int dst_C, int dst_H, int dst_W, int dst_nstride, int dst_cstride,
                                   int dst_hstride, int dst_wstride, gdma_value_format_t dst_format,
                                   gdma_direction_t direction, int transpose, cmd_id_node_t *node);
// The general move with sub-element shifts (0-255 each), never cut.
void tensor_general_move_gen_cmd_with_shift_fast(
    u64 src_addr, int src_lane, int src_N, int src_C, int src_H, int src_W, int src_nstride, int src_cstride,
    int src_hstride, int src_wstride, int src_hshift, int src_wshift, gdma_value_format_t src_format,
    u64 dst_addr, int dst_lane, int dst_N, int dst_C, int dst_H, int dst_W, int dst_nstride, int dst_cstride,
    int dst_hstride, int dst_wstride, int dst_hshift, int dst_wshift, gdma_value_format_t dst_format,
    gdma_direction_t direction, int transpose, cmd_id_node_t *node);

// Strided move between global and local memory in one format; the first
// strides are the source side's (global for S2L, local for L2S).
void tensor_stride_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C, int H, int W,
                                int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                int dst_nstride, int dst_cstride, int dst_hstride, int dst_wstride,
                                gdma_value_format_t format, gdma_direction_t direction, int transpose,
                                cmd_id_node_t *node);
void __tensor_stride_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C, int H, int W,
                                  int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                  int dst_nstride, int dst_cstride, int dst_hstride, int dst_wstride,
                                  gdma_value_format_t format, gdma_direction_t direction, int transpose,
                                  cmd_id_node_t *node);

// Float32 moves between an EU-aligned local tensor and a global tensor with
// the given n and c strides.
void general_align_tensor_move_L2G_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C,
                                           int H, int W, int global_nstride, int global_cstride,
                                           cmd_id_node_t *node);
void general_align_tensor_move_G2L_gen_cmd(u64 global_addr, u32 local_offset, int local_lane, int N, int C,
                                           int H, int W, int global_nstride, int global_cstride,
                                           cmd_id_node_t *node);

// A dense global tensor to or from an EU-aligned local tensor (the engine
// derives both layouts).
void tensor_align_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C, int H, int W,
                               gdma_value_format_t format, gdma_direction_t direction, int transpose,
                               cmd_id_node_t *node);
// A dense global tensor to or from a compact local tensor (channel stride H*W).
void tensor_compact_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C, int H, int W,
                                 gdma_value_format_t format, gdma_direction_t direction, int transpose,
                                 cmd_id_node_t *node);

// Flat copy of count elements; both addresses are used as they are.
void general_gdma_gen_cmd(u64 src_addr, u64 dst_addr, gdma_value_format_t format, int count,
                          gdma_direction_t direction, cmd_id_node_t *node);

// Returns when the engine accepts the combination, else fails an assertion.
void CHECK_TENSOR_PARAM(int is_fill, int is_transpose, int src_nsize, int src_csize, int src_hsize,
                        int src_wsize, int src_hstride, int src_wstride, int src_hshift, int src_wshift,
                        gdma_value_format_t src_format, int dst_nsize, int dst_csize, int dst_hsize,
                        int dst_wsize, int dst_hstride, int dst_wstride, int dst_hshift, int dst_wshift,
                        gdma_value_format_t dst_format);

// ---- Matrix, shift, fill, transpose and filter moves ----

// A row_num x col_num global matrix to or from column sections of sec_size
// elements, section j in lane (local_lane + j) % 64 (rows cut into sections
// under transpose). The engine lays out both sides.
void matrix_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int sec_size, int row_num,
                         int col_num, gdma_value_format_t data_format, gdma_direction_t direction, int transpose,
                         cmd_id_node_t *node);
// The same with global rows global_row_stride elements apart and local rows
// padded to 128 bytes; result_add adds the moved values to the destination.
void general_matrix_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int sec_size, int row_num,
                                 int col_num, int global_row_stride, gdma_value_format_t data_format,
                                 gdma_direction_t direction, int transpose, int result_add,
                                 cmd_id_node_t *node);

// Copies C - lrn_step channels of a local tensor to a tensor in the same lanes,
// shifted by lrn_step channels (right: channel c to c + step; left: c + step to c).
void lrn_shift_gen_cmd(u32 src_offset, int local_mem_idx, u32 dst_offset, int N, int C, int H, int W,
                       gdma_value_format_t data_format, int lrn_direction, int lrn_step, int result_add,
                       cmd_id_node_t *node);
// Tagged address of the channel `shift` channels after (or before) the one at
// local_addr, channel slots being lane_bytes long.
u32 get_addr_by_featuremap_shift(u32 local_addr, int shift, int lane_bytes);

// Fill a strided region with the constant at value (its size(format) bytes,
// zero-extended to a word).
void fill_constant_gen_local_cmd_stride(u32 local_offset, int local_lane, const void *value,
                                        gdma_value_format_t format, int N, int C, int H, int W, int nstride,
                                        int cstride, int hstride, int wstride, cmd_id_node_t *node);
void fill_constant_gen_global_cmd_stride(u64 global_addr, const void *value, gdma_value_format_t format, int N,
                                         int C, int H, int W, int nstride, int cstride, int hstride,
                                         int wstride, cmd_id_node_t *node);

// The C x W local matrix at src_addr (rows src_cstride apart) as a W x C matrix
// at dst_addr (rows dst_cstride apart); both are tagged local addresses.
void cwtrans_gen_cmd(u64 src_addr, u64 dst_addr, int C, int W, gdma_value_format_t format, int src_cstride,
                     int dst_cstride, cmd_id_node_t *node);

// Filter move: the float32 elements of a local tensor whose mask element is not
// zero, one after another from dst_addr in global memory.
void tensor_general_move_with_mask_gen_cmd(u64 src_offset, int local_lane, u64 mask_offset, u64 dst_addr, int N,
                                           int C, int H, int W, gdma_direction_t direction,
                                           cmd_id_node_t *node);
// Waits for the node's commands, then returns how many elements the last filter
// move wrote.
int get_gdma_filter_res_num_gen_cmd(cmd_id_node_t *node);
}
