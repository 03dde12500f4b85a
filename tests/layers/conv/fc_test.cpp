// Float fully connected and batch matrix product: the sections and layout by
// table; the layer against a plain product under every schedule with the
// happens-before checker, with shapes that cut M, N and K; transposed
// weights, bias once over K sections, ReLU and PReLU; broadcast batch shapes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conv_rig.h"
#include "fw_test.h"
#include "layers/conv/fc.h"
#include "ref/conv_layer_ref.h"

namespace zv::test {
namespace {


constexpr u64 kX = 0x101000000ull;
constexpr u64 kW = 0x102000000ull;
constexpr u64 kBias = 0x103000000ull;
constexpr u64 kSlope = 0x103100000ull;
constexpr u64 kY = 0x104000000ull;

// Small integers (or halves): every product and partial sum is exact.
std::vector<float> ints(size_t n, unsigned seed, int span, float unit = 1.0f) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int((i * 2654435761u + seed * 97u) % unsigned(2 * span + 1)) - span) * unit;
  return v;
}

TEST(FcPlan, Sections) {
  struct Case {
    const char *what;
    int M, K, N, bias, sec;
    int Ms, Ks, Ns;
  };
  const Case cases[] = {
      {"one step", 10, 100, 50, 1, 32, 1, 1, 1},
      {"M above a bank's rows", 600, 8, 32, 0, 32, 2, 1, 1},
      {"M and N cut", 520, 8, 2100, 1, 32, 2, 1, 2},
      {"K beyond one half", 300, 1300, 32, 1, 32, 1, 2, 1},
      {"wide sections cut M and K", 20, 100, 50, 1, 1024, 2, 3, 1},
      {"FC 4096x1000", 1, 4096, 1000, 1, 32, 1, 3, 1},
      {"N above 65535", 1, 4, 70000, 0, 32, 1, 1, 2},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    fc_plan_t p;
    fc_plan_of(&p, k.M, k.K, k.N, k.bias, k.sec);
    EXPECT_EQ(p.secs.Msecs, k.Ms);
    EXPECT_EQ(p.secs.Ksecs, k.Ks);
    EXPECT_EQ(p.secs.Nsecs, k.Ns);
    EXPECT_LE(p.bias[0] + (k.bias ? p.bias_bytes : 0u), 3 * FC_BANK_SIZE);
    EXPECT_LE(p.output_bytes, FC_BANK_SIZE);
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
  }
}

TEST(FcPlan, SectionsAndOffsets) {
  EXPECT_EQ(fc_sec_size(10, 3, 0), 4);
  EXPECT_EQ(fc_sec_size(10, 3, 2), 3);
  EXPECT_EQ(fc_sec_start(10, 3, 2), 7);
  // Matrix 1 of 6 x 10, row section 1 of 2, column section 2 of 3.
  EXPECT_EQ(get_slice_global_offset_with_batch(0x1000, 1, 1, 2, 6, 10, 2, 3), 0x1000u + 4u * (60 + 3 * 10 + 7));
}

class FcLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(FcLayer, AgainstThePlainProduct) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int M, K, N, transpose, bias, active, shared, sec;
    float slope;
  };
  const Case cases[] = {
      {"one step with bias", 7, 45, 33, 0, 1, 0, 1, 32, 0.0f},
      {"transposed weights", 5, 70, 40, 1, 1, 0, 1, 32, 0.0f},
      {"M and N cut, ReLU", 520, 8, 2100, 0, 1, FC_ACTIVE_RELU, 1, 32, 0.0f},
      {"M and K cut by wide sections, bias once", 20, 100, 50, 0, 1, 0, 1, 1024, 0.0f},
      {"per-column PReLU", 9, 20, 70, 0, 1, FC_ACTIVE_PRELU, 0, 32, 0.0f},
      {"transposed, one section narrower than sec_size", 5, 70, 40, 1, 1, 0, 1, 64, 0.0f},
      {"K cut, transposed, shared PReLU", 20, 100, 50, 1, 0, FC_ACTIVE_PRELU, 1, 1024, 0.25f},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const std::vector<float> X = ints(size_t(k.M) * k.K, 1, 3), W = ints(size_t(k.K) * k.N, 2, 2),
                             bias = ints(size_t(k.N), 3, 20, 0.5f), slopes = ints(size_t(k.N), 4, 4, 0.25f);
    put<float>(rig, kX, X);
    put<float>(rig, kW, W);
    put<float>(rig, kBias, bias);
    put<float>(rig, kSlope, slopes);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_fc_forward_parallel(kX, kW, kBias, kY, kSlope, k.M, k.K, k.N, k.transpose, k.bias, k.active,
                                   k.shared, k.slope, k.sec, node);
    }));
    const std::vector<double> want =
        ref::conv::fully_connected(X, W, k.bias ? bias : std::vector<float>{}, k.M, k.K, k.N, k.transpose);
    const std::vector<float> got = get<float>(rig, kY, want.size());
    for (size_t i = 0; i < want.size(); i++) {
      double w = want[i];
      if (k.active == FC_ACTIVE_RELU && w < 0) w = 0;
      if (k.active == FC_ACTIVE_PRELU && w < 0) w *= k.shared ? k.slope : slopes[i % size_t(k.N)];
      ASSERT_EQ(double(got[i]), w) << i;
    }
  }
}

TEST_P(FcLayer, BatchMatmulBroadcasts) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    std::vector<int> a, b;
    int relu;
  };
  const Case cases[] = {
      {"(2, 1, M, K) x (3, K, N)", {2, 1, 5, 6}, {3, 6, 7}, 0},
      {"one matrix in three dims, ReLU", {1, 4, 9}, {1, 9, 3}, 1},
      {"two dims", {3, 40}, {40, 5}, 0},
      {"B broadcast over A's batch", {3, 2, 4}, {4, 6}, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    size_t na = 1, nb = 1;
    for (int d : k.a) na *= size_t(d);
    for (int d : k.b) nb *= size_t(d);
    const std::vector<float> A = ints(na, 5, 3), B = ints(nb, 6, 3);
    put<float>(rig, kX, A);
    put<float>(rig, kW, B);
    std::vector<int> ys;
    const std::vector<double> want = ref::conv::batch_matmul(A, k.a, B, k.b, &ys);
    int shape[8] = {0}, dims = 0;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_batch_matmul_forward_parallel(kX, k.a.data(), int(k.a.size()), kW, k.b.data(), int(k.b.size()), kY,
                                             k.relu, 0, shape, &dims, node);
    }));
    ASSERT_EQ(size_t(dims), ys.size());
    for (size_t i = 0; i < ys.size(); i++) EXPECT_EQ(shape[i], ys[i]) << i;
    const std::vector<float> got = get<float>(rig, kY, want.size());
    for (size_t i = 0; i < want.size(); i++) ASSERT_EQ(double(got[i]), k.relu && want[i] < 0 ? 0.0 : want[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(All, FcLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(FcLayerChecks, RefusesWhatDoesNotFit) {
  // The section formulas leave an output block of 300 rows x 2731 columns:
  // two lane rows of 300 x 128 bytes, beyond a bank.
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_fc_forward_parallel(kX, kW, kBias, kY, 0, 600, 4, 8192, 0, 0, 0, 1, 0.0f, 32, node);
      },
      "ASSERT", "firmware/layers/conv/", "nodechip_fc_forward_parallel_v2", "top_size <= bank_size");
  // Sections of 65536 columns: a row of X already fills more than a half.
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_fc_forward_parallel(kX, kW, kBias, kY, 0, 1, 4, 4, 0, 0, 0, 1, 0.0f, 65536, node);
      },
      "ASSERT", "firmware/layers/conv/", "nodechip_fc_forward_parallel_get_slice_num_multidim_optimize",
      "rows_k > 0", "M 1, N 4, sec_size 65536 leave no room for weights");
}

}  // namespace
}  // namespace zv::test
