// GEMM through API 105 on the delivered ARM image in the emulator: a sweep of
// shapes (cubes, non-square products and single rows), each on a fresh card,
// printing the modelled time against its bound, the engines' busy fractions,
// the ARM instructions of the call and the commands it issued.
//
// The bound is the larger of the tensor engine's peak (1024 float32 products
// a cycle at 800 MHz) and GDMA's rate for moving A, B and C once (32 bytes a
// cycle).
//
// usage: gemm_bench [ELF [SHAPE]]  (an empty ELF names the built image; SHAPE
// keeps the rows whose shape text contains it)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "layer_calls.h"
#include "cmd/gemm.h"

namespace {

struct Shape {
  int M, N, K;
  bool ta = false, tb = false;
  float alpha = 1.0f, beta = 0.0f;
};

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

double bound_us(const Shape &s) {
  const double products = double(s.M) * s.N * s.K / 1024.0;
  const double bytes = 4.0 * (double(s.M) * s.K + double(s.K) * s.N + double(s.M) * s.N) / 32.0;
  return (products > bytes ? products : bytes) * 1.25e-3;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string elf = argc > 1 && argv[1][0] != '\0' ? argv[1] : ZV_ARM_ELF;
  const std::string only = argc > 2 ? argv[2] : "";
  const Shape shapes[] = {
      {64, 64, 64},     {128, 128, 128},   {256, 256, 256},  {512, 512, 512},  {1024, 1024, 1024},
      {2048, 2048, 2048}, {1024, 4096, 256}, {4096, 256, 1024}, {4096, 64, 4096}, {64, 4096, 4096},
      {4096, 4096, 64}, {256, 1000, 4096}, {1, 1024, 1024},   {1, 4096, 4096},  {1, 1000, 4096},
      {200, 100, 50, true, true, 2.0f, 0.5f}, {40, 40, 3000}, {1024, 1024, 1024, true, false, 1.0f, 1.0f},
  };
  std::printf("| M x N x K | plan Ms/Ns/Ks | modelled us | bound us | x bound | TE busy | ideal | GDMA busy | ARM insns "
              "| TE cmds | GDMA cmds |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  std::mt19937 rng(1);
  for (const Shape &s : shapes) {
    char name[96];
    std::snprintf(name, sizeof name, "%d x %d x %d%s%s", s.M, s.N, s.K, s.ta || s.tb ? (s.ta ? (s.tb ? " AtBt" : " AtB") : " ABt") : "",
                  s.alpha != 1.0f || s.beta != 0.0f ? (s.beta != 0.0f && s.beta != 1.0f ? " alpha, beta" : " beta 1") : "");
    if (!only.empty() && std::string(name).find(only) == std::string::npos) continue;
    zv::host::CardOptions options;
    options.elf = elf;
    zv::host::Card card(options);
    if (card.state() != zv::host::Card::State::Running) {
      std::fprintf(stderr, "card did not start: %s\n", card.trouble().c_str());
      return 1;
    }
    // A, B and C each in their own 256 MB of device memory.
    const uint64_t a = 0x101000000ull, b = a + 0x10000000, c = b + 0x10000000;
    auto fill = [&](uint64_t at, size_t count) {
      std::vector<float> v(count);
      for (float &x : v) x = float(int(rng() % 9) - 4);
      card.write(at, v.data(), v.size() * 4);
    };
    fill(a, size_t(s.M) * s.K);
    fill(b, size_t(s.K) * s.N);
    if (s.beta != 0.0f) fill(c, size_t(s.M) * s.N);
    zv_api_gemm_t r = {};
    r.trans_a = s.ta, r.trans_b = s.tb;
    r.m = s.M, r.n = s.N, r.k = s.K;
    r.alpha = bits(s.alpha), r.beta = bits(s.beta);
    r.a_addr = a, r.lda = s.ta ? s.M : s.K;
    r.b_addr = b, r.ldb = s.tb ? s.K : s.N;
    r.c_addr = c, r.ldc = s.N;
    std::vector<uint32_t> payload(sizeof r / 4);
    std::memcpy(payload.data(), &r, sizeof r);
    const size_t te_before = card.chip().engines.bd.commands().size();
    const size_t gdma_before = card.chip().engines.gdma.commands().size();
    const uint64_t before = card.instructions();
    auto answer = card.send(105, payload);
    if (!answer || answer->result != 0) {
      std::printf("| %s | - | failed: %s |\n", name, card.trouble().c_str());
      std::fflush(stdout);
      continue;
    }
    const uint64_t insns = card.instructions() - before;
    // The plan the firmware chose, as the host build computes it.
    gemm_plan_t plan;
    gemm_plan_of(&plan, s.M, s.N, s.K, s.ta, s.alpha != 1.0f, s.beta != 0.0f, s.beta != 0.0f && s.beta != 1.0f);
    const zv::host::Timing &t = answer->timing;
    const double bound = bound_us(s);
    std::printf("| %s | %d/%d/%d | %.1f | %.1f | %.2f | %.3f | %.3f | %.3f | %llu | %zu | %zu |\n", name, plan.Ms,
                plan.Ns, plan.Ks, t.elapsed_us(), bound, t.elapsed_us() / bound, t.te_busy(), t.te_ideal(),
                t.gdma_busy(), (unsigned long long)insns, card.chip().engines.bd.commands().size(),
                card.chip().engines.gdma.commands().size());
    if (std::getenv("ZV_BENCH_TIMELINE")) bench::print_timeline(card, te_before, gdma_before);
    std::fflush(stdout);
  }
  return 0;
}
