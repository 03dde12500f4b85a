// Plain reference for the transposed convolution (deconvolution), from its
// definition: every input element scatters its products with the kernel into
// the output, input row iy and kernel row ky landing on row iy * stride - pad
// + ky (columns alike); rows and columns outside the output are dropped.
#pragma once

#include <vector>

#include "ref/conv_ref.h"

namespace zv::ref::deconv {

using conv::T4;

struct Params {
  int kh = 1, kw = 1;
  int stride_h = 1, stride_w = 1;
  int pad_t = 0, pad_b = 0, pad_l = 0, pad_r = 0;
  int out_pad_h = 0, out_pad_w = 0;
  int out_h(int ih) const { return stride_h * (ih - 1) + out_pad_h - (pad_t + pad_b) + kh; }
  int out_w(int iw) const { return stride_w * (iw - 1) + out_pad_w - (pad_l + pad_r) + kw; }
};

// w is oc x ic x kh x kw (one group); bias one value per output channel or
// empty.
inline T4 deconvolution(const T4 &in, const T4 &w, const std::vector<double> &bias, const Params &p) {
  T4 out(in.n, w.n, p.out_h(in.h), p.out_w(in.w));
  for (int n = 0; n < in.n; n++)
    for (int o = 0; o < w.n; o++) {
      for (int y = 0; y < out.h; y++)
        for (int x = 0; x < out.w; x++) out.at(n, o, y, x) = bias.empty() ? 0.0 : bias[o];
      for (int i = 0; i < in.c; i++)
        for (int iy = 0; iy < in.h; iy++)
          for (int ix = 0; ix < in.w; ix++)
            for (int ky = 0; ky < p.kh; ky++)
              for (int kx = 0; kx < p.kw; kx++) {
                const int y = iy * p.stride_h - p.pad_t + ky, x = ix * p.stride_w - p.pad_l + kx;
                if (y < 0 || y >= out.h || x < 0 || x >= out.w) continue;
                out.at(n, o, y, x) += in.at(n, i, iy, ix) * w.at(o, i, ky, kx);
              }
    }
  return out;
}

}  // namespace zv::ref::deconv
