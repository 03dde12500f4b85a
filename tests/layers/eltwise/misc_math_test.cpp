// The float class tests as byte masks and the scaled sum of powers against
// plain loops, over lengths that take several pieces (the sum of powers past
// 49 x 65536 elements, where pieces must stay within their buffers), the
// table lookup of 1N and 4N indices (rows cut at the element count, row
// sections, groups of fewer than four items), under every schedule with the
// happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "cmd/local_mem.h"
#include "fw_test.h"
#include "layers/eltwise/misc_math.h"
#include "norm_rig.h"

namespace zv::test {
namespace {

using namespace norm;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;

class MiscMath : public ::testing::TestWithParam<Sched> {};

TEST_P(MiscMath, ClassTests) {
  LayerRunner rig(GetParam());
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  for (size_t len : {size_t(3), size_t(1000), size_t(200001)}) {
    std::vector<float> x = spread(len, -5, 5, 1);
    for (size_t i = 0; i < len; i += 3) x[i] = i % 2 ? inf : -inf;
    for (size_t i = 1; i < len; i += 5) x[i] = nan;
    if (len == 3) x = {1.0f, inf, nan};
    put<float>(rig, kIn, x);
    for (int what : {0, 1, 2}) {
      SCOPED_TRACE("length " + std::to_string(len) + " what " + std::to_string(what));
      std::vector<uint8_t> sentinel(len + 4, 0x77);
      put(rig, kOut, sentinel.data(), sentinel.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_f32_is(kIn, kOut, len, what, node); }));
      const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, len + 4);
      for (size_t i = 0; i < len; i++) {
        const bool want = what == 0 ? std::isinf(x[i]) : what == 1 ? std::isnan(x[i]) : std::isfinite(x[i]);
        ASSERT_EQ(out[i], want ? 1 : 0) << i;
      }
      for (size_t i = len; i < len + 4; i++) ASSERT_EQ(out[i], 0x77) << "past the end " << i;
    }
  }
}

TEST_P(MiscMath, SumOfPowers) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    size_t len;
    int count;
    float scale;
  };
  const Case cases[] = {
      {"plain sum", 1000, 0, 1.0f},
      {"sum of x^4, scaled", 70001, 2, 0.5f},
      {"50 x 65536 elements: pieces of 48 rows", 50 * 65536 + 7, 1, 1.0f},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const std::vector<float> x = spread(k.len, -1.0f, 1.0f, 2);
    put<float>(rig, kIn, x);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_sum_x2n(kIn, kOut, k.len, k.count, k.scale, node); }));
    double want = 0;
    for (float v : x) want += std::pow(double(v), 1 << k.count);
    want *= k.scale;
    EXPECT_NEAR(get<float>(rig, kOut, 1)[0], want, 1e-5 * std::fmax(1.0, std::fabs(want)) * std::sqrt(double(k.len)));
  }
}

TEST(MiscMathPlan, BatchSumSections) {
  struct Case {
    const char *what;
    int n, c, h, w, ns, cs, hs;
  };
  const Case cases[] = {
      {"fits", 4, 70, 3, 5, 1, 1, 1},
      {"items", 40, 64, 100, 100, 4, 1, 1},
      // One image has no half: channels first (which gain nothing within one
      // lane row), then rows.
      {"one image", 1, 64, 300, 300, 1, 64, 2},
      {"channels", 2, 1280, 64, 64, 1, 3, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      int ns = 0, cs = 0, hs = 0;
      get_slice_num_img_sum(k.n, k.c, k.h, k.w, &ns, &cs, &hs);
      EXPECT_EQ(ns, k.ns);
      EXPECT_EQ(cs, k.cs);
      EXPECT_EQ(hs, k.hs);
    });
    EXPECT_TRUE(ran_clean(o));
  }
}

TEST_P(MiscMath, BatchSumAndBand) {
  LayerRunner rig(GetParam());
  struct Sum {
    const char *what;
    int n, c, h, w, acc;
  };
  const Sum sums[] = {
      {"small", 4, 70, 3, 5, 0}, {"accumulate", 3, 9, 2, 2, 1}, {"item sections, accumulate", 12, 16, 100, 100, 1},
      {"one image, row sections", 1, 2, 300, 300, 0},
  };
  for (const Sum &k : sums) {
    SCOPED_TRACE(k.what);
    const size_t item = size_t(k.c) * k.h * k.w;
    const std::vector<float> x = spread(size_t(k.n) * item, -1, 1, 3), old = spread(item, -2, 2, 4);
    put<float>(rig, kIn, x);
    put<float>(rig, kOut, old);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_img_sum(kIn, kOut, k.acc, k.n, k.c, k.h, k.w, node); }));
    const std::vector<float> got = get<float>(rig, kOut, item);
    for (size_t e = 0; e < item; e++) {
      double s = k.acc ? old[e] : 0.0;
      for (size_t i = 0; i < size_t(k.n); i++) s += x[i * item + e];
      ASSERT_NEAR(got[e], s, 1e-5) << e;
    }
  }
  struct Band {
    const char *what;
    std::vector<int> shape;
    int lower, upper;
  };
  const Band bands[] = {
      {"upper triangle", {5, 7}, 0, -1}, {"tridiagonal of 3 x 2 matrices", {3, 2, 6, 6}, 1, 1},
      {"lower triangle, wide", {2, 4, 9}, -1, 0},
      {"70000 rows, one move each: the ids restart", {70000, 2}, -1, 0},
  };
  for (const Band &k : bands) {
    SCOPED_TRACE(k.what);
    size_t count = 1;
    for (int d : k.shape) count *= size_t(d);
    const std::vector<float> x = spread(count, 1, 2, 5);
    put<float>(rig, kIn, x);
    put<float>(rig, kOut, std::vector<float>(count, -9.0f));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_matrix_band_part(kIn, kOut, k.shape.data(), int(k.shape.size()), k.lower, k.upper, node);
    }));
    const int rows = k.shape[k.shape.size() - 2], cols = k.shape.back();
    const int lower = k.lower < 0 ? rows - 1 : k.lower, upper = k.upper < 0 ? cols - 1 : k.upper;
    const std::vector<float> got = get<float>(rig, kOut, count);
    for (size_t i = 0; i < count; i++) {
      const int m = int(i / size_t(cols)) % rows, j = int(i % size_t(cols));
      ASSERT_EQ(got[i], j >= m - lower && j <= m + upper ? x[i] : 0.0f) << i;
    }
  }
}

TEST_P(MiscMath, TableLookup) {
  LayerRunner rig(GetParam());
  constexpr u64 kTable = 0x10f000000ull;
  std::vector<uint32_t> table(256);
  // Every bit pattern class: NaNs, infinities and denormals come back as sent.
  for (uint32_t i = 0; i < 256; i++) table[i] = i * 2654435761u ^ (i << 23);
  table[7] = 0x7fc00001u, table[8] = 0xff800000u, table[9] = 0x00000001u;
  put(rig, kTable, table.data(), 1024);
  struct Case {
    const char *what;
    int n, c, h, w, is_1n;
  };
  const Case cases[] = {
      {"1N, 5 indices: one row", 1, 1, 1, 5, 1},
      {"1N, 100 indices: rows of 32, the last cut", 2, 5, 2, 5, 1},
      {"1N, 2049 indices: 64 rows of 33, the last two cut or empty", 1, 1, 1, 2049, 1},
      {"1N, 300001 indices", 1, 3, 100001, 1, 1},
      {"4N, 5 items: the second group of one", 5, 70, 3, 5, 0},
      {"4N, 69000 words a channel: two row sections", 3, 1, 300, 230, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t item = size_t(k.c) * k.h * k.w, t = size_t(k.n) * item;
    const size_t in_bytes = k.is_1n ? t : size_t((k.n + 3) / 4) * item * 4;
    const std::vector<uint8_t> idx = spread_bytes(in_bytes, 3);
    put(rig, kIn, idx.data(), idx.size());
    const std::vector<uint32_t> sentinel(t + 8, 0x5a5a5a5au);
    put(rig, kOut, sentinel.data(), sentinel.size() * 4);
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_lut(kIn, kOut, kTable, k.n, k.c, k.h, k.w, k.is_1n, node); }));
    std::vector<uint32_t> got(t + 8);
    rig.chip().ddr.load(kOut, reinterpret_cast<u8 *>(got.data()), got.size() * 4);
    for (size_t b = 0; b < size_t(k.n); b++)
      for (size_t e = 0; e < item; e++) {
        const size_t i = b * item + e;
        const uint8_t index = k.is_1n ? idx[i] : idx[((b / 4) * item + e) * 4 + b % 4];
        ASSERT_EQ(got[i], table[index]) << "item " << b << " element " << e;
      }
    for (size_t i = t; i < t + 8; i++) ASSERT_EQ(got[i], 0x5a5a5a5au) << "past the end " << i;
  }
}

TEST(MiscMathPlan, TableLookup) {
  struct Case {
    const char *what;
    int n, c, h, w, is_1n;
    int groups, channels, rows, hsecs;
  };
  const Case cases[] = {
      {"1N below 2048: rows of 32", 1, 1, 7, 10, 1, 1, 3, 32, 1},
      {"1N from 2048: 64 rows", 2, 1, 1, 1024, 1, 1, 64, 32, 1},
      {"1N of 64 x 65537 results: two sections", 1, 64, 65537, 1, 1, 1, 64, 65537, 2},
      {"1N of 64 x 65536: 256 KB of results, the row cap", 1, 1, 65536, 64, 1, 1, 64, 65536, 2},
      {"4N, 7 items", 7, 3, 4, 5, 0, 2, 3, 4, 1},
      {"4N, 130 channels of 400 x 100: three channel rows a lane", 4, 130, 400, 100, 0, 1, 130, 400, 2},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      lut_global_plan_t p;
      lut_global_plan_of(&p, k.n, k.c, k.h, k.w, k.is_1n);
      EXPECT_EQ(p.groups, k.groups);
      EXPECT_EQ(p.channels, k.channels);
      EXPECT_EQ(p.rows, k.rows);
      EXPECT_EQ(p.hsecs, k.hsecs);
      EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
      EXPECT_LE(ceil_div(p.rows, p.hsecs), 65534);
    });
    EXPECT_TRUE(ran_clean(o));
  }
}

INSTANTIATE_TEST_SUITE_P(All, MiscMath, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(MiscMath, Assertions) {
  expect_assert([](cmd_id_node_t *node) { const int s[1] = {4}; nodechip_matrix_band_part(kIn, kOut, s, 1, 0, 0, node); },
                "ASSERT", "firmware/layers/", "nodechip_matrix_band_part", "dims >= 2");
  expect_assert([](cmd_id_node_t *node) { nodechip_sum_x2n(kIn, kOut, 8, -1, 1.0f, node); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_sum_x2n", "count >= 0");
  expect_assert([](cmd_id_node_t *node) { nodechip_lut(kIn, kOut, kIn, 2, 0, 3, 4, 1, node); }, "ASSERT_FS",
                "firmware/layers/", "lut_global_plan_of", "n > 0 && c > 0 && h > 0 && w > 0", "n=2 c=0 h=3 w=4");
  expect_assert([](cmd_id_node_t *node) { nodechip_lut(kIn, kOut, kIn, 1024, 1024, 1024, 2, 0, node); }, "ASSERT_FS",
                "firmware/layers/", "lut_global_plan_of", "t <= 0x7fffffff", "1024 x 1024 x 1024 x 2 elements");
  FirmwareRig rig;
  const FwOutcome o = rig.run_layer([](cmd_id_node_t *node) { nodechip_f32_is(kIn, kOut, 8, 3, node); });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/local/", "tensor_f32_is", "0", "Not supported f32_is what=3"));
}

}  // namespace
}  // namespace zv::test
