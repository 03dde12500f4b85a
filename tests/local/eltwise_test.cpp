// Float element-wise kernels on local slices against plain references under
// every schedule: the binary codes with tensors, constants and broadcasting,
// bias add, the eltwise layer, scale, batch normalisation, PReLU, select, the
// activations by code and the table lookup.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "chip/static_tables.h"
#include "local/eltwise.h"
#include "local/local_rig.h"
#include "ref/binary_ref.h"

namespace zv::test::local {
namespace {

namespace br = zv::ref::binary;
using er::Dim;
using er::Local;

u32 fb(float v) { return er::bits(v); }
float bf(u32 u) { return er::f(u); }

const int kCodes[] = {0, 1, 2, 3, 4, 10000, 10001, 10002, 10003, 10004, 10005, 10006, 10007};

// Values with ties, both zeros and no zero divisor trouble (the divisions use
// B from the non-zero pool).
u32 tie_value(Values &v) {
  static const float pool[] = {-2.5f, -1.0f, -0.0f, 0.0f, 0.75f, 1.0f, 1.0f, 3.5f, 1e-30f, 2e-30f};
  return fb(pool[v.below(10)]);
}
u32 nonzero(Values &v) {
  static const float pool[] = {-2.5f, -1.0f, 0.75f, 1.0f, 3.5f, 0.125f};
  return fb(pool[v.below(6)]);
}

// The default-stride layout from lane 0 that the kernels assume.
Local dflt(u32 offset, const Dim &shape) { return er::aligned(lane(0, offset), shape); }
Local compact(u32 offset, const Dim &shape) {
  const er::i64 p = shape.h * shape.w;
  return Local{lane(0, offset), shape, Dim{p * ((shape.c + 63) / 64), p, shape.w, 1}};
}

void expect_result(float got, float want, const std::string &where) {
  if (std::isnan(want))
    EXPECT_TRUE(std::isnan(got)) << where;
  else
    EXPECT_EQ(fb(got), fb(want)) << where << ": got " << got << " want " << want;
}

TEST(EltwisePlan, ChunksReluPiecesAndLookupWords) {
  struct Case {
    int n, c, h, w;
    int chunks, pieces;
    dim4_t first, second;
    u32 second_offset;
  };
  const Case cases[] = {
      {2, 70, 3, 5, 1, 1, {2, 70, 3, 5}, {}, 0},
      {1, 4095, 1, 1, 2, 1, {1, 4095, 1, 1}, {}, 0},
      // 2 items of 65 lane rows: 8320 channels, two groups of 4032 and 256 more.
      {2, 4100, 1, 1, 2, 2, {2, 4032, 1, 1}, {1, 256, 1, 1}, 32 * 252 * 2},
      // 1 item of 126 lane rows: exactly two groups.
      {1, 8064, 2, 2, 2, 1, {2, 4032, 2, 2}, {}, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::to_string(k.n) + " x " + std::to_string(k.c));
    eltwise_plan_t p;
    eltwise_plan_of(k.n, k.c, k.h, k.w, &p);
    EXPECT_EQ(p.chunks, k.chunks);
    ASSERT_EQ(p.relu_pieces, k.pieces);
    EXPECT_EQ(p.relu_shape[0].n, k.first.n);
    EXPECT_EQ(p.relu_shape[0].c, k.first.c);
    if (k.pieces == 2) {
      EXPECT_EQ(p.relu_shape[1].c, k.second.c);
      EXPECT_EQ(p.relu_offset[1], k.second_offset);
    }
  }
  struct Lut {
    int n, items;
    int words[4];
  };
  const Lut luts[] = {{6, 4, {2, 2, 1, 1}}, {3, 3, {1, 1, 1, 0}}, {9, 4, {3, 2, 2, 2}}, {4, 4, {1, 1, 1, 1}}};
  for (const Lut &l : luts) {
    lut_plan_t p;
    lut_plan_of(l.n, &p);
    EXPECT_EQ(p.items, l.items);
    for (int i = 0; i < 4; i++) EXPECT_EQ(p.words[i], l.words[i]) << "n " << l.n << " item " << i;
  }
}

TEST(EltwiseBinary, EveryCodeWithRelu) {
  const Dim shape{2, 70, 3, 5};
  struct Variant {
    int a_compact, b_compact, relu;
    float limit;
  };
  const Variant variants[] = {{0, 0, 0, 0.0f}, {1, 0, 1, 0.0f}, {0, 1, 1, 2.0f}};
  for (int code : kCodes) {
    for (const Variant &v : variants) {
      for (const Sched &s : all_schedules()) {
        SCOPED_TRACE("code " + std::to_string(code) + " compact " + std::to_string(v.a_compact) +
                     std::to_string(v.b_compact) + " relu " + std::to_string(v.relu) + ", " + sched_text(s));
        BdRig rig(s);
        Values val(code);
        const Local A = v.a_compact ? compact(0x0, shape) : dflt(0x0, shape);
        const Local B = v.b_compact ? compact(0x4000, shape) : dflt(0x4000, shape);
        const Local R = dflt(0x8000, shape);
        const auto a = rig.fill(A, [&] { return tie_value(val); });
        const auto b = rig.fill(B, [&] { return code == 3 ? nonzero(val) : tie_value(val); });
        const dim4_t sh = d4(shape);
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
          nodechip_eltwise_binary_local(0x0, 0x4000, 0x8000, v.a_compact, v.b_compact, &sh, code, v.relu,
                                        fb(v.limit), n);
        }));
        const auto r = rig.read(R);
        for (size_t i = 0; i < r.size(); i++) {
          float want = br::apply_f32(code, bf(a[i]), bf(b[i]));
          if (v.relu) want = br::relu(want, v.limit);
          ASSERT_NO_FATAL_FAILURE(expect_result(bf(r[i]), want, "element " + std::to_string(i)));
        }
      }
    }
  }
}

TEST(EltwiseBinary, EqualityOfTinyDifferences) {
  // (1e-30 - 2e-30)^2 underflows to 0 in float32; the magnitude does not.
  const Dim shape{1, 1, 1, 2};
  BdRig rig;
  const Local A = dflt(0x0, shape), B = dflt(0x1000, shape), R = dflt(0x2000, shape);
  rig.fill(A, [] { return fb(1e-30f); });
  size_t i = 0;
  rig.fill(B, [&] { return fb(i++ ? 1e-30f : 2e-30f); });
  const dim4_t sh = d4(shape);
  for (int code : {BINARY_EQ, BINARY_NE}) {
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { nodechip_eltwise_binary_local(0x0, 0x1000, 0x2000, 0, 0, &sh, code, 0, 0, n); }));
    const auto r = rig.read(R);
    EXPECT_EQ(bf(r[0]), code == BINARY_EQ ? 0.0f : 1.0f);
    EXPECT_EQ(bf(r[1]), code == BINARY_EQ ? 1.0f : 0.0f);
  }
}

TEST(ConstBinary, ConstantOnEitherSide) {
  const Dim shape{2, 3, 2, 5};
  const float k = 1.0f;
  for (int code : kCodes) {
    for (int inverse : {0, 1}) {
      SCOPED_TRACE("code " + std::to_string(code) + " inverse " + std::to_string(inverse));
      BdRig rig({chip::Schedule::Deferred, u64(code % 5)});
      Values val(code + 1);
      const Local X = dflt(0x0, shape), Y = dflt(0x2000, shape);
      const auto x = rig.fill(X, [&] { return code == 3 && inverse ? nonzero(val) : tie_value(val); });
      const dim4_t sh = d4(shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { nodechip_const_binary_local(0x0, &sh, fb(k), 0x2000, code, inverse, 0, 0, n); }));
      const bool swaps = inverse && (code == 1 || code == 3 || (code >= 10001 && code <= 10004));
      const auto y = rig.read(Y);
      for (size_t i = 0; i < y.size(); i++) {
        const float want = swaps ? br::apply_f32(code, k, bf(x[i])) : br::apply_f32(code, bf(x[i]), k);
        ASSERT_NO_FATAL_FAILURE(expect_result(bf(y[i]), want, "element " + std::to_string(i)));
      }
    }
  }
}

TEST(BroadcastBinary, OperandsSpreadByZeroStridesAndAcrossLanes) {
  struct Case {
    const char *what;
    Dim a, b;
    size_t commands;  // for code 0 without ReLU
  };
  const Case cases[] = {
      {"a scalar against 2 x 100 x 3 x 3: one lane copy", {1, 1, 1, 1}, {2, 100, 3, 3}, 2},
      {"B along n and h", {2, 100, 3, 4}, {1, 100, 1, 4}, 1},
      {"B along c and w", {2, 70, 3, 4}, {2, 1, 3, 1}, 2},
      {"A along c and w, B along n and h", {2, 1, 3, 1}, {1, 5, 1, 4}, 2},
  };
  for (const Case &k : cases) {
    for (int code : {0, 1, 10003}) {
      for (const Sched &s : all_schedules()) {
        SCOPED_TRACE(std::string(k.what) + ", code " + std::to_string(code) + ", " + sched_text(s));
        BdRig rig(s);
        Values val(3);
        const Dim r{std::max(k.a.n, k.b.n), std::max(k.a.c, k.b.c), std::max(k.a.h, k.b.h), std::max(k.a.w, k.b.w)};
        const Local A = dflt(0x0, k.a), B = dflt(0x10000, k.b), R = dflt(0x20000, r);
        const auto a = rig.fill(A, [&] { return val.small_float(); });
        const auto b = rig.fill(B, [&] { return val.small_float(); });
        dim4_t as = d4(k.a), bs = d4(k.b);
        auto strides = [&](const Local &t, const Dim &d) {
          return dim4_t{i32(d.n == r.n ? t.stride.n : 0), i32(t.stride.c), i32(d.h == r.h ? t.stride.h : 0),
                        i32(d.w == r.w ? 1 : 0)};
        };
        const dim4_t ast = strides(A, k.a), bst = strides(B, k.b), rst = d4(R.stride);
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
          nodechip_broadcast_binary_local(0x0, &as, &ast, 0x10000, &bs, &bst, 0x20000, &rst, code, 0, 0, 0x30000, n);
        }));
        EXPECT_EQ(as.c, i32(k.a.c));
        EXPECT_EQ(bs.c, i32(k.b.c));
        if (code == 0) {
          EXPECT_EQ(rig.bd_commands(), k.commands);
        }
        const auto out = rig.read(R);
        size_t i = 0;
        for (er::i64 n = 0; n < r.n; n++)
          for (er::i64 c = 0; c < r.c; c++)
            for (er::i64 h = 0; h < r.h; h++)
              for (er::i64 w = 0; w < r.w; w++, i++) {
                auto at = [&](const std::vector<u32> &v, const Dim &d) {
                  return bf(v[size_t(((std::min(n, d.n - 1) * d.c + std::min(c, d.c - 1)) * d.h + std::min(h, d.h - 1)) * d.w +
                                     std::min(w, d.w - 1))]);
                };
                ASSERT_EQ(bf(out[i]), br::apply_f32(code, at(a, k.a), at(b, k.b))) << "element " << i;
              }
      }
    }
  }
}

TEST(BiasAdd, AddsOneValuePerChannel) {
  const Dim shape{2, 70, 3, 5};
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Values val(4);
    const Local X = dflt(0x0, shape), Y = dflt(0x4000, shape);
    const Local bias{lane(0, 0x8000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}};
    const auto x = rig.fill(X, [&] { return val.small_float(); });
    const auto b = rig.fill(bias, [&] { return val.small_float(); });
    const dim4_t sh = d4(shape);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { nodechip_biasadd_local(0x0, 0x8000, 0x4000, &sh, 1, fb(3.0f), n); }));
    const auto y = rig.read(Y);
    for (size_t i = 0; i < y.size(); i++) ASSERT_EQ(bf(y[i]), br::relu(bf(x[i]) + bf(b[(i / 15) % 70]), 3.0f)) << i;
  }
}

TEST(EltwiseLayer, ProductSumAndMaximumOverInputs) {
  struct Case {
    const char *what;
    int op, count, c, relu;
    bool channel_strides;
    size_t commands;  // -1: not checked
  };
  const Case cases[] = {
      {"sum of three: three products, the last two added", 1, 3, 70, 0, false, 3},
      {"product of three", 0, 3, 70, 1, false, 3},
      {"maximum of two with channel strides", 2, 2, 70, 0, true, 1},
      {"one input to the product: a copy, no second read", 0, 1, 70, 0, false, 1},
      {"one input to the maximum", 2, 1, 70, 1, false, 2},
      {"4100 channels: two chunks and a ReLU in two pieces", 1, 2, 4100, 1, false, 6},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(k.op + k.count);
      const int h = k.c > 100 ? 1 : 3, w = k.c > 100 ? 1 : 5;
      const Dim shape{2, k.c, h, w};
      const int cs = k.channel_strides ? 40 : 32;
      std::vector<u32> offs;
      std::vector<std::vector<u32>> in;
      const int strides[3] = {cs, cs, cs};
      for (int j = 0; j < k.count; j++) {
        offs.push_back(u32(j) * 0x10000);
        const er::i64 rows = (k.c + 63) / 64;
        const Local t{lane(0, offs.back()), shape, Dim{rows * cs, cs, w, 1}};
        in.push_back(rig.fill(t, [&] { return val.small_float(); }));
      }
      const float coeff[3] = {0.5f, -2.0f, 1.25f};
      const Local R = dflt(0x30000, shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_eltwise_forward_local(offs.data(), 0x30000, 2, k.c, h, w, strides, k.channel_strides, k.op, coeff,
                                       k.count, k.relu, n);
      }));
      EXPECT_EQ(rig.bd_commands(), k.commands);
      const auto r = rig.read(R);
      for (size_t i = 0; i < r.size(); i++) {
        float want = k.op == 1 ? bf(in[0][i]) * coeff[0] : bf(in[0][i]);
        for (int j = 1; j < k.count; j++) {
          const float x = bf(in[j][i]);
          want = k.op == 0 ? want * x : k.op == 1 ? want + x * coeff[j] : (want > x ? want : x);
        }
        if (k.relu) want = br::relu(want, 0.0f);
        ASSERT_EQ(bf(r[i]), want) << "element " << i;
      }
    }
  }
  // An unknown code is only logged.
  const u32 one = 0;
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { nodechip_eltwise_forward_local(&one, 0x1000, 1, 1, 1, 8, nullptr, 0, 5, nullptr, 1, 0, n); }).size(),
            0u);
}

TEST(ScaleAndBatchnorm, PerChannelFactorsAndAddends) {
  const Dim shape{2, 70, 3, 5};
  struct Case {
    const char *what;
    Dim scale;
    int compact, bias, relu;
  };
  const Case cases[] = {
      {"one scale per channel with bias", {1, 70, 1, 1}, 0, 1, 0},
      {"compact per-channel scale, ReLU", {1, 70, 1, 1}, 1, 0, 1},
      {"one channel of h x w per item, copied across lanes", {2, 1, 3, 5}, 0, 1, 1},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(5);
      const Local X = dflt(0x0, shape), Y = dflt(0x4000, shape);
      const Local S = k.compact ? compact(0x8000, k.scale) : dflt(0x8000, k.scale);
      const Local B = k.compact ? compact(0xC000, k.scale) : dflt(0xC000, k.scale);
      const auto x = rig.fill(X, [&] { return val.small_float(); });
      const auto sc = rig.fill(S, [&] { return val.small_float(); });
      const auto bi = rig.fill(B, [&] { return val.small_float(); });
      const dim4_t sh = d4(shape), ssh = d4(k.scale);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_scale_forward_local(0x0, 0x8000, 0xC000, 0x4000, &sh, &ssh, k.bias, k.relu, 0, k.compact, k.compact, n);
      }));
      const auto y = rig.read(Y);
      size_t i = 0;
      for (er::i64 n = 0; n < 2; n++)
        for (er::i64 c = 0; c < 70; c++)
          for (er::i64 p = 0; p < 15; p++, i++) {
            const size_t si = k.scale.c == 1 ? size_t(n * 15 + p) : size_t(c);
            float want = bf(x[i]) * bf(sc[si]);
            if (k.bias) want = want + bf(bi[si]);
            if (k.relu) want = br::relu(want, 0.0f);
            ASSERT_EQ(bf(y[i]), want) << "element " << i;
          }
    }
  }
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE("batchnorm, " + sched_text(s));
    BdRig rig(s);
    Values val(6);
    const Local X = dflt(0x0, shape), Y = dflt(0x4000, shape);
    const Local add{lane(0, 0x8000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}}, mul{lane(0, 0x9000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}};
    const auto x = rig.fill(X, [&] { return val.small_float(); });
    const auto a = rig.fill(add, [&] { return val.small_float(); });
    const auto m = rig.fill(mul, [&] { return val.small_float(); });
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { nodechip_batchnorm_layer_local(0x0, 0x4000, 0x8000, 0x9000, 2, 70, 3, 5, 0, 0, 1, fb(4.0f), n); }));
    const auto y = rig.read(Y);
    for (size_t i = 0; i < y.size(); i++) {
      const size_t c = (i / 15) % 70;
      ASSERT_EQ(bf(y[i]), br::relu((bf(x[i]) + bf(a[c])) * bf(m[c]), 4.0f)) << i;
    }
  }
}

TEST(Prelu, SharedPerChannelAndPerElementSlopes) {
  const Dim shape{2, 70, 3, 5};
  struct Case {
    const char *what;
    int shared, layout;
    float slope;
    size_t commands;
  };
  const Case cases[] = {
      {"shared 0.0: the ReLU alone", 1, 0, 0.0f, 1},
      {"shared 0.25", 1, 0, 0.25f, 4},
      {"per channel", 0, 0, 0.0f, 4},
      {"per element of the map", 0, 1, 0.0f, 4},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(7);
      const Local X = dflt(0x0, shape), Y = dflt(0x4000, shape);
      const Local S = k.layout ? dflt(0x8000, Dim{1, 70, 3, 5}) : Local{lane(0, 0x8000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}};
      const auto x = rig.fill(X, [&] { return val.small_float(); });
      const auto sl = rig.fill(S, [&] { return val.small_float(); });
      const dim4_t sh = d4(shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_prelu_forward_local_v2(0x0, 0x4000, 0x8000, 0xC000, k.shared, fb(k.slope), &sh, k.layout, n);
      }));
      EXPECT_EQ(rig.bd_commands(), k.commands);
      const auto y = rig.read(Y);
      for (size_t i = 0; i < y.size(); i++) {
        const float v = bf(x[i]);
        const float slope = k.shared ? k.slope : k.layout ? bf(sl[i % (70 * 15)]) : bf(sl[(i / 15) % 70]);
        const float want = (v > 0 ? v : 0.0f) + (v > 0 ? 0.0f : v) * slope;
        ASSERT_EQ(bf(y[i]), want) << i;
      }
    }
  }
}

TEST(Select, FloatAndInt32Conditions) {
  const Dim shape{2, 3, 2, 5};
  struct Case {
    const char *what;
    int int32, then_const, else_const;
  };
  const Case cases[] = {{"float condition, tensors", 0, 0, 0},
                        {"float condition, constant then", 0, 1, 0},
                        {"int32 condition, constant else", 1, 0, 1},
                        {"int32 condition, both constants", 1, 1, 1}};
  static const u32 float_conds[] = {fb(0.0f), fb(-0.0f), fb(1.0f), fb(-3.0f), fb(1e-30f)};
  static const u32 int_conds[] = {0, 1, 0xFFFFFFFFu, 0x80000000u, 0x7FC00000u, 0xFF800000u, 7};
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(8);
      const Local Cd = dflt(0x0, shape), T = dflt(0x2000, shape), E = dflt(0x4000, shape), O = dflt(0x6000, shape);
      const auto c = rig.fill(Cd, [&] { return k.int32 ? int_conds[val.below(7)] : float_conds[val.below(5)]; });
      const auto t = rig.fill(T, [&] { return val.small_float(); });
      const auto e = rig.fill(E, [&] { return val.small_float(); });
      const dim4_t sh = d4(shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_select_local(0x0, 0x2000, k.then_const, fb(7.5f), 0x4000, k.else_const, fb(-2.25f), 0x6000, &sh, 0, 0,
                              k.int32, n);
      }));
      const auto o = rig.read(O);
      for (size_t i = 0; i < o.size(); i++) {
        const bool pick_then = k.int32 ? c[i] != 0 : bf(c[i]) != 0.0f;
        const float want = pick_then ? (k.then_const ? 7.5f : bf(t[i])) : (k.else_const ? -2.25f : bf(e[i]));
        ASSERT_EQ(bf(o[i]), want) << "condition " << std::hex << c[i];
      }
    }
  }
}

TEST(Activations, EachCodeRunsItsRoutine) {
  const Dim shape{1, 3, 2, 5};
  struct Case {
    int code;
    double (*ref)(double);
    double tol;
  };
  const Case cases[] = {
      {0, [](double x) { return std::tanh(x); }, 3e-7},    {1, [](double x) { return 1 / (1 + std::exp(-x)); }, 3e-7},
      {2, [](double x) { return x > 0 ? x : 0.5 * x; }, 0}, {3, [](double x) { return std::exp(x); }, 3e-7},
      {4, [](double x) { return x > 0 ? x : std::expm1(x); }, 3e-7}, {5, [](double x) { return std::sqrt(std::fabs(x)); }, 2e-7},
      {6, [](double x) { return x * x; }, 0},               {7, [](double x) { return 1 / std::sqrt(std::fabs(x)); }, 2e-7},
      {8, [](double x) { return std::fabs(x); }, 0},        {9, [](double x) { return std::log(std::fabs(x)); }, 2e-7},
      {10, [](double x) { return std::round(x); }, 0},      {11, [](double x) { return std::ceil(x); }, 0},
      {12, [](double x) { return std::floor(x); }, 0},      {13, [](double x) { return std::sin(x); }, 1e-6},
      {14, [](double x) { return std::cos(x); }, 1e-6},
  };
  const float slope = 0.5f;
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("code " + std::to_string(k.code) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(k.code);
      const bool positive = k.code == 5 || k.code == 7 || k.code == 9;
      const Local X = dflt(0x0, shape), Y = dflt(0x2000, shape);
      const auto x = rig.fill(X, [&] {
        const float v = bf(val.small_float());
        return fb(positive ? std::fabs(v) + 0.125f : v);
      });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { nodechip_active_forward_local(0x0, 0x2000, 0x4000, 1, 3, 2, 5, k.code, &slope, n); }));
      const auto y = rig.read(Y);
      for (size_t i = 0; i < y.size(); i++) {
        const double want = k.ref(bf(x[i]));
        ASSERT_NEAR(bf(y[i]), want, k.tol * std::fmax(1.0, std::fabs(want))) << "x = " << bf(x[i]);
      }
    }
  }
  expect_local_assert([](cmd_id_node_t *n) { nodechip_active_forward_local(0x0, 0x2000, 0x4000, 1, 1, 1, 8, 15, nullptr, n); },
                      "nodechip_active_forward_local", "0");
}

TEST(Lut, LooksUpBytesOf1NAnd4NData) {
  struct Case {
    int n;
    int is_1n;
    size_t lookups;
  };
  const Case cases[] = {{6, 0, 4}, {3, 0, 3}, {9, 0, 4}, {2, 1, 1}};
  const int c = 70, h = 3, w = 5;
  const u32 table = 0x200000;  // in L2 SRAM
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("n " + std::to_string(k.n) + " 1N " + std::to_string(k.is_1n) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(k.n);
      std::vector<float> entries(256);
      for (int i = 0; i < 256; i++) entries[i] = float(i) * 0.5f - 17.0f;
      rig.chip().l2.store(chip::kL2SramBase + table, entries.data(), 4 * 256);
      const er::i64 rows = 2, plane = 32;
      std::vector<uint8_t> bytes(size_t(k.n) * c * h * w);
      for (auto &b : bytes) b = uint8_t(val.word());
      // 4N: item 4g + j in byte j of word g; 1N: one byte per element, planes of 128 bytes.
      for (int n = 0; n < k.n; n++)
        for (int ch = 0; ch < c; ch++)
          for (int p = 0; p < h * w; p++) {
            const uint8_t b = bytes[(size_t(n) * c + ch) * h * w + p];
            const u64 lane_base = er::kLocal + u64(ch % 64) * er::kLane;
            const u64 at = k.is_1n ? lane_base + u64(n) * rows * 128 + (ch / 64) * 128 + p
                                   : lane_base + 4 * u64((n / 4) * rows * plane + (ch / 64) * plane + p) + n % 4;
            rig.chip().local.store(at, &b, 1);
          }
      const int dims[3] = {k.n, c, h * w};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { nodechip_lut_local(0x0, table, 0x20000, 0x40000, dims, 3, k.is_1n, node); }));
      const Local out = dflt(0x40000, Dim{k.n, c, h * w, 1});
      const auto y = rig.read(out);
      for (size_t i = 0; i < y.size(); i++) ASSERT_EQ(bf(y[i]), entries[bytes[i]]) << i;
    }
  }
  expect_local_assert([](cmd_id_node_t *node) {
    const int dims[5] = {1, 1, 1, 1, 1};
    nodechip_lut_local(0, 0x200000, 0x1000, 0x2000, dims, 5, 1, node);
  }, "nodechip_lut_local", "index_dim <= 4", "none.", "ASSERT");
}

}  // namespace
}  // namespace zv::test::local
