#include "layers/register.hpp"

namespace qrn {

void RegisterBuiltinLayers() {
  RegisterDataLayers();
  RegisterConvolutionLayers();
  RegisterInnerProductLayer();
  RegisterNeuronLayers();
  RegisterPoolingLayer();
  RegisterNormalizationLayers();
  RegisterStructureLayers();
  RegisterSoftmaxLayer();
  RegisterLRNLayer();
  RegisterFillPadTileLayers();
  RegisterBinaryLayers();
  RegisterPriorBoxLayer();
}

}  // namespace qrn
