// The tensor engine's multi-dimensional commands on float32 tensors in the
// default aligned local layout (channel c in lane (start lane + c) % 64, each
// plane rounded up to 32 elements): scalar-or-tensor arithmetic (md_scalar),
// the per-channel sum (md_sum), compare-and-select with two results (md_cmp),
// special functions (md_sfu), the three-operand linear form (md_linear), table
// lookup and the pairwise vector correlation. Addresses are tagged local
// addresses; constants are 32-bit patterns. Each generator writes its
// descriptors directly into the window on the caller's node.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/bd_desc.h"

typedef enum {
  MD_SCALAR_ADD = 0,
  MD_SCALAR_SUB = 1,
  MD_SCALAR_MUL = 2,
  MD_SCALAR_DIV = 3,
} md_scalar_op_t;

typedef enum {
  SFU_RSQ = 3,     // 1 / sqrt(x)
  SFU_NORMA = 4,   // the power of two 2^e with x = m * 2^e, 1 <= |m| < 2
  SFU_NORMB = 5,   // the table index (int32) of such a power of two
  SFU_F2I = 6,     // float to int32, truncating toward zero
  SFU_TAILOR = 7,  // polynomial with coefficients from static memory
} sfu_op_t;

typedef enum {
  VEC_CORR_MUL = 0,
  VEC_CORR_ADD = 2,
  VEC_CORR_SUB = 3,
  VEC_CORR_MAX = 4,
  VEC_CORR_MIN = 5,
  VEC_CORR_AND = 7,
  VEC_CORR_OR = 8,
  VEC_CORR_XOR = 9,
  VEC_CORR_DIV = 12,
} vec_corr_op_t;

// md_cmp sub-ops: which of the two results the command writes.
#define MD_CMP_SUBOP_MAX_ONLY 22     // mode with bit 0 only: Y = max(A, B)
#define MD_CMP_SUBOP_SELECT_ONLY 23  // mode with bit 1 only: R = A > B ? C : D
#define MD_CMP_SUBOP_BOTH 24

#define MD_MAX_N 65535
#define MD_C_PIECE 4032
#define TABLE_LOOKUP_PLANE_PIECE 65408

extern "C" {

// R = A op B (or R += A * B with result add, mul only) over N x C x H x W.
void atomic_mdscalar_operation_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H,
                                       int W, md_scalar_op_t op, int result_add, int A_is_const,
                                       int B_is_const, u32 A_const, u32 B_const,
                                       cmd_id_node_t *node);
// The same, N cut into pieces of at most 65535.
void atomic_mdscalar_operation_gen_cmd_(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H,
                                        int W, md_scalar_op_t op, int result_add, int A_is_const,
                                        int B_is_const, u32 A_const, u32 B_const,
                                        cmd_id_node_t *node);
void atomic_md_add_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H, int W,
                           int result_add, cmd_id_node_t *node);
void atomic_md_mul_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H, int W,
                           int result_add, cmd_id_node_t *node);
void atomic_md_add_const_gen_cmd(u32 A_addr, u32 R_addr, int N, int C, int H, int W,
                                 int result_add, u32 B_const, cmd_id_node_t *node);
void atomic_md_scale_gen_cmd(u32 A_addr, u32 R_addr, int N, int C, int H, int W, int result_add,
                             u32 B_const, cmd_id_node_t *node);
// Every element of R = value (1.0 times the constant).
void local_fill_const_gen_cmd(u32 R_addr, int N, int C, int H, int W, u32 value,
                              cmd_id_node_t *node);

// Y[c] = sum over n, h, w of A (or added to Y); Y is 1 x C x 1 x 1.
void atomic_md_sum_gen_cmd(u32 A_addr, u32 Y_addr, int N, int C, int H, int W, int result_add,
                           cmd_id_node_t *node);

// R0 = max(A, B), R1 = A > B ? C : D (equal values select D); mode bit 0 asks
// for R0, bit 1 for R1 (0 and 3: both). A constant A or B travels in its address
// argument; C and D constants in their value arguments.
void atomic_md_cmp_gen_cmd_(u32 A, u32 B, u32 C_addr, u32 D, u32 R0, u32 R1, int N, int C, int H,
                            int W, int A_is_const, int B_is_const, int C_is_const, int D_is_const,
                            u32 A_const, u32 B_const, u32 C_const, u32 D_const, int mode,
                            cmd_id_node_t *node);
// The same, N or C cut to the limits (not both).
void atomic_md_cmp_gen_cmd(u32 A, u32 B, u32 C_addr, u32 D, u32 R0, u32 R1, int N, int C, int H,
                           int W, int A_is_const, int B_is_const, int C_is_const, int D_is_const,
                           u32 A_const, u32 B_const, u32 C_const, u32 D_const, int mode,
                           cmd_id_node_t *node);

// Y = f(A); SFU_TAILOR reads coef_num coefficients at coef_addr (static memory).
void atomic_md_sfu_gen_cmd(u32 A_addr, u32 Y_addr, int N, int C, int H, int W, int coef_num,
                           sfu_op_t sfu_op, u32 coef_addr, cmd_id_node_t *node);
// The same, N cut into pieces of at most 65535.
void atomic_md_sfu_gen_cmd_(u32 A_addr, u32 Y_addr, int N, int C, int H, int W, int coef_num,
                            sfu_op_t sfu_op, u32 coef_addr, cmd_id_node_t *node);

// Mode 0: Y = A * C + B; mode 1: Y = (A + B) * C; mode 2: Y = (A - B) * C; B and
// C are per-channel vectors (1 x C x 1 x 1, one float per channel) or constants;
// result add (1) adds to Y.
void atomic_md_linear_gen_cmd(u32 A_addr, u32 B_addr, u32 C_addr, u32 Y_addr, int N, int C, int H,
                              int W, int B_is_const, int C_is_const, u32 B_const, u32 C_const,
                              int result_add, int mode, cmd_id_node_t *node);

// C_addr[i] = table[index at B_addr[i]] (the index's low byte); prec 0: 8-bit
// indices, 1: 32-bit index elements.
void atomic_table_lookup_gen_cmd(u32 table_addr, u32 B_addr, u32 C_addr, int N, int C, int H, int W,
                                 int table_len, int prec, cmd_id_node_t *node);
// The same, N cut to 65535 and planes beyond 65535 re-cut.
void atomic_table_lookup_gen_cmd_(u32 table_addr, u32 B_addr, u32 C_addr, int N, int C, int H,
                                  int W, int table_len, int prec, cmd_id_node_t *node);

// out_z row r (channel r), column j = x[r] op y[j]: x is x_c channels of x_w
// elements (row r is element r of x in channel-major order), y one vector of y_w
// elements; z is 1 x z_c x 1 x z_w.
void atomic_vec_correlation_gen_cmd(u32 in_x_addr, u32 in_y_addr, u32 out_z_addr, int x_c, int x_w,
                                    int y_w, int z_c, int z_w, vec_corr_op_t vec_corr_op,
                                    cmd_id_node_t *node);

// ---- Descriptor composition (pure) ----
void bd_mdscalar_compose(bd_desc_t *d, u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H,
                          int W, u32 subop, int result_add, int A_is_const, int B_is_const,
                          u32 A_const, u32 B_const);
void bd_md_sum_compose(bd_desc_t *d, u32 A_addr, u32 Y_addr, int N, int C, int H, int W,
                        int result_add);
void bd_md_cmp_compose(bd_desc_t *d, u32 A, u32 B, u32 C_addr, u32 D, u32 R0, u32 R1, int N,
                        int C, int H, int W, int A_is_const, int B_is_const, int C_is_const,
                        int D_is_const, u32 C_const, u32 D_const, int mode);
void bd_md_sfu_compose(bd_desc_t *d, u32 A_addr, u32 Y_addr, int N, int C, int H, int W,
                        int coef_num, u32 sfu_op, u32 coef_addr);
void bd_md_linear_compose(bd_desc_t *d, u32 A_addr, u32 B_addr, u32 C_addr, u32 Y_addr, int N,
                           int C, int H, int W, int B_is_const, int C_is_const, u32 B_const,
                           u32 C_const, int result_add, int mode);
void bd_table_lookup_compose(bd_desc_t *d, u32 table_addr, u32 B_addr, u32 C_addr, int N, int C,
                              int H, int W, int table_len, int prec);
void bd_vec_corr_compose(bd_desc_t *d, u32 in_x_addr, u32 in_y_addr, u32 out_z_addr, int x_c,
                          int x_w, int y_w, int z_c, int z_w, u32 op);

// Bytes per lane of one batch item of a C x H x W float32 tensor in the default
// layout from the start lane of `addr`.
u32 bd_md_batch_bytes(u32 addr, int C, int H, int W);
}
