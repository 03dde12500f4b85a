// Top-k by rounds and the per-dimension sorts: top-k's local layout, and the
// layers run as firmware code on the chip model under every schedule with the
// happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/data/topk.h"
#include "ref/topk_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kValue = 0x104000000ull;
constexpr u64 kIndex = 0x108000000ull;
constexpr u64 kBuf1 = 0x10c000000ull;
constexpr u64 kBuf2 = 0x110000000ull;
constexpr u64 kBuf3 = 0x114000000ull;

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

// A few levels (many ties), some negative, and -0.0 beside +0.0.
std::vector<float> values(size_t n, unsigned seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) {
    const int x = int(((i * 2654435761u + seed * 97u) >> 7) % 9) - 4;
    v[i] = x == 0 && i % 2 ? -0.0f : float(x);
  }
  return v;
}

// Floats compared by their bits, so -0.0 and +0.0 stay apart.
std::vector<u32> bits(const std::vector<float> &v) {
  std::vector<u32> b(v.size());
  std::memcpy(b.data(), v.data(), v.size() * 4);
  return b;
}

TEST(TopkPlan, SlicesThenFourWorkSlices) {
  struct Case {
    int dim, dims[4];
    i64 slice_bytes, slices;
  };
  const Case cases[] = {{3, {1, 1, 1, 4}, 128, 4}, {0, {3, 70, 2, 5}, 256, 3}, {2, {2, 3, 4, 33}, 512, 4},
                        {1, {130, 5, 1, 1}, 3 * 128, 5}};
  for (const Case &k : cases) {
    SCOPED_TRACE("dim " + std::to_string(k.dim));
    topk_plan_t p;
    topk_plan_of(&p, k.dim, k.dims[0], k.dims[1], k.dims[2], k.dims[3]);
    EXPECT_EQ(p.slice_bytes, k.slice_bytes);
    EXPECT_EQ(p.slices, k.slices);
    EXPECT_EQ(p.work, k.slice_bytes * k.slices);
    EXPECT_EQ(p.areas[4].offset + p.areas[4].bytes, u32(k.slice_bytes * (k.slices + 4)));
    EXPECT_TRUE(local_areas_valid(p.areas, TOPK_AREA_COUNT));
  }
}

TEST(TopkLayer, RoundsAgainstTheReference) {
  const int dims[4] = {2, 66, 3, 5};
  const std::vector<float> in = values(size_t(2) * 66 * 3 * 5, 1);
  for (const Sched &s : all_schedules())
    for (int dim = 0; dim < 4; dim++)
      for (int k : {1, dims[dim] - 1, dims[dim]}) {
        if (k < 1) continue;
        SCOPED_TRACE(sched_text(s) + ", dim " + std::to_string(dim) + ", k " + std::to_string(k));
        FirmwareRig rig(s);
        store(rig, kIn, in);
        ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
          nodechip_topk(kIn, kValue, kIndex, k, dim, dims[0], dims[1], dims[2], dims[3], node);
        })));
        std::vector<float> want;
        std::vector<int32_t> where;
        ref::sort_along(in, {dims[0], dims[1], dims[2], dims[3]}, dim, true, k, &want, &where);
        EXPECT_EQ(read<float>(rig, kValue, want.size()), want);
        EXPECT_EQ(read<int32_t>(rig, kIndex, where.size()), where);
      }
}

TEST(TopkLayer, TiesNegativeKAndRefusals) {
  {
  FirmwareRig rig;
  store(rig, kIn, std::vector<float>{3, 7, 7, 1});
  ASSERT_TRUE(ran_clean(rig.run_layer(
      [&](cmd_id_node_t *node) { nodechip_topk(kIn, kValue, kIndex, 3, 3, 1, 1, 1, 4, node); })));
  EXPECT_EQ(read<float>(rig, kValue, 3), (std::vector<float>{7, 7, 3}));
  EXPECT_EQ(read<int32_t>(rig, kIndex, 3), (std::vector<int32_t>{1, 2, 0}));
  // k < 0: the whole extent; an extent of 1.
  ASSERT_TRUE(ran_clean(rig.run_layer(
      [&](cmd_id_node_t *node) { nodechip_topk(kIn, kValue, kIndex, -1, 3, 1, 1, 1, 4, node); })));
  EXPECT_EQ(read<float>(rig, kValue, 4), (std::vector<float>{7, 7, 3, 1}));
  EXPECT_EQ(read<int32_t>(rig, kIndex, 4), (std::vector<int32_t>{1, 2, 0, 3}));
  ASSERT_TRUE(ran_clean(rig.run_layer(
      [&](cmd_id_node_t *node) { nodechip_topk(kIn, kValue, kIndex, 1, 2, 1, 1, 1, 4, node); })));
  EXPECT_EQ(read<float>(rig, kValue, 4), (std::vector<float>{3, 7, 7, 1}));
  EXPECT_EQ(read<int32_t>(rig, kIndex, 4), (std::vector<int32_t>{0, 0, 0, 0}));
  }
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 5, 3, 1, 1, 1, 4, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_topk", "k >= 1 && k <= dim_size");
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 0, 3, 1, 1, 1, 4, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_topk", "k >= 1 && k <= dim_size");
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 1, 4, 1, 1, 1, 4, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_topk", "0");
  // 1021 slices of 512 bytes and four work slices overflow the lane.
  expect_assert([](cmd_id_node_t *n) { nodechip_topk(kIn, kValue, kIndex, 1, 2, 1, 1, 1021, 100, n); },
                "ASSERT_FS", "firmware/layers/", "nodechip_topk",
                "value_sub_temp_local_offset + tensor_size <= (1 << 19)");
}

TEST(SortLayer, FloatEveryDimBothOrders) {
  const std::vector<int> shape = {3, 4, 5};
  const std::vector<float> in = values(60, 2);
  for (const Sched &s : all_schedules())
    for (int dim = 0; dim < 3; dim++)
      for (u8 desc : {0, 1}) {
        SCOPED_TRACE(sched_text(s) + ", dim " + std::to_string(dim) + ", descending " + std::to_string(desc));
        FirmwareRig rig(s);
        store(rig, kIn, in);
        ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
          nodechip_sort_per_dim(kIn, kIndex, kValue, kBuf1, kBuf2, shape.data(), 3, dim, 7, 7, desc, node);
        })));
        std::vector<float> want;
        std::vector<int32_t> where;
        ref::sort_along(in, shape, dim, desc != 0, shape[size_t(dim)], &want, &where);
        // Equal keys keep their order (the engine's rule), -0.0 and +0.0 equal.
        EXPECT_EQ(bits(read<float>(rig, kValue, 60)), bits(want));
        EXPECT_EQ(read<int32_t>(rig, kIndex, 60), where);
      }
}

TEST(SortLayer, SignedBytesEveryDim) {
  const std::vector<int> shape = {2, 3, 70};
  std::vector<int8_t> in(420);
  for (size_t i = 0; i < in.size(); i++) in[i] = int8_t(int((i * 73 + 5) % 256) - 128);
  for (const Sched &s : all_schedules())
    for (int dim = 0; dim < 3; dim++) {
      SCOPED_TRACE(sched_text(s) + ", dim " + std::to_string(dim));
      FirmwareRig rig(s);
      store(rig, kIn, in);
      ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
        nodechip_sort_per_dim_fix8b(kIn, kIndex, kValue, kBuf1, kBuf2, kBuf3, shape.data(), 3, dim, 0, 0, 1, node);
      })));
      std::vector<int8_t> want;
      std::vector<int32_t> where;
      ref::sort_along(in, shape, dim, true, shape[size_t(dim)], &want, &where);
      EXPECT_EQ(read<int8_t>(rig, kValue, in.size()), want);
      EXPECT_EQ(read<int32_t>(rig, kIndex, in.size()), where);
    }
}

TEST(SortLayer, Refusals) {
  const int shape[2] = {2, 3};
  expect_assert([&](cmd_id_node_t *n) { nodechip_sort_per_dim(kIn, kIndex, kValue, kBuf1, kBuf2, shape, 2, 2, 0, 0, 1, n); },
                "ASSERT", "firmware/layers/", "check_sort_args", "dim >= 0 && dim < dims");
}

}  // namespace
}  // namespace zv::test
