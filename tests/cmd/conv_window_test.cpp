// The window record's extents: effective kernel and output rows and columns
// under strides, dilation, uneven pads and zero insertion, the empty output,
// and a deconvolution packed as the convolution it is.
#include <gtest/gtest.h>

#include "cmd/conv_window.h"

namespace {

TEST(ConvWindowExtent, Table) {
  struct Case {
    const char *what;
    conv_window_t w;
    int ih, iw;
    i64 khe, kwe, oh, ow;
  };
  // Fields: kh kw dh dw pad_t pad_b pad_l pad_r stride_h stride_w ins_h ins_w.
  const Case cases[] = {
      {"1x1, no pad: output is the input", {1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0}, 5, 7, 1, 1, 5, 7},
      {"3x3 same padding", {3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0}, 6, 4, 3, 3, 6, 4},
      {"stride 2 rounds down", {3, 3, 1, 1, 0, 0, 0, 0, 2, 2, 0, 0}, 8, 7, 3, 3, 3, 3},
      {"dilation widens the kernel", {3, 2, 2, 3, 0, 0, 0, 0, 1, 1, 0, 0}, 9, 9, 5, 4, 5, 6},
      {"pads in their order: top, bottom, left, right", {3, 3, 1, 1, 2, 0, 0, 1, 1, 1, 0, 0}, 4, 4, 3, 3, 4, 3},
      {"rows and columns differ", {5, 1, 1, 1, 0, 0, 0, 0, 3, 1, 0, 0}, 11, 2, 5, 1, 3, 2},
      {"insertions spread the input", {3, 3, 1, 1, 0, 0, 0, 0, 1, 1, 1, 2}, 4, 3, 3, 3, 5, 5},
      {"kernel exactly the padded input", {4, 4, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0}, 3, 3, 4, 4, 1, 1},
      // A span of -1 or -2 would truncate to 0 and give one row: it is empty.
      {"kernel one beyond the input: empty", {4, 3, 1, 1, 0, 0, 0, 0, 2, 2, 0, 0}, 3, 1, 4, 3, 0, 0},
      {"dilated kernel beyond the input: empty", {2, 2, 5, 1, 0, 0, 0, 0, 1, 1, 0, 0}, 4, 2, 6, 2, 0, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const conv_extent_t e = conv_window_extent(&k.w, k.ih, k.iw);
    EXPECT_EQ(e.kh, k.khe);
    EXPECT_EQ(e.kw, k.kwe);
    EXPECT_EQ(e.oh, k.oh);
    EXPECT_EQ(e.ow, k.ow);
  }
}

TEST(ConvWindowExtent, LargeValuesDoNotWrap) {
  const conv_window_t w = conv_window_of(70000, 1, 70000, 1, 0, 0, 0, 0, 1, 1);
  const conv_extent_t e = conv_window_extent(&w, 1 << 30, 1);
  EXPECT_EQ(e.kh, 69999ll * 70000 + 1);
  EXPECT_EQ(e.oh, 0);
  EXPECT_EQ(e.ow, 1);
}

TEST(ConvWindowExtent, DeconvolutionAsConvolution) {
  struct Case {
    const char *what;
    int ih, k, d, pad, opad, stride;
  };
  const Case cases[] = {
      {"stride 2, kernel 4, pad 1", 5, 4, 1, 1, 0, 2},
      {"stride 3 with output padding", 4, 3, 1, 0, 2, 3},
      {"dilated, pad beyond the kernel", 6, 2, 2, 3, 0, 1},
      {"stride 1 is a full convolution", 3, 3, 1, 0, 0, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const conv_window_t w = conv_window_of_deconv(k.k, 1, k.d, 1, k.pad, 0, k.opad, 0, k.stride, 1);
    const conv_extent_t e = conv_window_extent(&w, k.ih, 7);
    const i64 keff = (i64)(k.k - 1) * k.d + 1;
    EXPECT_EQ(e.oh, (i64)(k.ih - 1) * k.stride + keff - 2 * k.pad + k.opad);
    EXPECT_EQ(e.ow, 7);
    EXPECT_EQ(w.stride_h, 1);
    EXPECT_EQ(w.ins_h, k.stride - 1);
  }
}

}  // namespace
