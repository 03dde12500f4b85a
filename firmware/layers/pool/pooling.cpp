// Float32 pooling: the slice frame, the pipelined worker for strides up to 15
// and the serial worker for any stride.
#include "layers/pool/pooling.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_pool.h"
#include "cmd/data_split.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "local/compare_select.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/services.h"

// The issue calls of a step are forced inline: the loop costs the ARM what
// one written-out loop body did.
#define ISSUE_INLINE inline __attribute__((always_inline))

// ---- The slice frame ----

void pool_frame_buffers(pool_frame_t *f, float input_ratio) {
  // A ratio outside (0, 8] (NaN included) cannot come from a split; it is
  // clamped so that the integer conversion stays defined.
  const float r = input_ratio > 0.0f ? (input_ratio < 8.0f ? input_ratio : 8.0f) : 0.0f;
  int q = (int)(8.0f * r) / 2;
  if (q == 0) q = 1;
  f->input[0] = 0;
  f->input[1] = (u32)q << 16;
  f->output = (u32)q << 17;
  f->input_bytes = (u32)q << 16;
}

static u32 plane_bytes(int c, i64 elems) {
  const i64 b = (i64)ceil_div(c, NPU_NUM) * align_up(elems, EU_NUM) * 4;
  return b > 0xffffffffll ? 0xffffffffu : (u32)b;
}

void pool_slice_of(const pool_frame_t *f, int c0, int r0, pool_slice_t *s) {
  s->c0 = c0;
  s->r0 = r0;
  s->c = c0 >= f->planes ? 0 : (c0 <= f->planes - f->c_step ? f->c_step : f->planes - c0);
  s->rs = r0 > 0 ? r0 : 0;
  s->pt = r0 < 1 ? -r0 : 0;
  const i64 e = (i64)r0 + f->h_step - f->stride_h + f->kh - 1;  // last input row the windows need
  if (e < f->ih) {
    s->rows = (int)(e - s->rs + 1);
    s->pb = 0;
  } else {
    s->rows = f->ih - s->rs;
    s->pb = e < (i64)f->ih + f->pad_bottom ? (int)(e - f->ih + 1) : f->pad_bottom;
  }
  s->ro = (f->pad_top + r0) / f->stride_h;
  const i64 span = (i64)s->rows + s->pt + s->pb - f->kh;
  s->out_rows = span < 0 ? 0 : (int)(span / f->stride_h + 1);
  s->input_bytes = s->rows > 0 ? plane_bytes(s->c, (i64)s->rows * f->iw) : 0;
  s->output_bytes = plane_bytes(s->c, (i64)s->out_rows * f->ow);
}

int pool_next_slice(const pool_frame_t *f, int *c0, int *r0) {
  const i64 next = (i64)*r0 + f->h_step;
  if (next > (i64)f->ih + f->pad_bottom - f->kh) {
    *r0 = -f->pad_top;
    *c0 = (i64)*c0 + f->c_step >= f->planes ? f->planes : *c0 + f->c_step;
  } else {
    *r0 = (int)next;
  }
  return *c0 < f->planes;
}

int pool_piece_of(int remaining, int row, pool_piece_t *p) {
  int pieces = 1, size = remaining;
  while (size > POOL_PIECE_MAX) {
    pieces++;
    size = remaining / pieces;
  }
  if (pieces > 1) size = size / NPU_NUM * NPU_NUM;
  p->pieces = pieces;
  p->size = size;
  p->row = row;
  return size > 0;
}

int pool_valid_count(int i, int kernel, int pad, int stride, int extent) {
  const i64 t = (i64)kernel - pad + (i64)i * stride;
  const i64 hi = t < extent ? t : extent, lo = t - kernel > 0 ? t - kernel : 0;
  return (int)(hi - lo);
}

void pool_frame_walk(const pool_frame_t *f, pool_frame_walk_t *w) {
  w->input_bytes = w->output_bytes = 0;
  w->min_rows = w->min_out_rows = w->min_valid_rows = 0x7fffffff;
  w->rows_follow = 1;
  w->bad_ro = w->bad_end = 0;
  w->last_pb = 0;
  // Every plane block walks the same rows; only the plane counts differ, and
  // the first block has the most.
  int c0 = 0, r0 = -f->pad_top, next_row = 0;
  do {
    pool_slice_t s;
    pool_slice_of(f, c0, r0, &s);
    if (s.input_bytes > w->input_bytes) w->input_bytes = s.input_bytes;
    if (s.output_bytes > w->output_bytes) w->output_bytes = s.output_bytes;
    if (s.rows < w->min_rows) w->min_rows = s.rows;
    if (s.out_rows < w->min_out_rows) w->min_out_rows = s.out_rows;
    for (int i = 0; i < s.out_rows && s.rows > 0; i++) {
      const int v = pool_valid_count(i, f->kh, s.pt, f->stride_h, s.rows);
      if (v < w->min_valid_rows) w->min_valid_rows = v;
    }
    if (w->rows_follow && (s.ro != next_row || s.ro + s.out_rows > f->oh)) {
      w->rows_follow = 0;
      w->bad_ro = s.ro;
      w->bad_end = s.ro + s.out_rows;
    }
    next_row = s.ro + s.out_rows;
    w->last_pb = s.pb;
    pool_next_slice(f, &c0, &r0);
  } while (c0 == 0);
  if (w->rows_follow && next_row != f->oh) {
    w->rows_follow = 0;
    w->bad_ro = next_row;
    w->bad_end = f->oh;
  }
  // The last block may hold fewer planes: its slices take no more bytes.
}

void pool_frame_areas(const pool_frame_t *f, local_area_t areas[POOL_FRAME_AREAS]) {
  areas[0] = {"input 0", f->input[0], f->input_bytes};
  areas[1] = {"input 1", f->input[1], f->input_bytes};
  areas[2] = {"output", f->output, f->output < POOL_LANE_BYTES ? POOL_LANE_BYTES - f->output : 0};
}

void pool_pads_of(pool_pads_t *p, int input_h, int input_w, int output_h, int output_w, int kh, int kw,
                  int pad_h_top, int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h, int stride_w) {
  const i64 eh = (i64)(output_h - 1) * stride_h + kh - input_h - pad_h_top;
  const i64 ew = (i64)(output_w - 1) * stride_w + kw - input_w - pad_w_left;
  p->pad_h_extra = eh > 0 ? (int)eh : 0;
  p->pad_w_extra = ew > 0 ? (int)ew : 0;
  const i64 sh = (i64)input_h + pad_h_top + pad_h_bottom - kh;
  const i64 sw = (i64)input_w + pad_w_left + pad_w_right - kw;
  p->pad_h_bottom_adj = sh >= 0 && sh / stride_h + 1 >= output_h ? p->pad_h_extra : pad_h_bottom;
  p->pad_w_right_adj = sw >= 0 && sw / stride_w + 1 >= output_w ? p->pad_w_extra : pad_w_right;
}

void pool_stride_split(int stride, int *d, int *e) {
  int k = 15;
  while (k >= 2 && stride % k != 0) k--;
  *d = k >= 2 ? k : 1;
  *e = stride / *d;
}

// ---- Shared commands ----

u32 pool_f32_bits(float f) {
  u32 u;
  memcpy(&u, &f, 4);
  return u;
}

// region *= factor in place (float32).
static void scale_region(u32 offset, const dim4_t &shape, const dim4_t &st, float factor, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(local_tag(offset), 0, local_tag(offset), &shape, 0, 0, 0, &st, &st, &st,
                                   TENSOR_OP_MUL, 0, 0, 0, 1, pool_f32_bits(factor), 0, node);
}

void pool_border_f32(const pool_border_t *b, cmd_id_node_t *node) {
  const dim4_t st = {b->n_stride, b->c_stride, b->ow, 1};
  const dim4_t row = {b->n, b->c, 1, b->ow}, col = {b->n, b->c, b->out_rows, 1};
  if (b->mode == POOL_AVG_MODE_REAL) {
    for (int i = 0; i < b->out_rows; i++) {
      const int v = pool_valid_count(i, b->kh, b->pt, b->stride_h, b->rows);
      if (v != b->kh) scale_region(b->offset + (u32)(i * b->ow) * 4u, row, st, (float)b->kh / (float)v, node);
    }
    for (int j = 0; j < b->ow; j++) {
      const int v = pool_valid_count(j, b->kw, b->pad_left, b->stride_w, b->iw);
      if (v != b->kw) scale_region(b->offset + (u32)j * 4u, col, st, (float)b->kw / (float)v, node);
    }
  } else if (b->mode == POOL_AVG_MODE_PADDED) {
    if (b->last_row_rows > 0)
      scale_region(b->offset + (u32)((b->out_rows - 1) * b->ow) * 4u, row, st,
                   (float)b->kh / (float)b->last_row_rows, node);
    if (b->last_col_cols > 0)
      scale_region(b->offset + (u32)(b->ow - 1) * 4u, col, st, (float)b->kw / (float)b->last_col_cols, node);
  }
}

// ---- Strides up to 15 ----

namespace {

struct float_pool_t {
  const pool_frame_t *f;
  pool_pads_t pads;
  int is_avg, mode, if_relu;
};

// The rows and columns of the border rule on one command's output, as the
// frame's slice places them.
pool_border_t border_of(const float_pool_t &k, const pool_slice_t &s, u32 out, const pool_piece_t &p) {
  const pool_frame_t &f = *k.f;
  const int plane = (int)eu_plane((u32)(s.out_rows * f.ow));
  pool_border_t b = {};
  b.offset = out;
  b.n = p.pieces;
  b.c = p.size;
  b.out_rows = s.out_rows;
  b.ow = f.ow;
  b.n_stride = (int)ceil_div(p.size, NPU_NUM) * plane;
  b.c_stride = plane;
  b.mode = k.mode;
  b.kh = f.kh;
  b.kw = f.kw;
  b.pt = s.pt;
  b.rows = s.rows;
  b.stride_h = f.stride_h;
  b.stride_w = f.stride_w;
  b.pad_left = f.pad_left;
  b.iw = f.iw;
  if (k.pads.pad_h_bottom_adj != s.pb && s.ro + s.out_rows == f.oh) b.last_row_rows = f.kh - s.pb + k.pads.pad_h_bottom_adj;
  if (k.pads.pad_w_right_adj != k.pads.pad_w_extra) b.last_col_cols = f.kw - k.pads.pad_w_extra + k.pads.pad_w_right_adj;
  return b;
}

void pool_slice_compute(const float_pool_t &k, const pool_slice_t &s, u32 in, cmd_id_node_t *node) {
  const pool_frame_t &f = *k.f;
  const u32 in_row = eu_plane((u32)(s.rows * f.iw)) * 4u, out_row = eu_plane((u32)(s.out_rows * f.ow)) * 4u;
  int remaining = s.c, l = 0;
  while (remaining > 0) {
    pool_piece_t p;
    pool_piece_of(remaining, l, &p);
    const int __c = p.size;
    ASSERT_FS(__c > 0);
    const u32 src = in + (u32)l * in_row, dst = f.output + (u32)l * out_row;
    if (!k.is_avg)
      atomic_max_pooling_gen_cmd(local_tag(src), local_tag(dst), p.pieces, p.size, s.rows, f.iw, s.out_rows, f.ow,
                                 f.kh, f.kw, s.pt, s.pb, f.pad_left, f.pad_right, f.stride_h, f.stride_w, 0, 0, node);
    else {
      atomic_avg_pooling_gen_cmd(local_tag(src), local_tag(dst), p.pieces, p.size, s.rows, f.iw, s.out_rows, f.ow,
                                 f.kh, f.kw, s.pt, s.pb, f.pad_left, f.pad_right, f.stride_h, f.stride_w, 0, 0,
                                 pool_f32_bits(1.0f / (float)(f.kh * f.kw)), node);
      const pool_border_t b = border_of(k, s, dst, p);
      pool_border_f32(&b, node);
    }
    if (k.if_relu) {
      const dim4_t shape = {p.pieces, p.size, s.out_rows, f.ow};
      nodechip_relu_forward_local(dst, dst, &shape, 0.0f, node);
    }
    remaining -= p.pieces * p.size;
    l += p.pieces * p.size / NPU_NUM;
  }
}

}  // namespace

void pool_frame_load(const pool_frame_t *f, const pool_slice_t *s, u64 input_addr, int plane_stride, u32 buf,
                     cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)(s->rows * f->iw));
  tensor_stride_move_gen_cmd(buf, 0, input_addr + ((u64)s->rs * f->iw + (u64)s->c0 * f->ih * f->iw) * 4u, 1, s->c,
                             s->rows, f->iw, plane_stride * f->ih * f->iw, f->ih * f->iw, f->iw, 1,
                             (int)ceil_div(s->c, NPU_NUM) * plane, plane, f->iw, 1, GDMA_VALUE_FORMAT_FLOAT32,
                             GDMA_VALUE_DIR_S2L, 0, node);
}

void pool_frame_store(const pool_frame_t *f, const pool_slice_t *s, u64 output_addr, int plane_stride,
                      cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)(s->out_rows * f->ow));
  tensor_stride_move_gen_cmd(f->output, 0, output_addr + ((u64)s->ro * f->ow + (u64)s->c0 * f->oh * f->ow) * 4u, 1,
                             s->c, s->out_rows, f->ow, (int)ceil_div(s->c, NPU_NUM) * plane, plane, f->ow, 1,
                             plane_stride * f->oh * f->ow, f->oh * f->ow, f->ow, 1, GDMA_VALUE_FORMAT_FLOAT32,
                             GDMA_VALUE_DIR_L2S, 0, node);
}

void nodechip_pooling_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                       int input_w, int output_h, int output_w, int kh, int kw, int pad_h_top,
                                       int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h,
                                       int stride_w, int is_avg_pooling, int avg_pooling_mode, int if_relu,
                                       int c_step, int h_step, float input_ratio, cmd_id_node_t *node) {
  ASSERT_FS(input_c < 4096, "c=%d is too large.\n", input_c);
  ASSERT_FS(input_n >= 0 && input_c >= 0);
  const i64 NC = (i64)input_n * input_c;
  if (NC == 0) return;
  ASSERT_FS(input_h > 0 && input_w > 0 && output_h > 0 && output_w > 0 && kh > 0 && kw > 0);
  ASSERT_FS(pad_h_top >= 0 && pad_w_left >= 0 && pad_h_bottom >= 0 && pad_w_right >= 0);
  ASSERT_FS(stride_h > 0 && stride_h < 16 && stride_w > 0 && stride_w < 16);
  // The plan must name whole slices: an unset plan would never advance.
  ASSERT_FS(c_step > 0 && h_step > 0 && h_step % stride_h == 0, "c_step=%d h_step=%d stride_h=%d", c_step, h_step,
            stride_h);

  float_pool_t k;
  pool_pads_of(&k.pads, input_h, input_w, output_h, output_w, kh, kw, pad_h_top, pad_w_left, pad_h_bottom, pad_w_right,
               stride_h, stride_w);
  k.is_avg = is_avg_pooling;
  k.mode = avg_pooling_mode;
  k.if_relu = if_relu;
  pool_frame_t f = {(int)NC, input_h, input_w, output_h, output_w, kh, kw, pad_h_top, k.pads.pad_h_extra,
                    pad_w_left, k.pads.pad_w_extra, stride_h, stride_w, c_step, h_step, {0, 0}, 0, 0};
  pool_frame_buffers(&f, input_ratio);
  k.f = &f;
  // Pads are 4-bit fields of the pooling command.
  ASSERT_FS(f.pad_top < 16 && f.pad_bottom < 16 && f.pad_left < 16 && f.pad_right < 16, "pads %d %d %d %d",
            f.pad_top, f.pad_bottom, f.pad_left, f.pad_right);

  // Every slice is checked before the first command: its output fits the
  // lane, its input its buffer, its rows are the output rows that follow the
  // previous slice's, and no averaged window is empty.
  pool_frame_walk_t w;
  pool_frame_walk(&f, &w);
  const u64 offset_local_end = (u64)f.output + w.output_bytes;
  ASSERT_FS(offset_local_end <= (1<<19));
  const u32 input_end = w.input_bytes;
  ASSERT_FS(w.min_rows > 0 && input_end <= f.input_bytes, "rows=%d bytes=%u buffer=%u", w.min_rows,
            (unsigned)input_end, (unsigned)f.input_bytes);
  ASSERT_FS(w.min_out_rows > 0 && w.rows_follow, "slice rows %d..%d, output_h=%d", w.bad_ro, w.bad_end, output_h);
  if (is_avg_pooling && avg_pooling_mode == POOL_AVG_MODE_REAL) {
    const int valid_rows = w.min_valid_rows;
    ASSERT_FS(valid_rows > 0);
    for (int j = 0; j < output_w; j++) {
      const int valid_cols = pool_valid_count(j, kw, pad_w_left, stride_w, input_w);
      ASSERT_FS(valid_cols > 0, "output column %d", j);
    }
  }
  if (is_avg_pooling && avg_pooling_mode == POOL_AVG_MODE_PADDED) {
    const int last_rows = k.pads.pad_h_bottom_adj != w.last_pb ? kh - w.last_pb + k.pads.pad_h_bottom_adj : kh;
    const int last_cols = k.pads.pad_w_right_adj != k.pads.pad_w_extra ? kw - k.pads.pad_w_extra + k.pads.pad_w_right_adj : kw;
    ASSERT_FS(last_rows > 0 && last_cols > 0, "last window %d x %d", last_rows, last_cols);
  }

  // Load slice k, pool slice k - 1 and store it.
  int c0 = 0, r0 = -pad_h_top, more = 1, have_prev = 0;
  pool_slice_t prev = {}, cur = {};
  for (u32 step = 0; more || have_prev; step++) {
    cmd_id_node_t move, compute;
    cmd_id_divide(node, &move, &compute);
    if (more) {
      pool_slice_of(&f, c0, r0, &cur);
      pool_frame_load(&f, &cur, input_addr, input_c, f.input[step % 2], &move);
    }
    if (have_prev) pool_slice_compute(k, prev, f.input[(step + 1) % 2], &compute);
    cmd_id_merge(node, &move, &compute);
    if (have_prev) pool_frame_store(&f, &prev, output_addr, input_c, node);
    have_prev = more;
    if (more) {
      prev = cur;
      more = pool_next_slice(&f, &c0, &r0);
    }
  }
}

void nodechip_pooling_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                       int input_h, int input_w, int output_h, int output_w, int kh,
                                                       int kw, int pad_h, int pad_w, int stride_h, int stride_w,
                                                       int is_avg_pooling, int avg_pooling_mode, int if_relu,
                                                       cmd_id_node_t *node) {
  // A split that rejects the parameters before writing leaves the plan zero,
  // which the worker refuses.
  pooling_secs_info_t plan = {0, 0, 0.0f};
  if (!global_pooling_data_split(input_n, input_c, input_h, input_w, output_h, output_w, kh, kw, pad_h, pad_w, pad_h,
                                 pad_w, stride_h, stride_w, is_avg_pooling, &plan))
    fw_log(0, "Not supported pooling parameters.\n");
  if (stride_h <= 15 && stride_w <= 15)
    nodechip_pooling_forward_parallel(input_addr, output_addr, input_n, input_c, input_h, input_w, output_h, output_w,
                                      kh, kw, pad_h, pad_w, pad_h, pad_w, stride_h, stride_w, is_avg_pooling,
                                      avg_pooling_mode, if_relu, (int)plan.c_step, (int)plan.h_step,
                                      plan.input_ratio, node);
  else
    nodechip_pooling_forward_parallel_stride_no_limit(input_addr, output_addr, input_n, input_c, input_h, input_w,
                                                      output_h, output_w, kh, kw, stride_h, stride_w, is_avg_pooling,
                                                      avg_pooling_mode, if_relu, 0.0f, pad_h, pad_h, pad_w, pad_w,
                                                      node);
}

// ---- Any stride ----

static const gdma_value_format_t kF32 = GDMA_VALUE_FORMAT_FLOAT32;

namespace {

void pooling_gen_command(int is_avg, u32 in, u32 out, int N, int C, int H, int W, int OH, int OW, int kh, int kw,
                         int pt, int pb, int pl, int pr, int sh, int sw, float scale, cmd_id_node_t *node) {
  if (!is_avg)
    atomic_max_pooling_gen_cmd(local_tag(in), local_tag(out), N, C, H, W, OH, OW, kh, kw, pt, pb, pl, pr, sh, sw, 0,
                               0, node);
  else
    atomic_avg_pooling_gen_cmd(local_tag(in), local_tag(out), N, C, H, W, OH, OW, kh, kw, pt, pb, pl, pr, sh, sw, 0,
                               0, pool_f32_bits(scale), node);
}

// Row i, column j of the result at dst is row i * e_h, column j * e_w of the
// intermediate at offset 0.
void extract_gen_command(u32 dst, int N, int C, int IH, int IW, int OH, int OW, int e_h, int e_w,
                         cmd_id_node_t *node) {
  const int ip = (int)eu_plane((u32)(IH * IW)), op = (int)eu_plane((u32)(OH * OW));
  const int rows = (int)ceil_div(C, NPU_NUM);
  const dim4_t shape = {N, C, OH, OW}, src = {ip * rows, ip, IW * e_h, e_w}, res = {op * rows, op, OW, 1};
  atomic_tensor_arithmetic_gen_cmd(local_tag(0), 0, local_tag(dst), &shape, 0, 0, 0, &src, &src, &res, TENSOR_OP_COPY,
                                   0, 0, 0, 0, 0, 0, node);
}

}  // namespace

void pool_wide_plan_of(pool_wide_plan_t *p, int n, int c, int ih, int iw, int oh, int ow, const conv_window_t *w) {
  p->n = n, p->c = c, p->ih = ih, p->iw = iw, p->oh = oh, p->ow = ow;
  p->win = *w;
  const int kh = w->kh, kw = w->kw;
  pool_pads_of(&p->pads, ih, iw, oh, ow, kh, kw, w->pad_t, w->pad_l, w->pad_b, w->pad_r, w->stride_h, w->stride_w);
  pool_stride_split(w->stride_h, &p->d_h, &p->e_h);
  pool_stride_split(w->stride_w, &p->d_w, &p->e_w);
  p->mid_h = (i64)(oh - 1) * p->e_h + 1;
  p->mid_w = (i64)(ow - 1) * p->e_w + 1;
  const pool_pads_t &pads = p->pads;
  p->last_rows = pads.pad_h_bottom_adj != pads.pad_h_extra ? kh - pads.pad_h_extra + pads.pad_h_bottom_adj : 0;
  p->last_cols = pads.pad_w_right_adj != pads.pad_w_extra ? kw - pads.pad_w_extra + pads.pad_w_right_adj : 0;
  p->batch_per = p->batch_rem = p->chan_per = p->chan_rem = 0;
  if (n <= 0 || c <= 0 || p->mid_h >= 4096 || p->mid_w >= 4096 || (i64)ih * iw >= (1 << 24)) {
    p->in_plane = p->mid_plane = p->out_plane = p->big_plane = p->per_ch = 0;
    p->scale = 0.0f;
    p->cut = POOL_WIDE_CUT_BLOCKS;
    p->batch_pieces = p->chan_pieces = p->row_pieces = p->row_step = 0;
    return;
  }
  p->in_plane = align_up((i64)ih * iw, EU_NUM);
  p->mid_plane = align_up(p->mid_h * p->mid_w, EU_NUM);
  p->out_plane = align_up((i64)oh * ow, EU_NUM);
  p->big_plane = p->in_plane > p->mid_plane ? p->in_plane : p->mid_plane;
  p->per_ch = 4 * p->big_plane + 4 * p->out_plane;
  p->scale = 1.0f / (float)(kh * kw);
  const i64 t = 524288 / p->per_ch;
  if (t >= 1) {
    p->cut = POOL_WIDE_CUT_BLOCKS;
    const int cpl = (int)ceil_div(c, NPU_NUM);
    if (t < cpl) {
      p->chan_pieces = (int)ceil_div(cpl, t);
      p->batch_pieces = n;
    } else {
      p->batch_pieces = (int)ceil_div(n, (int)(t / cpl));
      p->chan_pieces = 1;
    }
    p->row_pieces = 1;
    p->batch_per = n / p->batch_pieces, p->batch_rem = n % p->batch_pieces;
    p->chan_per = c / p->chan_pieces, p->chan_rem = c % p->chan_pieces;
    p->row_step = oh;
  } else {
    p->cut = POOL_WIDE_CUT_ROWS;
    p->row_step = (int)(0.9 * (double)(524288.0f / (float)p->per_ch) * oh);
    p->batch_pieces = n;
    p->chan_pieces = (int)ceil_div(c, NPU_NUM);
    // Counted, not divided: the ARM has no divider, and the steps are few.
    p->row_pieces = 0;
    if (p->row_step > 0)
      for (i64 oh0 = 0; oh0 < oh; oh0 += p->row_step) p->row_pieces++;
  }
}

// Forced inline: the issue loop takes its steps without a call.
static inline __attribute__((always_inline)) pool_wide_step_t wide_step_at(const pool_wide_plan_t *p, int i, int j,
                                                                           int k) {
  pool_wide_step_t s = {};
  if (i < 0 || i >= p->batch_pieces || j < 0 || j >= p->chan_pieces || k < 0 || k >= p->row_pieces) return s;
  const conv_window_t &w = p->win;
  if (p->cut == POOL_WIDE_CUT_BLOCKS) {
    s.n0 = i * p->batch_per + (i < p->batch_rem ? i : p->batch_rem);
    s.n = p->batch_per + (i < p->batch_rem ? 1 : 0);
    s.c0 = j * p->chan_per + (j < p->chan_rem ? j : p->chan_rem);
    s.c = p->chan_per + (j < p->chan_rem ? 1 : 0);
    s.out_rows = p->oh;
    s.rows = p->ih;
    s.pt = w.pad_t;
    s.pb = p->pads.pad_h_extra;
    s.mid_rows = (int)p->mid_h;
    s.lane_rows = (int)ceil_div(s.c, NPU_NUM);
    s.in_plane = (int)p->in_plane;
    s.out_plane = (int)p->out_plane;
    s.mid_off = (u32)((i64)s.lane_rows * s.n * 4 * p->big_plane);
    s.first = s.last = 1;
    return s;
  }
  s.n0 = i;
  s.n = 1;
  s.c0 = j * NPU_NUM;
  s.c = p->c - s.c0 < NPU_NUM ? p->c - s.c0 : NPU_NUM;
  s.oh0 = k * p->row_step;
  s.out_rows = p->row_step < p->oh - s.oh0 ? p->row_step : p->oh - s.oh0;
  // The windows of the step's rows, clipped to the input: what is cut off
  // above and below becomes the command's pads.
  const int start = -w.pad_t + s.oh0 * w.stride_h;
  int span = (s.out_rows - 1) * w.stride_h + w.kh;
  if (start + span > p->ih) {
    s.pb = start + span - p->ih;
    span = p->ih - start;
  }
  if (start < 0) {
    s.pt = -start;
    span += start;
  } else {
    s.row0 = start;
  }
  s.rows = span;
  s.mid_rows = (s.out_rows - 1) * p->e_h + 1;
  const i64 big = (i64)s.mid_rows * p->mid_w > (i64)s.rows * p->iw ? (i64)s.mid_rows * p->mid_w : (i64)s.rows * p->iw;
  s.mid_off = (u32)(align_up(big, EU_NUM) * 4);
  s.lane_rows = 1;
  s.in_plane = (int)eu_plane((u32)(s.rows * p->iw));
  s.out_plane = (int)eu_plane((u32)(s.out_rows * p->ow));
  s.first = s.oh0 == 0;
  s.last = s.oh0 + s.out_rows == p->oh;
  return s;
}

pool_wide_step_t pool_wide_step_of(const pool_wide_plan_t *p, int i, int j, int k) { return wide_step_at(p, i, j, k); }

namespace {

// The any-stride worker's operation beside its plan.
struct wide_pool_t {
  const pool_wide_plan_t *p;
  u64 input_addr, output_addr;
  int is_avg, mode, if_relu;
  float relu_upper;
};

ISSUE_INLINE void issue_wide_loads(const wide_pool_t &k, const pool_wide_step_t &s, cmd_id_node_t *node) {
  const pool_wide_plan_t &p = *k.p;
  const u64 plane = (u64)s.n0 * p.c + s.c0;
  const dim4_t planes = dim4(p.c * p.ih * p.iw, p.ih * p.iw, p.iw, 1);
  if (p.cut == POOL_WIDE_CUT_BLOCKS)
    move_g2l(global_view(k.input_addr + plane * p.ih * p.iw * 4u, dim4(s.n, s.c, p.ih, p.iw), planes, kF32),
             local_f32(0, dim4(s.lane_rows * s.in_plane, s.in_plane, p.iw, 1)), node);
  else
    stride_load(global_view(k.input_addr + (plane * p.ih * p.iw + (u64)s.row0 * p.iw) * 4u,
                            dim4(1, s.c, s.rows, p.iw), planes, kF32),
                local_f32(0, dim4(s.in_plane, s.in_plane, p.iw, 1)), node);
}

// Pool at the engine strides, keep every e-th row and column, then the
// average's border rule and the ReLU on the output region.
ISSUE_INLINE void issue_wide_compute(const wide_pool_t &k, const pool_wide_step_t &s, cmd_id_node_t *node) {
  const pool_wide_plan_t &p = *k.p;
  const conv_window_t &w = p.win;
  pooling_gen_command(k.is_avg, 0, 0, s.n, s.c, s.rows, p.iw, s.mid_rows, (int)p.mid_w, w.kh, w.kw, s.pt, s.pb,
                      w.pad_l, p.pads.pad_w_extra, p.d_h, p.d_w, p.scale, node);
  extract_gen_command(s.mid_off, s.n, s.c, s.mid_rows, (int)p.mid_w, s.out_rows, p.ow, p.e_h, p.e_w, node);
  if (k.is_avg) {
    pool_border_t b = {};
    b.offset = s.mid_off;
    b.n = s.n;
    b.c = s.c;
    b.out_rows = s.out_rows;
    b.ow = p.ow;
    b.n_stride = s.lane_rows * s.out_plane;
    b.c_stride = s.out_plane;
    b.mode = k.mode;
    b.kh = w.kh;
    b.kw = w.kw;
    b.pt = s.pt;
    b.rows = s.rows;
    b.stride_h = w.stride_h;
    b.stride_w = w.stride_w;
    b.pad_left = w.pad_l;
    b.iw = p.iw;
    b.last_row_rows = s.last ? p.last_rows : 0;
    b.last_col_cols = p.last_cols;
    pool_border_f32(&b, node);
  }
  if (k.if_relu) {
    const dim4_t shape = {s.n, s.c, s.out_rows, p.ow};
    nodechip_relu_forward_local(s.mid_off, s.mid_off, &shape, k.relu_upper, node);
  }
}

ISSUE_INLINE void issue_wide_store(const wide_pool_t &k, const pool_wide_step_t &s, cmd_id_node_t *node) {
  const pool_wide_plan_t &p = *k.p;
  const u64 plane = (u64)s.n0 * p.c + s.c0;
  const dim4_t planes = dim4(p.c * p.oh * p.ow, p.oh * p.ow, p.ow, 1);
  const local_view_t out = local_f32(s.mid_off, dim4(s.lane_rows * s.out_plane, s.out_plane, p.ow, 1));
  if (p.cut == POOL_WIDE_CUT_BLOCKS)
    move_l2g(out, global_view(k.output_addr + plane * p.oh * p.ow * 4u, dim4(s.n, s.c, p.oh, p.ow), planes, kF32),
             node);
  else
    stride_store(out,
                 global_view(k.output_addr + (plane * p.oh * p.ow + (u64)s.oh0 * p.ow) * 4u,
                             dim4(1, s.c, s.out_rows, p.ow), planes, kF32),
                 node);
}

}  // namespace

void nodechip_pooling_forward_parallel_stride_no_limit(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                       int input_h, int input_w, int output_h, int output_w, int kh,
                                                       int kw, int stride_h, int stride_w, int is_avg_pooling,
                                                       int avg_pooling_mode, int if_relu, float relu_upper_limit,
                                                       int pad_h_top, int pad_h_bottom, int pad_w_left,
                                                       int pad_w_right, cmd_id_node_t *node) {
  if (input_n <= 0 || input_c <= 0) return;
  ASSERT_FS(input_h > 0 && input_w > 0 && output_h > 0 && output_w > 0 && kh > 0 && kw > 0);
  ASSERT_FS(pad_h_top >= 0 && pad_w_left >= 0 && pad_h_bottom >= 0 && pad_w_right >= 0);
  ASSERT_FS(stride_h > 0 && stride_w > 0);
  const conv_window_t win =
      conv_window_of(kh, kw, 1, 1, pad_h_top, pad_h_bottom, pad_w_left, pad_w_right, stride_h, stride_w);
  pool_wide_plan_t plan;
  pool_wide_plan_of(&plan, input_n, input_c, input_h, input_w, output_h, output_w, &win);
  const pool_pads_t &pads = plan.pads;
  ASSERT_FS(pad_h_top < 16 && pads.pad_h_extra < 16 && pad_w_left < 16 && pads.pad_w_extra < 16, "pads %d %d %d %d",
            pad_h_top, pads.pad_h_extra, pad_w_left, pads.pad_w_extra);
  const i64 IOH = plan.mid_h, IOW = plan.mid_w;
  // The windows the output rows take must lie within the padded input.
  ASSERT_FS(IOH < 4096 && IOW < 4096 && (i64)input_h * input_w < (1 << 24));
  const int last_rows = plan.last_rows, last_cols = plan.last_cols;
  if (is_avg_pooling && avg_pooling_mode == POOL_AVG_MODE_REAL) {
    for (int i = 0; i < output_h; i++) {
      const int valid_rows = pool_valid_count(i, kh, pad_h_top, stride_h, input_h);
      ASSERT_FS(valid_rows > 0, "output row %d", i);
    }
    for (int j = 0; j < output_w; j++) {
      const int valid_cols = pool_valid_count(j, kw, pad_w_left, stride_w, input_w);
      ASSERT_FS(valid_cols > 0, "output column %d", j);
    }
  }
  if (is_avg_pooling && avg_pooling_mode == POOL_AVG_MODE_PADDED)
    ASSERT_FS(last_rows >= 0 && last_cols >= 0 && (pads.pad_h_bottom_adj == pads.pad_h_extra || last_rows > 0) &&
              (pads.pad_w_right_adj == pads.pad_w_extra || last_cols > 0));

  if (plan.cut == POOL_WIDE_CUT_BLOCKS) {
    // The largest piece comes first.
    const pool_wide_step_t s = wide_step_at(&plan, 0, 0, 0);
    const i64 mid_off = (i64)s.lane_rows * s.n * 4 * plan.big_plane;
    const i64 local_all_offset = mid_off + (i64)s.lane_rows * s.n * 4 * plan.out_plane;
    ASSERT_FS(local_all_offset <= (1<<19));
  } else {
    // One plane per lane does not fit: steps of output rows.
    const int top_h_step = plan.row_step;
    ASSERT_FS(top_h_step > 0);
    for (int k = 0; k < plan.row_pieces; k++) {
      const pool_wide_step_t h = wide_step_at(&plan, 0, 0, k);
      ASSERT_FS(h.rows > 0);
      const i64 local_all_offset = (i64)h.mid_off + align_up((i64)h.out_rows * output_w, EU_NUM) * 4;
      ASSERT_FS(local_all_offset <= (1<<19));
    }
  }

  const wide_pool_t job = {&plan, input_addr, output_addr, is_avg_pooling, avg_pooling_mode, if_relu,
                           relu_upper_limit};
  for (int i = 0; i < plan.batch_pieces; i++)
    for (int j = 0; j < plan.chan_pieces; j++)
      for (int k = 0; k < plan.row_pieces; k++) {
        const pool_wide_step_t s = wide_step_at(&plan, i, j, k);
        issue_wide_loads(job, s, node);
        issue_wide_compute(job, s, node);
        issue_wide_store(job, s, node);
      }
}
