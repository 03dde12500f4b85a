#include "arm_core.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zv::emu {

namespace {
constexpr uint64_t kSlice = 4'000'000;     // instructions per resume at most
constexpr uint32_t kSpinReads = 64;        // register reads with no write between: a spin
constexpr uint32_t kBranchToSelf = 0xeafffffe;
constexpr uint32_t kModeMask = 0x1f, kThumb = 0x20, kF = 0x40, kI = 0x80;
constexpr uint32_t kRegisterSpace = 0x50000000, kRegisterSpaceSize = 0x10000000;
constexpr uint32_t kEngineWindows = 0x02080000, kEngineWindowsSize = 0x2000;
// Exception numbers of the emulator's ARM core.
enum { kExcpUdef = 1, kExcpSwi = 2, kExcpPrefetchAbort = 3, kExcpDataAbort = 4 };

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

void check(uc_err err, const char *what) {
  if (err != UC_ERR_OK) throw std::runtime_error(std::string("emulator: ") + what + ": " + uc_strerror(err));
}
}  // namespace

// Callbacks of the emulator, with access to the core's state.
struct Hooks {
  static uint64_t read(uc_engine *, uint64_t offset, unsigned size, void *user, uint32_t base) {
    auto *core = static_cast<ArmCore *>(user);
    uint32_t addr = base + static_cast<uint32_t>(offset);
    uint32_t value = 0;
    if (!core->access_ok(addr, size)) return 0;
    try {
      value = core->chip_.arm_read32(addr);
    } catch (const chip::Fault &f) {
      core->model_failed(f.what());
      return 0;
    }
    if (++core->spin_reads_ >= kSpinReads) core->yield_ = true;
    if (core->interrupt_pending()) core->stop_requested_ = true;
    return value;
  }
  static void write(uc_engine *, uint64_t offset, unsigned size, uint64_t value, void *user, uint32_t base) {
    auto *core = static_cast<ArmCore *>(user);
    uint32_t addr = base + static_cast<uint32_t>(offset);
    if (!core->access_ok(addr, size)) return;
    core->spin_reads_ = 0;
    try {
      core->chip_.arm_write32(addr, static_cast<uint32_t>(value));
    } catch (const chip::Fault &f) {
      core->model_failed(f.what());
      return;
    }
    if (core->interrupt_pending()) core->stop_requested_ = true;
  }
  static uint64_t read_regs(uc_engine *uc, uint64_t off, unsigned size, void *user) {
    return read(uc, off, size, user, kRegisterSpace);
  }
  static void write_regs(uc_engine *uc, uint64_t off, unsigned size, uint64_t v, void *user) {
    write(uc, off, size, v, user, kRegisterSpace);
  }
  static uint64_t read_windows(uc_engine *uc, uint64_t off, unsigned size, void *user) {
    return read(uc, off, size, user, kEngineWindows);
  }
  static void write_windows(uc_engine *uc, uint64_t off, unsigned size, uint64_t v, void *user) {
    write(uc, off, size, v, user, kEngineWindows);
  }
  // Runs before each instruction. The emulator stops cleanly only here, before
  // an instruction: a stop from inside a register access would leave the core
  // pointing at the instruction that made it, which would run again.
  static void code(uc_engine *uc, uint64_t address, uint32_t, void *user) {
    auto *core = static_cast<ArmCore *>(user);
    // A branch to itself waits for an interrupt (or for ever): give the host its turn.
    bool self_loop = address == core->last_pc_;
    core->last_pc_ = address;
    if (self_loop || core->instructions_ >= core->slice_end_) core->yield_ = true;
    if (core->yield_ || core->stop_requested_ || core->model_fault_) {
      core->last_pc_ = ~uint64_t{0};
      uc_emu_stop(uc);
      return;
    }
    core->instructions_++;
  }
  // The emulated core does not check alignment; the chip's core does (the reset
  // routine turns checking on), so a misaligned access is a data abort here too.
  static void memory(uc_engine *, uc_mem_type, uint64_t address, int size, int64_t, void *user) {
    auto *core = static_cast<ArmCore *>(user);
    uint64_t align = size >= 4 ? 4 : static_cast<uint64_t>(size);
    if (align <= 1 || address % align == 0 || core->misaligned_at_ >= 0) return;
    if (!core->alignment_checking()) return;
    core->misaligned_at_ = static_cast<int64_t>(core->last_pc_);
    core->stop_requested_ = true;
  }
  static void interrupt(uc_engine *uc, uint32_t number, void *user) {
    auto *core = static_cast<ArmCore *>(user);
    core->pending_exception_ = static_cast<int>(number);
    uc_emu_stop(uc);
  }
};

ArmCore::ArmCore(chip::Chip &chip, const std::string &elf_path)
    : chip_(chip), image_(ElfImage::load(elf_path)) {
  check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_), "open");
  check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_926), "select the ARM926 core");
  map_memory();

  for (const ElfSegment &s : image_.segments) {
    uint32_t n = static_cast<uint32_t>(s.bytes.size());
    std::memcpy(chip_.arm_ptr(s.load_address, n), s.bytes.data(), n);
  }

  uc_hook h;
  check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(&Hooks::code), this, 1, 0), "code hook");
  check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(&Hooks::memory), this,
                    1, 0),
        "memory hook");
  check(uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void *>(&Hooks::interrupt), this, 1, 0),
        "exception hook");
  set_reg(UC_ARM_REG_PC, image_.entry);
}

ArmCore::~ArmCore() {
  if (uc_) uc_close(uc_);
}

void ArmCore::map_memory() {
  auto map = [this](chip::Memory &m, uint64_t addr, uint32_t arm_base, uint32_t size) {
    check(uc_mem_map_ptr(uc_, arm_base, size, UC_PROT_ALL, m.ptr(addr, size)), m.name().c_str());
  };
  map(chip_.itcm, 0, 0, static_cast<uint32_t>(chip_.itcm.size()));
  map(chip_.dtcm, chip_.dtcm.base(), chip_.dtcm.base(), static_cast<uint32_t>(chip_.dtcm.size()));
  map(chip_.local, chip_.local.base(), chip_.local.base(), static_cast<uint32_t>(chip_.local.size()));
  map(chip_.l2, chip_.l2.base(), chip_.l2.base(), static_cast<uint32_t>(chip_.l2.size()));
  map(chip_.ddr, chip::Chip::kDeviceMemBase, chip::Chip::kDdrWindow, 0x80000000u);
  check(uc_mmio_map(uc_, kEngineWindows, kEngineWindowsSize, &Hooks::read_windows, this, &Hooks::write_windows,
                    this),
        "engine windows");
  check(uc_mmio_map(uc_, kRegisterSpace, kRegisterSpaceSize, &Hooks::read_regs, this, &Hooks::write_regs, this),
        "registers");
}

uint32_t ArmCore::reg(int r) {
  uint32_t v = 0;
  uc_reg_read(uc_, r, &v);
  return v;
}

uint32_t ArmCore::pc() { return reg(UC_ARM_REG_PC); }
bool ArmCore::alignment_checking() {
  uc_arm_cp_reg sctlr = {15, 0, 0, 1, 0, 0, 0, 0};
  if (uc_reg_read(uc_, UC_ARM_REG_CP_REG, &sctlr) != UC_ERR_OK) return true;
  return (sctlr.val & 2u) != 0;
}

uint32_t ArmCore::fpexc() { return reg(UC_ARM_REG_FPEXC); }
uint32_t ArmCore::fpscr() { return reg(UC_ARM_REG_FPSCR); }

void ArmCore::set_reg(int r, uint32_t v) { uc_reg_write(uc_, r, &v); }

bool ArmCore::access_ok(uint32_t addr, unsigned size) {
  if (size == 4 && addr % 4 == 0) return true;
  model_failed("register access of " + std::to_string(size) + " bytes at " + hex32(addr) +
               " (registers take aligned words)");
  return false;
}

void ArmCore::model_failed(const std::string &why) {
  model_fault_ = true;
  fault_ = why;
}

bool ArmCore::interrupt_pending() {
  uint32_t cpsr = reg(UC_ARM_REG_CPSR);
  return (chip_.fiq_line() && !(cpsr & kF)) || (chip_.irq_line() && !(cpsr & kI));
}

void ArmCore::take_exception(Vector v, uint32_t return_address) {
  uint32_t mode;
  switch (v) {
    case Vector::Undefined: mode = 0x1b; break;
    case Vector::Swi: mode = 0x13; break;
    case Vector::PrefetchAbort:
    case Vector::DataAbort: mode = 0x17; break;
    case Vector::Irq: mode = 0x12; break;
    case Vector::Fiq: mode = 0x11; break;
    default: mode = 0x13; break;
  }
  uint32_t old = reg(UC_ARM_REG_CPSR);
  uint32_t cpsr = (old & ~(kModeMask | kThumb)) | mode | kI | (v == Vector::Fiq ? kF : 0);
  set_reg(UC_ARM_REG_CPSR, cpsr);  // switches to the mode's banked registers
  set_reg(UC_ARM_REG_SPSR, old);
  set_reg(UC_ARM_REG_LR, return_address);
  set_reg(UC_ARM_REG_PC, static_cast<uint32_t>(v));
  last_pc_ = ~uint64_t{0};
}

bool ArmCore::deliver_interrupts() {
  uint32_t cpsr = reg(UC_ARM_REG_CPSR);
  uint32_t pc = reg(UC_ARM_REG_PC);
  if (chip_.fiq_line() && !(cpsr & kF)) {
    take_exception(Vector::Fiq, pc + 4);
    return true;
  }
  if (chip_.irq_line() && !(cpsr & kI)) {
    chip_.irq_taken();
    take_exception(Vector::Irq, pc + 4);
    return true;
  }
  return false;
}

bool ArmCore::emulate_coprocessor(uint32_t pc) {
  uint32_t insn = 0;
  if (uc_mem_read(uc_, pc, &insn, 4) != UC_ERR_OK) return false;
  // MCR/MRC p15, 0, Rd, c9, c1, {0,1}: the data and instruction TCM region
  // registers, which the emulated core lacks.
  bool coproc_move = (insn & 0x0f000f10u) == 0x0e000f10u && ((insn >> 28) == 0xe);
  uint32_t crn = (insn >> 16) & 0xf, crm = insn & 0xf, opc1 = (insn >> 21) & 7, opc2 = (insn >> 5) & 7;
  if (!coproc_move || crn != 9 || crm != 1 || opc1 != 0 || opc2 > 1) return false;
  int rd = static_cast<int>((insn >> 12) & 0xf);
  if (rd == 15) return false;
  bool to_coprocessor = (insn & (1u << 20)) == 0;
  if (to_coprocessor)
    tcm_region_[opc2] = reg(UC_ARM_REG_R0 + rd);
  else
    set_reg(UC_ARM_REG_R0 + rd, tcm_region_[opc2]);
  set_reg(UC_ARM_REG_PC, pc + 4);
  return true;
}

bool ArmCore::halted_in_loop() {
  uint32_t pc = reg(UC_ARM_REG_PC), insn = 0;
  if (uc_mem_read(uc_, pc, &insn, 4) != UC_ERR_OK) return false;
  return insn == kBranchToSelf && (reg(UC_ARM_REG_CPSR) & (kI | kF)) == (kI | kF);
}

void ArmCore::stop(End how, std::string why) {
  finished_ = true;
  end_ = how;
  if (!why.empty()) fault_ = std::move(why);
}

void ArmCore::patch(uint32_t address, const std::vector<uint32_t> &words) {
  uint32_t n = static_cast<uint32_t>(words.size() * 4);
  std::memcpy(chip_.arm_ptr(address, n), words.data(), n);
  uc_ctl_remove_cache(uc_, address, address + n);
}

bool ArmCore::resume() {
  if (finished_) return false;
  yield_ = false;
  spin_reads_ = 0;
  slice_end_ = instructions_ + kSlice;
  // Interrupts the host raised while the core waited.
  deliver_interrupts();
  for (;;) {
    uint32_t pc = reg(UC_ARM_REG_PC);
    pending_exception_ = -1;
    stop_requested_ = false;
    last_pc_ = ~uint64_t{0};
    uc_err err = uc_emu_start(uc_, pc, 0xfffffffeull, 0, 0);
    if (model_fault_) {
      stop(End::Faulted, "");
      return false;
    }
    if (misaligned_at_ >= 0) {
      uint32_t at = static_cast<uint32_t>(misaligned_at_);
      misaligned_at_ = -1;
      exceptions_.push_back("data abort at " + hex32(at));
      take_exception(Vector::DataAbort, at + 8);
      continue;
    }
    if (pending_exception_ >= 0) {
      // The emulator raised a CPU exception: hand it to the image's vectors.
      uint32_t at = reg(UC_ARM_REG_PC);
      Vector v;
      uint32_t lr;
      const char *kind;
      switch (pending_exception_) {
        case kExcpUdef: v = Vector::Undefined, lr = at + 4, kind = "undefined instruction"; break;
        case kExcpSwi: v = Vector::Swi, lr = at, kind = "software interrupt", at -= 4; break;
        case kExcpPrefetchAbort: v = Vector::PrefetchAbort, lr = at + 4, kind = "prefetch abort"; break;
        case kExcpDataAbort: v = Vector::DataAbort, lr = at + 8, kind = "data abort"; break;
        default:
          stop(End::Faulted, "emulator: unexpected exception " + std::to_string(pending_exception_) + " at " + hex32(at));
          return false;
      }
      exceptions_.push_back(std::string(kind) + " at " + hex32(at));
      take_exception(v, lr);
      continue;
    }
    if (err == UC_ERR_INSN_INVALID) {
      uint32_t at = reg(UC_ARM_REG_PC);
      if (emulate_coprocessor(at)) continue;
      exceptions_.push_back("undefined instruction at " + hex32(at));
      take_exception(Vector::Undefined, at + 4);
      continue;
    }
    if (err != UC_ERR_OK) {
      stop(End::Faulted, std::string("emulator: ") + uc_strerror(err) + " at " + hex32(reg(UC_ARM_REG_PC)));
      return false;
    }
    if (deliver_interrupts()) continue;
    if (halted_in_loop()) {
      stop(End::Halted, "the core halted");
      return false;
    }
    if (yield_) return true;
  }
}

}  // namespace zv::emu
