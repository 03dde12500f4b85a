// The 8-bit binary family: slices and flags by table; the constant,
// element-wise and broadcast layers byte-exact against the integer reference
// over shapes that cut samples and rows, under every schedule with the
// happens-before checker; the 16-bit blob operand (first or second, product,
// broadcast); the checks that stop a call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"
#include "ref/fix8b_ref.h"

namespace zv::test {
namespace {

namespace fr = ref::fix8b;
using fr::i64;

constexpr u64 kA = 0x100000000ull;
constexpr u64 kB = 0x101000000ull;
constexpr u64 kR = 0x102000000ull;

struct Shape {
  int n, c, h, w;
  size_t count() const { return size_t(n) * c * h * w; }
  int at(int b, int k, int y, int x) const { return ((b * c + k) * h + y) * w + x; }
};

// Byte offset of sample b's element e (c h w index) in a 4N tensor; half-word
// offset pairs for 2N.
size_t off4n(const Shape &s, int b, int e) { return 4 * (size_t(b / 4) * s.c * s.h * s.w + e) + b % 4; }
size_t off2n(const Shape &s, int b, int e) { return 4 * (size_t(b / 2) * s.c * s.h * s.w + e) + 2 * (b % 2); }

std::vector<uint8_t> pack8(const Shape &s, const std::vector<uint8_t> &v) {
  std::vector<uint8_t> out(4 * size_t((s.n + 3) / 4) * s.c * s.h * s.w);
  const int e = s.c * s.h * s.w;
  for (int b = 0; b < s.n; b++)
    for (int i = 0; i < e; i++) out[off4n(s, b, i)] = v[size_t(b) * e + i];
  return out;
}
std::vector<uint8_t> pack16(const Shape &s, const std::vector<int16_t> &v) {
  std::vector<uint8_t> out(4 * size_t((s.n + 1) / 2) * s.c * s.h * s.w);
  const int e = s.c * s.h * s.w;
  for (int b = 0; b < s.n; b++)
    for (int i = 0; i < e; i++) std::memcpy(&out[off2n(s, b, i)], &v[size_t(b) * e + i], 2);
  return out;
}
std::vector<uint8_t> bytes(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t((i * (2 * seed + 37) + seed * 11) % 256);
  return v;
}
std::vector<int16_t> halves(size_t n, unsigned seed) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = int16_t(int((i * (2 * seed + 4099) + seed) % 2400) - 1200);
  return v;
}
// Sample b's element of an operand of shape o read at result position (b, k, y, x).
int bidx(const Shape &o, int b, int k, int y, int x) {
  return o.at(o.n == 1 ? 0 : b, o.c == 1 ? 0 : k, o.h == 1 ? 0 : y, o.w == 1 ? 0 : x);
}

TEST(Fix8bBinaryPlan, SlicesAndFlags) {
  struct Case {
    int n, c, h, w, t;
    u32 budget;
    int n_slice, h_slice;
  };
  const Case cases[] = {
      {9, 3, 4, 6, 1, FIX8B_CORE_BUDGET, 9, 4},           // everything in one slice
      {100, 70, 10, 10, 1, FIX8B_CORE_BUDGET, 100, 10},   //
      {100, 70, 30, 30, 1, FIX8B_CORE_BUDGET, 32, 30},    // 8 groups a slice
      {6, 2, 130, 130, 1, FIX8B_CORE_BUDGET, 4, 125},     // rows cut
      {6, 2, 130, 130, 2, FIX8B_CORE_BUDGET, 4, 62},      // doubled for EQ/NE
      {8, 1, 200, 100, 1, FIX8B_CONST_BUDGET, 4, 200},    // one group a slice
  };
  for (const Case &k : cases) {
    const fix8b_slice_t s = fix8b_slice_of(k.n, k.c, k.h, k.w, k.budget, k.t, 0);
    EXPECT_EQ(s.n_slice, k.n_slice) << k.n << "x" << k.c << "x" << k.h << "x" << k.w;
    EXPECT_EQ(s.h_slice, k.h_slice) << k.n << "x" << k.c << "x" << k.h << "x" << k.w;
    EXPECT_LE(s.bytes, k.budget);
  }
  // The pipeline: step i stores slice i - 2, computes i - 1, loads i.
  struct Step {
    int step, slices, store, compute, load;
  };
  const Step steps[] = {
      {0, 3, -1, -1, 0}, {1, 3, -1, 0, 1}, {2, 3, 0, 1, 2}, {3, 3, 1, 2, -1}, {4, 3, 2, -1, -1},
      {0, 1, -1, -1, 0}, {1, 1, -1, 0, -1}, {2, 1, 0, -1, -1},
  };
  for (const Step &k : steps) {
    const fix8b_step_t t = fix8b_step_of(k.step, k.slices);
    EXPECT_EQ((std::vector<int>{t.store, t.compute, t.load}), (std::vector<int>{k.store, k.compute, k.load}))
        << "step " << k.step << " of " << k.slices + 2;
  }
  int i8[3], sg[3];
  fix8b_flags_of(FIX8B_TYPE_U8, FIX8B_TYPE_U8, BINARY_SUB, i8, sg);
  EXPECT_EQ((std::vector<int>{i8[0], i8[1], i8[2], sg[0], sg[1], sg[2]}), (std::vector<int>{1, 1, 1, 0, 0, 1}));
  fix8b_flags_of(FIX8B_TYPE_U8, FIX8B_TYPE_U8, BINARY_ADD, i8, sg);
  EXPECT_EQ(sg[2], 0);
  fix8b_flags_of(FIX8B_TYPE_I16, FIX8B_TYPE_U8, BINARY_ADD, i8, sg);
  EXPECT_EQ((std::vector<int>{i8[0], i8[1], i8[2], sg[0], sg[1], sg[2]}), (std::vector<int>{0, 1, 1, 1, 0, 1}));
}

class Fix8bBinaryLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(Fix8bBinaryLayer, ElementWiseAndBroadcast) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    Shape a, b;
    int code, scale_A, scale_B, shift_A, shift_B, sign_A, sign_B, sign_R, relu;
  };
  const Case cases[] = {
      {"add, signed", {5, 3, 4, 6}, {5, 3, 4, 6}, BINARY_ADD, 3, 5, 1, 2, 1, 1, 1, 0},
      {"sub of unsigned, rows cut", {6, 2, 130, 130}, {6, 2, 130, 130}, BINARY_SUB, 7, 9, 2, 2, 0, 0, 1, 0},
      {"product with ReLU", {9, 70, 3, 5}, {9, 70, 3, 5}, BINARY_MUL, 3, 1, 1, 1, 1, 1, 1, 1},
      {"maximum", {9, 70, 3, 5}, {9, 70, 3, 5}, BINARY_MAX, 2, 3, 0, 1, 1, 0, 1, 0},
      {"greater, shifts ignored", {7, 3, 5, 5}, {7, 3, 5, 5}, BINARY_GT, 5, 4, 3, 3, 1, 1, 1, 0},
      {"equal, doubled budget", {6, 2, 130, 130}, {6, 2, 130, 130}, BINARY_EQ, 1, 1, 0, 0, 1, 1, 1, 0},
      {"broadcast over n and w", {6, 3, 7, 1}, {1, 3, 7, 5}, BINARY_ADD, 3, 2, 1, 0, 1, 1, 1, 0},
      {"broadcast over c and h", {5, 1, 1, 9}, {5, 70, 4, 9}, BINARY_SUB, 4, 4, 1, 1, 1, 0, 1, 0},
      {"broadcast, minimum", {1, 65, 6, 1}, {9, 65, 6, 7}, BINARY_MIN, 2, 5, 0, 2, 1, 1, 1, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const Shape r = {std::max(k.a.n, k.b.n), std::max(k.a.c, k.b.c), std::max(k.a.h, k.b.h), std::max(k.a.w, k.b.w)};
    const std::vector<uint8_t> a = bytes(k.a.count(), 1), b = bytes(k.b.count(), 2);
    put<uint8_t>(rig, kA, pack8(k.a, a));
    put<uint8_t>(rig, kB, pack8(k.b, b));
    const int is_int8[3] = {1, 1, 1}, is_sign[3] = {k.sign_A, k.sign_B, k.sign_R};
    const bool same = k.a.n == k.b.n && k.a.c == k.b.c && k.a.h == k.b.h && k.a.w == k.b.w;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      const int as[4] = {k.a.n, k.a.c, k.a.h, k.a.w}, bs[4] = {k.b.n, k.b.c, k.b.h, k.b.w};
      if (same)
        nodechip_eltwise_binary_fix8b_forward_parallel(kA, kB, kR, as, 4, 0, 0, k.code, k.scale_A, k.scale_B,
                                                       k.shift_A, k.shift_B, is_int8, is_sign, k.relu, node);
      else
        nodechip_broadcast_binary_fix8b_forward_parallel(kA, kB, kR, as, bs, 4, 0, 0, k.code, k.scale_A, k.scale_B,
                                                         k.shift_A, k.shift_B, is_int8, is_sign, k.relu, node);
    }));
    const bool cmp = k.code >= BINARY_GT;
    const fr::Binary ref{k.code, k.scale_A, cmp ? 0 : k.shift_A, k.scale_B, cmp ? 0 : k.shift_B, bool(k.sign_A),
                         bool(k.sign_B), bool(k.sign_R), false, 0, false, bool(k.relu)};
    const std::vector<uint8_t> out = get<uint8_t>(rig, kR, pack8(r, std::vector<uint8_t>(r.count())).size());
    for (int n = 0; n < r.n; n++)
      for (int c = 0; c < r.c; c++)
        for (int y = 0; y < r.h; y++)
          for (int x = 0; x < r.w; x++) {
            const uint8_t want = fr::binary(ref, a[size_t(bidx(k.a, n, c, y, x))], b[size_t(bidx(k.b, n, c, y, x))]);
            ASSERT_EQ(out[off4n(r, n, (c * r.h + y) * r.w + x)], want) << n << " " << c << " " << y << " " << x;
          }
  }
}

TEST_P(Fix8bBinaryLayer, Constant) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int code, q, scale, shift, sign_A, inversed, relu;
  };
  const Case cases[] = {
      {"add with ReLU: unsigned narrowing", BINARY_ADD, 40, 3, 0, 1, 0, 1},
      {"add without ReLU: signed narrowing", BINARY_ADD, 40, 3, 0, 1, 0, 0},
      {"scalar minus tensor", BINARY_SUB, -30, 5, 2, 0, 1, 0},
      {"less, inversed", BINARY_LT, 20, 1, 3, 1, 1, 0},
      {"greater", BINARY_GT, 20, 1, 3, 1, 0, 0},
      {"product by the scale", BINARY_MUL, 1, 9, 2, 1, 0, 0},
      {"not equal, inversed ignored", BINARY_NE, 0, 1, 0, 1, 1, 0},
  };
  // Five dimensions: 3 x 100 x (2 x 70); one group a slice (three slices),
  // rows cut for the equality comparisons.
  const int shape[5] = {9, 3, 100, 2, 70};
  const Shape s = {9, 3, 100, 140};
  const std::vector<uint8_t> a = bytes(s.count(), 3);
  put<uint8_t>(rig, kA, pack8(s, a));
  std::vector<uint8_t> lt, gt;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_const_binary_fix8b_forward_parallel(kA, kR, k.q, shape, 5, k.code, k.scale, 0, k.shift, 0, k.sign_A, 0,
                                                   1, k.inversed, k.relu, node);
    }));
    const bool cmp = k.code >= BINARY_GT;
    const fr::Binary ref{k.code, k.scale, cmp ? 0 : k.shift, 1, 0, bool(k.sign_A), true, true, true, k.q,
                         k.inversed != 0 && k.code != BINARY_NE, bool(k.relu)};
    const std::vector<uint8_t> out = get<uint8_t>(rig, kR, pack8(s, a).size());
    for (int n = 0; n < s.n; n++)
      for (int e = 0; e < s.c * s.h * s.w; e++)
        ASSERT_EQ(out[off4n(s, n, e)], fr::binary(ref, a[size_t(n) * s.c * s.h * s.w + e], 0)) << n << " " << e;
    if (k.code == BINARY_LT) lt = out;
    if (k.code == BINARY_GT) gt = out;
  }
  EXPECT_EQ(lt, gt) << "scalar < x inversed is x > scalar";
}

// x16 = scale x x8; r16 = x16 op y16 (or y16 op x16), 16-bit saturated; the
// ReLU; narrowed by the shift, signed unless the ReLU ran.
uint8_t blob_ref(int code, i64 x, i64 y, int scale, int shift, bool relu, bool blob_first) {
  i64 v;
  if (code == BINARY_MUL) {
    v = fr::sat(fr::rshift_round(x * y, shift), 16, true);
    shift = 0;
  } else {
    const i64 x16 = fr::sat(x * scale, 16, true), l = blob_first ? y : x16, r = blob_first ? x16 : y;
    switch (code) {
      case BINARY_ADD: v = fr::sat(l + r, 16, true); break;
      case BINARY_SUB: v = fr::sat(l - r, 16, true); break;
      case BINARY_GE: v = l >= r, shift = 0; break;
      case BINARY_EQ: v = l == r, shift = 0; break;
      default: v = l < r ? l : r;
    }
  }
  if (relu && v < 0) v = 0;
  return fr::byte_of(fr::sat(fr::rshift_round(v, shift), 8, !relu));
}

TEST_P(Fix8bBinaryLayer, SixteenBitBlob) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    Shape a, b;
    int a_type, b_type, code, scale, shift, relu;
  };
  const Case cases[] = {
      {"blob first, sub", {6, 3, 5, 7}, {6, 3, 5, 7}, FIX8B_TYPE_I16, FIX8B_TYPE_I8, BINARY_SUB, 5, 3, 0},
      {"blob second, add with ReLU", {5, 70, 2, 3}, {5, 70, 2, 3}, FIX8B_TYPE_U8, FIX8B_TYPE_I16, BINARY_ADD, 7, 2, 1},
      {"blob second, greater or equal", {5, 3, 4, 5}, {5, 3, 4, 5}, FIX8B_TYPE_I8, FIX8B_TYPE_I16, BINARY_GE, 9, 3, 0},
      {"blob first, equal", {6, 2, 130, 130}, {6, 2, 130, 130}, FIX8B_TYPE_I16, FIX8B_TYPE_I8, BINARY_EQ, 1, 0, 0},
      {"blob product", {7, 3, 4, 5}, {7, 3, 4, 5}, FIX8B_TYPE_I8, FIX8B_TYPE_I16, BINARY_MUL, 1, 6, 0},
      {"broadcast blob over n, h", {6, 3, 4, 5}, {1, 3, 1, 5}, FIX8B_TYPE_I8, FIX8B_TYPE_I16, BINARY_SUB, 3, 1, 0},
      {"broadcast x over c, blob first", {5, 70, 3, 4}, {5, 1, 3, 4}, FIX8B_TYPE_I16, FIX8B_TYPE_I8, BINARY_MIN, 4, 0, 0},
      {"broadcast blob over c", {5, 70, 3, 4}, {5, 1, 3, 4}, FIX8B_TYPE_I8, FIX8B_TYPE_I16, BINARY_ADD, 4, 2, 1},
      {"broadcast product, x over w", {6, 3, 4, 1}, {6, 3, 4, 5}, FIX8B_TYPE_I8, FIX8B_TYPE_I16, BINARY_MUL, 1, 5, 1},
      {"blob product, many slices", {9, 2, 130, 130}, {9, 2, 130, 130}, FIX8B_TYPE_I8, FIX8B_TYPE_I16, BINARY_MUL, 1, 4,
       0},
      {"broadcast blob over n, many slices", {9, 2, 130, 130}, {1, 2, 130, 130}, FIX8B_TYPE_I8, FIX8B_TYPE_I16,
       BINARY_ADD, 3, 2, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const Shape r = {std::max(k.a.n, k.b.n), std::max(k.a.c, k.b.c), std::max(k.a.h, k.b.h), std::max(k.a.w, k.b.w)};
    const bool blob_first = k.a_type == FIX8B_TYPE_I16;
    const Shape xs = blob_first ? k.b : k.a, ys = blob_first ? k.a : k.b;
    const std::vector<uint8_t> x = bytes(xs.count(), 5);
    const std::vector<int16_t> y = halves(ys.count(), 6);
    put<uint8_t>(rig, blob_first ? kB : kA, pack8(xs, x));
    put<uint8_t>(rig, blob_first ? kA : kB, pack16(ys, y));
    const int x_type = blob_first ? k.b_type : k.a_type;
    int is_int8[3], is_sign[3];
    fix8b_flags_of(k.a_type, k.b_type, k.code, is_int8, is_sign);
    const bool same = k.a.n == k.b.n && k.a.c == k.b.c && k.a.h == k.b.h && k.a.w == k.b.w;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      const int as[4] = {k.a.n, k.a.c, k.a.h, k.a.w}, bs[4] = {k.b.n, k.b.c, k.b.h, k.b.w};
      if (same)
        nodechip_eltwise_binary_fix8b_forward_parallel(kA, kB, kR, as, 4, 0, 0, k.code, k.scale, k.scale, k.shift,
                                                       k.shift, is_int8, is_sign, k.relu, node);
      else
        nodechip_broadcast_binary_fix8b_forward_parallel(kA, kB, kR, as, bs, 4, 0, 0, k.code, k.scale, k.scale,
                                                         k.shift, k.shift, is_int8, is_sign, k.relu, node);
    }));
    const std::vector<uint8_t> out = get<uint8_t>(rig, kR, pack8(r, std::vector<uint8_t>(r.count())).size());
    for (int n = 0; n < r.n; n++)
      for (int c = 0; c < r.c; c++)
        for (int yy = 0; yy < r.h; yy++)
          for (int xx = 0; xx < r.w; xx++) {
            const i64 xv = fr::value8(x[size_t(bidx(xs, n, c, yy, xx))], x_type == FIX8B_TYPE_I8);
            const i64 yv = y[size_t(bidx(ys, n, c, yy, xx))];
            ASSERT_EQ(out[off4n(r, n, (c * r.h + yy) * r.w + xx)],
                      blob_ref(k.code, xv, yv, k.scale, k.shift, k.relu != 0, blob_first))
                << n << " " << c << " " << yy << " " << xx << ": x " << xv << " y " << yv;
          }
  }
}

INSTANTIATE_TEST_SUITE_P(All, Fix8bBinaryLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(Fix8bBinaryChecks, StoppedCalls) {
  const char *where = "firmware/layers/";
  const int shape[4] = {4, 2, 3, 4}, i8[3] = {1, 0, 1}, sg[3] = {1, 1, 1};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_const_binary_fix8b_forward_parallel(kA, kR, 2, shape, 4, BINARY_MUL, 1, 0, 0, 0, 1, 0, 1, 0, 0, n);
  }, "ASSERT_FS", where, "nodechip_const_binary_fix8b_dim4_forward_parallel", "quantized_val_b == 1");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_const_binary_fix8b_forward_parallel(kA, kR, 2, shape, 4, BINARY_DIV, 1, 0, 0, 0, 1, 0, 1, 0, 0, n);
  }, "ASSERT_FS", where, "nodechip_const_binary_fix8b_dim4_forward_parallel", "0");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_eltwise_binary_fix8b_forward_parallel(kA, kB, kR, shape, 4, 0, 0, BINARY_MUL, 3, 3, 0, 0, i8, sg, 0, n);
  }, "ASSERT_FS", where, "nodechip_eltwise_binary_with_blob_mul_forward_parallel", "scale_A == 1");
  const int unsigned_blob[3] = {1, 0, 1};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_eltwise_binary_fix8b_forward_parallel(kA, kB, kR, shape, 4, 0, 0, BINARY_ADD, 3, 3, 0, 0, i8,
                                                   unsigned_blob, 0, n);
  }, "ASSERT_FS", where, "nodechip_eltwise_binary_fix8b_forward_parallel", "is_sign[1]");
  // Five dimensions whose broadcast pattern alternates cannot merge to four.
  const int a5[5] = {2, 1, 3, 1, 5}, b5[5] = {1, 4, 1, 6, 1}, all8[3] = {1, 1, 1};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_broadcast_binary_fix8b_forward_parallel(kA, kB, kR, a5, b5, 5, 0, 0, BINARY_ADD, 1, 1, 0, 0, all8, sg, 0,
                                                     n);
  }, "ASSERT_FS", where, "nodechip_broadcast_binary_fix8b_forward_parallel", "merge_dim == 4");
  const int wide[4] = {4, 4096, 1, 1};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_const_binary_fix8b_forward_parallel(kA, kR, 2, wide, 4, BINARY_ADD, 1, 0, 0, 0, 1, 0, 1, 0, 0, n);
  }, "ASSERT_FS", where, "nodechip_const_binary_fix8b_dim4_forward_parallel", "tensor_c < 4096");
}

}  // namespace
}  // namespace zv::test
