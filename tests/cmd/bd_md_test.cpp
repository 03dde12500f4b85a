// The md_* commands, special functions, table lookup and vector correlation on
// the chip model against per-element references, under eager and deferred
// schedules with the happens-before checker on.
#include <gtest/gtest.h>

#include <cmath>

#include "cmd/bd_md.h"
#include "bd_rig.h"

namespace zv::test {
namespace {

using er::Dim;
using er::Local;


// Dense index of (n, c, h, w) in the fill order of BdRig::fill.
size_t at(const Dim &s, er::i64 n, er::i64 c, er::i64 h, er::i64 w) {
  return size_t(((n * s.c + c) * s.h + h) * s.w + w);
}

TEST(TpuMd, ScalarArithmetic) {
  const Dim shape{3, 67, 2, 3};
  const struct {
    const char *what;
    md_scalar_op_t op;
    int result_add, a_const, b_const;
  } cases[] = {
      {"add", MD_SCALAR_ADD, 0, 0, 0},
      {"constant minus tensor", MD_SCALAR_SUB, 0, 1, 0},
      {"mul accumulated", MD_SCALAR_MUL, 1, 0, 0},
      {"div by a constant", MD_SCALAR_DIV, 0, 0, 1},
  };
  for (const auto &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(17);
      const Local A = er::aligned(lane(2, 0), shape), B = er::aligned(lane(40, 0x4000), shape);
      const Local R = er::aligned(lane(63, 0x8000), shape);
      const auto a = rig.fill(A, [&] { return val.small_float(); });
      const auto b = rig.fill(B, [&] { return val.small_float(); });
      const auto r0 = rig.fill(R, [&] { return val.small_float(); });
      const u32 ac = er::bits(2.5f), bc = er::bits(-4.0f);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_mdscalar_operation_gen_cmd_(A.addr, B.addr, R.addr, 3, 67, 2, 3, k.op, k.result_add, k.a_const,
                                           k.b_const, ac, bc, node);
      }));
      const auto r = rig.read(R);
      static const int code[4] = {2, 3, 0, 12};
      for (size_t i = 0; i < r.size(); i++) {
        const u32 x = k.a_const ? ac : a[i], y = k.b_const ? bc : b[i];
        ASSERT_EQ(r[i], er::f32_op(k.result_add ? 1 : code[k.op], x, y, r0[i])) << i;
      }
    }
}

TEST(TpuMd, SumPerChannel) {
  const Dim shape{3, 70, 2, 5};
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Values val(19);
    const Local A = er::aligned(lane(5, 0), shape), Y = er::aligned(lane(5, 0x8000), Dim{1, 70, 1, 1});
    const auto a = rig.fill(A, [&] { return val.small_float(); });
    const auto y0 = rig.fill(Y, [&] { return val.small_float(); });
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { atomic_md_sum_gen_cmd(A.addr, Y.addr, 3, 70, 2, 5, 1, node); }));
    const auto y = rig.read(Y);
    for (er::i64 c = 0; c < 70; c++) {
      float sum = 0;
      for (er::i64 n = 0; n < 3; n++)
        for (er::i64 h = 0; h < 2; h++)
          for (er::i64 w = 0; w < 5; w++) sum += er::f(a[at(shape, n, c, h, w)]);
      ASSERT_EQ(er::f(y[c]), er::f(y0[c]) + sum) << c;
    }
  }
}

TEST(TpuMd, CompareSelectsDOnTies) {
  const Dim shape{2, 3, 1, 8};
  // A against B: greater, equal, smaller; signed zeros compare equal.
  const float as[] = {2, 1, -1, -0.0f, 0, 3, -7, 5};
  const float bs[] = {1, 1, 0, 0, -0.0f, 3, -8, 6};
  const struct {
    const char *what;
    int mode;
    bool max, select, b_const, c_const, a_const;
  } cases[] = {
      {"both results", 3, true, true, false, false, false},
      {"max only", 1, true, false, false, false, false},
      {"select only, constant C", 2, false, true, false, true, false},
      {"both, constant B", 0, true, true, true, false, false},
      // 1.9375f has every start-lane bit set: the strides come from B.
      {"both, constant A", 0, true, true, false, false, true},
  };
  for (const auto &k : cases)
    for (const Sched &s : {all_schedules()[0], all_schedules()[2]}) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(23);
      const Local A = er::aligned(lane(0, 0), shape), B = er::aligned(lane(0, 0x1000), shape);
      const Local C = er::aligned(lane(0, 0x2000), shape), D = er::aligned(lane(0, 0x3000), shape);
      const Local R0 = er::aligned(lane(0, 0x4000), shape), R1 = er::aligned(lane(0, 0x5000), shape);
      size_t i = 0;
      const auto a = rig.fill(A, [&] { return er::bits(as[i++ % 8]); });
      i = 0;
      const auto b = rig.fill(B, [&] { return er::bits(bs[i++ % 8]); });
      const auto c = rig.fill(C, [&] { return val.word(); });
      const auto d = rig.fill(D, [&] { return val.word(); });
      const auto r0_before = rig.fill(R0, [&] { return val.word(); });
      const auto r1_before = rig.fill(R1, [&] { return val.word(); });
      const u32 ac = er::bits(1.9375f), bc = er::bits(1.0f), cc = 0x12345678;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_md_cmp_gen_cmd(k.a_const ? ac : A.addr, k.b_const ? bc : B.addr, C.addr, D.addr, R0.addr, R1.addr, 2,
                              3, 1, 8, k.a_const, k.b_const, k.c_const, 0, 0, 0, cc, 0, k.mode, node);
      }));
      const auto r0 = rig.read(R0), r1 = rig.read(R1);
      for (size_t j = 0; j < r0.size(); j++) {
        const u32 av = k.a_const ? ac : a[j], bv = k.b_const ? bc : b[j];
        const bool greater = er::f(av) > er::f(bv);
        EXPECT_EQ(r0[j], k.max ? (greater ? av : bv) : r0_before[j]) << j;
        EXPECT_EQ(r1[j], k.select ? (greater ? (k.c_const ? cc : c[j]) : d[j]) : r1_before[j]) << j;
      }
    }
}

TEST(TpuMd, ConstantAGivesNoLaneToTheLayout) {
  // 1.9375f has every start-lane bit set; read as a lane, it would add a row
  // to each item's stride (and overflow the field for large slices).
  bd_desc_t d, want;
  bd_md_cmp_compose(&d, er::bits(1.9375f), 0x08000000, 0, 0, 0x08010000, 0x08020000, 2, 64, 16, 16, 1, 0, 0, 0, 0, 0, 0);
  bd_md_cmp_compose(&want, 0x08000000, 0x08000000, 0, 0, 0x08010000, 0x08020000, 2, 64, 16, 16, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(bd_desc_get(&d, BD_OPD0_NSTRIDE), bd_desc_get(&want, BD_OPD0_NSTRIDE));
  EXPECT_EQ(bd_desc_get(&d, BD_OPD0_NSTRIDE), 256u);
}

TEST(TpuMd, SpecialFunctions) {
  const Dim shape{2, 66, 1, 7};
  // Values around every case: zeros, denormals, powers of two, halves, large.
  const float xs[] = {4.0f, 0.25f, 2.5f, -2.5f, 1e-40f, -0.0f, 3e38f, 0.7f, -3.99f, 1.5f, 100.0f, -1e10f};
  const struct {
    const char *what;
    sfu_op_t op;
  } cases[] = {{"rsqrt", SFU_RSQ}, {"norm a", SFU_NORMA}, {"norm b", SFU_NORMB}, {"float to int", SFU_F2I}};
  for (const auto &k : cases)
    for (const Sched &s : {all_schedules()[0], all_schedules()[3]}) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      const Local A = er::aligned(lane(9, 0), shape), Y = er::aligned(lane(9, 0x8000), shape);
      size_t i = 0;
      const auto a = rig.fill(A, [&] { return er::bits(k.op == SFU_RSQ ? std::fabs(xs[i++ % 12]) : xs[i++ % 12]); });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { atomic_md_sfu_gen_cmd_(A.addr, Y.addr, 2, 66, 1, 7, 0, k.op, 0, node); }));
      const auto y = rig.read(Y);
      for (size_t j = 0; j < y.size(); j++) {
        const u32 want = k.op == SFU_RSQ     ? er::rsqrt(a[j])
                         : k.op == SFU_NORMA ? er::norm_a(a[j])
                         : k.op == SFU_NORMB ? er::norm_b(a[j])
                                             : (std::fabs(er::f(a[j])) < 2e9f ? er::f2i(a[j])
                                                                             : (er::f(a[j]) < 0 ? 0x80000000u : 0x7fffffffu));
        ASSERT_EQ(y[j], want) << er::f(a[j]);
      }
      if (k.op == SFU_NORMA) {
        // x / NORMA(x) is the mantissa in [1, 2) for normal x.
        for (size_t j = 0; j < y.size(); j++) {
          const float m = er::f(a[j]) / er::f(y[j]), x = er::f(a[j]);
          if (std::isnormal(x) && std::isfinite(x)) {
            EXPECT_TRUE(std::fabs(m) >= 1 && std::fabs(m) < 2) << x;
          }
        }
      }
    }
}

TEST(TpuMd, TaylorPolynomialReadsItsCoefficients) {
  const Dim shape{1, 3, 2, 4};
  const std::vector<float> coef = {0.5f, -1.0f, 0.25f, 2.0f, -0.125f};
  for (const bool local_table : {false, true}) {
    SCOPED_TRACE(local_table ? "coefficients in every lane" : "coefficients in static memory");
    BdRig rig;
    Values val(29);
    const u32 table = local_table ? lane(0, 0x7000) : 0x3ff000;
    for (size_t i = 0; i < coef.size(); i++) {
      if (local_table)
        for (u32 l = 0; l < 3; l++) rig.put(er::kLocal + l * er::kLane + 0x7000 + 4 * i, er::bits(coef[i]));
      else
        rig.chip().l2.store32(0x10000000 + table + 4 * i, er::bits(coef[i]));
    }
    const Local A = er::aligned(lane(0, 0), shape), Y = er::aligned(lane(0, 0x1000), shape);
    const auto a = rig.fill(A, [&] { return val.small_float(); });
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_md_sfu_gen_cmd(A.addr, Y.addr, 1, 3, 2, 4, int(coef.size()), SFU_TAILOR, table, node);
    }));
    const auto y = rig.read(Y);
    for (size_t j = 0; j < y.size(); j++) ASSERT_EQ(y[j], er::poly(coef, a[j])) << j;
  }
}

TEST(TpuMd, LinearModes) {
  const Dim shape{2, 70, 1, 3};
  const struct {
    const char *what;
    int mode, b_const, c_const, result_add;
  } cases[] = {
      {"A x C + B, vectors", 0, 0, 0, 0},
      {"A x C + B, constants, accumulated", 0, 1, 1, 1},
      {"(A + B) x C", 1, 0, 1, 0},
      {"(A - B) x C", 2, 1, 0, 0},
  };
  for (const auto &k : cases)
    for (const Sched &s : {all_schedules()[0], all_schedules()[1]}) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(31);
      const Local A = er::aligned(lane(0, 0), shape), Y = er::aligned(lane(0, 0x2000), shape);
      // Per-channel vectors: one float per channel, one word per lane row.
      const Local B{lane(6, 0x4000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}};
      const Local C{lane(0, 0x5000), Dim{1, 70, 1, 1}, Dim{0, 1, 0, 0}};
      const auto a = rig.fill(A, [&] { return val.small_float(); });
      const auto b = rig.fill(B, [&] { return val.small_float(); });
      const auto c = rig.fill(C, [&] { return val.small_float(); });
      const auto y0 = rig.fill(Y, [&] { return val.small_float(); });
      const u32 bc = er::bits(0.5f), cc = er::bits(-3.0f);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_md_linear_gen_cmd(A.addr, B.addr, C.addr, Y.addr, 2, 70, 1, 3, k.b_const, k.c_const, bc, cc,
                                 k.result_add, k.mode, node);
      }));
      const auto y = rig.read(Y);
      for (er::i64 n = 0; n < 2; n++)
        for (er::i64 ch = 0; ch < 70; ch++)
          for (er::i64 w = 0; w < 3; w++) {
            const size_t i = at(shape, n, ch, 0, w);
            const float x = er::f(a[i]), bv = er::f(k.b_const ? bc : b[ch]), cv = er::f(k.c_const ? cc : c[ch]);
            float want = k.mode == 0 ? x * cv + bv : k.mode == 1 ? (x + bv) * cv : (x - bv) * cv;
            if (k.result_add) want = er::f(y0[i]) + want;
            ASSERT_EQ(er::f(y[i]), want) << n << "," << ch << "," << w;
          }
    }
}

TEST(TpuMd, TableLookupByLowByte) {
  const Dim shape{2, 65, 1, 5};
  for (const int prec : {0, 1})
    for (const Sched &s : {all_schedules()[0], all_schedules()[2]}) {
      SCOPED_TRACE("prec " + std::to_string(prec) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(37);
      // The float of each byte value, from the static tables.
      const u32 table = 0x300f00;
      // 32-bit indices in the aligned float layout; byte indices in the 8-bit
      // one (planes of 128 bytes, lane rows 128 bytes apart).
      const Local I = er::aligned(lane(0, 0), shape);
      const Local R = er::aligned(lane(0, 0x8000), shape);
      std::vector<u32> idx;
      for (er::i64 n = 0; n < 2; n++)
        for (er::i64 c = 0; c < 65; c++)
          for (er::i64 w = 0; w < 5; w++) {
            idx.push_back(val.word() & (prec ? 0xffffffffu : 0xffu));
            const u64 addr = prec ? I.at(n, c, 0, w)
                                  : er::kLocal + u64((c % 64)) * er::kLane + (c / 64) * 128 + n * 256 + w;
            rig.put(addr, idx.back(), prec ? 4 : 1);
          }
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_table_lookup_gen_cmd_(table, I.addr, R.addr, 2, 65, 1, 5, 256, prec, node);
      }));
      const auto r = rig.read(R);
      for (size_t j = 0; j < r.size(); j++) ASSERT_EQ(er::f(r[j]), float(idx[j] & 0xff)) << j;
    }
}

TEST(TpuMd, VectorCorrelationPairsEveryElement) {
  const struct {
    vec_corr_op_t op;
    bool ints;
  } cases[] = {{VEC_CORR_MUL, false}, {VEC_CORR_SUB, false}, {VEC_CORR_MAX, false}, {VEC_CORR_DIV, false},
               {VEC_CORR_XOR, true}};
  for (const auto &k : cases) {
    SCOPED_TRACE(int(k.op));
    BdRig rig(all_schedules()[1]);
    Values val(41);
    const Dim xs{1, 3, 1, 4};
    const Local X = er::aligned(lane(0, 0), xs);
    const Local Y{lane(5, 0x1000), Dim{1, 1, 1, 6}, Dim{0, 0, 0, 1}};
    const Local Z = er::aligned(lane(0, 0x2000), Dim{1, 12, 1, 6});
    auto gen = [&] { return k.ints ? val.word() : val.small_float(); };
    const auto x = rig.fill(X, gen);
    const auto y = rig.fill(Y, gen);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_vec_correlation_gen_cmd(X.addr, Y.addr, Z.addr, 3, 4, 6, 12, 6, k.op, node);
    }));
    const auto z = rig.read(Z);
    for (size_t r = 0; r < 12; r++)
      for (size_t j = 0; j < 6; j++)
        ASSERT_EQ(z[r * 6 + j], k.ints ? er::i32_op(int(k.op), x[r], y[j], false) : er::f32_op(int(k.op), x[r], y[j], 0))
            << r << "," << j;
  }
}

}  // namespace
}  // namespace zv::test
