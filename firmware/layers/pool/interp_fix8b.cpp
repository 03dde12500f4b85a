// 8-bit interpolation: nearest through the float layer, bilinear in fixed
// point with byte planes.
#include "layers/pool/interp_fix8b.h"

#include <math.h>

#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/pool/interp.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

void getIndex_fix8b(int o, int *weight, int *index, float scale, int in) {
  float t = ((float)o + 0.5f) * scale - 0.5f;
  if (t < 0.0f) t = 0.0f;
  int i = (int)floor((double)t);
  int w = (int)round((double)((t - (float)floor((double)t)) * 16.0f));
  if (in > 0 && i > in - 1) {
    i = in - 1;
    w = 0;
  }
  *index = i;
  if (weight) *weight = w;
}

namespace {

i64 a32(i64 x) { return align_up(x, EU_NUM); }

struct fix_t {
  u64 input_addr, output_addr;
  int planes, ih, iw, p, q, oh, ow, ih_eff, iw_eff, is_signed;
  float sh, sw;
  int c_step, h_step;
};

int rows_in_of(const fix_t &t, int a, int count, int *first) {
  int r0, rl;
  getIndex_fix8b(a, 0, &r0, t.sh, t.ih_eff);
  getIndex_fix8b(a + count - 1, 0, &rl, t.sh, t.ih_eff);
  int rows = (rl < t.ih - 1 ? rl + 1 : rl) - t.q - r0 + 1;
  // The load starts at input row r0: it must end inside the plane.
  if (rows > t.ih - r0) rows = t.ih - r0;
  *first = r0;
  return rows;
}

interp_slice_t slice_at(const fix_t &t, int c0, int oh0) {
  interp_slice_t s;
  s.c0 = c0;
  s.c = t.planes - c0 < t.c_step ? t.planes - c0 : t.c_step;
  s.oh0 = oh0;
  s.rows = t.oh - oh0 < t.h_step ? t.oh - oh0 : t.h_step;
  s.rows_in = rows_in_of(t, oh0, s.rows, &s.r0);
  return s;
}

// One fixed-point command: R = A op B over 4 items x c planes; a constant B
// travels in its address slot. w8: {A, B, R} 8-bit (1) or 16-bit (0).
struct op8_t {
  u32 A, B, R;
  int B_const;
  dim4_t shape, as, bs, rs;
  u32 w8[3];
  u32 sign[3];
};

void issue(const op8_t &o, tensor_op_t op, int rshift, int shift_type, cmd_id_node_t *node) {
  const u32 addr[4] = {local_tag(o.A), o.B_const ? o.B : local_tag(o.B), 0, local_tag(o.R)};
  const u32 bcast[4] = {0, 0, 0, 0}, Int8[4] = {o.w8[0], o.w8[1], 0, o.w8[2]};
  const u32 modes[4] = {3, 3, 3, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &o.shape, bcast, &o.as, &o.bs, &o.rs, op, 0, o.B_const, rshift, 0,
                                         shift_type, o.sign, Int8, modes, shifts, 0, node);
}

// Strides of a resident plane set: 8-bit 4N words, or 16-bit values two items
// to a word with the pairs one batch stride apart.
dim4_t st(int c, int h, int w, int row_stride) {
  const int plane = (int)a32((i64)h * w);
  const dim4_t s = {(int)ceil_div(c, NPU_NUM) * plane, plane, row_stride, 1};
  return s;
}

// dst (16-bit) := src bytes x weight, or += with accumulate (weight 0 with
// accumulate issues nothing).
void mulC(u32 src, u32 dst, int weight, const dim4_t &shape, const dim4_t &ss, const dim4_t &ds, int accumulate,
          cmd_id_node_t *node) {
  if (weight == 0 && accumulate) return;
  op8_t o = {src, (u32)weight, dst, 1, shape, ss, ss, ds, {1, 1, 0}, {0, 0, 0}};
  issue(o, accumulate ? TENSOR_OP_MAC : TENSOR_OP_MUL, 0, 0, node);
}

// The 16-bit sums at src (0 to 4080) as two byte planes: high = floor(v /
// 256) (as (v - 128) / 256 rounded half up) at hi, low = v mod 256 at lo;
// scratch holds the low part as 16-bit values first.
void separate(u32 src, u32 hi, u32 lo, u32 scratch, const dim4_t &dims, const dim4_t &s16, const dim4_t &s8,
              cmd_id_node_t *node) {
  const int shape[4] = {dims.n, dims.c, dims.h, dims.w};
  ASSERT(shape[0] == 4);  // the four items of a word
  const dim4_t &shape4 = dims;
  op8_t h = {src, 128, hi, 1, shape4, s16, s16, s8, {0, 0, 1}, {0, 0, 0}};
  issue(h, TENSOR_OP_SUB, 8, 0, node);
  op8_t m = {src, 0xff, scratch, 1, shape4, s16, s16, s16, {0, 0, 0}, {0, 0, 0}};
  issue(m, TENSOR_OP_AND, 0, 0, node);
  op8_t l = {scratch, 0, lo, 0, shape4, s16, s16, s8, {0, 0, 1}, {0, 0, 0}};
  issue(l, TENSOR_OP_COPY, 0, 0, node);
}

void flip_top_bits(u32 X, const dim4_t &shape, const dim4_t &s8, cmd_id_node_t *node) {
  op8_t x = {X, 0x80, X, 1, shape, s8, s8, s8, {1, 1, 1}, {0, 0, 0}};
  issue(x, TENSOR_OP_XOR, 0, 0, node);
}

void blend(const fix_t &t, const interp_slice_t &s, u32 X, cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *cp,
           int divided) {
  const u32 A = INTERP8_WORK_A, B = INTERP8_WORK_B;
  const int c = s.c, rl = (int)ceil_div(c, NPU_NUM);
  const int cols = interp_columns_first(&s, t.iw, t.ow);
  // First direction: input (rows_in x iw) to the intermediate.
  const int mh = cols ? s.rows_in : s.rows, mw = cols ? t.ow : t.iw;
  const dim4_t in_shape = {4, c, s.rows_in, t.iw}, xs = st(c, s.rows_in, t.iw, t.iw);
  const dim4_t mid_shape = {4, c, mh, mw}, ms = st(c, mh, mw, mw);
  const dim4_t out_shape = {4, c, s.rows, t.ow}, os = st(c, s.rows, t.ow, t.ow);
  const u32 hi = X, lo = X + (u32)(rl * ms.c) * 4u;  // the second plane behind the first
  if (t.is_signed) flip_top_bits(X, in_shape, xs, cp);
  const auto two_taps = [&](int o, float scale, int in, const auto &tap) {
    int idx, w;
    getIndex_fix8b(o, &w, &idx, scale, in);
    const int next = idx >= in - 1 ? idx : idx + 1;
    interp_tap_guard(node, move, cp, divided);
    tap(16 - w, idx, 0);
    interp_tap_guard(node, move, cp, divided);
    tap(w, next, 1);
  };
  if (cols) {
    const dim4_t cshape = {4, c, s.rows_in, 1};
    for (int j = 0; j < t.ow; j++)
      two_taps(j, t.sw, t.iw_eff, [&](int w, int idx, int acc) {
        mulC(X + (u32)(idx - t.p) * 4u, A + (u32)j * 4u, w, cshape, xs, ms, acc, cp);
      });
  } else {
    const dim4_t rshape = {4, c, 1, t.iw};
    for (int i = 0; i < s.rows; i++)
      two_taps(s.oh0 + i, t.sh, t.ih_eff, [&](int w, int idx, int acc) {
        mulC(X + (u32)((idx - t.q - s.r0) * t.iw) * 4u, A + (u32)(i * t.iw) * 4u, w, rshape, xs, ms, acc, cp);
      });
  }
  separate(A, hi, lo, B, mid_shape, ms, ms, cp);
  // Second direction: both planes into A (high) and B (low).
  if (cols) {
    const dim4_t rshape = {4, c, 1, t.ow};
    for (int i = 0; i < s.rows; i++)
      two_taps(s.oh0 + i, t.sh, t.ih_eff, [&](int w, int idx, int acc) {
        const u32 from = (u32)((idx - t.q - s.r0) * t.ow) * 4u, to = (u32)(i * t.ow) * 4u;
        mulC(hi + from, A + to, w, rshape, ms, os, acc, cp);
        mulC(lo + from, B + to, w, rshape, ms, os, acc, cp);
      });
  } else {
    const dim4_t cshape = {4, c, s.rows, 1};
    for (int j = 0; j < t.ow; j++)
      two_taps(j, t.sw, t.iw_eff, [&](int w, int idx, int acc) {
        const u32 from = (u32)(idx - t.p) * 4u, to = (u32)j * 4u;
        mulC(hi + from, A + to, w, cshape, ms, os, acc, cp);
        mulC(lo + from, B + to, w, cshape, ms, os, acc, cp);
      });
  }
  // high x 256 + low, divided by 256 rounding half up: the low sums rounded
  // down to units, added to the high sums, written as bytes.
  op8_t r = {B, 0, B, 1, out_shape, os, os, os, {0, 0, 0}, {0, 0, 0}};
  issue(r, TENSOR_OP_ADD, 8, 0, cp);
  op8_t f = {A, B, X, 0, out_shape, os, os, os, {0, 0, 1}, {0, 0, 0}};
  issue(f, TENSOR_OP_ADD, 0, 0, cp);
  if (t.is_signed) flip_top_bits(X, out_shape, os, cp);
}

int ceiling_func_shift(int x, int s) { return (x + (1 << s) - 1) >> s; }
int get_neuron_csize_local(int h, int w) { return (int)a32((i64)h * w) * 4; }

}  // namespace

void interp_fix8b_split(int planes, int ih, int iw, int ih_eff, int q, int oh, int ow, float scale, int *rows,
                        int *planes_per_slice) {
  const i64 slot = INTERP_SLOT_BYTES;
  int hsecs = a32((i64)ow * oh) * 8 <= slot ? oh : (int)(0x10000 / (a32(ow) * 4));
  while (hsecs < oh && a32((i64)ow * (hsecs + 1)) * 8 < slot) hsecs++;
  ASSERT(hsecs > 0);
  i64 out_size = a32((i64)ow * hsecs) * 8;
  int per = ceil_div(planes, NPU_NUM) * out_size <= slot ? planes : (int)(slot / out_size) * NPU_NUM;
  // The input rows of the first slice (the index twin of the first and last row).
  int a, b;
  getIndex_fix8b(0, 0, &a, scale, ih_eff);
  getIndex_fix8b(hsecs - 1, 0, &b, scale, ih_eff);
  while (a32((i64)(b - a + 2) * iw) * 8 > slot) {
    ASSERT(hsecs > 1);
    hsecs--;
    getIndex_fix8b(hsecs - 1, 0, &b, scale, ih_eff);
  }
  const i64 in_size = a32((i64)(b - a + 2) * iw) * 8;
  if (ceil_div(per, NPU_NUM) * in_size > slot) per = (int)(slot / in_size) * NPU_NUM;
  (void)ih, (void)q;
  *rows = hsecs;
  *planes_per_slice = per;
}

void nodechip_interp_forward_fix8b_parallel(u64 input_addr, u64 output_addr, int n, int c, int ih, int iw, int p, int q,
                                            int oh, int ow, int nearest, int is_unsigned, cmd_id_node_t *node) {
  ASSERT_FS(n >= 0 && c >= 0);
  const i64 planes = ceil_div(n, 4) * (i64)c;
  if (planes == 0) return;
  if (nearest) {
    // Whole words: the four items of a word move together.
    nodechip_interp_forward_parallel(input_addr, output_addr, (int)ceil_div(n, 4), c, ih, iw, p, q, oh, ow, 0, 0, 5,
                                     node);
    return;
  }
  ASSERT_FS(planes < (1ll << 31));
  ASSERT_FS(p <= 0 && q <= 0, "p=%d q=%d", p, q);
  ASSERT_FS(ih > 0 && iw > 0 && oh > 0 && ow > 0 && ih + p + q > 0 && iw + p + q > 0);
  ASSERT_FS(ih < (1 << 24) && iw < (1 << 24) && oh < (1 << 24) && ow < (1 << 24));
  fix_t t;
  t.input_addr = input_addr;
  t.output_addr = output_addr;
  t.planes = (int)planes;
  t.ih = ih, t.iw = iw, t.p = p, t.q = q, t.oh = oh, t.ow = ow;
  t.ih_eff = ih + p + q;
  t.iw_eff = iw + p + q;
  t.is_signed = !is_unsigned;
  t.sh = (float)t.ih_eff / (float)oh;
  t.sw = (float)t.iw_eff / (float)ow;
  interp_fix8b_split(t.planes, ih, iw, t.ih_eff, q, oh, ow, t.sh, &t.h_step, &t.c_step);
  ASSERT_FS(t.c_step > 0 && t.h_step > 0);

  // Every slice's buffers fit: the input, both byte planes and the output in
  // its slot, the 16-bit sums in the work buffers.
  u32 count = 0;
  {
    const int mem_slice = (int)INTERP_SLOT_BYTES, output_w = ow, input_w = iw;
    int c0 = 0, oh0 = 0;
    do {
      const interp_slice_t s = slice_at(t, c0, oh0);
      const int c_slice[1] = {s.c}, oh_slice[1] = {s.rows}, ih_slice[1] = {s.rows_in};
      ASSERT_FS(ceiling_func_shift(c_slice[0], (6)) * get_neuron_csize_local(oh_slice[0], output_w) <= mem_slice);
      ASSERT_FS(ceiling_func_shift(c_slice[0], (6)) * get_neuron_csize_local(ih_slice[0], input_w) <= mem_slice);
      const i64 mid = interp_columns_first(&s, iw, ow) ? a32((i64)s.rows_in * ow) : a32((i64)s.rows * iw);
      const i64 work_bytes = ceil_div(s.c, NPU_NUM) * 8 * (mid > a32((i64)s.rows * ow) ? mid : a32((i64)s.rows * ow));
      ASSERT_FS(work_bytes <= mem_slice && s.rows_in > 0);
      count++;
    } while (interp_next_slice(t.planes, t.oh, t.c_step, t.h_step, &c0, &oh0));
  }

  interp_slice_t slices[3] = {};
  int c0 = 0, oh0 = 0;
  for (u32 k = 0; k < count + 2; k++) {
    const int divided = node->bd_cmd_id < 60001;
    cmd_id_node_t move = *node, compute = *node;
    if (divided) cmd_id_divide(node, &move, &compute);
    cmd_id_node_t *mv = divided ? &move : node, *cp = divided ? &compute : node;
    if (k >= 2)
      interp_store_slice(t.output_addr, t.oh, t.ow, &slices[(k - 2) % 3], INTERP_INPUT_SLOT(k % 2), mv);
    if (k < count) {
      slices[k % 3] = slice_at(t, c0, oh0);
      interp_next_slice(t.planes, t.oh, t.c_step, t.h_step, &c0, &oh0);
      interp_load_slice(t.input_addr, t.ih, t.iw, &slices[k % 3], INTERP_INPUT_SLOT(k % 2), mv);
    }
    if (k >= 1 && k <= count) blend(t, slices[(k - 1) % 3], INTERP_INPUT_SLOT((k - 1) % 2), node, mv, cp, divided);
    if (divided) cmd_id_merge(node, &move, &compute);
  }
}
