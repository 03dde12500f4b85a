// The element-wise generators' descriptors and plans: the words they write,
// how they cut work to the descriptor's fields, and the checks they make before
// anything reaches the window.
#include <gtest/gtest.h>

#include <cstring>

#include "cmd/tensor_ops.h"
#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "bd_rig.h"

namespace zv::test {
namespace {

using chip::Descriptor;


u32 N_of(const Descriptor &d) { return d.field(198, 16); }
u32 C_of(const Descriptor &d) { return d.field(214, 12); }
u32 H_of(const Descriptor &d) { return d.field(226, 16); }
u32 W_of(const Descriptor &d) { return d.field(242, 16); }

TEST(TpuWords, TensorArithmeticFollowsTheWordImages) {
  const dim4_t shape = {2, 70, 3, 5};
  const dim4_t as = {96, 32, 5, 1}, bs = {96, 32, 5, 1}, rs = {192, 64, 5, 1};
  struct Case {
    const char *what;
    tensor_op_t op;
    int result_add, a_const, b_const;
    u32 sub_op, prec;
  } cases[] = {
      {"float add", TENSOR_OP_ADD, 0, 0, 0, 2, 2},
      {"int32 AND writes precision 4 everywhere", TENSOR_OP_AND, 0, 0, 1, 7, 4},
      {"mul with result add becomes MAC", TENSOR_OP_MUL, 1, 1, 0, 1, 2},
      {"shift", TENSOR_OP_SHIFT, 0, 0, 1, 6, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const auto d = issued([&](cmd_id_node_t *node) {
      node->gdma_cmd_id = 0x2345;  // straddles words 0 and 1
      atomic_tensor_arithmetic_gen_cmd(kTag | 0x100, kTag | 0x200, kTag | 0x300, &shape, 0, 0, 1, &as, &bs,
                                       &rs, c.op, c.result_add, c.a_const, 0x11, c.b_const, 0x22, 0, node);
    });
    ASSERT_EQ(d.size(), 1u);
    const u32 P = c.prec;
    EXPECT_EQ(d[0].word(0), 7u | 1u << 3 | (0x2345u & 0x1fff) << 19);
    EXPECT_EQ(d[0].word(1), 0x2345u >> 13 | 3u << 5 | c.sub_op << 9 | 2u << 14 | 1u << 28);
    EXPECT_EQ(d[0].word(2), 0x10000006u | P << 3 | P << 6 | P << 9 | P << 12 | u32(c.a_const) << 15 |
                                u32(c.b_const) << 16 | 3u << 18 | 3u << 21 | 3u << 24);
    EXPECT_EQ(d[0].word(6), 2u << 6 | 70u << 22 | 0x3f);
    EXPECT_EQ(d[0].word(7), 0u | 3u << 2 | 5u << 18);
    EXPECT_EQ(d[0].word(8), 0x40040004u);
    EXPECT_EQ(d[0].field(398, 19), 192u);
    EXPECT_EQ(d[0].field(417, 19), 64u);
    EXPECT_EQ(d[0].field(436, 19), 96u);
    EXPECT_EQ(d[0].field(474, 19), 96u);
    EXPECT_EQ(d[0].word(26), 5u);
    EXPECT_EQ(d[0].word(27), 0u) << "broadcast along w";
    EXPECT_EQ(d[0].word(18), kTag | 0x300);
    EXPECT_EQ(d[0].word(19), c.a_const ? 0x11u : kTag | 0x100);
    EXPECT_EQ(d[0].word(20), c.b_const ? 0x22u : kTag | 0x200);
    EXPECT_EQ(d[0].word(21), 0u);
  }
}

TEST(TpuWords, DefaultLayoutRecordsWriteModeZeroAndOnes) {
  const dim4_t shape = {1, 4, 2, 2}, def = {-1, 0, 0, 0};
  const auto d = issued([&](cmd_id_node_t *node) {
    __atomic_tensor_arithmetic_gen_cmd(kTag, kTag, kTag, &shape, 0.0f, 0.0f, 1, 0, 0, &def, &def, &def,
                                       TENSOR_OP_SUB, 0, 0, 0, 0, node);
  });
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].field(82, 8), 0u) << "stride modes";
  EXPECT_EQ(d[0].field(398, 19), 0u);
  EXPECT_EQ(d[0].word(22), 0u);
  EXPECT_EQ(d[0].field(474, 19), 0u) << "B broadcast along n";
  EXPECT_EQ(d[0].field(493, 19), 1u);
  EXPECT_EQ(d[0].word(26), 1u);
}

TEST(TpuWords, CopySelectAndShiftForms) {
  const dim4_t shape = {1, 2, 1, 8}, s = {16, 8, 8, 1};
  auto d = issued([&](cmd_id_node_t *node) { atomic_tensor_copy_gen_cmd(kTag | 0x80, kTag, &shape, &s, &s, node); });
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].word(1), 0x14006660u);
  EXPECT_EQ(d[0].word(2), 0x106c2496u);
  EXPECT_EQ(d[0].word(18), kTag);
  EXPECT_EQ(d[0].word(19), kTag | 0x80);

  d = issued([&](cmd_id_node_t *node) {
    atomic_tensor_arithmetic_issue_select_gen_cmd(kTag, 0, kTag | 0x80, &shape, 0, 0, 0, &s, &s, &s,
                                                  TENSOR_OP_EQ_ASSIGN, 0, 0, 0, 1, 0x5, 0x3f800000, 0, node);
    atomic_tensor_arithmetic_issue_shift_gen_cmd(kTag, 0, kTag | 0x80, &shape, 0, 0, 0, &s, &s, &s,
                                                 TENSOR_OP_SHIFT, 0, 0, 0, 1, u32(-8), 1, 0, node);
  });
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].field(41, 5), 11u);
  EXPECT_EQ(d[0].field(46, 2), 3u) << "three operands";
  EXPECT_EQ(d[0].field(81, 1), 1u) << "the select value is a constant";
  EXPECT_EQ(d[0].word(21), 0x3f800000u);
  EXPECT_EQ(d[0].field(58, 1), 0u);
  EXPECT_EQ(d[1].field(58, 1), 1u) << "the shift type";
  EXPECT_EQ(d[1].field(67, 3), 4u);
  EXPECT_EQ(d[1].word(21), 0u);
}

TEST(TpuWords, FixedPointFollowsTheWordImages) {
  const dim4_t shape = {4, 3, 2, 2}, s = {4, 4, 2, 1};
  const u32 addr[4] = {kTag, 0x7f, 0, kTag | 0x400}, bcast[4] = {1, 0, 1, 0};
  const u32 sign[3] = {1, 0, 1}, int8[4] = {1, 1, 0, 0}, modes[4] = {3, 0, 0, 3}, shifts[6] = {1, 2, 3, 4, 5, 6};
  const auto d = issued([&](cmd_id_node_t *node) {
    atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, &s, &s, &s, TENSOR_OP_MAC, 0, 1, 7, 8, 1, sign,
                                           int8, modes, shifts, 0, node);
  });
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].word(1), 3u << 5 | 1u << 9 | 2u << 14 | 7u << 16 | 8u << 21 | 1u << 26);
  EXPECT_EQ(d[0].word(2), 1u | 0u << 1 | 1u << 2 | 3u << 3 | 0u << 6 | 0u << 9 | 2u << 12 | 1u << 16 | 3u << 18 |
                              3u << 21 | 0u << 24 | 1u << 28);
  const u32 slots[6] = {5, 6, 1, 2, 3, 4};  // shifts[4], [5], [0], [1], [2], [3] from bit 374
  for (int i = 0; i < 6; i++) EXPECT_EQ(d[0].field(374 + 4 * i, 4), slots[i]) << i;
  EXPECT_EQ(d[0].word(17), 1u << 8 | 1u << 6);
  EXPECT_EQ(d[0].field(474, 19), 0u) << "B's n stride under its n flag";
  EXPECT_EQ(d[0].field(493, 19), 4u) << "B's c stride stays: only the flagged dimensions broadcast";
  EXPECT_EQ(d[0].word(26), 0u);
  EXPECT_EQ(d[0].word(27), 1u);
  EXPECT_EQ(d[0].word(20), 0x7fu) << "a constant stands in its address slot";
}

TEST(TpuWords, MdFamily) {
  auto d = issued([](cmd_id_node_t *node) { local_fill_const_gen_cmd(kTag, 1, 3, 2, 2, 0x40490fdb, node); });
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].word(1), 8u << 5 | 0u << 9 | 2u << 14 | 1u << 26 | 1u << 28);
  EXPECT_EQ(d[0].word(2), 0x10002496u | 1u << 15 | 1u << 16);
  EXPECT_EQ(d[0].word(19), 0x3f800000u);
  EXPECT_EQ(d[0].word(20), 0x40490fdbu);

  d = issued([](cmd_id_node_t *node) {
    atomic_mdscalar_operation_gen_cmd(kTag, kTag, kTag, 1, 1, 1, 1, MD_SCALAR_MUL, 1, 0, 0, 0, 0, node);
    atomic_md_sfu_gen_cmd(kTag, kTag, 1, 1, 1, 1, 0, SFU_F2I, 0, node);
    atomic_md_sfu_gen_cmd(kTag, kTag, 1, 1, 1, 1, 10, SFU_TAILOR, 0x300c00, node);
    atomic_md_sum_gen_cmd(kTag, kTag, 5, 1100, 6, 7, 1, node);
    atomic_table_lookup_gen_cmd(0x300400, kTag, kTag, 1, 1, 1, 1, 33, 0, node);
    atomic_vec_correlation_gen_cmd(kTag, kTag, kTag, 3, 4, 5, 12, 5, VEC_CORR_XOR, node);
    atomic_md_linear_gen_cmd(kTag, kTag, kTag, kTag, 1, 1, 1, 1, 1, 0, 0x3f800000, 0, 1, 0, node);
  });
  ASSERT_EQ(d.size(), 7u);
  EXPECT_EQ(d[0].field(41, 5), 0u) << "mul with result add keeps op 0";
  EXPECT_EQ(d[0].field(59, 1), 1u);
  EXPECT_EQ(d[1].field(41, 5), 14u);
  EXPECT_EQ(d[1].word(2), 0x100024a6u) << "F2I writes int32 results";
  EXPECT_EQ(d[1].word(20), 0u);
  EXPECT_EQ(d[2].field(318, 12), 10u);
  EXPECT_EQ(d[2].word(20), 0x300c00u);
  EXPECT_EQ(d[3].word(6), (1100u % 1024) << 22 | 0x7f);
  EXPECT_EQ(d[3].word(7), 1100u >> 10 | 0x00040004);
  EXPECT_EQ(d[3].word(8), 5u << 2 | (6u % 4) << 30 | 0x00040000);
  EXPECT_EQ(d[3].word(9), 7u << 14 | 6u >> 2 | 0x40000000);
  EXPECT_EQ(d[4].field(342, 16), 2u) << "33 entries are two groups of 32";
  EXPECT_EQ(d[4].word(2), 0x10002416u) << "8-bit indices";
  EXPECT_EQ(d[5].word(2), 0x10002926u);
  EXPECT_EQ(d[5].word(6), 12u << 22 | 0x7f);
  EXPECT_EQ(d[5].word(7), 0u | 5u << 18 | 4);
  EXPECT_EQ(d[5].word(8), 3u << 18 | 0x40000004);
  EXPECT_EQ(d[5].word(9), 4u << 14 | 0x40000000);
  EXPECT_EQ(d[5].word(11), 5u << 6);
  EXPECT_EQ(d[6].field(41, 5), 1u);
  EXPECT_EQ(d[6].field(46, 2), 3u);
  EXPECT_EQ(d[6].word(2), 0x10002496u | 1u << 16);
  EXPECT_EQ(d[6].word(20), 0x3f800000u);
}

TEST(TpuWords, MdCmpModesAndLayoutWords) {
  const struct {
    int mode;
    u32 sub_op;
  } cases[] = {{1, 22}, {2, 23}, {0, 24}, {3, 24}};
  for (const auto &c : cases) {
    const auto d = issued([&](cmd_id_node_t *node) {
      atomic_md_cmp_gen_cmd_(kTag | 60 << 19, 0x3f800000, kTag, kTag, kTag, kTag, 2, 10, 3, 5, 0, 1, 0, 1, 0, 0,
                             0, 0x40000000, c.mode, node);
    });
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].field(41, 5), c.sub_op);
    EXPECT_EQ(d[0].field(46, 2), 0u);
    const u32 S = 2 * 32;  // lanes 60..69 take two rows of 32-element planes
    EXPECT_EQ(d[0].word(13), 2u | S << 20);
    EXPECT_EQ(d[0].word(14), S >> 12 | 32u << 7 | 1u << 26);
    EXPECT_EQ(d[0].word(17), 512u) << "D is a constant";
    EXPECT_EQ(d[0].word(24), 5u);
    EXPECT_EQ(d[0].word(20), 0x3f800000u);
    EXPECT_EQ(d[0].word(31), 0x40000000u);
  }
}

// ---- Splits ----

TEST(TpuPlan, TensorArithmeticCutsToTheFields) {
  const dim4_t s = {1, 1, 1, 1};
  auto d = issued([&](cmd_id_node_t *node) {
    const dim4_t shape = {70000, 1, 1, 1};
    atomic_tensor_arithmetic_gen_cmd(kTag, kTag | 0x1000, kTag | 0x2000, &shape, 1, 0, 0, &s, &s, &s,
                                     TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0, node);
  });
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(N_of(d[0]), 65519u);
  EXPECT_EQ(N_of(d[1]), 4481u);
  EXPECT_EQ(d[1].word(19), kTag + 65519u * 4);
  EXPECT_EQ(d[1].word(20), kTag | 0x1000) << "B broadcast along n stays";
  EXPECT_EQ(d[1].word(18), (kTag | 0x2000) + 65519u * 4);

  const dim4_t cs = {0, 2, 1, 1};
  d = issued([&](cmd_id_node_t *node) {
    const dim4_t c5000 = {1, 5000, 1, 1}, c4095 = {1, 4095, 1, 1};
    atomic_tensor_arithmetic_gen_cmd(kTag, 0, kTag | 0x1000, &c5000, 0, 0, 0, &cs, &cs, &cs, TENSOR_OP_ADD, 0, 0,
                                     0, 1, 0x3f800000, 0, node);
    atomic_tensor_arithmetic_gen_cmd(kTag, 0, kTag | 0x1000, &c4095, 0, 0, 0, &cs, &cs, &cs, TENSOR_OP_ADD, 0, 0,
                                     0, 1, 0x3f800000, 0, node);
  });
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(C_of(d[0]), 4032u);
  EXPECT_EQ(C_of(d[1]), 968u);
  EXPECT_EQ(d[1].word(19), kTag + 63u * 2 * 4) << "63 channel strides on";
  EXPECT_EQ(d[1].word(20), 0x3f800000u);
  EXPECT_EQ(C_of(d[2]), 4095u) << "4095 channels fit one piece";
}

TEST(TpuPlan, LargePlanesAreRecutOnlyWithEqualBroadcasts) {
  const dim4_t shape = {1, 1, 70000, 70000}, s = {1, 1, 70000, 1};
  const auto d = issued([&](cmd_id_node_t *node) {
    atomic_tensor_arithmetic_gen_cmd(kTag, kTag, kTag, &shape, 0, 1, 1, &s, &s, &s, TENSOR_OP_ADD, 0, 0, 0, 0, 0,
                                     0, node);
  });
  ASSERT_EQ(d.size(), 3u);  // 65504 x 65504, 9300 x 65504, 1 x 38784
  u64 total = 0;
  for (const auto &x : d) {
    EXPECT_LE(W_of(x), 65504u);
    EXPECT_LE(H_of(x), 65504u);
    total += u64{H_of(x)} * W_of(x);
  }
  EXPECT_EQ(total, 70000ull * 70000ull);
  EXPECT_EQ(W_of(d[0]), 65504u);
  EXPECT_EQ(H_of(d[1]), 9300u);
  EXPECT_EQ(W_of(d[2]), 38784u);
  EXPECT_EQ(d[1].word(20), kTag) << "B broadcast along h does not move";
  EXPECT_EQ(d[1].word(19), kTag + 4u * 65504u * 65504u);

  // Unequal broadcasts keep the plane whole, which the fields cannot hold.
  expect_bd_assert(
      [&](cmd_id_node_t *node) {
        atomic_tensor_arithmetic_gen_cmd(kTag, kTag, kTag, &shape, 0, 1, 0, &s, &s, &s, TENSOR_OP_ADD, 0, 0, 0, 0,
                                         0, 0, node);
      },
      "ASSERT_FS", "arith_piece",
      "(u32)(shape->n) <= BD_MAX_N && (u32)(shape->c) <= BD_MAX_C && (u32)(shape->h) <= BD_MAX_H && "
      "(u32)(shape->w) <= BD_MAX_W",
      "N=1 C=1 H=70000 W=70000 exceed the descriptor's fields");
}

TEST(TpuPlan, DefaultLayoutOperandsGetWholeTensorStridesWhenCut) {
  const dim4_t shape = {70000, 2, 3, 3}, def = {-1, 0, 0, 0};
  const auto d = issued([&](cmd_id_node_t *node) {
    atomic_tensor_arithmetic_gen_cmd(kTag | 5 << 19, kTag, kTag, &shape, 0, 0, 0, &def, &def, &def, TENSOR_OP_ADD,
                                     0, 0, 0, 0, 0, 0, node);
  });
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[1].field(85, 2), 3u) << "strides given";
  EXPECT_EQ(d[1].field(436, 19), 32u);
  EXPECT_EQ(d[1].word(19), (kTag | 5 << 19) + 65519u * 32 * 4);
}

TEST(TpuPlan, FixedPointCutsChannelsKeepingRealStrides) {
  const dim4_t shape = {4, 5000, 2, 3}, zero = {0, 0, 0, 0}, given = {400, 8, 3, 1};
  const u32 addr[4] = {kTag, 0x05, 0, kTag | 0x100}, none[4] = {0, 0, 0, 0};
  const u32 sign[3] = {1, 1, 0}, int8[4] = {1, 1, 0, 1}, modes[4] = {0, 0, 0, 3}, shifts[6] = {};
  const auto d = issued([&](cmd_id_node_t *node) {
    atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, none, &zero, &zero, &given, TENSOR_OP_ADD, 0, 1, 0, 0, 0,
                                           sign, int8, modes, shifts, 0, node);
  });
  ASSERT_EQ(d.size(), 3u);
  const u32 rows = (5000 + 63) / 64;
  for (u32 i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(C_of(d[i]), i < 2 ? 2048u : 904u);
    EXPECT_EQ(d[i].field(82, 8), 3u | 3u << 3 | 3u << 6);
    EXPECT_EQ(d[i].field(436, 19), 32u * rows) << "A's default layout, the whole tensor's";
    EXPECT_EQ(d[i].field(455, 19), 32u);
    EXPECT_EQ(d[i].word(24), 3u);
    EXPECT_EQ(d[i].field(417, 19), 8u) << "R's own strides";
    EXPECT_EQ(d[i].word(19), kTag + i * 128 * 32);
    EXPECT_EQ(d[i].word(20), 0x05u) << "the constant does not move";
    EXPECT_EQ(d[i].word(18), (kTag | 0x100) + i * 128 * 8);
  }
}

TEST(TpuPlan, MdCmpCutsAndKeepsConstantsInPlace) {
  auto d = issued([](cmd_id_node_t *node) {
    atomic_md_cmp_gen_cmd(0x3f000000, kTag, kTag, 0, kTag | 0x4000, kTag | 0x8000, 70000, 1, 1, 1, 1, 0, 0, 1, 0,
                          0, 0, 0x7, 3, node);
  });
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(N_of(d[0]), 65535u);
  EXPECT_EQ(N_of(d[1]), 4465u);
  EXPECT_EQ(d[1].word(19), 0x3f000000u) << "a constant A travels in its address and stays";
  EXPECT_EQ(d[1].word(20), kTag + 65535u * 128);
  EXPECT_EQ(d[1].word(31), 0x7u);
  EXPECT_EQ(d[1].word(30), (kTag | 0x8000) + 65535u * 128);

  d = issued([](cmd_id_node_t *node) {
    atomic_md_cmp_gen_cmd(kTag, 0x40000000, kTag | 0x10000, kTag | 0x20000, kTag | 0x30000, kTag | 0x40000, 2, 5000,
                          1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 3, node);
  });
  ASSERT_EQ(d.size(), 4u);
  const u32 batch = 79 * 32 * 4;
  const u32 expect_c[4] = {4032, 968, 4032, 968};
  const u32 expect_a[4] = {kTag, kTag + 63 * 128, kTag + batch, kTag + batch + 63 * 128};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(N_of(d[i]), 1u);
    EXPECT_EQ(C_of(d[i]), expect_c[i]);
    EXPECT_EQ(d[i].word(19), expect_a[i]);
    EXPECT_EQ(d[i].word(20), 0x40000000u);
  }
  expect_bd_assert(
      [](cmd_id_node_t *node) {
        atomic_md_cmp_gen_cmd(kTag, kTag, kTag, kTag, kTag, kTag, 70000, 5000, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 3, node);
      },
      "ASSERT", "atomic_md_cmp_gen_cmd", "0");
}

TEST(TpuPlan, NOnlySplittersCheckTheOtherFields) {
  const char *kFieldCheck = "(u32)(N) <= BD_MAX_N && (u32)(C) <= BD_MAX_C && (u32)(H) <= BD_MAX_H && (u32)(W) <= BD_MAX_W";
  expect_bd_assert([](cmd_id_node_t *node) { atomic_md_sfu_gen_cmd_(kTag, kTag, 70000, 4096, 1, 1, 0, SFU_RSQ, 0, node); },
                    "ASSERT_FS", "atomic_md_sfu_gen_cmd",
                    kFieldCheck,
                    "N=65535 C=4096 H=1 W=1 exceed the descriptor's fields");
  expect_bd_assert(
      [](cmd_id_node_t *node) {
        atomic_mdscalar_operation_gen_cmd_(kTag, kTag, kTag, 2, 1, 65536, 1, MD_SCALAR_ADD, 0, 0, 0, 0, 0, node);
      },
      "ASSERT_FS", "atomic_mdscalar_operation_gen_cmd",
      kFieldCheck,
      "N=2 C=1 H=65536 W=1 exceed the descriptor's fields");
}

TEST(TpuPlan, TableLookupRecutsLargePlanesPerLaneGroup) {
  const auto d = issued([](cmd_id_node_t *node) {
    atomic_table_lookup_gen_cmd_(0x300f00, kTag, kTag | 0x40000, 1, 70, 1, 70000, 256, 1, node);
  });
  ASSERT_EQ(d.size(), 4u);  // two lane groups, each 65408 + 4592 elements
  EXPECT_EQ(C_of(d[0]), 64u);
  EXPECT_EQ(W_of(d[0]), 65408u);
  EXPECT_EQ(W_of(d[1]), 4592u);
  EXPECT_EQ(d[1].word(19), kTag + 4u * 65408);
  EXPECT_EQ(C_of(d[2]), 6u) << "the last group takes the remaining channels";
  EXPECT_EQ(d[2].word(19), kTag + 4u * 70016);
  EXPECT_EQ(d[2].word(18), (kTag | 0x40000) + 4u * 70016);
}

// ---- Checks ----

TEST(TpuChecks, OperandRules) {
  const dim4_t shape = {1, 1, 1, 1}, s = {1, 1, 1, 1};
  const u32 addr[4] = {kTag, kTag, 0, kTag}, none[4] = {}, modes[4] = {3, 3, 3, 3}, shifts[6] = {};
  struct Case {
    tensor_op_t op;
    u32 sign[3];
    u32 int8[4];
    int shift_type;
    const char *condition;
  } cases[] = {
      {TENSOR_OP_MUL, {0, 0, 0}, {1, 0, 0, 0}, 0, "Int8[0]==1 && Int8[1]==1"},
      {TENSOR_OP_MAC, {0, 0, 0}, {0, 1, 0, 0}, 0, "Int8[0]==1 && Int8[1]==1"},
      {TENSOR_OP_MAC, {0, 0, 0}, {1, 1, 0, 1}, 0, "Int8[3]==0"},
      {TENSOR_OP_ADD, {0, 0, 0}, {1, 0, 0, 1}, 0, "Int8[0]==Int8[1]"},
      {TENSOR_OP_SUB, {0, 0, 0}, {0, 1, 0, 1}, 0, "Int8[0]==Int8[1]"},
      {TENSOR_OP_MAX, {0, 0, 0}, {1, 0, 0, 1}, 0, "Int8[0]==Int8[1]"},
      {TENSOR_OP_MAX, {1, 0, 0}, {1, 1, 0, 1}, 0, "Sign[0]==Sign[1]"},
      {TENSOR_OP_MIN, {0, 1, 0}, {1, 1, 0, 1}, 0, "Sign[0]==Sign[1]"},
      {TENSOR_OP_SHIFT, {1, 1, 0}, {0, 0, 0, 0}, 0, "(u32)shift_type==Sign[0] && Sign[1]==1"},
      {TENSOR_OP_SHIFT, {0, 0, 0}, {0, 0, 0, 0}, 0, "(u32)shift_type==Sign[0] && Sign[1]==1"},
      {TENSOR_OP_SHIFT, {0, 1, 0}, {1, 0, 0, 0}, 0, "Int8[0]==0 && Int8[1]==0 && Int8[3]==0"},
      {TENSOR_OP_XOR, {0, 0, 0}, {1, 1, 0, 0}, 0, "Int8[0]==Int8[1] && Int8[0]==Int8[3]"},
      {TENSOR_OP_DIV, {0, 0, 0}, {1, 1, 0, 1}, 0, "0"},
      {TENSOR_OP_EQ_ASSIGN, {0, 0, 0}, {1, 1, 0, 1}, 0, "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.condition);
    expect_bd_assert(
        [&](cmd_id_node_t *node) {
          atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, none, &s, &s, &s, c.op, 0, 0, 0, 0, c.shift_type,
                                                 c.sign, c.int8, modes, shifts, 0, node);
        },
        "ASSERT_FS", "atomic_tensor_arithmetic_fix8b_gen_cmd_", c.condition);
  }
}

TEST(TpuChecks, GeneratorChecks) {
  const dim4_t shape = {1, 1, 1, 1}, s = {1, 1, 1, 1};
  const struct {
    std::function<void(cmd_id_node_t *)> fn;
    const char *kind, *function, *condition, *info;
  } cases[] = {
      {[&](cmd_id_node_t *n) {
         atomic_tensor_arithmetic_gen_cmd(kTag, kTag, kTag, &shape, 0, 0, 0, &s, &s, &s, TENSOR_OP_EQ_ASSIGN, 0, 0, 0,
                                          0, 0, 0, n);
       },
       "ASSERT_FS", "arith_piece", "tensor_op_code != 10 && tensor_op_code != 11", "none."},
      {[&](cmd_id_node_t *n) {
         atomic_tensor_arithmetic_gen_cmd_all(kTag, kTag, kTag, &shape, 0, 0, 0, &s, &s, &s, (tensor_op_t)15, 0, 0, 0,
                                              0, 0, 0, 0, 0, n);
       },
       "ASSERT_FS", "atomic_tensor_arithmetic_gen_cmd_all", "0", "none."},
      {[&](cmd_id_node_t *n) {
         atomic_tensor_arithmetic_issue_shift_gen_cmd(kTag, kTag, kTag, &shape, 0, 0, 0, &s, &s, &s, TENSOR_OP_ADD, 0,
                                                      0, 0, 0, 0, 0, 0, n);
       },
       "ASSERT_FS", "atomic_tensor_arithmetic_issue_shift_gen_cmd", "tensor_op_code == 6", "none."},
      {[&](cmd_id_node_t *n) {
         atomic_tensor_arithmetic_issue_select_gen_cmd(kTag, kTag, kTag, &shape, 0, 0, 0, &s, &s, &s, TENSOR_OP_ADD,
                                                       0, 0, 0, 0, 0, 0, 0, n);
       },
       "ASSERT_FS", "atomic_tensor_arithmetic_issue_select_gen_cmd", "tensor_op_code == 10 || tensor_op_code == 11",
       "none."},
      {[](cmd_id_node_t *n) {
         atomic_mdscalar_operation_gen_cmd(kTag, kTag | 4, kTag, 1, 1, 1, 1, MD_SCALAR_ADD, 0, 0, 0, 0, 0, n);
       },
       "ASSERT_FS", "atomic_mdscalar_operation_gen_cmd", "B_addr % ((1<<(5)) * sizeof(float)) == 0", "none."},
      {[](cmd_id_node_t *n) {
         atomic_mdscalar_operation_gen_cmd(kTag, kTag, kTag, 1, 1, 1, 1, MD_SCALAR_SUB, 1, 0, 0, 0, 0, n);
       },
       "ASSERT_FS", "atomic_mdscalar_operation_gen_cmd", "0", "none."},
      {[](cmd_id_node_t *n) { atomic_md_sum_gen_cmd(kTag | 0x40, kTag, 1, 1, 1, 1, 0, n); }, "ASSERT_FS",
       "atomic_md_sum_gen_cmd", "A_addr % ((1<<(5)) * sizeof(float)) == 0", "none."},
      {[](cmd_id_node_t *n) { atomic_md_sfu_gen_cmd(kTag, kTag, 1, 1, 1, 1, 0, (sfu_op_t)8, 0, n); }, "ASSERT_FS",
       "atomic_md_sfu_gen_cmd",
       "sfu_op == SFU_RSQ || sfu_op == SFU_NORMA || sfu_op == SFU_NORMB || sfu_op == SFU_F2I || sfu_op == SFU_TAILOR",
       "none."},
      {[](cmd_id_node_t *n) { atomic_md_linear_gen_cmd(kTag, 0, 0, kTag, 1, 1, 1, 1, 1, 1, 0, 0, 0, 3, n); },
       "ASSERT_FS", "atomic_md_linear_gen_cmd", "0", "none."},
      {[](cmd_id_node_t *n) { atomic_table_lookup_gen_cmd(0x300400, kTag, kTag, 1, 1, 1, 1, 256, 2, n); },
       "ASSERT_FS", "atomic_table_lookup_gen_cmd", "(prec == 0) || (prec == 1)", "none."},
      {[](cmd_id_node_t *n) { atomic_vec_correlation_gen_cmd(kTag, kTag, kTag, 1, 1, 1, 1, 1, (vec_corr_op_t)6, n); },
       "ASSERT_FS", "atomic_vec_correlation_gen_cmd",
       "vec_corr_op == VEC_CORR_ADD || vec_corr_op == VEC_CORR_SUB || vec_corr_op == VEC_CORR_MUL || vec_corr_op == "
       "VEC_CORR_DIV || vec_corr_op == VEC_CORR_MIN || vec_corr_op == VEC_CORR_MAX || vec_corr_op == VEC_CORR_AND || "
       "vec_corr_op == VEC_CORR_OR || vec_corr_op == VEC_CORR_XOR",
       "none."},
      {[](cmd_id_node_t *n) {
         const dim4_t sh = {1, 2, 3, 5}, st = {64, 16, 5, 1};
         tensor_f32_aligned_binary(0, 0x100, 0x200, MD_SCALAR_ADD, &sh, &st, n);
       },
       "ASSERT", "tensor_f32_aligned_binary",
       "stride == NULL || shape->c == 1 || stride->c == 0 || stride->h == 0 || stride->c == ALIGN(stride->h * "
       "shape->h, EU_NUM)",
       "stride is not aligned!"},
      {[](cmd_id_node_t *n) { nodechip_serial_number_gen(0x100000000ull, 0, 0x1000, 1, 65, 10, n); }, "ASSERT",
       "nodechip_serial_number_gen", "C <= (1<<(6))", "none."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.condition);
    expect_bd_assert(c.fn, c.kind, c.function, c.condition, c.info);
  }
}

TEST(TpuChecks, AlignedStrideCheckPassesItsExemptions) {
  const dim4_t one_channel = {1, 1, 3, 5}, sh = {1, 2, 3, 5};
  const dim4_t odd = {64, 16, 5, 1}, c_zero = {0, 0, 5, 1}, aligned = {64, 32, 5, 1};
  const auto d = issued([&](cmd_id_node_t *n) {
    tensor_f32_aligned_add(0, 0x100, 0x200, &one_channel, &odd, n);
    tensor_f32_aligned_add(0, 0x100, 0x200, &sh, &c_zero, n);
    tensor_f32_aligned_add(0, 0x100, 0x200, &sh, &aligned, n);
    tensor_f32_aligned_add(0, 0x100, 0x200, &sh, nullptr, n);
  });
  EXPECT_EQ(d.size(), 4u);
}

}  // namespace
}  // namespace zv::test
