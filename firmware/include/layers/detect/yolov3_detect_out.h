// YOLOv3 detection output, and API 178.
//
// Head k holds, per image, num_boxes anchor blocks of num_classes + 5 channels
// (tx, ty, tw, th, objectness, class logits) over an h_k x w_k grid. Per cell
// and anchor the best class logit is taken (the lowest class index among
// equal logits), scored as sigmoid(logit) x sigmoid(objectness), kept above
// the confidence threshold and decoded to a centre and size relative to the
// network input. The candidates of an image (heads in order, then row,
// column, anchor) are sorted by score on the CDMA engine (equal scores in
// candidate order), suppressed by a class-agnostic greedy NMS (IoU at or
// above the threshold suppresses), cut to keep_top_k and written as
// detect_output_box_t records. Images go in passes of 8 (first head 19 rows
// high) or 16; a pass without detections writes one [image, -1 x 6] record
// per image of the pass.
//
// Each (image, anchor) block is staged in L2 SRAM by GDMA and scanned by the
// ARM; the candidate lists live in L2 SRAM below 0x1025E000.
#pragma once

#include "cmd/cmd_framework.h"
#include "layers/detect/ssd_detect_out.h"
#include "runtime/types.h"

#define YOLOV3_MAX_HEADS 3
#define YOLOV3_MAX_ANCHORS 9
#define YOLOV3_L2_SCRATCH_START 0x100a2000u
#define YOLOV3_L2_SCRATCH_END 0x1025E000u

// API 178.
typedef struct {
  u64 input_addr[YOLOV3_MAX_HEADS];
  u64 output_addr;
  i32 input_num;
  i32 num;
  i32 head_shape[YOLOV3_MAX_HEADS][2];  // (h, w)
  i32 num_classes;
  i32 num_boxes;
  i32 mask_group;
  i32 keep_top_k;
  float nms_threshold;
  float confidence_threshold;
  float biases[2 * YOLOV3_MAX_ANCHORS];
  float strides[YOLOV3_MAX_HEADS];
  float mask[YOLOV3_MAX_ANCHORS];
} FW_PACKED zv_api_yolov3_detect_out_t;
static_assert(sizeof(zv_api_yolov3_detect_out_t) == 208, "zv_api_yolov3_detect_out_t is 208 bytes");

extern "C" {
u32 zv_api_yolov3_detect_out(u8 *param, u32 size);

// Records one image may write (at least 1) for the given heads.
i64 yolov3_detect_out_max_records(int input_num, const int *head_shape, int num_boxes, int keep_top_k);

void nodechip_yolov3_detect_out(const u64 *bottom_addrs, u64 top_addr, int input_num, int num, const int *head_shape,
                                int num_classes, int num_boxes, int mask_group, int keep_top_k, float nms_threshold,
                                float confidence_threshold, const float *biases, const float *strides,
                                const float *mask, int *count, cmd_id_node_t *node);
}
