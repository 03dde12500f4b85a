// Local response normalisation across channels, float (API 56) and 8-bit 4N:
//   y = x (k + alpha / size x sum of x^2 over |d| <= (size - 1) / 2) ^ -beta.
// The squares of neighbouring channels live in neighbouring lanes, so the
// window sums are built by GDMA lane shifts that add the squares shifted by
// 1, 2, ... lanes each way onto a copy of them; the power runs on the tensor
// engine through ln and exp.
//
// Float: two 256 KB slots; a slice of n' items and h' rows takes its data,
// squares and sums (three areas of its size) in its slot, and the power's
// scratch lies at 3 x (first slice size) in slot 0. Slices load on the move
// copy while the previous one is shifted, powered, multiplied and stored.
//
// 8-bit: slices of whole 4N groups and rows in two buffer sets of 256 KB; the
// int8 slice is converted to float (x' = x x scale_in), the neighbours' bytes
// come by lane shifts of the int8 words into cleared shift buffers (channels a
// shift does not reach read zero), and the result is scaled by scale_out and
// packed back to 4N. Each float buffer holds 64 KB: four items of a group's
// rows.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define LRN_SLOT_BYTES 0x40000
#define LRN_FIX8B_FLOAT_BYTES 0x10000

// The 8-bit slice plan: J groups and r rows a slice.
typedef struct {
  int groups, rows;     // J, r
  int nsecs, hsecs;
  u32 group_bytes;      // C1: one group's 4N words of r rows, per lane
} lrn_fix8b_plan_t;

extern "C" {

// Section counts that make `buffers` x slice size fit a slot.
void lrn_split_nh(int buffers, int n, int c, int h, int w, int *nsecs, int *hsecs);

void lrn_split_nh_fix8b(lrn_fix8b_plan_t *plan, int n, int c, int h, int w);

void nodechip_lrn_forward_parallel(u64 input_global_addr, u64 output_global_addr, int input_n, int input_c,
                                   int input_h, int input_w, float alpha, int local_size, float beta, float k,
                                   cmd_id_node_t *node);

void nodechip_lrn_fix8b_forward_parallel(u64 input_global_addr, u64 output_global_addr, int input_n, int input_c,
                                         int input_h, int input_w, int sign_input, float alpha, int local_size,
                                         float beta, float k, float scale_in, float scale_out, cmd_id_node_t *node);

u32 zv_api_lrn_forward_parallel(u8 *param, u32 size);
}

typedef struct {
  u64 input_addr, output_addr;
  i32 input_n, input_c, input_h, input_w;
  float alpha;
  i32 size;
  float beta, k;
} FW_PACKED zv_api_lrn_forward_parallel_t;
static_assert(sizeof(zv_api_lrn_forward_parallel_t) == 48, "zv_api_lrn_forward_parallel_t is 48 bytes");
