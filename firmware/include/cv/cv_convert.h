// Linear convert, plane split and width alignment of images.
//
// nodechip_cv_convert_to: y = alpha * x + beta on every element of planar
// images, one (alpha, beta) per channel, converting the element type on the
// way. Rows go to local memory as float32 (row i of a block in lane i % 64,
// rows align32(w') elements apart in a lane), one md_linear command computes,
// and a GDMA move stores them. Three paths: an identity copy by one GDMA move
// when every pair is (1, 0) (not in mode 2), a uniform path that treats every
// row of the call as one sequence cut into slices of at most 4095 rows, and a
// per-channel path that loads one or three planes of an image at a time. 4N
// byte images (mode 1, 2) are worked on as rows of 4 x width bytes; mode 2
// writes each group of four as four separate images, group g at images 4g to
// 4g + 3 of the destination.
//
// nodechip_cv_split: images whose rows hold segments side by side become one
// plane per segment (through local memory, segment s of a row in lane s % 64).
//
// nodechip_cv_width_align: one strided GDMA copy of an n x c x h x w block.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/gdma.h"
#include "runtime/types.h"

// Storage types of the linear convert (a code above 5 acts as code 1).
typedef enum {
  CV_CONVERT_U8_C1 = 0,
  CV_CONVERT_U8_C3 = 1,
  CV_CONVERT_S8_C1 = 2,
  CV_CONVERT_S8_C3 = 3,
  CV_CONVERT_F32_C1 = 4,
  CV_CONVERT_F32_C3 = 5,
} cv_convert_type_t;

// 4N modes of the linear convert (any other value: 1N data).
#define CV_CONVERT_MODE_4N 1        // 4N in, 4N out
#define CV_CONVERT_MODE_4N_SPLIT 2  // 4N in, four separate images out

// Local memory of the linear convert (per lane): the float32 rows at 0; in
// mode 2 with a byte destination the converted bytes follow them.
#define CV_CONVERT_LOCAL_BYTES 0x80000u
// Rows per slice of the uniform path never exceed this.
#define CV_CONVERT_MAX_ROWS 4095

typedef enum {
  CV_CONVERT_PATH_IDENTITY = 0,
  CV_CONVERT_PATH_UNIFORM = 1,
  CV_CONVERT_PATH_PER_CHANNEL = 2,
} cv_convert_path_t;

// The plan of one linear convert.
typedef struct {
  gdma_value_format_t src_format, dst_format;
  int channels;             // of both sides
  int src_bytes, dst_bytes; // element bytes
  int row;                  // w': elements per row in use (4 x width in modes 1, 2)
  int stride;               // source row stride in elements (after widening)
  int split;                // mode 2: write four separate images
  cv_convert_path_t path;
  // Uniform path: rows of the whole sequence (per 4N group in mode 2) and rows per slice.
  i64 rows;
  int slice_rows;
  // Per-channel path: floats per lane of one plane, planes per load.
  i64 plane_stride;
  int planes_per_load;
  // Bytes per lane of one float32 slice or plane set, and of the byte scratch
  // (mode 2 with a byte destination; 0 otherwise) that follows it.
  u32 local_bytes, scratch_bytes;
} cv_convert_plan_t;

// Element format, channels and bytes of a storage type code.
void cv_convert_type_of(u32 code, gdma_value_format_t *format, int *channels, int *bytes);

// The plan of a call (pure): checks the arguments with assertions first.
void cv_convert_plan_of(u32 width, u32 stride, u32 height, const float alpha[3], const float beta[3], u32 mode,
                        u32 count, u32 src_type, u32 dst_type, cv_convert_plan_t *plan);

extern "C" {

// Returns 0; the caller waits for the engines. `spare` is not read.
int nodechip_cv_convert_to(u64 src, u32 width, u32 stride, u32 height, float alpha0, float beta0, float alpha1,
                           float beta1, float alpha2, float beta2, u32 mode, u32 count, u32 src_type,
                           u32 dst_type, u32 spare, u64 dst, cmd_id_node_t *node);

// Element size and GDMA format of the split's and the width alignment's data
// type code: 2 two bytes, 4 four bytes (float32), anything else one byte.
int cv_data_type_bytes(u32 data_type);
gdma_value_format_t cv_data_type_format(u32 data_type);

// Rows of rows x row_length elements split into row_length / segment planes of
// rows x segment; total_rows / rows images. No wait (the caller waits).
void nodechip_cv_split(u64 src, u64 dst, u32 row_length, u32 total_rows, u32 segment, u32 rows, u32 data_type,
                       cmd_id_node_t *node);

// Strided copy of an n x c x h x w block; waits for the engines.
void nodechip_cv_width_align(u64 src, u64 dst, u32 n, u32 c, u32 h, u32 w, u32 src_n_stride, u32 src_c_stride,
                             u32 src_h_stride, u32 dst_n_stride, u32 dst_c_stride, u32 dst_h_stride, u32 data_type,
                             cmd_id_node_t *node);

// ---- API records ----

typedef struct __attribute__((packed)) {
  u64 src;
  u32 width, stride, height;
  float alpha0, beta0, alpha1, beta1, alpha2, beta2;
  u32 mode, count, src_type, dst_type;
  u64 dst;
} zv_api_cv_convert_to_t;
static_assert(sizeof(zv_api_cv_convert_to_t) == 68, "zv_api_cv_convert_to_t");

// One row of API 502's parameter table (in device memory).
typedef struct __attribute__((packed)) {
  u32 width;  // also the stride
  u32 height;
  float alpha0, beta0, alpha1, beta1, alpha2, beta2;
  u32 mode, count, src_type, dst_type;
} cv_convert_to_row_t;
static_assert(sizeof(cv_convert_to_row_t) == 48, "cv_convert_to_row_t");

#define CV_CONVERT_INTER_MAX_IMAGES 3
typedef struct __attribute__((packed)) {
  struct __attribute__((packed)) {
    u64 input, output;
  } image[CV_CONVERT_INTER_MAX_IMAGES];
  u64 table;  // host address of `count` cv_convert_to_row_t
  u32 count;
} zv_api_cv_convert_to_inter_t;
static_assert(sizeof(zv_api_cv_convert_to_inter_t) == 60, "zv_api_cv_convert_to_inter_t");

typedef struct __attribute__((packed)) {
  u64 src, dst;
  u32 row_length, total_rows, segment, rows, data_type;
} zv_api_cv_split_t;
static_assert(sizeof(zv_api_cv_split_t) == 36, "zv_api_cv_split_t");

typedef struct __attribute__((packed)) {
  u64 src, dst;
  u32 n, c, h, w;
  u32 src_n_stride, src_c_stride, src_h_stride;
  u32 dst_n_stride, dst_c_stride, dst_h_stride;
  u32 data_type;
} zv_api_cv_width_align_t;
static_assert(sizeof(zv_api_cv_width_align_t) == 60, "zv_api_cv_width_align_t");

// Images of x rows of y x z elements become x rows of z x y (the permute of
// the transpose layer); elem_bytes 1, 2 or 4.
typedef struct __attribute__((packed)) {
  u64 src, dst;
  u32 x, y, z;
  u32 elem_bytes;
} zv_api_cv_transpose_t;
static_assert(sizeof(zv_api_cv_transpose_t) == 32, "zv_api_cv_transpose_t");

u32 zv_api_cv_convert_to(u8 *param, u32 size);
u32 zv_api_cv_convert_to_intergrated(u8 *param, u32 size);
u32 zv_api_cv_correct_layout(u8 *param, u32 size);
u32 zv_api_cv_split(u8 *param, u32 size);
u32 zv_api_cv_transpose(u8 *param, u32 size);
}
