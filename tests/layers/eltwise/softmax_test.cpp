// Softmax and log-softmax: the class steps, batch counts and local layouts by
// table; every path (constant fill, per-row with one and several class steps,
// whole rows with spatial pieces, per position) against a double reference
// under every schedule with the happens-before checker, float and 8-bit input,
// the four-items-a-word input; and the limits that stop on their checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/softmax.h"
#include "ref/softmax_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kBuf = 0x104000000ull;
constexpr u64 kOut = 0x108000000ull;

TEST(SoftmaxPlan, ClassStepsAndBatchItems) {
  struct Case {
    int c, log_flag, csec, nsec;
  };
  const Case cases[] = {
      {10, 0, 10, 4032},         // one step, up to 4032 items
      {1024, 0, 1024, 4032},     //
      {1500, 1, 960, 4032},      // log-softmax: two thirds of the 32-blocks
      {48, 1, 32, 4032},         // two steps already at 48 classes
      {20, 1, 20, 4032},         // fewer than 32: all of them
      {3000, 0, 3000, 64},       // above 1920 classes: 64 items
      {100000, 0, 63392, 64},    // the step limit
      {100000, 1, 42240, 64},    //
  };
  for (const Case &k : cases) {
    SCOPED_TRACE("c " + std::to_string(k.c) + " log " + std::to_string(k.log_flag));
    const softmax_slice_t s = get_slice_local_1x1(k.c, k.log_flag);
    EXPECT_EQ(s.csec, k.csec);
    EXPECT_EQ(s.nsec, k.nsec);
  }
}

TEST(SoftmaxPlan, Layouts) {
  // Per row: 8704 bytes an item for 1024 classes; 3840 items fit, 4000 do not.
  softmax_row_layout_t l;
  softmax_row_layout_of(&l, 3840, 1024, 0);
  EXPECT_EQ(l.end, 60u * 8704u);
  EXPECT_TRUE(local_areas_valid(l.areas, l.area_count));
  softmax_row_layout_of(&l, 4000, 1024, 0);
  EXPECT_GT(l.end, 1u << 19);
  softmax_row_layout_of(&l, 64, 960, 1);
  EXPECT_EQ(l.area_count, 5);
  EXPECT_EQ(l.end, 3u * 3840u + 384u + 128u);
  EXPECT_TRUE(local_areas_valid(l.areas, l.area_count));

  // Whole rows: pieces grow until 4c + 1 rows of the largest piece fit.
  struct Case {
    int c, S, pieces;
  };
  const Case cases[] = {{1000, 4, 1}, {5, 33, 1}, {1000, 200, 7}, {100, 5000, 16}, {2, 1, 1}};
  for (const Case &k : cases) {
    SCOPED_TRACE("c " + std::to_string(k.c) + " S " + std::to_string(k.S));
    softmax_rows_plan_t p;
    softmax_rows_plan_of(&p, k.c, k.S, 0);
    EXPECT_EQ(p.pieces, k.pieces);
    EXPECT_LE((4u * u32(k.c) + 1) * p.row_bytes, SOFTMAX_LOCAL_BYTES);
    EXPECT_LE(p.scratch + u32(k.c) * p.row_bytes, SOFTMAX_LOCAL_BYTES);
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
  }
}

// Values of item b spread over [-8, 8] around an item offset of -100, 0 or
// +100, so that the largest values of neighbouring items differ by more than 88.
std::vector<double> values(int n, int c, int S) {
  std::vector<double> v(size_t(n) * c * S);
  for (size_t i = 0; i < v.size(); i++) {
    const int b = int(i / (size_t(c) * S));
    v[i] = (b % 3 - 1) * 100.0 + double(int((i * 7919u) % 1009) - 504) / 63.0;
  }
  return v;
}

struct SoftmaxRun {
  const char *what;
  int n, c, h, w;
  int prec;        // 0 float, 1 signed, 2 unsigned bytes
  int store_mode;  // 2: four items a word
  int log_flag;
};

class SoftmaxLayer : public ::testing::TestWithParam<Sched> {};

void check_run(LayerRunner &rig, const SoftmaxRun &r) {
  SCOPED_TRACE(r.what);
  const int S = r.h * r.w;
  const size_t total = size_t(r.n) * r.c * S;
  const float scale = 0.0625f;
  std::vector<double> x(total);
  if (r.prec == 0) {
    x = values(r.n, r.c, S);
    std::vector<float> f(x.begin(), x.end());
    for (size_t i = 0; i < total; i++) x[i] = f[i];
    rig.chip().ddr.store(kIn, reinterpret_cast<const u8 *>(f.data()), total * 4);
  } else {
    const size_t groups = (size_t(r.n) + 3) / 4;
    std::vector<u8> bytes(r.store_mode == 2 ? groups * 4 * r.c * S : total);
    for (size_t i = 0; i < total; i++) {
      const u8 byte = u8((i * 37 + 11) % 256);
      x[i] = double(float(r.prec == 1 ? double(int8_t(byte)) : double(byte)) * scale);
      if (r.store_mode == 2) {
        const size_t b = i / (size_t(r.c) * S), rest = i % (size_t(r.c) * S);
        bytes[4 * ((b / 4) * r.c * S + rest) + b % 4] = byte;
      } else {
        bytes[i] = byte;
      }
    }
    rig.chip().ddr.store(kIn, bytes.data(), bytes.size());
  }
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_softmax_forward_parallel(kIn, kOut, r.n, r.c, r.h, r.w, r.n, r.c, r.h, r.w, r.store_mode, 0, kBuf,
                                      r.prec, scale, u32(r.log_flag), node);
  }));
  std::vector<float> out(total);
  rig.chip().ddr.load(kOut, reinterpret_cast<u8 *>(out.data()), total * 4);
  const std::vector<double> want = ref::softmax(x, r.n, r.c, S, r.log_flag != 0);
  // The sums run in float: their rounding grows with the class count.
  const double sum_tol = 1e-9 * r.c;
  for (size_t i = 0; i < total; i++)
    ASSERT_NEAR(out[i], want[i], 2e-6 + 2e-6 * std::fabs(want[i]) + sum_tol) << i << ": " << x[i];
  if (!r.log_flag)
    for (int b = 0; b < r.n; b++)
      for (int p = 0; p < S; p++) {
        double sum = 0;
        for (int k = 0; k < r.c; k++) sum += out[(size_t(b) * r.c + k) * S + p];
        ASSERT_NEAR(sum, 1.0, 1e-5 + sum_tol) << "item " << b << " position " << p;
      }
}

TEST_P(SoftmaxLayer, EveryPath) {
  LayerRunner rig(GetParam());
  const SoftmaxRun runs[] = {
      {"per row, one step", 3, 10, 1, 1, 0, 0, 0},
      {"per row, log, one step", 3, 10, 1, 1, 0, 0, 1},
      {"per row, 70 items in two calls", 70, 33, 1, 1, 0, 0, 0},
      {"per row, log, two class steps", 2, 100, 1, 1, 0, 0, 1},
      {"per row, log, 3000 classes in 32-wide rows and four steps", 2, 3000, 1, 1, 0, 0, 1},
      {"per row, 3000 classes in 32-wide rows", 2, 3000, 1, 1, 0, 0, 0},
      {"per row, 70000 classes in two steps", 1, 70000, 1, 1, 0, 0, 0},
      {"per row, log, 100000 classes in three steps", 1, 100000, 1, 1, 0, 0, 1},
      {"whole rows, two groups of items", 70, 5, 3, 11, 0, 0, 0},
      {"whole rows, log", 3, 7, 1, 40, 0, 0, 1},
      {"whole rows, 1000 classes", 1, 1000, 2, 2, 0, 0, 0},
      {"per position, 1024 classes", 2, 1024, 2, 2, 0, 0, 0},
      {"per position, log, 1100 classes in two steps", 2, 1100, 1, 3, 0, 0, 1},
      {"signed bytes per row", 3, 40, 1, 1, 1, 0, 0},
      {"unsigned bytes whole rows, log", 2, 6, 2, 5, 2, 0, 1},
      {"signed bytes four a word, 5 items", 5, 4, 3, 2, 1, 2, 0},
  };
  for (const SoftmaxRun &r : runs) check_run(rig, r);
}

TEST_P(SoftmaxLayer, OneClassFillsWithoutReading) {
  LayerRunner rig(GetParam());
  const std::vector<float> junk(24, NAN);
  rig.chip().ddr.store(kIn, reinterpret_cast<const u8 *>(junk.data()), 96);
  for (int lg : {0, 1}) {
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_softmax_forward_parallel(kIn, kOut, 4, 1, 2, 3, 4, 1, 2, 3, 0, 0, 0, 0, 0.0f, u32(lg), node);
    }));
    std::vector<float> out(24);
    rig.chip().ddr.load(kOut, reinterpret_cast<u8 *>(out.data()), 96);
    for (float v : out) EXPECT_EQ(v, lg ? 0.0f : 1.0f);
  }
}

TEST_P(SoftmaxLayer, SpecialValues) {
  // -inf has no weight; a row of equal values is uniform; large values do not
  // overflow.
  LayerRunner rig(GetParam());
  const std::vector<float> in = {-INFINITY, 0.0f, 1.0f, -0.0f, 5.0f, 5.0f, 5.0f, 5.0f, 3e38f, -3e38f, 3e38f, 0.0f};
  rig.chip().ddr.store(kIn, reinterpret_cast<const u8 *>(in.data()), in.size() * 4);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_softmax_forward_parallel(kIn, kOut, 3, 4, 1, 1, 3, 4, 1, 1, 0, 0, 0, 0, 0.0f, 0, node);
  }));
  std::vector<float> out(12);
  rig.chip().ddr.load(kOut, reinterpret_cast<u8 *>(out.data()), 48);
  const double e = std::exp(1.0), s = 2 + e;
  const double want[12] = {0, 1 / s, e / s, 1 / s, 0.25, 0.25, 0.25, 0.25, 0.5, 0, 0.5, 0};
  for (int i = 0; i < 12; i++) EXPECT_NEAR(out[size_t(i)], want[i], 1e-6) << i;
}

INSTANTIATE_TEST_SUITE_P(All, SoftmaxLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(SoftmaxLayerChecks, Limits) {
  const char *where = "firmware/layers/";
  expect_assert([](cmd_id_node_t *n) { nodechip_softmax_forward_parallel(kIn, kOut, 1, 4, 1, 1, 1, 4, 1, 1, 0, 0, 0, 3, 1.0f, 0, n); },
                "ASSERT_FS", where, "nodechip_softmax_forward_parallel", "bottom_prec <= 2");
  expect_assert([](cmd_id_node_t *n) { nodechip_softmax_forward_parallel(kIn, kOut, 1, 4, 1, 1, 1, 4, 1, 1, 0, 0, 0, -1, 1.0f, 0, n); },
                "ASSERT_FS", where, "nodechip_softmax_forward_parallel", "bottom_prec >= 0");
  // 4000 items of 1024 classes need more than one lane's memory.
  expect_assert([](cmd_id_node_t *n) { nodechip_softmax_forward_parallel(kIn, kOut, 4000, 1024, 2, 2, 4000, 1024, 2, 2, 0, 0, 0, 0, 0.0f, 0, n); },
                "ASSERT_FS", where, "nodechip_softmax_local_1x1", "end_lo <= (1<<19)");
  expect_assert([](cmd_id_node_t *n) { nodechip_softmax_from_global(kIn, kOut, 1, 1000, 4, 1, 0x60000, 1000, 0, 0, 0.0f, 0, n); },
                "ASSERT_FS", where, "nodechip_softmax_from_global",
                "(4 * c + 1) * get_neuron_csize_local(1, w) <= local_capacity");
  // Several class steps hold one item a lane: the 65th stops the call after
  // its maximum pass.
  LayerRunner rig;
  const FwOutcome o = rig.run_checks([](cmd_id_node_t *n) {
    nodechip_softmax_local_1x1(kIn, kOut, 0, 65, 960, 1500, 0, 0.0f, 2, 0, 1, n);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", where, "nodechip_softmax_local_1x1", "c_per_npu == 1"));
}

}  // namespace
}  // namespace zv::test
