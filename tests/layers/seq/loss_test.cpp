// Euclidean, contrastive and sigmoid cross-entropy losses: the slice plans by
// table, the two losses against double references (and the difference output
// against the loss's finite-difference gradient) under every schedule with the
// happens-before checker, and the sigmoid cross-entropy layer's stop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "cmd/tensor_slice.h"
#include "fw_test.h"
#include "layers/seq/loss.h"
#include "runtime/engine_wait.h"
#include "ref/seq_ref.h"

namespace zv::test {
namespace {

constexpr u64 kA = 0x101000000ull;
constexpr u64 kB = 0x102000000ull;
constexpr u64 kLabel = 0x103000000ull;
constexpr u64 kDiff = 0x104000000ull;
constexpr u64 kDist = 0x105000000ull;
constexpr u64 kLoss = 0x106000000ull;
constexpr u64 kScratch = 0x107000000ull;

std::vector<float> ramp(size_t n, float lo, float hi, unsigned salt) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = lo + (hi - lo) * float((i * 7919u + salt * 131u) % 1009) / 1008.0f;
  return v;
}
std::vector<double> wide(const std::vector<float> &v) { return std::vector<double>(v.begin(), v.end()); }

TEST(LossPlan, Slices) {
  EXPECT_EQ(loss_row_bytes(1), 128u);
  EXPECT_EQ(loss_row_bytes(2048), 128u);
  EXPECT_EQ(loss_row_bytes(2049), 256u);
  struct Case {
    int N, C, slices;
  } cases[] = {
      {1, 1, 1},       // everything at once
      {100, 600, 1},   // 60000 values
      {200, 600, 2},   // 120000 values: two slices of 100 rows
      {4096, 1, 3},    // the two row buffers of 4096 rows pass local memory
      {3, 65535, 3},   // one row a slice
  };
  for (const Case &c : cases)
    EXPECT_EQ(get_slice_num_contrastive_loss_forward(c.N, c.C), c.slices) << c.N << " x " << c.C;
  EXPECT_EQ(get_slice_num_sigmoid_cross_entropy_loss_forward(1000), 1);
  EXPECT_EQ(get_slice_num_sigmoid_cross_entropy_loss_forward(65536), 2);
  EXPECT_EQ(get_slice_num_sigmoid_cross_entropy_loss_forward(200000), 4);
}

TEST(LossPlan, RowsTooWideAndNoSlice) {
  expect_assert([] { get_slice_num_contrastive_loss_forward(1, 4096 * 32); }, "ASSERT_FS", "firmware/layers/",
                "get_slice_num_contrastive_loss_forward",
                "C_param_for_input <= ((1<<19)/((1<<(5)) * 4) - 1)");
  // A row of 65536 values passes one slice's 65535 values.
  expect_assert([] { get_slice_num_contrastive_loss_forward(2, 65536); }, "ASSERT_FS", "firmware/layers/",
                "get_slice_num_contrastive_loss_forward", "0");
}

class LossLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(LossLayer, Euclidean) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int N, per_item;
    bool same;
  } cases[] = {
      {"identical inputs", 3, 40, true},
      {"partial last section", 3, 41, false},
      {"three pieces of 50000", 5, 30000, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t total = size_t(c.N) * c.per_item;
    const std::vector<float> a = ramp(total, -2.0f, 2.0f, 1);
    const std::vector<float> b = c.same ? a : ramp(total, -1.0f, 3.0f, 2);
    put<float>(rig, kA, a);
    put<float>(rig, kB, b);
    // Junk behind the inputs must not reach the sums of a partial section.
    put<float>(rig, kA + 4 * total, std::vector<float>(64, 1e6f));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_euclidean_loss_forward(kA, kB, kScratch, kDiff, kLoss, c.N, c.N, c.per_item, 7, 9, node);
    }));
    const std::vector<float> diff = get<float>(rig, kDiff, total);
    for (size_t i = 0; i < total; i++) ASSERT_EQ(diff[i], a[i] - b[i]) << i;
    const double want = ref::euclidean_loss(wide(a), wide(b), c.N);
    const float loss = get<float>(rig, kLoss, 1)[0];
    if (c.same) {
      EXPECT_EQ(loss, 0.0f);
    } else {
      EXPECT_NEAR(loss, want, 1e-4 * want);  // float sums of up to 16384 terms
    }
  }
  // The difference output is N times the loss's gradient in a.
  const int N = 2, per = 33;
  const std::vector<double> a = wide(ramp(N * per, -2.0f, 2.0f, 3)), b = wide(ramp(N * per, -1.0f, 1.0f, 4));
  put<float>(rig, kA, std::vector<float>(a.begin(), a.end()));
  put<float>(rig, kB, std::vector<float>(b.begin(), b.end()));
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_euclidean_loss_forward(kA, kB, kScratch, kDiff, kLoss, N, N, per, 0, 0, node);
  }));
  const std::vector<float> d = get<float>(rig, kDiff, N * per);
  for (size_t i = 0; i < a.size(); i += 7) {
    const double g = ref::finite_difference([&](const std::vector<double> &x) { return ref::euclidean_loss(x, b, N); },
                                            a, i);
    EXPECT_NEAR(d[i] / N, g, 1e-6) << i;
  }
}

TEST_P(LossLayer, Contrastive) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int N, C;
    float margin;
    int legacy;
  } cases[] = {
      {"one slice, partial sections", 37, 45, 3.0f, 0},
      {"legacy, rows over two lane rows", 70, 20, 9.0f, 1},
      {"two slices", 130, 600, 40.0f, 0},
      {"wide rows", 3, 2500, 50.0f, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t total = size_t(c.N) * c.C;
    const std::vector<float> a = ramp(total, -1.0f, 1.0f, 5), b = ramp(total, -1.0f, 1.0f, 6);
    std::vector<float> y(c.N);
    for (int i = 0; i < c.N; i++) y[i] = (i % 3 == 0) ? 1.0f : 0.0f;
    put<float>(rig, kA, a);
    put<float>(rig, kB, b);
    put<float>(rig, kLabel, y);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_contrastive_loss_forward(kA, kB, kLabel, kDiff, kDist, kLoss, kScratch, c.N, c.C, 1, 1, c.N,
                                        c.margin, c.legacy, node);
    }));
    const std::vector<float> diff = get<float>(rig, kDiff, total), dist = get<float>(rig, kDist, c.N);
    for (size_t i = 0; i < total; i++) ASSERT_EQ(diff[i], a[i] - b[i]) << i;
    for (int i = 0; i < c.N; i++) {
      const double want = ref::row_dist_sq(wide(a), wide(b), c.C, i);
      ASSERT_NEAR(dist[i], want, 1e-5 * want + 1e-6) << i;
    }
    const double want = ref::contrastive_loss(wide(a), wide(b), wide(y), c.N, c.C, c.margin, c.legacy != 0);
    EXPECT_NEAR(get<float>(rig, kLoss, 1)[0], want, 2e-5 * std::fabs(want)) << want;
  }
}

// Pairs that pick each branch: identical rows (d = 0), a dissimilar pair past
// the margin (contributes 0), and the legacy term that is not squared.
TEST_P(LossLayer, ContrastiveBranches) {
  LayerRunner rig(GetParam());
  // Rows: (0,0) vs (0,0); (3,4) vs (0,0): d = 5; (1,0) vs (0,0): d = 1.
  put<float>(rig, kA, {0, 0, 3, 4, 1, 0});
  put<float>(rig, kB, {0, 0, 0, 0, 0, 0});
  struct Case {
    std::vector<float> y;
    float margin;
    int legacy;
    double want_sum;
  } cases[] = {
      {{0, 0, 0}, 2.0f, 0, 4.0 + 0.0 + 1.0},   // (2 - 0)^2, d > margin, (2 - 1)^2
      {{1, 1, 0}, 2.0f, 0, 0.0 + 25.0 + 1.0},
      {{0, 0, 0}, 2.0f, 1, 2.0 + 0.0 + 1.0},   // max(2 - d^2, 0), not squared
  };
  for (const Case &c : cases) {
    put<float>(rig, kLabel, c.y);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_contrastive_loss_forward(kA, kB, kLabel, kDiff, kDist, kLoss, kScratch, 3, 2, 1, 1, 3, c.margin,
                                        c.legacy, node);
    }));
    EXPECT_NEAR(get<float>(rig, kLoss, 1)[0], c.want_sum / 6.0, 1e-6) << c.legacy;
    const std::vector<float> dist = get<float>(rig, kDist, 3);
    EXPECT_EQ(dist, (std::vector<float>{0, 25, 1}));
  }
}

TEST_P(LossLayer, SigmoidCrossEntropyWritesTheSigmoidThenStops) {
  FirmwareRig rig(GetParam());
  const int N = 2, C = 3, H = 5, W = 7;
  const size_t total = size_t(N) * C * H * W;
  const std::vector<float> x = ramp(total, -6.0f, 6.0f, 7);
  put<float>(rig, kA, x);
  put<float>(rig, kB, ramp(total, 0.0f, 1.0f, 8));
  const FwOutcome out = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_sigmoid_cross_entropy_loss_forward(kA, kB, kDiff, 0, 0, N, N, C, H, W, node);
  });
  EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/layers/", "nodechip_sigmoid_cross_entropy_loss_forward_internal",
                         "0"));
  // What was issued before the stop still runs, as the dispatcher lets it.
  ASSERT_TRUE(ran_clean(rig.run([] { ASSERT_TRUE(wait_engines_idle()); })));
  const std::vector<float> p = get<float>(rig, kDiff, total);
  for (size_t i = 0; i < total; i++) ASSERT_NEAR(p[i], 1.0 / (1.0 + std::exp(-double(x[i]))), 2e-6) << i;
}

TEST(SoftmaxLossPlan, Pieces) {
  struct Case {
    const char *what;
    int N, C, inner;
    int n, c, w;
  } cases[] = {
      {"small: no split", 3, 5, 7, 1, 1, 1},
      {"many classes: c pieces", 2, 300, 64, 1, 2, 1},
      {"many images: n and c pieces", 130, 4, 300, 2, 2, 1},
      {"long rows: w pieces", 1, 2, 32768, 1, 2, 6},
  };
  for (const Case &c : cases) {
    const int sh = LimitWSize(c.inner), sw = c.inner / sh;
    int counts[3];
    ASSERT_TRUE(ran_clean(run_firmware([&] { get_slice_num_softmax(c.N, c.C, sh, sw, counts); }))) << c.what;
    EXPECT_EQ(counts[0], c.n) << c.what;
    EXPECT_EQ(counts[1], c.c) << c.what;
    EXPECT_EQ(counts[2], c.w) << c.what;
  }
}

class SoftmaxLossLayer : public ::testing::TestWithParam<Sched> {};

// Labels: class indices, a fraction (2.7 counts as 2) and values outside the
// classes (-1 and C), which count nothing.
std::vector<float> labels_for(int N, int C, int inner) {
  std::vector<float> l(size_t(N) * inner);
  for (size_t i = 0; i < l.size(); i++) {
    const int k = int((i * 13 + 5) % (C + 2)) - 1;  // -1 .. C
    l[i] = (i % 11 == 3 && C > 2) ? 2.7f : float(k);
  }
  return l;
}

TEST_P(SoftmaxLossLayer, ProbabilitiesAndLoss) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int N, C, inner;
  } cases[] = {
      {"small", 3, 5, 7},         {"one class: p = 1, loss 0", 2, 1, 9}, {"c pieces", 2, 300, 64},
      {"n and c pieces", 130, 4, 300}, {"w pieces", 1, 2, 32768},          {"prime inner: one column", 1, 3, 4099},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t total = size_t(c.N) * c.C * c.inner;
    const std::vector<float> x = ramp(total, -4.0f, 4.0f, 3);
    const std::vector<float> labels = labels_for(c.N, c.C, c.inner);
    put<float>(rig, kA, x);
    put<float>(rig, kLabel, labels);
    const float normalizer = 3.0f;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_softmax_loss_forward_parallel(kA, kLabel, kDiff, kLoss, kScratch, normalizer, c.N, c.C, 0, c.inner,
                                             node);
    }));
    const std::vector<double> want = ref::softmax_classes(wide(x), c.N, c.C, c.inner);
    const std::vector<float> p = get<float>(rig, kDiff, total);
    for (size_t i = 0; i < total; i++) ASSERT_NEAR(p[i], want[i], 2e-6) << i;
    const double loss = ref::softmax_loss(wide(x), wide(labels), c.N, c.C, c.inner, normalizer);
    EXPECT_NEAR(get<float>(rig, kLoss, 1)[0], loss, 1e-4 * std::fabs(loss) + 1e-6);  // a float running sum
    if (c.C == 1) {
      EXPECT_EQ(get<float>(rig, kLoss, 1)[0], 0.0f);
    }
  }
}

// The gradient output is the loss's gradient: (p - onehot) / normalizer at
// positions with a class label (checked by finite differences of the loss),
// p / normalizer where the label is outside the classes.
TEST_P(SoftmaxLossLayer, GradientByFiniteDifferences) {
  LayerRunner rig(GetParam());
  const int N = 2, C = 5, inner = 6;
  const size_t total = size_t(N) * C * inner;
  const std::vector<float> x = ramp(total, -2.0f, 2.0f, 4);
  const std::vector<float> labels = labels_for(N, C, inner);
  put<float>(rig, kA, x);
  put<float>(rig, kLabel, labels);
  const float normalizer = 4.0f;
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_softmax_loss_bidirection_parallel(kA, kLabel, kDiff, kLoss, kScratch, normalizer, N, C, 0, inner, node);
  }));
  const std::vector<double> xd = wide(x), ld = wide(labels);
  const double loss = ref::softmax_loss(xd, ld, N, C, inner, normalizer);
  EXPECT_NEAR(get<float>(rig, kLoss, 1)[0], loss, 1e-5 * std::fabs(loss));
  const std::vector<float> g = get<float>(rig, kDiff, total);
  const std::vector<double> p = ref::softmax_classes(xd, N, C, inner);
  for (size_t i = 0; i < total; i++) {
    const int b = int(i / (size_t(C) * inner)), q = int(i % inner);
    if (ref::label_class(ld[size_t(b) * inner + q], C) < 0) {
      EXPECT_NEAR(g[i], p[i] / normalizer, 1e-6) << i;
      continue;
    }
    const double fd = ref::finite_difference(
        [&](const std::vector<double> &v) { return ref::softmax_loss(v, ld, N, C, inner, normalizer); }, xd, i);
    EXPECT_NEAR(g[i], fd, 1e-6) << i;
  }
}

// A probability that underflows counts as 1e-37 in both entries (ln 1e-37,
// not ln 0).
TEST_P(SoftmaxLossLayer, UnderflowIsClamped) {
  LayerRunner rig(GetParam());
  put<float>(rig, kA, {0.0f, 0.0f, -200.0f, 0.0f});  // N 1, C 2, inner 2: p[label 1] of position 0 underflows
  put<float>(rig, kLabel, {1.0f, 0.0f});
  const double want = -(std::log(double(1e-37f)) + std::log(0.5)) / 2.0;
  for (int gradient = 0; gradient < 2; gradient++) {
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (gradient) {
        nodechip_softmax_loss_bidirection_parallel(kA, kLabel, kDiff, kLoss, kScratch, 2.0f, 1, 2, 0, 2, node);
      } else {
        nodechip_softmax_loss_forward_parallel(kA, kLabel, kDiff, kLoss, kScratch, 2.0f, 1, 2, 0, 2, node);
      }
    }));
    const float loss = get<float>(rig, kLoss, 1)[0];
    EXPECT_TRUE(std::isfinite(loss)) << gradient;
    EXPECT_NEAR(loss, want, 1e-4) << gradient;
  }
}

INSTANTIATE_TEST_SUITE_P(All, SoftmaxLossLayer, ::testing::ValuesIn(all_schedules()), sched_name);

INSTANTIATE_TEST_SUITE_P(All, LossLayer, ::testing::ValuesIn(all_schedules()), sched_name);

}  // namespace
}  // namespace zv::test
