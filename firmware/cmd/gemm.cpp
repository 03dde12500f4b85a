// Matrix multiplication: slicing, double-buffered local placement and the
// overlapped load / multiply / store schedule on three command-id nodes.
//
// Each matrix has two slice records (buffers 0 and 1) of the same shape. A step
// multiplies one (M, N, K) slice triple: its loads run on the move node while
// the previous step's multiplication runs on the compute node, and a finished C
// slice is stored while the next one is being multiplied. The alternating
// buffers keep an operand from being overwritten while a command still reads it.
#include "cmd/gemm.h"

#include "runtime/engine_wait.h"
#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/gdma.h"
#include "cmd/bd_fc.h"
#include "cmd/bd_md.h"
#include "cmd/local_mem.h"

void mat_tensor_shape(mat_slice_t *m) {
  const int t = m->lane_transposed;
  const u32 n = (u32)(t ? m->cols : m->rows);
  const u32 s = (u32)(t ? m->rows : m->cols);
  const u32 w = (u32)ceil_div(s, NPU_NUM);
  m->shape.n = (i32)n;
  m->shape.c = (i32)ceil_div(s, w);
  m->shape.h = 1;
  m->shape.w = (i32)w;
}

// Bytes one buffer of the slice takes per lane: rows of W padded to 128 bytes.
static u32 slice_bytes(const mat_slice_t *m) {
  return (u32)m->shape.n * 128u * (u32)ceil_div((u32)m->shape.w, EU_NUM);
}

int check_local_size(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int double_buffer) {
  u32 end = 0;
  c[0].local_addr = end;
  end += slice_bytes(&c[0]);
  a[0].local_addr = end;
  end += slice_bytes(&a[0]);
  b[0].local_addr = end;
  end += slice_bytes(&b[0]);
  if (double_buffer) {
    c[1].local_addr = end;
    end += slice_bytes(&c[0]);
    end = ALIGN(end, 128u);
    a[1].local_addr = end;
    end += slice_bytes(&a[0]);
    end = ALIGN(end, 128u);
    b[1].local_addr = end;
    end += slice_bytes(&b[0]);
  }
  return end <= LOCAL_MEM_SIZE;
}

int gemm_local_areas(const mat_slice_t *a, const mat_slice_t *b, const mat_slice_t *c, int double_buffer,
                     local_area_t areas[GEMM_AREA_COUNT]) {
  // Both buffers of a matrix hold slices of buffer 0's extent.
  areas[0] = {"C0", c[0].local_addr, slice_bytes(&c[0])};
  areas[1] = {"A0", a[0].local_addr, slice_bytes(&a[0])};
  areas[2] = {"B0", b[0].local_addr, slice_bytes(&b[0])};
  if (!double_buffer) return 3;
  areas[3] = {"C1", c[1].local_addr, slice_bytes(&c[0])};
  areas[4] = {"A1", a[1].local_addr, slice_bytes(&a[0])};
  areas[5] = {"B1", b[1].local_addr, slice_bytes(&b[0])};
  return 6;
}

typedef enum { SEC_MED, SEC_ROW, SEC_COL } sec_dim_t;

// On copies of the records: sets the slice extent of `dim` to `value` and
// checks the layout.
static int check_sec(const mat_slice_t *a, const mat_slice_t *b, const mat_slice_t *c, sec_dim_t dim,
                     int value, int double_buffer) {
  mat_slice_t ta[2] = {a[0], a[1]}, tb[2] = {b[0], b[1]}, tc[2] = {c[0], c[1]};
  if (dim == SEC_MED) {
    ta[0].cols = value;
    tb[0].rows = value;
  } else if (dim == SEC_ROW) {
    ta[0].rows = value;
    tc[0].rows = value;
  } else {
    tb[0].cols = value;
    tc[0].cols = value;
  }
  mat_tensor_shape(&ta[0]);
  mat_tensor_shape(&tb[0]);
  mat_tensor_shape(&tc[0]);
  return check_local_size(ta, tb, tc, double_buffer);
}

int check_sec_med(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer) {
  return check_sec(a, b, c, SEC_MED, value, double_buffer);
}
int check_sec_row(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer) {
  return check_sec(a, b, c, SEC_ROW, value, double_buffer);
}
int check_sec_col(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer) {
  return check_sec(a, b, c, SEC_COL, value, double_buffer);
}

// The largest slice extent in [1, hi] that fits (1 when none does): a binary
// search that stops when the middle equals the lower bound.
static int search_sec(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, sec_dim_t dim, int hi,
                      int double_buffer) {
  int lo = 1;
  if (!check_sec(a, b, c, dim, 1, double_buffer)) return 1;
  for (;;) {
    const int mid = (lo + hi) / 2;
    if (mid == lo) break;
    if (check_sec(a, b, c, dim, mid, double_buffer))
      lo = mid;
    else
      hi = mid;
  }
  return lo;
}

static void set_shapes(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c) {
  mat_tensor_shape(&a[0]);
  mat_tensor_shape(&b[0]);
  mat_tensor_shape(&c[0]);
}

void mat_slicing(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int double_buffer) {
  set_shapes(a, b, c);
  if (!check_local_size(a, b, c, double_buffer)) {
    const int k = search_sec(a, b, c, SEC_MED, a[0].cols, double_buffer);
    a[0].cols = k;
    b[0].rows = k;
    set_shapes(a, b, c);
  }
  if (!check_local_size(a, b, c, double_buffer)) {
    const int m = search_sec(a, b, c, SEC_ROW, a[0].rows, double_buffer);
    a[0].rows = m;
    c[0].rows = m;
    set_shapes(a, b, c);
  }
  if (!check_local_size(a, b, c, double_buffer)) {
    const int n = search_sec(a, b, c, SEC_COL, b[0].cols, double_buffer);
    b[0].cols = n;
    c[0].cols = n;
    set_shapes(a, b, c);
  }
  if (!check_local_size(a, b, c, double_buffer)) ASSERT_FS(0);
  if (double_buffer) {
    // Buffer 1: the same slices at the addresses check_local_size placed.
    const u32 la = a[1].local_addr, lb = b[1].local_addr, lc = c[1].local_addr;
    a[1] = a[0];
    b[1] = b[0];
    c[1] = c[0];
    a[1].local_addr = la;
    b[1].local_addr = lb;
    c[1].local_addr = lc;
  }
}

void mat_move(mat_slice_t *m, int direction, cmd_id_node_t *node) {
  const int t = m->transposed;
  general_matrix_move_gen_cmd(m->local_addr, 0, m->global_addr, m->shape.w, t ? m->cols : m->rows,
                              t ? m->rows : m->cols, m->ld, GDMA_VALUE_FORMAT_FLOAT32,
                              direction ? GDMA_VALUE_DIR_L2S : GDMA_VALUE_DIR_S2L,
                              t ? (m->lane_transposed ^ 1) : 0, 0, node);
}

void mat_scale(mat_slice_t *m, u32 scale, cmd_id_node_t *node) {
  const u32 addr = LOCAL_ADDR_TAG | m->local_addr;
  atomic_mdscalar_operation_gen_cmd(addr, LOCAL_ADDR_TAG, addr, m->shape.n, m->shape.c, m->shape.h,
                                    m->shape.w, MD_SCALAR_MUL, 0, 0, 1, 0, scale, node);
}

void mat_mul(mat_slice_t *c, mat_slice_t *a, mat_slice_t *b, int result_add, cmd_id_node_t *node) {
  atomic_fc_gen_cmd(0, a->lane_transposed, result_add, LOCAL_ADDR_TAG | a->local_addr,
                    LOCAL_ADDR_TAG | b->local_addr, LOCAL_ADDR_TAG | c->local_addr, LOCAL_ADDR_TAG,
                    a->shape.w, a->shape.c, b->shape.w, b->shape.c, c->rows, a->cols, node);
}

// Sets a slice's extents for this step and recomputes its shape.
static void take_slice(mat_slice_t *m, int rows, int cols, u64 global_addr) {
  m->rows = rows;
  m->cols = cols;
  m->global_addr = global_addr;
  mat_tensor_shape(m);
}

static int min_int(int a, int b) { return a < b ? a : b; }

// C = beta * C: the whole product when the inner dimension is empty. A beta of
// 0 writes zeros without reading C; a beta of 1 leaves C as it is.
static void gemm_scale_only(int M, int N, u32 beta, u64 C, int ldc) {
  if (beta == 0x3f800000u) return;
  const int zero = (beta & 0x7fffffffu) == 0;
  // Slices planned as for a product with an inner dimension of 1.
  mat_slice_t a[2], b[2], c[2];
  for (int i = 0; i < 2; i++) {
    a[i].rows = min_int(M, GEMM_SLICE_CAP);
    a[i].cols = 1;
    b[i].rows = 1;
    b[i].cols = min_int(N, GEMM_SLICE_CAP);
    c[i].rows = a[i].rows;
    c[i].cols = b[i].cols;
    a[i].transposed = b[i].transposed = c[i].transposed = 0;
    a[i].lane_transposed = b[i].lane_transposed = c[i].lane_transposed = 0;
    a[i].ld = 1;
    b[i].ld = N;
    c[i].ld = ldc;
    a[i].global_addr = b[i].global_addr = c[i].global_addr = 0;
  }
  mat_slicing(a, b, c, 0);
  const int Ms = c[0].rows, Ns = c[0].cols;
  const u32 f_zero = 0;

  cmd_id_node_t node = {0, 0, 0};
  resync_cmd_id(&node);
  for (int r0 = 0; r0 < M; r0 += Ms) {
    const int rows = min_int(Ms, M - r0);
    for (int c0 = 0; c0 < N; c0 += Ns) {
      const int cols = min_int(Ns, N - c0);
      const u64 at = C + ((u64)r0 * (u64)ldc + (u64)c0) * 4u;
      if (zero) {
        fill_constant_gen_global_cmd_stride(at, &f_zero, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, rows, cols,
                                            rows * ldc, rows * ldc, ldc, 1, &node);
        continue;
      }
      // One buffer serves: the load, scale and store of a slice are ordered by
      // their ids, and GDMA keeps the next load behind this store.
      take_slice(&c[0], rows, cols, at);
      mat_move(&c[0], 0, &node);
      mat_scale(&c[0], beta, &node);
      mat_move(&c[0], 1, &node);
    }
  }
  poll_all_engine_done(&node);
}

void nodechip_cblas_gemm_v2_parallel(u8 transA, u8 transB, int M, int N, int K, u32 alpha, u64 A,
                                     int lda, u64 B, int ldb, u32 beta, u64 C, int ldc) {
  ASSERT_FS(M >= 0 && N >= 0 && K >= 0);
  // An empty C has nothing to compute; an empty inner dimension leaves beta * C.
  if (M == 0 || N == 0) return;
  if (K == 0) {
    gemm_scale_only(M, N, beta, C, ldc);
    return;
  }
  const u32 f_one = 0x3f800000u;
  const int F = (beta & 0x7fffffffu) != 0;  // beta != 0.0
  const int scale_C = beta != f_one;
  const int scale_A = alpha != f_one;

  mat_slice_t a[2], b[2], c[2];
  for (int i = 0; i < 2; i++) {
    a[i].rows = min_int(M, GEMM_SLICE_CAP);
    a[i].cols = min_int(K, GEMM_SLICE_CAP);
    a[i].transposed = transA != 0;
    a[i].lane_transposed = transA != 0;
    a[i].ld = lda;
    b[i].rows = min_int(K, GEMM_SLICE_CAP);
    b[i].cols = min_int(N, GEMM_SLICE_CAP);
    b[i].transposed = transB != 0;
    b[i].lane_transposed = 0;
    b[i].ld = ldb;
    c[i].rows = min_int(M, GEMM_SLICE_CAP);
    c[i].cols = min_int(N, GEMM_SLICE_CAP);
    c[i].transposed = 0;
    c[i].lane_transposed = 0;
    c[i].ld = ldc;
    a[i].global_addr = b[i].global_addr = c[i].global_addr = 0;
  }
  mat_slicing(a, b, c, 1);
  const int Ms = a[0].rows, Ks = a[0].cols, Ns = b[0].cols;

  cmd_id_node_t main_node = {0, 0, 0}, move = {0, 0, 0}, compute = {0, 0, 0};
  resync_cmd_id(&main_node);
  resync_cmd_id(&move);
  resync_cmd_id(&compute);

  int step = 0, c_slice = 0;
  mat_slice_t *pending = 0;  // a finished C slice not stored yet
  for (int r0 = 0; r0 < M; r0 += Ms) {
    const int rows = min_int(Ms, M - r0);
    for (int c0 = 0; c0 < N; c0 += Ns, c_slice++) {
      const int cols = min_int(Ns, N - c0);
      mat_slice_t *cs = &c[c_slice & 1];
      take_slice(cs, rows, cols, C + ((u64)r0 * (u64)ldc + (u64)c0) * 4u);
      for (int k0 = 0; k0 < K; k0 += Ks, step++) {
        const int inner = min_int(Ks, K - k0);
        mat_slice_t *as = &a[step & 1], *bs = &b[step & 1];
        take_slice(as, rows, inner,
                   A + (transA ? (u64)k0 * (u64)lda + (u64)r0 : (u64)r0 * (u64)lda + (u64)k0) * 4u);
        take_slice(bs, inner, cols,
                   B + (transB ? (u64)c0 * (u64)ldb + (u64)k0 : (u64)k0 * (u64)ldb + (u64)c0) * 4u);

        // Loads: on the main node in the very first step.
        cmd_id_node_t *load = step == 0 ? &main_node : &move;
        if (k0 == 0 && F) mat_move(cs, 0, load);
        mat_move(as, 0, load);
        mat_move(bs, 0, load);

        // The compute stream waits for these loads, the move stream for every
        // computation issued so far.
        if (step > 0) cmd_id_merge(&main_node, &move, &compute);
        cmd_id_divide(&main_node, &move, &compute);

        if (k0 == 0 && F && scale_C) mat_scale(cs, beta, &compute);
        if (scale_A) mat_scale(as, alpha, &compute);
        mat_mul(cs, as, bs, k0 > 0 || F, &compute);

        // The C slice the previous step finished is stored while this one
        // multiplies.
        if (pending != 0) {
          mat_move(pending, 1, &move);
          pending = 0;
        }
        if (k0 + Ks >= K) pending = cs;
      }
    }
  }
  cmd_id_merge(&main_node, &move, &compute);
  if (pending != 0) mat_move(pending, 1, &main_node);
  poll_all_engine_done(&main_node);
}
