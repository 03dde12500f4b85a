// Training max pooling with position records.
#include "layers/pool/pooling_train.h"

#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/pool/pooling.h"
#include "local/resident.h"
#include "runtime/assert.h"

void pool_train_shape_of(pool_train_shape_t *s, int input_h, int input_w, int kh, int kw, int pad_h_top,
                         int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h, int stride_w,
                         int floor_mode) {
  const int sh = pad_h_top + input_h + pad_h_bottom - kh, sw = pad_w_left + input_w + pad_w_right - kw;
  const int qh = sh / stride_h, rh = sh % stride_h, qw = sw / stride_w, rw = sw % stride_w;
  s->oh = qh + 1;
  s->ow = qw + 1;
  s->pad_h_bottom = pad_h_bottom;
  s->pad_w_right = pad_w_right;
  if (floor_mode == 0 && rh != 0 && (qh + 1) * stride_h < input_h + pad_h_top) {
    s->oh = qh + 2;
    s->pad_h_bottom += stride_h - rh;
  }
  if (floor_mode == 0 && rw != 0 && (qw + 1) * stride_w < input_w + pad_w_left) {
    s->ow = qw + 2;
    s->pad_w_right += stride_w - rw;
  }
  s->ph = input_h + pad_h_top + s->pad_h_bottom;
  s->pw = input_w + pad_w_left + s->pad_w_right;
}

void pool_train_areas(u32 bank, local_area_t areas[POOL_TRAIN_AREAS]) {
  static const char *const names[POOL_TRAIN_AREAS] = {"input 0",     "input 1",     "maximum 0", "maximum 1",
                                                      "positions 0", "positions 1", "scratch 0", "scratch 1"};
  for (int b = 0; b < POOL_TRAIN_AREAS; b++) areas[b] = {names[b], (u32)b * bank, bank};
}

namespace {

// The engine's three-input commands take at most this many planes.
const int kPlaneChunk = 4032;

struct train_t {
  u64 input_addr, max_addr, pos_addr;  // max_addr 0: positions only
  int NC, ih, iw, kh, kw, pt, pl, sh, sw;
  pool_train_shape_t g;
  u32 bank;  // bytes of one buffer
};

// A slice: planes c0 .. c0 + c - 1, output rows oh0 .. oh0 + R - 1, padded rows
// first .. first + prow - 1 resident in its input buffer.
struct slice_t {
  int c0, c, oh0, R, first, prow;
};

slice_t slice_of(const train_t &t, int c0, int c, int oh0, int R) {
  slice_t s = {c0, c, oh0, R, oh0 * t.sh, (R - 1) * t.sh + t.kh};
  return s;
}

u32 in_plane(const train_t &t, const slice_t &s) { return eu_plane((u32)(s.prow * t.g.pw)); }
u32 out_plane(const train_t &t, const slice_t &s) { return eu_plane((u32)(s.R * t.g.ow)); }

// Fill the slice's padded rows with the pad value, then load the input rows
// that lie inside them.
void fill_and_load(const train_t &t, const slice_t &s, u32 buf, cmd_id_node_t *node) {
  const float pad = POOL_TRAIN_PAD_VALUE;
  const int plane = (int)in_plane(t, s);
  fill_constant_gen_local_cmd_stride(buf, 0, &pad, GDMA_VALUE_FORMAT_FLOAT32, 1, s.c, s.prow, t.g.pw, 0, plane, t.g.pw,
                                     1, node);
  const int lo = s.first > t.pt ? s.first : t.pt;
  const int last = s.first + s.prow - 1, hi = last < t.pt + t.ih - 1 ? last : t.pt + t.ih - 1;
  if (hi < lo) return;
  const u32 dst = buf + (u32)((lo - s.first) * t.g.pw + t.pl) * 4u;
  tensor_stride_move_gen_cmd(dst, 0, t.input_addr + ((u64)s.c0 * t.ih * t.iw + (u64)(lo - t.pt) * t.iw) * 4u, 1, s.c,
                             hi - lo + 1, t.iw, 0, t.ih * t.iw, t.iw, 1, 0, plane, t.g.pw, 1, GDMA_VALUE_FORMAT_FLOAT32,
                             GDMA_VALUE_DIR_S2L, 0, node);
}

void arith(u32 A, u32 B, u32 R, const dim4_t &shape, const dim4_t &as, const dim4_t &bs, const dim4_t &rs, tensor_op_t op,
           int A_const, u32 A_value, int B_const, u32 B_value, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(A_const ? A_value : local_tag(A), B_const ? B_value : local_tag(B), local_tag(R),
                                   &shape, 0, 0, 0, &as, &bs, &rs, op, 0, A_const, A_value, B_const, B_value, 0, node);
}

void select(u32 A, u32 B, u32 R, const dim4_t &shape, const dim4_t &as, const dim4_t &bs, const dim4_t &rs,
            tensor_op_t op, int B_const, u32 B_value, u32 C_value, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd_all(local_tag(A), B_const ? B_value : local_tag(B), local_tag(R), &shape, 0, 0, 0,
                                       &as, &bs, &rs, op, 0, 0, 0, B_const, B_value, C_value, 0, 0, node);
}

// The running maximum M and the positions K of a resident slice from input
// buffer `in`, with T as scratch.
void pool_slice(const train_t &t, const slice_t &s, u32 in, u32 M, u32 K, u32 T, cmd_id_node_t *node) {
  const u32 ip = in_plane(t, s), op = out_plane(t, s);
  for (int c0 = 0; c0 < s.c; c0 += kPlaneChunk) {
    const int c = s.c - c0 < kPlaneChunk ? s.c - c0 : kPlaneChunk;
    const u32 row = (u32)(c0 / NPU_NUM);
    const u32 X = in + row * ip * 4u, m = M + row * op * 4u, k = K + row * op * 4u, x = T + row * op * 4u;
    const dim4_t shape = {1, c, s.R, t.g.ow};
    const dim4_t vs = {0, (int)ip, t.g.pw * t.sh, t.sw}, os = {0, (int)op, t.g.ow, 1};
    // M from the first window element; K = 1.0 and T = 0.0 written outright,
    // so that nothing stale in the buffers reaches them.
    arith(X, 0, m, shape, vs, os, os, TENSOR_OP_MUL, 0, 0, 1, pool_f32_bits(1.0f), node);
    arith(0, 0, k, shape, os, os, os, TENSOR_OP_COPY, 1, pool_f32_bits(1.0f), 0, 0, node);
    arith(0, 0, x, shape, os, os, os, TENSOR_OP_COPY, 1, 0, 0, 0, node);
    for (int p = 0; p < t.kh * t.kw; p++) {
      const int i = p / t.kw, j = p % t.kw;
      const u32 V = X + (u32)(i * t.g.pw + j) * 4u;
      select(V, m, x, shape, vs, os, os, TENSOR_OP_CMP_ASSIGN, 0, 0, 0xffffffffu, node);  // V > M
      select(x, 0, x, shape, os, os, os, TENSOR_OP_EQ_ASSIGN, 1, 0, 0xffffffffu, node);   // V <= M
      arith(k, x, k, shape, os, os, os, TENSOR_OP_AND, 0, 0, 0, 0, node);
      select(x, 0, x, shape, os, os, os, TENSOR_OP_EQ_ASSIGN, 1, 0, 0xffffffffu, node);   // V > M
      arith(x, 0, x, shape, os, os, os, TENSOR_OP_AND, 0, 0, 1, pool_f32_bits((float)(p + 1)), node);
      arith(k, x, k, shape, os, os, os, TENSOR_OP_ADD, 0, 0, 0, 0, node);
      arith(m, V, m, shape, os, vs, os, TENSOR_OP_MAX, 0, 0, 0, 0, node);
    }
  }
}

void store(const train_t &t, const slice_t &s, u64 addr, u32 buf, cmd_id_node_t *node) {
  const int op = (int)out_plane(t, s), OHW = t.g.oh * t.g.ow;
  tensor_stride_move_gen_cmd(buf, 0, addr + ((u64)s.c0 * OHW + (u64)s.oh0 * t.g.ow) * 4u, 1, s.c, s.R, t.g.ow, 0, op,
                             t.g.ow, 1, 0, OHW, t.g.ow, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

void store_results(const train_t &t, const slice_t &s, u32 M, u32 K, cmd_id_node_t *node) {
  if (t.max_addr) store(t, s, t.max_addr, M, node);
  store(t, s, t.pos_addr, K, node);
}

// Slices in order: plane blocks, and in mode 3 output rows within a block.
int next_slice(const train_t &t, int split_mode, int c_step, int h_step, int *c0, int *oh0) {
  if (split_mode == 3 && *oh0 + h_step < t.g.oh) {
    *oh0 += h_step;
    return 1;
  }
  *oh0 = 0;
  *c0 = (i64)*c0 + c_step >= t.NC ? t.NC : *c0 + c_step;
  return *c0 < t.NC;
}

slice_t slice_at(const train_t &t, int split_mode, int c_step, int h_step, int c0, int oh0) {
  const int c = c0 <= t.NC - c_step ? c_step : t.NC - c0;
  const int R = split_mode == 3 ? (h_step < t.g.oh - oh0 ? h_step : t.g.oh - oh0) : t.g.oh;
  return slice_of(t, c0, c, oh0, R);
}

void pool_train_run(train_t &t, int input_c, int floor_mode, int c_step, int h_step, float input_ratio,
                    int split_mode, cmd_id_node_t *node) {
  if (split_mode < 1 || split_mode > 3 || t.NC == 0) return;
  ASSERT_FS(t.ih > 0 && t.iw > 0 && t.kh > 0 && t.kw > 0 && t.sh > 0 && t.sw > 0);
  ASSERT_FS(t.pt >= 0 && t.pl >= 0 && t.g.pad_h_bottom >= 0 && t.g.pad_w_right >= 0);
  pool_train_shape_of(&t.g, t.ih, t.iw, t.kh, t.kw, t.pt, t.pl, t.g.pad_h_bottom, t.g.pad_w_right, t.sh, t.sw,
                      floor_mode);
  ASSERT_FS(t.g.oh > 0 && t.g.ow > 0, "oh=%d ow=%d", t.g.oh, t.g.ow);
  (void)input_c;
  // The eight buffers must fit a lane, and every slice its buffers.
  pool_frame_t q = {};
  pool_frame_buffers(&q, input_ratio);
  t.bank = q.input_bytes;
  const u64 buffers_end = (u64)POOL_TRAIN_AREAS * t.bank;
  ASSERT_FS(buffers_end <= (1 << 19), "input_ratio=%d/100", (int)(input_ratio * 100.0f));
  if (split_mode == 1) c_step = t.NC;
  if (split_mode != 3) h_step = t.g.oh;
  ASSERT_FS(c_step > 0 && h_step > 0 && (split_mode != 3 || c_step <= NPU_NUM), "c_step=%d h_step=%d", c_step, h_step);
  {
    const slice_t s = slice_at(t, split_mode, c_step, h_step, 0, 0);  // the largest slice
    const u64 rows = (u64)ceil_div(s.c, NPU_NUM);
    const u64 input_bytes = rows * in_plane(t, s) * 4u, output_bytes = rows * out_plane(t, s) * 4u;
    const u64 input_room = split_mode == 1 ? 2ull * t.bank : t.bank;
    ASSERT_FS(input_bytes <= input_room && output_bytes <= t.bank, "input %u of %u, output %u of %u bytes",
              (unsigned)input_bytes, (unsigned)input_room, (unsigned)output_bytes, (unsigned)t.bank);
  }
  const u32 bank = t.bank;
  if (split_mode == 1) {
    const slice_t s = slice_at(t, 1, c_step, h_step, 0, 0);
    fill_and_load(t, s, 0, node);
    pool_slice(t, s, 0, 2 * bank, 4 * bank, 6 * bank, node);
    store_results(t, s, 2 * bank, 4 * bank, node);
    return;
  }
  int c0 = 0, oh0 = 0, more = 1, have_prev = 0;
  slice_t prev = {}, cur = {};
  for (u32 step = 0; more || have_prev; step++) {
    cmd_id_node_t move, compute;
    cmd_id_divide(node, &move, &compute);
    if (more) {
      cur = slice_at(t, split_mode, c_step, h_step, c0, oh0);
      fill_and_load(t, cur, (step % 2) * bank, &move);
    }
    const u32 s = (step + 1) % 2;
    if (have_prev) pool_slice(t, prev, s * bank, (s + 2) * bank, (s + 4) * bank, (s + 6) * bank, &compute);
    cmd_id_merge(node, &move, &compute);
    if (have_prev) store_results(t, prev, (s + 2) * bank, (s + 4) * bank, node);
    have_prev = more;
    if (more) {
      prev = cur;
      more = next_slice(t, split_mode, c_step, h_step, &c0, &oh0);
    }
  }
}

}  // namespace

void nodechip_pooling_train_forward_parallel(u64 input_addr, u64 output_addr, u64 mask_addr, int input_n, int input_c,
                                             int input_h, int input_w, int kh, int kw, int pad_h_top, int pad_w_left,
                                             int pad_h_bottom, int pad_w_right, int stride_h, int stride_w,
                                             int floor_mode, int reserved, int c_step, int h_step, float input_ratio,
                                             int split_mode, cmd_id_node_t *node) {
  (void)reserved;
  ASSERT_FS(input_c < 4096, "c=%d is too large.\n", input_c);
  ASSERT_FS(input_n >= 0 && input_c >= 0 && (i64)input_n * input_c < (1ll << 31));
  train_t t = {input_addr, output_addr, mask_addr, input_n * input_c, input_h, input_w, kh, kw, pad_h_top, pad_w_left,
               stride_h, stride_w, {0, 0, pad_h_bottom, pad_w_right, 0, 0}, 0};
  pool_train_run(t, input_c, floor_mode, c_step, h_step, input_ratio, split_mode, node);
}

void nodechip_pooling_train_index_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                   int input_h, int input_w, int kh, int kw, int pad_h_top,
                                                   int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h,
                                                   int stride_w, int floor_mode, int reserved, int c_step, int h_step,
                                                   float input_ratio, int split_mode, cmd_id_node_t *node) {
  (void)reserved;
  ASSERT_FS(input_c < 4096, "c=%d is too large.\n", input_c);
  ASSERT_FS(input_n >= 0 && input_c >= 0 && (i64)input_n * input_c < (1ll << 31));
  train_t t = {input_addr, 0, output_addr, input_n * input_c, input_h, input_w, kh, kw, pad_h_top, pad_w_left,
               stride_h, stride_w, {0, 0, pad_h_bottom, pad_w_right, 0, 0}, 0};
  pool_train_run(t, input_c, floor_mode, c_step, h_step, input_ratio, split_mode, node);
}
