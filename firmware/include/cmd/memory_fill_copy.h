// Memory fill and copy: the layers that fill and copy regions of device memory
// with GDMA, the byte copy into the DTCM scratch window, and the memory APIs
// that reach them (1 memset, 2 memcpy, 136 memcpy_byte, 137 memcpy_wstride,
// 138 memcpy_tensor, 177 memset_byte, 183 memcpy_tensors).
//
// Addresses are 40-bit device addresses (or L2 SRAM or DTCM scratch addresses,
// high word 0); strides count elements. The layers only issue GDMA commands on
// the caller's node and do not wait (pack_info_to_dtcm excepted); a row longer
// than a GDMA dimension (65535) is cut into pieces of exactly 32768 elements
// moved by one command along a dimension of their own, then one command for the
// rest.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// ---- API records ----

// API 1: fill byte_count bytes with a pattern of `mode` bytes (modes 1 to 3, one
// byte lane at a time) or with a 32-bit word (mode 4).
typedef struct {
  u64 global_addr;
  u32 byte_count;
  u32 mode;   // 1, 2, 3: pattern bytes; 4: a word
  u32 value;  // byte j of the little-endian value is pattern byte j
} FW_PACKED zv_api_memset_t;
static_assert(sizeof(zv_api_memset_t) == 20, "zv_api_memset_t is 20 bytes");

// API 177: fill N x W bytes, element (n, w) at global_addr + n * stride_n + w * stride_w.
typedef struct {
  u64 global_addr;
  i32 N, C, H, W;
  i32 stride_n, stride_c, stride_h, stride_w;
  u8 value;
  u8 unused[3];
} FW_PACKED zv_api_memset_byte_t;
static_assert(sizeof(zv_api_memset_byte_t) == 44, "zv_api_memset_byte_t is 44 bytes");

// API 2: N rows of W 32-bit elements, row n at element n * stride of each side.
typedef struct {
  u64 src_addr;
  u64 dst_addr;
  i32 N;
  i32 src_stride_n;
  i32 dst_stride_n;
  i32 W;
} FW_PACKED zv_api_memcpy_t;
static_assert(sizeof(zv_api_memcpy_t) == 32, "zv_api_memcpy_t is 32 bytes");

// API 183: copy the tensors of a table of tensor_num rows (memcpy_tensors_row_t)
// in device memory. The u64 sits at offset 4.
typedef struct {
  u32 tensor_num;
  u64 tensor_table_addr;
} FW_PACKED zv_api_memcpy_tensors_t;
static_assert(sizeof(zv_api_memcpy_tensors_t) == 12, "zv_api_memcpy_tensors_t is 12 bytes");

// One tensor of nodechip_memcpy_tensors: a strided 4-D copy.
typedef struct {
  u64 src_addr;
  u64 dst_addr;
  i32 n, c, h, w;
  i32 src_stride_n, src_stride_c, src_stride_h, src_stride_w;
  i32 dst_stride_n, dst_stride_c, dst_stride_h, dst_stride_w;
  u32 type_size;  // bytes per element: 1, 2 or 4
} FW_PACKED memcpy_tensors_row_t;
static_assert(sizeof(memcpy_tensors_row_t) == 68, "a tensor row is 68 bytes");

// API 136: len bytes.
typedef struct {
  u64 src;
  u64 dst;
  u64 len;
} FW_PACKED zv_api_memcpy_byte_t;
static_assert(sizeof(zv_api_memcpy_byte_t) == 24, "zv_api_memcpy_byte_t is 24 bytes");

// API 137: count elements of type_size bytes, each side with its own w stride.
typedef struct {
  u64 src;
  u64 dst;
  i32 src_wstride;
  i32 dst_wstride;
  i32 count;
  u32 type_size;
} FW_PACKED zv_api_memcpy_wstride_t;
static_assert(sizeof(zv_api_memcpy_wstride_t) == 32, "zv_api_memcpy_wstride_t is 32 bytes");

// API 138: one strided 4-D copy (nodechip_memcpy_tensor).
typedef struct {
  u64 src;
  u64 dst;
  i32 N, C, H, W;
  i32 src_stride_n, src_stride_c, src_stride_h, src_stride_w;
  i32 dst_stride_n, dst_stride_c, dst_stride_h, dst_stride_w;
  u32 type_size;
} FW_PACKED zv_api_memcpy_tensor_t;
static_assert(sizeof(zv_api_memcpy_tensor_t) == 68, "zv_api_memcpy_tensor_t is 68 bytes");

// Rows of API 183 that fit the DTCM scratch window.
#define MEMCPY_TENSORS_MAX_ROWS (DTCM_SCRATCH_SIZE / sizeof(memcpy_tensors_row_t))

extern "C" {

// ---- Handlers ----
u32 zv_api_memset(u8 *param, u32 size);
u32 zv_api_memcpy(u8 *param, u32 size);
u32 zv_api_memset_byte(u8 *param, u32 size);
u32 zv_api_memcpy_tensors(u8 *param, u32 size);
u32 zv_api_memcpy_byte(u8 *param, u32 size);
u32 zv_api_memcpy_wstride(u8 *param, u32 size);
u32 zv_api_memcpy_tensor(u8 *param, u32 size);

// ---- Layers ----

// Fills N x W 32-bit words with value (its 4 bytes as they lie in memory); the
// region must be dense: C = 1, H = 1 and all three strides W.
void nodechip_memset(u64 addr, int N, int C, int H, int W, int stride_n, int stride_c, int stride_h, u32 value,
                     cmd_id_node_t *node);
// Fills N x W bytes with the low byte of value, element (n, w) at
// addr + n * stride_n + w * stride_w; C and H must be 1.
void nodechip_memset_byte(u64 addr, int N, int C, int H, int W, int stride_n, int stride_c, int stride_h,
                          int stride_w, u32 value, cmd_id_node_t *node);
// Copies N rows of W 32-bit elements; row n starts at element n * src_stride_n
// of the source and n * dst_stride_n of the destination.
void nodechip_memcpy(u64 src, u64 dst, int N, int src_stride_n, int dst_stride_n, int W, cmd_id_node_t *node);
// Copies len bytes.
void nodechip_memcpy_byte(u64 src, u64 dst, u64 len, cmd_id_node_t *node);
// One strided 4-D copy of elements of type_size bytes (1, 2 or 4).
void nodechip_memcpy_tensor(u64 src, u64 dst, int N, int C, int H, int W, int src_stride_n, int src_stride_c,
                            int src_stride_h, int src_stride_w, int dst_stride_n, int dst_stride_c,
                            int dst_stride_h, int dst_stride_w, u32 type_size, cmd_id_node_t *node);
// nodechip_memcpy_tensor for each of count rows (memcpy_tensors_row_t), in order.
void nodechip_memcpy_tensors(u32 count, const void *rows, cmd_id_node_t *node);
// Copies count elements of type_size bytes (1, 2 or 4); element i is read at
// src + i * src_wstride * type_size and written at dst + i * dst_wstride * type_size.
void nodechip_memcpy_wstride(u64 src, u64 dst, int src_wstride, int dst_wstride, int count, u32 type_size,
                             cmd_id_node_t *node);

// Copies len (< 65536) bytes from src to dst with one GDMA move and waits for
// the node; used to bring parameter arrays into the DTCM scratch window and
// back. Returns 0.
u32 pack_info_to_dtcm(u64 src, u64 dst, u32 len, cmd_id_node_t *node);
}
