// Float PReLU (one slope per channel, or one shared by all channels) and
// dropout on tensors in device memory; and the APIs that reach them (22, 10).
//
// PReLU cuts the tensor into channel, batch and spatial pieces (at most 4095
// channels and 65519 elements a plane, whole bank shares a buffer) and runs
// load, local PReLU and store for each piece in turn on the caller's node.
// Dropout keeps an element where its random value exceeds the ratio, scaled by
// 1 / (1 - ratio), writes 0.0 elsewhere and stores the selection (1.0 or 0.0
// per element, densely, one float an element); a three-stream pipeline
// overlaps the load of piece k + 1 with the computation of piece k.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// The pieces of PReLU.
typedef struct {
  int c_all, n_all;  // c' and n' (n x c and 1 when the slope is shared)
  int banks;         // D
  u32 share;         // S
  int cp, nb, sl;    // channels, batch items and plane elements of a piece
  u32 slice_bytes;   // per lane, of the largest piece
  int area_count;
  local_area_t areas[3];
} prelu_plan_t;

// Local layout of a dropout piece of Lp elements.
typedef struct {
  u32 section_bytes;  // Bp = ceil(ceil(Lp / 32) / 64) x 128
  u32 input[2];       // slot i mod 2; the random values Bp after it
  u32 output;         // 0x20000; the selection Bp after it
} dropout_layout_t;

// ---- API records ----

typedef struct {
  u64 input_addr;
  u64 slope_addr;
  u64 output_addr;
  float shared_slope;
  u32 channel_shared;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_prelu_forward_t;
static_assert(sizeof(zv_api_prelu_forward_t) == 48, "zv_api_prelu_forward_t is 48 bytes");

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 mask_addr;
  u64 rand_addr;
  i32 rand_offset;  // bytes, added to the random-data address
  float dropout_ratio;
  u32 outer_size, inner_size;  // L = outer_size x inner_size elements
} FW_PACKED zv_api_dropout_forward_t;
static_assert(sizeof(zv_api_dropout_forward_t) == 48, "zv_api_dropout_forward_t is 48 bytes");

extern "C" {

u32 zv_api_prelu_forward(u8 *param, u32 size);
u32 zv_api_dropout_forward(u8 *param, u32 size);

// ---- Planning (pure) ----
void prelu_plan_of(prelu_plan_t *plan, int channel_shared, int n, int c, int h, int w);
// Pieces of a dropout over L elements (0 for none); -1 when none fits.
int get_slice_num_dropout_forward(i64 L);
dropout_layout_t dropout_layout_of(int Lp);

// ---- Layers ----
void nodechip_prelu_forward(u64 input, u64 slope, u64 output, float shared_slope, int channel_shared, int n, int c,
                            int h, int w, cmd_id_node_t *node);
void nodechip_dropout_forward(u64 input, u64 output, u64 select, u64 random, int random_offset, float ratio, int a,
                              int b, cmd_id_node_t *node);
}
