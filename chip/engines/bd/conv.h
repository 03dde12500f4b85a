// The tensor engine's convolution-unit kinds: convolution and Winograd (task 0),
// pooling and depthwise convolution (task 1), the fully connected matrix
// product (task 2) and the parallel decompress (task 12).
//
// Operands (all tasks): word 18 operand 0 the output, word 19 operand 1 the
// input (L for a matrix product), word 20 operand 2 the weights (R; the weight
// constant, pooling scale or multiplier), word 21 operand 3 the bias. Shapes:
// operand 0 N C H W at bits 198/214/226/242, operand 1 at 258/274/286/302,
// operand 2 H W at 342/358. Window (word 3-4): zero insertion 94/98, dilation
// minus one 102/106, pads 110/114/118/122, strides 126/130.
#pragma once

#include <string>
#include <vector>

#include "chip/engines/bd/operand.h"

namespace zv::chip::bd {

void exec_conv(const BdCommand &cmd, Bus &bus);        // task 0
void exec_pool(const BdCommand &cmd, Bus &bus);        // task 1
void exec_fc(const BdCommand &cmd, Bus &bus);          // task 2
void exec_decompress(const BdCommand &cmd, Bus &bus);  // task 12

// Registers the kinds above in the tensor engine's table.
void add_conv_kinds(KindTable<BdCommand> &kinds);

// ---- Shared by the kinds ----

constexpr u32 kPrecI8 = 0, kPrecF32 = 2, kPrecI16 = 3;

// The sliding window of a convolution or pooling command.
struct Window {
  u32 kh = 1, kw = 1;
  u32 ins_h = 0, ins_w = 0;  // zeros inserted between input rows, columns
  u32 dh = 1, dw = 1;        // dilations
  u32 pad_t = 0, pad_b = 0, pad_l = 0, pad_r = 0;
  u32 stride_h = 1, stride_w = 1;
  u32 ih = 1, iw = 1;
  static Window decode(const BdCommand &cmd);
  // Input row (column) under padded and zero-inserted coordinate y (x), or -1
  // where the window sees padding or an inserted zero.
  i64 row(i64 y) const { return source(y, ins_h, ih); }
  i64 col(i64 x) const { return source(x, ins_w, iw); }
  // Padded coordinate of output row oy, kernel row r (and columns).
  i64 y_at(u32 oy, u32 r) const { return i64(oy) * stride_h + i64(r) * dh - pad_t; }
  i64 x_at(u32 ox, u32 q) const { return i64(ox) * stride_w + i64(q) * dw - pad_l; }

 private:
  static i64 source(i64 v, u32 ins, u32 extent) {
    if (v < 0 || v % (ins + 1) != 0) return -1;
    const i64 s = v / (ins + 1);
    return s < extent ? s : -1;
  }
};

// Element data views of the layouts: float32 (one word), 8-bit 4N (four batch
// items per word), 16-bit 4N (four items per two words). `given` strides are
// in words; otherwise the default EU-aligned layout of `shape`.
View f32_tensor(u32 addr, const Shape &shape);
View fix_tensor(u32 addr, const Shape &shape, u32 prec, const BdCommand &cmd);
View with_strides(View v, const Strides &st);

// A fixed-point result: rounded right shift (half up), ReLU, then saturation to
// `bits` with or without sign; returned as the raw bits of that width.
u32 fix_finish(i64 acc, u32 rshift, bool relu, u32 bits, bool is_signed);
i64 sign_extend(u32 raw, u32 bits, bool is_signed);
u32 prec_bits(u32 prec, const BdCommand &cmd);

}  // namespace zv::chip::bd
