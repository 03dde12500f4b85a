// The engines' port onto the chip's memories. Engine addresses are canonical:
// device memory at its 40-bit addresses (0x1_0000_0000 and up), and below 4 GB
// the on-chip memories at their ARM addresses: DTCM 0x02000000, local memory
// 0x08000000 (lane l from 0x08000000 + l * 512 KB, which is the tagged local
// address form), L2 SRAM 0x10000000. Every access is bounds-checked and
// declared to the happens-before checker as an access of the running command,
// and counted into the running command's work (for its modelled time).
//
// A span is `count` elements of `size` bytes (at most 4), element i at
// addr + i * step: one call for a row of an operand. It does what `count`
// single accesses in that order would do (the same bytes, findings and work),
// with the memory found and the bounds checked once.
#pragma once

#include "chip/engines/race_checker.h"
#include "chip/engines/timing.h"
#include "chip/memory.h"

namespace zv::chip {

using i64 = std::int64_t;

class Bus {
 public:
  Bus(Memory &dtcm, Memory &local, Memory &l2, Memory &ddr, RaceChecker &checker)
      : memories_{&dtcm, &local, &l2, &ddr}, checker_(checker) {}

  void load(u64 addr, void *out, u64 len) {
    if (len == 0) return;
    memory_at(addr, len).load(addr, out, len);
    checker_.access(addr, len, false);
    if (work_) work_->count(addr, len, false);
  }
  void store(u64 addr, const void *in, u64 len) {
    if (len == 0) return;
    memory_at(addr, len).store(addr, in, len);
    checker_.access(addr, len, true);
    if (work_) work_->count(addr, len, true);
  }
  u32 load32(u64 addr) {
    u32 v;
    load(addr, &v, 4);
    return v;
  }
  void store32(u64 addr, u32 value) { store(addr, &value, 4); }

  // Elements of a span as raw bit patterns (little-endian, zero-extended).
  void load_span(u64 addr, i64 step, u32 size, u64 count, u32 *out);
  void store_span(u64 addr, i64 step, u32 size, u64 count, const u32 *in);
  // Reads of `k` spans of `count` elements each, element-interleaved (element
  // 0 of every span in turn, then element 1, ...), into out[j][i].
  void load_spans(const ElementSpan *spans, int k, u64 count, u32 *const *out);

  // The memory holding [addr, addr + len), or a fault naming the range.
  Memory &memory_at(u64 addr, u64 len) {
    // The last memory used comes first: engines stay in one memory for long.
    if (memories_[last_]->contains(addr, len)) return *memories_[last_];
    return find_memory(addr, len);
  }

  // While a command runs, its accesses are counted into `work` (null: none).
  void measure(Work *work) { work_ = work; }
  // Products the running command computed, `operand_bytes` wide each.
  void report_macs(u64 n, u32 operand_bytes) {
    if (work_) work_->add_macs(n, operand_bytes);
  }

 private:
  Memory &find_memory(u64 addr, u64 len);
  // The memory holding every element of a span, or null.
  Memory *span_memory(u64 addr, i64 step, u32 size, u64 count);

  Memory *memories_[4];
  int last_ = 0;
  RaceChecker &checker_;
  Work *work_ = nullptr;
};

}  // namespace zv::chip
