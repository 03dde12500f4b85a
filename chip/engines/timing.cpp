#include "chip/engines/timing.h"

#include <algorithm>

namespace zv::chip {

namespace {
constexpr u64 kLocalBase = 0x08000000, kLaneSize = 0x80000;
constexpr u64 kLocalEnd = kLocalBase + figures::kLanes * kLaneSize;

constexpr u64 ceil_div(u64 a, u64 b) { return (a + b - 1) / b; }

u64 macs_per_lane_cycle(u32 operand_bytes) {
  if (operand_bytes == 1) return figures::kMacsPerLaneCycle8;
  if (operand_bytes == 2) return figures::kMacsPerLaneCycle16;
  return figures::kMacsPerLaneCycle32;
}
}  // namespace

void Work::count(u64 addr, u64 len, bool write) {
  accesses++;
  if (addr < kLocalBase || addr >= kLocalEnd) {
    other_bytes += len;
    return;
  }
  local_bytes += len;
  if (write) stores++;
  // A range may cross into the next lane.
  for (u64 at = addr, left = len; left > 0;) {
    const u64 lane = (at - kLocalBase) / kLaneSize;
    const u64 in_lane = std::min(left, kLaneSize - (at - kLocalBase) % kLaneSize);
    if (lane >= figures::kLanes) break;
    lane_bytes[lane] += in_lane;
    if (write && at == addr) lane_stores[lane]++;
    at += in_lane;
    left -= in_lane;
  }
}

void Work::count_span(u64 addr, std::int64_t step, u64 size, u64 n, bool write) {
  if (n == 0) return;
  const u64 last = addr + static_cast<u64>(step * static_cast<std::int64_t>(n - 1));
  const u64 lo = std::min(addr, last), hi = std::max(addr, last);
  if (hi < kLocalBase || lo >= kLocalEnd) {
    accesses += n;
    other_bytes += n * size;
    return;
  }
  const u64 lane = (lo - kLocalBase) / kLaneSize;
  if (lo >= kLocalBase && hi < kLocalEnd && (hi - kLocalBase) / kLaneSize == lane &&
      (hi - kLocalBase) % kLaneSize + size <= kLaneSize) {
    // Every element in one lane.
    accesses += n;
    local_bytes += n * size;
    lane_bytes[lane] += n * size;
    if (write) {
      stores += n;
      lane_stores[lane] += n;
    }
    return;
  }
  for (u64 i = 0; i < n; i++) count(addr + static_cast<u64>(step * static_cast<std::int64_t>(i)), size, write);
}

// Set-up, then the busiest lane: its products at the operands' rate or its
// operand traffic at the lane's width, whichever takes longer. Products are
// spread over the lanes as the results are.
Cost bd_cost(const Work &w) {
  using namespace figures;
  const u64 rate = macs_per_lane_cycle(w.mac_bytes);
  const u64 busiest_stores = *std::max_element(w.lane_stores.begin(), w.lane_stores.end());
  u64 mac_cycles = 0;
  if (w.macs != 0)
    mac_cycles = w.stores != 0 ? ceil_div(ceil_div(w.macs * busiest_stores, w.stores), rate)
                               : ceil_div(w.macs, kLanes * rate);
  const u64 busiest_bytes = *std::max_element(w.lane_bytes.begin(), w.lane_bytes.end());
  const u64 access_cycles = ceil_div(busiest_bytes, kLaneBytesPerCycle);
  Cost c;
  c.time = engine_cycles(kBdSetupCycles + std::max(mac_cycles, access_cycles));
  c.ideal = w.macs * kEngineCycle / (kLanes * rate);
  return c;
}

// Latency, then the slower of the two sides at its bandwidth (each side counts
// what it reads and what it writes).
Cost gdma_cost(const Work &w) {
  using namespace figures;
  const u64 latency = w.other_bytes != 0 ? kGdmaLatencyDevice : kGdmaLatencyLocal;
  const u64 transfer =
      std::max(ceil_div(w.other_bytes, kGdmaDeviceBytesPerCycle), ceil_div(w.local_bytes, kGdmaLocalBytesPerCycle));
  return Cost{engine_cycles(latency + transfer), 0};
}

Cost cdma_cost(const Work &w) {
  using namespace figures;
  return Cost{engine_cycles(kCdmaLatency + ceil_div(w.other_bytes + w.local_bytes, kCdmaBytesPerCycle)), 0};
}

Cost gde_cost(const Work &w) {
  using namespace figures;
  return Cost{engine_cycles(kGdeLatency + ceil_div(w.accesses, kGdeAccessesPerCycle)), 0};
}

}  // namespace zv::chip
