// The descriptor framework: default images, field merging, the issue routine,
// the direct-write protocol and command-id nodes, run as firmware code on the
// chip model.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "chip/engines/bd/fields.h"
#include "chip/engines/cdma/cdma.h"
#include "chip/engines/gde/gde.h"
#include "chip/engines/gdma/fields.h"
#include "cmd/bd_conv.h"
#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/gdma_desc.h"
#include "cmd/gemm.h"
#include "engine_issue.h"
#include "runtime/engine_wait.h"
#include "fw_test.h"

namespace zv::test {
namespace {

using chip::ChipConfig;
using chip::Schedule;

std::vector<u32> words(const u32 *p, size_t n) { return std::vector<u32>(p, p + n); }

std::vector<u32> image(size_t n, std::initializer_list<std::pair<size_t, u32>> set) {
  std::vector<u32> w(n, 0);
  for (const auto &[i, v] : set) w[i] = v;
  return w;
}

TEST(EngineCmd, DefaultImagesAreRenderedWithoutTouchingTheWindows) {
  FirmwareRig rig;
  const u64 writes_before = rig.chip().activity();
  ASSERT_TRUE(ran_clean(rig.run([] {
                    bd_gen_cmd();
                    gdma_gen_cmd();
                    cdma_gen_cmd();
                    gde_gen_cmd();
                  })));
  EXPECT_EQ(rig.chip().activity(), writes_before) << "rendering writes nothing to a window";
  std::vector<u32> bd = image(32, {{1, 0x14008000}, {2, 0x10002496}, {3, 0x40000000}, {4, 0xffffffc4},
                                   {5, 0xffffffff}, {6, 0x0040007f}, {7, 0x00040004}, {8, 0x40040004},
                                   {9, 0x40004000}, {10, 0x00400400}, {11, 0x00000040}, {12, 0x00004000},
                                   {13, 0x00100002}, {14, 0x04000080}, {15, 0x00002000}, {16, 0x00080001}});
  for (size_t i = 22; i <= 29; i++) bd[i] = 1;
  EXPECT_EQ(words(g_bd_cmd_cache_default, 32), bd);
  EXPECT_EQ(words(g_gdma_cmd_cache_default, 23),
            image(23, {{0, 0x400}, {1, 0x840}, {7, 1}, {20, 0xffffffff}, {21, 0xffffffff}}));
  EXPECT_EQ(words(g_cdma_cmd_cache_default, 128), image(128, {{2, 0x209}})) << "the repeated pack renders once";
  EXPECT_EQ(words(g_gde_cmd_cache_default, 10), image(10, {}));
  cmd_generator_t *first = nullptr, *again = nullptr;
  rig.run([&] {
    first = bd_gen_cmd();
    again = bd_gen_cmd();
  });
  EXPECT_EQ(first, again);
  EXPECT_EQ(first->window, 0u);
  EXPECT_EQ(first->word_count, 32);
  EXPECT_EQ(rig.chip().activity(), writes_before);
}

// A record whose window writes are recorded instead of reaching hardware.
std::vector<std::pair<int, u32>> g_window_writes;
void record_write(u32, int index, u32 value) { g_window_writes.push_back({index, value}); }

TEST(EngineCmd, FieldsMergeIntoTheCacheAndTouchedWordsAreWritten) {
  struct Case {
    const char *what;
    u16 pos, len;
    u32 value;
    int no_write;
    std::vector<u32> before, after;
    std::vector<std::pair<int, u32>> written;
  };
  const Case cases[] = {
      {"inside one word", 3, 16, 0xabcd, 0, {0xffffffff, 0}, {0xfffd5e6f, 0}, {{0, 0xfffd5e6f}}},
      {"straddling: bits 30-31 and 0-1", 30, 4, 0xf, 0, {0x1, 0xfffffff0}, {0xc0000001, 0xfffffff3},
       {{0, 0xc0000001}, {1, 0xfffffff3}}},
      {"GDMA id to wait for across words 0 and 1", 19, 16, 0x9abc, 0, {6, 0}, {0xd5e00006, 0x4},
       {{0, 0xd5e00006}, {1, 0x4}}},
      {"width 32 takes any value", 32, 32, 0xdeadbeef, 0, {1, 2}, {1, 0xdeadbeef}, {{1, 0xdeadbeef}}},
      {"width 32 straddling", 40, 32, 0x12345678, 0, {0, 0xffffffff, 0xffffffff}, {0, 0x345678ff, 0xffffff12},
       {{1, 0x345678ff}, {2, 0xffffff12}}},
      {"no_write leaves the window alone", 30, 4, 0x5, 1, {0, 0}, {0x40000000, 1}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<u32> cache = c.before;
    cache.resize(4, 0);
    cmd_generator_t g = {};
    g.window = 0x02081000;
    g.cache = cache.data();
    g.cmd_write = record_write;
    g_window_writes.clear();
    u32 read_back = 0;
    // Generators compose descriptors in memory through cmd_desc_set: the same merge.
    std::vector<u32> composed = c.before;
    composed.resize(4, 0);
    FwOutcome out = run_firmware([&] {
      cmd_pack_t pack = {{c.pos, c.len}, c.value};
      write_cmd(&g, &pack, c.no_write);
      read_back = read_cmd_cache(cache.data(), &pack.id);
      cmd_desc_set(composed.data(), pack.id, pack.value);
    });
    ASSERT_TRUE(ran_clean(out));
    std::vector<u32> expected = c.after;
    expected.resize(4, 0);
    EXPECT_EQ(cache, expected);
    EXPECT_EQ(composed, expected);
    EXPECT_EQ(g_window_writes, c.written);
    EXPECT_EQ(read_back, c.value);
  }
}

TEST(EngineCmd, FieldWidthAndValueAreChecked) {
  static u32 cache[4];
  static cmd_generator_t g;
  g.cache = cache;
  g.cmd_write = record_write;
  expect_assert([] {
    cmd_pack_t p = {{0, 16}, 65536};
    write_cmd(&g, &p, 0);
  }, "ASSERT", "firmware/cmd/", "write_cmd", "0", "none.");
  expect_assert([] {
    cmd_pack_t p = {{0, 0}, 0};
    write_cmd(&g, &p, 1);
  }, "ASSERT", "firmware/cmd/", "write_cmd", "pack->id.len > 0 && pack->id.len <= (32)", "none.");
  expect_assert([] {
    cmd_pack_t p = {{0, 33}, 0};
    write_cmd(&g, &p, 1);
  }, "ASSERT", "firmware/cmd/", "write_cmd", "pack->id.len > 0 && pack->id.len <= (32)", "none.");
  // Composing in memory refuses the same packs with write_cmd's assertions.
  expect_assert([] { cmd_desc_set(cache, CMD_FIELD(30, 4), 16); }, "ASSERT", "firmware/cmd/", "write_cmd", "0",
                "none.");
  expect_assert([] { cmd_desc_set(cache, CMD_FIELD(0, 33), 0); }, "ASSERT", "firmware/cmd/", "write_cmd",
                "pack->id.len > 0 && pack->id.len <= (32)", "none.");
  expect_assert([] {
    cmd_field_id_t id = {4, 0};
    read_cmd_cache(cache, &id);
  }, "ASSERT", "firmware/cmd/", "read_cmd_cache", "id->len > 0 && id->len <= (32)", "none.");
}

// A field table merges as its fields do one by one (a field straddling two
// words, fields sharing a word, a whole word, a later field over an earlier
// one), and a value too wide for its field is refused by write_cmd as a
// single field's is, before any word changes.
TEST(EngineCmd, FieldTablesMergeAsSingleFields) {
  static constexpr cmd_field_id_t kFields[] = {CMD_FIELD(3, 4), CMD_FIELD(7, 1),    CMD_FIELD(28, 8),
                                               CMD_FIELD(64, 32), CMD_FIELD(40, 5), CMD_FIELD(42, 2)};
  const u32 values[][6] = {{0xf, 1, 0xab, 0xdeadbeef, 0x1f, 0}, {0, 0, 0, 0, 0, 3}, {9, 0, 0x80, 1, 7, 1}};
  for (const auto &v : values) {
    u32 table[4] = {0x12345678, 0x9abcdef0, 0x0f0f0f0f, 0xffffffff}, single[4];
    std::copy(table, table + 4, single);
    const u32 vals[6] = {v[0], v[1], v[2], v[3], v[4], v[5]};
    cmd_desc_set_fields(table, kFields, vals);
    for (size_t i = 0; i < 6; i++) cmd_desc_set(single, kFields[i], v[i]);
    EXPECT_EQ(words(table, 4), words(single, 4)) << "values " << v[0] << " " << v[2] << " " << v[5];
  }
  static u32 cache[4];
  expect_assert([] {
    static constexpr cmd_field_id_t kTwo[] = {CMD_FIELD(0, 4), CMD_FIELD(8, 4)};
    const u32 too_wide[2] = {1, 16};
    cmd_desc_set_fields(cache, kTwo, too_wide);
  }, "ASSERT", "firmware/cmd/", "write_cmd", "0", "none.");
}

// A GDMA descriptor composed field by field reaches the window as gen issues
// the same packs: the same words, in the same order, word 0 last with the
// start bit, and the same ids and cache.
TEST(EngineCmd, ComposedGdmaIssuesStoreWhatGenStores) {
  auto run = [](bool composed, std::vector<std::string> *writes, u32 *cache0) {
    FirmwareRig rig(unchecked_chip());
    add_test_kinds(rig.chip());
    rig.chip().trace = [&](const std::string &line) {
      if (line.rfind("write GDMA word ", 0) == 0) writes->push_back(line);
    };
    cmd_id_node_t node = {2, 5, 0};
    EXPECT_TRUE(ran_clean(rig.run([&] {
      if (composed) {
        gdma_compose_t c;
        gdma_compose_begin(&c);
        gdma_compose_set(&c, CMD_FIELD(32, 3), kTestGdmaMode);
        gdma_compose_set(&c, CMD_FIELD(40, 3), 2);
        gdma_compose_set(&c, CMD_FIELD(128, 8), 0x11);
        gdma_compose_set(&c, CMD_FIELD(136, 8), 0x22);
        gdma_compose_set(&c, CMD_FIELD(128, 8), 0x33);
        gdma_compose_set(&c, CMD_FIELD(512, 32), 0xabcdef);
        gdma_compose_issue(&c, &node);
      } else {
        const cmd_pack_t packs[] = {{CMD_FIELD(32, 3), kTestGdmaMode}, {CMD_FIELD(40, 3), 2},
                                    {CMD_FIELD(128, 8), 0x11},        {CMD_FIELD(136, 8), 0x22},
                                    {CMD_FIELD(128, 8), 0x33},        {CMD_FIELD(512, 32), 0xabcdef}};
        gen(gdma_gen_cmd(), packs, 6, &node);
      }
    })));
    rig.chip().trace = nullptr;
    EXPECT_EQ(node.gdma_cmd_id, 6u);
    rig.run([&] { *cache0 = gdma_gen_cmd()->cache[0]; });
  };
  std::vector<std::string> by_gen, composed;
  u32 cache_gen = 0, cache_composed = 0;
  run(false, &by_gen, &cache_gen);
  run(true, &composed, &cache_composed);
  ASSERT_EQ(by_gen.size(), 6u);
  EXPECT_EQ(composed, by_gen);
  EXPECT_EQ(cache_composed, cache_gen);
}

// The firmware composes descriptors through its field declarations and the
// model decodes them through its own tables (it cannot include the
// firmware's): each field both sides name must be the same bits.
TEST(EngineCmd, FirmwareAndModelDeclareTheSameFields) {
  struct Pair {
    const char *name;
    cmd_field_id_t firmware;
    chip::Field model;
  };
  namespace bd = chip::bd::field;
  namespace gdma = chip::gdma::field;
  namespace cdma = chip::cdma::field;
  namespace gde = chip::gde::field;
  const Pair pairs[] = {
      {"BD own id", BD_FIELD_OWN_ID, bd::kOwnId},
      {"BD GDMA wait id", BD_FIELD_WAIT_GDMA_ID, bd::kWaitGdmaId},
      {"BD task", BD_TASK, bd::kTask},
      {"BD sub-op", BD_SUBOP, bd::kSubOp},
      {"BD operand count", BD_OPD_NUM, bd::kOperands},
      {"BD right shift", BD_RSHIFT, bd::kRshift},
      {"BD second shift", BD_SHIFT2, bd::kShift2},
      {"BD shift type", BD_SHIFT_TYPE, bd::kShiftType},
      {"BD result add", BD_RES_ADD, bd::kResAdd},
      {"BD float mode", BD_FLOAT_MODE, bd::kFloatMode},
      {"conv out mode", CONV_OUT_MODE, bd::kOutMode},
      {"fc ReLU", FC_RELU, bd::kFcRelu},
      {"fc L transposed", FC_L_TRANS, bd::kFcLTrans},
      {"conv Winograd", CONV_WINOGRAD, bd::kWinograd},
      {"conv kernel flag", CONV_KERNEL_FLAG, bd::kKernelFlag},
      {"BD operand 0 sign", BD_OPD0_SIGN, bd::kOpd0Sign},
      {"BD operand 1 sign", BD_OPD1_SIGN, bd::kOpd1Sign},
      {"BD operand 2 sign", BD_OPD2_SIGN, bd::kOpd2Sign},
      {"BD result precision", BD_RES_PREC, bd::kResPrec},
      {"BD operand 0 precision", BD_OPD0_PREC, bd::kOpd0Prec},
      {"BD operand 1 precision", BD_OPD1_PREC, bd::kOpd1Prec},
      {"BD operand 2 precision", BD_OPD2_PREC, bd::kOpd2Prec},
      {"BD operand 0 constant", BD_OPD0_CONST, bd::kOpd0Const},
      {"BD operand 1 constant", BD_OPD1_CONST, bd::kOpd1Const},
      {"BD operand 2 constant", BD_OPD2_CONST, bd::kOpd2Const},
      {"BD result stride mode", BD_RES_STRIDE_MODE, bd::kResStrideMode},
      {"BD operand 0 stride mode", BD_OPD0_STRIDE_MODE, bd::kOpd0StrideMode},
      {"BD operand 1 stride mode", BD_OPD1_STRIDE_MODE, bd::kOpd1StrideMode},
      {"conv zeros between columns", CONV_INS_W, bd::kInsW},
      {"conv zeros between rows", CONV_INS_H, bd::kInsH},
      {"conv dilation w", CONV_DW, bd::kDwMinus1},
      {"conv dilation h", CONV_DH, bd::kDhMinus1},
      {"conv pad top", CONV_PAD_TOP, bd::kPadTop},
      {"conv pad bottom", CONV_PAD_BOTTOM, bd::kPadBottom},
      {"conv pad left", CONV_PAD_LEFT, bd::kPadLeft},
      {"conv pad right", CONV_PAD_RIGHT, bd::kPadRight},
      {"conv stride w", CONV_STRIDE_W, bd::kStrideW},
      {"conv stride h", CONV_STRIDE_H, bd::kStrideH},
      {"BD N", BD_N, bd::kN},
      {"BD C", BD_C, bd::kC},
      {"BD H", BD_H, bd::kH},
      {"BD W", BD_W, bd::kW},
      {"BD operand 0 N", BD_OPD0_N, bd::kOpd0N},
      {"BD operand 0 C", BD_OPD0_C, bd::kOpd0C},
      {"BD operand 0 H", BD_OPD0_H, bd::kOpd0H},
      {"BD operand 0 W", BD_OPD0_W, bd::kOpd0W},
      {"BD operand 1 N", BD_OPD1_N, bd::kOpd1N},
      {"BD operand 1 C", BD_OPD1_C, bd::kOpd1C},
      {"BD operand 1 H", BD_OPD1_H, bd::kOpd1H},
      {"BD operand 1 W", BD_OPD1_W, bd::kOpd1W},
      {"BD fixed-point shift 0", BD_FIX_SHIFT(0), bd::fix_shift(0)},
      {"BD fixed-point shift 5", BD_FIX_SHIFT(5), bd::fix_shift(5)},
      {"BD result n stride", BD_RES_NSTRIDE, bd::kResNStride},
      {"BD result c stride", BD_RES_CSTRIDE, bd::kResCStride},
      {"BD operand 0 n stride", BD_OPD0_NSTRIDE, bd::kOpd0NStride},
      {"BD operand 0 c stride", BD_OPD0_CSTRIDE, bd::kOpd0CStride},
      {"BD operand 1 n stride", BD_OPD1_NSTRIDE, bd::kOpd1NStride},
      {"BD operand 1 c stride", BD_OPD1_CSTRIDE, bd::kOpd1CStride},
      {"BD operand 2 n stride", BD_OPD2_NSTRIDE, bd::kOpd2NStride},
      {"BD operand 2 c stride", BD_OPD2_CSTRIDE, bd::kOpd2CStride},
      {"BD result sign", BD_RES_SIGN, bd::kResSign},
      {"BD operand 1 broadcast n", BD_OPD1_BCAST_N, bd::kOpd1BcastN},
      {"BD operand 3 constant", BD_OPD3_CONST, bd::kOpd3Const},
      {"GDMA strides given", GDMA_FIELD_STRIDE_EN, gdma::kStridesGiven},
      {"GDMA direction", GDMA_FIELD_DIRECTION, gdma::kDirection},
      {"GDMA result add", GDMA_FIELD_RESULT_ADD, gdma::kResultAdd},
      {"GDMA flat copy", GDMA_FIELD_FLAT_COPY, gdma::kFlatCopy},
      {"GDMA own id", GDMA_FIELD_OWN_ID, gdma::kOwnId},
      {"GDMA BD wait id", GDMA_FIELD_WAIT_BD_ID, gdma::kWaitBdId},
      {"GDMA mode", GDMA_FIELD_MODE, gdma::kMode},
      {"GDMA destination format", GDMA_FIELD_DST_FORMAT, gdma::kDstFormat},
      {"GDMA layout", GDMA_FIELD_LAYOUT, gdma::kLayout},
      {"GDMA matrix", GDMA_FIELD_MATRIX, gdma::kMatrix},
      {"GDMA source format", GDMA_FIELD_SRC_FORMAT, gdma::kSrcFormat},
      {"GDMA fill value", GDMA_FIELD_FILL_VALUE, gdma::kFillValue},
      {"GDMA count", GDMA_FIELD_COUNT, gdma::kCount},
      {"GDMA mask address", GDMA_FIELD_MASK_ADDR, gdma::kMaskAddr},
      {"GDMA source n stride", GDMA_FIELD_SRC_NSTRIDE, gdma::kSrcStride[0]},
      {"GDMA source w stride", GDMA_FIELD_SRC_WSTRIDE, gdma::kSrcStride[3]},
      {"GDMA destination n stride", GDMA_FIELD_DST_NSTRIDE, gdma::kDstStride[0]},
      {"GDMA destination w stride", GDMA_FIELD_DST_WSTRIDE, gdma::kDstStride[3]},
      {"GDMA source N", GDMA_FIELD_SRC_N, gdma::kSrcShape[0]},
      {"GDMA source W", GDMA_FIELD_SRC_W, gdma::kSrcShape[3]},
      {"GDMA destination N", GDMA_FIELD_DST_N, gdma::kDstShape[0]},
      {"GDMA destination W", GDMA_FIELD_DST_W, gdma::kDstShape[3]},
      {"GDMA source address", GDMA_FIELD_SRC_ADDR_LO, gdma::kSrcAddrLow},
      {"GDMA destination address", GDMA_FIELD_DST_ADDR_LO, gdma::kDstAddrLow},
      {"GDMA source address high", GDMA_FIELD_SRC_ADDR_HI, gdma::kSrcAddrHigh},
      {"GDMA destination address high", GDMA_FIELD_DST_ADDR_HI, gdma::kDstAddrHigh},
      {"CDMA sort order", CDMA_FIELD_SORT_ORDER, cdma::kDescending},
      {"CDMA index enable", CDMA_FIELD_INDEX_ENABLE, cdma::kIndexEnable},
      {"CDMA automatic index", CDMA_FIELD_AUTO_INDEX, cdma::kAutoIndex},
      {"CDMA source keys", CDMA_FIELD_SRC_KEY_LO, cdma::kSrcKeyLow},
      {"CDMA destination keys", CDMA_FIELD_DST_KEY_LO, cdma::kDstKeyLow},
      {"CDMA key bytes", CDMA_FIELD_KEY_BYTES, cdma::kKeyBytes},
      {"CDMA source indices", CDMA_FIELD_SRC_INDEX_LO, cdma::kSrcIndexLow},
      {"CDMA destination indices", CDMA_FIELD_DST_INDEX_LO, cdma::kDstIndexLow},
      {"CDMA result bytes", CDMA_FIELD_OUT_BYTES, cdma::kOutBytes},
      {"GDE input", GDE_FIELD_IN_ADDR, gde::kInAddr},
      {"GDE input high", GDE_FIELD_IN_ADDR_HI, gde::kInAddrHigh},
      {"GDE output", GDE_FIELD_OUT_ADDR, gde::kOutAddr},
      {"GDE output high", GDE_FIELD_OUT_ADDR_HI, gde::kOutAddrHigh},
      {"GDE index array", GDE_FIELD_INDEX_ADDR, gde::kIndexAddr},
      {"GDE index array high", GDE_FIELD_INDEX_ADDR_HI, gde::kIndexAddrHigh},
      {"GDE count", GDE_FIELD_COUNT, gde::kCount},
      {"GDE item type", GDE_FIELD_TYPE, gde::kItemType},
  };
  for (const Pair &p : pairs) {
    EXPECT_EQ(p.firmware.id, p.model.pos) << p.name;
    EXPECT_EQ(p.firmware.len, p.model.width) << p.name;
  }
  // The model reads the CDMA address high words' low 4 bits; the firmware
  // writes the whole word at the same place.
  EXPECT_EQ(CDMA_FIELD_SRC_KEY_HI.id, cdma::kSrcKeyHigh.pos);
  EXPECT_EQ(CDMA_FIELD_DST_INDEX_HI.id, cdma::kDstIndexHigh.pos);
}

TEST(EngineCmd, IssuesStampIdsFromTheNode) {
  FirmwareRig rig(unchecked_chip());  // hand-picked ids, to see them in the words
  add_test_kinds(rig.chip());
  cmd_id_node_t gdma_node = {7, 3, 0}, bd_node = {7, 3, 0};
  u32 window = 0;
  ASSERT_TRUE(ran_clean(rig.run([&] {
                    window = 0;
                    const cmd_pack_t packs[] = {{CMD_FIELD(32, 3), kTestGdmaMode}, {CMD_FIELD(128, 32), 0}};
                    window = gen(gdma_gen_cmd(), packs, 2, &gdma_node);
                    issue_bd_add_one(&bd_node, 0x08000000, 0x08000000, 0);
                  })));
  EXPECT_EQ(window, 0x02080010u);
  EXPECT_EQ(gdma_node.bd_cmd_id, 7u);
  EXPECT_EQ(gdma_node.gdma_cmd_id, 4u);
  EXPECT_EQ(bd_node.bd_cmd_id, 8u);
  EXPECT_EQ(bd_node.gdma_cmd_id, 3u);

  const auto &gdma = rig.chip().engines.gdma.commands();
  ASSERT_EQ(gdma.size(), 1u) << "one start per issue";
  const chip::Descriptor &d = gdma[0].descriptor;
  EXPECT_EQ(d.word(0) >> 16, 4u);
  EXPECT_EQ(d.word(1) >> 16, 7u);
  EXPECT_EQ(d.word(0) & 0xffff, 0x415u) << "start, fixed bits 2 and 4, default bit 10";
  EXPECT_EQ(d.word(1) & 0xffff, 0x846u) << "the mode over the default image";
  EXPECT_EQ(d.word(20), 0xffffffffu) << "the lane mask was written before the start";
  EXPECT_EQ(d.word(21), 0xffffffffu);
  EXPECT_EQ(d.word(7), 0u) << "words no pack touches are not written";
  EXPECT_EQ(g_gdma_cmd_cache_default[0] & 1, 0u);

  const auto &bd = rig.chip().engines.bd.commands();
  ASSERT_EQ(bd.size(), 1u);
  EXPECT_EQ(bd[0].own_id, 8u);
  EXPECT_EQ(bd[0].wait_id, 3u);
  EXPECT_EQ(bd[0].descriptor.word(0), 6u | 8u << 3 | 3u << 19 | 1u);

  // The cache keeps the composed descriptor with its start bit cleared.
  u32 cache0 = 0;
  rig.run([&] { cache0 = gdma_gen_cmd()->cache[0]; });
  EXPECT_EQ(cache0, d.word(0) & ~1u);
}

// A GDMA issue stores each word its fields touch once, with its final value,
// and word 0 last with the start bit: the engine sees the same descriptor as
// when every field was stored on its own.
TEST(EngineCmd, IssueStoresEachTouchedWordOnce) {
  FirmwareRig rig(unchecked_chip());
  add_test_kinds(rig.chip());
  std::vector<std::string> writes;
  rig.chip().trace = [&](const std::string &line) {
    if (line.rfind("write GDMA word ", 0) == 0) writes.push_back(line);
  };
  cmd_id_node_t node = {2, 5, 0};
  ASSERT_TRUE(ran_clean(rig.run([&] {
    // Two fields of word 1, two of word 4 (one of them twice), one of word 16.
    const cmd_pack_t packs[] = {{CMD_FIELD(32, 3), kTestGdmaMode}, {CMD_FIELD(40, 3), 2},
                                {CMD_FIELD(128, 8), 0x11},        {CMD_FIELD(136, 8), 0x22},
                                {CMD_FIELD(128, 8), 0x33},        {CMD_FIELD(512, 32), 0xabcdef}};
    gen(gdma_gen_cmd(), packs, 6, &node);
  })));
  rig.chip().trace = nullptr;
  const std::vector<std::string> want = {
      "write GDMA word 1 0x20a46",      "write GDMA word 4 0x2233",       "write GDMA word 16 0xabcdef",
      "write GDMA word 20 0xffffffff", "write GDMA word 21 0xffffffff", "write GDMA word 0 0x60415"};
  EXPECT_EQ(writes, want);
  const auto &gdma = rig.chip().engines.gdma.commands();
  ASSERT_EQ(gdma.size(), 1u);
  EXPECT_EQ(gdma[0].descriptor.word(4), 0x2233u);
  EXPECT_EQ(gdma[0].own_id, 6u);
  EXPECT_EQ(gdma[0].wait_id, 2u);
}

TEST(EngineCmd, SynchronousEnginesStartLast) {
  FirmwareRig rig;
  add_test_kinds(rig.chip());
  rig.chip().l2.store32(0x10002000, 0x5a);
  FwOutcome out = rig.run([] {
    const cmd_pack_t cdma[] = {{CMD_FIELD(0, 1), 0},          {CMD_FIELD(960, 8), kTestCdmaFunction},
                               {CMD_FIELD(1056, 32), 0x10002000}, {CMD_FIELD(1120, 32), 0x10002010},
                               {CMD_FIELD(1280, 32), 1},      {CMD_FIELD(0, 1), 1}};
    gen(cdma_gen_cmd(), cdma, 6, nullptr);
    poll_cdma_pkt_done();  // the copy's result is the gather's input
    const cmd_pack_t gde[] = {{CMD_FIELD(0, 32), 1u << 2}, {CMD_FIELD(96, 32), 0x10002010},
                              {CMD_FIELD(128, 32), 0x10002020}, {CMD_FIELD(160, 32), 1},
                              {CMD_FIELD(316, 4), kTestGdeType}};
    gen(gde_gen_cmd(), gde, 5, nullptr);
  });
  ASSERT_TRUE(ran_clean(out));
  ASSERT_EQ(rig.chip().engines.cdma.commands().size(), 1u);
  EXPECT_EQ(rig.chip().engines.cdma.commands()[0].descriptor.word(2), 0u) << "no pack touches word 2";
  u32 cache2 = 0;
  rig.run([&] { cache2 = cdma_gen_cmd()->cache[2]; });
  EXPECT_EQ(cache2, 0x209u) << "the cache starts from the default image";
  ASSERT_EQ(rig.chip().engines.gde.commands().size(), 1u);
  EXPECT_EQ(rig.chip().engines.gde.commands()[0].descriptor.word(0), 5u);
  EXPECT_EQ(rig.chip().engines.gde.commands()[0].descriptor.word(1), 1u);
  EXPECT_EQ(rig.chip().l2.load32(0x10002020), 0x5au) << "both copies ran, in order";
  EXPECT_EQ(rig.chip().arm_read32(0x58005008), 2u) << "busy until the ARM's time reaches its finish";
  EXPECT_EQ(rig.chip().arm_read32(0x58005008), 1u);
}

TEST(EngineCmd, IdsMustFitTheirFields) {
  // Through gen the 16-bit field refuses the id; the node keeps its increment.
  static cmd_id_node_t node;
  node = {0, 65535, 0};
  FwOutcome out = run_firmware([] {
    const cmd_pack_t packs[] = {{CMD_FIELD(32, 3), kTestGdmaMode}};
    gen(gdma_gen_cmd(), packs, 1, &node);
  });
  EXPECT_TRUE(out.asserted);
  EXPECT_NE(out.uart.find(": write_cmd: "), std::string::npos) << out.uart;
  EXPECT_EQ(node.gdma_cmd_id, 65536u);
  // The direct-write protocol refuses it the same way.
  node = {65535, 0, 0};
  expect_assert([] { issue_bd_add_one(&node, 0x08000000, 0x08000000, 0); }, "ASSERT", "firmware/cmd/", "cmd_direct_begin",
                         "ids[0] <= 0xffff && ids[1] <= 0xffff", "command id 65536 or 0 does not fit 16 bits");
}

TEST(EngineCmd, DivideAndMergeNodes) {
  cmd_id_node_t node = {5, 9, 0}, a = {0, 0, 0x7f}, b = {1, 1, 0x7e};
  FwOutcome out = run_firmware([&] {
    cmd_id_divide(&node, &a, &b);
    u32 ids[2];
    for (int i = 0; i < 2; i++) bd_gen_cmd()->cmd_id_proc(ids, &a);
    for (int i = 0; i < 3; i++) gdma_gen_cmd()->cmd_id_proc(ids, &b);
  });
  ASSERT_TRUE(ran_clean(out));
  EXPECT_EQ(node.divided, 1);
  EXPECT_EQ(a.divided, 0x7f) << "the copies' flags are not touched";
  EXPECT_EQ(b.divided, 0x7e);
  EXPECT_EQ(a.bd_cmd_id, 7u);
  EXPECT_EQ(a.gdma_cmd_id, 9u);
  EXPECT_EQ(b.bd_cmd_id, 5u);
  EXPECT_EQ(b.gdma_cmd_id, 12u);
  cmd_id_merge(&node, &a, &b);
  EXPECT_EQ(node.bd_cmd_id, 7u);
  EXPECT_EQ(node.gdma_cmd_id, 12u);
  EXPECT_EQ(node.divided, 0);
  // The destination may be one of the copies.
  cmd_id_merge(&b, &a, &b);
  EXPECT_EQ(b.bd_cmd_id, 7u);
  EXPECT_EQ(b.gdma_cmd_id, 12u);
  EXPECT_EQ(b.divided, 0);
}

// Load, add one, store, on the ids the framework stamps. Issuing the addition
// on a copy of the node taken before the load drops its dependency on it.
struct PipelineRun {
  std::vector<u32> out;
  std::vector<std::string> findings;
  bool ran;
};

PipelineRun firmware_pipeline(Schedule schedule, u64 seed, bool drop_dependency) {
  FirmwareRig rig(Sched{schedule, seed});
  add_test_kinds(rig.chip());
  for (u32 i = 0; i < 4; i++) rig.chip().ddr.store32(0x100001000ull + 4 * i, 10 * i);
  PipelineRun r;
  r.ran = ran_clean(rig.run([&] {
    cmd_id_node_t node, before_load;
    resync_cmd_id(&node);
    node.divided = 0;
    before_load = node;
    issue_gdma_copy(&node, 0x100001000ull, 0x08000000, 4);
    issue_bd_add_one(drop_dependency ? &before_load : &node, 0x08000040, 0x08000000, 4);
    if (drop_dependency) node.bd_cmd_id = before_load.bd_cmd_id;
    issue_gdma_copy(&node, 0x08000040, 0x100002000ull, 4);
    poll_all_engine_done(&node);
  }), drop_dependency ? Races::Expected : Races::None);
  for (u32 i = 0; i < 4; i++) r.out.push_back(rig.chip().ddr.load32(0x100002000ull + 4 * i));
  r.findings = rig.chip().engines.findings();
  return r;
}

TEST(EngineCmd, StampedIdsOrderAPipelineUnderEverySeed) {
  const std::vector<u32> expected = {1, 11, 21, 31};
  int changed = 0;
  for (u64 seed = 0; seed < 32; seed++) {
    SCOPED_TRACE(seed);
    PipelineRun good = firmware_pipeline(Schedule::Deferred, seed, false);
    ASSERT_TRUE(good.ran);
    EXPECT_TRUE(good.findings.empty()) << good.findings.front();
    EXPECT_EQ(good.out, expected);
    PipelineRun bad = firmware_pipeline(Schedule::Deferred, seed, true);
    ASSERT_TRUE(bad.ran);
    ASSERT_FALSE(bad.findings.empty());
    EXPECT_NE(bad.findings.front().find("tensor engine command #2"), std::string::npos) << bad.findings.front();
    changed += bad.out != expected;
  }
  EXPECT_GT(changed, 0);
}

}  // namespace
}  // namespace zv::test
