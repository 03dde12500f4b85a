// The int8 calibration of a float net: the flow, the per-layer driver and
// the threshold rules between neighbouring layers.
#pragma once

#include <string>

#include "qrn/net.hpp"
#include "quant_param.hpp"

// Gathers the statistics (or reads them from th_from_file), fixes one
// threshold per blob and quantizes every layer in place.  th_to_file, when
// not empty, receives the statistics; inputPadvalue 32768 means no pad value.
void calibration_int8(qrn::Net<float>& net, const int iterations, std::string& th_from_file,
                      std::string& th_to_file, double inputPadvalue, QuantParam quantParam);

// Marks float outputs and float layers, then runs each layer's rule and
// records its thresholds and conversion factors.
void quantizeEachLayer_int8(qrn::Net<float>& net, QuantParam quantParam);

// Index of the first layer named layer_name, or -1.
int get_layer_id_by_name(qrn::Net<float>& net, std::string layer_name);

// Every '/' becomes '_'.
void strReplace(std::string& nameTmp);

// FollowedByRelu of every layer that feeds a single plain ReLU (carried back
// through Scale pairs and BatchNorm/Scale).
void setLayerFollowedByRelu(qrn::Net<float>& net);
// following_special of every ReLU whose single producer passes values on.
void setReluFollowingSpecial(qrn::Net<float>& net);
// 1 when the layer, or a layer at most three consumer steps below it, is an
// output of the net.
int concat_adjacent_to_tail(qrn::Net<float>& net, int layer_idx);
