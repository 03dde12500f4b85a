// Float32 depthwise convolutions of NCHW tensors in device memory: the form on
// tensor records (API 152), every operand in its own 64 KB banks, and the
// dilated form with ReLU that the interpreter uses.
//
// Both cut the output by batch, output rows and channels (the width is never
// cut) and overlap the loads of one slice with the convolution of the one
// before on two copies of the caller's node. The command takes pads of at
// most 15: the rest of a larger pad lies in the input buffer as zero rows
// (columns) around the loaded input.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define DW_LANE_BYTES 0x80000u

// The lane layout of the dilated form for a slice of a0 batches, a1 lane rows
// of channels and a2 output rows.
#define DWD_AREA_COUNT 8
typedef struct {
  int a0, a1, a2;
  int oh, ow, kh_ext, kw_ext, in_rows;
  u64 bias[2], weight[2], input[2], output[2];
  u64 bs, ws, is, os, end;
  local_area_t areas[DWD_AREA_COUNT];
} dwd_layout_t;

// API 152.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 weight_addr;
  u64 bias_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 kh;
  i32 kw;
  i32 pad_h_t;
  i32 pad_h_b;
  i32 pad_w_l;
  i32 pad_w_r;
  i32 stride_h;
  i32 stride_w;
  i32 using_bias;
} FW_PACKED zv_api_depthwise_forward_t;
static_assert(sizeof(zv_api_depthwise_forward_t) == 84, "zv_api_depthwise_forward_t is 84 bytes");

extern "C" {

u32 zv_api_depthwise_forward(u8 *param, u32 size);

// ---- Planning (pure) ----
// The layout of a slice (a0, a1, a2).
void dwd_layout_of(dwd_layout_t *l, int a0, int a1, int a2, int input_h, int input_w, int kh, int kw,
                   int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                   int dh, int dw, int have_bias);
// The largest slice that fits, shrinking a0, then a1, then a2; 0 when even
// (1, 1, 1) does not fit.
int dwd_slice_search(dwd_layout_t *l, int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                     int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                     int dh, int dw, int have_bias);

// ---- Layers ----
void nodechip_depthwise_forward(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n,
                                int input_c, int input_h, int input_w, int kh, int kw, int pad_h_top,
                                int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                int have_bias, cmd_id_node_t *node);
void nodechip_depthwise_forward_parallel_with_dilation(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                       u64 bias_addr, int input_n, int input_c, int input_h,
                                                       int input_w, int kh, int kw, int pad_h_top, int pad_h_bottom,
                                                       int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                                       int dh, int dw, int have_bias, int if_relu,
                                                       float relu_upper_limit, cmd_id_node_t *node);
}
