// Handlers of the fixed-point convolution family.
#include "layers/conv/conv_fix16b.h"
#include "cmd/conv_window.h"
#include "layers/conv/conv_fix8b.h"
#include "layers/conv/deconv_fix8b.h"
#include "layers/conv/depthwise_fix.h"
#include "layers/conv/fc_fix8b.h"
#include "layers/conv/winograd_fix8b.h"
#include "runtime/api/dispatch.h"

namespace {

// Bytes of a 4N tensor of n items.
api_extent_t words_4n(i64 n, i64 c, i64 h, i64 w) { return api_dense(4, (n + 3) / 4, c, h, w); }

}  // namespace

// The convolution command's input stride mode: the engine reads its input in
// the aligned layout (0) or by the strides given (3); it has no other mode.
#define API_INPUT_STRIDE_MODE(mode) ASSERT((mode) == 0 || (mode) == 3, "input stride mode %d", (int)(mode))

// API 83: the wrapper plans the slices (the record's section counts are the
// Winograd form's).
u32 zv_api_conv_forward_parallel_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_conv_forward_parallel_fix8b_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.groups);
  API_POSITIVE(rec.output_c);
  API_POSITIVE(rec.kh);
  API_POSITIVE(rec.kw);
  API_POSITIVE(rec.dh);
  API_POSITIVE(rec.dw);
  API_POSITIVE(rec.stride_h);
  API_POSITIVE(rec.stride_w);
  API_INPUT_STRIDE_MODE(rec.input_mode);
  if (rec.use_winograd == 1) {
    // The Winograd worker on the host's section counts and 4 x 4 transformed weights.
    const zv_api_conv_forward_parallel_fix8b_t *api = &rec;
    ASSERT(api->kh == 4);
    ASSERT(api->kw == 4);
    ASSERT(api->stride_h == 1);
    ASSERT(api->stride_w == 1);
    ASSERT(api->dh == 1);
    ASSERT(api->dw == 1);
    ASSERT(rec.pad_h >= 0 && rec.pad_h_after >= 0 && rec.pad_w >= 0 && rec.pad_w_after >= 0 && rec.pad_h < 4096 &&
           rec.pad_h_after < 4096 && rec.pad_w < 4096 && rec.pad_w_after < 4096 && rec.input_h < 65536 &&
           rec.input_w < 65536);
    ASSERT(rec.input_c % rec.groups == 0 && rec.output_c % rec.groups == 0);
    const i64 oh = (i64)rec.input_h + rec.pad_h + rec.pad_h_after - 2;
    const i64 ow = (i64)rec.input_w + rec.pad_w + rec.pad_w_after - 2;
    const i64 icg4 = ((i64)rec.input_c / rec.groups + 3) / 4 * 4, ocg = rec.output_c / rec.groups;
    const i64 per_group = rec.using_bias == 2 || rec.use_winograd == 2
                              ? ((ocg + 63) / 64) * (icg4 * 16 + (rec.using_bias == 2 ? 2 : 0)) * (ocg < 64 ? ocg : 64)
                              : icg4 * ocg * 16;
    API_GLOBAL(rec.input_addr, words_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w));
    API_GLOBAL(rec.output_addr, words_4n(rec.input_n, rec.output_c, oh, ow));
    API_GLOBAL(rec.weight_addr, api_dense(1, rec.groups, per_group));
    if (rec.using_bias == 1) API_GLOBAL(rec.bias_addr, api_dense(2, rec.groups, ((ocg + 63) / 64) * 64));
    return api_issue([&](cmd_id_node_t *node) {
      nodechip_winograd_forward_parallel_fix8b(
          rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n, rec.input_c, rec.input_h,
          rec.input_w, rec.groups, rec.output_c, rec.pad_h, rec.pad_h_after, rec.pad_w, rec.pad_w_after, rec.using_bias,
          rec.hsecs, rec.nsecs, rec.icsecs, rec.ocsecs, rec.if_relu, rec.relu_upper_limit, 1, rec.ins_h, rec.ins_w,
          rec.rshift, rec.opd0_sign, rec.opd1_sign, rec.opd2_sign, rec.input_mode, 0, 0, 0, 0, node);
    });
  }
  ASSERT(rec.ins_h >= 0 && rec.ins_w >= 0 && rec.ins_h < 4096 && rec.ins_w < 4096 && rec.input_h < 65536 &&
         rec.input_w < 65536 && rec.pad_h >= 0 && rec.pad_h_after >= 0 && rec.pad_w >= 0 && rec.pad_w_after >= 0 &&
         rec.pad_h < 4096 && rec.pad_h_after < 4096 && rec.pad_w < 4096 && rec.pad_w_after < 4096 &&
         rec.kh < 4096 && rec.kw < 4096 && rec.dh < 4096 && rec.dw < 4096);
  ASSERT(rec.input_c % rec.groups == 0 && rec.output_c % rec.groups == 0);
  const i64 khe = conv_kernel_extent(rec.kh, rec.dh), kwe = conv_kernel_extent(rec.kw, rec.dw);
  const i64 oh = ((i64)(rec.input_h - 1) * (rec.ins_h + 1) + 1 + rec.pad_h + rec.pad_h_after - khe) / rec.stride_h + 1;
  const i64 ow = ((i64)(rec.input_w - 1) * (rec.ins_w + 1) + 1 + rec.pad_w + rec.pad_w_after - kwe) / rec.stride_w + 1;
  const i64 icg4 = (rec.use_3ic ? 3 * (i64)rec.kh : rec.input_c / rec.groups) + 3;
  const i64 taps = rec.use_3ic ? rec.kw : (i64)rec.kh * rec.kw;
  const i64 record = (icg4 / 4) * 4 * taps + (rec.using_bias == 2 ? 4 : 0);
  API_GLOBAL(rec.input_addr, words_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, words_4n(rec.input_n, rec.output_c, oh, ow));
  API_GLOBAL(rec.weight_addr, api_dense(1, rec.output_c, record));
  if (rec.using_bias == 1) API_GLOBAL(rec.bias_addr, api_dense(2, rec.output_c));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_conv_forward_parallel_fix8b_with_data_split(
        rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n, rec.input_c, rec.input_h,
        rec.input_w, rec.groups, rec.output_c, rec.kh, rec.kw, rec.dh, rec.dw, rec.pad_h, rec.pad_h_after, rec.pad_w,
        rec.pad_w_after, rec.stride_h, rec.stride_w, rec.using_bias, rec.unused, rec.if_relu, rec.relu_upper_limit,
        rec.weight_layout, rec.ins_h, rec.ins_w, rec.rshift, rec.opd0_sign, rec.opd1_sign, rec.opd2_sign,
        rec.input_mode, 0, 0, 0, 0, rec.use_3ic, node);
  });
}

namespace {

// The checks APIs 97 and 984 share.
u32 depthwise_api(u8 *param, u32 size, int sixteen) {
  API_TAKE_RECORD(zv_api_depthwise_fix8b_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.kh);
  API_POSITIVE(rec.kw);
  API_POSITIVE(rec.stride_h);
  API_POSITIVE(rec.stride_w);
  ASSERT(rec.pad_h_t >= 0 && rec.pad_h_b >= 0 && rec.pad_w_l >= 0 && rec.pad_w_r >= 0 && rec.pad_h_t < 4096 &&
         rec.pad_h_b < 4096 && rec.pad_w_l < 4096 && rec.pad_w_r < 4096 && rec.kh < 4096 && rec.kw < 4096 &&
         rec.input_h < 65536 && rec.input_w < 65536);
  const i64 oh = ((i64)rec.input_h + rec.pad_h_t + rec.pad_h_b - rec.kh) / rec.stride_h + 1;
  const i64 ow = ((i64)rec.input_w + rec.pad_w_l + rec.pad_w_r - rec.kw) / rec.stride_w + 1;
  API_GLOBAL(rec.input_addr, words_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  if (sixteen)
    API_GLOBAL(rec.output_addr, api_dense(4, ((i64)rec.input_n + 1) / 2, rec.input_c, oh, ow));
  else
    API_GLOBAL(rec.output_addr, words_4n(rec.input_n, rec.input_c, oh, ow));
  API_GLOBAL(rec.weight_addr, api_dense(1, rec.input_c, rec.kh, rec.kw));
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(2, rec.input_c));
  return api_issue([&](cmd_id_node_t *node) {
    (sixteen ? nodechip_depthwise_fix16b_forward_parallel : nodechip_depthwise_fix8b_forward_parallel)(
        rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n, rec.input_c, rec.input_h,
        rec.input_w, rec.kh, rec.kw, rec.pad_h_t, rec.pad_h_b, rec.pad_w_l, rec.pad_w_r, rec.stride_h, rec.stride_w, 0,
        0, rec.rshift, rec.using_bias, rec.reserved0, rec.opd0_sign, rec.opd1_sign, rec.opd2_sign, rec.reserved1,
        rec.out_mode, node);
  });
}

}  // namespace

// API 97.
u32 zv_api_depthwise_fix8b_forward_parallel(u8 *param, u32 size) { return depthwise_api(param, size, 0); }

// API 984: the 16-bit layer on the same record.
u32 zv_api_depthwise_fix16b_forward_parallel(u8 *param, u32 size) { return depthwise_api(param, size, 1); }

// API 85: the shift requantisation, coefficient weights.
u32 zv_api_fc_fix8b_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_fc_fix8b_forward_parallel_t, rec, param, size);
  API_COUNT(rec.batch_size);
  API_POSITIVE(rec.input_neuron_num);
  API_POSITIVE(rec.output_neuron_num);
  const i64 rows = rec.input_4N ? ((i64)rec.batch_size + 3) / 4 * 4 : rec.batch_size;
  const i64 out_rows = rec.output_4N && !rec.res_16b ? ((i64)rec.batch_size + 3) / 4 * 4 : rec.batch_size;
  API_GLOBAL(rec.input_addr, api_dense(1, rows, rec.input_neuron_num));
  API_GLOBAL(rec.weight_addr, api_dense(1, rec.input_neuron_num, rec.output_neuron_num));
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(2, rec.output_neuron_num));
  API_GLOBAL(rec.output_addr, api_dense(rec.res_16b ? 2 : 1, out_rows, rec.output_neuron_num));
  return api_issue([&](cmd_id_node_t *node) {
    fc_fix8b_quant_t quant;
    memset(&quant, 0, sizeof quant);
    nodechip_fc_fix8b_forward_parallel(rec.input_addr, rec.weight_addr, rec.bias_addr, rec.output_addr, rec.batch_size,
                                       rec.input_neuron_num, rec.output_neuron_num, rec.weight_transpose,
                                       rec.using_bias, rec.opd0_sign, rec.opd1_sign, rec.opd2_sign, rec.rshift,
                                       rec.res_16b, rec.if_relu, rec.input_4N, 0, rec.output_4N, 0, &quant, node);
  });
}

// API 983: the worker on the host's section counts. The record's Winograd
// form has no worker here and is refused rather than answered as done.
u32 zv_api_conv_forward_parallel_fix16b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_conv_forward_parallel_fix16b_t, rec, param, size);
  API_COUNT(rec.input_n);
  const zv_api_conv_forward_parallel_fix16b_t *api = &rec;
  API_INPUT_STRIDE_MODE(rec.input_mode);
  if (api->use_winograd == 1) {
    ASSERT(api->kh == 4);
    ASSERT(api->kw == 4);
    ASSERT(api->stride_h == 1);
    ASSERT(api->stride_w == 1);
    ASSERT(api->dh == 1);
    ASSERT(api->dw == 1);
    ASSERT(api->use_winograd != 1, "the 16-bit Winograd form is not available");
  }
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.groups);
  API_POSITIVE(rec.output_c);
  API_POSITIVE(rec.kh);
  API_POSITIVE(rec.kw);
  API_POSITIVE(rec.dh);
  API_POSITIVE(rec.dw);
  API_POSITIVE(rec.stride_h);
  API_POSITIVE(rec.stride_w);
  ASSERT(rec.input_h < 65536 && rec.input_w < 65536 && rec.pad_h >= 0 && rec.pad_h_after >= 0 && rec.pad_w >= 0 &&
         rec.pad_w_after >= 0 && rec.pad_h < 4096 && rec.pad_h_after < 4096 && rec.pad_w < 4096 &&
         rec.pad_w_after < 4096 && rec.kh < 4096 && rec.kw < 4096 && rec.dh < 4096 && rec.dw < 4096);
  ASSERT(rec.input_c % rec.groups == 0 && rec.output_c % rec.groups == 0);
  const i64 khe = conv_kernel_extent(rec.kh, rec.dh), kwe = conv_kernel_extent(rec.kw, rec.dw);
  const i64 oh = ((i64)rec.input_h + rec.pad_h + rec.pad_h_after - khe) / rec.stride_h + 1;
  // The width with the inserted columns (the layer refuses insertion between rows).
  ASSERT(rec.ins_w >= 0 && rec.ins_w < 4096);
  const i64 ow = (((i64)rec.input_w - 1) * (rec.ins_w + 1) + 1 + rec.pad_w + rec.pad_w_after - kwe) / rec.stride_w + 1;
  const i64 record = ((i64)rec.input_c / rec.groups + 3) / 4 * 4 * rec.kh * rec.kw + (rec.using_bias == 2 ? 4 : 0);
  API_GLOBAL(rec.input_addr, words_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, ((i64)rec.input_n + 1) / 2, rec.output_c, oh, ow));
  API_GLOBAL(rec.weight_addr, api_dense(1, rec.output_c, record));
  if (rec.using_bias == 1) API_GLOBAL(rec.bias_addr, api_dense(2, rec.output_c));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_conv_forward_parallel_fix16b(
        rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n, rec.input_c, rec.input_h,
        rec.input_w, rec.groups, rec.output_c, rec.kh, rec.kw, rec.dh, rec.dw, rec.pad_h, rec.pad_h_after, rec.pad_w,
        rec.pad_w_after, rec.stride_h, rec.stride_w, rec.using_bias, rec.unused, rec.hsecs, rec.nsecs, rec.icsecs,
        rec.ocsecs, rec.wsecs, rec.out_mode, rec.relu_upper_limit, rec.weight_layout, rec.ins_h, rec.ins_w, rec.rshift,
        rec.opd0_sign, rec.opd1_sign, rec.opd2_sign, rec.input_mode, node);
  });
}

// API 130: one pad per dimension for both sides.
u32 zv_api_deconv_fix8b_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_deconv_fix8b_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.output_c);
  API_POSITIVE(rec.groups);
  API_POSITIVE(rec.kh);
  API_POSITIVE(rec.kw);
  API_POSITIVE(rec.dh);
  API_POSITIVE(rec.dw);
  API_POSITIVE(rec.stride_h);
  API_POSITIVE(rec.stride_w);
  ASSERT(rec.input_h < 65536 && rec.input_w < 65536 && rec.kh < 4096 && rec.kw < 4096 && rec.dh < 4096 &&
         rec.dw < 4096 && rec.stride_h < 4096 && rec.stride_w < 4096 && rec.pad_h >= 0 && rec.pad_w >= 0 &&
         rec.pad_h < 4096 && rec.pad_w < 4096 && rec.output_pad_h >= 0 && rec.output_pad_w >= 0 &&
         rec.output_pad_h < 4096 && rec.output_pad_w < 4096);
  ASSERT(rec.input_c % rec.groups == 0 && rec.output_c % rec.groups == 0);
  const i64 oh =
      (i64)(rec.input_h - 1) * rec.stride_h + conv_kernel_extent(rec.kh, rec.dh) - 2 * rec.pad_h + rec.output_pad_h;
  const i64 ow =
      (i64)(rec.input_w - 1) * rec.stride_w + conv_kernel_extent(rec.kw, rec.dw) - 2 * rec.pad_w + rec.output_pad_w;
  const i64 icg = rec.input_c / rec.groups;
  const i64 record = rec.weight_layout == 1 ? (icg + 3) / 4 * 4 : icg;
  API_GLOBAL(rec.input_addr, words_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, words_4n(rec.input_n, rec.output_c, oh, ow));
  API_GLOBAL(rec.weight_addr, api_dense(1, rec.output_c, record, rec.kh, rec.kw));
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(2, rec.output_c));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_deconv_fix8b_forward_parallel(
        rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n, rec.input_c, rec.input_h,
        rec.input_w, rec.output_c, rec.groups, rec.kh, rec.kw, rec.dh, rec.dw, rec.pad_h, rec.pad_h, rec.pad_w,
        rec.pad_w, rec.stride_h, rec.stride_w, rec.output_pad_h, rec.output_pad_w, rec.using_bias, rec.if_relu,
        rec.rshift, rec.weight_layout, rec.opd0_sign, rec.opd1_sign, rec.opd2_sign, node);
  });
}
