// The ARM's side of the engines for model tests: issuing the test-only kinds
// the way the firmware's direct-write protocol does (free-slot poll, words 1 to
// n-1, then word 0 with the start bit clear and set), polling and restarting.
#pragma once

#include <array>

#include "chip/chip.h"
#include "engine_test_kinds.h"

namespace zv::test {

using chip::u32;
using chip::u64;

struct ArmSide {
  chip::Chip &c;

  void bd_add(u32 own, u32 wait_gdma, u32 dst, u32 src, u32 count) {
    while (((c.arm_read32(0x58001100) >> 2) & 0xf) <= 3) {}
    std::array<u32, 32> w{};
    w[1] = kTestBdTask << 5 | wait_gdma >> 13;
    w[6] = count << 6;
    w[18] = dst;
    w[19] = src;
    for (u32 i = 1; i < 30; i++) c.arm_write32(0x02081000 + 4 * i, w[i]);
    start(0x02081000, 6 | own << 3 | wait_gdma << 19);
  }

  void gdma_copy(u32 own, u32 wait_bd, u64 src, u64 dst, u32 count) {
    while (((c.arm_read32(0x58000004) >> 16) & 0xff) == 0) {}
    std::array<u32, 23> w{};
    w[1] = wait_bd << 16 | kTestGdmaMode;
    w[4] = count;
    w[16] = static_cast<u32>(src);
    w[17] = static_cast<u32>(dst);
    w[18] = static_cast<u32>(src >> 32) | static_cast<u32>(dst >> 32) << 8;
    w[20] = w[21] = 0xffffffff;
    for (u32 i = 1; i < 23; i++) c.arm_write32(0x02080010 + 4 * i, w[i]);
    start(0x02080010, own << 16 | 0x414);
  }

  void start(u32 window, u32 word0) {
    c.arm_write32(window, word0);
    c.arm_write32(window, word0 + 1);
  }

  u32 bd_done() { return (c.arm_read32(0x58001100) >> 6) & 0xffff; }
  u32 gdma_done() { return c.arm_read32(0x58000008) >> 16; }
  void wait(u32 bd, u32 gdma) {
    while (bd_done() < bd) {}
    while (gdma_done() < gdma) {}
  }
  void restart() {
    c.arm_write32(0x0208110c, 1);
    c.arm_write32(0x02080000, c.arm_read32(0x02080000) | 4);
  }
};

}  // namespace zv::test
