#include "fw_test.h"

#include <setjmp.h>

#include <gtest/gtest.h>

#include "runtime/assert.h"

namespace zv::test {

std::string console_text(const std::string &raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    out.push_back(raw[i]);
  }
  return out;
}

FirmwareRig::FirmwareRig(const chip::ChipConfig &config)
    : chip_(std::make_unique<chip::Chip>(config)), core_(std::make_unique<host::Core>(*chip_)) {}

FirmwareRig::~FirmwareRig() = default;

FwOutcome FirmwareRig::run(const std::function<void()> &fn) {
  FwOutcome out;
  size_t printed_before = chip_->uart.text().size();
  bool asserted = false;
  out.end = core_->call([&] {
    error_stat_armed = 1;
    if (setjmp(error_stat) == 0)
      fn();
    else
      asserted = true;
    error_stat_armed = 0;
  });
  out.asserted = asserted;
  out.uart = console_text(chip_->uart.text().substr(printed_before));
  out.fault = core_->fault_text();
  return out;
}

const char *backend_name(Backend b) { return b == Backend::Native ? "Native" : "Emulated"; }

host::CardOptions card_options(Backend b) {
  host::CardOptions options;
  if (b == Backend::Emulated) options.elf = ZV_ARM_ELF;
  return options;
}

std::unique_ptr<host::Card> deferred_card(Backend backend, uint64_t seed) {
  host::CardOptions options = card_options(backend);
  options.chip.engines = {chip::Schedule::Deferred, seed, true};
  auto card = std::make_unique<host::Card>(options);
  EXPECT_EQ(card->state(), host::Card::State::Running) << card->trouble();
  return card;
}

const CardConfig kApiCards[4] = {
    {Backend::Native, 1}, {Backend::Native, 2}, {Backend::Native, 3}, {Backend::Emulated, 4}};

std::string card_config_name(const CardConfig &c) {
  return std::string(backend_name(c.backend)) + " seed " + std::to_string(c.seed);
}

FwOutcome run_firmware(const std::function<void()> &fn) {
  FirmwareRig rig;
  return rig.run(fn);
}

}  // namespace zv::test
