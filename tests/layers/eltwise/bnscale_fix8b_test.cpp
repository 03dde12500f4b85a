// 8-bit batch normalisation with scale and 8-bit bias add: the splits and
// plans by table, both layers bit-exact against integer references over
// shapes that force group and row sections, 4N and 1N sources, under every
// schedule with the happens-before checker, and the assertions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmd/local_areas.h"
#include "fw_test.h"
#include "layers/eltwise/bnscale_fix8b.h"
#include "norm_rig.h"
#include "ref/fix8b_affine_ref.h"

namespace zv::test {
namespace {

using namespace norm;
namespace fr = ref::fix8b;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x108000000ull;
constexpr u64 kScale = 0x110000000ull;
constexpr u64 kBias = 0x110100000ull;
constexpr u64 kShift = 0x110200000ull;

TEST(Fix8bAffinePlan, SplitsAndPlans) {
  struct Case {
    const char *what;
    bool bnscale;
    int n, c, h, w;
    int nsecs, hsecs;
  };
  // size = groups x cpl x align(h x w x 4, 128), capacity 64 KB.
  const Case cases[] = {
      {"fits", true, 5, 70, 8, 8, 1, 1},
      {"groups: one per section", true, 40, 64, 64, 64, 10, 1},
      {"one group: rows", true, 3, 130, 100, 100, 1, 2},
      {"groups and rows", true, 8, 64, 150, 150, 2, 2},
      {"bias add fits", false, 6, 70, 8, 8, 1, 1},
      {"bias add: one group, rows", false, 2, 64, 200, 200, 1, 3},
      {"bias add: a group too large, rows per group", false, 8, 64, 150, 150, 2, 2},
      {"bias add: sections of whole groups", false, 40, 64, 64, 64, 3, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      const int cpl = (k.c + 63) / 64, G = (k.n + 3) / 4;
      const int size = G * cpl * ((k.h * k.w * 4 + 127) / 128 * 128);
      int ns = 1, hs = 1;
      if (k.bnscale) {
        bn_split_nh_par_bnscale(size, 0x10000, k.n, cpl, k.h, k.w, &ns, &hs);
      } else {
        nodechip_split_nh(size, 0x10000, k.n, cpl, k.h, k.w, &ns, &hs);
      }
      EXPECT_EQ(ns, k.nsecs);
      EXPECT_EQ(hs, k.hsecs);
      const int rows = (k.h + hs - 1) / hs;
      EXPECT_LE(((k.n + 3) / 4 + ns - 1) / ns * cpl * ((rows * k.w + 31) / 32 * 128), 0x10000);
    });
    EXPECT_TRUE(ran_clean(o));
  }
  for (int c : {1, 70, 4096, 40000}) {
    for (int with_scale : {0, 1}) {
      fix8b_affine_plan_t p;
      fix8b_affine_plan_of(&p, c, with_scale);
      EXPECT_TRUE(local_areas_valid(p.areas, p.area_count)) << c << " " << with_scale;
    }
  }
  // One row that does not fit 64 KB: refused, not divided by zero rows.
  expect_assert([] { int a = 1, b = 1; bn_split_nh_par_bnscale(0x7fffffff, 0x10000, 4, 1, 2, 20000, &a, &b); },
                "ASSERT_FS", "firmware/layers/", "rows_that_fit", "rows > 0",
                "one row of 20000 words in 1 lane rows does not fit");
  expect_assert([] { int a = 1, b = 1; nodechip_split_nh(0x7fffffff, 0x10000, 1, 600, 2, 4, &a, &b); }, "ASSERT_FS",
                "firmware/layers/", "rows_that_fit", "rows > 0", "one row of 4 words in 600 lane rows does not fit");
}

struct Shape4 {
  int n, c, h, w;
  size_t chw() const { return size_t(c) * h * w; }
  size_t bytes4n() const { return size_t((n + 3) / 4) * chw() * 4; }
};

// Input bytes in 4N (or 1N) storage, the per-channel parameters, the layer,
// and every item's byte against `want`.
template <class Run, class Want>
void check_layer(LayerRunner &rig, const Shape4 &s, bool src_1n, const Run &run, const Want &want) {
  const std::vector<uint8_t> items = spread_bytes(size_t(s.n) * s.chw(), unsigned(s.c));
  std::vector<uint8_t> in(src_1n ? items.size() : s.bytes4n(), 0x5a);
  for (size_t i = 0; i < size_t(s.n); i++)
    for (size_t e = 0; e < s.chw(); e++) in[src_1n ? i * s.chw() + e : fr::at_4n(i, e, s.chw())] = items[i * s.chw() + e];
  put(rig, kIn, in.data(), in.size());
  ASSERT_TRUE(rig.call(run));
  const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, s.bytes4n());
  for (size_t i = 0; i < size_t(s.n); i++)
    for (size_t e = 0; e < s.chw(); e++)
      ASSERT_EQ(int(out[fr::at_4n(i, e, s.chw())]), int(want(items[i * s.chw() + e], e / (size_t(s.h) * s.w))))
          << "item " << i << " element " << e;
}

class Fix8bAffineLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(Fix8bAffineLayer, BatchnormWithScale) {
  struct Case {
    const char *what;
    Shape4 s;
    int sign_input, sign_scale, sign_bias, relu, limit, mode;
  };
  const Case cases[] = {
      {"n 5, all signed, relu without limit", {5, 70, 3, 5}, 1, 1, 1, 1, -1, 2},
      {"unsigned, no relu: unsigned result", {4, 3, 2, 2}, 0, 0, 0, 0, -1, 2},
      {"signed scale only, relu with limit", {8, 130, 4, 4}, 0, 1, 0, 1, 50, 2},
      {"groups in sections of one", {20, 16, 64, 64}, 1, 1, 1, 0, -1, 2},
      {"rows cut, 1N source of 6", {6, 70, 92, 92}, 1, 1, 1, 1, 90, 0},
      {"1N source, n 5", {5, 70, 3, 5}, 0, 1, 1, 0, -1, 0},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t c = size_t(k.s.c);
    std::vector<int8_t> scale(c * 4);
    std::vector<int16_t> bias(c * 2), shift(c * 2);
    for (size_t j = 0; j < c; j++) {
      const int8_t sc = int8_t(k.sign_scale ? int(j * 37 % 256) - 128 : int(j * 37 % 256));
      const int16_t b = int16_t(k.sign_bias ? int(j * 911 % 4001) - 2000 : int(j * 911 % 4001));
      const int16_t sh = int16_t(int(j % 9) - 6);
      for (int q = 0; q < 4; q++) scale[j * 4 + size_t(q)] = sc;
      bias[j * 2] = bias[j * 2 + 1] = b;
      shift[j * 2] = shift[j * 2 + 1] = sh;
    }
    put(rig, kScale, scale.data(), scale.size());
    put(rig, kBias, bias.data(), bias.size() * 2);
    put(rig, kShift, shift.data(), shift.size() * 2);
    check_layer(
        rig, k.s, k.mode == 0,
        [&](cmd_id_node_t *node) {
          nodechip_bnscale_forward_parallel_fix8b_with_src_storage_mode(
              kIn, kOut, kScale, kBias, kShift, k.s.n, k.s.c, k.s.h, k.s.w, k.sign_input, k.sign_scale, k.sign_bias,
              k.mode, k.relu, k.limit, node);
        },
        [&](uint8_t x, size_t ch) {
          const int sc = k.sign_scale ? int(scale[ch * 4]) : int(uint8_t(scale[ch * 4]));
          const int b = k.sign_bias ? int(bias[ch * 2]) : int(uint16_t(bias[ch * 2]));
          return fr::bnscale(x, sc, b, shift[ch * 2], k.sign_input, k.sign_scale, k.sign_bias, k.relu, k.limit);
        });
  }
}

TEST_P(Fix8bAffineLayer, BiasAdd) {
  struct Case {
    const char *what;
    Shape4 s;
    int sign_input, sign_bias, scale, rshift, relu, limit;
  };
  const Case cases[] = {
      {"n 6: the second group of two", {6, 70, 3, 5}, 1, 1, 93, 4, 0, 0},
      {"relu, limit 0: only the lower clamp", {5, 130, 2, 3}, 1, 1, 57, 3, 1, 0},
      {"relu with limit, unsigned input", {4, 3, 4, 4}, 0, 1, 120, 5, 1, 60},
      {"one group, rows cut", {2, 64, 130, 130}, 1, 1, 77, 6, 0, 0},
      {"groups a section, a group too large", {8, 64, 150, 150}, 1, 0, 33, 2, 1, 100},
      {"sections of whole groups", {20, 16, 64, 64}, 1, 1, 99, 7, 0, 0},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<int16_t> bias(size_t(k.s.c) * 2);
    for (size_t j = 0; j < size_t(k.s.c); j++)
      bias[j * 2] = bias[j * 2 + 1] = int16_t(k.sign_bias ? int(j * 613 % 3001) - 1500 : int(j * 613 % 3001));
    put(rig, kBias, bias.data(), bias.size() * 2);
    const int shape[4] = {k.s.n, k.s.c, k.s.h, k.s.w};
    check_layer(
        rig, k.s, false,
        [&](cmd_id_node_t *node) {
          nodechip_biasadd_fix8b(kIn, shape, kBias, kOut, k.sign_input, k.sign_bias, k.scale, k.rshift, k.relu,
                                 k.limit, node);
        },
        [&](uint8_t x, size_t ch) {
          const int b = k.sign_bias ? int(bias[ch * 2]) : int(uint16_t(bias[ch * 2]));
          return fr::biasadd(x, b, k.scale, k.rshift, k.sign_input, k.relu, k.limit);
        });
  }
}

INSTANTIATE_TEST_SUITE_P(All, Fix8bAffineLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(Fix8bAffineLayer, AssertionsAndEmptyBatch) {
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_bnscale_forward_parallel_fix8b_with_src_storage_mode(kIn, kOut, kScale, kBias, kShift, 4, 8, 2, 2, 1,
                                                                      1, 1, 1, 0, -1, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_bnscale_forward_parallel_fix8b_with_src_storage_mode",
      "src_storage_mode == 0");
  // Vectors of 16384 lane rows push the second buffer past local memory.
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_bnscale_forward_parallel_fix8b(kIn, kOut, kScale, kBias, kShift, 4, 64 * 16384, 1, 1, 1, 1, 1, 0, -1,
                                                node);
      },
      "ASSERT_FS", "firmware/layers/", "rows_that_fit", "rows > 0", "one row of 1 words in 16384 lane rows does not fit");
  LayerRunner rig;
  const int empty[4] = {0, 8, 2, 2};
  ASSERT_TRUE(
      rig.call([&](cmd_id_node_t *node) { nodechip_biasadd_fix8b(kIn, empty, kBias, kOut, 1, 1, 3, 1, 0, 0, node); }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test
