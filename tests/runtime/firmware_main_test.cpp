// The API message ring end to end: the host driver writes messages into the
// ring of a booted card and reads the answers, as the real host does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "runtime/assert.h"
#include "runtime/firmware_main.h"
#include "runtime/regs.h"
#include "runtime/api/dispatch.h"
#include "runtime/hw.h"

extern "C" void *__wrap_malloc(size_t);

namespace zv::test {
namespace {

using host::Card;

constexpr uint32_t kTestId = 4000;      // claimed by the test hook below
constexpr uint32_t kAssertId = 4001;    // takes heap blocks, then fails an assertion
constexpr uint32_t kUnknownId = 999;
constexpr uint32_t kDumpId = 4002;      // copies its whole parameter buffer to device memory
constexpr uint32_t kWritesId = 4003;    // makes as many register writes as its first word says
constexpr uint64_t kDumpAt = 0x100100000ull;

std::vector<uint32_t> g_payload;  // what the test handler last received
uint32_t g_size = 0;
int g_calls = 0;

void handler_that_fails(void) {
  // Heap blocks taken by a failing handler must not outlive its message.
  __wrap_malloc(1000);
  __wrap_malloc(2000);
  ASSERT(g_calls < 0, "calls=%d", g_calls);
}

int test_hook(u32 id, u8 *param, u32 size, u32 *result) {
  if (id == kTestId) {
    g_calls++;
    g_size = size;
    g_payload.assign(size / 4, 0);
    std::memcpy(g_payload.data(), param, size);
    *result = 0;
    return 1;
  }
  if (id == kAssertId) {
    g_calls++;
    handler_that_fails();
  }
  if (id == kDumpId) {
    // The whole buffer, as the handler sees it, where the host can read it.
    std::memcpy(hw_ptr(DDR_ARM_BASE + static_cast<u32>(kDumpAt - GLOBAL_MEM_START_ADDR), API_PARAM_BUF_SIZE), param,
                API_PARAM_BUF_SIZE);
    *result = 0;
    return 1;
  }
  if (id == kWritesId) {
    u32 n;
    std::memcpy(&n, param, 4);
    // The message lock is the dispatcher's to release after the handler.
    for (u32 i = 0; i < n; i++) hw_write32(REG_API_LOCK, 0);
    *result = 0;
    return 1;
  }
  return 0;
}

// Ring tests that need no handler of their own run against both firmwares;
// those that claim API ids with the test hook run natively.
class Ring : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    card = std::make_unique<Card>(card_options(GetParam()));
    ASSERT_EQ(card->state(), Card::State::Running) << card->trouble();
    zv_api_test_hook = test_hook;
    g_payload.clear();
    g_calls = 0;
  }
  uint32_t rptr() { return card->chip().sys.host_peek(REG_API_RPTR - TOP_REG_BASE); }

  bool native() const { return GetParam() == Backend::Native; }

  std::unique_ptr<Card> card;
};

class NativeRing : public Ring {};

INSTANTIATE_TEST_SUITE_P(Backends, Ring, ::testing::Values(Backend::Native, Backend::Emulated),
                         [](const auto &info) { return std::string(backend_name(info.param)); });
INSTANTIATE_TEST_SUITE_P(Backends, NativeRing, ::testing::Values(Backend::Native),
                         [](const auto &info) { return std::string(backend_name(info.param)); });

TEST_P(Ring, BootAnnouncesReadiness) {
  std::string console = card->console();
  EXPECT_NE(console.find("The firmware is running\n"), std::string::npos);
  EXPECT_NE(console.find("zv200x enter firmware main\n"), std::string::npos);
  EXPECT_EQ(card->chip().sys.host_peek(REG_FW_READY - TOP_REG_BASE), FW_READY_MAGIC);
  EXPECT_EQ(card->log_offset(), 0u);
  EXPECT_GE(card->chip().sys.timer_ctrl_writes(), 1u);
  // Tensor engine set-up: automatic clock gating and the five control words.
  auto &bd = card->chip().bd_ctrl;
  EXPECT_EQ(bd.peek(0x17c) & 0x1800u, 0x1800u);
  EXPECT_EQ(bd.peek(0x1a8), 0x00ffffffu);
  EXPECT_EQ(bd.peek(0x1ac), 0u);
  EXPECT_EQ(bd.peek(0x1b0), 0u);
  EXPECT_EQ(bd.peek(0x1b4), 0xfff00000u);
  EXPECT_EQ(bd.peek(0x1a4), 1u << 24);
}

TEST_P(NativeRing, PayloadReachesHandlerAndAnswerComesBack) {
  auto a = card->send(kTestId, {1, 2, 3});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->result, 0u);
  EXPECT_TRUE(a->interrupt);
  EXPECT_EQ(g_size, 12u);
  EXPECT_EQ(g_payload, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(rptr(), 10u);
  EXPECT_EQ(card->interrupts(), 1u);
}

TEST_P(Ring, MessageWrapsAtTheRingEnd) {
  card->set_ring_index(2040);
  std::vector<uint32_t> payload;
  for (uint32_t i = 0; i < 10; i++) payload.push_back(0xa0 + i);
  auto a = card->send(native() ? kTestId : kUnknownId, payload);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->result, native() ? 0u : 1008u);
  if (native()) {
    EXPECT_EQ(g_payload, payload);
  }
  EXPECT_EQ(rptr(), 9u);
  // Payload word 0 sat at index 2047, word 1 at index 0.
  EXPECT_EQ(card->read32(API_RING_BASE + 4 * 2047), 0xa0u);
  EXPECT_EQ(card->read32(API_RING_BASE + 4 * 0), 0xa1u);
}

TEST_P(Ring, ResultCodesAndLogLines) {
  struct Case {
    const char *what;
    uint32_t id;
    uint64_t tag;
    uint32_t result;
    const char *log;  // expected log line, or null for none
    int handler_calls;
  };
  const Case cases[] = {
      {"unknown id", kUnknownId, 1, 1008, "api_id = 999 not supported\n", 0},
      {"reserved id 150", 150, 1, 1008, nullptr, 0},
      {"kernel id with a batch of 0: nothing to do", ZVKERNEL_API_ID, 1, 0, nullptr, 0},
      {"tag 0 with an unknown id", kUnknownId, 0, 0, nullptr, 0},
      {"tag 0 skips the handler", kTestId, 0, 0, nullptr, 0},
      {"high tag word alone is a tag", kTestId, uint64_t{1} << 32, 0, nullptr, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.id == kTestId && !native()) continue;  // needs the test hook
    g_calls = 0;
    uint32_t offset_before = card->log_offset();
    auto a = card->send(c.id, {7}, c.tag);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->result, c.result);
    EXPECT_TRUE(a->interrupt);
    EXPECT_EQ(g_calls, c.handler_calls);
    if (c.log) {
      EXPECT_EQ(card->log_offset(), offset_before + 512);
      std::string slot = card->log_slot(offset_before / 512);
      EXPECT_EQ(slot.substr(slot.find("] ") + 2), c.log);
    } else {
      EXPECT_EQ(card->log_offset(), offset_before);
    }
  }
}

TEST_P(Ring, SizeLimit) {
  // 1016 payload words (1023 in all) are accepted.
  uint32_t id = native() ? kTestId : kUnknownId;
  auto ok = card->send(id, std::vector<uint32_t>(1016, 5));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->result, native() ? 0u : 1008u);
  if (native()) {
    EXPECT_EQ(g_size, 1016u * 4);
  }

  card->set_ring_index(0);
  g_calls = 0;
  auto big = card->send(id, {}, 1, 1017);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->result, 1006u);
  EXPECT_EQ(g_calls, 0);
  EXPECT_EQ(rptr(), 1024u);
  std::string first = card->log_slot(card->log_offset() / 512 - 2);
  std::string second = card->log_slot(card->log_offset() / 512 - 1);
  EXPECT_EQ(first.substr(first.find("] ") + 2), "zvfw: api size  = 400 is too large than max size!\n");
  EXPECT_EQ(second.substr(second.find("] ") + 2),
            "zvfw: api = " + std::to_string(id) + " copy_message_from_sharemem fail\n");

  // A length that would overflow a 32-bit sum with the header is rejected too.
  card->set_ring_index(0);
  auto huge = card->send(id, {}, 1, 0xfffffffcu);
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->result, 1006u);
  EXPECT_EQ(rptr(), (7u + 0xfffffffcu) % 2048u);

  // The card goes on serving.
  card->set_ring_index(100);
  auto after = card->send(id, {9});
  ASSERT_TRUE(after);
  EXPECT_EQ(after->result, native() ? 0u : 1008u);
}

TEST_P(NativeRing, TwoMessagesWithTheSameTagAreBothHandled) {
  card->post(kTestId, {1}, 77);
  card->post(kTestId, {2}, 77);
  auto answers = card->wait_answers();
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].result, 0u);
  EXPECT_EQ(answers[1].result, 0u);
  EXPECT_EQ(g_calls, 2);
  EXPECT_EQ(g_payload, (std::vector<uint32_t>{2}));
}

TEST_P(NativeRing, AssertionAnswers1009AndTheNextMessageIsServed) {
  auto failed = card->send(kAssertId, {1});
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->result, 1009u);
  std::string console = card->console();
  EXPECT_NE(console.find(": handler_that_fails: "), std::string::npos);
  EXPECT_NE(console.find("ASSERT info: calls=1\n"), std::string::npos);
  std::string slot = card->log_slot(card->log_offset() / 512 - 1);
  EXPECT_EQ(slot.substr(slot.find("] ") + 2), "api = 4001 assert fail\n");

  auto next = card->send(kTestId, {3});
  ASSERT_TRUE(next);
  EXPECT_EQ(next->result, 0u);
  EXPECT_EQ(g_payload, (std::vector<uint32_t>{3}));
}

TEST_P(NativeRing, FailingMessagesDoNotExhaustTheHeap) {
  // Each failing message takes 3 KB of handler blocks besides its 4 KB buffer:
  // without releasing them the 64 KB heap would be gone after a few messages.
  for (int i = 0; i < 3000; i++) {
    card->post(kAssertId, {});
    auto answers = card->wait_answers();
    ASSERT_EQ(answers.size(), 1u) << "message " << i << ": " << card->trouble();
    ASSERT_EQ(answers[0].result, 1009u);
  }
  auto good = card->send(kTestId, {4});
  ASSERT_TRUE(good);
  EXPECT_EQ(good->result, 0u);
  EXPECT_EQ(card->console().find("no enough memory"), std::string::npos);
}

TEST_P(Ring, QuitEndsTheLoopWithoutInterrupt) {
  auto before = card->interrupts();
  auto q = card->quit(5);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->result, 0u);
  EXPECT_EQ(rptr(), 7u);
  EXPECT_EQ(card->interrupts(), before);
  std::string console = card->console();
  EXPECT_NE(console.find("zv200x exit firmware main\ntestcase zvdnn passed\n"
                         "*******zv200x test succeed!*******\n"),
            std::string::npos);
  // Nothing is served after the quit message.
  card->post(kUnknownId, {1});
  EXPECT_TRUE(card->wait_answers().empty());
  EXPECT_EQ(card->state(), Card::State::Hung);
  EXPECT_EQ(g_calls, 0);
}

TEST_P(Ring, HostHoldingTheMessageLockStallsTheCard) {
  card->chip().sys.host_poke(REG_API_LOCK - TOP_REG_BASE, 1);
  card->post(kUnknownId, {1});
  EXPECT_TRUE(card->wait_answers().empty());
  EXPECT_EQ(card->state(), Card::State::Hung);
  EXPECT_EQ(card->log_offset(), 0u);
}

TEST_P(Ring, HaltRequestStopsTheCore) {
  card->request_halt();
  card->post(kUnknownId, {1});
  EXPECT_TRUE(card->wait_answers().empty());
  EXPECT_EQ(card->state(), Card::State::Halted);
  EXPECT_EQ(card->log_offset(), 0u);
  // The handler cleared the request before stopping.
  EXPECT_FALSE(card->chip().sys.halt_requested());
}

// ---- What the host sees of the dispatcher's own duties ----

TEST_P(Ring, StartClearsTheHostWordsAndTheCdmaLock) {
  card.reset();  // one native firmware at a time
  // Words the host side left behind before a reset.
  host::CardOptions options = card_options(GetParam());
  options.before_boot = [](chip::Chip &chip) {
    for (uint32_t a = REG_API_WPTR; a <= REG_FW_LOG_OFFSET; a += 4) chip.sys.host_poke(a - TOP_REG_BASE, 0xdead0000u | a);
    chip.sys.host_poke(REG_CDMA_LOCK - TOP_REG_BASE, 1);
  };
  Card dirty(options);
  ASSERT_EQ(dirty.state(), Card::State::Running) << dirty.trouble();
  for (uint32_t a = REG_API_WPTR; a <= REG_FW_LOG_OFFSET; a += 4)
    EXPECT_EQ(dirty.chip().sys.host_peek(a - TOP_REG_BASE), a == REG_FW_READY ? FW_READY_MAGIC : 0u) << std::hex << a;
  EXPECT_EQ(dirty.chip().sys.host_peek(REG_CDMA_LOCK - TOP_REG_BASE), 0u);
  // And the ring serves from index 0.
  ASSERT_TRUE(AnswerOk(dirty, dirty.send(kUnknownId, {1}), 1008u));
}

TEST_P(NativeRing, ElapsedTimeWordCountsTheHandlersTime) {
  // The model's clock moves with every register write: the handler's own
  // writes show in its elapsed word in proportion, beside the dispatcher's
  // fixed few.
  auto none = card->send(kWritesId, {0});
  auto some = card->send(kWritesId, {2000});
  auto twice = card->send(kWritesId, {4000});
  ASSERT_TRUE(none && some && twice);
  const int64_t one = int64_t{some->elapsed_us} - none->elapsed_us;
  EXPECT_GT(one, 10);
  EXPECT_NEAR(int64_t{twice->elapsed_us} - none->elapsed_us, 2 * one, 2);
  // A message refused for its size reports the end time itself: the timer's
  // count since the start, in microseconds.
  auto big = card->send(kUnknownId, {}, 1, 1017);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->result, 1006u);
  const uint64_t now_us = card->chip().cycles() * TIMER_NS_PER_CYCLE / 1000;
  EXPECT_LE(big->elapsed_us, now_us);
  EXPECT_GE(big->elapsed_us + 10, now_us);
  EXPECT_GT(big->elapsed_us, twice->elapsed_us);
}

TEST_P(NativeRing, NextInterruptWaitsUntilTheHostTookThePrevious) {
  card->hold_done_interrupt(true);
  ASSERT_TRUE(card->send(kTestId, {1}));
  EXPECT_EQ(card->interrupts(), 1u);
  EXPECT_EQ(card->chip().sys.host_peek(REG_HOST_INTR_STATUS - TOP_REG_BASE) & HOST_INTR_DONE_BIT, 1u);
  card->post(kTestId, {2});
  const uint32_t next = card->write_index();
  ASSERT_TRUE(card->run_until([&] { return rptr() == next; }, "the second answer"));
  int resumes = 0;
  ASSERT_TRUE(card->run_until([&] { return ++resumes > 200; }, "the firmware to spin"));
  EXPECT_EQ(card->interrupts(), 1u) << "raised over an interrupt the host had not taken";
  card->hold_done_interrupt(false);
  auto answers = card->wait_answers();
  ASSERT_EQ(answers.size(), 1u) << card->trouble();
  EXPECT_EQ(answers[0].result, 0u);
  EXPECT_EQ(card->interrupts(), 2u);
}

TEST_P(NativeRing, ParameterBufferIsZeroPastThePayload) {
  // A long message first leaves its words in the heap block the next one gets.
  ASSERT_TRUE(card->send(kTestId, std::vector<uint32_t>(1000, 0xffffffffu)));
  ASSERT_TRUE(card->send(kDumpId, {0x11, 0x22, 0x33}));
  const std::vector<uint8_t> seen = card->read(kDumpAt, API_PARAM_BUF_SIZE);
  uint32_t first[3];
  std::memcpy(first, seen.data(), 12);
  EXPECT_EQ(std::vector<uint32_t>(first, first + 3), (std::vector<uint32_t>{0x11, 0x22, 0x33}));
  for (size_t i = 12; i < seen.size(); i++) ASSERT_EQ(seen[i], 0) << "byte " << i;
}

}  // namespace
}  // namespace zv::test
