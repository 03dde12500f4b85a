// Layers are created by their type name from a registry.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qrn/layer.hpp"

namespace qrn {

template <typename Dtype>
class LayerRegistry {
 public:
  using Creator = std::function<std::shared_ptr<Layer<Dtype>>(const LayerParameter&)>;

  static void AddCreator(const std::string& type, Creator creator);
  // Ends the process, listing the known types, when the type is unknown.
  static std::shared_ptr<Layer<Dtype>> CreateLayer(const LayerParameter& param);
  static bool Has(const std::string& type);
  // Registered type names, sorted.
  static std::vector<std::string> LayerTypeList();

 private:
  static std::map<std::string, Creator>& Registry();
};

}  // namespace qrn
