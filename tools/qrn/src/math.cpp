#include "qrn/math.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "qrn/parallel.hpp"

namespace qrn {

namespace {

// Register tile of the product: MR rows of C by NR columns, held in locals
// while the whole K loop runs over them.
constexpr int kMR = 4;
constexpr int kNR = 8;

// C rows [i0, i1) of C = alpha * A * B + beta * C with B row-major K x N
// (ldb = N). Every element of C sees the same operations in the same order
// as the plain i-k-j loop: it starts from beta * c (or 0), then for k = 0,
// 1, ... with a(i, k) != 0 it adds (alpha * a(i, k)) * b(k, j). The tiles
// only decide which elements are in flight, so results are bit-identical to
// the plain loop.
template <typename T, typename AAt>
void GemmRows(int i0, int i1, int N, int K, T alpha, AAt a_at, const T* B, T beta, T* C) {
  auto start = [beta](T c) { return beta == T(0) ? T(0) : beta * c; };
  int i = i0;
  for (; i + kMR <= i1; i += kMR) {
    int j = 0;
    for (; j + kNR <= N; j += kNR) {
      T acc[kMR][kNR];
      for (int r = 0; r < kMR; ++r)
        for (int q = 0; q < kNR; ++q) acc[r][q] = start(C[static_cast<size_t>(i + r) * N + j + q]);
      for (int k = 0; k < K; ++k) {
        const T* b = B + static_cast<size_t>(k) * N + j;
        for (int r = 0; r < kMR; ++r) {
          const T a = a_at(i + r, k);
          if (a == T(0)) continue;
          const T s = alpha * a;
          for (int q = 0; q < kNR; ++q) acc[r][q] += s * b[q];
        }
      }
      for (int r = 0; r < kMR; ++r)
        for (int q = 0; q < kNR; ++q) C[static_cast<size_t>(i + r) * N + j + q] = acc[r][q];
    }
    // The last columns, fewer than a tile: row by row below.
    if (j < N)
      for (int r = 0; r < kMR; ++r) {
        T* c = C + static_cast<size_t>(i + r) * N;
        for (int q = j; q < N; ++q) c[q] = start(c[q]);
        for (int k = 0; k < K; ++k) {
          const T a = a_at(i + r, k);
          if (a == T(0)) continue;
          const T s = alpha * a;
          const T* b = B + static_cast<size_t>(k) * N;
          for (int q = j; q < N; ++q) c[q] += s * b[q];
        }
      }
  }
  for (; i < i1; ++i) {
    T* c = C + static_cast<size_t>(i) * N;
    for (int q = 0; q < N; ++q) c[q] = start(c[q]);
    for (int k = 0; k < K; ++k) {
      const T a = a_at(i, k);
      if (a == T(0)) continue;
      const T s = alpha * a;
      const T* b = B + static_cast<size_t>(k) * N;
      for (int q = 0; q < N; ++q) c[q] += s * b[q];
    }
  }
}

}  // namespace

template <typename T>
void qrn_cpu_gemm(Transpose trans_a, Transpose trans_b, int M, int N, int K,
                  T alpha, const T* A, const T* B, T beta, T* C) {
  if (M <= 0 || N <= 0) return;
  if (alpha == T(0) || K <= 0) {
    for (size_t i = 0; i < static_cast<size_t>(M) * N; ++i) C[i] = beta == T(0) ? T(0) : beta * C[i];
    return;
  }
  // A transposed B is copied to K x N first, so the inner loops always run
  // along contiguous rows of B and C.
  std::vector<T> packed;
  if (trans_b == Trans) {
    packed.resize(static_cast<size_t>(K) * N);
    for (int j = 0; j < N; ++j)
      for (int k = 0; k < K; ++k) packed[static_cast<size_t>(k) * N + j] = B[static_cast<size_t>(j) * K + k];
    B = packed.data();
  }
  // Rows are independent: tiles of rows are shared out among threads (one
  // per 4 million products), so results do not depend on the thread count.
  const int tiles = (M + kMR - 1) / kMR;
  const int threads = ParallelThreads(static_cast<long long>(M) * N * K, 1LL << 22, tiles);
  auto run = [&](auto a_at) {
    ParallelFor(tiles, threads, [&](long long first, long long end, int) {
      GemmRows(static_cast<int>(first) * kMR, std::min<int>(M, static_cast<int>(end) * kMR), N, K, alpha, a_at, B,
               beta, C);
    });
  };
  if (trans_a == NoTrans)
    run([A, K](int i, int k) { return A[static_cast<size_t>(i) * K + k]; });
  else
    run([A, M](int i, int k) { return A[static_cast<size_t>(k) * M + i]; });
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
