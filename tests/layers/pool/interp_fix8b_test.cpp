// 8-bit interpolation: the index twin by a table, bilinear blends bit-exact
// against the reference with weights in sixteenths (and within one unit of
// the float blend with those weights), nearest word copies, on every schedule
// with the race checker, and the refusals.
#include "layers/pool/interp_fix8b.h"

#include <gtest/gtest.h>

#include "pool_rig.h"

namespace zv::test::pool {
namespace {

TEST(Interp8Index, HalfPixelInSixteenths) {
  struct {
    int o;
    float s;
    int index, w;
  } cases[] = {{0, 0.5f, 0, 0}, {1, 0.5f, 0, 4}, {2, 0.5f, 0, 12}, {3, 0.5f, 1, 4}, {1, 1.5f, 1, 12}, {0, 2.0f, 0, 8}};
  for (const auto &k : cases) {
    int idx, w;
    getIndex_fix8b(k.o, &w, &idx, k.s, 100);
    EXPECT_EQ(idx, k.index) << k.o << " " << k.s;
    EXPECT_EQ(w, k.w) << k.o << " " << k.s;
  }
}

struct Case8 {
  const char *what;
  int n, c, ih, iw, p, q, oh, ow;
  bool is_signed;
};

std::vector<u8> bytes_for(size_t n, int salt) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8((i * 97 + salt * 31 + (i >> 7) * 13) & 0xff);
  return v;
}

void run8(const Case8 &k, const std::vector<u8> &in, const std::vector<Sched> &scheds) {
  const int groups = (k.n + 3) / 4;
  const std::vector<u8> want = ref::pool::interp_fix8b(in, groups, k.c, k.ih, k.iw, k.p, k.q, k.oh, k.ow, k.is_signed);
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_interp_forward_fix8b_parallel(kIn, kOut, k.n, k.c, k.ih, k.iw, k.p, k.q, k.oh, k.ow, 0, !k.is_signed,
                                             node);
    }));
    ASSERT_EQ(get<u8>(rig, kOut, want.size()), want);
  }
}

TEST(Interp8, BilinearAgainstReference) {
  const Case8 cases[] = {
      {"2x upscale, signed, 6 items", 6, 3, 4, 5, 0, 0, 8, 10, true},
      {"unsigned downscale, rows first", 4, 2, 9, 4, 0, 0, 4, 11, false},
      {"columns first, 70 planes", 4, 70, 3, 12, 0, 0, 7, 5, false},
      {"crops p = -1, q = -2", 8, 2, 10, 10, -1, -2, 6, 9, true},
  };
  for (const Case8 &k : cases) {
    const int groups = (k.n + 3) / 4;
    run8(k, bytes_for(size_t(groups) * k.c * k.ih * k.iw * 4, k.ow), all_schedules());
  }
  // A row [0, 16] doubled: column 1 has t = 0.25, weight 4: (12 x 0 + 4 x 16) / 16 = 4.
  std::vector<u8> row = {0, 0, 0, 0, 16, 16, 16, 16};
  run8({"[0, 16] doubled", 4, 1, 1, 2, 0, 0, 1, 4, false}, row, {deferred(1)});
  const auto r = ref::pool::interp_fix8b(row, 1, 1, 1, 2, 0, 0, 1, 4, false);
  EXPECT_EQ(int(r[4]), 4);
  EXPECT_EQ(int(r[8]), 12);
  // Signed extremes blend in the offset range.
  std::vector<u8> ext = {0x80, 0x80, 0x7f, 0x7f, 0x7f, 0x7f, 0x80, 0x80};
  run8({"-128 and 127, signed", 4, 1, 1, 2, 0, 0, 1, 4, true}, ext, {deferred(2)});
}

TEST(Interp8, AgreesWithTheFloatBlendWithinOneUnit) {
  // The same quantized weights in floating point, rounded to the nearest byte.
  const int n = 4, c = 2, ih = 5, iw = 6, oh = 9, ow = 7;
  const std::vector<u8> in = bytes_for(size_t(c) * ih * iw * 4, 3);
  const std::vector<u8> got = ref::pool::interp_fix8b(in, 1, c, ih, iw, 0, 0, oh, ow, false);
  for (int y = 0; y < oh; y++)
    for (int x = 0; x < ow; x++) {
      int ry, rx, wy, wx;
      ref::pool::interp8_at(y, float(ih) / oh, ih, &ry, &wy);
      ref::pool::interp8_at(x, float(iw) / ow, iw, &rx, &wx);
      const int ry1 = std::min(ry + 1, ih - 1), rx1 = std::min(rx + 1, iw - 1);
      for (int ch = 0; ch < c; ch++)
        for (int b = 0; b < n; b++) {
          const auto v = [&](int r, int j) { return double(in[(((size_t(ch) * ih + r) * iw + j) * 4) + b]); };
          const double f = (1 - wy / 16.0) * ((1 - wx / 16.0) * v(ry, rx) + wx / 16.0 * v(ry, rx1)) +
                           wy / 16.0 * ((1 - wx / 16.0) * v(ry1, rx) + wx / 16.0 * v(ry1, rx1));
          EXPECT_LE(std::fabs(got[(((size_t(ch) * oh + y) * ow + x) * 4) + b] - f), 1.0);
        }
    }
}

TEST(Interp8, NearestCopiesWholeWords) {
  const int n = 6, c = 2, ih = 3, iw = 5, oh = 7, ow = 2, groups = 2;
  const std::vector<u8> in = bytes_for(size_t(groups) * c * ih * iw * 4, 9);
  std::vector<u8> want(size_t(groups) * c * oh * ow * 4);
  for (int g = 0; g < groups * c; g++)
    for (int y = 0; y < oh; y++)
      for (int x = 0; x < ow; x++) {
        const int sy = std::min(int(std::floor(double(float(y) * (float(ih) / float(oh))))), ih - 1);
        const int sx = std::min(int(std::floor(double(float(x) * (float(iw) / float(ow))))), iw - 1);
        for (int b = 0; b < 4; b++) want[((size_t(g) * oh + y) * ow + x) * 4 + b] = in[((size_t(g) * ih + sy) * iw + sx) * 4 + b];
      }
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_interp_forward_fix8b_parallel(kIn, kOut, n, c, ih, iw, 0, 0, oh, ow, 1, 0, node);
    }));
    EXPECT_EQ(get<u8>(rig, kOut, want.size()), want);
  }
}

TEST(Interp8, Refusals) {
  expect_assert([](cmd_id_node_t *n) {
    nodechip_interp_forward_fix8b_parallel(kIn, kOut, 4, 1, 2, 2, 0, 0, 2, 20000, 0, 0, n);
  }, "ASSERT", "firmware/layers/pool/", "interp_fix8b_split", "hsecs > 0");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_interp_forward_fix8b_parallel(kIn, kOut, 4, 1, 4, 4, 0, 1, 8, 8, 0, 0, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "nodechip_interp_forward_fix8b_parallel", "p <= 0 && q <= 0", "p=0 q=1");
}

}  // namespace
}  // namespace zv::test::pool
