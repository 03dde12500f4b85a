// Global controllers of the convolution and pooling family. Each follows the
// common pattern: the record into a zeroed buffer of the layer's size, the
// tensor references in stream order, the output shape, the kernel picked by
// the layer's element type (skipped for an empty input), the registration.
#include "interp/glb_cnn_ctrl.h"

#include "interp/glb_eltwise_ctrl.h"

#include <string.h>

#include "interp/layer_records.h"
#include "interp/record_fields.h"
#include "layers/conv/conv.h"
#include "layers/conv/conv_fix16b.h"
#include "layers/conv/conv_fix8b.h"
#include "layers/conv/deconv.h"
#include "layers/conv/depthwise.h"
#include "layers/conv/winograd.h"
#include "layers/conv/winograd_fix8b.h"
#include "layers/detect/psroipooling.h"
#include "layers/detect/roi_pooling.h"
#include "layers/eltwise/lrn.h"
#include "layers/pool/adaptive_pooling.h"
#include "layers/pool/interp.h"
#include "layers/pool/interp_fix8b.h"
#include "layers/pool/pooling.h"
#include "layers/pool/pooling_fix8b.h"
#include "runtime/services.h"

namespace {

u32 data_size(const dynamic_context_t *ctx) { return ctx->middle_value->data_size; }

// The bias address of bias mode 2: right behind the weights, which take
// ceil(oc_per_group / 64) x kh x kw x align4(ic_per_group) bytes.
u64 bias_behind_weights(u64 weight, u32 input_c, u32 output_c, u32 groups, u32 kh, u32 kw) {
  ASSERT(groups > 0, "convolution with 0 groups");
  const u64 oc_blocks = ((u64)(output_c / groups) + 63) / 64;
  const u64 ic_aligned = ((u64)(input_c / groups) + 3) / 4 * 4;
  return weight + oc_blocks * kh * kw * ic_aligned;
}

u64 conv_bias_addr(dynamic_context_t *ctx, u32 bias_mode, u64 weight, u32 input_c, u32 output_c, u32 groups,
                   u32 kh, u32 kw) {
  if (bias_mode == 1) return dynamic_context_unpack_coeff_addr(ctx);
  if (bias_mode == 2) return bias_behind_weights(weight, input_c, output_c, groups, kh, kw);
  return 0;
}

}  // namespace

// ---- Output sizes ----

i32 glb_conv_output_extent(i32 in, i32 pad, i32 pad_after, i32 k, i32 dilation, i32 stride) {
  ASSERT(stride > 0, "convolution stride %d", (int)stride);
  const i64 window = ((i64)k - 1) * dilation + 1;
  const i64 span = (i64)in + pad + pad_after - window;
  // An unsigned division would turn a window wider than the padded input
  // into an enormous extent; an empty input gives an empty output.
  if (span < 0 && in == 0) return 0;
  ASSERT(span >= 0, "window %d over a padded extent of %d", (int)window, (int)((i64)in + pad + pad_after));
  return (i32)(span / stride + 1);
}

glb_pool_extent_t glb_pool_output_extent(i32 in, i32 pad, i32 pad_after, i32 k, i32 stride, u32 ceil_mode) {
  ASSERT(stride > 0, "pooling stride %d", (int)stride);
  glb_pool_extent_t e = {1, pad_after};
  const i64 padded = (i64)in + pad + pad_after;
  if (padded < k) return e;
  const i64 q = (padded - k) / stride, r = (padded - k) % stride;
  e.out = (i32)(q + 1);
  const int extra = r != 0 && (ceil_mode == 1 || (ceil_mode == 2 && (i64)in + pad > (q + 1) * stride));
  if (extra) {
    e.out = (i32)(q + 2);
    e.pad_after = (u8)(pad_after + stride - r);
  }
  return e;
}

glb_pool_extent_t glb_pool_tf_output_extent(i32 in, i32 pad, i32 pad_after, i32 k, i32 stride) {
  ASSERT(stride > 0, "pooling stride %d", (int)stride);
  glb_pool_extent_t e = {1, 0};
  const i64 padded = (i64)in + pad + pad_after;
  if (padded >= k) {
    const i64 q = (padded - k) / stride, r = (padded - k) % stride;
    e.out = (i32)(r != 0 && (i64)in + pad > (q + 1) * stride ? q + 2 : q + 1);
  }
  const i64 bottom = ((i64)e.out - 1) * stride + k - in - pad;
  e.pad_after = bottom > 0 ? (u8)bottom : 0;
  return e;
}

// ---- Convolution ----

void dynamic_glb_conv_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  conv_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 output_c = rec.output_c, input_c = rec.input_c, groups = rec.groups;
  const u32 kw = rec.kw, kh = rec.kh;
  const u32 dh = rec.dh, dw = rec.dw, pad_h = rec.pad_h, pad_h_after = rec.pad_h_after, pad_w = rec.pad_w,
            pad_w_after = rec.pad_w_after, stride_h = rec.stride_h, stride_w = rec.stride_w, bias_mode = rec.bias_mode;
  const u32 if_relu = rec.if_relu & 0xf;
  const int cap = (int)rec.relu_upper_limit;
  const u32 use_winograd = rec.use_winograd;
  const u8 *opt = rec.fix8b_opt;
  const u32 weight_is_tensor = rec.weight_is_tensor;

  dynamic_tensor_info_t bottom = {}, weight_tensor = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  u64 weight;
  if (weight_is_tensor) {
    dynamic_context_unpack_neuron_tensor(ctx, &weight_tensor, 0);
    weight = weight_tensor.addr;
  } else {
    weight = dynamic_context_unpack_coeff_addr(ctx);
  }
  const u64 bias = conv_bias_addr(ctx, bias_mode, weight, input_c, output_c, groups, kh, kw);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(bottom.dims == 4);

  const u32 size = data_size(ctx);
  const int depthwise = groups > 1 && groups == input_c && groups == output_c;
  const int winograd = use_winograd != 0 && ((size == DSIZE_FP32 && !depthwise) || size == DSIZE_8);
  const i32 n = bottom.shape[0], ih = bottom.shape[2], iw = bottom.shape[3];
  const i32 kh_out = winograd ? 3 : (i32)kh, kw_out = winograd ? 3 : (i32)kw;
  i32 shape[4] = {n, (i32)output_c, glb_conv_output_extent(ih, pad_h, pad_h_after, kh_out, dh, stride_h),
                  glb_conv_output_extent(iw, pad_w, pad_w_after, kw_out, dw, stride_w)};

  if (!is_null_tensor(&bottom)) {
    const int ic = (int)input_c, oc = (int)output_c, g = (int)groups;
    if (size == DSIZE_FP32) {
      if (depthwise)
        nodechip_depthwise_forward_parallel_with_dilation(bottom.addr, top.addr, weight, bias, n, ic, ih, iw, kh, kw,
                                                          pad_h, pad_h_after, pad_w, pad_w_after, stride_h, stride_w,
                                                          dh, dw, bias_mode, if_relu, (float)cap, node);
      else if (use_winograd)
        nodechip_winograd_forward_parallel_with_data_split(bottom.addr, top.addr, weight, bias, n, ic, ih, iw, g, oc,
                                                           pad_h, pad_h_after, pad_w, pad_w_after, bias_mode, 0,
                                                           if_relu, (float)cap, use_winograd, node);
      else
        nodechip_conv_forward_parallel_with_data_split(bottom.addr, top.addr, weight, bias, n, ic, ih, iw, g, oc, kh,
                                                       kw, dh, dw, pad_h, pad_h_after, pad_w, pad_w_after, stride_h,
                                                       stride_w, bias_mode, 0, if_relu, (float)cap, node);
    } else if (size == DSIZE_8) {
      if (use_winograd)
        nodechip_winograd_forward_parallel_fix8b_with_data_split(
            bottom.addr, top.addr, weight, bias, n, ic, ih, iw, g, oc, pad_h, pad_h_after, pad_w, pad_w_after,
            bias_mode, if_relu, cap, use_winograd, 0, 0, opt[0], opt[1], opt[2], opt[3], 3, 0, 0, 0, 0, node);
      else
        nodechip_conv_forward_parallel_fix8b_with_data_split(
            bottom.addr, top.addr, weight, bias, n, ic, ih, iw, g, oc, kh, kw, dh, dw, pad_h, pad_h_after, pad_w,
            pad_w_after, stride_h, stride_w, bias_mode, 0, if_relu, cap, 1, 0, 0, opt[0], opt[1], opt[2], opt[3], 3, 0,
            0, 0, 0, 0, node);
    } else if (size == DSIZE_16) {
      nodechip_conv_forward_parallel_fix16b_with_data_split(
          bottom.addr, top.addr, weight, bias, n, ic, ih, iw, g, oc, kh, kw, dh, dw, pad_h, pad_h_after, pad_w,
          pad_w_after, stride_h, stride_w, bias_mode, 0, 1, cap, 1, 0, 0, opt[0], opt[1], opt[2], opt[3], 3, node);
    } else {
      ASSERT(0 && "dynamic_glb_conv_layer_ctrl(): unsupported conv data size!");
    }
  }
  top.dims = 4;
  top.shape = shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_deconv_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  ASSERT(ctx->middle_value->data_size == DSIZE_FP32);
  deconv_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 output_c = rec.output_c, input_c = rec.input_c, groups = rec.groups;
  const u32 kw = rec.kw, kh = rec.kh;
  const u32 dh = rec.dh, dw = rec.dw, pad_h = rec.pad_h, pad_h_after = rec.pad_h_after, pad_w = rec.pad_w,
            pad_w_after = rec.pad_w_after, stride_h = rec.stride_h, stride_w = rec.stride_w, bias_mode = rec.bias_mode;
  const u32 if_relu = rec.if_relu & 0xf, output_pad_h = rec.output_pad_h, output_pad_w = rec.output_pad_w;

  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  const u64 weight = dynamic_context_unpack_coeff_addr(ctx);
  const u64 bias = conv_bias_addr(ctx, bias_mode, weight, input_c, output_c, groups, kh, kw);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(bottom.dims == 4);

  const i32 n = bottom.shape[0], c = bottom.shape[1], ih = bottom.shape[2], iw = bottom.shape[3];
  const i64 oh = ((i64)ih - 1) * stride_h + ((i64)kh - 1) * dh + output_pad_h - (pad_h + pad_h_after) + 1;
  const i64 ow = ((i64)iw - 1) * stride_w + ((i64)kw - 1) * dw + output_pad_w - (pad_w + pad_w_after) + 1;
  if (!is_null_tensor(&bottom)) {
    nodechip_deconv_forward_parallel_with_data_split(bottom.addr, top.addr, weight, bias, n, c, ih, iw, (int)groups,
                                                     (int)output_c, kh, kw, dh, dw, pad_h, pad_h_after, pad_w,
                                                     pad_w_after, stride_h, stride_w, output_pad_h, output_pad_w,
                                                     bias_mode, 0, if_relu, 1, node);
  }
  i32 shape[4] = {n, (i32)output_c, (i32)oh, (i32)ow};
  top.dims = 4;
  top.shape = shape;
  top.dtype = 0;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Pooling ----

void dynamic_glb_pooling_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  pool_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 c = rec.c, kw = rec.kw, kh = rec.kh;
  const u32 pad_h = rec.pad_h, pad_h_after = rec.pad_h_after, pad_w = rec.pad_w, pad_w_after = rec.pad_w_after,
            stride_h = rec.stride_h, stride_w = rec.stride_w, is_avg_pooling = rec.is_avg_pooling,
            avg_pooling_mode = rec.avg_pooling_mode, if_relu = rec.if_relu;
  const u32 ceil_mode = rec.ceil_mode;

  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(bottom.dims == 4);

  const i32 n = bottom.shape[0], ih = bottom.shape[2], iw = bottom.shape[3];
  const glb_pool_extent_t h = glb_pool_output_extent(ih, pad_h, pad_h_after, kh, stride_h, ceil_mode);
  const glb_pool_extent_t w = glb_pool_output_extent(iw, pad_w, pad_w_after, kw, stride_w, ceil_mode);
  i32 shape[4] = {n, bottom.shape[1], h.out, w.out};
  if (!is_null_tensor(&bottom)) {
    if (data_size(ctx) == DSIZE_FP32)
      nodechip_pooling_forward_parallel_with_data_split(bottom.addr, top.addr, n, (int)c, ih, iw, h.out, w.out, kh, kw,
                                                        pad_h, pad_w, stride_h, stride_w, is_avg_pooling,
                                                        avg_pooling_mode, if_relu, node);
    else
      nodechip_pooling_fix8b_forward_parallel_with_data_split(
          bottom.addr, top.addr, n, (int)c, ih, iw, kh, kw, pad_h, h.pad_after, pad_w, w.pad_after, stride_h,
          stride_w, 0, 0, is_avg_pooling, avg_pooling_mode, 0, 0, 0, rec.fix8b_opt0, 0, 0, rec.fix8b_opt1, if_relu, node);
  }
  top.dims = 4;
  top.shape = shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_pooling_tf_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  pool_tf_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 c = rec.c, kh = rec.kh, kw = rec.kw;
  const u32 pad_h = rec.pad_h, pad_h_after = rec.pad_h_after, pad_w = rec.pad_w, pad_w_after = rec.pad_w_after,
            stride_h = rec.stride_h, stride_w = rec.stride_w, is_avg_pooling = rec.is_avg_pooling,
            if_relu = rec.if_relu;

  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(bottom.dims == 4);

  const i32 n = bottom.shape[0], ih = bottom.shape[2], iw = bottom.shape[3];
  const glb_pool_extent_t h = glb_pool_tf_output_extent(ih, pad_h, pad_h_after, (i32)kh, stride_h);
  const glb_pool_extent_t w = glb_pool_tf_output_extent(iw, pad_w, pad_w_after, (i32)kw, stride_w);
  i32 shape[4] = {n, bottom.shape[1], h.out, w.out};
  if (!is_null_tensor(&bottom)) {
    if (data_size(ctx) == DSIZE_FP32) {
      fw_log(0, "FP32 tf pooling should not use tf_pooling_layer");
      ASSERT(0);
    }
    nodechip_pooling_tf_fix8b_forward_parallel_with_data_split(
        bottom.addr, top.addr, n, (int)c, ih, iw, (int)kh, (int)kw, pad_h, h.pad_after, pad_w, w.pad_after, stride_h,
        stride_w, 0, 0, is_avg_pooling, 0, 0, 0, rec.fix8b_opt0, 0, 0, rec.fix8b_opt1, if_relu, node);
  }
  top.dims = 4;
  top.shape = shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_adaptive_pool_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  adaptive_pool_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const i32 oh = rec.oh, ow = rec.ow;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(bottom.dims == 4);
  const i32 n = bottom.shape[0], c = bottom.shape[1], h = bottom.shape[2], w = bottom.shape[3];
  if (!is_null_tensor(&bottom)) {
    // The kernel reads and writes 4-byte elements, one item after the other.
    // Packed 8- or 16-bit items would be read as floats and their result
    // written several times past the output; the record carries no signs or
    // shift for the fixed-point pooling, so such a layer is refused.
    const u32 size = data_size(ctx);
    ASSERT(size == DSIZE_FP32 || size == DSIZE_INT32, "adaptive pooling of packed data (data size %u)",
           (unsigned)size);
    nodechip_adaptive_pooling_forward(bottom.addr, top.addr, n, c, h, w, oh, ow, 1, node);
  }
  i32 shape[4] = {n, c, oh, ow};
  top.dims = bottom.dims;
  top.shape = shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- LRN ----

void dynamic_glb_lrn_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  lrn_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const i32 c = (i32)rec.c;
  const float alpha = rec.alpha, beta = rec.beta, k = rec.k;
  const int lrn_size = rec.lrn_size;
  dynamic_tensor_info_t bottom = {}, top = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT(bottom.dims == 4);
  const i32 n = bottom.shape[0], h = bottom.shape[2], w = bottom.shape[3];
  if (!is_null_tensor(&bottom)) {
    if (data_size(ctx) == DSIZE_FP32)
      nodechip_lrn_forward_parallel(bottom.addr, top.addr, n, c, h, w, alpha, lrn_size, beta, k, node);
    else
      nodechip_lrn_fix8b_forward_parallel(bottom.addr, top.addr, n, c, h, w, rec.fix8b_opt0, alpha, lrn_size, beta,
                                          k, rec.fix8b_f0, rec.fix8b_f1, node);
  }
  i32 shape[4] = {n, c, h, w};
  top.dims = 4;
  top.shape = shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- Interpolation ----

void dynamic_glb_interp_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  interp_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 shape_in_record = rec.shape_in_record, out_dims = rec.out_dims, variant = rec.interp_variant;
  dynamic_tensor_info_t bottom = {}, shape_tensor = {}, top = {};
  i32 shape[DYNAMIC_MAX_DIMS] = {};
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  u32 dims;
  if (shape_in_record == 0) {
    dynamic_context_unpack_shape_tensor(ctx, &shape_tensor, 0);
    ASSERT(shape_tensor.dims >= 1 && shape_tensor.host_data != nullptr, "shape tensor %u has no values",
           (unsigned)shape_tensor.id);
    dims = (u32)shape_tensor.shape[0];
    ASSERT(dims <= DYNAMIC_MAX_DIMS, "interpolation to %u dims", (unsigned)dims);
    memcpy(shape, shape_tensor.host_data, dims * sizeof(i32));
  } else {
    dims = out_dims;
    ASSERT(dims <= DYNAMIC_MAX_DIMS, "interpolation to %u dims", (unsigned)dims);
    for (u32 i = 0; i < dims; i++) shape[i] = rec.out_shape[i];
  }
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  top.dims = dims;
  ASSERT(bottom.dims == top.dims);

  // Counted from the end: w, h, c, then every earlier extent into n.
  const i32 bd = (i32)bottom.dims;
  const i32 iw = bd > 0 ? bottom.shape[bd - 1] : 1, ih = bd > 1 ? bottom.shape[bd - 2] : 1;
  const i32 c = bd > 2 ? bottom.shape[bd - 3] : 1;
  i32 n = 1;
  for (i32 i = 0; i < bd - 3; i++) n *= bottom.shape[i];
  const i32 td = (i32)dims;
  const i32 ow = td > 0 ? shape[td - 1] : 1, oh = td > 1 ? shape[td - 2] : 1;
  const int nearest_like = variant == 2 || variant == 3 || variant == 5;
  const u32 size = data_size(ctx);
  if (!is_null_tensor(&bottom)) {
    if (size == DSIZE_FP32 || (size == DSIZE_INT32 && nearest_like))
      nodechip_interp_forward_parallel(bottom.addr, top.addr, n, c, ih, iw, rec.interp_param0, rec.interp_param1, oh, ow,
                                       rec.coord_flag0 != 0, rec.coord_flag1 != 0, (int)variant, node);
    else {
      // 4N data packs the batch, extent 0, four items to a word whatever the
      // rank: the 8-bit kernel takes that batch as n and every extent between
      // it and the plane as channels (the same planes as the float folding).
      i32 n8 = n, c8 = c;
      if (bd >= 3) {
        n8 = bottom.shape[0];
        c8 = 1;
        for (i32 i = 1; i < bd - 2; i++) c8 *= bottom.shape[i];
      }
      nodechip_interp_forward_fix8b_parallel(bottom.addr, top.addr, n8, c8, ih, iw, rec.interp_param0,
                                             rec.interp_param1, oh, ow, nearest_like, rec.fix8b_flag == 0, node);
    }
  }
  top.shape = shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

// ---- ROI pooling ----

// Both poolings read the map and the ROI list, and register a float result of
// one [channels, h, w] block per ROI.
static void unpack_roi_tensors(dynamic_context_t *ctx, dynamic_tensor_info_t *bottom, dynamic_tensor_info_t *rois,
                               dynamic_tensor_info_t *top) {
  dynamic_context_unpack_neuron_tensor(ctx, bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, rois, 0);
  dynamic_context_unpack_neuron_tensor(ctx, top, 1);
}

static void set_roi_output(dynamic_context_t *ctx, dynamic_tensor_info_t *top, i32 r, i32 c, i32 h, i32 w) {
  i32 shape[4] = {r, c, h, w};
  top->dims = 4;
  top->shape = shape;
  top->dtype = DSIZE_FP32;
  dynamic_context_global_set_output_info(ctx, top);
}

void dynamic_glb_roipooling_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  roi_pooling_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const i32 pooled_h = rec.pooled_h, pooled_w = rec.pooled_w;
  const float spatial_scale = rec.spatial_scale;
  dynamic_tensor_info_t bottom = {}, rois = {}, top = {};
  unpack_roi_tensors(ctx, &bottom, &rois, &top);
  ASSERT(bottom.dims == 4);
  const i32 n = bottom.shape[0], c = bottom.shape[1], h = bottom.shape[2], w = bottom.shape[3];
  const i32 r = rois.dims >= 1 ? rois.shape[0] : 0;
  if (!is_null_tensor(&bottom) && !is_null_tensor(&rois)) {
    if (data_size(ctx) == DSIZE_FP32)
      nodechip_roi_pooling_forward(bottom.addr, top.addr, rois.addr, ctx->scratch_addr, n, c, h, w, pooled_h,
                                   pooled_w, r, spatial_scale, node);
    else if (data_size(ctx) == DSIZE_8)
      nodechip_roi_pooling_fix8b_forward(bottom.addr, top.addr, rois.addr, ctx->scratch_addr, n, c, h, w, pooled_h,
                                         pooled_w, r, spatial_scale, rec.fix8b_opt0, node);
    else
      ASSERT(0);
  }
  set_roi_output(ctx, &top, r, c, pooled_h, pooled_w);
}

void dynamic_glb_psroipooling_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  psroi_pooling_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const i32 output_dim = rec.output_dim, group_size = rec.group_size;
  const float spatial_scale = rec.spatial_scale;
  const u32 fix8b_opt0 = rec.fix8b_opt0;
  dynamic_tensor_info_t bottom = {}, rois = {}, top = {};
  unpack_roi_tensors(ctx, &bottom, &rois, &top);
  ASSERT(bottom.dims == 4);
  const i32 n = bottom.shape[0], c = bottom.shape[1], h = bottom.shape[2], w = bottom.shape[3];
  const i32 r = rois.dims >= 1 ? rois.shape[0] : 0;
  if (!is_null_tensor(&bottom) && !is_null_tensor(&rois)) {
    if (data_size(ctx) == DSIZE_FP32)
      nodechip_psroipooling_forward_with_datasplit(bottom.addr, top.addr, rois.addr, ctx->scratch_addr, n, c, h, w,
                                                   output_dim, group_size, r, spatial_scale, node);
    else if (data_size(ctx) == DSIZE_8)
      nodechip_psroipooling_fix8b_forward_with_datasplit(bottom.addr, top.addr, rois.addr, ctx->scratch_addr, n, c,
                                                         h, w, output_dim, group_size, r, spatial_scale, fix8b_opt0,
                                                         fix8b_opt0, node);
    else
      ASSERT(0);
  }
  set_roi_output(ctx, &top, r, output_dim, group_size, group_size);
}

void dynamic_glb_cnn_map_fill(dynamic_global_ctrl_t *map) {
  map[DYNAMIC_LAYER_CONV] = dynamic_glb_conv_layer_ctrl;
  map[DYNAMIC_LAYER_POOLING] = dynamic_glb_pooling_layer_ctrl;
  map[DYNAMIC_LAYER_LRN] = dynamic_glb_lrn_layer_ctrl;
  map[DYNAMIC_LAYER_INTERP] = dynamic_glb_interp_layer_ctrl;
  map[DYNAMIC_LAYER_DECONV] = dynamic_glb_deconv_layer_ctrl;
  map[DYNAMIC_LAYER_POOLING_TF] = dynamic_glb_pooling_tf_layer_ctrl;
  map[DYNAMIC_LAYER_ROIPOOLING] = dynamic_glb_roipooling_layer_ctrl;
  map[DYNAMIC_LAYER_ADAPTIVE_POOL] = dynamic_glb_adaptive_pool_layer_ctrl;
  map[DYNAMIC_LAYER_PSROIPOOLING] = dynamic_glb_psroipooling_layer_ctrl;
  dynamic_glb_eltwise_map_fill(map);
}
