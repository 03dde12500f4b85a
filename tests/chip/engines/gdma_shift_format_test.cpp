// The general move's sub-element shifts (word 19), issued by their generator
// as firmware code and executed by the model under every schedule with the
// checker on, against a plain strided copy whose row and column offsets go
// through the shifts: the nearest-neighbour column step of a resize, a
// fractional row step on the source, and a row step on the destination. Then
// the 2-byte code 4, which moves unconverted, and the conversions the
// generators refuse before the engine would meet them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "cmd/gdma.h"
#include "fw_test.h"

namespace zv::test {
namespace {

struct ShiftCase {
  const char *what;
  int c, h, w;                        // extents of both sides
  int src_cs, src_hs, src_ws, src_hsh, src_wsh;
  int dst_cs, dst_hs, dst_hsh;        // destination w stride 1, no w shift
  gdma_value_format_t format;
};

// Element offset of (c, h, w) through the shifts (floor of the fixed-point steps).
i64 offset(int c, int h, int w, int cs, int hs, int ws, int hsh, int wsh) {
  return i64(c) * cs + ((i64(h) * hs) >> hsh) + ((i64(w) * ws) >> wsh);
}

TEST(GdmaShift, ShiftedStridesStepByFixedPointFractions) {
  const ShiftCase cases[] = {
      {"column step 1.5 (24 >> 4) over 3 rows of 9 bytes", 3, 1, 9, 20, 0, 24, 0, 4, 9, 0, 0,
       GDMA_VALUE_FORMAT_UINT8},
      {"column step 0.75 (3 >> 2): each source byte repeated", 2, 1, 11, 16, 0, 3, 0, 2, 11, 0, 0,
       GDMA_VALUE_FORMAT_UINT8},
      {"float rows 7.5 elements apart (15 >> 1)", 1, 5, 4, 0, 15, 1, 1, 0, 0, 4, 0, GDMA_VALUE_FORMAT_FLOAT32},
      {"destination rows 2.5 elements apart (5 >> 1), int8", 2, 4, 2, 40, 8, 1, 0, 0, 16, 5, 1,
       GDMA_VALUE_FORMAT_INT8},
  };
  constexpr u64 kSrc = kUserDdr + 0x1000, kDst = kUserDdr + 0x8000;
  for (const ShiftCase &k : cases) {
    const int size = k.format == GDMA_VALUE_FORMAT_FLOAT32 ? 4 : 1;
    std::vector<u8> src(512), old(512);
    for (size_t i = 0; i < src.size(); i++) src[i] = u8(i * 7 + 3), old[i] = u8(0xa5 ^ i);
    std::vector<u8> want = old;
    for (int c = 0; c < k.c; c++)
      for (int h = 0; h < k.h; h++)
        for (int w = 0; w < k.w; w++) {
          const i64 s = offset(c, h, w, k.src_cs, k.src_hs, k.src_ws, k.src_hsh, k.src_wsh);
          const i64 d = offset(c, h, w, k.dst_cs, k.dst_hs, 1, k.dst_hsh, 0);
          std::memcpy(&want[d * size], &src[s * size], size);
        }
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      rig.chip().device_memory().store(kSrc, src.data(), src.size());
      rig.chip().device_memory().store(kDst, old.data(), old.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        tensor_general_move_gen_cmd_with_shift_fast(kSrc, 0, 1, k.c, k.h, k.w, 0, k.src_cs, k.src_hs, k.src_ws,
                                                    k.src_hsh, k.src_wsh, k.format, kDst, 0, 1, k.c, k.h, k.w, 0,
                                                    k.dst_cs, k.dst_hs, 1, k.dst_hsh, 0, k.format,
                                                    GDMA_VALUE_DIR_S2S, 0, node);
      }));
      std::vector<u8> got(old.size());
      rig.chip().device_memory().load(kDst, got.data(), got.size());
      EXPECT_TRUE(got == want);
    }
  }
}

TEST(GdmaShift, TwoByteCodeFourMovesUnconvertedWithStrides) {
  constexpr u64 kSrc = kUserDdr + 0x1000, kDst = kUserDdr + 0x8000;
  std::vector<u16> src(64), old(64, 0xbeef);
  for (size_t i = 0; i < src.size(); i++) src[i] = u16(0x1000 + 37 * i);
  // 3 rows of 5 half-words, source rows 9 apart, destination dense.
  std::vector<u16> want = old;
  for (int h = 0; h < 3; h++)
    for (int w = 0; w < 5; w++) want[5 * h + w] = src[9 * h + w];
  for (const Sched &sched : all_schedules()) {
    SCOPED_TRACE(sched_text(sched));
    LayerRunner rig(sched);
    rig.chip().device_memory().store(kSrc, src.data(), 2 * src.size());
    rig.chip().device_memory().store(kDst, old.data(), 2 * old.size());
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      tensor_general_move_gen_cmd(kSrc, 0, 1, 1, 3, 5, 27, 27, 9, 1, gdma_value_format_t(4), kDst, 0, 1, 1, 3, 5,
                                  15, 15, 5, 1, gdma_value_format_t(4), GDMA_VALUE_DIR_S2S, 0, node);
    }));
    std::vector<u16> got(old.size());
    rig.chip().device_memory().load(kDst, got.data(), 2 * got.size());
    EXPECT_TRUE(got == want);
  }
}

TEST(GdmaShift, ConversionsWithCodesFourAndEightAreRefused) {
  const u64 a = kUserDdr, b = kUserDdr + 0x1000;
  const char *convert = "gdma_format_converts(src_format) && gdma_format_converts(dst_format)";
  struct Case {
    gdma_value_format_t from, to;
    const char *condition, *info;
  };
  const Case cases[] = {
      {gdma_value_format_t(4), GDMA_VALUE_FORMAT_FLOAT32, convert,
       "the engine converts only between float32, uint8 and int8: src_format=4, dst_format=0"},
      {GDMA_VALUE_FORMAT_UINT8, gdma_value_format_t(8), "(u32)(dst_format) < 8", "format 8 has no descriptor code"},
      {gdma_value_format_t(8), gdma_value_format_t(8), "(u32)(src_format) < 8", "format 8 has no descriptor code"},
  };
  for (const Case &k : cases) {
    expect_assert(
        [&](cmd_id_node_t *node) {
          __tensor_general_move_gen_cmd(a, 0, 1, 1, 2, 4, 8, 8, 4, 1, k.from, b, 0, 1, 1, 2, 4, 8, 8, 4, 1, k.to,
                                        GDMA_VALUE_DIR_S2S, 0, node);
        },
        "ASSERT_FS", "firmware/cmd/", "__tensor_general_move_gen_cmd", k.condition, k.info);
    expect_assert(
        [&](cmd_id_node_t *node) {
          tensor_general_move_gen_cmd_with_shift_fast(a, 0, 1, 1, 2, 4, 8, 8, 4, 1, 0, 0, k.from, b, 0, 1, 1, 2, 4, 8,
                                                      8, 4, 1, 0, 0, k.to, GDMA_VALUE_DIR_S2S, 0, node);
        },
        "ASSERT_FS", "firmware/cmd/", "tensor_general_move_gen_cmd_with_shift_fast", k.condition, k.info);
  }
}

}  // namespace
}  // namespace zv::test
