// The float math routines against the C library in double: for each function
// its unary type code (and parameter), a grid of inputs over its domain that
// includes the special points of the domain (both zeros, subnormals, branch
// points, the ends of the clamped ranges), the reference in double and the
// error bound the tests hold it to. The error of one point is
// |got - ref| / max(|ref|, 1): relative above 1, absolute below.
//
// Inputs the routines handle by their stated clamps rather than by the
// library's value (NaN, infinities, arguments beyond the exp range, log of
// zero, poles of tan and cot) are in `math_specials` with the value the clamps
// give.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace zv::ref::math {

struct MathFn {
  const char *name;
  int unary_type;   // unary_list code
  int32_t ipower;   // the exponent of the power functions (type 13)
  double (*ref)(double);
  std::vector<float> (*grid)();
  double bound;     // worst error the tests accept
};

inline std::vector<float> linspace(double a, double b, int n) {
  std::vector<float> v;
  for (int i = 0; i < n; i++) v.push_back(float(a + (b - a) * i / (n - 1)));
  return v;
}
// n points from a to b (both positive), evenly in log scale.
inline std::vector<float> logspace(double a, double b, int n) {
  std::vector<float> v;
  for (int i = 0; i < n; i++) v.push_back(float(std::exp(std::log(a) + (std::log(b) - std::log(a)) * i / (n - 1))));
  return v;
}
inline std::vector<float> join(std::vector<float> a, const std::vector<float> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline std::vector<float> negated(std::vector<float> v) {
  for (float &x : v) x = -x;
  return v;
}

constexpr float kSub = 1e-40f;  // a subnormal
constexpr float kTiny = 1.4e-45f;  // the smallest subnormal
constexpr double kPi = 3.14159265358979323846;

inline std::vector<float> zeros_and_subnormals() { return {0.0f, -0.0f, kSub, -kSub, kTiny, -kTiny, FLT_MIN, -FLT_MIN}; }

inline double ref_sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }
inline double ref_cot(double x) { return 1.0 / std::tan(x); }
inline double ref_cube(double x) { return x * x * x; }
inline double ref_square(double x) { return x * x; }
inline double ref_inv_square(double x) { return 1.0 / (x * x); }
inline double ref_rsqrt(double x) { return 1.0 / std::sqrt(x); }
inline double ref_exp(double x) { return std::exp(x); }
inline double ref_log(double x) { return std::log(x); }
inline double ref_expm1(double x) { return std::expm1(x); }
inline double ref_log1p(double x) { return std::log1p(x); }
inline double ref_tanh(double x) { return std::tanh(x); }
inline double ref_sinh(double x) { return std::sinh(x); }
inline double ref_cosh(double x) { return std::cosh(x); }
inline double ref_asinh(double x) { return std::asinh(x); }
inline double ref_acosh(double x) { return std::acosh(x); }
inline double ref_atanh(double x) { return std::atanh(x); }
inline double ref_sin(double x) { return std::sin(x); }
inline double ref_cos(double x) { return std::cos(x); }
inline double ref_tan(double x) { return std::tan(x); }
inline double ref_asin(double x) { return std::asin(x); }
inline double ref_acos(double x) { return std::acos(x); }
inline double ref_sqrt(double x) { return std::sqrt(x); }

// Points of [a, b] at least `gap` away from every pole k * period + offset.
inline std::vector<float> away_from_poles(double a, double b, int n, double period, double offset, double gap) {
  std::vector<float> v;
  for (float x : linspace(a, b, n)) {
    const double r = std::remainder(double(x) - offset, period);
    if (std::fabs(r) >= gap) v.push_back(x);
  }
  return v;
}

inline const std::vector<MathFn> &math_functions() {
  static const std::vector<MathFn> fns = {
      {"exp", 10, 0, ref_exp,
       [] { return join(linspace(-103, 88, 4001), join(zeros_and_subnormals(), {1, -1, 0.5f, -0.5f, 87.99f})); }, 3e-7},
      {"log", 15, 0, ref_log,
       [] { return join(logspace(FLT_MIN, FLT_MAX, 4001), {1.0f, 0.5f, 2.0f, 0.99999994f, 1.0000001f, 10.0f}); }, 2e-7},
      {"expm1", 11, 0, ref_expm1,
       [] { return join(linspace(-20, 20, 4001), join(zeros_and_subnormals(), {1e-8f, -1e-8f, 1e-30f})); }, 3e-7},
      {"log1p", 16, 0, ref_log1p,
       [] {
         return join(join(linspace(-0.999f, 1, 2001), logspace(1, 1e30, 2000)),
                     join(zeros_and_subnormals(), {1e-8f, -1e-8f, -0.99999f}));
       },
       2e-7},
      {"sigmoid", 24, 0, ref_sigmoid, [] { return join(linspace(-80, 80, 4001), zeros_and_subnormals()); }, 2e-7},
      {"tanh", 30, 0, ref_tanh, [] { return join(linspace(-40, 40, 4001), join(zeros_and_subnormals(), {1e-8f, -1e-8f})); }, 3e-7},
      {"sinh", 27, 0, ref_sinh, [] { return join(linspace(-88, 88, 4001), zeros_and_subnormals()); }, 4e-7},
      {"cosh", 8, 0, ref_cosh, [] { return join(linspace(-88, 88, 4001), zeros_and_subnormals()); }, 4e-7},
      {"asinh", 4, 0, ref_asinh,
       [] {
         const auto pos = logspace(1e-6, 1e18, 2000);
         return join(join(pos, negated(pos)), zeros_and_subnormals());
       },
       3e-7},
      {"acosh", 1, 0, ref_acosh, [] { return join(join(linspace(1, 10, 2001), logspace(10, 1e18, 2000)), {1.0f, 1.0000001f}); }, 3e-7},
      {"atanh", 5, 0, ref_atanh,
       [] { return join(linspace(-0.9999f, 0.9999f, 4001), join(zeros_and_subnormals(), {0.99999994f, -0.99999994f})); }, 2e-7},
      {"sin", 26, 0, ref_sin,
       [] {
         return join(linspace(-100, 100, 4001),
                     join(zeros_and_subnormals(), {float(kPi), -float(kPi), float(2 * kPi), float(kPi / 2), -float(kPi / 2)}));
       },
       1e-5},
      {"cos", 7, 0, ref_cos,
       [] { return join(linspace(-100, 100, 4001), join(zeros_and_subnormals(), {float(kPi), -float(kPi), float(kPi / 2)})); },
       1.5e-5},
      {"tan", 29, 0, ref_tan,
       [] { return join(away_from_poles(-100, 100, 4001, kPi, kPi / 2, 0.05), join(zeros_and_subnormals(), {float(kPi / 4), float(kPi)})); },
       3e-4},
      {"cot", 9, 0, ref_cot, [] { return join(away_from_poles(-100, 100, 4001, kPi, 0, 0.05), {float(kPi / 4), float(kPi / 2)}); }, 2e-4},
      {"arcsin", 3, 0, ref_asin, [] { return join(linspace(-1, 1, 4001), zeros_and_subnormals()); }, 0.03},
      {"arccos", 2, 0, ref_acos, [] { return join(linspace(-1, 1, 4001), zeros_and_subnormals()); }, 0.05},
      {"sqrt", 28, 0, ref_sqrt,
       [] { return join(logspace(kTiny, FLT_MAX, 4001), {0.0f, -0.0f, kSub, 1.0f, 2.0f, 4.0f}); }, 2e-7},
      {"rsqrt", 23, 0, ref_rsqrt, [] { return join(logspace(kTiny, FLT_MAX, 4001), {1.0f, 4.0f, kSub}); }, 1e-7},
      {"x^3", 13, 3, ref_cube, [] { return join(linspace(-1e12, 1e12, 2001), join(linspace(-2, 2, 2001), zeros_and_subnormals())); }, 2e-7},
      {"x^-2", 13, -2, ref_inv_square, [] { return join(logspace(1e-18, 1e18, 2000), negated(logspace(1e-18, 1e18, 2000))); }, 2e-7},
      {"square", 14, 2, ref_square, [] { return join(linspace(-1e18, 1e18, 2001), join(linspace(-2, 2, 2001), zeros_and_subnormals())); }, 1e-7},
  };
  return fns;
}

// The routines on tagged operands: 0 tensor_ex, 1 tensor_lnx, 2 tensor_sigmoid,
// 3 tensor_tanh, 4 tensor_xn with n = 3 (the runner's order).
struct TaggedFn {
  const char *name;
  int which;
  double (*ref)(double);
  std::vector<float> (*grid)();
  double bound;
};

inline const std::vector<TaggedFn> &tagged_functions() {
  static const std::vector<TaggedFn> fns = {
      {"tensor_ex", 0, ref_exp, [] { return join(linspace(-103, 88, 4001), join(zeros_and_subnormals(), {1, -1, 0.5f})); }, 3e-7},
      {"tensor_lnx", 1, ref_log, [] { return join(logspace(FLT_MIN, FLT_MAX, 4001), {1.0f, 0.5f, 2.0f, 0.99999994f}); }, 2e-7},
      {"tensor_sigmoid", 2, ref_sigmoid, [] { return join(linspace(-80, 80, 4001), zeros_and_subnormals()); }, 2e-7},
      {"tensor_tanh", 3, ref_tanh, [] { return join(linspace(-40, 40, 4001), zeros_and_subnormals()); }, 3e-7},
      {"tensor_xn n=3", 4, ref_cube, [] { return join(linspace(-1e12, 1e12, 2001), join(linspace(-2, 2, 2001), zeros_and_subnormals())); }, 2e-7},
  };
  return fns;
}

// Error of one point (see above); NaN against NaN is 0, NaN against a number
// infinite.
inline double point_error(float got, double ref) {
  if (std::isnan(ref) || std::isnan(got)) return std::isnan(ref) && std::isnan(got) ? 0 : INFINITY;
  if (std::isinf(ref) || std::isinf(got)) return double(got) == ref ? 0 : INFINITY;
  return std::fabs(double(got) - ref) / std::fmax(std::fabs(ref), 1.0);
}

// Inputs handled by the routines' stated clamps, and what they give.
struct Special {
  const char *what;
  int unary_type;
  float input;
  double expect;
  double tolerance;  // relative
};

inline const std::vector<Special> &math_specials() {
  const double ln_max = std::log(double(FLT_MAX)), ln_min = std::log(double(FLT_MIN));
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = INFINITY;
  static const std::vector<Special> s = {
      {"exp of NaN: the upper clamp", 10, nan, std::exp(88.0), 1e-6},
      {"exp of +inf: e^88", 10, inf, std::exp(88.0), 1e-6},
      {"exp of 100: e^88", 10, 100.0f, std::exp(88.0), 1e-6},
      {"exp of -inf: e^-103 (subnormal)", 10, -inf, double(float(std::exp(-103.0))), 1e-6},
      {"exp of -200: e^-103", 10, -200.0f, double(float(std::exp(-103.0))), 1e-6},
      {"log of 0: ln FLT_MIN", 15, 0.0f, ln_min, 1e-6},
      {"log of -1: ln FLT_MIN", 15, -1.0f, ln_min, 1e-6},
      {"log of a subnormal: ln FLT_MIN", 15, kSub, ln_min, 1e-6},
      {"log of +inf: ln FLT_MAX", 15, inf, ln_max, 1e-6},
      {"log of NaN: ln FLT_MAX", 15, nan, ln_max, 1e-6},
      {"log1p at its branch point -1: ln FLT_MIN", 16, -1.0f, ln_min, 1e-6},
      {"atanh at 1: ln(inf) / 2 = ln FLT_MAX / 2", 5, 1.0f, ln_max / 2, 1e-6},
      {"atanh at -1: ln 0 / 2 = ln FLT_MIN / 2", 5, -1.0f, ln_min / 2, 1e-6},
      {"sigmoid of -inf: 1 / (1 + e^88)", 24, -inf, 1.0 / (1.0 + std::exp(88.0)), 1e-6},
      {"sigmoid of +inf: 1", 24, inf, 1.0, 1e-6},
      {"tanh of +inf: 1", 30, inf, 1.0, 1e-6},
      {"tanh of -inf: -1", 30, -inf, -1.0, 1e-6},
      // At the poles r = -pi/2: 1 - sin^2 r rounds to 2^-22 in float32, above
      // the 1e-8 floor, so the quotient is -2^11 rather than -1e4.
      {"tan at pi/2: sin r / sqrt(2^-22)", 29, float(kPi / 2), -2048.0, 1e-3},
      {"cot at 0: sin r / sqrt(2^-22)", 9, 0.0f, -2048.0, 1e-3},
      {"asinh of -1e30: x^2 overflows, ln(1 / inf) = ln FLT_MIN", 4, -1e30f, ln_min, 1e-6},
      {"sqrt of +inf", 28, inf, INFINITY, 0},
      {"sqrt of -1: NaN", 28, -1.0f, NAN, 0},
  };
  return s;
}

}  // namespace zv::ref::math
