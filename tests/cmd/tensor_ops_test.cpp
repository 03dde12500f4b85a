// The basic tensor operations on the chip model: the one-command operations
// against per-element references, the copy that issues nothing, loads and
// saves, the index sequence, and exp and log built from the static tables the
// way the math routines build them.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "cmd/tensor_ops.h"
#include "bd_rig.h"

namespace zv::test {
namespace {

using er::Dim;
using er::Local;

constexpr u64 kDdr = 0x100000000ull;

// An operation on untagged local offsets A (operand), B (second operand) and R
// (result), and the value it gives for one element.
struct OneOp {
  const char *what;
  std::function<void(u32 A, u32 B, u32 R, const dim4_t *shape, cmd_id_node_t *node)> issue;
  std::function<u32(u32 a, u32 b, u32 r)> want;
  bool ints = false;
};

u32 fb(float v) { return er::bits(v); }

TEST(TensorOps, OneCommandOperationsMatchTheReference) {
  const u32 K = fb(1.5f), M = 0x0f0f00ffu;
  const std::vector<OneOp> ops = {
      {"i32 not", [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_not(A, R, s, nullptr, n); },
       [](u32 a, u32, u32) { return ~a; }, true},
      {"i32 and", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_and(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return a & b; }, true},
      {"i32 or", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_or(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return a | b; }, true},
      {"i32 xor", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_xor(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return a ^ b; }, true},
      {"i32 const and",
       [&](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_const_and(A, M, R, s, nullptr, n); },
       [&](u32 a, u32, u32) { return a & M; }, true},
      {"i32 const or",
       [&](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_const_or(A, M, R, s, nullptr, n); },
       [&](u32 a, u32, u32) { return a | M; }, true},
      {"i32 const xor",
       [&](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_const_xor(A, M, R, s, nullptr, n); },
       [&](u32 a, u32, u32) { return a ^ M; }, true},
      {"i32 const shift right",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_const_shift(A, u32(-8), R, s, nullptr, n); },
       [](u32 a, u32, u32) { return a >> 8; }, true},
      {"i32 const shift left",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_const_shift(A, 23, R, s, nullptr, n); },
       [](u32 a, u32, u32) { return a << 23; }, true},
      {"f32 add", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_add(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return fb(er::f(a) + er::f(b)); }},
      {"f32 prod", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_prod(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return fb(er::f(a) * er::f(b)); }},
      {"f32 max", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_max(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return er::f32_op(4, a, b, 0); }},
      {"f32 min", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_min(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return er::f32_op(5, a, b, 0); }},
      {"f32 mac", [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_mac(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32 r) { return fb(er::f(r) + er::f(a) * er::f(b)); }},
      {"f32 eltwise sub",
       [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_eltwise_binary(A, B, R, TENSOR_OP_SUB, s, nullptr, n);
       },
       [](u32 a, u32 b, u32) { return fb(er::f(a) - er::f(b)); }},
      {"f32 const eltwise div",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_eltwise_binary(A, R, TENSOR_OP_DIV, 4.0f, s, nullptr, n);
       },
       [](u32 a, u32, u32) { return fb(er::f(a) / 4.0f); }},
      {"f32 const prod",
       [&](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_const_prod(A, K, R, s, nullptr, n); },
       [&](u32 a, u32, u32) { return fb(er::f(a) * 1.5f); }},
      {"f32 const max",
       [&](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_const_max(A, K, R, s, nullptr, n); },
       [&](u32 a, u32, u32) { return er::f32_op(4, a, K, 0); }},
      {"f32 const min",
       [&](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_const_min(A, K, R, s, nullptr, n); },
       [&](u32 a, u32, u32) { return er::f32_op(5, a, K, 0); }},
      {"f32 const mac",
       [&](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_const_mac(A, K, R, s, nullptr, n); },
       [&](u32 a, u32, u32 r) { return fb(er::f(r) + er::f(a) * 1.5f); }},
      {"f32 const assign",
       [](u32, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_const_assign(R, 0xdeadbeef, s, nullptr, n); },
       [](u32, u32, u32) { return 0xdeadbeefu; }},
      {"copy", [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_copy(A, R, s, nullptr, n); },
       [](u32 a, u32, u32) { return a; }, true},
      {"f32 const equal assign",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_equal_assign(A, fb(1.0f), R, 0xffffffff, s, nullptr, n);
       },
       [](u32 a, u32, u32) { return a == fb(1.0f) ? 0xffffffffu : 0u; }},
      {"i32 equal assign",
       [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_i32_equal_assign(A, B, R, 7, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return a == b ? 7u : 0u; }},
      {"f32 const greater assign",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_greater_assign(A, fb(0.5f), R, fb(2.0f), s, nullptr, n);
       },
       [](u32 a, u32, u32) { return er::f(a) > 0.5f ? fb(2.0f) : 0u; }},
      {"f32 const less assign",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_less_assign(A, fb(0.5f), R, fb(-1.0f), s, nullptr, n);
       },
       [](u32 a, u32, u32) { return er::f(a) < 0.5f ? fb(-1.0f) : 0u; }},
      {"aligned div",
       [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_aligned_div(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return fb(er::f(a) / er::f(b)); }},
      {"aligned sub",
       [](u32 A, u32 B, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_aligned_sub(A, B, R, s, nullptr, n); },
       [](u32 a, u32 b, u32) { return fb(er::f(a) - er::f(b)); }},
      {"const aligned sub: A - 1",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_aligned_sub(A, fb(1.0f), R, s, nullptr, n);
       },
       [](u32 a, u32, u32) { return fb(er::f(a) - 1.0f); }},
      {"const aligned sub inversed: 1 - A",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_aligned_sub_inversed(A, fb(1.0f), R, s, nullptr, n);
       },
       [](u32 a, u32, u32) { return fb(1.0f - er::f(a)); }},
      {"const aligned div inversed: 3 / A",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_aligned_div_inversed(A, fb(3.0f), R, s, nullptr, n);
       },
       [](u32 a, u32, u32) { return fb(3.0f / er::f(a)); }},
      {"const aligned mul",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_f32_const_aligned_mul(A, fb(-2.0f), R, s, nullptr, n);
       },
       [](u32 a, u32, u32) { return fb(er::f(a) * -2.0f); }},
      {"rsqrt of |A|",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) {
         tensor_i32_const_and(A, 0x7fffffff, A, s, nullptr, n);
         tensor_f32_rsqrt(A, R, s, nullptr, n);
       },
       [](u32 a, u32, u32) { return er::rsqrt(a & 0x7fffffff); }},
      {"norm a", [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_norm_a(A, R, s, nullptr, n); },
       [](u32 a, u32, u32) { return er::norm_a(a); }},
      {"norm b", [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_f32_norm_b(A, R, s, nullptr, n); },
       [](u32 a, u32, u32) { return er::norm_b(a); }},
      {"u8 lookup of the byte floats",
       [](u32 A, u32, u32 R, const dim4_t *s, cmd_id_node_t *n) { tensor_u8_lookup(A, R, 0x300f00, 256, s, nullptr, n); },
       [](u32 a, u32, u32) { return fb(float(a & 0xff)); }, true},
  };
  const Dim shape{2, 70, 3, 5};
  const dim4_t sh = {2, 70, 3, 5};
  // Untagged offsets with their lane fields.
  const u32 A = 60u << 19 | 0x100, B = 60u << 19 | 0x4000, R = 60u << 19 | 0x8000;
  for (const OneOp &op : ops)
    for (const Sched &s : {all_schedules()[0], all_schedules()[1]}) {
      SCOPED_TRACE(std::string(op.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(43);
      const Local a_t = er::aligned(kTag | A, shape), b_t = er::aligned(kTag | B, shape);
      const Local r_t = er::aligned(kTag | R, shape);
      auto gen = [&] {
        if (op.ints) return val.word();
        const u32 v = val.small_float();
        return v == 0 ? fb(1.0f) : v;  // no zero divisors
      };
      const auto a = rig.fill(a_t, gen);
      const auto b = rig.fill(b_t, gen);
      const auto r0 = rig.fill(r_t, gen);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { op.issue(A, B, R, &sh, node); }));
      const auto r = rig.read(r_t);
      for (size_t i = 0; i < r.size(); i++) ASSERT_EQ(r[i], op.want(a[i], b[i], r0[i])) << "element " << i;
    }
}

TEST(TensorOps, CopyOntoItselfIssuesNothing) {
  BdRig rig;
  const dim4_t sh = {1, 3, 2, 2};
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { tensor_copy(0x100, 0x100, &sh, nullptr, node); }));
  EXPECT_EQ(rig.ids().bd_cmd_id, 0u);
  EXPECT_EQ(rig.bd_commands(), 0u);
}

TEST(TensorOps, LoadsAndSavesKeepTheLane) {
  const dim4_t sh = {2, 70, 3, 5};
  const size_t count = 2 * 70 * 3 * 5;
  for (const int eu_align : {0, 1})
    for (const Sched &s : {all_schedules().front(), all_schedules().back()}) {
      SCOPED_TRACE(std::string(eu_align ? "aligned" : "compact") + ", " + sched_text(s));
      BdRig rig(s);
      Values val(47);
      std::vector<u32> data(count);
      for (auto &v : data) v = val.word();
      rig.chip().ddr.store(kDdr, data.data(), 4 * count);
      const u32 local = 5u << 19 | 0x400;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        tensor_simple_load(local, kDdr, 0, eu_align, &sh, node);
        tensor_simple_save(local, kDdr + 0x10000, 0, eu_align, &sh, node);
        // A strided load and save with only the global side given.
        const dim4_t gs = {70 * 15, 15, 5, 1};
        tensor_general_load(local + 0x20000, kDdr, 0, eu_align, &sh, nullptr, &gs, node);
        tensor_general_save(local + 0x20000, kDdr + 0x20000, 0, eu_align, &sh, nullptr, &gs, node);
      }));
      std::vector<u32> back(count), back2(count);
      rig.chip().ddr.load(kDdr + 0x10000, back.data(), 4 * count);
      rig.chip().ddr.load(kDdr + 0x20000, back2.data(), 4 * count);
      EXPECT_EQ(back, data);
      EXPECT_EQ(back2, data);
      // Channel 0 of the loaded tensor starts in lane 5.
      EXPECT_EQ(rig.get(er::kLocal + 5 * er::kLane + 0x400), data[0]);
      const Dim d{2, 70, 3, 5};
      const Local t{kTag | local, d, eu_align ? er::aligned_strides(d, kTag | local) : Dim{2 * 15, 15, 5, 1}};
      EXPECT_EQ(rig.get(t.at(1, 69, 2, 4)), data.back());
    }
}

TEST(TensorOps, SerialNumbers) {
  const struct {
    int C, len, to_global;
  } cases[] = {{64, 32, 0}, {64, 32, 1}, {64, 33, 0}, {64, 33, 1}, {64, 100, 0}, {64, 100, 1}, {5, 100, 1}, {3, 7, 0}};
  for (const auto &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("C " + std::to_string(k.C) + " len " + std::to_string(k.len) + (k.to_global ? " global, " : " local, ") +
                   sched_text(s));
      BdRig rig(s);
      const u32 local = 0x1000, scratch = 0x20000;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_serial_number_gen(kDdr + 0x100, local, scratch, k.to_global, k.C, k.len, node);
      }));
      for (int c = 0; c < k.C; c++)
        for (int i = 0; i < k.len; i++) {
          const float want = float(c * k.len + i);
          const float got = k.to_global ? er::f(rig.chip().ddr.load32(kDdr + 0x100 + 4 * (c * k.len + i)))
                                        : rig.getf(er::kLocal + c * er::kLane + local + 4 * i);
          ASSERT_EQ(got, want) << c << "," << i;
        }
    }
}

// ---- exp and log from the static tables ----

// The float exponential as the math routines build it: clamp to [-103, 88];
// k = F2I(x); e^k by lookup; f = x - k; e^f - 1 by the series; (1 + that) e^k.
void issue_exp(u32 x, u32 y, u32 b0, const dim4_t *sh, cmd_id_node_t *n) {
  tensor_f32_const_min(x, fb(88.0f), y, sh, nullptr, n);
  tensor_f32_const_max(y, fb(-103.0f), x, sh, nullptr, n);
  atomic_md_sfu_gen_cmd_(kTag | x, kTag | y, sh->n, sh->c, sh->h, sh->w, 0, SFU_F2I, 0, n);
  tensor_u8_lookup(y, b0, 0x300400, 256, sh, nullptr, n);
  atomic_table_lookup_gen_cmd_(0x301300, kTag | y, kTag | y, sh->n, sh->c, sh->h, sh->w, 256, 1, n);
  tensor_f32_aligned_sub(x, y, y, sh, nullptr, n);
  tensor_f32_taylor(y, y, 0x300c00, 32, sh, nullptr, n);
  tensor_f32_const_aligned_add(y, fb(1.0f), y, sh, nullptr, n);
  tensor_f32_aligned_mul(y, b0, y, sh, nullptr, n);
}

// The float logarithm likewise: x = m 2^e; ln 2^e by lookup of NORMB's byte;
// ln m = ln(1 + t) by the fitted series.
void issue_log(u32 x, u32 y, u32 b0, const dim4_t *sh, cmd_id_node_t *n) {
  tensor_f32_const_min(x, fb(FLT_MAX), b0, sh, nullptr, n);
  tensor_f32_const_max(b0, fb(FLT_MIN), x, sh, nullptr, n);
  tensor_f32_norm_a(x, b0, sh, nullptr, n);
  tensor_f32_aligned_div(x, b0, y, sh, nullptr, n);
  tensor_f32_norm_b(b0, x, sh, nullptr, n);
  tensor_u8_lookup(x, b0, 0x300800, 256, sh, nullptr, n);
  tensor_f32_const_aligned_sub(y, fb(1.0f), x, sh, nullptr, n);
  tensor_f32_taylor(x, y, 0x300d00, 32, sh, nullptr, n);
  tensor_f32_aligned_add(y, b0, x, sh, nullptr, n);
  tensor_copy(x, y, sh, nullptr, n);
}

TEST(StaticTables, ExpAndLogAgreeWithLibm) {
  const dim4_t sh = {1, 64, 1, 32};
  const Dim shape{1, 64, 1, 32};
  const u32 x = 0x0, y = 0x1000, b0 = 0x2000;
  const Local xt = er::aligned(kTag | x, shape), yt = er::aligned(kTag | y, shape);
  const size_t count = 64 * 32;
  struct Fn {
    const char *what;
    void (*issue)(u32, u32, u32, const dim4_t *, cmd_id_node_t *);
    std::function<float(size_t)> grid;
    double (*ref)(double);
  } fns[] = {
      {"exp on [-87, 88]", issue_exp, [&](size_t i) { return -87.0f + 175.0f * float(i) / float(count - 1); }, std::exp},
      {"log from 1e-37 to 3e38", issue_log,
       [&](size_t i) { return float(std::exp(-85.0 + 173.0 * double(i) / double(count - 1))); }, std::log},
      {"log on [0.5, 2]", issue_log, [&](size_t i) { return 0.5f + 1.5f * float(i) / float(count - 1); }, std::log},
  };
  for (const Fn &fn : fns) {
    SCOPED_TRACE(fn.what);
    BdRig rig(deferred_schedules().back());
    size_t i = 0;
    const auto in = rig.fill(xt, [&] { return fb(fn.grid(i++)); });
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { fn.issue(x, y, b0, &sh, node); }));
    const auto out = rig.read(yt);
    for (size_t j = 0; j < count; j++) {
      const double want = fn.ref(double(er::f(in[j])));
      const double err = std::fabs(double(er::f(out[j])) - want) / std::max(std::fabs(want), 1.0);
      ASSERT_LT(err, 1e-6) << er::f(in[j]) << " gives " << er::f(out[j]) << ", libm " << want;
    }
  }
}

TEST(StaticTables, LoadedAtChipStart) {
  chip::Chip c;
  auto at = [&](u32 offset) { return er::f(c.l2.load32(0x10000000 + offset)); };
  EXPECT_EQ(at(0x300000 + 4 * 0xfd), -3.0f) << "signed byte";
  EXPECT_FLOAT_EQ(at(0x300400 + 4 * 0xff), std::exp(-1.0f));
  EXPECT_FLOAT_EQ(at(0x300800 + 4 * 130), 3 * std::log(2.0f));
  EXPECT_EQ(at(0x300c00 + 4), 1.0f);
  EXPECT_EQ(at(0x300d00), 0.0f) << "ln 1 is exactly 0";
  EXPECT_EQ(at(0x300f00 + 4 * 200), 200.0f);
  EXPECT_EQ(at(0x301300 + 4 * 200), -56.0f);
  EXPECT_EQ(at(0x301700 + 4 * 3), float(-1.0 / 6));
  EXPECT_EQ(at(0x301800 + 4 * 2047), 2047.0f) << "index sequence";
  // The arcsin and sine series against libm inside their ranges.
  std::vector<float> asin_c(64), sin_c(64);
  for (int k = 0; k < 64; k++) {
    asin_c[k] = at(0x300e00 + 4 * k);
    sin_c[k] = at(0x301700 + 4 * k);
  }
  for (float v = -0.9f; v <= 0.9f; v += 0.01f) EXPECT_NEAR(er::f(er::poly(asin_c, fb(v))), std::asin(v), 1e-4) << v;
  for (float v = -3.14f; v <= 3.14f; v += 0.01f) EXPECT_NEAR(er::f(er::poly(sin_c, fb(v))), std::sin(v), 1e-6) << v;
}

}  // namespace
}  // namespace zv::test
