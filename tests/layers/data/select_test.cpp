// ARM read-back and the filter by batch flags, run as firmware code on the chip
// model under every schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/data/select.h"
#include "cmd/gde_gather.h"
#include "cmd/local_areas.h"
#include "ref/index_select_ref.h"
#include "ref/masked_select_ref.h"
#include "ref/where_ref.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kFlags = 0x101000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kScratch = 0x108000000ull;
constexpr u64 kIndex = 0x10c000000ull;
constexpr u64 kBuf1 = 0x110000000ull;
constexpr u64 kBuf2 = 0x114000000ull;

TEST(ReadBack, FloatAndFirstByte) {
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    put<float>(rig, kIn + 64, {-2.5f, 7.0f});
    float f = 0;
    u8 b = 0;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      f = get_float_in_arm(kIn + 68, kScratch, node);
      b = get_u8_in_arm(kIn + 64, kScratch + 128, node);
    }));
    EXPECT_EQ(f, 7.0f);
    EXPECT_EQ(b, 0x00) << "the low byte of -2.5f";
  }
  // A scratch outside the ARM's window is refused before anything moves.
  expect_assert([](cmd_id_node_t *n) { get_float_in_arm(kIn, 0x180000000ull, n); }, "ASSERT", "firmware/layers/",
                "arm_window_ptr",
                "global >= GLOBAL_MEM_START_ADDR && bytes <= ARM_WINDOW_BYTES && global - GLOBAL_MEM_START_ADDR <= "
                "ARM_WINDOW_BYTES - bytes",
                "global=0x180000000, 4 bytes");
}

TEST(FilterLayer, FlagsKeepItemsInOrder) {
  const int C = 3, H = 2, W = 5, item = C * H * W;
  std::vector<float> in(size_t(6) * item);
  for (size_t i = 0; i < in.size(); i++) in[i] = float(i);
  const std::vector<float> flags = {1.0f, 0.0f, -0.0f, NAN, -3.0f, 0.0f};
  const std::vector<int> kept = {0, 3, 4};
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    put<float>(rig, kIn, in);
    put<float>(rig, kFlags, flags);
    put<float>(rig, kOut, std::vector<float>(size_t(4) * item, -1.0f));
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_filter_forward(kIn, kFlags, kOut, kScratch, 6, C, H, W, node); }));
    std::vector<float> want;
    for (int i : kept) want.insert(want.end(), in.begin() + i * item, in.begin() + (i + 1) * item);
    want.insert(want.end(), size_t(item), -1.0f);  // nothing past the kept items
    EXPECT_EQ(get<float>(rig, kOut, want.size()), want);
  }
  expect_assert([](cmd_id_node_t *n) { nodechip_filter_forward(kIn, kFlags, kOut, kScratch, 0x400000, 1, 1, 1, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_filter_forward", "0");
}

TEST(IndexSelectPlan, ViewsAndRoads) {
  struct Case {
    const char *what;
    std::vector<int> shape;
    int axis, type_size;
    int dims, view_axis;
    std::vector<int> order;
    u64 rows, inner;
    int gde;
  };
  const Case cases[] = {
      {"one axis of floats: GDE words", {9}, 0, 4, 1, 0, {0}, 9, 1, GDE_TYPE_WORD},
      {"one axis of bytes: GDMA", {9}, 0, 1, 1, 0, {0}, 9, 1, -1},
      {"rows of four floats: GDE 16-byte items", {5, 4}, 0, 4, 2, 0, {0, 1}, 5, 4, GDE_TYPE_128BITS},
      {"axis 1 of [4, 5]: four floats per row after the transpose", {4, 5}, 1, 4, 2, 1, {1, 0}, 5, 4,
       GDE_TYPE_128BITS},
      {"rows of three: GDMA", {5, 3}, 0, 4, 2, 0, {0, 1}, 5, 3, -1},
      {"leading 1s dropped, axis -1", {1, 1, 2, 3, 4}, -1, 4, 3, 2, {2, 0, 1}, 4, 6, -1},
      {"a 1 behind the axis is kept", {1, 6, 1}, 1, 4, 2, 0, {0, 1}, 6, 1, -1},
      {"too long for L2: GDMA", {0x100001}, 0, 4, 1, 0, {0}, 0x100001, 1, -1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    index_select_view_t v;
    index_select_view_of(&v, k.shape.data(), int(k.shape.size()), k.axis, k.type_size);
    EXPECT_EQ(v.dims, k.dims);
    EXPECT_EQ(v.axis, k.view_axis);
    EXPECT_EQ(std::vector<int>(v.order, v.order + v.dims), k.order);
    for (int i = 0; i < v.dims; i++) EXPECT_EQ(v.inverse[v.order[i]], i);
    EXPECT_EQ(v.rows, k.rows);
    EXPECT_EQ(v.inner, k.inner);
    EXPECT_EQ(v.gde_type, k.gde);
  }
}

TEST(IndexSelectLayer, FloatRoadsAgainstTheReference) {
  struct Case {
    const char *what;
    std::vector<int> shape;
    int axis;
    std::vector<int> index;
    u64 scratch;
    size_t gathers;
  };
  const Case cases[] = {
      {"GDMA runs along axis 0", {9, 3, 2}, 0, {5, 6, 7, 2, 2, 0}, kScratch, 0},
      {"axis -1 of a 3-D tensor", {2, 3, 7}, -1, {6, 0, 1, 2, 6}, kScratch, 0},
      {"axis 1 through the transposes", {2, 5, 3}, 1, {4, 4, 1}, kScratch, 0},
      {"indices staged in the DTCM scratch window", {9, 3}, 0, {8, 1, 2}, DTCM_SCRATCH_START, 0},
      {"GDE words", {300}, 0, {299, 0, 17, 17, 5}, kScratch, 1},
      {"GDE 16-byte rows after a transpose", {4, 10}, 1, {9, 3, 3, 0}, kScratch, 1},
  };
  for (const Sched &s : all_schedules())
    for (const Case &k : cases) {
      SCOPED_TRACE(sched_text(s) + ": " + k.what);
      size_t n = 1;
      for (int e : k.shape) n *= size_t(e);
      std::vector<float> in(n);
      for (size_t i = 0; i < n; i++) in[i] = float(i) * 0.5f - 3.0f;
      LayerRunner rig(s);
      put(rig, kIn, in);
      put(rig, kIndex, k.index);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_index_select(kIn, kIndex, int(k.index.size()), kOut, kBuf1, kBuf2, k.scratch, k.shape.data(),
                              int(k.shape.size()), k.axis, node);
      }));
      const std::vector<float> want = ref::index_select(in, k.shape, k.axis, k.index);
      EXPECT_EQ(get<float>(rig, kOut, want.size()), want);
      EXPECT_EQ(rig.chip().engines.gde.commands().size(), k.gathers);
    }
}

TEST(IndexSelectLayer, BytesAndChunksOfIndices) {
  const std::vector<int> shape = {3, 40, 5};
  std::vector<int8_t> in(600);
  for (size_t i = 0; i < in.size(); i++) in[i] = int8_t(i * 7);
  std::vector<int> index(70000);
  for (size_t i = 0; i < index.size(); i++) index[i] = int((i * 13) % 40);
  for (const Sched &s : {all_schedules()[0], deferred(2)}) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    put(rig, kIn, in);
    put(rig, kIndex, index);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_index_select_fix8b(kIn, kIndex, int(index.size()), kOut, kBuf1, kBuf2, kScratch, shape.data(), 3, 1,
                                  node);
    }));
    const std::vector<int8_t> want = ref::index_select(in, shape, 1, index);
    EXPECT_EQ(get<int8_t>(rig, kOut, want.size()), want);
  }
}

TEST(IndexSelectLayer, IndexOutsideTheAxisIsRefused) {
  const int shape[2] = {4, 3};
  FirmwareRig rig;
  put(rig, kIndex, std::vector<int>{1, 4});
  EXPECT_TRUE(stopped_on(rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_index_select(kIn, kIndex, 2, kOut, kBuf1, kBuf2, kScratch, shape, 2, 0, node);
  }),
                         "ASSERT", "firmware/layers/", "index_select_gdma", "first >= 0 && (u64)first < rows",
                         "index 4 at 1, extent 4"));
}

TEST(MaskedSelectPlan, ShapesAndPieces) {
  struct Case {
    const char *what;
    std::vector<int> src, mask;
    int align_first;
    int rank;
    std::vector<int> src_at, mask_at, out;
    int tile_src, tile_mask, ok;
  };
  const Case cases[] = {
      {"right-aligned: the mask is tiled", {2, 3}, {3}, 0, 4, {2, 3, 1, 1}, {1, 3, 1, 1}, {2, 3, 1, 1}, 0, 1, 1},
      {"left-aligned: [2, 3] against [3] does not broadcast", {2, 3}, {3}, 1, 4, {2, 3, 1, 1}, {3, 1, 1, 1},
       {3, 3, 1, 1}, 0, 0, 0},
      {"both tiled", {2, 1, 4}, {3, 1}, 0, 4, {2, 1, 4, 1}, {1, 3, 1, 1}, {2, 3, 4, 1}, 1, 1, 1},
      {"rank 5, equal shapes", {1, 2, 1, 2, 3}, {1, 2, 1, 2, 3}, 0, 5, {1, 2, 1, 2, 3}, {1, 2, 1, 2, 3},
       {1, 2, 1, 2, 3}, 0, 0, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    masked_shapes_t m;
    masked_shapes_of(&m, k.src.data(), int(k.src.size()), k.mask.data(), int(k.mask.size()), k.align_first);
    EXPECT_EQ(m.rank, k.rank);
    EXPECT_EQ(m.ok, k.ok);
    EXPECT_EQ(std::vector<int>(m.src, m.src + m.rank), k.src_at);
    EXPECT_EQ(std::vector<int>(m.mask, m.mask + m.rank), k.mask_at);
    if (k.ok) {
      EXPECT_EQ(std::vector<int>(m.out, m.out + m.rank), k.out);
      EXPECT_EQ(m.tile_src, k.tile_src);
      EXPECT_EQ(m.tile_mask, k.tile_mask);
    }
  }
  struct Piece {
    u64 remaining;
    int lanes, h, w;
  };
  const Piece pieces[] = {{5, 1, 1, 5}, {65535, 1, 1, 65535}, {65536, 1, 2, 32768}, {65537, 1, 2, 32768},
                          {200000, 3, 2, 32768}, {64ull * 65536 + 3, 64, 2, 32768}};
  for (const Piece &k : pieces) {
    const masked_piece_t p = masked_piece_of(k.remaining);
    EXPECT_EQ(p.lanes, k.lanes) << k.remaining;
    EXPECT_EQ(p.h, k.h) << k.remaining;
    EXPECT_EQ(p.w, k.w) << k.remaining;
  }
  const local_area_t areas[2] = {{"source", MASKED_LOCAL_SRC, MASKED_LANE_ELEMS * 4},
                                 {"mask", MASKED_LOCAL_MASK, MASKED_LANE_ELEMS * 4}};
  EXPECT_TRUE(local_areas_valid(areas, 2));
}

TEST(MaskedSelectLayer, FloatAndBytesAgainstTheReference) {
  // Masks with -0.0 (not set), NaN (set) and bytes 0x80 (set); several pieces.
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    const std::vector<int> shape = {3, 70001};
    std::vector<float> src(size_t(3) * 70001), mask(src.size());
    for (size_t i = 0; i < src.size(); i++) {
      src[i] = float(i);
      const unsigned x = unsigned(i * 2654435761u) >> 28;
      mask[i] = x < 6 ? 0.0f : x < 9 ? -0.0f : x == 9 ? NAN : float(x);
    }
    put(rig, kIn, src);
    put(rig, kFlags, mask);
    int count = -1;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      count = nodechip_masked_select(kIn, shape.data(), 2, kFlags, shape.data(), 2, kOut, 4, 4, FW_STORE_MODE_1N,
                                     FW_STORE_MODE_1N, kBuf1, kBuf2, 0, node);
    }));
    std::vector<float> want = ref::masked_select(src, shape, mask, shape);
    ASSERT_EQ(count, int(want.size()));
    EXPECT_EQ(get<float>(rig, kOut, want.size()), want);

    std::vector<int8_t> bsrc(1000), bmask(1000);
    for (size_t i = 0; i < bsrc.size(); i++) {
      bsrc[i] = int8_t(i * 7);
      bmask[i] = int8_t(i % 5 == 0 ? 0x80 : i % 3 == 0 ? 1 : 0);
    }
    const std::vector<int> bshape = {10, 100};
    put(rig, kIn, bsrc);
    put(rig, kFlags, bmask);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      count = nodechip_masked_select(kIn, bshape.data(), 2, kFlags, bshape.data(), 2, kOut + 3, 1, 1,
                                     FW_STORE_MODE_1N, FW_STORE_MODE_1N, kBuf1, kBuf2, 0, node);
    }));
    const std::vector<int8_t> bwant = ref::masked_select(bsrc, bshape, bmask, bshape);
    ASSERT_EQ(count, int(bwant.size()));
    EXPECT_EQ(get<int8_t>(rig, kOut + 3, bwant.size()), bwant);
  }
}

TEST(MaskedSelectLayer, BroadcastAnd4NOperands) {
  LayerRunner rig(deferred(3));
  // A float source [2, 3] under a byte mask [3] (tiled), stored 4N with one item.
  const std::vector<float> src = {1, 2, 3, 4, 5, 6};
  put(rig, kIn, src);
  put(rig, kFlags, std::vector<int8_t>{0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0});  // 4N: [0, 9, 0] in slot 0
  const int src_shape[2] = {2, 3}, mask_shape[2] = {1, 3};
  int count = -1;
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    count = nodechip_masked_select(kIn, src_shape, 2, kFlags, mask_shape, 2, kOut, 4, 1, FW_STORE_MODE_1N,
                                   FW_STORE_MODE_4N, kBuf1, kBuf2, 0, node);
  }));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(get<float>(rig, kOut, 2), (std::vector<float>{2, 5}));
  // A byte source [2, 1] stored 4N (two items in one word each) tiled against a float mask [2, 3].
  put(rig, kIn, std::vector<int8_t>{11, 22, 0, 0});
  put(rig, kFlags, std::vector<float>{1, 0, 1, 0, 1, 1});
  const int bsrc_shape[2] = {2, 1}, fmask_shape[2] = {2, 3};
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    count = nodechip_masked_select(kIn, bsrc_shape, 2, kFlags, fmask_shape, 2, kOut, 1, 4, FW_STORE_MODE_4N,
                                   FW_STORE_MODE_1N, kBuf1, kBuf2, 0, node);
  }));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(get<int8_t>(rig, kOut, 4), (std::vector<int8_t>{11, 11, 22, 22}));
}

// Three float sources of 3, 2 and 1 dimensions under one mask [2, 3, 4]: the
// 1-dimensional one runs first, then the others in order; a source that
// selects nothing zeroes the counts of those not yet run.
TEST(MaskedSelectLayer, SeveralInputsFewestDimensionsFirst) {
  const std::vector<int> mask_shape = {2, 3, 4};
  std::vector<float> mask(24), s0(24), s1(12), s2(4);
  for (size_t i = 0; i < 24; i++) mask[i] = (i * 5) % 3 == 0 ? 1.0f : 0.0f;
  for (size_t i = 0; i < 24; i++) s0[i] = float(i);
  for (size_t i = 0; i < 12; i++) s1[i] = float(100 + i);
  for (size_t i = 0; i < 4; i++) s2[i] = float(200 + i);
  const int shapes[3][4] = {{2, 3, 4, 0}, {3, 4, 0, 0}, {4, 0, 0, 0}};
  const int dims[3] = {3, 2, 1}, types[3] = {4, 4, 4}, modes[3] = {0, 0, 0};
  // The first and third sources share their output: the one run last stays.
  const u64 src[3] = {kIn, kIn + 0x10000, kIn + 0x20000}, dst[3] = {kOut, kOut + 0x10000, kOut};
  const std::vector<float> w0 = ref::masked_select(s0, {2, 3, 4}, mask, mask_shape);
  const std::vector<float> w1 = ref::masked_select(s1, {1, 3, 4}, mask, mask_shape);
  const std::vector<float> w2 = ref::masked_select(s2, {1, 1, 4}, mask, mask_shape);
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    LayerRunner rig(s);
    put(rig, kFlags, mask);
    put(rig, src[0], s0);
    put(rig, src[1], s1);
    put(rig, src[2], s2);
    int counts[3] = {-1, -1, -1};
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_masked_select_multi_input(src, dst, kFlags, kBuf1, kBuf2, 3, shapes, dims, mask_shape.data(), 3, types,
                                         4, modes, FW_STORE_MODE_1N, 0, node, counts);
    }));
    EXPECT_EQ(counts[0], int(w0.size()));
    EXPECT_EQ(counts[1], int(w1.size()));
    EXPECT_EQ(counts[2], int(w2.size()));
    ASSERT_EQ(w0.size(), w2.size());
    EXPECT_EQ(get<float>(rig, dst[0], w0.size()), w0) << "source 0 ran after source 2";
    EXPECT_EQ(get<float>(rig, dst[1], w1.size()), w1);
    // An all-zero mask: the first source run (index 2) selects nothing, and
    // every count is 0 without running the others.
    put(rig, kFlags, std::vector<float>(24, 0.0f));
    put(rig, dst[0], std::vector<float>(4, -1.0f));
    int counts2[3] = {-1, -1, -1};
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_masked_select_multi_input(src, dst, kFlags, kBuf1, kBuf2, 3, shapes, dims, mask_shape.data(), 3, types,
                                         4, modes, FW_STORE_MODE_1N, 0, node, counts2);
    }));
    EXPECT_EQ(counts2[0], 0);
    EXPECT_EQ(counts2[1], 0);
    EXPECT_EQ(counts2[2], 0);
  }
}

TEST(MaskedSelectLayer, Refusals) {
  const int a[2] = {2, 3}, b[1] = {3};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_masked_select(kIn, a, 2, kFlags, b, 1, kOut, 4, 4, 0, 0, kBuf1, kBuf2, 1, n);
  }, "ASSERT_FS", "firmware/layers/", "deal_with_shape", "false", "shape is not broadcastable");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_masked_select(kIn, a, 2, kFlags, b, 1, kOut, 2, 4, 0, 0, kBuf1, kBuf2, 0, n);
  }, "ASSERT_FS", "firmware/layers/", "typesize2type", "0", "not support format_bytes:2\n");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_masked_select(kIn, a, 0, kFlags, b, 1, kOut, 4, 4, 0, 0, kBuf1, kBuf2, 0, n);
  }, "ASSERT_FS", "firmware/layers/", "nodechip_masked_select", "src_dim_size > 0 && mask_dim_size > 0");
  const int z[2] = {2, 0};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_masked_select(kIn, z, 2, kFlags, z, 2, kOut, 4, 4, 0, 0, kBuf1, kBuf2, 0, n);
  }, "ASSERT_FS", "firmware/layers/", "data_convert", "total_length != 0");
}

TEST(WhereLayer, CoordinatesAgainstTheReference) {
  struct Case {
    const char *what;
    std::vector<int> shape;
    int every;  // one element in `every` is non-zero
  };
  const Case cases[] = {
      {"4-D, extents of 1 inside", {3, 1, 7, 5}, 3},
      {"one axis", {100}, 7},
      {"large extents: the rounded quotient is corrected", {2, 4099, 2039}, 997},
      {"64 x 0xffc0 + 1 elements: two flat chunks", {64 * 0xffc0 + 1}, 65537},
      {"all zero", {5, 6}, 0},
  };
  for (const Case &k : cases)
    for (const Sched &s : {all_schedules()[0], deferred(1)}) {
      SCOPED_TRACE(sched_text(s) + ": " + k.what);
      size_t n = 1;
      for (int e : k.shape) n *= size_t(e);
      std::vector<float> in(n, 0.0f);
      for (size_t i = 0; k.every && i < n; i++)
        if ((i * 2654435761u) % unsigned(k.every) == 0) in[i] = i % 2 ? -1.5f : NAN;
      if (n > 10) in[n - 1] = 3.0f, in[1] = -0.0f;
      LayerRunner rig(s);
      put(rig, kIn, in);
      put(rig, kBuf2, std::vector<int32_t>{-7});
      int count = -1;
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        count = nodechip_where_v2(kIn, kOut, kBuf2, kBuf1 + 4, kScratch, k.shape.data(), int(k.shape.size()), node);
      }));
      const std::vector<int32_t> want = ref::where(in, k.shape);
      ASSERT_EQ(size_t(count) * k.shape.size(), want.size());
      EXPECT_EQ(get<int32_t>(rig, kOut, want.size()), want);
      EXPECT_EQ(get<int32_t>(rig, kBuf2, 1), std::vector<int32_t>{count}) << "the count, also when 0";
    }
}

TEST(WhereLayer, NoCountAddressAndTooManyElements) {
  {
    LayerRunner rig;
    put(rig, kIn, std::vector<float>{0, 2, 0, 4});
    put(rig, kFlags, std::vector<int32_t>{-7});
    const int shape[2] = {2, 2};
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      EXPECT_EQ(nodechip_where_v2(kIn, kOut, ~0ull, kBuf1, kScratch, shape, 2, node), 2);
    }));
    EXPECT_EQ(get<int32_t>(rig, kOut, 4), (std::vector<int32_t>{0, 1, 1, 1}));
    EXPECT_EQ(get<int32_t>(rig, kFlags, 1), std::vector<int32_t>{-7});
  }
  const int big[2] = {4097, 4096};
  expect_assert([&](cmd_id_node_t *n) { nodechip_where_v2(kIn, kOut, ~0ull, kBuf1, kScratch, big, 2, n); }, "ASSERT",
                "firmware/layers/", "nodechip_where_v2", "total <= WHERE_MAX_ELEMS", "16781312 elements, at most 2^24");
}

TEST(SelectLayer, ConditionsConstantsAndRelu) {
  struct Case {
    const char *what;
    int a_const, b_const, int_cond, relu;
    float limit;
    size_t count;
  };
  const Case cases[] = {
      {"two tensors, float condition", 0, 0, 0, 0, 0.0f, 1000},
      {"constant a, int32 condition", 1, 0, 1, 0, 0.0f, 1000},
      {"constant b, relu capped at 2", 0, 1, 0, 1, 2.0f, 1000},
      {"both constant, relu, more than one piece", 1, 1, 0, 1, 0.0f, 64 * 16384 + 77},
  };
  const float ac = -4.5f, bc = 7.25f;
  for (const Case &k : cases)
    for (const Sched &s : {all_schedules()[0], deferred(2)}) {
      SCOPED_TRACE(sched_text(s) + ": " + k.what);
      std::vector<float> cond(k.count), a(k.count), b(k.count);
      std::vector<uint32_t> icond(k.count);
      // Zeros of both signs, a tiny non-zero, NaN; int words 0, 1, -1 and a float's -1.0 bits.
      const float fc[6] = {0.0f, -0.0f, 1e-30f, NAN, 5.0f, -2.0f};
      const uint32_t ic[5] = {0u, 1u, 0xffffffffu, 0xbf800000u, 0x80000000u};
      for (size_t i = 0; i < k.count; i++) {
        cond[i] = fc[i % 6];
        icond[i] = ic[i % 5];
        a[i] = float(int(i % 13) - 6);
        b[i] = float(int(i % 7) - 3) * 0.5f;
      }
      LayerRunner rig(s);
      if (k.int_cond) put(rig, kFlags, icond);
      else put(rig, kFlags, cond);
      put(rig, kIn, a);
      put(rig, kBuf1, b);
      uint32_t abits, bbits;
      std::memcpy(&abits, &ac, 4);
      std::memcpy(&bbits, &bc, 4);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_select(kFlags, kIn, k.a_const, abits, kBuf1, k.b_const, bbits, kOut, k.count, k.relu, k.limit,
                        k.int_cond, node);
      }));
      std::vector<float> want(k.count);
      for (size_t i = 0; i < k.count; i++) {
        const bool c = k.int_cond ? icond[i] != 0 : std::fabs(cond[i]) > 0.0f;
        float v = c ? (k.a_const ? ac : a[i]) : (k.b_const ? bc : b[i]);
        if (k.relu) {
          v = v > 0.0f ? v : 0.0f;
          if (k.limit > 0.0f && v > k.limit) v = k.limit;
        }
        want[i] = v;
      }
      EXPECT_EQ(get<float>(rig, kOut, k.count), want);
    }
}

}  // namespace
}  // namespace zv::test
