// 8-bit convolution of 4N tensors: plan, the general and three-channel
// workers, and the wrapper that splits the work for them.
#include "layers/conv/conv_fix8b.h"

#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "cmd/data_split.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/conv/conv.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/services.h"

#define CONV_FIX8B_BANK 0x10000u
#define CONV_FIX8B_LANE_BYTES (1u << 19)

int conv_fix8b_out_extent(int in, int ins, int pad_lo, int pad_hi, int k, int d, int stride) {
  const int ke = conv_kernel_extent32(k, d);
  return ((in - 1) * (ins + 1) + 1 + pad_lo + pad_hi - ke) / stride + 1;
}

void conv_fix8b_rows_of(conv_fix8b_rows_t *r, int oh0, int rows, int stride_h, int khe, int pad_h,
                        int ins_h, int h) {
  const int step = ins_h + 1, last_inserted = (h - 1) * step;
  const int start = oh0 * stride_h - pad_h;
  const int end = (oh0 + rows - 1) * stride_h + khe - 1 - pad_h;  // inclusive
  if (end < 0 || start > last_inserted) {
    // The windows lie in the padding: no real row.
    r->first = 0;
    r->count = 0;
    r->pad_t = end - start + 1;
    r->pad_b = 0;
    return;
  }
  if (start < 0) {
    r->pad_t = -start;
    r->first = 0;
  } else {
    r->first = (start + ins_h) / step;
    r->pad_t = (step - start % step) % step;
  }
  int last;
  if (end > last_inserted) {
    last = h - 1;
    r->pad_b = end - last_inserted;
  } else {
    last = end / step;
    r->pad_b = end % step;
  }
  r->count = last - r->first + 1;
}

namespace {

u32 banks(u64 bytes) { return (u32)ceil_div((s64)bytes, CONV_FIX8B_BANK) * CONV_FIX8B_BANK; }

}  // namespace

u32 conv_fix8b_plan_of(conv_fix8b_plan_t *p, int input_n, int input_c, int input_h, int input_w,
                       int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
                       int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w,
                       int bias_mode, int weight_layout, int ins_h, int ins_w, int hsecs, int nsecs,
                       int ocsecs, int three_ic) {
  p->icg = input_c / groups;
  p->ocg = output_c / groups;
  p->khe = conv_kernel_extent32(kh, dh);
  p->kwe = conv_kernel_extent32(kw, dw);
  p->oh = conv_fix8b_out_extent(input_h, ins_h, pad_h, pad_h_after, kh, dh, stride_h);
  p->ow = conv_fix8b_out_extent(input_w, ins_w, pad_w, pad_w_after, kw, dw, stride_w);
  p->nq = (int)ceil_div(input_n, 4);
  p->ch = three_ic ? 3 * kh : p->icg;
  p->ch4 = (int)align_up(p->ch, 4);
  p->kh = three_ic ? 1 : kh;
  p->kw = kw;
  const int g4 = p->ch4 / 4, taps = p->kh * kw;
  const u32 K = (u32)(p->ch4 * taps);
  p->rec = K + (bias_mode == 2 ? 4u : 0u);
  p->ocs = (int)ceil_div(ceil_div(p->ocg, ocsecs), NPU_NUM);
  p->nsq = (int)ceil_div(p->nq, nsecs);
  p->ohs = (int)ceil_div(p->oh, hsecs);
  p->ihs = three_ic ? p->ohs : (p->ohs * stride_h + p->khe - 1 + ins_h) / (ins_h + 1);
  // Kernel strides in words (four input channels each). Both layouts step
  // between output channels by a whole record: g4 x kh x kw words, one more
  // with the bias field behind each record.
  if (weight_layout == 0) {
    p->ks[0] = taps;
    p->ks[2] = kw;
    p->ks[3] = 1;
  } else {
    p->ks[0] = 1;
    p->ks[2] = g4 * kw;
    p->ks[3] = g4;
  }
  p->ks[1] = g4 * taps + (bias_mode == 2 ? 1 : 0);

  const u32 weights = (u32)p->ocs * p->rec;
  p->bias = bias_mode == 2 ? K : weights;
  const u32 bias_bytes = bias_mode == 1 ? 2u * (u32)p->ocs : 0u;
  const u32 wb = banks(weights + bias_bytes);
  const u64 in_bytes = 4ull * align_up((s64)p->ihs * input_w, EU_NUM) * ceil_div(p->ch, NPU_NUM) * p->nsq;
  const u64 out_bytes = 4ull * align_up((s64)p->ohs * p->ow, EU_NUM) * p->ocs * p->nsq;
  const u32 ib = banks(in_bytes), ob = banks(out_bytes);
  p->in[0] = wb;
  p->in[1] = wb + ib;
  p->out[0] = wb + 2 * ib;
  p->out[1] = wb + 2 * ib + ob;
  p->areas[0] = {"weights", 0, weights + bias_bytes};
  p->areas[1] = {"input 0", p->in[0], (u32)in_bytes};
  p->areas[2] = {"input 1", p->in[1], (u32)in_bytes};
  p->areas[3] = {"output 0", p->out[0], (u32)out_bytes};
  p->areas[4] = {"output 1", p->out[1], (u32)out_bytes};
  const u64 end = (u64)p->out[1] + out_bytes;
  return end > 0xffffffffull ? 0xffffffffu : (u32)end;
}

namespace {

// The layer's arguments, once.
struct conv_fix8b_call_t {
  u64 input, output, weight, bias;
  int n, ic, h, w, groups, oc;
  int kh, kw, dh, dw, pad_h, pad_h_after, pad_w, pad_w_after, stride_h, stride_w;
  int bias_mode, unused, hsecs, nsecs, ocsecs;
  int if_relu, relu_upper_limit, rshift, input_sign, weight_sign, bias_sign, output_mode;
  int weight_layout, ins_h, ins_w;
  int three_ic;
};

// One slice of the pipeline: a batch-group range and an output-row range.
struct conv_fix8b_slice_t {
  int g0, gn;      // batch groups
  int oh0, rows;   // output rows
  conv_fix8b_rows_t in;
  int zero;        // the rows see no input row: `in` counts zero rows to fill
};

// Section i of `total` cut into `count` parts, the first total % count parts
// one larger.
void section_of(int total, int count, int i, int *start, int *size) {
  const int q = total / count, r = total % count;
  *size = q + (i < r ? 1 : 0);
  *start = i * q + (i < r ? i : r);
}

void clamp_above(u32 out, int items, int ch, int rows, int ow, int limit, int out_signed,
                 cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)(rows * ow));
  const dim4_t shape = {items, ch, rows, ow};
  const dim4_t st = {(int)ceil_div(ch, NPU_NUM) * plane, plane, ow, 1};
  const u32 s = out_signed ? 1u : 0u;
  const u32 addr[4] = {local_tag(out), (u32)limit, 0, local_tag(out)};
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {s, s, 0}, Int8[4] = {1, 1, 1, 1};
  const u32 modes[4] = {3, 0, 0, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, &st, &st, &st, TENSOR_OP_MIN, 0, 1, 0, 0, 0, Sign,
                                         Int8, modes, shifts, 0, node);
}

// Loads a slice's input rows into `buf`: the real rows of every channel of
// the group (general), or the rows each folded channel reads (three-channel).
void load_input(const conv_fix8b_call_t &a, const conv_fix8b_plan_t &p, int g, const conv_fix8b_slice_t &s, u32 buf,
                cmd_id_node_t *node) {
  const s64 plane_in = (s64)a.h * a.w, group_words = (s64)a.ic * plane_in;
  if (s.zero) return;  // zero_rows fills the buffer on the compute stream
  if (!a.three_ic) {
    const int P = (int)eu_plane((u32)(s.in.count * a.w));
    const u64 src = a.input + 4ull * (u64)(s.g0 * group_words + (s64)g * p.icg * plane_in + (s64)s.in.first * a.w);
    tensor_stride_move_gen_cmd(buf, 0, src, s.gn, p.icg, s.in.count, a.w, (int)group_words, (int)plane_in, a.w, 1,
                               (int)ceil_div(p.icg, NPU_NUM) * P, P, a.w, 1, GDMA_VALUE_FORMAT_FLOAT32,
                               GDMA_VALUE_DIR_S2L, 0, node);
    return;
  }
  // Local channel c x kh + r, row j: input channel c, row (oh0 + j) x stride_h + r.
  const int P = (int)eu_plane((u32)(s.rows * a.w));
  const u32 group_bytes = (u32)(ceil_div(p.ch, NPU_NUM) * P) * 4u;
  for (int b = 0; b < s.gn; b++) {
    const u64 src = a.input + 4ull * (u64)((s.g0 + b) * group_words + (s64)s.oh0 * a.stride_h * a.w);
    tensor_general_move_gen_cmd(src, 0, 3, a.kh, s.rows, a.w, (int)plane_in, a.w, a.stride_h * a.w, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, buf + (u32)b * group_bytes, 0, 1, 3 * a.kh, s.rows, a.w,
                                (int)ceil_div(p.ch, NPU_NUM) * P, P, a.w, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2L, 0, node);
  }
}

// The zero rows of a slice that sees no input row (a tensor-engine copy of
// the constant 0, so on the compute stream).
void zero_rows(const conv_fix8b_call_t &a, const conv_fix8b_plan_t &p, const conv_fix8b_slice_t &s, u32 buf,
               cmd_id_node_t *node) {
  const int P = (int)eu_plane((u32)(s.in.count * a.w));
  const dim4_t shape = {4 * s.gn, p.icg, s.in.count, a.w}, st = {(int)ceil_div(p.icg, NPU_NUM) * P, P, a.w, 1};
  const u32 fill[4] = {0, 0, 0, local_tag(buf)};
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {0, 0, 0}, Int8[4] = {1, 1, 1, 1};
  const u32 modes[4] = {3, 3, 3, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(fill, &shape, bcast, &st, &st, &st, TENSOR_OP_COPY, 1, 0, 0, 0, 0, Sign,
                                         Int8, modes, shifts, 0, node);
}

// Lane row r0 on: the output channels from 64 x r0, their weight records and
// biases. Rows of a slice's output are planes of eu_plane(rows x ow) words.
u32 weight_row(const conv_fix8b_plan_t &p, int r0) { return (u32)r0 * p.rec; }
u32 bias_row(const conv_fix8b_call_t &a, const conv_fix8b_plan_t &p, int r0) {
  return p.bias + (u32)r0 * (a.bias_mode == 2 ? p.rec : 2u);
}
u32 out_row(const conv_fix8b_plan_t &p, const conv_fix8b_slice_t &s, int r0) {
  return 4u * (u32)r0 * eu_plane((u32)(s.rows * p.ow));
}

// The section's weight records (then its 16-bit biases) of lane rows
// [r0, r0 + ceil(ch / 64)), output channels oc0 + 64 x r0 on.
void load_weights(const conv_fix8b_call_t &a, const conv_fix8b_plan_t &p, int g, int oc0, int r0, int ch,
                  cmd_id_node_t *node) {
  const u64 oc_first = (u64)g * (u64)p.ocg + (u64)oc0 + (u64)NPU_NUM * (u64)r0;
  tensor_compact_move_gen_cmd(weight_row(p, r0), 0, a.weight + oc_first * p.rec, 1, ch, (int)p.rec, 1,
                              GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, node);
}

// Convolves output channels [64 x r0, 64 x r0 + ch) of the slice.
void compute(const conv_fix8b_call_t &a, const conv_fix8b_plan_t &p, const conv_fix8b_slice_t &s, int r0, int ch,
             u32 in, u32 out, cmd_id_node_t *node) {
  out += out_row(p, s, r0);
  const int ih = a.three_ic ? s.rows : s.in.count;
  const int P = (int)eu_plane((u32)(ih * a.w));
  const int nstride = (int)ceil_div(p.ch, NPU_NUM) * P;
  const int pt = a.three_ic ? 0 : s.in.pad_t, pb = a.three_ic ? 0 : s.in.pad_b;
  const int sh = a.three_ic ? 1 : a.stride_h, dh = a.three_ic ? 1 : a.dh, ins_h = a.three_ic ? 0 : a.ins_h;
  if (a.bias_mode == 2)
    atomic_conv_neuron_kernel_stride_bias_stride_fix8b_gen_cmd(
        local_tag(in), local_tag(out), local_tag(weight_row(p, r0)), local_tag(bias_row(a, p, r0)), 4 * s.gn, p.ch, ih, a.w, nstride, P, a.w, 1,
        ins_h, a.ins_w, ch, s.rows, p.ow, 0, 0, p.kh, p.kw, dh - 1, a.dw - 1, p.ks[0], p.ks[1], p.ks[2], p.ks[3], 1,
        (int)(p.rec / 2), 1, 1, pt, pb, a.pad_w, a.pad_w_after, sh, a.stride_w, 2, 0, a.unused, a.if_relu, a.rshift,
        a.input_sign, a.weight_sign, a.bias_sign, a.output_mode, 3, 3, node);
  else
    atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
        local_tag(in), local_tag(out), local_tag(weight_row(p, r0)), local_tag(bias_row(a, p, r0)), 4 * s.gn, p.ch, ih, a.w, nstride, P, a.w, 1,
        ins_h, a.ins_w, ch, s.rows, p.ow, 0, 0, p.kh, p.kw, dh - 1, a.dw - 1, p.ks[0], p.ks[1], p.ks[2], p.ks[3], pt,
        pb, a.pad_w, a.pad_w_after, sh, a.stride_w, a.bias_mode, 0, a.unused, a.if_relu, a.rshift, a.input_sign,
        a.weight_sign, a.bias_sign, a.output_mode, 3, node);
  if (a.relu_upper_limit > 0) {
    const int out_signed =
        !a.if_relu && (a.input_sign || a.weight_sign || (a.bias_mode != 0 && a.bias_sign));
    clamp_above(out, 4 * s.gn, ch, s.rows, p.ow, a.relu_upper_limit, out_signed, node);
  }
}

void store(const conv_fix8b_call_t &a, const conv_fix8b_plan_t &p, int g, int oc0, int ch, const conv_fix8b_slice_t &s,
           u32 out, cmd_id_node_t *node) {
  const s64 plane_out = (s64)p.oh * p.ow;
  const int P = (int)eu_plane((u32)(s.rows * p.ow));
  const u64 dst = a.output + 4ull * (u64)(s.g0 * (s64)a.oc * plane_out + ((s64)g * p.ocg + oc0) * plane_out +
                                          (s64)s.oh0 * p.ow);
  tensor_stride_move_gen_cmd(out, 0, dst, s.gn, ch, s.rows, p.ow, (int)ceil_div(ch, NPU_NUM) * P, P, p.ow, 1,
                             (int)(a.oc * plane_out), (int)plane_out, p.ow, 1, GDMA_VALUE_FORMAT_FLOAT32,
                             GDMA_VALUE_DIR_L2S, 0, node);
}

void worker(const conv_fix8b_call_t &a, cmd_id_node_t *node) {
  conv_fix8b_plan_t p;
  const u32 end = conv_fix8b_plan_of(&p, a.n, a.ic, a.h, a.w, a.groups, a.oc, a.kh, a.kw, a.dh, a.dw, a.pad_h,
                                     a.pad_h_after, a.pad_w, a.pad_w_after, a.stride_h, a.stride_w, a.bias_mode,
                                     a.weight_layout, a.ins_h, a.ins_w, a.hsecs, a.nsecs, a.ocsecs, a.three_ic);
  ASSERT_FS(end <= (1 << 19));
  const int nsecs = a.nsecs, hsecs = a.hsecs;
  ASSERT_FS(nsecs <= p.nq && hsecs <= p.oh);
  const int slices = nsecs * hsecs;
  for (int g = 0; g < a.groups; g++) {
    for (int os = 0; os < a.ocsecs; os++) {
      int oc0, ch;
      section_of(p.ocg, a.ocsecs, os, &oc0, &ch);
      if (ch == 0) continue;
      // The first slice may convolve its output-lane rows in parts, each after
      // its own weights; the last stores each part as it is done (one group
      // of four items per slice: the rows are then the output's planes).
      const int rows = (int)ceil_div(ch, NPU_NUM);
      conv_edge_parts_t edge;
      const i64 step_macs = (i64)ch * 4 * p.nsq * p.ohs * p.ow * p.ch * p.kh * p.kw;
      conv_edge_parts_of(&edge, rows, (u64)rows * NPU_NUM * p.rec, step_macs, CONV_FIX8B_PART_MACS);
      cmd_id_node_t move = *node, comp = *node;
      conv_fix8b_slice_t prev = {};
      int have_prev = 0;
      for (int j = 0; j <= slices; j++) {
        conv_fix8b_slice_t s = {};
        const int first = j == 0, last = j == slices - 1;
        int head = 1, tail = 1;
        if (j < slices) {
          section_of(p.nq, nsecs, j / hsecs, &s.g0, &s.gn);
          section_of(p.oh, hsecs, j % hsecs, &s.oh0, &s.rows);
          if (!a.three_ic) conv_fix8b_rows_of(&s.in, s.oh0, s.rows, a.stride_h, p.khe, a.pad_h, a.ins_h, a.h);
          if (!a.three_ic && s.in.count <= 0) {
            // Rows whose windows lie in the padding: convolve zero rows, so
            // that the command's own bias, shift and ReLU give their values.
            const int extent = (s.rows - 1) * a.stride_h + p.khe, step = a.ins_h + 1;
            s.zero = 1;
            s.in.first = 0;
            s.in.count = (extent + a.ins_h) / step;
            s.in.pad_t = 0;
            s.in.pad_b = extent - ((s.in.count - 1) * step + 1);
          }
          if (s.gn == 1) {
            head = first ? edge.head : 1;
            tail = last ? edge.tail : 1;
          }
          load_input(a, p, g, s, p.in[j % 2], first ? node : &move);
          if (first) {
            // The section's weights (the first part's when in parts), then
            // its 16-bit biases, after the first input: on the caller's node,
            // as the section before may still read the weight area.
            const int r1 = head > 1 ? conv_sec_size(rows, head, 0) : rows;
            load_weights(a, p, g, oc0, 0, r1 == rows ? ch : NPU_NUM * r1, node);
            if (a.bias_mode == 1) {
              const u64 oc_first = (u64)g * (u64)p.ocg + (u64)oc0;
              tensor_compact_move_gen_cmd(p.bias, 0, a.bias + 2 * oc_first, 1, ch, 1, 1, GDMA_VALUE_FORMAT_INT16,
                                          GDMA_VALUE_DIR_S2L, 0, node);
            }
          }
        }
        if (j > 0) cmd_id_merge(node, &move, &comp);
        if (j == slices) break;
        cmd_id_divide(node, &move, &comp);
        if (s.zero) zero_rows(a, p, s, p.in[j % 2], &comp);
        const int parts = head > tail ? head : tail;
        for (int pj = 0; pj < parts; pj++) {
          const int r0 = conv_sec_start(rows, parts, pj), rn = conv_sec_size(rows, parts, pj);
          const int pch = ch - NPU_NUM * r0 < NPU_NUM * rn ? ch - NPU_NUM * r0 : NPU_NUM * rn;
          if (head > 1 && pj > 0) {
            load_weights(a, p, g, oc0, r0, pch, &move);
            if (move.gdma_cmd_id > comp.gdma_cmd_id) comp.gdma_cmd_id = move.gdma_cmd_id;
          }
          compute(a, p, s, r0, pch, p.in[j % 2], p.out[j % 2], &comp);
          if (tail > 1) {
            if (have_prev) store(a, p, g, oc0, ch, prev, p.out[(j - 1) % 2], &move);
            have_prev = 0;
            // The part's store waits for its own convolution only.
            move.bd_cmd_id = comp.bd_cmd_id;
            store(a, p, g, oc0 + NPU_NUM * r0, pch, s, p.out[j % 2] + out_row(p, s, r0), &move);
          }
        }
        if (tail > 1) continue;
        if (have_prev) store(a, p, g, oc0, ch, prev, p.out[(j - 1) % 2], &move);
        prev = s;
        have_prev = 1;
      }
      if (have_prev) store(a, p, g, oc0, ch, prev, p.out[(slices - 1) % 2], node);
    }
  }
}

conv_fix8b_call_t args_of(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c,
                          int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
                          int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w, int bias_mode,
                          int unused, int hsecs, int nsecs, int ocsecs, int if_relu, int relu_upper_limit,
                          int weight_layout, int ins_h, int ins_w, int rshift, int input_sign, int weight_sign,
                          int bias_sign, int output_mode, int three_ic) {
  conv_fix8b_call_t a;
  a.input = input_addr, a.output = output_addr, a.weight = weight_addr, a.bias = bias_addr;
  a.n = input_n, a.ic = input_c, a.h = input_h, a.w = input_w, a.groups = groups, a.oc = output_c;
  a.kh = kh, a.kw = kw, a.dh = dh, a.dw = dw, a.pad_h = pad_h, a.pad_h_after = pad_h_after;
  a.pad_w = pad_w, a.pad_w_after = pad_w_after, a.stride_h = stride_h, a.stride_w = stride_w;
  a.bias_mode = bias_mode, a.unused = unused, a.hsecs = hsecs, a.nsecs = nsecs, a.ocsecs = ocsecs;
  a.if_relu = if_relu, a.relu_upper_limit = relu_upper_limit, a.rshift = rshift;
  a.input_sign = input_sign, a.weight_sign = weight_sign, a.bias_sign = bias_sign, a.output_mode = output_mode;
  a.weight_layout = weight_layout, a.ins_h = ins_h, a.ins_w = ins_w, a.three_ic = three_ic;
  return a;
}

// The extents and counts every worker divides by or loops over.
void check_args(int input_n, int input_c, int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh,
                int dw, int stride_h, int stride_w, int ins_h, int ins_w, int bias_mode) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && groups > 0 && output_c > 0);
  ASSERT_FS(input_c % groups == 0 && output_c % groups == 0);
  ASSERT_FS(kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0 && ins_h >= 0 && ins_w >= 0);
  ASSERT_FS(bias_mode >= 0 && bias_mode <= 2);
}

}  // namespace

void nodechip_conv_forward_parallel_fix8b(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
    int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w, int bias_mode,
    int unused, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu, int relu_upper_limit,
    int weight_layout, int ins_h, int ins_w, int rshift, int input_sign, int weight_sign,
    int bias_sign, int output_mode, int rq0, int rq1, int rq2, int rq3, cmd_id_node_t *node) {
  (void)rq0, (void)rq1, (void)rq2, (void)rq3;
  check_args(input_n, input_c, input_h, input_w, groups, output_c, kh, kw, dh, dw, stride_h, stride_w, ins_h, ins_w,
             bias_mode);
  ASSERT_FS(hsecs > 0 && nsecs > 0 && ocsecs > 0);
  ASSERT_FS(1 == icsecs);
  const conv_fix8b_call_t a = args_of(
      input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h, input_w, groups, output_c, kh, kw, dh,
      dw, pad_h, pad_h_after, pad_w, pad_w_after, stride_h, stride_w, bias_mode, unused, hsecs, nsecs, ocsecs, if_relu,
      relu_upper_limit, weight_layout, ins_h, ins_w, rshift, input_sign, weight_sign, bias_sign, output_mode, 0);
  worker(a, node);
}

void nodechip_conv_forward_parallel_fix8b_3ic(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
    int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w, int bias_mode,
    int unused, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu, int relu_upper_limit,
    int weight_layout, int ins_h, int ins_w, int rshift, int input_sign, int weight_sign,
    int bias_sign, int output_mode, int rq0, int rq1, int rq2, int rq3, cmd_id_node_t *node) {
  (void)rq0, (void)rq1, (void)rq2, (void)rq3;
  check_args(input_n, input_c, input_h, input_w, groups, output_c, kh, kw, dh, dw, stride_h, stride_w, ins_h, ins_w,
             bias_mode);
  ASSERT_FS((input_c == 3) && (ins_h == 0) && (dh == 1) && (pad_h == 0) && (pad_h_after == 0) && (groups == 1));
  ASSERT_FS(hsecs > 0 && nsecs > 0 && ocsecs > 0);
  ASSERT_FS(1 == icsecs);
  ASSERT_FS(input_h >= kh);
  const conv_fix8b_call_t a = args_of(
      input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h, input_w, groups, output_c, kh, kw, dh,
      dw, pad_h, pad_h_after, pad_w, pad_w_after, stride_h, stride_w, bias_mode, unused, hsecs, nsecs, ocsecs, if_relu,
      relu_upper_limit, weight_layout, ins_h, ins_w, rshift, input_sign, weight_sign, bias_sign, output_mode, 1);
  worker(a, node);
}

void nodechip_conv_forward_parallel_fix8b_with_data_split(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h,
    int pad_h_after, int pad_w, int pad_w_after, int stride_h, int stride_w, int bias_mode,
    int unused, int if_relu, int relu_upper_limit, int weight_layout, int ins_h, int ins_w,
    int rshift, int input_sign, int weight_sign, int bias_sign, int output_mode, int rq0, int rq1,
    int rq2, int rq3, int use_3ic, cmd_id_node_t *node) {
  check_args(input_n, input_c, input_h, input_w, groups, output_c, kh, kw, dh, dw, stride_h, stride_w, ins_h, ins_w,
             bias_mode);
  const int oh = conv_fix8b_out_extent(input_h, ins_h, pad_h, pad_h_after, kh, dh, stride_h);
  const int ow = conv_fix8b_out_extent(input_w, ins_w, pad_w, pad_w_after, kw, dw, stride_w);
  ASSERT_FS(oh > 0 && ow > 0);
  conv_secs_info_t secs = {};
  if (use_3ic) {
    ASSERT_FS((input_c == 3) && (ins_h == 0) && (dh == 1) && (pad_h == 0) && (pad_h_after == 0) && (groups == 1));
    const int split = global_conv_data_split_fix8b(input_n, 3 * kh, oh, input_w, output_c, oh, ow, 1, 1, kw, 1, dw,
                                                   1, stride_w, bias_mode, ins_h, ins_w, &secs);
    if (!split) fw_log(0, "The input size is too large, cannot split data\n");
    // A failed split leaves no plan to run on.
    ASSERT_FS(split != 0);
    nodechip_conv_forward_parallel_fix8b_3ic(input_addr, output_addr, weight_addr, bias_addr, input_n, 3, input_h,
                                             input_w, 1, output_c, kh, kw, 1, dw, 0, 0, pad_w, pad_w_after, stride_h,
                                             stride_w, bias_mode, unused, (int)secs.hsecs, (int)secs.nsecs,
                                             (int)secs.icsecs, (int)secs.ocsecs, if_relu, relu_upper_limit,
                                             weight_layout, ins_h, ins_w, rshift, input_sign, weight_sign, bias_sign,
                                             output_mode, rq0, rq1, rq2, rq3, node);
    return;
  }
  const int split = global_conv_data_split_fix8b(input_n, input_c, input_h, input_w, output_c, oh, ow, groups, kh, kw,
                                                 dh, dw, stride_h, stride_w, bias_mode, ins_h, ins_w, &secs);
  if (!split) fw_log(0, "The input size is too large, cannot split data\n");
  ASSERT_FS(split != 0);
  // Row sections for the load/convolution/store overlap (the column count is
  // not used here).
  secs.wsecs = 1;
  conv_pipeline_secs(&secs, CONV_FIX8B_PIPE_STEP_MACS, input_n, input_c, groups, output_c, kh, kw, oh, ow);
  nodechip_conv_forward_parallel_fix8b(input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h,
                                       input_w, groups, output_c, kh, kw, dh, dw, pad_h, pad_h_after, pad_w,
                                       pad_w_after, stride_h, stride_w, bias_mode, unused, (int)secs.hsecs,
                                       (int)secs.nsecs, (int)secs.icsecs, (int)secs.ocsecs, if_relu, relu_upper_limit,
                                       weight_layout, ins_h, ins_w, rshift, input_sign, weight_sign, bias_sign,
                                       output_mode, rq0, rq1, rq2, rq3, node);
}
