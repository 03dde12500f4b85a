// Float32 2-D transposed convolution (deconvolution, API 50): the convolution
// of the input with stride - 1 zeros inserted between its rows and columns and
// the kernel turned by 180 degrees, in the overlapped slice pipeline of the
// convolution (groups, output-lane, batch and output-row sections, input
// channels in even steps; slices take the full width).
//
// Weights, per group of icg_even x ocg x kh x kw floats: layout 0
// [icg][ocg][kh][kw]; layout 1 [ocg][icg_even][kh x kw]. The engine reads
// float weights in pairs of input channels, so both are interleaved pairwise
// on their way into local memory.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define DECONV_AREA_COUNT 8

typedef struct {
  int khe, kwe, hi, pt, pb, pl, pr, rw;  // hi: inserted input height
  int icg, ocg, ocn, icg_even, icmax, ocns, nmax, ohmax, ihmax;
  int resident;
  u64 bias_size, wsize, in_size, max_ofsize;
  u64 bias[2], weight[2], input[2], output[2];
  u64 top_local_offset1;
  local_area_t areas[DECONV_AREA_COUNT];
} deconv_layout_t;

// API 50.
typedef struct {
  u64 input_addr;
  u64 weight_addr;
  u64 bias_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 groups;
  i32 output_c;
  i32 output_h;
  i32 output_w;
  i32 kh;
  i32 kw;
  i32 dh;
  i32 dw;
  i32 pad_h_t;
  i32 pad_h_b;
  i32 pad_w_l;
  i32 pad_w_r;
  i32 stride_h;
  i32 stride_w;
  i32 using_bias;
  i32 result_add;
  i32 if_relu;
  i32 icsecs;
  i32 ocsecs;
  i32 nsecs;
  i32 hsecs;
  i32 weight_layout;
} FW_PACKED zv_api_deconv_forward_parallel_t;
static_assert(sizeof(zv_api_deconv_forward_parallel_t) == 136, "zv_api_deconv_forward_parallel_t is 136 bytes");

extern "C" {

u32 zv_api_deconv_forward_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----
void deconv_layout_of(deconv_layout_t *l, int input_n, int input_c, int input_h, int input_w, int groups,
                      int output_c, int output_h, int output_w, int kh, int kw, int dh, int dw, int pad_h_t,
                      int pad_h_b, int pad_w_l, int pad_w_r, int stride_h, int stride_w, int icsecs, int ocsecs,
                      int nsecs, int hsecs);

// ---- Layers ----
void nodechip_deconv_forward_parallel(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr, int input_n,
                                      int input_c, int input_h, int input_w, int groups, int output_c, int output_h,
                                      int output_w, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
                                      int pad_w_l, int pad_w_r, int stride_h, int stride_w, int have_bias,
                                      int result_add, int if_relu, int icsecs, int ocsecs, int nsecs, int hsecs,
                                      int weight_layout, cmd_id_node_t *node);
void nodechip_deconv_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                      u64 bias_addr, int input_n, int input_c, int input_h,
                                                      int input_w, int groups, int output_c, int kh, int kw, int dh,
                                                      int dw, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
                                                      int stride_h, int stride_w, int output_pad_h, int output_pad_w,
                                                      int have_bias, int result_add, int if_relu, int weight_layout,
                                                      cmd_id_node_t *node);
}
