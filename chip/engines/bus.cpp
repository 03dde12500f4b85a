#include "chip/engines/bus.h"

#include <algorithm>
#include <cstring>

namespace zv::chip {

namespace {
// Element copies with the width known to the compiler.
template <u32 N>
void gather(const u8 *p, i64 step, u64 count, u32 *out) {
  for (u64 i = 0; i < count; i++, p += step) {
    out[i] = 0;
    std::memcpy(&out[i], p, N);
  }
}
void gather(const u8 *p, i64 step, u32 size, u64 count, u32 *out) {
  switch (size) {
    case 4: gather<4>(p, step, count, out); return;
    case 2: gather<2>(p, step, count, out); return;
    case 1: gather<1>(p, step, count, out); return;
    default:
      for (u64 i = 0; i < count; i++, p += step) {
        out[i] = 0;
        std::memcpy(&out[i], p, size);
      }
  }
}
template <u32 N>
void scatter(u8 *p, i64 step, u64 count, const u32 *in) {
  for (u64 i = 0; i < count; i++, p += step) std::memcpy(p, &in[i], N);
}
void scatter(u8 *p, i64 step, u32 size, u64 count, const u32 *in) {
  switch (size) {
    case 4: scatter<4>(p, step, count, in); return;
    case 2: scatter<2>(p, step, count, in); return;
    case 1: scatter<1>(p, step, count, in); return;
    default:
      for (u64 i = 0; i < count; i++, p += step) std::memcpy(p, &in[i], size);
  }
}
}  // namespace

Memory &Bus::find_memory(u64 addr, u64 len) {
  for (int i = 0; i < 4; i++)
    if (memories_[i]->contains(addr, len)) {
      last_ = i;
      return *memories_[i];
    }
  fault("engine access of " + std::to_string(len) + " bytes at " + hex(addr) +
        " outside DTCM, local memory, L2 SRAM and device memory");
}

Memory *Bus::span_memory(u64 addr, i64 step, u32 size, u64 count) {
  const u64 last = addr + static_cast<u64>(step * static_cast<i64>(count - 1));
  const u64 lo = std::min(addr, last), hi = std::max(addr, last);
  if (hi < lo || hi + size < hi) return nullptr;
  for (int i = 0; i < 4; i++) {
    const int m = (last_ + i) % 4;
    if (memories_[m]->contains(lo, hi - lo + size)) {
      last_ = m;
      return memories_[m];
    }
  }
  return nullptr;
}

void Bus::load_span(u64 addr, i64 step, u32 size, u64 count, u32 *out) {
  if (count == 0 || size == 0) return;
  Memory *m = span_memory(addr, step, size, count);
  if (!m) {
    // Some element lies outside every memory: single accesses fault at it.
    for (u64 i = 0; i < count; i++) {
      out[i] = 0;
      load(addr + static_cast<u64>(step * static_cast<i64>(i)), &out[i], size);
    }
    return;
  }
  gather(m->ptr(addr, size), step, size, count, out);
  checker_.access_span(addr, step, size, count, false);
  if (work_) work_->count_span(addr, step, size, count, false);
}

void Bus::load_spans(const ElementSpan *spans, int k, u64 count, u32 *const *out) {
  if (count == 0) return;
  Memory *m[8];
  bool found = k <= 8;
  for (int j = 0; found && j < k; j++) found = (m[j] = span_memory(spans[j].addr, spans[j].step, spans[j].size, count));
  if (!found) {
    // Some element lies outside every memory: single reads fault at it.
    for (u64 i = 0; i < count; i++)
      for (int j = 0; j < k; j++) {
        out[j][i] = 0;
        load(spans[j].at(i), &out[j][i], spans[j].size);
      }
    return;
  }
  // Reads change nothing, so each span is copied whole; the checker sees them
  // in the interleaved order.
  for (int j = 0; j < k; j++)
    gather(m[j]->ptr(spans[j].addr, spans[j].size), spans[j].step, static_cast<u32>(spans[j].size), count, out[j]);
  checker_.read_spans(spans, k, count);
  if (work_)
    for (int j = 0; j < k; j++) work_->count_span(spans[j].addr, spans[j].step, spans[j].size, count, false);
}

void Bus::store_span(u64 addr, i64 step, u32 size, u64 count, const u32 *in) {
  if (count == 0 || size == 0) return;
  Memory *m = span_memory(addr, step, size, count);
  if (!m) {
    for (u64 i = 0; i < count; i++) store(addr + static_cast<u64>(step * static_cast<i64>(i)), &in[i], size);
    return;
  }
  scatter(m->ptr(addr, size), step, size, count, in);
  checker_.access_span(addr, step, size, count, true);
  if (work_) work_->count_span(addr, step, size, count, true);
}

}  // namespace zv::chip
