// How well the float convolution family keeps the tensor engine busy, in
// modelled time: typical layers, each one API call on a fresh card running the
// ARM image in the emulator, with the modelled elapsed time, the tensor
// engine's busy fraction, the ideal fraction (its products at the peak rate
// over the elapsed time), GDMA's busy fraction and the ARM instructions of the
// call. Split counts are the host's choice and are printed with each case.
//
// usage: conv_bench [ELF [LAYER]] (an empty ELF names the built image; LAYER
// keeps the cases whose name contains it)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "layer_calls.h"
#include "layers/conv/conv.h"
#include "layers/conv/depthwise.h"
#include "layers/conv/fc.h"

namespace {

using zv::host::Card;

using bench::Call;
using bench::Case;
using bench::call_of;

constexpr uint64_t kIn = 0x101000000ull, kW = 0x111000000ull, kBias = 0x121000000ull, kOut = 0x131000000ull;

void fill(Card &card, uint64_t at, size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<float> v(count);
  for (float &x : v) x = float(int(rng() % 9) - 4);
  card.write(at, v.data(), v.size() * 4);
}

// API 49, layout 0 weights, bias; secs: h, n, ic, oc. hsecs 0 takes the
// counts the firmware's wrapper would choose (the data split, then
// conv_pipeline_secs).
Case conv(int c, int hw, int oc, int k, int stride, int hsecs, int icsecs, int ocsecs) {
  const int pad = k / 2;
  const bool plan = hsecs == 0;
  if (plan) {
    const int o = (hw + 2 * pad - k) / stride + 1;
    conv_secs_info_t secs = {};
    if (!global_conv_data_split(1, c, hw, hw, oc, o, o, 1, k, k, 1, 1, stride, stride, pad, pad, pad, pad, 1, &secs))
      std::abort();
    conv_pipeline_secs(&secs, CONV_PIPE_STEP_MACS, 1, c, 1, oc, k, k, o, o);
    hsecs = int(secs.hsecs), icsecs = int(secs.icsecs), ocsecs = int(secs.ocsecs);
  }
  const std::string shape = std::to_string(k) + "x" + std::to_string(k) + " s" + std::to_string(stride) + " " +
                            std::to_string(hw) + "x" + std::to_string(hw) + "x" + std::to_string(c) + "->" +
                            std::to_string(oc) + " (h" + std::to_string(hsecs) + " ic" + std::to_string(icsecs) +
                            " oc" + std::to_string(ocsecs) + (plan ? ", plan" : "") + ")";
  return {"conv (49)", shape, [=](Card &card) {
            fill(card, kIn, size_t(c) * hw * hw, 1);
            fill(card, kW, size_t(oc) * ((c + 1) & ~1) * k * k, 2);
            fill(card, kBias, size_t(oc), 3);
            const zv_api_conv_forward_parallel_t r = {kIn, kOut, kW, kBias, 1, c, hw, hw, 1, oc, k, k, 1, 1,
                                                      pad, pad, pad, pad, stride, stride, 1, 0, 0, hsecs, 1,
                                                      icsecs, ocsecs};
            return call_of(49, r);
          }};
}

Case depthwise(int c, int hw) {
  return {"depthwise (152)", "3x3 " + std::to_string(hw) + "x" + std::to_string(hw) + "x" + std::to_string(c),
          [=](Card &card) {
            fill(card, kIn, size_t(c) * hw * hw, 4);
            fill(card, kW, size_t(c) * 9, 5);
            fill(card, kBias, size_t(c), 6);
            return call_of(152, zv_api_depthwise_forward_t{kIn, kOut, kW, kBias, 1, c, hw, hw, 3, 3, 1, 1, 1, 1, 1,
                                                           1, 1});
          }};
}

Case fc(int M, int K, int N) {
  return {"FC (900)", std::to_string(M) + " x " + std::to_string(K) + " x " + std::to_string(N), [=](Card &card) {
            fill(card, kIn, size_t(M) * K, 7);
            fill(card, kW, size_t(K) * N, 8);
            fill(card, kBias, size_t(N), 9);
            return call_of(900, zv_api_fc_forward_parallel_t{kIn, kW, kBias, kOut, 0, M, K, N, 0, 1, 0, 0, 0, 1,
                                                             0.0f, 32});
          }};
}

const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      conv(64, 56, 64, 3, 1, 1, 1, 1),    conv(64, 56, 64, 3, 1, 4, 1, 1),    conv(64, 56, 64, 3, 1, 8, 1, 1),
      conv(64, 56, 64, 3, 1, 14, 1, 1),   conv(64, 56, 64, 3, 1, 0, 1, 1),    conv(256, 28, 512, 1, 1, 1, 1, 1),
      conv(256, 28, 512, 1, 1, 4, 1, 1),  conv(256, 28, 512, 1, 1, 2, 1, 2),  conv(256, 28, 512, 1, 1, 1, 1, 4),
      conv(256, 28, 512, 1, 1, 14, 1, 1), conv(256, 28, 512, 1, 1, 0, 1, 1),  conv(64, 56, 128, 3, 2, 1, 1, 1),
      conv(64, 56, 128, 3, 2, 4, 1, 1),   conv(64, 56, 128, 3, 2, 5, 1, 1), conv(64, 56, 128, 3, 2, 6, 1, 1), conv(64, 56, 128, 3, 2, 7, 1, 1),   conv(64, 56, 128, 3, 2, 0, 1, 1),
      conv(128, 112, 128, 3, 1, 1, 1, 1), conv(128, 112, 128, 3, 1, 0, 1, 1), depthwise(32, 112),
      fc(1, 4096, 1000),
      fc(64, 4096, 1000),                 fc(256, 4096, 1000),
  };
  return all;
}

}  // namespace

int main(int argc, char **argv) { return bench::run_layer_calls(argc, argv, cases()); }
