// Convolution (task 0): direct convolution with padding, stride, dilation, zero
// insertion, kernel rotation, bias and result add, in float32 or 8-bit with a
// 16-bit bias and an 8-bit or 16-bit result; and Winograd F(2x2, 3x3) on
// pre-transformed weights (word 1 bit 30).
//
// Fields read: bias operand 46-47 (3: present), right shift 48-52, left shift
// of the old result 53-57, result add 59, ReLU 60-61 (fixed point), Winograd
// 62, kernel rotation 63, signs 64-66 (input, weights, bias), precisions 67-78
// (output, input, weights, bias), weight constant 80, output stride mode 82-83,
// input stride mode 85-86, weight mode 88-89, the window, the shapes, strides
// 398-549 and words 22-29 where the modes say so, addresses words 18-21.
#include "chip/engines/bd/conv.h"

#include <cstring>

namespace zv::chip::bd {

Window Window::decode(const BdCommand &cmd) {
  Window w;
  w.kh = cmd.get(field::kOpd1H);
  w.kw = cmd.get(field::kOpd1W);
  w.ins_w = cmd.get(field::kInsW);
  w.ins_h = cmd.get(field::kInsH);
  w.dw = cmd.get(field::kDwMinus1) + 1;
  w.dh = cmd.get(field::kDhMinus1) + 1;
  w.pad_t = cmd.get(field::kPadTop);
  w.pad_b = cmd.get(field::kPadBottom);
  w.pad_l = cmd.get(field::kPadLeft);
  w.pad_r = cmd.get(field::kPadRight);
  w.stride_w = cmd.get(field::kStrideW);
  w.stride_h = cmd.get(field::kStrideH);
  w.ih = cmd.get(field::kOpd0H);
  w.iw = cmd.get(field::kOpd0W);
  if (w.stride_h == 0 || w.stride_w == 0) unmodelled(cmd, "a window stride of 0");
  return w;
}

View f32_tensor(u32 addr, const Shape &shape) {
  View v;
  v.addr = addr;
  v.st = default_strides(shape, addr);
  return v;
}

View fix_tensor(u32 addr, const Shape &shape, u32 prec, const BdCommand &cmd) {
  View v;
  v.addr = addr;
  v.pack = 4;
  v.unit = 4;
  if (prec == kPrecI8) {
    v.size = 1;
    v.st = default_strides(shape, addr);
  } else if (prec == kPrecI16) {
    // Four 16-bit items of an element fill two words.
    v.size = 2;
    Shape twice = shape;
    twice.w *= 2;
    v.st = default_strides(twice, addr);
    v.st.w = 2;
  } else {
    unmodelled(cmd, "fixed-point precision " + std::to_string(prec));
  }
  return v;
}

View with_strides(View v, const Strides &st) {
  v.st = st;
  return v;
}

u32 prec_bits(u32 prec, const BdCommand &cmd) {
  if (prec == kPrecI8) return 8;
  if (prec == kPrecI16) return 16;
  unmodelled(cmd, "fixed-point precision " + std::to_string(prec));
}

i64 sign_extend(u32 raw, u32 bits, bool is_signed) {
  const u64 mask = (u64{1} << bits) - 1;
  const u64 v = raw & mask;
  if (is_signed && (v >> (bits - 1))) return i64(v) - (i64{1} << bits);
  return i64(v);
}

u32 fix_finish(i64 acc, u32 rshift, bool relu, u32 bits, bool is_signed) {
  if (rshift > 0) {
    // Half up: floor((acc + 2^(s-1)) / 2^s).
    const i64 q = acc + (i64{1} << (rshift - 1));
    acc = q >= 0 ? q >> rshift : -((-q + (i64{1} << rshift) - 1) >> rshift);
  }
  if (relu && acc < 0) acc = 0;
  const i64 lo = is_signed ? -(i64{1} << (bits - 1)) : 0;
  const i64 hi = is_signed ? (i64{1} << (bits - 1)) - 1 : (i64{1} << bits) - 1;
  acc = acc < lo ? lo : acc > hi ? hi : acc;
  return u32(u64(acc) & ((u64{1} << bits) - 1));
}

namespace {

Strides given(const BdCommand &cmd, Field nstride, Field cstride, u32 hword) {
  return Strides{cmd.get(nstride), cmd.get(cstride), static_cast<std::int32_t>(cmd.word(hword)),
                 static_cast<std::int32_t>(cmd.word(hword + 1))};
}

// The operands of a convolution command, decoded.
struct Conv {
  Shape out;
  u32 ic = 1;
  Window win;
  bool fp = true, bias = false, add = false, rotate = false, relu = false;
  bool si = false, sw = false, sb = false, out_signed = false;
  u32 out_bits = 32, rshift = 0, lshift = 0;
  bool wconst = false;
  u32 wconst_value = 0;
  View in, weight, bias_v, outv;
};

u32 ceil_div(u32 a, u32 b) { return (a + b - 1) / b; }

Conv decode(const BdCommand &cmd) {
  Conv c;
  c.out = op_shape(cmd);
  c.ic = cmd.get(field::kOpd0C);
  c.win = Window::decode(cmd);
  const u32 oprec = cmd.get(field::kResPrec), iprec = cmd.get(field::kOpd0Prec), wprec = cmd.get(field::kOpd1Prec), bprec = cmd.get(field::kOpd2Prec);
  const u32 bias_field = cmd.get(field::kOperands);
  if (bias_field != 2 && bias_field != 3) unmodelled(cmd, "operand count " + std::to_string(bias_field));
  c.bias = bias_field == 3;
  c.add = cmd.get(field::kResAdd);
  c.rotate = cmd.get(field::kKernelFlag);
  c.fp = oprec == kPrecF32;
  if (c.fp) {
    if (iprec != kPrecF32 || wprec != kPrecF32 || (c.bias && bprec != kPrecF32))
      unmodelled(cmd, "a float32 result from operands of other precisions");
  } else {
    if (iprec != kPrecI8 || wprec != kPrecI8 || (c.bias && bprec != kPrecI16))
      unmodelled(cmd, "fixed-point operands other than 8-bit input and weights and a 16-bit bias");
    c.out_bits = prec_bits(oprec, cmd);
    c.relu = cmd.get(field::kOutMode) != 0;
    c.si = cmd.get(field::kOpd0Sign);
    c.sw = cmd.get(field::kOpd1Sign);
    c.sb = cmd.get(field::kOpd2Sign);
    c.out_signed = !c.relu && (c.si || c.sw || (c.bias && c.sb));
    c.rshift = cmd.get(field::kRshift);
    c.lshift = cmd.get(field::kShift2);
  }

  // Input: default layout or the strides given.
  const Shape ishape{c.out.n, c.ic, c.win.ih, c.win.iw};
  const u32 imode = cmd.get(field::kOpd0StrideMode);
  c.in = c.fp ? f32_tensor(cmd.word(words::kOpd0), ishape) : fix_tensor(cmd.word(words::kOpd0), ishape, kPrecI8, cmd);
  if (imode == 3)
    c.in.st = given(cmd, field::kOpd0NStride, field::kOpd0CStride, words::kOpd0HStride);
  else if (imode != 0)
    unmodelled(cmd, "input stride mode " + std::to_string(imode));

  // Output: default layout or the strides given.
  c.outv = c.fp ? f32_tensor(cmd.word(words::kRes), c.out) : fix_tensor(cmd.word(words::kRes), c.out, oprec, cmd);
  const u32 omode = cmd.get(field::kResStrideMode);
  if (omode == 3)
    c.outv.st = given(cmd, field::kResNStride, field::kResCStride, words::kResHStride);
  else if (omode != 0)
    unmodelled(cmd, "output stride mode " + std::to_string(omode));

  c.wconst = cmd.get(field::kOpd1Const);
  c.wconst_value = cmd.word(words::kOpd1);

  // Bias: one value per output channel in its lane, lane rows `c stride`
  // elements apart.
  c.bias_v.addr = cmd.word(words::kOpd2);
  c.bias_v.size = c.fp ? 4 : 2;
  c.bias_v.unit = c.bias_v.size;
  c.bias_v.st = Strides{0, cmd.get(field::kOpd2CStride), 0, 0};
  return c;
}

// Weights of the direct convolution: input channels in groups (two float32 per
// 8 bytes, four bytes per word), strides counting groups.
View weight_view(const BdCommand &cmd, const Conv &c) {
  View v;
  v.addr = cmd.word(words::kOpd1);
  const u32 group = c.fp ? 2 : 4;
  v.pack = group;
  v.size = c.fp ? 4 : 1;
  v.unit = c.fp ? 8 : 4;
  const u32 mode = cmd.get(field::kOpd1StrideMode);
  if (mode == 1) {
    const u32 g = ceil_div(c.ic, group);
    v.st = Strides{1, i64(c.win.kh) * c.win.kw * g, i64(c.win.kw) * g, g};
  } else if (mode == 3) {
    v.st = given(cmd, field::kOpd1NStride, field::kOpd1CStride, words::kOpd1HStride);
  } else {
    unmodelled(cmd, "weight mode " + std::to_string(mode));
  }
  return v;
}

// Pre-transformed Winograd weights: 16 values per (input, output) channel;
// float32: the input channels' 64-byte blocks one after another per lane row;
// 8-bit: groups of four input channels, each of 16 words.
View winograd_weight_view(const BdCommand &cmd, const Conv &c) {
  View v;
  v.addr = cmd.word(words::kOpd1);
  if (c.fp) {
    v.st = Strides{16, i64(c.ic) * 16, 0, 1};
  } else {
    v.pack = 4;
    v.size = 1;
    v.st = Strides{16, i64(ceil_div(c.ic, 4)) * 16, 0, 1};
  }
  return v;
}

// Values read once into plain arrays: input (n, i, y, x), weights (o, i, k).
template <class T>
struct Operands {
  std::vector<T> in, weight, bias, old;
};

template <class T>
T value_of(u32 raw, const View &v, bool is_signed) {
  if constexpr (std::is_same_v<T, float>) {
    (void)v;
    (void)is_signed;
    return as_float(raw);
  } else {
    return sign_extend(raw, v.size * 8, is_signed);
  }
}

template <class T>
T read_value(Bus &bus, const View &v, u64 addr, bool fp, bool is_signed) {
  (void)fp;
  return value_of<T>(load_bits(bus, addr, v.size), v, is_signed);
}

// Weight elements (i, ch, r, 0..count-1), appended to `out`.
template <class T>
void read_weight_row(Bus &bus, const View &wv, u32 i, u32 ch, u32 r, u32 count, bool is_signed, std::vector<T> &out) {
  const Span row = wv.row(i, ch, r, count);
  u32 raw[64];
  if (row.ok && count <= 64) {
    bus.load_span(row.addr, row.step, wv.size, count, raw);
    for (u32 q = 0; q < count; q++) out.push_back(value_of<T>(raw[q], wv, is_signed));
    return;
  }
  for (u32 q = 0; q < count; q++) out.push_back(read_value<T>(bus, wv, wv.at(i, ch, r, q, "weight"), false, is_signed));
}

template <class T>
void read_input(Bus &bus, const Conv &c, Operands<T> &o) {
  const Shape shape{c.out.n, c.ic, c.win.ih, c.win.iw};
  std::vector<u32> raw(shape.count());
  load_all(bus, c.in, shape, "input", raw.data());
  o.in.reserve(raw.size());
  for (u32 r : raw) o.in.push_back(value_of<T>(r, c.in, c.si));
}

template <class T>
void read_bias_old(Bus &bus, const Conv &c, Operands<T> &o) {
  if (c.bias)
    for (u32 ch = 0; ch < c.out.c; ch++)
      o.bias.push_back(read_value<T>(bus, c.bias_v, c.bias_v.at(0, ch, 0, 0, "bias"), c.fp, c.sb));
  if (c.add) {
    std::vector<u32> raw(c.out.count());
    load_all(bus, c.outv, c.out, "output", raw.data());
    o.old.reserve(raw.size());
    for (u32 r : raw) o.old.push_back(value_of<T>(r, c.outv, c.out_signed));
  }
}

// Writes every output element: value + bias (+ old), finished for fixed point.
template <class T>
void write_output(Bus &bus, const Conv &c, const Operands<T> &o, const std::vector<T> &acc) {
  std::vector<u32> bits;
  bits.reserve(acc.size());
  size_t i = 0;
  for_each(c.out, [&](u32, u32 ch, u32, u32) {
    T v = acc[i];
    if (c.bias) v = v + o.bias[ch];
    if constexpr (std::is_same_v<T, float>) {
      if (c.add) v = o.old[i] + v;
      bits.push_back(float_bits(v));
    } else {
      if (c.add) v += o.old[i] * (i64{1} << c.lshift);
      bits.push_back(fix_finish(v, c.rshift, c.relu, c.out_bits, c.out_signed));
    }
    i++;
  });
  store_all(bus, c.outv, c.out, "output", bits.data());
}

template <class T>
T weight_const(const Conv &c) {
  if constexpr (std::is_same_v<T, float>)
    return as_float(c.wconst_value);
  else
    return sign_extend(c.wconst_value, 8, c.sw);
}

template <class T>
void direct(const BdCommand &cmd, Bus &bus, const Conv &c) {
  Operands<T> o;
  read_input(bus, c, o);
  const Window &win = c.win;
  const u32 taps = win.kh * win.kw;
  if (!c.wconst) {
    const View wv = weight_view(cmd, c);
    o.weight.reserve(u64(c.out.c) * c.ic * taps);
    for (u32 ch = 0; ch < c.out.c; ch++)
      for (u32 i = 0; i < c.ic; i++)
        for (u32 r = 0; r < win.kh; r++) read_weight_row(bus, wv, i, ch, r, win.kw, c.sw, o.weight);
  }
  read_bias_old(bus, c, o);
  const T wk = weight_const<T>(c);
  // The input row (column) under each output row (column) and kernel row
  // (column), -1 for padding or an inserted zero, and the weight of each tap
  // (a rotated kernel is applied upside down and mirrored): worked out once.
  std::vector<i64> rows(u64(c.out.h) * win.kh), cols(u64(c.out.w) * win.kw);
  for (u32 oy = 0; oy < c.out.h; oy++)
    for (u32 r = 0; r < win.kh; r++) rows[u64(oy) * win.kh + r] = win.row(win.y_at(oy, r));
  for (u32 ox = 0; ox < c.out.w; ox++)
    for (u32 q = 0; q < win.kw; q++) cols[u64(ox) * win.kw + q] = win.col(win.x_at(ox, q));
  std::vector<u32> tap(taps);
  for (u32 r = 0; r < win.kh; r++)
    for (u32 q = 0; q < win.kw; q++)
      tap[r * win.kw + q] = (c.rotate ? win.kh - 1 - r : r) * win.kw + (c.rotate ? win.kw - 1 - q : q);
  const u64 plane = u64(win.ih) * win.iw;
  // Output position by output position: the input values under the window's
  // taps (padding and inserted zeros left out) gathered once for every input
  // channel, then each output channel's sum over them in the order of input
  // channel, kernel row and kernel column.
  std::vector<T> acc(c.out.count());
  std::vector<T> patch;
  std::vector<u64> offset;  // in-plane input offset of each tap taken
  std::vector<u32> weight_tap;  // its weight within a channel's taps
  for (u32 n = 0; n < c.out.n; n++)
    for (u32 oy = 0; oy < c.out.h; oy++)
      for (u32 ox = 0; ox < c.out.w; ox++) {
        offset.clear();
        weight_tap.clear();
        for (u32 r = 0; r < win.kh; r++) {
          const i64 y = rows[u64(oy) * win.kh + r];
          if (y < 0) continue;
          for (u32 q = 0; q < win.kw; q++) {
            const i64 x = cols[u64(ox) * win.kw + q];
            if (x < 0) continue;
            offset.push_back(u64(y) * win.iw + u64(x));
            weight_tap.push_back(tap[r * win.kw + q]);
          }
        }
        const size_t v = offset.size();
        patch.resize(c.ic * v);
        for (u32 i = 0; i < c.ic; i++) {
          const T *in = &o.in[(u64(n) * c.ic + i) * plane];
          for (size_t t = 0; t < v; t++) patch[i * v + t] = in[offset[t]];
        }
        for (u32 ch = 0; ch < c.out.c; ch++) {
          T sum = T(0);
          const T *p = patch.data();
          if (c.wconst) {
            for (size_t t = 0; t < c.ic * v; t++) sum = sum + p[t] * wk;
          } else {
            const T *weight = &o.weight[u64(ch) * c.ic * taps];
            for (u32 i = 0; i < c.ic; i++, p += v, weight += taps)
              for (size_t t = 0; t < v; t++) sum = sum + p[t] * weight[weight_tap[t]];
          }
          acc[((u64(n) * c.out.c + ch) * c.out.h + oy) * c.out.w + ox] = sum;
        }
      }
  write_output(bus, c, o, acc);
}

// Winograd F(2x2, 3x3): per 2 x 2 output tile, V = Bt d B of the 4 x 4 input
// tile, M = the sum over input channels of U * V element-wise, Y = At M A.
template <class T>
void winograd(const BdCommand &cmd, Bus &bus, const Conv &c) {
  if (c.win.kh != 4 || c.win.kw != 4) unmodelled(cmd, "a Winograd kernel other than 4 x 4 transformed weights");
  Operands<T> o;
  read_input(bus, c, o);
  const View wv = winograd_weight_view(cmd, c);
  for (u32 ch = 0; ch < c.out.c; ch++)
    for (u32 i = 0; i < c.ic; i++)
      read_weight_row(bus, wv, i, ch, 0, 16, c.sw, o.weight);
  read_bias_old(bus, c, o);
  const Window &win = c.win;
  std::vector<T> acc(c.out.count(), T(0));
  auto out_index = [&](u32 n, u32 ch, u32 y, u32 x) { return ((u64(n) * c.out.c + ch) * c.out.h + y) * c.out.w + x; };
  for (u32 n = 0; n < c.out.n; n++)
    for (u32 ch = 0; ch < c.out.c; ch++)
      for (u32 ty = 0; ty < c.out.h; ty += 2)
        for (u32 tx = 0; tx < c.out.w; tx += 2) {
          T m[4][4] = {};
          i64 ys[4], xs[4];  // the tile's input rows and columns (-1: padding)
          for (u32 a = 0; a < 4; a++) ys[a] = win.row(i64(ty) + a - win.pad_t), xs[a] = win.col(i64(tx) + a - win.pad_l);
          for (u32 i = 0; i < c.ic; i++) {
            T d[4][4];
            for (u32 a = 0; a < 4; a++)
              for (u32 b = 0; b < 4; b++) {
                const i64 y = ys[a], x = xs[b];
                d[a][b] = y < 0 || x < 0 ? T(0) : o.in[((u64(n) * c.ic + i) * win.ih + u64(y)) * win.iw + u64(x)];
              }
            T t[4][4];  // Bt d
            for (u32 b = 0; b < 4; b++) {
              t[0][b] = d[0][b] - d[2][b];
              t[1][b] = d[1][b] + d[2][b];
              t[2][b] = d[2][b] - d[1][b];
              t[3][b] = d[1][b] - d[3][b];
            }
            const T *u = &o.weight[(u64(ch) * c.ic + i) * 16];
            for (u32 a = 0; a < 4; a++) {
              const T v[4] = {t[a][0] - t[a][2], t[a][1] + t[a][2], t[a][2] - t[a][1], t[a][1] - t[a][3]};
              for (u32 b = 0; b < 4; b++) m[a][b] = m[a][b] + u[a * 4 + b] * v[b];
            }
          }
          T s[2][4];  // At M
          for (u32 b = 0; b < 4; b++) {
            s[0][b] = m[0][b] + m[1][b] + m[2][b];
            s[1][b] = m[1][b] - m[2][b] - m[3][b];
          }
          for (u32 a = 0; a < 2; a++) {
            const T y[2] = {s[a][0] + s[a][1] + s[a][2], s[a][1] - s[a][2] - s[a][3]};
            for (u32 b = 0; b < 2; b++)
              if (ty + a < c.out.h && tx + b < c.out.w) acc[out_index(n, ch, ty + a, tx + b)] = y[b];
          }
        }
  write_output(bus, c, o, acc);
}

}  // namespace

void exec_conv(const BdCommand &cmd, Bus &bus) {
  const Conv c = decode(cmd);
  const bool wino = cmd.get(field::kWinograd);
  if (wino && (c.win.stride_h != 1 || c.win.stride_w != 1 || c.win.dh != 1 || c.win.dw != 1))
    unmodelled(cmd, "a Winograd command with a stride or dilation");
  // Winograd: 16 products per 2 x 2 output tile and input channel.
  const u64 tiles = u64(c.out.n) * c.out.c * ((c.out.h + 1) / 2) * ((c.out.w + 1) / 2);
  bus.report_macs(wino ? tiles * 16 * c.ic : c.out.count() * c.ic * c.win.kh * c.win.kw, c.fp ? 4 : 1);
  if (c.fp)
    wino ? winograd<float>(cmd, bus, c) : direct<float>(cmd, bus, c);
  else
    wino ? winograd<i64>(cmd, bus, c) : direct<i64>(cmd, bus, c);
}

void add_conv_kinds(KindTable<BdCommand> &kinds) {
  kinds.add(0, "convolution", exec_conv);
  kinds.add(1, "pooling and depthwise", exec_pool);
  kinds.add(2, "fully connected", exec_fc);
  kinds.add(12, "decompress", exec_decompress);
}

}  // namespace zv::chip::bd
