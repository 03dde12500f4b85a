// Running firmware code directly in a test, on a fresh chip model.
#pragma once

#include <functional>
#include <memory>
#include <string>

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

// Console text with CR LF turned into LF.
std::string console_text(const std::string &uart);

}  // namespace zv::test
