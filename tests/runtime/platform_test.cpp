// Platform start on a booted card: disabled-lane fuses and the lane map, the
// PCIe window for host interrupts, and the I2C slave's status buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "card.h"
#include "runtime/regs.h"
#include "fw_test.h"

namespace zv::test {
namespace {

using host::Card;
using host::CardOptions;

// The 68 bytes the tensor engine should hold for a set of disabled lanes.
std::vector<uint8_t> expected_lane_map(const std::set<int> &disabled) {
  std::vector<uint8_t> flat(64), out(68, 0);
  for (int j = 0; j < 64; j++) flat[j] = disabled.count(j) ? 64 : static_cast<uint8_t>(j);
  for (int r = 0; r < 8; r++)
    for (int c = 0; c < 8; c++) out[8 * r + c] = flat[8 * c + r];
  int k = 0;
  for (int lane : disabled) out[64 + k++] = static_cast<uint8_t>(lane);
  for (; k < 3; k++) out[64 + k] = 64;
  return out;
}

std::vector<uint8_t> lane_map_of(Card &card) {
  std::vector<uint8_t> out(68);
  for (uint32_t i = 0; i < NPU_MAP_WORDS; i++) {
    uint32_t w = card.chip().engines.bd.lane_map_word(i);
    std::memcpy(out.data() + 4 * i, &w, 4);
  }
  return out;
}

class Platform : public ::testing::TestWithParam<Backend> {};
INSTANTIATE_TEST_SUITE_P(Backends, Platform, ::testing::Values(Backend::Native, Backend::Emulated),
                         [](const auto &info) { return std::string(backend_name(info.param)); });

TEST_P(Platform, LaneMapFromDisabledLaneFuses) {
  auto field = [](int k, uint32_t v) { return v << (9 * k); };
  struct Case {
    const char *what;
    uint32_t fuse80, fuse81;
    std::set<int> disabled;
  };
  const Case cases[] = {
      {"no lane disabled (empty fields disable nothing)", 0, 0, {}},
      {"field 2 = 5 disables lane 4", field(1, 5), 0, {4}},
      {"three lanes from both words", field(0, 1) | field(1, 64), field(2, 33), {0, 32, 63}},
      {"field 0x1ff names no lane", field(0, 0x1ff), 0, {}},
      {"lanes 5, 5 and 70", field(0, 6) | field(1, 6), field(2, 71), {5}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CardOptions options = card_options(GetParam());
    options.chip.fuse80 = c.fuse80;
    options.chip.fuse81 = c.fuse81;
    Card card(options);
    ASSERT_EQ(card.state(), Card::State::Running) << card.trouble();
    EXPECT_EQ(lane_map_of(card), expected_lane_map(c.disabled));
    char line[64];
    std::snprintf(line, sizeof line, "v1 = %u,v2 = %u\n", c.fuse80, c.fuse81);
    EXPECT_NE(card.console().find(line), std::string::npos);
  }
}

TEST_P(Platform, HostInterruptWindowByChipId) {
  struct Case {
    uint32_t chip_id;
    const char *lines;
    uint32_t region;
  };
  const Case cases[] = {
      {0, "chip id is 0x0, function_num = 0x0\nremote_msi_iatu_base_addr = 0x5fb00000\n", 0x5fb00000},
      {3, "chip id is 0x3, function_num = 0x2\nremote_msi_iatu_base_addr = 0x5fbf1400\n", 0x5fbf1400},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.chip_id);
    CardOptions options = card_options(GetParam());
    options.chip.chip_id = c.chip_id;
    options.chip.msi_address = 0x0000000712345678ull;
    Card card(options);
    EXPECT_NE(card.console().find(c.lines), std::string::npos);
    auto &pcie = card.chip().pcie;
    EXPECT_EQ(pcie.region_base(), c.region);
    uint32_t fn = c.chip_id > 0 ? c.chip_id - 1 : 0;
    EXPECT_EQ((pcie.region_word(0x00) >> 20) & 7u, fn);
    EXPECT_EQ(pcie.region_word(0x08), 0x12345000u);
    EXPECT_EQ(pcie.region_word(0x10), 0x12345fffu);
    EXPECT_EQ(pcie.region_word(0x14), 0x12345000u);
    EXPECT_EQ(pcie.region_word(0x18), 7u);
    EXPECT_EQ(pcie.region_word(0x0c), 7u | 0x310u | (fn << 5));

    // The done interrupt leaves as the programmed MSI (window offset 0x678).
    auto a = card.send(999, {});
    ASSERT_TRUE(a);
    ASSERT_EQ(pcie.msis().size(), 1u);
    EXPECT_EQ(pcie.msis()[0].host_address, 0x712345678ull);
    EXPECT_EQ(pcie.msis()[0].data, options.chip.msi_data);
    // The IRQ handler left only the done interrupt's line open.
    EXPECT_EQ(card.chip().intc.mask0(), 0xffffffffu);
    EXPECT_EQ(card.chip().intc.mask1(), 0xfff7ffffu);
    EXPECT_EQ(card.chip().intc.block2_mask0(), 0xffffffffu);
    EXPECT_EQ(card.chip().intc.block2_mask1(), 0xffffffffu);
    // Further messages still interrupt the host.
    ASSERT_TRUE(card.send(999, {}));
    EXPECT_EQ(card.interrupts(), 2u);
  }
}

class I2c : public ::testing::TestWithParam<Backend> {
 protected:
  void boot(uint32_t strap) {
    CardOptions options = card_options(GetParam());
    options.chip.i2c_strap = strap;
    card.reset();  // one card (one firmware image) at a time
    card = std::make_unique<Card>(options);
    std::vector<uint8_t> buf(128);
    for (int i = 0; i < 128; i++) buf[i] = static_cast<uint8_t>(0x80 + i);
    card->write(I2C_SLAVE_BUF, buf.data(), buf.size());
  }
  std::unique_ptr<Card> card;
};
INSTANTIATE_TEST_SUITE_P(Backends, I2c, ::testing::Values(Backend::Native, Backend::Emulated),
                         [](const auto &info) { return std::string(backend_name(info.param)); });

TEST_P(I2c, MasterReadsTheStatusBuffer) {
  boot(0);
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(card->i2c_read(0x62, 0x7f, 3), (Bytes{0xff, 0x80, 0x81}));
  // Without a new address write, a read starts at 0.
  EXPECT_EQ(card->i2c_read(0x62, std::nullopt, 2), (Bytes{0x80, 0x81}));
  EXPECT_EQ(card->i2c_read(0x62, 0x10, 1), (Bytes{0x90}));
  // Register addresses 0x80 and up wrap inside the 128-byte buffer.
  EXPECT_EQ(card->i2c_read(0x62, 0x85, 2), (Bytes{0x85, 0x86}));
  EXPECT_EQ(card->state(), Card::State::Running) << card->trouble();
}

TEST_P(I2c, SlaveAddressFromStraps) {
  struct Case {
    uint32_t strap;
    int address;  // -1: no slave
  };
  for (Case c : {Case{0, 0x62}, Case{1, 0x61}, Case{6, 0x60}, Case{3, -1}}) {
    SCOPED_TRACE(c.strap);
    boot(c.strap);
    for (int a : {0x60, 0x61, 0x62}) {
      auto got = card->i2c_read(static_cast<uint8_t>(a), 0, 1);
      EXPECT_EQ(got.has_value(), a == c.address) << std::hex << a;
    }
    EXPECT_EQ(card->state(), Card::State::Running);
  }
}

}  // namespace
}  // namespace zv::test
