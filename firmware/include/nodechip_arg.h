// Arg max and arg min along one axis of a float32 tensor in device memory, and
// the API that reaches it (157).
//
// The reduced axis is walked row by row on the tensor engine: a running
// maximum and its index stay in local memory, and each further row is merged
// with one compare-and-select command. Equal values select the later row, so
// among equal extremes the highest index wins. Arg min negates every row
// first. Indices are float32 values in an N x C x H x W output whose reduced
// extent is 1. The layer only issues commands on the caller's node.
#pragma once

#include "cmd_common.h"
#include "fw_types.h"

// An output address with this value is not wanted.
#define ARG_NO_OUTPUT 0x7fffffffffffffffull

// Local areas of the walk, all from lane 0: the row being merged, the running
// maximum and the running index, each at most ARG_AREA_BYTES per lane.
#define ARG_AREA_BYTES 0x20000u
#define ARG_LOCAL_ROW 0x00000u
#define ARG_LOCAL_MAX 0x20000u
#define ARG_LOCAL_INDEX 0x40000u
// Longest stretch of the kept in-row direction held at once.
#define ARG_W_PIECE 8192
// Most channels of one piece (the tensor engine's channel field).
#define ARG_C_PIECE 4032

// The tensor as rows: `rows` rows (the reduced axis) of n x c x w elements,
// each direction with its element strides in the input and the output.
typedef struct {
  int n, c, w, rows;
  i64 in_n, in_c, in_w, in_row;
  i64 out_n, out_c, out_w;
} arg_view_t;

// How the n x c x w elements of a row are cut: pieces of at most n_piece
// items, c_piece channels and w_piece elements.
typedef struct {
  int n_piece, c_piece, w_piece;
} arg_plan_t;

// ---- API record ----

// API 157.
typedef struct {
  u64 input_addr;
  u64 value_out_addr;
  u64 index_out_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 axis;
  i32 method;
} FW_PACKED zv_api_arg_t;
static_assert(sizeof(zv_api_arg_t) == 48, "zv_api_arg_t is 48 bytes");

extern "C" {

// ---- Handler ----
u32 zv_api_arg(u8 *param, u32 size);

// ---- Planning (pure) ----

// The rows view of an N x C x H x W tensor reduced along `axis` (0 to 3): the
// three other axes in order become n, c and w.
void arg_view_of(arg_view_t *view, int N, int C, int H, int W, int axis);
// The piece sizes of a view's rows in the local areas.
void arg_plan_of(arg_plan_t *plan, const arg_view_t *view);

// ---- Layer ----

// Index of the largest (method 0) or smallest (method 1) element along `axis`
// into index_out (float32). value_out receives a copy of the input only when
// the axis has extent 1. Either output may be ARG_NO_OUTPUT.
void nodechip_arg(u64 input, u64 value_out, u64 index_out, int N, int C, int H, int W, int axis,
                  int method, cmd_id_node_t *node);
}
