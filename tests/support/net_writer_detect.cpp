#include "net_writer_detect.h"

namespace zv::test::net {

Record roi_pooling_record(uint32_t pooled_h, uint32_t pooled_w, float spatial_scale, uint32_t fix8b_opt0) {
  roi_pooling_param_t r = {};
  r.pooled_h = int32_t(pooled_h);
  r.pooled_w = int32_t(pooled_w);
  r.spatial_scale = spatial_scale;
  r.fix8b_opt0 = int32_t(fix8b_opt0);
  return record_of(r);
}

Record psroi_pooling_record(uint32_t output_dim, uint32_t group_size, float spatial_scale, uint32_t fix8b_opt0) {
  psroi_pooling_param_t r = {};
  r.output_dim = int32_t(output_dim);
  r.group_size = int32_t(group_size);
  r.spatial_scale = spatial_scale;
  r.fix8b_opt0 = fix8b_opt0;
  return record_of(r);
}

Record ssd_detect_out_record(const SsdRecord &p) {
  ssd_detect_out_param_t r = {};
  r.num_classes = p.num_classes;
  r.share_location = p.share_location;
  r.background_class = int32_t(p.background_class);
  r.box_code_type = int32_t(p.code_type);
  r.ssd_arg0 = int32_t(p.variance_encoded);
  r.ssd_arg1 = p.keep_top_k;
  r.ssd_f0 = p.confidence_threshold;
  r.ssd_f1 = p.nms_threshold;
  r.ssd_f2 = p.eta;
  r.top_k = p.top_k;
  return record_of(r);
}

Record yolov3_detect_out_record(const Yolov3Record &p) {
  yolov3_detect_out_param_t r = {};
  r.head_num = p.head_num;
  r.yolo_arg0 = p.num_classes;
  r.yolo_arg1 = p.num_boxes;
  r.yolo_arg2 = p.mask_group;
  r.yolo_arg3 = p.keep_top_k;
  r.yolo_f0 = p.confidence_threshold;
  r.yolo_f1 = p.nms_threshold;
  for (size_t i = 0; i < 18; i++) r.yolo_arr0[i] = p.biases[i];
  for (size_t i = 0; i < 3; i++) r.yolo_arr1[i] = p.strides[i];
  for (size_t i = 0; i < 9; i++) r.yolo_arr2[i] = p.mask[i];
  return record_of(r);
}

Record rpn_record(const RpnRecord &p) {
  rpn_param_t r = {};
  r.channels0 = p.score_channels;
  r.channels1 = p.delta_channels;
  r.rpn_arg0 = p.feat_stride;
  r.rpn_arg1 = p.base_size;
  r.rpn_arg2 = p.min_size;
  r.rpn_arg3 = p.pre_nms_topN;
  r.rpn_arg4 = p.post_nms_topN;
  r.rpn_f0 = p.nms_thresh;
  r.rpn_f1 = p.score_thresh;
  r.rpn_scale = p.scale;
  r.buffer_offset = p.buffer_offset;
  r.rpn_addr = p.rpn_addr;
  return record_of(r);
}

Record lstm_record(const LstmRecord &p) {
  lstm_param_t r = {};
  r.lstm_dim0 = int32_t(p.N);
  r.lstm_dim1 = int32_t(p.T);
  r.lstm_arg = int32_t(p.I);
  r.lstm_dim2 = int32_t(p.H);
  r.cont_is_tensor = p.cont_is_tensor;
  r.static_flag = p.static_flag;
  r.state_flag = p.state_flag;
  r.buffer_offset = p.buffer_offset;
  return record_of(r);
}

}  // namespace zv::test::net
