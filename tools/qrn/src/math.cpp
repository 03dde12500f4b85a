#include "qrn/math.hpp"

#include <cmath>

namespace qrn {

template <typename T>
void qrn_cpu_gemm(Transpose trans_a, Transpose trans_b, int M, int N, int K,
                  T alpha, const T* A, const T* B, T beta, T* C) {
  for (int i = 0; i < M * N; ++i) C[i] = (beta == T(0)) ? T(0) : beta * C[i];
  if (alpha == T(0) || K == 0) return;
  // A(i,k) and B(k,j) for either storage order.
  const int lda = (trans_a == NoTrans) ? K : M;
  const int ldb = (trans_b == NoTrans) ? N : K;
  // Rows are independent: each is computed whole by one thread, so results
  // do not depend on the thread count.  Below some 16 million products the
  // threads' start and idle spinning cost more than they save.
  const long long work = static_cast<long long>(M) * N * K;
#pragma omp parallel for schedule(static) if (work > (1LL << 24))
  for (int i = 0; i < M; ++i) {
    T* c = C + static_cast<size_t>(i) * N;
    for (int k = 0; k < K; ++k) {
      const T a = (trans_a == NoTrans) ? A[static_cast<size_t>(i) * lda + k]
                                       : A[static_cast<size_t>(k) * lda + i];
      if (a == T(0)) continue;
      const T s = alpha * a;
      if (trans_b == NoTrans) {
        const T* b = B + static_cast<size_t>(k) * ldb;
        for (int j = 0; j < N; ++j) c[j] += s * b[j];
      } else {
        for (int j = 0; j < N; ++j) c[j] += s * B[static_cast<size_t>(j) * ldb + k];
      }
    }
  }
}

template <typename T>
void qrn_cpu_gemv(Transpose trans_a, int M, int N, T alpha, const T* A,
                  const T* x, T beta, T* y) {
  if (trans_a == NoTrans) {
    qrn_cpu_gemm<T>(NoTrans, NoTrans, M, 1, N, alpha, A, x, beta, y);
  } else {
    qrn_cpu_gemm<T>(Trans, NoTrans, N, 1, M, alpha, A, x, beta, y);
  }
}

template <typename T>
void qrn_abs(int n, const T* a, T* y) {
  for (int i = 0; i < n; ++i) y[i] = std::fabs(a[i]);
}

template <typename T>
void qrn_log(int n, const T* a, T* y) {
  for (int i = 0; i < n; ++i) y[i] = std::log(a[i]);
}

template <typename T>
void qrn_powx(int n, const T* a, T b, T* y) {
  for (int i = 0; i < n; ++i) y[i] = std::pow(a[i], b);
}

#define QRN_MATH_INSTANTIATE(T)                                                        \
  template void qrn_cpu_gemm<T>(Transpose, Transpose, int, int, int, T, const T*,      \
                                const T*, T, T*);                                      \
  template void qrn_cpu_gemv<T>(Transpose, int, int, T, const T*, const T*, T, T*);    \
  template void qrn_abs<T>(int, const T*, T*);                                         \
  template void qrn_log<T>(int, const T*, T*);                                         \
  template void qrn_powx<T>(int, const T*, T, T*);

QRN_MATH_INSTANTIATE(float)
QRN_MATH_INSTANTIATE(double)

}  // namespace qrn
