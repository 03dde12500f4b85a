// Float32 3x3 convolution, stride 1, on the tensor engine's Winograd command
// from weights the host has already transformed into 4 x 4 tiles (API 49 with
// use_winograd 1 or 2), in the overlapped slice pipeline of the convolution.
//
// use_winograd 1: weights [icg][ocg][16] per group, bias [ocg];
// use_winograd 2: weights per lane [L][icg][ocn][16] (local channel j of lane L
// is output channel 64 j + L), bias [L][ocn]; one output-lane section only.
// Slices take the full width; an odd row count or width is computed with one
// extra bottom row or right column of padding.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define WINO_AREA_COUNT 8

typedef struct {
  int icg, ocg, ocn, ocns, icmax, nmax, ohc, ihmax, oh, ow;
  int resident;
  u64 bias_size, wsize, in_size, max_ofsize;
  u64 bias[2], weight[2], input[2], output[2];
  u64 top_local_offset1;
  local_area_t areas[WINO_AREA_COUNT];
} wino_layout_t;

extern "C" {

// ---- Planning (pure) ----
void wino_layout_of(wino_layout_t *l, int input_n, int input_c, int input_h, int input_w, int groups, int output_c,
                    int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r, int have_bias, int hsecs, int nsecs,
                    int icsecs, int ocsecs);

// ---- Layers ----
void nodechip_winograd_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr,
                                        int input_n, int input_c, int input_h, int input_w, int groups, int output_c,
                                        int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r, int have_bias,
                                        int result_add, int hsecs, int nsecs, int icsecs, int ocsecs, int if_relu,
                                        float relu_upper_limit, int use_winograd, cmd_id_node_t *node);
void nodechip_winograd_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                        u64 bias_addr, int input_n, int input_c, int input_h,
                                                        int input_w, int groups, int output_c, int pad_h_t,
                                                        int pad_h_b, int pad_w_l, int pad_w_r, int have_bias,
                                                        int result_add, int if_relu, float relu_upper_limit,
                                                        int use_winograd, cmd_id_node_t *node);
}
