// Affine and perspective warps of 8-bit images (1N, or one byte lane of 4N).
//
// A rectangle of at most 256 x 256 output pixels is one tile: its rows are
// spread over the lanes (rows_per_lane = ceil(roi_h / 64)), every pixel takes
// its column and row from the L2 coordinate planes, the tensor engine maps
// them through the matrix, clamps them to the source box the rectangle's
// corners span and turns them into crop indices; the source rows of a band of
// output rows are moved into L2 SRAM and GDE gathers the pixels. Nearest
// warps floor the mapped position (the affine one after adding 0.5); bilinear
// warps gather four neighbours and mix them by the fractions.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"
#include "cv/cv_common.h"

// Coordinate planes in L2 SRAM: column at 0x10303800, row 64 KB further.
#define CV_COORD_PLANE_X 0x10303800u
#define CV_COORD_PLANE_Y 0x10313800u
#define CV_COORD_PLANE_SIZE 256u
// L2 staging of a warp: index array, source crop, output rectangle.
#define CV_WARP_L2_START 0x10000000u
#define CV_WARP_L2_CAPACITY 0x300000u
// Outputs between restarts of the command ids.
#define CV_WARP_RESYNC_OUTPUTS 1000u

typedef enum {
  CV_WARP_AFFINE_NEAREST = 0,
  CV_WARP_PERSPECTIVE_NEAREST = 1,
  CV_WARP_AFFINE_BILINEAR = 2,
  CV_WARP_PERSPECTIVE_BILINEAR = 3,
} cv_warp_mode_t;

extern "C" {

// The source image of output k: the first i with k < prefix[i]; asserts when none.
u32 warp_get_idx(u32 k, const u32 *prefix, u32 input_count);

// The float floor of values 0 to 65535 (negative ones give 0): into dst; src
// is clobbered. Both are tagged local addresses of n x c x h x w floats
// (default layout).
void nodechip_to_floor(u32 src, u32 dst, const dim4_t *shape, cmd_id_node_t *node);
// The same, src kept (scratch is clobbered).
void nodechip_floor(u32 src, u32 scratch, u32 dst, const dim4_t *shape, cmd_id_node_t *node);

// One nearest warp of one output image; `matrix` is the output's matrix in
// DTCM (the affine warp adds 0.5 to its m2 and m5 in place). The affine warp
// does not wait; the perspective one waits at its end.
void nodechip_cv_warp_affine_1n(u64 src, u64 dst, u32 store_mode, u32 channels, u32 src_h, u32 src_w, u32 roi_h,
                                u32 roi_w, u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y, u32 src_stride,
                                float *matrix, cmd_id_node_t *node);
void nodechip_cv_warp_perspective_1n(u64 src, u64 dst, u32 store_mode, u32 channels, u32 src_h, u32 src_w,
                                     u32 roi_h, u32 roi_w, u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y,
                                     u32 src_stride, float *matrix, cmd_id_node_t *node);
// One bilinear warp; perspective 0 reads six matrix values, 1 nine. Waits.
void nodechip_cv_warp_bilinear(u64 src, u64 dst, u32 store_mode, u32 channels, u32 src_h, u32 src_w, u32 roi_h,
                               u32 roi_w, u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y, u32 src_stride,
                               float *matrix, u32 perspective, cmd_id_node_t *node);

// Up to four source images, output_counts[i] outputs of image i; the table at
// table_address holds the output addresses (one per output, 4N: one per group
// of four) and then one matrix per output. Waits at its end.
void nodechip_cv_warp(const u64 input[4], u64 table_address, const u32 output_counts[4], const u32 src_strides[4],
                      u32 store_mode, u32 input_count, u32 channels, u32 src_h, u32 src_w, u32 roi_h, u32 roi_w,
                      u32 dst_h, u32 dst_w, u32 roi_x, u32 roi_y, u32 mode, cmd_id_node_t *node);

typedef struct __attribute__((packed)) {
  u64 input[4];
  u64 table_address;
  u32 output_counts[4];
  u32 src_strides[4];
  u32 store_mode, input_count, channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, mode;
} zv_api_cv_warp_t;
static_assert(sizeof(zv_api_cv_warp_t) == 120, "zv_api_cv_warp_t");

typedef struct __attribute__((packed)) {
  u64 src, dst;
  float matrix[6];
  u32 channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y, src_stride;
} zv_api_cv_warp_bilinear_t;
static_assert(sizeof(zv_api_cv_warp_bilinear_t) == 80, "zv_api_cv_warp_bilinear_t");

u32 zv_api_cv_warp(u8 *param, u32 size);
u32 zv_api_warp_bilinear(u8 *param, u32 size);
}
