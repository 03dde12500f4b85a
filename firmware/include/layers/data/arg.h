// Arg max and arg min along one axis of a tensor in device memory, float32 or
// 8-bit stored 4N, and the APIs that reach them (157, 158).
//
// The reduced axis is walked row by row on the tensor engine: a running
// maximum and its index stay in local memory as floats, and each further row
// is merged with one compare-and-select command. Float: equal values select
// the later row, so among equal extremes the highest index wins; indices are
// float32. 8-bit: the rows are converted to floats on the way in, the earlier
// row keeps equal values (the lowest index wins), and the indices are turned
// into int32 before they are stored. Arg min negates every row first. Outputs
// are N x C x H x W with the reduced extent 1. The layers only issue commands
// on the caller's node.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

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
// items, c_piece channels and w_piece elements; and the bytes per lane a
// largest piece takes in each local area (row, running maximum, running index).
#define ARG_AREA_COUNT 3
typedef struct {
  int n_piece, c_piece, w_piece;
  local_area_t areas[ARG_AREA_COUNT];
} arg_plan_t;

// ---- API records ----

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

// API 158.
typedef struct {
  u64 input_addr;
  u64 buffer_addr;
  u64 value_out_addr;
  u64 buffer2_addr;
  u64 index_out_addr;
  u64 index_buffer_addr;
  i32 is_signed;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 axis;
  i32 method;
} FW_PACKED zv_api_arg_fix8b_t;
static_assert(sizeof(zv_api_arg_fix8b_t) == 76, "zv_api_arg_fix8b_t is 76 bytes");

// Set from is_signed by every nodechip_arg_fix8b call: the 8-bit values are
// read and written as signed (non-zero) or unsigned bytes.
extern int input_sign_g;

extern "C" {

// ---- Handler ----
u32 zv_api_arg(u8 *param, u32 size);
u32 zv_api_arg_fix8b(u8 *param, u32 size);

// ---- Planning (pure) ----

// The rows view of an N x C x H x W tensor reduced along `axis` (0 to 3): the
// three other axes in order become n, c and w.
void arg_view_of(arg_view_t *view, int N, int C, int H, int W, int axis);
// The piece sizes of a view's rows in the local areas.
void arg_plan_of(arg_plan_t *plan, const arg_view_t *view);

// ---- Layer ----

// Index of the largest (method 0) or smallest (method 1) element along `axis`
// into index_out (float32), and that element into value_out (the input itself
// when the axis has extent 1). Either output may be ARG_NO_OUTPUT.
void nodechip_arg(u64 input, u64 value_out, u64 index_out, int N, int C, int H, int W, int axis,
                  int method, cmd_id_node_t *node);

// The same for 8-bit data stored 4N (four batch items interleaved byte by byte
// in each word): the largest (method other than 1) or smallest (method 1)
// value into value_out (8-bit, 4N, the axis's extent 1) and its index into
// index_out (int32, 1N order); among equal extremes the lowest index. The
// rows are read from the 4N input directly: buffer, buffer2 and the index
// scratch are not written. An index scratch of ARG_NO_OUTPUT with index_out
// wanted is refused for axes 1 to 3; an axis below 0 is logged and ignored.
void nodechip_arg_fix8b(u64 input, u64 buffer, u64 value_out, u64 buffer2, u64 index_out,
                        u64 imm_index_global_addr, int is_signed, int N, int C, int H, int W, int axis,
                        int method, cmd_id_node_t *node);
}
