// The tensor moves, issued by their generators as firmware code and executed by
// the chip model under every schedule with the checker on, against the plain
// strided copy of tests/ref: every direction, start lanes other than 0,
// channels across rows of lanes, transposes, conversions and the moves that
// must be cut into pieces.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gdma_layout.h"

namespace zv::test {
namespace {

using ref::Dim4;

constexpr u32 F32 = GDMA_VALUE_FORMAT_FLOAT32, I16 = GDMA_VALUE_FORMAT_INT16, U8 = GDMA_VALUE_FORMAT_UINT8,
              I8 = GDMA_VALUE_FORMAT_INT8;

struct GeneralCase {
  const char *what;
  SideSpec src, dst;
  gdma_direction_t direction;
  int transpose;
  size_t descriptors;  // pieces the move is cut into
};

void issue_general(const GeneralCase &c, cmd_id_node_t *node) {
  const SideSpec &s = c.src, &d = c.dst;
  tensor_general_move_gen_cmd(s.addr, s.lane, s.n(), s.c(), s.h(), s.w(), int(s.stride.n), int(s.stride.c),
                              int(s.stride.h), int(s.stride.w), gdma_value_format_t(s.format), d.addr, d.lane,
                              d.n(), d.c(), d.h(), d.w(), int(d.stride.n), int(d.stride.c), int(d.stride.h),
                              int(d.stride.w), gdma_value_format_t(d.format), c.direction, c.transpose, node);
}

// Runs a move under every schedule and compares the memory around both
// tensors with the reference.
void check_move(const char *what, const SideSpec &src, const SideSpec &dst, bool transpose, size_t descriptors,
                const std::function<void(cmd_id_node_t *)> &issue) {
  for (const Sched &sched : all_schedules()) {
    SCOPED_TRACE(std::string(what) + ", " + sched_text(sched));
    GdmaRig rig(sched);
    const bool floats = src.format == F32 && dst.format != F32;
    prepare(rig, {src.tensor(), dst.tensor()}, floats);
    ref::copy(rig.image(), src.tensor(), src.format, dst.tensor(), dst.format, transpose);
    ASSERT_TRUE(ran_clean(rig.run(issue)));
    EXPECT_TRUE(rig.matches());
    EXPECT_EQ(rig.gdma_commands(), descriptors);
  }
}

TEST(GdmaMove, GeneralMoveEqualsTheStridedCopy) {
  const u64 a = kDdr + 0x10000, b = kDdr + 0x200000;
  const GeneralCase cases[] = {
      {"global to local, start lane 0, EU-aligned", global_dense(a, {2, 3, 4, 5}), local_dense(0, 0x100, {2, 3, 4, 5}, 32),
       GDMA_VALUE_DIR_S2L, 0, 1},
      {"global to local, start lane 61, 70 channels over two rows of lanes", global_dense(a, {2, 70, 3, 3}),
       local_dense(61, 0x40, {2, 70, 3, 3}, 1), GDMA_VALUE_DIR_S2L, 0, 1},
      {"local to global, start lane 60, 10 channels", local_dense(60, 0x200, {2, 10, 2, 3}, 32),
       global_dense(b, {2, 10, 2, 3}), GDMA_VALUE_DIR_L2S, 0, 1},
      {"global to global, padded source rows and channels", global(a, {2, 2, 3, 4}, {40, 16, 5, 1}),
       global_dense(b, {2, 2, 3, 4}), GDMA_VALUE_DIR_S2S, 0, 1},
      {"local to local, lane 3 to lane 40, int8", local_dense(3, 0, {1, 30, 2, 8}, 1, I8),
       local_dense(40, 0x1000, {1, 30, 2, 8}, 128, I8), GDMA_VALUE_DIR_L2L, 0, 1},
      {"reshape 2x3x4x5 into 1x6x20x1, global to local lane 5", global_dense(a, {2, 3, 4, 5}),
       local_dense(5, 0x80, {1, 6, 20, 1}, 1), GDMA_VALUE_DIR_S2L, 0, 1},
      {"source row with w stride 2 (one row per channel)", global(a, {1, 3, 1, 16}, {96, 32, 32, 2}),
       local_dense(9, 0, {1, 3, 1, 16}, 32), GDMA_VALUE_DIR_S2L, 0, 1},
      {"N/C transpose, global 3x5 to local 5x3 from lane 2", global_dense(a, {3, 5, 2, 2}),
       local_dense(2, 0x300, {5, 3, 2, 2}, 32), GDMA_VALUE_DIR_S2L, 1, 1},
      {"N/C transpose, int16, local 4x70 from lane 10 to global 70x4", local_dense(10, 0, {4, 70, 1, 3}, 64, I16),
       global_dense(b, {70, 4, 1, 3}, I16), GDMA_VALUE_DIR_L2S, 1, 1},
      {"float32 to uint8 (rounding, saturation), global to local", global_dense(a, {1, 70, 1, 9}),
       local_dense(1, 0, {1, 70, 1, 9}, 1, U8), GDMA_VALUE_DIR_S2L, 0, 1},
      {"float32 to int8, local to global", local_dense(63, 0x400, {2, 3, 2, 16}, 32),
       global_dense(b, {2, 3, 2, 16}, I8), GDMA_VALUE_DIR_L2S, 0, 1},
      {"uint8 to float32, global to global", global_dense(a, {1, 2, 3, 50}, U8), global_dense(b, {1, 2, 3, 50}),
       GDMA_VALUE_DIR_S2S, 0, 1},
      {"int8 to float32, local to local", local_dense(7, 0, {1, 65, 1, 20}, 1, I8),
       local_dense(7, 0x8000, {1, 65, 1, 20}, 32), GDMA_VALUE_DIR_L2L, 0, 1},
      {"uint8 to int8 and int8 to uint8 saturate", global_dense(a, {1, 1, 16, 16}, U8),
       global_dense(b, {1, 1, 16, 16}, I8), GDMA_VALUE_DIR_S2S, 0, 1},
      {"int8 to uint8", global_dense(a, {1, 1, 16, 16}, I8), global_dense(b, {1, 1, 16, 16}, U8),
       GDMA_VALUE_DIR_S2S, 0, 1},
      {"100000 x 1 x 1 x 1 global to global: two descriptors", global_dense(a, {100000, 1, 1, 1}),
       global_dense(kDdr + 0x100000, {100000, 1, 1, 1}), GDMA_VALUE_DIR_S2S, 0, 2},
      {"C = 70000 global to local from lane 7: 65472 and 4528 channels", global_dense(a, {1, 70000, 1, 1}),
       local_dense(7, 0x40, {1, 70000, 1, 1}, 1), GDMA_VALUE_DIR_S2L, 0, 2},
      {"2 x 70000 plane, local int8 to global: widths cut at 65535", local_dense(33, 0, {1, 1, 2, 70000}, 1, I8),
       global_dense(b, {1, 1, 2, 70000}, I8), GDMA_VALUE_DIR_L2S, 0, 2},
  };
  for (const GeneralCase &c : cases)
    check_move(c.what, c.src, c.dst, c.transpose != 0, c.descriptors, [&](cmd_id_node_t *node) { issue_general(c, node); });
}

TEST(GdmaMove, StrideMoveEqualsTheStridedCopy) {
  struct Case {
    const char *what;
    SideSpec src, dst;
    gdma_direction_t direction;
    int transpose;
    size_t descriptors;
  };
  const u64 g = kDdr + 0x40000;
  const Case cases[] = {
      {"global with padded rows to local lane 9", global(g, {2, 5, 3, 4}, {100, 20, 6, 1}),
       local_dense(9, 0x20, {2, 5, 3, 4}, 32), GDMA_VALUE_DIR_S2L, 0, 1},
      {"local lane 50, 20 channels, to global with a gap per batch item", local_dense(50, 0, {3, 20, 2, 2}, 32),
       global(g, {3, 20, 2, 2}, {100, 4, 2, 1}), GDMA_VALUE_DIR_L2S, 0, 1},
      {"transposed: local 2x70 from lane 4 to global 70x2", local_dense(4, 0, {2, 70, 1, 5}, 1),
       global_dense(g, {70, 2, 1, 5}), GDMA_VALUE_DIR_L2S, 1, 1},
      {"C = 70000 global to local lane 7: 65472 and 4528 channels", global_dense(g, {1, 70000, 1, 1}),
       local_dense(7, 0, {1, 70000, 1, 1}, 1), GDMA_VALUE_DIR_S2L, 0, 2},
      {"dense 1 x 1 x 2 x 70000 int8 plane to local: re-cut 2 x 65408 and 1 x 9184",
       global_dense(g, {1, 1, 2, 70000}, I8), local_dense(12, 0x10, {1, 1, 2, 70000}, 1, I8), GDMA_VALUE_DIR_S2L,
       0, 2},
      {"transposed, local 2 x 70000 from lane 3 to global 70000 x 2", local_dense(3, 0, {2, 70000, 1, 1}, 1),
       global_dense(g, {70000, 2, 1, 1}), GDMA_VALUE_DIR_L2S, 1, 2},
      {"transposed, global 70000 x 2 to local 2 x 70000 from lane 5", global_dense(g, {70000, 2, 1, 1}),
       local_dense(5, 0x40, {2, 70000, 1, 1}, 1), GDMA_VALUE_DIR_S2L, 1, 2},
      {"1 x 70000 row, local w stride 2 to global: re-cut, each side by its own w stride",
       local(20, 0, {1, 1, 1, 70000}, {140000, 140000, 140000, 2}, I8), global_dense(g, {1, 1, 1, 70000}, I8),
       GDMA_VALUE_DIR_L2S, 0, 2},
  };
  for (const Case &c : cases) {
    const SideSpec &global_side = c.direction == GDMA_VALUE_DIR_S2L ? c.src : c.dst;
    const SideSpec &local_side = c.direction == GDMA_VALUE_DIR_S2L ? c.dst : c.src;
    check_move(c.what, c.src, c.dst, c.transpose != 0, c.descriptors, [&](cmd_id_node_t *node) {
      tensor_stride_move_gen_cmd(u32(local_side.addr), local_side.lane, global_side.addr, c.src.n(), c.src.c(),
                                 c.src.h(), c.src.w(), int(c.src.stride.n), int(c.src.stride.c), int(c.src.stride.h),
                                 int(c.src.stride.w), int(c.dst.stride.n), int(c.dst.stride.c), int(c.dst.stride.h),
                                 int(c.dst.stride.w), gdma_value_format_t(c.src.format), c.direction, c.transpose,
                                 node);
    });
  }
}

// Aligned and compact moves derive both layouts from the shape; the aligned
// local plane is rounded up to 32 elements.
TEST(GdmaMove, AlignedAndCompactMovesEqualTheStridedCopy) {
  struct Case {
    const char *what;
    bool aligned;
    int lane;
    Dim4 shape;
    u32 format;
    gdma_direction_t direction;
    int transpose;
  };
  const Case cases[] = {
      {"aligned load, lane 0", true, 0, {2, 40, 3, 5}, F32, GDMA_VALUE_DIR_S2L, 0},
      {"aligned store, lane 33, 100 channels", true, 33, {2, 100, 1, 7}, F32, GDMA_VALUE_DIR_L2S, 0},
      {"aligned transposed load: global 3x70 to local 70x3", true, 5, {3, 70, 2, 2}, F32, GDMA_VALUE_DIR_S2L, 1},
      {"aligned int8 load: planes rounded to 32 elements", true, 62, {1, 5, 3, 3}, I8, GDMA_VALUE_DIR_S2L, 0},
      {"compact load, lane 60, 10 channels: n stride of two planes", false, 60, {3, 10, 2, 2}, F32,
       GDMA_VALUE_DIR_S2L, 0},
      {"compact store, int16", false, 17, {2, 64, 1, 3}, I16, GDMA_VALUE_DIR_L2S, 0},
      {"compact transposed store: local 4x66 to global 66x4", false, 1, {4, 66, 1, 2}, F32, GDMA_VALUE_DIR_L2S, 1},
  };
  const u64 g = kDdr + 0x80000;
  const u32 offset = 0x180;
  for (const Case &c : cases) {
    const Dim4 swapped = {c.shape.c, c.shape.n, c.shape.h, c.shape.w};
    const bool load = c.direction == GDMA_VALUE_DIR_S2L;
    // The side written to has the transposed shape.
    const Dim4 global_shape = c.transpose && !load ? swapped : c.shape;
    const Dim4 local_shape = c.transpose && load ? swapped : c.shape;
    const SideSpec gs = global_dense(g, global_shape, c.format);
    const SideSpec ls = local_dense(c.lane, offset, local_shape, c.aligned ? 32 : 1, c.format);
    check_move(c.what, load ? gs : ls, load ? ls : gs, c.transpose != 0, 1, [&](cmd_id_node_t *node) {
      if (c.aligned)
        tensor_align_move_gen_cmd(offset, c.lane, g, int(c.shape.n), int(c.shape.c), int(c.shape.h), int(c.shape.w),
                                  gdma_value_format_t(c.format), c.direction, c.transpose, node);
      else
        tensor_compact_move_gen_cmd(offset, c.lane, g, int(c.shape.n), int(c.shape.c), int(c.shape.h),
                                    int(c.shape.w), gdma_value_format_t(c.format), c.direction, c.transpose, node);
    });
  }
}

TEST(GdmaMove, AlignedFloatMovesWithGlobalStrides) {
  const u64 g = kDdr + 0x20000;
  const Dim4 shape = {2, 70, 3, 3};
  const SideSpec gs = global(g, shape, {70 * 16, 16, 3, 1});  // channels padded to 16 elements
  const SideSpec ls = local_dense(58, 0x100, shape, 32);
  check_move("G2L", gs, ls, false, 1, [&](cmd_id_node_t *node) {
    general_align_tensor_move_G2L_gen_cmd(g, 0x100, 58, 2, 70, 3, 3, 70 * 16, 16, node);
  });
  check_move("L2G", ls, gs, false, 1, [&](cmd_id_node_t *node) {
    general_align_tensor_move_L2G_gen_cmd(0x100, 58, g, 2, 70, 3, 3, 70 * 16, 16, node);
  });
}

TEST(GdmaMove, FlatCopiesThroughL2SramAndTheDtcmScratch) {
  const u64 dev = kDdr + 0x300000, l2 = 0x10010000, dtcm = DTCM_SCRATCH_START + 0x100, back = kDdr + 0x310000;
  for (const Sched &sched : all_schedules()) {
    SCOPED_TRACE(sched_text(sched));
    GdmaRig rig(sched);
    for (u64 base : {dev, l2, dtcm, back}) rig.window(base - 64, 2000 * 2 + 128);
    auto copy = [&](u64 from, u64 to) {
      std::vector<u8> v(2000 * 2);
      rig.image().get(from, v.data(), u32(v.size()));
      rig.image().put(to, v.data(), u32(v.size()));
    };
    copy(dev, l2);
    copy(l2, dtcm);
    copy(dtcm, back);
    ASSERT_TRUE(ran_clean(rig.run([&](cmd_id_node_t *node) {
                            general_gdma_gen_cmd(dev, l2, GDMA_VALUE_FORMAT_INT16, 2000, GDMA_VALUE_DIR_S2S, node);
                            general_gdma_gen_cmd(l2, dtcm, GDMA_VALUE_FORMAT_INT16, 2000, GDMA_VALUE_DIR_S2S, node);
                            general_gdma_gen_cmd(dtcm, back, GDMA_VALUE_FORMAT_INT16, 2000, GDMA_VALUE_DIR_S2S, node);
                          })));
    EXPECT_TRUE(rig.matches());
  }
}

}  // namespace
}  // namespace zv::test
