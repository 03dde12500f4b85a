// The tensor views' forwards issue exactly the descriptors of the positional
// generator calls they stand for: each case runs both spellings on fresh chips
// and compares every command the tensor engine and the GDMA took.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cmd/tensor_view.h"
#include "fw_test.h"

namespace zv::test {
namespace {

using Issue = std::function<void(cmd_id_node_t *)>;

constexpr u64 kG = FW_USER_MEM_START + 0x100000;  // a global tensor
constexpr u64 kH = FW_USER_MEM_START + 0x400000;  // another
constexpr gdma_value_format_t F32 = GDMA_VALUE_FORMAT_FLOAT32;
constexpr u32 kTag = LOCAL_ADDR_TAG;

struct Issued {
  std::vector<std::string> commands;  // engine, kind and words of each command in issue order
  FwOutcome outcome;
};

Issued issue(const Issue &fn) {
  FirmwareRig rig;
  Issued r;
  r.outcome = rig.run_layer(fn);
  const auto &e = rig.chip().engines;
  for (const auto &c : e.gdma.commands()) r.commands.push_back("gdma " + c.kind_name + " " + c.descriptor.dump());
  for (const auto &c : e.bd.commands()) r.commands.push_back("bd " + c.kind_name + " " + c.descriptor.dump());
  return r;
}

struct Case {
  const char *what;
  Issue positional, view;
};

void expect_same_descriptors(const Case &k) {
  SCOPED_TRACE(k.what);
  const Issued a = issue(k.positional), b = issue(k.view);
  ASSERT_TRUE(ran_clean(a.outcome));
  ASSERT_TRUE(ran_clean(b.outcome));
  ASSERT_FALSE(a.commands.empty());
  EXPECT_EQ(a.commands, b.commands);
}

TEST(TensorView, GdmaForwardsIssueThePositionalDescriptors) {
  // 2 x 70 x 3 x 5 floats: local from lane 3, each plane rounded up to 32.
  const dim4_t shape = dim4(2, 70, 3, 5), gs = dense_stride(shape), ls = dim4(64, 32, 5, 1);
  const global_view_t g = global_view(kG, shape, gs, F32);
  const local_view_t l = local_f32(0x100, ls, 3);
  const Case cases[] = {
      {"general move, global to local",
       [&](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd(kG, 0, 2, 70, 3, 5, 1050, 15, 5, 1, F32, 0x100, 3, 2, 70, 3, 5, 64, 32, 5, 1, F32,
                                     GDMA_VALUE_DIR_S2L, 0, n);
       },
       [&](cmd_id_node_t *n) { move_g2l(g, l, n); }},
      {"general move, local to global",
       [&](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd(0x100, 3, 2, 70, 3, 5, 64, 32, 5, 1, F32, kG, 0, 2, 70, 3, 5, 1050, 15, 5, 1, F32,
                                     GDMA_VALUE_DIR_L2S, 0, n);
       },
       [&](cmd_id_node_t *n) { move_l2g(l, g, n); }},
      {"general move, global to global reshaped",
       [&](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd(kG, 0, 1, 6, 1, 7, 42, 7, 7, 1, F32, kH, 0, 1, 1, 3, 14, 42, 42, 14, 1, F32,
                                     GDMA_VALUE_DIR_S2S, 0, n);
       },
       [&](cmd_id_node_t *n) {
         move_g2g(global_dense(kG, dim4(1, 6, 1, 7), F32), global_dense(kH, dim4(1, 1, 3, 14), F32), n);
       }},
      {"general move, local to local",
       [&](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd(0x100, 3, 2, 70, 3, 5, 64, 32, 5, 1, F32, 0x8000, 0, 2, 70, 3, 5, 128, 16, 5, 1,
                                     F32, GDMA_VALUE_DIR_L2L, 0, n);
       },
       [&](cmd_id_node_t *n) { move_l2l(l, local_f32(0x8000, dim4(128, 16, 5, 1)), shape, n); }},
      {"general move, global to global with n and c exchanged",
       [&](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd(kG, 0, 7, 5, 1, 1, 5, 1, 1, 1, F32, kH, 0, 5, 7, 1, 1, 7, 1, 1, 1, F32,
                                     GDMA_VALUE_DIR_S2S, 1, n);
       },
       [&](cmd_id_node_t *n) {
         move_g2g_nc(global_dense(kG, dim4(7, 5, 1, 1), F32), global_dense(kH, dim4(5, 7, 1, 1), F32), n);
       }},
      {"general move, global to local with n and c exchanged",
       [&](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd(kG, 0, 3, 4, 1, 6, 24, 6, 6, 1, F32, 0x200, 1, 4, 3, 1, 6, 32, 32, 6, 1, F32,
                                     GDMA_VALUE_DIR_S2L, 1, n);
       },
       [&](cmd_id_node_t *n) {
         move_g2l_nc(global_dense(kG, dim4(3, 4, 1, 6), F32), local_f32(0x200, dim4(32, 32, 6, 1), 1), n);
       }},
      {"general move, local to global with n and c exchanged",
       [&](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd(0x200, 1, 4, 3, 1, 6, 32, 32, 6, 1, F32, kG, 0, 3, 4, 1, 6, 24, 6, 6, 1, F32,
                                     GDMA_VALUE_DIR_L2S, 1, n);
       },
       [&](cmd_id_node_t *n) {
         move_l2g_nc(local_f32(0x200, dim4(32, 32, 6, 1), 1), global_dense(kG, dim4(3, 4, 1, 6), F32), n);
       }},
      {"strided load",
       [&](cmd_id_node_t *n) {
         tensor_stride_move_gen_cmd(0x100, 3, kG, 2, 70, 3, 5, 1050, 15, 5, 1, 64, 32, 5, 1, F32, GDMA_VALUE_DIR_S2L,
                                    0, n);
       },
       [&](cmd_id_node_t *n) { stride_load(g, l, n); }},
      {"strided store, 8-bit",
       [&](cmd_id_node_t *n) {
         tensor_stride_move_gen_cmd(0x100, 3, kG, 2, 70, 3, 5, 64, 32, 5, 1, 1050, 15, 5, 1, GDMA_VALUE_FORMAT_INT8,
                                    GDMA_VALUE_DIR_L2S, 0, n);
       },
       [&](cmd_id_node_t *n) {
         stride_store(local_view(0x100, 3, ls, GDMA_VALUE_FORMAT_INT8), global_view(kG, shape, gs, GDMA_VALUE_FORMAT_INT8),
                      n);
       }},
  };
  for (const Case &k : cases) expect_same_descriptors(k);
}

TEST(TensorView, DefaultStridesReachTheTypedLoadsAsDerived) {
  const dim4_t shape = dim4(2, 70, 3, 5), gs = dim4(2000, 20, 5, 1), ls = dim4(64, 32, 5, 1);
  const Case cases[] = {
      {"both sides default: the aligned move",
       [&](cmd_id_node_t *n) { tensor_general_load(3u << 19 | 0x100, kG, F32, 1, &shape, NULL, NULL, n); },
       [&](cmd_id_node_t *n) { general_load(global_default(kG, shape, F32), local_aligned(0x100, 3), n); }},
      {"local default, global strided",
       [&](cmd_id_node_t *n) { tensor_general_load(3u << 19 | 0x100, kG, F32, 1, &shape, NULL, &gs, n); },
       [&](cmd_id_node_t *n) { general_load(global_view(kG, shape, gs, F32), local_aligned(0x100, 3), n); }},
      {"save with both strides given",
       [&](cmd_id_node_t *n) { tensor_general_save(0x100, kG, F32, 1, &shape, &ls, &gs, n); },
       [&](cmd_id_node_t *n) { general_save(local_f32(0x100, ls), global_view(kG, shape, gs, F32), n); }},
      {"save with the global side default",
       [&](cmd_id_node_t *n) { tensor_general_save(0x100, kG, F32, 1, &shape, &ls, NULL, n); },
       [&](cmd_id_node_t *n) { general_save(local_f32(0x100, ls), global_default(kG, shape, F32), n); }},
  };
  for (const Case &k : cases) expect_same_descriptors(k);
}

TEST(TensorView, TensorEngineForwardsIssueThePositionalDescriptors) {
  const dim4_t shape = dim4(2, 70, 3, 5), st = dim4(64, 32, 5, 1), dflt = default_stride();
  const u32 A = kTag | 3u << 19 | 0x100, B = kTag | 0x4000, R = kTag | 5u << 19 | 0x8000;
  const local_view_t a = local_f32(0x100, st, 3), b = local_aligned(0x4000), r = local_f32(0x8000, st, 5);
  const u32 k = f32_bits(2.5f);
  const Case cases[] = {
      {"md_scalar, two tensors",
       [&](cmd_id_node_t *n) {
         atomic_mdscalar_operation_gen_cmd(A, B, R, 2, 70, 3, 5, MD_SCALAR_SUB, 0, 0, 0, 0, 0, n);
       },
       [&](cmd_id_node_t *n) { md_scalar(MD_SCALAR_SUB, operand_at(A), operand_at(B), R, shape, n); }},
      {"md_scalar, constant B",
       [&](cmd_id_node_t *n) { atomic_mdscalar_operation_gen_cmd(A, 0, R, 2, 70, 3, 5, MD_SCALAR_DIV, 0, 0, 1, 0, k, n); },
       [&](cmd_id_node_t *n) { md_scalar(MD_SCALAR_DIV, operand_at(A), operand_f32(2.5f), R, shape, n); }},
      {"md_scalar, constant A",
       [&](cmd_id_node_t *n) { atomic_mdscalar_operation_gen_cmd(0, B, R, 2, 70, 3, 5, MD_SCALAR_SUB, 0, 1, 0, k, 0, n); },
       [&](cmd_id_node_t *n) { md_scalar(MD_SCALAR_SUB, operand_bits(k), operand_view(b), R, shape, n); }},
      {"md_scalar, accumulated, operands chosen at run time",
       [&](cmd_id_node_t *n) { atomic_mdscalar_operation_gen_cmd(A, 0, R, 2, 70, 3, 5, MD_SCALAR_MUL, 1, 0, 1, 0, k, n); },
       [&](cmd_id_node_t *n) {
         md_scalar_acc(MD_SCALAR_MUL, operand_either(0, A, 7), operand_either(1, B, k), R, shape, 1, n);
       }},
      {"tensor arithmetic, three views",
       [&](cmd_id_node_t *n) {
         atomic_tensor_arithmetic_gen_cmd(A, B, R, &shape, 0, 0, 0, &st, &dflt, &st, TENSOR_OP_MAX, 0, 0, 0, 0, 0, 0, n);
       },
       [&](cmd_id_node_t *n) { tensor_arith(TENSOR_OP_MAX, a, b, r, shape, n); }},
      {"tensor arithmetic, constant B",
       [&](cmd_id_node_t *n) {
         atomic_tensor_arithmetic_gen_cmd(A, 0, R, &shape, 0, 0, 0, &st, &st, &st, TENSOR_OP_MUL, 0, 0, 0, 1, k, 0, n);
       },
       [&](cmd_id_node_t *n) { tensor_arith_const(TENSOR_OP_MUL, a, k, r, shape, n); }},
      {"tensor arithmetic, fill",
       [&](cmd_id_node_t *n) {
         atomic_tensor_arithmetic_gen_cmd(0, 0, R, &shape, 0, 0, 0, &st, &st, &st, TENSOR_OP_COPY, 0, 1, k, 0, 0, 0, n);
       },
       [&](cmd_id_node_t *n) { tensor_fill(r, k, shape, n); }},
      {"tensor arithmetic record, B one value a channel, result added",
       [&](cmd_id_node_t *n) {
         const dim4_t bs = dim4(1, 1, 1, 1);
         atomic_tensor_arithmetic_gen_cmd(A, B, R, &shape, 1, 1, 1, &st, &bs, &st, TENSOR_OP_ADD, 1, 0, 0, 0, 0, 0, n);
       },
       [&](cmd_id_node_t *n) {
         tensor_arith_t t = tensor_arith_of(TENSOR_OP_ADD, operand_at(A), st, operand_at(B), dim4(1, 1, 1, 1), R, st,
                                            shape);
         t.B_bcast_n = t.B_bcast_h = t.B_bcast_w = 1;
         t.result_add = 1;
         tensor_arith_issue(t, n);
       }},
  };
  for (const Case &c : cases) expect_same_descriptors(c);
}

}  // namespace
}  // namespace zv::test
