// The geometry of a windowed layer (convolution, deconvolution, pooling) in
// one record, and the one place its extents are derived.
//
// A window of kh x kw taps, dh/dw apart, slides stride_h/stride_w over an
// input that has ins_h/ins_w zeros inserted between neighbouring rows/columns
// (a deconvolution's stride; 0 for a plain convolution) and is padded by
// pad_t/pad_b rows above/below and pad_l/pad_r columns left/right. The
// section counts of a data split travel beside it as conv_secs_info_t.
#pragma once

#include "runtime/types.h"

typedef struct {
  int kh, kw;              // taps
  int dh, dw;              // dilation: distance between taps
  int pad_t, pad_b;        // rows above and below the input
  int pad_l, pad_r;        // columns left and right of the input
  int stride_h, stride_w;  // window step
  int ins_h, ins_w;        // zeros inserted between input rows / columns
} conv_window_t;

// Effective kernel (the input span one window covers) and output extents, in
// 64 bits so that hostile records cannot wrap. An axis whose padded input is
// shorter than its effective kernel has no output: its extent is 0.
typedef struct {
  i64 kh, kw;  // effective kernel: (k - 1) * d + 1
  i64 oh, ow;  // output rows and columns
} conv_extent_t;

// (k - 1) * d + 1: the one spelling of the effective kernel.
static inline i64 conv_kernel_extent(i64 k, i64 d) { return (k - 1) * d + 1; }

// Output extent of one axis of `in` inputs; strides are positive (callers
// check them first).
static inline i64 conv_axis_extent(i64 in, i64 ins, i64 pad_lo, i64 pad_hi, i64 keff, i64 stride) {
  const i64 span = (in - 1) * (ins + 1) + 1 + pad_lo + pad_hi - keff;
  return span < 0 ? 0 : span / stride + 1;
}

static inline conv_extent_t conv_window_extent(const conv_window_t *w, i64 input_h, i64 input_w) {
  conv_extent_t e;
  e.kh = conv_kernel_extent(w->kh, w->dh);
  e.kw = conv_kernel_extent(w->kw, w->dw);
  e.oh = conv_axis_extent(input_h, w->ins_h, w->pad_t, w->pad_b, e.kh, w->stride_h);
  e.ow = conv_axis_extent(input_w, w->ins_w, w->pad_l, w->pad_r, e.kw, w->stride_w);
  return e;
}

// A window with no insertions.
static inline conv_window_t conv_window_of(int kh, int kw, int dh, int dw, int pad_t, int pad_b, int pad_l,
                                           int pad_r, int stride_h, int stride_w) {
  conv_window_t w = {kh, kw, dh, dw, pad_t, pad_b, pad_l, pad_r, stride_h, stride_w, 0, 0};
  return w;
}

// A deconvolution of stride s, padding p and output padding op per axis, as
// the convolution it is: s - 1 zeros inserted between inputs, k_eff - 1 - p
// pad on each side (plus op after), stride 1. Its output extent is
// (in - 1) * s + k_eff - 2 * p + op.
static inline conv_window_t conv_window_of_deconv(int kh, int kw, int dh, int dw, int pad_h, int pad_w,
                                                  int output_pad_h, int output_pad_w, int stride_h, int stride_w) {
  const int pth = (int)conv_kernel_extent(kh, dh) - 1 - pad_h, ptw = (int)conv_kernel_extent(kw, dw) - 1 - pad_w;
  conv_window_t w = {kh, kw, dh, dw, pth, pth + output_pad_h, ptw, ptw + output_pad_w, 1, 1, stride_h - 1,
                     stride_w - 1};
  return w;
}
