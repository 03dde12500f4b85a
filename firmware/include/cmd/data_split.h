// Data splits of the convolution, deconvolution and pooling layers.
//
// Before a global convolution, deconvolution or pooling layer runs, its wrapper
// asks one of these functions how to cut the work so that every slice fits a
// lane's local memory (8 banks of 64 KB) and respects the engines' limits (at
// most 4095 channels per command, so output sections of at most 63 lane rows).
// The result is a record of section counts the layer's worker loops over. A
// return of 0 means "cannot split"; the output record is then left as it was,
// except for the fields a split documents as written first.
//
// Zero or negative extents, kernels, dilations, strides or groups, and groups
// that leave no channel per group, fail an assertion. Byte counts are computed in
// 64 bits, so layers far beyond local memory are never mistaken for fitting ones.
#pragma once

#include "runtime/types.h"

typedef struct {
  u32 ocsecs;  // output-channel sections
  u32 icsecs;  // input-channel sections, accumulated by the worker
  u32 nsecs;   // batch sections
  u32 hsecs;   // output-row sections
  u32 wsecs;   // output-column sections
} conv_secs_info_t;
static_assert(sizeof(conv_secs_info_t) == 20, "conv_secs_info_t is five u32");

typedef struct {
  u32 ocsecs;
  u32 icsecs;
  u32 nsecs;
  u32 hsecs;
} deconv_secs_info_t;
static_assert(sizeof(deconv_secs_info_t) == 16, "deconv_secs_info_t is four u32");

typedef struct {
  u32 c_step;         // planes of the flattened N * C per slice, a multiple of 64
  u32 h_step;         // input rows the window start advances per slice (stride_h * output rows)
  float input_ratio;  // share of local memory given to the two input buffers
} pooling_secs_info_t;
static_assert(sizeof(pooling_secs_info_t) == 12, "pooling_secs_info_t is three words");

// Float32 convolution. Returns 1 with all five counts, 0 when no plan fits.
int global_conv_data_split(int input_n, int input_c, int input_h, int input_w, int output_c,
                           int output_h, int output_w, int groups, int kh, int kw, int dh, int dw,
                           int stride_h, int stride_w, int pad_h, int pad_h_after, int pad_w,
                           int pad_w_after, int using_bias, conv_secs_info_t *out);

// 16-bit convolution: one output channel per lane, all input channels at once.
// Writes wsecs = ceil(output_w / 16) first, even when it then returns 0.
// input_h, dw, stride_w and reserved are not read.
int global_conv_data_split_fix16b(int input_n, int input_c, int input_h, int input_w, int output_c,
                                  int output_h, int output_w, int groups, int kh, int kw, int dh,
                                  int dw, int stride_h, int stride_w, int using_bias, int ins_h,
                                  int reserved, conv_secs_info_t *out);

// 8-bit convolution of 4N input (batch counted in groups of four). Writes the
// first four counts only; input_h, dw, stride_w and reserved are not read.
int global_conv_data_split_fix8b(int input_n, int input_c, int input_h, int input_w, int output_c,
                                 int output_h, int output_w, int groups, int kh, int kw, int dh,
                                 int dw, int stride_h, int stride_w, int using_bias, int ins_h,
                                 int reserved, conv_secs_info_t *out);

// Per-lane bytes of a 16-bit convolution's output slice of `rows` rows.
int conv16_ofmap_csize_local(int rows);

// Float32 deconvolution; the four reserved arguments are not read.
int get_deconv_secs_info(int input_n, int reserved1, int input_h, int input_w, int input_c,
                         int output_c, int kh, int kw, int reserved2, int reserved3, int output_h,
                         int output_w, int reserved4, int stride_h, int dh, int pad_h, int groups,
                         deconv_secs_info_t *out);

// Float32 pooling. Returns 0 without writing when a pad exceeds its window;
// pad_h_after, pad_w_after, stride_w and mode are not used.
int global_pooling_data_split(int input_n, int input_c, int input_h, int input_w, int output_h,
                              int output_w, int kh, int kw, int pad_h, int pad_w, int pad_h_after,
                              int pad_w_after, int stride_h, int stride_w, int mode,
                              pooling_secs_info_t *out);
