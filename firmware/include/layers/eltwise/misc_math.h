// Small float layers over flat runs of elements: the class test of every
// float (infinite, NaN or finite) as a byte mask (API 139), and the scaled
// sum of x^(2^count) into one float (API 128); the per-position sum over the
// batch (API 8) and the band of every innermost matrix.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Pieces of the sum of powers: 64 channels of at most 48 rows of 1024
// elements, 192 KB a lane.
#define SUM_X2N_ROWS 48

extern "C" {

// what 0: infinite, 1: NaN, 2: finite; one byte 1 or 0 per element.
void nodechip_f32_is(u64 input, u64 output, u64 length, int what, cmd_id_node_t *node);
// output = scale x sum of x^(2^count).
void nodechip_sum_x2n(u64 input, u64 output, u64 length, int count, float scale, cmd_id_node_t *node);

// The n, c and h section counts of the batch sum (pure); the assertion when
// no slice fits.
void get_slice_num_img_sum(int n, int c, int h, int w, int *nsecs, int *csecs, int *hsecs);
// output (c x h x w) = sum over the n images (+ its old contents when
// accumulate).
void nodechip_img_sum(u64 input, u64 output, int accumulate, int n, int c, int h, int w, cmd_id_node_t *node);
// Keeps, in every matrix of the last two dimensions, the columns m - lower ..
// m + upper of row m (a negative bound: the whole side), zeroes the rest.
void nodechip_matrix_band_part(u64 input, u64 output, const int *shape, int dims, int lower, int upper,
                               cmd_id_node_t *node);

u32 zv_api_f32_is(u8 *param, u32 size);
u32 zv_api_img_sum(u8 *param, u32 size);
u32 zv_api_sum_x2n(u8 *param, u32 size);
}

typedef struct {
  u64 input, output, length;
  i32 what;
} FW_PACKED zv_api_f32_is_t;
static_assert(sizeof(zv_api_f32_is_t) == 28, "zv_api_f32_is_t is 28 bytes");

typedef struct {
  u64 input, output, length;
  i32 count;
  float scale;
} FW_PACKED zv_api_sum_x2n_t;
static_assert(sizeof(zv_api_sum_x2n_t) == 32, "zv_api_sum_x2n_t is 32 bytes");

typedef struct {
  u64 input, output;
  i32 accumulate, n, c, h, w;
} FW_PACKED zv_api_img_sum_t;
static_assert(sizeof(zv_api_img_sum_t) == 36, "zv_api_img_sum_t is 36 bytes");
