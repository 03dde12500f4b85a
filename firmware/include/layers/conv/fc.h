// Float32 fully connected layer Y = X x W (+ bias) over row-major matrices in
// device memory (API 900), and the batch matrix product over broadcast
// leading dimensions built on it.
//
// M, K and N are cut into sections (quotient and remainder, the first
// remainder sections one larger) so that one step's X block, W block and bias
// fit a half of the lane (0..0x30000 or 0x40000..0x70000) and one output block
// a bank (0x30000 or 0x70000). Steps run matrix > M > N > K (innermost); the
// loads of a step overlap the multiply of the step before, and the store of a
// finished output block overlaps the multiplies after it.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define FC_BANK_SIZE 0x10000u
#define FC_HALF_OFFSET 0x40000u
#define FC_OUT_OFFSET 0x30000u

// Activation codes of active_type.
#define FC_ACTIVE_RELU 1
#define FC_ACTIVE_PRELU 2

typedef struct {
  int Msecs, Ksecs, Nsecs;
} fc_secs_t;

// The layout of one call: the largest section extents, the bytes per lane of a
// block row (b = 4 x align32(sec_size)), and the two buffer sets.
#define FC_AREA_COUNT 8
typedef struct {
  fc_secs_t secs;
  int m, k, n;      // largest sections
  u32 row_bytes;    // b
  u32 input[2], weight[2], bias[2], output[2];
  u32 input_bytes, weight_bytes, bias_bytes, output_bytes;
  local_area_t areas[FC_AREA_COUNT];
  int area_count;
} fc_plan_t;

// API 900.
typedef struct {
  u64 input_addr;
  u64 weight_addr;
  u64 bias_addr;
  u64 output_addr;
  u64 slope_addr;
  i32 batch_size;
  i32 input_neuron_num;
  i32 output_neuron_num;
  i32 weight_transpose;
  i32 using_bias;
  i32 reserved0;
  i32 reserved1;
  i32 active_type;
  i32 channel_shared;
  float shared_slope;
  i32 sec_size;
} FW_PACKED zv_api_fc_forward_parallel_t;
static_assert(sizeof(zv_api_fc_forward_parallel_t) == 84, "zv_api_fc_forward_parallel_t is 84 bytes");

extern "C" {

u32 zv_api_fc_forward_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----
void nodechip_fc_forward_parallel_get_slice_num_multidim_optimize(int M, int K, int N, int have_bias, int sec_size,
                                                                  fc_secs_t *secs);
// Sections and layout; the layout checks are the layer's.
void fc_plan_of(fc_plan_t *plan, int M, int K, int N, int have_bias, int sec_size);
// Size and start of section `idx` of `total` cut into `secs`.
int fc_sec_size(int total, int secs, int idx);
int fc_sec_start(int total, int secs, int idx);
u64 get_slice_global_offset_with_batch(u64 base, int idx, int row_sec, int col_sec, int rows, int cols,
                                       int row_secs, int col_secs);

// ---- Layers ----
// active_type 1: ReLU; 2: PReLU with `slope` when channel_shared, else one
// slope per output column at slope_addr; other values: none.
void nodechip_fc_forward_parallel(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr, u64 slope_addr,
                                  int M, int K, int N, int transpose, int have_bias, int active_type,
                                  int channel_shared, float slope, int sec_size, cmd_id_node_t *node);
// The same over `count` matrices stored one after another (X, W and Y; the
// bias is shared).
void nodechip_fc_forward_parallel_v2(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr,
                                     u64 slope_addr, int count, int M, int K, int N, int transpose, int have_bias,
                                     int active_type, int channel_shared, float slope, int sec_size,
                                     cmd_id_node_t *node);
// Y = A x B over numpy-style broadcast leading dimensions (the last two of
// each shape are the matrix). Writes the output shape and dim count when the
// pointers are given.
void nodechip_batch_matmul_forward_parallel(u64 A_addr, const int *A_shape, int A_dims, u64 B_addr,
                                            const int *B_shape, int B_dims, u64 Y_addr, int if_relu, int unused,
                                            int *Y_shape, int *Y_dims, cmd_id_node_t *node);
}
