// The loss, accuracy, CTC, word2vec and LSTM APIs end to end: messages through
// the host driver under the deferred schedule with several seeds and the
// happens-before checker, and on the ARM image; zero counts, wrong sizes and
// extents outside device memory (1009, nothing issued).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/seq/accuracy.h"
#include "layers/seq/ctc.h"
#include "layers/seq/loss.h"
#include "layers/seq/lstm.h"
#include "layers/seq/word2vec.h"
#include "ref/lstm_ref.h"
#include "ref/seq_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kA = 0x101000000ull;
constexpr uint64_t kB = 0x102000000ull;
constexpr uint64_t kC = 0x103000000ull;
constexpr uint64_t kD = 0x104000000ull;
constexpr uint64_t kE = 0x105000000ull;
constexpr uint64_t kF = 0x106000000ull;
constexpr uint64_t kG = 0x107000000ull;
constexpr uint64_t kEnd = 0x300000000ull;  // the end of device memory

std::vector<float> ramp(size_t n, float lo, float hi, unsigned salt) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = lo + (hi - lo) * float((i * 7919u + salt * 131u) % 1009) / 1008.0f;
  return v;
}
std::vector<double> wide(const std::vector<float> &v) { return std::vector<double>(v.begin(), v.end()); }

// A message that must answer 1009 with `text` on the console and no engine
// command issued.
void expect_refused(uint32_t id, const std::vector<uint32_t> &payload, const std::string &text) {
  Card card;
  ASSERT_TRUE(AnswerOk(card, card.send(id, payload), 1009u)) << id;
  EXPECT_NE(card.console().find(text), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty()) << id;
}

// A message that must answer 0 at once, with no engine command issued.
void expect_nothing(uint32_t id, const std::vector<uint32_t> &payload) {
  Card card;
  ASSERT_TRUE(AnswerOk(card, card.send(id, payload)));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty()) << id;
}

template <class T>
std::vector<uint32_t> short_of(const T &rec) {
  std::vector<uint32_t> p = payload_of(rec);
  p.pop_back();
  return p;
}

// ---- 31, 17, 15: losses ----

TEST(SeqApi, Losses) {
  const int32_t n = 6, c = 50;
  const size_t total = size_t(n) * c;
  const std::vector<float> a = ramp(total, -1.0f, 1.0f, 1), b = ramp(total, -1.0f, 1.0f, 2);
  std::vector<float> y(n);
  for (int i = 0; i < n; i++) y[i] = float(i % 2);
  const double euclid = ref::euclidean_loss(wide(a), wide(b), n);
  const double contrast = ref::contrastive_loss(wide(a), wide(b), wide(y), n, c, 4.0, false);
  for_each_api_card([&](host::Card &card) {
    put<float>(card, kA, a);
    put<float>(card, kB, b);
    put<float>(card, kC, y);
    auto r = card.send(31, payload_of(zv_api_euclidean_loss_forward_t{kA, kB, kG, kD, kF, n, c, 1, 1}));
    ASSERT_TRUE(AnswerOk(card, r));
    EXPECT_NEAR(get<float>(card, kF, 1)[0], euclid, 1e-5 * euclid);
    EXPECT_EQ(get<float>(card, kD, 1)[0], a[0] - b[0]);

    r = card.send(17, payload_of(zv_api_contrastive_loss_forward_t{kA, kB, kC, kD, kE, kF, kG, n, c, 1, 1, 4.0f, 0}));
    ASSERT_TRUE(AnswerOk(card, r));
    EXPECT_NEAR(get<float>(card, kF, 1)[0], contrast, 1e-5 * contrast);
    const std::vector<float> dist = get<float>(card, kE, n);
    for (int i = 0; i < n; i++) {
      const double want = ref::row_dist_sq(wide(a), wide(b), c, i);
      EXPECT_NEAR(dist[i], want, 2e-6 * want) << i;
    }

    // Sigmoid cross-entropy: the sigmoid is written, then the message ends on
    // the layer's assertion.
    r = card.send(15, payload_of(zv_api_sigmoid_cross_entropy_loss_forward_t{kA, kB, kE, 0, 0, 2, 5, 3, 10}));
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
    EXPECT_NE(card.console().find("nodechip_sigmoid_cross_entropy_loss_forward_internal"), std::string::npos);
    const std::vector<float> p = get<float>(card, kE, total);
    for (size_t i = 0; i < total; i++) ASSERT_NEAR(p[i], 1.0 / (1.0 + std::exp(-double(a[i]))), 2e-6) << i;
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(SeqApi, LossesZeroCountWrongSizeAndExtents) {
  const zv_api_euclidean_loss_forward_t e = {kA, kB, kG, kD, kF, 0, 8, 1, 1};
  const zv_api_contrastive_loss_forward_t c = {kA, kB, kC, kD, kE, kF, kG, 0, 8, 1, 1, 1.0f, 0};
  const zv_api_sigmoid_cross_entropy_loss_forward_t s = {kA, kB, kE, 0, 0, 0, 2, 2, 2};
  expect_nothing(31, payload_of(e));
  expect_nothing(17, payload_of(c));
  expect_nothing(15, payload_of(s));
  expect_refused(31, short_of(e), "size == sizeof(zv_api_euclidean_loss_forward_t)");
  expect_refused(17, short_of(c), "size == sizeof(zv_api_contrastive_loss_forward_t)");
  expect_refused(15, short_of(s), "size == sizeof(zv_api_sigmoid_cross_entropy_loss_forward_t)");
  zv_api_euclidean_loss_forward_t e2 = e;
  e2.input_n = 4, e2.diff_addr = kEnd - 16;
  expect_refused(31, payload_of(e2), "api_global_fits");
  zv_api_contrastive_loss_forward_t c2 = c;
  c2.input_n = 4, c2.dist_sq_addr = kEnd - 8;
  expect_refused(17, payload_of(c2), "api_global_fits");
  zv_api_sigmoid_cross_entropy_loss_forward_t s2 = s;
  s2.input_n = 1, s2.prob_addr = kEnd - 8;
  expect_refused(15, payload_of(s2), "api_global_fits");
}

// ---- 69, 71: softmax loss ----

TEST(SeqApi, SoftmaxLoss) {
  const int32_t n = 3, c = 6, inner = 10;
  const size_t total = size_t(n) * c * inner;
  const std::vector<float> x = ramp(total, -3.0f, 3.0f, 9);
  std::vector<float> labels(size_t(n) * inner);
  for (size_t i = 0; i < labels.size(); i++) labels[i] = float(int(i % (c + 1)) - (i % 5 == 0 ? 1 : 0));
  const float normalizer = 5.0f;
  const std::vector<double> p = ref::softmax_classes(wide(x), n, c, inner);
  const double loss = ref::softmax_loss(wide(x), wide(labels), n, c, inner, normalizer);
  for_each_api_card([&](host::Card &card) {
    put<float>(card, kA, x);
    put<float>(card, kB, labels);
    const zv_api_softmax_loss_forward_parallel_t rec = {kA, kB, kC, kD, kG, normalizer, n, c, 77, inner};
    auto r = card.send(69, payload_of(rec));
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<float> out = get<float>(card, kC, total);
    for (size_t i = 0; i < total; i++) ASSERT_NEAR(out[i], p[i], 2e-6) << i;
    EXPECT_NEAR(get<float>(card, kD, 1)[0], loss, 1e-5 * loss);

    r = card.send(71, payload_of(rec));
    ASSERT_TRUE(AnswerOk(card, r));
    out = get<float>(card, kC, total);
    for (size_t i = 0; i < total; i++) {
      const size_t b = i / (size_t(c) * inner), q = i % inner;
      const int k = ref::label_class(labels[b * inner + q], c);
      const double want = (p[i] - (k == int(i / inner % c) ? 1.0 : 0.0)) / normalizer;
      ASSERT_NEAR(out[i], want, 1e-6) << i;
    }
    EXPECT_NEAR(get<float>(card, kD, 1)[0], loss, 1e-5 * loss);
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(SeqApi, SoftmaxLossZeroCountWrongSizeAndExtents) {
  const zv_api_softmax_loss_forward_parallel_t rec = {kA, kB, kC, kD, kG, 1.0f, 0, 4, 0, 8};
  expect_nothing(69, payload_of(rec));
  expect_nothing(71, payload_of(rec));
  expect_refused(69, short_of(rec), "size == sizeof(zv_api_softmax_loss_forward_parallel_t)");
  expect_refused(71, short_of(rec), "size == sizeof(zv_api_softmax_loss_bidirection_parallel_t)");
  zv_api_softmax_loss_forward_parallel_t big = rec;
  big.input_n = 2;
  big.buffer_addr = kEnd - 4 - 4 * 2 * 8;  // holds the forward copy, not the bidirectional one
  expect_refused(71, payload_of(big), "api_global_fits");
  big.buffer_addr = kG, big.prob_addr = kEnd - 16;
  expect_refused(69, payload_of(big), "api_global_fits");
}

// ---- 12: accuracy ----

TEST(SeqApi, Accuracy) {
  const int32_t n = 5, c = 12, k = 4;
  std::vector<float> scores(size_t(n) * c);
  for (size_t i = 0; i < scores.size(); i++) scores[i] = float((i * 37u) % 61) - 30.0f + float(i) / 1000.0f;
  const std::vector<int32_t> want = ref::top_k_indices(scores, n, c, k);
  for_each_api_card([&](host::Card &card) {
    put<float>(card, kA, scores);
    auto r = card.send(12, payload_of(zv_api_accuracy_layer_t{kA, kB, kC, kD, kG, n, c, k}));
    ASSERT_TRUE(AnswerOk(card, r));
    EXPECT_EQ(values_of<int32_t>(card.read(kB, want.size() * 4)), want);
    // More than the classes: the layer's assertion.
    r = card.send(12, payload_of(zv_api_accuracy_layer_t{kA, kB, kC, kD, kG, n, c, c + 1}));
    ASSERT_TRUE(AnswerOk(card, r, 1009u));
    EXPECT_NE(card.console().find("Tensor_N >= Top_K"), std::string::npos);
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(SeqApi, AccuracyZeroCountWrongSizeAndExtents) {
  const zv_api_accuracy_layer_t rec = {kA, kB, kC, kD, kG, 0, 4, 2};
  expect_nothing(12, payload_of(rec));
  expect_refused(12, short_of(rec), "size == sizeof(zv_api_accuracy_layer_t)");
  zv_api_accuracy_layer_t big = rec;
  big.input_n = 2, big.buffer_addr = kEnd - 4 * 2 * 12;  // holds 3 C words a sample, not 3 C + k
  expect_refused(12, payload_of(big), "api_global_fits");
}

// ---- 140: CTC tables ----

TEST(SeqApi, CtcTables) {
  const int32_t C = 4, T = 6;
  const std::vector<int> lp = {3, 1, 3, 2, 3};
  const int32_t S = int32_t(lp.size());
  std::vector<float> y(size_t(C) * T);
  for (size_t i = 0; i < y.size(); i++) y[i] = 0.1f + 0.05f * float(i % 7);
  std::vector<float> alpha(size_t(S) * T, -1e30f), beta(size_t(S) * T, -1e30f);
  alpha[0] = std::log(y[size_t(lp[0]) * T]), alpha[T] = std::log(y[size_t(lp[1]) * T]);
  beta[size_t(S - 1) * T + T - 1] = beta[size_t(S - 2) * T + T - 1] = 0.0f;
  std::vector<double> ra(alpha.begin(), alpha.end()), rb(beta.begin(), beta.end());
  ref::ctc_tables(wide(y), lp, C, T, ra, rb);
  for_each_api_card([&](host::Card &card) {
    put<float>(card, kA, std::vector<float>(lp.begin(), lp.end()));
    put<float>(card, kB, y);
    put<float>(card, kC, alpha);
    put<float>(card, kD, beta);
    ASSERT_TRUE(AnswerOk(card, card.send(140, payload_of(zv_api_ctcloss_t{kA, kB, kC, kD, kG, C, S, T}))));
    const std::vector<float> ga = get<float>(card, kC, alpha.size()), gb = get<float>(card, kD, beta.size());
    for (size_t i = 0; i < ga.size(); i++) {
      ASSERT_NEAR(ga[i], ra[i], 2e-5 * std::fabs(ra[i]) + 2e-5) << i;
      ASSERT_NEAR(gb[i], rb[i], 2e-5 * std::fabs(rb[i]) + 2e-5) << i;
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(SeqApi, CtcWrongSizeAndExtents) {
  const zv_api_ctcloss_t rec = {kA, kB, kC, kD, kG, 4, 5, 6};
  expect_refused(140, short_of(rec), "size == sizeof(zv_api_ctcloss_t)");
  zv_api_ctcloss_t bad = rec;
  bad.beta_addr = kEnd - 4 * 5 * 6 + 4;
  expect_refused(140, payload_of(bad), "api_global_fits");
  bad = rec;
  bad.lprime_s = 0;
  expect_refused(140, payload_of(bad), "(rec.lprime_s) > 0");
}

// ---- 127: word2vec ----

TEST(SeqApi, Word2vec) {
  const int32_t vocab = 12, dim = 24, negatives = 2;
  const std::vector<int> in = {1, 4, 1}, target = {2, 2, 5}, neg = {3, 2, 7, 8, 11, 0};
  std::vector<float> syn0(size_t(vocab) * dim), syn1(syn0.size());
  for (size_t i = 0; i < syn0.size(); i++) {
    syn0[i] = float(int(i % 17) - 8) / 16.0f;
    syn1[i] = float(int(i % 13) - 6) / 12.0f;
  }
  std::vector<double> r0 = wide(syn0), r1 = wide(syn1);
  ref::word2vec(r0, r1, in, target, neg, negatives, dim, 0.5);
  for_each_api_card([&](host::Card &card) {
    put<float>(card, kA, syn0);
    put<float>(card, kB, syn1);
    put<float>(card, kC, std::vector<float>(neg.begin(), neg.end()));
    put<float>(card, kD, std::vector<float>(in.begin(), in.end()));
    put<float>(card, kE, std::vector<float>(target.begin(), target.end()));
    auto r = card.send(127, payload_of(zv_api_word2vec_t{kA, kB, kC, kD, kE, kG, 0.5f, negatives, 3, dim, vocab}));
    ASSERT_TRUE(AnswerOk(card, r));
    const std::vector<float> g0 = get<float>(card, kA, syn0.size()), g1 = get<float>(card, kB, syn1.size());
    for (size_t i = 0; i < g0.size(); i++) {
      ASSERT_NEAR(g0[i], r0[i], 2e-6) << i;
      ASSERT_NEAR(g1[i], r1[i], 2e-6) << i;
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(SeqApi, Word2vecWrongSizeAndExtents) {
  const zv_api_word2vec_t rec = {kA, kB, kC, kD, kE, kG, 0.1f, 2, 3, 8, 10};
  expect_refused(127, short_of(rec), "size == sizeof(zv_api_word2vec_t)");
  zv_api_word2vec_t bad = rec;
  bad.buffer_addr = kEnd - 4 * 3 * 3;  // (2 + negatives) n floats do not fit
  expect_refused(127, payload_of(bad), "api_global_fits");
  // No zero-count return: n = 0 passes the checks and changes nothing.
  Card card;
  bad = rec;
  bad.n = 0;
  ASSERT_TRUE(AnswerOk(card, card.send(127, payload_of(bad))));
}

// ---- 34: LSTM unit ----

TEST(SeqApi, LstmUnit) {
  const int32_t n = 2, c = 45;
  const size_t total = size_t(n) * c;
  const uint64_t at[8] = {kA, kB, kC, kD, kE, kF, kG, 0x108000000ull};
  std::vector<std::vector<float>> in(6);
  for (int k = 0; k < 6; k++) in[k] = ramp(total, -3.0f, 3.0f, 10 + k);
  for (size_t e = 0; e < total; e++) in[5][e] = e % 3 == 0 ? 0.0f : 1.0f;
  for_each_api_card([&](host::Card &card) {
    for (int k = 0; k < 6; k++) put<float>(card, at[k], in[k]);
    auto r = card.send(
        34, payload_of(zv_api_lstm_unit_forward_t{at[0], at[1], at[2], at[3], at[4], at[5], at[6], at[7], n, c, 0, 0}));
    ASSERT_TRUE(AnswerOk(card, r));
    const std::vector<float> cell = get<float>(card, at[6], total), hidden = get<float>(card, at[7], total);
    for (size_t e = 0; e < total; e++) {
      double wc, wh;
      ref::lstm_unit(in[0][e], in[1][e], in[2][e], in[3][e], in[4][e], in[5][e], &wc, &wh);
      ASSERT_NEAR(cell[e], wc, 2e-5 * (1 + std::fabs(wc))) << e;
      ASSERT_NEAR(hidden[e], wh, 2e-5) << e;
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(SeqApi, LstmUnitZeroCountWrongSizeAndExtents) {
  const zv_api_lstm_unit_forward_t rec = {kA, kB, kC, kD, kE, kF, kG, 0x108000000ull, 0, 8, 0, 0};
  expect_nothing(34, payload_of(rec));
  expect_refused(34, short_of(rec), "size == sizeof(zv_api_lstm_unit_forward_t)");
  zv_api_lstm_unit_forward_t bad = rec;
  bad.input_n = 2, bad.hidden_out_addr = kEnd - 16;
  expect_refused(34, payload_of(bad), "api_global_fits");
}

// ---- 82: LSTM ----

// Tensors of the LSTM record, 16 MB apart from kA.
uint64_t lstm_at(int k) { return kA + 0x1000000ull * uint64_t(k); }

zv_api_lstm_forward_t lstm_record(int32_t N, int32_t T, int32_t I, int32_t H, int32_t P, int32_t Q, int32_t mode,
                                  int32_t R) {
  // Record order: x, cont, static, W_hc, W_xc, W_static, bias, h0, c0, hT, cT,
  // output, the two projection buffers.
  zv_api_lstm_forward_t rec = {lstm_at(0), lstm_at(1), lstm_at(2),  lstm_at(3),  lstm_at(4),  lstm_at(5),  lstm_at(6),
                               lstm_at(7), lstm_at(8), lstm_at(9),  lstm_at(10), lstm_at(11), lstm_at(12), lstm_at(13),
                               0,          0,          0,           0,           0,           0,           0,
                               0};
  rec.N = N, rec.T = T, rec.I = I, rec.H = H, rec.P = P, rec.Q = Q, rec.split_mode = mode, rec.R = R;
  return rec;
}

TEST(SeqApi, Lstm) {
  struct Case {
    const char *what;
    int32_t N, T, I, H, P, Q, mode, R;
  } cases[] = {
      {"resident weights, static input and state, two slices", 3, 3, 12, 11, 1, 1, 1, 2},
      {"projections beforehand, resident W_hc", 3, 2, 12, 11, 0, 1, 2, 2},
      {"streamed W_hc, no state", 2, 3, 12, 11, 1, 0, 3, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const zv_api_lstm_forward_t rec = lstm_record(c.N, c.T, c.I, c.H, c.P, c.Q, c.mode, c.R);
    const size_t N = c.N, T = c.T, I = c.I, H = c.H, cols = 4 * size_t(ref::lstm_he(c.H));
    const std::vector<float> x = ramp(T * N * I, -1.0f, 1.0f, 1), s = ramp(N * I, -1.0f, 1.0f, 2),
                             h0 = ramp(N * H, -0.8f, 0.8f, 3), c0 = ramp(N * H, -1.5f, 1.5f, 4),
                             w_xc = ramp(I * cols, -0.4f, 0.4f, 5), bias = ramp(cols, -0.5f, 0.5f, 6),
                             w_s = ramp(I * cols, -0.3f, 0.3f, 7), w_hc = ramp(H * cols, -0.5f, 0.5f, 8);
    std::vector<float> cont(T * N, 1.0f);
    for (size_t e = 0; e < N; e++) cont[e] = 0.0f;
    cont[T * N - 1] = 0.0f;  // a restart at the last step
    const ref::LstmRef want = ref::lstm_forward(x, cont, s, h0, c0, w_xc, bias, w_s, w_hc, c.N, c.T, c.I, c.H,
                                                c.P, c.Q);
    for_each_api_card([&](host::Card &card) {
      put<float>(card, rec.x_addr, x);
      put<float>(card, rec.cont_addr, cont);
      put<float>(card, rec.static_addr, s);
      put<float>(card, rec.h0_addr, h0);
      put<float>(card, rec.c0_addr, c0);
      put<float>(card, rec.w_xc_addr, w_xc);
      put<float>(card, rec.bias_addr, bias);
      put<float>(card, rec.w_static_addr, w_s);
      put<float>(card, rec.w_hc_addr, w_hc);
      ASSERT_TRUE(AnswerOk(card, card.send(82, payload_of(rec))));
      const std::vector<float> out = get<float>(card, rec.output_addr, T * N * H);
      for (size_t e = 0; e < out.size(); e++) ASSERT_NEAR(out[e], want.output[e], 1e-4) << "output " << e;
      if (c.Q) {
        const std::vector<float> hT = get<float>(card, rec.hT_addr, N * H), cT = get<float>(card, rec.cT_addr, N * H);
        for (size_t e = 0; e < hT.size(); e++) {
          ASSERT_NEAR(hT[e], want.hT[e], 1e-4) << "hT " << e;
          ASSERT_NEAR(cT[e], want.cT[e], 1e-4 * (1 + std::fabs(want.cT[e]))) << "cT " << e;
        }
      }
      EXPECT_TRUE(no_findings(card.chip()));
    });
  }
}

TEST(SeqApi, LstmZeroCountModesWrongSizeAndExtents) {
  const zv_api_lstm_forward_t rec = lstm_record(2, 2, 8, 8, 1, 1, 2, 2);
  zv_api_lstm_forward_t bad = rec;
  bad.N = 0;
  expect_nothing(82, payload_of(bad));
  // Mode 0 (nothing fits) and unknown modes: logged, nothing issued, result 0.
  for (int32_t mode : {0, 7}) {
    bad = rec;
    bad.split_mode = mode;
    expect_nothing(82, payload_of(bad));
  }
  expect_refused(82, short_of(rec), "size == sizeof(zv_api_lstm_forward_t)");
  bad = rec;
  bad.T = 0;
  expect_refused(82, payload_of(bad), "(rec.T) > 0");
  bad = rec;
  bad.R = -1;
  expect_refused(82, payload_of(bad), "(rec.R) > 0");
  // The projection buffer holds T N rows of 4He floats: one too few.
  bad = rec;
  bad.x_proj_addr = kEnd - 4 * 2 * 2 * 32 + 4;
  expect_refused(82, payload_of(bad), "api_global_fits");
  bad = rec;
  bad.cT_addr = kEnd - 4 * 2 * 8 + 4;
  expect_refused(82, payload_of(bad), "api_global_fits");
}

}  // namespace
}  // namespace zv::test
