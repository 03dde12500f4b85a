// The unary frame: one element-wise float function of the unary table applied
// to a flat run of elements in device memory, and the float activation
// entries over it (ReLU with slope and limit, sigmoid, tanh, absolute value,
// the activation selector); and the APIs that reach them (42, 65, 147, 174,
// 901, 902).
//
// The run is cut by the aligned length split into pieces of at most one bank
// share per lane: the two input buffers, the output buffer and the function's
// scratch buffers each take b = 8 / (num_buffer + 3) banks of 64 KB. A
// two-stage pipeline loads piece i on the GDMA while the tensor engine
// computes piece i - 1, which is then stored; the two engines run on two
// working copies of the caller's node, merged after each step. The layer
// never waits.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_slice.h"
#include "local/math.h"
#include "runtime/types.h"

#define UNARY_MAX_BUFFERS 5

// The plan of one unary type: bank share, buffers and the split hint.
typedef struct {
  int banks;                     // b
  u32 input[2];                  // per pipeline slot
  u32 output;
  u32 scratch[UNARY_MAX_BUFFERS];
  split_info_t hint;
  int area_count;
  local_area_t areas[3 + UNARY_MAX_BUFFERS];
} unary_plan_t;

// ---- API records ----

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 length;
  u32 unary_type;
  u32 params[2];
} FW_PACKED zv_api_unary_t;
static_assert(sizeof(zv_api_unary_t) == 36, "zv_api_unary_t is 36 bytes");

typedef struct {
  u64 input_addr;
  u64 output_addr;
  float negative_slope;
  float relu_upper_limit;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_relu_forward_parallel_t;
static_assert(sizeof(zv_api_relu_forward_parallel_t) == 40, "zv_api_relu_forward_parallel_t is 40 bytes");

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_absval_forward_t;
static_assert(sizeof(zv_api_absval_forward_t) == 32, "zv_api_absval_forward_t is 32 bytes");

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 outer_size;
  u32 inner_size;
  u32 active_type;
  u32 active_param;  // the parameter block in the ARM's address space, 0 for none
} FW_PACKED zv_api_active_forward_t;
static_assert(sizeof(zv_api_active_forward_t) == 32, "zv_api_active_forward_t is 32 bytes");

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 n;
  u32 inner;
} FW_PACKED zv_api_sigmoid_forward_parallel_t;
static_assert(sizeof(zv_api_sigmoid_forward_parallel_t) == 24, "zv_api_sigmoid_forward_parallel_t is 24 bytes");

typedef zv_api_sigmoid_forward_parallel_t zv_api_tanh_forward_parallel_t;

extern "C" {

// ---- Handlers ----
u32 zv_api_unary(u8 *param, u32 size);
u32 zv_api_relu_forward_parallel(u8 *param, u32 size);
u32 zv_api_absval_forward(u8 *param, u32 size);
u32 zv_api_active_forward_parallel(u8 *param, u32 size);
u32 zv_api_sigmoid_forward_parallel(u8 *param, u32 size);
u32 zv_api_tanh_forward_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----
// The plan for a context needing `num_buffer` scratch buffers (0 to 5).
void unary_plan_of(unary_plan_t *plan, int num_buffer);
// The unary type of an activation code; -1 when there is none.
int active_unary_type(int active_type);
// The pipeline's merge: both working copies and the node take the larger of
// each id; the node stays divided.
void unary_merge_copies(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute);

// ---- Layers ----
void nodechip_unary(u64 input, u64 output, u64 length, int unary_type, const void *params, cmd_id_node_t *node);
// y = x for x > 0, slope x otherwise, then at most the limit when it is above
// 0; a slope of 1.0 copies.
void nodechip_relu_forward_32bit_parallel(u64 input, u64 output, float negative_slope, float upper_limit, int n,
                                          int c, int h, int w, cmd_id_node_t *node);
void nodechip_sigmoid_forward_parallel(u64 input, u64 output, int n, int inner, cmd_id_node_t *node);
void nodechip_tanh_forward_parallel(u64 input, u64 output, int n, int inner, cmd_id_node_t *node);
void nodechip_absval_forward(u64 input, u64 output, int n, int c, int h, int w, cmd_id_node_t *node);
// An unsupported code is logged and issues nothing.
void nodechip_active_forward_parallel(u64 input, u64 output, u64 length, int active_type, const void *params,
                                      cmd_id_node_t *node);
}
