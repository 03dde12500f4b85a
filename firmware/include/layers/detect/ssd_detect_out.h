// SSD detection output, and API 176.
//
// Per image: the box offsets are decoded against the prior boxes (centre and
// size coding), the boxes of each class whose confidence passes the threshold
// are sorted by score, cut to top_k and gathered into the class's stretch of
// the candidate list, suppressed per class by an adaptive greedy NMS,
// optionally cut to the best keep_top_k of the image, and written as
// detect_output_box_t records. A call that finds nothing writes one
// [image, -1 x 6] record per image.
//
// The engines do the arithmetic: per-prior data lies in local memory with the
// priors sliced over the lanes (prior j in lane j div K, slot j mod K, one
// align32(K) plane per value), where the tensor engine decodes the boxes and
// builds the threshold mask; GDMA compacts by that mask into L2 SRAM, CDMA
// sorts, the gather engine reorders, and the tensor engine computes the IoU
// matrix of each group of classes. The ARM keeps the per-class bookkeeping in
// DTCM and runs the NMS keep loop over IoU rows read back into DTCM.
//
// Scratch comes from three bump allocators whose cursors are reset at entry:
// every lane's local memory, L2 SRAM (bounded below the engines' lookup
// tables) and the DTCM scratch window.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"
#include "runtime/types.h"

// One detection: 7 f32. SSD: image, label, score, xmin, ymin, xmax, ymax;
// YOLOv3: image, class, score, centre x, centre y, width, height.
typedef struct {
  float v[7];
} FW_PACKED detect_output_box_t;
static_assert(sizeof(detect_output_box_t) == 28, "detect_output_box_t is 28 bytes");

// API 176.
typedef struct {
  u64 loc_addr;
  u64 conf_addr;
  u64 prior_addr;
  u64 output_addr;
  i32 num;
  i32 num_priors;
  i32 num_classes;
  i32 num_loc_classes;
  i32 share_location;
  i32 background_label_id;
  i32 top_k;
  i32 code_type;
  i32 keep_top_k;
  i32 variance_encoded_in_target;
  float nms_threshold;
  float confidence_threshold;
  float eta;
} FW_PACKED zv_api_ssd_detect_out_t;
static_assert(sizeof(zv_api_ssd_detect_out_t) == 84, "zv_api_ssd_detect_out_t is 84 bytes");

#define SSD_CODE_CENTER_SIZE 2
#define SSD_MAX_TOP_K 700
// Images without keep_top_k write at most this many records.
#define SSD_MAX_UNCUT_RECORDS 200
// What an image's step writes of its T kept results: none (keep_top_k 0 or
// nothing kept), all of them, the best keep_top_k after a sort by score, or
// (keep_top_k < 0) the first SSD_MAX_UNCUT_RECORDS.
enum { SSD_RECORDS_NONE, SSD_RECORDS_ALL, SSD_RECORDS_TOP_K, SSD_RECORDS_CAP };
typedef struct {
  int cut;      // SSD_RECORDS_*
  i64 records;  // records written
} ssd_records_t;
// Pure.
ssd_records_t ssd_records_of(int keep_top_k, i64 T);

// The L2 SRAM scratch of the layer: from its start to the lookup tables.
#define SSD_L2_SCRATCH_START 0x100a2000u
#define SSD_L2_SCRATCH_END 0x10300000u
// A group of classes is closed for the IoU computation once it holds more
// candidates than this.
#define SSD_NMS_GROUP_MIN 255
// IoU rows come back to DTCM in chunks of at most this many floats.
#define SSD_IOU_CHUNK_FLOATS 65536

// n items sliced over the lanes: item j in lane j div per_lane, slot
// j mod per_lane; planes of one value per item are `plane` floats apart.
typedef struct {
  i32 lanes;     // min(n, 64)
  i32 per_lane;  // ceil(n / lanes)
  i32 plane;     // per_lane rounded up to 32
  i32 full;      // lanes holding per_lane items
  i32 rest;      // items in lane `full` (0: none)
} ssd_lane_plan_t;

// The areas resident in local memory for a whole call, from offset 0.
enum {
  SSD_AREA_PRIOR,     // 4 planes: xmin, ymin, xmax, ymax of the priors
  SSD_AREA_VARIANCE,  // 4 planes (empty when the variances are in the offsets)
  SSD_AREA_BOX,       // 4 planes: the decoded boxes
  SSD_AREA_LOC,       // 4 planes: the offsets being decoded
  SSD_AREA_CONF,      // one plane per class
  SSD_AREA_MASK,      // the threshold mask of one class
  SSD_AREA_VALID,     // 1.0 on the priors, 0.0 on padding (thresholds below -1 only)
  SSD_AREA_WORK,      // the load staging or the decode's temporaries, in turn
  SSD_AREA_COUNT
};

typedef struct {
  ssd_lane_plan_t lanes;
  u32 plane_bytes;
  u32 resident_bytes;  // the areas before SSD_AREA_WORK
  local_area_t areas[SSD_AREA_COUNT];
} ssd_local_plan_t;

// One group of G candidates for the IoU matrix: candidate k in lane k div M,
// slot k mod M (the rows), and every coordinate again as one vector of G in
// lane 0 (the columns). The matrix has L x M rows of G floats, row r in lane
// r % 64; it comes back to DTCM `chunk_rows` rows at a time.
enum {
  SSD_GROUP_ROWS,     // 5 planes of M: xmin, ymin, xmax, ymax, area
  SSD_GROUP_COLUMNS,  // 5 vectors of G in lane 0, the same values
  SSD_GROUP_IOU,      // the IoU matrix
  SSD_GROUP_TMP1,     // two matrices of temporaries
  SSD_GROUP_TMP2,
  SSD_GROUP_AREA_COUNT
};

typedef struct {
  ssd_lane_plan_t lanes;  // L = lanes, M = per_lane
  i32 G;
  i32 columns_plane;      // G rounded up to 32
  u32 matrix_bytes;       // per lane
  i32 chunk_rows;
  u32 bytes;              // per lane, all areas
  local_area_t areas[SSD_GROUP_AREA_COUNT];  // offsets from the group's base
} ssd_group_plan_t;

extern "C" {
u32 zv_api_ssd_detect_out(u8 *param, u32 size);

// Records one image may write (at least 1, for the [image, -1 x 6] record).
i64 ssd_detect_out_max_records(int num_priors, int keep_top_k);

void nodechip_ssd_detect_out(u64 loc_addr, u64 conf_addr, u64 prior_addr, u64 output_addr, int num, int num_priors,
                             int num_classes, int num_loc_classes, int share_location, int background_label_id,
                             int top_k, int code_type, int keep_top_k, int variance_encoded_in_target,
                             float nms_threshold, float confidence_threshold, float eta, int *count,
                             cmd_id_node_t *node);

// Pure plans (exported for their tests). n >= 1, G >= 1.
ssd_lane_plan_t ssd_lane_plan_of(i64 n);
ssd_local_plan_t ssd_local_plan_of(int num_priors, int num_classes, int variance_encoded_in_target,
                                   int needs_valid);
ssd_group_plan_t ssd_group_plan_of(int G);

// Loads n items of k f32 each (dense at `addr`) into k planes at the local
// offset, sliced over the lanes as ssd_lane_plan_of(n); slots beyond n hold -1.
void ssd_detect_out_move_to_local_and_tranpose(u64 addr, u32 local_offset, int n, int k, cmd_id_node_t *node);
// Centre-size decode of four offset planes (x, y, width, height; overwritten)
// into four corner planes (xmin, ymin, xmax, ymax), on planes of `shape`
// (1 x lanes x 1 x per_lane) `stride->n` floats apart. Local offsets.
void ssd_detect_out_decode_box_CENTER_SIZE(u32 loc, u32 output, u32 prior, u32 variance, const dim4_t *shape,
                                           const dim4_t *stride, int variance_encoded_in_target,
                                           cmd_id_node_t *node);

// The allocators (exported for their tests). Allocation rounds the cursor up to
// `align` (a power of two) and returns that address; reset sets the cursor.
u64 local_mem_alloc(u64 size, u64 align);
void local_mem_reset(u64 offset);
u64 l2sram_alloc(u64 size, u64 align);
void l2sram_reset(u64 offset);
u64 dtcm_alloc(u64 size);
void dtcm_reset(u64 offset);
}
