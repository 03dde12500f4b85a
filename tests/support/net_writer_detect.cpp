#include "net_writer_detect.h"

namespace zv::test::net {

Record roi_pooling_record(uint32_t pooled_h, uint32_t pooled_w, float spatial_scale, uint32_t fix8b_opt0) {
  return Record(20).u32(0, pooled_h).u32(4, pooled_w).f32(8, spatial_scale).u32(16, fix8b_opt0);
}

Record psroi_pooling_record(uint32_t output_dim, uint32_t group_size, float spatial_scale, uint32_t fix8b_opt0) {
  return Record(20).u32(0, output_dim).u32(4, group_size).f32(8, spatial_scale).u32(16, fix8b_opt0);
}

Record ssd_detect_out_record(const SsdRecord &p) {
  return Record(40)
      .u32(0, p.num_classes)
      .u32(4, p.share_location)
      .u32(8, p.background_class)
      .u32(12, p.code_type)
      .u32(16, p.variance_encoded)
      .i32(20, p.keep_top_k)
      .f32(24, p.confidence_threshold)
      .f32(28, p.nms_threshold)
      .f32(32, p.eta)
      .i32(36, p.top_k);
}

Record yolov3_detect_out_record(const Yolov3Record &p) {
  Record r(148);
  r.u32(0, p.head_num).i32(4, p.num_classes).i32(8, p.num_boxes).i32(12, p.mask_group).i32(16, p.keep_top_k);
  r.f32(20, p.confidence_threshold).f32(24, p.nms_threshold);
  for (size_t i = 0; i < 18; i++) r.f32(28 + 4 * i, p.biases[i]);
  for (size_t i = 0; i < 3; i++) r.f32(100 + 4 * i, p.strides[i]);
  for (size_t i = 0; i < 9; i++) r.f32(112 + 4 * i, p.mask[i]);
  return r;
}

Record rpn_record(const RpnRecord &p) {
  return Record(56)
      .u32(0, uint32_t(p.score_channels) << 16 | p.delta_channels)
      .i32(4, p.feat_stride)
      .i32(8, p.base_size)
      .i32(12, p.min_size)
      .i32(16, p.pre_nms_topN)
      .i32(20, p.post_nms_topN)
      .f32(24, p.nms_thresh)
      .f32(28, p.score_thresh)
      .f32(32, p.scale)
      .u64(40, p.buffer_offset)
      .u64(48, p.rpn_addr);
}

Record lstm_record(const LstmRecord &p) {
  return Record(48)
      .u32(0, p.N)
      .u32(4, p.T)
      .u32(8, p.I)
      .u32(16, p.H)
      .u32(20, p.cont_is_tensor)
      .u32(24, p.static_flag)
      .u32(28, p.state_flag)
      .u64(32, p.buffer_offset);
}

}  // namespace zv::test::net
