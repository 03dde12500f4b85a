#include "chip/static_tables.h"

#include <cmath>
#include <cstdint>

namespace zv::chip {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<float> per_byte(double (*f)(int)) {
  std::vector<float> v(256);
  for (int i = 0; i < 256; i++) v[i] = static_cast<float>(f(i));
  return v;
}

double signed_byte(int i) { return static_cast<std::int8_t>(i); }
double exp_of_signed_byte(int i) { return std::exp(signed_byte(i)); }
double ln_power_of_two(int biased) { return (biased - 127) * std::log(2.0); }
double byte_value(int i) { return i; }

double factorial(int k) {
  double f = 1;
  for (int i = 2; i <= k; i++) f *= i;
  return f;
}

std::vector<float> rounded(const std::vector<double> &c) {
  std::vector<float> v(c.size());
  for (size_t i = 0; i < c.size(); i++) v[i] = static_cast<float>(c[i]);
  return v;
}

// e^f - 1 = f + f^2/2! + ...: the series converges fast on the (-1, 1) the exp
// reduction leaves.
std::vector<float> expm1_series() {
  std::vector<double> c(32, 0.0);
  for (int k = 1; k < 32; k++) c[k] = 1.0 / factorial(k);
  return rounded(c);
}

// ln(1 + t) for t in [0, 1): the Taylor series converges far too slowly near
// t = 1, so the polynomial is the Chebyshev interpolant of degree 20 on [0, 1],
// rewritten in powers of t (its coefficients stay below 1 in magnitude, so
// float32 evaluation keeps about 1.5e-7 relative accuracy); higher powers are 0.
std::vector<float> log1p_fit() {
  constexpr int kDegree = 20, kNodes = kDegree + 1;
  // Chebyshev coefficients a_j of ln(1 + t), t = (u + 1) / 2, u in [-1, 1].
  double a[kNodes];
  for (int j = 0; j < kNodes; j++) {
    double s = 0;
    for (int k = 0; k < kNodes; k++) {
      const double theta = kPi * (k + 0.5) / kNodes;
      s += std::log1p((std::cos(theta) + 1) / 2) * std::cos(j * theta);
    }
    a[j] = 2.0 * s / kNodes;
  }
  a[0] /= 2;
  // Powers of u: T_0 = 1, T_1 = u, T_{j+1} = 2u T_j - T_{j-1}.
  double in_u[kNodes] = {}, t_prev[kNodes] = {}, t_cur[kNodes] = {};
  t_prev[0] = 1;
  t_cur[1] = 1;
  for (int i = 0; i < kNodes; i++) in_u[i] += a[0] * t_prev[i];
  for (int i = 0; i < kNodes; i++) in_u[i] += a[1] * t_cur[i];
  for (int j = 2; j < kNodes; j++) {
    double t_next[kNodes] = {};
    for (int i = 0; i < kNodes; i++) {
      if (i > 0) t_next[i] += 2 * t_cur[i - 1];
      t_next[i] -= t_prev[i];
    }
    for (int i = 0; i < kNodes; i++) {
      t_prev[i] = t_cur[i];
      t_cur[i] = t_next[i];
      in_u[i] += a[j] * t_cur[i];
    }
  }
  // Powers of t: u = 2t - 1.
  std::vector<double> c(32, 0.0);
  double pw[kNodes + 1] = {};  // (2t - 1)^i
  pw[0] = 1;
  for (int i = 0; i < kNodes; i++) {
    for (int k = 0; k <= i; k++) c[k] += in_u[i] * pw[k];
    for (int k = i + 1; k > 0; k--) pw[k] = 2 * pw[k - 1] - pw[k];
    pw[0] = -pw[0];
  }
  c[0] = 0;  // ln 1 = 0 exactly
  return rounded(c);
}

// arcsin x = sum over odd k of (k-1)!! / (k!! k) x^k. The series converges
// slowly at |x| = 1 (an error of 0.1 with 32 terms), so its highest term is
// fitted by least squares on [0, 1] instead: about 7e-5 for |x| <= 0.9, 0.04 at
// the ends.
std::vector<float> arcsin_series() {
  std::vector<double> c(64, 0.0);
  double coef = 1;  // (2m)! / (4^m (m!)^2)
  for (int m = 0; m < 31; m++) {
    c[2 * m + 1] = coef / (2 * m + 1);
    coef *= (2.0 * m + 1) / (2.0 * m + 2);
  }
  double num = 0, den = 0;
  for (int i = 0; i < 4000; i++) {
    const double x = 0.5 + 0.5 * std::cos(kPi * (i + 0.5) / 4000);
    double p = 0;
    for (int k = 61; k >= 1; k -= 2) p = p * x * x + c[k];
    const double rest = std::asin(x) - p * x, x63 = std::pow(x, 63);
    num += rest * x63;
    den += x63 * x63;
  }
  c[63] = num / den;
  return rounded(c);
}

// sin r = r - r^3/3! + ...: converges well on [-pi, pi].
std::vector<float> sin_series() {
  std::vector<double> c(64, 0.0);
  for (int k = 1; k < 64; k += 2) c[k] = ((k / 2) % 2 ? -1.0 : 1.0) / factorial(k);
  return rounded(c);
}

std::vector<float> index_sequence() {
  std::vector<float> v(2048);
  for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<float>(i);
  return v;
}

}  // namespace

const std::vector<StaticTable> &static_tables() {
  static const std::vector<StaticTable> tables = {
      {0x300000, per_byte(signed_byte)},
      {0x300400, per_byte(exp_of_signed_byte)},
      {0x300800, per_byte(ln_power_of_two)},
      {0x300C00, expm1_series()},
      {0x300D00, log1p_fit()},
      {0x300E00, arcsin_series()},
      {0x300F00, per_byte(byte_value)},
      {0x301300, per_byte(signed_byte)},
      {0x301700, sin_series()},
      {0x301800, index_sequence()},
  };
  return tables;
}

void load_static_tables(Memory &l2) {
  for (const StaticTable &t : static_tables())
    l2.store(kL2SramBase + t.offset, t.values.data(), 4 * t.values.size());
  // The coordinate planes: byte (r, c) of the column plane is c, of the row plane r.
  std::vector<u8> columns(kCoordPlaneSide * kCoordPlaneSide), rows(columns.size());
  for (u32 r = 0; r < kCoordPlaneSide; r++)
    for (u32 c = 0; c < kCoordPlaneSide; c++) {
      columns[r * kCoordPlaneSide + c] = static_cast<u8>(c);
      rows[r * kCoordPlaneSide + c] = static_cast<u8>(r);
    }
  l2.store(kL2SramBase + kCoordColumnPlane, columns.data(), columns.size());
  l2.store(kL2SramBase + kCoordRowPlane, rows.data(), rows.size());
}

}  // namespace zv::chip
