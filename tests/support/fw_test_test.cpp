// The support library's own promises: ran_clean fails on every kind of
// trouble, including a race on a default rig; stopped_on names what differs;
// the schedule list gives distinct names.
#include "fw_test.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine_issue.h"
#include "runtime/assert.h"

namespace zv::test {
namespace {

TEST(RanClean, FailsOnAssertionStopFaultAndFindings) {
  struct Case {
    const char *what;
    FwOutcome out;
    Races races;
    bool clean;
  };
  FwOutcome ok, asserted, stopped, faulted, found;
  asserted.asserted = true;
  stopped.end = host::Core::End::Faulted;
  faulted.fault = "bad access";
  found.findings = {"race: a reads what b wrote"};
  const Case cases[] = {
      {"nothing wrong", ok, Races::None, true},
      {"an assertion", asserted, Races::None, false},
      {"a stop", stopped, Races::None, false},
      {"a fault text", faulted, Races::None, false},
      {"a finding", found, Races::None, false},
      {"an expected race found", found, Races::Expected, true},
      {"an expected race missing", ok, Races::Expected, false},
      {"an expected race does not excuse an assertion", asserted, Races::Expected, false},
  };
  for (const Case &c : cases) EXPECT_EQ(bool(ran_clean(c.out, c.races)), c.clean) << c.what;
}

TEST(RanClean, DefaultRigReportsARaceOfAMissingWait) {
  // The addition reads what GDMA loads, on a node that has not seen the load.
  FirmwareRig rig;
  add_test_kinds(rig.chip());
  const FwOutcome out = rig.run_layer([](cmd_id_node_t *node) {
    cmd_id_node_t before_load = *node;
    issue_gdma_copy(node, 0x100000000ull, 0x08000000, 4);
    issue_bd_add_one(&before_load, 0x08000040, 0x08000000, 4);
    node->bd_cmd_id = before_load.bd_cmd_id;
  });
  EXPECT_FALSE(ran_clean(out));
  EXPECT_TRUE(ran_clean(out, Races::Expected));
}

TEST(StoppedOn, MatchesKindFolderFunctionConditionAndInfo) {
  const FwOutcome out = run_firmware([] {
    fw_assert_fail("ASSERT_FS", "firmware/cmd/demo.cpp", "demo_layer", 12, "n > 0", "n=%d", 0);
  });
  EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/cmd/", "demo_layer", "n > 0", "n=0"));
  EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/", "demo_layer", "n > 0", "n=0"));
  EXPECT_FALSE(stopped_on(out, "ASSERT", "firmware/cmd/", "demo_layer", "n > 0", "n=0"));
  EXPECT_FALSE(stopped_on(out, "ASSERT_FS", "firmware/local/", "demo_layer", "n > 0", "n=0"));
  EXPECT_FALSE(stopped_on(out, "ASSERT_FS", "firmware/cmd/", "demo", "n > 0", "n=0"));
  EXPECT_FALSE(stopped_on(out, "ASSERT_FS", "firmware/cmd/", "demo_layer", "0", "n=0"));
  EXPECT_FALSE(stopped_on(out, "ASSERT_FS", "firmware/cmd/", "demo_layer", "n > 0", "n=1"));
  EXPECT_FALSE(stopped_on(run_firmware([] {}), "ASSERT_FS", "firmware/cmd/", "demo_layer", "n > 0", "n=0"));
}

TEST(Schedules, EagerThenDeferredSeedsWithDistinctNames) {
  const auto all = schedules_limited_to(nullptr);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].schedule, chip::Schedule::Eager);
  std::set<std::string> names;
  for (size_t i = 0; i < all.size(); i++)
    names.insert(sched_name(::testing::TestParamInfo<Sched>(all[i], i)));
  EXPECT_EQ(names, (std::set<std::string>{"Eager", "Deferred1", "Deferred2", "Deferred3"}));
  // A limit keeps a prefix that still holds a deferred schedule; others are ignored.
  for (const auto &[limit, count] : std::vector<std::pair<const char *, size_t>>{
           {"2", 2}, {"3", 3}, {"1", 4}, {"0", 4}, {"4", 4}, {"9", 4}, {"two", 4}, {"", 4}}) {
    const auto some = schedules_limited_to(limit);
    ASSERT_EQ(some.size(), count) << limit;
    for (size_t i = 0; i < count; i++) EXPECT_EQ(some[i].seed, all[i].seed) << limit;
  }
}

}  // namespace
}  // namespace zv::test
