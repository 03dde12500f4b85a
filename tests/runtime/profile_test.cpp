// Profiling records and hooks, run as firmware code on the chip model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine_issue.h"
#include "runtime/engine_wait.h"
#include "runtime/services.h"

// The firmware's own heap (the test's malloc is the host's).
extern "C" void *zvfw_sbrk(ptrdiff_t incr);
extern "C" void *__wrap_malloc(size_t size);
extern "C" void __wrap_free(void *p);

namespace zv::test {
namespace {

struct Record {
  u32 index;
  s32 type;
  u64 data, begin, end;
};

// The time list as the host would read it, in pieces of `chunk` bytes.
std::vector<Record> time_records(u32 chunk = 4096) {
  std::vector<u8> bytes(get_profile_time_data_len());
  for (u32 off = 0, got = 1; off < bytes.size() && got != 0; off += got)
    got = get_profile_time_data(bytes.data() + off, std::min<u32>(chunk, bytes.size() - off), off);
  std::vector<Record> out(bytes.size() / 32);
  for (size_t i = 0; i < out.size(); i++) {
    const u8 *p = bytes.data() + 32 * i;
    std::memcpy(&out[i].index, p, 4);
    std::memcpy(&out[i].type, p + 4, 4);
    std::memcpy(&out[i].data, p + 8, 8);
    std::memcpy(&out[i].begin, p + 16, 8);
    std::memcpy(&out[i].end, p + 24, 8);
  }
  return out;
}

TEST(EngineProfile, OffHooksDoNothing) {
  FirmwareRig rig;
  cmd_id_node_t node = {1, 2, 0};
  ASSERT_TRUE(ran_clean(rig.run([&] {
    EXPECT_EQ(profile_time_enabled(), 0u);
    EXPECT_EQ(profile_time_begin(PROFILE_TYPE_FUNC, 1), nullptr);
    EXPECT_EQ(profile_time_begin_set_node(&node, ENGINE_BD), nullptr);
    EXPECT_EQ(profile_time_begin_wait_node(&node), nullptr);
    profile_time_end(nullptr);
    u8 buf[32];
    EXPECT_EQ(get_profile_time_data_len(), 0u);
    EXPECT_EQ(get_profile_time_data(buf, 32, 0), 0u);
    set_profile_time_enabled(0);
  })));
}

TEST(EngineProfile, SwitchOnLeavesTheStartRecordOnly) {
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(rig.run([] {
    set_profile_time_enabled(1);
    set_profile_time_enabled(1);  // a restart: records dropped, index 0 again
    EXPECT_EQ(profile_time_enabled(), 1u);
    EXPECT_EQ(get_profile_time_data_len(), 32u);
    EXPECT_EQ(get_profile_extra_data_len(), 0u);
    u8 buf[64] = {};
    EXPECT_EQ(get_profile_time_data(buf, 32, 0), 32u);
    std::vector<Record> r = time_records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].index, 0u);
    EXPECT_EQ(r[0].type, -1);
    EXPECT_EQ(r[0].data, 0u);
    EXPECT_EQ(r[0].end, 40u);
    EXPECT_EQ(g_profile_context->begin_calls, 1u);
  })));
}

TEST(EngineProfile, RecordsIssuesAndWaits) {
  FirmwareRig rig(unchecked_chip());  // the node starts at hand-picked ids
  add_test_kinds(rig.chip());
  ASSERT_TRUE(ran_clean(rig.run([] {
    set_profile_time_enabled(1);
    cmd_id_node_t node = {4, 0, 1};
    issue_bd_add_one(&node, 0x08000100, 0x08000000, 1);
    node.divided = 0;
    issue_gdma_copy(&node, 0x100000000ull, 0x08000000, 1);
    poll_all_engine_done(&node);
    EXPECT_EQ(profile_time_begin_set_node(nullptr, ENGINE_CDMA), nullptr);
    profile_time_end(profile_time_begin_func(0x1122334455667788ull));
    std::vector<Record> r = time_records();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[1].index, 1u);
    EXPECT_EQ(r[1].type, PROFILE_TYPE_SET_NODE);
    EXPECT_EQ(r[1].data, (u64{1} | u64{ENGINE_BD} << 16) << 32 | 5u);
    EXPECT_EQ(r[1].end, PROFILE_END_UNSET);
    EXPECT_EQ(r[2].type, PROFILE_TYPE_SET_NODE);
    EXPECT_EQ(r[2].data, u64{ENGINE_GDMA} << 48 | (5u | 1u << 16));
    EXPECT_EQ(r[3].type, PROFILE_TYPE_WAIT_NODE);
    EXPECT_EQ(r[3].data, 5u | 1u << 16);
    EXPECT_NE(r[3].end, PROFILE_END_UNSET);
    EXPECT_GE(r[3].end, r[3].begin);
    EXPECT_GE(r[3].begin, r[2].begin);
    EXPECT_EQ(r[4].type, PROFILE_TYPE_FUNC);
    EXPECT_EQ(r[4].data, 0x1122334455667788ull);
    EXPECT_EQ(r[4].index, 4u);
  })));
}

TEST(EngineProfile, CapAndBlockBoundaries) {
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(rig.run([] {
    set_profile_time_enabled(1);
    for (u32 i = 1; i <= 1024; i++) ASSERT_NE(profile_time_begin_func(i), nullptr) << i;
    profile_time_data_t *dropped = profile_time_begin_func(1025);
    EXPECT_EQ(dropped, nullptr);
    profile_time_end(dropped);
    EXPECT_EQ(g_profile_context->begin_calls, 1026u) << "dropped records are still counted";
    EXPECT_EQ(get_profile_time_data_len(), 1025u * 32);
    std::vector<Record> r = time_records(100);  // pieces that cut records
    ASSERT_EQ(r.size(), 1025u);
    for (u32 i = 0; i < r.size(); i++) ASSERT_EQ(r[i].index, i);
    EXPECT_EQ(r[1024].data, 1024u);

    u8 buf[64];
    EXPECT_EQ(get_profile_time_data(buf, 64, 4096), 64u) << "the second block's first records";
    u32 index;
    std::memcpy(&index, buf, 4);
    EXPECT_EQ(index, 128u);
    std::memcpy(&index, buf + 32, 4);
    EXPECT_EQ(index, 129u);
    EXPECT_EQ(get_profile_time_data(buf, 32, 4080), 32u) << "across the first block's end";
    std::memcpy(&index, buf + 16, 4);
    EXPECT_EQ(index, 128u);
    EXPECT_EQ(get_profile_time_data(buf, 64, 1025 * 32), 0u);
    EXPECT_EQ(get_profile_time_data(buf, 64, 1025 * 32 - 8), 8u);
  })));
}

TEST(EngineProfile, SwitchingOnAndOffLeavesTheHeapAsItWas) {
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(rig.run([] {
    auto cycle = [] {
      set_profile_time_enabled(1);
      for (u32 i = 0; i < 300; i++) profile_time_begin_func(i);  // three blocks
      set_profile_time_enabled(1);
      profile_time_begin_func(0);
      set_profile_time_enabled(0);
    };
    cycle();
    void *brk = zvfw_sbrk(0);
    void *probe = __wrap_malloc(64);
    __wrap_free(probe);
    for (int i = 0; i < 50; i++) cycle();
    EXPECT_EQ(zvfw_sbrk(0), brk);
    void *again = __wrap_malloc(64);
    EXPECT_EQ(again, probe);
    __wrap_free(again);
    EXPECT_EQ(g_profile_context, nullptr);
  })));
}

TEST(EngineProfile, RecordsOutliveAFailedMessage) {
  // Blocks taken while a message is handled stay with the profiler when that
  // message's blocks are given back after an assertion.
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(rig.run([] {
    heap_track_begin();
    set_profile_time_enabled(1);
    for (u32 i = 0; i < 200; i++) profile_time_begin_func(i);
    std::vector<void *> chain = {g_profile_context};
    for (profile_block_t *b = g_profile_context->time_head; b; b = b->next) chain.push_back(b);
    ASSERT_EQ(chain.size(), 3u);
    heap_track_release_all();
    std::vector<void *> taken;
    for (int i = 0; i < 4; i++) {
      taken.push_back(__wrap_malloc(sizeof(profile_block_t)));
      EXPECT_EQ(std::count(chain.begin(), chain.end(), taken.back()), 0) << "a profiling block was given back";
    }
    for (void *p : taken) __wrap_free(p);
    std::vector<Record> r = time_records();
    ASSERT_EQ(r.size(), 201u);
    EXPECT_EQ(r[200].data, 199u);
    if (!::testing::Test::HasFailure()) set_profile_time_enabled(0);  // a broken chain would not unwind
  })));
}

}  // namespace
}  // namespace zv::test
