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
#include "layers/conv/conv_fix8b.h"
#include "layers/conv/depthwise_fix.h"
#include "layers/conv/fc_fix8b.h"

namespace {

using zv::host::Card;

struct Call {
  uint32_t api;
  std::vector<uint32_t> payload;
};

struct Case {
  const char *layer;
  std::string shape;
  std::function<Call(Card &)> prepare;
};

template <class T>
Call call_of(uint32_t api, const T &r) {
  Call call{api, std::vector<uint32_t>(sizeof r / 4)};
  std::memcpy(call.payload.data(), &r, sizeof r);
  return call;
}

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
            r.bias_mode = 1, r.if_relu = 1, r.weight_layout = 1, r.rshift = 6;
            r.input_sign = r.weight_sign = r.bias_sign = 1;
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
            r.pad_h_top = r.pad_h_bottom = r.pad_w_left = r.pad_w_right = 1, r.stride_h = r.stride_w = 1;
            r.rshift = 4, r.have_bias = 1, r.opd0_sign = r.opd1_sign = r.opd2_sign = 1;
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

int main(int argc, char **argv) {
  const std::string elf = argc > 1 && argv[1][0] != '\0' ? argv[1] : ZV_ARM_ELF;
  const std::string only = argc > 2 ? argv[2] : "";
  std::printf("| layer | shape | modelled us | TE busy | ideal | GDMA busy | ARM insns | TE cmds | GDMA cmds |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Case &c : cases()) {
    if (!only.empty() && std::string(c.layer).find(only) == std::string::npos) continue;
    zv::host::CardOptions options;
    options.elf = elf;
    Card card(options);
    if (card.state() != Card::State::Running) {
      std::fprintf(stderr, "card did not start: %s\n", card.trouble().c_str());
      return 1;
    }
    const Call call = c.prepare(card);
    const size_t te_before = card.chip().engines.bd.commands().size();
    const size_t gdma_before = card.chip().engines.gdma.commands().size();
    const uint64_t before = card.instructions();
    auto answer = card.send(call.api, call.payload);
    if (!answer || answer->result != 0) {
      std::fprintf(stderr, "%s %s failed: %s\n%s", c.layer, c.shape.c_str(), card.trouble().c_str(),
                   card.console().c_str());
      return 1;
    }
    const zv::host::Timing &t = answer->timing;
    std::printf("| %s | %s | %.1f | %.3f | %.3f | %.3f | %llu | %zu | %zu |\n", c.layer, c.shape.c_str(),
                t.elapsed_us(), t.te_busy(), t.te_ideal(), t.gdma_busy(),
                static_cast<unsigned long long>(card.instructions() - before),
                card.chip().engines.bd.commands().size() - te_before,
                card.chip().engines.gdma.commands().size() - gdma_before);
    std::fflush(stdout);
  }
  return 0;
}
