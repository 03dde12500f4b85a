// Test-side writers of the ROI pooling, detection output, region proposal and
// LSTM layer records, filled through the firmware's record structs.
#pragma once

#include <array>
#include <cstdint>

#include "net_writer.h"

namespace zv::test::net {

Record roi_pooling_record(uint32_t pooled_h, uint32_t pooled_w, float spatial_scale, uint32_t fix8b_opt0 = 0);
Record psroi_pooling_record(uint32_t output_dim, uint32_t group_size, float spatial_scale, uint32_t fix8b_opt0 = 0);

struct SsdRecord {
  uint32_t num_classes = 2, share_location = 1, background_class = 0, code_type = 2;
  uint32_t variance_encoded = 0;  // ssd_arg0
  int32_t keep_top_k = -1;        // ssd_arg1
  float confidence_threshold = 0.5f, nms_threshold = 0.45f, eta = 1.0f;  // ssd_f0, ssd_f1, ssd_f2
  int32_t top_k = -1;
};
Record ssd_detect_out_record(const SsdRecord &p);

struct Yolov3Record {
  uint32_t head_num = 1;
  int32_t num_classes = 2, num_boxes = 3, mask_group = 3, keep_top_k = -1;  // yolo_arg0..3
  float confidence_threshold = 0.3f, nms_threshold = 0.45f;                 // yolo_f0, yolo_f1
  std::array<float, 18> biases{};
  std::array<float, 3> strides{};
  std::array<float, 9> mask{};
};
Record yolov3_detect_out_record(const Yolov3Record &p);

struct RpnRecord {
  uint16_t score_channels = 18, delta_channels = 36;
  int32_t feat_stride = 16, base_size = 16, min_size = 4, pre_nms_topN = -1, post_nms_topN = 0;  // rpn_arg0..4
  float nms_thresh = 0.7f, score_thresh = 0.3f, scale = 0.0f;                                    // rpn_f0, f1, scale
  uint64_t buffer_offset = 0, rpn_addr = 0;
};
Record rpn_record(const RpnRecord &p);

struct LstmRecord {
  uint32_t N = 1, T = 1, I = 1, H = 1;  // lstm_dim0, lstm_dim1, lstm_arg, lstm_dim2
  uint32_t cont_is_tensor = 0, static_flag = 0, state_flag = 0;
  uint64_t buffer_offset = 0;
};
Record lstm_record(const LstmRecord &p);

}  // namespace zv::test::net
