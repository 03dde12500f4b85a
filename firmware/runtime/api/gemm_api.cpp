// API 105: GEMM. The routine restarts the command ids and waits for the engines
// itself, so the handler does neither.
#include "cmd/gemm.h"
#include "runtime/api/dispatch.h"

u32 zv_api_gemm(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_gemm_t, rec, param, size);
  if (rec.m == 0) return 0;
  nodechip_cblas_gemm_v2_parallel(rec.trans_a, rec.trans_b, rec.m, rec.n, rec.k, rec.alpha, rec.a_addr,
                                  rec.lda, rec.b_addr, rec.ldb, rec.beta, rec.c_addr, rec.ldc);
  return 0;
}
