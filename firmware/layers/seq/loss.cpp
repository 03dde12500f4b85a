// Euclidean, contrastive and sigmoid cross-entropy losses.
#include "layers/seq/loss.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_fc.h"
#include "cmd/bd_md.h"
#include "cmd/data_split.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_slice.h"
#include "cmd/tensor_view.h"
#include "layers/data/select.h"
#include "layers/eltwise/norm_common.h"
#include "layers/eltwise/unary.h"
#include "local/compare_select.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "local/tensor_record.h"
#include "runtime/api/record_arrays.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/assert.h"

#define LOCAL_BYTES (1 << 19)


u32 loss_row_bytes(int n) { return (u32)ceil_div(ceil_div(n, EU_NUM), NPU_NUM) * 128u; }

// R = A op B over `rows` sections of 32 (a constant B when b_const).
static void vec_op(u32 A, u32 B, u32 R, int N, int rows, md_scalar_op_t op, cmd_id_node_t *node) {
  md_scalar(op, operand_at(LOCAL_ADDR_TAG | A), operand_at(LOCAL_ADDR_TAG | B), LOCAL_ADDR_TAG | R,
            dim4(N, rows, 1, EU_NUM), node);
}
static void vec_op_const(u32 A, float b, u32 R, int N, int rows, md_scalar_op_t op, cmd_id_node_t *node) {
  md_scalar(op, operand_at(LOCAL_ADDR_TAG | A), operand_f32(b), LOCAL_ADDR_TAG | R, dim4(N, rows, 1, EU_NUM), node);
}
// R = a - B.
static void const_minus(float a, u32 B, u32 R, int rows, cmd_id_node_t *node) {
  md_scalar(MD_SCALAR_SUB, operand_f32(a), operand_at(LOCAL_ADDR_TAG | B), LOCAL_ADDR_TAG | R, dim4(1, rows, 1, EU_NUM),
            node);
}

// The sums of the sections of a row of n floats at A into one float per
// section at Y; the last, partial section sums only its valid elements.
static void section_sums(u32 A, u32 Y, int n, cmd_id_node_t *node) {
  const int rows = (int)ceil_div(n, EU_NUM);
  const int tail = n % EU_NUM;
  if (tail == 0) {
    atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | A, LOCAL_ADDR_TAG | Y, 1, rows, 1, EU_NUM, 0, node);
    return;
  }
  atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | A, LOCAL_ADDR_TAG | Y, 1, rows, 1, tail, 0, node);
  if (rows > 1) atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | A, LOCAL_ADDR_TAG | Y, 1, rows - 1, 1, EU_NUM, 0, node);
}

// Adds the `count` per-section sums at Y (one float per section over the
// lanes) into the running loss: through the scratch and back as one row in
// lane 0 at `row`, in pieces of at most LOSS_REDUCE_PIECE. The first piece of
// the first slice overwrites the running loss.
static void reduce_sections(u32 Y, u32 row, int count, u64 scratch, int first, cmd_id_node_t *node) {
  general_align_tensor_move_L2G_gen_cmd(Y, 0, scratch, 1, count, 1, 1, count, 1, node);
  const int pieces = (int)ceil_div(count, LOSS_REDUCE_PIECE);
  int done = 0;
  for (int p = 0; p < pieces; p++) {
    const int len = count / pieces + (p < count % pieces ? 1 : 0);
    general_align_tensor_move_G2L_gen_cmd(scratch + 4ull * (u64)done, row, 0, 1, 1, 1, len, len, len, node);
    atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | row, LOCAL_ADDR_TAG | LOSS_ACC_OFFSET, 1, 1, 1, len, !(first && p == 0),
                          node);
    done += len;
  }
}

// The running loss divided by 2 N, stored as one float.
static void store_loss(u64 loss, int N_div, cmd_id_node_t *node) {
  const float divisor = (float)(2.0 * (double)N_div);
  md_scalar(MD_SCALAR_DIV, operand_at(LOCAL_ADDR_TAG | LOSS_ACC_OFFSET), operand_f32(divisor),
            LOCAL_ADDR_TAG | LOSS_ACC_OFFSET, dim4(1, 1, 1, 1), node);
  general_align_tensor_move_L2G_gen_cmd(LOSS_ACC_OFFSET, 0, loss, 1, 1, 1, 1, 1, 1, node);
}

static void load_row(u32 offset, u64 addr, int rows, int cols, cmd_id_node_t *node) {
  matrix_move_gen_cmd(offset, 0, addr, EU_NUM, rows, cols, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}
static void store_row(u32 offset, u64 addr, int rows, int cols, cmd_id_node_t *node) {
  matrix_move_gen_cmd(offset, 0, addr, EU_NUM, rows, cols, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

static int count_of(i64 a, i64 b) {
  ASSERT_FS(a >= 0 && b >= 0);
  const i64 count = a * b;
  ASSERT_FS(count <= 0x7fffffff, "count=%d x %d", (int)a, (int)b);
  return (int)count;
}

// ---- Euclidean ----

static void nodechip_euclidean_loss_forward_internal(cmd_id_node_t *node, int n, u64 a, u64 b, u64 scratch,
                                                     u64 diff, u64 loss, int N_div, int last, int first,
                                                     int len) {
  (void)len;
  const u32 S = loss_row_bytes(n);
  const int rows = (int)ceil_div(n, EU_NUM);
  const int reduce = rows < LOSS_REDUCE_PIECE ? rows : LOSS_REDUCE_PIECE;
  const u32 A = LOSS_DATA_OFFSET, B = LOSS_DATA_OFFSET + S, R = LOSS_DATA_OFFSET + 2 * S;
  const u32 local_mem_usage = R + (u32)ALIGN(reduce, EU_NUM) * 4u;
  ASSERT_FS(local_mem_usage <= (1<<19));
  load_row(A, a, 1, n, node);
  load_row(B, b, 1, n, node);
  vec_op(A, B, A, 1, rows, MD_SCALAR_SUB, node);
  store_row(A, diff, 1, n, node);
  vec_op(A, A, A, 1, rows, MD_SCALAR_MUL, node);
  section_sums(A, B, n, node);
  reduce_sections(B, R, rows, scratch, first, node);
  if (last) store_loss(loss, N_div, node);
}

void nodechip_euclidean_loss_forward(u64 a, u64 b, u64 scratch, u64 diff, u64 loss, int N_div, int N,
                                     int per_item, int unused_h, int unused_w, cmd_id_node_t *node) {
  (void)unused_h;
  (void)unused_w;
  const int total = count_of(N, per_item);
  ASSERT_FS(total > 0);
  const int slices = get_slice_num_elemwise_fixw(2, total);
  u64 done = 0;
  for (int s = 0; s < slices; s++) {
    const int n = total / slices + (s < total % slices ? 1 : 0);
    const u64 at = 4ull * done;
    nodechip_euclidean_loss_forward_internal(node, n, a + at, b + at, scratch, diff + at, loss, N_div,
                                             s == slices - 1, s == 0, n);
    done += (u64)n;
    fix_cmd_node_overflow(node);
  }
}

// ---- Contrastive ----

static int contrastive_fits(int r, int C, int k2) {
  if ((i64)C * r >= 65536) return 0;
  if (ceil_div((i64)r * k2 * 128 + 128, LOCAL_BYTES) != 1) return 0;
  return ceil_div(4 * 128 * ceil_div(ceil_div(r, 32), NPU_NUM) + 128, LOCAL_BYTES) == 1;
}

int get_slice_num_contrastive_loss_forward(int N, int C) {
  const int C_param_for_input = (int)ceil_div(C, EU_NUM);
  ASSERT_FS(C_param_for_input <= ((1<<19)/((1<<(5)) * 4) - 1));
  const int k2 = 2 * (int)ceil_div(C_param_for_input, NPU_NUM);
  const i64 q1 = ceil_div((i64)N * k2 * 128 + 128, LOCAL_BYTES);
  const i64 q2 = ceil_div(4 * 128 * ceil_div(ceil_div(N, 32), NPU_NUM) + 128, LOCAL_BYTES);
  i64 i = q1 > q2 ? q1 : q2;
  if (i == 1 && (i64)N * C < 65536) return 1;
  for (;;) {
    const int r = (int)ceil_div(N, i);
    if (contrastive_fits(r, C, k2)) return (int)i;
    if (i >= N) ASSERT_FS(0);
    i++;
  }
}

// Local layout of a slice of r rows: the two inputs as matrices from
// LOSS_DATA_OFFSET; once the difference is stored, the same space holds the
// difference again with one row per channel (rows over the lanes) and the
// squared distances; then four vectors of r floats for the per-pair terms.
static void nodechip_contrastive_loss_forward_internal(cmd_id_node_t *node, int r, u64 a, u64 b, u64 label,
                                                       u64 diff, u64 dist_sq, u64 loss, u64 scratch, int first,
                                                       int last, int N_div, int C, int len, float margin,
                                                       int legacy) {
  (void)len;
  const int Cs = (int)ceil_div(C, EU_NUM);
  const u32 Sc = loss_row_bytes(C);
  const u32 A = LOSS_DATA_OFFSET, B = LOSS_DATA_OFFSET + (u32)r * Sc;
  const u32 per_row = (u32)lane_rows(0, (u32)r);
  const u32 D = LOSS_DATA_OFFSET, Q = D + per_row * (u32)ALIGN(C, EU_NUM) * 4u;
  const u32 matrices = (u32)r * Sc * 2u, by_row = per_row * (u32)ALIGN(C, EU_NUM) * 4u + per_row * 128u;
  const u32 Sr = loss_row_bytes(r);
  const int vrows = (int)ceil_div(r, EU_NUM);
  const u32 V0 = LOSS_DATA_OFFSET, V1 = V0 + Sr, V2 = V1 + Sr, V3 = V2 + Sr;
  const u32 R = V3 + Sr;
  const u32 vectors = 4 * Sr + (u32)ALIGN(vrows, EU_NUM) * 4u;
  u32 local_mem_usage = LOSS_DATA_OFFSET + (matrices > by_row ? matrices : by_row);
  if (LOSS_DATA_OFFSET + vectors > local_mem_usage) local_mem_usage = LOSS_DATA_OFFSET + vectors;
  ASSERT_FS(local_mem_usage <= (1<<19));

  load_row(A, a, r, C, node);
  load_row(B, b, r, C, node);
  vec_op(A, B, A, r, Cs, MD_SCALAR_SUB, node);
  store_row(A, diff, r, C, node);
  // d^2 of each row: the difference back with row m as channel m.
  general_align_tensor_move_G2L_gen_cmd(diff, D, 0, 1, r, 1, C, (i64)r * C, C, node);
  md_scalar(MD_SCALAR_MUL, operand_at(LOCAL_ADDR_TAG | D), operand_at(LOCAL_ADDR_TAG | D), LOCAL_ADDR_TAG | D,
            dim4(1, r, 1, C), node);
  atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | D, LOCAL_ADDR_TAG | Q, 1, r, 1, C, 0, node);
  general_align_tensor_move_L2G_gen_cmd(Q, 0, dist_sq, 1, r, 1, 1, r, 1, node);

  // Per-pair terms on vectors of r floats: s = d^2 at V1, t at V2, y at V0.
  load_row(V1, dist_sq, 1, r, node);
  if (legacy) {
    const_minus(margin, V1, V2, vrows, node);
  } else {
    tensor_xa(node, V1, V2, V3, 1, vrows, 1, EU_NUM, 0.5f);
    const_minus(margin, V2, V2, vrows, node);
  }
  md_cmp_gen_cmd_lite(LOCAL_ADDR_TAG | V2, 0, LOCAL_ADDR_TAG | V2, 0, 1, vrows, 1, EU_NUM, 0, 1, 0.0f, 0.0f, 0.0f, 0.0f,
                      1, node);
  if (!legacy) vec_op(V2, V2, V2, 1, vrows, MD_SCALAR_MUL, node);
  load_row(V0, label, 1, r, node);
  vec_op(V0, V1, V1, 1, vrows, MD_SCALAR_MUL, node);
  const_minus(1.0f, V0, V0, vrows, node);
  vec_op(V0, V2, V0, 1, vrows, MD_SCALAR_MUL, node);
  vec_op(V1, V0, V0, 1, vrows, MD_SCALAR_ADD, node);
  section_sums(V0, V1, r, node);
  reduce_sections(V1, R, vrows, scratch, first, node);
  if (last) store_loss(loss, N_div, node);
}

void nodechip_contrastive_loss_forward(u64 a, u64 b, u64 label, u64 diff, u64 dist_sq, u64 loss, u64 scratch,
                                       int N, int C, int unused_h, int unused_w, int N_div, float margin,
                                       int legacy, cmd_id_node_t *node) {
  (void)unused_h;
  (void)unused_w;
  ASSERT_FS(N > 0 && C > 0);
  const int slices = get_slice_num_contrastive_loss_forward(N, C);
  u64 row = 0;
  for (int s = 0; s < slices; s++) {
    const int r = N / slices + (s < N % slices ? 1 : 0);
    const u64 at = row * (u64)C * 4ull;
    nodechip_contrastive_loss_forward_internal(node, r, a + at, b + at, label + 4ull * row, diff + at,
                                               dist_sq + 4ull * row, loss, scratch, s == 0, s == slices - 1, N_div,
                                               C, r * C, margin, legacy);
    row += (u64)r;
    fix_cmd_node_overflow(node);
  }
}

// ---- Sigmoid cross-entropy ----

int get_slice_num_sigmoid_cross_entropy_loss_forward(int Tn) {
  i64 i = ceil_div(3 * (i64)loss_row_bytes(Tn) + 128, LOCAL_BYTES);
  if (Tn < 65536 && i == 1) return 1;
  for (;;) {
    const i64 r = Tn / i;
    if ((3 * ceil_div(r / 32 + 1, NPU_NUM) + 1) * 128 <= LOCAL_BYTES && r <= 65534) return (int)i;
    if (i >= Tn) ASSERT_FS(0);
    i++;
  }
}

// The first terms of the loss on one piece: I = (x > 0), t = (t - I) x,
// x = x (1 - 2 I) = -|x|. The loss itself is not computed.
static void nodechip_sigmoid_cross_entropy_loss_forward_internal(cmd_id_node_t *node, int n, u64 input,
                                                                 u64 target, int len) {
  (void)len;
  const u32 S = loss_row_bytes(n);
  const int rows = (int)ceil_div(n, EU_NUM);
  const u32 X = LOSS_DATA_OFFSET, Tt = X + S, I = X + 2 * S, M = X + 3 * S;
  const u32 local_mem_usage = M + S;
  ASSERT_FS(local_mem_usage <= (1<<19));
  load_row(X, input, 1, n, node);
  load_row(Tt, target, 1, n, node);
  md_cmp_gen_cmd_lite(LOCAL_ADDR_TAG | X, 0, LOCAL_ADDR_TAG | M, LOCAL_ADDR_TAG | I, 1, rows, 1, EU_NUM, 0, 1, 0.0f,
                      0.0f, 1.0f, 0.0f, 0, node);
  vec_op(Tt, I, Tt, 1, rows, MD_SCALAR_SUB, node);
  vec_op(Tt, X, Tt, 1, rows, MD_SCALAR_MUL, node);
  vec_op_const(I, 2.0f, I, 1, rows, MD_SCALAR_MUL, node);
  const_minus(1.0f, I, I, rows, node);
  vec_op(X, I, X, 1, rows, MD_SCALAR_MUL, node);
  ASSERT_FS(0);
}

void nodechip_sigmoid_cross_entropy_loss_forward(u64 input, u64 target, u64 prob, u64 unused0, u64 unused1,
                                                 int N_sigmoid, int N, int C, int H, int W, cmd_id_node_t *node) {
  (void)unused0;
  (void)unused1;
  const int inner = count_of(count_of(C, H), W);
  nodechip_sigmoid_forward_parallel(input, prob, N_sigmoid, inner, node);
  const int total = count_of(N, inner);
  ASSERT_FS(total > 0);
  const int slices = get_slice_num_sigmoid_cross_entropy_loss_forward(total);
  const int n = (int)ceil_div(total, slices);
  nodechip_sigmoid_cross_entropy_loss_forward_internal(node, n, input, target, n);
}

// ---- Softmax loss ----

void get_slice_num_softmax(int N, int C, int sh, int sw, int counts[3]) {
  counts[0] = counts[1] = counts[2] = 1;
  const i64 plane = ALIGN((i64)sh * sw, EU_NUM);
  const i64 need = ALIGN((i64)N * sh * sw, EU_NUM) * 4 + 2 * ((i64)C + 1) * ceil_div(N, NPU_NUM) * plane * 4;
  if (need < 0x3f80) return;
  const int b = (int)(((u32)need + 131199u) >> 17);
  if (b <= 0) {
    counts[1] = 4;
    return;
  }
  if (C >= b) {
    counts[1] = b;
  } else if ((i64)N * C >= b) {
    counts[1] = C;
    counts[0] = (int)ceil_div(b, C);
  } else {
    counts[0] = N;
    counts[1] = C;
    counts[2] = (i64)N * C * sw < b ? sw : (int)ceil_div(b, (i64)N * C);
  }
  for (;;) {
    const i64 K = ceil_div(N, counts[0]), m = ceil_div(C, counts[1]), wp = ceil_div(sw, counts[2]);
    const i64 use = 2 * (m + 1) * ceil_div(K, NPU_NUM) * ALIGN(sh * wp, EU_NUM) * 4 + ALIGN(K * sh * wp, EU_NUM) * 4;
    if (use <= 130944) return;
    if (counts[0] < N) {
      counts[0]++;
    } else if (counts[1] < C) {
      counts[1]++;
    } else if (counts[2] < sw) {
      counts[2]++;
    } else {
      ASSERT_FS(0);
    }
  }
}

namespace {

// One n, w piece and the plan's local layout: the running maximum and the
// sum (one plane each), a block of m class planes and its work block, the
// gathered label probabilities (a row of sections over the lanes) and their
// work row.
struct sm_piece_t {
  u64 input, output;
  int C, inner, sw, sh;
  int n0, K, w0, wp;  // images [n0, n0 + K), columns [w0, w0 + wp)
  u32 B;              // bytes of one class plane (the plan's largest piece)
  int m;              // classes of the largest c piece
  u32 MAX, SUM, P, W, G, GW;
};

// Three-dimensional view of m classes of the piece: N = classes, C = images,
// H = sh rows, W = wp columns.
dim4_t sm_shape(const sm_piece_t &p, int m) { return dim4_t{m, p.K, p.sh, p.wp}; }

dim4_t sm_local_stride(const dim4_t &s, u32 at) {
  dim4_t r;
  get_f32_tensor_local_stride(&r, &s, 1, at);
  return r;
}

void sm_move(const sm_piece_t &p, u32 local, u64 global, int k0, int m, int to_local, cmd_id_node_t *node) {
  const dim4_t s = sm_shape(p, m);
  const u64 at = global + 4ull * (((u64)p.n0 * p.C + (u64)k0) * (u64)p.inner + (u64)p.w0);
  const global_view_t g = global_view(at, s, dim4(p.inner, p.C * p.inner, p.sw, 1), GDMA_VALUE_FORMAT_FLOAT32);
  const local_view_t l = local_f32(local, sm_local_stride(s, local));
  if (to_local)
    move_g2l(g, l, node);
  else
    move_l2g(l, g, node);
}

// R = A op B over m class planes, B one plane broadcast over the classes
// (bcast) or m planes.
void sm_op(const sm_piece_t &p, u32 A, u32 B, u32 R, int m, int bcast, tensor_op_t op, cmd_id_node_t *node) {
  const dim4_t s = sm_shape(p, m);
  const dim4_t as = sm_local_stride(s, A), rs = sm_local_stride(s, R);
  dim4_t bs = sm_local_stride(s, B);
  if (bcast) bs.n = 0;
  tensor_arith_t t = tensor_arith_of(op, operand_at(LOCAL_ADDR_TAG | A), as, operand_at(LOCAL_ADDR_TAG | B), bs,
                                     LOCAL_ADDR_TAG | R, rs, s);
  t.B_bcast_n = bcast;
  tensor_arith_issue(t, node);
}
void sm_op_const(const sm_piece_t &p, u32 A, float b, u32 R, int m, tensor_op_t op, cmd_id_node_t *node) {
  const dim4_t s = sm_shape(p, m);
  const dim4_t as = sm_local_stride(s, A), rs = sm_local_stride(s, R);
  tensor_arith_const(op, local_f32(A, as), f32_bits(b), local_f32(R, rs), s, node);
}

int sm_classes(int C, int pieces, int j) { return C / pieces + (j < C % pieces ? 1 : 0); }
int sm_first_class(int C, int pieces, int j) { return j * (C / pieces) + (j < C % pieces ? j : C % pieces); }

// Maximum over the classes of every position of the piece, into MAX.
void nodechip_softmax_forward_max_loop(cmd_id_node_t *node, int cpieces, const sm_piece_t &p) {
  const u32 local_mem_usage = 2u * (u32)(p.m + 1) * p.B;
  const u32 bank_size = LOCAL_MEM_BANK_SIZE;
  ASSERT_FS(local_mem_usage <= bank_size * 2);
  for (int j = 0; j < cpieces; j++) {
    const int k0 = sm_first_class(p.C, cpieces, j), m = sm_classes(p.C, cpieces, j);
    sm_move(p, p.P, p.input, k0, m, 1, node);
    // Pairwise tree over the classes into the first plane.
    for (int cnt = m; cnt > 1;) {
      const int h = cnt / 2;
      sm_op(p, p.P, p.P + (u32)(cnt - h) * p.B, p.P, h, 0, TENSOR_OP_MAX, node);
      cnt -= h;
    }
    if (j == 0) {
      sm_op_const(p, p.P, 0.0f, p.MAX, 1, TENSOR_OP_ADD, node);
    } else {
      sm_op(p, p.MAX, p.P, p.MAX, 1, 0, TENSOR_OP_MAX, node);
    }
    fix_cmd_node_overflow(node);
  }
}

// exp(x - max) of every class to the output, their sum into SUM.
void nodechip_softmax_forward_sub_exp_sum_loop(cmd_id_node_t *node, int cpieces, const sm_piece_t &p) {
  const u32 local_mem_usage = 2u * (u32)(p.m + 1) * p.B;
  const u32 bank_size = LOCAL_MEM_BANK_SIZE;
  ASSERT_FS(local_mem_usage <= bank_size * 2);
  for (int j = 0; j < cpieces; j++) {
    const int k0 = sm_first_class(p.C, cpieces, j), m = sm_classes(p.C, cpieces, j);
    sm_move(p, p.P, p.input, k0, m, 1, node);
    sm_op(p, p.P, p.MAX, p.P, m, 1, TENSOR_OP_SUB, node);
    const dim4_t s = sm_shape(p, m);
    tensor_ex(LOCAL_ADDR_TAG | p.P, LOCAL_ADDR_TAG | p.W, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM,
              EX_EXPM1_COEFF, s.n, s.c, s.h, s.w, node);
    atomic_img_sum_gen_cmd(LOCAL_ADDR_TAG | p.P, LOCAL_ADDR_TAG | p.SUM, m, p.K, p.sh, p.wp, j != 0, node);
    sm_move(p, p.P, p.output, k0, m, 0, node);
    fix_cmd_node_overflow(node);
  }
}

// The ARM's pointer to a float of local memory.
float *local_float(int lane, u32 offset) {
  return (float *)hw_ptr(LOCAL_ADDR_TAG + (u32)lane * LOCAL_MEM_SIZE + offset, 4);
}

// Probabilities of one c piece; the ARM gathers each position's label
// probability, the engines take the logarithms and the ARM adds them to
// *sum. With `gradient`, p - 1 is written at the label and the piece is
// stored (unscaled) in place of the probabilities.
void softmax_div_gather_log(cmd_id_node_t *node, const sm_piece_t &p, int k0, int m, const float *labels,
                            int gradient, float *sum) {
  const int positions = p.K * p.sh * p.wp;
  sm_move(p, p.P, p.output, k0, m, 1, node);
  sm_op(p, p.P, p.SUM, p.P, m, 1, TENSOR_OP_DIV, node);
  if (!gradient) sm_move(p, p.P, p.output, k0, m, 0, node);
  poll_all_engine_done_internal(node);
  const dim4_t s = sm_shape(p, m);
  const dim4_t ls = sm_local_stride(s, p.P);
  int g = 0;
  for (int i = 0; i < p.K; i++) {
    for (int h = 0; h < p.sh; h++) {
      for (int w = 0; w < p.wp; w++, g++) {
        const int n = p.n0 + i, pos = h * p.sw + p.w0 + w;
        const float f = labels[(u64)n * (u64)p.inner + (u64)pos];
        float value = 1.0f;
        if (f > -1.0f && f < (float)p.C) {
          const int label = (int)f - k0;
          if (label >= 0 && label < m) {
            float *at = local_float(i % NPU_NUM, p.P + (u32)(label * ls.n + (i / NPU_NUM) * ls.c + h * ls.h + w) * 4u);
            value = *at;
            if (gradient) *at = value - 1.0f;
            if (!(value >= SOFTMAX_LOSS_MIN_PROB)) value = SOFTMAX_LOSS_MIN_PROB;
          }
        }
        *local_float((g / EU_NUM) % NPU_NUM, p.G + (u32)(g / (EU_NUM * NPU_NUM)) * 128u + (u32)(g % EU_NUM) * 4u) =
            value;
      }
    }
  }
  if (gradient) sm_move(p, p.P, p.output, k0, m, 0, node);
  const int rows = (int)ceil_div(positions, EU_NUM);
  tensor_lnx(LOCAL_ADDR_TAG | p.G, LOCAL_ADDR_TAG | p.GW, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, 1,
             rows, 1, EU_NUM, node);
  poll_all_engine_done_internal(node);
  for (int j = 0; j < positions; j++)
    *sum += *local_float((j / EU_NUM) % NPU_NUM, p.G + (u32)(j / (EU_NUM * NPU_NUM)) * 128u + (u32)(j % EU_NUM) * 4u);
}

// Forward: the probabilities of one c piece to the output, their label
// logarithms added to *sum.
void nodechip_softmax_forward_div_with_loss_calculation(cmd_id_node_t *node, const sm_piece_t &p, int k0, int m,
                                                        const float *labels, float *sum) {
  const u32 local_mem_usage = p.GW + loss_row_bytes(p.K * p.sh * p.wp);
  ASSERT_FS(local_mem_usage <= (1<<19));
  softmax_div_gather_log(node, p, k0, m, labels, 0, sum);
}

// Bidirectional, first phase: the probabilities of one c piece with 1
// subtracted at each label to the gradient output, the label logarithms
// added to *sum.
void nodechip_softmax_bottom_diff_with_loss_loop(cmd_id_node_t *node, const sm_piece_t &p, int k0, int m,
                                                 const float *labels, float *sum) {
  const u32 local_mem_usage = p.GW + loss_row_bytes(p.K * p.sh * p.wp);
  ASSERT_FS(local_mem_usage <= (1<<19));
  softmax_div_gather_log(node, p, k0, m, labels, 1, sum);
}

// Bidirectional, second phase: every c piece of the gradient multiplied by
// `scale`, the pieces alternating between the two halves of a ping-pong
// buffer so that a load overlaps the previous piece's multiply.
void nodechip_softmax_bottom_diff_with_loss_normalized_loop(cmd_id_node_t *node, int cpieces, sm_piece_t p,
                                                            float scale) {
  const u32 half = SOFTMAX_GRAD_HALF;
  const u32 local_mem_bank_usage = (u32)p.m * p.B;
  const u32 bank_size = half;  // one half of the ping-pong buffer
  ASSERT_FS(local_mem_bank_usage <= bank_size);
  for (int j = 0; j < cpieces; j++) {
    const int k0 = sm_first_class(p.C, cpieces, j), m = sm_classes(p.C, cpieces, j);
    p.P = (u32)(j % 2) * half;
    sm_move(p, p.P, p.output, k0, m, 1, node);
    sm_op_const(p, p.P, scale, p.P, m, TENSOR_OP_MUL, node);
    sm_move(p, p.P, p.output, k0, m, 0, node);
    fix_cmd_node_overflow(node);
  }
}

void softmax_loss(u64 input, u64 label, u64 output, u64 loss, u64 scratch, float normalizer, int N, int C, int inner,
                  int gradient, cmd_id_node_t *node) {
  ASSERT_FS(N > 0 && C > 0 && inner > 0);
  const u64 positions = (u64)N * (u64)inner;
  ASSERT_FS(positions <= 0x7fffffffu / 4u);
  const int sh = LimitWSize(inner), sw = inner / sh;
  int counts[3];
  get_slice_num_softmax(N, C, sh, sw, counts);
  const u64 label_copy = scratch + (gradient ? 4ull * positions : 4ull);
  const float *labels = (const float *)core_window_ptr(label_copy, 4ull * positions, 4);
  float *loss_word = (float *)core_window_ptr(scratch, 4, 4);
  general_gdma_gen_cmd(label, label_copy, GDMA_VALUE_FORMAT_FLOAT32, (int)positions, GDMA_VALUE_DIR_S2S, node);

  sm_piece_t p;
  p.input = input, p.output = output, p.C = C, p.inner = inner, p.sw = sw, p.sh = sh;
  const int Kmax = (int)ceil_div(N, counts[0]), wpmax = (int)ceil_div(sw, counts[2]);
  p.m = (int)ceil_div(C, counts[1]);
  p.B = (u32)ceil_div(Kmax, NPU_NUM) * (u32)ALIGN(sh * wpmax, EU_NUM) * 4u;
  p.MAX = 0, p.SUM = p.B, p.P = 2 * p.B, p.W = p.P + (u32)p.m * p.B, p.G = p.W + (u32)p.m * p.B;
  p.GW = p.G + loss_row_bytes(Kmax * sh * wpmax);
  const float scale = 1.0f / normalizer;
  float sum = 0.0f;
  // Piece (a, b): images and columns.
  auto piece = [&](int a, int b) {
    p.n0 = a * (N / counts[0]) + (a < N % counts[0] ? a : N % counts[0]);
    p.K = N / counts[0] + (a < N % counts[0] ? 1 : 0);
    p.w0 = b * (sw / counts[2]) + (b < sw % counts[2] ? b : sw % counts[2]);
    p.wp = sw / counts[2] + (b < sw % counts[2] ? 1 : 0);
  };
  for (int a = 0; a < counts[0]; a++) {
    for (int b = 0; b < counts[2]; b++) {
      piece(a, b);
      nodechip_softmax_forward_max_loop(node, counts[1], p);
      nodechip_softmax_forward_sub_exp_sum_loop(node, counts[1], p);
      for (int j = 0; j < counts[1]; j++) {
        const int k0 = sm_first_class(C, counts[1], j), m = sm_classes(C, counts[1], j);
        if (gradient) nodechip_softmax_bottom_diff_with_loss_loop(node, p, k0, m, labels, &sum);
        else nodechip_softmax_forward_div_with_loss_calculation(node, p, k0, m, labels, &sum);
      }
    }
  }
  if (gradient)
    for (int a = 0; a < counts[0]; a++)
      for (int b = 0; b < counts[2]; b++) {
        piece(a, b);
        nodechip_softmax_bottom_diff_with_loss_normalized_loop(node, counts[1], p, scale);
      }
  *loss_word = (-sum) / normalizer;
  general_gdma_gen_cmd(scratch, loss, GDMA_VALUE_FORMAT_FLOAT32, 1, GDMA_VALUE_DIR_S2S, node);
}

}  // namespace

void nodechip_softmax_loss_forward_parallel(u64 input, u64 label, u64 output, u64 loss, u64 scratch,
                                            float normalizer, int N, int C, int unused, int inner,
                                            cmd_id_node_t *node) {
  (void)unused;
  softmax_loss(input, label, output, loss, scratch, normalizer, N, C, inner, 0, node);
}

void nodechip_softmax_loss_bidirection_parallel(u64 input, u64 label, u64 output, u64 loss, u64 scratch,
                                                float normalizer, int N, int C, int unused, int inner,
                                                cmd_id_node_t *node) {
  (void)unused;
  softmax_loss(input, label, output, loss, scratch, normalizer, N, C, inner, 1, node);
}
