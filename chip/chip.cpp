#include "chip/chip.h"

#include <cstring>

#include "chip/static_tables.h"

namespace zv::chip {

namespace {
// Reset values of the tensor engine's set-up registers: all bits set, so that
// the firmware's read-modify-writes are visible.
std::map<u32, u32> bd_ctrl_reset() {
  return {{0x17c, 0x00000000}, {0x1a4, 0x00000000}, {0x1a8, 0xffffffff},
          {0x1ac, 0xffffffff}, {0x1b0, 0xffffffff}, {0x1b4, 0xffffffff}};
}
}  // namespace

Chip::Chip(const ChipConfig &config)
    : itcm("itcm", 0x00000000, 0x80000),
      dtcm("dtcm", 0x02000000, 0x80000),
      local("local memory", 0x08000000, 64u << 19),
      l2("l2 sram", 0x10000000, 0x400000),
      ddr("device memory", kDeviceMemBase, kDeviceMemSize),
      straps(config.i2c_strap),
      pcie(config.chip_id, config.msi_address, config.msi_data),
      bd_ctrl("tensor engine control", 0x58001000, bd_ctrl_reset()),
      engines(dtcm, local, l2, ddr, config.engines) {
  load_static_tables(l2);
  fuse.burn(80, config.fuse80);
  fuse.burn(81, config.fuse81);
  sys.cycles = [this] { return cycles(); };
  sys.read_pointer_moved = [this] { answer_times_.push_back(time_totals()); };
  sys.raise_done_irq = [this] { intc.raise_edge(Intc::kLineHostDone); };
  intc.levels = [this] { return i2c.irq_level() ? u64{1} << Intc::kLineI2c : u64{0}; };
  intc.halt_request = [this] { return sys.halt_requested(); };
  i2c.in_reset = [this] { return sys.i2c_in_reset(); };
  engines.scheduler.chip_accesses = [this] { return register_accesses_; };
  engines.scheduler.on_progress = [this] { activity_++; };

  map_ = {
      {GdmaEngine::kControl, 0x1000, &engines.gdma},
      {BdEngine::kWindow, 0x1000, &engines.bd},
      {0x58000000, 0x1000, &engines.gdma},
      {BdEngine::kStatus, 0x10, &engines.bd},  // inside the set-up block below
      {CdmaEngine::kWindow, 4 * CdmaEngine::kWords, &engines.cdma},
      {GdeEngine::kBase, 0x1000, &engines.gde},
      {SysRegs::kBase, SysRegs::kSize, &sys},
      {I2cSlave::kBase, I2cSlave::kSize, &i2c},
      {Intc::kBase, Intc::kSize, &intc},
      {Intc::kBase2, Intc::kSize, &intc},
      {Straps::kBase, Straps::kSize, &straps},
      {Fuse::kBase, Fuse::kSize, &fuse},
      {Uart::kBase, Uart::kSize, &uart},
      {0x58001000, 0x1000, &bd_ctrl},
      {0x5fa01000, 0x1000, &pcie},
      {0x5fb00000, 0x1000, &pcie},
      {0x5fb80000, 0x10000, &pcie},
      {0x5fbf0000, 0x2000, &pcie},
  };
}

Memory *Chip::arm_memory(u32 addr, u32 len) {
  for (Memory *m : {&dtcm, &local, &l2, &itcm})
    if (addr >= m->base() && addr - m->base() < m->size()) return m;
  if (addr >= kDdrWindow) return &ddr;
  (void)len;
  return nullptr;
}

u8 *Chip::memory_ptr(u32 addr, u32 len) {
  Memory *m = arm_memory(addr, len);
  if (m == nullptr) fault("no memory at ARM address " + hex(addr));
  return m->ptr(m == &ddr ? canonical(addr) : addr, len);
}

u8 *Chip::arm_ptr(u32 addr, u32 len) {
  u8 *p = memory_ptr(addr, len);
  engines.checker.arm_access(canonical(addr), len, false);
  return p;
}

Device *Chip::device_at(u32 addr) {
  for (const Mapping &mp : map_)
    if (addr >= mp.base && addr - mp.base < mp.size) return mp.device;
  fault("access to unmapped ARM address " + hex(addr));
}

u32 Chip::arm_read32(u32 addr) {
  if (addr % 4) fault("misaligned word read at " + hex(addr));
  if (arm_memory(addr, 4)) {
    u32 v;
    std::memcpy(&v, memory_ptr(addr, 4), 4);
    engines.checker.arm_access(canonical(addr), 4, false);
    return v;
  }
  register_accesses_++;
  return device_at(addr)->read32(addr);
}

void Chip::arm_write32(u32 addr, u32 value) {
  if (addr % 4) fault("misaligned word write at " + hex(addr));
  activity_++;
  if (arm_memory(addr, 4)) {
    std::memcpy(memory_ptr(addr, 4), &value, 4);
    engines.checker.arm_access(canonical(addr), 4, true);
    return;
  }
  // The ARM's time advances by the work both the native firmware and the
  // emulated image do alike: its register writes. Reads and spin loops (whose
  // counts differ between the two) take no time of their own; a spin on an
  // engine waits for that engine (see Scheduler).
  register_accesses_++;
  register_writes_++;
  engines.scheduler.arm_spent(register_write_time());
  if (trace) trace("write " + register_name(addr) + " " + hex(value));
  device_at(addr)->write32(addr, value);
}

}  // namespace zv::chip
