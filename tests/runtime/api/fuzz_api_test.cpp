// The seeded fuzz test of the message interface (support/api_fuzz.h): a bounded number
// of messages per card, on the eager schedule (under the sanitizers in their
// build) and on two deferred seeds with the race checker. Any finding fails
// the test and prints the batch that made it, as a zvcard script.
#include <gtest/gtest.h>

#include "api_fuzz.h"
#include "fw_test.h"

namespace zv::test {
namespace {

struct FuzzCard {
  const char *name;
  chip::Schedule schedule;
  uint64_t schedule_seed;
  bool check_races;
  uint64_t fuzz_seed;
};

const FuzzCard kCards[] = {
    {"Eager", chip::Schedule::Eager, 0, false, 101},
    {"DeferredSeed1", chip::Schedule::Deferred, 1, true, 202},
    {"DeferredSeed2", chip::Schedule::Deferred, 2, true, 303},
};

class ApiFuzz : public ::testing::TestWithParam<FuzzCard> {};

TEST_P(ApiFuzz, EveryMessageIsAnsweredAndNothingElseChanges) {
  const FuzzCard &c = GetParam();
  host::CardOptions options;
  options.chip.engines = {c.schedule, c.schedule_seed, c.check_races};
  host::Card card(options);
  ASSERT_EQ(card.state(), host::Card::State::Running) << card.trouble();
  fuzz::Options o;
  o.seed = c.fuzz_seed;
  o.messages = 4000;
  const fuzz::Report r = fuzz::run(card, o);
  EXPECT_EQ(r.messages, o.messages);
  EXPECT_TRUE(r.clean()) << r.findings.front();
  // The run reached the handlers: most messages fail a check, some succeed.
  EXPECT_GT(r.results.count(0) ? r.results.at(0) : 0, 0u);
  EXPECT_GT(r.results.count(1009) ? r.results.at(1009) : 0, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cards, ApiFuzz, ::testing::ValuesIn(kCards),
                         [](const ::testing::TestParamInfo<FuzzCard> &i) { return std::string(i.param.name); });

}  // namespace
}  // namespace zv::test
