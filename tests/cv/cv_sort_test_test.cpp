// The sort check against a plain stable sort, in place and in L2 SRAM and the
// DTCM window, under every schedule with the checker on; and the calls whose
// work areas have no memory to lie in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cv/cv_sort_test.h"
#include "fw_test.h"
#include "ref/cv_ref.h"

namespace zv::test {
namespace {

constexpr u64 kKeys = kUserDdr + 0x1000, kIndex = kUserDdr + 0x20000, kKeysOut = kUserDdr + 0x40000,
              kIndexOut = kUserDdr + 0x60000;

TEST(CvSortCheck, SortsInEveryMemory) {
  struct Case {
    const char *what;
    u32 space, order, len, out_len;
  };
  const Case cases[] = {
      {"in place, descending, ties in input order", 0, 1, 37, 37},
      {"L2 SRAM, ascending, first 5", 1, 0, 100, 5},
      {"DTCM window, descending, first 9 of 300", 2, 1, 300, 9},
  };
  for (const Case &k : cases) {
    std::vector<float> keys(k.len);
    std::vector<u32> index(k.len);
    for (u32 i = 0; i < k.len; i++) keys[i] = float(int(i * 7919 % 23) - 11) * 0.5f, index[i] = 1000 + 3 * i;
    std::vector<float> want_keys;
    std::vector<u32> want_index;
    ref::cv_sort(keys, index, k.order == 1, k.out_len, want_keys, want_index);
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      chip::Memory &ddr = rig.chip().device_memory();
      ddr.store(kKeys, keys.data(), 4 * k.len);
      ddr.store(kIndex, index.data(), 4 * k.len);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_test_sort(kIndex, kKeys, kIndexOut, kKeysOut, k.order, k.space, k.len, k.out_len, node);
      }));
      std::vector<float> got_keys(k.out_len);
      std::vector<u32> got_index(k.out_len);
      ddr.load(kKeysOut, got_keys.data(), 4 * k.out_len);
      ddr.load(kIndexOut, got_index.data(), 4 * k.out_len);
      EXPECT_EQ(got_keys, want_keys);
      EXPECT_EQ(got_index, want_index);
      if (k.space != 0) {
        // The caller's arrays are left as they were.
        std::vector<float> after(k.len);
        ddr.load(kKeys, after.data(), 4 * k.len);
        EXPECT_EQ(after, keys);
      }
    }
  }
}

TEST(CvSortCheck, RefusesAreasWithoutMemory) {
  struct Case {
    const char *what;
    u32 space, len, out_len;
    const char *condition, *info;
  };
  const Case cases[] = {
      {"space 5", 5, 4, 4, "memory_space <= CV_SORT_SPACE_DDR4", "memory_space=5"},
      {"out_len above len", 1, 4, 5, "len > 0 && out_len > 0 && out_len <= len", "len=4, out_len=5"},
      {"DTCM window: 4 x (3 x 32768 + 1) bytes", 2, 32768, 1, "areas->end <= limit",
       "work areas of 32768 keys end at 0x002080004, past 0x002080000"},
      {"L2 SRAM past the layer scratch", 1, 200000, 200000, "areas->end <= limit",
       "work areas of 200000 keys end at 0x0103af400, past 0x010300000"},
      {"space 3 beyond device memory", 3, 4, 4, "areas->end <= limit",
       "work areas of 4 keys end at 0x300000040, past 0x300000000"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    expect_assert(
        [&](cmd_id_node_t *node) {
          nodechip_test_sort(kIndex, kKeys, kIndexOut, kKeysOut, 1, k.space, k.len, k.out_len, node);
        },
        "ASSERT_FS", "firmware/cv/", "cv_sort_areas_of", k.condition, k.info);
  }
}

}  // namespace
}  // namespace zv::test
