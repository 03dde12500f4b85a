// Plain references for the 21 operation types of the tensor-record binary
// layers, in double: arithmetic, power, extrema, logical and/or of 0/1 bytes,
// the six comparisons (1 or 0), squared difference and the five gradients
// (A the forward output, B the incoming gradient).
#pragma once

#include <cmath>
#include <stdexcept>

namespace zv::ref::binary_type {

inline double apply(int type, double a, double b) {
  switch (type) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    case 3: return a / b;
    case 4: return std::pow(a, b);
    case 5: return a > b ? a : b;
    case 6: return a < b ? a : b;
    case 7: return a != 0 && b != 0;
    case 8: return a != 0 || b != 0;
    case 9: return a == b;
    case 10: return a != b;
    case 11: return a > b;
    case 12: return a >= b;
    case 13: return a < b;
    case 14: return a <= b;
    case 15: return (a - b) * (a - b);
    case 16: return 0.5 * b / a;
    case 17: return -0.5 * b * a * a * a;
    case 18: return b * (1 - a * a);
    case 19: return b * a * (1 - a);
    case 20: return -b * a * a;
  }
  throw std::invalid_argument("no binary type");
}

// Types whose operands are bytes in device memory (7, 8), and whose result is
// (7 to 14).
inline bool bytes_in(int type) { return type == 7 || type == 8; }
inline bool bytes_out(int type) { return type >= 7 && type <= 14; }

}  // namespace zv::ref::binary_type
