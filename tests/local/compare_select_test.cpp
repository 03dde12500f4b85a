// Compare-select and ReLU on local slices: results against plain references
// on the chip model under every schedule, the commands each form issues, and
// the address checks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "local/local_rig.h"
#include "local/compare_select.h"
#include "ref/select_ref.h"

namespace zv::test::local {
namespace {

using er::Dim;
using er::Local;
namespace sr = zv::ref::select;

u32 fb(float v) { return er::bits(v); }

// Floats with many ties, both zeros and a NaN, so that every branch of the
// selection shows.
u32 tie_prone(Values &v) {
  static const float pool[] = {-1.5f, -0.0f, 0.0f, 0.5f, 2.0f, 2.0f, NAN};
  return fb(pool[v.below(7)]);
}

const Dim kShape{2, 3, 3, 5};  // three channels from lane 62: two lane rows

struct CmpCase {
  const char *what;
  bool a_const, b_const, c_const, d_const;
  int skip;
  bool b_is_a = false;  // B names A's tensor: every element ties
  bool y_is_a = false;  // in place (Y only)
};

TEST(MdCmp, SelectsCWhereAIsGreaterAndDElsewhere) {
  const CmpCase cases[] = {
      {"four tensors", 0, 0, 0, 0, 0},
      {"constant B of -0.0 and constant C", 0, 1, 1, 0, 0},
      {"constant A and constant D", 1, 0, 0, 1, 0},
      {"R only: Y is scratch", 0, 0, 0, 0, 2},
      {"Y only", 0, 0, 0, 0, 1},
      {"Y only, in place over A", 0, 1, 1, 1, 1, false, true},
      {"A against itself: Y = A, R = D", 0, 0, 0, 0, 0, true},
  };
  const float A_value = 0.5f, B_value = -0.0f, C_value = 3.25f, D_value = -7.0f;
  for (const CmpCase &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(5);
      const Local A = er::aligned(lane(62, 0x0), kShape), B = er::aligned(lane(62, 0x1000), kShape);
      const Local C = er::aligned(lane(62, 0x2000), kShape), D = er::aligned(lane(62, 0x3000), kShape);
      const Local Y = k.y_is_a ? A : er::aligned(lane(62, 0x4000), kShape);
      const Local R = er::aligned(lane(62, 0x5000), kShape);
      const auto a = rig.fill(A, [&] { return tie_prone(val); });
      const auto b = k.b_is_a ? a : rig.fill(B, [&] { return tie_prone(val); });
      const auto c = rig.fill(C, [&] { return val.word(); });  // the selection is bitwise
      const auto d = rig.fill(D, [&] { return val.word(); });
      if (!k.y_is_a) rig.fill(Y, [] { return 0x7fc00001u; });
      const auto r0 = rig.fill(R, [] { return 0x7fc00002u; });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        md_cmp_gen_cmd(A.addr, k.b_is_a ? A.addr : B.addr, C.addr, D.addr, Y.addr, R.addr, 2, 3, 3, 5, k.a_const,
                       k.b_const, k.c_const, k.d_const, A_value, B_value, C_value, D_value, k.skip, node);
      }));
      const auto y = rig.read(Y), r = rig.read(R);
      for (size_t i = 0; i < a.size(); i++) {
        const u32 ai = k.a_const ? fb(A_value) : a[i], bi = k.b_const ? fb(B_value) : b[i];
        const u32 ci = k.c_const ? fb(C_value) : c[i], di = k.d_const ? fb(D_value) : d[i];
        if (k.skip != 2) {
          ASSERT_EQ(y[i], er::f32_op(4, ai, bi, 0)) << "Y element " << i;
        }
        if (k.skip != 1) {
          ASSERT_EQ(r[i], sr::pick(ai, bi, ci, di)) << "R element " << i;
        } else {
          ASSERT_EQ(r[i], r0[i]) << "R written although skipped, element " << i;
        }
        if (k.b_is_a) {
          ASSERT_EQ(r[i], di);
        }
      }
    }
  }
}

TEST(MdCmp, ChecksTheSkipAndTheAddressesOfItsResults) {
  const u32 A = lane(0, 0), B = lane(0, 0x1000), C = lane(0, 0x2000), D = lane(0, 0x3000), Y = lane(0, 0x4000),
            R = lane(0, 0x5000);
  const char *skip = "result_skip == 0 || result_skip == 2 || result_skip == 1";
  const char *y_apart =
      "(A_is_constant || A_addr != Y_addr) && (B_is_constant || B_addr != Y_addr) && (C_is_constant || C_addr != "
      "Y_addr) && (D_is_constant || D_addr != Y_addr)";
  const char *r_apart =
      "(A_is_constant || A_addr != R_addr) && (B_is_constant || B_addr != R_addr) && (C_is_constant || C_addr != "
      "R_addr) && (D_is_constant || D_addr != R_addr)";
  struct Bad {
    u32 y, r;
    int skip;
    const char *condition;
  };
  const Bad bad[] = {
      {Y, R, 3, skip}, {Y, R, -1, skip}, {C, R, 0, y_apart}, {Y, D, 2, r_apart}, {Y, A, 0, r_apart}, {Y, Y, 0, "Y_addr != R_addr"},
  };
  for (const Bad &k : bad) {
    SCOPED_TRACE(k.condition);
    expect_local_assert(
        [&](cmd_id_node_t *node) {
          md_cmp_gen_cmd(A, B, C, D, k.y, k.r, 1, 1, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0, k.skip, node);
        },
        "md_cmp_gen_cmd", k.condition);
  }
  // A constant operand's address is not compared; Y only has no checks.
  EXPECT_EQ(issued([&](cmd_id_node_t *node) { md_cmp_gen_cmd(A, B, Y, D, Y, R, 1, 1, 1, 8, 0, 0, 1, 0, 0, 0, 1, 0, 0, node); }).size(),
            6u);
  EXPECT_EQ(issued([&](cmd_id_node_t *node) { md_cmp_gen_cmd(A, B, C, D, A, A, 1, 1, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 1, node); }).size(),
            1u);
}

struct LiteCase {
  const char *what;
  bool a_const, b_const;
  float C_value, D_value;
  int skip;
  int y_alias;  // 0 apart, 1 Y is A, 2 Y is B
  size_t commands;
};

TEST(MdCmpLite, SelectsTheConstantsBitForBit) {
  const LiteCase cases[] = {
      {"C and D that a float difference would round", 0, 0, 0.1f, 3.0f, 0, 0, 3},
      {"D of 0.0: no second command", 0, 0, 1.0f, 0.0f, 0, 0, 2},
      {"D of -0.0 kept", 0, 0, 1.0f, -0.0f, 0, 0, 3},
      {"infinite D", 0, 0, 2.0f, INFINITY, 0, 0, 3},
      {"Y over A: maximum after R", 0, 0, 5.0f, -1.0f, 0, 1, 3},
      {"Y over B, constant A", 1, 0, -2.5f, 4.0f, 0, 2, 3},
      {"R only", 0, 1, 7.0f, 9.0f, 2, 0, 2},
      {"Y only", 0, 0, 7.0f, 9.0f, 1, 0, 1},
  };
  const float A_value = 0.5f, B_value = 0.0f;
  for (const LiteCase &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(9);
      const Local A = er::aligned(lane(62, 0x0), kShape), B = er::aligned(lane(62, 0x1000), kShape);
      const Local Y = k.y_alias == 1 ? A : k.y_alias == 2 ? B : er::aligned(lane(62, 0x2000), kShape);
      const Local R = er::aligned(lane(62, 0x3000), kShape);
      const auto a = rig.fill(A, [&] { return tie_prone(val); });
      const auto b = rig.fill(B, [&] { return tie_prone(val); });
      const auto r0 = rig.fill(R, [] { return 0x7fc00002u; });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        md_cmp_gen_cmd_lite(A.addr, B.addr, Y.addr, R.addr, 2, 3, 3, 5, k.a_const, k.b_const, A_value, B_value,
                            k.C_value, k.D_value, k.skip, node);
      }));
      EXPECT_EQ(rig.bd_commands(), k.commands);
      const auto y = rig.read(Y), r = rig.read(R);
      for (size_t i = 0; i < a.size(); i++) {
        const u32 ai = k.a_const ? fb(A_value) : a[i], bi = k.b_const ? fb(B_value) : b[i];
        if (k.skip != 2) {
          ASSERT_EQ(y[i], er::f32_op(4, ai, bi, 0)) << "Y element " << i;
        }
        if (k.skip != 1) {
          ASSERT_EQ(r[i], sr::pick(ai, bi, fb(k.C_value), fb(k.D_value))) << "R element " << i;
        } else {
          ASSERT_EQ(r[i], r0[i]);
        }
      }
    }
  }
}

TEST(Relu, ClampsBelowAtZeroAndAboveAtAPositiveLimit) {
  struct Case {
    const char *what;
    float limit;
    bool in_place;
    size_t commands;
  };
  const Case cases[] = {
      {"limit 6", 6.0f, false, 2}, {"limit 0: no clamp", 0.0f, false, 1},
      {"negative limit: no clamp", -1.0f, false, 1}, {"in place, limit 0.25", 0.25f, true, 2},
  };
  const Dim shape{2, 3, 4, 5};
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(3);
      const Local in = er::aligned(lane(62, 0x100 * 0), shape);
      const Local out = k.in_place ? in : er::aligned(lane(62, 0x2000), shape);
      const auto x = rig.fill(in, [&] { return val.small_float(); });
      const dim4_t sh = d4(shape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_relu_forward_local(untag(in.addr), untag(out.addr), &sh, k.limit, node);
      }));
      EXPECT_EQ(rig.bd_commands(), k.commands);
      const auto y = rig.read(out);
      for (size_t i = 0; i < x.size(); i++) {
        float want = std::fmax(er::f(x[i]), 0.0f);
        if (k.limit > 0.0f) want = std::fmin(want, k.limit);
        ASSERT_EQ(er::f(y[i]), want) << "element " << i << " of " << er::f(x[i]);
      }
    }
  }
}

}  // namespace
}  // namespace zv::test::local
