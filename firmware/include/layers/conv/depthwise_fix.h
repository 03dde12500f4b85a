// 8-bit and 16-bit depthwise convolution of 4N tensors in device memory (APIs
// 97 and 984): channel c of the output from channel c of the input and its
// own kh x kw int8 kernel, plus an optional 16-bit bias, shifted right by
// rshift (rounding half up), rectified with if_relu.
//
// The 8-bit layer walks the pooling frame over the channel planes of each
// batch group of four: slices of c_step channels by input rows, two input
// buffers, one output buffer, and the slice's weights and biases ping-ponged
// beside them. A slice of more than 4095 channels is issued as several
// commands, each with its own channels' weights and biases. Pads beyond the
// command's 15 are zero rows and columns around the loaded input, which the
// frame walks as a larger input.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Local layout of the 8-bit layer, per lane.
#define DW_FIX8B_INPUT0 0x00000u
#define DW_FIX8B_INPUT1 0x20000u
#define DW_FIX8B_OUTPUT 0x40000u
#define DW_FIX8B_WEIGHT0 0x60000u
#define DW_FIX8B_WEIGHT1 0x70000u
#define DW_FIX8B_BUFFER_BYTES 0x20000u

typedef struct {
  int oh, ow;
  int c_step, h_step;
  int small;      // the plane does not fit: rows per slice
  int N_initial;  // rows a lane takes in that case
  u32 bias_offset;  // behind the weights of a set: kh x kw x c_step x 4
  u32 end;          // where the second bias ends
} dw_fix8b_plan_t;

// The 16-bit layer: one 64-channel group at a time, one channel per lane;
// strips of at most 16 input columns that overlap by the kernel; each output
// row one batch entry of a command over kh rows of the strip, in R phases of
// rows (R = 4 for stride_h 1, 2 for stride_h 2). Every command is waited for.
#define DW_FIX16B_INPUT 0x10000u
#define DW_FIX16B_RESULTS 0x20000u
#define DW_FIX16B_STRIP 16

typedef struct {
  int j0, cols;      // output columns [j0, j0 + cols)
  int x0, in_w;      // input columns [x0, x0 + in_w)
  int pad_l, pad_r;  // the command's pads (pad_r beyond the strip's 16 columns)
} dw_fix16b_strip_t;

extern "C" {

// The strip whose first output column is j0 (first: j0 = 0). Pure.
void dw_fix16b_strip_of(dw_fix16b_strip_t *s, int j0, int output_w, int input_w, int kw, int stride_w,
                        int pad_w_left);

void nodechip_depthwise_fix16b_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                                int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                                                int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right,
                                                int stride_h, int stride_w, int ins_w, int ins_h, int rshift,
                                                int have_bias, int reserved0, int opd0_sign, int opd1_sign,
                                                int opd2_sign, int reserved1, int if_relu, cmd_id_node_t *node);

// The 8-bit layer's plan. Pure.
void dw_fix8b_plan_of(dw_fix8b_plan_t *p, int input_c, int input_h, int input_w, int kh, int kw, int pad_h_top,
                      int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w);

void nodechip_depthwise_fix8b_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                               int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                                               int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right,
                                               int stride_h, int stride_w, int ins_w, int ins_h, int rshift,
                                               int have_bias, int reserved0, int opd0_sign, int opd1_sign,
                                               int opd2_sign, int reserved1, int if_relu, cmd_id_node_t *node);
}

// APIs 97 and 984.
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
  i32 rshift;
  i32 using_bias;
  i32 reserved0;
  i32 opd0_sign;
  i32 opd1_sign;
  i32 opd2_sign;
  i32 reserved1;
  i32 out_mode;
} FW_PACKED zv_api_depthwise_fix8b_forward_parallel_t;
static_assert(sizeof(zv_api_depthwise_fix8b_forward_parallel_t) == 112,
              "zv_api_depthwise_fix8b_forward_parallel_t is 112 bytes");

extern "C" u32 zv_api_depthwise_fix8b_forward_parallel(u8 *param, u32 size);
extern "C" u32 zv_api_depthwise_fix16b_forward_parallel(u8 *param, u32 size);
