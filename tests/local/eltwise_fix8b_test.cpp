// 8-bit element-wise kernels on local 4N slices against the integer references
// of tests/ref/fix8b_ref.h under every schedule: the binary codes in their
// equal-shape, constant and broadcast forms with rescaling, shift rounding,
// saturation and signed/unsigned mixes; the weighted sum, select, PReLU, bias
// add, batch-norm scale and arithmetic shift; the shape plans; the checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "local/eltwise.h"
#include "local/eltwise_fix8b.h"
#include "local/local_rig.h"
#include "ref/fix8b_ref.h"

namespace zv::test::local {
namespace {

namespace fr = zv::ref::fix8b;
using er::Dim;
using er::Local;

// An 8-bit 4N tensor from lane 0 in the default (or compact) word layout.
Local q8(u32 offset, const Dim &shape, bool compact = false) {
  const er::i64 p = compact ? shape.h * shape.w : (shape.h * shape.w + 31) / 32 * 32;
  return Local{lane(0, offset), shape, Dim{p * ((shape.c + 63) / 64), p, shape.w, 1}, 1, 4};
}
// Bytes with the edges 0, 1, 127, 128, 255 often, the rest at random.
u32 byte(Values &v) {
  static const u32 edge[] = {0, 1, 127, 128, 255, 0x7E, 0x81};
  return v.below(3) == 0 ? edge[v.below(7)] : v.below(256);
}

TEST(Fix8bPlan, ShapeArraysBecomeFourDimensions) {
  struct Case {
    std::vector<int> shape;
    dim4_t want;
  };
  const Case cases[] = {
      {{2, 3, 4, 5, 6, 7}, {2, 3, 4, 210}}, {{5}, {5, 1, 1, 1}}, {{2, 3}, {2, 3, 1, 1}}, {{2, 3, 4, 5}, {2, 3, 4, 5}}};
  for (const Case &k : cases) {
    dim4_t d;
    fix8b_dim4_of(k.shape.data(), int(k.shape.size()), &d);
    EXPECT_EQ(d.n, k.want.n);
    EXPECT_EQ(d.c, k.want.c);
    EXPECT_EQ(d.h, k.want.h);
    EXPECT_EQ(d.w, k.want.w);
  }
  struct Merge {
    const char *what;
    std::vector<int> a, b;
    int merge_dim;
    dim4_t ma, mb;
  };
  const Merge merges[] = {
      {"four dimensions pass", {2, 3, 4, 5}, {2, 1, 4, 1}, 4, {2, 3, 4, 5}, {2, 1, 4, 1}},
      {"three are padded", {2, 3, 4}, {1, 3, 4}, 4, {2, 3, 4, 1}, {1, 3, 4, 1}},
      {"six: alike neighbours merge", {2, 3, 4, 5, 6, 7}, {2, 3, 4, 1, 1, 7}, 4, {2, 12, 30, 7}, {2, 12, 1, 7}},
      {"the channel group stays at most 4095", {1, 64, 64, 2, 3}, {1, 64, 64, 2, 3}, 4, {1, 64, 128, 3}, {1, 64, 128, 3}},
      {"patterns that alternate leave more than four", {2, 3, 1, 5, 1, 7}, {2, 1, 4, 1, 6, 1}, 6, {}, {}},
  };
  for (const Merge &m : merges) {
    SCOPED_TRACE(m.what);
    fix8b_bcast_plan_t plan;
    fix8b_bcast_plan_of(m.a.data(), m.b.data(), int(m.a.size()), &plan);
    EXPECT_EQ(plan.merge_dim, m.merge_dim);
    if (m.merge_dim != 4) continue;
    EXPECT_EQ(plan.a.n, m.ma.n);
    EXPECT_EQ(plan.a.c, m.ma.c);
    EXPECT_EQ(plan.a.h, m.ma.h);
    EXPECT_EQ(plan.a.w, m.ma.w);
    EXPECT_EQ(plan.b.c, m.mb.c);
    EXPECT_EQ(plan.b.h, m.mb.h);
  }
}

const int kCodes[] = {0, 1, 2, 4, 10000, 10001, 10002, 10003, 10004, 10005, 10006};

struct Rescale {
  int scale_A, shift_A, scale_B, shift_B;
};
struct Signs {
  int a, b, r;
};
const Rescale kRescales[] = {{1, 0, 1, 0}, {37, 3, 101, 5}, {127, 1, 3, 0}};
const Signs kSigns[] = {{1, 1, 1}, {0, 0, 0}, {1, 0, 0}, {0, 1, 1}};

std::string signs_text(const Signs &s) { return std::to_string(s.a) + std::to_string(s.b) + std::to_string(s.r); }

TEST(Fix8bBinary, EqualShapesEveryCodeRescaleAndSignMix) {
  const Dim shape{6, 70, 2, 3};  // two 4N words per position, two lane rows
  for (int code : kCodes) {
    for (const Rescale &rs : kRescales) {
      for (const Signs &sg : kSigns) {
        for (int relu : {0, 1}) {
          const Sched s = {chip::Schedule::Deferred, u64(code + rs.scale_A + relu)};
          SCOPED_TRACE("code " + std::to_string(code) + " scales " + std::to_string(rs.scale_A) + ">>" +
                       std::to_string(rs.shift_A) + ", " + std::to_string(rs.scale_B) + ">>" + std::to_string(rs.shift_B) +
                       " signs " + signs_text(sg) + " relu " + std::to_string(relu) + ", " + sched_text(s));
          BdRig rig(s);
          Values val(code * 7 + rs.shift_A);
          const Local A = q8(0x0, shape, true), B = q8(0x8000, shape), O = q8(0x10000, shape);
          const auto a = rig.fill(A, [&] { return byte(val); });
          const auto b = rig.fill(B, [&] { return byte(val); });
          const int dims[4] = {6, 70, 2, 3}, width[3] = {1, 1, 1}, sign[3] = {sg.a, sg.b, sg.r};
          ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
            nodechip_eltwise_binary_fix8b_forward_local(0x0, 0x8000, 0x10000, 0x20000, dims, 4, 1, 0, code, rs.scale_A,
                                                        rs.scale_B, rs.shift_A, rs.shift_B, width, sign, relu, n);
          }));
          const bool cmp = code >= 10001;
          const fr::Binary k{code, rs.scale_A, cmp ? 0 : rs.shift_A, rs.scale_B, cmp ? 0 : rs.shift_B, bool(sg.a), bool(sg.b),
                             bool(sg.r), false, 0, false, bool(relu)};
          const auto o = rig.read(O);
          for (size_t i = 0; i < o.size(); i++)
            ASSERT_EQ(o[i], fr::binary(k, uint8_t(a[i]), uint8_t(b[i]))) << "a " << a[i] << " b " << b[i] << " at " << i;
        }
      }
    }
  }
}

TEST(Fix8bBinary, SixteenBitResultsStayInTheOutput) {
  // The width record marks the result as 16-bit: the sum (or the product of
  // two unsigned bytes) is left in the output as 2N values, not narrowed.
  const Dim shape{6, 70, 2, 3};
  for (int code : {0, 1, 2}) {
    for (const Signs &sg : {Signs{1, 1, 1}, Signs{0, 0, 0}}) {
      for (const Sched &s : all_schedules()) {
        SCOPED_TRACE("code " + std::to_string(code) + " signs " + signs_text(sg) + ", " + sched_text(s));
        BdRig rig(s);
        Values val(code + 11);
        const Local A = q8(0x0, shape), B = q8(0x8000, shape);
        const Local O{lane(0, 0x10000), shape, q8(0, shape).stride, 2, 2};
        const auto a = rig.fill(A, [&] { return byte(val); });
        const auto b = rig.fill(B, [&] { return byte(val); });
        const int dims[4] = {6, 70, 2, 3}, width[3] = {1, 1, 0}, sign[3] = {sg.a, sg.b, sg.r};
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
          nodechip_eltwise_binary_fix8b_forward_local(0x0, 0x8000, 0x10000, 0x20000, dims, 4, 0, 0, code, 3, 2, 1, 0,
                                                      width, sign, 0, n);
        }));
        const auto o = rig.read(O);
        for (size_t i = 0; i < o.size(); i++) {
          const fr::i64 x = fr::value8(uint8_t(a[i]), sg.a), y = fr::value8(uint8_t(b[i]), sg.b);
          fr::i64 v;
          if (code == 2) {
            v = fr::sat(fr::rshift_round(x * y * 3, 1), 16, true);  // the product rescaled by 3 >> 1
          } else {
            const fr::i64 l = fr::rescale(x, 3, 1), r = fr::rescale(y, 2, 0);
            v = fr::sat(code == 0 ? l + r : l - r, 16, true);
          }
          if (!sg.r && v < 0) v = 0;
          ASSERT_EQ(o[i], u32(v) & 0xFFFF) << "a " << x << " b " << y;
        }
      }
    }
  }
}

TEST(Fix8bBinary, ConstantOnEitherSideOfSixDimensions) {
  const int dims[6] = {5, 3, 2, 1, 2, 2};  // {5, 3, 2, 4}
  const Dim shape{5, 3, 2, 4};
  for (int code : kCodes) {
    for (int inverse : {0, 1}) {
      for (const Signs &sg : kSigns) {
        const Sched s = {chip::Schedule::Deferred, u64(code + inverse)};
        SCOPED_TRACE("code " + std::to_string(code) + " inverse " + std::to_string(inverse) + " signs " + signs_text(sg) +
                     ", " + sched_text(s));
        BdRig rig(s);
        Values val(code + inverse);
        const Local X = q8(0x0, shape), O = q8(0x8000, shape);
        const auto x = rig.fill(X, [&] { return byte(val); });
        const int constant = -37, scale = 45, shift = 2;
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
          nodechip_const_binary_fix8b_forward_local(0x0, 0x8000, 0x10000, constant, dims, 6, code, scale, 0, shift, 0,
                                                    sg.a, 0, sg.r, inverse, 0, n);
        }));
        const bool cmp = code >= 10001;
        const fr::Binary k{code, scale, cmp ? 0 : shift, 1, 0, bool(sg.a), true, bool(sg.r), true, constant, bool(inverse), false};
        const auto o = rig.read(O);
        for (size_t i = 0; i < o.size(); i++) ASSERT_EQ(o[i], fr::binary(k, uint8_t(x[i]), 0)) << "x " << x[i];
      }
    }
  }
}

TEST(Fix8bBinary, BroadcastForms) {
  struct Case {
    const char *what;
    std::vector<int> a, b;
  };
  const Case cases[] = {
      {"a scalar against 2 x 100 x 3 x 3", {1, 1, 1, 1}, {2, 100, 3, 3}},
      {"B along n and w", {6, 70, 2, 3}, {1, 70, 2, 1}},
      {"A along c and h", {5, 1, 1, 4}, {5, 3, 2, 4}},
      {"six dimensions merged", {2, 3, 1, 1, 2, 2}, {2, 3, 2, 3, 2, 2}},
  };
  for (const Case &k : cases) {
    for (int code : {0, 2, 10002}) {
      for (const Sched &s : all_schedules()) {
        SCOPED_TRACE(std::string(k.what) + ", code " + std::to_string(code) + ", " + sched_text(s));
        BdRig rig(s);
        Values val(code + 3);
        fix8b_bcast_plan_t plan;
        fix8b_bcast_plan_of(k.a.data(), k.b.data(), int(k.a.size()), &plan);
        ASSERT_EQ(plan.merge_dim, 4);
        const Dim ad{plan.a.n, plan.a.c, plan.a.h, plan.a.w}, bd{plan.b.n, plan.b.c, plan.b.h, plan.b.w};
        const Dim r{std::max(ad.n, bd.n), std::max(ad.c, bd.c), std::max(ad.h, bd.h), std::max(ad.w, bd.w)};
        const Local A = q8(0x0, ad), B = q8(0x8000, bd), O = q8(0x10000, r);
        const auto a = rig.fill(A, [&] { return byte(val); });
        const auto b = rig.fill(B, [&] { return byte(val); });
        const int width[3] = {1, 1, 1}, sign[3] = {1, 0, 1};
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
          nodechip_broadcast_binary_fix8b_forward_local(0x0, 0x8000, 0x10000, 0x20000, k.a.data(), k.b.data(),
                                                        int(k.a.size()), 0, 0, code, 21, 9, 2, 1, width, sign, 0, n);
        }));
        const bool cmp = code >= 10001;
        const fr::Binary ref{code, 21, cmp ? 0 : 2, 9, cmp ? 0 : 1, true, false, true, false, 0, false, false};
        const auto o = rig.read(O);
        auto at = [](const std::vector<u32> &v, const Dim &d, er::i64 n, er::i64 c, er::i64 h, er::i64 w) {
          return uint8_t(v[size_t(((std::min(n, d.n - 1) * d.c + std::min(c, d.c - 1)) * d.h + std::min(h, d.h - 1)) * d.w +
                                 std::min(w, d.w - 1))]);
        };
        size_t i = 0;
        for (er::i64 n = 0; n < r.n; n++)
          for (er::i64 c = 0; c < r.c; c++)
            for (er::i64 h = 0; h < r.h; h++)
              for (er::i64 w = 0; w < r.w; w++, i++)
                ASSERT_EQ(o[i], fr::binary(ref, at(a, ad, n, c, h, w), at(b, bd, n, c, h, w))) << "element " << i;
      }
    }
  }
}

TEST(Fix8bEltwise, WeightedSumOfInputs) {
  const Dim shape{5, 70, 2, 3};
  struct Case {
    const char *what;
    std::vector<int> signs;
    int relu;
  };
  const Case cases[] = {{"signed mix with ReLU", {1, 0, 1}, 1}, {"unsigned with ReLU: no MAX", {0, 0}, 1}, {"signed", {1, 1}, 0}};
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(int(k.signs.size()));
      const int count = int(k.signs.size());
      std::vector<u32> offs;
      std::vector<std::vector<u32>> in;
      for (int j = 0; j < count; j++) {
        offs.push_back(u32(j) * 0x8000);
        in.push_back(rig.fill(q8(offs.back(), shape), [&] { return byte(val); }));
      }
      const int mult[3] = {77, 13, 120}, shifts[3] = {3, 0, 5};
      const Local O = q8(0x20000, shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_eltwise_fix8b_forward_local(offs.data(), 0x20000, 0x28000, 5, 70, 2, 3, nullptr, 0, 1, mult, shifts,
                                             k.signs.data(), count, k.relu, n);
      }));
      bool any = false;
      for (int sg : k.signs) any |= sg != 0;
      EXPECT_EQ(rig.bd_commands(), size_t(count + 1 + (k.relu && any ? 1 : 0)));
      const auto o = rig.read(O);
      for (size_t i = 0; i < o.size(); i++) {
        fr::i64 t = 0;
        for (int j = 0; j < count; j++)
          t = fr::sat(t + fr::rshift_round(fr::value8(uint8_t(in[j][i]), k.signs[j]) * mult[j], shifts[j]), 16, true);
        if (k.relu && t < 0) t = 0;
        ASSERT_EQ(o[i], fr::byte_of(fr::sat(t, 8, any && !k.relu))) << i;
      }
    }
  }
  // Codes other than the sum are only logged.
  const u32 one = 0;
  const int m = 1, sh = 0, sg = 0;
  EXPECT_EQ(issued([&](cmd_id_node_t *n) {
              nodechip_eltwise_fix8b_forward_local(&one, 0x1000, 0x2000, 4, 1, 1, 8, nullptr, 0, 2, &m, &sh, &sg, 1, 0, n);
            }).size(),
            0u);
}

TEST(Fix8bSelect, ConditionPicksRescaledThenOrConstantElse) {
  const Dim shape{5, 70, 2, 3};
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Values val(1);
    const Local Cd = q8(0x0, shape), T = q8(0x8000, shape), O = q8(0x10000, shape);
    const auto c = rig.fill(Cd, [&] { return val.below(2); });
    const auto t = rig.fill(T, [&] { return byte(val); });
    const dim4_t sh = d4(shape);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
      nodechip_select_fix8b_local(0x0, 0x18000, 0x8000, 0, 0, 0, 1, -20, 0x10000, &sh, 0, 1, 1, 3, 1, 1, 0, 0, 0, n);
    }));
    const auto o = rig.read(O);
    for (size_t i = 0; i < o.size(); i++) {
      const fr::i64 then = fr::sat(fr::rshift_round(fr::value8(uint8_t(t[i]), true) * 3, 1), 8, true);
      ASSERT_EQ(o[i], fr::byte_of(c[i] ? then : -20)) << "cond " << c[i] << " then " << t[i];
    }
  }
}

TEST(Fix8bPrelu, SharedAndPerChannelSlopes) {
  const Dim shape{5, 70, 2, 3};
  struct Case {
    const char *what;
    int shared, slope, rshift, mode;
    size_t commands;
  };
  const Case cases[] = {{"shared 0: the maximum alone", 1, 0, 0, 1, 1},
                        {"shared -5 >> 2", 1, -5, 2, 1, 4},
                        {"per channel >> 3", 0, 0, 3, 1, 4},
                        {"both mode flags 0: a copy", 1, 3, 0, 0, 1}};
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(2);
      const Local X = q8(0x0, shape), O = q8(0x8000, shape);
      const Local S{lane(0, 0x10000), Dim{1, 70, 1, 1}, Dim{2, 1, 1, 1}, 1, 4};
      const auto x = rig.fill(X, [&] { return byte(val); });
      const auto sl = rig.fill(S, [&] { return byte(val); });
      const dim4_t sh = d4(shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_prelu_forward_local_fix8b_v2(0x0, 0x8000, 0x10000, 0x18000, k.shared, k.slope, &sh, 0, k.mode, 0, k.mode,
                                              k.rshift, n);
      }));
      EXPECT_EQ(rig.bd_commands(), k.commands);
      const auto o = rig.read(O);
      for (size_t i = 0; i < o.size(); i++) {
        if (!k.mode) {
          ASSERT_EQ(o[i], x[i]);
          continue;
        }
        const fr::i64 v = fr::value8(uint8_t(x[i]), true), pos = v > 0 ? v : 0, neg = v - pos;
        const fr::i64 slope = k.shared ? k.slope : fr::value8(uint8_t(sl[(i / 6) % 70]), true);
        const fr::i64 want = k.shared && k.slope == 0 ? pos : fr::sat(pos + fr::sat(fr::rshift_round(neg * slope, k.rshift), 8, true), 8, true);
        ASSERT_EQ(o[i], fr::byte_of(want)) << "x " << v;
      }
    }
  }
}

TEST(Fix8bBias, BiasAddAndBatchnormScale) {
  const Dim shape{5, 70, 2, 3};
  for (int relu : {0, 1}) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("relu " + std::to_string(relu) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(3 + relu);
      const Local X = q8(0x0, shape), O = q8(0x8000, shape);
      const auto x = rig.fill(X, [&] { return byte(val); });
      // 16-bit biases: item 0 in the low half of one word per channel.
      const Local bias{lane(0, 0x10000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}, 2, 2};
      const auto b = rig.fill(bias, [&] { return val.below(4000) - 2000; });
      const dim4_t sh = d4(shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_biasadd_local_fix8b(0x0, 0x10000, 0x8000, 0x18000, &sh, 1, 1, 93, 4, relu, 100, n);
      }));
      const auto o = rig.read(O);
      for (size_t i = 0; i < o.size(); i++) {
        fr::i64 t = fr::sat(fr::value8(uint8_t(x[i]), true) * 93, 16, true);
        t = fr::sat(fr::rshift_round(t + int16_t(b[(i / 6) % 70]), 4), 16, true);
        if (relu) t = std::min<fr::i64>(std::max<fr::i64>(t, 0), 100);
        ASSERT_EQ(o[i], fr::byte_of(fr::sat(t, 8, !relu))) << i;
      }
    }
  }
  for (int relu : {0, 1}) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("bnscale relu " + std::to_string(relu) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(5 + relu);
      const Local X = q8(0x0, shape), O = q8(0x8000, shape);
      const auto x = rig.fill(X, [&] { return byte(val); });
      // One value per lane row (compact layouts): scale and shift bytes, 16-bit bias.
      const Local sc{lane(0, 0x10000), Dim{1, 70, 1, 1}, Dim{2, 1, 1, 1}, 1, 4};
      const Local bi{lane(0, 0x10100), Dim{1, 70, 1, 1}, Dim{2, 1, 1, 1}, 2, 2};
      const Local sf{lane(0, 0x10200), Dim{1, 70, 1, 1}, Dim{2, 1, 1, 1}, 2, 2};
      const auto scale = rig.fill(sc, [&] { return val.below(256); });
      const auto bias = rig.fill(bi, [&] { return val.below(2000) - 1000; });
      const auto shift = rig.fill(sf, [&] { return u32(int16_t(int(val.below(7)) - 5)) & 0xFFFF; });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_bnscale_fix8b_forward_local(0x0, 0x18000, 0x10000, 0x10100, 0x10200, 0x8000, 5, 70, 2, 3, 1, 1, 1, 1, 1, 1,
                                             relu, 90, n);
      }));
      const auto o = rig.read(O);
      for (size_t i = 0; i < o.size(); i++) {
        const size_t c = (i / 6) % 70;
        fr::i64 t = fr::sat(fr::value8(uint8_t(x[i]), true) * fr::value8(uint8_t(scale[c]), true), 16, true);
        t = fr::sat(t + int16_t(bias[c]), 16, true);
        if (relu && t < 0) t = 0;
        t = fr::sat(fr::shift_by(t, int16_t(shift[c])), 16, true);
        if (relu && t > 90) t = 90;
        ASSERT_EQ(o[i], fr::byte_of(fr::sat(t, 8, !relu))) << i;
      }
    }
  }
}

TEST(Fix8bShift, ConstantAndElementCountsOfEachType) {
  const Dim shape{5, 70, 2, 3};
  for (int kind : {0, 1, 2}) {
    for (int type : {0, 1, 2}) {
      for (int is_signed : {1, 0}) {
        const Sched s = {chip::Schedule::Deferred, u64(kind + type + is_signed)};
        SCOPED_TRACE("kind " + std::to_string(kind) + " type " + std::to_string(type) + " signed " +
                     std::to_string(is_signed) + ", " + sched_text(s));
        BdRig rig(s);
        Values val(kind * 3 + type);
        // Counts per element, or per channel (item 0 of one word per lane row).
        const Local X = q8(0x0, shape), O = q8(0x10000, shape);
        const Local G = kind == 1 ? Local{lane(0, 0x8000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}, 1, 4} : q8(0x8000, shape);
        const auto x = rig.fill(X, [&] { return byte(val); });
        const auto g = rig.fill(G, [&] { return val.below(5); });
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
          nodechip_arith_shift_fix8b_forward_local(0x0, 0x8000, 0x18000, 0x10000, 5, 70, 2, 3, type, 3, kind, is_signed, n);
        }));
        const auto o = rig.read(O);
        for (size_t i = 0; i < o.size(); i++) {
          const int gi = kind == 0 ? 3 : kind == 1 ? int(g[(i / 6) % 70]) : int(g[i]);
          const int count = type == 0 ? gi : type == 1 ? -gi : 1 - gi;
          fr::i64 v = fr::sat(fr::shift_by(fr::value8(uint8_t(x[i]), is_signed), count), 16, true);
          v = fr::rshift_round(v, type == 2 ? 1 : 0);
          ASSERT_EQ(o[i], fr::byte_of(fr::sat(v, 8, is_signed))) << "x " << x[i] << " g " << gi;
        }
      }
    }
  }
}

// The assertion texts; commands issued before a failing step stay issued.
// `log`, when given, is the log line printed before the assertion.
void expect_fix8b_assert(const std::function<void(cmd_id_node_t *)> &fn, const std::string &function,
                         const std::string &condition, const std::string &log = "") {
  FirmwareRig rig;
  FwOutcome out = rig.run_checks(fn);
  if (!log.empty()) {
    const size_t at = out.uart.find(log + "\n");
    ASSERT_NE(at, std::string::npos) << out.uart;
    out.uart = out.uart.substr(at + log.size() + 1);
  }
  EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/local/", function, condition));
}

TEST(Fix8bChecks, ScalesSignsShapesAndCodes) {
  const int dims[4] = {4, 2, 2, 2}, width[3] = {1, 1, 1}, sign[3] = {1, 1, 1}, bad_sign[3] = {2, 1, 1};
  const dim4_t sh{4, 2, 2, 2};
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_eltwise_binary_fix8b_forward_local(0, 0x1000, 0x2000, 0x3000, dims, 4, 0, 0, 0, 128, 1, 0, 0, width, sign, 0, n);
  }, "nodechip_eltwise_binary_fix8b_dim4_forward_local", "scale_A < 128 && scale_A >= 0");
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_eltwise_binary_fix8b_forward_local(0, 0x1000, 0x2000, 0x3000, dims, 4, 0, 0, 0, 1, 1, 0, 0, width, bad_sign, 0, n);
  }, "nodechip_eltwise_binary_fix8b_dim4_forward_local", "sign_A == 0 || sign_A == 1");
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_eltwise_binary_fix8b_forward_local(0, 0x1000, 0x2000, 0x3000, dims, 4, 0, 0, 3, 1, 1, 0, 0, width, sign, 0, n);
  }, "common_binary_fix8b_local", "0", "Not supported operation code = 3");
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_const_binary_fix8b_forward_local(0, 0x1000, 0x2000, 1, dims, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, n);
  }, "nodechip_const_binary_fix8b_forward_local", "tensor_dim > 1");
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_const_binary_fix8b_forward_local(0, 0x1000, 0x2000, 1, dims, 4, 0, 1, 0, 0, 0, 1, 0, 1, 0, 2, n);
  }, "nodechip_const_binary_fix8b_dim4_forward_local", "if_relu == 0 || if_relu == 1");
  const int a6[6] = {2, 3, 1, 5, 1, 7}, b6[6] = {2, 1, 4, 1, 6, 1}, a2[2] = {2, 3}, b2[2] = {3, 3};
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_broadcast_binary_fix8b_forward_local(0, 0x1000, 0x2000, 0x3000, a6, b6, 6, 0, 0, 0, 1, 1, 0, 0, width, sign, 0, n);
  }, "nodechip_broadcast_binary_fix8b_forward_local", "merge_dim == 4");
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_broadcast_binary_fix8b_forward_local(0, 0x1000, 0x2000, 0x3000, a2, b2, 2, 0, 0, 0, 1, 1, 0, 0, width, sign, 0, n);
  }, "nodechip_broadcast_binary_fix8b_forward_local", "(b0_shape[i] == 1) || (b1_shape[i] == 1)");
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_prelu_forward_local_fix8b_v2(0, 0x1000, 0x2000, 0x3000, 1, 200, &sh, 0, 1, 0, 1, 0, n);
  }, "nodechip_prelu_forward_local_fix8b_v2", "shared_slope <= 127 && shared_slope >= -128");
  const u32 one = 0;
  const int m = 128, shf = 0, sg = 0;
  expect_fix8b_assert([&](cmd_id_node_t *n) {
    nodechip_eltwise_fix8b_forward_local(&one, 0x1000, 0x2000, 4, 1, 1, 8, nullptr, 0, 1, &m, &shf, &sg, 1, 0, n);
  }, "nodechip_eltwise_fix8b_forward_local", "scale_weight[i] < 128 && scale_weight[i] >= 0");
}

}  // namespace
}  // namespace zv::test::local
