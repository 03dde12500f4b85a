// Float eltwise: up to eight inputs of one shape combined element by element
// into one output (product, weighted sum, maximum with an optional mask of
// which input holds it), optionally followed by a ReLU; and API 36.
//
// The inputs are combined pairwise through the output in device memory: the
// first pair (for the maximum, the first input alone) writes the output, every
// later input is combined with the output read back. The pairwise routine cuts
// the element count into pieces moved as matrices in 32-wide sections; its
// bank share D = 8 / (buffers of the pair's role) keeps each buffer on a 64 KB
// boundary.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define ELTWISE_PROD 0
#define ELTWISE_SUM 1
#define ELTWISE_MAX 2
#define ELTWISE_MAX_INPUTS 8

// One pair's role: its bank share and the local buffers (untagged offsets).
typedef struct {
  int banks;      // D
  u32 share;      // S = D x 64 KB
  u32 first;      // first operand, and the result without mask
  u32 second;     // second operand (later pairs); the mask of a first MAX input
  u32 old_mask;   // later MAX pair with mask
  u32 new_mask;
  u32 new_max;
  int area_count;
  local_area_t areas[5];
} eltwise_pair_plan_t;

// One piece: rows x cols elements, seen by the tensor engine as N = rows,
// C = sections of 32 columns, H = 1, W = 32.
typedef struct {
  int rows, cols, sections;
} eltwise_piece_t;

// ---- API record ----

typedef struct {
  u64 input_addr[ELTWISE_MAX_INPUTS];
  u64 output_addr;
  u64 mask_addr;
  u32 input_num;
  u32 input_shape[4];  // n, c, h, w
  u32 op_code;
  float coeff[ELTWISE_MAX_INPUTS];
  u32 mask_flag;
  float mask_value[ELTWISE_MAX_INPUTS];
  u32 relu_flag;
} FW_PACKED zv_api_eltwise_forward_t;
static_assert(sizeof(zv_api_eltwise_forward_t) == 176, "zv_api_eltwise_forward_t is 176 bytes");

extern "C" {

u32 zv_api_eltwise_forward(u8 *param, u32 size);

// ---- Planning (pure) ----
void eltwise_pair_plan_of(eltwise_pair_plan_t *plan, int op, int mask_flag, int first_input);
// The next piece of `remaining` elements with bank share D.
eltwise_piece_t eltwise_piece_of(u64 remaining, int banks);

// ---- Layers ----
void nodechip_eltwise_forward(const u64 *input_addrs, u64 output, u64 mask, u64 scratch, const int *input1_shape,
                              const int *input2_shape, int input_num, int input_dims, int op, const float *coeffs,
                              int mask_flag, const float *mask_values, int relu_flag, cmd_id_node_t *node);
void nodechip_eltwise_twoinput_cal(u64 first, u64 second, u64 output, u64 mask, int n, int c, int h, int w, int op,
                                   float coeff0, float coeff1, int mask_flag, float mask_value, int first_input,
                                   int relu_flag, cmd_id_node_t *node);
}
