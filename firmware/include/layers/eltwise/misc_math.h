// Small float layers over flat runs of elements: the class test of every
// float (infinite, NaN or finite) as a byte mask (API 139), and the scaled
// sum of x^(2^count) into one float (API 128).
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

u32 zv_api_f32_is(u8 *param, u32 size);
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
