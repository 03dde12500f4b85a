// How well the fixed-point convolution family keeps the engines busy, in
// modelled time: for each typical layer, one API call on a fresh card running
// the ARM image in the emulator, with its modelled elapsed time, the tensor
// engine's and GDMA's busy fractions, the ideal fraction (the tensor engine's
// products at its peak rate over the elapsed time), the ARM instructions of
// the call and the commands issued.
//
// usage: conv_fix_bench [ELF [LAYER]] (an empty ELF names the built image;
// LAYER keeps the cases whose layer name contains it)
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "layer_calls.h"
#include "layers/conv/conv_fix8b.h"
#include "layers/conv/depthwise_fix.h"
#include "layers/conv/fc_fix8b.h"

namespace {

using zv::host::Card;

using bench::Call;
using bench::Case;
using bench::call_of;

constexpr uint64_t kIn = 0x101000000ull, kWeight = 0x111000000ull, kBias = 0x121000000ull, kOut = 0x131000000ull;

void fill(Card &card, uint64_t at, size_t bytes, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(bytes);
  for (uint8_t &x : v) x = uint8_t(rng() % 15 - 7);
  card.write(at, v.data(), v.size());
}

// 8-bit convolution of 4 items, ic -> oc, k x k, stride s, pad (k - 1) / 2 (API 83).
Case conv8(int hw, int ic, int oc, int k, int s) {
  return {"8-bit conv (83)",
          std::to_string(k) + "x" + std::to_string(k) + " s" + std::to_string(s) + " " + std::to_string(hw) + "x" +
              std::to_string(hw) + "x" + std::to_string(ic) + "->" + std::to_string(oc),
          [=](Card &card) {
            fill(card, kIn, size_t(ic) * hw * hw * 4, 1);
            fill(card, kWeight, size_t(oc) * ((ic + 3) / 4 * 4) * k * k, 2);
            fill(card, kBias, size_t(oc) * 2, 3);
            zv_api_conv_forward_parallel_fix8b_t r = {};
            r.input_addr = kIn, r.output_addr = kOut, r.weight_addr = kWeight, r.bias_addr = kBias;
            r.input_n = 4, r.input_c = ic, r.input_h = r.input_w = hw, r.groups = 1, r.output_c = oc;
            r.kh = r.kw = k, r.dh = r.dw = 1, r.stride_h = r.stride_w = s;
            r.pad_h = r.pad_h_after = r.pad_w = r.pad_w_after = (k - 1) / 2;
            r.using_bias = 1, r.if_relu = 1, r.weight_layout = 1, r.rshift = 6;
            r.opd0_sign = r.opd1_sign = r.opd2_sign = 1;
            return call_of(83, r);
          }};
}

// 8-bit depthwise 3x3 of 4 items (API 97).
Case depthwise8(int hw, int c) {
  return {"8-bit depthwise (97)", "3x3 " + std::to_string(hw) + "x" + std::to_string(hw) + "x" + std::to_string(c),
          [=](Card &card) {
            fill(card, kIn, size_t(c) * hw * hw * 4, 4);
            fill(card, kWeight, size_t(c) * 9, 5);
            fill(card, kBias, size_t(c) * 2, 6);
            zv_api_depthwise_fix8b_forward_parallel_t r = {};
            r.input_addr = kIn, r.output_addr = kOut, r.weight_addr = kWeight, r.bias_addr = kBias;
            r.input_n = 4, r.input_c = c, r.input_h = r.input_w = hw, r.kh = r.kw = 3;
            r.pad_h_t = r.pad_h_b = r.pad_w_l = r.pad_w_r = 1, r.stride_h = r.stride_w = 1;
            r.rshift = 4, r.using_bias = 1, r.opd0_sign = r.opd1_sign = r.opd2_sign = 1;
            return call_of(97, r);
          }};
}

// 8-bit fully connected M x K x N (API 85).
Case fc8(int M, int K, int N) {
  return {"8-bit FC (85)", std::to_string(M) + " x " + std::to_string(K) + " x " + std::to_string(N),
          [=](Card &card) {
            fill(card, kIn, size_t(M) * K, 7);
            fill(card, kWeight, size_t(K) * N, 8);
            fill(card, kBias, size_t(N) * 2, 9);
            const zv_api_fc_fix8b_forward_parallel_t r = {kIn, kWeight, kBias, kOut, M, K, N, 0, 1, 1, 1, 1, 9,
                                                          0,   0,       0,     0};
            return call_of(85, r);
          }};
}

const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      conv8(56, 64, 64, 3, 1), conv8(28, 256, 512, 1, 1), conv8(56, 64, 128, 3, 2),
      depthwise8(112, 32),     fc8(4, 4096, 1000),        fc8(64, 4096, 1000),
  };
  return all;
}

}  // namespace

int main(int argc, char **argv) { return bench::run_layer_calls(argc, argv, cases()); }
