// The host driver's modelled figures of each message: busy time is the sum of
// the message's commands, elapsed time runs from the post (or the answer
// before) to the firmware's answer, on both firmwares.
#include <gtest/gtest.h>

#include <vector>

#include "card.h"
#include "cmd/memory_fill_copy.h"
#include "fw_test.h"

namespace zv::test {
namespace {

using host::Card;
using host::Timing;

constexpr uint64_t kDdr = 0x101000000ull;

std::vector<uint32_t> fill(uint64_t at) { return payload_of(zv_api_memset_t{kDdr + at, 0x8000, 3, 0x332211}); }

// Busy time of the GDMA commands from index `first` on.
uint64_t gdma_busy_since(Card &card, size_t first) {
  uint64_t busy = 0;
  const auto &cmds = card.chip().engines.gdma.commands();
  for (size_t i = first; i < cmds.size(); i++) busy += cmds[i].finish_at - cmds[i].start_at;
  return busy;
}

class CardTiming : public ::testing::TestWithParam<Backend> {};

TEST_P(CardTiming, FiguresOfOneMessage) {
  auto card = deferred_card(GetParam(), 1);
  const size_t first = card->chip().engines.gdma.commands().size();
  const uint64_t posted = card->chip().engines.scheduler.now();
  auto a = card->send(1, fill(0));
  ASSERT_TRUE(a);
  ASSERT_EQ(a->result, 0u);
  const Timing &t = a->timing;
  EXPECT_EQ(t.gdma_busy_ps, gdma_busy_since(*card, first));
  EXPECT_GT(t.gdma_busy_ps, 0u);
  EXPECT_EQ(t.te_busy_ps, 0u);
  EXPECT_EQ(t.te_ideal_ps, 0u);
  // The answer (the read pointer's write) comes after the last command's finish.
  EXPECT_GE(posted + t.elapsed_ps, card->chip().engines.gdma.commands().back().finish_at);
  EXPECT_LE(posted + t.elapsed_ps, card->chip().engines.scheduler.now());
  EXPECT_DOUBLE_EQ(t.gdma_busy(), double(t.gdma_busy_ps) / double(t.elapsed_ps));
  EXPECT_TRUE(no_findings(card->chip()));
}

TEST_P(CardTiming, MessagesPostedTogetherSplitTheTimeAtTheAnswers) {
  auto card = deferred_card(GetParam(), 2);
  const size_t first = card->chip().engines.gdma.commands().size();
  const uint64_t posted = card->chip().engines.scheduler.now();
  card->post(1, fill(0));
  card->post(1, fill(0x10000));
  const std::vector<host::Answer> answers = card->wait_answers();
  ASSERT_EQ(answers.size(), 2u);
  const auto &answered = card->chip().answer_times();
  ASSERT_GE(answered.size(), 2u);
  const chip::TimeTotals &last = answered.back(), &before = answered[answered.size() - 2];
  EXPECT_EQ(answers[0].timing.elapsed_ps, before.now - posted);
  EXPECT_EQ(answers[1].timing.elapsed_ps, last.now - before.now) << "the second starts at the first's answer";
  EXPECT_EQ(answers[0].timing.gdma_busy_ps + answers[1].timing.gdma_busy_ps, gdma_busy_since(*card, first));
  EXPECT_EQ(answers[0].timing.gdma_busy_ps, answers[1].timing.gdma_busy_ps) << "the same fill twice";
}

INSTANTIATE_TEST_SUITE_P(Backends, CardTiming, ::testing::Values(Backend::Native, Backend::Emulated),
                         [](const ::testing::TestParamInfo<Backend> &info) { return std::string(backend_name(info.param)); });

}  // namespace
}  // namespace zv::test
