// A naive GEMM: C = alpha * op(A) * op(B) + beta * C over row-major float32
// matrices with leading dimensions, op the identity or the transpose. Sums run
// over k in order in float32; with small-integer and half-integer data every
// step is exact, so any summation order gives the same bits.
#pragma once

#include <vector>

namespace zv::ref {

inline void gemm(bool trans_a, bool trans_b, int M, int N, int K, float alpha, const std::vector<float> &A, int lda,
                 const std::vector<float> &B, int ldb, float beta, std::vector<float> &C, int ldc) {
  for (int i = 0; i < M; i++)
    for (int j = 0; j < N; j++) {
      float sum = 0;
      for (int k = 0; k < K; k++) {
        const float a = trans_a ? A[size_t(k) * lda + i] : A[size_t(i) * lda + k];
        const float b = trans_b ? B[size_t(j) * ldb + k] : B[size_t(k) * ldb + j];
        sum += a * b;
      }
      float &c = C[size_t(i) * ldc + j];
      c = alpha * sum + (beta == 0.0f ? 0.0f : beta * c);
    }
}

}  // namespace zv::ref
