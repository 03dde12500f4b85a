// Descriptor-buffer fetch of the tensor engine and GDMA.
//
// Started by a register write (the engine's buffer address, then its start
// bit), an engine reads its commands from memory, 128 bytes per descriptor, in
// order, instead of taking them from its window. The model feeds the fetched
// descriptors to the engine as the hardware's queue would: the next one is
// taken when the engine has a free slot and the command it waits for on the
// other engine has been issued (the scheduler pumps both fetches before every
// poll, and once when a fetch starts). A fetch ends at the first descriptor
// whose start bit is clear or whose own id does not follow the last id the
// engine issued: a host-compiled buffer numbers its commands from 1 after the
// id restart that precedes its run, so the next buffer's first command ends
// the previous one. Fetched words are read without the happens-before
// checker (the host wrote them before the run).
#pragma once

#include "chip/engines/bus.h"
#include "chip/engines/scheduler.h"
#include "chip/types.h"

namespace zv::chip {

struct DescriptorFetch {
  static constexpr u32 kStride = 128;
  bool active = false;
  u64 next = 0;

  // Reads the next descriptor's first `words` words when a fetch is active
  // and q has a free slot.
  bool take(Bus &bus, const IdQueue &q, u32 words, u32 *out) {
    if (!active || q.free_slots() == 0) return false;
    bus.memory_at(next, kStride).load(next, out, 4ull * words);
    return true;
  }
  // Whether the descriptor continues the buffer; ends the fetch when not.
  bool follows(u32 word0, u32 own_id, const IdQueue &q) {
    if ((word0 & 1) != 0 && own_id == ((q.issued_id + 1) & 0xffff)) return true;
    active = false;
    return false;
  }
};

}  // namespace zv::chip
