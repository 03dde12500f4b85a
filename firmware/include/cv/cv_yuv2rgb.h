// YUV to RGB conversion of up to four images of 8-bit YUV planes.
//
// The image rows are cut into blocks of h' rows (a power of two), block b in
// lane b % c of row group b / c; wide images are also cut into column slices.
// A slice (n' images x c lanes x h' rows x w' columns) is loaded as bytes,
// turned into floats through the byte-to-float table, the chroma upsampled by
// nearest neighbour (one chroma pair serves 2 x 2, 1 x 2 or 1 x 1 pixels), the
// colour matrix applied, R, G, B clamped to [0, 255] and packed as floats, 1N
// bytes (truncated) or 4N bytes, and stored as three planes per image. Slices
// alternate between two halves of local memory so that the next slice's loads
// and the previous slice's stores overlap the conversion.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"
#include "cv/cv_common.h"

// Local memory of one half (ping at 0, pong at CV_YUV_PONG), per lane.
#define CV_YUV_PONG 0x40000u
#define CV_YUV_LOCAL_Y 0x00000u       // Y bytes; later the R floats
#define CV_YUV_LOCAL_U 0x08000u       // U bytes (or the interleaved chroma bytes)
#define CV_YUV_LOCAL_V 0x0C000u       // V bytes
#define CV_YUV_LOCAL_YF 0x10000u      // Y floats; later the B floats
#define CV_YUV_LOCAL_UV 0x20000u      // chroma floats, U at even and V at odd positions
#define CV_YUV_LOCAL_G 0x30000u       // G floats (before: the planar chroma floats)
#define CV_YUV_HALF_BYTES 0x38000u    // bytes of a half in use at most

// Per-lane byte budgets of the tile plan.
#define CV_YUV_BUDGET 8192
#define CV_YUV_BUDGET_4N 2048

// Where R, G, B go: code 8 gives planes R, G, B; any other code B, G, R.
#define CV_YUV_OUTPUT_RGB 8

extern "C" {

// The tile of a slice: n images, c lanes (row blocks), h rows per lane, w
// columns. Pure.
dim4_t split_tensor_for_yuv2rgb(u32 n, u32 h, u32 w, u32 budget);

// Y-plane size over one chroma plane's size for a layout (4, 2 or 1).
u32 cv_yuv_chroma_ratio(u32 image_format);

// Kernels on local tiles (tagged addresses), shared with the storage
// conversion. Bytes to floats through the byte-to-float table: n x lanes x
// rows x cols, each item's bytes ALIGN(rows x cols, 128) apart, its floats
// ALIGN(rows x cols, 32) apart.
void convert_1N_INT8_to_FP32(u32 src, u32 dst, u32 n, u32 lanes, u32 rows, u32 cols, cmd_id_node_t *node);
// Clamps n x lanes x 1 x per floats (default layout) to [0, 255] in place.
void clip_tensor(u32 addr, const dim4_t *shape, cmd_id_node_t *node);
// Floats within [0, 255] truncated to bytes packed in order, four to a word:
// n items of `per` values (ALIGN(per, 32) apart) become ceil(per / 4) words per
// item, ALIGN(ceil(per / 4), 32) words apart, at the tile's start; `scratch`
// holds the packed words on the way.
void convert_FP32_to_1N_INT8(u32 addr, u32 n, u32 lanes, u32 per, u32 scratch, cmd_id_node_t *node);
// n images (n <= 4) of `per` floats (ALIGN(per, 32) apart) truncated into one
// 4N group in image 0's place, image j in byte j.
void convert_FP32_to_4N_INT8(u32 addr, u32 n, u32 lanes, u32 per, cmd_id_node_t *node);

// input: three u64 plane addresses per image (Y, U, V; the interleaved layouts
// read their chroma from the second and not the third); output: one address
// per image (dst_type 2: output[0] for the group). No wait.
void nodechip_cv_yuv2rgb_ext(const u64 input[12], u32 src_mode, u32 image_format, const u64 output[4],
                             u32 dst_type, u32 output_code, u32 input_n, u32 h, u32 w, cv_color_space_t colour_code,
                             cmd_id_node_t *node);

typedef struct __attribute__((packed)) {
  u64 input[12];   // three planes per image
  u64 output[4];   // one per image
  u32 src_type;    // must be 1
  u32 image_format;
  u32 input_n;     // 0 to 4; 0 does nothing
  u32 input_h;
  u32 input_w;
  u32 output_mode;  // the data type of the result
  u32 output_format;
} zv_api_cv_yuv2rgb_t;
static_assert(sizeof(zv_api_cv_yuv2rgb_t) == 156, "zv_api_cv_yuv2rgb_t");

u32 zv_api_cv_yuv2rgb(u8 *param, u32 size);
}
