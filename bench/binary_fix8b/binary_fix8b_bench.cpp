// How well the 8-bit binary family (APIs 169, 170, 171) keeps the engines
// busy, in modelled time: for each case one message on a fresh card (the
// native firmware; the modelled figures are the same on the ARM image), with
// the modelled elapsed time, the tensor engine's and GDMA's busy fractions and
// the commands each received.
//
// usage: binary_fix8b_bench [FILTER] (keeps the cases whose name contains it)
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "card.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"

namespace {

using zv::host::Card;

constexpr uint64_t kA = 0x101000000ull, kB = 0x102000000ull, kR = 0x103000000ull;

struct Case {
  std::string name;
  uint32_t api;
  std::vector<uint32_t> payload;
  size_t a_bytes, b_bytes;
};

template <class T>
std::vector<uint32_t> words_of(const T &rec) {
  std::vector<uint32_t> w(sizeof(T) / 4);
  std::memcpy(w.data(), &rec, sizeof(T));
  return w;
}

// Bytes of an n x c x h x w tensor of 8 bits (4N) or 16 bits (2N).
size_t bytes_of(int n, int c, int h, int w, int bits) {
  const int per_word = bits == 8 ? 4 : 2;
  return size_t((n + per_word - 1) / per_word) * 4 * size_t(c) * size_t(h) * size_t(w);
}

Case eltwise(const char *what, int op, int A_type, int B_type, int n, int c, int h, int w) {
  zv_api_eltwise_binary_fix8b_forward_t r = {};
  r.A_addr = kA, r.B_addr = kB, r.R_addr = kR;
  r.shape[0] = n, r.shape[1] = c, r.shape[2] = h, r.shape[3] = w;
  r.tensor_dim = 4, r.op = op, r.scale_A = 1, r.scale_B = 1, r.rshift_A = 1, r.rshift_B = 0;
  r.A_type = A_type, r.B_type = B_type;
  return {what, 169, words_of(r), bytes_of(n, c, h, w, A_type == 2 ? 16 : 8),
          bytes_of(n, c, h, w, B_type == 2 ? 16 : 8)};
}

Case constant(const char *what, int op, int n, int c, int h, int w) {
  zv_api_const_binary_fix8b_forward_t r = {};
  r.A_addr = kA, r.R_addr = kR, r.quantized_val_b = op == BINARY_MUL ? 1 : 3;
  r.shape[0] = n, r.shape[1] = c, r.shape[2] = h, r.shape[3] = w;
  r.tensor_dim = 4, r.op = op, r.scale_A = 2, r.rshift = 1, r.sign_A = 1;
  return {what, 170, words_of(r), bytes_of(n, c, h, w, 8), 0};
}

Case broadcast(const char *what, int op, int A_type, int B_type, const std::vector<int> &a, const std::vector<int> &b) {
  zv_api_broadcast_binary_fix8b_forward_t r = {};
  r.A_addr = kA, r.B_addr = kB, r.R_addr = kR;
  for (int i = 0; i < 4; i++) r.b0_shape[i] = a[size_t(i)], r.b1_shape[i] = b[size_t(i)];
  r.tensor_dim = 4, r.op = op, r.scale_A = 1, r.scale_B = 1, r.rshift_A = 1;
  r.A_type = A_type, r.B_type = B_type;
  return {what, 171, words_of(r), bytes_of(a[0], a[1], a[2], a[3], A_type == 2 ? 16 : 8),
          bytes_of(b[0], b[1], b[2], b[3], B_type == 2 ? 16 : 8)};
}

std::string shape_text(const std::vector<uint32_t> &payload, uint32_t api) {
  const int at = api == 170 ? 5 : 6;  // the shape's first word
  char s[64];
  std::snprintf(s, sizeof s, "%u x %u x %u x %u", payload[size_t(at)], payload[size_t(at + 1)],
                payload[size_t(at + 2)], payload[size_t(at + 3)]);
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  const int n = 64, c = 128, h = 28, w = 28;
  const std::vector<Case> cases = {
      constant("constant add (170)", BINARY_ADD, n, c, h, w),
      eltwise("element-wise add (169)", BINARY_ADD, 1, 1, n, c, h, w),
      eltwise("element-wise equal (169)", BINARY_EQ, 1, 0, n, c, h, w),
      broadcast("broadcast add, B over n and c (171)", BINARY_ADD, 1, 1, {n, c, h, w}, {1, 1, h, w}),
      eltwise("with blob, add (169)", BINARY_ADD, 1, 2, n, c, h, w),
      eltwise("with blob, product (169)", BINARY_MUL, 1, 2, n, c, h, w),
      broadcast("broadcast with blob, add (171)", BINARY_ADD, 1, 2, {n, c, h, w}, {n, 1, h, w}),
      broadcast("broadcast with blob, product (171)", BINARY_MUL, 1, 2, {n, c, h, w}, {1, c, h, w}),
  };
  std::printf("| case | shape | modelled us | TE busy | GDMA busy | TE cmds | GDMA cmds |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|\n");
  for (const Case &k : cases) {
    if (!only.empty() && k.name.find(only) == std::string::npos) continue;
    Card card;
    if (card.state() != Card::State::Running) {
      std::fprintf(stderr, "card did not start: %s\n", card.trouble().c_str());
      return 1;
    }
    std::mt19937 rng(7);
    std::vector<uint8_t> a(k.a_bytes), b(k.b_bytes);
    for (uint8_t &x : a) x = uint8_t(rng());
    for (uint8_t &x : b) x = uint8_t(rng());
    card.write(kA, a.data(), a.size());
    if (!b.empty()) card.write(kB, b.data(), b.size());
    const size_t te0 = card.chip().engines.bd.commands().size(), gdma0 = card.chip().engines.gdma.commands().size();
    auto answer = card.send(k.api, k.payload);
    if (!answer || answer->result != 0) {
      std::fprintf(stderr, "%s failed: %s\n%s\n", k.name.c_str(), card.trouble().c_str(), card.console().c_str());
      return 1;
    }
    const zv::host::Timing &t = answer->timing;
    std::printf("| %s | %s | %.1f | %.3f | %.3f | %zu | %zu |\n", k.name.c_str(), shape_text(k.payload, k.api).c_str(),
                t.elapsed_us(), t.te_busy(), t.gdma_busy(), card.chip().engines.bd.commands().size() - te0,
                card.chip().engines.gdma.commands().size() - gdma0);
    std::fflush(stdout);
  }
  return 0;
}
