// The per-layer quantization rules.  Each rewrites layer `layer` of the net
// in place (its LayerParameter fields and its parameter blobs' 8/16-bit
// data and quantization state) from the thresholds of its input and output
// blobs; an input that the 8-bit form cannot represent ends the process
// with a message.
#pragma once

#include <cstddef>
#include <memory>

#include "qrn/net.hpp"

// ---- weighted layers --------------------------------------------------------

// "Convolution": int8 weights and int16 bias with one right shift for the
// layer, or one per output channel (per_channel, not for depthwise), plus
// Winograd weights for qualifying 3x3 convolutions.
void quantize_convolution_layer_int8(qrn::Net<float>& net, size_t layer, bool per_channel);
// "Deconvolution", "InnerProduct", "PReLU": the weighted rule, then blobs
// without a negative value are marked unsigned.
void quantize_convlike_layer_int8(qrn::Net<float>& net, size_t layer);
// True when no value is below 0 (the float values, or the int16 view).
bool allBlobDataArePositive(std::shared_ptr<qrn::Blob<float>> blob, bool as_int16);

// ---- float outputs and pass-through layers ----------------------------------

// Which layers hand their output on in float.
void set_output_is_float(qrn::Net<float>& net);
void quantize_float_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_data_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_cpu_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_shapelike_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_detectionOutput_rpn_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_priorbox_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_tile_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_pad_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_constantFill_layer_int8(qrn::Net<float>& net, size_t layer);

// ---- branch multipliers -----------------------------------------------------

void quantize_concat_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_eltwise_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_bias_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_relu_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_select_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_constBinary_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_broadcastBinary_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_eltwiseBinary_layer_int8(qrn::Net<float>& net, size_t layer);

// ---- per-channel scales and lookup tables -----------------------------------

void quantize_batchnorm_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_bn_layer_int8(qrn::Net<float>& net, size_t layer);
// "Scale" without graph transform: folds a following Scale, and is emptied
// when it follows a BatchNorm or Scale.
void quantize_scale_layer_int8(qrn::Net<float>& net, size_t layer);
// "Scale" with graph transform.
void quantize_scale_layer_v2_int8(qrn::Net<float>& net, size_t layer);
void quantize_normalize_layer_int8(qrn::Net<float>& net, size_t layer);
void quantize_lrn_layer_int8(qrn::Net<float>& net, size_t layer);
