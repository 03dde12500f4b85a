// The fully connected matrix product (task 2) and the parallel decompress
// (task 12).
//
// Matrix layout: a matrix of R rows whose rows are spread over C lanes
// (sections) of W elements from the address's start lane s: element (row k,
// column j) lies in lane (s + j / W) % 64 at byte
//     offset + (k * P * rows + ((s + j / W) / 64) * P) + (j % W) * size
// with P = W * size rounded up to 128 bytes and rows = ceil((s + C) / 64).
//
// Fully connected, Y = L x R: Y and R have operand 0's C and W (bits 214, 242);
// L has operand 1's C and W (274, 302) and stores Y rows of K columns, or,
// transposed (bit 61), K rows of Y columns; operand 1's N (258) is the stored
// row count and operand 2's W (358) the filled width of L's last section, so
// the other extent is (C - 1) * W + that width. L may be one constant (bit 79,
// word 19). The bias (operand count 3) is one row in Y's layout, added to every
// row; result add (59) adds to the old Y. Float32: sums in order of k, then the
// bias, then the old Y. 8-bit L and R (signs 64, 65) with a 16-bit bias (sign
// 66): ((old Y << bits 53-57) + sum + bias) shifted right by bits 48-52
// (rounding half up), rectified when bit 60 is set, saturated to Y's width
// (precision 67: 8 or 16 bits) signed when bit 550 is set.
//
// Decompress: in each of the 64 lanes, for i below operand 1's W (302), value i
// of word 20's table (bytes; float32 when the result precision is 2) is written
// at the position named by the 16-bit entry i of word 19 into word 18's
// region; all entries are read before any is written.
#include "chip/engines/bd/conv.h"

namespace zv::chip::bd {
namespace {

struct Matrix {
  u32 addr = 0, sections = 1, width = 1, size = 4, rows = 0;

  u64 at(u32 k, u32 j, const char *what) const {
    View v;
    v.addr = addr;
    v.size = size;
    v.unit = 1;
    const u32 s = (addr >> 19) & (kLanes - 1);
    const i64 pitch = (i64(width) * size + 127) / 128 * 128;
    v.st = Strides{pitch * ((s + sections + kLanes - 1) / kLanes), pitch, 0, size};
    return v.at(k, j / width, 0, j % width, what);
  }
};

}  // namespace

void exec_fc(const BdCommand &cmd, Bus &bus) {
  const u32 yprec = cmd.get(field::kResPrec), lprec = cmd.get(field::kOpd0Prec), rprec = cmd.get(field::kOpd1Prec), bprec = cmd.get(field::kOpd2Prec);
  const bool fp = yprec == kPrecF32;
  const u32 count = cmd.get(field::kOperands);
  if (count != 2 && count != 3) unmodelled(cmd, "operand count " + std::to_string(count));
  const bool bias = count == 3, add = cmd.get(field::kResAdd), trans = cmd.get(field::kFcLTrans);
  const bool lconst = cmd.get(field::kOpd0Const);
  if (fp ? (lprec != kPrecF32 || rprec != kPrecF32 || (bias && bprec != kPrecF32))
         : (lprec != kPrecI8 || rprec != kPrecI8 || (bias && bprec != kPrecI16)))
    unmodelled(cmd, "fully connected operands of these precisions");
  if (!fp && lconst) unmodelled(cmd, "a constant L in a fixed-point product");
  const u32 ysize = fp ? 4 : yprec == kPrecI16 ? 2 : 1;
  if (!fp) prec_bits(yprec, cmd);
  const u32 esize = fp ? 4 : 1;

  const u32 l_rows = cmd.get(field::kOpd0N), l_sec_c = cmd.get(field::kOpd0C), l_sec_w = cmd.get(field::kOpd0W);
  const u32 filled = cmd.get(field::kOpd1W);
  if (l_sec_c == 0 || l_sec_w == 0 || filled == 0 || filled > l_sec_w)
    unmodelled(cmd, "an empty L section or a filled width beyond the section");
  const u32 other = (l_sec_c - 1) * l_sec_w + filled;
  const u32 y_rows = trans ? other : l_rows, k_len = trans ? l_rows : other;
  const Matrix Y{cmd.word(words::kRes), cmd.get(field::kC), cmd.get(field::kW), ysize, y_rows};
  const Matrix L{cmd.word(words::kOpd0), l_sec_c, l_sec_w, esize, l_rows};
  const Matrix R{cmd.word(words::kOpd1), Y.sections, Y.width, esize, k_len};
  const Matrix B{cmd.word(words::kOpd2), Y.sections, Y.width, fp ? 4u : 2u, 1};
  const u32 cols = Y.sections * Y.width;

  bus.report_macs(u64(y_rows) * cols * k_len, esize);
  const bool sl = cmd.get(field::kOpd0Sign), sr = cmd.get(field::kOpd1Sign), sb = cmd.get(field::kOpd2Sign),
             sy = cmd.get(field::kResSign);
  auto value = [&](const Matrix &m, u32 k, u32 j, const char *what, bool is_signed) -> double {
    const u32 raw = load_bits(bus, m.at(k, j, what), m.size);
    return fp ? double(as_float(raw)) : double(sign_extend(raw, m.size * 8, is_signed));
  };
  // Read everything first (Y may be read for result add).
  std::vector<double> l(u64(y_rows) * k_len), r(u64(k_len) * cols), b(bias ? cols : 0), old;
  for (u32 i = 0; i < y_rows; i++)
    for (u32 k = 0; k < k_len; k++)
      l[u64(i) * k_len + k] = lconst ? double(as_float(cmd.word(words::kOpd0)))
                                     : trans ? value(L, k, i, "L", sl) : value(L, i, k, "L", sl);
  for (u32 k = 0; k < k_len; k++)
    for (u32 j = 0; j < cols; j++) r[u64(k) * cols + j] = value(R, k, j, "R", sr);
  for (u32 j = 0; j < b.size(); j++) b[j] = value(B, 0, j, "bias", sb);
  if (add)
    for (u32 i = 0; i < y_rows; i++)
      for (u32 j = 0; j < cols; j++) old.push_back(value(Y, i, j, "Y", sy));

  const bool relu = !fp && cmd.get(field::kFcRelu);
  const u32 rshift = cmd.get(field::kRshift), lshift = cmd.get(field::kShift2);
  // R by columns, so that each sum walks both operands in order.
  std::vector<double> rt(r.size());
  for (u32 k = 0; k < k_len; k++)
    for (u32 j = 0; j < cols; j++) rt[u64(j) * k_len + k] = r[u64(k) * cols + j];
  std::vector<u32> bits;
  for (u32 i = 0; i < y_rows; i++)
    for (u32 j = 0; j < cols; j++) {
      const double *li = &l[u64(i) * k_len], *rj = &rt[u64(j) * k_len];
      if (fp) {
        float sum = 0;
        for (u32 k = 0; k < k_len; k++) sum = sum + float(li[k]) * float(rj[k]);
        if (bias) sum = sum + float(b[j]);
        if (add) sum = float(old[u64(i) * cols + j]) + sum;
        bits.push_back(float_bits(sum));
      } else {
        i64 sum = 0;
        for (u32 k = 0; k < k_len; k++) sum += i64(li[k]) * i64(rj[k]);
        if (bias) sum += i64(b[j]);
        if (add) sum += i64(old[u64(i) * cols + j]) * (i64{1} << lshift);
        bits.push_back(fix_finish(sum, rshift, relu, ysize * 8, sy));
      }
    }
  size_t n = 0;
  for (u32 i = 0; i < y_rows; i++)
    for (u32 j = 0; j < cols; j++) store_bits(bus, Y.at(i, j, "Y"), Y.size, bits[n++]);
}

void exec_decompress(const BdCommand &cmd, Bus &bus) {
  const u32 len = cmd.get(field::kOpd0W);
  const u32 size = cmd.get(field::kResPrec) == kPrecF32 ? 4 : 1;
  const u32 dst = cmd.word(words::kRes) & (kLaneBytes - 1), src = cmd.word(words::kOpd0) & (kLaneBytes - 1),
            table = cmd.word(words::kOpd1) & (kLaneBytes - 1);
  auto lane_at = [&](u32 lane, u64 offset, u32 bytes, const char *what) {
    if (offset + bytes > kLaneBytes)
      fault(std::string("tensor engine: decompress ") + what + " at offset " + std::to_string(offset) +
            " lies outside lane " + std::to_string(lane) + "'s 512 KB; window " + cmd.dump());
    return u64{kLocalTag} + u64{lane} * kLaneBytes + offset;
  };
  std::vector<u32> pos, val;
  for (u32 lane = 0; lane < kLanes; lane++)
    for (u32 i = 0; i < len; i++) {
      pos.push_back(load_bits(bus, lane_at(lane, src + 2 * u64(i), 2, "position"), 2));
      val.push_back(load_bits(bus, lane_at(lane, table + u64(i) * size, size, "value"), size));
    }
  size_t k = 0;
  for (u32 lane = 0; lane < kLanes; lane++)
    for (u32 i = 0; i < len; i++, k++) store_bits(bus, lane_at(lane, dst + u64(pos[k]) * size, size, "result"), size, val[k]);
}

}  // namespace zv::chip::bd
