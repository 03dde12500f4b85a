// The CDMA sort and the GDE gather: the firmware's generators on the chip
// model, against a stable reference sort and plain indexing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cmd/cdma_sort.h"
#include "engine_test_kinds.h"
#include "engine_issue.h"
#include "runtime/engine_wait.h"
#include "fw_test.h"
#include "cmd/gde_gather.h"
#include "ref/memory_ref.h"
#include "runtime/profile.h"

namespace zv::test {
namespace {

using chip::ChipConfig;
using chip::Schedule;

constexpr u64 kDdr = 0x120000000ull;  // device memory, high word 1
constexpr u32 kL2 = 0x10000000u;
constexpr u32 kL2End = 0x10400000u;
constexpr u32 kCdmaLockOffset = 0x40;

// The test's own accesses go to the memories directly, unseen by the checker.
chip::Memory &memory(chip::Chip &c, u64 addr) { return addr >= chip::Chip::kDeviceMemBase ? c.ddr : c.l2; }
template <class T>
void put(chip::Chip &c, u64 addr, const std::vector<T> &v) {
  memory(c, addr).store(addr, v.data(), v.size() * sizeof(T));
}
template <class T>
std::vector<T> get(chip::Chip &c, u64 addr, size_t n) {
  std::vector<T> v(n);
  memory(c, addr).load(addr, v.data(), n * sizeof(T));
  return v;
}

std::vector<u32> bits(const std::vector<float> &f) {
  std::vector<u32> b(f.size());
  std::memcpy(b.data(), f.data(), f.size() * 4);
  return b;
}

// ---- CDMA sort ----

struct SortCase {
  const char *what;
  std::vector<float> keys;
  u32 order;
  u8 index_enable, auto_index;
  u32 out_len;
  u64 base;  // keys at base, sorted keys at base + 0x1000, indices at + 0x2000 and + 0x3000
};

std::vector<float> random_keys(size_t n, int distinct, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<float> k(n);
  for (float &v : k) v = static_cast<float>(static_cast<int>(gen() % distinct) - distinct / 2) * 0.5f;
  return k;
}

TEST(CdmaSort, MatchesAStableReferenceSort) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<float> ties = {3, 1, 3, -2, 1, 3, 0, -0.0f, 7, 1};
  const SortCase cases[] = {
      {"descending keys only", ties, SORT_ORDER_DESCEND, 0, 0, 10, kDdr},
      {"ascending keys only", ties, SORT_ORDER_ASCEND, 0, 0, 10, kDdr},
      {"descending, automatic indices: ties keep index order", ties, SORT_ORDER_DESCEND, 1, 1, 10, kDdr},
      {"ascending, given indices", ties, SORT_ORDER_ASCEND, 1, 0, 10, kDdr},
      {"top 3 of many ties", random_keys(300, 7, 1), SORT_ORDER_DESCEND, 1, 1, 3, kDdr},
      {"in L2 SRAM, first 50 ascending", random_keys(257, 40, 2), SORT_ORDER_ASCEND, 1, 1, 50, kL2},
      {"NaN above every number, infinities", {1, nan, -inf, inf, nan, 0}, SORT_ORDER_DESCEND, 1, 1, 6, kDdr},
      {"NaN last when ascending", {1, nan, -inf, inf, nan, 0}, SORT_ORDER_ASCEND, 1, 1, 6, kDdr},
      {"one key", {42}, SORT_ORDER_ASCEND, 1, 1, 1, kDdr},
      {"no result wanted", {2, 1}, SORT_ORDER_ASCEND, 1, 1, 0, kDdr},
  };
  for (const SortCase &s : cases) {
    SCOPED_TRACE(s.what);
    FirmwareRig rig;
    chip::Chip &c = rig.chip();
    const u32 n = static_cast<u32>(s.keys.size());
    std::vector<u32> given(n);
    for (u32 i = 0; i < n; i++) given[i] = 1000 + 7 * i;
    put(c, s.base, s.keys);
    put(c, s.base + 0x2000, given);
    put(c, s.base + 0x1000, std::vector<u32>(n + 1, 0xeeeeeeee));
    put(c, s.base + 0x3000, std::vector<u32>(n + 1, 0xdddddddd));
    ASSERT_TRUE(ran_clean(rig.run([&] {
      cdma_sort_move_cmd(s.base, s.base + 0x1000, n, s.order, s.index_enable, s.auto_index, s.base + 0x2000,
                         s.base + 0x3000, s.out_len);
    })));
    const std::vector<u32> order = ref::stable_sort_order(s.keys, s.order == SORT_ORDER_DESCEND);
    std::vector<float> want_keys;
    std::vector<u32> want_index;
    for (u32 k = 0; k < s.out_len; k++) {
      want_keys.push_back(s.keys[order[k]]);
      want_index.push_back(s.auto_index ? order[k] : given[order[k]]);
    }
    want_keys.push_back(0);
    std::memset(&want_keys.back(), 0xee, 4);  // the word after the results stays
    want_index.push_back(0xdddddddd);
    EXPECT_EQ(bits(get<float>(c, s.base + 0x1000, s.out_len + 1)), bits(want_keys));
    if (s.index_enable)
      EXPECT_EQ(get<u32>(c, s.base + 0x3000, s.out_len + 1), want_index);
    else
      EXPECT_EQ(get<u32>(c, s.base + 0x3000, n + 1), std::vector<u32>(n + 1, 0xdddddddd));
    EXPECT_EQ(c.sys.host_peek(kCdmaLockOffset), 0u) << "the semaphore is released";
  }
}

TEST(CdmaSort, DescriptorFieldsAndTheSemaphore) {
  FirmwareRig rig;
  chip::Chip &c = rig.chip();
  put(c, 0x120000000ull, std::vector<float>{2, 1});
  // Index addresses given with indices off: the four index words are 0.
  ASSERT_TRUE(ran_clean(rig.run([&] {
    cdma_sort_move_cmd(0x120000000ull, 0x120000100ull, 2, SORT_ORDER_ASCEND, 0, 1, 0x120000200ull, 0x120000300ull, 2);
  })));
  ASSERT_EQ(c.engines.cdma.commands().size(), 1u);
  const chip::Descriptor &d = c.engines.cdma.commands()[0].descriptor;
  EXPECT_EQ(d.word(33), 0x20000000u);
  EXPECT_EQ(d.word(34), 0x3f1u);
  EXPECT_EQ(d.word(35), 0x20000100u);
  EXPECT_EQ(d.word(36), 0x3f1u);
  EXPECT_EQ(d.word(37), 8u) << "key bytes";
  EXPECT_EQ(d.word(44), 8u) << "result bytes";
  for (int w : {40, 41, 42, 43}) EXPECT_EQ(d.word(w), 0u) << "index word " << w;
  EXPECT_EQ(d.word(2), 0x009u) << "bit 73 cleared over the default image";
  EXPECT_EQ(d.field(960, 8), 0x29u);
  EXPECT_EQ(d.field(976, 3), 0x4u) << "ascending, indices off, automatic";
  EXPECT_EQ(c.sys.host_peek(kCdmaLockOffset), 0u);
  EXPECT_EQ(c.engines.cdma.read32(0x5800380c) & (1u << 9), 0u) << "the done bit is cleared";
  EXPECT_EQ(get<float>(c, 0x120000100ull, 2), (std::vector<float>{1, 2}));

  // The host holds the semaphore: the firmware waits and issues nothing.
  c.sys.host_poke(kCdmaLockOffset, 1);
  FwOutcome held = rig.run([&] {
    cdma_sort_move_cmd(0x120000000ull, 0x120000100ull, 2, SORT_ORDER_ASCEND, 0, 0, 0, 0, 2);
  });
  EXPECT_EQ(held.end, host::Core::End::Hung) << held.fault;
  EXPECT_EQ(c.engines.cdma.commands().size(), 1u);
}

TEST(CdmaSort, ARefusedFieldLeavesTheSemaphoreFree) {
  FirmwareRig rig;
  chip::Chip &c = rig.chip();
  put(c, kDdr, std::vector<float>{2, 1});
  EXPECT_TRUE(stopped_on(rig.run([&] { cdma_sort_move_cmd(kDdr, kDdr + 0x100, 2, 2, 0, 0, 0, 0, 2); }), "ASSERT", "firmware/",
                "cdma_sort_move_cmd", "order == SORT_ORDER_ASCEND || order == SORT_ORDER_DESCEND", "order=2"));
  EXPECT_TRUE(stopped_on(rig.run([&] { cdma_sort_move_cmd(kDdr, kDdr + 0x100, 2, 1, 2, 0, 0, 0, 2); }), "ASSERT", "firmware/",
                "cdma_sort_move_cmd", "index_enable <= 1 && auto_index <= 1", "index_enable=2, auto_index=0"));
  EXPECT_TRUE(c.engines.cdma.commands().empty());
  EXPECT_EQ(c.sys.host_peek(kCdmaLockOffset), 0u);
  // The next sort is not blocked.
  ASSERT_TRUE(ran_clean(rig.run([&] { cdma_sort_move_cmd(kDdr, kDdr + 0x100, 2, 0, 0, 0, 0, 0, 2); })));
  EXPECT_EQ(get<float>(c, kDdr + 0x100, 2), (std::vector<float>{1, 2}));
}

TEST(CdmaSort, MakesNoProfilingRecord) {
  // Sorts and gathers have no command-id node, and a record is made only for
  // a node: with profiling on, the list keeps just its start record.
  FirmwareRig rig;
  chip::Chip &c = rig.chip();
  put(c, kL2, std::vector<float>{2, 1});
  put(c, kL2 + 0x100, std::vector<u32>{1, 0});
  u32 len = 0;
  ASSERT_TRUE(ran_clean(rig.run([&] {
    set_profile_time_enabled(1);
    cdma_sort_move_cmd(kL2, kL2 + 0x40, 2, 0, 0, 0, 0, 0, 2);
    gde_gather_data_gen_cmd(1, kL2, kL2 + 0x100, 2, GDE_TYPE_WORD, kL2 + 0x200);
    len = get_profile_time_data_len();
    set_profile_time_enabled(0);
  })));
  EXPECT_EQ(len, 32u);
}

TEST(CdmaSort, InputFromGdmaIsSortedOnlyAfterTheWait) {
  // GDMA copies the keys into place; the sort, which carries no ids, sees them
  // only when the firmware waited for the node first. Without the wait some
  // seed sorts stale keys, and the checker flags it under every seed.
  const std::vector<float> keys = {5, 3, 9, 1, 7, 2, 8, 6};
  const std::vector<float> sorted = {9, 8, 7, 6, 5, 3, 2, 1};
  bool some_seed_wrong = false;
  for (u64 seed = 0; seed < 6; seed++) {
    for (bool wait : {true, false}) {
      SCOPED_TRACE(std::to_string(seed) + (wait ? " with wait" : " without wait"));
      FirmwareRig rig(deferred(seed));
      chip::Chip &c = rig.chip();
      add_test_kinds(c);
      put(c, kDdr, keys);
      put(c, kDdr + 0x100, std::vector<float>(8, 0));
      ASSERT_TRUE(ran_clean(rig.run([&] {
        cmd_id_node_t node = {};
        resync_cmd_id(&node);
        issue_gdma_copy(&node, kDdr, kDdr + 0x100, 8);
        if (wait) poll_all_engine_done(&node);
        cdma_sort_move_cmd(kDdr + 0x100, kDdr + 0x200, 8, SORT_ORDER_DESCEND, 0, 0, 0, 0, 8);
        poll_all_engine_done(&node);
      }), wait ? Races::None : Races::Expected));
      const bool right = get<float>(c, kDdr + 0x200, 8) == sorted;
      if (wait) {
        EXPECT_TRUE(right);
        EXPECT_TRUE(c.engines.findings().empty());
      } else {
        some_seed_wrong |= !right;
        EXPECT_FALSE(c.engines.findings().empty());
      }
    }
  }
  EXPECT_TRUE(some_seed_wrong);
}

// ---- GDE gather ----

TEST(GdeGather, MatchesPlainIndexing) {
  struct Case {
    const char *what;
    u32 type, mode, items_in, len;
  };
  const Case cases[] = {
      {"bytes", GDE_TYPE_BYTE, 0, 300, 1000},
      {"words", GDE_TYPE_WORD, 1, 64, 77},
      {"16-byte items", GDE_TYPE_128BITS, 1, 20, 33},
      {"one item", GDE_TYPE_WORD, 1, 1, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FirmwareRig rig;
    chip::Chip &c = rig.chip();
    const size_t item = gde_type_bytes(k.type);
    std::mt19937 gen(k.len);
    std::vector<u8> in(k.items_in * item);
    for (u8 &b : in) b = static_cast<u8>(gen());
    std::vector<u32> index(k.len);
    for (u32 &i : index) i = gen() % k.items_in;
    index.back() = k.items_in - 1;  // the last input item
    const u32 in_addr = kL2 + 0x1000, index_addr = kL2 + 0x20000, out_addr = kL2 + 0x40000;
    put(c, in_addr, in);
    put(c, index_addr, index);
    put(c, out_addr + k.len * item, std::vector<u8>(16, 0xcc));
    ASSERT_TRUE(ran_clean(rig.run([&] { gde_gather_data_gen_cmd(k.mode, in_addr, index_addr, k.len, k.type, out_addr); })));
    EXPECT_EQ(get<u8>(c, out_addr, k.len * item), ref::gather(in, index, item));
    EXPECT_EQ(get<u8>(c, out_addr + k.len * item, 16), std::vector<u8>(16, 0xcc)) << "nothing written past the end";
    const chip::Descriptor &d = c.engines.gde.commands().back().descriptor;
    EXPECT_EQ(d.word(3), in_addr);
    EXPECT_EQ(d.word(5), out_addr);
    EXPECT_EQ(d.word(7), index_addr);
    EXPECT_EQ(d.word(9), k.len | k.type << 28);
  }
}

TEST(GdeGather, ParametersAreCheckedBeforeAnythingIsIssued) {
  struct Case {
    const char *what;
    u32 in, index, len, type, out;
    std::string condition, info;
  };
  const std::string in_range = "(in_addr >= L2_SRAM_START_ADDR) && ((u64)in_addr + item_size <= "
                               "L2_SRAM_START_ADDR + L2_SRAM_SIZE)";
  const std::string out_range = "(out_addr >= L2_SRAM_START_ADDR) && ((u64)out_addr + len * item_size <= "
                                "L2_SRAM_START_ADDR + L2_SRAM_SIZE)";
  const std::string index_range = "(index_addr >= L2_SRAM_START_ADDR) && ((u64)index_addr + 4ull * len <= "
                                  "L2_SRAM_START_ADDR + L2_SRAM_SIZE)";
  const std::string type_check = "(type == GDE_TYPE_BYTE) || (type == GDE_TYPE_WORD) || (type == GDE_TYPE_128BITS)";
  const Case cases[] = {
      {"input below L2 SRAM", 0x0fff0000, kL2, 4, GDE_TYPE_WORD, kL2 + 0x100, in_range,
       "input address should be l2 sram"},
      // 100 words at 40 bytes before the end: the count alone would fit.
      {"output items past the end", kL2, kL2 + 0x1000, 100, GDE_TYPE_WORD, kL2End - 40, out_range,
       "output address should be l2 sram"},
      {"a 16-byte input item that ends past L2 SRAM", kL2End - 8, kL2 + 0x1000, 8, GDE_TYPE_128BITS, kL2,
       in_range, "input address should be l2 sram"},
      {"index entries past the end", kL2, kL2End - 8, 4, GDE_TYPE_BYTE, kL2 + 0x100, index_range,
       "index address should be l2 sram"},
      {"an address near 4 GB does not wrap", 0xfffffff0, kL2, 4, GDE_TYPE_WORD, kL2 + 0x100, in_range,
       "input address should be l2 sram"},
      {"length 0", kL2, kL2 + 0x1000, 0, GDE_TYPE_WORD, kL2 + 0x100, "(len > 0 && len < L2_SRAM_SIZE)",
       "gde length should be less than l2 sram size"},
      {"type 1", kL2, kL2 + 0x1000, 4, 1, kL2 + 0x100, type_check, "type should be byte or word."},
      {"type 3", kL2, kL2 + 0x1000, 4, 3, kL2 + 0x100, type_check, "type should be byte or word."},
      {"16-byte input not aligned", kL2 + 0x8, kL2 + 0x1000, 4, GDE_TYPE_128BITS, kL2 + 0x100,
       "(0 == (0x0f & in_addr))", "in addr should align to 128 bits"},
      {"16-byte output not aligned", kL2, kL2 + 0x1000, 4, GDE_TYPE_128BITS, kL2 + 0x104,
       "(0 == (0x0f & out_addr))", "out addr should align to 128 bits"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FirmwareRig rig;
    EXPECT_TRUE(stopped_on(rig.run([&] { gde_gather_data_gen_cmd(1, k.in, k.index, k.len, k.type, k.out); }), "ASSERT_FS", "firmware/",
                  "CHECK_PARAM", k.condition, k.info));
    EXPECT_TRUE(rig.chip().engines.gde.commands().empty());
  }
}

// The input's extent is set by the indices, not by the count: 100 items
// gathered from the last 16 items of L2 SRAM.
TEST(GdeGather, InputNearTheEndOfL2SramIsBoundedByItsIndicesNotItsCount) {
  FirmwareRig rig;
  chip::Chip &c = rig.chip();
  const u32 in_addr = kL2End - 256, index_addr = kL2 + 0x1000, out_addr = kL2 + 0x2000;
  std::vector<u8> in(256);
  for (size_t i = 0; i < in.size(); i++) in[i] = static_cast<u8>(i * 7 + 1);
  std::vector<u32> index(100);
  for (u32 i = 0; i < index.size(); i++) index[i] = (i * 5) % 16;
  put(c, in_addr, in);
  put(c, index_addr, index);
  ASSERT_TRUE(ran_clean(rig.run([&] {
    gde_gather_data_gen_cmd(1, in_addr, index_addr, 100, GDE_TYPE_128BITS, out_addr);
  })));
  EXPECT_EQ(get<u8>(c, out_addr, 100 * 16), ref::gather(in, index, 16));
}

TEST(GdeGather, AnIndexOutsideL2SramIsReportedByTheEngine) {
  FirmwareRig rig;
  chip::Chip &c = rig.chip();
  put(c, kL2 + 0x1000, std::vector<u32>{0, 1, 0x100000});  // item 0x100000 of words lies past L2 SRAM
  FwOutcome out = rig.run([&] { gde_gather_data_gen_cmd(1, kL2, kL2 + 0x1000, 3, GDE_TYPE_WORD, kL2 + 0x2000); });
  EXPECT_EQ(out.end, host::Core::End::Faulted);
  EXPECT_NE(out.fault.find("index[2] = 1048576"), std::string::npos) << out.fault;
}

}  // namespace
}  // namespace zv::test
