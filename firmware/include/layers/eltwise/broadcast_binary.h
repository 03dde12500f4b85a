// Float32 and int32 binary_op layers on tensors in device memory with an
// optional fused ReLU (max(r, 0), then min with the limit when it is above 0):
// element-wise over one length, with a scalar, and with broadcasting over 4-D
// shapes (or up to 8 dimensions that merge into at most 4).
//
// The flat layers cut the length into pieces of the aligned length split and
// run load, compute and store of each piece in turn. int32 data is converted
// to float32 in local memory, computed in float32 and converted back; the
// result of a comparison stays float32 1.0 or 0.0.
//
// The broadcast layer reshapes up to three non-1 dimensions so that they fill
// the 64 lanes and 32-element rows, then walks the result in slices (w
// fastest, then h, n and c) of at most BCAST_BUDGET elements per lane; an
// operand is reloaded only when the slice leaves what it has resident, so a
// per-channel operand is read once per channel slice. int32 operands are
// converted to float32 where they lie after each load (half the budget, for
// the conversion regions) and the result back before the store. Operands that
// keep five or more dimensions after merging have their cheapest window of
// dimensions tiled into the caller's buffer first, which leaves four.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"
#include "layers/eltwise/binary.h"

// Per-tensor bytes of a piece of the flat layers, per lane.
#define ELTWISE_BINARY_PIECE_F32 0x8000u  // A, B, R: a quarter of two banks each
#define ELTWISE_BINARY_PIECE_I32 0x4000u  // five tensors: a quarter of one bank
#define CONST_BINARY_PIECE_F32 0x40000u   // A, R: four banks each
#define CONST_BINARY_PIECE_I32 0x20000u   // four tensors: two banks each

// Elements per lane of each region of the broadcast layer (float32): A at 0,
// B and R after it, then the kernel's scratch.
#define BCAST_BUDGET 32768u
#define BCAST_BUDGET_I32 16384u  // int32: seven regions (conversion scratch and converted data)
#define BCAST_LOCAL_A 0u
#define BCAST_LOCAL_B (4u * BCAST_BUDGET)
#define BCAST_LOCAL_R (8u * BCAST_BUDGET)
#define BCAST_LOCAL_SCRATCH (12u * BCAST_BUDGET)

// The plan of a 4-D broadcast: the reshaped shapes and the result's slice
// limits.
typedef struct {
  int same;               // the shapes are equal: the flat layer does it
  dim4_t top, A, B;       // shapes after the reshape
  dim4_t limit;           // largest result slice
  int area_count;
  local_area_t areas[7];  // A, B, R, scratch; for int32 two conversion scratch regions and the converted data
} bcast_plan_t;

extern "C" {

// ---- Planning (pure) ----

// a = the smallest divisor of num in [start, num - 1], else the largest one
// below start (at least 1); b = num / a.
void decompose_num(int num, int start, int *a, int *b);
// Right-aligns both shapes to max(A_dim, B_dim) dimensions (leading 1s) and
// takes each of A's extents, or B's where A's is 1. Returns the count.
int get_broadcast_binary_top_shape(const int *A_shape, int A_dim, const int *B_shape, int B_dim, int *top);
// Reshape and slice limits of a 4-D broadcast (shapes n, c, h, w).
void bcast_plan_of(bcast_plan_t *plan, const int *A_shape, const int *B_shape);
// The same for float32 (is_int32 0) or int32 data: int32 halves the budget.
void bcast_plan_for(bcast_plan_t *plan, const int *A_shape, const int *B_shape, int is_int32);
// The window of `dim` - 3 consecutive dimensions (start 0 to 3) whose tiling
// costs least: the product over its dimensions where the extents differ of
// both extents; the earliest on a tie.
int bcast_tile_window(const int *A_dims, const int *B_dims, int dim);
// The shapes of up to 8 dimensions merged: dimensions where both are 1
// dropped, runs with the same broadcast pattern joined. Returns the count.
int bcast_merge_dims(int *A_dims, int *B_dims, int dim);

// ---- Layers ----

void nodechip_eltwise_binary(u64 A_addr, u64 B_addr, u64 R_addr, u64 length, int binary_op, int if_relu,
                             float relu_upper_limit, cmd_id_node_t *node, int is_int32);
// R = A op B_value, or B_value op A when `inversed` (for sub, div and the
// order comparisons). B_value holds float32 bits, or an int32 with is_int32.
void nodechip_const_binary(u64 A_addr, u64 length, u32 B_value, u64 R_addr, int binary_op, int inversed,
                           int if_relu, float relu_upper_limit, cmd_id_node_t *node, int is_int32);
// 4-D shapes n, c, h, w; R has the per-dimension maximum. Float32 data.
void nodechip_broadcast_binary(u64 A_addr, const int *A_shape, u64 B_addr, const int *B_shape, u64 R_addr,
                               int binary_op, int if_relu, float relu_upper_limit, cmd_id_node_t *node,
                               int is_int32);
// Shapes of up to 8 dimensions, outermost first, that merge into at most 4.
void nodechip_broadcast_binary_full(u64 A_addr, const int *A_shape, int A_dim, u64 B_addr, const int *B_shape,
                                    int B_dim, u64 R_addr, u64 buffer_addr, int binary_op, int if_relu,
                                    float relu_upper_limit, int data_format, cmd_id_node_t *node, int is_int32);
}
