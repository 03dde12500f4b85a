// Nearest-neighbour upsampling of float32 NCHW tensors in device memory by an
// integer factor (API 73): output (y, x) = input (y / size, x / size). The
// planes of N x C are flattened and cut into slices of c_step planes by h_step
// input rows, pipelined like the float pooling (two input buffers, one output
// buffer per lane); each slice is one average-pooling command over the input
// with zeros inserted, so that every window holds one input element.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// API 73.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 size;
  i32 nc_slice;
  i32 h_slice;
  float lmem_scale;
} FW_PACKED zv_api_upsample_forward_parallel_t;
static_assert(sizeof(zv_api_upsample_forward_parallel_t) == 48, "zv_api_upsample_forward_parallel_t is 48 bytes");

extern "C" {

u32 zv_api_upsample_forward_parallel(u8 *param, u32 size);

void nodechip_upsample_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                        int input_w, int size, int c_step, int h_step, float input_ratio, int if_relu,
                                        cmd_id_node_t *node);
}
