// Row copies, crops and the embedding copy: tensors moved from device memory to
// device memory by GDMA alone, and the APIs that reach them (93 global memcpy,
// 94 crop).
//
// A row copy moves input_n rows of count elements, row r at r * nstride
// elements of each side; with two formats it converts element by element. It is
// cut at 65535 rows per call of the internal form and, within a row, into
// pieces of 32768 elements when a row is longer than one GDMA dimension. The
// layers only issue commands on the caller's node; the caller waits.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Rows one internal row copy takes.
#define ROW_COPY_MAX_ROWS 65535
// A row longer than one GDMA dimension moves in pieces of this many elements.
#define ROW_COPY_PIECE 32768

// How the internal row copy moves one batch of rows: `moves` general moves
// (1 or 2); move i is rows x 1 x h[i] x w[i] elements starting `first[i]`
// elements into each row.
typedef struct {
  int moves;
  int h[2], w[2];
  int first[2];
} row_copy_plan_t;

// ---- API records ----

// API 93: input_n rows of count float32 elements.
typedef struct {
  u64 src;
  u64 dst;
  i32 input_n;
  i32 src_nstride;
  i32 dst_nstride;
  i32 count;
} FW_PACKED zv_api_global_memcpy_t;
static_assert(sizeof(zv_api_global_memcpy_t) == 32, "zv_api_global_memcpy_t is 32 bytes");

// API 94: a window of output_shape from offset of a float32 input_shape tensor.
typedef struct {
  u64 input;
  u64 output;
  i32 offset[4];
  i32 output_shape[4];
  i32 input_shape[4];
} FW_PACKED zv_api_crop_t;
static_assert(sizeof(zv_api_crop_t) == 64, "zv_api_crop_t is 64 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_global_memcpy(u8 *param, u32 size);
u32 zv_api_crop(u8 *param, u32 size);

// ---- Planning ----

// The moves of one internal row copy of `count` elements per row (count > 0).
void row_copy_plan_of(int count, row_copy_plan_t *plan);

// ---- Layers ----

// input_n (1 to 65535) rows of count elements; formats are gdma_value_format_t.
void nodechip_global_memcpy_internal(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride,
                                     int src_format, int dst_format, int count, cmd_id_node_t *node);
// The same for any number of rows; nothing is issued for 0 rows or 0 elements.
void nodechip_global_memcpy_ex(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride, int src_format,
                               int dst_format, int count, cmd_id_node_t *node);
// Float32 rows.
void nodechip_global_memcpy(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride, int count,
                            cmd_id_node_t *node);
// Signed-byte rows; input_n and count must be positive.
void nodechip_global_fix8b_memcpy(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride, int count,
                                  cmd_id_node_t *node);
// The output_shape window at offset (n, c, h, w) of a float32 input_shape tensor.
void nodechip_crop(u64 input, u64 output, const int *offset, const int *output_shape, const int *input_shape,
                   cmd_id_node_t *node);
// A 4N 8-bit crop (the batch offset a multiple of 4).
void nodechip_crop_fix8b(u64 input, u64 output, const int *offset, const int *output_shape, const int *input_shape,
                         cmd_id_node_t *node);
// An 8-bit crop in 4N (store_mode 2) or 1N (any other store mode).
void nodechip_crop_forward_fix8b(u64 input, u64 output, const int *offset, const int *output_shape,
                                 const int *input_shape, int store_mode, cmd_id_node_t *node);
// count float32 elements from src to dst; the fourth argument is not read.
void nodechip_embedding(u64 src, u64 dst, int count, int unused, cmd_id_node_t *node);
}
