// ARM read-back and the filter by batch flags, run as firmware code on the chip
// model under every schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/data/select.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kFlags = 0x101000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kScratch = 0x108000000ull;

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

}  // namespace
}  // namespace zv::test
