// What the vision operators share: the DTCM scratch cursor, the image layout
// and data-type codes.
//
// The cursor is the operators' bump pointer in the DTCM scratch window
// (DTCM_SCRATCH_START, DTCM_SCRATCH_SIZE bytes). A handler that hands tables to
// an operator sets it to the window's start, copies each table in at the cursor
// (pack_info_to_dtcm) and advances it; an operator takes what it needs at the
// cursor. Nothing in the window outlives a message: every vision handler sets
// the cursor back to the start before it uses the window and after its
// operator has finished, so a call that failed half-way leaves nothing behind.
#pragma once

#include "runtime/regs.h"
#include "runtime/types.h"

// Image layouts (one u32 code per call).
typedef enum {
  CV_YUV420_PLANAR = 0,
  CV_YUV422_PLANAR = 1,
  CV_YUV444_PLANAR = 2,
  CV_NV12 = 3,
  CV_NV21 = 4,
  CV_NV16 = 5,
  CV_NV61 = 6,
  CV_RGB_PLANAR = 8,
  CV_BGR_PLANAR = 9,
  CV_RGB_PACKED = 10,
  CV_BGR_PACKED = 11,
} cv_image_format_t;

// Sample types of the colour and storage conversions.
typedef enum {
  DATA_TYPE_EXT_FLOAT32 = 0,
  DATA_TYPE_EXT_1N_BYTE = 1,  // one unsigned byte per sample
  DATA_TYPE_EXT_4N_BYTE = 2,  // four images interleaved byte by byte in words
} cv_data_type_t;

extern "C" {

// The next free byte of the DTCM scratch window for the vision operators.
extern u64 cv_cur_dtcm_addr;

// Sets the cursor back to the window's start.
void cv_reset_dtcm(void);

// Takes `bytes` at the cursor (rounded up to a word) and returns their DTCM
// address; fails an assertion when they would run past the window's end.
u32 cv_take_dtcm(u32 bytes);
}

// Colour code of the colour and storage conversions (a u32 in every record
// and call): picks one of the colour matrices below, by a table that differs
// between the two directions (cv_yuv2rgb_matrix_index, cv_rgb2yuv_matrix_index).
typedef u32 cv_color_space_t;

// Colour matrices: three rows of {coefficient 0, 1, 2, offset}.
// YUV to RGB (rows R, G, B; columns Y, U, V, offset): the R row's offset is the
// Y offset, the G row's the chroma offset; only the R row's Y coefficient is read.
// RGB to YUV (rows Y, U, V; columns R, G, B, added offset).
#define CV_MATRIX_COUNT 4
extern "C" {
extern const float cv_yuv2rgb_matrix[CV_MATRIX_COUNT][3][4];
extern const float cv_rgb2yuv_matrix[CV_MATRIX_COUNT][3][4];
// The matrix a colour code picks in each direction (codes out of range pick the
// BT.601 limited-range matrix).
u32 cv_yuv2rgb_matrix_index(cv_color_space_t colour_code);
u32 cv_rgb2yuv_matrix_index(cv_color_space_t colour_code);
}
