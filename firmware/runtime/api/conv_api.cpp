// Float convolution family: APIs 49 (convolution, direct or Winograd), 50
// (deconvolution), 152 (depthwise), 182 (3-D convolution) and 900
// (fully connected).
#include "cmd/conv_window.h"
#include "layers/conv/conv.h"
#include "layers/conv/conv3d.h"
#include "layers/conv/deconv.h"
#include "layers/conv/depthwise.h"
#include "layers/conv/fc.h"
#include "layers/conv/winograd.h"
#include "runtime/api/dispatch.h"

// Output extent of a convolution axis by the window's bound, in 64 bits
// (-1: no output, or no positive stride).
static i64 conv_out_extent(i64 in, i64 pad_a, i64 pad_b, i64 k, i64 d, i64 stride) {
  if (stride <= 0 || stride > 0x7fffffff) return -1;
  const i64 e = conv_axis_extent(in, 0, pad_a, pad_b, conv_kernel_extent((int)k, (int)d), (int)stride);
  return e > 0 ? e : -1;
}

u32 zv_api_conv_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_conv_forward_parallel_t, rec, param, size);
  const zv_api_conv_forward_parallel_t *api = &rec;
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
  const int winograd = rec.use_winograd == 1 || rec.use_winograd == 2;
  if (winograd) {
    ASSERT(api->kh == 4);
    ASSERT(api->kw == 4);
    ASSERT(api->stride_h == 1);
    ASSERT(api->stride_w == 1);
    ASSERT(api->dh == 1);
    ASSERT(api->dw == 1);
  }
  const i64 icg = rec.input_c / rec.groups, ocg = rec.output_c / rec.groups;
  const i64 oh = winograd ? (i64)rec.input_h + rec.pad_h_t + rec.pad_h_b - 2
                          : conv_out_extent(rec.input_h, rec.pad_h_t, rec.pad_h_b, rec.kh, rec.dh, rec.stride_h);
  const i64 ow = winograd ? (i64)rec.input_w + rec.pad_w_l + rec.pad_w_r - 2
                          : conv_out_extent(rec.input_w, rec.pad_w_l, rec.pad_w_r, rec.kw, rec.dw, rec.stride_w);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.output_c, oh, ow));
  // Winograd arrangement 2 gives every lane ceil(ocg / 64) slots per group.
  const i64 slots = rec.use_winograd == 2 ? (ocg < 64 ? ocg : 64) * ((ocg + 63) / 64) : ocg;
  const i64 weights = winograd ? api_mul(api_mul(icg, slots), 16)
                               : api_mul(api_mul((icg + 1) & ~1ll, ocg), api_mul(rec.kh, rec.kw));
  API_GLOBAL(rec.weight_addr, api_dense(4, rec.groups, weights));
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(4, rec.groups, winograd ? slots : ocg));
  if (winograd)
    return api_issue([&](cmd_id_node_t *node) {
      nodechip_winograd_forward_parallel(
          rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n, rec.input_c, rec.input_h,
          rec.input_w, rec.groups, rec.output_c, rec.pad_h_t, rec.pad_h_b, rec.pad_w_l, rec.pad_w_r, rec.using_bias,
          rec.result_add, rec.hsecs, rec.nsecs, rec.icsecs, rec.ocsecs, 0, 0.0f, (int)rec.use_winograd, node);
    });
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_conv_forward_parallel(rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n,
                                   rec.input_c, rec.input_h, rec.input_w, rec.groups, rec.output_c, rec.kh, rec.kw,
                                   rec.dh, rec.dw, rec.pad_h_t, rec.pad_w_l, rec.pad_h_b, rec.pad_w_r, rec.stride_h,
                                   rec.stride_w, rec.using_bias, rec.result_add, rec.hsecs, 1, rec.nsecs, rec.icsecs,
                                   rec.ocsecs, 0, 0.0f, 0, node);
  });
}

u32 zv_api_deconv_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_deconv_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.groups);
  API_POSITIVE(rec.output_c);
  API_POSITIVE(rec.output_h);
  API_POSITIVE(rec.output_w);
  API_POSITIVE(rec.kh);
  API_POSITIVE(rec.kw);
  const i64 icg = rec.input_c / rec.groups, ocg = rec.output_c / rec.groups;
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.output_c, rec.output_h, rec.output_w));
  API_GLOBAL(rec.weight_addr,
             api_dense(4, rec.groups, api_mul((icg + 1) & ~1ll, ocg), rec.kh, rec.kw));
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(4, rec.output_c));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_deconv_forward_parallel(
        rec.input_addr, rec.weight_addr, rec.bias_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
        rec.input_w, rec.groups, rec.output_c, rec.output_h, rec.output_w, rec.kh, rec.kw, rec.dh, rec.dw, rec.pad_h_t,
        rec.pad_h_b, rec.pad_w_l, rec.pad_w_r, rec.stride_h, rec.stride_w, rec.using_bias, rec.result_add, 0,
        rec.icsecs, rec.ocsecs, rec.nsecs, rec.hsecs, rec.weight_layout, node);
  });
}

u32 zv_api_fc_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_fc_forward_parallel_t, rec, param, size);
  API_COUNT(rec.batch_size);
  API_POSITIVE(rec.input_neuron_num);
  API_POSITIVE(rec.output_neuron_num);
  API_POSITIVE(rec.sec_size);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.batch_size, rec.input_neuron_num));
  API_GLOBAL(rec.weight_addr, api_dense(4, rec.input_neuron_num, rec.output_neuron_num));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.batch_size, rec.output_neuron_num));
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(4, rec.output_neuron_num));
  if (rec.active_type == FC_ACTIVE_PRELU && !rec.channel_shared)
    API_GLOBAL(rec.slope_addr, api_dense(4, rec.output_neuron_num));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_fc_forward_parallel(rec.input_addr, rec.weight_addr, rec.bias_addr, rec.output_addr, rec.slope_addr,
                                 rec.batch_size, rec.input_neuron_num, rec.output_neuron_num, rec.weight_transpose,
                                 rec.using_bias, rec.active_type, rec.channel_shared, rec.shared_slope, rec.sec_size,
                                 node);
  });
}

u32 zv_api_depthwise_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_depthwise_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.kh);
  API_POSITIVE(rec.kw);
  const i64 oh = conv_out_extent(rec.input_h, rec.pad_h_t, rec.pad_h_b, rec.kh, 1, rec.stride_h);
  const i64 ow = conv_out_extent(rec.input_w, rec.pad_w_l, rec.pad_w_r, rec.kw, 1, rec.stride_w);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.input_c, oh, ow));
  API_GLOBAL(rec.weight_addr, api_dense(4, rec.input_c, rec.kh, rec.kw));
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(4, rec.input_c));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_depthwise_forward(rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n,
                               rec.input_c, rec.input_h, rec.input_w, rec.kh, rec.kw, rec.pad_h_t, rec.pad_h_b,
                               rec.pad_w_l, rec.pad_w_r, rec.stride_h, rec.stride_w, rec.using_bias, node);
  });
}

// No zero-batch return: the layer itself returns with nothing to do.
u32 zv_api_conv3d_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_conv3d_parallel_t, rec, param, size);
  ASSERT(rec.input_n >= 0);
  if (rec.input_n > 0) {
    API_POSITIVE(rec.input_c);
    API_POSITIVE(rec.input_t);
    API_POSITIVE(rec.input_h);
    API_POSITIVE(rec.input_w);
    API_POSITIVE(rec.groups);
    API_POSITIVE(rec.output_c);
    API_POSITIVE(rec.kt);
    API_POSITIVE(rec.kh);
    API_POSITIVE(rec.kw);
    const i64 ot = conv_out_extent(rec.input_t, rec.pad_t0, rec.pad_t1, rec.kt, rec.dt, rec.stride_t);
    const i64 oh = conv_out_extent(rec.input_h, rec.pad_h_t, rec.pad_h_b, rec.kh, rec.dh, rec.stride_h);
    const i64 ow = conv_out_extent(rec.input_w, rec.pad_w_l, rec.pad_w_r, rec.kw, rec.dw, rec.stride_w);
    const i64 icg = rec.input_c / rec.groups;
    API_GLOBAL(rec.input_addr, api_dense(4, api_mul(rec.input_n, rec.input_c), rec.input_t, rec.input_h, rec.input_w));
    API_GLOBAL(rec.output_addr, api_dense(4, api_mul(rec.input_n, rec.output_c), ot, oh, ow));
    API_GLOBAL(rec.weight_addr, api_dense(4, api_mul(rec.kt, rec.output_c), api_mul(rec.kh, rec.kw), (icg + 1) & ~1ll));
    if (rec.using_bias) API_GLOBAL(rec.bias_addr, api_dense(4, rec.output_c));
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_conv3d_parallel(rec.input_addr, rec.output_addr, rec.weight_addr, rec.bias_addr, rec.input_n, rec.input_c,
                             rec.input_t, rec.input_h, rec.input_w, rec.groups, rec.output_c, rec.kt, rec.kh, rec.kw,
                             rec.dt, rec.dh, rec.dw, rec.pad_t0, rec.pad_t1, rec.pad_h_t, rec.pad_h_b, rec.pad_w_l,
                             rec.pad_w_r, rec.stride_t, rec.stride_h, rec.stride_w, rec.using_bias, node);
  });
}
