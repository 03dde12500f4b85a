// The 8-bit binary family on quantized tensors in device memory: R = A op B
// (op a binary_op code) with per-operand 8-bit scales, right shifts and
// signedness and an optional fused ReLU, through 16-bit intermediates on the
// tensor engine: a tensor and a quantized scalar, two tensors of one shape,
// two tensors of up to 8 dimensions with broadcasting; one operand may be a
// 16-bit tensor (the blob). And APIs 169, 170, 171.
//
// 8-bit tensors are 4N in device memory (four samples a word, ceil(n / 4)
// groups of c x h x w words), 16-bit blobs 2N. Slices keep c and w whole and
// take as many 4-sample groups as the per-buffer budget allows, cutting h only
// when one group does not fit; each slice is loaded, computed by the local
// 8-bit kernels into one of two alternating output buffers and stored, in a
// three-stage pipeline: the store of a slice overlaps the computation of the
// next (two streams of the command-id node); the loads of a slice follow the
// computation of the one before, which reads the same input areas.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"
#include "runtime/types.h"

// Element type codes of the records: 0 unsigned 8-bit, 1 signed 8-bit, 2 signed
// 16-bit.
#define FIX8B_TYPE_U8 0
#define FIX8B_TYPE_I8 1
#define FIX8B_TYPE_I16 2

// Local offsets and budgets (bytes per lane).
#define FIX8B_CONST_BUDGET 0x18000u
#define FIX8B_CONST_INPUT 0x0u
#define FIX8B_CONST_OUT0 0x18000u
#define FIX8B_CONST_OUT1 0x30000u
#define FIX8B_CONST_SCRATCH 0x48000u
#define FIX8B_CORE_BUDGET 0x10000u
#define FIX8B_CORE_A 0x0u
#define FIX8B_CORE_B 0x10000u
#define FIX8B_CORE_OUT0 0x20000u
#define FIX8B_CORE_OUT1 0x30000u
#define FIX8B_CORE_SCRATCH 0x40000u
#define FIX8B_BLOB_BUDGET 0xc000u
#define FIX8B_BLOB_X 0x0u
#define FIX8B_BLOB_Y 0xc000u
#define FIX8B_BLOB_OUT0 0x24000u
#define FIX8B_BLOB_OUT1 0x30000u
#define FIX8B_BLOB_X16 0x3c000u
#define FIX8B_BLOB_Y16 0x54000u
#define FIX8B_BLOB_SCRATCH 0x6c000u

// A slice plan: samples and rows a slice, and the per-lane bytes of the
// largest slice of one buffer (groups x ceil(c / 64) x ALIGN(w x rows, 32) x 4).
typedef struct {
  int n_slice, h_slice;
  u32 bytes;
} fix8b_slice_t;

// The pipeline's step record: the slices step `step` stores, computes and
// loads (-1: none). Step i stores slice i - 2, computes slice i - 1 and loads
// slice i; slices + 2 steps cover every slice.
typedef struct {
  int store, compute, load;
} fix8b_step_t;

// One slice of a result: samples [n0, n0 + ns), rows [h0, h0 + hs), its
// index i (its output buffer is i mod 2).
typedef struct {
  int i, n0, ns, h0, hs;
} fix8b_part_t;

// ---- API records ----

typedef struct {
  u64 A_addr, B_addr, R_addr;
  i32 shape[8];
  i32 tensor_dim;
  i32 op;
  i32 scale_A, scale_B;
  i32 rshift_A, rshift_B;
  i32 A_type, B_type;
  i32 if_relu;
} FW_PACKED zv_api_eltwise_binary_fix8b_forward_t;
static_assert(sizeof(zv_api_eltwise_binary_fix8b_forward_t) == 92, "zv_api_eltwise_binary_fix8b_forward_t is 92 bytes");

typedef struct {
  u64 A_addr, R_addr;
  i32 quantized_val_b;
  i32 shape[8];
  i32 tensor_dim;
  i32 op;
  i32 scale_A;
  i32 unused64;
  i32 rshift;
  i32 unused72;
  i32 sign_A;
  i32 unused80;
  i32 inversed;
  i32 if_relu;
} FW_PACKED zv_api_const_binary_fix8b_forward_t;
static_assert(sizeof(zv_api_const_binary_fix8b_forward_t) == 92, "zv_api_const_binary_fix8b_forward_t is 92 bytes");

typedef struct {
  u64 A_addr, B_addr, R_addr;
  i32 b0_shape[8];
  i32 b1_shape[8];
  i32 tensor_dim;
  i32 op;
  i32 scale_A, scale_B;
  i32 rshift_A, rshift_B;
  i32 A_type, B_type;
  i32 if_relu;
} FW_PACKED zv_api_broadcast_binary_fix8b_forward_t;
static_assert(sizeof(zv_api_broadcast_binary_fix8b_forward_t) == 124,
              "zv_api_broadcast_binary_fix8b_forward_t is 124 bytes");

extern "C" {

u32 zv_api_eltwise_binary_fix8b_forward_parallel(u8 *param, u32 size);
u32 zv_api_const_binary_fix8b_forward_parallel(u8 *param, u32 size);
u32 zv_api_broadcast_binary_fix8b_forward_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----
// Slices of an n x c x h x w result for a budget of `budget` bytes a buffer,
// each group counted `t` times (2 for the equality comparisons of the cores);
// rows_by_width selects the with-blob broadcast form of the row count.
fix8b_slice_t fix8b_slice_of(int n, int c, int h, int w, u32 budget, int t, int rows_by_width);
// The slices of pipeline step `step` over `slices` slices.
fix8b_step_t fix8b_step_of(int step, int slices);
// is_int8 and is_sign {A, B, result} of the API handlers from two type codes.
void fix8b_flags_of(int A_type, int B_type, int op, int *is_int8, int *is_sign);

// ---- Layers ----
void nodechip_const_binary_fix8b_forward_parallel(u64 A_addr, u64 R_addr, int quantized_val_b, const int *shape,
                                                  int tensor_dim, int op, int scale_A, int unused8, int rshift,
                                                  int unused10, int sign_A, int unused12, int result_sign,
                                                  int inversed, int if_relu, cmd_id_node_t *node);
void nodechip_eltwise_binary_fix8b_forward_parallel(u64 A_addr, u64 B_addr, u64 R_addr, const int *shape,
                                                    int tensor_dim, u8 A_is_coeff, u8 B_is_coeff, int op,
                                                    int scale_A, int scale_B, int rshift_A, int rshift_B,
                                                    const int *is_int8, const int *is_sign, int if_relu,
                                                    cmd_id_node_t *node);
void nodechip_broadcast_binary_fix8b_forward_parallel(u64 A_addr, u64 B_addr, u64 R_addr, const int *b0_shape,
                                                      const int *b1_shape, int tensor_dim, u8 A_is_coeff,
                                                      u8 B_is_coeff, int op, int scale_A, int scale_B, int rshift_A,
                                                      int rshift_B, const int *is_int8, const int *is_sign,
                                                      int if_relu, cmd_id_node_t *node);
// x 8-bit (its scale, shift and sign), y the 16-bit blob; blob_first makes
// the blob the first operand.
void nodechip_eltwise_binary_with_blob_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, int n, int c, int h,
                                                        int w, int op, int scale, int rshift, int sign, int if_relu,
                                                        int blob_first, cmd_id_node_t *node);
void nodechip_broadcast_binary_with_blob_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, const int *x_shape,
                                                          const int *y_shape, int op, int scale, int rshift, int sign,
                                                          int if_relu, int blob_first, cmd_id_node_t *node);
// The product variants (x signed, scale 1): y16 x x8 shifted right by rshift.
void nodechip_eltwise_binary_with_blob_mul_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, int n, int c, int h,
                                                            int w, int scale, int rshift, int sign, int if_relu,
                                                            cmd_id_node_t *node);
void nodechip_broadcast_binary_with_blob_mul_forward_parallel(u64 x_addr, u64 y_addr, u64 R_addr, const int *x_shape,
                                                              const int *y_shape, int scale, int rshift, int sign,
                                                              int if_relu, cmd_id_node_t *node);
}
