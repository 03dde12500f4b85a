// Multi-dimensional float32 operations on n x c x h x w tensors in device
// memory, thin layers around the tensor engine's md_* commands: scalar
// arithmetic (APIs 3, 123), per-channel sums (4), per-channel linear maps (5),
// compare-and-select and the batch maximum or minimum with its index (6),
// special functions (7, 124) and a two-tensor operation with per-dimension
// broadcast (129).
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// md_sfu split: mode 1 whole, 2 slices of planes, 3 slices of 64 planes and
// rows, 0 nothing fits.
typedef struct {
  int planes, rows;
} md_sfu_slice_t;

extern "C" {

int md_sfu_spilt(int n, int c, int h, int w, md_sfu_slice_t *slice);

void nodechip_md_scalar(u64 A, u64 B, u64 R, int n, int c, int h, int w, int op, int result_add, int A_is_const,
                        int B_is_const, u32 A_const, u32 B_const, cmd_id_node_t *node);
void nodechip_1d_scalar(u64 A, u64 B, u64 R, u64 length, int op, int result_add, int A_is_const, int B_is_const,
                        u32 A_const, u32 B_const, cmd_id_node_t *node);
void nodechip_md_sum(u64 input, u64 output, int n, int c, int h, int w, int accumulate, cmd_id_node_t *node);
void nodechip_md_linear(u64 X, u64 B, u64 S, u64 Y, int n, int c, int h, int w, int result_add, int B_is_const,
                        int S_is_const, u32 B_const, u32 S_const, int mode, cmd_id_node_t *node);
void nodechip_md_cmp(u64 A, u64 B, u64 C, u64 D, u64 Y, u64 R, int n, int c, int h, int w, int A_is_const,
                     int B_is_const, int C_is_const, int D_is_const, u32 A_const, u32 B_const, u32 C_const,
                     u32 D_const, int result_skip, int reduction, int minimum, int native, cmd_id_node_t *node);
// type 0 x^e, 1 exp x, 2 ln x, 3 1 / sqrt x (e and f passed to the command).
void nodechip_md_sfu(u64 input, u64 output, int n, int c, int h, int w, int unused, int e, int type, int f,
                     cmd_id_node_t *node);
void nodechip_md_ops_parallel(u64 A, u64 B, u64 R, int in_a, int ic_a, int ih_a, int iw_a, int in_b, int ic_b,
                              int ih_b, int iw_b, int op, int A_is_const, int B_is_const, int A_const, int B_const,
                              cmd_id_node_t *node);

u32 zv_api_nodechip_md_scalar(u8 *param, u32 size);
u32 zv_api_nodechip_1d_scalar(u8 *param, u32 size);
u32 zv_api_md_sum(u8 *param, u32 size);
u32 zv_api_md_linear(u8 *param, u32 size);
u32 zv_api_nodechip_md_cmp(u8 *param, u32 size);
u32 zv_api_nodechip_md_sfu(u8 *param, u32 size);
u32 zv_api_nodechip_1d_sfu(u8 *param, u32 size);
u32 zv_api_md_ops(u8 *param, u32 size);
}

typedef struct {
  u64 A_addr, B_addr, R_addr;
  i32 input_n, input_c, input_h, input_w, op, result_add, A_is_const, B_is_const;
  u32 A_const, B_const;
  u32 unused[2];
} FW_PACKED zv_api_nodechip_md_scalar_t;
static_assert(sizeof(zv_api_nodechip_md_scalar_t) == 72, "zv_api_nodechip_md_scalar_t is 72 bytes");

typedef struct {
  u64 A_addr, B_addr, R_addr;
  u32 unused[2];
  u64 length;
  i32 op, result_add, A_is_const, B_is_const;
  u32 A_const, B_const;
} FW_PACKED zv_api_nodechip_1d_scalar_t;
static_assert(sizeof(zv_api_nodechip_1d_scalar_t) == 64, "zv_api_nodechip_1d_scalar_t is 64 bytes");

typedef struct {
  u64 input_addr, output_addr;
  i32 input_n, input_c, input_h, input_w, accumulate;
} FW_PACKED zv_api_md_sum_t;
static_assert(sizeof(zv_api_md_sum_t) == 36, "zv_api_md_sum_t is 36 bytes");

typedef struct {
  u64 A_addr, B_addr, C_addr, Y_addr;
  i32 input_n, input_c, input_h, input_w, result_add, B_is_const, C_is_const;
  u32 B_const, C_const;
  i32 mode;
} FW_PACKED zv_api_md_linear_t;
static_assert(sizeof(zv_api_md_linear_t) == 72, "zv_api_md_linear_t is 72 bytes");

typedef struct {
  u64 A, B, C, D, Y, R;
  i32 input_n, input_c, input_h, input_w, A_is_const, B_is_const, C_is_const, D_is_const;
  u32 A_const, B_const, C_const, D_const;
  i32 mode, reduction, minimum, native;
} FW_PACKED zv_api_nodechip_md_cmp_t;
static_assert(sizeof(zv_api_nodechip_md_cmp_t) == 112, "zv_api_nodechip_md_cmp_t is 112 bytes");

typedef struct {
  u64 input_addr, output_addr;
  i32 input_n, input_c, input_h, input_w, unused, exponent, sfu_type, f, unused2;
} FW_PACKED zv_api_nodechip_md_sfu_t;
static_assert(sizeof(zv_api_nodechip_md_sfu_t) == 52, "zv_api_nodechip_md_sfu_t is 52 bytes");

typedef struct {
  u64 input_addr, output_addr, length;
  i32 unused, e, type, f, unused2;
} FW_PACKED zv_api_nodechip_1d_sfu_t;
static_assert(sizeof(zv_api_nodechip_1d_sfu_t) == 44, "zv_api_nodechip_1d_sfu_t is 44 bytes");

typedef struct {
  u64 A_addr, B_addr, R_addr;
  i32 in_a, ic_a, ih_a, iw_a, in_b, ic_b, ih_b, iw_b, op, A_is_const, B_is_const, A_const, B_const;
} FW_PACKED zv_api_md_ops_t;
static_assert(sizeof(zv_api_md_ops_t) == 76, "zv_api_md_ops_t is 76 bytes");
