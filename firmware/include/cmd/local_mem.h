// The arithmetic of local memory's layout, in one place: ceiling division,
// rounding up, lane rows and EU-aligned channel planes.
//
// Channel c of a local tensor lies in lane (start lane + c) % 64, one lane row
// further on for every 64 channels; each lane row holds one plane of H x W
// elements per batch item, padded to a multiple of EU_NUM (32) elements when
// the layout is EU-aligned.
#pragma once

#include "runtime/regs.h"
#include "runtime/types.h"

// ceil(a / b) for a >= 0 and b > 0, in 64 bits so that no caller's sum wraps.
// The core has no divider and a 64-bit division costs it several times a
// 32-bit one, so operands that fit 32 bits are divided in 32 bits (the same
// quotient).
static inline s64 ceil_div(s64 a, s64 b) {
  const s64 n = a + b - 1;
  if (b > 0 && b <= INT32_MAX && n >= INT32_MIN && n <= INT32_MAX) return (s32)n / (s32)b;
  return n / b;
}
static inline u64 ceil_div_u64(u64 a, u64 b) {
  const u64 n = a + b - 1;
  if (n <= UINT32_MAX && b <= UINT32_MAX) return (u32)n / (u32)b;
  return n / b;
}
// x rounded up to a multiple of a.
static inline s64 align_up(s64 x, s64 a) { return ceil_div(x, a) * a; }
// The same in the operands' own type (for unsigned and 32-bit arithmetic).
#ifndef ALIGN
#define ALIGN(x, a) ((((x) + (a) - 1) / (a)) * (a))
#endif

// Lane rows taken by `channels` channels that start in lane `start_lane`.
static inline u32 lane_rows(u32 start_lane, u32 channels) { return (start_lane + channels + NPU_NUM - 1) / NPU_NUM; }
// Elements of an EU-aligned plane holding `elems` elements.
static inline u32 eu_plane(u32 elems) { return ALIGN(elems, (u32)EU_NUM); }
