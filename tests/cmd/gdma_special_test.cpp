// The special moves through their generators on the chip model, under every
// schedule with the checker on: matrix sections and their round trip, lane
// shifts, fills, the C/W exchange and the filter move with its count.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "gdma_layout.h"

namespace zv::test {
namespace {

using ref::Dim4;

constexpr u32 F32 = GDMA_VALUE_FORMAT_FLOAT32, I16 = GDMA_VALUE_FORMAT_INT16, U8 = GDMA_VALUE_FORMAT_UINT8,
              I8 = GDMA_VALUE_FORMAT_INT8;

// ---- Matrices ----

struct MatrixCase {
  const char *what;
  bool general;  // general_matrix_move_gen_cmd (explicit strides) or matrix_move_gen_cmd
  int transpose;
  int rows, cols, sec, lane;
  int row_stride;  // global row stride of the general form
  u32 format;
};

// The sections of a matrix in the lanes: (N', S, 1, W') with rows padded to 128 bytes.
ref::Tensor sections(const MatrixCase &c, u32 offset) {
  const int cut = c.transpose ? c.rows : c.cols;
  const int s = (cut + c.sec - 1) / c.sec;
  const int width = (c.transpose && s == 1 && c.rows < c.sec) ? c.rows : c.sec;
  const i64 unit = 128 / ref::format_size(c.format);
  const i64 row = (width + unit - 1) / unit * unit;
  ref::Tensor t;
  t.local = true;
  t.addr = ref::lane_addr(c.lane, offset);
  t.shape = {c.transpose ? c.cols : c.rows, s, 1, width};
  t.stride = {row * ((c.lane + s + 63) / 64), row, row, 1};
  t.size = ref::format_size(c.format);
  return t;
}

void issue_matrix(const MatrixCase &c, u32 offset, u64 global, gdma_direction_t dir, int add, cmd_id_node_t *node) {
  if (c.general)
    general_matrix_move_gen_cmd(offset, c.lane, global, c.sec, c.rows, c.cols, c.row_stride,
                                gdma_value_format_t(c.format), dir, c.transpose, add, node);
  else
    matrix_move_gen_cmd(offset, c.lane, global, c.sec, c.rows, c.cols, gdma_value_format_t(c.format), dir,
                        c.transpose, node);
}

TEST(GdmaSpecial, MatrixMovesRoundTripThroughTheirSections) {
  const MatrixCase cases[] = {
      {"20 x 100 transposed, sections of 32: one section of 20, 100 rows", false, 1, 20, 100, 32, 0, 100, F32},
      {"5 x 100 from lane 62: sections in lanes 62, 63, 0 and 1", false, 0, 5, 100, 32, 62, 100, F32},
      {"100 x 6 transposed from lane 40: four sections", false, 1, 100, 6, 32, 40, 6, F32},
      {"7 x 50 int8, global rows 64 apart", true, 0, 7, 50, 16, 3, 64, I8},
      {"70 x 9 int16 transposed, global rows 12 apart, from lane 63", true, 1, 70, 9, 8, 63, 12, I16},
  };
  const u64 a = kDdr + 0x10000, b = kDdr + 0x30000;
  const u32 offset = 0x200;
  for (const MatrixCase &c : cases) {
    const int stride = c.general ? c.row_stride : c.cols;
    const u32 size = ref::format_size(c.format);
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sched));
      GdmaRig rig(sched);
      const ref::Tensor local = sections(c, offset);
      ref::Tensor ga, gb;  // the two global matrices as (1, 1, rows, cols) tensors
      ga.addr = a, gb.addr = b;
      ga.shape = gb.shape = {1, 1, c.rows, c.cols};
      ga.stride = gb.stride = {0, 0, stride, 1};
      ga.size = gb.size = size;
      prepare(rig, {local, ga, gb}, false);
      ref::matrix(rig.image(), true, a, c.rows, c.cols, stride, local, c.transpose != 0);
      ref::matrix(rig.image(), false, b, c.rows, c.cols, stride, local, c.transpose != 0);
      ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                              issue_matrix(c, offset, a, GDMA_VALUE_DIR_S2L, 0, node);
                              issue_matrix(c, offset, b, GDMA_VALUE_DIR_L2S, 0, node);
                            })));
      EXPECT_TRUE(rig.matches());
      // The round trip gives the matrix back.
      for (int r = 0; r < c.rows; r++) {
        std::vector<u8> x(c.cols * size), y(c.cols * size);
        rig.chip().ddr.load(a + u64(r) * stride * size, x.data(), x.size());
        rig.chip().ddr.load(b + u64(r) * stride * size, y.data(), y.size());
        ASSERT_EQ(x, y) << "row " << r;
      }
    }
  }
}

TEST(GdmaSpecial, MatrixShapesInTheDescriptor) {
  GdmaRig rig;
  prepare(rig, {sections({"", false, 1, 20, 100, 32, 0, 0, F32}, 0)}, false);
  rig.window(kDdr, 20 * 100 * 4);
  ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                          matrix_move_gen_cmd(0, 0, kDdr, 32, 20, 100, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L,
                                              1, node);
                        })));
  const chip::Descriptor &d = rig.gdma_command(0).descriptor;
  EXPECT_EQ(d.word(12), 1u | 1u << 16) << "global source 1 x 1";
  EXPECT_EQ(d.word(13), 20u | 100u << 16) << "x 20 x 100";
  EXPECT_EQ(d.word(14), 100u | 1u << 16) << "local 100 rows x 1 section";
  EXPECT_EQ(d.word(15), 1u | 20u << 16) << "x 1 x 20: the section holds the 20 rows";
  EXPECT_EQ(d.field(32, 3), 1u) << "transposed";
  EXPECT_EQ(d.field(38, 2), 2u) << "matrix bit set, layout bit clear";
  EXPECT_EQ(d.field(5, 1), 0u) << "the engine lays out both sides";
}

TEST(GdmaSpecial, MatrixLoadAddsToTheSections) {
  const MatrixCase c = {"", true, 0, 6, 40, 32, 30, 48, F32};
  for (const Sched &sched : all_schedules()) {
    SCOPED_TRACE(sched_text(sched));
    GdmaRig rig(sched);
    const ref::Tensor local = sections(c, 0x100);
    ref::Tensor g;
    g.addr = kDdr + 0x1000;
    g.shape = {1, 1, 6, 40};
    g.stride = {0, 0, 48, 1};
    for (auto [lo, hi] : covered({local, g})) rig.float_window(lo, (hi - lo) / 4);
    ref::matrix(rig.image(), true, kDdr + 0x1000, 6, 40, 48, local, false, true);
    ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                            issue_matrix(c, 0x100, kDdr + 0x1000, GDMA_VALUE_DIR_S2L, 1, node);
                          })));
    EXPECT_TRUE(rig.matches());
  }
}

// ---- Lane shifts ----

TEST(GdmaSpecial, LaneShiftAddressExamples) {
  struct Case {
    int lane;
    u32 offset;
    int shift, slot;
    int want_lane;
    u32 want_offset;
  };
  const Case cases[] = {
      {62, 0x100, 3, 0x400, 1, 0x500},    // into the next row of lanes
      {1, 0x500, -3, 0x400, 62, 0x100},   // and back: one slot back
      {5, 0x40, 0, 0x400, 5, 0x40},
      {0, 0x1000, -64, 0x400, 0, 0xc00},  // a whole row back, same lane
      {10, 0x80, 130, 0x200, 12, 0x480},  // two rows on
      {63, 0, 1, 0x100, 0, 0x100},
      {3, 0x900, -67, 0x300, 0, 0x600},   // r = 3 equals the lane: one row back
      {2, 0x900, -67, 0x300, 63, 0x300},  // r = 3 beyond the lane: two rows back
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.lane) + " shift " + std::to_string(c.shift));
    const u32 got = get_addr_by_featuremap_shift(0x08000000u | u32(c.lane) << 19 | c.offset, c.shift, c.slot);
    EXPECT_EQ(got, 0x08000000u | u32(c.want_lane) << 19 | c.want_offset);
  }
}

TEST(GdmaSpecial, LaneShiftMovesChannelsAcrossLanes) {
  struct Case {
    const char *what;
    int lane, n, c, h, w, direction, step, add;
  };
  const Case cases[] = {
      {"right by 2 from lane 0", 0, 1, 10, 2, 3, GDMA_VALUE_LRN_SHIFT_RIGHT, 2, 0},
      {"right by 3 from lane 60: channels run into the next row", 60, 2, 10, 1, 5, GDMA_VALUE_LRN_SHIFT_RIGHT, 3, 0},
      {"left by 5 from lane 62, 70 channels", 62, 2, 70, 2, 2, GDMA_VALUE_LRN_SHIFT_LEFT, 5, 0},
      {"left by 15 with result add", 20, 1, 100, 3, 3, GDMA_VALUE_LRN_SHIFT_LEFT, 15, 1},
      {"right by 1 with result add", 7, 3, 64, 1, 1, GDMA_VALUE_LRN_SHIFT_RIGHT, 1, 1},
  };
  const u32 a = 0x1000, b = 0x40000;
  for (const Case &c : cases) {
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sched));
      GdmaRig rig(sched);
      const Dim4 shape = {c.n, c.c, c.h, c.w};
      const SideSpec src = local_dense(c.lane, a, shape, 32), dst = local_dense(c.lane, b, shape, 32);
      for (auto [lo, hi] : covered({src.tensor(), dst.tensor()})) rig.float_window(lo, (hi - lo) / 4);
      const bool right = c.direction == GDMA_VALUE_LRN_SHIFT_RIGHT;
      ref::Image &img = rig.image();
      std::vector<std::pair<u64, float>> writes;
      for (int n = 0; n < c.n; n++)
        for (int ch = 0; ch + c.step < c.c; ch++)
          for (int h = 0; h < c.h; h++)
            for (int w = 0; w < c.w; w++) {
              const u64 from = ref::element_addr(src.tensor(), n, right ? ch : ch + c.step, h, w);
              const u64 to = ref::element_addr(dst.tensor(), n, right ? ch + c.step : ch, h, w);
              writes.push_back({to, img.get_f32(from) + (c.add ? img.get_f32(to) : 0.0f)});
            }
      for (auto [to, v] : writes) img.put(to, &v, 4);
      ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                              lrn_shift_gen_cmd(a, c.lane, b, c.n, c.c, c.h, c.w, GDMA_VALUE_FORMAT_FLOAT32,
                                                c.direction, c.step, c.add, node);
                            })));
      EXPECT_TRUE(rig.matches());
    }
  }
}

// ---- Fills ----

TEST(GdmaSpecial, FillsWriteTheZeroExtendedConstant) {
  struct Case {
    const char *what;
    bool local;
    u32 format;
    u8 value[4];
    u32 word3;
  };
  const Case cases[] = {
      {"local float32", true, F32, {0x00, 0x00, 0xc0, 0x3f}, 0x3fc00000},
      {"local int16", true, I16, {0x34, 0x92, 0x77, 0x77}, 0x9234},
      {"local uint8 0xab", true, U8, {0xab, 0xcd, 0xef, 0x12}, 0xab},
      {"global int8", false, I8, {0x80, 0xff, 0xff, 0xff}, 0x80},
      {"global float32", false, F32, {0x01, 0x02, 0x03, 0x04}, 0x04030201},
  };
  const Dim4 shape = {2, 70, 3, 5}, stride = {400, 100, 7, 1};  // gaps between rows, channels and items
  for (const Case &c : cases) {
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sched));
      GdmaRig rig(sched);
      const SideSpec t = c.local ? local(50, 0x300, shape, stride, c.format) : global(kDdr + 0x1000, shape, stride, c.format);
      prepare(rig, {t.tensor()}, false);
      ref::fill(rig.image(), t.tensor(), c.word3);
      ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                              if (c.local)
                                fill_constant_gen_local_cmd_stride(u32(t.addr), t.lane, c.value, gdma_value_format_t(c.format),
                                                                   2, 70, 3, 5, 400, 100, 7, 1, node);
                              else
                                fill_constant_gen_global_cmd_stride(t.addr, c.value, gdma_value_format_t(c.format), 2,
                                                                    70, 3, 5, 400, 100, 7, 1, node);
                            })));
      EXPECT_TRUE(rig.matches());
      EXPECT_EQ(rig.gdma_command(0).descriptor.word(3), c.word3);
    }
  }
}

// ---- C/W exchange ----

TEST(GdmaSpecial, CwTransposeWritesTheMatrixTransposed) {
  struct Case {
    const char *what;
    int src_lane, dst_lane, c, w, src_cstride, dst_cstride;
    u32 format;
  };
  const Case cases[] = {
      {"70 x 5 in lane 0 to 5 x 70", 0, 0, 70, 5, 32, 96, F32},
      {"3 x 100 from lane 10 to 100 x 3 from lane 60", 10, 60, 3, 100, 128, 4, F32},
      {"int8 66 x 9 from lane 63 to lane 1", 63, 1, 66, 9, 128, 128, I8},
  };
  const u32 a = 0x200, b = 0x40000;
  for (const Case &c : cases) {
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sched));
      GdmaRig rig(sched);
      const SideSpec src = local(c.src_lane, a, {1, c.c, 1, c.w}, {0, c.src_cstride, 0, 1}, c.format);
      const SideSpec dst = local(c.dst_lane, b, {1, c.w, 1, c.c}, {0, c.dst_cstride, 0, 1}, c.format);
      prepare(rig, {src.tensor(), dst.tensor()}, false);
      const u32 size = ref::format_size(c.format);
      std::vector<std::pair<u64, std::vector<u8>>> writes;
      for (int ch = 0; ch < c.c; ch++)
        for (int w = 0; w < c.w; w++) {
          std::vector<u8> v(size);
          rig.image().get(ref::element_addr(src.tensor(), 0, ch, 0, w), v.data(), size);
          writes.push_back({ref::element_addr(dst.tensor(), 0, w, 0, ch), v});
        }
      for (auto &[to, v] : writes) rig.image().put(to, v.data(), size);
      ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                              cwtrans_gen_cmd(0x08000000u | u32(c.src_lane) << 19 | a,
                                              0x08000000u | u32(c.dst_lane) << 19 | b, c.c, c.w,
                                              gdma_value_format_t(c.format), c.src_cstride, c.dst_cstride, node);
                            })));
      EXPECT_TRUE(rig.matches());
    }
  }
}

// ---- Filter ----

TEST(GdmaSpecial, FilterKeepsTheMaskedElementsAndCountsThem) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> pattern = {0.0f, 1.0f, -0.0f, nan, 2.5f, 0.0f, -1.0f, 0.0f, 1e-30f};
  struct Case {
    const char *what;
    int lane;
    Dim4 shape;
  };
  const Case cases[] = {
      {"one row of 100 channels from lane 0", 0, {1, 100, 1, 1}},
      {"2 x 70 x 3 x 3 from lane 61", 61, {2, 70, 3, 3}},
  };
  const u32 src_off = 0x400, mask_off = 0x10000;
  const u64 dst = kDdr + 0x2000;
  for (const Case &c : cases) {
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(sched));
      GdmaRig rig(sched);
      const SideSpec src = local_dense(c.lane, src_off, c.shape, 32), mask = local_dense(c.lane, mask_off, c.shape, 32);
      prepare(rig, {src.tensor()}, true);
      prepare(rig, {mask.tensor()}, true);
      size_t i = 0;
      for (i64 n = 0; n < c.shape.n; n++)
        for (i64 ch = 0; ch < c.shape.c; ch++)
          for (i64 h = 0; h < c.shape.h; h++)
            for (i64 w = 0; w < c.shape.w; w++)
              rig.put_f32(ref::element_addr(mask.tensor(), n, ch, h, w), pattern[i++ % pattern.size()]);
      rig.window(dst - 64, size_t(c.shape.count()) * 4 + 128);
      const size_t kept = ref::filter(rig.image(), src.tensor(), mask.tensor(), dst);
      int counted = -1;
      ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                              tensor_general_move_with_mask_gen_cmd(src_off, c.lane, mask_off, dst, int(c.shape.n),
                                                                    int(c.shape.c), int(c.shape.h), int(c.shape.w),
                                                                    GDMA_VALUE_DIR_L2S, node);
                              counted = get_gdma_filter_res_num_gen_cmd(node);
                            })));
      EXPECT_TRUE(rig.matches());
      EXPECT_EQ(counted, int(kept));
      EXPECT_GT(kept, 0u);
    }
  }
}

}  // namespace
}  // namespace zv::test
