// Float batch normalisation: the section counts and plans by table, the power
// helper, inference and training against double references under every
// schedule with the happens-before checker, and the assertions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "cmd/gdma.h"
#include "cmd/local_areas.h"
#include "fw_test.h"
#include "layers/eltwise/batchnorm.h"
#include "layers/eltwise/norm_common.h"
#include "norm_rig.h"
#include "ref/bn_ref.h"

namespace zv::test {
namespace {

using namespace norm;
using ref::conv::T4;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;
constexpr u64 kMean = 0x110000000ull;
constexpr u64 kVar = 0x110100000ull;
constexpr u64 kStd = 0x110200000ull;
constexpr u64 kBatchMean = 0x110300000ull;

TEST(NormPlan, BatchSections) {
  struct Case {
    const char *what;
    int unit, n, cap, want;
  };
  const Case cases[] = {
      {"exact fit stops the search", 100, 10, 500, 2},
      {"one more section", 100, 10, 450, 3},
      {"two items left that do not fit: one per section", 100, 9, 150, 9},
      {"start from need / capacity", 10, 1000, 2500, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FwOutcome o = run_firmware([&] { EXPECT_EQ(nsecs_computing(c.unit, c.n, c.cap), c.want); });
    EXPECT_TRUE(ran_clean(o));
  }
  expect_assert([] { nsecs_computing(100, 4, 400); }, "ASSERT", "firmware/layers/", "nsecs_computing",
                "mem_need > mem_capacity");
  expect_assert([] { nsecs_computing(100, 4, 99); }, "ASSERT", "firmware/layers/", "nsecs_computing",
                "nsecs < input_n");
  // A product beyond 2^31 still counts.
  FwOutcome o = run_firmware([] { EXPECT_EQ(nsecs_computing(1 << 20, 4096, 1 << 20), 4096); });
  EXPECT_TRUE(ran_clean(o));
}

TEST(BatchnormPlan, SplitAndPlans) {
  struct Split {
    const char *what;
    int size, capacity, n, cpl, h, w;
    int nsecs, hsecs, wsecs, slice;
  };
  const Split splits[] = {
      {"fits", 1000, 2000, 2, 1, 3, 3, 1, 1, 1, 1000},
      {"n first", 4 * 128 * 4, 1024, 4, 1, 4, 8, 2, 1, 1, 2 * 128},
      {"then h", 2 * 128 * 4, 300, 1, 2, 4, 32, 1, 4, 1, 2 * 128},
      {"then w", 63 * 1024 * 4, 0x38000, 1, 63, 1, 1000, 1, 1, 2, 63 * 512 * 4},
  };
  for (const Split &s : splits) {
    SCOPED_TRACE(s.what);
    FwOutcome o = run_firmware([&] {
      int n = 1, h = 1, w = 1;
      EXPECT_EQ(bn_split_nh_par_v2(s.size, s.capacity, s.n, s.cpl, s.h, s.w, &n, &h, &w), s.slice);
      EXPECT_EQ(n, s.nsecs);
      EXPECT_EQ(h, s.hsecs);
      EXPECT_EQ(w, s.wsecs);
    });
    EXPECT_TRUE(ran_clean(o));
  }
  expect_assert(
      [] {
        int n = 1, h = 1, w = 1;
        bn_split_nh_par_v2(1024, 64, 1, 1, 1, 1, &n, &h, &w);
      },
      "ASSERT", "firmware/layers/", "bn_split_nh_par_v2", "0");

  for (int c : {1, 64, 65, 4033, 100000}) {
    SCOPED_TRACE("inference c " + std::to_string(c));
    bn_inference_plan_t p;
    ASSERT_TRUE(bn_inference_plan_of(&p, c));
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
    EXPECT_EQ(p.capacity, (0x80000u - p.buffer[0]) / 2);
    EXPECT_LE(p.buffer[1] + p.capacity / 128 * 128, 0x80000u);
  }
  bn_inference_plan_t p;
  EXPECT_FALSE(bn_inference_plan_of(&p, 64 * 0x10000));

  struct Train {
    const char *what;
    int n, c, h, w;
    int whole, nsecs, hsecs;
  };
  const Train trains[] = {
      {"small: whole batch", 2, 3, 5, 7, 1, 1, 1},
      {"one 64-channel group fits a buffer", 2, 130, 100, 100, 1, 1, 1},
      {"one item: rows", 1, 2, 300, 200, 0, 1, 3},
      {"items that fit on their own", 8, 3, 100, 100, 0, 4, 1},
      {"one item does not fit: rows per item", 2, 5, 300, 200, 0, 2, 3},
  };
  for (const Train &t : trains) {
    SCOPED_TRACE(t.what);
    FwOutcome o = run_firmware([&] {
      bn_train_plan_t q;
      bn_train_plan_of(&q, t.n, t.c, t.h, t.w);
      EXPECT_EQ(q.whole_batch, t.whole);
      EXPECT_EQ(q.nsecs, t.nsecs);
      EXPECT_EQ(q.hsecs, t.hsecs);
      EXPECT_TRUE(local_areas_valid(q.areas, q.area_count));
    });
    EXPECT_TRUE(ran_clean(o));
  }
  expect_assert([] { bn_train_plan_t q; bn_train_plan_of(&q, 1, 3, 2, 40000); }, "ASSERT_FS", "firmware/layers/",
                "bn_train_plan_of", "rows > 0", "one row of 40000 floats does not fit");
}

class BatchnormLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(BatchnormLayer, PowerHelper) {
  LayerRunner rig(GetParam());
  const int C = 70, W = 40;
  const std::vector<float> in = spread(size_t(C) * W, 0.01f, 50.0f);
  put<float>(rig, kIn, in);
  // Source at 0 (aligned 1 x 70 x 1 x 40: two lane rows of 64 floats), the
  // destination filled with NaN first, then raised in place too.
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    tensor_general_move_gen_cmd(kIn, 0, 1, C, 1, W, C * W, W, W, 1, GDMA_VALUE_FORMAT_FLOAT32, 0, 0, 1, C, 1, W,
                                2 * 64, 64, W, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
    const u32 nan = 0x7fc00000u;
    fill_constant_gen_local_cmd_stride(0x4000, 0, &nan, GDMA_VALUE_FORMAT_FLOAT32, 1, C, 1, W, 2 * 64, 64, W, 1,
                                       node);
    tensor_xa(node, 0, 0x4000, 0x8000, 1, C, 1, W, 0.5f);
    tensor_xa(node, 0, 0, 0x8000, 1, C, 1, W, -0.75f);
    tensor_general_move_gen_cmd(0x4000, 0, 1, C, 1, W, 2 * 64, 64, W, 1, GDMA_VALUE_FORMAT_FLOAT32, kOut, 0, 1, C, 1,
                                W, C * W, W, W, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
    tensor_general_move_gen_cmd(0, 0, 1, C, 1, W, 2 * 64, 64, W, 1, GDMA_VALUE_FORMAT_FLOAT32, kOut + 0x100000, 0, 1,
                                C, 1, W, C * W, W, W, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
  }));
  const std::vector<float> root = get<float>(rig, kOut, size_t(C) * W),
                           pw = get<float>(rig, kOut + 0x100000, size_t(C) * W);
  for (size_t i = 0; i < root.size(); i++) {
    ASSERT_NEAR(root[i], std::sqrt(double(in[i])), 2e-6 * std::sqrt(double(in[i]))) << i;
    ASSERT_NEAR(pw[i], std::pow(double(in[i]), -0.75), 2e-6 * std::pow(double(in[i]), -0.75)) << i;
  }
}

struct InferCase {
  const char *what;
  int n, c, h, w;
  float s, eps;
  int output_std, prepare, relu;
};

TEST_P(BatchnormLayer, Inference) {
  const InferCase cases[] = {
      {"prepared, divisor 1, relu", 2, 3, 5, 7, 1.0f, 1e-5f, 0, 1, 1},
      {"divisor 0: a = 0, b = 1 / sqrt(eps)", 1, 5, 3, 3, 0.0f, 0.25f, 1, 1, 0},
      {"130 channels, divisor 2.5, std out", 3, 130, 4, 9, 2.5f, 1e-3f, 1, 1, 0},
      {"given coefficients, std out", 2, 70, 3, 5, 1.0f, 9.0f, 1, 0, 1},
      {"4033 channels: two chunks", 1, 4033, 1, 3, 1.0f, 1e-5f, 1, 1, 0},
      {"batch split", 3, 70, 40, 300, 1.0f, 1e-5f, 0, 1, 0},
      {"row split", 1, 200, 64, 300, 1.0f, 1e-5f, 0, 1, 1},
      {"column split", 1, 65, 1, 28700, 1.0f, 1e-5f, 0, 1, 0},
  };
  LayerRunner rig(GetParam());
  for (const InferCase &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t count = size_t(k.n) * k.c * k.h * k.w;
    const std::vector<float> x = spread(count, -4.0f, 4.0f, 1), mean = spread(size_t(k.c), -1.0f, 1.0f, 2);
    const std::vector<float> var = spread(size_t(k.c), 0.5f, 3.0f, 3);
    put<float>(rig, kIn, x);
    put<float>(rig, kMean, mean);
    put<float>(rig, kVar, var);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_batchnorm_forward_inference_parallel(kIn, kMean, kVar, k.s, kStd, kOut, k.eps, k.n, k.c, k.h, k.w,
                                                    k.output_std, k.prepare, k.relu, node);
    }));
    std::vector<double> a = doubles(mean), b = doubles(var);
    if (k.prepare) ref::bn::prepare(doubles(mean), doubles(var), k.s, k.eps, &a, &b);
    const T4 want = ref::bn::apply(t4_of(x, k.n, k.c, k.h, k.w), a, b, k.relu);
    const std::vector<float> got = get<float>(rig, kOut, count);
    for (size_t i = 0; i < count; i++)
      ASSERT_NEAR(got[i], want.v[i], 2e-6 * std::fmax(1.0, std::fabs(want.v[i]))) << i;
    if (k.output_std) {
      const std::vector<float> sd = get<float>(rig, kStd, size_t(k.c));
      for (size_t c = 0; c < sd.size(); c++) ASSERT_NEAR(sd[c], 1.0 / b[c], 2e-6 * std::fabs(1.0 / b[c])) << c;
    }
  }
}

struct TrainCase {
  const char *what;
  int n, c, h, w;
  float norm_count;  // 0: n x h x w
  int steps;
};

TEST_P(BatchnormLayer, TrainingSteps) {
  const TrainCase cases[] = {
      {"one group, whole batch", 2, 3, 5, 7, 0, 3},
      {"65 channels: a group of one", 2, 65, 3, 4, 0, 3},
      {"130 channels, groups pipelined", 2, 130, 100, 100, 0, 1},
      {"one item, rows sliced", 1, 2, 300, 200, 0, 2},
      {"items that fit on their own", 8, 3, 100, 100, 0, 1},
      {"rows sliced per item, 65 channels", 2, 65, 300, 200, 0, 1},
      {"count 1: plain variance", 2, 3, 2, 2, 1.0f, 2},
  };
  LayerRunner rig(GetParam());
  const float eps = 1e-3f, fraction = 0.9f;
  for (const TrainCase &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t count = size_t(k.n) * k.c * k.h * k.w;
    const float m = k.norm_count > 0 ? k.norm_count : float(k.n * k.h * k.w);
    std::vector<double> rm = doubles(spread(size_t(k.c), -1.0f, 1.0f, 4)), rv = doubles(spread(size_t(k.c), 0.5f, 2.0f, 5));
    put<float>(rig, kMean, std::vector<float>(rm.begin(), rm.end()));
    put<float>(rig, kVar, std::vector<float>(rv.begin(), rv.end()));
    for (int step = 0; step < k.steps; step++) {
      SCOPED_TRACE("step " + std::to_string(step));
      // Channel k centred near k / 10 with a spread that depends on the step.
      std::vector<float> x = spread(count, -2.0f - step, 3.0f + step, unsigned(step));
      for (size_t i = 0; i < count; i++) x[i] += float((i / size_t(k.h * k.w)) % size_t(k.c)) / 10.0f;
      put<float>(rig, kIn, x);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_batchnorm_forward_train_parallel(kIn, kMean, kVar, kBatchMean, kStd, kOut, eps, fraction, m, k.n,
                                                  k.c, k.h, k.w, node);
      }));
      const ref::bn::TrainStep want = ref::bn::train(t4_of(x, k.n, k.c, k.h, k.w), rm, rv, eps, fraction, m);
      const std::vector<float> y = get<float>(rig, kOut, count);
      for (size_t i = 0; i < count; i++) ASSERT_NEAR(y[i], want.y.v[i], 2e-4 * std::fmax(1.0, std::fabs(want.y.v[i]))) << i;
      const std::vector<float> mean = get<float>(rig, kBatchMean, size_t(k.c)), sd = get<float>(rig, kStd, size_t(k.c));
      const std::vector<float> nrm = get<float>(rig, kMean, size_t(k.c)), nrv = get<float>(rig, kVar, size_t(k.c));
      for (size_t c = 0; c < size_t(k.c); c++) {
        ASSERT_NEAR(mean[c], want.mean[c], 1e-4 * std::fmax(1.0, std::fabs(want.mean[c]))) << c;
        ASSERT_NEAR(sd[c], want.std[c], 1e-4 * want.std[c]) << c;
        ASSERT_NEAR(nrm[c], want.running_mean[c], 1e-4 * std::fmax(1.0, std::fabs(want.running_mean[c]))) << c;
        ASSERT_NEAR(nrv[c], want.running_var[c], 1e-4 * std::fmax(1.0, want.running_var[c])) << c;
      }
      rm = want.running_mean;
      rv = want.running_var;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, BatchnormLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(BatchnormLayer, Assertions) {
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_batchnorm_forward_train_parallel(kIn, kMean, kVar, kBatchMean, kStd, kOut, 1e-3f, 0.9f, 0.0f, 2, 3,
                                                  0, 4, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_batchnorm_forward_train_parallel",
      "input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_batchnorm_forward_train_parallel(kIn, kMean, kVar, kBatchMean, kStd, kOut, 1e-3f, 0.9f, 0.0f, 2, 3,
                                                  2, 4, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_batchnorm_forward_train_parallel", "norm_count > 0.0f");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_batchnorm_forward_inference_parallel(kIn, kMean, kVar, 1.0f, kStd, kOut, 1e-5f, 1, 64 * 0x10000, 1,
                                                      1, 0, 1, 0, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_batchnorm_forward_inference_parallel",
      "bn_inference_plan_of(&plan, c)");
}

}  // namespace
}  // namespace zv::test
