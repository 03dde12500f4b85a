// The delivered ARM image in the emulator: its start-up, its recovery from a
// failed assertion, and its handling of CPU exceptions. The ring-level suites
// run against it as well (their Emulated instances).
#include <gtest/gtest.h>

#include <cstring>

#include "api_checks.h"
#include "card.h"
#include "runtime/regs.h"
#include "fw_test.h"

namespace zv::test {
namespace {

using host::Card;

uint32_t branch(uint32_t from, uint32_t to) { return 0xea000000u | (((to - (from + 8)) >> 2) & 0x00ffffffu); }

class Image : public ::testing::Test {
 protected:
  void SetUp() override {
    card = std::make_unique<Card>(card_options(Backend::Emulated));
    ASSERT_EQ(card->state(), Card::State::Running) << card->trouble();
    emu = card->emulator();
    ASSERT_NE(emu, nullptr);
  }
  uint32_t sym(const char *name) { return emu->image().symbol(name); }

  std::unique_ptr<Card> card;
  emu::ArmCore *emu = nullptr;
};

TEST_F(Image, BootsAsTheResetRoutineSetsItUp) {
  EXPECT_EQ(emu->fpexc(), 0x40000000u);
  EXPECT_EQ(emu->fpscr() & 0x03c00000u, 0x03000000u);
  EXPECT_EQ(emu->tcm_region(0), 0x0200002du);
  EXPECT_EQ(emu->tcm_region(1), 0x25u);
  // The data section was copied from the end of the code image.
  uint32_t data_start = sym("__data_start"), rom_end = sym("__rom_end");
  EXPECT_EQ(data_start, DTCM_BASE);
  uint32_t impure = sym("_impure_ptr");
  uint32_t initial;
  std::memcpy(&initial, card->chip().arm_ptr(rom_end + (impure - data_start), 4), 4);
  EXPECT_EQ(card->read32(impure), initial);
  EXPECT_NE(initial, 0u);
  // Zero-initialised data was cleared up to the stacks.
  std::vector<uint8_t> tail = card->read(sym("__bss_end"), 0x02012c80u - sym("__bss_end"));
  EXPECT_EQ(std::count(tail.begin(), tail.end(), 0), static_cast<long>(tail.size()));
  // Static constructors ran: the console is unbuffered, so printing has taken
  // nothing from the heap yet.
  EXPECT_EQ(card->read32(sym("_ZL8heap_end")), 0u);
  EXPECT_NE(card->console().find("The firmware is running\n"), std::string::npos);
  EXPECT_EQ(card->chip().sys.host_peek(REG_FW_READY - TOP_REG_BASE), FW_READY_MAGIC);
  EXPECT_TRUE(emu->exceptions().empty());
  EXPECT_GT(card->instructions(), 1000u);
}

TEST_F(Image, AssertionRecoversThroughLongjmp) {
  // Make the dispatcher's handler selection fail an assertion (console input).
  uint32_t at = sym("zv_api_dispatch");
  uint32_t original = card->read32(at);
  emu->patch(at, {branch(at, sym("uart_getc"))});
  auto failed = card->send(999, {1});
  ASSERT_TRUE(AnswerOk(*card, failed, 1009u));
  EXPECT_TRUE(failed->interrupt);
  std::string console = card->console();
  EXPECT_NE(console.find(": uart_getc: "), std::string::npos) << console;
  EXPECT_NE(console.find("ASSERT info: none.\n"), std::string::npos);
  EXPECT_NE(console.find("] api = 999 assert fail\n"), std::string::npos);

  emu->patch(at, {original});
  auto next = card->send(999, {});
  ASSERT_TRUE(next);
  EXPECT_EQ(next->result, 1008u);
  EXPECT_EQ(card->interrupts(), 2u);
}

TEST_F(Image, CpuExceptionsEndInTheFirmwaresHandler) {
  struct Case {
    const char *what;
    std::vector<uint32_t> code;
    uint32_t faulting_word;  // index of the faulting instruction
    const char *kind;
  };
  const Case cases[] = {
      // mov r0, #0x02000000; orr r0, r0, #1; ldr r1, [r0]: a misaligned word load
      {"misaligned load", {0xe3a00402, 0xe3800001, 0xe5901000}, 2, "data abort"},
      {"undefined instruction", {0xe7f000f0}, 0, "undefined instruction"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    uint32_t at = sym("zv_api_dispatch");
    emu->patch(at, c.code);
    card->post(999, {});
    EXPECT_TRUE(card->wait_answers().empty());
    EXPECT_EQ(card->state(), Card::State::Halted) << card->trouble();
    char where[16];
    std::snprintf(where, sizeof where, "0x%08x", at + 4 * c.faulting_word);
    ASSERT_EQ(emu->exceptions().size(), 1u);
    EXPECT_EQ(emu->exceptions()[0], std::string(c.kind) + " at " + where);
    EXPECT_NE(card->console().find(std::string("zvfw: unexpected ") + c.kind + " at " + where + ", core halted\n"),
              std::string::npos)
        << card->console();
  }
}

TEST(ImageAndNative, AnswerAlike) {
  // The same messages give the same console text, results and device memory.
  auto run = [](Backend b) {
    Card card(card_options(b));
    std::vector<uint32_t> results;
    card.write32(0x101000000ull, 0xfeedf00d);
    for (uint32_t id : {999u, 150u, 3u}) results.push_back(card.send(id, {id})->result);
    results.push_back(card.send(999, {}, 0)->result);
    results.push_back(card.send(7, {}, 1, 1017)->result);
    results.push_back(card.quit()->result);
    return std::make_tuple(card.console(), results, card.log_slot(0), card.log_slot(3), card.read32(0x101000000ull));
  };
  EXPECT_EQ(run(Backend::Native), run(Backend::Emulated));
}

}  // namespace
}  // namespace zv::test
