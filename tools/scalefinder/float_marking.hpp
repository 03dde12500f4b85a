// Which layers of the 8-bit net stay in floating point (forward_with_float):
// pre- and post-processing parts, float blocks and fixed rules by type.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "qrn/net.hpp"

// Pieces of text between the commas (empty pieces kept; "" gives one).
std::vector<std::string> split_names(const std::string& text);

// The entry: marks from the options' layer names (or detected ones), the
// float blocks and the rules by layer type.
void mark_forward_with_float(qrn::Net<float>& net, std::string& fpfwd_inputs, std::string& fpfwd_outputs,
                             bool auto_detect, std::string& fpfwd_blocks, bool float_depthwise);

// False for "Split" and the shape types; with check_special_layers also for
// the special types and layers whose output is already float.
bool support_forward_with_float(qrn::Net<float>& net, int layer_idx, bool check_special_layers);

// From the named layers backwards (forwards) to the ends of the net.
void mark_preprocess_forward_with_float(qrn::Net<float>& net, std::vector<std::string> names);
void mark_postprocess_forward_with_float(qrn::Net<float>& net, std::vector<std::string> names);
// From each named head through its consumers up to the first block end.
void mark_block_forward_with_float(qrn::Net<float>& net, std::vector<std::string> names);

// On each path forward from the heads, the first "Convolution".
void detect_input_names(qrn::Net<float>& net, std::vector<int> heads, std::set<int>& input_indexes);
// On each path backward from the tails, the last computing layer.
void detect_output_names(qrn::Net<float>& net, std::vector<int> tails, std::set<int>& output_indexes);

// Random marks (seed 3) for testing the 8-bit runtime; nothing calls it.
void test_mark_forward_with_float(qrn::Net<float>& net);
