// Generators of the tensor engine's md_* commands, table lookup and vector
// correlation.
#include "cmd/bd_md.h"

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/tensor_shape.h"
#include "cmd/bd_arith.h"
#include "cmd/local_mem.h"

static u32 plane32(int H, int W) { return eu_plane((u32)H * (u32)W); }

u32 bd_md_batch_bytes(u32 addr, int C, int H, int W) {
  const u32 rows = lane_rows(get_local_start_lane(addr), (u32)C);
  return rows * plane32(H, W) * 4u;
}

// Words 1 and 2 of the family: task, sub-op, operand count, shift type 1, result
// add; float32 precisions.
static void md_header(bd_desc_t *d, u32 task, u32 subop, u32 count, int result_add) {
  bd_desc_set(d, BD_TASK, task);
  bd_desc_set(d, BD_SUBOP, subop);
  bd_desc_set(d, BD_OPD_NUM, count);
  bd_desc_set(d, BD_SHIFT_TYPE, 1);
  bd_desc_set(d, BD_RES_ADD, result_add != 0);
}

// Words 1-20 and 22-29: the family's common form with operands 0 and 1.
static void md_init(bd_desc_t *d) {
  bd_desc_init(d, 1, 29);
  bd_desc_undefine(d, BD_WORD_OPD2);
}

// ---- md_scalar ----

void bd_mdscalar_compose(bd_desc_t *d, u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H,
                          int W, u32 subop, int result_add, int A_is_const, int B_is_const,
                          u32 A_const, u32 B_const) {
  md_init(d);
  md_header(d, BD_TASK_MD_SCALAR, subop, 2, result_add);
  bd_desc_set(d, BD_OPD0_CONST, A_is_const != 0);
  bd_desc_set(d, BD_OPD1_CONST, B_is_const != 0);
  bd_desc_shape(d, (u32)N, (u32)C, (u32)H, (u32)W);
  d->w[BD_WORD_RES] = R_addr;
  d->w[BD_WORD_OPD0] = A_is_const ? A_const : A_addr;
  d->w[BD_WORD_OPD1] = B_is_const ? B_const : B_addr;
}

void atomic_mdscalar_operation_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H,
                                       int W, md_scalar_op_t op, int result_add, int A_is_const,
                                       int B_is_const, u32 A_const, u32 B_const,
                                       cmd_id_node_t *node) {
  ASSERT_FS(A_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(B_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(R_addr % ((1<<(5)) * sizeof(float)) == 0);
  u32 subop = 0;
  switch (op) {
    case MD_SCALAR_ADD: subop = TENSOR_OP_ADD; break;
    case MD_SCALAR_SUB: subop = TENSOR_OP_SUB; break;
    case MD_SCALAR_MUL: subop = TENSOR_OP_MUL; break;
    case MD_SCALAR_DIV: subop = TENSOR_OP_DIV; break;
    default: ASSERT_FS(0);
  }
  if (result_add && op != MD_SCALAR_MUL) ASSERT_FS(0);
  BD_ASSERT_FIELDS(N, C, H, W);
  bd_desc_t d;
  bd_mdscalar_compose(&d, A_addr, B_addr, R_addr, N, C, H, W, subop, result_add, A_is_const,
                       B_is_const, A_const, B_const);
  bd_desc_issue(&d, node);
}

void atomic_mdscalar_operation_gen_cmd_(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H,
                                        int W, md_scalar_op_t op, int result_add, int A_is_const,
                                        int B_is_const, u32 A_const, u32 B_const,
                                        cmd_id_node_t *node) {
  const u32 a_step = A_is_const ? 0 : bd_md_batch_bytes(A_addr, C, H, W);
  const u32 b_step = B_is_const ? 0 : bd_md_batch_bytes(B_addr, C, H, W);
  const u32 r_step = bd_md_batch_bytes(R_addr, C, H, W);
  for (int n0 = 0; n0 < N; n0 += MD_MAX_N) {
    const int np = N - n0 < MD_MAX_N ? N - n0 : MD_MAX_N;
    atomic_mdscalar_operation_gen_cmd(A_addr + a_step * (u32)n0, B_addr + b_step * (u32)n0,
                                      R_addr + r_step * (u32)n0, np, C, H, W, op, result_add,
                                      A_is_const, B_is_const, A_const, B_const, node);
  }
}

void atomic_md_add_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H, int W,
                           int result_add, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd_(A_addr, B_addr, R_addr, N, C, H, W, MD_SCALAR_ADD, result_add,
                                     0, 0, 0, 0, node);
}

void atomic_md_mul_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, int N, int C, int H, int W,
                           int result_add, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd_(A_addr, B_addr, R_addr, N, C, H, W, MD_SCALAR_MUL, result_add,
                                     0, 0, 0, 0, node);
}

void atomic_md_add_const_gen_cmd(u32 A_addr, u32 R_addr, int N, int C, int H, int W,
                                 int result_add, u32 B_const, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd_(A_addr, 0, R_addr, N, C, H, W, MD_SCALAR_ADD, result_add, 0,
                                     1, 0, B_const, node);
}

void atomic_md_scale_gen_cmd(u32 A_addr, u32 R_addr, int N, int C, int H, int W, int result_add,
                             u32 B_const, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd_(A_addr, 0, R_addr, N, C, H, W, MD_SCALAR_MUL, result_add, 0,
                                     1, 0, B_const, node);
}

void local_fill_const_gen_cmd(u32 R_addr, int N, int C, int H, int W, u32 value,
                              cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd_(0, 0, R_addr, N, C, H, W, MD_SCALAR_MUL, 0, 1, 1, 0x3f800000,
                                     value, node);
}

// ---- md_sum ----

void bd_md_sum_compose(bd_desc_t *d, u32 A_addr, u32 Y_addr, int N, int C, int H, int W,
                        int result_add) {
  bd_desc_init(d, 1, 29);
  bd_desc_undefine(d, BD_WORD_OPD1);
  bd_desc_undefine(d, BD_WORD_OPD2);
  md_header(d, BD_TASK_MD_SUM, 0, 2, result_add);
  bd_desc_shape(d, 1, (u32)C, 1, 1);
  bd_desc_set(d, BD_OPD0_N, (u32)N);
  bd_desc_set(d, BD_OPD0_H, (u32)H);
  bd_desc_set(d, BD_OPD0_W, (u32)W);
  d->w[BD_WORD_RES] = Y_addr;
  d->w[BD_WORD_OPD0] = A_addr;
}

void atomic_md_sum_gen_cmd(u32 A_addr, u32 Y_addr, int N, int C, int H, int W, int result_add,
                           cmd_id_node_t *node) {
  ASSERT_FS(A_addr % ((1<<(5)) * sizeof(float)) == 0);
  BD_ASSERT_FIELDS(N, C, H, W);
  bd_desc_t d;
  bd_md_sum_compose(&d, A_addr, Y_addr, N, C, H, W, result_add);
  bd_desc_issue(&d, node);
}

// ---- md_cmp ----

void bd_md_cmp_compose(bd_desc_t *d, u32 A, u32 B, u32 C_addr, u32 D, u32 R0, u32 R1, int N,
                        int C, int H, int W, int A_is_const, int B_is_const, int C_is_const,
                        int D_is_const, u32 C_const, u32 D_const, int mode) {
  const u32 subop = (mode & 3) == 1   ? MD_CMP_SUBOP_MAX_ONLY
                    : (mode & 3) == 2 ? MD_CMP_SUBOP_SELECT_ONLY
                                      : MD_CMP_SUBOP_BOTH;
  const u32 plane = plane32(H, W);
  // The operands share one layout; a constant A carries a value, not a lane,
  // so the first tensor operand gives the start lane.
  const u32 layout = !A_is_const ? A : !B_is_const ? B : R0;
  const u32 a_nstride = lane_rows(get_local_start_lane(layout), (u32)C) * plane;
  bd_desc_init(d, 1, 31);
  md_header(d, BD_TASK_MD_CMP, subop, 0, 0);
  bd_desc_set(d, BD_OPD0_CONST, A_is_const != 0);
  bd_desc_set(d, BD_OPD1_CONST, B_is_const != 0);
  bd_desc_set(d, BD_OPD2_CONST, C_is_const != 0);
  bd_desc_set(d, BD_OPD3_CONST, D_is_const != 0);
  bd_desc_shape(d, (u32)N, (u32)C, (u32)H, (u32)W);
  bd_desc_set(d, BD_OPD0_NSTRIDE, a_nstride);
  bd_desc_set(d, BD_OPD0_CSTRIDE, plane);
  d->w[BD_WORD_OPD0_HSTRIDE] = (u32)W;
  d->w[BD_WORD_RES] = R0;
  d->w[BD_WORD_OPD0] = A;
  d->w[BD_WORD_OPD1] = B;
  d->w[BD_WORD_OPD2] = C_is_const ? C_const : C_addr;
  d->w[BD_WORD_RES1] = R1;
  d->w[BD_WORD_OPD3] = D_is_const ? D_const : D;
}

void atomic_md_cmp_gen_cmd_(u32 A, u32 B, u32 C_addr, u32 D, u32 R0, u32 R1, int N, int C, int H,
                            int W, int A_is_const, int B_is_const, int C_is_const, int D_is_const,
                            u32 A_const, u32 B_const, u32 C_const, u32 D_const, int mode,
                            cmd_id_node_t *node) {
  (void)A_const;  // a constant A or B travels in its address argument
  (void)B_const;
  BD_ASSERT_FIELDS(N, C, H, W);
  bd_desc_t d;
  bd_md_cmp_compose(&d, A, B, C_addr, D, R0, R1, N, C, H, W, A_is_const, B_is_const, C_is_const,
                     D_is_const, C_const, D_const, mode);
  bd_desc_issue(&d, node);
}

void atomic_md_cmp_gen_cmd(u32 A, u32 B, u32 C_addr, u32 D, u32 R0, u32 R1, int N, int C, int H,
                           int W, int A_is_const, int B_is_const, int C_is_const, int D_is_const,
                           u32 A_const, u32 B_const, u32 C_const, u32 D_const, int mode,
                           cmd_id_node_t *node) {
  if (C < 4096 && N < 65536) {
    atomic_md_cmp_gen_cmd_(A, B, C_addr, D, R0, R1, N, C, H, W, A_is_const, B_is_const,
                           C_is_const, D_is_const, A_const, B_const, C_const, D_const, mode, node);
    return;
  }
  if (C >= 4096 && N >= 65536) ASSERT(0);
  // Six operands; a constant one carries its value and never moves.
  u32 base[6] = {A, B, C_addr, D, R0, R1};
  const int is_const[6] = {A_is_const, B_is_const, C_is_const, D_is_const, 0, 0};
  u32 batch[6];
  for (int k = 0; k < 6; k++) batch[k] = is_const[k] ? 0 : bd_md_batch_bytes(base[k], C, H, W);
  if (C < 4096) {
    for (int n0 = 0; n0 < N; n0 += MD_MAX_N) {
      const int np = N - n0 < MD_MAX_N ? N - n0 : MD_MAX_N;
      u32 a[6];
      for (int k = 0; k < 6; k++) a[k] = base[k] + batch[k] * (u32)n0;
      atomic_md_cmp_gen_cmd_(a[0], a[1], a[2], a[3], a[4], a[5], np, C, H, W, A_is_const,
                             B_is_const, C_is_const, D_is_const, A_const, B_const, C_const,
                             D_const, mode, node);
    }
    return;
  }
  const u32 row_bytes = plane32(H, W) * 4u;
  for (int n = 0; n < N; n++) {
    for (int c0 = 0; c0 < C;) {
      const int cp = C - c0 >= 4096 ? MD_C_PIECE : C - c0;
      u32 a[6];
      for (int k = 0; k < 6; k++)
        a[k] = base[k] + (is_const[k] ? 0 : batch[k] * (u32)n + row_bytes * (u32)(c0 / NPU_NUM));
      atomic_md_cmp_gen_cmd_(a[0], a[1], a[2], a[3], a[4], a[5], 1, cp, H, W, A_is_const,
                             B_is_const, C_is_const, D_is_const, A_const, B_const, C_const,
                             D_const, mode, node);
      c0 += cp;
    }
  }
}

// ---- md_sfu ----

void bd_md_sfu_compose(bd_desc_t *d, u32 A_addr, u32 Y_addr, int N, int C, int H, int W,
                        int coef_num, u32 sfu_op, u32 coef_addr) {
  md_init(d);
  md_header(d, BD_TASK_MD_SFU, 20 - sfu_op, 2, 0);
  if (sfu_op == SFU_NORMB || sfu_op == SFU_F2I) bd_desc_set(d, BD_RES_PREC, BD_PREC_INT32);
  bd_desc_shape(d, (u32)N, (u32)C, (u32)H, (u32)W);
  if (sfu_op == SFU_TAILOR) bd_desc_set(d, BD_OPD1_N, (u32)coef_num);
  d->w[BD_WORD_RES] = Y_addr;
  d->w[BD_WORD_OPD0] = A_addr;
  d->w[BD_WORD_OPD1] = sfu_op == SFU_TAILOR ? coef_addr : 0;
}

void atomic_md_sfu_gen_cmd(u32 A_addr, u32 Y_addr, int N, int C, int H, int W, int coef_num,
                           sfu_op_t sfu_op, u32 coef_addr, cmd_id_node_t *node) {
  ASSERT_FS(A_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(Y_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(sfu_op == SFU_RSQ || sfu_op == SFU_NORMA || sfu_op == SFU_NORMB || sfu_op == SFU_F2I || sfu_op == SFU_TAILOR);
  BD_ASSERT_FIELDS(N, C, H, W);
  if (sfu_op == SFU_TAILOR)
    ASSERT_FS(coef_num > 0 && coef_num <= 4095, "coef_num=%d", coef_num);
  bd_desc_t d;
  bd_md_sfu_compose(&d, A_addr, Y_addr, N, C, H, W, coef_num, (u32)sfu_op, coef_addr);
  bd_desc_issue(&d, node);
}

void atomic_md_sfu_gen_cmd_(u32 A_addr, u32 Y_addr, int N, int C, int H, int W, int coef_num,
                            sfu_op_t sfu_op, u32 coef_addr, cmd_id_node_t *node) {
  const u32 a_step = bd_md_batch_bytes(A_addr, C, H, W);
  const u32 y_step = bd_md_batch_bytes(Y_addr, C, H, W);
  for (int n0 = 0; n0 < N; n0 += MD_MAX_N) {
    const int np = N - n0 < MD_MAX_N ? N - n0 : MD_MAX_N;
    atomic_md_sfu_gen_cmd(A_addr + a_step * (u32)n0, Y_addr + y_step * (u32)n0, np, C, H, W,
                          coef_num, sfu_op, coef_addr, node);
  }
}

// ---- md_linear ----

void bd_md_linear_compose(bd_desc_t *d, u32 A_addr, u32 B_addr, u32 C_addr, u32 Y_addr, int N,
                           int C, int H, int W, int B_is_const, int C_is_const, u32 B_const,
                           u32 C_const, int result_add, int mode) {
  static const u32 subop[3] = {1, 20, 21};
  bd_desc_init(d, 1, 29);
  md_header(d, BD_TASK_MD_LINEAR, subop[mode], mode == 0 ? 3 : 2, result_add == 1);
  bd_desc_set(d, BD_OPD1_CONST, B_is_const != 0);
  bd_desc_set(d, BD_OPD2_CONST, C_is_const != 0);
  bd_desc_shape(d, (u32)N, (u32)C, (u32)H, (u32)W);
  d->w[BD_WORD_RES] = Y_addr;
  d->w[BD_WORD_OPD0] = A_addr;
  d->w[BD_WORD_OPD1] = B_is_const ? B_const : B_addr;
  d->w[BD_WORD_OPD2] = C_is_const ? C_const : C_addr;
}

void atomic_md_linear_gen_cmd(u32 A_addr, u32 B_addr, u32 C_addr, u32 Y_addr, int N, int C, int H,
                              int W, int B_is_const, int C_is_const, u32 B_const, u32 C_const,
                              int result_add, int mode, cmd_id_node_t *node) {
  ASSERT_FS(A_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(Y_addr % ((1<<(5)) * sizeof(float)) == 0);
  if (mode < 0 || mode > 2) ASSERT_FS(0);
  BD_ASSERT_FIELDS(N, C, H, W);
  bd_desc_t d;
  bd_md_linear_compose(&d, A_addr, B_addr, C_addr, Y_addr, N, C, H, W, B_is_const, C_is_const,
                        B_const, C_const, result_add, mode);
  bd_desc_issue(&d, node);
}

// ---- Table lookup ----

void bd_table_lookup_compose(bd_desc_t *d, u32 table_addr, u32 B_addr, u32 C_addr, int N, int C,
                              int H, int W, int table_len, int prec) {
  md_init(d);
  md_header(d, BD_TASK_TABLE_LOOKUP, 0, 2, 0);
  if (prec == 0) bd_desc_set(d, BD_OPD0_PREC, BD_PREC_INT8);
  bd_desc_shape(d, (u32)N, (u32)C, (u32)H, (u32)W);
  bd_desc_set(d, BD_OPD1_H, (u32)ceil_div(table_len, 32));
  d->w[BD_WORD_RES] = C_addr;
  d->w[BD_WORD_OPD0] = B_addr;
  d->w[BD_WORD_OPD1] = table_addr;
}

void atomic_table_lookup_gen_cmd(u32 table_addr, u32 B_addr, u32 C_addr, int N, int C, int H, int W,
                                 int table_len, int prec, cmd_id_node_t *node) {
  ASSERT_FS(B_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(C_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS((prec == 0) || (prec == 1));
  BD_ASSERT_FIELDS(N, C, H, W);
  ASSERT_FS(table_len > 0 && table_len <= 32 * 65535, "table_len=%d", table_len);
  bd_desc_t d;
  bd_table_lookup_compose(&d, table_addr, B_addr, C_addr, N, C, H, W, table_len, prec);
  bd_desc_issue(&d, node);
}

void atomic_table_lookup_gen_cmd_(u32 table_addr, u32 B_addr, u32 C_addr, int N, int C, int H,
                                  int W, int table_len, int prec, cmd_id_node_t *node) {
  const u32 P = (u32)H * (u32)W, PA = eu_plane(P);
  const u32 G = lane_rows(0, (u32)C);
  // 8-bit indices keep the 8-bit EU-aligned layout: planes of 128 bytes.
  const u32 idx_plane = prec == 0 ? ALIGN(P, 128u) : 4u * PA;
  const u32 T = idx_plane * G, out_batch = 4u * PA * G;
  if (H <= 65535 && W <= 65535) {
    for (int n0 = 0; n0 < N; n0 += MD_MAX_N) {
      const int np = N - n0 < MD_MAX_N ? N - n0 : MD_MAX_N;
      atomic_table_lookup_gen_cmd(table_addr, B_addr + T * (u32)n0, C_addr + out_batch * (u32)n0,
                                  np, C, H, W, table_len, prec, node);
    }
    return;
  }
  const u32 elem = prec == 0 ? 1u : 4u;
  for (int n = 0; n < N; n++) {
    for (u32 g = 0; g < G; g++) {
      const int cg = C - (int)g * NPU_NUM < NPU_NUM ? C - (int)g * NPU_NUM : NPU_NUM;
      u32 idx = B_addr + T * (u32)n + idx_plane * g;
      u32 out = C_addr + out_batch * (u32)n + 4u * PA * g;
      for (u32 left = P; left > 0;) {
        const u32 wp = left < TABLE_LOOKUP_PLANE_PIECE ? left : TABLE_LOOKUP_PLANE_PIECE;
        const u32 hrows = left / wp;
        const u32 hp = hrows < TABLE_LOOKUP_PLANE_PIECE ? hrows : TABLE_LOOKUP_PLANE_PIECE;
        atomic_table_lookup_gen_cmd(table_addr, idx, out, 1, cg, (int)hp, (int)wp, table_len, prec,
                                    node);
        idx += elem * hp * wp;
        out += 4u * hp * wp;
        left -= hp * wp;
      }
    }
  }
}

// ---- Vector correlation ----

void bd_vec_corr_compose(bd_desc_t *d, u32 in_x_addr, u32 in_y_addr, u32 out_z_addr, int x_c,
                          int x_w, int y_w, int z_c, int z_w, u32 op) {
  md_init(d);
  md_header(d, BD_TASK_VEC_CORR, op, 2, 0);
  if (op >= VEC_CORR_AND && op <= VEC_CORR_XOR) {
    bd_desc_set(d, BD_RES_PREC, BD_PREC_INT32);
    bd_desc_set(d, BD_OPD0_PREC, BD_PREC_INT32);
    bd_desc_set(d, BD_OPD1_PREC, BD_PREC_INT32);
  }
  bd_desc_shape(d, 1, (u32)z_c, 1, (u32)z_w);
  bd_desc_set(d, BD_OPD0_C, (u32)x_c);
  bd_desc_set(d, BD_OPD0_W, (u32)x_w);
  bd_desc_set(d, BD_OPD1_W, (u32)y_w);
  d->w[BD_WORD_RES] = out_z_addr;
  d->w[BD_WORD_OPD0] = in_x_addr;
  d->w[BD_WORD_OPD1] = in_y_addr;
}

void atomic_vec_correlation_gen_cmd(u32 in_x_addr, u32 in_y_addr, u32 out_z_addr, int x_c, int x_w,
                                    int y_w, int z_c, int z_w, vec_corr_op_t vec_corr_op,
                                    cmd_id_node_t *node) {
  ASSERT_FS(in_x_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(in_y_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(out_z_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(vec_corr_op == VEC_CORR_ADD || vec_corr_op == VEC_CORR_SUB || vec_corr_op == VEC_CORR_MUL || vec_corr_op == VEC_CORR_DIV || vec_corr_op == VEC_CORR_MIN || vec_corr_op == VEC_CORR_MAX || vec_corr_op == VEC_CORR_AND || vec_corr_op == VEC_CORR_OR || vec_corr_op == VEC_CORR_XOR);
  BD_ASSERT_FIELDS(1, z_c, 1, z_w);
  BD_ASSERT_FIELDS(1, x_c, y_w, x_w);
  bd_desc_t d;
  bd_vec_corr_compose(&d, in_x_addr, in_y_addr, out_z_addr, x_c, x_w, y_w, z_c, z_w,
                       (u32)vec_corr_op);
  bd_desc_issue(&d, node);
}
