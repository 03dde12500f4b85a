// Test-only command kinds for the engines, on codes no real command uses, so
// that the scheduler and the checker can be shown with commands that move data:
// - tensor engine, task type 15: adds 1 to each of N words (N in bits
//   198-213) read from word 19's address and written to word 18's;
// - GDMA, move mode 6: copies word 4 words from the 40-bit address in word 16
//   (high byte: word 18 bits 0-7) to the one in word 17 (word 18 bits 8-15);
// - CDMA, function 0xff: copies word 40 words from word 33's address to word 35's;
// - GDE, item type 7: copies word 5 words from word 3's address to word 4's.
#pragma once

#include "chip/chip.h"

namespace zv::test {

constexpr chip::u32 kTestBdTask = 15;
constexpr chip::u32 kTestGdmaMode = 6;
constexpr chip::u32 kTestCdmaFunction = 0xff;
constexpr chip::u32 kTestGdeType = 7;

inline void copy_words(chip::Bus &bus, chip::u64 dst, chip::u64 src, chip::u32 count, chip::u32 add) {
  for (chip::u32 i = 0; i < count; i++) bus.store32(dst + 4 * i, bus.load32(src + 4 * i) + add);
}

inline void add_test_kinds(chip::Chip &c) {
  using namespace chip;
  c.engines.bd.kinds().add(kTestBdTask, "test add one", [](const BdCommand &cmd, Bus &bus) {
    copy_words(bus, cmd.word(18), cmd.word(19), cmd.field(198, 16), 1);
  });
  c.engines.gdma.kinds().add(kTestGdmaMode, "test copy", [](const GdmaCommand &cmd, Bus &bus) {
    copy_words(bus, cmd.word(17) | u64{cmd.field(584, 8)} << 32, cmd.word(16) | u64{cmd.field(576, 8)} << 32,
               cmd.word(4), 0);
  });
  c.engines.cdma.kinds().add(kTestCdmaFunction, "test copy", [](const CdmaCommand &cmd, Bus &bus) {
    copy_words(bus, cmd.word(35), cmd.word(33), cmd.word(40), 0);
  });
  c.engines.gde.kinds().add(kTestGdeType, "test copy", [](const GdeCommand &cmd, Bus &bus) {
    copy_words(bus, cmd.word(4), cmd.word(3), cmd.word(5), 0);
  });
}

}  // namespace zv::test
