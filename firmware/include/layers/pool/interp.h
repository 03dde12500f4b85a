// Float32 interpolation of the spatial plane (API 163): bilinear or nearest
// under six coordinate modes, with crop pads p and q (0 or negative: a source
// row index r reads input row r - q, a source column index j input column
// j - p; the effective extents are ih + p + q and iw + p + q).
//
// The ARM computes every output row's and column's source index and weight;
// the tensor engine blends whole rows and columns of a slice of planes and
// output rows, first along the cheaper direction into an intermediate, then
// along the other back into the slice's input slot, which is stored. Slices
// are pipelined: the store of slice k - 2 and the load of slice k (GDMA) run
// beside the blend of slice k - 1. Per lane: input slots at 0 and 0x20000,
// intermediates at 0x40000 and 0x60000, 128 KB each.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"
#include "runtime/types.h"

#define INTERP_SLOT_BYTES 0x20000u
#define INTERP_INPUT_SLOT(k) ((u32)(k) * 0x20000u)
#define INTERP_MID_SLOT(k) (0x40000u + (u32)(k) * 0x20000u)

// Coordinate modes: 0 align-corners linear (trunc), 1 linear with the
// half-pixel and align flags, 2 mode 0 rounded to the nearer tap, 3 nearest
// with the flags, 4 linear as mode 1 (its own scale rule), 5 nearest by floor.
typedef struct {
  i32 mode;
  u8 align_corners;
  u8 half_pixel;
} interp_coord_t;

// The scale of one dimension (single precision).
float interp_scale(const interp_coord_t *coord, int in, int out);
// The rows of the input a slice of output rows a .. a + count - 1 loads,
// starting at input row *first (its first row's source index).
int interp_rows_in(const interp_coord_t *coord, int ih, int q, int ih_eff, float scale, int a, int count, int *first);

// API 163.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 n;
  u32 c;
  u32 ih;
  u32 iw;
  i32 pad_p;
  i32 pad_q;
  u32 oh;
  u32 ow;
  u32 mode;
} FW_PACKED zv_api_interp_forward_parallel_t;
static_assert(sizeof(zv_api_interp_forward_parallel_t) == 52, "zv_api_interp_forward_parallel_t is 52 bytes");

extern "C" {

u32 zv_api_interp_forward_parallel(u8 *param, u32 size);

// The source index and blend weight of output index o; weight may be null.
// The index is kept within [0, in - 1].
void getIndex(const interp_coord_t *coord, int in, int o, float scale, float *weight, int *index);

// One blend tap over all planes of a slice: destination := source x weight,
// or += with accumulate; weight 0 with accumulate issues nothing, weight 1
// without accumulate copies, weight 0 without accumulate writes 0.0.
void interp(float weight, u32 src, u32 dst, const dim4_t *shape, const dim4_t *src_stride, const dim4_t *dst_stride,
            u8 accumulate, cmd_id_node_t *node);

// The slices both interpolation layers pipeline: planes [c0, c0 + c) and
// output rows [oh0, oh0 + rows), which read input rows [r0, r0 + rows_in).
typedef struct {
  int c0, c, oh0, rows, r0, rows_in;
} interp_slice_t;

// Steps (c0, oh0) to the next slice: the next rows of the same planes, else
// the first rows of the next planes. Returns 0 past the last plane.
int interp_next_slice(int planes, int oh, int c_step, int h_step, int *c0, int *oh0);
// Whether the slice blends columns first: the cheaper direction first.
int interp_columns_first(const interp_slice_t *s, int iw, int ow);
// The slice's input rows (planes of ih x iw float32 words) into slot X, and
// its output rows from slot X into planes of oh x ow words; EU-aligned planes.
void interp_load_slice(u64 input_addr, int ih, int iw, const interp_slice_t *s, u32 X, cmd_id_node_t *node);
void interp_store_slice(u64 output_addr, int oh, int ow, const interp_slice_t *s, u32 X, cmd_id_node_t *node);
// Before a tap: when the issuing node's ids near the 16-bit limit, bring the
// two copies back into the node, let it wait and restart, and divide again.
void interp_tap_guard(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute, int divided);

// out[0] planes per slice, out[1] output rows per slice; returns 1.
int nodechip_global_interp_data_split(int n, int c, int ih, int iw, int oh, int ow, int p, int q, float row_scale,
                                      const interp_coord_t *coord, int out[2]);

// The exact 2x upscale's plan: the interior output rows 1 .. oh - 2 in row
// pieces of `rows` output rows (even) from rows / 2 + 1 input rows, over
// groups of `group` planes; the first and last output rows over groups of
// edge_group planes. A local-memory shortfall leaves interior_fits or
// edge_fits 0 (and the counts of that part 0).
typedef struct {
  int nc, ih, iw, oh, ow;
  int interior_fits, group, rows, chan_pieces, row_pieces;
  int edge_fits, edge_group, edge_pieces;
} interp2x_plan_t;

// One interior piece: planes c0 .. c0 + c - 1 (lane_rows lane rows), output
// rows row0 .. row0 + rows - 1 from input rows in_row0 .. in_row0 + in_rows - 1;
// input at X (alternating halves of local memory, piece by piece), output at
// O after it; per-lane planes in_plane, out_plane. first / last: the plan's
// first / last piece. An edge step (interp2x_edge_step_of) has planes and
// planes sizes only. Pieces out of range are empty (c 0).
typedef struct {
  int c0, c, lane_rows;
  int row0, rows, in_row0, in_rows;
  int in_plane, out_plane;
  u32 X, O;
  int first, last;
} interp2x_step_t;

void interp2x_plan_of(interp2x_plan_t *p, int nc, int ih, int iw);
// Interior piece (plane group j, row piece i). Pure, and divides nothing.
interp2x_step_t interp2x_step_of(const interp2x_plan_t *p, int j, int i);
// Edge step of plane group j: input rows 0 and ih - 1 at X = 0, output rows 0
// and oh - 1 at O. Pure, and divides nothing.
interp2x_step_t interp2x_edge_step_of(const interp2x_plan_t *p, int j);

// Mode 4 without pads or corner alignment, oh = 2 ih and ow = 2 iw: the
// blend with its fixed weights 0.75 and 0.25 per direction.
void nodechip_interp_forward_pytorch_bilinear_not_aligned_corners_nxm_to_2nx2m_parallel(u64 input_addr,
                                                                                          u64 output_addr, int n,
                                                                                          int c, int ih, int iw,
                                                                                          cmd_id_node_t *node);

void nodechip_interp_forward_parallel(u64 input_addr, u64 output_addr, int n, int c, int ih, int iw, int p, int q,
                                      int oh, int ow, u32 align_corners, u32 half_pixel, int mode,
                                      cmd_id_node_t *node);
}
