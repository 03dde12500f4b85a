// Tensor arithmetic generators: float32/int32 arithmetic, select and shift
// forms, the strided copy and the fixed-point form.
#include "cmd/bd_arith.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/local_mem.h"


static int is_select_op(u32 op) { return op == TENSOR_OP_CMP_ASSIGN || op == TENSOR_OP_EQ_ASSIGN; }
// Codes 13 to 18 and above 19 name no operation.
static int is_valid_op(u32 op) { return op <= TENSOR_OP_DIV || op == TENSOR_OP_COPY; }

// The engine's default layout as explicit strides (in 32-bit words): EU-aligned
// planes, the batch stride covering the lane rows from the address's lane.
static dim4_t default_word_strides(const dim4_t *shape, u32 addr) {
  dim4_t s;
  s.w = 1;
  s.h = shape->w;
  s.c = (i32)eu_plane((u32)shape->h * (u32)shape->w);
  s.n = s.c * (i32)lane_rows(get_local_start_lane(addr), (u32)shape->c);
  return s;
}

static void set_strides(bd_desc_t *d, cmd_field_id_t nf, cmd_field_id_t cf, int hword, const dim4_t *s) {
  bd_desc_set(d, nf, (u32)s->n);
  bd_desc_set(d, cf, (u32)s->c);
  bd_desc_word(d, hword, (u32)s->h);
  bd_desc_word(d, hword + 1, (u32)s->w);
}

static int default_layout(const dim4_t *s) { return s == NULL || s->n == -1; }

// ---- Float32 and int32 arithmetic ----

void bd_arith_compose(bd_desc_t *d, const bd_arith_args_t *a) {
  const int all = a->all, A_is_const = a->A_is_const, B_is_const = a->B_is_const;
  const dim4_t *shape = a->shape, *A_stride = a->A_stride, *B_stride = a->B_stride, *R_stride = a->R_stride;
  u32 op = a->op;
  if (op == TENSOR_OP_MUL && a->result_add) op = TENSOR_OP_MAC;
  const u32 count = op == TENSOR_OP_COPY ? 1 : (all && is_select_op(op)) ? 3 : 2;
  const u32 prec = (op >= TENSOR_OP_SHIFT && op <= TENSOR_OP_XOR) ? BD_PREC_INT32 : BD_PREC_FP32;

  bd_desc_init(d, 1, 29);
  bd_desc_set(d, BD_FLAG35, a->flag35 != 0);
  bd_desc_set(d, BD_TASK, BD_TASK_ARITH);
  bd_desc_set(d, BD_SUBOP, op);
  bd_desc_set(d, BD_OPD_NUM, count);
  bd_desc_set(d, BD_SHIFT_TYPE, all ? (u32)(a->shift_type != 0) : 0);
  bd_desc_set(d, BD_RES_PREC, prec);
  bd_desc_set(d, BD_OPD0_PREC, prec);
  bd_desc_set(d, BD_OPD1_PREC, prec);
  bd_desc_set(d, BD_OPD2_PREC, prec);
  bd_desc_set(d, BD_OPD0_CONST, A_is_const != 0);
  bd_desc_set(d, BD_OPD1_CONST, B_is_const != 0);
  bd_desc_set(d, BD_OPD2_CONST, is_select_op(op));
  bd_desc_shape(d, (u32)shape->n, (u32)shape->c, (u32)shape->h, (u32)shape->w);

  static const dim4_t zero = {0, 0, 0, 0};
  const int r_def = default_layout(R_stride), a_def = default_layout(A_stride);
  bd_desc_set(d, BD_RES_STRIDE_MODE, r_def ? BD_STRIDE_DEFAULT : BD_STRIDE_GIVEN);
  bd_desc_set(d, BD_OPD0_STRIDE_MODE, a_def ? BD_STRIDE_DEFAULT : BD_STRIDE_GIVEN);
  set_strides(d, BD_RES_NSTRIDE, BD_RES_CSTRIDE, BD_WORD_RES_HSTRIDE, r_def ? &zero : R_stride);
  set_strides(d, BD_OPD0_NSTRIDE, BD_OPD0_CSTRIDE, BD_WORD_OPD0_HSTRIDE, a_def ? &zero : A_stride);

  // B: a broadcast dimension has stride 0; the default layout writes 1s.
  const int b_def = default_layout(B_stride);
  bd_desc_set(d, BD_OPD1_STRIDE_MODE, b_def ? BD_STRIDE_DEFAULT : BD_STRIDE_GIVEN);
  dim4_t bs;
  bs.n = a->B_bcast_n ? 0 : b_def ? 1 : B_stride->n;
  bs.c = b_def ? 1 : B_stride->c;
  bs.h = a->B_bcast_h ? 0 : b_def ? 1 : B_stride->h;
  bs.w = a->B_bcast_w ? 0 : b_def ? 1 : B_stride->w;
  set_strides(d, BD_OPD1_NSTRIDE, BD_OPD1_CSTRIDE, BD_WORD_OPD1_HSTRIDE, &bs);

  bd_desc_word(d, BD_WORD_RES, a->R_addr);
  bd_desc_word(d, BD_WORD_OPD0, A_is_const ? a->A_const : a->A_addr);
  bd_desc_word(d, BD_WORD_OPD1, B_is_const ? a->B_const : a->B_addr);
  bd_desc_word(d, BD_WORD_OPD2, all ? a->C_value : 0);
}

// Checks one piece and issues it.
static void arith_piece(const bd_arith_args_t *a, cmd_id_node_t *node) {
  const u32 tensor_op_code = a->op;
  const dim4_t *shape = a->shape;
  ASSERT_FS(tensor_op_code != 10 && tensor_op_code != 11);
  if (!is_valid_op((u32)tensor_op_code)) ASSERT_FS(0);
  BD_ASSERT_FIELDS(shape->n, shape->c, shape->h, shape->w);
  bd_desc_t d;
  bd_arith_compose(&d, a);
  bd_desc_issue(&d, node);
}

void __atomic_tensor_arithmetic_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape,
                                        float A_const, float B_const, int B_bcast_n, int B_bcast_h,
                                        int B_bcast_w, const dim4_t *A_stride,
                                        const dim4_t *B_stride, const dim4_t *R_stride,
                                        tensor_op_t tensor_op_code, int result_add,
                                        int A_is_const, int B_is_const, int flag35,
                                        cmd_id_node_t *node) {
  const bd_arith_args_t a = {A_addr,    B_addr,    R_addr,     shape,      f32_bits(A_const),
                             f32_bits(B_const), B_bcast_n, B_bcast_h, B_bcast_w, A_stride,
                             B_stride,  R_stride,  (u32)tensor_op_code,   result_add, A_is_const,
                             B_is_const, flag35,   0,          0,          0};
  arith_piece(&a, node);
}

void atomic_tensor_arithmetic_gen_cmd(u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape,
                                      int B_bcast_n, int B_bcast_h, int B_bcast_w,
                                      const dim4_t *A_stride, const dim4_t *B_stride,
                                      const dim4_t *R_stride, tensor_op_t tensor_op_code,
                                      int result_add, int A_is_const, u32 A_const, int B_is_const,
                                      u32 B_const, int flag35, cmd_id_node_t *node) {
  const int N = shape->n, C = shape->c, H = shape->h, W = shape->w;
  const int recut_plane = !(H <= TENSOR_ARITH_MAX_PLANE && W <= TENSOR_ARITH_MAX_PLANE) &&
                          (B_bcast_h != 0) == (B_bcast_w != 0);
  const int split = N > TENSOR_ARITH_MAX_N || C >= 4096 || recut_plane;

  // A piece of a default-layout operand would lay itself out by the piece's own
  // extents; when the work is cut, such operands get the whole tensor's strides.
  dim4_t as, bs, rs;
  const dim4_t *A_s = A_stride, *B_s = B_stride, *R_s = R_stride;
  if (split && default_layout(A_stride) && !A_is_const) A_s = &(as = default_word_strides(shape, A_addr));
  if (split && default_layout(B_stride) && !B_is_const) B_s = &(bs = default_word_strides(shape, B_addr));
  if (split && default_layout(R_stride)) R_s = &(rs = default_word_strides(shape, R_addr));
  static const dim4_t none = {0, 0, 0, 0};
  const dim4_t *A_adv = A_is_const || default_layout(A_s) ? &none : A_s;
  const dim4_t *B_adv = B_is_const || default_layout(B_s) ? &none : B_s;
  const dim4_t *R_adv = default_layout(R_s) ? &none : R_s;

  for (int n0 = 0; n0 < N; n0 += TENSOR_ARITH_MAX_N) {
    const int np = N - n0 < TENSOR_ARITH_MAX_N ? N - n0 : TENSOR_ARITH_MAX_N;
    const u32 a_n = A_addr + (u32)A_adv->n * 4u * (u32)n0;
    const u32 b_n = B_addr + (B_bcast_n ? 0u : (u32)B_adv->n * 4u * (u32)n0);
    const u32 r_n = R_addr + (u32)R_adv->n * 4u * (u32)n0;
    int c0 = 0;
    do {
      const int cp = C - c0 >= 4096 ? TENSOR_ARITH_C_PIECE : C - c0;
      const int rows = c0 / NPU_NUM;  // c0 is a whole number of lane rows
      u32 a = a_n + (u32)A_adv->c * 4u * (u32)rows;
      u32 b = b_n + (u32)B_adv->c * 4u * (u32)rows;
      u32 r = r_n + (u32)R_adv->c * 4u * (u32)rows;
      if (!recut_plane) {
        const dim4_t piece = {np, cp, H, W};
        const bd_arith_args_t args = {a,        b,         r,          &piece,     A_const,
                                      B_const,  B_bcast_n, B_bcast_h,  B_bcast_w,  A_s,
                                      B_s,      R_s,       (u32)tensor_op_code,    result_add,
                                      A_is_const, B_is_const, flag35,  0,          0,
                                      0};
        arith_piece(&args, node);
      } else {
        // A dense plane beyond the field limits: rows of up to 65504 elements.
        u64 left = (u64)H * (u64)W;
        while (left > 0) {
          const int wp = left < TENSOR_ARITH_PLANE_PIECE ? (int)left : TENSOR_ARITH_PLANE_PIECE;
          const u64 hrows = left / (u64)wp;
          const int hp = hrows < TENSOR_ARITH_PLANE_PIECE ? (int)hrows : TENSOR_ARITH_PLANE_PIECE;
          const dim4_t piece = {np, cp, hp, wp};
          // A re-cut plane broadcasts along w exactly when it does along h.
          const bd_arith_args_t args = {a,        b,         r,          &piece,     A_const,
                                        B_const,  B_bcast_n, B_bcast_h,  B_bcast_h,  A_s,
                                        B_s,      R_s,       (u32)tensor_op_code,    result_add,
                                        A_is_const, B_is_const, flag35,  0,          0,
                                        0};
          arith_piece(&args, node);
          const u32 step = 4u * (u32)hp * (u32)wp;
          if (!A_is_const) a += step;
          if (!B_is_const && !B_bcast_h) b += step;
          r += step;
          left -= (u64)hp * (u64)wp;
        }
      }
      c0 += cp;
    } while (c0 < C);
  }
}

void atomic_tensor_arithmetic_gen_cmd_all(u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape,
                                          int B_bcast_n, int B_bcast_h, int B_bcast_w,
                                          const dim4_t *A_stride, const dim4_t *B_stride,
                                          const dim4_t *R_stride, tensor_op_t tensor_op_code,
                                          int result_add, int A_is_const, u32 A_const,
                                          int B_is_const, u32 B_const, u32 C_value, int shift_type,
                                          int flag35, cmd_id_node_t *node) {
  if (!is_valid_op((u32)tensor_op_code)) ASSERT_FS(0);
  BD_ASSERT_FIELDS(shape->n, shape->c, shape->h, shape->w);
  const bd_arith_args_t a = {A_addr,   B_addr,    R_addr,    shape,      A_const,
                             B_const,  B_bcast_n, B_bcast_h, B_bcast_w,  A_stride,
                             B_stride, R_stride,  (u32)tensor_op_code,   result_add,
                             A_is_const, B_is_const, flag35, 1,          C_value,
                             shift_type};
  bd_desc_t d;
  bd_arith_compose(&d, &a);
  bd_desc_issue(&d, node);
}

void atomic_tensor_arithmetic_issue_shift_gen_cmd(
    u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape, int B_bcast_n, int B_bcast_h,
    int B_bcast_w, const dim4_t *A_stride, const dim4_t *B_stride, const dim4_t *R_stride,
    tensor_op_t tensor_op_code, int result_add, int A_is_const, u32 A_const, int B_is_const,
    u32 B_const, int shift_type, int flag35, cmd_id_node_t *node) {
  ASSERT_FS(tensor_op_code == 6);
  atomic_tensor_arithmetic_gen_cmd_all(A_addr, B_addr, R_addr, shape, B_bcast_n, B_bcast_h,
                                       B_bcast_w, A_stride, B_stride, R_stride, tensor_op_code,
                                       result_add, A_is_const, A_const, B_is_const, B_const, 0,
                                       shift_type, flag35, node);
}

void atomic_tensor_arithmetic_issue_select_gen_cmd(
    u32 A_addr, u32 B_addr, u32 R_addr, const dim4_t *shape, int B_bcast_n, int B_bcast_h,
    int B_bcast_w, const dim4_t *A_stride, const dim4_t *B_stride, const dim4_t *R_stride,
    tensor_op_t tensor_op_code, int result_add, int A_is_const, u32 A_const, int B_is_const,
    u32 B_const, u32 C_value, int flag35, cmd_id_node_t *node) {
  ASSERT_FS(tensor_op_code == 10 || tensor_op_code == 11);
  atomic_tensor_arithmetic_gen_cmd_all(A_addr, B_addr, R_addr, shape, B_bcast_n, B_bcast_h,
                                       B_bcast_w, A_stride, B_stride, R_stride, tensor_op_code,
                                       result_add, A_is_const, A_const, B_is_const, B_const,
                                       C_value, 0, flag35, node);
}

// ---- Strided copy ----

void bd_copy_compose(bd_desc_t *d, u32 src_addr, u32 dst_addr, const dim4_t *shape,
                      const dim4_t *src_stride, const dim4_t *dst_stride) {
  bd_desc_init(d, 1, 29);
  bd_desc_undefine(d, BD_WORD_OPD1);
  bd_desc_undefine(d, BD_WORD_OPD2);
  // The copy op over one float32 operand, both strides given.
  bd_desc_set(d, BD_TASK, BD_TASK_ARITH);
  bd_desc_set(d, BD_SUBOP, TENSOR_OP_COPY);
  bd_desc_set(d, BD_OPD_NUM, 1);
  bd_desc_set(d, BD_SHIFT_TYPE, 1);
  bd_desc_set(d, BD_RES_STRIDE_MODE, BD_STRIDE_GIVEN);
  bd_desc_set(d, BD_OPD0_STRIDE_MODE, BD_STRIDE_GIVEN);
  bd_desc_shape(d, (u32)shape->n, (u32)shape->c, (u32)shape->h, (u32)shape->w);
  set_strides(d, BD_RES_NSTRIDE, BD_RES_CSTRIDE, BD_WORD_RES_HSTRIDE, dst_stride);
  set_strides(d, BD_OPD0_NSTRIDE, BD_OPD0_CSTRIDE, BD_WORD_OPD0_HSTRIDE, src_stride);
  bd_desc_word(d, BD_WORD_RES, dst_addr);
  bd_desc_word(d, BD_WORD_OPD0, src_addr);
}

static int piece_of(int left, int limit) { return left < limit ? left : limit; }

void atomic_tensor_copy_gen_cmd(u32 src_addr, u32 dst_addr, const dim4_t *shape,
                                const dim4_t *src_stride, const dim4_t *dst_stride,
                                cmd_id_node_t *node) {
  const int N = shape->n, C = shape->c, H = shape->h, W = shape->w;
  const dim4_t *s = src_stride, *t = dst_stride;
  for (int n0 = 0; n0 < N; n0 += TENSOR_ARITH_MAX_N) {
    const int np = piece_of(N - n0, TENSOR_ARITH_MAX_N);
    for (int c0 = 0; c0 < C;) {
      const int cp = C - c0 >= 4096 ? TENSOR_ARITH_C_PIECE : C - c0;
      for (int h0 = 0; h0 < H; h0 += TENSOR_ARITH_MAX_N) {
        const int hp = piece_of(H - h0, TENSOR_ARITH_MAX_N);
        for (int w0 = 0; w0 < W; w0 += TENSOR_ARITH_MAX_N) {
          const int wp = piece_of(W - w0, TENSOR_ARITH_MAX_N);
          const int rows = c0 / NPU_NUM;
          const u32 src = src_addr + 4u * ((u32)s->n * (u32)n0 + (u32)s->c * (u32)rows + (u32)s->h * (u32)h0 + (u32)s->w * (u32)w0);
          const u32 dst = dst_addr + 4u * ((u32)t->n * (u32)n0 + (u32)t->c * (u32)rows + (u32)t->h * (u32)h0 + (u32)t->w * (u32)w0);
          const dim4_t piece = {np, cp, hp, wp};
          bd_desc_t d;
          bd_copy_compose(&d, src, dst, &piece, src_stride, dst_stride);
          bd_desc_issue(&d, node);
        }
      }
      c0 += cp;
    }
  }
}

// ---- Fixed point ----

void bd_fix8b_compose(bd_desc_t *d, const bd_fix8b_args_t *a) {
  const u32 op = a->op, *Sign = a->Sign, *Int8 = a->Int8, *modes = a->modes, *bcast = a->bcast;
  const dim4_t *shape = a->shape;
  bd_desc_init(d, 1, 29);
  bd_desc_undefine(d, BD_WORD_OPD2);
  bd_desc_set(d, BD_FLAG35, a->flag35 != 0);
  bd_desc_set(d, BD_TASK, BD_TASK_ARITH);
  bd_desc_set(d, BD_SUBOP, op);
  bd_desc_set(d, BD_OPD_NUM, op == TENSOR_OP_COPY ? 1 : 2);
  bd_desc_set(d, BD_RSHIFT, (u32)a->rshift);
  bd_desc_set(d, BD_SHIFT2, (u32)a->shift2);
  bd_desc_set(d, BD_SHIFT_TYPE, (u32)a->shift_type);
  bd_desc_set(d, BD_FLOAT_MODE, 0);
  bd_desc_set(d, BD_OPD0_SIGN, Sign[0]);
  bd_desc_set(d, BD_OPD1_SIGN, Sign[1]);
  bd_desc_set(d, BD_RES_PREC, Int8[3] ? BD_PREC_INT8 : BD_PREC_INT16);
  bd_desc_set(d, BD_OPD0_PREC, Int8[0] ? BD_PREC_INT8 : BD_PREC_INT16);
  bd_desc_set(d, BD_OPD1_PREC, Int8[1] ? BD_PREC_INT8 : BD_PREC_INT16);
  bd_desc_set(d, BD_OPD0_CONST, a->A_is_const != 0);
  bd_desc_set(d, BD_OPD1_CONST, a->B_is_const != 0);
  bd_desc_set(d, BD_OPD2_CONST, is_select_op(op));
  bd_desc_set(d, BD_RES_STRIDE_MODE, modes[3]);
  bd_desc_set(d, BD_OPD0_STRIDE_MODE, modes[0]);
  bd_desc_set(d, BD_OPD1_STRIDE_MODE, modes[1]);
  bd_desc_shape(d, (u32)shape->n, (u32)shape->c, (u32)shape->h, (u32)shape->w);
  static const int shift_slot[6] = {2, 3, 4, 5, 0, 1};  // a->shifts[i] lands in field slot
  for (int i = 0; i < 6; i++) bd_desc_set(d, BD_FIX_SHIFT(shift_slot[i]), a->shifts[i]);
  set_strides(d, BD_RES_NSTRIDE, BD_RES_CSTRIDE, BD_WORD_RES_HSTRIDE, a->R_stride);
  set_strides(d, BD_OPD0_NSTRIDE, BD_OPD0_CSTRIDE, BD_WORD_OPD0_HSTRIDE, a->A_stride);
  // Each broadcast flag zeroes B's stride along its own dimension.
  dim4_t bs = *a->B_stride;
  if (bcast[0]) bs.n = 0;
  if (bcast[1]) bs.c = 0;
  if (bcast[2]) bs.h = 0;
  if (bcast[3]) bs.w = 0;
  set_strides(d, BD_OPD1_NSTRIDE, BD_OPD1_CSTRIDE, BD_WORD_OPD1_HSTRIDE, &bs);
  bd_desc_set(d, BD_OPD1_BCAST_N, bcast[0] != 0);
  bd_desc_set(d, BD_RES_SIGN, Sign[2]);
  bd_desc_word(d, BD_WORD_RES, a->addr[3]);
  bd_desc_word(d, BD_WORD_OPD0, a->addr[0]);
  bd_desc_word(d, BD_WORD_OPD1, a->addr[1]);
}

void atomic_tensor_arithmetic_fix8b_gen_cmd_(const u32 addr[4], const dim4_t *shape,
                                             const u32 bcast[4], const dim4_t *A_stride,
                                             const dim4_t *B_stride, const dim4_t *R_stride,
                                             tensor_op_t op, int A_is_const, int B_is_const,
                                             int rshift, int shift2, int shift_type,
                                             const u32 Sign[3], const u32 Int8[4],
                                             const u32 modes[4], const u32 shifts[6], int flag35,
                                             cmd_id_node_t *node) {
  switch (op) {
    case TENSOR_OP_MUL:
      ASSERT_FS(Int8[0]==1 && Int8[1]==1);
      break;
    case TENSOR_OP_MAC:
      ASSERT_FS(Int8[0]==1 && Int8[1]==1);
      ASSERT_FS(Int8[3]==0);
      break;
    case TENSOR_OP_ADD:
    case TENSOR_OP_SUB:
      ASSERT_FS(Int8[0]==Int8[1]);
      break;
    case TENSOR_OP_MAX:
    case TENSOR_OP_MIN:
      ASSERT_FS(Int8[0]==Int8[1]);
      ASSERT_FS(Sign[0]==Sign[1]);
      break;
    case TENSOR_OP_SHIFT:
      ASSERT_FS((u32)shift_type==Sign[0] && Sign[1]==1);
      ASSERT_FS(Int8[0]==0 && Int8[1]==0 && Int8[3]==0);
      break;
    case TENSOR_OP_AND:
    case TENSOR_OP_OR:
    case TENSOR_OP_XOR:
      ASSERT_FS(Int8[0]==Int8[1] && Int8[0]==Int8[3]);
      break;
    case TENSOR_OP_COPY:
      break;
    default:
      ASSERT_FS(0);
  }
  BD_ASSERT_FIELDS(shape->n, shape->c, shape->h, shape->w);
  bd_desc_t d;
  const bd_fix8b_args_t a = {addr,       shape,  bcast, A_stride, B_stride, R_stride, (u32)op,
                             A_is_const, B_is_const, rshift, shift2, shift_type, Sign, Int8,
                             modes,      shifts, flag35};
  bd_fix8b_compose(&d, &a);
  bd_desc_issue(&d, node);
}

void atomic_tensor_arithmetic_fix8b_gen_cmd(const u32 addr[4], const dim4_t *shape,
                                            const u32 bcast[4], const dim4_t *A_stride,
                                            const dim4_t *B_stride, const dim4_t *R_stride,
                                            tensor_op_t op, int A_is_const, int B_is_const,
                                            int rshift, int shift2, int shift_type,
                                            const u32 Sign[3], const u32 Int8[4],
                                            const u32 modes[4], const u32 shifts[6], int flag35,
                                            cmd_id_node_t *node) {
  if (shape->c < 4096) {
    atomic_tensor_arithmetic_fix8b_gen_cmd_(addr, shape, bcast, A_stride, B_stride, R_stride, op,
                                            A_is_const, B_is_const, rshift, shift2, shift_type,
                                            Sign, Int8, modes, shifts, flag35, node);
    return;
  }
  // Every piece carries strides (mode 3); an operand the caller left in the
  // default layout gets the whole tensor's default strides, so that a piece
  // still steps over the real channel rows and batch items.
  const dim4_t *given[4] = {A_stride, B_stride, NULL, R_stride};
  dim4_t st[4];
  for (int k = 0; k < 4; k++) {
    if (k == 2) continue;
    st[k] = modes[k] == BD_STRIDE_GIVEN ? *given[k] : default_word_strides(shape, addr[k]);
  }
  const u32 all_given[4] = {BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN};
  for (int i = 0, c0 = 0; c0 < shape->c; i++, c0 += TENSOR_FIX8B_C_PIECE) {
    const int cp = piece_of(shape->c - c0, TENSOR_FIX8B_C_PIECE);
    const dim4_t piece = {shape->n, cp, shape->h, shape->w};
    u32 a[4] = {addr[0], addr[1], addr[2], addr[3]};
    if (!A_is_const) a[0] += (u32)i * 128u * (u32)st[0].c;
    if (!B_is_const) a[1] += (u32)i * 128u * (u32)st[1].c;
    a[3] += (u32)i * 128u * (u32)st[3].c;
    atomic_tensor_arithmetic_fix8b_gen_cmd_(a, &piece, bcast, &st[0], &st[1], &st[3], op,
                                            A_is_const, B_is_const, rshift, shift2, shift_type,
                                            Sign, Int8, all_given, shifts, flag35, node);
  }
}
