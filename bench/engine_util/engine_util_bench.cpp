// How well layer calls keep the engines busy, in modelled time: for each case,
// one API call on a fresh card running the ARM image in the emulator, with its
// modelled elapsed time, the tensor engine's and GDMA's busy fractions, the
// ideal fraction (the tensor engine's products at its peak rate over the
// elapsed time), the ARM instructions of the call and the commands issued.
//
// usage: engine_util_bench [ELF]
//
// A layer family adds its cases to kCases: a name, the shape it reports, and a
// function that writes the inputs and returns the API id and payload.
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "cmd/gemm.h"

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

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// C = A x B through API 105: A is M x K, B is K x N, small integers so that
// float32 sums are exact.
Case gemm(int M, int N, int K) {
  return {"GEMM (105)", std::to_string(M) + " x " + std::to_string(N) + " x " + std::to_string(K), [=](Card &card) {
            const uint64_t a = 0x100000000ull, b = a + 0x10000000, c = b + 0x10000000;
            std::mt19937 rng(1);
            auto fill = [&](uint64_t at, size_t count) {
              std::vector<float> v(count);
              for (float &x : v) x = float(int(rng() % 9) - 4);
              card.write(at, v.data(), v.size() * 4);
            };
            fill(a, size_t(M) * K);
            fill(b, size_t(K) * N);
            zv_api_gemm_t r = {};
            r.m = M, r.n = N, r.k = K;
            r.alpha = bits(1.0f), r.beta = bits(0.0f);
            r.a_addr = a, r.lda = K;
            r.b_addr = b, r.ldb = N;
            r.c_addr = c, r.ldc = N;
            Call call{105, std::vector<uint32_t>(sizeof r / 4)};
            std::memcpy(call.payload.data(), &r, sizeof r);
            return call;
          }};
}

const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      gemm(64, 64, 64), gemm(256, 256, 256), gemm(512, 512, 512), gemm(1024, 1024, 1024), gemm(1, 4096, 4096),
  };
  return all;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string elf = argc > 1 ? argv[1] : ZV_ARM_ELF;
  std::printf("| layer | shape | modelled us | TE busy | ideal | GDMA busy | ARM insns | reg writes | TE cmds | "
              "GDMA cmds |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Case &c : cases()) {
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
    const uint64_t writes_before = card.chip().register_writes();
    auto answer = card.send(call.api, call.payload);
    if (!answer || answer->result != 0) {
      std::fprintf(stderr, "%s %s failed: %s\n", c.layer, c.shape.c_str(), card.trouble().c_str());
      return 1;
    }
    const zv::host::Timing &t = answer->timing;
    std::printf("| %s | %s | %.1f | %.3f | %.3f | %.3f | %llu | %llu | %zu | %zu |\n", c.layer,
                c.shape.c_str(), t.elapsed_us(), t.te_busy(), t.te_ideal(), t.gdma_busy(),
                static_cast<unsigned long long>(card.instructions() - before),
                static_cast<unsigned long long>(card.chip().register_writes() - writes_before),
                card.chip().engines.bd.commands().size() - te_before,
                card.chip().engines.gdma.commands().size() - gdma_before);
    std::fflush(stdout);
  }
  return 0;
}
