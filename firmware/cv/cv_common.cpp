#include "cv/cv_common.h"

#include "runtime/assert.h"

u64 cv_cur_dtcm_addr = DTCM_SCRATCH_START;

void cv_reset_dtcm(void) { cv_cur_dtcm_addr = DTCM_SCRATCH_START; }

u32 cv_take_dtcm(u32 bytes) {
  const u64 at = cv_cur_dtcm_addr;
  const u64 end = at + (((u64)bytes + 3) & ~(u64)3);
  ASSERT(end <= (u64)DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE, "%u bytes at 0x%x run past the DTCM scratch window",
         (unsigned)bytes, (unsigned)at);
  cv_cur_dtcm_addr = end;
  return (u32)at;
}

const float cv_yuv2rgb_matrix[CV_MATRIX_COUNT][3][4] = {
    // BT.601 full range
    {{1, 0, 1.402f, 0}, {1, -0.34414f, -0.71414f, 128}, {1, 1.772f, 0, 128}},
    // BT.601 limited range
    {{1.16438f, 0, 1.59603f, 16}, {1.16438f, -0.39176f, -0.81297f, 128}, {1.16438f, 2.01723f, 0, 128}},
    // BT.709 full range
    {{1, 0, 1.57472f, 0}, {1, -0.18731f, -0.46821f, 128}, {1, 1.85562f, 0, 128}},
    // BT.709 limited range
    {{1.16438f, 0, 1.79265f, 16}, {1.16438f, -0.21324f, -0.533f, 128}, {1.16438f, 2.11242f, 0, 128}},
};

const float cv_rgb2yuv_matrix[CV_MATRIX_COUNT][3][4] = {
    // BT.601 full range
    {{0.299f, 0.587f, 0.114f, 0}, {-0.16874f, -0.33126f, 0.5f, 128}, {0.5f, -0.41869f, -0.08131f, 128}},
    // BT.709 full range
    {{0.21264f, 0.71517f, 0.07219f, 0}, {-0.11459f, -0.38541f, 0.5f, 128}, {0.5f, -0.45416f, -0.04584f, 128}},
    // BT.601 limited range
    {{0.25679f, 0.50413f, 0.09791f, 16}, {-0.14822f, -0.29099f, 0.43922f, 128}, {0.43922f, -0.36779f, -0.07143f, 128}},
    // BT.709 limited range
    {{0.18262f, 0.6142f, 0.062f, 16}, {-0.10066f, -0.33855f, 0.43922f, 128}, {0.43922f, -0.39894f, -0.04027f, 128}},
};

u32 cv_yuv2rgb_matrix_index(u32 colour_code) {
  static const u8 pick[7] = {0, 1, 1, 2, 1, 1, 3};
  return colour_code < 7 ? pick[colour_code] : 1;
}

u32 cv_rgb2yuv_matrix_index(u32 colour_code) {
  static const u8 pick[6] = {0, 2, 1, 2, 2, 3};
  return colour_code >= 2 && colour_code <= 7 ? pick[colour_code - 2] : 2;
}
