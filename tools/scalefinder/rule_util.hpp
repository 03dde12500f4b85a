// Small helpers shared by the quantization rules: a layer's thresholds and
// blobs, with a message naming the layer when one is missing.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <glog/logging.h>

#include "qrn/net.hpp"

namespace rule_util {

inline const std::string& Name(qrn::Net<float>& net, size_t i) { return net.layer_names().at(i); }
inline std::string TypeOf(qrn::Net<float>& net, size_t i) { return net.layers().at(i)->type(); }
inline qrn::LayerParameter* Param(qrn::Net<float>& net, size_t i) { return net.layers()[i]->mutable_layer_param(); }

inline qrn::Blob<float>* Bottom(qrn::Net<float>& net, size_t i, size_t j) {
  if (j >= net.bottom_vecs()[i].size())
    LOG(FATAL) << "layer " << Name(net, i) << " (type " << TypeOf(net, i) << ") has no input blob " << j;
  return net.bottom_vecs()[i][j];
}

inline qrn::Blob<float>* Top(qrn::Net<float>& net, size_t i, size_t j = 0) {
  if (j >= net.top_vecs()[i].size())
    LOG(FATAL) << "layer " << Name(net, i) << " (type " << TypeOf(net, i) << ") has no output blob " << j;
  return net.top_vecs()[i][j];
}

// Threshold of input j / output 0, narrowed to float.
inline float ThBottom(qrn::Net<float>& net, size_t i, size_t j = 0) {
  return static_cast<float>(Bottom(net, i, j)->thresHold());
}
inline float ThTop(qrn::Net<float>& net, size_t i) { return static_cast<float>(Top(net, i)->thresHold()); }

inline qrn::Blob<float>& ParamBlob(qrn::Net<float>& net, size_t i, size_t k) {
  auto& blobs = net.layers()[i]->blobs();
  if (k >= blobs.size())
    LOG(FATAL) << "layer " << Name(net, i) << " (type " << TypeOf(net, i) << ") has no parameter blob " << k;
  return *blobs[k];
}

// Conversion of a double to an integer type, saturating; NaN gives 0.
template <typename Int>
Int Saturate(double v) {
  if (std::isnan(v)) return 0;
  if (v <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (v >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return static_cast<Int>(v);
}

// An int8 multiplier stored in a uint32 list, sign-extended.
inline uint32_t SignExtended(int v) { return static_cast<uint32_t>(static_cast<int32_t>(v)); }

}  // namespace rule_util
