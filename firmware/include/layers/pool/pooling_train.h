// Float32 max pooling for training: the maxima and, for every output element,
// the position of its window's maximum (APIs 95 and 122).
//
// The position is float32(k + 1) for the first k = i * kw + j (row-major in
// the window) that holds the window's maximum; padding holds the most negative
// finite float and takes part like any value. Maxima and positions are built
// from tensor arithmetic, one window position after the other, over a padded
// copy of the input in local memory. Each lane holds eight buffers of q banks:
// 0-1 padded input (ping-pong), 2-3 running maximum, 4-5 positions, 6-7
// scratch. Slicing modes: 1 everything at once, 2 slices of c_step planes,
// 3 slices of c_step (at most 64) planes and h_step output rows.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define POOL_TRAIN_PAD_VALUE (-3.4028234663852886e+38f)

// Output extent and the grown trailing pads (floor_mode 0: ceil rounding when
// the extra window starts inside the input or its leading pad).
typedef struct {
  int oh, ow, pad_h_bottom, pad_w_right, ph, pw;
} pool_train_shape_t;
void pool_train_shape_of(pool_train_shape_t *s, int input_h, int input_w, int kh, int kw, int pad_h_top,
                         int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h, int stride_w,
                         int floor_mode);

// The eight buffers of `bank` bytes each (input 0, input 1, maximum 0,
// maximum 1, positions 0, positions 1, scratch 0, scratch 1), from offset 0.
#define POOL_TRAIN_AREAS 8
void pool_train_areas(u32 bank, local_area_t areas[POOL_TRAIN_AREAS]);

// API 95.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 index_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 kh;
  i32 kw;
  i32 pad_h_t;
  i32 pad_w_l;
  i32 pad_h_b;
  i32 pad_w_r;
  i32 stride_h;
  i32 stride_w;
  i32 floor_mode;
  i32 nc_slice;
  i32 oh_slice;
  float lmem_scale;
  i32 split_mode;
} FW_PACKED zv_api_pooling_train_forward_parallel_t;
static_assert(sizeof(zv_api_pooling_train_forward_parallel_t) == 92, "zv_api_pooling_train_forward_parallel_t is 92 bytes");

// API 122.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 kh;
  i32 kw;
  i32 pad_h_t;
  i32 pad_w_l;
  i32 pad_h_b;
  i32 pad_w_r;
  i32 stride_h;
  i32 stride_w;
  i32 floor_mode;
  i32 nc_slice;
  i32 oh_slice;
  float lmem_scale;
  i32 split_mode;
} FW_PACKED zv_api_pooling_train_index_forward_parallel_t;
static_assert(sizeof(zv_api_pooling_train_index_forward_parallel_t) == 84,
              "zv_api_pooling_train_index_forward_parallel_t is 84 bytes");

extern "C" {

u32 zv_api_pooling_train_forward_parallel(u8 *param, u32 size);
u32 zv_api_pooling_train_index_forward_parallel(u8 *param, u32 size);

// Maxima to output_addr and positions to mask_addr; h_step counts output rows.
void nodechip_pooling_train_forward_parallel(u64 input_addr, u64 output_addr, u64 mask_addr, int input_n, int input_c,
                                             int input_h, int input_w, int kh, int kw, int pad_h_top, int pad_w_left,
                                             int pad_h_bottom, int pad_w_right, int stride_h, int stride_w,
                                             int floor_mode, int reserved, int c_step, int h_step, float input_ratio,
                                             int split_mode, cmd_id_node_t *node);
// Positions only, to output_addr.
void nodechip_pooling_train_index_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                   int input_h, int input_w, int kh, int kw, int pad_h_top,
                                                   int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h,
                                                   int stride_w, int floor_mode, int reserved, int c_step, int h_step,
                                                   float input_ratio, int split_mode, cmd_id_node_t *node);
}
