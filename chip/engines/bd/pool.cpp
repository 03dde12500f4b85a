// Pooling and depthwise convolution (task 1). Sub-op 4 is max pooling; sub-op
// 1 with a constant operand 2 (bit 80) is average pooling: the window sum
// (padding and inserted zeros count as 0) times the float32 scale of word 20,
// or for 8-bit data times the 8-bit multiplier of word 20, shifted right by the
// right shift (rounding half up); sub-op 1 with weights is the depthwise
// convolution, channel c by its own kh x kw kernel (a channel's weights
// kh * kw elements apart per lane row) plus its bias.
//
// Max pooling takes the input elements of the window and the inserted zeros,
// never the padding (a window of padding only gives 0). Float32 data (output
// precision 2), or 8-bit 4N input with an 8-bit (or, depthwise, 16-bit) 4N
// result; the input is always in the default layout. Fixed-point results are
// shifted, rectified when bits 60-61 are set and saturated: to the input's
// sign for pooling, for depthwise signed when any of input, weights or bias is.
#include <limits>

#include "chip/engines/bd/conv.h"

namespace zv::chip::bd {

void exec_pool(const BdCommand &cmd, Bus &bus) {
  const Shape out = op_shape(cmd);
  const Window win = Window::decode(cmd);
  const u32 sub = cmd.sub_op();
  const bool wconst = cmd.get(field::kOpd1Const);
  const bool is_max = sub == 4, is_avg = sub == 1 && wconst, is_dw = sub == 1 && !wconst;
  if (!is_max && sub != 1) unmodelled(cmd, "pooling sub-op " + std::to_string(sub));
  const u32 oprec = cmd.get(field::kResPrec), iprec = cmd.get(field::kOpd0Prec);
  const bool fp = oprec == kPrecF32;
  if (fp != (iprec == kPrecF32)) unmodelled(cmd, "pooling between float32 and fixed-point data");
  if (!fp && (iprec != kPrecI8 || (!is_dw && oprec != kPrecI8)))
    unmodelled(cmd, "fixed-point pooling other than on 8-bit data");
  const bool si = cmd.get(field::kOpd0Sign), sw = cmd.get(field::kOpd1Sign), sb = cmd.get(field::kOpd2Sign);
  const bool bias = is_dw && cmd.get(field::kOperands) == 3;
  const bool relu = !fp && cmd.get(field::kOutMode) != 0;
  const u32 rshift = fp ? 0 : cmd.get(field::kRshift);
  const u32 out_bits = fp ? 32 : prec_bits(oprec, cmd);
  const bool out_signed = !relu && (is_dw ? (si || sw || (bias && sb)) : si);

  const Shape ishape{out.n, out.c, win.ih, win.iw};
  const View iv = fp ? f32_tensor(cmd.word(words::kOpd0), ishape) : fix_tensor(cmd.word(words::kOpd0), ishape, kPrecI8, cmd);
  const View ov = fp ? f32_tensor(cmd.word(words::kRes), out) : fix_tensor(cmd.word(words::kRes), out, oprec, cmd);

  // Inputs as float32 or integers.
  std::vector<float> fin;
  std::vector<i64> xin;
  {
    std::vector<u32> raw(ishape.count());
    load_all(bus, iv, ishape, "input", raw.data());
    for (u32 r : raw) {
      if (fp) fin.push_back(as_float(r));
      else xin.push_back(sign_extend(r, 8, si));
    }
  }
  auto in_index = [&](u32 n, u32 c, i64 y, i64 x) { return ((u64(n) * out.c + c) * win.ih + u64(y)) * win.iw + u64(x); };

  // Depthwise weights and bias: per channel in its lane.
  std::vector<float> fw, fb;
  std::vector<i64> xw, xb;
  const u32 taps = win.kh * win.kw;
  bus.report_macs(out.count() * taps, fp ? 4 : 1);  // one product or comparison per window tap
  if (is_dw) {
    View wv;
    wv.addr = cmd.word(words::kOpd1);
    wv.size = wv.unit = fp ? 4 : 1;
    wv.st = Strides{0, taps, 0, 1};
    View bv;
    bv.addr = cmd.word(words::kOpd2);
    bv.size = bv.unit = fp ? 4 : 2;
    bv.st = Strides{0, cmd.get(field::kOpd2CStride), 0, 0};
    for (u32 c = 0; c < out.c; c++) {
      for (u32 k = 0; k < taps; k++) {
        const u32 raw = load_bits(bus, wv.at(0, c, 0, k, "weight"), wv.size);
        if (fp) fw.push_back(as_float(raw));
        else xw.push_back(sign_extend(raw, 8, sw));
      }
      if (bias) {
        const u32 raw = load_bits(bus, bv.at(0, c, 0, 0, "bias"), bv.size);
        if (fp) fb.push_back(as_float(raw));
        else xb.push_back(sign_extend(raw, 16, sb));
      }
    }
  }
  const float scale = as_float(cmd.word(words::kOpd1));
  const i64 multiplier = cmd.word(words::kOpd1) & 0xff;

  std::vector<u32> bits;
  bits.reserve(out.count());
  for_each(out, [&](u32 n, u32 c, u32 oy, u32 ox) {
    float fsum = 0, fmax = -std::numeric_limits<float>::infinity();
    i64 xsum = 0, xmax = std::numeric_limits<i64>::min();
    bool any = false;
    for (u32 r = 0; r < win.kh; r++)
      for (u32 q = 0; q < win.kw; q++) {
        const i64 y = win.y_at(oy, r), x = win.x_at(ox, q);
        const i64 pad_h = i64(win.ih - 1) * (win.ins_h + 1) + 1, pad_w = i64(win.iw - 1) * (win.ins_w + 1) + 1;
        if (y < 0 || x < 0 || y >= pad_h || x >= pad_w) continue;  // padding
        const i64 sy = win.row(y), sx = win.col(x);
        const bool inserted = sy < 0 || sx < 0;
        const float fv = inserted || !fp ? 0.0f : fin[in_index(n, c, sy, sx)];
        const i64 xv = inserted || fp ? 0 : xin[in_index(n, c, sy, sx)];
        any = true;
        if (is_max) {
          if (fp && fv > fmax) fmax = fv;
          if (!fp && xv > xmax) xmax = xv;
        } else if (is_avg) {
          fsum = fsum + fv;
          xsum += xv;
        } else {
          fsum = fsum + fv * (fp ? fw[c * taps + r * win.kw + q] : 0.0f);
          xsum += xv * (fp ? 0 : xw[c * taps + r * win.kw + q]);
        }
      }
    if (fp) {
      float v = is_max ? (any ? fmax : 0.0f) : is_avg ? fsum * scale : fsum;
      if (bias) v = v + fb[c];
      bits.push_back(float_bits(v));
    } else {
      i64 v = is_max ? (any ? xmax : 0) : is_avg ? xsum * multiplier : xsum;
      if (bias) v += xb[c];
      bits.push_back(fix_finish(v, rshift, relu, out_bits, out_signed));
    }
  });
  store_all(bus, ov, out, "output", bits.data());
}

}  // namespace zv::chip::bd
