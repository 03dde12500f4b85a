// Local pooling and upsampling kernels against plain references: float max
// and average pooling with both border modes (extra last row and column, every
// clipped window), ceil-mode outputs, lanes wrapping past 63, ReLU; 8-bit max,
// average and depthwise pooling with the border rescale bit-exact through the
// reciprocal tables; nearest upsampling, float and 8-bit; the refusals. Every
// run under every schedule with the race checker on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "cmd/bd_pool.h"
#include "cmd/conv_rig.h"
#include "local/local_rig.h"
#include "local/pool.h"
#include "ref/pool_ref.h"

namespace zv::test::local {
namespace {

using conv::Data;
using conv::Kind;
using conv::Placed;
namespace cr = zv::ref::conv;
namespace pr = zv::ref::pool;

::testing::AssertionResult near(const cr::T4 &got, const cr::T4 &want) {
  for (size_t i = 0; i < want.v.size(); i++)
    if (std::fabs(got.v[i] - want.v[i]) > 1e-5 * std::max(1.0, std::fabs(want.v[i])))
      return ::testing::AssertionFailure() << "element " << i << ": " << got.v[i] << ", want " << want.v[i];
  return ::testing::AssertionSuccess();
}

cr::Window window(int kh, int kw, int pt, int pb, int pl, int pr_, int sh, int sw) {
  cr::Window p;
  p.kh = kh, p.kw = kw, p.pad_t = pt, p.pad_b = pb, p.pad_l = pl, p.pad_r = pr_, p.stride_h = sh, p.stride_w = sw;
  return p;
}

TEST(PoolLocal, FloatMaxAndAverageWithEveryBorderMode) {
  struct Case {
    const char *what;
    int n, c, ih, iw, oh, ow;
    cr::Window p;  // the given pads
    int is_avg, border;
    bool relu;
    u32 lane;
    int commands;
  };
  const Case cases[] = {
      {"max 3x3 stride 2, ceil mode", 2, 3, 5, 5, 3, 3, window(3, 3, 1, 1, 1, 1, 2, 2), 0, 0, false, 0, 1},
      {"average, given pads yield the output: no rescale", 1, 2, 5, 5, 3, 3, window(3, 3, 1, 1, 1, 1, 2, 2), 1, 0,
       false, 0, 1},
      {"average, ceil mode: last row and column by 3", 1, 2, 5, 5, 4, 4, window(3, 3, 1, 1, 1, 1, 2, 2), 1, 0, false, 0,
       3},
      {"average, every clipped window: 2x2 input, 3x3 window", 2, 3, 2, 2, 2, 2, window(3, 3, 1, 1, 1, 1, 1, 1), 1, 1,
       false, 0, 5},
      {"average clipped, 70 channels from lane 60, odd sizes, ReLU", 2, 70, 7, 9, 4, 5, window(3, 2, 1, 1, 1, 0, 2, 2),
       1, 1, true, 60, 0},
      {"average over the full window, padding included", 1, 3, 4, 5, 4, 5, window(3, 3, 1, 1, 1, 1, 1, 1), 1, 2, false,
       0, 1},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(41);
      const cr::T4 in = d.tensor(k.n, k.c, k.ih, k.iw, 20);
      const Placed I = Placed::aligned(lane(k.lane, 0), Kind::F32, k.c, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(k.lane, 0x20000), Kind::F32, k.c, k.oh, k.ow);
      conv::put(rig, I, in);
      const dim4_t is = {k.n, k.c, k.ih, k.iw}, os = {k.n, k.c, k.oh, k.ow};
      const cr::Window &p = k.p;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_pooling_forward_local(untag(I.addr), untag(O.addr), &is, &os, p.kh, p.kw, p.pad_t, p.pad_b, p.pad_l,
                                       p.pad_r, p.stride_h, p.stride_w, k.is_avg, k.border, node, k.relu);
      }));
      if (k.commands) {
        EXPECT_EQ(rig.bd_commands(), size_t(k.commands));
      }
      // The windows of the oh x ow outputs.
      cr::Window q = p;
      q.pad_b = std::max(0, (k.oh - 1) * p.stride_h + p.kh - k.ih - p.pad_t);
      q.pad_r = std::max(0, (k.ow - 1) * p.stride_w + p.kw - k.iw - p.pad_l);
      const int big = 1 << 20;
      cr::T4 want = !k.is_avg        ? cr::pool(in, q, true)
                    : k.border == 0 ? pr::average_over(in, q, -p.pad_t, k.ih + p.pad_b, -p.pad_l, k.iw + p.pad_r)
                    : k.border == 1 ? pr::average_over(in, q, 0, k.ih, 0, k.iw)
                                    : pr::average_over(in, q, -big, big, -big, big);
      if (k.relu)
        for (auto &v : want.v) v = std::max(v, 0.0);
      EXPECT_TRUE(near(conv::get(rig, O, k.n, k.c, k.oh, k.ow), want));
    }
}

TEST(PoolLocal, WindowsOutsideTheInputAreRefusedBeforeIssuing) {
  struct Case {
    const char *what;
    int ih, oh, kh, pt, pb, sh, border;
    const char *function, *condition, *info;
  };
  const Case cases[] = {
      {"clipped mode, a window wholly in the top padding", 3, 3, 2, 3, 0, 1, 1, "nodechip_pooling_forward_local",
       "rows > 0", "output row 0"},
      {"extra mode, the last row beyond the given pad", 2, 4, 2, 0, 0, 2, 0, "nodechip_pooling_forward_local",
       "given_b == pb || last_rows > 0", "kh=2 pb=6 pad_h_b=0"},
      {"8-bit rescale, a window in the padding", 3, 3, 2, 3, 0, 1, -1, "nodechip_pooling_fix8b_forward_local",
       "rows > 0", "output row 0"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const dim4_t is = {4, 1, k.ih, 4}, os = {4, 1, k.oh, 4};
    expect_assert(
        [&](cmd_id_node_t *node) {
          if (k.border < 0)
            nodechip_pooling_fix8b_forward_local(0, 0, 0, 0x10000, &is, &os, k.kh, 1, k.pt, k.pb, 0, 0, k.sh, 1, 0, 0,
                                                 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, node);
          else
            nodechip_pooling_forward_local(0, 0x10000, &is, &os, k.kh, 1, k.pt, k.pb, 0, 0, k.sh, 1, 1, k.border,
                                           node, 0);
        },
        "ASSERT_FS", "firmware/local/", k.function, k.condition, k.info);
  }
}

TEST(PoolLocal, EightBitRescaleIsBitExact) {
  struct Case {
    const char *what;
    int type;  // 0 max, 1 average, 2 depthwise
    cr::Window p;
    bool si, relu, bias, rescale;
    int rshift;
    u32 lane;
  };
  const Case cases[] = {
      {"max: never rescaled", 0, window(3, 3, 1, 1, 1, 1, 2, 2), true, false, false, true, 0, 0},
      {"average 3x3, clipped rows and columns", 1, window(3, 3, 1, 1, 1, 1, 1, 1), false, false, false, true, 0, 0},
      {"average 5x4 stride 2, signed, from lane 62", 1, window(5, 4, 2, 2, 1, 2, 2, 2), true, false, false, true, 1, 62},
      {"average without the rescale flag", 1, window(3, 3, 1, 1, 1, 1, 1, 1), false, false, false, false, 0, 0},
      {"depthwise with bias and ReLU, rescaled", 2, window(3, 3, 1, 1, 1, 1, 1, 1), true, true, true, true, 3, 0},
  };
  const int n = 6, c = 5, ih = 7, iw = 6;
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(43);
      const cr::T4 in = d.tensor(n, c, ih, iw, k.si ? 127 : 255, k.si);
      const cr::T4 w = d.tensor(c, 1, k.p.kh, k.p.kw, 9);
      const std::vector<double> bias = {100, -200, 300, -400, 50};
      const int oh = k.p.out_h(ih), ow = k.p.out_w(iw);
      const Placed I = Placed::aligned(lane(k.lane, 0), Kind::I8, c, ih, iw);
      const Placed O = Placed::aligned(lane(k.lane, 0x10000), Kind::I8, c, oh, ow);
      const u32 W = lane(k.lane, 0x20000), B = lane(k.lane, 0x30000);
      conv::put(rig, I, in);
      for (int ch = 0; ch < c; ch++) {
        const u32 l = k.lane + ch;
        for (int j = 0; j < k.p.kh * k.p.kw; j++)
          rig.put(kTag + u64(l % 64) * 0x80000 + 0x20000 + (l / 64) * k.p.kh * k.p.kw + j,
                  conv::raw(w.v[ch * k.p.kh * k.p.kw + j], Kind::I8), 1);
      }
      conv::put_channels(rig, B, bias, Kind::I16);
      const bool out_signed = !k.relu && (k.type == 2 ? true : k.si);
      const dim4_t is = {n, c, ih, iw}, os = {n, c, oh, ow};
      const cr::Window &p = k.p;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_pooling_fix8b_forward_local(untag(I.addr), untag(W), untag(B), untag(O.addr), &is, &os, p.kh, p.kw,
                                             p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h, p.stride_w, 0, 0, k.type,
                                             k.rescale, k.rshift, k.bias, 1, k.si, k.type == 2, 1, out_signed, k.relu,
                                             node);
      }));
      cr::T4 want = k.type == 2 ? cr::depthwise(in, w, k.bias ? bias : std::vector<double>{}, p)
                                : cr::pool(in, p, k.type == 0);
      int mult = 1, e = 0;
      if (k.type == 1) cr::reciprocal(p.kh * p.kw, &mult, &e);
      for (int a = 0; a < n; a++)
        for (int ch = 0; ch < c; ch++)
          for (int y = 0; y < oh; y++)
            for (int x = 0; x < ow; x++) {
              double &v = want.at(a, ch, y, x);
              v = double(cr::finish(i64(v) * mult, k.rshift + e, k.relu, 8, out_signed));
              if (!k.rescale || k.type == 0) continue;
              // Rows, then columns: times the 8-bit ratio closest to kh / F.
              const int F = std::min(p.kh - p.pad_t + y * p.stride_h, ih) - std::max(y * p.stride_h - p.pad_t, 0);
              const int G = std::min(p.kw - p.pad_l + x * p.stride_w, iw) - std::max(x * p.stride_w - p.pad_l, 0);
              int m, ex;
              if (F != p.kh) {
                pr::ratio(p.kh, F, &m, &ex);
                v = double(cr::finish(i64(v) * m, ex, false, 8, out_signed));
              }
              if (G != p.kw) {
                pr::ratio(p.kw, G, &m, &ex);
                v = double(cr::finish(i64(v) * m, ex, false, 8, out_signed));
              }
            }
      EXPECT_TRUE(conv::same(conv::get(rig, O, n, c, oh, ow, out_signed), want));
    }
}

TEST(PoolLocal, RescaleRatiosAreTheClosestEightBitOnes) {
  struct Case {
    int k, count, m, e;
  };
  const Case cases[] = {{3, 2, 192, 7}, {3, 1, 192, 6}, {5, 3, 213, 7}, {2, 1, 128, 6}, {15, 7, 137, 6}, {7, 7, 128, 7}};
  for (const Case &c : cases) {
    int m, e;
    pool_rescale_ratio(c.k, c.count, &m, &e);
    EXPECT_EQ(m, c.m) << c.k << "/" << c.count;
    EXPECT_EQ(e, c.e) << c.k << "/" << c.count;
  }
}

TEST(UpsampleLocal, RepeatsEveryValueSizeBySize) {
  struct Case {
    const char *what;
    int n, c, ih, iw, size;
    bool fix8b, relu;
    u32 lane;
  };
  const Case cases[] = {
      {"a 1x1 input by 2", 1, 1, 1, 1, 2, false, false, 0},
      {"float by 3, odd sizes, 70 channels from lane 60, ReLU", 2, 70, 3, 5, 3, false, true, 60},
      {"8-bit by 2, five items", 5, 3, 3, 4, 2, true, false, 0},
      {"8-bit by 3", 6, 2, 2, 3, 3, true, false, 0},
      {"size 1 copies", 2, 2, 3, 3, 1, false, false, 0},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(47);
      const Kind kind = k.fix8b ? Kind::I8 : Kind::F32;
      const cr::T4 in = d.tensor(k.n, k.c, k.ih, k.iw, 100);
      const int oh = k.ih * k.size, ow = k.iw * k.size;
      const Placed I = Placed::aligned(lane(k.lane, 0), kind, k.c, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(k.lane, 0x20000), kind, k.c, oh, ow);
      conv::put(rig, I, in);
      const dim4_t is = {k.n, k.c, k.ih, k.iw}, os = {k.n, k.c, oh, ow};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        if (k.fix8b)
          nodechip_upsample_fix8b_forward_local(untag(I.addr), untag(O.addr), &is, &os, k.size, 0, 0, 0, 0, 0, node);
        else
          nodechip_upsample_forward_local(untag(I.addr), untag(O.addr), &is, &os, k.size, node, k.relu);
      }));
      if (k.fix8b) {
        EXPECT_EQ(rig.bd_commands(), size_t(2 * k.size - 1));
      }
      cr::T4 want = pr::upsample(in, k.size);
      if (k.relu)
        for (auto &v : want.v) v = std::max(v, 0.0);
      EXPECT_TRUE(conv::same(conv::get(rig, O, k.n, k.c, oh, ow), want));
    }
  const dim4_t sh = {1, 1, 2, 2};
  expect_assert([&](cmd_id_node_t *node) { nodechip_upsample_forward_local(0, 0x1000, &sh, &sh, -1, node, 0); },
                "ASSERT_FS", "firmware/local/", "nodechip_upsample_forward_local", "size > 0");
  expect_assert(
      [&](cmd_id_node_t *node) {
        nodechip_upsample_fix8b_forward_local(0, 0x1000, &sh, &sh, 0, 0, 0, 0, 0, 0, node);
      },
      "ASSERT_FS", "firmware/local/", "nodechip_upsample_fix8b_forward_local", "size > 0");
}

}  // namespace
}  // namespace zv::test::local
