// GEMM through API 105 on the delivered ARM image in the emulator: for a few
// sizes, the commands each engine took and the ARM instructions of the call.
//
// usage: gemm_bench [ELF]
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "cmd/gemm.h"

namespace {

struct Size {
  bool ta, tb;
  int M, N, K;
  float alpha, beta;
};

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string elf = argc > 1 ? argv[1] : ZV_ARM_ELF;
  const Size sizes[] = {
      {false, false, 1, 1, 1, 1.0f, 0.0f},       {false, false, 64, 64, 64, 1.0f, 0.0f},
      {false, false, 128, 256, 300, 1.0f, 1.0f}, {true, true, 200, 100, 50, 2.0f, 0.5f},
      {false, false, 40, 40, 3000, 1.0f, 0.0f},  {false, false, 512, 512, 512, 1.0f, 0.0f},
  };
  std::printf("%-6s %5s %5s %5s  %6s %6s %6s %6s  %12s\n", "op", "M", "N", "K", "fc", "scale", "other", "gdma",
              "ARM insns");
  std::mt19937 rng(1);
  for (const Size &s : sizes) {
    zv::host::CardOptions options;
    options.elf = elf;
    zv::host::Card card(options);
    if (card.state() != zv::host::Card::State::Running) {
      std::fprintf(stderr, "card did not start: %s\n", card.trouble().c_str());
      return 1;
    }
    const uint64_t a = 0x101000000ull, b = a + 0x1000000, c = b + 0x1000000;
    std::vector<float> data(size_t(std::max(s.M, s.K)) * std::max(s.N, s.K));
    for (auto &x : data) x = float(int(rng() % 9) - 4);
    for (uint64_t at : {a, b, c}) card.write(at, data.data(), data.size() * 4);
    zv_api_gemm_t r = {};
    r.trans_a = s.ta, r.trans_b = s.tb, r.m = s.M, r.n = s.N, r.k = s.K;
    r.alpha = bits(s.alpha), r.beta = bits(s.beta);
    r.a_addr = a, r.lda = s.ta ? s.M : s.K;
    r.b_addr = b, r.ldb = s.tb ? s.K : s.N;
    r.c_addr = c, r.ldc = s.N;
    std::vector<uint32_t> payload(sizeof r / 4);
    std::memcpy(payload.data(), &r, sizeof r);
    const uint64_t before = card.instructions();
    auto answer = card.send(105, payload);
    if (!answer || answer->result != 0) {
      std::fprintf(stderr, "GEMM %dx%dx%d failed: %s\n", s.M, s.N, s.K, card.trouble().c_str());
      return 1;
    }
    const uint64_t insns = card.instructions() - before;
    size_t fc = 0, scale = 0, other = 0;
    for (const auto &cmd : card.chip().engines.bd.commands()) (cmd.kind == 2 ? fc : cmd.kind == 8 ? scale : other)++;
    std::printf("%-6s %5d %5d %5d  %6zu %6zu %6zu %6zu  %12llu\n", s.ta ? (s.tb ? "AtBt" : "AtB") : (s.tb ? "ABt" : "AB"),
                s.M, s.N, s.K, fc, scale, other, card.chip().engines.gdma.commands().size(),
                (unsigned long long)insns);
  }
  return 0;
}
