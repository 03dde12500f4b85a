// The control core's pace: for a few typical messages, each one call on a
// fresh card running the ARM image in the emulator, the ARM instructions of the
// call, its device-register writes, instructions per write, and the ARM's time
// (the core at 500 MHz, one instruction a cycle: an optimistic bound) over the
// call's modelled elapsed time. A ratio above 1 means the ARM, not the engines,
// sets the pace of the call.
//
// usage: arm_pace_bench [ELF [MESSAGE]] (an empty ELF names the built image;
// MESSAGE keeps the rows whose name contains it)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "cmd/gemm.h"
#include "cmd/memory_fill_copy.h"
#include "layer_calls.h"
#include "layers/conv/conv.h"
#include "layers/eltwise/eltwise.h"
#include "layers/eltwise/softmax.h"

namespace {

using bench::Call;
using bench::Case;
using bench::call_of;
using zv::host::Card;

constexpr double kArmMhz = 500.0;
constexpr uint64_t kIn = 0x101000000ull, kW = 0x111000000ull, kBias = 0x121000000ull, kOut = 0x131000000ull;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

void fill(Card &card, uint64_t at, size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<float> v(count);
  for (float &x : v) x = float(int(rng() % 9) - 4);
  card.write(at, v.data(), v.size() * 4);
}

// API 1, a two-byte pattern over `halfwords` halfwords.
Case memset_halfwords(uint32_t halfwords) {
  return {"memset (1)", std::to_string(halfwords) + " halfwords", [=](Card &) {
            return call_of(1, zv_api_memset_t{kOut, 2 * halfwords, 2, 0xbeef});
          }};
}

// API 49 with the split the firmware's wrapper would choose (the data split,
// then conv_pipeline_secs).
Case conv(int c, int hw, int oc, int k) {
  const int pad = k / 2, o = hw;
  conv_secs_info_t secs = {};
  if (!global_conv_data_split(1, c, hw, hw, oc, o, o, 1, k, k, 1, 1, 1, 1, pad, pad, pad, pad, 1, &secs))
    std::abort();
  conv_pipeline_secs(&secs, CONV_PIPE_STEP_MACS, 1, c, 1, oc, k, k, o, o);
  const int hsecs = int(secs.hsecs), icsecs = int(secs.icsecs), ocsecs = int(secs.ocsecs);
  const std::string shape = std::to_string(k) + "x" + std::to_string(k) + " " + std::to_string(hw) + "x" +
                            std::to_string(hw) + "x" + std::to_string(c) + "->" + std::to_string(oc) + " (h" +
                            std::to_string(hsecs) + ")";
  return {"conv (49)", shape, [=](Card &card) {
            fill(card, kIn, size_t(c) * hw * hw, 1);
            fill(card, kW, size_t(oc) * ((c + 1) & ~1) * k * k, 2);
            fill(card, kBias, size_t(oc), 3);
            const zv_api_conv_forward_parallel_t r = {kIn, kOut, kW, kBias, 1, c, hw, hw, 1, oc, k, k, 1, 1,
                                                      pad, pad, pad, pad, 1, 1, 1, 0, 0, hsecs, 1,
                                                      icsecs, ocsecs};
            return call_of(49, r);
          }};
}

// API 105, C = A x B.
Case gemm(int n) {
  const std::string s = std::to_string(n);
  return {"GEMM (105)", s + " x " + s + " x " + s, [=](Card &card) {
            fill(card, kIn, size_t(n) * n, 4);
            fill(card, kW, size_t(n) * n, 5);
            zv_api_gemm_t r = {};
            r.m = n, r.n = n, r.k = n;
            r.alpha = bits(1.0f), r.beta = bits(0.0f);
            r.a_addr = kIn, r.lda = n, r.b_addr = kW, r.ldb = n, r.c_addr = kOut, r.ldc = n;
            return call_of(105, r);
          }};
}

// API 67, float input, softmax over `c` channels of one item.
Case softmax(uint32_t c) {
  return {"softmax (67)", "1 x " + std::to_string(c), [=](Card &card) {
            fill(card, kIn, c, 6);
            return call_of(67, zv_api_softmax_forward_parallel_t{kIn, kOut, 1, c, 1, 1, 0, 0.0f, 0, 0});
          }};
}

// API 36, the sum of two inputs of 1000 x 1000 floats.
Case eltwise_add() {
  return {"element-wise add (36)", "2 x 1000 x 1000", [](Card &card) {
            fill(card, kIn, 1000000, 7);
            fill(card, kW, 1000000, 8);
            zv_api_eltwise_forward_t r = {};
            r.input_addr[0] = kIn, r.input_addr[1] = kW, r.output_addr = kOut, r.mask_addr = kBias;
            r.input_num = 2, r.op_code = ELTWISE_SUM;
            r.input_shape[0] = 1, r.input_shape[1] = 1000, r.input_shape[2] = 1, r.input_shape[3] = 1000;
            r.coeff[0] = r.coeff[1] = 1.0f;
            return call_of(36, r);
          }};
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<Case> cases = {memset_halfwords(10), conv(64, 56, 64, 3), conv(256, 28, 512, 1), gemm(512),
                                   softmax(1000),        eltwise_add()};
  std::printf("| message | shape | ARM insns | reg writes | insns per write | ARM us | modelled us | ARM / modelled |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|\n");
  return bench::for_each_layer_call(argc, argv, cases, [](Card &card, const Case &c, const Call &call) {
    const uint64_t insns_before = card.instructions(), writes_before = card.chip().register_writes();
    auto answer = card.send(call.api, call.payload);
    if (!answer || answer->result != 0) return false;
    const uint64_t insns = card.instructions() - insns_before;
    const uint64_t writes = card.chip().register_writes() - writes_before;
    const double arm_us = double(insns) / kArmMhz, modelled_us = answer->timing.elapsed_us();
    std::printf("| %s | %s | %llu | %llu | %.0f | %.1f | %.1f | %.2f |\n", c.layer.c_str(), c.shape.c_str(),
                static_cast<unsigned long long>(insns), static_cast<unsigned long long>(writes),
                writes ? double(insns) / double(writes) : 0.0, arm_us, modelled_us,
                modelled_us > 0 ? arm_us / modelled_us : 0.0);
    return true;
  });
}
