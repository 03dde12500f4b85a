// Tensor shapes, strides and element codes: the vocabulary every layer uses to
// describe a tensor to the engines.
//
// Local layout: channel c of a tensor whose address names start lane s lives in
// lane (s + c) % NPU_NUM, at row (s + c) / NPU_NUM of that lane's part of the
// tensor. The EU-aligned layout rounds each channel plane up to 128 bytes so that
// every channel starts on an execution-unit boundary; the compact layout does not.
#pragma once

#include "runtime/types.h"

// Shape (extents) or strides (elements between neighbours) of a 4-D tensor.
typedef struct {
  i32 n;
  i32 c;
  i32 h;
  i32 w;
} dim4_t;
static_assert(sizeof(dim4_t) == 16, "dim4_t is four i32");

// Element types of the interpreter's layers.
typedef enum {
  DSIZE_FP32 = 0,   // float32, 4 bytes
  DSIZE_16 = 1,     // 16-bit integer, 2 bytes (stored 2N)
  DSIZE_8 = 2,      // 8-bit integer, 1 byte (stored 4N)
  DSIZE_INT32 = 3,  // int32, 4 bytes
} dsize_t;

// Storage modes of layer operands.
typedef enum {
  STORAGE_MODE_1N_FP32 = 0,   // float32, one batch item per element
  STORAGE_MODE_1N_INT8 = 1,   // 8-bit, one batch item per byte
  STORAGE_MODE_1N_INT16 = 2,  // 16-bit, one batch item per element
  STORAGE_MODE_2N_INT16 = 3,  // 16-bit, two consecutive batch items per 32-bit word
  STORAGE_MODE_4N_INT8 = 4,   // 8-bit, four batch items interleaved byte by byte per word
} storage_mode_t;

// Batch store modes of global tensors.
typedef enum {
  FW_STORE_MODE_1N = 0,  // plain layout
  FW_STORE_MODE_2N = 1,  // two 16-bit batch items per 32-bit word
  FW_STORE_MODE_4N = 2,  // four 8-bit batch items per 32-bit word
} fw_store_mode_t;

// Bytes of one element of a GDMA value format: 4 for 0 and 8, 2 for 1 and 4,
// 1 for 2 and 3, 0 for anything else.
int get_type_len(int format);

// Start lane named by an untagged or tagged local address (bits 19 and up, the
// local-address tag ignored).
u32 get_local_start_lane(u32 local_address);

// The functions below write the caller's record and return it; `out` may be the
// same record as `shape`.

dim4_t *get_tensor_shape(dim4_t *out, int n, int c, int h, int w);

// Dense strides of `shape`. Global layout (is_local 0): {c*h*w, h*w, w, 1}.
// Local layout: channel stride h*w, rounded up to 128 bytes of `type_len`-byte
// elements when `eu_align`; batch stride = channel stride times the rows of
// lanes one batch item occupies from `start_lane`.
dim4_t *get_tensor_stride_by_shape(dim4_t *out, const dim4_t *shape, int is_local, int eu_align,
                                   int type_len, u32 start_lane);

// Local float32 strides of `shape` for a tensor at `local_address`.
dim4_t *get_f32_tensor_local_stride(dim4_t *out, const dim4_t *shape, int eu_align,
                                    u32 local_address);

// *stride when it is given (unchanged, aligned or not), else the EU-aligned
// float32 local strides of `shape` at `local_address`.
dim4_t *get_default_local_stride(dim4_t *out, const dim4_t *shape, const dim4_t *stride,
                                 u32 local_address);
