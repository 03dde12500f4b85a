#include "qrn/filler.hpp"

#include <cmath>

#include <glog/logging.h>

namespace qrn {

void FillBlob(const FillerParameter& param, std::mt19937* rng, Blob<float>* blob) {
  float* data = blob->mutable_cpu_data();
  const int n = blob->count();
  const std::string& type = param.type();
  if (type == "constant") {
    for (int i = 0; i < n; ++i) data[i] = param.value();
  } else if (type == "uniform") {
    std::uniform_real_distribution<float> dist(param.min(), param.max());
    for (int i = 0; i < n; ++i) data[i] = dist(*rng);
  } else if (type == "gaussian") {
    std::normal_distribution<float> dist(param.mean(), param.std());
    for (int i = 0; i < n; ++i) data[i] = dist(*rng);
  } else if (type == "xavier" || type == "msra") {
    const int fan_in = blob->num_axes() > 0 && blob->shape(0) > 0 ? n / blob->shape(0) : 1;
    if (type == "xavier") {
      const float scale = std::sqrt(3.0f / static_cast<float>(std::max(fan_in, 1)));
      std::uniform_real_distribution<float> dist(-scale, scale);
      for (int i = 0; i < n; ++i) data[i] = dist(*rng);
    } else {
      const float std = std::sqrt(2.0f / static_cast<float>(std::max(fan_in, 1)));
      std::normal_distribution<float> dist(0.0f, std);
      for (int i = 0; i < n; ++i) data[i] = dist(*rng);
    }
  } else {
    LOG(FATAL) << "Unknown filler type: " << type
               << " (known: constant, uniform, gaussian, xavier, msra)";
  }
}

}  // namespace qrn
