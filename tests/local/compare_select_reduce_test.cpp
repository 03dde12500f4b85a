// Local reductions: the float32 and 8-bit halving trees and the one-command H
// and W reduction against plain folds on the chip model under every schedule,
// the number of steps the trees take, and the refused methods.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "local/local_rig.h"
#include "local/compare_select.h"
#include "ref/select_ref.h"

namespace zv::test::local {
namespace {

using er::Dim;
using er::i64;
using er::Local;
namespace sr = zv::ref::select;

// The compact layout: planes of H x W words without rounding, `pack` items per word.
Local compact(u32 addr, Dim shape, u32 size = 4, u32 pack = 1) {
  const i64 s = (addr >> 19) & 63, plane = shape.h * shape.w, rows = (s + shape.c + 63) / 64;
  return Local{addr, shape, Dim{plane * rows, plane, shape.w, 1}, size, pack};
}

// Values whose sums and products are exact in any order.
u32 exact_value(Values &v, int method) {
  static const float pow2[] = {-2.0f, -1.0f, -0.5f, 0.5f, 1.0f, 2.0f};
  return method == 4 ? er::bits(pow2[v.below(6)]) : v.small_float();
}

struct FloatCase {
  const char *what;
  Dim shape;
  u32 lane0;
  int method;
  int copy;
};

TEST(ReduceFloat, FoldsBatchAndPlaneOfEveryChannel) {
  const FloatCase cases[] = {
      {"sum of seven items, copied", {7, 3, 2, 3}, 0, 1, 1},
      {"mean adds like sum, accumulated into dst", {4, 3, 2, 3}, 0, 0, 0},
      {"max, channels over two lane rows", {3, 3, 2, 3}, 62, 2, 1},
      {"min, accumulated, from lane 62", {5, 3, 1, 5}, 62, 3, 0},
      {"product", {6, 2, 3, 1}, 0, 4, 1},
      {"single channel: items follow one another", {5, 1, 3, 3}, 7, 1, 0},
      {"one element per channel", {1, 4, 1, 1}, 0, 2, 1},
  };
  for (const FloatCase &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(21);
      const Local src = compact(lane(k.lane0, 0x100), k.shape);
      // Channel results H x W elements apart, as in src.
      const Local dst = compact(lane(k.lane0, 0x4000), Dim{1, k.shape.c, k.shape.h * (k.shape.c == 1 ? k.shape.n : 1), k.shape.w});
      const auto x = rig.fill(src, [&] { return exact_value(val, k.method); });
      std::vector<u32> d0;
      for (i64 c = 0; c < k.shape.c; c++) {
        d0.push_back(exact_value(val, k.method));
        rig.put(dst.at(0, c, 0, 0), d0.back());
      }
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        tensor_reduce_nhw(untag(src.addr), untag(dst.addr), 4, int(k.shape.n), int(k.shape.c), int(k.shape.h),
                          int(k.shape.w), k.method, k.copy, node);
      }));
      for (i64 c = 0; c < k.shape.c; c++) {
        std::vector<float> v;
        for (i64 n = 0; n < k.shape.n; n++)
          for (i64 h = 0; h < k.shape.h; h++)
            for (i64 w = 0; w < k.shape.w; w++)
              v.push_back(er::f(x[((n * k.shape.c + c) * k.shape.h + h) * k.shape.w + w]));
        float want = sr::fold(k.method, v);
        if (!k.copy) want = sr::fold(k.method, {want, er::f(d0[c])});
        EXPECT_EQ(rig.getf(dst.at(0, c, 0, 0)), want) << "channel " << c;
      }
    }
  }
}

struct Fix8Case {
  const char *what;
  int words;  // 4N words
  int C, H, W;
  u32 lane0;
  int method;
  int is_signed;
  int reduce_4n;
  int copy;
};

TEST(ReduceFix8b, FoldsWordsPlanesAndTheFourItemsOfAWord) {
  const Fix8Case cases[] = {
      {"signed max over everything, copied", 3, 3, 2, 3, 0, 2, 1, 1, 1},
      {"unsigned min over everything, accumulated", 5, 2, 1, 3, 0, 3, 0, 1, 0},
      {"signed min per item position, copied", 2, 3, 3, 1, 62, 3, 1, 0, 1},
      {"unsigned max per item position, accumulated, from lane 62", 3, 3, 2, 2, 62, 2, 0, 0, 0},
      {"one word, one element", 1, 2, 1, 1, 0, 2, 1, 1, 1},
  };
  for (const Fix8Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(33);
      const Dim shape{4 * k.words, k.C, k.H, k.W};
      const Local src = compact(lane(k.lane0, 0x100), shape, 1, 4);
      const Local dst = compact(lane(k.lane0, 0x4000), Dim{4, k.C, k.H, k.W}, 1, 4);
      const auto x = rig.fill(src, [&] { return val.word() & 0xff; });
      std::vector<u32> d0;
      for (i64 c = 0; c < k.C; c++)
        for (i64 j = 0; j < 4; j++) {
          d0.push_back(val.word() & 0xff);
          rig.put(dst.at(j, c, 0, 0), d0.back(), 1);
        }
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        tensor_reduce_nhw_fix8b(untag(src.addr), untag(dst.addr), k.words, k.C, k.H, k.W, k.reduce_4n, k.method,
                                k.is_signed, k.copy, node);
      }));
      auto value = [&](u32 raw) { return er::value(raw, 8, k.is_signed); };
      for (i64 c = 0; c < k.C; c++) {
        // Byte j of the channel's word: items j, j + 4, ... (every item when
        // the four are folded, then only byte 0 is a result).
        for (i64 j = 0; j < (k.reduce_4n ? 1 : 4); j++) {
          std::vector<i64> v;
          for (i64 n = 0; n < shape.n; n++) {
            if (!k.reduce_4n && n % 4 != j) continue;
            for (i64 hw = 0; hw < k.H * k.W; hw++) v.push_back(value(x[(n * k.C + c) * k.H * k.W + hw]));
          }
          i64 want = sr::fold_int(k.method, v);
          if (!k.copy) want = sr::fold_int(k.method, {want, value(d0[c * 4 + j])});
          EXPECT_EQ(value(rig.get(dst.at(j, c, 0, 0), 1)), want) << "channel " << c << " byte " << j;
        }
      }
    }
  }
}

TEST(ReduceTrees, TakeTheHalvingSteps) {
  const u32 a = 0x1000;
  auto count = [](const std::function<void(cmd_id_node_t *)> &fn) { return issued(fn).size(); };
  // Odd counts of the float batch fold one item at a time: 7 -> 6 -> 3 -> 2 -> 1.
  EXPECT_EQ(count([&](cmd_id_node_t *n) { tensor_reduce_n(a, 4, 7, 3, 2, 2, 1, n); }), 4u);
  EXPECT_EQ(count([&](cmd_id_node_t *n) { tensor_reduce_n(a, 4, 8, 3, 2, 2, 1, n); }), 3u);
  EXPECT_EQ(count([&](cmd_id_node_t *n) { tensor_reduce_hw(a, 4, 3, 1, 1, 2, n); }), 0u);
  EXPECT_EQ(count([&](cmd_id_node_t *n) { tensor_reduce_hw(a, 4, 3, 3, 3, 2, n); }), 4u);  // 9 5 3 2 1
  // The 8-bit words fold by halves: 7 -> 4 -> 2 -> 1.
  EXPECT_EQ(count([&](cmd_id_node_t *n) { tensor_reduce_n_fix8b(a, 7, 3, 2, 2, 2, 1, n); }), 3u);
  EXPECT_EQ(count([&](cmd_id_node_t *n) { tensor_reduce_4n_fix8b(a, 3, 2, 2, 3, 0, n); }), 2u);
}

struct PoolCase {
  const char *what;
  int method;
  bool w, h;
};

TEST(ReduceOnedim, ReducesHAndWInOnePoolingCommand) {
  const PoolCase cases[] = {
      {"mean over H and W: sum / 6", 0, true, true}, {"sum over W", 1, true, false},
      {"max over H", 2, false, true},               {"min over H and W", 3, true, true},
      {"min over W", 3, true, false},
  };
  const Dim shape{2, 3, 2, 3};
  for (const PoolCase &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(41);
      const Dim oshape{shape.n, shape.c, k.h ? 1 : shape.h, k.w ? 1 : shape.w};
      const Local in = er::aligned(lane(62, 0x0), shape), out = er::aligned(lane(62, 0x2000), oshape);
      const auto x = rig.fill(in, [&] { return val.small_float(); });
      const dim4_t sh = d4(shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_reduce_local_onedim(untag(in.addr), untag(out.addr), &sh, k.method, k.w, k.h, node);
      }));
      const auto y = rig.read(out);
      size_t i = 0;
      for (i64 n = 0; n < oshape.n; n++)
        for (i64 c = 0; c < oshape.c; c++)
          for (i64 oh = 0; oh < oshape.h; oh++)
            for (i64 ow = 0; ow < oshape.w; ow++, i++) {
              std::vector<float> v;
              for (i64 h = 0; h < shape.h; h++)
                for (i64 w = 0; w < shape.w; w++)
                  if ((k.h || h == oh) && (k.w || w == ow))
                    v.push_back(er::f(x[((n * shape.c + c) * shape.h + h) * shape.w + w]));
              float want = sr::fold(k.method, v);
              if (k.method == 0) want *= 1.0f / float(v.size());
              EXPECT_FLOAT_EQ(er::f(y[i]), want) << "output element " << i;
            }
      // The minimum is found as -max(-x): the input is left negated.
      const auto after = rig.read(in);
      for (size_t j = 0; j < x.size(); j++)
        ASSERT_EQ(after[j], k.method == 3 ? x[j] ^ 0x80000000u : x[j]) << "input element " << j;
    }
  }
}

TEST(ReduceMethods, UnsupportedOnesAreRefused) {
  const dim4_t sh{1, 2, 2, 2};
  const u32 a = 0x100, b = 0x1000;
  expect_local_assert([&](cmd_id_node_t *n) { local_reduce_func(a, b, a, 5, &sh, nullptr, n); }, "local_reduce_func",
                      "0", "Not supported reduce_flag=5");
  expect_local_assert([&](cmd_id_node_t *n) { local_reduce_func_fix8b(a, b, a, 1, 0, &sh, &sh, n); },
                      "local_reduce_func_fix8b", "0", "Not supported reduce_flag=1");
  expect_local_assert([&](cmd_id_node_t *n) { nodechip_reduce_local_onedim(a, b, &sh, 4, 1, 1, n); },
                      "nodechip_reduce_local_onedim", "method != 4");
  EXPECT_TRUE(issued([&](cmd_id_node_t *n) { nodechip_reduce_local_onedim(a, b, &sh, 5, 1, 1, n); }).empty());
}

}  // namespace
}  // namespace zv::test::local
