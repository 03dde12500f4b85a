// Global controllers of detection and sequence layers.
#include "interp/glb_detect_seq_ctrl.h"

#include <math.h>
#include <string.h>

#include "cmd/memory_store_mode.h"
#include "interp/glb_shape_ctrl.h"
#include "interp/layer_records.h"
#include "interp/record_fields.h"
#include "interp/tensor_array.h"
#include "layers/detect/nms.h"
#include "layers/detect/priorbox.h"
#include "layers/detect/rpn_proposal.h"
#include "layers/detect/ssd_detect_out.h"
#include "layers/detect/yolo.h"
#include "layers/detect/yolov3_detect_out.h"
#include "layers/seq/lstm.h"
#include "runtime/hw.h"
#include "runtime/regs.h"
#include "runtime/services.h"

// ---- prior boxes ----

#define PRIOR_MAX_SIZES 8

void compute_prior_top(u64 scratch, u64 output, int has_dim, float step_h, float step_w, u32 img_w, u32 img_h,
                       u32 layer_w, u32 layer_h, u32 net_w, u32 net_h, i32 num_priors, float prior_offset,
                       u32 variance_num, u32 real_min_size, u32 max_size_num, u32 aspect_ratio_num, int prior_flag,
                       const float *max_sizes, const float *min_sizes, const float *aspect_ratios,
                       const float *variances, float prior_scale, u32 data_size, u32 outtensor_store_mode,
                       cmd_id_node_t *node) {
  if (has_dim) {
    // 8-bit priors were copied 1N to the scratch area: spread them into a 4N
    // output, or copy them to a 1N output as they are.
    if (data_size != DSIZE_FP32) {
      const int count = (int)(8 * layer_w * layer_h * (u32)num_priors);
      if (outtensor_store_mode == FW_STORE_MODE_4N)
        gdma_move_global_1N_and_4N(scratch, output, 1, count, 1, node);
      else if (outtensor_store_mode == FW_STORE_MODE_1N)
        dynamic_glb_memcpy(scratch, output, (u64)count, DSIZE_8, node);
    }
    return;
  }
  if (img_w == 0 || img_h == 0) {
    img_w = net_w;
    img_h = net_h;
  }
  if (step_w == 0.0f || step_h == 0.0f) {
    step_w = (float)img_w / (float)layer_w;
    step_h = (float)img_h / (float)layer_h;
  }
  // The record holds 8 sizes and 8 ratios.
  ASSERT(real_min_size <= PRIOR_MAX_SIZES && aspect_ratio_num <= PRIOR_MAX_SIZES,
         "%u min sizes, %u aspect ratios", (unsigned)real_min_size, (unsigned)aspect_ratio_num);
  float min_w[PRIOR_MAX_SIZES], min_h[PRIOR_MAX_SIZES], max_w[PRIOR_MAX_SIZES], max_h[PRIOR_MAX_SIZES];
  float ratio_w[PRIOR_MAX_SIZES * PRIOR_MAX_SIZES], ratio_h[PRIOR_MAX_SIZES * PRIOR_MAX_SIZES];
  const float W2 = 2.0f * (float)img_w, H2 = 2.0f * (float)img_h;
  // One max box per min size when max sizes are given; the ratios within 1e-6
  // of 1 are covered by the min box.
  const u32 max_num = max_size_num > 0 ? 1 : 0;
  u32 aspect_num = 0;
  for (u32 i = 0; i < real_min_size; i++) {
    const float m = min_sizes[i];
    min_w[i] = m / W2;
    min_h[i] = m / H2;
    if (max_num) {
      const float s = sqrtf(m * max_sizes[i]);
      max_w[i] = s / W2;
      max_h[i] = s / H2;
    }
    aspect_num = 0;
    for (u32 j = 0; j < aspect_ratio_num; j++) {
      const float r = aspect_ratios[j];
      if (fabs((double)r - 1.0) < 1e-6) continue;
      ratio_w[i * aspect_ratio_num + aspect_num] = m * sqrtf(r) / W2;
      ratio_h[i * aspect_ratio_num + aspect_num] = m / sqrtf(r) / H2;
      aspect_num++;
    }
  }
  // The kernel reads the ratio half extents per min size at i * aspect_num.
  for (u32 i = 1; i < real_min_size; i++)
    for (u32 j = 0; j < aspect_num; j++) {
      ratio_w[i * aspect_num + j] = ratio_w[i * aspect_ratio_num + j];
      ratio_h[i * aspect_num + j] = ratio_h[i * aspect_ratio_num + j];
    }
  ASSERT(num_priors > 0 && layer_w > 0 && layer_h > 0, "num_priors %d over %u x %u", (int)num_priors,
         (unsigned)layer_w, (unsigned)layer_h);
  // Index table: rows p = 0 .. max(layer_w, layer_h) - 1 of 2 x num_priors
  // copies of p, then the variances.
  const u32 rows = layer_w > layer_h ? layer_w : layer_h;
  const u32 row_floats = 2u * (u32)num_priors;
  const u32 var_count = variance_num == 1 ? 1 : 4;
  const u64 bytes = 4ull * ((u64)rows * row_floats + var_count);
  ASSERT(scratch >= GLOBAL_MEM_START_ADDR && scratch - GLOBAL_MEM_START_ADDR + bytes <= 0x100000000ull - DDR_ARM_BASE,
         "prior table of %llu bytes at 0x%llx outside the ARM's window", (unsigned long long)bytes,
         (unsigned long long)scratch);
  u8 *table = (u8 *)hw_ptr(DDR_ARM_BASE + (u32)(scratch - GLOBAL_MEM_START_ADDR), (u32)bytes);
  for (u32 p = 0; p < rows; p++) {
    const float v = (float)p;
    for (u32 k = 0; k < row_floats; k++) memcpy(table + 4 * ((u64)p * row_floats + k), &v, 4);
  }
  memcpy(table + 4ull * rows * row_floats, variances, 4 * var_count);
  {
    // Compared unsigned, like the counts (it is positive here).
    const u32 priors = (u32)num_priors;
    const u32 num_priors = priors;
    ASSERT(num_priors == (real_min_size * (1 + max_num + aspect_num)));
  }
  nodechip_priorbox_opt(data_size != DSIZE_FP32, (int)rows, scratch, output, (int)layer_w, (int)layer_h, (int)img_w,
                        (int)img_h, step_w, step_h, (int)real_min_size, (int)max_num, (int)aspect_num,
                        (int)variance_num, min_w, min_h, max_w, max_h, ratio_w, ratio_h, variances, prior_offset,
                        num_priors, prior_scale, prior_flag != 0, (int)outtensor_store_mode, node);
}

void dynamic_glb_priorbox_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  priorbox_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 out_dims = rec.out_dims;
  float min_sizes[8], max_sizes[8], aspect_ratios[8], variances[8];
  memcpy(min_sizes, rec.min_sizes, sizeof(min_sizes));
  memcpy(max_sizes, rec.max_sizes, sizeof(max_sizes));
  memcpy(aspect_ratios, rec.aspect_ratios, sizeof(aspect_ratios));
  memcpy(variances, rec.variances, sizeof(variances));
  const i32 num_priors = rec.num_priors;
  const u8 has_dim = rec.has_dim, prior_flag = rec.prior_flag;
  const u32 dim = rec.dim;
  dynamic_tensor_info_t in, out;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  ASSERT(num_priors > 0 || has_dim);
  ASSERT(out_dims <= DYNAMIC_MAX_DIMS, "out_dims %u", (unsigned)out_dims);
  i32 shape[DYNAMIC_MAX_DIMS] = {1, 1, 1, 1, 1, 1, 1, 1};
  u64 count = 1;
  if (has_dim) {
    shape[0] = 1;
    shape[1] = 2;
    shape[2] = (i32)dim;
    count = 2ull * dim;
  } else {
    memcpy(shape, rec.out_shape, 4 * out_dims);
    for (u32 i = 0; i < out_dims; i++) count *= (u64)(i64)shape[i];
  }
  out.dims = out_dims;
  out.shape = shape;
  out.dtype = in.dtype;
  const u32 data_size = ctx->middle_value->data_size;
  if (has_dim) {
    if (data_size == DSIZE_FP32)
      dynamic_glb_memcpy(in.addr, out.addr, count, DSIZE_FP32, node);
    else
      dynamic_glb_memcpy(in.addr, ctx->scratch_addr, count, DSIZE_8, node);
  }
  if (!is_null_tensor(&in)) {
    compute_prior_top(ctx->scratch_addr, out.addr, has_dim, rec.step_h, rec.step_w, rec.img_w, rec.img_h,
                      rec.layer_w, rec.layer_h, rec.net_w, rec.net_h, num_priors, rec.prior_offset,
                      rec.variance_num, rec.real_min_size, rec.max_size_num, rec.aspect_ratio_num, prior_flag, max_sizes, min_sizes, aspect_ratios, variances, rec.prior_scale, data_size,
                      ctx->middle_value->outtensor_store_mode, node);
  }
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- YOLO region ----

void dynamic_glb_yolo_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  yolo_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  ASSERT_FS(bottom.dims <= 4);
  int v[4] = {1, 1, 1, 1};
  for (u32 i = 0; i < bottom.dims; i++) v[4 - bottom.dims + i] = bottom.shape[i];
  if (!is_null_tensor(&bottom))
    nodechip_yolo(bottom.addr, out.addr, v[0], v[1], v[2], v[3], (int)rec.region_arg[0],
                  (int)rec.region_arg[1], (int)rec.region_arg[2], (int)rec.region_arg[3], (int)rec.region_arg[4],
                  node);
  out.dims = bottom.dims;
  out.shape = bottom.shape;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- non-maximum suppression ----

void dynamic_glb_nms_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  nms_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const float iou_threshold = rec.iou_threshold, score_threshold = rec.score_threshold;
  const u32 nms_mode = rec.nms_mode;
  const u64 buffer_offset = rec.buffer_offset;
  dynamic_tensor_info_t boxes, scores, out;
  dynamic_context_unpack_neuron_tensor(ctx, &boxes, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &scores, 0);
  const u64 n = get_tensor_element_num(&scores);
  u64 limit = n;
  if (nms_mode == 3) {
    dynamic_tensor_info_t keep;
    dynamic_context_unpack_shape_tensor(ctx, &keep, 0);
    const i32 v = shape_tensor_value(&keep, 0);
    // A negative limit keeps nothing.
    limit = v > 0 ? (u64)v : 0;
  }
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  ASSERT(ctx->middle_value->data_size == DSIZE_INT32);
  i32 count = 0;
  if (!is_null_tensor(&boxes))
    nodechip_nms_v2(boxes.addr, scores.addr, out.addr, buffer_offset + ctx->neuron_base, (u32)n, (u32)limit, &count,
                    iou_threshold, score_threshold, node);
  out.dims = 1;
  out.shape = &count;
  out.dtype = DSIZE_INT32;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- SSD and YOLOv3 detection output ----

namespace {

// The kernels write `count` detections of 7 floats: [1, 1, count, 7].
void register_detections(dynamic_context_t *ctx, dynamic_tensor_info_t *out, i32 *shape, int count) {
  shape[0] = 1;
  shape[1] = 1;
  shape[2] = (i32)count;
  shape[3] = 7;
  out->dims = 4;
  out->shape = shape;
  out->dtype = DSIZE_FP32;
  dynamic_context_global_set_output_info(ctx, out);
}

}  // namespace

void dynamic_glb_ssd_detect_out_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  ssd_detect_out_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 num_classes = rec.num_classes, share_location = rec.share_location;
  dynamic_tensor_info_t loc, conf, prior, out;
  dynamic_context_unpack_neuron_tensor(ctx, &loc, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &conf, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &prior, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  // The batch is the locations' extent 0 and the priors' extent 2 holds four
  // corners a prior; tensors of fewer dims have no such extents.
  ASSERT(loc.dims >= 1 && prior.dims >= 3, "locations of %u dims, priors of %u dims", (unsigned)loc.dims,
         (unsigned)prior.dims);
  const u32 loc_classes = share_location == 1 ? 1 : num_classes;
  const i32 batch = loc.shape[0], priors = prior.shape[2] / 4;
  int count = 0;
  nodechip_ssd_detect_out(loc.addr, conf.addr, prior.addr, out.addr, batch, priors, (int)num_classes,
                          (int)loc_classes, (int)share_location, rec.background_class, rec.top_k,
                          rec.box_code_type, rec.ssd_arg1, rec.ssd_arg0, rec.ssd_f1, rec.ssd_f0, rec.ssd_f2,
                          &count, node);
  i32 shape[4];
  register_detections(ctx, &out, shape, count);
}

void dynamic_glb_yolov3_detect_out_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  yolov3_detect_out_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 head_num = rec.head_num;
  // The heads' records, addresses and (h, w) pairs are sized by the kernel's
  // head limit: a head count from the record must not size a stack array.
  ASSERT(head_num >= 1 && head_num <= YOLOV3_MAX_HEADS, "head_num %u", (unsigned)head_num);
  dynamic_tensor_info_t bottom[YOLOV3_MAX_HEADS], out;
  for (u32 i = 0; i < head_num; i++) dynamic_context_unpack_neuron_tensor(ctx, &bottom[i], 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  u64 addrs[YOLOV3_MAX_HEADS];
  int head_shape[2 * YOLOV3_MAX_HEADS];
  for (u32 i = 0; i < head_num; i++) {
    ASSERT(bottom[i].dims == 4);
    addrs[i] = bottom[i].addr;
    head_shape[2 * i] = bottom[i].shape[2];
    head_shape[2 * i + 1] = bottom[i].shape[3];
  }
  const i32 batch = bottom[0].shape[0];
  float biases[18], strides[3], mask[9];
  memcpy(biases, rec.yolo_arr0, sizeof(biases));
  memcpy(strides, rec.yolo_arr1, sizeof(strides));
  memcpy(mask, rec.yolo_arr2, sizeof(mask));
  int count = 0;
  nodechip_yolov3_detect_out(addrs, out.addr, (int)head_num, batch, head_shape, rec.yolo_arg0, rec.yolo_arg1,
                             rec.yolo_arg2, rec.yolo_arg3, rec.yolo_f1, rec.yolo_f0, biases, strides,
                             mask, &count, node);
  i32 shape[4];
  register_detections(ctx, &out, shape, count);
}

// ---- region proposals ----

void dynamic_glb_rpn_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  rpn_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 data_size = ctx->middle_value->data_size;
  const int bottom_prec = data_size == DSIZE_FP32 ? 0 : data_size == DSIZE_8 ? 1 : 2;
  // Class scores, box deltas (b1), image information.
  dynamic_tensor_info_t scores, b1_info, info, out;
  dynamic_context_unpack_neuron_tensor(ctx, &scores, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &b1_info, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &info, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  ASSERT(b1_info.dims == 4);
  const i32 bottom0_dim[3] = {(i32)rec.channels0, b1_info.shape[2], b1_info.shape[3]};
  const i32 bottom1_dim[3] = {(i32)rec.channels1, b1_info.shape[2], b1_info.shape[3]};
  int count = 0;
  if (!is_null_tensor(&scores) && !is_null_tensor(&b1_info))
    nodechip_rpnproposal_forward(scores.addr, b1_info.addr, info.addr, out.addr, bottom0_dim, bottom1_dim,
                                 rec.rpn_arg0, rec.rpn_arg1, rec.rpn_arg2, rec.rpn_arg3, rec.rpn_arg4, rec.rpn_f0,
                                 rec.rpn_f1, (int)ctx->middle_value->intensor_store_mode,
                                 rec.buffer_offset + ctx->neuron_base, rec.rpn_addr, bottom_prec,
                                 data_size == DSIZE_FP32 ? 0.0f : rec.rpn_scale,
                                 &count, node);
  // One ROI of 5 values a row.
  i32 shape[4] = {(i32)count, 5, 1, 1};
  out.dims = 4;
  out.shape = shape;
  out.dtype = DSIZE_FP32;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- LSTM ----

void dynamic_glb_lstm_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  lstm_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const i32 dim0 = rec.lstm_dim0, dim1 = rec.lstm_dim1, arg = rec.lstm_arg, dim2 = rec.lstm_dim2;
  const int cont_is_tensor = rec.cont_is_tensor == 1, static_flag = rec.static_flag == 1,
            state_flag = rec.state_flag == 1;
  const u64 scratch = rec.buffer_offset + ctx->neuron_base;
  dynamic_tensor_info_t in_x, out;
  dynamic_context_unpack_neuron_tensor(ctx, &in_x, 0);
  u64 cont;
  if (cont_is_tensor) {
    dynamic_tensor_info_t c;
    dynamic_context_unpack_neuron_tensor(ctx, &c, 0);
    cont = c.addr;
  } else {
    cont = dynamic_context_unpack_coeff_addr(ctx);
  }
  u64 static_in = 0, state0 = 0, state1 = 0, state2 = 0, state3 = 0, state4 = 0;
  if (static_flag) static_in = dynamic_context_unpack_coeff_addr(ctx);
  if (state_flag) {
    state0 = dynamic_context_unpack_coeff_addr(ctx);
    state1 = dynamic_context_unpack_coeff_addr(ctx);
  }
  const u64 weight0 = dynamic_context_unpack_coeff_addr(ctx);
  const u64 weight1 = dynamic_context_unpack_coeff_addr(ctx);
  const u64 weight2 = dynamic_context_unpack_coeff_addr(ctx);
  if (state_flag) state2 = dynamic_context_unpack_coeff_addr(ctx);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  if (state_flag) {
    state3 = dynamic_context_unpack_coeff_addr(ctx);
    state4 = dynamic_context_unpack_coeff_addr(ctx);
  }
  ASSERT(in_x.dtype == DSIZE_FP32);
  // The static input's weights take the slot of state 2, which the stream
  // carries only with the states: without it the layer would read its
  // weights at address 0.
  ASSERT(!static_flag || state_flag, "a static input without its weights");
  // The static input's projection (N rows) lies behind the input projection
  // of all steps (T x N rows), both 4He floats a row, so neither overwrites
  // the other.
  const u64 x_proj_bytes = 4ull * (u64)(i64)dim1 * (u64)(i64)dim0 * 4ull * (u64)lstm_output_dim_extend(dim2);
  nodechip_lstm_forward_parallel(in_x.addr, cont, static_in, state0, state1, weight0, weight1, state2, weight2,
                                 out.addr, state4, state3, scratch, static_flag ? scratch + x_proj_bytes : 0, dim0,
                                 dim1, arg, dim2, static_flag, state_flag, node);
  i32 shape[3] = {dim1, dim0, dim2};
  out.dims = 3;
  out.shape = shape;
  out.dtype = in_x.dtype;
  dynamic_context_global_set_output_info(ctx, &out);
}

void dynamic_glb_detect_seq_map_fill(dynamic_global_ctrl_t *map) {
  map[DYNAMIC_LAYER_LSTM] = dynamic_glb_lstm_layer_ctrl;
  map[DYNAMIC_LAYER_PRIORBOX] = dynamic_glb_priorbox_layer_ctrl;
  map[DYNAMIC_LAYER_RPN] = dynamic_glb_rpn_layer_ctrl;
  map[DYNAMIC_LAYER_YOLO] = dynamic_glb_yolo_layer_ctrl;
  map[DYNAMIC_LAYER_SSD_DETECT_OUT] = dynamic_glb_ssd_detect_out_layer_ctrl;
  map[DYNAMIC_LAYER_YOLOV3_DETECT_OUT] = dynamic_glb_yolov3_detect_out_layer_ctrl;
  map[DYNAMIC_LAYER_NMS] = dynamic_glb_nms_ctrl;
}
