// Face proposals from a detector head: for each position of an H x W map and
// each of A anchors, a score and four box deltas become a clipped box; the
// boxes whose score passes a threshold and whose sides reach a minimum are
// compacted into L2 SRAM lists by GDMA's masked move, and the lists are joined
// and sorted by score (CDMA sort, GDE gathers) into face_rect_t rows.
//
// One map pair is one tile: every plane is a 4-D local tensor A x H x 1 x W in
// the default layout (map row r in lane r % 64, ceil(H / 64) rows per lane,
// rows of W floats rounded up to 32), S bytes per lane for one value of all
// anchors. Map positions take their coordinates from the 256 x 256 coordinate
// planes of L2 SRAM, so H and W are at most 256. See face_prop_plan_t for the
// local layout.
//
// The L2 lists (at most FACE_PROP_MAX_LISTS) are pending from the first map of
// a call until the post-process joins them; every call starts with none, so a
// call that failed half-way leaves nothing to the next.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/regs.h"
#include "runtime/types.h"

#define FACE_PROP_MAX_MAP 256u
#define FACE_PROP_MAX_LISTS 8u
// Coordinates per box.
#define MAX_D 4
// The first L2 list; the lists and the joined arrays end below L2's end.
#define FACE_PROP_L2_START 0x10323c00u
#define FACE_PROP_L2_END (L2_SRAM_START_ADDR + L2_SRAM_SIZE)
// The output buffer of one map pair: records from byte 0, the count at 0x28000
// (room for 8192 records before it).
#define FACE_PROP_COUNT_OFFSET 0x28000u
#define FACE_PROP_MAX_OUTPUT (FACE_PROP_COUNT_OFFSET / 20u)

// Local layout (byte offsets within a lane).
#define FACE_PROP_DELTA0 0x00000u  // first delta of a pass; later exp scratch
#define FACE_PROP_DELTA1 0x08000u  // second delta; later the predicted size
#define FACE_PROP_ANCHOR 0x10000u  // anchor corner, centre, predicted centre
#define FACE_PROP_SIDE 0x18000u    // anchor side
#define FACE_PROP_RECTS 0x20000u   // x1, y1, x2, y2, scores, mask, ... S apart

// The geometry of one value plane for all anchors: a 4-D tensor with its
// element strides, on the global side (delta or score map) or the local side.
typedef struct {
  u32 n, c, h, w;                          // A, map rows, 1, map columns
  u32 nstride, cstride, hstride, wstride;  // elements (local: c stride per lane row)
  u32 lane_rows;                           // ceil(H / 64)
  u32 plane_bytes;                         // local: bytes per lane of one anchor's plane
  u32 move_size;                           // local: S, bytes per lane of all anchors
} FW_PACKED face_prop_shape_t;
static_assert(sizeof(face_prop_shape_t) == 44, "face_prop_shape_t is 44 bytes");

// One L2 list: the kept scores, then (512-byte aligned) their rectangles.
typedef struct {
  u64 score_addr;
  u64 rect_addr;
  u32 count;        // kept candidates
  u32 rect_floats;  // 4 x count
} FW_PACKED face_rect_list_t;
static_assert(sizeof(face_rect_list_t) == 24, "face_rect_list_t is 24 bytes");

// An array of floats to join: its address and element count.
typedef struct {
  u64 addr;
  u32 count;
} FW_PACKED face_mem_t;
static_assert(sizeof(face_mem_t) == 12, "face_mem_t is 12 bytes");

// The local plan of one map pair.
#define FACE_PROP_AREA_COUNT 12
typedef struct {
  u32 A, W, H;
  u32 lane_rows;
  u32 plane_bytes;   // one anchor's plane, W floats a row
  u32 plane4_bytes;  // one anchor's plane of rows of 4W floats (interleaved)
  u32 S;             // move_size: A x plane_bytes
  u32 rect[MAX_D];   // x1, y1, x2, y2
  u32 scores, mask;
  u32 temp, temp_1, cmp_res0, cmp_res1;  // mask temporaries
  u32 interleave;                        // rectangles as rows of four floats
  u32 expand;                            // the mask repeated four times
  local_area_t areas[FACE_PROP_AREA_COUNT];
} face_prop_plan_t;

// API 126: one map pair.
typedef struct {
  u64 scores, deltas, anchor_sizes;
  float scale;
  u32 stride_a, W, H, image_w, image_h, stride_b, A, base;
  float divisor;
  u32 min_size;
  float score_threshold;
  u32 unused;
  u64 output;
} FW_PACKED zv_api_cv_gen_proposal_t;
static_assert(sizeof(zv_api_cv_gen_proposal_t) == 84, "zv_api_cv_gen_proposal_t is 84 bytes");

// API 501: three levels, then the common fields. The shared parameters (P0 to
// M) are read from level 0 only.
typedef struct {
  u64 scores, deltas, anchors;
  float scale;
  u32 stride_factor;
  u32 images_per_item;  // score planes per batch item
  u32 h, w;
  u32 P0, P1;  // clip bounds: image width, image height
  u32 S;       // stride multiplier
  u32 A, B;    // anchors, base size
  u32 R;       // divisor
  u32 M;       // minimum side
  float threshold;
  u32 unused;
  u32 delta_item_stride;  // bytes
} FW_PACKED face_prop_level_t;
static_assert(sizeof(face_prop_level_t) == 84, "face_prop_level_t is 84 bytes");

typedef struct {
  face_prop_level_t level[3];
  float nms_threshold;
  float threshold;  // global: each level keeps max(its own, this - 0.01)
  u32 batch;
  u32 first_image;
  u64 proposal_addr;  // handed to the NMS, which does not read it here
  u64 result_addr;    // receives the NMS block after every item
  u64 counts_addr;    // receives the per-item counts
} FW_PACKED zv_api_cv_gen_proposal_and_nms_t;
static_assert(sizeof(zv_api_cv_gen_proposal_and_nms_t) == 292, "zv_api_cv_gen_proposal_and_nms_t is 292 bytes");

// DTCM of the pipeline: the NMS block at the window's start, the per-item
// counts after it, the joined count word further on.
#define FACE_PIPE_BLOCK DTCM_SCRATCH_START
#define FACE_PIPE_COUNTS (DTCM_SCRATCH_START + 0x5010u)
#define FACE_PIPE_MERGED_COUNT (DTCM_SCRATCH_START + 0xa010u)
// Items whose counts end before the joined count word.
#define FACE_PIPE_MAX_ITEMS ((FACE_PIPE_MERGED_COUNT - FACE_PIPE_COUNTS) / 4u)

extern "C" {

extern face_rect_list_t l2sram_face_rect_addr_info[FACE_PROP_MAX_LISTS];
extern u32 l2sram_rect_cnt;
extern face_rect_list_t l2sram_intergrated_mem;

// ---- Planning (pure) ----

// The local plan of an A-anchor H x W map pair (no checks).
void face_prop_plan_of(u32 A, u32 W, u32 H, face_prop_plan_t *plan);
// The plan's checks, in the order the steps meet them: positive extents within
// the coordinate planes, then each area below the end of local memory.
void face_prop_check_plan(const face_prop_plan_t *plan);

// ---- Steps (each issues its commands on the node; local addresses are
// untagged lane offsets) ----

// Delta plane of every anchor (groups of four planes, 4HW floats apart) into
// dst; fills both shapes and *move_size (S).
void bbox_deltas_move(u64 src, u64 dst, u32 A, u32 W, u32 H, u32 *move_size, face_prop_shape_t *src_shape,
                      face_prop_shape_t *dst_shape, cmd_id_node_t *node);
// The A score planes into dst.
void move_score_to_local_mem(u64 src, u64 dst, u32 A, u32 W, u32 H, cmd_id_node_t *node);
// Anchor side per anchor i: sizes[i] x scale x base (sizes: A floats in DTCM).
void get_bbox_wh(u32 sizes, float scale, u32 base, u32 A, const face_prop_shape_t *shape, u64 dst,
                 cmd_id_node_t *node);
// First corner: coordinate x stride + offset - (side_i - 1) x 0.5, with
// `coord_plane` the L2 plane of columns or rows.
void get_bbox_xy1(u64 dst, u64 coord_plane, float stride, u32 sizes, float offset, u32 A, u32 base, float scale,
                  const face_prop_shape_t *src_shape, const face_prop_shape_t *shape, cmd_id_node_t *node);
// corner = corner + 0.5 x side (in place: the centre).
void get_bbox_cxy(u64 corner, u64 side, const face_prop_shape_t *shape, cmd_id_node_t *node);
// centre = centre + side x delta.
void get_pred_cxy(u64 centre, u64 delta, u64 side, const face_prop_shape_t *shape, cmd_id_node_t *node);
// delta_size = exp(delta_size) x side; scratch is clobbered.
void get_pred_wh(u64 delta_size, u64 side, const face_prop_shape_t *shape, u64 scratch, cmd_id_node_t *node);
// dst = max(min((centre + half x size) / divisor, bound - 1), 0).
void get_facerect_xy(u64 centre, u64 size, u64 dst, float bound, float divisor, float half,
                     const face_prop_shape_t *shape, cmd_id_node_t *node);
// mask = 1 where score > score_threshold, x2 > x1 + min_size - 1 and
// y2 > y1 + min_size - 1, else 0. Four temporaries of move_size bytes follow
// the mask.
void get_face_mask(u64 x1, u64 x2, u64 y1, u64 y2, u64 scores, u64 mask, u32 move_size,
                   const face_prop_shape_t *shape, float score_threshold, u32 min_size, cmd_id_node_t *node);
// The four coordinate planes (move_size apart from x1) as rows of four floats.
void interleave_face_rect_without_score(u64 x1, u64 dst, u32 A, const face_prop_shape_t *shape,
                                        const face_prop_shape_t *src_shape, cmd_id_node_t *node);
// The mask repeated for each coordinate, in the interleaved layout.
void face_mask_expend(u64 mask, u64 dst, const face_prop_shape_t *shape, cmd_id_node_t *node);
// Appends one L2 list: the kept scores and rectangles of `candidates`
// positions. Waits for the engines (the kept count).
void move_face_rect_to_sram(u64 mask, u64 scores, u64 rects, u64 mask4, u32 candidates,
                            const face_prop_shape_t *shape, cmd_id_node_t *node);
// Joins n arrays one after the other at dst->addr; dst->count grows by theirs.
void concate_mems_to_one(const face_mem_t *lists, u32 n, face_mem_t *dst, cmd_id_node_t *node);
// Joins the first prop_times lists, sorts them by score (largest first) into
// face_rect_t rows in L2 and clears the pending lists; the rows' address to
// *list, their count to the DTCM word at count_addr. Waits for the engines.
void gen_proposal_post_process(u64 *list, u32 count_addr, u32 prop_times, cmd_id_node_t *node);

// ---- Operators ----

// Proposals of one map pair to `output` (device memory): the rows sorted by
// score, at most FACE_PROP_MAX_OUTPUT of them (the best), and their count at
// output + 0x28000. anchor_sizes is the device address of A floats. Returns 0.
int nodechip_cv_gen_proposal_fast_hw_op(u64 scores, u64 deltas, u64 anchor_sizes, u64 output, float scale,
                                        u32 stride_a, u32 W, u32 H, u32 image_w, u32 image_h, u32 stride_b, u32 A,
                                        u32 base, float divisor, u32 min_size, float score_threshold,
                                        cmd_id_node_t *node);

// One level of the pipeline (one map pair appended to the L2 lists).
typedef struct {
  u64 scores, deltas;  // this item's planes
  u32 sizes;           // DTCM address of the A anchor sizes
  u32 A, W, H, base, min_size;
  float scale, stride, bound_x, bound_y, divisor, score_threshold;
} face_prop_level_args_t;
void face_prop_level(const face_prop_level_args_t *a, cmd_id_node_t *node);

// ---- Handlers ----
u32 zv_api_cv_gen_proposal(u8 *param, u32 size);
u32 zv_api_cv_gen_prop_and_nms(u8 *param, u32 size);
}
