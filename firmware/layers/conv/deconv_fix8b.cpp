// 8-bit deconvolution of 4N tensors.
#include "layers/conv/deconv_fix8b.h"
#include "cmd/conv_window.h"

#include "cmd/bd_conv.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/conv/conv_fix8b.h"
#include "local/resident.h"
#include "runtime/assert.h"

void deconv_fix8b_plan_of(deconv_fix8b_plan_t *p, int input_c, int input_h, int input_w, int output_c, int groups,
                          int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
                          int stride_h, int stride_w, int output_pad_h, int output_pad_w, int have_bias) {
  p->icg = input_c / groups;
  p->ocg = output_c / groups;
  p->icg4 = (int)align_up(p->icg, 4);
  p->khe = conv_kernel_extent32(kh, dh);
  p->kwe = conv_kernel_extent32(kw, dw);
  p->oh = (input_h - 1) * stride_h + p->khe - pad_h_t - pad_h_b + output_pad_h;
  p->ow = (input_w - 1) * stride_w + p->kwe - pad_w_l - pad_w_r + output_pad_w;
  p->pt = p->khe - 1 - pad_h_t;
  p->pb = p->khe - 1 - pad_h_b;
  p->pl = p->kwe - 1 - pad_w_l;
  p->pr = p->kwe - 1 - pad_w_r;
  const s64 bank = DECONV_FIX8B_BANK;
  const int ocn = (int)ceil_div(p->ocg, NPU_NUM);
  // Output channels whose weights fit one bank.
  p->oc_slice = p->ocg;
  const s64 weights = (s64)kh * kw * p->icg4 * ocn;
  if (weights > bank) {
    const int oc_secs = (int)ceil_div(weights, bank), oc_per_npu = ocn;
    ASSERT_FS(oc_secs <= oc_per_npu);
    p->oc_slice = NPU_NUM * (ocn / oc_secs);
  }
  p->bias_area = have_bias ? (u32)align_up(2 * ceil_div(p->oc_slice, NPU_NUM), 128) : 0u;
  // Input rows of one group of four that fit an input buffer.
  const s64 room = bank - p->bias_area;
  const s64 whole = 4 * align_up((s64)input_h * input_w, EU_NUM) * ceil_div(p->icg, NPU_NUM);
  p->ih_slice = input_h;
  if (whole > room) p->ih_slice = (int)(input_h / ceil_div(whole, room));
  const int ih_slice = p->ih_slice;
  ASSERT_FS(ih_slice > 0);
  // Output rows those input rows serve.
  const int e = p->khe - 1 - (pad_h_t > pad_h_b ? pad_h_t : pad_h_b);
  int oh_slice = (p->ih_slice - 1) * stride_h + 2 * e - p->khe + 2;
  if (oh_slice < stride_h - 1) oh_slice = stride_h - 1;
  if (oh_slice > p->oh) oh_slice = p->oh;
  if (oh_slice < 1) oh_slice = 1;
  // Output of a slice within two banks.
  const s64 out = 4 * align_up((s64)oh_slice * p->ow, EU_NUM) * ceil_div(p->oc_slice, NPU_NUM);
  if (out > 2 * bank) {
    const int secs = (int)ceil_div(out, 2 * bank), lanes = (int)ceil_div(p->oc_slice, NPU_NUM);
    if (secs <= lanes) {
      p->oc_slice = NPU_NUM * (lanes / secs);
    } else {
      const int oh_slice_tmp = (int)(oh_slice / ceil_div(4 * align_up((s64)oh_slice * p->ow, EU_NUM), 2 * bank));
      ASSERT_FS(oh_slice_tmp > 0);
      oh_slice = oh_slice_tmp;
      p->oc_slice = NPU_NUM;
    }
  }
  p->oh_slice = oh_slice;
  const s64 out_lmem_size = 4 * align_up((s64)oh_slice * p->ow, EU_NUM) * ceil_div(p->oc_slice, NPU_NUM);
  const s64 weight_lmem_size = (s64)kh * kw * p->icg4 * ceil_div(p->oc_slice, NPU_NUM);
  ASSERT_FS(out_lmem_size <= 2 * ((1<<19) / 8));
  ASSERT_FS(weight_lmem_size <= ((1<<19) / 8));
}

namespace {

struct deconv_fix8b_slice_t {
  int g, oc0, ch, item0, items, oh0, rows;
  conv_fix8b_rows_t in;
};

}  // namespace

void nodechip_deconv_fix8b_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                            int input_n, int input_c, int input_h, int input_w, int output_c,
                                            int groups, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
                                            int pad_w_l, int pad_w_r, int stride_h, int stride_w, int output_pad_h,
                                            int output_pad_w, int have_bias, int if_relu, int rshift,
                                            int weight_layout, int input_sign, int weight_sign, int bias_sign,
                                            cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && output_c > 0 && groups > 0);
  ASSERT_FS(input_c % groups == 0 && output_c % groups == 0);
  // A zero step would never advance the rows.
  ASSERT_FS(kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0);
  ASSERT_FS(pad_h_t >= 0 && pad_h_b >= 0 && pad_w_l >= 0 && pad_w_r >= 0 && output_pad_h >= 0 && output_pad_w >= 0);
  deconv_fix8b_plan_t p;
  deconv_fix8b_plan_of(&p, input_c, input_h, input_w, output_c, groups, kh, kw, dh, dw, pad_h_t, pad_h_b, pad_w_l,
                       pad_w_r, stride_h, stride_w, output_pad_h, output_pad_w, have_bias);
  ASSERT_FS(p.pt >= 0 && p.pb >= 0 && p.pl >= 0 && p.pr >= 0 && p.oh > 0 && p.ow > 0);
  const int taps = kh * kw, g4 = p.icg4 / 4;
  const int rec = 4 * g4 * taps;  // weight bytes per output channel in local memory
  const s64 plane_in = (s64)input_h * input_w, plane_out = (s64)p.oh * p.ow;
  const int nq = (int)ceil_div(input_n, 4);

  for (int g = 0; g < groups; g++) {
    for (int oc0 = 0; oc0 < p.ocg; oc0 += p.oc_slice) {
      const int ch = p.ocg - oc0 < p.oc_slice ? p.ocg - oc0 : p.oc_slice;
      // The slice's weights as [icg4 / 4][kh x kw][4] per output channel.
      if (weight_layout == 1) {
        tensor_compact_move_gen_cmd(DECONV_FIX8B_WEIGHT, 0, weight_addr + ((u64)g * p.ocg + oc0) * (u64)rec, 1, ch,
                                    rec, 1, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, node);
      } else {
        // Input channels j, j + 4, ... spread to byte j of their words.
        for (int j = 0; j < 4 && j < p.icg; j++) {
          const int n = (p.icg - j + 3) / 4;
          const u64 src = weight_addr + ((u64)g * p.icg * p.ocg + (u64)j * p.ocg + (u64)oc0) * (u64)taps;
          tensor_stride_move_gen_cmd(DECONV_FIX8B_WEIGHT + (u32)j, 0, src, n, ch, kh, kw, 4 * p.ocg * taps, taps, kw,
                                     1, 4 * taps, rec, 4 * kw, 4, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, node);
        }
      }
      if (have_bias)
        tensor_compact_move_gen_cmd(0, 0, bias_addr + 2ull * ((u64)g * p.ocg + oc0), 1, ch, 1, 1,
                                    GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0, node);
      const int row_slices = (int)ceil_div(p.oh, p.oh_slice), slices = nq * row_slices;
      cmd_id_node_t move = *node, comp = *node;
      deconv_fix8b_slice_t prev = {};
      for (int j = 0; j <= slices; j++) {
        deconv_fix8b_slice_t s = {};
        if (j < slices) {
          s.g = g, s.oc0 = oc0, s.ch = ch;
          s.item0 = 4 * (j / row_slices);
          s.items = input_n - s.item0 < 4 ? input_n - s.item0 : 4;
          s.oh0 = (j % row_slices) * p.oh_slice;
          s.rows = p.oh - s.oh0 < p.oh_slice ? p.oh - s.oh0 : p.oh_slice;
          // Rows of the inserted input; the bottom pad reaches output_pad's rows.
          conv_fix8b_rows_of(&s.in, s.oh0, s.rows, 1, p.khe, p.pt, stride_h - 1, input_h);
          const int in_rows = s.in.count;
          ASSERT_FS(in_rows > 0);
          const int P = (int)eu_plane((u32)(s.in.count * input_w));
          const u32 in_lmem_size = 4u * (u32)P * (u32)ceil_div(p.icg, NPU_NUM), bias_lmem_size = p.bias_area;
          ASSERT_FS(in_lmem_size + bias_lmem_size <= ((1<<19) / 8));
          const u32 buf = (j % 2 ? DECONV_FIX8B_INPUT1 : 0u) + p.bias_area;
          // One slice holds the group's whole input: the first output-channel
          // slice loads it into input buffer 0 and the later ones reuse it.
          if (slices > 1 || oc0 == 0) {
            const u64 src = input_addr + 4ull * (u64)((s64)(s.item0 / 4) * input_c * plane_in +
                                                      (s64)g * p.icg * plane_in + (s64)s.in.first * input_w);
            tensor_stride_move_gen_cmd(buf, 0, src, 1, p.icg, s.in.count, input_w, (int)(input_c * plane_in),
                                       (int)plane_in, input_w, 1, (int)ceil_div(p.icg, NPU_NUM) * P, P, input_w, 1,
                                       GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, j == 0 ? node : &move);
          }
        }
        if (j > 0) cmd_id_merge(node, &move, &comp);
        if (j == slices) break;
        cmd_id_divide(node, &move, &comp);
        const u32 in = (j % 2 ? DECONV_FIX8B_INPUT1 : 0u) + p.bias_area;
        const u32 out = j % 2 ? DECONV_FIX8B_OUTPUT1 : DECONV_FIX8B_OUTPUT0;
        atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
            local_tag(in), local_tag(out), local_tag(DECONV_FIX8B_WEIGHT), local_tag(0), s.items, p.icg, s.in.count,
            input_w, 0, 0, 0, 0, stride_h - 1, stride_w - 1, ch, s.rows, p.ow, 0, 0, kh, kw, dh - 1, dw - 1, taps,
            g4 * taps, kw, 1, s.in.pad_t, s.in.pad_b, p.pl, p.pr + output_pad_w, 1, 1, have_bias, 1, 0, if_relu,
            rshift, input_sign, weight_sign, bias_sign, 0, 3, &comp);
        if (j > 0) {
          const int P = (int)eu_plane((u32)(prev.rows * p.ow));
          const u32 prev_out = (j - 1) % 2 ? DECONV_FIX8B_OUTPUT1 : DECONV_FIX8B_OUTPUT0;
          const u64 dst = output_addr + 4ull * (u64)((s64)(prev.item0 / 4) * output_c * plane_out +
                                                     ((s64)g * p.ocg + oc0) * plane_out + (s64)prev.oh0 * p.ow);
          tensor_stride_move_gen_cmd(prev_out, 0, dst, 1, ch, prev.rows, p.ow, (int)ceil_div(ch, NPU_NUM) * P, P,
                                     p.ow, 1, (int)(output_c * plane_out), (int)plane_out, p.ow, 1,
                                     GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, &move);
        }
        prev = s;
      }
      const int P = (int)eu_plane((u32)(prev.rows * p.ow));
      const u32 last_out = (slices - 1) % 2 ? DECONV_FIX8B_OUTPUT1 : DECONV_FIX8B_OUTPUT0;
      const u64 dst = output_addr + 4ull * (u64)((s64)(prev.item0 / 4) * output_c * plane_out +
                                                 ((s64)g * p.ocg + oc0) * plane_out + (s64)prev.oh0 * p.ow);
      tensor_stride_move_gen_cmd(last_out, 0, dst, 1, ch, prev.rows, p.ow, (int)ceil_div(ch, NPU_NUM) * P, P, p.ow, 1,
                                 (int)(output_c * plane_out), (int)plane_out, p.ow, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                 GDMA_VALUE_DIR_L2S, 0, node);
    }
  }
}
