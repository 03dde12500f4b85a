// 8-bit max and average pooling of 4N tensors in device memory (API 88), and
// the SAME-padding variant the interpreter calls.
//
// The tensors hold four batch items per 32-bit word (item 4k + b in byte b of
// the words of group k); the layers flatten input_c x ceil(input_n / 4) planes
// of words and run the float pooling's slice frame on them, one 8-bit pooling
// command per piece of planes. The command divides an average by kh * kw with
// the engine's reciprocal and adds `rshift`; the border rule then rescales each
// row and column whose window holds v != k input elements by k * i[v] >> e[v],
// i[v] / 2^e[v] being this layer's 8-bit reciprocal of v.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// This layer's reciprocal tables: i[n] / 2^e[n] ~ 1 / n, i[n] = round(2^e[n] / n);
// the plain pooling's for n = 1 to 225 (others 0), the SAME-padding pooling's
// for n = 1 to 200 (entry n - 1). Return 0 when n has no entry.
int pool_fix8b_reciprocal(int n, int *multiplier, int *shift);
int pool_tf_fix8b_reciprocal(int n, int *multiplier, int *shift);

// The slice plan of the 8-bit pooling (writes c_step, h_step and input_ratio
// unless a pad exceeds its window; returns 1 when the plan fits).
int global_pooling_fix8b_data_split(int input_n, int input_c, int input_h, int input_w, int kh, int kw, int pad_h_top,
                                    int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                    int is_avg_pooling, int *c_step, int *h_step, float *input_ratio);
int global_pooling_tf_fix8b_data_split(int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                                       int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h,
                                       int stride_w, int is_avg_pooling, int *c_step, int *h_step,
                                       float *input_ratio);

// The trailing pad API 88 grows for ceil rounding (kept when the window does
// not fit the padded input).
int pool_fix8b_ceil_pad(int input, int kernel, int pad_lo, int pad_hi, int stride);

// API 88.
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
  i32 pad_h_b;
  i32 pad_w_l;
  i32 pad_w_r;
  i32 stride_h;
  i32 stride_w;
  i32 pool_mode;
  i32 avg_pooling_mode;
  i32 rshift;
  i32 reserved;
  i32 reserved2;
  i32 opd0_sign;
  i32 opd1_sign;
  i32 opd2_sign;
  i32 output_sign;
  i32 out_mode;
  i32 nc_slice;
  i32 oh_slice;
  float lmem_scale;
} FW_PACKED zv_api_pooling_fix8b_forward_parallel_t;
static_assert(sizeof(zv_api_pooling_fix8b_forward_parallel_t) == 116,
              "zv_api_pooling_fix8b_forward_parallel_t is 116 bytes");

extern "C" {

u32 zv_api_pooling_fix8b_forward_parallel(u8 *param, u32 size);

// Output extent (input + pads - kernel) / stride + 1 with the pads as given.
// The reserved arguments are not read.
void nodechip_pooling_fix8b_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                             int input_w, int kh, int kw, int pad_h_top, int pad_h_bottom,
                                             int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                             int reserved0, int reserved1, int is_avg_pooling, int avg_pooling_mode,
                                             int rshift, int reserved2, int reserved3, int opd0_sign, int opd1_sign,
                                             int opd2_sign, int output_sign, int if_relu, int c_step, int h_step,
                                             float input_ratio, cmd_id_node_t *node);
void nodechip_pooling_fix8b_forward_parallel_with_data_split(
    u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h, int input_w, int kh, int kw,
    int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w, int reserved0,
    int reserved1, int is_avg_pooling, int avg_pooling_mode, int rshift, int reserved2, int reserved3, int opd0_sign,
    int opd1_sign, int opd2_sign, int output_sign, int if_relu, cmd_id_node_t *node);

// SAME padding: max pooling gains a last row (column) when the window division
// leaves a remainder; averages always divide by the input elements under the
// window. No avg_pooling_mode.
void nodechip_pooling_tf_fix8b_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                int input_h, int input_w, int kh, int kw, int pad_h_top,
                                                int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h,
                                                int stride_w, int reserved0, int reserved1, int is_avg_pooling,
                                                int rshift, int reserved2, int reserved3, int opd0_sign,
                                                int opd1_sign, int opd2_sign, int output_sign, int if_relu,
                                                int c_step, int h_step, float input_ratio, cmd_id_node_t *node);
void nodechip_pooling_tf_fix8b_forward_parallel_with_data_split(
    u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h, int input_w, int kh, int kw,
    int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w, int reserved0,
    int reserved1, int is_avg_pooling, int rshift, int reserved2, int reserved3, int opd0_sign, int opd1_sign,
    int opd2_sign, int output_sign, int if_relu, cmd_id_node_t *node);
}
