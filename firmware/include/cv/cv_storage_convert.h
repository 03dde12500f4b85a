// Storage conversion of up to four images by an operation code:
//   0 RGB layout (planar or packed, R first or B first): rows of 64 through
//     local memory, one row per lane, the channels permuted by tensor copies
//     (bytes as floats on the way, words as they are);
//   1 data type (float32, 1N bytes, 4N bytes): device-to-device GDMA moves;
//   2 planar RGB bytes to a YUV layout: two rows per lane, the RGB-to-YUV
//     matrix, chroma means over 2 x 2 (4:2:0) or 1 x 2 (4:2:2) blocks,
//     results truncated to bytes;
//   3 a YUV layout to RGB (the YUV-to-RGB conversion).
#pragma once

#include "cmd/cmd_framework.h"
#include "cv/cv_common.h"

#define CV_STORAGE_MAX_IMAGES 4

// Operation codes.
#define CV_STORAGE_OP_RGB_LAYOUT 0
#define CV_STORAGE_OP_DATA_TYPE 1
#define CV_STORAGE_OP_RGB_TO_YUV 2
#define CV_STORAGE_OP_YUV_TO_RGB 3

// Local memory of the RGB layout change (per lane): the loaded row at 0, the
// permuted row at CV_RGB_LOCAL_DST, the byte rows' floats at CV_RGB_LOCAL_SCRATCH.
#define CV_RGB_LOCAL_DST 0x20000u
#define CV_RGB_LOCAL_SCRATCH 0x40000u

// Local memory of the RGB-to-YUV conversion (per lane, two rows each): the R,
// G, B bytes, one plane's floats on the way, the Y, U, V floats, the chroma
// pair sums and the interleaved chroma.
#define CV_RGB2YUV_LOCAL_R 0x00000u
#define CV_RGB2YUV_LOCAL_G 0x04000u
#define CV_RGB2YUV_LOCAL_B 0x08000u
#define CV_RGB2YUV_LOCAL_Y 0x30000u
#define CV_RGB2YUV_LOCAL_U 0x40000u
#define CV_RGB2YUV_LOCAL_V 0x50000u
#define CV_RGB2YUV_LOCAL_UV 0x60000u
#define CV_RGB2YUV_LOCAL_T 0x70000u
#define CV_RGB2YUV_LOCAL_PACK 0x78000u
// Widest row the conversion holds: two rows of floats in 64 KB.
#define CV_RGB2YUV_MAX_W 8192u

extern "C" {

// Element bytes of a data-type code: 1 for 1 and 3, else 4.
u32 cv_storage_elem_bytes(u32 data_type);

void nodechip_cv_zvcv_image_storage_convert(const u64 input[4], const u64 output[4], const u64 U[4], const u64 V[4],
                                            u32 count, u32 h, u32 w, u32 input_format, u32 output_format,
                                            u32 src_type, u32 dst_type, u8 op, cv_color_space_t colour_code,
                                            cmd_id_node_t *node);

// One image's channels between RGB layouts (codes 8 to 11).
void nodechip_cv_rgb_transform(u64 src, u64 dst, u32 input_format, u32 output_format, u32 elem_bytes, u32 w,
                               u32 h, cmd_id_node_t *node);
void nodechip_cv_data_type_transform(const u64 input[4], const u64 output[4], u32 count, u32 src_type,
                                     u32 dst_type, u32 w, u32 h, cmd_id_node_t *node);
void nodechip_cv_rgb_to_yuv(const u64 input[4], const u64 output[4], const u64 U[4], const u64 V[4], u32 h, u32 w,
                            u32 count, u32 output_format, cv_color_space_t colour_code, cmd_id_node_t *node);

typedef struct __attribute__((packed)) {
  u64 input[4];
  u64 output[4];
  u64 U[4];
  u64 V[4];
  u32 input_format, output_format;
  u32 src_type, dst_type;
  u32 count, h, w;
  u32 op;  // the low byte is the operation
  cv_color_space_t colour_code;
} zv_api_cv_storage_convert_t;
static_assert(sizeof(zv_api_cv_storage_convert_t) == 164, "zv_api_cv_storage_convert_t");

u32 zv_api_cv_storage_convert(u8 *param, u32 size);
}
