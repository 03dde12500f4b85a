// The profiling APIs end to end: switching profiling on and off (986) and
// reading the lists into device memory (987) through the host driver, under the
// deferred schedule with several seeds and the happens-before checker on, and
// on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "cmd/memory_fill_copy.h"
#include "runtime/profile.h"
#include "runtime/api/profile_api.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kDdr = 0x101000000ull;
constexpr uint64_t kWindowEnd = 0x180000000ull;  // the end of the ARM's window on device memory
constexpr uint64_t kStaging = kDdr + 0x100000, kDst = kDdr + 0x200000;
constexpr uint32_t kSetProfile = 986, kGetProfile = 987;
constexpr uint32_t kAll = 8 + 1025 * 32;  // a staging area for a whole list

void set_profile(Card &card, uint32_t enable) { send(card, kSetProfile, payload_of(zv_api_set_profile_t{enable})); }

struct Read {
  uint32_t copied = 0, total = 0;
  std::vector<uint8_t> records;
};

// API 987 into a destination filled with a marker; checks that exactly the
// header and the copied bytes reached it.
Read get_profile(Card &card, uint32_t staging_size, uint32_t offset, uint32_t list = 0) {
  const std::vector<uint8_t> marker(kAll + 64, 0xa5);
  card.write(kDst, marker.data(), marker.size());
  send(card, kGetProfile, payload_of(zv_api_get_profile_data_t{kStaging, kDst, staging_size, offset, list}));
  Read r;
  r.copied = card.read32(kDst);
  r.total = card.read32(kDst + 4);
  EXPECT_LE(r.copied, staging_size - 8);
  if (r.copied != 0) r.records = card.read(kDst + 8, r.copied);
  const std::vector<uint8_t> after = card.read(kDst + 8 + r.copied, 64);
  EXPECT_TRUE(after == std::vector<uint8_t>(64, 0xa5)) << "bytes past the copied records were written";
  return r;
}

profile_time_data_t record_at(const Read &r, size_t i) {
  profile_time_data_t rec;
  std::memcpy(&rec, r.records.data() + 32 * i, sizeof rec);
  return rec;
}

size_t gdma_commands(Card &card) { return card.chip().engines.gdma.commands().size(); }

TEST(ProfileApi, SwitchOnReadsTheStartRecordAndReadingLeavesNoRecord) {
  for_each_api_card([&](host::Card &card) {
    // Off: both lists are empty, the header alone is copied.
    Read r = get_profile(card, kAll, 0);
    EXPECT_EQ(r.copied, 0u);
    EXPECT_EQ(r.total, 0u);

    set_profile(card, 1);
    set_profile(card, 1);  // a restart: one start record again
    for (int pass = 0; pass < 2; pass++) {
      SCOPED_TRACE(pass == 0 ? "first read" : "second read: the first left no record");
      const size_t before = gdma_commands(card);
      r = get_profile(card, 8 + 32, 0);
      EXPECT_EQ(gdma_commands(card), before + 1);
      EXPECT_EQ(r.copied, 32u);
      EXPECT_EQ(r.total, 32u);
      const profile_time_data_t start = record_at(r, 0);
      EXPECT_EQ(start.index, 0u);
      EXPECT_EQ(start.type, PROFILE_TYPE_START);
      EXPECT_EQ(start.data, 0u);
      EXPECT_EQ(start.end_cycle, 40u);
    }

    // An offset at the list's end copies only the header; the extra list is empty.
    r = get_profile(card, kAll, 32);
    EXPECT_EQ(r.copied, 0u);
    EXPECT_EQ(r.total, 32u);
    r = get_profile(card, kAll, 0, 1);
    EXPECT_EQ(r.copied, 0u);
    EXPECT_EQ(r.total, 0u);

    set_profile(card, 0);
    r = get_profile(card, kAll, 0);
    EXPECT_EQ(r.total, 0u) << "switching off drops the records";
  });
}

TEST(ProfileApi, RecordsOtherApisAndPagesThroughBlocks) {
  for_each_api_card([&](host::Card &card) {
    set_profile(card, 1);
    // Each fill: 3 byte-lane commands, each with its own wait.
    const uint32_t fills = 25;
    for (uint32_t i = 0; i < fills; i++) send(card, 1, payload_of(zv_api_memset_t{kDdr + 0x1000 * i, 30, 3, 0x332211}));
    const uint32_t records = 1 + fills * 3 * 2;  // past the first 4096-byte block

    const Read all = get_profile(card, kAll, 0);
    ASSERT_EQ(all.total, records * 32);
    ASSERT_EQ(all.copied, all.total);
    for (uint32_t i = 1; i < records; i++) {
      SCOPED_TRACE("record " + std::to_string(i));
      const profile_time_data_t rec = record_at(all, i);
      EXPECT_EQ(rec.index, i);
      EXPECT_EQ(rec.type, i % 2 ? PROFILE_TYPE_SET_NODE : PROFILE_TYPE_WAIT_NODE);
      if (rec.type == PROFILE_TYPE_SET_NODE) {
        EXPECT_EQ(rec.data >> 48, uint64_t{ENGINE_GDMA});
      } else {
        // Only waits are closed by an end call.
        EXPECT_NE(rec.end_cycle, PROFILE_END_UNSET);
        EXPECT_LE(rec.begin_cycle, rec.end_cycle);
      }
    }

    // Pages of a size that cuts records and blocks put back together the whole list.
    for (uint32_t page : {1000u, 4096u}) {
      std::vector<uint8_t> joined;
      for (uint32_t offset = 0;; offset += page) {
        const Read r = get_profile(card, 8 + page, offset);
        EXPECT_EQ(r.total, all.total);
        if (r.copied == 0) break;
        joined.insert(joined.end(), r.records.begin(), r.records.end());
      }
      EXPECT_TRUE(joined == all.records) << "pages of " << page;
    }
  });
}

// The timer follows modelled time, so an issue record begins when the ARM
// started the command and a wait record ends at the completion it waited for.
TEST(ProfileApi, RecordsCarryModelledCycles) {
  constexpr uint64_t kTick = chip::figures::kTimerTick;
  std::vector<std::vector<uint64_t>> cycles_per_card;
  for_each_api_card([&](host::Card &card) {
    set_profile(card, 1);
    const size_t first = gdma_commands(card);
    for (uint32_t i = 0; i < 2; i++)
      send(card, 1, payload_of(zv_api_memset_t{kDdr + 0x10000 * i, 0x8000, 3, 0x332211}));
    const auto &gdma = card.chip().engines.gdma.commands();
    const size_t fills = gdma_commands(card) - first;
    const Read all = get_profile(card, kAll, 0);
    ASSERT_EQ(all.total, (1 + 2 * fills) * 32);
    std::vector<uint64_t> cycles;
    for (size_t k = 0; k < fills; k++) {
      SCOPED_TRACE("command " + std::to_string(k));
      const chip::CommandRecord &cmd = gdma[first + k];
      const profile_time_data_t issue = record_at(all, 1 + 2 * k), wait = record_at(all, 2 + 2 * k);
      ASSERT_EQ(issue.type, PROFILE_TYPE_SET_NODE);
      ASSERT_EQ(wait.type, PROFILE_TYPE_WAIT_NODE);
      EXPECT_EQ(issue.begin_cycle, cmd.issued_at / kTick);
      EXPECT_LT(wait.begin_cycle, cmd.finish_at / kTick) << "each fill outlasts the ARM's way to its wait";
      EXPECT_EQ(wait.end_cycle, cmd.finish_at / kTick);
      cycles.insert(cycles.end(), {issue.begin_cycle, wait.begin_cycle, wait.end_cycle});
    }
    cycles_per_card.push_back(cycles);
  });
  for (size_t i = 1; i < cycles_per_card.size(); i++)
    EXPECT_EQ(cycles_per_card[i], cycles_per_card[0]) << "the same cycles on " << card_config_name(kApiCards[i]);
}

TEST(ProfileApi, BadStagingAreasFailWithoutLosingTheRecords) {
  struct Case {
    const char *what;
    uint64_t staging;
    uint32_t staging_size;
    const char *condition;
  };
  const char *const kSize = "api->staging_size >= sizeof(profile_data_header_t)";
  const char *const kWindow =
      "api->staging_addr >= FW_USER_MEM_START && api->staging_addr - GLOBAL_MEM_START_ADDR <= "
      "DDR_WINDOW_BYTES - written";
  const Case cases[] = {
      {"a staging area smaller than the header", kStaging, 7, kSize},
      {"no staging area at all", kStaging, 0, kSize},
      {"below device memory (L2 SRAM)", 0x10000000ull, kAll, kWindow},
      {"the firmware's log ring", kDdr - 0x1000, kAll, kWindow},
      {"records running past the ARM's window", kWindowEnd - 39, kAll, kWindow},
      {"entirely past the ARM's window", kWindowEnd, kAll, kWindow},
  };
  for_each_api_card([&](host::Card &card) {
    set_profile(card, 1);
    for (const Case &k : cases) {
      SCOPED_TRACE(k.what);
      expect_refused(card, kGetProfile, payload_of(zv_api_get_profile_data_t{k.staging, kDst, k.staging_size, 0, 0}),
                     std::string(": ") + k.condition + "\n");
    }
    // The window's last bytes still serve as a staging area.
    const uint64_t last = kWindowEnd - 40;
    send(card, kGetProfile, payload_of(zv_api_get_profile_data_t{last, kDst, kAll, 0, 0}));
    EXPECT_EQ(card.read32(kDst), 32u);
    // Profiling stayed on through the failures, with its records.
    const Read r = get_profile(card, kAll, 0);
    EXPECT_EQ(r.total, 32u);
    EXPECT_EQ(record_at(r, 0).type, PROFILE_TYPE_START);
  });
}

}  // namespace
}  // namespace zv::test
