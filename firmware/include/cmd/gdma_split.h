// How GDMA moves larger than one descriptor are cut into pieces.
//
// A descriptor holds at most 65535 per dimension. The cutters below walk the
// pieces of a move and give each one's extents and the byte offsets of its
// first element on both sides. A local side keeps its start lane in every
// piece: its channels are cut at multiples of 64 (one channel stride per 64
// channels, since channels step across the lanes), so every piece of channels
// starts in the same lane.
#pragma once

#include "runtime/types.h"
#include "cmd/tensor_shape.h"

#define GDMA_MAX_N 65535
#define GDMA_MAX_C 65535
#define GDMA_MAX_H 65535
#define GDMA_MAX_W 65535
// Channel pieces of a local side: the largest multiple of 64 within the limit.
#define GDMA_LOCAL_MAX_C 65472
// Side of a dense plane re-cut into rows when H or W exceed the limit.
#define GDMA_PLANE_CUT 65408

// One piece of a move.
typedef struct {
  i32 n, c, h, w;
  i64 src_offset;   // bytes from the move's source address
  i64 dst_offset;   // bytes from the move's destination address
  i32 src_hstride;  // row strides of the piece (differ from the move's only in a re-cut plane)
  i32 dst_hstride;
} gdma_piece_t;

// One side of a move: its strides (elements), element bytes and whether it is
// in local memory.
typedef struct {
  dim4_t stride;
  i32 type_len;
  i32 local;
} gdma_side_t;

// Cutter of a move whose two sides have the same shape: N, H and W in pieces of
// at most 65535, C in pieces of 65535 (65472 when either side is local);
// pieces nested n outermost, then c, h, w.
typedef struct {
  dim4_t shape;
  gdma_side_t src, dst;
  i32 cmax;
  i32 in, ic, ih, iw;
  i32 started;
} gdma_general_split_t;

// Cutter of a strided move between global and local memory: N in pieces of at
// most 65535, C of at most 65472; a dense plane (h stride = W * w stride on
// both sides) with H or W above 65535 is re-cut into pieces of at most 65408
// rows of at most 65408 elements. Under an N/C transpose the destination's
// channels are the source's items: they advance by the destination's channel
// stride, and N is cut at 65472 too when the destination is local.
typedef struct {
  dim4_t shape;
  gdma_side_t src, dst;
  i32 transpose;
  i32 nmax;
  i32 in, ic;
  i64 plane_done;  // elements of the current (n, c) piece's plane already given
  i32 recut;       // the plane is re-cut
  i32 started;
} gdma_stride_split_t;

extern "C" {

void gdma_general_split_init(gdma_general_split_t *split, const dim4_t *shape, const gdma_side_t *src,
                             const gdma_side_t *dst);
// The next piece; 0 when the move is used up.
int gdma_general_split_next(gdma_general_split_t *split, gdma_piece_t *piece);

void gdma_stride_split_init(gdma_stride_split_t *split, const dim4_t *shape, const gdma_side_t *src,
                            const gdma_side_t *dst, int transpose);
int gdma_stride_split_next(gdma_stride_split_t *split, gdma_piece_t *piece);
}
