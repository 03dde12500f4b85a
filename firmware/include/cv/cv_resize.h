// Nearest-neighbour resize of up to 32 images by GDMA alone, and copy-to.
//
// A move with a fixed-point column step (multiplier below 4096, right shift
// at most 15) picks the source columns of one output row; one move per output
// row picks its source row. Rows are staged in L2 SRAM between the source and
// the output. One policy (one parameter record for every image) may keep the
// aspect ratio and pad the rest; different policies give each image its own
// record; multi-ROI mode resizes several regions of each image. A 4N byte
// batch can be split into 1N images on the way (need_switch); the planes of a
// three-plane image can be taken in reverse order (if_4N_to_1N).
//
// nodechip_copy_to: one image into a larger one, the larger one optionally
// filled with a border colour first.
#pragma once

#include "cmd/cmd_framework.h"
#include "cv/cv_common.h"

#define CV_RESIZE_MAX_IMAGES 32
// Staging of one output row of every image and channel.
#define CV_RESIZE_L2_STAGE 0x100a2000u
#define EX_INT_TABLE_OFFSET 0x300000u

// One image's parameters (in DTCM).
typedef struct __attribute__((packed)) {
  i32 start_x, start_y;
  i32 in_width, in_height;
  i32 out_width, out_height;
} img_para_t;
static_assert(sizeof(img_para_t) == 24, "img_para_t");

extern "C" {

// The fixed-point column step of `scale` (source width over output width).
void dynamic_get_w_info(int four_n, int *multiplier, int *shift, float scale);

// img_para: DTCM address of the records; roi_counts: DTCM address of the
// per-image ROI counts (multi-ROI mode). Returns 0.
int nodechip_cv_resize(u64 input, u32 img_para, u32 channels, u64 output, u64 roi_counts, u32 input_data_type,
                       u32 output_data_type, u32 width_stride, u32 height_stride, u32 image_num, u32 if_4N_to_1N,
                       u32 one_policy_in_diff_images, u32 need_switch, u32 multi_roi, u8 stretch_fit, u8 pad_a,
                       u8 pad_b, u8 pad_c, cmd_id_node_t *node);

// Bands of a kept-aspect resize: direction 1 top and bottom (top_rows each),
// otherwise left and right (left_columns each), over image_num images.
void nodechip_image_padding(u64 address, u32 direction, u32 top_rows, u32 left_columns, u8 value0, u8 value1,
                            u8 value2, u32 colour_order, u32 data_type, u32 image_num, u32 channels, u32 out_height,
                            u32 out_width, cmd_id_node_t *node);

// Returns 0.
int nodechip_copy_to(u64 src, u64 dst, u64 fill_base, u32 channels, u32 src_stride, u32 src_width, u32 src_height,
                     u32 dst_stride, u32 dst_width, u32 dst_height, u32 data_type, u32 colour_order, u32 packed,
                     u32 padding, u8 value0, u8 value1, u8 value2, cmd_id_node_t *node);

// The record of API 113 (the fields of the operator's arguments in order; the
// four words at 52 to 64 are not read).
typedef struct __attribute__((packed)) {
  u64 input;
  u64 img_para;  // host address of the records
  u32 channels;
  u64 output;
  u32 input_data_type, output_data_type;
  u32 width_stride, height_stride;
  u64 roi_counts;  // host address of the per-image ROI counts
  u32 unused[4];
  u32 image_num;
  u32 if_4N_to_1N, one_policy_in_diff_images, need_switch, multi_roi;
  u32 stretch_fit, pad_a, pad_b, pad_c;  // the low bytes are passed
} zv_api_cv_resize_t;
static_assert(sizeof(zv_api_cv_resize_t) == 104, "zv_api_cv_resize_t");

typedef struct __attribute__((packed)) {
  u64 src, dst;
  u64 fill_base;
  u32 channels, src_stride, src_width, src_height;
  u32 dst_stride, dst_width, dst_height, data_type;
  u32 colour_order, packed;
  u32 value0, value1, value2;  // the low bytes are passed
  u32 padding;
} zv_api_cv_copy_to_t;
static_assert(sizeof(zv_api_cv_copy_to_t) == 80, "zv_api_cv_copy_to_t");

u32 zv_api_cv_resize(u8 *param, u32 size);
u32 zv_api_copy_to(u8 *param, u32 size);
}
