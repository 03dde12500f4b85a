// API 105: GEMM. The routine restarts the command ids and waits for the engines
// itself, so the handler does neither.
#include "cmd/gemm.h"
#include "runtime/api/dispatch.h"

// The float32 elements of a rows x cols matrix stored with `ld` elements from
// one stored row to the next.
static api_extent_t matrix_extent(i64 rows, i64 cols, i64 ld) {
  const i64 dims[2] = {rows, cols};
  const i64 strides[2] = {ld, 1};
  return api_strided(4, 2, dims, strides);
}

u32 zv_api_gemm(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_gemm_t, rec, param, size);
  API_COUNT(rec.m);
  // No columns or no inner dimension are the routine's own cases (nothing to
  // do, or C scaled by beta).
  ASSERT(rec.m > 0 && rec.n >= 0 && rec.k >= 0);
  // op(A) is m x k, stored k x m when transposed; op(B) is k x n, stored n x k
  // when transposed; C is m x n.
  API_GLOBAL(rec.a_addr, rec.trans_a ? matrix_extent(rec.k, rec.m, rec.lda) : matrix_extent(rec.m, rec.k, rec.lda));
  API_GLOBAL(rec.b_addr, rec.trans_b ? matrix_extent(rec.n, rec.k, rec.ldb) : matrix_extent(rec.k, rec.n, rec.ldb));
  API_GLOBAL(rec.c_addr, matrix_extent(rec.m, rec.n, rec.ldc));
  nodechip_cblas_gemm_v2_parallel(rec.trans_a, rec.trans_b, rec.m, rec.n, rec.k, rec.alpha, rec.a_addr,
                                  rec.lda, rec.b_addr, rec.ldb, rec.beta, rec.c_addr, rec.ldc);
  return 0;
}
