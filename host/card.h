// The card's host driver: boots a fresh firmware on a fresh chip model and talks
// to it as the host computer does, through device memory, the API message ring,
// the ring pointer registers and the done interrupt (an MSI).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "arm_core.h"
#include "core.h"

namespace zv::host {

struct CardOptions {
  chip::ChipConfig chip;
  // Run this ARM image of the firmware in the emulator instead of the firmware
  // compiled into the host build.
  std::string elf;
  // When set, from the first instruction on: every register write by name and
  // every command issued with its decoded fields, and the engines' id
  // restarts. Nothing in it depends on the schedule.
  std::function<void(const std::string &)> trace;
  // Called on the fresh chip before the firmware starts (to show what the
  // firmware's start clears, for example).
  std::function<void(chip::Chip &)> before_boot;
};

// Modelled figures of one message, from the host's post (or the answer to the
// message before it) to the firmware's answer.
struct Timing {
  uint64_t elapsed_ps = 0;
  uint64_t te_busy_ps = 0, gdma_busy_ps = 0, cdma_busy_ps = 0, gde_busy_ps = 0;
  uint64_t te_ideal_ps = 0;  // the tensor engine's products at its peak rate

  double elapsed_us() const { return static_cast<double>(elapsed_ps) / 1e6; }
  // Fractions of the elapsed time (0 for an empty interval).
  double fraction(uint64_t ps) const {
    return elapsed_ps ? static_cast<double>(ps) / static_cast<double>(elapsed_ps) : 0.0;
  }
  double te_busy() const { return fraction(te_busy_ps); }
  double gdma_busy() const { return fraction(gdma_busy_ps); }
  double te_ideal() const { return fraction(te_ideal_ps); }
};

// The firmware's answer in a message's header.
struct Answer {
  uint32_t result = 0;
  uint32_t elapsed_us = 0;
  bool interrupt = false;  // the done interrupt reached the host
  Timing timing;
};

class Card {
 public:
  enum class State { Running, Stopped, Halted, Faulted, Hung };

  explicit Card(const CardOptions &options = {});
  ~Card();
  Card(const Card &) = delete;
  Card &operator=(const Card &) = delete;

  chip::Chip &chip() { return *chip_; }
  // The emulated core when the card runs an ARM image, else null.
  emu::ArmCore *emulator() { return emulator_; }
  // ARM instructions the firmware has executed (counted by the emulator only).
  uint64_t instructions() const { return cpu_->instructions(); }
  State state() const { return state_; }
  // Why the card stopped serving (fault text, hang description), or empty.
  const std::string &trouble() const { return trouble_; }

  // ---- Memory: device addresses (0x1_0000_0000 and up) or ARM addresses of
  // DTCM, L2 SRAM, local memory or the device-memory window ----
  void write(uint64_t addr, const void *data, size_t len);
  void read(uint64_t addr, void *data, size_t len);
  std::vector<uint8_t> read(uint64_t addr, size_t len);
  void write32(uint64_t addr, uint32_t value) { write(addr, &value, 4); }
  uint32_t read32(uint64_t addr);

  // ---- Messages ----
  // Writes one message at the host's write index and advances the write pointer
  // register. `param_len` overrides the header's length word (payload words
  // beyond the given ones are 0). A message whose 7 + length words are a
  // multiple of the ring's 2048 cannot be placed: the write index would not
  // move, so the card would never see it. It is refused (false, trouble()
  // says why) and nothing is written.
  bool post(uint32_t api_id, const std::vector<uint32_t> &payload, uint64_t tag = 1,
            std::optional<uint32_t> param_len = std::nullopt);
  // Runs the card until every posted message is answered; returns the answers
  // in order (fewer when the card stopped serving).
  std::vector<Answer> wait_answers();
  // post + wait for one message.
  std::optional<Answer> send(uint32_t api_id, const std::vector<uint32_t> &payload = {},
                             uint64_t tag = 1, std::optional<uint32_t> param_len = std::nullopt);
  // Sends the quit message and runs until the firmware has left its loop.
  std::optional<Answer> quit(uint32_t param_len = 0);
  uint32_t write_index() const { return wptr_; }
  // Moves the host's (empty) ring to start at `index`.
  void set_ring_index(uint32_t index);

  // ---- Interrupts, halt, I2C ----
  size_t interrupts() const { return interrupts_; }
  // While held, the host counts done interrupts but does not take them: the
  // status bit stays set, as with a host that has not yet serviced the last
  // one. Releasing takes it.
  void hold_done_interrupt(bool hold);
  void request_halt();
  // Runs the card until `done` holds; false when it stopped or hung first.
  bool run_until(const std::function<bool()> &done, const char *waiting_for);
  // An I2C master read of `count` bytes from slave `slave`, optionally after
  // writing the register address `reg` (nullopt: a read without address write).
  std::optional<std::vector<uint8_t>> i2c_read(uint8_t slave, std::optional<uint8_t> reg,
                                               uint32_t count);

  // ---- Console and log ----
  // Console text with the UART's CR LF turned back into LF.
  std::string console() const;
  std::string log_slot(uint32_t slot);
  uint32_t log_offset() const;

 private:
  struct Pending {
    uint32_t index;  // ring index of the header
    uint32_t next;   // ring index after the message, as the firmware will advance
    bool quit;
    chip::TimeTotals posted;  // modelled time when the host posted it
    size_t answer;            // its entry in the chip's answer times
  };
  void take_interrupts();
  // Modelled figures of pending message i, once answered.
  Timing timing_of(size_t i) const;

  std::unique_ptr<chip::Chip> chip_;
  std::unique_ptr<chip::Cpu> cpu_;
  emu::ArmCore *emulator_ = nullptr;
  State state_ = State::Running;
  std::string trouble_;
  uint32_t wptr_ = 0;
  std::vector<Pending> pending_;
  size_t msis_seen_ = 0;
  size_t interrupts_ = 0;
  bool hold_done_ = false;
};

}  // namespace zv::host
