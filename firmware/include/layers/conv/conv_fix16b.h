// 16-bit output convolution of 4N int8 tensors (API 983): int8 weights and
// records as the 8-bit convolution's, 16-bit results stored two batch items to
// a word (item 2p in the low half of pair block p; ceil(N / 2) blocks of
// output_c x OH x OW words).
//
// Output-channel sections of up to 64 channels (one per lane); batch sections
// of groups of four; output-row sections whose input rows sit between zero
// rows for the vertical pads; and pieces of 16 output columns. Each output row
// of a slice is one batch entry of a one-row convolution over a window of khe
// input rows, one command per batch group and piece; the piece's results are
// stored row by row into both pair blocks of the group.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define CONV_FIX16B_AREA_COUNT 5

typedef struct {
  int icg, ocg, icg4, khe, kwe, oh, ow, nq;
  int nsq, ohs, ihs;
  u32 rec, bias;  // weight bytes per output channel; bias offset in the weight area
  u32 in[2], out[2];
  u32 group_out;  // bytes of one batch group's piece results per lane
  int ks[4];
  local_area_t areas[CONV_FIX16B_AREA_COUNT];
} conv_fix16b_plan_t;

extern "C" {

// Pure. Returns the bytes per lane the layout ends at.
u32 conv_fix16b_plan_of(conv_fix16b_plan_t *p, int input_n, int input_c, int input_h, int input_w, int groups,
                        int output_c, int kh, int kw, int dh, int dw, int pad_h, int pad_h_after, int pad_w,
                        int pad_w_after, int stride_h, int stride_w, int bias_mode, int weight_layout, int hsecs,
                        int nsecs);

void nodechip_conv_forward_parallel_fix16b(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c, int input_h,
    int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h, int pad_h_after, int pad_w,
    int pad_w_after, int stride_h, int stride_w, int bias_mode, int unused, int hsecs, int nsecs, int icsecs,
    int ocsecs, int wsecs, int if_relu, int relu_upper_limit, int weight_layout, int ins_h, int ins_w, int rshift,
    int input_sign, int weight_sign, int bias_sign, int output_mode, cmd_id_node_t *node);

void nodechip_conv_forward_parallel_fix16b_with_data_split(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c, int input_h,
    int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h, int pad_h_after, int pad_w,
    int pad_w_after, int stride_h, int stride_w, int bias_mode, int unused, int if_relu, int relu_upper_limit,
    int weight_layout, int ins_h, int ins_w, int rshift, int input_sign, int weight_sign, int bias_sign,
    int output_mode, cmd_id_node_t *node);
}

// API 983.
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
  i32 wsecs;
  i32 out_mode;
  i32 relu_upper_limit;
  i32 weight_layout;
  i32 ins_h;
  i32 ins_w;
  i32 rshift;
  i32 opd0_sign;
  i32 opd1_sign;
  i32 opd2_sign;
  i32 input_mode;
} FW_PACKED zv_api_conv_forward_parallel_fix16b_t;
static_assert(sizeof(zv_api_conv_forward_parallel_fix16b_t) == 168,
              "zv_api_conv_forward_parallel_fix16b_t is 168 bytes");

extern "C" u32 zv_api_conv_forward_parallel_fix16b(u8 *param, u32 size);
