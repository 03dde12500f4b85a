// Float32 Winograd convolution on pre-transformed weights.
#include "layers/conv/winograd.h"

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

void wino_layout_of(wino_layout_t *l, int input_n, int input_c, int input_h, int input_w, int groups, int output_c,
                    int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r, int have_bias, int hsecs, int nsecs,
                    int icsecs, int ocsecs) {
  l->oh = input_h + pad_h_t + pad_h_b - 2;
  l->ow = input_w + pad_w_l + pad_w_r - 2;
  l->icg = input_c / groups;
  l->ocg = output_c / groups;
  l->ocn = (int)ceil_div(l->ocg, NPU_NUM);
  l->ocns = (int)ceil_div(l->ocn, ocsecs);
  l->icmax = (int)ceil_div(l->icg, icsecs);
  l->nmax = (int)ceil_div(input_n, nsecs);
  l->ohc = (int)ceil_div(l->oh, hsecs);
  l->ihmax = l->ohc + 1 < input_h ? l->ohc + 2 : input_h;
  l->resident = icsecs == 1 && ocsecs == 1;
  l->wsize = 64ull * (u64)l->icmax * (u64)l->ocns;
  l->bias_size = have_bias ? 4ull * (u64)l->ocn : 0;
  if (l->resident) {
    l->bias[0] = l->bias[1] = 0;
    l->weight[0] = l->weight[1] = ALIGN(l->bias_size, 128);
    l->input[0] = ALIGN(l->weight[0] + l->wsize, 128);
  } else {
    l->bias[0] = 0;
    l->bias[1] = l->bias_size;
    l->weight[0] = ALIGN(2 * l->bias_size, 128);
    l->weight[1] = ALIGN(l->weight[0] + l->wsize, 128);
    l->input[0] = ALIGN(l->weight[1] + l->wsize, 128);
  }
  l->in_size = 4ull * ALIGN((u64)l->ihmax * (u64)input_w, 32) * (u64)ceil_div(l->icmax, NPU_NUM) * (u64)l->nmax;
  l->input[1] = l->input[0] + l->in_size;
  l->max_ofsize = 4ull * ALIGN((u64)l->ohc * (u64)(l->ow > 0 ? l->ow : 0), 32) * (u64)l->ocns * (u64)l->nmax;
  l->output[0] = ALIGN(l->input[1] + l->in_size, 0x10000);
  l->output[1] = l->output[0] + l->max_ofsize;
  l->top_local_offset1 = l->output[1];
  static const char *const names[WINO_AREA_COUNT] = {"bias 0",  "bias 1",  "weight 0", "weight 1",
                                                     "input 0", "input 1", "output 0", "output 1"};
  const int two = l->resident ? 0 : 1;
  const u64 offs[WINO_AREA_COUNT] = {l->bias[0],  l->bias[1],  l->weight[0], l->weight[1],
                                     l->input[0], l->input[1], l->output[0], l->output[1]};
  const u64 sizes[WINO_AREA_COUNT] = {l->bias_size, two ? l->bias_size : 0, l->wsize,      two ? l->wsize : 0,
                                      l->in_size,   l->in_size,             l->max_ofsize, l->max_ofsize};
  local_areas_of(l->areas, names, offs, sizes, WINO_AREA_COUNT);
}

namespace {

// Weights of input channels [ic0, ic0 + ic) and output channels [oc0, oc0 +
// ch) into `buf`, laid out per lane as the command reads them: for each of the
// lane's output channels, the step's input channels' 16 values one after another.
void wino_load_weights(u64 weight_addr, const wino_layout_t &l, int use_winograd, int g, int ic0, int ic, int oc0,
                       int ch, u32 buf, cmd_id_node_t *node) {
  if (use_winograd == 2) {
    const int lanes_used = l.ocg < NPU_NUM ? l.ocg : NPU_NUM;
    const u64 src = weight_addr + 4ull * ((u64)g * lanes_used * l.ocn * l.icg * 16 + (u64)ic0 * l.ocn * 16);
    tensor_stride_move_gen_cmd(buf, 0, src, ic, lanes_used, l.ocn, 16, l.ocn * 16, l.icg * l.ocn * 16, 16, 1, 16,
                               l.ocn * ic * 16, ic * 16, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  } else {
    const u64 src = weight_addr + 4ull * ((u64)g * l.ocg * l.icg * 16 + ((u64)ic0 * l.ocg + oc0) * 16);
    tensor_stride_move_gen_cmd(buf, 0, src, ic, ch, 1, 16, l.ocg * 16, 16, 16, 1, 16, ic * 16, 16, 1,
                               GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  }
}

void wino_load_bias(u64 bias_addr, const wino_layout_t &l, int use_winograd, int g, int oc0, int ch, u32 buf,
                    cmd_id_node_t *node) {
  if (use_winograd == 2) {
    const int lanes_used = l.ocg < NPU_NUM ? l.ocg : NPU_NUM;
    tensor_stride_move_gen_cmd(buf, 0, bias_addr + 4ull * (u64)g * lanes_used * l.ocn, 1, lanes_used, 1, l.ocn, 0,
                               l.ocn, l.ocn, 1, 0, l.ocn, l.ocn, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                               node);
  } else {
    tensor_compact_move_gen_cmd(buf, 0, bias_addr + 4ull * ((u64)g * l.ocg + oc0), 1, ch, 1, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  }
}

}  // namespace

void nodechip_winograd_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                        int input_n, int input_c, int input_h, int input_w, int groups, int output_c,
                                        int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r, int have_bias,
                                        int result_add, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu,
                                        float relu_upper_limit, int use_winograd, cmd_id_node_t *node) {
  ASSERT(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && output_c > 0);
  ASSERT(groups > 0 && input_c % groups == 0 && output_c % groups == 0);
  ASSERT(pad_h_t >= 0 && pad_h_b >= 0 && pad_w_l >= 0 && pad_w_r >= 0);
  ASSERT(hsecs > 0 && nsecs > 0 && icsecs > 0 && ocsecs > 0);
  ASSERT(use_winograd == 1 || use_winograd == 2);
  wino_layout_t layout;
  wino_layout_of(&layout, input_n, input_c, input_h, input_w, groups, output_c, pad_h_t, pad_h_b, pad_w_l, pad_w_r,
                 have_bias, hsecs, nsecs, icsecs, ocsecs);
  const wino_layout_t &l = layout;
  const int output_h = l.oh, output_w = l.ow;
  ASSERT(output_h > 0 && output_w > 0);
  const u64 top_local_offset1 = l.top_local_offset1, max_ofsize = l.max_ofsize;
  ASSERT_FS(top_local_offset1 + max_ofsize <= (1<<19));
  ASSERT_FS(nsecs <= input_n);
  ASSERT_FS(hsecs <= output_h);
  if (use_winograd == 2) ASSERT_FS(ocsecs == 1);
  // Sections the caller must keep non-empty.
  ASSERT(ocsecs <= l.ocn && icsecs <= l.icg);
  const int pad_w_r_cmd = pad_w_r + (output_w % 2);
  int bias_sel = 0, weight_sel = 0, input_sel = 0, output_sel = 0;
  cmd_id_node_t move, compute;
  for (int g = 0; g < groups; g++) {
    int first_step = 1, have_prev = 0;
    conv_section_t prev = {};
    if (l.resident) {
      if (have_bias) wino_load_bias(bias_addr, l, use_winograd, g, 0, l.ocg, (u32)l.bias[0], node);
      wino_load_weights(weight_addr, l, use_winograd, g, 0, l.icg, 0, l.ocg, (u32)l.weight[0], node);
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
        wino_load_bias(bias_addr, l, use_winograd, g, oc0, ch, (u32)l.bias[bias_sel], first_step ? node : &move);
      }
      for (int ni = 0; ni < nsecs; ni++)
        for (int oh0 = 0; oh0 < output_h; oh0 += l.ohc) {
          conv_section_t sl;
          sl.g = g;
          sl.oc0 = oc0;
          sl.ch = ch;
          sl.lanes = (int)ceil_div(ch, NPU_NUM);
          sl.n0 = conv_sec_start(input_n, nsecs, ni);
          sl.nc = conv_sec_size(input_n, nsecs, ni);
          sl.oh0 = oh0;
          sl.rows = output_h - oh0 < l.ohc ? output_h - oh0 : l.ohc;
          output_sel ^= 1;
          sl.out = (u32)l.output[output_sel];
          if (result_add)
            conv_section_move_output(output_addr, output_c, l.oh, l.ow, l.ocg, &sl, GDMA_VALUE_DIR_S2L,
                                     first_step ? node : &move);
          const int raw = oh0 - pad_h_t;
          const int first = raw > 0 ? raw : 0, top = raw < 0 ? -raw : 0;
          const int end = oh0 + sl.rows + 2 - pad_h_t;
          const int bottom = end >= input_h ? end - input_h : 0;
          const int i_h = (end < input_h ? end : input_h) - first;
          const int input_pad_hb = sl.rows % 2;
          {
            // The slice's own pads.
            const int pad_h_t = top, pad_h_b = bottom;
            ASSERT_FS((i_h + pad_h_t + pad_h_b + input_pad_hb) > 2 && ((i_h + pad_h_t + pad_h_b + input_pad_hb) % 2 == 0));
          }
          ASSERT(i_h > 0);
          const int iq = l.icg / icsecs, ir = l.icg % icsecs;
          int ic0 = 0;
          for (int k = 0; k < icsecs; k++) {
            const int ic = iq + (k < ir ? 1 : 0);
            cmd_id_node_t *ld = first_step ? node : &move;
            u32 wbuf = (u32)l.weight[0];
            if (!l.resident) {
              weight_sel ^= 1;
              wbuf = (u32)l.weight[weight_sel];
              wino_load_weights(weight_addr, l, use_winograd, g, ic0, ic, oc0, ch, wbuf, ld);
            }
            input_sel ^= 1;
            const u32 in_buf = (u32)l.input[input_sel];
            conv_section_load_input(in_buf, input_addr, input_c, input_h, input_w, g * l.icg + ic0, ic, sl.n0, sl.nc,
                                    first, i_h, ld);
            if (!first_step) cmd_id_merge(node, &move, &compute);
            cmd_id_divide(node, &move, &compute);
            first_step = 0;
            atomic_winograd_neuron_gen_cmd(LOCAL_ADDR_TAG | in_buf, LOCAL_ADDR_TAG | sl.out, LOCAL_ADDR_TAG | wbuf,
                                           LOCAL_ADDR_TAG | (u32)l.bias[l.resident ? 0 : bias_sel], sl.nc, ic, i_h,
                                           input_w, 0, 0, ch, sl.rows, output_w, top, bottom + input_pad_hb, pad_w_l,
                                           pad_w_r_cmd, have_bias && k == icsecs - 1, result_add || k > 0,
                                           &compute);
            ic0 += ic;
          }
          if (if_relu) {
            const dim4_t shape = {sl.nc, ch, sl.rows, output_w};
            nodechip_relu_forward_local(LOCAL_ADDR_TAG | sl.out, LOCAL_ADDR_TAG | sl.out, &shape, relu_upper_limit,
                                        &compute);
          }
          if (have_prev)
            conv_section_move_output(output_addr, output_c, l.oh, l.ow, l.ocg, &prev, GDMA_VALUE_DIR_L2S, &move);
          prev = sl;
          have_prev = 1;
        }
    }
    cmd_id_merge(node, &move, &compute);
    if (have_prev)
      conv_section_move_output(output_addr, output_c, l.oh, l.ow, l.ocg, &prev, GDMA_VALUE_DIR_L2S, node);
    fix_cmd_node_overflow(node);
  }
}

void nodechip_winograd_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                        u64 bias_addr, int input_n, int input_c, int input_h,
                                                        int input_w, int groups, int output_c, int pad_h_t,
                                                        int pad_h_b, int pad_w_l, int pad_w_r, int have_bias,
                                                        int result_add, int if_relu, float relu_upper_limit,
                                                        int use_winograd, cmd_id_node_t *node) {
  const int oh = input_h + pad_h_t + pad_h_b - 2, ow = input_w + pad_w_l + pad_w_r - 2;
  conv_secs_info_t secs;
  const int split = global_conv_data_split(input_n, input_c, input_h, input_w, output_c, oh, ow, groups, 4, 4, 1, 1,
                                           1, 1, pad_h_t, pad_h_b, pad_w_l, pad_w_r, have_bias, &secs);
  if (!split) fw_log(0, "The input size is too large, cannot split data\n");
  // Without a plan the counts are undefined: stop rather than compute on them.
  ASSERT_FS(split);
  nodechip_winograd_forward_parallel(input_addr, output_addr, weight_addr, bias_addr, input_n, input_c, input_h,
                                     input_w, groups, output_c, pad_h_t, pad_h_b, pad_w_l, pad_w_r, have_bias,
                                     result_add, (int)secs.hsecs, (int)secs.nsecs, (int)secs.icsecs,
                                     (int)secs.ocsecs, if_relu, relu_upper_limit, use_winograd, node);
}
