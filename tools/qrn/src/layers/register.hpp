// Registration of the built-in layer types.
#pragma once

#include <memory>

#include "qrn/layer_factory.hpp"

namespace qrn {

void RegisterBuiltinLayers();

// One per source file of layers/.
void RegisterDataLayers();
void RegisterConvolutionLayers();
void RegisterInnerProductLayer();
void RegisterNeuronLayers();
void RegisterPoolingLayer();
void RegisterNormalizationLayers();
void RegisterStructureLayers();
void RegisterSoftmaxLayer();
void RegisterLRNLayer();
void RegisterFillPadTileLayers();
void RegisterBinaryLayers();
void RegisterPriorBoxLayer();

template <typename L>
void RegisterLayer(const char* type) {
  LayerRegistry<float>::AddCreator(
      type, [](const LayerParameter& p) -> std::shared_ptr<Layer<float>> {
        return std::make_shared<L>(p);
      });
}

}  // namespace qrn
