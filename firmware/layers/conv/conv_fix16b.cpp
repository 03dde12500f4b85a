// 16-bit output convolution of 4N int8 tensors.
#include "layers/conv/conv_fix16b.h"
#include "cmd/conv_window.h"

#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "cmd/data_split.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/conv/conv_fix8b.h"
#include "local/conv_fix.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/services.h"

#define FIX16B_BANK 0x10000u
#define FIX16B_ROW_BYTES 128u  // one output row of a piece: 16 columns of two words

namespace {

u32 banks(u64 bytes) { return (u32)ceil_div((s64)bytes, FIX16B_BANK) * FIX16B_BANK; }

}  // namespace

u32 conv_fix16b_plan_of(conv_fix16b_plan_t *p, int input_n, int input_c, int input_h, int input_w, int groups,
                        int output_c, int kh, int kw, int dh, int dw, int pad_h, int pad_h_after, int pad_w,
                        int pad_w_after, int stride_h, int stride_w, int bias_mode, int weight_layout, int hsecs,
                        int nsecs) {
  p->icg = input_c / groups;
  p->ocg = output_c / groups;
  p->icg4 = (int)align_up(p->icg, 4);
  p->khe = conv_kernel_extent32(kh, dh);
  p->kwe = conv_kernel_extent32(kw, dw);
  p->oh = conv_fix8b_out_extent(input_h, 0, pad_h, pad_h_after, kh, dh, stride_h);
  p->ow = conv_fix8b_out_extent(input_w, 0, pad_w, pad_w_after, kw, dw, stride_w);
  p->nq = (int)ceil_div(input_n, 4);
  p->nsq = (int)ceil_div(p->nq, nsecs);
  p->ohs = (int)ceil_div(p->oh, hsecs);
  p->ihs = p->ohs * stride_h + p->khe - 1;  // the rows of a slice with its zero rows
  const int g4 = p->icg4 / 4, taps = kh * kw;
  const u32 K = (u32)(p->icg4 * taps);
  p->rec = K + (bias_mode == 2 ? 4u : 0u);
  p->bias = bias_mode == 2 ? K : p->rec;
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
  const u32 wbytes = p->rec + (bias_mode == 1 ? 2u : 0u);
  const u32 wb = banks(wbytes);
  const u64 in_bytes = 4ull * align_up((s64)p->ihs * input_w, EU_NUM) * ceil_div(p->icg, NPU_NUM) * p->nsq;
  p->group_out = FIX16B_ROW_BYTES * (u32)p->ohs;
  const u64 out_bytes = (u64)p->group_out * p->nsq;
  const u32 ib = banks(in_bytes), ob = banks(out_bytes);
  p->in[0] = wb;
  p->in[1] = wb + ib;
  p->out[0] = wb + 2 * ib;
  p->out[1] = wb + 2 * ib + ob;
  p->areas[0] = {"weights", 0, wbytes};
  p->areas[1] = {"input 0", p->in[0], (u32)in_bytes};
  p->areas[2] = {"input 1", p->in[1], (u32)in_bytes};
  p->areas[3] = {"output 0", p->out[0], (u32)out_bytes};
  p->areas[4] = {"output 1", p->out[1], (u32)out_bytes};
  const u64 end = (u64)p->out[1] + out_bytes;
  return end > 0xffffffffull ? 0xffffffffu : (u32)end;
}

namespace {

struct conv_fix16b_call_t {
  u64 input, output, weight, bias;
  int n, ic, h, w, groups, oc, kh, kw, dh, dw, pad_h, pad_h_after, pad_w, pad_w_after, stride_h, stride_w;
  int bias_mode, unused, if_relu, relu_upper_limit, rshift, input_sign, weight_sign, bias_sign, ins_w;
};

// Output columns [16 k, 16 k + len) of the piece: with inserted columns, the
// real columns its windows cover and the zero columns left and right of them.
void piece_of(const conv_fix16b_call_t &a, const conv_fix16b_plan_t &p, int k, fix16_piece_t *pc) {
  fix16_piece_of(pc, k, p.ow, a.w, a.kw, a.dw, a.pad_w, a.pad_w_after, a.stride_w);
  if (a.ins_w == 0) return;
  conv_fix8b_rows_t c;
  conv_fix8b_rows_of(&c, pc->start, pc->len, a.stride_w, p.kwe, a.pad_w, a.ins_w, a.w);
  ASSERT_FS(c.count > 0, "output columns %d..%d see no input column", pc->start, pc->start + pc->len);
  pc->x0 = c.first;
  pc->in_w = c.count;
  pc->pad_l = c.pad_t;
  pc->pad_r = c.pad_b;
}

struct conv_fix16b_slice_t {
  int g0, gn, oh0, rows;
  conv_fix8b_rows_t in;
  int in_rows;  // rows of the buffer: zero rows, real rows, zero rows
};

void section_of(int total, int count, int i, int *start, int *size) {
  const int q = total / count, r = total % count;
  *size = q + (i < r ? 1 : 0);
  *start = i * q + (i < r ? i : r);
}

// Zero rows above and below the slice's real rows, then the real rows.
void load_slice(const conv_fix16b_call_t &a, const conv_fix16b_plan_t &p, int g, const conv_fix16b_slice_t &s, u32 buf,
                cmd_id_node_t *node) {
  const int P = (int)eu_plane((u32)(s.in_rows * a.w));
  const int lanes = (int)ceil_div(p.icg, NPU_NUM);
  const dim4_t st = {lanes * P, P, a.w, 1};
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {0, 0, 0}, Int8[4] = {1, 1, 1, 1};
  const u32 modes[4] = {3, 3, 3, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  const int zero_rows[2] = {s.in.pad_t, s.in.pad_b};
  const u32 at[2] = {buf, buf + (u32)((s.in.pad_t + s.in.count) * a.w) * 4u};
  for (int i = 0; i < 2; i++) {
    if (zero_rows[i] <= 0) continue;
    const dim4_t shape = {4 * s.gn, p.icg, zero_rows[i], a.w};
    const u32 fill[4] = {0, 0, 0, local_tag(at[i])};
    atomic_tensor_arithmetic_fix8b_gen_cmd(fill, &shape, bcast, &st, &st, &st, TENSOR_OP_COPY, 1, 0, 0, 0, 0, Sign,
                                           Int8, modes, shifts, 0, node);
  }
  if (s.in.count <= 0) return;
  const s64 plane_in = (s64)a.h * a.w, group_words = (s64)a.ic * plane_in;
  const u64 src = a.input + 4ull * (u64)(s.g0 * group_words + (s64)g * p.icg * plane_in + (s64)s.in.first * a.w);
  tensor_stride_move_gen_cmd(buf + (u32)(s.in.pad_t * a.w) * 4u, 0, src, s.gn, p.icg, s.in.count, a.w,
                             (int)group_words, (int)plane_in, a.w, 1, lanes * P, P, a.w, 1,
                             GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}

// One piece of every batch group of the slice: one command per group, each
// output row an entry whose window starts stride_h rows further down.
void compute_piece(const conv_fix16b_call_t &a, const conv_fix16b_plan_t &p, const conv_fix16b_slice_t &s,
                   const fix16_piece_t &pc, int ch, u32 in, u32 out, cmd_id_node_t *node) {
  const int P = (int)eu_plane((u32)(s.in_rows * a.w));
  const u32 in_group = (u32)(ceil_div(p.icg, NPU_NUM) * P) * 4u;
  for (int b = 0; b < s.gn; b++) {
    const u32 src = local_tag(in + (u32)b * in_group + (u32)pc.x0 * 4u), dst = local_tag(out + (u32)b * p.group_out);
    if (a.bias_mode == 2)
      atomic_conv_neuron_kernel_stride_bias_stride_fix16b_gen_cmd(
          src, dst, local_tag(0), local_tag(p.bias), 4 * s.rows, p.icg, p.khe, pc.in_w, a.w * a.stride_h, P, a.w, 1,
          0, a.ins_w, ch, 1, pc.len, 0, 0, a.kh, a.kw, a.dh - 1, a.dw - 1, p.ks[0], p.ks[1], p.ks[2], p.ks[3], 1,
          (int)(p.rec / 2), 1, 1, 0, 0, pc.pad_l, pc.pad_r, a.stride_h, a.stride_w, 2, 0, a.unused, a.if_relu,
          a.rshift, a.input_sign, a.weight_sign, a.bias_sign, 3, 3, 0, node);
    else
      atomic_conv_neuron_kernel_stride_fix16b_gen_cmd(
          src, dst, local_tag(0), local_tag(p.bias), 4 * s.rows, p.icg, p.khe, pc.in_w, a.w * a.stride_h, P, a.w, 1,
          0, a.ins_w, ch, 1, pc.len, 0, 0, a.kh, a.kw, a.dh - 1, a.dw - 1, p.ks[0], p.ks[1], p.ks[2], p.ks[3], 0, 0, 0,
          pc.pad_l, pc.pad_r, a.stride_h, a.stride_w, a.bias_mode, 0, a.unused, a.if_relu, a.rshift, a.input_sign,
          a.weight_sign, a.bias_sign, 3, 3, 0, node);
    if (a.relu_upper_limit > 0) {
      // The two words of an element as two 2N pairs one word apart.
      const int out_signed = !a.if_relu && (a.input_sign || a.weight_sign || (a.bias_mode != 0 && a.bias_sign));
      const u32 sg = out_signed ? 1u : 0u;
      const dim4_t shape = {4, ch, s.rows, pc.len}, st = {1, 32 * s.rows, 32, 2};
      const u32 addr[4] = {dst, (u32)a.relu_upper_limit, 0, dst};
      const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {sg, sg, 0}, Int8[4] = {0, 0, 0, 0};
      const u32 modes[4] = {3, 0, 0, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
      atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, &st, &st, &st, TENSOR_OP_MIN, 0, 1, 0, 0, 0, Sign,
                                             Int8, modes, shifts, 0, node);
    }
  }
}

// The piece's results of every batch group: item pairs 2 (g0 + b) and
// 2 (g0 + b) + 1, each one pair block of the output apart.
void store_piece(const conv_fix16b_call_t &a, const conv_fix16b_plan_t &p, int g, int oc0, int ch,
                 const conv_fix16b_slice_t &s, const fix16_piece_t &pc, u32 out, cmd_id_node_t *node) {
  const s64 plane = (s64)p.oh * p.ow, block = (s64)a.oc * plane;
  for (int b = 0; b < s.gn; b++) {
    const int group = s.g0 + b, pairs = a.n - 4 * group > 2 ? 2 : 1;
    const u64 dst = a.output + 4ull * (u64)(2 * group * block + ((s64)g * p.ocg + oc0) * plane + (s64)s.oh0 * p.ow +
                                            pc.start);
    // Group g's pairs are blocks 2g and 2g + 1: the second word of each
    // element goes one block after the first.
    for (int q = 0; q < pairs; q++)
      tensor_stride_move_gen_cmd(out + (u32)b * p.group_out + 4u * (u32)q, 0, dst + 4ull * (u64)(q * block), s.rows,
                                 ch, 1, pc.len, 32, 32 * s.rows, 32, 2, p.ow, (int)plane, p.ow, 1,
                                 GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
  }
}

}  // namespace

void nodechip_conv_forward_parallel_fix16b(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c, int input_h,
    int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h, int pad_h_after, int pad_w,
    int pad_w_after, int stride_h, int stride_w, int bias_mode, int unused, int hsecs, int nsecs, int icsecs,
    int ocsecs, int wsecs, int if_relu, int relu_upper_limit, int weight_layout, int ins_h, int ins_w, int rshift,
    int input_sign, int weight_sign, int bias_sign, int output_mode, cmd_id_node_t *node) {
  (void)output_mode;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && groups > 0 && output_c > 0);
  ASSERT_FS(input_c % groups == 0 && output_c % groups == 0);
  ASSERT_FS(kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0 && bias_mode >= 0 && bias_mode <= 2);
  ASSERT_FS(pad_h >= 0 && pad_h_after >= 0 && pad_w >= 0 && pad_w_after >= 0);
  // Rows are entries of one-row convolutions over zero-padded windows: no
  // insertion between rows. Columns take the command's own insertion.
  ASSERT_FS(ins_h == 0 && ins_w >= 0);
  ASSERT_FS(hsecs > 0 && nsecs > 0 && ocsecs > 0);
  const int oc_per_NPU = (int)ceil_div(ceil_div(output_c / groups, ocsecs), NPU_NUM);
  ASSERT_FS(oc_per_NPU == 1);
  conv_fix16b_plan_t p;
  const u32 end = conv_fix16b_plan_of(&p, input_n, input_c, input_h, input_w, groups, output_c, kh, kw, dh, dw, pad_h,
                                      pad_h_after, pad_w, pad_w_after, stride_h, stride_w, bias_mode, weight_layout,
                                      hsecs, nsecs);
  const u32 of_map_offset1 = p.out[1], ofmap_need_bank_for_buff0 = (end - p.out[1] + FIX16B_BANK - 1) / FIX16B_BANK,
            bank_size = FIX16B_BANK;
  ASSERT_FS(of_map_offset1 + ofmap_need_bank_for_buff0 * bank_size <= (1<<19));
  // The width with the inserted columns (the layout does not depend on it).
  p.ow = conv_fix8b_out_extent(input_w, ins_w, pad_w, pad_w_after, kw, dw, stride_w);
  ASSERT_FS(p.oh > 0 && p.ow > 0 && nsecs <= p.nq && hsecs <= p.oh);
  // Every output column comes from one of the pieces.
  ASSERT_FS(wsecs == (int)ceil_div(p.ow, FIX16_PIECE_W));
  ASSERT_FS(1 == icsecs);

  conv_fix16b_call_t a = {input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h, input_w,
                          groups, output_c, kh, kw, dh, dw, pad_h, pad_h_after, pad_w, pad_w_after, stride_h,
                          stride_w, bias_mode, unused, if_relu, relu_upper_limit, rshift, input_sign, weight_sign,
                          bias_sign, ins_w};
  const int slices = nsecs * hsecs;
  int sl = 0;
  for (int g = 0; g < groups; g++) {
    for (int oc0 = 0; oc0 < p.ocg; oc0 += NPU_NUM) {
      const int ch = p.ocg - oc0 < NPU_NUM ? p.ocg - oc0 : NPU_NUM;
      const u64 oc_first = (u64)g * (u64)p.ocg + (u64)oc0;
      tensor_compact_move_gen_cmd(0, 0, weight_addr + oc_first * p.rec, 1, ch, (int)p.rec, 1, GDMA_VALUE_FORMAT_INT8,
                                  GDMA_VALUE_DIR_S2L, 0, node);
      if (bias_mode == 1)
        tensor_compact_move_gen_cmd(p.bias, 0, bias_addr + 2 * oc_first, 1, ch, 1, 1, GDMA_VALUE_FORMAT_INT16,
                                    GDMA_VALUE_DIR_S2L, 0, node);
      for (int j = 0; j < slices; j++, sl++) {
        conv_fix16b_slice_t s;
        section_of(p.nq, nsecs, j / hsecs, &s.g0, &s.gn);
        section_of(p.oh, hsecs, j % hsecs, &s.oh0, &s.rows);
        conv_fix8b_rows_of(&s.in, s.oh0, s.rows, stride_h, p.khe, pad_h, 0, input_h);
        if (s.in.count <= 0) {
          // Rows whose windows lie in the padding: all zero rows.
          s.in.first = 0;
          s.in.count = 0;
          s.in.pad_t = (s.rows - 1) * stride_h + p.khe;
          s.in.pad_b = 0;
        }
        s.in_rows = s.in.pad_t + s.in.count + s.in.pad_b;
        const u32 in = p.in[sl % 2];
        load_slice(a, p, g, s, in, node);
        cmd_id_node_t move = *node, comp = *node;
        fix16_piece_t prev = {};
        for (int k = 0; k < wsecs; k++) {
          fix16_piece_t pc;
          piece_of(a, p, k, &pc);
          if (k > 0) cmd_id_merge(node, &move, &comp);
          cmd_id_divide(node, &move, &comp);
          compute_piece(a, p, s, pc, ch, in, p.out[k % 2], &comp);
          if (k > 0) store_piece(a, p, g, oc0, ch, s, prev, p.out[(k - 1) % 2], &move);
          prev = pc;
        }
        cmd_id_merge(node, &move, &comp);
        store_piece(a, p, g, oc0, ch, s, prev, p.out[(wsecs - 1) % 2], node);
      }
    }
  }
}

void nodechip_conv_forward_parallel_fix16b_with_data_split(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c, int input_h,
    int input_w, int groups, int output_c, int kh, int kw, int dh, int dw, int pad_h, int pad_h_after, int pad_w,
    int pad_w_after, int stride_h, int stride_w, int bias_mode, int unused, int if_relu, int relu_upper_limit,
    int weight_layout, int ins_h, int ins_w, int rshift, int input_sign, int weight_sign, int bias_sign,
    int output_mode, cmd_id_node_t *node) {
  ASSERT_FS(kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0);
  const int oh = conv_fix8b_out_extent(input_h, 0, pad_h, pad_h_after, kh, dh, stride_h);
  const int ow = conv_fix8b_out_extent(input_w, ins_w, pad_w, pad_w_after, kw, dw, stride_w);
  ASSERT_FS(oh > 0 && ow > 0);
  conv_secs_info_t secs = {};
  const int split = global_conv_data_split_fix16b(input_n, input_c, input_h, input_w, output_c, oh, ow, groups, kh,
                                                  kw, dh, dw, stride_h, stride_w, bias_mode, ins_h, ins_w, &secs);
  if (!split) fw_log(0, "The input size is too large, cannot split data\n");
  // A failed split leaves no plan to run on.
  ASSERT_FS(split != 0);
  nodechip_conv_forward_parallel_fix16b(input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h,
                                        input_w, groups, output_c, kh, kw, dh, dw, pad_h, pad_h_after, pad_w,
                                        pad_w_after, stride_h, stride_w, bias_mode, unused, (int)secs.hsecs,
                                        (int)secs.nsecs, (int)secs.icsecs, (int)secs.ocsecs, (int)secs.wsecs, if_relu,
                                        relu_upper_limit, weight_layout, ins_h, ins_w, rshift, input_sign,
                                        weight_sign, bias_sign, output_mode, node);
}
