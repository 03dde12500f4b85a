// 8-bit convolution of 4N tensors in device memory (API 83): the general
// worker, the worker for three-channel images and the wrapper that plans both.
//
// Tensors hold four batch items per 32-bit word (item 4g + b in byte b of the
// words of group g); every move counts words and batch groups of four. Weights
// are int8, one record per output channel (icg rounded up to 4, times kh x kw
// bytes; bias mode 2 appends a 4-byte field whose first half is the 16-bit
// bias); bias mode 1 reads one 16-bit bias per output channel from its own
// array. weight_layout 0 keeps the kernel positions innermost within each group
// of four input channels ([icg/4][kh][kw][4]), 1 the input channels
// ([kh][kw][icg/4][4]).
//
// The work is cut into output-channel sections (one pipeline run each, the
// section's weights loaded once), then batch sections and output-row sections
// of the full width; input and output slices are double-buffered so that the
// load of the next slice and the store of the previous one overlap the
// convolution of the current one.
//
// The three-channel worker folds the kernel rows into the channels: local
// channel c x kh + r holds input rows r, r + stride_h, ... of channel c, so the
// command sees 3 kh channels, a 1 x kw kernel and row stride 1.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define CONV_FIX8B_AREA_COUNT 5

// The local layout of one call, from its largest slice. Offsets are per lane,
// untagged; the weight area holds a section's weight records (bias mode 1:
// then its 16-bit biases).
typedef struct {
  int icg, ocg;        // channels per group
  int ch;              // channels the command sees per group (3 kh for three-channel images)
  int ch4;             // ch rounded up to 4
  int kh, kw;          // the command's kernel (1 x kw for three-channel images)
  int khe, kwe;        // dilated extents of the layer's kernel
  int oh, ow, nq;      // output extent, batch groups of four
  int ocs, nsq, ohs, ihs;  // lane rows of output channels, batch groups, output and input rows per slice
  u32 rec;             // weight bytes per output channel
  u32 bias;            // offset of the bias within the weight area (bias modes 1 and 2)
  u32 in[2], out[2];   // double buffers
  int ks[4];           // kernel strides (input group, output row, row, column) in words
  local_area_t areas[CONV_FIX8B_AREA_COUNT];
} conv_fix8b_plan_t;

// Input rows of one output-row slice of a (zero-inserted) input of h rows.
typedef struct {
  int first, count;  // real input rows
  int pad_t, pad_b;  // padding and inserted zeros above and below them
} conv_fix8b_rows_t;

extern "C" {

// Output extent of a zero-inserted, padded input of `in` elements.
int conv_fix8b_out_extent(int in, int ins, int pad_lo, int pad_hi, int k, int d, int stride);

// Rows [oh0, oh0 + rows) of the output. Pure.
void conv_fix8b_rows_of(conv_fix8b_rows_t *r, int oh0, int rows, int stride_h, int khe, int pad_h,
                        int ins_h, int h);

// The layout of a call with the given section counts; three_ic selects the
// three-channel form. Pure. Returns the bytes per lane the layout ends at.
u32 conv_fix8b_plan_of(conv_fix8b_plan_t *plan, int input_n, int input_c, int input_h, int input_w,
                       int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
                       int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w,
                       int bias_mode, int weight_layout, int ins_h, int ins_w, int hsecs, int nsecs,
                       int ocsecs, int three_ic);

void nodechip_conv_forward_parallel_fix8b_with_data_split(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
    int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w, int bias_mode,
    int unused, int if_relu, int relu_upper_limit, int weight_layout, int ins_h, int ins_w,
    int rshift, int input_sign, int weight_sign, int bias_sign, int output_mode, int rq0, int rq1,
    int rq2, int rq3, int use_3ic, cmd_id_node_t *node);

void nodechip_conv_forward_parallel_fix8b(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
    int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w, int bias_mode,
    int unused, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu, int relu_upper_limit,
    int weight_layout, int ins_h, int ins_w, int rshift, int input_sign, int weight_sign,
    int bias_sign, int output_mode, int rq0, int rq1, int rq2, int rq3, cmd_id_node_t *node);

void nodechip_conv_forward_parallel_fix8b_3ic(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
    int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w, int bias_mode,
    int unused, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu, int relu_upper_limit,
    int weight_layout, int ins_h, int ins_w, int rshift, int input_sign, int weight_sign,
    int bias_sign, int output_mode, int rq0, int rq1, int rq2, int rq3, cmd_id_node_t *node);
}

// API 83.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 weight_addr;
  u64 bias_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 groups;
  i32 output_c;
  i32 kh;
  i32 kw;
  i32 dh;
  i32 dw;
  i32 pad_h;
  i32 pad_h_after;
  i32 pad_w;
  i32 pad_w_after;
  i32 stride_h;
  i32 stride_w;
  i32 using_bias;
  i32 unused;
  u32 use_winograd;
  i32 hsecs;
  i32 nsecs;
  i32 icsecs;
  i32 ocsecs;
  i32 if_relu;
  i32 relu_upper_limit;
  i32 weight_layout;
  i32 ins_h;
  i32 ins_w;
  i32 rshift;
  i32 opd0_sign;
  i32 opd1_sign;
  i32 opd2_sign;
  i32 input_mode;
  i32 use_3ic;
} FW_PACKED zv_api_conv_forward_parallel_fix8b_t;
static_assert(sizeof(zv_api_conv_forward_parallel_fix8b_t) == 168,
              "zv_api_conv_forward_parallel_fix8b_t is 168 bytes");

extern "C" u32 zv_api_conv_forward_parallel_fix8b(u8 *param, u32 size);
