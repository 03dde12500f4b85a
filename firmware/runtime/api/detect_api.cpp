// Handlers of the detection family: ROI pooling (47), NMS (131),
// position-sensitive ROI pooling (155), SSD detection output (176), YOLOv3
// detection output (178), soft-NMS (511) and YOLO region (800).
#include <stdio.h>

#include "layers/detect/ssd_detect_out.h"
#include "layers/detect/nms.h"
#include "layers/detect/psroipooling.h"
#include "layers/detect/roi_pooling.h"
#include "layers/detect/yolo.h"
#include "layers/detect/yolov3_detect_out.h"
#include "runtime/api/dispatch.h"
#include "runtime/services.h"

// The engine places its DTCM arrays from the scratch cursor, which starts and
// ends every call at the window's start.
u32 zv_api_cv_nms(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_cv_nms_t, rec, param, size);
  if (rec.proposal_size > 0) {
    API_GLOBAL(rec.input_addr, api_dense(sizeof(face_rect_t), rec.proposal_size));
    API_GLOBAL(rec.output_addr, api_dense(1, sizeof(nms_proposal_t)));
  }
  nms_vec_face_demo_mode = 0;
  cv_cur_dtcm_addr = DTCM_SCRATCH_START;
  const u32 r = api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_nms_vec(rec.input_addr, DTCM_SCRATCH_START, DTCM_SCRATCH_START, rec.proposal_size,
                        rec.nms_threshold, rec.output_addr, node);
  });
  cv_cur_dtcm_addr = DTCM_SCRATCH_START;
  return r;
}

u32 zv_api_cv_soft_nms(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_cv_soft_nms_t, rec, param, size);
  if (rec.proposal_size > 0) {
    const i64 n = rec.proposal_size;
    API_GLOBAL(rec.input_addr, api_dense(sizeof(face_rect_t), n));
    API_GLOBAL(rec.overlap_addr, api_dense(4, n, n));
    API_GLOBAL(rec.weighting_addr, api_dense(4, n, n));
  }
  nms_vec_face_demo_mode = 0;
  cv_cur_dtcm_addr = DTCM_SCRATCH_START;
  const u32 r = api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_soft_nms_vec(rec.input_addr, rec.proposal_size, rec.weighting_method, rec.sigma, rec.overlap_addr,
                             rec.weighting_addr, node);
  });
  cv_cur_dtcm_addr = DTCM_SCRATCH_START;
  return r;
}

u32 zv_api_roi_pooling_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_roi_pooling_forward_t, rec, param, size);
  API_POSITIVE(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.pooled_h);
  API_POSITIVE(rec.pooled_w);
  ASSERT(rec.num_rois >= 0);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.num_rois, rec.input_c, rec.pooled_h, rec.pooled_w));
  API_GLOBAL(rec.rois_addr, api_dense(4, rec.num_rois, 5));
  API_GLOBAL(rec.rois_staging_addr, api_dense(4, rec.num_rois, 5));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_roi_pooling_forward(rec.input_addr, rec.output_addr, rec.rois_addr, rec.rois_staging_addr, rec.input_n,
                                 rec.input_c, rec.input_h, rec.input_w, rec.pooled_h, rec.pooled_w, rec.num_rois,
                                 rec.spatial_scale, node);
  });
}

// Sign flags both 0 or 1 select the 8-bit layer (4N map and output), any
// other value the float layer.
u32 zv_api_psroipooling_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_psroipooling_forward_t, rec, param, size);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.output_dim);
  API_POSITIVE(rec.group_size);
  ASSERT(rec.roi_num >= 0);
  const int fix8b = rec.input_sign < 2 && rec.output_sign < 2;
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_c, rec.input_h, rec.input_w));
  if (fix8b)
    API_GLOBAL(rec.output_addr,
               api_dense(4, ((i64)rec.roi_num + 3) / 4, rec.output_dim, rec.group_size, rec.group_size));
  else
    API_GLOBAL(rec.output_addr, api_dense(4, rec.roi_num, rec.output_dim, rec.group_size, rec.group_size));
  API_GLOBAL(rec.roi_addr, api_dense(4, rec.roi_num, 5));
  API_GLOBAL(rec.roi_buffer_addr, api_dense(4, rec.roi_num, 5));
  return api_issue([&](cmd_id_node_t *node) {
    if (fix8b)
      nodechip_psroipooling_fix8b_forward_with_datasplit(rec.input_addr, rec.output_addr, rec.roi_addr,
                                                         rec.roi_buffer_addr, rec.input_n, rec.input_c, rec.input_h,
                                                         rec.input_w, rec.output_dim, rec.group_size, rec.roi_num,
                                                         rec.spatial_scale, rec.input_sign, rec.output_sign, node);
    else
      nodechip_psroipooling_forward_with_datasplit(rec.input_addr, rec.output_addr, rec.roi_addr, rec.roi_buffer_addr,
                                                   rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.output_dim,
                                                   rec.group_size, rec.roi_num, rec.spatial_scale, node);
  });
}

u32 zv_api_yolo(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_yolo_t, rec, param, size);
  API_COUNT(rec.input_n);
  ASSERT(rec.input_n <= 0x7fffffffu && rec.input_c <= 0x7fffffffu && rec.input_h <= 0x7fffffffu &&
         rec.input_w <= 0x7fffffffu && rec.num <= 0x7fffffffu && rec.classes <= 0x7fffffffu &&
         rec.coords <= 0x7fffffffu);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, t);
  API_GLOBAL(rec.output_addr, t);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_yolo(rec.input_addr, rec.output_addr, (int)rec.input_n, (int)rec.input_c, (int)rec.input_h,
                  (int)rec.input_w, (int)rec.num, (int)rec.classes, (int)rec.coords, (int)rec.background,
                  (int)rec.use_softmax, node);
  });
}

// Times the layer alone (the timer restarts first) and prints the time, the
// cycles and the number of records written.
u32 zv_api_ssd_detect_out(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_ssd_detect_out_t, rec, param, size);
  API_GLOBAL(rec.loc_addr, api_dense(16, rec.num, rec.num_priors, rec.num_loc_classes));
  API_GLOBAL(rec.conf_addr, api_dense(4, rec.num, rec.num_priors, rec.num_classes));
  API_GLOBAL(rec.prior_addr, api_dense(16, 2, rec.num_priors));
  API_GLOBAL(rec.output_addr,
             api_dense(sizeof(detect_output_box_t), rec.num,
                       ssd_detect_out_max_records(rec.num_priors, rec.keep_top_k)));
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  firmware_timer_init();
  const u64 t0 = firmware_timer_get_time_us(), c0 = firmware_timer_get_cycle();
  int count = 0;
  nodechip_ssd_detect_out(rec.loc_addr, rec.conf_addr, rec.prior_addr, rec.output_addr, rec.num, rec.num_priors,
                          rec.num_classes, rec.num_loc_classes, rec.share_location, rec.background_label_id,
                          rec.top_k, rec.code_type, rec.keep_top_k, rec.variance_encoded_in_target,
                          rec.nms_threshold, rec.confidence_threshold, rec.eta, &count, &node);
  poll_all_engine_done(&node);
  const u64 t1 = firmware_timer_get_time_us(), c1 = firmware_timer_get_cycle();
  printf("\n%s time: %lld\n", "zv_api_ssd_detect_out", (long long)(t1 - t0));
  printf("%s cycle: %lld\n", "zv_api_ssd_detect_out", (long long)(c1 - c0));
  printf("TPU Detected output box num: %d\n:", count);
  return 0;
}

// The heads' shapes and the anchor tables are copied out of the packed record
// so that the layer reads aligned values; a head count above 3 is refused
// before anything is copied.
u32 zv_api_yolov3_detect_out(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_yolov3_detect_out_t, rec, param, size);
  ASSERT(rec.input_num >= 0 && rec.input_num <= YOLOV3_MAX_HEADS);
  int head_shape[2 * YOLOV3_MAX_HEADS] = {0};
  u64 inputs[YOLOV3_MAX_HEADS];
  float biases[2 * YOLOV3_MAX_ANCHORS], strides[YOLOV3_MAX_HEADS], mask[YOLOV3_MAX_ANCHORS];
  memcpy(head_shape, rec.head_shape, 8u * (u32)rec.input_num);
  memcpy(inputs, rec.input_addr, sizeof inputs);
  memcpy(biases, rec.biases, sizeof biases);
  memcpy(strides, rec.strides, sizeof strides);
  memcpy(mask, rec.mask, sizeof mask);
  for (int k = 0; k < rec.input_num; k++)
    API_GLOBAL(inputs[k], api_dense(4, rec.num, api_mul(rec.num_boxes, (i64)rec.num_classes + 5), head_shape[2 * k],
                                    head_shape[2 * k + 1]));
  API_GLOBAL(rec.output_addr,
             api_dense(sizeof(detect_output_box_t), rec.num,
                       yolov3_detect_out_max_records(rec.input_num, head_shape, rec.num_boxes, rec.keep_top_k)));
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  firmware_timer_init();
  const u64 t0 = firmware_timer_get_time_us(), c0 = firmware_timer_get_cycle();
  int count = 0;
  nodechip_yolov3_detect_out(inputs, rec.output_addr, rec.input_num, rec.num, head_shape, rec.num_classes,
                             rec.num_boxes, rec.mask_group, rec.keep_top_k, rec.nms_threshold,
                             rec.confidence_threshold, biases, strides, mask, &count, &node);
  poll_all_engine_done(&node);
  const u64 t1 = firmware_timer_get_time_us(), c1 = firmware_timer_get_cycle();
  printf("\n%s time: %lld\n", "zv_api_yolov3_detect_out", (long long)(t1 - t0));
  printf("%s cycle: %lld\n", "zv_api_yolov3_detect_out", (long long)(c1 - c0));
  printf("TPU Detected output box num: %d\n:", count);
  return 0;
}
