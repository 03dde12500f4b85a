// The files "quantize" writes: the 8-bit model and the int8 / fp32 deploy
// and test definitions, named after the optimized weights path.
#pragma once

#include <set>
#include <string>
#include <vector>

#include <google/protobuf/message.h>

#include "qrn/net.hpp"

// Both return false (after an error line) when a file could not be written.
// rmPostfix(flags_weights) + ".int8qmodel": the quantized net with its blobs.
bool saveInt8Qmodel(qrn::Net<float>& net, std::string flags_weights);
// The deploy definitions (and, with flags_save_test_proto, the test ones).
// Sets transform_param.int8_scale of the net's data layers.
bool saveProtos(qrn::Net<float>& net, const qrn::NetParameter& fp32_test_param, std::string flags_weights,
                bool flags_fuse_preprocess, bool flags_save_test_proto, bool flags_winograd);

// Removes the named fields from the message and every message inside it.
void clear_all_fields(google::protobuf::Message& mutable_msg, const std::set<std::string>& clear_fields);
// int8_param's layers := the net's layers without calibration data and
// without the "Split" layers.
void prune_for_int8(const qrn::Net<float>& net, qrn::NetParameter& int8_param);
// A deploy definition: training-only and accuracy layers dropped, data
// layers turned into inputs of the recorded shapes, losses into softmax.
void prune_for_deploy(const qrn::NetParameter& net_param, qrn::NetParameter& deploy_param,
                      std::vector<std::vector<int>>& shape, bool flags_fuse_preprocess);
