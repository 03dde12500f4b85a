#include "chip/engines/bd/operand.h"

#include <cstring>

namespace zv::chip::bd {

bool is_local(u32 addr) { return (addr & kLocalTag) != 0; }

u32 lane_of(u32 addr, u32 c) { return (((addr >> 19) & (kLanes - 1)) + c) % kLanes; }

void View::misplaced(u32 n, u32 c, u32 h, u32 w, const char *what) const {
  if (!is_local(addr)) fault(std::string("tensor engine: ") + what + " operand address " + hex(addr) + " is not a local address");
  i64 offset;
  u32 lane;
  place(n, c, h, w, offset, lane);
  fault(std::string("tensor engine: ") + what + " element (" + std::to_string(n) + ", " + std::to_string(c) + ", " +
        std::to_string(h) + ", " + std::to_string(w) + ") of the operand at " + hex(addr) + " lies at offset " +
        std::to_string(offset) + ", outside lane " + std::to_string(lane) + "'s 512 KB");
}

void store_all(Bus &bus, const View &v, const Shape &shape, const char *what, const u32 *bits) {
  for_each_row(shape, [&](u32 n, u32 c, u32 h) {
    const Span r = v.row(n, c, h, shape.w);
    if (r.ok) bus.store_span(r.addr, r.step, v.size, shape.w, bits);
    else
      for (u32 w = 0; w < shape.w; w++) store_bits(bus, v.at(n, c, h, w, what), v.size, bits[w]);
    bits += shape.w;
  });
}

void load_all(Bus &bus, const View &v, const Shape &shape, const char *what, u32 *out) {
  for_each_row(shape, [&](u32 n, u32 c, u32 h) {
    const Span r = v.row(n, c, h, shape.w);
    if (r.ok) bus.load_span(r.addr, r.step, v.size, shape.w, out);
    else
      for (u32 w = 0; w < shape.w; w++) out[w] = load_bits(bus, v.at(n, c, h, w, what), v.size);
    out += shape.w;
  });
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
