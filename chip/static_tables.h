// The tensor engine's static tables in L2 SRAM, loaded when the chip starts (as
// the platform does before the firmware serves requests). Commands name them by
// their offset from the start of L2 SRAM:
//   0x300000  256 floats: entry i = the signed byte i as a float
//   0x300400  256 floats: entry i = e^k, k the signed byte i
//   0x300800  256 floats: entry i = ln(2^(i - 127)), i the biased exponent
//   0x300C00   32 coefficients: e^f - 1 (Taylor series)
//   0x300D00   32 coefficients: ln(1 + t) on [0, 1] (fitted polynomial)
//   0x300E00   64 coefficients: arcsin x on [-1, 1]
//   0x300F00  256 floats: entry i = i
//   0x301300  256 floats: entry i = the signed byte i as a float
//   0x301700   64 coefficients: sin r on [-pi, pi] (Taylor series)
//   0x301800 2048 floats: 0.0, 1.0, 2.0, ... (the index sequence)
// Values are computed in double precision and rounded to float32 once.
// Beside them, two 256 x 256 byte planes of pixel coordinates (row-major):
//   0x303800  byte (r, c) = c (the column index)
//   0x313800  byte (r, c) = r (the row index)
#pragma once

#include <vector>

#include "chip/memory.h"

namespace zv::chip {

struct StaticTable {
  u32 offset;                // from the start of L2 SRAM
  std::vector<float> values;
};

constexpr u64 kL2SramBase = 0x10000000;
constexpr u32 kCoordColumnPlane = 0x303800, kCoordRowPlane = 0x313800, kCoordPlaneSide = 256;

// The tables' contents (built once).
const std::vector<StaticTable> &static_tables();
// Writes every table and the coordinate planes into L2 SRAM.
void load_static_tables(Memory &l2);

}  // namespace zv::chip
