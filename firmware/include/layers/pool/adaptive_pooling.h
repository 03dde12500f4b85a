// Adaptive max and average pooling (APIs 166 and 167): the output extent is
// given and output element (i, j) pools its own bin of the input, rows
// floor(i * ih / oh) to ceil((i + 1) * ih / oh) (quotients in float32) and
// columns likewise; neighbouring bins may share a row. One load, one pooling
// command whose window is the whole bin, and one store per bin and batch
// chunk, all on the caller's node; the ids restart whenever the GDMA id
// passes 32767.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Bin `i` of `out` bins over an extent `in`: its first element and its size.
void adaptive_bin_of(int i, int in, int out, int *start, int *size);
// The largest bin size over the `out` bins.
int adaptive_bin_max(int in, int out);

// Float: batches per chunk so that a chunk's bin and its results fit a lane
// (0 when not even one batch fits).
int adaptive_batches_per_chunk(int input_n, int input_c, int kh_max, int kw_max);

// API 166.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 output_h;
  i32 output_w;
  i32 is_avg_pooling;
} FW_PACKED zv_api_adaptive_pooling_forward_t;
static_assert(sizeof(zv_api_adaptive_pooling_forward_t) == 44, "zv_api_adaptive_pooling_forward_t is 44 bytes");

// API 167.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 output_h;
  i32 output_w;
  i32 pool_mode;
  i32 rshift;
  i32 reserved;
  i32 opd0_sign;
  i32 opd1_sign;
  i32 opd2_sign;
  i32 reserved2;
  i32 out_mode;
} FW_PACKED zv_api_adaptive_pooling_fix8b_forward_t;
static_assert(sizeof(zv_api_adaptive_pooling_fix8b_forward_t) == 72,
              "zv_api_adaptive_pooling_fix8b_forward_t is 72 bytes");

extern "C" {

u32 zv_api_adaptive_pooling_forward(u8 *param, u32 size);
u32 zv_api_adaptive_pooling_fix8b_forward(u8 *param, u32 size);

// Float32 NCHW; is_avg_pooling 0 max, else average.
void nodechip_adaptive_pooling_forward(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                       int input_w, int output_h, int output_w, int is_avg_pooling,
                                       cmd_id_node_t *node);
// 8-bit 4N; the signs, shift and ReLU as in the 8-bit pooling.
void nodechip_adaptive_pooling_fix8b_forward(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                             int input_w, int output_h, int output_w, int is_avg_pooling, int rshift,
                                             int reserved, int opd0_sign, int opd1_sign, int opd2_sign, int reserved2,
                                             int if_relu, cmd_id_node_t *node);
}
