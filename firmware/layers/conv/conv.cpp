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
                    int kh, int kw, int dh, int dw, int pad_h_t, int pad_w_l, int pad_h_b, int pad_w_r,
                    int stride_h, int stride_w, int have_bias, int hsecs, int wsecs, int nsecs, int icsecs,
                    int ocsecs) {
  l->khe = dh * (kh - 1) + 1;
  l->kwe = dw * (kw - 1) + 1;
  l->oh = (input_h + pad_h_t + pad_h_b - l->khe) / stride_h + 1;
  l->ow = (input_w + pad_w_l + pad_w_r - l->kwe) / stride_w + 1;
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

namespace {

// What every step of a call shares.
struct conv_call_t {
  u64 input, output, weight, bias;
  int n, ic, h, w, groups, oc, kh, kw, dh, dw, pt, pl, pb, pr, sh, sw;
  int have_bias, result_add, hsecs, wsecs, nsecs, icsecs, ocsecs, if_relu, weight_layout;
  float relu_upper_limit;
  const conv_layout_t *l;
};

// One output slice: its group, channels, batch items and spans.
struct conv_slice_t {
  int g, oc0, ch, lanes, n0, nc;
  conv_span_t hs, ws;
  u32 out;  // output buffer offset
};

// The output slice between its buffer and device memory.
void conv_move_output(const conv_call_t &c, const conv_slice_t &s, gdma_direction_t dir, cmd_id_node_t *node) {
  const conv_layout_t &l = *c.l;
  const int plane = (int)align_up((s64)s.hs.ocnt * s.ws.ocnt, EU_NUM);
  const u64 g_off = ((u64)s.n0 * c.oc * l.oh * l.ow + (u64)(s.g * l.ocg + s.oc0) * l.oh * l.ow +
                     (u64)s.hs.o0 * l.ow + (u64)s.ws.o0) *
                    4u;
  const int gn = c.oc * l.oh * l.ow, gc = l.oh * l.ow;
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
  const conv_layout_t &l = *c.l;
  const int taps = c.kh * c.kw;
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
conv_slice_t conv_rows_of(const conv_slice_t &s, int r0, int rows) {
  conv_slice_t p = s;
  const int plane = (int)align_up((s64)s.hs.ocnt * s.ws.ocnt, EU_NUM);
  const int ch = s.ch - NPU_NUM * r0;
  p.oc0 = s.oc0 + NPU_NUM * r0;
  p.ch = ch < NPU_NUM * rows ? ch : NPU_NUM * rows;
  p.lanes = rows;
  p.out = s.out + 4u * (u32)(plane * r0);
  return p;
}

}  // namespace

void nodechip_conv_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n,
                                    int input_c, int input_h, int input_w, int groups, int output_c, int kh, int kw,
                                    int dh, int dw, int pad_h_t, int pad_w_l, int pad_h_b, int pad_w_r,
                                    int stride_h, int stride_w, int have_bias, int result_add, int hsecs, int wsecs,
                                    int nsecs, int icsecs, int ocsecs, int if_relu, float relu_upper_limit,
                                    int weight_layout, cmd_id_node_t *node) {
  ASSERT(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && output_c > 0);
  ASSERT(groups > 0 && input_c % groups == 0 && output_c % groups == 0);
  ASSERT(kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0);
  ASSERT(pad_h_t >= 0 && pad_h_b >= 0 && pad_w_l >= 0 && pad_w_r >= 0);
  ASSERT(hsecs > 0 && wsecs > 0 && nsecs > 0 && icsecs > 0 && ocsecs > 0);
  conv_layout_t layout;
  conv_layout_of(&layout, input_n, input_c, input_h, input_w, groups, output_c, kh, kw, dh, dw, pad_h_t, pad_w_l,
                 pad_h_b, pad_w_r, stride_h, stride_w, have_bias, hsecs, wsecs, nsecs, icsecs, ocsecs);
  const conv_layout_t &l = layout;
  ASSERT(l.oh > 0 && l.ow > 0);
  const u64 top_local_offset1 = l.top_local_offset1, max_ofsize = l.max_ofsize;
  ASSERT_FS(top_local_offset1 + max_ofsize <= (1<<19));
  ASSERT_FS(nsecs <= input_n);
  const int output_h = l.oh;
  ASSERT_FS(hsecs <= output_h);
  // The counts the caller must keep (the split does): no empty section.
  ASSERT(wsecs <= l.ow && ocsecs <= l.ocn && (icsecs - 1) * l.ics_even < l.icg);
  const int h_max_pad = pad_h_t + pad_h_b + stride_h - 1;
  const int w_max_pad = pad_w_l + pad_w_r + stride_w - 1;
  const conv_call_t c = {input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h, input_w, groups,
                         output_c,   kh,          kw,          dh,        dw,      pad_h_t, pad_w_l, pad_h_b, pad_w_r,
                         stride_h,   stride_w,    have_bias,   result_add, hsecs, wsecs,   nsecs,   icsecs,  ocsecs,
                         if_relu,    weight_layout, relu_upper_limit, &l};
  const int taps = kh * kw;
  int bias_sel = 0, weight_sel = 0, input_sel = 0, output_sel = 0;
  cmd_id_node_t move, compute;
  conv_edge_parts_t edge;
  // Products of the largest step (one output-lane section, batch section,
  // row and column section).
  const i64 step_macs = (i64)l.ocns * NPU_NUM * l.nmax * l.ohmax * l.owmax * l.ics * kh * kw;
  conv_edge_parts_of(&edge, l.ocns, l.wsize * NPU_NUM, step_macs, CONV_PART_MACS);
  for (int g = 0; g < groups; g++) {
    int first_step = 1, have_prev = 0;
    conv_slice_t prev = {};
    const int q = l.ocn / ocsecs, r = l.ocn % ocsecs;
    int lane0 = 0;
    for (int s = 0; s < ocsecs; s++) {
      const int lanes = q + (s < r ? 1 : 0);
      const int oc0 = NPU_NUM * lane0;
      const int ch = s == ocsecs - 1 ? l.ocg - oc0 : NPU_NUM * lanes;
      lane0 += lanes;
      for (int ni = 0; ni < nsecs; ni++)
        for (int hi = 0; hi < hsecs; hi++)
          for (int wi = 0; wi < wsecs; wi++) {
            conv_slice_t sl;
            sl.g = g;
            sl.oc0 = oc0;
            sl.ch = ch;
            sl.lanes = (int)ceil_div(ch, NPU_NUM);
            sl.n0 = conv_sec_start(input_n, nsecs, ni);
            sl.nc = conv_sec_size(input_n, nsecs, ni);
            conv_span_of(&sl.hs, conv_sec_start(l.oh, hsecs, hi), conv_sec_size(l.oh, hsecs, hi), stride_h, l.khe,
                         pad_h_t, input_h);
            conv_span_of(&sl.ws, conv_sec_start(l.ow, wsecs, wi), conv_sec_size(l.ow, wsecs, wi), stride_w, l.kwe,
                         pad_w_l, input_w);
            output_sel ^= 1;
            sl.out = (u32)l.output[output_sel];
            if (result_add) conv_move_output(c, sl, GDMA_VALUE_DIR_S2L, first_step ? node : &move);
            const int empty = sl.hs.count <= 0 || sl.ws.count <= 0;
            const int cut_h = sl.hs.pad_lo + sl.hs.count + sl.hs.pad_hi > CONV_MAX_EXTENT;
            const int cut_w = !cut_h && sl.ws.pad_lo + sl.ws.count + sl.ws.pad_hi > CONV_MAX_EXTENT;
            // The first step of a group convolves its output-lane rows in
            // parts, each as soon as its weights are in; the group's last
            // step stores each part as soon as it is done.
            const int last = s == ocsecs - 1 && ni == nsecs - 1 && hi == hsecs - 1 && wi == wsecs - 1;
            const int whole = icsecs == 1 && sl.nc == 1 && !empty && !cut_h && !cut_w;
            const int head = whole && first_step ? edge.head : 1;
            const int tail = whole && last ? edge.tail : 1;
            const int parts_wanted = head > tail ? head : tail;
            const int parts = parts_wanted < sl.lanes ? parts_wanted : sl.lanes;
            const int store_parts = tail > 1 && parts > 1;
            for (int k = 0; k < icsecs; k++) {
              const int ic0 = k * l.ics_even;
              const int ics = k == icsecs - 1 ? l.icg - ic0 : l.ics_even;
              const int ic_even = (ics + 1) & ~1;
              const u32 wrow = 4u * (u32)(ic_even * taps);  // bytes of one lane row of weights
              cmd_id_node_t *ld = first_step ? node : &move;
              const int load_weights = icsecs != 1 || (ni == 0 && hi == 0);
              const int weights_in_parts = load_weights && head > 1 && parts > 1;
              input_sel ^= 1;
              const u32 in_buf = (u32)l.input[input_sel];
              if (!empty) {
                const int plane = (int)align_up((s64)sl.hs.count * sl.ws.count, EU_NUM);
                const u64 src = input_addr + 4ull * ((u64)sl.n0 * input_c * input_h * input_w +
                                                     (u64)(g * l.icg + ic0) * input_h * input_w +
                                                     (u64)sl.hs.first * input_w + (u64)sl.ws.first);
                tensor_stride_move_gen_cmd(in_buf, 0, src, sl.nc, ics, sl.hs.count, sl.ws.count,
                                           input_c * input_h * input_w, input_h * input_w, input_w, 1,
                                           plane * (int)ceil_div(ics, NPU_NUM), plane, sl.ws.count, 1,
                                           GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, ld);
              }
              if (load_weights) {
                weight_sel ^= 1;
                if (weights_in_parts)
                  conv_load_weights(c, conv_rows_of(sl, 0, conv_sec_size(sl.lanes, parts, 0)), ic0, ic_even,
                                    (u32)l.weight[weight_sel], ld);
                else
                  conv_load_weights(c, sl, ic0, ic_even, (u32)l.weight[weight_sel], ld);
              }
              if (have_bias && k == 0 && ni == 0 && hi == 0 && wi == 0) {
                // The section's biases, loaded last of the first slice's
                // loads: the longer input and weight loads start first.
                bias_sel ^= 1;
                tensor_compact_move_gen_cmd((u32)l.bias[bias_sel], 0, bias_addr + 4ull * ((u64)g * l.ocg + oc0), 1,
                                            ch, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, ld);
              }
              if (!first_step) cmd_id_merge(node, &move, &compute);
              cmd_id_divide(node, &move, &compute);
              first_step = 0;
              const int accumulate = result_add || k > 0;
              const int bias_now = have_bias && k == icsecs - 1;
              if (empty) {
                conv_empty_input(sl, accumulate, bias_now, (u32)l.bias[bias_sel], &compute);
                continue;
              }
              {
                // The slice's own pads.
                const int pad_h_t = sl.hs.pad_lo, pad_h_b = sl.hs.pad_hi;
                const int pad_w_l = sl.ws.pad_lo, pad_w_r = sl.ws.pad_hi;
                ASSERT(pad_h_t + pad_h_b <= h_max_pad);
                ASSERT(pad_w_l + pad_w_r <= w_max_pad);
              }
              int ks[4];
              if (weight_layout == 1) {
                ks[0] = 1;
                ks[1] = ic_even * taps / 2;
                ks[2] = ic_even * kw / 2;
                ks[3] = ic_even / 2;
              } else {
                ks[0] = taps;
                ks[1] = ic_even * taps / 2;
                ks[2] = kw;
                ks[3] = 1;
              }
              const u32 wbuf = LOCAL_ADDR_TAG | (u32)l.weight[weight_sel];
              const u32 bbuf = LOCAL_ADDR_TAG | (u32)l.bias[bias_sel];
              if (!cut_h && !cut_w) {
                for (int j = 0; j < parts; j++) {
                  const int r0 = conv_sec_start(sl.lanes, parts, j);
                  const conv_slice_t pt = parts == 1 ? sl : conv_rows_of(sl, r0, conv_sec_size(sl.lanes, parts, j));
                  if (j > 0 && weights_in_parts) {
                    // This part's weights; its convolution waits for them.
                    conv_load_weights(c, pt, ic0, ic_even, (u32)l.weight[weight_sel] + wrow * (u32)r0, &move);
                    if (move.gdma_cmd_id > compute.gdma_cmd_id) compute.gdma_cmd_id = move.gdma_cmd_id;
                  }
                  atomic_conv_neuron_kernel_stride_gen_cmd(
                      LOCAL_ADDR_TAG | in_buf, LOCAL_ADDR_TAG | pt.out, wbuf + wrow * (u32)r0, bbuf + 4u * (u32)r0,
                      sl.nc, ics, sl.hs.count, sl.ws.count, 0, 0, pt.ch, sl.hs.ocnt, sl.ws.ocnt, 0, 0, kh, kw, dh,
                      dw, ks[0], ks[1], ks[2], ks[3], sl.hs.pad_lo, sl.hs.pad_hi, sl.ws.pad_lo, sl.ws.pad_hi,
                      stride_h, stride_w, bias_now, 0, accumulate, &compute);
                  if (store_parts) {
                    if (if_relu) {
                      const dim4_t shape = {pt.nc, pt.ch, pt.hs.ocnt, pt.ws.ocnt};
                      nodechip_relu_forward_local(LOCAL_ADDR_TAG | pt.out, LOCAL_ADDR_TAG | pt.out, &shape,
                                                  relu_upper_limit, &compute);
                    }
                    if (have_prev) conv_move_output(c, prev, GDMA_VALUE_DIR_L2S, &move);
                    have_prev = 0;
                    // The part's store waits for its own convolution only.
                    move.bd_cmd_id = compute.bd_cmd_id;
                    conv_move_output(c, pt, GDMA_VALUE_DIR_L2S, &move);
                  }
                }
              } else {
                // Padded extents beyond one command: the output rows (or
                // columns) in pieces, each convolved into the piece area and
                // copied, or added, into the output slice.
                const conv_span_t &cut = cut_h ? sl.hs : sl.ws;
                const int dk = cut_h ? l.khe : l.kwe, stride = cut_h ? stride_h : stride_w;
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
                  ASSERT(tmp_offset + oc_per_NPU * ilocal_cstride <= (1<<19));
                  // Every batch item of the piece, not only the first, must fit.
                  ASSERT(tmp_offset + (u64)sl.nc * oc_per_NPU * ilocal_cstride <= (1<<19));
                  const u32 src = in_buf + 4u * (u32)(cut_h ? p.in_start * sl.ws.count : p.in_start);
                  atomic_conv_neuron_unalign_kstride_gen_cmd(
                      LOCAL_ADDR_TAG | src, LOCAL_ADDR_TAG | (u32)tmp_offset, wbuf, bbuf, sl.nc, ics,
                      cut_h ? p.in_len : sl.hs.count, cut_h ? sl.ws.count : p.in_len, plane_in * in_lanes, plane_in,
                      sl.ws.count, 1, 0, 0, ch, ph, pw, 0, 0, kh, kw, dh, dw, ks[0], ks[1], ks[2], ks[3],
                      cut_h ? p.pad_lo : sl.hs.pad_lo, cut_h ? p.pad_hi : sl.hs.pad_hi,
                      cut_h ? sl.ws.pad_lo : p.pad_lo, cut_h ? sl.ws.pad_hi : p.pad_hi, stride_h, stride_w, bias_now,
                      0, 0, &compute);
                  const dim4_t shape = {sl.nc, ch, ph, pw};
                  const int tplane = (int)(ilocal_cstride / 4);
                  const dim4_t tmp_st = {tplane * sl.lanes, tplane, pw, 1};
                  const u32 dst = LOCAL_ADDR_TAG | (sl.out + 4u * (u32)(cut_h ? p.start * sl.ws.ocnt : p.start));
                  if (!accumulate)
                    atomic_tensor_copy_gen_cmd(LOCAL_ADDR_TAG | (u32)tmp_offset, dst, &shape, &tmp_st, &out_st,
                                               &compute);
                  else
                    atomic_tensor_arithmetic_gen_cmd(LOCAL_ADDR_TAG | (u32)tmp_offset, dst, dst, &shape, 0, 0, 0,
                                                     &tmp_st, &out_st, &out_st, TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0,
                                                     &compute);
                  start += p.len;
                }
              }
            }
            if (store_parts) continue;  // stored part by part
            if (if_relu) {
              const dim4_t shape = {sl.nc, ch, sl.hs.ocnt, sl.ws.ocnt};
              nodechip_relu_forward_local(LOCAL_ADDR_TAG | sl.out, LOCAL_ADDR_TAG | sl.out, &shape,
                                          relu_upper_limit, &compute);
            }
            if (have_prev) conv_move_output(c, prev, GDMA_VALUE_DIR_L2S, &move);
            prev = sl;
            have_prev = 1;
          }
    }
    cmd_id_merge(node, &move, &compute);
    if (have_prev) conv_move_output(c, prev, GDMA_VALUE_DIR_L2S, node);
    fix_cmd_node_overflow(node);
  }
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
  const int khe = dh * (kh - 1) + 1, kwe = dw * (kw - 1) + 1;
  const int oh = (input_h + pad_h_t + pad_h_b - khe) / stride_h + 1;
  const int ow = (input_w + pad_w_l + pad_w_r - kwe) / stride_w + 1;
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
