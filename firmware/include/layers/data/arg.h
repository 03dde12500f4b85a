// Arg max and arg min along one axis of a tensor in device memory, float32 or
// 8-bit stored 4N, and the APIs that reach them (157, 158).
//
// Float: the tensor is squeezed and viewed as n' x c' x h' x w' with the
// reduced extent in h' (axes 0 to 2) or w' (axis 3), and cut into pieces that
// fit a lane budget. Each piece is reduced on the tensor engine in a fixed
// number of commands: max pooling over the reduced direction, a mask of the
// positions equal to the maximum, the mask times an index ramp, max pooling
// again (the highest index among equal extremes); pieces of the reduced
// direction are merged by one compare-and-select each (a tie keeps the later
// piece). A NaN wins both arg max and arg min and the first NaN along the axis
// is reported: a second pooled ramp, counted down from the extent, finds the
// first NaN of every piece and overrides the result. Arg min reduces the
// negated values. Indices are float32.
//
// 8-bit: the bytes are read as floats and reduced by a halving tree of
// compare-and-select commands (lowest index among equal extremes); see
// nodechip_arg_fix8b below. The layers only issue commands on the caller's
// node.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// An output address with this value is not wanted.
#define ARG_NO_OUTPUT 0x7fffffffffffffffull

// ---- The float layer's plan ----

// Lane budget of the input piece: starts here and is lowered by a step until
// every area fits one lane.
#define ARG_LANE_BUDGET 0x40000
#define ARG_LANE_BUDGET_STEP 0x10000
#define ARG_LANE_BYTES 0x80000u
// Largest extent of a pooling window and of its output (the engine's fields).
#define ARG_POOL_MAX 2047
// The kept direction is cut into groups of this many rows; at most this many
// kept rows per piece (a multiple of the group below ARG_POOL_MAX).
#define ARG_KEEP_GROUP 32
#define ARG_KEEP_MAX 2016
// Most channels of one piece (the tensor engine's channel field).
#define ARG_C_PIECE 4032

// The squeezed tensor and its view: n' x c' x h' x w' with element strides in
// the input and in the index output (where the reduced extent is 1).
typedef struct {
  int dims[4];  // the squeezed shape (extents of 1 dropped, right-aligned)
  int axis;     // the axis in the squeezed shape
  int n, c, h, w;
  i64 in_stride[4];   // view strides of the input (n', c', h', w')
  i64 out_stride[4];  // view strides of the outputs; the reduced one unused
  int reduce_w;       // the reduced extent is w' (axis 3), else h'
  int len;            // the reduced extent
  int keep;           // the other plane extent (w' or h')
} arg_view_t;

// Local areas of one piece, in this order in arg_plan_t.areas.
enum {
  ARG_AREA_INPUT,      // the piece, then its mask times the ramp
  ARG_AREA_NAN_MASK,   // 1.0 where the piece holds a NaN, times the NaN ramp
  ARG_AREA_MAX,        // the piece's maxima (pieces after the first)
  ARG_AREA_INDEX,      // its indices
  ARG_AREA_NAN,        // its NaN scores
  ARG_AREA_KEPT_MAX,   // merged over the pieces of the reduced direction
  ARG_AREA_KEPT_INDEX,
  ARG_AREA_KEPT_NAN,
  ARG_AREA_RAMP_SOURCE,  // 0 .. len_piece - 1 in lane 0
  ARG_AREA_RAMP,         // the piece's indices, in every lane
  ARG_AREA_NAN_RAMP,     // len minus those: the first NaN scores highest
  ARG_AREA_COUNT
};

// The pieces: len_piece of the reduced extent by keep_piece of the other plane
// extent, n_piece items and c_piece channels; input_lmem_size is the lane
// budget that made every area fit (0: none did) and nc_secs the planes of one
// piece that fit it (0: not one).
typedef struct {
  int input_lmem_size;
  int nc_secs;
  int len_piece, keep_piece, n_piece, c_piece;
  local_area_t areas[ARG_AREA_COUNT];
} arg_plan_t;

// ---- The 8-bit layer's plan ----

// The bytes the tree reduces (the 1N copy in the work buffer for axis 0, the
// 4N words read byte by byte for the other axes) are viewed as the float
// layer's view; n_piece x c_piece planes of len_piece reduced rows are resident
// at once. Only the channel axis is cut into chunks (a multiple of 4 rows)
// that are merged afterwards; for the other axes the whole extent must fit.
enum {
  ARG8_AREA_INPUT,   // the loaded plane, as floats
  ARG8_AREA_EVEN,    // the survivors at even positions: values, then indices
  ARG8_AREA_ODD,     // the same at odd positions
  ARG8_AREA_SURVIVORS,
  ARG8_AREA_SURVIVORS2,
  ARG8_AREA_KEPT,    // the running result of the chunks: values, then indices
  ARG8_AREA_COUNT
};

typedef struct {
  arg_view_t view;      // of the byte tensor
  int chunked;          // the reduced extent may be cut
  int len_piece;        // reduced rows per chunk
  int rows_per_lane;    // planes of items x channel rows per lane
  int n_piece, c_piece;
  u64 local_mem_usage;  // bytes per lane of all areas
  local_area_t areas[ARG8_AREA_COUNT];
} arg8_plan_t;

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

// The squeezed view of an N x C x H x W tensor reduced along `axis` (0 to 3):
// extents of 1 are dropped and the rest right-aligned (two left with the axis
// last: [1, 1, a, b] becomes [1, a, b, 1] along h); then axis 0 is seen as
// (H, C, N, W), axis 1 as (N, H, C, W), axes 2 and 3 as they are.
void arg_view_of(arg_view_t *view, int N, int C, int H, int W, int axis);
// The pieces of a view and their local areas.
void arg_plan_of(arg_plan_t *plan, const arg_view_t *view);
// The 8-bit plan of a byte tensor (d0, d1, d2, d3) reduced along `axis`; the
// reduced extent is cut only when `chunked`. local_mem_usage above a lane is
// refused by the layer.
void arg8_plan_of(arg8_plan_t *plan, const int *dims, int axis, int chunked);

// ---- Layer ----

// Index of the largest (method 0) or smallest (method 1) element along `axis`
// into index_out (float32), and that element into value_out (the input itself
// when the axis has extent 1; NaN where a NaN won). Either output may be
// ARG_NO_OUTPUT.
void nodechip_arg(u64 input, u64 value_out, u64 index_out, int N, int C, int H, int W, int axis,
                  int method, cmd_id_node_t *node);

// The same for 8-bit data stored 4N (four batch items interleaved byte by byte
// in each word): the largest (method other than 1) or smallest (method 1)
// value into value_out (8-bit, 4N, the axis's extent 1) and its index into
// index_out (int32, 1N order); among equal extremes the lowest index.
// Axis 0: the input is converted to 1N in `buffer` (N x C x H x W bytes), the
// values land in `buffer2` (C x H x W bytes) and are converted back to 4N.
// Axes 1 to 3 read the 4N words byte by byte; their float indices (one per
// byte slot) go to the index scratch (4 x ceil(N / 4) floats per output
// element), which must be given when index_out is wanted, and are
// de-interleaved into index_out. An axis below 0 is logged and ignored.
void nodechip_arg_fix8b(u64 input, u64 buffer, u64 value_out, u64 buffer2, u64 index_out,
                        u64 imm_index_global_addr, int is_signed, int N, int C, int H, int W, int axis,
                        int method, cmd_id_node_t *node);
}
