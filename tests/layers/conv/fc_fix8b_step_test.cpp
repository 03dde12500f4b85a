// 8-bit fully connected layer: the pipeline's per-step decisions by a table
// of whole step sequences (one slice, K, M and N cuts, the re-centred input,
// the float form with its weight-offset pass), including the drain steps
// that only multiply or store.
#include "layers/conv/fc_fix8b.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One step in words: "store bS | mul iI wW oO flags pP | load inI wW bias".
std::string describe(const fc_fix8b_step_t &s) {
  std::vector<std::string> parts;
  if (s.store) parts.push_back("store b" + std::to_string(s.store_buf));
  if (s.compute) {
    std::string m = "mul i" + std::to_string(s.in_buf) + " w" + std::to_string(s.weight_buf) + " o" +
                    std::to_string(s.out_buf);
    if (s.accumulate) m += " +acc";
    if (s.last) m += " +last";
    if (s.using_bias) m += " +bias";
    if (s.narrow) m += " +narrow";
    if (s.recentre) m += " +xor";
    if (s.fill_const) m += " +fill";
    if (s.requantise) m += " +float";
    parts.push_back(m + " p" + std::to_string(s.prec));
  }
  std::string l;
  if (s.load_input) l += " in" + std::to_string(s.load_in_buf);
  if (s.load_weight) l += " w" + std::to_string(s.load_weight_buf);
  if (s.load_bias) l += " bias";
  if (!l.empty()) parts.push_back("load" + l);
  std::string out;
  for (const auto &p : parts) out += (out.empty() ? "" : " | ") + p;
  return out.empty() ? "-" : out;
}

// Walks the pipeline's stages as the layer does and describes every step.
std::vector<std::string> steps_of(const fc_fix8b_flow_t &flow, int M, int m_slice, int k_slice, int n_slice) {
  fc_stages_t st;
  fc_stages_init(&st, M, flow.K, flow.N, m_slice, k_slice, n_slice);
  fc_fix8b_counts_t counts = {};
  std::vector<std::string> out;
  for (int s = 0; fc_stages_running(&st) && s < 100; s++) {
    fc_stages_fill(&st);
    const fc_fix8b_step_t step = fc_fix8b_step_of(&flow, &st, s, &counts);
    out.push_back(describe(step));
    fc_fix8b_count_step(&counts, &step);
    fc_stages_advance(&st);
  }
  return out;
}

fc_fix8b_flow_t flow_of(int M, int K, int N, int m_slice, int k_slice) {
  fc_fix8b_flow_t f = {};
  f.K = K, f.N = N;
  f.k_cut = k_slice < K, f.m_cut = m_slice < M;
  f.eight_bit = 1;
  return f;
}

TEST(FcFix8bStep, Sequences) {
  struct Case {
    const char *what;
    int M, K, N, m_slice, k_slice, n_slice;
    void (*adjust)(fc_fix8b_flow_t *);
    std::vector<std::string> steps;
  };
  const Case cases[] = {
      {"one slice: load with the bias, multiply with it at 8 bits, store",
       4, 64, 100, 4, 64, 100,
       [](fc_fix8b_flow_t *f) { f->have_bias = f->bias16 = 1; },
       {"load in0 w0 bias", "mul i0 w0 o0 +last +bias p0", "store b0"}},
      {"K cut: the first section keeps 16-bit sums, the last accumulates and narrows; one store",
       4, 1025, 100, 4, 1024, 100, nullptr,
       {"load in0 w0", "mul i0 w0 o0 p3 | load in1 w1", "mul i1 w1 o0 +acc +last +narrow p3", "store b0"}},
      {"K cut with 16-bit results: no narrowing",
       4, 1025, 100, 4, 1024, 100, [](fc_fix8b_flow_t *f) { f->eight_bit = 0; },
       {"load in0 w0", "mul i0 w0 o0 p3 | load in1 w1", "mul i1 w1 o0 +acc +last p3", "store b0"}},
      {"M cut: the weights load once, inputs and blocks alternate, the drain only multiplies and stores",
       10, 64, 100, 4, 64, 100, nullptr,
       {"load in0 w0", "mul i0 w0 o0 +last p0 | load in1", "store b0 | mul i1 w0 o1 +last p0 | load in0",
        "store b1 | mul i0 w0 o0 +last p0", "store b0"}},
      {"N in two chunks: the input stays, each chunk's weights load with its first rows",
       4, 64, 9000, 4, 64, 8192, nullptr,
       {"load in0 w0", "mul i0 w0 o0 +last p0 | load w1", "store b0 | mul i0 w1 o1 +last p0", "store b1"}},
      {"unsigned input with offsets, not cut: re-centred for the first product only",
       4, 64, 9000, 4, 64, 8192, [](fc_fix8b_flow_t *f) { f->recentre = 1; },
       {"load in0 w0", "mul i0 w0 o0 +last +xor p0 | load w1", "store b0 | mul i0 w1 o1 +last p0", "store b1"}},
      {"unsigned input with offsets, M cut: every loaded block re-centred",
       8, 64, 100, 4, 64, 100, [](fc_fix8b_flow_t *f) { f->recentre = 1; },
       {"load in0 w0", "mul i0 w0 o0 +last +xor p0 | load in1", "store b0 | mul i1 w0 o1 +last +xor p0",
        "store b1"}},
      {"float form with the weight-offset pass: the block fills once, every block requantised",
       8, 64, 100, 4, 64, 100,
       [](fc_fix8b_flow_t *f) { f->float_form = f->weight_pass = f->have_bias = 1; },
       {"load in0 w0 bias", "mul i0 w0 o0 +last +fill +float p3 | load in1",
        "store b0 | mul i1 w0 o1 +last +float p3", "store b1"}},
  };
  for (const Case &k : cases) {
    fc_fix8b_flow_t f = flow_of(k.M, k.K, k.N, k.m_slice, k.k_slice);
    if (k.adjust) k.adjust(&f);
    EXPECT_EQ(steps_of(f, k.M, k.m_slice, k.k_slice, k.n_slice), k.steps) << k.what;
  }
}

}  // namespace
