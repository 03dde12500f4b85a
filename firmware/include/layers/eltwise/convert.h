// Conversions of whole tensors between float32 and 8-bit integers in 4N
// storage (four batch items a word), without scaling: floats are clamped to
// the 8-bit range and converted, integers become floats of the same value;
// APIs 9 (float to int8) and 90 (int8 to float). Device addresses may be
// given as offsets from the start of device memory (any address below it).
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_slice.h"
#include "runtime/types.h"

// The int8-to-float slice: groups of all rows, or one group of `rows` rows.
typedef struct {
  int groups, rows;
} int2float_plan_t;

extern "C" {

// Section counts for the float-to-int8 layers under `budget` bytes a lane.
void tensor_split_nh(nh_secs_t *out, int budget, int n, int cpl, int h, int w);
// Fails (returns 0) when one row does not fit.
int int2float_plan_of(int2float_plan_t *plan, int n, int c, int h, int w);

void nodechip_float2int8(u64 input, u64 output, int n, int c, int h, int w, int sign, cmd_id_node_t *node);
// The same rounding half away from zero, in 256 KB, the input slice kept.
void nodechip_float2int8_v2(u64 input, u64 output, int n, int c, int h, int w, int sign, cmd_id_node_t *node);
// mode must be STORAGE_MODE_4N_INT8.
void nodechip_global_int2float(u64 input, u64 output, int n, int c, int h, int w, int sign, int mode,
                               cmd_id_node_t *node);

u32 zv_api_nodechip_float2int8(u8 *param, u32 size);
u32 zv_api_global_int2float(u8 *param, u32 size);
}

typedef struct {
  u64 input_addr, output_addr;
  i32 input_n, input_c, input_h, input_w, is_signed;
} FW_PACKED zv_api_nodechip_float2int8_t;
static_assert(sizeof(zv_api_nodechip_float2int8_t) == 36, "zv_api_nodechip_float2int8_t is 36 bytes");

typedef struct {
  u64 input_addr, output_addr;
  i32 input_n, input_c, input_h, input_w, is_signed;
} FW_PACKED zv_api_global_int2float_t;
static_assert(sizeof(zv_api_global_int2float_t) == 36, "zv_api_global_int2float_t is 36 bytes");
