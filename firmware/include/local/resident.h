// The resident layout every local kernel shares.
//
// A local operand is an untagged offset: start lane in bits 19-24, byte offset
// inside the lane's 512 KB in bits 0-18. Kernels OR LOCAL_ADDR_TAG in when they
// build a command. Channel c of a tensor starting in lane s lies in lane
// (s + c) % 64, lane row (s + c) / 64; a channel plane holds h x w elements
// rounded up to 32 (plane()). The convolution, pooling and multiply-shift
// kernels use the engine's default layout, batch items ceil((s + c)/64)
// planes apart (local_rows_at); the data-arrangement kernels step batch items
// by ceil(c/64) planes (local_strides). Both agree for tensors that start in
// lane 0. 8-bit tensors use the 4N storage: each word holds the same element
// of four batch items, so planes and strides count words exactly as for
// float32 and the batch stride steps groups of four.
//
// Scratch: a kernel that needs an intermediate writes it from the scratch
// offset its caller gives, with the layout stated at the kernel; the caller
// sizes it.
#pragma once

#include "cmd/local_mem.h"
#include "cmd/tensor_shape.h"
#include "runtime/regs.h"
#include "runtime/types.h"

#define LOCAL_LANE_SHIFT 19
#define LOCAL_OFFSET_MASK 0x7ffffu

// The arithmetic is cmd/local_mem.h's; these name it in the kernels' int terms.
static inline u32 local_tag(u32 offset) { return offset | LOCAL_ADDR_TAG; }
static inline int local_ceil_div(int a, int b) { return (int)ceil_div(a, b); }
static inline int local_align(int a, int b) { return (int)align_up(a, b); }
// Elements (words) of one EU-aligned channel plane.
static inline int local_plane(int h, int w) { return (int)eu_plane((u32)(h * w)); }
// Lane rows a tensor of c channels takes from lane 0.
static inline int local_rows(int c) { return (int)lane_rows(0, (u32)c); }
static inline u32 local_lane_of(u32 offset) { return (offset >> LOCAL_LANE_SHIFT) & (NPU_NUM - 1); }

// The default strides {ceil(c/64) * plane, plane, w, 1} of a resident tensor.
static inline dim4_t local_strides(int c, int h, int w) {
  const dim4_t s = {local_rows(c) * local_plane(h, w), local_plane(h, w), w, 1};
  return s;
}

// Offset of channel c of a tensor at `offset` whose channel planes are
// `row_bytes` apart in a lane: the start lane counts, so channel c lies in lane
// (s + c) % 64 and (s + c) / 64 lane rows further on.
static inline u32 local_channel(u32 offset, int c, u32 row_bytes) {
  const u32 s = local_lane_of(offset) + (u32)c;
  return ((s % NPU_NUM) << LOCAL_LANE_SHIFT) |
         ((offset & LOCAL_OFFSET_MASK) + (s / NPU_NUM) * row_bytes);
}

// Channel c counted from lane 0 (the start lane of `offset` is ignored and
// replaced by c % 64).
static inline u32 local_channel_from0(u32 offset, int c, u32 row_bytes) {
  return (((u32)c % NPU_NUM) << LOCAL_LANE_SHIFT) |
         ((offset & LOCAL_OFFSET_MASK) + ((u32)c / NPU_NUM) * row_bytes);
}

// Lane rows a tensor of c channels takes from the start lane of `offset` (the
// engine's default layout steps batch items by this many planes).
static inline int local_rows_at(u32 offset, int c) { return (int)lane_rows(local_lane_of(offset), (u32)c); }
