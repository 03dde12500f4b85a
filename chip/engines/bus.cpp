#include "chip/engines/bus.h"

namespace zv::chip {

Memory &Bus::memory_at(u64 addr, u64 len) {
  for (Memory *m : memories_)
    if (m->contains(addr, len)) return *m;
  fault("engine access of " + std::to_string(len) + " bytes at " + hex(addr) +
        " outside DTCM, local memory, L2 SRAM and device memory");
}

void Bus::load(u64 addr, void *out, u64 len) {
  if (len == 0) return;
  memory_at(addr, len).load(addr, out, len);
  checker_.access(addr, len, false);
  if (work_) work_->count(addr, len, false);
}

void Bus::store(u64 addr, const void *in, u64 len) {
  if (len == 0) return;
  memory_at(addr, len).store(addr, in, len);
  checker_.access(addr, len, true);
  if (work_) work_->count(addr, len, true);
}

u32 Bus::load32(u64 addr) {
  u32 v;
  load(addr, &v, 4);
  return v;
}

void Bus::store32(u64 addr, u32 value) { store(addr, &value, 4); }

}  // namespace zv::chip
