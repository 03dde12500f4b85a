// Operands of the tensor engine's element-wise commands, decoded from a
// descriptor into views of local memory (or constants), and read and written
// through the bus.
//
// A local operand's address is LOCAL_ADDR_TAG | start lane << 19 | offset.
// Channel c lives in lane (s + c) % 64 at lane row (s + c) / 64; element
// (n, c, h, w) is at
//     offset + ((n / pack) * ns + row * cs + h * hs + w * ws) * unit
//            + (n % pack) * size
// in its lane: float32 and int32 elements are single words (pack 1); 8-bit and
// 16-bit fixed-point data pack four or two batch items into each word, strides
// counting words. An address outside a lane's 512 KB is a fault, never a wrap
// into the next lane. An untagged address names static memory (L2 SRAM offset).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chip/engines/bd/bd.h"
#include "chip/engines/bus.h"

namespace zv::chip::bd {

using i64 = std::int64_t;

constexpr u32 kLocalTag = 0x08000000;
constexpr u32 kLanes = 64;
constexpr u32 kLaneBytes = 0x80000;
constexpr u64 kL2Base = 0x10000000;

struct Shape {
  u32 n = 1, c = 1, h = 1, w = 1;
  u64 count() const { return u64{n} * c * h * w; }
};

struct Strides {
  i64 n = 0, c = 0, h = 0, w = 0;
};

// A row of elements (n, c, h, 0..count-1) of a view: element w at
// addr + w * step. `ok` is false when some element of the row is not in its
// lane (or the view is not local); View::at then names the fault.
struct Span {
  u64 addr = 0;
  i64 step = 0;
  bool ok = false;
  u64 at(u32 w) const { return addr + static_cast<u64>(i64(w) * step); }
};

// Where element data of a local operand lies.
struct View {
  u32 addr = 0;   // tagged local address
  u32 size = 4;   // bytes of one element
  u32 pack = 1;   // batch items per word (fixed point), else 1
  u32 unit = 4;   // bytes of one stride step
  Strides st;
  bool item0 = false;  // every batch item reads item 0 (broadcast along N)

  // Bus address of element (n, c, h, w); faults outside the lane.
  u64 at(u32 n, u32 c, u32 h, u32 w, const char *what) const {
    i64 offset;
    u32 lane;
    if (place(n, c, h, w, offset, lane)) return u64{kLocalTag} + u64{lane} * kLaneBytes + u64(offset);
    misplaced(n, c, h, w, what);
  }
  // The row (n, c, h, 0..count-1), its pack and lane worked out once.
  Span row(u32 n, u32 c, u32 h, u32 count) const {
    Span r;
    i64 offset, last;
    u32 lane, lane2;
    if (count == 0 || !place(n, c, h, 0, offset, lane) || !place(n, c, h, count - 1, last, lane2)) return r;
    r.addr = u64{kLocalTag} + u64{lane} * kLaneBytes + u64(offset);
    r.step = st.w * unit;
    r.ok = true;
    return r;
  }

 private:
  // The lane and in-lane offset of an element; false outside the lane.
  bool place(u32 n, u32 c, u32 h, u32 w, i64 &offset, u32 &lane) const {
    if ((addr & kLocalTag) == 0) return false;
    const u32 s = ((addr >> 19) & (kLanes - 1)) + c;
    lane = s % kLanes;
    const u32 row = s / kLanes;
    const u32 item = item0 ? 0 : n;
    const u32 word = pack == 1 ? item : item / pack, sub = pack == 1 ? 0 : item % pack;
    const i64 steps = i64(word) * st.n + i64(row) * st.c + i64(h) * st.h + i64(w) * st.w;
    offset = i64(addr & (kLaneBytes - 1)) + steps * unit + i64(sub) * size;
    return offset >= 0 && offset + size <= i64(kLaneBytes);
  }
  [[noreturn]] void misplaced(u32 n, u32 c, u32 h, u32 w, const char *what) const;
};

// The engine's default layout of `shape` from the start lane of `addr`:
// EU-aligned planes of `align` steps, the batch stride covering the lane rows.
Strides default_strides(const Shape &shape, u32 addr, u32 align = 32);

bool is_local(u32 addr);
// The bus address of a static-memory or per-lane table address for the lane of
// the element being computed.
u64 table_address(u32 table, u32 lane, u64 byte_offset);
u32 lane_of(u32 addr, u32 c);

// Reads and writes of elements as raw bit patterns (size bytes, little-endian).
u32 load_bits(Bus &bus, u64 addr, u32 size);
void store_bits(Bus &bus, u64 addr, u32 size, u32 bits);

float as_float(u32 bits);
u32 float_bits(float f);

// Visits every (n, c, h, w) of the shape in order.
template <class F>
void for_each(const Shape &s, F &&f) {
  for (u32 n = 0; n < s.n; n++)
    for (u32 c = 0; c < s.c; c++)
      for (u32 h = 0; h < s.h; h++)
        for (u32 w = 0; w < s.w; w++) f(n, c, h, w);
}

[[noreturn]] void unmodelled(const BdCommand &cmd, const std::string &what);

// The operation's shape (bits 198-257).
Shape op_shape(const BdCommand &cmd);

// Stores `bits` (one element each, in the shape's order) to every element of
// the view, row by row; and loads every element into `out`.
void store_all(Bus &bus, const View &v, const Shape &shape, const char *what, const u32 *bits);
void load_all(Bus &bus, const View &v, const Shape &shape, const char *what, u32 *out);

// Visits every (n, c, h) row of the shape in order.
template <class F>
void for_each_row(const Shape &s, F &&f) {
  for (u32 n = 0; n < s.n; n++)
    for (u32 c = 0; c < s.c; c++)
      for (u32 h = 0; h < s.h; h++) f(n, c, h);
}

// An operand read row by row, named in faults by `what`. A per-channel
// operand reads its element (0, c, 0, 0) for every element of channel c.
struct Read {
  const View *view;
  const char *what;
  bool per_channel = false;
};

// Visits every row (n, c, h) of the shape in order: reads its elements of the
// `k` operands (at most 8) in the order single reads would take, element w of
// each operand in turn, into rows[j][w], then calls f(n, c, h, rows).
template <class F>
void read_rows(Bus &bus, const Shape &shape, const Read *reads, int k, F &&f) {
  std::vector<u32> buffer(size_t(k) * shape.w + 1);
  u32 *rows[8];
  ElementSpan spans[8];
  for (int j = 0; j < k; j++) rows[j] = buffer.data() + size_t(j) * shape.w;
  for_each_row(shape, [&](u32 n, u32 c, u32 h) {
    bool ok = true;
    for (int j = 0; j < k; j++) {
      const View &v = *reads[j].view;
      Span r = reads[j].per_channel ? v.row(0, c, 0, 1) : v.row(n, c, h, shape.w);
      if (reads[j].per_channel) r.step = 0;
      ok = ok && r.ok;
      spans[j] = ElementSpan{r.addr, r.step, v.size};
    }
    if (ok) {
      bus.load_spans(spans, k, shape.w, rows);
    } else {
      for (u32 w = 0; w < shape.w; w++)
        for (int j = 0; j < k; j++) {
          const Read &rd = reads[j];
          const u64 at = rd.per_channel ? rd.view->at(0, c, 0, 0, rd.what) : rd.view->at(n, c, h, w, rd.what);
          rows[j][w] = load_bits(bus, at, rd.view->size);
        }
    }
    f(n, c, h, static_cast<u32 *const *>(rows));
  });
}

}  // namespace zv::chip::bd
