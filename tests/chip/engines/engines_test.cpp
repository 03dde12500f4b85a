// The engines' windows and registers: start on word 0, decode of a snapshot,
// illegal kinds, status and done registers, id restarts, the synchronous CDMA
// and GDE.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "arm_side.h"

namespace zv::test {
namespace {

using chip::Chip;
using chip::Fault;

constexpr u64 kDdr = 0x100001000ull;
constexpr u32 kLocal = 0x08000000u;

std::string fault_of(const std::function<void()> &fn) {
  try {
    fn();
  } catch (const Fault &f) {
    return f.what();
  }
  return "";
}

TEST(Engines, TensorEngineTakesASnapshotWhenWordZeroStarts) {
  Chip c;
  add_test_kinds(c);
  ArmSide arm{c};
  c.arm_write32(0x02081000 + 4 * 31, 0xdead0031);  // a stale word
  c.ddr.store32(0x100000000ull, 0);
  c.arm_write32(0x02081000, 6 | 1 << 3);  // word 0 without the start bit
  EXPECT_TRUE(c.engines.bd.commands().empty());

  c.local.store32(kLocal, 41);
  arm.bd_add(1, 0, kLocal + 4, kLocal, 1);
  ASSERT_EQ(c.engines.bd.commands().size(), 1u);
  const chip::CommandRecord &r = c.engines.bd.commands()[0];
  EXPECT_EQ(r.own_id, 1u);
  EXPECT_EQ(r.wait_id, 0u);
  EXPECT_EQ(r.kind, kTestBdTask);
  EXPECT_EQ(r.kind_name, "test add one");
  EXPECT_EQ(r.descriptor.word(31), 0xdead0031u) << "the window keeps stale words";
  EXPECT_EQ(r.descriptor.word(0), 6u | 1 << 3 | 1);
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(c.local.load32(kLocal + 4), 42u);
  c.arm_write32(0x02081000 + 4 * 18, 0x1234);
  EXPECT_EQ(c.engines.bd.commands()[0].descriptor.word(18), kLocal + 4) << "the record is the snapshot";
}

TEST(Engines, TensorEngineWaitsForGdmaIdStraddlingTwoWords) {
  Chip c;
  add_test_kinds(c);
  ArmSide arm{c};
  std::vector<std::string> runs;
  c.engines.scheduler.trace = [&](const std::string &line) {
    if (line.rfind("run ", 0) == 0) runs.push_back(line.substr(4, line.find(" (") - 4));
  };
  c.ddr.store32(kDdr, 7);
  // GDMA id 0x9abc: its low 13 bits end word 0, its top 3 bits start word 1.
  arm.bd_add(1, 0x9abc, kLocal + 4, kLocal, 1);
  EXPECT_EQ(c.engines.bd.commands()[0].wait_id, 0x9abcu);
  EXPECT_FALSE(c.engines.bd.commands()[0].finished);
  EXPECT_EQ(c.arm_read32(0x58001100), 14u << 2) << "one slot taken, nothing finished";

  arm.gdma_copy(0x9abb, 0, kDdr, kLocal, 1);
  EXPECT_FALSE(c.engines.bd.commands()[0].finished) << "GDMA done 0x9abb is below the wait id";
  arm.gdma_copy(0x9abc, 0, kDdr, kLocal, 1);
  EXPECT_TRUE(c.engines.bd.commands()[0].finished);
  // The registers show the commands once the ARM's time reaches their finish.
  arm.wait(1, 0x9abc);
  EXPECT_EQ(c.arm_read32(0x58001100), 15u << 2 | 1u << 6);
  EXPECT_EQ(c.arm_read32(0x58000008), 0x9abcu << 16);
  EXPECT_EQ(c.arm_read32(0x58000004), 32u << 16);
  EXPECT_EQ(c.local.load32(kLocal + 4), 8u);
  EXPECT_EQ(runs, (std::vector<std::string>{"GDMA command #2", "GDMA command #3", "tensor engine command #1"}));
}

TEST(Engines, UnknownKindIsAnIllegalCommandNamingTheWindow) {
  struct Case {
    const char *what;
    std::function<void(Chip &)> start;
    std::string text;
  };
  const Case cases[] = {
      {"tensor engine task 5",
       [](Chip &c) {
         c.arm_write32(0x02081004, 5u << 5);
         c.arm_write32(0x02081000, 7);
       },
       "tensor engine: illegal command: task type 5 is not a command kind of the model (known: 0 "
       "convolution, 1 pooling and depthwise, 2 fully connected, 3 tensor arithmetic, 6 table lookup, 7 "
       "md_sum, 8 md_scalar, 9 md_sfu, 10 md_linear, 12 decompress, 13 md_cmp, 14 vector correlation); "
       "window w0=0x7 w1=0xa0 w2=0x0"},
      {"GDMA mode 6",
       [](Chip &c) {
         c.arm_write32(0x02080014, 6);
         c.arm_write32(0x02080010, 0x10015);
       },
       "GDMA: illegal command: move mode 6 is not a command kind of the model (known: 0 move, 1 N/C transpose, "
       "2 lane shift, 3 conversion, 4 fill, 5 C/W transpose, 7 filter); window w0=0x10015 w1=0x6 w2=0x0"},
      {"CDMA function 0x28",
       [](Chip &c) {
         c.arm_write32(0x58003800 + 4 * 30, 0x28);
         c.arm_write32(0x58003800, 1);
       },
       "CDMA: illegal command: function 0x28 is not a command kind of the model (known: 41 sort); window w0=0x1"},
      {"GDE item type 1",
       [](Chip &c) {
         c.arm_write32(0x58005000 + 4 * 9, 1u << 28);
         c.arm_write32(0x58005000, 5);
       },
       "GDE: illegal command: item type 1 is not a command kind of the model (known: 0 gather bytes, 2 gather "
       "words, 4 gather 16 bytes); window w0=0x5"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Chip c;
    EXPECT_EQ(fault_of([&] { k.start(c); }).substr(0, k.text.size()), k.text);
  }
}

TEST(Engines, IdRestartsAndControlWord) {
  Chip c;
  add_test_kinds(c);
  ArmSide arm{c};
  arm.gdma_copy(1, 0, kDdr, kLocal, 1);
  arm.bd_add(1, 1, kLocal + 4, kLocal, 1);
  arm.wait(1, 1);
  EXPECT_EQ(arm.bd_done(), 1u);
  EXPECT_EQ(arm.gdma_done(), 1u);

  c.arm_write32(0x02080000, 0x30);
  EXPECT_EQ(c.arm_read32(0x02080000), 0x30u);
  arm.restart();
  EXPECT_EQ(c.arm_read32(0x02080000), 0x30u) << "the restart bit reads back 0, the others stay";
  EXPECT_EQ(arm.bd_done(), 0u);
  EXPECT_EQ(arm.gdma_done(), 0u);
  EXPECT_EQ(c.engines.scheduler.bd.restarts, 1u);
  EXPECT_EQ(c.engines.scheduler.gdma.restarts, 1u);
  c.arm_write32(0x0208110c, 0);
  EXPECT_EQ(c.engines.scheduler.bd.restarts, 1u) << "only a 1 restarts";

  // After the restart the ids count from 1 again.
  arm.gdma_copy(1, 0, kDdr, kLocal, 1);
  arm.wait(0, 1);
  EXPECT_EQ(arm.gdma_done(), 1u);
  // Bit 0 starts a descriptor-buffer fetch (fetch_test.cpp): of a buffer
  // without a started descriptor it takes nothing, and reads back 0.
  c.arm_write32(0x0208000c, u32((kDdr + 0x1000) >> 7));
  c.arm_write32(0x02080000, c.arm_read32(0x02080000) | 1);
  EXPECT_EQ(c.engines.gdma.commands().size(), 2u);
  EXPECT_EQ(c.arm_read32(0x02080000), 0x30u);
}

TEST(Engines, LaneMapIsKeptAndOtherOffsetsAreReported) {
  Chip c;
  for (u32 i = 0; i < 17; i++) c.arm_write32(0x02081110 + 4 * i, 0x01010101u * i);
  for (u32 i = 0; i < 17; i++) EXPECT_EQ(c.engines.bd.lane_map_word(i), 0x01010101u * i);
  EXPECT_EQ(c.arm_read32(0x02081110 + 4 * 16), 0x10101010u);
  EXPECT_EQ(fault_of([&] { c.arm_read32(0x02081160); }), "tensor engine: read of unmodelled register 0x2081160");
  EXPECT_EQ(fault_of([&] { c.arm_write32(0x58001100, 0); }), "tensor engine: write of unmodelled register 0x58001100");
  EXPECT_EQ(fault_of([&] { c.arm_read32(0x5800006c); }), "GDMA: read of unmodelled register 0x5800006c");
  // The set-up registers around the status register stay plain storage.
  c.arm_write32(0x580011a4, 5);
  EXPECT_EQ(c.bd_ctrl.peek(0x1a4), 5u);
}

TEST(Engines, CdmaRunsAsItStartsAndReportsDone) {
  Chip c;
  add_test_kinds(c);
  c.ddr.store32(kDdr, 0x11);
  c.ddr.store32(kDdr + 4, 0x22);
  EXPECT_EQ(c.arm_read32(0x58003810) & 0xff, 16u);
  EXPECT_EQ(c.arm_read32(0x5800380c), 0u);
  const u32 w = 0x58003800;
  c.arm_write32(w + 4 * 30, kTestCdmaFunction);
  c.arm_write32(w + 4 * 33, 0x10002000);  // L2 SRAM
  c.arm_write32(w + 4 * 35, 0x10002100);
  c.arm_write32(w + 4 * 40, 1);
  c.l2.store32(0x10002000, 0x33);
  c.arm_write32(w, 0);
  EXPECT_TRUE(c.engines.cdma.commands().empty());
  c.arm_write32(w, 1);
  ASSERT_EQ(c.engines.cdma.commands().size(), 1u);
  EXPECT_TRUE(c.engines.cdma.commands()[0].finished);
  EXPECT_EQ(c.l2.load32(0x10002100), 0x33u);
  // The done bit shows once the ARM's time reaches the command's finish: the
  // read right after the first waits for it.
  EXPECT_EQ(c.arm_read32(0x5800380c), 0u);
  EXPECT_EQ(c.arm_read32(0x5800380c), 1u << 9);
  EXPECT_EQ(c.engines.scheduler.now(), c.engines.cdma.commands()[0].finish_at);
  c.arm_write32(0x5800380c, 1u << 9);
  EXPECT_EQ(c.arm_read32(0x5800380c), 0u) << "writing the done bit back clears it";
  EXPECT_EQ(c.engines.cdma.commands()[0].descriptor.word(3), 0u) << "word 3 is the status register";
}

TEST(Engines, GdeRunsAsItStartsAndReportsDone) {
  Chip c;
  add_test_kinds(c);
  c.l2.store32(0x10003000, 0x44);
  const u32 b = 0x58005000;
  EXPECT_EQ(c.arm_read32(0x58005008), 0u);
  c.arm_write32(b + 4 * 3, 0x10003000);
  c.arm_write32(b + 4 * 4, 0x10003040);
  c.arm_write32(b + 4 * 5, 1);
  c.arm_write32(b + 4 * 9, kTestGdeType << 28);
  c.arm_write32(b, 0);  // the mode word, start bit clear
  c.arm_write32(b + 4, 1);
  EXPECT_TRUE(c.engines.gde.commands().empty());
  c.arm_write32(b, 5);
  ASSERT_EQ(c.engines.gde.commands().size(), 1u);
  EXPECT_EQ(c.engines.gde.commands()[0].kind, kTestGdeType);
  EXPECT_EQ(c.arm_read32(0x58005008), 2u) << "busy until the ARM's time reaches its finish";
  EXPECT_EQ(c.arm_read32(0x58005008), 1u) << "done, not busy";
  EXPECT_EQ(c.engines.scheduler.now(), c.engines.gde.commands()[0].finish_at);
  EXPECT_EQ(c.l2.load32(0x10003040), 0x44u);
  EXPECT_EQ(fault_of([&] { c.arm_write32(0x58005008, 0); }),
            "GDE: write to the read-only status word 0x58005008");
}

TEST(Engines, EngineAccessOutsideTheMemoriesIsAFault) {
  Chip c;
  add_test_kinds(c);
  ArmSide arm{c};
  EXPECT_EQ(fault_of([&] { arm.gdma_copy(1, 0, 0x80000000ull, kLocal, 1); }),
            "engine access of 4 bytes at 0x80000000 outside DTCM, local memory, L2 SRAM and device memory");
}

}  // namespace
}  // namespace zv::test
