// Tensors of the GDMA tests: how a case names one side of a move, its
// reference view, and the memory windows that cover it (with a margin, so that
// stray writes next to a tensor are seen).
#pragma once

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "gdma_rig.h"

namespace zv::test {

// One side of a move as the generators take it.
struct SideSpec {
  bool local = false;
  int lane = 0;
  u64 addr = 0;  // global address, or byte offset within the start lane
  ref::Dim4 shape;
  ref::Dim4 stride;
  u32 format = GDMA_VALUE_FORMAT_FLOAT32;

  ref::Tensor tensor() const {
    ref::Tensor t;
    t.local = local;
    t.addr = local ? ref::lane_addr(lane, addr) : addr;
    t.shape = shape;
    t.stride = stride;
    t.size = ref::format_size(format);
    return t;
  }
  int n() const { return int(shape.n); }
  int c() const { return int(shape.c); }
  int h() const { return int(shape.h); }
  int w() const { return int(shape.w); }
};

inline SideSpec global(u64 addr, ref::Dim4 shape, ref::Dim4 stride, u32 format = GDMA_VALUE_FORMAT_FLOAT32) {
  return {false, 0, addr, shape, stride, format};
}
inline SideSpec global_dense(u64 addr, ref::Dim4 shape, u32 format = GDMA_VALUE_FORMAT_FLOAT32) {
  return global(addr, shape, ref::dense_strides(shape), format);
}
inline SideSpec local(int lane, u64 offset, ref::Dim4 shape, ref::Dim4 stride,
                      u32 format = GDMA_VALUE_FORMAT_FLOAT32) {
  return {true, lane, offset, shape, stride, format};
}
// EU-aligned (align 128 bytes of elements) or compact (align 1) local strides.
inline SideSpec local_dense(int lane, u64 offset, ref::Dim4 shape, i64 align,
                            u32 format = GDMA_VALUE_FORMAT_FLOAT32) {
  return local(lane, offset, shape, ref::local_strides(shape, lane, align), format);
}

// Byte ranges [first, last) that the tensors' elements cover, one per lane for
// local tensors, widened by `margin` and merged where they meet.
inline std::vector<std::pair<u64, u64>> covered(const std::vector<ref::Tensor> &tensors, u64 margin = 64) {
  std::map<u64, std::pair<u64, u64>> by_area;  // lane (or ~0 for global) -> range
  std::vector<std::pair<u64, u64>> ranges;
  for (const ref::Tensor &t : tensors) {
    std::map<u64, std::pair<u64, u64>> spans;
    for (i64 n = 0; n < t.shape.n; n++)
      for (i64 c = 0; c < t.shape.c; c++)
        for (i64 h = 0; h < t.shape.h; h++)
          for (i64 w : {i64(0), t.shape.w - 1}) {
            const u64 a = ref::element_addr(t, n, c, h, w);
            const u64 key = t.local ? (a - ref::kLocalBase) / ref::kLaneBytes : ~0ull;
            auto it = spans.find(key);
            if (it == spans.end())
              spans[key] = {a, a + t.size};
            else
              it->second = {std::min(it->second.first, a), std::max(it->second.second, a + t.size)};
          }
    for (auto &[key, span] : spans) {
      u64 lo = span.first, hi = span.second;
      if (key != ~0ull) {
        const u64 lane_lo = ref::lane_addr(int(key), 0), lane_hi = lane_lo + ref::kLaneBytes;
        lo = lo - lane_lo >= margin ? lo - margin : lane_lo;
        hi = lane_hi - hi >= margin ? hi + margin : lane_hi;
      } else {
        lo -= margin;
        hi += margin;
      }
      ranges.push_back({lo, hi});
    }
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<u64, u64>> merged;
  for (auto r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second)
      merged.back().second = std::max(merged.back().second, r.second);
    else
      merged.push_back(r);
  }
  return merged;
}

// Fills the windows covering `tensors` (random bytes, or float32 values when `floats`).
inline void prepare(GdmaRig &rig, const std::vector<ref::Tensor> &tensors, bool floats) {
  for (auto [lo, hi] : covered(tensors)) {
    if (floats)
      rig.float_window(lo & ~3ull, ((hi + 3) & ~3ull) / 4 - (lo & ~3ull) / 4);
    else
      rig.window(lo, hi - lo);
  }
}

}  // namespace zv::test
