// Tensor arithmetic (task type 3): R = A op B on float32 or int32 data, the
// three-input compare-assign and equal-assign, the copy, and the fixed-point
// form on 8-bit and 16-bit data.
//
// Descriptor fields read: sub-op 41-45, operand count 46-47, right shift 48-52,
// second shift 53-57, shift type 58, float mode 60 (0: fixed point), signs 64,
// 65 and 550, precisions 67-78, constant flags 79-81, stride modes 82-89, the
// shape 198-257, the fixed-point shift fields 374-397, strides 398-511 and
// words 22-27, B's broadcast along N 552, addresses words 18-21 (word 21 only
// for the three-input ops).
#include <cmath>
#include <limits>

#include "chip/engines/bd/eltwise.h"
#include "chip/engines/bd/operand.h"

namespace zv::chip::bd {
namespace {

enum Op : u32 {
  kMul = 0, kMac = 1, kAdd = 2, kSub = 3, kMax = 4, kMin = 5, kShift = 6, kAnd = 7, kOr = 8, kXor = 9,
  kCmpAssign = 10, kEqAssign = 11, kDiv = 12, kCopy = 19,
};

constexpr u32 kPrecInt8 = 0, kPrecFp32 = 2, kPrecInt16 = 3, kPrecInt32 = 4;

// The fields and words of one operand slot.
struct Slot {
  const char *name;
  Field mode, nstride, cstride;
  u32 hw_word, addr_word;
};
constexpr Slot kR{"result", field::kResStrideMode, field::kResNStride, field::kResCStride, words::kResHStride,
                  words::kRes};
constexpr Slot kA{"operand 0", field::kOpd0StrideMode, field::kOpd0NStride, field::kOpd0CStride,
                  words::kOpd0HStride, words::kOpd0};
constexpr Slot kB{"operand 1", field::kOpd1StrideMode, field::kOpd1NStride, field::kOpd1CStride,
                  words::kOpd1HStride, words::kOpd1};

Strides given_strides(const BdCommand &cmd, const Slot &s) {
  return Strides{cmd.get(s.nstride), cmd.get(s.cstride),
                 static_cast<std::int32_t>(cmd.word(s.hw_word)), static_cast<std::int32_t>(cmd.word(s.hw_word + 1))};
}

// A local operand in 32-bit elements (float32 and int32).
View word_view(const BdCommand &cmd, const Slot &s, const Shape &shape) {
  View v;
  v.addr = cmd.word(s.addr_word);
  v.st = cmd.get(s.mode) == 0 ? default_strides(shape, v.addr) : given_strides(cmd, s);
  return v;
}

// A local operand of 8-bit or 16-bit fixed-point data: four or two batch items
// per word; a zero batch stride broadcasts item 0.
View fix_view(const BdCommand &cmd, const Slot &s, const Shape &shape, u32 prec) {
  View v;
  v.addr = cmd.word(s.addr_word);
  v.size = prec == kPrecInt8 ? 1 : 2;
  v.pack = 4 / v.size;
  const bool given = cmd.get(s.mode) != 0;
  v.st = given ? given_strides(cmd, s) : default_strides(shape, v.addr);
  v.item0 = given && v.st.n == 0;
  return v;
}

// ---- Float32 and int32 ----

u32 int_shift(u32 a, std::int32_t count, bool arithmetic) {
  const std::int32_t sa = static_cast<std::int32_t>(a);
  if (count >= 0) return count >= 32 ? 0 : a << count;
  const u32 k = count <= -32 ? 32u : static_cast<u32>(-count);
  if (arithmetic) return static_cast<u32>(k >= 32 ? (sa < 0 ? -1 : 0) : sa >> k);
  return k >= 32 ? 0 : a >> k;
}

u32 float_op(u32 op, u32 a, u32 b, u32 r, const BdCommand &cmd) {
  const float x = as_float(a), y = as_float(b);
  switch (op) {
    case kMul: return float_bits(x * y);
    case kMac: return float_bits(as_float(r) + x * y);
    case kAdd: return float_bits(x + y);
    case kSub: return float_bits(x - y);
    case kMax: return x > y ? a : b;
    case kMin: return x < y ? a : b;
    case kDiv: return float_bits(x / y);
    default: unmodelled(cmd, "float32 sub-op " + std::to_string(op));
  }
}

u32 int32_op(u32 op, u32 a, u32 b, u32 r, const BdCommand &cmd) {
  const std::int32_t x = static_cast<std::int32_t>(a), y = static_cast<std::int32_t>(b);
  switch (op) {
    case kMul: return a * b;
    case kMac: return r + a * b;
    case kAdd: return a + b;
    case kSub: return a - b;
    case kMax: return x > y ? a : b;
    case kMin: return x < y ? a : b;
    case kDiv:
      if (y == 0) fault("tensor engine: int32 division by zero; window " + cmd.dump());
      if (x == std::numeric_limits<std::int32_t>::min() && y == -1) return a;
      return static_cast<u32>(x / y);
    default: unmodelled(cmd, "int32 sub-op " + std::to_string(op));
  }
}

void exec_float_int(const BdCommand &cmd, Bus &bus) {
  const u32 op = cmd.sub_op();
  const u32 count = cmd.get(field::kOperands);
  const u32 prec = cmd.get(field::kResPrec);
  const Shape shape = op_shape(cmd);
  const bool a_const = cmd.get(field::kOpd0Const), b_const = cmd.get(field::kOpd1Const);
  const bool three = op == kCmpAssign || op == kEqAssign;
  if (prec != kPrecFp32 && prec != kPrecInt32) unmodelled(cmd, "result precision " + std::to_string(prec));
  if (cmd.get(field::kOpd0Prec) != prec || (count >= 2 && cmd.get(field::kOpd1Prec) != prec))
    unmodelled(cmd, "operands of another precision than the result's");
  if (op == kCopy ? count != 1 : three ? count != 3 : count != 2)
    unmodelled(cmd, "sub-op " + std::to_string(op) + " with operand count " + std::to_string(count));
  if (three && !cmd.get(field::kOpd2Const)) unmodelled(cmd, "a select value that is not a constant");

  const View rv = word_view(cmd, kR, shape);
  const View av = word_view(cmd, kA, shape);
  const View bv = word_view(cmd, kB, shape);
  const u32 a_value = cmd.word(words::kOpd0), b_value = cmd.word(words::kOpd1);
  const u32 select = three ? cmd.word(words::kOpd2) : 0;
  const bool arithmetic = cmd.get(field::kShiftType);
  const bool reads_r = op == kMac;

  // Read every input first, then write: operands may overlap the result.
  std::vector<u32> out;
  out.reserve(shape.count());
  Read reads[3];
  int k = 0, ia = -1, ib = -1, ir = -1;
  if (!a_const) ia = k, reads[k++] = Read{&av, "operand 0"};
  if (op != kCopy && !b_const) ib = k, reads[k++] = Read{&bv, "operand 1"};
  if (reads_r) ir = k, reads[k++] = Read{&rv, "result"};
  read_rows(bus, shape, reads, k, [&](u32, u32, u32, u32 *const *rows) {
   for (u32 w = 0; w < shape.w; w++) {
    const u32 a = ia < 0 ? a_value : rows[ia][w];
    const u32 b = op == kCopy ? 0 : ib < 0 ? b_value : rows[ib][w];
    const u32 r = ir < 0 ? 0 : rows[ir][w];
    u32 y;
    switch (op) {
      case kCopy: y = a; break;
      case kAnd: y = a & b; break;
      case kOr: y = a | b; break;
      case kXor: y = a ^ b; break;
      case kShift: y = int_shift(a, static_cast<std::int32_t>(b), arithmetic); break;
      case kEqAssign: y = a == b ? select : 0; break;
      case kCmpAssign:
        y = (prec == kPrecFp32 ? as_float(a) > as_float(b)
                               : static_cast<std::int32_t>(a) > static_cast<std::int32_t>(b))
                ? select
                : 0;
        break;
      default: y = prec == kPrecFp32 ? float_op(op, a, b, r, cmd) : int32_op(op, a, b, r, cmd);
    }
    out.push_back(y);
   }
  });
  store_all(bus, rv, shape, "result", out.data());
}

// ---- Fixed point ----

i64 saturate(i64 v, u32 bits, bool is_signed) {
  const i64 lo = is_signed ? -(i64{1} << (bits - 1)) : 0;
  const i64 hi = is_signed ? (i64{1} << (bits - 1)) - 1 : (i64{1} << bits) - 1;
  return v < lo ? lo : v > hi ? hi : v;
}

i64 extend(u32 raw, u32 bits, bool is_signed) {
  const u32 mask = (1u << bits) - 1;
  raw &= mask;
  if (is_signed && (raw >> (bits - 1))) return i64(raw) - (i64{1} << bits);
  return raw;
}

// Right shift rounding half up (toward +infinity on ties).
i64 round_shift(i64 v, u32 shift) {
  if (shift == 0) return v;
  const i64 half = i64{1} << (shift - 1);
  const i64 q = v + half;
  return q >= 0 ? q >> shift : -((-q + (i64{1} << shift) - 1) >> shift);
}

i64 shift_by(i64 v, i64 count) {
  // Operands are at most 16 bits wide: beyond 32 places every non-zero value
  // saturates anyway.
  if (count >= 32) return v == 0 ? 0 : v < 0 ? -(i64{1} << 40) : i64{1} << 40;
  if (count >= 0) return v * (i64{1} << count);
  const i64 k = -count;
  if (k >= 32) return v < 0 ? -1 : 0;
  return v >= 0 ? v >> k : -((-v + (i64{1} << k) - 1) >> k);
}

void exec_fixed(const BdCommand &cmd, Bus &bus) {
  const u32 op = cmd.sub_op();
  const u32 count = cmd.get(field::kOperands);
  const Shape shape = op_shape(cmd);
  const u32 rp = cmd.get(field::kResPrec), ap = cmd.get(field::kOpd0Prec), bp = cmd.get(field::kOpd1Prec);
  for (u32 p : {rp, ap, bp})
    if (p != kPrecInt8 && p != kPrecInt16) unmodelled(cmd, "fixed-point precision " + std::to_string(p));
  for (u32 i = 0; i < 6; i++)
    if (cmd.get(field::fix_shift(i)) != 0) unmodelled(cmd, "a non-zero fixed-point shift field");
  if (op == kCmpAssign || op == kEqAssign || op == kDiv || (op > kDiv && op != kCopy))
    unmodelled(cmd, "fixed-point sub-op " + std::to_string(op));
  if ((op == kCopy) != (count == 1)) unmodelled(cmd, "sub-op " + std::to_string(op) + " with operand count " + std::to_string(count));

  const bool a_sign = cmd.get(field::kOpd0Sign), b_sign = cmd.get(field::kOpd1Sign), r_sign = cmd.get(field::kResSign);
  const bool a_const = cmd.get(field::kOpd0Const), b_const = cmd.get(field::kOpd1Const);
  const u32 abits = ap == kPrecInt8 ? 8 : 16, bbits = bp == kPrecInt8 ? 8 : 16, rbits = rp == kPrecInt8 ? 8 : 16;
  const u32 rshift = cmd.get(field::kRshift), shift2 = cmd.get(field::kShift2);
  const bool out_signed = op == kCopy ? a_sign : (a_sign || b_sign);

  const View rv = fix_view(cmd, kR, shape, rp);
  const View av = fix_view(cmd, kA, shape, ap);
  View bv = fix_view(cmd, kB, shape, bp);
  if (cmd.get(field::kOpd1BcastN)) bv.item0 = true;

  std::vector<u32> out;
  out.reserve(shape.count());
  Read reads[3];
  int k = 0, ia = -1, ib = -1, ir = -1;
  if (!a_const) ia = k, reads[k++] = Read{&av, "operand 0"};
  if (op != kCopy && !b_const) ib = k, reads[k++] = Read{&bv, "operand 1"};
  if (op == kMac) ir = k, reads[k++] = Read{&rv, "result"};
  read_rows(bus, shape, reads, k, [&](u32, u32, u32, u32 *const *rows) {
   for (u32 w = 0; w < shape.w; w++) {
    const u32 araw = ia < 0 ? cmd.word(words::kOpd0) : rows[ia][w];
    const u32 braw = op == kCopy ? 0 : ib < 0 ? cmd.word(words::kOpd1) : rows[ib][w];
    const i64 a = extend(araw, abits, a_sign), b = extend(braw, bbits, b_sign);
    const u32 rmask = (1u << rbits) - 1;
    i64 v;
    switch (op) {
      case kAnd: out.push_back((araw & braw) & rmask); continue;
      case kOr: out.push_back((araw | braw) & rmask); continue;
      case kXor: out.push_back((araw ^ braw) & rmask); continue;
      case kMul: v = a * b; break;
      case kMac: {
        const i64 r = extend(rows[ir][w], rbits, r_sign);
        v = r * (i64{1} << shift2) + a * b;
        break;
      }
      case kAdd: v = a + b; break;
      case kSub: v = a - b; break;
      case kMax: v = a > b ? a : b; break;
      case kMin: v = a < b ? a : b; break;
      case kShift: v = shift_by(a, b); break;
      default: v = a;  // copy
    }
    v = saturate(round_shift(v, rshift), rbits, out_signed);
    out.push_back(static_cast<u32>(v) & rmask);
   }
  });
  store_all(bus, rv, shape, "result", out.data());
}

}  // namespace

void exec_tensor_arith(const BdCommand &cmd, Bus &bus) {
  if (cmd.get(field::kFloatMode)) exec_float_int(cmd, bus);
  else exec_fixed(cmd, bus);
}

}  // namespace zv::chip::bd
