// Reduce over axes, segment reduce and cumulative sum of float32 tensors in
// device memory, and the APIs that reach them (200 reduce, 201 segment reduce,
// 701 cumulative sum).
//
// Cumulative sum: the tensor N x C x H x W is cut into slices along `dim`, all
// resident in local memory at once (slice i at i x slice bytes); slice i + 1
// accumulates slice i with one tensor-engine add and each slice is stored as
// soon as it holds its sum.
//
// Segment reduce: output row s combines the input rows whose segment id is s
// (max, min, sum, product, mean, or max/min starting from 0), the row cut into
// pieces of at most 64 lanes x 32768 floats; three local buffers hold the row
// piece, the accumulator and the combined result.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"
#include "runtime/regs.h"
#include "runtime/types.h"

// Local memory of one lane the cumulative sum may fill with slices.
#define CUMSUM_LOCAL_BYTES 0x80000u

// The slices of a cumulative sum: `count` slices of `shape` (EU-aligned
// float32 in local memory, `bytes` per lane each), slice i at input + i x step
// elements, its elements `global` strides apart in device memory.
typedef struct {
  dim4_t shape;
  dim4_t global;
  i64 step;
  i64 bytes;
  i64 count;
} cumsum_plan_t;

// Segment reduce's local buffers, 128 KB per lane each.
#define SEGMENT_BUF_BYTES 0x20000u
#define SEGMENT_LOCAL_ROW 0x00000u
#define SEGMENT_LOCAL_ACC 0x20000u
#define SEGMENT_LOCAL_RES 0x40000u
// Longest stretch of a row one lane holds (SEGMENT_BUF_BYTES of float32).
#define SEGMENT_LANE_ELEMS 32768

// One piece of a row: `lanes` lanes of `w` consecutive elements each.
typedef struct {
  int lanes, w;
} segment_piece_t;

// Reduce over axes takes one of two roads. The pooling road brings the shape
// to four dimensions (n, c, h, w) and reduces one or two of them at a time with
// one pooling command per section, first transposing a reduced N or C (or an H
// cut into sections) to W; three or four axes go in two such steps through the
// buffer. The full road (extents above 2047, shapes that do not come to four
// dimensions, products) merges the shape into alternating runs of kept and
// reduced dimensions; unless the runs already read as N x C x 1 x W with N and
// W reduced, they are transposed into the buffer so that they do (the first
// reduced run first when the tensor starts with one, the kept runs, then the
// other reduced runs). N, H and W are then reduced per group of at most 64
// channels in pieces of at most REDUCE_PIECE_ELEMS elements per lane, each
// combined into an accumulator. On both roads the buffer holds twice the input.
#define REDUCE_PIECE_ELEMS 0x10000
#define REDUCE_W_PIECE 65519
#define REDUCE_LOCAL_PIECE 0x00000u
#define REDUCE_LOCAL_ACC 0x40000u
#define REDUCE_MAX_DIMS 8

// One piece of an N x C x H x W reduction: channels [c0, c0 + cg) of one lane
// group and the block [n0, n0 + np) x [h0, h0 + hp) x [w0, w0 + wp), at most
// REDUCE_PIECE_ELEMS elements per lane; `first` marks a group's first piece.
typedef struct {
  int c0, cg, n0, np, h0, hp, w0, wp, first;
} reduce_piece_t;

// Walks the pieces of an N x C x H x W reduction group by group (at most
// NPU_NUM channels, at most n_cap items a piece): piece(p) for each piece,
// then group_done(c0, cg) once a group's pieces are all issued.
template <typename Piece, typename GroupDone>
void reduce_nhw_pieces(int N, int C, int H, int W, int n_cap, Piece piece, GroupDone group_done) {
  auto min_int = [](i64 a, i64 b) { return (int)(a < b ? a : b); };
  for (int c0 = 0; c0 < C; c0 += NPU_NUM) {
    reduce_piece_t p;
    p.c0 = c0;
    p.cg = min_int(NPU_NUM, C - c0);
    p.first = 1;
    for (p.w0 = 0; p.w0 < W; p.w0 += REDUCE_W_PIECE) {
      p.wp = min_int(REDUCE_W_PIECE, W - p.w0);
      const int hmax = REDUCE_PIECE_ELEMS / p.wp;
      for (p.h0 = 0; p.h0 < H; p.h0 += hmax) {
        p.hp = min_int(hmax, H - p.h0);
        const int nmax = min_int((REDUCE_PIECE_ELEMS / p.wp) / p.hp, n_cap);
        for (p.n0 = 0; p.n0 < N; p.n0 += nmax) {
          p.np = min_int(nmax, N - p.n0);
          piece(p);
          p.first = 0;
        }
      }
    }
    group_done(c0, p.cg);
  }
}

// The runs of a shape and the N x C x W view the reduction takes.
typedef struct {
  int runs;
  i64 extent[REDUCE_MAX_DIMS];
  int reduced[REDUCE_MAX_DIMS];
  int transpose;              // the runs are transposed into the buffer first
  int order[REDUCE_MAX_DIMS];  // the transpose's run order
  i64 n, c, w;
} reduce_view_t;

// ---- API records ----

// API 701.
typedef struct {
  u64 input;
  u64 output;
  i32 dim;
  i32 N;
  i32 C;
  i32 H;
  i32 W;
} FW_PACKED zv_api_cumsum_t;
static_assert(sizeof(zv_api_cumsum_t) == 36, "zv_api_cumsum_t is 36 bytes");

// API 200.
typedef struct {
  u64 input;
  u64 output;
  u64 buffer;
  i32 shape[8];
  i32 dims;
  i32 axes[8];
  i32 axis_num;
  i32 reduce_method;
} FW_PACKED zv_api_reduce_t;
static_assert(sizeof(zv_api_reduce_t) == 100, "zv_api_reduce_t is 100 bytes");

// API 201: the fixed head; input_rows int32 segment ids follow it.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_rows;
  i32 segment_num;
  i32 row_len;
  i32 segment_reduce_flag;
} FW_PACKED zv_api_segment_reduce_t;
static_assert(sizeof(zv_api_segment_reduce_t) == 32, "zv_api_segment_reduce_t is 32 bytes");

// API 168.
typedef struct {
  u64 input;
  u64 output;
  u64 buffer;
  i32 shape[8];
  i32 dims;
  i32 axes[8];
  i32 axis_num;
  i32 reduce_method;
  i32 keep_dims;
  i32 is_signed;
  i32 store_mode;
  u32 input_scale;   // float32 bits
  u32 output_scale;  // float32 bits
} FW_PACKED zv_api_reduce_fix8b_t;
static_assert(sizeof(zv_api_reduce_fix8b_t) == 120, "zv_api_reduce_fix8b_t is 120 bytes");

// 8-bit reduce: the shape is brought to exactly four dimensions (the batch
// alone, then runs of neighbours reduced alike; the second dimension at most
// 4095). Max and min run on the 4N words themselves: a reduced batch whose
// last word is partial first gets the neutral byte in its unused slots, the
// words are reduced as elements (transposed when the runs need it) and, when
// the batch is reduced, their four bytes folded. The other methods convert the
// input to 1N bytes in the buffer and reduce them in float32 pieces (bytes
// times the input scale; mean divides; the result times the output scale,
// clamped, stored as bytes rounding half away from zero), then convert the 1N
// result to 4N in the output. The buffer holds three times the input's 4N
// bytes: the 1N copy or the transposed words, a transposed copy and the
// transpose's work area, and the 1N result.
typedef struct {
  int merge_dim;  // dimensions reached: 4 unless the shape cannot merge to 4
  int shape[4];
  int reduced[4];
  int out[4];     // the output's extents (keep_dims: reduced ones 1; else kept ones first)
  i64 total;      // elements of the input
  i64 kept;       // elements of the output
  u64 bytes4n;    // bytes of the 4N input
  u64 bytes1n;    // bytes of its 1N copy
  u64 buffer_bytes;  // the buffer the call needs: 3 x bytes4n
} reduce_fix8b_plan_t;

// Batch items (4N words) of one max or min piece: four bytes each must fit
// the engine's 16-bit extent.
#define REDUCE_FIX8B_WORD_ITEMS 16367

extern "C" {

// ---- Handlers ----
u32 zv_api_cumsum(u8 *param, u32 size);
u32 zv_api_segment_reduce(u8 *param, u32 size);
u32 zv_api_reduce(u8 *param, u32 size);
u32 zv_api_reduce_fix8b(u8 *param, u32 size);

// ---- Planning (pure) ----

// The slices of a cumulative sum along dim (0 to 3) of N x C x H x W; dim
// outside 0 to 3 leaves the plan's count 0.
void cumsum_plan_of(cumsum_plan_t *plan, int dim, int N, int C, int H, int W);
// The runs and view of reducing shape (dims 1 to 8) over the listed axes
// (indices into the shape, any order, repeats allowed; extents of 1 ignored).
void reduce_view_of(reduce_view_t *view, const int *shape, int dims, const int *axes, int axis_num);
// The piece of a row of `remaining` elements (at least 1) that starts next.
segment_piece_t segment_piece_of(i64 remaining);
// The 8-bit reduce's four dimensions, output shape and buffer layout (shape and
// axes as the layer takes them, already checked: dims 1 to 8, axes inside).
// No listed axis reduces every dimension.
void reduce_fix8b_plan_of(reduce_fix8b_plan_t *plan, const int *shape, int dims, const int *axes, int axis_num,
                          int keep_dims);

// ---- Layers ----

// Reduces a float32 tensor over the listed axes by reduce_method (0 mean, 1
// sum, 2 max, 3 min, 4 product) into output (the kept extents in order). The
// buffer holds twice the input.
void nodechip_reduce_full_v2(u64 input, u64 output, const int *shape, int dims, const int *axes, int axis_num,
                             int reduce_method, u64 buffer, cmd_id_node_t *node);
// Reduces N, H and W of an N x C x H x W float32 tensor into C values.
void nodechip_reduce_nhw(u64 input, u64 output, int N, int C, int H, int W, int reduce_method, cmd_id_node_t *node);

// The full road: the runs, a transpose into the buffer when they need one, then
// N, H and W reduced (axes: extents above 1, ascending; none reduces all).
void nodechip_reduce_full(u64 input, u64 output, const int *shape, int dims, const int *axes, int axis_num,
                          int reduce_method, u64 buffer, cmd_id_node_t *node);
// The runs of neighbouring dimensions reduced alike (extents of 1 dropped),
// each the product of its extents, negative when reduced; with no axes the
// whole tensor is one reduced run.
void nodechip_reduce_merge_dims(const int *shape, int dims, const int *axes, int axis_num, i64 *runs,
                                int *run_num);

// The pooling road (pure planning first).
// Brings shape (dims extents, axes ascending and of extents above 1) to four
// dimensions: extents of 1 in front of a reduced axis dropped, kept neighbours
// merged while more than four remain (the first two while no axis is among
// them, else the last two), right-aligned; axes are rewritten to the four
// dimensions and flags[d] set for each reduced d. Rows above 2047 with c and h
// kept move into the channels when a divisor allows. out_dims (may be null)
// gets 4, or the count left when no more merges are possible (shape unset).
void process_shape(dim4_t *out, const int *shape, u8 *flags, int dims, int *axes, int axis_num, int *out_dims);
// n x c x h x w x 4 bytes.
void update_tensor_size(const dim4_t *shape, u64 *size);
// Whether H is reduced and the tensor must be cut into more than one H section.
int is_h_splited(const dim4_t *shape, const int *axes, int axis_num);
// Reduces H and/or W (axes 2 and 3) of a four-dimensional tensor by pooling,
// section by section.
void nodechip_reduce_hw(u64 input, u64 output, const dim4_t *shape, int input_dims, const int *axes, int axis_num,
                        int reduce_method, cmd_id_node_t *node);
// One reduced axis (flags[axes[0]] set) of a four-dimensional tensor; the
// buffer takes the transposed input.
void reduce_onedim(u64 input, u64 output, u64 buffer, const dim4_t *shape, int dims, const int *axes, int axis_num,
                   const u8 *flags, int reduce_method, cmd_id_node_t *node);
// Two reduced axes (ascending); the buffer takes the intermediate and, behind
// it, the first step's transposed input.
void reduce_twodim(u64 input, u64 output, u64 buffer, const dim4_t *shape, int dims, const int *axes, int axis_num,
                   const u8 *flags, int reduce_method, cmd_id_node_t *node);

// Reduces an 8-bit 4N tensor over the listed axes (0 mean, 1 sum, 2 max, 3
// min, 4 product) into a 4N output; the buffer holds reduce_fix8b_plan_of's
// buffer_bytes (three times the input). Max and min write the neutral byte
// into the unused slots of a partial last batch word of the input when the
// batch is reduced.
void nodechip_reduce_full_fix8b(u64 input, u64 output, u64 buffer, const int *shape, int input_dims, const int *axes,
                                int axis_num, int reduce_method, int keep_dims, int is_signed, int store_mode,
                                u32 input_scale, u32 output_scale, cmd_id_node_t *node);
// The 8-bit reduce's internal steps (plan as reduce_fix8b_plan_of gives it).
// need_keep_dims and is_first_reduced hold the call's keep_dims and whether
// its batch is reduced.
extern int need_keep_dims;
extern int is_first_reduced;
void nodechip_reduce_full_4n_fix8b(u64 input, u64 output, u64 buffer, const reduce_fix8b_plan_t *p,
                                   int reduce_method, int is_signed, cmd_id_node_t *node);
void nodechip_reduce_full_1n_fix8b(u64 input, u64 output, u64 buffer, const reduce_fix8b_plan_t *p,
                                   int reduce_method, int is_signed, u32 input_scale, u32 output_scale,
                                   cmd_id_node_t *node);
void nodechip_reduce_merge_dims_fix8b(const int *shape, const int *reduced, reduce_view_t *view);
void nodechip_reduce_nhw_fix8b(u64 input, u64 output, u64 buffer, int N, int C, int H, int W, int reduce_method,
                               int is_signed, u32 input_scale, u32 output_scale, cmd_id_node_t *node);
void nodechip_local_float2int8(u32 local, int cg, u32 output_scale, int is_signed, cmd_id_node_t *node);

// Output slice k along dim holds the sum of input slices 0 to k.
void nodechip_cumsum(u64 input, u64 output, int dim, int N, int C, int H, int W, cmd_id_node_t *node);

// Output row s (row_len float32) combines the input rows i with
// segment_ids[i] == s by the method of segment_reduce_flag: 0 sum, 1 product,
// 2 mean, 3 max, 4 min, 5 max starting from 0, 6 min starting from 0. A segment
// no row names holds the method's initial value (0, 1, 0, -FLT_MAX, +FLT_MAX,
// 0, 0).
void nodechip_segment_reduce(u64 input, u64 output, const int *segment_ids, int input_rows, int segment_num,
                             i64 row_len, int segment_reduce_flag, cmd_id_node_t *node);
}
