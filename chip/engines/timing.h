// Modelled time: the engine figures the model assumes (one table, stated in
// chip/README.md), what a command did while it ran (its Work, counted by the
// bus and, for products, reported by the execute function), and the cost of
// each engine's commands from those.
//
// Time is kept in picoseconds. The 25 MHz timer the firmware reads shows it in
// 40 ns ticks.
#pragma once

#include <array>
#include <cstdint>

#include "chip/types.h"

namespace zv::chip {

using Picos = u64;

// ---- The model's assumptions (never tuned per layer) ----
namespace figures {
constexpr Picos kEngineCycle = 1250;     // tensor engine, GDMA, CDMA, GDE: 800 MHz
constexpr Picos kArmCycle = 2000;        // ARM: 500 MHz
constexpr Picos kTimerTick = 40000;      // the 25 MHz timer
// A store to a device register with the code that computes it: the ARM image
// spends 74 to 117 instructions per register write over the GEMM benchmark
// (bench/engine_util), taken as 80 cycles.
constexpr u64 kArmCyclesPerRegisterWrite = 80;

constexpr u32 kLanes = 64;
// Tensor engine, per lane and engine cycle.
constexpr u64 kLaneBytesPerCycle = 64;  // element operands read and results written
constexpr u64 kMacsPerLaneCycle32 = 16;  // float32 products
constexpr u64 kMacsPerLaneCycle16 = 32;  // 16-bit products
constexpr u64 kMacsPerLaneCycle8 = 64;   // 8-bit products
constexpr u64 kBdSetupCycles = 64;       // fetch and set-up of every command

// GDMA: latency per command and bytes per engine cycle on each side.
constexpr u64 kGdmaLatencyDevice = 400;  // a command touching device memory, L2 SRAM or DTCM
constexpr u64 kGdmaLatencyLocal = 100;   // a command inside local memory
constexpr u64 kGdmaDeviceBytesPerCycle = 32;
constexpr u64 kGdmaLocalBytesPerCycle = 128;

// CDMA (device memory only).
constexpr u64 kCdmaLatency = 400;
constexpr u64 kCdmaBytesPerCycle = 16;

// GDE: one element access per cycle after its latency.
constexpr u64 kGdeLatency = 200;
constexpr u64 kGdeAccessesPerCycle = 1;
}  // namespace figures

// What one command did, as its cost needs it.
struct Work {
  u64 local_bytes = 0;   // bytes read and written in local memory
  u64 other_bytes = 0;   // bytes read and written in device memory, L2 SRAM, DTCM
  u64 accesses = 0;      // bus accesses (element reads and writes of the element-wise engines)
  std::array<u64, figures::kLanes> lane_bytes{};  // local bytes per lane
  std::array<u64, figures::kLanes> lane_stores{};  // local writes per lane (results)
  u64 stores = 0;        // local writes
  // Products of the convolution unit, reported by its execute functions.
  u64 macs = 0;
  u32 mac_bytes = 4;     // operand width of the products: 4, 2 or 1

  void count(u64 addr, u64 len, bool write);
  // `count` accesses of `size` bytes at addr + i * step: the same as that many
  // calls of count().
  void count_span(u64 addr, std::int64_t step, u64 size, u64 count, bool write);
  void add_macs(u64 n, u32 operand_bytes) {
    macs += n;
    mac_bytes = operand_bytes;
  }
};

// A command's duration and the part of it that is arithmetic at the engine's
// peak rate.
struct Cost {
  Picos time = 0;
  Picos ideal = 0;
};

Cost bd_cost(const Work &w);
Cost gdma_cost(const Work &w);
Cost cdma_cost(const Work &w);
Cost gde_cost(const Work &w);

constexpr Picos engine_cycles(u64 n) { return n * figures::kEngineCycle; }
constexpr Picos register_write_time() { return figures::kArmCyclesPerRegisterWrite * figures::kArmCycle; }

}  // namespace zv::chip
