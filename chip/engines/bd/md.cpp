// The md_* tasks on float32 tensors in the default aligned layout, table
// lookup and vector correlation.
//
// Fields read (beside the shape 198-257 and result word 18):
//   md_scalar (8)   sub-op, result add 59, constants 79/80, words 19, 20
//   md_sum (7)      result add 59, operand 0's N 258, H 286, W 302, word 19
//   md_linear (10)  sub-op (1, 20, 21), result add 59, constants 80/81, words 19-21
//   md_cmp (13)     sub-op (22, 23, 24), constants 79, 80, 81, 553, words 19-21, 30, 31
//   table lookup (6) index precision 70, table groups 342, words 19, 20
//   vector corr (14) sub-op, x channels 274, x width 302, y width 358, words 19, 20
#include "chip/engines/bd/eltwise.h"
#include "chip/engines/bd/operand.h"

namespace zv::chip::bd {
namespace {

View f32_view(u32 addr, const Shape &shape) {
  View v;
  v.addr = addr;
  v.st = default_strides(shape, addr);
  return v;
}

// One float per channel: channel c in lane (s + c) % 64, row (s + c) / 64 one
// word further on.
View channel_vector(u32 addr) {
  View v;
  v.addr = addr;
  v.st = Strides{0, 1, 0, 0};
  return v;
}

// Reads A and B element-wise (constants by their flags) and, when
// `reads_result`, the result's old value after them, computes, then writes.
template <class F>
void binary_md(const BdCommand &cmd, Bus &bus, const Shape &shape, bool reads_result, F &&f) {
  const View rv = f32_view(cmd.word(words::kRes), shape);
  const View av = f32_view(cmd.word(words::kOpd0), shape);
  const View bv = f32_view(cmd.word(words::kOpd1), shape);
  const bool a_const = cmd.get(field::kOpd0Const), b_const = cmd.get(field::kOpd1Const);
  std::vector<u32> out;
  out.reserve(shape.count());
  Read reads[3];
  int k = 0, ia = -1, ib = -1, ir = -1;
  if (!a_const) ia = k, reads[k++] = Read{&av, "operand 0"};
  if (!b_const) ib = k, reads[k++] = Read{&bv, "operand 1"};
  if (reads_result) ir = k, reads[k++] = Read{&rv, "result"};
  read_rows(bus, shape, reads, k, [&](u32, u32, u32, u32 *const *rows) {
    for (u32 w = 0; w < shape.w; w++) {
      const float a = as_float(ia < 0 ? cmd.word(words::kOpd0) : rows[ia][w]);
      const float b = as_float(ib < 0 ? cmd.word(words::kOpd1) : rows[ib][w]);
      out.push_back(float_bits(f(a, b, ir < 0 ? 0.0f : as_float(rows[ir][w]))));
    }
  });
  store_all(bus, rv, shape, "result", out.data());
}

}  // namespace

void exec_md_scalar(const BdCommand &cmd, Bus &bus) {
  const u32 op = cmd.sub_op();
  const bool add = cmd.get(field::kResAdd);
  if (op != 0 && op != 2 && op != 3 && op != 12) unmodelled(cmd, "md_scalar sub-op " + std::to_string(op));
  if (add && op != 0) unmodelled(cmd, "md_scalar result add with sub-op " + std::to_string(op));
  binary_md(cmd, bus, op_shape(cmd), add, [&](float a, float b, float r) {
    switch (op) {
      case 2: return a + b;
      case 3: return a - b;
      case 12: return a / b;
      default: return add ? r + a * b : a * b;
    }
  });
}

void exec_md_sum(const BdCommand &cmd, Bus &bus) {
  const u32 C = cmd.get(field::kC);
  const Shape in{cmd.get(field::kOpd0N), C, cmd.get(field::kOpd0H), cmd.get(field::kOpd0W)};
  const View av = f32_view(cmd.word(words::kOpd0), in);
  const View yv = f32_view(cmd.word(words::kRes), Shape{1, C, 1, 1});
  const bool add = cmd.get(field::kResAdd);
  std::vector<float> sums(C, 0.0f);
  // Each channel's sum accumulates in float32, batch items outermost, then rows,
  // then columns.
  const Read read{&av, "operand 0"};
  read_rows(bus, in, &read, 1, [&](u32, u32 c, u32, u32 *const *rows) {
    for (u32 w = 0; w < in.w; w++) sums[c] += as_float(rows[0][w]);
  });
  for (u32 c = 0; c < C; c++) {
    const u64 y = yv.at(0, c, 0, 0, "result");
    const float v = add ? as_float(bus.load32(y)) + sums[c] : sums[c];
    bus.store32(y, float_bits(v));
  }
}

void exec_md_linear(const BdCommand &cmd, Bus &bus) {
  const u32 op = cmd.sub_op();
  if (op != 1 && op != 20 && op != 21) unmodelled(cmd, "md_linear sub-op " + std::to_string(op));
  const Shape shape = op_shape(cmd);
  const View yv = f32_view(cmd.word(words::kRes), shape);
  const View av = f32_view(cmd.word(words::kOpd0), shape);
  const View bv = channel_vector(cmd.word(words::kOpd1)), cv = channel_vector(cmd.word(words::kOpd2));
  const bool b_const = cmd.get(field::kOpd1Const), c_const = cmd.get(field::kOpd2Const), add = cmd.get(field::kResAdd);
  std::vector<u32> out;
  out.reserve(shape.count());
  Read reads[4];
  int nr = 0, ib = -1, ic = -1, iy = -1;
  const int ia = nr;
  reads[nr++] = Read{&av, "operand 0"};
  if (!b_const) ib = nr, reads[nr++] = Read{&bv, "operand 1", true};
  if (!c_const) ic = nr, reads[nr++] = Read{&cv, "operand 2", true};
  if (add) iy = nr, reads[nr++] = Read{&yv, "result"};
  read_rows(bus, shape, reads, nr, [&](u32, u32, u32, u32 *const *rows) {
    for (u32 w = 0; w < shape.w; w++) {
      const float a = as_float(rows[ia][w]);
      const float b = as_float(ib < 0 ? cmd.word(words::kOpd1) : rows[ib][w]);
      const float k = as_float(ic < 0 ? cmd.word(words::kOpd2) : rows[ic][w]);
      float v = op == 1 ? a * k + b : op == 20 ? (a + b) * k : (a - b) * k;
      if (add) v = as_float(rows[iy][w]) + v;
      out.push_back(float_bits(v));
    }
  });
  store_all(bus, yv, shape, "result", out.data());
}

void exec_md_cmp(const BdCommand &cmd, Bus &bus) {
  const u32 op = cmd.sub_op();
  if (op < 22 || op > 24) unmodelled(cmd, "md_cmp sub-op " + std::to_string(op));
  const bool want_max = op != 23, want_select = op != 22;
  const Shape shape = op_shape(cmd);
  struct In {
    u32 word;
    Field is_const;
    const char *name;
  };
  const In ins[4] = {{words::kOpd0, field::kOpd0Const, "operand 0"},
                     {words::kOpd1, field::kOpd1Const, "operand 1"},
                     {words::kOpd2, field::kOpd2Const, "operand 2"},
                     {words::kOpd3, field::kOpd3Const, "operand 3"}};
  View views[4];
  bool is_const[4];
  for (int k = 0; k < 4; k++) {
    views[k] = f32_view(cmd.word(ins[k].word), shape);
    is_const[k] = cmd.get(ins[k].is_const);
  }
  const View r0 = f32_view(cmd.word(words::kRes), shape), r1 = f32_view(cmd.word(words::kRes1), shape);
  std::vector<u32> maxes, picks;
  Read reads[4];
  int slot[4], nr = 0;
  for (int k = 0; k < (want_select ? 4 : 2); k++) {
    slot[k] = is_const[k] ? -1 : nr;
    if (!is_const[k]) reads[nr++] = Read{&views[k], ins[k].name};
  }
  read_rows(bus, shape, reads, nr, [&](u32, u32, u32, u32 *const *rows) {
    for (u32 w = 0; w < shape.w; w++) {
      u32 v[4];
      for (int k = 0; k < (want_select ? 4 : 2); k++) v[k] = slot[k] < 0 ? cmd.word(ins[k].word) : rows[slot[k]][w];
      const bool greater = as_float(v[0]) > as_float(v[1]);
      if (want_max) maxes.push_back(greater ? v[0] : v[1]);
      if (want_select) picks.push_back(greater ? v[2] : v[3]);
    }
  });
  size_t i = 0;
  for_each(shape, [&](u32 n, u32 c, u32 h, u32 w) {
    if (want_max) bus.store32(r0.at(n, c, h, w, "result 0"), maxes[i]);
    if (want_select) bus.store32(r1.at(n, c, h, w, "result 1"), picks[i]);
    i++;
  });
}

void exec_table_lookup(const BdCommand &cmd, Bus &bus) {
  const Shape shape = op_shape(cmd);
  const u32 prec = cmd.get(field::kOpd0Prec);
  if (prec != 0 && prec != 2) unmodelled(cmd, "table lookup index precision " + std::to_string(prec));
  View iv;
  iv.addr = cmd.word(words::kOpd0);
  if (prec == 0) {  // bytes, in the 8-bit EU-aligned layout
    iv.size = 1;
    iv.unit = 1;
    iv.st = default_strides(shape, iv.addr, 128);
  } else {
    iv.st = default_strides(shape, iv.addr);
  }
  const View rv = f32_view(cmd.word(words::kRes), shape);
  const u32 table = cmd.word(words::kOpd1);
  const u32 entries = 32 * cmd.get(field::kOpd1H);
  std::vector<u32> out;
  out.reserve(shape.count());
  for_each(shape, [&](u32 n, u32 c, u32 h, u32 w) {
    const u32 index = load_bits(bus, iv.at(n, c, h, w, "index"), iv.size) & 0xff;
    if (index >= entries)
      fault("tensor engine: table lookup index " + std::to_string(index) + " beyond the table's " +
            std::to_string(entries) + " entries; window " + cmd.dump());
    out.push_back(bus.load32(table_address(table, lane_of(rv.addr, c), 4u * index)));
  });
  store_all(bus, rv, shape, "result", out.data());
}

void exec_vec_corr(const BdCommand &cmd, Bus &bus) {
  const u32 op = cmd.sub_op();
  const u32 x_c = cmd.get(field::kOpd0C), x_w = cmd.get(field::kOpd0W), y_w = cmd.get(field::kOpd1W);
  const Shape z = op_shape(cmd);
  if (z.n != 1 || z.h != 1 || z.c != x_c * x_w || z.w != y_w)
    unmodelled(cmd, "a vector correlation whose result is not (x elements) x (y elements)");
  const View xv = f32_view(cmd.word(words::kOpd0), Shape{1, x_c, 1, x_w});
  const View zv = f32_view(cmd.word(words::kRes), z);
  View yv;
  yv.addr = cmd.word(words::kOpd1);
  yv.st = Strides{0, 0, 0, 1};
  std::vector<u32> xs, ys;
  for_each(Shape{1, x_c, 1, x_w}, [&](u32 n, u32 c, u32 h, u32 w) { xs.push_back(bus.load32(xv.at(n, c, h, w, "x"))); });
  for (u32 j = 0; j < y_w; j++) ys.push_back(bus.load32(yv.at(0, 0, 0, j, "y")));
  for (u32 r = 0; r < z.c; r++)
    for (u32 j = 0; j < z.w; j++) {
      const u32 a = xs[r], b = ys[j];
      const float x = as_float(a), y = as_float(b);
      u32 v;
      switch (op) {
        case 0: v = float_bits(x * y); break;
        case 2: v = float_bits(x + y); break;
        case 3: v = float_bits(x - y); break;
        case 4: v = x > y ? a : b; break;
        case 5: v = x < y ? a : b; break;
        case 7: v = a & b; break;
        case 8: v = a | b; break;
        case 9: v = a ^ b; break;
        case 12: v = float_bits(x / y); break;
        default: unmodelled(cmd, "vector correlation sub-op " + std::to_string(op));
      }
      bus.store32(zv.at(0, r, 0, j, "result"), v);
    }
}

}  // namespace zv::chip::bd
