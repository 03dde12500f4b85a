// Plain CPU math helpers of the framework (row-major).
#pragma once

#include <cstring>

#include "qrn/parallel.hpp"

namespace qrn {

enum Transpose { NoTrans = 0, Trans = 1 };

// C = alpha * op(A) * op(B) + beta * C; op(A) is M x K, op(B) is K x N.
template <typename T>
void qrn_cpu_gemm(Transpose trans_a, Transpose trans_b, int M, int N, int K,
                  T alpha, const T* A, const T* B, T beta, T* C);

// y = A * x (or A^T * x); A is M x N.
template <typename T>
void qrn_cpu_gemv(Transpose trans_a, int M, int N, T alpha, const T* A,
                  const T* x, T beta, T* y);

// Element-wise over n values: |a|, ln(a), a^b.
template <typename T>
void qrn_abs(int n, const T* a, T* y);
template <typename T>
void qrn_log(int n, const T* a, T* y);
template <typename T>
void qrn_powx(int n, const T* a, T b, T* y);

template <typename T>
void qrn_copy(int n, const T* x, T* y) {
  if (x != y && n > 0) std::memcpy(y, x, sizeof(T) * static_cast<size_t>(n));
}

template <typename T>
void qrn_set(int n, T value, T* y) {
  for (int i = 0; i < n; ++i) y[i] = value;
}

}  // namespace qrn
