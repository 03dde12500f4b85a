// Stand-in layers for the types the calibration knows but the framework
// does not compute: each copies input 0 to every output (or gives outputs
// of one value when it has no input).  Enough to build nets on which the
// calibration's rules run; their values are never looked at.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>

#include "qrn/qrn.hpp"

namespace tools_test {

class StubLayer : public qrn::Layer<float> {
 public:
  StubLayer(const qrn::LayerParameter& p, std::string type) : Layer(p), type_(std::move(type)) {}
  const char* type() const override { return type_.c_str(); }

 protected:
  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    for (auto* t : top)
      if (bottom.empty() || t != bottom[0]) bottom.empty() ? t->Reshape(std::vector<int>{1}) : t->ReshapeLike(*bottom[0]);
  }
  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    for (auto* t : top) {
      if (bottom.empty() || t == bottom[0]) continue;
      qrn::qrn_copy(bottom[0]->count(), bottom[0]->cpu_data(), t->mutable_cpu_data());
    }
  }

 private:
  std::string type_;
};

// Registers the stand-in for every type that has no layer yet.
inline void RegisterStubLayers(std::initializer_list<const char*> types) {
  for (const char* type : types) {
    if (qrn::LayerRegistry<float>::Has(type)) continue;
    const std::string name = type;
    qrn::LayerRegistry<float>::AddCreator(
        name, [name](const qrn::LayerParameter& p) { return std::make_shared<StubLayer>(p, name); });
  }
}

inline void RegisterAllStubLayers() {
  RegisterStubLayers({"Select", "ConstBinary", "BroadcastBinary", "EltwiseBinary", "BN", "Pad", "ConstantFill",
                      "PriorBox", "Tile", "CPU", "Crop", "Output", "ShapeRef", "ShapeConst", "ShapeCast",
                      "ShapeAssign", "ReduceFull", "Yolo", "Active", "Sigmoid", "Upsample", "DetectionOutput",
                      "Accuracy", "SoftmaxWithLoss", "Permute", "StridedSlice", "Interp", "TopK"});
}

}  // namespace tools_test
