// Float32 deconvolution as a convolution of the zero-inserted input.
#include "layers/conv/deconv.h"

#include "cmd/bd_conv.h"
#include "cmd/data_split.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/conv/conv.h"
#include "layers/conv/conv_sections.h"
#include "local/compare_select.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/services.h"

void deconv_layout_of(deconv_layout_t *l, int input_n, int input_c, int input_h, int input_w, int groups,
                      int output_c, int output_h, int output_w, int kh, int kw, int dh, int dw, int pad_h_t,
                      int pad_h_b, int pad_w_l, int pad_w_r, int stride_h, int stride_w, int icsecs, int ocsecs,
                      int nsecs, int hsecs) {
  l->khe = conv_kernel_extent32(kh, dh);
  l->kwe = conv_kernel_extent32(kw, dw);
  l->hi = (input_h - 1) * stride_h + 1;
  l->pt = l->khe - 1 - pad_h_t;
  l->pb = l->khe - 1 - pad_h_b;
  l->pl = l->kwe - 1 - pad_w_l;
  l->pr = l->kwe - 1 - pad_w_r;
  const int span = output_w + pad_w_l + pad_w_r - l->kwe;
  l->rw = span >= 0 ? span % stride_w : 0;
  l->icg = input_c / groups;
  l->ocg = output_c / groups;
  l->ocn = (int)ceil_div(l->ocg, NPU_NUM);
  l->icg_even = (l->icg + 1) & ~1;
  l->icmax = (int)ceil_div(l->icg, icsecs);
  l->ocns = (int)ceil_div(l->ocn, ocsecs);
  l->nmax = (int)ceil_div(input_n, nsecs);
  l->ohmax = (int)ceil_div(output_h, hsecs);
  const int ih = (l->pt + l->pb + l->ohmax - l->khe) / stride_h + 2;
  l->ihmax = ih < input_h ? ih : input_h;
  l->resident = icsecs == 1 && ocsecs == 1;
  l->bias_size = 4ull * (u64)l->ocn;
  const u64 taps = (u64)kh * (u64)kw;
  if (l->resident) {
    // Pairs of input channels: the odd count's padding slot is part of the area.
    l->wsize = 4ull * (u64)l->ocn * (u64)l->icg_even * taps;
    l->weight[0] = l->weight[1] = 0;
    l->bias[0] = l->bias[1] = l->wsize;
    l->input[0] = ALIGN(l->wsize + l->bias_size, 128);
  } else {
    l->wsize = 4ull * taps * (u64)ceil_div(ceil_div(l->ocg, ocsecs), NPU_NUM) * (u64)((l->icmax + 1) & ~1);
    l->weight[0] = 0;
    l->weight[1] = l->wsize;
    l->bias[0] = 2 * l->wsize;
    l->bias[1] = 2 * l->wsize + l->bias_size;
    l->input[0] = ALIGN(2 * l->wsize + 2 * l->bias_size, 128);
  }
  l->in_size = 4ull * ALIGN((u64)(l->ihmax > 0 ? l->ihmax : 0) * (u64)input_w, 32) *
               (u64)ceil_div(l->icmax, NPU_NUM) * (u64)l->nmax;
  l->input[1] = l->input[0] + l->in_size;
  l->output[0] = ALIGN(l->input[1] + l->in_size, 0x10000);
  l->max_ofsize = 4ull * ALIGN((u64)l->ohmax * (u64)output_w, 32) * (u64)l->ocns * (u64)l->nmax;
  l->output[1] = l->output[0] + l->max_ofsize;
  l->top_local_offset1 = l->output[1];
  static const char *const names[DECONV_AREA_COUNT] = {"weight 0", "weight 1", "bias 0",   "bias 1",
                                                       "input 0",  "input 1",  "output 0", "output 1"};
  const int two = l->resident ? 0 : 1;
  const u64 offs[DECONV_AREA_COUNT] = {l->weight[0], l->weight[1], l->bias[0],  l->bias[1],
                                       l->input[0],  l->input[1],  l->output[0], l->output[1]};
  const u64 sizes[DECONV_AREA_COUNT] = {l->wsize,  two ? l->wsize : 0, l->bias_size,  two ? l->bias_size : 0,
                                        l->in_size, l->in_size,         l->max_ofsize, l->max_ofsize};
  local_areas_of(l->areas, names, offs, sizes, DECONV_AREA_COUNT);
}

namespace {

// Weights of input channels [ic0, ic0 + ic) and output channels [oc0, oc0 +
// ch) into buf, even input channels in the first word of each 8-byte unit and
// odd ones in the second. Layout 0: [pair][lane row][taps][2]; layout 1:
// [lane row][pair][taps][2] with ic_even / 2 pairs per lane row.
void dc_load_weights(u64 weight_addr, const deconv_layout_t &l, int layout, int taps, int g, int ic0, int ic,
                     int oc0, int ch, u32 buf, cmd_id_node_t *node) {
  const u64 group = (u64)g * l.icg_even * l.ocg * taps;
  const int lanes = (int)ceil_div(ch, NPU_NUM), ic_even = (ic + 1) & ~1;
  for (int t = 0; t < 2; t++) {
    const int pairs = (ic + 1 - t) / 2;
    if (pairs == 0) continue;
    if (layout == 1) {
      const u64 src = weight_addr + 4ull * (group + ((u64)oc0 * l.icg_even + ic0 + t) * taps);
      tensor_stride_move_gen_cmd(buf + 4u * t, 0, src, pairs, ch, taps, 1, 2 * taps, l.icg_even * taps, 1, 1,
                                 2 * taps, ic_even * taps, 2, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                                 node);
    } else {
      const u64 src = weight_addr + 4ull * (group + ((u64)(ic0 + t) * l.ocg + oc0) * taps);
      tensor_stride_move_gen_cmd(buf + 4u * t, 0, src, pairs, ch, taps, 1, 2 * l.ocg * taps, taps, 1, 1,
                                 2 * lanes * taps, 2 * taps, 2, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                                 node);
    }
  }
}

}  // namespace

void nodechip_deconv_forward_parallel(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr, int input_n,
                                      int input_c, int input_h, int input_w, int groups, int output_c, int output_h,
                                      int output_w, int kh, int kw, int dh, int dw, int pad_h_t, int pad_h_b,
                                      int pad_w_l, int pad_w_r, int stride_h, int stride_w, int have_bias,
                                      int result_add, int if_relu, int icsecs, int ocsecs, int nsecs, int hsecs,
                                      int weight_layout, cmd_id_node_t *node) {
  ASSERT(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && output_c > 0 && output_h > 0 && output_w > 0);
  ASSERT(groups > 0 && input_c % groups == 0 && output_c % groups == 0);
  ASSERT(kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0);
  ASSERT(icsecs > 0 && ocsecs > 0 && nsecs > 0 && hsecs > 0);
  deconv_layout_t layout;
  deconv_layout_of(&layout, input_n, input_c, input_h, input_w, groups, output_c, output_h, output_w, kh, kw, dh, dw,
                   pad_h_t, pad_h_b, pad_w_l, pad_w_r, stride_h, stride_w, icsecs, ocsecs, nsecs, hsecs);
  const deconv_layout_t &l = layout;
  {
    // The pads of the convolution that computes the deconvolution.
    const int pad_h_t = l.pt, pad_h_b = l.pb, pad_w_l = l.pl, pad_w_r = l.pr;
    ASSERT_FS(pad_h_t >= 0 && pad_h_b >= 0 && pad_w_l >= 0 && pad_w_r >= 0);
  }
  const u64 top_local_offset1 = l.top_local_offset1, max_ofsize = l.max_ofsize;
  ASSERT_FS(top_local_offset1 + max_ofsize <= (1<<19));
  const int n = input_n, top_h = output_h;
  ASSERT_FS(nsecs <= n);
  ASSERT_FS(hsecs <= top_h);
  ASSERT(ocsecs <= l.ocn);
  // Input-channel steps of the largest even count a section holds: counts that
  // leave fewer than two channels a section would never advance.
  const int step = icsecs == 1 ? l.icg : (l.icmax & ~1);
  ASSERT(step > 0, "icsecs %d leaves sections of %d input channels", icsecs, l.icmax);
  const int taps = kh * kw;
  int bias_sel = 0, weight_sel = 0, input_sel = 0, output_sel = 0;
  cmd_id_node_t move, compute;
  for (int g = 0; g < groups; g++) {
    int first_step = 1, have_prev = 0;
    conv_section_t prev = {};
    if (l.resident) {
      if (have_bias)
        tensor_compact_move_gen_cmd((u32)l.bias[0], 0, bias_addr + 4ull * (u64)g * l.ocg, 1, l.ocg, 1, 1,
                                    GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
      dc_load_weights(weight_addr, l, weight_layout, taps, g, 0, l.icg, 0, l.ocg, (u32)l.weight[0], node);
    }
    const int q = l.ocn / ocsecs, r = l.ocn % ocsecs;
    int lane0 = 0;
    for (int s = 0; s < ocsecs; s++) {
      const int lanes = q + (s < r ? 1 : 0);
      const int oc0 = NPU_NUM * lane0;
      const int ch = s == ocsecs - 1 ? l.ocg - oc0 : NPU_NUM * lanes;
      lane0 += lanes;
      if (!l.resident && have_bias) {
        bias_sel ^= 1;
        tensor_compact_move_gen_cmd((u32)l.bias[bias_sel], 0, bias_addr + 4ull * ((u64)g * l.ocg + oc0), 1, ch, 1, 1,
                                    GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, first_step ? node : &move);
      }
      for (int ni = 0; ni < nsecs; ni++)
        for (int hi = 0; hi < hsecs; hi++) {
          conv_section_t sl;
          sl.g = g;
          sl.oc0 = oc0;
          sl.ch = ch;
          sl.lanes = (int)ceil_div(ch, NPU_NUM);
          sl.n0 = conv_sec_start(input_n, nsecs, ni);
          sl.nc = conv_sec_size(input_n, nsecs, ni);
          sl.oh0 = conv_sec_start(output_h, hsecs, hi);
          sl.rows = conv_sec_size(output_h, hsecs, hi);
          output_sel ^= 1;
          sl.out = (u32)l.output[output_sel];
          if (result_add)
            conv_section_move_output(output_addr, output_c, output_h, output_w, l.ocg, &sl, GDMA_VALUE_DIR_S2L,
                                     first_step ? node : &move);
          const int end = l.khe + sl.oh0 + sl.rows - 1;
          int a, top;
          if (sl.oh0 < l.pt) {
            top = l.pt - sl.oh0;
            a = 0;
          } else {
            a = sl.oh0 - l.pt;
            top = 0;
          }
          int b = end - l.pt, bottom = 0;
          if (b >= l.hi) {
            bottom = end - l.hi - l.pt;
            b = l.hi;
          }
          const int row0 = (int)ceil_div(a, stride_h), row1 = (int)ceil_div(b, stride_h);
          const int rows = row1 - row0;
          const int extra_top = a % stride_h ? stride_h - a % stride_h : 0;
          const int extra_bottom = (b + stride_h - 1) % stride_h;
          if (rows <= 0) {
            // Rows that see no input row hold the bias, or zero.
            if (!first_step) cmd_id_merge(node, &move, &compute);
            cmd_id_divide(node, &move, &compute);
            first_step = 0;
            const u32 bbuf = (u32)(l.resident ? l.bias[0] + 4u * (u32)(lane0 - lanes) : l.bias[bias_sel]);
            conv_section_fill(&sl, output_w, result_add, have_bias, bbuf, &compute);
          }
          for (int ic0 = 0, k = 0; rows > 0 && ic0 < l.icg; ic0 += step, k++) {
            const int ic = l.icg - ic0 < step ? l.icg - ic0 : step;
            const int ic_even = (ic + 1) & ~1;
            cmd_id_node_t *ld = first_step ? node : &move;
            u32 wbuf = (u32)l.weight[0];
            if (!l.resident) {
              weight_sel ^= 1;
              wbuf = (u32)l.weight[weight_sel];
              dc_load_weights(weight_addr, l, weight_layout, taps, g, ic0, ic, oc0, ch, wbuf, ld);
            }
            input_sel ^= 1;
            const u32 in_buf = (u32)l.input[input_sel];
            conv_section_load_input(in_buf, input_addr, input_c, input_h, input_w, g * l.icg + ic0, ic, sl.n0, sl.nc,
                                    row0, rows, ld);
            if (!first_step) cmd_id_merge(node, &move, &compute);
            cmd_id_divide(node, &move, &compute);
            first_step = 0;
            // Resident weights and bias hold the whole group: the section
            // starts lane0 - lanes lane rows in.
            const int wrows = l.resident ? l.ocn : sl.lanes;
            const int row_in = l.resident ? lane0 - lanes : 0;
            const int ic_pairs_even = l.resident ? l.icg_even : ic_even;
            int ks[4];
            u32 waddr;
            if (weight_layout == 1) {
              ks[0] = taps;
              ks[1] = ic_pairs_even * taps / 2;
              ks[2] = kw;
              ks[3] = 1;
              waddr = wbuf + (u32)(4 * row_in * ic_pairs_even * taps);
            } else {
              ks[0] = taps * wrows;
              ks[1] = taps;
              ks[2] = kw;
              ks[3] = 1;
              waddr = wbuf + (u32)(8 * row_in * taps);
            }
            const u32 bbuf = (u32)(l.resident ? l.bias[0] + 4u * (u32)row_in : l.bias[bias_sel]);
            const int last = ic0 + ic >= l.icg;
            atomic_conv_neuron_kernel_stride_gen_cmd(
                LOCAL_ADDR_TAG | in_buf, LOCAL_ADDR_TAG | sl.out, LOCAL_ADDR_TAG | waddr, LOCAL_ADDR_TAG | bbuf,
                sl.nc, ic, rows, input_w, stride_h - 1, stride_w - 1, ch, sl.rows, output_w, 0, 0, kh, kw, dh, dw,
                ks[0], ks[1], ks[2], ks[3], top + extra_top, bottom + extra_bottom, l.pl, l.pr + l.rw, 1, 1,
                have_bias && last, 1, result_add || k > 0, &compute);
          }
          if (if_relu) {
            const dim4_t shape = {sl.nc, ch, sl.rows, output_w};
            nodechip_relu_forward_local(LOCAL_ADDR_TAG | sl.out, LOCAL_ADDR_TAG | sl.out, &shape, 0.0f, &compute);
          }
          if (have_prev)
            conv_section_move_output(output_addr, output_c, output_h, output_w, l.ocg, &prev, GDMA_VALUE_DIR_L2S,
                                     &move);
          prev = sl;
          have_prev = 1;
        }
    }
    cmd_id_merge(node, &move, &compute);
    if (have_prev)
      conv_section_move_output(output_addr, output_c, output_h, output_w, l.ocg, &prev, GDMA_VALUE_DIR_L2S, node);
    fix_cmd_node_overflow(node);
  }
}

void nodechip_deconv_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                      u64 bias_addr, int input_n, int input_c, int input_h,
                                                      int input_w, int groups, int output_c, int kh, int kw, int dh,
                                                      int dw, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
                                                      int stride_h, int stride_w, int output_pad_h, int output_pad_w,
                                                      int have_bias, int result_add, int if_relu, int weight_layout,
                                                      cmd_id_node_t *node) {
  const int khe = conv_kernel_extent32(kh, dh), kwe = conv_kernel_extent32(kw, dw);
  const int oh = (input_h - 1) * stride_h + khe - pad_h_t - pad_h_b + output_pad_h;
  const int ow = (input_w - 1) * stride_w + kwe - pad_w_l - pad_w_r + output_pad_w;
  deconv_secs_info_t secs;
  if (!get_deconv_secs_info(input_n, input_c, input_h, input_w, input_c, output_c, kh, kw, input_n, output_c, oh, ow,
                            have_bias, stride_h, dh, pad_h_t, groups, &secs)) {
    fw_log(0, "The input size is too large, cannot split data\n");
    ASSERT_FS(0);
  }
  nodechip_deconv_forward_parallel(input_addr, weight_addr, bias_addr, output_addr, input_n, input_c, input_h,
                                   input_w, groups, output_c, oh, ow, kh, kw, dh, dw, pad_h_t, pad_h_b, pad_w_l,
                                   pad_w_r, stride_h, stride_w, have_bias, result_add, if_relu, (int)secs.icsecs,
                                   (int)secs.ocsecs, (int)secs.nsecs, (int)secs.hsecs, weight_layout, node);
}
