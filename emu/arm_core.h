// The delivered firmware image running in an ARM926EJ-S instruction-set
// emulator, with the chip model behind the core's memory map: the memories are
// mapped straight onto the model's, and every register or engine-window access
// goes to the model as the native build's accesses do.
//
// The emulator delivers the model's IRQ and FIQ into the image (mode switch,
// banked registers, vector entry), performs the tightly-coupled-memory region
// writes of CP15 that the emulated core lacks, and hands a CPU exception to the
// image's own vectors while reporting where it happened. It returns control to
// the host when the image spins on registers, halts in an endless loop, or has
// run a slice of instructions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "chip/cpu.h"
#include "elf_image.h"

struct uc_struct;

namespace zv::emu {

class ArmCore : public chip::Cpu {
 public:
  // Loads the image into the chip's memories; the core starts at reset.
  ArmCore(chip::Chip &chip, const std::string &elf_path);
  ~ArmCore() override;
  ArmCore(const ArmCore &) = delete;
  ArmCore &operator=(const ArmCore &) = delete;

  bool resume() override;
  End end() const override { return end_; }
  const std::string &fault_text() const override { return fault_; }
  uint64_t instructions() const override { return instructions_; }

  const ElfImage &image() const { return image_; }
  // Replaces code words at `address` (translated code is dropped).
  void patch(uint32_t address, const std::vector<uint32_t> &words);
  // CPU exceptions the image took, as "<kind> at 0x<address>".
  const std::vector<std::string> &exceptions() const { return exceptions_; }
  // Where the core stands (for reports).
  uint32_t pc();
  // Processor set-up the reset routine made.
  uint32_t fpexc();
  uint32_t fpscr();
  uint32_t tcm_region(int which) const { return tcm_region_[which]; }

 private:
  friend struct Hooks;
  enum class Vector : uint32_t { Undefined = 0x04, Swi = 0x08, PrefetchAbort = 0x0c, DataAbort = 0x10, Irq = 0x18, Fiq = 0x1c };

  void map_memory();
  bool access_ok(uint32_t addr, unsigned size);
  void model_failed(const std::string &why);
  bool emulate_coprocessor(uint32_t pc);
  bool alignment_checking();
  void stop(End how, std::string why);
  bool interrupt_pending();
  void take_exception(Vector v, uint32_t return_address);
  bool deliver_interrupts();
  bool halted_in_loop();
  uint32_t reg(int r);
  void set_reg(int r, uint32_t v);

  chip::Chip &chip_;
  ElfImage image_;
  uc_struct *uc_ = nullptr;
  End end_ = End::Returned;
  bool finished_ = false;
  std::string fault_;
  std::vector<std::string> exceptions_;

  uint64_t instructions_ = 0;
  uint64_t slice_end_ = 0;
  uint64_t last_pc_ = ~uint64_t{0};
  uint32_t spin_reads_ = 0;   // register reads since the last register write
  bool yield_ = false;           // return to the host before the next instruction
  bool stop_requested_ = false;  // an interrupt became pending: stop before the next instruction
  bool model_fault_ = false;
  int pending_exception_ = -1;
  int64_t misaligned_at_ = -1;  // instruction that made a misaligned access  // CPU exception raised by the emulator (its number)
  uint32_t tcm_region_[2] = {0, 0};
};

}  // namespace zv::emu
