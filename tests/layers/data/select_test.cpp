// ARM read-back and the filter by batch flags, run as firmware code on the chip
// model under every schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/data/select.h"
#include "cmd/gde_gather.h"
#include "ref/index_select_ref.h"
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

std::vector<float> read_floats(FirmwareRig &rig, u64 addr, size_t n) {
  std::vector<float> v(n);
  rig.chip().ddr.load(addr, reinterpret_cast<u8 *>(v.data()), n * 4);
  return v;
}

void store_floats(FirmwareRig &rig, u64 addr, const std::vector<float> &v) {
  rig.chip().ddr.store(addr, reinterpret_cast<const u8 *>(v.data()), v.size() * 4);
}

TEST(ReadBack, FloatAndFirstByte) {
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    FirmwareRig rig(s);
    store_floats(rig, kIn + 64, {-2.5f, 7.0f});
    float f = 0;
    u8 b = 0;
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      f = get_float_in_arm(kIn + 68, kScratch, node);
      b = get_u8_in_arm(kIn + 64, kScratch + 128, node);
    })));
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
    FirmwareRig rig(s);
    store_floats(rig, kIn, in);
    store_floats(rig, kFlags, flags);
    store_floats(rig, kOut, std::vector<float>(size_t(4) * item, -1.0f));
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_filter_forward(kIn, kFlags, kOut, kScratch, 6, C, H, W, node);
    })));
    std::vector<float> want;
    for (int i : kept) want.insert(want.end(), in.begin() + i * item, in.begin() + (i + 1) * item);
    want.insert(want.end(), size_t(item), -1.0f);  // nothing past the kept items
    EXPECT_EQ(read_floats(rig, kOut, want.size()), want);
  }
  expect_assert([](cmd_id_node_t *n) { nodechip_filter_forward(kIn, kFlags, kOut, kScratch, 0x400000, 1, 1, 1, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_filter_forward", "0");
}

template <class T>
std::vector<T> read(FirmwareRig &rig, u64 addr, size_t n) {
  std::vector<T> v(n);
  rig.chip().ddr.load(addr, reinterpret_cast<u8 *>(v.data()), n * sizeof(T));
  return v;
}

template <class T>
void store(FirmwareRig &rig, u64 addr, const std::vector<T> &v) {
  rig.chip().ddr.store(addr, reinterpret_cast<const u8 *>(v.data()), v.size() * sizeof(T));
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
      FirmwareRig rig(s);
      store(rig, kIn, in);
      store(rig, kIndex, k.index);
      ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
        nodechip_index_select(kIn, kIndex, int(k.index.size()), kOut, kBuf1, kBuf2, k.scratch, k.shape.data(),
                              int(k.shape.size()), k.axis, node);
      })));
      const std::vector<float> want = ref::index_select(in, k.shape, k.axis, k.index);
      EXPECT_EQ(read<float>(rig, kOut, want.size()), want);
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
    FirmwareRig rig(s);
    store(rig, kIn, in);
    store(rig, kIndex, index);
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_index_select_fix8b(kIn, kIndex, int(index.size()), kOut, kBuf1, kBuf2, kScratch, shape.data(), 3, 1,
                                  node);
    })));
    const std::vector<int8_t> want = ref::index_select(in, shape, 1, index);
    EXPECT_EQ(read<int8_t>(rig, kOut, want.size()), want);
  }
}

TEST(IndexSelectLayer, IndexOutsideTheAxisIsRefused) {
  const int shape[2] = {4, 3};
  FirmwareRig rig;
  store(rig, kIndex, std::vector<int>{1, 4});
  EXPECT_TRUE(stopped_on(rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_index_select(kIn, kIndex, 2, kOut, kBuf1, kBuf2, kScratch, shape, 2, 0, node);
  }),
                         "ASSERT", "firmware/layers/", "index_select_gdma", "first >= 0 && (u64)first < rows",
                         "index 4 at 1, extent 4"));
}

}  // namespace
}  // namespace zv::test
