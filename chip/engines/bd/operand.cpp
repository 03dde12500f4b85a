#include "chip/engines/bd/operand.h"

#include <cstring>

namespace zv::chip::bd {

bool is_local(u32 addr) { return (addr & kLocalTag) != 0; }

u32 lane_of(u32 addr, u32 c) { return (((addr >> 19) & (kLanes - 1)) + c) % kLanes; }

u64 View::at(u32 n, u32 c, u32 h, u32 w, const char *what) const {
  if (!is_local(addr)) fault(std::string("tensor engine: ") + what + " operand address " + hex(addr) + " is not a local address");
  const u32 s = (addr >> 19) & (kLanes - 1);
  const u32 lane = (s + c) % kLanes, row = (s + c) / kLanes;
  const u32 item = item0 ? 0 : n;
  const i64 steps = i64(item / pack) * st.n + i64(row) * st.c + i64(h) * st.h + i64(w) * st.w;
  const i64 offset = i64(addr & (kLaneBytes - 1)) + steps * unit + i64(item % pack) * size;
  if (offset < 0 || offset + size > i64(kLaneBytes))
    fault(std::string("tensor engine: ") + what + " element (" + std::to_string(n) + ", " + std::to_string(c) + ", " +
          std::to_string(h) + ", " + std::to_string(w) + ") of the operand at " + hex(addr) + " lies at offset " +
          std::to_string(offset) + ", outside lane " + std::to_string(lane) + "'s 512 KB");
  return u64{kLocalTag} + u64{lane} * kLaneBytes + u64(offset);
}

Strides default_strides(const Shape &shape, u32 addr, u32 align) {
  const u32 s = (addr >> 19) & (kLanes - 1);
  Strides st;
  st.w = 1;
  st.h = shape.w;
  st.c = (i64(shape.h) * shape.w + align - 1) / align * align;
  st.n = st.c * ((s + shape.c + kLanes - 1) / kLanes);
  return st;
}

u64 table_address(u32 table, u32 lane, u64 byte_offset) {
  if (is_local(table)) return u64{kLocalTag} + u64{lane} * kLaneBytes + (table & (kLaneBytes - 1)) + byte_offset;
  return kL2Base + table + byte_offset;
}

u32 load_bits(Bus &bus, u64 addr, u32 size) {
  u32 v = 0;
  bus.load(addr, &v, size);
  return v;
}

void store_bits(Bus &bus, u64 addr, u32 size, u32 bits) { bus.store(addr, &bits, size); }

float as_float(u32 bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

u32 float_bits(float f) {
  u32 u;
  std::memcpy(&u, &f, 4);
  return u;
}

void unmodelled(const BdCommand &cmd, const std::string &what) {
  fault("tensor engine: " + what + " is not modelled; window " + cmd.dump());
}

Shape op_shape(const BdCommand &cmd) {
  return Shape{cmd.get(field::kN), cmd.get(field::kC), cmd.get(field::kH), cmd.get(field::kW)};
}

}  // namespace zv::chip::bd
