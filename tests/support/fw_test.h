// Running firmware code directly in a test, on a fresh chip model.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "card.h"
#include "core.h"

namespace zv::test {

struct FwOutcome {
  bool asserted = false;       // an assertion jumped back to the recovery point
  host::Core::End end = host::Core::End::Returned;
  std::string uart;            // console text (CR LF shown as LF)
  std::string fault;           // model fault or hang text, if any
};

// A chip model with a firmware core attached; firmware globals start fresh.
class FirmwareRig {
 public:
  explicit FirmwareRig(const chip::ChipConfig &config = {});
  ~FirmwareRig();
  chip::Chip &chip() { return *chip_; }
  host::Core &core() { return *core_; }
  // Runs `fn` as firmware code with a recovery point set, as the dispatcher
  // does for a handler. The console text returned is what `fn` printed.
  FwOutcome run(const std::function<void()> &fn);

 private:
  std::unique_ptr<chip::Chip> chip_;
  std::unique_ptr<host::Core> core_;
};

// One-shot form of FirmwareRig::run on a default chip.
FwOutcome run_firmware(const std::function<void()> &fn);

// Which firmware a card test runs: the host build's, or the delivered ARM
// image in the emulator.
enum class Backend { Native, Emulated };
const char *backend_name(Backend b);
// Card options for a backend (the emulated one loads the ARM image built
// beside the host build).
host::CardOptions card_options(Backend b);

// A card for API tests: the deferred schedule with `seed` and the
// happens-before checker on; the test fails if it does not boot.
std::unique_ptr<host::Card> deferred_card(Backend backend, uint64_t seed);

// The cards an API test runs on: three deferred seeds natively, one on the
// ARM image.
struct CardConfig {
  Backend backend;
  uint64_t seed;
};
extern const CardConfig kApiCards[4];
std::string card_config_name(const CardConfig &c);

// A packed record as the words of a message's payload.
template <class T>
std::vector<uint32_t> payload_of(const T &record) {
  static_assert(sizeof(T) % 4 == 0, "records are whole words");
  std::vector<uint32_t> words(sizeof(T) / 4);
  std::memcpy(words.data(), &record, sizeof(T));
  return words;
}

// Console text with CR LF turned into LF.
std::string console_text(const std::string &uart);

}  // namespace zv::test
