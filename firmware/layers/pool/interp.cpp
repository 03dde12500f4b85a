// Float interpolation: indices and weights on the ARM, blends of whole rows
// and columns on the tensor engine, slices pipelined.
#include "layers/pool/interp.h"

#include <math.h>
#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "layers/pool/pooling.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

// The issue calls of a step are forced inline: the loop costs the ARM what
// one written-out loop body did.
#define ISSUE_INLINE inline __attribute__((always_inline))

float interp_scale(const interp_coord_t *coord, int in, int out) {
  const float fin = (float)in, fout = (float)out;
  switch (coord->mode) {
    case 0:
    case 2:
      return out > 1 ? (fin - 1.0f) / (fout - 1.0f) : 0.0f;
    case 1:
    case 3:
      return coord->align_corners && out > 1 ? (fin - 1.0f) / (fout - 1.0f) : fin / fout;
    case 4:
      if (out <= 1) return 0.0f;
      return coord->align_corners ? (fin - 1.0f) / (fout - 1.0f) : fin / fout;
    default:
      return fin / fout;
  }
}

void getIndex(const interp_coord_t *coord, int in, int o, float scale, float *weight, int *index) {
  float t, w = 0.0f;
  int i;
  switch (coord->mode) {
    case 0:
    case 2:
      t = scale * (float)o;
      i = (int)t;
      w = t - (float)i;
      if (coord->mode == 2) w = (float)round((double)w);
      break;
    case 1:
      t = coord->half_pixel ? ((float)o + 0.5f) * scale - 0.5f : scale * (float)o;
      if (t < 0.0f) t = 0.0f;
      i = (int)floor((double)t);
      w = t - (float)floor((double)t);
      break;
    case 3:
      if (coord->half_pixel) {
        i = (int)floor((double)(((float)o + 0.5f) * scale));
        if (i < 0) i = 0;
      } else {
        i = coord->align_corners ? (int)round((double)(scale * (float)o)) : (int)floor((double)(scale * (float)o));
      }
      if (i > in - 1) i = in - 1;
      break;
    case 4:
      if (coord->align_corners) {
        t = scale * (float)o;
      } else {
        t = ((float)o + 0.5f) * scale - 0.5f;
        if (t < 0.0f) t = 0.0f;
      }
      i = (int)floor((double)t);
      w = t - (float)i;
      break;
    case 5:
      i = (int)floor((double)(scale * (float)o));
      if (i > in - 1) i = in - 1;
      break;
    default:
      ASSERT(0);
      return;
  }
  // Rounding at the far edge must not address past the effective input.
  if (i > in - 1) {
    i = in - 1;
    w = 0.0f;
  }
  if (i < 0) i = 0;
  *index = i;
  if (weight) *weight = w;
}

void interp(float weight, u32 src, u32 dst, const dim4_t *shape, const dim4_t *src_stride, const dim4_t *dst_stride,
            u8 accumulate, cmd_id_node_t *node) {
  if (weight == 0.0f && accumulate) return;
  const u32 A = local_tag(src), R = local_tag(dst);
  if (weight == 1.0f && !accumulate)
    atomic_tensor_arithmetic_gen_cmd(A, 0, R, shape, 0, 0, 0, src_stride, src_stride, dst_stride, TENSOR_OP_COPY, 0, 0,
                                     0, 0, 0, 0, node);
  else if (weight == 0.0f)
    atomic_tensor_arithmetic_gen_cmd(0, 0, R, shape, 0, 0, 0, dst_stride, dst_stride, dst_stride, TENSOR_OP_COPY, 0, 1,
                                     0, 0, 0, 0, node);
  else
    atomic_tensor_arithmetic_gen_cmd(A, 0, R, shape, 0, 0, 0, src_stride, src_stride, dst_stride,
                                     accumulate ? TENSOR_OP_MAC : TENSOR_OP_MUL, 0, 0, 0, 1, pool_f32_bits(weight), 0,
                                     node);
}

int interp_rows_in(const interp_coord_t *coord, int ih, int q, int ih_eff, float scale, int a, int count, int *first) {
  int r0, rl;
  getIndex(coord, ih_eff, a, scale, 0, &r0);
  getIndex(coord, ih_eff, a + count - 1, scale, 0, &rl);
  const int r1 = rl < ih - 1 ? rl + 1 : rl;
  int rows = r1 - q - r0 + 1;
  if (rows > ih) rows = ih;
  // The load starts at input row r0: it must end inside the plane.
  if (rows > ih - r0) rows = ih - r0;
  *first = r0;
  return rows;
}

int interp_next_slice(int planes, int oh, int c_step, int h_step, int *c0, int *oh0) {
  if (*oh0 + h_step < oh) {
    *oh0 += h_step;
  } else {
    *oh0 = 0;
    *c0 += c_step;
  }
  return *c0 < planes;
}

int interp_columns_first(const interp_slice_t *s, int iw, int ow) { return (i64)s->rows_in * ow < (i64)iw * s->rows; }

void interp_load_slice(u64 input_addr, int ih, int iw, const interp_slice_t *s, u32 X, cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)(s->rows_in * iw));
  tensor_stride_move_gen_cmd(X, 0, input_addr + ((u64)s->c0 * ih * iw + (u64)s->r0 * iw) * 4u, 1, s->c, s->rows_in,
                             iw, 0, ih * iw, iw, 1, (int)ceil_div(s->c, NPU_NUM) * plane, plane, iw, 1,
                             GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}

void interp_store_slice(u64 output_addr, int oh, int ow, const interp_slice_t *s, u32 X, cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)(s->rows * ow));
  tensor_stride_move_gen_cmd(X, 0, output_addr + ((u64)s->c0 * oh * ow + (u64)s->oh0 * ow) * 4u, 1, s->c, s->rows, ow,
                             (int)ceil_div(s->c, NPU_NUM) * plane, plane, ow, 1, 0, oh * ow, ow, 1,
                             GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

void interp_tap_guard(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute, int divided) {
  if (!divided) {
    fix_cmd_node_overflow(node);
    return;
  }
  if (compute->bd_cmd_id <= CMD_ID_OVERFLOW_LIMIT && compute->gdma_cmd_id <= CMD_ID_OVERFLOW_LIMIT) return;
  cmd_id_merge(node, move, compute);
  fix_cmd_node_overflow(node);
  cmd_id_divide(node, move, compute);
}

namespace {

int ceiling_func_shift(int x, int s) { return (x + (1 << s) - 1) >> s; }
int get_neuron_csize_local(int h, int w) { return (int)align_up((i64)h * w, EU_NUM) * 4; }

struct interp_t {
  interp_coord_t coord;
  u64 input_addr, output_addr;
  int planes, ih, iw, p, q, oh, ow, ih_eff, iw_eff;
  float sh, sw;
  int c_step, h_step;
};

interp_slice_t slice_at(const interp_t &t, int c0, int oh0) {
  interp_slice_t s;
  s.c0 = c0;
  s.c = t.planes - c0 < t.c_step ? t.planes - c0 : t.c_step;
  s.oh0 = oh0;
  s.rows = t.oh - oh0 < t.h_step ? t.oh - oh0 : t.h_step;
  s.rows_in = interp_rows_in(&t.coord, t.ih, t.q, t.ih_eff, t.sh, oh0, s.rows, &s.r0);
  return s;
}

void blend(const interp_t &t, const interp_slice_t &s, u32 X, u32 T, cmd_id_node_t *node, cmd_id_node_t *move,
           cmd_id_node_t *compute, int divided) {
  const int rl = (int)ceil_div(s.c, NPU_NUM);
  const int in_plane = (int)eu_plane((u32)(s.rows_in * t.iw)), out_plane = (int)eu_plane((u32)(s.rows * t.ow));
  // Two taps: 1 - w at the index, w at the next (the same at the last index).
  const auto taps = [&](int in, int o, float scale, const auto &issue) {
    int idx;
    float w;
    getIndex(&t.coord, in, o, scale, &w, &idx);
    const int next = idx >= in - 1 ? idx : idx + 1;
    interp_tap_guard(node, move, compute, divided);
    issue(1.0f - w, idx, 0);
    interp_tap_guard(node, move, compute, divided);
    issue(w, next, 1);
  };
  if (interp_columns_first(&s, t.iw, t.ow)) {
    const int mid = (int)eu_plane((u32)(s.rows_in * t.ow));
    const dim4_t cshape = {1, s.c, s.rows_in, 1}, xs = {rl * in_plane, in_plane, t.iw, 1}, ms = {rl * mid, mid, t.ow, 1};
    for (int j = 0; j < t.ow; j++)
      taps(t.iw_eff, j, t.sw, [&](float w, int idx, int acc) {
        interp(w, X + (u32)(idx - t.p) * 4u, T + (u32)j * 4u, &cshape, &xs, &ms, (u8)acc, compute);
      });
    const dim4_t rshape = {1, s.c, 1, t.ow}, os = {rl * out_plane, out_plane, t.ow, 1};
    for (int i = 0; i < s.rows; i++)
      taps(t.ih_eff, s.oh0 + i, t.sh, [&](float w, int idx, int acc) {
        interp(w, T + (u32)((idx - t.q - s.r0) * t.ow) * 4u, X + (u32)(i * t.ow) * 4u, &rshape, &ms, &os, (u8)acc,
               compute);
      });
  } else {
    const int mid = (int)eu_plane((u32)(s.rows * t.iw));
    const dim4_t rshape = {1, s.c, 1, t.iw}, xs = {rl * in_plane, in_plane, t.iw, 1}, ms = {rl * mid, mid, t.iw, 1};
    for (int i = 0; i < s.rows; i++)
      taps(t.ih_eff, s.oh0 + i, t.sh, [&](float w, int idx, int acc) {
        interp(w, X + (u32)((idx - t.q - s.r0) * t.iw) * 4u, T + (u32)(i * t.iw) * 4u, &rshape, &xs, &ms, (u8)acc,
               compute);
      });
    const dim4_t cshape = {1, s.c, s.rows, 1}, os = {rl * out_plane, out_plane, t.ow, 1};
    for (int j = 0; j < t.ow; j++)
      taps(t.iw_eff, j, t.sw, [&](float w, int idx, int acc) {
        interp(w, T + (u32)(idx - t.p) * 4u, X + (u32)j * 4u, &cshape, &ms, &os, (u8)acc, compute);
      });
  }
}

}  // namespace

int nodechip_global_interp_data_split(int n, int c, int ih, int iw, int oh, int ow, int p, int q, float row_scale,
                                      const interp_coord_t *coord, int out[2]) {
  const i64 nc = (i64)n * c;
  int hsecs = oh;
  while (align_up((i64)ow * hsecs, EU_NUM) * 4 > INTERP_SLOT_BYTES) {
    ASSERT(hsecs > 1);
    hsecs--;
  }
  const int ih_eff = ih + p + q;
  int rows_max = ih;
  while (align_up((i64)iw * rows_max, EU_NUM) * 4 > INTERP_SLOT_BYTES) {
    ASSERT(hsecs > 1);
    hsecs--;
    rows_max = 0;
    for (int a = 0; a < oh; a += hsecs) {
      int first;
      const int r = interp_rows_in(coord, ih, q, ih_eff, row_scale, a, oh - a < hsecs ? oh - a : hsecs, &first);
      if (r > rows_max) rows_max = r;
    }
  }
  const i64 a = align_up((i64)ow * hsecs, EU_NUM) * 4, b = align_up((i64)iw * rows_max, EU_NUM) * 4;
  const i64 size = a > b ? a : b;
  out[0] = size * ceil_div(nc, NPU_NUM) > INTERP_SLOT_BYTES ? (int)(INTERP_SLOT_BYTES / size) * NPU_NUM : (int)nc;
  out[1] = hsecs;
  return 1;
}

void nodechip_interp_forward_parallel(u64 input_addr, u64 output_addr, int n, int c, int ih, int iw, int p, int q,
                                      int oh, int ow, u32 align_corners, u32 half_pixel, int mode,
                                      cmd_id_node_t *node) {
  interp_t t;
  t.coord.mode = mode;
  t.coord.align_corners = (u8)align_corners;
  t.coord.half_pixel = (u8)half_pixel;
  ASSERT_FS(n >= 0 && c >= 0 && (i64)n * c < (1ll << 31));
  t.planes = n * c;
  if (t.planes == 0) return;
  // Pads only crop; a positive pad would address rows before the data loaded.
  ASSERT_FS(p <= 0 && q <= 0, "p=%d q=%d", p, q);
  ASSERT_FS(ih > 0 && iw > 0 && oh > 0 && ow > 0 && ih + p + q > 0 && iw + p + q > 0);
  ASSERT_FS(ih < (1 << 24) && iw < (1 << 24) && oh < (1 << 24) && ow < (1 << 24));
  t.input_addr = input_addr;
  t.output_addr = output_addr;
  t.ih = ih, t.iw = iw, t.p = p, t.q = q, t.oh = oh, t.ow = ow;
  t.ih_eff = ih + p + q;
  t.iw_eff = iw + p + q;
  if (mode < 0 || mode > 5) {
    int idx;
    getIndex(&t.coord, t.ih_eff, 0, 1.0f, 0, &idx);  // refuses the mode
  }
  if (mode == 4 && p == 0 && q == 0 && !align_corners && oh == 2 * ih && ow == 2 * iw) {
    nodechip_interp_forward_pytorch_bilinear_not_aligned_corners_nxm_to_2nx2m_parallel(input_addr, output_addr, n, c,
                                                                                        ih, iw, node);
    return;
  }
  t.sh = interp_scale(&t.coord, t.ih_eff, oh);
  t.sw = interp_scale(&t.coord, t.iw_eff, ow);
  int split[2];
  nodechip_global_interp_data_split(n, c, ih, iw, oh, ow, p, q, t.sh, &t.coord, split);
  t.c_step = split[0];
  t.h_step = split[1];
  ASSERT_FS(t.c_step > 0 && t.h_step > 0);

  // Every slice's output, input and intermediate fit their slots.
  u32 count = 0;
  {
    const int mem_slice = (int)INTERP_SLOT_BYTES, output_w = ow, input_w = iw;
    int c0 = 0, oh0 = 0;
    do {
      const interp_slice_t s = slice_at(t, c0, oh0);
      const int c_slice[1] = {s.c}, oh_slice[1] = {s.rows}, ih_slice[1] = {s.rows_in};
      ASSERT_FS(ceiling_func_shift((c_slice[0]), (6)) * get_neuron_csize_local((oh_slice[0]), (output_w)) <= mem_slice);
      ASSERT_FS(ceiling_func_shift((c_slice[0]), (6)) * get_neuron_csize_local((ih_slice[0]), (input_w)) <= mem_slice);
      const i64 mid_bytes = ceil_div(s.c, NPU_NUM) * (interp_columns_first(&s, iw, ow)
                                                          ? get_neuron_csize_local(s.rows_in, ow)
                                                          : get_neuron_csize_local(s.rows, iw));
      ASSERT_FS(mid_bytes <= mem_slice && s.rows_in > 0);
      count++;
    } while (interp_next_slice(t.planes, t.oh, t.c_step, t.h_step, &c0, &oh0));
  }

  // Step k: store slice k - 2, load slice k, blend slice k - 1. Slice j uses
  // input slot j % 2 and intermediate slot j % 2.
  interp_slice_t slices[3] = {};
  int c0 = 0, oh0 = 0;
  for (u32 k = 0; k < count + 2; k++) {
    // Past 60000 tensor-engine ids a step runs on the node itself, which the
    // taps then restart as needed.
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
    if (k >= 1 && k <= count)
      blend(t, slices[(k - 1) % 3], INTERP_INPUT_SLOT((k - 1) % 2), INTERP_MID_SLOT((k - 1) % 2), node, mv, cp, divided);
    if (divided) cmd_id_merge(node, &move, &compute);
  }
}

// ---- Exact 2x upscale, half-pixel, clamped edges ----
//
// Per dimension out[0] = x[0], out[2k + 1] = 0.75 x[k] + 0.25 x[k + 1],
// out[2k + 2] = 0.25 x[k] + 0.75 x[k + 1], out[2m - 1] = x[m - 1]. The
// interior output rows (1 .. 2 ih - 2) come in pieces of ad rows from ad / 2 + 1
// input rows, alternating between the two halves of local memory (input
// slice, then output slice); the first and last output rows come from the
// first and last input rows, blended along the row only.

namespace {

const float kNear = 0.75f, kFar = 0.25f;

// dst (+)= src x w over a strided view (float32).
void mac(u32 src, u32 dst, float w, const dim4_t &shape, const dim4_t &ss, const dim4_t &ds, int acc,
         cmd_id_node_t *node) {
  interp(w, src, dst, &shape, &ss, &ds, (u8)acc, node);
}

// The output of `rows` input rows x iw columns blended along the columns
// only: column 0, pairs 2j + 1 and 2j + 2, column 2 iw - 1 (row strides
// in_row and out_row words).
void blend_columns(u32 X, u32 O, int c, int rows, int iw, const dim4_t &xs, const dim4_t &os, cmd_id_node_t *node) {
  const dim4_t edge = {1, c, rows, 1};
  mac(X, O, 1.0f, edge, xs, os, 0, node);
  mac(X + (u32)(iw - 1) * 4u, O + (u32)(2 * iw - 1) * 4u, 1.0f, edge, xs, os, 0, node);
  if (iw < 2) return;
  const dim4_t shape = {1, c, rows, iw - 1};
  dim4_t pair = os;
  pair.w = 2;
  for (int b = 0; b < 2; b++) {
    const u32 dst = O + (u32)(1 + b) * 4u;
    mac(X, dst, b ? kFar : kNear, shape, xs, pair, 0, node);
    mac(X + 4u, dst, b ? kNear : kFar, shape, xs, pair, 1, node);
  }
}

}  // namespace

static const u32 kHalf = 0x40000u;

void interp2x_plan_of(interp2x_plan_t *p, int nc, int ih, int iw) {
  p->nc = nc, p->ih = ih, p->iw = iw, p->oh = 2 * ih, p->ow = 2 * iw;
  p->interior_fits = p->group = p->rows = p->chan_pieces = p->row_pieces = 0;
  p->edge_fits = p->edge_group = p->edge_pieces = 0;
  if (nc <= 0 || ih <= 0 || iw <= 0) return;
  // Interior: fewer planes a group first, then more row pieces, until an
  // input piece and its output fit half of local memory.
  if (ih > 1) {
    int lg = (int)ceil_div(nc, NPU_NUM), pieces = 1, ad = ((2 * ih - 3) / pieces + 2) & ~1;
    const auto bytes = [&](int a, int g) {
      return (align_up((i64)iw * ((a + 2) / 2), EU_NUM) * 4 + align_up((i64)2 * iw * a, EU_NUM) * 4) * g;
    };
    p->interior_fits = 1;
    while (bytes(ad, lg) > (i64)kHalf) {
      if (lg > 1) {
        lg--;
      } else {
        pieces++;
        ad = ((2 * ih - 3) / pieces + 2) & ~1;
        if (ad <= 2) {
          p->interior_fits = 0;
          break;
        }
      }
    }
    if (p->interior_fits) {
      p->group = NPU_NUM * lg;
      p->rows = ad;
      // Counted, not divided: the ARM has no divider, and the pieces are few.
      for (i64 c0 = 0; c0 < nc; c0 += p->group) p->chan_pieces++;
      for (i64 r = 1; r < p->oh - 1; r += ad) p->row_pieces++;
    }
  }
  // Edges: input rows 0 and ih - 1 and their two output rows.
  int lg = (int)ceil_div(nc, NPU_NUM);
  p->edge_fits = 1;
  while ((align_up((i64)2 * iw, EU_NUM) * 4 + align_up((i64)4 * iw, EU_NUM) * 4) * lg > 0x80000) {
    if (lg <= 1) {
      p->edge_fits = 0;
      return;
    }
    lg--;
  }
  p->edge_group = NPU_NUM * lg;
  for (i64 c0 = 0; c0 < nc; c0 += p->edge_group) p->edge_pieces++;
}

// Forced inline: the issue loop takes its steps without a call.
static inline __attribute__((always_inline)) interp2x_step_t interior_step_at(const interp2x_plan_t *p, int j, int i) {
  interp2x_step_t s = {};
  if (j < 0 || j >= p->chan_pieces || i < 0 || i >= p->row_pieces) return s;
  s.c0 = j * p->group;
  s.c = p->nc - s.c0 < p->group ? p->nc - s.c0 : p->group;
  s.lane_rows = (int)ceil_div(s.c, NPU_NUM);
  s.row0 = 1 + i * p->rows;
  s.rows = p->oh - 1 - s.row0 < p->rows ? p->oh - 1 - s.row0 : p->rows;
  s.in_rows = s.rows / 2 + 1;
  s.in_row0 = (s.row0 - 1) / 2;
  s.in_plane = (int)eu_plane((u32)(s.in_rows * p->iw));
  s.out_plane = (int)eu_plane((u32)(s.rows * p->ow));
  const int k = j * p->row_pieces + i;
  s.X = (u32)(k % 2) * kHalf;
  s.O = s.X + (u32)(s.lane_rows * s.in_plane) * 4u;
  s.first = k == 0;
  s.last = k == p->chan_pieces * p->row_pieces - 1;
  return s;
}

interp2x_step_t interp2x_step_of(const interp2x_plan_t *p, int j, int i) { return interior_step_at(p, j, i); }

interp2x_step_t interp2x_edge_step_of(const interp2x_plan_t *p, int j) {
  interp2x_step_t s = {};
  if (j < 0 || j >= p->edge_pieces) return s;
  s.c0 = j * p->edge_group;
  s.c = p->nc - s.c0 < p->edge_group ? p->nc - s.c0 : p->edge_group;
  s.lane_rows = (int)ceil_div(s.c, NPU_NUM);
  s.rows = s.in_rows = 2;
  s.in_plane = (int)eu_plane((u32)(2 * p->iw));
  s.out_plane = (int)eu_plane((u32)(2 * p->ow));
  s.O = (u32)(s.lane_rows * s.in_plane) * 4u;
  s.first = j == 0;
  s.last = j == p->edge_pieces - 1;
  return s;
}

namespace {

ISSUE_INLINE void issue_interior_load(const interp2x_plan_t &p, const interp2x_step_t &s, u64 input_addr,
                                      cmd_id_node_t *node) {
  stride_load(global_view(input_addr + ((u64)s.c0 * p.ih * p.iw + (u64)s.in_row0 * p.iw) * 4u,
                          dim4(1, s.c, s.in_rows, p.iw), dim4(0, p.ih * p.iw, p.iw, 1), GDMA_VALUE_FORMAT_FLOAT32),
              local_f32(s.X, dim4(s.lane_rows * s.in_plane, s.in_plane, p.iw, 1)), node);
}

// Output rows 2k + 1 + a from input rows k and k + 1, each parity a as a view
// of every other output row.
ISSUE_INLINE void issue_interior_compute(const interp2x_plan_t &p, const interp2x_step_t &s, cmd_id_node_t *node) {
  const int iw = p.iw, ow = p.ow, R = s.in_rows;
  const dim4_t xs = {s.lane_rows * s.in_plane, s.in_plane, iw, 1};
  for (int a = 0; a < 2; a++) {
    const dim4_t os = {s.lane_rows * s.out_plane, s.out_plane, 2 * ow, 1};
    const u32 dst = s.O + (u32)(a * ow) * 4u;
    const dim4_t edge = {1, s.c, R - 1, 1};
    const float w0 = a ? kFar : kNear, w1 = a ? kNear : kFar;
    // First and last output columns: along the rows only.
    mac(s.X, dst, w0, edge, xs, os, 0, node);
    mac(s.X + (u32)iw * 4u, dst, w1, edge, xs, os, 1, node);
    mac(s.X + (u32)(iw - 1) * 4u, dst + (u32)(ow - 1) * 4u, w0, edge, xs, os, 0, node);
    mac(s.X + (u32)(2 * iw - 1) * 4u, dst + (u32)(ow - 1) * 4u, w1, edge, xs, os, 1, node);
    if (iw < 2) continue;
    // Interior points: the four 2-D weights 9/16, 3/16, 3/16, 1/16.
    const dim4_t shape = {1, s.c, R - 1, iw - 1};
    dim4_t pair = os;
    pair.w = 2;
    for (int b = 0; b < 2; b++) {
      const float c0w = b ? kFar : kNear, c1w = b ? kNear : kFar;
      const u32 to = dst + (u32)(1 + b) * 4u;
      mac(s.X, to, w0 * c0w, shape, xs, pair, 0, node);
      mac(s.X + 4u, to, w0 * c1w, shape, xs, pair, 1, node);
      mac(s.X + (u32)iw * 4u, to, w1 * c0w, shape, xs, pair, 1, node);
      mac(s.X + (u32)(iw + 1) * 4u, to, w1 * c1w, shape, xs, pair, 1, node);
    }
  }
}

ISSUE_INLINE void issue_interior_store(const interp2x_plan_t &p, const interp2x_step_t &s, u64 output_addr,
                                       cmd_id_node_t *node) {
  stride_store(local_f32(s.O, dim4(s.lane_rows * s.out_plane, s.out_plane, p.ow, 1)),
               global_view(output_addr + ((u64)s.c0 * p.oh * p.ow + (u64)s.row0 * p.ow) * 4u,
                           dim4(1, s.c, s.rows, p.ow), dim4(0, p.oh * p.ow, p.ow, 1), GDMA_VALUE_FORMAT_FLOAT32),
               node);
}

// The first and last output rows: input rows 0 and ih - 1 side by side,
// blended along the row only.
void issue_edge_rows(const interp2x_plan_t &p, const interp2x_step_t &s, u64 input_addr, u64 output_addr,
                     cmd_id_node_t *node) {
  const int ih = p.ih, iw = p.iw, oh = p.oh, ow = p.ow;
  const local_view_t X = local_f32(s.X, dim4(s.lane_rows * s.in_plane, s.in_plane, iw, 1));
  const local_view_t O = local_f32(s.O, dim4(s.lane_rows * s.out_plane, s.out_plane, ow, 1));
  stride_load(global_view(input_addr + (u64)s.c0 * ih * iw * 4u, dim4(1, s.c, 2, iw),
                          dim4(0, ih * iw, (ih - 1) * iw, 1), GDMA_VALUE_FORMAT_FLOAT32),
              X, node);
  blend_columns(s.X, s.O, s.c, 2, iw, X.stride, O.stride, node);
  stride_store(O,
               global_view(output_addr + (u64)s.c0 * oh * ow * 4u, dim4(1, s.c, 2, ow),
                           dim4(0, oh * ow, (oh - 1) * ow, 1), GDMA_VALUE_FORMAT_FLOAT32),
               node);
}

}  // namespace

void nodechip_interp_forward_pytorch_bilinear_not_aligned_corners_nxm_to_2nx2m_parallel(u64 input_addr,
                                                                                          u64 output_addr, int n,
                                                                                          int c, int ih, int iw,
                                                                                          cmd_id_node_t *node) {
  ASSERT_FS(n >= 0 && c >= 0 && (i64)n * c < (1ll << 31));
  const int nc = n * c;
  if (nc == 0) return;
  ASSERT_FS(ih > 0 && iw > 0 && iw < (1 << 20) && ih < (1 << 20));
  interp2x_plan_t plan;
  interp2x_plan_of(&plan, nc, ih, iw);
  if (ih > 1 && !plan.interior_fits) ASSERT(0);
  if (!plan.edge_fits) ASSERT(0);

  // Interior pieces: the load of piece k, its blend beside the store of
  // piece k - 1; the last piece's store follows.
  interp2x_step_t prev = {};
  for (int j = 0; j < plan.chan_pieces; j++)
    for (int i = 0; i < plan.row_pieces; i++) {
      const interp2x_step_t s = interior_step_at(&plan, j, i);
      fix_cmd_node_overflow(node);
      cmd_id_node_t move, compute;
      cmd_id_divide(node, &move, &compute);
      issue_interior_load(plan, s, input_addr, &move);
      cmd_id_merge(node, &move, &compute);
      cmd_id_divide(node, &move, &compute);
      issue_interior_compute(plan, s, &compute);
      if (!s.first) issue_interior_store(plan, prev, output_addr, &move);
      cmd_id_merge(node, &move, &compute);
      prev = s;
    }
  if (prev.last) issue_interior_store(plan, prev, output_addr, node);

  for (int j = 0; j < plan.edge_pieces; j++) {
    fix_cmd_node_overflow(node);
    issue_edge_rows(plan, interp2x_edge_step_of(&plan, j), input_addr, output_addr, node);
  }
}
