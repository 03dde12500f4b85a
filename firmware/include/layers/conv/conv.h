// Float32 2-D convolution of NCHW tensors in device memory (API 49): grouped,
// dilated, padded and strided, with bias, accumulation into the output and
// ReLU with an upper limit.
//
// The work is cut by groups, output-lane sections, batch, output rows, output
// columns and input-channel sections (the host's or the data split's counts).
// Each lane holds two bias, weight, input and output buffers used alternately:
// loads of one step run on a move copy of the caller's node while the
// convolution of the step before runs on a compute copy, and the store of a
// finished output slice overlaps the next slice's work.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/conv_window.h"
#include "cmd/data_split.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define CONV_AREA_COUNT 9

// The layout of one call, from the largest slice.
typedef struct {
  int icg, ocg, ocn, icg_even, ics, ics_even, ocns;
  int nmax, ohmax, owmax, ihmax, iwmax, khe, kwe, oh, ow;
  u64 bias_size, wsize, in_size, max_ofsize;
  u64 bias[2], weight[2], input[2], output[2];
  u64 top_local_offset1, tmp_offset;
  local_area_t areas[CONV_AREA_COUNT];
  int area_count;
} conv_layout_t;

// One axis of a slice: output [o0, o0 + oc) from input [first, first + count)
// with the pads before and after.
typedef struct {
  int o0, ocnt, first, count, pad_lo, pad_hi;
} conv_span_t;

// Parts (of whole output-lane rows) in which the first and the last pipeline
// step of a group convolve.
typedef struct {
  int head, tail;
} conv_edge_parts_t;

// API 49.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 weight_addr;
  u64 bias_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 groups;
  i32 output_c;
  i32 kh;
  i32 kw;
  i32 dh;
  i32 dw;
  i32 pad_h_t;
  i32 pad_w_l;
  i32 pad_h_b;
  i32 pad_w_r;
  i32 stride_h;
  i32 stride_w;
  i32 using_bias;
  i32 result_add;
  u32 use_winograd;
  i32 hsecs;
  i32 nsecs;
  i32 icsecs;
  i32 ocsecs;
} FW_PACKED zv_api_conv_forward_parallel_t;
static_assert(sizeof(zv_api_conv_forward_parallel_t) == 124, "zv_api_conv_forward_parallel_t is 124 bytes");

extern "C" {

u32 zv_api_conv_forward_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----
void conv_layout_of(conv_layout_t *l, int input_n, int input_c, int input_h, int input_w, int groups, int output_c,
                    const conv_window_t *w, int have_bias, const conv_secs_info_t *secs);
// The input span of output [o0, o0 + ocnt) along an axis of `extent` inputs.
void conv_span_of(conv_span_t *s, int o0, int ocnt, int stride, int dk, int pad_lo, int extent);
// Size and start of section idx of total cut into secs (the first
// total % secs sections one larger).
int conv_sec_size(int total, int secs, int idx);
int conv_sec_start(int total, int secs, int idx);

// total cut into sections with the first r one larger than q: section i
// starts at i * q + min(i, r). Computed once, so the issue loops divide no
// more.
typedef struct {
  int q, r;
} conv_cut_t;

// What every step of one call shares: the layout, the geometry, the section
// counts and their cuts, and the edge parts of the pipeline.
typedef struct {
  conv_layout_t l;
  conv_window_t w;
  int input_n, input_c, input_h, input_w, groups, output_c, have_bias, result_add;
  int ocsecs, icsecs, nsecs, hsecs, wsecs;
  conv_cut_t oc_cut, n_cut, h_cut, w_cut;  // output-lane rows, batch, output rows, output columns
  conv_edge_parts_t edge;
} conv_pipe_plan_t;

// One output slice's region: group g, output channels [oc0, oc0 + ch) of the
// group (lanes lane rows), items [n0, n0 + nc), rows hs and columns ws, held
// at local offset out.
typedef struct {
  int g, oc0, ch, lanes, n0, nc;
  conv_span_t hs, ws;
  u32 out;  // output buffer: set by the issue loop (the buffers alternate)
} conv_slice_t;

// One slice of the pipeline: its region, its indices and what its steps do.
typedef struct {
  conv_slice_t at;
  int oc_sec, n_sec, h_sec, w_sec;
  int first;        // the group's first slice: its loads go on the caller's node
  int last;         // the group's last slice
  int empty;        // no input row or column falls inside the input
  int cut_h, cut_w; // padded rows (or columns) beyond one command: convolved in pieces
  int head;         // parts the first step's weights load in (1: at once)
  int parts;        // parts of whole lane rows convolved one by one
  int store_parts;  // each part stored as soon as it is done
} conv_slice_plan_t;

// One step of a slice: input-channel section k.
typedef struct {
  int k, ic0, ics, ic_even;  // input channels [ic0, ic0 + ics) of the group, ic_even rounded up to even
  int first;                 // the group's first step: no move/compute pair to merge yet
  int load_input;            // load the input slab (not for an empty slice)
  int load_weights;          // load this section's weights (into the other buffer)
  int weights_in_parts;      // one load per part, each before its convolution
  int load_bias;             // the output section's biases, after its first loads
  int accumulate;            // add to the output buffer's values
  int bias_now;              // add the bias in this step's convolution
} conv_step_t;

// The plan of one call; the counts are positive.
void conv_pipe_plan_of(conv_pipe_plan_t *p, int input_n, int input_c, int input_h, int input_w, int groups,
                       int output_c, const conv_window_t *w, int have_bias, int result_add,
                       const conv_secs_info_t *secs);
conv_slice_plan_t conv_slice_of(const conv_pipe_plan_t *p, int g, int oc_sec, int n_sec, int h_sec, int w_sec);
conv_step_t conv_step_of(const conv_pipe_plan_t *p, const conv_slice_plan_t *s, int k);

// Products per pipeline step the wrappers aim at: about 20 us of
// tensor-engine time (float; the 8-bit products run four times faster), well
// above the ARM's cost of issuing one step's commands.
#define CONV_PIPE_STEP_MACS (1ll << 24)
#define CONV_FIX8B_PIPE_STEP_MACS (1ll << 26)
// The edges of the pipeline. A call's first convolution waits for all the
// weights of its section unless the first step convolves its output-lane rows
// in parts, each after its own share of the weights; the last store waits for
// the whole last convolution unless the last step stores each part as it is
// done. Every part costs the ARM one more convolution command and one more
// move (about 8 us), so: the first step splits in two once its weights reach
// CONV_HEAD_SPLIT_BYTES, the last into at most CONV_TAIL_PARTS, no step into
// parts of fewer than part_macs products (short steps leave the ARM no time
// to spare), and one lane row not at all. Parts apply to steps of one batch
// item (one group of four for 8-bit), one input-channel section, convolved in
// one command.
#define CONV_HEAD_SPLIT_BYTES (64u << 10)
#define CONV_TAIL_PARTS 4
#define CONV_PART_MACS (1ll << 22)
#define CONV_FIX8B_PART_MACS (1ll << 24)
void conv_edge_parts_of(conv_edge_parts_t *p, int lane_rows, u64 weight_bytes, i64 step_macs, i64 part_macs);

// Raises the row sections of a split so that a large layer runs as several
// pipeline steps of about step_macs products each (so loads and stores
// overlap the convolutions), never above one row per section. Splits that
// already cut columns are left alone; smaller slices always fit the split's
// layout.
void conv_pipeline_secs(conv_secs_info_t *secs, i64 step_macs, int input_n, int input_c, int groups, int output_c,
                        int kh, int kw, int output_h, int output_w);

// ---- Layers ----
// Pads in the order top, left, bottom, right. weight_layout 1: per output
// channel [kh x kw][input channels]; otherwise [input channels][kh x kw]; input
// channels of a group rounded up to even.
void nodechip_conv_forward_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n,
                                    int input_c, int input_h, int input_w, int groups, int output_c, int kh, int kw,
                                    int dh, int dw, int pad_h_t, int pad_w_l, int pad_h_b, int pad_w_r,
                                    int stride_h, int stride_w, int have_bias, int result_add, int hsecs, int wsecs,
                                    int nsecs, int icsecs, int ocsecs, int if_relu, float relu_upper_limit,
                                    int weight_layout, cmd_id_node_t *node);
// The counts from global_conv_data_split, with the row sections raised by
// conv_pipeline_secs; weight layout 1. Pads: top, bottom, left, right.
void nodechip_conv_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                    u64 bias_addr, int input_n, int input_c, int input_h,
                                                    int input_w, int groups, int output_c, int kh, int kw, int dh,
                                                    int dw, int pad_h_t, int pad_h_b, int pad_w_l, int pad_w_r,
                                                    int stride_h, int stride_w, int have_bias, int result_add,
                                                    int if_relu, float relu_upper_limit, cmd_id_node_t *node);
}
