// The float32 and int32 binary_op layers: the divisor split, top shape, merge
// and reshape plans by tables, and the element-wise, scalar and broadcast
// layers against double references under every schedule with the
// happens-before checker; and their checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/broadcast_binary.h"
#include "ref/binary_ref.h"

namespace zv::test {
namespace {

constexpr u64 kA = 0x100000000ull;
constexpr u64 kB = 0x104000000ull;
constexpr u64 kR = 0x108000000ull;
constexpr u64 kBuf = 0x10c000000ull;

const int kCodes[] = {BINARY_ADD, BINARY_SUB, BINARY_MUL, BINARY_DIV, BINARY_MAX,         BINARY_MIN, BINARY_GT,
                      BINARY_GE,  BINARY_LT,  BINARY_LE,  BINARY_EQ,  BINARY_NE, BINARY_SQUARED_DIFF};

float value(size_t i, unsigned seed, bool nonzero) {
  const unsigned x = unsigned(i * 2654435761u + seed * 40503u);
  float v = float(int((x >> 6) % 41) - 20) / 4.0f;
  if (nonzero && v == 0.0f) v = 0.75f;
  return v;
}

void store(LayerRunner &rig, u64 addr, const void *p, size_t bytes) {
  rig.chip().ddr.store(addr, static_cast<const u8 *>(p), bytes);
}

// ---- Plans ----

TEST(BroadcastBinaryPlan, DivisorsTopShapeAndMerge) {
  struct D {
    int num, start, a, b;
  };
  for (const D &d : {D{4096, 32, 32, 128}, D{1000, 32, 40, 25}, D{32, 32, 16, 2}, D{40, 64, 40, 1}, D{7, 32, 7, 1},
                     D{1, 32, 1, 1}}) {
    int a, b;
    decompose_num(d.num, d.start, &a, &b);
    EXPECT_EQ((std::vector<int>{a, b}), (std::vector<int>{d.a, d.b})) << d.num << ", " << d.start;
  }
  const int A[3] = {4, 1, 6}, B[5] = {2, 3, 4, 5, 1};
  int top[8];
  ASSERT_EQ(get_broadcast_binary_top_shape(A, 3, B, 5, top), 5);
  EXPECT_EQ(std::vector<int>(top, top + 5), (std::vector<int>{2, 3, 4, 5, 6}));

  struct M {
    const char *what;
    std::vector<int> A, B, A_out, B_out;
  };
  const M merges[] = {
      {"8-D into 2", {2, 3, 1, 1, 4, 5, 6, 1}, {1, 1, 1, 1, 4, 5, 6, 1}, {6, 120}, {1, 120}},
      {"ones dropped, the run goes on", {2, 1, 3, 1, 1}, {2, 1, 3, 1, 4}, {6, 1}, {6, 4}},
      {"five patterns stay five", {2, 1, 3, 1, 5}, {1, 4, 1, 6, 1}, {2, 1, 3, 1, 5}, {1, 4, 1, 6, 1}},
      {"all ones", {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {}, {}},
  };
  for (const M &m : merges) {
    SCOPED_TRACE(m.what);
    std::vector<int> a = m.A, b = m.B;
    const int j = bcast_merge_dims(a.data(), b.data(), int(a.size()));
    EXPECT_EQ(std::vector<int>(a.begin(), a.begin() + j), m.A_out);
    EXPECT_EQ(std::vector<int>(b.begin(), b.begin() + j), m.B_out);
  }
}

TEST(BroadcastBinaryPlan, ReshapeAndLimits) {
  struct Case {
    const char *what;
    int A[4], B[4];
    int same;
    dim4_t top, a, b, limit;
  };
  const Case cases[] = {
      {"one dimension", {1, 1, 1, 1000}, {1, 1, 1, 1}, 0, {1, 40, 1, 25}, {1, 40, 1, 25}, {1, 1, 1, 1}, {1024, 64, 1, 32}},
      {"bias add", {64, 256, 14, 14}, {1, 256, 1, 1}, 0, {64, 256, 14, 14}, {64, 256, 14, 14}, {1, 256, 1, 1},
       {18, 256, 14, 32}},
      {"two dimensions", {1, 96, 1, 4096}, {1, 96, 1, 1}, 0, {3, 32, 128, 32}, {3, 32, 128, 32}, {3, 32, 1, 1},
       {8, 64, 128, 32}},
      {"three, the last largest", {5, 6, 1, 4096}, {5, 1, 1, 4096}, 0, {5, 6, 128, 32}, {5, 6, 128, 32},
       {5, 1, 128, 32}, {8, 64, 128, 32}},
      {"equal shapes", {2, 3, 4, 5}, {2, 3, 4, 5}, 1, {2, 3, 4, 5}, {2, 3, 4, 5}, {2, 3, 4, 5}, {256, 64, 4, 32}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    bcast_plan_t p;
    bcast_plan_of(&p, c.A, c.B);
    EXPECT_EQ(p.same, c.same);
    auto v = [](const dim4_t &d) { return std::vector<int>{d.n, d.c, d.h, d.w}; };
    EXPECT_EQ(v(p.top), v(c.top));
    EXPECT_EQ(v(p.A), v(c.a));
    EXPECT_EQ(v(p.B), v(c.b));
    EXPECT_EQ(v(p.limit), v(c.limit));
    EXPECT_TRUE(local_areas_valid(p.areas, 4));
  }
}

TEST(BroadcastBinaryPlan, Int32RegionsAndTileWindow) {
  // int32 halves the budget for its seven regions: the bias add takes 9 items
  // a slice in place of 18.
  const int A[4] = {64, 256, 14, 14}, B[4] = {1, 256, 1, 1};
  bcast_plan_t p;
  bcast_plan_for(&p, A, B, 1);
  EXPECT_EQ(p.limit.n, 9);
  EXPECT_EQ(p.area_count, 7);
  EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
  // Windows of dim - 3 dimensions cost the product of both extents where they
  // differ; the earliest wins a tie.
  struct Case {
    std::vector<int> a, b;
    int window;
  };
  const Case cases[] = {
      {{2, 1, 3, 1, 5}, {1, 4, 1, 6, 1}, 0},        // 8, 12, 18, 30
      {{9, 1, 3, 1, 2}, {1, 8, 1, 6, 1}, 3},        // 72, 24, 18, 12
      {{1, 5, 1, 2, 1, 3}, {4, 1, 3, 1, 2, 1}, 2},  // 60, 30, 12, 12: the earlier of two
      {{2, 1, 2, 1, 2}, {1, 2, 1, 2, 1}, 0},        // all 4: the earliest
  };
  for (const Case &c : cases) EXPECT_EQ(bcast_tile_window(c.a.data(), c.b.data(), int(c.a.size())), c.window);
}

// ---- Layers ----

class BroadcastBinaryLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(BroadcastBinaryLayer, EltwiseEveryCodeWithRelu) {
  LayerRunner rig(GetParam());
  for (size_t length : {size_t(1), size_t(33), size_t(64 * 64 + 1), size_t(70001)}) {
    std::vector<float> a(length), b(length);
    for (size_t i = 0; i < length; i++) a[i] = value(i, 1, false), b[i] = value(i, 2, true);
    store(rig, kA, a.data(), length * 4);
    store(rig, kB, b.data(), length * 4);
    for (int code : kCodes) {
      if (length != 4097 && code != BINARY_SUB && code != BINARY_GE) continue;
      for (float limit : {-1.0f, 0.0f, 2.5f}) {
        const int relu = limit >= 0.0f;
        SCOPED_TRACE("length " + std::to_string(length) + ", code " + std::to_string(code) + ", limit " +
                     std::to_string(limit));
        ASSERT_TRUE(rig.call(
            [&](cmd_id_node_t *node) { nodechip_eltwise_binary(kA, kB, kR, length, code, relu, limit, node, 0); }));
        const std::vector<float> r = get<float>(rig, kR, length);
        for (size_t i = 0; i < length; i++) {
          float want = ref::binary::apply_f32(code, a[i], b[i]);
          if (relu) want = ref::binary::relu(want, limit);
          ASSERT_EQ(r[i], want) << i << ": " << a[i] << ", " << b[i];
        }
      }
    }
  }
}

TEST_P(BroadcastBinaryLayer, Int32Data) {
  LayerRunner rig(GetParam());
  const size_t length = 4099;
  std::vector<int32_t> a(length), b(length);
  for (size_t i = 0; i < length; i++) {
    a[i] = int32_t((i * 7919u) % 20001) - 10000;
    b[i] = int32_t((i * 104729u) % 41) - 20;
    if (b[i] == 0) b[i] = 3;
  }
  store(rig, kA, a.data(), length * 4);
  store(rig, kB, b.data(), length * 4);
  for (int code : {BINARY_ADD, BINARY_DIV, BINARY_MAX, BINARY_LT, BINARY_NE}) {
    SCOPED_TRACE("code " + std::to_string(code));
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_eltwise_binary(kA, kB, kR, length, code, 0, 0.0f, node, 1); }));
    const std::vector<int32_t> ri = get<int32_t>(rig, kR, length);
    const std::vector<float> rf = get<float>(rig, kR, length);
    for (size_t i = 0; i < length; i++) {
      const double want = ref::binary::apply(code, a[i], b[i]);
      // A comparison stays float32 1.0 or 0.0; the quotient is truncated.
      if (ref::binary::is_comparison(code))
        ASSERT_EQ(rf[i], float(want)) << i;
      else
        ASSERT_EQ(ri[i], int32_t(std::trunc(float(a[i]) / float(b[i]) * (code == BINARY_DIV) +
                                            want * (code != BINARY_DIV))))
            << i << ": " << a[i] << ", " << b[i];
    }
  }
  // With a scalar: 7 - A, and A < 7 as floats.
  for (int code : {BINARY_SUB, BINARY_LT}) {
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_const_binary(kA, length, 7u, kR, code, 1, 0, 0.0f, node, 1); }));
    const std::vector<int32_t> ri = get<int32_t>(rig, kR, length);
    const std::vector<float> rf = get<float>(rig, kR, length);
    for (size_t i = 0; i < length; i++) {
      if (code == BINARY_SUB)
        ASSERT_EQ(ri[i], 7 - a[i]) << i;
      else
        ASSERT_EQ(rf[i], 7.0f < float(a[i]) ? 1.0f : 0.0f) << i;
    }
  }
}

TEST_P(BroadcastBinaryLayer, ConstantBothOrders) {
  LayerRunner rig(GetParam());
  const size_t length = 70001;
  std::vector<float> a(length);
  for (size_t i = 0; i < length; i++) a[i] = value(i, 5, true);
  store(rig, kA, a.data(), length * 4);
  const float k = -1.25f;
  u32 bits;
  std::memcpy(&bits, &k, 4);
  for (int code : {BINARY_SUB, BINARY_DIV, BINARY_GT, BINARY_MUL})
    for (int inv : {0, 1}) {
      SCOPED_TRACE("code " + std::to_string(code) + (inv ? ", inversed" : ""));
      ASSERT_TRUE(rig.call(
          [&](cmd_id_node_t *node) { nodechip_const_binary(kA, length, bits, kR, code, inv, 1, 0.0f, node, 0); }));
      const std::vector<float> r = get<float>(rig, kR, length);
      for (size_t i = 0; i < length; i++) {
        const float want = ref::binary::relu(inv ? ref::binary::apply_f32(code, k, a[i])
                                                 : ref::binary::apply_f32(code, a[i], k), 0.0f);
        ASSERT_EQ(r[i], want) << i << ": " << a[i];
      }
    }
}

// Runs the 8-D entry and checks R against the right-aligned broadcast; int32
// data holds small integers, computed in float and truncated back (the
// comparisons stay float 1.0 or 0.0).
void check_broadcast(LayerRunner &rig, const std::vector<int> &A_shape, const std::vector<int> &B_shape, int code,
                     float limit, int is_int32 = 0) {
  int top[8];
  const int dim = get_broadcast_binary_top_shape(A_shape.data(), int(A_shape.size()), B_shape.data(),
                                                 int(B_shape.size()), top);
  std::vector<int> As(dim, 1), Bs(dim, 1);
  std::copy(A_shape.begin(), A_shape.end(), As.end() - A_shape.size());
  std::copy(B_shape.begin(), B_shape.end(), Bs.end() - B_shape.size());
  for (int i = 0; i < dim; i++) top[i] = std::max(As[i], Bs[i]);
  size_t na = 1, nb = 1, nr = 1;
  for (int i = 0; i < dim; i++) na *= size_t(As[i]), nb *= size_t(Bs[i]), nr *= size_t(top[i]);
  std::vector<float> a(na), b(nb);
  std::vector<int32_t> ai(na), bi(nb);
  for (size_t i = 0; i < na; i++) a[i] = value(i, 8, false), ai[i] = int32_t((i * 7919u) % 2001) - 1000;
  for (size_t i = 0; i < nb; i++) b[i] = value(i, 9, true), bi[i] = int32_t((i * 104729u) % 41) - 20;
  if (is_int32) {
    store(rig, kA, ai.data(), na * 4);
    store(rig, kB, bi.data(), nb * 4);
  } else {
    store(rig, kA, a.data(), na * 4);
    store(rig, kB, b.data(), nb * 4);
  }
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_broadcast_binary_full(kA, A_shape.data(), int(A_shape.size()), kB, B_shape.data(),
                                   int(B_shape.size()), kR, kBuf, code, limit >= 0.0f, limit, 0, node, is_int32);
  }));
  const std::vector<float> r = get<float>(rig, kR, nr);
  const std::vector<int32_t> ri = get<int32_t>(rig, kR, nr);
  std::vector<int> at(dim, 0);
  for (size_t i = 0; i < nr; i++) {
    size_t ia = 0, ib = 0;
    for (int d = 0; d < dim; d++) {
      ia = ia * size_t(As[d]) + size_t(As[d] == 1 ? 0 : at[d]);
      ib = ib * size_t(Bs[d]) + size_t(Bs[d] == 1 ? 0 : at[d]);
    }
    if (is_int32) {
      float want = ref::binary::apply_f32(code, float(ai[ia]), float(bi[ib]));
      if (limit >= 0.0f) want = ref::binary::relu(want, limit);
      if (ref::binary::is_comparison(code))
        ASSERT_EQ(r[i], want) << "element " << i;
      else
        ASSERT_EQ(ri[i], int32_t(std::trunc(want))) << "element " << i;
    } else {
      float want = ref::binary::apply_f32(code, a[ia], b[ib]);
      if (limit >= 0.0f) want = ref::binary::relu(want, limit);
      ASSERT_EQ(r[i], want) << "element " << i;
    }
    for (int d = dim - 1; d >= 0 && ++at[d] == top[d]; d--) at[d] = 0;
  }
}

TEST_P(BroadcastBinaryLayer, BroadcastShapes) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    std::vector<int> A, B;
    int code;
    float limit;
  };
  const Case cases[] = {
      {"scalar B", {1, 1, 1, 1000}, {1}, BINARY_SUB, -1.0f},
      {"bias over channels, sliced by items (24 a slice)", {30, 130, 14, 14}, {1, 130, 1, 1}, BINARY_ADD, 1.5f},
      {"A along n", {1, 3, 4, 33}, {5, 3, 4, 33}, BINARY_MUL, -1.0f},
      {"B along c", {2, 70, 3, 5}, {2, 1, 3, 5}, BINARY_GE, -1.0f},
      {"A along h, B along w", {3, 6, 1, 40}, {3, 6, 9, 1}, BINARY_MAX, -1.0f},
      {"two dimensions", {96, 1, 4096}, {96, 1, 1}, BINARY_DIV, 0.0f},
      {"8-D merging into 3", {2, 1, 3, 1, 1, 4, 5, 1}, {2, 1, 3, 1, 1, 1, 1, 1}, BINARY_SQUARED_DIFF, -1.0f},
      {"equal shapes take the flat layer", {2, 3, 4, 5}, {2, 3, 4, 5}, BINARY_LT, -1.0f},
      {"five alternating dimensions: the first two tiled", {2, 1, 3, 1, 5}, {1, 4, 1, 6, 1}, BINARY_SUB, -1.0f},
      {"six dimensions: a later window tiled", {7, 9, 1, 2, 1, 3}, {7, 1, 4, 1, 6, 1}, BINARY_MUL, 0.0f},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    check_broadcast(rig, c.A, c.B, c.code, c.limit);
  }
  const Case int32_cases[] = {
      {"int32 bias over channels", {3, 70, 5, 7}, {1, 70, 1, 1}, BINARY_ADD, -1.0f},
      {"int32 A along h, B along w, comparison", {3, 6, 1, 40}, {3, 6, 9, 1}, BINARY_GT, -1.0f},
      {"int32 product, sliced by items", {40, 130, 14, 14}, {40, 1, 14, 14}, BINARY_MUL, 100.0f},
      {"int32 five dimensions tiled", {2, 1, 3, 1, 5}, {1, 4, 1, 6, 1}, BINARY_MAX, -1.0f},
  };
  for (const Case &c : int32_cases) {
    SCOPED_TRACE(c.what);
    check_broadcast(rig, c.A, c.B, c.code, c.limit, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(All, BroadcastBinaryLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(BroadcastBinaryLayer, SpecialValues) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const float den = std::numeric_limits<float>::denorm_min() * 5;
  const std::vector<float> a = {nan, inf, -inf, 0.0f, -0.0f, den, -den, 1.0f, inf, 3.0f};
  const std::vector<float> b = {1.0f, 1.0f, inf, -0.0f, 0.0f, den, 1.0f, -0.0f, inf, nan};
  for (const Sched &s : all_schedules()) {
    LayerRunner rig(s);
    store(rig, kA, a.data(), a.size() * 4);
    store(rig, kB, b.data(), b.size() * 4);
    // (LE and GE are built as 1 - (A > B) by the local kernel: a NaN gives 1.)
    for (int code : {BINARY_ADD, BINARY_SUB, BINARY_MUL, BINARY_DIV, BINARY_GT, BINARY_LT}) {
      SCOPED_TRACE(sched_text(s) + ", code " + std::to_string(code));
      ASSERT_TRUE(rig.call(
          [&](cmd_id_node_t *node) { nodechip_eltwise_binary(kA, kB, kR, a.size(), code, 0, 0.0f, node, 0); }));
      const std::vector<float> r = get<float>(rig, kR, a.size());
      for (size_t i = 0; i < a.size(); i++) {
        const float want = ref::binary::apply_f32(code, a[i], b[i]);
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(r[i])) << i;
        else
          EXPECT_EQ(r[i], want) << i << ": " << a[i] << ", " << b[i];
      }
    }
  }
}

TEST(BroadcastBinaryLayer, Checks) {
  const int A8[9] = {1, 1, 1, 1, 1, 1, 1, 1, 2}, B1[1] = {2};
  expect_assert([&](cmd_id_node_t *n) { nodechip_broadcast_binary_full(kA, A8, 9, kB, B1, 1, kR, kBuf, 0, 0, 0, 0, n, 0); },
                "ASSERT_FS", "firmware/layers/", "nodechip_broadcast_binary_full",
                "bottom0_dim <= 8 && bottom1_dim <= 8");
  expect_assert([&](cmd_id_node_t *n) { nodechip_broadcast_binary_full(kA, B1, 1, kB, B1, 1, kR, kBuf, 0, 0, 0, 1, n, 0); },
                "ASSERT_FS", "firmware/layers/", "nodechip_broadcast_binary_full", "data_format == 0");
  const int A4[4] = {2, 3, 4, 5}, B4[4] = {2, 2, 4, 5};
  expect_assert([&](cmd_id_node_t *n) { nodechip_broadcast_binary(kA, A4, kB, B4, kR, 0, 0, 0, n, 0); },
                "ASSERT_FS", "firmware/layers/", "init_process_context", "shape[i] == 1");
  // Five dimensions that do not broadcast are refused before the tiling.
  const int A5[5] = {2, 3, 3, 1, 5}, B5[5] = {1, 4, 1, 6, 1};
  expect_assert([&](cmd_id_node_t *n) { nodechip_broadcast_binary_full(kA, A5, 5, kB, B5, 5, kR, kBuf, 0, 0, 0, 0, n, 0); },
                "ASSERT_FS", "firmware/layers/", "nodechip_broadcast_binary_full", "A[i] == 1 || B[i] == 1",
                "dimension 1: 3 and 4");
}

}  // namespace
}  // namespace zv::test
