// Runtime services run directly as firmware code: assertions, the log, the
// timer, the console and the heap hooks.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "runtime/regs.h"
#include "runtime/services.h"
#include "fw_test.h"

extern "C" void *zvfw_sbrk(ptrdiff_t incr);
extern "C" int zvfw_printf(const char *fmt, ...);

namespace zv::test {
namespace {

using End = host::Core::End;

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

std::string slot_text(chip::Chip &chip, uint32_t slot) {
  const char *p = reinterpret_cast<const char *>(
      chip.arm_ptr(FW_LOG_RING_BASE + slot * FW_LOG_SLOT_SIZE, FW_LOG_SLOT_SIZE));
  return std::string(p, strnlen(p, FW_LOG_SLOT_SIZE));
}

// Strips the "[time] " stamp of a log line.
std::string unstamped(const std::string &line) {
  EXPECT_EQ(line.front(), '[') << line;
  return line.substr(line.find("] ") + 2);
}

void check_failing(int x) { ASSERT(x == 42); }
void check_failing_with_info(int n) { ASSERT_FS(n < 3, "src_N=%d", n); }

TEST(Assertions, PrintThreeLinesAndJumpBack) {
  struct Case {
    const char *what;
    std::function<void()> fn;
    std::string first_line_prefix, function, condition, info;
  };
  const Case cases[] = {
      {"plain form", [] { check_failing(1); }, "ASSERT ", "check_failing", "x == 42", "ASSERT info: none."},
      {"explained form", [] { check_failing_with_info(5); }, "ASSERT_FS ", "check_failing_with_info",
       "n < 3", "ASSERT info: src_N=5"},
      {"console input", [] { uart_getc(); }, "ASSERT ", "uart_getc", "0", "ASSERT info: none."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FwOutcome out = run_firmware(c.fn);
    EXPECT_TRUE(out.asserted);
    std::vector<std::string> l = lines(out.uart);
    ASSERT_EQ(l.size(), 3u) << out.uart;
    // "<kind> <file>: <function>: <line>: <condition>"
    EXPECT_EQ(l[0].rfind(c.first_line_prefix + "firmware/", 0) == 0 ||
                  l[0].rfind(c.first_line_prefix + "tests/", 0) == 0,
              true)
        << l[0];
    EXPECT_NE(l[0].find(": " + c.function + ": "), std::string::npos) << l[0];
    EXPECT_EQ(l[0].substr(l[0].size() - c.condition.size() - 2), ": " + c.condition);
    EXPECT_EQ(l[1], c.info);
    EXPECT_EQ(unstamped(l[2]), c.function + " assert");
  }
}

TEST(Assertions, WithoutRecoveryPointHaltTheCore) {
  FirmwareRig rig;
  // Called outside run(): no recovery point is armed.
  End end = rig.core().call([] { check_failing(0); });
  EXPECT_EQ(end, End::Halted);
  EXPECT_NE(console_text(rig.chip().uart.text()).find("assertion outside a message, core halted"),
            std::string::npos);
}

TEST(Log, LineGoesToConsoleAndNextSlot) {
  FirmwareRig rig;
  rig.chip().set_cycles(25'000'000ull * 3);  // three seconds: stamps read 2dc6c0 and up
  FwOutcome out = rig.run([] {
    fw_log(0, "hello %d\n", 7);
    fw_log(0, "second\n");
  });
  std::vector<std::string> l = lines(out.uart);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].rfind("[2dc6c", 0), 0u) << l[0];
  EXPECT_EQ(unstamped(l[0]), "hello 7");
  EXPECT_EQ(unstamped(slot_text(rig.chip(), 0)), "hello 7\n");
  EXPECT_EQ(unstamped(slot_text(rig.chip(), 1)), "second\n");
  EXPECT_EQ(rig.chip().sys.host_peek(REG_FW_LOG_OFFSET - TOP_REG_BASE), 1024u);
}

TEST(Log, LongLineIsCutTo511Characters) {
  FirmwareRig rig;
  std::string long_text(600, 'x');
  FwOutcome out = rig.run([&] { fw_log(0, "%s", long_text.c_str()); });
  EXPECT_EQ(unstamped(out.uart), std::string(511, 'x'));
  std::string slot = slot_text(rig.chip(), 0);
  // The slot holds the stamp and as much of the text as fits in 511 characters.
  EXPECT_EQ(slot.size(), 511u);
  EXPECT_EQ(slot.back(), 'x');
}

TEST(Log, RingWrapsAfter8192Slots) {
  FirmwareRig rig;
  rig.chip().sys.host_poke(REG_FW_LOG_OFFSET - TOP_REG_BASE, 8192 * FW_LOG_SLOT_SIZE - FW_LOG_SLOT_SIZE);
  rig.run([] {
    fw_log(0, "last slot\n");
    fw_log(0, "wrapped\n");
    fw_log(0, "after wrap\n");
  });
  EXPECT_EQ(unstamped(slot_text(rig.chip(), 8191)), "last slot\n");
  EXPECT_EQ(unstamped(slot_text(rig.chip(), 0)), "wrapped\n");
  EXPECT_EQ(unstamped(slot_text(rig.chip(), 1)), "after wrap\n");
  // Each line stores the masked offset of its own slot plus 512.
  EXPECT_EQ(rig.chip().sys.host_peek(REG_FW_LOG_OFFSET - TOP_REG_BASE), 0x400u);
}

// The counter is scripted: each read of either half takes the next value.
void script_counter(chip::Chip &chip, std::vector<uint64_t> values) {
  auto at = std::make_shared<size_t>(0);
  chip.sys.cycles = [values, at] {
    uint64_t v = values[std::min(*at, values.size() - 1)];
    ++*at;
    return v;
  };
}

TEST(Timer, ReadsAreTearFree) {
  struct Case {
    const char *what;
    std::vector<uint64_t> counter;  // value at each successive read (hi, lo, hi, ...)
    uint64_t expected;
  };
  const uint64_t wrap = 0x100000000ull;
  const Case cases[] = {
      {"no carry", {1000, 1002, 1004}, 1002},
      {"low word wraps between the high readings", {wrap - 3, wrap - 1, wrap + 1, wrap + 3, wrap + 5, wrap + 7},
       wrap + 5},
      {"low word wraps right after the first high reading", {wrap - 1, wrap + 1, wrap + 3, wrap + 5, wrap + 7, wrap + 9},
       wrap + 7},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FirmwareRig rig;
    script_counter(rig.chip(), c.counter);
    uint64_t got = 0;
    rig.run([&] { got = firmware_timer_get_cycle(); });
    // Never a value 2^32 cycles off: the pass whose two high readings agree.
    EXPECT_EQ(got, c.expected);
  }
}

TEST(Timer, MicrosecondsFromCycles) {
  const uint64_t near_wrap = 0xffffffffffffffffull / 40 + 1;
  const std::pair<uint64_t, uint64_t> cases[] = {
      {25'000'000, 1'000'000},
      {1000, 40},
      // The multiplication wraps modulo 2^64 before the division.
      {near_wrap, (near_wrap * 40) / 1000},
  };
  for (auto [cycles, us] : cases) {
    FirmwareRig rig;
    rig.chip().set_cycles(cycles);
    uint64_t got = 0;
    rig.run([&] { got = firmware_timer_get_time_us(); });
    EXPECT_EQ(got, us) << cycles;
  }
}

TEST(Console, LineFeedIsSentAsCarriageReturnLineFeed) {
  FirmwareRig rig;
  rig.run([] { zvfw_printf("a\nb"); });
  EXPECT_EQ(rig.chip().uart.text(), "a\r\nb");
}

TEST(Heap, BreakMovesUpToExactly64KB) {
  FirmwareRig rig;
  char *start = nullptr;
  char *again = nullptr;
  FwOutcome out = rig.run([&] {
    start = static_cast<char *>(zvfw_sbrk(0));
    zvfw_sbrk(65536);
    again = static_cast<char *>(zvfw_sbrk(0));
    zvfw_sbrk(-16);
    zvfw_sbrk(16);
  });
  EXPECT_EQ(out.end, End::Returned);
  EXPECT_EQ(again - start, 65536);
  EXPECT_EQ(out.uart, "");

  FwOutcome over = rig.run([] { zvfw_sbrk(1); });
  EXPECT_EQ(over.end, End::Halted);
  EXPECT_EQ(over.uart, "\n_sbrk: error, no enough memory!\n");
}

TEST(Heap, GlobalsStartFreshOnEveryBoot) {
  char *first = nullptr;
  {
    FirmwareRig rig;
    rig.run([&] {
      first = static_cast<char *>(zvfw_sbrk(0));
      zvfw_sbrk(4096);
    });
  }
  FirmwareRig rig;
  char *second = nullptr;
  rig.run([&] { second = static_cast<char *>(zvfw_sbrk(0)); });
  EXPECT_EQ(first, second);
}

}  // namespace
}  // namespace zv::test
