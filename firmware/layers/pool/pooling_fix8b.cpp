// 8-bit pooling of 4N tensors: the plain and the SAME-padding workers over the
// float pooling's slice frame, their splits and API 88's pads.
#include "layers/pool/pooling_fix8b.h"

#include <math.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_pool.h"
#include "cmd/local_mem.h"
#include "layers/pool/pooling.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/services.h"

// ---- Reciprocal tables ----

namespace {

// e[n] for n = 1 to 225.
const u8 kShift225[225] = {
    0,  1,  9,  2,  10, 10, 9,  3,  9,  11, 10, 11, 10, 10, 11, 4,  12, 10, 9,  12, 12, 11, 11, 12, 10, 11, 9,  11,
    12, 12, 10, 5,  10, 13, 12, 11, 13, 10, 12, 13, 10, 13, 13, 12, 12, 12, 12, 13, 13, 11, 13, 12, 13, 10, 13, 12,
    9,  13, 13, 13, 12, 11, 12, 6,  12, 11, 14, 14, 14, 13, 14, 12, 9,  14, 13, 11, 14, 13, 14, 14, 13, 11, 14, 14,
    14, 14, 12, 13, 11, 13, 12, 13, 10, 13, 12, 14, 14, 14, 14, 12, 13, 14, 14, 13, 12, 14, 14, 11, 13, 14, 12, 13,
    14, 10, 13, 14, 12, 14, 13, 14, 14, 13, 14, 12, 14, 13, 14, 7,  14, 13, 14, 12, 14, 15, 15, 15, 15, 15, 13, 14,
    12, 15, 15, 13, 14, 10, 15, 15, 13, 14, 15, 12, 14, 15, 15, 14, 15, 15, 14, 15, 13, 14, 15, 12, 15, 15, 13, 15,
    14, 15, 9,  15, 15, 13, 15, 14, 15, 12, 15, 14, 15, 13, 15, 14, 15, 11, 15, 14, 15, 13, 13, 15, 14, 15, 12, 15,
    14, 15, 15, 13, 15, 14, 15, 15, 10, 15, 14, 14, 15, 13, 15, 15, 14, 15, 12, 12, 15, 14, 14, 15, 13, 13, 15, 14,
    14};

// Where the SAME-padding layer's table differs, for n above 133.
const struct {
  u8 n, e;
} kTfShift[] = {{134, 13}, {135, 14}, {136, 11}, {137, 11}, {138, 14}, {142, 14}, {143, 14}, {147, 14}, {148, 14},
                {151, 14}, {154, 13}, {155, 13}, {157, 11}, {158, 11}, {160, 13}, {163, 14}, {165, 14}, {166, 14},
                {168, 13}, {170, 9},  {172, 14}, {173, 14}, {175, 13}, {177, 14}, {179, 12}, {181, 14}, {183, 13},
                {185, 14}, {187, 11}, {189, 14}, {192, 14}, {194, 12}, {196, 12}, {198, 14}, {199, 13}};

int multiplier_of(int n, int e) { return (int)(((1ll << (e + 1)) + n) / (2ll * n)); }

}  // namespace

int pool_fix8b_reciprocal(int n, int *multiplier, int *shift) {
  if (n < 1 || n > 225) return 0;
  *shift = kShift225[n - 1];
  *multiplier = multiplier_of(n, *shift);
  return 1;
}

int pool_tf_fix8b_reciprocal(int n, int *multiplier, int *shift) {
  if (n < 1 || n > 200) return 0;
  *shift = kShift225[n - 1];
  for (const auto &d : kTfShift)
    if (d.n == n) *shift = d.e;
  *multiplier = multiplier_of(n, *shift);
  return 1;
}

// ---- Splits and pads ----

namespace {

// The plan both splits share; returns the rows a lane can take when one
// plane does not fit (N_initial), for the caller's check.
struct split_t {
  int c_step, h_step, small, N_initial;
  float r;
};

split_t split_of(int input_n, int input_c, int input_h, int input_w, int kh, int pad_h_top, int pad_h_bottom,
                 int pad_w_left, int pad_w_right, int kw, int stride_h, int stride_w, int is_avg_pooling) {
  const int sh = input_h + pad_h_top + pad_h_bottom - kh, sw = input_w + pad_w_left + pad_w_right - kw;
  const int qh = sh / stride_h, rh = sh % stride_h, qw = sw / stride_w, rw = sw % stride_w;
  int OH = qh + 1, OW = qw + 1;
  if (is_avg_pooling == 0) {
    if (stride_h * (qh + 1) < input_h + pad_h_top && rh != 0) OH = qh + 2;
    if (stride_w * (qw + 1) < input_w + pad_w_left && rw != 0) OW = qw + 2;
  }
  const i64 a = 4 * align_up((i64)input_h * input_w, EU_NUM), b = 4 * align_up((i64)OH * OW, EU_NUM);
  split_t s = {};
  s.r = 524288.0f / (float)(a > b ? a : b);
  const float t = s.r * 2.0f * 0.125f;
  const i64 lanes = ceil_div((i64)input_c * ceil_div(input_n, 4), NPU_NUM);
  s.N_initial = (int)floor(0.98 * (double)((float)input_h * s.r * 0.25f));
  if (t >= (float)lanes) {
    s.c_step = (int)(NPU_NUM * (lanes / 8));
    if (s.c_step == 0) s.c_step = NPU_NUM;
    s.h_step = OH * stride_h;
  } else if (t >= 1.0f) {
    s.c_step = NPU_NUM * (int)floorf(t);
    s.h_step = OH * stride_h;
  } else {
    s.small = 1;
    s.c_step = NPU_NUM;
    s.h_step = stride_h * ((s.N_initial - kh) / stride_h) + stride_h;
  }
  return s;
}

}  // namespace

int global_pooling_fix8b_data_split(int input_n, int input_c, int input_h, int input_w, int kh, int kw, int pad_h_top,
                                    int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                    int is_avg_pooling, int *c_step, int *h_step, float *input_ratio) {
  if (pad_h_top > kh || pad_h_bottom > kh || pad_w_left > kw || pad_w_right > kw) return 0;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && kh > 0 && kw > 0 && stride_h > 0 &&
            stride_w > 0);
  const split_t s = split_of(input_n, input_c, input_h, input_w, kh, pad_h_top, pad_h_bottom, pad_w_left, pad_w_right,
                             kw, stride_h, stride_w, is_avg_pooling);
  const int N_initial = s.N_initial;
  if (s.small) ASSERT_FS(N_initial >= kh);
  *c_step = s.c_step;
  *h_step = s.h_step;
  *input_ratio = 0.5f;
  return s.r * 0.25f < 1.0f && N_initial < kh ? 0 : 1;
}

int global_pooling_tf_fix8b_data_split(int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                                       int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h,
                                       int stride_w, int is_avg_pooling, int *c_step, int *h_step,
                                       float *input_ratio) {
  if (pad_h_top > kh || pad_h_bottom > kh || pad_w_left > kw || pad_w_right > kw) return 0;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && kh > 0 && kw > 0 && stride_h > 0 &&
            stride_w > 0);
  const split_t s = split_of(input_n, input_c, input_h, input_w, kh, pad_h_top, pad_h_bottom, pad_w_left, pad_w_right,
                             kw, stride_h, stride_w, is_avg_pooling);
  const int N_initial = s.N_initial;
  if (s.small) ASSERT_FS(N_initial >= kh);
  *c_step = s.c_step;
  *h_step = s.h_step;
  *input_ratio = 0.5f;
  return s.r * 0.25f < 1.0f && N_initial < kh ? 0 : 1;
}

int pool_fix8b_ceil_pad(int input, int kernel, int pad_lo, int pad_hi, int stride) {
  if (kernel > input + pad_lo + pad_hi) return pad_hi;
  const int span = input + pad_lo + pad_hi - kernel, q = span / stride, r = span % stride;
  return r != 0 && (q + 1) * stride < input + pad_lo ? pad_hi + stride - r : pad_hi;
}

// ---- The workers ----

namespace {

typedef int (*reciprocal_fn)(int n, int *multiplier, int *shift);

struct fix8b_t {
  const pool_frame_t *f;
  int is_avg, border, rshift, reserved, opd0_sign, opd1_sign, opd2_sign, output_sign, if_relu;
  reciprocal_fn table;
};

// The largest border constant k * i[v] of the rows and columns the rule
// rescales; -1 when some v has no table entry. A window without input
// elements averages to 0 and needs no constant.
int worst_border_factor(const pool_frame_t *f, reciprocal_fn table) {
  int worst = 0;
  const auto note = [&](int v, int k) {
    int m, e;
    if (v == k || v < 1 || worst < 0) return;
    if (!table(v, &m, &e)) worst = -1;
    else if (k * m > worst) worst = k * m;
  };
  int c0 = 0, r0 = -f->pad_top;
  do {
    pool_slice_t s;
    pool_slice_of(f, c0, r0, &s);
    for (int i = 0; i < s.out_rows; i++) note(pool_valid_count(i, f->kh, s.pt, f->stride_h, s.rows), f->kh);
    pool_next_slice(f, &c0, &r0);
  } while (c0 == 0);
  for (int j = 0; j < f->ow; j++) note(pool_valid_count(j, f->kw, f->pad_left, f->stride_w, f->iw), f->kw);
  return worst;
}

// Per-lane bytes of the 16-bit area a border constant above a byte needs:
// one row or one column of every plane, two items per word.
u32 border_scratch_bytes(const pool_frame_t *f) {
  const int planes = f->c_step < f->planes ? f->c_step : f->planes;
  const int line = f->ow > f->oh ? f->ow : f->oh;
  return 8u * (u32)ceil_div(planes, NPU_NUM) * (u32)line;
}

// region (8-bit 4N, sign output_sign) *= factor >> shift, rounded half up and
// saturated, in place. The engine's multiplier is one byte: a larger factor
// a x 256 + b is applied as x * a into a 16-bit area at `scratch`, then
// (that << 8) + x * b shifted right, then narrowed back to 8 bits, which gives
// the same value as the one product.
void scale_fix8b(u32 region, const dim4_t &shape, const dim4_t &st, int factor, int shift, int output_sign,
                 u32 scratch, int lane_rows, cmd_id_node_t *node) {
  const u32 s = output_sign ? 1u : 0u;
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {s, 0, s}, Int8[4] = {1, 1, 0, 1};
  const u32 modes[4] = {3, 3, 3, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  if (factor <= 0xff) {
    const u32 addr[4] = {local_tag(region), (u32)factor, 0, local_tag(region)};
    const u32 sign[3] = {s, 0, 0};
    atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, &st, &st, &st, TENSOR_OP_MUL, 0, 1, shift, 0, s, sign,
                                           Int8, modes, shifts, 0, node);
    return;
  }
  const int plane = shape.h * shape.w;
  const dim4_t wide = {lane_rows * plane, plane, shape.w, 1};
  const u32 Int16R[4] = {1, 1, 0, 0}, Int16A[4] = {0, 1, 0, 1};
  const u32 hi[4] = {local_tag(region), (u32)factor >> 8, 0, local_tag(scratch)};
  atomic_tensor_arithmetic_fix8b_gen_cmd(hi, &shape, bcast, &st, &st, &wide, TENSOR_OP_MUL, 0, 1, 0, 0, s, Sign,
                                         Int16R, modes, shifts, 0, node);
  const u32 lo[4] = {local_tag(region), (u32)factor & 0xffu, 0, local_tag(scratch)};
  atomic_tensor_arithmetic_fix8b_gen_cmd(lo, &shape, bcast, &st, &st, &wide, TENSOR_OP_MAC, 0, 1, shift, 8, s, Sign,
                                         Int16R, modes, shifts, 0, node);
  const u32 back[4] = {local_tag(scratch), 0, 0, local_tag(region)};
  atomic_tensor_arithmetic_fix8b_gen_cmd(back, &shape, bcast, &wide, &wide, &st, TENSOR_OP_COPY, 0, 0, 0, 0, s, Sign,
                                         Int16A, modes, shifts, 0, node);
}

// The border rule on one piece's output at dst; the slice's input buffer at
// `scratch` is free once every piece is pooled.
void fix8b_border(const fix8b_t &k, const pool_slice_t &s, const pool_piece_t &p, u32 dst, u32 scratch,
                  cmd_id_node_t *node) {
  const pool_frame_t &f = *k.f;
  const int plane = (int)eu_plane((u32)(s.out_rows * f.ow)), lane_rows = (int)ceil_div(p.size, NPU_NUM);
  const dim4_t st = {lane_rows * plane, plane, f.ow, 1};
  const dim4_t row = {4 * p.pieces, p.size, 1, f.ow}, col = {4 * p.pieces, p.size, s.out_rows, 1};
  int m, e;
  for (int i = 0; i < s.out_rows; i++) {
    const int v = pool_valid_count(i, f.kh, s.pt, f.stride_h, s.rows);
    if (v != f.kh && v > 0 && k.table(v, &m, &e))
      scale_fix8b(dst + (u32)(i * f.ow) * 4u, row, st, f.kh * m, e, k.output_sign, scratch, lane_rows, node);
  }
  for (int j = 0; j < f.ow; j++) {
    const int v = pool_valid_count(j, f.kw, f.pad_left, f.stride_w, f.iw);
    if (v != f.kw && v > 0 && k.table(v, &m, &e))
      scale_fix8b(dst + (u32)j * 4u, col, st, f.kw * m, e, k.output_sign, scratch, lane_rows, node);
  }
}

void fix8b_compute(const fix8b_t &k, const pool_slice_t &s, u32 in, cmd_id_node_t *node) {
  const pool_frame_t &f = *k.f;
  const u32 in_row = eu_plane((u32)(s.rows * f.iw)) * 4u, out_row = eu_plane((u32)(s.out_rows * f.ow)) * 4u;
  for (int pass = 0; pass < (k.is_avg && k.border ? 2 : 1); pass++) {
    int remaining = s.c, l = 0;
    while (remaining > 0) {
      pool_piece_t p;
      pool_piece_of(remaining, l, &p);
      const int __c = p.size;
      ASSERT_FS(__c > 0);
      const u32 src = in + (u32)l * in_row, dst = f.output + (u32)l * out_row;
      if (pass == 0)
        atomic_pooling_fix8b_gen_cmd(local_tag(src), local_tag(dst + 0x10000u), local_tag(dst),
                                     local_tag(dst + 0x20000u), 4 * p.pieces, p.size, s.rows, f.iw, s.out_rows, f.ow,
                                     f.kh, f.kw, s.pt, s.pb, f.pad_left, f.pad_right, f.stride_h, f.stride_w, 0, 0,
                                     k.is_avg, k.rshift, 0, k.reserved, k.opd0_sign, k.opd1_sign, k.opd2_sign, 0,
                                     k.if_relu, node);
      else
        fix8b_border(k, s, p, dst, in, node);
      remaining -= p.pieces * p.size;
      l += p.pieces * p.size / NPU_NUM;
    }
  }
}

void fix8b_issue(const fix8b_t &k, u64 input_addr, u64 output_addr, cmd_id_node_t *node) {
  const pool_frame_t &f = *k.f;
  int c0 = 0, r0 = -f.pad_top, more = 1, have_prev = 0;
  pool_slice_t prev = {}, cur = {};
  for (u32 step = 0; more || have_prev; step++) {
    cmd_id_node_t move, compute;
    cmd_id_divide(node, &move, &compute);
    if (more) {
      pool_slice_of(&f, c0, r0, &cur);
      pool_frame_load(&f, &cur, input_addr, 1, f.input[step % 2], &move);
    }
    if (have_prev) fix8b_compute(k, prev, f.input[(step + 1) % 2], &compute);
    cmd_id_merge(node, &move, &compute);
    if (have_prev) pool_frame_store(&f, &prev, output_addr, 1, node);
    have_prev = more;
    if (more) {
      prev = cur;
      more = pool_next_slice(&f, &c0, &r0);
    }
  }
}

// Every border constant comes from the table and fits the two bytes the
// 16-bit step takes; a constant above a byte needs the 16-bit area.
void check_border(const pool_frame_t *f, reciprocal_fn table) {
  const int border_factor = worst_border_factor(f, table);
  ASSERT_FS(border_factor >= 0 && border_factor <= 0xffff);
  if (border_factor > 0xff) {
    const u32 scratch = border_scratch_bytes(f);
    ASSERT_FS(scratch <= f->input_bytes, "scratch=%u buffer=%u", (unsigned)scratch, (unsigned)f->input_bytes);
  }
}

pool_frame_t frame_of(int planes, int ih, int iw, int kh, int kw, int pt, int pb, int pl, int pr, int sh, int sw,
                      int c_step, int h_step, float input_ratio) {
  pool_frame_t f = {planes, ih, iw, (ih + pt + pb - kh) / sh + 1, (iw + pl + pr - kw) / sw + 1, kh, kw, pt, pb, pl, pr,
                    sh, sw, c_step, h_step, {0, 0}, 0, 0};
  pool_frame_buffers(&f, input_ratio);
  return f;
}

}  // namespace

void nodechip_pooling_fix8b_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                             int input_w, int kh, int kw, int pad_h_top, int pad_h_bottom,
                                             int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                             int reserved0, int reserved1, int is_avg_pooling, int avg_pooling_mode,
                                             int rshift, int reserved2, int reserved3, int opd0_sign, int opd1_sign,
                                             int opd2_sign, int output_sign, int if_relu, int c_step, int h_step,
                                             float input_ratio, cmd_id_node_t *node) {
  (void)reserved0, (void)reserved1, (void)reserved2;
  ASSERT_FS(input_c < 4096, "c=%d is too large.\n", input_c);
  ASSERT_FS(input_n >= 0 && input_c >= 0);
  const i64 NC4 = (i64)input_c * ceil_div(input_n, 4);
  if (NC4 == 0) return;
  ASSERT_FS(input_h > 0 && input_w > 0 && kh > 0 && kw > 0 && stride_h > 0 && stride_w > 0);
  ASSERT_FS(pad_h_top >= 0 && pad_h_bottom >= 0 && pad_w_left >= 0 && pad_w_right >= 0);
  ASSERT_FS(kh <= input_h + pad_h_top + pad_h_bottom && kw <= input_w + pad_w_left + pad_w_right);
  ASSERT_FS(c_step > 0 && h_step > 0 && h_step % stride_h == 0, "c_step=%d h_step=%d stride_h=%d", c_step, h_step,
            stride_h);
  const pool_frame_t f = frame_of((int)NC4, input_h, input_w, kh, kw, pad_h_top, pad_h_bottom, pad_w_left,
                                  pad_w_right, stride_h, stride_w, c_step, h_step, input_ratio);
  ASSERT_FS(f.pad_top < 16 && f.pad_bottom < 16 && f.pad_left < 16 && f.pad_right < 16, "pads %d %d %d %d",
            f.pad_top, f.pad_bottom, f.pad_left, f.pad_right);
  pool_frame_walk_t w;
  pool_frame_walk(&f, &w);
  const u64 offset_local_end = (u64)f.output + w.output_bytes;
  ASSERT_FS(offset_local_end <= (1<<19));
  const u32 input_end = w.input_bytes;
  ASSERT_FS(w.min_rows > 0 && input_end <= f.input_bytes, "rows=%d bytes=%u buffer=%u", w.min_rows,
            (unsigned)input_end, (unsigned)f.input_bytes);
  ASSERT_FS(w.min_out_rows > 0 && w.rows_follow, "slice rows %d..%d, output_h=%d", w.bad_ro, w.bad_end, f.oh);
  const fix8b_t k = {&f, is_avg_pooling, avg_pooling_mode, rshift, reserved3, opd0_sign, opd1_sign, opd2_sign,
                     output_sign, if_relu, pool_fix8b_reciprocal};
  if (is_avg_pooling && avg_pooling_mode) check_border(&f, k.table);
  fix8b_issue(k, input_addr, output_addr, node);
}

void nodechip_pooling_fix8b_forward_parallel_with_data_split(
    u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h, int input_w, int kh, int kw,
    int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w, int reserved0,
    int reserved1, int is_avg_pooling, int avg_pooling_mode, int rshift, int reserved2, int reserved3, int opd0_sign,
    int opd1_sign, int opd2_sign, int output_sign, int if_relu, cmd_id_node_t *node) {
  // A split that writes no plan leaves it zero, which the worker refuses.
  int c_step = 0, h_step = 0;
  float ratio = 0.0f;
  if (!global_pooling_fix8b_data_split(input_n, input_c, input_h, input_w, kh, kw, pad_h_top, pad_h_bottom, pad_w_left,
                                       pad_w_right, stride_h, stride_w, is_avg_pooling, &c_step, &h_step, &ratio))
    fw_log(0, "Not supported pooling_fix8b parameters.\n");
  nodechip_pooling_fix8b_forward_parallel(input_addr, output_addr, input_n, input_c, input_h, input_w, kh, kw,
                                          pad_h_top, pad_h_bottom, pad_w_left, pad_w_right, stride_h, stride_w,
                                          reserved0, reserved1, is_avg_pooling, avg_pooling_mode, rshift, reserved2,
                                          reserved3, opd0_sign, opd1_sign, opd2_sign, output_sign, if_relu, c_step,
                                          h_step, ratio, node);
}

void nodechip_pooling_tf_fix8b_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                int input_h, int input_w, int kh, int kw, int pad_h_top,
                                                int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h,
                                                int stride_w, int reserved0, int reserved1, int is_avg_pooling,
                                                int rshift, int reserved2, int reserved3, int opd0_sign,
                                                int opd1_sign, int opd2_sign, int output_sign, int if_relu,
                                                int c_step, int h_step, float input_ratio, cmd_id_node_t *node) {
  (void)reserved0, (void)reserved1, (void)reserved2;
  ASSERT_FS(input_c < 4096, "c=%d is too large.\n", input_c);
  ASSERT_FS(input_n >= 0 && input_c >= 0);
  const i64 NC4 = (i64)input_c * ceil_div(input_n, 4);
  if (NC4 == 0) return;
  ASSERT_FS(input_h > 0 && input_w > 0 && kh > 0 && kw > 0 && stride_h > 0 && stride_w > 0);
  ASSERT_FS(pad_h_top >= 0 && pad_h_bottom >= 0 && pad_w_left >= 0 && pad_w_right >= 0);
  ASSERT_FS(kh <= input_h + pad_h_top + pad_h_bottom && kw <= input_w + pad_w_left + pad_w_right);
  // A remainder gives max pooling one more window; an average cannot take it.
  const int qh = (input_h + pad_h_top + pad_h_bottom - kh) / stride_h, rh = (input_h + pad_h_top + pad_h_bottom - kh) % stride_h;
  if (rh != 0 && (qh + 1) * stride_h < input_h + pad_h_top) {
    ASSERT_FS(is_avg_pooling == 0);
    pad_h_bottom += stride_h - rh;
  }
  const int qw = (input_w + pad_w_left + pad_w_right - kw) / stride_w, rw = (input_w + pad_w_left + pad_w_right - kw) % stride_w;
  if (rw != 0 && (qw + 1) * stride_w < input_w + pad_w_left) {
    ASSERT_FS(is_avg_pooling == 0);
    pad_w_right += stride_w - rw;
  }
  ASSERT_FS(c_step > 0 && h_step > 0 && h_step % stride_h == 0, "c_step=%d h_step=%d stride_h=%d", c_step, h_step,
            stride_h);
  const pool_frame_t f = frame_of((int)NC4, input_h, input_w, kh, kw, pad_h_top, pad_h_bottom, pad_w_left,
                                  pad_w_right, stride_h, stride_w, c_step, h_step, input_ratio);
  ASSERT_FS(f.pad_top < 16 && f.pad_bottom < 16 && f.pad_left < 16 && f.pad_right < 16, "pads %d %d %d %d",
            f.pad_top, f.pad_bottom, f.pad_left, f.pad_right);
  pool_frame_walk_t w;
  pool_frame_walk(&f, &w);
  const u64 offset_local_end = (u64)f.output + w.output_bytes;
  ASSERT_FS(offset_local_end <= (1<<19));
  const u32 input_end = w.input_bytes;
  ASSERT_FS(w.min_rows > 0 && input_end <= f.input_bytes, "rows=%d bytes=%u buffer=%u", w.min_rows,
            (unsigned)input_end, (unsigned)f.input_bytes);
  ASSERT_FS(w.min_out_rows > 0 && w.rows_follow, "slice rows %d..%d, output_h=%d", w.bad_ro, w.bad_end, f.oh);
  const fix8b_t k = {&f, is_avg_pooling, 1, rshift, reserved3, opd0_sign, opd1_sign, opd2_sign,
                     output_sign, if_relu, pool_tf_fix8b_reciprocal};
  if (is_avg_pooling) check_border(&f, k.table);
  fix8b_issue(k, input_addr, output_addr, node);
}

void nodechip_pooling_tf_fix8b_forward_parallel_with_data_split(
    u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h, int input_w, int kh, int kw,
    int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w, int reserved0,
    int reserved1, int is_avg_pooling, int rshift, int reserved2, int reserved3, int opd0_sign, int opd1_sign,
    int opd2_sign, int output_sign, int if_relu, cmd_id_node_t *node) {
  int c_step = 0, h_step = 0;
  float ratio = 0.0f;
  if (!global_pooling_tf_fix8b_data_split(input_n, input_c, input_h, input_w, kh, kw, pad_h_top, pad_h_bottom,
                                          pad_w_left, pad_w_right, stride_h, stride_w, is_avg_pooling, &c_step,
                                          &h_step, &ratio))
    fw_log(0, "Not supported pooling_tf_fix8b parameters.\n");
  nodechip_pooling_tf_fix8b_forward_parallel(input_addr, output_addr, input_n, input_c, input_h, input_w, kh, kw,
                                             pad_h_top, pad_h_bottom, pad_w_left, pad_w_right, stride_h, stride_w,
                                             reserved0, reserved1, is_avg_pooling, rshift, reserved2, reserved3,
                                             opd0_sign, opd1_sign, opd2_sign, output_sign, if_relu, c_step, h_step,
                                             ratio, node);
}
