// Float32 max and average pooling of NCHW tensors in device memory (API 52),
// with the large-stride worker beside it, and the slice frame that the 8-bit
// pooling shares.
//
// The frame flattens N x C into planes and cuts the work into slices of
// c_step planes by the input rows whose windows start h_step rows apart. Each
// lane holds two input buffers (ping-pong) and one output buffer: the load of
// slice k overlaps the pooling of slice k - 1, whose store follows. Planes of
// a slice lie in lane j % 64, lane row j / 64, each plane EU-aligned.
//
// Large strides (16 or more) pool at the largest divisor d <= 15 of the
// stride and keep every (stride / d)-th row and column of that result.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/conv_window.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"
#include "runtime/types.h"

// Average border rules.
#define POOL_AVG_MODE_PADDED 0  // the window clipped to the declared padded extent
#define POOL_AVG_MODE_REAL 1    // the input elements under the window

// Most planes in one pooling command.
#define POOL_PIECE_MAX 4095
#define POOL_LANE_BYTES 0x80000u

// ---- The slice frame (float32 and 8-bit) ----

// The geometry a frame walks. `planes` flattened planes of ih x iw elements
// (float32 or 4N words); windows start at -pad_top and every stride_h rows up
// to ih + pad_bottom - kh, where pad_bottom is the bottom pad the windows use.
typedef struct {
  int planes, ih, iw, oh, ow, kh, kw;
  int pad_top, pad_bottom, pad_left, pad_right;  // pads of the pooling commands
  int stride_h, stride_w;
  int c_step, h_step;
  u32 input[2], output;  // buffer offsets in every lane
  u32 input_bytes;       // per-lane bytes of one input buffer
} pool_frame_t;

// One slice: planes c0 .. c0 + c - 1, window starts from r0 (negative in the
// top pad); input rows rs .. rs + rows - 1 resident with pads pt and pb; output
// rows ro .. ro + out_rows - 1; and the per-lane bytes its buffers take.
typedef struct {
  int c0, c, r0;
  int rs, rows, pt, pb;
  int ro, out_rows;
  u32 input_bytes, output_bytes;
} pool_slice_t;

// One command's planes: `pieces` x `size` planes from lane row `row`.
typedef struct {
  int pieces, size, row;
} pool_piece_t;

// The two input buffers and the output buffer: q = floor(floor(8 * ratio) / 2)
// banks of 64 KB per input buffer (1 when that is 0), the output from 2q banks.
void pool_frame_buffers(pool_frame_t *f, float input_ratio);
// The slice whose planes start at c0 and windows at r0. Pure.
void pool_slice_of(const pool_frame_t *f, int c0, int r0, pool_slice_t *s);
// The next slice's start after (c0, r0); returns 0 when none is left. Pure.
int pool_next_slice(const pool_frame_t *f, int *c0, int *r0);
// The next piece of `remaining` planes from lane row `row`: returns 0 when the
// piece would be empty. Pure.
int pool_piece_of(int remaining, int row, pool_piece_t *p);
// Valid rows (columns) under the window of output row i of a resident slice:
// the window ends at t = kernel - pad + i * stride; min(t, extent) - max(t - kernel, 0).
int pool_valid_count(int i, int kernel, int pad, int stride, int extent);

// ---- Float pooling plan ----

// The pads the float pooling really uses, and the declared pads the average
// rule of mode 0 divides by.
typedef struct {
  int pad_h_extra, pad_w_extra;          // bottom and right pads the windows need
  int pad_h_bottom_adj, pad_w_right_adj;  // declared pads after the floor-rounding rule
} pool_pads_t;
void pool_pads_of(pool_pads_t *p, int input_h, int input_w, int output_h, int output_w, int kh, int kw,
                  int pad_h_top, int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h, int stride_w);

// What the slices of a frame need, for the checks before the first command:
// the largest per-lane input and output bytes, the fewest resident rows and
// output rows of a slice, whether the slices of every plane block make output
// rows 0 .. oh - 1 in order (else the first slice's rows that do not follow),
// the fewest input rows under a window (to average over), and the bottom pad
// of the last slice of a block.
typedef struct {
  u32 input_bytes, output_bytes;
  int min_rows, min_out_rows;
  int rows_follow, bad_ro, bad_end;
  int min_valid_rows, last_pb;
} pool_frame_walk_t;
void pool_frame_walk(const pool_frame_t *f, pool_frame_walk_t *w);

// The frame's areas: two input buffers and the output buffer up to the lane's end.
#define POOL_FRAME_AREAS 3
void pool_frame_areas(const pool_frame_t *f, local_area_t areas[POOL_FRAME_AREAS]);

// ---- Shared by the pooling sources ----

// The border rule of float averages on one output region at `offset` (n x c
// planes of out_rows x ow, n_stride and c_stride apart). Mode 1: every row
// whose window holds v != kh rows of the `rows` resident input rows (top pad
// pt) is scaled by kh / v, then every column likewise against iw. Mode 0:
// the last row by kh / last_row_rows and the last column by kw / last_col_cols
// where those are above 0. Other modes: nothing.
typedef struct {
  u32 offset;
  int n, c, out_rows, ow, n_stride, c_stride;
  int mode, kh, kw, pt, rows, stride_h, stride_w, pad_left, iw;
  int last_row_rows, last_col_cols;
} pool_border_t;
void pool_border_f32(const pool_border_t *b, cmd_id_node_t *node);
u32 pool_f32_bits(float f);
// The frame's load of a slice into `buf` and store of the output buffer, in
// 32-bit elements (float32 or 4N words); planes are ih x iw (oh x ow)
// elements apart in device memory, batch items `plane_stride` planes apart.
void pool_frame_load(const pool_frame_t *f, const pool_slice_t *s, u64 input_addr, int plane_stride, u32 buf,
                     cmd_id_node_t *node);
void pool_frame_store(const pool_frame_t *f, const pool_slice_t *s, u64 output_addr, int plane_stride,
                      cmd_id_node_t *node);

// ---- Large strides ----

// Engine stride d (the largest of 15..2 dividing the stride, else 1) and the
// extraction step e = stride / d.
void pool_stride_split(int stride, int *d, int *e);

// How the any-stride worker cuts its work. Blocks: whole planes, the batch
// items and planes cut into batch_pieces x chan_pieces blocks as even as they
// go (the larger blocks first). Rows: a plane per lane does not fit; each
// batch item, each group of 64 planes and each row_step output rows is a step.
#define POOL_WIDE_CUT_BLOCKS 0
#define POOL_WIDE_CUT_ROWS 1

// The any-stride worker's plan. The engine pools at strides d_h x d_w into an
// intermediate of mid_h x mid_w rows and columns at lane offset 0, of which
// every e_h-th row and e_w-th column is the output. Planes are per-lane
// EU-aligned element counts; per_ch the bytes one plane takes per lane.
// mid_h, mid_w or the input plane too large for the engine leave no steps.
typedef struct {
  int n, c, ih, iw, oh, ow;
  conv_window_t win;
  pool_pads_t pads;
  int d_h, e_h, d_w, e_w;
  i64 mid_h, mid_w;
  i64 in_plane, mid_plane, out_plane, big_plane, per_ch;
  int last_rows, last_cols;  // the declared last window of the padded average rule (0: none)
  float scale;               // 1 / (kh * kw)
  int cut;                   // POOL_WIDE_CUT_*
  int batch_pieces, chan_pieces, row_pieces;
  int batch_per, batch_rem, chan_per, chan_rem;  // blocks: sizes are per + (index < rem)
  int row_step;                                  // rows: output rows per step
} pool_wide_plan_t;

// One step: batch items n0 .. n0 + n - 1 and planes c0 .. c0 + c - 1 (c 0:
// an empty step), output rows oh0 .. oh0 + out_rows - 1 from the resident
// input rows row0 .. row0 + rows - 1 with the pads pt, pb the pooling command
// takes; mid_rows intermediate rows; lane_rows lane rows of planes;
// in_plane, out_plane the per-lane planes of input and output; the output at
// mid_off after the intermediate. first / last: the step holds the first /
// last output row of its planes (the bottom border rule applies on the last).
typedef struct {
  int n0, n, c0, c;
  int oh0, out_rows;
  int row0, rows, pt, pb, mid_rows;
  int lane_rows, in_plane, out_plane;
  u32 mid_off;
  int first, last;
} pool_wide_step_t;

// Pure; the window's dilations are 1.
void pool_wide_plan_of(pool_wide_plan_t *p, int n, int c, int ih, int iw, int oh, int ow, const conv_window_t *w);
// Step (batch piece i, plane piece j, row piece k) of the plan; pieces out of
// range give an empty step. Pure, and divides nothing.
pool_wide_step_t pool_wide_step_of(const pool_wide_plan_t *p, int i, int j, int k);

// ---- API record ----

// API 52.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 output_h;
  i32 output_w;
  i32 kh;
  i32 kw;
  i32 pad_h_t;
  i32 pad_w_l;
  i32 pad_h_b;
  i32 pad_w_r;
  i32 stride_h;
  i32 stride_w;
  i32 is_avg_pooling;
  i32 avg_pooling_mode;
  i32 nc_slice;
  i32 oh_slice;
  float lmem_scale;
} FW_PACKED zv_api_pooling_forward_parallel_t;
static_assert(sizeof(zv_api_pooling_forward_parallel_t) == 92, "zv_api_pooling_forward_parallel_t is 92 bytes");

extern "C" {

u32 zv_api_pooling_forward_parallel(u8 *param, u32 size);

// Strides 1 to 15, the host's slice plan. Pads: top, left, bottom, right.
void nodechip_pooling_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                       int input_w, int output_h, int output_w, int kh, int kw, int pad_h_top,
                                       int pad_w_left, int pad_h_bottom, int pad_w_right, int stride_h,
                                       int stride_w, int is_avg_pooling, int avg_pooling_mode, int if_relu,
                                       int c_step, int h_step, float input_ratio, cmd_id_node_t *node);

// The plan from global_pooling_data_split; one pad per axis for both sides.
void nodechip_pooling_forward_parallel_with_data_split(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                       int input_h, int input_w, int output_h, int output_w, int kh,
                                                       int kw, int pad_h, int pad_w, int stride_h, int stride_w,
                                                       int is_avg_pooling, int avg_pooling_mode, int if_relu,
                                                       cmd_id_node_t *node);

// Any stride; plans its own slices and runs them one after another. Pads:
// top, bottom, left, right.
void nodechip_pooling_forward_parallel_stride_no_limit(u64 input_addr, u64 output_addr, int input_n, int input_c,
                                                       int input_h, int input_w, int output_h, int output_w, int kh,
                                                       int kw, int stride_h, int stride_w, int is_avg_pooling,
                                                       int avg_pooling_mode, int if_relu, float relu_upper_limit,
                                                       int pad_h_top, int pad_h_bottom, int pad_w_left,
                                                       int pad_w_right, cmd_id_node_t *node);
}
