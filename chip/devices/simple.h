// The chip's small devices: console UART, fuse controller, board straps, the
// tensor engine's set-up registers and (until the engines are modelled) the
// engine command windows as plain storage.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "chip/device.h"

namespace zv::chip {

// 16550-style UART (0x50118000): bytes written to the transmit register (+0x00)
// are captured; the line status (+0x14) always shows an empty transmitter.
class Uart : public Device {
 public:
  static constexpr u32 kBase = 0x50118000;
  static constexpr u32 kSize = 0x1000;
  const char *name() const override { return "uart"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;
  const std::string &text() const { return text_; }

 private:
  std::string text_;
};

// Fuse controller (0x50028000): +0x00 control/status (0x80 when idle; writing
// bits 1:0 = 2 starts a read, busy for one status read), +0x04 word address,
// +0x0c read data.
class Fuse : public Device {
 public:
  static constexpr u32 kBase = 0x50028000;
  static constexpr u32 kSize = 0x1000;
  static constexpr u32 kWords = 128;
  const char *name() const override { return "fuse"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;
  void burn(u32 word, u32 value) { words_.at(word) = value; }
  u32 reads_started() const { return reads_; }

 private:
  std::vector<u32> words_ = std::vector<u32>(kWords, 0);
  u32 ctrl_ = 0, addr_ = 0, data_ = 0, reads_ = 0;
  bool busy_ = false;
};

// Board strap word (0x50027050): bits 11:9 select the I2C slave address.
class Straps : public Device {
 public:
  static constexpr u32 kBase = 0x50027000;
  static constexpr u32 kSize = 0x1000;
  explicit Straps(u32 i2c_strap) : word_((i2c_strap & 7u) << 9) {}
  const char *name() const override { return "board straps"; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;

 private:
  u32 word_;
};

// Registers of a block that the model keeps as plain storage: only the listed
// offsets exist, each with its reset value.
class RegisterFile : public Device {
 public:
  RegisterFile(const char *name, u32 base, std::map<u32, u32> reset_values)
      : name_(name), base_(base), regs_(std::move(reset_values)) {}
  const char *name() const override { return name_; }
  u32 read32(u32 addr) override;
  void write32(u32 addr, u32 value) override;
  u32 peek(u32 offset) const { return regs_.at(offset); }

 private:
  const char *name_;
  u32 base_;
  std::map<u32, u32> regs_;
};

// A window of plain words (every aligned word exists), for command windows that
// are not yet decoded by an engine model.
class WordWindow : public Device {
 public:
  WordWindow(const char *name, u32 base, u32 size) : name_(name), base_(base), words_(size / 4, 0) {}
  const char *name() const override { return name_; }
  u32 read32(u32 addr) override { return words_.at((addr - base_) / 4); }
  void write32(u32 addr, u32 value) override { words_.at((addr - base_) / 4) = value; }
  u32 peek(u32 addr) const { return words_.at((addr - base_) / 4); }

 private:
  const char *name_;
  u32 base_;
  std::vector<u32> words_;
};

}  // namespace zv::chip
