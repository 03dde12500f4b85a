// APIs 110 (replay of host-compiled command buffers) and 111 (run of a
// compiled network). Both records have a variable length; the handlers read
// them field by field and refuse a payload that ends before the fields its
// counts announce.
//
// API 111 record: u64 description address; u32 description length in words;
// u32 input count; u32 has_4n_addr; per input {u64 addr, [u64 addr_4n], u32
// dtype << 16 | dims, dims x u32 shape, u32 elem_num}; u32 output count;
// output count x u32 transform; output count x {u64 addr, u64 work_addr};
// u32 return_shape; u64 shape address; u64 addr_boundary; u64 neuron_base;
// u64 coeff_base; u64 scratch address; u32 extra word.
//
// API 110 record: u32 input count; its 28-byte tensor entries; u32 output
// count; its entries; u64 tensor-engine command buffer; u64 GDMA command
// buffer; u32 group count; per group {u32 tensor-engine count, u32 GDMA count}.
#pragma once

#include "interp/context.h"
#include "runtime/types.h"

#define ZV_API_MULTI_FULLNET 110u
#define ZV_API_DYNAMIC_FULLNET 111u

// The fixed head of the API 111 record.
typedef struct FW_PACKED {
  u64 compiled_ir_addr;
  u32 compiled_ir_length;
  u32 input_num;
  u32 has_4n_addr;
} zv_api_dynamic_fullnet_t;
static_assert(sizeof(zv_api_dynamic_fullnet_t) == 20, "head of the API 111 record");

// A shape record returned to the host (40 bytes).
typedef struct FW_PACKED {
  u32 dims;
  u32 shape[DYNAMIC_MAX_DIMS];
  u32 elem_num;
} dynamic_output_shape_t;
static_assert(sizeof(dynamic_output_shape_t) == 40, "dynamic_output_shape_t is 40 bytes");
#define DYNAMIC_SHAPE_OUT_BYTES 0x1000u

// A tensor entry of the API 110 record (28 bytes).
typedef struct FW_PACKED {
  u64 host_addr;     // A
  u64 net_addr;      // B
  u32 n;             // item count
  u32 len;           // item length (elements)
  u16 data_type;
  u8 net_store_mode;   // fw_store_mode_t
  u8 host_store_mode;  // fw_store_mode_t
} zv_api_multi_fullnet_tensor_t;
static_assert(sizeof(zv_api_multi_fullnet_tensor_t) == 28, "tensor entry is 28 bytes");

// The head of the API 110 record (its first field).
typedef struct FW_PACKED {
  u32 input_num;
} zv_api_multi_fullnet_t;
static_assert(sizeof(zv_api_multi_fullnet_t) == 4, "head of the API 110 record");

extern "C" {
u32 zv_api_multi_fullnet(u8 *param, u32 size);
u32 zv_api_dynamic_fullnet(u8 *param, u32 size);
}
