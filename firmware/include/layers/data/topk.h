// Per-dimension sort and top-k of tensors in device memory, and the APIs that
// reach them (180 sort per dimension, 700 top-k).
//
// The sorts move the chosen dimension last (a transpose into the value output,
// which serves as scratch) and sort every row with one CDMA command, whose
// engine numbers the positions itself; the results are transposed back.
//
// Top-k of v2 sorts every row with the CDMA engine and keeps the first k; a
// single row longer than TOPK_SORT_WHOLE first narrows its candidates, part by
// part, by a threshold search on the tensor engine (the marks beyond a
// bisected threshold counted on the ARM), so that one short sort and one gather
// remain.
//
// Top-k by rounds keeps the tensor in local memory as slices along the chosen
// dimension (the cumulative sum's slices) and finds the k largest values by k
// rounds: a compare-and-select pass over the slices gives each position's
// maximum and the first slice holding it, and that one occurrence is then
// replaced by -FLT_MAX.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// Local memory of one lane that top-k's slices and its four work slices fill.
#define TOPK_LOCAL_BYTES 0x80000u

// Top-k's layout: `slices` input slices of `slice_bytes` per lane from offset
// 0, then the running maximum, the round maximum, the running index and the
// squared difference. `areas` covers all of them.
#define TOPK_AREA_COUNT 5
typedef struct {
  i64 slice_bytes, slices;
  i64 work;  // offset of the first work slice
  local_area_t areas[TOPK_AREA_COUNT];
} topk_plan_t;

// ---- Top-k v2's pre-selection ----

#define TOPK_SORT_WHOLE 200000       // longest single row sorted whole
#define TOPK_PART_LEN 0x3ff800       // elements of one part (2047 rows of 2048)
#define TOPK_PART_ROW 2048           // elements of one local row: 64 lanes x 32
#define TOPK_MAX_CANDIDATES 10000    // most candidates a part may keep
#define TOPK_THRESHOLD_ROUNDS 1002   // rounds of the threshold search
#define TOPK_EXACT_POSITIONS (1 << 24)  // positions travel as float32

// Local memory of one part: the values (then their positions) from 0, the
// negated copy (then the marks) from TOPK_LOCAL_MARKS, the per-lane results
// and the index sequence's scratch behind it.
#define TOPK_LOCAL_VALUES 0x0u
#define TOPK_LOCAL_MARKS 0x3ff80u
#define TOPK_LOCAL_LANE_RESULT 0x7ff00u
#define TOPK_LOCAL_SEQ_SCRATCH 0x7ff80u

// The work areas of a pre-selection of a row of len elements keeping k:
// buffer (512-byte aligned): candidate values (and the later parts' staging),
// the sort's index scratch behind them, then the words the ARM reads back;
// L2 SRAM from L2_SRAM_SCRATCH_START: the candidates' positions (and staging),
// the sorted candidate numbers, the gathered positions.
typedef struct {
  int parts;
  u64 max_candidates;  // parts x TOPK_MAX_CANDIDATES + k (the stage appended)
  u64 cand_bytes;      // candidate values and staging, in buffer
  u64 readback;        // offset in buffer of the read-back words (2 x 64 floats)
  u64 buffer_bytes;
  u64 l2_indices, l2_sorted, l2_result, l2_end;
} topk_pre_plan_t;

// The threshold bracket of the last part pre-selected (kept between calls;
// read only for a call's second and later parts).
extern float pre_max_val, pre_mid_val, pre_min_val;

// ---- API records ----

// API 700.
typedef struct {
  u64 input_addr;
  u64 value_out_addr;
  u64 index_out_addr;
  i32 k;
  i32 dim;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
} FW_PACKED zv_api_topk_t;
static_assert(sizeof(zv_api_topk_t) == 48, "zv_api_topk_t is 48 bytes");

// API 180.
typedef struct {
  u64 input_addr;
  u64 index_out_addr;
  u64 value_out_addr;
  u64 buffer_addr;
  u64 buffer2_addr;
  u64 buffer3_addr;
  i32 type_size;
  i32 shape[8];
  i32 dims;
  i32 dim;
  u8 unused0;
  u8 unused1;
  u8 descending;
  u8 pad;
} FW_PACKED zv_api_sort_per_dim_t;
static_assert(sizeof(zv_api_sort_per_dim_t) == 96, "zv_api_sort_per_dim_t is 96 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_sort_per_dim(u8 *param, u32 size);
u32 zv_api_topk(u8 *param, u32 size);

// ---- Planning (pure) ----

// The local layout of top-k along dim (0 to 3) of N x C x H x W.
void topk_plan_of(topk_plan_t *plan, int dim, int N, int C, int H, int W);
// The pre-selection's work areas for a row of len elements keeping k.
void topk_pre_plan_of(topk_pre_plan_t *plan, u64 len, int k);

// ---- Layers ----

// Sorts every row along `dim` of a float32 tensor (shape, dims): sorted values
// into value_out, their positions along dim (int32) into index_out, both
// shaped like the input. Descending when `descending` is non-zero; equal keys
// keep their order. buffer1 and buffer2 each hold the whole tensor; when dim is
// not the last both outputs also serve as scratch. The two ignored bytes are
// the record's.
void nodechip_sort_per_dim(u64 input, u64 index_out, u64 value_out, u64 buffer1, u64 buffer2, const int *shape,
                           int dims, int dim, u8 ignored0, u8 ignored1, u8 descending, cmd_id_node_t *node);
// The same for signed 8-bit data; buffer1 to buffer3 hold the whole tensor as
// float32 each.
void nodechip_sort_per_dim_fix8b(u64 input, u64 index_out, u64 value_out, u64 buffer1, u64 buffer2, u64 buffer3,
                                 const int *shape, int dims, int dim, u8 ignored0, u8 ignored1, u8 descending,
                                 cmd_id_node_t *node);

// The first k of the sort along dim of a float32 tensor (shape, dims): values
// to value_out and positions (int32) to index_out, shaped like the input with
// k at dim; largest first when descending. Extents of 1 behind dim are
// dropped. dim last: one CDMA sort per row (index scratch in buffer, len x 4
// bytes per row), or for a single row longer than TOPK_SORT_WHOLE the
// pre-selection (buffer of topk_pre_plan_t.buffer_bytes, 512-byte aligned;
// value_out and index_out stage k entries). dim not last: the sort per
// dimension into buffer (four areas of the tensor's size) unless k is the
// extent, then the first k along dim.
void nodechip_topk_v2(u64 input, u64 value_out, u64 index_out, u64 buffer, int k, int dim, u8 descending,
                      const int *shape, int dims, cmd_id_node_t *node);
// The pre-selection of a row in parts: the candidates' values to cand_values
// and positions to cand_indices; returns their count (0: none, the stage holds
// the result).
int topk_preprocess_with_data_split(u64 input, u64 stage_values, u64 stage_indices, u64 cand_values,
                                    u64 cand_indices, int k, int descending, int len, u64 readback,
                                    cmd_id_node_t *node);

// The k largest values along dim (0 to 3) of a float32 N x C x H x W tensor,
// in descending order, into value_out, and their positions (int32, among equal
// values the lowest first) into index_out; both are shaped like the input with
// k at dim. A negative k means the whole extent.
void nodechip_topk(u64 input, u64 value_out, u64 index_out, int k, int dim, int N, int C, int H, int W,
                   cmd_id_node_t *node);
}
