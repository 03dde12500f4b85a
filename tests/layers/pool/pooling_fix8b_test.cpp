// 8-bit pooling on 4N data, plain and SAME-padding: bit-exact against the
// plain reference on every schedule with the race checker, the reciprocal
// tables, the splits and API 88's pads by tables, and the refusals.
#include "layers/pool/pooling_fix8b.h"

#include <gtest/gtest.h>

#include "pool_rig.h"

namespace zv::test::pool {
namespace {

using ref::pool::PoolFix8b;

TEST(PoolFix8bPlan, TablesSplitsAndCeilPads) {
  struct {
    int n, i, e;
  } entries[] = {{1, 1, 0}, {2, 1, 1}, {3, 171, 9}, {5, 205, 10}, {7, 73, 9}, {9, 57, 9}, {225, 0, 14}};
  for (const auto &k : entries) {
    int m, e;
    ASSERT_TRUE(pool_fix8b_reciprocal(k.n, &m, &e));
    EXPECT_EQ(e, k.e) << k.n;
    if (k.i) {
      EXPECT_EQ(m, k.i) << k.n;
    }
    EXPECT_NEAR(double(m) / double(1 << e), 1.0 / k.n, 0.5 / double(1 << e)) << k.n;
  }
  int m, e;
  EXPECT_FALSE(pool_fix8b_reciprocal(226, &m, &e));
  EXPECT_FALSE(pool_fix8b_reciprocal(0, &m, &e));
  // The SAME-padding table: equal up to 133, its own shifts above.
  for (int n = 1; n <= 133; n++) {
    int m2, e2;
    ASSERT_TRUE(pool_fix8b_reciprocal(n, &m, &e) && pool_tf_fix8b_reciprocal(n, &m2, &e2));
    EXPECT_EQ(m, m2);
    EXPECT_EQ(e, e2);
  }
  ASSERT_TRUE(pool_tf_fix8b_reciprocal(170, &m, &e));
  EXPECT_EQ(e, 9);
  EXPECT_EQ(m, 3);
  EXPECT_FALSE(pool_tf_fix8b_reciprocal(201, &m, &e));

  // API 88's ceil rounding: 6 rows, window 3, stride 2 grow the bottom pad by 1.
  struct {
    int in, k, lo, hi, s, grown;
  } pads[] = {{6, 3, 0, 0, 2, 1}, {7, 3, 0, 0, 2, 0}, {5, 2, 0, 0, 2, 1}, {2, 3, 0, 0, 1, 0}, {9, 3, 1, 1, 3, 2}};
  for (const auto &p : pads) {
    EXPECT_EQ(pool_fix8b_ceil_pad(p.in, p.k, p.lo, p.hi, p.s), p.grown) << p.in << " " << p.k << " " << p.s;
  }

  // Splits: small planes fit whole; a pad wider than its window writes nothing.
  int c_step = -1, h_step = -1;
  float ratio = -1;
  ASSERT_EQ(global_pooling_fix8b_data_split(8, 256, 16, 16, 3, 3, 1, 1, 1, 1, 2, 2, 0, &c_step, &h_step, &ratio), 1);
  EXPECT_EQ(c_step, 64);  // 8 lanes of planes, a t of 64: 64 x floor(8 / 8)
  EXPECT_EQ(h_step, 2 * 9);  // max pooling counts the ceil window: 9 output rows
  EXPECT_EQ(ratio, 0.5f);
  ASSERT_EQ(global_pooling_fix8b_data_split(8, 256, 16, 16, 3, 3, 1, 1, 1, 1, 2, 2, 1, &c_step, &h_step, &ratio), 1);
  EXPECT_EQ(h_step, 2 * 8);
  c_step = -1;
  EXPECT_EQ(global_pooling_fix8b_data_split(4, 4, 8, 8, 2, 2, 3, 0, 0, 0, 1, 1, 0, &c_step, &h_step, &ratio), 0);
  EXPECT_EQ(c_step, -1);
  // A plane larger than a lane: rows per slice.
  ASSERT_EQ(global_pooling_fix8b_data_split(4, 1, 400, 400, 3, 3, 0, 0, 0, 0, 1, 1, 0, &c_step, &h_step, &ratio), 1);
  EXPECT_EQ(c_step, 64);
  EXPECT_EQ(h_step, int(0.98 * (400 * (524288.0f / (4 * 160000)) * 0.25f)) - 3 + 1);
}

struct Fix8bCase {
  const char *what;
  int n, c, ih, iw;
  PoolFix8b p;
  int c_step, h_rows;  // planes and output rows per slice (0: all)
  bool tf;
};

PoolFix8b Q(int kh, int kw, int pad, int sh, int sw, bool avg, bool border, bool sign, int rshift = 0, bool relu = false) {
  PoolFix8b p;
  p.kh = kh, p.kw = kw, p.pad_t = p.pad_b = p.pad_l = p.pad_r = pad, p.stride_h = sh, p.stride_w = sw;
  p.avg = avg, p.border = border, p.in_sign = p.out_sign = sign, p.rshift = rshift, p.relu = relu;
  return p;
}

std::vector<u8> bytes_pattern(size_t n, int salt) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8((i * 53 + salt * 29 + (i >> 6) * 7) & 0xff);
  return v;
}

void run_fix8b(const Fix8bCase &k) {
  PoolFix8b p = k.p;
  if (k.tf) {
    // The SAME rule's extra window, as the layer grows the pads.
    p.pad_b = pool_fix8b_ceil_pad(k.ih, p.kh, p.pad_t, p.pad_b, p.stride_h);
    p.pad_r = pool_fix8b_ceil_pad(k.iw, p.kw, p.pad_l, p.pad_r, p.stride_w);
  }
  const int groups = (k.n + 3) / 4;
  const int oh = (k.ih + p.pad_t + p.pad_b - p.kh) / p.stride_h + 1, ow = (k.iw + p.pad_l + p.pad_r - p.kw) / p.stride_w + 1;
  const std::vector<u8> in = bytes_pattern(size_t(groups) * k.c * k.ih * k.iw * 4, k.c);
  const std::vector<u8> want = ref::pool::pool_fix8b(in, groups, k.c, k.ih, k.iw, p, oh, ow);
  const int c_step = k.c_step ? k.c_step : groups * k.c, h_step = p.stride_h * (k.h_rows ? k.h_rows : oh);
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      const PoolFix8b &q = k.p;
      if (k.tf)
        nodechip_pooling_tf_fix8b_forward_parallel(kIn, kOut, k.n, k.c, k.ih, k.iw, q.kh, q.kw, q.pad_t, q.pad_b,
                                                   q.pad_l, q.pad_r, q.stride_h, q.stride_w, 0, 0, q.avg, q.rshift, 0,
                                                   0, q.in_sign, 0, 0, q.out_sign, q.relu, c_step, h_step, 0.5f, node);
      else
        nodechip_pooling_fix8b_forward_parallel(kIn, kOut, k.n, k.c, k.ih, k.iw, q.kh, q.kw, q.pad_t, q.pad_b, q.pad_l,
                                                q.pad_r, q.stride_h, q.stride_w, 0, 0, q.avg, q.border, q.rshift, 0, 0,
                                                q.in_sign, 0, 0, q.out_sign, q.relu, c_step, h_step, 0.5f, node);
    }));
    EXPECT_EQ(get<u8>(rig, kOut, want.size()), want);
  }
}

TEST(PoolFix8b, AgainstReference) {
  const Fix8bCase cases[] = {
      {"max 3x3 s2 pad 1, 5 items (two groups), slices of 2 rows", 5, 3, 9, 9, Q(3, 3, 1, 2, 2, false, false, true), 0,
       2, false},
      {"average 3x3 s1 pad 1 with the border rule, 70 planes in blocks of 64", 4, 70, 7, 6,
       Q(3, 3, 1, 1, 1, true, true, false), 64, 3, false},
      {"average 2x2 s2, shift 1, signed", 3, 2, 8, 6, Q(2, 2, 0, 2, 2, true, false, true, 1), 0, 1, false},
      {"max with ReLU and shift, signed", 6, 5, 5, 7, Q(2, 3, 1, 1, 2, false, false, true, 1, true), 3, 0, false},
      {"average 3x3 without the border rule", 4, 2, 6, 6, Q(3, 3, 1, 1, 1, true, false, false), 0, 0, false},
      {"SAME max: input 5, window 2, stride 2 gains a column and a row", 4, 3, 5, 5, Q(2, 2, 0, 2, 2, false, false, true),
       0, 0, true},
      {"SAME average 3x3 s1 pad 1: borders by 1.5", 7, 2, 6, 5, Q(3, 3, 1, 1, 1, true, true, true), 0, 2, true},
      // Border constants above a byte: 5 x 171 and 5 x 1 (v 3 and 4).
      {"average 5x5 s1 pad 2 with the border rule, unsigned, slices of 3 rows", 4, 3, 8, 8,
       Q(5, 5, 2, 1, 1, true, true, false), 0, 3, false},
      {"average 7x7 s1 pad 3, signed, shift 1: constants 7 x 205 and 7 x 171", 5, 2, 9, 10,
       Q(7, 7, 3, 1, 1, true, true, true, 1), 0, 0, false},
      {"average 5x5 s2 pad 2, 70 planes in blocks of 64 (two lane rows)", 4, 70, 9, 7,
       Q(5, 5, 2, 2, 2, true, true, false), 0, 0, false},
      {"SAME average 5x5 s1 pad 2, signed: borders by 5/3 and 5/4", 6, 2, 7, 6, Q(5, 5, 2, 1, 1, true, true, true), 0,
       2, true},
  };
  for (const Fix8bCase &k : cases) run_fix8b(k);
}

TEST(PoolFix8b, Refusals) {
  const char *fn = "nodechip_pooling_fix8b_forward_parallel";
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_fix8b_forward_parallel(kIn, kOut, 4, 4096, 4, 4, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 64, 4, 0.5f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn, "input_c < 4096", "c=4096 is too large.\n");
  // Windows of 240 rows over pads of 15: the table has no reciprocal for the
  // rows that hold 226 to 239 input rows.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_fix8b_forward_parallel(kIn, kOut, 4, 1, 240, 1, 240, 1, 15, 15, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 0,
                                            0, 0, 0, 0, 0, 64, 16, 0.5f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "check_border", "border_factor >= 0 && border_factor <= 0xffff");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_fix8b_forward_parallel(kIn, kOut, 4, 2, 8, 8, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 64, 8, 1.0f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn, "offset_local_end <= (1<<19)");
  // The SAME layer cannot average over the extra window.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_tf_fix8b_forward_parallel(kIn, kOut, 4, 1, 5, 5, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0,
                                               0, 0, 64, 6, 0.5f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "nodechip_pooling_tf_fix8b_forward_parallel", "is_avg_pooling == 0");
  // The split's own check: a plane so large that no window's rows fit.
  expect_assert([] {
    int c, h;
    float r;
    global_pooling_fix8b_data_split(4, 1, 2000, 2000, 1500, 3, 0, 0, 0, 0, 1, 1, 0, &c, &h, &r);
  }, "ASSERT_FS", "firmware/layers/pool/", "global_pooling_fix8b_data_split", "N_initial >= kh");
}

TEST(PoolFix8b, WrapperPlansItself) {
  const PoolFix8b p = Q(3, 3, 1, 2, 2, true, true, false);
  const int n = 6, c = 3, ih = 11, iw = 9, groups = 2;
  const int oh = (ih + 2 - 3) / 2 + 1, ow = (iw + 2 - 3) / 2 + 1;
  const std::vector<u8> in = bytes_pattern(size_t(groups) * c * ih * iw * 4, 5);
  const std::vector<u8> want = ref::pool::pool_fix8b(in, groups, c, ih, iw, p, oh, ow);
  LayerRunner rig(deferred(3));
  put<u8>(rig, kIn, in);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_pooling_fix8b_forward_parallel_with_data_split(kIn, kOut, n, c, ih, iw, 3, 3, 1, 1, 1, 1, 2, 2, 0, 0, 1, 1,
                                                            0, 0, 0, 0, 0, 0, 0, 0, node);
  }));
  EXPECT_EQ(get<u8>(rig, kOut, want.size()), want);
}

}  // namespace
}  // namespace zv::test::pool
