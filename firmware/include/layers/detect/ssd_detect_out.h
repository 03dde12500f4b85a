// SSD detection output, and API 176.
//
// Per image: the box offsets are decoded against the prior boxes (centre and
// size coding), the boxes of each class whose confidence passes the threshold
// are sorted by score (CDMA), cut to top_k and gathered into the class's
// stretch of the candidate list (GDE), suppressed per class by an adaptive
// greedy NMS, optionally cut to the best keep_top_k of the image, and written
// as detect_output_box_t records. A call that finds nothing writes one
// [image, -1 x 6] record per image.
//
// Scratch comes from two bump allocators whose cursors are reset at entry:
// L2 SRAM (bounded below the engines' lookup tables) and the DTCM scratch
// window. The per-prior data (priors, variances, the image's
// locations, one class's confidences, the decoded boxes) is staged in L2 SRAM
// by GDMA; the filter, the decode and the keep loop run on the ARM.
#pragma once

#include "cmd/cmd_framework.h"
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
// The L2 SRAM scratch of the layer: from its start to the lookup tables.
#define SSD_L2_SCRATCH_START 0x100a2000u
#define SSD_L2_SCRATCH_END 0x10300000u

extern "C" {
u32 zv_api_ssd_detect_out(u8 *param, u32 size);

// Records one image may write (at least 1, for the [image, -1 x 6] record).
i64 ssd_detect_out_max_records(int num_priors, int keep_top_k);

void nodechip_ssd_detect_out(u64 loc_addr, u64 conf_addr, u64 prior_addr, u64 output_addr, int num, int num_priors,
                             int num_classes, int num_loc_classes, int share_location, int background_label_id,
                             int top_k, int code_type, int keep_top_k, int variance_encoded_in_target,
                             float nms_threshold, float confidence_threshold, float eta, int *count,
                             cmd_id_node_t *node);

// The allocators (exported for their tests). Allocation rounds the cursor up to
// `align` (a power of two) and returns that address; reset sets the cursor.
u64 l2sram_alloc(u64 size, u64 align);
void l2sram_reset(u64 offset);
u64 dtcm_alloc(u64 size);
void dtcm_reset(u64 offset);
}
