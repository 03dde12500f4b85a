#include "qrn/layer_factory.hpp"

#include <sstream>

#include "layers/register.hpp"

namespace qrn {

template <typename Dtype>
std::map<std::string, typename LayerRegistry<Dtype>::Creator>& LayerRegistry<Dtype>::Registry() {
  static std::map<std::string, Creator> registry;
  return registry;
}

namespace {
void EnsureBuiltins() {
  static const bool done = [] {
    RegisterBuiltinLayers();
    return true;
  }();
  (void)done;
}
}  // namespace

template <typename Dtype>
void LayerRegistry<Dtype>::AddCreator(const std::string& type, Creator creator) {
  auto& registry = Registry();
  CHECK_EQ(registry.count(type), 0u) << "Layer type " << type << " already registered.";
  registry[type] = std::move(creator);
}

template <typename Dtype>
bool LayerRegistry<Dtype>::Has(const std::string& type) {
  EnsureBuiltins();
  return Registry().count(type) != 0;
}

template <typename Dtype>
std::vector<std::string> LayerRegistry<Dtype>::LayerTypeList() {
  EnsureBuiltins();
  std::vector<std::string> types;
  for (const auto& entry : Registry()) types.push_back(entry.first);
  return types;
}

template <typename Dtype>
std::shared_ptr<Layer<Dtype>> LayerRegistry<Dtype>::CreateLayer(const LayerParameter& param) {
  EnsureBuiltins();
  auto& registry = Registry();
  auto it = registry.find(param.type());
  if (it == registry.end()) {
    std::ostringstream known;
    bool first = true;
    for (const auto& entry : registry) {
      known << (first ? "" : ", ") << entry.first;
      first = false;
    }
    LOG(FATAL) << "Unknown layer type: " << param.type() << " (layer '" << param.name()
               << "'; known types: " << known.str() << ")";
  }
  return it->second(param);
}

template class LayerRegistry<float>;

}  // namespace qrn
