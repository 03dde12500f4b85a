// What the GDMA generators refuse (each an assertion before anything reaches
// the window), the combinations the engine accepts, the words of a directly
// written descriptor, and the model's report of a move that leaves its lane.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gdma_layout.h"
#include "runtime/profile.h"

namespace zv::test {
namespace {

constexpr u32 kL = 0x08000000;
constexpr u64 kG = kDdr + 0x1000;
const gdma_value_format_t F32 = GDMA_VALUE_FORMAT_FLOAT32, I16 = GDMA_VALUE_FORMAT_INT16,
                          I8 = GDMA_VALUE_FORMAT_INT8;

using Issue = std::function<void(cmd_id_node_t *)>;

// A general move of (n, c, h, w) elements global to local, with every other
// argument given by the case.
void general(cmd_id_node_t *node, int sn, int sc, int sh, int sw, int dn, int dc, int dh, int dw,
             gdma_value_format_t sf, gdma_value_format_t df, int transpose, int src_wstride = 1,
             u64 src = kG, int dst_lane = 0) {
  tensor_general_move_gen_cmd(src, 0, sn, sc, sh, sw, sc * sh * sw * src_wstride, sh * sw * src_wstride,
                              sw * src_wstride, src_wstride, sf, 0, dst_lane, dn, dc, dh, dw, dh * dw, dh * dw, dw,
                              1, df, GDMA_VALUE_DIR_S2L, transpose, node);
}

std::string check_info(int fill, int tr, int c0, int c1, int c2, std::vector<int> src, std::vector<int> dst) {
  char buf[600];
  snprintf(buf, sizeof buf,
           "tensor param check failed:\nis_fill=%d, is_transpose=%d , case0=%d, case1=%d, case2=%d\n"
           "src_nsize=%d, src_csize=%d, src_hsize=%d, src_wsize=%d, src_hstride=%d, src_wstride=%d, "
           "src_hshift=%d, src_wshift=%d, src_format=%d\n"
           "dst_nsize=%d, dst_csize=%d, dst_hsize=%d, dst_wsize=%d, dst_hstride=%d, dst_wstride=%d, "
           "dst_hshift=%d, dst_wshift=%d, dst_format=%d",
           fill, tr, c0, c1, c2, src[0], src[1], src[2], src[3], src[4], src[5], src[6], src[7], src[8], dst[0],
           dst[1], dst[2], dst[3], dst[4], dst[5], dst[6], dst[7], dst[8]);
  return buf;
}

TEST(GdmaCheck, GeneratorsRefuseWhatTheEngineCannotTake) {
  struct Case {
    const char *what;
    Issue issue;
    const char *kind, *function, *condition;
    std::string info;
  };
  const Case cases[] = {
      {"100000 x 1 x 1 x 1 transposed is not cut", [](cmd_id_node_t *n) { general(n, 100000, 1, 1, 1, 1, 100000, 1, 1, F32, F32, 1); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd", "src_N>0 && src_N<=GDMA_MAX_N", "src_N=100000"},
      {"transposed with two formats", [](cmd_id_node_t *n) { general(n, 2, 3, 1, 1, 3, 2, 1, 1, F32, I8, 1); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd", "!(dst_format != src_format && transpose)",
       "When transpose, dst_format must be the same as src_format"},
      {"destination extent 0", [](cmd_id_node_t *n) { general(n, 1, 2, 3, 4, 1, 0, 3, 4, F32, F32, 0); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd", "dst_C>0 && dst_C<=GDMA_MAX_C", "dst_C=0"},
      {"element counts differ", [](cmd_id_node_t *n) { general(n, 1, 2, 2, 2, 1, 1, 2, 3, F32, F32, 0); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd",
       "(i64)dst_N * dst_C * dst_H * dst_W == (i64)src_N * src_C * src_H * src_W", "dst_count=6, src_count=8"},
      {"int16 does not convert", [](cmd_id_node_t *n) { general(n, 1, 1, 1, 8, 1, 1, 1, 8, I16, F32, 0); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd", "src_format != GDMA_VALUE_FORMAT_INT16",
       "src_format=1 must not be INT16(1) for conversion"},
      {"nor into int16", [](cmd_id_node_t *n) { general(n, 1, 1, 1, 8, 1, 1, 1, 8, F32, I16, 0); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd", "dst_format != GDMA_VALUE_FORMAT_INT16",
       "dst_format=1 must not be INT16(1) for conversion"},
      {"source w stride 2 over two rows", [](cmd_id_node_t *n) { general(n, 1, 1, 2, 4, 1, 1, 2, 4, F32, F32, 0, 2); },
       "ASSERT_FS", "CHECK_TENSOR_PARAM", "(case_fill || case0 || case1 || case2)",
       check_info(0, 0, 0, 0, 0, {1, 1, 2, 4, 8, 2, 0, 0, 0}, {1, 1, 2, 4, 4, 1, 0, 0, 0})},
      {"a global address beyond 40 bits", [](cmd_id_node_t *n) { general(n, 1, 1, 1, 4, 1, 1, 1, 4, F32, F32, 0, 1, 1ull << 40); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd", "src_addr < GDMA_GLOBAL_ADDR_LIMIT",
       "global address 0x10000000000 is beyond 40 bits"},
      {"a local lane beyond the lanes", [](cmd_id_node_t *n) { general(n, 1, 1, 1, 4, 1, 1, 1, 4, F32, F32, 0, 1, kG, 64); },
       "ASSERT_FS", "__tensor_general_move_gen_cmd", "dst_lane >= 0 && dst_lane < NPU_NUM", "local lane 64"},
      {"a shift beyond its byte",
       [](cmd_id_node_t *n) {
         tensor_general_move_gen_cmd_with_shift_fast(kG, 0, 1, 1, 1, 4, 4, 4, 4, 1, 256, 0, F32, 0, 0, 1, 1, 1, 4, 4,
                                                     4, 4, 1, 0, 0, F32, GDMA_VALUE_DIR_S2L, 0, n);
       },
       "ASSERT_FS", "tensor_general_move_gen_cmd_with_shift_fast",
       "src_hshift >= 0 && src_hshift <= 255 && src_wshift >= 0 && src_wshift <= 255 && dst_hshift >= 0 && "
       "dst_hshift <= 255 && dst_wshift >= 0 && dst_wshift <= 255",
       "shifts 256 0 0 0 must each be 0 to 255"},
      {"a strided move global to global",
       [](cmd_id_node_t *n) {
         tensor_stride_move_gen_cmd(0, 0, kG, 1, 1, 1, 4, 4, 4, 4, 1, 4, 4, 4, 1, F32, GDMA_VALUE_DIR_S2S, 0, n);
       },
       "ASSERT_FS", "__tensor_stride_move_gen_cmd",
       "direction == GDMA_VALUE_DIR_L2S || direction == GDMA_VALUE_DIR_S2L", "directin=2"},
      {"an aligned move without channels",
       [](cmd_id_node_t *n) { tensor_align_move_gen_cmd(0, 0, kG, 1, 0, 1, 1, F32, GDMA_VALUE_DIR_S2L, 0, n); },
       "ASSERT_FS", "tensor_align_move_gen_cmd", "src_C>0 && src_C<=GDMA_MAX_C", "src_C=0"},
      {"a compact move from an offset beyond the lane",
       [](cmd_id_node_t *n) { tensor_compact_move_gen_cmd(0x80000, 0, kG, 1, 1, 1, 1, F32, GDMA_VALUE_DIR_S2L, 0, n); },
       "ASSERT_FS", "tensor_compact_move_gen_cmd", "(local_mem_start_addr| 0x08000000) - 0x08000000 < (1<<19)",
       "none."},
      {"a compact move local to local",
       [](cmd_id_node_t *n) { tensor_compact_move_gen_cmd(0, 0, kG, 1, 1, 1, 1, F32, GDMA_VALUE_DIR_L2L, 0, n); },
       "ASSERT_FS", "tensor_compact_move_gen_cmd", "direction == 1 || direction == 0", "none."},
      {"a flat copy of nothing",
       [](cmd_id_node_t *n) { general_gdma_gen_cmd(kG, kG + 64, F32, 0, GDMA_VALUE_DIR_S2S, n); }, "ASSERT_FS",
       "general_gdma_gen_cmd", "src_count > 0", "src_count=0"},
      {"a matrix moved global to global",
       [](cmd_id_node_t *n) { matrix_move_gen_cmd(0, 0, kG, 4, 3, 4, F32, GDMA_VALUE_DIR_S2S, 0, n); }, "ASSERT_FS",
       "matrix_move_gen_cmd", "direction == GDMA_VALUE_DIR_L2S || direction == GDMA_VALUE_DIR_S2L", "direction=2"},
      {"a matrix with sections of 0",
       [](cmd_id_node_t *n) { matrix_move_gen_cmd(0, 0, kG, 0, 3, 4, F32, GDMA_VALUE_DIR_S2L, 0, n); }, "ASSERT_FS",
       "matrix_move_gen_cmd", "sec_size > 0 && row_num >0 && col_num > 0", "row=3, col=4, sec=0"},
      {"a matrix of 70000 rows",
       [](cmd_id_node_t *n) { matrix_move_gen_cmd(0, 0, kG, 4, 70000, 4, F32, GDMA_VALUE_DIR_S2L, 0, n); }, "ASSERT",
       "matrix_move_gen_cmd", "row_num<=65535 && col_num<=65535", "none."},
      {"a strided matrix adding int8",
       [](cmd_id_node_t *n) { general_matrix_move_gen_cmd(0, 0, kG, 4, 3, 4, 4, I8, GDMA_VALUE_DIR_S2L, 0, 1, n); },
       "ASSERT_FS", "general_matrix_move_gen_cmd", "!result_add || (result_add && data_format == 0)", "none."},
      {"a strided matrix with sections wider than their field",
       [](cmd_id_node_t *n) { general_matrix_move_gen_cmd(0, 0, kG, 65536, 1, 4, 4, F32, GDMA_VALUE_DIR_S2L, 0, 0, n); },
       "ASSERT_FS", "general_matrix_move_gen_cmd", "sec_size <= GDMA_MAX_W", "sec=65536"},
      {"a strided matrix of a format without size",
       [](cmd_id_node_t *n) {
         general_matrix_move_gen_cmd(0, 0, kG, 4, 1, 4, 4, gdma_value_format_t(5), GDMA_VALUE_DIR_S2L, 0, 0, n);
       },
       "ASSERT_FS", "general_matrix_move_gen_cmd", "size == 1 || size == 2 || size == 4",
       "data_format=5 has no element size"},
      {"a right lane shift from lane 60 by 4",
       [](cmd_id_node_t *n) { lrn_shift_gen_cmd(0, 60, 0x1000, 1, 10, 1, 1, F32, GDMA_VALUE_LRN_SHIFT_RIGHT, 4, 0, n); },
       "ASSERT_FS", "lrn_shift_gen_cmd", "lrn_direction == GDMA_VALUE_LRN_SHIFT_LEFT || lrn_step + local_mem_idx < NPU_NUM",
       "when lrn shift right, lrn_step=4 + local_mem_idx=60 must be less than npu_num=64"},
      {"a lane shift of all channels",
       [](cmd_id_node_t *n) { lrn_shift_gen_cmd(0, 0, 0x1000, 1, 3, 1, 1, F32, GDMA_VALUE_LRN_SHIFT_LEFT, 3, 0, n); },
       "ASSERT_FS", "lrn_shift_gen_cmd", "C > lrn_step", "C=3, lrn_step=3"},
      {"a lane shift adding int8",
       [](cmd_id_node_t *n) { lrn_shift_gen_cmd(0, 0, 0x1000, 1, 3, 1, 1, I8, GDMA_VALUE_LRN_SHIFT_LEFT, 1, 1, n); },
       "ASSERT_FS", "lrn_shift_gen_cmd",
       "!result_add || (result_add && data_format == GDMA_VALUE_FORMAT_FLOAT32)", "result_add=1, data_format=3"},
      {"a fill with w stride 2",
       [](cmd_id_node_t *n) {
         const u32 v = 0;
         fill_constant_gen_local_cmd_stride(0, 0, &v, F32, 1, 1, 2, 3, 12, 12, 6, 2, n);
       },
       "ASSERT_FS", "CHECK_TENSOR_PARAM", "(case_fill || case0 || case1 || case2)",
       check_info(1, 0, 0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 2, 3, 6, 2, 0, 0, 0})},
      {"a global fill without rows",
       [](cmd_id_node_t *n) {
         const u32 v = 0;
         fill_constant_gen_global_cmd_stride(kG, &v, F32, 1, 1, 0, 3, 3, 3, 3, 1, n);
       },
       "ASSERT_FS", "fill_constant_gen_global_cmd_stride", "H>0 && H<=GDMA_MAX_H", "H=0"},
      {"a C/W exchange without columns",
       [](cmd_id_node_t *n) { cwtrans_gen_cmd(kL, kL + 0x1000, 4, 0, F32, 32, 32, n); }, "ASSERT_FS",
       "cwtrans_gen_cmd", "iC > 0 && iW > 0", "C=4, W=0"},
      {"a filter without items",
       [](cmd_id_node_t *n) { tensor_general_move_with_mask_gen_cmd(0, 0, 0x1000, kDdr, 0, 1, 1, 1, GDMA_VALUE_DIR_L2S, n); },
       "ASSERT_FS", "tensor_general_move_with_mask_gen_cmd", "N>0 && N<=GDMA_MAX_N", "N=0"},
      {"a filter global to local",
       [](cmd_id_node_t *n) { tensor_general_move_with_mask_gen_cmd(0, 0, 0x1000, kDdr, 1, 1, 1, 1, GDMA_VALUE_DIR_S2L, n); },
       "ASSERT_FS", "tensor_general_move_with_mask_gen_cmd", "GDMA_VALUE_DIR_L2S == direction",
       "direction must be L2S"},
      {"a filter source off 128 bytes",
       [](cmd_id_node_t *n) { tensor_general_move_with_mask_gen_cmd(0x40, 0, 0x1000, kDdr, 1, 1, 1, 1, GDMA_VALUE_DIR_L2S, n); },
       "ASSERT_FS", "tensor_general_move_with_mask_gen_cmd", "0 == (src_addr & 0x7f)",
       "src addr must alignment to 128 bytes"},
      {"a filter mask off 128 bytes",
       [](cmd_id_node_t *n) { tensor_general_move_with_mask_gen_cmd(0, 0, 0x1010, kDdr, 1, 1, 1, 1, GDMA_VALUE_DIR_L2S, n); },
       "ASSERT_FS", "tensor_general_move_with_mask_gen_cmd", "0 == (mask_addr & 0x7f)",
       "mask addr must alignment to 128 bytes"},
      {"a filter destination off 512 bytes",
       [](cmd_id_node_t *n) {
         tensor_general_move_with_mask_gen_cmd(0, 0, 0x1000, kDdr + 0x100, 1, 1, 1, 1, GDMA_VALUE_DIR_L2S, n);
       },
       "ASSERT_FS", "tensor_general_move_with_mask_gen_cmd", "0 == (dst_addr & 0x1ff)",
       "dst addr must alignment to 512 bytes"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    expect_gdma_assert(c.issue, c.kind, c.function, c.condition, c.info);
  }
}

TEST(GdmaCheck, AcceptedSizeAndStrideCombinations) {
  struct Case {
    const char *what;
    int fill, sn, sc, sh, sw, shs, sws, sws_shift;
    gdma_value_format_t sf;
    int dn, dc, dh, dw, dhs, dws;
    gdma_value_format_t df;
    bool accepted;
  };
  const gdma_value_format_t U8 = GDMA_VALUE_FORMAT_UINT8;
  const Case cases[] = {
      {"unit w strides (any h strides)", 0, 1, 2, 3, 4, 7, 1, 0, F32, 2, 1, 3, 4, 9, 1, I8, true},
      {"w stride 2 into 1, one row each", 0, 1, 2, 1, 4, 8, 2, 0, F32, 1, 2, 1, 4, 4, 1, F32, true},
      {"w stride 32 floats is 128 bytes", 0, 1, 2, 1, 4, 8, 32, 0, F32, 1, 2, 1, 4, 4, 1, F32, true},
      {"w stride 33 floats is more", 0, 1, 2, 1, 4, 8, 33, 0, F32, 1, 2, 1, 4, 4, 1, F32, false},
      {"a w stride of 64 seen through a shift of 1", 0, 1, 2, 1, 4, 8, 64, 1, F32, 1, 2, 1, 4, 4, 1, F32, true},
      {"w stride 2 with two formats", 0, 1, 2, 1, 4, 8, 2, 0, F32, 1, 2, 1, 4, 4, 1, I8, false},
      {"w stride 2 with different channels", 0, 1, 2, 1, 4, 8, 2, 0, F32, 1, 1, 1, 8, 4, 1, F32, false},
      {"bytes spread to every fourth (1N to 4N)", 0, 1, 2, 3, 4, 4, 1, 0, U8, 1, 2, 3, 4, 16, 4, I8, true},
      {"floats are not spread", 0, 1, 2, 3, 4, 4, 1, 0, F32, 1, 2, 3, 4, 16, 4, F32, false},
      {"16-bit halves spread to every second (1N to 2N)", 0, 2, 3, 2, 5, 5, 1, 0, I16, 2, 3, 2, 5, 20, 2, I16, true},
      {"bytes are not spread by 2", 0, 2, 3, 2, 5, 5, 1, 0, I8, 2, 3, 2, 5, 20, 2, I8, false},
      {"floats are not spread by 2", 0, 2, 3, 2, 5, 5, 1, 0, F32, 2, 3, 2, 5, 20, 2, F32, false},
      {"16-bit halves not by 3", 0, 2, 3, 2, 5, 5, 1, 0, I16, 2, 3, 2, 5, 20, 3, I16, false},
      {"16-bit halves spread with other shapes", 0, 2, 3, 2, 5, 5, 1, 0, I16, 2, 3, 5, 2, 20, 2, I16, false},
      {"16-bit halves from a strided source", 0, 2, 3, 1, 5, 5, 2, 0, I16, 2, 3, 1, 5, 20, 2, I16, false},
      {"a fill with w stride 1", 1, 0, 0, 0, 0, 0, 0, 0, F32, 1, 2, 3, 4, 9, 1, F32, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FwOutcome out = run_firmware([&] {
      CHECK_TENSOR_PARAM(c.fill, 0, c.sn, c.sc, c.sh, c.sw, c.shs, c.sws, 0, c.sws_shift, c.sf, c.dn, c.dc, c.dh, c.dw,
                         c.dhs, c.dws, 0, 0, c.df);
    });
    EXPECT_EQ(out.asserted, !c.accepted) << out.uart;
  }
}

// The general move writes words 1, 2 and 4-21 in full (word 3 keeps what the
// window held), then word 0; the ids come from the node.
TEST(GdmaCheck, GeneralMoveDescriptorWords) {
  GdmaRig rig;
  const u32 stale = 0x0badf00d;
  rig.run_raw([&] {
    cmd_id_node_t node = {0, 0, 0};
    fill_constant_gen_global_cmd_stride(kG, &stale, F32, 1, 1, 1, 1, 1, 1, 1, 1, &node);  // word 3 = stale
    node = {7, 3, 0};
    __tensor_general_move_gen_cmd(kDdr + 0x20000, 0, 2, 3, 4, 5, 60, 20, 5, 1, F32, 0x100, 61, 2, 3, 4, 5, 3000, 100,
                                  5, 1, I8, GDMA_VALUE_DIR_S2L, 0, &node);
    EXPECT_EQ(node.bd_cmd_id, 7u);
    EXPECT_EQ(node.gdma_cmd_id, 4u);
  });
  ASSERT_EQ(rig.gdma_commands(), 2u);
  const chip::Descriptor &d = rig.gdma_command(1).descriptor;
  const std::vector<u32> want = {
      0x14 | 1 << 5 | 0 << 6 | 1 << 10 | 4u << 16 | 1,  // strides given, global to local, own id 4, started
      3 | 3 << 3 | 0 << 8 | 1 << 11 | 7u << 16,         // conversion float32 to int8, waits for tensor-engine id 7
      0,
      stale,
      60, 20, 5, 1,
      3000, 100, 5, 1,
      2 | 3 << 16, 4 | 5 << 16,
      2 | 3 << 16, 4 | 5 << 16,
      0x20000,
      kL | 61u << 19 | 0x100,
      1,  // source high byte; the local destination's is 0
      0,
      0xffffffff, 0xffffffff,
  };
  for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(d.word(i), want[i]) << "word " << i;
  EXPECT_EQ(rig.gdma_command(1).kind_name, "conversion");
}

// Moves issued through the packs write only the words they touch: the
// destination shape of a strided move stays what the window held.
TEST(GdmaCheck, StridedMoveLeavesTheDestinationShapeUnwritten) {
  GdmaRig rig;
  rig.window(kG, 4096);
  rig.run_raw([&] {
    cmd_id_node_t node = {0, 0, 0};
    general(&node, 1, 2, 3, 4, 2, 1, 4, 3, F32, F32, 0);  // destination shape 2 x 1 x 4 x 3
    tensor_stride_move_gen_cmd(0x400, 3, kG, 1, 2, 3, 4, 24, 12, 4, 1, 24, 12, 4, 1, F32, GDMA_VALUE_DIR_S2L, 0, &node);
  });
  ASSERT_EQ(rig.gdma_commands(), 2u);
  const chip::Descriptor &d = rig.gdma_command(1).descriptor;
  EXPECT_EQ(d.word(14), 2u | 1u << 16);
  EXPECT_EQ(d.word(15), 4u | 3u << 16);
  EXPECT_EQ(d.word(1) & 0xffffu, 0x840u) << "layout bit and LRN step of the default image, format 0";
  EXPECT_EQ(d.word(16), u32(kG));
  EXPECT_EQ(d.word(17), kL | 3u << 19 | 0x400);
}

TEST(GdmaCheck, ModelReportsAMovePastTheEndOfALane) {
  GdmaRig rig;
  rig.window(kG, 4096);
  FwOutcome out = rig.run([&](cmd_id_node_t *node) {
    tensor_compact_move_gen_cmd(0x7fff0, 5, kG, 1, 1, 1, 8, F32, GDMA_VALUE_DIR_S2L, 0, node);
  });
  EXPECT_NE(out.end, host::Core::End::Returned);
  EXPECT_NE(out.fault.find("GDMA move: destination element (0,0,0,4) lies at byte 524288 of lane 5, outside its 512 KB"),
            std::string::npos)
      << out.fault;
  EXPECT_EQ(rig.chip().local.load32(ref::lane_addr(6, 0)), 0u) << "nothing spills into the next lane";
}

// Every descriptor leaves a profiling record of the GDMA engine with the node's
// ids after the issue; the filter count's wait leaves a wait record.
TEST(GdmaCheck, EveryDescriptorLeavesAProfilingRecord) {
  GdmaRig rig;
  std::vector<u8> records(64 * sizeof(profile_time_data_t));
  u32 copied = 0;
  ASSERT_TRUE(ran_clean(rig.run_raw([&] {
                          set_profile_time_enabled(1);
                          cmd_id_node_t node = {0, 0, 0};
                          general(&node, 100000, 1, 1, 1, 100000, 1, 1, 1, F32, F32, 0);  // two pieces
                          const u32 v = 5;
                          fill_constant_gen_global_cmd_stride(kG, &v, F32, 1, 1, 1, 4, 4, 4, 4, 1, &node);
                          get_gdma_filter_res_num_gen_cmd(&node);
                          copied = get_profile_time_data(records.data(), u32(records.size()), 0);
                          set_profile_time_enabled(0);
                        })));
  struct Record {
    s32 type;
    u64 data;
  };
  std::vector<Record> got;
  for (u32 off = 0; off < copied; off += sizeof(profile_time_data_t)) {
    profile_time_data_t r;
    std::memcpy(&r, records.data() + off, sizeof r);
    got.push_back({r.type, r.data});
  }
  const u64 gdma = u64(ENGINE_GDMA) << 48;
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].type, PROFILE_TYPE_START);
  for (u32 i = 1; i <= 3; i++) {
    EXPECT_EQ(got[i].type, PROFILE_TYPE_SET_NODE) << i;
    EXPECT_EQ(got[i].data, gdma | u64(i) << 16) << i;
  }
  EXPECT_EQ(got[4].type, PROFILE_TYPE_WAIT_NODE);
  EXPECT_EQ(got[4].data, u64(3) << 16);
}

}  // namespace
}  // namespace zv::test
