// Vectorised NMS and soft-NMS of scored corner boxes, and the APIs that reach
// them (131 plain NMS, 511 soft-NMS).
//
// One engine serves every caller: the scores are sorted on the CDMA engine, the
// boxes gathered into score order on the GDE, the pairwise IoU of a batch of
// boxes (rows) against all boxes (columns) is computed on the tensor engine by
// vector correlations, the 0/1 suppression matrix goes to DTCM and the ARM walks
// the boxes in score order, keeping each box that no kept box suppressed.
//
// Three modes: proposal mode (kept boxes into an nms_proposal_t block copied
// to device memory), index mode (input positions of the kept boxes, for
// nodechip_nms_v2) and face-demo mode (the caller's list is already in score
// order; kept boxes are appended to the caller's block).
//
// Local layout of one pass (lane 0 holds the box vectors, the B x P matrices
// are 1 x B x 1 x P tensors in the default layout, row r in lane r % 64): see
// nms_local_plan_t.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define NMS_MAX_PROPOSALS 1024
// Bytes of the DTCM scratch window the engine may fill, and its part that is
// left for the suppression rows once an output block is reserved.
#define NMS_DTCM_RESERVED 0x60000
#define NMS_DTCM_ROWS_BUDGET 372720
#define NMS_LOCAL_BYTES 0x80000u
// L2 SRAM staging of the sort ends below the engines' lookup tables.
#define NMS_L2_SCRATCH_START 0x100a2000u
#define NMS_L2_LIMIT 0x10300000u

typedef float nms_data_type_t;

typedef struct {
  nms_data_type_t x1, y1, x2, y2, score;
} FW_PACKED face_rect_t;
static_assert(sizeof(face_rect_t) == 20, "face_rect_t is 20 bytes");

// The block of kept boxes; its last 8 bytes are copied out but never written.
typedef struct {
  i32 size;
  i32 capacity;
  face_rect_t face_rect[NMS_MAX_PROPOSALS];
  u8 unused[8];
} FW_PACKED nms_proposal_t;
static_assert(sizeof(nms_proposal_t) == 20496, "nms_proposal_t is 20,496 bytes");

// API 131.
typedef struct {
  u64 input_addr;
  u32 proposal_size;
  float nms_threshold;
  u64 output_addr;
} FW_PACKED zv_api_cv_nms_t;
static_assert(sizeof(zv_api_cv_nms_t) == 24, "zv_api_cv_nms_t is 24 bytes");

// API 511.
typedef struct {
  u64 input_addr;
  u32 proposal_size;
  u32 weighting_method;  // 0 linear, 1 gaussian
  float sigma;
  u64 overlap_addr;
  u64 weighting_addr;
} FW_PACKED zv_api_cv_soft_nms_t;
static_assert(sizeof(zv_api_cv_soft_nms_t) == 36, "zv_api_cv_soft_nms_t is 36 bytes");

// The local regions of one pass of P boxes with a batch of B rows. AP and BP
// are one coordinate vector of all boxes and of the batch (lane 0), M one B x P
// matrix (bytes per lane). Offsets in the order the engine checks them.
#define NMS_AREA_COUNT 10
typedef struct {
  u32 AP, BP, M;
  u32 all;  // x1, y1, x2, y2 of all boxes
  u32 local_xy_loop;
  u32 xy, wh, xy_tmp;
  u32 local_area;       // width, height, area of all boxes
  u32 local_area_loop;  // width, height, area of the batch
  // hard NMS: union / IoU / suppression matrix, area sum, compare scratch;
  // soft-NMS: overlap, area sum, weights.
  u32 local_mask_merge, local_area_temp, local_mask_merge_tmp;
  u32 end;
  local_area_t areas[NMS_AREA_COUNT];
} nms_local_plan_t;

extern "C" {

extern i32 nms_vec_face_demo_mode;
// Cursor of the DTCM scratch window; callers of the NMS engine set it to
// DTCM_SCRATCH_START before and after a call.
extern u64 cv_cur_dtcm_addr;

// ---- Handlers ----
u32 zv_api_cv_nms(u8 *param, u32 size);
u32 zv_api_cv_soft_nms(u8 *param, u32 size);

// ---- Planning (pure) ----

// Rows per pass for planning count L: the local-memory limit, the DTCM limit
// and L itself (see the engine). Fails when L leaves no DTCM for the rows.
int nodechip_get_max_process_size(int L);
// The local-memory limit alone (a multiple of 32, or 583 for L = 583).
int nms_local_batch_limit(int L);
// The local regions for P boxes and a batch of B rows; soft selects the
// soft-NMS tail.
void nms_local_plan_of(nms_local_plan_t *plan, int P, int B, int soft);

// ---- Layers ----

// Hard NMS of P boxes: proposal mode writes the nms_proposal_t block to
// output_proposal (a device address); face-demo mode appends to the caller's
// block at the ARM address output_proposal, reading the caller's list at
// proposal_list. Returns 0.
int nodechip_cv_nms_vec(u64 input_proposal, u64 sorted_proposal, u64 proposal_list, u32 proposal_size,
                        float nms_threshold, u64 output_proposal, cmd_id_node_t *node);
int nodechip_cv_nms_vec_common(u64 input_proposal, u64 sorted_proposal, u64 proposal_list, int box_num,
                               int proposal_size, float nms_threshold, u64 output_proposal, u8 index_flag,
                               int plan_count, u64 bbox_addr, u64 score_addr, u64 output_index,
                               u64 sorted_index, i32 *count, cmd_id_node_t *node);
// Pairwise IoU and soft-NMS weights of P boxes in input order: P x P f32 rows
// to overlap_addr and weighting_addr. Returns 0.
int nodechip_cv_soft_nms_vec(u64 input_proposal, u32 proposal_size, u32 weighting_method, float sigma,
                             u64 overlap_addr, u64 weighting_addr, cmd_id_node_t *node);
// NMS on separate box and score arrays with an optional score threshold (below
// 0 or NaN: none): the input positions of the kept boxes (int32, keep order) to
// output, their number to *count.
void nodechip_nms_v2(u64 bbox_addr, u64 score_addr, u64 output_addr, u64 unused_addr, u32 box_num,
                     u32 max_output_size, i32 *count, float iou_threshold, float score_threshold,
                     cmd_id_node_t *node);
}
