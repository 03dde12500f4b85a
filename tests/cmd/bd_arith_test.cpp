// Tensor arithmetic on the chip model against per-element references: float32
// and int32 operations with constants, broadcasting, strides and start lanes,
// the select and shift forms, the cut pieces, and the fixed-point form on 8-bit
// and 16-bit data; every case under eager and deferred schedules with the
// happens-before checker on.
#include <gtest/gtest.h>

#include "cmd/bd_arith.h"
#include "bd_rig.h"

namespace zv::test {
namespace {

using er::Dim;
using er::Local;


struct FloatCase {
  const char *what;
  tensor_op_t op;
  bool ints;  // operands are random 32-bit words
  int a_const, b_const, bn, bh, bw;
  int result_add = 0;
};

TEST(TpuArith, FloatAndInt32OperationsMatchTheReference) {
  const FloatCase cases[] = {
      {"mul", TENSOR_OP_MUL, false, 0, 0, 0, 0, 0},
      {"mul with result add accumulates", TENSOR_OP_MUL, false, 0, 0, 0, 0, 0, 1},
      {"mac, B broadcast along n and w", TENSOR_OP_MAC, false, 0, 0, 1, 0, 1},
      {"add of a constant A", TENSOR_OP_ADD, false, 1, 0, 0, 0, 0},
      {"sub, B broadcast along h", TENSOR_OP_SUB, false, 0, 0, 0, 1, 0},
      {"max with a constant", TENSOR_OP_MAX, false, 0, 1, 0, 0, 0},
      {"min, B broadcast along n, h and w", TENSOR_OP_MIN, false, 0, 0, 1, 1, 1},
      {"div", TENSOR_OP_DIV, false, 0, 0, 0, 0, 0},
      {"copy", TENSOR_OP_COPY, true, 0, 0, 0, 0, 0},
      {"and", TENSOR_OP_AND, true, 0, 0, 0, 0, 0},
      {"or with a constant", TENSOR_OP_OR, true, 0, 1, 0, 0, 0},
      {"xor, B broadcast along h", TENSOR_OP_XOR, true, 0, 0, 0, 1, 0},
      {"logical shift by counts in -40..40", TENSOR_OP_SHIFT, true, 0, 0, 0, 0, 0},
  };
  const Dim shape{2, 70, 3, 5};
  for (const FloatCase &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(7);
      // A from lane 60 (three lane rows), B from lane 3, R from lane 60 with
      // padded rows.
      const Local A{lane(60, 0x100), shape, er::aligned_strides(shape, lane(60, 0))};
      const Dim bshape{k.bn ? 1 : shape.n, shape.c, k.bh ? 1 : shape.h, k.bw ? 1 : shape.w};
      const Local B{lane(3, 0x8000), bshape, Dim{64, 32, 5, 1}};
      const Local R{lane(60, 0x10000), shape, Dim{120, 40, 8, 1}};
      auto gen = [&] {
        if (k.op == TENSOR_OP_SHIFT) return u32(int(val.below(81)) - 40);
        return k.ints ? val.word() : val.small_float();
      };
      const auto a = rig.fill(A, [&] { return k.ints ? val.word() : val.small_float(); });
      const auto b = rig.fill(B, gen);
      const auto r0 = rig.fill(R, [&] { return val.small_float(); });
      const u32 a_value = val.small_float(), b_value = k.ints ? val.word() : val.small_float();
      const dim4_t sh = d4(shape), as = d4(A.stride), bs = d4(B.stride), rs = d4(R.stride);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_tensor_arithmetic_gen_cmd(A.addr, B.addr, R.addr, &sh, k.bn, k.bh, k.bw, &as, &bs, &rs, k.op,
                                         k.result_add, k.a_const, a_value, k.b_const, b_value, 0, node);
      }));
      const auto r = rig.read(R);
      size_t i = 0;
      for (er::i64 n = 0; n < shape.n; n++)
        for (er::i64 c = 0; c < shape.c; c++)
          for (er::i64 h = 0; h < shape.h; h++)
            for (er::i64 w = 0; w < shape.w; w++, i++) {
              const u32 av = k.a_const ? a_value : a[i];
              const size_t bi = ((k.bn ? 0 : n) * bshape.c + c) * bshape.h * bshape.w +
                                (k.bh ? 0 : h) * bshape.w + (k.bw ? 0 : w);
              const u32 bv = k.b_const ? b_value : b[bi];
              const int op = k.op == TENSOR_OP_MUL && k.result_add ? 1 : int(k.op);
              const u32 want = k.ints && k.op != TENSOR_OP_COPY ? er::i32_op(op, av, bv, false)
                                                                : er::f32_op(op, av, bv, r0[i]);
              ASSERT_EQ(r[i], want) << "element " << n << "," << c << "," << h << "," << w;
            }
    }
}

TEST(TpuArith, SelectAndShiftForms) {
  const Dim shape{1, 3, 2, 4};
  const Local A = er::aligned(lane(0, 0), shape), B = er::aligned(lane(0, 0x1000), shape);
  const Local R = er::aligned(lane(0, 0x2000), shape), R2 = er::aligned(lane(0, 0x3000), shape);
  const Local R3 = er::aligned(lane(0, 0x4000), shape);
  // Pairs with ties, signed zeros and a NaN.
  const u32 as[] = {er::bits(1), er::bits(2), er::bits(-0.0f), er::bits(0), 0x7fc00000, er::bits(-3), 5, 6};
  const u32 bs[] = {er::bits(1), er::bits(1), er::bits(0), er::bits(0), 0x7fc00000, er::bits(-2), 7, 6};
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    size_t i = 0;
    const auto a = rig.fill(A, [&] { return as[i++ % 8]; });
    i = 0;
    const auto b = rig.fill(B, [&] { return bs[i++ % 8]; });
    const dim4_t sh = d4(shape), st = d4(A.stride);
    const u32 sel = 0xabcdef01;
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_tensor_arithmetic_issue_select_gen_cmd(A.addr, B.addr, R.addr, &sh, 0, 0, 0, &st, &st, &st,
                                                    TENSOR_OP_CMP_ASSIGN, 0, 0, 0, 0, 0, sel, 0, node);
      atomic_tensor_arithmetic_issue_select_gen_cmd(A.addr, B.addr, R2.addr, &sh, 0, 0, 0, &st, &st, &st,
                                                    TENSOR_OP_EQ_ASSIGN, 0, 0, 0, 0, 0, sel, 0, node);
      // Arithmetic right shift of A's words by 3.
      atomic_tensor_arithmetic_issue_shift_gen_cmd(A.addr, 0, R3.addr, &sh, 0, 0, 0, &st, &st, &st,
                                                   TENSOR_OP_SHIFT, 0, 0, 0, 1, u32(-3), 1, 0, node);
    }));
    const auto r = rig.read(R), r2 = rig.read(R2), r3 = rig.read(R3);
    for (size_t j = 0; j < a.size(); j++) {
      EXPECT_EQ(r[j], er::cmp_assign(a[j], b[j], sel)) << j;
      EXPECT_EQ(r2[j], er::eq_assign(a[j], b[j], sel)) << j << ": equality of bit patterns";
      EXPECT_EQ(r3[j], er::i32_op(6, a[j], u32(-3), true)) << j;
    }
  }
}

TEST(TpuArith, CutPiecesCoverTheWholeTensor) {
  struct Case {
    const char *what;
    Dim shape;
    Dim astride, rstride;
    u32 a_addr, r_addr;
  } cases[] = {
      // 65519 + 81 batch items, each one word; A and R in different lanes.
      {"N of 65600", {65600, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, lane(0, 0), lane(1, 0)},
      // 4032 + 68 channels: 65 rows of lanes.
      {"C of 4100 from lane 10", {2, 4100, 1, 3}, {260, 4, 3, 1}, {390, 6, 3, 1}, lane(10, 0), lane(10, 0x4000)},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(3);
      const Local A{k.a_addr, k.shape, k.astride}, R{k.r_addr, k.shape, k.rstride};
      const auto a = rig.fill(A, [&] { return val.small_float(); });
      const dim4_t sh = d4(k.shape), as = d4(k.astride), rs = d4(k.rstride);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_tensor_arithmetic_gen_cmd(A.addr, 0, R.addr, &sh, 0, 0, 0, &as, &as, &rs, TENSOR_OP_MUL, 0, 0, 0, 1,
                                         er::bits(3.0f), 0, node);
      }));
      EXPECT_EQ(rig.ids().bd_cmd_id, 2u) << "two pieces";
      const auto r = rig.read(R);
      for (size_t i = 0; i < a.size(); i++) ASSERT_EQ(er::f(r[i]), er::f(a[i]) * 3.0f) << i;
    }
}

TEST(TpuArith, StridedCopyAcrossPieces) {
  const Dim shape{3, 4100, 1, 2};
  for (const Sched &s : {all_schedules()[0], all_schedules()[2]}) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Values val(5);
    const Local src{lane(7, 0x100), shape, Dim{400, 3, 2, 1}}, dst{lane(0, 0x8000), shape, Dim{300, 2, 2, 1}};
    const auto a = rig.fill(src, [&] { return val.word(); });
    const dim4_t sh = d4(shape), ss = d4(src.stride), ds = d4(dst.stride);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { atomic_tensor_copy_gen_cmd(src.addr, dst.addr, &sh, &ss, &ds, node); }));
    EXPECT_EQ(rig.read(dst), a);
  }
}

// ---- Fixed point ----

struct FixArgs {
  er::FixCase k;
  int shift_type = 0;
  bool b_const = false;
};

void run_fixed(const FixArgs &x, const Sched &s, u32 modes_default = 0) {
  const er::FixCase &k = x.k;
  BdRig rig(s);
  Values val(11);
  const Dim shape{5, 3, 2, 3};  // five batch items: a partial 4N group
  auto layout = [&](u32 addr, int bits) {
    const u32 size = bits / 8;
    Local t{addr, shape, modes_default ? er::aligned_strides(shape, addr) : Dim{16, 8, 3, 1}, size, 4 / size};
    return t;
  };
  const Local A = layout(lane(62, 0), k.abits), B = layout(lane(1, 0x1000), k.bbits);
  const Local R = layout(lane(62, 0x2000), k.rbits);
  auto raw = [&](int bits) { return val.word() & ((1u << bits) - 1); };
  const auto a = rig.fill(A, [&] { return raw(k.abits); });
  const auto b = rig.fill(B, [&] {
    if (k.op == 6) return u32(int(val.below(21)) - 10) & 0xffff;
    return raw(k.bbits);
  });
  const auto r0 = rig.fill(R, [&] { return raw(k.rbits); });
  const u32 b_value = k.op == 6 ? u32(-3) & 0xffff : raw(k.bbits);
  const u32 addr[4] = {A.addr, x.b_const ? b_value : B.addr, 0, R.addr}, none[4] = {};
  const u32 sign[3] = {k.asign, k.bsign, k.rsign};
  const u32 int8[4] = {k.abits == 8, k.bbits == 8, 0, k.rbits == 8};
  const u32 m = modes_default ? 0 : 3, modes[4] = {m, m, m, m}, shifts[6] = {};
  const dim4_t sh = d4(shape), as = d4(A.stride), bs = d4(B.stride), rs = d4(R.stride);
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
    atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &sh, none, &as, &bs, &rs, (tensor_op_t)k.op, 0, x.b_const,
                                           k.rshift, k.shift2, x.shift_type, sign, int8, modes, shifts, 0, node);
  }));
  const auto r = rig.read(R);
  for (size_t i = 0; i < r.size(); i++)
    ASSERT_EQ(r[i], er::fix_op(k, a[i], x.b_const ? b_value : b[i], r0[i])) << "element " << i;
}

TEST(TpuArith, FixedPointOperationsMatchTheReference) {
  // {op, A bits, B bits, R bits, A signed, B signed, R read signed, right shift, second shift}
  const FixArgs cases[] = {
      {{0, 8, 8, 16, 1, 0, 0, 0, 0}},   // signed x unsigned into 16 bits
      {{0, 8, 8, 8, 1, 1, 0, 5, 0}},    // rounded shift, saturated to signed 8 bits
      {{0, 8, 8, 8, 0, 0, 0, 3, 0}},    // unsigned result saturates at 255
      {{1, 8, 8, 16, 0, 1, 1, 4, 8}},   // MAC: R << 8 + A x B, then >> 4
      {{2, 16, 16, 8, 1, 1, 0, 2, 0}},  // 16-bit add narrowed to 8 bits
      {{3, 8, 8, 8, 0, 0, 0, 0, 0}},    // unsigned difference clamps at 0
      {{4, 8, 8, 8, 1, 1, 0, 0, 0}},
      {{5, 16, 16, 16, 0, 0, 0, 0, 0}},
      {{7, 8, 8, 8, 0, 0, 0, 0, 0}},
      {{9, 16, 16, 16, 1, 1, 0, 0, 0}},
      {{19, 8, 8, 8, 1, 1, 0, 1, 0}},  // copy with a rounding shift
      {{6, 16, 16, 16, 1, 1, 0, 0, 0}, 1},        // arithmetic shift by -10..10
      {{6, 16, 16, 16, 0, 1, 0, 2, 0}, 0},        // logical shift of unsigned data, rounded
      {{0, 8, 8, 16, 0, 1, 0, 1, 0}, 0, true},    // B a signed constant
      {{6, 16, 16, 16, 1, 1, 0, 0, 0}, 1, true},  // shift by the constant -3
  };
  for (const FixArgs &x : cases)
    for (const Sched &s : {all_schedules()[0], all_schedules()[1]}) {
      SCOPED_TRACE("op " + std::to_string(x.k.op) + " " + std::to_string(x.k.abits) + "/" +
                   std::to_string(x.k.bbits) + "->" + std::to_string(x.k.rbits) + ", " + sched_text(s));
      run_fixed(x, s);
    }
}

TEST(TpuArith, FixedPointDefaultLayout) {
  run_fixed({{2, 8, 8, 8, 1, 1, 0, 0, 0}}, all_schedules()[2], 1);
}

TEST(TpuArith, FixedPointChannelCutWithDefaultStrides) {
  // 4100 channels in the engine's default layout: every piece must step over
  // the real channel rows, not read one element for every channel.
  const Dim shape{6, 4100, 1, 2};
  for (const Sched &s : {all_schedules()[0], all_schedules()[3]}) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Values val(13);
    const Local A{lane(0, 0), shape, er::aligned_strides(shape, lane(0, 0)), 1, 4};
    const Local R{lane(0, 0x8000), shape, er::aligned_strides(shape, lane(0, 0x8000)), 1, 4};
    const auto a = rig.fill(A, [&] { return val.word() & 0xff; });
    const u32 addr[4] = {A.addr, 9, 0, R.addr}, none[4] = {}, sign[3] = {0, 0, 0}, int8[4] = {1, 1, 0, 1};
    const u32 modes[4] = {0, 0, 0, 0}, shifts[6] = {};
    const dim4_t sh = d4(shape), zero = {0, 0, 0, 0};
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &sh, none, &zero, &zero, &zero, TENSOR_OP_ADD, 0, 1, 0, 0, 0, sign,
                                             int8, modes, shifts, 0, node);
    }));
    EXPECT_EQ(rig.ids().bd_cmd_id, 3u);
    const auto r = rig.read(R);
    const er::FixCase add{2, 8, 8, 8, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < r.size(); i++) ASSERT_EQ(r[i], er::fix_op(add, a[i], 9, 0)) << i;
  }
}

}  // namespace
}  // namespace zv::test
