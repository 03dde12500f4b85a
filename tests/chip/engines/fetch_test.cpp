// The descriptor-buffer fetch of the tensor engine and GDMA: descriptors taken
// from memory in order as slots free up and waits are issued, the end of a
// buffer at the first descriptor whose id does not follow, and the address
// registers.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "arm_side.h"

namespace zv::test {
namespace {

using chip::Chip;

constexpr u64 kBd = 0x100010000ull, kGdma = 0x100020000ull;
constexpr u64 kSrc = 0x100030000ull, kDst = 0x100040000ull;
constexpr u32 kLocal = 0x08000000u;

// Test-kind descriptors as the ARM side writes them, padded to 128 bytes.
std::array<u32, 32> gdma_copy_words(u32 own, u32 wait_bd, u64 src, u64 dst, u32 count) {
  std::array<u32, 32> w{};
  w[0] = own << 16 | 0x414 | 1;
  w[1] = wait_bd << 16 | kTestGdmaMode;
  w[4] = count;
  w[16] = u32(src), w[17] = u32(dst), w[18] = u32(src >> 32) | u32(dst >> 32) << 8;
  w[20] = w[21] = 0xffffffff;
  return w;
}
std::array<u32, 32> bd_add_words(u32 own, u32 wait_gdma, u32 dst, u32 src, u32 count) {
  std::array<u32, 32> w{};
  w[0] = 6 | own << 3 | wait_gdma << 19 | 1;
  w[1] = kTestBdTask << 5 | wait_gdma >> 13;
  w[6] = count << 6;
  w[18] = dst, w[19] = src;
  return w;
}

TEST(DescriptorFetch, BuffersRunInOrderAndEndWhereTheIdsStopFollowing) {
  for (auto schedule : {chip::Schedule::Eager, chip::Schedule::Deferred}) {
    chip::ChipConfig cfg;
    cfg.engines.schedule = schedule;
    cfg.engines.seed = 3;
    cfg.engines.check_races = true;
    Chip c(cfg);
    add_test_kinds(c);
    ArmSide arm{c};
    for (u32 i = 0; i < 8; i++) c.ddr.store32(kSrc + 4 * i, 100 + i);
    // GDMA: copy 8 words into local memory (id 1); after the tensor engine's
    // add (id 1), copy the result out (id 2); then the next buffer's id 1.
    const std::vector<std::array<u32, 32>> g = {gdma_copy_words(1, 0, kSrc, kLocal, 8),
                                                gdma_copy_words(2, 1, kLocal + 0x100, kDst, 8),
                                                gdma_copy_words(1, 0, kSrc, kDst + 0x100, 8)};
    for (size_t i = 0; i < g.size(); i++) c.ddr.store(kGdma + 128 * i, g[i].data(), 128);
    const std::array<u32, 32> b = bd_add_words(1, 1, kLocal + 0x100, kLocal, 8);
    c.ddr.store(kBd, b.data(), 128);
    c.ddr.store32(kBd + 128, 0);  // no start bit: the end
    arm.restart();
    c.arm_write32(0x02081104, u32(kBd));
    c.arm_write32(0x02081108, u32(kBd >> 32));
    c.arm_write32(0x02081100, 1u << 30);
    c.arm_write32(0x0208000c, u32(kGdma >> 7));
    c.arm_write32(0x02080000, c.arm_read32(0x02080000) | 1);
    EXPECT_EQ(c.arm_read32(0x0208000c), u32(kGdma >> 7));
    EXPECT_EQ(c.arm_read32(0x02080000) & 1, 0u) << "the start bit reads back 0";
    arm.wait(1, 2);
    EXPECT_EQ(c.engines.gdma.commands().size(), 2u) << "the third descriptor starts another buffer";
    EXPECT_EQ(c.engines.bd.commands().size(), 1u);
    for (u32 i = 0; i < 8; i++) EXPECT_EQ(c.ddr.load32(kDst + 4 * i), 100 + i + 1);
    EXPECT_EQ(c.ddr.load32(kDst + 0x100), 0u);
    // An id restart by read-modify-write of the control word starts no fetch.
    arm.restart();
    arm.wait(0, 0);
    EXPECT_EQ(c.engines.gdma.commands().size(), 2u);
    EXPECT_TRUE(c.engines.findings().empty()) << c.engines.findings().front();
  }
}

}  // namespace
}  // namespace zv::test
