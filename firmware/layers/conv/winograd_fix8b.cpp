// 8-bit Winograd convolution of 4N tensors.
#include "layers/conv/winograd_fix8b.h"

#include "cmd/bd_arith.h"
#include "cmd/bd_conv.h"
#include "cmd/data_split.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "local/resident.h"
#include "runtime/assert.h"
#include "runtime/services.h"

#define WINO_BANK 0x10000u

int winograd_fix8b_row_chunk(int oh, int hsecs) {
  int hslice = (int)ceil_div(oh, hsecs);
  if (hsecs >= 2) {
    hslice = hslice / 4 * 4;
    // No chunk of 1 to 3 rows; a chunk that reaches 0 has no rows to give.
    while (hslice > 0 && oh % hslice >= 1 && oh % hslice <= 3) hslice -= 4;
  }
  return hslice > 0 ? hslice : 0;
}

namespace {

u32 a128(u64 x) { return (u32)align_up((s64)x, 128); }
u32 k64(u64 x) { return (u32)align_up((s64)x, WINO_BANK); }

void clamp_above(u32 out, int items, int ch, int rows, int ow, int limit, int out_signed, cmd_id_node_t *node) {
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

}  // namespace

void nodechip_winograd_forward_parallel_fix8b(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                              int input_n, int input_c, int input_h, int input_w, int groups,
                                              int output_c, int pad_h, int pad_h_after, int pad_w, int pad_w_after,
                                              int bias_mode, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu,
                                              int relu_upper_limit, int use_winograd, int ins_h, int ins_w,
                                              int rshift, int input_sign, int weight_sign, int bias_sign,
                                              int output_mode, int rq0, int rq1, int rq2, int rq3,
                                              cmd_id_node_t *node) {
  (void)ins_h, (void)ins_w, (void)weight_sign, (void)rq0, (void)rq1, (void)rq2, (void)rq3;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && groups > 0 && output_c > 0);
  ASSERT_FS(input_c % groups == 0 && output_c % groups == 0);
  ASSERT_FS(pad_h >= 0 && pad_h_after >= 0 && pad_w >= 0 && pad_w_after >= 0);
  ASSERT_FS(bias_mode >= 0 && bias_mode <= 2 && (use_winograd == 1 || use_winograd == 2));
  ASSERT_FS(hsecs > 0 && nsecs > 0 && icsecs > 0 && ocsecs > 0);
  const int oh = input_h + pad_h + pad_h_after - 2, ow = input_w + pad_w + pad_w_after - 2;
  const int icg = input_c / groups, ocg = output_c / groups, icg4 = (int)align_up(icg, 4), g4 = icg4 / 4;
  const int ocn = (int)ceil_div(ocg, NPU_NUM), lanes = ocg < NPU_NUM ? ocg : NPU_NUM;
  const int nq = (int)ceil_div(input_n, 4);
  ASSERT_FS(nsecs <= input_n);
  ASSERT_FS(hsecs <= oh);
  // One input-channel section: an 8-bit result cannot carry partial sums.
  ASSERT_FS(icsecs == 1);
  const int hslice = winograd_fix8b_row_chunk(oh, hsecs);
  ASSERT_FS(hslice > 0);

  // Layout, resident weights (one section of each kind).
  const int ocn_sec = (int)ceil_div(ocn, ocsecs), nsq = (int)ceil_div(nq, nsecs);
  const u32 wsec = 16u * (u32)icg4 * (u32)ocn_sec;  // bytes per lane: 16 words per four input channels
  const u32 bias_size = bias_mode != 0 ? 2u * (u32)ocn : 0u;
  const u32 weight = bias_mode == 2 ? 0u : a128(bias_size), bias = bias_mode == 2 ? wsec : 0u;
  const u32 in0 = k64(a128((u64)(bias_mode == 2 ? bias_size + wsec : weight + wsec)));
  const int ihmax = hslice + 2 < input_h ? hslice + 2 : input_h;
  const u64 in_size = 4ull * align_up((s64)ihmax * input_w, EU_NUM) * ceil_div(icg, NPU_NUM) * nsq;
  const u64 out_size = 4ull * align_up((s64)hslice * ow, EU_NUM) * ocn_sec * nsq;
  const u32 in1 = k64(in0 + in_size), out0 = k64(in1 + in_size), out1 = k64(out0 + out_size);
  const u64 top_local_offset1 = out1, max_ofsize = out_size;
  ASSERT_FS(top_local_offset1 + max_ofsize <= (1<<19));
  const u32 ins[2] = {in0, in1}, outs[2] = {out0, out1};
  const s64 plane_in = (s64)input_h * input_w, plane_out = (s64)oh * ow;
  const int out_signed = !if_relu;  // the transformed weights are signed

  for (int g = 0; g < groups; g++) {
    for (int os = 0; os < ocsecs; os++) {
      // Lanes rows [r0, r0 + rn) of output channels: channels 64 r0 ... of the group.
      const int q = ocn / ocsecs, r = ocn % ocsecs;
      const int rn = q + (os < r ? 1 : 0), r0 = os * q + (os < r ? os : r);
      const int oc0 = NPU_NUM * r0;
      const int ch = ocg - oc0 < NPU_NUM * rn ? ocg - oc0 : NPU_NUM * rn;
      if (ch <= 0) continue;
      // Weights as [lane row][icg4 / 4][16 words] per lane.
      const u32 w_at = bias_mode == 2 ? 0u : weight;
      if (use_winograd == 1 && bias_mode != 2) {
        tensor_stride_move_gen_cmd(weight, 0, weight_addr + (u64)g * (u64)icg4 * (u64)ocg * 16u + (u64)oc0 * 64u, g4,
                                   ch, 1, 16, ocg * 16, 16, 16, 1, 16, g4 * 16, 16, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                   GDMA_VALUE_DIR_S2L, 0, node);
        if (bias_mode == 1)
          tensor_compact_move_gen_cmd(bias, 0, bias_addr + 2ull * ((u64)g * ocg + oc0), 1, ch, 1, 1,
                                      GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0, node);
      } else if (ocsecs > 1) {
        // Per lane the block holds ocn lane rows of weights (then, with
        // bias_mode 2, their ocn 16-bit biases): the section takes lane rows
        // [r0, r0 + rn) of each, weights to w_at and biases to `bias`.
        const u64 wrow = (u64)icg4 * 16u;
        const u64 per_lane = (u64)ocn * wrow + (bias_mode == 2 ? 2u * (u64)ocn : 0u);
        const u64 block = weight_addr + (u64)g * per_lane * (u64)lanes;
        const int len = (int)((u64)rn * wrow);
        tensor_stride_move_gen_cmd(w_at, 0, block + (u64)r0 * wrow, 1, lanes, 1, len, 0, (int)per_lane, len, 1, 0, len,
                                   len, 1, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, node);
        if (bias_mode == 2)
          tensor_stride_move_gen_cmd(bias, 0, block + (u64)ocn * wrow + 2ull * (u64)r0, 1, lanes, 1, 2 * rn, 0,
                                     (int)per_lane, 2 * rn, 1, 0, 2 * rn, 2 * rn, 1, GDMA_VALUE_FORMAT_INT8,
                                     GDMA_VALUE_DIR_S2L, 0, node);
        if (bias_mode == 1)
          tensor_stride_move_gen_cmd(bias, 0, bias_addr + 2ull * ((u64)g * (u64)ocn * (u64)lanes + (u64)r0), 1, lanes,
                                     1, rn, 0, ocn, rn, 1, 0, rn, rn, 1, GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L,
                                     0, node);
      } else {
        const u64 per_lane = (u64)ocn * (u64)icg4 * 16u + (bias_mode == 2 ? 2u * (u64)ocn : 0u);
        tensor_compact_move_gen_cmd(w_at, 0, weight_addr + (u64)g * per_lane * (u64)lanes, 1, lanes,
                                    (int)(per_lane), 1, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, node);
        if (bias_mode == 1)
          tensor_compact_move_gen_cmd(bias, 0, bias_addr + 2ull * (u64)g * (u64)ocn * (u64)lanes, 1, lanes, 1, ocn,
                                      GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0, node);
      }
      // One section holds the whole block: its biases follow the ocn rows.
      const u32 b_at = bias_mode == 2 && ocsecs == 1 ? (u32)ocn * (u32)icg4 * 16u : bias;
      const int row_chunks = (int)ceil_div(oh, hslice), slices = nsecs * row_chunks;
      cmd_id_node_t move = *node, comp = *node;
      struct {
        int g0, gn, oh0, rows;
      } prev = {0, 0, 0, 0};
      for (int j = 0; j <= slices; j++) {
        int g0 = 0, gn = 0, oh0 = 0, rows = 0, first = 0, count = 0, pt = 0, pb = 0;
        if (j < slices) {
          const int bs = j / row_chunks, qn = nq / nsecs, rr = nq % nsecs;
          gn = qn + (bs < rr ? 1 : 0);
          g0 = bs * qn + (bs < rr ? bs : rr);
          oh0 = (j % row_chunks) * hslice;
          rows = oh - oh0 < hslice ? oh - oh0 : hslice;
          first = oh0 - pad_h > 0 ? oh0 - pad_h : 0;
          pt = pad_h - oh0 > 0 ? pad_h - oh0 : 0;
          const int end = oh0 + rows + 2 - pad_h;
          count = (end < input_h ? end : input_h) - first;
          pb = end > input_h ? end - input_h : 0;
          const int i_h = count, pad_h_t = pt, pad_h_b = pb, input_pad_hb = rows % 2;
          ASSERT_FS((i_h + pad_h_t + pad_h_b + input_pad_hb) > 2 && ((i_h + pad_h_t + pad_h_b + input_pad_hb) % 2 == 0));
          const int P = (int)eu_plane((u32)(count * input_w));
          const u64 src = input_addr + 4ull * (u64)((s64)g0 * input_c * plane_in + (s64)g * icg * plane_in +
                                                    (s64)first * input_w);
          tensor_stride_move_gen_cmd(ins[j % 2], 0, src, gn, icg, count, input_w, (int)(input_c * plane_in),
                                     (int)plane_in, input_w, 1, (int)ceil_div(icg, NPU_NUM) * P, P, input_w, 1,
                                     GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, j == 0 ? node : &move);
        }
        if (j > 0) cmd_id_merge(node, &move, &comp);
        if (j == slices) break;
        cmd_id_divide(node, &move, &comp);
        const int P = (int)eu_plane((u32)(count * input_w));
        const int items = input_n - 4 * g0 < 4 * gn ? input_n - 4 * g0 : 4 * gn;
        atomic_winograd_neuron_fix8b_gen_cmd(local_tag(ins[j % 2]), local_tag(outs[j % 2]), local_tag(w_at),
                                             local_tag(b_at), items, icg, count, input_w,
                                             (int)ceil_div(icg, NPU_NUM) * P, P, input_w, 1, 0, 0, ch, rows, ow, pt,
                                             pb + rows % 2, pad_w, pad_w_after + ow % 2, bias_mode, 0, if_relu,
                                             rshift, input_sign, bias_sign, output_mode, &comp);
        if (if_relu && relu_upper_limit > 0)
          clamp_above(outs[j % 2], items, ch, rows, ow, relu_upper_limit, out_signed, &comp);
        if (j > 0) {
          const int Po = (int)eu_plane((u32)(prev.rows * ow));
          const u64 dst = output_addr + 4ull * (u64)((s64)prev.g0 * output_c * plane_out +
                                                     ((s64)g * ocg + oc0) * plane_out + (s64)prev.oh0 * ow);
          tensor_stride_move_gen_cmd(outs[(j - 1) % 2], 0, dst, prev.gn, ch, prev.rows, ow,
                                     (int)ceil_div(ch, NPU_NUM) * Po, Po, ow, 1, (int)(output_c * plane_out),
                                     (int)plane_out, ow, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, &move);
        }
        prev.g0 = g0, prev.gn = gn, prev.oh0 = oh0, prev.rows = rows;
      }
      const int Po = (int)eu_plane((u32)(prev.rows * ow));
      const u64 dst = output_addr + 4ull * (u64)((s64)prev.g0 * output_c * plane_out +
                                                 ((s64)g * ocg + oc0) * plane_out + (s64)prev.oh0 * ow);
      tensor_stride_move_gen_cmd(outs[(slices - 1) % 2], 0, dst, prev.gn, ch, prev.rows, ow,
                                 (int)ceil_div(ch, NPU_NUM) * Po, Po, ow, 1, (int)(output_c * plane_out),
                                 (int)plane_out, ow, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
    }
  }
}

void nodechip_winograd_forward_parallel_fix8b_with_data_split(
    u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n, int input_c, int input_h,
    int input_w, int groups, int output_c, int pad_h, int pad_h_after, int pad_w, int pad_w_after, int bias_mode,
    int if_relu, int relu_upper_limit, int use_winograd, int ins_h, int ins_w, int rshift, int input_sign,
    int weight_sign, int bias_sign, int output_mode, int rq0, int rq1, int rq2, int rq3, cmd_id_node_t *node) {
  const int oh = input_h + pad_h + pad_h_after - 2, ow = input_w + pad_w + pad_w_after - 2;
  ASSERT_FS(oh > 0 && ow > 0);
  conv_secs_info_t secs = {};
  const int split = global_conv_data_split_fix8b(input_n, input_c, input_h, input_w, output_c, oh, ow, groups, 4, 4,
                                                 1, 1, 1, 1, bias_mode, ins_h, ins_w, &secs);
  if (!split) fw_log(0, "The input size is too large, cannot split data\n");
  // A failed split leaves no plan to run on.
  ASSERT_FS(split != 0);
  nodechip_winograd_forward_parallel_fix8b(input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h,
                                           input_w, groups, output_c, pad_h, pad_h_after, pad_w, pad_w_after,
                                           bias_mode, (int)secs.hsecs, (int)secs.nsecs, (int)secs.icsecs,
                                           (int)secs.ocsecs, if_relu, relu_upper_limit, use_winograd, ins_h, ins_w,
                                           rshift, input_sign, weight_sign, bias_sign, output_mode, rq0, rq1, rq2, rq3,
                                           node);
}
