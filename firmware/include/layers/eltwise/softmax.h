// Softmax and log-softmax over the channel axis of an n x c x h x w tensor in
// device memory, float32 or 8-bit input (with a scale, optionally stored four
// batch items interleaved), float32 output; and API 67 that reaches it.
//
// Three paths by shape: c == 1 fills the output with a constant; the per-row
// path keeps the classes of one step along a lane, batch items across lanes,
// and is used for h = w = 1 and for c >= 1024 (one spatial position at a
// time); the whole-rows path keeps all c classes of a spatial piece resident
// (classes as the batch index, batch items across lanes, at most 64 a pass).
// Every row subtracts its own maximum before the exponential, so rows whose
// values lie far apart neither overflow nor lose their normaliser.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// Input precisions (`bottom_prec`).
#define SOFTMAX_PREC_FP32 0
#define SOFTMAX_PREC_INT8 1
#define SOFTMAX_PREC_UINT8 2

// Local capacity of one lane and the largest class step of the per-row path.
#define SOFTMAX_LOCAL_BYTES 0x80000u
#define SOFTMAX_MAX_CSEC 63392

// Classes per step and batch items per call of the per-row path.
typedef struct {
  int csec;
  int nsec;
} softmax_slice_t;

// Layout of the per-row path for `count` batch items (m = ceil(count / 64)
// per lane): untagged offsets, each region right behind the previous one.
typedef struct {
  int per_lane;  // m
  u32 tile;      // the step's classes, then x - max, exponentials and results
  u32 reduce;    // the running sum (the step's partial results in the original form)
  u32 step_max;  // the running maximum
  u32 scratch;   // work tensor of the exponential and the logarithm
  u32 copy;      // x - max (log-softmax only; size 0 otherwise)
  u32 end;       // end_lo: past the last region
  int area_count;
  local_area_t areas[5];
} softmax_row_layout_t;

// Plan of the whole-rows path: spatial pieces and the per-lane regions of the
// largest piece (D bytes a class row).
typedef struct {
  int pieces;      // spatial pieces (hsecs); <= 0 or > S when none fits
  int piece_max;   // positions in the largest piece
  u32 row_bytes;   // D = ALIGN(piece_max, 32) x 4
  u32 input;       // c rows from the local start
  u32 max_row;     // one row; the sum is written over it
  u32 block;       // c rows of x - max and exponentials
  u32 imm_end;     // imm_lo: end of the block
  u32 scratch;     // c rows, work tensor of the exponential
  int area_count;
  local_area_t areas[4];
} softmax_rows_plan_t;

// ---- API record ----

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 input_n, input_c, input_h, input_w;
  u32 bottom_prec;
  float input_scale;
  u32 input_stmode;
  u64 buffer_addr;
} FW_PACKED zv_api_softmax_forward_parallel_t;
static_assert(sizeof(zv_api_softmax_forward_parallel_t) == 52, "zv_api_softmax_forward_parallel_t is 52 bytes");

extern "C" {

u32 zv_api_softmax_forward_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----
softmax_slice_t get_slice_local_1x1(int c, int log_flag);
void softmax_row_layout_of(softmax_row_layout_t *layout, int count, int csec, int log_flag);
// For c classes over S positions with `capacity` bytes from `local_start`.
void softmax_rows_plan_of(softmax_rows_plan_t *plan, int c, int S, u32 local_start);

// ---- Layers ----
void nodechip_softmax_forward_parallel(u64 input, u64 output, int n, int c, int h, int w, int n2, int c2, int h2,
                                       int w2, int store_mode, int unused, u64 buffer, int bottom_prec, float scale,
                                       u32 log_flag, cmd_id_node_t *node);
// Softmax over the c classes of batch items [first, first + count) at
// position p of S; element (b, k, p) at (b c + k) S + p.
void nodechip_softmax_local_1x1(u64 input, u64 output, int first, int count, int csec, int c, int bottom_prec,
                                float scale, int S, int p, int log_flag, cmd_id_node_t *node);
// Softmax over the c classes from channel g of a tensor with f channels and
// S = h x w positions; element (b, k, p) at (g + f b + k) S + p.
void nodechip_softmax_from_global(u64 input, u64 output, int n, int c, int h, int w, u32 local_start, int f, int g,
                                  int bottom_prec, float scale, int log_flag, cmd_id_node_t *node);
}
