// YOLOv3 detection output, and API 178.
//
// Head k holds, per image, num_boxes anchor blocks of num_classes + 5 channels
// (tx, ty, tw, th, objectness, class logits) over an h_k x w_k grid. Per cell
// and anchor the best class logit is taken (the lowest class index among
// equal logits), scored as sigmoid(logit) x sigmoid(objectness), kept above
// the confidence threshold and decoded to a centre and size relative to the
// network input. The candidates of an image (heads in order, then row,
// column, anchor) are sorted by score on the CDMA engine (equal scores in
// candidate order), suppressed by a class-agnostic greedy NMS (IoU at or
// above the threshold suppresses), cut to keep_top_k and written as
// detect_output_box_t records. Images go in passes of 8 (first head 19 rows
// high) or 16; a pass without detections writes one [image, -1 x 6] record
// per image of the pass.
//
// Per-cell work runs on the tensor engine, one step per image and up to 64
// rows of a head (rows on lanes, the anchors' cells of a row inside a lane):
// the class maximum by a pairwise compare-and-select tree over chunks of
// class channels, the sigmoids and exponentials on the engine's tables, the
// decode and the threshold mask; a masked GDMA move compacts the six values
// of the candidates in (row, column, anchor) order. The ARM concatenates the
// compacted lists, breaks score ties after the CDMA sort and, for at most 80
// boxes, runs the NMS itself; larger lists are suppressed on the engine (IoU
// matrices by vector correlation, one wait per candidate). The candidate lists
// live in L2 SRAM below 0x1025E000, the compacted pieces in DTCM when they fit.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "layers/detect/nms_blocks.h"
#include "layers/detect/ssd_detect_out.h"
#include "runtime/types.h"

#define YOLOV3_MAX_HEADS 3
#define YOLOV3_MAX_ANCHORS 9
#define YOLOV3_L2_SCRATCH_START 0x100a2000u
#define YOLOV3_L2_SCRATCH_END 0x1025E000u
// Lists of at most this many boxes are suppressed on the ARM.
#define YOLOV3_ARM_NMS_MAX 80
// Class channels of one chunk of the class stage at most.
#define YOLOV3_CLASS_CHUNK_MAX 1024

// ---- Plan of one head's per-cell stage (pure) ----
//
// A step holds `rows` rows of the head, row r in lane r; a plane is the
// w x num_boxes cells of a row, anchor-major (anchor j, column x at j x w + x)
// for the arithmetic, column-major (x x num_boxes + j) for the compaction, and
// takes plane_bytes per lane. Class channels are reduced in chunks of
// class_chunk: the chunk's even and odd channels are loaded apart and paired
// by a tree of compare-and-select commands whose levels alternate between the
// two level areas (values, then indices).
enum {
  YOLOV3_AREA_RAW,      // tx, ty, tw, th, objectness
  YOLOV3_AREA_EVEN,     // even class channels of the chunk
  YOLOV3_AREA_ODD,      // odd class channels of the chunk
  YOLOV3_AREA_LEVEL_A,  // tree levels 1, 3, ...: half values, half indices
  YOLOV3_AREA_LEVEL_B,  // tree levels 2, 4, ...
  YOLOV3_AREA_BEST,     // running maximum over chunks, twice (value, index)
  YOLOV3_AREA_CHUNK,    // a later chunk's maximum (value, index)
  YOLOV3_AREA_DEC,      // class, score, centre x, centre y, width, height
  YOLOV3_AREA_WORK,     // exponential scratch, two planes
  YOLOV3_AREA_MASK,     // 1.0 where the score passes the threshold
  YOLOV3_AREA_OUT,      // the six planes column-major
  YOLOV3_AREA_MASK6,    // the mask six times, column-major
  YOLOV3_AREA_RAMP,     // the column of each cell
  YOLOV3_AREA_ROWS,     // the row of each lane, one float per lane
  YOLOV3_AREA_COUNT
};

typedef struct {
  int h, w, num_boxes, num_classes;
  int cells;           // w x num_boxes, the cells of one row
  u32 plane_bytes;     // cells rounded up to 32 floats
  int rows;            // rows per step (lanes)
  int steps;           // ceil(h / rows)
  int class_chunk;     // class channels per chunk; 0 when not one fits
  int class_chunks;
  int half;            // ceil(class_chunk / 2)
  u64 local_mem_usage; // bytes per lane of all areas
  local_area_t areas[YOLOV3_AREA_COUNT];
} yolov3_head_plan_t;

// ---- Plan of the engine NMS of n sorted boxes (pure) ----
//
// The boxes' corners and areas are vectors in lane 0; rows of the pairwise
// matrices are cut into blocks of block_rows boxes (a multiple of 64 unless
// one block holds all), each block against the boxes up to its end, row r in
// channel r. The kept records are compacted over `lanes` lanes of per_lane
// boxes each.
enum {
  YOLOV3_NMS_AREA_BOX = NMS_BLOCK_AREA_BOX,          // x1, y1, x2, y2, half w, half h, area
  YOLOV3_NMS_AREA_MATRIX = NMS_BLOCK_AREA_MATRIX,    // four block x boxes matrices
  YOLOV3_NMS_AREA_KEEP = NMS_BLOCK_AREA_KEEP,        // the block's keep flags, one per channel
  YOLOV3_NMS_AREA_RECORDS = NMS_BLOCK_AREA_FIELDS,   // the seven fields for the compaction
  YOLOV3_NMS_AREA_MASK7 = NMS_BLOCK_AREA_MASK,       // the keep flags seven times
  YOLOV3_NMS_AREA_COUNT = NMS_BLOCK_AREA_COUNT
};

typedef nms_block_plan_t yolov3_nms_plan_t;

// API 178.
typedef struct {
  u64 input_addr[YOLOV3_MAX_HEADS];
  u64 output_addr;
  i32 input_num;
  i32 num;
  i32 head_shape[YOLOV3_MAX_HEADS][2];  // (h, w)
  i32 num_classes;
  i32 num_boxes;
  i32 mask_group;
  i32 keep_top_k;
  float nms_threshold;
  float confidence_threshold;
  float biases[2 * YOLOV3_MAX_ANCHORS];
  float strides[YOLOV3_MAX_HEADS];
  float mask[YOLOV3_MAX_ANCHORS];
} FW_PACKED zv_api_yolov3_detect_out_t;
static_assert(sizeof(zv_api_yolov3_detect_out_t) == 208, "zv_api_yolov3_detect_out_t is 208 bytes");

extern "C" {
u32 zv_api_yolov3_detect_out(u8 *param, u32 size);

// The plans (pure). A head plan whose class_chunk is 0 has local_mem_usage
// for a chunk of one channel, above the lane's 512 KB.
void yolov3_head_plan_of(yolov3_head_plan_t *plan, int h, int w, int num_boxes, int num_classes);
void yolov3_nms_plan_of(yolov3_nms_plan_t *plan, int n);

// Records one image may write (at least 1) for the given heads.
i64 yolov3_detect_out_max_records(int input_num, const int *head_shape, int num_boxes, int keep_top_k);

void nodechip_yolov3_detect_out(const u64 *bottom_addrs, u64 top_addr, int input_num, int num, const int *head_shape,
                                int num_classes, int num_boxes, int mask_group, int keep_top_k, float nms_threshold,
                                float confidence_threshold, const float *biases, const float *strides,
                                const float *mask, int *count, cmd_id_node_t *node);
}
