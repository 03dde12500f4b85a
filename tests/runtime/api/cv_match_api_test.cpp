// The feature-matching APIs end to end: messages through the host driver,
// results read back from device memory and compared with tests/ref, on three
// deferred seeds with the checker on and on the ARM image; wrong sizes and
// the limits answer 1009 with nothing issued.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "cv/cv_common.h"
#include "cv/cv_feature_match.h"
#include "fw_test.h"
#include "ref/cv_match_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kQuery = kUserDdr + 0x100, kDb = kUserDdr + 0x100000, kFactor = kUserDdr + 0x400000,
                   kOut = kUserDdr + 0x500000, kOut2 = kUserDdr + 0x600000, kWork = kUserDdr + 0x700000;

uint32_t lcg(uint32_t &s) {
  s = s * 1103515245u + 12345u;
  return s >> 16;
}

// 300 entries run as 256 and 44 (from byte 1024 on), the maxima over rows of
// 320; 100 entries as the remainder call alone. The next message starts from a
// clean DTCM cursor and flag.
TEST(CvMatchApi, FloatTopOneWithAndWithoutWholeBlocks) {
  struct Case {
    uint32_t B, F, m;
  };
  const Case cases[] = {{3, 24, 300}, {2, 7, 100}};
  for_each_api_card([&](host::Card &card) {
    for (const Case &c : cases) {
      SCOPED_TRACE("entries " + std::to_string(c.m));
      uint32_t seed = c.m;
      std::vector<float> q(c.B * c.F), db(c.F * c.m), factor(c.m);
      for (float &v : q) v = float(int(lcg(seed) % 7) - 3);
      for (uint32_t b = 0; b < c.B; b++) q[b * c.F] = 2;
      for (float &v : db) v = float(int(lcg(seed) % 7) - 3);
      for (float &v : factor) v = 0.25f + float(lcg(seed) % 65536) / 32768.0f;
      const ref::MatchTop1 want = ref::cv_feature_match(q, db, factor, int(c.B), int(c.F), int(c.m));
      card.write(kQuery, q.data(), 4 * q.size());
      card.write(kDb, db.data(), 4 * db.size());
      card.write(kFactor, factor.data(), 4 * factor.size());
      const zv_api_cv_feature_match_t rec = {kQuery, kDb, kFactor, kOut, kOut2, c.B, c.F, c.m};
      send(card, 504, payload_of(rec));
      const std::vector<float> sim = values_of<float>(card.read(kOut, 4 * c.B));
      const std::vector<uint32_t> idx = values_of<uint32_t>(card.read(kOut2, 4 * c.B));
      for (uint32_t b = 0; b < c.B; b++) {
        ASSERT_GT(want.similarity[b] - want.runner_up[b], 1e-4 * std::fabs(want.similarity[b])) << "fixture";
        EXPECT_EQ(idx[b], want.index[b]) << b;
        EXPECT_NEAR(sim[b], want.similarity[b], 1e-5 * std::fabs(want.similarity[b])) << b;
      }
    }
  });
}

// A failed call may leave the DTCM cursor anywhere: the handler starts from
// the window's start (the row maxima take 8 bytes a query there) and sets the
// cursor back after the call; the flag shows a block was matched.
TEST(CvMatchApi, FloatCallStartsFromTheWindowsStartAndSetsItBack) {
  const uint32_t B = 2, F = 5, m = 130;
  uint32_t seed = 9;
  std::vector<float> q(B * F), db(F * m), factor(m);
  for (float &v : q) v = float(int(lcg(seed) % 7) - 3);
  q[0] = q[F] = 3;
  for (float &v : db) v = float(int(lcg(seed) % 7) - 3);
  for (float &v : factor) v = 0.25f + float(lcg(seed) % 65536) / 32768.0f;
  const ref::MatchTop1 want = ref::cv_feature_match(q, db, factor, int(B), int(F), int(m));
  for (uint32_t b = 0; b < B; b++)
    ASSERT_GT(want.similarity[b] - want.runner_up[b], 1e-4 * std::fabs(want.similarity[b])) << "fixture";
  FirmwareRig rig(deferred(2));
  chip::Memory &ddr = rig.chip().device_memory();
  ddr.store(kQuery, q.data(), 4 * q.size());
  ddr.store(kDb, db.data(), 4 * db.size());
  ddr.store(kFactor, factor.data(), 4 * factor.size());
  const zv_api_cv_feature_match_t rec = {kQuery, kDb, kFactor, kOut, kOut2, B, F, m};
  alignas(8) uint8_t param[sizeof rec];
  std::memcpy(param, &rec, sizeof rec);
  cv_cur_dtcm_addr = DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE - 4;
  feature_match_init_flag = 7;
  ASSERT_TRUE(ran_clean(rig.run([&] { zv_api_cv_feature_match(param, sizeof rec); })));
  EXPECT_EQ(cv_cur_dtcm_addr, DTCM_SCRATCH_START);
  EXPECT_EQ(feature_match_init_flag, 1u);
  std::vector<uint32_t> idx(B);
  ddr.load(kOut2, idx.data(), 4 * B);
  EXPECT_EQ(idx, want.index);
}

TEST(CvMatchApi, EightBitTopNOverPasses) {
  // 64 queries: passes of 494 entries; the top 2 of each pass, then of all.
  const uint32_t B = 64, F = 24, D = 1100, n = 2, shift = 4;
  uint32_t seed = 5;
  std::vector<int8_t> q(B * F), db(F * D);
  for (int8_t &v : q) v = int8_t(lcg(seed));
  for (int8_t &v : db) v = int8_t(lcg(seed));
  std::vector<int16_t> want_scores;
  std::vector<int32_t> want_idx;
  ref::cv_feature_match_fix8b(q, db, B, F, D, n, shift, want_scores, want_idx);
  const zv_api_cv_feature_match_fix8b_t rec = {kQuery, kDb, kOut, kOut2, kWork, B, F, D, n, shift};
  for_each_api_card([&](host::Card &card) {
    card.write(kQuery, q.data(), q.size());
    card.write(kDb, db.data(), db.size());
    send(card, 509, payload_of(rec));
    EXPECT_EQ(values_of<int16_t>(card.read(kOut, 2 * B * n)), want_scores);
    EXPECT_EQ(values_of<int32_t>(card.read(kOut2, 4 * B * n)), want_idx);
  });
}

TEST(CvMatchApi, BadRecordsAnswer1009WithNothingIssued) {
  const zv_api_cv_feature_match_t f32 = {kQuery, kDb, kFactor, kOut, kOut2, 2, 8, 300};
  zv_api_cv_feature_match_t no_entries = f32, l2 = f32, fw_part = f32;
  no_entries.entry_count = 0;
  l2.batch = 16;
  l2.entry_count = 9697;  // 16 x 16 x 9728 bytes of L2 SRAM from 0x100a2000: 2490368 > 2482176
  fw_part.factor = 0x100000000ull;
  const zv_api_cv_feature_match_fix8b_t i8 = {kQuery, kDb, kOut, kOut2, kWork, 2, 8, 5, 2, 0};
  zv_api_cv_feature_match_fix8b_t top6 = i8, full = i8, window = i8, fw_work = i8;
  top6.top_n = 6;
  full.batch = 8;
  full.entry_count = 100;
  full.top_n = 82;
  window.work = 0x180000000ull;
  fw_work.work = 0x100000000ull;
  const std::vector<RefusedCase> cases = {
      {"504 one word short", 504, std::vector<uint32_t>(12), ": size == sizeof(zv_api_cv_feature_match_t)\n"},
      {"504 one word long", 504, std::vector<uint32_t>(14), ": size == sizeof(zv_api_cv_feature_match_t)\n"},
      {"509 one word short", 509, std::vector<uint32_t>(14), ": size == sizeof(zv_api_cv_feature_match_fix8b_t)\n"},
      {"509 one word long", 509, std::vector<uint32_t>(16), ": size == sizeof(zv_api_cv_feature_match_fix8b_t)\n"},
      {"504 without entries", 504, payload_of(no_entries), ": (rec.entry_count) > 0\n"},
      {"504 past the layer scratch of L2 SRAM", 504, payload_of(l2),
       ": cv_feature_match_l2_bytes(B, m) <= CV_MATCH_L2_END - CV_MATCH_SIM_ADDR\n"},
      {"504 reading the firmware's part of device memory", 504, payload_of(fw_part), "api_global_fits"},
      {"509 top 6 of 5 entries", 509, payload_of(top6), ": top_n <= entry_count\n"},
      {"509 candidates filling L2 SRAM", 509, payload_of(full), ": candidates < CV_MATCH8_L2_BYTES\n"},
      {"509 work beyond the ARM's window", 509, payload_of(window), "ASSERT info: work buffer 0x180000000\n"},
      {"509 work in the firmware's part of device memory", 509, payload_of(fw_work), "api_global_fits"},
  };
  expect_refused_on_api_cards(cases);
}

}  // namespace
}  // namespace zv::test
