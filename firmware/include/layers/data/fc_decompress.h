// Expansion of compressed 8-bit fully-connected weights, and API 162 that
// reaches it.
//
// Every one of the 64 lanes expands its own row: L = input_len x
// ceil(output_num / 64) weights, stored as P = ceil(L / 2) bytes of two 4-bit
// codes each (low nibble first), then the outliers. A compressed lane holds,
// from its start: the P code bytes padded to a multiple of 4 (P4), the
// outlier_num outlier bytes padded to a multiple of 4, then outlier_num 16-bit
// positions; lanes lie S bytes apart in device memory. Weight i is 4 x the
// signed 4-bit code i, except that outlier j replaces the weight at position j.
//
// The lanes are loaded at the caller's local offset, the nibbles unpacked by
// eight 8/16-bit arithmetic commands into three work areas behind them (each
// 2 x P4 bytes), the outliers put in place by one decompress command, and L
// bytes per lane stored to the output (lanes L bytes apart).
#pragma once
#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define FC_DECOMPRESS_AREA_COUNT 4

typedef struct {
  u64 L;          // expanded bytes per lane
  u64 P4;         // code bytes per lane, padded to 4
  u64 O4;         // outlier bytes per lane, padded to 4
  u64 S;          // compressed bytes per lane
  u64 positions;  // offset of the positions in a compressed lane
  u64 area[3];    // local offsets of the work areas; area[1] ends holding the weights
  u64 end;        // past the last byte used in a lane
  local_area_t areas[FC_DECOMPRESS_AREA_COUNT];
} fc_decompress_plan_t;

// API 162.
typedef struct {
  u64 src;
  u64 dst;
  u32 local_offset;
  i32 outlier_num;
  i32 input_len;
  i32 output_num;
} FW_PACKED zv_api_fc_weight_decompress_t;
static_assert(sizeof(zv_api_fc_weight_decompress_t) == 32, "zv_api_fc_weight_decompress_t is 32 bytes");

extern "C" {
// The sizes and local placement for the given counts (pure; counts not
// checked: negative ones give a plan that does not fit).
fc_decompress_plan_t fc_decompress_plan_of(u32 local_offset, int outlier_num, int input_len, int output_num);

void nodechip_fc_weight_decompress(u64 src, u64 dst, u32 local_offset, int outlier_num, int input_len,
                                   int output_num, cmd_id_node_t *node);

u32 zv_api_fc_weight_decompress(u8 *param, u32 size);
}
