// Float32 global convolution: the overlapped slice pipeline.
#include "layers/conv/conv.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "cmd/data_split.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "local/compare_select.h"
#include "local/conv.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/services.h"

int conv_sec_size(int total, int secs, int idx) { return total / secs + (idx < total % secs ? 1 : 0); }

int conv_sec_start(int total, int secs, int idx) {
  const int r = total % secs;
  return idx * (total / secs) + (idx < r ? idx : r);
}

void conv_span_of(conv_span_t *s, int o0, int ocnt, int stride, int dk, int pad_lo, int extent) {
  const int raw = o0 * stride - pad_lo;
  const int end = (o0 + ocnt) * stride + dk - 1 - pad_lo;
  s->o0 = o0;
  s->ocnt = ocnt;
  s->first = raw > 0 ? raw : 0;
  s->pad_lo = raw < 0 ? -raw : 0;
  s->pad_hi = end >= extent ? end - extent : 0;
  s->count = (end < extent ? end : extent) - s->first;
}

static u64 round_up_u64(u64 x, u64 a) { return (x + a - 1) / a * a; }

void conv_layout_of(conv_layout_t *l, int input_n, int input_c, int input_h, int input_w, int groups, int output_c,
                    const conv_window_t *w, int have_bias, const conv_secs_info_t *secs) {
  const int hsecs = (int)secs->hsecs, wsecs = (int)secs->wsecs, nsecs = (int)secs->nsecs;
  const int icsecs = (int)secs->icsecs, ocsecs = (int)secs->ocsecs;
  const int kh = w->kh, kw = w->kw, stride_h = w->stride_h, stride_w = w->stride_w;
  const conv_extent_t e = conv_window_extent(w, input_h, input_w);
  l->khe = (int)e.kh;
  l->kwe = (int)e.kw;
  l->oh = (int)e.oh;
  l->ow = (int)e.ow;
  l->icg = input_c / groups;
  l->ocg = output_c / groups;
  l->ocn = (int)ceil_div(l->ocg, NPU_NUM);
  l->icg_even = (l->icg + 1) & ~1;
  l->ics = (int)ceil_div(l->icg, icsecs);
  l->ics_even = (l->ics + 1) & ~1;
  l->ocns = (int)ceil_div(l->ocn, ocsecs);
  l->nmax = (int)ceil_div(input_n, nsecs);
  l->ohmax = (int)ceil_div(l->oh, hsecs);
  l->owmax = (int)ceil_div(l->ow, wsecs);
  const s64 ih = (s64)l->ohmax * stride_h + l->khe, iw = (s64)l->owmax * stride_w + l->kwe;
  l->ihmax = (int)(ih < input_h ? ih : input_h);
  l->iwmax = (int)(iw < input_w ? iw : input_w);
  l->bias_size = have_bias ? 4ull * (u64)l->ocn : 0;
  l->wsize = 4ull * (u64)l->ocns * (u64)l->ics_even * (u64)kh * (u64)kw;
  l->in_size = 4ull * (u64)align_up((s64)l->ihmax * l->iwmax, EU_NUM) * (u64)ceil_div(l->ics, NPU_NUM) * (u64)l->nmax;
  l->max_ofsize = 4ull * (u64)align_up((s64)l->ohmax * l->owmax, EU_NUM) * (u64)l->ocns * (u64)l->nmax;
  l->bias[0] = 0;
  l->bias[1] = l->bias_size;
  l->weight[0] = 2 * l->bias_size;
  l->weight[1] = 2 * l->bias_size + l->wsize;
  l->input[0] = round_up_u64(2 * l->bias_size + 2 * l->wsize, 128);
  l->input[1] = l->input[0] + l->in_size;
  l->output[0] = round_up_u64(l->input[0] + 2 * l->in_size, 0x10000);
  l->output[1] = l->output[0] + l->max_ofsize;
  l->top_local_offset1 = l->output[1];
  l->tmp_offset = l->top_local_offset1 + l->max_ofsize;
  static const char *const names[CONV_AREA_COUNT] = {"bias 0",  "bias 1",   "weight 0", "weight 1", "input 0",
                                                     "input 1", "output 0", "output 1", "pieces"};
  const u64 offs[CONV_AREA_COUNT] = {l->bias[0],  l->bias[1],   l->weight[0], l->weight[1], l->input[0],
                                     l->input[1], l->output[0], l->output[1], l->tmp_offset};
  const u64 sizes[CONV_AREA_COUNT] = {l->bias_size, l->bias_size, l->wsize,      l->wsize, l->in_size,
                                      l->in_size,   l->max_ofsize, l->max_ofsize, 0};
  l->area_count = CONV_AREA_COUNT;
  local_areas_of(l->areas, names, offs, sizes, CONV_AREA_COUNT);
}

static conv_cut_t conv_cut_of(int total, int secs) {
  const conv_cut_t c = {total / secs, total % secs};
  return c;
}
static int conv_cut_start(const conv_cut_t *c, int i) { return i * c->q + (i < c->r ? i : c->r); }
static int conv_cut_size(const conv_cut_t *c, int i) { return c->q + (i < c->r ? 1 : 0); }

void conv_pipe_plan_of(conv_pipe_plan_t *p, int input_n, int input_c, int input_h, int input_w, int groups,
                       int output_c, const conv_window_t *w, int have_bias, int result_add,
                       const conv_secs_info_t *secs) {
  conv_layout_of(&p->l, input_n, input_c, input_h, input_w, groups, output_c, w, have_bias, secs);
  const conv_layout_t &l = p->l;
  p->w = *w;
  p->input_n = input_n;
  p->input_c = input_c;
  p->input_h = input_h;
  p->input_w = input_w;
  p->groups = groups;
  p->output_c = output_c;
  p->have_bias = have_bias;
  p->result_add = result_add;
  p->ocsecs = (int)secs->ocsecs;
  p->icsecs = (int)secs->icsecs;
  p->nsecs = (int)secs->nsecs;
  p->hsecs = (int)secs->hsecs;
  p->wsecs = (int)secs->wsecs;
  p->oc_cut = conv_cut_of(l.ocn, p->ocsecs);
  p->n_cut = conv_cut_of(input_n, p->nsecs);
  p->h_cut = conv_cut_of(l.oh, p->hsecs);
  p->w_cut = conv_cut_of(l.ow, p->wsecs);
  // Products of the largest step (one output-lane section, batch section,
  // row and column section).
  const i64 step_macs = (i64)l.ocns * NPU_NUM * l.nmax * l.ohmax * l.owmax * l.ics * w->kh * w->kw;
  conv_edge_parts_of(&p->edge, l.ocns, l.wsize * NPU_NUM, step_macs, CONV_PART_MACS);
}

// The slice and step plans, filled in place: the issue loop inlines them
// (no copies of the records on the ARM core); conv_slice_of and conv_step_of
// are their exported forms.
static inline __attribute__((always_inline)) void conv_slice_at(const conv_pipe_plan_t *p, int g, int oc_sec,
                                                                int n_sec, int h_sec, int w_sec,
                                                                conv_slice_plan_t &sp) {
  conv_slice_t &s = sp.at;
  const conv_layout_t &l = p->l;
  s.g = g;
  sp.oc_sec = oc_sec;
  sp.n_sec = n_sec;
  sp.h_sec = h_sec;
  sp.w_sec = w_sec;
  s.oc0 = NPU_NUM * conv_cut_start(&p->oc_cut, oc_sec);
  s.ch = oc_sec == p->ocsecs - 1 ? l.ocg - s.oc0 : NPU_NUM * conv_cut_size(&p->oc_cut, oc_sec);
  s.lanes = (int)ceil_div(s.ch, NPU_NUM);
  s.n0 = conv_cut_start(&p->n_cut, n_sec);
  s.nc = conv_cut_size(&p->n_cut, n_sec);
  conv_span_of(&s.hs, conv_cut_start(&p->h_cut, h_sec), conv_cut_size(&p->h_cut, h_sec), p->w.stride_h, l.khe,
               p->w.pad_t, p->input_h);
  conv_span_of(&s.ws, conv_cut_start(&p->w_cut, w_sec), conv_cut_size(&p->w_cut, w_sec), p->w.stride_w, l.kwe,
               p->w.pad_l, p->input_w);
  sp.first = oc_sec == 0 && n_sec == 0 && h_sec == 0 && w_sec == 0;
  sp.last = oc_sec == p->ocsecs - 1 && n_sec == p->nsecs - 1 && h_sec == p->hsecs - 1 && w_sec == p->wsecs - 1;
  sp.empty = s.hs.count <= 0 || s.ws.count <= 0;
  sp.cut_h = s.hs.pad_lo + s.hs.count + s.hs.pad_hi > CONV_MAX_EXTENT;
  sp.cut_w = !sp.cut_h && s.ws.pad_lo + s.ws.count + s.ws.pad_hi > CONV_MAX_EXTENT;
  // The first step of a group convolves its output-lane rows in parts, each
  // as soon as its weights are in; the group's last step stores each part as
  // soon as it is done. Only steps of one item and one input-channel section,
  // convolved in one command, go in parts.
  const int whole = p->icsecs == 1 && s.nc == 1 && !sp.empty && !sp.cut_h && !sp.cut_w;
  sp.head = whole && sp.first ? p->edge.head : 1;
  const int tail = whole && sp.last ? p->edge.tail : 1;
  const int parts_wanted = sp.head > tail ? sp.head : tail;
  sp.parts = parts_wanted < s.lanes ? parts_wanted : s.lanes;
  sp.store_parts = tail > 1 && sp.parts > 1;
  s.out = 0;
}

conv_slice_plan_t conv_slice_of(const conv_pipe_plan_t *p, int g, int oc_sec, int n_sec, int h_sec, int w_sec) {
  conv_slice_plan_t s;
  conv_slice_at(p, g, oc_sec, n_sec, h_sec, w_sec, s);
  return s;
}

static inline void conv_step_at(const conv_pipe_plan_t *p, const conv_slice_plan_t *s, int k, conv_step_t &t) {
  const conv_layout_t &l = p->l;
  t.k = k;
  t.ic0 = k * l.ics_even;
  t.ics = k == p->icsecs - 1 ? l.icg - t.ic0 : l.ics_even;
  t.ic_even = (t.ics + 1) & ~1;
  t.first = s->first && k == 0;
  t.load_input = !s->empty;
  // With one input-channel section the weights stay while the items and rows
  // of the output section go by.
  t.load_weights = p->icsecs != 1 || (s->n_sec == 0 && s->h_sec == 0);
  t.weights_in_parts = t.load_weights && s->head > 1 && s->parts > 1;
  t.load_bias = p->have_bias && k == 0 && s->n_sec == 0 && s->h_sec == 0 && s->w_sec == 0;
  t.accumulate = p->result_add || k > 0;
  t.bias_now = p->have_bias && k == p->icsecs - 1;
}

conv_step_t conv_step_of(const conv_pipe_plan_t *p, const conv_slice_plan_t *s, int k) {
  conv_step_t t;
  conv_step_at(p, s, k, t);
  return t;
}

namespace {

// The issue helpers' checks are the layer's own: they report under its name.
#define LAYER_ASSERT(cond)                                                                                  \
  do {                                                                                                      \
    if (__builtin_expect(!(cond), 0))                                                                       \
      fw_assert_fail("ASSERT", __FILE__, "nodechip_conv_forward_parallel", __LINE__, #cond);                \
  } while (0)

// What the issue loop of one call shares.
struct conv_call_t {
  u64 input, output, weight, bias;
  int if_relu, weight_layout;
  float relu_upper_limit;
  int h_max_pad, w_max_pad;  // the most a slice pads its rows / columns
  const conv_pipe_plan_t *p;
};

// The buffer of each kind in use: each flips to the other before a load.
struct conv_bufs_t {
  int bias, weight, input, output;
};

// The move and compute copies of the caller's node, and the finished slice
// whose store waits for the next slice's work. Slices live in two slots that
// alternate with the output buffers, so the finished one stays where it is.
struct conv_nodes_t {
  cmd_id_node_t move, compute;
  conv_slice_plan_t slot[2];
  const conv_slice_t *prev;
  int have_prev;
};

// The output slice between its buffer and device memory.
void conv_move_output(const conv_call_t &c, const conv_slice_t &s, gdma_direction_t dir, cmd_id_node_t *node) {
  const conv_layout_t &l = c.p->l;
  const int oc = c.p->output_c;
  const int plane = (int)align_up((s64)s.hs.ocnt * s.ws.ocnt, EU_NUM);
  const u64 g_off = ((u64)s.n0 * oc * l.oh * l.ow + (u64)(s.g * l.ocg + s.oc0) * l.oh * l.ow +
                     (u64)s.hs.o0 * l.ow + (u64)s.ws.o0) *
                    4u;
  const int gn = oc * l.oh * l.ow, gc = l.oh * l.ow;
  if (dir == GDMA_VALUE_DIR_S2L)
    tensor_stride_move_gen_cmd(s.out, 0, c.output + g_off, s.nc, s.ch, s.hs.ocnt, s.ws.ocnt, gn, gc, l.ow, 1,
                               plane * s.lanes, plane, s.ws.ocnt, 1, GDMA_VALUE_FORMAT_FLOAT32, dir, 0, node);
  else
    tensor_stride_move_gen_cmd(s.out, 0, c.output + g_off, s.nc, s.ch, s.hs.ocnt, s.ws.ocnt, plane * s.lanes, plane,
                               s.ws.ocnt, 1, gn, gc, l.ow, 1, GDMA_VALUE_FORMAT_FLOAT32, dir, 0, node);
}

// Weights of output channels [oc0, oc0 + ch) and input channels [ic0, ic0 +
// ic_even) of group g. The engine reads float weights in pairs of input
// channels (8 bytes): layout 1 ([positions][input channels]) is already so;
// layout 0 ([input channels][positions]) is interleaved pairwise on the way in,
// so that each pair unit holds channels 2j and 2j + 1 at one position.
void conv_load_weights(const conv_call_t &c, const conv_slice_t &s, int ic0, int ic_even, u32 buf,
                       cmd_id_node_t *node) {
  const conv_layout_t &l = c.p->l;
  const int taps = c.p->w.kh * c.p->w.kw;
  const u64 oc_first = (u64)s.g * l.ocg + s.oc0;
  // With one tap both layouts are [output channel][input channels]: one move.
  if (c.weight_layout == 1 || taps == 1) {
    const u64 src = c.weight + 4ull * (oc_first * taps * l.icg_even + ic0);
    tensor_stride_move_gen_cmd(buf, 0, src, 1, s.ch, taps, ic_even, 0, taps * l.icg_even, l.icg_even, 1, 0,
                               taps * ic_even, ic_even, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  } else {
    // Even channels to the first word of each unit, odd ones to the second.
    for (int t = 0; t < 2; t++) {
      const u64 src = c.weight + 4ull * ((oc_first * l.icg_even + ic0 + t) * taps);
      tensor_stride_move_gen_cmd(buf + 4u * t, 0, src, ic_even / 2, s.ch, taps, 1, 2 * taps, l.icg_even * taps, 1,
                                 1, 2 * taps, ic_even * taps, 2, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                                 node);
    }
  }
}

// The slice's output when no input row or column falls inside the input.
void conv_empty_input(const conv_slice_t &s, int accumulate, int bias_now, u32 bias_buf,
                      cmd_id_node_t *node) {
  if (accumulate && !bias_now) return;
  const dim4_t shape = {s.nc, s.ch, s.hs.ocnt, s.ws.ocnt};
  const dim4_t dflt = {-1, 0, 0, 0};
  const dim4_t bstride = {0, 1, 0, 0};
  const u32 out = LOCAL_ADDR_TAG | s.out;
  atomic_tensor_arithmetic_gen_cmd(accumulate ? out : 0, bias_now ? (LOCAL_ADDR_TAG | bias_buf) : 0, out, &shape,
                                   1, 1, 1, &dflt, bias_now ? &bstride : &dflt, &dflt, TENSOR_OP_ADD, 0,
                                   !accumulate, f32_bits(0.0f), !bias_now, f32_bits(0.0f), 0, node);
}

// Output-channel lane rows [r0, r0 + rows) of a slice, as a slice of its own
// (one batch item: the rows are the output buffer's channel planes).
void conv_rows_at(const conv_slice_t &s, int r0, int rows, conv_slice_t &p) {
  p = s;
  const int plane = (int)align_up((s64)s.hs.ocnt * s.ws.ocnt, EU_NUM);
  const int ch = s.ch - NPU_NUM * r0;
  p.oc0 = s.oc0 + NPU_NUM * r0;
  p.ch = ch < NPU_NUM * rows ? ch : NPU_NUM * rows;
  p.lanes = rows;
  p.out = s.out + 4u * (u32)(plane * r0);
}

// The step's loads on ld: the input slab, the weights (the first part only
// when they load in parts) and the section's biases, last so that the longer
// loads start first. Returns the input buffer.
u32 conv_issue_loads(const conv_call_t &c, const conv_slice_plan_t &sp, const conv_step_t &st, conv_bufs_t &b,
                     cmd_id_node_t *ld) {
  const conv_slice_t &sl = sp.at;
  const conv_pipe_plan_t &p = *c.p;
  const conv_layout_t &l = p.l;
  b.input ^= 1;
  const u32 in_buf = (u32)l.input[b.input];
  if (st.load_input) {
    const int plane = (int)align_up((s64)sl.hs.count * sl.ws.count, EU_NUM);
    const int ih = p.input_h, iw = p.input_w, ic = p.input_c;
    const u64 src = c.input + 4ull * ((u64)sl.n0 * ic * ih * iw + (u64)(sl.g * l.icg + st.ic0) * ih * iw +
                                      (u64)sl.hs.first * iw + (u64)sl.ws.first);
    tensor_stride_move_gen_cmd(in_buf, 0, src, sl.nc, st.ics, sl.hs.count, sl.ws.count, ic * ih * iw, ih * iw, iw, 1,
                               plane * (int)ceil_div(st.ics, NPU_NUM), plane, sl.ws.count, 1,
                               GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, ld);
  }
  if (st.load_weights) {
    b.weight ^= 1;
    if (st.weights_in_parts) {
      conv_slice_t first;
      conv_rows_at(sl, 0, conv_sec_size(sl.lanes, sp.parts, 0), first);
      conv_load_weights(c, first, st.ic0, st.ic_even, (u32)l.weight[b.weight], ld);
    } else
      conv_load_weights(c, sl, st.ic0, st.ic_even, (u32)l.weight[b.weight], ld);
  }
  if (st.load_bias) {
    b.bias ^= 1;
    tensor_compact_move_gen_cmd((u32)l.bias[b.bias], 0, c.bias + 4ull * ((u64)sl.g * l.ocg + sl.oc0), 1, sl.ch, 1,
                                1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, ld);
  }
  return in_buf;
}

// ReLU on a finished slice (or part) in its buffer.
void conv_issue_relu(const conv_call_t &c, const conv_slice_t &s, cmd_id_node_t *compute) {
  if (!c.if_relu) return;
  const dim4_t shape = {s.nc, s.ch, s.hs.ocnt, s.ws.ocnt};
  nodechip_relu_forward_local(LOCAL_ADDR_TAG | s.out, LOCAL_ADDR_TAG | s.out, &shape, c.relu_upper_limit, compute);
}

// A finished slice: its store waits until the next slice's work is issued,
// the previous one's is issued now.
void conv_issue_store(const conv_call_t &c, const conv_slice_t &sl, conv_nodes_t &pp) {
  conv_issue_relu(c, sl, &pp.compute);
  if (pp.have_prev) conv_move_output(c, *pp.prev, GDMA_VALUE_DIR_L2S, &pp.move);
  pp.prev = &sl;
  pp.have_prev = 1;
}

// The step's convolution in the slice's parts of lane rows (one part unless
// the step is a group's first or last), each loading its own weights when
// they come in parts and storing itself when the slice stores by parts.
void conv_issue_parts(const conv_call_t &c, const conv_slice_plan_t &sp, const conv_step_t &st, const conv_bufs_t &b,
                      u32 in_buf, const int ks[4], conv_nodes_t &pp) {
  const conv_slice_t &sl = sp.at;
  const conv_pipe_plan_t &p = *c.p;
  const conv_window_t &w = p.w;
  const u32 wrow = 4u * (u32)(st.ic_even * w.kh * w.kw);  // bytes of one lane row of weights
  const u32 wbuf = LOCAL_ADDR_TAG | (u32)p.l.weight[b.weight];
  const u32 bbuf = LOCAL_ADDR_TAG | (u32)p.l.bias[b.bias];
  for (int j = 0; j < sp.parts; j++) {
    const int r0 = conv_sec_start(sl.lanes, sp.parts, j);
    conv_slice_t part;
    if (sp.parts > 1) conv_rows_at(sl, r0, conv_sec_size(sl.lanes, sp.parts, j), part);
    const conv_slice_t &pt = sp.parts > 1 ? part : sl;
    if (j > 0 && st.weights_in_parts) {
      // This part's weights; its convolution waits for them.
      conv_load_weights(c, pt, st.ic0, st.ic_even, (u32)p.l.weight[b.weight] + wrow * (u32)r0, &pp.move);
      if (pp.move.gdma_cmd_id > pp.compute.gdma_cmd_id) pp.compute.gdma_cmd_id = pp.move.gdma_cmd_id;
    }
    atomic_conv_neuron_kernel_stride_gen_cmd(
        LOCAL_ADDR_TAG | in_buf, LOCAL_ADDR_TAG | pt.out, wbuf + wrow * (u32)r0, bbuf + 4u * (u32)r0, sl.nc, st.ics,
        sl.hs.count, sl.ws.count, 0, 0, pt.ch, sl.hs.ocnt, sl.ws.ocnt, 0, 0, w.kh, w.kw, w.dh, w.dw, ks[0], ks[1],
        ks[2], ks[3], sl.hs.pad_lo, sl.hs.pad_hi, sl.ws.pad_lo, sl.ws.pad_hi, w.stride_h, w.stride_w, st.bias_now, 0,
        st.accumulate, &pp.compute);
    if (sp.store_parts) {
      conv_issue_relu(c, pt, &pp.compute);
      if (pp.have_prev) conv_move_output(c, *pp.prev, GDMA_VALUE_DIR_L2S, &pp.move);
      pp.have_prev = 0;
      // The part's store waits for its own convolution only.
      pp.move.bd_cmd_id = pp.compute.bd_cmd_id;
      conv_move_output(c, pt, GDMA_VALUE_DIR_L2S, &pp.move);
    }
  }
}

// Padded extents beyond one command: the output rows (or columns) in
// pieces, each convolved into the piece area and copied, or added, into the
// output slice.
void conv_issue_pieces(const conv_call_t &c, const conv_slice_plan_t &sp, const conv_step_t &st, const conv_bufs_t &b,
                       u32 in_buf, const int ks[4], cmd_id_node_t *compute) {
  const conv_slice_t &sl = sp.at;
  const conv_layout_t &l = c.p->l;
  const conv_window_t &w = c.p->w;
  const int cut_h = sp.cut_h, ch = sl.ch, ics = st.ics;
  const u32 wbuf = LOCAL_ADDR_TAG | (u32)l.weight[b.weight];
  const u32 bbuf = LOCAL_ADDR_TAG | (u32)l.bias[b.bias];
  const conv_span_t &cut = cut_h ? sl.hs : sl.ws;
  const int dk = cut_h ? l.khe : l.kwe, stride = cut_h ? w.stride_h : w.stride_w;
  const int plane_in = (int)align_up((s64)sl.hs.count * sl.ws.count, EU_NUM);
  const int in_lanes = (int)ceil_div(ics, NPU_NUM);
  const int oplane = (int)align_up((s64)sl.hs.ocnt * sl.ws.ocnt, EU_NUM);
  const dim4_t out_st = {oplane * sl.lanes, oplane, sl.ws.ocnt, 1};
  for (int start = 0; start < cut.ocnt;) {
    conv_piece_t p;
    conv_piece_of(&p, start, cut.ocnt - start, cut.count, cut.pad_lo, cut.pad_hi, dk, stride);
    const int ph = cut_h ? p.len : sl.hs.ocnt, pw = cut_h ? sl.ws.ocnt : p.len;
    const u64 tmp_offset = l.tmp_offset;
    const u64 oc_per_NPU = (u64)sl.lanes;
    const u64 ilocal_cstride = 4ull * (u64)align_up((s64)ph * pw, EU_NUM);
    LAYER_ASSERT(tmp_offset + oc_per_NPU * ilocal_cstride <= (1<<19));
    // Every batch item of the piece, not only the first, must fit.
    LAYER_ASSERT(tmp_offset + (u64)sl.nc * oc_per_NPU * ilocal_cstride <= (1<<19));
    const u32 src = in_buf + 4u * (u32)(cut_h ? p.in_start * sl.ws.count : p.in_start);
    atomic_conv_neuron_unalign_kstride_gen_cmd(
        LOCAL_ADDR_TAG | src, LOCAL_ADDR_TAG | (u32)tmp_offset, wbuf, bbuf, sl.nc, ics,
        cut_h ? p.in_len : sl.hs.count, cut_h ? sl.ws.count : p.in_len, plane_in * in_lanes, plane_in, sl.ws.count, 1,
        0, 0, ch, ph, pw, 0, 0, w.kh, w.kw, w.dh, w.dw, ks[0], ks[1], ks[2], ks[3], cut_h ? p.pad_lo : sl.hs.pad_lo,
        cut_h ? p.pad_hi : sl.hs.pad_hi, cut_h ? sl.ws.pad_lo : p.pad_lo, cut_h ? sl.ws.pad_hi : p.pad_hi, w.stride_h,
        w.stride_w, st.bias_now, 0, 0, compute);
    const dim4_t shape = {sl.nc, ch, ph, pw};
    const int tplane = (int)(ilocal_cstride / 4);
    const dim4_t tmp_st = {tplane * sl.lanes, tplane, pw, 1};
    const u32 dst = LOCAL_ADDR_TAG | (sl.out + 4u * (u32)(cut_h ? p.start * sl.ws.ocnt : p.start));
    if (!st.accumulate)
      atomic_tensor_copy_gen_cmd(LOCAL_ADDR_TAG | (u32)tmp_offset, dst, &shape, &tmp_st, &out_st, compute);
    else
      atomic_tensor_arithmetic_gen_cmd(LOCAL_ADDR_TAG | (u32)tmp_offset, dst, dst, &shape, 0, 0, 0, &tmp_st, &out_st,
                                       &out_st, TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0, compute);
    start += p.len;
  }
}

// The step's convolution, after its loads.
void conv_issue_compute(const conv_call_t &c, const conv_slice_plan_t &sp, const conv_step_t &st, const conv_bufs_t &b,
                        u32 in_buf, conv_nodes_t &pp) {
  const conv_slice_t &sl = sp.at;
  const conv_pipe_plan_t &pl = *c.p;
  if (sp.empty) {
    conv_empty_input(sl, st.accumulate, st.bias_now, (u32)pl.l.bias[b.bias], &pp.compute);
    return;
  }
  {
    // The slice's own pads.
    const int h_max_pad = c.h_max_pad, w_max_pad = c.w_max_pad;
    const int pad_h_t = sl.hs.pad_lo, pad_h_b = sl.hs.pad_hi;
    const int pad_w_l = sl.ws.pad_lo, pad_w_r = sl.ws.pad_hi;
    LAYER_ASSERT(pad_h_t + pad_h_b <= h_max_pad);
    LAYER_ASSERT(pad_w_l + pad_w_r <= w_max_pad);
  }
  const int taps = pl.w.kh * pl.w.kw;
  int ks[4];
  if (c.weight_layout == 1) {
    ks[0] = 1;
    ks[1] = st.ic_even * taps / 2;
    ks[2] = st.ic_even * pl.w.kw / 2;
    ks[3] = st.ic_even / 2;
  } else {
    ks[0] = taps;
    ks[1] = st.ic_even * taps / 2;
    ks[2] = pl.w.kw;
    ks[3] = 1;
  }
  if (!sp.cut_h && !sp.cut_w)
    conv_issue_parts(c, sp, st, b, in_buf, ks, pp);
  else
    conv_issue_pieces(c, sp, st, b, in_buf, ks, &pp.compute);
}

// One step: loads on the move copy (the caller's node for the group's first),
// then the convolution on the compute copy once the copies are re-divided.
void conv_issue_step(const conv_call_t &c, const conv_slice_plan_t &sp, const conv_step_t &st, conv_bufs_t &b,
                     conv_nodes_t &pp, cmd_id_node_t *node) {
  const u32 in_buf = conv_issue_loads(c, sp, st, b, st.first ? node : &pp.move);
  if (!st.first) cmd_id_merge(node, &pp.move, &pp.compute);
  cmd_id_divide(node, &pp.move, &pp.compute);
  conv_issue_compute(c, sp, st, b, in_buf, pp);
}

// The slices of group g, in order: output-lane sections, items, rows,
// columns; each slice's input-channel sections accumulate in its buffer.
void conv_issue_group(const conv_call_t &c, int g, conv_bufs_t &b, cmd_id_node_t *node) {
  const conv_pipe_plan_t &p = *c.p;
  conv_nodes_t pp;
  pp.have_prev = 0;
  for (int s = 0; s < p.ocsecs; s++)
    for (int ni = 0; ni < p.nsecs; ni++)
      for (int hi = 0; hi < p.hsecs; hi++)
        for (int wi = 0; wi < p.wsecs; wi++) {
          b.output ^= 1;
          conv_slice_plan_t &sp = pp.slot[b.output];
          conv_slice_at(&p, g, s, ni, hi, wi, sp);
          sp.at.out = (u32)p.l.output[b.output];
          if (p.result_add) conv_move_output(c, sp.at, GDMA_VALUE_DIR_S2L, sp.first ? node : &pp.move);
          for (int k = 0; k < p.icsecs; k++) {
            conv_step_t st;
            conv_step_at(&p, &sp, k, st);
            conv_issue_step(c, sp, st, b, pp, node);
          }
          if (!sp.store_parts) conv_issue_store(c, sp.at, pp);
        }
  cmd_id_merge(node, &pp.move, &pp.compute);
  if (pp.have_prev) conv_move_output(c, *pp.prev, GDMA_VALUE_DIR_L2S, node);
  fix_cmd_node_overflow(node);
}

}  // namespace

void nodechip_conv_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n,
                                    int input_c, int input_h, int input_w, int groups, int output_c, int kh, int kw,
                                    int dh, int dw, int pad_h_t, int pad_w_l, int pad_h_b, int pad_w_r,
                                    int stride_h, int stride_w, int have_bias, int result_add, int hsecs, int wsecs,
                                    int nsecs, int icsecs, int ocsecs, int if_relu, float relu_upper_limit,
                                    int weight_layout, cmd_id_node_t *node) {
  const conv_window_t win = conv_window_of(kh, kw, dh, dw, pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w);
  ASSERT(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && output_c > 0);
  ASSERT(groups > 0 && input_c % groups == 0 && output_c % groups == 0);
  ASSERT(kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0);
  ASSERT(pad_h_t >= 0 && pad_h_b >= 0 && pad_w_l >= 0 && pad_w_r >= 0);
  ASSERT(hsecs > 0 && wsecs > 0 && nsecs > 0 && icsecs > 0 && ocsecs > 0);
  const conv_secs_info_t secs = {(u32)ocsecs, (u32)icsecs, (u32)nsecs, (u32)hsecs, (u32)wsecs};
  conv_pipe_plan_t plan;
  conv_pipe_plan_of(&plan, input_n, input_c, input_h, input_w, groups, output_c, &win, have_bias, result_add, &secs);
  const conv_layout_t &l = plan.l;
  ASSERT(l.oh > 0 && l.ow > 0);
  const u64 top_local_offset1 = l.top_local_offset1, max_ofsize = l.max_ofsize;
  ASSERT_FS(top_local_offset1 + max_ofsize <= (1<<19));
  ASSERT_FS(nsecs <= input_n);
  const int output_h = l.oh;
  ASSERT_FS(hsecs <= output_h);
  // The counts the caller must keep (the split does): no empty section.
  ASSERT(wsecs <= l.ow && ocsecs <= l.ocn && (icsecs - 1) * l.ics_even < l.icg);
  const conv_call_t c = {input_addr,    output_addr, weight_addr, bias_addr,
                         if_relu,       weight_layout, relu_upper_limit,
                         pad_h_t + pad_h_b + stride_h - 1, pad_w_l + pad_w_r + stride_w - 1, &plan};
  conv_bufs_t b = {0, 0, 0, 0};
  for (int g = 0; g < groups; g++) conv_issue_group(c, g, b, node);
}

void conv_edge_parts_of(conv_edge_parts_t *p, int lane_rows, u64 weight_bytes, i64 step_macs, i64 part_macs) {
  const i64 by_macs = part_macs > 0 ? step_macs / part_macs : 1;
  i64 cap = lane_rows < by_macs ? lane_rows : by_macs;
  if (cap < 1) cap = 1;
  p->head = weight_bytes >= CONV_HEAD_SPLIT_BYTES && cap >= 2 ? 2 : 1;
  p->tail = (int)(cap < CONV_TAIL_PARTS ? cap : CONV_TAIL_PARTS);
}

void conv_pipeline_secs(conv_secs_info_t *secs, i64 step_macs, int input_n, int input_c, int groups, int output_c,
                        int kh, int kw, int output_h, int output_w) {
  if (secs->wsecs != 1 || secs->hsecs == 0 || groups <= 0) return;
  const i64 macs = (i64)input_n * output_h * output_w * output_c * (input_c / groups) * kh * kw;
  const i64 want = ceil_div(macs, step_macs);
  const i64 steps = (i64)groups * secs->ocsecs * secs->nsecs * secs->hsecs * secs->icsecs;
  if (steps >= want) return;
  i64 h = ceil_div(want * secs->hsecs, steps);
  if (h > output_h) h = output_h;
  if (h > (i64)secs->hsecs) secs->hsecs = (u32)h;
}

void nodechip_conv_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                    u64 bias_addr, int input_n, int input_c, int input_h,
                                                    int input_w, int groups, int output_c, int kh, int kw, int dh,
                                                    int dw, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
                                                    int stride_h, int stride_w, int have_bias, int result_add,
                                                    int if_relu, float relu_upper_limit, cmd_id_node_t *node) {
  const conv_window_t win = conv_window_of(kh, kw, dh, dw, pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w);
  const conv_extent_t e = conv_window_extent(&win, input_h, input_w);
  const int oh = (int)e.oh, ow = (int)e.ow;
  conv_secs_info_t secs;
  const int split = global_conv_data_split(input_n, input_c, input_h, input_w, output_c, oh, ow, groups, kh, kw, dh,
                                           dw, stride_h, stride_w, pad_h_t, pad_h_b, pad_w_l, pad_w_r, have_bias,
                                           &secs);
  if (!split) fw_log(0, "The input size is too large, cannot split data\n");
  // Without a plan the counts are undefined: stop rather than compute on them.
  ASSERT_FS(split);
  conv_pipeline_secs(&secs, CONV_PIPE_STEP_MACS, input_n, input_c, groups, output_c, kh, kw, oh, ow);
  nodechip_conv_forward_parallel(input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h, input_w,
                                 groups, output_c, kh, kw, dh, dw, pad_h_t, pad_w_l, pad_h_b, pad_w_r, stride_h,
                                 stride_w, have_bias, result_add, (int)secs.hsecs, (int)secs.wsecs, (int)secs.nsecs,
                                 (int)secs.icsecs, (int)secs.ocsecs, if_relu, relu_upper_limit, 1, node);
}
