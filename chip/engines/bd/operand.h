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

// Where element data of a local operand lies.
struct View {
  u32 addr = 0;   // tagged local address
  u32 size = 4;   // bytes of one element
  u32 pack = 1;   // batch items per word (fixed point), else 1
  u32 unit = 4;   // bytes of one stride step
  Strides st;
  bool item0 = false;  // every batch item reads item 0 (broadcast along N)

  // Bus address of element (n, c, h, w); faults outside the lane.
  u64 at(u32 n, u32 c, u32 h, u32 w, const char *what) const;
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

}  // namespace zv::chip::bd
