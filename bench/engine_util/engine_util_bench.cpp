// How well layer calls keep the engines busy, in modelled time: for each case,
// one API call on a fresh card running the ARM image in the emulator, with its
// modelled elapsed time, the tensor engine's and GDMA's busy fractions, the
// ideal fraction (the tensor engine's products at its peak rate over the
// elapsed time), the ARM instructions of the call and the commands issued,
// and the host's wall time of the call (also per modelled microsecond).
//
// usage: engine_util_bench [ELF [LAYER]] (an empty ELF names the built image;
// LAYER keeps the cases whose layer name contains it)
//
// A layer family adds its cases to kCases: a name, the shape it reports, and a
// function that writes the inputs and returns the API id and payload.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "cmd/gemm.h"
#include "layers/data/arg.h"
#include "layers/data/reduce.h"
#include "layers/data/select.h"
#include "layers/data/topk.h"

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
            const uint64_t a = 0x101000000ull, b = a + 0x10000000, c = b + 0x10000000;
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

// Float32 values with few ties at 0x101000000, `count` of them.
uint64_t write_values(Card &card, size_t count) {
  const uint64_t at = 0x101000000ull;
  std::mt19937 rng(2);
  std::vector<float> v(count);
  for (float &x : v) x = float(int(rng() % 2000001) - 1000000) * 0.25f;
  card.write(at, v.data(), v.size() * 4);
  return at;
}

template <class T>
Call call_of(uint32_t api, const T &r) {
  Call call{api, std::vector<uint32_t>(sizeof r / 4)};
  std::memcpy(call.payload.data(), &r, sizeof r);
  return call;
}

// Arg max along W of 1 x 1 x 1 x W (API 157).
Case arg_max(int W) {
  return {"arg max (157)", "1 x 1 x 1 x " + std::to_string(W), [=](Card &card) {
            const uint64_t in = write_values(card, size_t(W));
            return call_of(157, zv_api_arg_t{in, ARG_NO_OUTPUT, in + 0x10000000, 1, 1, 1, W, 3, 0});
          }};
}

// Top-k by rounds along W of 1 x C x 1 x W (API 700).
Case topk_rounds(int C, int W, int k) {
  return {"top-k (700)", "1 x " + std::to_string(C) + " x 1 x " + std::to_string(W) + ", k " + std::to_string(k),
          [=](Card &card) {
            const uint64_t in = write_values(card, size_t(C) * W);
            return call_of(700, zv_api_topk_t{in, in + 0x10000000, in + 0x20000000, k, 3, 1, C, 1, W});
          }};
}

// Sort of rows of `len` along the last dimension (API 180).
Case sort_rows(int rows, int len) {
  return {"sort (180)", std::to_string(rows) + " x " + std::to_string(len), [=](Card &card) {
            const uint64_t in = write_values(card, size_t(rows) * len);
            zv_api_sort_per_dim_t r = {};
            r.input_addr = in;
            r.index_out_addr = in + 0x10000000;
            r.value_out_addr = in + 0x20000000;
            r.buffer_addr = in + 0x30000000;
            r.buffer3_addr = in + 0x40000000;
            r.type_size = 4;
            r.shape[0] = rows, r.shape[1] = len;
            r.dims = 2, r.dim = 1, r.descending = 1;
            return call_of(180, r);
          }};
}

// Sum over the middle axis of A x B x C (API 200).
Case reduce_sum(int A, int B, int C) {
  return {"reduce sum (200)",
          std::to_string(A) + " x " + std::to_string(B) + " x " + std::to_string(C) + ", axis 1", [=](Card &card) {
            const uint64_t in = write_values(card, size_t(A) * B * C);
            zv_api_reduce_t r = {};
            r.input = in, r.output = in + 0x10000000, r.buffer = in + 0x20000000;
            r.shape[0] = A, r.shape[1] = B, r.shape[2] = C, r.dims = 3;
            r.axes[0] = 1, r.axis_num = 1, r.reduce_method = 1;
            return call_of(200, r);
          }};
}

// Masked select of n floats by a mask with about one element in four set (API 703).
Case masked(int n) {
  return {"masked select (703)", std::to_string(n), [=](Card &card) {
            const uint64_t in = write_values(card, size_t(n));
            std::vector<float> mask(static_cast<size_t>(n));
            for (size_t i = 0; i < mask.size(); i++) mask[i] = i % 4 == 1 ? 1.0f : 0.0f;
            card.write(in + 0x10000000, mask.data(), mask.size() * 4);
            zv_api_masked_select_t r = {};
            r.src_addr = in, r.mask_addr = in + 0x10000000, r.shape[0] = n, r.dims = 1;
            r.dst_addr = in + 0x20000000, r.count_addr = in + 0x30000000;
            r.src_type_size = 4, r.mask_type_size = 4, r.buffer_addr = in + 0x40000000;
            return call_of(703, r);
          }};
}

const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      gemm(64, 64, 64), gemm(256, 256, 256), gemm(512, 512, 512), gemm(1024, 1024, 1024), gemm(1, 4096, 4096),
      arg_max(4096), topk_rounds(64, 1000, 10), sort_rows(1, 1000000),
      sort_rows(1000, 1000), reduce_sum(100, 1000, 10), masked(1000000),
  };
  return all;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string elf = argc > 1 && argv[1][0] != '\0' ? argv[1] : ZV_ARM_ELF;
  // A second argument keeps only the cases whose layer name contains it.
  const std::string only = argc > 2 ? argv[2] : "";
  std::printf("| layer | shape | modelled us | TE busy | ideal | GDMA busy | ARM insns | reg writes | TE cmds | "
              "GDMA cmds | host ms | host ms / us |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
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
    const uint64_t writes_before = card.chip().register_writes();
    const auto host_start = std::chrono::steady_clock::now();
    auto answer = card.send(call.api, call.payload);
    const double host_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - host_start).count();
    if (!answer || answer->result != 0) {
      std::fprintf(stderr, "%s %s failed: %s\n", c.layer, c.shape.c_str(), card.trouble().c_str());
      return 1;
    }
    const zv::host::Timing &t = answer->timing;
    std::printf("| %s | %s | %.1f | %.3f | %.3f | %.3f | %llu | %llu | %zu | %zu | %.0f | %.2f |\n", c.layer,
                c.shape.c_str(), t.elapsed_us(), t.te_busy(), t.te_ideal(), t.gdma_busy(),
                static_cast<unsigned long long>(card.instructions() - before),
                static_cast<unsigned long long>(card.chip().register_writes() - writes_before),
                card.chip().engines.bd.commands().size() - te_before,
                card.chip().engines.gdma.commands().size() - gdma_before, host_ms, host_ms / t.elapsed_us());
    std::fflush(stdout);
  }
  return 0;
}
