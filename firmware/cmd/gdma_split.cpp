// Cutting GDMA moves into pieces that one descriptor can hold.
#include "cmd/gdma_split.h"

#include "runtime/regs.h"

static i32 min_i32(i32 a, i32 b) { return a < b ? a : b; }
static i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }

// Byte offset of element (n, c, h, w) on a side. On a local side channel c
// lies c / 64 channel strides further on; callers pass c as a multiple of 64,
// so the start lane does not move.
static i64 side_offset(const gdma_side_t *side, i32 n, i32 c, i64 h, i64 w) {
  const i64 rows = side->local ? c / NPU_NUM : c;
  return ((i64)n * side->stride.n + rows * side->stride.c + h * side->stride.h + w * side->stride.w) *
         side->type_len;
}

// ---- Moves with equal shapes on both sides ----

void gdma_general_split_init(gdma_general_split_t *split, const dim4_t *shape, const gdma_side_t *src,
                             const gdma_side_t *dst) {
  split->shape = *shape;
  split->src = *src;
  split->dst = *dst;
  split->cmax = (src->local || dst->local) ? GDMA_LOCAL_MAX_C : GDMA_MAX_C;
  split->in = split->ic = split->ih = split->iw = 0;
  split->started = 0;
}

int gdma_general_split_next(gdma_general_split_t *s, gdma_piece_t *piece) {
  if (s->started) {
    // Advance w fastest, then h, c and n.
    s->iw += GDMA_MAX_W;
    if (s->iw >= s->shape.w) {
      s->iw = 0;
      s->ih += GDMA_MAX_H;
      if (s->ih >= s->shape.h) {
        s->ih = 0;
        s->ic += s->cmax;
        if (s->ic >= s->shape.c) {
          s->ic = 0;
          s->in += GDMA_MAX_N;
          if (s->in >= s->shape.n) return 0;
        }
      }
    }
  }
  s->started = 1;
  // A zero or negative extent is given as it is, for the descriptor's checks.
  piece->n = min_i32(s->shape.n - s->in, GDMA_MAX_N);
  piece->c = min_i32(s->shape.c - s->ic, s->cmax);
  piece->h = min_i32(s->shape.h - s->ih, GDMA_MAX_H);
  piece->w = min_i32(s->shape.w - s->iw, GDMA_MAX_W);
  piece->src_offset = side_offset(&s->src, s->in, s->ic, s->ih, s->iw);
  piece->dst_offset = side_offset(&s->dst, s->in, s->ic, s->ih, s->iw);
  piece->src_hstride = s->src.stride.h;
  piece->dst_hstride = s->dst.stride.h;
  return 1;
}

// ---- Strided moves between global and local memory ----

void gdma_stride_split_init(gdma_stride_split_t *split, const dim4_t *shape, const gdma_side_t *src,
                            const gdma_side_t *dst, int transpose) {
  split->shape = *shape;
  split->src = *src;
  split->dst = *dst;
  split->transpose = transpose != 0;
  split->nmax = split->transpose && dst->local ? GDMA_LOCAL_MAX_C : GDMA_MAX_N;
  split->in = split->ic = 0;
  split->plane_done = 0;
  split->started = 0;
  // A dense plane (rows one row apart on both sides) larger than the limits is
  // re-cut into rows of its own; any other plane is given as it is.
  const i64 h = shape->h, w = shape->w;
  const int too_large = h > GDMA_MAX_H || w > GDMA_MAX_W;
  const int dense = src->stride.h == w * src->stride.w && dst->stride.h == w * dst->stride.w;
  split->recut = too_large && dense && h > 0 && w > 0;
}

int gdma_stride_split_next(gdma_stride_split_t *s, gdma_piece_t *piece) {
  if (s->started && s->plane_done == 0) {
    s->ic += GDMA_LOCAL_MAX_C;
    if (s->ic >= s->shape.c) {
      s->ic = 0;
      s->in += s->nmax;
      if (s->in >= s->shape.n) return 0;
    }
  }
  s->started = 1;
  piece->n = min_i32(s->shape.n - s->in, s->nmax);
  piece->c = min_i32(s->shape.c - s->ic, GDMA_LOCAL_MAX_C);
  piece->src_offset = side_offset(&s->src, s->in, s->ic, 0, 0);
  // Source element (n, c) is destination element (c, n) under the transpose.
  piece->dst_offset = s->transpose ? side_offset(&s->dst, s->ic, s->in, 0, 0) : side_offset(&s->dst, s->in, s->ic, 0, 0);
  if (!s->recut) {
    piece->h = s->shape.h;
    piece->w = s->shape.w;
    piece->src_hstride = s->src.stride.h;
    piece->dst_hstride = s->dst.stride.h;
    return 1;
  }
  const i64 plane = (i64)s->shape.h * s->shape.w;
  const i64 remaining = plane - s->plane_done;
  const i64 w = min_i64(remaining, GDMA_PLANE_CUT);
  const i64 h = min_i64(remaining / w, GDMA_PLANE_CUT);
  piece->h = (i32)h;
  piece->w = (i32)w;
  // Element k of a dense plane lies k w-strides from its start, on each side
  // with that side's own w stride.
  piece->src_offset += s->plane_done * s->src.stride.w * s->src.type_len;
  piece->dst_offset += s->plane_done * s->dst.stride.w * s->dst.type_len;
  piece->src_hstride = (i32)(w * s->src.stride.w);
  piece->dst_hstride = (i32)(w * s->dst.stride.w);
  s->plane_done += h * w;
  if (s->plane_done >= plane) s->plane_done = 0;
  return 1;
}
