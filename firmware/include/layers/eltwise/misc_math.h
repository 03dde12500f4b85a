// Small float layers over flat runs of elements: the class test of every
// float (infinite, NaN or finite) as a byte mask (API 139), and the scaled
// sum of x^(2^count) into one float (API 128); the per-position sum over the
// batch (API 8), the band of every innermost matrix, and 8-bit indices
// looked up in a 256-entry table.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
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

// The table lookup's 256 entries of 32 bits, copied to L2 SRAM for every call;
// the tensor engine names the copy by its offset in L2 SRAM.
#define LUT_TABLE_L2 0x10323800ull
#define LUT_TABLE_ENGINE 0x323800u
#define LUT_ENTRIES 256
// Indices at local 0, 32-bit results at 0x40000, 256 KB each a lane.
#define LUT_INDEX_LOCAL 0x0u
#define LUT_RESULT_LOCAL 0x40000u
#define LUT_AREA_BYTES 0x40000u

// Plan of the table lookup. 1N: the t = n c h w indices (one byte each) as
// one item of `channels` rows of `rows` elements (32 a row below 2048
// elements, else 64 rows), the last row cut at t. 4N: `groups` of four items
// interleaved in 32-bit words, each group c x h x w words, looked up once per
// item after shifting the words right by 8 bits. Rows are cut into `hsecs`
// sections that fit both areas.
typedef struct {
  int is_1n;
  i64 total;     // 1N: t
  int groups;    // 4N: ceil(n / 4); 1N: 1
  int channels;  // of the view
  int rows;      // of the view
  int w;         // 1 in 1N
  int hsecs;
  int area_count;
  local_area_t areas[2];
} lut_global_plan_t;
void lut_global_plan_of(lut_global_plan_t *plan, int n, int c, int h, int w, int is_1n);
// output[i] = table[index i] (32 bits each); is_1n 1: one int8 index per
// element, 0: 4N storage.
void nodechip_lut(u64 input, u64 output, u64 table, int n, int c, int h, int w, int is_1n, cmd_id_node_t *node);

u32 zv_api_f32_is(u8 *param, u32 size);
u32 zv_api_img_sum(u8 *param, u32 size);
u32 zv_api_sum_x2n(u8 *param, u32 size);
}

typedef struct {
  u64 input_addr, output_addr, length;
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
  u64 input_addr, output_addr;
  i32 accumulate, input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_img_sum_t;
static_assert(sizeof(zv_api_img_sum_t) == 36, "zv_api_img_sum_t is 36 bytes");
