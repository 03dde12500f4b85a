// Pieces shared by the engine NMS of the detection layers that keep their
// candidates as field arrays (one array of n floats per field): the block
// plan, the pairwise IoU of a row block, the kept-column suppression and the
// compaction of the kept fields by a masked move.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// Areas of the engine NMS of n sorted boxes: the boxes' corners and areas as
// vectors in lane 0, four block x boxes matrices, the block's keep flags (one
// per channel), then the fields and the keep flags repeated once per field for
// the compaction over `lanes` lanes of per_lane boxes each.
enum {
  NMS_BLOCK_AREA_BOX,
  NMS_BLOCK_AREA_MATRIX,
  NMS_BLOCK_AREA_KEEP,
  NMS_BLOCK_AREA_FIELDS,
  NMS_BLOCK_AREA_MASK,
  NMS_BLOCK_AREA_COUNT
};

typedef struct {
  int n;
  int vec;             // n rounded up to 32 (floats of one vector)
  int block_rows;      // a multiple of 64 unless one block holds all
  int blocks;
  int lanes, per_lane; // compaction layout: box q in lane q / per_lane
  u64 local_mem_usage;
  local_area_t areas[NMS_BLOCK_AREA_COUNT];
} nms_block_plan_t;

// Row block `block` of a plan: boxes b0 .. b0 + rows - 1 against boxes
// 0 .. cols - 1, matrix rows of cs floats (cols EU-aligned) and mat_bytes
// per-lane bytes of one matrix; first / last: the plan's first / last block.
// A block out of range is empty (rows 0). Pure, and divides nothing.
typedef struct {
  int b0, rows, cols;
  u32 cs, mat_bytes;
  int first, last;
} nms_block_step_t;
nms_block_step_t nms_block_step_of(const nms_block_plan_t *plan, int block);

// Places areas[i] of bytes[i] one after another from 0, each on 128 bytes, as
// the layers' local allocators do; returns the end.
u64 place_local_areas(local_area_t *areas, const char *const *names, const u64 *bytes, int count);

// A float the tensor engine left in lane `lane` at `offset`; the caller has
// waited for the engines.
float local_lane_float(int lane, u32 offset);

// The plan of n boxes with `box_vectors` vectors in the box area and `fields`
// field arrays to compact (pure); names[] names the five areas.
void nms_block_plan_of(nms_block_plan_t *plan, int n, int box_vectors, int fields, const char *const *names);

// Pairwise overlap of a block's rows (boxes b0 .. b0 + rows - 1) against boxes
// 0 .. cols - 1 from the x1, y1, x2, y2 vectors at box + k vec_bytes: the
// intersection into matrix 0 (matrices 1 to 3 are overwritten). `inclusive`
// counts pixels (overlap = min - max + 1).
void nms_block_intersection(u32 box, u32 vec_bytes, u32 mat, u32 mat_bytes, int b0, int rows, int cols,
                            int inclusive, cmd_id_node_t *node);

// Matrix 0 (the block's intersections) divided by the unions, from the area
// vector at `area`: the IoU into matrix 0 (matrix 1 is overwritten).
void nms_block_divide_by_union(u32 area, u32 mat, u32 mat_bytes, int b0, int rows, int cols, cmd_id_node_t *node);

// keep[r] = min(keep[r], K[r][j]) for every box j of the ARM's kept list
// (`kept` indices at kept_list): the block's rows against earlier kept boxes.
// K's rows are cs floats; entry (r, j) lies in channel r.
void nms_block_apply_kept(u32 keep, u32 K, u32 cs, int rows, u64 kept_list, i64 kept, cmd_id_node_t *node);

// Kept box i (row r of the block) suppresses the block's later rows by its
// column of K.
void nms_block_suppress_later(u32 keep, u32 K, u32 cs, int rows, int r, int i, cmd_id_node_t *node);

// Whether row r of the block is still kept (its flag, in channel r, is not 0);
// waits for the engines first.
int nms_block_row_kept(u32 keep, int r, cmd_id_node_t *node);

// The block's keep flags (one per channel) to flags + 4 b0 in L2.
void nms_block_store_flags(u32 keep, u64 flags, int b0, int rows, cmd_id_node_t *node);

// Compacts the boxes whose flag is not 0: the `fields` arrays of `rec` (stride
// S) go through the plan's field and mask areas at `base` to `out`, `fields`
// arrays of m; returns m.
i64 nms_block_compact(const nms_block_plan_t *plan, u32 base, u64 rec, i64 S, u64 flags, int fields, u64 out,
                      cmd_id_node_t *node);
