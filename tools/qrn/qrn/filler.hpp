// Fills blobs with constant or random values.
#pragma once

#include <random>

#include "qrn.pb.h"
#include "qrn/blob.hpp"

namespace qrn {

// Fills blob from param with values drawn from rng ("constant", "uniform",
// "gaussian", "xavier", "msra"); an unknown type ends the process.
void FillBlob(const FillerParameter& param, std::mt19937* rng, Blob<float>* blob);

}  // namespace qrn
