// Float32 grouped 3-D convolution (API 182): for every output frame, the 2-D
// convolutions of the input frames the kernel's depth window reaches with that
// depth's weights, accumulated in local memory (the first with the bias, the
// later ones added). Slices hold all channels of a group; batches, then rows,
// shrink until the single buffers fit. Everything runs on the caller's node in
// issue order.
//
// Weights [KT][OC_ALL][KH][KW][ic_even] (input channels innermost, padded to
// an even count); bias [OC_ALL].
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define CONV3D_AREA_COUNT 4

typedef struct {
  int n_slice, ic_slice, oc_slice, h_slice;  // the slices record, in this order
  int ot, oh, ow, icg, ocg, ic_even, ocn, ih;
  u64 input_size, output, output_size, weight, weight_size, bias, bias_size;
  local_area_t areas[CONV3D_AREA_COUNT];
} conv3d_plan_t;

// API 182.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 weight_addr;
  u64 bias_addr;
  i32 input_n;
  i32 input_c;
  i32 input_t;
  i32 input_h;
  i32 input_w;
  i32 groups;
  i32 output_c;
  i32 kt;
  i32 kh;
  i32 kw;
  i32 dt;
  i32 dh;
  i32 dw;
  i32 pad_t0;
  i32 pad_t1;
  i32 pad_h_t;
  i32 pad_h_b;
  i32 pad_w_l;
  i32 pad_w_r;
  i32 stride_t;
  i32 stride_h;
  i32 stride_w;
  i32 using_bias;
} FW_PACKED zv_api_conv3d_parallel_t;
static_assert(sizeof(zv_api_conv3d_parallel_t) == 124, "zv_api_conv3d_parallel_t is 124 bytes");

extern "C" {

u32 zv_api_conv3d_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----
// The layout of the plan's current slices; returns 1 when it fits a lane.
int conv3d_layout_fits(conv3d_plan_t *p, int IH, int IW, int KH, int KW, int dh, int sh, int have_bias);
// Shrinks the batch slice, else the row slice; 0 when neither can shrink.
int conv3d_adjust(conv3d_plan_t *p);

// ---- Layer ----
void nodechip_conv3d_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int N, int IC_ALL,
                              int IT, int IH, int IW, int groups, int OC_ALL, int KT, int KH, int KW, int dt, int dh,
                              int dw, int PT0, int PT1, int PH0, int PH1, int PW0, int PW1, int st, int sh, int sw,
                              int have_bias, cmd_id_node_t *node);
}
