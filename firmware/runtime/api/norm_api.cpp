// Normalisation and 8-bit element-wise APIs: scale (24), L2 normalize (48,
// 141), LRN (56), batch normalisation (58, 59), 8-bit batch normalisation with
// scale (96), 8-bit bias add (164), 8-bit weighted sum (84) and arithmetic
// shift (985), and the float32 <-> 4N int8 conversions (9, 90).
#include "layers/eltwise/batchnorm.h"
#include "layers/eltwise/bnscale_fix8b.h"
#include "layers/eltwise/convert.h"
#include "layers/eltwise/fix8b_arith.h"
#include "layers/eltwise/lrn.h"
#include "layers/eltwise/normalize.h"
#include "layers/eltwise/scale.h"
#include "cmd/tensor_shape.h"
#include "runtime/api/dispatch.h"

// The zero-count return on n and the other extents positive.
#define NORM_SHAPE_CHECKS(rec)      \
  API_COUNT(rec.input_n);           \
  API_POSITIVE(rec.input_c);        \
  API_POSITIVE(rec.input_h);        \
  API_POSITIVE(rec.input_w)

u32 zv_api_batchnorm_forward_inference_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_batchnorm_forward_inference_parallel_t, rec, param, size);
  NORM_SHAPE_CHECKS(rec);
  const api_extent_t tensor = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  const api_extent_t vector = api_dense(4, rec.input_c);
  API_GLOBAL(rec.input_addr, tensor);
  API_GLOBAL(rec.output_addr, tensor);
  API_GLOBAL(rec.mean_addr, vector);
  API_GLOBAL(rec.variance_addr, vector);
  if (rec.save_std) API_GLOBAL(rec.std_addr, vector);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_batchnorm_forward_inference_parallel(
        rec.input_addr, rec.mean_addr, rec.variance_addr, rec.stats_scale, rec.std_addr, rec.output_addr, rec.eps,
        rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.save_std, rec.prepare_stats, rec.if_relu, node);
  });
}

u32 zv_api_batchnorm_forward_train_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_batchnorm_forward_train_parallel_t, rec, param, size);
  NORM_SHAPE_CHECKS(rec);
  const api_extent_t tensor = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  const api_extent_t vector = api_dense(4, rec.input_c);
  API_GLOBAL(rec.input_addr, tensor);
  API_GLOBAL(rec.output_global_addr, tensor);
  API_GLOBAL(rec.running_mean_global_addr, vector);
  API_GLOBAL(rec.running_variance_global_addr, vector);
  API_GLOBAL(rec.batch_mean_global_addr, vector);
  API_GLOBAL(rec.batch_std_global_addr, vector);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_batchnorm_forward_train_parallel(
        rec.input_addr, rec.running_mean_global_addr, rec.running_variance_global_addr, rec.batch_mean_global_addr,
        rec.batch_std_global_addr, rec.output_global_addr, rec.eps, rec.moving_average_fraction, rec.norm_count,
        rec.input_n, rec.input_c, rec.input_h, rec.input_w, node);
  });
}

// A 4N int8 tensor of n items: ceil(n / 4) groups of c x h x w words.
static api_extent_t api_4n(i64 n, i64 c, i64 h, i64 w) { return api_dense(4, (n + 3) / 4, c, h, w); }

u32 zv_api_bnscale_forward_parallel_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_bnscale_forward_parallel_fix8b_t, rec, param, size);
  NORM_SHAPE_CHECKS(rec);
  const api_extent_t tensor = api_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  const api_extent_t vector = api_dense(4, rec.input_c);
  API_GLOBAL(rec.input_addr, tensor);
  API_GLOBAL(rec.output_addr, tensor);
  API_GLOBAL(rec.scale_global_addr, vector);
  API_GLOBAL(rec.bias_global_addr, vector);
  API_GLOBAL(rec.shift_global_addr, vector);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_bnscale_forward_parallel_fix8b(rec.input_addr, rec.output_addr, rec.scale_global_addr,
                                            rec.bias_global_addr, rec.shift_global_addr, rec.input_n, rec.input_c,
                                            rec.input_h, rec.input_w, rec.sign_input, rec.sign_scale, rec.sign_bias,
                                            rec.if_relu, -1, node);
  });
}

// An empty batch answers 0 with nothing issued, as the other handlers do.
u32 zv_api_bias_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_bias_fix8b_forward_t, rec, param, size);
  NORM_SHAPE_CHECKS(rec);
  const api_extent_t tensor = api_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_global_addr, tensor);
  API_GLOBAL(rec.output_global_addr, tensor);
  API_GLOBAL(rec.bias_global_addr, api_dense(4, rec.input_c));
  const int shape[4] = {rec.input_n, rec.input_c, rec.input_h, rec.input_w};
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_biasadd_fix8b(rec.input_global_addr, shape, rec.bias_global_addr, rec.output_global_addr, rec.sign_input,
                           rec.sign_bias, rec.scale, rec.rshift, rec.if_relu, rec.relu_upper_limit, node);
  });
}

u32 zv_api_lrn_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_lrn_forward_parallel_t, rec, param, size);
  NORM_SHAPE_CHECKS(rec);
  const api_extent_t tensor = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, tensor);
  API_GLOBAL(rec.output_addr, tensor);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_lrn_forward_parallel(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                                  rec.alpha, rec.size, rec.beta, rec.k, node);
  });
}

// The two flags travel as 1 when non-zero; the scale vector is read only when
// the scale is not shared.
#define NORMALIZE_CHECKS(rec, tensor)  \
  NORM_SHAPE_CHECKS(rec);              \
  API_GLOBAL(rec.input_addr, tensor);  \
  API_GLOBAL(rec.output_addr, tensor); \
  if (!rec.channel_shared) API_GLOBAL(rec.scale_addr, api_dense(4, rec.input_c))

u32 zv_api_normalize_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_normalize_forward_t, rec, param, size);
  NORMALIZE_CHECKS(rec, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_normalize_forward(rec.input_addr, rec.output_addr, rec.scale_addr, rec.across_spatial ? 1 : 0,
                               rec.channel_shared ? 1 : 0, rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.eps,
                               rec.shared_scale, rec.if_relu, node);
  });
}

u32 zv_api_normalize_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_normalize_fix8b_forward_t, rec, param, size);
  NORMALIZE_CHECKS(rec, api_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_normalize_fix8b_forward(rec.input_addr, rec.output_addr, rec.scale_addr, rec.across_spatial ? 1 : 0,
                                     rec.channel_shared ? 1 : 0, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                                     rec.eps, rec.shared_scale, rec.if_relu, rec.input_sign, rec.output_sign, node);
  });
}

// An empty tensor (an output height of 0 included) answers 0 with nothing
// issued. The scale and bias extents follow the axes the layer will use.
u32 zv_api_scale_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_scale_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_COUNT(rec.input_c);
  API_COUNT(rec.input_h);
  API_COUNT(rec.input_w);
  const api_extent_t tensor = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, tensor);
  API_GLOBAL(rec.output_addr, tensor);
  const int axis = rec.shape_axis < 0 ? rec.shape_axis + 4 : rec.shape_axis;
  const int num = rec.shape_axis_num < 0 ? 4 : rec.shape_axis_num;
  const i64 in[4] = {rec.input_n, rec.input_c, rec.input_h, rec.input_w};
  i64 S[4];
  for (int i = 0; i < 4; i++) S[i] = i >= axis && i < (i64)axis + num ? in[i] : 1;
  const api_extent_t scale = api_dense(4, S[0], S[1], S[2], S[3]);
  API_GLOBAL(rec.scale_addr, scale);
  if (rec.using_bias) API_GLOBAL(rec.bias_addr, scale);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_scale_forward(rec.input_addr, rec.scale_addr, rec.bias_addr, rec.output_addr, rec.input_n, rec.input_c,
                           rec.input_h, rec.input_w, rec.shape_axis, rec.shape_axis_num, rec.using_bias, rec.if_relu,
                           node);
  });
}

u32 zv_api_eltwise_fix8b_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_eltwise_fix8b_forward_t, rec, param, size);
  NORM_SHAPE_CHECKS(rec);
  const api_extent_t tensor = api_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.a_addr, tensor);
  API_GLOBAL(rec.b_addr, tensor);
  API_GLOBAL(rec.output_addr, tensor);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_eltwise_fix8b_forward_parallel(rec.a_addr, rec.b_addr, rec.output_addr, rec.input_n, rec.input_c,
                                            rec.input_h, rec.input_w, rec.unused, rec.scale_A, rec.scale_B, rec.sign_A,
                                            rec.sign_B, rec.rshift_A, rec.rshift_B, rec.if_relu, node);
  });
}

// Mode 1 reads int16 items in 2N storage and one word of amounts per channel;
// mode 2 one int8 amount per element in 4N storage.
u32 zv_api_perchannel_shift(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_perchannel_shift_forward_parallel_fix8b_t, rec, param, size);
  NORM_SHAPE_CHECKS(rec);
  const api_extent_t tensor = api_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, rec.shift_mode == 1
                                 ? api_dense(4, ((i64)rec.input_n + 1) / 2, rec.input_c, rec.input_h, rec.input_w)
                                 : tensor);
  API_GLOBAL(rec.output_addr, tensor);
  if (rec.shift_mode == 1) API_GLOBAL(rec.shift_global_addr, api_dense(4, rec.input_c));
  if (rec.shift_mode == 2) API_GLOBAL(rec.shift_global_addr, tensor);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_arith_shift_fix8b_forward(rec.input_addr, rec.output_addr, rec.shift_global_addr, rec.input_n, rec.input_c,
                                       rec.input_h, rec.input_w, rec.shift_kind, rec.shift_value, rec.shift_mode,
                                       rec.sign_input, node);
  });
}

// The conversions take addresses or offsets from the start of device memory
// (anything below it): they are checked as the layers will use them.
static u64 api_device_addr(u64 a) { return a < GLOBAL_MEM_START_ADDR ? a + GLOBAL_MEM_START_ADDR : a; }
#define CONVERT_CHECKS(rec, in_extent, out_extent)        \
  API_COUNT(rec.input_n);                                 \
  API_POSITIVE(rec.input_c);                              \
  API_POSITIVE(rec.input_h);                              \
  API_POSITIVE(rec.input_w);                              \
  API_GLOBAL(api_device_addr(rec.input_addr), in_extent); \
  API_GLOBAL(api_device_addr(rec.output_addr), out_extent)

u32 zv_api_nodechip_float2int8(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_nodechip_float2int8_t, rec, param, size);
  CONVERT_CHECKS(rec, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w),
                 api_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_float2int8(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                        rec.is_signed, node);
  });
}

// An empty batch answers 0 with nothing to do.
u32 zv_api_global_int2float(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_global_int2float_t, rec, param, size);
  CONVERT_CHECKS(rec, api_4n(rec.input_n, rec.input_c, rec.input_h, rec.input_w),
                 api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_global_int2float(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                              rec.is_signed, STORAGE_MODE_4N_INT8, node);
  });
}
