// Values between the ARM and device memory, and tensor arrays.
//
// Every transfer between an ARM array and device memory is staged in the DTCM
// bridge window (`ctx->bridge_addr`, `ctx->dtcm_size` bytes) and waits for the
// engines before the ARM reads or reuses the window.
//
// A tensor array keeps its bookkeeping on the ARM (`tensor_array_info_t` and
// its element records) and its element data in one device buffer: the first
// TENSOR_ARRAY_IMAGE_BYTES of the buffer hold the array's device image (the
// 40-byte header and `size` element records of 64 bytes), element data follows
// at 4 bytes per element whatever its type.
#pragma once

#include "interp/fullnet.h"
#include "interp/layer_records.h"

#define TENSOR_ARRAY_IMAGE_BYTES 0x3000u
#define TENSOR_ARRAY_HEADER_BYTES ((u32)sizeof(tensor_array_image_header_t))
#define TENSOR_ARRAY_ELEM_BYTES ((u32)sizeof(tensor_array_elem_t))
// Element records an image can hold behind its header.
#define TENSOR_ARRAY_IMAGE_MAX_ELEMS ((TENSOR_ARRAY_IMAGE_BYTES - TENSOR_ARRAY_HEADER_BYTES) / TENSOR_ARRAY_ELEM_BYTES)

extern "C" {

// Bytes of `count` elements of a dsize_t type.
u64 get_byte_len(u64 count, u32 data_size);
// The bridge window for a transfer of byte_len bytes.
u64 __get_bridge_addr(const dynamic_context_t *ctx, u64 byte_len);
// Copies `count` elements between an ARM array and device memory through the
// bridge, waiting for the engines.
void memcpy_host_global(dynamic_context_t *ctx, void *array, u64 device_addr, u64 count, u32 data_size,
                        int to_device, cmd_id_node_t *node);
// A heap block of the shape's element count (1 for 0 dims) of 32-bit values,
// copied from `values` when given; the count through `count` when given.
void *assign_host_mem(const void *values, const i32 *shape, u32 dims, u32 *count);
// The first value of a shape tensor (it must hold one).
i32 shape_tensor_value(const dynamic_tensor_info_t *info, u32 i);

// The device image of a tensor array: the header, then `size` element records.
// Returns its byte count.
u32 pack_tensorarray(u8 *buffer, const tensor_array_info_t *header);
// Writes the array's image to the start of its device buffer.
void tensor_array_sync(dynamic_context_t *ctx, const dynamic_tensor_info_t *array, cmd_id_node_t *node);

void dynamic_glb_output_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_host2device_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_device2host_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_tensorarray_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ta_write_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ta_read_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ta_size_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ta_scatter_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ta_gather_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ta_split_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);
void dynamic_glb_ta_concat_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node);

void dynamic_tensor_array_map_fill(dynamic_global_ctrl_t *map);
}
