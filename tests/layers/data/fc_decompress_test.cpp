// Expansion of compressed 8-bit fully-connected weights against the plain
// reference: the plan's sizes and areas, the layer on every schedule (race
// checker on), and its assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fw_test.h"
#include "layers/data/data_rig.h"
#include "layers/data/fc_decompress.h"
#include "ref/fc_decompress_ref.h"

namespace zv::test {
namespace {

struct Case {
  int outliers, input_len, output_num;
  u32 local_offset;
};

// Random codes and outlier bytes; positions below the lane's weight count,
// with a repeated position when there are several outliers.
std::vector<u8> compressed(const Case &c, unsigned seed) {
  const ref::FcCompressedLayout f = ref::fc_compressed_layout(c.outliers, c.input_len, c.output_num);
  std::vector<u8> v = pattern_bytes(64 * f.lane, seed);
  uint32_t x = 12345 + seed;
  for (u64 lane = 0; lane < 64; lane++)
    for (int j = 0; j < c.outliers; j++) {
      x = x * 1664525u + 1013904223u;
      u32 pos = (x >> 8) % u32(f.weights);
      if (j == 1) pos = v[lane * f.lane + f.positions] | u32(v[lane * f.lane + f.positions + 1]) << 8;
      v[lane * f.lane + f.positions + 2 * j] = u8(pos);
      v[lane * f.lane + f.positions + 2 * j + 1] = u8(pos >> 8);
    }
  return v;
}

TEST(FcDecompressPlan, SizesAndAreas) {
  struct Row {
    Case c;
    u64 L, P4, O4, S, area0;
  };
  const Row rows[] = {
      {{0, 1, 1, 0}, 1, 4, 0, 4, 4},
      {{3, 7, 64, 0}, 7, 4, 4, 14, 16},
      {{5, 33, 130, 0x100}, 99, 52, 8, 70, 0x100 + 72},
      {{1000, 300, 640, 0x1000}, 3000, 1500, 1000, 4500, 0x1000 + 4500},
      {{10, 70000, 100, 0}, 140000, 70000, 12, 70032, 70032},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.c.input_len);
    const fc_decompress_plan_t p = fc_decompress_plan_of(r.c.local_offset, r.c.outliers, r.c.input_len, r.c.output_num);
    EXPECT_EQ(p.L, r.L);
    EXPECT_EQ(p.P4, r.P4);
    EXPECT_EQ(p.O4, r.O4);
    EXPECT_EQ(p.S, r.S);
    EXPECT_EQ(p.positions, r.P4 + r.O4);
    EXPECT_EQ(p.area[0], r.area0);
    EXPECT_EQ(p.end, r.area0 + 6 * r.P4);
    EXPECT_LE(p.end, 0x80000u);
    EXPECT_TRUE(local_areas_valid(p.areas, FC_DECOMPRESS_AREA_COUNT));
    const ref::FcCompressedLayout f = ref::fc_compressed_layout(r.c.outliers, r.c.input_len, r.c.output_num);
    EXPECT_EQ(f.lane, p.S);
    EXPECT_EQ(f.weights, p.L);
  }
  // Too many weights for one lane, and negative counts, do not fit.
  EXPECT_GT(fc_decompress_plan_of(0, 0, 150000, 64).end, 0x80000u);
  EXPECT_GT(fc_decompress_plan_of(0, -1, 10, 64).end, 0x80000u);
}

TEST(FcDecompressLayer, MatchesReference) {
  const Case cases[] = {
      {0, 1, 1, 0},          // one weight per lane, no outlier
      {3, 7, 64, 0},         // odd weight count
      {5, 33, 130, 0x100},   // output rows not a multiple of 64, offset work areas
      {1000, 300, 640, 0x1000},
  };
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    for (const Case &c : cases) {
      SCOPED_TRACE(c.input_len);
      LayerRunner rig(s);
      const std::vector<u8> src = compressed(c, c.input_len);
      const std::vector<int8_t> want = ref::fc_decompress(src, c.outliers, c.input_len, c.output_num);
      put<u8>(rig, kDataIn, src);
      put<u8>(rig, kDataOut, std::vector<u8>(want.size() + 64, 0xa5));
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_fc_weight_decompress(kDataIn, kDataOut, c.local_offset, c.outliers, c.input_len, c.output_num, node);
      }));
      const std::vector<u8> got = get<u8>(rig, kDataOut, want.size() + 64);
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), want.size()));
      EXPECT_EQ(got.back(), 0xa5) << "nothing written past the 64 lanes";
    }
  }
}

TEST(FcDecompressLayer, Assertions) {
  expect_assert([](cmd_id_node_t *n) { nodechip_fc_weight_decompress(kDataIn, kDataOut, 0, -1, 10, 64, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_fc_weight_decompress",
                "input_len > 0 && output_num > 0 && outlier_num >= 0");
  expect_assert([](cmd_id_node_t *n) { nodechip_fc_weight_decompress(kDataIn, kDataOut, 2, 0, 10, 64, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_fc_weight_decompress", "local_offset % 4 == 0");
  expect_assert([](cmd_id_node_t *n) { nodechip_fc_weight_decompress(kDataIn, kDataOut, 0, 0, 150000, 64, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_fc_weight_decompress", "p.end <= LANE_BYTES",
                "150000 weights and 0 outliers per lane from local offset 0x0");
}

}  // namespace
}  // namespace zv::test
