// Per-dimension sort and top-k of tensors in device memory, and the APIs that
// reach them (180 sort per dimension, 700 top-k).
//
// The sorts move the chosen dimension last (a transpose into the value output,
// which serves as scratch) and sort every row with one CDMA command, whose
// engine numbers the positions itself; the results are transposed back.
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

// The k largest values along dim (0 to 3) of a float32 N x C x H x W tensor,
// in descending order, into value_out, and their positions (int32, among equal
// values the lowest first) into index_out; both are shaped like the input with
// k at dim. A negative k means the whole extent.
void nodechip_topk(u64 input, u64 value_out, u64 index_out, int k, int dim, int N, int C, int H, int W,
                   cmd_id_node_t *node);
}
